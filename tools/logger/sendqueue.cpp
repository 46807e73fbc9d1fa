#include "tools/logger/sendqueue.h"

#include <QAbstractSocket>
#include <QLocalSocket>
#include <algorithm>

SendQueue::SendQueue(QIODevice* device)
    : device_(device), tcp_(qobject_cast<QAbstractSocket*>(device)), local_(qobject_cast<QLocalSocket*>(device))
{
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

void SendQueue::sync()
{
    // A closed socket has thrown its buffer away: connectionLost() counts that.
    if (inFlight_.empty() || !device_->isOpen())
        return;
    qint64 written = inFlightBytes_ - device_->bytesToWrite();
    while (!inFlight_.empty() && inFlight_.front() <= written) {
        written -= inFlight_.front();
        inFlightBytes_ -= inFlight_.front();
        inFlight_.pop_front();
    }
}

void SendQueue::trim()
{
    qint64 unsent = unsentBytes();
    while (unsent > maxUnsent_ && !queued_.empty()) {
        auto victim = std::find_if(queued_.begin(), queued_.end(), [](const Entry& e) { return !e.keep; });
        if (victim == queued_.end())
            victim = queued_.begin();
        unsent -= victim->bytes.size();
        queuedBytes_ -= victim->bytes.size();
        queued_.erase(victim);
        ++dropped_;
    }
}

void SendQueue::push(const QByteArray& message, bool keep)
{
    queued_.push_back(Entry{message, keep});
    queuedBytes_ += message.size();
    pump();
    trim();
}

void SendQueue::pushFront(const QByteArray& message)
{
    queued_.push_front(Entry{message, true});
    queuedBytes_ += message.size();
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
        const QByteArray bytes = std::move(queued_.front().bytes);
        queued_.pop_front();
        queuedBytes_ -= bytes.size();
        if (device_->write(bytes) != bytes.size()) {
            ++dropped_;
            continue;
        }
        inFlight_.push_back(bytes.size());
        inFlightBytes_ += bytes.size();
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
    dropped_ += static_cast<qint64>(inFlight_.size());
    inFlight_.clear();
    inFlightBytes_ = 0;
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
    if (!queued_.empty() || dropped_ == 0)
        return 0;
    const qint64 n = dropped_;
    dropped_ = 0;
    return n;
}

qint64 SendQueue::unsentMessages()
{
    sync();
    return static_cast<qint64>(queued_.size() + inFlight_.size());
}

qint64 SendQueue::unsentBytes() const
{
    return queuedBytes_ + socketBytes();
}
