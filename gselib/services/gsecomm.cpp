#include "gselib/services/gsecomm.h"

#include "tools/logger/log.h"

#include <QStringList>
#include <QTimer>

namespace GseLib {

namespace {
const char* const COMPONENT = "gse_comm";
const QString CMD_TID_PATH = QStringLiteral("TID_PATH");
} // namespace

const QString GseComm::SERVER_NAME = QStringLiteral("GSE_LOCAL");

GseComm::GseComm(QObject* parent) : QObject(parent), socket(new QLocalSocket(this))
{
    // The timer belongs to the socket and goes with it.
    reconnectTimer = new QTimer(socket);
    reconnectTimer->setInterval(DEFAULT_RECONNECT_INTERVAL_MS);
    connect(reconnectTimer, &QTimer::timeout, socket,
            [s = socket] { s->connectToServer(SERVER_NAME, QIODevice::ReadWrite); });
    connect(socket, &QLocalSocket::readyRead, this, &GseComm::parseMessage);
    connect(socket, &QLocalSocket::stateChanged, this, &GseComm::handleStateChange);
    socket->connectToServer(SERVER_NAME, QIODevice::ReadWrite);
}

GseComm::~GseComm() = default;

int GseComm::reconnectInterval() const
{
    return reconnectTimer->interval();
}

void GseComm::setReconnectInterval(int ms)
{
    reconnectTimer->setInterval(ms);
}

void GseComm::handleStateChange(QLocalSocket::LocalSocketState state)
{
    switch (state) {
    case QLocalSocket::UnconnectedState:
        reconnectTimer->start();
        // Until the first connection succeeds, the retries stay silent.
        if (wasConnected)
            LOG_DEBUG(COMPONENT, "Disconnected...retrying in " << reconnectTimer->interval() / 1000.0 << " seconds");
        break;
    case QLocalSocket::ConnectingState:
        if (wasConnected)
            LOG_DEBUG(COMPONENT, "Attempting to connect to " << SERVER_NAME << "...");
        reconnectTimer->stop();
        break;
    case QLocalSocket::ConnectedState:
        wasConnected = true;
        LOG_DEBUG(COMPONENT, "Connected to " << SERVER_NAME);
        reconnectTimer->stop();
        break;
    default:
        reconnectTimer->stop();
        break;
    }
}

void GseComm::parseMessage()
{
    // No framing: whatever is available now is one message.
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty())
        return;
    const QString message = QString::fromUtf8(bytes);
    const QStringList fields = message.split(QLatin1Char(':'));
    if (fields.size() >= 2 && fields.at(0) == CMD_TID_PATH) {
        emit cmdOpenArchive(fields.at(1));
        return;
    }
    LOG_WARN(COMPONENT, "Invalid gse message: " << message);
}

} // namespace GseLib
