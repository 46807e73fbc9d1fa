#pragma once
// The logging server's accepted connections, initialized or not, and the bounds
// on what they hold: at the bound of connections the longest silent makes way for
// a new one, a connection silent past the timeout since it connected is closed
// (the rules are ConnectionAdmission's), and past a bound on the partial lines of
// all of them together the oldest partial line is dropped, since a line that has
// waited longest is the likeliest never to end. No connection is closed before
// what it has sent is read and its lines written: a burst of clients that the
// server has not read yet, or clients that have already gone, would otherwise be
// closed with their lines unread. The server makes and wires each connection, and
// closes and says what this asks it to.
#include "tools/logger/connectionadmission.h"

#include <QList>
#include <QObject>
#include <QString>

class LoggerServerClient;
class QTimer;

class ServerConnections : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 DEFAULT_MAX_PARTIAL_BYTES = 64 * 1024 * 1024;
    // Partial lines of this size or more, once freed, are worth giving back to the
    // system, together however many connections held them.
    static constexpr qsizetype RELEASE_BYTES = 256 * 1024;
    static constexpr int RELEASE_DELAY_MS = 100;
    // A connection this young that has sent nothing does not make way: its client
    // may be about to send. While no other can, newcomers come in over the bound
    // (overflowMargin()), and the bound is restored this long after; past the
    // margin a newcomer is read and refused.
    static constexpr qint64 FRESH_MS = 250;
    // The most read from the connections in one search for a place: a peer that
    // floods cannot hold the loop, and past this the newcomer is refused rather
    // than a connection closed with its lines unread.
    static constexpr qint64 PLACE_READ_BUDGET = 4 * 1024 * 1024;

    // The kind of the warning that a closed connection's partial line was dropped.
    static inline const QString KIND_PARTIAL_CLOSED = QStringLiteral("partial line closed");

    explicit ServerConnections(QObject* parent = nullptr);

    static QString partialClosedText(qsizetype bytes);
    static QString partialClosedNotSaidText(qint64 count, const QString& peer);

    const ConnectionAdmission& admission() const { return admission_; }
    void setMaxConnections(int count) { admission_.setMaxConnections(count); }
    void setSilenceTimeout(int ms);
    void setMaxPartialBytes(qint64 bytes) { maxPartialBytes_ = bytes; }
    qint64 maxPartialBytes() const { return maxPartialBytes_; }
    // Bytes of partial lines held for all connections together.
    qint64 partialBytes() const { return partialBytes_; }
    qsizetype count() const { return connections_.size(); }
    bool full() const { return admission_.full(connections_.size()); }

    // Makes a place for a new connection: at the bound the longest silent is read
    // to the end of what it sent, then released when its peer has gone, or else
    // dismissed. Whether a place is free.
    bool makePlace();
    qsizetype overflowMargin() const;
    void add(LoggerServerClient* client);
    // Forgets a connection that closes, after reading the lines Qt still holds
    // for it unless it was dismissed; false when it was not held.
    bool remove(LoggerServerClient* client);
    void clear() { connections_.clear(); }
    // The partial line held by client grew or shrank by delta bytes.
    void partialBytesChanged(LoggerServerClient* client, qsizetype delta);

signals:
    // A connection to close for cause; text says why, kind is its warning's kind.
    void dismiss(LoggerServerClient* client, const QString& kind, const QString& text);
    // A connection read to its end whose peer has gone: closed as any that ends.
    void release(LoggerServerClient* client);
    void partialLineDropped(LoggerServerClient* client, const QString& text);

private:
    void closeSilent();
    // Closes silent connections, longest silent first, until at most atMost are
    // open; whether that many are.
    bool closeSilentDownTo(qsizetype atMost);
    // Back to the bound after newcomers came in over it.
    void trim();
    // Reads what a connection has sent; what it then is.
    enum class Read
    {
        Spoke,   // it sent lines: behind the others now
        Sending, // more waits than was read
        Fresh,   // nothing yet, but it has only just connected
        Silent,  // nothing new: it may make way
        Gone,    // closed
    };
    Read readOut(LoggerServerClient* client, qint64& budget);
    void freed(qsizetype bytes);
    // Gives the memory of freed partial lines back to the system, once for all
    // the connections that close in one turn of the loop: glibc keeps it otherwise.
    void scheduleMemoryRelease();

    ConnectionAdmission admission_;
    QList<LoggerServerClient*> connections_;
    QTimer* silenceTimer_;
    QTimer* trimTimer_;
    qint64 maxPartialBytes_ = DEFAULT_MAX_PARTIAL_BYTES;
    qint64 partialBytes_ = 0;
    // Partial-line bytes freed since memory was last given back.
    qint64 freedBytes_ = 0;
    bool releaseScheduled_ = false;
};
