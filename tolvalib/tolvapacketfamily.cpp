#include "tolvalib/tolvapacketfamily.h"

#include <stdexcept>

namespace TolvaGse {

namespace {

// A group of flag bits: items lo to lo + 8 * groups - 1, eight per byte from
// `byte` on; item n of a group whose highest item is T is mask 0x80 >> (T - n).
struct FlagGroups
{
    int lo;
    int groups;
    size_t byte;

    bool locate(int n, size_t* at, uint8_t* mask) const
    {
        if (n < lo || n >= lo + 8 * groups)
            return false;
        const int k = (n - lo) / 8;
        const int highest = lo + 8 * k + 7;
        *at = byte + size_t(k);
        *mask = uint8_t(0x80 >> (highest - n));
        return true;
    }
};

constexpr FlagGroups VH_HEATERS{6, 4, 30};
constexpr FlagGroups VH_FANS{1, 1, 34};
constexpr FlagGroups VH_GC_VALVES{1, 2, 35};
constexpr FlagGroups VH_MINDRUM_VALVES{1, 4, 37};
constexpr FlagGroups STAT_GC_VALVES{1, 2, 122};
constexpr FlagGroups STAT_MINDRUM_VALVES{1, 4, 124};

// Data lengths beyond the 16-bit length field cannot be written.
constexpr size_t MAX_DATA_LENGTH = 65536;

} // namespace

#define TOLVA_FLAG_ACCESSORS(Class, setter, getter, groups)       \
    void Class::setter(uint8_t n, bool on)                        \
    {                                                             \
        size_t at;                                                \
        uint8_t mask;                                             \
        if (groups.locate(n, &at, &mask))                         \
            setFlag(at, mask, on);                                \
    }                                                             \
    bool Class::getter(uint8_t n) const                           \
    {                                                             \
        size_t at;                                                \
        uint8_t mask;                                             \
        return groups.locate(n, &at, &mask) && flag(at, mask);    \
    }

FillPacket::FillPacket() : TolvaTelemetryPacket(Apid::FILL, DEFAULT_PAYLOAD)
{
}

FillPacket::FillPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
}

void FillPacket::setFillData(const QByteArray& data)
{
    setDataFrom(12, data, 1024);
}

QByteArray FillPacket::fillData() const
{
    return dataFrom(12);
}

MemoryDumpPacket::MemoryDumpPacket() : TolvaTelemetryPacket(Apid::MEMDUMP, DEFAULT_PAYLOAD)
{
}

MemoryDumpPacket::MemoryDumpPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
}

void MemoryDumpPacket::setMemoryAddress(uint32_t address)
{
    setU32(12, address);
}

uint32_t MemoryDumpPacket::memoryAddress() const
{
    return u32(12);
}

void MemoryDumpPacket::setMemoryContents(const QByteArray& data)
{
    setDataFrom(16, data, 1024);
}

QByteArray MemoryDumpPacket::memoryContents() const
{
    return dataFrom(16);
}

MessageLogPacket::MessageLogPacket() : TolvaTelemetryPacket(Apid::MSG, DEFAULT_PAYLOAD)
{
}

MessageLogPacket::MessageLogPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
}

void MessageLogPacket::setText(const QByteArray& text)
{
    setDataFrom(12, text, 1024);
}

QByteArray MessageLogPacket::text() const
{
    return dataFrom(12);
}

MarkerPacket::MarkerPacket() : TolvaTelemetryPacket(Apid::MKR, DEFAULT_PAYLOAD)
{
}

MarkerPacket::MarkerPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
}

void MarkerPacket::setMarkerId(uint32_t id)
{
    setU32(12, id);
}

uint32_t MarkerPacket::markerId() const
{
    return u32(12);
}

void MarkerPacket::setMarkerType(uint32_t type)
{
    setU32(16, type);
}

uint32_t MarkerPacket::markerType() const
{
    return u32(16);
}

void MarkerPacket::setText(const QByteArray& text)
{
    setDataFrom(20, text, 64);
}

QByteArray MarkerPacket::text() const
{
    return readText(true);
}

QByteArray MarkerPacket::textWithinBytes() const
{
    return readText(false);
}

QByteArray MarkerPacket::readText(bool throwPastBytes) const
{
    const size_t end = 6 + size_t(dataLength());
    size_t i = 20;
    // Bounds-checked as the other variable-length getters: a field that runs
    // past the bytes before a zero byte ends it throws.
    for (; i < end; ++i) {
        if (i >= size()) {
            if (throwPastBytes)
                throw std::out_of_range("Marker text runs past the packet's bytes");
            break;
        }
        if ((*bytes)[i] == 0)
            break;
    }
    if (i <= 20)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(bytes->data() + 20), qsizetype(i - 20));
}

VhHkPacket::VhHkPacket() : TolvaTelemetryPacket(Apid::VH_HK, DEFAULT_PAYLOAD)
{
}

VhHkPacket::VhHkPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
}

void VhHkPacket::setAmuxValue(uint8_t channel, uint16_t value)
{
    if (channel <= 7)
        setU16(14 + 2 * size_t(channel), value);
}

uint16_t VhHkPacket::amuxValue(uint8_t channel) const
{
    return channel <= 7 ? u16(14 + 2 * size_t(channel)) : 0;
}

TOLVA_FLAG_ACCESSORS(VhHkPacket, setHeater, isHeaterOn, VH_HEATERS)
TOLVA_FLAG_ACCESSORS(VhHkPacket, setFan, isFanOn, VH_FANS)
TOLVA_FLAG_ACCESSORS(VhHkPacket, setGcValve, isGcValveOpen, VH_GC_VALVES)
TOLVA_FLAG_ACCESSORS(VhHkPacket, setMindrumValve, isMindrumValveOpen, VH_MINDRUM_VALVES)

VhStatusPacket::VhStatusPacket() : TolvaTelemetryPacket(Apid::VH_STAT, DEFAULT_PAYLOAD)
{
}

VhStatusPacket::VhStatusPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
}

namespace {
// Heaters below 6 would reach the time header, above 27 the values of others.
bool statusHeater(uint8_t heater)
{
    return heater >= 6 && heater <= 27;
}
// Fans above 4 would reach the valve bytes.
bool statusFan(uint8_t fan)
{
    return fan >= 1 && fan <= 4;
}
} // namespace

void VhStatusPacket::setHeaterLastCommandedValue(uint8_t heater, uint16_t value)
{
    if (statusHeater(heater))
        setU16(4 * size_t(heater) - 10, value);
}

uint16_t VhStatusPacket::heaterLastCommandedValue(uint8_t heater) const
{
    return statusHeater(heater) ? u16(4 * size_t(heater) - 10) : 0;
}

void VhStatusPacket::setHeaterCurrentValue(uint8_t heater, uint16_t value)
{
    if (statusHeater(heater))
        setU16(4 * size_t(heater) - 8, value);
}

uint16_t VhStatusPacket::heaterCurrentValue(uint8_t heater) const
{
    return statusHeater(heater) ? u16(4 * size_t(heater) - 8) : 0;
}

void VhStatusPacket::setFanLastCommandedValue(uint8_t fan, bool on)
{
    if (statusFan(fan))
        setU8(117 + size_t(fan), on ? 1 : 0);
}

bool VhStatusPacket::fanLastCommandedValue(uint8_t fan) const
{
    return statusFan(fan) && u8(117 + size_t(fan)) != 0;
}

TOLVA_FLAG_ACCESSORS(VhStatusPacket, setGcValve, isGcValveOpen, STAT_GC_VALVES)
TOLVA_FLAG_ACCESSORS(VhStatusPacket, setMindrumValve, isMindrumValveOpen, STAT_MINDRUM_VALVES)

#undef TOLVA_FLAG_ACCESSORS

void VhStatusPacket::setPsClockStatus(bool on)
{
    setU8(128, on ? 1 : 0);
}

bool VhStatusPacket::psClockStatus() const
{
    return u8(128) != 0;
}

CtlSumRfPacket::CtlSumRfPacket() : TolvaTelemetryPacket(Apid::CTL_SUM_RF, DEFAULT_PAYLOAD)
{
}

CtlSumRfPacket::CtlSumRfPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
    const size_t n = size();
    // Only whole totals are read: the count byte may promise more than the bytes hold.
    const size_t count = n >= 16 ? u8(15) : 0;
    for (size_t i = 0; i < count && 26 + 10 * i <= n; ++i)
        scanTotals_.append(ScanTotals{u32(16 + 10 * i), u16(20 + 10 * i), u32(22 + 10 * i)});
    for (size_t p = 16 + 10 * count; p + 8 <= n; p += 8)
        scanValues_.append(ScanValues{{u16(p), u16(p + 2), u16(p + 4), u16(p + 6)}});
}

void CtlSumRfPacket::recalculatePacketSize()
{
    resizeBytes(16 + 10 * size_t(u8(15)) + 8 * size_t(scanValues_.size()));
}

CtlSumBinPacket::CtlSumBinPacket() : TolvaTelemetryPacket(Apid::CTL_SUM_BIN, DEFAULT_PAYLOAD)
{
}

CtlSumBinPacket::CtlSumBinPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
    for (size_t p = 18; p + 2 <= size(); p += 2)
        bins_.append(u16(p));
}

void CtlSumBinPacket::recalculatePacketSize()
{
    resizeBytes(18 + 2 * size_t(bins_.size()));
}

MmcPiraniPacket::MmcPiraniPacket() : TolvaTelemetryPacket(Apid::MMC_PIRANI, DEFAULT_PAYLOAD)
{
}

MmcPiraniPacket::MmcPiraniPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
    for (size_t k = 0; 36 + 8 * k <= size(); ++k)
        samples_.append(PiraniDataSample{u16(28 + 8 * k), u16(30 + 8 * k), u32(32 + 8 * k)});
}

bool MmcPiraniPacket::appendPiraniDataSample(const PiraniDataSample& s)
{
    const size_t c = size_t(samples_.size());
    const size_t dataLength = 8 * (c + 1) + 22;
    if (dataLength > MAX_DATA_LENGTH)
        return false;
    const size_t at = 28 + 8 * c;
    ensureSize(at + 8);
    setU16(at, s.first);
    setU16(at + 2, s.second);
    setU32(at + 4, s.third);
    samples_.append(s);
    setU8(13, uint8_t(c + 1));
    header.setDataLength(int(dataLength));
    return true;
}

MmcStripChartPacket::MmcStripChartPacket() : TolvaTelemetryPacket(Apid::MMC_SC, DEFAULT_PAYLOAD)
{
}

MmcStripChartPacket::MmcStripChartPacket(const QByteArray& bytes) : TolvaTelemetryPacket(bytes)
{
    for (size_t k = 0; 22 + 8 * k <= size(); ++k) {
        const size_t p = 14 + 8 * k;
        samples_.append(StripChartSample{{u16(p), u16(p + 2), u16(p + 4), u16(p + 6)}});
    }
}

bool MmcStripChartPacket::appendSample(const StripChartSample& s)
{
    const size_t c = size_t(samples_.size());
    const size_t dataLength = 8 * (c + 1) + 8;
    if (dataLength > MAX_DATA_LENGTH)
        return false;
    const size_t at = 14 + 8 * c;
    ensureSize(at + 8);
    for (size_t i = 0; i < 4; ++i)
        setU16(at + 2 * i, s.values[i]);
    samples_.append(s);
    header.setDataLength(int(dataLength));
    return true;
}

} // namespace TolvaGse
