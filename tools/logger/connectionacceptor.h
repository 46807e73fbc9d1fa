#pragma once
// Accepts the connections on the logging server's listening socket, a bounded
// number per turn of the event loop so that a flood of connections leaves the
// clients their turn. It accepts rather than Qt, whose listening socket keeps the
// first error it met: out of descriptors after an EAGAIN it takes for a passing
// condition and spins on the readable socket. After an error accepting pauses a
// moment and goes on, so that running out of descriptors neither spins nor ends
// the service; a shortage is said once however long it lasts. The server makes
// each accepted socket a connection and says the texts.
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTcpSocket;
class QTimer;

class ConnectionAcceptor : public QObject
{
    Q_OBJECT
public:
    // How long accepting pauses when it fails.
    static constexpr int PAUSE_MS = 250;
    // Connections taken per turn of the event loop.
    static constexpr int PER_TURN = 1024;

    explicit ConnectionAcceptor(QObject* parent = nullptr);
    ~ConnectionAcceptor() override;

    // The length of the queue to ask of the system for a listening socket: a burst
    // of clients connecting at once waits in it, as long as the system allows,
    // instead of being turned away.
    static int listenBacklog();

    // Accepts on this listening descriptor from now on, making each connection's
    // socket a child of socketParent; -1 stops accepting.
    void watch(qintptr listeningFd, QObject* socketParent);
    // Accepting failed with this errno value (0: not a shortage); pauses for a
    // moment. Returns the text to say, empty when this shortage was said.
    QString failed(int error, const QString& text);
    // Whether a shortage that was said has passed; true once per shortage.
    bool shortagePassed();

signals:
    void accepted(QTcpSocket* socket);
    void failedToAccept(QString text);

private:
    void acceptPending();

    QSocketNotifier* notifier_ = nullptr;
    QObject* socketParent_ = nullptr;
    QTimer* resumeTimer_;
    bool paused_ = false;
    QElapsedTimer lastError_;
};
