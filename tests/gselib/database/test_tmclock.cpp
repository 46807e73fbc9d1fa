#include "gselib/database/tmclock.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

using GseLib::TMClock;
using GseLib::TMClockMap;

namespace {

QString clockJson(const QString& epoch, const QString& table, const QString& extra = QString())
{
    return QStringLiteral(R"({"name": "c", "epoch": "%1", "leap_seconds": [%2] %3})").arg(epoch, table, extra);
}

long long unixOf(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0)
{
    return QDateTime(QDate(y, m, d), QTime(hh, mm, ss), Qt::UTC).toSecsSinceEpoch();
}

// The published leap-second list: the UTC dates from which TAI-UTC grew by one
// second, starting from TAI-UTC = 10 s on 1972-01-01 and ending at 37 s.
struct Leap
{
    int y, m, d;
};
const Leap PUBLISHED_LEAPS[] = {
    {1972, 7, 1}, {1973, 1, 1}, {1974, 1, 1}, {1975, 1, 1}, {1976, 1, 1}, {1977, 1, 1}, {1978, 1, 1},
    {1979, 1, 1}, {1980, 1, 1}, {1981, 7, 1}, {1982, 7, 1}, {1983, 7, 1}, {1985, 7, 1}, {1988, 1, 1},
    {1990, 1, 1}, {1991, 1, 1}, {1992, 7, 1}, {1993, 7, 1}, {1994, 7, 1}, {1996, 1, 1}, {1997, 7, 1},
    {1999, 1, 1}, {2006, 1, 1}, {2009, 1, 1}, {2012, 7, 1}, {2015, 7, 1}, {2017, 1, 1},
};

// TAI-UTC at a UTC instant (Unix seconds), from 1972 on.
int taiMinusUtc(long long unix)
{
    int n = 10;
    for (const Leap& l : PUBLISHED_LEAPS)
        if (unix >= unixOf(l.y, l.m, l.d))
            ++n;
    return n;
}

QString leapTable(long long fromUnix)
{
    QStringList entries;
    for (const Leap& l : PUBLISHED_LEAPS) {
        if (unixOf(l.y, l.m, l.d) <= fromUnix)
            continue;
        entries << QStringLiteral(R"({"datetime": "%1-%2-%3T00:00:00Z", "seconds": 1})")
                       .arg(l.y)
                       .arg(l.m, 2, 10, QLatin1Char('0'))
                       .arg(l.d, 2, 10, QLatin1Char('0'));
    }
    // Listed newest first, as some tables are: the clock sorts them.
    std::reverse(entries.begin(), entries.end());
    return entries.join(QStringLiteral(","));
}

} // namespace

TEST(TMClockConversion, LeapSecondStepsAsDefined)
{
    TMClock two(clockJson("1970-01-01T00:00:00", R"({"datetime": "1970-01-01T00:01:40", "seconds": 2})"));
    EXPECT_EQ(two.epochSeconds(), 0);
    ASSERT_EQ(two.leapSecondOffsets().size(), 1);
    EXPECT_EQ(two.leapSecondOffsets()[0].secsSinceEpoch, 100);
    EXPECT_EQ(two.toUnixTime(99, 0, 0), 99.0);
    EXPECT_EQ(two.toUnixTime(100, 0, 0), 99.0);
    EXPECT_EQ(two.toUnixTime(101, 0, 0), 99.0);
    EXPECT_EQ(two.toUnixTime(102, 0, 0), 100.0);

    TMClock one(clockJson("1970-01-01T00:00:00", R"({"datetime": "1970-01-01T00:01:40", "seconds": 1})"));
    EXPECT_EQ(one.toUnixTime(99, 0, 0), 99.0);
    EXPECT_EQ(one.toUnixTime(100, 0, 0), 99.0);
    EXPECT_EQ(one.toUnixTime(101, 0, 0), 100.0);

    // The same table listed in either order converts alike.
    const QString a = R"({"datetime": "1970-01-01T00:01:40", "seconds": 1})";
    const QString b = R"({"datetime": "1970-01-01T00:03:20", "seconds": 1})";
    TMClock asc(clockJson("1970-01-01T00:00:00", a + "," + b));
    TMClock desc(clockJson("1970-01-01T00:00:00", b + "," + a));
    EXPECT_EQ(asc, desc);
    for (long long s = 90; s < 220; ++s)
        EXPECT_EQ(asc.toUnixTime(s, 0, 0), desc.toUnixTime(s, 0, 0)) << s;
    EXPECT_EQ(desc.leapSecondOffsets()[1].cumulativeSeconds, 2);
    EXPECT_EQ(desc.toUnixTime(210, 0, 0), 208.0);
}

TEST(TMClockConversion, SubSecondsAndOffsets)
{
    TMClock c;
    EXPECT_EQ(c.toUnixTime(10, 128, 256), 10.5);
    EXPECT_EQ(c.toUnixTime(10, 128, 0), 10.0);
    c.setSubSecsPerSec(1000);
    EXPECT_DOUBLE_EQ(c.toUnixTime(10, 128, 256), 10.128);

    // Without an epoch the reading is Unix seconds less the offsets.
    TMClock noEpoch(QStringLiteral(R"({"name": "n", "leap_seconds_offset": 3})"));
    EXPECT_TRUE(noEpoch.epoch().isNull());
    EXPECT_EQ(noEpoch.epochSeconds(), 0);
    EXPECT_EQ(noEpoch.toUnixTime(1000, 0, 0), 997.0);

    // A malformed offset counts as 0; so do numbers past 32 bits and other types.
    for (const char* bad : {"1.5", "\"7\"", "4294967296", "true"}) {
        TMClock m(QStringLiteral(R"({"leap_seconds_offset": %1, "sub_seconds_per_second": %1})").arg(bad));
        EXPECT_EQ(m.initialLeapSecondsOffset(), 0) << bad;
        EXPECT_EQ(m.subSecsPerSec(), 0) << bad;
    }

    // Readings from damaged packets must not overflow.
    TMClock far(clockJson("2000-01-01T00:00:00", ""));
    EXPECT_TRUE(std::isfinite(far.toUnixTime(std::numeric_limits<long long>::max(), -1, 1)));
    EXPECT_TRUE(std::isfinite(far.toUnixTime(std::numeric_limits<long long>::min(), 0, 0)));
}

TEST(TMClockConversion, DateTimesReadAsUtc)
{
    TMClock c(clockJson("2000-01-01T00:00:00", ""));
    EXPECT_EQ(c.epoch().timeSpec(), Qt::UTC);
    EXPECT_EQ(c.epochSeconds(), 946684800);
    c.setEpoch(QStringLiteral("2000-01-01T00:00:00Z"));
    EXPECT_EQ(c.epochSeconds(), 946684800);
    // An explicit offset designates another instant.
    c.setEpoch(QStringLiteral("2000-01-01T01:00:00+01:00"));
    EXPECT_EQ(c.epochSeconds(), 946684800);
    c.setEpoch(QStringLiteral("not a date"));
    EXPECT_TRUE(c.epoch().isNull());
    EXPECT_EQ(c.epochSeconds(), 0);

    TMClock::LeapSecond fromLocal(QDateTime(QDate(2017, 1, 1), QTime(0, 0), Qt::LocalTime), 1);
    EXPECT_EQ(fromLocal.datetime.timeSpec(), Qt::UTC);
    EXPECT_EQ(fromLocal.datetime.toSecsSinceEpoch(), 1483228800);
}

TEST(TMClockConversion, BadTableEntryIsNeverReached)
{
    TMClock c(clockJson("1970-01-01T00:00:00",
                        R"({"datetime": "garbage", "seconds": 5}, {"datetime": "1970-01-01T00:01:40", "seconds": 1})"));
    ASSERT_EQ(c.leapSeconds().size(), 2);
    EXPECT_EQ(c.leapSeconds()[0].seconds, 1);
    EXPECT_FALSE(c.leapSeconds()[1].datetime.isValid());
    EXPECT_EQ(c.toUnixTime(50, 0, 0), 50.0);
    EXPECT_EQ(c.toUnixTime(1000000, 0, 0), 999999.0);
}

// Against the published leap-second list: a GPS clock (epoch 1980-01-06,
// GPS-UTC = 18 s since 2017-01-01) and a TAI clock (TAI-UTC = 10 s on
// 1972-01-01, 37 s now), both read from a clocks.txt.
TEST(TMClockPublishedLeapSeconds, GpsAndTaiAgreeWithTheList)
{
    TestSupport::TempDir dir;
    const long long gpsEpoch = unixOf(1980, 1, 6);
    const QString text = QStringLiteral(R"({"clocks": [
        {"name": "GPS", "epoch": "1980-01-06T00:00:00Z", "leap_seconds_offset": 0,
         "sub_seconds_per_second": 0, "leap_seconds": [%1]},
        {"name": "TAI", "epoch": "1958-01-01T00:00:00Z", "leap_seconds_offset": 10,
         "sub_seconds_per_second": 1000000, "leap_seconds": [%2]}]})")
                             .arg(leapTable(gpsEpoch), leapTable(unixOf(1972, 1, 1)));
    const QString path = dir.write("clocks.txt", text.toUtf8());

    TMClockMap clocks;
    TMClock::loadClocksFile(path, clocks);
    ASSERT_EQ(clocks.size(), 2u);
    const TMClock& gps = *clocks.at("GPS");
    const TMClock& tai = *clocks.at("TAI");
    EXPECT_EQ(gps.leapSeconds().size(), 18);
    EXPECT_EQ(tai.leapSeconds().size(), 27);
    EXPECT_EQ(tai.leapSecondOffsets().back().cumulativeSeconds, 27);
    EXPECT_EQ(gps.leapSecondOffsets().back().secsSinceEpoch, 1483228800); // 2017-01-01
    EXPECT_EQ(tai.leapSecondOffsets().front().secsSinceEpoch, 78796800);  // 1972-07-01

    // Today's offsets: GPS runs 18 s, TAI 37 s ahead of UTC.
    const long long now = unixOf(2024, 3, 5, 14, 7, 9);
    EXPECT_EQ(gps.toUnixTime(now - gpsEpoch + 18, 0, 256), static_cast<double>(now));
    EXPECT_EQ(tai.toUnixTime(now - unixOf(1958, 1, 1) + 37, 250000, 0), static_cast<double>(now) + 0.25);

    // Every second around every leap second of the list, and a second in the
    // middle of each interval, converts to the UTC second it belongs to.
    std::vector<long long> instants;
    for (const Leap& l : PUBLISHED_LEAPS) {
        const long long at = unixOf(l.y, l.m, l.d);
        for (long long s = at - 40; s <= at + 40; ++s)
            instants.push_back(s);
        instants.push_back(at + 86400 * 90);
    }
    for (long long u : instants) {
        const long long taiReading = u - unixOf(1958, 1, 1) + taiMinusUtc(u);
        EXPECT_EQ(tai.toUnixTime(taiReading, 0, 0), static_cast<double>(u)) << u;
        if (u >= gpsEpoch) {
            const long long gpsReading = u - gpsEpoch + taiMinusUtc(u) - 19;
            EXPECT_EQ(gps.toUnixTime(gpsReading, 0, 0), static_cast<double>(u)) << u;
        }
    }

    // The inserted second itself (23:59:60) reads as the second before it.
    const long long l2017 = 1483228800;
    EXPECT_EQ(gps.toUnixTime(l2017 - gpsEpoch + 17, 0, 0), static_cast<double>(l2017 - 1));
}

TEST(TMClockFile, LoadingAndItsMessages)
{
    TestSupport::TempDir dir;
    TestSupport::LogCapture log;
    TMClockMap clocks;

    const QString missing = dir.filePath("clocks.txt");
    TMClock::loadClocksFile(missing, clocks);
    EXPECT_TRUE(clocks.empty());
    EXPECT_EQ(log.texts("tmdb", DEBUG), QStringList{"Clocks not loaded...file does not exist: " + missing});

    log.clear();
    const QString bad = dir.write("bad/clocks.txt", "{\"clocks\": [");
    TMClock::loadClocksFile(bad, clocks);
    EXPECT_TRUE(clocks.empty());
    ASSERT_EQ(log.texts("tmdb", WARN).size(), 1);
    EXPECT_TRUE(log.texts("tmdb", WARN)[0].startsWith("Clock file parsing error: "));
    EXPECT_TRUE(log.contains("Loaded 0 clocks", "tmdb", DEBUG));

    log.clear();
    const QString arrayRoot = dir.write("array/clocks.txt", "[{\"name\": \"x\"}]");
    TMClock::loadClocksFile(arrayRoot, clocks);
    EXPECT_TRUE(clocks.empty());
    EXPECT_EQ(log.texts("tmdb"), (QStringList{"Loading clocks: " + arrayRoot, "Loaded 0 clocks"}));

    // A name that leads to a device is not read (a read of /dev/zero would never end).
    log.clear();
    ASSERT_TRUE(QDir().mkpath(dir.filePath("device")));
    const QString device = dir.filePath("device/clocks.txt");
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), device));
    TMClock::loadClocksFile(device, clocks);
    EXPECT_TRUE(clocks.empty());
    EXPECT_EQ(log.texts("tmdb"), (QStringList{"Loading clocks: " + device, "Loaded 0 clocks"}));

    // A later clock of the same name replaces the earlier; a malformed one is kept with defaults.
    const QString twice = dir.write(
        "twice/clocks.txt",
        R"({"clocks": [{"name": "A", "sub_seconds_per_second": 1}, {"name": "A", "sub_seconds_per_second": 2},
                       {"name": 5, "epoch": 7, "leap_seconds": {"x": 1}}]})");
    TMClock::loadClocksFile(twice, clocks);
    ASSERT_EQ(clocks.size(), 2u);
    EXPECT_EQ(clocks.at("A")->subSecsPerSec(), 2);
    const TMClock& defaults = *clocks.at("");
    EXPECT_EQ(defaults, TMClock());
}

TEST(TMClockForms, JsonRoundTripEqualityAndDebugText)
{
    TMClock c(clockJson("2000-01-01T00:00:00",
                        R"({"datetime": "2012-07-01T00:00:00", "seconds": 1},
                           {"datetime": "2009-01-01T00:00:00", "seconds": 2})",
                        R"(, "sub_seconds_per_second": 65536, "leap_seconds_offset": 4)"));
    const QJsonObject j = c.toJson();
    EXPECT_EQ(j.value("epoch").toString(), "2000-01-01T00:00:00Z");
    EXPECT_EQ(j.value("sub_seconds_per_second").toInt(), 65536);
    ASSERT_EQ(j.value("leap_seconds").toArray().size(), 2);
    EXPECT_EQ(j.value("leap_seconds").toArray()[0].toObject().value("datetime").toString(), "2009-01-01T00:00:00Z");
    EXPECT_EQ(TMClock(j), c);
    EXPECT_TRUE(TMClock().toJson().value("epoch").isNull());

    TMClock other = c;
    other.setName("C");
    EXPECT_NE(other, c);
    other = c;
    other.setLeapSecondsTable({TMClock::LeapSecond(QStringLiteral("2012-07-01T00:00:00"), 1)});
    EXPECT_NE(other, c);

    QString text;
    QDebug(&text) << TMClock(clockJson("2000-01-01T00:00:00", R"({"datetime": "2009-01-01T00:00:00", "seconds": 2})"));
    EXPECT_EQ(text,
              "TMClock ( \n\tname= \"c\" \n\tepoch= \"2000-01-01T00:00:00Z\" \n\tsubsecspersec= 0 "
              "\n\tleap_seconds_offset= 0 \n\tleap_seconds: [ \n\t\t \"2009-01-01T00:00:00Z\"   2 \n\t]\n) ");
}
