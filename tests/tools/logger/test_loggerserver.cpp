#include "tools/logger/loggerserver.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "loggertestutil.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>
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
    QString inLogDir(const QString& name) const { return home.path() + "/.veklogs/" + name; }

    quint16 listen()
    {
        server->setServerInfo(QHostAddress::LocalHost, 0);
        server->start();
        return server->serverPort();
    }

    bool logged(const QString& text) const { return textsOf(events).contains(text); }
    int countLevel(LogLevel level) const
    {
        return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const LoggerEvent& e) { return e.level == level; }));
    }
    // A connected client that has introduced itself.
    std::unique_ptr<QTcpSocket> connectClient(const QString& name, qint64 pid)
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, server->serverPort());
        if (socket->waitForConnected(5000))
            socket->write(initWire(name, pid));
        return socket;
    }
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

TEST(LoggerServerMsgProcessor, HttpRequestAsFirstLineStopsTheStream)
{
    const QByteArray requests[] = {"GET / HTTP/1.1\r\n", "POST / HTTP/1.1\r\n", "PUT /x HTTP/1.1\r\n",
                                   "DELETE / HTTP/1.1\r\n", "HEAD / HTTP/1.0\r\n", "OPTIONS * HTTP/1.1\r\n",
                                   "PATCH / HTTP/1.1\r\n", "CONNECT a:1 HTTP/1.1\r\n", "TRACE / HTTP/1.1\r\n",
                                   "Host: 127.0.0.1:4401\r\n", "host: x\r\n"};
    for (const QByteArray& request : requests) {
        SCOPED_TRACE(request.toStdString());
        ProcessorSpy spy;
        int refused = 0;
        QObject::connect(&spy.processor, &LoggerServerMsgProcessor::crossProtocolRequest, [&] { ++refused; });
        // The first bytes alone decide nothing yet.
        spy.processor.process(request.left(2));
        EXPECT_EQ(refused, 0);
        spy.processor.process(request.mid(2) + "\r\n" + wire(INFO, "echo FROM-A-WEB-PAGE #"));
        EXPECT_EQ(refused, 1);
        spy.processor.process(wire(INFO, "later"));
        EXPECT_TRUE(spy.seen.isEmpty());
        EXPECT_TRUE(spy.processor.buffer().isEmpty());
    }
    // A log line first, then anything: read as lines. "GET" alone is no request line.
    for (const QByteArray& first : {wire(INFO, "log line"), QByteArray("GET\n")}) {
        ProcessorSpy spy;
        int refused = 0;
        QObject::connect(&spy.processor, &LoggerServerMsgProcessor::crossProtocolRequest, [&] { ++refused; });
        spy.processor.process(first + "POST / HTTP/1.1\n");
        EXPECT_EQ(refused, 0);
        EXPECT_EQ(spy.seen.size(), 2);
    }
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
    const QString fixed = f.inLogDir("fixed.log");
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

    // A file that cannot be opened leaves the fixed one in use.
    const QString bad = f.inLogDir("no/such/folder/x.log");
    client.write(LoggerCmdChangeFileMsg("main_file", bad).toEncoded());
    client.write(wire(INFO, "still fixed", DAY2));
    ASSERT_TRUE(until([&] { return f.logged("still fixed"); }));
    EXPECT_TRUE(f.logged("refused main file " + bad + ": No such file or directory"));
    EXPECT_FALSE(f.logged("writing to file " + bad));
    EXPECT_EQ(f.fileChanges.last(), fixed);
    EXPECT_TRUE(textsOf(readEvents(fixed)).contains("still fixed"));
    EXPECT_FALSE(QFileInfo::exists(f.dayFile("2024-03-06")));

    // A relative path is taken inside the log folder; a folder the host allows serves too.
    client.write(LoggerCmdChangeFileMsg("main_file", "named.log").toEncoded());
    ASSERT_TRUE(until([&] { return f.logged("writing to file " + f.inLogDir("named.log")); }));
    QDir(f.home.path()).mkdir("other");
    f.server->addAllowedFolder(f.home.filePath("other"));
    const QString other = f.home.filePath("other/x.log");
    client.write(LoggerCmdChangeFileMsg("main_file", other).toEncoded());
    client.write(wire(INFO, "in the allowed folder", DAY2));
    ASSERT_TRUE(until([&] { return f.logged("in the allowed folder"); }));
    EXPECT_EQ(f.server->mainFilepath(), other);
    EXPECT_EQ(textsOf(readEvents(other)).last(), "in the allowed folder");
}

// A client may not make the server append to any file its user can write: only
// regular files inside the log folder or an allowed folder. A refusal is one ERROR
// line, and the daily file goes on.
TEST(LoggerServer, ChangeMainFileRefusals)
{
    ServerFixture f;
    f.listen();
    f.server->addAllowedFolder("/dev");
    const QString home = f.home.path();
    f.home.write("target.log", "keep\n");
    QDir(home).mkdir("outdir");
    ASSERT_EQ(::symlink(qPrintable(home + "/target.log"), qPrintable(f.inLogDir("link.log"))), 0);
    ASSERT_EQ(::symlink(qPrintable(home + "/outdir"), qPrintable(f.inLogDir("linkdir"))), 0);
    ASSERT_EQ(::mkfifo(qPrintable(f.inLogDir("fifo")), 0600), 0);
    QDir(home).mkpath(".veklogs/dir");
    struct Case
    {
        QString path;
        QString why;
        QString mustNotExist;
    };
    const Case cases[] = {
        {home + "/outside.log", "outside the allowed folders", home + "/outside.log"},
        {"../escape.log", "outside the allowed folders", home + "/escape.log"},
        {f.inLogDir("../../escape.log"), "outside the allowed folders", QFileInfo(home).path() + "/escape.log"},
        {f.inLogDir("link.log"), "a symbolic link", ""},
        {"linkdir/x.log", "outside the allowed folders", home + "/outdir/x.log"},
        {f.inLogDir("fifo"), "not a regular file", ""},
        {"dir", "not a regular file", ""},
        {f.inLogDir(""), "outside the allowed folders", ""},
        {"/dev/null", "not a regular file", ""},
        {"/dev/full", "not a regular file", ""},
        {"no/such/x.log", "No such file or directory", ""},
        {"", "no path", ""},
    };
    auto client = f.connectClient("myapp", 42);
    int marker = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const int errors = f.countLevel(ERROR);
        const QString after = QStringLiteral("after %1").arg(++marker);
        client->write(LoggerCmdChangeFileMsg("main_file", c.path).toEncoded());
        client->write(wire(INFO, after));
        ASSERT_TRUE(until([&] { return f.logged(after); }));
        EXPECT_EQ(f.countLevel(ERROR), errors + 1);
        EXPECT_TRUE(f.logged("refused main file " + c.path + ": " + c.why)) << f.events.last().text.toStdString();
        EXPECT_EQ(f.server->mainFilepath(), f.dayFile("2024-03-05"));
        EXPECT_TRUE(textsOf(readEvents(f.dayFile("2024-03-05"))).contains(after));
        if (!c.mustNotExist.isEmpty()) {
            EXPECT_FALSE(QFileInfo::exists(c.mustNotExist));
        }
    }
    for (const LoggerEvent& e : f.events)
        EXPECT_FALSE(e.text.startsWith("writing to file")) << e.text.toStdString();
    EXPECT_EQ(TestWait::readFile(home + "/target.log"), "keep\n");
}

// With the log folder gone while the server runs, and no other folder allowed,
// there is nowhere a client may put the main file.
TEST(LoggerServer, ChangeMainFileWithoutAnyAllowedFolderIsRefused)
{
    ServerFixture f;
    f.listen();
    auto client = f.connectClient("myapp", 42);
    ASSERT_TRUE(until([&] { return f.connected.size() == 1; }));
    ASSERT_TRUE(QDir(f.inLogDir("")).removeRecursively());
    const QString target = f.home.filePath("profile");
    client->write(LoggerCmdChangeFileMsg("main_file", target).toEncoded());
    ASSERT_TRUE(until([&] { return f.logged("refused main file " + target + ": outside the allowed folders"); }));
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_FALSE(f.logged("writing to file " + target));
}

// A web page may post to the port without asking; the server must not take the
// body for log lines.
TEST(LoggerServer, HttpPostIsClosedAtOnce)
{
    ServerFixture f;
    const quint16 port = f.listen();
    QTcpSocket page;
    page.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(page.waitForConnected(5000));
    page.write("POST / HTTP/1.1\r\nHost: 127.0.0.1:4401\r\nContent-Type: text/plain\r\nContent-Length: 24\r\n\r\n"
               "echo FROM-A-WEB-PAGE #\r\n");
    ASSERT_TRUE(until([&] { return page.state() == QAbstractSocket::UnconnectedState; }));
    int warnings = 0;
    for (const LoggerEvent& e : f.events) {
        EXPECT_FALSE(e.text.contains("FROM-A-WEB-PAGE"));
        warnings += e.level == WARN;
    }
    EXPECT_EQ(warnings, 1);
    EXPECT_TRUE(f.logged("[ 0] closing the connection: its first line is an HTTP request"));
    EXPECT_EQ(f.server->connectionCount(), 0);
}

// One bound on connections and one on the partial lines of all of them together;
// set small here through the server's calls.
TEST(LoggerServer, ConnectionsAndPartialLinesAreBounded)
{
    ServerFixture f;
    f.listen();
    f.server->setMaxConnections(3);
    f.server->setMaxPartialBytes(4000);
    auto a = f.connectClient("a", 1);
    auto b = f.connectClient("b", 2);
    auto c = f.connectClient("c", 3);
    ASSERT_TRUE(until([&] { return f.connected.size() == 3; }));

    // Past the bound of connections new ones are closed at once, said once.
    auto refused1 = f.connectClient("r", 4);
    auto refused2 = f.connectClient("r", 5);
    ASSERT_TRUE(until([&] {
        return refused1->state() == QAbstractSocket::UnconnectedState
            && refused2->state() == QAbstractSocket::UnconnectedState;
    }));
    const QString refusing = "refusing new connections: 3 connections open";
    EXPECT_EQ(textsOf(f.events).count(refusing), 1);
    EXPECT_EQ(f.server->connectionCount(), 3);

    // Past the bound of partial bytes the oldest partial line goes.
    const QByteArray lineA = wire(INFO, QString(3000, 'a'));
    const QByteArray lineB = wire(INFO, QString(2000, 'b'));
    a->write(lineA.left(2500));
    ASSERT_TRUE(until([&] { return f.server->partialBytes() == 2500; }));
    b->write(lineB.left(2000));
    ASSERT_TRUE(until([&] { return f.logged("[a 1] dropped a partial line of 2500 bytes: partial lines held past 4000 bytes"); }));
    EXPECT_EQ(f.server->partialBytes(), 2000);
    // The rest of the dropped line is dropped too; both clients then go on.
    a->write(lineA.mid(2500) + wire(INFO, "a goes on"));
    b->write(lineB.mid(2000));
    ASSERT_TRUE(until([&] { return f.logged("a goes on") && f.logged(QString(2000, 'b')); }));
    EXPECT_FALSE(f.logged(QString(3000, 'a')));
    EXPECT_EQ(f.server->partialBytes(), 0);

    // A name is cut to 256 bytes, on a character boundary.
    c->write(initWire(QString(300, 'n'), 3));
    ASSERT_TRUE(until([&] { return f.connected.size() == 4; }));
    a->write(initWire(QString(200, QChar(0xe9)), 1)); // two bytes each in UTF-8
    ASSERT_TRUE(until([&] { return f.connected.size() == 5; }));
    EXPECT_EQ(f.connected[3].name, QString(256, 'n'));
    EXPECT_EQ(f.connected[4].name, QString(128, QChar(0xe9)));

    // Memory held for a connection goes back when it closes, and a place is free again.
    c->write(QByteArray(3000, 'x'));
    ASSERT_TRUE(until([&] { return f.server->partialBytes() == 3000; }));
    c->disconnectFromHost();
    ASSERT_TRUE(until([&] { return f.server->connectionCount() == 2; }));
    EXPECT_EQ(f.server->partialBytes(), 0);
    auto d = f.connectClient("d", 6);
    ASSERT_TRUE(until([&] { return f.connected.size() == 6; }));
    EXPECT_EQ(f.server->connectionCount(), 3);
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
