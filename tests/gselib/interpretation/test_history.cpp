#include "gselib/interpretation/history.h"

#include "support/qtprinters.h"

#include <QDataStream>
#include <QDebug>
#include <QIODevice>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using Tools::MovingRegression;
using Tools::MovingStats;
using Zevo::History;

namespace {

std::vector<double> timesOf(const History& h)
{
    return {h.times().begin(), h.times().end()};
}

std::vector<double> valuesOf(const History& h)
{
    return {h.values().begin(), h.values().end()};
}

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

} // namespace

TEST(History, WithoutLimitsKeepsNothing)
{
    History h(7, 0, 0.0);
    h.addValue(1.0, 10.0);
    h.addValue(QPointF(2.0, 20.0));
    History negativeSpan(7, 0, -3.0);
    negativeSpan.addValue(1.0, 1.0);
    for (const History* x : {&h, &negativeSpan}) {
        EXPECT_EQ(x->size(), 0u);
        EXPECT_EQ(x->mean(), 0.0);
        EXPECT_EQ(x->sum(), 0.0);
        EXPECT_EQ(x->maximum(), 0.0);
        EXPECT_EQ(x->minimum(), 0.0);
        EXPECT_TRUE(std::isnan(x->rate()));
    }
    const History byDefault;
    EXPECT_EQ(byDefault.id(), 0);
    EXPECT_EQ(byDefault.maxCount(), 0u);
    EXPECT_EQ(byDefault.maxSpan(), 0.0);
}

TEST(History, CountLimitKeepsTheNewestPairs)
{
    History h(1, 3, 0.0);
    for (int i = 1; i <= 4; ++i)
        h.addValue(i, 10.0 * i);
    EXPECT_EQ(timesOf(h), (std::vector<double>{2, 3, 4}));
    EXPECT_EQ(valuesOf(h), (std::vector<double>{20, 30, 40}));
    EXPECT_DOUBLE_EQ(h.minimum(), 20.0);
    EXPECT_DOUBLE_EQ(h.maximum(), 40.0);
    EXPECT_DOUBLE_EQ(h.mean(), 30.0);
    EXPECT_DOUBLE_EQ(h.sum(), 90.0);
    EXPECT_DOUBLE_EQ(h.sumOfSquares(), 200.0);
    EXPECT_DOUBLE_EQ(h.rate(), 10.0);
    EXPECT_EQ(h.null(), 0.0);
}

TEST(History, SpanLimitIsMeasuredFromTheNewestTime)
{
    History h(1, 0, 5.0);
    h.addValue(0, 1);
    h.addValue(3, 2);
    h.addValue(6, 3); // 6 - 0 > 5
    EXPECT_EQ(timesOf(h), (std::vector<double>{3, 6}));
    h.addValue(11, 4); // 11 - 6 = 5 is not greater than 5
    EXPECT_EQ(timesOf(h), (std::vector<double>{6, 11}));
    // Both directions: a pair far in the past of the oldest empties the window but itself.
    h.addValue(-100, 5);
    EXPECT_EQ(timesOf(h), (std::vector<double>{-100}));
    EXPECT_TRUE(std::isnan(h.rate()));
}

TEST(History, RateIsNanForEqualTimesAndSinglePairs)
{
    History h(1, 10, 0.0);
    h.addValue(5, 1);
    EXPECT_TRUE(std::isnan(h.rate()));
    h.addValue(5, 2);
    h.addValue(5, 9);
    EXPECT_TRUE(std::isnan(h.rate()));
    // Equal times left behind after removals (M2 of the times may hold rounding).
    History g(1, 2, 0.0);
    g.addValue(1.1, 1);
    g.addValue(7.3, 2);
    g.addValue(7.3, 3);
    EXPECT_TRUE(std::isnan(g.rate()));
}

TEST(MovingStats, RemovingTheOnlyMinimumOrMaximumRescans)
{
    MovingRegression r;
    const double ys[] = {1, 5, 3, 9, 2};
    for (int i = 0; i < 5; ++i)
        r.push_back(i, ys[i]);
    EXPECT_EQ(r.y().minimum(), 1.0);
    EXPECT_EQ(r.y().maximum(), 9.0);
    r.pop_front(); // 1, the only minimum, goes
    EXPECT_EQ(r.y().minimum(), 2.0);
    EXPECT_EQ(r.y().maximum(), 9.0);
    r.pop_front();
    r.pop_front();
    r.pop_front(); // 9 goes
    EXPECT_EQ(r.y().maximum(), 2.0);
    EXPECT_EQ(r.y().minimum(), 2.0);
    r.pop_front();
    EXPECT_EQ(r.count(), 0u);
    const MovingStats& y = r.y();
    for (double n : {y.mean(), y.previousMean(), y.m2(), y.previousM2(), y.minimum(), y.maximum(), r.comoment()})
        EXPECT_EQ(n, 0.0);
    r.pop_front(); // on an empty window: nothing
    EXPECT_EQ(r.count(), 0u);
}

TEST(MovingStats, ValueBothMinimumAndMaximumRescansBoth)
{
    MovingStats s;
    s.push_back(4);
    s.push_back(4);
    s.push_back(7);
    s.push_back(-1);
    s.pop_front(); // 4 is neither: extremes stay
    EXPECT_EQ(s.minimum(), -1.0);
    EXPECT_EQ(s.maximum(), 7.0);
    MovingStats one;
    one.push_back(3);
    one.push_back(8);
    one.push_back(5);
    one.pop_front(); // was the minimum only
    EXPECT_EQ(one.minimum(), 5.0);
    EXPECT_EQ(one.maximum(), 8.0);
    MovingStats same;
    same.push_back(2);
    same.push_back(6);
    same.push_back(-4);
    same.push_back(2);
    same.pop_front();
    same.pop_front();
    same.pop_front(); // only 2 left: was min and max of nothing, both rescanned to 2
    EXPECT_EQ(same.minimum(), 2.0);
    EXPECT_EQ(same.maximum(), 2.0);
    EXPECT_DOUBLE_EQ(same.mean(), 2.0); // removals round
    EXPECT_EQ(same.previousMean(), same.mean());
    EXPECT_EQ(same.previousM2(), same.m2());
}

TEST(History, SavedFormIsBigEndianMarkerVersionCountPairs)
{
    History h(3, 10, 0.0);
    h.addValue(1.0, -2.0);
    h.addValue(2.5, 0.5);
    const QByteArray expected = hex("deadbeef"
                                    "00000001"
                                    "0000000000000002"
                                    "3ff0000000000000"
                                    "c000000000000000"
                                    "4004000000000000"
                                    "3fe0000000000000");
    EXPECT_EQ(h.saveValues().toHex(), expected.toHex());
    EXPECT_EQ(History().saveValues().toHex(), QByteArray("deadbeef000000010000000000000000"));

    History back(3, 10, 0.0);
    ASSERT_TRUE(back.restoreValues(h.saveValues()));
    EXPECT_EQ(back, h);
    EXPECT_EQ(timesOf(back), timesOf(h));
    EXPECT_EQ(valuesOf(back), valuesOf(h));
}

TEST(History, RestoreAppliesTheCurrentLimits)
{
    History h(1, 10, 0.0);
    for (int i = 0; i < 6; ++i)
        h.addValue(i, i * i);
    History small(1, 2, 0.0);
    small.addValue(100, 100);
    ASSERT_TRUE(small.restoreValues(h.saveValues()));
    EXPECT_EQ(timesOf(small), (std::vector<double>{4, 5}));
    EXPECT_EQ(valuesOf(small), (std::vector<double>{16, 25}));
    EXPECT_EQ(small.id(), 1);
    EXPECT_EQ(small.maxCount(), 2u);
}

TEST(History, RestoreOfDamagedData)
{
    History h(1, 10, 0.0);
    h.addValue(1, 1);
    h.addValue(2, 3);
    const QByteArray saved = h.saveValues();

    History target(1, 10, 0.0);
    target.addValue(9, 9);
    EXPECT_FALSE(target.restoreValues(QByteArray())); // empty: pairs kept
    EXPECT_EQ(timesOf(target), (std::vector<double>{9}));

    struct Case {
        const char* name;
        QByteArray bytes;
        bool result;
        std::vector<double> times;
    };
    QByteArray wrongVersion = saved;
    wrongVersion[7] = 2;
    QByteArray hugeCount = saved;
    hugeCount.replace(8, 8, hex("7fffffffffffffff"));
    const std::vector<Case> cases = {
        {"wrong marker", hex("deadbeee00000001"), false, {}},
        {"marker cut", hex("dead"), false, {}},
        {"wrong version", wrongVersion, false, {}},
        {"no count", saved.left(8), true, {}},
        {"last pair cut", saved.left(saved.size() - 1), true, {1}},
        {"count larger than the pairs", hugeCount, true, {1, 2}},
        {"count smaller than the pairs", saved.left(8) + hex("0000000000000001") + saved.mid(16), true, {1}},
    };
    for (const Case& c : cases) {
        History t(1, 10, 0.0);
        t.addValue(9, 9);
        EXPECT_EQ(t.restoreValues(c.bytes), c.result) << c.name;
        EXPECT_EQ(timesOf(t), c.times) << c.name;
    }
}

TEST(History, EqualityComparesIdLimitsAndStatistics)
{
    History a(1, 5, 2.0);
    History b(1, 5, 2.0);
    a.addValue(1, 2);
    b.addValue(1, 2);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, History(2, 5, 2.0));
    History c(1, 5, 2.0);
    c.addValue(1, 2.0 + 1e-9);
    EXPECT_NE(a, c);
    History d(1, 5, 2.0);
    d.addValue(1, 2.0 * (1 + 1e-15)); // within 1e-12
    EXPECT_EQ(a, d);
    History nanSpan(1, 5, std::nan(""));
    EXPECT_NE(nanSpan, nanSpan);
    EXPECT_NE(a, History(1, 6, 2.0));
}

TEST(History, StreamOperatorsCarryOnlyThePairs)
{
    History h(4, 8, 0.0);
    h.addValue(1, 5);
    h.addValue(2, 7);
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << h;
    }
    const QByteArray saved = h.saveValues();
    EXPECT_EQ(bytes, hex("00000030") + saved); // 32-bit length (48), then the bytes
    History back(9, 1, 0.0);
    QDataStream in(bytes);
    in >> back;
    EXPECT_EQ(back.id(), 9);
    EXPECT_EQ(timesOf(back), (std::vector<double>{2}));

    QString text;
    QDebug(&text) << h;
    EXPECT_EQ(text, QString("size= 2  max= 7  min= 5  mean= 6  rate= 2  sum= 12  sumOfSquares= 2 ")); // the debug stream's own spacing
}
