#pragma once
// CCSDS space packets: the 6-byte primary header (read and written in place
// through CcsdsPrimaryHeader) and the packet over it. The first 6 data bytes
// are read as a secondary header: 32-bit seconds and a 16-bit fraction.
// Packets may be shorter than their headers: a byte that is not there reads as 0.
#include "gselib/packets/tmpacket.h"

#include <QByteArray>

namespace GseLib {

class CcsdsPrimaryHeader
{
public:
    static constexpr int SIZE = 6;

    enum PacketType : int { Telemetry = 0, Telecommand = 1 };
    enum SegmentFlags : int { Continuation = 0, First = 1, Last = 2, Unsegmented = 3 };

    CcsdsPrimaryHeader() = default;
    explicit CcsdsPrimaryHeader(ByteVectorPtr bytes) : bytes_(std::move(bytes)) {}
    // A copy shares the vector, also when copied from a packet's header.
    CcsdsPrimaryHeader(const CcsdsPrimaryHeader& other) : bytes_(other.shared()) {}
    CcsdsPrimaryHeader& operator=(const CcsdsPrimaryHeader& other)
    {
        bytes_ = other.shared();
        return *this;
    }
    CcsdsPrimaryHeader(int apid, int version, PacketType type, bool hasSecHeader, SegmentFlags flags,
                       int sequenceCount, int dataLength);
    CcsdsPrimaryHeader(int apid, int dataLength, int sequenceCount, bool hasSecHeader, SegmentFlags flags,
                       PacketType type, int version);

    // The APID of a header whose first two bytes are these.
    static constexpr int apidOf(uint8_t first, uint8_t second) { return ((first & 0x07) << 8) | second; }
    // Distinct APIDs: 11 bits.
    static constexpr size_t APID_COUNT = 1 << 11;

    bool isValid() const { return vector() != nullptr; }
    bool isValidTelemetryHeader() const;

    int versionNumber() const { return byte(0) >> 5; }
    PacketType packetType() const { return PacketType((byte(0) >> 4) & 1); }
    int apid() const { return apidOf(byte(0), byte(1)); }
    bool hasSecHeader() const { return (byte(0) >> 3) & 1; }
    SegmentFlags segmentFlags() const { return SegmentFlags(byte(2) >> 6); }
    int sequenceCount() const { return ((byte(2) & 0x3F) << 8) | byte(3); }
    // Bytes after the header: the length field plus 1 (up to 65536).
    unsigned int dataLength() const { return ((unsigned(byte(4)) << 8) | byte(5)) + 1u; }

    void setVersionNumber(int version);
    void setPacketType(PacketType type);
    void setHasSecHeader(bool has);
    void setApid(int apid);
    void setSegmentFlags(SegmentFlags flags);
    void setSequenceCount(int count);
    void setDataLength(int length);
    // Adds 1 to the 14-bit count, wrapping from 16383 to 0; the segment flags stay.
    void incrementSequenceCount();

    QByteArray toByteArray() const;

private:
    friend class CcsdsPacket;

    // A packet's own header refers to the packet's `bytes` member instead of
    // sharing its vector: a stored packet keeps one count rather than two,
    // and its header follows the packet's bytes when they are replaced. The
    // member's address is kept tagged in bit 0 (which no vector's address
    // has) in a pointer without owner.
    void readFrom(const ByteVectorPtr* packetBytes)
    {
        bytes_ = ByteVectorPtr(ByteVectorPtr(),
                               reinterpret_cast<ByteVector*>(reinterpret_cast<uintptr_t>(packetBytes) | 1u));
    }
    const ByteVectorPtr* packetBytes() const
    {
        const auto v = reinterpret_cast<uintptr_t>(bytes_.get());
        return v & 1u ? reinterpret_cast<const ByteVectorPtr*>(v & ~uintptr_t(1)) : nullptr;
    }
    ByteVector* vector() const
    {
        const ByteVectorPtr* p = packetBytes();
        return p ? p->get() : bytes_.get();
    }
    ByteVectorPtr shared() const
    {
        const ByteVectorPtr* p = packetBytes();
        return p ? *p : bytes_;
    }
    size_t size() const
    {
        const ByteVector* v = vector();
        return v ? v->size() : 0;
    }
    uint8_t byte(size_t n) const
    {
        const ByteVector* v = vector();
        return v && n < v->size() ? (*v)[n] : 0;
    }
    void setBits(size_t n, uint8_t mask, uint8_t value)
    {
        ByteVector* v = vector();
        if (v && n < v->size())
            (*v)[n] = uint8_t(((*v)[n] & ~mask) | (value & mask));
    }

    ByteVectorPtr bytes_;
};

class CcsdsPacket : public TMPacket
{
public:
    CcsdsPacket();
    CcsdsPacket(const uint8_t* data, int length, int index, const TimeResolver* resolver);
    CcsdsPacket(ByteVectorPtr bytes, int index, const TimeResolver* resolver);
    // A zeroed packet of `size` bytes (at least 7) with APID, secondary-header
    // flag, segment flags and the length field set. Throws std::runtime_error below 7.
    CcsdsPacket(size_t size, int apid, bool hasSecondaryHeader, CcsdsPrimaryHeader::SegmentFlags flags,
                int index);
    // The copy's header reads the copy's bytes (which it shares with the original).
    CcsdsPacket(const CcsdsPacket& other);
    CcsdsPacket& operator=(const CcsdsPacket& other);

    int dataOffset() const override { return CcsdsPrimaryHeader::SIZE; }
    int headerSize() const override { return CcsdsPrimaryHeader::SIZE; }
    int type() const override { return CcsdsPrimaryHeader::apidOf(byteAt(0), byteAt(1)); }
    int fullType() const override { return type(); }
    int subType() const override { return 0; }
    int sequence() const override { return header.sequenceCount(); }
    void incrementSequence() override { header.incrementSequenceCount(); }
    unsigned int dataLength() const override { return be16(4) + 1u; }
    uint32_t rawTimestamp() const override { return be32(6); }
    double rawTimestampMs() const override { return be16(10) / 65536.0 * 1000.0; }
    uint32_t checksum() const override { return 0; }
    int versionNumber() const override { return header.versionNumber(); }
    int typeIndicator() const override { return header.packetType(); }
    int hasSecondaryHeader() const override { return header.hasSecHeader() ? 1 : 0; }
    int segmentFlags() const override { return header.segmentFlags(); }
    void updateDataLength() override;

    CcsdsPrimaryHeader header;
};

} // namespace GseLib
