#pragma once
// One meta marker: an interval of the archive's relative time line derived by
// a rule (see metamarkerrules.h), with the rule's id and text. Made by the
// rule-based generators and handed out, numbered, by the MetaMarkerCache to the
// Python telemetry-file, packet and scan classes.
#include <string>

namespace KorGse {

struct MetaMarker
{
    double startRelativeTimeInSecs = 0.0;
    // For a meta marker still open: the provisional end given when it opened.
    double endRelativeTimeInSecs = 0.0;
    int metaMarkerId = 0;
    // Position in the cache's list of all meta markers, set when handed out.
    int index = 0;
    std::string msg;
};

} // namespace KorGse
