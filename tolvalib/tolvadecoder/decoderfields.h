#pragma once
// Field reads shared by the second instrument's decoders: big-endian unsigned
// values at byte positions of the whole packet, masked and shifted by a
// row's decode parameters, and the item every decoder appends. Positions
// come from database rows (up to 2^64 - 1), so every position is checked
// against the packet's length before a byte is read.
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/tmpacket.h"

#include <cstddef>
#include <cstdint>

namespace TolvaGse {

// The packet's bytes and total length S, without copying them.
struct PacketBytes
{
    explicit PacketBytes(const GseLib::TMPacket* packet)
        : data(packet->data())
        , size(data ? packet->totalLength() : 0)
    {
    }

    // Whether `width` bytes from `pos` lie inside the packet (no overflow for any pos).
    bool fits(uint64_t pos, uint64_t width) const { return pos <= size && width <= size - pos; }
    uint32_t u8(size_t pos) const { return data[pos]; }
    uint32_t u16(size_t pos) const { return (uint32_t(data[pos]) << 8) | data[pos + 1]; }
    uint32_t u32(size_t pos) const { return (u16(pos) << 16) | u16(pos + 2); }
    // A byte past the end reads as 0 (only for fields allowed to run one byte over).
    uint32_t byteOr0(uint64_t pos) const { return pos < size ? data[pos] : 0u; }

    const uint8_t* data;
    size_t size;
};

// The row's mask (DECODE_ID3, 0 for all bits of the width) and right shift
// (DECODE_ID4, taken modulo 32), read once per decode.
struct FieldMask
{
    explicit FieldMask(const GseLib::TmDatabaseRow& row)
        : mask(row.decodeIds.size() > 2 ? row.decodeIds[2] : 0)
        , shift(unsigned(row.decodeIds.size() > 3 ? row.decodeIds[3] : 0) & 31u)
    {
    }

    double apply(uint64_t value, int width) const
    {
        const uint64_t all = width >= 4 ? 0xFFFFFFFFull : (1ull << (8 * width)) - 1;
        return double((value & (mask ? mask : all)) >> shift);
    }

    uint64_t mask;
    unsigned shift;
};

// DECODE_ID1 .. DECODE_ID4 (0 for a missing entry).
inline uint64_t decodeId(const GseLib::TmDatabaseRow& row, size_t n)
{
    return n < row.decodeIds.size() ? row.decodeIds[n] : 0;
}

// The row's number as an item's 32-bit count: its low 32 bits.
inline int32_t countOf(uint64_t n)
{
    return static_cast<int32_t>(static_cast<uint32_t>(n));
}

inline void appendItem(GseLib::DataItems& items, double unixTime, double relativeTime, uint64_t offset,
                       int32_t count, double value)
{
    GseLib::DataItem& item = items.emplace_back();
    item.unixTime = unixTime;
    item.relativeTime = relativeTime;
    item.offset = static_cast<int32_t>(offset);
    item.count = count;
    item.value = value;
}

// The data id of `key` in the hub's database, looked up once per hub and
// load: whether the key is there at all is kept, so an absent key never
// stands for an unrelated item with id 0.
class CachedDataId
{
public:
    explicit CachedDataId(const char* key) : key_(key) {}

    // False when the hub is null or its database lacks the key.
    bool lookup(const GseLib::DataInterpretation* hub, int* id) const;

private:
    const char* key_;
    mutable const GseLib::DataInterpretation* hub_ = nullptr;
    mutable uint64_t generation_ = 0;
    mutable bool found_ = false;
    mutable int id_ = 0;
};

} // namespace TolvaGse
