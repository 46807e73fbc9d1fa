#include "gselib/packets/packetarena.h"

#include <atomic>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>

// Present only when the process runs under AddressSanitizer (or LeakSanitizer).
extern "C" {
void __asan_poison_memory_region(void const volatile* addr, size_t size) __attribute__((weak));
void __asan_unpoison_memory_region(void const volatile* addr, size_t size) __attribute__((weak));
void __lsan_register_root_region(const void* p, size_t size) __attribute__((weak));
}

namespace GseLib {

namespace {

// Address space reserved once; chunks are made usable one at a time, so only
// what packets fill is ever committed.
constexpr size_t RESERVED = size_t(64) << 30;
constexpr size_t HEADER = 64;  // the chunk's counts, at its start
constexpr size_t GRAIN = 8;    // every block starts 8-byte aligned
constexpr size_t REDZONE = 32; // poisoned bytes after every block under AddressSanitizer

// The counts at the start of each chunk. Only the arena's thread touches
// `allocated` and `freed`; other threads count their frees in `remoteFreed`.
struct ChunkHeader
{
    uint32_t allocated;
    uint32_t freed;
    std::atomic<uint32_t> remoteFreed;
    ChunkHeader* next; // in the pool
};
static_assert(sizeof(ChunkHeader) <= HEADER);

enum ChunkState : uint8_t { Untouched = 0, Current, Retired, Pooled, Released };

// The calling thread's identity, in one instruction where the compiler can.
inline const void* thisThread()
{
#if defined(__x86_64__) || defined(__aarch64__)
    return __builtin_thread_pointer();
#else
    return reinterpret_cast<const void*>(pthread_self());
#endif
}

struct Arena
{
    std::atomic<int> claim{0}; // 0 unclaimed, 1 being set up, 2 ready
    const void* owner = nullptr;
    int depth = 0; // open scopes on the owner's thread

    // The reserved range; written once before `claim` becomes 2.
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> span{0};
    size_t chunkCount = 0;
    uint8_t* states = nullptr; // one ChunkState per chunk of the range

    ChunkHeader* current = nullptr;
    char* bump = nullptr;
    char* limit = nullptr;
    ChunkHeader* pool = nullptr;
    size_t pooled = 0;
    size_t released = 0;
    size_t carved = 0; // chunks taken from the untouched part of the range
    size_t inUse = 0;
    std::atomic<bool> remoteFrees{false};
    bool noFresh = false;
    bool poison = false;
};

constinit Arena g;

inline size_t roundUp(size_t n, size_t to)
{
    return (n + to - 1) & ~(to - 1);
}

inline bool onOwnerThread()
{
    return g.claim.load(std::memory_order_acquire) == 2 && g.owner == thisThread();
}

inline ChunkHeader* chunkAt(size_t i)
{
    return reinterpret_cast<ChunkHeader*>(g.base.load(std::memory_order_relaxed) + i * PacketArena::CHUNK_SIZE);
}

inline size_t chunkIndex(const void* p)
{
    return (uintptr_t(p) - g.base.load(std::memory_order_relaxed)) / PacketArena::CHUNK_SIZE;
}

inline bool isEmpty(const ChunkHeader* c)
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

void setUp()
{
    const size_t total = RESERVED + PacketArena::CHUNK_SIZE;
    void* m = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED)
        return; // no arena: every packet from the heap
    const size_t chunks = RESERVED / PacketArena::CHUNK_SIZE;
    void* s = mmap(nullptr, chunks, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (s == MAP_FAILED) {
        munmap(m, total);
        return;
    }
    g.states = static_cast<uint8_t*>(s);
    g.chunkCount = chunks;
    g.poison = __asan_poison_memory_region != nullptr && __asan_unpoison_memory_region != nullptr;
    const uintptr_t base = roundUp(uintptr_t(m), PacketArena::CHUNK_SIZE);
    // Heap blocks that only arena objects point to (bytes of a vector that
    // grew out of the arena) are not leaks.
    if (__lsan_register_root_region)
        __lsan_register_root_region(reinterpret_cast<void*>(base), RESERVED);
    g.base.store(base, std::memory_order_relaxed);
    g.span.store(RESERVED, std::memory_order_relaxed);
}

void resetCounts(ChunkHeader* c)
{
    c->allocated = 0;
    c->freed = 0;
    c->remoteFreed.store(0, std::memory_order_relaxed);
}

void makeCurrent(ChunkHeader* c)
{
    g.current = c;
    g.states[chunkIndex(c)] = Current;
    g.bump = reinterpret_cast<char*>(c) + HEADER;
    g.limit = reinterpret_cast<char*>(c) + PacketArena::CHUNK_SIZE;
}

// A chunk whose last block went: the current one starts over, any other joins the pool.
void emptied(ChunkHeader* c)
{
    if (c->allocated)
        --g.inUse;
    resetCounts(c);
    if (c == g.current) {
        g.bump = reinterpret_cast<char*>(c) + HEADER;
        return;
    }
    g.states[chunkIndex(c)] = Pooled;
    c->next = g.pool;
    g.pool = c;
    ++g.pooled;
}

// Retired chunks that frees on other threads emptied.
void collectRemoteFrees()
{
    for (size_t i = 0; i < g.chunkCount; ++i) {
        if (g.states[i] == Untouched && i >= g.carved)
            break;
        if (g.states[i] == Retired && isEmpty(chunkAt(i)))
            emptied(chunkAt(i));
    }
}

ChunkHeader* takeChunk()
{
    if (g.pool) {
        ChunkHeader* c = g.pool;
        g.pool = c->next;
        --g.pooled;
        return c;
    }
    size_t i = g.chunkCount;
    if (g.released) {
        for (i = 0; i < g.chunkCount && g.states[i] != Released; ++i) {
        }
        if (i < g.chunkCount)
            --g.released;
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
        madvise(p, PacketArena::CHUNK_SIZE, MADV_HUGEPAGE);
        g.carved = i + 1;
    }
    ChunkHeader* c = reinterpret_cast<ChunkHeader*>(p);
    c->next = nullptr;
    resetCounts(c);
    poison(p + HEADER, PacketArena::CHUNK_SIZE - HEADER);
    return c;
}

// Makes room for a block of `need` bytes; false when the arena cannot.
bool nextChunk(size_t need)
{
    if (ChunkHeader* c = g.current) {
        if (isEmpty(c)) {
            // Freed meanwhile (on other threads): start it over.
            emptied(c);
            if (need <= size_t(g.limit - g.bump))
                return true;
        }
        g.states[chunkIndex(c)] = Retired;
        g.current = nullptr;
        g.bump = g.limit = nullptr;
    }
    if (g.remoteFrees.exchange(false, std::memory_order_acq_rel))
        collectRemoteFrees();
    ChunkHeader* c = takeChunk();
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

PacketArena::Scope::Scope() noexcept : opened_(false)
{
    int claim = g.claim.load(std::memory_order_acquire);
    if (claim == 0) {
        int expected = 0;
        if (g.claim.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            g.owner = thisThread();
            setUp();
            g.claim.store(2, std::memory_order_release);
        }
        claim = g.claim.load(std::memory_order_acquire);
    }
    if (claim == 2 && g.states && g.owner == thisThread()) {
        ++g.depth;
        opened_ = true;
    }
}

PacketArena::Scope::~Scope()
{
    if (opened_)
        --g.depth;
}

void* PacketArena::allocate(size_t bytes, size_t alignment)
{
    if (bytes <= MAX_BLOCK && alignment <= GRAIN && onOwnerThread() && g.depth > 0) {
        const size_t need = roundUp(bytes ? bytes : 1, GRAIN) + (g.poison ? REDZONE : 0);
        if (need <= size_t(g.limit - g.bump) || nextChunk(need)) {
            char* p = g.bump;
            g.bump += need;
            if (g.current->allocated++ == 0)
                ++g.inUse;
            unpoison(p, bytes);
            return p;
        }
    }
    return heapAllocate(bytes, alignment);
}

void PacketArena::deallocate(void* p, size_t bytes, size_t alignment) noexcept
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
    ChunkHeader* c = chunkAt(chunkIndex(p));
    if (!onOwnerThread()) {
        c->remoteFreed.fetch_add(1, std::memory_order_release);
        g.remoteFrees.store(true, std::memory_order_release);
        return;
    }
    ++c->freed;
    if (isEmpty(c))
        emptied(c);
}

bool PacketArena::owns(const void* p) noexcept
{
    return uintptr_t(p) - g.base.load(std::memory_order_relaxed) < g.span.load(std::memory_order_relaxed);
}

PacketArena::Stats PacketArena::stats() noexcept
{
    Stats s;
    s.enabled = g.states != nullptr;
    s.poisoned = g.poison;
    if (onOwnerThread()) {
        if (g.remoteFrees.exchange(false, std::memory_order_acq_rel))
            collectRemoteFrees();
        s.chunksInUse = g.inUse;
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
    while (ChunkHeader* c = g.pool) {
        g.pool = c->next;
        g.states[chunkIndex(c)] = Released;
        madvise(c, CHUNK_SIZE, MADV_DONTNEED);
        ++n;
    }
    g.pooled = 0;
    g.released += n;
    return n;
}

void PacketArena::adviseHugePages(void* p, size_t bytes) noexcept
{
    const uintptr_t begin = roundUp(uintptr_t(p), CHUNK_SIZE);
    const uintptr_t end = (uintptr_t(p) + bytes) & ~uintptr_t(CHUNK_SIZE - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
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
