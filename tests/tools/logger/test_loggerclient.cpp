#include "tools/logger/loggerclient.h"
#include "tools/logger/log.h"
#include "support/logcapture.h"
#include "support/eventwait.h"
#include "support/streamcapture.h"
#include "loggertestutil.h"
#include "tools/logger/loggerserver.h"
#include "support/tempdir.h"

#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using LoggerTest::LineServer;
using TestSupport::StreamCapture;
using TestWait::until;

namespace {

LoggerEventMsg testMsg(LogLevel level, const QString& text)
{
    return LoggerEventMsg(QStringLiteral("test"), QStringLiteral("test.cpp"), 7, level, text);
}

QStringList texts(const QList<QByteArray>& lines)
{
    QStringList out;
    for (const QByteArray& l : lines)
        out << LoggerEventMsg(l).text;
    return out;
}

// A port on 127.0.0.1 where nothing listens.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

LoggerConfig serverConfig(quint16 port)
{
    LoggerConfig c;
    c.serverPort = port;
    return c;
}

} // namespace

TEST(LoggerConfig, PresetsAndLevelFilter)
{
    const LoggerConfig d;
    EXPECT_TRUE(d.useServer);
    EXPECT_EQ(d.serverAddress, QHostAddress(QStringLiteral("127.0.0.1")));
    EXPECT_EQ(d.serverPort, 4401);
    EXPECT_EQ(d.level, INFO);
    EXPECT_FALSE(d.stdOut);
    EXPECT_FALSE(d.stdErr);
    EXPECT_TRUE(d.timestamps);

    const LoggerConfig n = LoggerConfig::noLogging();
    EXPECT_FALSE(n.useServer);
    EXPECT_TRUE(n.serverAddress.isNull());
    EXPECT_EQ(n.serverPort, 0);
    EXPECT_EQ(n.level, INFO);
    EXPECT_FALSE(n.stdOut || n.stdErr || n.timestamps);

    const LoggerConfig o = LoggerConfig::stdOutOnly();
    EXPECT_FALSE(o.useServer);
    EXPECT_TRUE(o.serverAddress.isNull());
    EXPECT_TRUE(o.stdOut);
    EXPECT_FALSE(o.stdErr);
    EXPECT_TRUE(o.timestamps);

    LoggerConfig changed = LoggerConfig::noLogging();
    changed.setDefaultValues();
    EXPECT_TRUE(changed.useServer);
    EXPECT_EQ(changed.serverPort, 4401);

    LoggerConfig w;
    w.level = WARN;
    EXPECT_FALSE(w.passesLogLevelFilter(INFO));
    EXPECT_TRUE(w.passesLogLevelFilter(WARN));
    EXPECT_TRUE(w.passesLogLevelFilter(ERROR));
    EXPECT_TRUE(w.passesLogLevelFilter(LOG_CMD));
}

TEST(LoggerClientMsgSender, BacklogKeepsNewest50AndFollowsInitClient)
{
    LineServer server;
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(server.port()));
    for (int i = 0; i < 60; ++i)
        sender.sendMessage(testMsg(INFO, QStringLiteral("m%1").arg(i)));
    ASSERT_EQ(sender.backlog().size(), 50);
    EXPECT_EQ(sender.backlog().first().text, "m10");
    EXPECT_EQ(sender.backlog().last().text, "m59");
    EXPECT_EQ(sender.droppedMessages(), 10) << "what the backlog pushed out is counted";
    EXPECT_EQ(server.connectionCount(), 0);

    sender.start();
    // The client's own lines about connecting are not kept: they would push
    // the producers' messages out.
    EXPECT_EQ(sender.backlog().first().text, "m10");
    // INIT_CLIENT, the count of what was dropped, the 50 kept messages, then the
    // client's own "state change to ConnectedState".
    ASSERT_TRUE(until([&] { return server.connectionCount() == 1 && server.lines(0).size() >= 53; }));
    const QList<QByteArray>& lines = server.lines(0);
    const LoggerEventMsg first(lines.first());
    EXPECT_EQ(first.level, LOG_CMD);
    EXPECT_EQ(first.text, "INIT_CLIENT-=-myapp-=-42");
    EXPECT_EQ(first.line, -1);
    const LoggerEventMsg report(lines[1]);
    EXPECT_EQ(report.text, "dropped 10 messages while the logging server was not reading");
    EXPECT_EQ(report.level, WARN);
    EXPECT_EQ(report.component, "logger");
    const QStringList kept = texts(lines.mid(2, 50));
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(kept.value(i), QStringLiteral("m%1").arg(10 + i));
    EXPECT_EQ(LoggerEventMsg(lines[52]).text, "state change to ConnectedState");
    EXPECT_TRUE(sender.backlog().isEmpty());
    EXPECT_EQ(sender.droppedMessages(), 0);

    // Once connected, messages go out directly.
    sender.sendMessage(testMsg(DEBUG, QStringLiteral("direct")));
    ASSERT_TRUE(until([&] { return server.lines(0).size() >= 54; }));
    EXPECT_EQ(LoggerEventMsg(server.lines(0).last()).text, "direct");
    EXPECT_EQ(LoggerEventMsg(server.lines(0).last()).level, DEBUG);
    EXPECT_TRUE(sender.backlog().isEmpty());
}

TEST(LoggerClientMsgSender, LevelFiltersOnlyTheEcho)
{
    LineServer server;
    LoggerConfig cfg = serverConfig(server.port());
    cfg.level = WARN;
    cfg.stdErr = true;
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, cfg);
    StreamCapture err(std::cerr);
    sender.start();
    ASSERT_TRUE(until([&] { return sender.socketState() == QAbstractSocket::ConnectedState; }));
    sender.sendMessage(testMsg(INFO, QStringLiteral("quiet info")));
    sender.sendMessage(testMsg(ERROR, QStringLiteral("loud error")));
    ASSERT_TRUE(until([&] {
        return server.connectionCount() == 1 && texts(server.lines(0)).contains("loud error");
    }));
    EXPECT_TRUE(texts(server.lines(0)).contains("quiet info")) << "the server gets every level";

    const QStringList echoed = err.lines();
    ASSERT_EQ(echoed.size(), 1) << err.text();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\]\\[ERROR\\] loud error$"))
                    .match(echoed.first())
                    .hasMatch())
        << echoed.first().toStdString();
}

TEST(LoggerClientMsgSender, EchoFormsWithoutServer)
{
    LoggerConfig cfg = LoggerConfig::stdOutOnly();
    cfg.timestamps = false;
    cfg.stdErr = true;
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, cfg);
    {
        StreamCapture out(std::cout);
        StreamCapture err(std::cerr);
        sender.sendMessage(testMsg(WARN, QStringLiteral("disk\nlow")));
        sender.sendMessage(testMsg(DEBUG, QStringLiteral("below the level")));
        // A zero character ends what is written.
        sender.sendMessage(testMsg(INFO, QStringLiteral("cut") + QChar(0) + QStringLiteral("away")));
        EXPECT_EQ(out.text(), "[WARN] disklow\n[INFO] cut\n");
        EXPECT_EQ(err.text(), out.text());
    }
    // Without a server nothing is kept.
    EXPECT_TRUE(sender.backlog().isEmpty());

    LoggerClientMsgSender silent(QStringLiteral("myapp"), 42, LoggerConfig::noLogging());
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    silent.sendMessage(testMsg(FATAL, QStringLiteral("nobody hears this")));
    silent.start();
    EXPECT_TRUE(silent.backlog().isEmpty());
    EXPECT_EQ(silent.socketState(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
}

TEST(LoggerClientMsgSender, RefusedConnectionRetriesFiveTimesThenStops)
{
    LoggerConfig cfg = serverConfig(closedPort());
    cfg.stdErr = true;
    cfg.level = DEBUG;
    cfg.timestamps = false;
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, cfg);
    EXPECT_EQ(sender.retryIntervalMs(), 1000);
    sender.setRetryIntervalMs(40);
    StreamCapture err(std::cerr);
    sender.start();
    ASSERT_TRUE(until([&] { return err.lines().count("[DEBUG] failed to launch") == 6; }, 10000)) << err.text();
    TestWait::spin(400); // well past another interval: no seventh attempt
    const QStringList lines = err.lines();
    EXPECT_EQ(lines.count("[DEBUG] connecting to server..."), 6);
    EXPECT_EQ(lines.count("[DEBUG] socket error: ConnectionRefusedError"), 6);
    EXPECT_EQ(lines.count("[DEBUG] connection failed...launching logger server"), 6);
    EXPECT_EQ(lines.count("[DEBUG] failed to launch"), 6);
    EXPECT_EQ(lines.count("[DEBUG] successfully launched"), 0);
    EXPECT_EQ(sender.retryCount(), 5);
    EXPECT_EQ(sender.socketState(), QAbstractSocket::UnconnectedState);
    // The order of one attempt.
    const qsizetype e = lines.indexOf("[DEBUG] socket error: ConnectionRefusedError");
    ASSERT_GE(e, 1);
    EXPECT_EQ(lines[e + 1], "[DEBUG] connection failed...launching logger server");
    EXPECT_EQ(lines[e + 2], "[DEBUG] failed to launch");

    // Later messages wait in the backlog.
    sender.sendMessage(testMsg(INFO, QStringLiteral("kept")));
    EXPECT_EQ(sender.backlog().last().text, "kept");
}

TEST(LoggerClientMsgSender, ServerAppearingDuringRetriesGetsTheBacklog)
{
    const quint16 port = closedPort();
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(port));
    sender.setRetryIntervalMs(100);
    sender.sendMessage(testMsg(INFO, QStringLiteral("early")));
    sender.start();
    ASSERT_TRUE(until([&] { return sender.retryCount() >= 1; }));

    sender.setConfirmMs(200);
    LineServer server(port);
    ASSERT_EQ(server.port(), port);
    ASSERT_TRUE(until([&] { return server.connectionCount() == 1 && server.lines(0).size() >= 3; }));
    EXPECT_GE(sender.retryCount(), 1) << "a connection ends the retries only once it has lasted";
    ASSERT_TRUE(until([&] { return sender.retryCount() == 0; }));
    const QStringList got = texts(server.lines(0));
    // The refusals were echoed, not kept: the backlog holds only what producers sent.
    EXPECT_EQ(got.mid(0, 3), (QStringList{"INIT_CLIENT-=-myapp-=-42", "early", "state change to ConnectedState"}));
    EXPECT_FALSE(got.contains("socket error: ConnectionRefusedError"));
}

TEST(LoggerClientMsgSender, RemoteCloseReconnects)
{
    LineServer server;
    server.setCloseOnAccept(true);
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(server.port()));
    sender.setRetryIntervalMs(50);
    sender.setConfirmMs(200);
    sender.start();
    ASSERT_TRUE(until([&] { return server.connectionCount() == 1; }));
    server.setCloseOnAccept(false);
    ASSERT_TRUE(until([&] { return server.connectionCount() == 2 && !server.lines(1).isEmpty(); }));
    EXPECT_EQ(LoggerEventMsg(server.lines(1).first()).text, "INIT_CLIENT-=-myapp-=-42");
    sender.sendMessage(testMsg(INFO, QStringLiteral("after reconnect")));
    ASSERT_TRUE(until([&] { return texts(server.lines(1)).contains("after reconnect"); }));
    EXPECT_EQ(sender.retryCount(), 1) << "the closed connection was a failed attempt";
    ASSERT_TRUE(until([&] { return sender.retryCount() == 0; }));
}

TEST(LoggerClientMsgSender, OtherErrorsNeitherLaunchNorRetry)
{
    LoggerConfig cfg = serverConfig(closedPort());
    cfg.stdErr = true;
    cfg.level = DEBUG;
    cfg.timestamps = false;
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, cfg);
    StreamCapture err(std::cerr);
    sender.handleSocketError(QAbstractSocket::SocketTimeoutError);
    TestWait::spin(50);
    EXPECT_EQ(err.lines(), QStringList{"[DEBUG] socket error: SocketTimeoutError"});
    EXPECT_TRUE(sender.backlog().isEmpty()) << "the client's own lines are echoed, not kept";
    EXPECT_EQ(sender.retryCount(), 0);
    EXPECT_EQ(sender.socketState(), QAbstractSocket::UnconnectedState);
}

TEST(Logger, InitializeOnceAndLogsIt)
{
    ASSERT_EQ(Logger::global, nullptr);
    Logger::initialize(nullptr, LoggerConfig::noLogging());
    EXPECT_EQ(Logger::global, nullptr);

    TestSupport::LogCapture capture;
    Logger::initialize(QCoreApplication::instance(), LoggerConfig::noLogging());
    ASSERT_NE(Logger::global, nullptr);
    Logger* first = Logger::global;
    EXPECT_EQ(first->parent(), QCoreApplication::instance());
    EXPECT_TRUE(first->loggerThread()->isRunning());
    EXPECT_TRUE(capture.contains("initialized global logger", "logger", DEBUG));
    Logger::initialize(QCoreApplication::instance(), LoggerConfig());
    EXPECT_EQ(Logger::global, first);
    EXPECT_TRUE(capture.contains("attempted to initialize logger twice", "logger", DEBUG));
    EXPECT_FALSE(Logger::global->config().useServer) << "the first logger is kept";

    // Stopping (as at application quit) ends the thread, and the client goes with it.
    QPointer<LoggerClientMsgSender> client = first->client();
    ASSERT_FALSE(client.isNull());
    first->stop();
    EXPECT_FALSE(first->loggerThread()->isRunning());
    EXPECT_TRUE(client.isNull());
    EXPECT_EQ(Logger::global, first) << "stopping does not unset the logger";
    delete Logger::global;
    EXPECT_EQ(Logger::global, nullptr);
}

TEST(Logger, UnusedMessagesAreDroppedAtTheLogSite)
{
    int built = 0;
    auto count = [&built] { return ++built; };

    Logger::initialize(QCoreApplication::instance(), LoggerConfig::noLogging());
    ASSERT_NE(Logger::global, nullptr);
    LOG_ERROR("test", "never built " << count());
    EXPECT_EQ(built, 0);
    EXPECT_FALSE(Log::enabled(FATAL));
    delete Logger::global;

    StreamCapture out(std::cout);
    Logger::initialize(QCoreApplication::instance(), LoggerConfig::stdOutOnly());
    ASSERT_NE(Logger::global, nullptr);
    LOG_DEBUG("test", "below the echo level " << count());
    EXPECT_EQ(built, 0);
    LOG_INFO("test", "shown " << count());
    EXPECT_EQ(built, 1);
    delete Logger::global; // joins the logger thread, so the echo is complete
    EXPECT_EQ(Logger::global, nullptr);
    const QStringList lines = out.lines();
    ASSERT_EQ(lines.size(), 1) << out.text();
    EXPECT_TRUE(lines.first().endsWith("[INFO] shown 1"));

    // Without a logger, messages go to standard error again.
    EXPECT_TRUE(Log::enabled(DEBUG));
}

TEST(Logger, FloorWritesWhatASilentLoggerDropsToStandardError)
{
    int built = 0;
    auto count = [&built] { return ++built; };
    Logger::initialize(QCoreApplication::instance(), LoggerConfig::noLogging());
    ASSERT_NE(Logger::global, nullptr);
    Log::setStandardErrorFloor(WARN);
    QStringList lines;
    {
        TestSupport::StderrCapture err;
        LOG_INFO("test", "below the floor " << count());
        LOG_DEBUG("test", "below the floor " << count());
        LOG_WARN("test", "at the floor " << count());
        LOG_ERROR("test", "above it " << count());
        // Written at the log site, not later by the logger's thread.
        lines = err.text().split('\n', Qt::SkipEmptyParts);
    }
    EXPECT_EQ(built, 2);
    ASSERT_EQ(lines.size(), 2);
    const QRegularExpression form("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\]\\[(WARN|ERROR)\\] ");
    EXPECT_TRUE(form.match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith("[WARN] at the floor 1"));
    EXPECT_TRUE(lines[1].endsWith("[ERROR] above it 2"));

    // Unset, the silent logger drops them at the log site again.
    Log::setStandardErrorFloor(std::nullopt);
    LOG_ERROR("test", "dropped " << count());
    EXPECT_EQ(built, 2);
    delete Logger::global;
}

TEST(Logger, DeliversFromAnyThreadAndFlushesOnShutdown)
{
    LineServer server;
    Logger::initialize(QCoreApplication::instance(), serverConfig(server.port()));
    ASSERT_NE(Logger::global, nullptr);
    EXPECT_TRUE(Log::enabled(DEBUG)) << "a server gets every level";

    LOG_INFO("test", "from main " << 1);
    std::thread producer([] { LOG_WARN("test", "from another thread"); });
    producer.join();
    ASSERT_TRUE(until([&] {
        return server.connectionCount() == 1 && texts(server.lines(0)).contains("from another thread");
    }));
    const QList<QByteArray>& lines = server.lines(0);
    const LoggerCmdInitClientMsg init{LoggerEventMsg(lines.first())};
    EXPECT_EQ(init.cmd(), "INIT_CLIENT");
    EXPECT_EQ(init.name, QCoreApplication::applicationName());
    EXPECT_EQ(init.pid, QCoreApplication::applicationPid());
    const QStringList got = texts(lines);
    EXPECT_TRUE(got.contains("initialized global logger"));
    EXPECT_TRUE(got.contains("from main 1"));

    Logger::changeServerFileDest(QStringLiteral("/tmp/some file.txt"));
    ASSERT_TRUE(until([&] { return texts(server.lines(0)).contains("CHANGE_MAIN_FILE-=-main_file-=-/tmp/some file.txt"); }));

    const int before = static_cast<int>(server.lines(0).size());
    for (int i = 0; i < 300; ++i)
        LOG_INFO("test", "burst " << i);
    delete Logger::global; // nothing queued may be lost
    ASSERT_TRUE(until([&] { return server.lines(0).size() >= before + 300; }));
    const QStringList all = texts(server.lines(0));
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(all[before + i], QStringLiteral("burst %1").arg(i));
}

namespace {

// Messages of 4 KiB: a few thousand fill what the system buffers on loopback.
LoggerEventMsg bigMsg(int i)
{
    return testMsg(INFO, QStringLiteral("big %1 ").arg(i, 5, 10, QLatin1Char('0')) + QString(4096, QLatin1Char('x')));
}

// The indices of the big messages among a connection's lines, in the order they came.
QList<int> bigIndices(const QList<QByteArray>& lines)
{
    QList<int> out;
    for (const QByteArray& l : lines) {
        const LoggerEventMsg m(l);
        if (m.text.startsWith("big ")) {
            EXPECT_EQ(m.text, bigMsg(m.text.mid(4, 5).toInt()).text) << "a message arrived damaged";
            out << m.text.mid(4, 5).toInt();
        }
    }
    return out;
}

// The sum of the counts of dropped messages the client told the server.
qint64 droppedTold(const QList<QByteArray>& lines)
{
    static const QRegularExpression told(
        QStringLiteral("^dropped (\\d+) messages while the logging server was not reading$"));
    qint64 n = 0;
    for (const QByteArray& l : lines) {
        const LoggerEventMsg m(l);
        const auto r = told.match(m.text);
        if (r.hasMatch()) {
            EXPECT_EQ(m.level, WARN);
            EXPECT_EQ(m.component, "logger");
            n += r.captured(1).toLongLong();
        }
    }
    return n;
}

// Sends count big messages while nobody turns the event loop, so the server,
// on this thread too, reads none of them; the unsent bytes must stay bounded.
void floodStalled(LoggerClientMsgSender& sender, int count, qint64 bound)
{
    qint64 most = 0;
    for (int i = 0; i < count; ++i) {
        sender.sendMessage(bigMsg(i));
        most = std::max(most, sender.unsentBytes());
    }
    EXPECT_LE(most, bound + bigMsg(0).toEncoded().size());
}

constexpr int FLOOD = 5000; // 20 MiB, more than loopback buffers

} // namespace

TEST(LoggerClientMsgSender, ServerThatStopsReadingCostsABoundedQueueAndHearsWhatWasDropped)
{
    LineServer server;
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(server.port()));
    EXPECT_EQ(SendQueue::DEFAULT_MAX_UNSENT_BYTES, 4 * 1024 * 1024);
    sender.setSendLimits(64 * 1024, 16 * 1024);
    sender.start();
    ASSERT_TRUE(until([&] { return sender.socketState() == QAbstractSocket::ConnectedState; }));

    floodStalled(sender, FLOOD, 64 * 1024);
    ASSERT_GT(sender.droppedMessages(), 0);

    // The server reads again: the queue drains and a count follows the messages
    // (one for each time the system took bytes again and the queue emptied).
    auto newestArrived = [&] {
        const QList<QByteArray>& l = server.lines(0);
        return std::any_of(l.end() - std::min<qsizetype>(l.size(), 3), l.end(),
                           [](const QByteArray& b) { return b.contains("big 04999 "); });
    };
    ASSERT_TRUE(until([&] { return sender.droppedMessages() == 0 && newestArrived(); }, 20000));
    ASSERT_TRUE(until([&] { return LoggerEventMsg(server.lines(0).last()).text.startsWith("dropped "); }));
    const qint64 dropped = droppedTold(server.lines(0));
    const QList<int> got = bigIndices(server.lines(0)); // each arrived whole
    EXPECT_EQ(got.size() + dropped, FLOOD);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end())) << "in order";
    EXPECT_EQ(got.last(), FLOOD - 1) << "the oldest are dropped, not the newest";
    EXPECT_EQ(got.first(), 0);

    // Once drained, messages go out directly again.
    sender.sendMessage(testMsg(INFO, QStringLiteral("after the flood")));
    ASSERT_TRUE(until([&] { return texts(server.lines(0)).contains("after the flood"); }));
}

TEST(LoggerClientMsgSender, SmallBoundsDropNothingTheSystemTakes)
{
    LineServer server;
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(server.port()));
    sender.setSendLimits(8 * 1024, 1024);
    sender.start();
    ASSERT_TRUE(until([&] { return sender.socketState() == QAbstractSocket::ConnectedState; }));
    const int before = static_cast<int>(server.lines(0).size());
    QList<QByteArray> sent;
    // About 300 KiB: what loopback buffers for a peer that has not read yet.
    for (int i = 0; i < 5000; ++i) {
        const LoggerEventMsg m = testMsg(i % 3 ? INFO : ERROR, QStringLiteral("burst %1 *=-! é").arg(i));
        sender.sendMessage(m);
        sent << m.toEncoded().chopped(1);
    }
    EXPECT_EQ(sender.droppedMessages(), 0);
    ASSERT_TRUE(until([&] { return server.lines(0).size() >= before + 5000; }, 20000));
    EXPECT_EQ(server.lines(0).mid(before, 5000), sent) << "byte for byte, in order";
}

TEST(LoggerClientMsgSender, ClosingClientCountsWhatItNeverSentOnStandardError)
{
    LineServer server;
    auto sender = std::make_unique<LoggerClientMsgSender>(QStringLiteral("myapp"), 42, serverConfig(server.port()));
    sender->setSendLimits(64 * 1024, 16 * 1024);
    sender->start();
    ASSERT_TRUE(until([&] { return sender->socketState() == QAbstractSocket::ConnectedState; }));
    floodStalled(*sender, FLOOD, 64 * 1024);
    {
        StreamCapture err(std::cerr);
        sender.reset(); // the server cannot read while the client waits for it
        const QStringList lines = err.lines();
        ASSERT_EQ(lines.size(), 1) << err.text();
        const auto m = QRegularExpression(QStringLiteral("^logger: (\\d+) messages not sent to the logging server$"))
                           .match(lines.first());
        ASSERT_TRUE(m.hasMatch()) << lines.first().toStdString();
        const int notSent = m.captured(1).toInt();
        // The server goes without reading again: what waited in its socket is lost,
        // and the count holds everything the server never read.
        server.socket(0)->abort();
        EXPECT_EQ(bigIndices(server.lines(0)).size() + droppedTold(server.lines(0)), 0);
        EXPECT_EQ(notSent, FLOOD);
    }

    // A client that never reached its server counts its backlog.
    auto unconnected = std::make_unique<LoggerClientMsgSender>(QStringLiteral("myapp"), 42, serverConfig(closedPort()));
    for (int i = 0; i < 3; ++i)
        unconnected->sendMessage(testMsg(INFO, QStringLiteral("m%1").arg(i)));
    StreamCapture err(std::cerr);
    unconnected.reset();
    EXPECT_EQ(err.text(), "logger: 3 messages not sent to the logging server\n");
}

namespace {

// What a FakeServer does with one accepted connection.
enum class Peer
{
    Reads,      // reads lines to the end, then closes in order
    Resets,     // resets at once, before reading anything
    NeverReads, // holds the connection and never reads
    Pushes,     // sends pushBytes as fast as the client takes them, reads nothing
};

// A server on 127.0.0.1 (port 0 unless told) on a thread of its own, so that
// it answers while the client's thread is blocked (a closing client waits for
// its server). Connections follow the plan in turn; the last entry repeats.
class FakeServer
{
public:
    explicit FakeServer(std::vector<Peer> plan, qint64 pushBytes = 0, quint16 port = 0)
        : plan_(std::move(plan)), pushBytes_(pushBytes)
    {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0)
            ADD_FAILURE() << "fake server cannot listen";
        socklen_t len = sizeof addr;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeServer()
    {
        stop_ = true;
        thread_.join();
        for (const Conn& c : conns_)
            ::close(c.fd);
        if (listenFd_ >= 0)
            ::close(listenFd_);
    }

    quint16 port() const { return port_; }
    // Connections of the client.
    int accepted() const { return accepted_; }
    // The most pushed down one connection.
    qint64 pushed() const { return pushed_; }
    // Stops accepting and frees the port, as a server going away does.
    void stopListening()
    {
        stopListening_ = true;
        while (listenFd_ >= 0 && !stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The lines of the connections that this test's client opened (its name
    // first), one connection after the other.
    QList<QByteArray> lines() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        QList<QByteArray> out;
        for (const QList<QByteArray>& l : lines_) {
            if (!l.isEmpty() && LoggerEventMsg(l.first()).text == "INIT_CLIENT-=-myapp-=-42")
                out << l;
        }
        return out;
    }

private:
    struct Conn
    {
        int fd;
        Peer peer;
        QByteArray partial;
        int index = -1; // into lines_; -1 until the connection is known as the client's
        qint64 pushed = 0;
    };

    void run()
    {
        while (!stop_) {
            if (stopListening_ && listenFd_ >= 0) {
                ::close(listenFd_);
                listenFd_ = -1;
            }
            std::vector<pollfd> fds;
            if (listenFd_ >= 0)
                fds.push_back(pollfd{listenFd_, POLLIN, 0});
            for (const Conn& c : conns_) {
                const short events = c.index < 0 || c.peer == Peer::Reads ? POLLIN
                                     : c.peer == Peer::Pushes && c.pushed < pushBytes_ ? POLLOUT
                                                                                      : 0;
                fds.push_back(pollfd{c.fd, events, 0});
            }
            if (::poll(fds.data(), fds.size(), 10) <= 0)
                continue;
            size_t i = 0;
            if (listenFd_ >= 0 && (fds[i++].revents & POLLIN) != 0)
                accept();
            for (size_t c = 0; c < conns_.size() && i < fds.size(); ++i) {
                if (fds[i].revents == 0 || serve(conns_[c], fds[i].revents)) {
                    ++c;
                    continue;
                }
                ::close(conns_[c].fd);
                conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(c));
            }
        }
    }

    void accept()
    {
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd >= 0)
            conns_.push_back(Conn{fd, Peer::Reads, {}, -1});
    }

    // Other processes on this machine may connect to the port too: a connection
    // is the client's once its first bytes, peeked at and left unread, name it.
    // Until then it only waits. False when it is no longer wanted.
    bool identify(Conn& c)
    {
        char buf[512];
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        const QByteArray head(buf, n);
        if (!head.contains("INIT_CLIENT-=-myapp-=-42"))
            return head.size() < 200 && !head.contains('\n'); // a stranger: dropped once it shows
        c.peer = plan_[std::min<size_t>(static_cast<size_t>(accepted_), plan_.size() - 1)];
        ++accepted_;
        if (c.peer == Peer::Resets) {
            const linger reset{1, 0};
            ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({});
        c.index = static_cast<int>(lines_.size()) - 1;
        return true;
    }

    // False when the connection is done with.
    bool serve(Conn& c, short revents)
    {
        static const QByteArray zeros(64 * 1024, '\0');
        if (c.index < 0)
            return identify(c);
        if (c.peer == Peer::Pushes) {
            const ssize_t n = ::send(c.fd, zeros.constData(), static_cast<size_t>(zeros.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                c.pushed += n;
                pushed_ = std::max<qint64>(pushed_, c.pushed);
            }
            return n > 0 || errno == EAGAIN;
        }
        if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            return true;
        char buf[64 * 1024];
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        c.partial.append(buf, n);
        std::lock_guard<std::mutex> lock(mutex_);
        for (qsizetype lf; (lf = c.partial.indexOf('\n')) >= 0; c.partial.remove(0, lf + 1))
            lines_[c.index] << c.partial.left(lf);
        return true;
    }

    std::vector<Peer> plan_;
    qint64 pushBytes_;
    int listenFd_ = -1;
    quint16 port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> stopListening_{false};
    std::atomic<int> accepted_{0};
    std::atomic<qint64> pushed_{0};
    std::vector<Conn> conns_;
    mutable std::mutex mutex_;
    std::vector<QList<QByteArray>> lines_;
};

// The number in "logger: N messages not sent to the logging server", 0 when nothing was written.
qint64 notSentTold(const StreamCapture& err)
{
    const QStringList lines = err.lines();
    if (lines.isEmpty())
        return 0;
    EXPECT_EQ(lines.size(), 1) << err.text();
    const auto m = QRegularExpression(QStringLiteral("^logger: (\\d+) messages not sent to the logging server$"))
                       .match(lines.last());
    EXPECT_TRUE(m.hasMatch()) << err.text();
    return m.captured(1).toLongLong();
}

// How many of the producer's messages t0, t1, ... arrived; each at most once.
qint64 producerMessagesIn(const QList<QByteArray>& lines)
{
    QSet<QString> seen;
    for (const QByteArray& l : lines) {
        const QString t = LoggerEventMsg(l).text;
        if (QRegularExpression(QStringLiteral("^t\\d+$")).match(t).hasMatch()) {
            EXPECT_FALSE(seen.contains(t)) << "twice: " << t.toStdString();
            seen.insert(t);
        }
    }
    return seen.size();
}

struct LossCase
{
    const char* name;
    std::vector<Peer> plan;
    int connections;  // connections the client makes
    bool allWritten;  // the server ends up with every message or a count of it
};

} // namespace

class LoggerClientLosses : public ::testing::TestWithParam<LossCase>
{
};

// The client sends a stream of messages (the first 60 before it connects) to a
// server that resets, never reads or reads; what the server got plus every count
// the client gave (to the server, and on standard error at its end) is what was
// sent, and nothing arrives twice.
TEST_P(LoggerClientLosses, WrittenPlusReportedIsSent)
{
    const LossCase& c = GetParam();
    FakeServer server(c.plan);
    // The echo counts the client's attempts: other processes on this machine may
    // connect to the port too.
    LoggerConfig cfg = serverConfig(server.port());
    cfg.stdOut = true;
    cfg.level = DEBUG;
    StreamCapture out(std::cout);
    auto sender = std::make_unique<LoggerClientMsgSender>(QStringLiteral("myapp"), 42, cfg);
    sender->setRetryIntervalMs(30);
    sender->setConfirmMs(300);
    constexpr int SENT = 160;
    int i = 0;
    for (; i < 60; ++i) // 10 more than the backlog holds
        sender->sendMessage(testMsg(INFO, QStringLiteral("t%1").arg(i)));
    sender->start();
    for (; i < SENT; ++i) {
        sender->sendMessage(testMsg(INFO, QStringLiteral("t%1").arg(i)));
        TestWait::spin(8);
    }
    TestWait::spin(400);
    EXPECT_EQ(out.text().find("socket error: ConnectionRefusedError"), std::string::npos) << c.name;
    EXPECT_EQ(out.lines().filter(QStringLiteral("] connecting to server...")).size(), c.connections) << c.name;
    StreamCapture err(std::cerr);
    sender.reset();
    const qint64 notSent = notSentTold(err);
    ASSERT_TRUE(until([&] { return c.plan.back() != Peer::Reads || producerMessagesIn(server.lines()) + droppedTold(server.lines()) + notSent >= SENT; }));
    const QList<QByteArray> lines = server.lines();
    const qint64 written = producerMessagesIn(lines);
    const qint64 told = droppedTold(lines);
    EXPECT_EQ(written + told + notSent, SENT) << c.name << ": written " << written << ", told " << told
                                              << ", not sent " << notSent;
    if (c.allWritten) {
        EXPECT_EQ(notSent, 0) << c.name << ": a server that reads hears every count";
        EXPECT_GE(told, 10) << c.name;
        // The count goes first on the connection that reads, after the client's name.
        ASSERT_GE(lines.size(), 2);
        EXPECT_EQ(LoggerEventMsg(lines[0]).text, "INIT_CLIENT-=-myapp-=-42");
        EXPECT_TRUE(LoggerEventMsg(lines[1]).text.startsWith("dropped ")) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, LoggerClientLosses,
    ::testing::Values(
        LossCase{"reads", {Peer::Reads}, 1, true},
        LossCase{"resets twice before reading, then reads", {Peer::Resets, Peer::Resets, Peer::Reads}, 3, true},
        // Every reset is a failed attempt: 1 + 5 retries, then the client gives up.
        LossCase{"always resets", {Peer::Resets}, 1 + LoggerClientMsgSender::MAX_RETRIES, false},
        LossCase{"never reads", {Peer::NeverReads}, 1, false}),
    [](const ::testing::TestParamInfo<LossCase>& info) {
        std::string n = info.param.name;
        std::replace_if(n.begin(), n.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
        return n;
    });

namespace {

// Not read under ASan, whose quarantine keeps what was freed.
[[maybe_unused]] double rssMb()
{
    std::ifstream in("/proc/self/status");
    std::string word;
    while (in >> word) {
        if (word == "VmRSS:") {
            double kb = 0;
            in >> kb;
            return kb / 1024.0;
        }
    }
    return 0;
}

} // namespace

// Whoever holds the server's port may send without end; the client takes it all
// and keeps no more than its small read buffer.
TEST(LoggerClientMsgSender, BytesThePeerPushesAreReadAndThrownAway)
{
    constexpr qint64 PUSH = 200LL * 1024 * 1024;
    FakeServer pusher({Peer::Pushes}, PUSH);
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(pusher.port()));
#if !defined(__SANITIZE_ADDRESS__)
    const double before = rssMb();
#endif
    sender.start();
    qint64 held = 0;
    const bool all = until([&] {
        held = std::max(held, sender.receivedBytesHeld());
        return pusher.pushed() >= PUSH;
    }, 30000);
    EXPECT_TRUE(all) << "the client stopped taking bytes after " << pusher.pushed();
    EXPECT_LE(held, LoggerClientMsgSender::READ_BUFFER_BYTES);
    EXPECT_GT(sender.receivedBytesPeak(), 0);
    EXPECT_LE(sender.receivedBytesPeak(), LoggerClientMsgSender::READ_BUFFER_BYTES) << "taken a little at a time";
#if !defined(__SANITIZE_ADDRESS__) // its quarantine keeps what was freed
    EXPECT_LT(rssMb() - before, 64.0);
#endif
    EXPECT_EQ(sender.socketState(), QAbstractSocket::ConnectedState);
}

// The measured case: the real server's port is held by one that resets every
// connection; once the real server is back, the client's count reaches it.
TEST(LoggerClientMsgSender, RealServerHearsWhatResetConnectionsLost)
{
    TestSupport::TempDir home;
    TestSupport::ScopedEnv homeEnv("HOME", home.path().toUtf8());
    auto holder = std::make_unique<FakeServer>(std::vector<Peer>{Peer::Resets});
    const quint16 port = holder->port();
    auto sender = std::make_unique<LoggerClientMsgSender>(QStringLiteral("myapp"), 42, serverConfig(port));
    sender->setRetryIntervalMs(40);
    sender->setConfirmMs(300);
    sender->start();
    constexpr int SENT = 100;
    int i = 0;
    for (; i < 40; ++i) {
        sender->sendMessage(testMsg(INFO, QStringLiteral("t%1").arg(i)));
        TestWait::spin(3);
    }
    ASSERT_GE(holder->accepted(), 2);
    holder.reset();

    QThread thread;
    auto* server = new LoggerServer;
    std::mutex mutex;
    QList<QByteArray> lines;
    QObject::connect(server, &LoggerServer::logEvent, server, [&](const LoggerEvent& e) {
        if (e.clientName == "myapp") {
            std::lock_guard<std::mutex> lock(mutex);
            lines << LoggerEventMsg(e.component, e.file, e.line, e.level, e.text).toEncoded().chopped(1);
        }
    }, Qt::DirectConnection);
    server->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, server, &QObject::deleteLater);
    thread.start();
    QMetaObject::invokeMethod(server, [server, port] {
        server->setServerInfo(QHostAddress::LocalHost, port);
        server->start();
    }, Qt::BlockingQueuedConnection);

    for (; i < SENT; ++i) {
        sender->sendMessage(testMsg(INFO, QStringLiteral("t%1").arg(i)));
        TestWait::spin(5);
    }
    StreamCapture err(std::cerr);
    sender.reset();
    const qint64 notSent = notSentTold(err);
    TestWait::spin(200);
    thread.quit();
    thread.wait();
    std::lock_guard<std::mutex> lock(mutex);
    const qint64 written = producerMessagesIn(lines);
    const qint64 told = droppedTold(lines);
    EXPECT_GT(told, 0) << "messages written to reset connections were counted";
    EXPECT_EQ(notSent, 0);
    EXPECT_EQ(written + told + notSent, SENT) << "written " << written << ", told " << told;
}

// What the server's system has not acknowledged is not delivered, however long
// the connection lasts: a server that stopped reading leaves it in the client's
// system, and it counts as unsent.
TEST(LoggerClientMsgSender, BytesTheServerDidNotAcknowledgeStayUnsent)
{
    FakeServer server({Peer::NeverReads});
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(server.port()));
    sender.setConfirmMs(100);
    sender.start();
    ASSERT_TRUE(until([&] { return sender.socketState() == QAbstractSocket::ConnectedState; }));
    // 20 MiB: more than both systems buffer on loopback, so the queue stays full.
    for (int i = 0; i < FLOOD; ++i) {
        sender.sendMessage(bigMsg(i));
        if (i % 100 == 0)
            TestWait::spin(1);
    }
    TestWait::spin(500); // five confirmation periods
    const qint64 size = bigMsg(0).toEncoded().size();
    const qint64 inClient = sender.unsentBytes() / size + 1;
    EXPECT_GT(sender.unsentMessages(), inClient);
}
