#pragma once
// The mass calibration of one first-instrument archive: a MassCalEntry per
// phase cycle (the entry under DEFAULT_PHASE_CYCLE serves phase cycles without
// their own), the control mode naming the quantity the entries take as x, and
// the file it was read from. The science data cache wrapper loads one through
// initializeMassCal and shares it with its scans; ScanData::getTransform reads
// it. The behaviour is MassCalCore's; this class adds the signals.
#include "koralib/masscal/masscalentry.h"

#include <QMetaType>

namespace KorGse {

class MassCal : public MassCalCore::CalObject<MassCal, MassCalEntry>
{
    Q_OBJECT

signals:
    void changed();
    void aboutToLoad();
};

// Loads the calibration that the archive's tm.meta names ("default_mcal" in
// dir), else the newest one of dir or of the configured calibration folder.
inline void initializeMassCal(MassCal& massCal, const GseLib::TmMeta& meta, const QString& dir)
{
    MassCal::initialize(massCal, meta, dir);
}

} // namespace KorGse

extern template class MassCalCore::CalCore<KorGse::MassCal, KorGse::MassCalEntry>;
extern template class MassCalCore::CalObject<KorGse::MassCal, KorGse::MassCalEntry>;

Q_DECLARE_METATYPE(KorGse::MassCal)
