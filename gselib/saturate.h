#pragma once
// Explicit double-to-integer conversions for values that come from files or
// packets: truncation toward zero, saturating at the ends of the target range,
// so a huge or infinite value never becomes undefined behaviour.
#include <cmath>
#include <limits>

namespace GseLib {

// Truncates toward zero and clamps to [lowest, max] of T. NaN gives 0; callers
// that must tell NaN apart test std::isnan first.
template <typename T>
T saturatingCast(double v)
{
    static_assert(std::numeric_limits<T>::is_integer, "integer target only");
    if (std::isnan(v))
        return T(0);
    // 2^digits is exactly representable; anything at or above it does not fit.
    constexpr double upper = 2.0 * static_cast<double>(std::numeric_limits<T>::max() / 2 + 1);
    if (v >= upper)
        return std::numeric_limits<T>::max();
    if constexpr (std::numeric_limits<T>::is_signed) {
        if (v < -upper)
            return std::numeric_limits<T>::lowest();
    } else {
        if (v <= -1.0)
            return T(0);
    }
    return static_cast<T>(v); // in range: truncates toward zero
}

} // namespace GseLib
