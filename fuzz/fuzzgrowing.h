#pragma once
// The growing-file check of the archive targets: the bytes written from an
// empty file a few at a time, the cache grown after each write and then
// until the back-offs on a partial packet are spent, must end with the
// packets (bytes and ground times) of a read of the whole file, so settled;
// and so again after the file was truncated under the reader and written anew.
#include "gselib/packets/telemetrycache.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace FuzzGrowing {

// What a read ends with: every packet's bytes and ground time.
inline std::vector<std::pair<GseLib::ByteVector, uint64_t>> packetsOf(const GseLib::TelemetryCache& cache)
{
    std::vector<std::pair<GseLib::ByteVector, uint64_t>> out;
    for (const GseLib::TMPacketPtr& p : cache.allPackets())
        out.emplace_back(*p->bytes, (uint64_t(p->groundSeconds) << 32) ^ uint64_t(p->groundMs * 1000.0));
    return out;
}

// Grows until the back-offs are spent: each byte costs a few of them at most.
inline void settle(GseLib::TelemetryCache& cache, size_t size)
{
    for (size_t quiet = 0, calls = 0;
         quiet <= size_t(GseLib::TelemetryCache::PARTIAL_READ_LIMIT) && calls < 8 * size + 64; ++calls) {
        const size_t n = cache.count();
        const long at = cache.readPosition();
        cache.grow();
        quiet = cache.count() == n && cache.readPosition() == at ? quiet + 1 : 0;
    }
}

inline FILE* openOrAbort(const std::string& path, const char* mode)
{
    FILE* f = std::fopen(path.c_str(), mode);
    if (!f)
        std::abort();
    return f;
}

// Aborts when the growing read of `data` at `path`, in steps the input's last
// byte chooses, ends with other packets than the whole read.
inline void check(GseLib::TelemetryCache& cache, const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = openOrAbort(path, "wb");
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
    cache.changeFile(path, true);
    settle(cache, size);
    const auto whole = packetsOf(cache);

    f = openOrAbort(path, "wb");
    cache.changeFile(path, true);
    const size_t step = 1 + (size ? data[size - 1] % 61 : 0);
    for (size_t at = 0; at < size; at += step) {
        std::fwrite(data + at, 1, std::min(step, size - at), f);
        std::fflush(f);
        cache.grow();
    }
    std::fclose(f);
    settle(cache, size);
    if (packetsOf(cache) != whole)
        std::abort();

    // Truncated under the reader, which looks, then written again at once:
    // read anew from the start, the same packets.
    f = openOrAbort(path, "wb");
    cache.grow();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
    settle(cache, size);
    if (packetsOf(cache) != whole)
        std::abort();
}

} // namespace FuzzGrowing
