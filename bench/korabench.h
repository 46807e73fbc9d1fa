#pragma once
// What the first-instrument benchmarks share: a hub installed over the
// definitions one of the test-data generators in scripts/ writes into a
// temporary folder (as start-up does: INIVEK and HOME there, offsets moved
// by 8), a decoder row over a field, and the timing loop of one decoder
// called directly on a packet.
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/services/configvek.h"
#include "koralib/archive/koradatai.h"
#include "tools/util/pluginmanager.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>

namespace KoraBench {

// The folder, hub and plugin manager of a benchmark program; made once, never freed.
struct GeneratedHub
{
    QTemporaryDir dir;
    KorGse::KorDataInterpretationFactory factory;
    PluginManager manager;
    bool ok = false;

    // Runs scripts/`script` into the folder and installs the hub over what it
    // wrote; false, with the generator's complaint on stderr, when it fails.
    bool generate(const char* script, const QStringList& extra = {})
    {
        QProcess gen;
        gen.start("/usr/bin/python3",
                  QStringList{QStringLiteral(GSE_SOURCE_DIR "/scripts/") + QString::fromLatin1(script), dir.path()} +
                      extra);
        if (!gen.waitForFinished(-1) || gen.exitCode() != 0) {
            std::fprintf(stderr, "%s failed: %s\n", script, gen.readAllStandardError().constData());
            return false;
        }
        qputenv("INIVEK", (dir.path() + "/vek.INI").toUtf8());
        qputenv("HOME", dir.path().toUtf8());
        GseLib::ConfigVek::setDefaultGroup(GseLib::ConfigVek::getDefaultGroupFromIni(QString()));
        GseLib::DataInterpretation::init(&factory, true, &manager, {});
        GseLib::DataInterpretation::current()->updatePktOffsets(8);
        return true;
    }
};

// A row over `l` bytes at `o`, masked.
inline GseLib::TmDatabaseRow decoderRow(uint64_t o, uint64_t l, uint64_t mask)
{
    GseLib::TmDatabaseRow r;
    r.key = "KOR:BENCH";
    r.dataId = 1;
    r.decodeIds = {o, l, mask, 0};
    return r;
}

// One decoder called directly, `perCall` units a call. The list is cleared
// between calls and keeps its capacity, as a list getData grows would.
template <typename Decoder>
void timeDecoder(benchmark::State& state, const GseLib::TMPacketPtr& p, const GseLib::TmDatabaseRow& r,
                 size_t perCall)
{
    const Decoder decoder;
    GseLib::DataItems items;
    for (auto _ : state) {
        items.clear();
        decoder.decode(r, p.get(), items, nullptr);
        benchmark::DoNotOptimize(items.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(perCall));
}

} // namespace KoraBench
