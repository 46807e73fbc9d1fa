// Polynomial and rational transfer functions: evaluation, orders, and the
// text forms that definitions and editors exchange.
#include "conversion/polytransferfunc.h"
#include "conversion/rationaltransferfunc.h"
#include "conversion/saturatingcast.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(PolyTransferFunc, ConstructorsDeriveOrderFromCoefficients)
{
    const PolyTransferFunc identity(0.0, 1.0, 0.0);
    EXPECT_EQ(identity.order(), 1);
    EXPECT_EQ(identity.coefficients().size(), 8u);
    for (double x : {-3.5, 0.0, 1.0, 12345.678})
        EXPECT_EQ(identity.apply(x), x);

    EXPECT_EQ(PolyTransferFunc(1.0, 0.0, 0.0).order(), 0);
    EXPECT_EQ(PolyTransferFunc(1.0, 0.0, 2.0).order(), 2);
    EXPECT_EQ(PolyTransferFunc(1.0, kNaN, 0.0).order(), 1); // NaN counts as not 0

    const PolyTransferFunc constant(std::vector<double>{7.0, 0.0, 0.0, 0.0});
    EXPECT_EQ(constant.order(), 0);
    EXPECT_EQ(constant.apply(99.0), 7.0);
    EXPECT_EQ(constant.apply(kNaN), 7.0);

    const PolyTransferFunc line(std::vector<double>{5.0, 2.0, 0.0});
    EXPECT_EQ(line.order(), 1);
    EXPECT_EQ(line.coefficients().size(), 3u); // a list is not extended to eight
    EXPECT_EQ(line.apply(3.0), 11.0);

    const PolyTransferFunc cubic(std::vector<double>{1.0, 0.0, 0.0, 2.0});
    EXPECT_EQ(cubic.order(), 3);
    EXPECT_EQ(cubic.apply(-2.0), -15.0);

    const PolyTransferFunc deflt;
    EXPECT_EQ(deflt.order(), 0);
    EXPECT_EQ(deflt.coefficients(), std::vector<double>(8, 0.0));
    EXPECT_EQ(deflt.apply(5.0), 0.0);
}

TEST(PolyTransferFunc, TextFormRoundTrips)
{
    EXPECT_EQ(PolyTransferFunc(0.0, 1.0, 0.0).asString(), "1\t0\t1");

    const PolyTransferFunc fromText(QStringLiteral("2\t1\t0\t3"));
    EXPECT_EQ(fromText.order(), 2);
    EXPECT_EQ(fromText.apply(2.0), 13.0);
    EXPECT_EQ(fromText.coefficients().size(), 8u);
    EXPECT_EQ(fromText.asString(), "2\t1\t0\t3");

    // Qt's 'g' format with 8 significant digits.
    const PolyTransferFunc precise(std::vector<double>{1.0 / 3.0, 123456789.0, -1e-10});
    EXPECT_EQ(precise.asString(), "2\t0.33333333\t1.2345679e+08\t-1e-10");

    PolyTransferFunc copy;
    copy.change(precise.asString());
    EXPECT_EQ(copy.order(), 2);
    EXPECT_DOUBLE_EQ(copy.coefficients()[0], 0.33333333);
    EXPECT_DOUBLE_EQ(copy.coefficients()[1], 123456790.0);
    EXPECT_DOUBLE_EQ(copy.coefficients()[2], -1e-10);

    EXPECT_EQ(PolyTransferFunc().equationAsString(), "y = K8 * x^7 + K7 * x^6 ... K2 * x + K1");
    EXPECT_EQ(PolyTransferFunc().description(), "Polynomial");
}

TEST(PolyTransferFunc, ChangeReadsOnlyWhatTheListHolds)
{
    // Coefficients above the new order keep their values but take no part.
    PolyTransferFunc f(1.0, 2.0, 3.0);
    f.change(QStringLiteral("0\t9"));
    EXPECT_EQ(f.order(), 0);
    EXPECT_EQ(f.coefficients()[0], 9.0);
    EXPECT_EQ(f.coefficients()[1], 2.0);
    EXPECT_EQ(f.coefficients()[2], 3.0);
    EXPECT_EQ(f.apply(10.0), 9.0);

    // Missing and unparsable fields read as 0.
    f.change(QStringLiteral("2\t4\tabc"));
    EXPECT_EQ(f.order(), 2);
    EXPECT_EQ(f.apply(2.0), 4.0);

    // An order that is not an int reads as 0.
    f.change(QStringLiteral("x\t6"));
    EXPECT_EQ(f.order(), 0);
    EXPECT_EQ(f.apply(1.0), 6.0);
    f.change(QStringLiteral("4000000000\t6"));
    EXPECT_EQ(f.order(), 0);

    // Orders the list cannot hold are clamped to [0, size - 1]; the list never grows.
    PolyTransferFunc eight;
    eight.change(QStringLiteral("9\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10"));
    EXPECT_EQ(eight.order(), 7);
    EXPECT_EQ(eight.coefficients().size(), 8u);
    EXPECT_EQ(eight.coefficients()[7], 8.0);
    EXPECT_EQ(eight.apply(1.0), 36.0);

    eight.change(QStringLiteral("-3\t5"));
    EXPECT_EQ(eight.order(), 0);
    EXPECT_EQ(eight.apply(2.0), 5.0);

    PolyTransferFunc two(std::vector<double>{0.0, 1.0});
    two.change(QStringLiteral("5\t1\t2\t3\t4"));
    EXPECT_EQ(two.order(), 1);
    EXPECT_EQ(two.coefficients(), (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(two.apply(3.0), 7.0);
    EXPECT_EQ(two.asString(), "1\t1\t2");
}

TEST(PolyTransferFunc, EmptyListConvertsToZero)
{
    PolyTransferFunc empty{std::vector<double>{}};
    EXPECT_EQ(empty.order(), 0);
    EXPECT_EQ(empty.apply(42.0), 0.0);
    EXPECT_EQ(empty.asString(), "0\t0");
    empty.change(QStringLiteral("3\t1\t2\t3\t4"));
    EXPECT_TRUE(empty.coefficients().empty());
    EXPECT_EQ(empty.order(), 0);
    EXPECT_EQ(empty.apply(42.0), 0.0);

    const RawToDouble raw{std::vector<double>{}};
    EXPECT_EQ(raw.apply(1065353216.0), 0.0);
}

TEST(ADC2VoltsTransferFunc, IsAPolynomialWithItsOwnTexts)
{
    // The line that the generic maker builds from K1 = 2 and K2 = 5.
    const ADC2VoltsTransferFunc volts(-0.5 * 2.0 * 5.0, 2.0 * 5.0 / 65536.0, 0.0);
    EXPECT_EQ(volts.order(), 1);
    EXPECT_DOUBLE_EQ(volts.apply(32768.0), 0.0);
    EXPECT_DOUBLE_EQ(volts.apply(65536.0), 5.0);
    EXPECT_EQ(volts.equationAsString(), "V = K1 * (K2 * (x - 32768)) / 65536");
    EXPECT_EQ(volts.description(), "ADC to Volts");
    EXPECT_EQ(volts.asString(), "1\t-5\t0.00015258789");

    ADC2VoltsTransferFunc changed(std::vector<double>{0.0, 1.0});
    changed.change(QStringLiteral("1\t3\t2"));
    EXPECT_EQ(changed.apply(1.0), 5.0);
    EXPECT_EQ(ADC2VoltsTransferFunc().order(), 0);
}

TEST(RawToDouble, ReinterpretsTheLow32BitsAsAFloat)
{
    const RawToDouble f(std::vector<double>{0.0, 1.0});
    EXPECT_EQ(f.order(), 1);
    EXPECT_EQ(f.apply(1065353216.0), 1.0);     // bits of 1.0f
    EXPECT_EQ(f.apply(1065353216.75), 1.0);    // truncated toward zero
    EXPECT_EQ(f.apply(3225419776.0), -3.0);    // bits of -3.0f
    EXPECT_EQ(f.apply(4294967296.0 + 1065353216.0), 1.0); // high bits dropped
    EXPECT_TRUE(std::isnan(f.apply(2143289344.0))); // a float NaN pattern

    const RawToDouble scaled(std::vector<double>{1.0, 2.0, 0.5});
    EXPECT_EQ(scaled.apply(1073741824.0), 7.0); // x' = 2: 1 + 4 + 2

    // Order 0 never looks at the raw value.
    const RawToDouble constant(std::vector<double>{4.0});
    EXPECT_EQ(constant.apply(kNaN), 4.0);
    EXPECT_EQ(constant.apply(1e300), 4.0);
}

TEST(RawToDouble, OutOfRangeRawValuesAreDefined)
{
    // NaN truncates to 0; values beyond 64 bits saturate.
    EXPECT_EQ(RawToDouble::reinterpretRaw(kNaN), 0.0);
    EXPECT_TRUE(std::isnan(RawToDouble::reinterpretRaw(1e30)));  // INT64_MAX: low bits all ones
    EXPECT_EQ(RawToDouble::reinterpretRaw(-1e30), 0.0);          // INT64_MIN: low bits zero
    EXPECT_TRUE(std::isnan(RawToDouble::reinterpretRaw(kInf)));
    EXPECT_EQ(RawToDouble::reinterpretRaw(-kInf), 0.0);
    EXPECT_TRUE(std::isnan(RawToDouble::reinterpretRaw(-1.0)));  // 0xFFFFFFFF
}

TEST(RawToDouble, HasNoTextForm)
{
    RawToDouble f(std::vector<double>{0.0, 1.0});
    EXPECT_EQ(f.asString(), "");
    f.change(QStringLiteral("0\t5"));
    EXPECT_EQ(f.order(), 1);
    EXPECT_EQ(f.apply(1065353216.0), 1.0);

    const RawToDouble fromText(QStringLiteral("1\t2\t3"));
    EXPECT_EQ(fromText.coefficients(), std::vector<double>(8, 0.0));
    EXPECT_EQ(fromText.order(), 0);
    EXPECT_EQ(fromText.apply(1065353216.0), 0.0);

    EXPECT_EQ(f.equationAsString(), "x = *(float *)&raw_value\ny = K8 * x^7 + K7 * x^6 ... K2 * x + K1");
    EXPECT_EQ(f.description(), "Raw to double");
}

TEST(SaturatingCast, DefinedForEveryDouble)
{
    using nr::truncateSaturating;
    EXPECT_EQ(truncateSaturating<int>(kNaN), 0);
    EXPECT_EQ(truncateSaturating<int>(-2.9), -2);
    EXPECT_EQ(truncateSaturating<int>(2147483647.9), 2147483647);
    EXPECT_EQ(truncateSaturating<int>(2147483648.0), std::numeric_limits<int>::max());
    EXPECT_EQ(truncateSaturating<int>(-2147483648.9), std::numeric_limits<int>::min());
    EXPECT_EQ(truncateSaturating<int>(-kInf), std::numeric_limits<int>::min());
    EXPECT_EQ(truncateSaturating<std::int64_t>(9.3e18), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(truncateSaturating<std::int64_t>(-9.3e18), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(truncateSaturating<std::int64_t>(-4611686018427387904.0), -4611686018427387904LL);
    EXPECT_EQ(truncateSaturating<unsigned>(-0.5), 0u);
    EXPECT_EQ(truncateSaturating<unsigned>(-7.0), 0u);
    EXPECT_EQ(truncateSaturating<unsigned>(5e9), std::numeric_limits<unsigned>::max());
}

TEST(RationalTransferFunc, EvaluatesNumeratorOverDenominator)
{
    const RationalTransferFunc identity;
    EXPECT_EQ(identity.apply(-7.25), -7.25);
    EXPECT_EQ(identity.asString(), "2\t0\t1");

    const RationalTransferFunc f({1.0, 2.0}, {4.0});
    EXPECT_EQ(f.apply(3.0), 1.75);
    EXPECT_EQ(RationalTransferFunc({1.0, 0.0, 1.0}, {0.0, 1.0}).apply(2.0), 2.5);
    EXPECT_EQ(RationalTransferFunc({3.0}).apply(100.0), 3.0);

    // Plain IEEE division; empty lists evaluate to 0.
    EXPECT_EQ(RationalTransferFunc({1.0}, {0.0}).apply(5.0), kInf);
    EXPECT_TRUE(std::isnan(RationalTransferFunc({}, {}).apply(5.0)));
    EXPECT_EQ(RationalTransferFunc({}, {2.0}).apply(5.0), 0.0);

    EXPECT_EQ(identity.equationAsString(), "Rational transfer function");
    EXPECT_EQ(identity.description(), "Rational");
}

TEST(RationalTransferFunc, TextForm)
{
    RationalTransferFunc f;
    f.change(QStringLiteral("2\t1\t2/1\t4"));
    EXPECT_EQ(f.numerator(), (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(f.denominator(), (std::vector<double>{4.0}));
    EXPECT_EQ(f.asString(), "2\t1\t2/1\t4");

    // Without "/" the denominator is 1, and the text has no "/" part.
    f.change(QStringLiteral("1\t5"));
    EXPECT_EQ(f.numerator(), (std::vector<double>{5.0}));
    EXPECT_EQ(f.denominator(), (std::vector<double>{1.0}));
    EXPECT_EQ(f.asString(), "1\t5");

    // Only the part up to a second "/" is the denominator.
    f.change(QStringLiteral("1\t2/1\t4/1\t8"));
    EXPECT_EQ(f.denominator(), (std::vector<double>{4.0}));

    // printf's "%.8g".
    const RationalTransferFunc precise({1.0 / 3.0, 1e9, -0.0}, {2.0, 1e-5});
    EXPECT_EQ(precise.asString(), "3\t0.33333333\t1e+09\t-0/2\t2\t1e-05");
    RationalTransferFunc back;
    back.change(precise.asString());
    EXPECT_EQ(back.numerator().size(), 3u);
    EXPECT_DOUBLE_EQ(back.numerator()[0], 0.33333333);
    EXPECT_EQ(back.denominator(), (std::vector<double>{2.0, 1e-5}));

    // A denominator of one coefficient that is not 1 is written.
    EXPECT_EQ(RationalTransferFunc({1.0}, {2.0}).asString(), "1\t1/1\t2");
    EXPECT_EQ(RationalTransferFunc({1.0}, {1.0, 0.0}).asString(), "1\t1/2\t1\t0");
}

TEST(RationalTransferFunc, ChangeCountIsBoundedByTheText)
{
    RationalTransferFunc f;
    // A count far beyond the fields present reads only what is there.
    f.change(QStringLiteral("4000000000\t1"));
    EXPECT_EQ(f.numerator(), (std::vector<double>{1.0}));
    f.change(QStringLiteral("3\t1\t2/5\t4"));
    EXPECT_EQ(f.numerator(), (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(f.denominator(), (std::vector<double>{4.0}));

    // Unparsable counts are 0; unparsable values are 0.
    f.change(QStringLiteral("x\t1"));
    EXPECT_TRUE(f.numerator().empty());
    EXPECT_EQ(f.apply(3.0), 0.0);
    f.change(QStringLiteral("-2\t1\t1"));
    EXPECT_TRUE(f.numerator().empty());
    f.change(QStringLiteral("2\tfoo\t3"));
    EXPECT_EQ(f.numerator(), (std::vector<double>{0.0, 3.0}));
    f.change(QString());
    EXPECT_TRUE(f.numerator().empty());
    EXPECT_EQ(f.denominator(), (std::vector<double>{1.0}));
}

TEST(ADC2OhmsTransferFunc, IsARationalWithItsOwnTexts)
{
    // The divider that the generic maker builds from K1 = 0 and K2 = 10000.
    const ADC2OhmsTransferFunc ohms({-(0.0 * 10000.0), 10000.0}, {65536.0, -1.0});
    EXPECT_EQ(ohms.apply(32768.0), 10000.0);
    EXPECT_EQ(ohms.equationAsString(), "K2 * (x - K1) / (65536 - x)");
    EXPECT_EQ(ohms.description(), "ADC to Ohms");
    EXPECT_EQ(ohms.asString(), "2\t-0\t10000/2\t65536\t-1");
    EXPECT_EQ(ADC2OhmsTransferFunc().apply(3.0), 3.0);
    EXPECT_EQ(ADC2OhmsTransferFunc({2.0}).apply(3.0), 2.0);
}

} // namespace
