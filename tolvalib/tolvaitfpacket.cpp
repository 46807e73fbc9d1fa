#include "tolvalib/tolvaitfpacket.h"

#include <QDebug>

namespace TolvaGse {

uint32_t TolvaItfPacket::seqNum = 0;

TolvaItfPacket::TolvaItfPacket() : header_(GseLib::makePacketBytes(HEADER_SIZE))
{
    const uint8_t head[HEADER_SIZE] = {0xFE, 0xFA, 0x30, 0xC8, 0x04, 0, 0, 0, 0, 0};
    std::copy(head, head + HEADER_SIZE, header_->begin());
}

TolvaItfPacket::TolvaItfPacket(GseLib::ByteVectorPtr bytes)
    : header_(bytes ? std::move(bytes) : GseLib::makePacketBytes())
{
    parse();
}

TolvaItfPacket::TolvaItfPacket(const QByteArray& bytes)
    : TolvaItfPacket(
          GseLib::makePacketBytes(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size())))
{
}

void TolvaItfPacket::parse()
{
    const GseLib::ByteVector& v = *header_;
    const size_t given = v.size();
    const unsigned length = len();
    if (length < MIN_LEN || length > MAX_LEN) {
        qWarning() << "Invalid ITF Message Length: " << length;
        return;
    }
    const size_t area = length - 4;
    size_t pos = offset();
    for (;;) {
        if (pos + 6 >= area)
            return;
        if (given < pos + 16) {
            qWarning() << "Invalid CCSDS Data!";
            return;
        }
        const uint8_t* h = v.data() + HEADER_SIZE + pos;
        const size_t d = ((size_t(h[4]) << 8) | h[5]) + 1;
        const bool telecommand = (h[0] >> 4) & 1;
        const unsigned limit = telecommand ? MAX_TELECOMMAND_DATA : MAX_TELEMETRY_DATA;
        if (d > limit) {
            qWarning() << "Invalid CCSDS Data Length: " << d << ", expected max value is" << limit;
            return;
        }
        if (given < pos + 16 + d) {
            qWarning() << "Invalid CCSDS packet, dataLength =" << 16 + pos + d << "but only" << given
                       << "bytes are available";
            return;
        }
        packets_.append(TolvaCcsdsPacket(GseLib::makePacketBytes(h, 6 + d)));
        pos += 6 + d;
        // The pad byte that follows an odd packet. No packet of this
        // instrument begins with 0 (its secondary-header flag is set), so a
        // frame written without pads still parses.
        if ((6 + d) % 2 && pos < area && byte(HEADER_SIZE + pos) == 0)
            ++pos;
    }
}

void TolvaItfPacket::append(const TolvaCcsdsPacket& packet)
{
    if (header_->size() < size_t(HEADER_SIZE))
        header_->resize(HEADER_SIZE, 0);
    packets_.append(packet);
    size_t length = 4;
    for (const TolvaCcsdsPacket& p : packets_)
        length += (p.totalLength() + 1) & ~size_t(1);
    (*header_)[6] = uint8_t(length >> 8);
    (*header_)[7] = uint8_t(length);
}

QByteArray TolvaItfPacket::toByteArray() const
{
    QByteArray out;
    qsizetype total = HEADER_SIZE + 2;
    for (const TolvaCcsdsPacket& p : packets_)
        total += qsizetype((p.totalLength() + 1) & ~size_t(1));
    out.reserve(total);
    for (size_t i = 0; i < size_t(HEADER_SIZE); ++i)
        out.append(char(byte(i)));
    for (const TolvaCcsdsPacket& p : packets_) {
        if (p.bytes)
            out.append(reinterpret_cast<const char*>(p.bytes->data()), qsizetype(p.bytes->size()));
        if (p.totalLength() % 2)
            out.append('\0');
    }
    uint8_t even = 0;
    uint8_t odd = 0;
    const auto* data = reinterpret_cast<const uint8_t*>(out.constData());
    const qsizetype pairs = (out.size() - 4) / 2;
    for (qsizetype i = 0; i < pairs; ++i) {
        even ^= data[4 + 2 * i];
        odd ^= data[5 + 2 * i];
    }
    out.append(char(even));
    out.append(char(odd));
    return out;
}

uint16_t TolvaItfPacket::checksum() const
{
    const QByteArray out = toByteArray();
    return uint16_t((uint8_t(out[out.size() - 2]) << 8) | uint8_t(out[out.size() - 1]));
}

QString TolvaItfPacket::toString(const QByteArray& bytes)
{
    const TolvaItfPacket frame(bytes);
    QString out = QStringLiteral("\tITF HDR: ")
                  + QStringLiteral("%1 sync:0x%2 vc:0x%3 seq:%4 len:%5 offset:%6")
                        .arg(QString(), QString::number(frame.sync(), 16).rightJustified(8, QChar(' ')),
                             QString::number(frame.vc(), 16).rightJustified(2, QChar(' ')),
                             QString::number(frame.seq()), QString::number(frame.len()),
                             QString::number(frame.offset()))
                  + QStringLiteral("\n\tITF RAW: ") + QString::fromLatin1(bytes.toHex()) + QStringLiteral("\n");
    for (const TolvaCcsdsPacket& p : frame.packets())
        out += p.toString();
    return out;
}

} // namespace TolvaGse
