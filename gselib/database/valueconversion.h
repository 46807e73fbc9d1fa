#pragma once
// A raw value carried to a value stage through a row's transfer functions.
#include "conversion/transferfunc.h"
#include "gselib/interpretation/valuemode.h"

namespace GseLib {

// Raw (and below): the value itself. Eng: the engineering function applied.
// Sci: the science function applied, to the engineering value when sciFromEng.
// A missing function converts nothing.
inline double convertToMode(double value, Gse::ValueMode mode, const TransferFunc* eng, const TransferFunc* sci,
                            bool sciFromEng)
{
    if (mode <= Gse::Raw)
        return value;
    if ((mode == Gse::Eng || sciFromEng) && eng)
        value = eng->apply(value);
    if (mode == Gse::Sci && sci)
        value = sci->apply(value);
    return value;
}

} // namespace GseLib
