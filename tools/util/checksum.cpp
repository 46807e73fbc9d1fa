#include "tools/util/checksum.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace GseLib {

namespace {

// Words per block between two folds. 360 words keep even the sum of sums far below
// 2^64, and 360 is a multiple of the 8 words of a 16-byte vector chunk.
constexpr std::uint32_t kBlockWords = 360;

inline std::uint64_t fold(std::uint64_t sum)
{
    return (sum >> 16) + (sum & 0xFFFF);
}

inline std::uint32_t beWord(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 8) | p[1];
}

// Adds n words (n at most one block) to a and b exactly as the word-by-word loop
// would: within a block nothing is folded, so the order of the additions does not
// matter and the sums come out identical.
inline void addBlock(const unsigned char* p, std::uint32_t n, std::uint64_t& a, std::uint64_t& b)
{
    std::uint32_t done = 0;
#if defined(__SSE2__)
    const std::uint32_t chunks = n / 8;
    if (chunks > 0) {
        // Per lane l (word 8j + l of chunk j): s1[l] = sum of the lane's words,
        // s2[l] = sum over chunks of the lane sums before them. Lane values stay below
        // 2^27 for 45 chunks, so 32-bit lanes are exact.
        const __m128i zero = _mm_setzero_si128();
        __m128i s1lo = zero, s1hi = zero, s2lo = zero, s2hi = zero;
        for (std::uint32_t j = 0; j < chunks; ++j) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
            v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); // big-endian words
            s2lo = _mm_add_epi32(s2lo, s1lo);
            s2hi = _mm_add_epi32(s2hi, s1hi);
            s1lo = _mm_add_epi32(s1lo, _mm_unpacklo_epi16(v, zero));
            s1hi = _mm_add_epi32(s1hi, _mm_unpackhi_epi16(v, zero));
        }
        std::uint32_t l1[8], l2[8];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(l1), s1lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(l1 + 4), s1hi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(l2), s2lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(l2 + 4), s2hi);
        // Word t = 8j + l of m = chunks chunks is counted in sum2 (8m - t) times,
        // that is 8(m - j) - l times: sum_l 8(s2[l] + s1[l]) - l * s1[l].
        std::uint64_t sum = 0, weighted = 0;
        for (int l = 0; l < 8; ++l) {
            sum += l1[l];
            weighted += 8 * (std::uint64_t(l2[l]) + l1[l]) - std::uint64_t(l) * l1[l];
        }
        done = chunks * 8;
        b += std::uint64_t(done) * a + weighted;
        a += sum;
    }
#endif
    for (std::uint32_t i = done; i < n; ++i) {
        a += beWord(p + 2 * i);
        b += a;
    }
}

} // namespace

void checksum_add_words(unsigned char const* data, std::uint32_t length, std::uint64_t& sum1,
                        std::uint64_t& sum2)
{
    std::uint64_t a = sum1, b = sum2;
    std::uint32_t words = length / 2;
    const unsigned char* p = data;
    while (words > 0) {
        const std::uint32_t n = std::min(words, kBlockWords);
        addBlock(p, n, a, b);
        a = fold(a);
        b = fold(b);
        p += 2 * n;
        words -= n;
    }
    if (length & 1) {
        a += std::uint64_t(*p) << 8;
        b += a;
    }
    sum1 = a;
    sum2 = b;
}

void checksum_add_words_plain(unsigned char const* data, std::uint32_t length,
                              std::uint64_t& sum1, std::uint64_t& sum2)
{
    std::uint64_t a = sum1, b = sum2;
    std::uint32_t words = length / 2;
    const unsigned char* p = data;
    while (words > 0) {
        const std::uint32_t n = std::min(words, kBlockWords);
        for (std::uint32_t i = 0; i < n; ++i) {
            a += beWord(p);
            b += a;
            p += 2;
        }
        a = fold(a);
        b = fold(b);
        words -= n;
    }
    if (length & 1) {
        a += std::uint64_t(*p) << 8;
        b += a;
    }
    sum1 = a;
    sum2 = b;
}

bool correct_checksum(unsigned char const* data, unsigned long length, bool checkSimpleSumFirst)
{
    const auto len = static_cast<std::uint32_t>(length);
    std::uint64_t sum1 = 0xFFFF, sum2 = 0xFFFF;
    checksum_add_words(data, len, sum1, sum2);
    sum1 = fold(sum1);
    sum2 = fold(sum2);

    const unsigned char* c = data + len;
    const std::uint32_t stored = (std::uint32_t(c[0]) << 24) | (std::uint32_t(c[1]) << 16)
                                 | (std::uint32_t(c[2]) << 8) | c[3];
    const auto computed = static_cast<std::uint32_t>((sum2 << 16) | sum1);
    // Both sums come out of one pass; the simple-sum test compares the same low 16 bits
    // that the full comparison does, so the flag never changes the answer.
    if (checkSimpleSumFirst && (computed & 0xFFFF) != (stored & 0xFFFF))
        return false;
    return computed == stored;
}

void start_checksum(unsigned long* state)
{
    state[0] = 0xFFFF;
    state[1] = 0xFFFF;
}

void start_checksum_new(unsigned long* state)
{
    state[0] = 1;
    state[1] = 0;
}

void add_checksum(unsigned char const* data, unsigned int length, unsigned long* state)
{
    std::uint64_t sum1 = state[0], sum2 = state[1];
    checksum_add_words(data, length, sum1, sum2);
    state[0] = static_cast<unsigned long>(sum1);
    state[1] = static_cast<unsigned long>(sum2);
}

void fast_add_checksum(unsigned char const* data, unsigned int length, unsigned long* sum)
{
    std::uint64_t a = *sum;
    std::uint32_t words = length / 2;
    const unsigned char* p = data;
    while (words > 0) {
        const std::uint32_t n = std::min(words, kBlockWords);
        for (std::uint32_t i = 0; i < n; ++i, p += 2)
            a += beWord(p);
        a = fold(a);
        words -= n;
    }
    if (length & 1)
        a += std::uint64_t(*p) << 8;
    *sum = static_cast<unsigned long>(a);
}

unsigned int end_checksum(unsigned long* state)
{
    const std::uint64_t sum1 = fold(state[0]);
    const std::uint64_t sum2 = fold(state[1]);
    state[0] = static_cast<unsigned long>(sum1);
    state[1] = static_cast<unsigned long>(sum2);
    const auto value = static_cast<std::uint32_t>((sum2 << 16) | sum1);
    return __builtin_bswap32(value);
}

std::uint16_t fletcher16(void const* data, int length)
{
    if (length <= 0)
        return 0;
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t sum1 = 0, sum2 = 0;
    int left = length;
    while (left > 0) {
        const int n = std::min(left, 5002);
        for (int i = 0; i < n; ++i) {
            sum1 += p[i];
            sum2 += sum1;
        }
        sum1 %= 255;
        sum2 %= 255;
        p += n;
        left -= n;
    }
    return static_cast<std::uint16_t>((sum2 << 8) | sum1);
}

namespace {

// Ones'-complement sum of little-endian words (odd last byte as a low byte), folded
// to 16 bits.
std::uint32_t onesComplementSum(const unsigned char* p, std::uint32_t length)
{
    std::uint64_t sum = 0;
    std::uint32_t i = 0;
    for (; i + 1 < length; i += 2)
        sum += std::uint32_t(p[i]) | (std::uint32_t(p[i + 1]) << 8);
    if (i < length)
        sum += p[i];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum);
}

std::uint16_t finishOnesComplement(std::uint32_t sum)
{
    const auto result = static_cast<std::uint16_t>(~sum & 0xFFFF);
    return result == 0 ? 0xFFFF : result;
}

} // namespace

std::uint16_t ip_checksum(char* data, int length)
{
    if (length <= 0)
        return finishOnesComplement(0);
    return finishOnesComplement(
        onesComplementSum(reinterpret_cast<const unsigned char*>(data), std::uint32_t(length)));
}

std::uint16_t udp_checksum(char* ipPacket)
{
    auto* p = reinterpret_cast<unsigned char*>(ipPacket);
    const unsigned char ttl = p[8];
    const unsigned char check0 = p[10];
    const unsigned char check1 = p[11];

    // Pseudo-header in place: zero, protocol, UDP length, source, destination.
    p[8] = 0;
    p[10] = p[24];
    p[11] = p[25];
    const std::uint32_t udpLength = (std::uint32_t(p[24]) << 8) | p[25];
    const std::uint32_t sum = onesComplementSum(p + 8, udpLength + 12);

    p[8] = ttl;
    p[10] = check0;
    p[11] = check1;
    return finishOnesComplement(sum);
}

} // namespace GseLib
