#pragma once
// Shared by the generic decoders: the bytes a packet really holds, the
// overflow-safe fit test every field passes before a byte is read, and the
// packet's times, taken once per decode call (with a generic time resolver
// each take is itself a decode, so never per sample).
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tmpacket.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace GenericDecoding {

// A packet's readable bytes: its stated length, never more than it holds.
struct PacketView
{
    const std::uint8_t* data = nullptr;
    std::uint64_t length = 0;
};

inline PacketView viewOf(const GseLib::TMPacket& packet)
{
    if (!packet.bytes || packet.bytes->empty())
        return {};
    return {packet.bytes->data(), std::min<std::uint64_t>(packet.totalLength(), packet.bytes->size())};
}

// n bytes from offset o lie inside a packet of `length` bytes. Written so
// that no sum can wrap, whatever the row's offsets and counts.
inline bool fits(std::uint64_t o, std::uint64_t n, std::uint64_t length)
{
    return n <= length && o <= length - n;
}

struct PacketTimes
{
    double unixTime = 0.0;
    double relativeTime = 0.0;
};

// A packet without a resolver has no time: 0, rather than a null dereference.
inline PacketTimes timesOf(const GseLib::TMPacket& packet)
{
    if (!packet.timeResolver)
        return {};
    return {packet.unixTime(), packet.relativeTime()};
}

inline double unixTimeOf(const GseLib::TMPacket& packet)
{
    return packet.timeResolver ? packet.unixTime() : 0.0;
}

// DECODE_IDk (0-based k); a row built in code may hold fewer than four.
inline unsigned long long decodeId(const std::vector<unsigned long long>& ids, std::size_t k)
{
    return k < ids.size() ? ids[k] : 0;
}

// The time offset of sample i; rows built in code may carry fewer than samples.
inline double timeOffset(const std::vector<double>& timeOffsets, std::size_t i)
{
    return i < timeOffsets.size() ? timeOffsets[i] : 0.0;
}

// Appends one item; the value is assigned by the caller.
inline GseLib::DataItem& appendItem(GseLib::DataItems& items, double unixTime, double relativeTime,
                                    std::uint64_t offset, std::uint64_t count)
{
    GseLib::DataItem& item = items.emplace_back();
    item.unixTime = unixTime;
    item.relativeTime = relativeTime;
    item.offset = static_cast<std::int32_t>(offset);
    item.count = static_cast<std::int32_t>(count);
    return item;
}

} // namespace GenericDecoding
