#include "python/pymsglogcache.h"

#include <stdexcept>

#include "python/startup.h"

namespace cvekutil {

PyMsgLogCache::PyMsgLogCache()
{
    if (!cvekutilIsInitialized)
        throw std::runtime_error("cvekutil is not initialized, did you call the PyMsgLogCache constructor manually "
                                 "instead of relying on the factory functions?");
    cache = GseLib::MsgLogCache::getInstance();
    cache->refresh();
}

int PyMsgLogCache::size() const { return int(cache->size()); }

PyMsgLogLine PyMsgLogCache::get(unsigned int index) const { return PyMsgLogLine(&cache->line(index)); }

} // namespace cvekutil
