// The packet arena's chunks: one address range reserved at the first claim,
// 2 MiB chunks faulted in whole and carved by a bump pointer, counts of the
// blocks handed out and freed (frees from other threads collected later),
// emptied chunks pooled for the next archive, and AddressSanitizer's
// poisoning of freed blocks where it runs.
#include "gselib/packets/packetarena.h"

#include <cstring>
#include <sys/mman.h>

// Present only when the process runs under AddressSanitizer (or LeakSanitizer).
extern "C" {
void __asan_poison_memory_region(void const volatile* addr, size_t size) __attribute__((weak));
void __asan_unpoison_memory_region(void const volatile* addr, size_t size) __attribute__((weak));
void __lsan_register_root_region(const void* p, size_t size) __attribute__((weak));
}

namespace GseLib {

namespace detail {
constinit ArenaHot arenaHot;
} // namespace detail

namespace {

using detail::ArenaChunk;
using detail::arenaHot;

// Address space reserved once; chunks are made usable one at a time, so only
// what packets fill is ever committed.
constexpr size_t RESERVED = size_t(64) << 30;
constexpr size_t HEADER = 64;  // the chunk's counts, at its start
constexpr size_t REDZONE = 32; // poisoned bytes after every block under AddressSanitizer
static_assert(sizeof(ArenaChunk) <= HEADER);

enum ChunkState : uint8_t { Untouched = 0, Current, Retired, Pooled, Released };

// All that only the slow paths touch.
struct Arena
{
    std::atomic<int> claim{0}; // 0 unclaimed, 1 being set up, 2 set up (or given up)
    size_t chunkCount = 0;
    uint8_t* states = nullptr; // one ChunkState per chunk of the range
    ArenaChunk* pool = nullptr;
    size_t pooled = 0;
    size_t released = 0;
    size_t retired = 0; // chunks full of blocks, not all freed
    size_t carved = 0;  // chunks taken from the untouched part of the range
    std::atomic<bool> remoteFrees{false};
    bool noFresh = false;
    bool noPopulate = false;
    bool poison = false;
};

constinit Arena g;

inline size_t roundUp(size_t n, size_t to)
{
    return (n + to - 1) & ~(to - 1);
}

inline bool onOwnerThread()
{
    return arenaHot.owner.load(std::memory_order_acquire) == detail::thisThread();
}

inline uintptr_t base()
{
    return arenaHot.base.load(std::memory_order_relaxed);
}

inline ArenaChunk* chunkAt(size_t i)
{
    return reinterpret_cast<ArenaChunk*>(base() + i * PacketArena::CHUNK_SIZE);
}

inline size_t chunkIndex(const void* p)
{
    return (uintptr_t(p) - base()) / PacketArena::CHUNK_SIZE;
}

inline bool isEmpty(const ArenaChunk* c)
{
    return c->freed + c->remoteFreed.load(std::memory_order_acquire) == c->allocated;
}

void poison(const void* p, size_t n)
{
    if (g.poison && n)
        __asan_poison_memory_region(p, n);
}

void unpoison(const void* p, size_t n)
{
    if (g.poison && n)
        __asan_unpoison_memory_region(p, n);
}

// Faults a chunk's pages in with one call instead of a trap per 4 KiB page,
// which made a fresh process's parse up to 1.6 times faster (bench_archive_open).
// Left to the system's page size: huge pages were advised once, but on the
// virtual machines we run on, a fresh huge page (the host takes freed ones
// back) cost 4-6 times as much per byte as the 4 KiB pages that the guest
// keeps recycling, and made a fresh parse 3-4 times slower.
void populate(char* p)
{
#ifdef MADV_POPULATE_WRITE
    if (!g.noPopulate && madvise(p, PacketArena::CHUNK_SIZE, MADV_POPULATE_WRITE) != 0)
        g.noPopulate = true; // an older kernel: pages fault in as they are touched
#else
    (void)p;
#endif
}

// Reserves the address range; false when the system refuses (no arena then).
bool setUp()
{
    const size_t total = RESERVED + PacketArena::CHUNK_SIZE;
    void* m = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED)
        return false;
    const size_t chunks = RESERVED / PacketArena::CHUNK_SIZE;
    void* s = mmap(nullptr, chunks, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (s == MAP_FAILED) {
        munmap(m, total);
        return false;
    }
    g.states = static_cast<uint8_t*>(s);
    g.chunkCount = chunks;
    g.poison = __asan_poison_memory_region != nullptr && __asan_unpoison_memory_region != nullptr;
    const uintptr_t aligned = roundUp(uintptr_t(m), PacketArena::CHUNK_SIZE);
    // Heap blocks that only arena objects point to (bytes of a vector that
    // grew out of the arena) are not leaks.
    if (__lsan_register_root_region)
        __lsan_register_root_region(reinterpret_cast<void*>(aligned), RESERVED);
    arenaHot.base.store(aligned, std::memory_order_relaxed);
    arenaHot.span.store(RESERVED, std::memory_order_relaxed);
    arenaHot.fast = !g.poison;
    return true;
}

void resetCounts(ArenaChunk* c)
{
    c->allocated = 0;
    c->freed = 0;
    c->remoteFreed.store(0, std::memory_order_relaxed);
}

void makeCurrent(ArenaChunk* c)
{
    arenaHot.current = c;
    g.states[chunkIndex(c)] = Current;
    arenaHot.bump = reinterpret_cast<char*>(c) + HEADER;
    arenaHot.limit = reinterpret_cast<char*>(c) + PacketArena::CHUNK_SIZE;
}

// A chunk whose last block went: the current one starts over, any other joins the pool.
void chunkEmptied(ArenaChunk* c)
{
    resetCounts(c);
    if (c == arenaHot.current) {
        arenaHot.bump = reinterpret_cast<char*>(c) + HEADER;
        return;
    }
    --g.retired;
    g.states[chunkIndex(c)] = Pooled;
    c->next = g.pool;
    g.pool = c;
    ++g.pooled;
}

// Retired chunks that frees on other threads emptied.
void collectRemoteFrees()
{
    if (!g.remoteFrees.exchange(false, std::memory_order_acq_rel))
        return;
    for (size_t i = 0; i < g.carved; ++i)
        if (g.states[i] == Retired && isEmpty(chunkAt(i)))
            chunkEmptied(chunkAt(i));
}

ArenaChunk* takeChunk()
{
    if (g.pool) {
        ArenaChunk* c = g.pool;
        g.pool = c->next;
        --g.pooled;
        return c;
    }
    size_t i = g.chunkCount;
    if (g.released) {
        for (i = 0; i < g.carved && g.states[i] != Released; ++i) {
        }
        if (i < g.carved)
            --g.released;
        else
            i = g.chunkCount;
    }
    const bool fresh = i >= g.chunkCount;
    if (fresh) {
        // Chunks are carved in order, so the next untouched one is `carved`.
        if (g.noFresh || g.carved >= g.chunkCount)
            return nullptr;
        i = g.carved;
    }
    char* p = reinterpret_cast<char*>(chunkAt(i));
    if (fresh) {
        if (mprotect(p, PacketArena::CHUNK_SIZE, PROT_READ | PROT_WRITE) != 0) {
            g.noFresh = true; // the system grants no more: do not ask on every block
            return nullptr;
        }
        g.carved = i + 1;
    }
    // Fresh and released chunks hold no memory yet: the chunk is filled
    // within moments, so all of its pages are faulted in at once.
    populate(p);
    ArenaChunk* c = reinterpret_cast<ArenaChunk*>(p);
    c->next = nullptr;
    resetCounts(c);
    poison(p + HEADER, PacketArena::CHUNK_SIZE - HEADER);
    return c;
}

// Makes room for a block of `need` bytes; false when the arena cannot.
bool nextChunk(size_t need)
{
    if (ArenaChunk* c = arenaHot.current) {
        if (isEmpty(c)) {
            // Freed meanwhile (on other threads): start it over.
            chunkEmptied(c);
            if (need <= size_t(arenaHot.limit - arenaHot.bump))
                return true;
        }
        g.states[chunkIndex(c)] = Retired;
        ++g.retired;
        arenaHot.current = nullptr;
        arenaHot.bump = arenaHot.limit = nullptr;
    }
    collectRemoteFrees();
    ArenaChunk* c = takeChunk();
    if (!c)
        return false;
    makeCurrent(c);
    return true;
}

void* heapAllocate(size_t bytes, size_t alignment)
{
    if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__)
        return ::operator new(bytes, std::align_val_t(alignment));
    return ::operator new(bytes);
}

} // namespace

bool PacketArena::Scope::claim() noexcept
{
    if (g.claim.load(std::memory_order_acquire) != 0)
        return false; // another thread's arena, or none
    int expected = 0;
    if (g.claim.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        // Without an address range nobody owns the arena: every block from the heap.
        if (setUp())
            arenaHot.owner.store(detail::thisThread(), std::memory_order_release);
        g.claim.store(2, std::memory_order_release);
        return onOwnerThread();
    }
    return false;
}

void* PacketArena::allocateSlow(size_t bytes, size_t alignment)
{
    if (onOwnerThread() && arenaHot.depth > 0 && bytes <= MAX_BLOCK && alignment <= GRAIN) {
        const size_t need = roundUp(bytes ? bytes : 1, GRAIN) + (g.poison ? REDZONE : 0);
        if (need <= size_t(arenaHot.limit - arenaHot.bump) || nextChunk(need)) {
            char* p = arenaHot.bump;
            arenaHot.bump += need;
            ++arenaHot.current->allocated;
            unpoison(p, bytes);
            return p;
        }
    }
    return heapAllocate(bytes, alignment);
}

void PacketArena::deallocateSlow(void* p, size_t bytes, size_t alignment) noexcept
{
    if (!owns(p)) {
        // Unsized: not every compiler declares the sized forms by default.
        if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__)
            ::operator delete(p, std::align_val_t(alignment));
        else
            ::operator delete(p);
        return;
    }
    poison(p, bytes);
    ArenaChunk* c = chunkAt(chunkIndex(p));
    if (!onOwnerThread()) {
        c->remoteFreed.fetch_add(1, std::memory_order_release);
        g.remoteFrees.store(true, std::memory_order_release);
        return;
    }
    ++c->freed;
    if (isEmpty(c))
        chunkEmptied(c);
}

void PacketArena::emptied(detail::ArenaChunk* c) noexcept
{
    chunkEmptied(c);
}

PacketArena::Stats PacketArena::stats() noexcept
{
    Stats s;
    s.enabled = g.states != nullptr;
    s.poisoned = g.poison;
    if (onOwnerThread()) {
        collectRemoteFrees();
        const ArenaChunk* c = arenaHot.current;
        s.chunksInUse = g.retired + (c && !isEmpty(c) ? 1 : 0);
        s.pooledChunks = g.pooled;
        s.releasedChunks = g.released;
        s.mappedChunks = g.carved;
    }
    return s;
}

size_t PacketArena::releasePooledChunks() noexcept
{
    if (!onOwnerThread())
        return 0;
    size_t n = 0;
    while (ArenaChunk* c = g.pool) {
        g.pool = c->next;
        g.states[chunkIndex(c)] = Released;
        madvise(c, CHUNK_SIZE, MADV_DONTNEED);
        ++n;
    }
    g.pooled = 0;
    g.released += n;
    return n;
}

ByteVectorPtr makePacketBytes(size_t n)
{
    PacketArena::Scope scope;
    return std::allocate_shared<ByteVector>(PacketAllocator<ByteVector>(), n);
}

ByteVectorPtr makePacketBytes(const uint8_t* data, size_t n)
{
    // Sized (a memset), then copied: with an allocator of its own the vector
    // would copy a range byte by byte.
    ByteVectorPtr bytes = makePacketBytes(n);
    if (n)
        std::memcpy(bytes->data(), data, n);
    return bytes;
}

} // namespace GseLib
