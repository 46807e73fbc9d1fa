#pragma once
// Curve thinning: reduces a curve of (x, y) points, such as a spectrum of bin against
// counts, to a few points that keep its shape, by repeatedly removing the inner point
// whose removal costs least (its distance from the chord between its neighbours,
// weighted so that peaks outlast valleys and high points outlast low ones).
#include <QList>
#include <QPoint>

#include <utility>
#include <vector>

struct PointWithError
{
    double x = 0;
    double y = 0;
    double error = 0; // current removal cost
};

// Appends to `culled` (not cleared) the points of `points` that survive thinning, in
// input order. Costs of exactly 0 (collinear points) are removed first; then the
// cheapest inner point (the first of equal costs) goes while more than maxPoints
// remain, unless maxError is not 0 and that cost exceeds it (a NaN maxError stops at
// once). The two end points always stay, so a maxPoints below 2 keeps both; points
// whose cost is NaN are never chosen. With finalCollinearPass, points whose stored
// cost is 0 are removed once more at the end without recomputing costs.
void cull(std::vector<std::pair<double, double>>& points,
          std::vector<std::pair<double, double>>& culled, int maxPoints, double maxError,
          bool finalCollinearPass);

// The removal cost of one point of the curve: the largest finite double for the first
// and the last point.
double getError(QList<PointWithError>::iterator point, QList<PointWithError>& curve, double yMax);

// Erases the point; with recompute, then sets the costs of the point before it and of
// the point that took its place (where they exist). Returns the position of the point
// that took the erased one's place.
QList<PointWithError>::iterator removePoint(QList<PointWithError>::iterator point,
                                            QList<PointWithError>& curve, double yMax,
                                            bool recompute);

// The cost of P1 between P0 and P2 (all three present) for the largest y yMax.
double curvePointCost(double x0, double y0, double x1, double y1, double x2, double y2, double yMax);

// The older form over integer points addressed by index.
double old_getError(QList<QPoint>& curve, int index, double yMax);
QList<QPoint> old_cull(QList<QPoint>& curve, int maxPoints, double maxError, bool finalCollinearPass);
