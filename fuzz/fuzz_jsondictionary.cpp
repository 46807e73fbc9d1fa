// JSON packet dictionaries: any bytes are parsed as JSON and turned into row cells.
#include "gselib/jsondictionary.h"
#include "tools/logger/log.h"

#include <QJsonDocument>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        Log::setTestSink([](const LoggerEventMsg&) {});
        return true;
    }();
    (void)quiet;

    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    QStringList lines;
    QList<int> apids;
    qsizetype cells = 0;
    GseLib::JsonDictionary::convert(document, lines, apids, [&cells](const QStringList& row) {
        if (row.size() < 36 || row.size() > 37)
            __builtin_trap();
        cells += row.size();
    });
    return 0;
}
