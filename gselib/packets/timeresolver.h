#pragma once
// A time resolver gives every packet of an archive its Unix time and its time
// relative to a t0 packet, which it picks from the packets handed to it in
// file order. The packet cache owns one; packets hold a non-owning pointer.
#include "gselib/packets/tmpacket.h"

#include <QString>
#include <cstdint>
#include <tuple>

namespace GseLib {

class TimeResolver
{
public:
    TimeResolver();
    virtual ~TimeResolver();

    virtual void reset() = 0;
    // A t0 estimate in Unix seconds; the general resolvers ignore it.
    virtual void setT0Fallback(double unixSeconds);
    virtual double ticksToSeconds(long long ticks) const = 0;
    virtual long long secondsToTicks(double s) const = 0;
    virtual double unixTime(const TMPacket* packet) const = 0;
    virtual double unixTime(const TMPacket* packet, long long ticks) const = 0;
    virtual double unixTimeOfT0Estimate() const;
    virtual double relativeTime(const TMPacket* packet) const = 0;
    virtual double relativeTime(const TMPacket* packet, long long ticks) const = 0;
    virtual long long correctedCount() const = 0;
    virtual bool isSynced() const = 0;
    virtual unsigned long long unixOffset() const;
    // Offered every new packet in file order, before the cache's own hook.
    virtual bool handlePacket(const TMPacketPtr& packet) = 0;
    virtual TMPacketPtr t0Packet() const = 0;

    double unixTimeOfT0() const;
    uint32_t ticksOfT0() const;
    // Ground-receipt time of the packet, less that of t0 when there is one.
    double groundRelativeTime(const TMPacket* packet) const;

    void setT0MinRawTimestamp(unsigned long long minimum) { t0MinRawTimestamp = minimum; }
    unsigned long long t0MinimumRawTimestamp() const { return t0MinRawTimestamp; }
    void setAcceptGseCreatedT0(bool accept) { acceptGseCreatedT0 = accept; }
    bool acceptsGseCreatedT0() const { return acceptGseCreatedT0; }

protected:
    unsigned long long t0MinRawTimestamp = 0; // packets with a smaller raw timestamp are never t0
    bool acceptGseCreatedT0 = false;
};

// From a clock-correlation table (lines "start unixTime rate", "#" comments):
// the last entry, in file order, whose start is not greater than `clock`
// before the first larger one. Default (0, 946727936, 1).
std::tuple<double, double, double> getSclkEntry(const QString& path, double clock);

} // namespace GseLib
