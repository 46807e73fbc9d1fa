// Packet-type files: the bytes are loaded as tm_packet_types.txt (through a
// file) and, split at line feeds, as the lines a JSON dictionary hands over,
// with time fields resolved against a few database rows; then every entry is
// looked up by id and name and written to a debug stream.
#include "fuzzquiet.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/packettypes.h"

#include <QBuffer>
#include <QDebug>
#include <QTemporaryFile>

#include <cstdint>
#include <stdexcept>

namespace {

const char* const ROWS = "SUB_SYSTEM\tNAME\tDESCRIPTION\tDATA_ID\tPACKET_TYPE\tDECODE_TYPE\tDECODE_ID1\t"
                         "DECODE_ID2\tDECODE_ID3\tDECODE_ID4\tRAW_FMT\tENG_FMT\tENG_EQ_TYPE\tENG_K1\tENG_K2\t"
                         "SCI_UNITS\tSCI_FMT\tSCI_EQ_TYPE\tSCI_FROM_ENG\tSCI_K1\tSCI_K2\tSCI_K3\tSCI_K4\tSCI_K5\t"
                         "SCI_K6\tSCI_K7\tSCI_K8\n"
                         "HK\tSCLK\tclock\t1\t7\t8\t16\t4\t0\t0\t%d\t%.3f\t0\t0\t1\ts\t%.3f\t0\tN\t0\t1\t0\t0\t0\t0\t0\t0\n"
                         "\tSCLK\tbare\t2\t8\t8\t16\t4\t0\t0\t%d\t%.3f\t0\t0\t1\ts\t%.3f\t0\tN\t0\t1\t0\t0\t0\t0\t0\t0\n"
                         "HK\tGPS\tgps\t1234\t9\t10\t6\t8\t0\t0\t%d\t%.3f\t0\t0\t1\ts\t%.3f\t0\tN\t0\t1\t0\t0\t0\t0\t0\t0\n";

class RowsHub : public GseLib::DataInterpretation
{
public:
    RowsHub()
    {
        if (!database)
            database = std::make_shared<GseLib::TelemetryDatabase>();
        QByteArray rows(ROWS);
        QBuffer buffer(&rows);
        buffer.open(QIODevice::ReadOnly);
        database->patchText(QStringLiteral("rows"), buffer, std::string());
        if (database->rows().size() != 3)
            __builtin_trap();
    }
};

void check(const GseLib::PacketTypes& types)
{
    for (auto it = types.cbegin(); it != types.cend(); ++it) {
        if (!it->valid || it.key() != it->type)
            __builtin_trap(); // only valid lines are entered, under their own id
        if (types.info(it.key()).name != it->name)
            __builtin_trap();
        (void)types.type(it->name);
        (void)types.isValidLength(it.key(), it->minLength);
    }
    QString text;
    QDebug(&text) << types;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static RowsHub hub;
    static QTemporaryFile file;
    if (!file.isOpen() && !file.open())
        return 0;

    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    file.resize(0);
    file.seek(0);
    file.write(bytes);
    file.flush();

    GseLib::PacketTypes types;
    if (!types.load(file.fileName(), size % 2 ? nullptr : &hub))
        __builtin_trap(); // a plain file always opens
    check(types);

    QList<QString> lines;
    for (const QByteArray& line : bytes.split('\n'))
        lines << QString::fromUtf8(line);
    types.load(lines, &hub);
    check(types);
    return 0;
}
