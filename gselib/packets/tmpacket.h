#pragma once
// The abstract telemetry packet: one shared byte vector holding the whole
// packet, its index in its archive and the time resolver that times it.
#include "gselib/packets/packetarena.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <QString>

namespace GseLib {

class TimeResolver;
class TMPacket;

using TMPacketPtr = std::shared_ptr<TMPacket>;

class TMPacket : public std::enable_shared_from_this<TMPacket>
{
public:
    TMPacket();
    TMPacket(const uint8_t* data, int length, int index, const TimeResolver* resolver);
    TMPacket(ByteVectorPtr bytes, int index, const TimeResolver* resolver);
    TMPacket(size_t size, int index);
    virtual ~TMPacket();

    virtual int dataOffset() const = 0;
    virtual int headerSize() const = 0;
    virtual int type() const = 0;
    virtual int fullType() const = 0;
    virtual int subType() const = 0;
    virtual int sequence() const = 0;
    virtual void incrementSequence() = 0;
    virtual unsigned int dataLength() const = 0;
    virtual size_t totalLength() const;
    virtual uint32_t rawTimestamp() const = 0;
    virtual double rawTimestampMs() const = 0;
    virtual uint32_t checksum() const = 0;
    virtual int apid() const;
    virtual int versionNumber() const;
    virtual int typeIndicator() const;
    virtual int hasSecondaryHeader() const;
    virtual int segmentFlags() const;
    virtual void updateDataLength() = 0;

    // Times, through the packet's resolver (which must be set).
    double unixTime() const;
    double unixTimeFromTicks(long long ticks) const;
    double unixTimeFromSeconds(double s) const;
    double relativeTime() const;
    double relativeTimeFromTicks(long long ticks) const;
    double relativeTimeFromSeconds(double s) const;
    double groundRelativeTime() const;

    // Resizes the byte vector (new bytes zero) and writes the new length into the header.
    void resize(size_t n);

    // Name and ground-created flag from the current data interpretation's packet-type table.
    QString typeName() const;
    bool isGseCreated() const;

    // The first byte of the packet, or null when there is none.
    const uint8_t* data() const { return bytes && !bytes->empty() ? bytes->data() : nullptr; }

    ByteVectorPtr bytes;
    int index = -1;
    // Next to index rather than after timeResolver: two 4-byte fields side
    // by side make every stored packet 8 bytes smaller.
    uint32_t groundSeconds = 0;
    const TimeResolver* timeResolver = nullptr;
    double groundMs = 0.0;

protected:
    size_t size() const { return bytes ? bytes->size() : 0; }
    // A header byte; a byte the packet does not hold reads as 0.
    uint8_t byteAt(size_t n) const { return n < size() ? (*bytes)[n] : 0; }
    uint32_t be16(size_t n) const { return (uint32_t(byteAt(n)) << 8) | byteAt(n + 1); }
    uint32_t be32(size_t n) const { return (be16(n) << 16) | be16(n + 2); }
    void setByte(size_t n, uint8_t v)
    {
        if (n < size())
            (*bytes)[n] = v;
    }
};

} // namespace GseLib
