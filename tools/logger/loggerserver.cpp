#include "tools/logger/loggerserver.h"

#include "tools/logger/consolewriter.h"
#include "tools/logger/folderwalk.h"
#include "tools/logger/warninglimiter.h"
#include "tools/util/tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSocketNotifier>
#include <QTimer>
#include <QtDebug>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

void warnDropped(qsizetype bytes)
{
    qWarning() << "logger protocol warn -" << "dropped" << bytes << "bytes while processing";
}

// Kinds of warning a peer can cause, each rate-limited per peer (WarningLimiter).
const QString KIND_DROPPED = QStringLiteral("dropped line");
const QString KIND_HTTP = QStringLiteral("http request");
const QString KIND_SILENT = QStringLiteral("silent connection");
const QString KIND_MAKE_WAY = QStringLiteral("making way");
const QString KIND_MAIN_FILE = QStringLiteral("refused main file");
const QString KIND_DATES = QStringLiteral("dates outside the window");

// Whether a byte of a Latin-1 log line is a control character that a terminal or
// a pager would act on: C0 but tab, DEL, and C1.
inline bool isControlByte(unsigned char c)
{
    return (c < 0x20 && c != '\t') || (c >= 0x7f && c <= 0x9f);
}

// Appends a log-file line with every control character but tab written as \xHH,
// so that a client's text can neither drive the terminal that shows the console
// copy nor hide in a file read with cat.
void appendEscaped(QByteArray& out, const QByteArray& line)
{
    const char* begin = line.constData();
    const char* end = begin + line.size();
    const char* p = std::find_if(begin, end, [](char c) { return isControlByte(static_cast<unsigned char>(c)); });
    if (p == end) {
        out += line;
        return;
    }
    static constexpr char HEX[] = "0123456789abcdef";
    out.append(begin, p - begin);
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (isControlByte(c)) {
            const char escaped[4] = {'\\', 'x', HEX[c >> 4], HEX[c & 0xf]};
            out.append(escaped, 4);
        } else {
            out += static_cast<char>(c);
        }
    }
}

constexpr QIODevice::OpenMode FILE_OPEN_MODE = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;

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

// First lines that make a connection an HTTP request rather than a logging client:
// a web page may post text to the port without asking, and it would be read as lines.
constexpr const char* HTTP_PREFIXES[] = {"GET ",     "POST ",    "PUT ",   "DELETE ", "HEAD ",
                                         "OPTIONS ", "PATCH ",   "CONNECT ", "TRACE ", "Host:"};

// Whether a line's head begins with prefix: 1 yes, 0 no, -1 not yet known (the head
// is shorter than the prefix and may still become it).
int startsWithPrefix(QByteArrayView head, QByteArrayView prefix, bool caseInsensitive)
{
    const qsizetype n = std::min(head.size(), prefix.size());
    for (qsizetype i = 0; i < n; ++i) {
        char a = head[i];
        char b = prefix[i];
        if (caseInsensitive) {
            a = static_cast<char>(std::tolower(static_cast<unsigned char>(a)));
            b = static_cast<char>(std::tolower(static_cast<unsigned char>(b)));
        }
        if (a != b)
            return 0;
    }
    return n == prefix.size() ? 1 : -1;
}

// The text cut to at most maxBytes bytes of UTF-8, on a character boundary.
QString cutToUtf8Bytes(const QString& text, qsizetype maxBytes)
{
    QByteArray utf8 = text.toUtf8();
    if (utf8.size() <= maxBytes)
        return text;
    qsizetype end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
        --end;
    utf8.truncate(end);
    return QString::fromUtf8(utf8);
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Opens the file at path for appending; allowed limits the folders it may be in
// (as reached on descriptors, however named), none when empty. Returns the
// descriptor or -1 and why.
int openLogFile(const QString& path, const QStringList& allowed, QString* why)
{
    const FolderWalk::Opened opened =
        allowed.isEmpty() ? FolderWalk::openForAppend(path) : FolderWalk::openForAppendInside(path, allowed);
    switch (opened.refusal) {
    case FolderWalk::Refusal::None:
        break;
    case FolderWalk::Refusal::Outside:
        *why = QStringLiteral("outside the allowed folders");
        break;
    case FolderWalk::Refusal::SymbolicLink:
        *why = QStringLiteral("a symbolic link");
        break;
    case FolderWalk::Refusal::NotRegular:
        *why = QStringLiteral("not a regular file");
        break;
    case FolderWalk::Refusal::System:
        *why = errnoText(opened.error);
        break;
    }
    return opened.fd;
}

// Partial lines of this size or more, once freed, are worth giving back to the system.
constexpr qsizetype RELEASE_BYTES = 256 * 1024;

// Gives the memory of freed buffers back to the system: glibc keeps what large
// partial lines used on its heap otherwise.
void releaseFreedMemory()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
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
    bool undecided = false;
    for (const char* prefix : HTTP_PREFIXES) {
        const QByteArrayView p(prefix);
        const int match = startsWithPrefix(head, p, p == "Host:");
        if (match == 1) {
            stop();
            emit crossProtocolRequest();
            return false;
        }
        undecided = undecided || (match < 0 && lf < 0);
    }
    firstLineChecked_ = !undecided;
    return firstLineChecked_;
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
      connectedAt_(nowMs()),
      processor_(new LoggerServerMsgProcessor(this))
{
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
                info_ = LoggerClientInfo(cutToUtf8Bytes(cmd.name, MAX_CLIENT_NAME_BYTES), cmd.pid);
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
    if (!bytes.isEmpty()) {
        const quint64 before = processor_->linesHandled();
        processor_->process(bytes);
        if (processor_->linesHandled() != before) {
            sentLine_ = true;
            lastLineAt_ = nowMs();
        }
        reportPartialBytes();
        emit sliceRead();
    }
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

LoggerServer::LoggerServer(QObject* parent)
    : QObject(parent),
      info_(QStringLiteral("loggerserver"), QCoreApplication::applicationPid()),
      address_(DEFAULT_SERVER_ADDR),
      port_(DEFAULT_SERVER_PORT),
      tcpServer_(new QTcpServer(this)),
      stdOutFile_(new QFile(tcpServer_)),
      stdErrFile_(new QFile(tcpServer_)),
      mainFile_(new QFile(tcpServer_)),
      acceptResumeTimer_(new QTimer(this)),
      silenceTimer_(new QTimer(this)),
      warnings_(new WarningLimiter(
          [this](const QString& kind, const QString& peer, qint64 count) { reportNotSaid(kind, peer, count); }, this))
{
    stdOutFile_->setObjectName(QStringLiteral("stdout"));
    stdErrFile_->setObjectName(QStringLiteral("stderr"));
    mainFile_->setObjectName(DEFAULT_SERVER_FILE_OBJECT_NAME);
    devices_ << stdOutFile_ << stdErrFile_ << mainFile_;

    connect(tcpServer_, &QTcpServer::acceptError, this, &LoggerServer::handleServerError);
    connect(tcpServer_, &QTcpServer::newConnection, this, &LoggerServer::handleNewConnection);
    registerLoggerMetaTypes();

    // A burst of clients connecting at once waits in the system's queue, as long as
    // the system allows, instead of being turned away.
    int backlog = SOMAXCONN;
    QFile somaxconn(QStringLiteral("/proc/sys/net/core/somaxconn"));
    if (somaxconn.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int limit = somaxconn.readAll().trimmed().toInt(&ok);
        if (ok && limit > backlog)
            backlog = limit;
    }
    tcpServer_->setListenBacklogSize(backlog);
    tcpServer_->setMaxPendingConnections(std::numeric_limits<int>::max());

    acceptResumeTimer_->setSingleShot(true);
    acceptResumeTimer_->setInterval(ACCEPT_PAUSE_MS);
    connect(acceptResumeTimer_, &QTimer::timeout, this, [this] {
        if (acceptNotifier_ != nullptr)
            acceptNotifier_->setEnabled(true);
    });

    connect(silenceTimer_, &QTimer::timeout, this, &LoggerServer::closeSilentConnections);
    setSilenceTimeout(DEFAULT_SILENCE_TIMEOUT_MS);

    logDir_ = QDir::homePath() + QLatin1Char('/') + DEFAULT_SERVER_FILE_DIR + QLatin1Char('/');
    // The owner's only: every client's logs are in it. An existing folder is left as it is.
    QDir().mkpath(QDir::homePath());
    ::mkdir(QFile::encodeName(logDir_).constData(), 0700);
}

LoggerServer::~LoggerServer()
{
    warnings_->flush();
    SERVER_LOG(INFO, "server", QStringLiteral("shutting down..."));
    for (LoggerServerClient* client : std::as_const(clients_))
        client->disconnect();
    clients_.clear();
    // Clients not yet initialized are not in clients_; none of them may reach this
    // object while the sockets close below.
    for (LoggerServerClient* client : tcpServer_->findChildren<LoggerServerClient*>()) {
        disconnect(client, nullptr, this, nullptr);
        client->setDropReporter(nullptr);
    }
    connections_.clear();
    delete acceptNotifier_;
    acceptNotifier_ = nullptr;
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
    if (mainFilePath_.isEmpty())
        return QString();
    return QFileInfo(mainFilePath_).absoluteFilePath();
}

bool LoggerServer::isListening() const
{
    return tcpServer_->isListening();
}

quint16 LoggerServer::serverPort() const
{
    return tcpServer_->isListening() ? tcpServer_->serverPort() : port_;
}

void LoggerServer::setSilenceTimeout(int ms)
{
    silenceTimeoutMs_ = std::max(1, ms);
    // Looked at a few times per timeout: a connection goes at most a quarter late.
    silenceTimer_->setInterval(std::clamp(silenceTimeoutMs_ / 4, 1, 1000));
}

void LoggerServer::setWarningWindow(int ms)
{
    warnings_->setWindow(ms);
}

void LoggerServer::addAllowedFolder(const QString& folder)
{
    if (!folder.isEmpty() && !allowedFolders_.contains(folder))
        allowedFolders_ << folder;
}

void LoggerServer::setAllowedFolders(const QStringList& folders)
{
    allowedFolders_.clear();
    for (const QString& folder : folders)
        addAllowedFolder(folder);
}

void LoggerServer::start()
{
    delete acceptNotifier_;
    acceptNotifier_ = nullptr;
    if (tcpServer_->isListening())
        tcpServer_->close();
    if (tcpServer_->listen(address_, port_)) {
        // Connections are accepted here rather than by Qt, whose listening socket
        // keeps the first error it met: out of descriptors after an EAGAIN it takes
        // for a passing condition and spins on the readable socket.
        tcpServer_->pauseAccepting();
        acceptNotifier_ = new QSocketNotifier(tcpServer_->socketDescriptor(), QSocketNotifier::Read, this);
        connect(acceptNotifier_, &QSocketNotifier::activated, this, &LoggerServer::acceptPending);
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

bool LoggerServer::attachMainFile(int fd, const QString& path)
{
    mainFile_->close();
    mainFilePath_ = path;
    return mainFile_->open(fd, FILE_OPEN_MODE, QFileDevice::AutoCloseHandle);
}

void LoggerServer::openDailyFile(const QDate& date)
{
    mainFileDate_ = date;
    mainFile_->close();
    const QString path = logDir_ + date.toString(Qt::ISODate) + QStringLiteral("-log.txt");
    QString why;
    const int fd = openLogFile(path, QStringList(), &why);
    if (fd < 0 || !attachMainFile(fd, path)) {
        mainFilePath_ = path;
        mainFileError(QStringLiteral("cannot open main file ") + path + QStringLiteral(": ") + why);
    }
    emit mainFileChanged(path);
}

void LoggerServer::writeLogEvent(LoggerEvent event)
{
    writeEvent(event, false);
}

bool LoggerServer::inDateWindow(const QDate& date)
{
    // Read first: an event outside the window goes to the file of this date when
    // none is open yet.
    const qint64 now = LoggerServerClient::nowMs();
    if (!today_.isValid() || now - todayReadAt_ >= 1000) {
        today_ = QDate::currentDate();
        todayReadAt_ = now;
    }
    if (!date.isValid())
        return false;
    const qint64 days = today_.daysTo(date);
    return days >= -dateWindowDays_ && days <= dateWindowDays_;
}

void LoggerServer::dateOutsideWindow(const QDate& date, LoggerServerClient* from)
{
    if (from != nullptr ? from->datesWarned() : hostDatesWarned_)
        return;
    if (from != nullptr)
        from->setDatesWarned();
    else
        hostDatesWarned_ = true;
    if (!warnings_->admit(KIND_DATES, from != nullptr ? from->peer() : info_.name))
        return;
    const QString text = QStringLiteral("lines dated %1, outside %2 to %3, go to the current main file")
                             .arg(date.isValid() ? date.toString(Qt::ISODate) : QStringLiteral("invalid"),
                                  today_.addDays(-dateWindowDays_).toString(Qt::ISODate),
                                  today_.addDays(dateWindowDays_).toString(Qt::ISODate));
    if (from != nullptr)
        SERVER_LOG(WARN, "client", clientPrefix(from) + text);
    else
        SERVER_LOG(WARN, "server", text);
}

void LoggerServer::writeEvent(const LoggerEvent& event, bool hold, LoggerServerClient* from)
{
    const QDate date = event.dateTime.date();
    if (!mainFileFixed_ && (!mainFileDate_.isValid() || mainFileDate_ != date)) {
        if (inDateWindow(date)) {
            if (from == nullptr)
                hostDatesWarned_ = false;
            flushHeldLines();
            openDailyFile(date);
        } else {
            dateOutsideWindow(date, from);
            if (!mainFileDate_.isValid()) {
                flushHeldLines();
                openDailyFile(today_);
            }
        }
    }
    appendEscaped(heldLines_, event.toEncoded());
    heldLines_ += LoggerMsg::MSG_END;
    heldDate_ = date;
    if (!hold)
        flushHeldLines();
    emit logEvent(event);
    flushPendingErrors();
}

void LoggerServer::flushHeldLines()
{
    if (heldLines_.isEmpty())
        return;
    QByteArray lines;
    lines.swap(heldLines_);
    QList<QIODevice*> failed;
    QStringList why;
    for (const QPointer<QIODevice>& device : std::as_const(devices_)) {
        if (!device || !device->isOpen())
            continue;
        // The console copy may lose lines but never waits for its reader.
        ConsoleWriter* console = device == stdOutFile_ ? ConsoleWriter::standardOutput()
            : device == stdErrFile_                    ? ConsoleWriter::standardError()
                                                       : nullptr;
        if (console != nullptr ? !console->write(lines) : device->write(lines) != lines.size()) {
            failed << device.data();
            why << (console != nullptr ? console->errorString() : device->errorString());
        } else if (device == mainFile_) {
            mainFileErrorSaid_ = false;
        }
    }
    for (qsizetype i = 0; i < failed.size(); ++i)
        outputFailed(failed[i], lines, heldDate_, why[i]);
    // The buffer is used again for the next slice.
    lines.resize(0);
    if (heldLines_.isEmpty())
        heldLines_.swap(lines);
}

void LoggerServer::outputFailed(QIODevice* device, const QByteArray& lines, const QDate& date, const QString& why)
{
    device->close();
    if (device != mainFile_) {
        // Said in the outputs left; the line it lost is in them.
        pendingErrors_ << QStringLiteral("closed output ") + device->objectName() + QStringLiteral(": ") + why;
        return;
    }
    mainFileError(QStringLiteral("cannot write main file ") + mainFilePath_ + QStringLiteral(": ") + why);
    // A fixed main file gives way to the daily files, which take these lines too; a
    // daily file is opened again for the next line.
    const bool wasFixed = mainFileFixed_;
    mainFileFixed_ = false;
    mainFileDate_ = QDate();
    if (wasFixed) {
        openDailyFile(date);
        if (mainFile_->isOpen() && mainFile_->write(lines) != lines.size())
            mainFile_->close();
    }
}

void LoggerServer::mainFileError(const QString& text)
{
    if (mainFileErrorSaid_)
        return;
    mainFileErrorSaid_ = true;
    pendingErrors_ << text;
}

void LoggerServer::flushPendingErrors()
{
    if (writingErrors_ || pendingErrors_.isEmpty())
        return;
    writingErrors_ = true;
    // Each line written may fail an output in turn, which adds its own line; every
    // output fails once at most, so this ends.
    while (!pendingErrors_.isEmpty()) {
        const LoggerEvent event(info_, LoggerEventMsg(QStringLiteral("server"), QStringLiteral(__FILE__), __LINE__,
                                                      ERROR, pendingErrors_.takeFirst()));
        writeLogEvent(event);
        // Someone reads the standard error stream even under --quiet; it may not
        // be read, so it is written as the console copy is.
        if (!stdErrFile_->isOpen()) {
            QByteArray line;
            appendEscaped(line, event.toEncoded());
            ConsoleWriter::standardError()->write(line + LoggerMsg::MSG_END);
        }
    }
    writingErrors_ = false;
}

void LoggerServer::handleServerError()
{
    acceptFailed(tcpServer_->serverError() == QAbstractSocket::SocketResourceError ? EMFILE : 0,
                 tcpServer_->errorString());
}

void LoggerServer::acceptFailed(int error, const QString& text)
{
    // Accepting pauses for a moment and goes on, so that running out of
    // descriptors neither spins nor ends the service.
    if (acceptNotifier_ != nullptr)
        acceptNotifier_->setEnabled(false);
    acceptResumeTimer_->start();
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // One line for a shortage however long it lasts, even when a freed
        // descriptor lets one connection in between two errors.
        const bool said = acceptPaused_ && lastAcceptError_.isValid()
            && lastAcceptError_.elapsed() < 4 * ACCEPT_PAUSE_MS;
        lastAcceptError_.start();
        if (said)
            return;
        acceptPaused_ = true;
        SERVER_LOG(ERROR, "server",
                   QStringLiteral("server error: ") + text + QStringLiteral("; accepting paused until descriptors are free"));
        return;
    }
    SERVER_LOG(ERROR, "server", QStringLiteral("server error: ") + text);
}

void LoggerServer::acceptPending()
{
    const int listening = static_cast<int>(tcpServer_->socketDescriptor());
    // Bounded, so that a flood of connections leaves the clients their turn.
    for (int n = 0; n < 1024; ++n) {
        const int fd = ::accept(listening, nullptr, nullptr);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED)
                continue;
            if (error != EAGAIN && error != EWOULDBLOCK)
                acceptFailed(error, errnoText(error));
            return;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        auto* socket = new QTcpSocket(tcpServer_);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            SERVER_LOG(ERROR, "server", QStringLiteral("failed to create client socket"));
            continue;
        }
        takeConnection(socket);
    }
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
    if (acceptPaused_ && lastAcceptError_.elapsed() >= 4 * ACCEPT_PAUSE_MS) {
        acceptPaused_ = false;
        SERVER_LOG(INFO, "server", QStringLiteral("accepting connections again"));
    }
    if (connections_.size() >= maxConnections_ && !connections_.isEmpty()) {
        // The longest-silent connection makes way, so that a client that writes
        // gets in however many connections hold their places doing nothing.
        LoggerServerClient* silent = connections_.first();
        for (LoggerServerClient* c : std::as_const(connections_)) {
            if (c->silentSince() < silent->silentSince())
                silent = c;
        }
        dismissConnection(silent, KIND_MAKE_WAY,
                          QStringLiteral("closing the connection: the longest silent of %1, for a new one")
                              .arg(connections_.size()));
    }
    if (connections_.size() >= maxConnections_) {
        if (!refusingConnections_) {
            refusingConnections_ = true;
            SERVER_LOG(WARN, "server",
                       QStringLiteral("refusing new connections: %1 connections open").arg(connections_.size()));
        }
        socket->abort();
        socket->deleteLater();
        return;
    }
    setUpConnection(socket);
}

void LoggerServer::setUpConnection(QTcpSocket* socket)
{
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    auto* client = new LoggerServerClient(socket);
    connections_.append(client);

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
    connect(client, &LoggerServerClient::sliceRead, this, &LoggerServer::flushHeldLines);
    connect(client, &LoggerServerClient::cmdUnknown, this, [this, client](const LoggerCmdUnknownMsg& cmd) {
        SERVER_LOG(INFO, "client", clientPrefix(client) + QStringLiteral("unknown cmd: ") + cmd.cmd());
    });
    connect(client, &LoggerServerClient::cmdChangeMainFile, this,
            [this, client](const QString& filePath) { changeMainFile(filePath, client->peer()); });
    connect(client, &LoggerServerClient::crossProtocolRequest, this, [this, client] {
        dismissConnection(client, KIND_HTTP, QStringLiteral("closing the connection: its first line is an HTTP request"),
                          DismissWhen::AfterReading);
    });
    connect(client, &LoggerServerClient::partialBytesChanged, this,
            [this, client](qsizetype delta) { partialBytesChanged(client, delta); });
    // Empty lines and over-long lines, said once per peer in a window.
    client->setDropReporter([this, client](qsizetype bytes) {
        if (warnings_->admit(KIND_DROPPED, client->peer()))
            warnDropped(bytes);
    });
    if (!silenceTimer_->isActive())
        silenceTimer_->start();

    // Bytes that came in with the connection are not announced again.
    client->readAvailable();
}

void LoggerServer::connectionClosed(LoggerServerClient* client)
{
    if (!connections_.removeOne(client))
        return;
    // Lines Qt still holds are written; a partial line left is of no use now, and
    // its memory goes back at once.
    if (!client->isDismissed())
        client->readRemaining();
    const qsizetype held = client->processor()->buffer().size();
    client->stop();
    if (held >= RELEASE_BYTES)
        scheduleMemoryRelease();
    if (connections_.size() < maxConnections_)
        refusingConnections_ = false;
}

void LoggerServer::dismissConnection(LoggerServerClient* client, const QString& kind, const QString& text,
                                     DismissWhen when)
{
    if (client->isDismissed())
        return;
    client->setDismissed();
    if (warnings_->admit(kind, client->peer()))
        SERVER_LOG(WARN, "client", clientPrefix(client) + text);
    client->stop();
    // Its place is free at once. Its socket closes now, so that its descriptor is
    // free for the connection it makes way for, or, when its own bytes are being
    // read, once that reading has returned.
    connectionClosed(client);
    if (when == DismissWhen::Now)
        client->socket()->abort();
    else
        QMetaObject::invokeMethod(client->socket(), &QAbstractSocket::abort, Qt::QueuedConnection);
}

void LoggerServer::closeSilentConnections()
{
    const qint64 now = LoggerServerClient::nowMs();
    QList<LoggerServerClient*> silent;
    bool waiting = false;
    for (LoggerServerClient* c : std::as_const(connections_)) {
        if (c->hasSentLine())
            continue;
        if (now - c->connectedAt() >= silenceTimeoutMs_)
            silent << c;
        else
            waiting = true;
    }
    for (LoggerServerClient* c : std::as_const(silent))
        dismissConnection(c, KIND_SILENT,
                          QStringLiteral("closing the connection: no line within %1 ms of connecting").arg(silenceTimeoutMs_));
    if (!waiting)
        silenceTimer_->stop();
}

void LoggerServer::reportNotSaid(const QString& kind, const QString& peer, qint64 count)
{
    if (kind == KIND_DROPPED) {
        qWarning().noquote() << QStringLiteral("logger protocol warn - dropped %1 more lines from %2 while processing")
                                    .arg(count)
                                    .arg(peer);
    } else if (kind == KIND_MAIN_FILE) {
        pendingErrors_ << QStringLiteral("refused %1 more main files from %2").arg(count).arg(peer);
        flushPendingErrors();
    } else if (kind == KIND_HTTP) {
        SERVER_LOG(WARN, "client",
                   QStringLiteral("closed %1 more connections from %2 whose first line is an HTTP request").arg(count).arg(peer));
    } else if (kind == KIND_SILENT) {
        SERVER_LOG(WARN, "client",
                   QStringLiteral("closed %1 more connections from %2 that sent no line within %3 ms of connecting")
                       .arg(count)
                       .arg(peer)
                       .arg(silenceTimeoutMs_));
    } else if (kind == KIND_MAKE_WAY) {
        SERVER_LOG(WARN, "client",
                   QStringLiteral("closed %1 more of the longest-silent connections from %2 for new ones").arg(count).arg(peer));
    } else if (kind == KIND_DATES) {
        SERVER_LOG(WARN, "client",
                   QStringLiteral("%1 more connections from %2 sent lines dated outside the window; they went to the "
                                  "current main file")
                       .arg(count)
                       .arg(peer));
    }
}

void LoggerServer::scheduleMemoryRelease()
{
    if (releaseScheduled_)
        return;
    releaseScheduled_ = true;
    // Once for all the connections that close in one turn of the loop.
    QTimer::singleShot(0, this, [this] {
        releaseScheduled_ = false;
        releaseFreedMemory();
    });
}

void LoggerServer::partialBytesChanged(LoggerServerClient* client, qsizetype delta)
{
    partialBytes_ += delta;
    if (partialBytes_ <= maxPartialBytes_ || delta <= 0)
        return;
    // Past the bound the oldest partial lines go first: a line that has waited
    // longest is the likeliest never to end.
    bool released = false;
    while (partialBytes_ > maxPartialBytes_) {
        LoggerServerClient* oldest = nullptr;
        for (LoggerServerClient* c : std::as_const(connections_)) {
            if (!c->processor()->buffer().isEmpty()
                && (oldest == nullptr || c->processor()->partialSince() < oldest->processor()->partialSince()))
                oldest = c;
        }
        if (oldest == nullptr)
            oldest = client;
        const qsizetype dropped = oldest->dropPartialLine();
        if (dropped == 0)
            break;
        released = released || dropped >= RELEASE_BYTES;
        SERVER_LOG(WARN, "client",
                   clientPrefix(oldest)
                       + QStringLiteral("dropped a partial line of %1 bytes: partial lines held past %2 bytes")
                             .arg(dropped)
                             .arg(maxPartialBytes_));
    }
    if (released)
        scheduleMemoryRelease();
}

void LoggerServer::changeMainFile(const QString& filePath, const QString& peer)
{
    // Lines before the command belong to the file in use.
    flushHeldLines();
    if (mainFile_ == nullptr || !devices_.contains(mainFile_))
        return;
    // Only the log folder and the folders the host allows: a client must not make
    // the server append to any file its user may write.
    const QString path = QDir::cleanPath(QDir::isRelativePath(filePath) ? logDir_ + filePath : filePath);
    QStringList allowed;
    for (const QString& folder : QStringList(logDir_) + allowedFolders_) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (!canonical.isEmpty())
            allowed << canonical;
    }
    QString why;
    int fd = -1;
    if (filePath.isEmpty())
        why = QStringLiteral("no path");
    else if (allowed.isEmpty())
        // Neither the log folder nor an allowed folder exists (removed while the
        // server runs, say): no path is inside, and none may be opened unchecked.
        why = QStringLiteral("outside the allowed folders");
    else
        fd = openLogFile(path, allowed, &why);
    if (fd < 0) {
        // The main file in use goes on. A peer's refused commands are said once in
        // a window, then counted: each line echoes the peer's path.
        if (warnings_->admit(KIND_MAIN_FILE, peer)) {
            pendingErrors_ << QStringLiteral("refused main file ") + filePath + QStringLiteral(": ") + why;
            flushPendingErrors();
        }
        return;
    }
    SERVER_LOG(INFO, "server", QStringLiteral("changing main file from ") + mainFilePath_ + QStringLiteral(" to ") + path);
    if (!attachMainFile(fd, path)) {
        mainFileDate_ = QDate();
        mainFileError(QStringLiteral("cannot open main file ") + path + QStringLiteral(": ") + mainFile_->errorString());
        flushPendingErrors();
        return;
    }
    mainFileFixed_ = true;
    SERVER_LOG(INFO, "server", QStringLiteral("writing to file ") + path);
    emit mainFileChanged(path);
}
