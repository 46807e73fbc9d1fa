#pragma once
// The receiving end of the local command link: a client of the local server
// "GSE_LOCAL" that keeps itself connected and turns "TID_PATH:<path>" into
// cmdOpenArchive. It never writes to the server. Commands carry no delimiter,
// so the bytes are cut before each "TID_PATH:"; the last command of a read may
// go on in the next one and is taken as whole when nothing follows within a
// short wait, or when it grows past a bound. The socket is looked for in this
// user's own folder (LocalSocketPath), and a server whose socket or process
// belongs to another user is dropped unheard.
#include <QByteArray>
#include <QLocalSocket>
#include <QObject>
#include <QString>

class QTimer;

namespace GseLib {

class GseComm : public QObject
{
    Q_OBJECT

public:
    static const QString SERVER_NAME;
    static constexpr int DEFAULT_RECONNECT_INTERVAL_MS = 10000;
    // How long the last command of a read waits for bytes that continue it: one
    // write of a command arrives in one read, but a burst is read in pieces.
    static constexpr int DEFAULT_TAIL_WAIT_MS = 100;
    // A command still open at this size is taken as it stands (far above any path).
    static constexpr qsizetype MAX_PENDING_BYTES = 64 * 1024;

    explicit GseComm(QObject* parent = nullptr);
    ~GseComm() override;

    bool isConnected() const { return socket->state() == QLocalSocket::ConnectedState; }
    // The pause before another connection attempt after the link is lost or refused.
    int reconnectInterval() const;
    void setReconnectInterval(int ms);
    int tailWait() const;
    void setTailWait(int ms);

signals:
    void cmdOpenArchive(const QString& archivePath);

private slots:
    void parseMessage();

private:
    void connectToLink();
    // Whether the connected server's socket and process are this user's.
    bool serverIsOurs();
    void refuse(const QString& reason);
    void handleStateChange(QLocalSocket::LocalSocketState state);
    void handleConnected();
    void handleMessage(const QByteArray& bytes);
    // Takes the command still open as whole.
    void flushPending();

    QLocalSocket* socket = nullptr;
    QTimer* reconnectTimer = nullptr;
    bool wasConnected = false;
    QByteArray pending;
    QTimer* tailTimer = nullptr;
    bool trusted = false; // the connected server passed serverIsOurs()
    QString refusal;      // the last reason told, so that it is told once
};

} // namespace GseLib
