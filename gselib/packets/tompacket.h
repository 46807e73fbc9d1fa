#pragma once
// A TOM packet: 8-byte header (type, sequence, data length, raw timestamp),
// the data (first byte the subtype) and a big-endian Fletcher-32 trailer.
#include "gselib/packets/tmpacket.h"

namespace GseLib {

class TomPacket : public TMPacket
{
public:
    static constexpr int HEADER_SIZE = 8;
    static constexpr int TRAILER_SIZE = 4;

    TomPacket(const uint8_t* data, int length, int index, const TimeResolver* resolver);
    TomPacket(ByteVectorPtr bytes, int index, const TimeResolver* resolver);

    int dataOffset() const override { return HEADER_SIZE; }
    int headerSize() const override { return HEADER_SIZE; }
    int type() const override;
    int fullType() const override;
    int subType() const override;
    int sequence() const override;
    [[noreturn]] void incrementSequence() override;
    unsigned int dataLength() const override { return be16(2); }
    uint32_t rawTimestamp() const override { return be32(4); }
    double rawTimestampMs() const override { return 0.0; }
    uint32_t checksum() const override;
    [[noreturn]] void updateDataLength() override;

private:
    // Bytes 0, 1 and 8 are part of what callers compare; a packet without them is an error.
    uint8_t checkedByte(size_t n) const;
};

} // namespace GseLib
