#include "gselib/database/tmdatabaseparser.h"
#include "support/logcapture.h"
#include "support/thrown.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using namespace GseLib;

namespace {

template <typename T>
T parsed(const QString& cell, T start = T{})
{
    T v = start;
    extractValueFromText(v, QStringView(cell));
    return v;
}

QList<QStringView> splitLine(const QString& line)
{
    return QStringView(line).split(u'\t', Qt::KeepEmptyParts);
}

std::string throwsText(const QString& cell)
{
    return TestSupport::whatOf([&] {
        Gse::TarqMineType t = Gse::TarqMineBin;
        extractValueFromText(t, QStringView(cell));
    });
}

} // namespace

TEST(CellIntegers, BasePrefixesSignsAndRanges)
{
    EXPECT_EQ(parsed<unsigned>("0x10"), 16u);
    EXPECT_EQ(parsed<unsigned>("0X1f"), 31u);
    EXPECT_EQ(parsed<unsigned>("010"), 8u);
    EXPECT_EQ(parsed<unsigned>("0"), 0u);
    EXPECT_EQ(parsed<unsigned>("4294967295"), 4294967295u);
    EXPECT_EQ(parsed<unsigned>("4294967296", 5u), 0u);
    EXPECT_EQ(parsed<unsigned>("-1", 5u), 0u);
    EXPECT_EQ(parsed<unsigned>("+1", 5u), 0u);
    for (const char* bad : {"0x", "08", "0b11", "1e3", "12a", "x", "--1", "1 2"})
        EXPECT_EQ(parsed<unsigned>(bad, 5u), 0u) << bad;

    EXPECT_EQ(parsed<unsigned long long>("18446744073709551615"), 18446744073709551615ull);
    EXPECT_EQ(parsed<unsigned long long>("0xFFFFFFFFFFFFFFFF"), 18446744073709551615ull);
    EXPECT_EQ(parsed<unsigned long long>("18446744073709551616", 5ull), 0ull);
    EXPECT_EQ(parsed<unsigned long long>("-2", 5ull), 0ull);
    EXPECT_EQ(parsed<unsigned long long>("01777777777777777777777"), 18446744073709551615ull);

    EXPECT_EQ(parsed<long long>("-0x10"), -16);
    EXPECT_EQ(parsed<long long>("+017"), 15);
    EXPECT_EQ(parsed<long long>("-9223372036854775808"), std::numeric_limits<long long>::min());
    EXPECT_EQ(parsed<long long>("9223372036854775807"), std::numeric_limits<long long>::max());
    EXPECT_EQ(parsed<long long>("9223372036854775808", 5ll), 0);
    EXPECT_EQ(parsed<long long>("-", 5ll), 0);

    int i = 7;
    EXPECT_FALSE(parseInt(u"2147483648", i));
    EXPECT_EQ(i, 0);
    EXPECT_TRUE(parseInt(u" -2147483648 ", i));
    EXPECT_EQ(i, std::numeric_limits<int>::min());
}

TEST(CellScalars, TextDoublesAndFlags)
{
    const QString cell = QStringLiteral("a\u00e9\u20acz");
    const std::string bytes = parsed<std::string>(cell, std::string("old"));
    EXPECT_EQ(bytes, std::string("a\xe9\0z", 4));

    EXPECT_EQ(parsed<double>("1.5e3"), 1500.0);
    EXPECT_EQ(parsed<double>("-0.25"), -0.25);
    EXPECT_EQ(parsed<double>("1,5", 9.0), 0.0);
    EXPECT_EQ(parsed<double>("abc", 9.0), 0.0);
    EXPECT_EQ(parsed<double>("1e400", 9.0), 0.0);
    EXPECT_EQ(parsed<double>(" +2.5e-3 "), 0.0025);
    EXPECT_EQ(parsed<double>("+-1", 9.0), 0.0);
    EXPECT_EQ(parsed<double>("0x10", 9.0), 0.0);
    EXPECT_EQ(parsed<double>("1.5x", 9.0), 0.0);
    EXPECT_EQ(parsed<double>("", 9.0), 0.0);
    EXPECT_TRUE(std::isinf(parsed<double>("-inf")));
    EXPECT_EQ(parsed<double>("0." + QString(80, '0') + "1"), 1e-81); // longer than the fast path
    EXPECT_EQ(parsed<double>("1.5\u00b5", 9.0), 0.0);

    for (const char* yes : {"Y", "y", "1", "yes", "Yellow", "10"})
        EXPECT_TRUE(parsed<bool>(yes)) << yes;
    for (const char* no : {"n", "true", "0", " 1", "N"})
        EXPECT_FALSE(parsed<bool>(no, true)) << no;
}

TEST(CellMiningType, NumbersNamesAndFailures)
{
    EXPECT_EQ(parsed<Gse::TarqMineType>("7"), 7u);
    EXPECT_EQ(parsed<Gse::TarqMineType>("0x4"), Gse::TarqMineBlob);
    EXPECT_EQ(parsed<Gse::TarqMineType>("all"), Gse::TarqMineAll);
    EXPECT_EQ(parsed<Gse::TarqMineType>("bin"), Gse::TarqMineBin);
    EXPECT_EQ(parsed<Gse::TarqMineType>("blob"), Gse::TarqMineBlob);
    EXPECT_EQ(parsed<Gse::TarqMineType>("delta"), Gse::TarqMineDelta);
    EXPECT_EQ(throwsText("ALL"), "Invalid TARQ_MINE_TYPE: ALL");
    EXPECT_EQ(throwsText(""), "Invalid TARQ_MINE_TYPE: ");
    EXPECT_EQ(throwsText("4294967296"), "Invalid TARQ_MINE_TYPE: 4294967296");

    Gse::TarqMineType t = Gse::TarqMineBin;
    EXPECT_THROW(extractValueFromText(t, QStringView(u"all ")), std::runtime_error);
    EXPECT_EQ(t, Gse::TarqMineNone);
}

TEST(CellLabelMap, PiecesKeysAndReplacement)
{
    QMap<int, QString> m{{9, "old"}};
    extractValueFromText(m, QStringView(u"0=OFF;1=ON;0x10=HEX;5;x=BAD;"));
    EXPECT_EQ(m.value(1), "ON");
    EXPECT_EQ(m.value(16), "HEX");
    EXPECT_EQ(m.value(5), "5");
    EXPECT_FALSE(m.contains(9));
    // x=BAD and the trailing ";" both land on key 0, the last one winning.
    EXPECT_EQ(m.value(0), "");
    EXPECT_EQ(m.size(), 4);
}

TEST(CellColumns, AbsentColumnsLeaveMembersAlone)
{
    const QString line = QStringLiteral("a\t\t2:1\t{\"k\":1}");
    const QList<QStringView> cells = splitLine(line);
    QStringView cell;
    EXPECT_TRUE(cellAt(0, cells, cell));
    EXPECT_FALSE(cellAt(1, cells, cell)); // empty
    EXPECT_FALSE(cellAt(-1, cells, cell));
    EXPECT_FALSE(cellAt(4, cells, cell));

    std::vector<std::uint32_t> shifts{1}, order{1};
    for (int p : {-1, 1, 4, 99}) {
        updateByteOrder(shifts, order, p, cells);
        EXPECT_EQ(order, std::vector<std::uint32_t>{1});
    }
    updateByteOrder(shifts, order, 2, cells);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{2, 1}));

    QJsonObject limits{{"old", true}};
    updateLimits(limits, 1, cells);
    updateLimits(limits, 7, cells);
    EXPECT_TRUE(limits.value("old").toBool());
    updateLimits(limits, 3, cells);
    EXPECT_EQ(limits, (QJsonObject{{"k", 1}}));
}

TEST(CellByteOrder, ListsRanksAndBadEntries)
{
    TestSupport::LogCapture log;
    std::vector<std::uint32_t> shifts, order;

    updateByteOrder(shifts, order, QStringView(u"8:7:6:5:4:3:2:1"));
    EXPECT_EQ(order, (std::vector<std::uint32_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(shifts, (std::vector<std::uint32_t>{56, 48, 40, 32, 24, 16, 8, 0}));

    updateByteOrder(shifts, order, QStringView(u"4:3::2:1:"));
    EXPECT_EQ(order, (std::vector<std::uint32_t>{4, 3, 2, 1}));

    // Odd ranks are kept; the decoders judge them.
    updateByteOrder(shifts, order, QStringView(u"0:9:0x2"));
    EXPECT_EQ(order, (std::vector<std::uint32_t>{0, 9, 2}));
    EXPECT_EQ(shifts, (std::vector<std::uint32_t>{0xFFFFFFF8u, 64, 8}));
    EXPECT_TRUE(log.messages().isEmpty());

    updateByteOrder(shifts, order, QStringView(u"8:7:x"));
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(shifts.empty());
    EXPECT_EQ(log.texts("tmdb", WARN), QStringList{"Bad byte order: 8:7:x"});

    log.clear();
    const QString line = QStringLiteral("  2:1 \t 1:y ");
    updateByteOrder(shifts, order, 0, splitLine(line));
    EXPECT_EQ(order, (std::vector<std::uint32_t>{2, 1}));
    EXPECT_EQ(shifts, (std::vector<std::uint32_t>{8, 0}));
    updateByteOrder(shifts, order, 1, splitLine(line));
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(log.texts("tmdb", WARN), QStringList{"Bad byte order: 1:y"});

    log.clear();
    updateByteOrder(shifts, order, QStringView(u":::"));
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST(CellOffsets, ListsTimesAndEachFailure)
{
    TestSupport::LogCapture log;
    std::vector<std::uint32_t> offsets;
    std::vector<double> times;

    updateOffsets(offsets, times, QStringView(u"16:24:32"));
    EXPECT_EQ(offsets, (std::vector<std::uint32_t>{16, 24, 32}));
    EXPECT_TRUE(times.empty());

    updateOffsets(offsets, times, QStringView(u"0,0.0:2,0.5:4,1.0"));
    EXPECT_EQ(offsets, (std::vector<std::uint32_t>{0, 2, 4}));
    EXPECT_EQ(times, (std::vector<double>{0.0, 0.5, 1.0}));

    updateOffsets(offsets, times, QStringView(u"0x10:0x20"));
    EXPECT_EQ(offsets, (std::vector<std::uint32_t>{16, 32}));
    EXPECT_TRUE(log.messages().isEmpty());

    struct Bad
    {
        const char16_t* cell;
        const char* message;
    };
    for (const Bad& b : {Bad{u"10,1.5,3", "Bad format: "}, Bad{u"1:,,", "Bad format: "},
                         Bad{u"10:abc", "Bad offset: "}, Bad{u"4294967295", "Bad offset: "},
                         Bad{u"10,abc", "Bad time: "}}) {
        log.clear();
        offsets = {1};
        times = {1.0};
        updateOffsets(offsets, times, QStringView(b.cell));
        EXPECT_TRUE(offsets.empty());
        EXPECT_TRUE(times.empty());
        EXPECT_EQ(log.texts("tmdb", WARN), QStringList{QString(b.message) + QString::fromUtf16(b.cell)});
    }

    // Negative offsets wrap as 32-bit values, as the list is read as signed.
    updateOffsets(offsets, times, QStringView(u"-1"));
    EXPECT_EQ(offsets, std::vector<std::uint32_t>{0xFFFFFFFFu});

    const QString line = QStringLiteral("x\t 8,0.5 ");
    updateOffsets(offsets, times, 1, splitLine(line));
    EXPECT_EQ(offsets, std::vector<std::uint32_t>{8});
    EXPECT_EQ(times, std::vector<double>{0.5});
}

TEST(CellLimitSet, EachColumnSetsOnlyItsOwnPart)
{
    const QString line = QStringLiteral("0x5\t2.5\t\tx\tbad\t-1e3");
    const QList<QStringView> cells = splitLine(line);

    LimitChecker c;
    updateLimitChecker(c, 0, 1, 2, cells); // red cell empty: no red limit
    EXPECT_EQ(c.limitType(), 5u);
    EXPECT_TRUE(c.isValid());
    EXPECT_TRUE(c.hasYellowLimit());
    EXPECT_EQ(c.yellowLimit(), 2.5);
    EXPECT_FALSE(c.hasRedLimit());

    // Absent columns (negative or past the line) and empty cells change nothing.
    updateLimitChecker(c, -1, 2, 99, cells);
    EXPECT_EQ(c.limitType(), 5u);
    EXPECT_EQ(c.yellowLimit(), 2.5);
    EXPECT_FALSE(c.hasRedLimit());

    // Text that is not a number gives 0; the flags stay set.
    updateLimitChecker(c, 3, 4, 5, cells);
    EXPECT_EQ(c.limitType(), 0u);
    EXPECT_FALSE(c.isValid());
    EXPECT_TRUE(c.hasYellowLimit());
    EXPECT_EQ(c.yellowLimit(), 0.0);
    EXPECT_TRUE(c.hasRedLimit());
    EXPECT_EQ(c.redLimit(), -1000.0);
}

TEST(CellJsonAndClock, ParseErrorsArraysAndLookups)
{
    TestSupport::LogCapture log;
    const QString line = QStringLiteral("{bad\t[1,2]\t{\"a\":[1]}\tGPS\tnone");
    const QList<QStringView> cells = splitLine(line);

    QJsonObject limits{{"keep", 1}};
    updateLimits(limits, 0, cells);
    EXPECT_EQ(limits, (QJsonObject{{"keep", 1}}));
    ASSERT_EQ(log.texts("tmdb", WARN).size(), 1);
    EXPECT_TRUE(log.texts("tmdb", WARN)[0].startsWith("Limit parse error: "));
    EXPECT_GT(log.texts("tmdb", WARN)[0].size(), QString("Limit parse error: ").size());

    QJsonObject history{{"keep", 1}};
    updateHistory(history, 0, cells);
    EXPECT_TRUE(log.texts("tmdb", WARN).last().startsWith("History parse error: "));
    updateHistory(history, 1, cells);
    EXPECT_TRUE(history.isEmpty());
    updateHistory(history, 2, cells);
    EXPECT_EQ(history.value("a").toArray().size(), 1);

    auto gps = std::make_shared<TMClock>();
    gps->setName("GPS");
    const TMClockMap clocks{{"GPS", gps}};
    std::shared_ptr<TMClock> clock;
    updateClock(clock, TMClockMap{}, 3, cells);
    EXPECT_FALSE(clock);
    updateClock(clock, clocks, 3, cells);
    EXPECT_EQ(clock, gps);
    log.clear();
    updateClock(clock, clocks, 4, cells); // unknown name: unchanged, silently
    EXPECT_EQ(clock, gps);
    EXPECT_TRUE(log.messages().isEmpty());

    ApplyWhen aw;
    aw.addCondition(1, Range<long long>(1, 1));
    extractValueFromText(aw, QStringView(u"5=2..3"));
    ASSERT_EQ(aw.size(), 1u);
    EXPECT_EQ(aw.conditions()[0], (ApplyWhen::Condition{5, Range<long long>(2, 3)}));
}
