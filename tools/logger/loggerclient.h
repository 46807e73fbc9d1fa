#pragma once
// The process-wide logger front end and the logging client that runs on its own
// thread: it sends every message as a wire line to the logging server, keeps a
// short backlog while unconnected, reconnects a bounded number of times and
// echoes messages to the console, filtered by level. While connected to a server
// that does not read, at most a few MiB wait unsent (SendQueue). Every message of
// a producer that is not known to have reached the server is counted: backlog
// overflow, the bound on unsent bytes, and a connection lost before it outlived
// what was written to it. The count is told to the server first thing once it
// can be, and what is still owed goes to the standard error stream when the
// client ends. What the server sends is read and thrown away, a little at a time.
#include "tools/logger/loggerprotocol.h"
#include "tools/logger/sendqueue.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <ostream>

class QCoreApplication;
class QTcpSocket;
class QTimer;

class LoggerClientMsgSender : public QObject
{
    Q_OBJECT
public:
    static constexpr int MAX_BACKLOG = 50;
    static constexpr int MAX_RETRIES = 5;
    static constexpr int DEFAULT_RETRY_INTERVAL_MS = 1000;
    // A connection that stays open this long after the system took a message is
    // taken to have delivered it, and counts as a successful connection. A server
    // that refuses by resetting does so within milliseconds.
    static constexpr int DEFAULT_CONFIRM_MS = 1000;
    // What the socket buffers of the bytes a server (or whoever holds its port) sends.
    static constexpr qint64 READ_BUFFER_BYTES = 64 * 1024;

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
    // Messages counted as lost (backlog overflow, the bound on unsent bytes, lost
    // connections) and not yet reported.
    qint64 droppedMessages() const { return sendQueue_.dropped(); }
    // Messages not delivered yet: the backlog, the queue, the socket's and the
    // system's buffers, and what waits for its connection to outlive it.
    qint64 unsentMessages();
    // Bytes received from the server and not yet thrown away, now and at most.
    qint64 receivedBytesHeld() const;
    qint64 receivedBytesPeak() const { return receivedPeak_; }
    // Tests use small bounds; the defaults are SendQueue's.
    void setSendLimits(qint64 maxUnsentBytes, qint64 writeChunkBytes)
    {
        sendQueue_.setLimits(maxUnsentBytes, writeChunkBytes);
    }

    int retryIntervalMs() const { return retryIntervalMs_; }
    // Tests shorten the pause between reconnection attempts.
    void setRetryIntervalMs(int ms) { retryIntervalMs_ = ms; }
    int confirmMs() const { return sendQueue_.confirmPeriod(); }
    // Tests shorten the time a connection must outlive what was written to it.
    void setConfirmMs(int ms);

public slots:
    void start();
    void sendMessage(LoggerEventMsg msg);
    void writeToStream(std::ostream& out, LoggerEventMsg msg);
    void handleSocketStateChange(QAbstractSocket::SocketState state);
    void handleSocketError(QAbstractSocket::SocketError error);

private:
    bool serverConfigured() const;
    bool connected() const;
    void echo(const LoggerEventMsg& msg);
    // The client's own lines about its connection: echoed, and sent while
    // connected, but never kept in the backlog nor counted.
    void logOwn(int line, const QString& text);
    void writeToSocket(const LoggerEventMsg& msg);
    void handleBytesWritten();
    void discardReceived();
    void checkConnection();
    void reportDropped();
    void pushReport(qint64 dropped, bool atFront);

    LoggerConfig config_;
    QTcpSocket* socket_ = nullptr;
    LoggerClientInfo clientInfo_;
    QList<LoggerEventMsg> backlog_;
    int retryCount_ = 0;
    int retryIntervalMs_ = DEFAULT_RETRY_INTERVAL_MS;
    SendQueue sendQueue_;
    // While connected: confirms what the connection outlived, and ends the retries
    // once the connection has stayed open a whole confirmation period.
    QTimer* confirmTimer_ = nullptr;
    QElapsedTimer connectedFor_;
    qint64 receivedPeak_ = 0;
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
