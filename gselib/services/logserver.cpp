#include "gselib/services/logserver.h"

#include "gselib/services/localsocketpath.h"

#include <QFile>
#include <QLocalSocket>
#include <utility>

const QString LogServer::CMD_CLEAR_LOG = QStringLiteral("CMD_CLEAR_LOG");

using GseLib::LocalSocketPath;

namespace {
constexpr int LISTEN_ATTEMPTS = 4;

const QByteArray& clearCommand()
{
    static const QByteArray bytes = LogServer::CMD_CLEAR_LOG.toLatin1();
    return bytes;
}
} // namespace

LogServer::LogServer(const QString& serverName, const QString& fileName, QObject* parent)
    : QObject(parent), serverName(serverName), fileName(fileName)
{
    server.setMaxPendingConnections(1);
    if (!connect(&server, &QLocalServer::newConnection, this, &LogServer::procNewConnection))
        emit sigErrorMessage(QStringLiteral("Error: LogServer unable to connect slot!"));
    listen();
}

LogServer::~LogServer()
{
    // The sockets are children of the server member, which goes before QObject
    // would drop their connections: their last signals must not reach us.
    const auto sockets = server.findChildren<QLocalSocket*>();
    for (QLocalSocket* s : sockets)
        s->disconnect(this);
    client = nullptr;
    closeFile();
    server.close();
}

void LogServer::listen()
{
    const LocalSocketPath::Result where = LocalSocketPath::resolve(serverName);
    if (!where.ok()) {
        reportLater(where.error);
        return;
    }
    // Only this user may connect: a stranger could empty the file or fill the disk.
    // With that option Qt renames its new socket over the path, so whatever is
    // there must be a socket of ours: a file the caller named by mistake, or
    // another user's socket, stays and the sink does not listen.
    const QString taken = LocalSocketPath::checkFreeForSocket(where.path);
    if (!taken.isEmpty()) {
        reportLater(taken);
        return;
    }
    server.setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left behind by a process of ours that died is removed and taken
    // over; anything else at that path stays, and so the name stays unusable.
    for (int attempt = 0; attempt < LISTEN_ATTEMPTS; ++attempt) {
        if (attempt > 0)
            LocalSocketPath::removeStale(where.path);
        if (server.listen(where.path))
            break;
    }
    if (!server.isListening()) {
        reportLater(server.errorString());
        return;
    }
    const QString unsafe = LocalSocketPath::checkOwnSocket(server.fullServerName(), true);
    if (!unsafe.isEmpty()) {
        server.close();
        reportLater(unsafe);
    }
}

void LogServer::reportLater(const QString& reason)
{
    // Queued: the constructor runs before its owner can listen to the signal.
    const QString msg = QStringLiteral("Error: LogServer unable to listen on %1: %2").arg(serverName, reason);
    QMetaObject::invokeMethod(this, [this, msg] { emit sigErrorMessage(msg); }, Qt::QueuedConnection);
}

void LogServer::retireClient()
{
    // The replaced client must neither feed nor close the file of its successor,
    // and its descriptor must not stay behind: a client that reconnects over and
    // over would otherwise pile them up in the host.
    QLocalSocket* old = std::exchange(client, nullptr);
    old->disconnect(this);
    old->abort();
    old->deleteLater();
    closeFile();
}

void LogServer::procNewConnection()
{
    QLocalSocket* next = server.nextPendingConnection();
    if (!next)
        return;
    // The socket's mode keeps other users out, but root and a socket path that
    // the caller chose are not bound by it: another user's connection may not
    // take the file over.
    if (!LocalSocketPath::checkPeer(next->socketDescriptor()).isEmpty()) {
        next->abort();
        next->deleteLater();
        return;
    }
    if (client)
        retireClient();
    client = next;
    recent.clear();
    connect(client, &QLocalSocket::readyRead, this, &LogServer::procReadyRead);
    connect(client, &QLocalSocket::disconnected, this, &LogServer::procDisconnect);
    openFile();
}

void LogServer::openFile()
{
    closeFile();
    file = new QFile(fileName);
    file->open(QIODevice::WriteOnly | QIODevice::Truncate);
}

void LogServer::procReadyRead()
{
    if (!client)
        return;
    const QByteArray bytes = client->readAll();
    if (bytes.isEmpty())
        return;
    // A command may be cut across reads: the end of the previous read joins the
    // search. Its first part is then already in the file, and goes with the clearing.
    const QByteArray& command = clearCommand();
    const QByteArray seen = recent + bytes;
    const qsizetype at = seen.lastIndexOf(command);
    if (at < 0) {
        recent = seen.right(command.size() - 1);
        writeFile(bytes);
        return;
    }
    // What precedes the last command is cleared with the file; what follows it
    // in the same chunk is already new content.
    clearFile();
    const QByteArray rest = seen.mid(at + command.size());
    recent = rest.right(command.size() - 1);
    if (!rest.isEmpty())
        writeFile(rest);
}

void LogServer::clearFile()
{
    if (file && file->isOpen())
        file->resize(0);
}

void LogServer::writeFile(const QByteArray& data)
{
    if (!file || !file->isOpen()) {
        emit sigErrorMessage(QStringLiteral("Error: LogServer file is not open!"));
        return;
    }
    const qint64 written = file->write(data);
    file->flush();
    if (written < data.size())
        emit sigErrorMessage(QStringLiteral("Error: LogServer had a problem writing to file!"));
}

void LogServer::writeFile(const QString& text)
{
    if (!file || !file->isOpen()) {
        emit sigErrorMessage(QStringLiteral("Error: LogServer file is not open!"));
        return;
    }
    const QByteArray bytes = text.toLocal8Bit();
    if (file->write(bytes) < bytes.size())
        emit sigErrorMessage(QStringLiteral("Error: LogServer had a problem writing to file!"));
}

void LogServer::procDisconnect()
{
    QLocalSocket* gone = qobject_cast<QLocalSocket*>(sender());
    if (gone && gone == client) {
        // Bytes that arrived together with the close are still stored.
        if (client->bytesAvailable() > 0)
            procReadyRead();
        client->disconnect(this);
        client->deleteLater();
        client = nullptr;
        recent.clear();
    }
    closeFile();
}

void LogServer::closeFile()
{
    if (!file)
        return;
    file->close();
    delete file;
    file = nullptr;
}
