#pragma once
// Float-to-integer conversions of values that come from files. A plain
// static_cast of NaN or of an out-of-range double is undefined behaviour;
// these give a defined result instead.
#include <cmath>
#include <concepts>
#include <limits>

namespace nr {

// Truncates toward zero; NaN gives 0, values beyond the range give the
// nearest representable limit.
template <std::integral Int>
inline Int truncateSaturating(double v)
{
    using L = std::numeric_limits<Int>;
    if (std::isnan(v))
        return 0;
    // 2^digits is exactly representable, unlike L::max() itself.
    const double upper = std::ldexp(1.0, L::digits);
    if (v >= upper)
        return L::max();
    if constexpr (L::is_signed) {
        if (v <= -upper)
            return L::min();
    } else {
        if (v <= -1.0)
            return 0;
    }
    return static_cast<Int>(v);
}

} // namespace nr
