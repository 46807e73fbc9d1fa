#include "tools/logger/consolewriter.h"

#include "tools/logger/loggerprotocol.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// The most the writer thread holds at a time: what a stuck write keeps besides the
// queue's bound.
constexpr qsizetype HANDED_CHUNK = 64 * 1024;

// What waits for the console at exit gets this long, so that the last lines reach a
// reader that is there, and a reader that is not cannot hold the exit.
constexpr int EXIT_GRACE_MS = 500;

// The standard writers as made, finished at exit.
ConsoleWriter* standardWriters[2] = {nullptr, nullptr};

// The error a write to fd would fail with at once because its reader has gone, or
// 0. Learnt from poll() rather than from a write, which might wait.
int goneReaderError(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0)
        return 0;
    if ((p.revents & POLLNVAL) != 0)
        return EBADF;
    struct stat st = {};
    return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) ? EPIPE : EIO;
}

// Writes all of data to fd, waiting as long as its reader makes it; 0 or the error.
int writeAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n >= 0) {
            data += n;
            size -= n;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone made the shared descriptor non-blocking.
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, -1);
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

} // namespace

// Writes one chunk at a time to a descriptor of its own (a duplicate of the shared
// one), waiting in write() as long as the reader makes it. It takes a chunk only
// when it holds none, so to the writer it is a stream that never blocks and takes
// up to HANDED_CHUNK bytes when free: the queue, its bound and the count of dropped
// lines stay with the writer, on the event loop. It keeps itself alive, as a write
// nobody reads may outlast the writer.
class ConsoleWriter::WriterThread
{
public:
    WriterThread() = default;
    ~WriterThread()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (wake_ >= 0)
            ::close(wake_);
    }
    WriterThread(const WriterThread&) = delete;
    WriterThread& operator=(const WriterThread&) = delete;

    // Null, with error set, when the thread or its descriptors cannot be had.
    static std::shared_ptr<WriterThread> start(int fd, int& error)
    {
        auto self = std::make_shared<WriterThread>();
        self->fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (self->fd_ >= 0)
            self->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (self->wake_ < 0) {
            error = errno;
            return nullptr;
        }
        try {
            std::thread([self] { self->run(); }).detach();
        } catch (const std::system_error& e) {
            error = e.code().value();
            return nullptr;
        }
        return self;
    }

    // The bytes taken, 0 while a chunk is still being written, -1 with error set
    // once the stream has failed.
    qsizetype take(const char* data, qsizetype size, int& error)
    {
        std::lock_guard lock(mutex_);
        if (error_ == 0 && chunk_.isEmpty())
            error_ = goneReaderError(fd_);
        if (error_ != 0) {
            error = error_;
            return -1;
        }
        if (!chunk_.isEmpty())
            return 0;
        const qsizetype n = std::min(size, HANDED_CHUNK);
        chunk_.append(data, n);
        changed_.notify_all();
        return n;
    }

    // Readable once a chunk has been written or has failed; woken() reads it.
    int wakeFd() const { return wake_; }
    void woken()
    {
        quint64 count = 0;
        [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
    }

    bool idle()
    {
        std::lock_guard lock(mutex_);
        return chunk_.isEmpty();
    }
    // Lines in the chunk being written, which may never be.
    qint64 heldLines()
    {
        std::lock_guard lock(mutex_);
        return chunk_.count('\n');
    }
    bool waitIdle(qint64 msecs)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(0, msecs)),
                                 [this] { return chunk_.isEmpty(); });
    }

    // The thread ends once it holds nothing; a chunk it holds is still written.
    void stop()
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }

private:
    void run()
    {
        // Signals are for the event loop's thread; SIGPIPE here stays pending, and
        // the write says EPIPE.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !chunk_.isEmpty() || stopping_; });
            if (chunk_.isEmpty())
                return;
            // The chunk is this thread's until it is emptied: take() leaves it alone.
            lock.unlock();
            const int error = writeAll(fd_, chunk_.constData(), chunk_.size());
            lock.lock();
            chunk_.resize(0);
            error_ = error;
            changed_.notify_all();
            const quint64 one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
            if (error != 0)
                return;
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    QByteArray chunk_;
    int error_ = 0;
    bool stopping_ = false;
    int fd_ = -1;
    int wake_ = -1;
};

ConsoleWriter::ConsoleWriter(int fd, const QString& name, QObject* parent) : QObject(parent), fd_(fd), name_(name)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        fail(errno);
        return;
    }
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        mode_ = Mode::Direct;
    } else if (S_ISSOCK(st.st_mode)) {
        mode_ = Mode::Socket;
    } else {
        // O_NONBLOCK on the inherited descriptor would change it for every process
        // that shares it (the shell's terminal, say); a second opening is ours alone.
        const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
        const int own = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat ownSt = {};
        if (own >= 0 && ::fstat(own, &ownSt) == 0 && ownSt.st_dev == st.st_dev && ownSt.st_ino == st.st_ino) {
            ownFd_ = own;
            fd_ = own;
            mode_ = Mode::NonBlocking;
        } else {
            if (own >= 0)
                ::close(own);
            // The shared descriptor may block, and on a terminal "writable" in
            // poll()'s word does not mean that a chunk fits: a thread of its own
            // waits for the reader instead of the event loop.
            int error = 0;
            thread_ = WriterThread::start(fd, error);
            if (!thread_) {
                fail(error);
                return;
            }
            mode_ = Mode::Threaded;
        }
    }
    if (mode_ == Mode::Threaded) {
        notifier_ = new QSocketNotifier(thread_->wakeFd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            thread_->woken();
            drain();
        });
    } else if (mode_ != Mode::Direct) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
        connect(notifier_, &QSocketNotifier::activated, this, &ConsoleWriter::drain);
    }
    if (notifier_ != nullptr)
        notifier_->setEnabled(false);
}

ConsoleWriter::~ConsoleWriter()
{
    // One last try, without waiting.
    drain();
    // The notifier may watch the thread's descriptor, closed once the thread ends.
    delete notifier_;
    notifier_ = nullptr;
    if (thread_)
        thread_->stop();
    if (ownFd_ >= 0)
        ::close(ownFd_);
}

ConsoleWriter* ConsoleWriter::standardOutput()
{
    static ConsoleWriter* writer = madeStandard(STDOUT_FILENO, QStringLiteral("stdout"));
    return writer;
}

ConsoleWriter* ConsoleWriter::standardError()
{
    static ConsoleWriter* writer = madeStandard(STDERR_FILENO, QStringLiteral("stderr"));
    return writer;
}

ConsoleWriter* ConsoleWriter::standardErrorIfMade()
{
    return standardWriters[1];
}

ConsoleWriter* ConsoleWriter::madeStandard(int fd, const QString& name)
{
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(&ConsoleWriter::finishStandardStreams); });
    auto* writer = new ConsoleWriter(fd, name);
    standardWriters[fd == STDOUT_FILENO ? 0 : 1] = writer;
    return writer;
}

void ConsoleWriter::finishStandardStreams()
{
    static const QDeadlineTimer deadline(EXIT_GRACE_MS);
    // Each in turn, each until what waits is taken: a stream that is read takes
    // it at once, and the first that is not leaves the other what is left.
    for (ConsoleWriter* writer : standardWriters) {
        if (writer != nullptr)
            writer->finish(deadline);
    }
}

QString ConsoleWriter::lostText(qint64 lines, const QString& name, const QString& why)
{
    return QStringLiteral("dropped %1 lines to %2: %3").arg(lines).arg(name, why);
}

qint64 ConsoleWriter::takeUnwrittenLines()
{
    qint64 lines = dropped_ + lostAtFailure_;
    if (!failed_) {
        lines += QByteArrayView(queue_).sliced(head_).count('\n');
        if (thread_)
            lines += thread_->heldLines();
    }
    dropped_ = 0;
    lostAtFailure_ = 0;
    // What waits is counted as not written by now (at exit, it never is).
    return lines;
}

void ConsoleWriter::finish(const QDeadlineTimer& deadline)
{
    for (;;) {
        drain();
        if (failed_ || (queuedBytes() == 0 && (!thread_ || thread_->idle())) || deadline.hasExpired())
            return;
        if (thread_) {
            thread_->waitIdle(deadline.remainingTime());
        } else {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(deadline.remainingTime()));
        }
    }
}

bool ConsoleWriter::write(const QByteArray& lines)
{
    if (failed_)
        return false;
    if (lines.isEmpty())
        return true;
    qsizetype done = 0;
    if (queuedBytes() == 0) {
        // The common case: the stream takes it at once, nothing is copied.
        while (done < lines.size()) {
            const qsizetype n = writeSome(lines.constData() + done, lines.size() - done);
            if (n < 0) {
                lostAtFailure_ += QByteArrayView(lines).sliced(done).count('\n');
                return false;
            }
            if (n == 0)
                break;
            done += n;
        }
        if (done == lines.size())
            return true;
    }
    const qsizetype rest = lines.size() - done;
    // A line begun on the stream is finished whatever the bound, or the next line
    // would be glued to its head.
    if (done == 0 && queuedBytes() + rest > maxQueued_) {
        dropped_ += std::max<qsizetype>(1, lines.count('\n'));
    } else {
        if (head_ > 0 && head_ >= queue_.size() / 2) {
            queue_.remove(0, head_);
            head_ = 0;
        }
        queue_.append(lines.constData() + done, rest);
    }
    updateNotifier();
    return true;
}

void ConsoleWriter::drain()
{
    if (failed_ || draining_)
        return;
    draining_ = true;
    while (queuedBytes() > 0) {
        const qsizetype n = writeSome(queue_.constData() + head_, queuedBytes());
        if (n <= 0)
            break;
        head_ += n;
    }
    if (!failed_ && queuedBytes() == 0) {
        queue_.clear();
        head_ = 0;
        if (queue_.capacity() > 64 * 1024)
            queue_.squeeze();
        if (dropped_ > 0) {
            // Said on the stream that lost them, in the form of its other lines.
            const qint64 count = dropped_;
            dropped_ = 0;
            const LoggerEvent notice(LoggerEventMsg(
                QStringLiteral("server"), QStringLiteral(__FILE__), __LINE__, WARN,
                QStringLiteral("dropped %1 lines to %2: it was not read fast enough").arg(count).arg(name_)));
            draining_ = false;
            write(notice.toEncoded() + LoggerMsg::MSG_END);
            return;
        }
    }
    draining_ = false;
    updateNotifier();
}

qsizetype ConsoleWriter::writeSome(const char* data, qsizetype size)
{
    if (mode_ == Mode::Threaded) {
        int error = 0;
        const qsizetype n = thread_->take(data, size, error);
        if (n < 0)
            fail(error);
        return n;
    }
    for (;;) {
        const ssize_t n = mode_ == Mode::Socket ? ::send(fd_, data, static_cast<size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL)
                                                : ::write(fd_, data, static_cast<size_t>(size));
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        fail(errno);
        return -1;
    }
}

void ConsoleWriter::fail(int error)
{
    lostAtFailure_ += dropped_ + QByteArrayView(queue_).sliced(head_).count('\n');
    dropped_ = 0;
    failed_ = true;
    error_ = QString::fromLocal8Bit(std::strerror(error));
    queue_.clear();
    head_ = 0;
    updateNotifier();
}

void ConsoleWriter::updateNotifier()
{
    if (notifier_ != nullptr)
        notifier_->setEnabled(!failed_ && queuedBytes() > 0);
}
