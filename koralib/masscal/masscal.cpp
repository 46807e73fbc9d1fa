#include "koralib/masscal/masscal.h"

#include "koralib/masscal/masscalcore_impl.h"

template class MassCalCore::CalCore<KorGse::MassCal, KorGse::MassCalEntry>;
template class MassCalCore::CalObject<KorGse::MassCal, KorGse::MassCalEntry>;

// Known by name to QVariant and queued connections from the moment the library loads.
static const int massCalMetaType = qRegisterMetaType<KorGse::MassCal>();
