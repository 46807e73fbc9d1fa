#include "koralib/masscalentry.h"

namespace KorGse {

MassCalEntry::MassCalEntry() = default;

MassCalEntry::MassCalEntry(int phaseCycle) : valid(true), phaseCycle(phaseCycle)
{
}

MassCalEntry::~MassCalEntry() = default;

// Both directions are the fitted transform's own, so an entry and a bare
// Transform with the same coefficients agree on every value.
double MassCalEntry::apply(double x) const
{
    return fit.apply(x);
}

double MassCalEntry::inverse(double y) const
{
    return fit.inverse(y);
}

} // namespace KorGse
