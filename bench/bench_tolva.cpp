// The second instrument's hot paths, per core: parsing bare and framed
// archives of 64-byte packets (beside the base cache's parse of the same
// bytes), packet times, the decoders called directly and the transfer
// functions.
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/ccsdspacket.h"
#include "tolvalib/tolvaccsdspacket.h"
#include "tolvalib/tolvadatainterpretation.h"
#include "tolvalib/tolvadecoder/tolvadecodermaker.h"
#include "tolvalib/tolvatelemetrycache.h"
#include "tolvalib/tolvatimeresolver.h"
#include "tolvalib/tolvatransferfunc/tolvatransferfuncmaker.h"

#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <sys/time.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int PACKETS = 200000;

TolvaGse::TolvaDataInterpretationFactory factory;

void makeHub()
{
    static bool made = false;
    if (made)
        return;
    made = true;
    GseLib::DataInterpretation::init(&factory, false, nullptr, {});
    for (int apid = TolvaGse::ApidRange::FIRST; apid <= TolvaGse::ApidRange::LAST; ++apid) {
        GseLib::TMPacketTypeInfo info;
        info.valid = true;
        info.type = apid;
        info.minLength = 7;
        info.maxLength = 4090;
        GseLib::DataInterpretation::current()->packetTypes.insert(apid, info);
    }
}

Bytes packet(int apid, uint32_t seconds, size_t total)
{
    Bytes b(total, 0);
    b[0] = uint8_t(0x08 | (apid >> 8));
    b[1] = uint8_t(apid);
    b[2] = 0xC0;
    b[4] = uint8_t((total - 7) >> 8);
    b[5] = uint8_t(total - 7);
    b[6] = uint8_t(seconds >> 24);
    b[7] = uint8_t(seconds >> 16);
    b[8] = uint8_t(seconds >> 8);
    b[9] = uint8_t(seconds);
    for (size_t i = 12; i < total; ++i)
        b[i] = uint8_t(i * 7);
    return b;
}

void appendFrame(Bytes& out, const std::vector<Bytes>& packets)
{
    const size_t start = out.size();
    size_t length = 4;
    for (const Bytes& p : packets)
        length += p.size();
    const uint8_t head[] = {0xFE, 0xFA, 0x30, 0xC8, 4, 0, uint8_t(length >> 8), uint8_t(length), 0, 0};
    out.insert(out.end(), head, head + 10);
    for (const Bytes& p : packets)
        out.insert(out.end(), p.begin(), p.end());
    uint8_t even = 0, odd = 0;
    for (size_t i = start + 4; i + 1 < out.size(); i += 2) {
        even ^= out[i];
        odd ^= out[i + 1];
    }
    out.push_back(even);
    out.push_back(odd);
}

// The archives, written once: bare, framed (four packets a frame), framed
// after 1 MiB of random bytes, and bare with damage before 2% of the packets
// (random bytes, or a packet cut short).
struct Archives
{
    Archives()
    {
        Bytes bare, framed, damaged;
        std::vector<Bytes> group;
        std::mt19937 hits(7);
        for (int i = 0; i < PACKETS; ++i) {
            const Bytes p = packet(737 + i % 29, uint32_t(1000 + i / 100), 64);
            if (hits() % 50 == 0) {
                Bytes junk = p;
                junk.resize(6 + hits() % 300);
                for (size_t k = 6; k < junk.size(); ++k)
                    junk[k] = uint8_t(hits());
                if (hits() % 2)
                    junk.resize(1 + hits() % 60); // a cut packet
                damaged.insert(damaged.end(), junk.begin(), junk.end());
            }
            damaged.insert(damaged.end(), p.begin(), p.end());
            bare.insert(bare.end(), p.begin(), p.end());
            group.push_back(p);
            if (group.size() == 4) {
                appendFrame(framed, group);
                group.clear();
            }
        }
        std::mt19937 rng(13);
        Bytes noisy(size_t(1) << 20);
        for (uint8_t& b : noisy)
            b = uint8_t(rng());
        noisy.insert(noisy.end(), framed.begin(), framed.begin() + std::min<size_t>(framed.size(), 76 * 4 * 1000));
        barePath = write("bare.bin", bare);
        framedPath = write("framed.bin", framed);
        noisyPath = write("noisy.bin", noisy);
        damagedPath = write("damaged.bin", damaged);
    }

    std::string write(const char* name, const Bytes& b)
    {
        const std::string path = dir.filePath(QString::fromLatin1(name)).toStdString();
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
        // Written an hour ago: read as a finished recording.
        struct timeval hourAgo[2];
        gettimeofday(&hourAgo[0], nullptr);
        hourAgo[0].tv_sec -= 3600;
        hourAgo[1] = hourAgo[0];
        utimes(path.c_str(), hourAgo);
        return path;
    }

    QTemporaryDir dir;
    std::string barePath, framedPath, noisyPath, damagedPath;
};

Archives& archives()
{
    static Archives a;
    return a;
}

template <typename Cache>
void parse(benchmark::State& state, const std::string& path, Cache&& makeCache)
{
    makeHub();
    FILE* sink = std::fopen("/dev/null", "w");
    size_t packets = 0;
    for (auto _ : state) {
        auto cache = makeCache();
        cache->setMessageStream(sink);
        cache->changeFile(path, true);
        packets += cache->count();
        benchmark::DoNotOptimize(cache->count());
    }
    std::fclose(sink);
    state.SetItemsProcessed(int64_t(packets));
}

void BM_ParseBare(benchmark::State& state)
{
    parse(state, archives().barePath, [] { return std::make_unique<TolvaGse::TolvaTelemetryCache>(); });
}

// What damage costs: the same packets, 2% of them behind damage.
void BM_ParseBareDamaged(benchmark::State& state)
{
    parse(state, archives().damagedPath, [] { return std::make_unique<TolvaGse::TolvaTelemetryCache>(); });
}

void BM_ParseFramed(benchmark::State& state)
{
    parse(state, archives().framedPath, [] { return std::make_unique<TolvaGse::TolvaTelemetryCache>(); });
}

// The base cache on the same bare bytes: no hooks, every header accepted.
void BM_ParseBareBaseCache(benchmark::State& state)
{
    parse(state, archives().barePath, [] {
        auto cache = std::make_unique<GseLib::TelemetryCache>(new TolvaGse::TolvaTimeResolver);
        cache->setPacketFormat(GseLib::TelemetryCache::CCSDS);
        return cache;
    });
}

void BM_ParseFramedAfterNoise(benchmark::State& state)
{
    parse(state, archives().noisyPath, [] {
        auto cache = std::make_unique<TolvaGse::TolvaTelemetryCache>();
        cache->setMaxScan(0); // search the whole noise
        return cache;
    });
}

// A read that follows the file while it is written, 64 KiB (or 4 KiB) at a
// time with a grow after each (the writes not timed): what a live view pays
// beside a read of the finished file, undamaged and with damage before 2% of
// the packets.
void parseGrowing(benchmark::State& state, const std::string& source, size_t step = 1 << 16)
{
    makeHub();
    Bytes bytes;
    if (FILE* f = std::fopen(source.c_str(), "rb")) {
        uint8_t buf[1 << 16];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
    }
    const std::string path = archives().dir.filePath(QStringLiteral("growing.bin")).toStdString();
    FILE* sink = std::fopen("/dev/null", "w");
    size_t packets = 0;
    for (auto _ : state) {
        FILE* out = std::fopen(path.c_str(), "wb");
        TolvaGse::TolvaTelemetryCache cache;
        cache.setMessageStream(sink);
        cache.changeFile(path, true);
        for (size_t at = 0; at < bytes.size(); at += step) {
            state.PauseTiming();
            std::fwrite(bytes.data() + at, 1, std::min(step, bytes.size() - at), out);
            std::fflush(out);
            state.ResumeTiming();
            cache.grow();
        }
        std::fclose(out);
        packets += cache.count();
        benchmark::DoNotOptimize(cache.count());
    }
    std::fclose(sink);
    state.SetItemsProcessed(int64_t(packets));
}

void BM_ParseBareGrowing(benchmark::State& state)
{
    parseGrowing(state, archives().barePath);
}

void BM_ParseBareGrowing4K(benchmark::State& state)
{
    parseGrowing(state, archives().barePath, 4096);
}

void BM_ParseBareDamagedGrowing(benchmark::State& state)
{
    parseGrowing(state, archives().damagedPath);
}

void BM_Times(benchmark::State& state)
{
    TolvaGse::TolvaTimeResolver resolver;
    const Bytes b = packet(737, 5000, 64);
    auto t0 = std::make_shared<GseLib::CcsdsPacket>(b.data(), int(b.size()), 0, &resolver);
    resolver.handlePacket(t0);
    const GseLib::CcsdsPacket p(b.data(), int(b.size()), 1, &resolver);
    double sum = 0;
    for (auto _ : state) {
        sum += p.unixTime();
        sum += p.relativeTime();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 2);
}

// One decoder on one packet; items counted (or packets, with perPacket).
void decodeBench(benchmark::State& state, int type, std::vector<unsigned long long> ids, Bytes bytes,
                 bool perPacket, int samples = 0)
{
    makeHub();
    static std::map<int, std::unique_ptr<GseLib::Decoder>> decoders;
    if (decoders.empty())
        for (GseLib::Decoder* d : TolvaDecoderMaker().makeDecoders())
            decoders[d->type()].reset(d);
    TolvaGse::TolvaTimeResolver resolver;
    const GseLib::CcsdsPacket p(bytes.data(), int(bytes.size()), 0, &resolver);
    GseLib::TmDatabaseRow row;
    ids.resize(4, 0);
    row.decodeIds = ids;
    row.byteOrder.assign(2, 1);
    const GseLib::Decoder& d = *decoders.at(type);
    GseLib::DataItems items;
    int64_t n = 0;
    for (auto _ : state) {
        items.clear();
        d.decode(row, &p, items, nullptr);
        n += perPacket ? 1 : (samples ? samples : int64_t(items.size()));
        benchmark::DoNotOptimize(items.data());
    }
    state.SetItemsProcessed(n);
}

Bytes laserPacket()
{
    return packet(749, 100, 12 + 1000); // data length 1006: 493 samples from byte 26
}

void BM_Decode100(benchmark::State& s) { decodeBench(s, 100, {5}, packet(758, 1, 214), true); }
void BM_Decode101(benchmark::State& s) { decodeBench(s, 101, {3}, packet(759, 1, 286), true); }
void BM_Decode102Items(benchmark::State& s) { decodeBench(s, 102, {12, 2}, packet(762, 1, 1024), false); }
void BM_Decode104Items(benchmark::State& s) { decodeBench(s, 104, {26, 2}, laserPacket(), false); }
void BM_Decode105Samples(benchmark::State& s) { decodeBench(s, 105, {26, 2}, laserPacket(), false, 493); }
void BM_Decode106Samples(benchmark::State& s) { decodeBench(s, 106, {26, 2}, laserPacket(), false, 493); }
void BM_Decode107Samples(benchmark::State& s) { decodeBench(s, 107, {26, 2}, laserPacket(), false, 493); }
void BM_Decode108Samples(benchmark::State& s) { decodeBench(s, 108, {26, 2}, laserPacket(), false, 493); }
void BM_Decode111Items(benchmark::State& s)
{
    Bytes b = packet(754, 1, 20 + 8 * 1000);
    b[16] = 3;
    b[17] = 9;
    b[18] = 3;
    b[19] = 9;
    decodeBench(s, 111, {3, 2}, b, false);
}
void BM_Decode112(benchmark::State& s) { decodeBench(s, 112, {20, 2}, packet(753, 1, 170), true); }

void transferBench(benchmark::State& state, int id, std::vector<double> k, double x0)
{
    const std::shared_ptr<TransferFunc> f = TolvaTransferFuncMaker().makeTransferFunc(id, k, "", "");
    double x = x0;
    double sum = 0;
    for (auto _ : state) {
        sum += f->apply(x);
        x += 1.0;
        if (x > x0 + 1000)
            x = x0;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_Transfer100(benchmark::State& s) { transferBench(s, 100, {10000}, 100); }
void BM_Transfer102(benchmark::State& s) { transferBench(s, 102, {0.01, -5}, 100); }
void BM_Transfer107(benchmark::State& s) { transferBench(s, 107, {}, 65536); }
void BM_Transfer104(benchmark::State& s)
{
    transferBench(s, 104, {0.8192, 0.0002, 0.001125308852122, 0.000234711863267, 8.5663516e-08}, 2000);
}
void BM_Transfer106(benchmark::State& s) { transferBench(s, 106, {18700, 65536, 1e-3, 2e-4, 1e-7}, 40000); }

} // namespace

BENCHMARK(BM_ParseBare)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBareDamaged)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseFramed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBareBaseCache)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseFramedAfterNoise)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ParseBareGrowing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBareGrowing4K)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBareDamagedGrowing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Times);
BENCHMARK(BM_Decode100);
BENCHMARK(BM_Decode101);
BENCHMARK(BM_Decode102Items);
BENCHMARK(BM_Decode104Items);
BENCHMARK(BM_Decode105Samples);
BENCHMARK(BM_Decode106Samples);
BENCHMARK(BM_Decode107Samples);
BENCHMARK(BM_Decode108Samples);
BENCHMARK(BM_Decode111Items);
BENCHMARK(BM_Decode112);
BENCHMARK(BM_Transfer100);
BENCHMARK(BM_Transfer102);
BENCHMARK(BM_Transfer107);
BENCHMARK(BM_Transfer104);
BENCHMARK(BM_Transfer106);

BENCHMARK_MAIN();
