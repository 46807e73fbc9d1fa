// First-instrument throughput: the archive parse with the hub (against the
// base parse of the same file), time lookups, science segments, summed scans,
// the queries of a 200-segment scan, and the 46 decoders: called directly on
// packets of their layouts (sample decoders in items/s, summaries in samples/s,
// one-item decoders in packets/s) and a one-minute MAIF row through the hub's
// getData across an archive of such packets. The archive is written by
// scripts/gen_kora.py (--packets, default 1,000,000; KORA_BENCH_PACKETS overrides).
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/valuemode.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"
#include "korabench.h"
#include "koralib/archive/koradatai.h"
#include "koralib/archive/korpacketrecords.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/scans/scandata.h"

#include <QByteArray>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

namespace {

struct Fixture : KoraBench::GeneratedHub
{
    std::string archive;
    std::unique_ptr<KorGse::KorTelemetryCache> cache;
};

Fixture& fixture()
{
    static Fixture* f = [] {
        auto* fx = new Fixture;
        const char* n = std::getenv("KORA_BENCH_PACKETS");
        if (!fx->generate("gen_kora.py", {QStringLiteral("--packets"), QString::fromLatin1(n ? n : "1000000")}))
            return fx;
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


// ---------------------------------------------------------------- decoders

using namespace KorGse::KorDataInterpretationImpl;

// The hub of the fixture with the MAIF FPGA row (D[1..2]) added; overrun lines
// (none expected on these packets) would go nowhere.
bool decoderHub()
{
    static const bool ok = [] {
        if (!fixture().ok)
            return false;
        GseLib::TmDatabaseRow fpga;
        fpga.key = "KOR:MAIF_FPGA";
        fpga.dataId = 831;
        fpga.packetType = 31;
        fpga.decodeIds = {1, 2, 0xFFFF, 0};
        GseLib::DataInterpretation::current()->db()->addRow(fpga);
        return true;
    }();
    return ok;
}

GseLib::TMPacketPtr decoderPacket(int type, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> bytes = {uint8_t(type), 0, uint8_t(data.size() >> 8), uint8_t(data.size()), 0, 0, 0, 0};
    bytes.insert(bytes.end(), data.begin(), data.end());
    static const GseLib::UnixTimeResolver times;
    return std::make_shared<GseLib::TomPacket>(bytes.data(), int(bytes.size()), 0, &times);
}

using KoraBench::decoderRow;

void put16(std::vector<uint8_t>& d, size_t at, unsigned v)
{
    d[at] = uint8_t(v >> 8);
    d[at + 1] = uint8_t(v);
}

void putSingle(std::vector<uint8_t>& d, size_t at, float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put16(d, at, bits >> 16);
    put16(d, at + 2, bits & 0xFFFF);
}

// Laser pulses: `n` records, clock at record byte 0, energy word (every selector pair) at 4.
std::vector<uint8_t> laserData(unsigned n)
{
    std::vector<uint8_t> d(4 + 16 * size_t(n));
    put16(d, 0, n);
    for (unsigned i = 0; i < n; ++i) {
        put16(d, 4 + 16 * i + 2, i * 7);
        put16(d, 8 + 16 * i, ((i % 16) << 12) | ((i * 37) & 0x0FFF));
    }
    return d;
}

// Micro-Pirani records: `n` records of (step, single).
std::vector<uint8_t> piraniData(unsigned n)
{
    std::vector<uint8_t> d(4 + 12 * size_t(n));
    put16(d, 0, n);
    for (unsigned j = 0; j < n; ++j) {
        put16(d, 4 + 12 * j, 10 + j % 7);
        putSingle(d, 6 + 12 * j, 1.0f + float(j % 13));
    }
    return d;
}

std::vector<uint8_t> countingData(size_t n, unsigned seed = 13)
{
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i)
        d[i] = uint8_t(i * seed + 1);
    return d;
}

// A MAIF packet's data in the new layout (D[1] = 0x2C).
std::vector<uint8_t> maifData()
{
    std::vector<uint8_t> d = countingData(500);
    d[1] = 0x2C;
    return d;
}

// One decoder called directly `perCall` units a call, under the hub.
template <typename Decoder>
void direct(benchmark::State& state, const GseLib::TMPacketPtr& p, const GseLib::TmDatabaseRow& r, size_t perCall)
{
    if (!decoderHub())
        return state.SkipWithError("no hub");
    KoraBench::timeDecoder<Decoder>(state, p, r, perCall);
}

// Sample decoders: items per second (goal 50 M; 225: 10 M).
void BM_Aggregated203(benchmark::State& s)
{
    std::vector<uint8_t> d = countingData(4 + 8 * 1000);
    put16(d, 2, 1000);
    direct<AggregatedSciPacketDecoder>(s, decoderPacket(26, d), decoderRow(4, 2, 0xFFFF), 1000);
}
void BM_MaifPressure208(benchmark::State& s)
{
    direct<MaifPressureDecoder>(s, decoderPacket(30, maifData()), decoderRow(7, 2, 0xFFFF), 100);
}
void BM_MaifCurrent209(benchmark::State& s)
{
    direct<MaifCurrentDecoder>(s, decoderPacket(30, maifData()), decoderRow(7, 2, 0xFFFF), 100);
}
void BM_Maif1Min210(benchmark::State& s)
{
    direct<Maif1MinDecoder>(s, decoderPacket(31, countingData(12006)), decoderRow(6, 2, 0xFFFF), 6000);
}
void BM_RsimCurrent211(benchmark::State& s)
{
    direct<RsimBus1CurrentDecoder>(s, decoderPacket(32, countingData(2004)), decoderRow(4, 2, 0xFFFF), 1000);
}
template <typename Decoder>
void laserPulses(benchmark::State& s)
{
    direct<Decoder>(s, decoderPacket(15, laserData(1000)), decoderRow(8, 2, 0x0FFF), 1000);
}
void BM_LaserTime215(benchmark::State& s)
{
    direct<LaserPulseTimeDecoder>(s, decoderPacket(15, laserData(1000)), decoderRow(4, 4, 0xFFFFFFFF), 1000);
}
void BM_Pirani220(benchmark::State& s)
{
    direct<MicroPiraniPressureDecoder>(s, decoderPacket(34, piraniData(1000)), decoderRow(6, 4, 0xFFFFFFFF), 1000);
}
void BM_PiraniAlgorithm225(benchmark::State& s)
{
    std::vector<uint8_t> d(500);
    for (size_t i = 0; i + 1 < d.size(); i += 2) {
        d[i] = uint8_t(0x10 + i);
        d[i + 1] = uint8_t(0x20 + (i % 64));
    }
    direct<MicroPiraniAlgorithmDecoder>(s, decoderPacket(34, d), decoderRow(7, 2, 0xFFFF), 100);
}
BENCHMARK(BM_Aggregated203);
BENCHMARK(BM_MaifPressure208);
BENCHMARK(BM_MaifCurrent209);
BENCHMARK(BM_Maif1Min210);
BENCHMARK(BM_RsimCurrent211);
BENCHMARK(BM_LaserTime215);
BENCHMARK_TEMPLATE(laserPulses, LaserPulseRegsDecoder);
BENCHMARK_TEMPLATE(laserPulses, LaserEnergyUvEtuDecoder);
BENCHMARK_TEMPLATE(laserPulses, LaserEnergyUvEtuCalibratedDecoder);
BENCHMARK_TEMPLATE(laserPulses, LaserEnergyUvFlightDecoder);
BENCHMARK_TEMPLATE(laserPulses, LaserEnergyUvFlightSpareDecoder);
BENCHMARK(BM_Pirani220);
BENCHMARK(BM_PiraniAlgorithm225);

// Summaries: samples per second (goal 25 M).
template <typename Decoder>
void laserSummary(benchmark::State& s)
{
    direct<Decoder>(s, decoderPacket(15, laserData(1000)), decoderRow(8, 2, 0x0FFF), 1000);
}
template <typename Decoder>
void rsimSummary(benchmark::State& s)
{
    direct<Decoder>(s, decoderPacket(32, countingData(2004)), decoderRow(4, 2, 0xFFFF), 1000);
}
template <typename Decoder>
void piraniSummary(benchmark::State& s)
{
    direct<Decoder>(s, decoderPacket(34, piraniData(1000)), decoderRow(6, 4, 0xFFFFFFFF), 1000);
}
BENCHMARK_TEMPLATE(laserSummary, LaserEnergyUvEtuAvgDecoder);
BENCHMARK_TEMPLATE(laserSummary, LaserEnergyUvFlightMinDecoder);
BENCHMARK_TEMPLATE(laserSummary, LaserEnergyUvFlightSpareMaxDecoder);
BENCHMARK_TEMPLATE(laserSummary, LaserEnergyUvEtuStdDevDecoder);
BENCHMARK_TEMPLATE(rsimSummary, RsimBus1CurrentMinDecoder);
BENCHMARK_TEMPLATE(rsimSummary, RsimBus1CurrentMaxDecoder);
BENCHMARK_TEMPLATE(rsimSummary, RsimBus1CurrentAvgDecoder);
BENCHMARK_TEMPLATE(piraniSummary, MicroPiraniPressureAvgDecoder);
BENCHMARK_TEMPLATE(piraniSummary, MicroPiraniPressureHiDecoder);
BENCHMARK_TEMPLATE(piraniSummary, MicroPiraniPressureLoDecoder);

// One-item decoders: packets per second (goal 10 M).
void BM_Gc204Packets(benchmark::State& s)
{
    std::vector<uint8_t> d = countingData(44 + 60 * 20);
    for (int i = 0; i < 20; i += 3)
        d[44 + 60 * size_t(i)] = 5;
    direct<GcPacketDecoder>(s, decoderPacket(14, d), decoderRow(44, 5, 0xFFFF), 1);
}
void BM_MaifField207Packets(benchmark::State& s)
{
    direct<MaifDecoder>(s, decoderPacket(30, maifData()), decoderRow(105, 2, 0xFFFF), 1);
}
void BM_SebAdc224Packets(benchmark::State& s)
{
    std::vector<uint8_t> d = countingData(201);
    for (int k = 0; k < 31; k += 4)
        d[6 + 3 * size_t(k)] = 12;
    d[200] = 10;
    direct<SebAdcValueDecoder>(s, decoderPacket(22, d), decoderRow(12, 2, 0xFFFF), 1);
}
template <typename Decoder>
void rsimPower(benchmark::State& s)
{
    std::vector<uint8_t> d(32);
    putSingle(d, 8, 28.0f);
    putSingle(d, 12, 0.5f);
    putSingle(d, 16, 0.25f);
    putSingle(d, 20, 2.0f);
    direct<Decoder>(s, decoderPacket(33, d), decoderRow(8, 4, 0xFFFFFFFF), 1);
}
BENCHMARK(BM_Gc204Packets);
BENCHMARK(BM_MaifField207Packets);
BENCHMARK(BM_SebAdc224Packets);
BENCHMARK_TEMPLATE(rsimPower, RsimBus1PowerDecoder);
BENCHMARK_TEMPLATE(rsimPower, RsimBus2PowerDecoder);
BENCHMARK_TEMPLATE(rsimPower, RsimBus3PowerDecoder);

// A one-minute MAIF row through the hub's getData across an archive of 200
// packets, the list growing across packets (goal 20 M items/s). A list grown by
// reserve(size() + k) per call would copy itself on every packet here. With
// `fresh` each pass starts a new list (77 MB of new pages a pass: the page
// faults dominate); otherwise the list is cleared and keeps its capacity.
void hubGetData210(benchmark::State& state, bool fresh)
{
    if (!decoderHub())
        return state.SkipWithError("no hub");
    GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    GseLib::TmDatabaseRow r = decoderRow(6, 2, 0xFFFF);
    r.dataId = 99210;
    r.key = "KOR:BENCH_MAIF_MINUTE";
    r.packetType = 31;
    r.decodeType = 210;
    hub->db()->addRow(r);
    std::vector<GseLib::TMPacketPtr> archive;
    for (unsigned k = 0; k < 200; ++k)
        archive.push_back(decoderPacket(31, countingData(12006, 13 + 2 * k)));
    size_t items = 0;
    GseLib::DataItems kept;
    for (auto _ : state) {
        GseLib::DataItems own;
        GseLib::DataItems& list = fresh ? own : kept;
        list.clear();
        for (const auto& p : archive)
            hub->getData(int(r.dataId), p.get(), list, Gse::Raw, true, nullptr);
        items = list.size();
        benchmark::DoNotOptimize(list.data());
    }
    if (items != 200u * 6000u)
        state.SkipWithError("getData gave the wrong number of items");
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(items));
}
void BM_HubGetData210(benchmark::State& s) { hubGetData210(s, false); }
void BM_HubGetData210FreshList(benchmark::State& s) { hubGetData210(s, true); }
BENCHMARK(BM_HubGetData210)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HubGetData210FreshList)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
