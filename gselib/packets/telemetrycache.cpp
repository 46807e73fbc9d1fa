#include "gselib/packets/telemetrycache.h"

#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "tools/util/checksum.h"

#include <QString>
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <stdio_ext.h>
#include <sys/stat.h>

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

// Copies up to n of the next bytes of the stream that its buffer already
// holds, without consuming them (which saves a seek back, a system call);
// returns how many, 0 when none are buffered or the buffer cannot be seen.
// The stream is only ever read, so its buffer holds no pending output.
size_t peekStream(FILE* f, unsigned char* out, size_t n)
{
#if defined(__GLIBC__)
    if (f->_IO_read_ptr && f->_IO_read_end > f->_IO_read_ptr) {
        const size_t k = std::min(n, size_t(f->_IO_read_end - f->_IO_read_ptr));
        std::memcpy(out, f->_IO_read_ptr, k);
        return k;
    }
#else
    (void)f;
    (void)out;
    (void)n;
#endif
    return 0;
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
    if (file)
        std::fclose(file);
    delete[] packetBuffer;
    delete[] labelBuffer;
}

size_t TelemetryCache::peekBuffered(FILE* stream, unsigned char* out, size_t n)
{
    return peekStream(stream, out, n);
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
    file = std::fopen(path.c_str(), "rb");
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

void TelemetryCache::clear()
{
    std::vector<TMPacketPtr>().swap(packets);
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
}

void TelemetryCache::adjustStartPos(FILE*, long*)
{
}

void TelemetryCache::beforeParseCcsds(FILE*)
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
    // that a whole archive does not leave half a vector of slack behind. An
    // estimate well beyond doubling the vector only doubles it (small packets
    // at the start of a file of large ones would reserve far too much); the
    // next growth estimates again from more packets.
    const size_t n = packets.size();
    if (n < packets.capacity())
        return;
    const size_t minimum = n / 8 + 64;
    size_t extra = minimum;
    if (n > 0 && position > 0 && fileSize > position) {
        const double bytesPerPacket = double(position) / double(n);
        const double estimate = double(fileSize - position) / bytesPerPacket * 1.02 + 64;
        const double doubling = double(n + 64);
        extra = std::max(extra, size_t(estimate <= doubling + double(minimum) ? estimate : doubling));
    }
    packets.reserve(n + extra);
}

void TelemetryCache::accept(const TMPacketPtr& packet)
{
    packets.push_back(packet);
    resolver->handlePacket(packet);
    hookPacket(packet);
}

// ---- TOM parse -------------------------------------------------------------

size_t TelemetryCache::windowFill(long pos, size_t n)
{
    const long end = window.start + long(window.length);
    if (pos >= window.start && pos + long(n) <= end)
        return n;
    if (pos >= window.start && pos <= end && window.atEof)
        return size_t(end - pos);
    size_t keep = 0;
    if (pos >= window.start && pos <= end) {
        // The stream stands at `end`: keep the tail and read on.
        keep = size_t(end - pos);
        if (keep && pos != window.start)
            std::memmove(window.bytes.get(), windowAt(pos), keep);
    } else {
        std::fseek(file, pos, SEEK_SET);
        window.atEof = false;
    }
    window.start = pos;
    window.length = keep;
    window.sumsValid = false;
    const size_t want = WINDOW_SIZE - keep;
    const size_t got = std::fread(window.bytes.get() + keep, 1, want, file);
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
    if (!window.bytes)
        window.bytes.reset(new uint8_t[WINDOW_SIZE]);
    window.start = position;
    window.length = 0;
    window.atEof = false;
    window.sumsValid = false;
    std::fseek(file, position, SEEK_SET);
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
                    const TMPacketPtr p = std::make_shared<TomPacket>(windowAt(position), int(total),
                                                                      int(packets.size()), resolver.get());
                    accept(p);
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

bool TelemetryCache::skipLabelRest(size_t bytes)
{
    if (bytes == 0)
        return true;
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
        const long here = std::ftell(file);
        if (here < 0 || long(st.st_size) - here < long(bytes))
            return false;
        return std::fseek(file, long(bytes), SEEK_CUR) == 0;
    }
    while (bytes) {
        const size_t n = std::min(bytes, PACKET_BUFFER_SIZE);
        if (std::fread(packetBuffer, 1, n, file) < n)
            return false;
        bytes -= n;
    }
    return true;
}

void TelemetryCache::parseCcsds()
{
    const long fileSize = currentFileSize();
    long skipped = 0;

    for (;;) {
        bool labelled = false;
        uint32_t labelSeconds = 0;
        double labelMs = 0.0;

        // The buffered bytes decide when they are all 20, or when they already
        // cannot begin a label. Only otherwise are the 20 bytes read and the
        // stream put back: across the end of its buffer that makes the stream
        // read its buffer again.
        const size_t buffered = peekStream(file, labelBuffer, LABEL_LOOKAHEAD);
        const bool peeked = buffered == LABEL_LOOKAHEAD || (buffered > 0 && !couldStartLabel(labelBuffer, buffered));
        const size_t ahead = peeked ? buffered : std::fread(labelBuffer, 1, LABEL_LOOKAHEAD, file);
        if (ahead < LABEL_LOOKAHEAD && (ahead == 0 || couldStartLabel(labelBuffer, ahead))) {
            // Nothing more, or the start of a label still being written.
            std::fseek(file, position, SEEK_SET);
            break;
        }
        if (ahead == LABEL_LOOKAHEAD && couldStartLabel(labelBuffer, LABEL_LOOKAHEAD)) {
            size_t n = 0;
            for (size_t i = 12; i < 20; ++i)
                n = n * 10 + size_t(labelBuffer[i] - '0');
            // Only the ground-time bytes are needed; a label longer than the
            // buffer is read in part and the rest skipped.
            const size_t rest = n + LABEL_LOOKAHEAD;
            const size_t inBuffer = std::min(rest, LABEL_BUFFER_SIZE - LABEL_LOOKAHEAD);
            if (peeked)
                std::fread(labelBuffer, 1, LABEL_LOOKAHEAD, file); // the peeked bytes, now consumed
            if (std::fread(labelBuffer + LABEL_LOOKAHEAD, 1, inBuffer, file) < inBuffer ||
                !skipLabelRest(rest - inBuffer)) {
                std::fseek(file, position, SEEK_SET);
                break;
            }
            if (labelBuffer[8] == 'G') {
                labelSeconds = be32(labelBuffer + 24);
                labelMs = be16(labelBuffer + 28);
            } else {
                labelSeconds = be32(labelBuffer + 32);
                labelMs = be16(labelBuffer + 36);
            }
            labelled = true;
        } else if (!peeked) {
            std::fseek(file, position, SEEK_SET);
        }

        beforeParseCcsds(file);
        if (std::fread(packetBuffer, 1, CcsdsPrimaryHeader::SIZE, file) < size_t(CcsdsPrimaryHeader::SIZE))
            break;
        bool stop = false;
        while (!validHeader(packetBuffer)) {
            // The label's ground time belongs to no packet found after this.
            labelled = false;
            ++position;
            std::fseek(file, position, SEEK_SET);
            ++skipped;
            if (maxScan > 0 && skipped >= maxScan) {
                message("Scanned %d bytes [%ld - %ld] without finding a valid packet header, archive may be "
                        "corrupt!",
                        int(skipped), position - skipped, position);
                std::fseek(file, 0, SEEK_END);
                position = std::ftell(file);
                stop = true;
                break;
            }
            if (std::fread(packetBuffer, 1, CcsdsPrimaryHeader::SIZE, file) < size_t(CcsdsPrimaryHeader::SIZE)) {
                stop = true;
                break;
            }
        }
        if (stop)
            break;

        // In 32 bits: a length field of 65535 is a 65,536-byte body, not 0.
        const uint32_t body = be16(packetBuffer + 4) + 1u;
        if (std::fread(packetBuffer + CcsdsPrimaryHeader::SIZE, 1, body, file) < body) {
            const long fileEnd = std::ftell(file);
            if (backOff(ccsdsReads, fileEnd)) {
                message("Read partial packet...backing up to index %ld", position);
                std::fseek(file, position, SEEK_SET);
                break;
            }
            message("Could not read %u bytes from file...skipping ahead 1 byte", unsigned(body));
            ++position;
            ++skipped;
            std::fseek(file, position, SEEK_SET);
            continue;
        }
        ccsdsReads.count = 0;
        if (skipped)
            message("Skipped %d bytes [%ld - %ld]", int(skipped), position - skipped, position);
        if (packets.size() == packets.capacity())
            reserveFor(fileSize);
        const auto p = std::make_shared<CcsdsPacket>(packetBuffer, int(body + CcsdsPrimaryHeader::SIZE),
                                                     int(packets.size()), resolver.get());
        if (labelled) {
            p->groundSeconds = labelSeconds;
            p->groundMs = labelMs;
        }
        accept(p);
        position = std::ftell(file);
        skipped = 0;
    }
}

} // namespace GseLib
