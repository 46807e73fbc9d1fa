#include "tools/logger/warninglimiter.h"

#include <QTimer>
#include <algorithm>
#include <utility>

WarningLimiter::WarningLimiter(Reporter reporter, QObject* parent)
    : QObject(parent), reporter_(std::move(reporter)), timer_(new QTimer(this))
{
    clock_.start();
    timer_->setInterval(std::max(1, windowMs_ / 4));
    connect(timer_, &QTimer::timeout, this, [this] { expire(false); });
}

WarningLimiter::~WarningLimiter() = default;

void WarningLimiter::setWindow(int ms)
{
    windowMs_ = std::max(0, ms);
    timer_->setInterval(std::max(1, windowMs_ / 4));
}

bool WarningLimiter::admit(const QString& kind, const QString& peer)
{
    if (windowMs_ == 0)
        return true;
    QString key = kind + QChar(0x1f) + peer;
    QString keptPeer = peer;
    auto it = entries_.find(key);
    if (it == entries_.end() && entries_.size() >= MAX_KEYS) {
        keptPeer = OTHER_PEERS;
        key = kind + QChar(0x1f) + OTHER_PEERS;
        it = entries_.find(key);
    }
    const qint64 now = clock_.elapsed();
    if (it != entries_.end() && now - it->since < windowMs_) {
        ++it->notSaid;
        return false;
    }
    qint64 endedCount = 0;
    if (it != entries_.end()) {
        // The window ended before the timer saw it: its count is reported first.
        endedCount = it->notSaid;
        it->since = now;
        it->notSaid = 0;
    } else {
        entries_.insert(key, Entry{kind, keptPeer, now, 0});
    }
    if (!timer_->isActive())
        timer_->start();
    if (endedCount > 0 && reporter_)
        reporter_(kind, keptPeer, endedCount);
    return true;
}

void WarningLimiter::flush()
{
    expire(true);
}

void WarningLimiter::expire(bool all)
{
    const qint64 now = clock_.elapsed();
    QList<Entry> ended;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (all || now - it->since >= windowMs_) {
            if (it->notSaid > 0)
                ended << *it;
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    if (entries_.isEmpty())
        timer_->stop();
    // Reported after the table is consistent: a report may itself warn.
    if (reporter_) {
        for (const Entry& e : std::as_const(ended))
            reporter_(e.kind, e.peer, e.notSaid);
    }
}

bool WarningLimiter::startRun(const QString& kind, const void* source)
{
    auto it = runs_.find(source);
    if (it == runs_.end()) {
        if (runs_.size() >= MAX_KEYS)
            return true;
        it = runs_.insert(source, {});
    }
    if (it->contains(kind))
        return false;
    it->insert(kind);
    return true;
}

void WarningLimiter::endRun(const QString& kind, const void* source)
{
    // On the path of every write: nothing to look up while no run goes on.
    if (runs_.isEmpty())
        return;
    const auto it = runs_.find(source);
    if (it == runs_.end() || !it->remove(kind))
        return;
    if (it->isEmpty())
        runs_.erase(it);
}

void WarningLimiter::forgetSource(const void* source)
{
    runs_.remove(source);
}
