#pragma once
// One class per APID of the second instrument, each with a default
// constructor (a new packet of its APID and default payload size) and one
// from a whole packet's bytes (copied, nothing checked), plus the accessors of
// its payload. Ground tools build packets with them; the marker cache reads
// marker packets through MarkerPacket. Offsets count from the packet's first
// byte. A fixed-offset field outside the bytes reads 0 and is not written;
// the variable-length setters and the appends grow the bytes to hold what
// they write. Most payloads are decoded through the telemetry database instead.
#include "tolvalib/tolvaccsdspacket.h"

#include <QList>
#include <array>

namespace TolvaGse {

// The classes whose payload only the database decodes.
#define TOLVA_PLAIN_PACKET(Name, apid, payloadBytes)                                \
    class Name : public TolvaTelemetryPacket                                        \
    {                                                                               \
    public:                                                                         \
        static constexpr unsigned int DEFAULT_PAYLOAD = payloadBytes;               \
        Name() : TolvaTelemetryPacket(apid, DEFAULT_PAYLOAD) {}                     \
        explicit Name(const QByteArray& bytes) : TolvaTelemetryPacket(bytes) {}     \
    };

TOLVA_PLAIN_PACKET(CriticalHKPacket, Apid::CRIT_HK, 40)
TOLVA_PLAIN_PACKET(BootHKPacket, Apid::BOOT_HK, 27)
TOLVA_PLAIN_PACKET(DigitalHKPacket, Apid::DIGITAL_HK, 56)
TOLVA_PLAIN_PACKET(PtHkPacket, Apid::PT_HK, 325)
TOLVA_PLAIN_PACKET(PtStatusPacket, Apid::PT_STAT, 325)
TOLVA_PLAIN_PACKET(LeuHkHsPacket, Apid::LEU_HKHS, 221)
TOLVA_PLAIN_PACKET(LeuHkPacket, Apid::LEU_HK, 114)
TOLVA_PLAIN_PACKET(LeuHkIndxPacket, Apid::LEU_HKINDX, 221)
TOLVA_PLAIN_PACKET(LeuStatusPacket, Apid::LEU_STAT, 81)
TOLVA_PLAIN_PACKET(LeuMaxHkHsPacket, Apid::LEU_MAX_HKHS, 10)
TOLVA_PLAIN_PACKET(MmcHKPacket, Apid::MMC_HK, 158)
TOLVA_PLAIN_PACKET(MmcPiraniHKPacket, Apid::MMC_HKHS, 30)
TOLVA_PLAIN_PACKET(CtlHkPacket, Apid::CTL_HK, 202)
TOLVA_PLAIN_PACKET(CtlStatusPacket, Apid::CTL_STAT, 274)
// The dump payloads make packets of 65535 bytes.
TOLVA_PLAIN_PACKET(CtlSeqDumpPacket, Apid::CTL_SEQ_DUMP, 65523)
TOLVA_PLAIN_PACKET(CtlDdsDumpPacket, Apid::CTL_DDS_DUMP, 65523)
TOLVA_PLAIN_PACKET(CtlSciencePacket, Apid::CTL_SCI, 118)
TOLVA_PLAIN_PACKET(CtlAuxDumpPacket, Apid::CTL_AUX_DUMP, 65523)
TOLVA_PLAIN_PACKET(CtlGenRegDumpPacket, Apid::CTL_GENREG_DUMP, 65523)

#undef TOLVA_PLAIN_PACKET

class FillPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 1036;
    FillPacket();
    explicit FillPacket(const QByteArray& bytes);
    // At most 1024 bytes from byte 12; data length n + 6.
    void setFillData(const QByteArray& data);
    QByteArray fillData() const;
};

class MemoryDumpPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 1036;
    MemoryDumpPacket();
    explicit MemoryDumpPacket(const QByteArray& bytes);
    void setMemoryAddress(uint32_t address); // bytes 12-15
    uint32_t memoryAddress() const;
    // At most 1024 bytes from byte 16; data length n + 10.
    void setMemoryContents(const QByteArray& data);
    QByteArray memoryContents() const;
};

class MessageLogPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 1036;
    MessageLogPacket();
    explicit MessageLogPacket(const QByteArray& bytes);
    // At most 1024 bytes from byte 12; data length n + 6.
    void setText(const QByteArray& text);
    QByteArray text() const;
};

class MarkerPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 78;
    MarkerPacket();
    explicit MarkerPacket(const QByteArray& bytes);
    void setMarkerId(uint32_t id); // bytes 12-15; 0 closes
    uint32_t markerId() const;
    void setMarkerType(uint32_t type); // bytes 16-19
    uint32_t markerType() const;
    // At most 64 bytes from byte 20; data length n + 14.
    void setText(const QByteArray& text);
    // From byte 20 to the first zero byte or the end of the data field.
    QByteArray text() const;
    // The same, but ending at the bytes' end where the data field runs past
    // them: for readers of archives that must not throw.
    QByteArray textWithinBytes() const;

private:
    QByteArray readText(bool throwPastBytes) const;
};

// Heaters 6-37, fans 1-8, amux channels 0-7, GC valves 1-16, mindrum valves
// 1-32; other numbers write nothing and read 0 or false.
class VhHkPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 42;
    VhHkPacket();
    explicit VhHkPacket(const QByteArray& bytes);
    void setAmuxValue(uint8_t channel, uint16_t value); // u16 at 14 + 2 * channel
    uint16_t amuxValue(uint8_t channel) const;
    void setHeater(uint8_t heater, bool on); // bytes 30-33
    bool isHeaterOn(uint8_t heater) const;
    void setFan(uint8_t fan, bool on); // byte 34
    bool isFanOn(uint8_t fan) const;
    void setGcValve(uint8_t valve, bool open); // bytes 35-36
    bool isGcValveOpen(uint8_t valve) const;
    void setMindrumValve(uint8_t valve, bool open); // bytes 37-40
    bool isMindrumValveOpen(uint8_t valve) const;
};

// Heater values for heaters 6-27, fans 1-4, GC valves 1-16, mindrum valves
// 1-32; other numbers write nothing and read 0 or false.
class VhStatusPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 148;
    VhStatusPacket();
    explicit VhStatusPacket(const QByteArray& bytes);
    void setHeaterLastCommandedValue(uint8_t heater, uint16_t value); // u16 at 4 * heater - 10
    uint16_t heaterLastCommandedValue(uint8_t heater) const;
    void setHeaterCurrentValue(uint8_t heater, uint16_t value); // u16 at 4 * heater - 8
    uint16_t heaterCurrentValue(uint8_t heater) const;
    void setFanLastCommandedValue(uint8_t fan, bool on); // byte 117 + fan
    bool fanLastCommandedValue(uint8_t fan) const;
    void setGcValve(uint8_t valve, bool open); // bytes 122-123
    bool isGcValveOpen(uint8_t valve) const;
    void setMindrumValve(uint8_t valve, bool open); // bytes 124-127
    bool isMindrumValveOpen(uint8_t valve) const;
    void setPsClockStatus(bool on); // byte 128
    bool psClockStatus() const;
};

class CtlSumRfPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 4;

    struct ScanTotals // 10 bytes: u32, u16, u32
    {
        uint32_t first = 0;
        uint16_t second = 0;
        uint32_t third = 0;
        bool operator==(const ScanTotals&) const = default;
    };
    struct ScanValues // 8 bytes: four u16
    {
        std::array<uint16_t, 4> values{};
        bool operator==(const ScanValues&) const = default;
    };

    CtlSumRfPacket();
    // Byte 15 counts the totals from byte 16; whole 8-byte values follow them.
    explicit CtlSumRfPacket(const QByteArray& bytes);
    const QList<ScanTotals>& scanTotals() const { return scanTotals_; }
    const QList<ScanValues>& scanValues() const { return scanValues_; }
    // Resizes the bytes to 16 + 10 * byte 15 + 8 * values; the length field stays.
    void recalculatePacketSize();

private:
    QList<ScanTotals> scanTotals_;
    QList<ScanValues> scanValues_;
};

class CtlSumBinPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 6;
    CtlSumBinPacket();
    // One u16 bin per whole pair of bytes from byte 18.
    explicit CtlSumBinPacket(const QByteArray& bytes);
    const QList<uint16_t>& bins() const { return bins_; }
    // Resizes the bytes to 18 + 2 * bins; the length field stays.
    void recalculatePacketSize();

private:
    QList<uint16_t> bins_;
};

class MmcPiraniPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 814; // room for 99 samples

    struct PiraniDataSample // 8 bytes: u16, u16, u32
    {
        uint16_t first = 0;
        uint16_t second = 0;
        uint32_t third = 0;
        bool operator==(const PiraniDataSample&) const = default;
    };

    MmcPiraniPacket();
    // Samples of 8 bytes from byte 28 (none below 36 bytes).
    explicit MmcPiraniPacket(const QByteArray& bytes);
    const QList<PiraniDataSample>& piraniDataSamples() const { return samples_; }
    // Writes sample c at 28 + 8c, the count to byte 13 and data length
    // 8(c + 1) + 22, growing the bytes when needed; false (nothing written)
    // when the data length would pass 65536.
    bool appendPiraniDataSample(const PiraniDataSample& sample);

private:
    QList<PiraniDataSample> samples_;
};

class MmcStripChartPacket : public TolvaTelemetryPacket
{
public:
    static constexpr unsigned int DEFAULT_PAYLOAD = 8200; // room for 1024 samples

    struct StripChartSample // 8 bytes: four u16
    {
        std::array<uint16_t, 4> values{};
        bool operator==(const StripChartSample&) const = default;
    };

    MmcStripChartPacket();
    // Samples of 8 bytes from byte 14 (none below 22 bytes).
    explicit MmcStripChartPacket(const QByteArray& bytes);
    const QList<StripChartSample>& samples() const { return samples_; }
    // Writes sample c at 14 + 8c and data length 8(c + 1) + 8, growing the
    // bytes when needed; false (nothing written) when the data length would pass 65536.
    bool appendSample(const StripChartSample& sample);

private:
    QList<StripChartSample> samples_;
};

} // namespace TolvaGse
