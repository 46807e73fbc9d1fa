#include "python/pytolvamarkercache.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "gselib/packets/telemetryfile.h"
#include "python/startup.h"
#include "tolvalib/tolvamarkercache.h"

namespace cvekutil {

PyTolvaMarkerCache::PyTolvaMarkerCache()
{
    if (!cvekutilIsInitialized)
        throw std::runtime_error("cvekutil is not initialized, did you call the PyTolvaMarkerCache constructor "
                                 "manually instead of relying on the factory functions?");
    TolvaGse::TolvaMarkerCache cache(std::make_shared<GseLib::TelemetryFile>());
    cache.reload();
    const QList<TolvaGse::Marker>& closed = cache.markers();
    const QList<TolvaGse::Marker> open = cache.openMarkers();
    markers.reserve(size_t(closed.size() + open.size()));
    for (const TolvaGse::Marker& m : closed)
        markers.emplace_back(m);
    for (const TolvaGse::Marker& m : open)
        markers.emplace_back(m);
    // Stable: markers that start together stay closed ones first (in closing
    // order), then open ones (by id), so equal runs read the same every time.
    std::stable_sort(markers.begin(), markers.end(),
                     [](const PyTolvaMarker& a, const PyTolvaMarker& b) { return a.tStartUs < b.tStartUs; });
}

PyTolvaMarker PyTolvaMarkerCache::get(size_t index) const
{
    // vector::at's own std::out_of_range text, as the packet class's lists give.
    return markers.at(index);
}

} // namespace cvekutil
