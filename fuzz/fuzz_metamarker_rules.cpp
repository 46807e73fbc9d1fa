// Arbitrary bytes as a meta-marker rule file: validated, loaded by the
// meta-marker cache (which validates it again) and run over a small archive of
// markers and message lines; every object of its "meta_markers" array is also
// made into a generator directly, valid or not, as a file changed between
// validation and loading would be. Nothing may crash, hang or grow without bound.
#include "fuzzquiet.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "korafuzzhub.h"
#include "koralib/markers/metamarkercache.h"
#include "koralib/markers/metamarkergenerator.h"
#include "koralib/markers/metamarkerrules.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace KoraFuzzHub;

std::string g_folder;

class TickResolver : public GseLib::TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return ticks / 10000.0; }
    long long secondsToTicks(double s) const override { return static_cast<long long>(s * 10000.0); }
    double unixTime(const GseLib::TMPacket* p) const override { return p->rawTimestamp() / 10000.0; }
    double unixTime(const GseLib::TMPacket*, long long ticks) const override { return ticks / 10000.0; }
    double relativeTime(const GseLib::TMPacket* p) const override { return p->rawTimestamp() / 10000.0; }
    double relativeTime(const GseLib::TMPacket*, long long ticks) const override { return ticks / 10000.0; }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const GseLib::TMPacketPtr&) override { return true; }
    GseLib::TMPacketPtr t0Packet() const override { return nullptr; }
};

void add(GseLib::TelemetryCache* cache, int type, const std::string& data, uint32_t ticks)
{
    std::vector<uint8_t> b{uint8_t(type), 0, uint8_t(data.size() >> 8), uint8_t(data.size())};
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(uint8_t(ticks >> s));
    b.insert(b.end(), data.begin(), data.end());
    b.insert(b.end(), 4, 0);
    cache->appendPacket(std::make_shared<GseLib::TomPacket>(b.data(), int(b.size()), int(cache->count()),
                                                            cache->timeResolver()));
}

std::string marker(uint32_t id)
{
    std::string d(72, '\0');
    for (int k = 0; k < 4; ++k)
        d[size_t(6 + k)] = char(id >> (24 - 8 * k));
    d.replace(10, 4, "mark");
    return d;
}

// The hub (with a message row) and the configuration of the whole run.
void setUp()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    g_folder = makeFolder("fuzz_mmr");
    const QString dir = QString::fromStdString(g_folder);
    QDir().mkpath(dir + "/MetaMarkerRules");
    writeText(dir + "/db.txt",
              DB_HEADER +
                  "MSG\tTEXT\ttext\t900\t8\t7\t0\t0\t\t\t%s\t%s\t\t\t\t\t%s\t\t\t\t\t\t\t\t\t\t\t1\n");
    writeText(dir + "/tm_packet_types.txt", "8,TEXT,false,-1,-1\n9,M,false,0,128\n22,SEB,false,0,64\n");
    writeText(dir + "/dac.txt", "# dac\n13\t13\tRF\t16\t0xFFFF\t0\t0\t1\n");
    installHub(dir);

    auto* cache = new GseLib::TelemetryCache(new TickResolver);
    GseLib::TelemetryFile::setSharedCache(cache);
    add(cache, 8, std::string("boot\n1.5: SEB Test = 1\nHeater Test = 1 = 0\n") + '\0', 10000);
    add(cache, 9, marker(100), 20000);
    add(cache, 9, marker(50000), 30000);
    add(cache, 22, std::string(16, '\0'), 35000);
    add(cache, 8, std::string("Pump ON\nGC EBT = 1\nx\r\n") + '\0', 40000);
    add(cache, 9, marker(0xFFFFFFFFu), 50000);
    add(cache, 9, std::string(5, '\x07'), 55000);
    add(cache, 8, std::string("12: pump off\nSEB Test = 0"), 60000);
    add(cache, 9, marker(7), 70000);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    setUp();
    const QString path = QString::fromStdString(g_folder) + "/MetaMarkerRules/rules.json";
    writeText(path, QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));

    KorGse::isValidMetamarkerRuleFile(QFileInfo(path));
    {
        KorGse::MetaMarkerCache cache; // validates and loads the folder
        cache.refresh();
        const QList<KorGse::MetaMarker> all = cache.getMetaMarkers();
        for (const KorGse::MetaMarker& m : all)
            (void)cache.getMetaMarkers(m.startRelativeTimeInSecs);
        (void)cache.getMetaMarkers(4.0);
    }

    // Every rule object, valid or not, straight into a generator.
    const QJsonArray rules = QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))
                                 .object()
                                 .value(QStringLiteral("meta_markers"))
                                 .toArray();
    GseLib::TelemetryCache* shared = GseLib::TelemetryFile::sharedCache();
    int n = 0;
    for (const QJsonValue& v : rules) {
        if (++n > 64)
            break;
        KorGse::JsonBasedMetaMarkerGenerator gen(v.toObject());
        for (size_t i = 0; i < shared->count(); ++i)
            gen.ingestPkt(shared->get(unsigned(i)), 7.0);
        (void)gen.metaMarkers();
        for (const QJsonValue& c : v.toObject().value(QStringLiteral("start_conditions")).toArray())
            (void)KorGse::extractMatchedMessage(shared->get(0), c.toObject());
    }
    return 0;
}
