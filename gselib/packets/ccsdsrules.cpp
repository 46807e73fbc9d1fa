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

CcsdsParser::Verdict CcsdsParser::judge(Seen& seen, Next& after, long position, long start, bool knownValid,
                                        Need needed) const
{
    const bool afterSkip = skipped > 0 || endedSkipping;
    if (!knownValid && !host.validHeader(window.at(start)))
        return judgeRejected(seen, position, start, needed);
    const size_t total = packetBytes(window.at(start));
    if (window.fill(start, total) < total)
        return judgePastEnd(seen, position, start, afterSkip, needed);
    if (!judging)
        return {Verdict::Take, -1, needed};
    const long end = start + long(total);
    Verdict v;
    {
        // The candidate's bytes stay in the window while the tests look past them.
        const ArchiveWindow::Anchored keep(window, start);
        // Whether the label look needed bytes not yet written is kept apart
        // from what the looks after it say.
        const Look<bool> hasLabel = holdsLabel(start, end);
        if (hasLabel.answer) {
            seen.damaged = true;
            return {Verdict::Refuse, position + 1, needed};
        }
        needed.add(hasLabel.need);
        // At a packet boundary the looks for packets inside a followed
        // candidate are spent on an archive that has shown damage; before
        // that, only the look for a run ending where it ends (which payload
        // bytes hardly ever pass), on a packet longer than any of its APID so
        // far: a damaged length claims more than its type's packets hold.
        const Whole whole{start, end, afterSkip, total > shown.longest[apidOf(window.at(start))],
                          seen.damaged || afterSkip};
        seen.longestAny = std::max(seen.longestAny, uint32_t(total));
        v = judgeFollowed(seen, after, position, whole, hasLabel.need, needed);
    }
    window.fill(start, total);
    v.judged = uint32_t(total);
    return v;
}

// A header that validHeader rejects: where the search goes on.
CcsdsParser::Verdict CcsdsParser::judgeRejected(Seen& seen, long position, long start, Need needed) const
{
    Look<long> resume{position + 1, {}};
    if (judging)
        resume = passRejected(seen, position, start, bool(needed));
    needed.add(resume.need);
    if (resume.answer == position + 1 && start == position)
        resume.answer = pastNonHeaders(resume.answer);
    return {resume.answer < 0 ? Verdict::Wait : Verdict::Refuse, resume.answer, needed};
}

// A candidate that runs past the end of the file: waited for while the file
// grows (a read of the finished file judges it whole). At the end of the
// file, left to the growing-file rules, unless, after a rejected header, a
// packet follows within the file, or, in an archive that has shown damage,
// the bytes it claims already hold a packet followed by a header that passes
// (a packet being written does not hold such a run; in an undamaged archive
// it is waited for, whatever its payload passes for).
CcsdsParser::Verdict CcsdsParser::judgePastEnd(Seen& seen, long position, long start, bool afterSkip, Need needed) const
{
    if (!atEnd)
        return {Verdict::Partial, -1, needed};
    const long fileEnd = window.end();
    if (afterSkip && (rejected || endedRejecting) && laterPacket(seen, start, fileEnd))
        return {Verdict::Refuse, position + 1, needed};
    if (judging && (seen.damaged || afterSkip)) {
        const ArchiveWindow::Anchored keep(window, start);
        const Look<long> run = firstConfirmedRun(seen, start, fileEnd, RUN_VERIFIED, NOTHING_ASSUMED, bool(needed));
        needed.add(run.need);
        if (run.answer >= 0)
            return {Verdict::Refuse, position + 1, needed};
    }
    return {Verdict::Partial, -1, needed};
}

// A whole candidate, judged by what follows it. `labelShort`: what the label
// look needed of bytes not yet written. A taken candidate's follower that the
// looks read goes to `after`: what the parse takes next.
CcsdsParser::Verdict CcsdsParser::judgeFollowed(Seen& seen, Next& after, long position, const Whole& whole,
                                                Need labelShort, Need needed) const
{
    Label label;
    bool direct = false;
    // What the look at its follower sees of the archive (labels, the hooks'
    // steps) is not used in judging the candidate: a file that ends at the
    // candidate's end does not show it yet.
    Seen pastEnd = seen;
    const size_t total = size_t(whole.end - whole.start);
    const Look<long> followerLook = followerAt(pastEnd, whole.end, total, &label, &direct, NOTHING_ASSUMED);
    const long follower = followerLook.answer;
    needed.add(followerLook.need);
    if (follower == FOLLOWER_SHORT && !atEnd) {
        // Judged either way: what the looks before needed counts no more.
        Verdict v = eitherWay(seen, whole);
        v.need.add(labelShort);
        return v;
    }
    Verdict v{Verdict::Take, -1};
    seen.damaged = whole.damageSeen || follower == FOLLOWER_NONE;
    const Look<bool> no = refused(seen, whole, follower, NOTHING_ASSUMED, bool(needed));
    needed.add(no.need);
    if (no.answer) {
        v = {Verdict::Refuse, position + 1};
    } else if (follower >= 0 && direct) {
        // What the parse takes next, already looked at; what reading it
        // learns counts from here, as where the parse reads it itself.
        after = {whole.end, follower, label};
        needed.add(headerAt(seen, whole.end, nullptr).need);
    }
    v.need = needed;
    return v;
}

// Whether the whole candidate is refused, its end followed by a header at
// `follower` (or FOLLOWER_SHORT) or not (FOLLOWER_NONE).
inline CcsdsParser::Look<bool> CcsdsParser::refused(Seen& seen, const Whole& whole, long follower, const Assumed& as,
                                                    bool alreadyShort) const
{
    const long start = whole.start, end = whole.end;
    const bool followed = follower != FOLLOWER_NONE;
    Need need;
    if (followed) {
        bool no = false;
        if (seen.damaged) {
            const Look<bool> step = holdsStep(seen, start, end, alreadyShort);
            need.add(step.need);
            no = step.answer;
            if (!no && !whole.afterSkip) {
                const Look<bool> pair = holdsPair(seen, start, end, as);
                need.add(pair.need);
                no = pair.answer;
            }
        }
        if (!no && (seen.damaged || whole.longer)) {
            const Look<bool> run = swallows(seen, start, end, follower);
            need.add(run.need);
            no = run.answer;
        }
        if (no || !whole.afterSkip)
            return {no, need};
    }
    // Before the archive has shown damage, a run tells against a packet that
    // is not followed only when it begins in the packet's own bytes (its
    // label and primary header): a packet just written, before what follows
    // it, is then judged as the finished file judges it.
    const unsigned own = whole.damageSeen ? 0u : unsigned(RUN_OWN_BYTES);
    const unsigned step = followed ? 0u : unsigned(RUN_AFTER_FRAME_STEP);
    // The search goes on through the candidate's bytes: a packet before the
    // run, followed by more damage, is kept as any such packet is.
    const unsigned how = RUN_VERIFIED | RUN_AT_FILE_END | step | own;
    const Look<long> run = firstConfirmedRun(seen, start, end, how, as, alreadyShort || bool(need));
    need.add(run.need);
    return {run.answer >= 0, need};
}

// The verdict on a whole candidate whose follower is not (all) written yet.
// It is taken when it would be either way, followed or not, each judged on
// the bytes in the file; otherwise its verdict waits for the follower
// (Unsure).
CcsdsParser::Verdict CcsdsParser::eitherWay(Seen& seen, const Whole& whole) const
{
    const long start = whole.start, end = whole.end;
    const size_t span = size_t(end - start);
    seen.damaged = whole.damageSeen;
    // Followed: as if by a header right at its end, its looks seeing a copy.
    // A follower past what the hooks step over (and labels) could also end a
    // run that begins inside it.
    Seen ifFollowed = seen;
    Need need;
    const Assumed followed{end, host.paddingAfter(span), end};
    const long steps = (FOLLOWER_STEPS + 1) * std::max(seen.longestStep, long(SKIP_LOOKAHEAD));
    const long reach = seen.labels ? ANY_ENDING_REACH : steps + TRAILER_SLACK;
    if ((seen.damaged || whole.longer) && holdsEnding(seen, start, end, long(span) + 1, long(span) + reach))
        need.add({end + reach});
    bool refusedIfFollowed = bool(need);
    if (!refusedIfFollowed) {
        const Look<bool> no = refused(ifFollowed, whole, end, followed, false);
        need.add(no.need);
        refusedIfFollowed = no.answer;
    }
    // Not followed.
    const Assumed notFollowed{end, followed.padding, FOLLOWER_NONE};
    bool refusedIfNot = bool(need);
    if (!refusedIfNot) {
        const Look<bool> no = refused(seen, whole, FOLLOWER_NONE, notFollowed, false);
        need.add(no.need);
        refusedIfNot = no.answer;
    }
    // Its verdict waits for the follower's bytes.
    if (refusedIfFollowed || refusedIfNot || seen.labels != ifFollowed.labels ||
        seen.longestStep != ifFollowed.longestStep)
        need.add({end + long(CcsdsPrimaryHeader::SIZE)});
    return {Verdict::Take, -1, need};
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
CcsdsParser::Look<long> CcsdsParser::passRejected(Seen& seen, long position, long start, bool alreadyShort) const
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
        const Look<long> later =
            firstConfirmedRun(seen, start, fileEnd, RUN_AT_FILE_END, NOTHING_ASSUMED, alreadyShort);
        return {later.answer >= 0 ? position + 1 : -1, later.need};
    }
    const ArchiveWindow::Anchored keep(window, start);
    const long end = start + long(total);
    const Look<bool> followed = rejectedFollowed(seen, end, total, REJECTED_HOPS);
    Need need = followed.need;
    bool whole = followed.answer;
    if (whole) {
        const Look<long> run = firstConfirmedRun(seen, start, end, RUN_VERIFIED | RUN_AT_FILE_END, NOTHING_ASSUMED,
                                                 alreadyShort || bool(need));
        need.add(run.need);
        whole = run.answer < 0;
    }
    return {whole ? end : position + 1, need};
}

// Whether what follows a rejected packet that ends at `end` is what the parse
// takes next, or, up to `hops` times, another rejected packet of a known
// type, whole, that is so followed: damage comes in runs.
CcsdsParser::Look<bool> CcsdsParser::rejectedFollowed(Seen& seen, long end, size_t length, int hops) const
{
    const Look<long> follower = followerAt(seen, end, length, nullptr, nullptr, NOTHING_ASSUMED);
    Need need = follower.need;
    if (follower.answer != FOLLOWER_NONE)
        return {true, need};
    if (hops == 0)
        return {false, need};
    const Look<long> header = headerAt(seen, end, nullptr);
    need.add(header.need);
    if (header.answer < 0 || !host.plausibleHeader(window.at(header.answer)))
        return {false, need};
    const size_t total = packetBytes(window.at(header.answer));
    if (window.fill(header.answer, total) < total) {
        need.add(shortOf(header.answer + long(total)));
        return {false, need};
    }
    Look<bool> next = rejectedFollowed(seen, header.answer + long(total), total, hops - 1);
    next.need.add(need);
    return next;
}

// Whether the packet of `total` bytes at `header` is whole within the file
// and followed by what the parse would take next.
CcsdsParser::Look<bool> CcsdsParser::confirmedAt(Seen& seen, long header, size_t total, bool atFileEnd,
                                                  const Assumed& as) const
{
    if (window.fill(header, total) < total)
        return {false, shortOf(header + long(total))};
    const Look<long> f = followerAt(seen, header + long(total), total, nullptr, nullptr, as);
    return {confirmedBy(f.answer, header + long(total), atFileEnd), f.need};
}

// Whether a packet that ends at `end` is confirmed by what followerAt found
// after it: a header the parse takes, or the end of the file.
bool CcsdsParser::confirmedBy(long follower, long end, bool atFileEnd) const
{
    return follower >= 0 || (follower == FOLLOWER_SHORT && (atFileEnd || end == host.fileSize()));
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
CcsdsParser::Look<long> CcsdsParser::firstConfirmedRun(Seen& seen, long start, long end, unsigned how,
                                                       const Assumed& as, bool alreadyShort) const
{
    Need need;
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
        const RunPlace place = runPlaceAt(seen, search, q, alreadyShort, need);
        q = place.q;
        if (place.unread)
            continue;
        if (place.header < 0) {
            // The places left hold less than a header before the end of the
            // file: a run may begin there only where their bytes agree with
            // one, so far as they go.
            if (!place.spent && !seen.budget.spent() && need && !place.wasShort && !place.stepUnread &&
                !mayBeginRun(seen, q, end, stepFrom, bits))
                need = Need();
            return {-1, need};
        }
        if (runConfirmed(seen, search, place.header, alreadyShort, need))
            return {q, need};
    }
    return {-1, need};
}

// The place from q on where the run look reads a header, and the header it
// reads there (as the search reads one, or past the hooks' step from
// search.stepFrom on). Where a run begins is read from the candidate's bytes
// alone with RUN_OWN_BYTES; what follows it is read wherever it stands.
inline CcsdsParser::RunPlace CcsdsParser::runPlaceAt(Seen& seen, const RunSearch& search, long q, bool alreadyShort,
                                                     Need& need) const
{
    RunPlace place{q};
    {
        const ArchiveWindow::HeldBack horizon(window, search.own ? search.end : -1);
        if (search.bits && q < search.stepFrom) {
            const long p = nextUsualPlace(q, search.stepFrom, search.bits);
            if (!seen.budget.trySpend(p - q)) {
                seen.budget.exhaust();
                place.spent = true;
            } else {
                place.q = p;
                place.spent = p >= search.end;
            }
        }
        place.wasShort = alreadyShort || bool(need);
        if (!place.spent && seen.budget.spendPlace()) {
            if (place.q >= search.stepFrom)
                place.header = place.stepped = read(headerAt(seen, place.q, nullptr), need);
            if (place.header < 0)
                place.header = read(resyncHeaderAt(seen, place.q, nullptr), need);
        }
    }
    if (search.own && !place.spent && !seen.budget.spent())
        ownBytesPlace(seen, search, place, need);
    return place;
}

// What begins in the candidate's own bytes but runs past its end counts when
// those bytes may begin it: a label (two bytes of it at least), or a header
// the end cuts through. It is read whole, waiting for its bytes if need be.
// So is a step whose frame header its bytes begin (a sync word is hardly
// ever payload): a packet cut short that claims the next frame's first
// bytes. The places with less than a header's bytes are the last looked at.
void CcsdsParser::ownBytesPlace(Seen& seen, const RunSearch& search, RunPlace& place, Need& need) const
{
    const long q = place.q, end = search.end;
    const size_t inside = size_t(std::min(long(ArchiveLabel::LOOKAHEAD), end - q));
    long p = -1;
    if (inside >= size_t(MIN_BYTES_INSIDE) && ArchiveLabel::couldStart(window.at(q), inside))
        p = q;
    else if (place.header < 0 && q > end - long(CcsdsPrimaryHeader::SIZE))
        p = straddlingHeader(q, end, search.bits);
    if (p >= 0) {
        place.q = p;
        place.header = read(resyncHeaderAt(seen, p, nullptr), need);
        place.unread = place.header < 0;
        return;
    }
    if (place.stepped >= 0)
        return;
    for (long r = std::max(q, search.stepFrom); r < (place.header < 0 ? end : q + 1); ++r) {
        if (stepBeginsInside(r, end)) {
            const long w = read(headerAt(seen, r, nullptr), need);
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
inline bool CcsdsParser::runConfirmed(Seen& seen, const RunSearch& search, long h, bool alreadyShort, Need& need) const
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
    if (search.own && after > search.end && total > std::max<size_t>(seen.longestAny, OWN_RUN_LENGTH))
        return false;
    // A run ending where the candidate ends shares its follower: it tells
    // against the candidate only when its header's fixed bits are the
    // candidate's. (Inside a run being verified, any run tells.)
    const bool verified = search.how & RUN_VERIFIED;
    if (verified && after <= search.end && after >= search.end - TRAILER_SLACK &&
        !sameFixedBits(window.at(search.start), window.at(h)))
        return false;
    if (verified && window.fill(h, total) < total && holdsConfirmedRun(seen, h, total, search.as))
        return false; // the bytes written of its claim already hold a run: no run of its own
    if (!runFollowed(seen, search, h, total, need))
        return false;
    return !verified ||
           read(firstConfirmedRun(seen, h, after, RUN_AT_FILE_END, search.as, alreadyShort || bool(need)), need) < 0;
}

// Whether the packet of `total` bytes at h is followed as a run's first
// packet must be: by what the parse takes next, or, with RUN_AT_FILE_END, by
// the end of the file.
inline bool CcsdsParser::runFollowed(Seen& seen, const RunSearch& search, long h, size_t total, Need& need) const
{
    if (search.how & RUN_AT_FILE_END) {
        const Look<bool> c = confirmedAt(seen, h, total, true, search.as);
        need.add(c.need);
        return c.answer;
    }
    if (window.fill(h, total) < total) {
        need.add(shortOf(h + long(total)));
        return false;
    }
    return read(followerAt(seen, h + long(total), total, nullptr, nullptr, search.as), need) >= 0;
}

// The first place from q before `end`, with less than a header's bytes
// before it but at least two, whose bytes there have the archive's fixed bits
// (given `bits`) and, the rest read as zeros, pass the header test or are of a
// known type; -1 when there is none.
long CcsdsParser::straddlingHeader(long q, long end, const uint8_t* bits) const
{
    window.fill(q, size_t(end - q));
    for (long p = std::max(q, end - long(CcsdsPrimaryHeader::SIZE) + 1); p + MIN_BYTES_INSIDE <= end; ++p) {
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
bool CcsdsParser::holdsConfirmedRun(Seen& seen, long header, size_t total, const Assumed& as) const
{
    const long anchor = window.anchor();
    // A candidate anchored before it keeps it in the window too.
    const ArchiveWindow::Anchored keep(window, anchor < 0 || anchor > header ? header : anchor);
    const Look<long> run = firstConfirmedRun(seen, header, header + long(total), RUN_AT_FILE_END, as, false);
    return run.answer >= 0 && !run.need;
}

// Whether a run may begin at a place from q on, before `end`, each holding
// fewer than a header's bytes before the end of the file: a label's first
// bytes, a header with the fixed bits of the one at `bits` (any header
// without it), or, from `stepFrom` on, where the hooks may step.
bool CcsdsParser::mayBeginRun(Seen& seen, long q, long end, long stepFrom, const uint8_t* bits) const
{
    const long have = long(window.fill(q, size_t(end - q) + ArchiveLabel::LOOKAHEAD));
    // A step is at most a pad byte and a frame's trailer, then the frame's
    // header. Where the file holds the trailer after the candidate, a step
    // from inside it whose header is not yet seen begins that header where
    // the candidate's own follower does, which (it being not followed)
    // leads to no run.
    if (q + have >= end + TRAILER_SLACK - 1)
        stepFrom = end;
    for (long p = q; p < end && p < q + have; ++p) {
        const uint8_t* b = window.at(p);
        const size_t n = size_t(q + have - p);
        if (ArchiveLabel::couldStart(b, std::min(n, ArchiveLabel::LOOKAHEAD)))
            return true;
        if (!bits || sameFixedBits(bits, b, n))
            return true;
        if (p >= stepFrom && hooksStep(seen, p) != p)
            return true;
    }
    return false;
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

// After a rejected header: whether a packet that the candidate tests accept,
// with a header seen after it or ending where the file ends, begins after
// pos and ends within the file. A packet still being written is the last
// one, so a candidate at pos that runs past the end of the file is then
// garbage. The last answer is kept: nothing found after an earlier position
// means nothing after a later one.
bool CcsdsParser::laterPacket(Seen& seen, long pos, long fileEnd) const
{
    constexpr long HEADER = CcsdsPrimaryHeader::SIZE;
    return laterLook(pos, fileEnd, fileEnd - HEADER - 1, [&](long o) {
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
        const long follower = followerAt(seen, end, total, nullptr, nullptr, NOTHING_ASSUMED).answer;
        const bool taken = confirmedBy(follower, end, end == fileEnd) && !swallows(seen, o, end, follower).answer;
        return taken ? LaterPacketLook::FOUND : LaterPacketLook::NONE;
    });
}

// What follows a packet that ends at `end`, looked at as the parse would: an
// archive label and the hooks' steps, taken again while they move or a label
// stands a few bytes on (frames end in a trailer of their own, and empty
// frames follow one another), or the padding an odd packet may carry.
// Returns where a header that passes validHeader begins, FOLLOWER_SHORT when
// the file ends there or does not yet hold enough to tell (a later grow reads
// on from there, as after any packet), else FOLLOWER_NONE. `direct` tells
// whether the header is where the parse's own next step finds it, and
// `label` then gets the label before it.
CcsdsParser::Look<long> CcsdsParser::followerAt(Seen& seen, long end, size_t length, Label* label, bool* direct,
                                                const Assumed& as) const
{
    if (direct)
        *direct = false;
    // Only a packet that may carry the candidate's padding shares its follower.
    if (end == as.end && host.paddingAfter(length) == as.padding)
        return {as.follower, {}};
    Need need;
    long first = -1;
    long at = end;
    for (int step = 0; step <= FOLLOWER_STEPS; ++step) {
        const Look<long> look = headerAt(seen, at, step == 0 ? label : nullptr);
        const long header = look.answer;
        need.add(look.need);
        if (header == LABEL_DAMAGED)
            return {FOLLOWER_NONE, need}; // what the parse steps over byte by byte
        if (header < 0)
            return {FOLLOWER_SHORT, need};
        if (host.validHeader(window.at(header))) {
            if (direct)
                *direct = step == 0;
            return {header, need};
        }
        if (first < 0)
            first = header;
        at = hooksStep(seen, header);
        if (at != header)
            continue;
        long labelAt = 0;
        for (long k = 1; k <= TRAILER_SLACK && !labelAt; ++k) {
            const size_t n = window.fill(header + k, ArchiveLabel::LOOKAHEAD);
            if (!ArchiveLabel::couldStart(window.at(header + k), n))
                continue;
            if (n < ArchiveLabel::LOOKAHEAD) {
                need.add(shortOf(header + k + long(n) + 1));
                return {FOLLOWER_SHORT, need}; // a label still being written
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
            return {FOLLOWER_SHORT, need};
        }
        if (host.validHeader(window.at(end + k)))
            return {end + k, need};
    }
    return {FOLLOWER_NONE, need};
}

// Whether the candidate packet [start, end) holds a run of packets: a header
// inside it that passes validHeader, followed by at least one more packet
// (that passes, or is plausible), each stepping by its length (and over what
// the hooks step over, or padding), the last ending where the candidate ends
// or where its follower begins. Real packets tile the length of a damaged
// header that lands on their boundary; the bytes of a real packet hardly
// ever do.
CcsdsParser::Look<bool> CcsdsParser::swallows(Seen& seen, long start, long end, long follower) const
{
    constexpr long MIN_PACKET = CcsdsPrimaryHeader::SIZE + 1;
    const size_t span = size_t(end - start);
    if (span <= 2 * MIN_PACKET)
        return {false, {}};
    // Bytes crafted to pass the other tests again and again could make this
    // look quadratic; past its budget the look is left out.
    if (!seen.budget.trySpend(long(span)))
        return {false, {}};
    // A run needs a packet ending a few bytes (padding, a frame's trailer)
    // before the candidate's end, or at its follower.
    if (!holdsEnding(seen, start, end, long(span) - TRAILER_SLACK, std::max(end, follower) - start))
        return {false, {}};
    Need need;
    if (!chainLengths)
        chainLengths.reset(new uint8_t[CHAIN_LENGTHS_SIZE]);
    // run[q - start]: packets of the run from q to the end, up to two; 0 none.
    constexpr uint8_t ONE_PACKET = 1, TWO_PACKETS = 2;
    uint8_t* run = chainLengths.get();
    const long last = end - MIN_PACKET;
    // Hooks that read the stream would cost a seek per byte here: left out.
    const bool hooks = host.skipsOnBytes() || host.streamHookIsBase();
    // The candidate's bytes, in the window whatever the look past them moved.
    auto bytesAt = [&](long q) {
        window.fill(start, span);
        return window.at(q);
    };
    for (long q = last; q > start; --q) {
        run[q - start] = 0;
        const uint8_t* h = bytesAt(q);
        const long after = q + long(packetBytes(h));
        if (after > std::max(end, follower))
            continue; // most bytes: no packet that fits
        if (!host.validHeader(h) && !host.plausibleHeader(h))
            continue;
        uint8_t best = 0;
        auto reach = [&](long r) {
            if (r == end || r == follower)
                best = std::max(best, ONE_PACKET);
            else if (r > q && r <= last && run[r - start])
                best = TWO_PACKETS;
        };
        reach(after);
        if (after != end && after != follower) {
            const Look<long> next = headerAt(seen, after, nullptr, hooks);
            need.add(next.need);
            if (next.answer >= 0 && next.answer != after)
                reach(next.answer);
        }
        const long padding = long(host.paddingAfter(size_t(after - q)));
        for (long k = 1; k <= padding; ++k)
            reach(after + k);
        run[q - start] = best;
        if (best == TWO_PACKETS && host.validHeader(bytesAt(q)) && usualBits(bytesAt(q)))
            return {true, need};
    }
    return {false, need};
}

// Whether what the hooks step over (a frame's trailer and header) stands in
// the last bytes of the candidate [start, end), or begins there: a packet cut
// short at a frame's end claims them. What stands between packets is never
// inside one. Asked only in an archive that has shown damage: a packet may
// stand right before a frame header where an archive turns to frames.
CcsdsParser::Look<bool> CcsdsParser::holdsStep(Seen& seen, long start, long end, bool alreadyShort) const
{
    // Hooks that read the stream would cost a seek per place: left out.
    if (seen.longestStep == 0 || !host.skipsOnBytes())
        return {false, {}};
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
                if (hooksStep(seen, q) != q)
                    need = shortOf(q + long(SKIP_LOOKAHEAD));
            }
            return {false, need};
        }
        if (hooksStep(seen, q) != q)
            return {true, {}};
    }
    return {false, {}};
}

// Whether the candidate [start, end) holds a header of a known type (that
// passes, or is plausible) with the archive's fixed bits whose packet ends
// between `low` and `high` bytes from its start, or, once the archive has
// shown labels, a label (a run may end in one). Most packets hold neither:
// the quick look before the looks for packets inside a candidate.
bool CcsdsParser::holdsEnding(const Seen& seen, long start, long end, long low, long high) const
{
    const long n = end - start;
    window.fill(start, size_t(n));
    const uint8_t* b = window.at(start);
    if (forEachEnding(b, n, low, uint32_t(high - low), archiveBits(),
                      [&](long i) { return host.validHeader(b + i) || host.plausibleHeader(b + i); }))
        return true;
    return seen.labels && forEachLabel(b, n, [](long) { return true; });
}

// Whether an archive label begins inside the candidate [start, end), whole
// in it or cut by its end: a label stands only before a packet, and its 20
// fixed bytes do not occur by chance in a payload, so the claim holds the
// next packet's label. Its bytes past the end are read where the file holds
// them; where it does not yet, the verdict waits for them.
CcsdsParser::Look<bool> CcsdsParser::holdsLabel(long start, long end) const
{
    Need need;
    for (long q = start + 1; q < end; ++q) {
        const long n = long(window.fill(q, size_t(end - q)));
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
CcsdsParser::Look<bool> CcsdsParser::holdsPair(Seen& seen, long start, long end, const Assumed& as) const
{
    Need need;
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
        const Look<long> f = followerAt(seen, after, size_t(after - start - i), nullptr, nullptr, as);
        need.add(f.need);
        // The look past may have moved the window: the scan reads on from it.
        window.fill(start, size_t(n));
        b = window.at(start);
        return f.answer >= 0;
    });
    if (pair || !seen.labels)
        return {pair, need};
    // A label stands only before a packet: one inside, before a header that
    // passes, is the next packet's.
    const bool label = forEachLabel(b, n, [&](long i) {
        const Look<long> h = headerAt(seen, start + i, nullptr);
        need.add(h.need);
        const bool beforeHeader = h.answer >= 0 && host.validHeader(window.at(h.answer));
        window.fill(start, size_t(n));
        b = window.at(start);
        return beforeHeader;
    });
    return {label, need};
}

} // namespace GseLib
