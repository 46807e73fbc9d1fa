#pragma once
// The console copy of the logging server: lines for the standard output or error
// stream, written without ever blocking the event loop. A pipe or terminal that is
// not read would otherwise freeze every client; here what the stream cannot take
// waits in a bounded queue, lines past it are dropped, and once the stream takes
// lines again one line says how many went. A stream this process can neither make
// non-blocking nor open again (another user's terminal, after su) is written by a
// thread of its own, which alone waits for the reader. Files are not written through this.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class QDeadlineTimer;
class QSocketNotifier;

class ConsoleWriter : public QObject
{
    Q_OBJECT
public:
    // Lines waiting for a slow reader; past this they are dropped. 1 MiB holds
    // several seconds of a busy server's lines.
    static constexpr qsizetype DEFAULT_MAX_QUEUED_BYTES = 1024 * 1024;

    // Writes to fd, which stays open; name ("stdout", "stderr") names the stream
    // in the line that counts dropped lines.
    ConsoleWriter(int fd, const QString& name, QObject* parent = nullptr);
    ~ConsoleWriter() override;
    ConsoleWriter(const ConsoleWriter&) = delete;
    ConsoleWriter& operator=(const ConsoleWriter&) = delete;

    // The one writer of the process's standard output (error) stream, shared by
    // every server and the program's own warnings so that their lines never mix.
    static ConsoleWriter* standardOutput();
    static ConsoleWriter* standardError();
    // The writer of the standard error stream if one was made, else null.
    static ConsoleWriter* standardErrorIfMade();

    // Queues whole lines, each ended by a line feed; lines that do not fit are
    // dropped and counted. False once the stream failed for good (its reader gone).
    bool write(const QByteArray& lines);
    bool failed() const { return failed_; }
    QString errorString() const { return error_; }
    const QString& name() const { return name_; }

    void setMaxQueuedBytes(qsizetype bytes) { maxQueued_ = bytes; }
    qsizetype queuedBytes() const { return queue_.size() - head_; }
    // Lines dropped since the last count was written.
    qint64 droppedLines() const { return dropped_; }
    // Lines not written and not said yet: dropped, waiting, or lost when the
    // stream failed; the count is said elsewhere, once.
    qint64 takeUnwrittenLines();
    // The line that says lines were lost on a stream, and why.
    static QString lostText(qint64 lines, const QString& name, const QString& why);

    // Gives both standard streams one moment, shared, to take what waits for them:
    // at exit, so that the last lines reach a reader that is there, and a reader
    // that is not cannot hold the exit. Later calls share what is left of it.
    static void finishStandardStreams();

private:
    enum class Mode {
        Direct,      // a regular file: writes do not wait for a reader
        NonBlocking, // a private non-blocking opening of the same pipe or terminal
        Socket,      // send() without waiting
        Threaded,    // the shared descriptor, which a write may wait on: see WriterThread
    };
    class WriterThread;
    void drain();
    // Writes from data; returns the bytes taken, 0 when the stream is full, -1 on failure.
    qsizetype writeSome(const char* data, qsizetype size);
    void fail(int error);
    void updateNotifier();
    // Gives the stream until the deadline to take what waits.
    void finish(const QDeadlineTimer& deadline);
    static ConsoleWriter* madeStandard(int fd, const QString& name);

    int fd_;
    int ownFd_ = -1;
    Mode mode_ = Mode::Direct;
    QString name_;
    QByteArray queue_;
    qsizetype head_ = 0;
    qsizetype maxQueued_ = DEFAULT_MAX_QUEUED_BYTES;
    qint64 dropped_ = 0;
    // Lines lost when the stream failed, not said yet.
    qint64 lostAtFailure_ = 0;
    bool failed_ = false;
    bool draining_ = false;
    QString error_;
    QSocketNotifier* notifier_ = nullptr;
    std::shared_ptr<WriterThread> thread_;
};
