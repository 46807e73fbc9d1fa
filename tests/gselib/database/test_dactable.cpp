#include "gselib/database/dactable.h"

#include "support/logcapture.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

using GseLib::DacTable;
using GseLib::DacTableRow;

namespace {

DacTableRow makeRow(const char* line)
{
    return DacTableRow(QByteArray(line));
}

} // namespace

TEST(DacTableRow, ParsesTheEightFields)
{
    const DacTableRow r = makeRow("7\t3\tRF_AMP\t12\t0x0FFF\t1\t-2.5\t204.8\n");
    EXPECT_EQ(r.id, 7);
    EXPECT_EQ(r.number, 3);
    EXPECT_EQ(r.name, QByteArray("RF_AMP"));
    EXPECT_EQ(r.bits, 12);
    EXPECT_EQ(r.mask, 0x0FFF);
    EXPECT_TRUE(r.isSigned);
    EXPECT_DOUBLE_EQ(r.a, -2.5);
    EXPECT_DOUBLE_EQ(r.b, 204.8); // the line end in the last field is ignored
    EXPECT_EQ(r.fieldCount(), 8);

    // Octal and decimal masks, fields that do not parse give 0.
    const DacTableRow o = makeRow("x\t2\tN\tbits\t017\tyes\t1.5\tq");
    EXPECT_EQ(o.id, 0);
    EXPECT_EQ(o.bits, 0);
    EXPECT_EQ(o.mask, 017);
    EXPECT_FALSE(o.isSigned);
    EXPECT_DOUBLE_EQ(o.b, 0.0);
    EXPECT_EQ(makeRow("1\t2\tN\t8\t255\t0\t0\t1").mask, 255);
    EXPECT_EQ(makeRow("1\t2\tN\t8\t70000\t0\t0\t1").mask, 0); // beyond 16 bits
    EXPECT_EQ(makeRow("1\t2\t\t8\t255\t2\t0\t1").name, QByteArray()); // empty field kept in place
    EXPECT_TRUE(makeRow("1\t2\t\t8\t255\t2\t0\t1").isSigned);
}

TEST(DacTableRow, UnsignedRange)
{
    const DacTableRow r = makeRow("1\t0\tU\t12\t0xFFF\t0\t0\t409.5");
    EXPECT_TRUE(r.valid(0.0));
    EXPECT_TRUE(r.valid(10.0));
    EXPECT_TRUE(r.valid(5.0));
    EXPECT_FALSE(r.valid(10.01));
    EXPECT_FALSE(r.valid(-0.01));
    EXPECT_FALSE(r.valid(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_TRUE(r.valid(QString("10")));
    EXPECT_FALSE(r.valid(QString("abc")));
    EXPECT_FALSE(r.valid(QString("nan")));

    // An offset shifts the range: counts 100..4095 at b = 1 give -100..3995.
    const DacTableRow off = makeRow("1\t0\tU\t12\t0xFFF\t0\t100\t1");
    EXPECT_TRUE(off.valid(-100.0));
    EXPECT_TRUE(off.valid(3995.0));
    EXPECT_FALSE(off.valid(3995.5));

    // A negative scale swaps the ends.
    const DacTableRow neg = makeRow("1\t0\tU\t8\t0xFF\t0\t0\t-1");
    EXPECT_TRUE(neg.valid(-255.0));
    EXPECT_TRUE(neg.valid(0.0));
    EXPECT_FALSE(neg.valid(1.0));

    // The full 64-bit width has a range without an undefined shift.
    const DacTableRow wide = makeRow("1\t0\tW\t64\t0xFFFF\t0\t0\t1");
    EXPECT_TRUE(wide.valid(1.0e19));
    EXPECT_FALSE(wide.valid(2.0e19));
}

TEST(DacTableRow, SignedRangeAndCounts)
{
    const DacTableRow r = makeRow("2\t0\tS\t12\t0xFFF\t1\t0\t204.8");
    EXPECT_TRUE(r.valid(-10.0));
    EXPECT_TRUE(r.valid(2047.0 / 204.8));
    EXPECT_FALSE(r.valid(2048.0 / 204.8));
    EXPECT_FALSE(r.valid(-10.001));
    // Counts are masked and sign-extended from 12 bits.
    EXPECT_DOUBLE_EQ(r.toValue(0x800), -10.0);
    EXPECT_DOUBLE_EQ(r.toValue(0xFFF), -1.0 / 204.8);
    EXPECT_DOUBLE_EQ(r.toValue(0x7FF), 2047.0 / 204.8);
    EXPECT_DOUBLE_EQ(r.toValue(0xF800), -10.0); // bits above the mask are dropped

    // Without the sign bit in the mask the range starts at 0.
    const DacTableRow noSign = makeRow("3\t0\tS\t12\t0x7FF\t1\t0\t1");
    EXPECT_TRUE(noSign.valid(0.0));
    EXPECT_FALSE(noSign.valid(-1.0));
    EXPECT_TRUE(noSign.valid(2047.0));
    EXPECT_DOUBLE_EQ(noSign.toValue(0x800), 0.0);

    // Unsigned rows take the count unchanged.
    const DacTableRow u = makeRow("4\t0\tU\t8\t0xFF\t0\t10\t2");
    EXPECT_DOUBLE_EQ(u.toValue(30), 10.0);
    EXPECT_DOUBLE_EQ(u.toValue(0x1FF), (511.0 - 10.0) / 2.0);
}

TEST(DacTableRow, ZeroScaleAcceptsOnlyZero)
{
    const DacTableRow r = makeRow("1\t0\tZ\t12\t0xFFF\t0\t5\t0");
    EXPECT_TRUE(r.valid(0.0));
    EXPECT_FALSE(r.valid(0.5));
    EXPECT_FALSE(r.valid(-0.5));
    EXPECT_DOUBLE_EQ(r.toValue(1234), 0.0);
}

TEST(DacTableRow, BitCountOutsideOneToSixtyFourIsInvalid)
{
    for (const char* line : {"1\t0\tB\t0\t0xFFFF\t1\t0\t1", "1\t0\tB\t65\t0xFFFF\t1\t0\t1",
                             "1\t0\tB\t-3\t0xFFFF\t1\t0\t1", "1\t0\tB\t200\t0xFFFF\t0\t0\t1"}) {
        const DacTableRow r = makeRow(line);
        EXPECT_FALSE(r.hasValidBits()) << line;
        EXPECT_FALSE(r.valid(0.0)) << line;
        EXPECT_FALSE(r.valid(1.0)) << line;
    }
    // No sign extension: the masked count is taken as it stands.
    EXPECT_DOUBLE_EQ(makeRow("1\t0\tB\t0\t0xFFFF\t1\t0\t1").toValue(0x8000), 32768.0);
    EXPECT_DOUBLE_EQ(makeRow("1\t0\tB\t99\t0x00FF\t1\t0\t1").toValue(0x1FF), 255.0);
    // Widths 1 and 64 are accepted.
    EXPECT_TRUE(makeRow("1\t0\tB\t1\t0x1\t1\t0\t1").valid(-1.0));
    EXPECT_DOUBLE_EQ(makeRow("1\t0\tB\t1\t0x1\t1\t0\t1").toValue(1), -1.0);
    EXPECT_TRUE(makeRow("1\t0\tB\t64\t0xFFFF\t1\t0\t1").valid(65535.0));
}

class DacTableFile : public ::testing::Test
{
protected:
    TestSupport::TempDir dir;
};

TEST_F(DacTableFile, LoadsLinesAndLooksUpByNameAndId)
{
    const QString path = dir.write("dac.txt",
                                   "# id\tn\tname\tbits\tmask\tsigned\ta\tb\n"
                                   "0\t10\tFOCUS\t12\t0xFFF\t0\t0\t409.5\n"
                                   "1\t11\tLENS\t12\t0xFFF\t1\t0\t204.8\r\n"
                                   "2\t12\tMESH\t8\t0xFF\t0\t0\t25.5\n");
    DacTable table;
    table.initialize(path);
    EXPECT_EQ(table.rowCount(), 3);
    EXPECT_EQ(table.allDacIds(), (QList<int>{0, 1, 2}));
    EXPECT_EQ(table.getNames(), (QStringList{"FOCUS", "LENS", "MESH"}));
    EXPECT_DOUBLE_EQ(table.row("LENS").b, 204.8); // CR LF line end stripped
    EXPECT_EQ(table.row(2).name, QByteArray("MESH"));
    EXPECT_TRUE(table.filePath.isEmpty()); // set by the instrument's loader, not here

    try {
        table.row("NOPE");
        FAIL() << "expected std::out_of_range";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "NOPE");
    }
    // An id without row falls back on the row named Unknown.
    EXPECT_THROW(table.row(99), std::out_of_range);
    table.addRow(DacTableRow(QByteArray("42\t0\tUnknown\t8\t0xFF\t0\t0\t1")));
    EXPECT_EQ(table.row(99).id, 42);

    // initialize adds to what is there.
    const QString more = dir.write("more.txt", "3\t0\tGRID\t10\t0x3FF\t0\t0\t1\n");
    table.initialize(more);
    EXPECT_EQ(table.rowCount(), 5);

    table.filePath = path;
    table.clear();
    EXPECT_EQ(table.rowCount(), 0);
    EXPECT_TRUE(table.allDacIds().isEmpty());
    EXPECT_TRUE(table.filePath.isEmpty());
}

TEST_F(DacTableFile, SameNameReplacesAndBothIdsMapToIt)
{
    const QString path = dir.write("dac.txt", "0\t0\tA\t8\t0xFF\t0\t0\t1\n"
                                              "1\t0\tA\t8\t0xFF\t0\t0\t2\n");
    DacTable table;
    table.initialize(path);
    EXPECT_EQ(table.rowCount(), 1);
    EXPECT_DOUBLE_EQ(table.row("A").b, 2.0);
    EXPECT_EQ(table.row(0).id, 1);
    EXPECT_EQ(table.row(1).id, 1);
    EXPECT_EQ(table.allDacIds(), (QList<int>{0, 1}));
    // One row, so only id 0 is asked for.
    EXPECT_EQ(table.getNames(), QStringList{"A"});
}

TEST_F(DacTableFile, GetNamesFollowsIdsZeroToRowCount)
{
    DacTable table;
    table.addRow(DacTableRow(QByteArray("5\t0\tFIVE\t8\t0xFF\t0\t0\t1")));
    table.addRow(DacTableRow(QByteArray("6\t0\tSIX\t8\t0xFF\t0\t0\t1")));
    EXPECT_TRUE(table.getNames().isEmpty());

    DacTable low;
    low.addRow(DacTableRow(QByteArray("1\t0\tONE\t8\t0xFF\t0\t0\t1")));
    low.addRow(DacTableRow(QByteArray("0\t0\tZERO\t8\t0xFF\t0\t0\t1")));
    EXPECT_EQ(low.getNames(), (QStringList{"ZERO", "ONE"}));

    // A name is cut at its first NUL byte.
    DacTable nul;
    static const char line[] = "0\t0\tAB\0CD\t8\t0xFF\t0\t0\t1";
    nul.addRow(DacTableRow(QByteArray(line, sizeof(line) - 1)));
    EXPECT_EQ(nul.getNames(), QStringList{"AB"});
    // Looking the row up by id uses the whole name.
    EXPECT_EQ(nul.row(0).name, QByteArray("AB\0CD", 5));
}

TEST_F(DacTableFile, ShortAndBlankLinesAreSkippedWithAWarning)
{
    TestSupport::LogCapture log;
    const QString path = dir.write("dac.txt", "0\t0\tGOOD\t8\t0xFF\t0\t0\t1\n"
                                              "\n"
                                              "1\t0\tGOOD\t8\n"
                                              "2\t0\tOTHER\t8\t0xFF\t0\t0\t3\n");
    DacTable table;
    table.initialize(path);
    EXPECT_EQ(table.rowCount(), 2);
    EXPECT_DOUBLE_EQ(table.row("GOOD").b, 1.0); // not replaced by the short line
    EXPECT_EQ(table.allDacIds(), (QList<int>{0, 2}));
    const QStringList warnings = log.texts("tmdb", WARN);
    ASSERT_EQ(warnings.size(), 2);
    EXPECT_TRUE(warnings[0].contains("line 2")) << warnings[0].toStdString();
    EXPECT_TRUE(warnings[0].contains("found 0")) << warnings[0].toStdString();
    EXPECT_TRUE(warnings[1].contains("line 3")) << warnings[1].toStdString();
    EXPECT_TRUE(warnings[1].contains("found 4")) << warnings[1].toStdString();
}

TEST_F(DacTableFile, MissingFileLeavesTheTable)
{
    TestSupport::LogCapture log;
    DacTable table;
    table.addRow(DacTableRow(QByteArray("0\t0\tKEEP\t8\t0xFF\t0\t0\t1")));
    table.initialize(dir.filePath("absent.txt"));
    table.initialize(dir.path()); // a folder cannot be read as a file
    EXPECT_EQ(table.rowCount(), 1);
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(DacTableFile, DumpWritesRowsInNameOrder)
{
    DacTable table;
    table.addRow(DacTableRow(QByteArray("3\t99\tZETA\t12\t4095\t1\t-1.5\t204.8")));
    table.addRow(DacTableRow(QByteArray("1\t98\tALPHA\t8\t0xFF\t0\t0\t2")));
    QString text;
    {
        QTextStream out(&text);
        table.dump(out);
    }
    EXPECT_EQ(text, QString("1\tALPHA\t8\t255\t0\t0\t2\n"
                            "3\tZETA\t12\t4095\t1\t-1.5\t204.8\n"));
}
