#pragma once
// One ITF transfer frame of the second instrument's link: a 10-byte header
// (sync FE FA 30 C8, vc, seq, len, offset), CCSDS packets, a 2-byte checksum.
// Ground tools parse received frames into their packets and build frames to
// send. A value class: copies share the header bytes and copy the packet list.
// A malformed frame is reported by one line on Qt's warning channel and keeps
// the packets read before the fault; nothing throws.
#include "tolvalib/tolvaccsdspacket.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

namespace TolvaGse {

class TolvaItfPacket
{
public:
    static constexpr int HEADER_SIZE = 10;
    static constexpr uint32_t SYNC = 0xFEFA30C8;
    // len counts the packet area + 4.
    static constexpr unsigned MIN_LEN = 4;
    static constexpr unsigned MAX_LEN = 4100;
    static constexpr unsigned MAX_TELECOMMAND_DATA = 1006;
    static constexpr unsigned MAX_TELEMETRY_DATA = 4090;

    // A frame sequence counter kept for the link tools; nothing here uses it.
    static uint32_t seqNum;

    // A new frame: sync, vc 4, seq 0, len 0, offset 0, no packets.
    TolvaItfPacket();
    // Parses the frame held in `bytes`, sharing them as the header.
    explicit TolvaItfPacket(GseLib::ByteVectorPtr bytes);
    // Parses a copy of the bytes.
    explicit TolvaItfPacket(const QByteArray& bytes);

    // Appends the packet and sets len to 4 + the packets' lengths, each
    // rounded up to even for the pad byte that toByteArray writes after an
    // odd packet (kept to 16 bits). A header under 10 bytes is first extended.
    void append(const TolvaCcsdsPacket& packet);
    // Header as stored (missing bytes as 0), packets each padded to even, checksum.
    QByteArray toByteArray() const;
    // The last two bytes of toByteArray() as a big-endian number.
    uint16_t checksum() const;
    // Describes the frame that the bytes hold, then each packet.
    static QString toString(const QByteArray& bytes);

    const QList<TolvaCcsdsPacket>& packets() const { return packets_; }
    const GseLib::ByteVectorPtr& headerBytes() const { return header_; }
    uint32_t sync() const { return (uint32_t(be16(0)) << 16) | be16(2); }
    uint8_t vc() const { return byte(4); }
    uint8_t seq() const { return byte(5); }
    uint16_t len() const { return be16(6); }
    uint16_t offset() const { return be16(8); }

private:
    void parse();
    uint8_t byte(size_t n) const { return n < header_->size() ? (*header_)[n] : 0; }
    uint16_t be16(size_t n) const { return uint16_t((byte(n) << 8) | byte(n + 1)); }

    GseLib::ByteVectorPtr header_;
    QList<TolvaCcsdsPacket> packets_;
};

} // namespace TolvaGse
