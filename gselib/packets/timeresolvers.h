#pragma once
// The general time resolvers: raw timestamps as Unix seconds, as GPS seconds
// with an offset, as TAI seconds since 1958, or a time data item of the packet.
#include "gselib/packets/timeresolver.h"

namespace GseLib {

// Shared behaviour of the general resolvers: t0 is the first packet handled
// that passes the minimum raw timestamp (and, where tested, is not ground-created).
class BasicTimeResolver : public TimeResolver
{
public:
    void reset() override { t0.reset(); }
    double ticksToSeconds(long long ticks) const override { return double(ticks); }
    long long secondsToTicks(double s) const override { return static_cast<long long>(s); }
    double relativeTime(const TMPacket* packet, long long ticks) const override;
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const TMPacketPtr& packet) override;
    TMPacketPtr t0Packet() const override { return t0; }

protected:
    explicit BasicTimeResolver(bool testsGseCreated) : testsGseCreated_(testsGseCreated) {}

    TMPacketPtr t0;

private:
    bool testsGseCreated_;
};

class UnixTimeResolver : public BasicTimeResolver
{
public:
    UnixTimeResolver() : BasicTimeResolver(true) {}
    double unixTime(const TMPacket* packet) const override;
    double unixTime(const TMPacket* packet, long long ticks) const override;
    double relativeTime(const TMPacket* packet) const override;
    using BasicTimeResolver::relativeTime;
};

class GpsTimeResolver : public BasicTimeResolver
{
public:
    explicit GpsTimeResolver(unsigned long long offset) : BasicTimeResolver(true), unixOffset_(offset) {}
    double unixTime(const TMPacket* packet) const override;
    double unixTime(const TMPacket* packet, long long ticks) const override;
    double relativeTime(const TMPacket* packet) const override;
    using BasicTimeResolver::relativeTime;
    unsigned long long unixOffset() const override { return unixOffset_; }

private:
    unsigned long long unixOffset_;
};

// Raw timestamps count seconds since 1958-01-01 (no leap seconds applied).
class TaiTimeResolver : public BasicTimeResolver
{
public:
    static const long long offset; // seconds from 1958-01-01 to 1970-01-01

    TaiTimeResolver() : BasicTimeResolver(false) {}
    double unixTime(const TMPacket* packet) const override;
    double unixTime(const TMPacket* packet, long long ticks) const override;
    double relativeTime(const TMPacket* packet) const override;
    using BasicTimeResolver::relativeTime;
};

// Unix time from the time data item that the packet-type table names for the packet's type.
class GenericTimeResolver : public BasicTimeResolver
{
public:
    GenericTimeResolver() : BasicTimeResolver(false) {}
    double unixTime(const TMPacket* packet) const override;
    double unixTime(const TMPacket* packet, long long ticks) const override;
    double relativeTime(const TMPacket* packet) const override;
    using BasicTimeResolver::relativeTime;
};

} // namespace GseLib
