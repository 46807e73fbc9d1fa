#pragma once
// Which connections the logging server keeps. Past the bound of connections the
// longest-silent one makes way for a new one, so that a client that writes gets
// in however many connections hold their places doing nothing; a connection that
// sends no complete line within the silence timeout of connecting is closed, since
// it holds a place and a descriptor for nothing. Rules and their texts only: the
// server holds the connections, closes them and says the texts (WarningLimiter).
#include <QString>
#include <QtGlobal>
#include <algorithm>
#include <functional>
#include <iterator>

// When a connection last showed that it is a client (ms of a monotonic clock).
struct ConnectionSilence
{
    qint64 connectedAt = 0;
    qint64 lastLineAt = 0;
    bool sentLine = false;

    // Since its last complete line, or since it connected when none came.
    qint64 silentSince() const { return sentLine ? lastLineAt : connectedAt; }
};

class ConnectionAdmission
{
public:
    static constexpr int DEFAULT_MAX_CONNECTIONS = 1000;
    static constexpr int DEFAULT_SILENCE_TIMEOUT_MS = 10000;
    // Kinds of its warnings (WarningLimiter).
    static inline const QString KIND_MAKE_WAY = QStringLiteral("making way");
    static inline const QString KIND_SILENT = QStringLiteral("silent connection");

    // What the silence timeout makes of a connection now.
    enum class Quiet
    {
        Talking,    // it sent a line: it stays however quiet
        Waiting,    // no line yet, within the timeout
        PastTimeout // no line within the timeout: closed
    };

    void setMaxConnections(int count) { maxConnections_ = count; }
    int maxConnections() const { return maxConnections_; }
    void setSilenceTimeout(int ms) { silenceTimeoutMs_ = std::max(1, ms); }
    int silenceTimeout() const { return silenceTimeoutMs_; }
    // Looked at a few times per timeout: a connection goes at most a quarter late.
    int checkIntervalMs() const { return std::clamp(silenceTimeoutMs_ / 4, 1, 1000); }

    // Whether this many open connections take every place.
    bool full(qsizetype open) const { return open >= maxConnections_; }
    Quiet quiet(const ConnectionSilence& silence, qint64 nowMs) const;
    // The position of the connection silent the longest (the first of equals),
    // -1 for none; silenceOf gives each one's ConnectionSilence.
    template <typename Range, typename SilenceOf>
    static qsizetype longestSilent(const Range& connections, SilenceOf silenceOf);

    static QString makeWayText(qsizetype open);
    static QString makeWayNotSaidText(qint64 count, const QString& peer);
    static QString refusingText(qsizetype open);
    QString silentText() const;
    QString silentNotSaidText(qint64 count, const QString& peer) const;

private:
    int maxConnections_ = DEFAULT_MAX_CONNECTIONS;
    int silenceTimeoutMs_ = DEFAULT_SILENCE_TIMEOUT_MS;
};

template <typename Range, typename SilenceOf>
qsizetype ConnectionAdmission::longestSilent(const Range& connections, SilenceOf silenceOf)
{
    const auto begin = std::begin(connections);
    const auto end = std::end(connections);
    const auto it = std::min_element(begin, end, [&](const auto& a, const auto& b) {
        return std::invoke(silenceOf, a).silentSince() < std::invoke(silenceOf, b).silentSince();
    });
    return it == end ? -1 : static_cast<qsizetype>(std::distance(begin, it));
}
