#include "support/logcapture.h"

namespace TestSupport {

LogCapture::LogCapture()
{
    Log::setTestSink([this](const LoggerEventMsg& m) { messages_.append(m); });
}

LogCapture::~LogCapture()
{
    Log::setTestSink(nullptr);
}

QStringList LogCapture::texts(const QString& component, int level) const
{
    QStringList out;
    for (const LoggerEventMsg& m : messages_) {
        if (!component.isEmpty() && m.component != component)
            continue;
        if (level >= 0 && m.level != level)
            continue;
        out << m.text;
    }
    return out;
}

int LogCapture::count(const QString& fragment, const QString& component, int level) const
{
    int n = 0;
    for (const QString& t : texts(component, level))
        n += t.contains(fragment) ? 1 : 0;
    return n;
}

bool LogCapture::contains(const QString& fragment, const QString& component, int level) const
{
    return count(fragment, component, level) > 0;
}

} // namespace TestSupport
