#pragma once
// The stage of a decoded value: raw count, engineering value or science value.

namespace Gse {

enum ValueMode : int {
    Raw = 0, // the value unchanged
    Eng = 1, // the row's engineering transfer function applied to the raw value
    Sci = 2  // the science transfer function (on the engineering value when the row says so)
};

} // namespace Gse
