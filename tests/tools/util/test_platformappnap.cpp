#include "tools/util/platformappnap.h"

#include "support/tempdir.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

TEST(PlatformAppNap, CommandWritesTheSleepSettingOfTheBundle)
{
    const PlatformAppNap::Command c = PlatformAppNap::optOutCommand("com.praxa.tool");
    EXPECT_EQ(c.program, "defaults");
    EXPECT_EQ(c.arguments, (QStringList{"write", "com.praxa.tool", "NSAppSleepDisabled", "-bool", "YES"}));
}

TEST(PlatformAppNap, StartsNoProcessWhereThereIsNoAppNap)
{
#ifdef Q_OS_MACOS
    GTEST_SKIP() << "macOS runs the real tool";
#else
    // A "defaults" on the PATH that would leave a mark if it were started.
    TestSupport::TempDir tmp;
    const QString mark = tmp.filePath("started");
    const QString tool = tmp.write("bin/defaults", ("#!/bin/sh\ntouch '" + mark + "'\nexit 0\n").toUtf8());
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    TestSupport::ScopedEnv path("PATH", (tmp.filePath("bin") + ":" + qgetenv("PATH")).toUtf8());

    EXPECT_FALSE(PlatformAppNap::optOutAvailable());
    EXPECT_FALSE(PlatformAppNap::runOptOut("com.praxa.tool"));
    EXPECT_FALSE(QFileInfo::exists(mark));
#endif
}
