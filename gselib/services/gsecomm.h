#pragma once
// The receiving end of the local command link: a client of the local server
// "GSE_LOCAL" that keeps itself connected and turns "TID_PATH:<path>" into
// cmdOpenArchive. It never writes to the server.
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

    explicit GseComm(QObject* parent = nullptr);
    ~GseComm() override;

    bool isConnected() const { return socket->state() == QLocalSocket::ConnectedState; }
    // The pause before another connection attempt after the link is lost or refused.
    int reconnectInterval() const;
    void setReconnectInterval(int ms);

signals:
    void cmdOpenArchive(const QString& archivePath);

private slots:
    void parseMessage();

private:
    void handleStateChange(QLocalSocket::LocalSocketState state);

    QLocalSocket* socket = nullptr;
    QTimer* reconnectTimer = nullptr;
    bool wasConnected = false;
};

} // namespace GseLib
