#pragma once
// The logging server's main file and its life: the daily file of the event
// dates until a client's CHANGE_MAIN_FILE fixes one file (where MainFileRules
// allow), and a fixed file that can no longer be written gives way to the daily
// files again, which take the lines it lost. A file that cannot take lines (a full
// disk) keeps only whole lines: what a write left cut is taken back. It is tried
// again a few times a second, not for every line, and the first write it takes
// again begins with a line that counts the lines it lost and since when. The
// device is the server's; this opens, writes and closes it and tells the server
// what to say: what changed, and errors, which the server says once until the
// main file is written again.
#include "tools/logger/mainfilerules.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

class QFile;

class MainFile : public QObject
{
    Q_OBJECT
public:
    // Makes the log folder, logDir (ending with a slash), unless it exists.
    MainFile(QFile* device, QString logDir, QObject* parent = nullptr);

    MainFileRules& rules() { return rules_; }
    const MainFileRules& rules() const { return rules_; }
    // The name of the file in use (a file opened on a descriptor has no name of its own).
    const QString& path() const { return path_; }
    // The event date of the daily file in use, invalid when none is.
    const QDate& date() const { return date_; }
    bool isFixed() const { return fixed_; }
    // Whether a line of this date leaves the daily file in use.
    bool leavesDailyFile(const QDate& date) const { return !fixed_ && (!date_.isValid() || date_ != date); }

    void openDaily(const QDate& date);
    // CHANGE_MAIN_FILE: fixes the file a client named, unless the rules refuse it
    // (returns why; the file in use goes on).
    QString change(const QString& filePath);
    // A file that failed is tried again this long after, at the earliest.
    static constexpr int RETRY_MS = 250;
    // Makes the log-file line (ended by a line feed) of a text of the server's own.
    using LineMaker = std::function<QByteArray(const QString& text)>;
    void setLineMaker(LineMaker maker) { lineMaker_ = std::move(maker); }
    static QString lostText(qint64 lines, const QDateTime& since);

    QFile* device() const { return device_; }
    // Appends whole lines, the last one of this date; whether the file took them.
    // Lines it cannot take are counted for the line said once it takes lines again.
    bool append(const QByteArray& lines, const QDate& date);
    // Lines lost to the main file and not said yet, and since when.
    qint64 lostLines() const { return lostLines_; }
    const QDateTime& lostSince() const { return lostSince_; }

signals:
    void changed(QString path);
    void note(QString text);
    void error(QString text);

private:
    bool attach(int fd, const QString& path);
    // Writes all of data to the device; the bytes written, and errno when not all.
    struct Wrote
    {
        qsizetype bytes = 0;
        int error = 0;
    };
    Wrote writeAll(const QByteArray& data);
    // Takes back the bytes of a line that a failed write left cut.
    bool cutBack(qsizetype bytes);
    void lose(qint64 lines);
    static qint64 nowMs();

    QFile* device_;
    MainFileRules rules_;
    QString path_;
    QDate date_;
    bool fixed_ = false;
    LineMaker lineMaker_;
    qint64 lostLines_ = 0;
    QDateTime lostSince_;
    // While the file fails: no write before this time (monotonic ms).
    bool failing_ = false;
    qint64 retryAt_ = 0;
    // A cut line could not be taken back: the next write ends it first.
    bool endCutLine_ = false;
};
