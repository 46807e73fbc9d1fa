#include "tolvalib/tolvamissionspecifics.h"

#include "conversion/saturatingcast.h"
#include "tolvalib/tolvatimeresolver.h"

#include <cstdint>

namespace TolvaGse {

GseLib::TelemetryCache::PacketFormat TolvaMissionSpecifics::packetFormat() const
{
    return GseLib::TelemetryCache::CCSDS;
}

GseLib::TimeResolver* TolvaMissionSpecifics::makeTimeResolver() const
{
    return new TolvaTimeResolver;
}

double TolvaMissionSpecifics::mission2secs(double count) const
{
    return count * 0.0001;
}

double TolvaMissionSpecifics::secs2mission(double seconds) const
{
    return double(nr::truncateSaturating<uint64_t>(seconds * 10000.0));
}

} // namespace TolvaGse
