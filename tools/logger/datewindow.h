#pragma once
// Which daily file a line goes to. A client picks the dates of its lines, so daily
// files are opened only for event dates within a few days of the server's own
// date; a line dated otherwise (or not at all) goes to the main file in use, or to
// the file of the server's date when none is open yet, so that a client's dates
// cannot make a file each. A pure function of the server's date, the line's and
// the open daily file's: the server reads its date (DailyClock), opens the file
// and says the warning once per run (WarningLimiter).
#include <QDate>
#include <QString>
#include <algorithm>

class DateWindow
{
public:
    // Days on either side of the server's date.
    static constexpr int DEFAULT_DAYS = 1;
    // The kind of its warning (WarningLimiter).
    static inline const QString KIND = QStringLiteral("dates outside the window");

    // The daily file that takes a line, and whether its date was outside the window.
    struct Placement
    {
        QDate file;
        bool outside = false;
    };

    void setDays(int days) { days_ = std::max(0, days); }
    int days() const { return days_; }

    bool contains(const QDate& today, const QDate& date) const;
    // openFile: the date of the daily file open now, invalid when none is.
    Placement place(const QDate& today, const QDate& date, const QDate& openFile) const;

    QString outsideText(const QDate& today, const QDate& date) const;
    static QString outsideNotSaidText(qint64 count, const QString& peer);

private:
    int days_ = DEFAULT_DAYS;
};

// The server's date, read from the system clock again at most once a second.
class DailyClock
{
public:
    QDate today(qint64 nowMs);

private:
    QDate today_;
    qint64 readAtMs_ = 0;
};
