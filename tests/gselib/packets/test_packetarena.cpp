#include "gselib/packets/packetarena.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"
#include "support/tempdir.h"
#include "tests/gselib/packets/archivetestdata.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <set>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define ARENA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ARENA_TEST_ASAN 1
#endif
#endif
#ifdef ARENA_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

using namespace GseLib;

namespace {

// Bytes 0..n-1 of a recognisable pattern, different for every seed.
std::vector<uint8_t> pattern(size_t n, int seed)
{
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 31 + size_t(seed) * 7 + 1);
    return b;
}

// Enough 100-byte CCSDS packets to fill several chunks, each holding its own pattern.
std::vector<TMPacketPtr> manyPackets(size_t count)
{
    std::vector<TMPacketPtr> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const std::vector<uint8_t> b = pattern(100, int(i));
        out.push_back(makePacket<CcsdsPacket>(b.data(), int(b.size()), int(i), nullptr));
    }
    return out;
}

// Resident pages of the chunk that holds p, and the chunk's page count.
std::pair<size_t, size_t> residentPagesOfChunk(const void* p)
{
    const uintptr_t chunk = reinterpret_cast<uintptr_t>(p) & ~uintptr_t(PacketArena::CHUNK_SIZE - 1);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in(PacketArena::CHUNK_SIZE / page);
    if (mincore(reinterpret_cast<void*>(chunk), PacketArena::CHUNK_SIZE, in.data()) != 0)
        return {0, in.size()};
    size_t resident = 0;
    for (unsigned char c : in)
        resident += c & 1;
    return {resident, in.size()};
}

// Whether this kernel faults a range in on request (Linux 5.14 and later).
bool kernelPopulates()
{
#ifdef MADV_POPULATE_WRITE
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    void* m = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        return false;
    const bool ok = madvise(m, page, MADV_POPULATE_WRITE) == 0;
    munmap(m, page);
    return ok;
#else
    return false;
#endif
}

class PacketArenaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The first packet claims the arena for this thread.
        makePacketBytes(1);
        if (!PacketArena::stats().enabled)
            GTEST_SKIP() << "no address range for the arena on this system";
    }
};

} // namespace

TEST_F(PacketArenaTest, PacketObjectAndBytesLieTogetherInTheArena)
{
    const std::vector<uint8_t> b = pattern(64, 1);
    const auto p = makePacket<CcsdsPacket>(b.data(), 64, 3, nullptr);
    ASSERT_TRUE(PacketArena::owns(p.get()));
    ASSERT_TRUE(PacketArena::owns(p->bytes.get()));
    ASSERT_TRUE(PacketArena::owns(p->bytes->data()));
    // Object, vector and bytes in that order, with only control blocks (and
    // under the sanitizer redzones) between them.
    const auto object = reinterpret_cast<uintptr_t>(p.get());
    const auto vec = reinterpret_cast<uintptr_t>(p->bytes.get());
    const auto bytes = reinterpret_cast<uintptr_t>(p->bytes->data());
    EXPECT_LT(object, vec);
    EXPECT_LT(vec, bytes);
    EXPECT_LT(bytes - object, 256u);
    EXPECT_EQ(*p->bytes, b);
    EXPECT_EQ(p->index, 3);
    EXPECT_EQ(p->totalLength(), 64u);

    // What a stored packet costs beyond its bytes, from one packet's object
    // to the next one's: control block, packet, control block and vector
    // (16 + 80 + 16 + 24 bytes), with no gap.
    if (!PacketArena::stats().poisoned) {
        const auto next = makePacket<CcsdsPacket>(b.data(), 64, 4, nullptr);
        const auto stride = reinterpret_cast<uintptr_t>(next.get()) - object;
        if (stride < PacketArena::CHUNK_SIZE) { // not across the end of a chunk
            EXPECT_EQ(stride - 64, 136u);
        }
    }
}

TEST_F(PacketArenaTest, FactoryBytesAreZeroedOrCopied)
{
    struct Case
    {
        const char* name;
        size_t size;
        bool copy;
        bool inArena;
    };
    const Case cases[] = {
        {"empty", 0, false, false},          {"one zero byte", 1, false, true},
        {"copied packet", 1508, true, true}, {"largest CCSDS packet", 65542, true, true},
        {"above the block limit", PacketArena::MAX_BLOCK + 1, true, false},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> src = pattern(c.size, 9);
        const ByteVectorPtr v = c.copy ? makePacketBytes(src.data(), src.size()) : makePacketBytes(c.size);
        ASSERT_EQ(v->size(), c.size) << c.name;
        if (c.copy)
            EXPECT_EQ(*v, src) << c.name;
        else
            EXPECT_EQ(*v, std::vector<uint8_t>(c.size, 0)) << c.name;
        if (c.size) {
            EXPECT_EQ(PacketArena::owns(v->data()), c.inArena) << c.name;
        }
        EXPECT_TRUE(PacketArena::owns(v.get())) << c.name; // the vector itself always
    }
}

TEST_F(PacketArenaTest, ChunksGoBackWhenEmptyAndAreReused)
{
    const PacketArena::Stats before = PacketArena::stats();
    // 100 bytes of data and about 150 of objects: over 40,000 packets fill
    // four chunks of 2 MiB.
    const size_t count = 40000;
    {
        std::vector<TMPacketPtr> packets = manyPackets(count);
        const PacketArena::Stats full = PacketArena::stats();
        EXPECT_GE(full.chunksInUse, before.chunksInUse + 3);
        // Releasing all but the last packet frees every chunk but its one.
        packets.erase(packets.begin(), packets.end() - 1);
        const PacketArena::Stats one = PacketArena::stats();
        EXPECT_LE(one.chunksInUse, before.chunksInUse + 1);
        EXPECT_GE(one.pooledChunks, before.pooledChunks + 2);
        EXPECT_EQ(*packets.back()->bytes, pattern(100, int(count - 1)));
    }
    const PacketArena::Stats empty = PacketArena::stats();
    EXPECT_LE(empty.chunksInUse, before.chunksInUse);
    // The same again takes the pooled chunks: no new memory.
    {
        const std::vector<TMPacketPtr> again = manyPackets(count);
        EXPECT_EQ(PacketArena::stats().mappedChunks, empty.mappedChunks);
        EXPECT_EQ(*again[count / 2]->bytes, pattern(100, int(count / 2)));
    }
    // Giving pooled memory back keeps the chunks usable.
    EXPECT_GE(PacketArena::releasePooledChunks(), 3u);
    EXPECT_EQ(PacketArena::stats().pooledChunks, 0u);
    const std::vector<TMPacketPtr> third = manyPackets(count);
    EXPECT_EQ(PacketArena::stats().mappedChunks, empty.mappedChunks);
    EXPECT_EQ(*third[7]->bytes, pattern(100, 7));
}

TEST_F(PacketArenaTest, ChunksAreFaultedInWholeWhenTaken)
{
    if (!kernelPopulates())
        GTEST_SKIP() << "the kernel cannot fault a range in on request";
    // Packets until one lands in a chunk never used before: that chunk holds
    // all its pages at once, though one packet has touched only its first.
    const size_t mapped = PacketArena::stats().mappedChunks;
    std::vector<TMPacketPtr> packets;
    while (PacketArena::stats().mappedChunks == mapped && packets.size() < 1000000) {
        const std::vector<uint8_t> b = pattern(100, int(packets.size()));
        packets.push_back(makePacket<CcsdsPacket>(b.data(), 100, int(packets.size()), nullptr));
    }
    ASSERT_GT(PacketArena::stats().mappedChunks, mapped);
    const auto [resident, pages] = residentPagesOfChunk(packets.back().get());
    EXPECT_EQ(resident, pages);

    // Chunks whose memory went back to the system are faulted in again when reused.
    packets.clear();
    ASSERT_GE(PacketArena::releasePooledChunks(), 1u);
    const size_t released = PacketArena::stats().releasedChunks;
    const std::vector<TMPacketPtr> again = manyPackets(30000);
    EXPECT_LT(PacketArena::stats().releasedChunks, released); // some were taken again
    std::set<uintptr_t> chunks;
    for (const TMPacketPtr& p : again)
        chunks.insert(reinterpret_cast<uintptr_t>(p.get()) & ~uintptr_t(PacketArena::CHUNK_SIZE - 1));
    EXPECT_GE(chunks.size(), 3u);
    for (uintptr_t c : chunks) {
        const auto [inChunk, ofChunk] = residentPagesOfChunk(reinterpret_cast<const void*>(c));
        EXPECT_EQ(inChunk, ofChunk) << "chunk at " << std::hex << c;
    }
}

TEST_F(PacketArenaTest, VectorsGrowOutOfTheArena)
{
    const std::vector<uint8_t> b = pattern(20, 2);
    CcsdsPacket packet(b.data(), 20, 0, nullptr);
    ASSERT_TRUE(PacketArena::owns(packet.bytes->data()));
    packet.resize(300);
    EXPECT_FALSE(PacketArena::owns(packet.bytes->data()));
    // The old bytes moved along, apart from the length field (bytes 4-5).
    EXPECT_EQ(std::vector<uint8_t>(packet.bytes->begin(), packet.bytes->begin() + 4),
              std::vector<uint8_t>(b.begin(), b.begin() + 4));
    EXPECT_EQ(std::vector<uint8_t>(packet.bytes->begin() + 6, packet.bytes->begin() + 20),
              std::vector<uint8_t>(b.begin() + 6, b.end()));
    EXPECT_EQ(std::vector<uint8_t>(packet.bytes->begin() + 20, packet.bytes->end()), std::vector<uint8_t>(280, 0));
    EXPECT_EQ(packet.dataLength(), 294u); // the header follows the new size
    // Shrinking stays where the bytes are; growing with push_back leaves too.
    ByteVectorPtr v = makePacketBytes(b.data(), b.size());
    const uint8_t* arenaBytes = v->data();
    v->resize(10);
    EXPECT_EQ(v->data(), arenaBytes);
    v->push_back(0xAB);
    v->insert(v->end(), 100, 0xCD);
    EXPECT_FALSE(PacketArena::owns(v->data()));
    EXPECT_EQ((*v)[10], 0xAB);
    EXPECT_EQ(v->back(), 0xCD);
    // Vectors made outside the factory, and copies of packet bytes, use the heap.
    const ByteVector copy = *packet.bytes;
    EXPECT_FALSE(PacketArena::owns(copy.data()));
    auto plain = std::make_shared<ByteVector>(b);
    EXPECT_FALSE(PacketArena::owns(plain->data()));
    EXPECT_EQ(*plain, b);
}

TEST_F(PacketArenaTest, PacketsOutliveTheirCache)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    TestSupport::TempDir dir;
    QByteArray archive;
    for (int i = 0; i < 3000; ++i)
        archive += ArchiveTestData::ccsdsPacket(0x100 + i % 5, i, 24 + i % 200, uint32_t(i));
    const std::string path = dir.write("a.dat", archive).toStdString();

    const PacketArena::Stats before = PacketArena::stats();
    TMPacketPtr first, last;
    ByteVectorPtr middleBytes;
    {
        TelemetryCache cache(new UnixTimeResolver);
        cache.setPacketFormat(TelemetryCache::CCSDS);
        cache.changeFile(path, true);
        ASSERT_EQ(cache.count(), 3000u);
        first = cache.get(0);
        last = cache.get(2999);
        middleBytes = cache.get(1500)->bytes;
        EXPECT_TRUE(PacketArena::owns(first.get()));
    }
    // The cache is gone; the packets and bytes held are intact.
    EXPECT_EQ(first->type(), 0x100);
    EXPECT_EQ(first->rawTimestamp(), 0u);
    EXPECT_EQ(last->type(), 0x100 + 2999 % 5);
    EXPECT_EQ(last->sequence(), 2999 % 16384);
    EXPECT_EQ(last->totalLength(), size_t(24 + 2999 % 200));
    const QByteArray expected = ArchiveTestData::ccsdsPacket(0x100 + 1500 % 5, 1500, 24 + 1500 % 200, 1500u);
    EXPECT_EQ(*middleBytes, std::vector<uint8_t>(expected.begin(), expected.end()));
    first.reset();
    last.reset();
    middleBytes.reset();
    EXPECT_LE(PacketArena::stats().chunksInUse, before.chunksInUse);
}

TEST_F(PacketArenaTest, ASecondArchiveReusesTheMemoryOfTheFirst)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    TestSupport::TempDir dir;
    QByteArray archive;
    for (int i = 0; i < 40000; ++i)
        archive += ArchiveTestData::tomPacketOfSize(uint8_t(1 + i % 3), uint8_t(i), 40 + i % 60, uint32_t(i));
    const std::string path = dir.write("a.dat", archive).toStdString();
    TelemetryCache cache(new UnixTimeResolver);
    cache.changeFile(path, true);
    ASSERT_EQ(cache.count(), 40000u);
    const PacketArena::Stats first = PacketArena::stats();
    const TMPacketPtr* storage = cache.allPackets().data();
    // Nothing given back to the system in between: the same chunks and the
    // same packet vector serve the second parse.
    cache.changeFile(path, true);
    ASSERT_EQ(cache.count(), 40000u);
    EXPECT_EQ(PacketArena::stats().mappedChunks, first.mappedChunks);
    EXPECT_EQ(cache.allPackets().data(), storage);
    EXPECT_EQ(cache.get(39999)->sequence(), 39999 % 256);
}

TEST_F(PacketArenaTest, OtherThreadsUseTheHeapAndMayFreeArenaBlocks)
{
    const PacketArena::Stats before = PacketArena::stats();
    std::vector<TMPacketPtr> packets = manyPackets(30000);
    ByteVectorPtr fromThread;
    std::thread worker([&] {
        fromThread = makePacketBytes(32);
        packets.clear(); // the arena's blocks, freed here
    });
    worker.join();
    EXPECT_FALSE(PacketArena::owns(fromThread->data()));
    EXPECT_FALSE(PacketArena::owns(fromThread.get()));
    // The owner's next look counts the chunks those frees emptied.
    const PacketArena::Stats after = PacketArena::stats();
    EXPECT_LE(after.chunksInUse, before.chunksInUse + 1);
    const std::vector<TMPacketPtr> again = manyPackets(30000);
    EXPECT_EQ(*again[29999]->bytes, pattern(100, 29999));
}

#ifdef ARENA_TEST_ASAN
TEST_F(PacketArenaTest, ReadsPastAPacketAreSeenByTheSanitizer)
{
    ASSERT_TRUE(PacketArena::stats().poisoned);
    const std::vector<uint8_t> b = pattern(61, 3);
    const auto p = makePacket<TomPacket>(b.data(), 61, 0, nullptr);
    auto q = makePacket<TomPacket>(b.data(), 61, 1, nullptr);
    const uint8_t* bytes = p->bytes->data();
    EXPECT_EQ(__asan_address_is_poisoned(bytes + 60), 0);
    for (size_t past = 61; past < 61 + 16; ++past)
        EXPECT_NE(__asan_address_is_poisoned(bytes + past), 0) << past;
    // A freed packet's bytes are poisoned too.
    const uint8_t* freed = q->bytes->data();
    q.reset();
    EXPECT_NE(__asan_address_is_poisoned(freed), 0);
    EXPECT_DEATH(
        {
            volatile const uint8_t* v = bytes;
            std::fprintf(stderr, "%d", v[64]);
        },
        "AddressSanitizer");
}
#endif
