#include "tools/util/checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

using namespace GseLib;

namespace {

std::uint64_t fold(std::uint64_t s)
{
    return (s >> 16) + (s & 0xFFFF);
}

// The checksum as the plain word loop computes it, stored big-endian after the data.
std::vector<unsigned char> withPlainChecksum(std::vector<unsigned char> data)
{
    std::uint64_t s1 = 0xFFFF, s2 = 0xFFFF;
    checksum_add_words_plain(data.data(), std::uint32_t(data.size()), s1, s2);
    const auto c = std::uint32_t((fold(s2) << 16) | fold(s1));
    for (int shift = 24; shift >= 0; shift -= 8)
        data.push_back(static_cast<unsigned char>(c >> shift));
    return data;
}

std::vector<unsigned char> randomBytes(std::mt19937& rng, std::size_t n)
{
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

struct Start
{
    std::uint64_t s1, s2;
};
// The two start states of the library, zeros, and sums near 2^64 where the arithmetic wraps.
const Start kStarts[] = {{0xFFFF, 0xFFFF}, {1, 0}, {0, 0}, {~0ull - 5, ~0ull - 70000}};

void expectSameSums(const std::vector<unsigned char>& d, std::size_t n)
{
    for (const Start& st : kStarts) {
        std::uint64_t a1 = st.s1, a2 = st.s2, b1 = st.s1, b2 = st.s2;
        checksum_add_words(d.data(), std::uint32_t(n), a1, a2);
        checksum_add_words_plain(d.data(), std::uint32_t(n), b1, b2);
        ASSERT_EQ(a1, b1) << "length " << n << " start " << st.s1;
        ASSERT_EQ(a2, b2) << "length " << n << " start " << st.s1;
    }
}

} // namespace

TEST(Checksum32, FastSumsEqualPlainSumsForEveryLength)
{
    std::mt19937 rng(20240305);
    for (std::size_t n = 0; n <= 1000; ++n) {
        const auto d = randomBytes(rng, n);
        expectSameSums(d, n);
        // Saturated and empty words: the folds produce 0xFFFF and 0x10000 representatives.
        expectSameSums(std::vector<unsigned char>(n, 0xFF), n);
        expectSameSums(std::vector<unsigned char>(n, 0x00), n);
    }
    // Block boundaries further out and a long block run.
    for (std::size_t n : {1439u, 1440u, 1441u, 2159u, 2160u, 4096u, 4097u, 65537u, 300001u})
        expectSameSums(randomBytes(rng, n), n);
}

TEST(Checksum32, FastAndPlainAgreeOnTheStoredChecksum)
{
    std::mt19937 rng(7);
    for (std::size_t n = 0; n <= 1000; ++n) {
        for (unsigned char fill : {0x00, 0xFF, 0x5A}) {
            auto d = withPlainChecksum(fill == 0x5A ? randomBytes(rng, n)
                                                    : std::vector<unsigned char>(n, fill));
            ASSERT_TRUE(correct_checksum(d.data(), n, false)) << n;
            ASSERT_TRUE(correct_checksum(d.data(), n, true)) << n;
            // A stored 0x0000 where 0xFFFF is computed (or the reverse) is a mismatch.
            d[n + 3] ^= 0xFF;
            d[n + 2] ^= 0xFF;
            ASSERT_FALSE(correct_checksum(d.data(), n, false)) << n;
            ASSERT_FALSE(correct_checksum(d.data(), n, true)) << n;
        }
    }
}

TEST(Checksum32, HandComputedValues)
{
    // Empty block: both sums stay 0xFFFF.
    const unsigned char empty[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(correct_checksum(empty, 0, false));
    const unsigned char emptyZero[] = {0, 0, 0, 0};
    EXPECT_FALSE(correct_checksum(emptyZero, 0, false));

    // One word 0x0102: sum1 = 0x10101 -> 0x0102, sum2 = 0x20100 -> 0x0102.
    const unsigned char one[] = {0x01, 0x02, 0x01, 0x02, 0x01, 0x02};
    EXPECT_TRUE(correct_checksum(one, 2, false));
    EXPECT_TRUE(correct_checksum(one, 2, true));

    // Odd length: 0x03 is the high byte of a word, sum1 = 0x0402, sum2 = 0x0504.
    unsigned char odd[] = {0x01, 0x02, 0x03, 0x05, 0x04, 0x04, 0x02};
    EXPECT_TRUE(correct_checksum(odd, 3, false));
    odd[2] = 0x04; // now sum1 = 0x0502, sum2 = 0x0604: both sums change
    EXPECT_FALSE(correct_checksum(odd, 3, false));
    odd[3] = 0x06;
    odd[4] = 0x04;
    EXPECT_FALSE(correct_checksum(odd, 3, false));
    odd[5] = 0x05;
    EXPECT_TRUE(correct_checksum(odd, 3, false));

    // The length is a 32-bit count: 2^32 + 2 reads as 2.
    EXPECT_TRUE(correct_checksum(one, (1ul << 32) + 2, false));
}

TEST(Checksum32, MismatchInEitherHalfFailsWithEitherFlag)
{
    std::mt19937 rng(99);
    auto d = withPlainChecksum(randomBytes(rng, 1001));
    const std::size_t n = 1001;
    for (std::size_t pos = n; pos < n + 4; ++pos) {
        auto bad = d;
        bad[pos] ^= 0x10;
        EXPECT_FALSE(correct_checksum(bad.data(), n, false)) << pos;
        EXPECT_FALSE(correct_checksum(bad.data(), n, true)) << pos;
    }
}

TEST(Checksum32, SimpleSumOfBitSixteenDoesNotChangeTheAnswer)
{
    // 256 words 0xFFFF and one word 0x0100 fold to 0x100FF; the odd byte 0xFF brings the
    // simple sum to 0x1FFFF, whose final fold is 0x10000 and reaches into the sum2 half.
    std::vector<unsigned char> d;
    for (int i = 0; i < 256; ++i) {
        d.push_back(0xFF);
        d.push_back(0xFF);
    }
    d.push_back(0x01);
    d.push_back(0x00);
    d.push_back(0xFF);
    std::uint64_t s1 = 0xFFFF, s2 = 0xFFFF;
    checksum_add_words(d.data(), std::uint32_t(d.size()), s1, s2);
    ASSERT_EQ(fold(s1), 0x10000u);
    const auto full = withPlainChecksum(d);
    EXPECT_EQ(full[d.size() + 2], 0);
    EXPECT_EQ(full[d.size() + 3], 0);
    EXPECT_TRUE(correct_checksum(full.data(), d.size(), false));
    EXPECT_TRUE(correct_checksum(full.data(), d.size(), true));
}

TEST(ChecksumStreaming, PiecesGiveTheStoredChecksum)
{
    std::mt19937 rng(3);
    for (std::size_t n : {0u, 1u, 2u, 719u, 720u, 1441u, 5000u}) {
        const auto data = randomBytes(rng, n);
        const auto full = withPlainChecksum(data);
        unsigned long state[2];
        start_checksum(state);
        EXPECT_EQ(state[0], 0xFFFFul);
        EXPECT_EQ(state[1], 0xFFFFul);
        // Pieces that end on block boundaries keep the fold sequence of the one-shot form.
        std::size_t at = 0;
        while (at < n) {
            const std::size_t piece = std::min<std::size_t>(720, n - at);
            add_checksum(data.data() + at, unsigned(piece), state);
            at += piece;
        }
        const unsigned int reversed = end_checksum(state);
        unsigned char stored[4];
        stored[0] = static_cast<unsigned char>(reversed);
        stored[1] = static_cast<unsigned char>(reversed >> 8);
        stored[2] = static_cast<unsigned char>(reversed >> 16);
        stored[3] = static_cast<unsigned char>(reversed >> 24);
        EXPECT_EQ(0, std::memcmp(stored, full.data() + n, 4)) << n;
        // end_checksum writes the folded sums back.
        EXPECT_EQ(state[0] & 0xFFFF, (unsigned long)full[n + 2] << 8 | full[n + 3]);
    }
}

TEST(ChecksumStreaming, SimpleSumAloneAndNewStart)
{
    std::mt19937 rng(11);
    for (std::size_t n : {0u, 1u, 7u, 720u, 721u, 3001u}) {
        const auto d = randomBytes(rng, n);
        unsigned long state[2];
        start_checksum_new(state);
        EXPECT_EQ(state[0], 1ul);
        EXPECT_EQ(state[1], 0ul);
        add_checksum(d.data(), unsigned(n), state);
        unsigned long sum = 1;
        fast_add_checksum(d.data(), unsigned(n), &sum);
        EXPECT_EQ(sum, state[0]) << n;
    }
    // New start over nothing: sum1 1, sum2 0, bytes reversed.
    unsigned long state[2];
    start_checksum_new(state);
    EXPECT_EQ(end_checksum(state), 0x01000000u);
}

TEST(Fletcher16, KnownValuesAndLongBlocks)
{
    EXPECT_EQ(fletcher16("abcde", 5), 0xC8F0);
    EXPECT_EQ(fletcher16("abcdef", 6), 0x2057);
    EXPECT_EQ(fletcher16("abcdefgh", 8), 0x0627);
    EXPECT_EQ(fletcher16("abc", 0), 0);
    EXPECT_EQ(fletcher16("abc", -3), 0);

    std::mt19937 rng(5);
    for (std::size_t n : {5001u, 5002u, 5003u, 20000u}) {
        std::vector<unsigned char> d(n);
        for (auto& b : d)
            b = static_cast<unsigned char>(rng() | 0xF0);
        unsigned s1 = 0, s2 = 0;
        for (unsigned char b : d) {
            s1 = (s1 + b) % 255;
            s2 = (s2 + s1) % 255;
        }
        EXPECT_EQ(fletcher16(d.data(), int(n)), (s2 << 8) | s1) << n;
    }
}

TEST(IpChecksum, InternetChecksumInReadOrder)
{
    char none[1] = {0};
    EXPECT_EQ(ip_checksum(none, 0), 0xFFFF);
    // The example of RFC 1071: big-endian sum 0xddf2, checksum 0x220d, read little-endian.
    char rfc[] = {0x00, 0x01, char(0xf2), 0x03, char(0xf4), char(0xf5), char(0xf6), char(0xf7)};
    EXPECT_EQ(ip_checksum(rfc, 8), 0x0d22);
    // An IPv4 header whose checksum field (zeroed) is b8 61.
    unsigned char hdr[] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                           0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(ip_checksum(reinterpret_cast<char*>(hdr), 20), 0x61b8);
    // Odd last byte is a low byte.
    char oddb[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(ip_checksum(oddb, 3), std::uint16_t(~(0x0201 + 0x0003)));
    // A sum of 0xFFFF inverts to 0, returned as 0xFFFF; carries are folded back in.
    char ff[] = {char(0xFF), char(0xFF)};
    EXPECT_EQ(ip_checksum(ff, 2), 0xFFFF);
    char carry[] = {char(0xFF), char(0xFF), 0x02, 0x00};
    EXPECT_EQ(ip_checksum(carry, 4), std::uint16_t(~0x0002));
}

namespace {

// RFC 768 over big-endian words, written independently of the library's little-endian form.
std::uint16_t udpChecksumBigEndian(const std::vector<unsigned char>& ip)
{
    const unsigned len = (ip[24] << 8) | ip[25];
    std::uint32_t sum = 0;
    for (int i = 12; i < 20; i += 2)
        sum += (ip[i] << 8) | ip[i + 1];
    sum += ip[9];
    sum += len;
    for (unsigned i = 0; i < len; i += 2)
        sum += (ip[20 + i] << 8) | (i + 1 < len ? ip[21 + i] : 0);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum);
}

} // namespace

TEST(UdpChecksum, MatchesRfc768AndRestoresTheHeader)
{
    std::mt19937 rng(17);
    for (unsigned payload : {0u, 1u, 5u, 32u, 333u}) {
        const unsigned udpLen = 8 + payload;
        std::vector<unsigned char> ip(20 + udpLen);
        for (auto& b : ip)
            b = static_cast<unsigned char>(rng());
        ip[0] = 0x45;
        ip[9] = 17;
        ip[24] = static_cast<unsigned char>(udpLen >> 8);
        ip[25] = static_cast<unsigned char>(udpLen);
        ip[26] = ip[27] = 0;
        const auto before = ip;

        const std::uint16_t c = udp_checksum(reinterpret_cast<char*>(ip.data()));
        EXPECT_EQ(ip, before) << "packet changed";
        std::uint16_t be = udpChecksumBigEndian(ip);
        if (be == 0)
            be = 0xFFFF;
        EXPECT_EQ(c, std::uint16_t((be >> 8) | (be << 8))) << payload;

        // Stored little-endian, the checksum makes the sum all ones.
        ip[26] = static_cast<unsigned char>(c);
        ip[27] = static_cast<unsigned char>(c >> 8);
        EXPECT_EQ(udp_checksum(reinterpret_cast<char*>(ip.data())), 0xFFFF);
        ip[27] ^= 1;
        EXPECT_NE(udp_checksum(reinterpret_cast<char*>(ip.data())), 0xFFFF);
    }
}
