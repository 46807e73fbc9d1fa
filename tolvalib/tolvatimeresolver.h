#pragma once
// Times the second instrument's packets from their secondary header: bytes 6-9
// count seconds since 2010-01-01T00:00:00 UTC, byte 10 a fraction in 1/256 s.
// The first packet handed over after construction or reset() is t0. The
// instrument's packet cache owns one; TolvaCcsdsPacket objects own their own.
#include "gselib/packets/timeresolvers.h"

namespace TolvaGse {

class TolvaTimeResolver : public GseLib::GenericTimeResolver
{
public:
    // 2010-01-01T00:00:00 UTC in Unix seconds.
    static constexpr double UNIX_SECONDS_AT_2010 = 1262304000.0;

    TolvaTimeResolver() = default;
    ~TolvaTimeResolver() override = default;

    void reset() override { t0.reset(); }
    // The packets carry their own time: no estimate is kept.
    void setT0Fallback(double) override {}
    double ticksToSeconds(long long ticks) const override { return double(ticks); }
    // Truncates toward zero; out-of-range seconds saturate instead of overflowing.
    long long secondsToTicks(double s) const override;
    double unixTime(const GseLib::TMPacket* packet) const override;
    // The count taken as seconds after t0; the packet is not read.
    double unixTime(const GseLib::TMPacket* packet, long long ticks) const override;
    double unixTimeOfT0Estimate() const override { return 0.0; }
    double relativeTime(const GseLib::TMPacket* packet) const override;
    // Seconds after t0 as well, so that it differs from the Unix form by the
    // Unix time of t0, as every packet's two times do.
    double relativeTime(const GseLib::TMPacket* packet, long long ticks) const override;
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    unsigned long long unixOffset() const override { return 0; }
    // The first packet becomes t0; ground-created packets and minimum counts
    // are not tested. Always true.
    bool handlePacket(const GseLib::TMPacketPtr& packet) override;
    GseLib::TMPacketPtr t0Packet() const override { return t0; }

private:
    // Unix time of t0 without copying its pointer (the per-packet time path).
    double t0Seconds() const { return t0 ? unixTime(t0.get()) : unixTimeOfT0Estimate(); }
};

} // namespace TolvaGse
