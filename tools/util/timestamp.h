#pragma once
#include <QString>

class TimeStamp
{
public:
    TimeStamp() = delete;

    // Seconds since the Unix epoch of a local date-time in Qt's textual form
    // (e.g. "Tue Mar 5 14:07:09 2024").
    static long long timeFromString(const QString& text);
};
