#pragma once
// Where packets live. A parse makes millions of small packets, and on the
// virtual machines we run on every fresh 4 KiB page costs a fault, so packet
// bytes and packet objects are drawn from one process-wide arena of 2 MiB
// chunks (aligned and advised for transparent huge pages) by bumping a pointer.
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
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace GseLib {

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
        Scope() noexcept;
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        bool opened_;
    };

    // An arena block within a scope, else (or when the arena cannot serve) the heap.
    static void* allocate(size_t bytes, size_t alignment);
    static void deallocate(void* p, size_t bytes, size_t alignment) noexcept;
    // Whether p lies in the arena's reserved address range.
    static bool owns(const void* p) noexcept;

    struct Stats
    {
        bool enabled = false;     // the address range could be reserved
        bool poisoned = false;    // AddressSanitizer is present: redzones and poisoning
        size_t chunksInUse = 0;   // chunks holding at least one block
        size_t pooledChunks = 0;  // empty chunks kept faulted for reuse
        size_t releasedChunks = 0; // empty chunks whose memory went back to the system
        size_t mappedChunks = 0;  // chunks ever taken from the reserved range
    };
    // Figures as the arena's thread sees them (frees on other threads are
    // counted when that thread next needs a chunk).
    static Stats stats() noexcept;
    // Gives the memory of every pooled chunk back to the system; returns how many.
    static size_t releasePooledChunks() noexcept;
    // Asks for huge pages over the 2 MiB-aligned part of [p, p + bytes), for
    // large blocks of the ordinary heap that a parse fills at once.
    static void adviseHugePages(void* p, size_t bytes) noexcept;
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
