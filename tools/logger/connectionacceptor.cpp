#include "tools/logger/connectionacceptor.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool isShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

} // namespace

ConnectionAcceptor::ConnectionAcceptor(QObject* parent) : QObject(parent), resumeTimer_(new QTimer(this))
{
    resumeTimer_->setSingleShot(true);
    resumeTimer_->setInterval(PAUSE_MS);
    connect(resumeTimer_, &QTimer::timeout, this, [this] {
        if (notifier_ != nullptr)
            notifier_->setEnabled(true);
    });
}

ConnectionAcceptor::~ConnectionAcceptor() = default;

int ConnectionAcceptor::listenBacklog()
{
    int backlog = SOMAXCONN;
    QFile somaxconn(QStringLiteral("/proc/sys/net/core/somaxconn"));
    if (somaxconn.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int limit = somaxconn.readAll().trimmed().toInt(&ok);
        if (ok && limit > backlog)
            backlog = limit;
    }
    return backlog;
}

void ConnectionAcceptor::watch(qintptr listeningFd, QObject* socketParent)
{
    delete notifier_;
    notifier_ = nullptr;
    socketParent_ = socketParent;
    if (listeningFd < 0)
        return;
    notifier_ = new QSocketNotifier(listeningFd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ConnectionAcceptor::acceptPending);
}

QString ConnectionAcceptor::failed(int error, const QString& text)
{
    if (notifier_ != nullptr)
        notifier_->setEnabled(false);
    resumeTimer_->start();
    if (!isShortage(error))
        return QStringLiteral("server error: ") + text;
    // One line for a shortage however long it lasts, even when a freed
    // descriptor lets one connection in between two errors.
    const bool said = paused_ && lastError_.isValid() && lastError_.elapsed() < 4 * PAUSE_MS;
    lastError_.start();
    if (said)
        return QString();
    paused_ = true;
    return QStringLiteral("server error: ") + text + QStringLiteral("; accepting paused until descriptors are free");
}

bool ConnectionAcceptor::shortagePassed()
{
    if (!paused_ || lastError_.elapsed() < 4 * PAUSE_MS)
        return false;
    paused_ = false;
    return true;
}

void ConnectionAcceptor::acceptPending()
{
    const int listening = static_cast<int>(notifier_->socket());
    for (int n = 0; n < PER_TURN; ++n) {
        const int fd = ::accept(listening, nullptr, nullptr);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED)
                continue;
            if (error != EAGAIN && error != EWOULDBLOCK) {
                const QString text = failed(error, QString::fromLocal8Bit(std::strerror(error)));
                if (!text.isEmpty())
                    emit failedToAccept(text);
            }
            return;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        auto* socket = new QTcpSocket(socketParent_);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            emit failedToAccept(QStringLiteral("failed to create client socket"));
            continue;
        }
        emit accepted(socket);
    }
}
