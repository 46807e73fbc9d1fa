// Laser decoders called directly on a laser pulses packet of 60 pulses: the
// per-pulse decoders (items/s) and the summaries (pulses/s), each call
// appending to a list that is cleared, not freed, between calls.
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/packetarena.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/koradatai.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

using namespace KorGse::KorDataInterpretationImpl;

// A linear clock, so the figures are the decoders' own.
class LinearResolver : public GseLib::TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return double(ticks) / 1000.0; }
    long long secondsToTicks(double s) const override { return (long long)(s * 1000.0); }
    double unixTime(const GseLib::TMPacket*) const override { return 1.7e9; }
    double unixTime(const GseLib::TMPacket*, long long ticks) const override { return 1.7e9 + ticksToSeconds(ticks); }
    double relativeTime(const GseLib::TMPacket*) const override { return 0.0; }
    double relativeTime(const GseLib::TMPacket*, long long ticks) const override { return ticksToSeconds(ticks); }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const GseLib::TMPacketPtr&) override { return false; }
    GseLib::TMPacketPtr t0Packet() const override { return nullptr; }
};

constexpr int PULSES = 60;

struct Input
{
    LinearResolver resolver;
    std::unique_ptr<GseLib::TomPacket> packet;
    GseLib::TmDatabaseRow row;

    Input()
    {
        const int dataLength = 4 + 16 * PULSES;
        auto bytes = GseLib::makePacketBytes(size_t(8 + dataLength + 4));
        auto& b = *bytes;
        b[0] = 15;
        b[2] = uint8_t(dataLength >> 8);
        b[3] = uint8_t(dataLength);
        b[8] = 0;
        b[9] = PULSES;
        for (int i = 0; i < PULSES; ++i) {
            const size_t r = size_t(8 + 4 + 16 * i);
            const unsigned clock = 1000u + 50u * unsigned(i);
            b[r + 2] = uint8_t(clock >> 8);
            b[r + 3] = uint8_t(clock);
            const unsigned word = (unsigned(i % 4) << 12) | (unsigned(i % 3) << 14) | unsigned(100 + i);
            b[r + 6] = uint8_t(word >> 8);
            b[r + 7] = uint8_t(word);
        }
        packet = std::make_unique<GseLib::TomPacket>(bytes, 0, &resolver);
        row.key = "LAS:ENERGY";
        row.dataId = 1;
        row.packetType = 15;
        row.decodeIds = {10, 2, 0x0FFF, 0};
    }
};

template <class D>
void decodePulses(benchmark::State& state)
{
    static Input in;
    const D decoder;
    GseLib::DataItems items;
    for (auto _ : state) {
        items.clear();
        decoder.decode(in.row, in.packet.get(), items, nullptr);
        benchmark::DoNotOptimize(items.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * PULSES);
}

BENCHMARK_TEMPLATE(decodePulses, LaserPulseRegsDecoder);
BENCHMARK_TEMPLATE(decodePulses, LaserPulseTimeDecoder);
BENCHMARK_TEMPLATE(decodePulses, LaserEnergyUvEtuDecoder);
BENCHMARK_TEMPLATE(decodePulses, LaserEnergyUvEtuCalibratedDecoder);
BENCHMARK_TEMPLATE(decodePulses, LaserEnergyUvFlightDecoder);
BENCHMARK_TEMPLATE(decodePulses, LaserEnergyUvFlightSpareDecoder);
// Summaries: items processed are the pulses summarised.
BENCHMARK_TEMPLATE(decodePulses, LaserEnergyUvEtuAvgDecoder);
BENCHMARK_TEMPLATE(decodePulses, LaserEnergyUvFlightMinDecoder);
BENCHMARK_TEMPLATE(decodePulses, LaserEnergyUvFlightMaxDecoder);
BENCHMARK_TEMPLATE(decodePulses, LaserEnergyUvFlightSpareStdDevDecoder);

} // namespace

BENCHMARK_MAIN();
