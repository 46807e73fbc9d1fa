// CCSDS primary headers set field by field in their packet's bytes, and the
// packets over them: read from an archive's bytes, or made anew of a size
// (at least 7 bytes) with the header's length field kept in step with it.
// A copy's header reads the copy's own bytes.
#include "gselib/packets/ccsdspacket.h"

#include <stdexcept>

namespace GseLib {

CcsdsPrimaryHeader::CcsdsPrimaryHeader(int apid, int version, PacketType type, bool hasSecHeader,
                                       SegmentFlags flags, int sequenceCount, int dataLength)
    : bytes_(makePacketBytes(SIZE))
{
    setVersionNumber(version);
    setPacketType(type);
    setHasSecHeader(hasSecHeader);
    setApid(apid);
    setSegmentFlags(flags);
    setSequenceCount(sequenceCount);
    setDataLength(dataLength);
}

CcsdsPrimaryHeader::CcsdsPrimaryHeader(int apid, int dataLength, int sequenceCount, bool hasSecHeader,
                                       SegmentFlags flags, PacketType type, int version)
    : CcsdsPrimaryHeader(apid, version, type, hasSecHeader, flags, sequenceCount, dataLength)
{
}

bool CcsdsPrimaryHeader::isValidTelemetryHeader() const
{
    return size() >= size_t(SIZE) && byte(0) <= 15 && apid() != 0;
}

void CcsdsPrimaryHeader::setVersionNumber(int version)
{
    setBits(0, 0xE0, uint8_t(version << 5));
}

void CcsdsPrimaryHeader::setPacketType(PacketType type)
{
    setBits(0, 0x10, uint8_t(type << 4));
}

void CcsdsPrimaryHeader::setHasSecHeader(bool has)
{
    setBits(0, 0x08, has ? 0x08 : 0);
}

void CcsdsPrimaryHeader::setApid(int apid)
{
    setBits(0, 0x07, uint8_t(apid >> 8));
    setBits(1, 0xFF, uint8_t(apid));
}

void CcsdsPrimaryHeader::setSegmentFlags(SegmentFlags flags)
{
    setBits(2, 0xC0, uint8_t(flags << 6));
}

void CcsdsPrimaryHeader::setSequenceCount(int count)
{
    setBits(2, 0x3F, uint8_t(count >> 8));
    setBits(3, 0xFF, uint8_t(count));
}

void CcsdsPrimaryHeader::setDataLength(int length)
{
    const int field = length - 1;
    setBits(4, 0xFF, uint8_t(field >> 8));
    setBits(5, 0xFF, uint8_t(field));
}

void CcsdsPrimaryHeader::incrementSequenceCount()
{
    setSequenceCount((sequenceCount() + 1) & 0x3FFF);
}

QByteArray CcsdsPrimaryHeader::toByteArray() const
{
    QByteArray out(SIZE, '\0');
    for (int i = 0; i < SIZE; ++i)
        out[i] = char(byte(size_t(i)));
    return out;
}

CcsdsPacket::CcsdsPacket()
{
    header.readFrom(&bytes);
}

CcsdsPacket::CcsdsPacket(const uint8_t* data, int length, int index, const TimeResolver* resolver)
    : TMPacket(data, length, index, resolver)
{
    header.readFrom(&bytes);
}

CcsdsPacket::CcsdsPacket(ByteVectorPtr bytes, int index, const TimeResolver* resolver)
    : TMPacket(std::move(bytes), index, resolver)
{
    header.readFrom(&this->bytes);
}

static size_t checkedCcsdsSize(size_t size)
{
    if (size < 7)
        throw std::runtime_error("A CCSDS packet needs at least 7 bytes");
    return size;
}

CcsdsPacket::CcsdsPacket(size_t size, int apid, bool hasSecondaryHeader,
                         CcsdsPrimaryHeader::SegmentFlags flags, int index)
    : TMPacket(checkedCcsdsSize(size), index)
{
    header.readFrom(&bytes);
    header.setApid(apid);
    header.setHasSecHeader(hasSecondaryHeader);
    header.setSegmentFlags(flags);
    updateDataLength();
}

CcsdsPacket::CcsdsPacket(const CcsdsPacket& other) : TMPacket(other), header(other.header)
{
    if (other.header.packetBytes() == &other.bytes)
        header.readFrom(&bytes);
}

CcsdsPacket& CcsdsPacket::operator=(const CcsdsPacket& other)
{
    TMPacket::operator=(other);
    if (other.header.packetBytes() == &other.bytes)
        header.readFrom(&bytes);
    else
        header = other.header;
    return *this;
}

void CcsdsPacket::updateDataLength()
{
    // The header reads this packet's bytes again (it may have been given
    // another vector), now that resize() may have made them.
    header.readFrom(&bytes);
    // A packet of fewer than 7 bytes has no length that the field can express.
    if (size() >= 7)
        header.setDataLength(int(size() - CcsdsPrimaryHeader::SIZE));
}

} // namespace GseLib
