#include "tools/logger/loggerserver.h"

#include "tools/logger/connectionacceptor.h"
#include "tools/logger/consolewriter.h"
#include "tools/logger/heldlines.h"
#include "tools/logger/httprequest.h"
#include "tools/logger/mainfile.h"
#include "tools/logger/peertext.h"
#include "tools/logger/serverconnections.h"
#include "tools/logger/warninglimiter.h"
#include "tools/util/tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtDebug>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <sys/socket.h>
#include <utility>

namespace {

void warnDropped(qsizetype bytes)
{
    qWarning() << "logger protocol warn -" << "dropped" << bytes << "bytes while processing";
}

QString droppedNotSaidText(qint64 count, const QString& peer)
{
    return QStringLiteral("logger protocol warn - dropped %1 more lines from %2 while processing").arg(count).arg(peer);
}

// Kinds of warning a peer can cause, each rate-limited per peer (WarningLimiter).
const QString KIND_DROPPED = QStringLiteral("dropped line");
// Runs of the server's own, each said once until it ends.
const QString KIND_REFUSING = QStringLiteral("refusing connections");
const QString KIND_MAIN_FILE_ERROR = QStringLiteral("main file error");

// Opens the file on a standard stream's descriptor (left open when the file
// closes), or closes it.
void setConsoleFileOpen(QFile* file, FILE* stream, bool open)
{
    if (open) {
        if (!file->isOpen())
            file->open(fileno(stream), QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle);
    } else {
        file->close();
    }
}

} // namespace

#define SERVER_LOG(level, component, text) log(level, component, __LINE__, text)

// ---------------------------------------------------------------------------
// LoggerServerMsgProcessor

LoggerServerMsgProcessor::LoggerServerMsgProcessor(QObject* parent) : QObject(parent) {}

void LoggerServerMsgProcessor::process()
{
    process(QByteArray());
}

bool LoggerServerMsgProcessor::checkFirstLine()
{
    if (firstLineChecked_)
        return true;
    const qsizetype lf = buffer_.indexOf(LoggerMsg::MSG_END);
    const QByteArrayView head = QByteArrayView(buffer_).first(lf < 0 ? buffer_.size() : lf);
    switch (HttpRequest::judge(head, lf >= 0)) {
    case HttpRequest::FirstLine::Request:
        stop();
        emit crossProtocolRequest();
        return false;
    case HttpRequest::FirstLine::Undecided:
        return false;
    case HttpRequest::FirstLine::LogLine:
        break;
    }
    firstLineChecked_ = true;
    return true;
}

void LoggerServerMsgProcessor::process(QByteArray msg)
{
    if (stopped_)
        return;
    // A partial line held had no line feed: the search starts in the new bytes.
    qsizetype searchFrom = skippedBytes_ >= 0 ? 0 : buffer_.size();
    const bool wasEmpty = buffer_.isEmpty();
    buffer_.append(msg);
    if (!checkFirstLine())
        return;
    qsizetype pos = 0;
    while (pos < buffer_.size()) {
        const qsizetype lf = buffer_.indexOf(LoggerMsg::MSG_END, std::max(pos, searchFrom));
        if (lf < 0)
            break;
        const qsizetype length = lf - pos;
        if (skippedBytes_ >= 0) {
            // The tail of a line whose head was already dropped.
            reportDropped(skippedBytes_ + length);
            skippedBytes_ = -1;
        } else if (length > MAX_LINE_BYTES) {
            reportDropped(length);
        } else {
            handleLine(buffer_.mid(pos, length));
        }
        pos = lf + 1;
        if (stopped_)
            return;
    }
    buffer_.remove(0, pos);
    // What is left is a partial line. Past the limit it is dropped rather than kept,
    // and so is the rest of it until its line feed comes.
    if (skippedBytes_ >= 0) {
        skippedBytes_ += buffer_.size();
        buffer_.clear();
    } else if (buffer_.size() > MAX_LINE_BYTES) {
        reportDropped(buffer_.size());
        skippedBytes_ = 0;
        releaseBuffer();
    }
    if (!buffer_.isEmpty() && (wasEmpty || pos > 0)) {
        static std::atomic<quint64> partialLinesBegun{0};
        partialSince_ = ++partialLinesBegun;
    }
    // A buffer that once held a long line gives its memory back when it is short again.
    if (buffer_.capacity() > 4 * buffer_.size() + 64 * 1024)
        buffer_.squeeze();
}

qsizetype LoggerServerMsgProcessor::dropPartialLine()
{
    const qsizetype dropped = buffer_.size();
    if (dropped == 0)
        return 0;
    skippedBytes_ = dropped;
    releaseBuffer();
    return dropped;
}

void LoggerServerMsgProcessor::stop()
{
    stopped_ = true;
    skippedBytes_ = -1;
    releaseBuffer();
}

void LoggerServerMsgProcessor::releaseBuffer()
{
    buffer_.clear();
    buffer_.squeeze();
}

void LoggerServerMsgProcessor::reportDropped(qsizetype bytes)
{
    if (dropReporter_)
        dropReporter_(bytes);
    else
        warnDropped(bytes);
}

void LoggerServerMsgProcessor::handleLine(const QByteArray& line)
{
    if (line.size() <= 2) {
        reportDropped(line.size());
        return;
    }
    ++linesHandled_;
    const LoggerEventMsg msg(line);
    if (msg.level != LOG_CMD)
        emit loggerEventMsg(msg);
    else if (msg.text.startsWith(LoggerCmdInitClientMsg::CMD_KEY))
        emit loggerCmdInitClient(LoggerCmdInitClientMsg(msg));
    else if (msg.text.startsWith(LoggerCmdChangeFileMsg::CMD_KEY))
        emit loggerCmdChangeFile(LoggerCmdChangeFileMsg(msg));
    else
        emit loggerCmdUnknown(LoggerCmdUnknownMsg(msg));
}

// ---------------------------------------------------------------------------
// LoggerServerClient

LoggerServerClient::LoggerServerClient(QTcpSocket* socket)
    : QObject(socket),
      socket_(socket),
      peer_(socket->peerAddress().toString()),
      processor_(new LoggerServerMsgProcessor(this))
{
    silence_.connectedAt = nowMs();
    // Qt holds at most one slice per socket; the kernel keeps the rest.
    socket_->setReadBufferSize(READ_SLICE_BYTES);
    connect(socket_, &QAbstractSocket::connected, this, &LoggerServerClient::connected);
    connect(socket_, &QAbstractSocket::disconnected, this, &LoggerServerClient::disconnected);
    connect(socket_, &QAbstractSocket::errorOccurred, this, &LoggerServerClient::error);
    connect(socket_, &QAbstractSocket::stateChanged, this, &LoggerServerClient::stateChanged);
    connect(socket_, &QIODevice::aboutToClose, this, [this] {
        // What Qt still holds is at most one slice.
        readAvailable();
        emit aboutToClose();
    });
    connect(socket_, &QIODevice::readyRead, this, &LoggerServerClient::readAvailable);

    connect(processor_, &LoggerServerMsgProcessor::loggerEventMsg, this, &LoggerServerClient::emitClientLogEvent);
    connect(processor_, &LoggerServerMsgProcessor::loggerCmdInitClient, this,
            [this](const LoggerCmdInitClientMsg& cmd) {
                info_ = LoggerClientInfo(PeerText::cutToUtf8Bytes(cmd.name, MAX_CLIENT_NAME_BYTES), cmd.pid);
                emit logEvent(LoggerEvent(info_, cmd));
                emit initialized();
            });
    connect(processor_, &LoggerServerMsgProcessor::loggerCmdChangeFile, this,
            [this](const LoggerCmdChangeFileMsg& cmd) {
                emit logEvent(LoggerEvent(info_, cmd));
                emit cmdChangeMainFile(cmd.filePath);
            });
    connect(processor_, &LoggerServerMsgProcessor::loggerCmdUnknown, this,
            [this](const LoggerCmdUnknownMsg& cmd) {
                emit logEvent(LoggerEvent(info_, cmd));
                emit cmdUnknown(cmd);
            });
    connect(processor_, &LoggerServerMsgProcessor::crossProtocolRequest, this,
            &LoggerServerClient::crossProtocolRequest);
}

qint64 LoggerServerClient::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void LoggerServerClient::setDropReporter(LoggerServerMsgProcessor::DropReporter reporter)
{
    processor_->setDropReporter(std::move(reporter));
}

void LoggerServerClient::readAvailable()
{
    const QByteArray bytes = socket_->read(READ_SLICE_BYTES);
    if (!bytes.isEmpty())
        take(bytes);
}

void LoggerServerClient::take(const QByteArray& bytes)
{
    const quint64 before = processor_->linesHandled();
    processor_->process(bytes);
    if (processor_->linesHandled() != before) {
        silence_.sentLine = true;
        silence_.lastLineAt = nowMs();
    }
    reportPartialBytes();
    emit sliceRead();
}

LoggerServerClient::Drained LoggerServerClient::drain(qint64& budget)
{
    budget -= socket_->bytesAvailable();
    readRemaining();
    const qintptr fd = socket_->socketDescriptor();
    if (fd < 0 || socket_->state() != QAbstractSocket::ConnectedState)
        return Drained::PeerClosed;
    // Behind Qt's back: its own read notifier then finds nothing and waits on.
    while (budget > 0 && !processor_->isStopped()) {
        QByteArray bytes(READ_SLICE_BYTES, Qt::Uninitialized);
        const ssize_t n = ::recv(static_cast<int>(fd), bytes.data(), static_cast<size_t>(bytes.size()), MSG_DONTWAIT);
        if (n > 0) {
            bytes.truncate(n);
            budget -= n;
            take(bytes);
        } else if (n == 0) {
            return Drained::PeerClosed;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return Drained::AllRead;
        } else if (errno != EINTR) {
            return Drained::PeerClosed;
        }
    }
    return processor_->isStopped() ? Drained::AllRead : Drained::MoreWaiting;
}

qsizetype LoggerServerClient::dropPartialLine()
{
    const qsizetype dropped = processor_->dropPartialLine();
    reportPartialBytes();
    return dropped;
}

void LoggerServerClient::readRemaining()
{
    // Qt holds at most one slice: this ends.
    while (socket_->bytesAvailable() > 0) {
        const qint64 before = socket_->bytesAvailable();
        readAvailable();
        if (socket_->bytesAvailable() >= before)
            break;
    }
}

void LoggerServerClient::stop()
{
    processor_->stop();
    reportPartialBytes();
}

void LoggerServerClient::reportPartialBytes()
{
    const qsizetype now = processor_->buffer().size();
    if (now != reportedPartial_) {
        const qsizetype delta = now - reportedPartial_;
        reportedPartial_ = now;
        emit partialBytesChanged(delta);
    }
}

void LoggerServerClient::emitClientLogEvent(LoggerEventMsg msg)
{
    emit logEvent(LoggerEvent(info_, msg));
}

// ---------------------------------------------------------------------------
// LoggerServer

struct LoggerServerPrivate
{
    MainFile* mainFile = nullptr;
    DateWindow dates;
    DailyClock clock;
    ServerConnections* connections = nullptr;
    ConnectionAcceptor* acceptor = nullptr;
    WarningLimiter* warnings = nullptr;
    HeldLines held;
    // Main-file errors wait until the line in hand is written.
    QStringList pendingErrors;
    bool writingErrors = false;
};

LoggerServer::LoggerServer(QObject* parent)
    : QObject(parent),
      info_(QStringLiteral("loggerserver"), QCoreApplication::applicationPid()),
      address_(DEFAULT_SERVER_ADDR),
      port_(DEFAULT_SERVER_PORT),
      tcpServer_(new QTcpServer(this)),
      stdOutFile_(new QFile(tcpServer_)),
      stdErrFile_(new QFile(tcpServer_)),
      mainFile_(new QFile(tcpServer_)),
      d_(std::make_unique<LoggerServerPrivate>())
{
    stdOutFile_->setObjectName(QStringLiteral("stdout"));
    stdErrFile_->setObjectName(QStringLiteral("stderr"));
    mainFile_->setObjectName(DEFAULT_SERVER_FILE_OBJECT_NAME);
    devices_ << stdOutFile_ << stdErrFile_ << mainFile_;

    connect(tcpServer_, &QTcpServer::acceptError, this, &LoggerServer::handleServerError);
    connect(tcpServer_, &QTcpServer::newConnection, this, &LoggerServer::handleNewConnection);
    registerLoggerMetaTypes();
    tcpServer_->setListenBacklogSize(ConnectionAcceptor::listenBacklog());
    tcpServer_->setMaxPendingConnections(std::numeric_limits<int>::max());

    const QString logDir = QDir::homePath() + QLatin1Char('/') + DEFAULT_SERVER_FILE_DIR + QLatin1Char('/');
    d_->mainFile = new MainFile(mainFile_, logDir, this);
    connect(d_->mainFile, &MainFile::changed, this, &LoggerServer::mainFileChanged);
    connect(d_->mainFile, &MainFile::note, this, [this](const QString& text) { SERVER_LOG(INFO, "server", text); });
    connect(d_->mainFile, &MainFile::error, this, &LoggerServer::mainFileError);
    d_->mainFile->setLineMaker([this](const QString& text) {
        QByteArray line;
        PeerText::appendEscaped(line, LoggerEvent(info_, LoggerEventMsg(QStringLiteral("server"), QStringLiteral(__FILE__),
                                                                       __LINE__, ERROR, text))
                                          .toEncoded());
        return line + LoggerMsg::MSG_END;
    });
    d_->acceptor = new ConnectionAcceptor(this);
    connect(d_->acceptor, &ConnectionAcceptor::accepted, this, &LoggerServer::takeConnection);
    connect(d_->acceptor, &ConnectionAcceptor::failedToAccept, this,
            [this](const QString& text) { SERVER_LOG(ERROR, "server", text); });
    d_->connections = new ServerConnections(this);
    connect(d_->connections, &ServerConnections::dismiss, this,
            [this](LoggerServerClient* client, const QString& kind, const QString& text) {
                dismissConnection(client, kind, text);
            });
    // Read to its end: it closes as any connection whose peer went.
    connect(d_->connections, &ServerConnections::release, this,
            [](LoggerServerClient* client) { client->socket()->abort(); });
    connect(d_->connections, &ServerConnections::partialLineDropped, this,
            [this](LoggerServerClient* client, const QString& text) {
                SERVER_LOG(WARN, "client", clientPrefix(client) + text);
            });
    d_->warnings = new WarningLimiter(
        [this](const QString& kind, const QString& peer, qint64 count) { reportNotSaid(kind, peer, count); }, this);
}

LoggerServer::~LoggerServer()
{
    d_->warnings->flush();
    SERVER_LOG(INFO, "server", QStringLiteral("shutting down..."));
    finishConsoles();
    for (LoggerServerClient* client : std::as_const(clients_))
        client->disconnect();
    clients_.clear();
    // Clients not yet initialized are not in clients_; none of them may reach this
    // object while the sockets close below.
    for (LoggerServerClient* client : tcpServer_->findChildren<LoggerServerClient*>()) {
        disconnect(client, nullptr, this, nullptr);
        client->setDropReporter(nullptr);
    }
    d_->connections->clear();
    d_->acceptor->watch(-1, nullptr);
    tcpServer_->disconnect(this);
    devices_.clear();
    delete tcpServer_;
    tcpServer_ = nullptr;
}

void LoggerServer::log(LogLevel level, const char* component, int line, const QString& text)
{
    writeServerLogEvent(
        LoggerEventMsg(QString::fromLatin1(component), QStringLiteral(__FILE__), line, level, text));
}

void LoggerServer::writeServerLogEvent(const LoggerEventMsg& msg)
{
    writeLogEvent(LoggerEvent(info_, msg));
}

QList<LoggerClientInfo> LoggerServer::clientInfos() const
{
    QList<LoggerClientInfo> out;
    for (const LoggerServerClient* client : clients_)
        out << client->info();
    return out;
}

QList<QFile*> LoggerServer::attachedFiles() const
{
    QList<QFile*> out;
    for (const QPointer<QIODevice>& device : devices_) {
        if (auto* file = qobject_cast<QFile*>(device.data()))
            out << file;
    }
    return out;
}

QString LoggerServer::mainFilepath() const
{
    if (d_->mainFile->path().isEmpty())
        return QString();
    return QFileInfo(d_->mainFile->path()).absoluteFilePath();
}

QString LoggerServer::logDirPath() const { return d_->mainFile->rules().logDir(); }
bool LoggerServer::isListening() const { return tcpServer_->isListening(); }

quint16 LoggerServer::serverPort() const
{
    return tcpServer_->isListening() ? tcpServer_->serverPort() : port_;
}

void LoggerServer::addAllowedFolder(const QString& folder) { d_->mainFile->rules().addAllowedFolder(folder); }
void LoggerServer::setAllowedFolders(const QStringList& folders) { d_->mainFile->rules().setAllowedFolders(folders); }
QStringList LoggerServer::allowedFolders() const { return d_->mainFile->rules().allowedFolders(); }
void LoggerServer::setMaxConnections(int count) { d_->connections->setMaxConnections(count); }
int LoggerServer::maxConnections() const { return d_->connections->admission().maxConnections(); }
void LoggerServer::setMaxPartialBytes(qint64 bytes) { d_->connections->setMaxPartialBytes(bytes); }
qint64 LoggerServer::maxPartialBytes() const { return d_->connections->maxPartialBytes(); }
void LoggerServer::setSilenceTimeout(int ms) { d_->connections->setSilenceTimeout(ms); }
int LoggerServer::silenceTimeout() const { return d_->connections->admission().silenceTimeout(); }
void LoggerServer::setDateWindowDays(int days) { d_->dates.setDays(days); }
int LoggerServer::dateWindowDays() const { return d_->dates.days(); }
void LoggerServer::setWarningWindow(int ms) { d_->warnings->setWindow(ms); }
int LoggerServer::connectionCount() const { return static_cast<int>(d_->connections->count()); }
qint64 LoggerServer::partialBytes() const { return d_->connections->partialBytes(); }

void LoggerServer::start()
{
    d_->acceptor->watch(-1, nullptr);
    if (tcpServer_->isListening())
        tcpServer_->close();
    if (tcpServer_->listen(address_, port_)) {
        // The acceptor takes the connections, not Qt (ConnectionAcceptor).
        tcpServer_->pauseAccepting();
        d_->acceptor->watch(tcpServer_->socketDescriptor(), tcpServer_);
        SERVER_LOG(INFO, "server",
                   QStringLiteral("listening on ") + address_.toString() + QLatin1Char(' ')
                       + QString::number(tcpServer_->serverPort()));
    } else {
        SERVER_LOG(ERROR, "server",
                   QStringLiteral("failed to bind to listen on ") + address_.toString() + QLatin1Char(' ')
                       + QString::number(port_));
    }
}

void LoggerServer::setServerInfo(QHostAddress address, uint16_t port)
{
    address_ = address;
    port_ = port;
}

void LoggerServer::setStdOutEnabled(bool enable)
{
    setConsoleFileOpen(stdOutFile_, stdout, enable);
}

void LoggerServer::setStdErrEnabled(bool enable)
{
    setConsoleFileOpen(stdErrFile_, stderr, enable);
}

void LoggerServer::attachQIODevice(QIODevice* device)
{
    if (device == nullptr)
        return;
    device->setParent(tcpServer_);
    devices_.append(device);
}

void LoggerServer::writeLogEvent(LoggerEvent event)
{
    writeEvent(event, false);
}

void LoggerServer::followEventDate(const QDate& date, LoggerServerClient* from)
{
    const QDate today = d_->clock.today(LoggerServerClient::nowMs());
    // A connection's lines dated outside the window are said once for its life,
    // the server's own once for each run of them.
    if (d_->dates.contains(today, date)) {
        if (from == nullptr)
            d_->warnings->endRun(DateWindow::KIND, this);
    } else if (d_->warnings->startRun(DateWindow::KIND, from != nullptr ? static_cast<const void*>(from) : this)
               && d_->warnings->admit(DateWindow::KIND, from != nullptr ? from->peer() : info_.name)) {
        const QString text = d_->dates.outsideText(today, date);
        if (from != nullptr)
            SERVER_LOG(WARN, "client", clientPrefix(from) + text);
        else
            SERVER_LOG(WARN, "server", text);
    }
    // Placed in the file in use once the warning is written, which may have opened one.
    const DateWindow::Placement placement = d_->dates.place(today, date, d_->mainFile->date());
    if (placement.file != d_->mainFile->date()) {
        flushHeldLines();
        d_->mainFile->openDaily(placement.file);
    }
}

void LoggerServer::writeEvent(const LoggerEvent& event, bool hold, LoggerServerClient* from)
{
    const QDate date = event.dateTime.date();
    if (d_->mainFile->leavesDailyFile(date))
        followEventDate(date, from);
    d_->held.append(event.toEncoded(), date);
    if (!hold)
        flushHeldLines();
    emit logEvent(event);
    flushPendingErrors();
}

void LoggerServer::flushHeldLines()
{
    if (d_->held.isEmpty())
        return;
    HeldLines::Written written = d_->held.writeTo(devices_, stdOutFile_, stdErrFile_, d_->mainFile);
    if (written.mainFileWritten)
        d_->warnings->endRun(KIND_MAIN_FILE_ERROR, this);
    for (const HeldLines::Failed& failed : std::as_const(written.failed))
        outputFailed(failed.device, failed.why);
    d_->held.reuse(std::move(written.lines));
}

void LoggerServer::outputFailed(QIODevice* device, const QString& why)
{
    device->close();
    // Said in the outputs left; the line it lost is in them, and so is how many
    // lines a console copy lost with it.
    d_->pendingErrors << QStringLiteral("closed output ") + device->objectName() + QStringLiteral(": ") + why;
    if (ConsoleWriter* console = consoleOf(device)) {
        if (const qint64 lost = console->takeUnwrittenLines(); lost > 0)
            d_->pendingErrors << ConsoleWriter::lostText(lost, console->name(), why);
    }
}

ConsoleWriter* LoggerServer::consoleOf(const QIODevice* device) const
{
    return device == stdOutFile_ ? ConsoleWriter::standardOutput()
        : device == stdErrFile_  ? ConsoleWriter::standardError()
                                 : nullptr;
}

void LoggerServer::finishConsoles()
{
    // The standard error stream takes errors and warnings even when it is no output.
    QList<QFile*> consoles;
    if (stdOutFile_->isOpen())
        consoles << stdOutFile_;
    if (stdErrFile_->isOpen() || ConsoleWriter::standardErrorIfMade() != nullptr)
        consoles << stdErrFile_;
    if (consoles.isEmpty())
        return;
    ConsoleWriter::finishStandardStreams();
    // What a console never took is said where it can still be read: the main
    // file, and the other stream.
    for (QFile* file : std::as_const(consoles)) {
        ConsoleWriter* console = consoleOf(file);
        const qint64 lost = console->takeUnwrittenLines();
        if (lost == 0)
            continue;
        const QString why = console->failed() ? console->errorString() : QStringLiteral("it was not read before exit");
        const LoggerEvent event(info_, LoggerEventMsg(QStringLiteral("server"), QStringLiteral(__FILE__), __LINE__, WARN,
                                                      ConsoleWriter::lostText(lost, console->name(), why)));
        writeLogEvent(event);
        if (file == stdOutFile_ && !stdErrFile_->isOpen())
            HeldLines::writeToStandardError(event.toEncoded());
    }
}

void LoggerServer::mainFileError(const QString& text)
{
    // Each is said once until the main file is written again.
    if (d_->warnings->startRun(KIND_MAIN_FILE_ERROR, this))
        d_->pendingErrors << text;
}

void LoggerServer::flushPendingErrors()
{
    if (d_->writingErrors || d_->pendingErrors.isEmpty())
        return;
    d_->writingErrors = true;
    // Each line written may fail an output in turn, which adds its own line; every
    // output fails once at most, so this ends.
    while (!d_->pendingErrors.isEmpty()) {
        const LoggerEvent event(info_, LoggerEventMsg(QStringLiteral("server"), QStringLiteral(__FILE__), __LINE__,
                                                      ERROR, d_->pendingErrors.takeFirst()));
        writeLogEvent(event);
        // Someone reads the standard error stream even under --quiet.
        if (!stdErrFile_->isOpen())
            HeldLines::writeToStandardError(event.toEncoded());
    }
    d_->writingErrors = false;
}

void LoggerServer::handleServerError()
{
    const QString text = d_->acceptor->failed(
        tcpServer_->serverError() == QAbstractSocket::SocketResourceError ? EMFILE : 0, tcpServer_->errorString());
    if (!text.isEmpty())
        SERVER_LOG(ERROR, "server", text);
}

QString LoggerServer::clientPrefix(const LoggerServerClient* client)
{
    return QStringLiteral("[") + client->info().name + QLatin1Char(' ') + QString::number(client->info().pid)
        + QStringLiteral("] ");
}

void LoggerServer::handleNewConnection()
{
    QTcpSocket* socket = tcpServer_->nextPendingConnection();
    if (socket == nullptr) {
        SERVER_LOG(ERROR, "server", QStringLiteral("failed to create client socket"));
        return;
    }
    for (; socket != nullptr; socket = tcpServer_->nextPendingConnection())
        takeConnection(socket);
}

void LoggerServer::takeConnection(QTcpSocket* socket)
{
    if (d_->acceptor->shortagePassed())
        SERVER_LOG(INFO, "server", QStringLiteral("accepting connections again"));
    const bool placed = d_->connections->makePlace();
    // Said once until a place is free again.
    if (!placed && d_->warnings->startRun(KIND_REFUSING, this))
        SERVER_LOG(WARN, "server", ConnectionAdmission::refusingText(d_->connections->count()));
    LoggerServerClient* client = setUpConnection(socket);
    if (!placed) {
        // What it sent before it was refused is written all the same.
        qint64 budget = ServerConnections::PLACE_READ_BUDGET;
        client->drain(budget);
        dismissConnection(client, KIND_REFUSING, QString());
    }
}

LoggerServerClient* LoggerServer::setUpConnection(QTcpSocket* socket)
{
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    auto* client = new LoggerServerClient(socket);
    d_->connections->add(client);

    // Every connection has this server as its context, so a client outliving the
    // server can never call into it.
    connect(client, &LoggerServerClient::connected, this, [this] {
        SERVER_LOG(DEBUG, "server", QStringLiteral("client connected...not initialized yet"));
    });
    // A connection the server closed for cause was said by one line already.
    connect(client, &LoggerServerClient::disconnected, this, [this, client] {
        clients_.removeAll(client);
        connectionClosed(client);
        emit clientDisconnected(client->info());
        if (!client->isDismissed())
            SERVER_LOG(INFO, "client", clientPrefix(client) + QStringLiteral("disconnected"));
    });
    connect(client, &LoggerServerClient::error, this, [this, client](QAbstractSocket::SocketError e) {
        if (!client->isDismissed())
            SERVER_LOG(DEBUG, "client", clientPrefix(client) + QStringLiteral("socket error: ") + Tools::enumName(e));
    });
    connect(client, &LoggerServerClient::stateChanged, this, [this, client](QAbstractSocket::SocketState s) {
        if (!client->isDismissed())
            SERVER_LOG(DEBUG, "client",
                       clientPrefix(client) + QStringLiteral("socket state changed: ") + Tools::enumName(s));
    });
    connect(client, &LoggerServerClient::initialized, this, [this, client] {
        SERVER_LOG(INFO, "client", clientPrefix(client) + QStringLiteral("initialized"));
        // A client that introduces itself again is listed once.
        if (!clients_.contains(client))
            clients_.append(client);
        emit clientConnected(client->info());
    });
    // A slice's lines are written together once it is read: one write per output
    // and slice instead of one per line (bench_logserver).
    connect(client, &LoggerServerClient::logEvent, this,
            [this, client](const LoggerEvent& event) { writeEvent(event, true, client); });
    // An output that failed on them is said at once, not with the next line.
    connect(client, &LoggerServerClient::sliceRead, this, [this] {
        flushHeldLines();
        flushPendingErrors();
    });
    connect(client, &LoggerServerClient::cmdUnknown, this, [this, client](const LoggerCmdUnknownMsg& cmd) {
        SERVER_LOG(INFO, "client", clientPrefix(client) + QStringLiteral("unknown cmd: ") + cmd.cmd());
    });
    connect(client, &LoggerServerClient::cmdChangeMainFile, this,
            [this, client](const QString& filePath) { changeMainFile(filePath, client->peer()); });
    connect(client, &LoggerServerClient::crossProtocolRequest, this, [this, client] {
        dismissConnection(client, HttpRequest::KIND, HttpRequest::closingText(), DismissWhen::AfterReading);
    });
    connect(client, &LoggerServerClient::partialBytesChanged, this,
            [this, client](qsizetype delta) { d_->connections->partialBytesChanged(client, delta); });
    // Empty lines and over-long lines, said once per peer in a window.
    client->setDropReporter([this, client](qsizetype bytes) {
        if (d_->warnings->admit(KIND_DROPPED, client->peer()))
            warnDropped(bytes);
    });

    // Bytes that came in with the connection are not announced again.
    client->readAvailable();
    return client;
}

void LoggerServer::connectionClosed(LoggerServerClient* client)
{
    if (!d_->connections->remove(client))
        return;
    d_->warnings->forgetSource(client);
    if (!d_->connections->full())
        d_->warnings->endRun(KIND_REFUSING, this);
}

void LoggerServer::dismissConnection(LoggerServerClient* client, const QString& kind, const QString& text,
                                     DismissWhen when)
{
    if (client->isDismissed())
        return;
    client->setDismissed();
    if (!text.isEmpty() && d_->warnings->admit(kind, client->peer()))
        SERVER_LOG(WARN, "client", clientPrefix(client) + text);
    // Its complete lines are written; a line it had begun is lost, and said.
    const qsizetype partial = client->processor()->buffer().size();
    client->stop();
    if (partial > 0 && d_->warnings->admit(ServerConnections::KIND_PARTIAL_CLOSED, client->peer()))
        SERVER_LOG(WARN, "client", clientPrefix(client) + ServerConnections::partialClosedText(partial));
    // Its place is free at once. Its socket closes now, so that its descriptor is
    // free for the connection it makes way for, or, when its own bytes are being
    // read, once that reading has returned.
    connectionClosed(client);
    if (when == DismissWhen::Now)
        client->socket()->abort();
    else
        QMetaObject::invokeMethod(client->socket(), &QAbstractSocket::abort, Qt::QueuedConnection);
}

// The count texts stand beside the warnings they count, in each policy's class.
void LoggerServer::reportNotSaid(const QString& kind, const QString& peer, qint64 count)
{
    if (kind == KIND_DROPPED) {
        qWarning().noquote() << droppedNotSaidText(count, peer);
    } else if (kind == MainFileRules::KIND_REFUSED) {
        d_->pendingErrors << MainFileRules::refusedNotSaidText(count, peer);
        flushPendingErrors();
    } else {
        const QString text = kind == HttpRequest::KIND ? HttpRequest::closedNotSaidText(count, peer)
            : kind == ConnectionAdmission::KIND_SILENT ? d_->connections->admission().silentNotSaidText(count, peer)
            : kind == ConnectionAdmission::KIND_MAKE_WAY ? ConnectionAdmission::makeWayNotSaidText(count, peer)
            : kind == ServerConnections::KIND_PARTIAL_CLOSED ? ServerConnections::partialClosedNotSaidText(count, peer)
                                               : DateWindow::outsideNotSaidText(count, peer);
        SERVER_LOG(WARN, "client", text);
    }
}

void LoggerServer::changeMainFile(const QString& filePath, const QString& peer)
{
    // Lines before the command belong to the file in use.
    flushHeldLines();
    if (mainFile_ == nullptr || !devices_.contains(mainFile_))
        return;
    const QString refused = d_->mainFile->change(filePath);
    // A peer's refused commands are said once in a window, then counted: each line
    // echoes the peer's path.
    if (!refused.isEmpty() && d_->warnings->admit(MainFileRules::KIND_REFUSED, peer))
        d_->pendingErrors << MainFileRules::refusedText(filePath, refused);
    flushPendingErrors();
}
