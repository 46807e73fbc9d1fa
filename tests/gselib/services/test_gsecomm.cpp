#include "gselib/services/gsecomm.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "support/eventwait.h"

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

    // Sends one message in one write and waits until the link has dealt with it.
    void send(const QByteArray& bytes)
    {
        const qsizetype before = archives.size() + log.count("Invalid gse message", "gse_comm");
        ASSERT_TRUE(peer);
        peer->write(bytes);
        peer->flush();
        ASSERT_TRUE(until([&] { return archives.size() + log.count("Invalid gse message", "gse_comm") > before; }))
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
    send("TID_PATH:/oneTID_PATH:/two");
    send(QString::fromUtf8("TID_PATH:/d/\xc3\xa9t\xc3\xa9").toUtf8());
    EXPECT_EQ(archives, (QStringList{"/data/run1/tm.dat", "", "/with", "/keeps/line end\n", "/oneTID_PATH",
                                     QString::fromUtf8("/d/\xc3\xa9t\xc3\xa9")}));
    EXPECT_TRUE(log.texts("gse_comm", WARN).isEmpty());
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
    EXPECT_EQ(log.texts("gse_comm", WARN), (QStringList{"Invalid gse message: tid_path:/lower/case",
                                                        "Invalid gse message: TID_PATH",
                                                        "Invalid gse message: OPEN:/x"}));
    send("TID_PATH:/still/open");
    EXPECT_EQ(archives, QStringList{"/still/open"});
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
