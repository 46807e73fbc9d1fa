// The first instrument's time rules on hand-made packets decoded through a
// hub loaded from generated definitions: time fields, tick zeros against the
// epoch from calendar arithmetic, the boot-loader test, and the resolver's
// lookups, reset and state print.
#include "koralib/koradefinitions.h"

#include "gselib/packets/archivetestdata.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/koratimeresolver.h"
#include "koralib/archive/kormissionspecifics.h"
#include "support/streamcapture.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

using KorGse::KoraTimeResolver;

namespace {

class KoraTime : public KoraTest::SuiteTest
{
};

QByteArray be32(uint32_t v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char(v >> (24 - 8 * i));
    return b;
}

QByteArray floatWord(float f)
{
    uint32_t w;
    std::memcpy(&w, &f, 4);
    return be32(w);
}

GseLib::TMPacketPtr packet(int type, const QByteArray& data, uint32_t ts, int index = 0,
                           const GseLib::TimeResolver* r = nullptr)
{
    const QByteArray bytes = ArchiveTestData::tomPacket(uint8_t(type), 0, data, ts);
    return std::make_shared<GseLib::TomPacket>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                               int(bytes.size()), index, r);
}

GseLib::TMPacketPtr timePacket(uint32_t s, uint32_t ss, uint32_t ticks, int index = 0,
                               const GseLib::TimeResolver* r = nullptr)
{
    return packet(2, QByteArray(4, '\0') + be32(s) + be32(ss) + be32(ticks), ticks, index, r);
}

} // namespace

TEST_F(KoraTime, EpochAndTickZeroFormula)
{
    ASSERT_TRUE(defs->generated);
    EXPECT_EQ(KorGse::KORA_EPOCH_UNIX, defs->expected.value("epoch").toDouble()); // calendar.timegm
    EXPECT_EQ(KorGse::retToUnixTime(1.5), 946728001.5);
    EXPECT_DOUBLE_EQ(KorGse::getRetForTick0(100, 32768, 20000), 100.5 - 2.0);
    const auto t = timePacket(700000000, 16384, 50000);
    EXPECT_DOUBLE_EQ(KorGse::getUnixTimeForTick0(t), 700000000.25 - 5.0 + 946728000.0);
    EXPECT_DOUBLE_EQ(KorGse::convertPktTimestampToUnixTime(t, 10.0), 15.0);
}

TEST_F(KoraTime, TimeFieldsByPacketType)
{
    ASSERT_TRUE(defs->generated);
    uint32_t s = 1, ss = 1, t = 1;
    KorGse::getTimeFields(timePacket(11, 22, 33), s, ss, t);
    EXPECT_EQ(s, 11u);
    EXPECT_EQ(ss, 22u);
    EXPECT_EQ(t, 33u);
    // Type 9: seconds and sub-seconds in the data, ticks from the header; missing bytes read 0.
    KorGse::getTimeFields(packet(9, be32(0x01020304) + QByteArray("\x05\x06", 2), 77), s, ss, t);
    EXPECT_EQ(s, 0x01020304u);
    EXPECT_EQ(ss, 0x0506u);
    EXPECT_EQ(t, 77u);
    KorGse::getTimeFields(packet(9, QByteArray("\x01\x02", 2), 78), s, ss, t);
    EXPECT_EQ(s, 0x01020000u);
    EXPECT_EQ(ss, 0u);
    try {
        KorGse::getTimeFields(packet(26, QByteArray(20, '\0'), 1), s, ss, t);
        ADD_FAILURE() << "no exception";
    } catch (const std::domain_error& e) {
        EXPECT_STREQ(e.what(), "getTimeFields() was passed a non-time packet");
    }
}

TEST_F(KoraTime, DigitalHousekeepingTimeFields)
{
    ASSERT_TRUE(defs->generated);
    const QByteArray zero = QByteArray(16, '\0');
    EXPECT_FALSE(KorGse::isDigitalHkPktWithNonZeroTimeFields(packet(7, zero, 1)));
    EXPECT_FALSE(KorGse::isTimePkt(packet(7, zero, 1)));
    EXPECT_TRUE(KorGse::isTimePkt(packet(2, zero, 1)));
    EXPECT_FALSE(KorGse::isTimePkt(packet(26, zero, 1)));
    const auto nan = packet(7, QByteArray(8, '\0') + floatWord(std::numeric_limits<float>::quiet_NaN()) +
                                   QByteArray(4, '\0'), 1);
    EXPECT_TRUE(KorGse::isDigitalHkPktWithNonZeroTimeFields(nan)); // a NaN is not zero
    uint32_t s = 9, ss = 9, t = 9;
    KorGse::getTimeFields(nan, s, ss, t); // and saturates to 0 in the field
    EXPECT_EQ(ss, 0u);
    const auto big = packet(7, QByteArray(4, '\0') + be32(0xFFFFFFFF) + floatWord(3.0f) + be32(5), 1);
    KorGse::getTimeFields(big, s, ss, t);
    EXPECT_EQ(s, 0xFFFFFFFFu);
    EXPECT_EQ(ss, 3u);
    EXPECT_EQ(t, 5u);
}

TEST_F(KoraTime, BootLoaderMessages)
{
    ASSERT_TRUE(defs->generated);
    struct Case { const char* text; int size; int type; bool expected; };
    const Case cases[] = {
        {"KORA CDH Boot Loader", -1, 8, true},
        {"xxKORA/CDH/Boot/Loader v3", -1, 8, true},
        {"KORA\nCDH\r\nBoot\nLoader\n", -1, 8, true}, // line ends between the words
        {"KORA CDH Loader Boot", -1, 8, false},
        {"kora cdh boot loader", -1, 8, false},
        {"KORA CDH Boot\0Loader", 20, 8, false}, // text ends at the zero byte
        {"KORA CDH Boot Loader", -1, 7, false},
    };
    for (const Case& c : cases) {
        const QByteArray text = c.size < 0 ? QByteArray(c.text) : QByteArray(c.text, c.size);
        EXPECT_EQ(KorGse::isBootLoaderPkt(packet(c.type, text, 1)), c.expected) << c.text;
    }
}

TEST_F(KoraTime, LookupsOutsideTheVectorAndTickConversions)
{
    ASSERT_TRUE(defs->generated);
    KoraTimeResolver r;
    EXPECT_GE(r.capacity(), KoraTimeResolver::RESERVED_ENTRIES);
    r.setT0Fallback(1000.0);
    const auto a = packet(22, QByteArray(16, '\0'), 20000, 0, &r);
    r.handlePacket(a);
    EXPECT_DOUBLE_EQ(r.unixTime(a.get()), 1002.0);
    EXPECT_DOUBLE_EQ(r.relativeTime(a.get()), 2.0 - 2.0); // a is the t0 packet
    EXPECT_DOUBLE_EQ(r.unixTime(a.get(), 5000), 1000.5);
    const auto outside = packet(22, QByteArray(16, '\0'), 20000, -1, &r);
    EXPECT_EQ(r.unixTime(outside.get()), 0.0);
    EXPECT_EQ(r.relativeTime(outside.get()), 0.0);
    EXPECT_EQ(r.unixTimeForTick0(5), 0.0);
    EXPECT_EQ(r.relativeTimeForTick0(5), 0.0);
    EXPECT_EQ(r.secondsToTicks(1.23456), 12345);
    EXPECT_EQ(r.secondsToTicks(std::nan("")), 0);
    EXPECT_EQ(r.secondsToTicks(1e300), std::numeric_limits<long long>::max());
    EXPECT_EQ(r.ticksToSeconds(15000), 1.5);
    EXPECT_FALSE(r.isSynced());
    EXPECT_THROW(r.alterPktTimeVectorEntry(timePacket(1, 0, 0), 3), std::domain_error);
}

TEST_F(KoraTime, ResetKeepsTheLastTimePacketAndTheCapacity)
{
    ASSERT_TRUE(defs->generated);
    KoraTimeResolver r;
    const auto t = timePacket(700000000, 0, 10000, 0, &r);
    r.handlePacket(t);
    EXPECT_TRUE(r.isSynced());
    EXPECT_EQ(r.correctedCount(), 1);
    const size_t capacity = r.capacity();
    r.reset();
    EXPECT_EQ(r.lastTimePacket(), t);
    EXPECT_EQ(r.capacity(), capacity);
    EXPECT_TRUE(r.pktTimeVector().empty());
    EXPECT_FALSE(r.isSynced());
    EXPECT_EQ(r.correctedCount(), 0);
    EXPECT_EQ(r.t0Packet(), nullptr);
}

TEST_F(KoraTime, FirstSynchronisationCopiesTheT0Entry)
{
    ASSERT_TRUE(defs->generated);
    KoraTimeResolver r;
    r.setT0Fallback(500.0);
    // Two ground packets (type 10), then the t0 packet, then the time packet.
    std::vector<GseLib::TMPacketPtr> ps = {packet(10, QByteArray(8, '\0'), 100, 0, &r),
                                           packet(10, QByteArray(8, '\0'), 200, 1, &r),
                                           packet(22, QByteArray(16, '\0'), 3000, 2, &r),
                                           timePacket(700000000, 0, 20000, 3, &r)};
    for (const auto& p : ps)
        r.handlePacket(p);
    const double tick0 = 700000000.0 - 2.0 + 946728000.0;
    EXPECT_EQ(r.t0Packet(), ps[2]);
    for (int i : {0, 1, 2})
        EXPECT_DOUBLE_EQ(r.pktTimeVector()[size_t(i)].unixTime, tick0 + 0.3) << i;
    EXPECT_DOUBLE_EQ(r.pktTimeVector()[3].unixTime, tick0 + 2.0);
    EXPECT_NEAR(r.relativeTime(ps[3].get()), 1.7, 1e-6); // a difference of two times near 1.65e9 s
}

TEST_F(KoraTime, TestPrintListsTheState)
{
    ASSERT_TRUE(defs->generated);
    KoraTimeResolver r;
    r.setT0Fallback(1234567890.125);
    TestSupport::StreamCapture out(std::cout);
    r.testPrint();
    const QStringList lines = out.lines();
    ASSERT_EQ(lines.size(), 12);
    EXPECT_EQ(lines[0], "estimatedT0InUnixTime_:           1234567890.125");
    EXPECT_EQ(lines[3], "needT0Pkt_:                       1");
    EXPECT_EQ(lines[11], "pktCnt_:                          0");
    EXPECT_EQ(out.text().substr(0, 1), "\n");
}

TEST(KorMissionSpecifics, TicksAndSeconds)
{
    const KorGse::KorMissionSpecifics m;
    EXPECT_EQ(m.packetFormat(), GseLib::TelemetryCache::TOM);
    EXPECT_NEAR(m.mission2secs(m.secs2mission(1.5)), 1.5, 1e-12);
    EXPECT_EQ(m.secs2mission(-3.0), 0.0);
    EXPECT_EQ(m.secs2mission(std::nan("")), 0.0);
    EXPECT_EQ(m.secs2mission(0.00019), 1.0);
    std::unique_ptr<GseLib::TimeResolver> r(m.makeTimeResolver());
    EXPECT_NE(dynamic_cast<KoraTimeResolver*>(r.get()), nullptr);
}
