#include "koralib/masscal/masscalentry.h"

#include "koralib/masscal/masscalcore_impl.h"

template class MassCalCore::EntryCore<KorGse::MassCalEntry>;

namespace KorGse {

MassCalEntry::~MassCalEntry() = default;

} // namespace KorGse
