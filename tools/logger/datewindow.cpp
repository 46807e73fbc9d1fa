#include "tools/logger/datewindow.h"

bool DateWindow::contains(const QDate& today, const QDate& date) const
{
    if (!date.isValid())
        return false;
    const qint64 days = today.daysTo(date);
    return days >= -days_ && days <= days_;
}

DateWindow::Placement DateWindow::place(const QDate& today, const QDate& date, const QDate& openFile) const
{
    if (contains(today, date))
        return {date, false};
    return {openFile.isValid() ? openFile : today, true};
}

QString DateWindow::outsideText(const QDate& today, const QDate& date) const
{
    return QStringLiteral("lines dated %1, outside %2 to %3, go to the current main file")
        .arg(date.isValid() ? date.toString(Qt::ISODate) : QStringLiteral("invalid"),
             today.addDays(-days_).toString(Qt::ISODate), today.addDays(days_).toString(Qt::ISODate));
}

QString DateWindow::outsideNotSaidText(qint64 count, const QString& peer)
{
    return QStringLiteral("%1 more connections from %2 sent lines dated outside the window; they went to the "
                          "current main file")
        .arg(count)
        .arg(peer);
}

QDate DailyClock::today(qint64 nowMs)
{
    if (!today_.isValid() || nowMs - readAtMs_ >= 1000) {
        today_ = QDate::currentDate();
        readAtMs_ = nowMs;
    }
    return today_;
}
