// Arbitrary bytes as a TOM archive, as a CCSDS archive (with the default and a
// strict header test), read whole and read while "growing", and as a tm.meta.
// Nothing may crash, hang or read out of bounds, and a read of the bytes
// written a few at a time ends with the packets of a read of them whole.
#include "fuzzgrowing.h"
#include "fuzzquiet.h"
#include "strictcache.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tmmeta.h"

#include <QDir>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

using namespace GseLib;

using FuzzSupport::StrictCache;

// The scratch archive, in a folder of its own (the side-file search lists the
// archive's folder). Plain arrays: the clean-up at exit runs after static destructors.
char g_folder[4096];
char g_path[4096 + 32];

const char* scratchPath()
{
    if (!g_path[0]) {
        std::snprintf(g_folder, sizeof g_folder, "%s/fuzz_archive_XXXXXX", QDir::tempPath().toLocal8Bit().constData());
        if (!mkdtemp(g_folder))
            std::abort();
        std::snprintf(g_path, sizeof g_path, "%s/archive.dat", g_folder);
        std::atexit([] {
            std::remove(g_path);
            rmdir(g_folder);
        });
    }
    return g_path;
}

void writeFile(const char* path, const uint8_t* data, size_t size, const char* mode)
{
    FILE* f = std::fopen(path, mode);
    if (!f)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
}

void checkPackets(const TelemetryCache& cache)
{
    for (size_t i = 0; i < cache.count(); ++i) {
        const TMPacketPtr p = cache.get(unsigned(i));
        if (!p || p->index != int(i) || p->totalLength() == 0)
            std::abort();
        // Every accessor stays inside the packet.
        volatile long sink = p->apid() + p->sequence() + long(p->dataLength()) + long(p->rawTimestamp()) +
                             long(p->rawTimestampMs()) + long(p->checksum()) + p->segmentFlags();
        (void)sink;
    }
}

// One cache per kind for the whole run (changeFile starts each input afresh).
template <typename Cache>
TelemetryCache& cacheFor(TelemetryCache::PacketFormat format)
{
    static Cache* tom = nullptr;
    static Cache* ccsds = nullptr;
    Cache*& c = format == TelemetryCache::TOM ? tom : ccsds;
    if (!c) {
        c = new Cache(new UnixTimeResolver);
        c->setMessageStream(FuzzQuiet::nullFile());
        c->setPacketFormat(format);
    }
    return *c;
}

template <typename Cache>
void parseWholeAndGrowing(const uint8_t* data, size_t size, TelemetryCache::PacketFormat format)
{
    const std::string path = scratchPath();
    TelemetryCache& cache = cacheFor<Cache>(format);

    cache.setMaxScan(4096);
    writeFile(path.c_str(), data, size, "wb");
    cache.changeFile(path, true);
    checkPackets(cache);
    if (cache.readPosition() < 0 || cache.readPosition() > long(size))
        std::abort();

    cache.setMaxScan(1000000);
    const size_t half = size / 2;
    writeFile(path.c_str(), data, half, "wb");
    cache.changeFile(path, true);
    writeFile(path.c_str(), data + half, size - half, "ab");
    for (int i = 0; i < 7; ++i)
        cache.grow();
    checkPackets(cache);
}

// The growing-file check, with the default scan limit.
template <typename Cache>
void growingMatchesWhole(const uint8_t* data, size_t size, TelemetryCache::PacketFormat format)
{
    TelemetryCache& cache = cacheFor<Cache>(format);
    cache.setMaxScan(1000000);
    FuzzGrowing::check(cache, scratchPath(), data, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static const bool hub = [] {
        DataInterpretation::init(nullptr, false, nullptr, {});
        return true;
    }();
    (void)hub;

    parseWholeAndGrowing<TelemetryCache>(data, size, TelemetryCache::TOM);
    parseWholeAndGrowing<TelemetryCache>(data, size, TelemetryCache::CCSDS);
    parseWholeAndGrowing<StrictCache>(data, size, TelemetryCache::TOM);
    parseWholeAndGrowing<StrictCache>(data, size, TelemetryCache::CCSDS);
    growingMatchesWhole<StrictCache>(data, size, TelemetryCache::CCSDS);
    growingMatchesWhole<StrictCache>(data, size, TelemetryCache::TOM);
    growingMatchesWhole<TelemetryCache>(data, size, TelemetryCache::CCSDS);

    // The same bytes as a side file.
    const std::string meta = std::string(scratchPath()) + ".meta";
    writeFile(meta.c_str(), data, size, "wb");
    TmMeta m;
    m.parseFile(QString::fromStdString(meta));
    (void)m.configVekGroup();
    (void)m.datetimeFromTidDir();
    (void)m.toAscii();
    std::remove(meta.c_str());
    return 0;
}
