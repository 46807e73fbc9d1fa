#include "tolvalib/tolvaccsdspacket.h"

#include "tolvalib/tolvatimeresolver.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <iterator>
#include <stdexcept>

namespace TolvaGse {

namespace {

constexpr const char* NAMES[] = {
    "CRIT_HK",  "BOOT_HK",      "DIGITAL_HK", "FILL",       "MEMDUMP",      "MSG",          "MKR",
    "VH_HK",    "VH_STAT",      "PT_HK",      "PT_STAT",    "LEU_HKHS",     "LEU_HK",       "LEU_HKINDX",
    "LEU_STAT", "LEU_MAX_HKHS", "MMC_HK",     "MMC_SC",     "MMC_PIRANI",   "MMC_HKHS",     nullptr,
    "CTL_HK",   "CTL_STAT",     "CTL_SEQ_DUMP", "CTL_DDS_DUMP", "CTL_SCI",  "CTL_AUX_DUMP", "CTL_GENREG_DUMP",
    "CTL_SUM_RF", "CTL_SUM_BIN",
};
static_assert(std::size(NAMES) == ApidRange::LAST - ApidRange::FIRST + 1 &&
                  NAMES[ApidRange::UNUSED - ApidRange::FIRST] == nullptr,
              "one name per APID of the range, none for the unused one");

GseLib::ByteVectorPtr copyOf(const QByteArray& bytes)
{
    return GseLib::makePacketBytes(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
}

} // namespace

TolvaCcsdsPacket::TolvaCcsdsPacket(size_t size)
    : GseLib::CcsdsPacket(size, 0, true, GseLib::CcsdsPrimaryHeader::Unsegmented, 0)
{
    makeResolver();
}

TolvaCcsdsPacket::TolvaCcsdsPacket(GseLib::ByteVectorPtr bytes) : GseLib::CcsdsPacket(std::move(bytes), 0, nullptr)
{
    makeResolver();
}

TolvaCcsdsPacket::TolvaCcsdsPacket(const QByteArray& bytes) : TolvaCcsdsPacket(copyOf(bytes))
{
}

void TolvaCcsdsPacket::makeResolver()
{
    resolver_ = std::make_shared<TolvaTimeResolver>();
    timeResolver = resolver_.get();
}

QString TolvaCcsdsPacket::packetName(unsigned short apid)
{
    if (!ApidRange::inUse(apid))
        return QStringLiteral("UNKNOWN");
    return QString::fromLatin1(NAMES[apid - ApidRange::FIRST]);
}

QString TolvaCcsdsPacket::toString() const
{
    const QString head = QStringLiteral("apid:0x%1 seq:%2 len:%3 sclk:%4")
                             .arg(type(), 4, 16, QChar(' '))
                             .arg(header.sequenceCount())
                             .arg(dataLength())
                             .arg(rawTimestamp());
    const QByteArray raw = bytes ? QByteArray::fromRawData(reinterpret_cast<const char*>(bytes->data()),
                                                           qsizetype(bytes->size()))
                                       .toHex()
                                 : QByteArray();
    return QStringLiteral("\tCCSDS HDR: ") + head + QStringLiteral("\n\tCCSDS RAW: ") + QString::fromLatin1(raw)
           + QStringLiteral("\n");
}

uint32_t TolvaTelemetryPacket::sequence = 0;

TolvaTelemetryPacket::TolvaTelemetryPacket(Apid apid, unsigned int payloadSize)
    : TolvaCcsdsPacket(size_t(payloadSize) + 12)
{
    header.setVersionNumber(0);
    header.setPacketType(GseLib::CcsdsPrimaryHeader::Telemetry);
    header.setHasSecHeader(true);
    header.setApid(int(apid));
    header.setSegmentFlags(GseLib::CcsdsPrimaryHeader::Unsegmented);
    header.setSequenceCount(int(sequence & 0x3FFF));
    ++sequence;
    header.setDataLength(int(payloadSize + 6));

    const double t = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    const double whole = std::floor(t);
    setU32(6, uint32_t(int64_t(t - TolvaTimeResolver::UNIX_SECONDS_AT_2010)));
    setU8(10, uint8_t(int((t - whole) * 256.0)));
}

TolvaTelemetryPacket::TolvaTelemetryPacket(Apid apid, const QByteArray& payload)
    : TolvaTelemetryPacket(apid, unsigned(payload.size()))
{
    std::copy(payload.begin(), payload.end(), bytes->begin() + 12);
}

TolvaTelemetryPacket::TolvaTelemetryPacket(const QByteArray& bytes) : TolvaCcsdsPacket(bytes)
{
}

void TolvaTelemetryPacket::updateDataLength()
{
    GseLib::CcsdsPacket::updateDataLength();
}

void TolvaTelemetryPacket::setU16(size_t at, uint16_t v)
{
    setByte(at, uint8_t(v >> 8));
    setByte(at + 1, uint8_t(v));
}

void TolvaTelemetryPacket::setU32(size_t at, uint32_t v)
{
    setU16(at, uint16_t(v >> 16));
    setU16(at + 2, uint16_t(v));
}

void TolvaTelemetryPacket::setFlag(size_t at, uint8_t mask, bool on)
{
    setByte(at, uint8_t((byteAt(at) & ~mask) | (on ? mask : 0)));
}

void TolvaTelemetryPacket::ensureSize(size_t n)
{
    if (!bytes)
        bytes = GseLib::makePacketBytes(n);
    else if (bytes->size() < n)
        bytes->resize(n, 0);
}

void TolvaTelemetryPacket::resizeBytes(size_t n)
{
    if (!bytes)
        bytes = GseLib::makePacketBytes(n);
    else
        bytes->resize(n, 0);
}

QByteArray TolvaTelemetryPacket::dataFrom(size_t start) const
{
    const size_t end = 6 + size_t(dataLength());
    if (end <= start)
        return QByteArray();
    if (end > size())
        throw std::out_of_range("Packet data field runs past its bytes");
    return QByteArray(reinterpret_cast<const char*>(bytes->data() + start), qsizetype(end - start));
}

void TolvaTelemetryPacket::setDataFrom(size_t start, const QByteArray& data, int limit)
{
    const size_t n = size_t(std::min<qsizetype>(data.size(), limit));
    ensureSize(start + n);
    std::copy(data.begin(), data.begin() + qsizetype(n), bytes->begin() + qsizetype(start));
    header.setDataLength(int(start + n - 6));
}

} // namespace TolvaGse
