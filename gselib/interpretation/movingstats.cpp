#include "gselib/interpretation/movingstats.h"

#include "conversion/nrutil.h"

#include <cmath>
#include <limits>

namespace Tools {

namespace {
constexpr double TOLERANCE = 1e-12;
}

void MovingStats::push_back(double v)
{
    window_.push_back(v);
    if (n_ == 0) {
        mean_ = v;
        m2_ = 0.0;
        min_ = max_ = v;
    } else {
        const double mean = mean_ + (v - mean_) / double(n_ + 1);
        m2_ = m2_ + (v - mean) * (v - mean_);
        mean_ = mean;
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
    const double mean = mean_ - (v - mean_) / double(n_);
    m2_ = m2_ - (v - mean) * (v - mean_);
    mean_ = mean;
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
}

bool MovingStats::almostEqual(const MovingStats& o) const
{
    return nr::isAlmostEqual(prevMean_, o.prevMean_, TOLERANCE) && nr::isAlmostEqual(mean_, o.mean_, TOLERANCE) &&
           nr::isAlmostEqual(prevM2_, o.prevM2_, TOLERANCE) && nr::isAlmostEqual(m2_, o.m2_, TOLERANCE) &&
           nr::isAlmostEqual(min_, o.min_, TOLERANCE) && nr::isAlmostEqual(max_, o.max_, TOLERANCE);
}

void MovingRegression::push_back(double x, double y)
{
    // The means of an empty window are 0, so the first pair adds nothing.
    const double n = double(x_.count());
    c_ += n * ((x_.mean() - x) * (y_.mean() - y)) / (n + 1.0);
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
    const double n = double(x_.count());
    c_ -= n * ((x_.mean() - x0) * (y_.mean() - y0)) / (n + 1.0);
    if (x_.empty())
        c_ = 0.0;
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
