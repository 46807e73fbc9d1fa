#include "tools/logger/loggerserver.h"
#include "tools/logger/mainfile.h"
#include "tools/logger/serverconnections.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "loggertestutil.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>
#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <memory>

using LoggerTest::QtMessageCapture;
using LoggerTest::rawConnect;
using LoggerTest::readEvents;
using LoggerTest::sendAll;
using TestWait::until;

namespace {

// Daily files are made only for dates around the server's own: today and tomorrow.
const QDate TODAY = QDate::currentDate();
const QString DATE1 = TODAY.toString(Qt::ISODate);
const QString DATE2 = TODAY.addDays(1).toString(Qt::ISODate);
const QString DAY1 = DATE1 + QStringLiteral("T14:07:09.123+01:00");
const QString DAY2 = DATE2 + QStringLiteral("T00:00:01.000+01:00");

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

QList<LoggerEvent> readFolderEvents(const QString& dir)
{
    QList<LoggerEvent> out;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files, QDir::Name))
        out << readEvents(info.absoluteFilePath());
    return out;
}

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

mode_t modeOf(const QString& path)
{
    struct stat st = {};
    return ::stat(qPrintable(path), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(LoggerServer, DailyFilesFollowTheEventDates)
{
    // Under the usual umask the folder and files are still the owner's only.
    const mode_t umask = ::umask(022);
    ServerFixture f;
    EXPECT_TRUE(QFileInfo(f.home.path() + "/.veklogs").isDir()) << "made at construction";
    EXPECT_EQ(modeOf(f.home.path() + "/.veklogs"), 0700u);
    EXPECT_FALSE(f.server->isListening());
    EXPECT_EQ(f.server->mainFilepath(), "");

    const LoggerClientInfo who("myapp", 42);
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, "first")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY2, WARN, "second")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, ERROR, "third")));
    EXPECT_EQ(f.fileChanges, (QStringList{f.dayFile(DATE1), f.dayFile(DATE2), f.dayFile(DATE1)}));
    EXPECT_EQ(f.server->mainFilepath(), f.dayFile(DATE1));
    EXPECT_EQ(textsOf(readEvents(f.dayFile(DATE1))), (QStringList{"first", "third"}));
    const QList<LoggerEvent> day2 = readEvents(f.dayFile(DATE2));
    ASSERT_EQ(day2.size(), 1);
    EXPECT_EQ(day2[0].clientName, "myapp");
    EXPECT_EQ(day2[0].pid, 42);
    EXPECT_EQ(day2[0].level, WARN);
    EXPECT_EQ(day2[0].file, "src/test.cpp");
    EXPECT_EQ(day2[0].line, 12);
    EXPECT_EQ(textsOf(f.events), (QStringList{"first", "second", "third"}));
    EXPECT_EQ(modeOf(f.dayFile(DATE1)), 0600u);
    EXPECT_EQ(modeOf(f.dayFile(DATE2)), 0600u);
    ::umask(umask);

    // An undated event, or one far from the server's date, makes no file: it goes
    // to the main file in use, said once for the run of them.
    f.fileChanges.clear();
    f.server->writeLogEvent(LoggerEvent(who, msgAt("not a time", INFO, "undated")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt("2000-01-01T10:00:00.000+00:00", INFO, "long ago")));
    EXPECT_TRUE(f.fileChanges.isEmpty());
    const QString said = QStringLiteral("lines dated invalid, outside %1 to %2, go to the current main file")
                             .arg(TODAY.addDays(-1).toString(Qt::ISODate), DATE2);
    EXPECT_EQ(textsOf(readEvents(f.dayFile(DATE1))), (QStringList{"first", "third", said, "undated", "long ago"}));
    EXPECT_EQ(QDir(f.inLogDir("")).entryList(QDir::Files).size(), 2);
    // A line of the window that opens a daily file ends that run: the next one is
    // said again (outside the rate limit, which would count it). The warning, of
    // the server's date, opens that day's file, which then takes the line.
    f.server->setWarningWindow(0);
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY2, INFO, "back")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt("not a time", INFO, "undated again")));
    EXPECT_EQ(textsOf(readEvents(f.dayFile(DATE2))), (QStringList{"second", "back"}));
    EXPECT_EQ(textsOf(readEvents(f.dayFile(DATE1))).mid(5), (QStringList{said, "undated again"}));
}

// A main file that cannot be used is said once, until it is written again: a run
// of dates whose files cannot open makes one ERROR line, not one per date.
TEST(LoggerServer, MainFileErrorsAreSaidOnceUntilTheFileIsWrittenAgain)
{
    ServerFixture f;
    ASSERT_TRUE(QDir().mkpath(f.dayFile(DATE1)));
    ASSERT_TRUE(QDir().mkpath(f.dayFile(DATE2)));
    const LoggerClientInfo who("myapp", 42);
    const QString yesterday = TODAY.addDays(-1).toString(Qt::ISODate) + "T12:00:00.000+00:00";
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, "a")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY2, INFO, "b")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt(yesterday, INFO, "c")));
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, "d")));
    QStringList errors;
    for (const LoggerEvent& e : f.events) {
        if (e.level == ERROR)
            errors << e.text.section(':', 0, 0);
    }
    const QString cannot = QStringLiteral("cannot open main file ");
    EXPECT_EQ(errors, (QStringList{cannot + f.dayFile(DATE1), cannot + f.dayFile(DATE1)}));
    // The lines the first file never took are counted in the one that opens.
    const QStringList lastFile = textsOf(readEvents(f.dayFile(TODAY.addDays(-1).toString(Qt::ISODate))));
    ASSERT_EQ(lastFile.size(), 2);
    EXPECT_TRUE(lastFile[0].startsWith("3 lines could not be written to the main file since ")) << lastFile[0].toStdString();
    EXPECT_EQ(lastFile[1], "c");
}

// A client picks the dates of its lines: only those of the days around the
// server's own open a daily file of their own.
TEST(LoggerServer, EventDatesOutsideTheWindowGoToTheMainFileInUse)
{
    struct Case
    {
        const char* name;
        QString timestamp;
        bool ownFile;
    };
    const auto at = [](int days) { return TODAY.addDays(days).toString(Qt::ISODate) + "T12:00:00.000+00:00"; };
    const Case cases[] = {
        {"yesterday", at(-1), true},  {"tomorrow", at(1), true},      {"two days ago", at(-2), false},
        {"in two days", at(2), false}, {"year 2000", "2000-01-01T10:00:00.000+00:00", false},
        {"no date", "not a time", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerFixture f;
        f.listen();
        auto client = f.connectClient("dates", 5);
        client->write(wire(INFO, "today first"));
        client->write(wire(INFO, "the line", c.timestamp));
        ASSERT_TRUE(until([&] { return f.logged("the line"); }));
        const QString own = f.dayFile(QDateTime::fromString(c.timestamp, Qt::ISODateWithMs).date().toString(Qt::ISODate));
        const QString inUse = c.ownFile ? own : f.dayFile(DATE1);
        EXPECT_TRUE(textsOf(readEvents(inUse)).contains("the line"));
        EXPECT_EQ(QFileInfo::exists(own), c.ownFile);
        // The line keeps its own date.
        for (const LoggerEvent& e : readEvents(inUse)) {
            if (e.text == "the line") {
                EXPECT_EQ(e.timestamp, c.timestamp);
            }
        }
        EXPECT_EQ(f.countLevel(WARN), c.ownFile ? 0 : 1);
    }

    // A client that dates each line a day further makes no file per line, and its
    // run of them is said once: no count of more follows.
    ServerFixture f;
    f.listen();
    f.server->setWarningWindow(300);
    auto client = f.connectClient("dates", 6);
    QByteArray lines;
    for (int i = 0; i < 5001; ++i)
        lines += wire(INFO, QStringLiteral("dated %1").arg(i), QDate(2000, 1, 1).addDays(i).toString(Qt::ISODate) + "T10:00:00.000+00:00");
    client->write(lines + wire(INFO, "done"));
    ASSERT_TRUE(until([&] { return f.logged("done"); }, 15000));
    TestWait::spin(700);
    EXPECT_LE(QDir(f.inLogDir("")).entryList(QDir::Files).size(), 3);
    EXPECT_EQ(f.countLevel(WARN), 1) << textsOf(f.events).filter("more connections").join('\n').toStdString();
    EXPECT_EQ(textsOf(readFolderEvents(f.inLogDir(""))).filter(QRegularExpression("^dated \\d+$")).size(), 5001);

    // With no main file open yet, such a line opens the file of the server's date.
    ServerFixture fresh;
    fresh.server->writeLogEvent(LoggerEvent(LoggerClientInfo("a", 1), msgAt("not a time", INFO, "first of all")));
    EXPECT_TRUE(textsOf(readEvents(fresh.dayFile(DATE1))).contains("first of all"));
    EXPECT_FALSE(QFileInfo::exists(fresh.dayFile("")));
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
    QFile day(f.dayFile(DATE1));
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
    const mode_t umask = ::umask(022);
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
    EXPECT_FALSE(QFileInfo::exists(f.dayFile(DATE2)));
    EXPECT_FALSE(textsOf(readEvents(f.dayFile(DATE1))).contains("day one"));

    // A file that cannot be opened leaves the fixed one in use.
    const QString bad = f.inLogDir("no/such/folder/x.log");
    client.write(LoggerCmdChangeFileMsg("main_file", bad).toEncoded());
    client.write(wire(INFO, "still fixed", DAY2));
    ASSERT_TRUE(until([&] { return f.logged("still fixed"); }));
    EXPECT_TRUE(f.logged("refused main file " + bad + ": No such file or directory"));
    EXPECT_FALSE(f.logged("writing to file " + bad));
    EXPECT_EQ(f.fileChanges.last(), fixed);
    EXPECT_TRUE(textsOf(readEvents(fixed)).contains("still fixed"));
    EXPECT_FALSE(QFileInfo::exists(f.dayFile(DATE2)));

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
    EXPECT_EQ(modeOf(fixed), 0600u);
    EXPECT_EQ(modeOf(other), 0600u);
    ::umask(umask);
}

// A client may not make the server append to any file its user can write: only
// regular files inside the log folder or an allowed folder. A refusal is one ERROR
// line, and the daily file goes on.
TEST(LoggerServer, ChangeMainFileRefusals)
{
    ServerFixture f;
    f.listen();
    // Each refusal said, not rate-limited, so that each case shows its reason.
    f.server->setWarningWindow(0);
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
        EXPECT_EQ(f.server->mainFilepath(), f.dayFile(DATE1));
        EXPECT_TRUE(textsOf(readEvents(f.dayFile(DATE1))).contains(after));
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

    // At the bound the longest-silent connection makes way for a new one: b, whose
    // last line is older than a's and d's. The line it had begun is lost, and said.
    b->write("partial");
    ASSERT_TRUE(until([&] { return f.server->partialBytes() == 7; }));
    auto e = f.connectClient("e", 7);
    ASSERT_TRUE(until([&] { return f.connected.size() == 7 && b->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(f.logged("[b 2] closing the connection: the longest silent of 3, for a new one"));
    EXPECT_TRUE(f.logged("[b 2] dropped a partial line of 7 bytes with the connection"));
    EXPECT_EQ(f.server->connectionCount(), 3);
    EXPECT_EQ(a->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(d->state(), QAbstractSocket::ConnectedState);
    e->write(wire(INFO, "e got in"));
    EXPECT_TRUE(until([&] { return f.logged("e got in"); }));
    EXPECT_FALSE(f.logged("[b 2] disconnected")) << "said once, by the line above";
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

// A connection that sends no complete line is closed once the silence timeout
// has passed since it connected; one that sent a line stays however quiet.
TEST(LoggerServer, SilentConnectionsAreClosed)
{
    ServerFixture f;
    const quint16 port = f.listen();
    f.server->setSilenceTimeout(200);
    std::vector<std::unique_ptr<QTcpSocket>> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(std::make_unique<QTcpSocket>());
        silent.back()->connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(silent.back()->waitForConnected(5000));
    }
    // A partial line is no line.
    silent[2]->write(wire(INFO, "never ends").chopped(1));
    auto talker = f.connectClient("talker", 9);
    ASSERT_TRUE(until([&] { return f.connected.size() == 1; }));
    ASSERT_TRUE(until([&] {
        return std::all_of(silent.begin(), silent.end(),
                           [](const auto& s) { return s->state() == QAbstractSocket::UnconnectedState; });
    }, 5000));
    EXPECT_EQ(f.server->connectionCount(), 1);
    TestWait::spin(400);
    EXPECT_EQ(talker->state(), QAbstractSocket::ConnectedState);
    talker->write(wire(INFO, "still here"));
    EXPECT_TRUE(until([&] { return f.logged("still here"); }));
    EXPECT_FALSE(f.logged("never ends"));
    // Said once for the peer, the others counted; no line per socket state.
    EXPECT_EQ(textsOf(f.events).count("[ 0] closing the connection: no line within 200 ms of connecting"), 1);
    EXPECT_FALSE(f.logged("[ 0] disconnected"));
    EXPECT_FALSE(f.logged("[ 0] socket state changed: UnconnectedState"));
}

// Whatever a peer repeats, its warnings of one kind make one line per window,
// then one line with the count of those not said.
TEST(LoggerServer, PeerWarningsAreRateLimited)
{
    constexpr int repeats = 20;
    struct Case
    {
        const char* name;
        // Makes the peer's fault once over a new or the given connection.
        std::function<void(ServerFixture&, QTcpSocket&)> fault;
        QString first;
        QRegularExpression summary;
        bool qtWarning;
    };
    const Case cases[] = {
        {"HTTP request",
         [](ServerFixture& f, QTcpSocket&) {
             QTcpSocket page;
             page.connectToHost(QHostAddress::LocalHost, f.server->serverPort());
             page.waitForConnected(5000);
             page.write("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
             until([&] { return page.state() == QAbstractSocket::UnconnectedState; });
         },
         "[ 0] closing the connection: its first line is an HTTP request",
         QRegularExpression("^closed (\\d+) more connections from 127\\.0\\.0\\.1 whose first line is an HTTP request$"), false},
        {"refused main file",
         [](ServerFixture&, QTcpSocket& client) { client.write(LoggerCmdChangeFileMsg("main_file", "/etc/x.log").toEncoded()); },
         "refused main file /etc/x.log: outside the allowed folders",
         QRegularExpression("^refused (\\d+) more main files from 127\\.0\\.0\\.1$"), false},
        {"empty line", [](ServerFixture&, QTcpSocket& client) { client.write("\n"); },
         "logger protocol warn - dropped 0 bytes while processing",
         QRegularExpression("^logger protocol warn - dropped (\\d+) more lines from 127\\.0\\.0\\.1 while processing$"), true},
        {"dates outside the window",
         [](ServerFixture& f, QTcpSocket&) {
             const auto seen = [&] { return textsOf(f.events).count("old line"); };
             const auto before = seen();
             auto c = f.connectClient("old", 3);
             c->write(wire(INFO, "old line", "2000-01-01T10:00:00.000+00:00"));
             until([&] { return seen() > before; });
         },
         QStringLiteral("[old 3] lines dated 2000-01-01, outside %1 to %2, go to the current main file")
             .arg(TODAY.addDays(-1).toString(Qt::ISODate), DATE2),
         QRegularExpression("^(\\d+) more connections from 127\\.0\\.0\\.1 sent lines dated outside the window; they "
                            "went to the current main file$"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QtMessageCapture qt;
        ServerFixture f;
        f.listen();
        f.server->setWarningWindow(800);
        auto client = f.connectClient("myapp", 42);
        ASSERT_TRUE(until([&] { return f.connected.size() == 1; }));
        for (int i = 0; i < repeats; ++i)
            c.fault(f, *client);
        client->write(wire(INFO, "marker"));
        ASSERT_TRUE(until([&] { return f.logged("marker"); }));
        QStringList said = c.qtWarning ? qt.warnings : textsOf(f.events);
        // The count of those not said comes once the window ends.
        ASSERT_TRUE(until([&] {
            said = c.qtWarning ? qt.warnings : textsOf(f.events);
            return !said.filter(c.summary).isEmpty();
        }, 5000)) << said.join('\n').toStdString();
        const int sayings = static_cast<int>(said.count(c.first));
        int counted = 0;
        for (const QString& line : said.filter(c.summary))
            counted += c.summary.match(line).captured(1).toInt();
        EXPECT_GE(sayings, 1);
        EXPECT_LE(sayings, 2) << "one per window";
        EXPECT_EQ(sayings + counted, repeats);
    }
}

// The goal: a page that loops fetch() against the port costs little log.
TEST(LoggerServer, ThousandHttpRequestsAddLittleToTheLog)
{
    ServerFixture f;
    const quint16 port = f.listen();
    auto client = f.connectClient("myapp", 42);
    client->write(wire(INFO, "before"));
    ASSERT_TRUE(until([&] { return f.logged("before"); }));
    const qint64 before = QFileInfo(f.dayFile(DATE1)).size();
#if defined(__SANITIZE_ADDRESS__)
    constexpr int requests = 300;
#else
    constexpr int requests = 1000;
#endif
    for (int i = 0; i < requests; ++i) {
        QTcpSocket page;
        page.connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(page.waitForConnected(5000));
        page.write("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello");
        ASSERT_TRUE(until([&] { return page.state() == QAbstractSocket::UnconnectedState; }));
    }
    client->write(wire(INFO, "after"));
    ASSERT_TRUE(until([&] { return f.logged("after"); }));
    EXPECT_LT(QFileInfo(f.dayFile(DATE1)).size() - before, 50 * 1000 * requests / 1000);
    EXPECT_EQ(f.server->connectionCount(), 1);
}

// The goal: a thousand connections that hold their places doing nothing do not
// keep a client that writes out.
TEST(LoggerServer, ThousandSilentConnectionsDoNotLockAWriterOut)
{
    constexpr int held = LoggerServer::DEFAULT_MAX_CONNECTIONS;
    // Each held connection costs a descriptor here and one in the server.
    if (!LoggerTest::haveDescriptors(2 * held + 200))
        GTEST_SKIP() << "needs " << 2 * held + 200 << " descriptors";
    ServerFixture f;
    const quint16 port = f.listen();
    // Not the timeout: the writer must get in while they are all held.
    f.server->setSilenceTimeout(120000);
    std::vector<int> fds;
    for (int i = 0; i < held; ++i) {
        const int fd = rawConnect(port);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    ASSERT_TRUE(until([&] { return f.server->connectionCount() == held; }, 15000));

    QElapsedTimer clock;
    clock.start();
    auto writer = f.connectClient("writer", 77);
    for (int i = 0; i < 100; ++i)
        writer->write(wire(INFO, QStringLiteral("good %1").arg(i)));
    const bool all = until([&] { return f.logged("good 99"); }, 15000);
    EXPECT_TRUE(all);
    EXPECT_LT(clock.elapsed(), 15000);
    int good = 0;
    for (const LoggerEvent& e : readEvents(f.dayFile(DATE1)))
        good += e.clientName == "writer" && e.text.startsWith("good ");
    EXPECT_EQ(good, 100);
    // The holder's connections had only just connected: the bound is back a moment later.
    EXPECT_TRUE(until([&] { return f.server->connectionCount() == held; }, 5000)) << f.server->connectionCount();
    for (int fd : fds)
        ::close(fd);
}

// Control characters of a peer's text reach neither the files nor the console
// copy as they are: a terminal or cat would act on them.
TEST(LoggerServer, ControlCharactersAreWrittenEscaped)
{
    struct Case
    {
        QString text;
        QByteArray written;
    };
    const Case cases[] = {
        {"red \x1b[31mtext", "red \\x1b[31mtext"},
        {"over\rwrite", "over\\x0dwrite"},
        {QString("nul") + QChar(0) + "bel\x07", "nul\\x00bel\\x07"},
        {"del\x7f", "del\\x7f"},
        {QString("csi") + QChar(0x9b) + "2J", "csi\\x9b2J"},
        {"tab\tstays", "tab\tstays"},
        {QString("latin ") + QChar(0xe9), "latin \xe9"},
        {"back\\slash", "back\\slash"},
    };
    ServerFixture f;
    auto* console = new QBuffer;
    console->open(QIODevice::WriteOnly);
    f.server->attachQIODevice(console);
    const LoggerClientInfo who("na\x1bme", 1);
    for (const Case& c : cases)
        f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, c.text)));
    const QList<QByteArray> fileLines = TestWait::readFile(f.dayFile(DATE1)).split('\n');
    const QList<QByteArray> consoleLines = console->data().split('\n');
    ASSERT_GE(fileLines.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].written.toStdString());
        EXPECT_TRUE(fileLines[i].endsWith(" - INFO - " + cases[i].written)) << fileLines[i].toStdString();
        EXPECT_TRUE(fileLines[i].contains(" - na\\x1bme - "));
        EXPECT_EQ(consoleLines[i], fileLines[i]);
    }
}

namespace {

// The resident memory of this process, in bytes.
qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

} // namespace

// Clients that connect, send a line and close, one after another from several
// threads, reach a small bound of connections by themselves, as a loop of short
// lived clients reaches the real one on a loaded machine: each connection is read
// to its end before its place goes to another, and every line is written.
TEST(LoggerServer, ShortLivedClientsPastTheBoundLoseNoLine)
{
    ServerFixture f;
    const quint16 port = f.listen();
    // Two clients that have sent and gone, not yet read, and a third at the bound
    // of two: the ones gone are read to their end and released, not closed for it.
    f.server->setMaxConnections(2);
    int third = -1;
    for (const char* name : {"gone1", "gone2", "third"}) {
        const int fd = rawConnect(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, initWire(name, 1) + LoggerEventMsg("early", "e.cpp", 1, INFO, QStringLiteral("from ") + name).toEncoded()));
        if (QByteArray(name) == "third")
            third = fd;
        else
            ::close(fd);
    }
    ASSERT_TRUE(until([&] { return f.logged("from gone1") && f.logged("from gone2") && f.logged("from third"); }));
    ::close(third);
    EXPECT_TRUE(f.logged("[gone1 1] disconnected"));
    EXPECT_TRUE(f.logged("[gone2 1] disconnected"));
    EXPECT_EQ(f.countLevel(WARN), 0) << textsOf(f.events).join('\n').toStdString();
    ASSERT_TRUE(until([&] { return f.server->connectionCount() == 0; }));

    // A connection that has only just connected and sent nothing yet does not make
    // way: the newcomer comes in over the bound, and the bound is back later.
    f.server->setMaxConnections(1);
    const int young = rawConnect(port);
    ASSERT_GE(young, 0);
    ASSERT_TRUE(until([&] { return f.server->connectionCount() == 1; }));
    const int newcomer = rawConnect(port);
    ASSERT_GE(newcomer, 0);
    ASSERT_TRUE(sendAll(newcomer, initWire("newcomer", 3) + LoggerEventMsg("early", "e.cpp", 1, INFO, "from the newcomer").toEncoded()));
    ASSERT_TRUE(until([&] { return f.logged("from the newcomer"); }));
    ASSERT_TRUE(sendAll(young, initWire("young", 4) + LoggerEventMsg("early", "e.cpp", 1, INFO, "from the young").toEncoded()));
    EXPECT_TRUE(until([&] { return f.logged("from the young"); }));
    EXPECT_TRUE(until([&] { return f.server->connectionCount() == 1; }));
    ::close(young);
    ::close(newcomer);
    ASSERT_TRUE(until([&] { return f.server->connectionCount() == 0; }));

    // Past every place, a newcomer is refused, but what it sent is written.
    f.server->setMaxConnections(0);
    const int refused = rawConnect(port);
    ASSERT_GE(refused, 0);
    ASSERT_TRUE(sendAll(refused, initWire("refused", 2) + LoggerEventMsg("early", "e.cpp", 1, INFO, "from the refused").toEncoded()));
    EXPECT_TRUE(until([&] { return f.logged("from the refused"); }));
    EXPECT_TRUE(f.logged(ConnectionAdmission::refusingText(0)));
    ::close(refused);
    ASSERT_TRUE(until([&] { return f.server->connectionCount() == 0; }));

    f.server->setMaxConnections(8);
    constexpr int senders = 4;
    constexpr int perSender = 300;
    QHash<QString, QList<QByteArray>> sent;
    std::atomic<int> failed{0};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t) {
        const LoggerClientInfo who(QStringLiteral("loop%1").arg(t), 100 + t);
        QList<QByteArray> lines;
        for (int i = 0; i < perSender; ++i)
            lines << wire(INFO, QStringLiteral("loop %1 line %2").arg(t).arg(i));
        for (const QByteArray& line : std::as_const(lines))
            sent[who.name] << LoggerTest::fileLineOf(who, line.chopped(1));
        threads.emplace_back([&failed, &done, port, who, lines] {
            for (const QByteArray& line : lines) {
                const int fd = rawConnect(port);
                failed += fd < 0 || !sendAll(fd, initWire(who.name, who.pid) + line);
                if (fd >= 0)
                    ::close(fd);
            }
            ++done;
        });
    }
    const auto written = [&] {
        return static_cast<int>(std::count_if(f.events.begin(), f.events.end(),
                                              [](const LoggerEvent& e) { return e.component == "test"; }));
    };
    const bool all = until([&] { return done == senders && written() == senders * perSender; }, 60000);
    for (std::thread& t : threads)
        t.join();
    EXPECT_TRUE(all) << written() << " of " << senders * perSender;
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(LoggerTest::sameLinesPerClient(sent, LoggerTest::folderLines(f.home.path() + "/.veklogs"), "test"));
    EXPECT_TRUE(until([&] { return f.server->connectionCount() == 0; }));
}

// A main file on a full disk (a file-size limit here) keeps whole lines only: the
// line a write cut is taken back, the error says the system's reason, writes are
// tried again a few times a second rather than for every line, and the first line
// the file takes again says how many lines it lost, and since when. Every event is
// either in the file or counted.
TEST(LoggerServer, MainFileOnAFullDiskKeepsWholeLinesAndCountsTheLost)
{
    ServerFixture f;
    const LoggerClientInfo who("filler", 9);
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, "first")));
    const QString path = f.dayFile(DATE1);
    ASSERT_TRUE(QFileInfo::exists(path));

    // Past the limit a write is cut short, then fails; the signal would end the process.
    constexpr rlim_t limit = 16 * 1024;
    struct sigaction ignore = {};
    struct sigaction before = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &before), 0);
    rlimit was{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
    const rlimit small{limit, was.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QDateTime started = QDateTime::currentDateTime();
    for (int i = 0; i < 400; ++i)
        f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, QStringLiteral("fill %1 ").arg(i) + QString(i % 97, 'x'))));
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &was), 0);
    QFile full(path);
    ASSERT_TRUE(full.open(QIODevice::ReadOnly));
    const QByteArray atLimit = full.readAll();
    EXPECT_LE(atLimit.size(), static_cast<qsizetype>(limit));
    EXPECT_TRUE(atLimit.endsWith('\n')) << "a cut line is left: " << atLimit.right(40).toStdString();
    // Room again, but too soon for a new try: this line is counted, not written.
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, "too soon")));
    const qsizetype eventsBefore = f.events.size();
    const qsizetype linesBefore = LoggerTest::folderLines(f.home.path() + "/.veklogs").size();
    TestWait::spin(MainFile::RETRY_MS + 100);
    f.server->writeLogEvent(LoggerEvent(who, msgAt(DAY1, INFO, "room again")));
    ::sigaction(SIGXFSZ, &before, nullptr);

    // Every line is an event the server wrote, whole, in order, up to the count line.
    const QList<QByteArray> lines = LoggerTest::folderLines(f.home.path() + "/.veklogs");
    QList<QByteArray> all;
    for (const LoggerEvent& e : std::as_const(f.events))
        all << e.toEncoded();
    const QRegularExpression count("^(\\d+) lines could not be written to the main file since (\\S+)$");
    qsizetype at = 0;
    qsizetype countLine = -1;
    qint64 counted = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = count.match(LoggerEvent(lines[i]).text);
        if (m.hasMatch()) {
            ASSERT_EQ(countLine, -1) << "said once";
            countLine = i;
            counted = m.captured(1).toLongLong();
            const QDateTime since = QDateTime::fromString(m.captured(2), Qt::ISODateWithMs);
            EXPECT_TRUE(since.isValid() && since >= started.addMSecs(-1000) && since <= QDateTime::currentDateTime())
                << m.captured(2).toStdString();
            EXPECT_EQ(LoggerEvent(lines[i]).level, ERROR);
            continue;
        }
        while (at < all.size() && all[at] != lines[i])
            ++at;
        ASSERT_LT(at, all.size()) << "not a line the server wrote: " << lines[i].toStdString();
        ++at;
    }
    ASSERT_GE(countLine, 1);
    EXPECT_EQ(countLine, linesBefore) << "nothing written between the failure and the count";
    EXPECT_EQ(counted, eventsBefore - countLine) << "written and counted make every event";
    EXPECT_EQ(LoggerEvent(lines.last()).text, "room again");
    const LoggerEvent* error = nullptr;
    for (const LoggerEvent& e : std::as_const(f.events)) {
        if (e.text.startsWith("cannot write main file "))
            error = error == nullptr ? &e : error;
    }
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text, "cannot write main file " + path + ": " + QString::fromLocal8Bit(std::strerror(EFBIG)));
    EXPECT_EQ(std::count_if(f.events.begin(), f.events.end(),
                            [](const LoggerEvent& e) { return e.text.startsWith("cannot write main file "); }),
              1);
}

// Memory that the partial lines of many connections held goes back to the system
// once the connections are gone, however small each line was.
TEST(LoggerServer, PartialLineMemoryIsReturnedOnceTheConnectionsAreGone)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers keep freed memory";
#endif
    constexpr int connections = 300;
    constexpr qsizetype partial = 64 * 1024;
    if (!LoggerTest::haveDescriptors(2 * connections + 200))
        GTEST_SKIP() << "needs " << 2 * connections + 200 << " descriptors";
    ServerFixture f;
    const quint16 port = f.listen();
    f.server->setMaxPartialBytes(qint64(connections) * partial * 2);
    TestWait::spin(200);
    const qint64 idle = residentBytes();
    qint64 held = 0;
    for (int round = 0; round < 3; ++round) {
        std::vector<int> fds;
        const QByteArray bytes = initWire("holder", 5) + QByteArray(partial, 'p');
        for (int i = 0; i < connections; ++i) {
            const int fd = rawConnect(port);
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(sendAll(fd, bytes));
            fds.push_back(fd);
        }
        ASSERT_TRUE(until([&] { return f.server->partialBytes() == qint64(connections) * partial; }, 20000))
            << f.server->partialBytes();
        held = std::max(held, residentBytes());
        for (int fd : fds)
            ::close(fd);
        ASSERT_TRUE(until([&] { return f.server->connectionCount() == 0; }, 20000));
    }
    TestWait::spin(ServerConnections::RELEASE_DELAY_MS + 300);
    const qint64 after = residentBytes();
    EXPECT_GT(held - idle, connections * partial / 2) << "the lines were held";
    EXPECT_LT(after - idle, (held - idle) / 4) << "idle " << idle << ", held " << held << ", after " << after;
}
