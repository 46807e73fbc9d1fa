#include "gselib/services/logserver.h"

#include <QFile>
#include <QLocalSocket>

const QString LogServer::CMD_CLEAR_LOG = QStringLiteral("CMD_CLEAR_LOG");

namespace {
constexpr int LISTEN_ATTEMPTS = 4;
}

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
    // A name left behind by a process that died is removed and taken over.
    for (int attempt = 0; attempt < LISTEN_ATTEMPTS; ++attempt) {
        if (attempt > 0)
            QLocalServer::removeServer(serverName);
        if (server.listen(serverName))
            return;
    }
}

void LogServer::retireClient()
{
    // The replaced client must neither feed nor close the file of its successor.
    // Its socket stays open until its peer goes, so a client that reconnects on
    // every write cannot take the file back; what it still sends is discarded.
    QLocalSocket* old = client;
    client = nullptr;
    old->disconnect(this);
    connect(old, &QLocalSocket::readyRead, this, [old] { old->readAll(); });
    connect(old, &QLocalSocket::disconnected, old, &QObject::deleteLater);
    if (old->state() == QLocalSocket::UnconnectedState)
        old->deleteLater();
    closeFile();
}

void LogServer::procNewConnection()
{
    QLocalSocket* next = server.nextPendingConnection();
    if (!next)
        return;
    if (client)
        retireClient();
    client = next;
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
    const QByteArray command = CMD_CLEAR_LOG.toLatin1();
    const qsizetype at = bytes.lastIndexOf(command);
    if (at < 0) {
        writeFile(bytes);
        return;
    }
    // What precedes the last command is cleared with the file; what follows it
    // in the same chunk is already new content.
    clearFile();
    const QByteArray rest = bytes.mid(at + command.size());
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
