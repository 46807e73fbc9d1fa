#pragma once
// Running statistics over a sliding window, updated value by value instead of
// recomputed: MovingStats keeps mean, Welford's M2 and the extremes of one
// window of doubles; MovingRegression pairs two windows (x and y) with their
// running co-moment. Zevo::History builds its trimming on them.
#include <cstdint>
#include <deque>

namespace Tools {

class MovingStats
{
public:
    // Appends v (Welford's update). Only MovingRegression adds values in this
    // library, so the two windows of a regression stay in step.
    void push_back(double v);
    // Removes the oldest value; rescans the window only when it was an extreme.
    void pop_front();
    void clear();

    uint64_t count() const { return n_; }
    bool empty() const { return n_ == 0; }
    double front() const { return window_.front(); }
    double back() const { return window_.back(); }
    const std::deque<double>& window() const { return window_; }

    double mean() const { return mean_; }
    double previousMean() const { return prevMean_; }
    // Sum of squared deviations from the mean.
    double m2() const { return m2_; }
    double previousM2() const { return prevM2_; }
    double minimum() const { return min_; }
    double maximum() const { return max_; }

    // v - mean(), without the rounding of the mean's magnitude.
    double deviation(double v) const { return (v - shift_) - shiftedMean_; }

    // The six numbers compared to 1e-12 (relative); windows are not compared.
    bool almostEqual(const MovingStats& other) const;

private:
    void rescanMinimum();
    void rescanMaximum();
    void addToSum(double u);

    std::deque<double> window_; // oldest first
    uint64_t n_ = 0;
    double prevMean_ = 0.0;
    double mean_ = 0.0;
    double prevM2_ = 0.0;
    double m2_ = 0.0;
    double min_ = 0.0;
    double max_ = 0.0;
    // Welford's mean drifts when removals follow additions for long: each
    // rounding of the mean stays in it, and M2 picks up that error times how
    // far the values travel (Unix times, trimmed windows). So the mean comes
    // from a compensated sum of the values less the window's first value
    // (exact differences for nearby times), and M2 is updated in that frame.
    double shift_ = 0.0;
    double sum_ = 0.0;
    double compensation_ = 0.0;
    double shiftedMean_ = 0.0;
};

class MovingRegression
{
public:
    void push_back(double x, double y);
    // Removes the oldest pair and takes its share out of the co-moment.
    void pop_front();
    void clear();

    uint64_t count() const { return x_.count(); }
    bool empty() const { return x_.empty(); }
    const MovingStats& x() const { return x_; }
    const MovingStats& y() const { return y_; }
    // Running sum of (x - mean x)(y - mean y).
    double comoment() const { return c_; }
    // Least-squares slope of y against x; NaN below two pairs or when all x are equal.
    double slope() const;

    bool operator==(const MovingRegression& other) const;
    bool operator!=(const MovingRegression& other) const { return !(*this == other); }

private:
    MovingStats x_;
    MovingStats y_;
    double c_ = 0.0;
};

} // namespace Tools
