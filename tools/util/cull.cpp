#include "tools/util/cull.h"

#include <cmath>
#include <limits>
#include <set>

namespace {

constexpr double kEndCost = std::numeric_limits<double>::max();

// The error limit stops thinning when it is set and the cost is not within it; a NaN
// limit therefore stops at once.
bool beyondLimit(double cost, double maxError)
{
    return maxError != 0 && !(cost <= maxError);
}

} // namespace

double curvePointCost(double x0, double y0, double x1, double y1, double x2, double y2, double yMax)
{
    if (y0 == y1 && y1 == y2)
        return 0;
    const double d = std::fabs(x2 * y0 + (x1 * (y2 - y0) - (x2 - x0) * y1) - x0 * y2)
                     / std::sqrt((x2 - x0) * (x2 - x0) + (y2 - y0) * (y2 - y0));
    const double m = yMax;
    if (y0 > y1 && y2 > y1) {
        const double e = 1.1 * d;
        return (m - y1) * e * (m - y1) / m / m * 0.1 + e;
    }
    const double w = (y0 < y1 && y2 < y1) ? 1.5 * d : d;
    return w * y1 * y1 / m / m * 0.3 + w;
}

double getError(QList<PointWithError>::iterator point, QList<PointWithError>& curve, double yMax)
{
    if (point == curve.begin() || point + 1 == curve.end())
        return kEndCost;
    const PointWithError& p0 = *(point - 1);
    const PointWithError& p2 = *(point + 1);
    return curvePointCost(p0.x, p0.y, point->x, point->y, p2.x, p2.y, yMax);
}

QList<PointWithError>::iterator removePoint(QList<PointWithError>::iterator point,
                                            QList<PointWithError>& curve, double yMax,
                                            bool recompute)
{
    auto next = curve.erase(point);
    if (recompute) {
        if (next != curve.begin()) {
            auto before = next - 1;
            before->error = getError(before, curve, yMax);
        }
        if (next != curve.end())
            next->error = getError(next, curve, yMax);
    }
    return next;
}

namespace {

// The working curve of cull as a doubly linked list over the input indexes, with the
// inner points of comparable cost kept ordered by (cost, index): the first element is
// the cheapest point, and among equal costs the earliest one, as a scan from the start
// would find it. Each removal costs O(log n) instead of a scan and an array erase.
class ThinningCurve
{
public:
    static constexpr int kNone = -1;

    ThinningCurve(const std::vector<std::pair<double, double>>& points, double yMax)
        : pts_(points), yMax_(yMax), prev_(points.size()), next_(points.size()),
          error_(points.size(), 0.0), size_(int(points.size()))
    {
        for (int i = 0; i < size_; ++i) {
            prev_[i] = i - 1;
            next_[i] = i + 1 < size_ ? i + 1 : kNone;
        }
        for (int i = 0; i < size_; ++i)
            error_[i] = cost(i);
    }

    int size() const { return size_; }
    int first() const { return size_ > 0 ? 0 : kNone; }
    int next(int i) const { return next_[i]; }
    double error(int i) const { return error_[i]; }
    const std::pair<double, double>& point(int i) const { return pts_[i]; }

    // Candidates are tracked from here on.
    void startTracking()
    {
        tracking_ = true;
        for (int i = first(); i != kNone; i = next_[i])
            track(i);
    }

    bool hasCandidate() const { return !candidates_.empty(); }
    std::pair<double, int> cheapest() const { return *candidates_.begin(); }

    // Unlinks i and, with recompute, sets the costs of its neighbours. Returns the
    // point that follows i. Only inner points are removed.
    int remove(int i, bool recompute)
    {
        const int before = prev_[i];
        const int after = next_[i];
        untrack(i);
        next_[before] = after;
        prev_[after] = before;
        --size_;
        if (recompute) {
            setError(before, cost(before));
            setError(after, cost(after));
        }
        return after;
    }

private:
    bool isInner(int i) const { return prev_[i] != kNone && next_[i] != kNone; }

    double cost(int i) const
    {
        if (!isInner(i))
            return kEndCost;
        const auto& p0 = pts_[prev_[i]];
        const auto& p1 = pts_[i];
        const auto& p2 = pts_[next_[i]];
        return curvePointCost(p0.first, p0.second, p1.first, p1.second, p2.first, p2.second, yMax_);
    }

    void setError(int i, double e)
    {
        untrack(i);
        error_[i] = e;
        track(i);
    }

    void track(int i)
    {
        if (tracking_ && isInner(i) && !std::isnan(error_[i]))
            candidates_.emplace(error_[i], i);
    }

    void untrack(int i)
    {
        if (tracking_ && isInner(i) && !std::isnan(error_[i]))
            candidates_.erase({error_[i], i});
    }

    const std::vector<std::pair<double, double>>& pts_;
    double yMax_;
    std::vector<int> prev_, next_;
    std::vector<double> error_;
    int size_;
    bool tracking_ = false;
    std::set<std::pair<double, int>> candidates_;
};

// Removes every point whose stored cost is exactly 0, skipping the point after the one
// that moves into a removed point's place.
void collinearPass(ThinningCurve& curve, bool recompute)
{
    int i = curve.first();
    while (i != ThinningCurve::kNone) {
        if (curve.error(i) == 0) {
            const int moved = curve.remove(i, recompute);
            i = curve.next(moved);
        } else {
            i = curve.next(i);
        }
    }
}

} // namespace

void cull(std::vector<std::pair<double, double>>& points,
          std::vector<std::pair<double, double>>& culled, int maxPoints, double maxError,
          bool finalCollinearPass)
{
    if (points.empty())
        return;
    double yMax = points.front().second;
    for (const auto& p : points)
        if (p.second > yMax)
            yMax = p.second;

    ThinningCurve curve(points, yMax);
    collinearPass(curve, true);

    curve.startTracking();
    while (curve.size() > maxPoints && curve.size() > 2 && curve.hasCandidate()) {
        const auto [cost, index] = curve.cheapest();
        if (beyondLimit(cost, maxError))
            break;
        curve.remove(index, true);
    }

    if (finalCollinearPass)
        collinearPass(curve, false);

    culled.reserve(culled.size() + std::size_t(curve.size()));
    for (int i = curve.first(); i != ThinningCurve::kNone; i = curve.next(i))
        culled.push_back(curve.point(i));
}

double old_getError(QList<QPoint>& curve, int index, double yMax)
{
    if (index <= 0 || index >= curve.size() - 1)
        return kEndCost;
    const QPoint& p0 = curve.at(index - 1);
    const QPoint& p1 = curve.at(index);
    const QPoint& p2 = curve.at(index + 1);
    return curvePointCost(p0.x(), p0.y(), p1.x(), p1.y(), p2.x(), p2.y(), yMax);
}

namespace {

void removeOldPoint(QList<QPoint>& curve, QList<double>& errors, int index, double yMax, bool recompute)
{
    curve.removeAt(index);
    errors.removeAt(index);
    if (recompute) {
        errors[index - 1] = old_getError(curve, index - 1, yMax);
        errors[index] = old_getError(curve, index, yMax);
    }
}

// Removes every inner point whose cost is exactly 0, from the last to the first.
void oldCollinearPass(QList<QPoint>& curve, QList<double>& errors, double yMax, bool recompute)
{
    QList<int> zeros;
    for (int i = 1; i < curve.size() - 1; ++i)
        if (errors.at(i) == 0)
            zeros.append(i);
    for (int k = int(zeros.size()) - 1; k >= 0; --k)
        removeOldPoint(curve, errors, zeros.at(k), yMax, recompute);
}

} // namespace

QList<QPoint> old_cull(QList<QPoint>& curve, int maxPoints, double maxError, bool finalCollinearPass)
{
    QList<QPoint> result = curve;
    if (result.isEmpty())
        return result;
    double yMax = result.first().y();
    for (const QPoint& p : result)
        if (p.y() > yMax)
            yMax = p.y();

    QList<double> errors;
    errors.reserve(result.size());
    for (int i = 0; i < result.size(); ++i)
        errors.append(old_getError(result, i, yMax));

    oldCollinearPass(result, errors, yMax, true);

    while (result.size() > maxPoints && result.size() > 2) {
        int best = -1;
        for (int i = 1; i < result.size() - 1; ++i) {
            if (std::isnan(errors.at(i)))
                continue;
            if (best < 0 || errors.at(i) < errors.at(best))
                best = i;
        }
        if (best < 0 || beyondLimit(errors.at(best), maxError))
            break;
        removeOldPoint(result, errors, best, yMax, true);
    }

    if (finalCollinearPass)
        oldCollinearPass(result, errors, yMax, false);
    return result;
}
