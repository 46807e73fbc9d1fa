#pragma once
// Where packets live. A parse makes millions of small packets, and on the
// virtual machines we run on every fresh 4 KiB page costs a fault, so packet
// bytes and packet objects are drawn from one process-wide arena of 2 MiB
// chunks (each faulted in with one call when taken) by bumping a pointer.
// A chunk goes back to the arena's pool when its last block is freed and is
// reused, still faulted, for the next archive. Everything that makes packet
// bytes calls makePacketBytes(); the cache makes its packets with makePacket().
//
// ByteVector stays a vector of bytes to every reader; only its allocator is
// ours. The arena serves the thread that first made a packet through it;
// other threads get the ordinary heap and may free arena blocks. Under
// AddressSanitizer every block keeps a poisoned redzone and freed blocks are
// poisoned, so a read past a packet's bytes is still reported.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <pthread.h>
#include <type_traits>
#include <utility>
#include <vector>

namespace GseLib {

namespace detail {

// The counts at the start of each arena chunk. Only the arena's thread
// touches `allocated` and `freed`; other threads count their frees in `remoteFreed`.
struct ArenaChunk
{
    uint32_t allocated;
    uint32_t freed;
    std::atomic<uint32_t> remoteFreed;
    ArenaChunk* next; // in the pool
};

// What the inline paths of every block need; the rest lives with the arena.
struct ArenaHot
{
    // The thread that the arena serves, set by that thread once the arena is ready.
    std::atomic<const void*> owner{nullptr};
    int depth = 0;     // open scopes (on the owner's thread)
    bool fast = false; // blocks without redzones: the inline paths may serve them
    char* bump = nullptr;
    char* limit = nullptr;
    ArenaChunk* current = nullptr;
    // The reserved address range, written once.
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> span{0};
};

extern ArenaHot arenaHot;

// The calling thread's identity, in one instruction where the compiler can.
inline const void* thisThread() noexcept
{
#if defined(__x86_64__) || defined(__aarch64__)
    return __builtin_thread_pointer();
#else
    return reinterpret_cast<const void*>(pthread_self());
#endif
}

} // namespace detail

class PacketArena
{
public:
    static constexpr size_t CHUNK_SIZE = size_t(2) << 20;
    // Blocks above this size (and vectors that grow) come from the heap.
    static constexpr size_t MAX_BLOCK = size_t(128) << 10;

    // Within a scope, on the arena's thread, allocations through
    // PacketAllocator come from the arena. Nested scopes are fine.
    class Scope
    {
    public:
        Scope() noexcept
        {
            detail::ArenaHot& h = detail::arenaHot;
            opened_ = h.owner.load(std::memory_order_relaxed) == detail::thisThread() || claim();
            if (opened_)
                ++h.depth;
        }
        ~Scope()
        {
            if (opened_)
                --detail::arenaHot.depth;
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        // The first scope of the process: sets the arena up for its thread.
        static bool claim() noexcept;
        bool opened_;
    };

    // An arena block within a scope, else (or when the arena cannot serve) the heap.
    static void* allocate(size_t bytes, size_t alignment)
    {
        detail::ArenaHot& h = detail::arenaHot;
        // The owner first: only its own thread reads the other fields here.
        if (h.owner.load(std::memory_order_relaxed) == detail::thisThread() && h.fast && h.depth > 0 &&
            bytes <= MAX_BLOCK && alignment <= GRAIN) {
            const size_t need = (bytes + GRAIN - 1) & ~(GRAIN - 1);
            if (need && need <= size_t(h.limit - h.bump)) {
                char* p = h.bump;
                h.bump += need;
                ++h.current->allocated;
                return p;
            }
        }
        return allocateSlow(bytes, alignment);
    }

    static void deallocate(void* p, size_t bytes, size_t alignment) noexcept
    {
        detail::ArenaHot& h = detail::arenaHot;
        const uintptr_t base = h.base.load(std::memory_order_relaxed);
        const uintptr_t offset = reinterpret_cast<uintptr_t>(p) - base;
        if (offset < h.span.load(std::memory_order_relaxed) && h.fast &&
            h.owner.load(std::memory_order_relaxed) == detail::thisThread()) {
            auto* c = reinterpret_cast<detail::ArenaChunk*>(base + (offset & ~(CHUNK_SIZE - 1)));
            ++c->freed;
            if (c->freed + c->remoteFreed.load(std::memory_order_acquire) == c->allocated)
                emptied(c);
            return;
        }
        deallocateSlow(p, bytes, alignment);
    }

    // Whether p lies in the arena's reserved address range.
    static bool owns(const void* p) noexcept
    {
        const detail::ArenaHot& h = detail::arenaHot;
        return reinterpret_cast<uintptr_t>(p) - h.base.load(std::memory_order_relaxed) <
               h.span.load(std::memory_order_relaxed);
    }

    struct Stats
    {
        bool enabled = false;      // the address range could be reserved
        bool poisoned = false;     // AddressSanitizer is present: redzones and poisoning
        size_t chunksInUse = 0;    // chunks holding at least one block
        size_t pooledChunks = 0;   // empty chunks kept faulted for reuse
        size_t releasedChunks = 0; // empty chunks whose memory went back to the system
        size_t mappedChunks = 0;   // chunks ever taken from the reserved range
    };
    // Figures as the arena's thread sees them (frees on other threads are
    // counted when that thread next needs a chunk or asks).
    static Stats stats() noexcept;
    // Gives the memory of every pooled chunk back to the system; returns how many.
    static size_t releasePooledChunks() noexcept;

private:
    static constexpr size_t GRAIN = 8; // every block starts 8-byte aligned

    static void* allocateSlow(size_t bytes, size_t alignment);
    static void deallocateSlow(void* p, size_t bytes, size_t alignment) noexcept;
    static void emptied(detail::ArenaChunk* c) noexcept;
};

// The stateless allocator of packet storage: arena blocks within a
// PacketArena::Scope, the heap otherwise; either kind is freed correctly.
template <class T>
class PacketAllocator
{
public:
    using value_type = T;
    using is_always_equal = std::true_type;

    PacketAllocator() noexcept = default;
    template <class U>
    PacketAllocator(const PacketAllocator<U>&) noexcept
    {
    }

    T* allocate(size_t n)
    {
        if (n > size_t(-1) / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(PacketArena::allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { PacketArena::deallocate(p, n * sizeof(T), alignof(T)); }

    template <class U>
    bool operator==(const PacketAllocator<U>&) const noexcept
    {
        return true;
    }
};

// The bytes of one packet, header included.
class ByteVector : public std::vector<uint8_t, PacketAllocator<uint8_t>>
{
public:
    using Base = std::vector<uint8_t, PacketAllocator<uint8_t>>;
    using Base::Base;
    ByteVector() = default;
    explicit ByteVector(const std::vector<uint8_t>& bytes) : Base(bytes.begin(), bytes.end()) {}
    ByteVector& operator=(const std::vector<uint8_t>& bytes)
    {
        assign(bytes.begin(), bytes.end());
        return *this;
    }
    std::vector<uint8_t> toStdVector() const { return std::vector<uint8_t>(begin(), end()); }

    friend bool operator==(const ByteVector& a, const std::vector<uint8_t>& b)
    {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }
};

using ByteVectorPtr = std::shared_ptr<ByteVector>;

// The one factory of packet bytes: n zero bytes, or a copy of n bytes, in
// the arena next to their vector.
ByteVectorPtr makePacketBytes(size_t n = 0);
ByteVectorPtr makePacketBytes(const uint8_t* data, size_t n);

// A packet object in the arena, one block with its control block, followed
// by the bytes that its constructor makes.
template <class P, class... Args>
std::shared_ptr<P> makePacket(Args&&... args)
{
    PacketArena::Scope scope;
    return std::allocate_shared<P>(PacketAllocator<P>(), std::forward<Args>(args)...);
}

} // namespace GseLib
