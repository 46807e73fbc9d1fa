// Arbitrary bytes as a first-instrument archive: parsed by KorTelemetryCache
// under a hub built once (a small database, packet types and DAC table
// written to a scratch folder), then every packet made into its record, type
// 26 added to a scan, 27/28 decoded as summed scans with every query and all
// 16 axis transforms. Nothing may crash, hang, read past a packet or allocate
// beyond the input's scale.
#include "conversion/compositetransform.h"
#include "fuzzquiet.h"
#include "korafuzzhub.h"
#include "koralib/archive/korpacketrecords.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/masscal/masscal.h"
#include "koralib/scans/scandata.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace KoraFuzzHub;

std::string g_folder;

// The hub of the whole run.
void setUpHub()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    g_folder = makeFolder("fuzz_kora");
    const QString dir = QString::fromStdString(g_folder);
    QByteArray db = DB_HEADER;
    db += row("S", 550, 2, 4, 4) + row("SS", 551, 2, 8, 4) + row("T", 552, 2, 12, 4) + row("DS", 526, 7, 4, 4) +
          row("DSS", 527, 7, 8, 4) + row("DT", 528, 7, 12, 4) + row("IP", 86, 22, 4, 4) + row("FA", 105, 22, 8, 1) +
          row("FB", 102, 22, 9, 1) + row("EA", 17, 22, 10, 2, 2) + row("EB", 18, 22, 14, 2) +
          row("P", 1087, 15, 4, 2, 5) + row("PA", 1089, 15, 14, 2) + row("PS", 1092, 15, 20, 2) +
          row("LS", 1093, 16, 4, 2) + row("RF", 351, 26, 8, 2) + row("RD", 352, 26, 10, 2) + row("AD", 353, 26, 12, 2);
    writeText(dir + "/db.txt", db);
    writeText(dir + "/tm_packet_types.txt",
              "2,TIME,false,0,64\n7,DHK,false,0,64\n8,TEXT,false,-1,-1\n9,M,false,0,64\n10,G,true,0,64\n"
              "14,GC,false,0,64\n15,LP,false,0,64\n16,LS,false,0,64\n22,SEB,false,0,64\n25,SS,false,0,128\n"
              "26,SCI,false,0,115\n27,S16,false,0,8192\n28,S8,false,0,8192\n45,G45,t,0,64\n46,G46,true,0,64\n"
              "154,TOP,false,0,64\n");
    writeText(dir + "/dac.txt", "# dac\n8\t8\tL\t12\t0x0FFF\t1\t0\t8\n13\t13\tRF\t16\t0xFFFF\t0\t0\t1\n");
    installHub(dir);
}

void queryScan(const KorGse::ScanData& scan, const KorGse::MassCal& cal)
{
    double sum = 0.0;
    double max = 0.0;
    scan.selectedIonCountSumAndMax(sum, max, 5, 0);
    volatile double v = sum + max + scan.ionCount(0, 0) + scan.ionCount(150, 30) + scan.maxIonCount() +
                        scan.correctedTotalIonCount(100, 100, -68, -0.0992) +
                        scan.correctedTotalIonCountFactor(100, 100, -68, -0.0992) + scan.totalScanTimeSecs() +
                        scan.nBins() + scan.countsPerSecond() + scan.rfAmpEnd() + scan.rfAmpDACEnd() +
                        scan.auxAmpDACEnd() + scan.relativeTimestamp() + scan.ticList().size() +
                        scan.cTicList().size() + scan.binVsCounts().size() +
                        scan.binVsCorrectedCounts(100, 100, -68, -0.0992).size() + scan.culledBinVsCounts().size();
    for (int f = 0; f < 4; ++f)
        for (int t = 0; t < 4; ++t)
            v = v + scan.getTransform(KorGse::ScanData::ValueType(f), KorGse::ScanData::ValueType(t), cal)->apply(12.5);
    (void)v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    setUpHub();
    const std::string path = g_folder + "/tm.tlm";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);

    static KorGse::KorTelemetryCache* cache = nullptr;
    if (!cache) {
        cache = new KorGse::KorTelemetryCache;
        cache->setMessageStream(FuzzQuiet::nullFile());
    }
    cache->changeFile(path, true);

    KorGse::MassCal cal;
    cal.setControlMode(KorGse::MassCal::RF_DAC);
    cal.addMassCalEntry(KorGse::MassCal::DEFAULT_PHASE_CYCLE);
    cal[KorGse::MassCal::DEFAULT_PHASE_CYCLE].fit.change(1.0, 0.5, 0.001);
    KorGse::ScanData assembling;
    for (size_t i = 0; i < cache->count(); ++i) {
        const GseLib::TMPacketPtr p = cache->get(unsigned(i));
        switch (p->type()) {
        case 26:
            if (!assembling.addSciDataPkt(KorGse::SciDataPacket(p), int(i))) {
                queryScan(assembling, cal);
                assembling = KorGse::ScanData();
            }
            break;
        case 27:
        case 28: {
            KorGse::ScanStatus st;
            st.pauseTimesMs[2] = 1.0;
            st.setDacValue[2] = 3.0;
            st.binTimeReadback = 100.0;
            queryScan(KorGse::ScanData(p, {st, st}, i % 2 == 0, KORA::SummedScanTimestampMode(int(i % 3))), cal);
            break;
        }
        case 22:
            (void)KorGse::SebHK(p);
            break;
        case 15:
            (void)KorGse::LaserPulsesPacket(p);
            break;
        case 16:
            (void)KorGse::LaserStatusPacket(p);
            break;
        case 14:
            (void)KorGse::GcHkPacket(p);
            break;
        default:
            break;
        }
    }
    queryScan(assembling, cal);
    return 0;
}
