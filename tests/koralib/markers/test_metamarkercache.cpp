#include "koralib/markers/metamarkercache.h"

#include "markerarchive.h"

#include <QTemporaryDir>

#include <iostream>

using KorGse::MetaMarker;
using KorGse::MetaMarkerCache;
using MarkerTest::GeneratedSet;

namespace {

class MetaMarkerCacheTest : public MarkerTest::SuiteTest
{
protected:
    void SetUp() override { ASSERT_TRUE(defs->generated); }

    // A cache built over the archive, with what its construction wrote.
    std::unique_ptr<MetaMarkerCache> build(const char* which, std::string* err = nullptr)
    {
        GeneratedSet::open(defs->archive(which));
        TestSupport::StreamCapture e(std::cerr);
        auto cache = std::make_unique<MetaMarkerCache>();
        if (err)
            *err = e.text();
        return cache;
    }
    QJsonArray expectedMarkers() const { return defs->expected.value("metaMarkers").toArray(); }
};

void expectMarkers(const QList<MetaMarker>& got, const QJsonArray& want, const char* where)
{
    SCOPED_TRACE(where);
    ASSERT_EQ(got.size(), want.size());
    for (qsizetype i = 0; i < got.size(); ++i) {
        const QJsonObject w = want.at(i).toObject();
        EXPECT_EQ(got[i].metaMarkerId, w.value("id").toInt()) << i;
        EXPECT_EQ(got[i].index, w.value("index").toInt()) << i;
        EXPECT_EQ(got[i].msg, w.value("text").toString().toStdString()) << i;
        EXPECT_NEAR(got[i].startRelativeTimeInSecs, w.value("start").toDouble(), 1e-6) << i;
        EXPECT_NEAR(got[i].endRelativeTimeInSecs, w.value("end").toDouble(), 1e-6) << i;
    }
}

TEST_F(MetaMarkerCacheTest, LoadsRulesInFileOrderAndFindsTheArchivesMetaMarkers)
{
    std::string err;
    auto cache = build("main", &err);
    // The duplicate id, the failing file's finding and its skip line, nothing
    // from the hidden file, the folder or the text file.
    QString want;
    for (const QJsonValue& v : defs->expected.value("resetStderr").toArray())
        want += v.toString() + "\n";
    EXPECT_EQ(QString::fromStdString(err), want);
    EXPECT_EQ(cache->testId(), 150);
    EXPECT_TRUE(cache->getMetaMarkers().isEmpty()) << "no packet is read before the first refresh";
    cache->refresh();
    expectMarkers(cache->getMetaMarkers(), expectedMarkers(), "first refresh");
    cache->refresh();
    expectMarkers(cache->getMetaMarkers(), expectedMarkers(), "second refresh, nothing new");
    {
        TestSupport::StreamCapture e(std::cerr);
        cache->reload();
        EXPECT_EQ(QString::fromStdString(e.text()), want) << "a reload reads the rules again";
    }
    expectMarkers(cache->getMetaMarkers(), expectedMarkers(), "after reload");
}

TEST_F(MetaMarkerCacheTest, MarkersAtATimeKeepTheirIndex)
{
    auto cache = build("main");
    cache->refresh();
    // The full list is checked against the generator above; here the probes
    // sit exactly on its records' ends and just beside them.
    const QList<MetaMarker> all = cache->getMetaMarkers();
    expectMarkers(all, expectedMarkers(), "full list");
    std::vector<double> probes;
    for (const MetaMarker& m : all)
        for (double t : {m.startRelativeTimeInSecs, m.endRelativeTimeInSecs})
            for (double d : {-1e-3, 0.0, 1e-3})
                probes.push_back(t + d);
    int inverted = 0;
    for (const MetaMarker& m : all)
        inverted += m.endRelativeTimeInSecs < m.startRelativeTimeInSecs ? 1 : 0;
    EXPECT_EQ(inverted, 1) << "the archive holds a record whose provisional end lies before its start";
    for (double t : probes) {
        std::vector<int> want;
        for (const MetaMarker& m : all)
            if (m.startRelativeTimeInSecs <= t && t <= m.endRelativeTimeInSecs)
                want.push_back(m.index);
        std::vector<int> got;
        for (const MetaMarker& m : cache->getMetaMarkers(t)) {
            got.push_back(m.index);
            EXPECT_EQ(m.metaMarkerId, all[m.index].metaMarkerId);
        }
        EXPECT_EQ(got, want) << t;
    }
    // At the exact start of the first record: it is included.
    ASSERT_FALSE(all.isEmpty());
    EXPECT_FALSE(cache->getMetaMarkers(all[0].startRelativeTimeInSecs).isEmpty());
}

TEST_F(MetaMarkerCacheTest, TestIdFromTheFolderNameWithoutTmMeta)
{
    auto withName = build("noMeta");
    EXPECT_EQ(withName->testId(), 150);
    withName->refresh();
    expectMarkers(withName->getMetaMarkers(), expectedMarkers(), "tid from the folder name");

    std::string err;
    auto without = build("noTid", &err);
    EXPECT_EQ(without->testId(), 0);
    EXPECT_EQ(without->generatorCount(), 0) << "no rule covers test 0 (\"1-2-3\" included)";
    // No duplicate line: the rules sharing an id do not apply.
    EXPECT_EQ(QString::fromStdString(err).count("Skipping duplicate"), 0);
    without->refresh();
    EXPECT_TRUE(without->getMetaMarkers().isEmpty());
}

TEST_F(MetaMarkerCacheTest, ANewSharedCacheDropsTheOldArchivesMarkers)
{
    auto cache = build("main");
    cache->refresh();
    ASSERT_FALSE(cache->getMetaMarkers().isEmpty());
    // As a later start-up on another archive without a reset.
    GeneratedSet::open(defs->archive("main"));
    TestSupport::StreamCapture e(std::cerr);
    cache->refresh();
    EXPECT_TRUE(cache->getMetaMarkers().isEmpty());
    EXPECT_TRUE(cache->getMetaMarkers(5.0).isEmpty());
    EXPECT_EQ(e.text(), "") << "nothing is written: the rules are read only by a reset";
    cache->resetState();
    cache->refresh();
    expectMarkers(cache->getMetaMarkers(), expectedMarkers(), "after the reset");
}

TEST_F(MetaMarkerCacheTest, AnOpenMarkerKeepsItsProvisionalEndWhenTheArchiveGrows)
{
    // Cut just after the packet of the third marker 100: the offset rule
    // (id 60006) opens there, the pump rule (60002) is open.
    QFile full(defs->archive("main"));
    ASSERT_TRUE(full.open(QIODevice::ReadOnly));
    const QByteArray bytes = full.readAll();
    const int cutPacket = defs->expected.value("events").toObject().value("M4").toInt() + 1;
    qsizetype cut = 0;
    for (int i = 0; i < cutPacket; ++i)
        cut += 8 + ((uint8_t(bytes[cut + 2]) << 8) | uint8_t(bytes[cut + 3])) + 4;
    QTemporaryDir dir;
    const QString folder = dir.filePath(QFileInfo(QFileInfo(defs->archive("main")).path()).fileName());
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::copy(QFileInfo(defs->archive("main")).path() + "/tm.meta", folder + "/tm.meta"));
    QFile part(folder + "/tm.tlm");
    ASSERT_TRUE(part.open(QIODevice::WriteOnly));
    part.write(bytes.left(cut));
    part.flush();
    GeneratedSet::open(part.fileName());
    TestSupport::StreamCapture e(std::cerr);
    MetaMarkerCache cache;
    cache.refresh();
    const double newestAtCut = defs->expected.value("packets").toArray().at(cutPacket - 1).toObject()
                                   .value("relativeTime").toDouble();
    auto find = [](const QList<MetaMarker>& list, int id, int nth) {
        for (const MetaMarker& m : list)
            if (m.metaMarkerId == id && nth-- == 0)
                return m;
        return MetaMarker();
    };
    EXPECT_NEAR(find(cache.getMetaMarkers(), 60006, 1).endRelativeTimeInSecs, newestAtCut, 1e-6);
    EXPECT_NEAR(find(cache.getMetaMarkers(), 60002, 0).endRelativeTimeInSecs, newestAtCut, 1e-6);

    part.write(bytes.mid(cut));
    part.close();
    {
        TestSupport::StderrCapture quiet;
        GseLib::TelemetryFile::updateSharedCache();
    }
    cache.refresh();
    // The pump marker closes on a later packet; the offset marker stays open
    // with the end it was given.
    const QJsonArray all = expectedMarkers();
    EXPECT_NEAR(find(cache.getMetaMarkers(), 60002, 0).endRelativeTimeInSecs,
                all.at(2).toObject().value("end").toDouble(), 1e-6);
    EXPECT_NEAR(find(cache.getMetaMarkers(), 60006, 1).endRelativeTimeInSecs, newestAtCut, 1e-6);
    EXPECT_EQ(cache.getMetaMarkers().size(), all.size());
}

TEST_F(MetaMarkerCacheTest, TheProcessWideInstance)
{
    GeneratedSet::open(defs->archive("main"));
    TestSupport::StreamCapture e(std::cerr);
    MetaMarkerCache& a = MetaMarkerCache::getInstance();
    EXPECT_EQ(&a, &MetaMarkerCache::getInstance());
    a.resetState();
    a.refresh();
    expectMarkers(a.getMetaMarkers(), expectedMarkers(), "the instance");
}

TEST(MetaMarkerTids, PiecesThatCoverATestId)
{
    struct Case
    {
        const char* tids;
        int tid;
        bool covers;
    };
    const Case cases[] = {
        {"100-200", 100, true},   {"100-200", 150, true},  {"100-200", 200, true}, {"100-200", 201, false},
        {"5, 7", 5, true},        {"5, 7", 7, true},       {"5, 7", 6, false},     {"200-100", 150, false},
        {"1-2-3", 0, false},      {"1-2-3", 1, false},     {"1-2-3", 2, false},    {"", 0, false},
        {" 150 ", 150, true},     {"a-5", 0, false},       {"-5", 0, false},       {"1,,2", 0, false},
        {"0", 0, true},           {" 3 - 9 ", 4, true},    {"12a", 12, false},     {"2147483648", 0, false},
        {"x, 8-9", 9, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KorGse::tidsCover(QString::fromUtf8(c.tids), c.tid), c.covers) << c.tids << " / " << c.tid;
}

} // namespace
