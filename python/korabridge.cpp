#include "python/korabridge.h"

#include "koralib/markers/metamarkercache.h"

#include "koralib/seb/sebcmdinterpreter.h"

namespace cvekutil {

QList<KorGse::MetaMarker> refreshedMetaMarkers(bool atTime, double t)
{
    KorGse::MetaMarkerCache& cache = KorGse::MetaMarkerCache::getInstance();
    cache.refresh();
    return atTime ? cache.getMetaMarkers(t) : cache.getMetaMarkers();
}

void resetMetaMarkers()
{
    KorGse::MetaMarkerCache::getInstance().resetState();
}

void loadSebCommands()
{
    KorGse::SebCmdInterpreter::createInterpreters();
}

} // namespace cvekutil
