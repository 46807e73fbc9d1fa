// A TOM packet's fields read from its bytes: type (the first byte's low seven
// bits), subtype, sequence and checksum trailer, with a byte past the end of
// a short packet refused by an out_of_range error.
#include "gselib/packets/tompacket.h"

#include <QtGlobal>
#include <stdexcept>
#include <string>

namespace GseLib {

TomPacket::TomPacket(const uint8_t* data, int length, int index, const TimeResolver* resolver)
    : TMPacket(data, length, index, resolver)
{
}

TomPacket::TomPacket(ByteVectorPtr bytes, int index, const TimeResolver* resolver)
    : TMPacket(std::move(bytes), index, resolver)
{
}

uint8_t TomPacket::checkedByte(size_t n) const
{
    if (n >= size())
        throw std::out_of_range("TOM packet of " + std::to_string(size()) + " bytes has no byte " +
                                std::to_string(n));
    return (*bytes)[n];
}

int TomPacket::type() const
{
    return checkedByte(0) & 0x7F;
}

int TomPacket::fullType() const
{
    return checkedByte(0);
}

int TomPacket::subType() const
{
    return checkedByte(8);
}

int TomPacket::sequence() const
{
    return checkedByte(1);
}

uint32_t TomPacket::checksum() const
{
    return size() >= 4 ? be32(size() - 4) : 0;
}

void TomPacket::incrementSequence()
{
    qFatal("incrementSequence() not implemented");
}

void TomPacket::updateDataLength()
{
    qFatal("updateDataLength() not implemented");
}

} // namespace GseLib
