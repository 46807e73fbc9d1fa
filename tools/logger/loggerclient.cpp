#include "tools/logger/loggerclient.h"

#include "tools/logger/log.h"
#include "tools/util/platformlauncher.h"
#include "tools/util/tools.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <iostream>

namespace {

// How long a closing client waits for its last lines to leave.
constexpr int SHUTDOWN_FLUSH_MS = 2000;

// Runs at the start of the application object's destruction, while it still
// delivers events. Once it is gone Qt delivers none on the logger thread: the
// client's deferred deletion, with its last queued messages and flush, would
// never happen, and the thread would read the application pointer while the
// main thread clears it.
void stopGlobalLoggerBeforeApplicationGoes()
{
    if (Logger::global != nullptr)
        Logger::global->stop();
}

} // namespace

// ---------------------------------------------------------------------------
// LoggerClientMsgSender

LoggerClientMsgSender::LoggerClientMsgSender(const QString& name, qint64 pid, const LoggerConfig& config)
    : config_(config), socket_(new QTcpSocket(this)), clientInfo_(name, pid), sendQueue_(socket_),
      confirmTimer_(new QTimer(this))
{
    // Whoever holds the server's port may send without end: the socket keeps a
    // little of it, and discardReceived() throws that away.
    socket_->setReadBufferSize(READ_BUFFER_BYTES);
    setConfirmMs(DEFAULT_CONFIRM_MS);
    connect(confirmTimer_, &QTimer::timeout, this, &LoggerClientMsgSender::checkConnection);
    connect(socket_, &QAbstractSocket::stateChanged, this, &LoggerClientMsgSender::handleSocketStateChange);
    connect(socket_, &QAbstractSocket::errorOccurred, this, &LoggerClientMsgSender::handleSocketError);
    connect(socket_, &QIODevice::bytesWritten, this, &LoggerClientMsgSender::handleBytesWritten);
    connect(socket_, &QIODevice::readyRead, this, &LoggerClientMsgSender::discardReceived);
}

LoggerClientMsgSender::~LoggerClientMsgSender()
{
    // Tearing the socket down must not log through a half-destroyed sender.
    socket_->disconnect(this);
    confirmTimer_->stop();
    // Messages still queued for this sender are handled before it goes.
    if (thread() == QThread::currentThread() && thread()->eventDispatcher())
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    qint64 unproven = 0;
    if (connected()) {
        const QDeadlineTimer deadline(SHUTDOWN_FLUSH_MS);
        sendQueue_.finish(deadline);
        // A server that reads again in time still hears what was dropped.
        reportDropped();
        sendQueue_.finish(deadline);
        sendQueue_.confirm();
        // The server never answers; its orderly close after ours is the one sign
        // that it read the last messages. Without it they count as not sent.
        unproven = sendQueue_.unprovenMessages();
        if ((unproven > 0 || sendQueue_.unsentMessages() > 0) && sendQueue_.confirmByOrderlyClose(deadline))
            unproven = 0;
    }
    // Counted while the socket still holds its buffer; nothing else would say it.
    const qint64 notSent = unsentMessages() + unproven + sendQueue_.dropped();
    if (socket_->state() == QAbstractSocket::ConnectedState)
        socket_->disconnectFromHost();
    if (notSent > 0)
        std::cerr << "logger: " << notSent << " messages not sent to the logging server" << std::endl;
}

void LoggerClientMsgSender::setConfirmMs(int ms)
{
    sendQueue_.setConfirmPeriod(ms);
    confirmTimer_->setInterval(std::max(1, ms / 4));
}

QAbstractSocket::SocketState LoggerClientMsgSender::socketState() const
{
    return socket_->state();
}

qint64 LoggerClientMsgSender::pendingBytes() const
{
    return socket_->bytesToWrite();
}

qint64 LoggerClientMsgSender::unsentMessages()
{
    return sendQueue_.unsentMessages() + backlog_.size();
}

qint64 LoggerClientMsgSender::receivedBytesHeld() const
{
    return socket_->bytesAvailable();
}

bool LoggerClientMsgSender::serverConfigured() const
{
    return config_.useServer && !config_.serverAddress.isNull();
}

bool LoggerClientMsgSender::connected() const
{
    return socket_->state() == QAbstractSocket::ConnectedState && socket_->isValid();
}

void LoggerClientMsgSender::echo(const LoggerEventMsg& msg)
{
    if (config_.stdOut)
        writeToStream(std::cout, msg);
    if (config_.stdErr)
        writeToStream(std::cerr, msg);
}

void LoggerClientMsgSender::logOwn(int line, const QString& text)
{
    // Kept while unconnected, these lines about connecting and failing would
    // push the producers' messages out of the backlog.
    const LoggerEventMsg msg(QStringLiteral("logger"), QStringLiteral(__FILE__), line, DEBUG, text);
    if (connected())
        sendQueue_.push(SendQueue::Message{msg.toEncoded(), false, 0});
    echo(msg);
}

void LoggerClientMsgSender::writeToSocket(const LoggerEventMsg& msg)
{
    // Commands (the client's name, the main file) are the last to be dropped.
    sendQueue_.push(SendQueue::Message{msg.toEncoded(), msg.level == LOG_CMD});
}

void LoggerClientMsgSender::handleBytesWritten()
{
    sendQueue_.pump();
    sendQueue_.confirm();
    reportDropped();
}

void LoggerClientMsgSender::discardReceived()
{
    receivedPeak_ = std::max(receivedPeak_, socket_->bytesAvailable());
    char scratch[16 * 1024];
    while (socket_->bytesAvailable() > 0 && socket_->read(scratch, sizeof scratch) > 0) {
    }
}

void LoggerClientMsgSender::checkConnection()
{
    if (!connected())
        return;
    sendQueue_.confirm();
    // Only a connection that outlived a confirmation period ends the retries: one
    // that a busy server resets at once is a failed attempt.
    if (connectedFor_.isValid() && connectedFor_.elapsed() >= confirmMs())
        retryCount_ = 0;
    reportDropped();
}

void LoggerClientMsgSender::reportDropped()
{
    if (!connected())
        return; // the count waits for the next connection, where it goes first
    const qint64 dropped = sendQueue_.takeDroppedWhenDrained();
    if (dropped > 0)
        pushReport(dropped, false);
}

void LoggerClientMsgSender::pushReport(qint64 dropped, bool atFront)
{
    const LoggerEventMsg msg(QStringLiteral("logger"), QStringLiteral(__FILE__), __LINE__, WARN,
                             QStringLiteral("dropped %1 messages while the logging server was not reading")
                                 .arg(dropped));
    // A report that is lost owes its count again.
    SendQueue::Message report{msg.toEncoded(), true, 0, dropped};
    if (atFront)
        sendQueue_.pushFront({SendQueue::Message{LoggerCmdInitClientMsg(clientInfo_).toEncoded(), true, 0},
                              std::move(report)});
    else
        sendQueue_.push(std::move(report));
    echo(msg);
}

void LoggerClientMsgSender::start()
{
    // Only from the unconnected state: a second connectToHost while looking up or
    // connecting would be refused by the socket.
    if (socket_->state() != QAbstractSocket::UnconnectedState || !serverConfigured())
        return;
    logOwn(__LINE__, QStringLiteral("connecting to server..."));
    socket_->connectToHost(config_.serverAddress, config_.serverPort, QIODevice::ReadWrite);
}

void LoggerClientMsgSender::sendMessage(LoggerEventMsg msg)
{
    if (connected()) {
        writeToSocket(msg);
        reportDropped();
    } else if (serverConfigured()) {
        backlog_.append(msg);
        if (backlog_.size() > MAX_BACKLOG) {
            backlog_.removeFirst();
            sendQueue_.countDropped(1);
        }
    }
    echo(msg);
}

void LoggerClientMsgSender::writeToStream(std::ostream& out, LoggerEventMsg msg)
{
    if (!config_.passesLogLevelFilter(msg.level))
        return;
    QByteArray line = consoleLine(LoggerEvent(clientInfo_, msg), config_.timestamps);
    const qsizetype zero = line.indexOf('\0');
    if (zero >= 0)
        line.truncate(zero);
    out.write(line.constData(), static_cast<std::streamsize>(line.size()));
    out << std::endl;
}

void LoggerClientMsgSender::handleSocketStateChange(QAbstractSocket::SocketState state)
{
    if (state == QAbstractSocket::ConnectedState) {
        connectedFor_.start();
        confirmTimer_->start();
        // The client's name, then what was lost so far, then what waited unsent
        // when the last connection went (older than the backlog), then the backlog.
        const qint64 dropped = sendQueue_.takeDropped();
        if (dropped > 0)
            pushReport(dropped, true);
        else
            sendQueue_.pushFront({SendQueue::Message{LoggerCmdInitClientMsg(clientInfo_).toEncoded(), true, 0}});
        while (!backlog_.isEmpty())
            writeToSocket(backlog_.takeFirst());
        reportDropped();
    } else if (state == QAbstractSocket::UnconnectedState) {
        confirmTimer_->stop();
        connectedFor_.invalidate();
        sendQueue_.connectionLost();
    }
    logOwn(__LINE__, QStringLiteral("state change to ") + Tools::enumName(state));
}

void LoggerClientMsgSender::handleSocketError(QAbstractSocket::SocketError error)
{
    logOwn(__LINE__, QStringLiteral("socket error: ") + Tools::enumName(error));
    if (error != QAbstractSocket::ConnectionRefusedError && error != QAbstractSocket::RemoteHostClosedError)
        return;
    logOwn(__LINE__, QStringLiteral("connection failed...launching logger server"));
    const int result = PlatformLauncher::launchLoggerServer();
    logOwn(__LINE__, PlatformLauncher::launchSucceeded(result) ? QStringLiteral("successfully launched")
                                                               : QStringLiteral("failed to launch"));
    if (retryCount_ < MAX_RETRIES) {
        QTimer::singleShot(retryIntervalMs_, this, &LoggerClientMsgSender::start);
        ++retryCount_;
    }
}

// ---------------------------------------------------------------------------
// Logger

Logger* Logger::global = nullptr;

void Logger::initialize(QCoreApplication* app, const LoggerConfig& config)
{
    if (app == nullptr || QCoreApplication::eventDispatcher() == nullptr)
        return;
    if (global != nullptr) {
        LOG_DEBUG("logger", "attempted to initialize logger twice");
        return;
    }
    global = new Logger(app, config);
    qAddPostRoutine(stopGlobalLoggerBeforeApplicationGoes);
    // Where a message reaches neither a server nor the echo it is dropped at its
    // log site, before any text is built.
    const bool toServer = config.useServer && !config.serverAddress.isNull();
    Log::attachLogger(global, [config, toServer](LogLevel level) {
        return toServer || ((config.stdOut || config.stdErr) && config.passesLogLevelFilter(level));
    });
    LOG_DEBUG("logger", "initialized global logger");
}

void Logger::changeServerFileDest(const QString& filePath)
{
    if (global == nullptr)
        return;
    emit global->message(LoggerCmdChangeFileMsg(DEFAULT_SERVER_FILE_OBJECT_NAME, filePath));
}

Logger::Logger(QCoreApplication* app, const LoggerConfig& config)
    : QObject(app), config_(config)
{
    registerLoggerMetaTypes();
    thread_ = new QThread(this);
    thread_->setObjectName(QStringLiteral("logger"));
    client_ = new LoggerClientMsgSender(QCoreApplication::applicationName(),
                                        QCoreApplication::applicationPid(), config);
    client_->moveToThread(thread_);
    if (app != nullptr)
        connect(app, &QCoreApplication::aboutToQuit, this, &Logger::stop);
    connect(thread_, &QThread::finished, client_, &QObject::deleteLater);
    connect(thread_, &QThread::started, client_, &LoggerClientMsgSender::start);
    connect(this, &Logger::message, client_, &LoggerClientMsgSender::sendMessage, Qt::QueuedConnection);
    thread_->start(QThread::InheritPriority);
}

Logger::~Logger()
{
    Log::detachLogger(this);
    if (thread_->isRunning()) {
        thread_->quit();
        thread_->wait();
    }
    if (global == this) {
        qRemovePostRoutine(stopGlobalLoggerBeforeApplicationGoes);
        global = nullptr;
    }
}

void Logger::stop()
{
    if (thread_->isRunning()) {
        thread_->quit();
        thread_->wait();
    }
}

void Logger::sendMessage(LoggerEventMsg msg)
{
    emit message(msg);
}
