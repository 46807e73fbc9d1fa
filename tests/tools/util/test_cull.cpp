#include "tools/util/cull.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

using Curve = std::vector<std::pair<double, double>>;
constexpr double kMaxCost = std::numeric_limits<double>::max();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The thinning done the plain way: a list erased in place and a full scan for the
// cheapest inner point on every removal.
Curve referenceCull(const Curve& points, int maxPoints, double maxError, bool finalPass)
{
    Curve out;
    if (points.empty())
        return out;
    QList<PointWithError> curve;
    double yMax = points.front().second;
    for (const auto& p : points) {
        curve.append({p.first, p.second, 0});
        if (p.second > yMax)
            yMax = p.second;
    }
    for (auto it = curve.begin(); it != curve.end(); ++it)
        it->error = getError(it, curve, yMax);

    auto collinear = [&](bool recompute) {
        for (auto it = curve.begin(); it != curve.end();) {
            if (it->error == 0) {
                it = removePoint(it, curve, yMax, recompute);
                if (it != curve.end())
                    ++it;
            } else {
                ++it;
            }
        }
    };
    collinear(true);
    while (curve.size() > maxPoints && curve.size() > 2) {
        auto best = curve.end();
        for (auto it = curve.begin() + 1; it + 1 != curve.end(); ++it) {
            if (std::isnan(it->error))
                continue;
            if (best == curve.end() || it->error < best->error)
                best = it;
        }
        if (best == curve.end() || (maxError != 0 && !(best->error <= maxError)))
            break;
        removePoint(best, curve, yMax, true);
    }
    if (finalPass)
        collinear(false);
    for (const auto& p : curve)
        out.emplace_back(p.x, p.y);
    return out;
}

bool sameCurve(const Curve& a, const Curve& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool xEq = a[i].first == b[i].first || (std::isnan(a[i].first) && std::isnan(b[i].first));
        const bool yEq = a[i].second == b[i].second || (std::isnan(a[i].second) && std::isnan(b[i].second));
        if (!xEq || !yEq)
            return false;
    }
    return true;
}

Curve run(const Curve& in, int maxPoints, double maxError = 0, bool finalPass = false)
{
    Curve points = in, out;
    cull(points, out, maxPoints, maxError, finalPass);
    EXPECT_TRUE(sameCurve(points, in)) << "input changed";
    return out;
}

std::vector<double> xs(const Curve& c)
{
    std::vector<double> v;
    for (const auto& p : c)
        v.push_back(p.first);
    return v;
}

// Peaks at x = 1, 3, 5 and valleys at x = 2, 4, all at distance 1 from their chords.
const Curve kZigzag = {{0, 0}, {1, 1}, {2, 0}, {3, 1}, {4, 0}, {5, 1}, {6, 0}};

} // namespace

TEST(Cull, SmallCurvesAndExistingOutput)
{
    EXPECT_TRUE(run({}, 10).empty());
    EXPECT_EQ(run({{1, 2}}, 0), Curve({{1, 2}}));
    EXPECT_EQ(run({{1, 2}, {3, 4}}, 0, 0, true), Curve({{1, 2}, {3, 4}}));

    Curve points = kZigzag;
    Curve out = {{-1, -1}};
    cull(points, out, 100, 0, false);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(out.front(), std::make_pair(-1.0, -1.0));
    EXPECT_EQ(Curve(out.begin() + 1, out.end()), kZigzag);
}

TEST(Cull, CollinearPassesSkipThePointThatMovesIn)
{
    const Curve slope = {{0, 0}, {1, 1}, {2, 2}, {3, 3}};
    // (1,1) goes; (2,2), now between (0,0) and (3,3), moved into its place and is skipped.
    EXPECT_EQ(xs(run(slope, 500)), std::vector<double>({0, 2, 3}));
    EXPECT_EQ(xs(run(slope, 500, 0, true)), std::vector<double>({0, 3}));

    const Curve flat = {{0, 5}, {1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}, {6, 5}};
    EXPECT_EQ(xs(run(flat, 500)), std::vector<double>({0, 2, 4, 6}));
    EXPECT_EQ(xs(run(flat, 3)), std::vector<double>({0, 4, 6}));
    EXPECT_EQ(xs(run(flat, 500, 0, true)), std::vector<double>({0, 4, 6}));
}

TEST(Cull, ValleysGoBeforePeaksAndTheFirstOfEqualCostsFirst)
{
    // Valleys cost 1.1 * (1 + 0.1) = 1.21, peaks 1.5 * (1 + 0.3) = 1.95.
    QList<PointWithError> curve;
    for (const auto& p : kZigzag)
        curve.append({p.first, p.second, 0});
    EXPECT_DOUBLE_EQ(getError(curve.begin() + 1, curve, 1), 1.95);
    EXPECT_DOUBLE_EQ(getError(curve.begin() + 2, curve, 1), 1.21);
    EXPECT_EQ(getError(curve.begin(), curve, 1), kMaxCost);
    EXPECT_EQ(getError(curve.end() - 1, curve, 1), kMaxCost);

    EXPECT_EQ(xs(run(kZigzag, 6)), std::vector<double>({0, 1, 3, 4, 5, 6}));
    QList<QPoint> ints = {{0, 0}, {1, 1}, {2, 0}, {3, 1}, {4, 0}, {5, 1}, {6, 0}};
    const QList<QPoint> before = ints;
    EXPECT_EQ(old_cull(ints, 6, 0, false),
              QList<QPoint>({{0, 0}, {1, 1}, {3, 1}, {4, 0}, {5, 1}, {6, 0}}));
    EXPECT_EQ(ints, before);
}

TEST(Cull, ErrorLimitStopsThinning)
{
    // The cheapest points, the valleys, cost 1.21: a limit below that removes nothing.
    EXPECT_EQ(run(kZigzag, 2, 1.0), kZigzag);
    EXPECT_EQ(run(kZigzag, 2, 1.2), kZigzag);
    const Curve limited = run(kZigzag, 2, 1.5);
    EXPECT_LT(limited.size(), kZigzag.size());
    EXPECT_GT(limited.size(), 2u);
    EXPECT_EQ(limited, referenceCull(kZigzag, 2, 1.5, false));
    EXPECT_EQ(run(kZigzag, 2, kNaN), kZigzag);
    EXPECT_EQ(xs(run(kZigzag, 2, 0)), std::vector<double>({0, 6}));
}

TEST(Cull, EndPointsStayWhateverMaxPointsSays)
{
    for (int maxPoints : {-7, 0, 1, 2})
        EXPECT_EQ(run(kZigzag, maxPoints), Curve({{0, 0}, {6, 0}})) << maxPoints;
    QList<QPoint> ints = {{0, 0}, {1, 1}, {2, 0}, {3, 2}};
    EXPECT_EQ(old_cull(ints, 0, 0, true), QList<QPoint>({{0, 0}, {3, 2}}));
}

TEST(Cull, NonComparableCostsNeverRemoveAnEndPoint)
{
    // A NaN cost is no candidate: nothing can be removed, the curve stays whole.
    const Curve nanInner = {{0, 0}, {1, kNaN}, {2, 0}};
    EXPECT_TRUE(sameCurve(run(nanInner, 2), nanInner));
    // The same point twice around an inner one: 0/0.
    const Curve doubled = {{0, 1}, {1, 5}, {0, 1}};
    EXPECT_EQ(run(doubled, 1), doubled);
    // All y at most 0: yMax 0 gives infinite costs, which still compare.
    EXPECT_EQ(run({{0, 0}, {1, -1}, {2, -3}, {3, 0}}, 2), Curve({{0, 0}, {3, 0}}));
    // An infinite top makes yMax infinite and both inner costs NaN.
    const Curve infCurve = {{0, 1}, {1, kInf}, {2, 3}, {3, 1}};
    EXPECT_TRUE(sameCurve(run(infCurve, 2), infCurve));

    QList<QPoint> ints = {{0, 1}, {1, 5}, {0, 1}};
    EXPECT_EQ(old_cull(ints, 1, 0, false), ints);
    QList<QPoint> nonPositive = {{0, 0}, {1, -1}, {2, -3}, {3, 0}};
    EXPECT_EQ(old_cull(nonPositive, 0, 0, false), QList<QPoint>({{0, 0}, {3, 0}}));
}

TEST(Cull, RemovePointLeavesMissingNeighboursAlone)
{
    QList<PointWithError> curve = {{0, 0, 0}, {1, 2, 0}, {2, 1, 0}};
    auto it = removePoint(curve.end() - 1, curve, 2, true);
    EXPECT_TRUE(it == curve.end());
    ASSERT_EQ(curve.size(), 2);
    EXPECT_EQ(curve[1].error, kMaxCost);
    it = removePoint(curve.begin(), curve, 2, true);
    ASSERT_EQ(curve.size(), 1);
    EXPECT_TRUE(it == curve.begin());
    EXPECT_EQ(curve[0].error, kMaxCost);
    it = removePoint(curve.begin(), curve, 2, true);
    EXPECT_TRUE(curve.isEmpty());
    EXPECT_TRUE(it == curve.end());
}

TEST(Cull, OldFormRemovesEveryCollinearPoint)
{
    QList<QPoint> slope = {{0, 0}, {1, 1}, {2, 2}, {3, 3}};
    EXPECT_EQ(old_cull(slope, 500, 0, false), QList<QPoint>({{0, 0}, {3, 3}}));
    QList<QPoint> flat = {{0, 5}, {1, 5}, {2, 5}, {3, 5}, {4, 5}};
    EXPECT_EQ(old_cull(flat, 500, 0, false), QList<QPoint>({{0, 5}, {4, 5}}));
    QList<QPoint> empty;
    EXPECT_TRUE(old_cull(empty, 5, 0, true).isEmpty());
    QList<QPoint> one = {{4, 4}};
    EXPECT_EQ(old_cull(one, 0, 0, true), one);
    EXPECT_EQ(old_getError(one, 0, 4), kMaxCost);
    EXPECT_EQ(old_getError(flat, 7, 4), kMaxCost);
}

TEST(Cull, SameAsThePlainFormOnRandomCurves)
{
    std::mt19937 rng(424242);
    std::uniform_int_distribution<int> len(0, 120);
    std::uniform_int_distribution<int> level(0, 6);
    std::uniform_real_distribution<double> real(-5, 50);
    for (int round = 0; round < 1500; ++round) {
        const int n = len(rng);
        const int kind = round % 4;
        Curve c;
        double x = 0;
        for (int i = 0; i < n; ++i) {
            x += (kind == 3 && rng() % 5 == 0) ? 0 : 1 + int(rng() % 3);
            double y = kind == 0 ? real(rng) : level(rng); // few levels: ties and flat runs
            if (kind == 2 && rng() % 15 == 0)
                y = (rng() % 2) ? kNaN : kInf;
            c.emplace_back(x, y);
        }
        const int maxPoints = int(rng() % 40) - 3;
        const double maxError = (round % 3 == 0) ? 0 : real(rng) / 5;
        const bool finalPass = rng() % 2;
        const Curve expected = referenceCull(c, maxPoints, maxError, finalPass);
        const Curve got = run(c, maxPoints, maxError, finalPass);
        ASSERT_TRUE(sameCurve(got, expected))
            << "round " << round << " n " << n << " maxPoints " << maxPoints << " maxError " << maxError;
    }
}

TEST(Cull, LongSpectrumThinsToTheRequestedSize)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> noise(0, 3);
    Curve spectrum;
    for (int i = 0; i < 100000; ++i) {
        const double peak = 1000 * std::exp(-std::pow((i % 5000 - 2500) / 40.0, 2));
        spectrum.emplace_back(i, std::floor(peak + noise(rng)));
    }
    const Curve out = run(spectrum, 500, 0, true);
    EXPECT_LE(out.size(), 500u);
    EXPECT_GT(out.size(), 400u);
    EXPECT_EQ(out.front(), spectrum.front());
    EXPECT_EQ(out.back(), spectrum.back());
    for (std::size_t i = 1; i < out.size(); ++i)
        ASSERT_LT(out[i - 1].first, out[i].first);
    // Every peak top (1000 plus noise) survives.
    int tops = 0;
    for (const auto& p : out)
        tops += p.second >= 1000 ? 1 : 0;
    EXPECT_GE(tops, 20);

    // A medium curve against the plain form.
    const Curve medium(spectrum.begin(), spectrum.begin() + 3000);
    EXPECT_TRUE(sameCurve(run(medium, 200, 0, true), referenceCull(medium, 200, 0, true)));
}
