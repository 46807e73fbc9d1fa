#include "tools/util/datetimeutil.h"

#include <QRegularExpression>

#include <climits>
#include <sys/time.h>

namespace {
// A fixed offset makes Qt print +hh:mm instead of a zone name; offset 0 becomes UTC ("Z").
QDateTime nowWithFixedOffset()
{
    QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    if (offset == 0)
        return now.toUTC();
    now.setOffsetFromUtc(offset);
    return now;
}

QDateTime utcFromMsecs(long long msecs)
{
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

QDateTime localFromMsecs(long long msecs)
{
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::LocalTime);
}

const QString kFileNamePattern = QStringLiteral("yyyy-MM-dd'T'hh-mm-ss");
const QString kFileNamePatternMs = QStringLiteral("yyyy-MM-dd'T'hh-mm-ss-zzz");
} // namespace

double ms_clock()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return double(tv.tv_sec) * 1000.0 + double(tv.tv_usec) / 1000.0;
}

double getTime()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

QString currentDateTimeIso()
{
    return nowWithFixedOffset().toString(Qt::ISODate);
}

QString currentDateTimeIsoMsecs()
{
    return nowWithFixedOffset().toString(Qt::ISODateWithMs);
}

QString currentDateTime()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("MM-dd-yy hh:mm:ss "));
}

QString currentDateTime2()
{
    return QDateTime::currentDateTime().toString(kFileNamePattern);
}

QString currentDateTimeMs()
{
    return QDateTime::currentDateTime().toString(kFileNamePatternMs);
}

QString currentDateTimeUtcMs()
{
    return QDateTime::currentDateTimeUtc().toString(kFileNamePatternMs);
}

QString todayIn8()
{
    return QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
}

QString toIsoUtcDateTimeStringFromMsecs(long long msecs)
{
    return utcFromMsecs(msecs).toString(Qt::ISODateWithMs);
}

QString toUtcDateTimeStringFromMsecs(long long msecs)
{
    return utcFromMsecs(msecs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

QString toFileNameDateTime(long long msecs)
{
    return localFromMsecs(msecs).toString(kFileNamePattern);
}

QString toUtcFileNameDateTime(long long msecs)
{
    return utcFromMsecs(msecs).toString(kFileNamePattern);
}

QString toUtcFileNameDateTimeWithMsecs(long long msecs)
{
    return utcFromMsecs(msecs).toString(kFileNamePatternMs);
}

QString toFileNameDate(const QDate& date)
{
    return date.toString(QStringLiteral("yyyy-MM-dd"));
}

QString dateTimeFn(const char* extension, const char* tag, const char* folder, QDateTime dateTime)
{
    QString name = QStringLiteral("%1-%2").arg(dateTime.date().toString(QStringLiteral("yyyy-MM-dd")),
                                               dateTime.time().toString(QStringLiteral("hh.mm.ss")));
    if (tag)
        name += QLatin1Char('-') + QString::fromUtf8(tag);
    if (extension)
        name += QLatin1Char('.') + QString::fromUtf8(extension);
    if (folder)
        return QString::fromUtf8(folder) + QLatin1Char('/') + name;
    return name;
}

int parseDurationToSecs(const QString& text, bool* ok)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(?:(\\d+)[dD])?(?:(\\d+)[hH])?(?:(\\d+)[mM])?(?:(\\d+)[sS])?$"));
    static const long long unit[] = {86400, 3600, 60, 1};

    QString compact = text;
    compact.remove(QLatin1Char(' '));
    const QRegularExpressionMatch m = pattern.match(compact);
    bool fits = m.hasMatch();
    long long total = 0;
    for (int i = 0; fits && i < 4; ++i) {
        const QStringView part = m.capturedView(i + 1);
        if (part.isEmpty())
            continue;
        bool partOk = false;
        const int value = part.toInt(&partOk);
        // Each part and the total must fit 32 bits; a wrapped or zeroed count is a wrong answer.
        fits = partOk;
        total += value * unit[i];
        fits = fits && total <= INT_MAX;
    }
    if (ok)
        *ok = fits;
    return fits ? static_cast<int>(total) : -1;
}
