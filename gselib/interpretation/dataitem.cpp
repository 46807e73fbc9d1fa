#include "gselib/interpretation/dataitem.h"

#include <charconv>
#include <limits>
#include <system_error>

namespace GseLib {

namespace {

// Fixed notation of the largest double: 309 digits, the point and six decimals.
constexpr size_t FIXED_DOUBLE_CHARS = std::numeric_limits<double>::max_exponent10 + 1 + 1 + 6 + 2;

template <typename T>
std::string charsOf(T v)
{
    char buffer[FIXED_DOUBLE_CHARS];
    std::to_chars_result r;
    if constexpr (std::is_floating_point_v<T>)
        r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 6);
    else
        r = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, r.ec == std::errc() ? r.ptr : buffer);
}

bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::string DataItem::toString() const
{
    switch (value.index()) {
    case 0:
        return charsOf(*std::get_if<0>(&value));
    case 1:
        return charsOf(*std::get_if<1>(&value));
    case 2:
        return charsOf(*std::get_if<2>(&value));
    case 3:
        return *std::get_if<3>(&value);
    default:
        return std::string();
    }
}

double DataItem::toDouble() const
{
    switch (value.index()) {
    case 0:
        return *std::get_if<0>(&value);
    case 1:
        return double(*std::get_if<1>(&value));
    case 2:
        return double(*std::get_if<2>(&value));
    case 3:
        return leadingNumber(*std::get_if<3>(&value));
    default:
        return 0.0;
    }
}

double leadingNumber(const std::string& text)
{
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end && isCSpace(*p))
        ++p;
    // from_chars takes no plus sign; a sign after it is no number.
    if (p != end && *p == '+') {
        ++p;
        if (p != end && (*p == '-' || *p == '+'))
            return 0.0;
    }
    double v = 0.0;
    const auto r = std::from_chars(p, end, v, std::chars_format::general);
    return r.ec == std::errc() ? v : 0.0;
}

} // namespace GseLib
