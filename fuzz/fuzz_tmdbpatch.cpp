// Text database files: the bytes are applied as a database patch on top of a
// few rows, then every row is listed, written out and removed again. Missing
// required columns and bad mining types are reported by exceptions by design.
#include "fuzzquiet.h"
#include "gselib/database/telemetrydatabase.h"

#include <QBuffer>
#include <cstdint>
#include <sstream>
#include <stdexcept>

namespace {

const char* const BASE = "SUB_SYSTEM\tNAME\tDESCRIPTION\tDATA_ID\tPACKET_TYPE\tDECODE_TYPE\tDECODE_ID1\t"
                         "DECODE_ID2\tDECODE_ID3\tDECODE_ID4\tRAW_FMT\tENG_FMT\tENG_EQ_TYPE\tENG_K1\tENG_K2\t"
                         "SCI_UNITS\tSCI_FMT\tSCI_EQ_TYPE\tSCI_FROM_ENG\tSCI_K1\tSCI_K2\tSCI_K3\tSCI_K4\tSCI_K5\t"
                         "SCI_K6\tSCI_K7\tSCI_K8\n"
                         "HK\tA\ta\t1\t7\t1\t16\t2\t0xFFFF\t0\t%04X\t%.3f\t0\t0\t1\tV\t%.3f\t1\tN\t0\t1\t0\t0\t0\t0\t0\t0\n"
                         "HK\tB\tb\t2\t7\t5\t18\t4:3:2:1\t0xFFFFFFFF\t0\t%08X\t%.3f\t0\t0\t1\tV\t%.3f\t1\tN\t0\t1\t0\t0\t0\t0\t0\t0\n";

bool apply(GseLib::TelemetryDatabase& db, QByteArray bytes)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    try {
        return db.patchText(QStringLiteral("fuzz"), buffer, std::string());
    } catch (const std::runtime_error&) {
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();

    GseLib::TelemetryDatabase db;
    apply(db, QByteArray(BASE));
    db.setIgnoreTarqMineTypeNone(size % 2 == 1);
    apply(db, QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));

    (void)db.allKeys();
    (void)db.usedDecoderTypes();
    (void)db.usedSciEqTypes();
    std::ostringstream out;
    out << db;
    for (const auto& [key, id] : GseLib::TelemetryDatabase::KeyMap(db.idsByKey())) {
        if (db.getId(key.c_str()) == id)
            (void)db.row(key.c_str());
    }
    for (unsigned int id : db.allIds()) {
        if (!db.removeRow(id))
            __builtin_trap(); // every listed id has a row
    }
    if (!db.rows().empty() || !db.idsByKey().empty())
        __builtin_trap();
    return 0;
}
