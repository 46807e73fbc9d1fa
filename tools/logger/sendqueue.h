#pragma once
// A bounded queue of whole messages in front of a socket (a QTcpSocket or a
// QLocalSocket). The logging clients write through it so that a peer that stops
// reading costs at most a few MiB: the socket's own buffer is fed only up to a
// chunk, the rest waits here as whole messages, and beyond the bound the oldest
// are dropped and counted. The owner reports the count once the queue drains,
// and at its end what was never delivered. A TCP owner may ask that what the
// system took counts as delivered only once the connection has outlived it by a
// confirmation period: a connection reset before the peer read loses it, and the
// count then says so.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <deque>
#include <vector>

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

    // One message and what its loss costs in the count of lost messages.
    struct Message
    {
        QByteArray bytes;
        // Dropped only when nothing else is left to drop (commands).
        bool keep = false;
        // 1 for a message of the owner's callers; 0 for the owner's own lines
        // about its connection, which nobody counts.
        qint64 counts = 1;
        // A report of dropped messages: the number it tells, owed again when it is lost.
        qint64 carries = 0;
    };

    // The device must be a QAbstractSocket or a QLocalSocket that only this queue writes to.
    explicit SendQueue(QIODevice* device);
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    void setLimits(qint64 maxUnsentBytes, qint64 writeChunkBytes);
    qint64 maxUnsentBytes() const { return maxUnsent_; }
    qint64 writeChunkBytes() const { return chunk_; }
    // 0 (the default): a message counts as delivered once the socket has written
    // it. Above 0, for TCP: once the peer's system has acknowledged it and the
    // connection has stayed open this many ms since.
    void setConfirmPeriod(int ms) { confirmMs_ = ms; }
    int confirmPeriod() const { return confirmMs_; }

    // Queues one whole message and hands the socket what it takes now. A kept
    // message (a command) is dropped only when nothing else is left to drop.
    void push(const QByteArray& message, bool keep = false);
    void push(Message message);
    // The same at the head, for what must open a new connection; several go in
    // the order given, ahead of everything queued.
    void pushFront(const QByteArray& message);
    void pushFront(std::vector<Message> messages);
    // Hands queued messages to a connected socket while its buffer has room; the
    // owner calls it when the socket has written bytes or has connected.
    void pump();
    // Takes as delivered what the open connection has outlived its confirmation period for.
    void confirm();
    // After everything is written: half-closes a TCP connection and waits until
    // the deadline for the peer to close in order, which it does only once it has
    // read all. Then everything counts as delivered and true is returned.
    bool confirmByOrderlyClose(QDeadlineTimer deadline);
    // Messages the connection outlived that may still sit unread in the peer's
    // socket: the newest of them, as many bytes as that socket can hold. They
    // count as not sent when the connection ends without the peer's orderly close.
    qint64 unprovenMessages() const;
    // Forgets queued messages that have not reached the socket yet (not counted).
    void discardQueued();
    // The socket lost its connection and its buffer: what was in it, and what the
    // connection had not outlived its confirmation period for, is counted as dropped.
    void connectionLost();
    // Tries to hand everything to the system until the deadline (for a closing owner).
    void finish(QDeadlineTimer deadline);

    // Counts messages that the owner itself dropped.
    void countDropped(qint64 n) { dropped_ += n; }
    // The number dropped since the last call, once the queue is empty again; else 0.
    qint64 takeDroppedWhenDrained();
    // The number dropped since the last call.
    qint64 takeDropped();
    qint64 dropped() const { return dropped_; }
    // Messages not yet delivered: queued here, in the socket's buffer, in the
    // system's or waiting for confirmation; a report counts as what it tells.
    qint64 unsentMessages();
    qint64 unsentBytes() const;
    qint64 queuedMessages() const { return static_cast<qint64>(queued_.size()); }

private:
    struct InFlight
    {
        qint64 size = 0;
        qint64 cost = 0; // counts + carries
    };
    // What the system took in one stretch of time, waiting for confirmation.
    struct Unconfirmed
    {
        qint64 firstMs = 0;
        qint64 lastMs = 0;
        qint64 cost = 0;
        qint64 bytes = 0;
    };

    bool connected() const;
    bool flush();
    qint64 socketBytes() const;
    // Bytes the system holds that the peer has not acknowledged (confirming TCP only).
    qint64 systemBytes() const;
    // What the peer's socket may hold unread, judged by the windows it advertised.
    qint64 peerCapacity() const;
    void forgetConfirmed();
    // Retires the in-flight messages that the socket has written out whole.
    void sync();
    void retire(const InFlight& m);
    void trim();
    void pumpOnce();

    QIODevice* device_;
    QAbstractSocket* tcp_;
    QLocalSocket* local_;
    qint64 maxUnsent_ = DEFAULT_MAX_UNSENT_BYTES;
    qint64 chunk_ = DEFAULT_WRITE_CHUNK_BYTES;
    int confirmMs_ = 0;
    QElapsedTimer clock_;
    std::deque<Message> queued_;
    qint64 queuedBytes_ = 0;
    // The messages handed to the socket and not yet all taken by the peer, oldest first.
    std::deque<InFlight> inFlight_;
    qint64 inFlightBytes_ = 0;
    // A few stretches at most: each spans a quarter of the confirmation period.
    std::deque<Unconfirmed> unconfirmed_;
    // Outlived stretches within peerCapacity() of the newest.
    std::deque<Unconfirmed> unproven_;
    qint64 unprovenBytes_ = 0;
    // The largest receive window the peer advertised on this connection.
    qint64 peerWindow_ = 0;
    qint64 dropped_ = 0;
    bool pumping_ = false;
    bool repump_ = false;
};
