#include "gselib/interpretation/movingstats.h"

#include "conversion/nrutil.h"

#include <cmath>
#include <limits>

namespace Tools {

namespace {
constexpr double TOLERANCE = 1e-12;
}

void MovingStats::addToSum(double u)
{
    // Neumaier's compensated summation.
    const double t = sum_ + u;
    if (std::fabs(sum_) >= std::fabs(u))
        compensation_ += (sum_ - t) + u;
    else
        compensation_ += (u - t) + sum_;
    sum_ = t;
}

void MovingStats::push_back(double v)
{
    window_.push_back(v);
    if (n_ == 0) {
        shift_ = v;
        sum_ = compensation_ = shiftedMean_ = 0.0;
        mean_ = v;
        m2_ = 0.0;
        min_ = max_ = v;
    } else {
        const double u = v - shift_;
        const double before = u - shiftedMean_;
        addToSum(u);
        shiftedMean_ = (sum_ + compensation_) / double(n_ + 1);
        m2_ = m2_ + (u - shiftedMean_) * before;
        mean_ = shift_ + shiftedMean_;
        if (v < min_)
            min_ = v;
        if (v > max_)
            max_ = v;
    }
    ++n_;
    prevMean_ = mean_;
    prevM2_ = m2_;
}

void MovingStats::pop_front()
{
    if (window_.empty())
        return;
    const double v = window_.front();
    window_.pop_front();
    --n_;
    if (n_ == 0) {
        clear();
        return;
    }
    const double u = v - shift_; // the same difference its push added
    const double before = u - shiftedMean_;
    addToSum(-u);
    shiftedMean_ = (sum_ + compensation_) / double(n_);
    m2_ = m2_ - (u - shiftedMean_) * before;
    mean_ = shift_ + shiftedMean_;
    prevMean_ = mean_;
    prevM2_ = m2_;
    // Exact comparison on purpose: the extremes are values of the window.
    if (v == min_) {
        rescanMinimum();
        if (v == max_)
            rescanMaximum();
    } else if (v == max_) {
        rescanMaximum();
    }
}

void MovingStats::rescanMinimum()
{
    min_ = window_.front();
    for (double w : window_)
        if (w < min_)
            min_ = w;
}

void MovingStats::rescanMaximum()
{
    max_ = window_.front();
    for (double w : window_)
        if (w > max_)
            max_ = w;
}

void MovingStats::clear()
{
    window_.clear();
    n_ = 0;
    prevMean_ = mean_ = 0.0;
    prevM2_ = m2_ = 0.0;
    min_ = max_ = 0.0;
    shift_ = sum_ = compensation_ = shiftedMean_ = 0.0;
}

bool MovingStats::almostEqual(const MovingStats& o) const
{
    return nr::isAlmostEqual(prevMean_, o.prevMean_, TOLERANCE) && nr::isAlmostEqual(mean_, o.mean_, TOLERANCE) &&
           nr::isAlmostEqual(prevM2_, o.prevM2_, TOLERANCE) && nr::isAlmostEqual(m2_, o.m2_, TOLERANCE) &&
           nr::isAlmostEqual(min_, o.min_, TOLERANCE) && nr::isAlmostEqual(max_, o.max_, TOLERANCE);
}

void MovingRegression::push_back(double x, double y)
{
    // An empty window adds nothing to the co-moment.
    const uint64_t n = x_.count();
    if (n != 0)
        c_ += double(n) * (x_.deviation(x) * y_.deviation(y)) / double(n + 1);
    x_.push_back(x);
    y_.push_back(y);
}

void MovingRegression::pop_front()
{
    if (empty())
        return;
    const double x0 = x_.front();
    const double y0 = y_.front();
    x_.pop_front();
    y_.pop_front();
    const uint64_t n = x_.count();
    if (n == 0)
        c_ = 0.0;
    else
        c_ -= double(n) * (x_.deviation(x0) * y_.deviation(y0)) / double(n + 1);
}

void MovingRegression::clear()
{
    x_.clear();
    y_.clear();
    c_ = 0.0;
}

double MovingRegression::slope() const
{
    const uint64_t n = count();
    // Equal extremes mean equal times; M2 may then hold rounding left by removals.
    if (n < 2 || x_.minimum() == x_.maximum())
        return std::numeric_limits<double>::quiet_NaN();
    const double v = x_.m2() / double(n - 1);
    return c_ / (double(n - 1) * v);
}

bool MovingRegression::operator==(const MovingRegression& o) const
{
    return x_.almostEqual(o.x_) && y_.almostEqual(o.y_) && nr::isAlmostEqual(c_, o.c_, TOLERANCE);
}

} // namespace Tools
