// Scan queries over hand-built segments and statuses: ion-count ranges against
// a brute-force sum over a flat bin array, TICs, corrected TICs with values
// worked out by hand, RF ramp ends, time stamps and point lists.
#include "koralib/scans/scandata.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using KorGse::ScanData;
using KorGse::ScanStatus;
using KorGse::SciDataPacket;

namespace {

SciDataPacket segment(int startBin, int numBins, double rf, int scale)
{
    SciDataPacket s;
    s.startBin = uint16_t(startBin);
    s.numBins = uint16_t(numBins);
    s.endBin = uint16_t(startBin + numBins);
    s.rfAmp = rf;
    s.rfAmpDac = 10 * rf;
    s.auxAmpDac = -rf;
    for (int j = 0; j < numBins && j < SciDataPacket::MAX_BINS; ++j) {
        s.counts[size_t(j)] = scale * ((j * 7) % 13);
        s.totalCounts += s.counts[size_t(j)];
        s.maxCount = std::max(s.maxCount, s.counts[size_t(j)]);
    }
    return s;
}

// Bins 0-99, 100-199 and 200-249, counts (j * 7 % 13) times 1, 2 and 3.
ScanData threeSegments()
{
    ScanData scan;
    EXPECT_TRUE(scan.addSciDataPkt(segment(0, 100, 10.0, 1), 4));
    EXPECT_TRUE(scan.addSciDataPkt(segment(100, 100, 11.0, 2), 5));
    EXPECT_TRUE(scan.addSciDataPkt(segment(200, 50, 12.0, 3), 6));
    return scan;
}

std::map<int, double> flatBins(const ScanData& scan)
{
    std::map<int, double> bins;
    for (const SciDataPacket& s : scan.segments)
        for (int j = 0; j < s.numBins; ++j)
            bins[s.startBin + j] = s.counts[size_t(j)];
    return bins;
}

ScanStatus status(double ionizationMs, double setDac2, double regDac6, double relTime = 0.0)
{
    ScanStatus s;
    s.pauseTimesMs[2] = ionizationMs;
    s.setDacValue[2] = setDac2;
    s.regDacValue[6] = regDac6;
    s.relativeTime = relTime;
    return s;
}

} // namespace

TEST(ScanData, DefaultsOfAnEmptyScan)
{
    const ScanData scan;
    EXPECT_EQ(scan.numScans, 1);
    EXPECT_EQ(scan.srcPktType, 26u);
    EXPECT_EQ(scan.scanTypeFlag, 1u);
    EXPECT_EQ(scan.sebHkPkt.pktIndex, -1);
    EXPECT_EQ(scan.gcHkPkt.pktIndex, -1);
    EXPECT_EQ(scan.maxIonCount(), 0.0);
    EXPECT_EQ(scan.rfAmpEnd(), 0.0);
    EXPECT_EQ(scan.relativeTimestamp(), 0.0);
    EXPECT_EQ(scan.ticList(), QList<uint32_t>{0u});
    EXPECT_EQ(scan.correctedTotalIonCount(100, 100, -68, -0.0992), 0.0);
}

TEST(ScanData, IonCountRangesMatchABruteForceSum)
{
    const ScanData scan = threeSegments();
    const std::map<int, double> bins = flatBins(scan);
    struct Case { int from, to, lo, hi; };
    // (lo, hi) is the bin range the query must cover; hi < lo means nothing.
    const Case cases[] = {
        {0, 0, 0, 250},    {-5, 0, 0, 250},  {150, 0, 150, 250}, {10, 5, 1, 0},   {0, -1, 1, 0},
        {50, 150, 50, 150}, {100, 200, 100, 200}, {99, 101, 99, 101}, {240, 400, 240, 250}, {300, 400, 1, 0},
        {0, 1, 0, 1},
    };
    for (const Case& c : cases) {
        double sum = 0.0;
        double max = 0.0;
        for (int b = c.lo; b < c.hi; ++b) {
            sum += bins.at(b);
            max = std::max(max, bins.at(b));
        }
        double gotSum = -1.0;
        double gotMax = -1.0;
        scan.selectedIonCountSumAndMax(gotSum, gotMax, c.from, c.to);
        EXPECT_DOUBLE_EQ(gotSum, sum) << "from " << c.from << " to " << c.to;
        EXPECT_DOUBLE_EQ(gotMax, max) << "from " << c.from << " to " << c.to;
        EXPECT_DOUBLE_EQ(scan.ionCount(c.from, c.to), sum) << "from " << c.from << " to " << c.to;
    }
    EXPECT_DOUBLE_EQ(scan.maxIonCount(), 36.0); // 12 x 3
}

TEST(ScanData, IonCountIndexesOnlyTheSegmentsBins)
{
    ScanData scan;
    // A wrapped end below the start, and a hand-made segment claiming more bins than it holds.
    SciDataPacket wrapped = segment(65500, 100, 1.0, 1);
    SciDataPacket oversized = segment(0, 100, 1.0, 1);
    oversized.numBins = 150;
    oversized.endBin = 150;
    ASSERT_TRUE(scan.addSciDataPkt(oversized, 0));
    ASSERT_TRUE(scan.addSciDataPkt(wrapped, 1));
    EXPECT_EQ(wrapped.endBin, 64);
    // Bins 100 to 149 of the oversized segment do not exist and count nothing.
    EXPECT_DOUBLE_EQ(scan.ionCount(0, 120), oversized.totalCounts);
    EXPECT_DOUBLE_EQ(scan.ionCount(65510, 70000), 0.0); // the wrapped segment's end lies below
    EXPECT_DOUBLE_EQ(scan.ionCount(0, 0), oversized.totalCounts + wrapped.totalCounts);
    EXPECT_EQ(scan.binVsCounts().size(), 200);
}

TEST(ScanData, NBinsWrapsAt16Bits)
{
    ScanData scan;
    for (int i = 0; i < 656; ++i)
        ASSERT_TRUE(scan.addSciDataPkt(segment(0, 100, 0.0, 0), i));
    EXPECT_EQ(scan.nBins(), 64); // 65,600 bins
}

TEST(ScanData, AddSciDataPktRefusesASegmentStartingBelowTheLast)
{
    ScanData scan = threeSegments();
    EXPECT_FALSE(scan.addSciDataPkt(segment(150, 10, 0.0, 1), 9));
    EXPECT_EQ(scan.segments.size(), 3u);
    EXPECT_EQ(scan.packetIndexes(), (QList<int>{4, 5, 6}));
    EXPECT_TRUE(scan.addSciDataPkt(segment(200, 10, 0.0, 1), 9)); // equal start is accepted
}

TEST(ScanData, RfRampEndsFromStatusOrExtrapolation)
{
    ScanData scan;
    scan.addSciDataPkt(segment(0, 100, 10.0, 1), 0);
    EXPECT_DOUBLE_EQ(scan.rfAmpEnd(), 10.0); // one segment: its start value
    scan.addSciDataPkt(segment(100, 50, 12.0, 1), 1);
    EXPECT_DOUBLE_EQ(scan.rfAmpEnd(), 12.0 + 49 * 0.02);
    EXPECT_DOUBLE_EQ(scan.rfAmpDACEnd(), 120.0 + 49 * 0.2);
    EXPECT_DOUBLE_EQ(scan.auxAmpDACEnd(), -12.0 - 49 * 0.02);
    EXPECT_DOUBLE_EQ(scan.rfAmpStart(), 10.0);
    EXPECT_DOUBLE_EQ(scan.rfAmpDACStart(), 100.0);
    EXPECT_DOUBLE_EQ(scan.auxAmpDACStart(), -10.0);

    ScanStatus st;
    st.rfAmpMon = 15.0;
    st.setDacValue[13] = 150.0;
    st.setDacValue[15] = -15.0;
    scan.scanStatuses.append(st);
    EXPECT_DOUBLE_EQ(scan.rfAmpEnd(), 15.0);
    EXPECT_DOUBLE_EQ(scan.rfAmpDACEnd(), 150.0);
    EXPECT_DOUBLE_EQ(scan.auxAmpDACEnd(), -15.0);
}

TEST(ScanData, RfRampEndAfterAZeroBinSegmentIsFlat)
{
    ScanData scan;
    scan.addSciDataPkt(segment(0, 0, 10.0, 1), 0);
    scan.addSciDataPkt(segment(0, 50, 12.0, 1), 1);
    EXPECT_DOUBLE_EQ(scan.rfAmpEnd(), 12.0);
}

TEST(ScanData, RelativeTimestampByMode)
{
    struct Case { uint32_t flag; int mode; int statuses; double expected; };
    // Statuses at 1, 2, 6 s; the segment at 0.5 s.
    const Case cases[] = {
        {2, 0, 3, 0.5}, {2, 1, 3, 3.0}, {2, 2, 3, 3.5}, {2, 7, 3, 3.5}, {2, 2, 1, 1.0},
        {2, 1, 0, 0.5}, {1, 1, 3, 0.5}, {4, 2, 3, 0.5},
    };
    for (const Case& c : cases) {
        ScanData scan;
        SciDataPacket s = segment(0, 10, 0.0, 1);
        s.relativeTime = 0.5;
        scan.addSciDataPkt(s, 0);
        scan.scanTypeFlag = c.flag;
        scan.summedScanTimestampMode = KORA::SummedScanTimestampMode(c.mode);
        const double times[] = {1.0, 2.0, 6.0};
        for (int i = 0; i < c.statuses; ++i)
            scan.scanStatuses.append(status(1, 1, 0, times[i]));
        EXPECT_DOUBLE_EQ(scan.relativeTimestamp(), c.expected)
            << "flag " << c.flag << " mode " << c.mode << " statuses " << c.statuses;
    }
}

TEST(ScanData, TicListOfPlainAndSummedScans)
{
    ScanData plain = threeSegments();
    const double total = plain.ionCount(0, 0);
    EXPECT_EQ(plain.ticList(), QList<uint32_t>{uint32_t(total)});

    ScanData summed = threeSegments();
    summed.scanTypeFlag = 2;
    summed.numScans = 2;
    EXPECT_TRUE(summed.ticList().isEmpty());
    summed.scanStatuses = {status(1, 1, 0), status(1, 1, 0)};
    EXPECT_EQ(summed.correctedTotalIonCount(100, 100, -68, -0.0992), 0.0);
    summed.scanTics = {7, 9};
    EXPECT_EQ(summed.ticList(), (QList<uint32_t>{7, 9}));
    summed.numScans = 1;
    summed.scanTics.clear();
    EXPECT_EQ(summed.ticList(), QList<uint32_t>{uint32_t(total)});
}

TEST(ScanData, CorrectedTicWorkedByHand)
{
    ScanData scan;
    SciDataPacket s;
    s.numBins = 1;
    s.endBin = 1;
    s.counts[0] = 1000.0;
    s.totalCounts = 1000.0;
    s.maxCount = 1000.0;
    scan.addSciDataPkt(s, 0);
    // q = c makes the exponential 1: 100 * 100 * 1000 / (2 * 5) = 1e6.
    scan.scanStatuses = {status(2.0, 5.0, -68.0)};
    EXPECT_DOUBLE_EQ(scan.correctedTotalIonCount(100, 100, -68, -0.0992), 1e6);
    EXPECT_DOUBLE_EQ(scan.correctedTotalIonCountFactor(100, 100, -68, -0.0992), 1000.0);
    const QList<QPointF> corrected = scan.binVsCorrectedCounts(100, 100, -68, -0.0992);
    ASSERT_EQ(corrected.size(), 1);
    EXPECT_DOUBLE_EQ(corrected[0].y(), 1e6);
    // q - c = 10 with d = -0.1: divided by exp(-1).
    scan.scanStatuses = {status(2.0, 5.0, -58.0)};
    EXPECT_NEAR(scan.correctedTotalIonCount(100, 100, -68, -0.1), 1e6 * std::exp(1.0), 1e-6);

    scan.scanStatuses = {status(0.0, 5.0, -68.0)};
    EXPECT_EQ(scan.correctedTotalIonCount(100, 100, -68, -0.0992), 0.0);
    EXPECT_EQ(scan.correctedTotalIonCountFactor(100, 100, -68, -0.0992), 0.0);
}

TEST(ScanData, VersionTwoUsesCFactors)
{
    ScanData scan = threeSegments();
    scan.scanTypeFlag = 2;
    scan.sciDataPktVersion = 2;
    scan.numScans = 2;
    scan.scanStatuses = {status(1, 1, 0), status(1, 1, 0)};
    scan.scanTics = {100, 300};
    scan.cFactors = {0.5, 2.0};
    EXPECT_DOUBLE_EQ(scan.correctedTotalIonCount(100, 100, -68, -0.0992), 650.0);
    EXPECT_EQ(scan.cTicList(), (QList<uint32_t>{50, 600}));
    const double total = scan.ionCount(0, 0);
    EXPECT_DOUBLE_EQ(scan.correctedTotalIonCountFactor(100, 100, -68, -0.0992), 100 / total * 0.5 + 300 / total * 2.0);
    scan.averageSummedScans = true;
    EXPECT_DOUBLE_EQ(scan.correctedTotalIonCount(100, 100, -68, -0.0992), 325.0);
    scan.cFactors = {0.5};
    EXPECT_EQ(scan.correctedTotalIonCount(100, 100, -68, -0.0992), 0.0);
    EXPECT_TRUE(scan.cTicList().isEmpty());
}

TEST(ScanData, ZeroSummedScansDividesByOne)
{
    ScanData scan = threeSegments();
    scan.numScans = 0;
    scan.averageSummedScans = true;
    scan.sciDataPktVersion = 2;
    scan.scanStatuses = {status(1, 1, 0)};
    scan.cFactors = {2.0};
    ScanStatus& last = scan.scanStatuses.last();
    last.binTimeReadback = 1000.0; // 1 ms a bin
    const double total = scan.ionCount(0, 0);
    EXPECT_DOUBLE_EQ(scan.correctedTotalIonCount(1, 1, 0, 0), 2.0 * uint32_t(total));
    EXPECT_DOUBLE_EQ(scan.countsPerSecond(), total / 0.25);
    scan.averageSummedScans = false;
    EXPECT_DOUBLE_EQ(scan.countsPerSecond(), total / 0.25);
}

TEST(ScanData, CountsPerSecondAndScanTime)
{
    ScanData scan = threeSegments();
    EXPECT_EQ(scan.totalScanTimeSecs(), 0.0);
    EXPECT_EQ(scan.countsPerSecond(), 0.0);
    ScanStatus st;
    st.binTimeReadback = 200.0; // microseconds
    scan.scanStatuses = {st};
    EXPECT_DOUBLE_EQ(scan.totalScanTimeSecs(), 0.05);
    EXPECT_DOUBLE_EQ(scan.countsPerSecond(), scan.ionCount(0, 0) / 0.05);
    scan.numScans = 4;
    EXPECT_DOUBLE_EQ(scan.countsPerSecond(), scan.ionCount(0, 0) / 4 / 0.05);
}

TEST(ScanData, PointListsFollowTheSegments)
{
    const ScanData scan = threeSegments();
    const QList<QPointF> points = scan.binVsCounts();
    ASSERT_EQ(points.size(), 250);
    const std::map<int, double> bins = flatBins(scan);
    for (const QPointF& p : points)
        EXPECT_EQ(p.y(), bins.at(int(p.x())));
    EXPECT_EQ(points.front().x(), 0.0);
    EXPECT_EQ(points.back().x(), 249.0);

    ScanData big;
    for (int i = 0; i < 20; ++i)
        big.addSciDataPkt(segment(100 * i, 100, 0.0, 1 + i), i);
    const QList<QPointF> culled = big.culledBinVsCounts();
    EXPECT_LE(culled.size(), 500);
    EXPECT_GE(culled.size(), 2);
    for (qsizetype i = 1; i < culled.size(); ++i)
        EXPECT_LT(culled[i - 1].x(), culled[i].x());
    const std::map<int, double> all = flatBins(big);
    for (const QPointF& p : culled)
        EXPECT_EQ(p.y(), all.at(int(p.x())));
}

TEST(ScanData, PacketIndexListsOfStatusesAndSequences)
{
    ScanData scan;
    ScanStatus a;
    a.packetIndex = 3;
    ScanStatus b;
    b.packetIndex = 8;
    scan.scanStatuses = {a, b};
    auto s1 = QSharedPointer<KorGse::SebSequence>::create();
    s1->pktIndexes = {1, 2};
    auto s2 = QSharedPointer<KorGse::SebSequence>::create();
    s2->pktIndexes = {5};
    scan.sebSequences = {s1, s2};
    EXPECT_EQ(scan.scanStatusPacketIndexes(), (QList<int>{3, 8}));
    EXPECT_EQ(scan.sebSequencePacketIndexes(), (QList<int>{1, 2, 5}));

    ScanData moved = std::move(scan);
    EXPECT_EQ(moved.sebSequencePacketIndexes(), (QList<int>{1, 2, 5}));
    ScanData copy = moved;
    EXPECT_EQ(copy.scanStatusPacketIndexes(), (QList<int>{3, 8}));
}
