// Scan assembly and traces over the benchmark archive of
// scripts/gen_kora_scans.py --bench (300,000 packets, 3,000 scans of 60
// segments, two statuses and 38 housekeeping and other packets each), already
// parsed into the shared packet cache. The traces are timed after one untimed
// call (the sicTrace goal is for repeated calls: the RF transforms are cached).
// Goals: full refresh <= 150 ms; type-26 path >= 2 M packets/s; type-25 path
// >= 200 k packets/s; a refresh after 1% growth <= 2% of a full one;
// maxIonCountTrace and correctedTicTrace <= 1 us a scan; sicTrace over a mass
// range <= 50 us a 6,000-bin scan; traces scale linearly (1x, 2x, 4x scans).
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "korabench.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/masscal/masscal.h"
#include "koralib/scans/sciencedatacache.h"
#include "koralib/seb/sebcmdinterpreter.h"

#include <QDir>
#include <QFile>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Fixture : KoraBench::GeneratedHub
{
    QString archive;
    int copies = 0; // times the archive is loaded into the shared cache
};

Fixture& fixture()
{
    static Fixture* f = [] {
        auto* fx = new Fixture;
        if (!fx->generate("gen_kora_scans.py", {QStringLiteral("--bench")}))
            return fx;
        KorGse::SebCmdInterpreter::createInterpreters();
        GseLib::TelemetryFile::setSharedCache(new KorGse::KorTelemetryCache);
        fx->archive = fx->dir.path() + "/bench/tm.tlm";
        fx->ok = true;
        return fx;
    }();
    return *f;
}

// The shared cache holding the archive `copies` times over (indexes run on).
bool load(int copies)
{
    Fixture& f = fixture();
    if (!f.ok)
        return false;
    if (f.copies != copies) {
        GseLib::TelemetryFile::setSharedCacheFiles(std::vector<std::string>(size_t(copies), f.archive.toStdString()));
        f.copies = copies;
    }
    return GseLib::TelemetryFile::sharedCache()->count() > 0;
}

std::vector<GseLib::TMPacketPtr> packetsOfType(int type)
{
    std::vector<GseLib::TMPacketPtr> out;
    for (const auto& p : GseLib::TelemetryFile::sharedCache()->allPackets())
        if (p->type() == type)
            out.push_back(p);
    return out;
}

void BM_FullRefresh(benchmark::State& state)
{
    if (!load(1))
        return state.SkipWithError("no archive");
    int scans = 0;
    std::unique_ptr<KorGse::ScienceDataCache> cache;
    for (auto _ : state) {
        // Releasing the last iteration's scans is not part of a refresh.
        state.PauseTiming();
        cache.reset();
        state.ResumeTiming();
        cache = std::make_unique<KorGse::ScienceDataCache>(new GseLib::TelemetryFile);
        cache->refresh();
        scans = cache->size();
    }
    state.counters["scans"] = scans;
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(GseLib::TelemetryFile::sharedCache()->count()));
}
BENCHMARK(BM_FullRefresh)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Every type-26 packet through handleSciencePacket: segments join and scans close on their markers.
void BM_SciencePath(benchmark::State& state)
{
    if (!load(1))
        return state.SkipWithError("no archive");
    const auto packets = packetsOfType(26);
    for (auto _ : state) {
        KorGse::ScienceDataCache cache(new GseLib::TelemetryFile);
        for (const auto& p : packets)
            cache.handleSciencePacket(p);
        benchmark::DoNotOptimize(cache.size());
    }
    state.SetItemsProcessed(int64_t(state.iterations() * packets.size()));
}
BENCHMARK(BM_SciencePath)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Every type-25 packet through handleScanStatusPacket.
void BM_StatusPath(benchmark::State& state)
{
    if (!load(1))
        return state.SkipWithError("no archive");
    const auto packets = packetsOfType(25);
    for (auto _ : state) {
        KorGse::ScienceDataCache cache(new GseLib::TelemetryFile);
        for (const auto& p : packets)
            cache.handleScanStatusPacket(p);
        benchmark::DoNotOptimize(cache.size());
    }
    state.SetItemsProcessed(int64_t(state.iterations() * packets.size()));
}
BENCHMARK(BM_StatusPath)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A refresh after the archive grew by its last 1% (the first 99% refreshed, untimed).
void BM_GrowthRefresh(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!load(1))
        return state.SkipWithError("no archive");
    QFile in(f.archive);
    if (!in.open(QIODevice::ReadOnly))
        return state.SkipWithError("no archive");
    const QByteArray bytes = in.readAll();
    // Cut at a packet boundary: the offset of the packet 99% of the way in.
    const auto& all = GseLib::TelemetryFile::sharedCache()->allPackets();
    qsizetype cut = 0;
    const size_t keep = all.size() * 99 / 100;
    for (size_t i = 0; i < keep; ++i)
        cut += qsizetype(all[i]->bytes->size());
    const QString path = f.dir.path() + "/grow/tm.tlm";
    QDir().mkpath(f.dir.path() + "/grow");
    QFile::copy(f.dir.path() + "/bench/tm.meta", f.dir.path() + "/grow/tm.meta");
    size_t grown = 0;
    std::unique_ptr<KorGse::ScienceDataCache> cache;
    for (auto _ : state) {
        state.PauseTiming();
        cache.reset(); // outside the timed part, as in BM_FullRefresh
        {
            QFile out(path);
            out.open(QIODevice::WriteOnly | QIODevice::Truncate);
            out.write(bytes.constData(), cut);
        }
        GseLib::TelemetryFile::setSharedCacheFile(path.toStdString());
        f.copies = 0;
        cache = std::make_unique<KorGse::ScienceDataCache>(new GseLib::TelemetryFile);
        cache->refresh();
        const size_t before = GseLib::TelemetryFile::sharedCache()->count();
        {
            QFile out(path);
            out.open(QIODevice::Append);
            out.write(bytes.constData() + cut, bytes.size() - cut);
        }
        GseLib::TelemetryFile::updateSharedCache();
        grown = GseLib::TelemetryFile::sharedCache()->count() - before;
        state.ResumeTiming();
        cache->refresh();
        benchmark::DoNotOptimize(cache->size());
    }
    state.counters["packets"] = double(grown);
}
BENCHMARK(BM_GrowthRefresh)->Unit(benchmark::kMillisecond)->Iterations(5);

// The traces over the archive loaded 1, 2 and 4 times; time per scan is the figure.
KorGse::ScienceDataCache& traceCache(int copies)
{
    static std::unique_ptr<KorGse::ScienceDataCache> cache;
    static int loaded = 0;
    if (loaded != copies) {
        cache.reset();
        load(copies);
        cache = std::make_unique<KorGse::ScienceDataCache>(new GseLib::TelemetryFile);
        cache->refresh();
        loaded = copies;
    }
    return *cache;
}

void BM_MaxIonCountTrace(benchmark::State& state)
{
    if (!load(1))
        return state.SkipWithError("no archive");
    auto& cache = traceCache(int(state.range(0)));
    benchmark::DoNotOptimize(cache.maxIonCountTrace(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.maxIonCountTrace(0));
    state.SetItemsProcessed(int64_t(state.iterations()) * cache.size());
}
BENCHMARK(BM_MaxIonCountTrace)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

void BM_CorrectedTicTrace(benchmark::State& state)
{
    if (!load(1))
        return state.SkipWithError("no archive");
    auto& cache = traceCache(int(state.range(0)));
    benchmark::DoNotOptimize(cache.correctedTicTrace(0, 100.0, 100.0, -68.0, -0.0992));
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.correctedTicTrace(0, 100.0, 100.0, -68.0, -0.0992));
    state.SetItemsProcessed(int64_t(state.iterations()) * cache.size());
}
BENCHMARK(BM_CorrectedTicTrace)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

void BM_SicTraceMassRange(benchmark::State& state)
{
    if (!load(1))
        return state.SkipWithError("no archive");
    auto& cache = traceCache(int(state.range(0)));
    KorGse::MassCal cal;
    cal.setControlMode(KorGse::MassCal::RF_DAC);
    KorGse::ScanData::SciRange range;
    range.valueType = KorGse::ScanData::MASS;
    range.lowerBound = 500.0;
    range.upperBound = 2500.0;
    range.boundsSet = true;
    benchmark::DoNotOptimize(cache.sicTrace(range, cal, true, 0, 100.0, 100.0, -68.0, -0.0992));
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.sicTrace(range, cal, true, 0, 100.0, 100.0, -68.0, -0.0992));
    state.SetItemsProcessed(int64_t(state.iterations()) * cache.size());
}
BENCHMARK(BM_SicTraceMassRange)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
