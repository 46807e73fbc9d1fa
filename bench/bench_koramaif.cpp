// MAIF and bus power decoders called directly on generated packets: sample
// decoders in items per second, the RSIM mean in samples per second, the
// MAIF field and the RSIM power in packets per second. The hub comes from
// the definitions scripts/gen_kora.py writes (row 831 added for the MAIF layout).
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/tompacket.h"
#include "gselib/services/configvek.h"
#include "koralib/koradatai.h"
#include "tools/util/pluginmanager.h"

#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <memory>

using namespace KorGse::KorDataInterpretationImpl;

namespace {

struct Fixture
{
    QTemporaryDir dir;
    KorGse::KorDataInterpretationFactory factory;
    PluginManager manager;
    bool ok = false;
};

bool hub()
{
    static Fixture* f = [] {
        auto* fx = new Fixture;
        QProcess gen;
        gen.start("/usr/bin/python3", {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_kora.py"), fx->dir.path()});
        if (!gen.waitForFinished(-1) || gen.exitCode() != 0) {
            std::fprintf(stderr, "gen_kora.py failed: %s\n", gen.readAllStandardError().constData());
            return fx;
        }
        qputenv("INIVEK", (fx->dir.path() + "/vek.INI").toUtf8());
        qputenv("HOME", fx->dir.path().toUtf8());
        GseLib::ConfigVek::setDefaultGroup(GseLib::ConfigVek::getDefaultGroupFromIni(QString()));
        GseLib::DataInterpretation::init(&fx->factory, true, &fx->manager, {});
        GseLib::DataInterpretation::current()->updatePktOffsets(8);
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
    GseLib::TmDatabaseRow r;
    r.key = "KOR:BENCH";
    r.dataId = 1;
    r.decodeIds = {o, l, (1ull << (8 * l)) - 1, 0};
    return r;
}

// Items are cleared between calls but keep their capacity, as getData's list would grow.
template<typename Decoder>
void samples(benchmark::State& state, uint64_t o, size_t n, size_t perCall)
{
    if (!hub()) {
        state.SkipWithError("no hub");
        return;
    }
    const Decoder decoder;
    const auto p = packet(n);
    const auto r = row(o, 2);
    GseLib::DataItems items;
    for (auto _ : state) {
        items.clear();
        decoder.decode(r, p.get(), items, nullptr);
        benchmark::DoNotOptimize(items.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(perCall));
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
    const RsimBus1PowerDecoder decoder;
    const auto p = packet(64);
    const auto r = row(4, 4);
    GseLib::DataItems items;
    for (auto _ : state) {
        items.clear();
        decoder.decode(r, p.get(), items, nullptr);
        benchmark::DoNotOptimize(items.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
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
