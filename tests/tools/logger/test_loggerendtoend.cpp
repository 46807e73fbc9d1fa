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
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using LoggerTest::readEvents;
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
    ASSERT_TRUE(thread->wait(10000));
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
