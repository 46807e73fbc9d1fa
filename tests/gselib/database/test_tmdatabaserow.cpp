#include "gselib/database/tmdatabaserow.h"

#include "conversion/polytransferfunc.h"
#include "gselib/database/transferfuncfactory.h"
#include "support/logcapture.h"
#include "support/thrown.h"
#include "tools/util/pluginmanager.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <stdexcept>

using GseLib::TmDatabaseRow;
using Row = GseLib::TmDatabaseRow;

namespace {

// The writer's 44 columns and the five it leaves out.
QList<QString> fullHeader()
{
    QList<QString> h = GseLib::TMDB_HDR;
    h << "TARQ_MINE_RAW" << "TARQ_MINE_ENG" << "BUNDLE_ID" << "ARRAY_LENGTH" << "SAMPLE_PERIOD";
    return h;
}

// Builds a line for the current header from column name -> cell.
class Line
{
public:
    explicit Line(const QList<QString>& header) : header_(header) {}
    Line& set(const QString& column, const QString& cell)
    {
        cells_[column] = cell;
        return *this;
    }
    QString text() const
    {
        QStringList out;
        for (const QString& h : header_)
            out << cells_.value(h);
        return out.join('\t');
    }

private:
    QList<QString> header_;
    QMap<QString, QString> cells_;
};

class RowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        header = fullHeader();
        TmDatabaseRow::findHeaderFieldPositions(header);
    }

    Line line() const
    {
        return Line(header)
            .set("SUB_SYSTEM", "SYS")
            .set("NAME", "TEMP")
            .set("DATA_ID", "42")
            .set("PACKET_TYPE", "7")
            .set("DECODE_TYPE", "1")
            .set("DECODE_ID1", "10")
            .set("DECODE_ID2", "2");
    }

    // Keeps the line's text alive while the row reads its views.
    void update(Row& row, const Line& l, const GseLib::TMClockMap& clocks = {})
    {
        text = l.text();
        row.update(QStringView(text).split(u'\t'), "/defs/", clocks);
    }

    Row make(const Line& l, const GseLib::TMClockMap& clocks = {})
    {
        Row r;
        update(r, l, clocks);
        return r;
    }

    static std::string written(const Row& r)
    {
        std::ostringstream os;
        os << r;
        return os.str();
    }

    // Reads a written line back with the writer's own header.
    static Row readBack(const std::string& line, const GseLib::TMClockMap& clocks = {})
    {
        TmDatabaseRow::findHeaderFieldPositions(GseLib::TMDB_HDR);
        const QString text = QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
        Row r;
        r.update(QStringView(text).split(u'\t'), "/defs/", clocks);
        return r;
    }

    static std::string errorOf(Row& row, const QString& text)
    {
        return TestSupport::whatOf([&] { row.update(QStringView(text).split(u'\t'), "", {}); });
    }

    QList<QString> header;
    QString text;
};

} // namespace

TEST(FieldTable, HeaderMatchingAndPositions)
{
    QList<QString> h = fullHeader();
    h[0] = "sub_system";
    h[1] = "Name";
    h.removeAll("ADC_#");
    h.append("NAME"); // a second NAME column is not used
    TmDatabaseRow::findHeaderFieldPositions(h);
    EXPECT_EQ(TmDatabaseRow::FIELD_INDEX.value(Row::SUB_SYSTEM), 0);
    EXPECT_EQ(TmDatabaseRow::FIELD_INDEX.value(Row::NAME), 1);
    EXPECT_EQ(TmDatabaseRow::FIELD_INDEX.value(Row::ADC_NUM), -1);
    EXPECT_EQ(TmDatabaseRow::dataIdPosition(), h.indexOf("DATA_ID"));
    EXPECT_EQ(TmDatabaseRow::FIELD_INDEX.size(), 49);

    // Whole cells only: no blanks, no carriage return, no longer names.
    const QList<QString> odd{" NAME", "NAME\r", "DATA_ID2", "data_id"};
    EXPECT_EQ(TmDatabaseRow::findIndex("NAME", odd, Row::Optional), -1);
    EXPECT_EQ(TmDatabaseRow::findIndex("DATA_ID", odd, Row::Optional), 3);
    EXPECT_EQ(TmDatabaseRow::findIndex("ADC_#", {"x", "adc_#"}, Row::Required), 1);

    try {
        TmDatabaseRow::findIndex("NAME", odd, Row::Required);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not find required database field NAME");
    }
}

TEST(FieldTable, MissingRequiredColumnStopsHalfWay)
{
    TmDatabaseRow::findHeaderFieldPositions(fullHeader());
    const int oldMux = TmDatabaseRow::FIELD_INDEX.value(Row::MUX_CH);
    QList<QString> h = fullHeader();
    h.removeAll("SCI_K8");
    h.prepend("EXTRA"); // every position moves by one
    try {
        TmDatabaseRow::findHeaderFieldPositions(h);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not find required database field SCI_K8");
    }
    EXPECT_EQ(TmDatabaseRow::FIELD_INDEX.value(Row::SCI_K7), h.indexOf("SCI_K7"));
    EXPECT_EQ(TmDatabaseRow::FIELD_INDEX.value(Row::MUX_CH), oldMux);
}

TEST(FieldTable, WriterHeaderOrder)
{
    const QList<QString>& h = GseLib::TMDB_HDR;
    ASSERT_EQ(h.size(), 44);
    EXPECT_EQ(h.first(), "SUB_SYSTEM");
    EXPECT_EQ(h[31], "SCI_K8");
    EXPECT_EQ(h[32], "DISCRETE_LABELS");
    EXPECT_EQ(h[33], "MUX_CH");
    EXPECT_EQ(h.last(), "TARQ_MINE_TYPE");
    for (int f = 0; f < Row::FIELD_COUNT; ++f) {
        const auto field = static_cast<Row::Field>(f);
        if (TmDatabaseRow::fieldRequired(field) == Row::Required) {
            EXPECT_TRUE(h.contains(TmDatabaseRow::fieldName(field))) << f;
        }
    }
    for (const char* absent : {"TARQ_MINE_RAW", "TARQ_MINE_ENG", "BUNDLE_ID", "ARRAY_LENGTH", "SAMPLE_PERIOD"})
        EXPECT_FALSE(h.contains(absent));
    // The writer's header is a valid reading header.
    EXPECT_NO_THROW(TmDatabaseRow::findHeaderFieldPositions(h));
}

TEST_F(RowTest, DefaultRow)
{
    const Row r;
    EXPECT_EQ(r.decodeIds, (std::vector<unsigned long long>{0, 0, 0, 0}));
    EXPECT_EQ(r.engK.size(), 2u);
    EXPECT_EQ(r.sciK.size(), 8u);
    EXPECT_EQ(r.arrayLength, 1u);
    EXPECT_FALSE(r.clock);
    EXPECT_FALSE(r.engTransferFunc);
    EXPECT_EQ(r, Row());
}

TEST_F(RowTest, ReadsEveryColumn)
{
    auto clock = std::make_shared<GseLib::TMClock>();
    clock->setName("SCLK");
    const Row r = make(line()
                           .set("DESCRIPTION", "Tank temperature")
                           .set("ADC_#", "0x3")
                           .set("PACKET_SUBTYPE", "2")
                           .set("PACKET_NAME", "HK")
                           .set("APPLY_WHEN", "5=1..2")
                           .set("DECODE_ID3", "0xF0F")
                           .set("DECODE_ID4", "4")
                           .set("CLOCK", "SCLK")
                           .set("RAW_FMT", "%d")
                           .set("ENG_FMT", "%.2f")
                           .set("ENG_EQ_TYPE", "1")
                           .set("ENG_K1", "1.5")
                           .set("ENG_K2", "-2e3")
                           .set("SCI_UNITS", "degC")
                           .set("SCI_FMT", "%.1f")
                           .set("SCI_EQ_TYPE", "3")
                           .set("SCI_FROM_ENG", "Y")
                           .set("SCI_K3", "0.25")
                           .set("SCI_K8", "8")
                           .set("MUX_CH", "5")
                           .set("LIMIT_TYPE_1", "5")
                           .set("YELLOW_LIMIT_1", "10")
                           .set("RED_LIMIT_2", "20")
                           .set("LIMITS", R"({"a":1})")
                           .set("HISTORY", R"({"n":2})")
                           .set("EXTRA_1", "table.txt")
                           .set("TARQ_MINE_TYPE", "delta")
                           .set("TARQ_MINE_RAW", "1")
                           .set("TARQ_MINE_ENG", "y")
                           .set("DISCRETE_LABELS", "0=OFF;1=ON")
                           .set("BUNDLE_ID", "-7"),
                       {{"SCLK", clock}});
    EXPECT_EQ(r.key, "SYS:TEMP");
    EXPECT_EQ(r.description, "Tank temperature");
    EXPECT_EQ(r.adc, 3u);
    EXPECT_EQ(r.dataId, 42u);
    EXPECT_EQ(r.packetType, 7u);
    EXPECT_EQ(r.packetSubtype, 2u);
    EXPECT_EQ(r.packetName, "HK");
    EXPECT_EQ(GseLib::to_string(r.applyWhen), "5=1..2;");
    EXPECT_EQ(r.decodeIds, (std::vector<unsigned long long>{10, 2, 0xF0F, 4}));
    EXPECT_EQ(r.bitCount, 8u);
    EXPECT_EQ(r.clock, clock);
    EXPECT_EQ(r.rawFormat, "%d");
    EXPECT_EQ(r.engK, (std::vector<double>{1.5, -2000}));
    EXPECT_EQ(r.sciK, (std::vector<double>{0, 0, 0.25, 0, 0, 0, 0, 8}));
    EXPECT_TRUE(r.sciFromEng);
    EXPECT_EQ(r.muxCh, 5u);
    EXPECT_TRUE(r.limitChecker1.isValid());
    EXPECT_TRUE(r.limitChecker1.hasYellowLimit());
    EXPECT_FALSE(r.limitChecker1.hasRedLimit());
    EXPECT_TRUE(r.limitChecker2.hasRedLimit());
    EXPECT_FALSE(r.limitChecker2.isValid());
    EXPECT_EQ(r.limits.value("a").toInt(), 1);
    EXPECT_EQ(r.history.value("n").toInt(), 2);
    EXPECT_EQ(r.extra, "table.txt");
    EXPECT_EQ(r.tarqMineType, Gse::TarqMineDelta);
    EXPECT_TRUE(r.tarqMineRaw);
    EXPECT_TRUE(r.tarqMineEng);
    EXPECT_EQ(r.discreteLabels.label(1LL), "ON");
    EXPECT_EQ(r.bundleId, -7);
    ASSERT_TRUE(r.engTransferFunc);
    ASSERT_TRUE(r.sciTransferFunc);
    EXPECT_EQ(r.units(Gse::Raw), "Raw");
    EXPECT_EQ(r.units(Gse::Eng), "Value");
    EXPECT_EQ(r.units(Gse::Sci), "degC");
}

TEST_F(RowTest, ByteOrderFromDecodeId2)
{
    struct Case
    {
        const char* cell;
        std::vector<std::uint32_t> order;
        std::vector<std::uint32_t> shifts;
        unsigned long long id2;
    };
    const Case cases[] = {
        {"4", {4, 3, 2, 1}, {24, 16, 8, 0}, 4},
        {"1:2", {1, 2}, {0, 8}, 2},
        {"-2", {}, {}, 2},
        {"0", {}, {}, 0},
        {"010", {8, 7, 6, 5, 4, 3, 2, 1}, {56, 48, 40, 32, 24, 16, 8, 0}, 8}, // stored with its base prefix
        {"0x3", {3}, {16}, 1}, // not a decimal integer: a one-entry list
        {"2:x", {}, {}, 0},
    };
    for (const Case& c : cases) {
        const Row r = make(line().set("DECODE_ID2", c.cell));
        EXPECT_EQ(r.byteOrder, c.order) << c.cell;
        EXPECT_EQ(r.shifts, c.shifts) << c.cell;
        EXPECT_EQ(r.decodeIds[1], c.id2) << c.cell;
    }
}

TEST_F(RowTest, OffsetsFromDecodeId1)
{
    const Row samples =
        make(line().set("DECODE_ID1", "10").set("DECODE_ID2", "2").set("ARRAY_LENGTH", "3").set("SAMPLE_PERIOD", "0.5"));
    EXPECT_EQ(samples.offsets, (std::vector<std::uint32_t>{10, 12, 14}));
    EXPECT_EQ(samples.timeOffsets, (std::vector<double>{0, 0.5, 1}));

    const Row zero = make(line().set("ARRAY_LENGTH", "0"));
    EXPECT_EQ(zero.arrayLength, 1u);
    EXPECT_EQ(zero.offsets, std::vector<std::uint32_t>{10});
    EXPECT_TRUE(zero.timeOffsets.empty());

    const Row hex = make(line().set("DECODE_ID1", "0x10"));
    EXPECT_EQ(hex.offsets, std::vector<std::uint32_t>{16});
    EXPECT_EQ(hex.decodeIds[0], 16u);

    const Row list = make(line().set("DECODE_ID1", "4,0:8,0.25"));
    EXPECT_EQ(list.offsets, (std::vector<std::uint32_t>{4, 8}));
    EXPECT_EQ(list.timeOffsets, (std::vector<double>{0, 0.25}));
    EXPECT_EQ(list.decodeIds[0], 4u);
}

TEST_F(RowTest, ConsistencyChecksThrowWithTheKey)
{
    Row r;
    EXPECT_EQ(errorOf(r, line().set("DECODE_TYPE", "6").set("DECODE_ID2", "4").text()),
              "SYS:TEMP : byte order must be 8 bytes for double type");
    EXPECT_EQ(errorOf(r, line().set("DECODE_TYPE", "5").set("DECODE_ID2", "2").text()),
              "SYS:TEMP : byte order must be 4 bytes for float type");
    EXPECT_EQ(errorOf(r, line().set("DECODE_TYPE", "5").set("DECODE_ID2", "1:2:3:4").text()), "no exception");
    EXPECT_EQ(errorOf(r, line().set("DECODE_ID1", "10,0:12").text()),
              "SYS:TEMP : pkt offset and time offset sizes do not match");
    EXPECT_EQ(errorOf(r, line().set("TARQ_MINE_TYPE", "ALL").text()), "Invalid TARQ_MINE_TYPE: ALL");

    // Members read before the throw keep their new values, the rest their old ones.
    Row partial = make(line().set("EXTRA_1", "old"));
    EXPECT_NE(errorOf(partial, line().set("NAME", "NEW").set("EXTRA_1", "new").set("DECODE_TYPE", "6").text()),
              "no exception");
    EXPECT_EQ(partial.key, "SYS:NEW");
    EXPECT_EQ(partial.decodeType, 6u);
    EXPECT_EQ(partial.extra, "old");
}

// A byte count or an array length beyond the largest packet would otherwise
// allocate gigabytes: it is refused with a warning.
TEST_F(RowTest, OversizedCountsAreRefused)
{
    TestSupport::LogCapture log;
    const Row bytes = make(line().set("DECODE_ID2", "100000"));
    EXPECT_TRUE(bytes.byteOrder.empty());
    EXPECT_TRUE(bytes.shifts.empty());
    EXPECT_EQ(log.texts("tmdb", WARN), QStringList{"SYS:TEMP : byte count 100000 is larger than any packet"});

    log.clear();
    const Row maxInt = make(line().set("DECODE_ID2", "2147483647"));
    EXPECT_TRUE(maxInt.byteOrder.empty());
    EXPECT_EQ(log.count("is larger than any packet", "tmdb", WARN), 1);

    log.clear();
    const Row array = make(line().set("ARRAY_LENGTH", "4294967295"));
    EXPECT_EQ(array.arrayLength, 1u);
    EXPECT_EQ(array.offsets, std::vector<std::uint32_t>{10});
    EXPECT_EQ(log.texts("tmdb", WARN),
              QStringList{"SYS:TEMP : array length 4294967295 is larger than any packet, using 1"});

    // The largest sizes that fit are taken.
    log.clear();
    const Row largest = make(line().set("DECODE_ID2", "1").set("ARRAY_LENGTH", "65547"));
    EXPECT_EQ(largest.offsets.size(), 65547u);
    EXPECT_EQ(largest.offsets.back(), 10u + 65546u);
    EXPECT_TRUE(log.texts("tmdb").isEmpty());
}

// A patch line that leaves DECODE_ID2 out must not change how the item decodes.
TEST_F(RowTest, PatchLineKeepsWhatItLeavesOut)
{
    Row r = make(line()
                     .set("DECODE_ID2", "-2")
                     .set("ARRAY_LENGTH", "2")
                     .set("DECODE_ID3", "0xFF")
                     .set("DISCRETE_LABELS", "1=ON")
                     .set("LIMIT_TYPE_1", "5")
                     .set("RED_LIMIT_1", "9"));
    ASSERT_EQ(r.decodeIds[1], 2u);
    const auto oldEng = r.engTransferFunc;

    update(r, Line(header)
                  .set("SUB_SYSTEM", "SYS2")
                  .set("NAME", "TEMP")
                  .set("DATA_ID", "42")
                  .set("DESCRIPTION", "patched"));
    EXPECT_EQ(r.key, "SYS2:TEMP");
    EXPECT_EQ(r.description, "patched");
    EXPECT_EQ(r.decodeIds[1], 2u);
    EXPECT_TRUE(r.byteOrder.empty());
    EXPECT_EQ(r.decodeIds[0], 10u);
    EXPECT_EQ(r.offsets, (std::vector<std::uint32_t>{10, 10}));
    EXPECT_EQ(r.bitCount, 8u);
    EXPECT_EQ(r.discreteLabels.toString(), "1=ON");
    EXPECT_TRUE(r.limitChecker1.hasRedLimit());
    EXPECT_EQ(r.limitChecker1.redLimit(), 9.0);
    EXPECT_EQ(r.packetType, 7u);
    ASSERT_TRUE(r.engTransferFunc);
    EXPECT_NE(r.engTransferFunc, oldEng); // rebuilt

    // An explicit DECODE_ID2 still replaces the byte order.
    update(r, Line(header).set("SUB_SYSTEM", "SYS2").set("NAME", "TEMP").set("DECODE_ID2", "2:1"));
    EXPECT_EQ(r.byteOrder, (std::vector<std::uint32_t>{2, 1}));
    EXPECT_EQ(r.decodeIds[1], 2u);
}

TEST_F(RowTest, ConvertValueAndMissingFunctions)
{
    Row r = make(line().set("SCI_UNITS", "V"));
    // Without makers every function is the identity.
    EXPECT_EQ(r.convertValue(3.5, Gse::Eng), 3.5);

    r.engTransferFunc = std::make_shared<PolyTransferFunc>(0.0, 10.0, 0.0); // 10x
    r.sciTransferFunc = std::make_shared<PolyTransferFunc>(1.0, 2.0, 0.0);  // 2x + 1
    EXPECT_EQ(r.convertValue(3, Gse::Raw), 3);
    EXPECT_EQ(r.convertValue(3, static_cast<Gse::ValueMode>(-1)), 3);
    EXPECT_EQ(r.convertValue(3, Gse::Eng), 30);
    EXPECT_EQ(r.convertValue(3, Gse::Sci), 7);
    EXPECT_EQ(r.convertValue(3, static_cast<Gse::ValueMode>(3)), 3);
    r.sciFromEng = true;
    EXPECT_EQ(r.convertValue(3, Gse::Sci), 61);
    EXPECT_EQ(r.convertValue(3, static_cast<Gse::ValueMode>(3)), 30);

    // Empty functions act as the identity.
    r.engTransferFunc.reset();
    EXPECT_EQ(r.convertValue(3, Gse::Eng), 3);
    EXPECT_EQ(r.convertValue(3, Gse::Sci), 7);
    r.sciTransferFunc.reset();
    EXPECT_EQ(r.convertValue(3, Gse::Sci), 3);
    EXPECT_EQ(Row().convertValue(4, Gse::Sci), 4);
    EXPECT_EQ(r.units(static_cast<Gse::ValueMode>(5)), "V");

    // Units outside ASCII come back as written in the cell.
    const Row degrees = make(line().set("SCI_UNITS", QStringLiteral("\u00b0C/\u00b5s")));
    EXPECT_EQ(degrees.units(Gse::Sci), QStringLiteral("\u00b0C/\u00b5s"));
}

TEST_F(RowTest, TextLineFormats)
{
    const Row r = make(line().set("DECODE_ID2", "2").set("DECODE_ID3", "255"));
    const std::string text = written(r);
    const QStringList cells = QString::fromStdString(text).split('\t');
    ASSERT_EQ(cells.size(), 45); // 44 columns, each followed by a tab
    EXPECT_EQ(cells.last(), "");
    EXPECT_EQ(cells[GseLib::TMDB_HDR.indexOf("DECODE_ID3")], "0X00FF");
    EXPECT_EQ(cells[GseLib::TMDB_HDR.indexOf("DECODE_ID2")], "2:1");
    EXPECT_EQ(cells[GseLib::TMDB_HDR.indexOf("DECODE_ID1")], "10");
    EXPECT_EQ(cells[GseLib::TMDB_HDR.indexOf("YELLOW_LIMIT_1")], "");
    EXPECT_EQ(cells[GseLib::TMDB_HDR.indexOf("LIMIT_TYPE_1")], "0");
    EXPECT_EQ(cells[GseLib::TMDB_HDR.indexOf("LIMITS")], "");
    EXPECT_EQ(cells[GseLib::TMDB_HDR.indexOf("SCI_FROM_ENG")], "0");
    EXPECT_EQ(cells[GseLib::TMDB_HDR.indexOf("TARQ_MINE_TYPE")], "0");

    const Row wide = make(line().set("DECODE_ID2", "1").set("DECODE_ID3", "0x1234"));
    EXPECT_EQ(QString::fromStdString(written(wide)).split('\t')[12], "0X1234");
    const Row noMask = make(line());
    EXPECT_EQ(QString::fromStdString(written(noMask)).split('\t')[12], "0");

    const Row timed = make(line().set("ARRAY_LENGTH", "2").set("SAMPLE_PERIOD", "0.1"));
    EXPECT_EQ(QString::fromStdString(written(timed)).split('\t')[10], "10,0:12,0.1");
}

TEST_F(RowTest, TextLineRoundTrip)
{
    auto clock = std::make_shared<GseLib::TMClock>();
    clock->setName("SCLK");
    const GseLib::TMClockMap clocks{{"SCLK", clock}};
    const Row rich = make(line()
                              .set("DESCRIPTION", QStringLiteral("Tank \u00e9 temperature"))
                              .set("ADC_#", "3")
                              .set("PACKET_SUBTYPE", "2")
                              .set("PACKET_NAME", "HK")
                              .set("APPLY_WHEN", "5=1..2;6=-3")
                              .set("DECODE_TYPE", "6")
                              .set("DECODE_ID2", "1:2:3:4:5:6:7:8")
                              .set("DECODE_ID3", "0xFFFF0000")
                              .set("DECODE_ID4", "3")
                              .set("CLOCK", "SCLK")
                              .set("RAW_FMT", "%d")
                              .set("ENG_FMT", "%.2f")
                              .set("ENG_EQ_TYPE", "1")
                              .set("ENG_K1", "0.1")
                              .set("ENG_K2", "-2.5e-7")
                              .set("SCI_UNITS", "degC")
                              .set("SCI_FMT", "%g")
                              .set("SCI_EQ_TYPE", "2")
                              .set("SCI_FROM_ENG", "yes")
                              .set("SCI_K1", "1e300")
                              .set("SCI_K7", "0.30000000000000004")
                              .set("MUX_CH", "4")
                              .set("LIMIT_TYPE_1", "13")
                              .set("RED_LIMIT_1", "0")
                              .set("LIMIT_TYPE_2", "6")
                              .set("YELLOW_LIMIT_2", "1.5")
                              .set("RED_LIMIT_2", "-7")
                              .set("LIMITS", R"({"hi": [1, 2]})")
                              .set("HISTORY", R"({"depth": 10})")
                              .set("EXTRA_1", "lut.txt")
                              .set("TARQ_MINE_TYPE", "blob")
                              .set("DISCRETE_LABELS", "3..1=LOW;5=ON;0.5..0.75=HALF")
                              .set("ARRAY_LENGTH", "3")
                              .set("SAMPLE_PERIOD", "0.25"),
                          clocks);
    const std::string text = written(rich);
    const Row back = readBack(text, clocks);
    EXPECT_EQ(back, rich) << back.diffText(rich);
    EXPECT_EQ(back.offsets, (std::vector<std::uint32_t>{10, 18, 26}));
    EXPECT_EQ(written(back), text);

    // A byte count without byte order survives the round trip.
    const Row counted = make(line().set("DECODE_ID2", "-12"));
    const Row countedBack = readBack(written(counted));
    EXPECT_EQ(countedBack.decodeIds[1], 12u);
    EXPECT_EQ(countedBack, counted) << countedBack.diffText(counted);

    const Row plain = make(line());
    EXPECT_EQ(readBack(written(plain)), plain);
}

TEST_F(RowTest, EqualityAndDifferenceReport)
{
    const Row a = make(line().set("ENG_K1", "1").set("DISCRETE_LABELS", "1=A"));
    Row b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.diffText(b), "");

    // Transfer functions, array length and sample period take no part.
    b.engTransferFunc.reset();
    b.arrayLength = 9;
    b.samplePeriod = 2;
    b.engK[0] = 1 + 1e-14;
    EXPECT_EQ(a, b);

    b.description = "other";
    b.decodeIds[3] = 5;
    b.engK[1] = 0.5;
    b.sciK[7] = 2;
    b.discreteLabels.fromString("1=A;2=B");
    b.limitChecker1.setYellowLimit(3);
    b.limits = QJsonObject{{"x", 1}};
    b.history = QJsonObject{{"y", 1}};
    b.tarqMineRaw = true;
    EXPECT_NE(a, b);
    EXPECT_EQ(a.diffText(b),
              "TEMP description diff  other\n"
              "TEMP decode_id_4 diff 0 5\n"
              "TEMP eng_k_2 diff 0 0.5\n"
              "TEMP sci_k_8 diff 0 2\n"
              "TEMP discrete_labels diff 1 2\n"
              "TEMP limitChecker1 diff valid=0 has_yellow=0 has_red=0 type=0 valuemode=0 comparison=0 "
              "persistence=1 yellow_lim=0 red_lim=0 sci_from_eng=0  valid=0 has_yellow=1 has_red=0 type=0 "
              "valuemode=0 comparison=0 persistence=1 yellow_lim=3 red_lim=0 sci_from_eng=0 \n"
              "TEMP limits diff 0 1\n"
              "TEMP history diff\n"
              "TEMP tarq_mine_raw diff false true\n");

    // Clocks compare by value; one row without a clock differs.
    Row c = a;
    c.clock = std::make_shared<GseLib::TMClock>();
    EXPECT_NE(a, c);
    Row d = a;
    d.clock = std::make_shared<GseLib::TMClock>();
    EXPECT_EQ(c, d);
    d.clock->setName("other");
    EXPECT_NE(c, d);
    Row e = a;
    e.offsets.push_back(99);
    EXPECT_NE(a, e);
    Row f = a;
    f.applyWhen.addCondition(1, {0, 0});
    EXPECT_NE(a, f);
}

// With the generic maker loaded the row builds real functions from its
// equation types and coefficients, and its limit sets test converted values.
TEST_F(RowTest, TransferFunctionsFromTheGenericMaker)
{
    QObject owner;
    PluginManager manager(&owner);
    manager.setClassFilters({QRegularExpression("^GenericTransferFuncMaker$")});
    manager.loadPlugins(QStringList{});
    TransferFuncFactory::instance()->loadTransferFuncPlugins(&manager);

    TestSupport::LogCapture log;
    Row r = make(line()
                     .set("ENG_EQ_TYPE", "2") // volts: K1 x K2 x (x - 32768) / 65536
                     .set("ENG_K1", "2")
                     .set("ENG_K2", "5")
                     .set("SCI_EQ_TYPE", "1") // polynomial
                     .set("SCI_K1", "1")
                     .set("SCI_K2", "3")
                     .set("LIMIT_TYPE_1", "6") // ENG, value above the limit
                     .set("YELLOW_LIMIT_1", "2")
                     .set("RED_LIMIT_1", "4")
                     .set("LIMIT_TYPE_2", "7") // SCI, value above the limit
                     .set("RED_LIMIT_2", "10"));
    EXPECT_TRUE(log.texts("transfer_func", WARN).isEmpty());
    EXPECT_DOUBLE_EQ(r.convertValue(65536, Gse::Eng), 5.0);
    EXPECT_DOUBLE_EQ(r.convertValue(32768, Gse::Eng), 0.0);
    EXPECT_DOUBLE_EQ(r.convertValue(3, Gse::Sci), 10.0); // SCI of the raw value
    EXPECT_EQ(r.limitChecker1.checkLimit(49152), 1); // 2.5 V
    EXPECT_EQ(r.limitChecker1.checkLimit(65536), 3);             // 5 V
    EXPECT_EQ(r.limitChecker2.checkLimit(3), 0);                 // 10
    EXPECT_EQ(r.limitChecker2.checkLimit(4), 2);                 // 13

    // SCI_FROM_ENG changes both the conversion and the limit sets.
    update(r, Line(header).set("SUB_SYSTEM", "SYS").set("NAME", "TEMP").set("SCI_FROM_ENG", "1"));
    EXPECT_DOUBLE_EQ(r.convertValue(65536, Gse::Sci), 16.0);
    EXPECT_EQ(r.limitChecker2.checkLimit(65536), 2);
    EXPECT_EQ(r.limitChecker2.checkLimit(32768), 0); // SCI(0) = 1

    // An equation type without a maker gives the identity.
    update(r, Line(header).set("SUB_SYSTEM", "SYS").set("NAME", "TEMP").set("ENG_EQ_TYPE", "4294967295"));
    EXPECT_DOUBLE_EQ(r.convertValue(7, Gse::Eng), 7.0);
    EXPECT_EQ(log.texts("transfer_func", WARN), QStringList{"Unsupported sci eq type: -1"});

    TransferFuncFactory::instance()->loadTransferFuncPlugins(nullptr);
}
