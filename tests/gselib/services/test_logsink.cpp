#include "gselib/services/logclient.h"
#include "gselib/services/logserver.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "support/streamcapture.h"

#include <QDateTime>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QStringList>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using TestSupport::ScopedEnv;
using TestSupport::TempDir;
using TestWait::readFile;
using TestWait::until;

namespace {

// Every test gets its own socket folder and home.
struct SinkFixture : ::testing::Test
{
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().toLocal8Bit()};
    ScopedEnv home{"HOME", dir.path().toLocal8Bit()};
    QString logFile = dir.filePath("events.log");
    QStringList serverErrors;
    QStringList clientMessages;

    std::unique_ptr<LogServer> startServer(const QString& name = QStringLiteral("logger"))
    {
        auto server = std::make_unique<LogServer>(name, logFile);
        QObject::connect(server.get(), &LogServer::sigErrorMessage,
                         [this](const QString& m) { serverErrors << m; });
        return server;
    }

    std::unique_ptr<LogClient> startClient(const QString& name = QStringLiteral("logger"))
    {
        auto client = std::make_unique<LogClient>(name);
        QObject::connect(client.get(), &LogClient::sigErrorMessage,
                         [this](const QString& m) { clientMessages << m; });
        return client;
    }

    bool fileIs(const QByteArray& expected, int timeoutMs = 5000)
    {
        return until([&] { return readFile(logFile) == expected; }, timeoutMs);
    }
};

QDateTime parseStamp(const QString& stamp)
{
    // Two-digit years parse into the 1900s.
    return QDateTime::fromString(stamp, QStringLiteral("MM-dd-yy hh:mm:ss:zzz")).addYears(100);
}

} // namespace

TEST_F(SinkFixture, ClientLineReachesTheFileWithItsLocalTimeStamp)
{
    auto server = startServer();
    ASSERT_TRUE(server->isListening());
    auto client = startClient();
    ASSERT_TRUE(until([&] { return clientMessages.contains("Info: LogClient connected."); }));

    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    client->write(QString::fromUtf8("hello w\xc3\xb6rld"));
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith('\n'); }));

    const QString line = QString::fromLocal8Bit(readFile(logFile));
    static const QRegularExpression format(
        QStringLiteral("^(\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d\\d\\d) hello w\u00f6rld\n$"));
    const auto match = format.match(line);
    ASSERT_TRUE(match.hasMatch()) << line.toStdString();
    const QDateTime stamp = parseStamp(match.captured(1));
    EXPECT_LE(before, stamp);
    EXPECT_GE(after, stamp);
    EXPECT_EQ(LogClient::getDateTime().size(), 22);
    EXPECT_TRUE(serverErrors.isEmpty()) << serverErrors.join('|').toStdString();
}

TEST_F(SinkFixture, ServerStoresBytesAsTheyComeAndClearsOnCommand)
{
    auto server = startServer();
    QLocalSocket raw;
    raw.connectToServer(server->fullServerName());
    ASSERT_TRUE(raw.waitForConnected(2000));

    raw.write("no stamp, no line end");
    ASSERT_TRUE(fileIs("no stamp, no line end"));
    raw.write("\nline 2\n");
    ASSERT_TRUE(fileIs("no stamp, no line end\nline 2\n"));

    // Whatever precedes the last command goes, whatever follows it in the chunk stays.
    raw.write("junk CMD_CLEAR_LOG more junk CMD_CLEAR_LOGafter 1\nafter 2\n");
    EXPECT_TRUE(fileIs("after 1\nafter 2\n")) << readFile(logFile).toStdString();

    raw.write("text before the command CMD_CLEAR_LOG");
    EXPECT_TRUE(fileIs(""));
    raw.write("next\n");
    EXPECT_TRUE(fileIs("next\n"));
    EXPECT_TRUE(serverErrors.isEmpty()) << serverErrors.join('|').toStdString();
}

TEST_F(SinkFixture, ClientClearThenWriteLeavesOnlyTheNewLine)
{
    auto server = startServer();
    auto client = startClient();
    ASSERT_TRUE(until([&] { return client->isConnected(); }));
    client->write("one");
    client->write("two");
    ASSERT_TRUE(until([&] { return readFile(logFile).count('\n') == 2; }));

    // Both go out before the server reads; they may well arrive as one chunk.
    client->clearFile();
    client->write("three");
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" three\n"); }));
    const QByteArray content = readFile(logFile);
    EXPECT_EQ(content.count('\n'), 1) << content.toStdString();
    EXPECT_FALSE(content.contains("one"));
    EXPECT_FALSE(content.contains("CMD_CLEAR_LOG"));
}

TEST_F(SinkFixture, SecondClientReplacesTheFirstWhoseLaterCloseLeavesTheFileOpen)
{
    auto server = startServer();
    auto first = startClient();
    ASSERT_TRUE(until([&] { return first->isConnected(); }));
    first->write("a1");
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" a1\n"); }));

    auto second = startClient();
    ASSERT_TRUE(until([&] { return second->isConnected(); }));
    ASSERT_TRUE(fileIs("")) << "a new connection truncates the file";
    second->write("b1");
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" b1\n"); }));

    // The replaced client still talks and then goes away; neither may touch the file.
    first->write("a2");
    TestWait::spin(100);
    first.reset();
    TestWait::spin(300);
    second->write("b2");
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" b2\n"); }))
        << readFile(logFile).toStdString() << serverErrors.join('|').toStdString();

    const QByteArray content = readFile(logFile);
    EXPECT_EQ(content.count('\n'), 2);
    EXPECT_FALSE(content.contains("a2"));
    EXPECT_TRUE(serverErrors.isEmpty()) << serverErrors.join('|').toStdString();

    // When the current client goes, its file is closed: a direct write is refused.
    // (An empty write into an open file is silent, so it probes without changing it.)
    second.reset();
    ASSERT_TRUE(until([&] {
        server->writeFile(QByteArray());
        return !serverErrors.isEmpty();
    }));
    EXPECT_EQ(serverErrors.first(), "Error: LogServer file is not open!");
    EXPECT_EQ(readFile(logFile).count('\n'), 2);
}

TEST_F(SinkFixture, StaleSocketNameOfADeadProcessIsTakenOver)
{
    // A socket file whose owner is gone: bound, never listened on, closed.
    const QByteArray path = QDir(dir.path()).filePath("logger").toLocal8Bit();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(static_cast<size_t>(path.size()), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
    {
        QLocalServer plain;
        ASSERT_FALSE(plain.listen("logger")) << "the stale name must block a plain listen";
    }

    auto server = startServer();
    ASSERT_TRUE(server->isListening());
    auto client = startClient();
    ASSERT_TRUE(until([&] { return client->isConnected(); }));
    client->write("alive");
    EXPECT_TRUE(until([&] { return readFile(logFile).endsWith(" alive\n"); }));
}

TEST_F(SinkFixture, ClientWithoutServerLosesLinesAndConnectsOnALaterWrite)
{
    auto client = startClient();
    TestWait::spin(20);
    EXPECT_FALSE(client->isConnected());
    client->write("lost");
    client->clearFile();
    client->connectLogServer();
    EXPECT_FALSE(client->isConnected());

    auto server = startServer();
    ASSERT_TRUE(server->isListening());
    client->write("found");
    EXPECT_TRUE(client->isConnected());
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" found\n"); }));
    EXPECT_EQ(readFile(logFile).count('\n'), 1);
    EXPECT_TRUE(until([&] { return clientMessages.contains("Info: LogClient connected."); }));
}

TEST_F(SinkFixture, WritesWithoutAnOpenFileAreReported)
{
    auto server = startServer();
    server->closeFile();
    server->procDisconnect();
    server->clearFile();
    server->writeFile(QByteArray("x"));
    server->writeFile(QStringLiteral("y"));
    EXPECT_EQ(serverErrors, (QStringList{"Error: LogServer file is not open!", "Error: LogServer file is not open!"}));

    // A file that cannot be created counts as not open.
    serverErrors.clear();
    LogServer elsewhere("logger2", dir.filePath("no/such/folder/events.log"));
    QObject::connect(&elsewhere, &LogServer::sigErrorMessage, [this](const QString& m) { serverErrors << m; });
    elsewhere.openFile();
    elsewhere.writeFile(QByteArray("x"));
    EXPECT_EQ(serverErrors, QStringList{"Error: LogServer file is not open!"});

    serverErrors.clear();
    server->openFile();
    server->writeFile(QStringLiteral("text"));
    server->closeFile();
    EXPECT_EQ(readFile(logFile), "text");
    EXPECT_TRUE(serverErrors.isEmpty());
}

namespace {

constexpr int FLOOD_LINES = 5000; // 5 MiB, far more than a local socket buffers

QString floodLine(int i)
{
    return QStringLiteral("flood %1 ").arg(i, 5, 10, QLatin1Char('0')) + QString(1000, QLatin1Char('y'));
}

// The flood lines of the file in the order they stand; each must be whole.
QList<int> floodIndices(const QByteArray& file)
{
    QList<int> out;
    for (const QByteArray& line : file.split('\n')) {
        const qsizetype at = line.indexOf(" flood ");
        if (at < 0)
            continue;
        const int i = line.mid(at + 7, 5).toInt();
        EXPECT_EQ(line.mid(at + 1), floodLine(i).toLatin1()) << "a line arrived damaged";
        out << i;
    }
    return out;
}

// Writes the flood while nobody turns the event loop, so the server (on this
// thread too) reads none of it; the unsent bytes must stay bounded.
void floodStalled(LogClient& client, qint64 bound)
{
    qint64 most = 0;
    for (int i = 0; i < FLOOD_LINES; ++i) {
        client.write(floodLine(i));
        most = std::max(most, client.unsentBytes());
    }
    EXPECT_LE(most, bound + 1100);
}

} // namespace

TEST_F(SinkFixture, StalledServerCostsTheClientABoundedQueueAndTheDropIsTold)
{
    auto server = startServer();
    auto client = startClient();
    ASSERT_TRUE(until([&] { return client->isConnected(); }));
    client->setSendLimits(64 * 1024, 16 * 1024);
    floodStalled(*client, 64 * 1024);
    ASSERT_GT(client->droppedLines(), 0);

    // The server reads again; each time the queue empties the client tells its count.
    ASSERT_TRUE(until([&] { return client->droppedLines() == 0 && readFile(logFile).contains(floodLine(FLOOD_LINES - 1).toLatin1()); },
                      20000));
    qint64 dropped = 0;
    for (const QString& m : clientMessages) {
        const auto r = QRegularExpression(QStringLiteral("^Warning: LogClient dropped (\\d+) lines while the server was not reading.$")).match(m);
        dropped += r.hasMatch() ? r.captured(1).toLongLong() : 0;
    }
    const QList<int> got = floodIndices(readFile(logFile));
    EXPECT_EQ(got.size() + dropped, FLOOD_LINES);
    EXPECT_EQ(got.first(), 0);
    EXPECT_EQ(got.last(), FLOOD_LINES - 1) << "the oldest are dropped, not the newest";
    for (int i = 1; i < got.size(); ++i)
        ASSERT_LT(got[i - 1], got[i]);
    EXPECT_EQ(client->droppedLines(), 0);

    // The clear command, asked while lines wait, is never the one dropped.
    floodStalled(*client, 64 * 1024);
    client->clearFile();
    client->write("after the clear");
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" after the clear\n"); }, 20000));
    EXPECT_TRUE(floodIndices(readFile(logFile)).isEmpty()) << readFile(logFile).left(200).toStdString();
}

TEST_F(SinkFixture, ClosingClientSendsWhatItCanAndCountsTheRestOnStandardError)
{
    auto server = startServer();
    auto client = startClient();
    ASSERT_TRUE(until([&] { return client->isConnected(); }));
    // A last line written just before the end still arrives.
    client->write("last words");
    client.reset();
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" last words\n"); }));

    client = startClient();
    ASSERT_TRUE(until([&] { return client->isConnected(); }));
    client->setSendLimits(64 * 1024, 16 * 1024);
    floodStalled(*client, 64 * 1024);
    TestSupport::StreamCapture err(std::cerr);
    client.reset(); // the server cannot read while the client waits for it
    const auto m = QRegularExpression(QStringLiteral("^LogClient: (\\d+) lines not sent to logger\n$"))
                       .match(QString::fromStdString(err.text()));
    ASSERT_TRUE(m.hasMatch()) << err.text();
    ASSERT_TRUE(until([&] { return floodIndices(readFile(logFile)).size() + m.captured(1).toInt() == FLOOD_LINES; },
                      20000))
        << floodIndices(readFile(logFile)).size() << " + " << m.captured(1).toStdString();
}
