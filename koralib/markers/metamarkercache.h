#pragma once
// The process-wide owner of the open first-instrument archive's meta markers.
// resetState() (called by the module's start-up for each new archive) loads
// the rule files of the "MetaMarkerRules" folder and builds a generator per
// applicable rule; refresh() (called by the Python classes before they ask)
// feeds the generators the packets of the shared cache not yet read. Its
// messages go to standard error.
#include "koralib/markers/metamarker.h"
#include "koralib/markers/metamarkergenerator.h"

#include <QList>

#include <cstdint>
#include <memory>

namespace GseLib {
class TelemetryFile;
}

namespace KorGse {

class MetaMarkerCache
{
public:
    // Built on the first call (which resets once); needs the shared cache.
    static MetaMarkerCache& getInstance();

    MetaMarkerCache();
    ~MetaMarkerCache();
    MetaMarkerCache(const MetaMarkerCache&) = delete;
    MetaMarkerCache& operator=(const MetaMarkerCache&) = delete;

    // Drops the generators, rewinds, and loads the rules anew.
    void resetState();
    // Feeds the packets not yet read to every generator. When the shared
    // cache was replaced since the last reset, first drops the generators
    // and rewinds: markers of another archive are never served.
    void refresh();
    void reload();

    QList<MetaMarker> getMetaMarkers() const;
    // Those whose interval holds t, both ends included; `index` as in the full list.
    QList<MetaMarker> getMetaMarkers(double t) const;

    // The archive's test id as the last reset took it.
    int testId() const { return testId_; }
    int generatorCount() const { return int(generators.size()); }

private:
    void rewind();

    std::shared_ptr<GseLib::TelemetryFile> file;
    QList<std::shared_ptr<MetaMarkerGenerator>> generators;
    uint64_t generation_ = 0;
    int testId_ = 0;
};

// Whether one comma-separated piece of a rule's "tids" covers the test id: a
// single id, or lo-hi (one hyphen). A piece that reads as neither covers nothing.
bool tidPieceCovers(const QString& piece, int testId);
// Whether any piece of a "tids" text covers the test id.
bool tidsCover(const QString& tids, int testId);

} // namespace KorGse
