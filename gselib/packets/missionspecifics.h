#pragma once
// What an instrument tells the shared code about itself: the packet format of
// its archives, its time resolver, and its mission clock in seconds.
#include "gselib/packets/telemetrycache.h"

namespace GseLib {

class TimeResolver;

class MissionSpecifics
{
public:
    virtual ~MissionSpecifics() = default;
    virtual TelemetryCache::PacketFormat packetFormat() const = 0;
    // A new resolver of the instrument's kind, owned by the caller.
    virtual TimeResolver* makeTimeResolver() const = 0;
    virtual double mission2secs(double count) const = 0;
    virtual double secs2mission(double seconds) const = 0;
};

} // namespace GseLib
