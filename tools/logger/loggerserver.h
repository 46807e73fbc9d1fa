#pragma once
// The logging server: accepts logging clients over TCP, reassembles their byte
// streams into wire lines and writes every message as a log-file line to the
// enabled outputs, among them one file per event date under ~/.veklogs.
// Any local process (or a web page posting to the port) can be a client, so the
// server bounds what it holds for clients, refuses HTTP requests, and lets the
// main file move only to regular files inside the log folder or a folder the host
// program allows. Connections that never send a line are closed, and at the bound
// of connections the longest-silent one makes way for a new one. Peer text is
// written with its control characters escaped, the console copy never blocks, and
// warnings a peer can cause are rate-limited. A host that writes to a pipe should
// ignore SIGPIPE.
#include "tools/logger/loggerprotocol.h"

#include <QAbstractSocket>
#include <QDate>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <utility>

class QFile;
class QIODevice;
class QTcpServer;
class QTcpSocket;
class QSocketNotifier;
class QTimer;
class WarningLimiter;

// Cuts a client's byte stream into wire lines and turns each into a message or a command.
class LoggerServerMsgProcessor : public QObject
{
    Q_OBJECT
public:
    // A partial line that grows past this many bytes without a line feed is dropped,
    // so that a client cannot make the server hold an unbounded buffer.
    static constexpr qsizetype MAX_LINE_BYTES = 1024 * 1024;

    explicit LoggerServerMsgProcessor(QObject* parent = nullptr);

    // Bytes received and not yet consumed: the partial line.
    const QByteArray& buffer() const { return buffer_; }
    // Orders partial lines by the time they began (smaller: older); meaningful
    // while the buffer holds bytes.
    quint64 partialSince() const { return partialSince_; }
    // Drops the partial line, and the rest of it up to its line feed when that
    // comes; returns the bytes dropped.
    qsizetype dropPartialLine();
    // Drops what is held and ignores every later byte.
    void stop();
    // Complete lines decoded so far (lines of 2 bytes or less not counted).
    quint64 linesHandled() const { return linesHandled_; }
    // Says each dropped line (its length in bytes) in place of the warning that
    // goes to the framework's warning channel by default.
    using DropReporter = std::function<void(qsizetype bytes)>;
    void setDropReporter(DropReporter reporter) { dropReporter_ = std::move(reporter); }

signals:
    void loggerEventMsg(LoggerEventMsg msg);
    void loggerCmdUnknown(LoggerCmdUnknownMsg cmd);
    void loggerCmdInitClient(LoggerCmdInitClientMsg cmd);
    void loggerCmdChangeFile(LoggerCmdChangeFileMsg cmd);
    // The stream's first line is an HTTP request (a request line or a Host header),
    // as a web page's post to the port would send; nothing more is read.
    void crossProtocolRequest();

public slots:
    void process(QByteArray msg);
    void process();

private:
    void handleLine(const QByteArray& line);
    // Whether the first line is decided to be a log line (true) or an HTTP request
    // (stop() called); undecided while it may still become either.
    bool checkFirstLine();
    void releaseBuffer();
    void reportDropped(qsizetype bytes);

    QByteArray buffer_;
    quint64 linesHandled_ = 0;
    DropReporter dropReporter_;
    quint64 partialSince_ = 0;
    bool firstLineChecked_ = false;
    bool stopped_ = false;
    // After an over-long partial line was dropped, the rest of that line up to its
    // line feed is dropped as well (counted here) instead of being read as a new
    // line; -1 when no line is being dropped.
    qsizetype skippedBytes_ = -1;
};

// One accepted connection; a child of its socket.
class LoggerServerClient : public QObject
{
    Q_OBJECT
public:
    // Bytes read from the socket at a time: one slice per turn of the event loop
    // keeps each client's turn short, so that new connections and other clients
    // are served promptly while many send at full speed.
    // 16 KiB: 200 clients at full speed make a turn of about 0.15 s (bench_logserver).
    static constexpr qint64 READ_SLICE_BYTES = 16 * 1024;
    // Longer client names are cut: the name is written into every line.
    static constexpr qsizetype MAX_CLIENT_NAME_BYTES = 256;

    explicit LoggerServerClient(QTcpSocket* socket);

    QTcpSocket* socket() const { return socket_; }
    const LoggerClientInfo& info() const { return info_; }
    const LoggerServerMsgProcessor* processor() const { return processor_; }
    // Hands one slice of the bytes the socket holds to the line reassembler.
    void readAvailable();
    // Drops the partial line held; returns its length.
    qsizetype dropPartialLine();
    // Reads every slice Qt still holds (the connection closed).
    void readRemaining();
    // Drops what is held and ignores every later byte (the connection is closing).
    void stop();
    void setDropReporter(LoggerServerMsgProcessor::DropReporter reporter);

    // The peer's address as text: warnings it causes are counted under it.
    const QString& peer() const { return peer_; }
    // Whether a complete line came, and since when (ms of a monotonic clock) the
    // connection has been silent: since its last line, or since it connected.
    bool hasSentLine() const { return sentLine_; }
    qint64 connectedAt() const { return connectedAt_; }
    qint64 silentSince() const { return sentLine_ ? lastLineAt_ : connectedAt_; }
    // Closed by the server (HTTP, silence, making way): its closing is said once,
    // by the server's own line, not by the socket's state changes.
    bool isDismissed() const { return dismissed_; }
    void setDismissed() { dismissed_ = true; }
    // Whether its lines dated outside the server's window were said.
    bool datesWarned() const { return datesWarned_; }
    void setDatesWarned() { datesWarned_ = true; }
    // The monotonic clock of connectedAt() and silentSince().
    static qint64 nowMs();

signals:
    void connected();
    void disconnected();
    void error(QAbstractSocket::SocketError e);
    void stateChanged(QAbstractSocket::SocketState s);
    void aboutToClose();
    void initialized();
    void logEvent(LoggerEvent event);
    void cmdUnknown(LoggerCmdUnknownMsg cmd);
    void cmdChangeMainFile(QString filePath);
    void crossProtocolRequest();
    // The length of the partial line held changed by delta bytes.
    void partialBytesChanged(qsizetype delta);
    // A slice of bytes was read and its lines signalled.
    void sliceRead();

public slots:
    void emitClientLogEvent(LoggerEventMsg msg);

private:
    void reportPartialBytes();

    QTcpSocket* socket_;
    QString peer_;
    qint64 connectedAt_ = 0;
    qint64 lastLineAt_ = 0;
    bool sentLine_ = false;
    bool dismissed_ = false;
    bool datesWarned_ = false;
    qsizetype reportedPartial_ = 0;
    LoggerClientInfo info_;
    LoggerServerMsgProcessor* processor_;
};

class LoggerServer : public QObject
{
    Q_OBJECT
public:
    // Past this many connections the longest-silent one is closed for each new one.
    static constexpr int DEFAULT_MAX_CONNECTIONS = 1000;
    // A connection that sends no complete line this long after connecting is closed:
    // it holds a place and a descriptor for nothing.
    static constexpr int DEFAULT_SILENCE_TIMEOUT_MS = 10000;
    // Daily files are opened only for event dates this many days around the
    // server's own date; lines dated otherwise go to the main file in use, so that
    // a client's dates cannot make a file each.
    static constexpr int DEFAULT_DATE_WINDOW_DAYS = 1;
    // Past this many bytes of partial lines of all connections together, the oldest
    // partial line is dropped.
    static constexpr qint64 DEFAULT_MAX_PARTIAL_BYTES = 64 * 1024 * 1024;
    // How long accepting pauses when it fails, for want of descriptors say.
    static constexpr int ACCEPT_PAUSE_MS = 250;

    explicit LoggerServer(QObject* parent = nullptr);
    ~LoggerServer() override;

    void writeServerLogEvent(const LoggerEventMsg& msg);

    QList<LoggerClientInfo> clientInfos() const;
    QList<QFile*> attachedFiles() const;
    QString mainFilepath() const;
    // The folder of the daily files: the home folder's ".veklogs".
    QString logDirPath() const { return logDir_; }

    bool isListening() const;
    // The port actually listened on (the configured one, or the one picked for port 0).
    quint16 serverPort() const;
    const LoggerClientInfo& info() const { return info_; }

    // CHANGE_MAIN_FILE may name a file inside the log folder or inside one of these
    // folders (and their sub-folders); a relative path is taken inside the log folder.
    void addAllowedFolder(const QString& folder);
    void setAllowedFolders(const QStringList& folders);
    QStringList allowedFolders() const { return allowedFolders_; }

    void setMaxConnections(int count) { maxConnections_ = count; }
    int maxConnections() const { return maxConnections_; }
    void setMaxPartialBytes(qint64 bytes) { maxPartialBytes_ = bytes; }
    qint64 maxPartialBytes() const { return maxPartialBytes_; }
    void setSilenceTimeout(int ms);
    int silenceTimeout() const { return silenceTimeoutMs_; }
    void setDateWindowDays(int days) { dateWindowDays_ = days < 0 ? 0 : days; }
    int dateWindowDays() const { return dateWindowDays_; }
    // The window within which a peer's repeated warnings of one kind make one line
    // (WarningLimiter::DEFAULT_WINDOW_MS); 0 says every warning.
    void setWarningWindow(int ms);
    // Accepted connections not yet closed, initialized or not.
    int connectionCount() const { return static_cast<int>(connections_.size()); }
    // Bytes of partial lines held for all connections together.
    qint64 partialBytes() const { return partialBytes_; }

signals:
    void logEvent(LoggerEvent event);
    void clientConnected(LoggerClientInfo info);
    void clientDisconnected(LoggerClientInfo info);
    void mainFileChanged(QString filePath);

public slots:
    void start();
    void setServerInfo(QHostAddress address, uint16_t port);
    void setStdOutEnabled(bool enable);
    void setStdErrEnabled(bool enable);
    void attachQIODevice(QIODevice* device);
    void writeLogEvent(LoggerEvent event);
    void handleServerError();
    void handleNewConnection();

private:
    void log(LogLevel level, const char* component, int line, const QString& text);
    void changeMainFile(const QString& filePath, const QString& peer);
    static QString clientPrefix(const LoggerServerClient* client);
    // Accepts what the listening socket holds, a bounded number per turn.
    void acceptPending();
    void acceptFailed(int error, const QString& text);
    // Takes an accepted connection, or closes it past the bound of connections.
    void takeConnection(QTcpSocket* socket);
    void setUpConnection(QTcpSocket* socket);
    void connectionClosed(LoggerServerClient* client);
    // Closes a connection for cause; text, after the client prefix, says why (once
    // per peer and kind in a window).
    enum class DismissWhen { Now, AfterReading };
    void dismissConnection(LoggerServerClient* client, const QString& kind, const QString& text,
                           DismissWhen when = DismissWhen::Now);
    void closeSilentConnections();
    // A warning a peer caused that was not said, counted at the end of its window.
    void reportNotSaid(const QString& kind, const QString& peer, qint64 count);
    bool inDateWindow(const QDate& date);
    // Says, once per connection, that its lines of a date outside the window go to
    // the main file in use.
    void dateOutsideWindow(const QDate& date, LoggerServerClient* from);
    void partialBytesChanged(LoggerServerClient* client, qsizetype delta);
    // Opens the daily file of a date as the main file.
    void openDailyFile(const QDate& date);
    // Makes the main file the regular file at path, open on fd.
    bool attachMainFile(int fd, const QString& path);
    // Writes the event's line to the outputs, at once or (hold) with the other
    // lines of the slice in hand.
    void writeEvent(const LoggerEvent& event, bool hold, LoggerServerClient* from = nullptr);
    void flushHeldLines();
    void outputFailed(QIODevice* device, const QByteArray& lines, const QDate& date, const QString& why);
    // A main file that cannot be used: an ERROR line in the outputs and on the
    // standard error stream, written once the line in hand is written.
    void mainFileError(const QString& text);
    void flushPendingErrors();
    void scheduleMemoryRelease();

    LoggerClientInfo info_;
    QHostAddress address_;
    quint16 port_;
    QTcpServer* tcpServer_;
    QFile* stdOutFile_;
    QFile* stdErrFile_;
    QFile* mainFile_;
    // The main file's path (a file opened on a descriptor has no name of its own).
    QString mainFilePath_;
    QDate mainFileDate_;
    bool mainFileFixed_ = false;
    QList<QPointer<QIODevice>> devices_;
    QList<LoggerServerClient*> clients_;
    QString logDir_;
    QStringList allowedFolders_;

    // Every accepted connection, initialized or not.
    QList<LoggerServerClient*> connections_;
    int maxConnections_ = DEFAULT_MAX_CONNECTIONS;
    qint64 maxPartialBytes_ = DEFAULT_MAX_PARTIAL_BYTES;
    qint64 partialBytes_ = 0;
    bool refusingConnections_ = false;
    QSocketNotifier* acceptNotifier_ = nullptr;
    QTimer* acceptResumeTimer_;
    bool acceptPaused_ = false;
    QElapsedTimer lastAcceptError_;
    bool releaseScheduled_ = false;
    int silenceTimeoutMs_ = DEFAULT_SILENCE_TIMEOUT_MS;
    QTimer* silenceTimer_;
    WarningLimiter* warnings_;
    int dateWindowDays_ = DEFAULT_DATE_WINDOW_DAYS;
    // The server's date, read again at most once a second.
    QDate today_;
    qint64 todayReadAt_ = 0;
    bool hostDatesWarned_ = false;

    // Main-file errors wait until the line in hand is written; each is said once
    // until the main file is written again.
    QStringList pendingErrors_;
    bool mainFileErrorSaid_ = false;
    // Lines of clients waiting for the end of their slice, and the last one's date.
    QByteArray heldLines_;
    QDate heldDate_;
    bool writingErrors_ = false;
};
