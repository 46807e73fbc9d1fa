#include "conversion/transform.h"

#include "conversion/polyfit.h"

#include <QList>
#include <QStringView>
#include <fmt/format.h>

#include <climits>
#include <cmath>

BaseTransform::~BaseTransform() = default;

Transform::Transform() = default;

Transform::Transform(double a0, double a1, double a2)
{
    change(a0, a1, a2);
}

Transform::Transform(double x1, double y1, double x2, double y2)
{
    change(x1, y1, x2, y2);
}

Transform::Transform(const QString& text)
{
    change(text);
}

Transform::Transform(const Transform& first, const Transform& second)
{
    if (first.order_ == 1) {
        order_ = 1;
        a0_ = second.a1_ * first.a0_ + second.a0_;
        a1_ = second.a1_ * first.a1_;
        a2_ = 0.0;
    } else {
        order_ = first.order_;
        a2_ = (second.a1_ + second.a2_) * first.a2_;
        a1_ = (second.a1_ + second.a2_) * first.a1_;
        a0_ = first.a0_ + second.a0_ + second.a1_ * second.a2_;
    }
}

bool Transform::operator==(const Transform& other) const
{
    return a0_ == other.a0_ && a1_ == other.a1_ && a2_ == other.a2_ && order_ == other.order_;
}

void Transform::change(double a0, double a1, double a2)
{
    a0_ = a0;
    a1_ = a1;
    a2_ = a2;
    if (a2 != 0.0)
        order_ = 2;
    else if (a0 != 0.0 || a1 != 1.0) // NaN counts as different
        order_ = 1;
    else
        order_ = 0;
}

void Transform::change(double x1, double y1, double x2, double y2)
{
    order_ = 1;
    a2_ = 0.0;
    if (x1 == x2 || y1 == y2) {
        a0_ = 0.0;
        a1_ = 1.0;
        return;
    }
    const double slope = (y2 - y1) / (x2 - x1);
    a1_ = slope;
    a0_ = y2 - x2 * slope;
}

void Transform::change(const QString& text)
{
    const QList<QStringView> fields = QStringView(text).split(QLatin1Char('\t'));
    bool ok = false;
    order_ = fields.value(0).toInt(&ok);
    if (!ok)
        order_ = 0;
    a0_ = fields.value(1).toDouble();
    a1_ = fields.value(2).toDouble();
    a2_ = fields.value(3).toDouble();
}

double Transform::apply(double x) const
{
    switch (order_) {
    case 0:
        return x;
    case 1:
        return x * a1_ + a0_;
    default:
        return x * x * a2_ + x * a1_ + a0_;
    }
}

double Transform::inverse(double y) const
{
    switch (order_) {
    case 0:
        return y;
    case 1:
        return (y - a0_) / a1_;
    default:
        return quadRoot(y);
    }
}

double Transform::quadRoot(double y) const
{
    const double c = a0_ - y;
    const double d = a1_ * a1_ - 4.0 * a2_ * c;
    // q takes the sign that adds to a1, never one that cancels it: a nearly
    // linear quadratic would otherwise lose most of its digits.
    const double q = a1_ > 0.0 ? (-a1_ - std::sqrt(d)) * 0.5 : (std::sqrt(d) - a1_) * 0.5;
    const double root1 = q / a2_;
    if (q == 0.0)
        return root1;
    const double root2 = c / q;
    if (a1_ == 0.0)
        return std::fabs(root1) < std::fabs(root2) ? root1 : root2;
    const double estimate = (y - a0_) / a1_;
    return std::fabs(estimate - root1) < std::fabs(estimate - root2) ? root1 : root2;
}

double Transform::slope() const
{
    if (order_ == 1)
        return a1_;
    return (apply(20.0) - apply(10.0)) / 10.0;
}

double Transform::fit(const double* x, const double* y, unsigned int n, int order)
{
    // Only polynomials up to the quadratic fit the three coefficients (a
    // negative order would fit the basis 1, sqrt(x), x, which they cannot express).
    if (order < 0 || order > 2 || n > unsigned(INT_MAX))
        return 0.0;
    double coefficients[3] = {0.0, 0.0, 0.0};
    double chisq = 100.0;
    if (PolyFit(x, y, static_cast<int>(n), order, coefficients, &chisq) != 0)
        return 0.0;
    const double r = CorrelationCoefficient(y, n, chisq);
    change(coefficients[0], coefficients[1], coefficients[2]);
    return r;
}

QString Transform::asString() const
{
    return QString::fromStdString(fmt::format("{}\t{:.8g}\t{:.8g}\t{:.8g}", order_, a0_, a1_, a2_));
}

QString Transform::asText(const QString& prefix) const
{
    return prefix + QString::fromStdString(fmt::format("{:.4g}\t{:.4g}\t{:.4g}", a2_, a1_, a0_));
}
