#pragma once
// The telemetry cache's own state, kept out of its public header: the window
// on the file, the back-offs on partial packets, what is known of the hooks,
// the CCSDS parser, the mark that tells a followed file started anew from one
// that grew, and the parse's messages held until it ends. ParseHost is all of
// the cache a parser is handed.
#include "gselib/packets/archivewindow.h"
#include "gselib/packets/telemetrycache.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace GseLib {

class CcsdsParser;

struct TelemetryCache::Private
{
    // Back-offs on partial packets while the file has not grown, and the
    // file size seen at the last one.
    struct PartialReads
    {
        int count = 0;
        long fileEnd = -1;

        // True to back off on a partial packet once more, false to step over
        // a byte: once the file, `end` bytes long, has not grown for
        // PARTIAL_READ_LIMIT back-offs (spent).
        bool backOff(long end)
        {
            // A file that grew since the last back-off is still being
            // written: the packet is not given up on however often the
            // caller polls. The count is the file's, not a packet's: once
            // spent, every partial packet left is stepped over without
            // waiting, until the file grows.
            if (fileEnd != end)
                count = 0;
            fileEnd = end;
            if (count < PARTIAL_READ_LIMIT) {
                ++count;
                return true;
            }
            return false;
        }
        bool spent(long end) const { return fileEnd == end && count >= PARTIAL_READ_LIMIT; }
    };

    // Whether a hook is overridden, found out on its first call.
    enum class Hook { Unknown, Base, Overridden };

    // Bytes of the followed file at an offset, as the parse read them.
    struct Span
    {
        long at = -1;
        std::vector<unsigned char> bytes;
    };
    // What tells the file read so far from one started anew under the
    // reader: its identity, and what the cache holds of it, compared whole
    // with the file at their offsets: the first and the last packet taken,
    // each with what stood before its header (its label, the hooks' steps:
    // up to MARK_LEAD_BYTES), and the bytes stepped over after the last, up
    // to MARK_BYTES of them. A new recording's labels and headers differ
    // from the old one's in their times; one that holds the same bytes there
    // is the same data. Before any packet, the first and the last MARK_BYTES
    // read, which need hold no label or header: there only a change of those
    // bytes is seen. Custom parses (appendPacket) are marked as if they had
    // taken no packet.
    static constexpr size_t MARK_BYTES = 64;
    static constexpr size_t MARK_LEAD_BYTES = LABEL_BUFFER_SIZE + 2 * CCSDS_SKIP_LOOKAHEAD;
    struct ReadMark
    {
        uint64_t device = 0;
        uint64_t inode = 0;
        long at = -1; // the read position the mark was made at
        // What the parse read could not be found again: the file changed
        // under it, and is read anew.
        bool broken = false;
        Span first; // the first packet's, kept from when it was taken
        long lastHeader = -1; // of the last packet, whose bytes lead its spans
        std::vector<Span> spans; // the last packet's and the bytes after it, or the first and last read
    };
    // A packet the parse took of the followed file: where its attempt began
    // (its label), its header, and where it ends.
    struct Taken
    {
        long from = -1;
        long header = -1;
        long end = -1;
    };

    explicit Private(TelemetryCache& cache);
    ~Private();

    // ---- The read mark, on the file open at descriptor `fd`
    // Whether the file holds what the mark holds, at its offsets.
    bool matchesMark(int fd);
    // Forgets the packets taken of the followed file.
    void forgetTaken();
    // The n bytes at `at` as the parse read them: from its window, else read
    // again. False when the file no longer holds them.
    bool copyRead(int fd, long at, size_t n, unsigned char* out) const;
    // The bytes [a, b) as the parse read them: in its window, or kept by a
    // refill that dropped them; null when neither holds them.
    const unsigned char* asRead(long a, long b) const;
    // The first packet's span, kept when it is taken.
    void keepTaken(int fd, const Taken& taken, Span& into) const;
    bool markLast(int fd, Span& last, bool marked) const;
    // Marks what the parse read up to `position`, as a parse ends.
    void markRead(int fd, long position) noexcept;

    ArchiveWindow window;
    PartialReads tomReads;
    PartialReads ccsdsReads;
    LaterPacketLook laterTom; // after a partial TOM packet
    Hook skipHook = Hook::Unknown;
    Hook streamHook = Hook::Unknown;
    Hook packetHook = Hook::Unknown; // found anew at each parse
    std::unique_ptr<CcsdsParser> ccsds;
    // The last packet taken with what stood before its header, as the parse
    // read them, once the window has dropped them (the lead alone, read
    // again, where it had dropped that before the packet was taken).
    ArchiveWindow::Kept lastRead;

    bool opening = false; // the parse of changeFile
    bool openedFinished = false; // changeFile found the file old enough to be finished
    TelemetryCache::OpenAs openAs = TelemetryCache::OpenAs::ByAge;
    ReadMark mark;
    Taken firstTaken; // of the followed file
    Taken lastTaken;
    std::vector<unsigned char> markScratch; // a span read back
    std::string followedPath; // the path, made absolute
    size_t fileFirstPacket = 0; // the followed file's first packet
    std::unique_ptr<char[]> streamBuffer; // the stream's large read buffer; outlives the stream

    std::vector<DamagedStretch> damage;
    size_t fileFirstDamage = 0; // the followed file's first record
    long tomSkipped = 0; // bytes the TOM parse skipped since its last packet, over grows

    FILE* messages = stderr;
    // Lines of the parse under way, written when it ends (or grow past MESSAGES_HELD).
    std::string heldMessages;
    static constexpr size_t MESSAGES_HELD = 64 * 1024;
};

// What the cache hands a parser: the window on the file, its hooks (and
// whether they are overridden), where the packets taken go, and the back-offs.
class TelemetryCache::ParseHost
{
public:
    ParseHost(TelemetryCache& cache, Private& d) : cache_(cache), d_(d) {}

    ArchiveWindow& window() const { return d_.window; }

    // ---- The hooks
    bool validHeader(const uint8_t* header) const { return cache_.validHeader(header); }
    bool plausibleHeader(const uint8_t* header) const { return cache_.plausibleHeader(header); }
    size_t paddingAfter(size_t length) const { return cache_.paddingAfterCcsds(length); }
    // skipBeforeCcsds is known to be overridden (it has answered a step).
    bool skipsOnBytes() const { return d_.skipHook == Private::Hook::Overridden; }
    // skipBeforeCcsds may be overridden: not yet known to be the base.
    bool maySkipOnBytes() const { return d_.skipHook != Private::Hook::Base; }
    // beforeParseCcsds is known to be the base version.
    bool streamHookIsBase() const { return d_.streamHook == Private::Hook::Base; }
    // skipBeforeCcsds on `available` bytes; nothing (false) when it is the
    // base version, which hands the step to beforeParseCcsds.
    bool skipOnBytes(const uint8_t* bytes, size_t available, size_t* step) const
    {
        *step = cache_.skipBeforeCcsds(bytes, available);
        if (d_.skipHook == Private::Hook::Base)
            return false;
        d_.skipHook = Private::Hook::Overridden;
        return true;
    }
    // skipBeforeCcsds itself, once known to be overridden.
    size_t skipBeforeCcsds(const uint8_t* bytes, size_t available) const
    {
        return cache_.skipBeforeCcsds(bytes, available);
    }
    // Where beforeParseCcsds leaves the stream placed at `at`.
    long stepOnStream(long at) const
    {
        if (d_.streamHook == Private::Hook::Base)
            return at;
        std::fseek(cache_.file, at, SEEK_SET);
        cache_.beforeParseCcsds(cache_.file);
        if (d_.streamHook == Private::Hook::Base)
            return at;
        d_.streamHook = Private::Hook::Overridden;
        const long after = std::ftell(cache_.file);
        return after >= 0 ? after : at;
    }

    // ---- Where the packets go
    size_t packetCount() const { return cache_.packets.size(); }
    TimeResolver* resolver() const { return cache_.resolver.get(); }
    // Room for one more packet, as much as the rest of a file of fileSize bytes holds.
    void makeRoom(long fileSize) const { cache_.makeRoom(fileSize); }
    void accept(TMPacketPtr&& packet, long from, long header, long end) const
    {
        cache_.accept(std::move(packet), from, header, end);
    }
    // A damaged stretch [first, end), before the packet to be taken next.
    DamagedStretch stretch(DamagedStretch::Kind kind, long first, long end) const
    {
        return {first, end, kind, cache_.packets.size()};
    }
    void damaged(const DamagedStretch& s) const { cache_.reportDamage(s); }
    template <typename... Args> void message(const char* format, Args... args) const
    {
        cache_.message(format, args...);
    }

    // ---- The file and the back-offs
    long long maxScan() const { return cache_.maxScan; }
    long fileSize() const { return cache_.currentFileSize(); }
    enum class Say { Line, Quiet };
    // Whether to back off on a partial packet at `position` once more,
    // saying so with `say`.
    bool backOff(long fileEnd, long position, Say say = Say::Line) const
    {
        if (!d_.ccsdsReads.backOff(fileEnd))
            return false;
        if (say == Say::Line)
            cache_.message("Read partial packet...backing up to index %ld", position);
        return true;
    }
    bool backOffsSpent(long fileEnd) const { return d_.ccsdsReads.spent(fileEnd); }

private:
    TelemetryCache& cache_;
    Private& d_;
};

} // namespace GseLib
