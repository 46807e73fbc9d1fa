#pragma once
// One second-instrument marker interval as Python sees it: plain copies of a
// TolvaGse::Marker's times (microseconds since the Unix epoch, end 0 while
// open), id, type and label. PyTolvaMarkerCache hands these out; scripts may
// keep them past any start-up. A default record reads 0, 0, 0, 0, "" and False.
#include <string>

namespace TolvaGse {
class Marker;
}

namespace cvekutil {

class PyTolvaMarker
{
public:
    PyTolvaMarker() = default;
    explicit PyTolvaMarker(const TolvaGse::Marker& marker);

    long long t_start_us() const { return tStartUs; }
    long long t_end_us() const { return tEndUs; }
    // Id and type are unsigned 32-bit on the wire: widened, never negative.
    long long marker_id() const { return markerId; }
    long long marker_type() const { return markerType; }
    // The label's bytes up to its first NUL; Python decodes them with
    // "surrogateescape", so labels that are not UTF-8 still arrive.
    std::string text() const { return label; }
    bool is_complete() const { return complete; }

    long long tStartUs = 0;
    long long tEndUs = 0;
    long long markerId = 0;
    long long markerType = 0;
    std::string label;
    bool complete = false;
};

} // namespace cvekutil
