#include "tools/logger/consolewriter.h"
#include "tools/logger/loggerprotocol.h"
#include "support/eventwait.h"

#include <QElapsedTimer>
#include <QList>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

using TestWait::until;

namespace {

QByteArray numberedLine(int i)
{
    return QByteArray("line ") + QByteArray::number(i).rightJustified(5, '0') + ' ' + QByteArray(90, 'x') + '\n';
}

} // namespace

// A pipe nobody reads: writing never waits, the queue stays bounded, and once the
// pipe is read every line that came through is whole and in order, followed by
// the count of those dropped.
TEST(ConsoleWriter, NeverWaitsAndCountsWhatItDrops)
{
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    constexpr int lines = 10000;
    constexpr qsizetype bound = 64 * 1024;
    qint64 dropped = 0;
    {
        ConsoleWriter writer(p[1], QStringLiteral("pipe"));
        writer.setMaxQueuedBytes(bound);
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < lines; ++i)
            ASSERT_TRUE(writer.write(numberedLine(i)));
        EXPECT_LT(clock.elapsed(), 2000) << "no write waited for the reader";
        EXPECT_LE(writer.queuedBytes(), bound);
        dropped = writer.droppedLines();
        EXPECT_GT(dropped, 0);

        QByteArray seen;
        ::fcntl(p[0], F_SETFL, O_NONBLOCK);
        ASSERT_TRUE(until([&] {
            char buf[65536];
            ssize_t n;
            while ((n = ::read(p[0], buf, sizeof buf)) > 0)
                seen.append(buf, n);
            return seen.contains("it was not read fast enough");
        }, 5000));
        QList<QByteArray> got = seen.split('\n');
        ASSERT_TRUE(got.last().isEmpty()) << "every line ended";
        got.removeLast();
        const LoggerEvent notice(got.takeLast());
        EXPECT_EQ(notice.text, QStringLiteral("dropped %1 lines to pipe: it was not read fast enough").arg(dropped));
        EXPECT_EQ(notice.level, WARN);
        int last = -1;
        for (const QByteArray& line : got) {
            ASSERT_EQ(line.size() + 1, numberedLine(0).size()) << line.toStdString();
            const int i = line.mid(5, 5).toInt();
            EXPECT_GT(i, last);
            last = i;
        }
        EXPECT_EQ(got.size() + dropped, lines);
        EXPECT_EQ(writer.droppedLines(), 0);
    }
    ::close(p[0]);
    ::close(p[1]);
}

// A reader that went away fails the writer, which says why; nothing is queued for it.
TEST(ConsoleWriter, AGoneReaderFailsTheWriter)
{
    ::signal(SIGPIPE, SIG_IGN);
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ::close(p[0]);
    ConsoleWriter writer(p[1], QStringLiteral("pipe"));
    EXPECT_FALSE(writer.write("a line\n"));
    EXPECT_TRUE(writer.failed());
    EXPECT_FALSE(writer.errorString().isEmpty());
    EXPECT_EQ(writer.queuedBytes(), 0);
    EXPECT_FALSE(writer.write("another\n"));
    ::close(p[1]);
}
