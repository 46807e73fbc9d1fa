#pragma once
// Scans of a CCSDS candidate's bytes that the rule's looks run at every byte
// of a payload: which places may hold a header whose packet ends in a given
// range, or an archive label. The arithmetic runs sixteen places at a time
// where the machine has SSE2; a place found is tested again one by one.
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/ccsdsparser.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace GseLib::CcsdsScan {

using ArchiveBytes::be16;
using CcsdsHeader::sameFixedBits;

#if defined(__SSE2__)
// sameFixedBits sixteen places at a time: 0xFF for each of the places p to
// p + 15 whose header agrees with the one at `bits` (every place, without
// it); reads p[0] to p[17].
struct FixedBitsMask
{
    __m128i mask0, mask2, want0, want2;

    explicit FixedBitsMask(const uint8_t* bits)
        : mask0(_mm_set1_epi8(char(bits ? CcsdsHeader::FIXED_BITS_0 : 0))),
          mask2(_mm_set1_epi8(char(bits ? CcsdsHeader::FIXED_BITS_2 : 0))),
          want0(_mm_set1_epi8(char(bits ? bits[0] & CcsdsHeader::FIXED_BITS_0 : 0))),
          want2(_mm_set1_epi8(char(bits ? bits[2] & CcsdsHeader::FIXED_BITS_2 : 0)))
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
inline bool forEachEnding(const uint8_t*& b, long n, long low, uint32_t width, const uint8_t* bits, Look look)
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
        // The places from `first` on of the block at `at`.
        auto look16 = [&](long at, long first) {
            unsigned m = places(b, at) & (~0u << (first - at));
            for (; m != 0; m &= m - 1) {
                const long k = at + __builtin_ctz(m);
                if (k <= n - MIN_PACKET && scalar(k))
                    return true;
            }
            return false;
        };
        for (; i + 21 <= n; i += 16) {
            if (look16(i, i))
                return true;
        }
        // The rest in one block that overlaps the last, whose places were
        // looked at already: each place is handed to `look` once.
        return i <= n - MIN_PACKET && look16(n - 21, i);
    }
#endif
    for (; i <= n - MIN_PACKET; ++i) {
        if (scalar(i))
            return true;
    }
    return false;
}

// Calls look(i) for the places i (1 on: place 0 is the candidate itself) of
// the n bytes at b where an archive label's first 20 bytes stand whole, until
// it returns true; `look` may move b.
template <typename Look>
inline bool forEachLabel(const uint8_t*& b, long n, Look look)
{
    return ArchiveLabel::forEachWhole(b, n, 1, look);
}

} // namespace GseLib::CcsdsScan
