#pragma once
// Captures every log message made while it lives, so tests can assert on texts.
#include "tools/logger/log.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace TestSupport {

class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const QList<LoggerEventMsg>& messages() const { return messages_; }
    // Texts of the messages, optionally only those of one component and/or level.
    QStringList texts(const QString& component = QString(), int level = -1) const;
    // True when some message's text contains the fragment.
    bool contains(const QString& fragment, const QString& component = QString(), int level = -1) const;
    int count(const QString& fragment, const QString& component = QString(), int level = -1) const;
    void clear() { messages_.clear(); }

private:
    QList<LoggerEventMsg> messages_;
};

} // namespace TestSupport
