// Scan assembly from generated archives: every scan's packets, source type,
// statuses, paired packets, bin total and sequences against the generator's
// expected.json; the end-of-scan run rule around each threshold; an archive
// cut at every packet boundary and refreshed twice; two caches and a reload.
#include "scandefinitions.h"

#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/tompacket.h"
#include "koralib/scans/scandata.h"
#include "koralib/seb/sebsequence.h"

#include <QDir>
#include <QFile>
#include <stdexcept>

using KoraScanTest::intList;
using KorGse::ScanData;
using KorGse::ScienceDataCache;

namespace {

class ScienceDataCacheTest : public KoraScanTest::ScanSuite
{
};

QList<int> sequenceStarts(const ScanData& s)
{
    QList<int> out;
    for (const auto& q : s.sebSequences)
        out.append(q->pktIndexes.isEmpty() ? -1 : q->pktIndexes.first());
    return out;
}

void expectScans(const ScienceDataCache& cache, const QJsonObject& archive, const char* which)
{
    const QJsonArray scans = archive.value("scans").toArray();
    if (cache.size() != scans.size()) {
        QStringList got;
        for (int i = 0; i < cache.size(); ++i) {
            QStringList p;
            for (int k : cache.scan(i)->packetIndexes())
                p << QString::number(k);
            got << p.join(',');
        }
        FAIL() << which << ": " << cache.size() << " scans, expected " << scans.size() << "; got "
               << got.join(' ').toStdString();
    }
    ASSERT_EQ(cache.ticPoints().size(), scans.size()) << which;
    for (int i = 0; i < cache.size(); ++i) {
        const QJsonObject e = scans[i].toObject();
        const ScanData& s = *cache.scan(i);
        const std::string at = std::string(which) + " scan " + std::to_string(i);
        EXPECT_EQ(s.packetIndexes(), intList(e.value("packets"))) << at;
        EXPECT_EQ(int(s.srcPktType), e.value("type").toInt()) << at;
        EXPECT_EQ(s.scanStatusPacketIndexes(), intList(e.value("statuses"))) << at;
        EXPECT_EQ(int(s.numScans), e.value("numScans").toInt()) << at;
        EXPECT_EQ(s.sebHkPkt.pktIndex, e.value("sebHk").toInt()) << at;
        EXPECT_EQ(s.laserPulsesPkt.pktIndex, e.value("laserPulses").toInt()) << at;
        EXPECT_EQ(s.laserStatusPkt.pktIndex, e.value("laserStatus").toInt()) << at;
        EXPECT_EQ(s.gcHkPkt.pktIndex, e.value("gcHk").toInt()) << at;
        EXPECT_EQ(int(s.nBins()), e.value("bins").toInt()) << at;
        EXPECT_EQ(sequenceStarts(s), intList(e.value("sequences"))) << at;
        EXPECT_NEAR(cache.times()[i], e.value("time").toDouble(), 1e-6) << at;
        EXPECT_NEAR(cache.ticPoints()[i].x(), e.value("time").toDouble(), 1e-6) << at;
        if (e.contains("total") && s.srcPktType == 26) {
            EXPECT_EQ(cache.ticPoints()[i].y(), e.value("total").toDouble()) << at;
        }
    }
}

// Everything a refresh decides about the stored scans, as one comparable text.
QString signature(const ScienceDataCache& cache)
{
    QString out;
    for (int i = 0; i < cache.size(); ++i) {
        const ScanData& s = *cache.scan(i);
        QStringList parts;
        for (int p : s.packetIndexes())
            parts << QString::number(p);
        parts << "|" << QString::number(s.srcPktType) << QString::number(s.numScans) << "|";
        for (int p : s.scanStatusPacketIndexes())
            parts << QString::number(p);
        parts << "|" << QString::number(s.sebHkPkt.pktIndex) << QString::number(s.laserPulsesPkt.pktIndex)
              << QString::number(s.laserStatusPkt.pktIndex) << QString::number(s.gcHkPkt.pktIndex);
        for (int p : sequenceStarts(s))
            parts << QString::number(p);
        for (const auto& q : s.sebSequences)
            parts << QString::number(q->cmds.size());
        parts << QString::number(cache.times()[i], 'g', 17);
        out += parts.join(' ') + '\n';
    }
    return out;
}

} // namespace

TEST_F(ScienceDataCacheTest, ArchivesMatchTheGeneratorsScans)
{
    ASSERT_TRUE(defs->generated);
    for (const char* which :
         {"main", "cut", "status_window", "continuation", "pending", "marker_restart", "stale_edge", "skip26"}) {
        const auto cache = defs->open(which);
        expectScans(*cache, defs->archiveExpected(which), which);
    }
}

TEST_F(ScienceDataCacheTest, MainArchiveShowsTheAssemblyRules)
{
    const auto cache = defs->open("main");
    ASSERT_GE(cache->size(), 7);
    // Closed by its 0x86 marker, so the status that follows attaches to it.
    EXPECT_EQ(cache->scan(0)->scanStatuses.size(), 1);
    // Closed by the restart of the next scan: the laser pulses go to it alone.
    EXPECT_GE(cache->scan(1)->laserPulsesPkt.pktIndex, 0);
    EXPECT_EQ(cache->scan(2)->laserPulsesPkt.pktIndex, -1);
    // Equal start bins join one scan.
    EXPECT_EQ(cache->scan(2)->packetIndexes().size(), 4);
    // The summed scan after a stale status: two later statuses attach, the third finds it full.
    EXPECT_EQ(cache->scan(3)->srcPktType, 27u);
    EXPECT_EQ(cache->scan(3)->scanStatuses.size(), 2);
    // Three pending statuses, two expected: the newest two.
    const ScanData& four = *cache->scan(4);
    ASSERT_EQ(four.scanStatuses.size(), 2);
    EXPECT_EQ(four.scanStatuses[0].setDacRaw[13], 1u);
    EXPECT_EQ(four.scanStatuses[1].setDacRaw[13], 2u);
    // The sequence after one that holds SEND_SCAN_STATUS starts a new group.
    EXPECT_EQ(cache->scan(0)->sebSequences.size(), 1);
    EXPECT_EQ(cache->scan(3)->sebSequences.size(), 2);
    EXPECT_EQ(cache->scan(5)->sebSequences.size(), 1);
    // A status 3 s after the first segment is not attached; it stays pending.
    const QJsonArray scans = defs->archiveExpected("main").value("scans").toArray();
    EXPECT_EQ(cache->scan(7)->scanStatuses.size(), 0);
}

TEST_F(ScienceDataCacheTest, RunRuleThresholds)
{
    struct Case
    {
        const char* archive;
        int scans;
    };
    // Before any stored scan: more than 1900 bins close on the 101st packet, more than
    // 19900 on the 51st; after a stored scan, 21 packets close a scan of equal bin total.
    const Case cases[] = {
        {"run_1900_101", 0},  {"run_1901_100", 0},       {"run_1901_101", 1}, {"run_19900_51", 1},
        {"run_19901_50", 0},  {"run_19901_51", 1},       {"run_after_20", 1}, {"run_after_21", 2},
        {"run_after_21_other", 1},
    };
    for (const Case& c : cases) {
        const auto cache = defs->open(c.archive);
        EXPECT_EQ(cache->size(), c.scans) << c.archive;
        expectScans(*cache, defs->archiveExpected(c.archive), c.archive);
    }
    // 19900 bins are no long first scan: the 51st packet leaves it open, the 101st of the next run closes it.
    const auto cache = defs->open("run_19900_51");
    ASSERT_EQ(cache->size(), 1);
    EXPECT_EQ(cache->scan(0)->nBins(), 19900);
}

TEST_F(ScienceDataCacheTest, StatusWindowIsTwoSecondsFromTheFirstSegment)
{
    const auto cache = defs->open("status_window");
    ASSERT_EQ(cache->size(), 3);
    EXPECT_EQ(cache->scan(0)->scanStatuses.size(), 1); // 2.0 s after
    EXPECT_EQ(cache->scan(1)->scanStatuses.size(), 0); // 2.001 s after
    EXPECT_EQ(cache->scan(2)->scanStatuses.size(), 0); // before the first segment
}

TEST_F(ScienceDataCacheTest, CutAtEveryPacketBoundaryAndRefreshedTwiceEqualsOneRefresh)
{
    const QJsonObject e = defs->archiveExpected("cut");
    QFile f(defs->archive("cut"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const QList<int> offsets = intList(e.value("offsets"));
    ASSERT_EQ(offsets.size(), e.value("packets").toInt() + 1);
    ASSERT_EQ(offsets.last(), bytes.size());
    const QString work = defs->dir.filePath("cutwork/tm.tlm");
    auto write = [&](qsizetype n) {
        QFile out(work);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bytes.constData(), n);
    };
    QDir().mkpath(defs->dir.filePath("cutwork"));
    write(bytes.size());
    defs->openFile(work);
    ScienceDataCache once(new GseLib::TelemetryFile);
    once.refresh();
    const QString expected = signature(once);
    ASSERT_EQ(once.size(), e.value("scans").toArray().size());
    for (int k = 0; k < offsets.size(); ++k) {
        write(offsets[k]);
        defs->openFile(work);
        ScienceDataCache twice(new GseLib::TelemetryFile);
        twice.refresh();
        write(bytes.size());
        GseLib::TelemetryFile::updateSharedCache();
        twice.refresh();
        ASSERT_EQ(signature(twice), expected) << "cut before packet " << k;
    }
}

TEST_F(ScienceDataCacheTest, TwoCachesAndAReloadAgree)
{
    for (const char* which : {"run_tail", "main"}) {
        const auto a = defs->open(which);
        const QString first = signature(*a);
        // A run left open at the end of the archive is counted per cache.
        ScienceDataCache b(new GseLib::TelemetryFile);
        b.refresh();
        EXPECT_EQ(signature(b), first) << which;
        a->reload();
        EXPECT_EQ(signature(*a), first) << which;
        expectScans(*a, defs->archiveExpected(which), which);
    }
}

TEST_F(ScienceDataCacheTest, SummedScansTakeTheNewestStatusesAndAttachWithin14Packets)
{
    const auto cache = defs->open("pending");
    expectScans(*cache, defs->archiveExpected("pending"), "pending");
    ASSERT_EQ(cache->size(), 2);
    // Statuses are packets 1 to 70 (the time packet is 0): the newest 63 are 8 to 70.
    const QList<int> first = cache->scan(0)->scanStatusPacketIndexes();
    ASSERT_EQ(first.size(), 63);
    EXPECT_EQ(first.first(), 8);
    EXPECT_EQ(first.last(), 70);
    // The second summed packet is 72; 13 packets later a status 14 after it attaches, the next does not.
    EXPECT_EQ(cache->scan(1)->packetIndexes(), QList<int>{72});
    EXPECT_EQ(cache->scan(1)->scanStatusPacketIndexes(), QList<int>{86});
}

TEST_F(ScienceDataCacheTest, GcHousekeepingPairsUnderTwoSecondsAndLaserPulsesOnce)
{
    const auto cache = defs->open("gc_window");
    expectScans(*cache, defs->archiveExpected("gc_window"), "gc_window");
    ASSERT_EQ(cache->size(), 4);
    EXPECT_EQ(cache->scan(0)->gcHkPkt.pktIndex, 1);  // 1.999 s older
    EXPECT_EQ(cache->scan(1)->gcHkPkt.pktIndex, -1); // 2.001 s older
    // Newer than the scan's first segment: paired.
    EXPECT_EQ(cache->scan(2)->gcHkPkt.pktIndex, 7);
    EXPECT_EQ(cache->scan(2)->laserPulsesPkt.pktIndex, 5);
    EXPECT_EQ(cache->scan(3)->laserPulsesPkt.pktIndex, -1);
    // The SEB housekeeping and GC indexes stay for later scans.
    EXPECT_EQ(cache->scan(3)->gcHkPkt.pktIndex, 7);
}

TEST_F(ScienceDataCacheTest, RunsNeverStoreAScanWithoutSegments)
{
    const auto cache = defs->open("phantom");
    expectScans(*cache, defs->archiveExpected("phantom"), "phantom");
    ASSERT_EQ(cache->size(), 2);
    EXPECT_EQ(cache->scan(0)->nBins(), 0);
    EXPECT_EQ(cache->scan(0)->laserPulsesPkt.pktIndex, -1);
    EXPECT_GE(cache->scan(1)->laserPulsesPkt.pktIndex, 0);
    EXPECT_FALSE(cache->scan(1)->segments.empty());
}

TEST_F(ScienceDataCacheTest, InterleavedCachesCountTheirOwnRuns)
{
    // The archive ends in a run of 21 packets that closes its second scan. Cache a
    // reads all but the last 6, cache b all of it, then a the rest: a's run must
    // not be the count b left behind.
    const QJsonObject e = defs->archiveExpected("run_tail");
    ASSERT_EQ(e.value("scans").toArray().size(), 2);
    QFile f(defs->archive("run_tail"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const QList<int> offsets = intList(e.value("offsets"));
    const QString work = defs->dir.filePath("tailwork/tm.tlm");
    QDir().mkpath(defs->dir.filePath("tailwork"));
    auto write = [&](qsizetype n) {
        QFile out(work);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bytes.constData(), n);
    };
    write(offsets[offsets.size() - 7]);
    defs->openFile(work);
    ScienceDataCache a(new GseLib::TelemetryFile);
    a.refresh();
    EXPECT_EQ(a.size(), 1);
    write(bytes.size());
    GseLib::TelemetryFile::updateSharedCache();
    ScienceDataCache b(new GseLib::TelemetryFile);
    b.refresh();
    a.refresh();
    expectScans(a, e, "a");
    expectScans(b, e, "b");
}

TEST_F(ScienceDataCacheTest, ScanTypesSkipPacketsWithoutCountingThem)
{
    const auto cache = defs->open("main", false);
    cache->setScanTypes(KORA::Type27 | KORA::Type28);
    cache->refresh();
    for (int i = 0; i < cache->size(); ++i)
        EXPECT_NE(cache->scan(i)->srcPktType, 26u) << i;
    EXPECT_GT(cache->size(), 0);
    // clearCache keeps the cursor: nothing more is read until a reload.
    cache->clearCache();
    cache->refresh();
    EXPECT_EQ(cache->size(), 0);
    cache->setScanTypes(KORA::Type26 | KORA::Type27 | KORA::Type28);
    cache->reload();
    expectScans(*cache, defs->archiveExpected("main"), "main after reload");
}

TEST_F(ScienceDataCacheTest, ScanIndexOutOfRangeAndNegativeTraceStartThrow)
{
    const auto cache = defs->open("main");
    EXPECT_THROW(cache->scan(-1), std::out_of_range);
    EXPECT_THROW(cache->scan(cache->size()), std::out_of_range);
    EXPECT_THROW(cache->maxIonCountTrace(-1), std::out_of_range);
    EXPECT_THROW(cache->correctedTicTrace(-1, 100, 100, -68, -0.0992), std::out_of_range);
    EXPECT_TRUE(cache->maxIonCountTrace(cache->size()).isEmpty());
    EXPECT_EQ(cache->maxIonCountTrace(0).size(), cache->size());
}

TEST_F(ScienceDataCacheTest, RestartingSegmentWithEndMarkerStartsAnOpenScan)
{
    // The refused segment carries 0x86: it starts the next scan, which stays open
    // until the following segment's marker closes it.
    const auto cache = defs->open("marker_restart");
    expectScans(*cache, defs->archiveExpected("marker_restart"), "marker_restart");
    ASSERT_EQ(cache->size(), 2);
    EXPECT_EQ(cache->scan(0)->packetIndexes(), (QList<int>{1, 2, 3}));
    EXPECT_EQ(cache->scan(1)->packetIndexes(), (QList<int>{4, 5}));
}

TEST_F(ScienceDataCacheTest, SummedPacketDropsStatusesOverOneSecondOld)
{
    const auto cache = defs->open("stale_edge");
    expectScans(*cache, defs->archiveExpected("stale_edge"), "stale_edge");
    ASSERT_EQ(cache->size(), 2);
    EXPECT_EQ(cache->scan(0)->scanStatusPacketIndexes(), QList<int>{1}); // 0.9999 s old
    EXPECT_TRUE(cache->scan(1)->scanStatuses.isEmpty());               // 1.0001 s old
}

TEST_F(ScienceDataCacheTest, SkippedSciencePacketsNeitherCountNorEndTheRun)
{
    // Read up to the open scan with every type, then the rest with summed
    // packets only: ten other packets, a skipped segment, ten more, another
    // skipped segment, laser pulses and one other packet. Only that 21st other
    // packet stores the open scan, so it takes the laser pulses. Counting the
    // skipped segments would store it before them; resetting the run, never.
    const QJsonObject e = defs->archiveExpected("skip26");
    const QJsonObject skip = e.value("skipped26").toObject();
    QFile f(defs->archive("skip26"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const QList<int> offsets = intList(e.value("offsets"));
    const QString work = defs->dir.filePath("skipwork/tm.tlm");
    QDir().mkpath(defs->dir.filePath("skipwork"));
    auto write = [&](qsizetype n) {
        QFile out(work);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bytes.constData(), n);
    };
    write(offsets[skip.value("cutBefore").toInt()]);
    defs->openFile(work);
    ScienceDataCache cache(new GseLib::TelemetryFile);
    cache.refresh();
    ASSERT_EQ(cache.size(), 1);
    cache.setScanTypes(KORA::Type27 | KORA::Type28);
    write(bytes.size());
    GseLib::TelemetryFile::updateSharedCache();
    cache.refresh();
    ASSERT_EQ(cache.size(), 2);
    EXPECT_EQ(cache.scan(1)->packetIndexes(), intList(skip.value("openScan")));
    EXPECT_EQ(cache.scan(1)->laserPulsesPkt.pktIndex, skip.value("laserPulses").toInt());
}

TEST_F(ScienceDataCacheTest, SciencePacketTooShortForTheMarkerByteCarriesNoMarker)
{
    // A segment whose packet ends before data byte 3 (its header claiming that
    // byte) is no end of scan, though the byte after it in memory is 0x86.
    const auto cache = defs->open("main", false);
    const int first = intList(defs->archiveExpected("main").value("scans")[0].toObject().value("packets")).first();
    const auto whole = GseLib::TelemetryFile::sharedCache()->get(unsigned(first));
    std::vector<uint8_t> b(whole->bytes->begin(), whole->bytes->end());
    b[8 + 3] = 0x86;
    b[2] = 0;
    b[3] = 4;
    const auto cut = std::make_shared<GseLib::TomPacket>(b.data(), 8 + 3, first, whole->timeResolver);
    cache->handleSciencePacket(cut);
    cache->handleSciencePacket(cut);
    EXPECT_EQ(cache->size(), 0);
    // One byte more holds the marker: the segment joins (its start bin reads
    // as the others') and ends the scan.
    const auto marked = std::make_shared<GseLib::TomPacket>(b.data(), 8 + 4, first, whole->timeResolver);
    cache->handleSciencePacket(marked);
    ASSERT_EQ(cache->size(), 1);
    EXPECT_EQ(cache->scan(0)->packetIndexes().size(), 3);
}
