#pragma once
// How the science data platform mines a data item. Any 32-bit number is kept
// as given; the named values are those the database texts spell out.
#include <cstdint>

namespace Gse {

enum TarqMineType : std::uint32_t {
    TarqMineNone = 0,
    TarqMineBin = 1,
    TarqMineDelta = 2,
    TarqMineAll = 3,
    TarqMineBlob = 4
};

} // namespace Gse
