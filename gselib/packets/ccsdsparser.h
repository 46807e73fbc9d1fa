#pragma once
// The telemetry cache's CCSDS parse: it reads packet attempts through the
// cache's window, decides each candidate by one rule (ccsdsrules.cpp), and
// hands the packets it takes to the cache. It keeps what the archive has
// shown between parses. docs/ccsds-parse.md gives the rule in full, in the
// words below; tests/gselib/packets/test_ccsdsrules.cpp holds a row for each
// of its parts.
//
// Words of the parse, each with one meaning in its names and comments:
//  packet attempt  what the parse reads at its position: an archive label or
//                  none, what the hooks step over, then a primary header.
//  candidate       a primary header the parse may take, read at a packet
//                  boundary or found by the search.
//  claim           the bytes its length field gives the candidate's packet,
//                  header included; the packet is whole when the file holds
//                  them all.
//  header test     the cache's validHeader; a header passes when it says
//                  yes. Plausible: plausibleHeader says a header the test
//                  rejects is of a known type (too long for it, say).
//  judging         the header test tells packets from other bytes: it
//                  rejects all zeros or all ones. Without it every candidate
//                  whose header passes is taken.
//  follower        what the parse takes after a packet's end: a header that
//                  passes, behind a label, the hooks' steps or padding. The
//                  packet is followed when one stands there, directly when
//                  the parse's own next read finds it.
//  run             a packet inside a candidate's claim whose header passes;
//                  confirmed when it is followed (or, where the rule allows,
//                  ends at the end of the file) and, verified, holds no
//                  confirmed run itself.
//  chain           two or more packets stepping through a candidate's claim
//                  by their lengths, to its end or its follower: the
//                  candidate swallows the chain.
//  own bytes       the bytes of a candidate's claim, read without what
//                  follows them: a run begins in them at any place where they
//                  hold its header, 2 bytes of a label, or 2 bytes of a
//                  header the claim's end cuts.
//  taken, refused  the verdicts. A refused candidate's bytes are searched
//                  on from its next byte (the search); the bytes passed are
//                  skipped, one stretch reported once (with a record, see
//                  DamagedStretch) before the next packet taken, or at the
//                  end of the file once the read has decided it.
//  damage          a candidate refused or bytes skipped; the archive has
//                  shown damage once any was.
//  shown           what the archive has shown, which the rule judges by:
//                  labels, damage, the hooks' longest step, the longest
//                  candidate of each APID, the fixed bits of the last packet
//                  taken.
//  look            a const function that reads the bytes and returns its
//                  answer, what it needed (bytes past the end of the file its
//                  answer depends on) and what it learned of what is shown.
//  waits           stops at a candidate until the file grows, as at a partial
//                  packet: the file may still be being written.
//  settled         the file has not grown while the parse backed off
//                  PARTIAL_READ_LIMIT times: the parse decides what remains as
//                  in the finished file.
//  finished        the file was last written long enough ago when it was
//                  opened (TelemetryCache::setFinishedFileAge): the parse that
//                  opens it judges its end as the finished file's (atEnd) and,
//                  judging, where it would wait, settles there (a parse of its
//                  own, as the settling grow would). A file opened while it is
//                  written is read as any grow reads it: it waits.
//  budget          the bytes the looks for runs and chains may still go
//                  over in one search.
//  scan limit      the cache's maxScan: bytes searched without a packet,
//                  over as many parses as the stretch took, before the parse
//                  gives up on the rest of the file (0: none).
//  left unread     without judging, once settled, a packet the parse cannot
//                  complete is not stepped into: the parse stops there until
//                  the file grows, saying so once, and then waits for it. When
//                  the file grows past its claim, or grows and settles again
//                  without completing it, it was damage: what the settled read
//                  stepped over before is stepped over then, on the file as it
//                  was when the parse stopped (replayed).
#include "gselib/packets/archivelabel.h"
#include "gselib/packets/archivewindow.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/damagedstretch.h"
#include "gselib/packets/telemetrycache_p.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

namespace GseLib {

// Fields of a CCSDS primary header, read from an archive's bytes.
namespace CcsdsHeader {

// The bytes of the packet whose primary header is at `header`. In 32 bits: a
// length field of 65535 is a 65,536-byte body, not 0.
inline size_t packetBytes(const uint8_t* header)
{
    return ArchiveBytes::be16(header + 4) + 1u + CcsdsPrimaryHeader::SIZE;
}

// The most bytes a packet holds: a 65,536-byte body after its header.
inline constexpr long MAX_PACKET_BYTES = 0x10000 + CcsdsPrimaryHeader::SIZE;

inline uint32_t apidOf(const uint8_t* header)
{
    return uint32_t(CcsdsPrimaryHeader::apidOf(header[0], header[1]));
}

// The fixed bits of a primary header: version, type and secondary-header
// flag in its first byte, sequence flags in its third.
inline constexpr uint8_t FIXED_BITS_0 = 0xF8;
inline constexpr uint8_t FIXED_BITS_2 = 0xC0;
inline constexpr size_t FIXED_BYTES = 3;

// Whether two primary headers agree in their fixed bits; of `b` only its
// first n bytes are read, and compared as far as they go.
inline bool sameFixedBits(const uint8_t* a, const uint8_t* b, size_t n = FIXED_BYTES)
{
    return n == 0 ||
           (((a[0] ^ b[0]) & FIXED_BITS_0) == 0 && (n < FIXED_BYTES || ((a[2] ^ b[2]) & FIXED_BITS_2) == 0));
}

} // namespace CcsdsHeader

class CcsdsParser
{
public:
    explicit CcsdsParser(TelemetryCache::ParseHost host);
    ~CcsdsParser();
    CcsdsParser(const CcsdsParser&) = delete;
    CcsdsParser& operator=(const CcsdsParser&) = delete;

    // Forgets the archive (a new file, or the cache cleared).
    void reset();
    // Parses from `position`, the first byte of a packet attempt, as far as
    // the file allows, and leaves it where the next parse goes on. A parse
    // that opens a `finished` file judges what stands at its end as a read of
    // the finished file does, and settles where it would wait; other parses
    // wait at a candidate whose verdict depends on bytes not yet written (see
    // decide()).
    void parse(long& position, bool opens, bool finished);
    // Whether this parse reads the file as finished: what stands at its end
    // is decided as in the finished file (the parse that opens a finished
    // file, or a settled one). Then a stretch of damage that runs to the end
    // of the file is the file's last word.
    bool readsAsFinished() const { return atEnd; }

private:
    // ---- The parse (ccsdsparser.cpp) ----

    // The archive label a packet attempt begins with, if any.
    struct Label
    {
        bool present = false;
        uint32_t seconds = 0;
        double ms = 0.0;
    };

    // A header the parse has found, with its label (and, after a packet it
    // took, where that packet ends).
    struct Next
    {
        long from = -1;
        long header = -1;
        Label label;
    };

    // What the parse does at its position: take the packet whose header
    // next() found, step over a byte it cannot read a packet at, or stop
    // until the file grows.
    enum class Step { Take, Skip, Stop };

    // Bytes the run looks may still go over in one search: bytes crafted to
    // pass the tests again and again could make the nested looks quadratic,
    // and past the budget nothing more is found. It grows with each byte the
    // search steps over.
    struct RunBudget
    {
        long left = 0;
        void restart() { left = CHAIN_BUDGET; }
        void earn(long bytesSearched) { left += CHAIN_BUDGET_PER_BYTE * bytesSearched; }
        bool canSpend(long n) const { return n <= left; }
        // Past what is left: nothing more is found.
        void exhaust() { left = std::min(left, 0L) - 1; }
        bool spent() const { return left < 0; }
    };

    // What a look learned of the archive reading its bytes (a label, a
    // longer step of the hooks), and what it spent of the run budget.
    struct Learned
    {
        bool labels = false;
        long longestStep = 0;
        long spent = 0;
        void add(const Learned& l)
        {
            labels = labels || l.labels;
            longestStep = std::max(longestStep, l.longestStep);
            spent += l.spent;
        }
    };

    // What the archive has shown so far, as the looks at one candidate see
    // it: what the parse had committed when the candidate's judgement began,
    // raised in order by what the looks taken before learned and found (a
    // label read, a longer step of the hooks, damage found), and what the
    // run looks may still spend in this search. The looks are handed it and
    // return what they learned; a verdict returns it as the candidate leaves
    // it, which the parse commits once the candidate is decided and drops
    // when the candidate waits (decide()). What the parse reads itself (the
    // header of a packet attempt, and in an archive that has not shown
    // damage the header after a candidate, which it takes next) counts at
    // once.
    struct Seen
    {
        bool damaged = false;
        bool labels = false;
        long longestStep = 0;    // the most bytes the hooks have stepped over at once
        uint32_t longestAny = 0; // the longest candidate judged
        RunBudget budget;
        void learn(const Learned& l)
        {
            labels = labels || l.labels;
            longestStep = std::max(longestStep, l.longestStep);
            budget.left -= l.spent;
        }
    };

    // What the archive has shown so far, which the rule judges candidates by.
    struct Shown
    {
        Seen seen;
        std::array<uint32_t, CcsdsPrimaryHeader::APID_COUNT> longest{}; // by APID: the longest candidate judged
        std::array<uint8_t, CcsdsPrimaryHeader::SIZE> lastTaken{}; // its fixed bits are the archive's
        bool tookPacket = false;
        // After a refused candidate: what the later-packet look found, which
        // holds for later positions in the same file.
        LaterPacketLook later;
    };

    // What stands after a packet's end, as followerAt reads it.
    struct Follower
    {
        enum Kind : uint8_t {
            Header, // a header that passes, at `at`: the packet is followed
            Short,  // the file ends there, or holds too little to tell yet
            None,   // nothing the parse would take: the packet is not followed
        };
        Kind kind = None;
        long at = -1; // the header's first byte, when Header
        bool found() const { return kind == Header; }
    };

    // While one way of a candidate's unwritten follower is tried: what the
    // follower of a packet ending at `end` (that may carry `padding`) is
    // taken to be. The looks that reach a follower are handed it.
    struct Assumed
    {
        long end = -1;
        size_t padding = 0;
        Follower follower{};
    };
    static const Assumed NOTHING_ASSUMED;

    // What a look needed of bytes the file does not hold yet: those up to
    // `upTo` (0: none). Its answer may change once they are written.
    struct Need
    {
        long upTo = 0;
        explicit operator bool() const { return upTo != 0; }
        void add(Need n) { upTo = std::max(upTo, n.upTo); }
    };
    // A look's answer, what it needed of bytes not yet written, and what it
    // learned of the archive.
    template <typename T> struct Look
    {
        T answer;
        Need need{};
        Learned learned{};
    };
    // One look as it goes on through the looks it takes: what the archive
    // has shown, raised by what they learned, and what they needed.
    struct Sight
    {
        Seen seen;
        Learned learned;
        Need need;
        explicit Sight(const Seen& s) : seen(s) {}
        // A look's answer; what it needed and learned counts from here.
        template <typename T> T read(const Look<T>& look)
        {
            need.add(look.need);
            learn(look.learned);
            return look.answer;
        }
        void learn(const Learned& l)
        {
            learned.add(l);
            seen.learn(l);
        }
        // Spends n bytes of the run budget when that many are left.
        bool trySpend(long n)
        {
            if (!seen.budget.canSpend(n))
                return false;
            learn({false, 0, n});
            return true;
        }
        // Spends one place; false once the budget is spent.
        bool spendPlace()
        {
            learn({false, 0, 1});
            return !seen.budget.spent();
        }
        // Spends it all: no later look of the search finds anything.
        void exhaust()
        {
            RunBudget none = seen.budget;
            none.exhaust();
            learn({false, 0, seen.budget.left - none.left});
        }
        template <typename T> Look<T> answer(T a) const { return {a, need, learned}; }
    };

    void beginParse();
    void run(long& position);
    // How the parse waits at a position: with the back-off line, backing off
    // without a line (a label not all written), or stopping without a back-off
    // (a rejected header whose claim runs past the end).
    enum class WaitHow { BackOff, BackOffQuietly, Stop };
    bool waits(long position, WaitHow how = WaitHow::BackOff);
    bool backOff(long position, WaitHow how);
    bool waitsAtLabel(long position, Need need);
    void settleHere();
    // Without judging, a packet the parse cannot complete once settled is
    // left unread, but for the replay of what the settled read did.
    bool leavesUnread() const { return !judging && replayEnd < 0; }
    void leaveUnread(long position);
    bool grownPastLeftUnread(long position) const;
    void replayLeftUnread(long& position);
    Step pastDamagedLabel(long& position);
    void endParse();
    // The candidate at `position` (its header in `current`), which moves
    // past the bytes refused on the way (and to the end of the file when the
    // scan limit is reached).
    Step next(long& position);
    Step nextAfterDamage(long& position);
    // A candidate whose end the next header that passes follows directly
    // (followedDirectly): that header, with its label, and what reading it
    // learned of the archive, which counts once the candidate is decided.
    using Direct = Look<Next>;
    // The same, for the candidate whose header next() found (-1: the search
    // goes on at `position`), `known` to pass, and `direct`ly followed.
    Step candidate(long& position, bool known, const Direct* direct);
    // What the rule makes of a candidate: take it, refuse it (the search goes
    // on at `resume`), leave it to the growing-file rules (Partial), wait
    // where it stands for the file to grow, or the same when its verdict
    // depends on bytes past the end of the file (Unsure: counted as a
    // back-off on a partial packet). `need`: what the looks behind it needed
    // of bytes not yet written; `seen`: what the archive has shown, as the
    // candidate leaves it.
    struct Verdict
    {
        enum Kind { Take, Refuse, Partial, Wait, Unsure } verdict = Take;
        long resume = -1;
        Need need{};
        Seen seen{};
        // A taken candidate's follower that its looks read: what the parse
        // takes next (from -1: none).
        Next follower{};
        // What the later-packet look found, when it looked.
        std::optional<LaterPacketLook> later{};
        // The bytes of the whole candidate it judged (0: none), which count
        // among its APID's once it is decided.
        uint32_t judged = 0;
    };
    // What the parse goes on with once a verdict is committed.
    struct Decided
    {
        Verdict::Kind verdict;
        long resume;
    };
    Decided verdictAt(long position, long start, bool known, const Direct* direct, Need beyond);
    std::optional<Step> stepFor(Decided& v, long position, bool inSearch);
    bool pastRefused(long& position, long resume);
    bool searchAt(long position, Need& beyond);
    // The verdict on the candidate whose primary header is at `start`
    // (`beyond`: what finding it needed of bytes past the end of the file).
    // The parse commits what the archive has shown as the verdict leaves it,
    // and its follower, unless the verdict is Unsure.
    Decided decide(long position, long start, bool known, const Direct* direct, Need beyond);
    // A directly followed candidate in an archive that has shown damage:
    // taken or refused on its last bytes, or nothing (judge decides).
    Look<std::optional<Verdict::Kind>> directVerdict(const Seen& seen, long start, const Direct& d,
                                                     bool alreadyShort) const;
    // The parse took the packet whose primary header is at `header`.
    void took(const uint8_t* header)
    {
        if (judging) {
            std::memcpy(shown.lastTaken.data(), header, shown.lastTaken.size());
            shown.tookPacket = true;
        }
        skipped = 0;
        saidTo = -1;
        refusals = 0;
        shown.seen.budget.restart();
        endedSkipping = false;
        endedRefusing = false;
    }
    // A damaged stretch, reported as its line.
    void report(DamagedStretch::Kind kind, long first, long end) { host.damaged(host.stretch(kind, first, end)); }
    // The stretch skipped before `position`, up to `to`, as far as no line
    // has said it.
    void reportSkipped(long position, long to)
    {
        const long from = std::max(position - skipped, saidTo);
        if (skipped && from < to)
            report(DamagedStretch::Kind::Skipped, from, to);
    }
    void reportStretchToEnd(long position);
    // Where a packet attempt's primary header stands, or why none was read.
    struct HeaderAt
    {
        enum Kind : uint8_t {
            Found,        // at `at`
            Short,        // the file ends first, or within a label's first bytes
            LabelPastEnd, // the file ends within a label's claim
            LabelDamaged, // a label whose digits were hit: see ArchiveLabel
        };
        Kind kind = Short;
        long at = -1; // the header's first byte, when Found
        bool found() const { return kind == Found; }
    };
    // The looks that read past a label or the hooks' steps learn what they
    // read: a label, and the longest step.
    Look<HeaderAt> headerAt(long pos, Label* label, bool hooks = true) const;
    Look<HeaderAt> readHeaderAt(long pos, Label* label, bool hooks) const;
    Look<HeaderAt> resyncHeaderAt(long pos, Label* label) const;
    // Where the hooks' step from `at` ends (at itself: no step).
    Look<long> hooksStep(long at) const
    {
        if (host.maySkipOnBytes()) {
            const size_t n = window.fill(at, SKIP_LOOKAHEAD);
            size_t step = 0;
            if (host.skipOnBytes(window.at(at), n, &step)) {
                // A count past the few bytes left at the end of the file is
                // no step yet: the hook waits for them.
                Look<long> to{at + long(step)};
                if (step < n || n == SKIP_LOOKAHEAD)
                    to.learned.longestStep = long(step);
                return to;
            }
        }
        return {host.stepOnStream(at)};
    }
    // The follower (from -1: none).
    Look<Next> followedDirectly(const Seen& seen, long start) const;
    bool unjudged(long start) const;
    // A look needed the bytes up to `end` and the file ended first (past the
    // window's horizon the file's end is no answer).
    Need shortOf(long end) const { return {window.endIsFile(end) ? end : 0}; }

    // ---- The rule and its looks (ccsdsrules.cpp) ----

    static constexpr size_t SKIP_LOOKAHEAD = TelemetryCache::CCSDS_SKIP_LOOKAHEAD;
    static constexpr size_t LABEL_BUFFER_SIZE = TelemetryCache::LABEL_BUFFER_SIZE;
    // A candidate's bytes, one each for swallows(): the largest packet the
    // cache holds.
    static constexpr size_t CHAIN_LENGTHS_SIZE = TelemetryCache::PACKET_BUFFER_SIZE;

    // Bytes that the looks for runs of packets inside resynchronisation
    // candidates may go over: per search, and more per byte searched.
    static constexpr long CHAIN_BUDGET = 4 << 20;
    static constexpr long CHAIN_BUDGET_PER_BYTE = 64;
    // The bytes that may stand between a packet and what follows it: a pad
    // byte and a frame's two-byte trailer.
    static constexpr long TRAILER_SLACK = 3;
    // Past a candidate's end, as far as a packet that begins inside it can
    // end: once the archive has shown labels, a follower may stand behind one
    // of any length, and any such packet may end a run.
    static constexpr long ANY_ENDING_REACH = CcsdsHeader::MAX_PACKET_BYTES + 1;
    // The hooks' steps and labels followerAt takes in a row: each needs a sync
    // word or a label, so more of them cost the test nothing of its strength.
    static constexpr int FOLLOWER_STEPS = 16;
    // Before damage, the first packet of a run inside a candidate may have as
    // many bytes as the longest the archive has shown, or this many: the
    // instruments' packets fit in 4 KiB.
    static constexpr size_t OWN_RUN_LENGTH = 4096;
    // How much of a label must stand inside a claim for the label to begin
    // inside it (labelBeginsInside): its first byte. The look reads the
    // label's other bytes past the claim's end, and they tell a label.
    static constexpr long LABEL_BYTES_IN_CLAIM = 1;
    // How many of its bytes inside a candidate's own bytes a label or a cut
    // header needs before the run look of the own bytes reads it past their
    // end: two. That look judges a packet just written by its own bytes, and
    // one byte tells nothing: the first of a label ('C') is common in a
    // payload, and a header's first byte read with zeros after it gives an
    // APID that passes. (Asking one byte here too refuses packets that the
    // finished file takes.)
    static constexpr long OWN_BYTES_INSIDE = 2;
    // Rejected packets in a row that one after a damaged packet may be.
    static constexpr int REJECTED_HOPS = 16;

    // A whole candidate [start, end) as the rule judges it.
    struct Whole
    {
        long start;
        long end;
        bool afterSkip;  // bytes were skipped since the last packet
        bool longer;     // longer than any packet of its APID so far
        bool damageSeen; // the archive had shown damage, or bytes were skipped, when its judgement began
    };

    // `needed`: what the looks already taken at this candidate needed of
    // bytes not yet written (`alreadyShort`: whether they needed any); a look
    // that needs to find no more such bytes once one has stops there.
    Verdict judge(const Seen& seen, long position, long start, bool knownValid, Need needed) const;
    Verdict judgeRejected(const Seen& seen, long position, long start, Need needed) const;
    Verdict judgePastEnd(const Seen& seen, long position, long start, bool afterSkip, Need needed) const;
    Verdict judgeFollowed(const Seen& seen, long position, const Whole& whole, Need labelShort, Need needed) const;
    Verdict eitherWay(const Seen& seen, const Whole& whole) const;
    Look<bool> refused(const Seen& seen, const Whole& whole, Follower follower, const Assumed& as,
                       bool alreadyShort) const;
    Look<long> passRejected(const Seen& seen, long position, long start, bool alreadyShort) const;
    long pastNonHeaders(long pos) const;
    Look<bool> rejectedFollowed(long end, size_t length, int hops) const;
    Look<bool> confirmedAt(long header, size_t total, bool atFileEnd, const Assumed& as) const;
    bool confirmedBy(Follower follower, long end, bool atFileEnd) const;
    enum RunLook : unsigned { RUN_VERIFIED = 1, RUN_AT_FILE_END = 2, RUN_AFTER_FRAME_STEP = 4, RUN_OWN_BYTES = 8 };
    Look<long> firstConfirmedRun(const Seen& seen, long start, long end, unsigned how, const Assumed& as,
                                 bool alreadyShort) const;
    // What one run look holds to: the candidate [start, end), its RunLook
    // flags, the archive's fixed bits it asks of a run (none: any), where the
    // hooks' steps are asked from, and what is assumed of the follower.
    struct RunSearch
    {
        long start;
        long end;
        unsigned how;
        const uint8_t* bits;
        long stepFrom;
        bool own; // RUN_OWN_BYTES
        const Assumed& as;
    };
    // A place the run look reads a header at: where (q), the header (-1:
    // none), the header past the hooks' step (-1: not read), whether the
    // look's budget was spent on the way, whether the looks before had
    // needed unwritten bytes, whether a step that begins inside waits for
    // its header, and whether a label or cut header there could not be read
    // (the look goes on after it).
    struct RunPlace
    {
        long q;
        long header = -1;
        long stepped = -1;
        bool spent = false;
        bool wasShort = false;
        bool stepUnread = false;
        bool unread = false;
    };
    // The parts of the run look, which go on in its Sight.
    RunPlace runPlaceAt(Sight& sight, const RunSearch& search, long q, bool alreadyShort) const;
    void ownBytesPlace(Sight& sight, const RunSearch& search, RunPlace& place) const;
    bool runConfirmed(Sight& sight, const RunSearch& search, long h, bool alreadyShort) const;
    bool runFollowed(Sight& sight, const RunSearch& search, long h, size_t total) const;
    // The later-packet look's answer, and the memo of it to keep.
    struct Later
    {
        Look<bool> look;
        LaterPacketLook memo;
    };
    Later laterPacket(const Seen& seen, long pos, long fileEnd) const;
    Look<Follower> followerAt(long end, size_t length, Label* label, bool* direct, const Assumed& as) const;
    Look<bool> swallows(const Seen& seen, long start, long end, Follower follower) const;
    // One chain look at the candidate [start, end): where a chain may end
    // (its end, or its follower), the last place a packet fits, whether the
    // hooks' steps are read, and packets[q - start], the packets of the chain
    // from each place after the one looked at, up to two (0: none).
    static constexpr long CHAIN_MIN_PACKET = CcsdsPrimaryHeader::SIZE + 1;
    static constexpr uint8_t CHAIN_OF_ONE = 1, CHAIN_OF_TWO = 2;
    struct ChainSearch
    {
        long start;
        long end;
        long follower;
        long last;
        bool hooks;
        uint8_t* packets;
        // The candidate's bytes, in the window whatever the look past them moved.
        const uint8_t* bytesAt(ArchiveWindow& w, long q) const
        {
            w.fill(start, size_t(end - start));
            return w.at(q);
        }
    };
    uint8_t chainAt(const ChainSearch& chain, long q, Need& need, Learned& learned) const;
    // `labels`: whether the archive has shown labels.
    bool holdsEnding(bool labels, long start, long end, long low, long high) const;
    Look<bool> holdsPair(const Seen& seen, long start, long end, const Assumed& as) const;
    Look<bool> labelBeginsInside(long start, long end) const;
    Look<bool> holdsStep(const Seen& seen, long start, long end, bool alreadyShort) const
    {
        // Hooks that read the stream would cost a seek per place: left out.
        if (seen.longestStep == 0 || !host.skipsOnBytes())
            return {false};
        return stepInLastBytes(seen, start, end, alreadyShort);
    }
    Look<bool> stepInLastBytes(const Seen& seen, long start, long end, bool alreadyShort) const;
    long nextUsualPlace(long q, long to, const uint8_t* bits) const;
    Look<bool> mayBeginRun(long q, long end, long stepFrom, const uint8_t* bits) const;
    long straddlingHeader(long q, long end, const uint8_t* bits) const;
    bool stepBeginsInside(long q, long end) const;
    Look<bool> holdsConfirmedRun(const Seen& seen, long header, size_t total, const Assumed& as) const;
    // The fixed bits (version, type, secondary-header flag, sequence flags)
    // of the last packet taken, none before the first.
    const uint8_t* archiveBits() const { return shown.tookPacket ? shown.lastTaken.data() : nullptr; }
    inline bool usualBits(const uint8_t* header) const; // defined where it is used

    // ---- State ----

    TelemetryCache::ParseHost host;
    ArchiveWindow& window;
    // Decide as a read of the finished file decides at its end: in the parse
    // that opens a finished file, and once the file has not grown for
    // PARTIAL_READ_LIMIT polls (settled: then nothing waits).
    bool atEnd = false;
    bool settled = false;
    bool finishedOpen = false; // the parse that opens a finished file, until it settles
    bool settlesHere = false;  // it would wait: it settles there (settleHere())
    long fileSize = 0; // at the start of this parse
    bool stoppedInSearch = false; // the parse stopped at a candidate its search had reached
    // Where the last parse ended: with bytes skipped since the last packet,
    // and with candidates refused (or labels found damaged). The next parse
    // carries on the search as it was.
    bool endedSkipping = false;
    bool endedRefusing = false;
    // Bytes skipped since the last packet, over the parses a search cut short
    // by the end of the file took: the stretch [position - skipped, position).
    long skipped = 0;
    // Where a line said the stretch up to, at the end of a finished file.
    long saidTo = -1;
    long refusals = 0; // candidates refused and labels found damaged since the last packet, in this parse
    Next following; // what the parse takes next, as the looks at the last packet read it
    Next current;   // the candidate's header and label
    mutable std::unique_ptr<uint8_t[]> chainLengths; // per byte of a candidate, for swallows()
    bool judging = false; // whether validHeader tells packets from other bytes
    Shown shown;

    // Where a cache without a header test last said it leaves a packet
    // unread, and the file's size then: said once until either changes. The
    // file's size when the parse first left it unread there: the file the
    // replay reads.
    long leftAt = -1;
    long leftSize = -1;
    long leftFirstSize = -1;
    // While the replay reads the file as it was: where that file ended.
    long replayEnd = -1;
};

} // namespace GseLib
