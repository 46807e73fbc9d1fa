// Mass-calibration files, JSON and text form: each input is read as both kinds
// of entry text and loaded as a file; the loaded table is queried, written and
// read back, and must come back as the same table.
#include "fuzzconfig.h"
#include "fuzzquiet.h"
#include "koralib/masscal/masscal.h"

#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

namespace {

void probe(const KorGse::MassCalEntry& e)
{
    volatile double sink = e.apply(0.0) + e.apply(1.0e4) + e.inverse(1.0) + e.inverse(-1.0e300);
    (void)sink;
    (void)e.toString();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static QTemporaryDir dir;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = QString::fromUtf8(bytes);
    for (int version : {1, 2}) {
        KorGse::MassCalEntry e(version, text);
        probe(e);
        e.setOrder(2);
        e.addDataPoint(1.0, 2.0);
        e.removeDataPoint(1.0);
        probe(e);
    }

    KorGse::MassCal cal;
    const QString in = dir.filePath("in.mcal");
    if (!FuzzConfig::writeInput(in, data, size) || !cal.loadFromFile(in))
        return 0;
    for (int pc : cal.phaseCycles())
        probe(std::as_const(cal)[pc]);
    KorGse::MassCal back;
    const QByteArray written = cal.toString().toUtf8();
    const QString out = dir.filePath("back.mcal");
    if (!FuzzConfig::writeInput(out, reinterpret_cast<const uint8_t*>(written.constData()), size_t(written.size())))
        return 0;
    if (!back.loadFromFile(out))
        std::abort(); // a written calibration must read back
    if (back.phaseCycles() != cal.phaseCycles())
        std::abort();
    for (int pc : cal.phaseCycles()) {
        const KorGse::MassCalEntry a = std::as_const(cal)[pc];
        const KorGse::MassCalEntry b = std::as_const(back)[pc];
        if (a.points != b.points || a.phaseCycle != b.phaseCycle || !(a.fit == b.fit))
            std::abort();
    }
    return 0;
}
