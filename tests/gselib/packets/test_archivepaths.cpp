// Archive paths that do not name a regular file: a FIFO (whose open would
// wait for a writer), a device such as /dev/zero (which never ends), a
// folder. changeFile parses none of them, says so with its failure line and
// returns at once; each call runs under a time limit, since a call that
// never returns cannot be stopped from the test.
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "support/tempdir.h"
#include "tests/gselib/packets/archivetestdata.h"

#include <QDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace GseLib;
using namespace ArchiveTestData;

namespace {

constexpr int LIMIT_SECONDS = 20;

// Runs f on a thread of its own and waits at most LIMIT_SECONDS for it. A
// call still running then is reported and the process ends: its thread can
// be neither stopped nor joined.
void withinLimit(const std::string& what, const std::function<void()>& f)
{
    auto task = std::async(std::launch::async, f);
    if (task.wait_for(std::chrono::seconds(LIMIT_SECONDS)) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %d s\n", what.c_str(), LIMIT_SECONDS);
        std::fflush(stderr);
        std::_Exit(1);
    }
    task.get();
}

std::string readAll(FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    std::string all;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        all.append(buf, n);
    return all;
}

QByteArray tomArchive(int count)
{
    QByteArray a;
    for (int i = 0; i < count; ++i)
        a += tomPacketOfSize(uint8_t(1 + i % 3), uint8_t(i), 40, uint32_t(1000 + i));
    return a;
}

QByteArray ccsdsArchive(int count)
{
    QByteArray a;
    for (int i = 0; i < count; ++i)
        a += ccsdsPacket(100 + i, i, 36, uint32_t(1000 + i));
    return a;
}

struct PathKind
{
    const char* name;
    // Makes the path in the folder; empty when this system cannot.
    std::function<std::string(const TestSupport::TempDir&)> make;
};

std::string linkTo(const TestSupport::TempDir& dir, const char* target, const char* name)
{
    if (::access(target, F_OK) != 0)
        return {};
    const std::string link = dir.filePath(name).toStdString();
    return ::symlink(target, link.c_str()) == 0 ? link : std::string();
}

const std::vector<PathKind>& kinds()
{
    static const std::vector<PathKind> all{
        {"FIFO without a writer",
         [](const TestSupport::TempDir& dir) {
             const std::string p = dir.filePath("fifo.tlm").toStdString();
             return ::mkfifo(p.c_str(), 0600) == 0 ? p : std::string();
         }},
        {"link to /dev/zero", [](const TestSupport::TempDir& dir) { return linkTo(dir, "/dev/zero", "zero.tlm"); }},
        {"link to /dev/urandom",
         [](const TestSupport::TempDir& dir) { return linkTo(dir, "/dev/urandom", "random.tlm"); }},
        {"/dev/zero itself",
         [](const TestSupport::TempDir&) { return ::access("/dev/zero", F_OK) == 0 ? "/dev/zero" : std::string(); }},
        {"folder",
         [](const TestSupport::TempDir& dir) {
             QDir(dir.path()).mkdir("folder.tlm");
             return dir.filePath("folder.tlm").toStdString();
         }},
        {"link to a folder",
         [](const TestSupport::TempDir& dir) {
             QDir(dir.path()).mkdir("target");
             return linkTo(dir, dir.filePath("target").toUtf8().constData(), "folderlink.tlm");
         }},
    };
    return all;
}

class ArchivePaths : public ::testing::TestWithParam<TelemetryCache::PacketFormat>
{
protected:
    void SetUp() override
    {
        DataInterpretation::init(nullptr, false, nullptr, {});
        messages = std::tmpfile();
        ASSERT_NE(messages, nullptr);
    }
    void TearDown() override { std::fclose(messages); }

    QByteArray archive(int count) const
    {
        return GetParam() == TelemetryCache::TOM ? tomArchive(count) : ccsdsArchive(count);
    }
    std::unique_ptr<TelemetryCache> makeCache() const
    {
        auto c = std::make_unique<TelemetryCache>(new UnixTimeResolver);
        c->setPacketFormat(GetParam());
        c->setMessageStream(messages);
        return c;
    }

    TestSupport::TempDir dir;
    FILE* messages = nullptr;
};

} // namespace

TEST_P(ArchivePaths, OnlyRegularFilesAreParsed)
{
    const std::string good = dir.write("good.tlm", archive(3)).toStdString();
    for (const PathKind& kind : kinds()) {
        SCOPED_TRACE(kind.name);
        const std::string path = kind.make(dir);
        if (path.empty()) {
            std::printf("skipped (not available here): %s\n", kind.name);
            continue;
        }
        auto c = makeCache();
        std::rewind(messages);
        ASSERT_EQ(::ftruncate(::fileno(messages), 0), 0);
        withinLimit(std::string("changeFile on a ") + kind.name, [&] { c->changeFile(good, true); });
        ASSERT_EQ(c->count(), 3u);

        // Without clearing: the packets read so far stay, nothing is added.
        withinLimit(std::string("changeFile on a ") + kind.name, [&] { c->changeFile(path, false); });
        EXPECT_EQ(c->count(), 3u);
        EXPECT_EQ(c->filePath(), path);
        EXPECT_EQ(c->readPosition(), 0);
        withinLimit(std::string("grow on a ") + kind.name, [&] { c->grow(); });
        EXPECT_EQ(c->count(), 3u);

        withinLimit(std::string("changeFile on a ") + kind.name, [&] { c->changeFile(path, true); });
        EXPECT_EQ(c->count(), 0u);
        const std::string line = "TMF::changeFile(" + path + ") FAILED\n";
        EXPECT_EQ(readAll(messages), line + line);

        // The same cache reads a regular archive again afterwards.
        withinLimit("changeFile back to the archive", [&] { c->changeFile(good, true); });
        EXPECT_EQ(c->count(), 3u);
    }
}

TEST_P(ArchivePaths, LinkToARegularFileIsFollowed)
{
    const std::string good = dir.write("real.tlm", archive(4)).toStdString();
    const std::string link = dir.filePath("link.tlm").toStdString();
    ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
    const std::string chain = dir.filePath("chain.tlm").toStdString();
    ASSERT_EQ(::symlink(link.c_str(), chain.c_str()), 0);
    for (const std::string& path : {link, chain}) {
        auto c = makeCache();
        withinLimit("changeFile on a link", [&] { c->changeFile(path, true); });
        EXPECT_EQ(c->count(), 4u) << path;
    }
    EXPECT_EQ(readAll(messages), "");
}

TEST_P(ArchivePaths, FileReplacedByAFifoIsNotFollowed)
{
    // A path that held an archive and now names a FIFO: growing the open
    // stream goes on reading the old file; a new changeFile refuses the FIFO.
    const std::string path = dir.write("swap.tlm", archive(2)).toStdString();
    auto c = makeCache();
    c->changeFile(path, true);
    ASSERT_EQ(c->count(), 2u);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    withinLimit("grow after the swap", [&] { c->grow(); });
    EXPECT_EQ(c->count(), 2u);
    withinLimit("changeFile on the FIFO", [&] { c->changeFile(path, true); });
    EXPECT_EQ(c->count(), 0u);
    EXPECT_EQ(readAll(messages), "TMF::changeFile(" + path + ") FAILED\n");
}

INSTANTIATE_TEST_SUITE_P(Formats, ArchivePaths, ::testing::Values(TelemetryCache::TOM, TelemetryCache::CCSDS),
                         [](const ::testing::TestParamInfo<TelemetryCache::PacketFormat>& info) {
                             return std::string(info.param == TelemetryCache::TOM ? "Tom" : "Ccsds");
                         });
