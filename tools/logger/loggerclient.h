#pragma once
// The process-wide logger front end and the logging client that runs on its own
// thread: it sends every message as a wire line to the logging server, keeps a
// short backlog while unconnected, reconnects a bounded number of times and
// echoes messages to the console, filtered by level. While connected to a server
// that does not read, at most a few MiB wait unsent (SendQueue); what is dropped
// beyond that is told to the server once it reads again, and what is never sent
// is counted on the standard error stream when the client ends.
#include "tools/logger/loggerprotocol.h"
#include "tools/logger/sendqueue.h"

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <ostream>

class QCoreApplication;
class QTcpSocket;

class LoggerClientMsgSender : public QObject
{
    Q_OBJECT
public:
    static constexpr int MAX_BACKLOG = 50;
    static constexpr int MAX_RETRIES = 5;
    static constexpr int DEFAULT_RETRY_INTERVAL_MS = 1000;

    LoggerClientMsgSender(const QString& name, qint64 pid, const LoggerConfig& config);
    ~LoggerClientMsgSender() override;

    const LoggerConfig& config() const { return config_; }
    const LoggerClientInfo& clientInfo() const { return clientInfo_; }
    const QList<LoggerEventMsg>& backlog() const { return backlog_; }
    int retryCount() const { return retryCount_; }
    QAbstractSocket::SocketState socketState() const;
    // Bytes handed to the socket and not yet written to the connection.
    qint64 pendingBytes() const;
    // Bytes waiting while connected, in the client's queue and the socket's buffer.
    qint64 unsentBytes() const { return sendQueue_.unsentBytes(); }
    // Messages dropped by the bound on unsent bytes and not yet reported.
    qint64 droppedMessages() const { return sendQueue_.dropped(); }
    // Messages not sent yet: the backlog, the queue and the socket's buffer.
    qint64 unsentMessages();
    // Tests use small bounds; the defaults are SendQueue's.
    void setSendLimits(qint64 maxUnsentBytes, qint64 writeChunkBytes)
    {
        sendQueue_.setLimits(maxUnsentBytes, writeChunkBytes);
    }

    int retryIntervalMs() const { return retryIntervalMs_; }
    // Tests shorten the pause between reconnection attempts.
    void setRetryIntervalMs(int ms) { retryIntervalMs_ = ms; }

public slots:
    void start();
    void sendMessage(LoggerEventMsg msg);
    void writeToStream(std::ostream& out, LoggerEventMsg msg);
    void handleSocketStateChange(QAbstractSocket::SocketState state);
    void handleSocketError(QAbstractSocket::SocketError error);

private:
    bool serverConfigured() const;
    void logOwn(int line, const QString& text);
    void writeToSocket(const LoggerEventMsg& msg);
    void handleBytesWritten();
    void reportDropped();

    LoggerConfig config_;
    QTcpSocket* socket_ = nullptr;
    LoggerClientInfo clientInfo_;
    QList<LoggerEventMsg> backlog_;
    int retryCount_ = 0;
    int retryIntervalMs_ = DEFAULT_RETRY_INTERVAL_MS;
    SendQueue sendQueue_;
};

class Logger : public QObject
{
    Q_OBJECT
public:
    // The process-wide logger; null until initialize().
    static Logger* global;

    // Creates the global logger once; a second call only logs.
    static void initialize(QCoreApplication* app, const LoggerConfig& config);
    // Makes the logging server write every later line to filePath.
    static void changeServerFileDest(const QString& filePath);

    Logger(QCoreApplication* app, const LoggerConfig& config);
    ~Logger() override;

    const LoggerConfig& config() const { return config_; }
    // The client object; it lives on loggerThread() and is deleted when that thread ends.
    LoggerClientMsgSender* client() const { return client_; }
    QThread* loggerThread() const { return thread_; }

signals:
    void message(LoggerEventMsg msg);

public slots:
    void stop();
    void sendMessage(LoggerEventMsg msg);

private:
    LoggerConfig config_;
    QThread* thread_ = nullptr;
    QPointer<LoggerClientMsgSender> client_;
};
