// Packet records built from hand-made packets under the generated hub: the
// science segment's 16-bit bin rules (counts below 9 and from 109 on give 100
// bins, first bin 0 gives 65535), its counts, totals and RF values, a segment
// cut short, and records of packets without a time resolver.
#include "koralib/koradefinitions.h"

#include "gselib/packets/archivetestdata.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/korpacketrecords.h"

using KorGse::SciDataPacket;

namespace {

class KorPacketRecords : public KoraTest::SuiteTest
{
};

void putBe16(QByteArray& b, int at, int v)
{
    b[at] = char(v >> 8);
    b[at + 1] = char(v);
}

// Science data: bin-count word, first-bin word, RF words, byte 14, then `bins` counts (i % 5 + 1).
QByteArray scienceData(int binWord, int startWord, int bins)
{
    QByteArray d(15, '\0');
    putBe16(d, 4, binWord);
    putBe16(d, 6, startWord);
    putBe16(d, 8, 400);
    putBe16(d, 10, 800);
    putBe16(d, 12, 1200);
    d[14] = char(0xA5);
    for (int i = 0; i < bins; ++i)
        d.append(char(i % 5 + 1));
    return d;
}

GseLib::TMPacketPtr packet(int type, const QByteArray& data, int index = 3)
{
    const QByteArray bytes = ArchiveTestData::tomPacket(uint8_t(type), 0, data, 4321);
    return std::make_shared<GseLib::TomPacket>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                               int(bytes.size()), index, nullptr);
}

} // namespace

TEST_F(KorPacketRecords, ScienceSegmentBinCountsIn16Bits)
{
    struct Case { int binWord; int bins; };
    // Bin count = word - 9 in 16 bits, 100 when that is 100 or more.
    const Case cases[] = {{0, 100}, {8, 100}, {9, 0}, {10, 1}, {59, 50}, {108, 99}, {109, 100}, {65535, 100}};
    for (const Case& c : cases) {
        const SciDataPacket s(packet(26, scienceData(c.binWord, 11, 100)));
        EXPECT_EQ(s.numBins, c.bins) << c.binWord;
        EXPECT_EQ(s.startBin, 10) << c.binWord;
        EXPECT_EQ(s.endBin, 10 + c.bins) << c.binWord;
        double total = 0.0;
        for (int i = 0; i < c.bins; ++i)
            total += i % 5 + 1;
        EXPECT_DOUBLE_EQ(s.totalCounts, total) << c.binWord;
        EXPECT_DOUBLE_EQ(s.maxCount, c.bins >= 5 ? 5.0 : c.bins) << c.binWord;
        for (int i = c.bins; i < SciDataPacket::MAX_BINS; ++i)
            ASSERT_EQ(s.counts[size_t(i)], 0.0) << c.binWord << " bin " << i;
    }
}

TEST_F(KorPacketRecords, ScienceSegmentFieldsFirstBinZeroAndShortData)
{
    const SciDataPacket s(packet(26, scienceData(109, 0, 100)));
    EXPECT_EQ(s.startBin, 65535);
    EXPECT_EQ(s.endBin, 99); // 65535 + 100 wraps
    EXPECT_EQ(s.rawTimestamp, 4321u);
    EXPECT_EQ(s.rfAmpRaw, 400);
    EXPECT_EQ(s.rfAmpDacRaw, 800);
    EXPECT_EQ(s.auxAmpDacRaw, 1200);
    // Items 351 to 353 of the generated database: 0.5 + x / 4, x, -2 + x / 2.
    EXPECT_DOUBLE_EQ(s.rfAmp, 100.5);
    EXPECT_DOUBLE_EQ(s.rfAmpDac, 800.0);
    EXPECT_DOUBLE_EQ(s.auxAmpDac, 598.0);
    EXPECT_EQ(s.dataByte14, 0xA5);
    EXPECT_EQ(s.counts[4], 5.0);
    EXPECT_EQ(s.relativeTime, 0.0); // no time resolver
    EXPECT_EQ(s.unixTime, 0.0);

    // 40 of 100 bins present: the rest count 0, the bin count keeps its rule.
    const SciDataPacket cut(packet(26, scienceData(109, 1, 40)));
    EXPECT_EQ(cut.numBins, 100);
    EXPECT_DOUBLE_EQ(cut.totalCounts, 8 * 15.0);
    EXPECT_EQ(cut.counts[39], 5.0);
    EXPECT_EQ(cut.counts[40], 0.0);

    // Zero counts leave the maximum at 0.
    QByteArray zeros = scienceData(109, 1, 0) + QByteArray(100, '\0');
    const SciDataPacket empty(packet(26, zeros));
    EXPECT_EQ(empty.maxCount, 0.0);
    EXPECT_EQ(empty.totalCounts, 0.0);
}

TEST_F(KorPacketRecords, RecordsOfPacketsWithoutATimeResolver)
{
    const KorGse::SebHK seb(packet(22, QByteArray(64, '\0'), 5));
    EXPECT_EQ(seb.pktIndex, 5);
    EXPECT_EQ(seb.rawTimestamp, 4321u);
    EXPECT_EQ(seb.relativeTime, 0.0);
    const KorGse::LaserPulsesPacket pulses(packet(15, QByteArray(64, '\0'), 6));
    EXPECT_EQ(pulses.pktIndex, 6);
    EXPECT_EQ(pulses.relativeTime, 0.0);
    const KorGse::LaserStatusPacket status(packet(16, QByteArray(64, '\0'), 7));
    EXPECT_EQ(status.pktIndex, 7);
    EXPECT_EQ(status.relativeTime, 0.0);
    const KorGse::GcHkPacket gc(packet(14, QByteArray(64, '\0'), 8));
    EXPECT_EQ(gc.pktIndex, 8);
}
