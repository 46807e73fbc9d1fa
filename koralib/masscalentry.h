#pragma once
// The mass calibration of one phase cycle: calibration points (control value
// to amu) and the polynomial fitted through them, an invertible transform.
// MassCal keeps one per phase cycle; a scan's axis transform chain ends in a
// copy of the entry of the scan's phase cycle.
#include "conversion/transform.h"

#include <QMap>

namespace KorGse {

class MassCalEntry : public BaseTransform
{
public:
    // Invalid, phase cycle -1, identity fit.
    MassCalEntry();
    // Valid, for the given phase cycle, identity fit.
    explicit MassCalEntry(int phaseCycle);
    MassCalEntry(const MassCalEntry&) = default;
    MassCalEntry& operator=(const MassCalEntry&) = default;
    ~MassCalEntry() override;

    // Control value to amu through the fitted polynomial.
    double apply(double x) const override;
    // Amu to control value.
    double inverse(double y) const override;

    QMap<double, double> points; // control value -> amu, shared between copies
    Transform fit;
    bool valid = false;
    double rms = 0.0;
    int phaseCycle = -1;
    int order = 1;
};

} // namespace KorGse
