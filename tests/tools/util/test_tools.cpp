#include "tools/util/tools.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QAbstractSocket>
#include <QDir>
#include <QTimeZone>

#include <ctime>
#include <memory>

using Fields = std::vector<std::string>;

TEST(ToolsSplit, EmptyFieldsAreKept)
{
    EXPECT_EQ(Tools::split("a,,b", ","), Fields({"a", "", "b"}));
    EXPECT_EQ(Tools::split("a,b,", ","), Fields({"a", "b", ""}));
    EXPECT_EQ(Tools::split("", ","), Fields({""}));
    EXPECT_EQ(Tools::split(",", ","), Fields({"", ""}));
    EXPECT_EQ(Tools::split("1.5, 2;3", ",;"), Fields({"1.5", " 2", "3"}));
    EXPECT_EQ(Tools::split("no separators", ","), Fields({"no separators"}));
    EXPECT_EQ(Tools::split("a,b", ""), Fields({"a,b"}));
    EXPECT_EQ(Tools::split("a,b", nullptr), Fields({"a,b"}));
}

TEST(ToolsOpenPlainFile, OnlyPlainFilesAreOpened)
{
    TestSupport::TempDir dir;
    QFile plain(dir.write("a.txt", "text"));
    ASSERT_TRUE(Tools::openPlainFile(plain));
    EXPECT_EQ(plain.readAll(), "text");

    // A folder, a device, a link to a device and a missing name stay closed.
    const QString link = dir.filePath("zero");
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), link));
    for (const QString& name : {dir.path(), QStringLiteral("/dev/zero"), link, dir.filePath("missing")}) {
        QFile file(name);
        EXPECT_FALSE(Tools::openPlainFile(file)) << name.toStdString();
        EXPECT_FALSE(file.isOpen()) << name.toStdString();
    }
}

TEST(ToolsEnumName, KeyOfTheValueOrEmpty)
{
    EXPECT_EQ(Tools::enumName(QAbstractSocket::ConnectedState), "ConnectedState");
    EXPECT_EQ(Tools::enumName(QAbstractSocket::RemoteHostClosedError), "RemoteHostClosedError");
    EXPECT_EQ(Tools::enumName(static_cast<QAbstractSocket::SocketState>(99)), "");
}

namespace {

QDateTime utc(int y, int m, int d, int h = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, 0), Qt::UTC);
}

class DateFolders : public ::testing::Test
{
protected:
    // Three dated folders; each named file gets the text of its folder.
    void SetUp() override
    {
        tmp.write("2020-01-01/db.txt", "2020");
        tmp.write("2021-01-01/db.txt", "2021");
        tmp.write("2022-01-01/db.txt", "2022");
    }
    std::string find(const QDateTime& t, const QString& filter = "*.txt")
    {
        return Tools::findFileInLowerDir(tmp.path(), t, filter, "yyyy-MM-dd").toStdString();
    }
    std::string path(const QString& rel) const { return QDir(tmp.path()).absoluteFilePath(rel).toStdString(); }

    TestSupport::TempDir tmp;
};

} // namespace

TEST_F(DateFolders, LatestFolderStrictlyBeforeTheTime)
{
    EXPECT_EQ(find(utc(2021, 6, 15)), path("2021-01-01/db.txt"));
    EXPECT_EQ(find(utc(2030, 1, 1)), path("2022-01-01/db.txt"));
    // Equal to a folder's date: the folder before it.
    EXPECT_EQ(find(utc(2021, 1, 1)), path("2020-01-01/db.txt"));
    EXPECT_EQ(find(utc(2022, 1, 1)), path("2021-01-01/db.txt"));
    // Before every folder, or equal to the earliest: the earliest folder.
    EXPECT_EQ(find(utc(2019, 1, 1)), path("2020-01-01/db.txt"));
    EXPECT_EQ(find(utc(2020, 1, 1)), path("2020-01-01/db.txt"));
}

TEST_F(DateFolders, GoesBackButNeverForward)
{
    QFile::remove(tmp.filePath("2021-01-01/db.txt"));
    tmp.write("2021-01-01/other.dat", "x");
    EXPECT_EQ(find(utc(2021, 6, 15)), path("2020-01-01/db.txt"));
    QFile::remove(tmp.filePath("2020-01-01/db.txt"));
    // Only the 2022 folder still matches, and it lies after the time.
    EXPECT_EQ(find(utc(2021, 6, 15)), "");
    EXPECT_EQ(find(utc(2019, 6, 15)), "");
    EXPECT_EQ(find(utc(2022, 6, 15)), path("2022-01-01/db.txt"));
}

TEST_F(DateFolders, FirstMatchInCaseInsensitiveNameOrder)
{
    tmp.write("2021-01-01/B.txt", "b");
    tmp.write("2021-01-01/a.txt", "a");
    tmp.write("2021-01-01/.hidden.txt", "h");
    tmp.write("2021-01-01/C.txt/inner", "a folder, not a file");
    EXPECT_EQ(find(utc(2021, 6, 15)), path("2021-01-01/a.txt"));
    EXPECT_EQ(find(utc(2021, 6, 15), "b*"), path("2021-01-01/B.txt"));
    EXPECT_EQ(find(utc(2021, 6, 15), "C*"), "");
}

TEST_F(DateFolders, FailuresGiveTheEmptyText)
{
    EXPECT_EQ(Tools::findFileInLowerDir(tmp.filePath("missing"), utc(2021, 6, 1), "*", "yyyy-MM-dd"), "");
    EXPECT_EQ(Tools::findFileInLowerDir("", utc(2021, 6, 1), "*", "yyyy-MM-dd"), "");
    // Not UTC: nothing is converted.
    const QDateTime local(QDate(2021, 6, 15), QTime(0, 0), Qt::LocalTime);
    EXPECT_EQ(find(local), "");
    EXPECT_EQ(find(QDateTime(QDate(2021, 6, 15), QTime(0, 0), Qt::OffsetFromUTC, 3600)), "");
    EXPECT_EQ(find(QDateTime(QDate(2021, 6, 15), QTime(0, 0), QTimeZone("Europe/London"))), "");
    EXPECT_EQ(find(utc(2021, 6, 15), "*.none"), "");

    TestSupport::TempDir empty;
    empty.write("loose.txt", "not in a dated folder");
    EXPECT_EQ(Tools::findFileInLowerDir(empty.path(), utc(2021, 6, 1), "*.txt", "yyyy-MM-dd"), "");
}

TEST_F(DateFolders, FoldersThatAreNoDatesAreSkipped)
{
    // A file in the parent folder itself must not be found through an unreadable name.
    tmp.write("db.txt", "parent");
    tmp.write("junk/db.txt", "junk");
    tmp.write("2021-13-45/db.txt", "bad date");
    tmp.write(".2019-01-01/db.txt", "hidden folder");
    EXPECT_EQ(find(utc(2019, 6, 1)), path("2020-01-01/db.txt"));
    QFile::remove(tmp.filePath("2020-01-01/db.txt"));
    EXPECT_EQ(find(utc(2020, 6, 1)), "");
    EXPECT_EQ(find(utc(2021, 6, 1)), path("2021-01-01/db.txt"));
    EXPECT_EQ(find(utc(2022, 6, 1)), path("2022-01-01/db.txt"));
}

TEST(DateFolderNames, ReadAsUtcWhateverTheMachineZone)
{
    // 2018-11-04 00:00 does not exist in Sao Paulo (the clocks went from 00:00 to 01:00);
    // read as local time first, the folder would date from 01:00 and come after 00:30.
    TestSupport::TempDir tmp;
    tmp.write("2018-11-03/db.txt", "x");
    tmp.write("2018-11-04/db.txt", "x");
    auto env = std::make_unique<TestSupport::ScopedEnv>("TZ", "America/Sao_Paulo");
    tzset();
    const QDateTime time(QDate(2018, 11, 4), QTime(0, 30), Qt::UTC);
    const QString found = Tools::findFileInLowerDir(tmp.path(), time, "db.txt", "yyyy-MM-dd");
    env.reset();
    tzset();
    EXPECT_EQ(found, QDir(tmp.path()).absoluteFilePath("2018-11-04/db.txt"));
}
