// JSON packet dictionaries: any bytes are parsed as JSON, turned into row cells
// and applied to a database. Rows that cannot be read (a byte order that does
// not fit a float) are reported by exceptions by design.
#include "fuzzquiet.h"
#include "gselib/database/jsondictionary.h"
#include "gselib/database/telemetrydatabase.h"

#include <QJsonDocument>
#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();

    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    QStringList lines;
    QList<int> apids;
    qsizetype rows = 0;
    GseLib::JsonDictionary::convert(document, lines, apids, [&rows](const QStringList& cells) {
        if (cells.size() < 36 || cells.size() > 37)
            __builtin_trap();
        for (const QString& cell : cells) {
            if (cell.contains(QLatin1Char('\t')))
                __builtin_trap();
        }
        ++rows;
    });

    GseLib::TelemetryDatabase db;
    try {
        db.jsonPatch(document);
    } catch (const std::runtime_error&) {
    }
    if (db.rows().size() > static_cast<size_t>(rows))
        __builtin_trap();
    (void)db.allKeys();
    return 0;
}
