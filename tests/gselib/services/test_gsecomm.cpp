#include "gselib/services/gsecomm.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "support/eventwait.h"
#include "support/qtprinters.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <gtest/gtest.h>
#include <memory>

using GseLib::GseComm;
using TestSupport::LogCapture;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;
using TestWait::until;

namespace {

// The sending application: a local server of that name under the test's own TMPDIR.
struct GseCommTest : ::testing::Test
{
    TempDir dir;
    ScopedEnv tmp{"TMPDIR", dir.path().toLocal8Bit()};
    ScopedEnv home{"HOME", dir.path().toLocal8Bit()};
    LogCapture log;
    std::unique_ptr<QLocalServer> server;
    QPointer<QLocalSocket> peer;
    int connections = 0;
    QStringList archives;

    void startServer()
    {
        server = std::make_unique<QLocalServer>();
        connections = 0;
        ASSERT_TRUE(server->listen(GseComm::SERVER_NAME)) << server->errorString().toStdString();
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
