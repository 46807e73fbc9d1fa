#include "gselib/packets/ccsdspacket.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"
#include "support/tempdir.h"
#include "tools/util/checksum.h"
#include "tests/gselib/packets/archivetestdata.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QtEndian>
#include <cstdio>
#include <gtest/gtest.h>
#include <new>
#include <stdexcept>
#include <unistd.h>

using namespace GseLib;
using namespace ArchiveTestData;

namespace {

// Collects what a cache writes to its message stream.
class Messages
{
public:
    Messages() : file_(std::tmpfile()) {}
    ~Messages() { std::fclose(file_); }
    FILE* stream() const { return file_; }
    QStringList lines() const
    {
        std::fflush(file_);
        std::rewind(file_);
        QByteArray all;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
            all.append(buf, qsizetype(n));
        std::fseek(file_, 0, SEEK_END);
        QStringList out = QString::fromUtf8(all).split('\n');
        if (!out.isEmpty() && out.last().isEmpty())
            out.removeLast();
        return out;
    }
    void clear()
    {
        std::fclose(file_);
        file_ = std::tmpfile();
    }

private:
    FILE* file_;
};

// Records the calls of every hook, and rejects headers on request.
class ProbeCache : public TelemetryCache
{
public:
    explicit ProbeCache(TimeResolver* r) : TelemetryCache(r) {}
    QStringList calls;
    std::function<bool(const unsigned char*)> accept;
    long preamble = 0;
    int filler = 0; // bytes of 0xFF between CCSDS packets to read past

protected:
    void hookPacket(const TMPacketPtr& p) override
    {
        calls << QString("hook %1 t0=%2").arg(p->index).arg(timeResolver()->t0Packet() ? 1 : 0);
    }
    void adjustStartPos(FILE* f, long* pos) override
    {
        calls << "adjust";
        if (preamble) {
            std::fseek(f, preamble, SEEK_SET);
            *pos = preamble;
        }
    }
    void beforeParseCcsds(FILE* f) override
    {
        for (int i = 0; i < filler; ++i) {
            const int c = std::fgetc(f);
            if (c != 0xFF) {
                if (c != EOF)
                    std::ungetc(c, f);
                break;
            }
        }
    }
    bool validHeader(const unsigned char* h) override { return accept ? accept(h) : true; }
};

class TelemetryCacheTest : public ::testing::Test
{
protected:
    void SetUp() override { DataInterpretation::init(nullptr, false, nullptr, {}); }

    std::unique_ptr<ProbeCache> makeCache(TelemetryCache::PacketFormat format)
    {
        auto c = std::make_unique<ProbeCache>(new UnixTimeResolver);
        c->setPacketFormat(format);
        c->setMessageStream(messages.stream());
        return c;
    }
    std::string write(const QString& name, const QByteArray& bytes)
    {
        return dir.write(name, bytes).toStdString();
    }
    // A file last written long enough ago to be read as finished.
    std::string writeFinished(const QString& name, const QByteArray& bytes)
    {
        const QString path = dir.write(name, bytes);
        EXPECT_TRUE(ageFile(path));
        return path.toStdString();
    }
    static void append(const std::string& path, const QByteArray& bytes)
    {
        QFile f(QString::fromStdString(path));
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(bytes);
    }

    TestSupport::TempDir dir;
    Messages messages;
};

QByteArray tomArchive(int count, int size = 40)
{
    QByteArray a;
    for (int i = 0; i < count; ++i)
        a += tomPacketOfSize(uint8_t(1 + i % 3), uint8_t(i), size + i % 5, uint32_t(1000 + i));
    return a;
}

} // namespace

TEST_F(TelemetryCacheTest, EmptyAndShortFilesGiveNothingQuietly)
{
    for (TelemetryCache::PacketFormat f : {TelemetryCache::TOM, TelemetryCache::CCSDS}) {
        auto c = makeCache(f);
        c->changeFile(write("empty.dat", ""), true);
        EXPECT_EQ(c->count(), 0u);
        c->changeFile(write("short.dat", "abcde"), true);
        EXPECT_EQ(c->count(), 0u);
        EXPECT_EQ(c->readPosition(), 0);
    }
    EXPECT_TRUE(messages.lines().isEmpty());
}

TEST_F(TelemetryCacheTest, TomArchiveIsReadWithHooksInOrder)
{
    const QByteArray a = tomArchive(10);
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(write("run.dat", a), true);
    ASSERT_EQ(c->count(), 10u);
    long offset = 0;
    for (unsigned i = 0; i < 10; ++i) {
        const TMPacketPtr p = c->get(i);
        ASSERT_TRUE(p);
        EXPECT_NE(dynamic_cast<TomPacket*>(p.get()), nullptr);
        EXPECT_EQ(p->index, int(i));
        EXPECT_EQ(p->sequence(), int(i));
        EXPECT_EQ(p->rawTimestamp(), 1000u + i);
        EXPECT_EQ(p->timeResolver, c->timeResolver());
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(p->data()), qsizetype(p->totalLength())),
                  a.mid(offset, qsizetype(p->totalLength())));
        offset += long(p->totalLength());
    }
    EXPECT_EQ(c->readPosition(), a.size());
    EXPECT_FALSE(c->get(10));
    // The resolver saw each packet before the hook did.
    EXPECT_EQ(c->calls.first(), "adjust");
    EXPECT_EQ(c->calls.at(1), "hook 0 t0=1");
    EXPECT_EQ(c->calls.size(), 11);
    EXPECT_EQ(c->timeResolver()->t0Packet(), c->get(0));
    EXPECT_TRUE(messages.lines().isEmpty());
}

TEST_F(TelemetryCacheTest, StrayBytesBeforeTheFirstPacketOfAShortArchive)
{
    // The stray bytes make a candidate whose length runs past the end of the
    // file; the complete packet after them must still be found at once.
    const QByteArray a = QByteArray("\x01\x02\x03", 3) + tomPacketOfSize(4, 0, 30, 5);
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(write("stray.dat", a), true);
    ASSERT_EQ(c->count(), 1u);
    EXPECT_EQ(c->get(0)->type(), 4);
    EXPECT_EQ(messages.lines(), QStringList{"Skipped 3 bytes [0 - 3]"});

    const QByteArray longer = QByteArray("\x01\x02\x03", 3) + tomArchive(50);
    messages.clear();
    c->setMessageStream(messages.stream());
    c->changeFile(write("stray2.dat", longer), true);
    EXPECT_EQ(c->count(), 50u);
    EXPECT_EQ(messages.lines(), QStringList{"Skipped 3 bytes [0 - 3]"});
}

TEST_F(TelemetryCacheTest, BadChecksumIsSteppedOverQuietlyUntilTheNextPacket)
{
    QByteArray bad = tomPacketOfSize(2, 1, 40, 7);
    bad[20] = char(bad[20] ^ 0x55);
    const QByteArray a = tomPacketOfSize(1, 0, 30, 6) + bad + tomPacketOfSize(3, 2, 50, 8);
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(write("bad.dat", a), true);
    ASSERT_EQ(c->count(), 2u);
    EXPECT_EQ(c->get(1)->type(), 3);
    EXPECT_EQ(c->get(1)->index, 1);
    EXPECT_EQ(messages.lines(), QStringList{"Skipped 40 bytes [30 - 70]"});
}

TEST_F(TelemetryCacheTest, InvalidHeadersAreReported)
{
    const QByteArray a = tomPacketOfSize(0x7F, 0, 20, 0) + tomPacketOfSize(2, 1, 20, 0);
    auto c = makeCache(TelemetryCache::TOM);
    c->accept = [](const unsigned char* h) { return h[0] != 0x7F; };
    c->changeFile(write("inv.dat", a), true);
    ASSERT_EQ(c->count(), 1u);
    EXPECT_EQ(c->get(0)->type(), 2);
    const QStringList lines = messages.lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "Invalid header - type: 127 length: 8");
    EXPECT_EQ(lines[1], "Skipped 20 bytes [0 - 20]");
}

TEST_F(TelemetryCacheTest, PartialLastTomPacketBacksOffFiveTimes)
{
    const QByteArray last = tomPacketOfSize(2, 9, 60, 1);
    const std::string path = write("grow.dat", tomArchive(3) + last.left(30));
    const long start = tomArchive(3).size();
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(path, true); // first back-off
    for (int i = 0; i < 4; ++i)
        c->grow();
    EXPECT_EQ(c->count(), 3u);
    const QString backOff = QString("Read partial packet...backing up to index %1").arg(start);
    EXPECT_EQ(messages.lines(), QStringList(5, backOff).toList());
    append(path, last.mid(30));
    c->grow();
    ASSERT_EQ(c->count(), 4u);
    EXPECT_EQ(c->get(3)->sequence(), 9);
    EXPECT_EQ(messages.lines().size(), 5);

    // Left incomplete, the sixth attempt steps one byte forward, and so over
    // every candidate left that runs past the end, without waiting again;
    // later attempts on the unchanged file write nothing.
    auto d = makeCache(TelemetryCache::TOM);
    messages.clear();
    d->setMessageStream(messages.stream());
    d->changeFile(write("stuck.dat", tomArchive(3) + last.left(30)), true);
    for (int i = 0; i < 5; ++i)
        d->grow();
    QStringList lines = messages.lines();
    ASSERT_GE(lines.size(), 6);
    EXPECT_EQ(lines[4], backOff);
    EXPECT_EQ(lines[5], "Could not read 52 bytes from file...skipping ahead 1 byte");
    EXPECT_EQ(lines.filter("Read partial packet").size(), 5);
    EXPECT_EQ(d->count(), 3u);
    EXPECT_EQ(d->readPosition(), start + 30 - 7); // less than a header left
    for (int i = 0; i < 30; ++i)
        d->grow();
    EXPECT_EQ(messages.lines(), lines);
}

TEST_F(TelemetryCacheTest, BackOffsWhileTheFileGrowsDoNotCount)
{
    const QByteArray big = tomPacketOfSize(2, 9, 2000, 1);
    const std::string path = write("slow.dat", tomArchive(2) + big.left(100));
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(path, true);
    // The writer adds a little before every poll: never given up on.
    for (int i = 1; i < 15; ++i) {
        append(path, big.mid(100 * i, 100));
        c->grow();
        ASSERT_EQ(c->count(), 2u);
    }
    for (const QString& line : messages.lines())
        EXPECT_TRUE(line.startsWith("Read partial packet")) << line.toStdString();
    append(path, big.mid(1500));
    c->grow();
    ASSERT_EQ(c->count(), 3u);
    EXPECT_EQ(c->get(2)->totalLength(), 2000u);
}

TEST_F(TelemetryCacheTest, PartialReadCountersBelongToOneCacheAndFormat)
{
    const QByteArray last = tomPacketOfSize(2, 9, 60, 1);
    const std::string path = write("p.dat", tomArchive(1) + last.left(30));
    auto a = makeCache(TelemetryCache::TOM);
    a->changeFile(path, true);
    for (int i = 0; i < 3; ++i)
        a->grow(); // four back-offs in a
    auto b = makeCache(TelemetryCache::TOM);
    b->changeFile(path, true); // b starts its own count
    a->grow();                 // a's fifth back-off
    QStringList lines = messages.lines();
    ASSERT_EQ(lines.size(), 6);
    for (const QString& l : lines)
        EXPECT_TRUE(l.startsWith("Read partial packet")) << l.toStdString();
    a->grow(); // a's sixth attempt steps forward
    lines = messages.lines();
    ASSERT_GE(lines.size(), 7);
    EXPECT_TRUE(lines[6].startsWith("Could not read")) << lines[6].toStdString();

    // clear() and changeFile() start the count again.
    messages.clear();
    b->setMessageStream(messages.stream());
    for (int i = 0; i < 3; ++i)
        b->grow();
    b->clear();
    b->changeFile(path, false);
    for (int i = 0; i < 4; ++i)
        b->grow();
    for (const QString& l : messages.lines())
        EXPECT_TRUE(l.startsWith("Read partial packet")) << l.toStdString();
}

TEST_F(TelemetryCacheTest, GarbageNearTheEndDoesNotHideLaterPackets)
{
    // A corrupt stretch just before the last packets of a finished archive:
    // its candidates claim lengths that run past the end of the file.
    QByteArray garbage(64, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = char(0xF0 + (i % 7));
    const QByteArray a = tomArchive(5) + garbage + tomArchive(4, 100);
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(write("late.dat", a), true);
    EXPECT_EQ(c->count(), 9u);
    EXPECT_EQ(c->readPosition(), a.size());
    EXPECT_EQ(messages.lines(), QStringList{QString("Skipped 64 bytes [%1 - %2]")
                                                .arg(tomArchive(5).size())
                                                .arg(tomArchive(5).size() + 64)});
}

TEST_F(TelemetryCacheTest, ResynchronisationOverRandomBytesIsFast)
{
    QByteArray noise(256 * 1024, '\0');
    QRandomGenerator rng(42);
    for (auto& ch : noise)
        ch = char(rng.bounded(256));
    const QByteArray a = tomArchive(20) + noise + tomArchive(30, 200);
    auto c = makeCache(TelemetryCache::TOM);
    QElapsedTimer timer;
    timer.start();
    c->changeFile(write("noise.dat", a), true);
    EXPECT_LT(timer.elapsed(), 20000);
    // Random bytes could hold a valid packet only with odds of 1 in 2^32 per offset.
    EXPECT_EQ(c->count(), 50u);
    EXPECT_EQ(c->readPosition(), a.size());
}

TEST_F(TelemetryCacheTest, CcsdsPacketsLabelsAndGroundTimes)
{
    const QByteArray a = label("GANN", 4, 1000, 250) + ccsdsPacket(0x100, 1, 20, 5) +
                         ccsdsPacket(0x101, 2, 16, 6) + label("FANN", 0, 2000, 999) +
                         ccsdsPacket(0x102, 3, 30, 7);
    auto c = makeCache(TelemetryCache::CCSDS);
    c->changeFile(write("c.dat", a), true);
    ASSERT_EQ(c->count(), 3u);
    auto p0 = c->get(0);
    EXPECT_NE(dynamic_cast<CcsdsPacket*>(p0.get()), nullptr);
    EXPECT_EQ(p0->apid(), 0x100);
    EXPECT_EQ(p0->groundSeconds, 1000u);
    EXPECT_EQ(p0->groundMs, 250.0);
    EXPECT_EQ(p0->totalLength(), 20u);
    EXPECT_EQ(c->get(1)->groundSeconds, 0u);
    EXPECT_EQ(c->get(1)->groundMs, 0.0);
    EXPECT_EQ(c->get(2)->groundSeconds, 2000u);
    EXPECT_EQ(c->get(2)->groundMs, 999.0);
    EXPECT_EQ(c->readPosition(), a.size());
    EXPECT_TRUE(messages.lines().isEmpty());
}

TEST_F(TelemetryCacheTest, ShortFinalCcsdsPacketsAreRead)
{
    const QByteArray a = ccsdsPacket(0x10, 0, 30) + ccsdsPacket(0x11, 1, 7) + ccsdsPacket(0x12, 2, 19);
    auto c = makeCache(TelemetryCache::CCSDS);
    c->changeFile(write("s.dat", a), true);
    ASSERT_EQ(c->count(), 3u);
    EXPECT_EQ(c->get(1)->totalLength(), 7u);
    EXPECT_EQ(c->get(2)->totalLength(), 19u);
    EXPECT_EQ(c->get(2)->rawTimestamp(), 0u);

    // Trailing bytes that may be the start of a label are waited for.
    const std::string path = write("l.dat", ccsdsPacket(0x10, 0, 30) + QByteArray("C7333IA0GA"));
    auto d = makeCache(TelemetryCache::CCSDS);
    d->changeFile(path, true);
    EXPECT_EQ(d->count(), 1u);
    EXPECT_EQ(d->readPosition(), 30);
    QByteArray rest = label("GANN", 2, 77, 5).mid(10) + ccsdsPacket(0x13, 3, 12);
    append(path, rest);
    d->grow();
    ASSERT_EQ(d->count(), 2u);
    EXPECT_EQ(d->get(1)->groundSeconds, 77u);
    EXPECT_TRUE(messages.lines().isEmpty());
}

TEST_F(TelemetryCacheTest, LengthField65535IsAFullBody)
{
    QByteArray big = ccsdsPacket(0x20, 0, 65536 + 6);
    EXPECT_EQ(uint8_t(big[4]), 0xFF);
    EXPECT_EQ(uint8_t(big[5]), 0xFF);
    const QByteArray a = big + ccsdsPacket(0x21, 1, 12);
    auto c = makeCache(TelemetryCache::CCSDS);
    c->changeFile(write("big.dat", a), true);
    ASSERT_EQ(c->count(), 2u);
    EXPECT_EQ(c->get(0)->totalLength(), 65542u);
    EXPECT_EQ(c->get(0)->dataLength(), 65536u);
    EXPECT_EQ(c->get(1)->apid(), 0x21);
}

TEST_F(TelemetryCacheTest, LabelsLongerThanTheBufferAndMalformedLabels)
{
    // N = 20000: 40 + N is past the 10,240-byte label buffer. Such digits
    // were hit: the label is damage, skipped, whole or not yet all written.
    const QByteArray huge = label("FANN", 20000, 3333, 44);
    const QByteArray a = huge + ccsdsPacket(0x30, 0, 14) + ccsdsPacket(0x31, 1, 14);
    auto c = makeCache(TelemetryCache::CCSDS);
    c->accept = [](const unsigned char* h) { return h[0] == 0x08; };
    c->changeFile(write("h.dat", a), true);
    ASSERT_EQ(c->count(), 2u);
    EXPECT_EQ(c->get(0)->apid(), 0x30);
    EXPECT_EQ(c->get(0)->groundSeconds, 0u);
    EXPECT_EQ(messages.lines(), QStringList{"Skipped 20040 bytes [0 - 20040]"});

    const std::string path = write("t.dat", huge.left(15000));
    auto d = makeCache(TelemetryCache::CCSDS);
    d->accept = [](const unsigned char* h) { return h[0] == 0x08; };
    d->changeFile(path, true);
    EXPECT_EQ(d->count(), 0u);
    append(path, huge.mid(15000) + ccsdsPacket(0x32, 0, 14));
    // Found by a search that ends the file: decided once the file settles.
    for (int i = 0; i <= TelemetryCache::PARTIAL_READ_LIMIT; ++i)
        d->grow();
    ASSERT_EQ(d->count(), 1u);
    EXPECT_EQ(d->get(0)->apid(), 0x32);

    // Length digits that are not 8 ASCII digits: no label, so its bytes are
    // header candidates (here rejected and skipped) and give no ground time.
    QByteArray notLabel = label("GANN", 4, 1, 1);
    notLabel[15] = ' ';
    auto e = makeCache(TelemetryCache::CCSDS);
    e->accept = [](const unsigned char* h) { return h[0] == 0x08; };
    e->changeFile(writeFinished("n.dat", notLabel + ccsdsPacket(0x33, 0, 14)), true);
    ASSERT_EQ(e->count(), 1u);
    EXPECT_EQ(e->get(0)->groundSeconds, 0u);
    EXPECT_EQ(messages.lines().last(), "Skipped 44 bytes [0 - 44]");

    // Digits hit so that the claim runs past the end of the file: damage,
    // skipped with the usual line, read whole and followed alike; only the
    // packet behind it loses its ground time. Within a label buffer's length
    // the label may still be being written: it is waited for first.
    for (const char* digits : {"99999999", "00500000", "00009000"}) {
        QByteArray hit = label("FANN", 4, 9, 9);
        hit.replace(12, 8, digits);
        const QByteArray b = label("GANN", 0, 1, 1) + ccsdsPacket(0x34, 0, 14) + hit + ccsdsPacket(0x35, 1, 14) +
                             label("GANN", 0, 3333, 1) + ccsdsPacket(0x36, 2, 14);
        for (bool followed : {false, true}) {
            messages.clear();
            auto f = makeCache(TelemetryCache::CCSDS);
            f->setMessageStream(messages.stream());
            f->accept = [](const unsigned char* h) { return h[0] == 0x08; };
            const std::string fp = write("hit.dat", followed ? QByteArray() : b);
            f->changeFile(fp, true);
            if (followed)
                append(fp, b);
            for (int i = 0; i <= TelemetryCache::PARTIAL_READ_LIMIT; ++i)
                f->grow();
            ASSERT_EQ(f->count(), 3u) << digits;
            EXPECT_EQ(f->get(0)->groundSeconds, 1u);
            EXPECT_EQ(f->get(1)->apid(), 0x35);
            EXPECT_EQ(f->get(1)->groundSeconds, 0u);
            EXPECT_EQ(f->get(2)->groundSeconds, 3333u);
            EXPECT_EQ(messages.lines(), QStringList{"Skipped 44 bytes [54 - 98]"}) << digits << followed;
            for (int i = 0; i < 30; ++i)
                f->grow();
            EXPECT_EQ(messages.lines().size(), 1);
        }
    }
}

TEST_F(TelemetryCacheTest, ResyncAfterALabelDropsItsGroundTime)
{
    const QByteArray a = label("GANN", 0, 500, 1) + QByteArray(3, '\xEE') + ccsdsPacket(0x40, 0, 12);
    auto c = makeCache(TelemetryCache::CCSDS);
    // Only real packet headers (version 0, our APID range) are valid.
    c->accept = [](const unsigned char* h) { return h[0] == 0x08 && h[1] == 0x40; };
    c->changeFile(writeFinished("r.dat", a), true);
    ASSERT_EQ(c->count(), 1u);
    EXPECT_EQ(c->get(0)->groundSeconds, 0u);
    EXPECT_EQ(c->get(0)->groundMs, 0.0);
    EXPECT_EQ(messages.lines(), QStringList{"Skipped 43 bytes [0 - 43]"});
}

TEST_F(TelemetryCacheTest, ScanLimitGivesUpOnACorruptArchive)
{
    const QByteArray a(1100000, '\x5A');
    auto c = makeCache(TelemetryCache::CCSDS);
    c->accept = [](const unsigned char*) { return false; };
    c->changeFile(write("corrupt.dat", a), true);
    EXPECT_EQ(c->count(), 0u);
    EXPECT_EQ(c->readPosition(), a.size());
    EXPECT_EQ(messages.lines(),
              QStringList{"Scanned 1000000 bytes [0 - 1000000] without finding a valid packet header, archive "
                          "may be corrupt!"});
    // Only bytes appended later are looked at; the stretch ended with its line.
    c->accept = nullptr;
    append(c->filePath(), ccsdsPacket(0x50, 0, 12));
    c->grow();
    EXPECT_EQ(c->count(), 1u);
    EXPECT_EQ(messages.lines().size(), 1);
    EXPECT_EQ(c->damage(), std::vector<DamagedStretch>({{0, 1000000, DamagedStretch::Kind::ScannedToLimit, 0}}));
}

TEST_F(TelemetryCacheTest, PartialCcsdsPacketAndSkips)
{
    const QByteArray last = ccsdsPacket(0x60, 5, 40);
    const std::string path = write("cp.dat", ccsdsPacket(0x61, 0, 20) + last.left(25));
    auto c = makeCache(TelemetryCache::CCSDS);
    c->accept = [](const unsigned char* h) { return h[0] == 0x08 && (h[1] == 0x60 || h[1] == 0x61); };
    c->changeFile(path, true);
    for (int i = 0; i < 5; ++i)
        c->grow();
    // The bytes after the partial packet are searched in the same grow,
    // without waiting again.
    // Settled, the stretch that runs to the end of the file is said once.
    const QStringList lines = messages.lines();
    ASSERT_EQ(lines.size(), 7);
    EXPECT_EQ(lines.filter("Read partial packet...backing up to index 20").size(), 5);
    EXPECT_EQ(lines[5], "Could not read 34 bytes from file...skipping ahead 1 byte");
    EXPECT_EQ(lines[6], "Skipped 25 bytes [20 - 45]");
    const std::vector<DamagedStretch> damage{{20, 60, DamagedStretch::Kind::ClaimPastEnd, 1},
                                             {20, 45, DamagedStretch::Kind::Skipped, 1}};
    EXPECT_EQ(c->damage(), damage);
    EXPECT_EQ(c->count(), 1u);
    EXPECT_EQ(c->readPosition(), 20 + 25 - 5); // less than a header left
    for (int i = 0; i < 30; ++i)
        c->grow();
    EXPECT_EQ(messages.lines(), lines);
    EXPECT_EQ(c->damage(), damage);
    // Nor again when the file grows and a packet follows.
    append(path, ccsdsPacket(0x61, 6, 20));
    c->grow();
    EXPECT_EQ(c->count(), 2u);
    EXPECT_EQ(c->damage(), damage);
}

// The base cache cannot tell a packet from other bytes: an archive whose
// last packet is cut short (in its label, its header or its body, labelled
// or bare) gives the intact packets and none invented, opened once or waited
// on until the back-offs are spent. It says once that it leaves the cut
// packet unread, and reads it once the file is completed.
TEST_F(TelemetryCacheTest, TheBaseCacheLeavesACutLastPacketUnreadAndInventsNothing)
{
    const QString leaves = "Could not read a whole packet at index %1...reading no further until the file grows";
    for (const bool labels : {false, true}) {
        QByteArray archive;
        for (int i = 0; i < 30; ++i)
            archive += (labels ? label("GANN", 4, uint32_t(100 + i), 0) : QByteArray()) +
                       ccsdsPacket(0x100 + i % 4, i, 60 + i);
        const QByteArray lead = labels ? label("FANN", 4, 777, 3) : QByteArray();
        const QByteArray last = lead + ccsdsPacket(0x101, 30, 200);
        const struct
        {
            qsizetype cut;
            int backOffLines;
            bool leaveLine;
        } cuts[] = {
            {lead.size() ? 30 : 3, 0, lead.size() > 0}, // in its label's claim, or its header
            {lead.size() + 3, 0, false},                // in its header: nothing to read yet
            {lead.size() + 50, TelemetryCache::PARTIAL_READ_LIMIT, true},
        };
        for (const auto& cut : cuts) {
            const std::string what = std::string(labels ? "labelled" : "bare") + ", cut at " + std::to_string(cut.cut);
            const std::string path = write("cut.dat", archive + last.left(cut.cut));
            Messages log;
            auto c = makeCache(TelemetryCache::CCSDS);
            c->setMessageStream(log.stream());
            c->changeFile(path, true);
            EXPECT_EQ(c->count(), 30u) << what;
            for (int i = 0; i < TelemetryCache::PARTIAL_READ_LIMIT + 1 + 30; ++i)
                c->grow();
            EXPECT_EQ(c->count(), 30u) << what;
            const QStringList lines = log.lines();
            EXPECT_EQ(lines.filter("Read partial packet...backing up to index " + QString::number(archive.size())).size(),
                      cut.backOffLines)
                << what;
            EXPECT_EQ(lines.filter(leaves.arg(archive.size())).size(), cut.leaveLine ? 1 : 0) << what;
            EXPECT_EQ(lines.size(), cut.backOffLines + (cut.leaveLine ? 1 : 0)) << what << "\n"
                                                                                 << lines.join('\n').toStdString();
            append(path, last.mid(cut.cut));
            c->grow();
            ASSERT_EQ(c->count(), 31u) << what;
            EXPECT_EQ(c->get(30)->totalLength(), 200u) << what;
            EXPECT_EQ(c->get(30)->groundSeconds, labels ? 777u : 0u) << what;
        }
    }
}

// The base cache at a burst of damage near the end of a finished file, whose
// claim runs past the end: it stops there, inventing nothing. A recording
// that goes on past that claim, or goes on and stops again before its end,
// is read on as before the stop: the burst's bytes are stepped over as the
// settled read stepped over them, and every packet written since is read.
TEST_F(TelemetryCacheTest, TheBaseCacheReadsARecordingThatGoesOnAfterDamage)
{
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        QRandomGenerator rng(seed);
        QByteArray burst(int(rng.bounded(1, 301)), '\0');
        for (char& c : burst)
            c = char(rng.bounded(256));
        // A header whose length was hit claims past the end: past what is
        // written later too (read on once the writes settle), or not.
        putBe16(burst, 4, seed % 2 ? 30000 : 3000);
        QByteArray archive;
        for (int i = 0; i < 100; ++i)
            archive += ccsdsPacket(0x100 + i % 4, i, 40 + i % 20, uint32_t(1000 + i));
        archive += burst;
        for (int i = 100; i < 120; ++i)
            archive += ccsdsPacket(0x100 + i % 4, i, 40 + i % 20, uint32_t(1000 + i));
        const std::string path = write("going-on.dat", archive);
        Messages log;
        auto c = makeCache(TelemetryCache::CCSDS);
        c->setMessageStream(log.stream());
        c->changeFile(path, true);
        for (int i = 0; i < TelemetryCache::PARTIAL_READ_LIMIT + 1; ++i)
            c->grow();
        const std::string what = "seed " + std::to_string(seed);
        ASSERT_EQ(c->count(), 100u) << what;
        EXPECT_EQ(log.lines().filter("reading no further").size(), 1) << what;
        QByteArrayList written;
        for (int i = 0; i < 500; i += 10) {
            QByteArray ten;
            for (int k = i; k < i + 10; ++k) {
                written << ccsdsPacket(0x100 + k % 4, 200 + k, 30 + k % 50, uint32_t(5000 + k));
                ten += written.last();
            }
            append(path, ten);
            c->grow();
        }
        for (int i = 0; i < TelemetryCache::PARTIAL_READ_LIMIT + 1; ++i)
            c->grow();
        ASSERT_GE(c->count(), 500u) << what;
        for (int i = 0; i < 500; ++i) {
            const TMPacketPtr p = c->get(unsigned(c->count() - 500 + size_t(i)));
            ASSERT_EQ(QByteArray(reinterpret_cast<const char*>(p->data()), qsizetype(p->totalLength())), written[i])
                << what << ", packet " << i << " written after the stop";
        }
    }
}

TEST_F(TelemetryCacheTest, HooksMovePastPreambleAndFiller)
{
    const QByteArray a = QByteArray("PREAMBLE") + ccsdsPacket(0x70, 0, 12) + QByteArray(3, '\xFF') +
                         ccsdsPacket(0x71, 1, 12);
    auto c = makeCache(TelemetryCache::CCSDS);
    c->preamble = 8;
    c->filler = 8;
    c->changeFile(write("pre.dat", a), true);
    ASSERT_EQ(c->count(), 2u);
    EXPECT_EQ(c->get(1)->apid(), 0x71);
    EXPECT_EQ(c->readPosition(), a.size());
    EXPECT_TRUE(messages.lines().isEmpty());
}

namespace {

// Appends a packet of its own after each parsed one, from within the hook,
// and reads the parsed packet afterwards (when the vector may have moved).
class AppendingCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;
    std::vector<int> seen;

protected:
    void hookPacket(const TMPacketPtr& p) override
    {
        appendPacket(std::make_shared<CcsdsPacket>(8, 0x7FF, false, CcsdsPrimaryHeader::Unsegmented, -1));
        seen.push_back(p->apid());
    }
};

} // namespace

TEST_F(TelemetryCacheTest, AHookMayAppendToItsCache)
{
    QByteArray a;
    for (int i = 0; i < 300; ++i)
        a += ccsdsPacket(0x100 + i % 3, i, 12);
    AppendingCache c(new UnixTimeResolver);
    c.setPacketFormat(TelemetryCache::CCSDS);
    c.setMessageStream(messages.stream());
    c.changeFile(write("appending.dat", a), true);
    ASSERT_EQ(c.count(), 600u);
    ASSERT_EQ(c.seen.size(), 300u);
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(c.seen[size_t(i)], 0x100 + i % 3) << i;
        EXPECT_EQ(c.get(unsigned(2 * i))->index, 2 * i) << i;
        EXPECT_EQ(c.get(unsigned(2 * i + 1))->apid(), 0x7FF) << i;
    }
}

TEST_F(TelemetryCacheTest, FollowsAGrowingFile)
{
    const std::string path = write("live.dat", tomArchive(2));
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(path, true);
    EXPECT_EQ(c->count(), 2u);
    c->grow();
    EXPECT_EQ(c->count(), 2u);
    append(path, tomPacketOfSize(1, 77, 25, 9));
    c->grow();
    ASSERT_EQ(c->count(), 3u);
    EXPECT_EQ(c->get(2)->sequence(), 77);
    EXPECT_EQ(c->get(2)->index, 2);
    EXPECT_EQ(c->calls.count("adjust"), 1);
}

TEST_F(TelemetryCacheTest, AFileWrittenAnewBeforeTheNextReadIsReadAgainFromItsStart)
{
    // A new recording written in place before the next read, past the old
    // read position: told from growth by the bytes read at the start of the
    // file and just before the position, either alone. Read again, it gives
    // the packets, times, hook calls and lines of a read of it whole.
    const auto tom = &tomRecording;
    const auto ccsds = &ccsdsRecording;
    // Packets longer than MARK_BYTES after a first packet without a time,
    // ending in the same padding: only their headers or labels differ.
    auto padded = [](int count, uint32_t t0, int size, bool labels) {
        QByteArray a = ccsdsPacket(0x50, 0, size).replace(12, size - 12, QByteArray(size - 12, '\x55'));
        for (int i = 1; i < count; ++i) {
            if (labels)
                a += label("GANN", 4, t0 + uint32_t(i), 5);
            a += ccsdsPacket(0x100, i, size, labels ? 0 : t0 + uint32_t(i)).replace(12, size - 12, QByteArray(size - 12, '\x55'));
        }
        return a;
    };
    // The same, the packets differing only in a byte past their first 64.
    auto late = [](int count, uint32_t t0) {
        QByteArray a = ccsdsPacket(0x50, 0, 300).replace(12, 288, QByteArray(288, '\x55'));
        for (int i = 1; i < count; ++i) {
            QByteArray p = ccsdsPacket(0x100, i, 300).replace(12, 288, QByteArray(288, '\x55'));
            p[200] = char(t0 + uint32_t(i));
            a += p;
        }
        return a;
    };
    const QByteArray old = tom(20, 1000);
    const QByteArray firstReplaced = tomPacketOfSize(1, 0, 40, 77) + old.mid(40) + tom(10, 5000);
    const struct
    {
        const char* name;
        TelemetryCache::PacketFormat format;
        QByteArray old, fresh;
    } cases[] = {
        {"TOM, another recording", TelemetryCache::TOM, old, tom(60, 5000)},
        {"TOM, the same first packets, then others", TelemetryCache::TOM, old, tom(10, 1000) + tom(40, 5000)},
        {"TOM, another first packet, then the same", TelemetryCache::TOM, old, firstReplaced},
        {"CCSDS", TelemetryCache::CCSDS, ccsds(20, 1000, false), ccsds(60, 5000, false)},
        {"CCSDS behind labels", TelemetryCache::CCSDS, ccsds(20, 1000, true), ccsds(60, 5000, true)},
        {"CCSDS of 120 bytes, the same first packet and padding", TelemetryCache::CCSDS, padded(20, 1000, 120, false),
         padded(60, 5000, 120, false)},
        {"CCSDS of 300 bytes, the same first packet and padding", TelemetryCache::CCSDS, padded(20, 1000, 300, false),
         padded(60, 5000, 300, false)},
        {"CCSDS of 120 bytes, the same packets behind other labels", TelemetryCache::CCSDS, padded(20, 1000, 120, true),
         padded(60, 5000, 120, true)},
        {"CCSDS of 300 bytes, the same packets behind other labels", TelemetryCache::CCSDS, padded(20, 1000, 300, true),
         padded(60, 5000, 300, true)},
        {"CCSDS of 300 bytes, differing past their first 64", TelemetryCache::CCSDS, late(20, 7), late(60, 99)},
    };
    for (const auto& k : cases) {
        auto whole = makeCache(k.format);
        messages.clear();
        whole->setMessageStream(messages.stream());
        whole->changeFile(write("whole.dat", k.fresh), true);
        const QStringList wholeLines = messages.lines();

        const std::string path = write("live.dat", {});
        auto c = makeCache(k.format);
        c->changeFile(path, true);
        append(path, k.old);
        c->grow();
        ASSERT_EQ(c->readPosition(), k.old.size()) << k.name;
        const TMPacketPtr held = c->get(3);
        const QByteArray heldBytes(reinterpret_cast<const char*>(held->data()), qsizetype(held->totalLength()));
        c->calls.clear();
        messages.clear();
        c->setMessageStream(messages.stream());
        write("live.dat", k.fresh);
        for (int i = 0; i < 6; ++i)
            c->grow();

        ASSERT_EQ(c->count(), whole->count()) << k.name;
        for (unsigned i = 0; i < c->count(); ++i) {
            const TMPacketPtr p = c->get(i);
            const TMPacketPtr q = whole->get(i);
            ASSERT_EQ(QByteArray(reinterpret_cast<const char*>(p->data()), qsizetype(p->totalLength())),
                      QByteArray(reinterpret_cast<const char*>(q->data()), qsizetype(q->totalLength())))
                << k.name << ", packet " << i;
            EXPECT_EQ(p->groundSeconds, q->groundSeconds) << k.name << ", packet " << i;
            EXPECT_EQ(p->relativeTime(), q->relativeTime()) << k.name << ", packet " << i;
        }
        EXPECT_EQ(c->calls, whole->calls) << k.name;
        EXPECT_EQ(messages.lines(), QStringList(QString("File %1 of %2 bytes was written anew before the read "
                                                        "position %3...reading it anew from the start")
                                                    .arg(path.c_str())
                                                    .arg(k.fresh.size())
                                                    .arg(k.old.size()))
                                        + wholeLines)
            << k.name;
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(held->data()), qsizetype(held->totalLength())), heldBytes)
            << k.name;
        EXPECT_EQ(held->index, 3) << k.name;
    }
}

TEST_F(TelemetryCacheTest, ARecordingWithTheSameFirstAndLastPacketsIsReadOn)
{
    // What the cache holds of the file is found again at its offsets: the
    // same data, read on as growth, whatever changed between them.
    QByteArray old;
    for (int i = 0; i < 20; ++i)
        old += label("GANN", 4, 1000 + uint32_t(i), 5) + ccsdsPacket(0x100, i, 120, 1000 + uint32_t(i));
    QByteArray fresh = old;
    fresh.replace(400, 8, QByteArray(8, '\x33')); // inside a packet between the first and the last
    fresh += ccsdsPacket(0x100, 20, 120, 1020);
    const std::string path = write("live.dat", old);
    auto c = makeCache(TelemetryCache::CCSDS);
    c->changeFile(path, true);
    ASSERT_EQ(c->count(), 20u);
    messages.clear();
    c->setMessageStream(messages.stream());
    write("live.dat", fresh);
    c->grow();
    EXPECT_EQ(c->count(), 21u);
    EXPECT_EQ(c->get(20)->sequence(), 20);
    EXPECT_EQ(c->get(19)->groundSeconds, 1019u);
    EXPECT_TRUE(messages.lines().isEmpty());
}

namespace {

// A recorder that restarts while a hook runs: at the packet `at` of a parse,
// its file is truncated and a new recording written (past the read position).
class RestartingCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;
    std::string file;
    QByteArray fresh;
    int at = -1;
    int hooked = 0;

protected:
    void hookPacket(const TMPacketPtr&) override
    {
        if (hooked++ != at)
            return;
        QFile f(QString::fromStdString(file));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(fresh);
    }
};

} // namespace

TEST_F(TelemetryCacheTest, ARecordingStartedAnewWhileAHookRunsIsReadAgain)
{
    // The same first packet and padding in both recordings: only the times
    // in the headers tell them apart. Whether the restart came during a
    // grow or during the parse of changeFile, the next grow reads the new
    // recording from its start.
    auto recording = [](int count, uint32_t t0) {
        QByteArray a = ccsdsPacket(0x50, 0, 120).replace(12, 108, QByteArray(108, '\x55'));
        for (int i = 1; i < count; ++i)
            a += ccsdsPacket(0x100, i, 120, t0 + uint32_t(i)).replace(12, 108, QByteArray(108, '\x55'));
        return a;
    };
    const QByteArray fresh = recording(21, 5000);
    for (const bool inChangeFile : {false, true}) {
        const std::string path = write("live.dat", inChangeFile ? recording(10, 1000) : QByteArray());
        RestartingCache c(new UnixTimeResolver);
        c.setPacketFormat(TelemetryCache::CCSDS);
        c.setMessageStream(messages.stream());
        c.file = path;
        c.fresh = fresh;
        c.at = 4;
        c.changeFile(path, true);
        if (!inChangeFile) {
            append(path, recording(10, 1000));
            c.grow();
        }
        for (int i = 0; i < TelemetryCache::PARTIAL_READ_LIMIT + 1; ++i)
            c.grow();
        const char* what = inChangeFile ? "in changeFile" : "in a grow";
        ASSERT_EQ(c.count(), 21u) << what;
        for (unsigned i = 1; i < 21; ++i)
            EXPECT_EQ(c.get(i)->rawTimestamp(), 5000 + i) << what << ", packet " << i;
    }
}

TEST_F(TelemetryCacheTest, ARestartDuringAReadLargerThanTheWindowIsSeen)
{
    // The packets compared are the bytes the parse read, not the file's
    // bytes once the hooks have run: a recording started anew while a hook
    // of a long parse runs, whether it differs everywhere or only in its
    // first packet, is read anew at the next grow.
    auto recording = [](uint32_t first, uint32_t t0, int count) {
        QByteArray a = ccsdsPacket(0x50, 0, 120, first);
        for (int i = 1; i < count; ++i)
            a += ccsdsPacket(0x100, i, 120, t0 + uint32_t(i));
        return a;
    };
    const struct
    {
        const char* name;
        int at; // the hook that restarts
        QByteArray fresh;
    } cases[] = {
        {"every time other, while packet 4 is hooked", 4, recording(2, 5000, 10001)},
        {"the first packet other, while the last is hooked", 9999, recording(2, 1000, 10001)},
    };
    for (const auto& k : cases) {
        const std::string path = write("live.dat", recording(1, 1000, 10000));
        RestartingCache c(new UnixTimeResolver);
        c.setPacketFormat(TelemetryCache::CCSDS);
        messages.clear();
        c.setMessageStream(messages.stream());
        c.file = path;
        c.fresh = k.fresh;
        c.at = k.at;
        c.changeFile(path, true);
        for (int i = 0; i < TelemetryCache::PARTIAL_READ_LIMIT + 1; ++i)
            c.grow();
        ASSERT_EQ(c.count(), 10001u) << k.name;
        const QByteArray first(reinterpret_cast<const char*>(c.get(0)->data()), 120);
        EXPECT_EQ(first, k.fresh.left(120)) << k.name;
        EXPECT_EQ(c.get(5000)->rawTimestamp(), qFromBigEndian<uint32_t>(k.fresh.constData() + 5000 * 120 + 6))
            << k.name;
        EXPECT_TRUE(messages.lines().value(0).contains("was written anew")) << k.name;
    }
}

TEST_F(TelemetryCacheTest, AFileEndingInALongStretchOfDamageIsNotReadAnew)
{
    // The parse's window moves on past the last packet while it scans 1.5 MiB
    // that hold none: what it read of the packet is kept, and the unchanged
    // file, grown again, is not taken for a new recording.
    for (const bool labels : {false, true}) {
        QByteArray a;
        for (int i = 0; i < 10; ++i)
            a += (labels ? label("GANN", 4, 5000 + uint32_t(i), 5) : QByteArray()) +
                 ccsdsPacket(0x100, i, 120, 1000 + uint32_t(i));
        a += QByteArray(1536 * 1024, '\xFF');
        auto c = makeCache(TelemetryCache::CCSDS);
        c->accept = [](const unsigned char* h) { return h[0] != 0xFF; };
        c->setMaxScan(0);
        c->changeFile(write("damaged.dat", a), true);
        ASSERT_EQ(c->count(), 10u) << labels;
        messages.clear();
        c->setMessageStream(messages.stream());
        for (int i = 0; i < 3; ++i)
            c->grow();
        EXPECT_EQ(c->count(), 10u) << labels;
        EXPECT_TRUE(messages.lines().isEmpty()) << labels << ": " << messages.lines().join('\n').toStdString();
    }
}

namespace {

// A hook that throws at the packet `at`, once.
class ThrowingCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;
    int at = -1;
    bool badAlloc = false;
    std::vector<int> hooked;

protected:
    void hookPacket(const TMPacketPtr& p) override
    {
        hooked.push_back(p->index);
        if (p->index != at)
            return;
        at = -1;
        if (badAlloc)
            throw std::bad_alloc();
        throw std::runtime_error("hook");
    }
};

} // namespace

TEST_F(TelemetryCacheTest, AHookThatThrowsLeavesThePacketHeldOnce)
{
    // The exception reaches the caller; the packet it was thrown for is held
    // once, the read goes on after it, and no restart is seen that was not.
    for (const auto format : {TelemetryCache::CCSDS, TelemetryCache::TOM})
    for (const bool badAlloc : {false, true}) {
        for (const bool inChangeFile : {false, true}) {
            const std::string what = std::string(format == TelemetryCache::TOM ? "TOM, " : "CCSDS, ") +
                                     (badAlloc ? "bad_alloc" : "runtime_error") +
                                     (inChangeFile ? " in changeFile" : " in a grow");
            auto packet = [&](int i) {
                return format == TelemetryCache::TOM ? tomPacketOfSize(1, uint8_t(i), 120, 1000 + uint32_t(i))
                                                     : ccsdsPacket(0x100, i, 120, 1000 + uint32_t(i));
            };
            QByteArray a;
            for (int i = 0; i < 5; ++i)
                a += packet(i);
            const std::string path = write("live.dat", inChangeFile ? a : QByteArray());
            ThrowingCache c(new UnixTimeResolver);
            c.setPacketFormat(format);
            messages.clear();
            c.setMessageStream(messages.stream());
            c.at = 2;
            if (inChangeFile) {
                EXPECT_ANY_THROW(c.changeFile(path, true)) << what;
            } else {
                c.changeFile(path, true);
                append(path, a);
                EXPECT_ANY_THROW(c.grow()) << what;
            }
            EXPECT_EQ(c.count(), 3u) << what;
            c.grow();
            ASSERT_EQ(c.count(), 5u) << what;
            for (unsigned i = 0; i < 5; ++i) {
                EXPECT_EQ(c.get(i)->index, int(i)) << what;
                EXPECT_EQ(c.get(i)->rawTimestamp(), 1000 + i) << what;
            }
            EXPECT_EQ(c.hooked, std::vector<int>({0, 1, 2, 3, 4})) << what;
            EXPECT_TRUE(messages.lines().isEmpty()) << what;
            // Still followed as a file being written, and watched for a restart.
            append(path, packet(5).left(60));
            c.grow();
            EXPECT_EQ(messages.lines(), QStringList("Read partial packet...backing up to index 600")) << what;
            messages.clear();
            c.setMessageStream(messages.stream());
            write("live.dat", a.left(480));
            c.grow();
            EXPECT_EQ(messages.lines().value(0), QString("File %1 is 480 bytes, shorter than the read position 600"
                                                         "...reading it anew from the start")
                                                     .arg(path.c_str()))
                << what;
            EXPECT_EQ(c.count(), 4u) << what;
        }
    }
}

TEST_F(TelemetryCacheTest, ARestartAfterAHookThrewIsSeen)
{
    // The packets taken before the throw count among those compared: a new
    // recording that differs only in them is read anew.
    auto packets = [](int from, int to, uint32_t t0) {
        QByteArray a;
        for (int i = from; i < to; ++i)
            a += ccsdsPacket(0x100, i, 120, t0 + uint32_t(i));
        return a;
    };
    const std::string path = write("live.dat", packets(0, 5, 1000));
    ThrowingCache c(new UnixTimeResolver);
    c.setPacketFormat(TelemetryCache::CCSDS);
    c.setMessageStream(messages.stream());
    c.changeFile(path, true);
    append(path, packets(5, 10, 1000));
    c.at = 9;
    EXPECT_ANY_THROW(c.grow());
    ASSERT_EQ(c.count(), 10u);
    write("live.dat", packets(0, 5, 1000) + packets(5, 12, 5000));
    c.grow();
    ASSERT_EQ(c.count(), 12u);
    EXPECT_EQ(c.get(9)->rawTimestamp(), 5009u);
    EXPECT_EQ(messages.lines().size(), 1);
}

namespace {

// A hook that calls its base version, as overrides often do.
class BaseCallingCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;
    int hooked = 0;

protected:
    void hookPacket(const TMPacketPtr& p) override
    {
        TelemetryCache::hookPacket(p);
        ++hooked;
    }
};

} // namespace

TEST_F(TelemetryCacheTest, AHookThatCallsItsBaseIsCalledForEveryPacket)
{
    QByteArray a;
    for (int i = 0; i < 5; ++i)
        a += ccsdsPacket(0x100, i, 20);
    for (const auto format : {TelemetryCache::CCSDS, TelemetryCache::TOM}) {
        BaseCallingCache c(new UnixTimeResolver);
        c.setPacketFormat(format);
        c.setMessageStream(messages.stream());
        c.changeFile(write("hooked.dat", format == TelemetryCache::TOM ? tomArchive(5) : a), true);
        ASSERT_EQ(c.count(), 5u);
        EXPECT_EQ(c.hooked, 5) << format;
    }
}

namespace {

// Throws for one packet, once.
class ThrowingResolver : public UnixTimeResolver
{
public:
    int at = -1;
    bool handlePacket(const TMPacketPtr& p) override
    {
        if (p->index == at) {
            at = -1;
            throw std::runtime_error("resolver");
        }
        return UnixTimeResolver::handlePacket(p);
    }
};

} // namespace

TEST_F(TelemetryCacheTest, AResolverThatThrowsLeavesThePacketToTheNextGrow)
{
    // Held not at all: the next grow takes it, and hooks it, again.
    QByteArray a;
    for (int i = 0; i < 5; ++i)
        a += ccsdsPacket(0x100, i, 120, 1000 + uint32_t(i));
    auto* resolver = new ThrowingResolver;
    resolver->at = 2;
    ThrowingCache c(resolver);
    c.setPacketFormat(TelemetryCache::CCSDS);
    c.setMessageStream(messages.stream());
    EXPECT_ANY_THROW(c.changeFile(write("live.dat", a), true));
    EXPECT_EQ(c.count(), 2u);
    c.grow();
    ASSERT_EQ(c.count(), 5u);
    EXPECT_EQ(c.hooked, std::vector<int>({0, 1, 2, 3, 4}));
    EXPECT_TRUE(messages.lines().isEmpty());
}

namespace {

// Step over 0xFF filler, on the parse's bytes or on the stream, and call
// the base version.
class SkippingCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;
    int calls = 0;

protected:
    size_t skipBeforeCcsds(const unsigned char* b, size_t n) override
    {
        ++calls;
        size_t k = 0;
        while (k < n && b[k] == 0xFF)
            ++k;
        return std::max(k, TelemetryCache::skipBeforeCcsds(b, n));
    }
};

class StreamSkippingCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;
    int calls = 0;

protected:
    void beforeParseCcsds(FILE* f) override
    {
        ++calls;
        int c;
        while ((c = std::fgetc(f)) == 0xFF) {
        }
        if (c != EOF)
            std::ungetc(c, f);
        TelemetryCache::beforeParseCcsds(f);
    }
};

} // namespace

TEST_F(TelemetryCacheTest, StepHooksThatCallTheirBaseAreCalledForEveryPacket)
{
#if defined(__clang__) || !defined(__GNUC__)
    GTEST_SKIP() << "overrides are found out on their first call with this compiler";
#endif
    QByteArray a;
    for (int i = 0; i < 10; ++i)
        a += QByteArray(4, '\xFF') + ccsdsPacket(0x100, i, 40);
    auto check = [&](auto& c, const char* what) {
        c.setPacketFormat(TelemetryCache::CCSDS);
        messages.clear();
        c.setMessageStream(messages.stream());
        c.changeFile(write("filler.dat", a), true);
        EXPECT_EQ(c.count(), 10u) << what;
        EXPECT_GE(c.calls, 10) << what;
        EXPECT_TRUE(messages.lines().isEmpty()) << what;
    };
    SkippingCache bytes(new UnixTimeResolver);
    check(bytes, "skipBeforeCcsds");
    StreamSkippingCache stream(new UnixTimeResolver);
    check(stream, "beforeParseCcsds");
}

TEST_F(TelemetryCacheTest, WithoutAHeaderTestALabelHoldingAnotherIsReadAsBefore)
{
    // Such a cache cannot resynchronise after damage: a label whose claim
    // holds the next label still covers it, and the rest of the file is read.
    QByteArray a;
    for (int i = 0; i < 20; ++i) {
        QByteArray l = label("GANN", 4, 5000 + uint32_t(i), 5);
        if (i == 5)
            l.replace(12, 8, QByteArray::number(l.size() + 30 + 44 - 40).rightJustified(8, '0'));
        a += l + ccsdsPacket(0x100, i, 30, 1000 + uint32_t(i));
    }
    auto c = makeCache(TelemetryCache::CCSDS);
    c->changeFile(write("labels.dat", a), true);
    ASSERT_EQ(c->count(), 19u);
    EXPECT_EQ(c->get(18)->groundSeconds, 5019u);
    EXPECT_TRUE(messages.lines().isEmpty());
}

TEST_F(TelemetryCacheTest, ASparseArchiveReservesForWhatItHolds)
{
    // A preallocated archive of a terabyte with 8,200 packets written: the
    // packet vector is reserved for what was read, not for the file's size.
    QByteArray a;
    for (int i = 0; i < 8200; ++i)
        a += ccsdsPacket(0x100 + i % 4, i, 120);
    const std::string path = write("sparse.dat", a);
    if (::truncate(path.c_str(), off_t(1) << 40) != 0)
        GTEST_SKIP() << "no sparse file of a terabyte here";
    auto c = makeCache(TelemetryCache::CCSDS);
    c->accept = [](const unsigned char* h) { return h[0] != 0; }; // the zeros after them are no packets
    c->setMaxScan(4096);
    ASSERT_NO_THROW(c->changeFile(path, true));
    EXPECT_EQ(c->count(), 8200u);
    EXPECT_LE(c->allPackets().capacity(), 2u * 8200u + 128u);
}

TEST_F(TelemetryCacheTest, ChangeFileFailureAndClear)
{
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(write("a.dat", tomArchive(2)), true);
    // Longer than a line's first buffer: the message is formatted whole.
    const std::string missing = dir.filePath(QString("x/").repeated(300) + "missing.dat").toStdString();
    c->changeFile(missing, false);
    EXPECT_EQ(c->count(), 2u);
    EXPECT_EQ(c->filePath(), missing);
    c->changeFile(missing, true);
    EXPECT_EQ(c->count(), 0u);
    EXPECT_EQ(messages.lines(), QStringList(2, QString("TMF::changeFile(%1) FAILED").arg(missing.c_str())).toList());
    c->grow(); // no stream: nothing
    EXPECT_EQ(c->count(), 0u);
}

namespace {

class FallbackResolver : public UnixTimeResolver
{
public:
    double fallback = -1;
    int resets = 0;
    void reset() override
    {
        ++resets;
        UnixTimeResolver::reset();
    }
    void setT0Fallback(double s) override { fallback = s; }
};

} // namespace

TEST_F(TelemetryCacheTest, ClearGivesTheResolverTheTestDate)
{
    dir.write("tm.meta", R"({"gse": {"version": 3, "mission": "kora", "tid_dir": "2023-05-01-13.45.10_1"}})");
    auto* r = new FallbackResolver;
    TelemetryCache c(r);
    c.setMessageStream(messages.stream());
    c.changeFile(write("m.dat", tomArchive(1)), true);
    EXPECT_TRUE(c.tmMeta().valid);
    EXPECT_EQ(r->resets, 1);
    EXPECT_DOUBLE_EQ(r->fallback, 1682963110.0); // 17:45:10 UTC
    EXPECT_EQ(c.count(), 1u);
    c.clear();
    EXPECT_EQ(c.count(), 0u);
    EXPECT_EQ(r->resets, 2);
    EXPECT_EQ(r->t0Packet(), nullptr);
}

TEST_F(TelemetryCacheTest, AppendPacketTrimsAndSignals)
{
    auto c = makeCache(TelemetryCache::TOM);
    QList<int> spy;
    QObject::connect(c.get(), &TelemetryCache::packetsRemoved, [&spy](int n) { spy << n; });
    auto p = std::make_shared<CcsdsPacket>(8, 1, false, CcsdsPrimaryHeader::Unsegmented, 0);
    c->appendPacket(p);
    EXPECT_EQ(spy, QList<int>{0});
    EXPECT_EQ(c->count(), 1u);
    c->setMaxPackets(3, 2);
    for (int i = 0; i < 3; ++i)
        c->appendPacket(std::make_shared<CcsdsPacket>(8, 2 + i, false, CcsdsPrimaryHeader::Unsegmented, 0));
    EXPECT_EQ(spy, (QList<int>{0, 2}));
    EXPECT_EQ(c->count(), 2u);
    EXPECT_EQ(c->get(0)->apid(), 3);
}

namespace {

// The simple sum of a block after its last fold, as the checksum computes it.
uint32_t finalSimpleSum(const QByteArray& block)
{
    const auto* d = reinterpret_cast<const uint8_t*>(block.constData());
    const size_t n = size_t(block.size());
    uint64_t s = 0xFFFF;
    size_t words = n / 2, i = 0;
    while (words) {
        size_t b = words < 360 ? words : 360;
        words -= b;
        for (; b; --b, i += 2)
            s += (uint32_t(d[i]) << 8) | d[i + 1];
        s = (s >> 16) + (s & 0xFFFF);
    }
    if (n & 1)
        s += uint32_t(d[n - 1]) << 8;
    return uint32_t((s >> 16) + (s & 0xFFFF));
}

} // namespace

TEST_F(TelemetryCacheTest, ResyncFindsPacketsWhoseSimpleSumFoldsPast16Bits)
{
    // An odd-length packet whose simple sum ends at 65536 after the last fold:
    // its stored low half is 0, which the quick test while resynchronising must not reject.
    QByteArray data(601, '\xFF');
    QByteArray packet;
    for (int w = 0; w < 65536 && packet.isEmpty(); ++w) {
        data[0] = char(w >> 8);
        data[1] = char(w);
        const QByteArray p = tomPacket(1, 0, data, 0);
        if (finalSimpleSum(p.left(p.size() - 4)) >= 0x10000)
            packet = p;
    }
    ASSERT_FALSE(packet.isEmpty());
    ASSERT_TRUE(GseLib::correct_checksum(reinterpret_cast<const unsigned char*>(packet.constData()),
                                         size_t(packet.size()) - 4, false));
    // Also at an odd offset, after garbage of both parities.
    const QByteArray a = tomArchive(2) + QByteArray(3, '\x07') + packet + QByteArray(2, '\x07') + packet +
                         tomArchive(2);
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(write("fold.dat", a), true);
    EXPECT_EQ(c->count(), 6u);
    EXPECT_EQ(messages.lines().size(), 2);
}

TEST_F(TelemetryCacheTest, ResyncFindsEveryPacketBetweenGarbage)
{
    QRandomGenerator rng(11);
    QByteArray a;
    int expected = 0;
    for (int i = 0; i < 300; ++i) {
        QByteArray junk(int(rng.bounded(1, 9)), '\0');
        for (auto& ch : junk)
            ch = char(rng.bounded(256));
        QByteArray data(int(rng.bounded(1, 1500)), '\0');
        for (auto& ch : data)
            ch = char(rng.bounded(256));
        a += junk + tomPacket(uint8_t(rng.bounded(1, 127)), uint8_t(i), data, uint32_t(i));
        ++expected;
    }
    a += tomArchive(1);
    auto c = makeCache(TelemetryCache::TOM);
    c->changeFile(write("mixed.dat", a), true);
    ASSERT_EQ(int(c->count()), expected + 1);
    for (int i = 0; i < expected; ++i)
        EXPECT_EQ(c->get(unsigned(i))->sequence(), i % 256);
}

TEST_F(TelemetryCacheTest, CcsdsArchiveReadWholeOrWhileWrittenGivesTheSamePackets)
{
    // Over 2 MiB of packets of every size class, some behind labels, so that
    // look-aheads and packets straddle the stream's buffer boundaries.
    QRandomGenerator rng(5);
    QByteArray a;
    struct Expected
    {
        int apid, size;
        uint32_t groundSeconds;
    };
    std::vector<Expected> expected;
    while (a.size() < (2 << 20) + 4321) {
        const int size = rng.bounded(4) == 0 ? int(rng.bounded(7, 40)) : int(rng.bounded(7, 3000));
        uint32_t ground = 0;
        if (rng.bounded(5) == 0) {
            ground = 1 + rng.bounded(100000u);
            a += label(rng.bounded(2) ? "GANN" : "FANN", int(rng.bounded(0, 30)), ground, 7);
        }
        const int apid = 1 + int(expected.size() % 2000);
        a += ccsdsPacket(apid, int(expected.size() % 16384), size);
        expected.push_back({apid, size, ground});
    }
    auto check = [&](const TelemetryCache& c) {
        ASSERT_EQ(c.count(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const TMPacketPtr p = c.get(unsigned(i));
            ASSERT_EQ(p->apid(), expected[i].apid) << i;
            ASSERT_EQ(int(p->totalLength()), expected[i].size) << i;
            ASSERT_EQ(p->groundSeconds, expected[i].groundSeconds) << i;
        }
        EXPECT_EQ(c.readPosition(), a.size());
    };

    auto whole = makeCache(TelemetryCache::CCSDS);
    whole->changeFile(write("whole.dat", a), true);
    check(*whole);

    // Written in pieces of 1 byte to 64 KiB, read on after each piece.
    const std::string path = write("live.dat", a.left(3));
    auto live = makeCache(TelemetryCache::CCSDS);
    live->changeFile(path, true);
    for (qsizetype at = 3; at < a.size();) {
        const qsizetype n = std::min<qsizetype>(a.size() - at, rng.bounded(8) ? rng.bounded(1, 200)
                                                                              : rng.bounded(1, 65536));
        append(path, a.mid(at, n));
        at += n;
        live->grow();
    }
    check(*live);
    for (const QString& line : messages.lines())
        ASSERT_TRUE(line.startsWith("Read partial packet")) << line.toStdString();
}

TEST_F(TelemetryCacheTest, SmallFirstPacketsDoNotReserveForAFileOfThem)
{
    // 100 packets of 7 bytes, then 4 MiB in 64 packets: read as if the whole
    // file were 7-byte packets, the packet vector would be reserved for 600,000.
    QByteArray a;
    for (int i = 0; i < 100; ++i)
        a += ccsdsPacket(1, i, 7);
    for (int i = 0; i < 64; ++i)
        a += ccsdsPacket(2, i, 65536);
    auto c = makeCache(TelemetryCache::CCSDS);
    c->changeFile(write("mixed.dat", a), true);
    ASSERT_EQ(c->count(), 164u);
    EXPECT_LE(c->allPackets().capacity(), 1000u);
}

TEST_F(TelemetryCacheTest, LabelsAndPacketsAcrossTheEndsOfTheStreamBuffer)
{
    // The stream reads 1 MiB at a time: put a label 7 bytes before the end of
    // the first MiB, a packet 5 bytes before the second and a label 1 byte
    // before the third, so that the look-ahead sees only part of each.
    QByteArray a;
    std::vector<uint32_t> grounds;
    auto fillTo = [&](qsizetype end) {
        while (end - a.size() >= 2007) {
            a += ccsdsPacket(0x100, int(grounds.size()), 1000);
            grounds.push_back(0);
        }
        a += ccsdsPacket(0x101, int(grounds.size()), int(end - a.size()));
        grounds.push_back(0);
        ASSERT_EQ(a.size(), end);
    };
    const qsizetype mib = 1 << 20;
    fillTo(mib - 7);
    a += label("GANN", 3, 111, 1) + ccsdsPacket(0x102, 0, 50);
    grounds.push_back(111);
    fillTo(2 * mib - 5);
    a += ccsdsPacket(0x103, 0, 50);
    grounds.push_back(0);
    fillTo(3 * mib - 1);
    a += label("FANN", 0, 333, 3) + ccsdsPacket(0x104, 0, 50) + ccsdsPacket(0x105, 0, 50);
    grounds.push_back(333);
    grounds.push_back(0);

    auto c = makeCache(TelemetryCache::CCSDS);
    c->changeFile(write("edges.dat", a), true);
    ASSERT_EQ(c->count(), grounds.size());
    for (size_t i = 0; i < grounds.size(); ++i)
        ASSERT_EQ(c->get(unsigned(i))->groundSeconds, grounds[i]) << i;
    EXPECT_EQ(c->readPosition(), a.size());
    EXPECT_TRUE(messages.lines().isEmpty());
}

namespace {

// Steps over 0xFF filler through the parse's own bytes, and records what it
// was shown. A stream hook of its own must then never be called.
class WindowSkipCache : public TelemetryCache
{
public:
    using TelemetryCache::TelemetryCache;
    std::vector<size_t> shown;
    size_t pastShortTail = 0; // when fewer than 16 bytes are shown, skip this many past them
    int streamCalls = 0;

protected:
    size_t skipBeforeCcsds(const unsigned char* bytes, size_t available) override
    {
        shown.push_back(available);
        size_t n = 0;
        while (n < available && bytes[n] == 0xFF)
            ++n;
        if (pastShortTail && available < CCSDS_SKIP_LOOKAHEAD)
            return available + pastShortTail;
        return n;
    }
    void beforeParseCcsds(FILE*) override { ++streamCalls; }
};

} // namespace

TEST_F(TelemetryCacheTest, WindowSkipHookStepsOverFillerWithoutTheStream)
{
    const QByteArray a = QByteArray(3, '\xFF') + ccsdsPacket(0x70, 0, 12) + label("GANN", 0, 9, 1) +
                         QByteArray(16, '\xFF') + ccsdsPacket(0x71, 1, 30) + ccsdsPacket(0x72, 2, 7);
    WindowSkipCache c(new UnixTimeResolver);
    c.setPacketFormat(TelemetryCache::CCSDS);
    c.setMessageStream(messages.stream());
    c.changeFile(write("window.dat", a), true);
    ASSERT_EQ(c.count(), 3u);
    EXPECT_EQ(c.get(0)->apid(), 0x70);
    // Shown after the label, which carries its ground time over the filler.
    EXPECT_EQ(c.get(1)->apid(), 0x71);
    EXPECT_EQ(c.get(1)->groundSeconds, 9u);
    EXPECT_EQ(c.get(2)->totalLength(), 7u);
    EXPECT_EQ(c.readPosition(), a.size());
    EXPECT_EQ(c.streamCalls, 0);
    // At most 16 bytes, fewer only where the file ends (the last packet); at
    // the end of the file itself the parse stops before the hook.
    EXPECT_EQ(c.shown, (std::vector<size_t>{16, 16, 7}));
    EXPECT_TRUE(messages.lines().isEmpty());

    // A skip that reaches past the end of the file (here one byte past the
    // bytes shown near the end) ends the parse on the packet attempt, quietly;
    // the next grow starts there again.
    const QByteArray next = ccsdsPacket(0x73, 3, 20);
    const std::string path = write("short.dat", ccsdsPacket(0x70, 0, 30) + next.left(10));
    WindowSkipCache d(new UnixTimeResolver);
    d.setPacketFormat(TelemetryCache::CCSDS);
    d.setMessageStream(messages.stream());
    d.pastShortTail = 1;
    d.changeFile(path, true);
    EXPECT_EQ(d.count(), 1u);
    EXPECT_EQ(d.readPosition(), 30);
    EXPECT_EQ(d.shown.back(), 10u);
    append(path, next.mid(10));
    d.grow();
    ASSERT_EQ(d.count(), 2u);
    EXPECT_EQ(d.get(1)->apid(), 0x73);
    EXPECT_EQ(d.readPosition(), 50);
    EXPECT_EQ(d.streamCalls, 0);
    EXPECT_TRUE(messages.lines().isEmpty()) << messages.lines().join("\n").toStdString();
}

namespace {

constexpr int FILL_APID = 0x1FF;

// Takes APIDs 0x100-0x10F with up to 100 data bytes and fill packets of any
// length; a header of those APIDs with a longer length is rejected but plausible.
class TypedCache : public TelemetryCache
{
public:
    TypedCache() : TelemetryCache(new UnixTimeResolver) { setPacketFormat(CCSDS); }

protected:
    static int apidOf(const unsigned char* h) { return ((h[0] & 7) << 8) | h[1]; }
    bool validHeader(const unsigned char* h) override
    {
        const int apid = apidOf(h);
        return apid == FILL_APID || (apid >= 0x100 && apid <= 0x10F && ((h[4] << 8) | h[5]) + 1 <= 100);
    }
    bool plausibleHeader(const unsigned char* h) override
    {
        const int apid = apidOf(h);
        return apid == FILL_APID || (apid >= 0x100 && apid <= 0x10F);
    }
};

void putHeader(QByteArray& b, qsizetype at, int apid, int dataLength)
{
    b[at] = char(0x08 | (apid >> 8));
    b[at + 1] = char(apid);
    b[at + 2] = char(0xC0);
    b[at + 3] = 0;
    putBe16(b, int(at) + 4, uint32_t(dataLength - 1));
}

struct Expected
{
    int apid;
    int size;
    uint32_t ground;
};

// An archive damaged as recordings are: packets longer than their type
// allows, whose zeroed payloads hide false headers. A fill header at byte 7
// of each claims a length that ends exactly where the third valid packet on
// begins (so that it is followed by a valid header and would swallow two);
// one of a valid type at byte 40 (unless left out) ends inside the payload; the last one's
// fill header runs past the end of the file. Among them a valid packet
// between two rejected ones and three rejected in a row. With labels, some
// packets that follow a valid one carry a label.
struct DamagedArchive
{
    QByteArray bytes;
    std::vector<Expected> valid;
};

DamagedArchive damagedArchive(quint32 seed, bool labels, bool shortFalseHeaders = true)
{
    QRandomGenerator rng(seed);
    constexpr int UNITS = 240;
    std::vector<bool> rejected(UNITS);
    for (int i = 0; i < UNITS; ++i)
        rejected[size_t(i)] = rng.bounded(6) == 0;
    for (int i : {60, 62, 120, 121, 122, UNITS - 5})
        rejected[size_t(i)] = true;
    for (int i : {61, UNITS - 4, UNITS - 3, UNITS - 2, UNITS - 1})
        rejected[size_t(i)] = false;

    DamagedArchive a;
    std::vector<qsizetype> starts;                     // of the valid packets
    std::vector<std::pair<qsizetype, size_t>> plants; // fill headers, and the valid packet each lands on
    bool afterValid = true;
    for (int i = 0; i < UNITS; ++i) {
        if (!rejected[size_t(i)]) {
            const bool fill = rng.bounded(4) == 0;
            const int apid = fill ? FILL_APID : 0x100 + int(rng.bounded(16));
            const int size = fill ? int(rng.bounded(12, 400)) : int(rng.bounded(7, 107));
            uint32_t ground = 0;
            if (labels && afterValid && rng.bounded(3) == 0) {
                ground = 1000 + uint32_t(i);
                a.bytes += label(rng.bounded(2) ? "GANN" : "FANN", int(rng.bounded(0, 20)), ground, 5);
            }
            starts.push_back(a.bytes.size());
            a.bytes += ccsdsPacket(apid, i, size, 100 + uint32_t(i));
            a.valid.push_back({apid, size, ground});
            afterValid = true;
            continue;
        }
        const int dataLength = int(rng.bounded(101, 300));
        QByteArray x = ccsdsPacket(0x100 + int(rng.bounded(16)), i, dataLength + 6);
        x.replace(6, x.size() - 6, QByteArray(x.size() - 6, '\0'));
        if (shortFalseHeaders)
            putHeader(x, 40, 0x105, 21);
        plants.push_back({a.bytes.size() + 7, starts.size() + 2});
        a.bytes += x;
        afterValid = false;
    }
    for (const auto& [at, target] : plants) {
        const int dataLength = target < starts.size() ? int(starts[target] - at) - 6 : 60000;
        putHeader(a.bytes, at, FILL_APID, dataLength);
    }
    return a;
}

} // namespace

TEST_F(TelemetryCacheTest, ResynchronisationKeepsEveryValidPacketOfADamagedArchive)
{
    for (bool labels : {false, true}) {
        for (quint32 seed : {1u, 2u, 3u}) {
            const DamagedArchive a = damagedArchive(seed, labels);
            TypedCache c;
            messages.clear();
            c.setMessageStream(messages.stream());
            c.changeFile(write("damaged.dat", a.bytes), true);
            const std::string name = (labels ? "labelled, seed " : "plain, seed ") + std::to_string(seed);
            for (size_t i = 0; i < std::min(c.count(), a.valid.size()); ++i) {
                const TMPacketPtr p = c.get(unsigned(i));
                ASSERT_EQ(p->apid(), a.valid[i].apid) << name << ", packet " << i;
                ASSERT_EQ(int(p->totalLength()), a.valid[i].size) << name << ", packet " << i;
                ASSERT_EQ(p->groundSeconds, a.valid[i].ground) << name << ", packet " << i;
            }
            ASSERT_EQ(c.count(), a.valid.size()) << name;
            // The bytes of the damage are reported as skipped, nothing else,
            // each line from its record. Without labels the stretches and the
            // packets tile the file, each stretch right before the packet it
            // names, the last one up to its end.
            QStringList fromRecords;
            for (const DamagedStretch& s : c.damage()) {
                std::string line;
                s.appendLine(line, CcsdsPrimaryHeader::SIZE);
                fromRecords << QString::fromStdString(line);
                EXPECT_EQ(s.kind, DamagedStretch::Kind::Skipped) << name << ": " << line;
            }
            EXPECT_EQ(messages.lines(), fromRecords) << name;
            if (labels)
                continue;
            int64_t at = 0;
            size_t next = 0;
            for (size_t i = 0; i <= c.count(); ++i) {
                for (; next < c.damage().size() && c.damage()[next].before == i; ++next) {
                    EXPECT_EQ(c.damage()[next].first, at) << name << ", before packet " << i;
                    at = c.damage()[next].end;
                }
                if (i < c.count())
                    at += int64_t(c.get(unsigned(i))->totalLength());
            }
            EXPECT_EQ(next, c.damage().size()) << name;
            EXPECT_EQ(at, a.bytes.size()) << name;
        }
    }
}

TEST_F(TelemetryCacheTest, AFalseHeaderFollowedByAValidOneIsPassedOverWithTheSameMessage)
{
    // A rejected packet whose payload holds a fill header that ends exactly on
    // the third packet after it: taken, it would swallow two.
    QByteArray a = ccsdsPacket(0x100, 0, 30);
    const qsizetype bad = a.size();
    QByteArray x(150, '\0');
    putHeader(x, 0, 0x101, 144); // 144 data bytes: too long for the type
    a += x;
    const qsizetype first = a.size();
    a += ccsdsPacket(0x102, 1, 40) + ccsdsPacket(0x103, 2, 50) + ccsdsPacket(0x104, 3, 20);
    putHeader(a, bad + 9, FILL_APID, int(first + 90 - (bad + 9)) - 6);
    TypedCache c;
    c.setMessageStream(messages.stream());
    c.changeFile(write("false.dat", a), true);
    ASSERT_EQ(c.count(), 4u);
    EXPECT_EQ(c.get(1)->apid(), 0x102);
    EXPECT_EQ(c.get(2)->apid(), 0x103);
    EXPECT_EQ(c.get(3)->apid(), 0x104);
    EXPECT_EQ(messages.lines(), QStringList{QString("Skipped 150 bytes [%1 - %2]").arg(bad).arg(first)});
}

TEST_F(TelemetryCacheTest, ResynchronisationWhileTheFileGrows)
{
    // Written in pieces, the damaged archive gives the packets read whole.
    // Without its short false headers: one whose end the writer has just
    // reached is taken as the last packet, as after any packet; only the
    // bytes that follow would tell it apart.
    const DamagedArchive a = damagedArchive(4, true, false);
    const std::string path = write("growing.dat", a.bytes.left(5));
    TypedCache c;
    c.setMessageStream(messages.stream());
    c.changeFile(path, true);
    QRandomGenerator rng(9);
    for (qsizetype at = 5; at < a.bytes.size();) {
        const qsizetype n = std::min<qsizetype>(a.bytes.size() - at, rng.bounded(1, 120));
        append(path, a.bytes.mid(at, n));
        at += n;
        c.grow();
    }
    ASSERT_EQ(c.count(), a.valid.size());
    for (size_t i = 0; i < a.valid.size(); ++i) {
        ASSERT_EQ(int(c.get(unsigned(i))->totalLength()), a.valid[i].size) << i;
        ASSERT_EQ(c.get(unsigned(i))->groundSeconds, a.valid[i].ground) << i;
    }

    // A packet found while resynchronising, followed by fewer bytes than a
    // header, is taken as after any packet; the tail waits for the next grow.
    QByteArray b(20, '\0');
    putHeader(b, 0, 0x101, 150); // rejected: too long for its type
    b += ccsdsPacket(0x102, 1, 30);
    const QByteArray next = ccsdsPacket(0x103, 2, 25);
    const std::string tail = writeFinished("tail.dat", b + next.left(4));
    TypedCache d;
    messages.clear();
    d.setMessageStream(messages.stream());
    d.changeFile(tail, true);
    ASSERT_EQ(d.count(), 1u);
    EXPECT_EQ(d.get(0)->apid(), 0x102);
    EXPECT_EQ(d.readPosition(), 50);
    EXPECT_EQ(messages.lines(), QStringList{"Skipped 20 bytes [0 - 20]"});
    append(tail, next.mid(4));
    d.grow();
    ASSERT_EQ(d.count(), 2u);
    EXPECT_EQ(d.get(1)->apid(), 0x103);
}

// A followed archive of 2 packets; damage is appended in two grows, the
// second with 2 packets after it. The stretch is one record and one line
// with its whole span; the scan limit counts it whole too.
TEST_F(TelemetryCacheTest, AStretchWrittenAcrossGrowsIsReportedWhole)
{
    const QByteArray packets = ccsdsPacket(0x101, 0, 40) + ccsdsPacket(0x102, 1, 40);
    const QByteArray later = ccsdsPacket(0x103, 2, 40) + ccsdsPacket(0x104, 3, 40);
    const QByteArray damage(150, '\x5A'); // no header the test takes, no label
    for (const long long limit : {0LL, 150LL}) {
        const std::string path = write("grown.dat", packets);
        TypedCache c;
        messages.clear();
        c.setMessageStream(messages.stream());
        c.setMaxScan(limit);
        c.changeFile(path, true);
        append(path, damage.left(100));
        c.grow();
        append(path, damage.mid(100) + later);
        c.grow();
        if (limit == 0) {
            ASSERT_EQ(c.count(), 4u);
            EXPECT_EQ(c.damage(), std::vector<DamagedStretch>({{80, 230, DamagedStretch::Kind::Skipped, 2}}));
            EXPECT_EQ(messages.lines(), QStringList{"Skipped 150 bytes [80 - 230]"});
        } else {
            // The limit reached in the second grow: the rest of the file as
            // it was then is not read.
            EXPECT_EQ(c.count(), 2u);
            EXPECT_EQ(c.damage(), std::vector<DamagedStretch>({{80, 230, DamagedStretch::Kind::ScannedToLimit, 2}}));
            EXPECT_EQ(c.readPosition(), 80 + damage.size() + later.size());
        }
    }
    // The same in a TOM archive whose header test rejects the damage.
    const std::string path = write("grown.tom", tomPacketOfSize(1, 0, 40, 1000) + tomPacketOfSize(2, 1, 40, 1001));
    auto t = makeCache(TelemetryCache::TOM);
    t->accept = [](const unsigned char* h) { return h[0] != 0x5A; };
    messages.clear();
    t->setMessageStream(messages.stream());
    t->changeFile(path, true);
    append(path, damage.left(100));
    t->grow();
    append(path, damage.mid(100) + tomPacketOfSize(3, 2, 40, 1002));
    t->grow();
    ASSERT_EQ(t->count(), 3u);
    EXPECT_EQ(messages.lines().filter("Skipped"), QStringList{"Skipped 150 bytes [80 - 230]"});
    EXPECT_EQ(t->damage(), std::vector<DamagedStretch>({{80, 230, DamagedStretch::Kind::Skipped, 2}}));
}

// 300 damaged bytes and a cut header after the last packet of a finished
// file: the read that decides the file's end (settled, once the back-offs are
// spent) says the stretch up to the end once; grows of the unchanged file,
// and a packet appended after it, say nothing more. A file read anew drops
// its records, clear() all of them.
TEST_F(TelemetryCacheTest, DamageThatRunsToTheEndOfAFinishedFileIsSaidOnce)
{
    const QByteArray packets = ccsdsPacket(0x101, 0, 40) + ccsdsPacket(0x102, 1, 40);
    const QByteArray cut = ccsdsPacket(0x103, 2, 40).left(10);
    const std::string path = write("tail.dat", packets + QByteArray(300, '\x5A') + cut);
    TypedCache c;
    c.setMessageStream(messages.stream());
    c.changeFile(path, true);
    EXPECT_TRUE(c.damage().empty()); // waits: the file may still be written
    for (int i = 0; i < TelemetryCache::PARTIAL_READ_LIMIT; ++i)
        c.grow();
    const std::vector<DamagedStretch> damage{{380, 420, DamagedStretch::Kind::ClaimPastEnd, 2},
                                             {80, 390, DamagedStretch::Kind::Skipped, 2}};
    EXPECT_EQ(c.count(), 2u);
    EXPECT_EQ(c.damage(), damage);
    EXPECT_EQ(messages.lines().filter("Skipped"), QStringList{"Skipped 310 bytes [80 - 390]"});
    for (int i = 0; i < 10; ++i)
        c.grow();
    append(path, ccsdsPacket(0x104, 3, 40) + ccsdsPacket(0x105, 4, 40));
    c.grow();
    EXPECT_EQ(c.count(), 4u);
    EXPECT_EQ(c.damage(), damage);
    EXPECT_EQ(messages.lines().filter("Skipped"), QStringList{"Skipped 310 bytes [80 - 390]"});
    // Bytes skipped past the end said are a stretch of their own.
    append(path, QByteArray(20, '\x5A') + ccsdsPacket(0x106, 5, 40) + ccsdsPacket(0x107, 6, 40));
    c.grow();
    EXPECT_EQ(c.count(), 6u);
    ASSERT_FALSE(c.damage().empty());
    EXPECT_EQ(c.damage().back(), (DamagedStretch{470, 490, DamagedStretch::Kind::Skipped, 4}));

    write("tail.dat", packets);
    c.grow();
    EXPECT_TRUE(c.damage().empty());

    // A finished file opened once: its opening read decides the end, and
    // says 300 random bytes after the last packet at once.
    QByteArray noise(300, '\0');
    QRandomGenerator rng(11);
    for (char& b : noise)
        b = char(rng.bounded(256));
    TypedCache once;
    messages.clear();
    once.setMessageStream(messages.stream());
    once.changeFile(writeFinished("finished.dat", packets + noise), true);
    EXPECT_EQ(once.count(), 2u);
    ASSERT_FALSE(once.damage().empty());
    EXPECT_EQ(once.damage().back(), (DamagedStretch{80, 380, DamagedStretch::Kind::Skipped, 2}));
    EXPECT_EQ(messages.lines().filter("Skipped"), QStringList{"Skipped 300 bytes [80 - 380]"});
    const std::vector<DamagedStretch> said = once.damage();
    for (int i = 0; i < 10; ++i)
        once.grow();
    EXPECT_EQ(once.damage(), said);
    write("tail.dat", QByteArray(10, '\x5A') + packets);
    c.grow();
    EXPECT_EQ(c.damage().size(), 1u);
    c.clear();
    EXPECT_TRUE(c.damage().empty());
}

// Without a header test, damage before a cut last packet stands before that
// packet: settled, the cache leaves the packet unread and says the stretch
// only once the completed packet is taken, not as running to the end.
TEST_F(TelemetryCacheTest, TheStretchBeforeAPacketLeftUnreadIsSaidWithThatPacket)
{
    const QByteArray last = ccsdsPacket(0x103, 2, 40);
    const std::string path =
        write("unread.dat", ccsdsPacket(0x101, 0, 40) + ccsdsPacket(0x102, 1, 40) + QByteArray(20, '\x5A') + last.left(8));
    auto c = makeCache(TelemetryCache::CCSDS);
    c->accept = [](const unsigned char* h) { return h[0] != 0x5A; }; // takes zeros and ones: no judging
    c->changeFile(path, true);
    for (int i = 0; i < TelemetryCache::PARTIAL_READ_LIMIT + 3; ++i)
        c->grow();
    EXPECT_EQ(c->damage(), std::vector<DamagedStretch>({{100, 108, DamagedStretch::Kind::LeftUnread, 2}}));
    append(path, last.mid(8));
    c->grow();
    EXPECT_EQ(c->count(), 3u);
    ASSERT_FALSE(c->damage().empty());
    EXPECT_EQ(c->damage().back(), (DamagedStretch{80, 100, DamagedStretch::Kind::Skipped, 2}));
}

// Each kind of stretch writes its line from its record, counts past 2^31
// bytes (the scan limit off) as they are.
TEST(DamagedStretch, EachKindWritesItsLine)
{
    using K = DamagedStretch::Kind;
    const struct
    {
        DamagedStretch s;
        int64_t header;
        const char* line;
    } rows[] = {
        {{3, 70, K::Skipped, 1}, 6, "Skipped 67 bytes [3 - 70]"},
        {{0, 3000000000, K::Skipped, 0}, 6, "Skipped 3000000000 bytes [0 - 3000000000]"},
        {{5, 2147483653, K::ScannedToLimit, 2}, 6,
         "Scanned 2147483648 bytes [5 - 2147483653] without finding a valid packet header, archive may be corrupt!"},
        {{20, 60, K::ClaimPastEnd, 1}, 6, "Could not read 34 bytes from file...skipping ahead 1 byte"},
        {{20, 60, K::ClaimPastEnd, 1}, 8, "Could not read 32 bytes from file...skipping ahead 1 byte"},
        {{600, 640, K::LeftUnread, 30}, 6,
         "Could not read a whole packet at index 600...reading no further until the file grows"},
    };
    for (const auto& row : rows) {
        std::string line = "x";
        row.s.appendLine(line, row.header);
        EXPECT_EQ(line, std::string("x") + row.line);
    }
}
