#pragma once
// The second instrument's mission specifics: CCSDS archives, its own time
// resolver, and a mission clock counting units of 100 microseconds. Part of
// the instrument's interface for tools; the library's start-up does not use it.
#include "gselib/packets/missionspecifics.h"

namespace TolvaGse {

class TolvaMissionSpecifics : public GseLib::MissionSpecifics
{
public:
    ~TolvaMissionSpecifics() override = default;

    GseLib::TelemetryCache::PacketFormat packetFormat() const override;
    // A new TolvaTimeResolver, owned by the caller.
    GseLib::TimeResolver* makeTimeResolver() const override;
    double mission2secs(double count) const override;
    // Whole counts as an unsigned 64-bit value: truncated, NaN and negative
    // seconds give 0, values past the range saturate.
    double secs2mission(double seconds) const override;
};

} // namespace TolvaGse
