// Input-chosen first-instrument packets of types 9, 14-16, 22-28 through the
// science data cache: the input is a list of records (selector byte, 16-bit
// big-endian length, that many data bytes); each becomes a TOM packet with a
// valid checksum, its type and time step taken from the selector. The archive
// is refreshed in two steps (half, then all), then every scan is classified and
// every trace drawn, under a tiny database, DAC table and SEB command table
// built once. Nothing may crash, hang or read past a packet.
#include "fuzzquiet.h"
#include "gselib/packets/telemetryfile.h"
#include "korafuzzhub.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/masscal/masscal.h"
#include "koralib/scans/sciencedatacache.h"
#include "koralib/seb/sebcmdinterpreter.h"
#include "tools/util/checksum.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

using namespace KoraFuzzHub;

std::string g_folder;

QByteArray row(int id, int type, int off, int n)
{
    return KoraFuzzHub::row("I" + QByteArray::number(id), id, type, off, n);
}

void setUp()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    g_folder = makeFolder("fuzz_kora_scans");
    const QString dir = QString::fromStdString(g_folder);
    QByteArray db = DB_HEADER;
    db += row(105, 22, 8, 1) + row(102, 22, 9, 1) + row(17, 22, 10, 2) + row(18, 22, 14, 2) + row(351, 26, 8, 2) +
          row(352, 26, 10, 2) + row(353, 26, 12, 2) + row(200, 25, 4, 4) + row(202, 25, 10, 2) + row(204, 25, 13, 2) +
          row(245, 25, 80, 2) + row(251, 25, 89, 2) + row(252, 25, 91, 4);
    for (int k = 0; k < 8; ++k)
        db += row(237 + k, 25, 64 + 2 * k, 2);
    writeText(dir + "/db.txt", db);
    writeText(dir + "/tm_packet_types.txt",
              "2,TIME,false,0,64\n9,M,false,0,64\n14,GC,false,0,64\n15,LP,false,0,64\n16,LS,false,0,64\n"
              "22,SEB,false,0,64\n23,SEQ,false,0,2048\n24,X,false,0,64\n25,SS,false,0,128\n26,SCI,false,0,115\n"
              "27,S16,false,0,8192\n28,S8,false,0,8192\n");
    QByteArray dac = "# dac\n";
    for (int id = 0; id < 16; ++id)
        if (id != 14)
            dac += QByteArray::number(id) + "\t" + QByteArray::number(id) + "\t" + (id == 0 ? "EM_A" : id == 1 ? "EM_B" : "D" + QByteArray::number(id)) +
                   (id == 8 ? "\t12\t0x0FFF\t1\t0\t8\n" : id == 3 ? "\t8\t0xFF\t0\t0\t0\n" : "\t8\t0xFF\t0\t490\t0.25\n");
    writeText(dir + "/dac.txt", dac);
    QDir().mkpath(dir + "/viewerConfigs");
    writeText(dir + "/viewerConfigs/seb_cmds.json",
              R"([{"id":"15","name":"PAUSE_IMM","description":"","data":[{"type":1,"field":"ms","description":"","offset":6,"size":2,"mask":"FFFF","shift":0}]},
{"id":"17","name":"SEND_SCAN_STATUS","description":"","data":[{"type":0}]},
{"id":"1C","name":"SET_DAC","description":"","data":[{"type":3,"field":"dac","description":"","offset":6,"size":1,"mask":"FF","shift":0}]},
{"id":"1D","name":"SET_DAC_IMM","description":"","data":[{"type":3,"field":"dac","description":"","offset":6,"size":1,"mask":"FF","shift":0},{"type":4,"field":"v","description":"","offset":7,"size":2,"mask":"FFFF","shift":0}]},
{"id":"20","name":"RAMP","description":"","data":[]},
{"id":"21","name":"RAMP_IMM","description":"","data":[{"type":2,"field":"bins","description":"","offset":6,"hkid":245}]},
{"id":"2E","name":"PAUSE","description":"","data":[{"type":1,"field":"i","description":"","offset":6,"size":1,"mask":"FF","shift":-30}]}])");
    installHub(dir);
    KorGse::SebCmdInterpreter::createInterpreters();
    auto* cache = new KorGse::KorTelemetryCache;
    cache->setMessageStream(FuzzQuiet::nullFile());
    GseLib::TelemetryFile::setSharedCache(cache);
}

constexpr int TYPES[] = {9, 14, 15, 16, 22, 23, 24, 25, 26, 27, 28, 26, 25, 23, 26, 27};

void appendPacket(std::vector<uint8_t>& out, int type, uint8_t seq, const uint8_t* data, size_t n, uint32_t ts)
{
    const size_t start = out.size();
    out.push_back(uint8_t(type));
    out.push_back(seq);
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n));
    for (int k = 3; k >= 0; --k)
        out.push_back(uint8_t(ts >> (8 * k)));
    out.insert(out.end(), data, data + n);
    unsigned long state[2];
    GseLib::start_checksum(state);
    GseLib::add_checksum(out.data() + start, unsigned(out.size() - start), state);
    const unsigned int sum = GseLib::end_checksum(state);
    uint8_t b[4];
    std::memcpy(b, &sum, 4); // stored big-endian on a little-endian host
    out.insert(out.end(), b, b + 4);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes, size_t n)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (n)
        std::fwrite(bytes.data(), 1, n, f);
    std::fclose(f);
}

void refresh(KorGse::ScienceDataCache& cache)
{
    // A status whose DAC row is missing raises; the next refresh goes on after it.
    for (int tries = 0; tries < 1000; ++tries) {
        try {
            cache.refresh();
            return;
        } catch (const std::exception&) {
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    setUp();
    std::vector<uint8_t> archive;
    std::vector<size_t> ends;
    uint32_t ts = 1000;
    size_t i = 0;
    uint8_t seq = 0;
    // Packets no longer than the longest packet type allows.
    while (i + 3 <= size && ends.size() < 2000) {
        const uint8_t sel = data[i];
        size_t n = (size_t(data[i + 1]) << 8) | data[i + 2];
        i += 3;
        n = std::min(n, size - i);
        n = std::min<size_t>(n, 2048);
        ts += uint32_t(sel >> 4) * 1500 + 1;
        appendPacket(archive, TYPES[sel & 15], seq++, data + i, n, ts);
        ends.push_back(archive.size());
        i += n;
    }
    const std::string path = g_folder + "/tm.tlm";
    const size_t half = ends.empty() ? 0 : ends[ends.size() / 2];
    writeFile(path, archive, half);
    GseLib::TelemetryFile::setSharedCacheFile(path);
    KorGse::ScienceDataCache cache(new GseLib::TelemetryFile);
    cache.setSummedScanTimestampMode(KORA::SummedScanTimestampMode(size % 3));
    refresh(cache);
    writeFile(path, archive, archive.size());
    GseLib::TelemetryFile::updateSharedCache();
    refresh(cache);

    KorGse::MassCal cal;
    cal.setControlMode(KorGse::MassCal::RF_DAC);
    volatile double v = 0.0;
    for (int k = 0; k < cache.size(); ++k) {
        const auto s = cache.scan(k);
        double a = 0.0;
        double b = 0.0;
        s->calculateEmOnTimes(a, b);
        v = v + a + b + s->ionSource() + s->determineScanMode() + s->isDarkCountScan();
        if (k < 3)
            s->dump();
    }
    v = v + cache.hasScansFromGcSource() + cache.hasScansFromLdiSource();
    const auto r = cache.scanIndexRange(0.0, 1e9);
    v = v + r.first + r.second;
    v = v + cache.maxIonCountTrace(0).size() + cache.correctedTicTrace(cache.size() / 2, 100, 100, -68, -0.0992).size();
    KorGse::ScanData::SciRange range;
    v = v + cache.sicTrace(range, cal, true, 0, 100, 100, -68, -0.0992).size();
    range.boundsSet = true;
    range.valueType = KorGse::ScanData::MASS;
    range.lowerBound = -1e300;
    range.upperBound = 1e300;
    v = v + cache.sicTrace(range, cal, true, 0, 100, 100, -68, -0.0992).size();
    range.valueType = KorGse::ScanData::RF_MON;
    range.lowerBound = 3.0;
    range.upperBound = 200.0;
    v = v + cache.sicTrace(range, cal, false, 0, 100, 100, -68, -0.0992).size();
    (void)v;
    if (std::getenv("FUZZ_KORA_SCANS_VERBOSE"))
        std::fprintf(stderr, "%zu packets, %d scans\n", ends.size(), cache.size());
    return 0;
}
