#include "gselib/services/logclient.h"

#include "gselib/services/localsocketpath.h"

#include <QDateTime>
#include <QLocalSocket>
#include <iostream>

const QString LogClient::CMD_CLEAR_LOG = QStringLiteral("CMD_CLEAR_LOG");

namespace {
// How long a closing client waits for its last lines to leave.
constexpr int SHUTDOWN_FLUSH_MS = 2000;
} // namespace

LogClient::LogClient(const QString& serverName, QObject* parent)
    : QObject(parent), serverName(serverName), socket(new QLocalSocket(this)), sendQueue(socket)
{
    connect(socket, &QLocalSocket::connected, this, &LogClient::checkServer);
    connect(socket, &QLocalSocket::bytesWritten, this, &LogClient::sendQueued);
    connect(socket, &QLocalSocket::disconnected, this, [this] { sendQueue.connectionLost(); });
    // The sink never answers: what a server sends is read a little at a time
    // and thrown away, so that a peer that pushes bytes costs no memory.
    socket->setReadBufferSize(READ_BUFFER_BYTES);
    connect(socket, &QIODevice::readyRead, this, [this] {
        char scrap[4096];
        while (socket->read(scrap, sizeof scrap) > 0) {
        }
    });
    startConnecting();
}

void LogClient::startConnecting()
{
    const GseLib::LocalSocketPath::Result where = GseLib::LocalSocketPath::resolve(serverName);
    if (!where.ok()) {
        refuse(where.error);
        return;
    }
    socket->connectToServer(where.path, QIODevice::ReadWrite);
}

void LogClient::checkServer()
{
    // Lines go only to a server of this user's: the socket file could have been
    // put there by someone else, or its process could run as someone else.
    QString why = GseLib::LocalSocketPath::checkOwnSocket(socket->fullServerName());
    if (why.isEmpty())
        why = GseLib::LocalSocketPath::checkPeer(socket->socketDescriptor());
    if (!why.isEmpty()) {
        socket->abort();
        refuse(why);
        return;
    }
    refusal.clear();
    // Queued: a local connection usually completes inside connectToServer, that is
    // before the owner of a new client could listen to sigErrorMessage.
    QMetaObject::invokeMethod(this, &LogClient::procConnected, Qt::QueuedConnection);
    sendQueued();
}

void LogClient::refuse(const QString& reason)
{
    // Every write tries again; the same reason is told once.
    const QString msg = QStringLiteral("Error: LogClient unable to connect to %1: %2").arg(serverName, reason);
    if (msg == refusal)
        return;
    refusal = msg;
    QMetaObject::invokeMethod(this, [this, msg] { emit sigErrorMessage(msg); }, Qt::QueuedConnection);
}

LogClient::~LogClient()
{
    socket->disconnect(this);
    sendQueue.finish(QDeadlineTimer(SHUTDOWN_FLUSH_MS));
    const qint64 notSent = sendQueue.unsentMessages() + sendQueue.dropped();
    if (notSent > 0)
        std::cerr << "LogClient: " << notSent << " lines not sent to " << serverName.toStdString() << std::endl;
    delete socket;
}

void LogClient::setSendLimits(qint64 maxUnsentBytes, qint64 writeChunkBytes)
{
    sendQueue.setLimits(maxUnsentBytes, writeChunkBytes);
}

void LogClient::sendQueued()
{
    sendQueue.pump();
    const qint64 dropped = sendQueue.takeDroppedWhenDrained();
    if (dropped > 0)
        emit sigErrorMessage(
            QStringLiteral("Warning: LogClient dropped %1 lines while the server was not reading.").arg(dropped));
}

void LogClient::connectLogServer()
{
    // Asking a socket that is already connecting or connected only yields an error.
    if (socket->state() == QLocalSocket::UnconnectedState)
        startConnecting();
}

void LogClient::write(const QString& text)
{
    if (socket->state() != QLocalSocket::ConnectedState)
        connectLogServer();
    if (!socket->isWritable())
        return;
    sendQueue.push((getDateTime() + text + QLatin1Char('\n')).toLocal8Bit());
    sendQueued();
}

void LogClient::clearFile()
{
    if (!isConnected())
        return;
    // Lines still waiting would be cleared with the file anyway.
    sendQueue.discardQueued();
    sendQueue.push(CMD_CLEAR_LOG.toLatin1(), true);
}

QString LogClient::getDateTime()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("MM-dd-yy hh:mm:ss:zzz "));
}

bool LogClient::isConnected() const
{
    return socket->state() == QLocalSocket::ConnectedState;
}

void LogClient::procConnected()
{
    emit sigErrorMessage(QStringLiteral("Info: LogClient connected."));
}
