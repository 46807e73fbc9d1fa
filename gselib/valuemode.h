#pragma once
// The stage of a decoded value: as read from the packet, engineering or science.

namespace Gse {

enum ValueMode : int {
    Raw = 0, // the value unchanged
    Eng = 1, // the row's engineering transfer function applied to the raw value
    Sci = 2  // the science transfer function, applied to the ENG value when the row says so
};

} // namespace Gse
