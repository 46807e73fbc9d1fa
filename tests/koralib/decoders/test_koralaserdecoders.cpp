// The laser decoders: the pulse walk (offsets, clocks, overruns), the energy
// calibrations by selector pair, the summaries over a packet's pulses, and the
// housekeeping field timed by item 1094 through the hub. Expected energies
// were worked out by hand (and checked with Python's statistics.pstdev).
#include "koralib/koradefinitions.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/archivetestdata.h"
#include "gselib/packets/packetarena.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "koralib/decoders/koralaserdecoders.h"
#include "support/logcapture.h"
#include "support/streamcapture.h"

#include <cmath>
#include <limits>
#include <vector>

using namespace KorGse::KorDataInterpretationImpl;

namespace {

// Packet time 1000 s (relative 10 s); a clock count c is at 2000 + c (relative c / 2).
class FixedResolver : public GseLib::TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return double(ticks); }
    long long secondsToTicks(double s) const override { return (long long)s; }
    double unixTime(const GseLib::TMPacket*) const override { return 1000.0; }
    double unixTime(const GseLib::TMPacket*, long long ticks) const override { return 2000.0 + double(ticks); }
    double relativeTime(const GseLib::TMPacket*) const override { return 10.0; }
    double relativeTime(const GseLib::TMPacket*, long long ticks) const override { return double(ticks) / 2.0; }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const GseLib::TMPacketPtr&) override { return false; }
    GseLib::TMPacketPtr t0Packet() const override { return nullptr; }
};

FixedResolver resolver;

constexpr int LASER_PULSES = 15;

GseLib::TMPacketPtr packet(const QByteArray& data, int type = LASER_PULSES)
{
    const QByteArray bytes = ArchiveTestData::tomPacket(uint8_t(type), 0, data, 5000);
    return std::make_shared<GseLib::TomPacket>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                               int(bytes.size()), 3, &resolver);
}

void put16(QByteArray& d, int at, unsigned v)
{
    d[at] = char(v >> 8);
    d[at + 1] = char(v);
}

void put32(QByteArray& d, int at, unsigned v)
{
    put16(d, at, v >> 16);
    put16(d, at + 2, v & 0xFFFF);
}

// A laser pulses data area: count n, then one record per word, clock 100 + 7i,
// the word at data offset wordAt + 16i (by default record byte 6).
QByteArray pulses(const std::vector<unsigned>& words, int n = -1, int wordAt = 10)
{
    QByteArray d(4 + 16 * int(words.size()), '\0');
    put16(d, 0, n < 0 ? unsigned(words.size()) : unsigned(n));
    for (size_t i = 0; i < words.size(); ++i) {
        put32(d, 4 + 16 * int(i), 100 + 7 * unsigned(i));
        put16(d, wordAt + 16 * int(i), words[i]);
    }
    return d;
}

GseLib::TmDatabaseRow row(uint32_t decodeType, unsigned long long id1 = 10, unsigned long long mask = 0xFFFF,
                          unsigned long long shift = 0, unsigned long long id2 = 2)
{
    GseLib::TmDatabaseRow r;
    r.key = "LAS:FIELD";
    r.subSystem = "LAS";
    r.name = "FIELD";
    r.dataId = 4242;
    r.packetType = LASER_PULSES;
    r.decodeType = decodeType;
    r.decodeIds = {id1, id2, mask, shift};
    return r;
}

const GseLib::Decoder& decoder(int type)
{
    return *GseLib::DataInterpretation::current()->decoderTable().at(size_t(type));
}

std::string overrun(const char* signature, unsigned long long off, unsigned long long len, unsigned long long n)
{
    return std::string(signature) + " LAS:FIELD 4242 Out of bounds: off(" + std::to_string(off) + ") + len(" +
           std::to_string(len) + ") > dataLength(" + std::to_string(n) + ")\n";
}

const std::string ETU_ROUTINE = "void KorGse::KorDataInterpretationImpl::decodeLaserEnergyUvEtuCalibrated(const "
                                "KorGse::KorDataInterpretationImpl::DbRow &, const GseLib::TMPacket *, "
                                "GseLib::DataItems &, const GseLib::CurrentValueTable *)";

class LaserDecoders : public KoraTest::SuiteTest
{
protected:
    void SetUp() override { ASSERT_TRUE(defs->generated); }
};

} // namespace

TEST_F(LaserDecoders, PulseWalkReportsOffsetsAndClockTimes)
{
    const std::vector<unsigned> words{0x0101, 0x0202, 0x0303};
    struct Case
    {
        int type;
        unsigned long long id1, id2, mask;
        int wordAt;
        int firstOffset;
        bool valueIsClock; // the item's value is the record's clock count
        bool clockIsWord;  // the word overwrote the clock's low half (its high half is 0)
    };
    const Case cases[] = {
        {216, 10, 2, 0xFFFF, 10, 18, false, false},
        // Fields at 6, 22, 38: items at 14, 30, 46; clocks still read at 4, 20, 36.
        {216, 6, 2, 0xFFFF, 6, 14, false, true},
        // 215 with the record's clock as its field: timed by the field itself.
        {215, 4, 4, 0xFFFFFFFF, 10, 12, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstOffset);
        const auto p = packet(pulses(words, -1, c.wordAt));
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(decoder(c.type).decode(row(uint32_t(c.type), c.id1, c.mask, 0, c.id2), p.get(), items, nullptr));
        EXPECT_EQ(out.text(), "");
        ASSERT_EQ(items.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            const double clock = c.clockIsWord ? words[size_t(i)] : 100 + 7 * i;
            EXPECT_EQ(items[i].unixTime, 2000.0 + clock);
            EXPECT_EQ(items[i].relativeTime, clock / 2.0);
            EXPECT_EQ(items[i].offset, c.firstOffset + 16 * i);
            EXPECT_EQ(items[i].count, int(c.id2));
            EXPECT_EQ(items[i].toDouble(), c.valueIsClock ? clock : double(words[size_t(i)]));
        }
    }
    // 215 takes its own field as the clock, not the record's clock count.
    GseLib::DataItems items;
    const auto p = packet(pulses(words));
    EXPECT_TRUE(decoder(215).decode(row(215), p.get(), items, nullptr));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].unixTime, 2000.0 + 0x0202);
    EXPECT_EQ(items[1].toDouble(), double(0x0202));
}

// With mask 0x0FFF the energy field is F = 1000 (x = 1.0 for the ETU fit);
// the word's bits 14..15 are the high selector, 12..13 the low one.
struct EnergyCase
{
    unsigned word;
    double etuFit;       // 217
    double etuFactor;    // 218
    double flight;       // 219
    double flightSpare;  // 242
};

const EnergyCase energyCases[] = {
    {0x43E8, 80.71406 - 12.0076, 83.6, 1000, 1000},                                   // high 1, low 0
    {0x53E8, 29.82948 - 2.65053, 32.3, 1000, 1000},                                   // high 1, low 1
    {0x13E8, 19.81893 - 0.87182, 21.5, 19.66 + 0.26179, 22.05 + 0.462},               // high 0, low 1
    {0x03E8, 1.0, 1000, 50.45 - 0.79244, 56.19 - 0.08587},                            // high 0, low 0
    {0x33E8, 1.0, 1000, 7.01 + 0.43667, 8.0 + 0.45496},                               // high 0, low 3
    {0x23E8, 1.0, 1000, 1000, 1000},                                                  // high 0, low 2
    {0x83E8, 1.0, 1000, 1000, 1000},                                                  // high 2, low 0
    {0xD3E8, 1.0, 1000, 1000, 1000},                                                  // high 3, low 1
};

TEST_F(LaserDecoders, EnergyCalibrationsBySelectorPair)
{
    for (const EnergyCase& c : energyCases) {
        SCOPED_TRACE(c.word);
        const auto p = packet(pulses({c.word}));
        const std::pair<int, double> expected[] = {
            {217, c.etuFit}, {218, c.etuFactor}, {219, c.flight}, {242, c.flightSpare}};
        for (const auto& [type, value] : expected) {
            GseLib::DataItems items;
            EXPECT_TRUE(decoder(type).decode(row(uint32_t(type), 10, 0x0FFF), p.get(), items, nullptr)) << type;
            ASSERT_EQ(items.size(), 1u) << type;
            EXPECT_NEAR(items[0].toDouble(), value, 1e-9 * std::fabs(value)) << type;
            EXPECT_EQ(items[0].offset, 18);
            EXPECT_EQ(items[0].unixTime, 2100.0);
        }
    }
}

TEST_F(LaserDecoders, SelectorsAndFieldUseTheRowsShift)
{
    // Word 0x53E8 shifted right by 2: F = 5370, and both selectors read 0, so
    // the ETU factor is 1.0 and flight takes its first line.
    const auto p = packet(pulses({0x53E8}));
    const std::pair<int, double> expected[] = {{218, 5370.0}, {219, 0.05045 * 5370 - 0.79244}, {216, 5370.0}};
    for (const auto& [type, value] : expected) {
        GseLib::DataItems items;
        EXPECT_TRUE(decoder(type).decode(row(uint32_t(type), 10, 0xFFFF, 2), p.get(), items, nullptr));
        ASSERT_EQ(items.size(), 1u) << type;
        EXPECT_NEAR(items[0].toDouble(), value, 1e-9 * value) << type;
    }
}

TEST_F(LaserDecoders, RoutinesAppendToTheCallersList)
{
    const auto p = packet(pulses({0x43E8, 0x13E8}));
    using Routine = void (*)(const DbRow&, const GseLib::TMPacket*, GseLib::DataItems&,
                             const GseLib::CurrentValueTable*);
    const std::pair<Routine, double> routines[] = {{decodeLaserEnergyUvEtuCalibrated, 21.5},
                                                   {decodeLaserEnergyUvFlightCalibrated, 19.66 + 0.26179},
                                                   {decodeLaserEnergyUvFlightSpareCalibrated, 22.05 + 0.462}};
    for (const auto& [routine, second] : routines) {
        GseLib::DataItems items(1);
        routine(row(218, 10, 0x0FFF), p.get(), items, nullptr);
        ASSERT_EQ(items.size(), 3u);
        EXPECT_EQ(items[0].offset, 0); // the earlier item stays
        EXPECT_NEAR(items[2].toDouble(), second, 1e-9 * second);
        EXPECT_EQ(items[2].offset, 34);
    }
}

TEST_F(LaserDecoders, OverrunsEndTheWalkWithTheirLine)
{
    struct Case
    {
        const char* what;
        unsigned long long id1;
        int pulsesPresent;
        int count;
        int truncate; // bytes cut from the end of the data area
        size_t items;
        unsigned long long off, len, n;
    };
    // Records end at 36 for two pulses; a count of 3 overruns at the third field.
    // Field at 2 + 16i: the last field fits but its clock at 20 does not.
    const Case cases[] = {
        {"field of the third pulse", 10, 2, 3, 0, 2, 42, 2, 36},
        {"clock past the data", 2, 1, 2, 0, 1, 20, 4, 20},
        {"field one byte short", 6, 1, 1, 13, 0, 6, 2, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QByteArray d = pulses(std::vector<unsigned>(size_t(c.pulsesPresent), 0x43E8), c.count);
        if (c.what[0] == 'c')
            d = d.left(20);
        d.chop(c.truncate);
        const auto p = packet(d);
        {
            GseLib::DataItems items;
            TestSupport::StreamCapture out(std::cout);
            EXPECT_TRUE(decoder(216).decode(row(216, c.id1), p.get(), items, nullptr));
            EXPECT_EQ(items.size(), c.items);
            EXPECT_EQ(out.text(), overrun(LaserPulseRegsDecoder::SIGNATURE, c.off, c.len, c.n));
        }
        // The calibration routine reports under its own name.
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(decoder(218).decode(row(218, c.id1), p.get(), items, nullptr));
        EXPECT_EQ(items.size(), c.items);
        EXPECT_EQ(out.text(), overrun(ETU_ROUTINE.c_str(), c.off, c.len, c.n));
    }
    // A wild offset neither wraps nor reads, and a length of 2^32 + 2 is not
    // taken as 2: the line with the row's numbers, no item.
    const std::pair<unsigned long long, unsigned long long> wild[] = {{~0ull - 1, 2}, {10, (1ull << 32) + 2}};
    for (const auto& [off, len] : wild) {
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        const auto p = packet(pulses({1}));
        EXPECT_TRUE(decoder(216).decode(row(216, off, 0xFFFF, 0, len), p.get(), items, nullptr));
        EXPECT_TRUE(items.empty());
        EXPECT_EQ(out.text(), overrun(LaserPulseRegsDecoder::SIGNATURE, off, len, 20));
    }
}

TEST_F(LaserDecoders, PulseTimeOfAWideFieldSaturates)
{
    // An 8-byte field of all ones as a clock count: LLONG_MAX ticks, not undefined.
    QByteArray d = pulses({0xFFFF});
    d.replace(4, 8, QByteArray(8, '\xFF'));
    const auto p = packet(d);
    GseLib::DataItems items;
    EXPECT_TRUE(decoder(215).decode(row(215, 4, ~0ull, 0, 8), p.get(), items, nullptr));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].unixTime, 2000.0 + double(std::numeric_limits<long long>::max()));
    EXPECT_EQ(items[0].toDouble(), 18446744073709551615.0);
    EXPECT_EQ(items[0].count, 8);
}

TEST_F(LaserDecoders, NoPulseMeansTrueForPulsesAndFalseForSummaries)
{
    const QByteArray empties[] = {pulses({0x43E8}, 0), QByteArray(1, '\x01')};
    for (const QByteArray& d : empties) {
        const auto p = packet(d);
        TestSupport::StreamCapture out(std::cout);
        for (int type : {215, 216, 217, 218, 219, 242}) {
            GseLib::DataItems items;
            EXPECT_TRUE(decoder(type).decode(row(uint32_t(type)), p.get(), items, nullptr)) << type;
            EXPECT_TRUE(items.empty()) << type;
        }
        for (int type : {231, 232, 233, 234, 237, 238, 239, 240, 243, 244, 245, 246}) {
            GseLib::DataItems items;
            EXPECT_FALSE(decoder(type).decode(row(uint32_t(type)), p.get(), items, nullptr)) << type;
            EXPECT_TRUE(items.empty()) << type;
        }
        EXPECT_EQ(out.text(), "");
    }
}

// Low selector 2 with high selector 0 leaves F unchanged under every
// calibration, so the words' low 12 bits are the pulse energies.
struct SummaryCase
{
    std::vector<unsigned> energies;
    double mean;
    int minPulse;
    int maxPulse;
    double pstdev; // Python's statistics.pstdev
};

const SummaryCase summaryCases[] = {
    {{1, 2, 3}, 2.0, 0, 2, 0.816496580927726},
    {{2, 1, 1, 3}, 1.75, 1, 3, 0.82915619758884995},
    {{3, 1, 3}, 7.0 / 3.0, 1, 0, 0.94280904158206336},
    {{10, 20, 45, 7}, 20.5, 3, 2, 14.941552797483935},
    {{5}, 5.0, 0, 0, 0.0},
};

TEST_F(LaserDecoders, SummariesOverThePulsesOfEachCalibration)
{
    // Average, minimum, maximum, standard deviation per calibration.
    const int kinds[][4] = {{231, 232, 233, 234}, {237, 238, 239, 240}, {243, 244, 245, 246}};
    for (const SummaryCase& c : summaryCases) {
        std::vector<unsigned> words;
        for (unsigned e : c.energies)
            words.push_back(0x2000 | e);
        const auto p = packet(pulses(words));
        for (const auto& kind : kinds) {
            SCOPED_TRACE(kind[0]);
            GseLib::DataItems items(1); // summaries append, never clear
            for (int type : kind)
                EXPECT_TRUE(decoder(type).decode(row(uint32_t(type), 10, 0x0FFF), p.get(), items, nullptr));
            ASSERT_EQ(items.size(), 5u);
            const GseLib::DataItem& avg = items[1];
            EXPECT_DOUBLE_EQ(avg.toDouble(), c.mean);
            EXPECT_EQ(avg.offset, -1);
            EXPECT_EQ(avg.count, -1);
            EXPECT_EQ(avg.unixTime, 2100.0); // the first pulse's time
            EXPECT_EQ(avg.relativeTime, 50.0);
            const std::pair<const GseLib::DataItem*, int> extremes[] = {{&items[2], c.minPulse},
                                                                        {&items[3], c.maxPulse}};
            for (const auto& [item, pulse] : extremes) {
                EXPECT_EQ(item->toDouble(), double(c.energies[size_t(pulse)]));
                EXPECT_EQ(item->offset, 18 + 16 * pulse);
                EXPECT_EQ(item->count, 2);
                EXPECT_EQ(item->unixTime, 2100.0 + 7 * pulse);
            }
            EXPECT_NEAR(items[4].toDouble(), c.pstdev, 1e-12);
            EXPECT_EQ(items[4].offset, -1);
            EXPECT_EQ(items[4].unixTime, 2100.0);
        }
    }
}

TEST_F(LaserDecoders, SummariesUseTheirCalibration)
{
    // Words with high selector 0, low selector 1: F = 1000 and 2000.
    const auto p = packet(pulses({0x13E8, 0x17D0}));
    const std::pair<int, double> means[] = {{231, (21.5 + 43.0) / 2},
                                            {237, (19.66 + 0.26179 + 39.32 + 0.26179) / 2},
                                            {243, (22.05 + 0.462 + 44.1 + 0.462) / 2}};
    for (const auto& [type, mean] : means) {
        GseLib::DataItems items;
        EXPECT_TRUE(decoder(type).decode(row(uint32_t(type), 10, 0x0FFF), p.get(), items, nullptr));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_NEAR(items[0].toDouble(), mean, 1e-9 * mean) << type;
    }
}

TEST_F(LaserDecoders, StandardDeviationDecodesTwiceSoAnOverrunPrintsTwice)
{
    const auto p = packet(pulses({0x2001, 0x2003}, 3));
    GseLib::DataItems items;
    TestSupport::StreamCapture out(std::cout);
    EXPECT_TRUE(decoder(234).decode(row(234, 10, 0x0FFF), p.get(), items, nullptr));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_DOUBLE_EQ(items[0].toDouble(), 1.0);
    const std::string line = overrun(ETU_ROUTINE.c_str(), 42, 2, 36);
    EXPECT_EQ(out.text(), line + line);
}

// Also when the first pulse already overruns: no pulse, false, and still two
// walks, so two lines (the flight and flight spare deviations alike).
TEST_F(LaserDecoders, StandardDeviationWithNoPulseReadStillPrintsTwice)
{
    const auto p = packet(pulses({0x2001}, 2).left(8));
    const struct
    {
        int type;
        const char* routine;
    } cases[] = {{234, "decodeLaserEnergyUvEtuCalibrated"},
                 {240, "decodeLaserEnergyUvFlightCalibrated"},
                 {246, "decodeLaserEnergyUvFlightSpareCalibrated"}};
    for (const auto& c : cases) {
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_FALSE(decoder(c.type).decode(row(uint32_t(c.type), 10, 0x0FFF), p.get(), items, nullptr)) << c.type;
        EXPECT_TRUE(items.empty()) << c.type;
        const std::string signature = ETU_ROUTINE.substr(0, ETU_ROUTINE.find("decodeLaser")) + c.routine +
                                      ETU_ROUTINE.substr(ETU_ROUTINE.find("(const"));
        const std::string line = overrun(signature.c_str(), 10, 2, 8);
        EXPECT_EQ(out.text(), line + line) << c.type;
    }
}

class LaserHousekeeping : public LaserDecoders
{
protected:
    static constexpr int HK_PACKET = 16;
    // Item 1094 as a pulse register word at data bytes 6..7 of the same packet.
    void SetUp() override
    {
        LaserDecoders::SetUp();
        GseLib::TmDatabaseRow period = row(216, 6, 0xFFFF, shift);
        period.dataId = 1094;
        period.key = "LAS:PERIOD";
        period.name = "PERIOD";
        period.packetType = HK_PACKET;
        period.decodeType = periodType;
        GseLib::DataInterpretation::current()->db()->addRow(period);
    }
    GseLib::TmDatabaseRow hk(int packetType = HK_PACKET) const
    {
        GseLib::TmDatabaseRow r = row(235, 10);
        r.packetType = uint32_t(packetType);
        return r;
    }
    // Data: pulse count 1, the period word, the housekeeping field 0x1234 at 10.
    static QByteArray data(unsigned period)
    {
        QByteArray d(12, '\0');
        put16(d, 0, 1);
        put16(d, 6, period);
        put16(d, 10, 0x1234);
        return d;
    }
    unsigned long long shift = 0;
    uint32_t periodType = 216;
};

TEST_F(LaserHousekeeping, TimeOffsetFromWholeSecondsOfItem1094)
{
    struct Case
    {
        unsigned word;
        unsigned long long shift;
        double t; // DECODE_ID1 (10) x 0.5 x whole seconds of the period in ms
    };
    const Case cases[] = {
        {2500, 0, 10.0},
        {2999, 0, 10.0},
        {999, 0, 0.0},
        {7000, 0, 35.0},
        {0xFFFF, 0xFFFFFFE8, 10.0 * 0.5 * 2147483}, // 0xFFFF << 24 saturates at INT32_MAX ms
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        shift = c.shift;
        SetUp();
        const auto p = packet(data(c.word), HK_PACKET);
        GseLib::DataItems items;
        EXPECT_TRUE(decoder(235).decode(hk(), p.get(), items, nullptr));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].unixTime, 1000.0 + c.t);
        EXPECT_EQ(items[0].relativeTime, 10.0 + c.t);
        EXPECT_EQ(items[0].offset, 18);
        EXPECT_EQ(items[0].count, 2);
        EXPECT_EQ(items[0].toDouble(), double(0x1234));
    }
}

TEST_F(LaserHousekeeping, MissingPeriodOrFieldOutsideTheData)
{
    // Item 1094 belongs to another packet type: t = 0.
    const auto other = packet(data(2500), 17);
    GseLib::DataItems items;
    EXPECT_TRUE(decoder(235).decode(hk(17), other.get(), items, nullptr));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].unixTime, 1000.0);

    // The field past the data: no item, no line, still true.
    const auto cut = packet(data(2500).left(11), HK_PACKET);
    items.clear();
    TestSupport::StreamCapture out(std::cout);
    EXPECT_TRUE(decoder(235).decode(hk(), cut.get(), items, nullptr));
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(out.text(), "");
}

TEST_F(LaserHousekeeping, Item1094NamingItselfStopsAtTheNestingLimit)
{
    periodType = 235;
    SetUp();
    const auto p = packet(data(2500), HK_PACKET);
    GseLib::DataItems items;
    TestSupport::LogCapture log;
    EXPECT_TRUE(decoder(235).decode(hk(), p.get(), items, nullptr));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(log.contains("Decode nesting deeper than 16 at ID: 1094"));
}

TEST_F(LaserDecoders, EveryTruncationStaysInsideTheBytes)
{
    // Byte vectors that end where the data ends, whatever the length field
    // says; the sanitizer build catches any read past them.
    const QByteArray whole = ArchiveTestData::tomPacket(LASER_PULSES, 0, pulses({0x43E8, 0x13E8, 0x33E8}), 5000);
    const int types[] = {215, 216, 217, 218, 219, 242, 231, 232, 233, 234,
                         237, 238, 239, 240, 243, 244, 245, 246, 235};
    const GseLib::TmDatabaseRow rows[] = {row(0), row(0, 2, 0xFFFF, 0, 9), row(0, 60, 0xFFFF, 0xFFFFFFF0, 4),
                                          row(0, 0, ~0ull, 0, 0)};
    for (int cut = 8; cut <= 8 + 52; ++cut) {
        auto bytes = GseLib::makePacketBytes(reinterpret_cast<const uint8_t*>(whole.constData()), size_t(cut));
        const GseLib::TomPacket p(bytes, 0, &resolver);
        for (int type : types) {
            for (GseLib::TmDatabaseRow r : rows) {
                r.decodeType = uint32_t(type);
                GseLib::DataItems items;
                TestSupport::StreamCapture out(std::cout);
                decoder(type).decode(r, &p, items, nullptr);
                EXPECT_LE(items.size(), 3u) << type << " cut " << cut;
            }
        }
    }
}

TEST_F(LaserDecoders, ThroughTheHubByRow)
{
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    const auto p = packet(pulses({0x43E8, 0x53E8}));
    GseLib::DataItems items;
    EXPECT_TRUE(hub->decodePacket(row(218, 10, 0x0FFF), p.get(), items, false, nullptr));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NEAR(items[1].toDouble(), 32.3, 1e-12);
    EXPECT_TRUE(hub->decodePacket(row(233, 10, 0x0FFF), p.get(), items, false, nullptr));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_NEAR(items[2].toDouble(), 83.6, 1e-12);
    EXPECT_EQ(items[2].offset, 18);
    // No pulse: the hub reports nothing appended.
    const auto none = packet(pulses({}, 0));
    EXPECT_FALSE(hub->decodePacket(row(216), none.get(), items, false, nullptr));
    EXPECT_FALSE(hub->decodePacket(row(240), none.get(), items, false, nullptr));
    EXPECT_EQ(items.size(), 3u);
}
