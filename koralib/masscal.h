#pragma once
// The mass calibration of one first-instrument archive: a MassCalEntry per
// phase cycle (the entry under DEFAULT_PHASE_CYCLE serves phase cycles without
// their own), the control mode naming the quantity the entries take as x, and
// the file it was read from. The science data cache wrapper loads one through
// initializeMassCal and shares it with its scans; ScanData::getTransform reads
// it. The behaviour is MassCalCore::CalCore's; this class adds the signals.
#include "koralib/masscalentry.h"

#include <QMetaType>
#include <QObject>

namespace KorGse {

class MassCal : public QObject, public MassCalCore::CalCore<MassCal, MassCalEntry>
{
    Q_OBJECT

public:
    MassCal();
    // A new parentless calibration with the same data; connections are not copied.
    MassCal(const MassCal& other);
    // Copies the data and emits changed() (nothing for self-assignment).
    MassCal& operator=(const MassCal& other);
    ~MassCal() override;

signals:
    void changed();
    void aboutToLoad();
};

// Loads the calibration that the archive's tm.meta names ("default_mcal" in
// dir), else the newest one of dir or of the configured calibration folder.
void initializeMassCal(MassCal& massCal, const GseLib::TmMeta& meta, const QString& dir);

} // namespace KorGse

extern template class MassCalCore::CalCore<KorGse::MassCal, KorGse::MassCalEntry>;

Q_DECLARE_METATYPE(KorGse::MassCal)
