#include "tools/logger/mainfilerules.h"

#include "tools/logger/folderwalk.h"

#include <QDir>
#include <QFileInfo>
#include <cstring>

namespace {

// Opens the file at path for appending; allowed limits the folders it may be in
// (as reached on descriptors, however named), none when empty.
MainFileRules::Opened openLogFile(const QString& path, const QStringList& allowed)
{
    const FolderWalk::Opened opened =
        allowed.isEmpty() ? FolderWalk::openForAppend(path) : FolderWalk::openForAppendInside(path, allowed);
    MainFileRules::Opened out{opened.fd, path, QString()};
    switch (opened.refusal) {
    case FolderWalk::Refusal::None:
        break;
    case FolderWalk::Refusal::Outside:
        out.why = QStringLiteral("outside the allowed folders");
        break;
    case FolderWalk::Refusal::SymbolicLink:
        out.why = QStringLiteral("a symbolic link");
        break;
    case FolderWalk::Refusal::NotRegular:
        out.why = QStringLiteral("not a regular file");
        break;
    case FolderWalk::Refusal::System:
        out.why = QString::fromLocal8Bit(std::strerror(opened.error));
        break;
    }
    return out;
}

} // namespace

void MainFileRules::addAllowedFolder(const QString& folder)
{
    if (!folder.isEmpty() && !allowedFolders_.contains(folder))
        allowedFolders_ << folder;
}

void MainFileRules::setAllowedFolders(const QStringList& folders)
{
    allowedFolders_.clear();
    for (const QString& folder : folders)
        addAllowedFolder(folder);
}

QString MainFileRules::dailyPath(const QDate& date) const
{
    return logDir_ + date.toString(Qt::ISODate) + QStringLiteral("-log.txt");
}

MainFileRules::Opened MainFileRules::openDaily(const QDate& date) const
{
    return openLogFile(dailyPath(date), QStringList());
}

QString MainFileRules::resolve(const QString& filePath) const
{
    return QDir::cleanPath(QDir::isRelativePath(filePath) ? logDir_ + filePath : filePath);
}

MainFileRules::Opened MainFileRules::openNamed(const QString& filePath) const
{
    const QString path = resolve(filePath);
    if (filePath.isEmpty())
        return {-1, path, QStringLiteral("no path")};
    QStringList allowed;
    for (const QString& folder : QStringList(logDir_) + allowedFolders_) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (!canonical.isEmpty())
            allowed << canonical;
    }
    // Neither the log folder nor an allowed folder exists (removed while the
    // server runs, say): no path is inside, and none may be opened unchecked.
    if (allowed.isEmpty())
        return {-1, path, QStringLiteral("outside the allowed folders")};
    return openLogFile(path, allowed);
}

QString MainFileRules::refusedText(const QString& filePath, const QString& why)
{
    return QStringLiteral("refused main file ") + filePath + QStringLiteral(": ") + why;
}

QString MainFileRules::refusedNotSaidText(qint64 count, const QString& peer)
{
    return QStringLiteral("refused %1 more main files from %2").arg(count).arg(peer);
}
