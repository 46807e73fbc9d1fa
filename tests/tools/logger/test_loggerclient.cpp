#include "tools/logger/loggerclient.h"
#include "tools/logger/log.h"
#include "support/logcapture.h"
#include "support/eventwait.h"
#include "support/streamcapture.h"
#include "loggertestutil.h"

#include <QRegularExpression>
#include <algorithm>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <thread>

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

QStringList texts(const QList<LoggerEventMsg>& msgs)
{
    QStringList out;
    for (const LoggerEventMsg& m : msgs)
        out << m.text;
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
    EXPECT_EQ(server.connectionCount(), 0);

    sender.start();
    // INIT_CLIENT, the 50 kept messages, then the client's own "state change to ConnectedState".
    ASSERT_TRUE(until([&] { return server.connectionCount() == 1 && server.lines(0).size() >= 52; }));
    const QList<QByteArray>& lines = server.lines(0);
    const LoggerEventMsg first(lines.first());
    EXPECT_EQ(first.level, LOG_CMD);
    EXPECT_EQ(first.text, "INIT_CLIENT-=-myapp-=-42");
    EXPECT_EQ(first.line, -1);

    // The client's own messages made while connecting pushed further test messages out.
    const QStringList kept = texts(lines.mid(1, 50));
    QStringList own;
    QStringList mine;
    for (const QString& t : kept)
        (t.startsWith('m') ? mine : own) << t;
    ASSERT_FALSE(own.isEmpty());
    EXPECT_EQ(own.first(), "connecting to server...");
    EXPECT_EQ(own.last(), "state change to ConnectingState");
    const int firstKept = 10 + static_cast<int>(own.size());
    ASSERT_EQ(mine.size(), 60 - firstKept);
    for (int i = 0; i < mine.size(); ++i)
        EXPECT_EQ(mine[i], QStringLiteral("m%1").arg(firstKept + i));
    EXPECT_EQ(kept.mid(0, mine.size()), mine) << "the test messages are older than the connection messages";
    EXPECT_EQ(LoggerEventMsg(lines[51]).text, "state change to ConnectedState");
    EXPECT_TRUE(sender.backlog().isEmpty());
    EXPECT_EQ(sender.retryCount(), 0);

    // Once connected, messages go out directly.
    sender.sendMessage(testMsg(DEBUG, QStringLiteral("direct")));
    ASSERT_TRUE(until([&] { return server.lines(0).size() >= 53; }));
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

    LineServer server(port);
    ASSERT_EQ(server.port(), port);
    ASSERT_TRUE(until([&] { return server.connectionCount() == 1 && server.lines(0).size() >= 2; }));
    EXPECT_EQ(sender.retryCount(), 0) << "a connection resets the count";
    const QStringList got = texts(server.lines(0));
    EXPECT_EQ(got.first(), "INIT_CLIENT-=-myapp-=-42");
    EXPECT_EQ(got[1], "early");
    EXPECT_TRUE(got.contains("socket error: ConnectionRefusedError"));
}

TEST(LoggerClientMsgSender, RemoteCloseReconnects)
{
    LineServer server;
    server.setCloseOnAccept(true);
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(server.port()));
    sender.setRetryIntervalMs(50);
    sender.start();
    ASSERT_TRUE(until([&] { return server.connectionCount() == 1; }));
    server.setCloseOnAccept(false);
    ASSERT_TRUE(until([&] { return server.connectionCount() == 2 && !server.lines(1).isEmpty(); }));
    EXPECT_EQ(LoggerEventMsg(server.lines(1).first()).text, "INIT_CLIENT-=-myapp-=-42");
    sender.sendMessage(testMsg(INFO, QStringLiteral("after reconnect")));
    ASSERT_TRUE(until([&] { return texts(server.lines(1)).contains("after reconnect"); }));
    const QStringList got = texts(server.lines(1));
    EXPECT_TRUE(got.contains("socket error: RemoteHostClosedError")) << got.join('|').toStdString();
    EXPECT_EQ(sender.retryCount(), 0);
}

TEST(LoggerClientMsgSender, OtherErrorsNeitherLaunchNorRetry)
{
    LoggerClientMsgSender sender(QStringLiteral("myapp"), 42, serverConfig(closedPort()));
    sender.handleSocketError(QAbstractSocket::SocketTimeoutError);
    TestWait::spin(50);
    const QStringList kept = texts(sender.backlog());
    EXPECT_EQ(kept, QStringList{"socket error: SocketTimeoutError"});
    EXPECT_EQ(sender.retryCount(), 0);
    EXPECT_EQ(sender.socketState(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(sender.backlog().first().component, "logger");
    EXPECT_EQ(sender.backlog().first().level, DEBUG);
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
        // What the system took arrives; with what was counted, that is everything.
        ASSERT_TRUE(until([&] { return server.socket(0)->state() == QAbstractSocket::UnconnectedState; }, 20000));
        EXPECT_EQ(bigIndices(server.lines(0)).size() + droppedTold(server.lines(0)) + notSent, FLOOD);
    }

    // A client that never reached its server counts its backlog.
    auto unconnected = std::make_unique<LoggerClientMsgSender>(QStringLiteral("myapp"), 42, serverConfig(closedPort()));
    for (int i = 0; i < 3; ++i)
        unconnected->sendMessage(testMsg(INFO, QStringLiteral("m%1").arg(i)));
    StreamCapture err(std::cerr);
    unconnected.reset();
    EXPECT_EQ(err.text(), "logger: 3 messages not sent to the logging server\n");
}
