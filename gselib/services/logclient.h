#pragma once
// Writes time-stamped text lines to a LogServer over a local socket. Lines wait
// in a bounded queue (SendQueue) while the server does not read; beyond a few
// MiB the oldest are dropped, which sigErrorMessage tells once the queue drains,
// and the lines never sent are counted on the standard error stream at the end.
// A plain name is a socket in this user's own folder (LocalSocketPath); a
// server whose socket or process belongs to another user gets no line.
#include "tools/logger/sendqueue.h"

#include <QObject>
#include <QString>

class QLocalSocket;

class LogClient : public QObject
{
    Q_OBJECT

public:
    static const QString CMD_CLEAR_LOG;
    // The most a server's bytes, which are thrown away, take of the client.
    static constexpr qint64 READ_BUFFER_BYTES = 64 * 1024;

    explicit LogClient(const QString& serverName = QStringLiteral("logger"), QObject* parent = nullptr);
    ~LogClient() override;

    // Starts connecting again (without waiting) when not connected.
    void connectLogServer();
    // Sends "<time stamp><text>\n"; the line is lost when the socket is not writable.
    void write(const QString& text);
    // Asks the server to empty its file; nothing happens when not connected.
    void clearFile();
    // The current local time as "MM-dd-yy hh:mm:ss:zzz ".
    static QString getDateTime();

    bool isConnected() const;
    QString name() const { return serverName; }

    // Tests use small bounds; the defaults are SendQueue's.
    void setSendLimits(qint64 maxUnsentBytes, qint64 writeChunkBytes);
    // Bytes written and not yet taken by the system, and lines dropped not yet reported.
    qint64 unsentBytes() const { return sendQueue.unsentBytes(); }
    qint64 droppedLines() const { return sendQueue.dropped(); }

signals:
    void sigErrorMessage(QString msg);

public slots:
    void procConnected();

private:
    void startConnecting();
    void checkServer();
    void refuse(const QString& reason);
    void sendQueued();

    QString serverName;
    QLocalSocket* socket = nullptr;
    SendQueue sendQueue;
    QString refusal; // the last refusal told, so that it is told once
};
