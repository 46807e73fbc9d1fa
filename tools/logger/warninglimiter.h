#pragma once
// What the logging server says once: the one place that decides whether a
// warning is said or counted.
// - A window: per peer and kind of warning, the first line of a window is said
//   and the rest are counted; when the window ends, the reporter is told the
//   count of those not said. A peer that repeats a fault (a page that loops
//   fetch(), a client sending empty lines) thus costs a line every few seconds
//   instead of a line per fault.
// - A run: faults of one kind from one source (a connection, or the server
//   itself) that make one fault until the run ends, such as a connection's
//   lines dated outside the window. Only the fault that starts a run goes on to
//   the window.
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>

class QTimer;

class WarningLimiter : public QObject
{
    Q_OBJECT
public:
    static constexpr int DEFAULT_WINDOW_MS = 5000;
    // Past this many peers and kinds at once, further peers share one count, so
    // that many peers cannot make the table grow without bound.
    static constexpr int MAX_KEYS = 1024;
    // The peer under which peers past MAX_KEYS are counted.
    static inline const QString OTHER_PEERS = QStringLiteral("other peers");

    using Reporter = std::function<void(const QString& kind, const QString& peer, qint64 notSaid)>;

    explicit WarningLimiter(Reporter reporter, QObject* parent = nullptr);
    ~WarningLimiter() override;

    // 0: every warning is said.
    void setWindow(int ms);
    int window() const { return windowMs_; }

    // Whether a warning of this kind from this peer is to be said now; when not,
    // it is counted for the report at the end of the window.
    bool admit(const QString& kind, const QString& peer);
    // Reports every count held now and forgets every window (at shutdown).
    void flush();

    // Whether this fault starts a run of its kind from the source; false while
    // that run goes on.
    bool startRun(const QString& kind, const void* source);
    void endRun(const QString& kind, const void* source);
    // Ends every run of a source that is gone (a connection that closed), so
    // that another at its address starts afresh.
    void forgetSource(const void* source);

private:
    struct Entry
    {
        QString kind;
        QString peer;
        qint64 since = 0;
        qint64 notSaid = 0;
    };
    void expire(bool all);

    Reporter reporter_;
    int windowMs_ = DEFAULT_WINDOW_MS;
    QHash<QString, Entry> entries_;
    // The kinds of the runs going on, per source; past MAX_KEYS sources a new
    // source's faults are not remembered, and each goes on to the window.
    QHash<const void*, QSet<QString>> runs_;
    QElapsedTimer clock_;
    QTimer* timer_;
};
