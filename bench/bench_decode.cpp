// The decode road under load: one 16-bit item (ENG a cubic), decoded by the
// generic unsigned_int decoder, read from every packet of a generated CCSDS
// archive of 1 M 64-byte packets, the hub loaded through init from a
// generated database of 50,000 rows. Reads by getValue
// (raw and engineering), by getData into one reserved vector, by name,
// against a row of another packet type, and as one series (itemSeries, the
// road of the Python module's item_arrays). Reports values/s, allocations per
// value (a counting operator new) and, for getData, heap bytes per item.
#include "conversion/polytransferfunc.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/services/configvek.h"
#include "tests/gselib/packets/archivetestdata.h"
#include "tests/support/countingnew.h"
#include "tools/util/pluginmanager.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace {

using namespace GseLib;

constexpr int PACKETS = 1 << 20;
constexpr int PACKET_BYTES = 64;
constexpr int APID = 0x100;
constexpr int DECODE_TYPE = 3; // the generic unsigned_int decoder
constexpr unsigned WORD_ID = 900001;  // the 16-bit item of every packet
constexpr unsigned OTHER_ID = 900002; // the same layout in packets of another type
const char* const WORD_NAME = "BENCH:WORD";

struct Fixture
{
    QTemporaryDir dir;
    std::unique_ptr<PluginManager> plugins;
    std::unique_ptr<TelemetryCache> cache;
    std::vector<const TMPacket*> packets;
    bool ok = false;

    Fixture()
    {
        // 50,000 rows over 60 packet types, then the configuration pointing at them.
        QProcess gen;
        gen.start("/usr/bin/python3", {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_tmdb.py"), dir.path(),
                                       QStringLiteral("--rows"), QStringLiteral("50000")});
        if (!gen.waitForFinished(120000) || gen.exitCode() != 0) {
            std::fprintf(stderr, "gen_tmdb.py failed: %s\n", gen.readAllStandardError().constData());
            return;
        }
        QFile ini(dir.filePath("vek.INI"));
        if (!ini.open(QIODevice::WriteOnly))
            return;
        ini.write("[VEK]\ndefault_group=BENCH\n[BENCH]\ntm_definitions=" + dir.path().toUtf8() + "\ntm_database="
                  + dir.filePath("tmdb.txt").toUtf8() + "\ndac_file=" + dir.filePath("dac.txt").toUtf8() + "\n");
        ini.close();
        qputenv("INIVEK", dir.filePath("vek.INI").toUtf8());
        ConfigVek::setDefaultGroup("BENCH");

        // The default hub: the generic decoders come from the library's static plugins.
        plugins = std::make_unique<PluginManager>();
        DataInterpretation::init(nullptr, true, plugins.get(), {});
        TelemetryDatabase* db = DataInterpretation::current()->db();
        TmDatabaseRow word;
        word.dataId = WORD_ID;
        word.subSystem = "BENCH";
        word.name = "WORD";
        word.key = WORD_NAME;
        word.packetType = APID;
        word.decodeType = DECODE_TYPE;
        // A big-endian 16-bit field at byte 20, laid out as the row update lays it out.
        word.offsets = {20};
        word.byteOrder = {2, 1};
        word.shifts = {8, 0};
        word.decodeIds = {20, 2, 0, 0};
        word.bitCount = 0;
        // 0.5 + 0.25 x + 1e-4 x^2 + 1e-9 x^3
        word.engTransferFunc = std::make_shared<PolyTransferFunc>(std::vector<double>{0.5, 0.25, 1e-4, 1e-9});
        db->addRow(word);
        TmDatabaseRow other = word;
        other.dataId = OTHER_ID;
        other.name = "OTHER";
        other.key = "BENCH:OTHER";
        other.packetType = APID + 1;
        db->addRow(other);

        const QString archive = dir.filePath("archive.dat");
        QFile f(archive);
        if (!f.open(QIODevice::WriteOnly))
            return;
        QByteArray chunk;
        for (int seq = 0; seq < PACKETS; ++seq) {
            chunk += ArchiveTestData::ccsdsPacket(APID, seq % 16384, PACKET_BYTES, uint32_t(seq));
            if (chunk.size() > (4 << 20)) {
                f.write(chunk);
                chunk.clear();
            }
        }
        f.write(chunk);
        f.close();
        cache = std::make_unique<TelemetryCache>(new UnixTimeResolver);
        cache->setPacketFormat(TelemetryCache::CCSDS);
        cache->changeFile(archive.toStdString(), true);
        for (const TMPacketPtr& p : cache->allPackets())
            packets.push_back(p.get());
        ok = packets.size() == size_t(PACKETS);
        if (!ok)
            std::fprintf(stderr, "archive holds %zu packets\n", packets.size());
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

// Runs `read` over every packet per iteration; reports values/s and allocations per value.
template <typename Read>
void overPackets(benchmark::State& state, Read read)
{
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("fixture failed");
        return;
    }
    const DataInterpretation* hub = DataInterpretation::current();
    double sum = 0.0;
    long long good = 0;
    read(hub, f.packets.front(), sum, good); // warm the reused lists
    long long allocs = 0; // counted over the reads only, not the framework's own
    for (auto _ : state) {
        const long long before = allocations.load(std::memory_order_relaxed);
        for (const TMPacket* p : f.packets)
            read(hub, p, sum, good);
        allocs += allocations.load(std::memory_order_relaxed) - before;
        benchmark::DoNotOptimize(sum);
    }
    const double values = double(state.iterations()) * double(f.packets.size());
    state.SetItemsProcessed(int64_t(values));
    state.counters["allocs/value"] = benchmark::Counter(double(allocs) / values);
    state.counters["decoded"] = benchmark::Counter(double(good) / (values + 1));
}

void BM_GetValueRaw(benchmark::State& state)
{
    overPackets(state, [](const DataInterpretation* hub, const TMPacket* p, double& sum, long long& good) {
        bool ok = false;
        sum += hub->getValue(int(WORD_ID), p, Gse::Raw, &ok, false, nullptr);
        good += ok;
    });
}

void BM_GetValueEng(benchmark::State& state)
{
    overPackets(state, [](const DataInterpretation* hub, const TMPacket* p, double& sum, long long& good) {
        bool ok = false;
        sum += hub->getValue(int(WORD_ID), p, Gse::Eng, &ok, false, nullptr);
        good += ok;
    });
}

void BM_GetValueByName(benchmark::State& state)
{
    overPackets(state, [](const DataInterpretation* hub, const TMPacket* p, double& sum, long long& good) {
        bool ok = false;
        sum += hub->getValue(WORD_NAME, p, Gse::Eng, &ok, false, nullptr);
        good += ok;
    });
}

void BM_RejectOtherType(benchmark::State& state)
{
    overPackets(state, [](const DataInterpretation* hub, const TMPacket* p, double& sum, long long& good) {
        bool ok = false;
        sum += hub->getValue(int(OTHER_ID), p, Gse::Eng, &ok, false, nullptr);
        good += ok;
    });
}

// Every packet's item appended to one vector reserved beforehand. The heap
// it takes is measured on a first fill outside the timing; the timed fills
// reuse it, since first touches of fresh pages (page faults, costly in a
// virtual machine) would otherwise dominate the figure.
void BM_GetDataIntoOneVector(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("fixture failed");
        return;
    }
    const DataInterpretation* hub = DataInterpretation::current();
    auto heap = [] {
        const struct mallinfo2 m = mallinfo2();
        return double(m.uordblks + m.hblkhd);
    };
    const double start = heap();
    DataItems items;
    items.reserve(f.packets.size());
    for (const TMPacket* p : f.packets)
        hub->getData(int(WORD_ID), p, items, Gse::Eng, false, nullptr);
    state.counters["heap bytes/item"] = benchmark::Counter((heap() - start) / double(items.size()));
    if (items.size() != f.packets.size())
        state.SkipWithError("not every packet decoded");
    long long allocs = 0;
    for (auto _ : state) {
        items.clear();
        const long long before = allocations.load(std::memory_order_relaxed);
        for (const TMPacket* p : f.packets)
            hub->getData(int(WORD_ID), p, items, Gse::Eng, false, nullptr);
        allocs += allocations.load(std::memory_order_relaxed) - before;
        benchmark::DoNotOptimize(items.data());
    }
    const double values = double(state.iterations()) * double(f.packets.size());
    state.SetItemsProcessed(int64_t(values));
    state.counters["allocs/value"] = benchmark::Counter(double(allocs) / values);
    state.counters["sizeof(DataItem)"] = benchmark::Counter(double(sizeof(DataItem)));
}

// The whole archive's item as one series, engineering values, as a C++
// caller or the Python module's item_arrays reads it: the columns made
// anew each time, as a caller gets them (their first touch included).
void BM_ItemSeries(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("fixture failed");
        return;
    }
    const DataInterpretation* hub = DataInterpretation::current();
    const std::vector<TMPacketPtr>& packets = f.cache->allPackets();
    long long allocs = 0;
    size_t samples = 0;
    for (auto _ : state) {
        ItemSeries series;
        const long long before = allocations.load(std::memory_order_relaxed);
        hub->itemSeries(WORD_ID, packets, 0, packets.size(), Gse::Eng, series);
        allocs += allocations.load(std::memory_order_relaxed) - before;
        samples = series.size();
        benchmark::DoNotOptimize(series.values.data());
    }
    if (samples != packets.size())
        state.SkipWithError("not every packet decoded");
    const double values = double(state.iterations()) * double(packets.size());
    state.SetItemsProcessed(int64_t(values));
    state.counters["allocs/call"] = benchmark::Counter(double(allocs) / double(state.iterations()));
}

} // namespace

BENCHMARK(BM_ItemSeries)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetValueRaw)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetValueEng)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetDataIntoOneVector)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetValueByName)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RejectOtherType)->Unit(benchmark::kMillisecond)->UseRealTime();
