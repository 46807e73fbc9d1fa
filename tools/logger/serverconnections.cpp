#include "tools/logger/serverconnections.h"

#include "tools/logger/loggerserver.h"

#include <QTimer>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

ServerConnections::ServerConnections(QObject* parent) : QObject(parent), silenceTimer_(new QTimer(this))
{
    connect(silenceTimer_, &QTimer::timeout, this, &ServerConnections::closeSilent);
    setSilenceTimeout(ConnectionAdmission::DEFAULT_SILENCE_TIMEOUT_MS);
}

void ServerConnections::setSilenceTimeout(int ms)
{
    admission_.setSilenceTimeout(ms);
    silenceTimer_->setInterval(admission_.checkIntervalMs());
}

bool ServerConnections::makePlace()
{
    if (full() && !connections_.isEmpty()) {
        LoggerServerClient* silent =
            connections_[ConnectionAdmission::longestSilent(connections_, &LoggerServerClient::silence)];
        emit dismiss(silent, ConnectionAdmission::KIND_MAKE_WAY, ConnectionAdmission::makeWayText(connections_.size()));
    }
    return !full();
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
    if (held >= RELEASE_BYTES)
        scheduleMemoryRelease();
    return true;
}

void ServerConnections::scheduleMemoryRelease()
{
    if (releaseScheduled_)
        return;
    releaseScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        releaseScheduled_ = false;
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
    for (LoggerServerClient* c : std::as_const(silent))
        emit dismiss(c, ConnectionAdmission::KIND_SILENT, admission_.silentText());
    if (!waiting)
        silenceTimer_->stop();
}

void ServerConnections::partialBytesChanged(LoggerServerClient* client, qsizetype delta)
{
    partialBytes_ += delta;
    if (partialBytes_ <= maxPartialBytes_ || delta <= 0)
        return;
    bool freed = false;
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
        freed = freed || dropped >= RELEASE_BYTES;
        emit partialLineDropped(oldest, QStringLiteral("dropped a partial line of %1 bytes: partial lines held past %2 bytes")
                                            .arg(dropped)
                                            .arg(maxPartialBytes_));
    }
    if (freed)
        scheduleMemoryRelease();
}
