#include "tools/util/bytes.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

TEST(Bytes, BigAndLittleEndianAssembly)
{
    const unsigned char d[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 2, 0xFFFF, 0), 0x1234ul);
    EXPECT_EQ(Bytes::decodeSimpleLE(d, 0, 2, 0xFFFF, 0), 0x3412ul);
    EXPECT_EQ(Bytes::decodeSimple(d, 1, 3, ~0ul, 0), 0x345678ul);
    EXPECT_EQ(Bytes::decodeSimpleLE(d, 1, 3, ~0ul, 0), 0x785634ul);
    EXPECT_EQ(Bytes::decodeSimple(d, 3, 0, ~0ul, 0), 0ul);
    EXPECT_EQ(Bytes::decodeSimpleLE(d, 3, 0, ~0ul, -5), 0ul);
}

TEST(Bytes, MaskIsAppliedBeforeTheShift)
{
    const unsigned char ab[] = {0xAB};
    EXPECT_EQ(Bytes::decodeSimple(ab, 0, 1, 0xF0, 4), 0xAul);
    EXPECT_EQ(Bytes::decodeSimple(ab, 0, 1, 0xF0, -4), 0xA00ul);
    EXPECT_EQ(Bytes::decodeSimple(ab, 0, 1, 31, 0), 0x0Bul);
    const unsigned char w[] = {0xC1, 0x00};
    EXPECT_EQ(Bytes::decodeSimple(w, 0, 2, 49152, 14), 3ul);
    EXPECT_EQ(Bytes::decodeSimpleLE(w, 0, 2, 0xFF, 0), 0xC1ul);
}

TEST(Bytes, OnlyTheLastEightBytesSurvive)
{
    const std::vector<unsigned char> d = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Bytes::decodeSimple(d.data(), 0, 9, ~0ul, 0), 0x0102030405060708ul);
    // Little-endian: data[0] is read last and is the least significant byte.
    EXPECT_EQ(Bytes::decodeSimpleLE(d.data(), 0, 9, ~0ul, 0), 0x07060504030201EEul);
    EXPECT_EQ(Bytes::decodeSimple(d.data(), 1, 8, ~0ul, 0), 0x0102030405060708ul);
}

TEST(Bytes, ShiftCountsAreTakenModulo64)
{
    const unsigned char d[] = {0x80, 0, 0, 0, 0, 0, 0, 0x03};
    const unsigned long v = 0x8000000000000003ul;
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, 63), 1ul);
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, 64), v);
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, 65), v >> 1);
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, 130), v >> 2);
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, -63), v << 63);
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, -64), v);
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, -65), v << 1);
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, INT_MIN), v);
    EXPECT_EQ(Bytes::decodeSimple(d, 0, 8, ~0ul, INT_MAX), v >> 63);
    EXPECT_EQ(Bytes::decodeSimpleLE(d, 0, 8, ~0ul, 64), 0x0300000000000080ul);
    EXPECT_EQ(Bytes::decodeSimpleLE(d, 0, 8, ~0ul, -72), 0x0300000000000080ul << 8);
}
