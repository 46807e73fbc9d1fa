#include "gselib/interpretation/history.h"

#include "support/qtprinters.h"

#include <QDataStream>
#include <QDebug>
#include <QIODevice>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
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

TEST(History, NonFinitePairsAreNotAdded)
{
    // A NaN time never leaves a span-limited window (|t - NaN| > span is
    // false), so it would hold every later pair; a NaN or infinity would stay
    // in the running sums after its pair left. Such pairs are dropped.
    const double nan = std::nan("");
    const double inf = HUGE_VAL;
    struct Case {
        const char* name;
        double time, value;
    };
    for (const Case& c : {Case{"NaN time", nan, 1}, Case{"NaN value", 1, nan}, Case{"infinite time", inf, 1},
                          Case{"infinite value", 1, -inf}}) {
        History h(1, 0, 5.0);
        h.addValue(c.time, c.value);
        for (int t = 0; t <= 100; ++t)
            h.addValue(t, 2.0 * t);
        EXPECT_EQ(timesOf(h), (std::vector<double>{95, 96, 97, 98, 99, 100})) << c.name;
        EXPECT_DOUBLE_EQ(h.mean(), 195.0) << c.name;
        EXPECT_DOUBLE_EQ(h.minimum(), 190.0) << c.name;
        EXPECT_DOUBLE_EQ(h.rate(), 2.0) << c.name;
    }
    // The same through a saved form read from a file.
    History source(1, 10, 0.0);
    source.addValue(1, 1);
    QByteArray saved = source.saveValues();
    saved.replace(16, 8, hex("7ff8000000000000")); // the pair's time becomes a quiet NaN
    History back(1, 0, 5.0);
    ASSERT_TRUE(back.restoreValues(saved));
    EXPECT_EQ(back.size(), 0u);
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

namespace {

struct Reference {
    int step;
    uint64_t count;
    double minimum, maximum, mean, sum, m2, rate;
};

// Made by scripts/gen_history_reference.py (exact fractions, checked against
// Python's statistics.fmean, pvariance and linear_regression): the window of
// count 50 and span 30 s after every 20th of the 2,000 pairs below.
const Reference REFERENCE[] = {
    {20, 20, 492.16300000000001, 519.28500000000008, 505.75370000000004, 10115.074000000001, 1450.8754242000066, 0.98537647893095281},
    {40, 26, 503.20300000000003, 529.93250000000012, 516.6160000000001, 13432.016000000001, 828.5549200000055, 0.20449204112504424},
    {60, 34, 513.13550000000009, 536.97749999999996, 524.90186764705891, 17846.663500000002, 1881.9889151544003, 0.60397575852550967},
    {80, 35, 519.06000000000017, 545.70850000000019, 533.15438571428581, 18660.403500000004, 1218.6018035428588, 0.35305916880219984},
    {100, 35, 527.65000000000009, 557.8225000000001, 540.84337142857157, 18929.518000000004, 1557.9537071714194, 0.50890062647266854},
    {120, 30, 540.34850000000006, 562.80450000000008, 551.25976666666679, 16537.793000000001, 1357.1379983666725, 0.43941041650693868},
    {140, 25, 548.375, 579.85699999999997, 564.12108000000001, 14103.027, 1798.6593968399923, 0.71933546025472095},
    {160, 33, 558.65499999999997, 585.46100000000001, 575.04534848484843, 18976.496500000001, 1287.9349097424245, 0.44341100604064559},
    {180, 34, 571.82399999999996, 596.91549999999984, 581.79661764705872, 19781.084999999999, 1143.3163615294068, 0.3790682400652356},
    {200, 27, 580.77249999999981, 603.37549999999976, 592.34962962962936, 15993.439999999993, 840.81221829629067, 0.29473755132223994},
    {220, 46, 580.77249999999981, 612.12849999999946, 597.92617826086928, 27504.604199999987, 3235.5971859581996, 0.61959960718606288},
    {240, 50, 587.98899999999969, 612.12849999999946, 601.97537299999954, 30098.768649999976, 2247.1947352610323, 0.97178156142610361},
    {260, 50, 592.54909999999961, 614.19664999999918, 603.34807999999941, 30167.40399999997, 1487.4608922599891, 0.65933276667409391},
    {280, 50, 593.87749999999949, 614.19664999999918, 604.43824999999936, 30221.912499999966, 1214.2968903849917, 0.59009003988303799},
    {300, 50, 596.17954999999927, 615.09259999999904, 605.90364599999918, 30295.18229999996, 1332.1485910191859, 1.2285613924406793},
    {320, 50, 597.61394999999891, 615.61919999999907, 606.99395799999911, 30349.697899999956, 1227.3908261567915, 0.66197634956735973},
    {340, 50, 597.61394999999891, 616.03469999999879, 607.70979299999897, 30385.489649999949, 1540.6085462300514, 0.14848560221188861},
    {360, 50, 599.09844999999893, 618.28869999999893, 608.05480299999886, 30402.740149999943, 1489.599334852054, 0.19876114480485252},
    {380, 50, 599.09844999999893, 620.10494999999912, 609.08963399999891, 30454.481699999946, 1842.821232067211, 0.42336162942041006},
    {400, 50, 599.65099999999882, 620.58219999999926, 610.7584169999991, 30537.920849999955, 2158.0489948930967, 1.8177918571567091},
    {420, 50, 600.45149999999899, 630.33019999999919, 614.11749799999916, 30705.874899999959, 2465.3580811648071, 0.37101434911004416},
    {440, 28, 610.79219999999918, 640.16919999999914, 625.93998571428494, 17526.319599999977, 1871.9617942142861, 0.6218648638416423},
    {460, 34, 618.1711999999992, 647.55369999999937, 634.07452352941107, 21558.533799999976, 1779.5404244411905, 0.4933103714864438},
    {480, 35, 628.36169999999936, 655.95969999999954, 640.41025714285661, 22414.358999999982, 1837.9321338857299, 0.54763909451584891},
    {500, 30, 636.62869999999953, 664.49269999999933, 652.18196666666609, 19565.458999999984, 2128.1789698666398, 0.66775296489207447},
    {520, 31, 647.15669999999932, 676.37769999999944, 664.05366774193487, 20585.663699999983, 1598.2974589677553, 0.46922259827496698},
    {540, 36, 656.18719999999939, 682.8081999999996, 670.28654722222177, 24130.315699999985, 1512.9372054097335, 0.34070289557232564},
    {560, 29, 668.08519999999965, 696.17469999999992, 681.22535517241351, 19755.535299999992, 1904.1531715517588, 0.67289448405243568},
    {580, 25, 682.2281999999999, 707.89069999999981, 695.70925999999986, 17392.731499999994, 1196.7716016599916, 0.43939871984558243},
    {600, 28, 688.75869999999975, 717.89919999999984, 705.21841428571406, 19746.115599999994, 1099.372548714286, 0.47000955434708735},
    {620, 45, 694.99469999999985, 722.58514999999989, 710.02859111111093, 31951.286599999992, 2192.8179552264496, 0.50472076917855102},
    {640, 50, 703.72154999999975, 724.02374999999984, 713.26941899999986, 35663.470949999988, 1658.6980052094616, 0.49339754213583958},
    {660, 50, 703.72154999999975, 724.4554499999997, 714.42791399999976, 35721.395699999986, 1361.6208347152058, -0.69242113968540386},
    {680, 50, 704.56754999999976, 725.86259999999982, 715.34505899999976, 35767.252949999987, 1776.1786108584472, 1.7017024583968696},
    {700, 50, 706.81199999999978, 726.2371499999997, 716.24601399999972, 35812.300699999985, 1535.0079190752044, 0.6546158634141912},
    {720, 50, 707.26394999999957, 726.2371499999997, 716.40599499999973, 35820.299749999984, 1514.5035059262527, -0.5787922154616405},
    {740, 50, 708.19109999999978, 724.87414999999976, 716.91173499999979, 35845.586749999988, 1321.6201167262543, 0.50584804297285724},
    {760, 50, 708.40984999999978, 728.53719999999976, 718.20335599999976, 35910.167799999988, 1502.1581814882013, 0.45253074422079587},
    {780, 50, 710.49029999999971, 730.07489999999973, 719.02030499999967, 35951.015249999982, 1574.1479047712514, 0.036316465337792043},
    {800, 50, 711.57619999999963, 731.73024999999973, 721.04095199999972, 36052.047599999984, 1843.0638174098185, 1.4669891375105006},
    {820, 50, 711.57619999999963, 739.18329999999969, 723.03738799999974, 36151.869399999989, 2186.1568585778036, 0.31141215471057804},
    {840, 37, 715.62429999999983, 742.53379999999959, 730.74627297297263, 27037.612099999988, 2371.0895769729309, 0.62263288856212018},
    {860, 34, 726.37629999999967, 754.49179999999967, 739.69479999999953, 25149.623199999984, 1942.5506754999958, 0.51461131991978482},
    {880, 32, 735.76379999999949, 766.20879999999954, 752.08444062499962, 24066.702099999988, 2535.0949086171845, 0.76126812388964482},
    {900, 31, 750.31379999999956, 774.33629999999971, 762.54550967741898, 23638.910799999987, 1275.4344838871079, 0.32712982032524285},
    {920, 32, 754.70729999999969, 785.79579999999987, 770.94148749999965, 24670.127599999989, 1725.8507333750092, 0.54371282028347234},
    {940, 36, 763.11729999999977, 790.77529999999979, 778.13795277777763, 28012.966299999993, 1825.5319999097335, 0.46099178025987436},
    {960, 37, 772.8187999999999, 801.02480000000014, 785.11492162162153, 29049.252099999998, 1466.8942452027286, 0.38952532137919516},
    {980, 37, 780.9437999999999, 807.40380000000005, 794.18034054054067, 29384.672600000005, 2012.972619189213, 0.6147439325250047},
    {1000, 37, 792.39280000000019, 818.52780000000018, 802.1640162162164, 29680.068600000006, 1253.8174417702717, 0.36892187660585335},
    {1020, 50, 795.3533000000001, 821.0725000000001, 806.78891200000021, 40339.445600000006, 2810.7460060928056, 0.54171287856115169},
    {1040, 50, 797.16680000000019, 821.21990000000028, 811.51414500000021, 40575.707250000014, 2239.8266313062431, 0.83111861326420644},
    {1060, 50, 802.46910000000025, 821.96285000000023, 812.82502400000021, 40641.251200000013, 2141.0441579461867, 0.058540361431741884},
    {1080, 50, 803.24235000000022, 821.96285000000023, 812.54296500000021, 40627.148250000013, 1896.6877182862493, -0.32923351633668513},
    {1100, 50, 803.47540000000038, 823.14020000000028, 811.91490900000019, 40595.745450000009, 1761.2733637034507, -0.078436491535549324},
    {1120, 50, 805.01770000000033, 826.10960000000034, 814.64556900000025, 40732.278450000013, 2291.0373232294637, 1.2982725226419918},
    {1140, 50, 805.12830000000031, 826.17345000000023, 815.98104800000021, 40799.052400000015, 2151.1484774948058, 0.49783810499371073},
    {1160, 50, 808.1210500000002, 828.46555000000012, 816.66956600000015, 40833.47830000001, 1798.0173232571951, 0.46057014667329993},
    {1180, 50, 808.89700000000005, 828.46555000000012, 816.52453700000012, 40826.226850000006, 1623.1208888440428, 0.11901072677722593},
    {1200, 50, 808.89700000000005, 829.12904999999989, 816.73010299999999, 40836.505150000005, 1948.5519004620501, -0.50732752378782686},
    {1220, 50, 808.89700000000005, 839.77685000000008, 820.13567899999998, 41006.783950000005, 3352.8624673454765, 0.70434391245297012},
    {1240, 30, 821.15835000000015, 845.09834999999998, 833.31570000000011, 24999.471000000001, 1091.8611295749931, 0.33253811371256048},
    {1260, 29, 831.93984999999998, 857.71935000000008, 844.5639879310346, 24492.355650000005, 1565.2509854482753, 0.56296705327688557},
    {1280, 33, 841.33785000000023, 864.45435000000032, 853.41203181818207, 28162.597050000008, 1168.2842209090975, 0.37469280131693461},
    {1300, 30, 847.56035000000043, 879.47135000000037, 862.41405000000043, 25872.421500000011, 1878.0363743000125, 0.57537188647887327},
    {1320, 32, 854.96585000000039, 888.40885000000048, 873.88983437500042, 27964.474700000013, 2311.1384072421884, 0.7076557083414613},
    {1340, 26, 873.35835000000043, 898.0378500000005, 885.57046538461589, 23024.832100000014, 976.89658465385105, 0.37172883814585805},
    {1360, 32, 876.29485000000057, 905.64035000000035, 893.19952187500041, 28582.384700000013, 1664.8301603046664, 0.4629092143313091},
    {1380, 32, 890.18785000000037, 916.69485000000009, 902.53367812500028, 28881.077700000009, 1641.6083438046639, 0.49469794898128761},
    {1400, 33, 895.8108500000003, 926.83885000000021, 910.13659242424262, 30034.507550000006, 1624.4616940605856, 0.50012722110429897},
    {1420, 50, 897.97985000000028, 928.49330000000032, 914.31217700000025, 45715.608850000011, 2675.1740751210396, 0.5082026168093724},
    {1440, 50, 906.64785000000018, 930.59805000000028, 919.52832800000022, 45976.416400000009, 2243.1883369308225, 0.9942766602476274},
    {1460, 50, 910.34425000000022, 931.25170000000037, 921.94421700000032, 46097.210850000018, 1747.2577177230564, 0.5995762969956776},
    {1480, 50, 911.2782500000003, 931.25170000000037, 921.66468000000043, 46083.234000000019, 1633.6751753999959, -0.62797591897737026},
    {1500, 50, 911.9110000000004, 932.92945000000054, 922.20258800000056, 46110.129400000027, 1954.3337950728114, 0.32962452942056186},
    {1520, 50, 912.58880000000045, 934.83770000000095, 923.15343500000074, 46157.671750000038, 1990.2374071962734, 0.72743670394276039},
    {1540, 50, 914.32005000000061, 934.83770000000095, 923.99114100000088, 46199.557050000047, 1663.3650170934604, 0.26961511133179894},
    {1560, 50, 915.31330000000105, 935.21470000000113, 925.27289500000097, 46263.64475000005, 1554.7880093862457, 0.18175310763475117},
    {1580, 50, 916.35830000000101, 937.30330000000106, 926.13833300000113, 46306.91665000005, 1452.856066148054, 1.0590890322244138},
    {1600, 50, 917.79855000000123, 938.3448000000011, 928.50710500000105, 46425.355250000051, 1449.4843358512546, 0.79784523080216763},
    {1620, 50, 919.80680000000109, 946.95810000000097, 931.6890910000011, 46584.454550000053, 2834.1223236034439, 0.67740516262471695},
    {1640, 25, 930.53010000000097, 958.08760000000086, 946.09580000000096, 23652.395000000026, 1040.401822999987, 0.43980764043388099},
    {1660, 26, 946.97760000000085, 973.02060000000097, 956.99736923077012, 24881.931600000022, 1317.9465186153864, 0.56770973000675107},
    {1680, 23, 957.18660000000091, 983.32410000000084, 971.23623043478347, 22338.433300000022, 1039.6254131086935, 0.42302894223295368},
    {1700, 24, 966.50110000000086, 997.80110000000082, 980.94889166666758, 23542.773400000024, 1372.8271149583322, 0.50463483364771156},
    {1720, 29, 975.57510000000093, 1004.0856000000008, 991.51415172413874, 28753.910400000022, 1359.2141731723984, 0.47422132453992416},
    {1740, 35, 985.64260000000081, 1015.5246000000006, 1000.8617857142865, 35030.162500000028, 2003.686318542846, 0.58064696138739358},
    {1760, 29, 999.21260000000075, 1025.5386000000008, 1010.5299793103455, 29305.369400000021, 1359.5722603275879, 0.41809557432286404},
    {1780, 26, 1007.8871000000006, 1038.7561000000007, 1021.6304461538468, 26562.391600000017, 2149.9081528846245, 0.7545056664647336},
    {1800, 26, 1021.9696000000007, 1047.1871000000006, 1035.3533115384621, 26919.186100000014, 1363.5667810865007, 0.47349932370966891},
    {1820, 44, 1022.3171000000007, 1053.9168999999999, 1039.9514681818184, 45757.864600000015, 2481.5417484553382, 0.49312063970733305},
    {1840, 50, 1032.8796000000004, 1053.9168999999999, 1044.3980060000001, 52219.900300000008, 1623.6018401231709, 0.35925153686405098},
    {1860, 50, 1035.8886000000007, 1054.7718000000002, 1045.7720300000001, 52288.601500000004, 1724.2857247849674, -1.1953805960256534},
    {1880, 50, 1035.8886000000007, 1055.8498500000001, 1045.3720240000002, 52268.601200000012, 1608.3532104661713, 0.25838059086463322},
    {1900, 50, 1035.9681500000002, 1055.8498500000001, 1046.3341410000003, 52316.707050000012, 1254.7047193634523, 0.33733541400261846},
    {1920, 50, 1037.63895, 1058.5799000000006, 1046.8919940000003, 52344.599700000021, 1144.0392020832232, 0.71454448471495835},
    {1940, 50, 1039.1082000000004, 1058.9043000000006, 1048.2390110000006, 52411.95055000003, 1485.5120892964567, 0.80266347671574201},
    {1960, 50, 1040.2727500000008, 1059.5779500000008, 1050.1799540000006, 52508.997700000036, 1576.6490599492108, 0.903269427471454},
    {1980, 50, 1040.2727500000008, 1060.8113000000008, 1051.3315130000008, 52566.575650000035, 1753.7297166790502, 0.29784570527343246},
    {2000, 50, 1042.4454000000003, 1061.6414500000003, 1052.7032200000006, 52635.161000000029, 1393.6928204950113, -0.27965214691892071},
};

// The script's pairs, made with the same integer steps so the doubles agree bit for bit.
std::vector<QPointF> referencePairs()
{
    std::vector<QPointF> out;
    uint32_t state = 12345;
    double t = 1000.0;
    for (int k = 0; k < 2000; ++k) {
        state = state * 1664525u + 1013904223u;
        const uint32_t r = state >> 8;
        double step = double(r % 2000) / ((k / 200) % 2 == 0 ? 1000.0 : 10000.0);
        if (k % 97 == 0)
            step = 0.0;
        t = t + step;
        double noise = double(int((r >> 11) % 2001) - 1000) / 100.0;
        if (k % 31 == 0)
            noise = 0.0;
        out.emplace_back(t, 0.5 * t + noise);
    }
    return out;
}

void expectClose(double actual, double expected, const char* what, int step)
{
    EXPECT_NEAR(actual, expected, 1e-9 * std::max(1.0, std::fabs(expected))) << what << " at step " << step;
}

} // namespace

TEST(History, RollingStatisticsMatchAnIndependentComputation)
{
    History h(5, 50, 30.0);
    const std::vector<QPointF> pairs = referencePairs();
    size_t next = 0;
    for (size_t k = 0; k < pairs.size(); ++k) {
        h.addValue(pairs[k]);
        if (next < std::size(REFERENCE) && REFERENCE[next].step == int(k + 1)) {
            const Reference& ref = REFERENCE[next++];
            ASSERT_EQ(h.size(), ref.count) << "at step " << ref.step;
            EXPECT_EQ(h.minimum(), ref.minimum) << "at step " << ref.step;
            EXPECT_EQ(h.maximum(), ref.maximum) << "at step " << ref.step;
            expectClose(h.mean(), ref.mean, "mean", ref.step);
            expectClose(h.sum(), ref.sum, "sum", ref.step);
            expectClose(h.sumOfSquares(), ref.m2, "sumOfSquares", ref.step);
            if (std::isnan(ref.rate))
                EXPECT_TRUE(std::isnan(h.rate())) << "at step " << ref.step;
            else
                expectClose(h.rate(), ref.rate, "rate", ref.step);
        }
    }
    EXPECT_EQ(next, std::size(REFERENCE));

    // The saved form carries the window: restored, the numbers agree again.
    History back(5, 50, 30.0);
    ASSERT_TRUE(back.restoreValues(h.saveValues()));
    EXPECT_EQ(back, h);
}

// Two-pass statistics of the window as it stands, in long double.
TEST(History, StatisticsDoNotDriftOverLongRunsOfUnixTimes)
{
    History h(5, 50, 30.0);
    uint32_t state = 7;
    double t = 1.7e9;
    for (int k = 0; k < 200000; ++k) {
        state = state * 1664525u + 1013904223u;
        t += double(state >> 20) / 4096.0; // 0 to 1 s
        h.addValue(t, 3.0 * (t - 1.7e9) + double(int(state % 1000) - 500) / 50.0);
    }
    const auto& xs = h.times();
    const auto& ys = h.values();
    const long double n = xs.size();
    long double mx = 0, my = 0;
    for (size_t i = 0; i < xs.size(); ++i) {
        mx += xs[i];
        my += ys[i];
    }
    mx /= n;
    my /= n;
    long double sxx = 0, syy = 0, sxy = 0;
    for (size_t i = 0; i < xs.size(); ++i) {
        sxx += (xs[i] - mx) * (xs[i] - mx);
        syy += (ys[i] - my) * (ys[i] - my);
        sxy += (xs[i] - mx) * (ys[i] - my);
    }
    ASSERT_GT(h.size(), 30u);
    EXPECT_NEAR(h.mean(), double(my), 1e-9 * std::fabs(double(my)));
    EXPECT_NEAR(h.sumOfSquares(), double(syy), 1e-9 * double(syy));
    EXPECT_NEAR(h.rate(), double(sxy / sxx), 1e-9 * std::fabs(double(sxy / sxx)));
    EXPECT_NEAR(h.regression().x().m2(), double(sxx), 1e-9 * double(sxx));
}
