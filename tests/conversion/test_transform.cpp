// Calibration transforms: the quadratic Transform, chains and piecewise fits.
#include "conversion/compositetransform.h"
#include "conversion/transform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Transform, OrderFollowsTheCoefficients)
{
    const Transform shift(5.0, 1.0, 0.0);
    EXPECT_EQ(shift.order(), 1);
    EXPECT_EQ(shift.apply(2.0), 7.0);
    EXPECT_EQ(Transform(0.0, 1.0, 0.0).order(), 0);
    EXPECT_EQ(Transform(0.0, 1.0, 0.5).order(), 2);
    EXPECT_EQ(Transform(0.0, 2.0, 0.0).order(), 1);
    EXPECT_EQ(Transform(kNaN, 1.0, 0.0).order(), 1);
    EXPECT_EQ(Transform(0.0, kNaN, 0.0).order(), 1);
    EXPECT_EQ(Transform(0.0, 1.0, kNaN).order(), 2);

    const Transform identity;
    EXPECT_EQ(identity.order(), 0);
    EXPECT_EQ(identity.a1(), 1.0);
    EXPECT_EQ(identity.apply(-3.25), -3.25);

    Transform t;
    t.change(1.0, 2.0, 0.5);
    EXPECT_EQ(t.order(), 2);
    EXPECT_EQ(t.apply(2.0), 7.0);
    t.change(0.0, 1.0, 0.0);
    EXPECT_EQ(t.order(), 0);
}

TEST(Transform, ApplyFollowsTheOrderNotTheCoefficients)
{
    Transform t(QStringLiteral("0\t5\t2\t1"));
    EXPECT_EQ(t.apply(3.0), 3.0);              // order 0 ignores the coefficients
    t.change(QStringLiteral("1\t5\t2\t1"));
    EXPECT_EQ(t.apply(3.0), 11.0);             // order 1 ignores a2
    t.change(QStringLiteral("7\t5\t2\t1"));
    EXPECT_EQ(t.order(), 7);                   // taken as written
    EXPECT_EQ(t.apply(3.0), 20.0);             // any other order is the quadratic

    // Integral and float overloads evaluate the same way.
    const Transform q(1.0, 2.0, 0.5);
    EXPECT_EQ(q.apply(4), 17.0);
    EXPECT_EQ(q.apply(4L), 17.0);
    EXPECT_EQ(q.apply(4UL), 17.0);
    EXPECT_EQ(q.apply(short(-2)), -1.0);
    EXPECT_EQ(q.apply((unsigned short)4), 17.0);
    EXPECT_EQ(q.apply((signed char)-2), -1.0);
    EXPECT_EQ(q.apply((unsigned char)200), 20401.0);
    EXPECT_EQ(q.apply(0.5f), 2.125);
}

TEST(Transform, LineThroughTwoPoints)
{
    const Transform line(0.0, 1.0, 2.0, 5.0);
    EXPECT_EQ(line.order(), 1);
    EXPECT_EQ(line.a1(), 2.0);
    EXPECT_EQ(line.a0(), 1.0);
    EXPECT_EQ(line.apply(10.0), 21.0);

    for (const Transform& degenerate : {Transform(2.0, 3.0, 2.0, 3.0), Transform(1.0, 5.0, 2.0, 5.0)}) {
        EXPECT_EQ(degenerate.a0(), 0.0);
        EXPECT_EQ(degenerate.a1(), 1.0);
        EXPECT_EQ(degenerate.a2(), 0.0);
        EXPECT_EQ(degenerate.order(), 1);
    }
}

TEST(Transform, TextForms)
{
    const Transform identity;
    EXPECT_EQ(identity.asString(), "0\t0\t1\t0");
    Transform back(0.5, 2.0, 3.0);
    back.change(identity.asString());
    EXPECT_EQ(back, identity);

    const Transform q(1.0 / 3.0, 1e9, -2.5e-7);
    EXPECT_EQ(q.asString(), "2\t0.33333333\t1e+09\t-2.5e-07");
    const Transform parsed(q.asString());
    EXPECT_EQ(parsed.order(), 2);
    EXPECT_DOUBLE_EQ(parsed.a0(), 0.33333333);
    EXPECT_EQ(parsed.a1(), 1e9);
    EXPECT_EQ(parsed.a2(), -2.5e-7);

    EXPECT_EQ(Transform(1.23456, 2.34567, 0.000123456).asText(QStringLiteral("mass: ")),
              "mass: 0.0001235\t2.346\t1.235");
    EXPECT_EQ(Transform(1.0, 2.0, 0.5).asText(QString()), "0.5\t2\t1");

    // Unparsable and missing fields read as 0.
    const Transform junk(QStringLiteral("x\t1"));
    EXPECT_EQ(junk.order(), 0);
    EXPECT_EQ(junk.a0(), 1.0);
    EXPECT_EQ(junk.a1(), 0.0);
    EXPECT_EQ(Transform(QString()).asString(), "0\t0\t0\t0");
}

TEST(Transform, Equality)
{
    EXPECT_EQ(Transform(1.0, 2.0, 3.0), Transform(1.0, 2.0, 3.0));
    EXPECT_NE(Transform(1.0, 2.0, 3.0), Transform(1.0, 2.0, 3.5));
    // Same coefficients, different order.
    EXPECT_NE(Transform(QStringLiteral("1\t0\t1\t0")), Transform());
    const Transform withNaN(kNaN, 1.0, 0.0);
    EXPECT_FALSE(withNaN == withNaN);
    EXPECT_TRUE(withNaN != withNaN);
    Transform copy;
    copy = Transform(4.0, 5.0, 6.0);
    EXPECT_EQ(copy, Transform(4.0, 5.0, 6.0));
}

TEST(Transform, InverseChoosesTheRootNearTheLinearEstimate)
{
    // y = x^2: both roots of 4 have magnitude 2; the tie goes to -2.
    const Transform square(0.0, 0.0, 1.0);
    EXPECT_EQ(square.inverse(4.0), -2.0);

    const Transform q(1.0, 2.0, 0.5);
    EXPECT_DOUBLE_EQ(q.inverse(q.apply(3.0)), 3.0);

    // Decreasing slope at the origin.
    const Transform falling(0.0, -2.0, 1.0);
    EXPECT_DOUBLE_EQ(falling.inverse(falling.apply(-1.5)), -1.5);

    // No real root.
    EXPECT_TRUE(std::isnan(square.inverse(-1.0)));

    // Orders 0 and 1.
    EXPECT_EQ(Transform().inverse(7.0), 7.0);
    EXPECT_EQ(Transform(1.0, 2.0, 0.0).inverse(7.0), 3.0);
    EXPECT_TRUE(std::isinf(Transform(1.0, 0.0, 0.0).inverse(7.0)));

    // quadRoot solves the quadratic whatever the order.
    EXPECT_DOUBLE_EQ(Transform(1.0, 2.0, 0.0).quadRoot(5.0), 2.0);
    EXPECT_EQ(square.quadRoot(0.0), 0.0);
}

TEST(Transform, InverseKeepsItsDigitsWhenNearlyLinear)
{
    // A fit to nearly linear data leaves a tiny a2: the inverse must still
    // return the input to full precision, whichever the sign of the slope.
    const Transform rising(0.5, 1.0, 1e-14);
    const Transform falling(0.0, -1.0, 1e-14);
    const Transform massCal(-0.3, 0.0123, 2.5e-9);
    for (double x : {100.0, 1000.0, 12345.0}) {
        EXPECT_NEAR(rising.inverse(rising.apply(x)), x, 1e-12 * x) << x;
        EXPECT_NEAR(falling.inverse(falling.apply(x)), x, 1e-12 * x) << x;
        EXPECT_NEAR(massCal.inverse(massCal.apply(x)), x, 1e-12 * x) << x;
    }

    // Round trips over a monotonic range of random quadratics.
    std::mt19937 random(11);
    std::uniform_real_distribution<double> coefficient(-2.0, 2.0), input(0.0, 10.0);
    for (int n = 0; n < 500; ++n) {
        const double a1 = coefficient(random);
        const double a2 = coefficient(random) * 1e-3;
        const Transform t(coefficient(random), a1 == 0.0 ? 1.0 : a1, a2);
        const double x = input(random);
        // Stay on the branch of the vertex that holds x = 0.
        const double vertex = -t.a1() / (2.0 * t.a2());
        if (vertex > 0.0 && vertex < 20.0)
            continue;
        EXPECT_NEAR(t.inverse(t.apply(x)), x, 1e-9) << t.asString().toStdString() << " x=" << x;
    }
}

TEST(Transform, Slope)
{
    EXPECT_EQ(Transform(3.0, 2.5, 0.0).slope(), 2.5);
    EXPECT_EQ(Transform(0.0, 0.0, 1.0).slope(), 30.0); // (400 - 100) / 10
    EXPECT_EQ(Transform().slope(), 1.0);
}

TEST(Transform, Composition)
{
    const Transform first(1.0, 2.0, 0.0);
    const Transform second(3.0, 4.0, 0.0);
    const Transform both(first, second);
    EXPECT_EQ(both.order(), 1);
    for (double x : {-2.0, 0.0, 5.0})
        EXPECT_EQ(both.apply(x), second.apply(first.apply(x)));
}

TEST(Transform, FitStoresCoefficientsAndReturnsTheCorrelation)
{
    const double x[] = {0.0, 1.0, 2.0, 3.0};
    const double y[] = {1.0, 3.0, 5.0, 7.0};
    Transform line;
    EXPECT_NEAR(line.fit(x, y, 4, 1), 1.0, 1e-12);
    EXPECT_EQ(line.order(), 1);
    EXPECT_NEAR(line.a0(), 1.0, 1e-12);
    EXPECT_NEAR(line.a1(), 2.0, 1e-12);
    EXPECT_EQ(line.a2(), 0.0);

    // The quadratic reference fit computed with numpy.
    const double qx[] = {-3.0, -2.5, -2.0, -1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0};
    const double qy[] = {-10.796, -7.918, -5.562, -3.786, -2.037, -0.694, 0.592,
                         1.664,   2.321,  2.446,  2.357,  1.827,  1.389};
    Transform quad;
    EXPECT_NEAR(quad.fit(qx, qy, 13, 2), 0.999479552435352, 1e-12);
    EXPECT_EQ(quad.order(), 2);
    EXPECT_NEAR(quad.a0(), 0.6799720279720262, 1e-12);
    EXPECT_NEAR(quad.a1(), 2.0140769230769227, 1e-12);
    EXPECT_NEAR(quad.a2(), -0.5942117882117877, 1e-12);

    // Points on y = x fit the identity.
    const double same[] = {1.0, 2.0, 4.0};
    Transform identity(5.0, 5.0, 5.0);
    EXPECT_NEAR(identity.fit(same, same, 3, 1), 1.0, 1e-12);
    EXPECT_LE(identity.order(), 1);
    EXPECT_NEAR(identity.apply(10.0), 10.0, 1e-12);

    // Order 0 fits the mean.
    Transform mean;
    mean.fit(x, y, 4, 0);
    EXPECT_NEAR(mean.apply(100.0), 4.0, 1e-12);
}

TEST(Transform, FailedOrUnsupportedFitsLeaveTheTransformUnchanged)
{
    const double x[] = {0.0, 1.0, 2.0, 3.0, 4.0};
    const double y[] = {1.0, 2.0, 5.0, 10.0, 17.0};
    const Transform before(0.25, 3.0, 0.5);

    // Orders above 2 would write more coefficients than the transform holds.
    for (int order : {3, 4, 1000, -1, -5}) {
        Transform t = before;
        EXPECT_EQ(t.fit(x, y, 5, order), 0.0) << order;
        EXPECT_EQ(t, before) << order;
    }

    // A singular fit: a quadratic through two points.
    Transform t = before;
    testing::internal::CaptureStdout();
    EXPECT_EQ(t.fit(x, y, 2, 2), 0.0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("GAUSSJ: Singular Matrix"), std::string::npos);
    EXPECT_EQ(t, before);

    testing::internal::CaptureStdout();
    EXPECT_EQ(t.fit(nullptr, nullptr, 0, 1), 0.0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(t, before);
}

// A transform that records its calls, to check the stage order of a chain.
class Scale : public BaseTransform
{
public:
    explicit Scale(double factor) : factor_(factor) {}
    double apply(double x) const override { return x * factor_; }
    double inverse(double y) const override { return y / factor_; }

private:
    double factor_;
};

TEST(CompositeTransform, RunsStagesInOrderAndBackwards)
{
    const CompositeTransform empty;
    EXPECT_EQ(empty.apply(3.0), 3.0);
    EXPECT_EQ(empty.inverse(3.0), 3.0);

    auto a = std::make_shared<Transform>(1.0, 2.0, 0.0); // 2x + 1
    auto b = std::make_shared<Transform>(0.0, 0.0, 1.0); // x^2
    CompositeTransform chain;
    chain.addTransform(a, false);
    chain.addTransform(b, true);
    EXPECT_EQ(chain.stages().size(), 2);
    for (double x : {0.5, 3.0, 7.0}) {
        EXPECT_DOUBLE_EQ(chain.apply(x), b->inverse(a->apply(x)));
        EXPECT_DOUBLE_EQ(chain.inverse(x), a->inverse(b->apply(x)));
    }

    // Stages are shared with the caller: a later change shows.
    CompositeTransform scaled;
    auto shift = std::make_shared<Transform>(1.0, 1.0, 0.0);
    scaled.addTransform(shift, false);
    scaled.addTransform(std::make_shared<Scale>(10.0), false);
    EXPECT_EQ(scaled.apply(2.0), 30.0);  // (2 + 1) * 10, not 2 * 10 + 1
    EXPECT_EQ(scaled.inverse(30.0), 2.0);
    shift->change(5.0, 1.0, 0.0);
    EXPECT_EQ(scaled.apply(2.0), 70.0);

    // An empty stage passes values on.
    scaled.addTransform(nullptr, true);
    EXPECT_EQ(scaled.apply(2.0), 70.0);
    EXPECT_EQ(scaled.inverse(70.0), 2.0);
}

QList<PiecewiseSection> twoRamps()
{
    // y = 10x up to 10, then y = 20x - 100 up to 20.
    return {PiecewiseSection{0.0, 10.0, 0.0, {QPointF(0, 0), QPointF(10, 100)}, 1},
            PiecewiseSection{10.0, 20.0, 0.0, {QPointF(10, 100), QPointF(20, 300)}, 1}};
}

TEST(PiecewiseTransform, ChoosesTheFirstSectionThatReachesTheValue)
{
    const PiecewiseTransform ramp(twoRamps());
    ASSERT_EQ(ramp.sections().size(), 2);
    ASSERT_EQ(ramp.transforms().size(), 2);
    EXPECT_NEAR(ramp.sections()[0].endInverse, 100.0, 1e-9);
    EXPECT_NEAR(ramp.sections()[1].endInverse, 300.0, 1e-9);

    EXPECT_NEAR(ramp.apply(10.0), 100.0, 1e-9);  // the end belongs to the first section
    EXPECT_NEAR(ramp.apply(10.5), 110.0, 1e-9);
    EXPECT_NEAR(ramp.apply(25.0), 400.0, 1e-9);  // beyond the last: the last
    EXPECT_NEAR(ramp.apply(-5.0), -50.0, 1e-9);  // below the first: the first

    EXPECT_NEAR(ramp.inverse(100.0), 10.0, 1e-9);
    EXPECT_NEAR(ramp.inverse(200.0), 15.0, 1e-9);
    EXPECT_NEAR(ramp.inverse(500.0), 30.0, 1e-9);
    EXPECT_NEAR(ramp.inverse(-50.0), -5.0, 1e-9);
    for (double x : {-3.0, 0.0, 4.0, 9.99, 12.0, 19.0, 40.0})
        EXPECT_NEAR(ramp.inverse(ramp.apply(x)), x, 1e-9) << x;

    const PiecewiseTransform none;
    EXPECT_EQ(none.apply(4.0), 4.0);
    EXPECT_EQ(none.inverse(4.0), 4.0);
}

TEST(PiecewiseTransform, SectionsAreReplacedOrAppended)
{
    PiecewiseTransform ramp(twoRamps());
    ramp.setSections({PiecewiseSection{0.0, 5.0, 0.0, {QPointF(0, 1), QPointF(5, 11)}, 1}});
    EXPECT_EQ(ramp.sections().size(), 1);
    EXPECT_NEAR(ramp.apply(100.0), 201.0, 1e-9);

    // A section whose fit fails keeps the identity.
    testing::internal::CaptureStdout();
    ramp.appendSection(PiecewiseSection{5.0, 8.0, 42.0, {QPointF(6, 6)}, 2});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ramp.transforms().size(), 2);
    EXPECT_EQ(ramp.transforms()[1], Transform());
    EXPECT_EQ(ramp.sections()[1].endInverse, 8.0);
    EXPECT_EQ(ramp.apply(7.0), 7.0);
}

TEST(PiecewiseTransform, TextForm)
{
    EXPECT_EQ(PiecewiseTransform().toString(), "Empty");

    const PiecewiseTransform one({PiecewiseSection{0.5, 2.0, 0.0, {QPointF(0, 1), QPointF(2, 1.5e7)}, 1}});
    const QString expected = QStringLiteral("Section 0\nStart range: 0.5\nEnd range: 2\nEnd range inverse: 1.5e+07\n"
                                            "Values used to calculate transform:\n0\t1\n2\t1.5e+07\n"
                                            "Transform state:\n")
                             + one.transforms()[0].asString() + QStringLiteral("\n\n");
    EXPECT_EQ(one.toString(), expected);
    EXPECT_TRUE(one.transforms()[0].asString().startsWith(QStringLiteral("1\t1\t7499999.5\t0")))
        << one.transforms()[0].asString().toStdString();

    const QString two = PiecewiseTransform(twoRamps()).toString();
    EXPECT_TRUE(two.startsWith(QStringLiteral("Section 0\nStart range: 0\nEnd range: 10\n")));
    EXPECT_TRUE(two.contains(QStringLiteral("\n\nSection 1\nStart range: 10\nEnd range: 20\nEnd range inverse: 300\n"
                                            "Values used to calculate transform:\n10\t100\n20\t300\n")));
}

} // namespace
