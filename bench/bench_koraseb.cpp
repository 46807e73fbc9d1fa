// Pressure and SEB decoders called directly on made-up packets: the raw
// micro-Pirani records and the gauge pressure in items per second, the
// mean and highest record in samples per second, the SEB ADC channels in
// packets per second. None of them looks anything up, so no hub is needed.
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/tompacket.h"
#include "korabench.h"
#include "koralib/archive/koradatai.h"

#include <benchmark/benchmark.h>

#include <memory>

using namespace KorGse::KorDataInterpretationImpl;

namespace {

// `records` micro-Pirani records of 12 bytes (n at D[0..1]), the rest of the
// data area a byte pattern; the SEB period byte D[200] lies inside from 201 bytes.
GseLib::TMPacketPtr packet(size_t n, unsigned records)
{
    std::vector<uint8_t> bytes = {22, 0, uint8_t(n >> 8), uint8_t(n), 0, 0, 0, 0};
    for (size_t i = 0; i < n; ++i)
        bytes.push_back(uint8_t(i * 13 + 1));
    bytes[8] = uint8_t(records >> 8);
    bytes[9] = uint8_t(records);
    return std::make_shared<GseLib::TomPacket>(bytes.data(), int(bytes.size()), 0, nullptr);
}

template<typename Decoder>
void run(benchmark::State& state, uint64_t o, uint64_t l, size_t n, unsigned records, size_t perCall)
{
    KoraBench::timeDecoder<Decoder>(state, packet(n, records), KoraBench::decoderRow(o, l, (1ull << (8 * l)) - 1),
                                    perCall);
}

void BM_PiraniRaw220(benchmark::State& s) { run<MicroPiraniPressureDecoder>(s, 6, 4, 4 + 12 * 500, 500, 500); }
void BM_PiraniMean221Samples(benchmark::State& s) { run<MicroPiraniPressureAvgDecoder>(s, 6, 4, 4 + 12 * 500, 500, 500); }
void BM_PiraniHigh222Samples(benchmark::State& s) { run<MicroPiraniPressureHiDecoder>(s, 6, 4, 4 + 12 * 500, 500, 500); }
void BM_PiraniAlgorithm225(benchmark::State& s) { run<MicroPiraniAlgorithmDecoder>(s, 7, 2, 500, 0, 100); }
// Channel 1 matches no record of the pattern; the walk over 31 records is the cost.
void BM_SebAdc224Packets(benchmark::State& s) { run<SebAdcValueDecoder>(s, 1, 2, 256, 0, 1); }

BENCHMARK(BM_PiraniRaw220);
BENCHMARK(BM_PiraniMean221Samples);
BENCHMARK(BM_PiraniHigh222Samples);
BENCHMARK(BM_PiraniAlgorithm225);
BENCHMARK(BM_SebAdc224Packets);

} // namespace

BENCHMARK_MAIN();
