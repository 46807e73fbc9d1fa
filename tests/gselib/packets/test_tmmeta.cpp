#include "gselib/packets/tmmeta.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QThread>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

using namespace GseLib;

namespace {

QByteArray metaText(const QString& mission, int version, const QString& extra = QString())
{
    return QStringLiteral(R"({"gse": {"version": %1, "mission": "%2", "model": "fm",
        "patch_files": ["p1.txt", "P2"], "tid": 4711, "tid_dir": "2023-05-01-13.45.10_12345",
        "tmfile_name": "run.dat", "default_mcal": "cal.mcal", "dac_table": "dac.txt", "other": 1}%3})")
        .arg(version)
        .arg(mission, extra)
        .toUtf8();
}

void touchLater(const QString& path)
{
    // Modification times decide which side file is newest.
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime);
}

} // namespace

TEST(TmMeta, ArchiveSideFileLookupOrder)
{
    TestSupport::TempDir dir;
    const QString archive = dir.write("run.dat", "data");
    dir.write("run.dat.meta", metaText("kora", 3));
    dir.write("tm.meta", metaText("tolva", 3));
    dir.write("zz.meta", metaText("hoba", 3));

    TmMeta viaArchive(archive);
    EXPECT_TRUE(viaArchive.valid);
    EXPECT_EQ(viaArchive.mission, "kora");
    EXPECT_EQ(viaArchive.fileName(), QFileInfo(dir.filePath("run.dat.meta")).absoluteFilePath());
    EXPECT_EQ(viaArchive.folder, QFileInfo(archive).absolutePath());

    QFile::remove(dir.filePath("run.dat.meta"));
    EXPECT_EQ(TmMeta(archive).mission, "tolva");

    QFile::remove(dir.filePath("tm.meta"));
    dir.write("aa.meta", metaText("jyr", 3));
    touchLater(dir.filePath("aa.meta"));
    EXPECT_EQ(TmMeta(archive).mission, "jyr"); // newest *.meta

    // A folder path is searched; a side file path is read directly.
    EXPECT_EQ(TmMeta(dir.path()).mission, "jyr");
    EXPECT_EQ(TmMeta(dir.filePath("zz.meta")).mission, "hoba");
    const QString json = dir.write("x.json", metaText("kora", 1));
    EXPECT_EQ(TmMeta(json).mission, "kora");

    TmMeta none(dir.filePath("nothing/here"));
    EXPECT_FALSE(none.valid);
    EXPECT_EQ(none.folder, dir.filePath("nothing/here"));
}

TEST(TmMeta, SideFileThatIsNoPlainFileIsNotRead)
{
    // Opening a pipe without a writer would wait for one for ever.
    TestSupport::TempDir dir;
    const QString archive = dir.write("run.dat", "data");
    const QByteArray pipe = dir.filePath("run.dat.meta").toLocal8Bit();
    ASSERT_EQ(mkfifo(pipe.constData(), 0600), 0);

    auto meta = std::async(std::launch::async, [&] { return TmMeta(archive); });
    if (meta.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // A writer that comes and goes lets the reader on to the end of the data.
        const int writer = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
        meta.wait();
        FAIL() << "the pipe was opened";
    }
    EXPECT_FALSE(meta.get().valid);
}

TEST(TmMeta, TmMetaIsPreferredOverNewerMetaFiles)
{
    TestSupport::TempDir dir;
    dir.write("tm.meta", metaText("tolva", 3));
    dir.write("b.meta", metaText("kora", 3));
    touchLater(dir.filePath("b.meta"));
    EXPECT_EQ(TmMeta(dir.path()).mission, "tolva");
}

TEST(TmMeta, FilesWithoutVersionAreNotValid)
{
    TestSupport::TempDir dir;
    dir.write("tm.meta", R"({"gse": {"mission": "kora"}})");
    TmMeta noVersion(dir.path());
    EXPECT_FALSE(noVersion.valid);
    EXPECT_EQ(noVersion.version, 0);
    dir.write("tm.meta", R"({"annotations": []})");
    EXPECT_FALSE(TmMeta(dir.path()).valid);
    dir.write("tm.meta", "not json");
    EXPECT_FALSE(TmMeta(dir.path()).valid);
    TmMeta direct;
    EXPECT_FALSE(direct.parseFile(dir.filePath("missing.meta")));
    EXPECT_FALSE(direct.valid);
    EXPECT_EQ(direct.tid, 0);
}

TEST(TmMeta, VersionsDecideWhichKeysAreRead)
{
    TestSupport::TempDir dir;
    TmMeta m;
    ASSERT_TRUE(m.parseFile(dir.write("v1.meta", metaText("kora", 1))));
    EXPECT_EQ(m.version, 1);
    EXPECT_EQ(m.model, "fm");
    EXPECT_EQ(m.patchFiles, (QStringList{"p1.txt", "P2"}));
    EXPECT_EQ(m.tid, 4711);
    EXPECT_EQ(m.tmfileName, "run.dat");
    EXPECT_TRUE(m.defaultMcal.isEmpty());
    EXPECT_TRUE(m.dacTable.isEmpty());
    ASSERT_TRUE(m.parseFile(dir.write("v2.meta", metaText("kora", 2))));
    EXPECT_EQ(m.defaultMcal, "cal.mcal");
    EXPECT_TRUE(m.dacTable.isEmpty());
    ASSERT_TRUE(m.parseFile(dir.write("v3.meta", metaText("kora", 3))));
    EXPECT_EQ(m.dacTable, "dac.txt");

    TestSupport::LogCapture log;
    ASSERT_TRUE(m.parseFile(dir.write("v9.meta", metaText("kora", 9))));
    EXPECT_EQ(m.version, 9);
    EXPECT_EQ(m.dacTable, "dac.txt");
    EXPECT_TRUE(log.contains("tm.meta version 9 higher than supported version 3. Attempting to parse anyways."));
}

TEST(TmMeta, SavingWritesVersionThreeAndKeepsOtherMembers)
{
    TestSupport::TempDir dir;
    dir.write("tm.meta", metaText("kora", 2, R"(, "user": {"a": [1, 2]}, "annotations": [
        {"key": 3, "x": 1.5, "text": "look", "relevant_hkids": [10, 11]}])"));
    TmMeta m(dir.path());
    ASSERT_TRUE(m.valid);
    ASSERT_EQ(m.annotations.size(), 1);
    EXPECT_EQ(m.annotations[0].text, "look");
    EXPECT_EQ(m.annotations[0].relevantHkids, (QList<int>{10, 11}));
    m.addAnnotation(Annotation(4, 2.0, "second", {}));

    TestSupport::TempDir out;
    ASSERT_TRUE(m.save(out.path()));
    QFile f(out.filePath("tm.meta"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QJsonObject doc = QJsonDocument::fromJson(f.readAll()).object();
    const QJsonObject gse = doc.value("gse").toObject();
    EXPECT_EQ(gse.value("version").toInt(), 3);
    EXPECT_TRUE(gse.contains("dac_table"));
    EXPECT_EQ(gse.value("dac_table").toString(), "");
    EXPECT_FALSE(gse.contains("other")); // unknown members of "gse" are dropped
    EXPECT_EQ(doc.value("user").toObject().value("a").toArray().size(), 2);
    EXPECT_EQ(doc.value("annotations").toArray().size(), 2);

    TmMeta back(out.path());
    EXPECT_EQ(back.version, 3);
    EXPECT_EQ(back.mission, "kora");
    EXPECT_EQ(back.defaultMcal, "cal.mcal");
    EXPECT_EQ(back.annotations.size(), 2);

    TmMeta nowhere;
    EXPECT_FALSE(nowhere.save());
    EXPECT_FALSE(m.save(out.filePath("no/such/folder")));
}

TEST(TmMeta, GroupMissionAndTestDate)
{
    TmMeta m;
    m.mission = "kora";
    m.model = "fm";
    EXPECT_EQ(m.configVekGroup(), "KORA_FM");
    m.model.clear();
    EXPECT_EQ(m.configVekGroup(), "KORA");
    EXPECT_TRUE(m.isMission("KORA"));
    EXPECT_TRUE(m.isMission(Gse::MISSION_KORA));
    EXPECT_FALSE(m.isMission(Gse::MISSION_TOLVA));
    EXPECT_EQ(Gse::MISSION_HOBA, "hoba");
    EXPECT_EQ(Gse::MISSION_JYR, "jyr");

    m.tidDir = "2023-05-01-13.45.10_12345";
    const QDateTime t = m.datetimeFromTidDir();
    ASSERT_TRUE(t.isValid());
    EXPECT_EQ(t.timeZone().id(), QByteArray("America/New_York"));
    EXPECT_EQ(t.date(), QDate(2023, 5, 1));
    EXPECT_EQ(t.time(), QTime(13, 45, 10));
    EXPECT_EQ(t.toUTC(), QDateTime(QDate(2023, 5, 1), QTime(17, 45, 10), QTimeZone::utc()));
    m.tidDir = "2023-05-01-13.45";
    EXPECT_FALSE(m.datetimeFromTidDir().isValid());
    m.tidDir = "2023-05-01-13.45.1";
    EXPECT_FALSE(m.datetimeFromTidDir().isValid());
    m.tidDir = "2023-05-01 13.45.10";
    EXPECT_FALSE(m.datetimeFromTidDir().isValid());
    m.tidDir = "2023_05_01_13_45_10_1";
    EXPECT_FALSE(m.datetimeFromTidDir().isValid());
}

TEST(TmMeta, TestDateDoesNotDependOnTheLocalZone)
{
    // 02:30 on 2023-03-26 does not exist in Berlin (clocks jump to 03:00) but
    // does in New York, where the test folders are named.
    TestSupport::ScopedEnv tz("TZ", "Europe/Berlin");
    tzset();
    TmMeta m;
    m.tidDir = "2023-03-26-02.30.00_1";
    const QDateTime t = m.datetimeFromTidDir();
    ASSERT_TRUE(t.isValid());
    EXPECT_EQ(t.toUTC(), QDateTime(QDate(2023, 3, 26), QTime(6, 30), QTimeZone::utc()));
}

TEST(Annotation, EqualityAndConversions)
{
    Annotation a(1, 2.0, "t", {5, 6});
    Annotation b(1, 2.000001, "t", {5, 6});
    EXPECT_TRUE(a.operator==(b)); // member form: x within 1e-5
    EXPECT_FALSE(a.operator!=(b));
    EXPECT_FALSE(GseLib::operator==(a, b)); // free form: x exactly equal
    EXPECT_TRUE(GseLib::operator!=(a, b));
    EXPECT_TRUE(GseLib::operator==(a, Annotation(1, 2.0, "t", {5, 6})));
    Annotation c(1, 2.0, "t", {6, 5});
    EXPECT_FALSE(a == c);

    QMap<QString, QVariant> map{{"key", 9}, {"text", "n"}, {"relevant_hkids", QVariantList{1, 2}}};
    const Annotation fromMap = Annotation::fromMap(map);
    EXPECT_EQ(fromMap.key, 9);
    EXPECT_EQ(fromMap.x, 0.0);
    EXPECT_EQ(fromMap.relevantHkidsStringList(), (QStringList{"1", "2"}));
    EXPECT_EQ(fromMap.relevantHkidsVariantList(), (QVariantList{1, 2}));
    const auto list = Annotation::fromVariantList(Annotation::toJsonArray({a, c}).toVariantList());
    ASSERT_EQ(list.size(), 2);
    EXPECT_TRUE(GseLib::operator==(list[0], a));
    EXPECT_EQ(list[1].relevantHkids, (QList<int>{6, 5}));

    QString text;
    QDebug(&text) << a;
    EXPECT_EQ(text, "Annotation(Key: 1 x: 2 text: \"t\" hkids: QList(5, 6)) ");
}
