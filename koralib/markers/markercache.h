#pragma once
// The time-ordered marker records of the open first-instrument archive. Built
// over a cursor of the shared packet cache (owned here), grown by refresh()
// when the archive grows; answers which marker was in force at a time or a
// packet, which markers carry an id or a text, and which fall in an interval.
// The Python telemetry-file, packet and scan classes consult it per packet.
#include "koralib/markers/markerdata.h"

#include <QString>

#include <vector>

namespace GseLib {
class TelemetryFile;
}

namespace KorGse {

class MarkerCache
{
public:
    // Takes ownership of the cursor and reads the markers it can reach.
    explicit MarkerCache(GseLib::TelemetryFile* file);
    ~MarkerCache();
    MarkerCache(const MarkerCache&) = delete;
    MarkerCache& operator=(const MarkerCache&) = delete;

    // Reads the marker packets the cursor has not passed yet.
    void refresh();
    // Empties the lists and reads again from the first packet.
    void reload();

    // The marker in force at relative time t (a marker up to 10 us later
    // counts, except the list's first); `*found` tells whether there is one.
    MarkerData getMarker(double t, bool* found, bool skipZeroIdMarkers) const;
    // As above at the relative time of packet pktIndex of the shared cache;
    // an index the shared cache does not hold finds nothing.
    MarkerData getMarker(unsigned int pktIndex, bool* found, bool skipZeroIdMarkers) const;

    std::vector<MarkerData> matchingMarkers(int markerId) const;
    // Records whose text contains `text` (case-sensitive). `startsWith` is
    // kept for callers; it cannot change the result.
    std::vector<MarkerData> matchingMarkers(const QString& text, bool startsWith) const;
    std::vector<MarkerData> matchingMarkers(const char* text, bool startsWith) const;
    // The marker in force at t0, then the markers in (t0, t1].
    std::vector<MarkerData> matchingMarkers(double t0, double t1) const;
    // As above between the relative times of two packets of the shared cache;
    // an index it does not hold gives an empty result.
    std::vector<MarkerData> matchingMarkers(unsigned int pktA, unsigned int pktB) const;

    const std::vector<MarkerData>& allMarkers() const { return allMarkers_; }
    const std::vector<MarkerData>& idMarkers() const { return idMarkers_; }

private:
    GseLib::TelemetryFile* file_ = nullptr;
    std::vector<MarkerData> allMarkers_;
    std::vector<MarkerData> idMarkers_;
};

} // namespace KorGse
