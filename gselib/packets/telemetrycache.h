#pragma once
// Reads one telemetry archive (TOM packets, or CCSDS packets each optionally
// preceded by an archive label) into a vector of packets, and reads on from
// where it stopped each time it is asked to grow, following a file that is
// still being written. Owns the archive's time resolver. Instruments derive
// their caches from it and override the hooks.
//
// Resynchronisation, partial packets and corrupt archives are reported with
// printf-style lines on the standard error stream (see setMessageStream);
// each damaged stretch is also kept as a record (damage()).
//
// A followed file that was started anew under the reader (truncated, or
// another file put in its place, by a recorder that restarts) is read again
// from its start, with a line that says so. A packet and the read position
// past it are committed together: a hook that throws leaves the packet held
// once, and the exception reaches the caller.
//
// With a header test that tells packets from other bytes, every CCSDS
// candidate is judged by one rule about damaged headers (CcsdsParser).
//
// changeFile tells a finished CCSDS archive from one still being written by
// its age: one last modified at least finishedFileAge() seconds before (5 by
// default) is read as finished, decided to its end in that one read; a
// younger one is read as a file being written, which waits for the bytes its
// last packets need. Its bytes cannot tell: a packet being written and
// damage at the end of the file look the same.
#include "gselib/packets/archivelabel.h"
#include "gselib/packets/damagedstretch.h"
#include "gselib/packets/tmmeta.h"
#include "gselib/packets/tmpacket.h"

#include <QObject>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace GseLib {

class TimeResolver;

class TelemetryCache : public QObject
{
    Q_OBJECT

public:
    enum PacketFormat : int { TOM = 1, CCSDS = 2 };

    static constexpr size_t PACKET_BUFFER_SIZE = 655360;
    static constexpr size_t LABEL_BUFFER_SIZE = 10240;
    static constexpr size_t LABEL_LOOKAHEAD = ArchiveLabel::LOOKAHEAD;
    // The most bytes skipBeforeCcsds is shown.
    static constexpr size_t CCSDS_SKIP_LOOKAHEAD = 16;
    // Back-offs on a partial last packet, without the file growing, before
    // the parse steps one byte forward instead.
    static constexpr int PARTIAL_READ_LIMIT = 5;

    // Takes ownership of the resolver.
    explicit TelemetryCache(TimeResolver* resolver);
    ~TelemetryCache() override;

    // Opens an archive (re-reading its tm.meta) and parses it from the start.
    void changeFile(const std::string& path, bool clearFirst);
    // The age in seconds from which changeFile reads a file as finished, for
    // every cache of the process: 0 reads every file as finished (but one
    // whose time is ahead of the clock), a negative age none.
    static void setFinishedFileAge(double seconds);
    static double finishedFileAge();
    static constexpr double DEFAULT_FINISHED_FILE_AGE = 5.0;
    // How this cache's changeFile tells a finished file: by its age, or as
    // the caller knows it (a program that reads a recording once and never
    // grows it reads it as finished, whatever its age).
    enum class OpenAs { ByAge, Finished, BeingWritten };
    void setOpenAs(OpenAs how);
    OpenAs openAs() const;
    // Parses what was appended since the last parse. When the file at the
    // path is shorter than the read position, or holds other bytes than the
    // first and the last packet taken (with their labels) at their offsets,
    // it was started anew: its packets are dropped (fileStartedAnew) and it
    // is read again from its start, as changeFile reads it but as a file
    // still written. A hook or resolver that throws leaves the cache whole.
    void grow();
    // Releases every packet and resets the resolver (the read position stays).
    void clear();

    TMPacketPtr get(unsigned int i) const;
    size_t count() const { return packets.size(); }
    const std::vector<TMPacketPtr>& allPackets() const { return packets; }

    void setPacketFormat(PacketFormat f) { format = f; }
    PacketFormat packetFormat() const { return format; }
    void appendPacket(const TMPacketPtr& packet);
    void setMaxPackets(size_t maxPackets, size_t removeCount);
    // Bytes a CCSDS search steps over without a packet, however many grows
    // it takes, before it gives up on the file as it is; 0 or less: no limit.
    void setMaxScan(long long bytes) { maxScan = bytes; }
    long long maxScanBytes() const { return maxScan; }
    // Every damaged stretch reported since the file was opened (or the cache
    // cleared), in the order of its lines. A file read anew drops its own.
    const std::vector<DamagedStretch>& damage() const;

    const std::string& filePath() const { return path; }
    const TmMeta& tmMeta() const { return meta; }
    TimeResolver* timeResolver() const { return resolver.get(); }
    long readPosition() const { return position; }

    // Where the parse messages go (standard error by default; not owned).
    void setMessageStream(FILE* stream);

signals:
    void packetsRemoved(int count);
    // The followed file was started anew: its packets, from `first` on (the
    // earlier files' of setSharedCacheFiles stay), were dropped, and are read
    // again from its start.
    void fileStartedAnew(int first);

protected:
    // Called by grow() for a format that is neither TOM nor CCSDS.
    virtual void parseCustomPackets();
    // Called for each new packet, after the resolver's handlePacket and
    // after the read position has moved past it. An override may call this
    // base version.
    virtual void hookPacket(const TMPacketPtr& packet);
    // Called by grow() at position 0; may move the stream and position past a preamble.
    virtual void adjustStartPos(FILE* stream, long* position);
    // Called by the CCSDS parse before each primary-header read, with the
    // stream on the packet's first byte; may read past filler. The parse reads
    // the file through a window of its own and places the stream only for an
    // override (a seek and a tell per packet). The base version does nothing;
    // an override may call it. Used only when skipBeforeCcsds is not
    // overridden.
    virtual void beforeParseCcsds(FILE* stream);
    // Tests a header candidate (8 TOM or 6 CCSDS header bytes). Defined here
    // so that a parse can call the base version without a call.
    virtual bool validHeader(const unsigned char*) { return true; }
    // Hooks added later follow, so that the slots above keep their order.
    //
    // beforeParseCcsds's step on the parse's own bytes, without a system
    // call: `bytes` are the archive's bytes where a packet may begin (after
    // any label), `available` of them, at most CCSDS_SKIP_LOOKAHEAD, fewer
    // only where the file ends. Returns how many to step over before the
    // primary header; a count that reaches past the end of the file ends the
    // parse there until the file grows. Shown fewer bytes, an override
    // returns 0 only when no step can begin there whatever follows: a parse
    // that follows a growing file takes that as decided. The base version
    // returns 0; an override may call it. Which hooks are overridden is read
    // off the object where GCC builds the library; elsewhere it is found out
    // on a hook's first call, and an override must not call these two base
    // versions.
    virtual size_t skipBeforeCcsds(const unsigned char* bytes, size_t available);
    // Bytes that may stand right after a packet of `length` bytes and before
    // the next header without skipBeforeCcsds stepping over them (a pad byte):
    // the parse steps over them byte by byte, and resynchronisation looks for
    // the next header after them too when it tests what follows a candidate.
    virtual size_t paddingAfterCcsds(size_t length) const;
    // Whether a CCSDS header that validHeader rejects still looks like a real
    // packet's, say of a known type but too long for it. Such a packet, whole
    // and followed by what the parse takes next, is passed over by its
    // length, and a run of packets may step over it. The base says no.
    virtual bool plausibleHeader(const unsigned char* header);

    void message(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Whether a parse is running, and how many have started: the hooks may
    // keep what they derive from the definitions for the length of one.
    bool parsing() const { return run.running; }
    uint64_t parseCount() const { return run.started; }

    // The archive and the packets read of it (what an instrument's cache may
    // read). The rest of the state is the cache's own (telemetrycache_p.h).
    std::string path;
    FILE* file = nullptr;
    long position = 0;
    long long maxScan = 1000000;
    TmMeta meta;
    PacketFormat format = TOM;
    std::vector<TMPacketPtr> packets;
    std::shared_ptr<TimeResolver> resolver;
    size_t maxPackets = 0;
    size_t removeCount = 0;

public:
    // What a parser is handed of the cache (telemetrycache_p.h).
    class ParseHost;

private:
    // The parses' state, the read mark and the held messages (telemetrycache_p.h).
    struct Private;

    void parseTom();
    bool takeTomPacket(long& position, long& skipped, size_t total, long fileSize);
    void parseCcsds();
    // Keeps the record and writes its line.
    void reportDamage(const DamagedStretch& stretch);
    void endMessage();
    void flushMessages();
    void resetParseState();
    void resetResolver();
    // Closes the open stream and reads `stream` (may be null) instead.
    void takeStream(FILE* stream);
    // Whether the followed file was started anew; says so. Follows another
    // file put at the path.
    bool startedAnew();
    void readAnew();
    // Holds the packet whose attempt began at `from` (its header at
    // `header`, its end at `end`), the read position already past it, and
    // calls the hooks.
    void accept(TMPacketPtr&& packet, long from, long header, long end);
    // Which hooks are this class's own, which the parses then need not call.
    void findOverrides();
    void reserveFor(long fileSize);
    // Room for one more packet.
    void makeRoom(long fileSize)
    {
        if (packets.size() == packets.capacity())
            reserveFor(fileSize);
    }
    void releasePackets();
    long currentFileSize() const;
    bool tomChecksumOk(long pos, size_t covered);
    bool laterCompleteTomPacket(long pos, long fileEnd);

    // Whether a parse runs and how many have started, kept here rather than
    // behind d: a header test asks on every candidate (bench_tolva's noise
    // parse, 9% more instructions through a call).
    struct ParseRun
    {
        uint64_t started = 0;
        bool running = false;
    } run;
    std::unique_ptr<Private> d;
};

} // namespace GseLib
