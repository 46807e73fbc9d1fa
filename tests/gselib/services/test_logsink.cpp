#include "gselib/services/logclient.h"
#include "gselib/services/logserver.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "support/streamcapture.h"
#include "otheruser.h"

#include <QDateTime>
#include <QFileInfo>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QStringList>
#include <fstream>
#include "gselib/services/localsocketpath.h"
#include <gtest/gtest.h>
#include <iostream>
#include <algorithm>
#include <cctype>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using TestOther::OtherUser;
using TestOther::Role;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;
using TestWait::readFile;
using TestWait::until;

namespace {

QByteArray madeFolder(const TempDir& dir, const char* name, mode_t mode = 0700)
{
    const QByteArray path = dir.filePath(name).toLocal8Bit();
    ::mkdir(path.constData(), mode);
    ::chmod(path.constData(), mode);
    return path;
}

mode_t modeOf(const QString& path)
{
    struct stat st{};
    return ::lstat(path.toLocal8Bit().constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

struct ScopedUmask
{
    explicit ScopedUmask(mode_t mask) : old(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old); }
    mode_t old;
};

// Every test gets its own temporary folder, runtime folder and home.
struct SinkFixture : ::testing::Test
{
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().toLocal8Bit()};
    ScopedEnv home{"HOME", dir.path().toLocal8Bit()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", madeFolder(dir, "run")};
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

    // Where a plain name's socket lands: the runtime folder the fixture set.
    QString socketPath(const QString& name = QStringLiteral("logger")) const { return dir.filePath("run/" + name); }
    // The private folder in the temporary folder.
    QString ownTempFolder() const { return dir.filePath(QStringLiteral("gse-%1").arg(::geteuid())); }
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

TEST_F(SinkFixture, SecondClientReplacesAndClosesTheFirstWhoseEndLeavesTheFileOpen)
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

    // The replaced client is closed; its going may not touch the file of its successor.
    ASSERT_TRUE(until([&] { return !first->isConnected(); }));
    first.reset();
    TestWait::spin(300);
    second->write("b2");
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" b2\n"); }))
        << readFile(logFile).toStdString() << serverErrors.join('|').toStdString();
    EXPECT_EQ(readFile(logFile).count('\n'), 2);
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
    const QByteArray path = socketPath().toLocal8Bit();
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
        ASSERT_FALSE(plain.listen(socketPath())) << "the stale name must block a plain listen";
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

TEST_F(SinkFixture, BytesAServerPushesAreReadAndThrownAway)
{
    // A server of this user's that pushes 200 MB at its client: the client
    // reads them a little at a time and keeps none.
    const GseLib::LocalSocketPath::Result where = GseLib::LocalSocketPath::resolve(QStringLiteral("logger"));
    ASSERT_TRUE(where.ok()) << where.error.toStdString();
    QLocalServer pusher;
    pusher.setSocketOptions(QLocalServer::UserAccessOption);
    ASSERT_TRUE(pusher.listen(where.path)) << pusher.errorString().toStdString();
    auto client = startClient();
    ASSERT_TRUE(until([&] { return pusher.hasPendingConnections() || client->isConnected(); }));
    ASSERT_TRUE(until([&] { return pusher.hasPendingConnections(); }));
    QLocalSocket* peer = pusher.nextPendingConnection();
    const QByteArray chunk(1 << 20, 'x');
    constexpr int CHUNKS = 200;
    int written = 0;
    const bool all = until(
        [&] {
            while (written < CHUNKS && peer->bytesToWrite() < 4 * chunk.size()) {
                peer->write(chunk);
                ++written;
            }
            return written == CHUNKS && peer->bytesToWrite() == 0;
        },
        30000);
    EXPECT_TRUE(all) << "the client stopped taking bytes after " << written << " MB";
#if !defined(__SANITIZE_ADDRESS__) // its quarantine keeps what was freed
    std::ifstream status("/proc/self/status");
    for (std::string word; status >> word;) {
        if (word == "VmHWM:") {
            double kb = 0;
            status >> kb;
            EXPECT_LT(kb / 1024.0, 160.0) << "the pushed bytes were held";
        }
    }
#endif
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

namespace {

// Where the sink and its client meet, by what the folders look like. Runs
// under umask 000, where a socket or folder made without care is open to all.
struct FolderCase
{
    const char* what;
    bool needsRoot;                     // makes files of another user
    void (*setup)(SinkFixture&);        // shapes the folders and the environment
    const char* socketAt;               // below the test folder, %1 the user id; null when refused
    const char* refusal;                // the reason, after the test folder's path
    const char* name = "logger";        // the name given; "@" stands for the test folder
};

const QByteArray OWN = "gse-" + QByteArray::number(::geteuid());

const FolderCase FOLDER_CASES[] = {
    {"runtime folder", false, [](SinkFixture&) {}, "run/logger", nullptr},
    {"runtime folder open to others is made private", false,
     [](SinkFixture& f) { ::chmod(f.dir.filePath("run").toLocal8Bit(), 0777); }, "run/logger", nullptr},
    {"no runtime folder", false, [](SinkFixture&) { qunsetenv("XDG_RUNTIME_DIR"); }, "gse-%1/logger", nullptr},
    {"empty runtime folder", false, [](SinkFixture&) { qputenv("XDG_RUNTIME_DIR", ""); }, "gse-%1/logger", nullptr},
    {"relative runtime folder", false, [](SinkFixture&) { qputenv("XDG_RUNTIME_DIR", "run"); }, "gse-%1/logger",
     nullptr},
    {"runtime folder that is a link", false,
     [](SinkFixture& f) {
         ::symlink(f.dir.filePath("run").toLocal8Bit(), f.dir.filePath("runlink").toLocal8Bit());
         qputenv("XDG_RUNTIME_DIR", f.dir.filePath("runlink").toLocal8Bit());
     },
     "gse-%1/logger", nullptr},
    {"runtime folder of another user", true,
     [](SinkFixture& f) { ::chown(f.dir.filePath("run").toLocal8Bit(), TestOther::OTHER_UID, TestOther::OTHER_GID); },
     "gse-%1/logger", nullptr},
    {"own temporary folder open to others is made private", false,
     [](SinkFixture& f) {
         qunsetenv("XDG_RUNTIME_DIR");
         madeFolder(f.dir, OWN.constData(), 0777);
     },
     "gse-%1/logger", nullptr},
    {"temporary folder that is a link", false,
     [](SinkFixture& f) {
         qunsetenv("XDG_RUNTIME_DIR");
         madeFolder(f.dir, "elsewhere");
         ::symlink(f.dir.filePath("elsewhere").toLocal8Bit(), f.dir.filePath(OWN).toLocal8Bit());
     },
     nullptr, "/gse-%1 is a link"},
    {"temporary folder that is a file", false,
     [](SinkFixture& f) {
         qunsetenv("XDG_RUNTIME_DIR");
         f.dir.write(OWN, "x");
     },
     nullptr, "/gse-%1 is not a folder"},
    {"temporary folder of another user", true,
     [](SinkFixture& f) {
         qunsetenv("XDG_RUNTIME_DIR");
         ::chown(madeFolder(f.dir, OWN.constData()), TestOther::OTHER_UID, TestOther::OTHER_GID);
     },
     nullptr, "/gse-%1 belongs to user 65534"},
    {"absolute name stays as given", false, [](SinkFixture&) {}, "sink.sock", nullptr, "@/sink.sock"},
};

struct SinkFolder : SinkFixture, ::testing::WithParamInterface<FolderCase>
{};

} // namespace

TEST_P(SinkFolder, SocketLivesInAFolderOfTheUsersOwnReachableByThemOnly)
{
    const FolderCase& c = GetParam();
    if (c.needsRoot && ::geteuid() != 0)
        GTEST_SKIP() << "making another user's folder needs root";
    const ScopedUmask open(0);
    c.setup(*this);
    const QString name = QString::fromLatin1(c.name).replace("@", dir.path());
    auto server = startServer(name);
    auto client = startClient(name);

    if (!c.socketAt) {
        const QString reason = dir.path() + QString::fromLatin1(c.refusal).arg(::geteuid());
        EXPECT_FALSE(server->isListening());
        ASSERT_TRUE(until([&] { return !serverErrors.isEmpty() && !clientMessages.isEmpty(); }));
        TestWait::spin(20);
        EXPECT_EQ(serverErrors, QStringList{"Error: LogServer unable to listen on logger: " + reason});
        client->write("lost");
        client->connectLogServer();
        TestWait::spin(20);
        EXPECT_EQ(clientMessages, QStringList{"Error: LogClient unable to connect to logger: " + reason})
            << "told once however often it tries";
        return;
    }
    const QString socket = dir.filePath(QString::fromLatin1(c.socketAt).arg(::geteuid()));
    ASSERT_TRUE(server->isListening()) << serverErrors.join('|').toStdString();
    EXPECT_EQ(server->fullServerName(), socket);
    EXPECT_EQ(modeOf(socket) & 077, 0u) << std::oct << modeOf(socket);
    EXPECT_EQ(modeOf(QFileInfo(socket).path()), 0700u) << std::oct << modeOf(QFileInfo(socket).path());
    ASSERT_TRUE(until([&] { return clientMessages.contains("Info: LogClient connected."); }))
        << clientMessages.join('|').toStdString();
    client->write("here");
    EXPECT_TRUE(until([&] { return readFile(logFile).endsWith(" here\n"); }));
    EXPECT_TRUE(serverErrors.isEmpty()) << serverErrors.join('|').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Folders, SinkFolder, ::testing::ValuesIn(FOLDER_CASES),
                         [](const auto& info) {
                             std::string n = info.param.what;
                             std::replace_if(n.begin(), n.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                             return n;
                         });

TEST_F(SinkFixture, ASinkThatCannotListenSaysWhyAndKeepsWhatHoldsItsPath)
{
    const QString notes = dir.write("notes.txt", "keep me");
    auto server = startServer(notes);
    EXPECT_FALSE(server->isListening());
    ASSERT_TRUE(until([&] { return !serverErrors.isEmpty(); }));
    EXPECT_EQ(serverErrors, QStringList{"Error: LogServer unable to listen on " + notes + ": " + notes + " is not a socket"});
    EXPECT_EQ(readFile(notes), "keep me");

    // A path the system will not bind is told with the reason it gave.
    serverErrors.clear();
    const QString nowhere = dir.filePath("no/such/folder/sink");
    auto lost = startServer(nowhere);
    EXPECT_FALSE(lost->isListening());
    ASSERT_TRUE(until([&] { return !serverErrors.isEmpty(); }));
    EXPECT_TRUE(serverErrors.first().startsWith("Error: LogServer unable to listen on " + nowhere + ": "))
        << serverErrors.first().toStdString();
    EXPECT_GT(serverErrors.first().size(), ("Error: LogServer unable to listen on " + nowhere + ": ").size());
}

TEST_F(SinkFixture, AnotherUsersFolderInTheSharedTemporaryFolderGetsNeitherTheSinkNorItsLines)
{
    if (!OtherUser::canSwitchUser())
        GTEST_SKIP() << "acting as another user needs root";
    // As in the shared temporary folder: anybody may create there, and the
    // other user was first, with a folder of our name and a socket in it.
    qunsetenv("XDG_RUNTIME_DIR");
    ::chmod(dir.path().toLocal8Bit(), 01777);
    OtherUser squatter;
    ASSERT_TRUE(squatter.start(ownTempFolder() + "/logger", Role::Squatter, ""));

    auto server = startServer();
    auto client = startClient();
    client->write("secret");
    ASSERT_TRUE(until([&] { return !serverErrors.isEmpty() && !clientMessages.isEmpty(); }));
    const QString reason = ownTempFolder() + " belongs to user 65534";
    EXPECT_FALSE(server->isListening());
    EXPECT_EQ(serverErrors, QStringList{"Error: LogServer unable to listen on logger: " + reason});
    EXPECT_EQ(clientMessages, QStringList{"Error: LogClient unable to connect to logger: " + reason});
    EXPECT_EQ(squatter.finish(), 0);
}

namespace {

struct ForeignServerCase
{
    const char* what;
    Role role;
    const char* reason; // after "Error: LogClient unable to connect to logger: "; %1 the socket path
};

const ForeignServerCase FOREIGN_SERVERS[] = {
    {"socket file of another user", Role::SocketFileOfOther, "%1 belongs to user 65534"},
    {"process of another user", Role::ProcessOfOther, "the peer runs as user 65534"},
};

struct SinkForeignServer : SinkFixture, ::testing::WithParamInterface<ForeignServerCase>
{};

} // namespace

TEST_P(SinkForeignServer, ClientSendsNoLineToAServerOfAnotherUser)
{
    const ForeignServerCase& c = GetParam();
    if (!OtherUser::canSwitchUser())
        GTEST_SKIP() << "acting as another user needs root";
    OtherUser other;
    ASSERT_TRUE(other.start(socketPath(), c.role, ""));
    auto client = startClient();
    client->write("secret");
    client->write("more");
    ASSERT_TRUE(until([&] { return !clientMessages.isEmpty(); }));
    TestWait::spin(50);
    EXPECT_EQ(clientMessages, QStringList{"Error: LogClient unable to connect to logger: " +
                                          QString::fromLatin1(c.reason).replace("%1", socketPath())});
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(other.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, SinkForeignServer, ::testing::ValuesIn(FOREIGN_SERVERS),
                         [](const auto& info) { return info.param.role == Role::SocketFileOfOther ? "file" : "process"; });

TEST_F(SinkFixture, AnotherUserCanNeitherReachTheSocketNorTakeTheFileOver)
{
    if (!OtherUser::canSwitchUser())
        GTEST_SKIP() << "acting as another user needs root";
    // A socket path the caller chose, in a folder every user can pass through.
    const ScopedUmask open(0);
    ::chmod(dir.path().toLocal8Bit(), 0755);
    const QString path = dir.filePath("sink.sock");
    auto server = startServer(path);
    ASSERT_TRUE(server->isListening());
    auto client = startClient(path);
    ASSERT_TRUE(until([&] { return client->isConnected(); }));
    client->write("mine");
    ASSERT_TRUE(until([&] { return readFile(logFile).endsWith(" mine\n"); }));
    const QByteArray mine = readFile(logFile);

    {
        OtherUser stranger;
        ASSERT_TRUE(stranger.start(path, Role::Client, "theirs CMD_CLEAR_LOG"));
        EXPECT_FALSE(stranger.connected());
        EXPECT_EQ(stranger.error(), EACCES);
    }
    // Opened up behind the server's back, the socket lets the stranger connect,
    // but the connection is dropped before it can replace ours.
    ::chmod(path.toLocal8Bit(), 0777);
    OtherUser stranger;
    ASSERT_TRUE(stranger.start(path, Role::Client, "theirs CMD_CLEAR_LOG"));
    ASSERT_TRUE(stranger.connected());
    TestWait::spin(200);
    EXPECT_EQ(readFile(logFile), mine);
    client->write("still mine");
    EXPECT_TRUE(until([&] { return readFile(logFile).endsWith(" still mine\n"); }));
    EXPECT_TRUE(readFile(logFile).startsWith(mine));
}

namespace {

// Pieces sent by one connection, each read on its own; "|" between pieces
// stands for a new connection.
struct SplitCase
{
    const char* what;
    std::vector<QByteArray> pieces;
    QByteArray file;
    int gapMs = 50;
};

const SplitCase SPLIT_CASES[] = {
    {"command in two reads 300 ms apart", {"line 1\nCMD_CLE", "AR_LOGafter\n"}, "after\n", 300},
    {"after its first byte", {"C", "MD_CLEAR_LOG"}, ""},
    {"before its last byte", {"text CMD_CLEAR_LO", "G"}, ""},
    {"over three reads", {"CMD_", "CLEAR_", "LOG", "x"}, "x"},
    {"right after another command", {"CMD_CLEAR_LOG", "CMD_CLEAR_LO", "Gy"}, "y"},
    {"bytes between the halves are no command", {"CMD_CLEAR_LO", "x", "G"}, "CMD_CLEAR_LOxG"},
    {"halves from two connections are no command", {"CMD_CLEAR_LO", "|", "G"}, "G"},
};

struct SinkSplit : SinkFixture, ::testing::WithParamInterface<SplitCase>
{};

} // namespace

TEST_P(SinkSplit, ClearCommandIsFoundAcrossReadsOfOneConnection)
{
    const SplitCase& c = GetParam();
    auto server = startServer();
    auto raw = std::make_unique<QLocalSocket>();
    raw->connectToServer(server->fullServerName());
    ASSERT_TRUE(raw->waitForConnected(2000));
    ASSERT_TRUE(fileIs(""));
    for (const QByteArray& piece : c.pieces) {
        if (piece == "|") {
            raw = std::make_unique<QLocalSocket>();
            raw->connectToServer(server->fullServerName());
            ASSERT_TRUE(raw->waitForConnected(2000));
        } else {
            raw->write(piece);
            raw->flush();
        }
        TestWait::spin(c.gapMs);
    }
    EXPECT_TRUE(fileIs(c.file)) << readFile(logFile).toStdString();
    EXPECT_TRUE(serverErrors.isEmpty()) << serverErrors.join('|').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Splits, SinkSplit, ::testing::ValuesIn(SPLIT_CASES), [](const auto& info) {
    std::string n = info.param.what;
    std::replace_if(n.begin(), n.end(), [](char ch) { return !std::isalnum(ch); }, '_');
    return n;
});

namespace {
int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}
} // namespace

TEST_F(SinkFixture, ReplacedConnectionsAreClosedSoHeldOnesCostTheHostNoDescriptors)
{
    auto server = startServer();
    constexpr int HELD = 300;
    const int before = openDescriptors();
    std::vector<std::unique_ptr<QLocalSocket>> held;
    for (int i = 0; i < HELD; ++i) {
        held.push_back(std::make_unique<QLocalSocket>());
        held.back()->connectToServer(server->fullServerName());
        ASSERT_TRUE(held.back()->waitForConnected(2000)) << i;
        held.back()->write(QByteArray::number(i));
        ASSERT_TRUE(fileIs(QByteArray::number(i))) << i;
    }
    // Each replaced peer sees its connection end; only the last stays.
    ASSERT_TRUE(until([&] {
        return std::count_if(held.begin(), held.end(),
                             [](const auto& s) { return s->state() == QLocalSocket::ConnectedState; }) == 1;
    }));
    EXPECT_EQ(held.back()->state(), QLocalSocket::ConnectedState);
    TestWait::spin(20);
    // The peers' own descriptors, one for the current connection, a few for Qt.
    EXPECT_LE(openDescriptors() - before, HELD + 8);
}
