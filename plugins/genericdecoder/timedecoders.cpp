#include "plugins/genericdecoder/timedecoders.h"

#include "gselib/database/tmclock.h"
#include "gselib/database/tmdatabaserow.h"
#include "plugins/genericdecoder/decodersupport_p.h"

#include <cstdint>

using namespace GenericDecoding;

namespace {

enum class TimeFormat { Time40, RTime40, Time41, Time42, Time44, TimeNs, Time12 };

// A field as read: the clock's triple and the value without a clock.
struct Reading
{
    long long seconds = 0;
    long long subTicks = 0;
    long long ticksPerSecond = 0;
    double count = 0.0;
};

constexpr std::uint64_t widthOf(TimeFormat f)
{
    switch (f) {
    case TimeFormat::Time40:
    case TimeFormat::RTime40:
        return 4;
    case TimeFormat::Time41:
        return 5;
    case TimeFormat::Time42:
        return 6;
    case TimeFormat::Time44:
    case TimeFormat::TimeNs:
        return 8;
    case TimeFormat::Time12:
        return 3;
    }
    return 0;
}

std::uint64_t bigEndian(const std::uint8_t* p, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

Reading readField(TimeFormat f, const std::uint8_t* p)
{
    Reading r;
    switch (f) {
    case TimeFormat::Time40:
        r.seconds = static_cast<long long>(bigEndian(p, 4));
        r.count = double(r.seconds);
        break;
    case TimeFormat::RTime40:
        r.seconds = static_cast<long long>(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
                                           | std::uint32_t(p[3]) << 24);
        r.count = double(r.seconds);
        break;
    case TimeFormat::Time41:
        r.seconds = static_cast<long long>(bigEndian(p, 4));
        r.subTicks = p[4];
        r.ticksPerSecond = 256;
        r.count = double(r.seconds) + double(r.subTicks) * 0.00390625;
        break;
    case TimeFormat::Time42:
        r.seconds = static_cast<long long>(bigEndian(p, 4));
        r.subTicks = static_cast<long long>(bigEndian(p + 4, 2));
        r.ticksPerSecond = 65536;
        r.count = double(r.seconds) + double(r.subTicks) / 65536.0;
        break;
    case TimeFormat::Time44:
        r.seconds = static_cast<long long>(bigEndian(p, 4));
        r.subTicks = static_cast<long long>(bigEndian(p + 4, 4));
        r.ticksPerSecond = 1000000;
        r.count = double(r.seconds) + double(r.subTicks) / 1000000.0;
        break;
    case TimeFormat::TimeNs: {
        const std::uint64_t ns = bigEndian(p, 8);
        r.seconds = static_cast<long long>(ns / 1000000000u);
        r.subTicks = static_cast<long long>(ns % 1000000000u);
        r.ticksPerSecond = 1000000000;
        // Whole and fractional seconds apart: a nanosecond count beyond 2^53
        // would lose its fraction as one double.
        r.count = double(r.seconds) + double(r.subTicks) / 1e9;
        break;
    }
    case TimeFormat::Time12:
        r.seconds = p[0];
        r.subTicks = static_cast<long long>(bigEndian(p + 1, 2));
        r.ticksPerSecond = 65536;
        r.count = double(r.seconds) + double(r.subTicks) / 65536.0;
        break;
    }
    return r;
}

// Whether the row is the time data item of the packet's type. A type without
// one has the id -1 (all bits set), which names no row, not even id 0xFFFFFFFF.
// Looked up in place: no copy of the type's info per value.
bool isTimeItemOfPacket(const GseLib::DataInterpretation* hub, const GseLib::TmDatabaseRow& row,
                        const GseLib::TMPacket& packet)
{
    if (!hub)
        return false;
    const auto it = hub->packetTypes.constFind(packet.apid());
    if (it == hub->packetTypes.cend())
        return false;
    const auto id = static_cast<std::uint32_t>(it->timeDataId);
    return id != 0xFFFFFFFFu && id == row.dataId;
}

bool decodeTime(TimeFormat f, const GseLib::Decoder& decoder, const GseLib::TmDatabaseRow& row,
                const GseLib::TMPacket* packet, GseLib::DataItems& items)
{
    if (!packet || row.offsets.empty())
        return false;
    const PacketView view = viewOf(*packet);
    const std::uint64_t o = row.offsets.front();
    const std::uint64_t w = widthOf(f);
    if (!fits(o, w, view.length))
        return false;
    const Reading r = readField(f, view.data + o);
    const double t = timeOffset(row.timeOffsets, 0);
    double value = r.count;
    if (row.clock) {
        value = row.clock->toUnixTime(r.seconds, r.subTicks, r.ticksPerSecond);
        // The packet's own time may be this very field (a generic time
        // resolver decodes it): asking the packet would come back here.
        if (isTimeItemOfPacket(decoder.dataInterp, row, *packet)) {
            appendItem(items, value + t, 0.0, o, w).value = value;
            return true;
        }
    }
    const PacketTimes times = timesOf(*packet);
    appendItem(items, times.unixTime + t, times.relativeTime + t, o, w).value = value;
    return true;
}

} // namespace

#define GSE_TIME_DECODER(Class, format, text)                                                                \
    QString Class::name() const                                                                              \
    {                                                                                                        \
        return QStringLiteral(text);                                                                         \
    }                                                                                                        \
    bool Class::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,                     \
                       GseLib::DataItems& items, const GseLib::CurrentValueTable*) const                     \
    {                                                                                                        \
        return decodeTime(TimeFormat::format, *this, row, packet, items);                                    \
    }

GSE_TIME_DECODER(Time40Decoder, Time40, "TIME40")
GSE_TIME_DECODER(RTime40Decoder, RTime40, "RTIME40")
GSE_TIME_DECODER(Time41Decoder, Time41, "TIME41")
GSE_TIME_DECODER(Time42Decoder, Time42, "TIME42")
GSE_TIME_DECODER(Time44Decoder, Time44, "TIME44")
GSE_TIME_DECODER(TimeNsDecoder, TimeNs, "TIMENS")
GSE_TIME_DECODER(Time12Decoder, Time12, "TIME12")

#undef GSE_TIME_DECODER
