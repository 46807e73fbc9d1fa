#pragma once
// The mass calibration of one phase cycle of the first instrument: calibration
// points (control value to amu) and the polynomial of order 1 or 2 fitted
// through them, an invertible transform. MassCal keeps one per phase cycle; a
// scan's axis transform chain (ScanData::getTransform) ends in a copy of the
// entry of the scan's phase cycle. The behaviour is MassCalCore::EntryCore's.
#include "koralib/masscal/masscalcore.h"

namespace KorGse {

class MassCalEntry : public MassCalCore::EntryCore<MassCalEntry>
{
public:
    using EntryCore::EntryCore;
    ~MassCalEntry() override;
};

} // namespace KorGse

extern template class MassCalCore::EntryCore<KorGse::MassCalEntry>;
