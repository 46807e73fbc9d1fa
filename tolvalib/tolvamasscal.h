#pragma once
// The second instrument's mass calibration: the same files, fit, search and
// signals as the first instrument's (one implementation, MassCalCore), as
// types of its own, so a TolvaGse::MassCal is never taken for a KorGse::MassCal.
// Nothing in the library creates one; programs using the library directly do.
#include "koralib/masscalcore.h"

#include <QMetaType>
#include <QObject>

namespace TolvaGse {

class MassCalEntry : public MassCalCore::EntryCore<MassCalEntry>
{
public:
    using EntryCore::EntryCore;
    ~MassCalEntry() override;
};

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

// As KorGse::initializeMassCal: the file tm.meta names in dir, else the newest.
void initializeMassCal(MassCal& massCal, const GseLib::TmMeta& meta, const QString& dir);

} // namespace TolvaGse

extern template class MassCalCore::EntryCore<TolvaGse::MassCalEntry>;
extern template class MassCalCore::CalCore<TolvaGse::MassCal, TolvaGse::MassCalEntry>;

Q_DECLARE_METATYPE(TolvaGse::MassCal)
