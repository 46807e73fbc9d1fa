#pragma once
// Where the logging server's main file may be: the daily files in the log folder
// (the home folder's ".veklogs"), and a file that a client names by
// CHANGE_MAIN_FILE only when it is a regular file inside the log folder or a
// folder the host allows, reached on descriptors so that a link or a swapped
// folder cannot lead out (FolderWalk). A client must not make the server append
// to any file its user may write. The server attaches what opens and says what
// does not.
#include <QDate>
#include <QIODevice>
#include <QString>
#include <QStringList>
#include <utility>

class MainFileRules
{
public:
    static constexpr QIODevice::OpenMode OPEN_MODE = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;
    // The kind of the warning of a refusal (WarningLimiter).
    static inline const QString KIND_REFUSED = QStringLiteral("refused main file");

    // logDir ends with a slash.
    explicit MainFileRules(QString logDir) : logDir_(std::move(logDir)) {}

    const QString& logDir() const { return logDir_; }
    void addAllowedFolder(const QString& folder);
    void setAllowedFolders(const QStringList& folders);
    const QStringList& allowedFolders() const { return allowedFolders_; }

    // A file opened for appending on fd, or -1 and why not.
    struct Opened
    {
        int fd = -1;
        QString path;
        QString why;
    };
    QString dailyPath(const QDate& date) const;
    Opened openDaily(const QDate& date) const;
    // A relative path is taken inside the log folder.
    QString resolve(const QString& filePath) const;
    Opened openNamed(const QString& filePath) const;

    static QString refusedText(const QString& filePath, const QString& why);
    static QString refusedNotSaidText(qint64 count, const QString& peer);

private:
    QString logDir_;
    QStringList allowedFolders_;
};
