#include "gselib/services/logclient.h"

#include <QDateTime>
#include <QLocalSocket>

const QString LogClient::CMD_CLEAR_LOG = QStringLiteral("CMD_CLEAR_LOG");

LogClient::LogClient(const QString& serverName, QObject* parent)
    : QObject(parent), serverName(serverName), socket(new QLocalSocket(this))
{
    // Queued: a local connection usually completes inside connectToServer, that is
    // before the owner of a new client could listen to sigErrorMessage.
    connect(socket, &QLocalSocket::connected, this, &LogClient::procConnected, Qt::QueuedConnection);
    socket->connectToServer(serverName, QIODevice::ReadWrite);
}

LogClient::~LogClient()
{
    socket->disconnect(this);
    delete socket;
}

void LogClient::connectLogServer()
{
    // Asking a socket that is already connecting or connected only yields an error.
    if (socket->state() == QLocalSocket::UnconnectedState)
        socket->connectToServer(serverName, QIODevice::ReadWrite);
}

void LogClient::write(const QString& text)
{
    if (socket->state() != QLocalSocket::ConnectedState)
        connectLogServer();
    if (socket->isWritable())
        socket->write((getDateTime() + text + QLatin1Char('\n')).toLocal8Bit());
}

void LogClient::clearFile()
{
    if (isConnected())
        socket->write(CMD_CLEAR_LOG.toLatin1());
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
