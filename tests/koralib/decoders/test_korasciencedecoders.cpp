// The science-side decoders of the first instrument, taken from the hub's
// decoder table as the start-up loads it: aggregated samples (203) with their
// times counted back from the packet, GC records (204) by channel, the summed
// packet's total ion count (230), their overrun lines, and every truncation
// of their packets read without leaving the data.
#include "koralib/koradefinitions.h"

#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/archivetestdata.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/scans/scandata.h"
#include "support/streamcapture.h"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

using namespace KorGse::KorDataInterpretationImpl;

namespace {

constexpr double UNIX = 1000.0;
constexpr double REL = 10.0;

// Every packet at the same times, so item times show the decoders' offsets alone.
class FixedClock : public GseLib::TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return double(ticks); }
    long long secondsToTicks(double s) const override { return (long long)s; }
    double unixTime(const GseLib::TMPacket*) const override { return UNIX; }
    double unixTime(const GseLib::TMPacket*, long long ticks) const override { return UNIX + double(ticks); }
    double relativeTime(const GseLib::TMPacket*) const override { return REL; }
    double relativeTime(const GseLib::TMPacket*, long long ticks) const override { return REL + double(ticks); }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const GseLib::TMPacketPtr&) override { return false; }
    GseLib::TMPacketPtr t0Packet() const override { return nullptr; }
};

const FixedClock fixedClock;

class KorScience : public KoraTest::SuiteTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(defs->generated);
        savedIp = KorGse::KorTelemetryCache::ip_;
    }
    void TearDown() override { KorGse::KorTelemetryCache::ip_ = savedIp; }

    static const GseLib::Decoder& decoder(int type)
    {
        return *GseLib::DataInterpretation::current()->decoderTable().at(size_t(type));
    }

    double savedIp = 0.0;
};

// A packet whose byte vector ends where its data ends (no trailer), so a read
// past the data leaves the allocation.
GseLib::TMPacketPtr packet(int type, const QByteArray& data)
{
    const QByteArray bytes = ArchiveTestData::tomPacket(uint8_t(type), 0, data, 5000).left(8 + data.size());
    return std::make_shared<GseLib::TomPacket>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                               int(bytes.size()), 1, &fixedClock);
}

GseLib::TmDatabaseRow row(uint64_t id1, uint64_t id2, uint64_t id3, uint64_t id4)
{
    GseLib::TmDatabaseRow r;
    r.key = "KOR:SCI";
    r.dataId = 9203;
    r.decodeIds = {id1, id2, id3, id4};
    return r;
}

std::string overrun(const char* signature, const std::string& numbers)
{
    return std::string(signature) + " KOR:SCI 9203 Out of bounds: " + numbers + "\n";
}

// Aggregated packet of `size` bytes: A at D[2..3], then byte i holds i (a mask 0xFF reads a field's last byte).
QByteArray aggregated(int a, int size)
{
    QByteArray d(size, '\0');
    ArchiveTestData::putBe16(d, 2, uint32_t(a));
    for (int i = 4; i < size; ++i)
        d[i] = char(i);
    return d;
}

// GC packet of 44 + 20 * 60 bytes: record i at 44 + 60i with channel 7 in
// records 3 and 7, channel 5 elsewhere, and value 0x1000 + 0x111 i.
QByteArray gcPacket()
{
    QByteArray d(44 + 1200, '\0');
    for (int i = 0; i < 20; ++i) {
        d[44 + 60 * i] = char(i == 3 || i == 7 ? 7 : 5);
        ArchiveTestData::putBe16(d, 45 + 60 * i, uint32_t(0x1000 + 0x111 * i));
    }
    return d;
}

struct Expected
{
    int offset;
    double value;
    double timeOffset;
};

} // namespace

TEST_F(KorScience, AggregatedSamplesAndTheirTimes)
{
    // ip = 0.5 keeps every time exact: the first sample lies ip * q before the
    // packet, the next ones 50 s apart. Values are the pattern bytes at 4 + 8k.
    struct Case
    {
        const char* what;
        int type;
        QByteArray data;
        GseLib::TmDatabaseRow row;
        std::vector<Expected> items;
        std::string line;
    };
    const char* sig = AggregatedSciPacketDecoder::SIGNATURE;
    const Case cases[] = {
        {"type 27: q = (100 - 24 - 4) / 2 = 36", 27, aggregated(3, 100), row(4, 4, 0xFFFFFFFF, 0),
         {{12, 0x04050607, -18.0}, {20, 0x0C0D0E0F, 32.0}, {28, 0x14151617, 82.0}}, ""},
        {"other types: q = 72", 26, aggregated(3, 100), row(4, 4, 0xFFFFFFFF, 0),
         {{12, 0x04050607, -36.0}, {20, 0x0C0D0E0F, 14.0}, {28, 0x14151617, 64.0}}, ""},
        {"two-byte samples still 8 apart, mask and shift", 26, aggregated(3, 100), row(5, 2, 0xFF0, 4),
         {{13, 0x50, -36.0}, {21, 0xD0, 14.0}, {29, 0x51, 64.0}}, ""},
        {"negative shift shifts left", 26, aggregated(2, 100), row(4, 1, 0xFF, -4),
         {{12, 0x40, -40.0}, {20, 0xC0, 10.0}}, ""},
        {"offset taken in its low 32 bits", 26, aggregated(1, 100), row(0x100000004ull, 0x100000001ull, 0xFF, 0),
         {{12, 0x04, -44.0}}, ""},
        {"A = 0 gives nothing", 26, aggregated(0, 100), row(4, 4, 0xFFFFFFFF, 0), {}, ""},
        // q = (100 - 160 - 4) = -64: the first sample 32 s after the packet; sample 12 ends past L.
        {"8A + 4 > L and an overrun", 26, aggregated(20, 100), row(4, 4, 0xFF, 0),
         {{12, 7, 32}, {20, 15, 82}, {28, 23, 132}, {36, 31, 182}, {44, 39, 232}, {52, 47, 282},
          {60, 55, 332}, {68, 63, 382}, {76, 71, 432}, {84, 79, 482}, {92, 87, 532}, {100, 95, 582}},
         overrun(sig, "off(100) + len(4) > dataLength(100)")},
        // (101 - 104 - 4) / 2 = -3.5 truncates toward zero to -3: +1.5 s.
        {"q truncates toward zero", 27, aggregated(13, 101), row(96, 4, 0xFF, 0),
         {{104, 99, 1.5}}, overrun(sig, "off(104) + len(4) > dataLength(101)")},
        {"a sample ending exactly at L is read", 26, aggregated(2, 20), row(8, 4, 0xFF, 0),
         {{16, 11, 0.0}, {24, 19, 50.0}}, ""},
        {"wild offset does not wrap", 26, aggregated(3, 100), row(0xFFFFFFFF, 4, 0xFF, 0), {},
         overrun(sig, "off(4294967295) + len(4) > dataLength(100)")},
        {"long length does not wrap", 26, aggregated(3, 100), row(4, 0xFFFFFFFE, 0xFF, 0), {},
         overrun(sig, "off(4) + len(4294967294) > dataLength(100)")},
    };
    KorGse::KorTelemetryCache::ip_ = 0.5;
    for (const Case& c : cases) {
        const auto p = packet(c.type, c.data);
        GseLib::DataItems items(1); // what the caller had stays first
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(decoder(203).decode(c.row, p.get(), items, nullptr)) << c.what;
        EXPECT_EQ(out.text(), c.line) << c.what;
        ASSERT_EQ(items.size(), c.items.size() + 1) << c.what;
        for (size_t k = 0; k < c.items.size(); ++k) {
            const GseLib::DataItem& item = items[k + 1];
            EXPECT_EQ(item.offset, c.items[k].offset) << c.what << " " << k;
            EXPECT_EQ(item.count, int(uint32_t(c.row.decodeIds[1]))) << c.what << " " << k;
            EXPECT_EQ(item.toDouble(), c.items[k].value) << c.what << " " << k;
            EXPECT_EQ(item.unixTime, UNIX + c.items[k].timeOffset) << c.what << " " << k;
            EXPECT_EQ(item.relativeTime, REL + c.items[k].timeOffset) << c.what << " " << k;
        }
    }
}

TEST_F(KorScience, AggregatedTimesAccumulateTheStep)
{
    // ip = 1e-5 (the value before housekeeping sets it): s0 = -ip * 72, then
    // the step ip * 100 added sample by sample.
    KorGse::KorTelemetryCache::ip_ = 1e-5;
    const auto p = packet(26, aggregated(3, 100));
    GseLib::DataItems items;
    decoder(203).decode(row(4, 4, 0xFF, 0), p.get(), items, nullptr);
    ASSERT_EQ(items.size(), 3u);
    double s = -(1e-5 * 72.0);
    for (const GseLib::DataItem& item : items) {
        EXPECT_EQ(item.relativeTime, REL + s);
        s += 1e-5 * 100.0;
    }
    EXPECT_NEAR(items[2].relativeTime - REL, 1.28e-3, 1e-15);
}

TEST_F(KorScience, AggregatedEveryTruncation)
{
    KorGse::KorTelemetryCache::ip_ = 0.5;
    const QByteArray full = aggregated(3, 100);
    for (int n = 0; n <= full.size(); ++n) {
        const auto p = packet(26, full.left(n));
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(decoder(203).decode(row(4, 4, 0xFFFFFFFF, 0), p.get(), items, nullptr)) << n;
        // Below 4 bytes there is no A; otherwise sample k needs 8 + 8k bytes.
        const size_t whole = n < 4 ? 0 : size_t(std::min(3, n >= 8 ? (n - 8) / 8 + 1 : 0));
        EXPECT_EQ(items.size(), whole) << n;
        const bool line = n >= 4 && whole < 3;
        EXPECT_EQ(out.text().empty(), !line) << n;
        if (line) {
            EXPECT_NE(out.text().find("off(" + std::to_string(4 + 8 * whole) + ") + len(4) > dataLength(" +
                                      std::to_string(n) + ")"),
                      std::string::npos)
                << n;
        }
    }
}

// A stored packet cut shorter than its length field says: samples stop at the
// last byte present, with the line naming the bytes there are (no sample of
// value 0 made up from missing bytes).
TEST_F(KorScience, AggregatedPacketShorterThanItsLength)
{
    KorGse::KorTelemetryCache::ip_ = 0.5;
    QByteArray bytes = ArchiveTestData::tomPacket(26, 0, aggregated(3, 100), 5000).left(8 + 20);
    const auto p = std::make_shared<GseLib::TomPacket>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                                       int(bytes.size()), 1, &fixedClock);
    GseLib::DataItems items;
    TestSupport::StreamCapture out(std::cout);
    EXPECT_TRUE(decoder(203).decode(row(4, 4, 0xFFFFFFFF, 0), p.get(), items, nullptr));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].toDouble(), double(0x0C0D0E0F));
    EXPECT_EQ(out.text(), overrun(KorGse::KorDataInterpretationImpl::AggregatedSciPacketDecoder::SIGNATURE,
                                  "off(20) + len(4) > dataLength(20)"));
}

TEST_F(KorScience, GcRecordsByChannel)
{
    struct Case
    {
        const char* what;
        GseLib::TmDatabaseRow row;
        std::vector<Expected> items; // only the listed records; `count` gives how many in all
        size_t count;
        std::string line;
    };
    const char* sig = GcPacketDecoder::SIGNATURE;
    const Case cases[] = {
        {"records 3 and 7, channel in bits 16-23 at offset 44", row(44, 7, 0xFFFF, 0),
         {{233, 7 * 65536 + 0x1333, -0.85}, {473, 7 * 65536 + 0x1777, -0.65}}, 2, ""},
        {"channel is DECODE_ID2's low byte", row(44, 0x307, 0xFFFF, 0),
         {{233, 7 * 65536 + 0x1333, -0.85}, {473, 7 * 65536 + 0x1777, -0.65}}, 2, ""},
        {"channel 5 at offset 44", row(44, 5, 0xFFFF, 0),
         {{53, 5 * 65536 + 0x1000, -1.0}, {113, 5 * 65536 + 0x1111, -0.95}}, 18, ""},
        // Offset 104 reads the packet's record 1 as its record 0; record 19 ends past N.
        {"other offsets give the value alone", row(104, 5, 0xFFFF, 0),
         {{113, 0x1111, -1.0}, {173, 0x1222, -0.95}}, 17,
         overrun(sig, "off(104) + len(3) > dataLength(1244)")},
        {"mask low 32 bits, shift right", row(44, 7, 0x10000FF00ull, 8), {{233, 7 * 65536 + 0x13, -0.85}}, 2, ""},
        {"negative shift, kept to 16 bits", row(44, 7, 0xFFFF, uint32_t(-4)),
         {{233, 7 * 65536 + 0x3330, -0.85}}, 2, ""},
        {"shift of 32 clears", row(44, 7, 0xFFFF, 32), {{233, 7 * 65536, -0.85}}, 2, ""},
        {"shift of -32 clears", row(44, 7, 0xFFFF, uint32_t(-32)), {{233, 7 * 65536, -0.85}}, 2, ""},
        {"shift INT_MIN clears", row(44, 7, 0xFFFF, uint32_t(INT_MIN)), {{233, 7 * 65536, -0.85}}, 2, ""},
        {"no record of the channel", row(44, 9, 0xFFFF, 0), {}, 0, ""},
        {"wild offset does not wrap", row(~0ull, 5, 0xFFFF, 0), {}, 0,
         overrun(sig, "off(18446744073709551615) + len(3) > dataLength(1244)")},
    };
    const auto p = packet(14, gcPacket());
    for (const Case& c : cases) {
        GseLib::DataItems items(1);
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(decoder(204).decode(c.row, p.get(), items, nullptr)) << c.what;
        EXPECT_EQ(out.text(), c.line) << c.what;
        ASSERT_EQ(items.size(), c.count + 1) << c.what;
        for (size_t k = 0; k < c.items.size(); ++k) {
            const GseLib::DataItem& item = items[k + 1];
            EXPECT_EQ(item.offset, c.items[k].offset) << c.what << " " << k;
            EXPECT_EQ(item.count, 2) << c.what << " " << k;
            EXPECT_EQ(item.toDouble(), c.items[k].value) << c.what << " " << k;
            EXPECT_DOUBLE_EQ(item.unixTime, UNIX + c.items[k].timeOffset) << c.what << " " << k;
            EXPECT_DOUBLE_EQ(item.relativeTime, REL + c.items[k].timeOffset) << c.what << " " << k;
        }
    }
}

TEST_F(KorScience, GcEveryTruncation)
{
    const QByteArray full = gcPacket();
    for (int n = 0; n <= full.size(); ++n) {
        const auto p = packet(14, full.left(n));
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(decoder(204).decode(row(44, 5, 0xFFFF, 0), p.get(), items, nullptr)) << n;
        // Record i needs 44 + 60i + 3 bytes; records 3 and 7 carry another channel.
        int whole = 0;
        while (whole < 20 && 44 + 60 * whole + 3 <= n)
            ++whole;
        const size_t expected = size_t(whole - (whole > 3) - (whole > 7));
        EXPECT_EQ(items.size(), expected) << n;
        EXPECT_EQ(out.text(), whole < 20 ? overrun(GcPacketDecoder::SIGNATURE,
                                                   "off(44) + len(3) > dataLength(" + std::to_string(n) + ")")
                                         : "")
            << n;
    }
}

namespace {

QByteArray be16(int v)
{
    QByteArray b(2, '\0');
    ArchiveTestData::putBe16(b, 0, uint32_t(v));
    return b;
}

// A summed packet of one segment of 100 word bins 10 + i % 7 (two acquisitions, version 0).
QByteArray summed()
{
    QByteArray d;
    d.append(char(0));
    d.append(char(2));
    d += be16(1) + be16(1) + be16(400) + be16(800) + be16(1200);
    for (int i = 0; i < 100; ++i)
        d += be16(10 + i % 7);
    return d;
}

} // namespace

TEST_F(KorScience, SummedTotalIonCount)
{
    // 100 bins of 10 + i % 7: 1000 + 14 * 21 + 0 + 1, not halved (averaging off).
    const auto p = packet(27, summed());
    GseLib::DataItems items(1);
    TestSupport::StreamCapture out(std::cout);
    EXPECT_TRUE(decoder(230).decode(row(0, 0, 0, 0), p.get(), items, nullptr));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].toDouble(), 1295.0);
    EXPECT_EQ(items[1].offset, -1);
    EXPECT_EQ(items[1].count, -1);
    EXPECT_EQ(items[1].unixTime, UNIX);
    EXPECT_EQ(items[1].relativeTime, REL);
    EXPECT_EQ(out.text(), "");

    // Whatever a short packet makes of its scan, the decoder reports that scan's total.
    const QByteArray full = summed();
    for (int n = 0; n <= full.size(); ++n) {
        const auto cut = packet(27, full.left(n));
        GseLib::DataItems one;
        EXPECT_TRUE(decoder(230).decode(row(0, 0, 0, 0), cut.get(), one, nullptr)) << n;
        ASSERT_EQ(one.size(), 1u) << n;
        EXPECT_EQ(one[0].toDouble(), KorGse::ScanData(cut, {}, false, KORA::PacketTime).ionCount(0, 0)) << n;
    }
}

TEST_F(KorScience, SummedTotalNeedsAnOwnedPacket)
{
    const QByteArray bytes = ArchiveTestData::tomPacket(27, 0, summed(), 5000);
    const GseLib::TomPacket unowned(reinterpret_cast<const uint8_t*>(bytes.constData()), int(bytes.size()), 1,
                                    &fixedClock);
    GseLib::DataItems items(1);
    EXPECT_THROW(decoder(230).decode(row(0, 0, 0, 0), &unowned, items, nullptr), std::bad_weak_ptr);
    EXPECT_EQ(items.size(), 1u);
}
