#include "tolvalib/tolvatimeresolver.h"

#include "conversion/saturatingcast.h"

namespace TolvaGse {

long long TolvaTimeResolver::secondsToTicks(double s) const
{
    return nr::truncateSaturating<long long>(s);
}

double TolvaTimeResolver::unixTime(const GseLib::TMPacket* packet) const
{
    // Byte 10 only: byte 11 is a spare, not the low half of a 16-bit fraction.
    const uint8_t* bytes = packet->data();
    const unsigned fraction = bytes && packet->totalLength() > 10 ? bytes[10] : 0u;
    return double(packet->rawTimestamp()) + UNIX_SECONDS_AT_2010 + fraction / 256.0;
}

double TolvaTimeResolver::unixTime(const GseLib::TMPacket*, long long ticks) const
{
    return ticksToSeconds(ticks) + t0Seconds();
}

double TolvaTimeResolver::relativeTime(const GseLib::TMPacket* packet) const
{
    return unixTime(packet) - t0Seconds();
}

double TolvaTimeResolver::relativeTime(const GseLib::TMPacket*, long long ticks) const
{
    return ticksToSeconds(ticks);
}

bool TolvaTimeResolver::handlePacket(const GseLib::TMPacketPtr& packet)
{
    if (!t0)
        t0 = packet;
    return true;
}

} // namespace TolvaGse
