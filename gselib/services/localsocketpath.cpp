#include "gselib/services/localsocketpath.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace GseLib {

const QString LocalSocketPath::TEMP_FOLDER_PREFIX = QStringLiteral("gse-");

namespace {

constexpr mode_t GROUP_OTHER_BITS = S_IRWXG | S_IRWXO;

QString systemError(const QString& what, const QString& path, int error)
{
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(error)));
}

QString notOurs(const QString& path, uid_t owner)
{
    return QStringLiteral("%1 belongs to user %2").arg(path).arg(owner);
}

// Empty when path is a folder of this user's (not a link) that only this user
// can reach; group and other access found on it are taken away, through a
// descriptor of the very folder that was checked.
QString makePrivateFolder(const QString& path, bool create)
{
    const QByteArray p = QFile::encodeName(path);
    if (create && ::mkdir(p.constData(), 0700) != 0 && errno != EEXIST)
        return systemError(QStringLiteral("cannot create"), path, errno);
    struct stat st{};
    if (::lstat(p.constData(), &st) != 0)
        return systemError(QStringLiteral("cannot inspect"), path, errno);
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("%1 is a link").arg(path);
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 is not a folder").arg(path);
    if (st.st_uid != ::geteuid())
        return notOurs(path, st.st_uid);
    if ((st.st_mode & GROUP_OTHER_BITS) == 0)
        return {};
    const int fd = ::open(p.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return systemError(QStringLiteral("cannot open"), path, errno);
    QString error;
    struct stat opened{};
    if (::fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)
        error = QStringLiteral("%1 changed while it was checked").arg(path);
    else if (::fchmod(fd, 0700) != 0)
        error = systemError(QStringLiteral("cannot make private"), path, errno);
    ::close(fd);
    return error;
}

} // namespace

LocalSocketPath::Result LocalSocketPath::folder()
{
    // A runtime folder inherited from another user's session (su, sudo) is not
    // ours: the temporary folder serves then, as it does when none is set.
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (QDir::isAbsolutePath(runtime) && makePrivateFolder(runtime, false).isEmpty())
        return {QDir::cleanPath(runtime), {}};
    const QString own = QDir::tempPath() + QLatin1Char('/') + TEMP_FOLDER_PREFIX + QString::number(::geteuid());
    const QString error = makePrivateFolder(own, true);
    if (!error.isEmpty())
        return {{}, error};
    return {own, {}};
}

LocalSocketPath::Result LocalSocketPath::resolve(const QString& name)
{
    if (QDir::isAbsolutePath(name))
        return {name, {}};
    Result where = folder();
    if (where.ok())
        where.path += QLatin1Char('/') + name;
    return where;
}

QString LocalSocketPath::checkOwnSocket(const QString& path, bool privateMode)
{
    struct stat st{};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return systemError(QStringLiteral("cannot inspect"), path, errno);
    if (!S_ISSOCK(st.st_mode))
        return QStringLiteral("%1 is not a socket").arg(path);
    if (st.st_uid != ::geteuid())
        return notOurs(path, st.st_uid);
    if (privateMode && (st.st_mode & GROUP_OTHER_BITS) != 0)
        return QStringLiteral("%1 is open to other users").arg(path);
    return {};
}

QString LocalSocketPath::checkFreeForSocket(const QString& path)
{
    struct stat st{};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 && errno == ENOENT)
        return {};
    return checkOwnSocket(path);
}

QString LocalSocketPath::checkPeer(qintptr descriptor)
{
    uid_t peer = 0;
#ifdef SO_PEERCRED
    struct ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return systemError(QStringLiteral("cannot identify the peer of socket"), QString::number(descriptor), errno);
    peer = cred.uid;
#else
    gid_t group = 0;
    if (::getpeereid(static_cast<int>(descriptor), &peer, &group) != 0)
        return systemError(QStringLiteral("cannot identify the peer of socket"), QString::number(descriptor), errno);
#endif
    if (peer != ::geteuid())
        return QStringLiteral("the peer runs as user %1").arg(peer);
    return {};
}

bool LocalSocketPath::removeStale(const QString& path)
{
    if (!checkOwnSocket(path).isEmpty())
        return false;
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}

} // namespace GseLib
