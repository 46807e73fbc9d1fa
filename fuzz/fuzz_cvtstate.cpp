// Arbitrary bytes as a saved current value table (packets read as CCSDS and
// as TOM) and as the saved form of one rolling history. Restored tables are
// saved and restored again, and every statistic is read. Nothing may crash,
// read outside the data, or allocate by a count or length from the data.
#include "fuzzquiet.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/currentvaluetable.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"

#include <cstdint>
#include <memory>
#include <sstream>

namespace {

using namespace GseLib;

class FuzzHub : public DataInterpretation
{
public:
    FuzzHub()
    {
        if (!database)
            database = std::make_shared<TelemetryDatabase>();
        // Ids 10 and 11 in APID 100, 20 in APID 200, 50 in TOM type 5.
        const uint32_t rows[][2] = {{10, 100}, {11, 100}, {20, 200}, {50, 5}, {51, 5}};
        for (const auto& r : rows) {
            TmDatabaseRow row;
            row.dataId = r[0];
            row.packetType = r[1];
            row.subSystem = "F";
            row.name = "ITEM" + std::to_string(r[0]);
            row.key = row.subSystem + ":" + row.name;
            database->addRow(row);
        }
    }
};

void makeTracked(CurrentValueTable& t)
{
    t.track(10);
    t.trackHistory(11, 10, 8, 30.0);
    t.track(20);
    t.track(50);
    t.trackHistory(51, 50, 0, 5.0);
}

double readAll(const Zevo::History& h)
{
    return h.maximum() + h.minimum() + h.mean() + h.sum() + h.sumOfSquares() + h.rate() + double(h.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static FuzzHub hub;
    static UnixTimeResolver resolver;

    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    double sink = 0.0;

    const CurrentValueTable::PacketMaker tom = [](ByteVectorPtr b, const TimeResolver* r) -> std::shared_ptr<TMPacket> {
        return std::make_shared<TomPacket>(std::move(b), 0, r);
    };
    for (int family = 0; family < 2; ++family) {
        CurrentValueTable t(hub);
        makeTracked(t);
        const bool ok = family == 0 ? t.restoreState(bytes, &resolver) : t.restoreState(bytes, &resolver, tom);
        if (!ok)
            continue;
        for (int id : t.historyMnemonicIds())
            sink += readAll(t.history(id));
        std::ostringstream out;
        out << t;
        CurrentValueTable again(hub);
        makeTracked(again);
        const QByteArray saved = t.saveState();
        if (family == 0 ? !again.restoreState(saved, &resolver) : !again.restoreState(saved, &resolver, tom))
            __builtin_trap(); // a state the table wrote must restore
        sink += double(again.numTrackedMnemonics());
    }

    Zevo::History h(1, 16, 10.0);
    h.restoreValues(bytes);
    sink += readAll(h);
    Zevo::History unlimited(1, 0, 1e300);
    unlimited.restoreValues(bytes);
    sink += readAll(unlimited);
    return sink == 12345.0 ? 1 : 0;
}
