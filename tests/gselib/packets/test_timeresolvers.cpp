#include "gselib/packets/ccsdspacket.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

using namespace GseLib;

namespace {

// A CCSDS packet with the given raw seconds and 1/65536 fraction.
TMPacketPtr ccsds(int apid, uint32_t seconds, uint16_t fraction = 0, const TimeResolver* r = nullptr)
{
    auto p = std::make_shared<CcsdsPacket>(12, apid, true, CcsdsPrimaryHeader::Unsegmented, 0);
    auto& b = *p->bytes;
    b[6] = uint8_t(seconds >> 24);
    b[7] = uint8_t(seconds >> 16);
    b[8] = uint8_t(seconds >> 8);
    b[9] = uint8_t(seconds);
    b[10] = uint8_t(fraction >> 8);
    b[11] = uint8_t(fraction);
    p->timeResolver = r;
    return p;
}

class TimeResolvers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DataInterpretation::init(nullptr, false, nullptr, {});
        TMPacketTypeInfo ground;
        ground.valid = true;
        ground.type = 9;
        ground.name = "GSE";
        ground.isGse = true;
        DataInterpretation::current()->packetTypes.insert(9, ground);
    }
};

} // namespace

TEST_F(TimeResolvers, UnixWithoutT0)
{
    UnixTimeResolver r;
    auto p = ccsds(1, 1000, 0, &r);
    EXPECT_EQ(r.relativeTime(p.get()), 1000.0);
    EXPECT_EQ(r.unixTime(p.get()), 1000.0);
    EXPECT_EQ(r.unixTimeOfT0(), r.unixTimeOfT0Estimate());
    EXPECT_EQ(r.unixTimeOfT0(), 0.0);
    EXPECT_EQ(r.ticksOfT0(), 0u);
    EXPECT_EQ(r.t0Packet(), nullptr);
    EXPECT_TRUE(r.isSynced());
    EXPECT_EQ(r.correctedCount(), 0);
    EXPECT_EQ(r.unixOffset(), 0u);
    EXPECT_EQ(r.secondsToTicks(-1.9), -1);
    EXPECT_EQ(r.ticksToSeconds(12), 12.0);
}

TEST_F(TimeResolvers, GroundCreatedPacketsAreSkippedAsT0ByUnixButNotByTai)
{
    UnixTimeResolver unix;
    TaiTimeResolver tai;
    auto ground = ccsds(9, 500, 0, &unix);
    auto instrument = ccsds(1, 600, 0, &unix);
    EXPECT_TRUE(unix.handlePacket(ground));
    EXPECT_TRUE(unix.handlePacket(instrument));
    EXPECT_EQ(unix.t0Packet(), instrument);
    EXPECT_EQ(unix.ticksOfT0(), 600u);
    EXPECT_EQ(unix.unixTimeOfT0(), 600.0);
    EXPECT_EQ(unix.relativeTime(ground.get()), -100.0);

    EXPECT_TRUE(tai.handlePacket(ground));
    EXPECT_TRUE(tai.handlePacket(instrument));
    EXPECT_EQ(tai.t0Packet(), ground);

    unix.reset();
    EXPECT_EQ(unix.t0Packet(), nullptr);
    unix.setAcceptGseCreatedT0(true);
    unix.handlePacket(ground);
    EXPECT_EQ(unix.t0Packet(), ground);
}

TEST_F(TimeResolvers, MinimumRawTimestampAndFirstChoiceSticks)
{
    GpsTimeResolver r(315964800ull);
    r.setT0MinRawTimestamp(1000);
    auto early = ccsds(1, 999, 0, &r);
    auto first = ccsds(1, 1000, 0, &r);
    auto later = ccsds(1, 2000, 0, &r);
    r.handlePacket(early);
    EXPECT_EQ(r.t0Packet(), nullptr);
    r.handlePacket(first);
    r.handlePacket(later);
    EXPECT_EQ(r.t0Packet(), first);
}

TEST_F(TimeResolvers, GpsAddsOffsetAndMilliseconds)
{
    GpsTimeResolver r(315964800ull);
    EXPECT_EQ(r.unixOffset(), 315964800ull);
    auto p = ccsds(1, 100, 0x8000, &r);
    EXPECT_DOUBLE_EQ(r.unixTime(p.get()), 315964900.5);
    EXPECT_DOUBLE_EQ(r.unixTime(p.get(), 5), 315964805.0);
    EXPECT_DOUBLE_EQ(r.relativeTime(p.get()), 100.5);
    auto t0 = ccsds(1, 90, 0x4000, &r);
    r.handlePacket(t0);
    // t0's own fraction is not subtracted, only its whole seconds.
    EXPECT_DOUBLE_EQ(r.relativeTime(p.get()), 10.5);
    EXPECT_DOUBLE_EQ(r.relativeTime(p.get(), 95), 5.0);
}

TEST_F(TimeResolvers, TaiEpochAndTimesBefore1970)
{
    TaiTimeResolver r;
    EXPECT_EQ(TaiTimeResolver::offset, 378691200);
    auto epoch = ccsds(1, 378691200u, 0x4000, &r);
    EXPECT_DOUBLE_EQ(r.unixTime(epoch.get()), 0.25);
    // One hour before 1970: negative, not a wrapped 64-bit number.
    auto before = ccsds(1, 378691200u - 3600u, 0, &r);
    EXPECT_DOUBLE_EQ(r.unixTime(before.get()), -3600.0);
    auto zero = ccsds(1, 0, 0, &r);
    EXPECT_DOUBLE_EQ(r.unixTime(zero.get()), -378691200.0);
    EXPECT_EQ(r.unixTime(epoch.get(), 42), 0.0); // not supported
}

TEST_F(TimeResolvers, GroundRelativeTime)
{
    UnixTimeResolver r;
    auto a = ccsds(1, 10, 0, &r);
    a->groundSeconds = 100;
    a->groundMs = 500;
    auto b = ccsds(1, 11, 0, &r);
    b->groundSeconds = 103;
    b->groundMs = 250;
    EXPECT_DOUBLE_EQ(r.groundRelativeTime(b.get()), 103.25);
    r.handlePacket(a);
    EXPECT_DOUBLE_EQ(r.groundRelativeTime(a.get()), 0.0);
    EXPECT_DOUBLE_EQ(r.groundRelativeTime(b.get()), 2.75);
}

TEST_F(TimeResolvers, GenericTimeWithoutTimeItemOrDecodableValueIsZero)
{
    GenericTimeResolver r;
    auto unlisted = ccsds(1, 77, 0x8000, &r);
    EXPECT_EQ(r.unixTime(unlisted.get()), 0.0);
    EXPECT_DOUBLE_EQ(r.relativeTime(unlisted.get()), 77.5);

    TMPacketTypeInfo timed;
    timed.valid = true;
    timed.type = 3;
    timed.timeDataId = 1234;
    DataInterpretation::current()->packetTypes.insert(3, timed);
    auto p = ccsds(3, 77, 0, &r);
    TestSupport::LogCapture log;
    EXPECT_EQ(r.unixTime(p.get()), 0.0);
    EXPECT_TRUE(log.contains("Got exception in getValue: 1234", "decode", WARN));
    EXPECT_EQ(r.unixTime(p.get(), 5), 0.0);
}

TEST(SclkTable, LastEntryNotAfterTheClock)
{
    TestSupport::TempDir dir;
    const QString path = dir.write("sclk.txt", "# start unix rate\n"
                                               "0 100 1\n"
                                               "50  200 2\n"
                                               "50 200 2\n"
                                               "80 300 3\n"
                                               "bad line here\n");
    auto [s, u, rate] = getSclkEntry(path, 60);
    EXPECT_EQ(s, 50.0);
    EXPECT_EQ(u, 200.0);
    EXPECT_EQ(rate, 2.0);
    EXPECT_EQ(getSclkEntry(path, -1), std::make_tuple(0.0, 946727936.0, 1.0));
    EXPECT_EQ(getSclkEntry(path, 1000), std::make_tuple(80.0, 300.0, 3.0));
    EXPECT_EQ(getSclkEntry(path, 0), std::make_tuple(0.0, 100.0, 1.0));
    EXPECT_EQ(getSclkEntry(dir.filePath("missing.txt"), 5), std::make_tuple(0.0, 946727936.0, 1.0));

    // The double-spaced line is skipped: with only it before 60 the first entry stays.
    const QString spaced = dir.write("spaced.txt", "0 100 1\n50  200 2\n80 300 3\n");
    EXPECT_EQ(getSclkEntry(spaced, 60), std::make_tuple(0.0, 100.0, 1.0));
}
