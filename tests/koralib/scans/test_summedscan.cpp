// Summed science packets (types 27 and 28) decoded into scans: layout, trailer,
// status trimming and averaging, and packets shorter than their segment table,
// trailer or bins claim, which must stay inside the packet and make no more
// segments than the packet holds entries for.
#include "koralib/koradefinitions.h"

#include "gselib/packets/archivetestdata.h"
#include "gselib/packets/tompacket.h"
#include "koralib/scans/scandata.h"

#include <cstring>

using KorGse::ScanData;
using KorGse::ScanStatus;

namespace {

class SummedScan : public KoraTest::SuiteTest
{
};

QByteArray be16(int v)
{
    QByteArray b(2, '\0');
    b[0] = char(v >> 8);
    b[1] = char(v);
    return b;
}

QByteArray be32(uint32_t v)
{
    return be16(int(v >> 16)) + be16(int(v & 0xFFFF));
}

// Data of a summed packet: N, V, the segment table (first bins 1, 101, ...), a trailer and bins.
QByteArray summedData(int n, int v, int segments, const QByteArray& trailer, const QByteArray& bins)
{
    QByteArray d;
    d.append(char(0));
    d.append(char((v << 6) | n));
    d += be16(segments);
    for (int k = 0; k < segments; ++k)
        d += be16(1 + 100 * k) + be16(400 + k) + be16(800 + k) + be16(1200 + k);
    return d + trailer + bins;
}

GseLib::TMPacketPtr packet(int type, const QByteArray& data, int index = 7)
{
    const QByteArray bytes = ArchiveTestData::tomPacket(uint8_t(type), 0, data, 1234);
    return std::make_shared<GseLib::TomPacket>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                               int(bytes.size()), index, nullptr);
}

QByteArray wordBins(int n, int value)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b += be16(value + i % 7);
    return b;
}

} // namespace

TEST_F(SummedScan, VersionTwoPacketOfThreeSegments)
{
    QByteArray trailer;
    for (int i = 0; i < 3; ++i) {
        const float cf = 0.5f + float(i);
        uint32_t word;
        std::memcpy(&word, &cf, 4);
        trailer += be32(1000u * uint32_t(i + 1)) + be16(50 + i) + be32(word);
    }
    trailer += QByteArray(2, '\0'); // N odd: two filler bytes
    const auto p = packet(27, summedData(3, 2, 3, trailer, wordBins(250, 10)));
    QList<ScanStatus> statuses(5);
    for (int i = 0; i < 5; ++i)
        statuses[i].packetIndex = 20 + i;
    const ScanData scan(p, statuses, false, KORA::MeanOfStatuses);
    ASSERT_EQ(scan.segments.size(), 3u);
    EXPECT_EQ(scan.segments[0].numBins, 100);
    EXPECT_EQ(scan.segments[1].numBins, 100);
    EXPECT_EQ(scan.segments[2].numBins, 50);
    EXPECT_EQ(scan.segments[1].startBin, 100);
    EXPECT_EQ(scan.segments[2].endBin, 250);
    EXPECT_EQ(scan.scanTics, (QList<uint32_t>{1000, 2000, 3000}));
    EXPECT_EQ(scan.mbcSics, (QList<uint16_t>{50, 51, 52}));
    EXPECT_EQ(scan.cFactors, (QList<double>{0.5, 1.5, 2.5}));
    EXPECT_EQ(scan.scanStatusPacketIndexes(), (QList<int>{22, 23, 24})); // the newest 3
    EXPECT_EQ(scan.scanTypeFlag, 2u);
    EXPECT_EQ(scan.srcPktType, 27u);
    EXPECT_EQ(scan.packetIndexes(), QList<int>{7});
    EXPECT_EQ(scan.segments[2].counts[49], 10 + 249 % 7);
    EXPECT_EQ(scan.segments[2].counts[50], 0.0);
    // Segment RF values through items 351 to 353 (0.5 + x / 4, x, -2 + x / 2).
    EXPECT_DOUBLE_EQ(scan.segments[1].rfAmp, 0.5 + 401 / 4.0);
    EXPECT_DOUBLE_EQ(scan.segments[1].rfAmpDac, 801.0);
    EXPECT_DOUBLE_EQ(scan.segments[1].auxAmpDac, -2.0 + 1201 / 2.0);
}

TEST_F(SummedScan, StatusesKeepTheNewestAndAveragingHalvesWordCounts)
{
    QList<ScanStatus> statuses(5);
    for (int i = 0; i < 5; ++i)
        statuses[i].packetIndex = i;
    const auto words = packet(27, summedData(2, 0, 1, QByteArray(), wordBins(100, 10)));
    const ScanData avg(words, statuses, true, KORA::PacketTime);
    EXPECT_EQ(avg.scanStatusPacketIndexes(), (QList<int>{3, 4}));
    EXPECT_DOUBLE_EQ(avg.segments[0].counts[0], 5.0);
    EXPECT_DOUBLE_EQ(avg.segments[0].counts[1], 5.5);
    const QByteArray byteBins(100, char(10));
    const auto bytes = packet(28, summedData(2, 3, 1, QByteArray(), byteBins));
    const ScanData avg28(bytes, statuses, true, KORA::PacketTime);
    EXPECT_EQ(avg28.scanTypeFlag, 4u);
    EXPECT_EQ(avg28.sciDataPktVersion, 0u);
    EXPECT_DOUBLE_EQ(avg28.segments[0].counts[0], 10.0);
    EXPECT_TRUE(avg.ticList().isEmpty()); // type 27 without TICs and N = 2
    EXPECT_EQ(avg.correctedTotalIonCount(100, 100, -68, -0.0992), 0.0);
}

TEST_F(SummedScan, OtherPacketTypesKeepThePlainScanFlag)
{
    const ScanData scan(packet(26, summedData(1, 2, 1, QByteArray(), wordBins(100, 1))), {}, false,
                        KORA::PacketTime);
    EXPECT_EQ(scan.scanTypeFlag, 1u);
    EXPECT_EQ(scan.sciDataPktVersion, 0u);
    EXPECT_EQ(scan.srcPktType, 26u);
    // Only type 27 halves the bin bytes: 60 bytes of words are 60 bins here,
    // the 30 past the data reading 0.
    const ScanData other(packet(26, summedData(1, 0, 1, QByteArray(), wordBins(30, 1))), {}, false,
                         KORA::PacketTime);
    ASSERT_EQ(other.segments.size(), 1u);
    EXPECT_EQ(other.segments[0].numBins, 60);
    EXPECT_EQ(other.segments[0].counts[29], 1 + 29 % 7);
    EXPECT_EQ(other.segments[0].counts[30], 0.0);
    EXPECT_EQ(other.segments[0].counts[59], 0.0);
}

TEST_F(SummedScan, ShortPacketsStayInsideTheirData)
{
    struct Case { const char* what; QByteArray data; size_t segments; int bins; int tics; };
    const QByteArray full = summedData(3, 1, 3, be32(1) + be32(2) + be32(3), wordBins(250, 1));
    const QByteArray huge = QByteArray("\0\x43\xFF\xFF", 4) + QByteArray(30, '\x11');
    const Case cases[] = {
        // Bins cut: 200 bins present, a remainder of 0 gives the last segment 100; the rest read 0.
        {"bins cut", full.left(full.size() - 100), 3, 300, 3},
        // Trailer cut: no bin data, so no bins; only whole TICs count.
        {"trailer cut", full.left(4 + 24 + 6), 3, 0, 1},
        // Table cut: 65535 segments claimed, three entries present.
        {"table cut", huge, 3, 0, 0},
        {"header only", QByteArray("\0\x43", 2), 0, 0, 0},
        {"empty", QByteArray(), 0, 0, 0},
    };
    for (const Case& c : cases) {
        const ScanData scan(packet(27, c.data), {}, false, KORA::PacketTime);
        EXPECT_EQ(scan.segments.size(), c.segments) << c.what;
        EXPECT_EQ(scan.nBins(), c.bins) << c.what;
        EXPECT_EQ(scan.scanTics.size(), c.tics) << c.what;
        for (const auto& s : scan.segments)
            EXPECT_LE(s.numBins, 100) << c.what;
    }
}

TEST_F(SummedScan, ZeroAcquisitionsDivideByOne)
{
    const auto p = packet(27, summedData(0, 0, 1, QByteArray(), wordBins(100, 4)));
    ScanData scan(p, {}, true, KORA::PacketTime);
    EXPECT_EQ(scan.numScans, 0);
    EXPECT_DOUBLE_EQ(scan.segments[0].counts[0], 4.0);
    ScanStatus st;
    st.binTimeReadback = 1e4;
    scan.scanStatuses = {st};
    EXPECT_DOUBLE_EQ(scan.countsPerSecond(), scan.ionCount(0, 0) / 1.0);
    scan.averageSummedScans = false;
    EXPECT_DOUBLE_EQ(scan.countsPerSecond(), scan.ionCount(0, 0) / 1.0);
}
