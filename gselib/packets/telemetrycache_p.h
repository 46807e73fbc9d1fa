#pragma once
// The telemetry cache's parse state, kept out of its public header: the
// window on the file, the back-offs on partial packets, what is known of the
// hooks, and the CCSDS parser. ParseHost is all of the cache a parser is
// handed: the window, the hooks, where the packets it takes go, and the
// back-off state.
#include "gselib/packets/archivewindow.h"
#include "gselib/packets/telemetrycache.h"

#include <memory>

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

    explicit Private(TelemetryCache& cache);
    ~Private();

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
    void skippedMessage(long skipped, long to) const { cache_.skippedMessage(skipped, to); }
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
