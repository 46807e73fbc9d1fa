#include "gselib/packets/telemetrycache.h"

#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "tools/util/checksum.h"

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace GseLib {

namespace {

constexpr size_t STREAM_BUFFER_SIZE = 1 << 20;
constexpr size_t WINDOW_SIZE = 1 << 20; // well above the largest TOM packet (65547 bytes)
constexpr size_t TOM_OVERHEAD = TomPacket::HEADER_SIZE + TomPacket::TRAILER_SIZE;
constexpr char LABEL_MAGIC[] = "C7333IA0";

inline uint32_t be16(const uint8_t* p)
{
    return (uint32_t(p[0]) << 8) | p[1];
}

inline uint32_t be32(const uint8_t* p)
{
    return (be16(p) << 16) | be16(p + 2);
}

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
    va_list args;
    va_start(args, fmt);
    std::vfprintf(messages, fmt, args);
    va_end(args);
    std::fputc('\n', messages);
    std::fflush(messages);
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
    size_t keep = 0;
    if (pos >= window.start && pos <= end) {
        keep = size_t(end - pos);
        if (keep && pos != window.start)
            std::memmove(window.bytes.get(), windowAt(pos), keep);
    }
    window.start = pos;
    window.length = keep;
    window.atEof = false;
    window.sumsValid = false;
    const size_t want = WINDOW_SIZE - keep;
    const size_t got = readAt(pos + long(keep), window.bytes.get() + keep, want);
    window.length += got;
    if (got < want)
        window.atEof = true;
    return std::min(n, window.length);
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
                        message("Skipped %d bytes [%ld - %ld]", int(skipped), position - skipped, position);
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
long TelemetryCache::ccsdsHeaderAt(long pos, Label* label)
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
    start = skipCcsds(start);
    if (windowFill(start, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE))
        return -1;
    return start;
}

void TelemetryCache::parseCcsds()
{
    startWindow();
    const long fileSize = currentFileSize();
    long skipped = 0;

    for (;;) {
        Label label;
        long start = ccsdsHeaderAt(position, &label);
        if (start < 0)
            break;
        bool stop = false;
        while (!validHeader(windowAt(start))) {
            // The label's ground time belongs to no packet found after this.
            label.present = false;
            ++position;
            start = position;
            ++skipped;
            if (maxScan > 0 && skipped >= maxScan) {
                message("Scanned %d bytes [%ld - %ld] without finding a valid packet header, archive may be "
                        "corrupt!",
                        int(skipped), position - skipped, position);
                position = currentFileSize();
                stop = true;
                break;
            }
            if (windowFill(start, CcsdsPrimaryHeader::SIZE) < size_t(CcsdsPrimaryHeader::SIZE)) {
                stop = true;
                break;
            }
        }
        if (stop)
            break;

        // In 32 bits: a length field of 65535 is a 65,536-byte body, not 0.
        const uint32_t body = be16(windowAt(start) + 4) + 1u;
        const size_t total = body + CcsdsPrimaryHeader::SIZE;
        if (windowFill(start, total) < total) {
            // Only the end of the file stops a fill of a packet's size.
            const long fileEnd = window.start + long(window.length);
            if (backOff(ccsdsReads, fileEnd)) {
                message("Read partial packet...backing up to index %ld", position);
                break;
            }
            message("Could not read %u bytes from file...skipping ahead 1 byte", unsigned(body));
            ++position;
            ++skipped;
            continue;
        }
        ccsdsReads.count = 0;
        if (skipped)
            message("Skipped %d bytes [%ld - %ld]", int(skipped), position - skipped, position);
        if (packets.size() == packets.capacity())
            reserveFor(fileSize);
        TMPacketPtr p = makePacket<CcsdsPacket>(windowAt(start), int(total), int(packets.size()), resolver.get());
        if (label.present) {
            p->groundSeconds = label.seconds;
            p->groundMs = label.ms;
        }
        accept(std::move(p));
        position = start + long(total);
        skipped = 0;
    }
    std::fseek(file, position, SEEK_SET);
}

} // namespace GseLib
