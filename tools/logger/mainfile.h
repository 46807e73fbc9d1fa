#pragma once
// The logging server's main file and its life: the daily file of the event
// dates until a client's CHANGE_MAIN_FILE fixes one file (where MainFileRules
// allow), and a fixed file that can no longer be written gives way to the daily
// files again, which take the lines it lost. The device is the server's; this
// opens and closes it and tells the server what to say: what changed, and errors,
// which the server says once until the main file is written again.
#include "tools/logger/mainfilerules.h"

#include <QDate>
#include <QObject>
#include <QString>

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
    // The main file failed to take these lines, the last one of this date.
    void writeFailed(const QByteArray& lines, const QDate& date, const QString& why);

signals:
    void changed(QString path);
    void note(QString text);
    void error(QString text);

private:
    bool attach(int fd, const QString& path);

    QFile* device_;
    MainFileRules rules_;
    QString path_;
    QDate date_;
    bool fixed_ = false;
};
