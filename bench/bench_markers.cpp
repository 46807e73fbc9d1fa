// Marker and meta-marker throughput over an archive of 300,000 packets (one in
// 15 a message packet, one in 150 a marker, 10 applicable rules) written by
// scripts/gen_kora_markers.py --bench, and over the same archive twice and four
// times over. Goals: MarkerCache build >= 30 M packets/s walked; getMarker(t)
// >= 10 M lookups/s; MetaMarkerCache::refresh from a reset (message log
// included) <= 0.5 s at 1x and <= 2.2x per doubling.
#include "gselib/interpretation/msglogcache.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "korabench.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/markers/markercache.h"
#include "koralib/markers/metamarkercache.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>

namespace {

struct Fixture : KoraBench::GeneratedHub
{
    int opened = 0;
};

Fixture& fixture()
{
    static Fixture* f = [] {
        auto* fx = new Fixture;
        fx->ok = fx->generate("gen_kora_markers.py", {QStringLiteral("--bench"), QStringLiteral("300000")});
        return fx;
    }();
    return *f;
}

// Makes the archive of that scale the shared cache (kept while it stays the same).
bool open(int scale)
{
    Fixture& f = fixture();
    if (!f.ok)
        return false;
    if (f.opened != scale) {
        GseLib::TelemetryFile::setSharedCache(new KorGse::KorTelemetryCache);
        GseLib::TelemetryFile::setSharedCacheFile(
            (f.dir.path() + QStringLiteral("/bulk%1/tm.tlm").arg(scale)).toStdString());
        f.opened = scale;
    }
    return GseLib::TelemetryFile::sharedCache()->count() > 0;
}

void BM_MarkerCacheBuild(benchmark::State& state)
{
    if (!open(int(state.range(0))))
        return state.SkipWithError("no archive");
    const size_t packets = GseLib::TelemetryFile::sharedCache()->count();
    size_t markers = 0;
    for (auto _ : state) {
        KorGse::MarkerCache cache(new GseLib::TelemetryFile);
        markers = cache.allMarkers().size();
        benchmark::DoNotOptimize(markers);
    }
    state.counters["markers"] = double(markers);
    state.SetItemsProcessed(int64_t(state.iterations() * packets));
}
BENCHMARK(BM_MarkerCacheBuild)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_GetMarkerAtTime(benchmark::State& state)
{
    if (!open(1))
        return state.SkipWithError("no archive");
    KorGse::MarkerCache cache(new GseLib::TelemetryFile);
    const auto& all = cache.allMarkers();
    const double lo = all.front().relativeTime - 1.0;
    const double hi = all.back().relativeTime + 1.0;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> pick(lo, hi);
    std::vector<double> times(4096);
    for (double& t : times)
        t = pick(rng);
    size_t i = 0;
    bool found = false;
    for (auto _ : state) {
        const KorGse::MarkerData m = cache.getMarker(times[i & 4095], &found, (i & 1) != 0);
        ++i;
        benchmark::DoNotOptimize(m.markerIndex);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_GetMarkerAtTime);

void BM_MetaMarkerRefreshFromReset(benchmark::State& state)
{
    if (!open(int(state.range(0))))
        return state.SkipWithError("no archive");
    KorGse::MetaMarkerCache cache;
    if (cache.generatorCount() != 10)
        return state.SkipWithError("the bench rules did not load");
    const size_t packets = GseLib::TelemetryFile::sharedCache()->count();
    int records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        cache.resetState();
        GseLib::MsgLogCache::getInstance()->resetState(); // the log is read anew too, as after a start-up
        state.ResumeTiming();
        cache.refresh();
        records = int(cache.getMetaMarkers().size());
    }
    state.counters["metaMarkers"] = records;
    state.SetItemsProcessed(int64_t(state.iterations() * packets));
}
BENCHMARK(BM_MetaMarkerRefreshFromReset)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The part of the refresh that reads the message log, for comparison.
void BM_MsgLogRefreshFromReset(benchmark::State& state)
{
    if (!open(int(state.range(0))))
        return state.SkipWithError("no archive");
    for (auto _ : state) {
        state.PauseTiming();
        GseLib::MsgLogCache::getInstance()->resetState();
        state.ResumeTiming();
        GseLib::MsgLogCache::getInstance()->refresh();
    }
    state.counters["lines"] = double(GseLib::MsgLogCache::getInstance()->size());
}
BENCHMARK(BM_MsgLogRefreshFromReset)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
