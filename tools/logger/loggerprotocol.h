#pragma once
// Log messages, protocol commands and their three text forms: the wire line
// (client to server), the log-file line (server) and the console line.
#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QString>

enum LogLevel : int {
    TRACE = 0,
    DEBUG = 1,
    INFO = 2,
    WARN = 3,
    ERROR = 4,
    FATAL = 5,
    LOG_CMD = 10
};

extern const QString LL_TRACE_STR;
extern const QString LL_DEBUG_STR;
extern const QString LL_INFO_STR;
extern const QString LL_WARN_STR;
extern const QString LL_ERROR_STR;
extern const QString LL_FATAL_STR;
extern const QString LL_LOG_CMD_STR;

QString toString(LogLevel level);
LogLevel toLogLevel(const QString& text);

extern const QHostAddress DEFAULT_SERVER_ADDR;
extern const quint16 DEFAULT_SERVER_PORT;
extern const QString DEFAULT_SERVER_FILE_OBJECT_NAME;
extern const QString DEFAULT_SERVER_FILE_DIR;
QString LOGGER_SETTINGS_PATH();
extern const int LOGGER_SETTINGS_FMT;

// Settings of the logging client: where to send messages and what to echo.
class LoggerConfig
{
public:
    LoggerConfig() { setDefaultValues(); }

    // Server on 127.0.0.1:4401, echo off, INFO, time stamps on.
    void setDefaultValues();
    // No server and no echo: messages go nowhere.
    static LoggerConfig noLogging();
    // No server, echo to standard output.
    static LoggerConfig stdOutOnly();

    // The echo shows messages at or above the configured level; LOG_CMD always passes.
    bool passesLogLevelFilter(LogLevel l) const { return level <= l; }

    bool useServer = true;
    QHostAddress serverAddress;
    quint16 serverPort = 0;
    LogLevel level = INFO;
    bool stdOut = false;
    bool stdErr = false;
    bool timestamps = true;
};

class LoggerMsg
{
public:
    static const QString DELIMITER;
    static const char MSG_END;

    virtual ~LoggerMsg() = default;
    virtual QByteArray toEncoded() const = 0;
};

class LoggerEventMsg : public LoggerMsg
{
public:
    LoggerEventMsg() = default;
    LoggerEventMsg(const QString& component, const QString& file, int line, LogLevel level,
                   const QString& text);
    LoggerEventMsg(LogLevel level, const QString& text);
    explicit LoggerEventMsg(const QByteArray& line);
    ~LoggerEventMsg() override = default;

    QByteArray toEncoded() const override;

    QString timestamp;
    QString component;
    QString file;
    int line = 0;
    quint64 threadId = 0;
    LogLevel level = TRACE;
    QString text;
};

class LoggerCmdMsg : public LoggerEventMsg
{
public:
    static const QString CMD_DELIMITER;

    LoggerCmdMsg() = default;
    explicit LoggerCmdMsg(const QList<QString>& args);
    explicit LoggerCmdMsg(const LoggerEventMsg& msg);
    ~LoggerCmdMsg() override = default;

    QString cmd() const;
    // The argument at index i of args, or an empty text when the command is shorter.
    QString arg(int i) const;

    QList<QString> args;
};

class LoggerClientInfo
{
public:
    LoggerClientInfo() = default;
    LoggerClientInfo(const QString& name, qint64 pid) : name(name), pid(pid) {}

    QString name;
    qint64 pid = 0;
};

class LoggerCmdInitClientMsg : public LoggerCmdMsg
{
public:
    static const QString CMD_KEY;

    LoggerCmdInitClientMsg() = default;
    LoggerCmdInitClientMsg(const QString& name, qint64 pid);
    explicit LoggerCmdInitClientMsg(const LoggerClientInfo& info);
    explicit LoggerCmdInitClientMsg(const LoggerEventMsg& msg);
    ~LoggerCmdInitClientMsg() override = default;

    QString name;
    qint64 pid = 0;
};

class LoggerCmdChangeFileMsg : public LoggerCmdMsg
{
public:
    static const QString CMD_KEY;

    LoggerCmdChangeFileMsg() = default;
    LoggerCmdChangeFileMsg(const QString& fileObjectName, const QString& filePath);
    explicit LoggerCmdChangeFileMsg(const LoggerEventMsg& msg);
    ~LoggerCmdChangeFileMsg() override = default;

    QString fileObjectName;
    QString filePath;
};

class LoggerCmdUnknownMsg : public LoggerCmdMsg
{
public:
    LoggerCmdUnknownMsg() = default;
    explicit LoggerCmdUnknownMsg(const LoggerEventMsg& msg) : LoggerCmdMsg(msg) {}
    ~LoggerCmdUnknownMsg() override = default;
};

class LoggerEvent
{
public:
    LoggerEvent() = default;
    LoggerEvent(const LoggerClientInfo& info, const LoggerEventMsg& msg);
    explicit LoggerEvent(const LoggerEventMsg& msg);
    explicit LoggerEvent(const QByteArray& line);

    QByteArray toEncoded() const;
    QByteArray simplified() const;
    QString logLevelAsString() const { return toString(level); }

    bool valid = false;
    QDateTime dateTime;
    QString timestamp;
    QString clientName;
    qint64 pid = 0;
    QString file;
    int line = 0;
    quint64 threadId = 0;
    QString component;
    LogLevel level = TRACE;
    QString text;
};

// The console echo line: "[time][LEVEL] text" or "[LEVEL] text", Latin-1, no line feeds.
QByteArray consoleLine(const LoggerEvent& event, bool withTime);

Q_DECLARE_METATYPE(LoggerEventMsg)
Q_DECLARE_METATYPE(LoggerCmdInitClientMsg)
Q_DECLARE_METATYPE(LoggerCmdChangeFileMsg)
Q_DECLARE_METATYPE(LoggerCmdUnknownMsg)
Q_DECLARE_METATYPE(LoggerClientInfo)
Q_DECLARE_METATYPE(LoggerEvent)
Q_DECLARE_METATYPE(LoggerConfig)

// Registers the message types for queued connections; safe to call repeatedly.
void registerLoggerMetaTypes();
