#include "gselib/packets/telemetrycache.h"

#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "tools/util/checksum.h"

#include <QString>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace GseLib {

namespace {

constexpr size_t STREAM_BUFFER_SIZE = 1 << 20;
constexpr size_t WINDOW_SIZE = 1 << 20; // well above the largest TOM packet (65547 bytes)
constexpr size_t TOM_OVERHEAD = TomPacket::HEADER_SIZE + TomPacket::TRAILER_SIZE;
constexpr char LABEL_MAGIC[] = "C7333IA0";
// Bytes that the looks for runs of packets inside resynchronisation
// candidates may go over: per search, and more per byte searched.
constexpr long CHAIN_BUDGET = 4 << 20;
constexpr long CHAIN_BUDGET_PER_BYTE = 64;

inline uint32_t be16(const uint8_t* p)
{
    return (uint32_t(p[0]) << 8) | p[1];
}

inline uint32_t be32(const uint8_t* p)
{
    return (be16(p) << 16) | be16(p + 2);
}

// The bytes of the CCSDS packet whose primary header is at `header`. In 32
// bits: a length field of 65535 is a 65,536-byte body, not 0.
inline size_t packetBytes(const uint8_t* header)
{
    return be16(header + 4) + 1u + CcsdsPrimaryHeader::SIZE;
}

inline uint32_t apidOf(const uint8_t* header)
{
    return ((uint32_t(header[0]) & 0x07) << 8) | header[1];
}

// Whether two CCSDS primary headers agree in version, type, secondary-header
// flag and sequence flags.
inline bool sameFixedBits(const uint8_t* a, const uint8_t* b)
{
    return ((a[0] ^ b[0]) & 0xF8) == 0 && ((a[2] ^ b[2]) & 0xC0) == 0;
}

#if defined(__SSE2__)
// sameFixedBits sixteen places at a time: 0xFF for each of the places p to
// p + 15 whose header agrees with the one at `bits` (every place, without
// it); reads p[0] to p[17].
struct FixedBitsMask
{
    __m128i mask0, mask2, want0, want2;

    explicit FixedBitsMask(const uint8_t* bits)
        : mask0(_mm_set1_epi8(char(bits ? 0xF8 : 0))), mask2(_mm_set1_epi8(char(bits ? 0xC0 : 0))),
          want0(_mm_set1_epi8(char(bits ? bits[0] & 0xF8 : 0))), want2(_mm_set1_epi8(char(bits ? bits[2] & 0xC0 : 0)))
    {
    }

    __m128i operator()(const uint8_t* p) const
    {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
        return _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(first, mask0), want0),
                             _mm_cmpeq_epi8(_mm_and_si128(third, mask2), want2));
    }
};
#endif

} // namespace

// Whether a header has the archive's fixed bits (any has them before the
// first packet): a damaged header of the archive's own keeps them, the bytes
// of a payload that pass for a header seldom do. Asked of every byte a search
// tries.
inline bool TelemetryCache::usualBits(const uint8_t* header) const
{
    return !tookCcsds || sameFixedBits(lastTaken.data(), header);
}

namespace {

inline bool isDigit(uint8_t c)
{
    return c >= '0' && c <= '9';
}

// Whether the first n bytes of b (n <= 20) can begin an archive label:
// "C7333IA0", then "GANN" or "FANN", then 8 ASCII digits.
bool couldStartLabel(const uint8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        bool ok;
        if (i < 8)
            ok = b[i] == uint8_t(LABEL_MAGIC[i]);
        else if (i == 8)
            ok = b[i] == 'G' || b[i] == 'F';
        else if (i < 12)
            ok = b[i] == uint8_t("ANN"[i - 9]);
        else
            ok = isDigit(b[i]);
        if (!ok)
            return false;
    }
    return true;
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

} // namespace

TelemetryCache::TelemetryCache(TimeResolver* resolver)
    : packetBuffer(new unsigned char[PACKET_BUFFER_SIZE]),
      labelBuffer(new unsigned char[LABEL_BUFFER_SIZE]),
      resolver(resolver)
{
}

TelemetryCache::~TelemetryCache()
{
    releasePackets();
    if (file)
        std::fclose(file);
    delete[] packetBuffer;
    delete[] labelBuffer;
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
        heldMessages.append(line, size_t(n));
    } else {
        const size_t at = heldMessages.size();
        heldMessages.resize(at + size_t(n) + 1);
        va_start(args, fmt);
        std::vsnprintf(heldMessages.data() + at, size_t(n) + 1, fmt, args);
        va_end(args);
        heldMessages.resize(at + size_t(n));
    }
    endMessage();
}

// "Skipped N bytes [a - b]" for the region that ends at `to`, formatted
// without printf: a damaged archive writes one for every damaged region.
void TelemetryCache::skippedMessage(long skipped, long to)
{
    auto text = [&](std::string_view s) { heldMessages.append(s); };
    auto number = [&](long v) {
        char digits[24];
        heldMessages.append(digits, size_t(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
    };
    text("Skipped ");
    number(int(skipped));
    text(" bytes [");
    number(to - skipped);
    text(" - ");
    number(to);
    text("]");
    endMessage();
}

void TelemetryCache::endMessage()
{
    heldMessages += '\n';
    // A parse writes its lines together when it ends (a damaged archive has
    // thousands, and the stream is often unbuffered): one write, not two a
    // line.
    if (!inParse || heldMessages.size() >= MESSAGES_HELD)
        flushMessages();
}

void TelemetryCache::flushMessages()
{
    if (heldMessages.empty())
        return;
    std::fwrite(heldMessages.data(), 1, heldMessages.size(), messages);
    std::fflush(messages);
    heldMessages.clear();
}

void TelemetryCache::changeFile(const std::string& newPath, bool clearFirst)
{
    path = newPath;
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    file = openRegularFile(path.c_str());
    if (!file) {
        message("TMF::changeFile(%s) FAILED", path.c_str());
    } else {
        if (!streamBuffer)
            streamBuffer.reset(new char[STREAM_BUFFER_SIZE]);
        std::setvbuf(file, streamBuffer.get(), _IOFBF, STREAM_BUFFER_SIZE);
        // Only this thread reads the stream: no locking per call.
        __fsetlocking(file, FSETLOCKING_BYCALLER);
    }
    position = 0;
    meta = TmMeta(QString::fromUtf8(path.c_str()));
    resetParseState();
    if (clearFirst)
        clear();
    if (file)
        grow();
}

void TelemetryCache::grow()
{
    if (!file)
        return;
    std::fseek(file, position, SEEK_SET);
    if (position == 0)
        adjustStartPos(file, &position);
    // The definitions hold still while a parse runs: hooks may keep what they
    // derive from them for its length.
    ++parses;
    struct Parsing
    {
        TelemetryCache& cache;
        explicit Parsing(TelemetryCache& c) : cache(c) { cache.inParse = true; }
        ~Parsing()
        {
            cache.inParse = false;
            cache.flushMessages();
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
    resolver->reset();
    resetParseState();
    if (meta.valid) {
        const QDateTime t0 = meta.datetimeFromTidDir();
        if (t0.isValid())
            resolver->setT0Fallback(t0.toMSecsSinceEpoch() / 1000.0);
    }
}

void TelemetryCache::resetParseState()
{
    tomReads = PartialReads();
    ccsdsReads = PartialReads();
    lookahead = Lookahead();
    ccsdsResyncing = false;
    ccsdsRejecting = false;
    ccsdsLookahead = Lookahead();
    ccsdsDamaged = false;
    labelsSeen = false;
    tookCcsds = false;
    longestStep = 0;
    longestJudged.fill(0);
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
    // Not overridden: the parse need not call it again.
    packetHook = Hook::Base;
}

void TelemetryCache::adjustStartPos(FILE*, long*)
{
}

bool TelemetryCache::validHeader(const unsigned char*)
{
    return true;
}

long TelemetryCache::currentFileSize() const
{
    struct stat st;
    if (file && fstat(fileno(file), &st) == 0)
        return long(st.st_size);
    return 0;
}

bool TelemetryCache::backOff(PartialReads& reads, long fileEnd)
{
    // A file that grew since the last back-off is still being written: the
    // packet is not given up on however often the caller polls.
    if (reads.count > 0 && reads.fileEnd != fileEnd)
        reads.count = 0;
    reads.fileEnd = fileEnd;
    if (reads.count < PARTIAL_READ_LIMIT) {
        ++reads.count;
        return true;
    }
    reads.count = 0;
    return false;
}

void TelemetryCache::reserveFor(long fileSize)
{
    // Grow the packet vector to about what the rest of the file holds, so
    // that a whole archive does not leave half a vector of slack behind and
    // is not copied a dozen times on the way. Until a few thousand packets
    // have been seen, an estimate well beyond doubling the vector only
    // doubles it (small packets at the start of a file of large ones would
    // reserve far too much); the next growth estimates again from more.
    // Reserved but unused capacity is never touched, so it costs address
    // space rather than memory.
    constexpr size_t TRUSTED_SAMPLE = 4096;
    const size_t n = packets.size();
    if (n < packets.capacity())
        return;
    const size_t minimum = n / 8 + 64;
    size_t extra = minimum;
    if (n > 0 && position > 0 && fileSize > position) {
        const double bytesPerPacket = double(position) / double(n);
        const double estimate = double(fileSize - position) / bytesPerPacket * 1.02 + 64;
        const double doubling = double(n + 64);
        const bool trusted = n >= TRUSTED_SAMPLE || estimate <= doubling + double(minimum);
        extra = std::max(extra, size_t(trusted ? estimate : doubling));
    }
    // Left to the system's page size, as the arena's chunks are (see there).
    packets.reserve(n + extra);
}

void TelemetryCache::accept(TMPacketPtr&& packet)
{
    packets.push_back(std::move(packet));
    const TMPacketPtr& stored = packets.back();
    resolver->handlePacket(stored);
    if (packetHook == Hook::Base)
        return;
    // An override gets a pointer of its own: the vector's element would not
    // survive the hook appending to this cache.
    const TMPacketPtr held = stored;
    hookPacket(held);
    if (packetHook == Hook::Unknown)
        packetHook = Hook::Overridden;
}

// ---- TOM parse -------------------------------------------------------------

void TelemetryCache::startWindow()
{
    if (!window.bytes)
        window.bytes.reset(new uint8_t[WINDOW_SIZE]);
    window.start = position;
    window.length = 0;
    window.atEof = false;
    window.sumsValid = false;
}

size_t TelemetryCache::readAt(long pos, uint8_t* out, size_t n)
{
    // Straight from the file into the window: no stream buffer in between,
    // and the stream stays where the hooks expect it.
    size_t got = 0;
    const int fd = fileno(file);
    while (got < n) {
        const ssize_t k = pread(fd, out + got, n - got, off_t(pos) + off_t(got));
        if (k > 0) {
            got += size_t(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else if (k < 0 && got == 0) {
            // Not a plain file (a pipe or the like): through the stream.
            std::clearerr(file);
            if (std::fseek(file, pos, SEEK_SET) != 0 && std::ftell(file) != pos)
                return 0;
            return std::fread(out, 1, n, file);
        } else {
            break;
        }
    }
    return got;
}

size_t TelemetryCache::windowRefill(long pos, size_t n)
{
    const long end = window.start + long(window.length);
    if (pos >= window.start && pos <= end && window.atEof)
        return size_t(end - pos);
    // The bytes from pos on are kept, or from the anchor when a look ahead
    // must not lose the candidate it looks past (and both fit).
    long from = pos;
    if (windowAnchor >= 0 && windowAnchor < pos && size_t(pos - windowAnchor) + n <= WINDOW_SIZE)
        from = windowAnchor;
    size_t keep = 0;
    if (from >= window.start && from <= end) {
        keep = size_t(end - from);
        if (keep && from != window.start)
            std::memmove(window.bytes.get(), windowAt(from), keep);
    }
    window.start = from;
    window.length = keep;
    window.atEof = false;
    window.sumsValid = false;
    const size_t want = WINDOW_SIZE - keep;
    const size_t got = readAt(from + long(keep), window.bytes.get() + keep, want);
    window.length += got;
    if (got < want)
        window.atEof = true;
    const long have = window.start + long(window.length) - pos;
    return have <= 0 ? 0 : std::min(n, size_t(have));
}

void TelemetryCache::buildWindowSums()
{
    const uint8_t* b = window.bytes.get();
    const size_t n = window.length;
    window.sumsEven.assign(n / 2 + 1, 0);
    window.sumsOdd.assign((n + 1) / 2 + 1, 0);
    uint32_t s = 0;
    for (size_t i = 0; 2 * i + 1 < n; ++i) {
        s += be16(b + 2 * i);
        if (s >= 65535)
            s -= 65535;
        window.sumsEven[i + 1] = uint16_t(s);
    }
    s = 0;
    for (size_t i = 0; 2 * i + 2 < n; ++i) {
        s += be16(b + 2 * i + 1);
        if (s >= 65535)
            s -= 65535;
        window.sumsOdd[i + 1] = uint16_t(s);
    }
    window.sumsValid = true;
}

// A necessary condition for the Fletcher-32 of the `covered` bytes at pos to
// match its stored value, in O(1): the simple sum modulo 65535. The stored
// simple sum is that residue, or (after the final fold left 65535 to 65538)
// the residue less 1 to 3 modulo 65536.
bool TelemetryCache::checksumMayMatch(long pos, size_t covered)
{
    if (!window.sumsValid)
        buildWindowSums();
    const uint8_t* b = window.bytes.get();
    const size_t o = size_t(pos - window.start);
    const size_t words = covered / 2;
    uint32_t s;
    if (o % 2 == 0) {
        const size_t k = o / 2;
        s = (uint32_t(window.sumsEven[k + words]) + 65535 - window.sumsEven[k]) % 65535;
    } else {
        const size_t k = (o - 1) / 2;
        s = (uint32_t(window.sumsOdd[k + words]) + 65535 - window.sumsOdd[k]) % 65535;
    }
    if (covered % 2)
        s = (s + (uint32_t(b[o + covered - 1]) << 8)) % 65535;
    const uint32_t stored = be16(b + o + covered + 2);
    return stored % 65535 == s || ((stored + 65536 - s) & 0xFFFF) >= 65532;
}

bool TelemetryCache::tomChecksumOk(long pos, size_t covered)
{
    return GseLib::correct_checksum(windowAt(pos), covered, false);
}

bool TelemetryCache::laterCompleteTomPacket(long pos, long fileEnd)
{
    if (lookahead.from >= 0 && lookahead.fileEnd == fileEnd && pos >= lookahead.from) {
        if (lookahead.found < 0)
            return false; // nothing complete after an earlier start, so nothing after this one
        if (lookahead.found > pos)
            return true;
    }
    lookahead.from = pos;
    lookahead.fileEnd = fileEnd;
    lookahead.found = -1;
    for (long o = pos + 1; o + long(TOM_OVERHEAD) <= fileEnd; ++o) {
        const uint8_t* h = windowAt(o);
        const size_t covered = TomPacket::HEADER_SIZE + be16(h + 2);
        if (o + long(covered + TomPacket::TRAILER_SIZE) > fileEnd)
            continue;
        if (!validHeader(h) || !checksumMayMatch(o, covered) || !tomChecksumOk(o, covered))
            continue;
        lookahead.found = o;
        return true;
    }
    return false;
}

void TelemetryCache::parseTom()
{
    startWindow();
    const long fileSize = currentFileSize();
    long skipped = 0;

    for (;;) {
        if (windowFill(position, TomPacket::HEADER_SIZE) < size_t(TomPacket::HEADER_SIZE))
            break;
        const uint8_t* h = windowAt(position);
        bool resync = true;
        if (!validHeader(h)) {
            message("Invalid header - type: %d length: %d", int(h[0]), int(be16(h + 2)));
        } else {
            const size_t dataBytes = be16(h + 2);
            const size_t total = dataBytes + TOM_OVERHEAD;
            if (windowFill(position, total) < total) {
                const long fileEnd = window.start + long(window.length);
                if (laterCompleteTomPacket(position, fileEnd)) {
                    // A complete packet follows within the file: this candidate is garbage.
                } else if (backOff(tomReads, fileEnd)) {
                    message("Read partial packet...backing up to index %ld", position);
                    break;
                } else {
                    message("Could not read %zu bytes from file...skipping ahead 1 byte",
                            dataBytes + TomPacket::TRAILER_SIZE);
                }
            } else {
                tomReads.count = 0;
                const size_t covered = dataBytes + TomPacket::HEADER_SIZE;
                // While resynchronising most candidates are garbage: rule them out cheaply.
                if ((skipped == 0 || checksumMayMatch(position, covered)) && tomChecksumOk(position, covered)) {
                    if (skipped)
                        skippedMessage(skipped, position);
                    if (packets.size() == packets.capacity())
                        reserveFor(fileSize);
                    accept(makePacket<TomPacket>(windowAt(position), int(total), int(packets.size()),
                                                 resolver.get()));
                    position += long(total);
                    skipped = 0;
                    resync = false;
                }
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

bool TelemetryCache::labelComplete(long pos, size_t total)
{
    if (total <= WINDOW_SIZE)
        return windowFill(pos, total) == total;
    // A label longer than the window: only its ground time is read, the rest
    // must merely be there.
    return windowFill(pos, 40) == 40 && currentFileSize() - pos >= long(total);
}

void TelemetryCache::beforeParseCcsds(FILE*)
{
    // Tells the parse that no override reads the stream, so that it need not
    // keep the stream on each packet. Overrides must not call this one.
    streamHook = Hook::Base;
}

size_t TelemetryCache::skipBeforeCcsds(const unsigned char*, size_t)
{
    // Not overridden: the parse offers the step to beforeParseCcsds instead.
    skipHook = Hook::Base;
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

long TelemetryCache::runStreamHook(long at)
{
    if (streamHook == Hook::Base)
        return at;
    std::fseek(file, at, SEEK_SET);
    beforeParseCcsds(file);
    if (streamHook == Hook::Base)
        return at;
    streamHook = Hook::Overridden;
    const long after = std::ftell(file);
    return after >= 0 ? after : at;
}

long TelemetryCache::skipCcsds(long at)
{
    if (skipHook != Hook::Base) {
        const size_t n = windowFill(at, CCSDS_SKIP_LOOKAHEAD);
        const size_t skip = skipBeforeCcsds(windowAt(at), n);
        if (skipHook != Hook::Base) {
            skipHook = Hook::Overridden;
            longestStep = std::max(longestStep, long(skip));
            return at + long(skip);
        }
    }
    return runStreamHook(at);
}

// Where the primary header of a packet attempt that begins at pos stands:
// past an archive label and whatever the hooks step over, with at least a
// header's bytes there. -1 when the file does not yet hold enough to tell (it
// ends there, or within a label or a header), and the parse stops to wait
// for it to grow.
long TelemetryCache::ccsdsHeaderAt(long pos, Label* label, bool hooks)
{
    const size_t ahead = windowFill(pos, LABEL_LOOKAHEAD);
    if (ahead < LABEL_LOOKAHEAD && (ahead == 0 || couldStartLabel(windowAt(pos), ahead)))
        return -1; // nothing more, or the start of a label still being written
    long start = pos;
    if (ahead == LABEL_LOOKAHEAD && couldStartLabel(windowAt(pos), LABEL_LOOKAHEAD)) {
        const uint8_t* l = windowAt(pos);
        size_t n = 0;
        for (size_t i = 12; i < 20; ++i)
            n = n * 10 + size_t(l[i] - '0');
        const size_t total = n + 2 * LABEL_LOOKAHEAD;
        if (!labelComplete(pos, total))
            return -1;
        labelsSeen = true;
        if (label) {
            l = windowAt(pos);
            label->present = true;
            if (l[8] == 'G') {
                label->seconds = be32(l + 24);
                label->ms = be16(l + 28);
            } else {
                label->seconds = be32(l + 32);
                label->ms = be16(l + 36);
            }
        }
        start = pos + long(total);
    }
    if (hooks)
        start = skipCcsds(start);
    if (windowFill(start, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE))
        return -1;
    return start;
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

TelemetryCache::CcsdsVerdict TelemetryCache::judgeCcsds(long position, long start, bool knownValid)
{
    const bool searching = ccsdsSkipped > 0 || ccsdsResyncing;
    if (!knownValid && !validHeader(windowAt(start))) {
        long resume = ccsdsJudging ? passRejected(position, start) : position + 1;
        if (resume == position + 1 && start == position)
            resume = pastNonHeaders(resume);
        return {resume < 0 ? CcsdsVerdict::Wait : CcsdsVerdict::Refuse, resume};
    }
    const size_t total = packetBytes(windowAt(start));
    if (windowFill(start, total) < total) {
        // Runs past the end of the file: left to the growing-file rules,
        // unless, after a rejected header, a packet follows within the file,
        // or, in an archive that has shown damage, the bytes it claims
        // already hold a packet followed by a header that passes (a packet
        // being written does not hold such a run; in an undamaged archive
        // it is waited for, whatever its payload passes for).
        const long fileEnd = window.start + long(window.length);
        if (searching && (ccsdsRejected || ccsdsRejecting) && laterCcsdsPacket(start, fileEnd))
            return {CcsdsVerdict::Refuse, position + 1};
        if (ccsdsJudging && (ccsdsDamaged || searching)) {
            windowAnchor = start;
            const bool run = firstConfirmedRun(start, fileEnd, RUN_VERIFIED) >= 0;
            windowAnchor = -1;
            if (run)
                return {CcsdsVerdict::Refuse, position + 1};
        }
        return {CcsdsVerdict::Partial, -1};
    }
    if (!ccsdsJudging)
        return {CcsdsVerdict::Take, -1};
    CcsdsVerdict v{CcsdsVerdict::Take, -1};
    // The candidate's bytes stay in the window while the tests look past them.
    windowAnchor = start;
    const long end = start + long(total);
    Label label;
    bool direct = false;
    const long follower = ccsdsFollower(end, total, &label, &direct);
    const bool followed = follower != FOLLOWER_NONE;
    // At a packet boundary the looks for packets inside a followed candidate
    // are spent on an archive that has shown damage; before that, only the
    // look for a run ending where it ends (which payload bytes hardly ever
    // pass), on a packet longer than any of its APID so far: a damaged length
    // claims more than its type's packets hold.
    ccsdsDamaged = ccsdsDamaged || !followed || searching;
    uint32_t& longest = longestJudged[apidOf(windowAt(start))];
    const bool longer = total > longest;
    longest = std::max(longest, uint32_t(total));
    if (followed && ((ccsdsDamaged && (ccsdsHoldsStep(start, end) || (!searching && ccsdsHoldsPair(start, end)))) ||
                     ((ccsdsDamaged || longer) && ccsdsSwallows(start, end, follower)))) {
        v = {CcsdsVerdict::Refuse, position + 1};
    } else if ((!followed || searching) &&
               firstConfirmedRun(start, end, RUN_VERIFIED | RUN_AT_FILE_END | (followed ? 0u : unsigned(RUN_AFTER_FRAME_STEP))) >= 0) {
        // The search goes on through the candidate's bytes: a packet before
        // the run, followed by more damage, is kept as any such packet is.
        v = {CcsdsVerdict::Refuse, position + 1};
    } else if (follower >= 0 && direct) {
        next = {end, follower, label}; // what the parse takes next, already looked at
    }
    windowAnchor = -1;
    windowFill(start, total);
    return v;
}

// The first place from `pos` where a search could find anything: a header
// that passes, or is plausible with the archive's fixed bits, or the first
// byte of an archive label. The search steps over the bytes before it at
// once, as it would one by one.
long TelemetryCache::pastNonHeaders(long pos)
{
    long last = window.start + long(window.length) - long(CcsdsPrimaryHeader::SIZE);
    // A search that ends at maxScan bytes reports where it stopped.
    if (maxScan > 0)
        last = std::min(last, pos - 1 + long(maxScan) - ccsdsSkipped);
    for (; pos < last; ++pos) {
        const uint8_t* b = windowAt(pos);
        // A rejected header is passed over only with the archive's fixed
        // bits (passRejected): plausibleHeader is not asked of the others.
        if (b[0] == uint8_t(LABEL_MAGIC[0]) || validHeader(b) || (ccsdsJudging && usualBits(b) && plausibleHeader(b)))
            break;
    }
    return pos;
}

// What judgeCcsds makes of most packets of an undamaged archive, found
// without its looks: a packet no longer than any of its APID so far, whose
// end the next header that passes follows directly, is taken; that header is
// what the parse takes next.
bool TelemetryCache::ccsdsFollowedDirectly(long start)
{
    const uint8_t* h = windowAt(start);
    const size_t total = packetBytes(h);
    if (total > longestJudged[apidOf(h)] || windowFill(start, total) < total)
        return false;
    windowAnchor = start;
    const long end = start + long(total);
    Label label;
    const long header = ccsdsHeaderAt(end, &label);
    const bool followed = header >= 0 && validHeader(windowAt(header));
    windowAnchor = -1;
    if (followed)
        next = {end, header, label};
    return followed;
}

// Where the search goes on after a header that validHeader rejects at
// `start`. One of a known type (plausibleHeader) with the archive's fixed
// bits, whole and followed by what the parse takes next, is a damaged packet
// (a length past its type's limit): its payload is passed over whole, so
// that bytes of it that pass for a header are not taken; unless a confirmed
// run begins inside it, which tells that its claim holds packets.
// Anything else: the next byte. -1: wait for the file to grow.
long TelemetryCache::passRejected(long position, long start)
{
    if (!plausibleHeader(windowAt(start)) || !usualBits(windowAt(start)))
        return position + 1;
    const size_t total = packetBytes(windowAt(start));
    if (windowFill(start, total) < total) {
        // Still being written, unless a packet follows within the file: its
        // bytes are not searched until they are all there.
        const long fileEnd = window.start + long(window.length);
        windowAnchor = start;
        const bool later = firstConfirmedRun(start, fileEnd, RUN_AT_FILE_END) >= 0;
        windowAnchor = -1;
        return later ? position + 1 : -1;
    }
    windowAnchor = start;
    const long end = start + long(total);
    const bool whole = rejectedFollowed(end, total, REJECTED_HOPS) &&
                       firstConfirmedRun(start, end, RUN_VERIFIED | RUN_AT_FILE_END) < 0;
    windowAnchor = -1;
    return whole ? end : position + 1;
}

// Whether what follows a rejected packet that ends at `end` is what the parse
// takes next, or, up to `hops` times, another rejected packet of a known
// type, whole, that is so followed: damage comes in runs.
bool TelemetryCache::rejectedFollowed(long end, size_t length, int hops)
{
    if (ccsdsFollower(end, length, nullptr, nullptr) != FOLLOWER_NONE)
        return true;
    if (hops == 0)
        return false;
    const long header = ccsdsHeaderAt(end, nullptr);
    if (header < 0 || !plausibleHeader(windowAt(header)))
        return false;
    const size_t total = packetBytes(windowAt(header));
    if (windowFill(header, total) < total)
        return false;
    return rejectedFollowed(header + long(total), total, hops - 1);
}

// Whether the packet of `total` bytes at `header` is whole within the file
// and followed by what the parse would take next.
bool TelemetryCache::ccsdsConfirmed(long header, size_t total, bool atFileEnd)
{
    if (windowFill(header, total) < total)
        return false;
    const long f = ccsdsFollower(header + long(total), total, nullptr, nullptr);
    return f >= 0 || (f == FOLLOWER_SHORT && (atFileEnd || header + long(total) == currentFileSize()));
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
long TelemetryCache::firstConfirmedRun(long start, long end, unsigned how)
{
    // Against a candidate with the archive's fixed bits only a header with
    // them tells (below): the places between are stepped over at once.
    windowFill(start, CcsdsPrimaryHeader::SIZE);
    const uint8_t* bits = usualBits(windowAt(start)) ? archiveBits() : nullptr;
    // A step no longer than those the archive has shown, ending inside the
    // candidate, reaches a header that the places after it find themselves:
    // the hooks are asked only where one would end past it. (Before the
    // first step, they are not asked.)
    const long stepFrom = (how & RUN_AFTER_FRAME_STEP) ? std::max(start + 1, end - longestStep) : end;
    for (long q = start + 1; q < end; ++q) {
        if (bits && q < stepFrom) {
            const long p = nextUsualPlace(q, stepFrom, bits);
            // Crafted bytes could make the nested looks quadratic; past the
            // budget (a place each) nothing more is found.
            if (p - q > chainBudget) {
                chainBudget = std::min(chainBudget, 0L) - 1;
                return -1;
            }
            chainBudget -= p - q;
            q = p;
            if (q >= end)
                return -1;
        }
        if (--chainBudget < 0)
            return -1;
        long h = -1;
        if (q >= stepFrom)
            h = ccsdsHeaderAt(q, nullptr);
        if (h < 0)
            h = resyncHeaderAt(q, nullptr);
        if (h < 0)
            return -1;
        // A run without the archive's fixed bits tells nothing against a
        // candidate with them.
        if (bits && !usualBits(windowAt(h)))
            continue;
        if (!validHeader(windowAt(h)))
            continue;
        const size_t total = packetBytes(windowAt(h));
        // A run ending where the candidate ends shares its follower: it tells
        // against the candidate only when its header's fixed bits are the
        // candidate's. (Inside a run being verified, any run tells.)
        const long after = h + long(total);
        if ((how & RUN_VERIFIED) && after <= end && after >= end - TRAILER_SLACK &&
            !sameFixedBits(windowAt(start), windowAt(h)))
            continue;
        const bool confirmed = (how & RUN_AT_FILE_END) ? ccsdsConfirmed(h, total, true)
                                       : windowFill(h, total) == total &&
                                             ccsdsFollower(h + long(total), total, nullptr, nullptr) >= 0;
        if (!confirmed)
            continue;
        if ((how & RUN_VERIFIED) && firstConfirmedRun(h, h + long(total), RUN_AT_FILE_END) >= 0)
            continue;
        return q;
    }
    return -1;
}

// The first place from q before `to` where a header with the fixed bits of
// the one at `bits`, or an archive label, may begin; `to` when there is none.
// Stops at a place with fewer than a header's bytes left in the file, which
// the caller looks at itself.
long TelemetryCache::nextUsualPlace(long q, long to, const uint8_t* bits)
{
    constexpr long HEADER = CcsdsPrimaryHeader::SIZE;
    const long have = long(windowFill(q, size_t(to - q) + HEADER - 1));
    const uint8_t* b = windowAt(q);
    // Places with a header's bytes, the bytes of the last one included.
    const long places = std::min(to - q, have - HEADER + 1);
    long i = 0;
#if defined(__SSE2__)
    const FixedBitsMask fixedBits(bits);
    const __m128i magic = _mm_set1_epi8(LABEL_MAGIC[0]);
    // Sixteen places read b[i] to b[i + 17].
    for (; i + 16 <= places && i + 18 <= have; i += 16) {
        const __m128i label = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)), magic);
        const unsigned m = unsigned(_mm_movemask_epi8(_mm_or_si128(fixedBits(b + i), label)));
        if (m)
            return q + i + __builtin_ctz(m);
    }
#endif
    for (; i < places; ++i) {
        if (sameFixedBits(bits, b + i) || b[i] == uint8_t(LABEL_MAGIC[0]))
            return q + i;
    }
    return q + i;
}

// Where the header of a candidate at pos stands while resynchronising: past a
// whole archive label that begins there, else at pos (labels are looked for,
// so that a packet found after damage keeps its ground time; the hooks'
// steps are not). -1 when fewer than a header's bytes are left.
long TelemetryCache::resyncHeaderAt(long pos, Label* label)
{
    const size_t ahead = windowFill(pos, LABEL_LOOKAHEAD);
    if (ahead == LABEL_LOOKAHEAD && windowAt(pos)[0] == uint8_t(LABEL_MAGIC[0]) &&
        couldStartLabel(windowAt(pos), LABEL_LOOKAHEAD)) {
        const long header = ccsdsHeaderAt(pos, label);
        if (header >= 0)
            return header;
        if (label)
            *label = Label();
    }
    if (windowFill(pos, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE))
        return -1;
    return pos;
}

// After a rejected header: whether a packet that the candidate tests accept,
// with a header seen after it or ending where the file ends, begins after
// pos and ends within the file. A packet still being written is the last
// one, so a candidate at pos that runs past the end of the file is then
// garbage. The last answer is kept: nothing found after an earlier position
// means nothing after a later one.
bool TelemetryCache::laterCcsdsPacket(long pos, long fileEnd)
{
    Lookahead& last = ccsdsLookahead;
    if (last.from >= 0 && last.fileEnd == fileEnd && pos >= last.from) {
        if (last.found < 0)
            return false;
        if (last.found > pos)
            return true;
    }
    last.from = pos;
    last.fileEnd = fileEnd;
    last.found = -1;
    for (long o = pos + 1; o + long(CcsdsPrimaryHeader::SIZE) < fileEnd; ++o) {
        if (windowFill(o, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE))
            break;
        if (!validHeader(windowAt(o)))
            continue;
        const size_t total = packetBytes(windowAt(o));
        if (o + long(total) > fileEnd)
            continue;
        windowAnchor = o;
        const bool found = ccsdsConfirmed(o, total, o + long(total) == fileEnd) &&
                           !ccsdsSwallows(o, o + long(total), ccsdsFollower(o + long(total), total, nullptr, nullptr));
        windowAnchor = -1;
        if (found) {
            last.found = o;
            return true;
        }
    }
    return false;
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
long TelemetryCache::ccsdsFollower(long end, size_t length, Label* label, bool* direct)
{
    // Each step needs a sync word or a label, so more of them cost the test
    // nothing of its strength.
    constexpr int MAX_STEPS = 16;
    if (direct)
        *direct = false;
    long first = -1;
    long at = end;
    for (int step = 0; step <= MAX_STEPS; ++step) {
        const long header = ccsdsHeaderAt(at, step == 0 ? label : nullptr);
        if (header < 0)
            return FOLLOWER_SHORT;
        if (validHeader(windowAt(header))) {
            if (direct)
                *direct = step == 0;
            return header;
        }
        if (first < 0)
            first = header;
        at = skipCcsds(header);
        if (at != header)
            continue;
        long found = 0;
        for (long k = 1; k <= TRAILER_SLACK && !found; ++k) {
            const size_t n = windowFill(header + k, LABEL_LOOKAHEAD);
            if (!couldStartLabel(windowAt(header + k), n))
                continue;
            if (n < LABEL_LOOKAHEAD)
                return FOLLOWER_SHORT; // a label still being written
            found = header + k;
        }
        if (!found)
            break;
        at = found;
    }
    // Padding stands only where nothing was stepped over.
    const long padding = first == end ? std::min(long(paddingAfterCcsds(length)), TRAILER_SLACK) : 0;
    for (long k = 1; k <= padding; ++k) {
        if (windowFill(end + k, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE))
            return FOLLOWER_SHORT;
        if (validHeader(windowAt(end + k)))
            return end + k;
    }
    return FOLLOWER_NONE;
}

// Whether the candidate packet [start, end) holds a run of packets: a header
// inside it that passes validHeader, followed by at least one more packet
// (that passes, or is plausible), each stepping by its length (and over what
// the hooks step over, or padding), the last ending where the candidate ends
// or where its follower begins. Real packets tile the length of a damaged
// header that lands on their boundary; the bytes of a real packet hardly
// ever do.
bool TelemetryCache::ccsdsSwallows(long start, long end, long follower)
{
    constexpr long MIN_PACKET = CcsdsPrimaryHeader::SIZE + 1;
    const size_t span = size_t(end - start);
    if (span <= 2 * MIN_PACKET)
        return false;
    // Bytes crafted to pass the other tests again and again could make this
    // look quadratic; past its budget the look is left out.
    if (long(span) > chainBudget)
        return false;
    chainBudget -= long(span);
    // A run needs a packet ending a few bytes (padding, a frame's trailer)
    // before the candidate's end, or at its follower.
    if (!ccsdsHoldsEnding(start, end, long(span) - TRAILER_SLACK, std::max(end, follower) - start))
        return false;
    if (!chainLengths)
        chainLengths.reset(new uint8_t[PACKET_BUFFER_SIZE]);
    // run[q - start]: packets of the run from q to the end, up to 2; 0 none.
    uint8_t* run = chainLengths.get();
    const long last = end - MIN_PACKET;
    // Hooks that read the stream would cost a seek per byte here: left out.
    const bool hooks = skipHook == Hook::Overridden || streamHook == Hook::Base;
    // The candidate's bytes, in the window whatever the look past them moved.
    auto bytesAt = [&](long q) {
        windowFill(start, span);
        return windowAt(q);
    };
    for (long q = last; q > start; --q) {
        run[q - start] = 0;
        const uint8_t* h = bytesAt(q);
        const long after = q + long(be16(h + 4)) + MIN_PACKET;
        if (after > std::max(end, follower))
            continue; // most bytes: no packet that fits
        if (!validHeader(h) && !plausibleHeader(h))
            continue;
        uint8_t best = 0;
        auto reach = [&](long r) {
            if (r == end || r == follower)
                best = std::max<uint8_t>(best, 1);
            else if (r > q && r <= last && run[r - start])
                best = 2;
        };
        reach(after);
        if (after != end && after != follower) {
            const long next = ccsdsHeaderAt(after, nullptr, hooks);
            if (next >= 0 && next != after)
                reach(next);
        }
        const long padding = long(paddingAfterCcsds(size_t(after - q)));
        for (long k = 1; k <= padding; ++k)
            reach(after + k);
        run[q - start] = best;
        if (best == 2 && validHeader(bytesAt(q)) && usualBits(bytesAt(q)))
            return true;
    }
    return false;
}

// Whether what the hooks step over (a frame's trailer and header) stands in
// the last bytes of the candidate [start, end), or begins there: a packet cut
// short at a frame's end claims them. What stands between packets is never
// inside one. Asked only in an archive that has shown damage: a packet may
// stand right before a frame header where an archive turns to frames.
bool TelemetryCache::ccsdsHoldsStep(long start, long end)
{
    // Hooks that read the stream would cost a seek per place: left out.
    if (longestStep == 0 || skipHook != Hook::Overridden)
        return false;
    // From the last byte the hooks may step over a pad byte: not looked at.
    for (long q = std::max(start + 1, end - longestStep); q <= end - 2; ++q) {
        // Near the end of the file a hook may take the few bytes left as a step.
        if (windowFill(q, CCSDS_SKIP_LOOKAHEAD) < CCSDS_SKIP_LOOKAHEAD)
            return false;
        if (skipCcsds(q) != q)
            return true;
    }
    return false;
}

#if defined(__SSE2__)
// The places at to at + 15 of the bytes at b that forEachEnding looks at
// again, one bit each (at >= 1: place 0 is the candidate itself); the last
// byte read is b[at + 20].
struct EndingMask
{
    static constexpr long MIN_PACKET = CcsdsPrimaryHeader::SIZE + 1;
    FixedBitsMask fixedBits;
    __m128i limit, lanes;
    long low;

    EndingMask(long low, uint32_t width, const uint8_t* bits)
        : fixedBits(bits), limit(_mm_set1_epi16(short(width))), lanes(_mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7)),
          low(low)
    {
    }

    unsigned operator()(const uint8_t* b, long at) const
    {
        auto load = [&](long k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at + k)); };
        // The fixed bits first: most places of a payload have other bits.
        const __m128i fixed = fixedBits(b + at);
        if (_mm_movemask_epi8(fixed) == 0)
            return 0;
        const __m128i zero = _mm_setzero_si128();
        const __m128i shift = _mm_add_epi16(lanes, _mm_set1_epi16(short(at + MIN_PACKET - low)));
        const __m128i high = load(4);
        const __m128i lowBytes = load(5);
        const __m128i first = _mm_add_epi16(_mm_unpacklo_epi8(lowBytes, high), shift);
        const __m128i second =
            _mm_add_epi16(_mm_unpackhi_epi8(lowBytes, high), _mm_add_epi16(shift, _mm_set1_epi16(8)));
        // One byte a place, in the order of the places.
        const __m128i inRange = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(first, limit), zero),
                                                _mm_cmpeq_epi16(_mm_subs_epu16(second, limit), zero));
        return unsigned(_mm_movemask_epi8(_mm_and_si128(inRange, fixed)));
    }
};
#endif

// Calls look(i) for the places i (1 to n - 7) of the n bytes at b whose
// length field, read as a CCSDS header's, ends its packet at an offset in
// [low, low + width], and, given `bits`, whose fixed bits are those of the
// header at bits, until it returns true. The arithmetic runs sixteen places at
// a time; a header is tested only where it finds one. `look` may move the
// bytes (a window refill) and b with them.
template <typename Look>
bool forEachEnding(const uint8_t*& b, long n, long low, uint32_t width, const uint8_t* bits, Look look)
{
    constexpr long MIN_PACKET = CcsdsPrimaryHeader::SIZE + 1;
    auto scalar = [&](long i) {
        const uint32_t offset = uint32_t(i + long(be16(b + i + 4)) + MIN_PACKET - low);
        return offset <= width && (!bits || sameFixedBits(bits, b + i)) && look(i);
    };
    long i = 1;
#if defined(__SSE2__)
    // In 16 bits (i + field + MIN_PACKET - low) wraps, so a place found is
    // only a place to look at again.
    if (width < 0xFFFF && n >= 22) {
        const EndingMask places(low, width, bits);
        auto look16 = [&](long at) {
            for (unsigned m = places(b, at); m != 0; m &= m - 1) {
                const long k = at + __builtin_ctz(m);
                if (k <= n - MIN_PACKET && scalar(k))
                    return true;
            }
            return false;
        };
        for (; i + 21 <= n; i += 16) {
            if (look16(i))
                return true;
        }
        // The rest in one block that overlaps the last.
        return i <= n - MIN_PACKET && look16(n - 21);
    }
#endif
    for (; i <= n - MIN_PACKET; ++i) {
        if (scalar(i))
            return true;
    }
    return false;
}

// Calls look(i) for the places i (1 on) of the n bytes at b where an archive
// label's first 20 bytes stand, until it returns true; `look` may move b.
template <typename Look>
bool forEachLabel(const uint8_t*& b, long n, Look look)
{
    for (long i = 1; i + long(TelemetryCache::LABEL_LOOKAHEAD) <= n; ++i) {
        const void* c = std::memchr(b + i, LABEL_MAGIC[0], size_t(n - i));
        if (!c)
            return false;
        i = static_cast<const uint8_t*>(c) - b;
        if (i + long(TelemetryCache::LABEL_LOOKAHEAD) <= n && couldStartLabel(b + i, TelemetryCache::LABEL_LOOKAHEAD) &&
            look(i))
            return true;
    }
    return false;
}

// Whether the candidate [start, end) holds a header of a known type (that
// passes, or is plausible) with the archive's fixed bits whose packet ends
// between `low` and `high` bytes from its start, or, once the archive has
// shown labels, a label (a run may end in one). Most packets hold neither:
// the quick look before the looks for packets inside a candidate.
bool TelemetryCache::ccsdsHoldsEnding(long start, long end, long low, long high)
{
    const long n = end - start;
    windowFill(start, size_t(n));
    const uint8_t* b = windowAt(start);
    if (forEachEnding(b, n, low, uint32_t(high - low), archiveBits(),
                      [&](long i) { return validHeader(b + i) || plausibleHeader(b + i); }))
        return true;
    return labelsSeen && forEachLabel(b, n, [](long) { return true; });
}

// Whether the candidate [start, end) holds a packet that is followed: a
// header that passes, whose packet ends inside the candidate, or where it
// ends, followed by another that passes; or an archive label followed by a
// header that passes. Intact packets inside a damaged header's claim do,
// wherever more damage cuts their run short; an intact packet's payload
// hardly ever does.
bool TelemetryCache::ccsdsHoldsPair(long start, long end)
{
    windowFill(start, size_t(end - start));
    const long n = end - start;
    const uint8_t* b = windowAt(start);
    const bool pair = forEachEnding(b, n, 0, uint32_t(n), archiveBits(), [&](long i) {
        if (!validHeader(windowAt(start + i)))
            return false;
        const long after = start + i + long(packetBytes(windowAt(start + i)));
        if (after > end)
            return false;
        // One packet ending where the candidate ends (or a pad byte or a
        // frame's trailer before) is said to be one only when the fixed bits
        // of its header (version, type, secondary header, sequence flags) are
        // the candidate's: bytes of a payload seldom are.
        if (after >= end - TRAILER_SLACK && !sameFixedBits(windowAt(start), windowAt(start + i)))
            return false;
        const long f = ccsdsFollower(after, size_t(after - start - i), nullptr, nullptr);
        // The look past may have moved the window: the scan reads on from it.
        windowFill(start, size_t(n));
        b = windowAt(start);
        return f >= 0;
    });
    if (pair || !labelsSeen)
        return pair;
    // A label stands only before a packet: one inside, before a header that
    // passes, is the next packet's.
    return forEachLabel(b, n, [&](long i) {
        const long h = ccsdsHeaderAt(start + i, nullptr);
        const bool found = h >= 0 && validHeader(windowAt(h));
        windowFill(start, size_t(n));
        b = windowAt(start);
        return found;
    });
}

void TelemetryCache::parseCcsds()
{
    // A header test that takes the bytes of no packet (all zeros, all ones)
    // gives nothing to judge a candidate by: then every candidate whose
    // header passes is taken, as it always was.
    static constexpr unsigned char ZEROS[CcsdsPrimaryHeader::SIZE] = {};
    static constexpr unsigned char ONES[CcsdsPrimaryHeader::SIZE] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ccsdsJudging = !validHeader(ZEROS) || !validHeader(ONES);
    startWindow();
    const long fileSize = currentFileSize();
    ccsdsSkipped = 0;
    ccsdsRejected = 0; // headers refused since the last packet, in this parse
    chainBudget = CHAIN_BUDGET;
    next = Next();

    for (;;) {
        Label label;
        long start;
        bool known = false;
        if (next.from == position && windowFill(next.header, CcsdsPrimaryHeader::SIZE) == CcsdsPrimaryHeader::SIZE) {
            start = next.header;
            label = next.label;
            known = true;
        } else {
            start = ccsdsHeaderAt(position, &label);
            if (start < 0)
                break;
        }
        next.from = -1; // looked at once
        bool stop = false;
        CcsdsVerdict v;
        for (;;) {
            // A header test that cannot tell leaves nothing to judge at a
            // packet boundary.
            if (!ccsdsJudging && ccsdsSkipped == 0 && !ccsdsResyncing && validHeader(windowAt(start))) {
                v = {CcsdsVerdict::Take, -1};
                break;
            }
            if (known && ccsdsSkipped == 0 && !ccsdsResyncing && ccsdsFollowedDirectly(start)) {
                // In an archive that has shown damage, a step in its last
                // bytes refuses it, as judgeCcsds would (which is not asked:
                // a second look could find a longer step); nothing else does
                // unless a packet may end inside it.
                const long end = next.from;
                const bool step = ccsdsDamaged && ccsdsHoldsStep(start, end);
                if (!step && (!ccsdsDamaged || !ccsdsHoldsEnding(start, end, 0, end - start))) {
                    v = {CcsdsVerdict::Take, -1};
                    break;
                }
                next.from = -1;
                v = step ? CcsdsVerdict{CcsdsVerdict::Refuse, position + 1} : judgeCcsds(position, start, known);
            } else {
                v = judgeCcsds(position, start, known);
            }
            known = false;
            if (v.verdict == CcsdsVerdict::Wait) {
                stop = true;
                break;
            }
            if (v.verdict != CcsdsVerdict::Refuse)
                break;
            const long step = v.resume - position;
            ++ccsdsRejected;
            chainBudget += CHAIN_BUDGET_PER_BYTE * step;
            // The label's ground time belongs to no packet found after this.
            label = Label();
            position = v.resume;
            ccsdsSkipped += step;
            if (maxScan > 0 && ccsdsSkipped >= maxScan) {
                message("Scanned %d bytes [%ld - %ld] without finding a valid packet header, archive may be "
                        "corrupt!",
                        int(ccsdsSkipped), position - ccsdsSkipped, position);
                position = currentFileSize();
                stop = true;
                break;
            }
            start = resyncHeaderAt(position, &label);
            if (start < 0) {
                stop = true;
                break;
            }
        }
        if (stop)
            break;

        // The looks past a candidate may have moved the window on.
        windowFill(start, CcsdsPrimaryHeader::SIZE);
        // In 32 bits: a length field of 65535 is a 65,536-byte body, not 0.
        const uint32_t body = be16(windowAt(start) + 4) + 1u;
        const size_t total = body + CcsdsPrimaryHeader::SIZE;
        if (v.verdict == CcsdsVerdict::Partial || windowFill(start, total) < total) {
            // Only the end of the file stops a fill of a packet's size.
            const long fileEnd = window.start + long(window.length);
            if (backOff(ccsdsReads, fileEnd)) {
                message("Read partial packet...backing up to index %ld", position);
                break;
            }
            message("Could not read %u bytes from file...skipping ahead 1 byte", unsigned(body));
            ++position;
            ++ccsdsSkipped;
            continue;
        }
        ccsdsReads.count = 0;
        if (ccsdsSkipped)
            skippedMessage(ccsdsSkipped, position);
        if (packets.size() == packets.capacity())
            reserveFor(fileSize);
        TMPacketPtr p = makePacket<CcsdsPacket>(windowAt(start), int(total), int(packets.size()), resolver.get());
        if (label.present) {
            p->groundSeconds = label.seconds;
            p->groundMs = label.ms;
        }
        if (ccsdsJudging) {
            std::memcpy(lastTaken.data(), windowAt(start), sizeof lastTaken);
            tookCcsds = true;
        }
        accept(std::move(p));
        position = start + long(total);
        ccsdsSkipped = 0;
        ccsdsRejected = 0;
        chainBudget = CHAIN_BUDGET;
        ccsdsResyncing = false;
        ccsdsRejecting = false;
    }
    // A search cut short by the end of the file goes on in the next grow.
    if (ccsdsSkipped)
        ccsdsResyncing = true;
    if (ccsdsRejected)
        ccsdsRejecting = true;
    next = Next();
    std::fseek(file, position, SEEK_SET);
}

} // namespace GseLib
