#include "gselib/database/discretelabels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

using GseLib::DiscreteLabel;
using GseLib::DiscreteLabels;

namespace {

DiscreteLabels labels(const QString& text)
{
    DiscreteLabels l;
    l.fromString(text);
    return l;
}

constexpr long long LL_MAX = std::numeric_limits<long long>::max();
constexpr long long LL_MIN = std::numeric_limits<long long>::min();

} // namespace

TEST(DiscreteLabelText, ValuesRangesAndTheirTextForms)
{
    const DiscreteLabel swapped("3..1=X");
    EXPECT_EQ(swapped.min, DiscreteLabel::Bound(1LL));
    EXPECT_EQ(swapped.max, DiscreteLabel::Bound(3LL));
    EXPECT_TRUE(swapped.swapped);
    EXPECT_EQ(swapped.text, "3..1=X");
    EXPECT_EQ(swapped.label, "X");
    EXPECT_EQ(DiscreteLabel("3..1", "X", "").text, "1..3=X");
    EXPECT_EQ(DiscreteLabel("1..3", "X", "").text, "1..3=X");

    // Without "." a value is tried as an integer only.
    const DiscreteLabel rejected("1e5=X");
    EXPECT_EQ(rejected.min, DiscreteLabel::Bound(0LL));
    EXPECT_EQ(rejected.max, DiscreteLabel::Bound(0LL));
    EXPECT_EQ(rejected.label, "");
    EXPECT_EQ(rejected.text, "1e5=X");

    const DiscreteLabel mixed("1..2.5=X");
    ASSERT_TRUE(std::holds_alternative<double>(mixed.min));
    EXPECT_EQ(std::get<double>(mixed.min), 1.0);
    EXPECT_EQ(std::get<double>(mixed.max), 2.5);

    const DiscreteLabel lone("7");
    EXPECT_EQ(lone.min, DiscreteLabel::Bound(7LL));
    EXPECT_EQ(lone.label, "7");

    const DiscreteLabel fallback("5", "", "FB");
    EXPECT_EQ(fallback.label, "FB");
    EXPECT_EQ(fallback.fallbackLabel, "FB");
    EXPECT_EQ(fallback.text, "5=");

    DiscreteLabel three;
    EXPECT_FALSE(three.fromString("1..2..3", "X", ""));
    EXPECT_EQ(three.label, "");
    EXPECT_FALSE(three.fromString("a..3", "X", ""));
    EXPECT_TRUE(three.fromString("-4", "NEG", ""));
    EXPECT_EQ(three.min, DiscreteLabel::Bound(-4LL));

    EXPECT_TRUE(GseLib::isLongLong("-9223372036854775808"));
    EXPECT_FALSE(GseLib::isLongLong("9223372036854775808"));
    EXPECT_FALSE(GseLib::isLongLong("0x10"));
    EXPECT_TRUE(GseLib::isDouble("2.5"));
    EXPECT_TRUE(GseLib::isDouble("1.0e400"));
    EXPECT_FALSE(GseLib::isDouble("25"));
    EXPECT_FALSE(GseLib::isDouble("1e5"));
    EXPECT_FALSE(GseLib::isDouble("a.b"));
}

TEST(DiscreteLabelContains, IntegerAndFloatingTests)
{
    const DiscreteLabel ints("-2..4=R");
    EXPECT_TRUE(ints.contains(-2LL));
    EXPECT_TRUE(ints.contains(4LL));
    EXPECT_FALSE(ints.contains(5LL));
    EXPECT_TRUE(ints.contains(4.0));
    EXPECT_FALSE(ints.contains(4.5));

    // Floating bounds compare with a relative tolerance of 1e-12; integer
    // tests truncate the bounds toward zero.
    const DiscreteLabel fl("0.1..0.3=F");
    EXPECT_TRUE(fl.contains(0.1 + 0.2));
    EXPECT_TRUE(fl.contains(0.1));
    EXPECT_FALSE(fl.contains(0.3000001));
    EXPECT_FALSE(fl.contains(0.0999999));
    EXPECT_TRUE(fl.contains(0LL));
    EXPECT_FALSE(fl.contains(1LL));
    const DiscreteLabel neg("-2.7..-1.5=N");
    EXPECT_TRUE(neg.contains(-2LL));
    EXPECT_FALSE(neg.contains(-3LL));
    EXPECT_EQ(neg.minValue(), -2.7);
    EXPECT_EQ(neg.maxValue(), -1.5);
}

TEST(DiscreteLabelContains, HugeBoundsSaturate)
{
    // Bounds beyond the 64-bit range (or infinite) saturate instead of being
    // converted with undefined behaviour.
    const DiscreteLabel big("1.0e30..1.0e400=BIG");
    EXPECT_TRUE(std::isinf(big.maxValue()));
    EXPECT_TRUE(big.contains(LL_MAX));
    EXPECT_FALSE(big.contains(LL_MAX - 1));
    EXPECT_TRUE(big.contains(1e300));

    const DiscreteLabel low("-1.0e400..-0.5=LOW");
    EXPECT_TRUE(low.contains(LL_MIN));
    EXPECT_TRUE(low.contains(0LL)); // -0.5 truncates to 0
    EXPECT_FALSE(low.contains(1LL));

    const QMap<long long, QString> m = labels("1.0e30..1.0e400=BIG;-1.0e400..-2.5=LOW").toMap();
    EXPECT_EQ(m.value(LL_MAX), "BIG Max"); // both ends of BIG land on the largest key
    EXPECT_EQ(m.value(LL_MIN), "LOW Min");
    EXPECT_EQ(m.value(-2), "LOW Max");
}

TEST(DiscreteLabelsList, OrderLookupAndTextForms)
{
    const DiscreteLabels l = labels("5=B;1=A");
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l.at(0).label, "A");
    EXPECT_EQ(l.toString(), "1=A;5=B");
    EXPECT_EQ(l.label(5LL), "B");
    EXPECT_EQ(l.label(3LL), "");

    const DiscreteLabels overlap = labels("0..3=LOW;2=TWO");
    EXPECT_EQ(overlap.label(2LL), "LOW");
    EXPECT_EQ(overlap.label(2.0), "LOW");
    EXPECT_EQ(overlap.label(3.5), "");

    // Equal lower bounds keep their insertion order.
    const DiscreteLabels ties = labels("2..9=FIRST;2=SECOND;1.5..2=THIRD");
    EXPECT_EQ(ties.toString(), "1.5..2=THIRD;2..9=FIRST;2=SECOND");

    // A trailing ";" adds an empty label at 0, which sorts first and is not
    // written with a separator.
    const DiscreteLabels trailing = labels("1=A;");
    ASSERT_EQ(trailing.size(), 2u);
    EXPECT_EQ(trailing.at(0).label, "");
    EXPECT_EQ(trailing.at(0).text, "");
    EXPECT_EQ(trailing.toString(), "1=A");
    EXPECT_EQ(trailing.label(0LL), "");

    DiscreteLabels reused = labels("9=Z");
    reused.fromString("1=A");
    EXPECT_EQ(reused.size(), 1u);

    const auto v = labels("0..3=LOW;5=ON").toVector();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], std::make_tuple(0.0, 3.0, QString("LOW")));
    EXPECT_EQ(v[1], std::make_tuple(5.0, 5.0, QString("ON")));

    const QMap<long long, QString> m = labels("0..3=LOW;5=ON;3=THREE").toMap();
    EXPECT_EQ(m.value(0), "LOW Min");
    EXPECT_EQ(m.value(3), "THREE"); // the later label replaces "LOW Max"
    EXPECT_EQ(m.value(5), "ON");
    EXPECT_EQ(m.size(), 3);
}

// Reading a list orders it exactly as inserting its labels one by one would,
// NaN bounds included, and does so without a cost that grows with the square
// of the list (a long cell would otherwise stall the load for minutes).
TEST(DiscreteLabelsList, ReadingOrdersAsInsertingOneByOne)
{
    const QStringList values{"3",       "1",         "2",        "nan..1.5", "-2",      "2",
                             "0.5..4",  "nan..-1.5", "-inf..0.5", "7",       "2..1",    "inf..nan",
                             "x",       "1.5..nan",  "-7",       "nan..0.0", "1e5",     "0"};
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 300; ++round) {
        QStringList pieces;
        const int n = 1 + static_cast<int>(next() % 12);
        for (int i = 0; i < n; ++i)
            pieces << QStringLiteral("%1=L%2").arg(values[static_cast<int>(next() % values.size())]).arg(i);
        const QString text = pieces.join(';');
        DiscreteLabels oneByOne;
        for (const QString& piece : pieces)
            oneByOne.insert(DiscreteLabel(piece));
        EXPECT_EQ(labels(text).toString(), oneByOne.toString()) << text.toStdString();
    }

    // Equal bounds, then falling bounds: both used to take minutes at this size.
    QStringList same;
    QStringList falling;
    for (int i = 0; i < 300000; ++i) {
        same << QStringLiteral("5=S%1").arg(i);
        falling << QStringLiteral("%1=F").arg(300000 - i);
    }
    const DiscreteLabels s = labels(same.join(';'));
    ASSERT_EQ(s.size(), 300000u);
    EXPECT_EQ(s.at(0).label, "S0");
    EXPECT_EQ(s.at(299999).label, "S299999");
    const DiscreteLabels f = labels(falling.join(';'));
    ASSERT_EQ(f.size(), 300000u);
    EXPECT_EQ(f.at(0).text, "1=F");
    EXPECT_EQ(f.at(299999).text, "300000=F");
}

TEST(DiscreteLabelsList, Equality)
{
    // Text form and swap flag take no part; bounds compare as doubles.
    EXPECT_EQ(DiscreteLabel("3..1=X"), DiscreteLabel("1..3=X"));
    EXPECT_EQ(DiscreteLabel("1..3=X"), DiscreteLabel("1.0..3.0=X"));
    EXPECT_NE(DiscreteLabel("1..3=X"), DiscreteLabel("1..3=Y"));
    EXPECT_NE(DiscreteLabel("5", "", "FB"), DiscreteLabel("5=FB"));
    EXPECT_EQ(labels("1=A;2=B"), labels("2=B;1=A"));
    EXPECT_NE(labels("1=A;2=B"), labels("1=A"));
    EXPECT_EQ(labels(""), labels(""));
}
