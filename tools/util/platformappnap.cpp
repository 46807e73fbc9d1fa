#include "tools/util/platformappnap.h"

#include <QtGlobal>
#ifdef Q_OS_MACOS
#include <QProcess>
#endif

namespace PlatformAppNap {

Command optOutCommand(const QString& bundleId)
{
    return {QStringLiteral("defaults"),
            {QStringLiteral("write"), bundleId, QStringLiteral("NSAppSleepDisabled"),
             QStringLiteral("-bool"), QStringLiteral("YES")}};
}

bool optOutAvailable()
{
#ifdef Q_OS_MACOS
    return true;
#else
    return false;
#endif
}

bool runOptOut(const QString& bundleId)
{
#ifdef Q_OS_MACOS
    const Command c = optOutCommand(bundleId);
    // execute() blocks until the tool ends; -2 (not started) and -1 (crashed) are failures too.
    return QProcess::execute(c.program, c.arguments) == 0;
#else
    Q_UNUSED(bundleId);
    return false;
#endif
}

} // namespace PlatformAppNap
