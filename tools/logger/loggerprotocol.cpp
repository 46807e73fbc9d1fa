#include "tools/logger/loggerprotocol.h"

#include "tools/util/datetimeutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>
#include <QStringDecoder>
#include <QThread>

const QString LL_TRACE_STR = QStringLiteral("TRACE");
const QString LL_DEBUG_STR = QStringLiteral("DEBUG");
const QString LL_INFO_STR = QStringLiteral("INFO");
const QString LL_WARN_STR = QStringLiteral("WARN");
const QString LL_ERROR_STR = QStringLiteral("ERROR");
const QString LL_FATAL_STR = QStringLiteral("FATAL");
const QString LL_LOG_CMD_STR = QStringLiteral("LOG_CMD");

const QHostAddress DEFAULT_SERVER_ADDR(QHostAddress::LocalHost);
const quint16 DEFAULT_SERVER_PORT = 4401;
const QString DEFAULT_SERVER_FILE_OBJECT_NAME = QStringLiteral("main_file");
const QString DEFAULT_SERVER_FILE_DIR = QStringLiteral(".veklogs");
const int LOGGER_SETTINGS_FMT = 1;

QString LOGGER_SETTINGS_PATH()
{
    return QDir::homePath() + QStringLiteral("/.loggerserver.ini");
}

void LoggerConfig::setDefaultValues()
{
    // Built here rather than copied from DEFAULT_SERVER_ADDR so that a config made
    // during static initialisation of another file does not see an unset global.
    useServer = true;
    serverAddress = QHostAddress(QHostAddress::LocalHost);
    serverPort = DEFAULT_SERVER_PORT; // constant-initialised, safe at any time
    level = INFO;
    stdOut = false;
    stdErr = false;
    timestamps = true;
}

LoggerConfig LoggerConfig::noLogging()
{
    LoggerConfig c;
    c.useServer = false;
    c.serverAddress = QHostAddress();
    c.serverPort = 0;
    c.level = INFO;
    c.stdOut = false;
    c.stdErr = false;
    c.timestamps = false;
    return c;
}

LoggerConfig LoggerConfig::stdOutOnly()
{
    LoggerConfig c = noLogging();
    c.stdOut = true;
    c.timestamps = true;
    return c;
}

const QString LoggerMsg::DELIMITER = QStringLiteral("*=-!");
const char LoggerMsg::MSG_END = '\n';
const QString LoggerCmdMsg::CMD_DELIMITER = QStringLiteral("-=-");
const QString LoggerCmdInitClientMsg::CMD_KEY = QStringLiteral("INIT_CLIENT");
const QString LoggerCmdChangeFileMsg::CMD_KEY = QStringLiteral("CHANGE_MAIN_FILE");

QString toString(LogLevel level)
{
    switch (level) {
    case TRACE: return LL_TRACE_STR;
    case DEBUG: return LL_DEBUG_STR;
    case INFO: return LL_INFO_STR;
    case WARN: return LL_WARN_STR;
    case ERROR: return LL_ERROR_STR;
    case FATAL: return LL_FATAL_STR;
    case LOG_CMD: return LL_LOG_CMD_STR;
    }
    return QString();
}

LogLevel toLogLevel(const QString& text)
{
    static const LogLevel all[] = {TRACE, DEBUG, INFO, WARN, ERROR, FATAL, LOG_CMD};
    for (LogLevel l : all) {
        if (toString(l) == text)
            return l;
    }
    return TRACE;
}

namespace {

quint64 currentThreadHandle()
{
    return static_cast<quint64>(reinterpret_cast<quintptr>(QThread::currentThreadId()));
}

QString withoutLineFeeds(QString text)
{
    text.remove(QLatin1Char('\n'));
    return text;
}

QByteArray latin1WithoutLineFeeds(const QString& text)
{
    QByteArray bytes = text.toLatin1();
    // Looked for first: replace() builds a matcher on every call, a tenth of the
    // logging server's time per line (bench_logserver).
    if (bytes.contains('\n'))
        bytes.replace("\n", "");
    return bytes;
}

QString applicationName()
{
    return QCoreApplication::applicationName();
}

} // namespace

LoggerEventMsg::LoggerEventMsg(const QString& component, const QString& file, int line,
                               LogLevel level, const QString& text)
    : timestamp(currentDateTimeIsoMsecs()),
      component(component),
      file(file),
      line(line),
      threadId(currentThreadHandle()),
      level(level),
      text(withoutLineFeeds(text))
{
}

LoggerEventMsg::LoggerEventMsg(LogLevel level, const QString& text)
    : LoggerEventMsg(QString(), QString(), -1, level, text)
{
}

LoggerEventMsg::LoggerEventMsg(const QByteArray& encoded)
{
    // Fields that the line does not carry stay empty or 0.
    const QStringList parts = QString::fromUtf8(encoded).split(DELIMITER, Qt::KeepEmptyParts);
    auto part = [&parts](int i) { return i < parts.size() ? parts.at(i) : QString(); };
    timestamp = part(0);
    component = part(1);
    file = part(2);
    bool ok = false;
    line = part(3).toInt(&ok, 10);
    if (!ok)
        line = 0;
    threadId = part(4).toULongLong(&ok, 10);
    if (!ok)
        threadId = 0;
    level = toLogLevel(part(5));
    text = part(6);
}

QByteArray LoggerEventMsg::toEncoded() const
{
    QByteArray out;
    QTextStream s(&out);
    s << timestamp << DELIMITER << component << DELIMITER << file << DELIMITER << line
      << DELIMITER << threadId << DELIMITER << toString(level) << DELIMITER << text;
    if (!text.endsWith(QLatin1Char(MSG_END)))
        s << MSG_END;
    s.flush();
    return out;
}

LoggerCmdMsg::LoggerCmdMsg(const QList<QString>& args)
    : LoggerEventMsg(LOG_CMD, args.join(CMD_DELIMITER)), args(args)
{
}

LoggerCmdMsg::LoggerCmdMsg(const LoggerEventMsg& msg)
    : LoggerEventMsg(msg), args(msg.text.split(CMD_DELIMITER, Qt::KeepEmptyParts))
{
    text.replace(CMD_DELIMITER, QStringLiteral(" "));
}

QString LoggerCmdMsg::cmd() const
{
    return arg(0);
}

QString LoggerCmdMsg::arg(int i) const
{
    return i >= 0 && i < args.size() ? args.at(i) : QString();
}

LoggerCmdInitClientMsg::LoggerCmdInitClientMsg(const QString& name, qint64 pid)
    : LoggerCmdMsg(QList<QString>{CMD_KEY, name, QString::number(pid)}), name(name), pid(pid)
{
}

LoggerCmdInitClientMsg::LoggerCmdInitClientMsg(const LoggerClientInfo& info)
    : LoggerCmdInitClientMsg(info.name, info.pid)
{
}

LoggerCmdInitClientMsg::LoggerCmdInitClientMsg(const LoggerEventMsg& msg)
    : LoggerCmdMsg(msg), name(arg(1))
{
    bool ok = false;
    pid = arg(2).toLongLong(&ok, 10);
    if (!ok)
        pid = 0;
}

LoggerCmdChangeFileMsg::LoggerCmdChangeFileMsg(const QString& fileObjectName, const QString& filePath)
    : LoggerCmdMsg(QList<QString>{CMD_KEY, fileObjectName, filePath}),
      fileObjectName(fileObjectName),
      filePath(filePath)
{
}

LoggerCmdChangeFileMsg::LoggerCmdChangeFileMsg(const LoggerEventMsg& msg)
    : LoggerCmdMsg(msg), fileObjectName(arg(1)), filePath(arg(2))
{
}

LoggerEvent::LoggerEvent(const LoggerClientInfo& info, const LoggerEventMsg& msg)
    : valid(true),
      dateTime(QDateTime::fromString(msg.timestamp, Qt::ISODateWithMs)),
      timestamp(msg.timestamp),
      clientName(info.name),
      pid(info.pid),
      file(msg.file),
      line(msg.line),
      threadId(msg.threadId),
      component(msg.component),
      level(msg.level),
      text(msg.text)
{
}

LoggerEvent::LoggerEvent(const LoggerEventMsg& msg)
    : LoggerEvent(LoggerClientInfo(applicationName(), QCoreApplication::applicationPid()), msg)
{
}

// Log files are written in Latin-1; lines that are not valid UTF-8 are read back as
// Latin-1 so that accented text survives the round trip.
static QString decodeLogFileLine(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

LoggerEvent::LoggerEvent(const QByteArray& encoded)
{
    const QStringList parts = decodeLogFileLine(encoded).split(QStringLiteral(" - "), Qt::KeepEmptyParts);
    if (parts.size() < 9)
        return;
    valid = true;
    timestamp = parts.at(0);
    dateTime = QDateTime::fromString(timestamp, Qt::ISODateWithMs);
    clientName = parts.at(1);
    pid = parts.at(2).toLongLong(nullptr, 10);
    QString hex = parts.at(3);
    if (hex.startsWith(QLatin1String("0x")) || hex.startsWith(QLatin1String("0X")))
        hex = hex.mid(2);
    threadId = hex.toULongLong(nullptr, 16);
    file = parts.at(4);
    bool ok = false;
    line = parts.at(5).toInt(&ok, 10);
    if (!ok)
        line = 0;
    component = parts.at(6);
    level = toLogLevel(parts.at(7));
    text = withoutLineFeeds(parts.at(8));
}

QByteArray LoggerEvent::toEncoded() const
{
    // All values go in at once, so a value holding "%3" cannot be substituted again.
    const QString out = QStringLiteral("%1 - %2 - %3 - 0x%4 - %5 - %6 - %7 - %8 - %9")
                            .arg(timestamp, clientName, QString::number(pid),
                                 QString::number(threadId, 16), file, QString::number(line),
                                 component, toString(level), text);
    return latin1WithoutLineFeeds(out);
}

QByteArray LoggerEvent::simplified() const
{
    return consoleLine(*this, true);
}

QByteArray consoleLine(const LoggerEvent& event, bool withTime)
{
    const QString out = withTime
        ? QStringLiteral("[%1][%2] %3")
              .arg(event.dateTime.toString(QStringLiteral("HH:mm:ss.zzz")), toString(event.level), event.text)
        : QStringLiteral("[%1] %2").arg(toString(event.level), event.text);
    return latin1WithoutLineFeeds(out);
}

void registerLoggerMetaTypes()
{
    static const bool done = [] {
        qRegisterMetaType<LoggerEventMsg>("LoggerEventMsg");
        qRegisterMetaType<LoggerCmdInitClientMsg>("LoggerCmdInitClientMsg");
        qRegisterMetaType<LoggerCmdChangeFileMsg>("LoggerCmdChangeFileMsg");
        qRegisterMetaType<LoggerCmdUnknownMsg>("LoggerCmdUnknownMsg");
        qRegisterMetaType<LoggerClientInfo>("LoggerClientInfo");
        qRegisterMetaType<LoggerEvent>("LoggerEvent");
        qRegisterMetaType<LoggerConfig>("LoggerConfig");
        return true;
    }();
    (void)done;
}
