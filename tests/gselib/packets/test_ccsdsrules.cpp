// The CCSDS parse's rule, one row per rule of docs/ccsds-parse.md, each its
// own case named after the rule: a small archive built from parts (packets,
// archive labels, frame headers, damage) goes in, and what the parse makes of
// each part comes out: taken as a packet (with its label's ground time),
// skipped (in a "Skipped" line), or left unread. The rule is private to the
// parse, so it is read through a cache with a header test (and, for the rows
// of frames and padding, hooks); change a row here with the rule it stands for.
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "support/tempdir.h"
#include "tests/gselib/packets/archivetestdata.h"

#include <QFile>
#include <QStringList>
#include <QtEndian>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <gtest/gtest.h>
#include <vector>

using namespace GseLib;
using namespace ArchiveTestData;

namespace {

// APIDs whose headers pass the test, and one of a known type the test
// rejects (a length past its type's limit, say).
constexpr int PASSING_APIDS[] = {0x100, 0x101, 0x102, 0x103};
constexpr int KNOWN_REJECTED_APID = 0x105;
// A length field of 65535: a primary header and 65,536 bytes after it.
constexpr int LARGEST_PACKET = 6 + 0x10000;

int apidOf(const unsigned char* h)
{
    return ((h[0] & 0x07) << 8) | h[1];
}

// A cache with a header test: version 0 and an APID of PASSING_APIDS.
class RuleCache : public TelemetryCache
{
public:
    RuleCache() : TelemetryCache(new UnixTimeResolver) { setPacketFormat(CCSDS); }

protected:
    bool validHeader(const unsigned char* h) override
    {
        return (h[0] & 0xE0) == 0 && std::count(std::begin(PASSING_APIDS), std::end(PASSING_APIDS), apidOf(h)) > 0;
    }
    bool plausibleHeader(const unsigned char* h) override
    {
        return (h[0] & 0xE0) == 0 && apidOf(h) == KNOWN_REJECTED_APID;
    }
};

// Frames as the hooks see them: a sync word and six more bytes, stepped over
// before a packet; a packet of an odd length carries a pad byte.
constexpr char FRAME_SYNC[] = "\xFE\xFA\x30\xC8";
constexpr int FRAME_HEADER_BYTES = 10;

// The rule cache with the hooks of an archive of frames.
class FramedRuleCache : public RuleCache
{
protected:
    size_t skipBeforeCcsds(const unsigned char* b, size_t n) override
    {
        if (n < 4)
            return std::memcmp(b, FRAME_SYNC, n) == 0 ? n : 0; // a frame header may still begin
        return std::memcmp(b, FRAME_SYNC, 4) == 0 ? size_t(FRAME_HEADER_BYTES) : 0;
    }
    size_t paddingAfterCcsds(size_t length) const override { return length % 2; }
};

// What the parse makes of a part of the archive.
enum class Fate {
    Taken,   // a packet, with the ground time of a Label part right before it
    Label,   // the archive label of the packet after it
    Skipped, // reported in the "Skipped" line before the next packet taken
    Unread,  // neither taken nor reported
};

struct Part
{
    QByteArray bytes;
    Fate fate;
};

// ---- The parts a row is built of

int sequence = 0;

// An intact packet of `total` bytes (at least 12).
Part packet(int total = 40, int apid = 0x100)
{
    return {ccsdsPacket(apid, ++sequence, total, uint32_t(1000 + sequence)), Fate::Taken};
}

// The archive label of the packet after it, with the ground time 5000 + n.
Part labelFor(int n = 3)
{
    return {label("GANN", n, uint32_t(5000 + n), 7), Fate::Label};
}

// A packet of `total` bytes cut short by `cutBy`: its header claims bytes
// that the parts after it hold.
Part cutPacket(int cutBy, int total = 40, Fate fate = Fate::Skipped)
{
    return {ccsdsPacket(0x101, ++sequence, total).left(total - cutBy), fate};
}

// A label whose digits were hit: they claim `claim` bytes besides the 40.
Part hitLabel(int n, int claim)
{
    QByteArray l = label("GANN", n, 6000, 7);
    l.replace(12, 8, QByteArray::number(claim).rightJustified(8, '0'));
    return {l, Fate::Skipped};
}

Part bytes(int n, char value, Fate fate = Fate::Skipped)
{
    return {QByteArray(n, value), fate};
}

// A primary header of `apid` whose length field claims `claim` bytes in all,
// with `filler` bytes of its own after it.
Part header(int apid, int claim, int filler)
{
    QByteArray h = ccsdsPacket(apid, ++sequence, CcsdsPrimaryHeader::SIZE + filler);
    putBe16(h, 4, uint32_t(claim - CcsdsPrimaryHeader::SIZE - 1));
    return {h, Fate::Skipped};
}

// A rejected packet of a known type whose payload holds, at `at`, a short
// packet whose header passes.
Part rejectedHolding(int total, int at)
{
    QByteArray p = ccsdsPacket(KNOWN_REJECTED_APID, ++sequence, total);
    p.replace(at, 12, ccsdsPacket(0x102, ++sequence, 12));
    return {p, Fate::Skipped};
}

// ---- Reading a row

enum class Read {
    Opened,  // one changeFile of the finished file
    Growing, // written after the file was opened, then grown once
    Settled, // opened, then grown until the back-offs are spent, and once more
    Live,    // one changeFile of a file written just now
};

// The cache a row is read with.
enum class Cache {
    Rule,   // with the header test
    Framed, // with the header test and the hooks of frames and padding
    Base,   // the base cache: no header test
};

struct Row
{
    const char* name; // the case's name: the rule's number, then what it pins
    const char* rule;
    std::vector<Part> parts;
    Read read = Read::Opened;
    long long maxScan = 0;
    // Lines besides the "Skipped" ones, with {at} for the offset of the first
    // Unread part, {unread} for the bytes from there to the end of the file,
    // {end}, and {scanned} for where the scan limit ends the search; written
    // before the "Skipped" ones with `linesFirst`.
    QStringList lines{};
    bool linesFirst = false;
    Cache cache = Cache::Rule;
};

struct Verdict
{
    std::vector<std::pair<QByteArray, uint32_t>> packets; // bytes, ground seconds
    QStringList lines;
};

// The verdict the parts call for.
Verdict expected(const Row& row)
{
    Verdict v;
    long at = 0, skipped = 0, unreadAt = -1;
    uint32_t ground = 0;
    for (const Part& p : row.parts) {
        switch (p.fate) {
        case Fate::Label:
            ground = qFromBigEndian<uint32_t>(p.bytes.constData() + 24);
            if (skipped)
                v.lines << QString("Skipped %1 bytes [%2 - %3]").arg(skipped).arg(at - skipped).arg(at);
            skipped = 0;
            break;
        case Fate::Taken:
            if (skipped)
                v.lines << QString("Skipped %1 bytes [%2 - %3]").arg(skipped).arg(at - skipped).arg(at);
            skipped = 0;
            v.packets.push_back({p.bytes, ground});
            ground = 0;
            break;
        case Fate::Skipped:
            skipped += p.bytes.size();
            ground = 0;
            break;
        case Fate::Unread:
            if (unreadAt < 0)
                unreadAt = at;
            break;
        }
        at += p.bytes.size();
    }
    QStringList own;
    for (const QString& line : row.lines)
        own << QString(line)
                   .replace("{at}", QString::number(unreadAt))
                   .replace("{unread}", QString::number(at - unreadAt))
                   .replace("{end}", QString::number(at))
                   .replace("{scanned}", QString::number(unreadAt + row.maxScan));
    v.lines = row.linesFirst ? own + v.lines : v.lines + own;
    return v;
}

QStringList linesOf(FILE* log)
{
    std::fflush(log);
    std::rewind(log);
    QStringList lines;
    for (char line[512]; std::fgets(line, sizeof line, log);)
        lines << QString::fromLatin1(line).trimmed();
    return lines;
}

Verdict parse(const Row& row)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    QByteArray all;
    for (const Part& p : row.parts)
        all += p.bytes;
    TestSupport::TempDir dir;
    FILE* log = std::tmpfile();
    std::unique_ptr<TelemetryCache> made;
    switch (row.cache) {
    case Cache::Rule: made = std::make_unique<RuleCache>(); break;
    case Cache::Framed: made = std::make_unique<FramedRuleCache>(); break;
    case Cache::Base: made = std::make_unique<TelemetryCache>(new UnixTimeResolver); break;
    }
    TelemetryCache& cache = *made;
    cache.setPacketFormat(TelemetryCache::CCSDS);
    cache.setMessageStream(log);
    cache.setMaxScan(row.maxScan);
    if (row.read != Read::Growing) {
        const QString path = dir.write("tm.bin", all);
        if (row.read != Read::Live) {
            EXPECT_TRUE(ageFile(path));
        }
        cache.changeFile(path.toStdString(), true);
        for (int i = 0; row.read == Read::Settled && i <= TelemetryCache::PARTIAL_READ_LIMIT; ++i)
            cache.grow();
    } else {
        const QString path = dir.write("tm.bin", {});
        cache.changeFile(path.toStdString(), true);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::Append));
        f.write(all);
        f.close();
        cache.grow();
    }
    Verdict v;
    for (const TMPacketPtr& p : cache.allPackets())
        v.packets.push_back({QByteArray(reinterpret_cast<const char*>(p->bytes->data()), qsizetype(p->totalLength())),
                             p->groundSeconds});
    v.lines = linesOf(log);
    std::fclose(log);
    return v;
}

// Where the claim of a cut packet ends `into` bytes inside the next
// packet's label (0: at the label's end).
std::vector<Part> claimEndingInALabel(int into)
{
    const Part next = labelFor(5);
    const int cutBy = into ? into : int(next.bytes.size());
    return {labelFor(1), packet(), {labelFor(2).bytes, Fate::Skipped}, cutPacket(cutBy, 90), next, packet(),
            labelFor(3), packet()};
}

// The parts, then n intact packets.
std::vector<Part> thenPackets(std::vector<Part> parts, int n)
{
    while (n-- > 0)
        parts.push_back(packet());
    return parts;
}

// A packet whose claim takes `n` bytes of what follows it (the next
// packet's label): its header claims `total` + n bytes.
Part takesLabelBytes(int n, int total = 40)
{
    QByteArray p = ccsdsPacket(0x101, ++sequence, total);
    putBe16(p, 4, uint32_t(total + n - 7));
    return {p, Fate::Skipped};
}

// An intact packet whose payload holds, at 10, a 12-byte packet whose header
// passes followed by another header that passes: a pair, which an intact
// packet's payload hardly ever holds.
Part holdingPair(int total = 40, int apid = 0x100)
{
    QByteArray p = packet(total, apid).bytes;
    p.replace(10, 12, ccsdsPacket(0x102, ++sequence, 12));
    p.replace(22, 6, ccsdsPacket(0x103, ++sequence, 12).left(6));
    return {p, Fate::Taken};
}

// A frame header the hooks step over, or that is skipped.
Part frame(Fate fate = Fate::Unread)
{
    return {QByteArray(FRAME_SYNC, 4) + QByteArray(FRAME_HEADER_BYTES - 4, char(0x11)), fate};
}

// A damaged header (`cutTo` bytes of it written) whose claim holds a run of
// two intact packets, then more damage, and ends where a packet follows: no
// run ends where it ends, only a pair or a confirmed run tells.
std::vector<Part> claimHoldingTwoPacketsThenDamage()
{
    const int cutTo = 30, damage = 5;
    return {header(0x101, cutTo + 40 + 40 + damage, cutTo - CcsdsPrimaryHeader::SIZE), packet(), packet(),
            bytes(damage, char(0xAA)), packet(), packet()};
}

// `n` rejected headers of a known type, one every 16 bytes, each whole and
// followed: its claim ends `tail` bytes after the last, where a packet
// begins. A confirmed run in those `tail` bytes refuses each, found only
// once the run look has gone over nearly all its claim: the looks cost the
// square of the stretch, and the run budget of the search runs out.
Part rejectedHeadersSpendingTheBudget(int n, int tail)
{
    constexpr int SPACING = 16;
    QByteArray b;
    for (int i = 0; i < n; ++i) {
        QByteArray h(SPACING, char(0xAA));
        h[0] = char(0x08 | (KNOWN_REJECTED_APID >> 8));
        h[1] = char(KNOWN_REJECTED_APID & 0xFF);
        h[2] = char(0xC0);
        h[3] = 0; // no header that passes starts here either
        putBe16(h, 4, uint32_t((n - i) * SPACING + tail - 7));
        b += h;
    }
    return {b, Fate::Skipped};
}

// The parts `first`, then the parts `then`.
std::vector<Part> after(std::vector<Part> first, const std::vector<Part>& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

std::vector<Row> rows()
{
    sequence = 0;
    const Part first = packet(30, 0x100);
    const Part inside[2] = {packet(24, 0x102), packet(36, 0x103)};
    return {
        {"Rule3_FollowedPacketIsTaken", "taken: a packet whose header passes, followed by the next",
         {packet(), packet(60), packet(), packet(12)}},
        {"Rule1_LabelGivesThePacketItsGroundTime", "taken: a label gives the packet after it its ground time",
         {labelFor(1), packet(), labelFor(20), packet(), packet(), labelFor(0), packet()}},
        {"Rule3_IntactPacketBeforeDamageHoldsNoRun", "taken: a packet followed by damage, which holds no run",
         {packet(), packet(), bytes(5, char(0xAA)), packet(), packet()}},
        {"Rule5_SkippedBytesInOneLine", "skipped: bytes between packets, in one line before the next packet taken",
         {packet(), bytes(17, char(0xAA)), bytes(9, 0), packet(), bytes(3, char(0xFF)), labelFor(), packet()}},
        {"Rule3_2_CutPacketHoldingAConfirmedRun", "refused: a cut packet whose claim holds a confirmed run",
         {packet(), packet(), cutPacket(30), packet(), packet(), packet()}},
        {"Rule3_1_ClaimEndsInTheLabelsFirstByte",
         "refused: a cut packet whose claim ends in the first byte of the next label", claimEndingInALabel(1)},
        {"Rule3_1_ClaimEndsInTheLabelsSecondByte",
         "refused: a cut packet whose claim ends in the second byte of the next label", claimEndingInALabel(2)},
        {"Rule3_1_ClaimEndsInTheLabelsDigits", "refused: a cut packet whose claim ends in the digits of the next label",
         claimEndingInALabel(20)},
        {"Rule3_1_ClaimHoldsTheNextLabelWhole", "refused: a cut packet whose claim holds the next label whole",
         claimEndingInALabel(0)},
        // Nothing else refuses it: the archive has shown no damage, and no run
        // begins in its own bytes.
        {"Rule3_1_PacketTakesOneByteOfTheNextLabel",
         "refused: a packet whose claim takes one byte of the next label, in an archive without damage",
         {labelFor(1), packet(), takesLabelBytes(1), labelFor(2), packet(), packet()}},
        {"Rule3_3_LongerHeaderTiledByARun",
         "refused: a header longer than its APID's packets whose claim is tiled by a run",
         {first, packet(), header(0x100, 10 + 24 + 36, 4), inside[0], inside[1], packet()}},
        {"Rule3_4_PairInADamagedArchive",
         "refused: in an archive that has shown damage, a followed claim that holds a packet followed by another",
         after({packet(), bytes(7, char(0xAA)), packet()}, claimHoldingTwoPacketsThenDamage())},
        {"Rule3_5_FrameStepInTheLastBytes",
         "refused: in an archive that has shown damage, a followed claim whose last bytes hold a frame header",
         {frame(), packet(), frame(), packet(), bytes(7, char(0xAA)), packet(),
          header(0x101, 20 + FRAME_HEADER_BYTES, 20 - CcsdsPrimaryHeader::SIZE), frame(Fate::Skipped), packet(),
          packet()},
         Read::Opened, 0, {}, false, Cache::Framed},
        {"Rule3_6_ResynchronisingConfirmedRun",
         "refused: right after skipped bytes, a followed claim in which a confirmed run begins",
         after({packet(), bytes(7, char(0xAA))}, claimHoldingTwoPacketsThenDamage())},
        {"Rule4_FollowedBehindAFrameHeader",
         "taken: a packet followed behind a frame header; the archive shows no damage, so a pair is no matter",
         {frame(), packet(), frame(), holdingPair(), frame(), packet()}, Read::Opened, 0, {}, false, Cache::Framed},
        {"Rule4_FollowedBehindPadding",
         "passed over: a rejected header of a known type, of an odd length, followed behind its pad byte",
         {packet(), rejectedHolding(61, 20), bytes(1, 0), packet(), packet()}, Read::Opened, 0, {}, false,
         Cache::Framed},
        {"Rule5_RejectedHeaderPassedOverWhole",
         "passed over: a rejected header of a known type, whole and followed, with what its payload holds",
         {packet(), rejectedHolding(60, 20), packet(), packet()}},
        {"Rule6_LabelClaimsMoreThanItsBuffer", "damage: a label whose digits claim more than a label buffer holds",
         thenPackets({packet(), hitLabel(3, 99999999 - 40), labelFor(), packet()}, 2)},
        // The claims below end where a packet begins: read as a label, they
        // would cover the packets before it.
        {"Rule6_LabelClaimsMoreThanItsBufferWithinTheFile",
         "damage: a label whose digits claim more than a label buffer holds, within the file",
         thenPackets({packet(), hitLabel(3, 3 + 258 * 40)}, 300)},
        {"Rule6_LabelClaimHoldsTheNextLabel",
         "damage: a label whose claim holds the next label; its packet keeps no ground time",
         thenPackets({packet(), hitLabel(3, 3 + 40 + 43 + 40), packet(), labelFor(), packet()}, 2)},
        {"Rule8_ScanLimit", "scan limit: the parse gives up on the rest of the file",
         {packet(), bytes(100, char(0xAA), Fate::Unread), {packet().bytes, Fate::Unread}},
         Read::Opened,
         64,
         {"Scanned 64 bytes [{at} - {scanned}] without finding a valid packet header, archive may be corrupt!"}},
        {"Rule8_LargestClaimIsOnePacket", "packet size: a length field of 65535 claims 65,542 bytes, one packet",
         {packet(), packet(LARGEST_PACKET, 0x102), packet(), packet()}},
        // Without the budget the look would find the run inside the cut
        // packet, and keep its packet.
        {"Rule8_PastTheRunBudgetNothingMoreIsFound",
         "run budget: once crafted headers spent it, a rejected header's claim is passed over with the packet it holds",
         {packet(), rejectedHeadersSpendingTheBudget(1000, 30 + 40), header(0x101, 30 + 40, 24),
          {packet().bytes, Fate::Skipped}, packet(), packet()}},
        {"Rule7_GrowingFileWaitsForItsLastPacket", "waits: a growing file's last packet, not all written",
         {packet(), packet(), cutPacket(10, 40, Fate::Unread)},
         Read::Growing,
         0,
         {"Read partial packet...backing up to index {at}"}},
        {"Rule7_OpeningReadStepsOverAClaimPastTheEnd",
         "end of the file: the opening read steps over a claim past the end, as the settled read does",
         {packet(), packet(), header(0x101, 2000, 30), packet()},
         Read::Opened,
         0,
         {"Could not read 1994 bytes from file...skipping ahead 1 byte"},
         true},
        {"Rule7_OpeningReadOfAFinishedFileStepsOverACutLastPacket",
         "end of the file: the opening read steps over a cut last packet, as the settled read does, and says the "
         "stretch that runs to the end",
         {packet(), packet(), cutPacket(10, 40, Fate::Unread)},
         Read::Opened,
         0,
         {"Could not read 34 bytes from file...skipping ahead 1 byte", "Skipped {unread} bytes [{at} - {end}]"}},
        {"Rule7_OpeningReadOfAFinishedFileStepsOverAClaimBeforeTheFirstPacket",
         "end of the file: the opening read steps over a claim past the end before the archive's first packet",
         {header(0x101, 2000, 30), packet()},
         Read::Opened,
         0,
         {"Could not read 1994 bytes from file...skipping ahead 1 byte"},
         true},
        {"Rule7_AFileOpenedWhileWrittenWaits",
         "end of the file: a file opened while it is written waits where the finished file's read steps over",
         {packet(), packet(), {header(0x101, 2000, 30).bytes, Fate::Unread}, {packet().bytes, Fate::Unread}},
         Read::Live,
         0,
         {"Read partial packet...backing up to index {at}"}},
        {"Rule2_CutLastPacketLeftUnread",
         "left unread: without a header test, a cut last packet is not stepped into",
         {packet(), packet(), cutPacket(10, 40, Fate::Unread)},
         Read::Settled,
         0,
         {"Read partial packet...backing up to index {at}", "Read partial packet...backing up to index {at}",
          "Read partial packet...backing up to index {at}", "Read partial packet...backing up to index {at}",
          "Read partial packet...backing up to index {at}",
          "Could not read a whole packet at index {at}...reading no further until the file grows"},
         false,
         Cache::Base},
    };
}

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.name;
}

class CcsdsRules : public ::testing::TestWithParam<Row>
{
};

TEST_P(CcsdsRules, GivesItsVerdict)
{
    const Row& row = GetParam();
    SCOPED_TRACE(row.rule);
    const Verdict want = expected(row), got = parse(row);
    ASSERT_EQ(got.packets.size(), want.packets.size()) << got.lines.join('\n').toStdString();
    for (size_t i = 0; i < want.packets.size(); ++i) {
        EXPECT_EQ(got.packets[i].first.toHex(), want.packets[i].first.toHex()) << "packet " << i;
        EXPECT_EQ(got.packets[i].second, want.packets[i].second) << "packet " << i;
    }
    EXPECT_EQ(got.lines.join('\n'), want.lines.join('\n'));
}

INSTANTIATE_TEST_SUITE_P(Rules, CcsdsRules, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

} // namespace
