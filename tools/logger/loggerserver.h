#pragma once
// The logging server: accepts logging clients over TCP, reassembles their byte
// streams into wire lines and writes every message as a log-file line to the
// enabled outputs, among them one file per event date under ~/.veklogs.
// Any local process (or a web page posting to the port) can be a client, so the
// server bounds what it holds for clients and keeps its policies in classes of
// their own: which connections stay (ConnectionAdmission, ConnectionAcceptor),
// HTTP requests refused (HttpRequest), which daily file a line's date opens
// (DateWindow), where the main file may move (MainFileRules), peer text escaped
// (PeerText), warnings said once (WarningLimiter), and a console copy that
// never blocks (ConsoleWriter). A host that writes to a pipe should ignore SIGPIPE.
#include "tools/logger/connectionadmission.h"
#include "tools/logger/datewindow.h"
#include "tools/logger/loggerprotocol.h"
#include "tools/logger/serverconnections.h"

#include <QAbstractSocket>
#include <QDate>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

class ConsoleWriter;
class QFile;
class QIODevice;
class QTcpServer;
class QTcpSocket;
struct LoggerServerPrivate;

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
    bool isStopped() const { return stopped_; }
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
    // What drain() left.
    enum class Drained
    {
        AllRead,     // nothing more to read for now
        MoreWaiting, // the budget was spent first
        PeerClosed,  // read to its end: the peer closed, or the connection failed
    };
    // Reads and hands on what Qt holds and then what the system holds for the
    // socket, without waiting, and takes the bytes read from budget; reading stops
    // once the budget is spent. Before the server closes a connection, every line
    // it has sent is written.
    Drained drain(qint64& budget);
    // Drops what is held and ignores every later byte (the connection is closing).
    void stop();
    void setDropReporter(LoggerServerMsgProcessor::DropReporter reporter);

    // The peer's address as text: warnings it causes are counted under it.
    const QString& peer() const { return peer_; }
    // Whether a complete line came, and when (ConnectionAdmission's rules).
    const ConnectionSilence& silence() const { return silence_; }
    // Closed by the server (HTTP, silence, making way): its closing is said once,
    // by the server's own line, not by the socket's state changes.
    bool isDismissed() const { return dismissed_; }
    void setDismissed() { dismissed_ = true; }
    // The monotonic clock of silence().
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
    void take(const QByteArray& bytes);
    void reportPartialBytes();

    QTcpSocket* socket_;
    QString peer_;
    ConnectionSilence silence_;
    bool dismissed_ = false;
    qsizetype reportedPartial_ = 0;
    LoggerClientInfo info_;
    LoggerServerMsgProcessor* processor_;
};

class LoggerServer : public QObject
{
    Q_OBJECT
public:
    // Past this many connections the longest-silent one is closed for each new one.
    static constexpr int DEFAULT_MAX_CONNECTIONS = ConnectionAdmission::DEFAULT_MAX_CONNECTIONS;
    // A connection that sends no complete line this long after connecting is closed.
    static constexpr int DEFAULT_SILENCE_TIMEOUT_MS = ConnectionAdmission::DEFAULT_SILENCE_TIMEOUT_MS;
    // Daily files are opened only for event dates this many days around the
    // server's own date (DateWindow).
    static constexpr int DEFAULT_DATE_WINDOW_DAYS = DateWindow::DEFAULT_DAYS;
    // Past this many bytes of partial lines of all connections together, the oldest
    // partial line is dropped.
    static constexpr qint64 DEFAULT_MAX_PARTIAL_BYTES = ServerConnections::DEFAULT_MAX_PARTIAL_BYTES;

    explicit LoggerServer(QObject* parent = nullptr);
    ~LoggerServer() override;

    void writeServerLogEvent(const LoggerEventMsg& msg);

    QList<LoggerClientInfo> clientInfos() const;
    QList<QFile*> attachedFiles() const;
    QString mainFilepath() const;
    // The folder of the daily files: the home folder's ".veklogs".
    QString logDirPath() const;

    bool isListening() const;
    // The port actually listened on (the configured one, or the one picked for port 0).
    quint16 serverPort() const;
    const LoggerClientInfo& info() const { return info_; }

    // CHANGE_MAIN_FILE may name a file inside the log folder or inside one of these
    // folders (and their sub-folders); a relative path is taken inside the log folder.
    void addAllowedFolder(const QString& folder);
    void setAllowedFolders(const QStringList& folders);
    QStringList allowedFolders() const;

    void setMaxConnections(int count);
    int maxConnections() const;
    void setMaxPartialBytes(qint64 bytes);
    qint64 maxPartialBytes() const;
    void setSilenceTimeout(int ms);
    int silenceTimeout() const;
    void setDateWindowDays(int days);
    int dateWindowDays() const;
    // The window within which a peer's repeated warnings of one kind make one line
    // (WarningLimiter::DEFAULT_WINDOW_MS); 0 says every warning.
    void setWarningWindow(int ms);
    // Accepted connections not yet closed, initialized or not.
    int connectionCount() const;
    // Bytes of partial lines held for all connections together.
    qint64 partialBytes() const;

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
    static QString clientPrefix(const LoggerServerClient* client);
    // Takes an accepted connection, or closes it past the bound of connections.
    void takeConnection(QTcpSocket* socket);
    LoggerServerClient* setUpConnection(QTcpSocket* socket);
    void connectionClosed(LoggerServerClient* client);
    // Closes a connection for cause; text, after the client prefix, says why (once
    // per peer and kind in a window; an empty text says nothing).
    enum class DismissWhen { Now, AfterReading };
    void dismissConnection(LoggerServerClient* client, const QString& kind, const QString& text,
                           DismissWhen when = DismissWhen::Now);
    // A warning a peer caused that was not said, counted at the end of its window.
    void reportNotSaid(const QString& kind, const QString& peer, qint64 count);
    void changeMainFile(const QString& filePath, const QString& peer);
    // Opens the daily file of the line's date, or of another when its date is
    // outside the window, unless that one is open.
    void followEventDate(const QDate& date, LoggerServerClient* from);
    // Writes the event's line to the outputs, at once or (hold) with the other
    // lines of the slice in hand.
    void writeEvent(const LoggerEvent& event, bool hold, LoggerServerClient* from = nullptr);
    void flushHeldLines();
    void outputFailed(QIODevice* device, const QString& why);
    ConsoleWriter* consoleOf(const QIODevice* device) const;
    // At shutdown: the console copies get a moment to take what waits, and what
    // they never took is counted.
    void finishConsoles();
    // A main file that cannot be used: an ERROR line in the outputs and on the
    // standard error stream, written once the line in hand is written.
    void mainFileError(const QString& text);
    void flushPendingErrors();

    LoggerClientInfo info_;
    QHostAddress address_;
    quint16 port_;
    QTcpServer* tcpServer_;
    QFile* stdOutFile_;
    QFile* stdErrFile_;
    QFile* mainFile_;
    QList<QPointer<QIODevice>> devices_;
    QList<LoggerServerClient*> clients_;
    // The policies' state, the connections and the lines in hand; the main file's
    // date and whether it is fixed are MainFile's.
    std::unique_ptr<LoggerServerPrivate> d_;
};
