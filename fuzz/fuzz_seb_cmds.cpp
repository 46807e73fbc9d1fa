// Arbitrary bytes as seb_cmds.json, then every field of every command the
// table holds decoded over input-chosen command bytes, through the
// interpreter's per-field operations and through SebCmd. A bad table may only
// throw the parsing exceptions (and then install nothing); a bad field or
// index only std::out_of_range. The command vector is allocated to its exact
// size, so a read past it is caught by the sanitizer.
//
// Input: 2 bytes (big-endian) J, J bytes of JSON (fewer when the input ends),
// then 1 byte (byte count of HK row 900, 0-15), 8 bytes DECODE_ID3 and 4 bytes
// DECODE_ID4 of that row (little-endian), then the command bytes.
#include "conversion/rationaltransferfunc.h"
#include "fuzzquiet.h"
#include "gselib/database/dactable.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "koralib/seb/sebcmd.h"
#include "koralib/seb/sebcmdinterpreter.h"
#include "tools/util/parsingexception.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

constexpr unsigned HK_ID = 900;

// A hub with one HK row (its layout rewritten per input) and a DAC table of
// signed, unsigned, zero-divisor and wide rows.
class FuzzHub : public GseLib::DataInterpretation
{
public:
    FuzzHub()
    {
        GseLib::TmDatabaseRow row;
        row.dataId = HK_ID;
        row.subSystem = "SEB";
        row.name = "FIELD";
        row.key = "SEB:FIELD";
        row.sciUnits = "mA";
        row.sciTransferFunc = std::make_shared<RationalTransferFunc>(std::vector<double>{-5.0, 0.25});
        database->addRow(row);
        for (const char* line : {"0\t0\tEM_A\t12\t0x0FFF\t0\t0\t-1", "1\t1\tEM_B\t12\t0x0FFF\t0\t0\t-1",
                                 "2\t2\tLENS\t12\t0x0FFF\t1\t0\t1", "3\t3\tZERO\t16\t0xFFFF\t0\t5\t0",
                                 "4\t4\tWIDE\t64\t0xFFFF\t1\t1\t3", "5\t5\tNOBITS\t0\t0xFFFF\t1\t0\t1",
                                 "255\t255\tTOP\t16\t0xFFFF\t1\t-1\t0.5"})
            dacTable->addRow(GseLib::DacTableRow(QByteArray(line)));
    }
    GseLib::TmDatabaseRow& hkRow() { return database->row(HK_ID); }
};

class FuzzHubFactory : public GseLib::DataInterpretationFactory
{
public:
    std::unique_ptr<GseLib::DataInterpretation> make() override { return std::make_unique<FuzzHub>(); }
};

uint64_t le(const uint8_t* p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

template <class F>
void mayBeOutOfRange(F f)
{
    try {
        f();
    } catch (const std::out_of_range&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static FuzzHub* hub = [] {
        static FuzzHubFactory factory;
        GseLib::DataInterpretation::init(&factory, false, nullptr, {});
        return static_cast<FuzzHub*>(GseLib::DataInterpretation::current());
    }();
    if (size < 2)
        return 0;
    const size_t j = std::min<size_t>(size - 2, (size_t(data[0]) << 8) | data[1]);
    const QByteArray json(reinterpret_cast<const char*>(data + 2), qsizetype(j));
    data += 2 + j;
    size -= 2 + j;

    uint8_t hk[13] = {};
    std::copy(data, data + std::min<size_t>(size, 13), hk);
    const size_t skip = std::min<size_t>(size, 13);
    data += skip;
    size -= skip;
    GseLib::TmDatabaseRow& row = hub->hkRow();
    row.byteOrder.assign(hk[0] % 16, 1u);
    row.decodeIds = {0, row.byteOrder.size(), le(hk + 1, 8), le(hk + 9, 4)};

    KorGse::SebCmdInterpreter::clearInterpreters();
    try {
        KorGse::SebCmdInterpreter::loadInterpreters(json);
    } catch (const ParsingException&) {
        // A bad entry installs nothing.
        if (!KorGse::SebCmdInterpreter::interpreters().isEmpty())
            std::abort();
        return 0;
    }

    // Exactly the input's command bytes: no slack to read into.
    auto bytes = std::make_shared<std::vector<unsigned char>>(data, data + size);
    for (const auto& interp : KorGse::SebCmdInterpreter::interpreters()) {
        (void)interp->toString();
        if (interp->fieldStringList().size() != interp->fieldCount())
            std::abort();
        KorGse::SebCmd cmd(interp->cmdId, bytes, 0, int(bytes->size()));
        if (cmd.name() != interp->name || cmd.data->size() != bytes->size())
            std::abort();
        for (int i = -1; i <= interp->fieldCount(); ++i) {
            mayBeOutOfRange([&] { (void)interp->fieldSize(i); });
            mayBeOutOfRange([&] { (void)interp->fieldOffset(i); });
            mayBeOutOfRange([&] { (void)interp->fieldName(i); });
            mayBeOutOfRange([&] { (void)interp->fieldDescription(i); });
            mayBeOutOfRange([&] {
                const QByteArray v = interp->decodeField(i, *bytes);
                if (v.size() != std::max(interp->fieldSize(i), 0))
                    std::abort();
            });
            mayBeOutOfRange([&] { (void)interp->decodeFieldToUInt(i, *bytes); });
            mayBeOutOfRange([&] { (void)interp->decodeFieldToHexStr(i, *bytes); });
            mayBeOutOfRange([&] { (void)interp->decodeFieldToDecStr(i, *bytes); });
            mayBeOutOfRange([&] { (void)interp->decodeFieldToSci(i, *bytes); });
            mayBeOutOfRange([&] { (void)interp->decodeFieldToSciStr(i, *bytes); });
            mayBeOutOfRange([&] { (void)cmd.fieldSci(i); });
            mayBeOutOfRange([&] { (void)cmd.fieldSciStr(i); });
        }
    }
    // An id the table may lack.
    KorGse::SebCmd other(bytes->size() > 3 ? (*bytes)[3] : 0, bytes, 0, int(bytes->size()));
    (void)other.name();
    mayBeOutOfRange([&] { (void)other.fieldSciStr(0); });
    return 0;
}
