#pragma once
// The growing-file check of the archive targets: the bytes written from an
// empty file a few at a time, the cache grown after each write and then
// PARTIAL_READ_LIMIT + 1 times, must hold the packets (bytes, order and
// ground times) of a read of the finished file grown as often; 30 more grows
// of the unchanged file must write no line; and so again after the file was
// truncated under the reader and written anew.
#include "fuzzquiet.h"
#include "gselib/packets/telemetrycache.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/time.h>
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

// The grows after the last write that bring a followed read to its end.
inline void settle(GseLib::TelemetryCache& cache)
{
    for (int i = 0; i < GseLib::TelemetryCache::PARTIAL_READ_LIMIT; ++i)
        cache.grow();
}

inline FILE* openOrAbort(const std::string& path, const char* mode)
{
    FILE* f = std::fopen(path.c_str(), mode);
    if (!f)
        std::abort();
    return f;
}

// Aborts when the growing read of `data` at `path`, in steps the input's last
// byte chooses, ends with other packets than the read of the finished file
// (last written an hour ago), or writes a line once settled.
inline void check(GseLib::TelemetryCache& cache, const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = openOrAbort(path, "wb");
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
    struct timeval hourAgo[2];
    gettimeofday(&hourAgo[0], nullptr);
    hourAgo[0].tv_sec -= 3600;
    hourAgo[1] = hourAgo[0];
    utimes(path.c_str(), hourAgo);
    cache.changeFile(path, true);
    cache.grow();
    settle(cache);
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
    if (size == 0)
        cache.grow();
    settle(cache);
    if (packetsOf(cache) != whole)
        std::abort();
    FILE* lines = std::tmpfile();
    if (!lines)
        std::abort();
    cache.setMessageStream(lines);
    for (int i = 0; i < 30; ++i)
        cache.grow();
    const long written = std::ftell(lines);
    cache.setMessageStream(FuzzQuiet::nullFile());
    std::fclose(lines);
    if (written != 0)
        std::abort();

    // Truncated under the reader, which looks, then written again at once:
    // read anew from the start, the same packets once settled.
    f = openOrAbort(path, "wb");
    cache.grow();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
    cache.grow();
    settle(cache);
    if (packetsOf(cache) != whole)
        std::abort();
}

} // namespace FuzzGrowing
