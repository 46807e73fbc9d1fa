// Scan classification and traces: every generated scan's ion source, mode and
// EM on-times against the generator; the mode table's corner cases; EM on-times
// of a sequence that switches EM_A on, off and on again, and of commands whose
// fields are bad or missing (nothing thrown); dump; scanIndexRange; the traces.
#include "scandefinitions.h"

#include "koralib/masscal/masscal.h"
#include "koralib/scans/scandata.h"
#include "koralib/seb/sebcmd.h"
#include "koralib/seb/sebsequence.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unistd.h>

using KoraScanTest::intList;
using KorGse::ScanData;
using KorGse::ScanStatus;
using KorGse::SebSequence;

namespace {

class ScanClassificationTest : public KoraScanTest::ScanSuite
{
protected:
    void SetUp() override { ASSERT_TRUE(defs->generated); }

    // A sequence read from a file of the given commands (two leading bytes, then the stream).
    QSharedPointer<SebSequence> sequence(const std::vector<std::vector<uint8_t>>& cmds)
    {
        QByteArray bytes("\0\0", 2);
        for (const auto& c : cmds)
            bytes.append(reinterpret_cast<const char*>(c.data()), qsizetype(c.size()));
        const QString path = defs->dir.filePath(QString("seq%1.bin").arg(++files));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        auto s = QSharedPointer<SebSequence>::create(path);
        EXPECT_TRUE(s->valid);
        return s;
    }
    int files = 0;
};

// One command: sync code, id, length L, then L + 2 bytes.
std::vector<uint8_t> cmd(int id, std::vector<uint8_t> args)
{
    const size_t l = args.size() > 2 ? args.size() - 2 : 0;
    args.resize(l + 2);
    // Sized once: growing a six-byte vector by insert trips g++ 12's bounds warning.
    std::vector<uint8_t> out(6 + args.size());
    const uint8_t head[] = {0xFA, 0xF3, 0x20, uint8_t(id), uint8_t(l >> 8), uint8_t(l)};
    std::copy(std::begin(head), std::end(head), out.begin());
    std::copy(args.begin(), args.end(), out.begin() + 6);
    return out;
}
std::vector<uint8_t> setDacImm(int dac, int count)
{
    return cmd(KorGse::SebCmd::SET_DAC_IMM, {uint8_t(dac), uint8_t(count >> 8), uint8_t(count)});
}
std::vector<uint8_t> pauseImm(int ms)
{
    return cmd(KorGse::SebCmd::PAUSE_IMM, {uint8_t(ms >> 8), uint8_t(ms)});
}

// EM_A and EM_B rows read (count - 490) * 4: 14 is -1904 (on), 15 is -1900 (off).
constexpr int EM_ON = 14;
constexpr int EM_OFF = 15;

ScanStatus status(double setDac0, double setDac1)
{
    ScanStatus s;
    s.setDacValue[0] = setDac0;
    s.setDacValue[1] = setDac1;
    s.binTimeReadback = 250.0;
    s.binCountReg = 40;
    for (int k = 0; k < ScanStatus::PAUSE_COUNT; ++k)
        s.pauseTimesMs[k] = 10.0 * (k + 1);
    s.regDacValue[0] = -2000.0;
    s.regDacValue[1] = -1000.0;
    return s;
}

ScanData scanWithBins(int bins)
{
    ScanData s;
    KorGse::SciDataPacket seg;
    seg.numBins = uint16_t(bins);
    seg.endBin = uint16_t(bins);
    s.segments.push_back(seg);
    return s;
}

// What the code writes to the standard output while `f` runs.
template <typename F>
std::string captureStdout(F f)
{
    std::fflush(stdout);
    char name[] = "/tmp/scanclassXXXXXX";
    const int fd = mkstemp(name);
    const int saved = dup(1);
    dup2(fd, 1);
    f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    QFile file(name);
    if (file.open(QIODevice::ReadOnly))
        out = file.readAll().toStdString();
    close(fd);
    unlink(name);
    return out;
}

} // namespace

TEST_F(ScanClassificationTest, GeneratedScansMatchTheirSourceModeAndEmOnTimes)
{
    for (const char* which : {"main", "cut"}) {
        const auto cache = defs->open(which);
        const QJsonArray scans = defs->archiveExpected(which).value("scans").toArray();
        ASSERT_EQ(cache->size(), scans.size()) << which;
        int withSequences = 0;
        for (int i = 0; i < cache->size(); ++i) {
            const QJsonObject e = scans[i].toObject();
            const ScanData& s = *cache->scan(i);
            const std::string at = std::string(which) + " scan " + std::to_string(i);
            EXPECT_EQ(s.ionSource(), e.value("ionSource").toInt()) << at;
            if (e.contains("mode")) {
                EXPECT_EQ(s.determineScanMode(), e.value("mode").toInt()) << at;
                EXPECT_EQ(s.isDarkCountScan(), e.value("mode").toInt() == 2) << at;
            }
            double a = -1.0;
            double b = -1.0;
            s.calculateEmOnTimes(a, b);
            EXPECT_NEAR(a, e.value("emA").toDouble(), 1e-9) << at;
            EXPECT_NEAR(b, e.value("emB").toDouble(), 1e-9) << at;
            withSequences += s.sebSequences.isEmpty() ? 0 : 1;
        }
        EXPECT_GT(withSequences, 5) << which;
    }
    const auto cache = defs->open("main");
    EXPECT_TRUE(cache->hasScansFromGcSource());
    EXPECT_TRUE(cache->hasScansFromLdiSource());
    // On, 5 ms, off, 7 ms, on, 3 ms: EM_A has been on for 3 ms.
    double a = 0.0;
    double b = 0.0;
    cache->scan(0)->calculateEmOnTimes(a, b);
    EXPECT_EQ(a, 3.0);
    EXPECT_EQ(b, 0.0);
    const auto none = defs->open("continuation");
    EXPECT_FALSE(none->hasScansFromGcSource());
    EXPECT_FALSE(none->hasScansFromLdiSource());
}

TEST_F(ScanClassificationTest, ModeTable)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case
    {
        const char* name;
        int sebHk;
        bool filA;
        bool filB;
        uint32_t type;
        double rfDacEnd; // of the last status; NaN with noStatus false: a NaN end value
        bool withStatus;
        int mode;
    };
    const Case cases[] = {
        {"no SEB housekeeping, filament on", -1, true, false, 26, 0.0, false, 0},
        {"filament A", 3, true, false, 27, 0.0, true, 1},
        {"filament B", 3, false, true, 26, 0.0, false, 1},
        {"type 26, filaments off", 3, false, false, 26, 0.0, true, 3},
        {"type 28, filaments off", 3, false, false, 28, 0.0, true, 3},
        {"type 27 without status or segments", 3, false, false, 27, 0.0, false, 2},
        {"type 27, RF DAC end 100", 3, false, false, 27, 100.0, true, 2},
        {"type 27, RF DAC end above 100", 3, false, false, 27, 100.001, true, 3},
        {"type 27, RF DAC end NaN", 3, false, false, 27, nan, true, 3},
    };
    for (const Case& c : cases) {
        ScanData s;
        s.sebHkPkt.pktIndex = c.sebHk;
        s.sebHkPkt.isFilAOn = c.filA;
        s.sebHkPkt.isFilBOn = c.filB;
        s.srcPktType = c.type;
        if (c.withStatus) {
            ScanStatus st;
            st.setDacValue[13] = c.rfDacEnd;
            s.scanStatuses.append(st);
        }
        EXPECT_EQ(s.determineScanMode(), c.mode) << c.name;
        EXPECT_EQ(s.isDarkCountScan(), c.mode == 2) << c.name;
    }
    ScanData s;
    EXPECT_EQ(s.ionSource(), 0);
    s.laserPulsesPkt.pktIndex = 4;
    EXPECT_EQ(s.ionSource(), 2);
    s.gcHkPkt.pktIndex = 0;
    EXPECT_EQ(s.ionSource(), 1);
}

TEST_F(ScanClassificationTest, EmOnTimesWithoutSequencesFollowTheLastStatus)
{
    double a = -1.0;
    double b = -1.0;
    ScanData none = scanWithBins(200);
    none.calculateEmOnTimes(a, b);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);

    ScanData s = scanWithBins(200);
    s.numScans = 3;
    s.scanStatuses.append(status(-1900.0, -1900.5));
    s.calculateEmOnTimes(a, b);
    EXPECT_EQ(a, 0.0); // -1900 exactly is off
    EXPECT_DOUBLE_EQ(b, (250.0 * 1e-6 * 200 * 1000.0 + 10.0) * 3);
}

TEST_F(ScanClassificationTest, EmOnTimesFollowTheSequencesCommands)
{
    using KorGse::SebCmd;
    struct Case
    {
        const char* name;
        std::vector<std::vector<std::vector<uint8_t>>> sequences;
        bool withStatus;
        double emA;
        double emB;
    };
    const Case cases[] = {
        {"on 5 off 7 on 3",
         {{setDacImm(0, EM_ON), pauseImm(5), setDacImm(0, EM_OFF), pauseImm(7)}, {setDacImm(0, EM_ON), pauseImm(3)}},
         false, 3.0, 0.0},
        {"a pause before any DAC command adds nothing", {{pauseImm(9)}}, true, 0.0, 0.0},
        {"EM_B on, pause index 2 and RAMP", {{setDacImm(1, EM_ON), cmd(SebCmd::PAUSE, {2}), cmd(SebCmd::RAMP, {})}},
         true, 0.0, 30.0 + 40 * 250.0 / 1000.0},
        {"RAMP_IMM 8 bins", {{setDacImm(0, EM_ON), cmd(SebCmd::RAMP_IMM, {0, 8})}}, true, 8 * 250.0 / 1000.0, 0.0},
        {"SET_DAC reads the readback of EM_A", {{cmd(SebCmd::SET_DAC, {0}), pauseImm(4)}}, true, 4.0, 0.0},
        {"commands needing a status do nothing without one",
         {{cmd(SebCmd::SET_DAC, {0}), pauseImm(4), setDacImm(0, EM_ON), cmd(SebCmd::PAUSE, {1}),
           cmd(SebCmd::RAMP, {}), pauseImm(2)}},
         false, 2.0, 0.0},
        {"pause index past the table", {{setDacImm(0, EM_ON), cmd(SebCmd::PAUSE, {8}), cmd(SebCmd::PAUSE, {255})}},
         true, 0.0, 0.0},
        {"SET_DAC of a DAC without a row", {{setDacImm(0, EM_ON), cmd(SebCmd::SET_DAC, {20}), pauseImm(6)}}, true, 6.0,
         0.0},
        {"SET_DAC_IMM without its value field", {{cmd(SebCmd::SET_DAC_IMM, {0}), pauseImm(6)}}, true, 0.0, 0.0},
        {"a command id without interpreter", {{setDacImm(0, EM_ON), cmd(0x99, {1, 2, 3}), pauseImm(1)}}, true, 1.0,
         0.0},
        {"the on-time carries over between sequences and is scaled by the expected count",
         {{setDacImm(0, EM_ON), pauseImm(2)}, {pauseImm(3)}}, true, 5.0, 0.0},
    };
    for (const Case& c : cases) {
        ScanData s = scanWithBins(100);
        s.numScans = 2;
        if (c.withStatus)
            s.scanStatuses.append(status(0.0, 0.0));
        for (const auto& q : c.sequences)
            s.sebSequences.append(sequence(q));
        double a = -1.0;
        double b = -1.0;
        EXPECT_NO_THROW(s.calculateEmOnTimes(a, b)) << c.name;
        EXPECT_DOUBLE_EQ(a, 2 * c.emA) << c.name;
        EXPECT_DOUBLE_EQ(b, 2 * c.emB) << c.name;
    }
    // Without a command table nothing decodes and nothing is thrown.
    ScanData s = scanWithBins(100);
    s.sebSequences.append(sequence({setDacImm(0, EM_ON), pauseImm(5)}));
    KorGse::SebCmdInterpreter::clearInterpreters();
    double a = -1.0;
    double b = -1.0;
    EXPECT_NO_THROW(s.calculateEmOnTimes(a, b));
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);
    KorGse::SebCmdInterpreter::createInterpreters();
}

TEST_F(ScanClassificationTest, DumpPrintsBinCountAndStartBins)
{
    ScanData empty;
    EXPECT_EQ(captureStdout([&] { empty.dump(); }), "should have 0 bins\n");
    ScanData s = scanWithBins(100);
    KorGse::SciDataPacket second;
    second.startBin = 100;
    s.segments.push_back(second);
    ScanStatus st;
    st.binCountReg = 200;
    s.scanStatuses.append(st);
    EXPECT_EQ(captureStdout([&] { s.dump(); }), "200\t0\t100\n");
}

TEST_F(ScanClassificationTest, ScanIndexRangeAndTraces)
{
    const auto cache = defs->open("main");
    const QJsonArray scans = defs->archiveExpected("main").value("scans").toArray();
    const int n = cache->size();
    ASSERT_EQ(n, scans.size());
    QList<double> times;
    for (const QJsonValue& v : scans)
        times.append(v.toObject().value("time").toDouble());
    auto lowest = [&](int from, double t) {
        int i = from;
        while (i < n && !(times[i] >= t))
            ++i;
        return i;
    };
    // Midway between neighbours: the archive's times are only good to a microsecond.
    const double mid = (times[n / 2] + times[n / 2 + 1]) / 2;
    const double late = (times[3 * n / 4] + times[3 * n / 4 + 1]) / 2;
    const auto r = cache->scanIndexRange(mid, late);
    EXPECT_EQ(r.first, lowest(0, mid));
    EXPECT_EQ(r.second, lowest(r.first, late));
    EXPECT_EQ(cache->scanIndexRange(times.last() + 1.0, times.last() + 2.0), std::make_pair(n, n));
    EXPECT_EQ(cache->scanIndexRange(-1.0, -1.0), std::make_pair(0, 0));

    const auto maxTrace = cache->maxIonCountTrace(0);
    KorGse::MassCal cal;
    ScanData::SciRange whole;
    const auto sic = cache->sicTrace(whole, cal, false, 0, 100.0, 100.0, -68.0, -0.0992);
    ScanData::SciRange nanRange;
    nanRange.boundsSet = true;
    nanRange.lowerBound = std::numeric_limits<double>::quiet_NaN();
    nanRange.upperBound = std::numeric_limits<double>::quiet_NaN();
    const auto sicNan = cache->sicTrace(nanRange, cal, false, 0, 100.0, 100.0, -68.0, -0.0992);
    const auto tic = cache->correctedTicTrace(0, 100.0, 100.0, -68.0, -0.0992);
    ASSERT_EQ(maxTrace.size(), n);
    ASSERT_EQ(sic.size(), n);
    ASSERT_EQ(sicNan.size(), n);
    ASSERT_EQ(tic.size(), n);
    int nonZeroTics = 0;
    for (int i = 0; i < n; ++i) {
        const QJsonObject e = scans[i].toObject();
        EXPECT_NEAR(maxTrace[i].x(), times[i], 1e-6) << i;
        EXPECT_EQ(tic[i].x(), maxTrace[i].x()) << i;
        EXPECT_EQ(tic[i].y(), cache->scan(i)->correctedTotalIonCount(100.0, 100.0, -68.0, -0.0992)) << i;
        nonZeroTics += tic[i].y() != 0.0 ? 1 : 0;
        if (e.value("type").toInt() != 26)
            continue;
        EXPECT_EQ(maxTrace[i].y(), e.value("peak").toDouble()) << i;
        EXPECT_EQ(sic[i].y(), e.value("total").toDouble()) << i;
        // NaN bounds select bins (0, 0): the whole scan.
        EXPECT_EQ(sicNan[i].y(), e.value("total").toDouble()) << i;
    }
    EXPECT_GT(nonZeroTics, 5);
    // From a start index: the tail of the same lists.
    const auto tail = cache->maxIonCountTrace(n - 2);
    ASSERT_EQ(tail.size(), 2);
    EXPECT_EQ(tail[1], maxTrace[n - 1]);
    EXPECT_TRUE(cache->sicTrace(whole, cal, true, n, 1, 1, 1, 1).isEmpty());
    EXPECT_TRUE(cache->correctedTicTrace(n + 5, 1, 1, 1, 1).isEmpty());
    EXPECT_THROW(cache->sicTrace(whole, cal, true, -1, 1, 1, 1, 1), std::out_of_range);
}

TEST_F(ScanClassificationTest, TracesKeepTheStoredTimeWhileScanIndexRangeRecomputesIt)
{
    // Timestamps by the mean of the statuses: a summed scan whose statuses
    // arrive after it was stored keeps its packet time in the traces, while
    // scanIndexRange sees the mean of the statuses it holds now.
    const auto cache = defs->open("main", false);
    cache->setSummedScanTimestampMode(KORA::MeanOfStatuses);
    cache->refresh();
    const QJsonArray scans = defs->archiveExpected("main").value("scans").toArray();
    ASSERT_EQ(cache->size(), scans.size());
    int late = -1;
    for (int i = 0; i < scans.size() && late < 0; ++i) {
        const QJsonObject e = scans[i].toObject();
        const QList<int> st = intList(e.value("statuses"));
        if (e.value("type").toInt() == 27 && !st.isEmpty() && st.first() > intList(e.value("packets")).first())
            late = i;
    }
    ASSERT_GE(late, 1);
    const QJsonObject e = scans[late].toObject();
    const double packetTime = e.value("time").toDouble();
    double mean = 0.0;
    const QList<int> st = intList(e.value("statuses"));
    for (int k : st)
        mean += GseLib::TelemetryFile::sharedCache()->get(unsigned(k))->relativeTime();
    mean /= st.size();
    ASSERT_GT(mean - packetTime, 1e-3);

    EXPECT_NEAR(cache->times()[late], packetTime, 1e-6);
    EXPECT_EQ(cache->maxIonCountTrace(late)[0].x(), cache->times()[late]);
    EXPECT_EQ(cache->correctedTicTrace(late, 100.0, 100.0, -68.0, -0.0992)[0].x(), cache->times()[late]);
    EXPECT_NEAR(cache->scan(late)->relativeTimestamp(), mean, 1e-9);

    const double t0 = (packetTime + mean) / 2;
    for (int i = 0; i < late; ++i)
        ASSERT_LT(scans[i].toObject().value("time").toDouble(), t0) << i;
    EXPECT_EQ(cache->scanIndexRange(t0, t0).first, late);
}

TEST_F(ScanClassificationTest, SicTraceTakesTheCeilingOfTheBoundsInBins)
{
    // Bins 10.2 to 150.5 select bins 11 to 150 (the upper bound is exclusive
    // after the ceiling); the sum is read here from the packets' count bytes.
    const auto cache = defs->open("main");
    const QJsonArray scans = defs->archiveExpected("main").value("scans").toArray();
    ASSERT_EQ(cache->size(), scans.size());
    const int i = 0;
    ASSERT_EQ(scans[i].toObject().value("type").toInt(), 26);
    double want = 0.0;
    for (int k : intList(scans[i].toObject().value("packets"))) {
        const auto p = GseLib::TelemetryFile::sharedCache()->get(unsigned(k));
        const uint8_t* d = p->bytes->data() + 8;
        const int start = ((d[6] << 8) | d[7]) - 1;
        const int word = (d[4] << 8) | d[5];
        const int n = word < 9 ? 100 : std::min(word - 9, 100);
        for (int j = 0; j < n; ++j)
            if (start + j >= 11 && start + j < 151)
                want += d[15 + j];
    }
    ASSERT_GT(want, 0.0);
    KorGse::MassCal cal;
    ScanData::SciRange range;
    range.boundsSet = true;
    range.valueType = ScanData::BIN;
    range.lowerBound = 10.2;
    range.upperBound = 150.5;
    const auto plain = cache->sicTrace(range, cal, false, i, 100.0, 100.0, -68.0, -0.0992);
    ASSERT_FALSE(plain.isEmpty());
    EXPECT_EQ(plain[0].x(), cache->times()[i]);
    EXPECT_EQ(plain[0].y(), want);
    const double factor = cache->scan(i)->correctedTotalIonCountFactor(100.0, 100.0, -68.0, -0.0992);
    ASSERT_NE(factor, 1.0);
    ASSERT_NE(factor, 0.0);
    const auto corrected = cache->sicTrace(range, cal, true, i, 100.0, 100.0, -68.0, -0.0992);
    EXPECT_DOUBLE_EQ(corrected[0].y(), want * factor);
}
