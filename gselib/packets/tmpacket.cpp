// The abstract packet's shared behaviour: its bytes drawn from the packet
// arena, the header fields a packet kind without them reports as 0, its times
// asked of its resolver, and its type's name and GSE origin from the hub's
// packet-type table.
#include "gselib/packets/tmpacket.h"

#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/timeresolver.h"

namespace GseLib {

TMPacket::TMPacket() = default;

TMPacket::TMPacket(const uint8_t* data, int length, int index, const TimeResolver* resolver)
    : bytes(makePacketBytes(data, length > 0 ? size_t(length) : 0)),
      index(index),
      timeResolver(resolver)
{
}

TMPacket::TMPacket(ByteVectorPtr bytes, int index, const TimeResolver* resolver)
    : bytes(std::move(bytes)), index(index), timeResolver(resolver)
{
}

TMPacket::TMPacket(size_t size, int index) : bytes(makePacketBytes(size)), index(index)
{
}

TMPacket::~TMPacket() = default;

size_t TMPacket::totalLength() const
{
    return size();
}

int TMPacket::apid() const
{
    return type();
}

int TMPacket::versionNumber() const
{
    return 0;
}

int TMPacket::typeIndicator() const
{
    return 0;
}

int TMPacket::hasSecondaryHeader() const
{
    return 0;
}

int TMPacket::segmentFlags() const
{
    return 3; // unsegmented
}

double TMPacket::unixTime() const
{
    return timeResolver->unixTime(this);
}

double TMPacket::unixTimeFromTicks(long long ticks) const
{
    return timeResolver->unixTime(this, ticks);
}

double TMPacket::unixTimeFromSeconds(double s) const
{
    return timeResolver->unixTime(this, timeResolver->secondsToTicks(s));
}

double TMPacket::relativeTime() const
{
    return timeResolver->relativeTime(this);
}

double TMPacket::relativeTimeFromTicks(long long ticks) const
{
    return timeResolver->relativeTime(this, ticks);
}

double TMPacket::relativeTimeFromSeconds(double s) const
{
    return timeResolver->relativeTime(this, timeResolver->secondsToTicks(s));
}

double TMPacket::groundRelativeTime() const
{
    return timeResolver->groundRelativeTime(this);
}

void TMPacket::resize(size_t n)
{
    if (!bytes)
        bytes = makePacketBytes(n);
    else
        bytes->resize(n, 0);
    updateDataLength();
}

QString TMPacket::typeName() const
{
    return DataInterpretation::current()->packetTypes.info(type()).name;
}

bool TMPacket::isGseCreated() const
{
    const PacketTypes& types = DataInterpretation::current()->packetTypes;
    const auto it = types.constFind(fullType());
    return it != types.cend() && it->isGse;
}

} // namespace GseLib
