#include "tools/util/platformlauncher.h"

#include <QProcess>

namespace PlatformLauncher {

QString loggerServerAppPath()
{
    return QStringLiteral("/Applications/loggerserver.app");
}

LaunchCommand loggerServerLaunchCommand()
{
    return {QStringLiteral("open"), {QStringLiteral("-a"), loggerServerAppPath()}};
}

QString commandText(const LaunchCommand& command)
{
    QStringList parts{command.program};
    parts += command.arguments;
    return parts.join(QLatin1Char(' '));
}

bool canLaunchApplications()
{
#ifdef Q_OS_MACOS
    return true;
#else
    // Elsewhere "open" is a different tool (or absent); running it could do harm.
    return false;
#endif
}

int runAndWait(const LaunchCommand& command, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(command.program, command.arguments);
    if (!process.waitForStarted(timeoutMs))
        return NotStarted;
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return TimedOut;
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return Crashed;
    return process.exitCode();
}

int launchLoggerServer(int timeoutMs)
{
    if (!canLaunchApplications())
        return NotAvailable;
    return runAndWait(loggerServerLaunchCommand(), timeoutMs);
}

} // namespace PlatformLauncher
