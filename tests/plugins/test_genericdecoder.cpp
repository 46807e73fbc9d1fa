// The generic decoders, called directly as the decode road calls them, and
// their maker as the library's first static plugin.
#include "plugins/genericdecoder/genericdecodermaker.h"
#include "plugins/genericdecoder/numericdecoders.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmclock.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/currentvaluetable.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/timeresolvers.h"
#include "support/countingnew.h"
#include "support/logcapture.h"
#include "tools/util/pluginmanager.h"

#include <QJsonObject>
#include <QPluginLoader>
#include <QRegularExpression>
#include <QStringList>
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using GseLib::DataItem;
using GseLib::DataItems;
using GseLib::TmDatabaseRow;
using Bytes = std::vector<std::uint8_t>;
using Value = std::variant<double, long long, unsigned long long, std::string>;

namespace {

constexpr double PACKET_UNIX = 1000.0;
constexpr double PACKET_RELATIVE = 10.0;

// Every packet answers the same times and counts how often it was asked.
class FixedResolver : public GseLib::BasicTimeResolver
{
public:
    FixedResolver() : BasicTimeResolver(false) {}
    double unixTime(const GseLib::TMPacket*) const override
    {
        ++asked;
        return PACKET_UNIX;
    }
    double unixTime(const GseLib::TMPacket*, long long) const override { return PACKET_UNIX; }
    double relativeTime(const GseLib::TMPacket*) const override { return PACKET_RELATIVE; }
    using BasicTimeResolver::relativeTime;

    mutable int asked = 0;
};

// A row laid out as the row update lays it out: shifts from the ranks, the
// mask's bit count, four decode parameters.
TmDatabaseRow makeRow(int decodeType, std::vector<std::uint32_t> offsets, std::vector<std::uint32_t> ranks,
                      unsigned long long id3 = 0, unsigned long long id4 = 0)
{
    TmDatabaseRow row;
    row.dataId = 77;
    row.decodeType = std::uint32_t(decodeType);
    row.offsets = std::move(offsets);
    row.decodeIds = {row.offsets.empty() ? 0 : row.offsets.front(), ranks.size(), id3, id4};
    for (std::uint32_t r : ranks)
        row.shifts.push_back(8u * r - 8u);
    row.byteOrder = std::move(ranks);
    row.bitCount = std::uint32_t(std::popcount(id3));
    return row;
}

// Big-endian ranks n, n - 1, ..., 1, as a whole-number DECODE_ID2 gives.
std::vector<std::uint32_t> bigEndian(std::uint32_t n)
{
    std::vector<std::uint32_t> ranks;
    for (std::uint32_t r = n; r >= 1; --r)
        ranks.push_back(r);
    return ranks;
}

std::unique_ptr<GseLib::Decoder> decoderOf(int type)
{
    GenericDecoderMaker maker;
    std::unique_ptr<GseLib::Decoder> found;
    for (GseLib::Decoder* d : maker.makeDecoders()) {
        if (d->type() == type && !found)
            found.reset(d);
        else
            delete d;
    }
    return found;
}

class GenericDecoderTest : public ::testing::Test
{
protected:
    std::shared_ptr<GseLib::CcsdsPacket> packet(const Bytes& bytes)
    {
        return std::make_shared<GseLib::CcsdsPacket>(bytes.data(), int(bytes.size()), 0, &resolver);
    }

    // Decodes with the decoder of the row's type into a fresh list.
    bool decode(const TmDatabaseRow& row, const Bytes& bytes, DataItems& items)
    {
        const auto d = decoderOf(int(row.decodeType));
        EXPECT_TRUE(d) << row.decodeType;
        const auto p = packet(bytes);
        return d && d->decode(row, p.get(), items, nullptr);
    }

    FixedResolver resolver;
};

// ---- the maker --------------------------------------------------------------

// The name each generic decoder gives, by its decode type.
const std::map<int, const char*> NAMES = {
    {1, "simple"},        {2, "simple_le"},     {3, "unsigned_int"},  {4, "twos_comp"},     {5, "ieee754_float"},
    {6, "ieee754_double"}, {7, "string"},       {8, "TIME40"},        {9, "TIME42"},        {10, "TIME44"},
    {12, "TIME12"},       {14, "TIME41"},       {21, "TIMENS"},       {28, "RTIME40"},      {51, "history_max"},
    {52, "history_avg"},  {53, "history_min"},  {54, "history_rate"}, {55, "history_sum"},
    {56, "history_sum_of_squares"},             {61, "bytes"},
};

TEST(GenericDecoderMaker, MakesItsDecodersInTableOrder)
{
    GenericDecoderMaker maker;
    const std::vector<GseLib::Decoder*> first = maker.makeDecoders();
    const std::vector<GseLib::Decoder*> second = maker.makeDecoders();
    ASSERT_EQ(first.size(), std::size(GenericDecoderMaker::ORDER));
    ASSERT_EQ(first.size(), NAMES.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i]->type(), GenericDecoderMaker::ORDER[i]) << i;
        ASSERT_EQ(NAMES.count(first[i]->type()), 1u) << i;
        EXPECT_EQ(first[i]->name(), QString::fromLatin1(NAMES.at(first[i]->type()))) << i;
        EXPECT_EQ(first[i]->dataInterp, nullptr) << i;
        EXPECT_NE(first[i], second[i]) << "each call makes new decoders";
    }
    EXPECT_NE(dynamic_cast<UnsignedDecoder*>(first[0]), nullptr) << "simple is an unsigned decoder";
    for (GseLib::Decoder* d : first)
        delete d;
    for (GseLib::Decoder* d : second)
        delete d;
}

TEST(GenericDecoderMaker, IsTheFirstStaticPluginOfTheLibrary)
{
    int decoderAt = -1;
    int transferAt = -1;
    const QList<QStaticPlugin> plugins = QPluginLoader::staticPlugins();
    for (int i = 0; i < plugins.size(); ++i) {
        const QJsonObject meta = plugins[i].metaData();
        const QString name = meta.value("className").toString();
        if (name == "GenericTransferFuncMaker")
            transferAt = i;
        if (name != "GenericDecoderMaker")
            continue;
        ASSERT_EQ(decoderAt, -1) << "registered once";
        decoderAt = i;
        EXPECT_EQ(meta.value("IID").toString(), DecoderMakerInterface_iid);
        EXPECT_EQ(meta.value("MetaData").toObject(), QJsonObject({{"version", "1.0.0"}}));
        QObject* o = plugins[i].instance();
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o, plugins[i].instance());
        EXPECT_NE(o->qt_metacast("GenericDecoderMaker"), nullptr);
        EXPECT_NE(o->qt_metacast("DecoderMakerInterface"), nullptr);
        EXPECT_NE(o->qt_metacast(DecoderMakerInterface_iid), nullptr);
        EXPECT_EQ(o->qt_metacast("TransferFuncMakerInterface"), nullptr);
        EXPECT_NE(qobject_cast<DecoderMakerInterface*>(o), nullptr);
    }
    ASSERT_GE(decoderAt, 0);
    EXPECT_LT(decoderAt, transferAt);
}

TEST(GenericDecoderMaker, HubFilesEveryDecoderUnderItsType)
{
    GseLib::DataInterpretation hub;
    GenericDecoderMaker maker;
    for (GseLib::Decoder* d : maker.makeDecoders())
        hub.addDecoder(d);
    for (const auto& [type, name] : NAMES) {
        EXPECT_EQ(hub.decoderName(type), QString::fromLatin1(name));
        EXPECT_EQ(hub.decoderTable()[std::size_t(type)]->dataInterp, &hub);
    }
}

// ---- integers and IEEE-754 values ----------------------------------------------

struct NumberCase
{
    const char* what;
    TmDatabaseRow row;
    Bytes bytes;
    std::vector<Value> values; // one per item, in order
    std::vector<std::int32_t> offsets;
};

std::vector<NumberCase> numberCases()
{
    const unsigned long long ALL = ~0ull;
    TmDatabaseRow le2 = makeRow(2, {}, {});
    le2.decodeIds = {1, 2, 0xFFFF, 0};
    TmDatabaseRow le2mask0 = le2;
    le2mask0.decodeIds[2] = 0;
    TmDatabaseRow le2left = le2;
    le2left.decodeIds[3] = static_cast<unsigned long long>(-4LL);
    TmDatabaseRow le2shift64 = le2;
    le2shift64.decodeIds[3] = 64;
    TmDatabaseRow le2left64 = le2;
    le2left64.decodeIds[3] = static_cast<unsigned long long>(-64LL);
    TmDatabaseRow le10 = makeRow(2, {}, {});
    le10.decodeIds = {0, 10, ALL, 0};
    TmDatabaseRow signed64 = makeRow(4, {0}, bigEndian(8), ALL);
    TmDatabaseRow noSign = makeRow(4, {0}, bigEndian(2), 0);
    return {
        {"mask then shift", makeRow(3, {1}, bigEndian(2), 0x0FF0, 4), {0, 0x12, 0x34}, {0x23ull}, {1}},
        {"simple as unsigned", makeRow(1, {1}, bigEndian(2), 0x0FF0, 4), {0, 0x12, 0x34}, {0x23ull}, {1}},
        {"mask 0 keeps all (3)", makeRow(3, {0}, bigEndian(2)), {0x12, 0x34}, {0x1234ull}, {0}},
        {"mask 0 keeps all (1)", makeRow(1, {0}, bigEndian(2)), {0x12, 0x34}, {0x1234ull}, {0}},
        {"mask 0 keeps all (4)", noSign, {0xFF, 0xFF}, {65535LL}, {0}},
        {"little-endian ranks", makeRow(3, {0}, {1, 2, 3, 4}), {0x78, 0x56, 0x34, 0x12}, {0x12345678ull}, {0}},
        {"twos negative", makeRow(4, {0}, bigEndian(2), 0x0FFF), {0x08, 0x00}, {-2048LL}, {0}},
        {"twos positive", makeRow(4, {0}, bigEndian(2), 0x0FFF), {0x07, 0xFF}, {2047LL}, {0}},
        {"twos of 64 bits", signed64, Bytes(8, 0xFF), {-1LL}, {0}},
        {"shift 63", makeRow(3, {0}, bigEndian(8), 0, 63), {0x80, 0, 0, 0, 0, 0, 0, 0}, {1ull}, {0}},
        {"shift 64 gives 0", makeRow(3, {0}, bigEndian(8), 0, 64), Bytes(8, 0xFF), {0ull}, {0}},
        {"shift 2^40 gives 0", makeRow(4, {0}, bigEndian(2), 0, 1ull << 40), Bytes(2, 0xFF), {0LL}, {0}},
        {"array, last sample past the end", makeRow(3, {0, 2, 4}, bigEndian(2)), {0, 1, 0, 2, 0},
         {1ull, 2ull}, {0, 2}},
        {"no offsets", makeRow(3, {}, bigEndian(2)), {1, 2}, {}, {}},
        {"rank 0", makeRow(3, {0}, {0, 1}), {1, 2}, {}, {}},
        {"rank 9", makeRow(1, {0}, {9, 1}), {1, 2}, {}, {}},
        {"rank 255", makeRow(4, {0}, {255}), {1, 2}, {}, {}},
        {"float rank 5", makeRow(5, {0}, {5, 3, 2, 1}), {1, 2, 3, 4}, {}, {}},
        {"double rank 9", makeRow(6, {0}, {9, 7, 6, 5, 4, 3, 2, 1}), Bytes(8, 0), {}, {}},
        {"offset near 2^32", makeRow(3, {0xFFFFFFFFu, 0xFFFFFFFEu}, bigEndian(2)), {1, 2}, {}, {}},
        {"le", le2, {9, 0x34, 0x12}, {0x1234ull}, {1}},
        {"le mask 0 gives 0", le2mask0, {9, 0x34, 0x12}, {0ull}, {1}},
        {"le negative shift", le2left, {9, 0x34, 0x12}, {0x12340ull}, {1}},
        {"le shift 64 gives 0", le2shift64, {9, 0x34, 0x12}, {0ull}, {1}},
        {"le shift -64 gives 0", le2left64, {9, 0x34, 0x12}, {0ull}, {1}},
        {"le ten bytes: lowest eight", le10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {0x0807060504030201ull}, {0}},
    };
}

TEST_F(GenericDecoderTest, NumbersDecodeAsTheirTable)
{
    for (const NumberCase& c : numberCases()) {
        DataItems items;
        const bool ok = decode(c.row, c.bytes, items);
        EXPECT_EQ(ok, !c.values.empty()) << c.what;
        ASSERT_EQ(items.size(), c.values.size()) << c.what;
        for (std::size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i].value, c.values[i]) << c.what << " item " << i;
            EXPECT_EQ(items[i].offset, c.offsets[i]) << c.what;
            const std::int32_t count =
                c.row.decodeType == 2 ? std::int32_t(c.row.decodeIds[1]) : std::int32_t(c.row.byteOrder.size());
            EXPECT_EQ(items[i].count, count) << c.what;
        }
    }
}

TEST_F(GenericDecoderTest, LittleEndianFieldIsCheckedInSixtyFourBits)
{
    // Offsets that wrap a sum, or that lose their top bits in 32, must not read.
    const unsigned long long cases[][2] = {
        {~0ull, 2}, {~0ull - 1, 3}, {(1ull << 32) + 1, 2}, {1, (1ull << 32) + 1}, {0, ~0ull}, {3, 1}, {2, 2},
    };
    for (const auto& c : cases) {
        TmDatabaseRow row = makeRow(2, {}, {});
        row.decodeIds = {c[0], c[1], ~0ull, 0};
        DataItems items;
        EXPECT_FALSE(decode(row, {1, 2, 3}, items)) << c[0] << " " << c[1];
        EXPECT_TRUE(items.empty());
    }
}

TEST_F(GenericDecoderTest, SamplesTakeThePacketTimesOncePlusTheirOffsets)
{
    TmDatabaseRow row = makeRow(3, {0, 1, 2}, bigEndian(1));
    row.timeOffsets = {0.0, 0.5, 1.5};
    DataItems items{DataItem{}};
    ASSERT_TRUE(decode(row, {1, 2, 3}, items));
    ASSERT_EQ(items.size(), 4u) << "appended, never cleared";
    EXPECT_EQ(resolver.asked, 1);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(items[i].unixTime, PACKET_UNIX + row.timeOffsets[i - 1]);
        EXPECT_DOUBLE_EQ(items[i].relativeTime, PACKET_RELATIVE + row.timeOffsets[i - 1]);
    }
    DataItems old{DataItem{}};
    EXPECT_TRUE(decode(makeRow(3, {}, bigEndian(1)), {1}, old)) << "no sample, but the list held one";
}

// IEEE-754's published encodings, read in both byte orders.
struct Ieee
{
    const char* what;
    std::uint64_t bits;
    double value; // NaN: any quiet NaN
};

const Ieee SINGLES[] = {
    {"+0", 0x00000000, 0.0},
    {"-0", 0x80000000, -0.0},
    {"1", 0x3F800000, 1.0},
    {"-2", 0xC0000000, -2.0},
    {"+inf", 0x7F800000, HUGE_VAL},
    {"-inf", 0xFF800000, -HUGE_VAL},
    {"qNaN", 0x7FC00000, NAN},
    {"smallest subnormal", 0x00000001, 0x1p-149},
    {"largest finite", 0x7F7FFFFF, 0x1.fffffep127},
};

const Ieee DOUBLES[] = {
    {"+0", 0x0000000000000000, 0.0},
    {"-0", 0x8000000000000000, -0.0},
    {"1", 0x3FF0000000000000, 1.0},
    {"-2", 0xC000000000000000, -2.0},
    {"+inf", 0x7FF0000000000000, HUGE_VAL},
    {"-inf", 0xFFF0000000000000, -HUGE_VAL},
    {"qNaN", 0x7FF8000000000000, NAN},
    {"smallest subnormal", 0x0000000000000001, 0x1p-1074},
    {"largest finite", 0x7FEFFFFFFFFFFFFF, 0x1.fffffffffffffp1023},
};

TEST_F(GenericDecoderTest, IeeeValuesMatchTheirPublishedBitPatterns)
{
    for (int width : {4, 8}) {
        const auto& table = width == 4 ? SINGLES : DOUBLES;
        for (const Ieee& c : table) {
            for (bool little : {false, true}) {
                // Two bytes before the field, so offsets are exercised too.
                Bytes bytes{0xAA, 0xBB};
                std::vector<std::uint32_t> ranks;
                for (int k = 0; k < width; ++k) {
                    const int rank = little ? k + 1 : width - k;
                    ranks.push_back(std::uint32_t(rank));
                    bytes.push_back(std::uint8_t(c.bits >> (8 * (rank - 1))));
                }
                DataItems items;
                ASSERT_TRUE(decode(makeRow(width == 4 ? 5 : 6, {2}, ranks), bytes, items)) << c.what;
                ASSERT_EQ(items.size(), 1u);
                ASSERT_EQ(items[0].value.index(), 0u);
                const double got = std::get<double>(items[0].value);
                const std::string label = std::string(c.what) + (little ? " LE " : " BE ") + std::to_string(width);
                if (std::isnan(c.value)) {
                    EXPECT_TRUE(std::isnan(got)) << label;
                } else {
                    EXPECT_EQ(got, c.value) << label;
                    EXPECT_EQ(std::signbit(got), std::signbit(c.value)) << label;
                }
                EXPECT_EQ(items[0].count, width);
                EXPECT_EQ(items[0].offset, 2);
            }
        }
    }
}

// ---- text and bytes ---------------------------------------------------------------

TEST_F(GenericDecoderTest, TextReadsByRanksOrToTheReservedTail)
{
    struct Case
    {
        const char* what;
        TmDatabaseRow row;
        Bytes bytes;
        std::string text;
    };
    TmDatabaseRow tail2 = makeRow(7, {2}, {});
    tail2.decodeIds[1] = 2;
    TmDatabaseRow tailPast = makeRow(7, {2}, {});
    tailPast.decodeIds[1] = 8; // reaches back past the offset: empty text
    TmDatabaseRow tailHuge = makeRow(7, {2}, {});
    tailHuge.decodeIds[1] = ~0ull;
    const Case cases[] = {
        {"ranks stop at NUL", makeRow(7, {0}, {1, 2, 3, 4}), {'A', 'B', 0, 'C'}, "AB"},
        {"ranks reverse", makeRow(7, {0}, {4, 3, 2, 1}), {'A', 'B', 'C', 'D'}, "DCBA"},
        {"ranks from an offset", makeRow(7, {1}, {1, 2}), {'x', 'O', 'K'}, "OK"},
        {"rank 0 after the first byte", makeRow(7, {1}, {0}), {'Z', 'q'}, "Z"},
        {"tail reserved", tail2, {'x', 'x', 'H', 'I', '!', 'c', 'c'}, "HI!"},
        {"tail stops at NUL", tail2, {'x', 'x', 'H', 0, '!', 'c', 'c'}, "H"},
        {"tail past the offset", tailPast, {'x', 'x', 'H', 'I'}, ""},
        {"tail of -1 up to a NUL", tailHuge, {'x', 'x', 'H', 'I', 0}, "HI"},
        {"offset at the end", makeRow(7, {4}, {}), {'x', 'x', 'H', 'I'}, ""},
    };
    for (const Case& c : cases) {
        DataItems items;
        ASSERT_TRUE(decode(c.row, c.bytes, items)) << c.what;
        ASSERT_EQ(items.size(), 1u) << c.what;
        EXPECT_EQ(items[0].value, Value(c.text)) << c.what;
        EXPECT_EQ(items[0].count, std::int32_t(c.text.size())) << c.what;
        EXPECT_EQ(items[0].offset, std::int32_t(c.row.offsets[0])) << c.what;
    }
}

TEST_F(GenericDecoderTest, TextRanksOutsideThePacketThrowOutOfRangeWithoutReading)
{
    const TmDatabaseRow cases[] = {
        makeRow(7, {0}, {0}),          // byte -1
        makeRow(7, {0}, {1, 9}),       // past the end
        makeRow(7, {2}, {1, 255}),     // far past the end
        makeRow(7, {0}, {4294967295u}), // the largest rank
    };
    for (const TmDatabaseRow& row : cases) {
        DataItems items;
        EXPECT_THROW(decode(row, {'A', 'B', 'C', 'D'}, items), std::out_of_range) << row.byteOrder.back();
        EXPECT_TRUE(items.empty());
    }
}

TEST_F(GenericDecoderTest, TextLimitIsSignedSoANegativeTailRunsOffThePacket)
{
    // DECODE_ID2 of -1 (all bits set): the limit is one byte past the end, so
    // a text with no NUL before the end meets the first byte outside.
    TmDatabaseRow row = makeRow(7, {2}, {});
    row.decodeIds[1] = ~0ull;
    auto whatOf = [&](const TmDatabaseRow& r, const Bytes& bytes) -> std::string {
        DataItems items;
        try {
            decode(r, bytes, items);
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(items.empty());
            return e.what();
        }
        return "no out_of_range";
    };
    EXPECT_EQ(whatOf(row, {'x', 'x', 'H', 'I'}), "ID 77 text byte 4 (packet of 4 bytes)");
    row.offsets = {0};
    EXPECT_EQ(whatOf(row, {}), "ID 77 text byte 0 (packet of 0 bytes)") << "nothing to search";
}

TEST_F(GenericDecoderTest, TextAndBytesThatDoNotFitDecodeNothing)
{
    TmDatabaseRow noOrderBytes = makeRow(61, {0}, {});
    const TmDatabaseRow cases[] = {
        makeRow(7, {}, {1}),         makeRow(7, {3}, {1, 2}), makeRow(7, {5}, {}), makeRow(7, {0xFFFFFFFFu}, {1}),
        makeRow(61, {}, bigEndian(2)), makeRow(61, {4}, {1}),   noOrderBytes,
    };
    for (const TmDatabaseRow& row : cases) {
        DataItems items;
        EXPECT_FALSE(decode(row, {'A', 'B', 'C', 'D'}, items)) << row.decodeType;
        EXPECT_TRUE(items.empty());
    }
}

TEST_F(GenericDecoderTest, BytesCopyNulsAndStopAtThePacketEnd)
{
    DataItems items;
    TmDatabaseRow row = makeRow(61, {1}, bigEndian(3));
    row.timeOffsets = {2.0};
    ASSERT_TRUE(decode(row, {9, 'a', 0, 'b', 7}, items));
    ASSERT_TRUE(decode(makeRow(61, {3}, bigEndian(40)), {9, 'a', 0, 'b', 7}, items));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].value, Value(std::string("a\0b", 3)));
    EXPECT_EQ(items[0].count, 3);
    EXPECT_DOUBLE_EQ(items[0].unixTime, PACKET_UNIX + 2.0);
    EXPECT_EQ(items[1].value, Value(std::string("b\x07")));
    EXPECT_EQ(items[1].count, 2);
}

// ---- time fields ---------------------------------------------------------------

struct TimeCase
{
    int type;
    Bytes field;
    double count;                 // without a clock
    long long seconds, sub, rate; // what the clock is given
};

const TimeCase TIME_CASES[] = {
    {8, {0, 0, 1, 0}, 256.0, 256, 0, 0},
    {28, {0, 1, 0, 0}, 256.0, 256, 0, 0},
    {14, {0, 0, 0, 0x0A, 0x80}, 10.5, 10, 128, 256},
    {9, {0, 0, 0, 3, 0x40, 0x00}, 3.25, 3, 0x4000, 65536},
    {10, {0, 0, 0, 2, 0, 0x07, 0xA1, 0x20}, 2.5, 2, 500000, 1000000},
    {21, {0, 0, 0, 0, 0x77, 0x35, 0x94, 0x64}, 2.000000100, 2, 100, 1000000000},
    {12, {7, 0xC0, 0x00}, 7.75, 7, 0xC000, 65536},
};

class TimeDecoderTest : public GenericDecoderTest
{
protected:
    void SetUp() override
    {
        clock = std::make_shared<GseLib::TMClock>();
        clock->setEpoch(QStringLiteral("2000-01-01T00:00:00Z"));
        GenericDecoderMaker maker;
        for (GseLib::Decoder* d : maker.makeDecoders())
            hub.addDecoder(d);
    }

    // The packet bytes: a CCSDS header of APID 5, then the field at offset 6.
    static Bytes withHeader(const Bytes& field)
    {
        Bytes b{0x00, 0x05, 0xC0, 0x00, 0x00, 0x00};
        for (std::uint8_t byte : field)
            b.push_back(byte);
        return b;
    }

    bool decodeInHub(const TmDatabaseRow& row, const Bytes& bytes, DataItems& items)
    {
        const auto p = packet(bytes);
        return hub.decoderTable()[row.decodeType]->decode(row, p.get(), items, nullptr);
    }

    void setTimeItem(int id)
    {
        GseLib::TMPacketTypeInfo info;
        info.valid = true;
        info.type = 5;
        info.timeDataId = id;
        hub.packetTypes.insert(5, info);
    }

    GseLib::DataInterpretation hub;
    std::shared_ptr<GseLib::TMClock> clock;
};

TEST_F(TimeDecoderTest, FieldsReadAsCountsOrThroughTheClock)
{
    for (const TimeCase& c : TIME_CASES) {
        TmDatabaseRow row = makeRow(c.type, {6}, {});
        row.timeOffsets = {0.25};
        DataItems items;
        ASSERT_TRUE(decodeInHub(row, withHeader(c.field), items)) << c.type;
        row.clock = clock;
        ASSERT_TRUE(decodeInHub(row, withHeader(c.field), items)) << c.type;
        ASSERT_EQ(items.size(), 2u);
        EXPECT_DOUBLE_EQ(std::get<double>(items[0].value), c.count) << c.type;
        EXPECT_DOUBLE_EQ(std::get<double>(items[1].value), clock->toUnixTime(c.seconds, c.sub, c.rate)) << c.type;
        for (const DataItem& item : items) {
            EXPECT_EQ(item.offset, 6) << c.type;
            EXPECT_EQ(item.count, std::int32_t(c.field.size())) << c.type;
            EXPECT_DOUBLE_EQ(item.unixTime, PACKET_UNIX + 0.25) << "not the type's time item";
            EXPECT_DOUBLE_EQ(item.relativeTime, PACKET_RELATIVE + 0.25);
        }
        Bytes shortField = withHeader(c.field);
        shortField.pop_back();
        EXPECT_FALSE(decodeInHub(row, shortField, items)) << c.type;
        EXPECT_FALSE(decodeInHub(makeRow(c.type, {}, {}), withHeader(c.field), items)) << "no offsets";
        EXPECT_FALSE(decodeInHub(makeRow(c.type, {0xFFFFFFFFu}, {}), withHeader(c.field), items));
        EXPECT_EQ(items.size(), 2u);
    }
}

TEST_F(TimeDecoderTest, TheTypesTimeItemTakesItsOwnTimeWithoutAskingThePacket)
{
    TmDatabaseRow row = makeRow(14, {6}, {});
    row.timeOffsets = {0.5};
    row.clock = clock;
    setTimeItem(77);
    DataItems items;
    ASSERT_TRUE(decodeInHub(row, withHeader({0, 0, 0, 0x0A, 0x80}), items));
    const double converted = clock->toUnixTime(10, 128, 256);
    EXPECT_DOUBLE_EQ(items[0].unixTime, converted + 0.5);
    EXPECT_EQ(items[0].relativeTime, 0.0);
    EXPECT_EQ(resolver.asked, 0);

    // Without a clock, in another type, or under another id: the packet's times.
    row.clock.reset();
    ASSERT_TRUE(decodeInHub(row, withHeader({0, 0, 0, 0x0A, 0x80}), items));
    row.clock = clock;
    setTimeItem(78);
    ASSERT_TRUE(decodeInHub(row, withHeader({0, 0, 0, 0x0A, 0x80}), items));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_DOUBLE_EQ(items[1].unixTime, PACKET_UNIX + 0.5);
    EXPECT_DOUBLE_EQ(items[2].unixTime, PACKET_UNIX + 0.5);
}

TEST_F(TimeDecoderTest, NoTimeItemMatchesNoRowNotEvenIdAllOnes)
{
    TmDatabaseRow row = makeRow(8, {6}, {});
    row.dataId = 0xFFFFFFFFu;
    row.clock = clock;
    setTimeItem(-1);
    DataItems items;
    ASSERT_TRUE(decodeInHub(row, withHeader({0, 0, 0, 1}), items));
    EXPECT_DOUBLE_EQ(items[0].relativeTime, PACKET_RELATIVE);

    // A data id of 2^31 or above is a real id: it still matches.
    row.dataId = 0x80000001u;
    setTimeItem(int(0x80000001u));
    ASSERT_TRUE(decodeInHub(row, withHeader({0, 0, 0, 1}), items));
    EXPECT_EQ(items[1].relativeTime, 0.0);
}

// ---- histories -----------------------------------------------------------------

TEST_F(GenericDecoderTest, HistoriesWithoutATableDecodeNothing)
{
    for (int type = 51; type <= 56; ++type) {
        DataItems items;
        EXPECT_FALSE(decode(makeRow(type, {0}, {}), {1, 2}, items)) << type;
        EXPECT_TRUE(items.empty());
    }
}

// A hub whose database holds the rows a test files.
class HubWithRows : public GseLib::DataInterpretation
{
public:
    HubWithRows() { database = std::make_shared<GseLib::TelemetryDatabase>(); }
    void add(std::uint32_t id, std::uint32_t packetType)
    {
        TmDatabaseRow row;
        row.dataId = id;
        row.packetType = packetType;
        row.subSystem = "SYS";
        row.name = "R" + std::to_string(id);
        row.key = row.subSystem + ":" + row.name;
        database->addRow(row);
    }
};

TEST_F(GenericDecoderTest, HistoriesGiveTheStatisticOfTheRowsHistory)
{
    HubWithRows hub;
    hub.add(77, 5); // the statistic rows' data id
    hub.add(78, 5); // the value it keeps
    GseLib::CurrentValueTable cvt(hub);
    ASSERT_TRUE(cvt.trackHistory(77, 78, 10, 0.0));
    for (const auto& [t, v] : {std::pair{1.0, 10.0}, {2.0, 20.0}, {3.0, 30.0}, {4.0, 45.0}})
        cvt.history(77).addValue(t, v);

    // Worked by hand: mean 26.25, deviations -16.25, -6.25, 3.75, 18.75; times
    // 1..4 about 2.5 give Sxx 5 and Sxy 57.5.
    const std::pair<int, double> expected[] = {{51, 45.0},  {52, 26.25}, {53, 10.0},
                                               {54, 11.5},  {55, 105.0}, {56, 668.75}};
    const auto p = packet({0, 5, 0xC0, 0, 0, 0});
    for (const auto& [type, value] : expected) {
        DataItems items;
        const auto d = decoderOf(type);
        ASSERT_TRUE(d->decode(makeRow(type, {3}, {1}), p.get(), items, &cvt)) << type;
        ASSERT_EQ(items.size(), 1u);
        EXPECT_NEAR(std::get<double>(items[0].value), value, 1e-12) << type;
        EXPECT_EQ(items[0].unixTime, PACKET_UNIX);
        EXPECT_EQ(items[0].relativeTime, 0.0);
        EXPECT_EQ(items[0].offset, 0);
        EXPECT_EQ(items[0].count, 0);
    }

    // An untracked id is the table's out_of_range, for the decode road to report.
    TmDatabaseRow untracked = makeRow(51, {}, {});
    untracked.dataId = 78;
    DataItems items;
    try {
        decoderOf(51)->decode(untracked, p.get(), items, &cvt);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "unordered_map::at: key not found");
    }
    EXPECT_TRUE(items.empty());
}

// ---- through the hub --------------------------------------------------------------

// A row as the database reads it from one line of named cells.
TmDatabaseRow parsedRow(const std::vector<std::pair<QString, QString>>& cells)
{
    QList<QString> header = GseLib::TMDB_HDR;
    header << "ARRAY_LENGTH" << "SAMPLE_PERIOD";
    TmDatabaseRow::findHeaderFieldPositions(header);
    QStringList line;
    for (const QString& h : header) {
        QString cell;
        for (const auto& [name, value] : cells)
            if (name == h)
                cell = value;
        line << cell;
    }
    const QString text = line.join('\t');
    TmDatabaseRow row;
    row.update(QStringView(text).split(u'\t'), "", {});
    return row;
}

// The current hub with the generic decoders loaded as a definitions load
// loads them, from the library's static plugins.
class ThroughTheHub : public ::testing::Test
{
protected:
    void SetUp() override
    {
        manager.setClassFilters({QRegularExpression("^GenericDecoderMaker$")});
        manager.loadPlugins(QStringList{});
        GseLib::DataInterpretation::init(nullptr, false, &manager, {});
        hub = GseLib::DataInterpretation::current();
        hub->loadDecoderPlugins(&manager);
    }

    void add(std::uint32_t id, const QString& name, std::vector<std::pair<QString, QString>> cells)
    {
        cells.insert(cells.end(), {{"SUB_SYSTEM", "HK"}, {"NAME", name}, {"DATA_ID", QString::number(id)},
                                   {"PACKET_TYPE", "12"}});
        hub->db()->addRow(parsedRow(cells));
    }

    // APID 12, the given bytes after the 6-byte header.
    std::shared_ptr<GseLib::CcsdsPacket> hk(const Bytes& data, const GseLib::TimeResolver* timing)
    {
        Bytes bytes{0x00, 0x0C, 0xC0, 0x00, 0x00, std::uint8_t(data.size() - 1)};
        for (std::uint8_t b : data)
            bytes.push_back(b);
        return std::make_shared<GseLib::CcsdsPacket>(bytes.data(), int(bytes.size()), 0, timing);
    }

    QObject owner;
    PluginManager manager{&owner};
    GseLib::DataInterpretation* hub = nullptr;
    FixedResolver resolver;
};

TEST_F(ThroughTheHub, DatabaseRowsDecodeByIdAndByName)
{
    add(1, "MASKED", {{"DECODE_TYPE", "3"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "2"}, {"DECODE_ID3", "0x0FF0"},
                      {"DECODE_ID4", "4"}});
    add(2, "SIGNED", {{"DECODE_TYPE", "4"}, {"DECODE_ID1", "8"}, {"DECODE_ID2", "2"}, {"DECODE_ID3", "0x0FFF"}});
    add(3, "ARRAY", {{"DECODE_TYPE", "1"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "2"}, {"ARRAY_LENGTH", "3"}});
    add(4, "LABEL", {{"DECODE_TYPE", "7"}, {"DECODE_ID1", "8"}, {"DECODE_ID2", "1:2"}});
    add(5, "SWAPPED", {{"DECODE_TYPE", "3"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "1:2"}});
    add(6, "LE", {{"DECODE_TYPE", "2"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "2"}, {"DECODE_ID3", "0xFFFF"}});
    const auto p = hk({0x12, 0x34, 0x48, 0x49, 0x00}, &resolver); // 11 bytes: the array's third sample is past

    bool ok = false;
    EXPECT_EQ(hub->getValue(1, p.get(), Gse::Raw, &ok, false, nullptr), 0x23);
    EXPECT_TRUE(ok);
    EXPECT_EQ(hub->getValue("HK:MASKED", p.get(), Gse::Raw, &ok, false, nullptr), 0x23);
    EXPECT_EQ(hub->getValue("HK:SIGNED", p.get(), Gse::Raw, &ok, false, nullptr), -2048 + 0x049);
    EXPECT_EQ(hub->getValue(5, p.get(), Gse::Raw, &ok, false, nullptr), 0x3412);
    EXPECT_EQ(hub->getValue(6, p.get(), Gse::Raw, &ok, false, nullptr), 0x3412);
    EXPECT_EQ(hub->stringValue("HK:LABEL", p.get(), &ok, false, nullptr), "HI");
    DataItems items;
    ASSERT_TRUE(hub->getData(3, p.get(), items, Gse::Raw, false, nullptr));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(std::get<double>(items[1].value), double(0x4849));
    EXPECT_EQ(items[1].offset, 8);
}

TEST_F(ThroughTheHub, BadFieldsAreReportedNeverThrown)
{
    add(7, "PASTEND", {{"DECODE_TYPE", "7"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "1:9"}});
    add(8, "NORANKS", {{"DECODE_TYPE", "3"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "0:1"}});
    add(9, "STAT", {{"DECODE_TYPE", "51"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "1"}});
    const auto p = hk({'A', 'B'}, &resolver);

    TestSupport::LogCapture log;
    bool ok = true;
    EXPECT_EQ(hub->getValue(7, p.get(), Gse::Raw, &ok, false, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.texts("decode", WARN), QStringList{"ID 7 text byte 14 (packet of 8 bytes) not found"});
    log.clear();
    EXPECT_EQ(hub->getValue(8, p.get(), Gse::Raw, &ok, false, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(hub->getValue(9, p.get(), Gse::Raw, &ok, false, nullptr), 0.0) << "no table, no message";
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.texts().isEmpty());

    GseLib::CurrentValueTable cvt(*hub);
    EXPECT_EQ(hub->getValue(9, p.get(), Gse::Raw, &ok, false, &cvt), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.texts("decode", WARN), QStringList{"unordered_map::at: key not found not found"});
}

TEST_F(ThroughTheHub, HistoryStatisticsOfTrackedValues)
{
    add(20, "VOLTS", {{"DECODE_TYPE", "3"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "1"}});
    add(21, "VOLTS_MAX", {{"DECODE_TYPE", "51"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "1"}});
    add(22, "VOLTS_AVG", {{"DECODE_TYPE", "52"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "1"}});
    GseLib::CurrentValueTable cvt(*hub);
    ASSERT_TRUE(cvt.trackHistory(21, 20, 3, 0.0));
    ASSERT_TRUE(cvt.trackHistory(22, 20, 3, 0.0));
    for (std::uint8_t v : {9, 3, 4, 8})
        cvt.update(hk({v}, &resolver));
    // The newest three: 3, 4, 8.
    bool ok = false;
    const auto p = hk({0}, &resolver);
    EXPECT_EQ(hub->getValue(21, p.get(), Gse::Raw, &ok, true, &cvt), 8.0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(hub->getValue("HK:VOLTS_AVG", p.get(), Gse::Raw, &ok, true, &cvt), 5.0);
}

// The hot path: once the hub's lists have grown, a value read of any number
// or time type allocates nothing, and getData only grows the caller's vector.
TEST_F(ThroughTheHub, NumberAndTimeReadsAllocateNothing)
{
    const std::pair<int, QString> types[] = {{1, "2"}, {2, "2"}, {3, "2"}, {4, "2"}, {5, "4"},
                                             {6, "8"}, {8, "4"}, {14, "5"}, {21, "8"}};
    for (const auto& [type, bytes] : types)
        add(std::uint32_t(100 + type), "T" + QString::number(type),
            {{"DECODE_TYPE", QString::number(type)}, {"DECODE_ID1", "6"}, {"DECODE_ID2", bytes}});
    const auto p = hk(Bytes(8, 0x41), &resolver);
    DataItems items;
    items.reserve(64);
    double sum = 0.0;
    bool ok = false;
    for (int round = 0; round < 2; ++round) {
        const long before = allocations.load();
        for (const auto& [type, bytes] : types) {
            sum += hub->getValue(100 + type, p.get(), Gse::Eng, &ok, true, nullptr);
            EXPECT_TRUE(ok) << type;
            EXPECT_TRUE(hub->getData(100 + type, p.get(), items, Gse::Raw, true, nullptr));
        }
        if (round == 1) {
            EXPECT_EQ(allocations.load() - before, 0);
        }
    }
    EXPECT_EQ(items.size(), 2 * std::size(types));
    EXPECT_NE(sum, 0.0);
}

// Under the generic time resolver the packet's time is its type's time item:
// with a clock the item takes its own time, without one the resolver's guard
// ends the cycle, and either way the packet gets the decoded time.
TEST_F(ThroughTheHub, TimeItemTimesItsPacketUnderTheGenericResolver)
{
    add(30, "SCLK", {{"DECODE_TYPE", "14"}, {"DECODE_ID1", "6"}, {"DECODE_ID2", "5"}});
    add(31, "TEMP", {{"DECODE_TYPE", "3"}, {"DECODE_ID1", "11"}, {"DECODE_ID2", "1"}});
    GseLib::TMPacketTypeInfo info;
    info.valid = true;
    info.type = 12;
    info.timeDataId = 30;
    info.timeMnemonic = "SCLK";
    hub->packetTypes.insert(12, info);
    GseLib::GenericTimeResolver timing;
    const auto p = hk({0, 0, 0, 0x0A, 0x80, 7}, &timing);

    for (bool withClock : {false, true}) {
        if (withClock) {
            auto clock = std::make_shared<GseLib::TMClock>();
            clock->setEpoch(QStringLiteral("2000-01-01T00:00:00Z"));
            hub->db()->row(30u).clock = clock;
        }
        const double expected = withClock ? 946684800.0 + 10.5 : 10.5;
        DataItems items;
        ASSERT_TRUE(hub->decodePacket(30, p.get(), items, false, nullptr)) << withClock;
        EXPECT_DOUBLE_EQ(std::get<double>(items[0].value), expected);
        EXPECT_DOUBLE_EQ(p->unixTime(), expected) << withClock;
        ASSERT_TRUE(hub->decodePacket(31, p.get(), items, false, nullptr));
        EXPECT_DOUBLE_EQ(items[1].unixTime, expected) << "other items of the packet carry its time";
    }
}

} // namespace
