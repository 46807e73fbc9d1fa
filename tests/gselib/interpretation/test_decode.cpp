// The decode road of the interpretation hub: row checks, the decoder table,
// value and text reads, conversions, by-name reads, nesting and its bounds.
#include "decodetestsupport.h"

#include "gselib/packets/timeresolvers.h"
#include "gselib/packets/tompacket.h"
#include "support/countingnew.h"
#include "support/logcapture.h"

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

using namespace GseLib;
using namespace DecodeTest;
using TestSupport::LogCapture;

namespace {

constexpr int BE16 = 1;
constexpr int CONST = 2;

class Decode : public ::testing::Test
{
protected:
    void SetUp() override
    {
        hub.addDecoder(new FnDecoder(BE16, be16(), "be16"));
        // Row 1: two 16-bit samples of APID 12 at bytes 6 and 8.
        hub.db()->addRow(makeRow(1, "HK:TEMP", 12, BE16, {6, 8}));
    }

    void addConstant(uint32_t id, const std::string& key, int type,
                     std::variant<double, long long, unsigned long long, std::string> v)
    {
        hub.addDecoder(new FnDecoder(type, constant(std::move(v))));
        hub.db()->addRow(makeRow(id, key, 12, uint32_t(type)));
    }

    DataInterpretation hub;
    CcsdsPacket hk = packet(12, {0x01, 0x02, 0x00, 0x07});
};

TEST_F(Decode, TypeAndSubtypeMismatchesAreSilent)
{
    LogCapture log;
    DataItems items;
    const CcsdsPacket other = packet(13, {1, 2, 3, 4});
    EXPECT_FALSE(hub.decodePacket(1, &other, items, false, nullptr));
    EXPECT_FALSE(hub.decodePacket(1, nullptr, items, false, nullptr));
    EXPECT_TRUE(items.empty());

    // Subtype 0 matches every subtype; another subtype must be equal.
    const SubtypedPacket sub5(12, 5);
    EXPECT_TRUE(hub.decodePacket(1, &sub5, items, false, nullptr));
    TmDatabaseRow row = hub.db()->row(1u);
    row.packetSubtype = 5;
    EXPECT_TRUE(hub.decodePacket(row, &sub5, items, false, nullptr));
    row.packetSubtype = 6;
    EXPECT_FALSE(hub.decodePacket(row, &sub5, items, false, nullptr));
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(Decode, RowWithoutDecoderIsLoggedWithTypeAndId)
{
    hub.db()->addRow(makeRow(7, "HK:EMPTY", 12, 77));
    hub.db()->addRow(makeRow(8, "HK:FAR", 12, 100000));
    LogCapture log;
    DataItems items;
    EXPECT_FALSE(hub.decodePacket(7, &hk, items, false, nullptr));
    bool ok = true;
    EXPECT_EQ(hub.getValue(8, &hk, Gse::Raw, &ok, false, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.texts("decode", WARN),
              (QStringList{"Invalid decode type 77 ID: 7", "Invalid decode type 100000 ID: 8"}));
}

TEST_F(Decode, SuccessMeansTheListGrew)
{
    hub.addDecoder(new FnDecoder(9, [](auto&&...) {})); // appends nothing
    hub.db()->addRow(makeRow(9, "HK:NOTHING", 12, 9));
    DataItems items{item(1.0), item(2.0)};
    EXPECT_FALSE(hub.decodePacket(9, &hk, items, false, nullptr));
    EXPECT_FALSE(hub.getData(9, &hk, items, Gse::Eng, false, nullptr));
    EXPECT_EQ(items.size(), 2u);
    EXPECT_TRUE(hub.decodePacket(1, &hk, items, false, nullptr));
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(std::get<unsigned long long>(items[2].value), 0x0102u);
    EXPECT_EQ(items[3].offset, 8);
}

TEST_F(Decode, ValueReadsByIdAndName)
{
    addConstant(20, "TXT:NUM", 20, std::string("  12.5abc"));
    addConstant(21, "TXT:WORD", 21, std::string("abc"));
    addConstant(22, "TXT:HALF", 22, 2.5);
    addConstant(23, "TXT:MAX", 23, 18446744073709551615ull);
    addConstant(24, "TXT:NEG", 24, -3ll);

    struct Case
    {
        int id;
        const char* name;
        double value;
        const char* text;
    };
    const Case cases[] = {
        {1, "HK:TEMP", 258.0, "258"},
        {20, "TXT:NUM", 12.5, "  12.5abc"},
        {21, "TXT:WORD", 0.0, "abc"},
        {22, "TXT:HALF", 2.5, "2.500000"},
        {23, "TXT:MAX", 18446744073709551615.0, "18446744073709551615"},
        {24, "TXT:NEG", -3.0, "-3"},
    };
    LogCapture log;
    for (const Case& c : cases) {
        bool ok = false;
        EXPECT_EQ(hub.getValue(c.id, &hk, Gse::Raw, &ok, false, nullptr), c.value) << c.name;
        EXPECT_TRUE(ok) << c.name;
        ok = false;
        EXPECT_EQ(hub.getValue(c.name, &hk, Gse::Raw, &ok, false, nullptr), c.value) << c.name;
        EXPECT_TRUE(ok) << c.name;
        ok = false;
        EXPECT_EQ(hub.stringValue(c.id, &hk, &ok, false, nullptr), c.text) << c.name;
        EXPECT_TRUE(ok) << c.name;
        EXPECT_EQ(hub.stringValue(c.name, &hk, nullptr, false, nullptr), c.text) << c.name;
    }
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(Decode, FailedReadsGiveZeroAndOkFalse)
{
    const CcsdsPacket other = packet(40);
    LogCapture log;
    bool ok = true;
    EXPECT_EQ(hub.getValue(1, &other, Gse::Eng, &ok, false, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(hub.getValue(1, &other, Gse::Eng, nullptr, false, nullptr), 0.0);
    ok = true;
    EXPECT_EQ(hub.stringValue(1, &other, &ok, false, nullptr), "");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.messages().isEmpty()); // a mismatch is no fault

    struct Case
    {
        std::function<void(bool*)> read;
        const char* message;
    };
    const Case cases[] = {
        {[&](bool* ok) { EXPECT_EQ(hub.getValue(99, &hk, Gse::Raw, ok, false, nullptr), 0.0); },
         "Got exception in getValue: 99"},
        {[&](bool* ok) { EXPECT_EQ(hub.stringValue(99, &hk, ok, false, nullptr), ""); },
         "Got exception in stringValue: 99"},
        {[&](bool* ok) { EXPECT_EQ(hub.convertValue(99, 4.0, Gse::Eng, ok), 0.0); },
         "Got exception in convertValue: 99"},
        {[&](bool* ok) { EXPECT_EQ(hub.getValue("HK:NONE", &hk, Gse::Raw, ok, false, nullptr), 0.0); },
         "Unknown mnemonic: HK:NONE"},
        {[&](bool* ok) { EXPECT_EQ(hub.stringValue("HK:NONE", &hk, ok, false, nullptr), ""); },
         "Unknown mnemonic: HK:NONE"},
        {[&](bool* ok) { EXPECT_EQ(hub.convertValue("HK:NONE", 1.0, Gse::Sci, ok), 0.0); },
         "Unknown mnemonic: HK:NONE"},
        {[&](bool* ok) { EXPECT_EQ(hub.getValue(-1, &hk, Gse::Raw, ok, false, nullptr), 0.0); },
         "Got exception in getValue: 4294967295"},
    };
    for (const Case& c : cases) {
        log.clear();
        ok = true;
        c.read(&ok);
        EXPECT_FALSE(ok) << c.message;
        c.read(nullptr);
        EXPECT_EQ(log.texts("decode", WARN), (QStringList{c.message, c.message}));
    }

    log.clear();
    DataItems items;
    EXPECT_FALSE(hub.decodePacket(99, &hk, items, false, nullptr));
    EXPECT_FALSE(hub.decodePacket("HK:NONE", &hk, items, false, nullptr));
    EXPECT_FALSE(hub.getData(99, &hk, items, Gse::Raw, false, nullptr));
    EXPECT_EQ(log.texts("decode", WARN),
              (QStringList{"99 not found", "HK:NONE not found", "Got exception in getData: 99"}));
}

TEST_F(Decode, ModesApplyTheRowsFunctions)
{
    TmDatabaseRow& row = hub.db()->row(1u); // raw 258
    row.engTransferFunc = std::make_shared<LinearFunc>(2.0, 1.0); // 517
    row.sciTransferFunc = std::make_shared<LinearFunc>(10.0, 0.0);
    EXPECT_EQ(hub.getValue(1, &hk, Gse::Raw, nullptr, false, nullptr), 258.0);
    EXPECT_EQ(hub.getValue(1, &hk, Gse::Eng, nullptr, false, nullptr), 517.0);
    EXPECT_EQ(hub.getValue(1, &hk, Gse::Sci, nullptr, false, nullptr), 2580.0);
    row.sciFromEng = true;
    EXPECT_EQ(hub.getValue("HK:TEMP", &hk, Gse::Sci, nullptr, false, nullptr), 5170.0);
    bool ok = false;
    EXPECT_EQ(hub.convertValue(1, 3.0, Gse::Sci, &ok), 70.0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(hub.convertValue("HK:TEMP", 3.0, Gse::Raw, &ok), 3.0);
}

TEST_F(Decode, GetDataConvertsOnlyTheNewItems)
{
    hub.addDecoder(new FnDecoder(30, [](auto&&, auto&&, auto&&, DataItems& items, auto&&) {
        items.push_back(item(std::string("4")));
        items.push_back(item(5ll));
        items.push_back(item(6ull));
    }));
    TmDatabaseRow row = makeRow(30, "HK:THREE", 12, 30);
    row.engTransferFunc = std::make_shared<LinearFunc>(1.0, 0.5);
    hub.db()->addRow(row);
    DataItems items{item(std::string("old")), item(7ll)};
    ASSERT_TRUE(hub.getData(30, &hk, items, Gse::Eng, false, nullptr));
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(std::get<std::string>(items[0].value), "old");
    EXPECT_EQ(std::get<long long>(items[1].value), 7);
    for (size_t i = 2; i < 5; ++i) {
        ASSERT_EQ(items[i].value.index(), 0u) << i;
        EXPECT_EQ(std::get<double>(items[i].value), double(i + 2) + 0.5) << i;
    }
}

TEST_F(Decode, RowsOfIdZeroAndHighIdsAreReachable)
{
    addConstant(0, "JS:ZERO", 40, 1.5);
    addConstant(0x80000001u, "JS:HIGH", 41, 2.5);
    bool ok = false;
    EXPECT_EQ(hub.getValue("JS:ZERO", &hk, Gse::Raw, &ok, false, nullptr), 1.5);
    EXPECT_TRUE(ok);
    EXPECT_EQ(hub.getValue("JS:HIGH", &hk, Gse::Raw, &ok, false, nullptr), 2.5);
    EXPECT_TRUE(ok);
    EXPECT_EQ(hub.getValue(int(0x80000001u), &hk, Gse::Raw, &ok, false, nullptr), 2.5);
    EXPECT_TRUE(ok);
    EXPECT_EQ(hub.convertValue("JS:HIGH", 9.0, Gse::Eng, &ok), 9.0);
    EXPECT_TRUE(ok);
    DataItems items;
    EXPECT_TRUE(hub.decodePacket("JS:ZERO", &hk, items, false, nullptr));
}

TEST_F(Decode, OnlyOutOfRangeIsCaught)
{
    hub.addDecoder(new FnDecoder(50, [](auto&&, auto&&, auto&&, DataItems& items, auto&&) {
        items.push_back(item(1.0));
        throw std::out_of_range("HIST:UNTRACKED");
    }));
    hub.addDecoder(new FnDecoder(51, [](auto&&...) { throw std::runtime_error("broken decoder"); }));
    hub.db()->addRow(makeRow(50, "HK:HIST", 12, 50));
    hub.db()->addRow(makeRow(51, "HK:BROKEN", 12, 51));
    TmDatabaseRow& converting = hub.db()->row(1u);
    struct ThrowingFunc : LinearFunc
    {
        ThrowingFunc() : LinearFunc(1, 0) {}
        double apply(double) const override { throw std::out_of_range("table end"); }
    };
    converting.engTransferFunc = std::make_shared<ThrowingFunc>();

    LogCapture log;
    DataItems items;
    EXPECT_FALSE(hub.decodePacket(50, &hk, items, false, nullptr));
    EXPECT_EQ(items.size(), 1u); // appended before the throw: kept
    bool ok = true;
    EXPECT_EQ(hub.getValue(50, &hk, Gse::Raw, &ok, false, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(hub.getValue(1, &hk, Gse::Eng, &ok, false, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(hub.getData(1, &hk, items, Gse::Eng, false, nullptr));
    EXPECT_EQ(hub.convertValue(1, 1.0, Gse::Eng, &ok), 0.0);
    EXPECT_EQ(log.texts("decode", WARN),
              (QStringList{"HIST:UNTRACKED not found", "HIST:UNTRACKED not found", "Got exception in getValue: table end",
                           "Got exception in getData: table end", "Got exception in convertValue: table end"}));
    EXPECT_THROW(hub.getValue(51, &hk, Gse::Raw, &ok, false, nullptr), std::runtime_error);
    EXPECT_THROW(hub.decodePacket(51, &hk, items, false, nullptr), std::runtime_error);
    // The nesting depth is given back when an exception passes.
    EXPECT_EQ(hub.getValue(50, &hk, Gse::Raw, nullptr, false, nullptr), 0.0);
}

TEST_F(Decode, PacketsTooShortForTheirTypeFieldsAreNotFound)
{
    // A TOM packet names its type in byte 0 and its subtype in byte 8.
    const uint8_t none[] = {0};
    const uint8_t typeOnly[] = {12, 0, 0, 0};
    const TomPacket empty(none, 0, 0, nullptr);
    const TomPacket noSubtype(typeOnly, 4, 0, nullptr);
    TmDatabaseRow row = makeRow(90, "TOM:SUB", 12, BE16, {2});
    LogCapture log;
    DataItems items;
    EXPECT_FALSE(hub.decodePacket(row, &empty, items, false, nullptr));
    EXPECT_TRUE(hub.decodePacket(row, &noSubtype, items, false, nullptr)); // subtype 0: byte 8 not read
    row.packetSubtype = 3;
    EXPECT_FALSE(hub.decodePacket(row, &noSubtype, items, false, nullptr));
    EXPECT_EQ(items.size(), 1u);
    EXPECT_EQ(log.texts("decode", WARN),
              (QStringList{"TOM packet of 0 bytes has no byte 0 not found",
                           "TOM packet of 4 bytes has no byte 8 not found"}));
}

TEST_F(Decode, ApplyWhenConditionsReadTheSamePacket)
{
    // Row 60 applies when row 1 (258) lies in its range.
    hub.addDecoder(new FnDecoder(60, constant(6.0)));
    TmDatabaseRow row = makeRow(60, "HK:GATED", 12, 60);
    row.applyWhen.addCondition(1, {200, 300});
    hub.db()->addRow(row);
    bool ok = false;
    EXPECT_EQ(hub.getValue(60, &hk, Gse::Raw, &ok, true, nullptr), 6.0);
    EXPECT_TRUE(ok);
    const CcsdsPacket low = packet(12, {0x00, 0x05, 0, 0});
    LogCapture log;
    EXPECT_EQ(hub.getValue(60, &low, Gse::Raw, &ok, true, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(hub.getValue(60, &low, Gse::Raw, &ok, false, nullptr), 6.0); // flag clear: no test
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(Decode, NestedReadsKeepTheCallersList)
{
    // Row 70's decoder appends a marker, reads row 1 through the hub, then
    // appends that value plus one: the outer list must still start with the marker.
    hub.addDecoder(new FnDecoder(70, [](const FnDecoder& self, auto&&, const TMPacket* p, DataItems& items, auto&&) {
        items.push_back(item(-1.0));
        const double inner = self.dataInterp->getValue(1, p, Gse::Raw, nullptr, false, nullptr);
        const std::string text = self.dataInterp->stringValue("HK:TEMP", p, nullptr, false, nullptr);
        items.push_back(item(inner + 1.0));
        items.push_back(item(text));
    }));
    hub.db()->addRow(makeRow(70, "HK:NESTED", 12, 70));
    EXPECT_EQ(hub.getValue(70, &hk, Gse::Raw, nullptr, false, nullptr), -1.0);
    DataItems items;
    ASSERT_TRUE(hub.getData(70, &hk, items, Gse::Raw, false, nullptr));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(std::get<double>(items[1].value), 259.0);
    EXPECT_EQ(std::get<double>(items[2].value), 258.0);
}

TEST_F(Decode, SelfNamingRowsEndAtTheNestingBound)
{
    // Each decode reads its own row again and appends that value plus one:
    // 16 decodes run, the 17th is refused.
    hub.addDecoder(new FnDecoder(80, [](const FnDecoder& self, const TmDatabaseRow& row, const TMPacket* p,
                                        DataItems& items, auto&&) {
        const double v = self.dataInterp->getValue(int(row.decodeIds[0]), p, Gse::Raw, nullptr, false, nullptr);
        items.push_back(item(v + 1.0));
    }));
    TmDatabaseRow a = makeRow(80, "LOOP:A", 12, 80);
    a.decodeIds[0] = 81;
    TmDatabaseRow b = makeRow(81, "LOOP:B", 12, 80);
    b.decodeIds[0] = 80;
    hub.db()->addRow(a);
    hub.db()->addRow(b);
    LogCapture log;
    bool ok = false;
    EXPECT_EQ(hub.getValue(80, &hk, Gse::Raw, &ok, false, nullptr), double(DataInterpretation::MAX_DECODE_DEPTH));
    EXPECT_TRUE(ok);
    EXPECT_EQ(log.texts("decode", WARN), QStringList{"Decode nesting deeper than 16 at ID: 80"});
    // The bound is per nesting, not per thread lifetime.
    EXPECT_EQ(hub.getValue(81, &hk, Gse::Raw, &ok, false, nullptr), 16.0);
    EXPECT_EQ(log.count("Decode nesting deeper than 16 at ID: 81"), 1);
}

TEST_F(Decode, ValueReadsAllocateNothingOnceWarm)
{
    TmDatabaseRow& row = hub.db()->row(1u);
    row.engTransferFunc = std::make_shared<LinearFunc>(2.0, 1.0);
    const CcsdsPacket other = packet(13);
    double sum = hub.getValue(1, &hk, Gse::Eng, nullptr, false, nullptr); // grows this depth's list
    const long before = allocations.load();
    bool ok = false;
    for (int i = 0; i < 1000; ++i) {
        sum += hub.getValue(1, &hk, Gse::Raw, &ok, false, nullptr);
        sum += hub.getValue(1, &hk, Gse::Eng, &ok, false, nullptr);
        sum += hub.getValue("HK:TEMP", &hk, Gse::Eng, &ok, false, nullptr);
        sum += hub.getValue(1, &other, Gse::Raw, &ok, false, nullptr);
        sum += hub.convertValue(1, 2.0, Gse::Eng, &ok);
    }
    EXPECT_EQ(allocations.load() - before, 0);
    EXPECT_EQ(sum, 517.0 + 1000 * (258 + 517 + 517 + 0 + 5));
}

// The series road against a packet's list read one packet at a time (decode
// with the conditions tested, toDouble, convert, NaN dropped), over packets
// of two types, a decoder that appends and then fails, a gated row and NaN.
TEST_F(Decode, ItemSeriesEqualsThePerPacketListAndKeepsWhatOutHeld)
{
    // Two samples per packet, timed by the packet's index; the third packet's
    // second sample is NaN, every fifth packet's decode fails after one sample.
    hub.addDecoder(new FnDecoder(70, [](auto&&, auto&&, const TMPacket* p, DataItems& items, auto&&) {
        const int i = p->index;
        DataItem a = item((long long)(i * 3));
        a.unixTime = 1000.0 + i;
        a.relativeTime = i * 0.5;
        items.push_back(a);
        if (i % 5 == 4)
            throw std::out_of_range("HIST:UNTRACKED");
        DataItem b = item(i == 3 ? std::numeric_limits<double>::quiet_NaN() : 0.25 * i);
        b.unixTime = a.unixTime + 0.1;
        b.relativeTime = a.relativeTime + 0.1;
        items.push_back(b);
    }));
    TmDatabaseRow row = makeRow(70, "HK:SERIES", 12, 70);
    row.engTransferFunc = std::make_shared<LinearFunc>(2.0, 1.0);
    hub.db()->addRow(row);
    std::vector<std::shared_ptr<TMPacket>> packets;
    for (int i = 0; i < 40; ++i)
        packets.push_back(std::make_shared<CcsdsPacket>(packet(i % 3 == 2 ? 13 : 12, {1, 2, 3, 4}, i)));

    auto perPacket = [&](size_t first, size_t end, Gse::ValueMode mode) {
        ItemSeries want;
        for (size_t i = first; i < end; ++i) {
            DataItems items;
            LogCapture quiet;
            hub.decodePacket(70, packets[i].get(), items, true, nullptr);
            for (const DataItem& it : items) {
                const double v = hub.db()->row(70u).convertValue(it.toDouble(), mode);
                if (std::isnan(v))
                    continue;
                want.unixTimes.push_back(it.unixTime);
                want.relativeTimes.push_back(it.relativeTime);
                want.values.push_back(v);
                want.packetIndexes.push_back(int64_t(i));
            }
        }
        return want;
    };
    const std::pair<size_t, size_t> ranges[] = {{0, 40}, {3, 17}, {5, 5}, {9, 2}, {30, 1000}, {1000, 2000}};
    for (const auto& [first, end] : ranges) {
        for (Gse::ValueMode mode : {Gse::Raw, Gse::Eng}) {
            ItemSeries got;
            got.unixTimes = {-1.0};
            got.relativeTimes = {-2.0};
            got.values = {-3.0};
            got.packetIndexes = {-4};
            LogCapture quiet;
            EXPECT_EQ(hub.itemSeries(70, packets, first, end, mode, got), ItemSeries::Outcome::Filled);
            const ItemSeries want = perPacket(first, std::min<size_t>(end, 40), mode);
            ASSERT_EQ(got.size(), want.size() + 1) << first << " " << end;
            EXPECT_EQ(got.values.front(), -3.0);
            EXPECT_EQ(got.packetIndexes.front(), -4);
            EXPECT_EQ(std::vector<double>(got.unixTimes.begin() + 1, got.unixTimes.end()), want.unixTimes);
            EXPECT_EQ(std::vector<double>(got.relativeTimes.begin() + 1, got.relativeTimes.end()),
                      want.relativeTimes);
            EXPECT_EQ(std::vector<double>(got.values.begin() + 1, got.values.end()), want.values);
            EXPECT_EQ(std::vector<int64_t>(got.packetIndexes.begin() + 1, got.packetIndexes.end()),
                      want.packetIndexes);
        }
    }
    // The whole run: the failing packets' first samples are in, NaN is not.
    ItemSeries all;
    {
        LogCapture quiet;
        hub.itemSeries(70, packets, 0, 40, Gse::Raw, all);
    }
    EXPECT_EQ(all.size(), 27u * 2 - 6 - 1); // 27 packets of APID 12; 6 fail after one; one NaN
    EXPECT_EQ(std::count(all.packetIndexes.begin(), all.packetIndexes.end(), 4), 1);
    EXPECT_EQ(std::count(all.packetIndexes.begin(), all.packetIndexes.end(), 3), 1);

    // An unknown id and a text sample leave `out` as it was.
    ItemSeries kept;
    kept.values = {1.0};
    kept.unixTimes = kept.relativeTimes = {0.0};
    kept.packetIndexes = {0};
    EXPECT_EQ(hub.itemSeries(71, packets, 0, 40, Gse::Raw, kept), ItemSeries::Outcome::UnknownItem);
    // Numbers in the first packets, then a text sample.
    hub.addDecoder(new FnDecoder(72, [](auto&&, auto&&, const TMPacket* p, DataItems& items, auto&&) {
        items.push_back(p->index < 10 ? item(1.5) : item(std::string("12.5")));
    }));
    hub.db()->addRow(makeRow(72, "HK:TEXT", 12, 72));
    EXPECT_EQ(hub.itemSeries(72, packets, 0, 40, Gse::Raw, kept), ItemSeries::Outcome::TextSample);
    EXPECT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.unixTimes.size() + kept.relativeTimes.size() + kept.packetIndexes.size(), 3u);
    // Packets of other types only: nothing, and filled.
    EXPECT_EQ(hub.itemSeries(72, packets, 2, 3, Gse::Raw, kept), ItemSeries::Outcome::Filled);
    EXPECT_EQ(kept.size(), 1u);
}

TEST_F(Decode, ItemSeriesAllocatesOnlyToGrowItsColumns)
{
    std::vector<std::shared_ptr<TMPacket>> packets;
    for (int i = 0; i < 2000; ++i)
        packets.push_back(std::make_shared<CcsdsPacket>(packet(i % 4 ? 12 : 13, {0, 1, 0, 2}, i)));
    ItemSeries out;
    const long long before = allocations.load();
    ASSERT_EQ(hub.itemSeries(1, packets, 0, packets.size(), Gse::Raw, out), ItemSeries::Outcome::Filled);
    // The item list's growth to two samples, then each column once, sized
    // from the first packet and the count of packets of the row's type.
    EXPECT_LE(allocations.load() - before, 2 + 4);
    ASSERT_EQ(out.size(), 1500u * 2);
    EXPECT_EQ(out.values.capacity(), out.size());
    EXPECT_EQ(out.values[0], 1.0);
    EXPECT_EQ(out.values[1], 2.0);
    EXPECT_EQ(out.packetIndexes.back(), 1999);

    // A first packet of many samples, the others of none: the room asked for
    // is bounded, not that packet's count times the packets of its type.
    hub.addDecoder(new FnDecoder(80, [](auto&&, auto&&, const TMPacket* p, DataItems& items, auto&&) {
        if (p->index == 1)
            items.resize(20000, item(1.0));
    }));
    hub.db()->addRow(makeRow(80, "HK:BURST", 12, 80));
    ItemSeries burst;
    ASSERT_EQ(hub.itemSeries(80, packets, 0, packets.size(), Gse::Raw, burst), ItemSeries::Outcome::Filled);
    EXPECT_EQ(burst.size(), 20000u);
    EXPECT_LE(burst.values.capacity(), ItemSeries::MAX_RESERVE);
}

TEST(DataItem, TextAndNumbersFollowTheCLocale)
{
    // A process locale with a decimal comma, where one is installed, must
    // change neither direction.
    (void)(std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "de_DE.utf8")
           || std::setlocale(LC_ALL, "fr_FR.UTF-8"));
    struct Case
    {
        std::variant<double, long long, unsigned long long, std::string> value;
        const char* text;
        double number;
    };
    const Case cases[] = {
        {2.5, "2.500000", 2.5},
        {-0.0000004, "-0.000000", -0.0000004},
        {1e20, "100000000000000000000.000000", 1e20},
        {-12ll, "-12", -12.0},
        {18446744073709551615ull, "18446744073709551615", 18446744073709551615.0},
        {std::string("  12.5abc"), "  12.5abc", 12.5},
        {std::string("\t+3.25e1"), "\t+3.25e1", 32.5},
        {std::string("-7,5"), "-7,5", -7.0},
        {std::string("abc"), "abc", 0.0},
        {std::string("+-1"), "+-1", 0.0},
        {std::string("1e999"), "1e999", 0.0}, // out of range: no number
        {std::string(""), "", 0.0},
    };
    for (const Case& c : cases) {
        DataItem i = item(c.value);
        EXPECT_EQ(i.toString(), c.text) << c.text;
        EXPECT_EQ(i.toDouble(), c.number) << c.text;
    }
    std::setlocale(LC_ALL, "C");
}

TEST(GenericTimeResolver, ATimeItemWhoseDecoderAsksThePacketTimeGetsItsDecodedTime)
{
    // The time item's decoder stamps its sample with the packet's time, which
    // asks the resolver, which decodes the time item again.
    DataInterpretation::init(nullptr, false, nullptr, {});
    DataInterpretation* hub = DataInterpretation::current();
    int stamps = 0;
    hub->addDecoder(new FnDecoder(5, [&stamps](auto&&, auto&&, const TMPacket* p, DataItems& items, auto&&) {
        DataItem i = item(1700000000.25);
        i.unixTime = p->unixTime();
        ++stamps;
        items.push_back(i);
    }));
    hub->db()->addRow(makeRow(500, "SYS:TIME", 12, 5));
    TMPacketTypeInfo info;
    info.valid = true;
    info.type = 12;
    info.timeDataId = 500;
    hub->packetTypes.insert(12, info);

    GenericTimeResolver resolver;
    CcsdsPacket p = packet(12);
    p.timeResolver = &resolver;
    EXPECT_EQ(p.unixTime(), 1700000000.25);
    EXPECT_EQ(stamps, 1); // its stamp asked the time again: answered 0.0, no decode
    DataItems items;
    ASSERT_TRUE(hub->decodePacket(500, &p, items, false, nullptr));
    EXPECT_EQ(items[0].unixTime, 1700000000.25);
    EXPECT_EQ(stamps, 3);
    // A type without a time item, or an unlisted type, has time 0.
    CcsdsPacket q = packet(13);
    q.timeResolver = &resolver;
    EXPECT_EQ(q.unixTime(), 0.0);
}

} // namespace
