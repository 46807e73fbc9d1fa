// The MAIF, RSIM bus and rover bus decoders: MAIF sample times in both record
// layouts (FPGA 0x2B and 0x2C), the stream strides, the one-minute block's
// milliseconds, the RSIM current walk with its extremes and mean, the RSIM
// powers from singles, the rover powers through the hub, and every
// truncation of each decoder's packet (read under the sanitizers with byte
// vectors that end where the data ends).
#include "koralib/koradefinitions.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "support/logcapture.h"
#include "support/streamcapture.h"

#include <cmath>
#include <limits>
#include <stdexcept>

using namespace KorGse::KorDataInterpretationImpl;

namespace {

// Row 831 of these tests: the FPGA word is D[1..2] big-endian, so the FPGA
// version is D[1]; the MAIF clock is D[3..4] little-endian.
constexpr uint64_t FPGA_OFFSET = 1;

class KorMaif : public KoraTest::SuiteTest
{
protected:
    static void SetUpTestSuite()
    {
        KoraTest::SuiteTest::SetUpTestSuite();
        GseLib::TmDatabaseRow fpga;
        fpga.key = "KOR:MAIF_FPGA";
        fpga.dataId = 831;
        fpga.packetType = 26;
        fpga.decodeIds = {FPGA_OFFSET, 2, 0xFFFF, 0};
        db()->addRow(fpga);
    }
    static GseLib::TelemetryDatabase* db() { return GseLib::DataInterpretation::current()->db(); }
};

// Every packet of these tests lies at relative time 0 and unix time 1e9, so
// an item's relative time is its time offset.
constexpr double PACKET_UNIX_TIME = 1e9;

class FixedTimes : public GseLib::TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return double(ticks); }
    long long secondsToTicks(double s) const override { return (long long)s; }
    double unixTime(const GseLib::TMPacket*) const override { return PACKET_UNIX_TIME; }
    double unixTime(const GseLib::TMPacket*, long long) const override { return PACKET_UNIX_TIME; }
    double relativeTime(const GseLib::TMPacket*) const override { return 0.0; }
    double relativeTime(const GseLib::TMPacket*, long long) const override { return 0.0; }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const GseLib::TMPacketPtr&) override { return false; }
    GseLib::TMPacketPtr t0Packet() const override { return nullptr; }
};

const FixedTimes fixedTimes;

// A packet whose bytes end where its data ends (no trailer), so a read past
// N is a read past the vector.
GseLib::TMPacketPtr packet(const std::vector<uint8_t>& data, int type = 26)
{
    std::vector<uint8_t> bytes = {uint8_t(type), 0, uint8_t(data.size() >> 8), uint8_t(data.size()), 0, 0, 0, 0};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return std::make_shared<GseLib::TomPacket>(bytes.data(), int(bytes.size()), 0, &fixedTimes);
}

GseLib::TmDatabaseRow row(uint64_t id1, uint64_t id2 = 2, uint64_t mask = 0xFFFF, uint64_t shift = 0)
{
    GseLib::TmDatabaseRow r;
    r.key = "KOR:TEST";
    r.dataId = 4242;
    r.packetType = 26;
    r.decodeIds = {id1, id2, mask, shift};
    return r;
}

// Data of n bytes counting 0, 1, 2, ... (mod 251 so neighbours differ), with
// the MAIF header: FPGA version at D[1], clock at D[3..4].
std::vector<uint8_t> maifData(size_t n, int fpga = 0x2B, unsigned clock = 16000)
{
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i)
        d[i] = uint8_t(i % 251);
    if (n > 4) {
        d[1] = uint8_t(fpga);
        d[2] = 0x00;
        d[3] = uint8_t(clock);
        d[4] = uint8_t(clock >> 8);
    }
    return d;
}

double le16(const std::vector<uint8_t>& d, size_t o) { return double(d[o] | (d[o + 1] << 8)); }
double be16(const std::vector<uint8_t>& d, size_t o) { return double((d[o] << 8) | d[o + 1]); }

template<typename Decoder>
bool run(const GseLib::TmDatabaseRow& r, const GseLib::TMPacketPtr& p, GseLib::DataItems& items)
{
    return Decoder().decode(r, p.get(), items, nullptr);
}

std::string overrun(const char* signature, uint64_t off, uint64_t len, size_t n)
{
    return std::string(signature) + " KOR:TEST 4242 Out of bounds: off(" + std::to_string(off) + ") + len(" +
           std::to_string(len) + ") > dataLength(" + std::to_string(n) + ")\n";
}

} // namespace

// Sample times of single MAIF fields in both layouts; worked by hand:
// old layout h = 3, s0 = -1; new layout h = 5, s0 = -clock / 32000.
TEST_F(KorMaif, MaifFieldTimesInBothLayouts)
{
    ASSERT_TRUE(defs->generated);
    struct Case
    {
        size_t n;
        int fpga;
        unsigned clock;
        uint64_t o;
        double s;
    };
    const Case cases[] = {
        {400, 0x2C, 16000, 103, -0.875}, // short packets keep the old layout whatever the FPGA says
        {400, 0x2C, 16000, 2, 0.0},      {468, 0x2C, 16000, 461, 0.0},   {400, 0x2C, 16000, 3, -1.0},
        {468, 0x2C, 16000, 460, -1.0 + 457 * 0.00125},
        {468, 0x2C, 16000, 103, -0.875}, {469, 0x2C, 16000, 105, -0.375}, {500, 0x2C, 16000, 105, -0.375},
        {500, 0x2B, 16000, 103, -0.875}, {500, 0x2B, 16000, 461, 0.0},    {500, 0x2C, 16000, 4, 0.0},
        {500, 0x2C, 16000, 5, -0.5},     {500, 0x2C, 16000, 462, -0.5 + 457 * 0.00125},
        {500, 0x2C, 16000, 463, 0.0},    {500, 0x2C, 32000, 5, -1.0},     {500, 0x2A, 32000, 5, -1.0 + 2 * 0.00125},
        {500, 0x30, 8000, 9, -0.25 + 4 * 0.00125}, {500, 0xFF, 0, 5, 0.0},
    };
    for (const Case& c : cases) {
        const auto d = maifData(c.n, c.fpga, c.clock);
        GseLib::DataItems items;
        ASSERT_TRUE(run<MaifDecoder>(row(c.o), packet(d), items)) << c.o;
        ASSERT_EQ(items.size(), 1u);
        EXPECT_NEAR(items[0].relativeTime, c.s, 1e-12) << c.n << " " << std::hex << c.fpga << std::dec << " " << c.o;
        EXPECT_EQ(items[0].offset, int(c.o) + 8);
        EXPECT_EQ(items[0].count, 2);
        EXPECT_EQ(items[0].toDouble(), le16(d, c.o)); // little-endian
        EXPECT_NEAR(items[0].unixTime, PACKET_UNIX_TIME + c.s, 1e-6);
    }
}

TEST_F(KorMaif, FpgaWordOutsideTheDataMeansTheOldLayout)
{
    ASSERT_TRUE(defs->generated);
    const auto d = maifData(500, 0x2C, 16000);
    db()->row(831u).decodeIds = {499, 2, 0xFFFF, 0};
    GseLib::DataItems items;
    EXPECT_TRUE(run<MaifDecoder>(row(103), packet(d), items));
    db()->row(831u).decodeIds = {FPGA_OFFSET, 2, 0xFFFF, 0};
    ASSERT_EQ(items.size(), 1u);
    EXPECT_NEAR(items[0].relativeTime, -0.875, 1e-12);

    // Without row 831 a long packet cannot be laid out: the database's error passes.
    GseLib::TmDatabaseRow saved = db()->row(831u);
    db()->removeRow(831u);
    EXPECT_THROW(run<MaifDecoder>(row(103), packet(d), items), std::out_of_range);
    db()->addRow(saved);
}

// The pressure stream: 8 bytes apart fourteen times, then 4; current: one 6
// after sample 14. Start: pressure from its position, current at s0.
TEST_F(KorMaif, MaifStreamsStrideAndTime)
{
    ASSERT_TRUE(defs->generated);
    struct Case
    {
        bool current;
        size_t n;
        int fpga;
        uint64_t o;
        double start;
    };
    const Case cases[] = {
        {false, 470, 0x2B, 7, -0.995},      {false, 470, 0x2C, 9, -0.5 + 4 * 0.00125},
        {false, 470, 0x2C, 2, -0.50375},    // before the header: a signed difference
        {false, 468, 0x2C, 7, -0.995},      {true, 470, 0x2B, 7, -1.0},
        {true, 470, 0x2B, 11, -1.0},        {true, 470, 0x2C, 9, -0.5},
    };
    for (const Case& c : cases) {
        const auto d = maifData(c.n, c.fpga, 16000);
        GseLib::DataItems items;
        const auto p = packet(d);
        TestSupport::StreamCapture out(std::cout);
        ASSERT_TRUE(c.current ? run<MaifCurrentDecoder>(row(c.o), p, items)
                              : run<MaifPressureDecoder>(row(c.o), p, items));
        EXPECT_EQ(out.text(), "");
        ASSERT_EQ(items.size(), 100u);
        for (size_t k = 0; k < 100; ++k) {
            uint64_t pos = c.o + 8 * std::min<size_t>(k, 14);
            if (k > 14)
                pos += c.current ? 6 + 4 * (k - 15) : 4 * (k - 14);
            EXPECT_EQ(items[k].offset, int(pos) + 8) << k;
            EXPECT_EQ(items[k].toDouble(), le16(d, pos)) << k;
            EXPECT_NEAR(items[k].relativeTime, c.start + 0.01 * double(k), 1e-9) << k;
        }
        EXPECT_EQ(items[14].offset, int(c.o) + 112 + 8);
        EXPECT_EQ(items[99].offset, int(c.o) + (c.current ? 454 : 452) + 8);
    }
}

TEST_F(KorMaif, MinuteBlockMilliseconds)
{
    ASSERT_TRUE(defs->generated);
    std::vector<uint8_t> d(6 + 2 * 6000);
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = uint8_t(i * 7);
    d[4] = 0xF4;
    d[5] = 0x01; // 500 ms
    for (uint64_t o : {6u, 8u}) {
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        ASSERT_TRUE(run<Maif1MinDecoder>(row(o), packet(d), items));
        const size_t expected = o == 6 ? 6000 : 5999; // the packet holds one sample less from 8 on
        ASSERT_EQ(items.size(), expected);
        EXPECT_NEAR(items[0].relativeTime, o == 6 ? -60.5 : -60.0, 1e-12);
        EXPECT_NEAR(items[100].relativeTime, (o == 6 ? -60.5 : -60.0) + 1.0, 1e-9);
        for (size_t k : {size_t(0), size_t(1), size_t(777), expected - 1}) {
            EXPECT_EQ(items[k].offset, int(o + 2 * k) + 8);
            EXPECT_EQ(items[k].toDouble(), le16(d, o + 2 * k));
        }
    }
    // A masked and shifted milliseconds field: the low 16 bits, bytes exchanged.
    GseLib::DataItems items;
    d[4] = 0xE8;
    d[5] = 0x03; // 1000 ms, read big-endian as 0xE803
    ASSERT_TRUE(run<Maif1MinDecoder>(row(6, 2, 0xFFFF, 0), packet(d), items));
    EXPECT_NEAR(items[0].relativeTime, -61.0, 1e-12);
}

TEST_F(KorMaif, RsimCurrentWalkAndSummaries)
{
    ASSERT_TRUE(defs->generated);
    const uint64_t o = 4;
    std::vector<uint8_t> d(o + 2000);
    auto set = [&](size_t k, unsigned v) {
        d[o + 2 * k] = uint8_t(v >> 8);
        d[o + 2 * k + 1] = uint8_t(v);
    };
    double sum = 0.0;
    for (size_t k = 0; k < 1000; ++k) {
        set(k, unsigned(1000 + (k * 37) % 500));
        sum += double(1000 + (k * 37) % 500);
    }
    GseLib::DataItems items;
    ASSERT_TRUE(run<RsimBus1CurrentDecoder>(row(o), packet(d), items));
    ASSERT_EQ(items.size(), 1000u);
    for (size_t k : {0, 1, 500, 999}) {
        EXPECT_EQ(items[k].offset, int(o + 2 * k) + 8);
        EXPECT_EQ(items[k].toDouble(), be16(d, o + 2 * k)); // big-endian
        EXPECT_NEAR(items[k].relativeTime, -1.0 + 0.001 * double(k), 1e-12);
    }
    items.clear();
    ASSERT_TRUE(run<RsimBus1CurrentAvgDecoder>(row(o), packet(d), items));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_DOUBLE_EQ(items[0].toDouble(), sum / 1000.0);
    EXPECT_EQ(items[0].offset, -1);
    EXPECT_EQ(items[0].count, -1);
    EXPECT_EQ(items[0].relativeTime, -0.5);

    // Extremes at 10 and 20 (ties keep the earlier), or at sample 0.
    struct Case
    {
        bool min;
        std::vector<size_t> at;
        size_t chosen;
    };
    const Case cases[] = {{true, {10, 20}, 10}, {false, {10, 20}, 10}, {true, {0, 999}, 0},
                          {false, {999}, 999},  {true, {0}, 0},         {false, {20, 10}, 10}};
    for (const Case& c : cases) {
        for (size_t k = 0; k < 1000; ++k)
            set(k, 1000);
        for (size_t k : c.at)
            set(k, c.min ? 5 : 60000);
        items.clear();
        const auto p = packet(d);
        ASSERT_TRUE(c.min ? run<RsimBus1CurrentMinDecoder>(row(o), p, items)
                          : run<RsimBus1CurrentMaxDecoder>(row(o), p, items));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].toDouble(), c.min ? 5.0 : 60000.0);
        EXPECT_EQ(items[0].offset, int(o + 2 * c.chosen) + 8);
        EXPECT_EQ(items[0].count, 2);
        EXPECT_NEAR(items[0].relativeTime, -1.0 + double(c.chosen) / 1000.0, 1e-12);
    }
}

TEST_F(KorMaif, RsimMeanOfAHalfPacketStillDividesByAThousand)
{
    ASSERT_TRUE(defs->generated);
    std::vector<uint8_t> d(2 + 1000, 0);
    for (size_t k = 0; k < 500; ++k)
        d[2 + 2 * k + 1] = 10; // each sample 10
    GseLib::DataItems items;
    TestSupport::StreamCapture out(std::cout);
    ASSERT_TRUE(run<RsimBus1CurrentAvgDecoder>(row(2), packet(d), items));
    EXPECT_EQ(out.text(), overrun(RsimBus1CurrentAvgDecoder::SIGNATURE, 1002, 2, 1002));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_DOUBLE_EQ(items[0].toDouble(), 5000.0 / 1000.0);
}

// Singles written as their IEEE-754 patterns: 28.0 = 0x41E00000, 0.5 =
// 0x3F000000, 2^24 - 1 = 0x4B7FFFFF (its square is exact in double only).
TEST_F(KorMaif, RsimPowersMultiplySinglesInDouble)
{
    ASSERT_TRUE(defs->generated);
    struct Case
    {
        int bus;
        uint32_t v, i;
        double power;
    };
    const Case cases[] = {{2, 0x41E00000, 0x3F000000, 14.0},
                          {1, 0x41E00000, 0x3F000000, 14.0},
                          {3, 0x40000000, 0x40000000, 4.0},
                          {1, 0x4B7FFFFF, 0x4B7FFFFF, 281474943156225.0},
                          {3, 0xC0400000, 0x40000000, -6.0}};
    for (const Case& c : cases) {
        const uint64_t o = 3;
        const uint64_t dist = c.bus == 1 ? 12 : c.bus == 2 ? 8 : 4;
        std::vector<uint8_t> d(o + dist + 4, 0xAA);
        for (int b = 0; b < 4; ++b) {
            d[o + b] = uint8_t(c.v >> (24 - 8 * b));
            d[o + dist + b] = uint8_t(c.i >> (24 - 8 * b));
        }
        GseLib::DataItems items;
        const auto r = row(o, 4, 0xFFFFFFFF);
        const auto p = packet(d);
        const bool ok = c.bus == 1 ? run<RsimBus1PowerDecoder>(r, p, items)
                      : c.bus == 2 ? run<RsimBus2PowerDecoder>(r, p, items)
                                   : run<RsimBus3PowerDecoder>(r, p, items);
        ASSERT_TRUE(ok);
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].toDouble(), c.power) << c.bus;
        EXPECT_EQ(items[0].relativeTime, -0.5);
        EXPECT_EQ(items[0].offset, -1);
        EXPECT_EQ(items[0].count, -1);
    }
    // A NaN single gives a NaN power.
    std::vector<uint8_t> nan = {0x7F, 0xC0, 0, 0, 0x40, 0, 0, 0};
    GseLib::DataItems items;
    ASSERT_TRUE(run<RsimBus3PowerDecoder>(row(0, 4, 0xFFFFFFFF), packet(nan), items));
    EXPECT_TRUE(std::isnan(items.at(0).toDouble()));
}

// Either field past the data: the line for that field, false, no item.
TEST_F(KorMaif, RsimPowerOverrunsReturnFalse)
{
    ASSERT_TRUE(defs->generated);
    std::vector<uint8_t> d(14, 0);
    GseLib::DataItems items;
    {
        TestSupport::StreamCapture out(std::cout);
        EXPECT_FALSE(run<RsimBus2PowerDecoder>(row(4, 4), packet(d), items)); // second field at 12
        EXPECT_EQ(out.text(), "virtual bool KorGse::KorDataInterpretationImpl::RsimBus2PowerDecoder::decode(const "
                              "KorGse::KorDataInterpretationImpl::DbRow &, const GseLib::TMPacket *, "
                              "GseLib::DataItems &, const GseLib::CurrentValueTable *) const KOR:TEST 4242 Out of "
                              "bounds: off(12) + len(4) > dataLength(14)\n");
    }
    {
        TestSupport::StreamCapture out(std::cout);
        EXPECT_FALSE(run<RsimBus1PowerDecoder>(row(11, 4), packet(d), items));
        EXPECT_EQ(out.text(), overrun(RsimBus1PowerDecoder::SIGNATURE, 11, 4, 14));
    }
    {
        TestSupport::StreamCapture out(std::cout);
        EXPECT_FALSE(run<RsimBus3PowerDecoder>(row(~0ull, 4), packet(d), items)); // no wrap of o + l
        EXPECT_FALSE(run<MaifDecoder>(row(13, 2), packet(d), items));
        EXPECT_EQ(out.lines().size(), 2);
    }
    EXPECT_TRUE(items.empty());
}

// The bounds test takes DECODE_ID2 as stored: 2^32 + 2 never fits, although
// its low 32 bits would.
TEST_F(KorMaif, LengthsPastThirtyTwoBitsNeverFit)
{
    ASSERT_TRUE(defs->generated);
    const uint64_t wide = (1ull << 32) + 2;
    const auto p = packet(maifData(2100));
    const auto r = row(8, wide);
    GseLib::DataItems items;
    TestSupport::StreamCapture out(std::cout);
    EXPECT_FALSE(run<MaifDecoder>(r, p, items));
    EXPECT_TRUE(run<MaifPressureDecoder>(r, p, items));
    EXPECT_TRUE(run<Maif1MinDecoder>(r, p, items));
    EXPECT_TRUE(run<RsimBus1CurrentDecoder>(r, p, items));
    EXPECT_TRUE(run<RsimBus1CurrentMaxDecoder>(r, p, items));
    EXPECT_FALSE(run<RsimBus3PowerDecoder>(r, p, items));
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(out.text(), overrun(MaifDecoder::SIGNATURE, 8, wide, 2100) +
                              overrun(MaifPressureDecoder::SIGNATURE, 8, wide, 2100) +
                              overrun(Maif1MinDecoder::SIGNATURE, 8, wide, 2100) +
                              overrun(RsimBus1CurrentDecoder::SIGNATURE, 8, wide, 2100) +
                              overrun(RsimBus1CurrentMaxDecoder::SIGNATURE, 8, wide, 2100) +
                              overrun(RsimBus3PowerDecoder::SIGNATURE, 8, wide, 2100));
}

// Every decoder on every truncation of a full packet: items stop where the
// data stops, one overrun line when something was cut, and nothing is read
// past the data (the byte vectors end at N).
TEST_F(KorMaif, EveryTruncation)
{
    ASSERT_TRUE(defs->generated);
    struct Decoder
    {
        const char* name;
        const GseLib::Decoder* decoder;
        uint64_t o;
        size_t full;      // bytes that hold every sample
        size_t maxItems;  // items of a full packet
        bool falseOnCut;  // result after an overrun
        bool summary;     // one item whatever was cut
    };
    const MaifDecoder d207;
    const MaifPressureDecoder d208;
    const MaifCurrentDecoder d209;
    const Maif1MinDecoder d210;
    const RsimBus1CurrentDecoder d211;
    const RsimBus1CurrentMinDecoder d212;
    const RsimBus1CurrentMaxDecoder d213;
    const RsimBus1CurrentAvgDecoder d214;
    const RsimBus1PowerDecoder d227;
    const RsimBus2PowerDecoder d228;
    const RsimBus3PowerDecoder d229;
    const Decoder decoders[] = {
        {"207", &d207, 103, 105, 1, true, false},        {"208", &d208, 7, 461, 100, false, false},
        {"209", &d209, 7, 463, 100, false, false},       {"210", &d210, 6, 12006, 6000, false, false},
        {"211", &d211, 4, 2004, 1000, false, false},     {"212", &d212, 4, 2004, 1, false, false},
        {"213", &d213, 4, 2004, 1, false, false},        {"214", &d214, 4, 2004, 1, false, true},
        {"227", &d227, 2, 18, 1, true, false},           {"228", &d228, 2, 14, 1, true, false},
        {"229", &d229, 2, 10, 1, true, false},
    };
    for (const Decoder& dec : decoders) {
        const bool power = dec.name[0] == '2' && dec.name[1] == '2';
        const auto full = maifData(std::max<size_t>(dec.full, 470), 0x2C, 16000);
        for (size_t n = 0; n <= dec.full; n += (dec.full > 3000 && n > 100 && n + 100 < dec.full) ? 97 : 1) {
            const std::vector<uint8_t> d(full.begin(), full.begin() + std::ptrdiff_t(n));
            GseLib::DataItems items;
            TestSupport::StreamCapture out(std::cout);
            const bool ok = dec.decoder->decode(row(dec.o, power ? 4 : 2, power ? 0xFFFFFFFF : 0xFFFF), packet(d).get(),
                                                items, nullptr);
            const bool cut = n < dec.full;
            EXPECT_EQ(out.lines().size(), cut ? 1 : 0) << dec.name << " n=" << n;
            EXPECT_EQ(ok, !(cut && dec.falseOnCut)) << dec.name << " n=" << n;
            if (dec.summary)
                EXPECT_EQ(items.size(), 1u) << dec.name << " n=" << n;
            else if (!cut)
                EXPECT_EQ(items.size(), dec.maxItems) << dec.name;
            else if (dec.maxItems == 1)
                EXPECT_EQ(items.size(), (n >= dec.o + 2 && !dec.falseOnCut) ? 1u : 0u) << dec.name << " n=" << n;
            else
                EXPECT_LT(items.size(), dec.maxItems) << dec.name << " n=" << n;
            for (const auto& item : items) {
                if (item.offset >= 0) {
                    EXPECT_LE(size_t(item.offset - 8 + item.count), n) << dec.name;
                }
            }
        }
    }
}

// Rover bus powers: rows V and I decoded from the same packet through the hub
// and turned into science values. Generated rows: 351 (D[8..9], 0.5 + 0.25 r)
// and 353 (D[12..13], -2 + 0.5 r), both of packet type 26.
TEST_F(KorMaif, RoverPowersThroughTheHub)
{
    ASSERT_TRUE(defs->generated);
    std::vector<uint8_t> d(16, 0);
    d[9] = 100; // 25.5
    d[13] = 10; // 3.0
    const auto p = packet(d);
    const RoverBus1PowerDecoder b1;
    const RoverBus2PowerDecoder b2;
    const RoverBus3PowerDecoder b3;
    const RoverBus4PowerDecoder b4;
    for (const GseLib::Decoder* dec : {static_cast<const GseLib::Decoder*>(&b1), static_cast<const GseLib::Decoder*>(&b2),
                                       static_cast<const GseLib::Decoder*>(&b3), static_cast<const GseLib::Decoder*>(&b4)}) {
        GseLib::DataItems items(1); // earlier items stay
        ASSERT_TRUE(dec->decode(row(351, 353), p.get(), items, nullptr)) << dec->type();
        ASSERT_EQ(items.size(), 2u);
        EXPECT_DOUBLE_EQ(items[1].toDouble(), 25.5 * 3.0);
        EXPECT_EQ(items[1].offset, -1);
        EXPECT_EQ(items[1].count, -1);
        EXPECT_EQ(items[1].relativeTime, 0.0);
        EXPECT_EQ(items[1].unixTime, PACKET_UNIX_TIME);
        // A current row of another packet type yields nothing: false, nothing appended.
        EXPECT_FALSE(dec->decode(row(351, 1093), p.get(), items, nullptr));
        EXPECT_FALSE(dec->decode(row(1093, 353), p.get(), items, nullptr));
        EXPECT_EQ(items.size(), 2u);
        EXPECT_THROW(dec->decode(row(351, 99999), p.get(), items, nullptr), std::out_of_range);
    }
    EXPECT_EQ(b3.type(), 249);
    EXPECT_EQ(b4.type(), 250);

    // Through the hub, a row that names itself stops at the nesting limit.
    GseLib::TmDatabaseRow self = row(9001, 353);
    self.dataId = 9001;
    self.key = "KOR:ROVER_SELF";
    self.decodeType = 247;
    db()->addRow(self);
    GseLib::TmDatabaseRow good = row(351, 353);
    good.dataId = 9002;
    good.key = "KOR:ROVER_GOOD";
    good.decodeType = 248;
    db()->addRow(good);
    TestSupport::LogCapture log;
    GseLib::DataItems items;
    const auto* hub = GseLib::DataInterpretation::current();
    EXPECT_FALSE(hub->decodePacket(9001, p.get(), items, true, nullptr));
    EXPECT_TRUE(items.empty());
    EXPECT_TRUE(log.contains("Decode nesting deeper than 16 at ID: 9001"));
    ASSERT_TRUE(hub->decodePacket(9002, p.get(), items, true, nullptr));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_DOUBLE_EQ(items[0].toDouble(), 76.5);
    db()->removeRow(9001u);
    db()->removeRow(9002u);
}
