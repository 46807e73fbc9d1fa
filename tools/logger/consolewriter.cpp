#include "tools/logger/consolewriter.h"

#include "tools/logger/loggerprotocol.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A write of at most this many bytes to a pipe that poll() calls writable does
// not wait: a free pipe buffer holds a page.
constexpr qsizetype POLLED_CHUNK = 4096;

} // namespace

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
            mode_ = Mode::Polled;
        }
    }
    if (mode_ != Mode::Direct) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
        notifier_->setEnabled(false);
        connect(notifier_, &QSocketNotifier::activated, this, &ConsoleWriter::drain);
    }
}

ConsoleWriter::~ConsoleWriter()
{
    // One last try, without waiting.
    drain();
    if (ownFd_ >= 0)
        ::close(ownFd_);
}

ConsoleWriter* ConsoleWriter::standardOutput()
{
    static ConsoleWriter* writer = new ConsoleWriter(STDOUT_FILENO, QStringLiteral("stdout"));
    return writer;
}

ConsoleWriter* ConsoleWriter::standardError()
{
    static ConsoleWriter* writer = new ConsoleWriter(STDERR_FILENO, QStringLiteral("stderr"));
    return writer;
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
            if (n < 0)
                return false;
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
    for (;;) {
        ssize_t n = 0;
        switch (mode_) {
        case Mode::Direct:
        case Mode::NonBlocking:
            n = ::write(fd_, data, static_cast<size_t>(size));
            break;
        case Mode::Socket:
            n = ::send(fd_, data, static_cast<size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL);
            break;
        case Mode::Polled: {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 0) != 1)
                return 0;
            if ((p.revents & POLLOUT) == 0) {
                if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0)
                    return 0;
            }
            n = ::write(fd_, data, static_cast<size_t>(std::min(size, POLLED_CHUNK)));
            break;
        }
        }
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
