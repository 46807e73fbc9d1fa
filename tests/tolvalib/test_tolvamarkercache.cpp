// The second instrument's marker cache over a generated marker archive
// (scripts/gen_tolva.py, markers.json): the closed and open intervals, the
// signals in order, the log lines byte for byte, and growth of the archive.
// Start times and ISO texts come from Python's datetime.
#include "tolvalib/tolvamarkercache.h"

#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetryfile.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/tempdir.h"
#include "tolvagenerated.h"
#include "tolvalib/tolvaccsdspacket.h"
#include "tolvalib/tolvadatainterpretation.h"
#include "tolvalib/tolvapacketfamily.h"
#include "tolvalib/tolvatelemetrycache.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <cstdio>

using TolvaGse::Marker;
using TolvaGse::TolvaMarkerCache;

namespace {

class TolvaMarkers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(TolvaTest::generate(dir.path(), "markers.json", expected));

        // The packet cache accepts the APIDs that the hub's table allows.
        GseLib::DataInterpretation::init(&factory, false, nullptr, {});
        for (int apid = TolvaGse::ApidRange::FIRST; apid <= TolvaGse::ApidRange::LAST; ++apid) {
            GseLib::TMPacketTypeInfo info;
            info.valid = true;
            info.type = apid;
            info.minLength = 7;
            info.maxLength = 4090;
            GseLib::DataInterpretation::current()->packetTypes.insert(apid, info);
        }
        path = dir.filePath("markers/tm.bin");
        auto* cache = new TolvaGse::TolvaTelemetryCache;
        messages = std::tmpfile();
        cache->setMessageStream(messages);
        GseLib::TelemetryFile::setSharedCache(cache);
        GseLib::TelemetryFile::setSharedCacheFile(path.toStdString());
        cursor = std::make_shared<GseLib::TelemetryFile>();
    }

    void TearDown() override
    {
        GseLib::TelemetryFile::setSharedCache(nullptr);
        if (messages)
            std::fclose(messages);
    }

    static void expectMarker(const Marker& m, const QJsonObject& want, const std::string& where)
    {
        EXPECT_EQ(m.markerId(), uint32_t(want.value("id").toDouble())) << where;
        EXPECT_EQ(m.markerType(), uint32_t(want.value("type").toDouble())) << where;
        EXPECT_EQ(m.startTimeUnixMicroSecs(), int64_t(want.value("start").toDouble())) << where;
        EXPECT_EQ(m.endTimeUnixMicroSecs(), int64_t(want.value("end").toDouble())) << where;
        EXPECT_EQ(m.text(), TolvaTest::hex(want.value("text"))) << where;
        EXPECT_EQ(m.isComplete(), want.value("complete").toBool()) << where;
        EXPECT_EQ(m.durationMicroSecs(), int64_t(want.value("duration").toDouble())) << where;
        EXPECT_DOUBLE_EQ(m.durationSecs(), want.value("duration").toDouble() / 1e6) << where;
        EXPECT_DOUBLE_EQ(m.startTimeUnixSecs(), want.value("start").toDouble() / 1e6) << where;
        EXPECT_EQ(m.toNiceString(), want.value("nice").toString()) << where;
        EXPECT_EQ(QDateTime::fromMSecsSinceEpoch(m.startTimeUnixMicroSecs() / 1000, Qt::UTC)
                      .toString(Qt::ISODateWithMs),
                  want.value("start_iso").toString())
            << where;
    }

    static void expectMarkers(const QList<Marker>& got, const QJsonValue& want, const std::string& what)
    {
        const QJsonArray w = want.toArray();
        ASSERT_EQ(got.size(), w.size()) << what;
        for (qsizetype i = 0; i < got.size(); ++i)
            expectMarker(got[i], w[i].toObject(), what + " " + std::to_string(i));
    }

    // The cache's state, signals (in order, by both spies) and log lines against one expectation.
    void expectState(const TolvaMarkerCache& cache, const QJsonObject& want, const QList<QString>& order,
                     QSignalSpy& opened, QSignalSpy& closed, const std::string& what)
    {
        expectMarkers(cache.markers(), want.value("closed"), what + " closed");
        expectMarkers(cache.openMarkers(), want.value("open"), what + " open");
        EXPECT_EQ(cache.size(), want.value("closed").toArray().size()) << what;

        const QJsonArray events = want.value("events").toArray();
        ASSERT_EQ(order.size(), events.size()) << what;
        QList<Marker> openedWant, closedWant;
        qsizetype o = 0, c = 0;
        for (qsizetype i = 0; i < events.size(); ++i) {
            const QJsonArray e = events[i].toArray();
            EXPECT_EQ(order[i], e[0].toString()) << what << " event " << i;
            QSignalSpy& spy = e[0].toString() == "opened" ? opened : closed;
            qsizetype& k = e[0].toString() == "opened" ? o : c;
            ASSERT_LT(k, spy.size()) << what << " event " << i;
            expectMarker(spy.at(k++).at(0).value<Marker>(), e[1].toObject(),
                         what + " event " + std::to_string(i));
        }
        EXPECT_EQ(o, opened.size()) << what;
        EXPECT_EQ(c, closed.size()) << what;

        const QJsonArray lines = want.value("log").toArray();
        ASSERT_EQ(log.messages().size(), lines.size()) << what;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QJsonArray l = lines[i].toArray();
            const LoggerEventMsg& m = log.messages()[i];
            EXPECT_EQ(m.level, l[0].toString() == "WARN" ? WARN : DEBUG) << what << " line " << i;
            EXPECT_EQ(m.component, l[1].toString()) << what << " line " << i;
            EXPECT_EQ(m.text, l[2].toString()) << what << " line " << i;
            EXPECT_EQ(m.file, m.component == "marker_close" ? "tolvalib/tolvamarker" : "tolvalib/tolvamarkercache")
                << what << " line " << i;
        }
    }

    TestSupport::TempDir dir;
    TestSupport::LogCapture log;
    TolvaGse::TolvaDataInterpretationFactory factory;
    QJsonObject expected;
    QString path;
    FILE* messages = nullptr;
    std::shared_ptr<GseLib::TelemetryFile> cursor;
};

} // namespace

TEST_F(TolvaMarkers, ArchiveGivesTheGeneratedIntervalsSignalsAndLines)
{
    TolvaMarkerCache cache(cursor);
    QSignalSpy opened(&cache, &TolvaMarkerCache::markerIntervalOpened);
    QSignalSpy closed(&cache, &TolvaMarkerCache::markerIntervalClosed);
    QList<QString> order;
    QObject::connect(&cache, &TolvaMarkerCache::markerIntervalOpened, [&](const Marker&) { order << "opened"; });
    QObject::connect(&cache, &TolvaMarkerCache::markerIntervalClosed, [&](const Marker&) { order << "closed"; });
    EXPECT_TRUE(cache.isEmpty());
    cache.reload();
    const QJsonObject first = expected.value("first").toObject();
    expectState(cache, first, order, opened, closed, "first");

    // Matching by label: the flag changes nothing.
    const QJsonObject matching = first.value("matching").toObject();
    for (const QString& label : matching.keys()) {
        for (bool flag : {false, true}) {
            const QList<Marker> got = cache.matchingIntervals(label, flag);
            const QJsonArray want = matching.value(label).toArray();
            ASSERT_EQ(got.size(), want.size()) << label.toStdString() << " " << flag;
            for (qsizetype i = 0; i < want.size(); ++i)
                EXPECT_EQ(got[i].toNiceString(), cache.markers()[want[i].toInt()].toNiceString())
                    << label.toStdString();
        }
    }

    // Nothing new after the cursor; a second reload gives the same lists again.
    log.clear();
    const qsizetype signalled = order.size();
    const qsizetype openCount = cache.openMarkers().size();
    cache.refresh();
    EXPECT_EQ(order.size(), signalled);
    EXPECT_EQ(opened.size() + closed.size(), signalled);
    EXPECT_EQ(cache.size(), first.value("closed").toArray().size());
    EXPECT_EQ(cache.openMarkers().size(), openCount);
    EXPECT_TRUE(log.messages().isEmpty());
    const QList<Marker> before = cache.markers();
    cache.reload();
    ASSERT_EQ(cache.markers().size(), before.size());
    for (qsizetype i = 0; i < before.size(); ++i)
        EXPECT_EQ(cache.markers()[i].toNiceString(), before[i].toNiceString());
}

TEST_F(TolvaMarkers, RefreshReadsOnlyWhatTheArchiveGrewBy)
{
    TolvaMarkerCache cache(cursor);
    cache.reload();
    QSignalSpy opened(&cache, &TolvaMarkerCache::markerIntervalOpened);
    QSignalSpy closed(&cache, &TolvaMarkerCache::markerIntervalClosed);
    QList<QString> order;
    QObject::connect(&cache, &TolvaMarkerCache::markerIntervalOpened, [&](const Marker&) { order << "opened"; });
    QObject::connect(&cache, &TolvaMarkerCache::markerIntervalClosed, [&](const Marker&) { order << "closed"; });
    log.clear();

    QFile more(dir.filePath("markers/more.bin"));
    ASSERT_TRUE(more.open(QIODevice::ReadOnly));
    QFile archive(path);
    ASSERT_TRUE(archive.open(QIODevice::Append));
    archive.write(more.readAll());
    archive.close();
    GseLib::TelemetryFile::updateSharedCache();
    cache.refresh();
    expectState(cache, expected.value("more").toObject(), order, opened, closed, "more");

    // clear() forgets everything and rewinds: a refresh reads the whole archive.
    cache.clear();
    EXPECT_TRUE(cache.isEmpty());
    EXPECT_TRUE(cache.openMarkers().isEmpty());
    cache.refresh();
    expectMarkers(cache.markers(), expected.value("more").toObject().value("closed"), "after clear");
}

TEST_F(TolvaMarkers, SharedCacheIsReplacedAndTheOldOneDeleted)
{
    TolvaMarkerCache::initSharedCache(cursor);
    QPointer<TolvaMarkerCache> old = TolvaMarkerCache::cache_;
    ASSERT_FALSE(old.isNull());
    EXPECT_TRUE(old->isEmpty()); // reads nothing
    TolvaMarkerCache::initSharedCache(cursor);
    EXPECT_TRUE(old.isNull());
    ASSERT_NE(TolvaMarkerCache::cache_, nullptr);
    TolvaMarkerCache::cache_->reload();
    EXPECT_EQ(TolvaMarkerCache::cache_->size(), expected.value("first").toObject().value("closed").toArray().size());
    delete TolvaMarkerCache::cache_;
    TolvaMarkerCache::cache_ = nullptr;
}

TEST(TolvaMarker, DefaultBuiltAndRefusedClose)
{
    const Marker none;
    EXPECT_EQ(none.markerId(), 0u);
    EXPECT_FALSE(none.isComplete());
    EXPECT_EQ(none.toNiceString(), "lbl= id=0:0 start=1970-01-01T00:00:00.000Z end=1970-01-01T00:00:00.000Z dur=0s");

    // A packet built on the ground times itself: its marker starts now.
    TolvaGse::MarkerPacket packet;
    packet.setMarkerId(3);
    packet.setText("built");
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    Marker m(packet);
    EXPECT_NEAR(m.startTimeUnixSecs(), now, 2.0);
    EXPECT_EQ(m.text(), "built");

    TestSupport::LogCapture log;
    const double start = m.startTimeUnixSecs();
    EXPECT_FALSE(m.close(start - 1.0));
    EXPECT_EQ(m.endTimeUnixMicroSecs(), 0);
    ASSERT_EQ(log.messages().size(), 1);
    EXPECT_EQ(log.messages()[0].component, "marker_close");
    EXPECT_EQ(log.messages()[0].level, WARN);
    EXPECT_EQ(log.messages()[0].text, QStringLiteral("close time is earlier than start time t_start= %1 t_end= %2")
                                          .arg(m.startTimeUnixMicroSecs())
                                          .arg(int64_t((start - 1.0) * 1e6)));
    EXPECT_TRUE(m.close(start + 2.5));
    EXPECT_NEAR(double(m.durationMicroSecs()), 2500000.0, 2.0);
}
