#include "tools/logger/sendqueue.h"

#include <QAbstractSocket>
#include <QLocalSocket>
#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#elif defined(__APPLE__)
#include <netinet/in.h>
#include <netinet/tcp.h>
#endif

namespace {

qint64 costOf(const SendQueue::Message& m)
{
    return m.counts + m.carries;
}

// Bytes written to a TCP socket that its peer has not acknowledged yet.
qint64 unacknowledgedBytes(qintptr fd)
{
    int n = 0;
#if defined(__linux__)
    if (::ioctl(static_cast<int>(fd), SIOCOUTQ, &n) == 0)
        return n;
#elif defined(__APPLE__)
    socklen_t len = sizeof n;
    if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_NWRITE, &n, &len) == 0)
        return n;
#endif
    return 0;
}

// The receive window the peer advertised last; 0 where the system does not say.
qint64 peerWindow(qintptr fd)
{
#if defined(__linux__)
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_INFO, &info, &len) == 0
        && len >= offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd)
        return info.tcpi_snd_wnd;
#elif defined(__APPLE__)
    tcp_connection_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_CONNECTION_INFO, &info, &len) == 0)
        return info.tcpi_snd_wnd;
#endif
    (void)fd;
    return 0;
}

// Where the peer's window is unknown, what its socket may hold is taken as this.
constexpr qint64 UNKNOWN_PEER_CAPACITY = 8 * 1024 * 1024;
constexpr size_t MAX_UNPROVEN_STRETCHES = 16;

} // namespace

SendQueue::SendQueue(QIODevice* device)
    : device_(device), tcp_(qobject_cast<QAbstractSocket*>(device)), local_(qobject_cast<QLocalSocket*>(device))
{
    clock_.start();
}

void SendQueue::setLimits(qint64 maxUnsentBytes, qint64 writeChunkBytes)
{
    maxUnsent_ = std::max<qint64>(1, maxUnsentBytes);
    chunk_ = std::clamp<qint64>(writeChunkBytes, 1, maxUnsent_);
    trim();
}

bool SendQueue::connected() const
{
    if (tcp_ != nullptr)
        return tcp_->state() == QAbstractSocket::ConnectedState;
    return local_ != nullptr && local_->state() == QLocalSocket::ConnectedState;
}

bool SendQueue::flush()
{
    if (tcp_ != nullptr)
        return tcp_->flush();
    return local_ != nullptr && local_->flush();
}

qint64 SendQueue::socketBytes() const
{
    return device_->isOpen() ? device_->bytesToWrite() : 0;
}

qint64 SendQueue::systemBytes() const
{
    if (confirmMs_ <= 0 || tcp_ == nullptr || tcp_->socketDescriptor() < 0)
        return 0;
    return unacknowledgedBytes(tcp_->socketDescriptor());
}

void SendQueue::sync()
{
    // A closed socket has thrown its buffer away: connectionLost() counts that.
    if (inFlight_.empty() || !device_->isOpen())
        return;
    qint64 taken = inFlightBytes_ - device_->bytesToWrite() - systemBytes();
    while (!inFlight_.empty() && inFlight_.front().size <= taken) {
        taken -= inFlight_.front().size;
        inFlightBytes_ -= inFlight_.front().size;
        retire(inFlight_.front());
        inFlight_.pop_front();
    }
}

void SendQueue::retire(const InFlight& m)
{
    if (confirmMs_ <= 0 || m.cost == 0)
        return;
    const qint64 now = clock_.elapsed();
    if (unconfirmed_.empty() || now - unconfirmed_.back().firstMs > confirmMs_ / 4)
        unconfirmed_.push_back(Unconfirmed{now, now, 0});
    unconfirmed_.back().lastMs = now;
    unconfirmed_.back().cost += m.cost;
    unconfirmed_.back().bytes += m.size;
}

qint64 SendQueue::peerCapacity() const
{
    // The window is what the peer's socket has free; a peer that does not read
    // has some of it taken already at the largest window it shows.
    return peerWindow_ > 0 ? 2 * peerWindow_ : UNKNOWN_PEER_CAPACITY;
}

void SendQueue::forgetConfirmed()
{
    unproven_.clear();
    unprovenBytes_ = 0;
    peerWindow_ = 0;
}

qint64 SendQueue::unprovenMessages() const
{
    qint64 n = 0;
    for (const Unconfirmed& u : unproven_)
        n += u.cost;
    return n;
}

void SendQueue::confirm()
{
    if (!connected())
        return;
    sync();
    if (tcp_ != nullptr && confirmMs_ > 0)
        peerWindow_ = std::max(peerWindow_, peerWindow(tcp_->socketDescriptor()));
    const qint64 now = clock_.elapsed();
    while (!unconfirmed_.empty() && unconfirmed_.front().lastMs + confirmMs_ <= now) {
        unprovenBytes_ += unconfirmed_.front().bytes;
        unproven_.push_back(unconfirmed_.front());
        unconfirmed_.pop_front();
    }
    while (!unproven_.empty() && unprovenBytes_ - unproven_.front().bytes >= peerCapacity()) {
        unprovenBytes_ -= unproven_.front().bytes;
        unproven_.pop_front();
    }
    // A slow trickle makes a stretch per message: the oldest merge, which only
    // makes the count at the end err on the side of more.
    while (unproven_.size() > MAX_UNPROVEN_STRETCHES) {
        Unconfirmed oldest = unproven_.front();
        unproven_.pop_front();
        unproven_.front().firstMs = oldest.firstMs;
        unproven_.front().cost += oldest.cost;
        unproven_.front().bytes += oldest.bytes;
    }
}

bool SendQueue::confirmByOrderlyClose(QDeadlineTimer deadline)
{
    if (tcp_ == nullptr || !connected() || !queued_.empty() || tcp_->bytesToWrite() > 0)
        return false;
    const int fd = static_cast<int>(tcp_->socketDescriptor());
    if (fd < 0 || ::shutdown(fd, SHUT_WR) != 0)
        return false;
    // The peer's close is its only word. What it sends before that is read into
    // a fixed buffer and thrown away.
    char scratch[16 * 1024];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::max<qint64>(0, deadline.remainingTime())));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)))
            continue;
        if (n < 0)
            return false; // reset: a peer that closes with bytes unread resets
        break;
    }
    // The peer closed once it had read to the end, our own end included: nothing
    // of ours is left unacknowledged, and no reset followed.
    int error = 0;
    socklen_t len = sizeof error;
    if (unacknowledgedBytes(fd) != 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
        return false;
    inFlight_.clear();
    inFlightBytes_ = 0;
    unconfirmed_.clear();
    forgetConfirmed();
    return true;
}

void SendQueue::trim()
{
    qint64 unsent = unsentBytes();
    while (unsent > maxUnsent_ && !queued_.empty()) {
        auto victim = std::find_if(queued_.begin(), queued_.end(), [](const Message& m) { return !m.keep; });
        if (victim == queued_.end())
            victim = queued_.begin();
        unsent -= victim->bytes.size();
        queuedBytes_ -= victim->bytes.size();
        dropped_ += costOf(*victim);
        queued_.erase(victim);
    }
}

void SendQueue::push(const QByteArray& message, bool keep)
{
    push(Message{message, keep});
}

void SendQueue::push(Message message)
{
    queuedBytes_ += message.bytes.size();
    queued_.push_back(std::move(message));
    pump();
    trim();
}

void SendQueue::pushFront(const QByteArray& message)
{
    pushFront(std::vector<Message>{Message{message, true}});
}

void SendQueue::pushFront(std::vector<Message> messages)
{
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        queuedBytes_ += it->bytes.size();
        queued_.push_front(std::move(*it));
    }
    pump();
    trim();
}

void SendQueue::pump()
{
    // A flush reports written bytes at once, and the owner pumps (and may push)
    // on that report: the outer call goes round again instead.
    if (pumping_) {
        repump_ = true;
        return;
    }
    pumping_ = true;
    do {
        repump_ = false;
        pumpOnce();
    } while (repump_);
    pumping_ = false;
}

void SendQueue::pumpOnce()
{
    if (!connected())
        return;
    sync();
    bool wrote = false;
    while (!queued_.empty()) {
        if (device_->bytesToWrite() >= chunk_) {
            // Full only because nobody turned the event loop: hand it to the system first.
            flush();
            sync();
            if (device_->bytesToWrite() >= chunk_)
                break;
            continue;
        }
        const Message m = std::move(queued_.front());
        queued_.pop_front();
        queuedBytes_ -= m.bytes.size();
        if (device_->write(m.bytes) != m.bytes.size()) {
            dropped_ += costOf(m);
            continue;
        }
        inFlight_.push_back(InFlight{m.bytes.size(), costOf(m)});
        inFlightBytes_ += m.bytes.size();
        wrote = true;
    }
    if (wrote) {
        flush();
        sync();
    }
}

void SendQueue::discardQueued()
{
    queued_.clear();
    queuedBytes_ = 0;
}

void SendQueue::connectionLost()
{
    for (const InFlight& m : inFlight_)
        dropped_ += m.cost;
    for (const Unconfirmed& u : unconfirmed_)
        dropped_ += u.cost;
    inFlight_.clear();
    inFlightBytes_ = 0;
    unconfirmed_.clear();
    // What the connection outlived is taken as read: a peer that closes in order
    // after reading looks the same from here as one that resets.
    forgetConfirmed();
}

void SendQueue::finish(QDeadlineTimer deadline)
{
    for (;;) {
        pump();
        if (!connected() || (queued_.empty() && device_->bytesToWrite() == 0) || deadline.hasExpired())
            break;
        if (!device_->waitForBytesWritten(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
            break;
    }
    sync();
}

qint64 SendQueue::takeDroppedWhenDrained()
{
    if (!queued_.empty())
        return 0;
    return takeDropped();
}

qint64 SendQueue::takeDropped()
{
    const qint64 n = dropped_;
    dropped_ = 0;
    return n;
}

qint64 SendQueue::unsentMessages()
{
    sync();
    qint64 n = 0;
    for (const Message& m : queued_)
        n += costOf(m);
    for (const InFlight& m : inFlight_)
        n += m.cost;
    for (const Unconfirmed& u : unconfirmed_)
        n += u.cost;
    return n;
}

qint64 SendQueue::unsentBytes() const
{
    return queuedBytes_ + socketBytes();
}
