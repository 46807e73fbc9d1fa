#pragma once
// The first instrument's answers to the mission-specifics interface: TOM
// packets, a KoraTimeResolver, and mission time in 100-microsecond ticks.
// Made as a plain local object where a conversion is needed.
#include "gselib/packets/missionspecifics.h"

namespace KorGse {

class KorMissionSpecifics : public GseLib::MissionSpecifics
{
public:
    ~KorMissionSpecifics() override;

    GseLib::TelemetryCache::PacketFormat packetFormat() const override;
    // A new resolver, owned by the caller.
    GseLib::TimeResolver* makeTimeResolver() const override;
    // Ticks to seconds.
    double mission2secs(double ticks) const override;
    // Seconds to whole ticks, truncated toward zero and saturated to unsigned 64 bits.
    double secs2mission(double seconds) const override;
};

} // namespace KorGse
