#include "tools/util/datetimeutil.h"
#include "tools/util/svn.h"
#include "tools/util/timestamp.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <climits>
#include <ctime>
#include <memory>

namespace {

// Pins the process time zone for one test and restores it afterwards.
class PinnedZone
{
public:
    explicit PinnedZone(const char* zone) : env_(std::make_unique<TestSupport::ScopedEnv>("TZ", zone))
    {
        tzset();
    }
    ~PinnedZone()
    {
        env_.reset();
        tzset();
    }

private:
    std::unique_ptr<TestSupport::ScopedEnv> env_;
};

bool matches(const QString& pattern, const QString& text)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

// 2024-03-05T19:07:09.123Z (14:07:09 in New York, standard time).
constexpr long long kMarch = 1709665629123LL;
// 2024-07-04T16:00:00.000Z (12:00:00 in New York, daylight time).
constexpr long long kJuly = 1720108800000LL;

} // namespace

TEST(TimeText, TimestampsInUtc)
{
    PinnedZone zone("America/New_York");
    EXPECT_EQ(toIsoUtcDateTimeStringFromMsecs(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(toIsoUtcDateTimeStringFromMsecs(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(toIsoUtcDateTimeStringFromMsecs(kMarch), "2024-03-05T19:07:09.123Z");
    EXPECT_EQ(toUtcDateTimeStringFromMsecs(kMarch), "2024-03-05 19:07:09.123");
    EXPECT_EQ(toUtcFileNameDateTime(kMarch), "2024-03-05T19-07-09");
    EXPECT_EQ(toUtcFileNameDateTimeWithMsecs(kMarch), "2024-03-05T19-07-09-123");
    EXPECT_EQ(toFileNameDate(QDate(2024, 3, 5)), "2024-03-05");
}

TEST(TimeText, LocalFileNamesFollowTheZone)
{
    {
        PinnedZone zone("America/New_York");
        EXPECT_EQ(toFileNameDateTime(kMarch), "2024-03-05T14-07-09");
        EXPECT_EQ(toFileNameDateTime(kJuly), "2024-07-04T12-00-00");
    }
    {
        PinnedZone zone("UTC");
        EXPECT_EQ(toFileNameDateTime(kMarch), "2024-03-05T19-07-09");
    }
}

TEST(TimeText, CurrentTimeForms)
{
    {
        PinnedZone zone("UTC");
        EXPECT_TRUE(matches(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)", currentDateTimeIso())) << currentDateTimeIso().toStdString();
        EXPECT_TRUE(matches(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)", currentDateTimeIsoMsecs()));
    }
    {
        PinnedZone zone("Asia/Kolkata"); // +05:30 all year
        EXPECT_TRUE(matches(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+05:30)", currentDateTimeIso()))
            << currentDateTimeIso().toStdString();
        EXPECT_TRUE(matches(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+05:30)", currentDateTimeIsoMsecs()));
        const QString iso = currentDateTimeIso();
        const QDateTime parsed = QDateTime::fromString(iso, Qt::ISODate);
        EXPECT_LE(qAbs(parsed.secsTo(QDateTime::currentDateTimeUtc())), 5);
    }
    {
        PinnedZone zone("America/New_York");
        EXPECT_TRUE(matches(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d-0[45]:00)", currentDateTimeIso()));
        EXPECT_TRUE(matches(R"(\d\d-\d\d-\d\d \d\d:\d\d:\d\d )", currentDateTime()));
        EXPECT_TRUE(matches(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d)", currentDateTime2()));
        EXPECT_TRUE(matches(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d-\d{3})", currentDateTimeMs()));
        EXPECT_TRUE(matches(R"(\d{8})", todayIn8()));
        // Local and UTC forms differ by the zone's 4 or 5 hours.
        const QDateTime local = QDateTime::fromString(currentDateTimeMs(), "yyyy-MM-dd'T'hh-mm-ss-zzz");
        const QDateTime utc = QDateTime::fromString(currentDateTimeUtcMs(), "yyyy-MM-dd'T'hh-mm-ss-zzz");
        ASSERT_TRUE(local.isValid() && utc.isValid());
        const qint64 diff = local.secsTo(utc);
        EXPECT_TRUE(qAbs(diff - 4 * 3600) <= 5 || qAbs(diff - 5 * 3600) <= 5) << diff;
    }
}

TEST(TimeText, ClocksAgreeWithTheSystemTime)
{
    const double ms = ms_clock();
    const double s = getTime();
    const double now = double(QDateTime::currentMSecsSinceEpoch());
    EXPECT_NEAR(ms, now, 2000.0);
    EXPECT_NEAR(s * 1000.0, now, 2000.0);
    EXPECT_GE(s * 1000.0 + 0.5, ms);
}

TEST(TimeText, DatedFileNames)
{
    const QDateTime dt(QDate(2024, 3, 5), QTime(14, 7, 9));
    EXPECT_EQ(dateTimeFn(nullptr, nullptr, nullptr, dt), "2024-03-05-14.07.09");
    EXPECT_EQ(dateTimeFn("txt", "run", "logs", dt), "logs/2024-03-05-14.07.09-run.txt");
    EXPECT_EQ(dateTimeFn("", "", "", dt), "/2024-03-05-14.07.09-.");
    EXPECT_EQ(dateTimeFn("d\xc3\xa4t", nullptr, nullptr, dt), QString::fromUtf8("2024-03-05-14.07.09.d\xc3\xa4t"));
}

TEST(Duration, ParsesDaysHoursMinutesSeconds)
{
    bool ok = false;
    EXPECT_EQ(parseDurationToSecs("1d 2h 3m 4s", &ok), 93784);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parseDurationToSecs("2H30M", &ok), 9000);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parseDurationToSecs(" 4 5 s", &ok), 45);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parseDurationToSecs("", &ok), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parseDurationToSecs("90", &ok), -1);
    EXPECT_FALSE(ok);
    EXPECT_EQ(parseDurationToSecs("3m2h", &ok), -1);
    EXPECT_FALSE(ok);
    EXPECT_EQ(parseDurationToSecs("5\ts", &ok), -1); // only blanks are removed
    EXPECT_FALSE(ok);
    EXPECT_EQ(parseDurationToSecs("-5s", &ok), -1);
    EXPECT_FALSE(ok);
    EXPECT_EQ(parseDurationToSecs("7m", nullptr), 420);
}

TEST(Duration, ValuesBeyond32BitsAreFailures)
{
    bool ok = false;
    EXPECT_EQ(parseDurationToSecs("2147483647s", &ok), INT_MAX);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parseDurationToSecs("24855d", &ok), 24855 * 86400);
    EXPECT_TRUE(ok);
    // A part too large for 32 bits.
    EXPECT_EQ(parseDurationToSecs("2147483648s", &ok), -1);
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_EQ(parseDurationToSecs("99999999999999999999999h", &ok), -1);
    EXPECT_FALSE(ok);
    // Parts that fit, products or sums that do not.
    ok = true;
    EXPECT_EQ(parseDurationToSecs("24856d", &ok), -1);
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_EQ(parseDurationToSecs("24855d2147483647s", &ok), -1);
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_EQ(parseDurationToSecs("596524h", &ok), -1);
    EXPECT_FALSE(ok);
}

TEST(TimeStampText, ReadsQtTextDateInLocalTime)
{
    {
        PinnedZone zone("America/New_York");
        EXPECT_EQ(TimeStamp::timeFromString("Tue Mar 5 14:07:09 2024"), 1709665629LL);
        EXPECT_EQ(TimeStamp::timeFromString("Thu Jul 4 12:00:00 2024"), 1720108800LL);
    }
    {
        PinnedZone zone("UTC");
        EXPECT_EQ(TimeStamp::timeFromString("Tue Mar 5 19:07:09 2024"), 1709665629LL);
    }
}

TEST(SvnKeyword, RevisionNumbersAndTexts)
{
    const QString keyword = SVN::makeRevisionString("1234");
    EXPECT_EQ(keyword, "$Revision: 1234 $");
    EXPECT_EQ(SVN::parseSvnRevision(keyword), 1234);
    EXPECT_EQ(SVN::parseSvnRevision("ID\tNAME\t$Revision: 77 $\tUNIT"), 77);
    EXPECT_EQ(SVN::parseSvnRevision("Revision: 1234"), -1);
    EXPECT_EQ(SVN::parseSvnRevision(SVN::makeRevisionString("abc")), -1);
    // The greedy ".*:" takes the digits after the last colon.
    EXPECT_EQ(SVN::parseSvnRevision("$Id: a.txt 12 2024-03-05 14:07:09 $"), 9);
    EXPECT_EQ(SVN::parseSvnRevision("$Revision: 99999999999 $"), 0);

    EXPECT_EQ(SVN::parseSvnRevisionAsString(keyword), "1234");
    EXPECT_EQ(SVN::parseSvnRevisionAsString("$Revision: r12_b $"), "r12_b");
    EXPECT_TRUE(SVN::parseSvnRevisionAsString("no keyword").isNull());
    EXPECT_TRUE(SVN::parseSvnRevisionAsString("$Rev: 5 $").isNull());
}
