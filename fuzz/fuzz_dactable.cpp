// DAC conversion table text: every line is parsed, every row's range and
// count conversion exercised.
#include "fuzzquiet.h"
#include "gselib/database/dactable.h"

#include <QBuffer>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();

    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    GseLib::DacTable table;
    table.read(buffer, QStringLiteral("fuzz"));

    double sink = 0.0;
    for (int id : table.allDacIds()) {
        const GseLib::DacTableRow& row = table.row(id);
        sink += row.valid(0.0) + row.valid(-1.0e300) + row.valid(1.0e300);
        sink += row.toValue(0) + row.toValue(-1) + row.toValue(0x7FFFFFFFFFFFFFFFLL);
    }
    QString text;
    QTextStream out(&text);
    table.dump(out);
    (void)table.getNames();
    return sink == 12345.0 ? 1 : 0;
}
