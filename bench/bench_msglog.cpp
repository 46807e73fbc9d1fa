// Message-log throughput: a refresh over 10^5 and 10^6 packets held in memory,
// one in ten a message packet whose data field is its text (read by the
// generic text decoder) (lines of 40-80
// characters, cut across packets at random, one line running over 10^4
// packets); a refresh over other packets only; and a 100-line window search
// in logs of 10^4 and 10^6 lines. Goals: 300,000 lines/s, 5 M other
// packets/s, ns/packet at 10^6 within 1.5x of 10^5, window search within 2x.
#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/msglogcache.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolvers.h"
#include "plugins/genericdecoder/textdecoders.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <string>

namespace {

using namespace GseLib;

constexpr int MSG_TYPE = 8;
constexpr int MEB_TYPE = 9;
constexpr int OTHER_TYPE = 3;

class BenchHub : public DataInterpretation
{
public:
    BenchHub()
    {
        if (!database)
            database = std::make_shared<TelemetryDatabase>();
        add("MSG", "TEXT", 100, MSG_TYPE);
        add("MEB", "MESSAGE_LOG", 101, MEB_TYPE);
        addDecoder(new StringDecoder); // the generic text decoder
    }

private:
    void add(const char* subSystem, const char* name, unsigned id, int type)
    {
        TmDatabaseRow row;
        row.subSystem = subSystem;
        row.name = name;
        row.key = std::string(subSystem) + ":" + name;
        row.dataId = id;
        row.packetType = uint32_t(type);
        row.decodeType = 7;
        row.offsets = {6}; // the data field, up to the packet's end
        row.decodeIds = {6, 0, 0, 0};
        database->addRow(row);
    }
};

class BenchFactory : public DataInterpretationFactory
{
public:
    std::unique_ptr<DataInterpretation> make() override { return std::make_unique<BenchHub>(); }
};

ByteVectorPtr ccsdsBytes(int apid, const std::string& data)
{
    auto bytes = std::make_shared<ByteVector>(6 + data.size());
    const CcsdsPrimaryHeader header(apid, int(data.size()), 0, true, CcsdsPrimaryHeader::Unsegmented,
                                    CcsdsPrimaryHeader::Telemetry, 0);
    const QByteArray h = header.toByteArray();
    std::copy(h.begin(), h.begin() + 6, bytes->begin());
    std::copy(data.begin(), data.end(), bytes->begin() + 6);
    return bytes;
}

uint32_t nextRandom(uint32_t& state)
{
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

// The shared cache with `packets` packets. With messages, every tenth is a
// message packet; their text is a stream of lines of 40-80 characters, one in
// four with its own time, and one line (begun at the middle message packet)
// running over 1,000 message packets, that is 10^4 packets of the archive.
void installArchive(size_t packets, bool messages)
{
    static BenchFactory factory;
    DataInterpretation::init(&factory, false, nullptr, {});
    auto* cache = new TelemetryCache(new UnixTimeResolver);
    TelemetryFile::setSharedCache(cache);
    const ByteVectorPtr other = ccsdsBytes(OTHER_TYPE, std::string(58, 'h'));
    const TimeResolver* resolver = cache->timeResolver();

    uint32_t rng = 7;
    std::string stream; // the text not yet given to a packet
    size_t lineNo = 0;
    const size_t messageCount = messages ? packets / 10 : 0;
    const size_t spanStart = messageCount / 2;
    auto moreText = [&](size_t messageIndex) {
        const bool spanning = messageIndex >= spanStart && messageIndex < spanStart + 1000;
        if (spanning) {
            stream += "long line part " + std::to_string(messageIndex) + " ";
            return;
        }
        std::string line;
        if (lineNo % 4 == 0)
            line = std::to_string(1000 + lineNo) + ".5: ";
        const size_t length = 40 + nextRandom(rng) % 41;
        while (line.size() < length)
            line += char('a' + nextRandom(rng) % 26);
        stream += line + '\n';
        ++lineNo;
    };
    size_t messageIndex = 0;
    for (size_t i = 0; i < packets; ++i) {
        ByteVectorPtr bytes = other;
        if (messages && i % 10 == 5) {
            const size_t take = 48 + nextRandom(rng) % 113; // cuts lines across packets
            while (stream.size() < take)
                moreText(messageIndex);
            bytes = ccsdsBytes(i % 20 == 5 ? MSG_TYPE : MEB_TYPE, stream.substr(0, take));
            stream.erase(0, take);
            ++messageIndex;
        }
        cache->appendPacket(std::make_shared<CcsdsPacket>(bytes, int(i), resolver));
    }
}

void BM_RefreshMixed(benchmark::State& state)
{
    const size_t packets = size_t(state.range(0));
    installArchive(packets, true);
    MsgLogCache log;
    size_t lines = 0;
    for (auto _ : state) {
        log.reload();
        lines = log.size();
    }
    state.counters["lines"] = double(lines);
    state.counters["lines/s"] = benchmark::Counter(double(lines), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["packets/s"] =
        benchmark::Counter(double(packets), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["ns/packet"] = benchmark::Counter(double(packets), benchmark::Counter::kIsIterationInvariantRate
                                                                          | benchmark::Counter::kInvert);
    TelemetryFile::setSharedCache(nullptr);
}

void BM_RefreshOtherPackets(benchmark::State& state)
{
    const size_t packets = size_t(state.range(0));
    installArchive(packets, false);
    MsgLogCache log;
    for (auto _ : state)
        log.reload();
    state.counters["packets/s"] =
        benchmark::Counter(double(packets), benchmark::Counter::kIsIterationInvariantRate);
    TelemetryFile::setSharedCache(nullptr);
}

// A log of n lines, one per packet, none matching the expression searched.
void BM_WindowSearch(benchmark::State& state)
{
    const size_t n = size_t(state.range(0));
    static BenchFactory factory;
    DataInterpretation::init(&factory, false, nullptr, {});
    auto* cache = new TelemetryCache(new UnixTimeResolver);
    TelemetryFile::setSharedCache(cache);
    const ByteVectorPtr bytes = ccsdsBytes(MSG_TYPE, "1234.5: SEB status 0x1f, laser idle, pump 3 at 1500 rpm\n");
    for (size_t i = 0; i < n; ++i)
        cache->appendPacket(std::make_shared<CcsdsPacket>(bytes, int(i), cache->timeResolver()));
    MsgLogCache log;
    log.refresh();
    const QRegularExpression re("Heater Test = (0|1)");
    uint32_t rng = 3;
    bool found = false;
    for (auto _ : state) {
        const uint32_t from = nextRandom(rng) % uint32_t(n - 100);
        benchmark::DoNotOptimize(log.search(from, from + 99, re, &found, true));
    }
    state.counters["lines"] = double(log.size());
    TelemetryFile::setSharedCache(nullptr);
}

} // namespace

BENCHMARK(BM_RefreshMixed)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RefreshOtherPackets)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WindowSearch)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
