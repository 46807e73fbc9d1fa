// The Python-style scan's list and readback rules on scans built here, for
// what no archive can carry: fractional and out-of-range counts, bins that
// repeat, text housekeeping samples and 32-bit raw DAC entries.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "koralib/seb/sebsequence.h"
#include "python/pythonstylekorascan.h"
#include "python/startup.h"

// The start-up's refusal text, which the scan's meta-marker call names (the
// start-up itself needs the interpreter, so this program does not link it).
namespace cvekutil {
const char* const NOT_INITIALIZED_NO_FILE = "cvekutil is not initialized, no telemetry file is open.";
}

namespace {

using cvekutil::PythonStyleKoraScan;

struct Segment
{
    int start;
    std::vector<double> counts;
};

PythonStyleKoraScan scanOf(const std::vector<Segment>& segments)
{
    PythonStyleKoraScan s;
    for (const Segment& seg : segments) {
        KorGse::SciDataPacket p;
        p.startBin = uint16_t(seg.start);
        p.numBins = uint16_t(seg.counts.size());
        p.endBin = uint16_t(seg.start + int(seg.counts.size()));
        for (size_t k = 0; k < seg.counts.size(); ++k) {
            p.counts[k] = seg.counts[k];
            p.totalCounts += seg.counts[k];
            p.maxCount = std::max(p.maxCount, seg.counts[k]);
        }
        s.scan.segments.push_back(p);
    }
    return s;
}

struct CountCase
{
    const char* name;
    std::vector<Segment> segments;
    std::vector<int> counts;
    int highestBin;
    int lowest;
    int highest;
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::vector<CountCase> kCountCases = {
    {"bins 3 to 5", {{3, {7, 8, 9}}}, {0, 0, 0, 7, 8, 9}, 5, 7, 9},
    {"bins 0, 1, 4", {{0, {2, 3}}, {4, {5}}}, {2, 3, 0, 0, 5}, 4, 2, 5},
    // A segment starting at or below the expected bin is appended as it comes.
    {"repeated start", {{2, {1, 4}}, {2, {6, 1}}}, {0, 0, 1, 4, 6, 1}, 2, 1, 6},
    {"12.9 truncated", {{0, {12.9, 3.2}}}, {12, 3}, 0, 3, 12},
    // Ties keep the earlier bin; the best so far compares truncated, so 12.5
    // beats a best of 12.9 read as 12.
    {"tie", {{0, {9, 9, 1}}}, {9, 9, 1}, 0, 1, 9},
    {"truncated best", {{0, {12.9, 12.5}}}, {12, 12}, 1, 12, 12},
    {"truncated lowest", {{0, {3.7, 3.2}}}, {3, 3}, 1, 3, 3},
    {"out of range", {{0, {1e12, kNaN, -1e12}}}, {INT32_MAX, 0, INT32_MIN}, 0, INT32_MIN, INT32_MAX},
    {"empty", {}, {}, 0, 0, 0},
};

TEST(PythonStyleKoraScan, CountLayouts)
{
    for (const CountCase& c : kCountCases) {
        SCOPED_TRACE(c.name);
        const PythonStyleKoraScan s = scanOf(c.segments);
        EXPECT_EQ(s.counts(), c.counts);
        EXPECT_EQ(s.highest_count_bin_num(), c.highestBin);
        EXPECT_EQ(s.lowest_count(), c.lowest);
        EXPECT_EQ(s.highest_count(), c.highest);
    }
}

TEST(PythonStyleKoraScan, CulledCountsTruncate)
{
    const PythonStyleKoraScan s = scanOf({{4, {12.9, 0.5}}});
    const std::vector<int> culled = s.culled_counts();
    ASSERT_GE(culled.size(), 2u);
    EXPECT_EQ(culled[0], 4);
    EXPECT_EQ(culled[1], 12);
    EXPECT_EQ(s.total_ion_count(), 13);
}

TEST(PythonStyleKoraScan, HousekeepingSamplesAndRawEntries)
{
    PythonStyleKoraScan s;
    s.scan.sebHkPkt.pktIndex = 0;
    for (const auto& v : std::vector<decltype(GseLib::DataItem::value)>{std::string("2.5"), std::string("abc"), 1.5,
                                                                          -3LL, 7ULL}) {
        GseLib::DataItem item;
        item.value = v;
        s.scan.sebHkPkt.emonBSciItems.push_back(item);
    }
    EXPECT_EQ(s.seb_is_emon_b(), (std::vector<double>{2.5, 0.0, 1.5, -3.0, 7.0}));
    EXPECT_TRUE(s.seb_is_emon_a().empty());
    // Without the record the samples do not count.
    s.scan.sebHkPkt.pktIndex = -1;
    EXPECT_TRUE(s.seb_is_emon_b().empty());

    KorGse::ScanStatus status;
    status.setDacRaw[0] = 2147483648u;
    status.setDacRaw[1] = 0xFFFFFFFFu;
    s.scan.scanStatuses.append(status);
    EXPECT_EQ(s._seb_scan_em1_raw(), INT32_MIN);
    EXPECT_EQ(s._seb_scan_em2_raw(), -1);
}

TEST(PythonStyleKoraScan, PeakRateDividesTheTruncatedHighestCount)
{
    PythonStyleKoraScan s = scanOf({{0, {3.0, 12.9}}});
    EXPECT_EQ(s.peak_counts_per_sec(), 0.0); // no status, no bin time
    KorGse::ScanStatus status;
    status.binTimeReadback = 250000.0; // microseconds
    s.scan.scanStatuses.append(status);
    EXPECT_EQ(s.peak_counts_per_sec(), 12 / 0.25);
}

TEST(PythonStyleKoraScan, SequencePacketIndexesConcatenateAsStored)
{
    PythonStyleKoraScan s;
    for (const QList<int>& indexes : {QList<int>{9, 3}, QList<int>{}, QList<int>{3, 1}}) {
        auto seq = QSharedPointer<KorGse::SebSequence>::create();
        seq->pktIndexes = indexes;
        s.scan.sebSequences.append(seq);
    }
    // Neither sorted nor made unique.
    EXPECT_EQ(s.seb_sequence_pkt_indexes(), (std::vector<int>{9, 3, 3, 1}));
}

TEST(PythonStyleKoraScan, SummedCountIsUnsigned)
{
    PythonStyleKoraScan s;
    s.scan.numScans = 200;
    EXPECT_EQ(s.num_scans(), 200);
}

TEST(PythonStyleKoraScan, EmptyScanHasNoMarkerAndAnEmptyAxis)
{
    const PythonStyleKoraScan s;
    EXPECT_EQ(s.unix_timestamp(), 0.0);
    EXPECT_EQ(s.relative_timestamp(), 0.0);
    EXPECT_FALSE(s.markerFound);
    EXPECT_TRUE(s.m_over_z_values().empty());
    // No calibration: the empty one's identity entry, never a null dereference.
    const PythonStyleKoraScan one = scanOf({{0, {1, 2, 3}}});
    EXPECT_EQ(one.m_over_z_values(), (std::vector<double>{0.0, 1.0, 2.0}));
    // Masses 1 and 2 are bins 1 and 2: the range [1, 2) holds bin 1.
    EXPECT_EQ(one.selected_ion_count_sum_by_mass(1.0, 2.0), 2.0);
    EXPECT_EQ(one.selected_ion_count_sum_by_mass(0.5, 3.0), 5.0); // 0.5 rounds up to bin 1
    EXPECT_EQ(one.selected_ion_count_sum_by_mass(0.0, 0.0), 0.0);
    // Any caller's mass gives a defined bin (the sanitizer build checks the conversions).
    for (double m : std::vector<double>{kNaN, INFINITY, -INFINITY, 1e300, -1e300}) {
        EXPECT_GE(one.selected_ion_count_max_by_mass(m, 1.0), 0.0);
        EXPECT_GE(one.selected_ion_count_sum_by_mass(0.5, m), 0.0);
    }
}

} // namespace
