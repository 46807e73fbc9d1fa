#pragma once
// The second instrument's mass calibration: the same files, fit, search and
// signals as the first instrument's (one implementation, MassCalCore), as
// types of their own, so a TolvaGse::MassCal is never taken for a KorGse::MassCal.
// Nothing in the library creates one; programs using the library directly do.
#include "koralib/masscal/masscalcore.h"

#include <QMetaType>

namespace TolvaGse {

class MassCal;

// As KorGse::initializeMassCal: the file tm.meta names in dir, else the newest.
void initializeMassCal(MassCal& massCal, const GseLib::TmMeta& meta, const QString& dir);

class MassCalEntry : public MassCalCore::EntryCore<MassCalEntry>
{
public:
    using EntryCore::EntryCore;
    ~MassCalEntry() override;
};

class MassCal : public MassCalCore::CalObject<MassCal, MassCalEntry>
{
    Q_OBJECT

signals:
    void changed();
    void aboutToLoad();
};

} // namespace TolvaGse

extern template class MassCalCore::EntryCore<TolvaGse::MassCalEntry>;
extern template class MassCalCore::CalCore<TolvaGse::MassCal, TolvaGse::MassCalEntry>;
extern template class MassCalCore::CalObject<TolvaGse::MassCal, TolvaGse::MassCalEntry>;

Q_DECLARE_METATYPE(TolvaGse::MassCal)
