// The second instrument's packet cache over bare and framed archives, its
// header check against the packet-type table, its time base and its
// mission clock.
#include "tolvalib/tolvatelemetrycache.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/ccsdspacket.h"
#include "tests/gselib/packets/archivetestdata.h"
#include "support/tempdir.h"
#include "tolvalib/tolvadatainterpretation.h"
#include "tolvalib/tolvamissionspecifics.h"
#include "tolvalib/tolvapackets.h"
#include "tolvalib/tolvatimeresolver.h"

#include <QFile>
#include <QStringList>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>
#include <string>

using namespace TolvaTest;
using TolvaGse::TolvaTelemetryCache;
using TolvaGse::TolvaTimeResolver;

namespace {

TolvaGse::TolvaDataInterpretationFactory factory;

// A hub whose packet-type table knows APIDs 737 (12 to 200 data bytes), 740
// (no limits) and 759 (lengths 6 to 1000).
void makeHub()
{
    GseLib::DataInterpretation::init(&factory, false, nullptr, {});
    auto type = [](int id, int min, int max) {
        GseLib::TMPacketTypeInfo info;
        info.valid = true;
        info.type = id;
        info.minLength = min;
        info.maxLength = max;
        return info;
    };
    GseLib::PacketTypes& types = GseLib::DataInterpretation::current()->packetTypes;
    types.insert(737, type(737, 12, 200));
    types.insert(740, type(740, -1, -1));
    types.insert(759, type(759, 6, 1000));
}

class ProbeCache : public TolvaTelemetryCache
{
public:
    using TolvaTelemetryCache::beforeParseCcsds;
    using TolvaTelemetryCache::skipBeforeCcsds;
    using TolvaTelemetryCache::validHeader;
};

struct Parsed
{
    std::vector<size_t> sizes;
    std::vector<double> relative;
    std::string messages;
};

// One read of the finished archive.
Parsed parse(const Bytes& archive)
{
    TestSupport::TempDir dir;
    const QString path = dir.write("tm.bin", QByteArray(reinterpret_cast<const char*>(archive.data()),
                                                         qsizetype(archive.size())));
    EXPECT_TRUE(ArchiveTestData::ageFile(path));
    TolvaTelemetryCache cache;
    FILE* log = std::tmpfile();
    cache.setMessageStream(log);
    cache.changeFile(path.toStdString(), true);
    Parsed out;
    for (const auto& p : cache.allPackets()) {
        out.sizes.push_back(p->totalLength());
        out.relative.push_back(p->relativeTime());
    }
    std::rewind(log);
    char line[512];
    while (std::fgets(line, sizeof line, log))
        out.messages += line;
    std::fclose(log);
    return out;
}

} // namespace

TEST(TolvaTelemetryCache, ArchivesParseToTheirPackets)
{
    makeHub();
    const Bytes a = packet(737, 100, 0, 30);
    const Bytes b = packet(737, 101, 128, 31); // odd: a pad byte follows it inside a frame
    const Bytes c = packet(740, 102, 0, 40);
    const Bytes tooLong = packet(737, 0, 0, 6 + 201); // data length 201 > 200
    const Bytes seven = {0x0A, 0xE4, 0xC0, 0x00, 0x00, 0x00, 0x5A}; // 740: one data byte
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts)
            append(out, p);
        return out;
    };
    Bytes checksumOnly = frame({a});
    Bytes oneByteOff = cat({Bytes{0x55}, frame({a})});
    const struct
    {
        const char* name;
        Bytes archive;
        std::vector<size_t> sizes;
        bool skips; // whether the base reports skipped bytes
    } cases[] = {
        {"bare", cat({a, b, c}), {30, 31, 40}, false},
        {"starts with a frame", frame({a, c}), {30, 40}, false},
        {"odd packet, pad and checksum, sync at offset 3", cat({frame({b}), frame({a})}), {31, 30}, false},
        {"even packet and checksum, sync at offset 2", cat({frame({a}), frame({c})}), {30, 40}, false},
        {"pad inside a frame is stepped over by the base", frame({b, a}), {31, 30}, true},
        {"empty frame", cat({frame({}), frame({a})}), {30}, true},
        {"last frame ends in its checksum, quietly", checksumOnly, {30}, false},
        {"sync one byte on is not the hook's", oneByteOff, {30}, true},
        {"rejected header resumes a byte later", cat({tooLong, a}), {30}, true},
        {"a 7-byte packet ends the archive: too short for a frame header", cat({a, seven}), {30, 7}, false},
        {"after damage, a packet the archive's first frame follows", cat({Bytes(3, 0x55), a, frame({c})}), {30, 40}, true},
        {"after damage, a packet the first frame follows, then more", cat({Bytes(3, 0x55), b, frame({c, a})}), {31, 40, 30}, true},
    };
    for (const auto& c : cases) {
        const Parsed got = parse(c.archive);
        EXPECT_EQ(got.sizes, c.sizes) << c.name;
        EXPECT_EQ(got.messages.find("Skipped") != std::string::npos, c.skips) << c.name << "\n" << got.messages;
        EXPECT_EQ(got.messages.find("partial"), std::string::npos) << c.name << "\n" << got.messages;
    }
}

// A file that ends inside a packet (or its frame's header), read as it is
// written: the packet waits, and once its header is whole the read says so,
// 6 or 7 bytes in as further on; once it is whole it is read, bare or framed.
TEST(TolvaTelemetryCache, AFileEndingInsideAPacketWaitsForIt)
{
    makeHub();
    const Bytes a = packet(737, 100, 0, 30);
    const Bytes b = packet(740, 101, 0, 40);
    const Bytes bare = [&] { Bytes out = a; append(out, b); return out; }();
    const Bytes framed = [&] { Bytes out = frame({a}); append(out, frame({b})); return out; }();
    for (const bool inFrame : {false, true}) {
        const Bytes& archive = inFrame ? framed : bare;
        const size_t header = inFrame ? 52 : 30; // b's primary header
        for (const size_t into : {0, 1, 5, 6, 7, 8, 20}) {
            const size_t written = header + into - (inFrame && into == 0 ? 6 : 0); // mid frame header
            TestSupport::TempDir dir;
            const QString path = dir.write("tm.bin", QByteArray(reinterpret_cast<const char*>(archive.data()),
                                                                 qsizetype(written)));
            TolvaTelemetryCache cache;
            FILE* log = std::tmpfile();
            cache.setMessageStream(log);
            cache.changeFile(path.toStdString(), true);
            const size_t first = cache.count();
            FILE* out = std::fopen(path.toLocal8Bit().constData(), "ab");
            std::fwrite(archive.data() + written, 1, archive.size() - written, out);
            std::fclose(out);
            cache.grow();
            std::rewind(log);
            char line[512];
            std::string messages;
            while (std::fgets(line, sizeof line, log))
                messages += line;
            std::fclose(log);
            const std::string what = (inFrame ? "framed, " : "bare, ") + std::to_string(written) + " bytes";
            EXPECT_EQ(first, 1u) << what;
            ASSERT_EQ(cache.count(), 2u) << what;
            EXPECT_EQ(cache.get(1)->totalLength(), b.size()) << what;
            // Backing up to where the parse left off: after a, or its frame.
            const std::string wait = "Read partial packet...backing up to index " + std::string(inFrame ? "40" : "30");
            EXPECT_EQ(messages, into >= 6 ? wait + "\n" : "") << what;
        }
    }
}

// A finished archive whose last packet stands behind damage that claims past
// the end of the file (a fill header whose length was hit, a label whose
// digits were): one read that opens it gives every packet, and grows of the
// unchanged file add nothing and write nothing.
TEST(TolvaTelemetryCache, AFinishedArchiveOpenedOnceGivesThePacketBehindAClaimPastItsEnd)
{
    makeHub();
    const auto bytes = [](const Bytes& b) {
        return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
    };
    QByteArray first;
    for (uint32_t i = 0; i < 3; ++i)
        first += bytes(packet(737, 100 + i, 0, 170, uint8_t(i)));
    const QByteArray last = bytes(packet(737, 103, 0, 170, 3));
    QByteArray fill = bytes(packet(740, 99, 0, 41));
    ArchiveTestData::putBe16(fill, 4, 2000 - 7); // claims 2,000 bytes
    QByteArray hitLabel = ArchiveTestData::label("GANN", 0, 77, 5);
    hitLabel.replace(12, 8, "00005000"); // claims 5,040 bytes
    const struct
    {
        const char* name;
        QByteArray archive;
    } cases[] = {
        {"a fill header claiming 2,000 bytes", first + fill + last},
        {"a label claiming 5,040 bytes", first + hitLabel + last},
    };
    for (const auto& c : cases) {
        TestSupport::TempDir dir;
        const QString path = dir.write("tm.bin", c.archive);
        ASSERT_TRUE(ArchiveTestData::ageFile(path));
        TolvaTelemetryCache cache;
        FILE* log = std::tmpfile();
        cache.setMessageStream(log);
        cache.changeFile(path.toStdString(), true);
        ASSERT_EQ(cache.count(), 4u) << c.name;
        EXPECT_EQ(cache.get(3)->totalLength(), 170u) << c.name;
        EXPECT_EQ(cache.get(3)->groundSeconds, 0u) << c.name; // the damage's label is no packet's
        std::fflush(log);
        const long opened = std::ftell(log);
        for (int i = 0; i <= GseLib::TelemetryCache::PARTIAL_READ_LIMIT; ++i)
            cache.grow();
        EXPECT_EQ(cache.count(), 4u) << c.name;
        std::fflush(log);
        EXPECT_EQ(std::ftell(log), opened) << c.name << ": an unchanged file wrote more lines";
        std::fclose(log);
    }
}

namespace {

QByteArray bytesOf(const Bytes& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

// A fill header whose length was hit: it claims `claim` bytes, `written` of them in the file.
QByteArray fillClaiming(int claim, int written)
{
    QByteArray fill = bytesOf(packet(740, 99, 0, size_t(written)));
    ArchiveTestData::putBe16(fill, 4, uint32_t(claim - 7));
    return fill;
}

// What a cache made of an archive, and the lines it wrote.
struct Reading
{
    std::vector<std::pair<QByteArray, uint32_t>> packets; // bytes, ground seconds
    QStringList lines;
};

Reading readingOf(const TolvaTelemetryCache& cache, FILE* log)
{
    Reading r;
    for (const GseLib::TMPacketPtr& p : cache.allPackets())
        r.packets.push_back({QByteArray(reinterpret_cast<const char*>(p->data()), qsizetype(p->totalLength())),
                             p->groundSeconds});
    std::fflush(log);
    std::rewind(log);
    for (char line[512]; std::fgets(line, sizeof line, log);)
        r.lines << QString::fromLatin1(line).trimmed();
    std::fclose(log);
    return r;
}

// One read of the finished archive (last written an hour ago), with the
// cache's scan limit at `maxScan`.
Reading finishedRead(const QByteArray& archive, long long maxScan = 1000000)
{
    TestSupport::TempDir dir;
    const QString path = dir.write("tm.bin", archive);
    EXPECT_TRUE(ArchiveTestData::ageFile(path));
    TolvaTelemetryCache cache;
    cache.setMaxScan(maxScan);
    FILE* log = std::tmpfile();
    cache.setMessageStream(log);
    cache.changeFile(path.toStdString(), true);
    return readingOf(cache, log);
}

// A read that opens the archive while its first `openedAt` bytes are
// written (`atOpen`: what that read gives), then follows it as the rest is
// written at once, until the back-offs are spent.
Reading readOpenedWhileWritten(const QByteArray& archive, qsizetype openedAt, Reading* atOpen = nullptr,
                               long long maxScan = 1000000)
{
    TestSupport::TempDir dir;
    const QString path = dir.write("tm.bin", archive.left(openedAt));
    TolvaTelemetryCache cache;
    cache.setMaxScan(maxScan);
    FILE* log = std::tmpfile();
    cache.setMessageStream(log);
    cache.changeFile(path.toStdString(), true);
    if (atOpen) {
        for (const GseLib::TMPacketPtr& p : cache.allPackets())
            atOpen->packets.push_back(
                {QByteArray(reinterpret_cast<const char*>(p->data()), qsizetype(p->totalLength())), p->groundSeconds});
    }
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::Append));
    f.write(archive.mid(openedAt));
    f.close();
    for (int i = 0; i <= GseLib::TelemetryCache::PARTIAL_READ_LIMIT; ++i)
        cache.grow();
    return readingOf(cache, log);
}

} // namespace

// A file opened while its last packet is written, with damage a little
// earlier that claims past the end of the file: the read waits at the damage
// and keeps the packet once it is whole, wherever in it the file was opened.
TEST(TolvaTelemetryCache, APacketWrittenBehindDamageIsKeptWhereverTheFileIsOpened)
{
    makeHub();
    const QByteArray p[5] = {bytesOf(packet(737, 100, 0, 100)), bytesOf(packet(737, 101, 0, 100, 1)),
                             bytesOf(packet(737, 102, 0, 100, 2)), bytesOf(packet(737, 103, 0, 100, 3)),
                             bytesOf(packet(737, 104, 0, 200, 4))};
    const QByteArray lead = p[0] + p[1] + fillClaiming(3000, 30) + p[2] + p[3];
    const QByteArray archive = lead + p[4];
    const Reading finished = finishedRead(archive);
    ASSERT_EQ(finished.packets.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(finished.packets[size_t(i)].first, p[i]) << "packet " << i;
    for (const int written : {1, 6, 7, 12, 60, 150, 199}) {
        const Reading got = readOpenedWhileWritten(archive, lead.size() + written);
        EXPECT_EQ(got.packets, finished.packets) << written << " bytes of the last packet written";
    }
}

// A labelled frame opened while its label or the frame's header is being
// written: once the file grows the label is read whole, and its packet keeps
// the label's ground time, wherever the file was opened around it.
TEST(TolvaTelemetryCache, ALabelledFrameOpenedAroundItsLabelKeepsItsGroundTime)
{
    makeHub();
    const Bytes p1 = packet(737, 100, 0, 60), p2 = packet(737, 101, 0, 61), p3 = packet(737, 102, 0, 62);
    const QByteArray first = ArchiveTestData::label("GANN", 4, 5001, 7) + bytesOf(frame({p1, p2}));
    const QByteArray archive = first + ArchiveTestData::label("FANN", 9, 5003, 7) + bytesOf(frame({p3}));
    const Reading finished = finishedRead(archive);
    ASSERT_EQ(finished.packets.size(), 3u);
    EXPECT_EQ(finished.packets[0].second, 5001u);
    EXPECT_EQ(finished.packets[1].second, 0u);
    EXPECT_EQ(finished.packets[2].second, 5003u);
    for (qsizetype at = first.size() - 16; at < first.size() + 48; ++at)
        EXPECT_EQ(readOpenedWhileWritten(archive, at).packets, finished.packets) << "opened at " << at;
}

// An archive under 64 KiB whose first header claims past its end: one read of
// the finished file gives every packet behind it; a file written just now
// waits there, and gives them once the waits are spent.
TEST(TolvaTelemetryCache, ASmallArchiveWhoseFirstHeaderClaimsPastItsEndIsReadWhole)
{
    makeHub();
    QByteArray packets;
    for (uint32_t i = 0; i < 300; ++i)
        packets += bytesOf(packet(737, 100 + i, 0, 60, uint8_t(i)));
    const QByteArray archive = fillClaiming(65000, 30) + packets;
    const Reading finished = finishedRead(archive);
    ASSERT_EQ(finished.packets.size(), 300u);
    EXPECT_EQ(finished.packets.front().first, packets.left(60));
    EXPECT_EQ(finished.lines.filter("Skipped").size(), 1);
    Reading atOpen;
    const Reading live = readOpenedWhileWritten(archive, archive.size(), &atOpen);
    EXPECT_TRUE(atOpen.packets.empty());
    EXPECT_EQ(live.packets, finished.packets);
}

// A finished archive whose read, where it would wait, reaches the scan
// limit: the one read that opens it says so, as the read that waited and
// settled does.
TEST(TolvaTelemetryCache, TheOpeningReadOfAFinishedFileSaysItReachedTheScanLimit)
{
    makeHub();
    const QByteArray archive = bytesOf(packet(737, 100, 0, 60)) + bytesOf(packet(737, 101, 0, 60)) +
                               fillClaiming(65000, 30) + QByteArray(5000, '\0');
    const QString scanned = "Scanned 2000 bytes [120 - 2120] without finding a valid packet header, archive may be corrupt!";
    const Reading finished = finishedRead(archive, 2000);
    EXPECT_EQ(finished.packets.size(), 2u);
    EXPECT_EQ(finished.lines.filter("Scanned"), QStringList{scanned});
    const Reading settled = readOpenedWhileWritten(archive, archive.size(), nullptr, 2000);
    EXPECT_EQ(settled.lines.filter("Scanned"), QStringList{scanned});
}

// Whether one read decides the end of a file as finished follows the file's
// age and the age set for the process: a packet behind a claim past the end
// is read only from a file old enough.
TEST(TolvaTelemetryCache, TheFileAgeSetForTheProcessTellsAFinishedFile)
{
    makeHub();
    const QByteArray archive = bytesOf(packet(737, 100, 0, 60)) + bytesOf(packet(737, 101, 0, 60)) +
                               fillClaiming(3000, 30) + bytesOf(packet(737, 102, 0, 60));
    const struct
    {
        double age; // set for the process; < -1: left at its default
        bool aged;  // the file last written an hour ago, or just now
        size_t packets;
    } cases[] = {{-2, false, 2}, {-2, true, 3}, {0, false, 3}, {-1, true, 2}, {7200, true, 2}, {1800, true, 3}};
    for (const auto& c : cases) {
        GseLib::TelemetryCache::setFinishedFileAge(c.age < -1 ? GseLib::TelemetryCache::DEFAULT_FINISHED_FILE_AGE
                                                              : c.age);
        TestSupport::TempDir dir;
        const QString path = dir.write("tm.bin", archive);
        if (c.aged) {
            ASSERT_TRUE(ArchiveTestData::ageFile(path));
        }
        TolvaTelemetryCache cache;
        FILE* log = std::tmpfile();
        cache.setMessageStream(log);
        cache.changeFile(path.toStdString(), true);
        EXPECT_EQ(cache.count(), c.packets) << "age " << c.age << (c.aged ? ", written an hour ago" : ", written now");
        std::fclose(log);
    }
    GseLib::TelemetryCache::setFinishedFileAge(GseLib::TelemetryCache::DEFAULT_FINISHED_FILE_AGE);
}

TEST(TolvaTelemetryCache, FrameHeadersAcrossTheStreamBufferEnd)
{
    // The hook looks into the stream's 1 MiB buffer; a header that straddles
    // its end is read the slow way. Place one at every position around it.
    makeHub();
    constexpr size_t bufferEnd = size_t(1) << 20;
    const Bytes framed = frame({packet(737, 5, 0, 64)}); // 76 bytes
    for (size_t before = 1; before <= 13; ++before) {
        size_t lead = (bufferEnd - before) % framed.size();
        while (lead < 20)
            lead += framed.size();
        Bytes archive = packet(740, 1, 0, lead);
        size_t frames = 0;
        while (archive.size() < bufferEnd + 400) {
            append(archive, framed);
            ++frames;
        }
        const Parsed got = parse(archive);
        ASSERT_EQ(got.sizes.size(), frames + 1) << before;
        EXPECT_EQ(got.sizes.back(), 64u) << before;
        EXPECT_TRUE(got.messages.empty()) << before << got.messages;
    }
}

TEST(TolvaTelemetryCache, FrameHeaderStepOnTheStreamAndOnTheParsesBytes)
{
    // The parse uses the step on its own bytes; the stream form stays for
    // callers with a stream. Both must step alike, 5 bytes into a file, but
    // where fewer than 8 bytes are left: the stream form reads them all, the
    // parse's form only when they may begin a frame header.
    const Bytes sync = {0xFE, 0xFA, 0x30, 0xC8};
    auto with = [&](size_t at, size_t total) {
        Bytes b(total, 0x11);
        std::copy(sync.begin(), sync.end(), b.begin() + long(at));
        return b;
    };
    const struct
    {
        const char* name;
        Bytes bytes;
        size_t skip;
    } cases[] = {
        {"sync at 0", with(0, 30), 10},
        {"sync at 2, after a checksum", with(2, 30), 12},
        {"sync at 3, after a pad byte and a checksum", with(3, 30), 13},
        {"sync at 1 is not a frame boundary", with(1, 30), 0},
        {"sync at 4 is not looked at", with(4, 30), 0},
        {"no sync", Bytes(30, 0x11), 0},
        {"8 bytes without sync", Bytes(8, 0x11), 0},
        {"7 bytes that may begin a sync word at 3 are taken as read", {0x11, 0x11, 0x11, 0xFE, 0xFA, 0x30, 0xC8}, 7},
        {"5 bytes that may begin one at 2", {0x11, 0x11, 0xFE, 0xFA, 0x30}, 5},
        {"7 bytes that cannot: nothing to step over", Bytes(7, 0x11), 0},
        {"nothing left", Bytes(), 0},
        {"a header cut short is stepped past the end", with(3, 9), 13},
    };
    makeHub();
    ProbeCache cache;
    for (const auto& c : cases) {
        const size_t shown = std::min(c.bytes.size(), GseLib::TelemetryCache::CCSDS_SKIP_LOOKAHEAD);
        EXPECT_EQ(cache.skipBeforeCcsds(c.bytes.data(), shown), c.skip) << c.name;

        FILE* f = std::tmpfile();
        std::fwrite("lead!", 1, 5, f);
        if (!c.bytes.empty())
            std::fwrite(c.bytes.data(), 1, c.bytes.size(), f);
        std::fseek(f, 5, SEEK_SET);
        cache.beforeParseCcsds(f);
        const size_t read = c.bytes.size() < 8 ? c.bytes.size() : std::min(c.skip, c.bytes.size());
        EXPECT_EQ(std::ftell(f), 5 + long(read)) << c.name;
        std::fclose(f);
    }
}

TEST(TolvaTelemetryCache, ArchiveReadWholeOrWhileWrittenGivesTheSamePackets)
{
    // Bare packets, then frames of odd and even packets (pads, frame ends at
    // offsets 2 and 3), empty frames, labels before frames, frames holding a
    // rejected header: cut anywhere, a short tail waits for the next grow.
    makeHub();
    std::mt19937 rng(3);
    Bytes archive;
    std::vector<size_t> sizes;
    auto some = [&](size_t n, uint32_t seconds) {
        std::vector<Bytes> out;
        for (size_t k = 0; k < n; ++k) {
            const bool fill = rng() % 3 == 0;
            const size_t total = fill ? 12 + rng() % 300 : 18 + rng() % 189; // 737: at most 200 data bytes
            out.push_back(packet(fill ? 740 : 737, seconds, uint8_t(k), total, uint8_t(rng())));
            sizes.push_back(total);
        }
        return out;
    };
    auto label = [&] {
        const QByteArray l = ArchiveTestData::label("GANN", int(rng() % 9), 5, 6);
        archive.insert(archive.end(), l.begin(), l.end());
    };
    for (const Bytes& p : some(50, 0))
        append(archive, p);
    label();
    for (uint32_t i = 1; archive.size() < 200000; ++i) {
        const int kind = int(rng() % 10);
        if (kind <= 1) {
            append(archive, frame({}));
            // Only after a known checksum: two bytes of a checksum and the
            // label's first could make a header of their own.
            if (kind == 0)
                label();
            continue;
        }
        Bytes f = {0xFE, 0xFA, 0x30, 0xC8, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
        const std::vector<Bytes> group =
            kind <= 3 ? std::vector<Bytes>{packet(737, 0, 0, 6 + 201, 0x55)} : some(1 + rng() % 3, i);
        for (const Bytes& p : group) {
            append(f, p);
            if (p.size() % 2)
                f.push_back(0);
        }
        appendFrameChecksum(f);
        append(archive, f);
    }
    const Parsed whole = parse(archive);
    for (size_t i = 0; i < std::min(whole.sizes.size(), sizes.size()); ++i)
        ASSERT_EQ(whole.sizes[i], sizes[i]) << "packet " << i;
    ASSERT_EQ(whole.sizes.size(), sizes.size());

    TestSupport::TempDir dir;
    const QString path = dir.write("tm.bin", QByteArray(reinterpret_cast<const char*>(archive.data()), 3));
    TolvaTelemetryCache live;
    FILE* log = std::tmpfile();
    live.setMessageStream(log);
    live.changeFile(path.toStdString(), true);
    for (size_t at = 3; at < archive.size();) {
        const size_t n = std::min(archive.size() - at, size_t(1 + rng() % (rng() % 8 ? 40 : 3000)));
        FILE* f = std::fopen(path.toStdString().c_str(), "ab");
        std::fwrite(archive.data() + at, 1, n, f);
        std::fclose(f);
        at += n;
        live.grow();
    }
    std::fclose(log);
    for (size_t i = 0; i < std::min(live.count(), sizes.size()); ++i)
        ASSERT_EQ(live.get(unsigned(i))->totalLength(), sizes[i]) << "packet " << i;
    ASSERT_EQ(live.count(), sizes.size());
}

namespace {

// An archive of `count` packets timed from `seconds` on, of one of four
// kinds: bare, behind labels, in frames of 1 to 3, in frames behind labels.
// Its packets' bytes go to `packets`.
Bytes recording(int kind, uint32_t seconds, size_t count, std::vector<Bytes>* packets)
{
    std::mt19937 rng(seconds);
    Bytes out;
    std::vector<Bytes> group;
    auto label = [&](uint32_t s) {
        const QByteArray l = ArchiveTestData::label(rng() % 2 ? "GANN" : "FANN", int(rng() % 9), s, 6);
        out.insert(out.end(), l.begin(), l.end());
    };
    for (size_t i = 0; i < count; ++i) {
        const uint32_t s = seconds + uint32_t(i);
        const bool fill = rng() % 3 == 0;
        packets->push_back(packet(fill ? 740 : 737, s, uint8_t(i), fill ? 12 + rng() % 300 : 18 + rng() % 189,
                                  uint8_t(rng())));
        if (kind < 2) {
            if (kind == 1)
                label(s);
            append(out, packets->back());
            continue;
        }
        group.push_back(packets->back());
        if (group.size() < 1 + rng() % 3 && i + 1 < count)
            continue;
        if (kind == 3)
            label(s);
        append(out, frame(group));
        group.clear();
    }
    return out;
}

const char* const TAIL = "...reading it anew from the start";

std::string readLog(FILE* log)
{
    std::fflush(log);
    std::rewind(log);
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, log)) > 0;)
        out.append(buf, n);
    std::fseek(log, 0, SEEK_END);
    return out;
}

// The lines of `text` but those that begin with `but`.
std::vector<std::string> linesBut(const std::string& text, const std::string& but)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(but, 0) != 0)
            out.push_back(line);
    return out;
}

void writeFile(const std::string& path, const Bytes& bytes, const char* mode = "wb")
{
    FILE* f = std::fopen(path.c_str(), mode);
    ASSERT_NE(f, nullptr);
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

} // namespace

TEST(TolvaTelemetryCache, AFileStartedAnewUnderTheReaderIsReadAgainFromItsStart)
{
    // A recorder that restarts truncates its archive, or puts a new one in
    // its place, and writes a new recording. Whether the reader looked while
    // the file was empty or only once the new one had passed the old read
    // position, it says so once and reads the new recording whole; a file
    // replaced by the same bytes and more is only read on.
    makeHub();
    enum How { Truncated, RewrittenPastTheOldEnd, ReplacedShorter, ReplacedLonger, ReplacedByMore };
    const char* const names[] = {"truncated, read empty, then written", "rewritten past the old end at once",
                                 "replaced by a shorter file", "replaced by a longer file",
                                 "replaced by the same bytes and more"};
    for (int kind = 0; kind < 4; ++kind) {
        for (const How how : {Truncated, RewrittenPastTheOldEnd, ReplacedShorter, ReplacedLonger, ReplacedByMore}) {
            const std::string what = std::string(names[how]) + ", kind " + std::to_string(kind);
            std::vector<Bytes> before;
            std::vector<Bytes> after;
            const Bytes first = recording(kind, 1000, 100, &before);
            Bytes next;
            if (how == ReplacedByMore) {
                after = before;
                next = first;
                append(next, recording(kind, 9000, 30, &after));
            } else {
                next = recording(kind, 5000, how == ReplacedShorter ? 30 : 300, &after);
            }
            TestSupport::TempDir dir;
            const std::string path = dir.filePath("tm.bin").toStdString();
            writeFile(path, {});
            TolvaTelemetryCache cache;
            FILE* log = std::tmpfile();
            cache.setMessageStream(log);
            cache.changeFile(path, true);
            // Followed as it is written, in pieces.
            for (size_t at = 0; at < first.size(); at += 500) {
                writeFile(path, Bytes(first.begin() + long(at), first.begin() + long(std::min(first.size(), at + 500))),
                          "ab");
                cache.grow();
            }
            for (int i = 0; i < 8; ++i)
                cache.grow();
            ASSERT_EQ(cache.count(), before.size()) << what;
            const GseLib::TMPacketPtr held = cache.get(50);
            const long position = cache.readPosition();
            const size_t firstLines = readLog(log).size();

            const std::string other = dir.filePath("tm.new").toStdString();
            switch (how) {
            case Truncated:
                writeFile(path, {});
                cache.grow();
                EXPECT_EQ(cache.count(), 0u) << what;
                writeFile(path, next);
                break;
            case RewrittenPastTheOldEnd:
                writeFile(path, next);
                break;
            case ReplacedShorter:
            case ReplacedLonger:
            case ReplacedByMore:
                writeFile(other, next);
                ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
                break;
            }
            for (int i = 0; i < 8; ++i)
                cache.grow();

            EXPECT_EQ(cache.count(), after.size()) << what;
            for (size_t i = 0; i < std::min(cache.count(), after.size()); ++i) {
                const GseLib::TMPacketPtr p = cache.get(unsigned(i));
                ASSERT_TRUE(p->totalLength() == after[i].size() && std::equal(after[i].begin(), after[i].end(), p->data()))
                    << what << ", packet " << i;
                EXPECT_EQ(p->index, int(i)) << what;
            }
            EXPECT_TRUE(held->totalLength() == before[50].size()
                        && std::equal(before[50].begin(), before[50].end(), held->data()))
                << what;

            // The line that says so, then what a read of the new file whole
            // writes; read on, no such line.
            const std::string written = readLog(log).substr(firstLines);
            std::fclose(log);
            std::vector<std::string> want = linesBut(parse(next).messages, "Read partial packet");
            const std::string at = " the read position " + std::to_string(position);
            const std::string size = std::to_string(next.size());
            if (how == Truncated)
                want.insert(want.begin(), "File " + path + " is 0 bytes, shorter than" + at + TAIL);
            else if (how == ReplacedShorter)
                want.insert(want.begin(), "File " + path + " is " + size + " bytes, shorter than" + at + TAIL);
            else if (how != ReplacedByMore)
                want.insert(want.begin(), "File " + path + " of " + size + " bytes was written anew before" + at + TAIL);
            if (how == ReplacedByMore)
                EXPECT_EQ(written.find("File "), std::string::npos) << what;
            else
                EXPECT_EQ(linesBut(written, "Read partial packet"), want) << what;
        }
    }
}

namespace {

void putHeader(Bytes& b, size_t at, int apid, size_t dataLength)
{
    b[at] = uint8_t(0x08 | (apid >> 8));
    b[at + 1] = uint8_t(apid);
    b[at + 2] = 0xC0;
    b[at + 3] = 0;
    b[at + 4] = uint8_t((dataLength - 1) >> 8);
    b[at + 5] = uint8_t(dataLength - 1);
}

// An archive damaged as the recordings are: packets of APID 737 longer than
// its type allows (201 to 300 data bytes) among valid ones and fill packets of
// any length. Their zeroed payloads hide a fill header (whose length the type
// table does not limit) that ends exactly where a later packet begins, or,
// framed, on a frame's checksum, where the frame-header step takes over: taken,
// each would swallow the packets it covers. The last one's runs past the end
// of the file. Among them a valid packet between two rejected ones and three
// rejected in a row.
struct Damaged
{
    Bytes bytes;
    std::vector<size_t> sizes; // of the valid packets
};

Damaged damaged(uint32_t seed, bool framed)
{
    std::mt19937 rng(seed);
    constexpr int UNITS = 240;
    std::vector<bool> rejected(UNITS);
    for (int i = 0; i < UNITS; ++i)
        rejected[size_t(i)] = rng() % 6 == 0;
    for (int i : {60, 62, 120, 121, 122, UNITS - 5})
        rejected[size_t(i)] = true;
    for (int i : {61, UNITS - 4, UNITS - 3, UNITS - 2, UNITS - 1})
        rejected[size_t(i)] = false;

    Damaged d;
    std::vector<size_t> landings; // where a planted header may end: valid packets' starts, frames' checksums
    std::vector<std::pair<size_t, size_t>> plants; // a fill header, and the landing it ends on
    std::vector<Bytes> group;
    auto flush = [&] {
        if (group.empty())
            return;
        Bytes f = {0xFE, 0xFA, 0x30, 0xC8, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
        for (const Bytes& p : group) {
            append(f, p);
            if (p.size() % 2)
                f.push_back(0);
        }
        appendFrameChecksum(f);
        append(d.bytes, f);
        landings.push_back(d.bytes.size() - 2);
        group.clear();
    };
    for (int i = 0; i < UNITS; ++i) {
        Bytes p;
        if (!rejected[size_t(i)]) {
            const bool fill = rng() % 4 == 0;
            p = packet(fill ? 740 : 737, uint32_t(i), 0, fill ? 12 + rng() % 400 : 18 + rng() % 189, uint8_t(i));
            d.sizes.push_back(p.size());
        } else {
            p = Bytes(6 + 201 + rng() % 100, 0);
            putHeader(p, 0, 737, p.size() - 6);
        }
        const size_t at = d.bytes.size() + (framed ? 10 + [&] {
            size_t n = 0;
            for (const Bytes& q : group)
                n += q.size() + q.size() % 2;
            return n;
        }() : 0);
        if (rejected[size_t(i)])
            plants.push_back({at + 7, landings.size() + 2});
        else if (!framed)
            landings.push_back(at);
        if (framed) {
            group.push_back(p);
            if (group.size() == 1 + rng() % 3)
                flush();
        } else {
            append(d.bytes, p);
        }
    }
    flush();
    for (const auto& [at, landing] : plants)
        putHeader(d.bytes, at, 740, landing < landings.size() ? landings[landing] - at - 6 : 60000);
    return d;
}

} // namespace

TEST(TolvaTelemetryCache, DamagedArchivesKeepEveryValidPacket)
{
    makeHub();
    for (bool framed : {false, true}) {
        for (uint32_t seed : {1u, 2u, 3u}) {
            const Damaged d = damaged(seed, framed);
            const std::string name = (framed ? "framed, seed " : "bare, seed ") + std::to_string(seed);
            const Parsed got = parse(d.bytes);
            for (size_t i = 0; i < std::min(got.sizes.size(), d.sizes.size()); ++i)
                ASSERT_EQ(got.sizes[i], d.sizes[i]) << name << ", packet " << i;
            ASSERT_EQ(got.sizes.size(), d.sizes.size()) << name;
            std::istringstream lines(got.messages);
            for (std::string line; std::getline(lines, line);)
                EXPECT_EQ(line.rfind("Skipped ", 0), 0u) << name << ": " << line;
        }
    }
}

TEST(TolvaTelemetryCache, HeaderCheckUsesDataLengthsKeptTo16Bits)
{
    makeHub();
    ProbeCache cache;
    auto header = [](int apid, unsigned lengthField) {
        return Bytes{uint8_t(0x08 | (apid >> 8)), uint8_t(apid), 0xC0, 0, uint8_t(lengthField >> 8),
                     uint8_t(lengthField)};
    };
    EXPECT_TRUE(cache.validHeader(header(737, 11).data()));   // data length 12
    EXPECT_FALSE(cache.validHeader(header(737, 10).data()));  // 11
    EXPECT_TRUE(cache.validHeader(header(737, 199).data()));  // 200
    EXPECT_FALSE(cache.validHeader(header(737, 200).data())); // 201
    EXPECT_FALSE(cache.validHeader(header(738, 20).data()));  // not in the table
    EXPECT_TRUE(cache.validHeader(header(740, 0xFFFF).data()));
    // 0xFFFF wraps to a data length of 0, below 759's minimum.
    EXPECT_FALSE(cache.validHeader(header(759, 0xFFFF).data()));
    EXPECT_EQ(cache.packetFormat(), GseLib::TelemetryCache::CCSDS);
}

namespace {

// Reads the unsigned 32-bit word at byte 12, as a number or (decodeIds[0] != 0) as text.
class WordDecoder : public GseLib::Decoder
{
public:
    int type() const override { return 77; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable*) const override
    {
        const uint8_t* b = packet->data() + 12;
        const unsigned long long word = (0ull + b[0]) << 24 | (0ull + b[1]) << 16 | (0ull + b[2]) << 8 | b[3];
        GseLib::DataItem item;
        if (row.decodeIds[0] != 0)
            item.value = std::to_string(word) + " counts";
        else
            item.value = word;
        items.push_back(item);
        return true;
    }
};

Bytes controlStatus(uint32_t binTime)
{
    Bytes b = packet(759, 1, 0, 20);
    for (int i = 0; i < 4; ++i)
        b[size_t(12 + i)] = uint8_t(binTime >> (24 - 8 * i));
    return b;
}

} // namespace

TEST(TolvaTelemetryCache, BinTimeOfTheNewestControlStatusPacket)
{
    const struct
    {
        const char* name;
        unsigned int dataId; // of CTL.STATUS:BIN_TIME_RDBK
        unsigned long long asText;
        double expected;
    } cases[] = {
        {"number", 3001, 0, 0.02},
        {"text", 3001, 1, 0.02},
        {"data id 0 is a row like any other", 0, 0, 0.02},
    };
    for (const auto& c : cases) {
        makeHub();
        GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
        hub->addDecoder(new WordDecoder);
        GseLib::TmDatabaseRow row;
        row.dataId = c.dataId;
        row.packetType = 759;
        row.subSystem = "CTL.STATUS";
        row.name = "BIN_TIME_RDBK";
        row.key = row.subSystem + ":" + row.name;
        row.decodeType = 77;
        row.decodeIds = {c.asText, 0, 0, 0};
        hub->db()->addRow(row);
        TolvaTelemetryCache::ip_ = 1e-05;
        Bytes archive = controlStatus(100000);
        append(archive, packet(737, 2, 0, 30));
        append(archive, controlStatus(200000));
        EXPECT_EQ(parse(archive).sizes.size(), 3u) << c.name;
        EXPECT_DOUBLE_EQ(TolvaTelemetryCache::ip_, c.expected) << c.name;
    }
    // Without the item the value stays.
    makeHub();
    TolvaTelemetryCache::ip_ = 0.5;
    EXPECT_EQ(parse(controlStatus(100000)).sizes.size(), 1u);
    EXPECT_EQ(TolvaTelemetryCache::ip_, 0.5);
    TolvaTelemetryCache::ip_ = 1e-05;
}

TEST(TolvaTimeResolver, TimesFromTheSecondaryHeader)
{
    makeHub();
    const Parsed got = parse([] {
        Bytes a = packet(737, 1000, 64, 30);
        append(a, packet(737, 1001, 192, 30));
        append(a, packet(737, 999, 0, 30));
        return a;
    }());
    EXPECT_EQ(got.relative, (std::vector<double>{0.0, 1.5, -1.25}));

    TolvaTimeResolver resolver;
    auto make = [&](uint32_t seconds, uint8_t fraction) {
        const Bytes b = packet(737, seconds, fraction, 30);
        return std::make_shared<GseLib::CcsdsPacket>(b.data(), int(b.size()), 0, &resolver);
    };
    const auto zero = make(0, 0);
    EXPECT_EQ(zero->unixTime(), 1262304000.0);
    EXPECT_EQ(zero->relativeTime(), 1262304000.0); // no t0 yet
    EXPECT_EQ(make(0xFFFFFFFF, 255)->unixTime(), 4294967295.0 + 1262304000.0 + 255.0 / 256);
    // Byte 11 is a spare: it changes nothing.
    const Bytes spare = [] {
        Bytes b = packet(737, 7, 0, 30);
        b[11] = 0xFF;
        return b;
    }();
    EXPECT_EQ(GseLib::CcsdsPacket(spare.data(), 30, 0, &resolver).unixTime(), 1262304007.0);

    const auto first = make(10, 128);
    EXPECT_TRUE(resolver.handlePacket(first));
    EXPECT_TRUE(resolver.handlePacket(make(20, 0)));
    EXPECT_EQ(resolver.t0Packet(), first);
    EXPECT_EQ(make(12, 0)->relativeTime(), 1.5);
    // Both tick forms count seconds after t0.
    EXPECT_EQ(resolver.relativeTime(zero.get(), 5), 5.0);
    EXPECT_EQ(resolver.unixTime(zero.get(), 5), 1262304015.5);
    EXPECT_EQ(zero->relativeTimeFromTicks(5) + resolver.unixTimeOfT0(), zero->unixTimeFromTicks(5));
    resolver.setT0Fallback(12345.0);
    EXPECT_EQ(resolver.unixTimeOfT0(), 1262304010.5);
    resolver.reset();
    EXPECT_EQ(resolver.t0Packet(), nullptr);
    EXPECT_EQ(resolver.unixTimeOfT0(), 0.0);
    EXPECT_EQ(resolver.secondsToTicks(2.9), 2);
    EXPECT_EQ(resolver.secondsToTicks(-2.9), -2);
    EXPECT_EQ(resolver.secondsToTicks(1e300), std::numeric_limits<long long>::max());
    EXPECT_TRUE(resolver.isSynced());
}

TEST(TolvaMissionSpecifics, ClockAndResolver)
{
    const TolvaGse::TolvaMissionSpecifics mission;
    EXPECT_EQ(mission.packetFormat(), GseLib::TelemetryCache::CCSDS);
    std::unique_ptr<GseLib::TimeResolver> resolver(mission.makeTimeResolver());
    EXPECT_NE(dynamic_cast<TolvaTimeResolver*>(resolver.get()), nullptr);
    EXPECT_DOUBLE_EQ(mission.mission2secs(25000), 2.5);
    EXPECT_EQ(mission.secs2mission(1.23456), 12345.0);
    EXPECT_EQ(mission.secs2mission(-3.0), 0.0);
    EXPECT_EQ(mission.secs2mission(std::nan("")), 0.0);
    EXPECT_EQ(mission.secs2mission(1e300), 18446744073709551615.0);
    EXPECT_EQ(mission.secs2mission(1e15), 1e19); // above 2^63: converted as unsigned
}
