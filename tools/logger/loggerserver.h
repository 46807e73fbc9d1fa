#pragma once
// The logging server: accepts logging clients over TCP, reassembles their byte
// streams into wire lines and writes every message as a log-file line to the
// enabled outputs, among them one file per event date under ~/.veklogs.
#include "tools/logger/loggerprotocol.h"

#include <QAbstractSocket>
#include <QDate>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <cstdint>

class QFile;
class QIODevice;
class QTcpServer;
class QTcpSocket;

// Cuts a client's byte stream into wire lines and turns each into a message or a command.
class LoggerServerMsgProcessor : public QObject
{
    Q_OBJECT
public:
    // A partial line that grows past this many bytes without a line feed is dropped,
    // so that a client cannot make the server hold an unbounded buffer.
    static constexpr qsizetype MAX_LINE_BYTES = 1024 * 1024;

    explicit LoggerServerMsgProcessor(QObject* parent = nullptr);

    // Bytes received and not yet consumed.
    const QByteArray& buffer() const { return buffer_; }

signals:
    void loggerEventMsg(LoggerEventMsg msg);
    void loggerCmdUnknown(LoggerCmdUnknownMsg cmd);
    void loggerCmdInitClient(LoggerCmdInitClientMsg cmd);
    void loggerCmdChangeFile(LoggerCmdChangeFileMsg cmd);

public slots:
    void process(QByteArray msg);
    void process();

private:
    void handleLine(const QByteArray& line);

    QByteArray buffer_;
    // After an over-long partial line was dropped, the rest of that line up to its
    // line feed is dropped as well (counted here) instead of being read as a new
    // line; -1 when no line is being dropped.
    qsizetype skippedBytes_ = -1;
};

// One accepted connection; a child of its socket.
class LoggerServerClient : public QObject
{
    Q_OBJECT
public:
    explicit LoggerServerClient(QTcpSocket* socket);

    QTcpSocket* socket() const { return socket_; }
    const LoggerClientInfo& info() const { return info_; }
    // Hands every byte the socket holds to the line reassembler.
    void readAvailable();

signals:
    void connected();
    void disconnected();
    void error(QAbstractSocket::SocketError e);
    void stateChanged(QAbstractSocket::SocketState s);
    void aboutToClose();
    void initialized();
    void logEvent(LoggerEvent event);
    void cmdUnknown(LoggerCmdUnknownMsg cmd);
    void cmdChangeMainFile(QString filePath);

public slots:
    void emitClientLogEvent(LoggerEventMsg msg);

private:

    QTcpSocket* socket_;
    LoggerClientInfo info_;
    LoggerServerMsgProcessor* processor_;
};

class LoggerServer : public QObject
{
    Q_OBJECT
public:
    explicit LoggerServer(QObject* parent = nullptr);
    ~LoggerServer() override;

    void writeServerLogEvent(const LoggerEventMsg& msg);

    QList<LoggerClientInfo> clientInfos() const;
    QList<QFile*> attachedFiles() const;
    QString mainFilepath() const;
    // The folder of the daily files: the home folder's ".veklogs".
    QString logDirPath() const { return logDir_; }

    bool isListening() const;
    // The port actually listened on (the configured one, or the one picked for port 0).
    quint16 serverPort() const;
    const LoggerClientInfo& info() const { return info_; }

signals:
    void logEvent(LoggerEvent event);
    void clientConnected(LoggerClientInfo info);
    void clientDisconnected(LoggerClientInfo info);
    void mainFileChanged(QString filePath);

public slots:
    void start();
    void setServerInfo(QHostAddress address, uint16_t port);
    void setStdOutEnabled(bool enable);
    void setStdErrEnabled(bool enable);
    void attachQIODevice(QIODevice* device);
    void writeLogEvent(LoggerEvent event);
    void handleServerError();
    void handleNewConnection();

private:
    void log(LogLevel level, const char* component, int line, const QString& text);
    void changeMainFile(const QString& filePath);
    static QString clientPrefix(const LoggerServerClient* client);

    LoggerClientInfo info_;
    QHostAddress address_;
    quint16 port_;
    QTcpServer* tcpServer_;
    QFile* stdOutFile_;
    QFile* stdErrFile_;
    QFile* mainFile_;
    QDate mainFileDate_;
    bool mainFileFixed_ = false;
    QList<QPointer<QIODevice>> devices_;
    QList<LoggerServerClient*> clients_;
    QString logDir_;
};
