#include "tools/logger/log.h"

#include <QMetaObject>
#include <QPointer>
#include <cstdio>

QTextStream& operator<<(QTextStream& s, const std::string& text)
{
    return s << QString::fromStdString(text);
}

QTextStream& operator<<(QTextStream& s, std::string_view text)
{
    return s << QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

namespace Log {
namespace {

struct State
{
    QPointer<QObject> logger;
    std::function<bool(LogLevel)> acceptsLevel;
    std::optional<LogLevel> standardErrorFloor;
    Sink testSink;
};

State& state()
{
    static State s;
    return s;
}

bool reachesFloor(const State& s, LogLevel level)
{
    return s.standardErrorFloor && level >= *s.standardErrorFloor && level != LOG_CMD;
}

void writeToStandardError(const LoggerEventMsg& msg)
{
    const QByteArray line = LoggerEvent(msg).simplified() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

bool enabled(LogLevel level)
{
    const State& s = state();
    if (s.testSink)
        return true;
    if (s.logger.isNull())
        return true; // standard error
    return !s.acceptsLevel || s.acceptsLevel(level) || reachesFloor(s, level);
}

void dispatch(const LoggerEventMsg& msg)
{
    State& s = state();
    if (s.testSink) {
        s.testSink(msg);
        return;
    }
    if (!s.logger.isNull()) {
        // Written here, in order with the caller's own lines, not echoed later
        // by the logger's thread.
        if (s.acceptsLevel && !s.acceptsLevel(msg.level) && reachesFloor(s, msg.level)) {
            writeToStandardError(msg);
            return;
        }
        registerLoggerMetaTypes();
        QMetaObject::invokeMethod(s.logger.data(), "sendMessage", Qt::AutoConnection,
                                  Q_ARG(LoggerEventMsg, msg));
        return;
    }
    writeToStandardError(msg);
}

void attachLogger(QObject* logger, std::function<bool(LogLevel)> acceptsLevel)
{
    State& s = state();
    s.logger = logger;
    s.acceptsLevel = std::move(acceptsLevel);
}

void detachLogger(QObject* logger)
{
    State& s = state();
    if (s.logger == logger) {
        s.logger = nullptr;
        s.acceptsLevel = nullptr;
    }
}

void setStandardErrorFloor(std::optional<LogLevel> level)
{
    state().standardErrorFloor = level;
}

void setTestSink(Sink sink)
{
    state().testSink = std::move(sink);
}

} // namespace Log
