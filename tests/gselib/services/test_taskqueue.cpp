#include "gselib/services/taskqueue.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "support/eventwait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

using TestSupport::LogCapture;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;
using TestWait::until;

namespace {

struct TaskQueueTest : ::testing::Test
{
    TempDir dir;
    ScopedEnv home{"HOME", dir.path().toLocal8Bit()};
    ScopedEnv tmp{"TMPDIR", dir.path().toLocal8Bit()};
    LogCapture log;

    QStringList texts() const { return log.texts("task_queue"); }

    // Index of the first message at or after `from` that starts with the prefix, or -1.
    qsizetype indexOf(const QString& prefix, qsizetype from = 0) const
    {
        const QStringList t = texts();
        for (qsizetype i = from; i < t.size(); ++i)
            if (t.at(i).startsWith(prefix))
                return i;
        return -1;
    }

    bool waitForCount(const QString& fragment, int n, int timeoutMs = 10000)
    {
        return until([&] { return log.count(fragment, "task_queue") >= n; }, timeoutMs);
    }

    static qsizetype processObjects(const TaskQueue& q)
    {
        return q.findChildren<QProcess*>().size();
    }
};

} // namespace

TEST_F(TaskQueueTest, TasksRunOneAtATimeInArrivalOrder)
{
    TaskQueue q;
    q.addTask("/bin/sh", {"-c", "echo first; sleep 0.2; echo first done"});
    q.addTask("/bin/sh", {"-c", "echo second"});
    EXPECT_TRUE(q.isRunning());
    EXPECT_EQ(q.waitingCount(), 1);
    const QStringList head = texts().mid(0, 3);
    EXPECT_EQ(head, (QStringList{"Added task to queue [size=1] PATH=/bin/sh ARGS=-c|echo first; sleep 0.2; echo first done",
                                 "Removed task from queue [size=0]",
                                 "Added task to queue [size=1] PATH=/bin/sh ARGS=-c|echo second"}));

    ASSERT_TRUE(waitForCount("TASK FINISHED", 2)) << texts().join('\n').toStdString();

    // The second task starts only after the first one's finish.
    const qsizetype started1 = indexOf("TASK STARTED");
    const qsizetype first = indexOf("first", started1);
    const qsizetype firstDone = indexOf("first done", first + 1);
    const qsizetype finished1 = indexOf("TASK FINISHED");
    const qsizetype removed2 = indexOf("Removed task from queue [size=0]", finished1);
    const qsizetype started2 = indexOf("TASK STARTED", finished1);
    const qsizetype second = indexOf("second", started2 + 1);
    const qsizetype finished2 = indexOf("TASK FINISHED", finished1 + 1);
    EXPECT_GT(started1, 2);
    EXPECT_LT(started1, first);
    EXPECT_LT(first, firstDone);
    EXPECT_LT(firstDone, finished1);
    EXPECT_LT(finished1, removed2);
    EXPECT_LT(removed2, started2);
    EXPECT_LT(started2, second);
    EXPECT_LT(second, finished2);

    // The finish notice names the process id of the start notice.
    static const QRegularExpression startedRe("^TASK STARTED PID=(\\d+) PATH=/bin/sh ARGS=-c\\|echo second$");
    static const QRegularExpression finishedRe(
        "^TASK FINISHED PID=(\\d+) EXIT_CODE=0 STATUS=NormalExit PATH=/bin/sh ARGS=-c\\|echo second$");
    const auto s = startedRe.match(texts().at(started2));
    const auto f = finishedRe.match(texts().at(finished2));
    ASSERT_TRUE(s.hasMatch()) << texts().at(started2).toStdString();
    ASSERT_TRUE(f.hasMatch()) << texts().at(finished2).toStdString();
    EXPECT_GT(s.captured(1).toLongLong(), 0);
    EXPECT_EQ(s.captured(1), f.captured(1));

    // Finished processes are disposed of and the queue is idle again.
    EXPECT_FALSE(q.isRunning());
    EXPECT_TRUE(until([&] { return processObjects(q) == 0; }));
}

TEST_F(TaskQueueTest, OutputLinesAreTrimmedAndErrorOutputLoggedAsErrors)
{
    TaskQueue q;
    q.addTask("/bin/sh", {"-c", "printf 'a\\n\\n   b  \\n'; printf ' oops \\n' >&2; printf 'tail'"});
    ASSERT_TRUE(waitForCount("TASK FINISHED", 1));
    QStringList info;
    QStringList errors;
    for (const LoggerEventMsg& m : log.messages()) {
        if (m.text.startsWith("TASK") || m.text.contains("task"))
            continue;
        (m.level == ERROR ? errors : info) << m.text;
        EXPECT_TRUE(m.level == INFO || m.level == ERROR);
    }
    EXPECT_EQ(info, (QStringList{"a", "b", "tail"}));
    EXPECT_EQ(errors, QStringList{"oops"});
}

TEST_F(TaskQueueTest, ExitCodesAndEmptyArgumentLists)
{
    TaskQueue q;
    q.addTask("/bin/false");
    q.addTask("/bin/true", {});
    ASSERT_TRUE(waitForCount("TASK FINISHED", 2));
    EXPECT_TRUE(texts().contains("Added task to queue [size=1] PATH=/bin/false ARGS="));
    static const QRegularExpression falseRe("^TASK FINISHED PID=[1-9]\\d* EXIT_CODE=1 STATUS=NormalExit PATH=/bin/false ARGS=$");
    static const QRegularExpression trueRe("^TASK FINISHED PID=[1-9]\\d* EXIT_CODE=0 STATUS=NormalExit PATH=/bin/true ARGS=$");
    EXPECT_TRUE(texts().at(indexOf("TASK FINISHED")).contains(falseRe));
    EXPECT_TRUE(texts().at(indexOf("TASK FINISHED", indexOf("TASK FINISHED") + 1)).contains(trueRe));
}

TEST_F(TaskQueueTest, MissingProgramIsRefused)
{
    TaskQueue q;
    const QString missing = dir.filePath("no-such-program");
    q.addTask(missing, {"x"});
    EXPECT_EQ(log.texts("task_queue", ERROR), QStringList{"Program DNE: " + missing + ". Not added to the queue."});
    EXPECT_EQ(texts().size(), 1);
    EXPECT_FALSE(q.isRunning());
    EXPECT_EQ(q.waitingCount(), 0);
}

TEST_F(TaskQueueTest, ProgramsThatCannotStartCountAsFinished)
{
    const QString noExec = dir.write("script.sh", "#!/bin/sh\necho never\n");
    QFile::setPermissions(noExec, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString folder = dir.filePath("folder");
    ASSERT_TRUE(QDir().mkpath(folder));

    TaskQueue q;
    q.addTask(noExec, {"a", "b"});
    q.addTask(folder);
    q.addTask("/bin/echo", {"after"});
    ASSERT_TRUE(until([&] { return log.count("TASK FINISHED", "task_queue") == 1 && !q.isRunning(); }, 10000))
        << texts().join('\n').toStdString();

    const QRegularExpression noExecRe("^TASK ERROR=FailedToStart PID=\\d+ PATH=" +
                                      QRegularExpression::escape(noExec) + " ARGS=a\\|b$");
    const QRegularExpression folderRe("^TASK ERROR=FailedToStart PID=\\d+ PATH=" +
                                      QRegularExpression::escape(folder) + " ARGS=$");
    EXPECT_EQ(texts().indexOf(noExecRe), indexOf("TASK ERROR"));
    EXPECT_GT(texts().indexOf(folderRe), indexOf("TASK ERROR"));
    EXPECT_EQ(log.count("TASK ERROR", "task_queue"), 2);
    EXPECT_TRUE(texts().at(indexOf("TASK FINISHED")).endsWith("PATH=/bin/echo ARGS=after"));
    EXPECT_TRUE(texts().contains("after"));
    EXPECT_FALSE(texts().contains("never"));
    EXPECT_TRUE(until([&] { return processObjects(q) == 0; }));
}

TEST_F(TaskQueueTest, CrashIsReportedThenFinishedAndTheQueueMovesOn)
{
    TaskQueue q;
    q.addTask("/bin/sh", {"-c", "kill -KILL $$"});
    q.addTask("/bin/echo", {"next"});
    ASSERT_TRUE(waitForCount("TASK FINISHED", 2));
    const qsizetype error = indexOf("TASK ERROR=Crashed PID=");
    const qsizetype finished = indexOf("TASK FINISHED");
    ASSERT_GE(error, 0) << texts().join('\n').toStdString();
    EXPECT_LT(error, finished);
    EXPECT_TRUE(texts().at(error).endsWith(" PATH=/bin/sh ARGS=-c|kill -KILL $$"));
    EXPECT_TRUE(texts().at(finished).contains(" STATUS=CrashExit PATH=/bin/sh"));
    EXPECT_TRUE(texts().contains("next"));
}

TEST_F(TaskQueueTest, StopWithNothingRunningOnlyLogs)
{
    TaskQueue q;
    QElapsedTimer t;
    t.start();
    q.stopTasks();
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(texts(), (QStringList{"Stopping tasks...", "Removed 0 tasks from the queue"}));
}

TEST_F(TaskQueueTest, StopWaitsForTheRunningTaskAndDropsTheWaitingOnes)
{
    TaskQueue q;
    q.addTask("/bin/sh", {"-c", "sleep 0.3; echo done"});
    q.addTask("/bin/echo", {"dropped"});
    q.addTask("/bin/echo", {"dropped too"});
    ASSERT_TRUE(waitForCount("TASK STARTED", 1));

    log.clear();
    q.stopTasks();
    // The finish is handled inside the wait.
    const QStringList during = texts();
    ASSERT_GE(during.size(), 5) << during.join('\n').toStdString();
    EXPECT_EQ(during.mid(0, 3), (QStringList{"Stopping tasks...", "Removed 2 tasks from the queue",
                                             "Waiting 10s for active task to finish"}));
    EXPECT_TRUE(during.contains("done"));
    EXPECT_GT(indexOf("TASK FINISHED"), 2);
    EXPECT_FALSE(during.contains("Wait up...killing task"));
    // The process object outlives the wait that reported its finish, yet no
    // longer counts as the running task; the event loop disposes of it.
    EXPECT_FALSE(q.isRunning());
    EXPECT_EQ(processObjects(q), 1);

    TestWait::spin(100);
    EXPECT_FALSE(texts().contains("dropped"));
    EXPECT_EQ(indexOf("TASK STARTED"), -1);

    // The queue takes work again afterwards.
    q.addTask("/bin/echo", {"again"});
    EXPECT_TRUE(waitForCount("again", 1));
    EXPECT_TRUE(until([&] { return processObjects(q) == 0; }));
}

TEST_F(TaskQueueTest, StopKillsATaskThatOutlastsTheWait)
{
    TaskQueue q;
    q.addTask("/bin/sh", {"-c", "exec sleep 60"});
    ASSERT_TRUE(waitForCount("TASK STARTED", 1));
    QElapsedTimer t;
    t.start();
    q.stopTasks();
    const qint64 ms = t.elapsed();
    EXPECT_GE(ms, 9500);
    EXPECT_LT(ms, 20000);
    const qsizetype kill = indexOf("Wait up...killing task");
    ASSERT_GE(kill, 0);
    EXPECT_GT(indexOf("TASK FINISHED", kill), kill);
    EXPECT_TRUE(texts().at(indexOf("TASK FINISHED")).contains("STATUS=CrashExit"));
    EXPECT_FALSE(q.isRunning());
}

TEST_F(TaskQueueTest, DestroyingTheQueueStopsTheRunningTask)
{
    {
        TaskQueue q;
        q.addTask("/bin/sh", {"-c", "sleep 0.2; echo bye"});
        q.addTask("/bin/echo", {"never"});
        ASSERT_TRUE(waitForCount("TASK STARTED", 1));
    }
    const qsizetype stopping = indexOf("Stopping tasks...");
    ASSERT_GE(stopping, 0);
    EXPECT_EQ(texts().at(stopping + 1), "Removed 1 tasks from the queue");
    EXPECT_GT(indexOf("TASK FINISHED", stopping), stopping);
    EXPECT_TRUE(texts().contains("bye"));
    TestWait::spin(50);
    EXPECT_FALSE(texts().contains("never"));
}
