#pragma once
// Fixture of the marker and meta-marker tests: runs scripts/gen_kora_markers.py
// into a temporary folder once per suite, points INIVEK and HOME there,
// installs a first-instrument hub from the generated definitions (offsets
// moved by 8 as at start-up), and opens the generated archives as the shared
// packet cache. Also builds small in-memory archives for the generator tests.
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/generateddefinitions.h"
#include "support/streamcapture.h"

#include <QDir>

#include <string>
#include <vector>

namespace MarkerTest {

class GeneratedSet : public KoraTest::GeneratedDefinitions
{
public:
    explicit GeneratedSet(const QStringList& extra = {}) : GeneratedDefinitions("gen_kora_markers.py", extra, 300000)
    {
        installHub();
    }
    ~GeneratedSet() { GseLib::TelemetryFile::setSharedCache(nullptr); }

    QString archive(const char* which) const
    {
        return dir.filePath(expected.value("archives").toObject().value(which).toString() + "/tm.tlm");
    }
    // Makes a new first-instrument shared cache over the archive file.
    static void open(const QString& path)
    {
        GseLib::TelemetryFile::setSharedCache(new KorGse::KorTelemetryCache);
        TestSupport::StderrCapture quiet; // parse notes are not under test here
        GseLib::TelemetryFile::setSharedCacheFile(path.toStdString());
    }
};

using SuiteTest = KoraTest::SharedSuite<GeneratedSet>;

// Times that follow from the packet alone: relative time = ticks / 10^4 s,
// Unix time 1000 s later; a line's own time of s seconds is s relative.
class TickResolver : public GseLib::TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return ticks / 10000.0; }
    long long secondsToTicks(double s) const override { return static_cast<long long>(s * 10000.0); }
    double unixTime(const GseLib::TMPacket* p) const override { return 1000.0 + p->rawTimestamp() / 10000.0; }
    double unixTime(const GseLib::TMPacket*, long long ticks) const override { return 1000.0 + ticks / 10000.0; }
    double relativeTime(const GseLib::TMPacket* p) const override { return p->rawTimestamp() / 10000.0; }
    double relativeTime(const GseLib::TMPacket*, long long ticks) const override { return ticks / 10000.0; }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const GseLib::TMPacketPtr&) override { return true; }
    GseLib::TMPacketPtr t0Packet() const override { return nullptr; }
};

// An in-memory shared cache of TOM packets timed by TickResolver.
class MemoryArchive
{
public:
    MemoryArchive()
    {
        cache = new GseLib::TelemetryCache(new TickResolver);
        GseLib::TelemetryFile::setSharedCache(cache);
    }
    GseLib::TMPacketPtr add(int type, const std::string& data, double relativeTime)
    {
        std::vector<uint8_t> bytes{uint8_t(type), 0, uint8_t(data.size() >> 8), uint8_t(data.size())};
        const auto ticks = uint32_t(relativeTime * 10000.0 + 0.5);
        for (int s = 24; s >= 0; s -= 8)
            bytes.push_back(uint8_t(ticks >> s));
        bytes.insert(bytes.end(), data.begin(), data.end());
        bytes.insert(bytes.end(), 4, 0); // checksum, not checked here
        auto p = std::make_shared<GseLib::TomPacket>(bytes.data(), int(bytes.size()), int(cache->count()),
                                                     cache->timeResolver());
        cache->appendPacket(p);
        return p;
    }
    static std::string marker(uint32_t id, const std::string& text = std::string())
    {
        std::string d(72, '\0');
        for (int k = 0; k < 4; ++k)
            d[size_t(6 + k)] = char(id >> (24 - 8 * k));
        d.replace(10, std::min<size_t>(text.size(), 62), text.substr(0, 62));
        return d;
    }
    GseLib::TMPacketPtr addMarker(uint32_t id, double t) { return add(9, marker(id), t); }
    // Message text with a closing line end and NUL, as the instrument sends
    // it (the message log joins a line left open to the next packet's first).
    GseLib::TMPacketPtr addMessage(const std::string& text, double t) { return add(8, text + "\n" + '\0', t); }

    GseLib::TelemetryCache* cache;
};

} // namespace MarkerTest
