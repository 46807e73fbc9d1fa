#pragma once
// An inclusive range of values, low..high.

namespace GseLib {

template <typename T>
struct Range
{
    T low{};
    T high{};

    Range() = default;
    Range(T lo, T hi) : low(lo), high(hi) {}

    bool contains(const T& v) const { return low <= v && v <= high; }
    bool operator==(const Range& o) const { return low == o.low && high == o.high; }
    bool operator!=(const Range& o) const { return !(*this == o); }
};

} // namespace GseLib
