#include "tools/logger/serverconnections.h"

#include "tools/logger/loggerserver.h"

#include <QTimer>
#include <algorithm>
#include <deque>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

ServerConnections::ServerConnections(QObject* parent)
    : QObject(parent), silenceTimer_(new QTimer(this)), trimTimer_(new QTimer(this))
{
    connect(silenceTimer_, &QTimer::timeout, this, &ServerConnections::closeSilent);
    trimTimer_->setSingleShot(true);
    trimTimer_->setInterval(static_cast<int>(FRESH_MS));
    connect(trimTimer_, &QTimer::timeout, this, &ServerConnections::trim);
    setSilenceTimeout(ConnectionAdmission::DEFAULT_SILENCE_TIMEOUT_MS);
}

QString ServerConnections::partialClosedText(qsizetype bytes)
{
    return QStringLiteral("dropped a partial line of %1 bytes with the connection").arg(bytes);
}

QString ServerConnections::partialClosedNotSaidText(qint64 count, const QString& peer)
{
    return QStringLiteral("dropped %1 more partial lines from %2 with their connections").arg(count).arg(peer);
}

void ServerConnections::setSilenceTimeout(int ms)
{
    admission_.setSilenceTimeout(ms);
    silenceTimer_->setInterval(admission_.checkIntervalMs());
}

ServerConnections::Read ServerConnections::readOut(LoggerServerClient* client, qint64& budget)
{
    const quint64 lines = client->processor()->linesHandled();
    // A few slices from each: one that floods is put behind the others, not read out.
    const qint64 ask = std::min<qint64>(budget, 4 * LoggerServerClient::READ_SLICE_BYTES);
    qint64 left = ask;
    const LoggerServerClient::Drained drained = client->drain(left);
    budget -= ask - left;
    if (client->isDismissed())
        return Read::Gone; // closed for what it sent (an HTTP request)
    if (drained == LoggerServerClient::Drained::PeerClosed) {
        emit release(client);
        return Read::Gone;
    }
    if (drained == LoggerServerClient::Drained::MoreWaiting)
        return Read::Sending;
    if (client->processor()->linesHandled() != lines)
        return Read::Spoke;
    // Its client may not have had the time to send yet.
    const ConnectionSilence& silence = client->silence();
    return !silence.sentLine && client->processor()->buffer().isEmpty()
            && LoggerServerClient::nowMs() - silence.connectedAt < FRESH_MS
        ? Read::Fresh
        : Read::Silent;
}

bool ServerConnections::makePlace()
{
    if (!full())
        return true;
    if (closeSilentDownTo(admission_.maxConnections() - 1))
        return true;
    // Every one is still sending or has only just connected: the newcomer comes in
    // over the bound, within a margin, and the bound is restored once the young
    // ones have had their moment.
    if (connections_.size() >= admission_.maxConnections() + overflowMargin())
        return false;
    if (!trimTimer_->isActive())
        trimTimer_->start();
    return true;
}

qsizetype ServerConnections::overflowMargin() const
{
    const qsizetype bound = admission_.maxConnections();
    return bound > 0 ? std::max<qsizetype>(16, bound / 8) : 0;
}

bool ServerConnections::closeSilentDownTo(qsizetype atMost)
{
    // From the longest silent on. One that sent lines goes behind the others;
    // one still sending or only just connected is passed over; the first found
    // silent makes way. The budget bounds the reading.
    std::deque<LoggerServerClient*> order(connections_.cbegin(), connections_.cend());
    std::stable_sort(order.begin(), order.end(), [](const LoggerServerClient* a, const LoggerServerClient* b) {
        return a->silence().silentSince() < b->silence().silentSince();
    });
    qint64 budget = PLACE_READ_BUDGET;
    for (qsizetype passes = 2 * order.size() + 1;
         connections_.size() > atMost && !order.empty() && passes > 0 && budget > 0; --passes) {
        LoggerServerClient* silent = order.front();
        order.pop_front();
        switch (readOut(silent, budget)) {
        case Read::Silent:
            emit dismiss(silent, ConnectionAdmission::KIND_MAKE_WAY,
                         ConnectionAdmission::makeWayText(connections_.size()));
            break;
        case Read::Spoke:
            order.push_back(silent);
            break;
        case Read::Sending:
        case Read::Fresh:
        case Read::Gone:
            break;
        }
    }
    return connections_.size() <= atMost;
}

void ServerConnections::trim()
{
    closeSilentDownTo(admission_.maxConnections());
    if (connections_.size() > admission_.maxConnections())
        trimTimer_->start();
}

void ServerConnections::add(LoggerServerClient* client)
{
    connections_.append(client);
    if (!silenceTimer_->isActive())
        silenceTimer_->start();
}

bool ServerConnections::remove(LoggerServerClient* client)
{
    if (!connections_.removeOne(client))
        return false;
    // Lines Qt still holds are written; a partial line left is of no use now, and
    // its memory goes back at once.
    if (!client->isDismissed())
        client->readRemaining();
    const qsizetype held = client->processor()->buffer().size();
    client->stop();
    freed(held);
    return true;
}

void ServerConnections::freed(qsizetype bytes)
{
    freedBytes_ += bytes;
    if (freedBytes_ >= RELEASE_BYTES)
        scheduleMemoryRelease();
}

void ServerConnections::scheduleMemoryRelease()
{
    if (releaseScheduled_)
        return;
    releaseScheduled_ = true;
    // A moment later, once the sockets of the connections that closed are gone
    // too; at most a few times a second however many close.
    QTimer::singleShot(RELEASE_DELAY_MS, this, [this] {
        releaseScheduled_ = false;
        freedBytes_ = 0;
#if defined(__GLIBC__)
        ::malloc_trim(0);
#endif
    });
}

void ServerConnections::closeSilent()
{
    const qint64 now = LoggerServerClient::nowMs();
    QList<LoggerServerClient*> silent;
    bool waiting = false;
    for (LoggerServerClient* c : std::as_const(connections_)) {
        const ConnectionAdmission::Quiet quiet = admission_.quiet(c->silence(), now);
        if (quiet == ConnectionAdmission::Quiet::PastTimeout)
            silent << c;
        waiting = waiting || quiet == ConnectionAdmission::Quiet::Waiting;
    }
    // Lines it sent that were not read yet count: only what stays silent goes.
    qint64 budget = PLACE_READ_BUDGET;
    for (LoggerServerClient* c : std::as_const(silent)) {
        const Read read = connections_.contains(c) ? readOut(c, budget) : Read::Gone;
        if (read == Read::Silent || read == Read::Fresh)
            emit dismiss(c, ConnectionAdmission::KIND_SILENT, admission_.silentText());
    }
    if (!waiting)
        silenceTimer_->stop();
}

void ServerConnections::partialBytesChanged(LoggerServerClient* client, qsizetype delta)
{
    partialBytes_ += delta;
    if (partialBytes_ <= maxPartialBytes_ || delta <= 0)
        return;
    qint64 freedNow = 0;
    while (partialBytes_ > maxPartialBytes_) {
        LoggerServerClient* oldest = nullptr;
        for (LoggerServerClient* c : std::as_const(connections_)) {
            if (!c->processor()->buffer().isEmpty()
                && (oldest == nullptr || c->processor()->partialSince() < oldest->processor()->partialSince()))
                oldest = c;
        }
        if (oldest == nullptr)
            oldest = client;
        const qsizetype dropped = oldest->dropPartialLine();
        if (dropped == 0)
            break;
        freedNow += dropped;
        emit partialLineDropped(oldest, QStringLiteral("dropped a partial line of %1 bytes: partial lines held past %2 bytes")
                                            .arg(dropped)
                                            .arg(maxPartialBytes_));
    }
    freed(freedNow);
}
