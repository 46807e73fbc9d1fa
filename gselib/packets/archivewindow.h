#pragma once
// The bytes of an archive that the telemetry cache's parses work on: up to
// SIZE bytes read straight from the file (no stream buffer in between, so the
// stream stays where the cache's hooks expect it), refilled on demand. Also
// the big-endian fields both parses read out of those bytes, running sums
// that rule out TOM checksum candidates in O(1), and the look both parses
// take for a later packet after one that runs past the end of the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace GseLib {

namespace ArchiveBytes {

inline uint32_t be16(const uint8_t* p)
{
    return (uint32_t(p[0]) << 8) | p[1];
}

inline uint32_t be32(const uint8_t* p)
{
    return (be16(p) << 16) | be16(p + 2);
}

} // namespace ArchiveBytes

// The look both parses take after a packet that runs past the end of the
// file: whether a packet that they would take begins after it and ends within
// the file (then the first is garbage, not a packet still being written). It
// keeps its last answer for the file's size: nothing found after an earlier
// position means nothing after a later one.
class LaterPacketLook
{
public:
    enum Place { NONE, FOUND, END };

    // What the memo already tells of a look from pos in a file that ends at
    // fileEnd: found or not, or nothing (the look must be taken).
    std::optional<bool> known(long pos, long fileEnd) const
    {
        if (from_ < 0 || fileEnd_ != fileEnd || pos < from_)
            return std::nullopt;
        if (found_ < 0)
            return false;
        if (found_ > pos)
            return true;
        return std::nullopt;
    }
    bool found() const { return found_ >= 0; }

    // The look itself, and the memo of it: whether test(o) is FOUND at a
    // place o from pos + 1 to `last` (END: no place after o is looked at).
    template <typename Test> static LaterPacketLook from(long pos, long fileEnd, long last, Test test)
    {
        LaterPacketLook look;
        look.from_ = pos;
        look.fileEnd_ = fileEnd;
        for (long o = pos + 1; o <= last; ++o) {
            const Place place = test(o);
            if (place == FOUND) {
                look.found_ = o;
                break;
            }
            if (place == END)
                break;
        }
        return look;
    }

    // The look through the memo, which then keeps its answer.
    template <typename Test> bool operator()(long pos, long fileEnd, long last, Test test)
    {
        if (const std::optional<bool> k = known(pos, fileEnd))
            return *k;
        *this = from(pos, fileEnd, last, test);
        return found();
    }

private:
    long from_ = -1;
    long fileEnd_ = -1;
    long found_ = -1;
};

class ArchiveWindow
{
public:
    static constexpr size_t SIZE = 1 << 20; // well above the largest TOM packet (65547 bytes)

    // Empties the window, which then reads `file` (not owned) from `pos` on.
    void reset(FILE* file, long pos);

    // The bytes available from pos, up to n (fewer only at the end of the
    // file). A refill keeps the bytes from pos on, or from the anchor.
    size_t fill(long pos, size_t n)
    {
        if (pos >= start_ && pos + long(n) <= start_ + long(length_))
            return n;
        return refill(pos, n);
    }
    const uint8_t* at(long pos) const { return bytes_.get() + (pos - start_); }
    long start() const { return start_; }
    // One past the last byte held: the end of the file when atEof().
    long end() const { return start_ + long(length_); }
    bool atEof() const { return atEof_; }

    // A position whose bytes refills keep while a look reads past it (when
    // both fit), -1 for none.
    long anchor() const { return anchor_; }
    // The window anchored at a position while it lives; then the previous
    // anchor again.
    class Anchored
    {
    public:
        Anchored(ArchiveWindow& window, long pos) : window_(window), previous_(window.anchor_) { window.anchor_ = pos; }
        ~Anchored() { window_.anchor_ = previous_; }
        Anchored(const Anchored&) = delete;
        Anchored& operator=(const Anchored&) = delete;

    private:
        ArchiveWindow& window_;
        long previous_;
    };

    // The bytes from a position on held back while it lives (-1: none):
    // fills stop there as at the end of the file, so that a look sees only
    // what stands before it.
    class HeldBack
    {
    public:
        HeldBack(ArchiveWindow& window, long pos) : window_(window), set_(pos >= 0)
        {
            if (set_)
                window.setHorizon(pos);
        }
        ~HeldBack()
        {
            if (set_)
                window_.clearHorizon();
        }
        HeldBack(const HeldBack&) = delete;
        HeldBack& operator=(const HeldBack&) = delete;

    private:
        ArchiveWindow& window_;
        bool set_;
    };
    // Whether a fill that ends at `end` stops short of it only at the end of
    // the file, not at the horizon.
    bool endIsFile(long end) const { return horizon_ < 0 || end <= horizon_; }

    // What a refill copies out before it drops it: the bytes from *from,
    // or `lead` bytes before *header when that is later, to *to, where they
    // are held (the last packet the parse took, with its label, which the
    // telemetry cache compares after the parse).
    struct Kept
    {
        long at = -1;
        long to = -1;
        std::vector<uint8_t> bytes;
    };
    void keep(const long* from, const long* header, const long* to, size_t lead, Kept* kept)
    {
        keepFrom_ = from;
        keepHeader_ = header;
        keepTo_ = to;
        keepLead_ = lead;
        kept_ = kept;
    }
    // A necessary condition for the Fletcher-32 of the `covered` bytes at pos
    // (held in the window, with their trailer) to match its stored value.
    bool checksumMayMatch(long pos, size_t covered);

private:
    void setHorizon(long pos);
    void clearHorizon();
    size_t refill(long pos, size_t n);
    size_t readAt(long pos, uint8_t* out, size_t n);
    void buildSums();

    FILE* file_ = nullptr;
    std::unique_ptr<uint8_t[]> bytes_;
    long start_ = 0; // file offset of bytes_[0]
    size_t length_ = 0;
    bool atEof_ = false;
    long anchor_ = -1;
    long horizon_ = -1; // -1: none
    // What the window held beyond the horizon when it was set.
    long heldStart_ = 0;
    size_t heldLength_ = 0;
    bool heldAtEof_ = false;
    const long* keepFrom_ = nullptr;
    const long* keepHeader_ = nullptr;
    const long* keepTo_ = nullptr;
    size_t keepLead_ = 0;
    Kept* kept_ = nullptr;
    // Running sums of the big-endian words at even and odd offsets (modulo
    // 65535), built on demand.
    std::vector<uint16_t> sumsEven_;
    std::vector<uint16_t> sumsOdd_;
    bool sumsValid_ = false;
};

} // namespace GseLib
