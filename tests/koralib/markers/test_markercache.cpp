#include "koralib/markers/markercache.h"

#include "markerarchive.h"

#include <QTemporaryDir>

#include <climits>

using KorGse::MarkerCache;
using KorGse::MarkerData;
using MarkerTest::GeneratedSet;

namespace {

class MarkerCacheTest : public MarkerTest::SuiteTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(defs->generated);
        GeneratedSet::open(defs->archive("main"));
        cache = std::make_unique<MarkerCache>(new GseLib::TelemetryFile);
        for (const QJsonValue& v : defs->expected.value("markers").toArray())
            markers.push_back(v.toObject());
        for (const QJsonValue& v : defs->expected.value("timeOrder").toArray())
            ordered.push_back(markers[size_t(v.toInt())]);
    }
    double time(size_t orderedIndex) const { return ordered[orderedIndex].value("relativeTime").toDouble(); }
    uint32_t readIndex(size_t orderedIndex) const { return uint32_t(ordered[orderedIndex].value("markerIndex").toInt()); }

    std::unique_ptr<MarkerCache> cache;
    std::vector<QJsonObject> markers;
    std::vector<QJsonObject> ordered; // time order, as the cache must hold them
};

void expectRecord(const MarkerData& got, const QJsonObject& want, const std::string& where)
{
    SCOPED_TRACE(where);
    EXPECT_EQ(got.pktIndex, want.value("pktIndex").toInt());
    EXPECT_EQ(got.markerIndex, uint32_t(want.value("markerIndex").toInt()));
    EXPECT_EQ(got.rawTimestamp, uint64_t(want.value("rawTimestamp").toDouble()));
    EXPECT_NEAR(got.relativeTime, want.value("relativeTime").toDouble(), 1e-6);
    EXPECT_NEAR(got.unixTime, want.value("unixTime").toDouble(), 1e-6);
    EXPECT_EQ(got.field0, uint64_t(want.value("field0").toDouble()));
    EXPECT_EQ(got.field4, uint16_t(want.value("field4").toInt()));
    EXPECT_EQ(got.markerId, uint32_t(want.value("markerId").toDouble()));
    EXPECT_EQ(got.textString(), want.value("text").toString());
    EXPECT_EQ(got.text[62], '\0');
}

TEST_F(MarkerCacheTest, HoldsEveryMarkerInTimeOrderWithItsReadingIndex)
{
    // The archive's clock is set back half-way: the later-read markers lie
    // first; two markers share one time and keep their reading order; a
    // packet of 9 data bytes keeps its record with the missing bytes as 0.
    ASSERT_EQ(cache->allMarkers().size(), ordered.size());
    for (size_t i = 0; i < ordered.size(); ++i)
        expectRecord(cache->allMarkers()[i], ordered[i], "allMarkers[" + std::to_string(i) + "]");
    std::vector<QJsonObject> withId;
    for (const QJsonValue& v : defs->expected.value("idTimeOrder").toArray())
        withId.push_back(markers[size_t(v.toInt())]);
    ASSERT_EQ(cache->idMarkers().size(), withId.size());
    ASSERT_LT(withId.size(), ordered.size()) << "the archive holds a marker with id 0";
    for (size_t i = 0; i < withId.size(); ++i)
        expectRecord(cache->idMarkers()[i], withId[i], "idMarkers[" + std::to_string(i) + "]");
    EXPECT_TRUE(std::is_sorted(cache->allMarkers().begin(), cache->allMarkers().end(),
                               KorGse::compareMarkersByTimestamp));
}

TEST_F(MarkerCacheTest, MarkerInForceAtTimes)
{
    ASSERT_GE(ordered.size(), 4u);
    // ordered[0] has id 0; ordered[1] is the next marker.
    ASSERT_EQ(ordered[0].value("markerId").toInt(), 0);
    const double last = time(ordered.size() - 1);
    struct Case
    {
        const char* name;
        double t;
        bool skipZero;
        bool found;
        int want; // index into ordered, -1 none
    };
    const Case cases[] = {
        {"before the first", time(0) - 1.0, false, false, -1},
        {"5 us before the first (no tolerance)", time(0) - 5e-6, false, false, -1},
        {"at the first", time(0), false, true, 0},
        {"5 us before the second", time(1) - 5e-6, false, true, 1},
        {"20 us before the second", time(1) - 20e-6, false, true, 0},
        {"between the second and third", (time(1) + time(2)) / 2, false, true, 1},
        {"after the last", last + 1000.0, false, true, int(ordered.size()) - 1},
        {"zero id skipped: before the first with an id", time(0) + 1e-3, true, false, -1},
        {"at the first with an id", time(1), true, true, 1},
    };
    for (const Case& c : cases) {
        bool found = !c.found;
        const MarkerData m = cache->getMarker(c.t, &found, c.skipZero);
        EXPECT_EQ(found, c.found) << c.name;
        if (c.want < 0) {
            EXPECT_EQ(m.markerId, 0u) << c.name;
            EXPECT_EQ(m.relativeTime, 0.0) << c.name;
            EXPECT_EQ(m.pktIndex, 0) << c.name;
        } else {
            EXPECT_EQ(m.markerIndex, readIndex(size_t(c.want))) << c.name;
        }
    }
    // Two markers share a time (the later-read one was inserted before the
    // earlier because both lie before the last): the first of them in the
    // list is in force at that time.
    const auto& all = cache->allMarkers();
    int pairs = 0;
    for (size_t i = 1; i < all.size(); ++i) {
        if (all[i].relativeTime == all[i - 1].relativeTime) {
            ++pairs;
            bool found = false;
            EXPECT_EQ(cache->getMarker(all[i].relativeTime, &found, false).markerIndex, all[i - 1].markerIndex);
        }
    }
    EXPECT_EQ(pairs, 1);
}

TEST_F(MarkerCacheTest, MarkerInForceAtPacketsAndUnknownIndexes)
{
    const QJsonArray packets = defs->expected.value("packets").toArray();
    for (const QJsonValue& v : packets) {
        const QJsonObject p = v.toObject();
        bool foundByIndex = false;
        bool foundByTime = false;
        const MarkerData a = cache->getMarker(unsigned(p.value("index").toInt()), &foundByIndex, true);
        const MarkerData b = cache->getMarker(p.value("relativeTime").toDouble(), &foundByTime, true);
        EXPECT_EQ(foundByIndex, foundByTime) << p.value("index").toInt();
        EXPECT_EQ(a.markerIndex, b.markerIndex) << p.value("index").toInt();
    }
    // Indexes the shared cache does not hold: not found, nothing read.
    for (unsigned bad : {unsigned(packets.size()), unsigned(packets.size()) + 7, UINT_MAX}) {
        bool found = true;
        const MarkerData m = cache->getMarker(bad, &found, false);
        EXPECT_FALSE(found) << bad;
        EXPECT_EQ(m.markerId, 0u);
        EXPECT_TRUE(cache->matchingMarkers(bad, 0u).empty()) << bad;
        EXPECT_TRUE(cache->matchingMarkers(0u, bad).empty()) << bad;
    }
}

TEST_F(MarkerCacheTest, MatchesByIdAndText)
{
    auto readIndexes = [](const std::vector<MarkerData>& list) {
        std::vector<uint32_t> out;
        for (const MarkerData& m : list)
            out.push_back(m.markerIndex);
        return out;
    };
    auto expectedWhere = [&](auto pred) {
        std::vector<uint32_t> out;
        for (const QJsonObject& m : ordered)
            if (pred(m))
                out.push_back(uint32_t(m.value("markerIndex").toInt()));
        return out;
    };
    for (int id : {100, 7, 0, 9, 256, 12345}) {
        EXPECT_EQ(readIndexes(cache->matchingMarkers(id)),
                  expectedWhere([&](const QJsonObject& m) { return m.value("markerId").toInt() == id; }))
            << id;
    }
    struct TextCase
    {
        const char* pattern;
        size_t count;
    };
    const size_t all = ordered.size();
    for (const TextCase& c : {TextCase{"", all}, TextCase{"checkpoint", 3}, TextCase{"Checkpoint", 0},
                              TextCase{"run", 3}, TextCase{"junk", 0}, TextCase{"XXXXXXXXXXXXXXXXXXXX", 1}}) {
        for (bool startsWith : {false, true}) {
            EXPECT_EQ(cache->matchingMarkers(QString::fromUtf8(c.pattern), startsWith).size(), c.count)
                << c.pattern << " startsWith " << startsWith;
            EXPECT_EQ(cache->matchingMarkers(c.pattern, startsWith).size(), c.count) << c.pattern;
        }
    }
    EXPECT_EQ(cache->matchingMarkers(static_cast<const char*>(nullptr), false).size(), all);
    // Results keep list (time) order.
    const auto late = cache->matchingMarkers("checkpoint", false);
    ASSERT_EQ(late.size(), 3u);
    EXPECT_EQ(late[0].textString(), QStringLiteral("late checkpoint"));
}

TEST_F(MarkerCacheTest, MarkersOfAnInterval)
{
    const size_t n = ordered.size();
    auto indexes = [](const std::vector<MarkerData>& list) {
        std::vector<uint32_t> out;
        for (const MarkerData& m : list)
            out.push_back(m.markerIndex);
        return out;
    };
    // From before the first marker: only those inside.
    EXPECT_EQ(indexes(cache->matchingMarkers(time(0) - 1.0, time(2))),
              (std::vector<uint32_t>{readIndex(0), readIndex(1), readIndex(2)}));
    // Led by the marker in force at t0, then (t0, t1].
    EXPECT_EQ(indexes(cache->matchingMarkers(time(1), time(3))),
              (std::vector<uint32_t>{readIndex(1), readIndex(2), readIndex(3)}));
    // t1 below t0: at most the marker in force.
    EXPECT_EQ(indexes(cache->matchingMarkers(time(3), time(1))), (std::vector<uint32_t>{readIndex(3)}));
    EXPECT_TRUE(cache->matchingMarkers(time(0) - 2.0, time(0) - 1.0).empty());
    EXPECT_EQ(cache->matchingMarkers(-1e9, 1e9).size(), n);
    // By packets: the same as by their times.
    const int a = ordered[1].value("pktIndex").toInt();
    const int b = ordered[3].value("pktIndex").toInt();
    EXPECT_EQ(indexes(cache->matchingMarkers(unsigned(a), unsigned(b))), indexes(cache->matchingMarkers(time(1), time(3))));
}

TEST_F(MarkerCacheTest, GrowsWithTheArchiveAndReloads)
{
    // The archive cut after its first marker packets, then completed.
    QFile full(defs->archive("main"));
    ASSERT_TRUE(full.open(QIODevice::ReadOnly));
    const QByteArray bytes = full.readAll();
    const int cutPacket = ordered.back().value("pktIndex").toInt() + 1; // after the first markers by time order
    qsizetype cut = 0;
    for (int i = 0; i < cutPacket; ++i)
        cut += 8 + ((uint8_t(bytes[cut + 2]) << 8) | uint8_t(bytes[cut + 3])) + 4;
    QTemporaryDir dir;
    const QString folder = dir.filePath(QFileInfo(QFileInfo(defs->archive("main")).path()).fileName());
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile part(folder + "/tm.tlm");
    ASSERT_TRUE(part.open(QIODevice::WriteOnly));
    part.write(bytes.left(cut));
    part.flush();
    QFile::copy(QFileInfo(defs->archive("main")).path() + "/tm.meta", folder + "/tm.meta");
    GeneratedSet::open(part.fileName());
    MarkerCache growing(new GseLib::TelemetryFile);
    size_t early = 0;
    for (const QJsonObject& m : markers)
        early += m.value("pktIndex").toInt() < cutPacket ? 1 : 0;
    EXPECT_EQ(growing.allMarkers().size(), early);
    part.write(bytes.mid(cut));
    part.close();
    {
        TestSupport::StderrCapture quiet;
        GseLib::TelemetryFile::updateSharedCache();
    }
    growing.refresh();
    ASSERT_EQ(growing.allMarkers().size(), ordered.size());
    for (size_t i = 0; i < ordered.size(); ++i)
        expectRecord(growing.allMarkers()[i], ordered[i], "grown " + std::to_string(i));
    growing.reload();
    ASSERT_EQ(growing.allMarkers().size(), ordered.size());
    EXPECT_EQ(growing.idMarkers().size(), cache->idMarkers().size());
}

TEST(MarkerCacheEmpty, ArchiveWithoutMarkers)
{
    MarkerTest::MemoryArchive archive;
    archive.add(22, std::string(16, '\0'), 1.0);
    MarkerCache cache(new GseLib::TelemetryFile);
    EXPECT_TRUE(cache.allMarkers().empty());
    EXPECT_TRUE(cache.idMarkers().empty());
    bool found = true;
    const MarkerData m = cache.getMarker(5.0, &found, false);
    EXPECT_FALSE(found);
    const MarkerData zero;
    EXPECT_EQ(std::memcmp(&m.text, &zero.text, sizeof zero.text), 0);
    EXPECT_EQ(m.markerId | m.field4 | m.field0 | m.rawTimestamp | m.markerIndex, 0u);
    EXPECT_TRUE(cache.matchingMarkers(0.0, 10.0).empty());
    found = true;
    cache.getMarker(0u, &found, false);
    EXPECT_FALSE(found);
    GseLib::TelemetryFile::setSharedCache(nullptr);
}

// Each list takes a record by its own last record: equal in time to the last
// goes after it, equal to an earlier one goes before that one. So a record
// with an id can stand in another place among equal times in idMarkers than
// in allMarkers; orders worked out by hand from that rule.
TEST(MarkerCacheOrder, EqualTimesPerList)
{
    MarkerTest::MemoryArchive archive;
    archive.addMarker(1, 5.0); // read 0
    archive.addMarker(0, 9.0); // read 1
    archive.addMarker(2, 5.0); // read 2: before read 0 in allMarkers, after it in idMarkers
    archive.addMarker(3, 9.0); // read 3: after read 1 (the last) in allMarkers
    archive.addMarker(0, 7.0); // read 4: between
    MarkerCache cache(new GseLib::TelemetryFile);
    auto order = [](const std::vector<MarkerData>& list) {
        std::vector<uint32_t> out;
        for (const MarkerData& m : list)
            out.push_back(m.markerIndex);
        return out;
    };
    EXPECT_EQ(order(cache.allMarkers()), (std::vector<uint32_t>{2, 0, 4, 1, 3}));
    EXPECT_EQ(order(cache.idMarkers()), (std::vector<uint32_t>{0, 2, 3}));
    struct Case
    {
        double t;
        bool skipZero;
        uint32_t want;
    };
    for (const Case& c : {Case{5.0, false, 2}, Case{5.0, true, 0}, Case{9.0, false, 1}, Case{9.0, true, 3},
                          Case{8.0, false, 4}, Case{8.0, true, 2}, Case{9.0 - 5e-6, true, 3},
                          Case{9.0 - 2e-5, true, 2}}) {
        bool found = false;
        EXPECT_EQ(cache.getMarker(c.t, &found, c.skipZero).markerIndex, c.want) << c.t << " " << c.skipZero;
        EXPECT_TRUE(found);
    }
    GseLib::TelemetryFile::setSharedCache(nullptr);
}

TEST(MarkerData, TextKeepsBytesAfterItsNul)
{
    MarkerTest::MemoryArchive archive;
    std::string data = MarkerTest::MemoryArchive::marker(0xFFFFFFFFu, std::string("ab\0cd", 5));
    const auto p = archive.add(9, data, 2.0);
    const MarkerData m = MarkerData::fromPacket(p, 4);
    EXPECT_EQ(m.textString(), QStringLiteral("ab"));
    EXPECT_EQ(std::string(m.text + 3, 2), "cd");
    EXPECT_EQ(m.markerId, 0xFFFFFFFFu);
    EXPECT_EQ(m.markerIndex, 4u);
    // An empty packet: every field 0.
    const MarkerData e = MarkerData::fromPacket(archive.add(9, std::string(), 3.0), 0);
    EXPECT_EQ(e.markerId | e.field0 | e.field4, 0u);
    EXPECT_EQ(e.text[0], '\0');
    EXPECT_EQ(MarkerData::fromPacket(nullptr, 2).markerIndex, 2u);
    GseLib::TelemetryFile::setSharedCache(nullptr);
}

TEST(MarkerData, TarqUmkidWrapsInsteadOfOverflowing)
{
    // Figures from Python's integers reduced modulo 2^64.
    struct Case
    {
        int a;
        unsigned b;
        int c;
        int64_t want;
    };
    const Case cases[] = {
        {1, 2, 3, 10000200003LL},
        {0, 99999, 0, 9999900000LL},
        {INT_MAX, UINT_MAX, INT_MAX, 3028521895167432031LL},
        {INT_MIN, 0, INT_MIN, -3028092408437932032LL},
        {-1, UINT_MAX, -1, 429486729499999LL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KorGse::getTarqUmkid(c.a, c.b, c.c), c.want) << c.a << " " << c.b << " " << c.c;
}

} // namespace
