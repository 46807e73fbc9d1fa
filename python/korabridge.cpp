#include "python/korabridge.h"

#include "koralib/metamarkercache.h"

#if __has_include("koralib/sebcmdinterpreter.h")
#include "koralib/sebcmdinterpreter.h"
#define CVEKUTIL_HAVE_SEB 1
#else
#define CVEKUTIL_HAVE_SEB 0
#endif

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
#if CVEKUTIL_HAVE_SEB
    KorGse::SebCmdInterpreter::createInterpreters();
#endif
}

} // namespace cvekutil
