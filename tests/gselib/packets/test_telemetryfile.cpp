#include "gselib/packets/ccsdspacket.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolvers.h"
#include "support/tempdir.h"
#include "tests/gselib/packets/archivetestdata.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace GseLib;
using namespace ArchiveTestData;

namespace {

class TelemetryFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DataInterpretation::init(nullptr, false, nullptr, {});
        cache = new TelemetryCache(new UnixTimeResolver);
        cache->setPacketFormat(TelemetryCache::CCSDS);
        TelemetryFile::setSharedCache(cache);
    }
    void TearDown() override { TelemetryFile::setSharedCache(nullptr); }

    // A CCSDS archive whose packets have the given APIDs.
    std::string archive(const QString& name, std::initializer_list<int> apids)
    {
        QByteArray a;
        int seq = 0;
        for (int apid : apids) {
            a += ccsdsPacket(apid, seq, 12, uint32_t(100 + seq));
            ++seq;
        }
        return dir.write(name, a).toStdString();
    }
    static void append(const std::string& path, const QByteArray& bytes)
    {
        QFile f(QString::fromStdString(path));
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(bytes);
    }

    TestSupport::TempDir dir;
    TelemetryCache* cache = nullptr;
};

} // namespace

TEST_F(TelemetryFileTest, GetNextWalksForwardAndStops)
{
    TelemetryFile::setSharedCacheFile(archive("a.dat", {1, 2, 1}));
    TelemetryFile f;
    EXPECT_EQ(f.getNext()->sequence(), 0);
    EXPECT_EQ(f.getNext()->sequence(), 1);
    EXPECT_EQ(f.getNext()->sequence(), 2);
    EXPECT_FALSE(f.getNext());
    EXPECT_EQ(f.currentIndex(), 2);
    f.reset();
    EXPECT_EQ(f.getNext()->sequence(), 0);
}

TEST_F(TelemetryFileTest, NextMatchFindsEachTypeAndSeesGrowth)
{
    const std::string path = archive("b.dat", {1, 2, 1});
    TelemetryFile::setSharedCacheFile(path);
    TelemetryFile f;
    EXPECT_EQ(f.getNextMatch(1)->index, 0); // start examined: no match yet
    EXPECT_EQ(f.getNextMatch(1)->index, 2);
    EXPECT_FALSE(f.getNextMatch(1));
    EXPECT_EQ(f.searchMarkIndex(), 2);
    append(path, ccsdsPacket(1, 9, 12));
    TelemetryFile::updateSharedCache();
    const TMPacketPtr grown = f.getNextMatch(1);
    ASSERT_TRUE(grown);
    EXPECT_EQ(grown->index, 3);
    EXPECT_EQ(f.lastMatchIndex(), 3);
    EXPECT_EQ(f.searchMarkIndex(), -1);

    TelemetryFile g;
    EXPECT_EQ(g.seekNextMatch(TelemetryFile::ByteSet{2, 7}), 1);
    EXPECT_EQ(g.currentIndex(), 1);
}

TEST_F(TelemetryFileTest, PrevMatchAndTheSearchMark)
{
    TelemetryFile::setSharedCacheFile(archive("c.dat", {1, 2, 1, 2, 1}));
    TelemetryFile f;
    f.seek(2);
    EXPECT_EQ(f.seekPrevMatch(2), 1);
    EXPECT_EQ(f.currentIndex(), 1);
    EXPECT_EQ(f.seekPrevMatch(2), -1);
    EXPECT_EQ(f.searchMarkIndex(), 0);
    EXPECT_EQ(f.seekPrevMatch(1), -1); // the mark stops the search
    EXPECT_FALSE(f.getPrevMatch(1));
    EXPECT_EQ(f.seekNextMatch(1), 2); // a forward move clears the mark
    EXPECT_EQ(f.searchMarkIndex(), -1);
    EXPECT_EQ(f.getPrevMatch(1)->index, 0);
}

TEST_F(TelemetryFileTest, FindResultsAndSeekClamping)
{
    TelemetryFile::setSharedCacheFile(archive("d.dat", {1, 2, 3, 4, 5}));
    TelemetryFile f;
    EXPECT_EQ(f.findNextMatch(5, 1, true), -3);
    EXPECT_EQ(f.findNextMatch(-1, 1, true), -3);
    EXPECT_EQ(f.findPrevMatch(5, 1, true), -3);
    EXPECT_EQ(f.findNextMatch(0, 1, true), 0);
    EXPECT_EQ(f.findNextMatch(0, 1, false), -1);
    EXPECT_EQ(f.findPrevMatch(4, 5, false), -1);
    EXPECT_EQ(f.findPrevMatch(4, 5, true), 4);
    EXPECT_EQ(f.findPrevMatch(4, TelemetryFile::ByteSet{1, 2}, false), 1);
    EXPECT_EQ(f.seek(3), 3);
    EXPECT_EQ(f.seek(-10), -3);
    EXPECT_EQ(f.currentIndex(), 0);
    EXPECT_EQ(f.seek(10), 4);
    EXPECT_EQ(f.currentIndex(), 4);
    // A search that starts beyond the end changes nothing.
    f.seek(-4);
    EXPECT_EQ(f.seekNextMatch(9), -1);
    EXPECT_EQ(f.searchMarkIndex(), 4);
    EXPECT_EQ(f.seekNextMatch(9), -1);
    EXPECT_EQ(f.currentIndex(), 0);
}

TEST_F(TelemetryFileTest, EmptyCacheAndNoCache)
{
    TelemetryFile::setSharedCacheFile(archive("e.dat", {}));
    TelemetryFile f;
    EXPECT_FALSE(f.getNext());
    EXPECT_EQ(f.seek(3), 0);
    EXPECT_EQ(f.findNextMatch(0, 1, true), -2);
    EXPECT_EQ(f.findPrevMatch(0, 1, true), -2);
    EXPECT_EQ(f.seekNextMatch(1), -1);
    EXPECT_EQ(f.seekPrevMatch(1), -1);
    EXPECT_EQ(f.searchMarkIndex(), 0);

    // Without any installed cache every operation acts on an empty one.
    TelemetryFile::setSharedCache(nullptr);
    TelemetryFile none;
    EXPECT_FALSE(none.getNext());
    EXPECT_EQ(none.seek(1), 0);
    EXPECT_EQ(none.findNextMatch(0, 1, true), -2);
    EXPECT_FALSE(none.getNextMatch(1));
    EXPECT_FALSE(none.getPrevMatch(1));
    EXPECT_FALSE(none.fileInfo().exists());
    EXPECT_EQ(none.tidString(), "");
    EXPECT_NO_THROW(TelemetryFile::setSharedCacheFile(archive("f.dat", {1})));
    EXPECT_NO_THROW(TelemetryFile::setSharedCacheFiles({archive("g.dat", {1})}));
    EXPECT_NO_THROW(TelemetryFile::updateSharedCache());
    EXPECT_FALSE(none.getNext());
}

TEST_F(TelemetryFileTest, SeveralFilesRunOnInOneCache)
{
    const std::string a = archive("one.dat", {1, 2});
    const std::string b = archive("two.dat", {3});
    TelemetryFile::setSharedCacheFiles({a, b});
    ASSERT_EQ(cache->count(), 3u);
    EXPECT_EQ(cache->get(2)->apid(), 3);
    EXPECT_EQ(cache->get(2)->index, 2);
    EXPECT_EQ(cache->filePath(), QFileInfo(QString::fromStdString(b)).absoluteFilePath().toStdString());
    // Only the first file clears.
    TelemetryFile::setSharedCacheFiles({b});
    EXPECT_EQ(cache->count(), 1u);
    TelemetryFile::setSharedCacheFiles({});
    EXPECT_EQ(cache->count(), 1u);
}

TEST_F(TelemetryFileTest, RelativePathsAreMadeAbsolute)
{
    archive("rel.dat", {1, 2});
    const QString old = QDir::currentPath();
    QDir::setCurrent(dir.path());
    TelemetryFile::setSharedCacheFile("rel.dat");
    QDir::setCurrent(old);
    EXPECT_EQ(cache->count(), 2u);
    EXPECT_EQ(QString::fromStdString(cache->filePath()), QDir(dir.path()).absoluteFilePath("rel.dat"));
}

TEST_F(TelemetryFileTest, CursorsFollowRemovedPackets)
{
    TelemetryFile f;
    for (int i = 0; i < 6; ++i)
        cache->appendPacket(std::make_shared<CcsdsPacket>(8, i % 2 + 1, false, CcsdsPrimaryHeader::Unsegmented, i));
    f.getNext();
    f.seek(4);
    EXPECT_EQ(f.seekPrevMatch(1), 2);
    cache->setMaxPackets(6, 3);
    cache->appendPacket(std::make_shared<CcsdsPacket>(8, 1, false, CcsdsPrimaryHeader::Unsegmented, 6));
    EXPECT_EQ(f.currentIndex(), 0);
    EXPECT_EQ(f.lastMatchIndex(), -1);
    EXPECT_TRUE(f.isBeforeFirst());
    f.handleCachePacketsRemoved(0);
    EXPECT_EQ(f.currentIndex(), 0);
    f.seek(3);
    f.handleCachePacketsRemoved(1);
    EXPECT_EQ(f.currentIndex(), 2);
}

TEST_F(TelemetryFileTest, TestIdFromTheFolderName)
{
    const QString sub = "2023-05-01-13.45.10_12345_rest";
    QDir(dir.path()).mkpath(sub);
    const std::string path = archive(sub + "/run.dat", {1});
    TelemetryFile::setSharedCacheFile(path);
    TelemetryFile f;
    EXPECT_EQ(f.tidString(), "12345");
    EXPECT_EQ(f.fileInfo().fileName(), "run.dat");
    QDir(dir.path()).mkpath("short_name_of_22_chars");
    TelemetryFile::setSharedCacheFile(archive("short_name_of_22_chars/x.dat", {1}));
    EXPECT_EQ(f.tidString(), "rs");
}

TEST_F(TelemetryFileTest, CacheGenerationAdvancesOnANewCacheOrFileNotOnGrowth)
{
    const std::string path = archive("g.dat", {1, 2});
    uint64_t g = TelemetryFile::sharedCacheGeneration();
    TelemetryFile::setSharedCacheFile(path);
    EXPECT_GT(TelemetryFile::sharedCacheGeneration(), g);
    g = TelemetryFile::sharedCacheGeneration();
    append(path, ccsdsPacket(1, 9, 12));
    TelemetryFile::updateSharedCache();
    TelemetryFile::setSharedCache(cache); // the installed one again: no change
    EXPECT_EQ(TelemetryFile::sharedCacheGeneration(), g);
    TelemetryFile::setSharedCacheFiles({path, path});
    EXPECT_GT(TelemetryFile::sharedCacheGeneration(), g);
    g = TelemetryFile::sharedCacheGeneration();
    cache = new TelemetryCache(new UnixTimeResolver);
    TelemetryFile::setSharedCache(cache);
    EXPECT_GT(TelemetryFile::sharedCacheGeneration(), g);
}

TEST_F(TelemetryFileTest, CursorsOnAFileStartedAnewGiveItsPacketsFromTheFirst)
{
    // The second of two files is followed; a new recording is written in its
    // place. Its packets are read again after the first file's, which stay:
    // a cursor on them goes back to just before them, one before them stays,
    // and caches built over the packets start again.
    const std::string a = archive("a.dat", {1, 2});
    const std::string b = archive("b.dat", {3, 4, 3, 4});
    TelemetryFile::setSharedCacheFiles({a, b});
    const TMPacketPtr kept = cache->get(1);
    const TMPacketPtr dropped = cache->get(3);
    TelemetryFile early, late, untouched, searching;
    early.getNext();
    for (int i = 0; i < 4; ++i)
        late.getNext();
    EXPECT_EQ(searching.seekNextMatch(4), 3);
    EXPECT_EQ(searching.seekNextMatch(4), 5);
    EXPECT_EQ(searching.seekNextMatch(4), -1);
    const uint64_t generation = TelemetryFile::sharedCacheGeneration();

    // A later recording: times from 500 on.
    dir.write("b.dat", ccsdsPacket(7, 0, 12, 500) + ccsdsPacket(4, 1, 12, 501) + ccsdsPacket(8, 2, 12, 502));
    TelemetryFile::updateSharedCache();
    ASSERT_EQ(cache->count(), 5u);
    EXPECT_EQ(cache->get(1), kept);
    EXPECT_EQ(dropped->apid(), 4);
    EXPECT_EQ(dropped->index, 3);
    EXPECT_EQ(cache->get(2)->apid(), 7);
    EXPECT_EQ(cache->get(2)->index, 2);
    EXPECT_GT(TelemetryFile::sharedCacheGeneration(), generation);
    EXPECT_EQ(early.currentIndex(), 0);
    EXPECT_EQ(early.getNext()->apid(), 2);
    EXPECT_EQ(late.currentIndex(), 1);
    EXPECT_EQ(late.getNext()->apid(), 7);
    EXPECT_EQ(untouched.getNext()->apid(), 1);
    EXPECT_EQ(searching.lastMatchIndex(), -1);
    EXPECT_EQ(searching.searchMarkIndex(), -1);
    EXPECT_EQ(searching.seekNextMatch(4), 3);
    // Timed as a read of the first file and the new second one.
    TelemetryCache fresh(new UnixTimeResolver);
    fresh.setPacketFormat(TelemetryCache::CCSDS);
    fresh.changeFile(a, true);
    fresh.changeFile(b, false);
    ASSERT_EQ(fresh.count(), 5u);
    for (unsigned i = 0; i < 5; ++i)
        EXPECT_EQ(cache->get(i)->relativeTime(), fresh.get(i)->relativeTime()) << i;

    // One file, truncated under the reader and written again: a cursor that
    // walked it starts before its first packet.
    TelemetryFile::setSharedCacheFile(b);
    TelemetryFile walked;
    while (walked.getNext())
        ;
    dir.write("b.dat", {});
    TelemetryFile::updateSharedCache();
    EXPECT_EQ(cache->count(), 0u);
    EXPECT_TRUE(walked.isBeforeFirst());
    archive("b.dat", {9, 9});
    TelemetryFile::updateSharedCache();
    EXPECT_EQ(walked.getNext()->apid(), 9);
    EXPECT_EQ(walked.getNext()->apid(), 9);
    EXPECT_EQ(walked.getNext(), nullptr);
}
