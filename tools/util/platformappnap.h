#pragma once
// The App Nap opt-out: on macOS the "defaults" tool is run at start-up so that
// the system does not throttle a process that works without a visible window.
// Other platforms have no App Nap; there nothing is run.
#include <QString>
#include <QStringList>

namespace PlatformAppNap {

struct Command
{
    QString program;
    QStringList arguments;
};

// "defaults write <bundle id> NSAppSleepDisabled -bool YES".
Command optOutCommand(const QString& bundleId);

// True where the opt-out exists (macOS).
bool optOutAvailable();

// Runs the opt-out and waits for it; true when it ended with exit code 0.
// Where it is not available, starts no process and returns false.
bool runOptOut(const QString& bundleId);

} // namespace PlatformAppNap
