#include "tools/logger/loggerserver.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "loggertestutil.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <memory>

using LoggerTest::QtMessageCapture;
using LoggerTest::readEvents;
using TestWait::until;

namespace {

const QString DAY1 = QStringLiteral("2024-03-05T14:07:09.123+01:00");
const QString DAY2 = QStringLiteral("2024-03-06T00:00:01.000+01:00");

LoggerEventMsg msgAt(const QString& timestamp, LogLevel level, const QString& text)
{
    LoggerEventMsg m(QStringLiteral("test"), QStringLiteral("src/test.cpp"), 12, level, text);
    m.timestamp = timestamp;
    return m;
}

QByteArray wire(LogLevel level, const QString& text, const QString& timestamp = DAY1)
{
    return msgAt(timestamp, level, text).toEncoded();
}

QByteArray initWire(const QString& name, qint64 pid)
{
    return LoggerCmdInitClientMsg(name, pid).toEncoded();
}

QStringList textsOf(const QList<LoggerEvent>& events)
{
    QStringList out;
    for (const LoggerEvent& e : events)
        out << e.text;
    return out;
}

// A server with HOME in a temporary folder, recording what it logs and announces.
struct ServerFixture
{
    TestSupport::TempDir home;
    TestSupport::ScopedEnv homeEnv{"HOME", home.path().toUtf8()};
    std::unique_ptr<LoggerServer> server = std::make_unique<LoggerServer>();
    QList<LoggerEvent> events;
    QStringList fileChanges;
    QList<LoggerClientInfo> connected;
    QList<LoggerClientInfo> disconnected;
    QObject context;

    ServerFixture()
    {
        QObject::connect(server.get(), &LoggerServer::logEvent, &context, [this](const LoggerEvent& e) { events << e; });
        QObject::connect(server.get(), &LoggerServer::mainFileChanged, &context,
                         [this](const QString& p) { fileChanges << p; });
        QObject::connect(server.get(), &LoggerServer::clientConnected, &context,
                         [this](const LoggerClientInfo& i) { connected << i; });
        QObject::connect(server.get(), &LoggerServer::clientDisconnected, &context,
                         [this](const LoggerClientInfo& i) { disconnected << i; });
    }

    QString dayFile(const QString& date) const { return home.path() + "/.veklogs/" + date + "-log.txt"; }

    quint16 listen()
    {
        server->setServerInfo(QHostAddress::LocalHost, 0);
        server->start();
        return server->serverPort();
    }

    bool logged(const QString& text) const { return textsOf(events).contains(text); }
    const LoggerEvent* find(const QString& text) const
    {
        for (const LoggerEvent& e : events) {
            if (e.text == text)
                return &e;
        }
        return nullptr;
    }
};

// Collects what a processor emits, in order, as "kind:text".
struct ProcessorSpy
{
    LoggerServerMsgProcessor processor;
    QStringList seen;
    QList<LoggerCmdInitClientMsg> inits;
    QList<LoggerCmdChangeFileMsg> changes;

    ProcessorSpy()
    {
        QObject::connect(&processor, &LoggerServerMsgProcessor::loggerEventMsg, [this](const LoggerEventMsg& m) {
            seen << "msg:" + m.text;
        });
        QObject::connect(&processor, &LoggerServerMsgProcessor::loggerCmdInitClient,
                         [this](const LoggerCmdInitClientMsg& m) {
                             seen << "init:" + m.text;
                             inits << m;
                         });
        QObject::connect(&processor, &LoggerServerMsgProcessor::loggerCmdChangeFile,
                         [this](const LoggerCmdChangeFileMsg& m) {
                             seen << "change:" + m.text;
                             changes << m;
                         });
        QObject::connect(&processor, &LoggerServerMsgProcessor::loggerCmdUnknown,
                         [this](const LoggerCmdUnknownMsg& m) { seen << "unknown:" + m.cmd(); });
    }
};

} // namespace

TEST(LoggerServerMsgProcessor, ReassemblesPiecesAndSplitsLines)
{
    ProcessorSpy spy;
    const QByteArray line = wire(INFO, QStringLiteral("whole"));
    spy.processor.process(line.left(5));
    spy.processor.process(line.mid(5, 20));
    EXPECT_TRUE(spy.seen.isEmpty());
    spy.processor.process(line.mid(25));
    EXPECT_EQ(spy.seen, QStringList{"msg:whole"});
    EXPECT_TRUE(spy.processor.buffer().isEmpty());

    spy.seen.clear();
    spy.processor.process(wire(INFO, "one") + wire(WARN, "two") + wire(INFO, "thr").left(10));
    EXPECT_EQ(spy.seen, (QStringList{"msg:one", "msg:two"}));
    EXPECT_EQ(spy.processor.buffer().size(), 10);
    spy.processor.process();
    EXPECT_EQ(spy.seen.size(), 2);
    spy.processor.process(wire(INFO, "thr").mid(10));
    EXPECT_EQ(spy.seen.last(), "msg:thr");
}

TEST(LoggerServerMsgProcessor, ShortLinesAreDroppedWithAWarning)
{
    ProcessorSpy spy;
    QtMessageCapture qt;
    spy.processor.process("\nab\nabc\n" + wire(INFO, "after"));
    EXPECT_EQ(qt.warnings, (QStringList{"logger protocol warn - dropped 0 bytes while processing",
                                        "logger protocol warn - dropped 2 bytes while processing"}));
    // Three bytes are decoded; the fields the line lacks are empty.
    EXPECT_EQ(spy.seen, (QStringList{"msg:", "msg:after"}));
}

TEST(LoggerServerMsgProcessor, CommandsGoByTheirKey)
{
    ProcessorSpy spy;
    spy.processor.process(initWire("myapp", 42));
    spy.processor.process(LoggerCmdChangeFileMsg("main_file", "/tmp/x.log").toEncoded());
    spy.processor.process(LoggerCmdMsg(QList<QString>{"FOO", "bar"}).toEncoded());
    spy.processor.process(LoggerCmdMsg(QList<QString>{"INIT_CLIENT"}).toEncoded());
    // A message that only looks like a command stays a message.
    spy.processor.process(wire(INFO, "INIT_CLIENT-=-x-=-1"));
    EXPECT_EQ(spy.seen, (QStringList{"init:INIT_CLIENT myapp 42", "change:CHANGE_MAIN_FILE main_file /tmp/x.log",
                                     "unknown:FOO", "init:INIT_CLIENT", "msg:INIT_CLIENT-=-x-=-1"}));
    ASSERT_EQ(spy.inits.size(), 2);
    EXPECT_EQ(spy.inits[0].name, "myapp");
    EXPECT_EQ(spy.inits[0].pid, 42);
    EXPECT_EQ(spy.inits[1].name, "");
    EXPECT_EQ(spy.inits[1].pid, 0);
    ASSERT_EQ(spy.changes.size(), 1);
    EXPECT_EQ(spy.changes[0].filePath, "/tmp/x.log");
}

TEST(LoggerServerMsgProcessor, OverlongLinesAreDroppedNotBuffered)
{
    ProcessorSpy spy;
    QtMessageCapture qt;
    const qsizetype chunk = 700 * 1024;
    spy.processor.process(QByteArray(chunk, 'x'));
    EXPECT_EQ(spy.processor.buffer().size(), chunk) << "below the limit a partial line waits";
    spy.processor.process(QByteArray(chunk, 'x'));
    EXPECT_TRUE(spy.processor.buffer().isEmpty());
    ASSERT_EQ(qt.warnings.size(), 1);
    EXPECT_EQ(qt.warnings[0], QStringLiteral("logger protocol warn - dropped %1 bytes while processing").arg(2 * chunk));

    // The rest of that line is not kept either, however long it goes on.
    for (int i = 0; i < 4; ++i) {
        spy.processor.process(QByteArray(chunk, 'y'));
        EXPECT_TRUE(spy.processor.buffer().isEmpty());
    }
    // Its end is dropped too; the next line is read normally.
    spy.processor.process("yyy\n" + wire(INFO, "next"));
    ASSERT_EQ(qt.warnings.size(), 2);
    EXPECT_EQ(qt.warnings[1], QStringLiteral("logger protocol warn - dropped %1 bytes while processing").arg(4 * chunk + 3));
    EXPECT_EQ(spy.seen, QStringList{"msg:next"});

    // A complete line over the limit is dropped the same way, whatever the chunking.
    spy.processor.process(QByteArray(LoggerServerMsgProcessor::MAX_LINE_BYTES + 1, 'z') + "\n" + wire(INFO, "last"));
    ASSERT_EQ(qt.warnings.size(), 3);
    EXPECT_EQ(spy.seen, (QStringList{"msg:next", "msg:last"}));
}

TEST(LoggerServer, DailyFilesFollowTheEventDates)
{
    ServerFixture f;
    EXPECT_TRUE(QFileInfo(f.home.path() + "/.veklogs").isDir()) << "made at construction";
    EXPECT_FALSE(f.server->isListening());
    EXPECT_EQ(f.server->mainFilepath(), "");

    const LoggerClientInfo who("myapp", 42);
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, "first")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY2, WARN, "second")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, ERROR, "third")));
    EXPECT_EQ(f.fileChanges, (QStringList{f.dayFile("2024-03-05"), f.dayFile("2024-03-06"), f.dayFile("2024-03-05")}));
    EXPECT_EQ(f.server->mainFilepath(), f.dayFile("2024-03-05"));
    EXPECT_EQ(textsOf(readEvents(f.dayFile("2024-03-05"))), (QStringList{"first", "third"}));
    const QList<LoggerEvent> day2 = readEvents(f.dayFile("2024-03-06"));
    ASSERT_EQ(day2.size(), 1);
    EXPECT_EQ(day2[0].clientName, "myapp");
    EXPECT_EQ(day2[0].pid, 42);
    EXPECT_EQ(day2[0].level, WARN);
    EXPECT_EQ(day2[0].file, "src/test.cpp");
    EXPECT_EQ(day2[0].line, 12);
    EXPECT_EQ(textsOf(f.events), (QStringList{"first", "second", "third"}));

    // An undated event reopens "-log.txt" each time.
    f.fileChanges.clear();
    f.server->writeLogEvent(LoggerEvent(who, msgAt("not a time", INFO, "undated 1")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt("not a time", INFO, "undated 2")));
    EXPECT_EQ(f.fileChanges, (QStringList{f.dayFile(""), f.dayFile("")}));
    EXPECT_EQ(textsOf(readEvents(f.dayFile(""))), (QStringList{"undated 1", "undated 2"}));
}

TEST(LoggerServer, OutputDevices)
{
    ServerFixture f;
    const QList<QFile*> files = f.server->attachedFiles();
    ASSERT_EQ(files.size(), 3);
    EXPECT_EQ(files[0]->objectName(), "stdout");
    EXPECT_EQ(files[1]->objectName(), "stderr");
    EXPECT_EQ(files[2]->objectName(), "main_file");
    for (QFile* file : files)
        EXPECT_FALSE(file->isOpen());
    f.server->setStdErrEnabled(true);
    EXPECT_TRUE(files[1]->isOpen());
    f.server->setStdErrEnabled(false);
    EXPECT_FALSE(files[1]->isOpen());

    auto* buffer = new QBuffer;
    buffer->open(QIODevice::WriteOnly);
    QPointer<QBuffer> watch(buffer);
    f.server->attachQIODevice(buffer);
    EXPECT_EQ(f.server->attachedFiles().size(), 3) << "a buffer is no file";
    f.server->writeLogEvent(LoggerEvent(LoggerClientInfo("a", 1), msgAt(DAY1, INFO, "to every device")));
    const QByteArray expected = LoggerEvent(LoggerClientInfo("a", 1), msgAt(DAY1, INFO, "to every device")).toEncoded() + "\n";
    EXPECT_EQ(buffer->data(), expected);
    QFile day(f.dayFile("2024-03-05"));
    ASSERT_TRUE(day.open(QIODevice::ReadOnly));
    EXPECT_EQ(day.readAll(), expected);

    f.server.reset();
    EXPECT_TRUE(watch.isNull()) << "attached devices belong to the server";
}

TEST(LoggerServer, ClientLifecycleOverTcp)
{
    ServerFixture f;
    const quint16 port = f.listen();
    ASSERT_TRUE(f.server->isListening());
    ASSERT_NE(port, 0);
    const LoggerEvent* listening = f.find(QStringLiteral("listening on 127.0.0.1 %1").arg(port));
    ASSERT_NE(listening, nullptr);
    EXPECT_EQ(listening->level, INFO);
    EXPECT_EQ(listening->component, "server");
    EXPECT_EQ(listening->clientName, "loggerserver");
    EXPECT_EQ(listening->pid, QCoreApplication::applicationPid());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write(wire(INFO, "before init"));
    ASSERT_TRUE(until([&] { return f.logged("before init"); }));
    EXPECT_EQ(f.find("before init")->clientName, "");
    EXPECT_EQ(f.find("before init")->pid, 0);

    client.write(initWire("myapp", 42));
    client.write(wire(INFO, "after init"));
    client.write(LoggerCmdMsg(QList<QString>{"FOO", "bar"}).toEncoded());
    ASSERT_TRUE(until([&] { return f.logged("[myapp 42] unknown cmd: FOO"); }));
    const LoggerEvent* init = f.find("INIT_CLIENT myapp 42");
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init->level, LOG_CMD);
    EXPECT_EQ(init->clientName, "myapp");
    EXPECT_EQ(init->pid, 42);
    const LoggerEvent* initialized = f.find("[myapp 42] initialized");
    ASSERT_NE(initialized, nullptr);
    EXPECT_EQ(initialized->component, "client");
    EXPECT_EQ(initialized->level, INFO);
    EXPECT_EQ(f.find("after init")->clientName, "myapp");
    EXPECT_TRUE(f.logged("FOO bar"));
    ASSERT_EQ(f.connected.size(), 1);
    EXPECT_EQ(f.connected[0].name, "myapp");
    ASSERT_EQ(f.server->clientInfos().size(), 1);
    EXPECT_EQ(f.server->clientInfos()[0].pid, 42);

    // The INIT_CLIENT line itself is in the file of its date.
    const QList<LoggerEvent> written = readEvents(f.dayFile(init->dateTime.date().toString(Qt::ISODate)));
    bool initInFile = false;
    for (const LoggerEvent& e : written)
        initInFile |= e.level == LOG_CMD && e.text == "INIT_CLIENT myapp 42";
    EXPECT_TRUE(initInFile);

    client.disconnectFromHost();
    ASSERT_TRUE(until([&] { return f.logged("[myapp 42] disconnected"); }));
    EXPECT_TRUE(f.server->clientInfos().isEmpty());
    ASSERT_EQ(f.disconnected.size(), 1);
    EXPECT_EQ(f.disconnected[0].name, "myapp");
    EXPECT_TRUE(f.logged("[myapp 42] socket state changed: UnconnectedState"));
}

TEST(LoggerServer, ChangeMainFileFixesOneFile)
{
    ServerFixture f;
    const quint16 port = f.listen();
    const QString fixed = f.home.filePath("fixed.log");
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write(initWire("myapp", 42));
    client.write(LoggerCmdChangeFileMsg("main_file", fixed).toEncoded());
    client.write(wire(INFO, "day one", DAY1));
    client.write(wire(INFO, "day two", DAY2));
    ASSERT_TRUE(until([&] { return f.logged("day two"); }));

    // The daily file in use then was the one of the INIT_CLIENT line, stamped now.
    const QString today = f.dayFile(f.find("INIT_CLIENT myapp 42")->dateTime.date().toString(Qt::ISODate));
    EXPECT_TRUE(f.logged("changing main file from " + today + " to " + fixed));
    EXPECT_TRUE(f.logged("writing to file " + fixed));
    EXPECT_EQ(f.fileChanges.last(), fixed);
    EXPECT_EQ(f.server->mainFilepath(), fixed);
    const QStringList inFixed = textsOf(readEvents(fixed));
    EXPECT_TRUE(inFixed.contains("day one"));
    EXPECT_TRUE(inFixed.contains("day two"));
    EXPECT_FALSE(QFileInfo::exists(f.dayFile("2024-03-06")));
    EXPECT_FALSE(QFileInfo::exists(f.dayFile("2024-03-05")));

    // A file that cannot be opened still ends the daily switching.
    const QString bad = f.home.filePath("no/such/folder/x.log");
    client.write(LoggerCmdChangeFileMsg("main_file", bad).toEncoded());
    client.write(wire(INFO, "lost", DAY2));
    ASSERT_TRUE(until([&] { return f.logged("lost"); }));
    EXPECT_FALSE(f.logged("writing to file " + bad));
    EXPECT_NE(f.fileChanges.last(), bad);
    EXPECT_FALSE(QFileInfo::exists(f.dayFile("2024-03-06")));
}

TEST(LoggerServer, BindFailureIsLogged)
{
    ServerFixture f;
    const quint16 port = f.listen();
    QList<LoggerEvent> events; // outlives the server, which logs as it goes
    LoggerServer second;
    QObject::connect(&second, &LoggerServer::logEvent, [&](const LoggerEvent& e) { events << e; });
    second.setServerInfo(QHostAddress::LocalHost, port);
    second.start();
    EXPECT_FALSE(second.isListening());
    ASSERT_FALSE(events.isEmpty());
    EXPECT_EQ(events.last().text, QStringLiteral("failed to bind to listen on 127.0.0.1 %1").arg(port));
    EXPECT_EQ(events.last().level, ERROR);
    EXPECT_EQ(events.last().component, "server");
}

TEST(LoggerServer, DestroyedWhileClientsAreConnected)
{
    ServerFixture f;
    const quint16 port = f.listen();
    QTcpSocket initialized;
    QTcpSocket anonymous;
    initialized.connectToHost(QHostAddress::LocalHost, port);
    anonymous.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(initialized.waitForConnected(5000));
    ASSERT_TRUE(anonymous.waitForConnected(5000));
    initialized.write(initWire("myapp", 42));
    anonymous.write(wire(INFO, "anonymous here"));
    ASSERT_TRUE(until([&] { return f.connected.size() == 1 && f.logged("anonymous here"); }));

    f.server.reset();
    EXPECT_TRUE(f.logged("shutting down..."));
    // The clients keep talking and then hang up: nothing may reach the gone server.
    initialized.write(wire(INFO, "too late"));
    anonymous.write(wire(INFO, "too late"));
    EXPECT_TRUE(until([&] {
        return initialized.state() == QAbstractSocket::UnconnectedState
            && anonymous.state() == QAbstractSocket::UnconnectedState;
    }));
    TestWait::spin(50);
    EXPECT_FALSE(f.logged("too late"));
}
