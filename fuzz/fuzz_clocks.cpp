// clocks.txt: the bytes are loaded as the clock file of a database and every
// clock converts a few readings.
#include "fuzzquiet.h"
#include "gselib/database/telemetrydatabase.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <limits>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("clocks.txt"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }

    GseLib::TelemetryDatabase db;
    db.loadClocksFile(path);
    double sum = 0.0;
    for (const auto& [name, clock] : db.clocks()) {
        if (!clock)
            __builtin_trap();
        sum += clock->toUnixTime(0, 0, 0);
        sum += clock->toUnixTime(std::numeric_limits<long long>::max(), -1, 256);
        sum += clock->toUnixTime(std::numeric_limits<long long>::min(), 1, 65536);
        (void)clock->toJson();
    }
    return sum == 1.0 ? 1 : 0;
}
