// scantypesinfo.json: each input becomes the configured definitions folder's
// file; the table is built (its parsing exceptions are expected) and queried.
// Without an interpretation hub the conversions of types that need one throw.
#include "fuzzconfig.h"
#include "fuzzquiet.h"
#include "koralib/scans/scantypesinfo.h"
#include "tools/util/parsingexception.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    const QString path =
        FuzzConfig::folder("tm_definitions") + QLatin1Char('/') + KorGse::ScanTypesInfo::CFG_FILENAME;
    if (!FuzzConfig::writeInput(path, data, size))
        return 0;
    try {
        const KorGse::ScanTypesInfo table;
        (void)table.names();
        for (int id : table.ids()) {
            if (!table.hasId(id) || !table.info(id))
                return 1;
            try {
                (void)table.info(id)->defaultApply(3.5);
                (void)table.info(id)->defaultApplyStr(3.5);
            } catch (const std::runtime_error&) {
                // no hub in this program
            }
        }
    } catch (const ParsingException&) {
    }
    return 0;
}
