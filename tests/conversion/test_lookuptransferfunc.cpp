// Lookup tables read from the definitions folder, the logarithm and
// two's-complement functions, and the field splitter the table reader uses.
#include "conversion/logtransferfunc.h"
#include "conversion/lookuptabletransferfunc.h"
#include "tools/util/tools.h"
#include "conversion/twoscomplementtransferfunc.h"

#include "support/streamcapture.h"
#include "support/tempdir.h"

#include <QFile>
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <random>

using TestSupport::StreamCapture;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class LookupTable : public ::testing::Test
{
protected:
    std::string folder() const { return dir_.path().toStdString(); }
    LookupTableTransferFunc make(const char* name, const QByteArray& content)
    {
        dir_.write(QStringLiteral("lookupTables/") + QString::fromUtf8(name), content);
        return LookupTableTransferFunc(folder(), name);
    }

    TestSupport::TempDir dir_;
};

TEST_F(LookupTable, InterpolatesAndExtrapolates)
{
    StreamCapture err(std::cerr);
    const auto f = make("line.csv", "0,0\n10,100\n");
    EXPECT_TRUE(f.isValid());
    EXPECT_EQ(f.path(), folder() + "/lookupTables/line.csv");
    EXPECT_EQ(f.apply(5.0), 50.0);
    EXPECT_EQ(f.apply(10.0), 100.0);
    EXPECT_EQ(f.apply(20.0), 200.0);
    EXPECT_EQ(f.apply(-10.0), -100.0);
    EXPECT_EQ(err.text(), "");

    // The same table written in descending x.
    const auto d = make("desc.csv", "10,100\n0,0\n");
    EXPECT_EQ(d.table().front(), (std::pair<double, double>{0.0, 0.0}));
    for (double x : {5.0, 10.0, 20.0, -10.0})
        EXPECT_EQ(d.apply(x), f.apply(x));

    // One entry: every value converts to its y.
    const auto one = make("one.csv", "3,7\n");
    for (double x : {-1e9, 0.0, 3.0, 42.0})
        EXPECT_EQ(one.apply(x), 7.0);
}

TEST_F(LookupTable, BisectionFindsTheSegmentOfEveryValue)
{
    // y = x^2 sampled at 0, 1, ..., 100: compare with a linear search.
    QByteArray content;
    for (int i = 0; i <= 100; ++i)
        content += QByteArray::number(i) + "," + QByteArray::number(i * i) + "\n";
    const auto f = make("square.csv", content);
    ASSERT_EQ(f.table().size(), 101u);

    for (int i = 0; i <= 100; ++i)
        EXPECT_EQ(f.apply(i), double(i * i)) << i;

    std::mt19937 random(7);
    std::uniform_real_distribution<double> inside(0.0, 100.0);
    for (int n = 0; n < 2000; ++n) {
        const double x = inside(random);
        const int k = std::min(99, int(std::floor(x)));
        const double expected = (double((k + 1) * (k + 1)) - k * k) * (x - k) + k * k;
        EXPECT_NEAR(f.apply(x), expected, 1e-9) << x;
    }
    EXPECT_DOUBLE_EQ(f.apply(-1.0), -1.0);        // along the first segment
    EXPECT_DOUBLE_EQ(f.apply(101.0), 10000.0 + 199.0); // along the last
    EXPECT_TRUE(std::isnan(f.apply(kNaN)));

    const auto three = make("three.csv", "0,0\n1,10\n2,30\n");
    EXPECT_EQ(three.apply(0.5), 5.0);
    EXPECT_EQ(three.apply(1.5), 20.0);
    EXPECT_EQ(three.apply(3.0), 50.0);
}

TEST_F(LookupTable, SkipsCommentsBlankAndShortLines)
{
    StreamCapture err(std::cerr);
    const auto f = make("mixed.csv",
                        "# heading\n"
                        "\n"
                        "0,0 volts\r\n"      // CRLF, trailing text after the number
                        "\r\n"               // blank after trimming
                        "   \t\n"
                        "lonely\n"           // fewer than two fields
                        "5  ,  50,extra\n"   // further fields ignored
                        "#10,1000\n"
                        "10,100");           // no final line end
    EXPECT_EQ(f.table(), (std::vector<std::pair<double, double>>{{0, 0}, {5, 50}, {10, 100}}));
    EXPECT_EQ(f.apply(7.5), 75.0);
    EXPECT_EQ(err.text(), "");

    // Fields hold no number: they read as 0.
    const auto junk = make("junk.csv", "a,b\n1e1,0x10\n");
    EXPECT_EQ(junk.table(), (std::vector<std::pair<double, double>>{{0, 0}, {10, 16}}));
}

TEST_F(LookupTable, UnreadableTablesPassValuesThrough)
{
    {
        StreamCapture err(std::cerr);
        const LookupTableTransferFunc missing(folder(), "nothere.csv");
        EXPECT_EQ(err.text(), "Failed to open " + folder() + "/lookupTables/nothere.csv\n");
        EXPECT_FALSE(missing.isValid());
        EXPECT_EQ(missing.apply(12.5), 12.5);
        EXPECT_EQ(missing.equationAsString(), "Lookup table (INVALID)");
        EXPECT_EQ(err.text(), "Failed to open " + folder() + "/lookupTables/nothere.csv\n"); // once
    }
    {
        // A folder of that name is no table.
        StreamCapture err(std::cerr);
        dir_.write(QStringLiteral("lookupTables/sub/x.csv"), "0,1\n");
        const LookupTableTransferFunc folderName(folder(), "sub");
        EXPECT_EQ(err.text(), "Failed to open " + folder() + "/lookupTables/sub\n");
        EXPECT_EQ(folderName.apply(3.0), 3.0);
    }
    {
        // Nor is a device that the name leads to (a read of /dev/zero would never end).
        StreamCapture err(std::cerr);
        ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), dir_.filePath(QStringLiteral("lookupTables/dev"))));
        const LookupTableTransferFunc device(folder(), "dev");
        EXPECT_EQ(err.text(), "Failed to open " + folder() + "/lookupTables/dev\n");
        EXPECT_FALSE(device.isValid());
        EXPECT_EQ(device.apply(3.0), 3.0);
    }
    {
        // No data lines: invalid, without a message.
        StreamCapture err(std::cerr);
        const auto empty = make("empty.csv", "# only a comment\n\r\n");
        EXPECT_EQ(err.text(), "");
        EXPECT_FALSE(empty.isValid());
        EXPECT_EQ(empty.apply(-4.0), -4.0);
        EXPECT_EQ(empty.equationAsString(), "Lookup table (INVALID)");
    }
}

TEST_F(LookupTable, Texts)
{
    auto f = make("rtd.csv", "0,0\n10,100\n");
    EXPECT_EQ(f.equationAsString(), "Lookup table (rtd.csv)");
    EXPECT_EQ(f.description(), "Lookup table");
    EXPECT_EQ(f.asString(), "");
    StreamCapture err(std::cerr);
    f.change(QStringLiteral("1\t2"));
    EXPECT_EQ(err.text(), "Not implemented");
    EXPECT_EQ(f.apply(5.0), 50.0);
}

TEST(Split, KeepsEmptyFields)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Tools::split("a,,b", ","), (V{"a", "", "b"}));
    EXPECT_EQ(Tools::split("a,", ","), (V{"a", ""}));
    EXPECT_EQ(Tools::split(",", ","), (V{"", ""}));
    EXPECT_EQ(Tools::split("", ","), (V{""}));
    EXPECT_EQ(Tools::split("abc", ","), (V{"abc"}));
    EXPECT_EQ(Tools::split("a;b,c", ",;"), (V{"a", "b", "c"}));
    EXPECT_EQ(Tools::split(" a b ", " "), (V{"", "a", "b", ""}));
    EXPECT_EQ(Tools::split("a,b", ""), (V{"a,b"}));
    EXPECT_EQ(Tools::split("a,b", nullptr), (V{"a,b"}));
}

TEST(LogTransferFunc, LogarithmToACoefficientBase)
{
    const LogTransferFunc f({0.0, 1.0, 2.0});
    EXPECT_DOUBLE_EQ(f.apply(8.0), 3.0);
    EXPECT_EQ(f.apply(1.0), 0.0);
    EXPECT_EQ(f.apply(0.0), 0.0);
    EXPECT_EQ(f.apply(-5.0), 0.0);
    EXPECT_DOUBLE_EQ(LogTransferFunc({1.0, 2.0, 10.0}).apply(1000.0), 7.0);
    EXPECT_EQ(LogTransferFunc({1.0, 2.0, -10.0}).apply(1000.0), 0.0);
    EXPECT_TRUE(std::isnan(f.apply(kNaN)));
    EXPECT_TRUE(std::isinf(LogTransferFunc({0.0, 1.0, 1.0}).apply(5.0)));

    // Two coefficients from an engineering row: the base reads as 0.
    const LogTransferFunc shortList(std::vector<double>{1.0, 2.0});
    EXPECT_EQ(shortList.coefficients().size(), 3u);
    EXPECT_EQ(shortList.apply(100.0), 0.0);

    EXPECT_EQ(f.asString(), "Not implemented");
    EXPECT_EQ(f.equationAsString(), "y = K2 * logK3(x) + K1");
    EXPECT_EQ(f.description(), "Log");
}

TEST(NaturalLogTransferFunc, ScaledNaturalLogarithm)
{
    NaturalLogTransferFunc f({1.0, 2.0});
    EXPECT_DOUBLE_EQ(f.apply(std::exp(1.0)), 3.0);
    EXPECT_EQ(f.apply(1.0), 1.0);
    EXPECT_EQ(f.apply(0.0), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(f.apply(-1.0)));
    EXPECT_EQ(NaturalLogTransferFunc(std::vector<double>{}).apply(5.0), 0.0);
    f.change(QStringLiteral("5\t5"));
    EXPECT_EQ(f.apply(1.0), 1.0);
    EXPECT_EQ(f.asString(), "Not implemented");
    EXPECT_EQ(f.equationAsString(), "y = K2 * ln(x) + K1");
    EXPECT_EQ(f.description(), "Natural log");
}

TEST(TwosComplementTransferFunc, SignedFixedPoint)
{
    const TwosComplementTransferFunc word({16.0, 0.0});
    EXPECT_EQ(word.apply(32767.0), 32767.0);
    EXPECT_EQ(word.apply(32768.0), -32768.0);
    EXPECT_EQ(word.apply(65535.0), -1.0);
    EXPECT_EQ(word.apply(0.0), 0.0);

    EXPECT_EQ(TwosComplementTransferFunc({32.0, 0.0}).apply(4294967295.0), -1.0);
    EXPECT_EQ(TwosComplementTransferFunc({16.0, 8.0}).apply(65408.0), -0.5);
    EXPECT_EQ(TwosComplementTransferFunc({12.0, 4.0}).apply(0x7FF), 127.9375);
    // The raw value itself is divided, not its truncation.
    EXPECT_EQ(TwosComplementTransferFunc({16.0, 1.0}).apply(3.5), 1.75);
    // Coefficients are truncated toward zero.
    EXPECT_EQ(TwosComplementTransferFunc({16.9, 0.9}).apply(32768.0), -32768.0);
}

TEST(TwosComplementTransferFunc, OutOfRangeInputsAreDefined)
{
    // Raw values outside 32 bits, and NaN, have only bit 31 set.
    EXPECT_EQ(TwosComplementTransferFunc::rawPattern(kNaN), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(TwosComplementTransferFunc::rawPattern(2147483648.0), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(TwosComplementTransferFunc::rawPattern(-2147483649.0), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(TwosComplementTransferFunc::rawPattern(2147483647.5), 2147483647);
    EXPECT_EQ(TwosComplementTransferFunc::rawPattern(-2147483648.5), -2147483648);
    EXPECT_EQ(TwosComplementTransferFunc::rawPattern(-3.7), -3);

    // So a 16-bit word out of range has a clear sign bit.
    EXPECT_EQ(TwosComplementTransferFunc({16.0, 0.0}).apply(1e12), 1e12);
    EXPECT_EQ(TwosComplementTransferFunc({32.0, 0.0}).apply(1e12), 1e12 - 4294967296.0);

    // The sign bit number is taken modulo 32: K1 = 33 tests bit 0, K1 = 0 bit 31.
    EXPECT_EQ(TwosComplementTransferFunc({33.0, 0.0}).apply(1.0), 1.0 - 8589934592.0);
    EXPECT_EQ(TwosComplementTransferFunc({33.0, 0.0}).apply(2.0), 2.0);
    EXPECT_EQ(TwosComplementTransferFunc({0.0, 0.0}).apply(-1.0), -2.0);
    EXPECT_EQ(TwosComplementTransferFunc({0.0, 0.0}).apply(5.0), 5.0);

    // NaN and huge coefficients saturate instead of being undefined.
    EXPECT_EQ(TwosComplementTransferFunc({kNaN, kNaN}).apply(5.0), 5.0);
    EXPECT_EQ(TwosComplementTransferFunc({1e300, 0.0}).apply(5.0), 5.0);
    EXPECT_EQ(TwosComplementTransferFunc({-1e300, 0.0}).apply(5.0), 5.0);
    EXPECT_EQ(TwosComplementTransferFunc({16.0, 1e300}).apply(5.0), 0.0);

    // Missing coefficients read as 0.
    EXPECT_EQ(TwosComplementTransferFunc(std::vector<double>{16.0}).apply(32768.0), -32768.0);
    EXPECT_EQ(TwosComplementTransferFunc(std::vector<double>{}).apply(7.0), 7.0);
}

TEST(TwosComplementTransferFunc, Texts)
{
    TwosComplementTransferFunc f({16.0, 0.0});
    EXPECT_EQ(f.asString(), "Not implemented");
    f.change(QStringLiteral("8\t0"));
    EXPECT_EQ(f.apply(32768.0), -32768.0);
    EXPECT_EQ(f.equationAsString(),
              "K1 = total # of bits\nK2 = # of fractional bits\nwholeBits = K1 - K2\nfinalValue = v / pow(2, K2)\n"
              "if (v & (1 << K1-1))\n  finalValue -= pow(2, wholeBits)");
    EXPECT_EQ(f.description(), "Twos comp. to signed");
}

} // namespace
