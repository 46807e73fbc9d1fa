#include "gselib/services/gsecomm.h"
#include "gselib/services/localsocketpath.h"
#include "otheruser.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "support/qtprinters.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <gtest/gtest.h>
#include <QFile>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using GseLib::GseComm;
using TestOther::OtherUser;
using TestOther::Role;
using TestSupport::LogCapture;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;
using TestWait::until;

namespace {

QByteArray madeFolder(const TempDir& dir, const char* name)
{
    const QByteArray path = dir.filePath(name).toLocal8Bit();
    ::mkdir(path.constData(), 0700);
    return path;
}

// The sending application: a local server of that name in the test's own
// runtime folder, where the link looks for it.
struct GseCommTest : ::testing::Test
{
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().toLocal8Bit()};
    ScopedEnv home{"HOME", dir.path().toLocal8Bit()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", madeFolder(dir, "run")};
    LogCapture log;
    std::unique_ptr<QLocalServer> server;
    QPointer<QLocalSocket> peer;
    int connections = 0;
    QStringList archives;

    void startServer(const QString& path = QString())
    {
        server = std::make_unique<QLocalServer>();
        connections = 0;
        const QString at = path.isEmpty() ? linkPath() : path;
        ASSERT_TRUE(server->listen(at)) << server->errorString().toStdString();
        QObject::connect(server.get(), &QLocalServer::newConnection, [this] {
            while (QLocalSocket* s = server->nextPendingConnection()) {
                peer = s;
                ++connections;
            }
        });
    }

    void stopServer()
    {
        if (peer)
            peer->abort();
        server.reset();
    }

    void watch(GseComm& comm)
    {
        QObject::connect(&comm, &GseComm::cmdOpenArchive, [this](const QString& p) { archives << p; });
    }

    // Sends bytes in one write and waits until the link has dealt with the
    // commands they hold (each a signal or a warning).
    void send(const QByteArray& bytes, int commands = 1)
    {
        const qsizetype before = archives.size() + log.count("Invalid gse message", "gse_comm");
        ASSERT_TRUE(peer);
        peer->write(bytes);
        peer->flush();
        ASSERT_TRUE(until([&] { return archives.size() + log.count("Invalid gse message", "gse_comm") >= before + commands; }))
            << bytes.toStdString();
    }

    QStringList texts() const { return log.texts("gse_comm"); }
    QString linkPath() const { return dir.filePath("run/GSE_LOCAL"); }
    QString ownTempFolder() const { return dir.filePath(QStringLiteral("gse-%1").arg(::geteuid())); }
};

} // namespace

TEST_F(GseCommTest, TidPathMessagesBecomeOpenArchiveSignals)
{
    startServer();
    GseComm comm;
    watch(comm);
    ASSERT_TRUE(until([&] { return comm.isConnected() && peer; }));
    EXPECT_EQ(log.texts("gse_comm", DEBUG), QStringList{"Connected to GSE_LOCAL"});

    send("TID_PATH:/data/run1/tm.dat");
    send("TID_PATH:");
    send("TID_PATH:/with:colon");
    send("TID_PATH:/keeps/line end\n");
    // Commands that arrive together are cut apart before each command word.
    send("TID_PATH:/oneTID_PATH:/two", 2);
    send(QString::fromUtf8("TID_PATH:/d/\xc3\xa9t\xc3\xa9TID_PATH:/\xc3\xa9").toUtf8(), 2);
    // The command word inside a path cuts only where its colon follows, as a colon cuts anyway.
    send("TID_PATH:/runs/TID_PATH_7/tm");
    send("TID_PATH:/runs/TID_PATH:x", 2);
    EXPECT_EQ(archives, (QStringList{"/data/run1/tm.dat", "", "/with", "/keeps/line end\n", "/one", "/two",
                                     QString::fromUtf8("/d/\xc3\xa9t\xc3\xa9"), QString::fromUtf8("/\xc3\xa9"),
                                     "/runs/TID_PATH_7/tm", "/runs/", "x"}));
    EXPECT_TRUE(log.texts("gse_comm", WARN).isEmpty());
}

TEST_F(GseCommTest, ABurstOfCommandsGivesOneSignalEachWithItsOwnPath)
{
    startServer();
    GseComm comm;
    watch(comm);
    ASSERT_TRUE(until([&] { return comm.isConnected() && peer; }));
    constexpr int COUNT = 100000;
    QByteArray burst;
    for (int i = 0; i < COUNT; ++i)
        burst += "TID_PATH:/p/" + QByteArray::number(i);
    comm.setTailWait(60000); // however slowly the burst is read, the last command ends with the link
    peer->write(burst);
    ASSERT_TRUE(until([&] { return archives.size() >= COUNT - 1; }, 60000)) << archives.size();
    peer->disconnectFromServer();
    ASSERT_TRUE(until([&] { return archives.size() >= COUNT; })) << archives.size();
    TestWait::spin(50);
    ASSERT_EQ(archives.size(), COUNT);
    for (int i = 0; i < COUNT; ++i)
        ASSERT_EQ(archives[i], QStringLiteral("/p/%1").arg(i));
    EXPECT_TRUE(log.texts("gse_comm", WARN).isEmpty());
}

TEST_F(GseCommTest, ACommandCutAcrossReadsIsJoinedAndTheLastWaitsForItsEnd)
{
    startServer();
    GseComm comm;
    EXPECT_EQ(comm.tailWait(), 100);
    comm.setTailWait(60000); // only what follows, or the sender's going, ends a command here
    watch(comm);
    ASSERT_TRUE(until([&] { return comm.isConnected() && peer; }));

    auto part = [this](const QByteArray& bytes) {
        peer->write(bytes);
        peer->flush();
        TestWait::spin(50); // read on its own
    };
    part("TID_PATH:/spl");
    part("it/tm.datTID_PA");
    EXPECT_TRUE(archives.isEmpty()) << "the command may go on";
    part("TH:/next");
    EXPECT_EQ(archives, QStringList{"/split/tm.dat"});
    // Without a delimiter, what comes before the next command word goes on the open one.
    part("/more");
    part("TID_PATH:/after");
    EXPECT_EQ(archives, (QStringList{"/split/tm.dat", "/next/more"}));

    // A command still open past the bound is taken as it stands, without waiting.
    // (One byte past the bound in all, so however it is read it ends whole.)
    const QByteArray huge = "TID_PATH:/" + QByteArray(GseComm::MAX_PENDING_BYTES - 9, 'h');
    peer->write(huge);
    peer->flush();
    ASSERT_TRUE(until([&] { return archives.size() == 4; }, 10000)) << archives.size();
    EXPECT_EQ(archives[2], "/after");
    EXPECT_EQ(archives[3], QString::fromLatin1(huge.mid(9)));

    // When the sender goes, its last command is complete.
    part("TID_PATH:/last");
    peer->abort();
    ASSERT_TRUE(until([&] { return archives.size() == 5; }));
    EXPECT_EQ(archives.last(), "/last");
}

TEST_F(GseCommTest, OtherMessagesAreWarnedAboutAndTheLinkStays)
{
    startServer();
    GseComm comm;
    watch(comm);
    ASSERT_TRUE(until([&] { return comm.isConnected() && peer; }));

    send("tid_path:/lower/case");
    send("TID_PATH");
    send("OPEN:/x");
    EXPECT_TRUE(archives.isEmpty());
    // Text before a command word is a message of its own.
    send("junkTID_PATH:/after/junk", 2);
    EXPECT_EQ(log.texts("gse_comm", WARN), (QStringList{"Invalid gse message: tid_path:/lower/case",
                                                        "Invalid gse message: TID_PATH",
                                                        "Invalid gse message: OPEN:/x",
                                                        "Invalid gse message: junk"}));
    send("TID_PATH:/still/open");
    EXPECT_EQ(archives, (QStringList{"/after/junk", "/still/open"}));
    EXPECT_TRUE(comm.isConnected());
}

TEST_F(GseCommTest, RetriesSilentlyUntilTheFirstConnectionThenReportsLossAndReconnects)
{
    GseComm comm;
    EXPECT_EQ(comm.reconnectInterval(), 10000);
    comm.setReconnectInterval(100);
    TestWait::spin(350);
    EXPECT_FALSE(comm.isConnected());
    EXPECT_TRUE(texts().isEmpty()) << texts().join('|').toStdString();

    // The server comes up: the running retry timer finds it.
    startServer();
    ASSERT_TRUE(until([&] { return comm.isConnected(); }, 3000));
    EXPECT_EQ(texts(), QStringList{"Connected to GSE_LOCAL"});

    // The server drops the link but keeps listening: one retry brings it back.
    log.clear();
    ASSERT_TRUE(until([&] { return bool(peer); }));
    peer->abort();
    ASSERT_TRUE(until([&] { return connections == 2 && comm.isConnected(); }, 3000)) << texts().join('|').toStdString();
    EXPECT_EQ(texts(), (QStringList{"Disconnected...retrying in 0.1 seconds", "Attempting to connect to GSE_LOCAL...",
                                    "Connected to GSE_LOCAL"}));

    // The server goes away: retries go on, now reported, until it is back.
    log.clear();
    stopServer();
    ASSERT_TRUE(until([&] { return log.count("Attempting to connect to GSE_LOCAL...") >= 3; }, 3000));
    EXPECT_FALSE(comm.isConnected());
    EXPECT_EQ(texts().first(), "Disconnected...retrying in 0.1 seconds");
    startServer();
    EXPECT_TRUE(until([&] { return comm.isConnected() && connections == 1; }, 3000));
    EXPECT_EQ(texts().last(), "Connected to GSE_LOCAL");
}

TEST_F(GseCommTest, DefaultRetryComesTenSecondsAfterALoss)
{
    startServer();
    GseComm comm;
    ASSERT_TRUE(until([&] { return comm.isConnected() && peer; }));
    log.clear();
    peer->abort();
    ASSERT_TRUE(until([&] { return !comm.isConnected(); }));
    ASSERT_TRUE(until([&] { return !texts().isEmpty(); }));
    EXPECT_EQ(log.texts("gse_comm", DEBUG), QStringList{"Disconnected...retrying in 10 seconds"});
    TestWait::spin(300);
    EXPECT_EQ(texts().size(), 1) << "no retry before the interval";
    EXPECT_EQ(connections, 1);
}

TEST_F(GseCommTest, TheLinkLooksInTheUsersOwnFolderAndNotInTheSharedOne)
{
    // Where any user could have made it: the plain name in the temporary folder.
    QLocalServer decoy;
    ASSERT_TRUE(decoy.listen(dir.filePath("GSE_LOCAL")));
    struct Where
    {
        const char* what;
        bool runtime;
        QString folder;
    };
    for (const Where& w : {Where{"runtime folder", true, dir.filePath("run")},
                           Where{"no runtime folder", false, ownTempFolder()}}) {
        SCOPED_TRACE(w.what);
        if (!w.runtime)
            qunsetenv("XDG_RUNTIME_DIR");
        archives.clear();
        GseComm comm;
        watch(comm);
        // The link may have made the folder itself, before the server: it is private.
        struct stat st{};
        ASSERT_EQ(::lstat(w.folder.toLocal8Bit().constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        comm.setReconnectInterval(50);
        startServer(w.folder + "/GSE_LOCAL");
        ASSERT_TRUE(until([&] { return comm.isConnected() && peer; }));
        send("TID_PATH:/ours");
        EXPECT_EQ(archives, QStringList{"/ours"});
        stopServer();
    }
    EXPECT_FALSE(decoy.hasPendingConnections());
    EXPECT_TRUE(log.texts("gse_comm", WARN).isEmpty()) << texts().join('|').toStdString();
}

TEST_F(GseCommTest, AnUnsafeSocketFolderIsToldOnceAndRetriedUntilItIsMended)
{
    qunsetenv("XDG_RUNTIME_DIR");
    madeFolder(dir, "elsewhere");
    ASSERT_EQ(::symlink(dir.filePath("elsewhere").toLocal8Bit().constData(), ownTempFolder().toLocal8Bit().constData()), 0);
    GseComm comm;
    watch(comm);
    comm.setReconnectInterval(50);
    TestWait::spin(300);
    EXPECT_FALSE(comm.isConnected());
    EXPECT_EQ(log.texts("gse_comm", WARN), QStringList{"Refused GSE_LOCAL: " + ownTempFolder() + " is a link"});

    ASSERT_EQ(::unlink(ownTempFolder().toLocal8Bit().constData()), 0);
    ASSERT_EQ(::mkdir(ownTempFolder().toLocal8Bit().constData(), 0700), 0);
    startServer(ownTempFolder() + "/GSE_LOCAL");
    ASSERT_TRUE(until([&] { return comm.isConnected() && peer; }, 3000));
    send("TID_PATH:/mended");
    EXPECT_EQ(archives, QStringList{"/mended"});
}

namespace {

struct ForeignLinkCase
{
    const char* what;
    Role role;
    const char* reason; // after "Refused GSE_LOCAL: "; %1 the socket path
};

const ForeignLinkCase FOREIGN_LINKS[] = {
    {"file", Role::SocketFileOfOther, "%1 belongs to user 65534"},
    {"process", Role::ProcessOfOther, "the peer runs as user 65534"},
};

struct GseCommForeign : GseCommTest, ::testing::WithParamInterface<ForeignLinkCase>
{};

} // namespace

TEST_P(GseCommForeign, AServerOfAnotherUserIsDroppedUnheard)
{
    const ForeignLinkCase& c = GetParam();
    if (!OtherUser::canSwitchUser())
        GTEST_SKIP() << "acting as another user needs root";
    auto other = std::make_unique<OtherUser>();
    ASSERT_TRUE(other->start(linkPath(), c.role, "TID_PATH:/chosen/by/them"));
    GseComm comm;
    watch(comm);
    comm.setReconnectInterval(50);
    TestWait::spin(400); // several retries, each refused
    EXPECT_TRUE(archives.isEmpty()) << archives.join('|').toStdString();
    EXPECT_FALSE(comm.isConnected());
    EXPECT_EQ(log.texts("gse_comm", WARN),
              QStringList{"Refused GSE_LOCAL: " + QString::fromLatin1(c.reason).replace("%1", linkPath())})
        << "told once however often it retries";
    EXPECT_FALSE(log.contains("Connected to GSE_LOCAL"));

    // A server of our own in its place is taken at the next retry.
    other.reset();
    QFile::remove(linkPath());
    startServer();
    ASSERT_TRUE(until([&] { return comm.isConnected() && peer; }, 3000));
    send("TID_PATH:/ours");
    EXPECT_EQ(archives, QStringList{"/ours"});
}

INSTANTIATE_TEST_SUITE_P(Servers, GseCommForeign, ::testing::ValuesIn(FOREIGN_LINKS),
                         [](const auto& info) { return std::string(info.param.what); });
