#pragma once
// The logging convention: a log site is one line,
//     LOG_WARN("tmdb", "Bad byte order: " << cell);
// The text is built through a QTextStream only when the message can reach
// someone (the global logger's server or echo, standard error, or a test sink).
#include "tools/logger/loggerprotocol.h"

#include <QObject>
#include <QString>
#include <QTextStream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Streams standard strings as UTF-8 text into log messages.
QTextStream& operator<<(QTextStream& s, const std::string& text);
QTextStream& operator<<(QTextStream& s, std::string_view text);

namespace Log {

// Whether a message of this level would be seen by anything.
bool enabled(LogLevel level);

// Delivers a message: to the test sink when one is installed, else to the global
// logger's sendMessage slot, else its console line to standard error.
void dispatch(const LoggerEventMsg& msg);

// Called by Logger when it becomes (or stops being) Logger::global.
// acceptsLevel tells whether the logger does anything with a message of a level.
void attachLogger(QObject* logger, std::function<bool(LogLevel)> acceptsLevel);
void detachLogger(QObject* logger);

// Messages at or above `level` that the global logger does nothing with (it has
// no server and does not echo them) are written to standard error as without a
// logger. The Python module sets WARN: its logger is silent, yet a script must
// hear why a file gave nothing. Unset (the default) such messages are dropped.
void setStandardErrorFloor(std::optional<LogLevel> level);

// A process-wide sink for tests: while set, every message goes to it instead.
using Sink = std::function<void(const LoggerEventMsg&)>;
void setTestSink(Sink sink);

} // namespace Log

#define GSE_LOG(component, level, streamed)                                                         \
    do {                                                                                            \
        if (::Log::enabled(level)) {                                                                \
            QString gseLogText_;                                                                    \
            {                                                                                       \
                QTextStream gseLogStream_(&gseLogText_);                                            \
                gseLogStream_ << streamed;                                                          \
            }                                                                                       \
            ::Log::dispatch(LoggerEventMsg(QString(component), QStringLiteral(__FILE__), __LINE__, \
                                           level, gseLogText_));                                    \
        }                                                                                           \
    } while (0)

#define LOG_DEBUG(component, streamed) GSE_LOG(component, ::DEBUG, streamed)
#define LOG_INFO(component, streamed) GSE_LOG(component, ::INFO, streamed)
#define LOG_WARN(component, streamed) GSE_LOG(component, ::WARN, streamed)
#define LOG_ERROR(component, streamed) GSE_LOG(component, ::ERROR, streamed)
