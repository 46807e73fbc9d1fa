#include "gselib/database/applywhen.h"
#include "gselib/interpretation/datainterpretation.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <sstream>
#include <vector>

using GseLib::ApplyWhen;
using GseLib::Range;

TEST(ApplyWhenText, ParsesAndWritesBack)
{
    TestSupport::LogCapture log;
    const ApplyWhen aw = ApplyWhen::fromString("12=1..3;14=0");
    ASSERT_EQ(aw.size(), 2u);
    EXPECT_EQ(aw.conditions()[0], (ApplyWhen::Condition{12, Range<long long>(1, 3)}));
    EXPECT_EQ(aw.conditions()[1], (ApplyWhen::Condition{14, Range<long long>(0, 0)}));
    EXPECT_EQ(GseLib::to_string(aw), "12=1..3;14=0..0;");
    std::ostringstream os;
    os << aw;
    EXPECT_EQ(os.str(), "12=1..3;14=0..0;");
    EXPECT_EQ(GseLib::to_string(ApplyWhen()), "");

    // Written text reads back to the same list.
    EXPECT_EQ(ApplyWhen::fromString(QString::fromStdString(GseLib::to_string(aw))), aw);

    EXPECT_EQ(ApplyWhen::fromString(";;7=-5..-9;;").conditions(),
              (std::vector<ApplyWhen::Condition>{{7, Range<long long>(-9, -5)}}));
    EXPECT_EQ(ApplyWhen::fromString("1=-9223372036854775808..9223372036854775807").conditions()[0].range,
              Range<long long>(std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max()));
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST(ApplyWhenText, SwappedAndBadBounds)
{
    TestSupport::LogCapture log;
    EXPECT_EQ(ApplyWhen::fromString("12=3..1").conditions()[0].range, Range<long long>(1, 3));

    const ApplyWhen bad = ApplyWhen::fromString("12=a..3;x=4;5=0x10");
    ASSERT_EQ(bad.size(), 3u);
    EXPECT_EQ(bad.conditions()[0], (ApplyWhen::Condition{12, Range<long long>(0, 3)}));
    // An id that is not a number counts as 0; it is not a bound, so no message.
    EXPECT_EQ(bad.conditions()[1], (ApplyWhen::Condition{0, Range<long long>(4, 4)}));
    // Bounds are decimal only.
    EXPECT_EQ(bad.conditions()[2], (ApplyWhen::Condition{5, Range<long long>(0, 0)}));
    EXPECT_EQ(log.texts("ApplyWhen", WARN),
              (QStringList{"Failed to convert apply when string:12=a..3", "Failed to convert apply when string:5=0x10"}));
}

TEST(ApplyWhenList, EditingAndEquality)
{
    ApplyWhen a;
    a.addCondition(3, Range<long long>(1, 2));
    ApplyWhen b = ApplyWhen::fromString("3=1..2");
    EXPECT_EQ(a, b);
    b.addCondition(4, Range<long long>(0, 0));
    EXPECT_NE(a, b);
    ApplyWhen c = ApplyWhen::fromString("3=1..3");
    EXPECT_NE(a, c);
    b.clear();
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b, ApplyWhen());
}

TEST(ApplyWhenPasses, RawValuesAgainstTheRanges)
{
    const ApplyWhen aw = ApplyWhen::fromString("12=1..3;14=-2..-1");
    std::map<int, double> values{{12, 2.9}, {14, -1.9}};
    std::vector<int> asked;
    auto rawValue = [&](int id, bool* ok) {
        asked.push_back(id);
        const auto it = values.find(id);
        *ok = it != values.end();
        return *ok ? it->second : 0.0;
    };
    EXPECT_TRUE(aw.passes(rawValue)); // 2.9 tests as 2, -1.9 as -1
    EXPECT_EQ(asked, (std::vector<int>{12, 14}));

    values[12] = 3.99;
    EXPECT_TRUE(aw.passes(rawValue));
    values[12] = 4.0;
    asked.clear();
    EXPECT_FALSE(aw.passes(rawValue));
    EXPECT_EQ(asked, std::vector<int>{12}); // stops at the first failing condition
    values[12] = 0.5;                       // truncates to 0
    EXPECT_FALSE(aw.passes(rawValue));
    values[12] = 1;
    values[14] = -2.5; // truncates to -2
    EXPECT_TRUE(aw.passes(rawValue));
    values.erase(14); // not carried by the packet
    EXPECT_FALSE(aw.passes(rawValue));

    // NaN fails; huge values saturate instead of overflowing.
    const ApplyWhen wide = ApplyWhen::fromString("1=0..9223372036854775807;2=-9223372036854775808..0");
    values = {{1, std::numeric_limits<double>::quiet_NaN()}, {2, -1e300}};
    EXPECT_FALSE(wide.passes(rawValue));
    values[1] = 1e300;
    EXPECT_TRUE(wide.passes(rawValue));
    values[1] = std::numeric_limits<double>::infinity();
    values[2] = -std::numeric_limits<double>::infinity();
    EXPECT_TRUE(wide.passes(rawValue));
    values[1] = -0.5;
    EXPECT_TRUE(wide.passes(rawValue));
    EXPECT_FALSE(ApplyWhen::fromString("1=1..2").passes(rawValue)); // -0.5 tests as 0

    EXPECT_TRUE(ApplyWhen().passes(rawValue));
}

TEST(ApplyWhenPasses, ThroughTheInterpretationHub)
{
    TestSupport::LogCapture log;
    GseLib::DataInterpretation hub;
    EXPECT_TRUE(ApplyWhen().passes(&hub, nullptr));
    EXPECT_TRUE(ApplyWhen().passes(nullptr, nullptr));
    // A data id the hub cannot decode from the packet fails the condition.
    EXPECT_FALSE(ApplyWhen::fromString("12=0..100").passes(&hub, nullptr));
    EXPECT_FALSE(ApplyWhen::fromString("12=0..100").passes(nullptr, nullptr));
}
