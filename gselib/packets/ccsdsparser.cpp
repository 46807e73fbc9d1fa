// The CCSDS parse's loop: it reads each packet attempt (label, the hooks'
// steps, primary header), asks the rule (ccsdsrules.cpp) for the verdict on
// each candidate, commits what the verdict says the archive has shown, and
// takes, skips or waits. The words are those of ccsdsparser.h's glossary.
#include "gselib/packets/ccsdsparser.h"

#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/packetarena.h"

#include <algorithm>
#include <optional>

namespace GseLib {

namespace {

using ArchiveBytes::be16;
using ArchiveBytes::be32;
using CcsdsHeader::apidOf;
using CcsdsHeader::packetBytes;

} // namespace

CcsdsParser::CcsdsParser(TelemetryCache::ParseHost host) : host(host), window(host.window())
{
}

CcsdsParser::~CcsdsParser() = default;

void CcsdsParser::reset()
{
    endedSkipping = false;
    endedRefusing = false;
    skipped = 0;
    saidTo = -1;
    stoppedInSearch = false;
    shown = Shown();
    shown.seen.budget.restart();
    leftAt = leftSize = leftFirstSize = -1;
}

void CcsdsParser::beginParse()
{
    // A header test that takes the bytes of no packet (all zeros, all ones)
    // gives nothing to judge a candidate by: then every candidate whose
    // header passes is taken, as it always was.
    static constexpr unsigned char ZEROS[CcsdsPrimaryHeader::SIZE] = {};
    static constexpr unsigned char ONES[CcsdsPrimaryHeader::SIZE] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    judging = !host.validHeader(ZEROS) || !host.validHeader(ONES);
    // The budget of a search cut short by the end of the file carries on, as
    // in a read of the whole file, and so does its stretch: one line says it
    // whole, and the scan limit counts all of it.
    if (!endedSkipping)
        skipped = 0;
    refusals = 0;
    following = Next();
    settlesHere = false;
}

void CcsdsParser::endParse()
{
    // A search cut short by the end of the file goes on in the next parse.
    if (skipped)
        endedSkipping = true;
    if (refusals)
        endedRefusing = true;
    following = Next();
}

// Where the primary header of a packet attempt that begins at pos stands:
// past an archive label and whatever the hooks step over, with at least a
// header's bytes there. Short when the file does not yet hold enough to tell
// (it ends there, or within a label's first bytes or a header), LabelPastEnd
// when it ends within a label's claim; the parse stops to wait for it to grow.
// LabelDamaged for a label whose digits were hit. Inlined where the parse
// reads the next packet's header.
inline __attribute__((always_inline)) CcsdsParser::Look<CcsdsParser::HeaderAt>
CcsdsParser::readHeaderAt(long pos, Label* label, bool hooks) const
{
    const size_t ahead = window.fill(pos, ArchiveLabel::LOOKAHEAD);
    if (ahead < ArchiveLabel::LOOKAHEAD && (ahead == 0 || ArchiveLabel::couldStart(window.at(pos), ahead)))
        return {{HeaderAt::Short}, shortOf(pos + long(ahead) + 1)}; // nothing more, or a label still being written
    long start = pos;
    Learned learned;
    if (ahead == ArchiveLabel::LOOKAHEAD && ArchiveLabel::couldStart(window.at(pos), ArchiveLabel::LOOKAHEAD)) {
        const size_t total = ArchiveLabel::totalBytes(window.at(pos));
        // A reader holds a whole label in its label buffer: digits that claim
        // more are hit, and their claim would swallow the packets after it.
        if (total > LABEL_BUFFER_SIZE)
            return {{HeaderAt::LabelDamaged}, {}};
        if (window.fill(pos, total) < total)
            return {{HeaderAt::LabelPastEnd}, shortOf(pos + long(total))};
        // So is a claim that holds the next label, as a packet's claim is
        // (under a header test that can resynchronise after it).
        if (judging && ArchiveLabel::holdsAnother(window.at(pos), total))
            return {{HeaderAt::LabelDamaged}, {}};
        learned.labels = true;
        if (label) {
            const uint8_t* l = window.at(pos);
            const bool gann = ArchiveLabel::isGann(l);
            label->present = true;
            label->seconds = be32(l + (gann ? ArchiveLabel::GANN_SECONDS_AT : ArchiveLabel::FANN_SECONDS_AT));
            label->ms = be16(l + (gann ? ArchiveLabel::GANN_MS_AT : ArchiveLabel::FANN_MS_AT));
        }
        start = pos + long(total);
    }
    if (hooks) {
        const Look<long> step = hooksStep(start);
        const long stepped = step.answer;
        learned.add(step.learned);
        // Inside frames a packet's label stands after the frame's header.
        if (stepped != start && start == pos) {
            const size_t after = window.fill(stepped, ArchiveLabel::LOOKAHEAD);
            if (after > 0 && ArchiveLabel::couldStart(window.at(stepped), after)) {
                Look<HeaderAt> header = headerAt(stepped, label, hooks);
                header.learned.add(learned);
                return header;
            }
        }
        start = stepped;
    }
    if (window.fill(start, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE))
        return {{HeaderAt::Short}, shortOf(start + long(CcsdsPrimaryHeader::SIZE)), learned};
    return {{HeaderAt::Found, start}, {}, learned};
}

CcsdsParser::Look<CcsdsParser::HeaderAt> CcsdsParser::headerAt(long pos, Label* label, bool hooks) const
{
    return readHeaderAt(pos, label, hooks);
}

// Where the header of a candidate at pos stands while resynchronising: past a
// whole archive label that begins there and what the hooks step over after
// it, else at pos (labels are looked for, so that a packet found after damage
// keeps its ground time; without a label the hooks' steps are not). Short
// when fewer than a header's bytes are left.
CcsdsParser::Look<CcsdsParser::HeaderAt> CcsdsParser::resyncHeaderAt(long pos, Label* label) const
{
    const size_t ahead = window.fill(pos, ArchiveLabel::LOOKAHEAD);
    Need need;
    Learned learned;
    if (ahead == ArchiveLabel::LOOKAHEAD && window.at(pos)[0] == uint8_t(ArchiveLabel::MAGIC[0]) &&
        ArchiveLabel::couldStart(window.at(pos), ArchiveLabel::LOOKAHEAD)) {
        const Look<HeaderAt> header = headerAt(pos, label);
        if (header.answer.found())
            return header;
        need = header.need;
        learned = header.learned;
        if (label)
            *label = Label();
    } else if (ahead < ArchiveLabel::LOOKAHEAD && ahead > 0 && ArchiveLabel::couldStart(window.at(pos), ahead)) {
        need = shortOf(pos + long(ahead) + 1); // a label, once written, would be read
    }
    if (window.fill(pos, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE)) {
        need.add(shortOf(pos + long(CcsdsPrimaryHeader::SIZE)));
        return {{HeaderAt::Short}, need, learned};
    }
    return {{HeaderAt::Found, pos}, need, learned};
}

// What judge makes of most packets of an undamaged archive, found
// without its looks: a packet no longer than any of its APID so far, whose
// end the next header that passes follows directly, is taken; that header is
// what the parse takes next (from -1: none). What reading it learns (labels,
// the hooks' steps) comes with it, followed or not.
inline __attribute__((always_inline)) CcsdsParser::Look<CcsdsParser::Next>
CcsdsParser::followedDirectly(const Seen& seen, long start) const
{
    const uint8_t* h = window.at(start);
    const size_t total = packetBytes(h);
    if (total > shown.longest[apidOf(h)] || window.fill(start, total) < total)
        return {};
    const ArchiveWindow::Anchored keep(window, start);
    const long end = start + long(total);
    Label label;
    const Look<HeaderAt> header = readHeaderAt(end, &label, true);
    // A label inside is the next packet's (the rule refuses the candidate).
    // Asked once the archive has shown labels (here, or by reading the
    // follower): an archive of bare packets is spared the look at each.
    const bool labels = seen.labels || header.learned.labels;
    const bool followed = header.answer.found() && host.validHeader(window.at(header.answer.at)) &&
                          !(labels && labelBeginsInside(start, end).answer);
    if (!followed)
        return {Next(), {}, header.learned};
    return {{end, header.answer.at, label}, {}, header.learned};
}

inline CcsdsParser::Look<std::optional<CcsdsParser::Verdict::Kind>>
CcsdsParser::directVerdict(const Seen& seen, long start, const Direct& d, bool alreadyShort) const
{
    // A step in its last bytes refuses it, as judge would (which is not
    // asked: a second look could find a longer step); nothing else does
    // unless a packet may end inside it.
    const long end = d.answer.from;
    const Look<bool> step = holdsStep(seen, start, end, alreadyShort);
    Look<std::optional<Verdict::Kind>> v{std::nullopt, step.need, step.learned};
    if (step.answer) {
        v.answer = Verdict::Refuse;
    } else if (!holdsEnding(seen.labels || step.learned.labels, start, end, 0, end - start)) {
        v.answer = Verdict::Take;
        v.learned.add(d.learned);
    }
    return v;
}

// Kept out of the parse loop, which most packets leave without it.
__attribute__((noinline)) CcsdsParser::Decided CcsdsParser::decide(long position, long start, bool known,
                                                                   const Direct* direct, Need beyond)
{
    // A candidate whose verdict waits for bytes not yet written teaches the
    // parse nothing. The follower of a candidate the looks take is what the
    // parse takes next (none before: next() looked at it once).
    uint32_t& longest = shown.longest[apidOf(window.at(start))]; // before the looks move the window
    Need needed = beyond;
    Learned looked; // by the look at a direct follower's last bytes, when judge decides
    if (direct) {
        const Look<std::optional<Verdict::Kind>> d = directVerdict(shown.seen, start, *direct, bool(needed));
        needed.add(d.need);
        if (d.answer) {
            if (!atEnd && needed)
                return {Verdict::Unsure, -1};
            shown.seen.learn(d.learned);
            if (*d.answer == Verdict::Take) {
                following = direct->answer;
                return {Verdict::Take, -1};
            }
            return {Verdict::Refuse, position + 1};
        }
        looked = d.learned;
    }
    Seen seen = shown.seen;
    seen.learn(looked);
    const Verdict v = judge(seen, position, start, known, needed);
    if (!atEnd && v.need && v.verdict != Verdict::Partial)
        return {Verdict::Unsure, -1};
    shown.seen = v.seen;
    following = v.follower;
    if (v.later)
        shown.later = *v.later;
    longest = std::max(longest, v.judged);
    return {v.verdict, v.resume};
}

// A header test that cannot tell leaves nothing to judge at a packet
// boundary: whether the header at `start` passes decides alone.
inline bool CcsdsParser::unjudged(long start) const
{
    return !judging && skipped == 0 && !endedSkipping && host.validHeader(window.at(start));
}

// Inlined into the parse loop: what most packets of an undamaged archive take.
inline __attribute__((always_inline)) CcsdsParser::Step CcsdsParser::next(long& position)
{
    if (following.from == position &&
        window.fill(following.header, CcsdsPrimaryHeader::SIZE) == CcsdsPrimaryHeader::SIZE) {
        following.from = -1; // looked at once
        current = following;
        // What the parse sees reading the follower (labels, the hooks'
        // steps) counts at once; in an archive that has shown damage the
        // candidate's own looks come first, and it counts after them.
        if (!shown.seen.damaged) {
            const Look<Next> f = followedDirectly(shown.seen, current.header);
            shown.seen.learn(f.learned);
            if (f.answer.from >= 0) {
                following = f.answer;
                return Step::Take; // nothing to look at
            }
            return candidate(position, true, nullptr);
        }
        return nextAfterDamage(position);
    }
    following.from = -1;
    if (stoppedInSearch) {
        current.header = -1;
        return candidate(position, false, nullptr);
    }
    current.label.present = false;
    const Look<HeaderAt> header = readHeaderAt(position, &current.label, true);
    shown.seen.learn(header.learned);
    current.header = header.answer.at;
    const HeaderAt::Kind kind = header.answer.kind;
    if (kind == HeaderAt::LabelPastEnd) {
        if (waitsAtLabel(position, header.need))
            return Step::Stop;
        if (leavesUnread()) {
            leaveUnread(position);
            return Step::Stop;
        }
    }
    if (kind == HeaderAt::LabelDamaged || kind == HeaderAt::LabelPastEnd)
        return pastDamagedLabel(position);
    if (kind != HeaderAt::Found)
        return Step::Stop;
    // The parse sees whether the packet is all there.
    if (unjudged(current.header))
        return Step::Take;
    return candidate(position, false, nullptr);
}

// The same in an archive that has shown damage. Most packets hold nothing a
// packet may end in, nor a frame step in their last bytes; a parse that
// decides as at the end of the file takes them here. What these looks see
// counts at once, as what the parse reads itself.
inline __attribute__((always_inline)) CcsdsParser::Step CcsdsParser::nextAfterDamage(long& position)
{
    const Direct d = followedDirectly(shown.seen, current.header);
    if (d.answer.from < 0)
        return candidate(position, true, nullptr);
    const long end = d.answer.from;
    if (atEnd) {
        const Look<bool> step = holdsStep(shown.seen, current.header, end, false);
        shown.seen.learn(step.learned);
        if (!step.answer && !holdsEnding(shown.seen.labels, current.header, end, 0, end - current.header)) {
            shown.seen.learn(d.learned);
            following = d.answer;
            return Step::Take;
        }
    }
    return candidate(position, true, &d);
}

CcsdsParser::Step CcsdsParser::candidate(long& position, bool known, const Direct* direct)
{
    bool inSearch = false;
    // Whether finding the candidate's header needed bytes past the end of
    // the file (a label not all written).
    Need beyond;
    if (current.header < 0) {
        // A search cut short goes on as it would have: without the hooks' steps.
        inSearch = true;
        if (!searchAt(position, beyond))
            return Step::Stop;
    }
    for (;;) {
        Decided v = verdictAt(position, current.header, known, direct, beyond);
        known = false;
        direct = nullptr;
        if (const std::optional<Step> step = stepFor(v, position, inSearch))
            return *step;
        if (!pastRefused(position, v.resume))
            return Step::Stop;
        inSearch = true;
        if (!searchAt(position, beyond)) {
            stoppedInSearch = true;
            return Step::Stop;
        }
    }
}

inline CcsdsParser::Decided CcsdsParser::verdictAt(long position, long start, bool known, const Direct* direct,
                                                   Need beyond)
{
    if (!direct && unjudged(start)) {
        const size_t total = packetBytes(window.at(start));
        return {window.fill(start, total) < total ? Verdict::Partial : Verdict::Take, -1};
    }
    return decide(position, start, known, direct, beyond);
}

// What the parse does on a verdict at the candidate at `position`, reached
// by the search or not: take it, step over a byte, or stop; nothing when it
// is refused (the search goes on at v.resume).
inline std::optional<CcsdsParser::Step> CcsdsParser::stepFor(Decided& v, long position, bool inSearch)
{
    switch (v.verdict) {
    case Verdict::Take:
        stoppedInSearch = false;
        return Step::Take;
    case Verdict::Partial:
    case Verdict::Unsure:
        // Waited for as a partial packet: a file that grows is still being
        // written. A settled parse decides as a read of the finished file
        // (it never says Unsure), and steps over a byte of a partial packet.
        if (waits(position) || v.verdict == Verdict::Unsure) {
            stoppedInSearch = inSearch;
            return Step::Stop;
        }
        if (leavesUnread()) {
            stoppedInSearch = inSearch;
            leaveUnread(position);
            return Step::Stop;
        }
        stoppedInSearch = false;
        return Step::Skip;
    case Verdict::Wait:
        if (waits(position, WaitHow::Stop)) {
            stoppedInSearch = inSearch;
            return Step::Stop;
        }
        // A read of the finished file never waits: a rejected header whose
        // claim runs past the end is passed as any refused one.
        v.verdict = Verdict::Refuse;
        v.resume = position + 1;
        return std::nullopt;
    case Verdict::Refuse:
        break;
    }
    return std::nullopt;
}

// Moves the search past a refused candidate to `resume`; false when that
// reaches the scan limit (the parse then stops at the end of the file).
bool CcsdsParser::pastRefused(long& position, long resume)
{
    const long bytes = resume - position;
    ++refusals;
    shown.seen.budget.earn(bytes);
    // The label's ground time belongs to no packet found after this.
    current.label = Label();
    position = resume;
    skipped += bytes;
    if (host.maxScan() > 0 && skipped >= host.maxScan()) {
        report(DamagedStretch::Kind::ScannedToLimit, position - skipped, position);
        position = replayEnd >= 0 ? replayEnd : host.fileSize();
        stoppedInSearch = false;
        // The stretch ends with its line; the search after it still counts
        // as after skipped bytes.
        skipped = 0;
        saidTo = -1;
        endedSkipping = true;
        return false;
    }
    return true;
}

// The candidate the search finds at `position`, its header in `current`
// (without the hooks' steps); false when the file holds too little to tell.
bool CcsdsParser::searchAt(long position, Need& beyond)
{
    current.label = Label();
    const Look<HeaderAt> header = resyncHeaderAt(position, &current.label);
    shown.seen.learn(header.learned);
    current.header = header.answer.at;
    beyond = header.need;
    return header.answer.found();
}

// Whether the parse stops at `position` until the file grows, saying so: not
// once the back-offs are spent. The parse that opens a finished file (judging)
// does not wait: it goes on from there settled (parse()).
bool CcsdsParser::waits(long position, WaitHow how)
{
    if (settled)
        return false;
    if (finishedOpen && judging) {
        settlesHere = true;
        return true;
    }
    return backOff(position, how);
}

bool CcsdsParser::backOff(long position, WaitHow how)
{
    switch (how) {
    case WaitHow::BackOff:
        return host.backOff(fileSize, position);
    case WaitHow::BackOffQuietly:
        return host.backOff(fileSize, position, TelemetryCache::ParseHost::Say::Quiet);
    case WaitHow::Stop:
        break;
    }
    return true;
}

// A cache without a header test at a packet it cannot complete, once the
// file has settled: stepping into it would take its label's and payload's
// bytes for packets, so the parse stops there until the file grows: it waits
// for the packet then, and replays what it left once that was damage
// (replayLeftUnread()). Said once for the position and the file's size.
void CcsdsParser::leaveUnread(long position)
{
    if (position != leftAt || fileSize != leftSize)
        report(DamagedStretch::Kind::LeftUnread, position, fileSize);
    if (position != leftAt)
        leftFirstSize = fileSize;
    leftAt = position;
    leftSize = fileSize;
}

// The parse that opens a finished file, where it would wait: what remains is
// decided as the settled read decides it, in a parse of its own (what a parse
// cut short carries on with, the stretch being skipped included), as that
// read's settling grow would go on from there.
void CcsdsParser::settleHere()
{
    endParse();
    settled = true;
    beginParse();
}

// Whether the parse waits at a label at `position` whose claim runs past the
// end of the file, as at a partial packet: the label may still be being
// written. Not once the back-offs are spent, nor, in the parse that opens a
// finished file, when a confirmed run begins inside the claim: a label being
// written holds none. It waits without a line, as at any label not all
// written.
bool CcsdsParser::waitsAtLabel(long position, Need need)
{
    if (settled)
        return false;
    if (atEnd && judging) {
        // What the look learns counts only when it decides: a label that
        // waits teaches the parse nothing.
        const ArchiveWindow::Anchored keep(window, position);
        const Look<long> run =
            firstConfirmedRun(shown.seen, position, fileSize, RUN_VERIFIED, NOTHING_ASSUMED, bool(need));
        if (run.answer >= 0) {
            shown.seen.learn(run.learned);
            return false;
        }
    }
    return waits(position, WaitHow::BackOffQuietly);
}

// A label whose claim the finished file cannot hold is damage, as a damaged
// header is: the search goes on from its next byte, and the packet found
// reports the bytes skipped.
CcsdsParser::Step CcsdsParser::pastDamagedLabel(long& position)
{
    current = Next();
    ++refusals;
    shown.seen.budget.earn(1);
    ++position;
    ++skipped;
    return candidate(position, false, nullptr);
}

void CcsdsParser::parse(long& position, bool opens, bool finished)
{
    fileSize = host.fileSize();
    // The back-offs count the polls of a file that has not grown, whatever
    // waits: once they are spent, what remains is decided in one parse.
    settled = host.backOffsSpent(fileSize);
    finishedOpen = opens && finished && !settled;
    atEnd = (opens && finished) || settled;
    beginParse();
    // A hook that throws ends the parse as the end of the file would.
    struct Ending
    {
        CcsdsParser& parser;
        ~Ending()
        {
            parser.replayEnd = -1;
            parser.endParse();
        }
    } ending{*this};
    if (!judging && grownPastLeftUnread(position))
        replayLeftUnread(position);
    run(position);
    reportStretchToEnd(position);
}

// Once the read has decided the end of a finished file, the stretch it was
// skipping runs to that end: said once, up to the end of the file, and not
// again when the file grows and a packet follows. Not where the parse stops
// at a packet it leaves unread: that stretch stands before the packet.
void CcsdsParser::reportStretchToEnd(long position)
{
    if (!readsAsFinished() || skipped == 0 || (leftAt == position && leftSize == fileSize))
        return;
    const long end = std::max(fileSize, position);
    if (std::max(position - skipped, saidTo) < end) {
        reportSkipped(position, end);
        saidTo = end;
    }
}

// Whether the packet left unread at `position` was damage: the file has grown
// past its claim (its label's and its own, as the parse reads them there now),
// or has grown and settled again without completing it.
bool CcsdsParser::grownPastLeftUnread(long position) const
{
    if (position != leftAt || fileSize == leftSize)
        return false;
    if (settled)
        return true;
    const Look<HeaderAt> h = stoppedInSearch ? resyncHeaderAt(position, nullptr) : headerAt(position, nullptr);
    if (!h.answer.found())
        return false;
    window.fill(h.answer.at, CcsdsPrimaryHeader::SIZE);
    return h.answer.at + long(packetBytes(window.at(h.answer.at))) < fileSize;
}

// A cache without a header test that left a packet unread, once it was
// damage (grownPastLeftUnread): the claim may hold the packets written since. What the settled read did before
// it left packets unread is done now, on the file as it then was (stepping a
// byte at a time over what it could not complete, through its end), and the
// parse goes on from there as any: a recording that goes on after damage
// finds its way back as it always did.
void CcsdsParser::replayLeftUnread(long& position)
{
    const long end = leftFirstSize;
    leftAt = leftSize = leftFirstSize = -1;
    const long grown = fileSize;
    {
        // No look holds back bytes of its own without a header test.
        const ArchiveWindow::HeldBack held(window, end);
        fileSize = end;
        replayEnd = end;
        settled = true;
        atEnd = true;
        run(position);
        endParse();
    }
    replayEnd = -1;
    fileSize = grown;
    settled = host.backOffsSpent(fileSize);
    atEnd = settled;
    beginParse();
}

void CcsdsParser::run(long& position)
{
    for (;;) {
        const Step step = next(position);
        if (step == Step::Stop) {
            if (settlesHere) {
                settleHere();
                continue;
            }
            break;
        }
        const long start = current.header;
        // The looks past a candidate may have moved the window on.
        window.fill(start, CcsdsPrimaryHeader::SIZE);
        const size_t total = packetBytes(window.at(start));
        if (step == Step::Take && window.fill(start, total) == total) {
            reportSkipped(position, position);
            host.makeRoom(fileSize);
            TMPacketPtr p =
                makePacket<CcsdsPacket>(window.at(start), int(total), int(host.packetCount()), host.resolver());
            if (current.label.present) {
                p->groundSeconds = current.label.seconds;
                p->groundMs = current.label.ms;
            }
            took(window.at(start));
            // Committed with the packet, before the hooks run: one that
            // throws leaves the packet held once.
            const long from = position;
            position = start + long(total);
            host.accept(std::move(p), from, start, position);
            continue;
        }
        // Taken unjudged, not all there: whether it is decides alone.
        if (step == Step::Take) {
            if (waits(position)) {
                if (settlesHere) {
                    settleHere();
                    continue;
                }
                break;
            }
            if (leavesUnread()) {
                leaveUnread(position);
                break;
            }
        }
        report(DamagedStretch::Kind::ClaimPastEnd, start, start + long(total));
        ++position;
        ++skipped;
    }
}

} // namespace GseLib
