#include "python/sciencedatacachewrapper.h"

#include <stdexcept>

#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/tmmeta.h"
#include "koralib/markers/markercache.h"
#include "koralib/masscal/masscal.h"
#include "koralib/scans/sciencedatacache.h"
#include "python/startup.h"

namespace cvekutil {

ScienceDataCacheWrapper::ScienceDataCacheWrapper(bool skipZeroIds, bool averageSummedScans)
{
    // Before any cursor is made or any packet read.
    if (!cvekutilIsInitialized)
        throw std::runtime_error("cvekutil is not initialized, did you call the ScienceDataCacheWrapper "
                                 "constructor manually instead of relying on the factory functions?");
    generation = GseLib::TelemetryFile::sharedCacheGeneration();
    scienceDataCache = std::make_unique<KorGse::ScienceDataCache>(new GseLib::TelemetryFile());
    markerCache = std::make_unique<KorGse::MarkerCache>(new GseLib::TelemetryFile());
    skipZeroIdMarkers = skipZeroIds;
    scienceDataCache->setAverageSummedScans(averageSummedScans);
    scienceDataCache->refresh();
    massCal = QSharedPointer<KorGse::MassCal>(new KorGse::MassCal());
    const QString folder = GseLib::TelemetryFile().fileInfo().absolutePath();
    KorGse::initializeMassCal(*massCal, GseLib::TmMeta(folder), folder);
}

ScienceDataCacheWrapper::~ScienceDataCacheWrapper()
{
    massCal.reset();
    markerCache.reset();
    scienceDataCache.reset();
}

int ScienceDataCacheWrapper::size() const { return scienceDataCache->size(); }

PythonStyleKoraScan ScienceDataCacheWrapper::get_scan(int scanIndex) const
{
    if (scanIndex < 0 || scanIndex >= scienceDataCache->size())
        throw std::out_of_range("get_scan was passed an invalid scan index.");
    // The marker lookup reads the packet's time from the shared cache, which
    // a later start-up replaced with another archive's.
    if (generation != GseLib::TelemetryFile::sharedCacheGeneration())
        throw std::runtime_error(
            "ScienceDataCacheWrapper belongs to an archive that a later initCVekUtil replaced.");
    return PythonStyleKoraScan(scienceDataCache->scan(scanIndex).get(), markerCache.get(), massCal,
                               skipZeroIdMarkers);
}

bool ScienceDataCacheWrapper::has_gc_scans() const { return scienceDataCache->hasScansFromGcSource(); }
bool ScienceDataCacheWrapper::has_ldi_scans() const { return scienceDataCache->hasScansFromLdiSource(); }

} // namespace cvekutil
