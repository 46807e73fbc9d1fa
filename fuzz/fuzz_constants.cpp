// constants.json: any bytes are parsed into the constants map.
#include "fuzzquiet.h"
#include "gselib/database/constants.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();

    GseLib::ConstantMap constants;
    GseLib::parseConstants(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)),
                           constants);
    return 0;
}
