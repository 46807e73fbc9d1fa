#include "koralib/archive/kormissionspecifics.h"

#include "conversion/saturatingcast.h"
#include "koralib/archive/koratimeresolver.h"

#include <cstdint>

namespace KorGse {

KorMissionSpecifics::~KorMissionSpecifics() = default;

GseLib::TelemetryCache::PacketFormat KorMissionSpecifics::packetFormat() const
{
    return GseLib::TelemetryCache::TOM;
}

GseLib::TimeResolver* KorMissionSpecifics::makeTimeResolver() const
{
    return new KoraTimeResolver;
}

double KorMissionSpecifics::mission2secs(double ticks) const
{
    return ticks * 0.0001;
}

double KorMissionSpecifics::secs2mission(double seconds) const
{
    return double(nr::truncateSaturating<uint64_t>(seconds * 10000.0));
}

} // namespace KorGse
