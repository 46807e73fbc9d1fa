// Default-masses files: each input becomes the one ".amu" file of the
// configured gse "mcal" folder; the masses must come back without NaN and ascending.
#include "fuzzconfig.h"
#include "fuzzquiet.h"
#include "koralib/masscal/masscal.h"

#include <QDir>
#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    const QString mcal = FuzzConfig::folder("gse") + QStringLiteral("/mcal");
    QDir().mkpath(mcal);
    if (!FuzzConfig::writeInput(mcal + QStringLiteral("/masses.amu"), data, size))
        return 0;
    const QList<double> masses = KorGse::MassCal::getDefaultMasses();
    for (qsizetype i = 0; i < masses.size(); ++i) {
        if (std::isnan(masses[i]) || (i > 0 && masses[i] < masses[i - 1]))
            std::abort();
    }
    return 0;
}
