#pragma once
// The Python entry to the first instrument's scans: built on the archive of
// the last initCVekUtil, it assembles every scan once, reads the markers and
// loads the archive's mass calibration, then hands out scans one at a time as
// PythonStyleKoraScan values paired with the marker in force when each ended.
// A wrapper belongs to its archive: after a later start-up get_scan refuses.
#include <QSharedPointer>
#include <cstdint>
#include <memory>

#include "python/pythonstylekorascan.h"

namespace KorGse {
class MarkerCache;
class MassCal;
class ScienceDataCache;
} // namespace KorGse

namespace cvekutil {

class ScienceDataCacheWrapper
{
public:
    explicit ScienceDataCacheWrapper(bool skipZeroIdMarkers = false, bool averageSummedScans = false);
    ~ScienceDataCacheWrapper();
    ScienceDataCacheWrapper(const ScienceDataCacheWrapper&) = delete;
    ScienceDataCacheWrapper& operator=(const ScienceDataCacheWrapper&) = delete;

    int size() const;
    // Throws std::out_of_range for an index outside 0 .. size() - 1.
    PythonStyleKoraScan get_scan(int scanIndex) const;
    bool has_gc_scans() const;
    bool has_ldi_scans() const;

private:
    std::unique_ptr<KorGse::ScienceDataCache> scienceDataCache;
    std::unique_ptr<KorGse::MarkerCache> markerCache;
    bool skipZeroIdMarkers = false;
    QSharedPointer<KorGse::MassCal> massCal;
    // The shared-cache generation the scans and markers were read under.
    uint64_t generation = 0;
};

} // namespace cvekutil
