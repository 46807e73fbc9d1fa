// The pressure and SEB decoders: micro-Pirani records (raw, mean, highest,
// lowest) with their times and overrun line, the gauge pressure from its
// sensor voltages, SEB ADC channels, RF frequency, and the two decoders that
// pair other rows' science values; every truncation of their packets.
#include "koralib/koradefinitions.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/tompacket.h"
#include "support/logcapture.h"
#include "support/streamcapture.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <map>

using namespace KorGse::KorDataInterpretationImpl;

namespace {

constexpr int PACKET_TYPE = 22;

class KorSeb : public KoraTest::SuiteTest
{
};

// A packet whose byte vector ends where its data ends, so a read past N is a
// read past the allocation.
GseLib::TMPacketPtr packet(const std::vector<uint8_t>& data, size_t keep = SIZE_MAX)
{
    const size_t n = std::min(keep, data.size());
    auto bytes = std::make_shared<GseLib::ByteVector>(8 + n);
    (*bytes)[0] = PACKET_TYPE;
    (*bytes)[2] = uint8_t(n >> 8);
    (*bytes)[3] = uint8_t(n);
    std::copy(data.begin(), data.begin() + std::ptrdiff_t(n), bytes->begin() + 8);
    return std::make_shared<GseLib::TomPacket>(bytes, 3, nullptr);
}

DbRow makeRow(uint32_t id, unsigned decodeType, std::vector<unsigned long long> ids)
{
    DbRow row;
    row.key = "SEB:ROW" + std::to_string(id);
    row.dataId = id;
    row.packetType = PACKET_TYPE;
    row.decodeType = decodeType;
    row.decodeIds = std::move(ids);
    return row;
}

void putBe16(std::vector<uint8_t>& d, size_t at, unsigned v)
{
    d[at] = uint8_t(v >> 8);
    d[at + 1] = uint8_t(v);
}

void putBe32(std::vector<uint8_t>& d, size_t at, uint32_t v)
{
    putBe16(d, at, v >> 16);
    putBe16(d, at + 2, v & 0xFFFF);
}

// IEEE-754 single patterns, written out rather than taken from the compiler.
constexpr uint32_t ONE = 0x3F800000, TWO = 0x40000000, THREE = 0x40400000, FIVE = 0x40A00000,
                   QNAN = 0x7FC00000;

bool isNanPattern(double value)
{
    const uint32_t bits = uint32_t(value);
    return double(bits) == value && (bits & 0x7F800000) == 0x7F800000 && (bits & 0x007FFFFF) != 0;
}

struct Expect
{
    double value;
    double time;
};

struct PiraniCase
{
    const char* name;
    unsigned n;
    std::vector<unsigned> steps;
    std::vector<uint32_t> fields;
    uint64_t fieldOffset;     // DECODE_ID1
    size_t dataLength;        // N
    std::vector<Expect> raw;  // 220, one per record read
    Expect mean;              // 221 (value < 0: a NaN pattern)
    Expect high;              // 222
    Expect low;               // 223
    std::string overrun;      // the off/len/dataLength part of the line, empty for none
};

std::vector<uint8_t> piraniData(const PiraniCase& c)
{
    std::vector<uint8_t> d(std::max<size_t>(c.dataLength, 4 + 12 * c.steps.size() + 16), 0);
    putBe16(d, 0, c.n);
    for (size_t j = 0; j < c.steps.size(); ++j) {
        putBe16(d, 4 + 12 * j, c.steps[j]);
        putBe32(d, c.fieldOffset + 12 * j, c.fields[j]);
    }
    d.resize(c.dataLength);
    return d;
}

const std::vector<PiraniCase> PIRANI_CASES = {
    {"three records of five announced", 5, {100, 200, 300}, {ONE, THREE, TWO}, 6, 40,
     {{ONE, 0.01}, {THREE, 0.03}, {TWO, 0.06}}, {TWO, 0.03}, {THREE, 0.03}, {ONE, 0.01}, ""},
    {"highest in record zero", 2, {7, 5}, {FIVE, ONE}, 6, 28, {{FIVE, 0.0007}, {ONE, 0.0012}}, {THREE, 0.0006},
     {FIVE, 0.0007}, {ONE, 0.0012}, ""},
    {"equal singles keep record zero", 2, {10, 20}, {TWO, TWO}, 6, 28, {{TWO, 0.001}, {TWO, 0.003}},
     {TWO, 0.0015}, {TWO, 0.001}, {TWO, 0.001}, ""},
    {"no record", 0, {10}, {ONE}, 6, 40, {}, {-1, 0.0}, {0.0, 0.0}, {0.0, 0.0}, ""},
    {"shorter than the count field", 3, {}, {}, 6, 3, {}, {-1, 0.0}, {0.0, 0.0}, {0.0, 0.0}, ""},
    {"NaN never replaces", 3, {1, 1, 1}, {ONE, QNAN, FIVE}, 6, 40, {{ONE, 0.0001}, {QNAN, 0.0002}, {FIVE, 0.0003}},
     {-1, 0.00015}, {FIVE, 0.0003}, {ONE, 0.0001}, ""},
    {"NaN first stays", 2, {1, 1}, {QNAN, FIVE}, 6, 28, {{QNAN, 0.0001}, {FIVE, 0.0002}}, {-1, 0.0001},
     {QNAN, 0.0001}, {QNAN, 0.0001}, ""},
    // The field lies in the next record's bytes; the third's ends past N.
    {"overrun on the third record", 3, {100, 200, 300}, {ONE, THREE, TWO}, 18, 40, {{ONE, 0.01}, {THREE, 0.03}},
     {0x3FAAAAAB, 0.015}, {THREE, 0.03}, {ONE, 0.01}, "off(42) + len(4) > dataLength(40)"},
};

template <typename D>
std::string signatureOf()
{
    return D::SIGNATURE;
}

TEST_F(KorSeb, PiraniRecordsRawMeanHighestLowest)
{
    ASSERT_TRUE(defs->generated);
    const MicroPiraniPressureDecoder raw;
    const MicroPiraniPressureAvgDecoder mean;
    const MicroPiraniPressureHiDecoder high;
    const MicroPiraniPressureLoDecoder low;
    for (const PiraniCase& c : PIRANI_CASES) {
        SCOPED_TRACE(c.name);
        const DbRow row = makeRow(500, 220, {c.fieldOffset, 4, 0xFFFFFFFF, 0});
        const auto p = packet(piraniData(c));
        GseLib::DataItems items(1); // decoders append, never clear
        {
            TestSupport::StreamCapture out(std::cout);
            EXPECT_TRUE(raw.decode(row, p.get(), items, nullptr));
            const std::string expectedLine = c.overrun.empty() ? std::string()
                : signatureOf<MicroPiraniPressureDecoder>() + " SEB:ROW500 500 Out of bounds: " + c.overrun + "\n";
            EXPECT_EQ(out.text(), expectedLine);
        }
        ASSERT_EQ(items.size(), 1 + c.raw.size());
        for (size_t j = 0; j < c.raw.size(); ++j) {
            EXPECT_EQ(std::get<double>(items[1 + j].value), c.raw[j].value) << j;
            EXPECT_NEAR(items[1 + j].unixTime, c.raw[j].time, 1e-12) << j;
            EXPECT_EQ(items[1 + j].offset, int(c.fieldOffset + 12 * j + 8)) << j;
            EXPECT_EQ(items[1 + j].count, 4);
        }

        const auto summary = [&](const GseLib::Decoder& d, const Expect& e, const char* which) {
            GseLib::DataItems one;
            TestSupport::StreamCapture out(std::cout);
            EXPECT_TRUE(d.decode(row, p.get(), one, nullptr)) << which;
            EXPECT_EQ(out.text().empty(), c.overrun.empty()) << which;
            ASSERT_EQ(one.size(), 1u) << which;
            const double v = std::get<double>(one[0].value);
            if (e.value < 0)
                EXPECT_TRUE(isNanPattern(v)) << which << " " << v;
            else
                EXPECT_EQ(v, e.value) << which;
            EXPECT_NEAR(one[0].unixTime, e.time, 1e-12) << which;
            EXPECT_NEAR(one[0].relativeTime, e.time, 1e-12) << which;
            EXPECT_EQ(one[0].offset, -1);
            EXPECT_EQ(one[0].count, -1);
        };
        summary(mean, c.mean, "mean");
        summary(high, c.high, "highest");
        summary(low, c.low, "lowest");
    }
}

// Row parameters as the definitions may hold them: lengths of 2^32 and more
// never fit (whatever their low 32 bits), offsets near 2^64 do not wrap, and
// the shift's sign picks its direction.
TEST_F(KorSeb, PiraniRowParametersAtTheirExtremes)
{
    ASSERT_TRUE(defs->generated);
    const auto p = packet(piraniData(PIRANI_CASES[0]));
    const MicroPiraniPressureDecoder raw;
    const MicroPiraniPressureHiDecoder high;
    const MicroPiraniAlgorithmDecoder algorithm;
    struct Case
    {
        const char* name;
        std::vector<unsigned long long> ids;
        std::vector<double> values;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"length above 32 bits", {6, (1ull << 32) + 4, 0xFFFFFFFF, 0}, {},
         "off(6) + len(4294967300) > dataLength(40)"},
        {"offset near 2^64", {~0ull - 1, 4, 0xFFFFFFFF, 0}, {}, "off(18446744073709551614) + len(4) > dataLength(40)"},
        {"shift right", {6, 4, 0xFFFFFFFF, 16}, {ONE >> 16, THREE >> 16, TWO >> 16}, ""},
        {"negative shift is a left shift", {6, 4, 0xFFFFFFFF, 0xFFFFFFFC},
         {double(uint64_t(ONE) << 4), double(uint64_t(THREE) << 4), double(uint64_t(TWO) << 4)}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DbRow row = makeRow(509, 220, c.ids);
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(raw.decode(row, p.get(), items, nullptr));
        ASSERT_EQ(items.size(), c.values.size());
        for (size_t i = 0; i < items.size(); ++i)
            EXPECT_EQ(std::get<double>(items[i].value), c.values[i]) << i;
        EXPECT_EQ(out.text(), c.line.empty() ? std::string()
                                             : signatureOf<MicroPiraniPressureDecoder>() + " SEB:ROW509 509 Out of bounds: "
                                                 + c.line + "\n");
    }
    GseLib::DataItems items;
    EXPECT_TRUE(high.decode(makeRow(509, 222, cases[0].ids), p.get(), items, nullptr));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(std::get<double>(items[0].value), 0.0);
    items.clear();
    std::vector<uint8_t> d(200, 1);
    EXPECT_TRUE(algorithm.decode(makeRow(510, 225, {7, (1ull << 32) + 2, 0xFFFF, 0}), packet(d).get(), items, nullptr));
    EXPECT_TRUE(items.empty());
}

// The gauge's quadratic laws R = R0 + a T + b T^2 solved the textbook way;
// the decoder's constants must agree with them.
double temperatureOf(double r, double r0, double a, double b)
{
    return (-a + std::sqrt(a * a + 4.0 * b * (r - r0))) / (2.0 * b);
}

double expectedPressure(unsigned uRef, unsigned u)
{
    const double vRef = uRef * 7.629e-05 / 8.071 + 0.95;
    const double tRef = temperatureOf(7500.0 * vRef / (2.7001 - vRef), 1376.35, 3.76966, 0.11682 / 2);
    const double v = u * 7.629e-05 / 8.041 + vRef;
    const double r = 7500.0 * v / (2.7001 - v);
    const double t = temperatureOf(r, 1364.47, 4.52503, 0.1157 / 2);
    const double dT = t - tRef;
    const double radiated = (std::pow(t, 4.0) - std::pow(tRef, 4.0)) * 4.52350332e-15;
    return (v * v / r - (dT * 7.46e-07 + radiated)) / (std::pow(tRef, -0.5) * 0.004616294391145 * dT) * 1000.0;
}

TEST_F(KorSeb, PiraniConstantsInvertTheirQuadraticLaws)
{
    EXPECT_NEAR(3.76966 * 3.76966, 14.2103365156, 1e-9);
    EXPECT_NEAR(4.52503 * 4.52503, 20.4758965009, 1e-9);
    for (const double t : {0.0, 25.0, 60.0}) {
        const double rRef = 1376.35 + 3.76966 * t + 0.05841 * t * t;
        EXPECT_NEAR(temperatureOf(rRef, 1376.35, 3.76966, 0.05841), t, 1e-9);
        const double r = 1364.47 + 4.52503 * t + 0.05785 * t * t;
        EXPECT_NEAR(temperatureOf(r, 1364.47, 4.52503, 0.05785), t, 1e-9);
    }
}

TEST_F(KorSeb, PiraniAlgorithmWalksUpToHundredSensorFields)
{
    ASSERT_TRUE(defs->generated);
    const MicroPiraniAlgorithmDecoder decoder;
    const DbRow row = makeRow(501, 225, {7, 2, 0xFFFF, 0});
    const unsigned uRef = 20000;
    // Fields at 7, 15, ..., 111 (fourteen 8 apart), then 4 apart: 119, 123, ...
    std::vector<size_t> positions;
    for (size_t o = 7, k = 0; k < 100; ++k, o += k <= 14 ? 8 : 4)
        positions.push_back(o);
    ASSERT_EQ(positions[13], 111u);
    ASSERT_EQ(positions[14], 119u);
    ASSERT_EQ(positions[15], 123u);
    struct Case
    {
        size_t n;
        size_t items;
    };
    for (const Case c : {Case{600, 100}, Case{461, 100}, Case{460, 99}, Case{130, 17}, Case{8, 0},
                         Case{83, 10}, Case{82, 0}}) {
        SCOPED_TRACE(c.n);
        std::vector<uint8_t> d(std::max<size_t>(c.n, 600), 0);
        std::vector<unsigned> us;
        for (size_t k = 0; k < positions.size(); ++k) {
            us.push_back(unsigned(500 + 97 * k));
            d[positions[k]] = uint8_t(us.back()); // u is little-endian
            d[positions[k] + 1] = uint8_t(us.back() >> 8);
        }
        d[81] = uint8_t(uRef);
        d[82] = uint8_t(uRef >> 8);
        d.resize(c.n);
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(decoder.decode(row, packet(d).get(), items, nullptr));
        EXPECT_EQ(out.text(), ""); // it stops silently
        ASSERT_EQ(items.size(), c.items);
        for (size_t k = 0; k < items.size(); ++k) {
            const double want = expectedPressure(uRef, us[k]);
            const double got = std::get<double>(items[k].value);
            EXPECT_NEAR(got, want, 1e-8 * std::max(1.0, std::fabs(want))) << k;
            EXPECT_NEAR(items[k].unixTime, 0.01 * double(k), 1e-12) << k;
            EXPECT_EQ(items[k].offset, -1);
            EXPECT_EQ(items[k].count, -1);
        }
        if (c.items == 100) {
            EXPECT_NEAR(items.back().unixTime, 0.99, 1e-12);
        }
    }
}

TEST_F(KorSeb, SebAdcChannelsAndTheirTimes)
{
    ASSERT_TRUE(defs->generated);
    const SebAdcValueDecoder decoder;
    std::vector<uint8_t> d(201, 0xEE);
    d[200] = 10; // 10 ms between records
    for (unsigned k = 0; k < 31; ++k) {
        d[6 + 3 * k] = k == 0 || k == 30 ? 0x42 : uint8_t(k);
        putBe16(d, 7 + 3 * k, 0x1000 + k);
    }
    struct Case
    {
        uint64_t id;
        size_t n;
        std::vector<Expect> items;
        std::vector<int> offsets;
    };
    const std::vector<Case> cases = {
        {0x42, 201, {{0x1000, -0.31}, {0x101E, -0.01}}, {15, 105}},
        {5, 201, {{0x1005, -0.26}}, {30}},
        {0x42 + 0x100, 201, {}, {}}, // above a byte: matches nothing
        {0x42, 200, {}, {}},         // the period byte lies past N
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const DbRow row = makeRow(502, 224, {c.id, 2, 0xFFFF, 0});
        GseLib::DataItems items;
        EXPECT_TRUE(decoder.decode(row, packet(d, c.n).get(), items, nullptr));
        ASSERT_EQ(items.size(), c.items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(std::get<double>(items[i].value), c.items[i].value);
            EXPECT_NEAR(items[i].unixTime, c.items[i].time, 1e-12);
            EXPECT_EQ(items[i].offset, c.offsets[i]);
            EXPECT_EQ(items[i].count, 2);
        }
    }
}

TEST_F(KorSeb, SebRfFrequencyFromTwoRowsFields)
{
    ASSERT_TRUE(defs->generated);
    GseLib::TelemetryDatabase* db = GseLib::DataInterpretation::current()->db();
    db->addRow(makeRow(610, 2, {4, 2, 0xFFFF, 0}));  // a, big-endian at D[4..5]
    db->addRow(makeRow(611, 2, {8, 4, 0xFFFFFF, 0})); // b, masked
    db->addRow(makeRow(612, 2, {30, 2, 0xFFFF, 0})); // past N
    db->addRow(makeRow(613, 2, {4, (1ull << 32) + 2, 0xFFFF, 0})); // reads 2 bytes, but never fits
    const SebRfFreqDecoder decoder;
    struct Case
    {
        const char* name;
        unsigned a;
        uint32_t b;
        uint64_t rowA, rowB;
        std::vector<double> values;
    };
    const std::vector<Case> cases = {
        {"a 1000 b 2000", 1000, 2000, 610, 611, {10000.0}},
        {"mask applies", 4, 0x7F000003, 610, 611, {3750.0}},
        {"a zero", 0, 2000, 610, 611, {}},
        {"a past the data", 1000, 2000, 612, 611, {}},
        {"b past the data", 1000, 2000, 610, 612, {}},
        {"a longer than 32 bits", 1000, 2000, 613, 611, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> d(12, 0);
        putBe16(d, 4, c.a);
        putBe32(d, 8, c.b);
        GseLib::DataItems items;
        EXPECT_TRUE(decoder.decode(makeRow(503, 226, {c.rowA, c.rowB, 0, 0}), packet(d).get(), items, nullptr));
        ASSERT_EQ(items.size(), c.values.size());
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(std::get<double>(items[i].value), c.values[i]);
            EXPECT_EQ(items[i].offset, -1);
        }
    }
    GseLib::DataItems items;
    const auto p = packet(std::vector<uint8_t>(12, 1));
    EXPECT_THROW(decoder.decode(makeRow(503, 226, {610, 999999, 0, 0}), p.get(), items, nullptr), std::out_of_range);
}

// Appends, for its row, the items a test put in LISTS.
std::map<uint32_t, GseLib::DataItems> LISTS;
constexpr unsigned LIST_TYPE = 421;

struct ListDecoder : GseLib::Decoder
{
    int type() const override { return LIST_TYPE; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket*, GseLib::DataItems& items,
                const GseLib::CurrentValueTable*) const override
    {
        const auto& list = LISTS[row.dataId];
        items.insert(items.end(), list.begin(), list.end());
        return !list.empty();
    }
};

GseLib::DataItem listItem(std::variant<double, long long, unsigned long long, std::string> v, double t)
{
    GseLib::DataItem item;
    item.value = std::move(v);
    item.unixTime = t;
    item.relativeTime = t + 1000.0;
    item.offset = 20;
    item.count = 2;
    return item;
}

TEST_F(KorSeb, PairingOfTwoRowsByListLengths)
{
    ASSERT_TRUE(defs->generated);
    GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    hub->addDecoder(new ListDecoder);
    hub->db()->addRow(makeRow(620, LIST_TYPE, {}));
    hub->db()->addRow(makeRow(621, LIST_TYPE, {}));
    DbRow otherType = makeRow(622, LIST_TYPE, {});
    otherType.packetType = PACKET_TYPE + 1;
    hub->db()->addRow(otherType);
    LISTS[622] = {listItem(1.0, 0)};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case
    {
        const char* name;
        GseLib::DataItems a, b;
        uint64_t rowB;
        std::vector<Expect> resistance; // value, unix time
        std::vector<Expect> pressure;
    };
    const std::vector<Case> cases = {
        {"equal lengths", {listItem(6.0, 1), listItem(8.0, 2)}, {listItem(2.0, 5), listItem(4.0, 6)}, 621,
         {{3.0, 1}, {2.0, 2}}, {{6.0 * 293.0 / 275.15, 1}, {8.0 * 293.0 / 277.15, 2}}},
        {"more of a", {listItem(3.0, 1), listItem(6.0, 2), listItem(9.0, 3)}, {listItem(3.0, 7)}, 621,
         {{1.0, 1}, {2.0, 2}, {3.0, 3}}, {{3.0 * 293.0 / 276.15, 1}, {6.0 * 293.0 / 276.15, 2}, {9.0 * 293.0 / 276.15, 3}}},
        {"more of b", {listItem(12.0, 1)}, {listItem(2.0, 4), listItem(3.0, 5), listItem(4.0, 6)}, 621,
         {{6.0, 4}, {4.0, 5}, {3.0, 6}}, {{12.0 * 293.0 / 275.15, 4}, {12.0 * 293.0 / 276.15, 5}, {12.0 * 293.0 / 277.15, 6}}},
        {"a longer than b by one", {listItem(4.0, 1), listItem(8.0, 2), listItem(2.0, 3)},
         {listItem(2.0, 7), listItem(1.0, 8)}, 621, {{2.0, 1}, {4.0, 2}, {1.0, 3}},
         {{4.0 * 293.0 / 275.15, 1}, {8.0 * 293.0 / 275.15, 2}, {2.0 * 293.0 / 275.15, 3}}},
        {"zero b skipped, NaN b kept", {listItem(5.0, 1), listItem(5.0, 2)}, {listItem(0.0, 5), listItem(nan, 6)}, 621,
         {{nan, 2}}, {{5.0 * 293.0 / 273.15, 1}, {nan, 2}}},
        {"integers and text", {listItem(7LL, 1), listItem(std::string("4.5 mbar"), 2)},
         {listItem(2ULL, 5), listItem(std::string("x"), 6)}, 621, {{3.5, 1}},
         {{7.0 * 293.0 / 275.15, 1}, {4.5 * 293.0 / 273.15, 2}}},
        {"every pair skipped", {listItem(5.0, 1)}, {listItem(0.0, 5)}, 621, {}, {{5.0 * 293.0 / 273.15, 1}}},
        {"19.85 C leaves a", {listItem(1e-6, 1)}, {listItem(19.85, 5)}, 621, {{1e-6 / 19.85, 1}}, {{1e-6, 1}}},
        {"a empty", {}, {listItem(1.0, 5)}, 621, {}, {}},
        {"b empty", {listItem(1.0, 1)}, {}, 621, {}, {}},
        {"b of another packet type", {listItem(1.0, 1)}, {listItem(1.0, 5)}, 622, {}, {}},
    };
    const SebFilamentResistance resistance;
    const NormalizedRfPressure pressure;
    const auto p = packet(std::vector<uint8_t>(4, 0));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LISTS[620] = c.a;
        LISTS[621] = c.b;
        const DbRow row = makeRow(504, 236, {620, c.rowB, 0, 0});
        const auto check = [&](const GseLib::Decoder& d, const std::vector<Expect>& want, const char* which) {
            GseLib::DataItems items(2); // earlier items stay and do not count as success
            EXPECT_EQ(d.decode(row, p.get(), items, nullptr), !want.empty()) << which;
            ASSERT_EQ(items.size(), 2 + want.size()) << which;
            for (size_t i = 0; i < want.size(); ++i) {
                const GseLib::DataItem& it = items[2 + i];
                const double v = std::get<double>(it.value);
                if (std::isnan(want[i].value))
                    EXPECT_TRUE(std::isnan(v)) << which << i;
                else
                    EXPECT_DOUBLE_EQ(v, want[i].value) << which << i;
                EXPECT_EQ(it.unixTime, want[i].time) << which << i;
                EXPECT_EQ(it.relativeTime, want[i].time + 1000.0) << which << i;
                EXPECT_EQ(it.offset, -1);
                EXPECT_EQ(it.count, -1);
            }
        };
        check(resistance, c.resistance, "resistance");
        check(pressure, c.pressure, "pressure");
    }
    GseLib::DataItems items;
    EXPECT_THROW(resistance.decode(makeRow(504, 236, {620, 999998, 0, 0}), p.get(), items, nullptr), std::out_of_range);
}

TEST_F(KorSeb, RowsNamingThemselvesOrEachOtherEndAtTheNestingBound)
{
    ASSERT_TRUE(defs->generated);
    GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    hub->db()->addRow(makeRow(630, 236, {630, 630, 0, 0})); // itself
    hub->db()->addRow(makeRow(631, 241, {632, 632, 0, 0})); // each other
    hub->db()->addRow(makeRow(632, 236, {631, 631, 0, 0}));
    const auto p = packet(std::vector<uint8_t>(4, 0));
    for (const uint32_t id : {630u, 631u, 632u}) {
        SCOPED_TRACE(id);
        TestSupport::LogCapture log;
        GseLib::DataItems items;
        EXPECT_FALSE(hub->decodePacket(int(id), p.get(), items, true, nullptr));
        EXPECT_TRUE(items.empty());
        EXPECT_TRUE(log.contains("Decode nesting deeper than 16 at ID: ", "decode", WARN));
    }
}

// Every decoder of the family over every truncation of a full packet: never a
// read past the data (the sanitizer build checks), never more than fits.
TEST_F(KorSeb, EveryTruncationStaysInsideThePacket)
{
    ASSERT_TRUE(defs->generated);
    GseLib::TelemetryDatabase* db = GseLib::DataInterpretation::current()->db();
    db->addRow(makeRow(640, 2, {190, 2, 0xFFFF, 0}));
    db->addRow(makeRow(641, 2, {250, 4, ~0ull, 0}));
    std::vector<uint8_t> d(520);
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = uint8_t(i * 37 + 11);
    putBe16(d, 0, 40);
    d[6 + 3 * 4] = 9;
    d[6 + 3 * 30] = 9;
    const MicroPiraniPressureDecoder raw;
    const MicroPiraniPressureAvgDecoder mean;
    const MicroPiraniPressureHiDecoder high;
    const MicroPiraniPressureLoDecoder low;
    const SebAdcValueDecoder adc;
    const MicroPiraniAlgorithmDecoder algorithm;
    const SebRfFreqDecoder rf;
    const DbRow piraniRow = makeRow(505, 220, {6, 4, 0xFFFFFFFF, 0});
    const DbRow adcRow = makeRow(506, 224, {9, 2, 0xFFFF, 0});
    const DbRow algoRow = makeRow(507, 225, {7, 2, 0xFFFF, 0});
    const DbRow rfRow = makeRow(508, 226, {640, 641, 0, 0});
    TestSupport::StreamCapture out(std::cout);
    for (size_t n = 0; n <= d.size(); ++n) {
        SCOPED_TRACE(n);
        const auto p = packet(d, n);
        GseLib::DataItems items;
        EXPECT_TRUE(raw.decode(piraniRow, p.get(), items, nullptr));
        const size_t records = n < 4 ? 0 : std::min<size_t>(40, (n - 4) / 12);
        EXPECT_EQ(items.size(), records);
        for (const GseLib::Decoder* s : std::initializer_list<const GseLib::Decoder*>{&mean, &high, &low}) {
            GseLib::DataItems one;
            EXPECT_TRUE(s->decode(piraniRow, p.get(), one, nullptr));
            EXPECT_EQ(one.size(), 1u);
        }
        items.clear();
        EXPECT_TRUE(adc.decode(adcRow, p.get(), items, nullptr));
        EXPECT_EQ(items.size(), n > 200 ? 2u : 0u);
        items.clear();
        EXPECT_TRUE(algorithm.decode(algoRow, p.get(), items, nullptr));
        size_t fields = 0;
        if (n >= 83)
            for (size_t o = 7, k = 0; k < 100 && o + 2 <= n; ++k, o += k <= 14 ? 8 : 4)
                ++fields;
        EXPECT_EQ(items.size(), fields);
        items.clear();
        EXPECT_TRUE(rf.decode(rfRow, p.get(), items, nullptr));
        EXPECT_LE(items.size(), n >= 254 ? 1u : 0u);
    }
    // The raw decoder's walk never overruns with this layout; nothing else prints.
    EXPECT_EQ(out.text(), "");
}

} // namespace
