// The rule that decides each CCSDS candidate, and the looks it takes at the
// archive's bytes (runs of packets, followers, what a candidate holds).
#include "gselib/packets/ccsdsparser.h"

#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/ccsdsscan.h"

#include <algorithm>
#include <cstring>

namespace GseLib {

namespace {

using CcsdsHeader::apidOf;
using CcsdsHeader::packetBytes;
using CcsdsHeader::sameFixedBits;


#if defined(__SSE2__)
using CcsdsScan::FixedBitsMask;
#endif
using CcsdsScan::forEachEnding;
using CcsdsScan::forEachLabel;

} // namespace

const CcsdsParser::Assumed CcsdsParser::NOTHING_ASSUMED{};

// Whether a header has the archive's fixed bits (any has them before the
// first packet): a damaged header of the archive's own keeps them, the bytes
// of a payload that pass for a header seldom do. Asked of every byte a search
// tries.
inline bool CcsdsParser::usualBits(const uint8_t* header) const
{
    return !shown.tookPacket || sameFixedBits(shown.lastTaken.data(), header);
}

// ---- CCSDS candidates --------------------------------------------------------
//
// One rule for every CCSDS candidate, at a packet boundary or while
// resynchronising: a header that passes, whose packet is whole, is taken
// unless
//  - its end is not followed by what the parse takes next (a header that
//    passes, a label, a frame step, padding, or the end of the file) and a
//    confirmed run begins inside the bytes it claims; or
//  - it holds a run of packets that ends where it ends, or, in an archive
//    that has shown damage, a packet followed by another, or a label before
//    one (a damaged length that lands on a packet boundary); or
//  - while resynchronising, a confirmed run begins inside it; or
//  - in an archive that has shown damage, what the hooks step over (a
//    frame's trailer and header) stands in its last bytes.
// A confirmed run is a header that passes, whose packet is followed by what
// the parse takes next and holds no such run itself. A run whose header's
// fixed bits (version, type, secondary-header flag, sequence flags) are not
// the archive's tells nothing against a candidate whose bits are. A refused
// candidate is searched on from its next byte, so that a packet between the
// damage and the run is kept. A damaged header (a packet cut short, a length
// field hit) claims bytes that hold the intact packets after it; an intact
// packet with damage after it holds none, and is taken.

CcsdsParser::Verdict CcsdsParser::judge(const Seen& seen, long position, long start, bool knownValid,
                                        Need needed) const
{
    const bool afterSkip = skipped > 0 || endedSkipping;
    if (!knownValid && !host.validHeader(window.at(start)))
        return judgeRejected(seen, position, start, needed);
    const size_t total = packetBytes(window.at(start));
    if (window.fill(start, total) < total)
        return judgePastEnd(seen, position, start, afterSkip, needed);
    if (!judging)
        return {Verdict::Take, -1, needed, seen};
    const long end = start + long(total);
    Verdict v;
    {
        // The candidate's bytes stay in the window while the tests look past them.
        const ArchiveWindow::Anchored keep(window, start);
        // Whether the label look needed bytes not yet written is kept apart
        // from what the looks after it say.
        const Look<bool> hasLabel = labelBeginsInside(start, end);
        if (hasLabel.answer) {
            Seen damaged = seen;
            damaged.damaged = true;
            return {Verdict::Refuse, position + 1, needed, damaged};
        }
        needed.add(hasLabel.need);
        // At a packet boundary the looks for packets inside a followed
        // candidate are spent on an archive that has shown damage; before
        // that, only the look for a run ending where it ends (which payload
        // bytes hardly ever pass), on a packet longer than any of its APID so
        // far: a damaged length claims more than its type's packets hold.
        const Whole whole{start, end, afterSkip, total > shown.longest[apidOf(window.at(start))],
                          seen.damaged || afterSkip};
        Seen shows = seen;
        shows.longestAny = std::max(shows.longestAny, uint32_t(total));
        v = judgeFollowed(shows, position, whole, hasLabel.need, needed);
    }
    window.fill(start, total);
    v.judged = uint32_t(total);
    return v;
}

// A header that validHeader rejects: where the search goes on.
CcsdsParser::Verdict CcsdsParser::judgeRejected(const Seen& seen, long position, long start, Need needed) const
{
    Sight sight(seen);
    long resume = position + 1;
    if (judging)
        resume = sight.read(passRejected(seen, position, start, bool(needed)));
    needed.add(sight.need);
    if (resume == position + 1 && start == position)
        resume = pastNonHeaders(resume);
    return {resume < 0 ? Verdict::Wait : Verdict::Refuse, resume, needed, sight.seen};
}

// A candidate that runs past the end of the file: waited for while the file
// grows (a read of the finished file judges it whole). At the end of the
// file, left to the growing-file rules, unless, after a refused candidate, a
// packet follows within the file, or, in an archive that has shown damage,
// the bytes it claims already hold a packet followed by a header that passes
// (a packet being written does not hold such a run; in an undamaged archive
// it is waited for, whatever its payload passes for).
CcsdsParser::Verdict CcsdsParser::judgePastEnd(const Seen& seen, long position, long start, bool afterSkip,
                                               Need needed) const
{
    if (!atEnd)
        return {Verdict::Partial, -1, needed, seen};
    const long fileEnd = window.end();
    Verdict v{Verdict::Partial, -1, needed, seen};
    if (afterSkip && (refusals || endedRefusing)) {
        const Later later = laterPacket(seen, start, fileEnd);
        v.seen.learn(later.look.learned);
        v.later = later.memo;
        if (later.look.answer) {
            v.verdict = Verdict::Refuse;
            v.resume = position + 1;
            return v;
        }
    }
    if (judging && (v.seen.damaged || afterSkip)) {
        const ArchiveWindow::Anchored keep(window, start);
        const Look<long> run = firstConfirmedRun(v.seen, start, fileEnd, RUN_VERIFIED, NOTHING_ASSUMED, bool(needed));
        v.need.add(run.need);
        v.seen.learn(run.learned);
        if (run.answer >= 0) {
            v.verdict = Verdict::Refuse;
            v.resume = position + 1;
        }
    }
    return v;
}

// A whole candidate, judged by what follows it. `labelShort`: what the label
// look needed of bytes not yet written. A taken candidate's follower that the
// looks read is what the parse takes next.
CcsdsParser::Verdict CcsdsParser::judgeFollowed(const Seen& seen, long position, const Whole& whole, Need labelShort,
                                                Need needed) const
{
    Label label;
    bool direct = false;
    // What the look at its follower learns of the archive (labels, the
    // hooks' steps) is not used in judging the candidate: a file that ends at
    // the candidate's end does not show it yet.
    const size_t total = size_t(whole.end - whole.start);
    const Look<Follower> followerLook = followerAt(whole.end, total, &label, &direct, NOTHING_ASSUMED);
    const Follower follower = followerLook.answer;
    needed.add(followerLook.need);
    if (follower.kind == Follower::Short && !atEnd) {
        // Judged either way: what the looks before needed counts no more.
        Verdict v = eitherWay(seen, whole);
        v.need.add(labelShort);
        return v;
    }
    Seen shows = seen;
    shows.damaged = whole.damageSeen || follower.kind == Follower::None;
    const Look<bool> no = refused(shows, whole, follower, NOTHING_ASSUMED, bool(needed));
    needed.add(no.need);
    shows.learn(no.learned);
    Verdict v{no.answer ? Verdict::Refuse : Verdict::Take, no.answer ? position + 1 : -1, needed, shows};
    if (!no.answer && follower.found() && direct) {
        // What the parse takes next, already looked at; what reading it
        // learned counts from here, as where the parse reads it itself.
        v.follower = {whole.end, follower.at, label};
        v.seen.learn(followerLook.learned);
    }
    return v;
}

// Whether the whole candidate is refused, its end followed by `follower`
// (a header, or the end of the file) or not (None).
inline CcsdsParser::Look<bool> CcsdsParser::refused(const Seen& seen, const Whole& whole, Follower follower,
                                                    const Assumed& as, bool alreadyShort) const
{
    const long start = whole.start, end = whole.end;
    const bool followed = follower.kind != Follower::None;
    Sight sight(seen);
    if (followed) {
        bool no = false;
        if (seen.damaged) {
            no = sight.read(holdsStep(sight.seen, start, end, alreadyShort));
            if (!no && !whole.afterSkip)
                no = sight.read(holdsPair(sight.seen, start, end, as));
        }
        if (!no && (seen.damaged || whole.longer))
            no = sight.read(swallows(sight.seen, start, end, follower));
        if (no || !whole.afterSkip)
            return sight.answer(no);
    }
    // Before the archive has shown damage, a run tells against a packet that
    // is not followed only when it begins in the packet's own bytes (at any
    // place of its claim, read without what follows it): a packet just
    // written, before what follows it, is then judged as the finished file
    // judges it.
    const unsigned own = whole.damageSeen ? 0u : unsigned(RUN_OWN_BYTES);
    const unsigned frameStep = followed ? 0u : unsigned(RUN_AFTER_FRAME_STEP);
    // The search goes on through the candidate's bytes: a packet before the
    // run, followed by more damage, is kept as any such packet is.
    const unsigned how = RUN_VERIFIED | RUN_AT_FILE_END | frameStep | own;
    const long run = sight.read(firstConfirmedRun(sight.seen, start, end, how, as, alreadyShort || bool(sight.need)));
    return sight.answer(run >= 0);
}

// The verdict on a whole candidate whose follower is not (all) written yet.
// It is taken when it would be either way, followed or not, each judged on
// the bytes in the file; otherwise its verdict waits for the follower
// (Unsure).
CcsdsParser::Verdict CcsdsParser::eitherWay(const Seen& before, const Whole& whole) const
{
    const long start = whole.start, end = whole.end;
    const size_t span = size_t(end - start);
    Seen seen = before;
    seen.damaged = whole.damageSeen;
    // Followed: as if by a header right at its end; what its looks learn is
    // not kept. A follower past what the hooks step over (and labels) could
    // also end a run that begins inside it.
    Seen ifFollowed = seen;
    Need need;
    const Assumed followed{end, host.paddingAfter(span), {Follower::Header, end}};
    const long steps = (FOLLOWER_STEPS + 1) * std::max(seen.longestStep, long(SKIP_LOOKAHEAD));
    const long reach = seen.labels ? ANY_ENDING_REACH : steps + TRAILER_SLACK;
    if ((seen.damaged || whole.longer) && holdsEnding(seen.labels, start, end, long(span) + 1, long(span) + reach))
        need.add({end + reach});
    bool refusedIfFollowed = bool(need);
    if (!refusedIfFollowed) {
        const Look<bool> no = refused(seen, whole, followed.follower, followed, false);
        need.add(no.need);
        ifFollowed.learn(no.learned);
        refusedIfFollowed = no.answer;
    }
    // Not followed.
    const Assumed notFollowed{end, followed.padding, {Follower::None}};
    bool refusedIfNot = bool(need);
    if (!refusedIfNot) {
        const Look<bool> no = refused(seen, whole, notFollowed.follower, notFollowed, false);
        need.add(no.need);
        seen.learn(no.learned);
        refusedIfNot = no.answer;
    }
    // Its verdict waits for the follower's bytes.
    if (refusedIfFollowed || refusedIfNot || seen.labels != ifFollowed.labels ||
        seen.longestStep != ifFollowed.longestStep)
        need.add({end + long(CcsdsPrimaryHeader::SIZE)});
    return {Verdict::Take, -1, need, seen};
}

// The first place from `pos` where a search could find anything: a header
// that passes, or is plausible with the archive's fixed bits, or the first
// byte of an archive label. The search steps over the bytes before it at
// once, as it would one by one.
long CcsdsParser::pastNonHeaders(long pos) const
{
    long last = window.end() - long(CcsdsPrimaryHeader::SIZE);
    // A search that ends at maxScan bytes reports where it stopped.
    if (host.maxScan() > 0)
        last = std::min(last, pos - 1 + long(host.maxScan()) - skipped);
    for (; pos < last; ++pos) {
        const uint8_t* b = window.at(pos);
        // A rejected header is passed over only with the archive's fixed
        // bits (passRejected): plausibleHeader is not asked of the others.
        if (b[0] == uint8_t(ArchiveLabel::MAGIC[0]) || host.validHeader(b) ||
            (judging && usualBits(b) && host.plausibleHeader(b)))
            break;
    }
    return pos;
}

// Where the search goes on after a header that validHeader rejects at
// `start`. One of a known type (plausibleHeader) with the archive's fixed
// bits, whole and followed by what the parse takes next, is a damaged packet
// (a length past its type's limit): its payload is passed over whole, so
// that bytes of it that pass for a header are not taken; unless a confirmed
// run begins inside it, which tells that its claim holds packets.
// Anything else: the next byte. -1: wait for the file to grow.
CcsdsParser::Look<long> CcsdsParser::passRejected(const Seen& seen, long position, long start,
                                                  bool alreadyShort) const
{
    if (!host.plausibleHeader(window.at(start)) || !usualBits(window.at(start)))
        return {position + 1, {}};
    const size_t total = packetBytes(window.at(start));
    if (window.fill(start, total) < total) {
        // Still being written, unless (at the end of the file) a packet
        // follows within the file: its bytes are not searched until they are
        // all there.
        if (!atEnd)
            return {-1, {start + long(total)}};
        const long fileEnd = window.end();
        const ArchiveWindow::Anchored keep(window, start);
        const Look<long> run =
            firstConfirmedRun(seen, start, fileEnd, RUN_AT_FILE_END, NOTHING_ASSUMED, alreadyShort);
        return {run.answer >= 0 ? position + 1 : -1, run.need, run.learned};
    }
    const ArchiveWindow::Anchored keep(window, start);
    const long end = start + long(total);
    Sight sight(seen);
    bool whole = sight.read(rejectedFollowed(end, total, REJECTED_HOPS));
    if (whole) {
        whole = sight.read(firstConfirmedRun(sight.seen, start, end, RUN_VERIFIED | RUN_AT_FILE_END, NOTHING_ASSUMED,
                                             alreadyShort || bool(sight.need))) < 0;
    }
    return sight.answer(whole ? end : position + 1);
}

// Whether what follows a rejected packet that ends at `end` is what the parse
// takes next, or, up to `hops` times, another rejected packet of a known
// type, whole, that is so followed: damage comes in runs.
CcsdsParser::Look<bool> CcsdsParser::rejectedFollowed(long end, size_t length, int hops) const
{
    Look<Follower> follower = followerAt(end, length, nullptr, nullptr, NOTHING_ASSUMED);
    Need need = follower.need;
    Learned learned = follower.learned;
    if (follower.answer.kind != Follower::None)
        return {true, need, learned};
    if (hops == 0)
        return {false, need, learned};
    const Look<HeaderAt> header = headerAt(end, nullptr);
    need.add(header.need);
    learned.add(header.learned);
    const long h = header.answer.at;
    if (!header.answer.found() || !host.plausibleHeader(window.at(h)))
        return {false, need, learned};
    const size_t total = packetBytes(window.at(h));
    if (window.fill(h, total) < total) {
        need.add(shortOf(h + long(total)));
        return {false, need, learned};
    }
    Look<bool> next = rejectedFollowed(h + long(total), total, hops - 1);
    next.need.add(need);
    next.learned.add(learned);
    return next;
}

// Whether the packet of `total` bytes at `header` is whole within the file
// and followed by what the parse would take next.
CcsdsParser::Look<bool> CcsdsParser::confirmedAt(long header, size_t total, bool atFileEnd, const Assumed& as) const
{
    if (window.fill(header, total) < total)
        return {false, shortOf(header + long(total))};
    const Look<Follower> f = followerAt(header + long(total), total, nullptr, nullptr, as);
    return {confirmedBy(f.answer, header + long(total), atFileEnd), f.need, f.learned};
}

// Whether a packet that ends at `end` is confirmed by what followerAt found
// after it: a header the parse takes, or the end of the file.
bool CcsdsParser::confirmedBy(Follower follower, long end, bool atFileEnd) const
{
    return follower.found() || (follower.kind == Follower::Short && (atFileEnd || end == host.fileSize()));
}

// The first place after `start` and before `end` where a confirmed run
// begins (or its label); -1 when there is none.
// - RUN_VERIFIED: a run must itself hold none: bytes of a payload pass for a
//   header whose length lands on a real packet now and then, and such a false
//   run covers the real packets after it.
// - RUN_AT_FILE_END: a run may be followed by the end of the file, not only
//   by a header that passes.
// - RUN_AFTER_FRAME_STEP: a run may begin with the hooks' step (a frame's
//   trailer and header) inside the candidate. Only for a candidate that is
//   not followed: the step after one that is can be seen from its last byte.
CcsdsParser::Look<long> CcsdsParser::firstConfirmedRun(const Seen& seen, long start, long end, unsigned how,
                                                       const Assumed& as, bool alreadyShort) const
{
    Sight sight(seen);
    // Against a candidate with the archive's fixed bits only a header with
    // them tells (runConfirmed): the places between are stepped over at once.
    window.fill(start, CcsdsPrimaryHeader::SIZE);
    const uint8_t* bits = usualBits(window.at(start)) ? archiveBits() : nullptr;
    // A step no longer than those the archive has shown, ending inside the
    // candidate, reaches a header that the places after it find themselves:
    // the hooks are asked only where one would end past it. (Before the
    // first step, they are not asked.)
    const long stepFrom = (how & RUN_AFTER_FRAME_STEP) ? std::max(start + 1, end - seen.longestStep) : end;
    const RunSearch search{start, end, how, bits, stepFrom, (how & RUN_OWN_BYTES) != 0, as};
    for (long q = start + 1; q < end; ++q) {
        const RunPlace place = runPlaceAt(sight, search, q, alreadyShort);
        q = place.q;
        if (place.unread)
            continue;
        if (place.header < 0) {
            // The places left hold less than a header before the end of the
            // file: a run may begin there only where their bytes agree with
            // one, so far as they go.
            if (!place.spent && !sight.seen.budget.spent() && sight.need && !place.wasShort && !place.stepUnread &&
                !sight.read(mayBeginRun(q, end, stepFrom, bits)))
                sight.need = Need();
            return sight.answer(-1L);
        }
        if (runConfirmed(sight, search, place.header, alreadyShort))
            return sight.answer(q);
    }
    return sight.answer(-1L);
}

// The place from q on where the run look reads a header, and the header it
// reads there (as the search reads one, or past the hooks' step from
// search.stepFrom on). Where a run begins is read from the candidate's bytes
// alone with RUN_OWN_BYTES; what follows it is read wherever it stands.
inline CcsdsParser::RunPlace CcsdsParser::runPlaceAt(Sight& sight, const RunSearch& search, long q,
                                                     bool alreadyShort) const
{
    RunPlace place{q};
    {
        const ArchiveWindow::HeldBack horizon(window, search.own ? search.end : -1);
        if (search.bits && q < search.stepFrom) {
            const long p = nextUsualPlace(q, search.stepFrom, search.bits);
            if (!sight.trySpend(p - q)) {
                sight.exhaust();
                place.spent = true;
            } else {
                place.q = p;
                place.spent = p >= search.end;
            }
        }
        place.wasShort = alreadyShort || bool(sight.need);
        if (!place.spent && sight.spendPlace()) {
            if (place.q >= search.stepFrom)
                place.header = place.stepped = sight.read(headerAt(place.q, nullptr)).at;
            if (place.header < 0)
                place.header = sight.read(resyncHeaderAt(place.q, nullptr)).at;
        }
    }
    if (search.own && !place.spent && !sight.seen.budget.spent())
        ownBytesPlace(sight, search, place);
    return place;
}

// What begins in the candidate's own bytes but runs past its end counts when
// those bytes may begin it: a label (two bytes of it at least), or a header
// the end cuts through. It is read whole, waiting for its bytes if need be.
// So is a step whose frame header its bytes begin (a sync word is hardly
// ever payload): a packet cut short that claims the next frame's first
// bytes. The places with less than a header's bytes are the last looked at.
void CcsdsParser::ownBytesPlace(Sight& sight, const RunSearch& search, RunPlace& place) const
{
    const long q = place.q, end = search.end;
    const size_t inside = size_t(std::min(long(ArchiveLabel::LOOKAHEAD), end - q));
    long p = -1;
    if (inside >= size_t(OWN_BYTES_INSIDE) && ArchiveLabel::couldStart(window.at(q), inside))
        p = q;
    else if (place.header < 0 && q > end - long(CcsdsPrimaryHeader::SIZE))
        p = straddlingHeader(q, end, search.bits);
    if (p >= 0) {
        place.q = p;
        place.header = sight.read(resyncHeaderAt(p, nullptr)).at;
        place.unread = place.header < 0;
        return;
    }
    if (place.stepped >= 0)
        return;
    for (long r = std::max(q, search.stepFrom); r < (place.header < 0 ? end : q + 1); ++r) {
        if (stepBeginsInside(r, end)) {
            const long w = sight.read(headerAt(r, nullptr)).at;
            if (w >= 0) {
                place.q = r;
                place.header = w;
            }
            place.stepUnread = w < 0;
            return;
        }
    }
}

// Whether the header at h begins a confirmed run that tells against the
// candidate of the search.
inline bool CcsdsParser::runConfirmed(Sight& sight, const RunSearch& search, long h, bool alreadyShort) const
{
    // A run without the archive's fixed bits tells nothing against a
    // candidate with them.
    if (search.bits && !usualBits(window.at(h)))
        return false;
    if (!host.validHeader(window.at(h)))
        return false;
    const size_t total = packetBytes(window.at(h));
    const long after = h + long(total);
    // Before damage, a run whose first packet reaches past the candidate is
    // of a length the archive's packets have: a damaged header claims such
    // packets, bytes of a payload that pass for a header of a type of any
    // length claim as much as their length field says.
    if (search.own && after > search.end && total > std::max<size_t>(sight.seen.longestAny, OWN_RUN_LENGTH))
        return false;
    // A run ending where the candidate ends shares its follower: it tells
    // against the candidate only when its header's fixed bits are the
    // candidate's. (Inside a run being verified, any run tells.)
    const bool verified = search.how & RUN_VERIFIED;
    if (verified && after <= search.end && after >= search.end - TRAILER_SLACK &&
        !sameFixedBits(window.at(search.start), window.at(h)))
        return false;
    if (verified && window.fill(h, total) < total && sight.read(holdsConfirmedRun(sight.seen, h, total, search.as)))
        return false; // the bytes written of its claim already hold a run: no run of its own
    if (!runFollowed(sight, search, h, total))
        return false;
    return !verified ||
           sight.read(firstConfirmedRun(sight.seen, h, after, RUN_AT_FILE_END, search.as,
                                        alreadyShort || bool(sight.need))) < 0;
}

// Whether the packet of `total` bytes at h is followed as a run's first
// packet must be: by what the parse takes next, or, with RUN_AT_FILE_END, by
// the end of the file.
inline bool CcsdsParser::runFollowed(Sight& sight, const RunSearch& search, long h, size_t total) const
{
    if (search.how & RUN_AT_FILE_END)
        return sight.read(confirmedAt(h, total, true, search.as));
    if (window.fill(h, total) < total) {
        sight.need.add(shortOf(h + long(total)));
        return false;
    }
    return sight.read(followerAt(h + long(total), total, nullptr, nullptr, search.as)).found();
}

// The first place from q before `end`, with less than a header's bytes
// before it but at least two, whose bytes there have the archive's fixed bits
// (given `bits`) and, the rest read as zeros, pass the header test or are of a
// known type; -1 when there is none.
long CcsdsParser::straddlingHeader(long q, long end, const uint8_t* bits) const
{
    window.fill(q, size_t(end - q));
    for (long p = std::max(q, end - long(CcsdsPrimaryHeader::SIZE) + 1); p + OWN_BYTES_INSIDE <= end; ++p) {
        uint8_t h[CcsdsPrimaryHeader::SIZE] = {};
        std::memcpy(h, window.at(p), size_t(end - p));
        if (bits && !sameFixedBits(bits, h, size_t(end - p)))
            continue;
        if (host.validHeader(h) || host.plausibleHeader(h))
            return p;
    }
    return -1;
}

// Whether the hooks step at q on the strength of the bytes before `end`
// alone: shown them, and shown them inverted, they answer otherwise. A step
// they would take whatever those bytes are begins past them.
bool CcsdsParser::stepBeginsInside(long q, long end) const
{
    constexpr size_t LOOK = SKIP_LOOKAHEAD;
    if (!host.skipsOnBytes())
        return false;
    const size_t n = window.fill(q, size_t(std::min(long(LOOK), end - q)));
    uint8_t b[LOOK];
    std::memcpy(b, window.at(q), n);
    if (host.skipBeforeCcsds(b, n) == 0)
        return false;
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(~b[i]);
    return host.skipBeforeCcsds(b, n) == 0;
}

// Whether the bytes written of the claim of the packet of `total` bytes at
// `header`, not all there, hold a confirmed run already, whatever follows
// (a run confirmed by what follows it, not by the end of the file): then the
// packet is no run of its own in the finished file either. Bytes of a
// payload that pass for a header claiming far claim the packets after them.
CcsdsParser::Look<bool> CcsdsParser::holdsConfirmedRun(const Seen& seen, long header, size_t total,
                                                        const Assumed& as) const
{
    const long anchor = window.anchor();
    // A candidate anchored before it keeps it in the window too.
    const ArchiveWindow::Anchored keep(window, anchor < 0 || anchor > header ? header : anchor);
    const Look<long> run = firstConfirmedRun(seen, header, header + long(total), RUN_AT_FILE_END, as, false);
    // What it needed of unwritten bytes makes it no run yet.
    return {run.answer >= 0 && !run.need, {}, run.learned};
}

// Whether a run may begin at a place from q on, before `end`, each holding
// fewer than a header's bytes before the end of the file: a label's first
// bytes, a header with the fixed bits of the one at `bits` (any header
// without it), or, from `stepFrom` on, where the hooks may step.
CcsdsParser::Look<bool> CcsdsParser::mayBeginRun(long q, long end, long stepFrom, const uint8_t* bits) const
{
    const long have = long(window.fill(q, size_t(end - q) + ArchiveLabel::LOOKAHEAD));
    // A step is at most a pad byte and a frame's trailer, then the frame's
    // header. Where the file holds the trailer after the candidate, a step
    // from inside it whose header is not yet seen begins that header where
    // the candidate's own follower does, which (it being not followed)
    // leads to no run.
    if (q + have >= end + TRAILER_SLACK - 1)
        stepFrom = end;
    Learned learned;
    for (long p = q; p < end && p < q + have; ++p) {
        const uint8_t* b = window.at(p);
        const size_t n = size_t(q + have - p);
        if (ArchiveLabel::couldStart(b, std::min(n, ArchiveLabel::LOOKAHEAD)))
            return {true, {}, learned};
        if (!bits || sameFixedBits(bits, b, n))
            return {true, {}, learned};
        if (p >= stepFrom) {
            const Look<long> step = hooksStep(p);
            learned.add(step.learned);
            if (step.answer != p)
                return {true, {}, learned};
        }
    }
    return {false, {}, learned};
}

// The first place from q before `to` where a header with the fixed bits of
// the one at `bits`, or an archive label, may begin; `to` when there is none.
// Stops at a place with fewer than a header's bytes left in the file, which
// the caller looks at itself.
long CcsdsParser::nextUsualPlace(long q, long to, const uint8_t* bits) const
{
    constexpr long HEADER = CcsdsPrimaryHeader::SIZE;
    const long have = long(window.fill(q, size_t(to - q) + HEADER - 1));
    const uint8_t* b = window.at(q);
    // Places with a header's bytes, the bytes of the last one included.
    const long places = std::min(to - q, have - HEADER + 1);
    long i = 0;
#if defined(__SSE2__)
    const FixedBitsMask fixedBits(bits);
    const __m128i magic = _mm_set1_epi8(ArchiveLabel::MAGIC[0]);
    // Sixteen places read b[i] to b[i + 17]: their fixed bits reach the third byte.
    constexpr long LANES = 16;
    for (; i + LANES <= places && i + LANES + 2 <= have; i += LANES) {
        const __m128i label = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)), magic);
        const unsigned m = unsigned(_mm_movemask_epi8(_mm_or_si128(fixedBits(b + i), label)));
        if (m)
            return q + i + __builtin_ctz(m);
    }
#endif
    for (; i < places; ++i) {
        if (sameFixedBits(bits, b + i) || b[i] == uint8_t(ArchiveLabel::MAGIC[0]))
            return q + i;
    }
    return q + i;
}

// After a refused candidate: whether a packet that the candidate tests accept,
// with a header seen after it or ending where the file ends, begins after
// pos and ends within the file. A packet still being written is the last
// one, so a candidate at pos that runs past the end of the file is then
// garbage. The last answer is kept: nothing found after an earlier position
// means nothing after a later one.
CcsdsParser::Later CcsdsParser::laterPacket(const Seen& seen, long pos, long fileEnd) const
{
    constexpr long HEADER = CcsdsPrimaryHeader::SIZE;
    if (const std::optional<bool> known = shown.later.known(pos, fileEnd))
        return {{*known}, shown.later};
    Sight sight(seen);
    const LaterPacketLook memo = LaterPacketLook::from(pos, fileEnd, fileEnd - HEADER - 1, [&](long o) {
        if (window.fill(o, HEADER) < size_t(HEADER))
            return LaterPacketLook::END;
        if (!host.validHeader(window.at(o)))
            return LaterPacketLook::NONE;
        const size_t total = packetBytes(window.at(o));
        if (o + long(total) > fileEnd)
            return LaterPacketLook::NONE;
        const ArchiveWindow::Anchored keep(window, o);
        if (window.fill(o, total) < total)
            return LaterPacketLook::NONE;
        // Confirmed by its follower, and holding no run that ends at it.
        const long end = o + long(total);
        const Follower follower = sight.read(followerAt(end, total, nullptr, nullptr, NOTHING_ASSUMED));
        const bool taken =
            confirmedBy(follower, end, end == fileEnd) && !sight.read(swallows(sight.seen, o, end, follower));
        return taken ? LaterPacketLook::FOUND : LaterPacketLook::NONE;
    });
    // What it needed of unwritten bytes does not count: it looks only at
    // packets that end within the file.
    return {{memo.found(), {}, sight.learned}, memo};
}

// What follows a packet that ends at `end`, looked at as the parse would: an
// archive label and the hooks' steps, taken again while they move or a label
// stands a few bytes on (frames end in a trailer of their own, and empty
// frames follow one another), or the padding an odd packet may carry.
// Returns where a header that passes validHeader begins, Short when the file
// ends there or does not yet hold enough to tell (a later grow reads on from
// there, as after any packet), else None. `direct` tells
// whether the header is where the parse's own next step finds it, and
// `label` then gets the label before it.
CcsdsParser::Look<CcsdsParser::Follower> CcsdsParser::followerAt(long end, size_t length, Label* label, bool* direct,
                                                                 const Assumed& as) const
{
    if (direct)
        *direct = false;
    // Only a packet that may carry the candidate's padding shares its follower.
    if (end == as.end && host.paddingAfter(length) == as.padding)
        return {as.follower, {}};
    Need need;
    Learned learned;
    long first = -1;
    long at = end;
    for (int step = 0; step <= FOLLOWER_STEPS; ++step) {
        const Look<HeaderAt> look = headerAt(at, step == 0 ? label : nullptr);
        const long header = look.answer.at;
        need.add(look.need);
        learned.add(look.learned);
        if (look.answer.kind == HeaderAt::LabelDamaged)
            return {{Follower::None}, need, learned}; // what the parse steps over byte by byte
        if (!look.answer.found())
            return {{Follower::Short}, need, learned};
        if (host.validHeader(window.at(header))) {
            if (direct)
                *direct = step == 0;
            return {{Follower::Header, header}, need, learned};
        }
        if (first < 0)
            first = header;
        const Look<long> stepped = hooksStep(header);
        learned.add(stepped.learned);
        at = stepped.answer;
        if (at != header)
            continue;
        long labelAt = 0;
        for (long k = 1; k <= TRAILER_SLACK && !labelAt; ++k) {
            const size_t n = window.fill(header + k, ArchiveLabel::LOOKAHEAD);
            if (!ArchiveLabel::couldStart(window.at(header + k), n))
                continue;
            if (n < ArchiveLabel::LOOKAHEAD) {
                need.add(shortOf(header + k + long(n) + 1));
                return {{Follower::Short}, need, learned}; // a label still being written
            }
            labelAt = header + k;
        }
        if (!labelAt)
            break;
        at = labelAt;
    }
    // Padding stands only where nothing was stepped over.
    const long padding = first == end ? std::min(long(host.paddingAfter(length)), TRAILER_SLACK) : 0;
    for (long k = 1; k <= padding; ++k) {
        if (window.fill(end + k, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE)) {
            need.add(shortOf(end + k + long(CcsdsPrimaryHeader::SIZE)));
            return {{Follower::Short}, need, learned};
        }
        if (host.validHeader(window.at(end + k)))
            return {{Follower::Header, end + k}, need, learned};
    }
    return {{Follower::None}, need, learned};
}

// Whether the candidate packet [start, end) swallows a chain of packets: a
// header inside it that passes validHeader, with the archive's fixed bits,
// followed by at least one more packet (that passes, or is plausible), each
// stepping by its length (and over what the hooks step over, or padding), the
// last ending where the candidate ends or where its follower begins. Real
// packets tile the length of a damaged header that lands on their boundary;
// the bytes of a real packet hardly ever do.
CcsdsParser::Look<bool> CcsdsParser::swallows(const Seen& seen, long start, long end, Follower followed) const
{
    const size_t span = size_t(end - start);
    if (span <= 2 * CHAIN_MIN_PACKET)
        return {false};
    // Bytes crafted to pass the other tests again and again could make this
    // look quadratic; past its budget the look is left out.
    if (!seen.budget.canSpend(long(span)))
        return {false};
    Learned learned{false, 0, long(span)};
    // Where a chain may end besides the candidate's end: at its follower.
    const long follower = followed.found() ? followed.at : end;
    // A chain needs a packet ending a few bytes (padding, a frame's trailer)
    // before the candidate's end, or at its follower.
    if (!holdsEnding(seen.labels, start, end, long(span) - TRAILER_SLACK, std::max(end, follower) - start))
        return {false, {}, learned};
    Need need;
    if (!chainLengths)
        chainLengths.reset(new uint8_t[CHAIN_LENGTHS_SIZE]);
    // Hooks that read the stream would cost a seek per byte here: left out.
    const ChainSearch chain{start, end, follower, end - CHAIN_MIN_PACKET,
                            host.skipsOnBytes() || host.streamHookIsBase(), chainLengths.get()};
    for (long q = chain.last; q > start; --q) {
        const uint8_t best = chainAt(chain, q, need, learned);
        chain.packets[q - start] = best;
        if (best == CHAIN_OF_TWO && host.validHeader(chain.bytesAt(window, q)) && usualBits(chain.bytesAt(window, q)))
            return {true, need, learned};
    }
    return {false, need, learned};
}

// The packets of the chain that begins at q, up to two (0: none), from those
// of the places after it.
inline uint8_t CcsdsParser::chainAt(const ChainSearch& chain, long q, Need& need, Learned& learned) const
{
    const uint8_t* h = chain.bytesAt(window, q);
    const long after = q + long(packetBytes(h));
    if (after > std::max(chain.end, chain.follower))
        return 0; // most bytes: no packet that fits
    if (!host.validHeader(h) && !host.plausibleHeader(h))
        return 0;
    uint8_t best = 0;
    auto reach = [&](long r) {
        if (r == chain.end || r == chain.follower)
            best = std::max(best, CHAIN_OF_ONE);
        else if (r > q && r <= chain.last && chain.packets[r - chain.start])
            best = CHAIN_OF_TWO;
    };
    reach(after);
    if (after != chain.end && after != chain.follower) {
        const Look<HeaderAt> next = headerAt(after, nullptr, chain.hooks);
        need.add(next.need);
        learned.add(next.learned);
        if (next.answer.found() && next.answer.at != after)
            reach(next.answer.at);
    }
    const long padding = long(host.paddingAfter(size_t(after - q)));
    for (long k = 1; k <= padding; ++k)
        reach(after + k);
    return best;
}

// Whether what the hooks step over (a frame's trailer and header) stands in
// the last bytes of the candidate [start, end), or begins there: a packet cut
// short at a frame's end claims them. What stands between packets is never
// inside one. Asked only in an archive that has shown damage: a packet may
// stand right before a frame header where an archive turns to frames.
CcsdsParser::Look<bool> CcsdsParser::stepInLastBytes(const Seen& seen, long start, long end, bool alreadyShort) const
{
    Learned learned;
    // From the last byte the hooks may step over a pad byte: not looked at.
    constexpr long PAD_BYTE = 1;
    const long last = end - 1 - PAD_BYTE;
    for (long q = std::max(start + 1, end - seen.longestStep); q <= last; ++q) {
        // Near the end of the file a hook may take the few bytes left as a
        // step: none is counted there, and where one may still begin, the
        // verdict waits for the bytes (the places after it are shown fewer).
        if (window.fill(q, SKIP_LOOKAHEAD) < SKIP_LOOKAHEAD) {
            Need need;
            for (; q <= last && !alreadyShort && !need; ++q) {
                const Look<long> step = hooksStep(q);
                learned.add(step.learned);
                if (step.answer != q)
                    need = shortOf(q + long(SKIP_LOOKAHEAD));
            }
            return {false, need, learned};
        }
        const Look<long> step = hooksStep(q);
        learned.add(step.learned);
        if (step.answer != q)
            return {true, {}, learned};
    }
    return {false, {}, learned};
}

// Whether the candidate [start, end) holds a header of a known type (that
// passes, or is plausible) with the archive's fixed bits whose packet ends
// between `low` and `high` bytes from its start, or, once the archive has
// shown labels, a label (a run may end in one). Most packets hold neither:
// the quick look before the looks for packets inside a candidate.
bool CcsdsParser::holdsEnding(bool labels, long start, long end, long low, long high) const
{
    const long n = end - start;
    window.fill(start, size_t(n));
    const uint8_t* b = window.at(start);
    if (forEachEnding(b, n, low, uint32_t(high - low), archiveBits(),
                      [&](long i) { return host.validHeader(b + i) || host.plausibleHeader(b + i); }))
        return true;
    return labels && forEachLabel(b, n, [](long) { return true; });
}

// Whether an archive label begins inside the claim [start, end), whole in it
// or cut by its end (LABEL_BYTES_IN_CLAIM of it inside): a label stands only
// before a packet, and its first 20 bytes (magic, kind, eight digits) do not
// occur by chance in a payload, so the claim holds the next packet's label.
// Its bytes past the end are read where the file holds them; where it does
// not yet, the verdict waits for them. Asked by judge, and by
// followedDirectly for the packets it takes without judge.
CcsdsParser::Look<bool> CcsdsParser::labelBeginsInside(long start, long end) const
{
    Need need;
    const long last = end - LABEL_BYTES_IN_CLAIM; // the last place a label may begin
    for (long q = start + 1; q <= last; ++q) {
        const long n = long(window.fill(q, size_t(last + 1 - q)));
        const uint8_t* b = window.at(q);
        const void* c = std::memchr(b, ArchiveLabel::MAGIC[0], size_t(n));
        if (!c)
            return {false, need};
        q += static_cast<const uint8_t*>(c) - b;
        const size_t have = window.fill(q, ArchiveLabel::LOOKAHEAD);
        if (!ArchiveLabel::couldStart(window.at(q), have))
            continue;
        if (have == ArchiveLabel::LOOKAHEAD)
            return {true, need};
        need.add(shortOf(q + long(have) + 1));
    }
    return {false, need};
}

// Whether the candidate [start, end) holds a packet that is followed: a
// header that passes, whose packet ends inside the candidate, or where it
// ends, followed by another that passes; or an archive label followed by a
// header that passes. Intact packets inside a damaged header's claim do,
// wherever more damage cuts their run short; an intact packet's payload
// hardly ever does.
CcsdsParser::Look<bool> CcsdsParser::holdsPair(const Seen& seen, long start, long end, const Assumed& as) const
{
    Need need;
    Learned learned;
    window.fill(start, size_t(end - start));
    const long n = end - start;
    const uint8_t* b = window.at(start);
    const bool pair = forEachEnding(b, n, 0, uint32_t(n), archiveBits(), [&](long i) {
        if (!host.validHeader(window.at(start + i)))
            return false;
        const long after = start + i + long(packetBytes(window.at(start + i)));
        if (after > end)
            return false;
        // One packet ending where the candidate ends (or a pad byte or a
        // frame's trailer before) is said to be one only when the fixed bits
        // of its header (version, type, secondary header, sequence flags) are
        // the candidate's: bytes of a payload seldom are.
        if (after >= end - TRAILER_SLACK && !sameFixedBits(window.at(start), window.at(start + i)))
            return false;
        const Look<Follower> f = followerAt(after, size_t(after - start - i), nullptr, nullptr, as);
        need.add(f.need);
        learned.add(f.learned);
        // The look past may have moved the window: the scan reads on from it.
        window.fill(start, size_t(n));
        b = window.at(start);
        return f.answer.found();
    });
    // A label the looks at followers read counts.
    if (pair || !(seen.labels || learned.labels))
        return {pair, need, learned};
    // A label stands only before a packet: one inside, before a header that
    // passes, is the next packet's.
    const bool label = forEachLabel(b, n, [&](long i) {
        const Look<HeaderAt> h = headerAt(start + i, nullptr);
        need.add(h.need);
        learned.add(h.learned);
        const bool beforeHeader = h.answer.found() && host.validHeader(window.at(h.answer.at));
        window.fill(start, size_t(n));
        b = window.at(start);
        return beforeHeader;
    });
    return {label, need, learned};
}

} // namespace GseLib
