// The logging client and the logging server together: the global logger sends to a
// server in this process, many clients load one server, and the loggerserver
// program runs as a child process.
#include "tools/logger/log.h"
#include "tools/logger/loggerclient.h"
#include "tools/logger/loggerserver.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "loggertestutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using LoggerTest::rawConnect;
using LoggerTest::readEvents;
using LoggerTest::sendAll;
using TestWait::until;

namespace {

// Every event in every file of a folder.
QList<LoggerEvent> readFolder(const QString& dir)
{
    QList<LoggerEvent> out;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files, QDir::Name))
        out << readEvents(info.absoluteFilePath());
    return out;
}

QStringList textsOf(const QList<LoggerEvent>& events, const QString& component)
{
    QStringList out;
    for (const LoggerEvent& e : events) {
        if (e.component == component)
            out << e.text;
    }
    return out;
}

struct HomeAndServer
{
    TestSupport::TempDir home;
    TestSupport::ScopedEnv homeEnv{"HOME", home.path().toUtf8()};
    LoggerServer server;
    int appEvents = 0;

    HomeAndServer()
    {
        QObject::connect(&server, &LoggerServer::logEvent, &server, [this](const LoggerEvent& e) {
            if (e.component == "app" || e.component == "load")
                ++appEvents;
        });
        server.setServerInfo(QHostAddress::LocalHost, 0);
        server.start();
    }
    QString logDir() const { return home.path() + "/.veklogs"; }
};

const QString PROGRAM = QStringLiteral(GSE_BINARY_DIR "/tools/logger/loggerserver");

QProcessEnvironment withHome(const TestSupport::TempDir& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    return env;
}

int countText(const QList<LoggerEvent>& events, const QString& prefix)
{
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [&](const LoggerEvent& e) { return e.text.startsWith(prefix); }));
}

// The port a loggerserver program listens on, from the line it writes to its daily file.
quint16 listeningPort(const QString& logDir)
{
    quint16 port = 0;
    until([&] {
        for (const LoggerEvent& e : readFolder(logDir)) {
            if (e.text.startsWith("listening on 127.0.0.1 "))
                port = static_cast<quint16>(e.text.mid(23).toUInt());
        }
        return port != 0;
    }, 10000);
    return port;
}

// Connects to the loggerserver program writing to logDir and introduces itself.
bool connectToProgram(QTcpSocket& client, const QString& logDir)
{
    const quint16 port = listeningPort(logDir);
    client.connectToHost(QHostAddress::LocalHost, port);
    if (port == 0 || !client.waitForConnected(5000))
        return false;
    client.write(LoggerCmdInitClientMsg("byhand", 7).toEncoded());
    return true;
}

// Stops a loggerserver program with SIGTERM; true when it shut down in order.
bool terminatedInOrder(QProcess& server)
{
    server.terminate();
    return server.waitForFinished(10000) && server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0;
}

// Starts the loggerserver program with its standard output and error streams
// on pipes of 4 KiB whose read ends (out[0], err[0]) the caller holds.
bool startOnSmallPipes(QProcess& server, const TestSupport::TempDir& home, const QStringList& args, int out[2],
                       int err[2])
{
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return false;
    ::fcntl(out[1], F_SETPIPE_SZ, 4096);
    ::fcntl(err[1], F_SETPIPE_SZ, 4096);
    server.setProcessEnvironment(withHome(home));
    const std::array<int, 4> fds{out[0], out[1], err[0], err[1]};
    server.setChildProcessModifier([fds] {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[3], STDERR_FILENO);
        for (int fd : fds)
            ::close(fd);
    });
    server.start(PROGRAM, QStringList{"--port", "0"} + args);
    ::close(out[1]);
    ::close(err[1]);
    return server.waitForStarted(10000);
}

QByteArray appLine(const QString& text)
{
    return LoggerEventMsg("app", "x.cpp", 3, INFO, text).toEncoded();
}

} // namespace

TEST(LoggingEndToEnd, GlobalLoggerToServerFile)
{
    HomeAndServer h;
    ASSERT_TRUE(h.server.isListening());
    LoggerConfig config;
    config.serverPort = h.server.serverPort();
    Logger::initialize(QCoreApplication::instance(), config);
    ASSERT_NE(Logger::global, nullptr);

    LOG_INFO("app", "hello " << 1);
    LOG_WARN("app", "caf" << QChar(0xe9) << " warning");
    LOG_DEBUG("app", "details " << std::string("in utf-8"));
    ASSERT_TRUE(until([&] { return h.appEvents == 3; }));

    const QList<LoggerEvent> events = readFolder(h.logDir());
    const QStringList texts = textsOf(events, "app");
    ASSERT_EQ(texts.size(), 3);
    EXPECT_EQ(texts[0], "hello 1");
    EXPECT_EQ(texts[2], "details in utf-8");
    // UTF-8 on the wire, Latin-1 in the file.
    QByteArray raw;
    for (const QFileInfo& info : QDir(h.logDir()).entryInfoList(QDir::Files)) {
        QFile f(info.absoluteFilePath());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        raw += f.readAll();
    }
    EXPECT_TRUE(raw.contains(" - app - WARN - caf\xe9 warning\n"));
    const QString name = QCoreApplication::applicationName();
    const qint64 pid = QCoreApplication::applicationPid();
    bool sawInit = false;
    for (const LoggerEvent& e : events) {
        if (e.level == LOG_CMD && e.text == QStringLiteral("INIT_CLIENT %1 %2").arg(name).arg(pid))
            sawInit = true;
        if (e.component != "app")
            continue;
        EXPECT_TRUE(sawInit) << "the client introduces itself first";
        EXPECT_EQ(e.clientName, name);
        EXPECT_EQ(e.pid, pid);
        EXPECT_TRUE(e.file.endsWith("test_loggerendtoend.cpp"));
        EXPECT_TRUE(e.dateTime.isValid());
    }
    EXPECT_TRUE(sawInit);
    const QStringList clientLines = [&] {
        QStringList out;
        for (const LoggerEvent& e : events)
            out << e.text;
        return out;
    }();
    EXPECT_TRUE(clientLines.contains(QStringLiteral("[%1 %2] initialized").arg(name).arg(pid)));

    // From now on everything goes to one named file.
    const QString fixed = h.logDir() + "/session.log";
    Logger::changeServerFileDest(fixed);
    LOG_ERROR("app", "into the fixed file");
    ASSERT_TRUE(until([&] { return h.appEvents == 4; }));
    EXPECT_EQ(textsOf(readEvents(fixed), "app"), QStringList{"into the fixed file"});
    EXPECT_EQ(h.server.mainFilepath(), fixed);

    delete Logger::global;
    ASSERT_TRUE(until([&] { return h.server.clientInfos().isEmpty(); }));
    EXPECT_TRUE(textsOf(readEvents(fixed), "client").contains(QStringLiteral("[%1 %2] disconnected").arg(name).arg(pid)));
}

TEST(LoggingEndToEnd, TwentyClientsThousandMessagesEach)
{
    constexpr int clients = 20;
    constexpr int perClient = 1000;
    HomeAndServer h;
    ASSERT_TRUE(h.server.isListening());
    LoggerConfig config;
    config.serverPort = h.server.serverPort();

    QElapsedTimer clock;
    clock.start();
    std::atomic<int> connected{0};
    std::atomic<bool> flushed{false};
    // The clients run on a thread of their own, as the logger's client does, while
    // this thread runs the server.
    std::unique_ptr<QThread> thread(QThread::create([&] {
        std::vector<std::unique_ptr<LoggerClientMsgSender>> senders;
        for (int c = 0; c < clients; ++c) {
            senders.push_back(std::make_unique<LoggerClientMsgSender>(QStringLiteral("load%1").arg(c), 1000 + c, config));
            senders.back()->start();
        }
        auto all = [&](auto pred) {
            for (const auto& s : senders) {
                if (!pred(*s))
                    return false;
            }
            return true;
        };
        const auto isConnected = [](const LoggerClientMsgSender& s) {
            return s.socketState() == QAbstractSocket::ConnectedState;
        };
        QDeadlineTimer deadline(10000);
        while (!all(isConnected) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        connected = static_cast<int>(std::count_if(senders.begin(), senders.end(),
                                                   [&](const auto& s) { return isConnected(*s); }));
        for (int i = 0; i < perClient; ++i) {
            for (int c = 0; c < clients; ++c)
                senders[c]->sendMessage(LoggerEventMsg(QStringLiteral("load"), QStringLiteral("load.cpp"), i, INFO,
                                                       QStringLiteral("c%1 i%2").arg(c).arg(i)));
        }
        const auto drained = [](const LoggerClientMsgSender& s) { return s.pendingBytes() == 0; };
        while (!all(drained) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        flushed = all(drained);
    }));
    thread->start();
    ASSERT_TRUE(until([&] { return h.appEvents == clients * perClient || thread->isFinished(); }, 20000));
    ASSERT_TRUE(until([&] { return h.appEvents == clients * perClient; }, 15000)) << h.appEvents;
    // The server answers each client's closing handshake as the clients end:
    // this thread goes on running it while they do.
    ASSERT_TRUE(until([&] { return thread->isFinished(); }, 15000));
    thread->wait();
    EXPECT_EQ(connected, clients);
    EXPECT_TRUE(flushed);
    const qint64 elapsed = clock.elapsed();
    EXPECT_LT(elapsed, 15000);
    std::printf("[ load     ] %d messages from %d clients in %lld ms\n", clients * perClient, clients,
                static_cast<long long>(elapsed));
    ASSERT_TRUE(until([&] { return h.server.clientInfos().isEmpty(); }));

    // Every message is in the file exactly once, in order per client.
    QHash<QString, QStringList> byClient;
    for (const LoggerEvent& e : readFolder(h.logDir())) {
        if (e.component == "load")
            byClient[e.clientName] << e.text;
    }
    ASSERT_EQ(byClient.size(), clients);
    for (int c = 0; c < clients; ++c) {
        const QStringList& got = byClient.value(QStringLiteral("load%1").arg(c));
        ASSERT_EQ(got.size(), perClient) << "client " << c;
        for (int i = 0; i < perClient; ++i)
            ASSERT_EQ(got[i], QStringLiteral("c%1 i%2").arg(c).arg(i)) << "client " << c;
    }
}

TEST(LoggingEndToEnd, LoggerServerProgram)
{
    TestSupport::TempDir home;
    const QString program = QStringLiteral(GSE_BINARY_DIR "/tools/logger/loggerserver");
    ASSERT_TRUE(QFileInfo(program).isExecutable()) << program.toStdString();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());

    QProcess bad;
    bad.setProcessEnvironment(env);
    bad.start(program, {"--port", "70000"});
    ASSERT_TRUE(bad.waitForFinished(10000));
    EXPECT_EQ(bad.exitCode(), 2);

    QProcess server;
    server.setProcessEnvironment(env);
    server.start(program, {"--port", "0"});
    ASSERT_TRUE(server.waitForStarted(10000));
    QByteArray out;
    const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1 (\\d+)"));
    QRegularExpressionMatch m;
    ASSERT_TRUE(until([&] {
        out += server.readAllStandardOutput();
        m = listening.match(QString::fromLatin1(out));
        return m.hasMatch();
    }, 10000)) << out.toStdString();
    const quint16 port = static_cast<quint16>(m.captured(1).toUInt());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write(LoggerCmdInitClientMsg("byhand", 7).toEncoded());
    client.write(LoggerEventMsg("app", "x.cpp", 3, INFO, "through the program").toEncoded());
    ASSERT_TRUE(client.waitForBytesWritten(5000));
    ASSERT_TRUE(until([&] {
        out += server.readAllStandardOutput();
        return out.contains("through the program");
    }, 10000));
    client.disconnectFromHost();

    server.terminate(); // SIGTERM: the program shuts down in order
    ASSERT_TRUE(server.waitForFinished(10000));
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 0);
    const QList<LoggerEvent> events = readFolder(home.path() + "/.veklogs");
    const QStringList app = textsOf(events, "app");
    EXPECT_EQ(app, QStringList{"through the program"});
    EXPECT_TRUE(textsOf(events, "server").contains("shutting down..."));
    for (const LoggerEvent& e : events) {
        if (e.component == "app") {
            EXPECT_EQ(e.clientName, "byhand");
        }
    }
}

// Many clients connecting at once and sending as fast as they can: every line
// written in order, and a new client is served while they send.
TEST(LoggingEndToEnd, BurstOfClientsIsWrittenWhole)
{
#if defined(__SANITIZE_ADDRESS__)
    constexpr int clients = 25; // some seconds under the sanitizers too
#else
    constexpr int clients = 100;
#endif
    // A client's lines make about six turns of the loop.
    constexpr int perClient = 1000;
    HomeAndServer h;
    ASSERT_TRUE(h.server.isListening());
    const quint16 port = h.server.serverPort();
    std::vector<int> next(clients, 0);
    int outOfOrder = 0;
    std::atomic<int> written{0};
    using Clock = std::chrono::steady_clock;
    std::atomic<int> writtenAtProbe{-1};
    int writtenBeforeProbe = -1;
    QObject::connect(&h.server, &LoggerServer::logEvent, &h.server, [&](const LoggerEvent& e) {
        if (e.component == "probe" && writtenBeforeProbe < 0)
            writtenBeforeProbe = written;
        if (e.component != "burst")
            return;
        const int c = e.clientName.mid(5).toInt();
        outOfOrder += e.line != next[c];
        next[c] = e.line + 1;
        ++written;
    });

    std::atomic<int> failed{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    qsizetype lineBytes = 0;
    for (int c = 0; c < clients; ++c) {
        QByteArray bytes = LoggerCmdInitClientMsg(QStringLiteral("burst%1").arg(c), 1000 + c).toEncoded();
        for (int i = 0; i < perClient; ++i)
            bytes += LoggerEventMsg("burst", "burst.cpp", i, INFO, QStringLiteral("client %1 line %2").arg(c).arg(i)).toEncoded();
        lineBytes = bytes.size() / perClient;
        threads.emplace_back([&, bytes] {
            while (!go)
                std::this_thread::yield();
            const int fd = rawConnect(port);
            failed += fd < 0 || !sendAll(fd, bytes);
            if (fd >= 0)
                ::close(fd);
        });
    }
    // The probe connects once a tenth of the lines are written.
    threads.emplace_back([&] {
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (written < clients * perClient / 10 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int fd = rawConnect(port);
        failed += fd < 0 || !sendAll(fd, LoggerCmdInitClientMsg("probe", 1).toEncoded()
                                              + LoggerEventMsg("probe", "p.cpp", 1, INFO, "new client").toEncoded());
        writtenAtProbe = written.load();
        if (fd >= 0)
            ::close(fd);
    });
    go = true;
    const bool all = until([&] { return written == clients * perClient && writtenBeforeProbe >= 0; }, 60000);
    for (std::thread& t : threads)
        t.join();
    ASSERT_TRUE(all) << written;
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(outOfOrder, 0);
    // Served within a few turns of the loop, each of one slice per client, however
    // fast the machine: not after the others have sent all they had.
    const qsizetype turnLines = clients * LoggerServerClient::READ_SLICE_BYTES / lineBytes;
    EXPECT_LT(writtenBeforeProbe - writtenAtProbe, 4 * turnLines);
    EXPECT_LT(writtenBeforeProbe, clients * perClient);
}

// A reader of the standard output that goes away (`loggerserver | head -c 10`)
// does not kill the program: the output is closed with one line, the rest goes on.
TEST(LoggingEndToEnd, ProgramOutlivesItsStandardOutputReader)
{
    TestSupport::TempDir home;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    QProcess server;
    server.setProcessEnvironment(withHome(home));
    server.setChildProcessModifier([fds] {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
    });
    server.start(PROGRAM, {"--port", "0"});
    ::close(fds[1]);
    ASSERT_TRUE(server.waitForStarted(10000));
    pollfd readable{fds[0], POLLIN, 0};
    char first[10];
    ASSERT_EQ(::poll(&readable, 1, 10000), 1);
    ASSERT_GT(::read(fds[0], first, sizeof first), 0);
    ::close(fds[0]);

    const QString logDir = home.path() + "/.veklogs";
    QTcpSocket client;
    ASSERT_TRUE(connectToProgram(client, logDir));
    for (int i = 0; i < 20; ++i)
        client.write(appLine(QStringLiteral("line %1").arg(i)));
    ASSERT_TRUE(until([&] { return textsOf(readFolder(logDir), "app").size() == 20; }, 10000));
    EXPECT_EQ(server.state(), QProcess::Running);
    EXPECT_EQ(countText(readFolder(logDir), "closed output stdout: "), 1);
    EXPECT_TRUE(terminatedInOrder(server));
}

// A main file that is a FIFO, a device or a file that cannot be written: nothing
// blocks, each is an ERROR line on the standard error stream (under --quiet; a
// peer's refusals after its first are counted in one line), and every line goes on
// to the daily file.
TEST(LoggingEndToEnd, ProgramMainFileFaultsGoToTheDailyFile)
{
    TestSupport::TempDir home;
    const QString logDir = home.path() + "/.veklogs";
    ASSERT_TRUE(QDir().mkpath(logDir));
    const QString fifo = logDir + "/fifo";
    ASSERT_EQ(::mkfifo(qPrintable(fifo), 0600), 0);
    // A file already at the size limit the program runs under: writing fails.
    constexpr rlim_t limit = 1024 * 1024;
    const QString full = home.write("allowed/full.log", QByteArray(limit, 'x'));
    QProcess server;
    server.setProcessEnvironment(withHome(home));
    server.setChildProcessModifier([] {
        const rlimit r{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &r);
    });
    server.start(PROGRAM, {"--port", "0", "--quiet", "--allow-folder", home.filePath("allowed"), "--allow-folder", "/dev"});
    ASSERT_TRUE(server.waitForStarted(10000));
    QTcpSocket client;
    ASSERT_TRUE(connectToProgram(client, logDir));
    for (const QString& path : {fifo, QStringLiteral("/dev/full"), full})
        client.write(LoggerCmdChangeFileMsg("main_file", path).toEncoded());
    for (int i = 0; i < 1000; ++i)
        client.write(appLine(QStringLiteral("line %1").arg(i)));
    ASSERT_TRUE(until([&] { return textsOf(readFolder(logDir), "app").size() == 1000; }, 10000));
    EXPECT_EQ(QFileInfo(full).size(), static_cast<qint64>(limit));
    EXPECT_EQ(server.state(), QProcess::Running);
    ASSERT_TRUE(terminatedInOrder(server));

    const QList<QByteArray> errors = server.readAllStandardError().trimmed().split('\n');
    ASSERT_EQ(errors.size(), 3) << server.readAllStandardError().toStdString();
    const QString expected[] = {"refused main file " + fifo + ": not a regular file",
                                "cannot write main file " + full + ": ", "refused 1 more main files from 127.0.0.1"};
    for (int i = 0; i < 3; ++i) {
        const LoggerEvent e(errors[i]);
        EXPECT_EQ(e.level, ERROR);
        EXPECT_TRUE(e.text.startsWith(expected[i])) << e.text.toStdString();
    }
}

// Out of descriptors the program pauses accepting, says so once, does not spin,
// and takes new clients again once descriptors are free.
TEST(LoggingEndToEnd, ProgramOutOfDescriptorsPausesAccepting)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' vptr check opens a pipe to look at memory: out of descriptors
    // it takes every object for an invalid one and stops the program.
    GTEST_SKIP() << "not under the sanitizers";
#endif
    TestSupport::TempDir home;
    QProcess server;
    server.setProcessEnvironment(withHome(home));
    server.setChildProcessModifier([] {
        const rlimit r{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &r);
    });
    server.start(PROGRAM, {"--port", "0", "--quiet"});
    ASSERT_TRUE(server.waitForStarted(10000));
    const QString logDir = home.path() + "/.veklogs";
    const quint16 port = listeningPort(logDir);
    ASSERT_NE(port, 0);

    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    const QString paused = "server error: ";
    ASSERT_TRUE(until([&] { return countText(readFolder(logDir), paused) > 0; }, 10000))
        << QStringList(textsOf(readFolder(logDir), "server") + textsOf(readFolder(logDir), "client")).join('\n').toStdString();
    auto cpuTicks = [&] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(server.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0LL;
        const QList<QByteArray> f = stat.readAll().split(')').last().trimmed().split(' ');
        return f.value(11).toLongLong() + f.value(12).toLongLong();
    };
    const long long before = cpuTicks();
    TestWait::spin(1000);
    EXPECT_LT(cpuTicks() - before, ::sysconf(_SC_CLK_TCK) / 4) << "under a quarter of a core";
    EXPECT_EQ(countText(readFolder(logDir), paused), 1);

    idle.clear();
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(late.waitForConnected(5000));
    late.write(LoggerCmdInitClientMsg("late", 8).toEncoded() + appLine("after the limit"));
    EXPECT_TRUE(until([&] { return textsOf(readFolder(logDir), "app").contains("after the limit"); }, 10000));
    EXPECT_EQ(countText(readFolder(logDir), paused), 1);
    EXPECT_TRUE(terminatedInOrder(server));
}

// With the standard output and error streams pipes that nobody reads, and a client
// that floods them, the program goes on serving: the console copy drops lines and
// says how many once it is read again; the files lose none. Under --quiet only the
// errors and warnings go to the standard error stream, and they must not wait either.
TEST(LoggingEndToEnd, ProgramNeverWaitsForItsConsole)
{
    struct Case
    {
        QStringList args;
        bool stdoutCopy;
    };
    const Case cases[] = {{{"--stderr"}, true}, {{"--quiet"}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        TestSupport::TempDir home;
        int out[2];
        int err[2];
        QProcess server;
        // Small pipes: one refused path's line fills one.
        ASSERT_TRUE(startOnSmallPipes(server, home, c.args, out, err));
        const QString logDir = home.path() + "/.veklogs";

        // Refused main files echo their paths, empty lines are warned of, and lines
        // enough to fill both pipes many times over.
        QTcpSocket bad;
        ASSERT_TRUE(connectToProgram(bad, logDir));
        QByteArray flood;
        for (int i = 0; i < 3; ++i)
            flood += LoggerCmdChangeFileMsg("main_file", "/nowhere/" + QString(60000, 'p')).toEncoded();
        flood += QByteArray(5000, '\n');
        for (int i = 0; i < 30000; ++i)
            flood += appLine(QStringLiteral("flood %1 ").arg(i) + QString(80, 'f'));
        flood += QByteArray(1024 * 1024, '\n');
        bad.write(flood);
        ASSERT_TRUE(until([&] { return bad.bytesToWrite() == 0; }, 20000));

        QElapsedTimer clock;
        clock.start();
        QTcpSocket good;
        good.connectToHost(QHostAddress::LocalHost, listeningPort(logDir));
        ASSERT_TRUE(good.waitForConnected(5000));
        good.write(LoggerCmdInitClientMsg("good", 8).toEncoded());
        for (int i = 0; i < 100; ++i)
            good.write(appLine(QStringLiteral("good %1").arg(i)));
        const auto goodLines = [&] {
            return textsOf(readFolder(logDir), "app").filter(QRegularExpression("^good \\d+$")).size();
        };
        EXPECT_TRUE(until([&] { return goodLines() == 100; }, 10000)) << goodLines();
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_EQ(textsOf(readFolder(logDir), "app").filter(QRegularExpression("^flood ")).size(), 30000);
        EXPECT_EQ(server.state(), QProcess::Running);

        if (c.stdoutCopy) {
            // Read at last, the standard output says how many lines it lost.
            QByteArray seen;
            const QRegularExpression notice("dropped (\\d+) lines to stdout: it was not read fast enough");
            const bool noticed = until([&] {
                char buf[65536];
                pollfd p{out[0], POLLIN, 0};
                while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0) {
                    const ssize_t n = ::read(out[0], buf, sizeof buf);
                    if (n <= 0)
                        break;
                    seen.append(buf, n);
                    // Only the tail can hold the notice; the rest need not be kept.
                    if (seen.size() > 4 * 1024 * 1024)
                        seen.remove(0, seen.size() - 1024 * 1024);
                }
                return notice.match(QString::fromLatin1(seen)).hasMatch();
            }, 10000);
            EXPECT_TRUE(noticed);
            EXPECT_GT(notice.match(QString::fromLatin1(seen)).captured(1).toInt(), 0);
        }
        EXPECT_TRUE(terminatedInOrder(server));
        ::close(out[0]);
        ::close(err[0]);
    }
}

namespace {

// Resumes a stopped process however the test ends.
struct Resume
{
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
};

} // namespace

// More clients than the bound of connections connect and send while the program
// is stopped, then it goes on: it takes them all in a burst, and though some
// connections must close for others, every line each client sent is in the file,
// in order and byte for byte.
TEST(LoggingEndToEnd, BurstPastTheBoundWhileStoppedLosesNoLine)
{
    constexpr int clients = LoggerServer::DEFAULT_MAX_CONNECTIONS + 200;
    constexpr int perClient = 10;
    if (!LoggerTest::haveDescriptors(2 * clients + 200))
        GTEST_SKIP() << "needs " << 2 * clients + 200 << " descriptors";
    TestSupport::TempDir home;
    QProcess server;
    server.setProcessEnvironment(withHome(home));
    server.start(PROGRAM, {"--port", "0", "--quiet"});
    ASSERT_TRUE(server.waitForStarted(10000));
    const QString logDir = home.path() + "/.veklogs";
    const quint16 port = listeningPort(logDir);
    ASSERT_NE(port, 0);

    QHash<QString, QList<QByteArray>> sent;
    std::vector<int> fds;
    {
        ASSERT_EQ(::kill(static_cast<pid_t>(server.processId()), SIGSTOP), 0);
        const Resume resume{static_cast<pid_t>(server.processId())};
        for (int c = 0; c < clients; ++c) {
            const LoggerClientInfo who(QStringLiteral("burst%1").arg(c), 1000 + c);
            QByteArray bytes = LoggerCmdInitClientMsg(who.name, who.pid).toEncoded();
            for (int i = 0; i < perClient; ++i) {
                const QByteArray line = LoggerEventMsg("burst", "burst.cpp", i, INFO,
                                                       QStringLiteral("client %1 line %2").arg(c).arg(i))
                                            .toEncoded();
                bytes += line;
                sent[who.name] << LoggerTest::fileLineOf(who, line.chopped(1));
            }
            const int fd = rawConnect(port);
            ASSERT_GE(fd, 0) << "client " << c;
            fds.push_back(fd);
            ASSERT_TRUE(sendAll(fd, bytes));
        }
    }
    const auto written = [&] { return textsOf(readFolder(logDir), "burst").size(); };
    const bool all = until([&] { return written() == clients * perClient; }, 60000);
    for (int fd : fds)
        ::close(fd);
    EXPECT_TRUE(all) << written() << " of " << clients * perClient << "\n"
                     << QStringList(textsOf(readFolder(logDir), "server") + textsOf(readFolder(logDir), "client"))
                            .filter(QRegularExpression("^(?!.*(initialized|disconnected|socket state))"))
                            .join('\n')
                            .toStdString();
    EXPECT_TRUE(LoggerTest::sameLinesPerClient(sent, LoggerTest::folderLines(logDir), "burst"));
    EXPECT_TRUE(terminatedInOrder(server));
}

// The log folder on a full disk (a file-size limit here, raised later as room
// would be freed): the file holds whole lines only, the error says the system's
// reason, and once room is back one line counts the lines lost. The lines in the
// file are the lines sent, in order and byte for byte, and the count covers those
// that are not.
TEST(LoggingEndToEnd, ProgramOnAFullDiskKeepsWholeLinesAndCountsTheLost)
{
    constexpr rlim_t limit = 64 * 1024;
    TestSupport::TempDir home;
    QProcess server;
    server.setProcessEnvironment(withHome(home));
    server.setChildProcessModifier([] {
        const rlimit r{limit, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &r);
    });
    server.start(PROGRAM, {"--port", "0", "--quiet"});
    ASSERT_TRUE(server.waitForStarted(10000));
    const QString logDir = home.path() + "/.veklogs";
    QTcpSocket client;
    ASSERT_TRUE(connectToProgram(client, logDir));
    const LoggerClientInfo who("byhand", 7);
    QList<QByteArray> sent;
    const auto send = [&](int from, int to) {
        QByteArray bytes;
        for (int i = from; i < to; ++i) {
            const QByteArray line = appLine(QStringLiteral("fill %1 ").arg(i) + QString(i % 151, 'f'));
            bytes += line;
            sent << LoggerTest::fileLineOf(who, line.chopped(1));
        }
        client.write(bytes);
    };
    send(0, 3000);
    QByteArray errors;
    ASSERT_TRUE(until([&] {
        errors += server.readAllStandardError();
        return errors.contains("cannot write main file ");
    }, 10000));
    EXPECT_TRUE(errors.contains(": " + QByteArray(std::strerror(EFBIG)) + "\n")) << errors.toStdString();
    // Room again; lines a moment later are taken.
    const rlimit room{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(::prlimit(static_cast<pid_t>(server.processId()), RLIMIT_FSIZE, &room, nullptr), 0);
    TestWait::spin(400);
    send(3000, 3100);
    ASSERT_TRUE(until([&] { return textsOf(readFolder(logDir), "app").contains(QStringLiteral("fill 3099 ") + QString(3099 % 151, 'f')); }, 10000));
    EXPECT_TRUE(terminatedInOrder(server));

    const QList<QByteArray> lines = LoggerTest::folderLines(logDir);
    const QRegularExpression count("^(\\d+) lines could not be written to the main file since ");
    qsizetype at = 0;
    qint64 counted = -1;
    qsizetype kept = 0;
    for (const QByteArray& line : lines) {
        const LoggerEvent e(line);
        ASSERT_TRUE(e.valid) << "a cut or glued line: " << line.toStdString();
        if (const QRegularExpressionMatch m = count.match(e.text); m.hasMatch()) {
            EXPECT_EQ(counted, -1) << "said once";
            counted = m.captured(1).toLongLong();
        }
        if (e.component != "app")
            continue;
        while (at < sent.size() && sent[at] != line)
            ++at;
        ASSERT_LT(at, sent.size()) << "not a line sent: " << line.toStdString();
        ++at;
        ++kept;
    }
    EXPECT_GT(kept, 100);
    EXPECT_LT(kept, sent.size());
    // The count holds the server's own lines lost too.
    EXPECT_GE(counted, sent.size() - kept);
    EXPECT_LE(counted, sent.size() - kept + 10);
}

// At exit the console copies share one moment to take what waits, and what a
// stream never took is counted where it can still be read: in the main file, and
// on the other stream. A stream that fails for good has its loss counted too.
TEST(LoggingEndToEnd, ProgramCountsWhatItsConsoleNeverTook)
{
    struct Case
    {
        const char* name;
        QStringList args;
        bool stderrRead;   // the standard error stream is read, not stalled
        bool stdoutBreaks; // the reader of the standard output goes away
    };
    const Case cases[] = {
        {"both stalled", {"--stderr"}, false, false},
        {"standard output stalled", {}, true, false},
        {"standard output gone", {}, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::TempDir home;
        int out[2];
        int err[2];
        QProcess server;
        ASSERT_TRUE(startOnSmallPipes(server, home, c.args, out, err));
        const QString logDir = home.path() + "/.veklogs";
        QTcpSocket client;
        ASSERT_TRUE(connectToProgram(client, logDir));
        QByteArray flood;
        for (int i = 0; i < 2000; ++i)
            flood += appLine(QStringLiteral("flood %1 ").arg(i) + QString(80, 'f'));
        client.write(flood);
        ASSERT_TRUE(until([&] { return textsOf(readFolder(logDir), "app").size() == 2000; }, 10000));
        if (c.stdoutBreaks) {
            ::close(out[0]);
            out[0] = -1;
            client.write(appLine("after the reader went"));
            ASSERT_TRUE(until([&] { return countText(readFolder(logDir), "closed output stdout: ") == 1; }, 10000))
                << textsOf(readFolder(logDir), "server").join('\n').toStdString();
        }
        QByteArray errText;
        const auto readErr = [&] {
            char buf[65536];
            ssize_t n;
            while (::poll(std::array<pollfd, 1>{pollfd{err[0], POLLIN, 0}}.data(), 1, 0) == 1
                   && (n = ::read(err[0], buf, sizeof buf)) > 0)
                errText.append(buf, n);
        };
        if (c.stderrRead)
            readErr();

        QElapsedTimer clock;
        clock.start();
        server.terminate();
        ASSERT_TRUE(until([&] {
            if (c.stderrRead)
                readErr();
            return server.state() == QProcess::NotRunning;
        }, 10000));
        const qint64 exitMs = clock.elapsed();
        if (c.stderrRead)
            readErr();
        EXPECT_EQ(server.exitCode(), 0);
        const QString why = c.stdoutBreaks ? QString::fromLocal8Bit(std::strerror(EPIPE)) : "it was not read before exit";
        const QRegularExpression stdoutLost("^dropped (\\d+) lines to stdout: " + QRegularExpression::escape(why) + "$");
        const QStringList said = textsOf(readFolder(logDir), "server");
        EXPECT_EQ(said.filter(stdoutLost).size(), 1) << said.join('\n').toStdString();
        if (!said.filter(stdoutLost).isEmpty()) {
            EXPECT_GT(stdoutLost.match(said.filter(stdoutLost).first()).captured(1).toInt(), 0);
        }
        if (!c.stderrRead) {
            EXPECT_EQ(said.filter(QRegularExpression("^dropped \\d+ lines to stderr: it was not read before exit$")).size(), 1);
            // One moment for both streams.
            EXPECT_LT(exitMs, 900);
        } else {
            EXPECT_TRUE(QString::fromLatin1(errText).contains(QRegularExpression("dropped \\d+ lines to stdout: "))) << errText.toStdString();
        }
        for (int fd : {out[0], err[0]}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
}
