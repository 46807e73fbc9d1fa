#pragma once
// The archive label that may stand before a CCSDS packet, in one place for
// the parse and for the scans of a candidate's bytes: "C7333IA0", then
// "GANN" or "FANN", then 8 ASCII digits that give N; the label is 40 + N
// bytes long and carries the ground time of the packet after it.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace GseLib::ArchiveLabel {

inline constexpr char MAGIC[] = "C7333IA0";
inline constexpr size_t MAGIC_SIZE = 8;
// The bytes that tell a label: magic, kind ("GANN", "FANN") and digits.
inline constexpr size_t LOOKAHEAD = 20;
inline constexpr size_t KIND_AT = 8;
inline constexpr char KIND_REST[] = "ANN";
inline constexpr size_t DIGITS_AT = 12;
// A label holds 40 bytes besides the N its digits give: the LOOKAHEAD bytes
// that tell it and 20 more.
inline constexpr size_t BYTES_BESIDES_N = 40;
// Where a label of each kind holds its ground time: big-endian seconds, then
// milliseconds.
inline constexpr size_t GANN_SECONDS_AT = 24;
inline constexpr size_t GANN_MS_AT = 28;
inline constexpr size_t FANN_SECONDS_AT = 32;
inline constexpr size_t FANN_MS_AT = 36;

// Whether the first n bytes of b (n <= LOOKAHEAD) can begin a label.
inline bool couldStart(const uint8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        bool ok;
        if (i < MAGIC_SIZE)
            ok = b[i] == uint8_t(MAGIC[i]);
        else if (i == KIND_AT)
            ok = b[i] == 'G' || b[i] == 'F';
        else if (i < DIGITS_AT)
            ok = b[i] == uint8_t(KIND_REST[i - KIND_AT - 1]);
        else
            ok = b[i] >= '0' && b[i] <= '9';
        if (!ok)
            return false;
    }
    return true;
}

inline bool isGann(const uint8_t* label)
{
    return label[KIND_AT] == 'G';
}

// The bytes of the label whose first LOOKAHEAD bytes are at l: 40 + N.
inline size_t totalBytes(const uint8_t* l)
{
    size_t n = 0;
    for (size_t i = DIGITS_AT; i < LOOKAHEAD; ++i)
        n = n * 10 + size_t(l[i] - '0');
    return n + BYTES_BESIDES_N;
}

// Calls look(i) for the places i, from `from` on, of the n bytes at b where
// a label's first LOOKAHEAD bytes stand whole, until it returns true. The
// one scan for labels inside bytes that are all there: a label cut by their
// end is not one of them. `look` may move b (a window refill).
template <typename Look> inline bool forEachWhole(const uint8_t*& b, long n, long from, Look look)
{
    for (long i = from; i + long(LOOKAHEAD) <= n; ++i) {
        const void* c = std::memchr(b + i, MAGIC[0], size_t(n - i));
        if (!c)
            return false;
        i = static_cast<const uint8_t*>(c) - b;
        if (i + long(LOOKAHEAD) <= n && couldStart(b + i, LOOKAHEAD) && look(i))
            return true;
    }
    return false;
}

// Whether the `total` bytes of the label at l hold another label's first
// LOOKAHEAD bytes: its digits were hit, and its claim would swallow that
// label's packet.
inline bool holdsAnother(const uint8_t* l, size_t total)
{
    const uint8_t* b = l;
    return forEachWhole(b, long(total), long(LOOKAHEAD), [](long) { return true; });
}

} // namespace GseLib::ArchiveLabel
