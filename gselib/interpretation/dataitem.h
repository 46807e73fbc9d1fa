#pragma once
// One decoded sample of a data item, as the decoders append it and the hub's
// value reads turn it into a number or a text. Both conversions follow the C
// locale whatever the process locale is, and never throw.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace GseLib {

struct DataItem
{
    double unixTime = 0.0;
    double relativeTime = 0.0;
    int32_t offset = 0;
    int32_t count = 0;
    // Alternative index: 0 double, 1 long long, 2 unsigned long long, 3 text.
    std::variant<double, long long, unsigned long long, std::string> value;

    // Doubles in fixed notation with six decimals ("2.500000"), integers in
    // decimal, text as it is; no value: empty.
    std::string toString() const;
    // The value as a number: text by its leading decimal number after white
    // space (0 when there is none or it is out of range); no value: 0.
    double toDouble() const;
};

using DataItems = std::vector<DataItem>;

// The leading decimal floating-point number of a text after white space, as
// the C locale reads it; 0 when there is none or it does not fit a double.
double leadingNumber(const std::string& text);

} // namespace GseLib
