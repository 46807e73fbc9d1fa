// Damaged archives on every road the parse reads: 20,000 intact packets with
// bursts of damage between them, of six kinds, at 2% and 10% of the gaps.
// Every intact packet must be read (with its label's ground time) and next to
// nothing invented: a burst costs the bytes it covers and no more. Read while
// they are written, in any steps, they end with the packets of a read of the
// finished file.
#include "tests/tolvalib/damagedarchives.h"

#include "gselib/packets/ccsdspacket.h"

#include <QFile>
#include <gtest/gtest.h>

#include <iostream>

using namespace DamageTest;

namespace {

// The packets of two reads differ in bytes, order or ground time: where.
std::string firstDifference(const std::vector<GseLib::TMPacketPtr>& a, const std::vector<GseLib::TMPacketPtr>& b)
{
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i >= a.size() || i >= b.size() || bytesOf(a[i]) != bytesOf(b[i]) ||
            a[i]->groundSeconds != b[i]->groundSeconds)
            return "packet " + std::to_string(i) + " of " + std::to_string(a.size()) + " and " +
                   std::to_string(b.size());
    }
    return {};
}

class DamagedArchives : public ::testing::TestWithParam<std::tuple<Road, Kind>>
{
protected:
    static void SetUpTestSuite() { makeHub(); }
};

// The most packets one archive of a road and kind loses and invents (in the
// order of KINDS), read with one changeFile as a script reads it: what the
// rule gives, so that a rule that loses or invents one more shows. What is
// lost is what a damaged header or label claims and no look can tell from
// damage (a cut packet's claim that ends on a packet boundary, labels hit in
// their digits); what is invented is payload or damage that passes for a packet.
const std::pair<int, int> MOST_LOST_AND_INVENTED[8][7] = {
    {{0, 0}, {0, 0}, {0, 0}, {3, 3}, {0, 1}, {0, 0}, {0, 26}}, // Plain
    {{0, 1}, {0, 0}, {0, 0}, {4, 4}, {0, 1}, {1, 1}, {1, 38}}, // PlainLabels
    {{0, 3}, {0, 0}, {0, 0}, {5, 9}, {0, 0}, {0, 0}, {0, 1}}, // Tolva
    {{0, 3}, {0, 0}, {0, 0}, {14, 16}, {0, 0}, {2, 2}, {0, 1}}, // TolvaLabels
    {{2, 9}, {0, 0}, {0, 2}, {3, 5}, {0, 0}, {2, 3}, {0, 0}}, // TolvaFramed
    {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 1}, {0, 0}}, // Tom
    {{0, 6}, {0, 0}, {0, 1}, {0, 1}, {0, 0}, {0, 0}, {0, 1}}, // FramedLabels
    {{0, 6}, {0, 0}, {0, 0}, {1, 30}, {0, 0}, {0, 1}, {0, 3}}, // LabelledFrames
};

// Next to no intact packet lost or invented in one archive (see
// MOST_LOST_AND_INVENTED); none lost to runs of one byte value. TOM's
// checksum leaves next to nothing.
TEST_P(DamagedArchives, KeepEveryIntactPacketAndInventNone)
{
    const auto [road, kind] = GetParam();
    const auto [maxLost, maxInvented] = MOST_LOST_AND_INVENTED[road][kind];
    for (int percent : {2, 10}) {
        for (uint32_t seed : {1u, 2u}) {
            const auto [lost, invented] = lostAndInvented(
                road, Builder(road, seed * 7919 + uint32_t(kind) * 31 + uint32_t(road)).build(kind, percent));
            const std::string what = std::string(ROADS[road]) + ", " + KINDS[kind] + ", " +
                                     std::to_string(percent) + "%, seed " + std::to_string(seed);
            std::cout << "damage: " << what << ": lost " << lost << ", invented " << invented << "\n";
            EXPECT_LE(lost, maxLost) << what;
            EXPECT_LE(invented, maxInvented) << what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, DamagedArchives,
                         ::testing::Combine(::testing::Values(Plain, PlainLabels, Tolva, TolvaLabels, TolvaFramed, Tom,
                                                              FramedLabels, LabelledFrames),
                                            ::testing::Values(RandomBytes, FFRuns, ZeroRuns, CutPackets, Overlong,
                                                              AnyLengthHeader, LabelClaim)),
                         [](const auto& info) {
                             return std::string(ROADS[std::get<0>(info.param)]) + "_" + KINDS[std::get<1>(info.param)];
                         });

// An intact packet between two damaged regions is read, and each region
// reported when the packet after it is found; on every CCSDS road.
TEST(DamagedArchives, APacketBetweenTwoDamagedRegionsIsKept)
{
    makeHub();
    for (Road road : {Plain, PlainLabels, Tolva}) {
        Builder b(road, 3);
        const QByteArray p = b.withTime(tolva(road) ? 737 : PLAIN_APIDS[0], 30, 1);
        const QByteArray s = b.withTime(tolva(road) ? 744 : PLAIN_APIDS[2], 30, 3);
        QByteArray r = b.withTime(tolva(road) ? 742 : PLAIN_APIDS[1], 30, 2);
        if (labelled(road))
            r = label("GANN", 0, 77, 5) + r;
        const auto cache = makeCache(road);
        const Read got = read(*cache, p + QByteArray(50, char(0xFF)) + r + QByteArray(5, char(0xFF)) + s);
        ASSERT_EQ(got.packets.size(), 3u) << ROADS[road];
        EXPECT_EQ(got.packets[1]->totalLength(), 30u) << ROADS[road];
        EXPECT_EQ(got.packets[1]->groundSeconds, labelled(road) ? 77u : 0u) << ROADS[road];
        const qsizetype rEnd = 80 + r.size();
        EXPECT_EQ(got.lines, QStringList({"Skipped 50 bytes [30 - 80]",
                                          QString("Skipped 5 bytes [%1 - %2]").arg(rEnd).arg(rEnd + 5)}))
            << ROADS[road];
    }
}

// Thousands of damaged regions: every one reported, whole and in order,
// however the parse gathers its lines before writing them.
TEST(DamagedArchives, EveryRegionIsReportedInOrder)
{
    makeHub();
    Builder b(Plain, 5);
    QByteArray bytes = b.withTime(PLAIN_APIDS[0], 30, 0);
    QStringList expected;
    for (uint32_t i = 1; i <= 4000; ++i) {
        expected << QString("Skipped 3 bytes [%1 - %2]").arg(bytes.size()).arg(bytes.size() + 3);
        bytes += QByteArray(3, char(0xFF)) + b.withTime(PLAIN_APIDS[0], 30, i);
    }
    const auto cache = makeCache(Plain); // the packets' bytes live in its arena
    const Read got = read(*cache, bytes);
    EXPECT_EQ(got.packets.size(), 4001u);
    EXPECT_EQ(got.lines, expected);
}

// An undamaged archive parses as it always did, whatever its header test
// lets through: payload bytes that pass a weak test are never judged.
TEST(DamagedArchives, AnUndamagedArchiveIsReadWholeUnderAWeakHeaderTest)
{
    makeHub();
    for (Road road : {Plain, Tolva}) {
        const Archive a = Builder(road, 11).build(RandomBytes, 0);
        const auto cache = makeCache(road, true);
        const Read got = read(*cache, a.bytes);
        ASSERT_EQ(got.packets.size(), a.intact.size()) << ROADS[road];
        auto it = a.intact.begin();
        for (const GseLib::TMPacketPtr& p : got.packets)
            ASSERT_EQ(bytesOf(p), (it++)->second.first) << ROADS[road];
        EXPECT_TRUE(got.lines.isEmpty()) << ROADS[road];
    }
}

} // namespace


// Read while it is written, in steps of a few bytes, of about a kilobyte, of
// a page and of random sizes up to 5,000 bytes, and a packet, burst or frame
// at a time, whether it ends with an intact packet or with damage: once grown
// PARTIAL_READ_LIMIT + 1 times after the last write, it holds the packets of
// the finished file's read grown as often, and the unchanged file then gives
// no line, whatever the damage, on every road.
TEST_P(DamagedArchives, ReadWhileWrittenSettlesOnThePacketsOfTheFinishedFile)
{
    const auto [road, kind] = GetParam();
    for (const bool tail : {false, true}) {
        const Archive a = Builder(road, 7919 + uint32_t(kind) * 31 + uint32_t(road)).build(kind, 10, 2000, tail);
        const auto whole = makeCache(road);
        read(*whole, a.bytes, SETTLING_POLLS); // the finished file's read
        struct Scheme
        {
            qsizetype step;
            uint32_t seed;
        };
        for (const Scheme scheme : {Scheme{7, 0}, Scheme{997, 0}, Scheme{4096, 0}, Scheme{5000, 1 + uint32_t(kind)},
                                    Scheme{0, 0}}) {
            const auto live = makeCache(road);
            const Followed followed = readGrowing(
                *live, a.bytes, scheme.step ? stepsOf(a.bytes.size(), scheme.step, scheme.seed) : a.units);
            const std::string what = std::string(ROADS[road]) + ", " + KINDS[kind] + (tail ? ", damage last" : "") +
                                     ", " +
                                     (scheme.step ? std::string(scheme.seed ? "random " : "") +
                                                        std::to_string(scheme.step) + "-byte steps"
                                                  : "units");
            EXPECT_EQ(firstDifference(followed.settled, whole->allPackets()), "") << what;
            EXPECT_EQ(followed.later.join('\n').toStdString(), "") << what;
            EXPECT_EQ(followed.readAnew, 0) << what << ": a file that only grew was read anew";
        }
    }
}

namespace {

// The stretches skipped or scanned: the same in every read of one file,
// however it waited on the way.
std::vector<GseLib::DamagedStretch> searched(const std::vector<GseLib::DamagedStretch>& damage)
{
    std::vector<GseLib::DamagedStretch> out;
    for (const GseLib::DamagedStretch& s : damage)
        if (s.kind == GseLib::DamagedStretch::Kind::Skipped || s.kind == GseLib::DamagedStretch::Kind::ScannedToLimit)
            out.push_back(s);
    return out;
}

std::string text(const std::vector<GseLib::DamagedStretch>& damage)
{
    std::string out;
    for (const GseLib::DamagedStretch& s : damage)
        out += std::string(GseLib::DamagedStretch::kindName(s.kind)) + " [" + std::to_string(s.first) + " - " +
               std::to_string(s.end) + "] before " + std::to_string(s.before) + "\n";
    return out;
}

} // namespace

// A finished archive opened once, as a script opens it: exactly the packets
// (bytes, order, ground times) and the stretches skipped or scanned of the
// read that opened the file while it was written and settled after
// PARTIAL_READ_LIMIT + 1 grows, and the packets of a read that followed the
// file as it was written, whatever stands at its end: an intact packet,
// damage, or damage whose claim runs past the end over the last packets.
// Grows of the finished file then add no packet, nor, in CCSDS, a line.
TEST_P(DamagedArchives, OneReadOfAFinishedFileGivesThePacketsOfTheSettledRead)
{
    const auto [road, kind] = GetParam();
    struct Ending
    {
        bool tail;
        int damagedLast;
        const char* name;
    };
    for (const Ending end : {Ending{false, 0, "an intact packet last"}, Ending{true, 0, "damage last"},
                             Ending{false, 1, "damage before the last packet"},
                             Ending{false, 3, "damage before each of the last three packets"}}) {
        for (const int percent : {2, 10}) {
            for (uint32_t seed = 1; seed <= 4; ++seed) {
                const Archive a = Builder(road, seed * 104729 + uint32_t(kind) * 31 + uint32_t(road))
                                      .build(kind, percent, 300, end.tail, end.damagedLast);
                const auto once = makeCache(road);
                const Read opened = read(*once, a.bytes);
                const auto grown = makeCache(road), waited = makeCache(road);
                const Read settled = read(*waited, a.bytes, SETTLING_POLLS, false);
                const Read again = read(*grown, a.bytes, SETTLING_POLLS);
                const auto live = makeCache(road);
                const Followed followed = readGrowing(*live, a.bytes, a.units);
                const std::string what = std::string(ROADS[road]) + ", " + KINDS[kind] + ", " + end.name + ", " +
                                         std::to_string(percent) + "%, seed " + std::to_string(seed);
                EXPECT_EQ(firstDifference(opened.packets, settled.packets), "") << what;
                EXPECT_EQ(firstDifference(opened.packets, followed.settled), "") << what << " (followed)";
                // The read that waited decides the end only once its back-offs
                // are spent: a search that runs out at the end of the file
                // waits at nothing, so the stretch to the end may be the
                // finished read's alone. Every other stretch is the same.
                const std::vector<GseLib::DamagedStretch> got = searched(opened.damage);
                std::vector<GseLib::DamagedStretch> want = searched(settled.damage);
                if (end.tail && got.size() == want.size() + 1 && got.back().end == a.bytes.size())
                    want.push_back(got.back());
                EXPECT_EQ(text(got), text(want)) << what;
                EXPECT_EQ(firstDifference(opened.packets, again.packets), "") << what << " (grown)";
                if (road != Tom) { // which has no finished read: it waits at a cut last packet
                    EXPECT_EQ(opened.lines.join('\n').toStdString(), again.lines.join('\n').toStdString())
                        << what << " (grown)";
                }
            }
        }
    }
}

namespace {

// How a recorder writes an archive: the ends of its writes.
enum Writer { PacketByPacket, Blocks4096, HeaderFirst };
const char* const WRITERS[] = {"packet by packet", "in 4,096-byte blocks", "each packet's header first"};

std::vector<qsizetype> writesOf(const Archive& a, Writer writer)
{
    if (writer == Blocks4096)
        return stepsOf(a.bytes.size(), 4096);
    if (writer == PacketByPacket)
        return a.units;
    std::vector<qsizetype> ends;
    qsizetype at = 0;
    for (const qsizetype end : a.units) {
        if (end - at > GseLib::CcsdsPrimaryHeader::SIZE)
            ends.push_back(at + GseLib::CcsdsPrimaryHeader::SIZE);
        ends.push_back(end);
        at = end;
    }
    return ends;
}

} // namespace

// A file opened at any byte while a recorder writes it (packet by packet, in
// blocks, or each packet's header first), then followed to its end: the read
// ends with the packets (bytes, order, ground times) of one read of the
// finished file, undamaged or with any damage, on every road. The open reads
// what is written as a read that followed the file would: a packet still
// being written waits, and bytes of it that pass for a packet are not taken.
TEST_P(DamagedArchives, AFileOpenedWhileWrittenEndsWithTheFinishedFilesRead)
{
    const auto [road, kind] = GetParam();
    for (const int percent : {0, 2, 10}) {
        const uint32_t seed = 7 + uint32_t(kind) * 131 + uint32_t(road) * 17 + uint32_t(percent);
        const Archive a = Builder(road, seed).build(kind, percent, 80);
        const auto whole = makeCache(road);
        const Read finished = read(*whole, a.bytes);
        QRandomGenerator rng(seed);
        for (const Writer writer : {PacketByPacket, Blocks4096, HeaderFirst}) {
            const std::vector<qsizetype> writes = writesOf(a, writer);
            for (int open = 0; open < 8; ++open) {
                const qsizetype at = 1 + qsizetype(rng.bounded(int(a.bytes.size() - 1)));
                std::vector<qsizetype> ends{at};
                std::copy_if(writes.begin(), writes.end(), std::back_inserter(ends),
                             [&](qsizetype end) { return end > at; });
                const auto live = makeCache(road);
                const Followed followed = readGrowing(*live, a.bytes, ends, true);
                EXPECT_EQ(firstDifference(followed.settled, finished.packets), "")
                    << ROADS[road] << ", " << KINDS[kind] << " before " << percent << "% of the packets, written "
                    << WRITERS[writer] << ", opened at byte " << at << " of " << a.bytes.size();
            }
        }
    }
}

// An undamaged archive opened while its last packet is written, whose
// payload holds bytes that pass for a whole 7-byte packet: the read waits for
// the packet and takes it whole once written, never those bytes, wherever
// the file was opened after them.
TEST(DamagedArchives, APayloadThatPassesForAPacketIsNotTakenFromAPacketBeingWritten)
{
    makeHub();
    Builder b(Plain, 41);
    const QByteArray lead = b.withTime(PLAIN_APIDS[0], 60, 1) + b.withTime(PLAIN_APIDS[1], 80, 2);
    QByteArray last = b.withTime(PLAIN_APIDS[2], 200, 3);
    last.replace(40, 7, QByteArray::fromHex("0100C000000055")); // APID 0x100, one data byte
    const QByteArray archive = lead + last;
    const auto whole = makeCache(Plain);
    const Read finished = read(*whole, archive);
    ASSERT_EQ(finished.packets.size(), 3u);
    EXPECT_EQ(bytesOf(finished.packets[2]), last);
    for (const qsizetype written : {47, 48, 60, 120, 199}) {
        const auto live = makeCache(Plain);
        const Followed followed = readGrowing(*live, archive, {lead.size() + written, archive.size()}, true);
        EXPECT_EQ(firstDifference(followed.settled, finished.packets), "") << written << " bytes of the last packet";
    }
}

// The archive's first damage: a packet cut short at the end of a frame, its
// claim ending inside the next frame's header. The sync word in its bytes
// tells it is cut, whatever bytes follow, in a finished or a growing file.
TEST(DamagedArchives, ACutPacketClaimingTheNextFramesHeaderIsRefused)
{
    makeHub();
    Builder b(TolvaFramed, 23);
    TolvaTest::Bytes p[3];
    for (int i = 0; i < 3; ++i) {
        const QByteArray q = b.withTime(753, 170, uint32_t(1 + i));
        p[i].assign(q.begin(), q.end());
    }
    const QByteArray claim = b.withTime(745, 160, 9);
    // 150 to 156 bytes written of 160: the claim ends 8 down to 2 bytes into
    // the next frame's header (after the frame's checksum and any pad byte).
    for (int written = 150; written <= 156; ++written) {
        const TolvaTest::Bytes cut(claim.begin(), claim.begin() + written);
        TolvaTest::Bytes f = TolvaTest::frame({p[0], cut});
        TolvaTest::append(f, TolvaTest::frame({p[1]}));
        TolvaTest::append(f, TolvaTest::frame({p[2]}));
        const QByteArray bytes(reinterpret_cast<const char*>(f.data()), qsizetype(f.size()));
        for (const qsizetype step : {qsizetype(0), qsizetype(1), qsizetype(7)}) {
            const auto cache = makeCache(TolvaFramed);
            const auto got =
                readGrowing(*cache, bytes, step ? stepsOf(bytes.size(), step) : std::vector<qsizetype>{bytes.size()})
                    .settled;
            const std::string what = std::to_string(written) + " bytes written, steps of " + std::to_string(step);
            ASSERT_EQ(got.size(), 3u) << what;
            for (unsigned i = 0; i < 3; ++i)
                EXPECT_EQ(bytesOf(got[i]), QByteArray(reinterpret_cast<const char*>(p[i].data()), 170))
                    << what << ", packet " << i;
        }
    }
}

// The digits of one label of 2,000 hit, so that its claim lands far on or
// past the end of the file, or on the header after next (holding the next
// packet and its label): the label is skipped as damage and nothing after it
// is lost, whole and followed; only its packet loses its ground time.
TEST(DamagedArchives, ALabelClaimingPastTheEndLosesNothingAfterIt)
{
    makeHub();
    for (const char* digits : {"00500000", "99999999", "00090004", "00009000", "next"}) {
        Builder b(TolvaLabels, 3);
        std::vector<QByteArray> packets;
        for (uint32_t i = 0; i < 2000; ++i)
            packets.push_back(b.packet(1000 + i));
        Archive a;
        for (uint32_t i = 0; i < 2000; ++i) {
            QByteArray l = label("GANN", int(i % 20), 5000 + i, 7);
            if (i == 100) {
                // "next": the claim ends where the header after next begins.
                const qsizetype claim = l.size() + packets[i].size() + 40 + (i + 1) % 20 - 40;
                l.replace(12, 8, qstrcmp(digits, "next") ? QByteArray(digits)
                                                         : QByteArray::number(claim).rightJustified(8, '0'));
            }
            a.bytes += l + packets[i];
            a.intact[1000 + i] = {packets[i], i == 100 ? 0 : 5000 + i};
        }
        const auto [lost, invented] = lostAndInvented(TolvaLabels, a);
        std::cout << "label digits " << digits << ": lost " << lost << " of 2000, invented " << invented << "\n";
        EXPECT_EQ(lost, 0) << digits;
        EXPECT_EQ(invented, 0) << digits;
        const auto whole = makeCache(TolvaLabels), live = makeCache(TolvaLabels);
        const Read finished = read(*whole, a.bytes, SETTLING_POLLS);
        EXPECT_EQ(finished.packets.size(), 2000u) << digits;
        EXPECT_EQ(finished.lines.size(), 1) << digits;
        const Followed followed = readGrowing(*live, a.bytes, stepsOf(a.bytes.size(), 997));
        EXPECT_EQ(firstDifference(followed.settled, finished.packets), "") << digits;
        EXPECT_TRUE(followed.later.isEmpty()) << digits;
    }
}

// A packet cut short whose claim ends inside the next packet's label, in its
// first bytes, its last or right at its end (the label wholly inside the
// claim), is refused on either side of the label, whatever its payload: a
// label's fixed bytes do not occur in one. Its neighbours keep their bytes
// and ground times, in a finished file and in one read while written.
TEST(DamagedArchives, ACutPacketWhoseClaimEndsInALabelIsRefused)
{
    makeHub();
    for (const Road road : {PlainLabels, TolvaLabels}) {
        for (const int into : {1, 2, 3, 4, 5, 20, 43, 0}) { // 0: at the label's end
            int taken = 0;
            for (uint32_t seed = 1; seed <= 20; ++seed) {
                Builder b(road, seed * 131 + uint32_t(into) * 7 + uint32_t(road));
                Archive a;
                const QByteArray l2 = label("FANN", int(seed % 20), 5003, 7);
                const int cutBy = into ? into : int(l2.size());
                QByteArray c = b.packet(1002);
                while (c.size() < cutBy + 12)
                    c = b.packet(1002);
                const QByteArray p[3] = {b.packet(1001), b.packet(1003), b.packet(1004)};
                a.bytes = label("GANN", 3, 5001, 7) + p[0] + c.left(c.size() - cutBy) + l2 + p[1] +
                          label("GANN", 0, 5004, 7) + p[2];
                a.intact = {{1001, {p[0], 5001}}, {1003, {p[1], 5003}}, {1004, {p[2], 5004}}};
                const auto [lost, invented] = lostAndInvented(road, a);
                taken += invented;
                const std::string what = std::string(ROADS[road]) + ", claim " + std::to_string(into) +
                                         " bytes into the label, seed " + std::to_string(seed);
                EXPECT_EQ(lost, 0) << what;
                for (const qsizetype step : {qsizetype(1), qsizetype(7)}) {
                    const auto live = makeCache(road), whole = makeCache(road);
                    const Read finished = read(*whole, a.bytes, SETTLING_POLLS);
                    EXPECT_EQ(firstDifference(readGrowing(*live, a.bytes, stepsOf(a.bytes.size(), step)).settled,
                                              finished.packets),
                              "")
                        << what << ", steps of " << step;
                }
            }
            std::cout << "cut before a label: " << ROADS[road] << ", claim " << into << " bytes into it: taken "
                      << taken << " of 20\n";
            EXPECT_EQ(taken, 0) << ROADS[road] << ", claim " << into << " bytes into the label";
        }
    }
}

// A packet cut short, its claim ending inside the next packet, while the file
// ends inside that claim or right at its end: the growing read waits at it as
// at a partial packet and, once the next packet is written, refuses it as the
// finished file does, keeping that packet.
TEST(DamagedArchives, AGrowingReadKeepsThePacketACutPacketClaims)
{
    makeHub();
    for (Road road : {Plain, Tolva, TolvaFramed}) {
        Builder b(road, 17);
        // As on the plain road with 146-byte packets; the second instrument's
        // cut packet claims 160 bytes, and its packets have 170.
        const int claim = road == Plain ? 146 : 160;
        const QByteArray cut = b.withTime(road == Plain ? PLAIN_APIDS[0] : 745, claim, 9).left(100);
        QByteArray p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = b.withTime(road == Plain ? PLAIN_APIDS[1 + i] : 753, road == Plain ? 146 : 170, uint32_t(1 + i));
        // Bare, or one frame around them all, each odd packet padded.
        QByteArray bytes = p[0] + cut + p[1] + p[2];
        qsizetype lead = 0;
        if (road == TolvaFramed) {
            TolvaTest::Bytes f = {0xFE, 0xFA, 0x30, 0xC8, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
            f.insert(f.end(), bytes.begin(), bytes.end());
            qToBigEndian(uint16_t(bytes.size() + 4), f.data() + 6);
            TolvaTest::appendFrameChecksum(f);
            bytes = QByteArray(reinterpret_cast<const char*>(f.data()), qsizetype(f.size()));
            lead = 10;
        }
        const qsizetype claimEnd = lead + p[0].size() + claim;
        for (const qsizetype at : {claimEnd, claimEnd + 8}) {
            const auto live = makeCache(road);
            const auto got = readGrowing(*live, bytes, {lead + p[0].size(), at, bytes.size()}).settled;
            const std::string what = std::string(ROADS[road]) + ", grown to " + std::to_string(at);
            ASSERT_EQ(got.size(), 3u) << what;
            for (unsigned i = 0; i < 3; ++i)
                EXPECT_EQ(bytesOf(got[i]), p[i]) << what << ", packet " << i;
        }
    }
}

// A second-instrument archive with a packet cut short before about every
// tenth packet, ending with a whole packet, written at once into a file the
// cache follows: PARTIAL_READ_LIMIT + 1 grows give every packet of the
// finished file's read, however many candidates wait in its last part.
TEST(DamagedArchives, AFollowedArchiveSettlesWithinTheBackOffs)
{
    const QString repro = QStringLiteral(GSE_SOURCE_DIR "/../shared/repro/follow-tail");
    QFile types(repro + ".types");
    QFile archive(repro + ".bin");
    if (!types.open(QIODevice::ReadOnly) || !archive.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "reproducer not found at " << repro.toStdString();
    GseLib::DataInterpretation::init(&factory, false, nullptr, {});
    for (const QByteArray& line : types.readAll().split('\n')) {
        const QList<QByteArray> row = line.trimmed().split(':');
        if (row.size() != 3)
            continue;
        GseLib::TMPacketTypeInfo info;
        info.valid = true;
        info.type = row[0].toInt();
        info.minLength = row[1].toInt();
        info.maxLength = row[2].toInt();
        GseLib::DataInterpretation::current()->packetTypes.insert(info.type, info);
    }
    const QByteArray bytes = archive.readAll();
    const auto whole = makeCache(Tolva);
    read(*whole, bytes, SETTLING_POLLS); // the finished file's read
    EXPECT_EQ(whole->count(), 120u);
    const auto live = makeCache(Tolva);
    const Followed followed = readGrowing(*live, bytes, {bytes.size()});
    EXPECT_EQ(followed.later.join('\n').toStdString(), "");
    EXPECT_EQ(firstDifference(followed.settled, whole->allPackets()), "");
    makeHub();
}

// A candidate whose verdict waits for bytes not yet written is judged again at
// every grow: what its looks raise (its length among its APID's, the budget of
// the run looks) must not count until it is decided, so that the followed read
// ends with the finished read's packets. Both archives are written byte by byte.
TEST(DamagedArchives, ACandidateThatWaitsTeachesTheParseNothing)
{
    makeHub();
    Builder b(Plain, 29);
    // The first damage: a header whose length was hit so that its claim ends
    // where the two packets after it end. Counted while it waits, its length
    // would pass it as one its APID has.
    QByteArray p[5];
    for (int i = 0; i < 5; ++i)
        p[i] = b.withTime(PLAIN_APIDS[i % 4], 30, uint32_t(1 + i));
    QByteArray hit = p[1];
    putBe16(hit, 4, 3 * 30 - 7);
    // After damage, a header whose claim (zeros, a packet) ends inside the next
    // packet; that packet's bytes 3 to 8 pass for a header claiming past the end
    // of the file, so its verdict waits to the end. Kept, the budget its looks
    // spend at each grow would run out, and the claim be taken whole.
    const QByteArray inner = b.withTime(PLAIN_APIDS[0], 199, 9);
    QByteArray claim = b.withTime(PLAIN_APIDS[3], 30, 6);
    putBe16(claim, 4, 30 + 4000 + 199 + 15 - 7);
    QByteArray spent = p[0] + QByteArray(5, char(0xFF)) + p[1] + claim + QByteArray(4000, '\0') + inner;
    for (uint32_t i = 0; i < 61; ++i)
        spent += b.withTime(PLAIN_APIDS[i % 4], 30, 10 + i);
    auto bytesOfAll = [](const std::vector<GseLib::TMPacketPtr>& packets) {
        QByteArrayList all;
        for (const GseLib::TMPacketPtr& q : packets)
            all << bytesOf(q);
        return all;
    };
    const std::pair<QByteArray, QByteArrayList> archives[] = {
        {p[0] + hit + p[2] + p[3] + p[4], {p[2], p[3]}}, {spent, {inner}}};
    for (const auto& [bytes, intact] : archives) {
        const auto whole = makeCache(Plain);
        const QByteArrayList finished = bytesOfAll(read(*whole, bytes, SETTLING_POLLS).packets);
        for (const QByteArray& q : intact)
            EXPECT_TRUE(finished.contains(q)) << bytes.size() << " bytes";
        TestSupport::TempDir dir;
        const QString path = dir.write("tm.bin", {});
        FILE* out = std::fopen(path.toLocal8Bit().constData(), "ab");
        FILE* log = std::tmpfile();
        const auto live = makeCache(Plain);
        live->setMessageStream(log);
        live->changeFile(path.toStdString(), true);
        for (const char c : bytes) {
            std::fputc(c, out);
            std::fflush(out);
            live->grow();
        }
        std::fclose(out);
        for (int i = 1; i < SETTLING_POLLS; ++i)
            live->grow();
        const QByteArrayList got = bytesOfAll(live->allPackets()); // before any later grow
        EXPECT_TRUE(got == finished) << bytes.size() << " bytes: " << got.size() << " packets, the finished read "
                                     << finished.size();
        std::fclose(log);
    }
}
