// scantypesinfo.json: each input becomes the configured definitions folder's
// file; the table is built (its parsing exceptions are expected) and queried.
// Without an interpretation hub the conversions of types that need one throw.
#include "gselib/services/configvek.h"
#include "koralib/scantypesinfo.h"
#include "tools/util/parsingexception.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    static const bool configured = [] {
        QFile ini(dir.filePath("vek.INI"));
        ini.open(QIODevice::WriteOnly);
        ini.write("[VEK]\ndefault_group=KORA\n[KORA]\ntm_definitions=" + dir.path().toUtf8() + "\n");
        ini.close();
        qputenv("INIVEK", dir.filePath("vek.INI").toUtf8());
        GseLib::ConfigVek::setDefaultGroup(QStringLiteral("KORA"));
        return true;
    }();
    (void)configured;

    QFile f(dir.filePath(KorGse::ScanTypesInfo::CFG_FILENAME));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    f.close();
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
