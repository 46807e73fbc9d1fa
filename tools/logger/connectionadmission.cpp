#include "tools/logger/connectionadmission.h"

ConnectionAdmission::Quiet ConnectionAdmission::quiet(const ConnectionSilence& silence, qint64 nowMs) const
{
    if (silence.sentLine)
        return Quiet::Talking;
    return nowMs - silence.connectedAt >= silenceTimeoutMs_ ? Quiet::PastTimeout : Quiet::Waiting;
}

QString ConnectionAdmission::makeWayText(qsizetype open)
{
    return QStringLiteral("closing the connection: the longest silent of %1, for a new one").arg(open);
}

QString ConnectionAdmission::makeWayNotSaidText(qint64 count, const QString& peer)
{
    return QStringLiteral("closed %1 more of the longest-silent connections from %2 for new ones").arg(count).arg(peer);
}

QString ConnectionAdmission::refusingText(qsizetype open)
{
    return QStringLiteral("refusing new connections: %1 connections open").arg(open);
}

QString ConnectionAdmission::silentText() const
{
    return QStringLiteral("closing the connection: no line within %1 ms of connecting").arg(silenceTimeoutMs_);
}

QString ConnectionAdmission::silentNotSaidText(qint64 count, const QString& peer) const
{
    return QStringLiteral("closed %1 more connections from %2 that sent no line within %3 ms of connecting")
        .arg(count)
        .arg(peer)
        .arg(silenceTimeoutMs_);
}
