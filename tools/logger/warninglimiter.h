#pragma once
// Bounds the warnings a peer can make the logging server write: per peer and kind
// of warning, the first line of a window is said and the rest are counted; when
// the window ends, the reporter is told the count of those not said. A peer that
// repeats a fault (a page that loops fetch(), a client sending empty lines) thus
// costs a line every few seconds instead of a line per fault.
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
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
    QElapsedTimer clock_;
    QTimer* timer_;
};
