// The general time resolvers: t0 picked from the first packet past the
// minimum raw timestamp; raw seconds read as Unix, GPS (with an offset) or
// TAI-since-1958 times; and the generic resolver that decodes its packet type's
// time item, guarding against a time item whose decoding asks its own time.
#include "gselib/packets/timeresolvers.h"

#include "gselib/interpretation/datainterpretation.h"

#include <QDebug>

namespace GseLib {

const long long TaiTimeResolver::offset = 378691200;

double BasicTimeResolver::relativeTime(const TMPacket*, long long ticks) const
{
    double seconds = ticksToSeconds(ticks);
    if (t0)
        seconds -= ticksToSeconds(static_cast<long long>(t0->rawTimestamp()));
    return seconds;
}

bool BasicTimeResolver::handlePacket(const TMPacketPtr& packet)
{
    // With t0 chosen nothing else matters; testing it first spares a
    // packet-type lookup for every packet of the archive.
    if (t0)
        return true;
    if (testsGseCreated_ && !acceptGseCreatedT0 && packet->isGseCreated())
        return true;
    if (t0MinRawTimestamp > packet->rawTimestamp())
        return true;
    t0 = packet;
    return true;
}

double UnixTimeResolver::unixTime(const TMPacket* packet) const
{
    return double(packet->rawTimestamp());
}

double UnixTimeResolver::unixTime(const TMPacket*, long long ticks) const
{
    return double(ticks);
}

double UnixTimeResolver::relativeTime(const TMPacket* packet) const
{
    return relativeTime(packet, static_cast<long long>(packet->rawTimestamp()));
}

double GpsTimeResolver::unixTime(const TMPacket* packet) const
{
    return double(packet->rawTimestamp() + unixOffset_) + packet->rawTimestampMs() / 1000.0;
}

double GpsTimeResolver::unixTime(const TMPacket*, long long ticks) const
{
    return double(static_cast<unsigned long long>(ticks) + unixOffset_);
}

double GpsTimeResolver::relativeTime(const TMPacket* packet) const
{
    return relativeTime(packet, static_cast<long long>(packet->rawTimestamp())) +
           packet->rawTimestampMs() / 1000.0;
}

double TaiTimeResolver::unixTime(const TMPacket* packet) const
{
    // Signed, so that times before 1970 come out negative instead of wrapping.
    const long long seconds = static_cast<long long>(packet->rawTimestamp()) - offset;
    return double(seconds) + packet->rawTimestampMs() / 1000.0;
}

double TaiTimeResolver::unixTime(const TMPacket*, long long) const
{
    qWarning() << Q_FUNC_INFO << "Not implemented";
    return 0.0;
}

double TaiTimeResolver::relativeTime(const TMPacket* packet) const
{
    return relativeTime(packet, static_cast<long long>(packet->rawTimestamp())) +
           packet->rawTimestampMs() / 1000.0;
}

namespace {

// The packets whose time this thread is decoding, innermost first. The time
// item's decoder may itself ask its packet's time (every decoder stamps its
// samples); that inner question is answered 0.0 instead of recursing without
// end, and the outer read gets the decoded time.
struct TimingFrame
{
    const TMPacket* packet;
    const TimingFrame* outer;
};

thread_local const TimingFrame* timingFrames = nullptr;

bool isBeingTimed(const TMPacket* packet)
{
    for (const TimingFrame* f = timingFrames; f; f = f->outer)
        if (f->packet == packet)
            return true;
    return false;
}

} // namespace

double GenericTimeResolver::unixTime(const TMPacket* packet) const
{
    if (isBeingTimed(packet))
        return 0.0;
    const DataInterpretation* hub = DataInterpretation::current();
    const int id = hub->packetTypes.info(packet->apid()).timeDataId;
    if (id <= 0)
        return 0.0;
    const TimingFrame frame{packet, timingFrames};
    timingFrames = &frame;
    struct Pop
    {
        ~Pop() { timingFrames = timingFrames->outer; }
    } pop;
    bool ok = false;
    const double value = hub->getValue(id, packet, Gse::Raw, &ok, false, nullptr);
    return ok ? value : 0.0;
}

double GenericTimeResolver::unixTime(const TMPacket*, long long) const
{
    qWarning() << Q_FUNC_INFO << "Not implemented";
    return 0.0;
}

double GenericTimeResolver::relativeTime(const TMPacket* packet) const
{
    return relativeTime(packet, static_cast<long long>(packet->rawTimestamp())) +
           packet->rawTimestampMs() / 1000.0;
}

} // namespace GseLib
