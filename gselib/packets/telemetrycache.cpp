// The telemetry cache's reading of an archive: opening it (a regular file
// only), the TOM parse, the hand-over of the CCSDS parse to its parser, the
// packets taken and handed to the resolver and the hooks, the read mark that
// tells a followed file started anew from one that grew, and the parse's
// messages, held and written when it ends.
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetrycache_p.h"

#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/ccsdsparser.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "tools/util/checksum.h"

#include <QString>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace GseLib {

namespace {

using ArchiveBytes::be16;

constexpr size_t STREAM_BUFFER_SIZE = 1 << 20;
constexpr size_t TOM_OVERHEAD = TomPacket::HEADER_SIZE + TomPacket::TRAILER_SIZE;

std::atomic<double> g_finishedFileAge{TelemetryCache::DEFAULT_FINISHED_FILE_AGE};

// Whether the open file was last modified at least `age` seconds ago. A file
// whose time is ahead of the clock is younger than any age.
bool lastWrittenBefore(FILE* file, double age)
{
    struct stat st;
    struct timespec now;
    if (!(age >= 0) || ::fstat(fileno(file), &st) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0)
        return false;
    const double since = double(now.tv_sec - st.st_mtim.tv_sec) + double(now.tv_nsec - st.st_mtim.tv_nsec) * 1e-9;
    return since >= age;
}

// Opens the path for reading when it names a regular file, after links; null
// otherwise. A FIFO would block the open until a writer came, and a device
// such as /dev/zero never ends: neither is an archive. The open does not
// block, and the type is tested again on the descriptor, so what is read is
// what was tested even if the path changed in between.
FILE* openRegularFile(const char* path)
{
    struct stat st;
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = ::fdopen(fd, "rb");
    if (!f)
        ::close(fd);
    return f;
}

// Up to n bytes of the file at pos, without moving its stream.
size_t readAt(int fd, long pos, unsigned char* out, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t k = ::pread(fd, out + got, n - got, off_t(pos) + off_t(got));
        if (k > 0)
            got += size_t(k);
        else if (k == 0 || errno != EINTR)
            break;
    }
    return got;
}

} // namespace

TelemetryCache::Private::Private(TelemetryCache& cache)
    : ccsds(std::make_unique<CcsdsParser>(ParseHost(cache, *this)))
{
}

TelemetryCache::Private::~Private() = default;

TelemetryCache::TelemetryCache(TimeResolver* resolver)
    : resolver(resolver),
      d(std::make_unique<Private>(*this))
{
    d->window.keep(&d->lastTaken.from, &d->lastTaken.header, &d->lastTaken.end, Private::MARK_LEAD_BYTES, &d->lastRead);
}

TelemetryCache::~TelemetryCache()
{
    releasePackets();
    if (file)
        std::fclose(file);
}

void TelemetryCache::setMessageStream(FILE* stream)
{
    d->messages = stream ? stream : stderr;
}

void TelemetryCache::message(const char* fmt, ...)
{
    char line[512];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    if (n < 0) {
        endMessage(); // a format the C library cannot write: its line stays empty
        return;
    }
    if (size_t(n) < sizeof line) {
        d->heldMessages.append(line, size_t(n));
    } else {
        const size_t at = d->heldMessages.size();
        d->heldMessages.resize(at + size_t(n) + 1);
        va_start(args, fmt);
        std::vsnprintf(d->heldMessages.data() + at, size_t(n) + 1, fmt, args);
        va_end(args);
        d->heldMessages.resize(at + size_t(n));
    }
    endMessage();
}

const std::vector<DamagedStretch>& TelemetryCache::damage() const
{
    return d->damage;
}

void TelemetryCache::reportDamage(const DamagedStretch& s)
{
    d->damage.push_back(s);
    s.appendLine(d->heldMessages, format == TOM ? TomPacket::HEADER_SIZE : CcsdsPrimaryHeader::SIZE);
    endMessage();
}

void TelemetryCache::endMessage()
{
    d->heldMessages += '\n';
    // A parse writes its lines together when it ends (a damaged archive has
    // thousands, and the stream is often unbuffered): one write, not two a
    // line.
    if (!run.running || d->heldMessages.size() >= Private::MESSAGES_HELD)
        flushMessages();
}

void TelemetryCache::flushMessages()
{
    if (d->heldMessages.empty())
        return;
    std::fwrite(d->heldMessages.data(), 1, d->heldMessages.size(), d->messages);
    std::fflush(d->messages);
    d->heldMessages.clear();
}

void TelemetryCache::setFinishedFileAge(double seconds)
{
    g_finishedFileAge = seconds;
}

double TelemetryCache::finishedFileAge()
{
    return g_finishedFileAge;
}

void TelemetryCache::setOpenAs(OpenAs how)
{
    d->openAs = how;
}

TelemetryCache::OpenAs TelemetryCache::openAs() const
{
    return d->openAs;
}

void TelemetryCache::changeFile(const std::string& newPath, bool clearFirst)
{
    path = newPath;
    // The file at the path is looked for again from wherever the program runs then.
    std::error_code failed;
    d->followedPath = std::filesystem::absolute(path, failed).string();
    d->mark = Private::ReadMark();
    d->forgetTaken();
    takeStream(openRegularFile(path.c_str()));
    if (!file)
        message("TMF::changeFile(%s) FAILED", path.c_str());
    position = 0;
    meta = TmMeta(QString::fromUtf8(path.c_str()));
    resetParseState();
    if (clearFirst)
        clear();
    d->fileFirstPacket = packets.size();
    d->fileFirstDamage = d->damage.size();
    if (file) {
        // A finished file is decided to its end in this read, as a read that
        // followed it would decide it once settled; one being written is read
        // as it is followed, so that the packets being written are kept.
        d->openedFinished = d->openAs == OpenAs::ByAge ? lastWrittenBefore(file, g_finishedFileAge)
                                                        : d->openAs == OpenAs::Finished;
        struct Opening
        {
            bool& flag;
            explicit Opening(bool& f) : flag(f) { flag = true; }
            ~Opening() { flag = false; } // also when a hook throws
        } parse(d->opening);
        grow();
    }
}

void TelemetryCache::takeStream(FILE* stream)
{
    if (file)
        std::fclose(file);
    file = stream;
    if (!file)
        return;
    if (!d->streamBuffer)
        d->streamBuffer.reset(new char[STREAM_BUFFER_SIZE]);
    std::setvbuf(file, d->streamBuffer.get(), _IOFBF, STREAM_BUFFER_SIZE);
    // Only this thread reads the stream: no locking per call.
    __fsetlocking(file, FSETLOCKING_BYCALLER);
    struct stat st;
    if (::fstat(fileno(file), &st) == 0) {
        d->mark.device = uint64_t(st.st_dev);
        d->mark.inode = uint64_t(st.st_ino);
    }
}

// A recorder that restarts truncates its archive, or puts a new one in its
// place, and writes a new recording from the start. Told apart from growth
// by the size, and by what the cache holds of the file, read back at its
// offsets: the first and the last packet taken, with their labels (a new
// recording's differ from the old one's in their times). A bit of the file
// that can no longer be read back is a difference too. A stat and a short
// read or two a grow.
bool TelemetryCache::startedAnew()
{
    struct stat st;
    const bool found = ::stat(d->followedPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (found && (uint64_t(st.st_dev) != d->mark.device || uint64_t(st.st_ino) != d->mark.inode)) {
        // The file read was renamed or removed and another put at the path:
        // that one is followed now, read on when it holds the bytes read.
        if (FILE* other = openRegularFile(d->followedPath.c_str()))
            takeStream(other);
    }
    const bool same = found && uint64_t(st.st_dev) == d->mark.device && uint64_t(st.st_ino) == d->mark.inode;
    const long size = same ? long(st.st_size) : currentFileSize();
    if (size < position) {
        message("File %s is %ld bytes, shorter than the read position %ld...reading it anew from the start",
                path.c_str(), size, position);
        return true;
    }
    if (d->matchesMark(fileno(file)))
        return false;
    message("File %s of %ld bytes was written anew before the read position %ld...reading it anew from the start",
            path.c_str(), size, position);
    return true;
}

// As changeFile reads the file, but the earlier files' packets stay.
void TelemetryCache::readAnew()
{
    const size_t first = std::min(d->fileFirstPacket, packets.size());
    if (first == 0)
        releasePackets();
    else
        packets.erase(packets.begin() + long(first), packets.end());
    d->damage.resize(std::min(d->fileFirstDamage, d->damage.size()));
    position = 0;
    d->mark.at = -1;
    d->mark.spans.clear();
    d->mark.broken = false;
    d->forgetTaken();
    meta = TmMeta(QString::fromUtf8(path.c_str()));
    resetParseState();
    // The earlier files' packets are timed as when they were read.
    resetResolver();
    for (const TMPacketPtr& p : packets)
        resolver->handlePacket(p);
    emit fileStartedAnew(int(std::min<size_t>(first, INT32_MAX)));
}

// ---- The read mark ----------------------------------------------------------

bool TelemetryCache::Private::matchesMark(int fd)
{
    if (mark.broken)
        return false;
    auto found = [&](const Span& span) {
        const size_t n = span.bytes.size();
        if (markScratch.size() < n)
            markScratch.resize(n);
        return readAt(fd, span.at, markScratch.data(), n) == n &&
               std::memcmp(markScratch.data(), span.bytes.data(), n) == 0;
    };
    if (!mark.first.bytes.empty() && !found(mark.first))
        return false;
    return std::all_of(mark.spans.begin(), mark.spans.end(), found);
}

void TelemetryCache::Private::forgetTaken()
{
    firstTaken = Taken();
    lastTaken = Taken();
    lastRead.at = lastRead.to = -1;
    mark.first = Span();
    mark.lastHeader = -1;
}

bool TelemetryCache::Private::copyRead(int fd, long at, size_t n, unsigned char* out) const
{
    if (at >= window.start() && at + long(n) <= window.end()) {
        std::memcpy(out, window.at(at), n);
        return true;
    }
    return readAt(fd, at, out, n) == n;
}

// The bytes of a packet just taken, with what stood before its header (as
// far as MARK_LEAD_BYTES reach), while the parse's window holds them.
void TelemetryCache::Private::keepTaken(int fd, const Taken& t, Span& into) const
{
    into.at = std::max(t.from, t.header - long(MARK_LEAD_BYTES));
    into.bytes.resize(size_t(t.end - into.at));
    if (!copyRead(fd, into.at, into.bytes.size(), into.bytes.data()))
        into.bytes.clear(); // changed under the parse already: marked broken
}

const unsigned char* TelemetryCache::Private::asRead(long a, long b) const
{
    if (a >= window.start() && b <= window.end())
        return window.at(a);
    const ArchiveWindow::Kept& k = lastRead;
    return a >= k.at && b <= k.to ? k.bytes.data() + (a - k.at) : nullptr;
}

// The last packet's span: its lead and its bytes as the parse read them
// (unless `marked` already holds them), then the bytes stepped over after it
// up to the span's end. A lead the window dropped before its packet was
// taken (a refill while the packet was read) is read again. False when a
// part cannot be had.
bool TelemetryCache::Private::markLast(int fd, Span& last, bool marked) const
{
    unsigned char* out = last.bytes.data();
    const size_t lead = size_t(lastTaken.header - last.at);
    const size_t body = size_t(lastTaken.end - lastTaken.header);
    bool whole = true;
    if (!marked) {
        const unsigned char* leadBytes = lead == 0 ? out : asRead(last.at, lastTaken.header);
        std::vector<unsigned char> reread;
        if (!leadBytes) {
            reread.resize(lead);
            if (copyRead(fd, last.at, lead, reread.data()))
                leadBytes = reread.data();
        }
        const unsigned char* bodyBytes = asRead(lastTaken.header, lastTaken.end);
        whole = leadBytes && bodyBytes;
        if (whole) {
            std::memmove(out, leadBytes, lead);
            std::memcpy(out + lead, bodyBytes, body);
        }
    }
    return copyRead(fd, lastTaken.end, last.bytes.size() - lead - body, out + lead + body) && whole;
}

void TelemetryCache::Private::markRead(int fd, long position) noexcept
{
    // Where the read has not moved, the bytes marked were just found again.
    if (position == mark.at && !mark.broken)
        return;
    mark.at = position;
    mark.broken = firstTaken.from >= 0 && mark.first.bytes.empty();
    size_t used = 0; // the spans' buffers are kept from one mark to the next
    auto next = [&](long at, size_t n) -> Span& {
        if (mark.spans.size() <= used)
            mark.spans.emplace_back();
        Span& span = mark.spans[used++];
        span.at = at;
        span.bytes.resize(n);
        return span;
    };
    try {
        // The bytes after the last packet the parse stepped over, up to the
        // position, with it as far as MARK_BYTES reach.
        long after = firstTaken.end;
        if (firstTaken.from < 0) {
            if (position > 0) {
                Span& head = next(0, size_t(std::min<long>(position, long(MARK_BYTES))));
                mark.broken |= !copyRead(fd, 0, head.bytes.size(), head.bytes.data());
            }
            after = 0;
        } else if (lastTaken.from != firstTaken.from) {
            // Kept from the last mark when the packet was taken before this
            // parse, whose window holds none of it.
            const long at = std::max(lastTaken.from, lastTaken.header - long(MARK_LEAD_BYTES));
            const long tailEnd =
                std::max(lastTaken.end, position - lastTaken.end <= long(MARK_BYTES) ? position : lastTaken.end);
            const bool marked = mark.lastHeader == lastTaken.header && !mark.spans.empty() && mark.spans[0].at == at &&
                                mark.spans[0].bytes.size() >= size_t(lastTaken.end - at);
            mark.broken |= !markLast(fd, next(at, size_t(tailEnd - at)), marked);
            mark.lastHeader = lastTaken.header;
            after = tailEnd;
        }
        const long tail = std::max(after, position - long(MARK_BYTES));
        if (position > tail) {
            Span& rest = next(tail, size_t(position - tail));
            mark.broken |= !copyRead(fd, tail, rest.bytes.size(), rest.bytes.data());
        }
    } catch (...) {
        mark.broken = true; // no room to hold it: read the file anew rather than miss a restart
    }
    mark.spans.resize(std::min(used, mark.spans.size()));
}

// ---- Reading ------------------------------------------------------------------

void TelemetryCache::grow()
{
    if (!file)
        return;
    if (!d->opening && startedAnew())
        readAnew();
    std::fseek(file, position, SEEK_SET);
    if (position == 0)
        adjustStartPos(file, &position);
    // The definitions hold still while a parse runs: hooks may keep what they
    // derive from them for its length.
    ++run.started;
    // Asked once a parse, not in a constructor, where the object is not yet
    // its own class.
    findOverrides();
    struct Parsing
    {
        TelemetryCache& cache;
        explicit Parsing(TelemetryCache& c) : cache(c) { cache.run.running = true; }
        // Also when a hook throws: what was taken is marked with the
        // position past it.
        ~Parsing()
        {
            cache.run.running = false;
            cache.flushMessages();
            cache.d->markRead(fileno(cache.file), cache.position);
        }
    } parsing(*this);
    switch (format) {
    case CCSDS:
        parseCcsds();
        break;
    case TOM:
        parseTom();
        break;
    default:
        d->window.reset(file, position); // holds nothing of this parse's
        parseCustomPackets();
        break;
    }
}

void TelemetryCache::releasePackets()
{
    // Each release ends in atomic operations, which let no later load start
    // early: the packets a few places on are fetched ahead, so that a cache
    // of a million packets is released in milliseconds rather than waiting
    // on every cache miss in turn.
    constexpr size_t AHEAD = 32;
    TMPacketPtr* p = packets.data();
    const size_t n = packets.size();
    for (size_t i = 0; i < n; ++i) {
        if (i + AHEAD < n) {
            const char* object = reinterpret_cast<const char*>(p[i + AHEAD].get());
            __builtin_prefetch(object - 16, 1); // its control block
            __builtin_prefetch(object + 48, 1);
        }
        if (i + AHEAD / 2 < n && p[i + AHEAD / 2]) {
            const char* vec = reinterpret_cast<const char*>(p[i + AHEAD / 2]->bytes.get());
            __builtin_prefetch(vec - 16, 1); // its control block
            __builtin_prefetch(vec + 16, 1); // its last pointer, often on the next line
        }
        p[i].reset();
    }
    // The capacity stays: the next archive fills it again (changeFile).
    packets.clear();
}

void TelemetryCache::clear()
{
    releasePackets();
    d->fileFirstPacket = 0;
    d->damage.clear();
    d->fileFirstDamage = 0;
    resetResolver();
    resetParseState();
}

void TelemetryCache::resetResolver()
{
    resolver->reset();
    if (meta.valid) {
        const QDateTime t0 = meta.datetimeFromTidDir();
        if (t0.isValid())
            resolver->setT0Fallback(t0.toMSecsSinceEpoch() / 1000.0);
    }
}

void TelemetryCache::resetParseState()
{
    d->tomReads = Private::PartialReads();
    d->ccsdsReads = Private::PartialReads();
    d->laterTom = LaterPacketLook();
    d->tomSkipped = 0;
    d->ccsds->reset();
}

TMPacketPtr TelemetryCache::get(unsigned int i) const
{
    return i < packets.size() ? packets[i] : TMPacketPtr();
}

void TelemetryCache::appendPacket(const TMPacketPtr& packet)
{
    packets.push_back(packet);
    if (packets.size() > maxPackets) {
        const size_t n = std::min(removeCount, packets.size());
        packets.erase(packets.begin(), packets.begin() + long(n));
        d->fileFirstPacket -= std::min(n, d->fileFirstPacket);
        emit packetsRemoved(int(n));
    }
}

void TelemetryCache::setMaxPackets(size_t max, size_t remove)
{
    maxPackets = max;
    removeCount = remove;
}

void TelemetryCache::parseCustomPackets()
{
}

void TelemetryCache::hookPacket(const TMPacketPtr&)
{
}

#if defined(__GNUC__) && !defined(__clang__)
constexpr bool CAN_TELL_OVERRIDES = true;
#else
constexpr bool CAN_TELL_OVERRIDES = false;
#endif

// Whether the hooks are this class's own, which the parses then need not
// call (an override of hookPacket gets a pointer of its own per packet, two
// atomic operations): read off the object's own table through GCC's bound
// member function extension, so that an override may call its base. Other
// compilers hand every packet to hookPacket and find out about the other
// two on their first calls.
void TelemetryCache::findOverrides()
{
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
    using PacketHook = void (*)(TelemetryCache*, const TMPacketPtr&);
    using SkipHook = size_t (*)(TelemetryCache*, const unsigned char*, size_t);
    using StreamHook = void (*)(TelemetryCache*, FILE*);
    auto kind = [](bool base) { return base ? Private::Hook::Base : Private::Hook::Overridden; };
    d->packetHook = kind(reinterpret_cast<PacketHook>(this->*(&TelemetryCache::hookPacket)) ==
                      reinterpret_cast<PacketHook>(&TelemetryCache::hookPacket));
    d->skipHook = kind(reinterpret_cast<SkipHook>(this->*(&TelemetryCache::skipBeforeCcsds)) ==
                    reinterpret_cast<SkipHook>(&TelemetryCache::skipBeforeCcsds));
    d->streamHook = kind(reinterpret_cast<StreamHook>(this->*(&TelemetryCache::beforeParseCcsds)) ==
                      reinterpret_cast<StreamHook>(&TelemetryCache::beforeParseCcsds));
#pragma GCC diagnostic pop
#else
    d->packetHook = Private::Hook::Overridden;
#endif
}

void TelemetryCache::adjustStartPos(FILE*, long*)
{
}

long TelemetryCache::currentFileSize() const
{
    struct stat st;
    if (file && fstat(fileno(file), &st) == 0)
        return long(st.st_size);
    return 0;
}

void TelemetryCache::reserveFor(long fileSize)
{
    // Grow the packet vector to about what the rest of the file holds, so
    // that a whole archive does not leave much slack behind, but never past
    // double what it holds: the file's size says nothing of how much of it
    // is written (a sparse or preallocated archive of a terabyte with a few
    // thousand packets in it would ask for hundreds of gigabytes).
    const size_t n = packets.size();
    if (n < packets.capacity())
        return;
    const size_t minimum = n / 8 + 64;
    size_t extra = n + 64; // doubling
    if (n > 0 && position > 0 && fileSize > position) {
        const double bytesPerPacket = double(position) / double(n);
        const double estimate = double(fileSize - position) / bytesPerPacket * 1.02 + 64;
        extra = std::min(extra, size_t(estimate));
    }
    // Left to the system's page size, as the arena's chunks are (see there).
    packets.reserve(n + std::max(extra, minimum));
}

void TelemetryCache::accept(TMPacketPtr&& packet, long from, long header, long end)
{
    packets.push_back(std::move(packet));
    const TMPacketPtr& stored = packets.back();
    try {
        resolver->handlePacket(stored);
    } catch (...) {
        // Held not at all: the next grow takes it again, hooks and all.
        packets.pop_back();
        position = from;
        throw;
    }
    // A refill of the window keeps it with its lead from now on (markRead).
    d->lastTaken = {from, header, end};
    if (d->firstTaken.from < 0) {
        d->firstTaken = d->lastTaken;
        d->keepTaken(fileno(file), d->firstTaken, d->mark.first);
    }
    if (d->packetHook == Private::Hook::Base)
        return;
    // An override gets a pointer of its own: the vector's element would not
    // survive the hook appending to this cache.
    const TMPacketPtr held = stored;
    hookPacket(held);
}


// ---- TOM parse -------------------------------------------------------------

bool TelemetryCache::tomChecksumOk(long pos, size_t covered)
{
    return GseLib::correct_checksum(d->window.at(pos), covered, false);
}

bool TelemetryCache::laterCompleteTomPacket(long pos, long fileEnd)
{
    return d->laterTom(pos, fileEnd, fileEnd - long(TOM_OVERHEAD), [&](long o) {
        const uint8_t* h = d->window.at(o);
        const size_t covered = TomPacket::HEADER_SIZE + be16(h + 2);
        const bool found = o + long(covered + TomPacket::TRAILER_SIZE) <= fileEnd && validHeader(h) &&
                           d->window.checksumMayMatch(o, covered) && tomChecksumOk(o, covered);
        return found ? LaterPacketLook::FOUND : LaterPacketLook::NONE;
    });
}

// Takes the whole TOM packet of `total` bytes at `position` when its
// checksum holds, and moves `position` past it.
bool TelemetryCache::takeTomPacket(long& position, long& skipped, size_t total, long fileSize)
{
    ArchiveWindow& window = d->window;
    const size_t covered = total - TomPacket::TRAILER_SIZE;
    // While resynchronising most candidates are garbage: rule them out cheaply.
    if ((skipped != 0 && !window.checksumMayMatch(position, covered)) || !tomChecksumOk(position, covered))
        return false;
    if (skipped)
        reportDamage({position - skipped, position, DamagedStretch::Kind::Skipped, packets.size()});
    makeRoom(fileSize);
    TMPacketPtr p = makePacket<TomPacket>(window.at(position), int(total), int(packets.size()), resolver.get());
    const long at = position;
    // Committed with the packet, before the hooks run: one that throws
    // leaves the packet held once.
    position += long(total);
    skipped = 0;
    accept(std::move(p), at, at, position);
    return true;
}

void TelemetryCache::parseTom()
{
    ArchiveWindow& window = d->window;
    window.reset(file, position);
    const long fileSize = currentFileSize();
    // A stretch cut short by the end of the file goes on in the next parse.
    long& skipped = d->tomSkipped;

    for (;;) {
        if (window.fill(position, TomPacket::HEADER_SIZE) < size_t(TomPacket::HEADER_SIZE))
            break;
        const uint8_t* h = window.at(position);
        bool resync = true;
        if (!validHeader(h)) {
            message("Invalid header - type: %d length: %d", int(h[0]), int(be16(h + 2)));
        } else {
            const size_t dataBytes = be16(h + 2);
            const size_t total = dataBytes + TOM_OVERHEAD;
            if (window.fill(position, total) < total) {
                const long fileEnd = window.end();
                if (laterCompleteTomPacket(position, fileEnd)) {
                    // A complete packet follows within the file: this candidate is garbage.
                } else if (d->tomReads.backOff(fileEnd)) {
                    message("Read partial packet...backing up to index %ld", position);
                    break;
                } else {
                    reportDamage({position, position + long(total), DamagedStretch::Kind::ClaimPastEnd, packets.size()});
                }
            } else {
                resync = !takeTomPacket(position, skipped, total, fileSize);
            }
        }
        if (resync) {
            ++position;
            ++skipped;
        }
    }
    std::fseek(file, position, SEEK_SET);
}

// ---- CCSDS parse -----------------------------------------------------------

void TelemetryCache::beforeParseCcsds(FILE*)
{
    // Where overrides are not read off the object: tells the parse that no
    // override reads the stream, so that it need not keep the stream on each
    // packet.
    if (!CAN_TELL_OVERRIDES)
        d->streamHook = Private::Hook::Base;
}

size_t TelemetryCache::skipBeforeCcsds(const unsigned char*, size_t)
{
    // Not overridden: the parse offers the step to beforeParseCcsds instead.
    if (!CAN_TELL_OVERRIDES)
        d->skipHook = Private::Hook::Base;
    return 0;
}

size_t TelemetryCache::paddingAfterCcsds(size_t) const
{
    return 0;
}

bool TelemetryCache::plausibleHeader(const unsigned char*)
{
    return false;
}

void TelemetryCache::parseCcsds()
{
    d->window.reset(file, position);
    d->ccsds->parse(position, d->opening, d->openedFinished);
    std::fseek(file, position, SEEK_SET);
}

} // namespace GseLib
