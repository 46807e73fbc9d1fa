#include "koralib/markers/markercache.h"

#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/tmpacket.h"

#include <algorithm>
#include <cmath>

namespace KorGse {

namespace {

constexpr int MARKER_PKT = 9;
// A marker this little after a time still counts as in force at it.
constexpr double FORWARD_TOLERANCE = 1e-5;

// In time order; equal to the last: after it; to an earlier one: before it.
void insertInOrder(std::vector<MarkerData>& list, const MarkerData& m)
{
    if (list.empty() || !(m.relativeTime < list.back().relativeTime)) {
        list.push_back(m);
        return;
    }
    const auto at = std::lower_bound(list.begin(), list.end(), m, compareMarkersByTimestamp);
    list.insert(at, m);
}

// Steps 2-4 of the lookup on a list whose first record is not after t.
const MarkerData& inForce(const std::vector<MarkerData>& list, double t)
{
    const auto it = std::lower_bound(list.begin(), list.end(), t,
                                     [](const MarkerData& m, double v) { return m.relativeTime < v; });
    if (it != list.end() && std::fabs(t - it->relativeTime) < FORWARD_TOLERANCE)
        return *it;
    if (it == list.end())
        return list.back();
    return *(it - 1);
}

// The relative time of a packet of the shared cache; false when it has none.
bool packetTime(unsigned int index, double* t)
{
    GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    if (!cache || index >= cache->count())
        return false;
    const GseLib::TMPacketPtr p = cache->get(index);
    if (!p)
        return false;
    *t = p->relativeTime();
    return true;
}

} // namespace

MarkerCache::MarkerCache(GseLib::TelemetryFile* file) : file_(file)
{
    refresh();
}

MarkerCache::~MarkerCache()
{
    delete file_;
}

void MarkerCache::refresh()
{
    if (!file_)
        return;
    while (const GseLib::TMPacketPtr p = file_->getNextMatch(static_cast<unsigned short>(MARKER_PKT))) {
        const MarkerData m = MarkerData::fromPacket(p, uint32_t(allMarkers_.size()));
        insertInOrder(allMarkers_, m);
        if (m.markerId != 0)
            insertInOrder(idMarkers_, m);
    }
}

void MarkerCache::reload()
{
    allMarkers_.clear();
    idMarkers_.clear();
    if (file_)
        file_->reset();
    refresh();
}

MarkerData MarkerCache::getMarker(double t, bool* found, bool skipZeroIdMarkers) const
{
    const std::vector<MarkerData>& list = skipZeroIdMarkers ? idMarkers_ : allMarkers_;
    // The first marker counts only from its exact time (no tolerance);
    // a NaN time finds nothing.
    if (list.empty() || !(list.front().relativeTime <= t)) {
        if (found)
            *found = false;
        return MarkerData();
    }
    if (found)
        *found = true;
    return inForce(list, t);
}

MarkerData MarkerCache::getMarker(unsigned int pktIndex, bool* found, bool skipZeroIdMarkers) const
{
    double t = 0.0;
    if (!packetTime(pktIndex, &t)) {
        if (found)
            *found = false;
        return MarkerData();
    }
    return getMarker(t, found, skipZeroIdMarkers);
}

std::vector<MarkerData> MarkerCache::matchingMarkers(int markerId) const
{
    std::vector<MarkerData> out;
    for (const MarkerData& m : allMarkers_)
        if (m.markerId == uint32_t(markerId))
            out.push_back(m);
    return out;
}

std::vector<MarkerData> MarkerCache::matchingMarkers(const QString& text, bool startsWith) const
{
    std::vector<MarkerData> out;
    for (const MarkerData& m : allMarkers_) {
        const QString s = m.textString();
        // A text that starts with the pattern also contains it: the flag
        // decides nothing, as callers have always seen.
        if ((startsWith && s.startsWith(text, Qt::CaseSensitive)) || s.contains(text, Qt::CaseSensitive))
            out.push_back(m);
    }
    return out;
}

std::vector<MarkerData> MarkerCache::matchingMarkers(const char* text, bool startsWith) const
{
    return matchingMarkers(text ? QString::fromUtf8(text) : QString(), startsWith);
}

std::vector<MarkerData> MarkerCache::matchingMarkers(double t0, double t1) const
{
    std::vector<MarkerData> out;
    if (allMarkers_.empty())
        return out;
    if (allMarkers_.front().relativeTime <= t0)
        out.push_back(inForce(allMarkers_, t0));
    for (const MarkerData& m : allMarkers_) {
        if (m.relativeTime > t1)
            break;
        if (m.relativeTime > t0)
            out.push_back(m);
    }
    return out;
}

std::vector<MarkerData> MarkerCache::matchingMarkers(unsigned int pktA, unsigned int pktB) const
{
    double t0 = 0.0;
    double t1 = 0.0;
    if (!packetTime(pktA, &t0) || !packetTime(pktB, &t1))
        return {};
    return matchingMarkers(t0, t1);
}

} // namespace KorGse
