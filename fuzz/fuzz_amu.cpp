// Default-masses files: each input becomes the one ".amu" file of the
// configured gse "mcal" folder; the masses must come back finite and ascending.
#include "gselib/services/configvek.h"
#include "koralib/masscal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    static const bool configured = [] {
        QFile ini(dir.filePath("vek.INI"));
        ini.open(QIODevice::WriteOnly);
        ini.write("[VEK]\ndefault_group=KORA\n[KORA]\ngse=" + dir.path().toUtf8() + "\n");
        ini.close();
        qputenv("INIVEK", dir.filePath("vek.INI").toUtf8());
        GseLib::ConfigVek::setDefaultGroup(QStringLiteral("KORA"));
        return QDir().mkpath(dir.filePath("mcal"));
    }();
    (void)configured;

    QFile f(dir.filePath("mcal/masses.amu"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    f.close();
    const QList<double> masses = KorGse::MassCal::getDefaultMasses();
    for (qsizetype i = 0; i < masses.size(); ++i) {
        if (!std::isfinite(masses[i]) || (i > 0 && masses[i] < masses[i - 1]))
            std::abort();
    }
    return 0;
}
