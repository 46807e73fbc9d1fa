#include "gselib/interpretation/currentvaluetable.h"

#include "conversion/polytransferfunc.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using GseLib::CcsdsPacket;
using GseLib::CcsdsPrimaryHeader;
using GseLib::CurrentValueTable;
using GseLib::DataInterpretation;
using GseLib::TMPacket;
using GseLib::TmDatabaseRow;
using GseLib::TomPacket;

namespace {

// APIDs and data ids of the tests' database: 10, 11, 12 ride in APID 100,
// 20 in APID 200, 30 in APID 300.
void addRow(DataInterpretation& hub, uint32_t id, uint32_t packetType)
{
    TmDatabaseRow row;
    row.dataId = id;
    row.packetType = packetType;
    row.subSystem = "T";
    row.name = "ITEM" + std::to_string(id);
    row.key = row.subSystem + ":" + row.name;
    hub.db()->addRow(row);
}

// A hub over a database of its own, without any load.
class TestHub : public DataInterpretation
{
public:
    TestHub()
    {
        if (!database)
            database = std::make_shared<GseLib::TelemetryDatabase>();
    }
};

class CurrentValueTableTest : public ::testing::Test
{
protected:
    CurrentValueTableTest()
    {
        for (uint32_t id : {10, 11, 12})
            addRow(hub, id, 100);
        addRow(hub, 20, 200);
        addRow(hub, 30, 300);
    }

    // A CCSDS packet of `size` bytes (at least 10): raw seconds at 6..9, the rest `fill`.
    std::shared_ptr<CcsdsPacket> packet(int apid, uint32_t seconds, uint8_t fill, size_t size = 16)
    {
        auto p = std::make_shared<CcsdsPacket>(size, apid, true, CcsdsPrimaryHeader::Unsegmented, 3);
        for (size_t i = 6; i < size; ++i)
            (*p->bytes)[i] = fill;
        for (int i = 0; i < 4; ++i)
            (*p->bytes)[6 + i] = uint8_t(seconds >> (24 - 8 * i));
        p->timeResolver = &resolver;
        return p;
    }

    TestSupport::LogCapture log;
    GseLib::UnixTimeResolver resolver;
    TestHub hub;
};

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// A state written field by field (big-endian), as an older or foreign writer would.
struct StateWriter
{
    QByteArray bytes;

    StateWriter& i32(qint32 v)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.append(char(quint32(v) >> shift));
        return *this;
    }
    StateWriter& i16(qint16 v)
    {
        bytes.append(char(quint16(v) >> 8)).append(char(v));
        return *this;
    }
    StateWriter& raw(const QByteArray& b)
    {
        bytes += b;
        return *this;
    }
    // A byte array in its stream form: 32-bit length, then the bytes.
    StateWriter& array(const QByteArray& b) { return i32(qint32(b.size())).raw(b); }
    StateWriter& record(int apid, qint32 seconds, qint16 ms, const QByteArray& packetBytes)
    {
        return i32(apid).i32(seconds).i16(ms).i32(qint32(packetBytes.size())).raw(packetBytes);
    }
};

QByteArray bytesOf(const TMPacket& p)
{
    return QByteArray(reinterpret_cast<const char*>(p.bytes->data()), qsizetype(p.bytes->size()));
}

} // namespace

TEST_F(CurrentValueTableTest, TrackListsIdsUnderTheirRowsPacketType)
{
    CurrentValueTable t(hub);
    EXPECT_EQ(&t.dataInterp(), &hub);
    EXPECT_FALSE(t.track(99)); // no such row
    EXPECT_EQ(t.numTrackedApids(), 0);
    EXPECT_TRUE(t.track(10));
    EXPECT_TRUE(t.track(12));
    EXPECT_TRUE(t.track(10)); // listed once only
    EXPECT_TRUE(t.track(20));
    EXPECT_EQ(t.trackingMap().at(100), (std::vector<int>{10, 12}));
    EXPECT_EQ(t.trackingMap().at(200), (std::vector<int>{20}));
    EXPECT_EQ(t.numTrackedApids(), 2);
    EXPECT_EQ(t.numTrackedMnemonics(), 0); // items appear with their first packet
    EXPECT_FALSE(t.hasValue(10));
}

TEST_F(CurrentValueTableTest, TrackHistoryNeedsBothRowsInOnePacketType)
{
    CurrentValueTable t(hub);
    const CurrentValueTable empty(hub);
    struct Case {
        const char* name;
        int id, valueId;
    };
    for (const Case& c : {Case{"statistic row missing", 98, 10}, Case{"value row missing", 11, 98},
                          Case{"packet types differ", 11, 20}}) {
        EXPECT_FALSE(t.trackHistory(c.id, c.valueId, 5, 0.0)) << c.name;
        EXPECT_EQ(t, empty) << c.name;
    }
    ASSERT_TRUE(t.trackHistory(11, 10, 5, 2.5));
    ASSERT_TRUE(t.trackHistory(11, 10, 7, 0.0)); // replaces the limits, listed once
    EXPECT_EQ(t.trackingMap().at(100), (std::vector<int>{11}));
    EXPECT_EQ(t.historyMnemonicIds(), (std::vector<int>{11}));
    EXPECT_EQ(t.numTrackedHistoryMnemonics(), 1);
    const Zevo::History& h = t.history(11);
    EXPECT_EQ(h.id(), 10); // decodes the value row
    EXPECT_EQ(h.maxCount(), 7u);
    EXPECT_EQ(h.maxSpan(), 0.0);
}

TEST_F(CurrentValueTableTest, UpdateFilesPacketsOfTrackedApidsOnly)
{
    CurrentValueTable t(hub);
    t.track(10);
    t.track(11);
    t.track(20);
    EXPECT_EQ(t.firstPacket(), nullptr);
    t.update(packet(300, 1, 0xAA)); // untracked APID
    t.update(nullptr);
    EXPECT_EQ(t.numTrackedMnemonics(), 0);

    const auto first = packet(100, 1, 0x01);
    const auto second = packet(100, 2, 0x02);
    t.update(first);
    t.update(second);
    EXPECT_EQ(t.packet(10), second);
    EXPECT_EQ(t.packet(11), second);
    EXPECT_EQ(t.packet(20), nullptr);
    EXPECT_EQ(t.packet(99), nullptr);
    EXPECT_TRUE(t.hasValue(10));
    EXPECT_FALSE(t.hasValue(20));
    EXPECT_EQ(t.firstPacket(), second);
    EXPECT_EQ(t.numTrackedMnemonics(), 2);

    // A packet too short for its type is ignored, not thrown.
    auto tom = std::make_shared<TomPacket>(std::make_shared<GseLib::ByteVector>(), 0, &resolver);
    EXPECT_NO_THROW(t.update(tom));

    t.clear();
    EXPECT_EQ(t.numTrackedApids(), 0);
    EXPECT_EQ(t.numTrackedMnemonics(), 0);
}

TEST_F(CurrentValueTableTest, HistoryOfAnUntrackedIdThrowsTheMapText)
{
    CurrentValueTable t(hub);
    const CurrentValueTable& ct = t;
    for (auto call : {std::function<void()>([&] { t.history(5); }), std::function<void()>([&] { ct.history(5); })}) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "unordered_map::at: key not found");
        }
    }
}

TEST_F(CurrentValueTableTest, QueriesOfUnknownIdsAnswerEmpty)
{
    CurrentValueTable t(hub);
    bool ok = true;
    EXPECT_EQ(t.value(10, Gse::Sci, &ok), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(t.value(10, Gse::Raw, nullptr), 0.0); // a null flag is accepted
    GseLib::DataItems items;
    EXPECT_FALSE(t.decodePacket(10, items, true));
    ok = true;
    EXPECT_EQ(t.stringValue(10, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(t.stringValue(10, nullptr), "");
}

TEST_F(CurrentValueTableTest, SavedEmptyTableIsSixteenBytes)
{
    CurrentValueTable t(hub);
    EXPECT_EQ(t.saveState().toHex(), QByteArray("deadbeef000000020000000000000000"));
    t.track(10); // a tracked APID without a packet writes no record
    EXPECT_EQ(t.saveState().toHex(), QByteArray("deadbeef000000020000000000000000"));
}

TEST_F(CurrentValueTableTest, SavedStateLayout)
{
    CurrentValueTable t(hub);
    t.track(10);
    t.trackHistory(11, 10, 4, 0.0);
    auto p = packet(100, 0x01020304, 0x55, 12);
    p->groundSeconds = 1700000000;
    p->groundMs = 999.9;
    t.update(p);
    t.history(11).addValue(1.0, 2.0);

    const QByteArray history = t.history(11).saveValues();
    QByteArray expected = hex("deadbeef00000002"
                              "00000001"   // one packet record
                              "00000064"   // APID 100
                              "6553f100"   // ground seconds
                              "03e7"       // 999.9 ms truncated to 999
                              "0000000c"); // 12 bytes
    expected += bytesOf(*p);
    expected += hex("00000001"    // one history record
                    "0000000b"    // id 11
                    "00000020");  // its saved form's length: 32 bytes
    expected += history;
    EXPECT_EQ(t.saveState().toHex().toStdString(), expected.toHex().toStdString());
}

TEST_F(CurrentValueTableTest, RestoreRoundTripsPacketsAndHistories)
{
    CurrentValueTable t(hub);
    t.track(10);
    t.track(20);
    t.trackHistory(12, 10, 10, 0.0);
    auto a = packet(100, 5, 0x11);
    a->groundSeconds = 42;
    a->groundMs = 999.9;
    auto b = packet(200, 6, 0x22, 10);
    t.update(a);
    t.update(b);
    t.history(12).addValue(1.0, 3.0);
    t.history(12).addValue(2.0, 5.0);

    CurrentValueTable back(hub);
    back.track(10);
    back.track(20);
    back.trackHistory(12, 10, 10, 0.0);
    ASSERT_TRUE(back.restoreState(t.saveState(), &resolver));
    ASSERT_NE(back.packet(10), nullptr);
    EXPECT_EQ(bytesOf(*back.packet(10)), bytesOf(*a));
    EXPECT_EQ(back.packet(10)->groundMs, 999.0);
    EXPECT_EQ(back.packet(10)->groundSeconds, 42u);
    EXPECT_EQ(back.packet(10)->index, 0);
    EXPECT_EQ(back.packet(10)->timeResolver, &resolver);
    EXPECT_NE(dynamic_cast<CcsdsPacket*>(back.packet(20).get()), nullptr);
    EXPECT_EQ(back.packet(12), back.packet(10));
    EXPECT_EQ(back.history(12).size(), 2u);
    EXPECT_DOUBLE_EQ(back.history(12).rate(), 2.0);

    a->groundMs = 999.0; // what the 16-bit field keeps
    EXPECT_EQ(back, t);
    b->groundSeconds = 1;
    EXPECT_NE(back, t);
}

TEST_F(CurrentValueTableTest, RestoredPacketsReachOnlyTrackedApids)
{
    CurrentValueTable t(hub);
    t.track(10);
    t.track(20);
    t.update(packet(100, 1, 1));
    t.update(packet(200, 1, 2));
    CurrentValueTable back(hub);
    back.track(20);
    auto kept = packet(300, 1, 3);
    back.track(30);
    back.update(kept);
    ASSERT_TRUE(back.restoreState(t.saveState(), &resolver));
    EXPECT_EQ(back.packet(10), nullptr);
    ASSERT_NE(back.packet(20), nullptr);
    EXPECT_EQ(back.packet(30), kept); // not cleared first
}

TEST_F(CurrentValueTableTest, VersionOneStateHasNoCountsAndNoHistories)
{
    const QByteArray p1 = bytesOf(*packet(100, 1, 7));
    const QByteArray p2 = bytesOf(*packet(200, 1, 8, 10));
    StateWriter w;
    w.i32(qint32(0xDEADBEEF)).i32(1).record(100, 3, 250, p1).record(200, 4, 0, p2);
    CurrentValueTable t(hub);
    t.track(10);
    t.track(20);
    ASSERT_TRUE(t.restoreState(w.bytes, &resolver));
    ASSERT_NE(t.packet(10), nullptr);
    ASSERT_NE(t.packet(20), nullptr);
    EXPECT_EQ(bytesOf(*t.packet(20)), p2);
    EXPECT_EQ(t.packet(10)->groundSeconds, 3u);
    EXPECT_EQ(t.packet(10)->groundMs, 250.0);
}

TEST_F(CurrentValueTableTest, DamagedStatesLeaveTheTableUnchanged)
{
    const QByteArray good = bytesOf(*packet(100, 1, 7));
    auto state = [&](qint32 version) {
        StateWriter w;
        w.i32(qint32(0xDEADBEEF)).i32(version);
        return w;
    };
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", QByteArray()});
    cases.push_back({"wrong marker", hex("deadbeee0000000200000000")});
    cases.push_back({"version 0", hex("deadbeef0000000000000000")});
    cases.push_back({"negative version", hex("deadbeefffffffff00000000")});
    cases.push_back({"length below 6", state(2).i32(2).record(100, 1, 0, good).record(100, 1, 0, good.left(5)).bytes});
    cases.push_back({"negative length", state(2).i32(1).i32(100).i32(1).i16(0).i32(-1).raw(good).bytes});
    cases.push_back({"length beyond the data",
                     state(2).i32(1).i32(100).i32(1).i16(0).i32(qint32(good.size() + 1)).raw(good).bytes});
    cases.push_back({"huge length", state(1).i32(100).i32(1).i16(0).i32(0x7FFFFFFF).raw(good).bytes});
    cases.push_back({"record header cut", state(1).record(100, 1, 0, good).i32(100).i16(0).bytes});
    cases.push_back({"history array cut",
                     state(2).i32(1).record(100, 1, 0, good).i32(1).i32(11).i32(40).raw(hex("deadbeef")).bytes});
    cases.push_back({"history record cut", state(2).i32(1).record(100, 1, 0, good).i32(1).i32(11).bytes});

    for (const Case& c : cases) {
        CurrentValueTable t(hub);
        t.track(10);
        t.trackHistory(11, 10, 5, 0.0);
        const auto before = packet(100, 9, 9);
        t.update(before);
        t.history(11).addValue(1, 1);
        CurrentValueTable copy = t;
        EXPECT_FALSE(t.restoreState(c.bytes, &resolver)) << c.name;
        EXPECT_EQ(t.packet(10), before) << c.name;
        EXPECT_EQ(t, copy) << c.name;
        EXPECT_EQ(t.history(11).size(), 1u) << c.name;
    }

    // A good state without a resolver is refused the same way.
    CurrentValueTable source(hub);
    source.track(10);
    source.update(packet(100, 1, 1));
    CurrentValueTable t(hub);
    t.track(10);
    EXPECT_FALSE(t.restoreState(source.saveState(), nullptr));
    EXPECT_EQ(t.packet(10), nullptr);
}

TEST_F(CurrentValueTableTest, CountsAreBoundsNotSizes)
{
    const QByteArray good = bytesOf(*packet(100, 1, 7));
    StateWriter w;
    // Counts far above the records present: the data's end stops the reading.
    w.i32(qint32(0xDEADBEEF)).i32(2).i32(0x7FFFFFFF).record(100, 1, 0, good);
    CurrentValueTable t(hub);
    t.track(10);
    ASSERT_TRUE(t.restoreState(w.bytes, &resolver));
    EXPECT_NE(t.packet(10), nullptr);

    // The same for a history count.
    StateWriter histories;
    histories.i32(qint32(0xDEADBEEF)).i32(2).i32(0).i32(0x7FFFFFFF);
    CurrentValueTable u(hub);
    u.trackHistory(11, 10, 5, 0.0);
    EXPECT_TRUE(u.restoreState(histories.bytes, &resolver));
    EXPECT_EQ(u.history(11).size(), 0u);
}

TEST_F(CurrentValueTableTest, HistoryRecordOfAnUntrackedIdIsSkipped)
{
    Zevo::History saved(10, 5, 0.0);
    saved.addValue(1, 4);
    saved.addValue(2, 6);
    StateWriter w;
    w.i32(qint32(0xDEADBEEF)).i32(2).i32(0).i32(2);
    w.i32(77).array(saved.saveValues()); // not tracked here
    w.i32(11).array(saved.saveValues());
    CurrentValueTable t(hub);
    t.trackHistory(11, 10, 5, 0.0);
    ASSERT_TRUE(t.restoreState(w.bytes, &resolver));
    EXPECT_EQ(t.history(11).size(), 2u);
    EXPECT_DOUBLE_EQ(t.history(11).mean(), 5.0);
    EXPECT_FALSE(t.hasValue(77));
}

TEST_F(CurrentValueTableTest, PacketMakerRestoresTheArchivesFamily)
{
    // A TOM packet: type 5 in byte 0, 8-byte header, subtype 3, 4-byte trailer.
    const QByteArray tom = hex("05010004000000010300000000000000");
    addRow(hub, 50, 5);
    StateWriter w;
    w.i32(qint32(0xDEADBEEF)).i32(2).i32(1).record(5, 1, 0, tom).i32(0);

    CurrentValueTable ccsds(hub);
    ccsds.track(50);
    ASSERT_TRUE(ccsds.restoreState(w.bytes, &resolver)); // read as CCSDS: APID 0x501
    EXPECT_EQ(ccsds.packet(50), nullptr);

    CurrentValueTable t(hub);
    t.track(50);
    const CurrentValueTable::PacketMaker makeTom = [](GseLib::ByteVectorPtr bytes,
                                                      const GseLib::TimeResolver* r) -> std::shared_ptr<TMPacket> {
        return std::make_shared<TomPacket>(std::move(bytes), 0, r);
    };
    ASSERT_TRUE(t.restoreState(w.bytes, &resolver, makeTom));
    ASSERT_NE(t.packet(50), nullptr);
    EXPECT_EQ(t.packet(50)->subType(), 3);
    EXPECT_NE(dynamic_cast<TomPacket*>(t.packet(50).get()), nullptr);

    // A maker that cannot build the packet fails the restore.
    CurrentValueTable n(hub);
    n.track(50);
    EXPECT_FALSE(n.restoreState(w.bytes, &resolver, [](GseLib::ByteVectorPtr, const GseLib::TimeResolver*) {
        return std::shared_ptr<TMPacket>();
    }));
}

TEST_F(CurrentValueTableTest, StreamListsApidsWithPacketsInAscendingOrder)
{
    CurrentValueTable t(hub);
    t.track(30);
    t.track(10);
    t.track(20);
    t.update(packet(300, 1, 1));
    t.update(packet(100, 1, 1));
    std::ostringstream out;
    out << t;
    EXPECT_EQ(out.str(), "100\n300\n");
}

namespace {

// Decode type 7: the byte at DECODE_ID1 as an integer, or with DECODE_ID2 set
// the text "<byte>.5 volts"; nothing when the packet is too short.
class ByteDecoder : public GseLib::Decoder
{
public:
    int type() const override { return 7; }
    bool decode(const TmDatabaseRow& row, const TMPacket* packet, GseLib::DataItems& items,
                const CurrentValueTable*) const override
    {
        const size_t at = size_t(row.decodeIds[0]);
        if (!packet->bytes || at >= packet->bytes->size())
            return false;
        GseLib::DataItem item;
        item.offset = int(at);
        const unsigned byte = (*packet->bytes)[at];
        if (row.decodeIds[1] != 0)
            item.value = std::to_string(byte) + ".5 volts";
        else
            item.value = (long long)byte;
        items.push_back(item);
        return true;
    }
};

class DecodingTableTest : public CurrentValueTableTest
{
protected:
    DecodingTableTest()
    {
        hub.addDecoder(new ByteDecoder);
        // 40: byte 12 of APID 400, science 1 + 2 x raw; 41: its statistic row;
        // 42: byte 13 as text.
        for (uint32_t id : {40, 41, 42}) {
            TmDatabaseRow row;
            row.dataId = id;
            row.packetType = 400;
            row.subSystem = "D";
            row.name = "ITEM" + std::to_string(id);
            row.key = row.subSystem + ":" + row.name;
            row.decodeType = 7;
            row.decodeIds = {id == 42 ? 13ull : 12ull, id == 42 ? 1ull : 0ull, 0, 0};
            if (id == 40)
                row.sciTransferFunc = std::make_shared<PolyTransferFunc>(std::vector<double>{1.0, 2.0});
            hub.db()->addRow(row);
        }
    }

    // APID 400 at raw time `seconds` with `value` in byte 12 and 13.
    std::shared_ptr<CcsdsPacket> valuePacket(uint32_t seconds, uint8_t value, size_t size = 16)
    {
        return packet(400, seconds, value, size);
    }
};

} // namespace

TEST_F(DecodingTableTest, UpdateAddsScienceValuesOfTheValueRow)
{
    CurrentValueTable t(hub);
    ASSERT_TRUE(t.trackHistory(41, 40, 3, 0.0));
    const uint8_t raws[] = {1, 2, 3, 4};
    for (int i = 0; i < 4; ++i)
        t.update(valuePacket(100 + i, raws[i]));
    const Zevo::History& h = t.history(41);
    EXPECT_EQ(std::vector<double>(h.times().begin(), h.times().end()), (std::vector<double>{101, 102, 103}));
    EXPECT_EQ(std::vector<double>(h.values().begin(), h.values().end()), (std::vector<double>{5, 7, 9}));
    EXPECT_DOUBLE_EQ(h.rate(), 2.0);

    // A packet whose value does not decode is filed but adds no pair.
    const auto shortPacket = valuePacket(200, 0, 12);
    t.update(shortPacket);
    EXPECT_EQ(t.packet(41), shortPacket);
    EXPECT_EQ(h.size(), 3u);
    EXPECT_EQ(h.times().back(), 103.0);
}

TEST_F(DecodingTableTest, ValuesDecodeFromTheLatestPacket)
{
    CurrentValueTable t(hub);
    t.track(40);
    t.track(42);
    t.update(valuePacket(1, 4));
    t.update(valuePacket(2, 6));
    bool ok = false;
    EXPECT_EQ(t.value(40, Gse::Raw, &ok), 6.0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(t.value(40, Gse::Sci, nullptr), 13.0);
    GseLib::DataItems items(2);
    EXPECT_TRUE(t.decodePacket(40, items, true));
    ASSERT_EQ(items.size(), 3u); // appended, not cleared
    EXPECT_EQ(items[2].offset, 12);

    EXPECT_EQ(t.stringValue(42, &ok), "6.5 volts");
    EXPECT_TRUE(ok);
    EXPECT_EQ(t.stringValue(40, &ok), ""); // a number is not text
    EXPECT_FALSE(ok);

    t.update(valuePacket(3, 0, 12)); // too short: nothing decodes
    EXPECT_EQ(t.value(40, Gse::Raw, &ok), 0.0);
    EXPECT_FALSE(ok);
}

TEST_F(DecodingTableTest, SavedTableRestoresDecodableValues)
{
    CurrentValueTable t(hub);
    t.track(40);
    t.trackHistory(41, 40, 10, 0.0);
    for (uint8_t v = 1; v <= 3; ++v)
        t.update(valuePacket(10 * v, v));
    const QByteArray saved = t.saveState();

    CurrentValueTable back(hub);
    back.track(40);
    back.trackHistory(41, 40, 10, 0.0);
    ASSERT_TRUE(back.restoreState(saved, &resolver));
    bool ok = false;
    EXPECT_EQ(back.value(40, Gse::Sci, &ok), 7.0);
    EXPECT_TRUE(ok);
    // The saved history replaces the pair the restored packet added.
    EXPECT_EQ(back.history(41).size(), 3u);
    EXPECT_DOUBLE_EQ(back.history(41).mean(), 5.0);
    EXPECT_EQ(back, t);
}
