// Parse throughput and memory of the packet cache on synthetic TOM and CCSDS
// archives written to a temporary folder (and so read from the page cache).
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "tests/gselib/packets/archivetestdata.h"

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <malloc.h>

namespace {

using namespace GseLib;

enum Kind { Tom = 1, Ccsds = 2, TomAfterNoise = 3 };

struct Archive
{
    QString path;
    long long bytes = 0;
    long long packets = 0;
    long long packetBytes = 0; // bytes of the packets themselves
};

QTemporaryDir& folder()
{
    static QTemporaryDir dir;
    return dir;
}

// The MiB of random bytes that precedes the packets of a TomAfterNoise archive.
QByteArray noise()
{
    QByteArray bytes(1 << 20, '\0');
    QRandomGenerator rng(7);
    for (auto& c : bytes)
        c = char(rng.bounded(256));
    return bytes;
}

const Archive& archive(Kind kind, int packetSize)
{
    static std::map<std::pair<int, int>, Archive> made;
    Archive& a = made[{int(kind), packetSize}];
    if (!a.path.isEmpty())
        return a;
    const long long target = packetSize >= 1024 ? (256ll << 20) : (64ll << 20);
    a.path = folder().filePath(QString("archive_%1_%2.dat").arg(int(kind)).arg(packetSize));
    QFile f(a.path);
    if (!f.open(QIODevice::WriteOnly))
        std::abort();
    if (kind == TomAfterNoise) {
        const QByteArray bytes = noise();
        f.write(bytes);
        a.bytes += bytes.size();
    }
    QByteArray chunk;
    uint32_t seq = 0;
    const long long payload = kind == TomAfterNoise ? (8ll << 20) : target;
    while (a.packetBytes < payload) {
        const QByteArray p = kind == Ccsds ? ArchiveTestData::ccsdsPacket(0x100 + int(seq % 7), int(seq % 16384),
                                                                          packetSize, seq)
                                           : ArchiveTestData::tomPacketOfSize(uint8_t(1 + seq % 7), uint8_t(seq),
                                                                              packetSize, seq);
        chunk += p;
        a.packetBytes += p.size();
        ++a.packets;
        ++seq;
        if (chunk.size() > (4 << 20)) {
            f.write(chunk);
            chunk.clear();
        }
    }
    f.write(chunk);
    a.bytes += a.packetBytes;
    return a;
}

// One packet (after the noise, for that kind): a first parse that makes the cache's buffers.
QString tinyArchive(Kind kind)
{
    const QString path = folder().filePath(QString("tiny_%1.dat").arg(int(kind)));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        std::abort();
    if (kind == TomAfterNoise)
        f.write(noise());
    f.write(kind == Ccsds ? ArchiveTestData::ccsdsPacket(0x100, 0, 64) : ArchiveTestData::tomPacketOfSize(1, 0, 64, 0));
    return path;
}

void parse(benchmark::State& state, Kind kind)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    const int size = int(state.range(0));
    const Archive& a = archive(kind, size);
    FILE* sink = std::fopen("/dev/null", "w");
    size_t count = 0;
    for (auto _ : state) {
        auto cache = std::make_unique<TelemetryCache>(new UnixTimeResolver);
        cache->setMessageStream(sink);
        cache->setPacketFormat(kind == Ccsds ? TelemetryCache::CCSDS : TelemetryCache::TOM);
        cache->changeFile(a.path.toStdString(), true);
        count = cache->count();
        if ((long long)count != a.packets)
            state.SkipWithError("wrong packet count");
        state.PauseTiming(); // releasing the packets is not parsing
        cache.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * a.bytes);
    state.SetItemsProcessed(int64_t(state.iterations()) * a.packets);

    // Heap kept per packet beyond its own bytes (allocator overhead included),
    // measured once outside the timing. The cache's own buffers are made by a
    // first parse before the count starts; mapped blocks (the large packet
    // vector, depending on malloc's threshold) count as well as heap blocks.
    {
        auto heap = [] {
            const struct mallinfo2 m = mallinfo2();
            return double(m.uordblks + m.hblkhd);
        };
        TelemetryCache cache(new UnixTimeResolver);
        cache.setMessageStream(sink);
        cache.setPacketFormat(kind == Ccsds ? TelemetryCache::CCSDS : TelemetryCache::TOM);
        cache.changeFile(tinyArchive(kind).toStdString(), true);
        const double start = heap();
        cache.changeFile(a.path.toStdString(), true);
        const double kept = heap() - start;
        state.counters["heap/packet"] = benchmark::Counter((kept - double(a.packetBytes)) / double(a.packets));
    }
    std::fclose(sink);
    state.counters["packets"] = benchmark::Counter(double(a.packets));
}

void BM_ParseTom(benchmark::State& state)
{
    parse(state, Tom);
}

void BM_ParseCcsds(benchmark::State& state)
{
    parse(state, Ccsds);
}

void BM_ResyncAfterMiBOfNoise(benchmark::State& state)
{
    parse(state, TomAfterNoise);
}

// A poll of a followed file that has not grown: what each grow() costs
// before any parse (the look for a file started anew, the read of an empty
// tail).
void BM_GrowUnchanged(benchmark::State& state)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    const QString path = folder().filePath("followed.dat");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        std::abort();
    for (int i = 0; i < 1000; ++i)
        f.write(ArchiveTestData::ccsdsPacket(0x100 + i % 7, i, 64, uint32_t(i)));
    f.close();
    TelemetryCache cache(new UnixTimeResolver);
    cache.setPacketFormat(TelemetryCache::CCSDS);
    cache.changeFile(path.toStdString(), true);
    for (auto _ : state)
        cache.grow();
    if (cache.count() != 1000)
        state.SkipWithError("wrong packet count");
}

} // namespace

BENCHMARK(BM_GrowUnchanged)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseTom)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParseCcsds)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ResyncAfterMiBOfNoise)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
