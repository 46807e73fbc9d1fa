#include "gselib/packets/ccsdspacket.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"

#include <gtest/gtest.h>
#include <stdexcept>

using namespace GseLib;

namespace {

std::vector<uint8_t> tomBytes(uint8_t type, uint8_t seq, std::vector<uint8_t> data, uint32_t ts)
{
    std::vector<uint8_t> b(8 + data.size() + 4);
    const uint8_t header[8] = {type, seq, uint8_t(data.size() >> 8), uint8_t(data.size()),
                               uint8_t(ts >> 24), uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts)};
    std::copy(header, header + 8, b.begin());
    std::copy(data.begin(), data.end(), b.begin() + 8);
    const uint8_t trailer[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    std::copy(trailer, trailer + 4, b.end() - 4);
    return b;
}

} // namespace

TEST(TomPacket, HeaderFieldsAndBaseDefaults)
{
    const auto b = tomBytes(0x85, 7, {0x21, 1, 2}, 0x01020304);
    TomPacket p(b.data(), int(b.size()), 3, nullptr);
    EXPECT_EQ(p.type(), 5);
    EXPECT_EQ(p.fullType(), 133);
    EXPECT_EQ(p.apid(), 5);
    EXPECT_EQ(p.sequence(), 7);
    EXPECT_EQ(p.subType(), 0x21);
    EXPECT_EQ(p.dataLength(), 3u);
    EXPECT_EQ(p.totalLength(), 15u);
    EXPECT_EQ(p.rawTimestamp(), 0x01020304u);
    EXPECT_EQ(p.rawTimestampMs(), 0.0);
    EXPECT_EQ(p.checksum(), 0xDEADBEEFu);
    EXPECT_EQ(p.dataOffset(), 8);
    EXPECT_EQ(p.headerSize(), 8);
    EXPECT_EQ(p.index, 3);
    EXPECT_EQ(p.segmentFlags(), 3);
    EXPECT_EQ(p.versionNumber(), 0);
    EXPECT_EQ(p.typeIndicator(), 0);
    EXPECT_EQ(p.hasSecondaryHeader(), 0);
    EXPECT_EQ(p.groundSeconds, 0u);
    EXPECT_EQ(p.groundMs, 0.0);
}

TEST(TomPacket, MissingBytesThrowOrReadAsZero)
{
    const uint8_t eight[] = {0x05, 1, 0, 0, 0, 0, 0, 9};
    TomPacket p(eight, 8, 0, nullptr);
    EXPECT_EQ(p.type(), 5);
    EXPECT_THROW(p.subType(), std::out_of_range);
    TomPacket empty(std::make_shared<ByteVector>(), 0, nullptr);
    EXPECT_THROW(empty.type(), std::out_of_range);
    EXPECT_THROW(empty.fullType(), std::out_of_range);
    EXPECT_THROW(empty.sequence(), std::out_of_range);
    // The unchecked reads stay inside the vector.
    EXPECT_EQ(empty.rawTimestamp(), 0u);
    EXPECT_EQ(empty.checksum(), 0u);
    EXPECT_EQ(empty.dataLength(), 0u);
}

TEST(TomPacket, SharesTheGivenVectorAndCopiesABuffer)
{
    auto b = tomBytes(2, 0, {0}, 0);
    TomPacket copied(b.data(), int(b.size()), 0, nullptr);
    b[0] = 9;
    EXPECT_EQ(copied.type(), 2);
    auto shared = std::make_shared<ByteVector>(b);
    TomPacket viewing(shared, 1, nullptr);
    (*shared)[0] = 4;
    EXPECT_EQ(viewing.type(), 4);
    EXPECT_EQ(viewing.bytes.get(), shared.get());
}

TEST(CcsdsPacket, BuiltPacketReadsBackAndResizes)
{
    CcsdsPacket p(20, 0x123, true, CcsdsPrimaryHeader::Unsegmented, 7);
    EXPECT_EQ(p.apid(), 0x123);
    EXPECT_EQ(p.type(), 0x123);
    EXPECT_EQ(p.fullType(), 0x123);
    EXPECT_EQ(p.hasSecondaryHeader(), 1);
    EXPECT_EQ(p.segmentFlags(), 3);
    EXPECT_EQ(p.sequence(), 0);
    EXPECT_EQ(p.versionNumber(), 0);
    EXPECT_EQ(p.typeIndicator(), 0);
    EXPECT_EQ(p.dataLength(), 14u);
    EXPECT_EQ(p.totalLength(), 20u);
    EXPECT_EQ(p.index, 7);
    EXPECT_EQ(p.subType(), 0);
    EXPECT_EQ(p.checksum(), 0u);
    EXPECT_EQ(p.timeResolver, nullptr);
    p.resize(30);
    EXPECT_EQ(p.dataLength(), 24u);
    EXPECT_EQ(p.totalLength(), 30u);
    EXPECT_EQ(p.header.dataLength(), 24u);
}

TEST(CcsdsPacket, SizeBelowSevenIsRejected)
{
    EXPECT_THROW(CcsdsPacket(6, 1, false, CcsdsPrimaryHeader::Unsegmented, 0), std::runtime_error);
    EXPECT_THROW(CcsdsPacket(0, 1, false, CcsdsPrimaryHeader::Unsegmented, 0), std::runtime_error);
    EXPECT_NO_THROW(CcsdsPacket(7, 1, false, CcsdsPrimaryHeader::Unsegmented, 0));
}

TEST(CcsdsPacket, SequenceWrapsAndKeepsSegmentFlags)
{
    CcsdsPacket p(12, 5, false, CcsdsPrimaryHeader::First, 0);
    p.header.setSequenceCount(16383);
    p.incrementSequence();
    EXPECT_EQ(p.sequence(), 0);
    EXPECT_EQ(p.segmentFlags(), CcsdsPrimaryHeader::First);
    p.incrementSequence();
    EXPECT_EQ(p.sequence(), 1);
    EXPECT_EQ(p.apid(), 5);
}

TEST(CcsdsPacket, SecondaryHeaderTimes)
{
    CcsdsPacket p(12, 5, true, CcsdsPrimaryHeader::Unsegmented, 0);
    auto& b = *p.bytes;
    b[6] = 0x00; b[7] = 0x01; b[8] = 0x00; b[9] = 0x02;
    b[10] = 0x80; b[11] = 0x00;
    EXPECT_EQ(p.rawTimestamp(), 0x00010002u);
    EXPECT_DOUBLE_EQ(p.rawTimestampMs(), 500.0);
    b[10] = 0xFF; b[11] = 0xFF;
    EXPECT_DOUBLE_EQ(p.rawTimestampMs(), 65535.0 / 65536.0 * 1000.0);
}

TEST(CcsdsPacket, ShortPacketsReadMissingBytesAsZero)
{
    // A 7-byte packet: one byte of its secondary header.
    const uint8_t seven[] = {0x09, 0x02, 0xC0, 0x05, 0x00, 0x00, 0xAA};
    CcsdsPacket p(seven, 7, 0, nullptr);
    EXPECT_EQ(p.apid(), 0x102);
    EXPECT_EQ(p.sequence(), 5);
    EXPECT_EQ(p.dataLength(), 1u);
    EXPECT_EQ(p.rawTimestamp(), 0xAA000000u);
    EXPECT_EQ(p.rawTimestampMs(), 0.0);
    // Even shorter vectors and a default packet read zeros instead of past the end.
    const uint8_t three[] = {0x09, 0x02, 0xC0};
    CcsdsPacket q(three, 3, 0, nullptr);
    EXPECT_EQ(q.apid(), 0x102);
    EXPECT_EQ(q.sequence(), 0);
    EXPECT_EQ(q.dataLength(), 1u);
    q.incrementSequence(); // must not write past the vector
    EXPECT_EQ(q.totalLength(), 3u);
    CcsdsPacket none;
    EXPECT_EQ(none.apid(), 0);
    EXPECT_EQ(none.totalLength(), 0u);
    EXPECT_EQ(none.data(), nullptr);
}

TEST(CcsdsPacket, HeaderFollowsThePacketsBytesAndCopiesShareThem)
{
    const uint8_t a[] = {0x08, 0x11, 0xC0, 0x01, 0x00, 0x00, 0xAA};
    const uint8_t b[] = {0x0A, 0x22, 0x40, 0x02, 0x00, 0x01, 0xBB, 0xCC};
    CcsdsPacket p(a, 7, 0, nullptr);
    EXPECT_EQ(p.header.apid(), 0x011);
    // Bytes replaced: the packet and its header read the new ones.
    p.bytes = makePacketBytes(b, sizeof b);
    EXPECT_EQ(p.apid(), 0x222);
    EXPECT_EQ(p.header.apid(), 0x222);
    EXPECT_EQ(p.header.segmentFlags(), CcsdsPrimaryHeader::First);
    EXPECT_EQ(p.dataLength(), 2u);

    // A header copied out of a packet keeps the vector alive after the packet.
    CcsdsPrimaryHeader kept;
    {
        auto q = std::make_shared<CcsdsPacket>(a, 7, 1, nullptr);
        kept = q->header;
        q->header.setSequenceCount(77);
    }
    ASSERT_TRUE(kept.isValid());
    EXPECT_EQ(kept.apid(), 0x011);
    EXPECT_EQ(kept.sequenceCount(), 77);

    // A copied packet shares the bytes; its header reads its own member.
    CcsdsPacket copy(p);
    EXPECT_EQ(copy.bytes.get(), p.bytes.get());
    copy.bytes = makePacketBytes(a, sizeof a);
    EXPECT_EQ(copy.header.apid(), 0x011);
    EXPECT_EQ(p.header.apid(), 0x222);
    CcsdsPacket assigned;
    EXPECT_FALSE(assigned.header.isValid());
    assigned = p;
    EXPECT_EQ(assigned.header.apid(), 0x222);
    assigned.header.setApid(0x333);
    EXPECT_EQ(p.apid(), 0x333); // the same vector

    // A header given a vector of its own keeps it until the length is rewritten.
    CcsdsPacket r(12, 5, false, CcsdsPrimaryHeader::Unsegmented, 0);
    r.header = CcsdsPrimaryHeader(0x44, 0, CcsdsPrimaryHeader::Telemetry, false, CcsdsPrimaryHeader::Unsegmented, 0, 1);
    EXPECT_EQ(r.header.apid(), 0x44);
    EXPECT_EQ(r.apid(), 5);
    r.updateDataLength();
    EXPECT_EQ(r.header.apid(), 5);
}

TEST(CcsdsPacket, LengthFieldOf65535MeansAFullBody)
{
    const uint8_t h[] = {0x08, 0x01, 0xC0, 0x00, 0xFF, 0xFF};
    CcsdsPacket p(h, 6, 0, nullptr);
    EXPECT_EQ(p.dataLength(), 65536u);
}

TEST(CcsdsPrimaryHeader, FieldsAndValidity)
{
    CcsdsPrimaryHeader h(0x7FF, 2, CcsdsPrimaryHeader::Telecommand, true, CcsdsPrimaryHeader::Last, 0x3FFF,
                         65536);
    EXPECT_EQ(h.apid(), 0x7FF);
    EXPECT_EQ(h.versionNumber(), 2);
    EXPECT_EQ(h.packetType(), CcsdsPrimaryHeader::Telecommand);
    EXPECT_TRUE(h.hasSecHeader());
    EXPECT_EQ(h.segmentFlags(), CcsdsPrimaryHeader::Last);
    EXPECT_EQ(h.sequenceCount(), 0x3FFF);
    EXPECT_EQ(h.dataLength(), 65536u);
    EXPECT_EQ(h.toByteArray(), QByteArray::fromHex("5FFFBFFFFFFF"));
    EXPECT_FALSE(h.isValidTelemetryHeader());

    // Setters leave the other fields alone.
    h.setApid(0x123);
    h.setVersionNumber(0);
    h.setPacketType(CcsdsPrimaryHeader::Telemetry);
    EXPECT_EQ(h.apid(), 0x123);
    EXPECT_TRUE(h.hasSecHeader());
    EXPECT_EQ(h.sequenceCount(), 0x3FFF);
    EXPECT_TRUE(h.isValidTelemetryHeader());
    h.setHasSecHeader(false);
    h.setSegmentFlags(CcsdsPrimaryHeader::Unsegmented);
    EXPECT_EQ(h.toByteArray(), QByteArray::fromHex("0123FFFFFFFF"));

    CcsdsPrimaryHeader other(0x10, 10, 3, false, CcsdsPrimaryHeader::Unsegmented,
                             CcsdsPrimaryHeader::Telemetry, 0);
    EXPECT_EQ(other.toByteArray(), QByteArray::fromHex("0010C0030009"));

    EXPECT_FALSE(CcsdsPrimaryHeader().isValid());
    EXPECT_FALSE(CcsdsPrimaryHeader().isValidTelemetryHeader());
    auto tc = std::make_shared<ByteVector>(ByteVector{0x10, 0x01, 0xC0, 0, 0, 0});
    EXPECT_TRUE(CcsdsPrimaryHeader(tc).isValid());
    EXPECT_FALSE(CcsdsPrimaryHeader(tc).isValidTelemetryHeader());
    auto apid0 = std::make_shared<ByteVector>(ByteVector{0x08, 0x00, 0xC0, 0, 0, 0});
    EXPECT_FALSE(CcsdsPrimaryHeader(apid0).isValidTelemetryHeader());
    auto shortOne = std::make_shared<ByteVector>(ByteVector{0x08, 0x01, 0xC0, 0, 0});
    EXPECT_FALSE(CcsdsPrimaryHeader(shortOne).isValidTelemetryHeader());
}

TEST(TMPacket, TypeNameAndGroundFlagComeFromTheHub)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    TMPacketTypeInfo info;
    info.valid = true;
    info.type = 5;
    info.name = "HK";
    info.isGse = true;
    DataInterpretation::current()->packetTypes.insert(5, info);
    const auto a = tomBytes(0x05, 0, {0}, 0);
    const auto b = tomBytes(0x85, 0, {0}, 0);
    TomPacket low(a.data(), int(a.size()), 0, nullptr);
    TomPacket high(b.data(), int(b.size()), 0, nullptr);
    EXPECT_EQ(low.typeName(), "HK");
    EXPECT_TRUE(low.isGseCreated());
    // The name is keyed by type(), the ground flag by fullType().
    EXPECT_EQ(high.typeName(), "HK");
    EXPECT_FALSE(high.isGseCreated());
    CcsdsPacket unknown(8, 0x200, false, CcsdsPrimaryHeader::Unsegmented, 0);
    EXPECT_EQ(unknown.typeName(), "Unknown packet");
    EXPECT_FALSE(unknown.isGseCreated());
}

TEST(TMPacket, TimesGoThroughTheResolver)
{
    UnixTimeResolver r;
    CcsdsPacket p(12, 5, true, CcsdsPrimaryHeader::Unsegmented, 0);
    (*p.bytes)[9] = 100;
    p.timeResolver = &r;
    EXPECT_EQ(p.unixTime(), 100.0);
    EXPECT_EQ(p.unixTimeFromTicks(7), 7.0);
    EXPECT_EQ(p.unixTimeFromSeconds(7.9), 7.0);
    EXPECT_EQ(p.relativeTime(), 100.0);
    EXPECT_EQ(p.relativeTimeFromTicks(40), 40.0);
    EXPECT_EQ(p.relativeTimeFromSeconds(-2.5), -2.0);
    p.groundSeconds = 3;
    p.groundMs = 250;
    EXPECT_DOUBLE_EQ(p.groundRelativeTime(), 3.25);
}
