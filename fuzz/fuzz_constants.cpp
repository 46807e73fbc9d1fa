// constants.json: any bytes are parsed into the constants map.
#include "gselib/database/constants.h"
#include "tools/logger/log.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        Log::setTestSink([](const LoggerEventMsg&) {});
        return true;
    }();
    (void)quiet;

    GseLib::ConstantMap constants;
    GseLib::parseConstants(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)),
                           constants);
    return 0;
}
