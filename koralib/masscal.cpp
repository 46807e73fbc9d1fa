#include "koralib/masscal.h"

namespace KorGse {

MassCal::MassCal() = default;

MassCal::~MassCal() = default;

MassCalEntry& MassCal::operator[](int phaseCycle)
{
    auto it = entries_.find(phaseCycle);
    if (it != entries_.end())
        return *it;
    return entries_[DEFAULT_PHASE_CYCLE];
}

MassCalEntry MassCal::operator[](int phaseCycle) const
{
    auto it = entries_.constFind(phaseCycle);
    if (it != entries_.cend())
        return *it;
    it = entries_.constFind(DEFAULT_PHASE_CYCLE);
    if (it != entries_.cend())
        return *it;
    return MassCalEntry();
}

bool MassCal::addMassCalEntry(int phaseCycle)
{
    if (entries_.contains(phaseCycle))
        return false;
    entries_.insert(phaseCycle, MassCalEntry(phaseCycle));
    emit changed();
    return true;
}

void MassCal::setControlMode(ControlMode mode)
{
    if (mode == controlMode_)
        return;
    controlMode_ = mode;
    emit changed();
}

} // namespace KorGse
