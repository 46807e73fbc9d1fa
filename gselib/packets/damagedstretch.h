#pragma once
// One damaged stretch of an archive, as the telemetry cache reports it: bytes
// a parse stepped over, gave up on or left unread, and where they stand among
// the packets. The cache keeps a record of every stretch it reports
// (TelemetryCache::damage()) and writes each line from it, so that a caller
// can act on damage without reading text.
#include <cstddef>
#include <cstdint>
#include <string>

namespace GseLib {

struct DamagedStretch
{
    enum class Kind : uint8_t {
        // Stepped over: "Skipped N bytes [first - end]", said before the
        // packet at `end`, or once a read decides the end of a finished file.
        Skipped,
        // The search gave up at the scan limit: "Scanned N bytes [first -
        // end] without finding a valid packet header, archive may be
        // corrupt!". The rest of the file, as long as it was then, is not read.
        ScannedToLimit,
        // A packet the cache cannot complete, from its attempt's first byte to
        // the end of the file, not stepped into: "Could not read a whole
        // packet at index first...reading no further until the file grows".
        LeftUnread,
        // A candidate whose claim [first, end) runs past the end of the file,
        // given up on, one byte stepped over: "Could not read N bytes from
        // file...skipping ahead 1 byte", N the claim less its header.
        ClaimPastEnd,
    };

    int64_t first = 0;
    int64_t end = 0; // one past its last byte
    Kind kind = Kind::Skipped;
    // Index of the packet it stands before: the packet count when it was said.
    size_t before = 0;

    int64_t bytes() const { return end - first; }
    bool operator==(const DamagedStretch&) const = default;

    // Appends its line (without a line end) to `out`; `headerBytes`: the
    // header of the archive's packets (8 TOM, 6 CCSDS), which a claim's count
    // leaves out. Without printf: a damaged archive writes a line for every
    // damaged stretch.
    void appendLine(std::string& out, int64_t headerBytes) const;

    // A plain name of each kind, for scripts and test messages.
    static const char* kindName(Kind k)
    {
        switch (k) {
        case Kind::Skipped:
            return "skipped";
        case Kind::ScannedToLimit:
            return "scan_limit";
        case Kind::LeftUnread:
            return "left_unread";
        case Kind::ClaimPastEnd:
            return "claim_past_end";
        }
        return "";
    }
};

} // namespace GseLib
