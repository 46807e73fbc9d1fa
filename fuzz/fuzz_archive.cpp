// Arbitrary bytes as a TOM archive, as a CCSDS archive (with the default and a
// strict header test), read whole and read while "growing", and as a tm.meta.
// Nothing may crash, hang or read out of bounds.
#include "gselib/ccsdspacket.h"
#include "gselib/datainterpretation.h"
#include "gselib/telemetrycache.h"
#include "gselib/timeresolvers.h"
#include "gselib/tmmeta.h"

#include <QDir>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

using namespace GseLib;

class StrictCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;

protected:
    bool validHeader(const unsigned char* h) override
    {
        // CCSDS telemetry version 0 with a non-zero APID; TOM types below 0x7F.
        return packetFormat() == CCSDS ? (h[0] <= 15 && (((h[0] & 7) << 8) | h[1]) != 0) : (h[0] & 0x7F) != 0x7F;
    }
};

const std::string& scratchPath()
{
    static const std::string path = [] {
        std::string p = QDir::tempPath().toStdString() + "/fuzz_archive_" + std::to_string(getpid()) + ".dat";
        std::atexit([] { std::remove(scratchPath().c_str()); });
        return p;
    }();
    return path;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size, const char* mode)
{
    FILE* f = std::fopen(path.c_str(), mode);
    if (!f)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
}

FILE* sink()
{
    static FILE* f = std::fopen("/dev/null", "w");
    return f;
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

template <typename Cache>
void parseWholeAndGrowing(const uint8_t* data, size_t size, TelemetryCache::PacketFormat format)
{
    const std::string& path = scratchPath();
    {
        Cache cache(new UnixTimeResolver);
        cache.setMessageStream(sink());
        cache.setPacketFormat(format);
        cache.setMaxScan(4096);
        writeFile(path, data, size, "wb");
        cache.changeFile(path, true);
        checkPackets(cache);
        if (cache.readPosition() < 0 || cache.readPosition() > long(size))
            std::abort();
    }
    {
        Cache cache(new UnixTimeResolver);
        cache.setMessageStream(sink());
        cache.setPacketFormat(format);
        const size_t half = size / 2;
        writeFile(path, data, half, "wb");
        cache.changeFile(path, true);
        writeFile(path, data + half, size - half, "ab");
        for (int i = 0; i < 7; ++i)
            cache.grow();
        checkPackets(cache);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool hub = [] {
        DataInterpretation::init(nullptr, false, nullptr, {});
        return true;
    }();
    (void)hub;

    parseWholeAndGrowing<TelemetryCache>(data, size, TelemetryCache::TOM);
    parseWholeAndGrowing<TelemetryCache>(data, size, TelemetryCache::CCSDS);
    parseWholeAndGrowing<StrictCache>(data, size, TelemetryCache::TOM);
    parseWholeAndGrowing<StrictCache>(data, size, TelemetryCache::CCSDS);

    // The same bytes as a side file.
    const std::string meta = scratchPath() + ".meta";
    writeFile(meta, data, size, "wb");
    TmMeta m;
    m.parseFile(QString::fromStdString(meta));
    (void)m.configVekGroup();
    (void)m.datetimeFromTidDir();
    (void)m.toAscii();
    std::remove(meta.c_str());
    return 0;
}
