#include "koralib/masscalentry.h"

#include "koralib/masscalcore_impl.h"

template class MassCalCore::EntryCore<KorGse::MassCalEntry>;

namespace KorGse {

MassCalEntry::~MassCalEntry() = default;

} // namespace KorGse
