#pragma once
#include <cstddef>
#include <vector>

namespace nr {

// A coefficient list extended with zeros to at least `count` elements. Rows
// may give fewer coefficients than a function reads (an engineering row gives
// two); the missing ones read as 0. Longer lists keep their extra elements.
inline std::vector<double> paddedCoefficients(std::vector<double> k, std::size_t count)
{
    if (k.size() < count)
        k.resize(count, 0.0);
    return k;
}

} // namespace nr
