// Parses real CCSDS packet streams recorded by flight missions and checks
// every packet against the per-packet tables that come with them.
#include "gselib/packets/ccsdspacket.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/timeresolvers.h"
#include "support/tempdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>
#include <gtest/gtest.h>

using namespace GseLib;

namespace {

// The shared data folder: GSE_SHARED_DATA_DIR from the environment, else the build's.
QString sharedDataDir()
{
    const QByteArray fromEnv = qgetenv("GSE_SHARED_DATA_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(GSE_SHARED_DATA_DIR) : QString::fromLocal8Bit(fromEnv);
}

struct Recording
{
    const char* name;
    const char* folder;
    const char* file;
    int packets;
};

void PrintTo(const Recording& r, std::ostream* os)
{
    *os << r.folder << "/" << r.file;
}

class RealRecording : public ::testing::TestWithParam<Recording>
{
};

} // namespace

TEST_P(RealRecording, EveryPacketMatchesTheTable)
{
    const Recording rec = GetParam();
    const QDir root(sharedDataDir() + "/ccsds-real/" + rec.folder);
    const QString archive = root.filePath(rec.file);
    const QString table = root.filePath("expected/packets.csv");
    if (!QFileInfo::exists(archive) || !QFileInfo::exists(table))
        GTEST_SKIP() << "real recordings not found under " << root.path().toStdString();

    QFile csv(table);
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList header = QString::fromUtf8(csv.readLine()).trimmed().split(',');
    const int cIndex = header.indexOf("index"), cOffset = header.indexOf("byte_offset"),
              cVersion = header.indexOf("version"), cType = header.indexOf("type"),
              cSec = header.indexOf("sec_hdr_flag"), cApid = header.indexOf("apid"),
              cFlags = header.indexOf("seq_flags"), cSeq = header.indexOf("seq_count"),
              cLength = header.indexOf("length_field"), cSize = header.indexOf("packet_size");
    ASSERT_TRUE(cIndex >= 0 && cOffset >= 0 && cApid >= 0 && cSeq >= 0 && cSize >= 0 && cLength >= 0);

    DataInterpretation::init(nullptr, false, nullptr, {});
    TelemetryCache cache(new UnixTimeResolver);
    FILE* messages = std::tmpfile();
    cache.setMessageStream(messages);
    cache.setPacketFormat(TelemetryCache::CCSDS);
    cache.changeFile(archive.toStdString(), true);

    ASSERT_EQ(int(cache.count()), rec.packets);
    long offset = 0;
    int rows = 0;
    while (!csv.atEnd()) {
        const QStringList cells = QString::fromUtf8(csv.readLine()).trimmed().split(',');
        if (cells.size() < header.size())
            continue;
        const int i = cells[cIndex].toInt();
        ASSERT_EQ(i, rows);
        const TMPacketPtr p = cache.get(unsigned(i));
        ASSERT_TRUE(p) << "packet " << i;
        EXPECT_EQ(offset, cells[cOffset].toLong()) << "packet " << i;
        EXPECT_EQ(p->apid(), cells[cApid].toInt()) << "packet " << i;
        EXPECT_EQ(p->sequence(), cells[cSeq].toInt()) << "packet " << i;
        EXPECT_EQ(long(p->totalLength()), cells[cSize].toLong()) << "packet " << i;
        EXPECT_EQ(long(p->dataLength()), cells[cLength].toLong() + 1) << "packet " << i;
        EXPECT_EQ(p->versionNumber(), cells[cVersion].toInt());
        EXPECT_EQ(p->typeIndicator(), cells[cType].toInt());
        EXPECT_EQ(p->hasSecondaryHeader(), cells[cSec].toInt());
        EXPECT_EQ(p->segmentFlags(), cells[cFlags].toInt());
        EXPECT_EQ(p->index, i);
        offset += long(p->totalLength());
        ++rows;
    }
    EXPECT_EQ(rows, rec.packets);
    // Nothing skipped: the packets tile the file and the parse said nothing.
    EXPECT_EQ(offset, QFileInfo(archive).size());
    EXPECT_EQ(cache.readPosition(), offset);
    EXPECT_EQ(std::ftell(messages), 0L);
    std::fclose(messages);

    // A header test that passes payload bytes (version 0, any APID) judges
    // nothing here: read while the file grows, in steps that end inside
    // packets, it gives the same packets once the file stops growing (a
    // packet whose payload holds such a header, its claim not yet written,
    // waits as a partial packet does).
    struct WeakTest : TelemetryCache
    {
        WeakTest() : TelemetryCache(new UnixTimeResolver) { setPacketFormat(CCSDS); }
        bool validHeader(const unsigned char* h) override { return h[0] <= 15 && (((h[0] & 7) << 8) | h[1]) != 0; }
    } growing;
    growing.setMessageStream(messages = std::tmpfile());
    const TestSupport::TempDir dir;
    QFile in(archive), out(dir.write("growing.tlm", {}));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
    for (QByteArray step = in.read(61); !step.isEmpty(); step = in.read(61)) {
        out.write(step);
        out.flush();
        out.pos() == step.size() ? growing.changeFile(out.fileName().toStdString(), true) : growing.grow();
    }
    for (int i = 0; i <= TelemetryCache::PARTIAL_READ_LIMIT; ++i)
        growing.grow();
    std::fclose(messages);
    ASSERT_EQ(growing.count(), cache.count());
    for (unsigned i = 0; i < cache.count(); ++i)
        ASSERT_EQ(*growing.get(i)->bytes, *cache.get(i)->bytes) << "packet " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Missions, RealRecording,
    ::testing::Values(Recording{"Cygnss", "cygnss", "CYGNSS_F7_L0_2022_086_10_15_V01_F__first101pkts.tlm", 101},
                      Recording{"EuropaClipperEcm", "europa-clipper-ecm", "ecm_raw2.bin", 1030},
                      Recording{"CsaApid400", "csa-apid400", "apid00400.tlm", 3444}),
    [](const ::testing::TestParamInfo<Recording>& info) { return std::string(info.param.name); });
