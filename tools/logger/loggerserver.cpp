#include "tools/logger/loggerserver.h"

#include "tools/util/tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtDebug>
#include <cstdio>
#include <utility>

namespace {

void warnDropped(qsizetype bytes)
{
    qWarning() << "logger protocol warn -" << "dropped" << bytes << "bytes while processing";
}

constexpr QIODevice::OpenMode FILE_OPEN_MODE = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;

// Opens the file on a standard stream's descriptor (left open when the file
// closes), or closes it.
void setConsoleFileOpen(QFile* file, FILE* stream, bool open)
{
    if (open) {
        if (!file->isOpen())
            file->open(fileno(stream), QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle);
    } else {
        file->close();
    }
}

} // namespace

#define SERVER_LOG(level, component, text) log(level, component, __LINE__, text)

// ---------------------------------------------------------------------------
// LoggerServerMsgProcessor

LoggerServerMsgProcessor::LoggerServerMsgProcessor(QObject* parent) : QObject(parent) {}

void LoggerServerMsgProcessor::process()
{
    process(QByteArray());
}

void LoggerServerMsgProcessor::process(QByteArray msg)
{
    buffer_.append(msg);
    qsizetype pos = 0;
    while (pos < buffer_.size()) {
        const qsizetype lf = buffer_.indexOf(LoggerMsg::MSG_END, pos);
        if (lf < 0)
            break;
        const qsizetype length = lf - pos;
        if (skippedBytes_ >= 0) {
            // The tail of a line whose head was already dropped.
            warnDropped(skippedBytes_ + length);
            skippedBytes_ = -1;
        } else if (length > MAX_LINE_BYTES) {
            warnDropped(length);
        } else {
            handleLine(buffer_.mid(pos, length));
        }
        pos = lf + 1;
    }
    buffer_.remove(0, pos);
    // What is left is a partial line. Past the limit it is dropped rather than kept,
    // and so is the rest of it until its line feed comes.
    if (skippedBytes_ >= 0) {
        skippedBytes_ += buffer_.size();
        buffer_.clear();
    } else if (buffer_.size() > MAX_LINE_BYTES) {
        warnDropped(buffer_.size());
        skippedBytes_ = 0;
        buffer_.clear();
        buffer_.squeeze();
    }
}

void LoggerServerMsgProcessor::handleLine(const QByteArray& line)
{
    if (line.size() <= 2) {
        warnDropped(line.size());
        return;
    }
    const LoggerEventMsg msg(line);
    if (msg.level != LOG_CMD)
        emit loggerEventMsg(msg);
    else if (msg.text.startsWith(LoggerCmdInitClientMsg::CMD_KEY))
        emit loggerCmdInitClient(LoggerCmdInitClientMsg(msg));
    else if (msg.text.startsWith(LoggerCmdChangeFileMsg::CMD_KEY))
        emit loggerCmdChangeFile(LoggerCmdChangeFileMsg(msg));
    else
        emit loggerCmdUnknown(LoggerCmdUnknownMsg(msg));
}

// ---------------------------------------------------------------------------
// LoggerServerClient

LoggerServerClient::LoggerServerClient(QTcpSocket* socket)
    : QObject(socket), socket_(socket), processor_(new LoggerServerMsgProcessor(this))
{
    connect(socket_, &QAbstractSocket::connected, this, &LoggerServerClient::connected);
    connect(socket_, &QAbstractSocket::disconnected, this, &LoggerServerClient::disconnected);
    connect(socket_, &QAbstractSocket::errorOccurred, this, &LoggerServerClient::error);
    connect(socket_, &QAbstractSocket::stateChanged, this, &LoggerServerClient::stateChanged);
    connect(socket_, &QIODevice::aboutToClose, this, [this] {
        readAvailable();
        emit aboutToClose();
    });
    connect(socket_, &QIODevice::readyRead, this, &LoggerServerClient::readAvailable);

    connect(processor_, &LoggerServerMsgProcessor::loggerEventMsg, this, &LoggerServerClient::emitClientLogEvent);
    connect(processor_, &LoggerServerMsgProcessor::loggerCmdInitClient, this,
            [this](const LoggerCmdInitClientMsg& cmd) {
                info_ = LoggerClientInfo(cmd.name, cmd.pid);
                emit logEvent(LoggerEvent(info_, cmd));
                emit initialized();
            });
    connect(processor_, &LoggerServerMsgProcessor::loggerCmdChangeFile, this,
            [this](const LoggerCmdChangeFileMsg& cmd) {
                emit logEvent(LoggerEvent(info_, cmd));
                emit cmdChangeMainFile(cmd.filePath);
            });
    connect(processor_, &LoggerServerMsgProcessor::loggerCmdUnknown, this,
            [this](const LoggerCmdUnknownMsg& cmd) {
                emit logEvent(LoggerEvent(info_, cmd));
                emit cmdUnknown(cmd);
            });
}

void LoggerServerClient::readAvailable()
{
    const QByteArray bytes = socket_->readAll();
    if (!bytes.isEmpty())
        processor_->process(bytes);
}

void LoggerServerClient::emitClientLogEvent(LoggerEventMsg msg)
{
    emit logEvent(LoggerEvent(info_, msg));
}

// ---------------------------------------------------------------------------
// LoggerServer

LoggerServer::LoggerServer(QObject* parent)
    : QObject(parent),
      info_(QStringLiteral("loggerserver"), QCoreApplication::applicationPid()),
      address_(DEFAULT_SERVER_ADDR),
      port_(DEFAULT_SERVER_PORT),
      tcpServer_(new QTcpServer(this)),
      stdOutFile_(new QFile(tcpServer_)),
      stdErrFile_(new QFile(tcpServer_)),
      mainFile_(new QFile(tcpServer_))
{
    stdOutFile_->setObjectName(QStringLiteral("stdout"));
    stdErrFile_->setObjectName(QStringLiteral("stderr"));
    mainFile_->setObjectName(DEFAULT_SERVER_FILE_OBJECT_NAME);
    devices_ << stdOutFile_ << stdErrFile_ << mainFile_;

    connect(tcpServer_, &QTcpServer::acceptError, this, &LoggerServer::handleServerError);
    connect(tcpServer_, &QTcpServer::newConnection, this, &LoggerServer::handleNewConnection);
    registerLoggerMetaTypes();

    logDir_ = QDir::homePath() + QLatin1Char('/') + DEFAULT_SERVER_FILE_DIR + QLatin1Char('/');
    QDir().mkpath(logDir_);
}

LoggerServer::~LoggerServer()
{
    SERVER_LOG(INFO, "server", QStringLiteral("shutting down..."));
    for (LoggerServerClient* client : std::as_const(clients_))
        client->disconnect();
    clients_.clear();
    // Clients not yet initialized are not in clients_; none of them may reach this
    // object while the sockets close below.
    for (LoggerServerClient* client : tcpServer_->findChildren<LoggerServerClient*>())
        disconnect(client, nullptr, this, nullptr);
    tcpServer_->disconnect(this);
    devices_.clear();
    delete tcpServer_;
    tcpServer_ = nullptr;
}

void LoggerServer::log(LogLevel level, const char* component, int line, const QString& text)
{
    writeServerLogEvent(
        LoggerEventMsg(QString::fromLatin1(component), QStringLiteral(__FILE__), line, level, text));
}

void LoggerServer::writeServerLogEvent(const LoggerEventMsg& msg)
{
    writeLogEvent(LoggerEvent(info_, msg));
}

QList<LoggerClientInfo> LoggerServer::clientInfos() const
{
    QList<LoggerClientInfo> out;
    for (const LoggerServerClient* client : clients_)
        out << client->info();
    return out;
}

QList<QFile*> LoggerServer::attachedFiles() const
{
    QList<QFile*> out;
    for (const QPointer<QIODevice>& device : devices_) {
        if (auto* file = qobject_cast<QFile*>(device.data()))
            out << file;
    }
    return out;
}

QString LoggerServer::mainFilepath() const
{
    if (mainFile_->fileName().isEmpty())
        return QString();
    return QFileInfo(mainFile_->fileName()).absoluteFilePath();
}

bool LoggerServer::isListening() const
{
    return tcpServer_->isListening();
}

quint16 LoggerServer::serverPort() const
{
    return tcpServer_->isListening() ? tcpServer_->serverPort() : port_;
}

void LoggerServer::start()
{
    if (tcpServer_->isListening())
        tcpServer_->close();
    if (tcpServer_->listen(address_, port_)) {
        SERVER_LOG(INFO, "server",
                   QStringLiteral("listening on ") + address_.toString() + QLatin1Char(' ')
                       + QString::number(tcpServer_->serverPort()));
    } else {
        SERVER_LOG(ERROR, "server",
                   QStringLiteral("failed to bind to listen on ") + address_.toString() + QLatin1Char(' ')
                       + QString::number(port_));
    }
}

void LoggerServer::setServerInfo(QHostAddress address, uint16_t port)
{
    address_ = address;
    port_ = port;
}

void LoggerServer::setStdOutEnabled(bool enable)
{
    setConsoleFileOpen(stdOutFile_, stdout, enable);
}

void LoggerServer::setStdErrEnabled(bool enable)
{
    setConsoleFileOpen(stdErrFile_, stderr, enable);
}

void LoggerServer::attachQIODevice(QIODevice* device)
{
    if (device == nullptr)
        return;
    device->setParent(tcpServer_);
    devices_.append(device);
}

void LoggerServer::writeLogEvent(LoggerEvent event)
{
    const QByteArray line = event.toEncoded() + LoggerMsg::MSG_END;
    if (!mainFileFixed_) {
        const QDate date = event.dateTime.date();
        if (!mainFileDate_.isValid() || mainFileDate_ != date) {
            mainFileDate_ = date;
            if (mainFile_->isOpen())
                mainFile_->close();
            mainFile_->setFileName(logDir_ + date.toString(Qt::ISODate) + QStringLiteral("-log.txt"));
            mainFile_->open(FILE_OPEN_MODE);
            emit mainFileChanged(mainFile_->fileName());
        }
    }
    for (const QPointer<QIODevice>& device : std::as_const(devices_)) {
        if (device && device->isOpen())
            device->write(line);
    }
    emit logEvent(event);
}

void LoggerServer::handleServerError()
{
    SERVER_LOG(ERROR, "server", QStringLiteral("server error: ") + tcpServer_->errorString());
}

QString LoggerServer::clientPrefix(const LoggerServerClient* client)
{
    return QStringLiteral("[") + client->info().name + QLatin1Char(' ') + QString::number(client->info().pid)
        + QStringLiteral("] ");
}

void LoggerServer::handleNewConnection()
{
    QTcpSocket* socket = tcpServer_->nextPendingConnection();
    if (socket == nullptr) {
        SERVER_LOG(ERROR, "server", QStringLiteral("failed to create client socket"));
        return;
    }
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    auto* client = new LoggerServerClient(socket);

    // Every connection has this server as its context, so a client outliving the
    // server can never call into it.
    connect(client, &LoggerServerClient::connected, this, [this] {
        SERVER_LOG(DEBUG, "server", QStringLiteral("client connected...not initialized yet"));
    });
    connect(client, &LoggerServerClient::disconnected, this, [this, client] {
        clients_.removeAll(client);
        emit clientDisconnected(client->info());
        SERVER_LOG(INFO, "client", clientPrefix(client) + QStringLiteral("disconnected"));
    });
    connect(client, &LoggerServerClient::error, this, [this, client](QAbstractSocket::SocketError e) {
        SERVER_LOG(DEBUG, "client", clientPrefix(client) + QStringLiteral("socket error: ") + Tools::enumName(e));
    });
    connect(client, &LoggerServerClient::stateChanged, this, [this, client](QAbstractSocket::SocketState s) {
        SERVER_LOG(DEBUG, "client",
                   clientPrefix(client) + QStringLiteral("socket state changed: ") + Tools::enumName(s));
    });
    connect(client, &LoggerServerClient::initialized, this, [this, client] {
        SERVER_LOG(INFO, "client", clientPrefix(client) + QStringLiteral("initialized"));
        // A client that introduces itself again is listed once.
        if (!clients_.contains(client))
            clients_.append(client);
        emit clientConnected(client->info());
    });
    connect(client, &LoggerServerClient::logEvent, this, &LoggerServer::writeLogEvent);
    connect(client, &LoggerServerClient::cmdUnknown, this, [this, client](const LoggerCmdUnknownMsg& cmd) {
        SERVER_LOG(INFO, "client", clientPrefix(client) + QStringLiteral("unknown cmd: ") + cmd.cmd());
    });
    connect(client, &LoggerServerClient::cmdChangeMainFile, this, &LoggerServer::changeMainFile);

    // Bytes that came in with the connection are not announced again.
    client->readAvailable();
}

void LoggerServer::changeMainFile(const QString& filePath)
{
    for (const QPointer<QIODevice>& device : std::as_const(devices_)) {
        auto* file = qobject_cast<QFile*>(device.data());
        if (file == nullptr || file->objectName() != DEFAULT_SERVER_FILE_OBJECT_NAME)
            continue;
        SERVER_LOG(INFO, "server",
                   QStringLiteral("changing main file from ") + file->fileName() + QStringLiteral(" to ") + filePath);
        file->close();
        file->setFileName(filePath);
        mainFileFixed_ = true;
        if (file->open(FILE_OPEN_MODE)) {
            SERVER_LOG(INFO, "server", QStringLiteral("writing to file ") + filePath);
            emit mainFileChanged(filePath);
        }
    }
}
