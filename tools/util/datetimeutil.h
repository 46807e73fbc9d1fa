#pragma once
// Current time and timestamps as text in the library's fixed formats, dated file
// names and duration texts. "Local" is the machine's time zone; millisecond
// timestamps count milliseconds since 1970-01-01T00:00:00 UTC.
#include <QDate>
#include <QDateTime>
#include <QString>

// Milliseconds and seconds since the Unix epoch, from the time of day (microseconds).
double ms_clock();
double getTime();

// Local time as ISO 8601 with the numeric UTC offset (or "Z" when the zone is at
// UTC), without fractions, e.g. 2024-03-05T14:07:09+01:00.
QString currentDateTimeIso();
// The same with milliseconds, e.g. 2024-03-05T14:07:09.123+01:00.
QString currentDateTimeIsoMsecs();
// Local "MM-dd-yy hh:mm:ss " (ends in a blank).
QString currentDateTime();
// Local "yyyy-MM-ddThh-mm-ss".
QString currentDateTime2();
// Local "yyyy-MM-ddThh-mm-ss-zzz".
QString currentDateTimeMs();
// UTC "yyyy-MM-ddThh-mm-ss-zzz".
QString currentDateTimeUtcMs();
// Today's local date as "yyyyMMdd".
QString todayIn8();

// UTC ISO 8601 with milliseconds and "Z", e.g. 2024-03-05T13:07:09.123Z.
QString toIsoUtcDateTimeStringFromMsecs(long long msecs);
// UTC "yyyy-MM-dd hh:mm:ss.zzz".
QString toUtcDateTimeStringFromMsecs(long long msecs);
// Local "yyyy-MM-ddThh-mm-ss".
QString toFileNameDateTime(long long msecs);
// UTC "yyyy-MM-ddThh-mm-ss".
QString toUtcFileNameDateTime(long long msecs);
// UTC "yyyy-MM-ddThh-mm-ss-zzz".
QString toUtcFileNameDateTimeWithMsecs(long long msecs);
// "yyyy-MM-dd".
QString toFileNameDate(const QDate& date);

// A dated file name: "yyyy-MM-dd-hh.mm.ss" of the date-time, then "-tag" and
// ".extension" when given, under "folder/" when given (null pointers leave a piece
// out; empty texts still add their separator). Texts are UTF-8.
QString dateTimeFn(const char* extension, const char* tag, const char* folder, QDateTime dateTime);

// Seconds of a duration text such as "1d 2h 3m 4s" (blanks removed first; days,
// hours, minutes and seconds optional but in this order, letters in either case).
// A text that does not match, or whose parts or total do not fit a signed 32-bit
// integer, gives -1 and *ok false; otherwise *ok is true. ok may be null.
int parseDurationToSecs(const QString& text, bool* ok);
