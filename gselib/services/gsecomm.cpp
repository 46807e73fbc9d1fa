#include "gselib/services/gsecomm.h"

#include "gselib/services/localsocketpath.h"
#include "tools/logger/log.h"

#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace GseLib {

namespace {
const char* const COMPONENT = "gse_comm";
const QString CMD_TID_PATH = QStringLiteral("TID_PATH");
// Where a command begins: its word and the colon after it. UTF-8 never holds
// these bytes inside a character, so cutting there keeps every path whole.
const QByteArray COMMAND_START = QByteArrayLiteral("TID_PATH:");
} // namespace

const QString GseComm::SERVER_NAME = QStringLiteral("GSE_LOCAL");

GseComm::GseComm(QObject* parent) : QObject(parent), socket(new QLocalSocket(this))
{
    // The timer belongs to the socket and goes with it.
    reconnectTimer = new QTimer(socket);
    reconnectTimer->setInterval(DEFAULT_RECONNECT_INTERVAL_MS);
    connect(reconnectTimer, &QTimer::timeout, this, &GseComm::connectToLink);
    tailTimer = new QTimer(this);
    tailTimer->setSingleShot(true);
    tailTimer->setInterval(DEFAULT_TAIL_WAIT_MS);
    connect(tailTimer, &QTimer::timeout, this, &GseComm::flushPending);
    connect(socket, &QLocalSocket::readyRead, this, &GseComm::parseMessage);
    connect(socket, &QLocalSocket::stateChanged, this, &GseComm::handleStateChange);
    connect(socket, &QLocalSocket::connected, this, &GseComm::handleConnected);
    connectToLink();
}

void GseComm::connectToLink()
{
    const LocalSocketPath::Result where = LocalSocketPath::resolve(SERVER_NAME);
    if (!where.ok()) {
        refuse(where.error);
        reconnectTimer->start();
        return;
    }
    socket->connectToServer(where.path, QIODevice::ReadWrite);
}

bool GseComm::serverIsOurs()
{
    // A server of another user's could tell us to open any path it likes.
    QString why = LocalSocketPath::checkOwnSocket(socket->fullServerName());
    if (why.isEmpty())
        why = LocalSocketPath::checkPeer(socket->socketDescriptor());
    if (why.isEmpty()) {
        refusal.clear();
        return true;
    }
    refuse(why);
    return false;
}

void GseComm::refuse(const QString& reason)
{
    // Retries find the same reason every interval: it is told once.
    if (reason == refusal)
        return;
    refusal = reason;
    LOG_WARN(COMPONENT, "Refused " << SERVER_NAME << ": " << reason);
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

int GseComm::tailWait() const
{
    return tailTimer->interval();
}

void GseComm::setTailWait(int ms)
{
    tailTimer->setInterval(ms);
}

void GseComm::handleStateChange(QLocalSocket::LocalSocketState state)
{
    switch (state) {
    case QLocalSocket::UnconnectedState:
        trusted = false;
        // The sender is gone: nothing more can continue its last command.
        flushPending();
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
        // The socket is not open yet: handleConnected() takes it from here.
        reconnectTimer->stop();
        break;
    default:
        reconnectTimer->stop();
        break;
    }
}

void GseComm::handleConnected()
{
    if (!serverIsOurs()) {
        socket->abort(); // back to Unconnected, which retries
        return;
    }
    trusted = true;
    wasConnected = true;
    LOG_DEBUG(COMPONENT, "Connected to " << SERVER_NAME);
}

void GseComm::parseMessage()
{
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty() || !trusted)
        return;
    // Only the new bytes, and a command word they complete, need a look.
    qsizetype from = std::max<qsizetype>(1, pending.size() - (COMMAND_START.size() - 1));
    pending += bytes;
    QList<QByteArray> complete;
    qsizetype start = 0;
    for (qsizetype at; (at = pending.indexOf(COMMAND_START, from)) >= 0; from = at + COMMAND_START.size()) {
        complete << pending.mid(start, at - start);
        start = at;
    }
    pending.remove(0, start);
    // The receivers of the signal may turn the event loop: the buffer is settled first.
    if (pending.size() > MAX_PENDING_BYTES)
        complete << std::exchange(pending, QByteArray());
    if (pending.isEmpty())
        tailTimer->stop();
    else
        tailTimer->start();
    for (const QByteArray& message : complete)
        handleMessage(message);
}

void GseComm::flushPending()
{
    tailTimer->stop();
    if (pending.isEmpty())
        return;
    const QByteArray bytes = std::exchange(pending, QByteArray());
    handleMessage(bytes);
}

void GseComm::handleMessage(const QByteArray& bytes)
{
    const QString message = QString::fromUtf8(bytes);
    const QStringList fields = message.split(QLatin1Char(':'));
    if (fields.size() >= 2 && fields.at(0) == CMD_TID_PATH) {
        emit cmdOpenArchive(fields.at(1));
        return;
    }
    LOG_WARN(COMPONENT, "Invalid gse message: " << message);
}

} // namespace GseLib
