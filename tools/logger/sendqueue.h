#pragma once
// A bounded queue of whole messages in front of a socket (a QTcpSocket or a
// QLocalSocket). The logging clients write through it so that a peer that stops
// reading costs at most a few MiB: the socket's own buffer is fed only up to a
// chunk, the rest waits here as whole messages, and beyond the bound the oldest
// are dropped and counted. The owner reports the count once the queue drains,
// and at its end what was never handed to the system.
#include <QByteArray>
#include <QDeadlineTimer>
#include <deque>

class QAbstractSocket;
class QIODevice;
class QLocalSocket;

class SendQueue
{
public:
    // Bytes unsent in all (this queue and the socket's buffer) before the oldest go.
    static constexpr qint64 DEFAULT_MAX_UNSENT_BYTES = 4 * 1024 * 1024;
    // The socket's own buffer is topped up only while it holds less than this.
    static constexpr qint64 DEFAULT_WRITE_CHUNK_BYTES = 256 * 1024;

    // The device must be a QAbstractSocket or a QLocalSocket that only this queue writes to.
    explicit SendQueue(QIODevice* device);
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    void setLimits(qint64 maxUnsentBytes, qint64 writeChunkBytes);
    qint64 maxUnsentBytes() const { return maxUnsent_; }
    qint64 writeChunkBytes() const { return chunk_; }

    // Queues one whole message and hands the socket what it takes now. A kept
    // message (a command) is dropped only when nothing else is left to drop.
    void push(const QByteArray& message, bool keep = false);
    // The same at the head, for what must open a new connection.
    void pushFront(const QByteArray& message);
    // Hands queued messages to a connected socket while its buffer has room; the
    // owner calls it when the socket has written bytes or has connected.
    void pump();
    // Forgets queued messages that have not reached the socket yet (not counted).
    void discardQueued();
    // The socket lost its connection and its buffer: what was in it is counted as dropped.
    void connectionLost();
    // Tries to hand everything to the system until the deadline (for a closing owner).
    void finish(QDeadlineTimer deadline);

    // The number dropped since the last call, once the queue is empty again; else 0.
    qint64 takeDroppedWhenDrained();
    qint64 dropped() const { return dropped_; }
    // Messages not yet handed to the system: queued here or in the socket's buffer.
    qint64 unsentMessages();
    qint64 unsentBytes() const;
    qint64 queuedMessages() const { return static_cast<qint64>(queued_.size()); }

private:
    struct Entry
    {
        QByteArray bytes;
        bool keep = false;
    };

    bool connected() const;
    bool flush();
    qint64 socketBytes() const;
    // Retires the in-flight messages that the socket has written out whole.
    void sync();
    void trim();
    void pumpOnce();

    QIODevice* device_;
    QAbstractSocket* tcp_;
    QLocalSocket* local_;
    qint64 maxUnsent_ = DEFAULT_MAX_UNSENT_BYTES;
    qint64 chunk_ = DEFAULT_WRITE_CHUNK_BYTES;
    std::deque<Entry> queued_;
    qint64 queuedBytes_ = 0;
    // Sizes of the messages handed to the socket and not yet all written by it, oldest first.
    std::deque<qint64> inFlight_;
    qint64 inFlightBytes_ = 0;
    qint64 dropped_ = 0;
    bool pumping_ = false;
    bool repump_ = false;
};
