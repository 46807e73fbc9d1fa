#pragma once
// The data area of a first-instrument packet: its bytes from dataOffset() on,
// N = dataLength() capped at the bytes the packet holds (only hand-made
// packets differ; the cache stores the whole body). Reads past N give 0, so
// the records, the scan and the time rules never read past a packet.
#include "gselib/packets/tmpacket.h"

#include <cstddef>
#include <cstdint>

namespace KorGse {

class DataArea
{
public:
    DataArea() = default;
    explicit DataArea(const GseLib::TMPacket* packet)
    {
        if (!packet || !packet->bytes)
            return;
        const size_t total = packet->bytes->size();
        const int offset = packet->dataOffset();
        if (offset < 0 || size_t(offset) >= total)
            return;
        data_ = packet->bytes->data() + offset;
        const size_t available = total - size_t(offset);
        const size_t declared = packet->dataLength();
        length_ = declared < available ? declared : available;
    }

    const uint8_t* data() const { return data_; }
    size_t size() const { return length_; }

    // True when n bytes from `offset` lie inside the area (no overflow for any offset).
    bool holds(uint64_t offset, uint64_t n) const { return offset <= length_ && n <= length_ - offset; }

    uint8_t u8(size_t offset) const { return offset < length_ ? data_[offset] : 0; }
    uint16_t be16(size_t offset) const
    {
        if (holds(offset, 2))
            return uint16_t((unsigned(data_[offset]) << 8) | data_[offset + 1]);
        return uint16_t((unsigned(u8(offset)) << 8) | u8(offset + 1));
    }
    uint32_t be32(size_t offset) const
    {
        return (uint32_t(be16(offset)) << 16) | be16(offset + 2);
    }

private:
    const uint8_t* data_ = nullptr;
    size_t length_ = 0;
};

} // namespace KorGse
