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
    Sink testSink;
};

State& state()
{
    static State s;
    return s;
}

} // namespace

bool enabled(LogLevel level)
{
    const State& s = state();
    if (s.testSink)
        return true;
    if (s.logger.isNull())
        return true; // standard error
    return !s.acceptsLevel || s.acceptsLevel(level);
}

void dispatch(const LoggerEventMsg& msg)
{
    State& s = state();
    if (s.testSink) {
        s.testSink(msg);
        return;
    }
    if (!s.logger.isNull()) {
        registerLoggerMetaTypes();
        QMetaObject::invokeMethod(s.logger.data(), "sendMessage", Qt::AutoConnection,
                                  Q_ARG(LoggerEventMsg, msg));
        return;
    }
    const QByteArray line = LoggerEvent(msg).simplified() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
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

void setTestSink(Sink sink)
{
    state().testSink = std::move(sink);
}

} // namespace Log
