#include "tools/util/platformlauncher.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace PlatformLauncher;

TEST(PlatformLauncher, LoggerServerCommand)
{
    const LaunchCommand cmd = loggerServerLaunchCommand();
    EXPECT_EQ(cmd.program.toStdString(), "open");
    ASSERT_EQ(cmd.arguments.size(), 2);
    EXPECT_EQ(cmd.arguments[0].toStdString(), "-a");
    EXPECT_EQ(cmd.arguments[1].toStdString(), "/Applications/loggerserver.app");
    EXPECT_EQ(commandText(cmd).toStdString(), "open -a /Applications/loggerserver.app");
}

TEST(PlatformLauncher, OnlyExitCodeZeroIsSuccess)
{
    EXPECT_TRUE(launchSucceeded(0));
    EXPECT_FALSE(launchSucceeded(1));
    EXPECT_FALSE(launchSucceeded(255));
    EXPECT_FALSE(launchSucceeded(NotStarted));
    EXPECT_FALSE(launchSucceeded(NotAvailable));

    EXPECT_EQ(runAndWait({"/bin/true", {}}, 10000), 0);
    const int failed = runAndWait({"/bin/false", {}}, 10000);
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(launchSucceeded(failed)) << "a launcher that exits with an error did not launch";
    EXPECT_EQ(runAndWait({"/bin/sh", {"-c", "exit 3"}}, 10000), 3);
}

TEST(PlatformLauncher, ProgramsThatDoNotRunToTheEnd)
{
    EXPECT_EQ(runAndWait({"/no/such/program", {}}, 10000), NotStarted);
    EXPECT_EQ(runAndWait({"/bin/sh", {"-c", "kill -9 $$"}}, 10000), Crashed);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(runAndWait({"/bin/sleep", {"30"}}, 200), TimedOut);
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST(PlatformLauncher, NothingIsStartedWithoutAnApplicationLauncher)
{
#ifdef Q_OS_MACOS
    EXPECT_TRUE(canLaunchApplications());
#else
    EXPECT_FALSE(canLaunchApplications());
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(launchLoggerServer(), NotAvailable);
    EXPECT_LT(clock.elapsed(), 1000);
#endif
}
