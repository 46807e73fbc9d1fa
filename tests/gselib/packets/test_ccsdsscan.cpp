// The CCSDS scan's sixteen-places-at-a-time arithmetic against the place by
// place reading it stands for: on seeded random buffers of many lengths, at
// every alignment, and at lengths where 16-bit arithmetic wraps, the places
// handed to the look are the same, in the same order, each once.
#include "gselib/packets/ccsdsscan.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using namespace GseLib;

namespace {

constexpr long MIN_PACKET = 7; // a 6-byte primary header and one data byte

// The places 1 to n - 7 of b whose length field, read as a CCSDS header's,
// ends its packet at an offset in [low, low + width], and, given bits, whose
// version, type, secondary-header flag and sequence flags are those of bits:
// written out from the header layout, in 64 bits.
std::vector<long> expectedPlaces(const uint8_t* b, long n, long low, uint32_t width, const uint8_t* bits)
{
    std::vector<long> places;
    for (long i = 1; i <= n - MIN_PACKET; ++i) {
        const int64_t field = (int64_t(b[i + 4]) << 8) | b[i + 5];
        const int64_t end = i + field + MIN_PACKET;
        const bool inRange = end >= low && end - low <= int64_t(width);
        const bool sameBits = !bits || (((b[i] ^ bits[0]) & 0xF8) == 0 && ((b[i + 2] ^ bits[2]) & 0xC0) == 0);
        if (inRange && sameBits)
            places.push_back(i);
    }
    return places;
}

// One scan: the buffer, and what is asked of it.
struct Scan
{
    std::vector<uint8_t> storage; // `offset` bytes of lead, then the n scanned: nothing after them
    long offset = 0;
    long n = 0;
    long low = 0;
    uint32_t width = 0;
    std::vector<uint8_t> bits; // empty: any fixed bits

    const uint8_t* bytes() const { return storage.data() + offset; }
    const uint8_t* bitsOrNull() const { return bits.empty() ? nullptr : bits.data(); }
};

// Random bytes, with length fields and fixed bits planted so that many places
// end their packets at the range's edges, inside it, or 65,536 bytes past
// them (where 16-bit sums wrap onto the range).
Scan randomScan(std::mt19937& rng, long n, long low, uint32_t width, bool withBits, long offset)
{
    Scan s;
    s.offset = offset;
    s.n = n;
    s.low = low;
    s.width = width;
    s.storage.resize(size_t(offset + n));
    for (uint8_t& byte : s.storage)
        byte = uint8_t(rng());
    if (withBits)
        s.bits = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
    uint8_t* b = s.storage.data() + offset;
    for (long i = 1; i <= n - MIN_PACKET; ++i) {
        if (rng() % 4 != 0)
            continue;
        const int64_t w = width;
        const int64_t targets[] = {-2, -1, 0, 1, w - 1, w, w + 1, w + 2, int64_t(rng() % (width + 1ull)),
                                     0x10000, w + 0x10000, -0x10000, w - 0x10000};
        const int64_t field = low + targets[rng() % std::size(targets)] - i - MIN_PACKET;
        if (field >= 0 && field <= 0xFFFF) {
            b[i + 4] = uint8_t(field >> 8);
            b[i + 5] = uint8_t(field);
        }
        if (withBits && rng() % 2 == 0) {
            b[i] = uint8_t((s.bits[0] & 0xF8) | (b[i] & 0x07));
            b[i + 2] = uint8_t((s.bits[2] & 0xC0) | (b[i + 2] & 0x3F));
        }
    }
    return s;
}

std::string describe(const Scan& s)
{
    return "n " + std::to_string(s.n) + ", low " + std::to_string(s.low) + ", width " + std::to_string(s.width) +
           ", offset " + std::to_string(s.offset) + (s.bits.empty() ? ", any bits" : ", fixed bits");
}

// Where two lists of places part: "" when they do not.
std::string firstDifference(const std::vector<long>& got, const std::vector<long>& want)
{
    size_t k = 0;
    while (k < got.size() && k < want.size() && got[k] == want[k])
        ++k;
    if (k == got.size() && k == want.size())
        return "";
    auto at = [&](const std::vector<long>& v) { return k < v.size() ? std::to_string(v[k]) : "none"; };
    return "place " + std::to_string(k) + " of " + std::to_string(want.size()) + ": scanned " + at(got) +
           ", expected " + at(want) + (k > 0 ? " (after " + std::to_string(want[k - 1]) + ")" : "");
}

// The places forEachEnding hands to a look that never answers yes.
std::vector<long> scannedPlaces(const Scan& s)
{
    std::vector<long> places;
    const uint8_t* b = s.bytes();
    const bool found = CcsdsScan::forEachEnding(b, s.n, s.low, s.width, s.bitsOrNull(), [&](long i) {
        places.push_back(i);
        return false;
    });
    EXPECT_FALSE(found) << describe(s);
    return places;
}

// Every place, each once and in order; and a look that answers yes at a
// place ends the scan there with true.
void expectAgreement(const Scan& s)
{
    const std::vector<long> expected = expectedPlaces(s.bytes(), s.n, s.low, s.width, s.bitsOrNull());
    ASSERT_EQ(firstDifference(scannedPlaces(s), expected), "") << describe(s);
    for (size_t k : {size_t(0), expected.size() / 2, expected.size() - 1}) {
        if (k >= expected.size())
            continue;
        std::vector<long> places;
        const uint8_t* b = s.bytes();
        const bool found = CcsdsScan::forEachEnding(b, s.n, s.low, s.width, s.bitsOrNull(), [&](long i) {
            places.push_back(i);
            return i == expected[k];
        });
        EXPECT_TRUE(found) << describe(s) << ", stopping at " << expected[k];
        EXPECT_EQ(firstDifference(places, std::vector<long>(expected.begin(), expected.begin() + long(k) + 1)), "")
            << describe(s) << ", stopping at " << expected[k];
    }
}

} // namespace

TEST(CcsdsScan, AgreesWithThePlaceByPlaceReadingOnRandomBuffers)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 3000; ++round) {
        const long n = long(rng() % 400);
        const long offset = long(rng() % 16);
        // Ranges of every kind: at the start, inside, past the buffer, empty.
        const long low = long(rng() % 3 == 0 ? rng() % 8 : rng() % (n + 64));
        const uint32_t width = rng() % 4 == 0 ? uint32_t(n) : uint32_t(rng() % (n + 8));
        expectAgreement(randomScan(rng, n, low, width, rng() % 2 == 0, offset));
    }
}

// Lengths and ranges where the sixteen-bit sums of place, length field and
// offset wrap: a candidate holds up to a packet's most bytes (65,542), the
// widths run to the last the fast arithmetic takes (0xFFFE) and past it.
TEST(CcsdsScan, AgreesWhereSixteenBitArithmeticWraps)
{
    constexpr long MAX = CcsdsHeader::MAX_PACKET_BYTES;
    struct Edge
    {
        const char* name;
        long n;
        long low;
        uint32_t width;
    };
    const Edge edges[] = {
        {"the shortest buffer scanned sixteen at a time", 22, 0, 22},
        {"one short of it", 21, 0, 21},
        {"a last block that overlaps the one before", 37, 0, 37},
        {"blocks that end on the last place", 38, 0, 38},
        {"65535 bytes, ends up to the end", 65535, 0, 65534},
        {"65536 bytes, ends up to the end", 65536, 0, 65534},
        {"65537 bytes, ends up to the end", 65537, 0, 65534},
        {"65535 bytes, the widest range scanned fast", 65535, 0, 0xFFFE},
        {"65535 bytes, a range of 0xFFFF", 65535, 0, 0xFFFF},
        {"a packet's most bytes, ends up to the end", MAX, 0, uint32_t(MAX)},
        {"a packet's most bytes less one", MAX - 1, 0, uint32_t(MAX - 1)},
        {"a packet's most bytes and one", MAX + 1, 0, uint32_t(MAX + 1)},
        {"a packet's most bytes, the widest fast range", MAX, 0, 0xFFFE},
        {"ends near the end of a long buffer", MAX, MAX - 300, 200},
        {"ends past 65536 only", MAX, 65536, 6},
        {"a narrow range near 65536", 65537, 65530, 5},
        {"a range beyond every end", 65536, 131072, 100},
        {"a range past the buffer", 65536, 70000, 1000},
        {"an empty range at the start", 65536, 0, 0},
        {"an empty range at 65536", MAX, 65536, 0},
    };
    std::mt19937 rng(65536);
    for (const Edge& e : edges) {
        SCOPED_TRACE(e.name);
        for (long offset : {0L, 1L, 15L})
            for (bool withBits : {false, true})
                expectAgreement(randomScan(rng, e.n, e.low, e.width, withBits, offset));
    }
}

// A look may refill the window, which moves the bytes: the scan reads on
// from where `b` points after the look.
TEST(CcsdsScan, ReadsOnFromBytesTheLookMoved)
{
    std::mt19937 rng(7);
    for (long n : {30L, 100L, 1000L, 65537L}) {
        const Scan s = randomScan(rng, n, 0, uint32_t(n), false, 0);
        const std::vector<long> expected = expectedPlaces(s.bytes(), n, 0, uint32_t(n), nullptr);
        std::vector<uint8_t> copies[2] = {s.storage, s.storage};
        const uint8_t* b = copies[0].data();
        std::vector<long> places;
        int moves = 0;
        CcsdsScan::forEachEnding(b, n, 0, uint32_t(n), nullptr, [&](long i) {
            places.push_back(i);
            // The bytes the scan was reading are gone: it must read the copy.
            std::fill(copies[moves % 2].begin(), copies[moves % 2].end(), uint8_t(0xA5));
            ++moves;
            copies[moves % 2] = s.storage;
            b = copies[moves % 2].data();
            return false;
        });
        EXPECT_EQ(firstDifference(places, expected), "") << "n " << n;
    }
}
