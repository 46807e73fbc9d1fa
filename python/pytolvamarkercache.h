#pragma once
// A snapshot of the second instrument's marker intervals in the archive of
// the latest initCVekUtil, for Python: every closed and still-open marker,
// ordered by start time. Built by reading the shared packet cache once; it
// keeps no link to the packets, so a later start-up leaves it as it was.
#include <cstddef>
#include <vector>

#include "python/pytolvamarker.h"

namespace cvekutil {

class PyTolvaMarkerCache
{
public:
    // Throws std::runtime_error before a successful initCVekUtil.
    PyTolvaMarkerCache();

    size_t size() const { return markers.size(); }
    // Throws std::out_of_range for an index not below size().
    PyTolvaMarker get(size_t index) const;

    std::vector<PyTolvaMarker> markers;
};

} // namespace cvekutil
