#pragma once
// Starting other applications through the platform. The logging client uses it
// to bring up the logging server application when it finds no server.
#include <QString>
#include <QStringList>

namespace PlatformLauncher {

// A program and its arguments, run without a shell.
struct LaunchCommand
{
    QString program;
    QStringList arguments;
};

// Result codes of runAndWait besides the program's own exit code.
constexpr int NotStarted = -1;     // no such program, or it could not be started
constexpr int Crashed = -2;        // ended by a signal
constexpr int TimedOut = -3;       // still running at the deadline; it was killed
constexpr int NotAvailable = -4;   // the platform has no way to start applications

// The path of the logging server application bundle.
QString loggerServerAppPath();

// "open -a <bundle>": how the platform starts the logging server application.
LaunchCommand loggerServerLaunchCommand();

// The command as one text, as it would be typed.
QString commandText(const LaunchCommand& command);

// True where the platform's application launcher exists (macOS).
bool canLaunchApplications();

// Runs the program, waits at most timeoutMs for it to end and returns its exit
// code, or one of the negative codes above.
int runAndWait(const LaunchCommand& command, int timeoutMs);

// Launches the logging server application and waits for the launcher to end.
// Where the platform has no launcher nothing is started and NotAvailable is returned.
int launchLoggerServer(int timeoutMs = 30000);

// Only an exit code of 0 means that the launcher did its job.
inline bool launchSucceeded(int result)
{
    return result == 0;
}

} // namespace PlatformLauncher
