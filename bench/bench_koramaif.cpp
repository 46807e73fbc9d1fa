// MAIF and bus power decoders called directly on generated packets: sample
// decoders in items per second, the RSIM mean in samples per second, the
// MAIF field and the RSIM power in packets per second. The hub comes from
// the definitions scripts/gen_kora.py writes (row 831 added for the MAIF layout).
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/tompacket.h"
#include "korabench.h"
#include "koralib/archive/koradatai.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <memory>

using namespace KorGse::KorDataInterpretationImpl;

namespace {

bool hub()
{
    static KoraBench::GeneratedHub* f = [] {
        auto* fx = new KoraBench::GeneratedHub;
        if (!fx->generate("gen_kora.py"))
            return fx;
        GseLib::TmDatabaseRow fpga;
        fpga.key = "KOR:MAIF_FPGA";
        fpga.dataId = 831;
        fpga.decodeIds = {1, 2, 0xFFFF, 0};
        GseLib::DataInterpretation::current()->db()->addRow(fpga);
        fx->ok = true;
        return fx;
    }();
    return f->ok;
}

GseLib::TMPacketPtr packet(size_t n)
{
    std::vector<uint8_t> bytes = {26, 0, uint8_t(n >> 8), uint8_t(n), 0, 0, 0, 0};
    for (size_t i = 0; i < n; ++i)
        bytes.push_back(uint8_t(i * 13));
    bytes[8 + 1] = 0x2C; // new MAIF layout
    return std::make_shared<GseLib::TomPacket>(bytes.data(), int(bytes.size()), 0, nullptr);
}

GseLib::TmDatabaseRow row(uint64_t o, uint64_t l)
{
    return KoraBench::decoderRow(o, l, (1ull << (8 * l)) - 1);
}

template<typename Decoder>
void samples(benchmark::State& state, uint64_t o, size_t n, size_t perCall)
{
    if (!hub()) {
        state.SkipWithError("no hub");
        return;
    }
    KoraBench::timeDecoder<Decoder>(state, packet(n), row(o, 2), perCall);
}

void BM_MaifPressure208(benchmark::State& s) { samples<MaifPressureDecoder>(s, 7, 500, 100); }
void BM_MaifCurrent209(benchmark::State& s) { samples<MaifCurrentDecoder>(s, 7, 500, 100); }
void BM_Maif1Min210(benchmark::State& s) { samples<Maif1MinDecoder>(s, 6, 12006, 6000); }
void BM_RsimCurrent211(benchmark::State& s) { samples<RsimBus1CurrentDecoder>(s, 4, 2004, 1000); }
void BM_RsimMean214Samples(benchmark::State& s) { samples<RsimBus1CurrentAvgDecoder>(s, 4, 2004, 1000); }
void BM_RsimMax213Samples(benchmark::State& s) { samples<RsimBus1CurrentMaxDecoder>(s, 4, 2004, 1000); }

void BM_MaifField207Packets(benchmark::State& s) { samples<MaifDecoder>(s, 105, 500, 1); }

void BM_RsimPower227Packets(benchmark::State& state)
{
    if (!hub()) {
        state.SkipWithError("no hub");
        return;
    }
    KoraBench::timeDecoder<RsimBus1PowerDecoder>(state, packet(64), row(4, 4), 1);
}

BENCHMARK(BM_MaifPressure208);
BENCHMARK(BM_MaifCurrent209);
BENCHMARK(BM_Maif1Min210);
BENCHMARK(BM_RsimCurrent211);
BENCHMARK(BM_RsimMean214Samples);
BENCHMARK(BM_RsimMax213Samples);
BENCHMARK(BM_MaifField207Packets);
BENCHMARK(BM_RsimPower227Packets);

} // namespace

BENCHMARK_MAIN();
