// Opening an archive the way a user does: once, in a fresh process. Each run
// of this program is one measurement, so that the first touches of fresh
// memory are counted as they are in real use; scripts/bench_archive_open
// starts it five times per archive and reports min and median.
//   bench_archive_open gen DIR              writes the four archives, one "FORMAT PATH" line each
//   bench_archive_open parse FORMAT FILE [N] parses N times (default 2) in one cache, one JSON line
//   bench_archive_open probe FORMAT FILE     read() into a fresh buffer, then a header walk over it
// FORMAT is "ccsds" or "tom". The figures: parse and release times, RSS
// growth, minor page faults; the probes bound what any parse of the file
// could do on this machine, and time the first touch of fresh memory.
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/packetarena.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "tests/gselib/packets/archivetestdata.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace GseLib;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Resident bytes of this process, from /proc (current, not the peak).
long long residentBytes()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    long long size = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%lld %lld", &size, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

long long minorFaults()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

long long fileSize(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? (long long)st.st_size : -1;
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_archive_open: %s\n", what);
    std::exit(2);
}

// ---- the archives ----------------------------------------------------------

class Writer
{
public:
    explicit Writer(const std::string& path) : f_(std::fopen(path.c_str(), "wb"))
    {
        if (!f_)
            fail("cannot write an archive");
    }
    ~Writer()
    {
        flush();
        std::fclose(f_);
    }
    void add(const QByteArray& packet)
    {
        buffer_ += packet;
        bytes += packet.size();
        ++packets;
        if (buffer_.size() > (8 << 20))
            flush();
    }
    long long bytes = 0;
    long long packets = 0;

private:
    void flush()
    {
        if (!buffer_.isEmpty() && std::fwrite(buffer_.constData(), 1, size_t(buffer_.size()), f_) != size_t(buffer_.size()))
            fail("short write");
        buffer_.clear();
    }
    FILE* f_;
    QByteArray buffer_;
};

// A small, fixed pseudo-random sequence (the archives are the same on every run).
struct Lcg
{
    uint64_t s = 0x9E3779B97F4A7C15ull;
    uint32_t next()
    {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(s >> 33);
    }
    int between(int lo, int hi) { return lo + int(next() % uint32_t(hi - lo + 1)); }
};

// About 250 MB of CCSDS packets of 24-1508 bytes, most of them small, each
// size class under APIDs of its own: about a million packets, as in a real
// mixed archive.
void writeMixed(const std::string& path)
{
    Writer w(path);
    Lcg rng;
    int sequence[64] = {}; // per APID, by its low six bits (distinct here)
    uint32_t second = 1700000000;
    while (w.bytes < 250ll * 1000 * 1000) {
        const uint32_t r = rng.next() % 100;
        int size, apid;
        if (r < 75) {
            size = rng.between(24, 200);
            apid = 0x101 + int(r % 3);
        } else if (r < 93) {
            size = rng.between(201, 600);
            apid = 0x110 + int(r % 2);
        } else {
            size = rng.between(1000, 1508);
            apid = 0x120 + int(r % 3);
        }
        const int slot = apid & 0x3F;
        if (w.packets % 1000 == 0)
            ++second;
        w.add(ArchiveTestData::ccsdsPacket(apid, sequence[slot]++ & 0x3FFF, size, second,
                                           uint16_t(w.packets * 977)));
    }
    std::printf("ccsds %s mixed\n", path.c_str());
}

void writeUniform(const std::string& path, bool tom, int size, long long count)
{
    Writer w(path);
    for (long long i = 0; i < count; ++i) {
        const uint32_t seq = uint32_t(i);
        w.add(tom ? ArchiveTestData::tomPacketOfSize(uint8_t(1 + seq % 7), uint8_t(seq), size, 1700000000 + seq / 1000)
                  : ArchiveTestData::ccsdsPacket(0x100 + int(seq % 7), int(seq % 16384), size,
                                                 1700000000 + seq / 1000, uint16_t(seq)));
    }
    std::printf("%s %s %d\n", tom ? "tom" : "ccsds", path.c_str(), size);
}

int generate(const std::string& dir)
{
    writeMixed(dir + "/mixed_ccsds.dat");
    writeUniform(dir + "/ccsds_64.dat", false, 64, 4 << 20);
    writeUniform(dir + "/tom_64.dat", true, 64, 4 << 20);
    writeUniform(dir + "/tom_4096.dat", true, 4096, 65536);
    return 0;
}

// ---- the parse -------------------------------------------------------------

TelemetryCache::PacketFormat formatOf(const char* name)
{
    if (std::strcmp(name, "ccsds") == 0)
        return TelemetryCache::CCSDS;
    if (std::strcmp(name, "tom") == 0)
        return TelemetryCache::TOM;
    fail("format is ccsds or tom");
}

int parse(const char* format, const char* path, int repeats)
{
    const long long bytes = fileSize(path);
    if (bytes < 0)
        fail("no such archive");
    DataInterpretation::init(nullptr, false, nullptr, {});
    FILE* sink = std::fopen("/dev/null", "w");
    auto cache = std::make_unique<TelemetryCache>(new UnixTimeResolver);
    cache->setMessageStream(sink);
    cache->setPacketFormat(formatOf(format));

    std::printf("{\"file_bytes\": %lld", bytes);
    size_t packets = 0;
    for (int run = 0; run < repeats; ++run) {
        const long long rss0 = residentBytes();
        const long long faults0 = minorFaults();
        const auto t0 = Clock::now();
        cache->changeFile(path, true);
        const auto t1 = Clock::now();
        const long long rss1 = residentBytes();
        const long long faults1 = minorFaults();
        if (run > 0 && cache->count() != packets)
            fail("the packet count changed between parses");
        packets = cache->count();
        const auto t2 = Clock::now();
        cache->clear();
        const auto t3 = Clock::now();
        std::printf(", \"parse%d_s\": %.6f, \"rss%d_growth\": %lld, \"faults%d\": %lld, \"release%d_s\": %.6f", run,
                    seconds(t0, t1), run, rss1 - rss0, run, faults1 - faults0, run, seconds(t2, t3));
    }
    const PacketArena::Stats s = PacketArena::stats();
    std::printf(", \"packets\": %zu, \"arena_chunks\": %zu, \"arena\": %s}\n", packets, s.mappedChunks,
                s.enabled ? "true" : "false");
    cache.reset();
    std::fclose(sink);
    return packets > 0 ? 0 : 1;
}

// ---- the probes ------------------------------------------------------------

// GB/s of a first touch of `bytes` of fresh memory: huge pages advised and
// touched, or faulted in 2 MiB at a time. The memory stays mapped (and so
// unavailable to the next probe) until the process ends.
double touchProbe(size_t bytes, bool huge)
{
    const size_t chunk = PacketArena::CHUNK_SIZE;
    const size_t span = (bytes + chunk - 1) / chunk * chunk;
    void* m = mmap(nullptr, span + chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        fail("no memory for the touch probe");
    char* p = reinterpret_cast<char*>((uintptr_t(m) + chunk - 1) & ~uintptr_t(chunk - 1));
    if (huge)
        madvise(p, span, MADV_HUGEPAGE);
    const auto t0 = Clock::now();
    for (size_t at = 0; at < span; at += chunk) {
        if (huge || madvise(p + at, chunk, MADV_POPULATE_WRITE) != 0) {
            for (size_t i = 0; i < chunk; i += 4096)
                static_cast<volatile char*>(p)[at + i] = 1;
        }
    }
    return double(span) / seconds(t0, Clock::now()) / 1e9;
}

int probe(const char* format, const char* path)
{
    const long long bytes = fileSize(path);
    if (bytes < 0)
        fail("no such archive");
    const bool tom = formatOf(format) == TelemetryCache::TOM;
    const auto t0 = Clock::now();
    const int fd = open(path, O_RDONLY);
    if (fd < 0)
        fail("cannot open the archive");
    // A plain new[]: what any reader that takes the file at once pays.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t(bytes)]);
    long long got = 0;
    while (got < bytes) {
        const ssize_t k = read(fd, buffer.get() + got, size_t(bytes - got));
        if (k <= 0)
            fail("short read");
        got += k;
    }
    close(fd);
    const auto t1 = Clock::now();

    // The least any parse must do: follow the length fields from header to header.
    const uint8_t* b = buffer.get();
    long long at = 0, packets = 0;
    if (tom) {
        while (at + 12 <= bytes) {
            at += 12 + ((long long)b[at + 2] << 8 | b[at + 3]);
            ++packets;
        }
    } else {
        while (at + 6 <= bytes) {
            at += 7 + ((long long)b[at + 4] << 8 | b[at + 5]);
            ++packets;
        }
    }
    const auto t2 = Clock::now();

    // The first touch of as much fresh memory as the file, once advised for
    // huge pages and once faulted in per 2 MiB as the packet arena does,
    // while the read buffer still holds its own pages. On virtual machines
    // this varies with whether the host still backs the memory that the
    // guest hands out, and it is most of what a fresh parse waits on.
    const double hugeGbps = touchProbe(size_t(bytes), true);
    const double smallGbps = touchProbe(size_t(bytes), false);
    std::printf("{\"file_bytes\": %lld, \"read_s\": %.6f, \"walk_s\": %.6f, \"walk_packets\": %lld, "
                "\"touch_huge_gbps\": %.3f, \"touch_gbps\": %.3f}\n",
                bytes, seconds(t0, t1), seconds(t1, t2), packets, hugeGbps, smallGbps);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "gen" && argc == 3)
        return generate(argv[2]);
    if (mode == "parse" && (argc == 4 || argc == 5))
        return parse(argv[2], argv[3], argc == 5 ? std::max(1, std::atoi(argv[4])) : 2);
    if (mode == "probe" && argc == 4)
        return probe(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: %s gen DIR | parse ccsds|tom FILE [REPEATS] | probe ccsds|tom FILE\n"
                 "(scripts/bench_archive_open runs the whole measurement)\n",
                 argv[0]);
    return 2;
}
