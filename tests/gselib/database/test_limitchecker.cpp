#include "gselib/database/limitchecker.h"

#include "conversion/polytransferfunc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

using GseLib::LimitChecker;

namespace {

LimitChecker checker(unsigned long type, double yellow, double red)
{
    LimitChecker c;
    c.setLimitType(type);
    c.setYellowLimit(yellow);
    c.setRedLimit(red);
    return c;
}

std::shared_ptr<TransferFunc> linear(double k0, double k1)
{
    return std::make_shared<PolyTransferFunc>(k0, k1, 0.0);
}

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

TEST(LimitCheckerType, StageAndComparisonFromTheTypeNumber)
{
    LimitChecker c;
    EXPECT_FALSE(c.isValid());
    EXPECT_EQ(c.persistenceCount(), 1);
    c.setLimitType(14); // SCI, comparison 3
    EXPECT_TRUE(c.isValid());
    EXPECT_EQ(c.valueMode(), 1);
    EXPECT_EQ(c.comparisonType(), 3);
    EXPECT_EQ(c.limitType(), 14u);
    c.setLimitType(4); // inactive; the stage stays as it was
    EXPECT_FALSE(c.isValid());
    EXPECT_EQ(c.valueMode(), 1);
    EXPECT_EQ(c.comparisonType(), 1);

    // An inactive set never reports, whatever its limits.
    for (unsigned long t : {0ul, 4ul, 8ul, 12ul, 16ul})
        for (double v : {-1e9, 0.0, 1e9, NaN})
            EXPECT_EQ(checker(t, 0.0, 0.0).checkLimit(v), 0) << t << " " << v;
}

TEST(LimitCheckerCheck, ComparisonsAndFlags)
{
    const LimitChecker above = checker(5, 10, 20); // raw, value above the limit
    EXPECT_EQ(above.checkLimit(15), LimitChecker::YellowHit);
    EXPECT_EQ(above.checkLimit(25), LimitChecker::YellowHit | LimitChecker::RedHit);
    EXPECT_EQ(above.checkLimit(5), 0);
    EXPECT_EQ(above.checkLimit(10), 0);

    const LimitChecker below = checker(1, 10, 5); // raw, value below the limit
    EXPECT_EQ(below.checkLimit(7), 1);
    EXPECT_EQ(below.checkLimit(3), 3);
    EXPECT_EQ(below.checkLimit(10), 0);

    const LimitChecker equal = checker(9, 1, 2);
    EXPECT_EQ(equal.checkLimit(1), 1);
    EXPECT_EQ(equal.checkLimit(2), 2);
    EXPECT_EQ(equal.checkLimit(1.5), 0);

    LimitChecker differs;
    differs.setLimitType(13);
    differs.setRedLimit(0);
    EXPECT_EQ(differs.checkLimit(1), 2);
    EXPECT_EQ(differs.checkLimit(-1), 2);
    EXPECT_EQ(differs.checkLimit(0), 0);
    EXPECT_EQ(differs.checkLimit(NaN), 2);

    // A type without limits never reports a hit.
    LimitChecker bare;
    bare.setLimitType(5);
    EXPECT_EQ(bare.checkLimit(1e300), 0);
}

TEST(LimitCheckerCheck, ConvertsToTheTestedStage)
{
    auto eng = linear(0, 10); // ENG = 10 x
    auto sci = linear(-5, 1); // SCI = x - 5

    LimitChecker engSet = checker(6, 50, 100); // ENG, above
    engSet.setConversions(eng, sci, false);
    EXPECT_EQ(engSet.checkLimit(6), 1);  // 60
    EXPECT_EQ(engSet.checkLimit(11), 3); // 110
    EXPECT_EQ(engSet.checkLimit(4), 0);  // 40

    LimitChecker sciSet = checker(7, 50, 100); // SCI, above
    sciSet.setConversions(eng, sci, false);
    EXPECT_EQ(sciSet.checkLimit(60), 1); // 55
    EXPECT_EQ(sciSet.checkLimit(6), 0);  // 1
    sciSet.setConversions(eng, sci, true);
    EXPECT_EQ(sciSet.checkLimit(6), 1);   // 10 x 6 - 5 = 55
    EXPECT_EQ(sciSet.checkLimit(11), 3);  // 105
    sciSet.setConversions(nullptr, sci, true);
    EXPECT_EQ(sciSet.checkLimit(60), 1); // no ENG: SCI of the raw value

    // Missing functions leave the value as it is instead of failing.
    LimitChecker none = checker(7, 50, 100);
    EXPECT_EQ(none.checkLimit(60), 1);
    none.setConversions(nullptr, nullptr, true);
    EXPECT_EQ(none.checkLimit(160), 3);
    LimitChecker engNone = checker(6, 50, 100);
    EXPECT_EQ(engNone.checkLimit(60), 1);
}

TEST(LimitCheckerForms, EqualityAndText)
{
    LimitChecker a = checker(5, 10, 20);
    LimitChecker b = checker(5, 10 * (1 + 1e-13), 20);
    b.setConversions(linear(0, 2), nullptr, false);
    EXPECT_EQ(a, b); // functions take no part; limits within 1e-12
    EXPECT_NE(a, checker(5, 10.001, 20));
    EXPECT_NE(a, checker(9, 10, 20));
    LimitChecker noRed;
    noRed.setLimitType(5);
    noRed.setYellowLimit(10);
    EXPECT_NE(a, noRed);
    b.setConversions(nullptr, nullptr, true);
    EXPECT_NE(a, b);

    std::ostringstream os;
    os << checker(6, 1.5, 20);
    EXPECT_EQ(os.str(), "valid=1 has_yellow=1 has_red=1 type=6 valuemode=1 comparison=1 persistence=1 "
                        "yellow_lim=1.5 red_lim=20 sci_from_eng=0 ");
    std::ostringstream empty;
    empty << LimitChecker();
    EXPECT_EQ(empty.str(), "valid=0 has_yellow=0 has_red=0 type=0 valuemode=0 comparison=0 persistence=1 "
                           "yellow_lim=0 red_lim=0 sci_from_eng=0 ");

    EXPECT_TRUE(QMetaType::fromType<GseLib::LimitState>().isValid());
    EXPECT_EQ(static_cast<int>(GseLib::RedLow), -2);
    EXPECT_EQ(static_cast<int>(GseLib::RedHigh), 2);
}
