#include "tolvalib/tolvamasscal.h"

#include "koralib/masscal/masscalcore_impl.h"

template class MassCalCore::EntryCore<TolvaGse::MassCalEntry>;
template class MassCalCore::CalCore<TolvaGse::MassCal, TolvaGse::MassCalEntry>;
template class MassCalCore::CalObject<TolvaGse::MassCal, TolvaGse::MassCalEntry>;

TolvaGse::MassCalEntry::~MassCalEntry() = default;

static const int massCalMetaType = qRegisterMetaType<TolvaGse::MassCal>();

void TolvaGse::initializeMassCal(MassCal& massCal, const GseLib::TmMeta& meta, const QString& dir)
{
    MassCal::initialize(massCal, meta, dir);
}
