// First-instrument throughput: the archive parse with the hub (against the
// base parse of the same file), time lookups, science segments, summed scans
// and the queries of a 200-segment scan. The archive is written by
// scripts/gen_kora.py (--packets, default 1,000,000; KORA_BENCH_PACKETS overrides).
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/services/configvek.h"
#include "gselib/packets/timeresolvers.h"
#include "koralib/koradatai.h"
#include "koralib/korpacketrecords.h"
#include "koralib/kortelemetrycache.h"
#include "koralib/scandata.h"
#include "tools/util/pluginmanager.h"

#include <QByteArray>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct Fixture
{
    QTemporaryDir dir;
    std::string archive;
    KorGse::KorDataInterpretationFactory factory;
    PluginManager manager;
    std::unique_ptr<KorGse::KorTelemetryCache> cache;
    bool ok = false;
};

Fixture& fixture()
{
    static Fixture* f = [] {
        auto* fx = new Fixture;
        const char* n = std::getenv("KORA_BENCH_PACKETS");
        QProcess gen;
        gen.start("/usr/bin/python3", {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_kora.py"), fx->dir.path(),
                                       QStringLiteral("--packets"), QString::fromLatin1(n ? n : "1000000")});
        if (!gen.waitForFinished(-1) || gen.exitCode() != 0) {
            std::fprintf(stderr, "gen_kora.py failed: %s\n", gen.readAllStandardError().constData());
            return fx;
        }
        qputenv("INIVEK", (fx->dir.path() + "/vek.INI").toUtf8());
        qputenv("HOME", fx->dir.path().toUtf8());
        GseLib::ConfigVek::setDefaultGroup(GseLib::ConfigVek::getDefaultGroupFromIni(QString()));
        GseLib::DataInterpretation::init(&fx->factory, true, &fx->manager, {});
        GseLib::DataInterpretation::current()->updatePktOffsets(8);
        fx->archive = (fx->dir.path() + "/bulk/tm.tlm").toStdString();
        fx->cache = std::make_unique<KorGse::KorTelemetryCache>();
        fx->cache->changeFile(fx->archive, true);
        fx->ok = fx->cache->count() > 0;
        return fx;
    }();
    return *f;
}

void BM_ParseKora(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok)
        return state.SkipWithError("no archive");
    KorGse::KorTelemetryCache cache;
    // One parse before timing: the first one pays for touching the packet
    // storage and the resolver's reserve, which later parses reuse.
    cache.changeFile(f.archive, true);
    size_t n = 0;
    for (auto _ : state) {
        cache.changeFile(f.archive, true);
        n = cache.count();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}
// Several timed parses whatever the archive's size, so one slow pass is not the figure.
BENCHMARK(BM_ParseKora)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The shared cache with a resolver that decodes nothing: the floor for the parse above.
void BM_ParseBase(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok)
        return state.SkipWithError("no archive");
    GseLib::TelemetryCache cache(new GseLib::UnixTimeResolver);
    cache.setPacketFormat(GseLib::TelemetryCache::TOM);
    cache.changeFile(f.archive, true); // untimed, as above
    size_t n = 0;
    for (auto _ : state) {
        cache.changeFile(f.archive, true);
        n = cache.count();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}
BENCHMARK(BM_ParseBase)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_TimeLookups(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok)
        return state.SkipWithError("no archive");
    const auto& packets = f.cache->allPackets();
    for (auto _ : state) {
        double s = 0.0;
        for (const auto& p : packets)
            s += p->unixTime() + p->relativeTime();
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(int64_t(state.iterations() * packets.size() * 2));
}
BENCHMARK(BM_TimeLookups);

void BM_SciDataPacket(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok)
        return state.SkipWithError("no archive");
    std::vector<GseLib::TMPacketPtr> science;
    for (const auto& p : f.cache->allPackets())
        if (p->type() == 26)
            science.push_back(p);
    for (auto _ : state)
        for (const auto& p : science)
            benchmark::DoNotOptimize(KorGse::SciDataPacket(p).totalCounts);
    state.SetItemsProcessed(int64_t(state.iterations() * science.size()));
}
BENCHMARK(BM_SciDataPacket);

void BM_SummedScan(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok)
        return state.SkipWithError("no archive");
    std::vector<GseLib::TMPacketPtr> summed;
    for (const auto& p : f.cache->allPackets())
        if (p->type() == 27 && summed.size() < 10000)
            summed.push_back(p);
    size_t bins = 0;
    for (auto _ : state) {
        bins = 0;
        for (const auto& p : summed) {
            const KorGse::ScanData s(p, {}, true, KORA::PacketTime);
            bins += s.nBins();
        }
    }
    state.counters["bins/s"] = benchmark::Counter(double(bins) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SummedScan);

KorGse::ScanData bigScan()
{
    KorGse::ScanData scan;
    for (int k = 0; k < 200; ++k) {
        KorGse::SciDataPacket s;
        s.startBin = uint16_t(100 * k);
        s.numBins = 100;
        s.endBin = uint16_t(100 * k + 100);
        for (int j = 0; j < 100; ++j) {
            s.counts[size_t(j)] = (j * 31 + k) % 97;
            s.totalCounts += s.counts[size_t(j)];
            s.maxCount = std::max(s.maxCount, s.counts[size_t(j)]);
        }
        scan.addSciDataPkt(s, k);
    }
    scan.numScans = 63;
    for (int i = 0; i < 63; ++i) {
        KorGse::ScanStatus st;
        st.pauseTimesMs[2] = 1.0 + i;
        st.setDacValue[2] = 4.0;
        st.regDacValue[6] = -60.0;
        st.binTimeReadback = 100.0;
        scan.scanStatuses.append(st);
    }
    return scan;
}

void BM_ScanQueries(benchmark::State& state)
{
    const KorGse::ScanData scan = bigScan();
    for (auto _ : state) {
        double sum = 0.0;
        double max = 0.0;
        scan.selectedIonCountSumAndMax(sum, max, 0, 0);
        benchmark::DoNotOptimize(sum + max);
        scan.selectedIonCountSumAndMax(sum, max, 150, 19950);
        benchmark::DoNotOptimize(sum + max + scan.nBins() + scan.countsPerSecond() +
                                 scan.correctedTotalIonCount(100, 100, -68, -0.0992) +
                                 scan.correctedTotalIonCountFactor(100, 100, -68, -0.0992));
    }
}
BENCHMARK(BM_ScanQueries);

void BM_BinVsCounts(benchmark::State& state)
{
    const KorGse::ScanData scan = bigScan();
    for (auto _ : state)
        benchmark::DoNotOptimize(scan.binVsCounts().size());
    state.SetItemsProcessed(int64_t(state.iterations() * 20000));
}
BENCHMARK(BM_BinVsCounts);

} // namespace

BENCHMARK_MAIN();
