// The second instrument's thirteen decoders called directly: their items on
// the layouts they read, their results, and every truncation of each packet
// (no read past the packet, no item whose field does not fit).
#include "tolvalib/tolvadecoder/tolvadecodermaker.h"

#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/ccsdspacket.h"
#include "support/streamcapture.h"
#include "tolvalib/tolvadatainterpretation.h"
#include "tolvalib/tolvadecoder/leuenergydecoders.h"
#include "tolvalib/tolvapackets.h"
#include "tolvalib/tolvatimeresolver.h"

#include <QPluginLoader>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>

using namespace TolvaTest;

namespace {

struct Expected
{
    int offset;
    int count;
    double value;
    double dt = 0.0;               // item's Unix time minus the packet's
    double relDt = std::nan("");   // the same for the relative time, when it differs
};

struct Case
{
    const char* name;
    int type;
    std::vector<unsigned long long> ids;
    Bytes packet;
    bool result;
    std::vector<Expected> items;
    bool reports = false; // writes the out-of-bounds line
};

class TolvaDecoders : public ::testing::Test
{
protected:
    void SetUp() override
    {
        GseLib::DataInterpretation::init(&factory, false, nullptr, {});
        TolvaDecoderMaker maker;
        for (GseLib::Decoder* d : maker.makeDecoders())
            decoders[d->type()].reset(d);
    }

    GseLib::TmDatabaseRow row(std::vector<unsigned long long> ids) const
    {
        GseLib::TmDatabaseRow r;
        ids.resize(4, 0);
        r.decodeIds = ids;
        r.byteOrder.assign(size_t(std::min<unsigned long long>(ids[1], 8)), 1);
        r.key = "LEU:ENERGY";
        r.dataId = 4242;
        return r;
    }

    bool decode(int type, const GseLib::TmDatabaseRow& r, const Bytes& bytes, size_t length,
                GseLib::DataItems& items) const
    {
        const GseLib::CcsdsPacket p(bytes.data(), int(length), 0, &resolver);
        return decoders.at(type)->decode(r, &p, items, nullptr);
    }

    TolvaGse::TolvaDataInterpretationFactory factory;
    TolvaGse::TolvaTimeResolver resolver;
    std::map<int, std::unique_ptr<GseLib::Decoder>> decoders;
};

void put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

void put32(Bytes& b, size_t at, uint32_t v)
{
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xFFFF);
}

Bytes zeroPacket(int apid, size_t total)
{
    Bytes b = packet(apid, 1000, 0, total);
    std::fill(b.begin() + 12, b.end(), 0);
    return b;
}

// The bytes that an item's field covers, for the truncation check.
int fieldWidth(int type, const std::vector<unsigned long long>& ids, const Expected& e)
{
    switch (type) {
    case 100:
    case 109:
    case 111:
    case 112:
        return 2;
    case 101:
        return 4;
    case 110:
        return ids[1] == 4 ? 4 : 2;
    default:
        return e.count;
    }
}

std::vector<Case> cases()
{
    std::vector<Case> out;
    // 100: channel 5 in entries 0 and 7 of CTL_HK (table from byte 13).
    Bytes hk = zeroPacket(758, 120);
    for (int j = 0; j < 32; ++j) {
        hk[13 + 3 * j] = uint8_t(j == 0 || j == 7 ? 5 : 9);
        put16(hk, 14 + 3 * j, uint32_t(1000 + j));
    }
    out.push_back({"adc channel 5", 100, {5}, hk, true, {{14, 2, 1000}, {35, 2, 1007}}});
    out.push_back({"adc channel 300", 100, {300}, hk, true, {}});

    // 101: registers 0x03, 0x13 .. 0xB3 in entries 0 to 11 (table from byte 21).
    Bytes st = zeroPacket(759, 190);
    for (int j = 0; j < 32; ++j) {
        st[21 + 5 * j] = uint8_t(j < 12 ? 0x03 + 0x10 * j : 0xFF);
        put32(st, 22 + 5 * j, 0xF0000000u + uint32_t(j));
    }
    std::vector<Expected> low;
    for (int j = 0; j < 10; ++j)
        low.push_back({22 + 5 * j, 4, double(0xF0000000u + uint32_t(j))});
    out.push_back({"register nibble 3", 101, {3}, st, true, low});
    out.push_back({"register 0xA3", 101, {0xA3}, st, true, {{72, 4, double(0xF000000Au)}}});
    out.push_back({"register 0xB3", 101, {0xB3}, st, true, {}});

    // 102: bytes 20.. of a 30-byte packet.
    Bytes sci = zeroPacket(762, 30);
    for (int i = 20; i < 30; ++i)
        sci[size_t(i)] = uint8_t(i);
    std::vector<Expected> ones, twos;
    for (int p = 20; p <= 28; ++p)
        ones.push_back({p, 1, double(p)});
    for (int p = 20; p <= 28; p += 2)
        twos.push_back({p, 2, double(p * 256 + p + 1)});
    out.push_back({"bins of 1 byte", 102, {20, 1}, sci, true, ones});
    out.push_back({"bins of 2 bytes", 102, {20, 2}, sci, true, twos});
    out.push_back({"bins of 3 bytes", 102, {20, 3}, sci, true, {}});
    Bytes masked = zeroPacket(762, 30);
    put16(masked, 26, 0x1234);
    out.push_back({"mask and shift", 102, {26, 2, 0x0F00, 8}, masked, true, {{26, 2, 2.0}, {28, 2, 0.0}}});
    out.push_back({"bins from 2^64 - 1", 102, {~0ull, 1}, sci, true, {}});

    // 103 and 109: CTL_SUM_RF with two totals and three values.
    Bytes rf = zeroPacket(765, 16 + 20 + 24);
    rf[15] = 2;
    for (int k = 0; k < 2; ++k) {
        put32(rf, size_t(16 + 10 * k), uint32_t(70000 + k));
        put16(rf, size_t(20 + 10 * k), uint32_t(300 + k));
    }
    for (int k = 0; k < 3; ++k)
        put16(rf, size_t(36 + 8 * k), uint32_t(500 + k));
    out.push_back({"totals u32", 103, {0, 4}, rf, true, {{16, 4, 70000}, {26, 4, 70001}}});
    out.push_back({"totals u16", 103, {4, 2}, rf, true, {{20, 2, 300}, {30, 2, 301}}});
    out.push_back({"totals bad width", 103, {0, 3}, rf, true, {}});
    out.push_back({"totals near 2^64", 103, {~0ull - 5, 2}, rf, true, {}});
    Bytes noTotals = zeroPacket(765, 20);
    out.push_back({"no totals", 103, {0, 4}, noTotals, true, {}});
    out.push_back({"values", 109, {0, 7}, rf, true, {{36, 7, 500}, {44, 7, 501}, {52, 7, 502}}});

    // 110: MMC_PIRANI, base time 0 s + 25e6 ticks of 40 ns = 1 s; records from 28.
    Bytes pir = zeroPacket(755, 28 + 10 * 2);
    put32(pir, 18, 25000000);
    put16(pir, 28, 5000); // d = 0.5 s
    float f = 1.5f;
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put32(pir, 30, bits);
    put16(pir, 38, 10000);
    const float g = 2.25f;
    uint32_t bits2;
    std::memcpy(&bits2, &g, 4);
    put32(pir, 40, bits2);
    const double pirBase = 1262304001.0 - (1262304000.0 + 1000.0); // base minus the packet's own time
    // The relative time runs from the packet's own time, not from the base time.
    out.push_back({"pirani float", 110, {2, 4}, pir, true,
                   {{30, 4, 1.5, pirBase + 0.5, 0.5}, {40, 4, 2.25, pirBase + 1, 1.0}}});
    out.push_back({"pirani u16", 110, {2, 2}, pir, true,
                   {{30, 2, double(bits >> 16), pirBase + 0.5, 0.5}, {40, 2, double(bits2 >> 16), pirBase + 1, 1.0}}});

    // 111: MMC_SC of 60 bytes, channel 9 in byte 16 only.
    Bytes sc = zeroPacket(754, 60);
    sc[16] = 9;
    std::vector<Expected> strip;
    for (int i = 0; i < 5; ++i) {
        put16(sc, size_t(20 + 8 * i), uint32_t(100 + i));
        strip.push_back({20 + 8 * i, 3, double(100 + i), -(10 - i) / 1000.0});
    }
    out.push_back({"strip chart", 111, {9, 3}, sc, true, strip});

    // 112 without a current value table: the raw reading.
    Bytes mmc = zeroPacket(753, 40);
    put16(mmc, 30, 1000);
    out.push_back({"vref without table", 112, {30, 2}, mmc, true, {{30, 2, 1000}}});
    out.push_back({"vref outside", 112, {39, 2}, mmc, true, {}});

    // 104 to 108: samples 3, 1, 1, 5 from byte 20 of a packet whose data length is 28.
    Bytes leu = zeroPacket(749, 34);
    const uint32_t samples[] = {3, 1, 1, 5};
    for (int i = 0; i < 4; ++i)
        put16(leu, size_t(20 + 2 * i), samples[i]);
    std::vector<Expected> each;
    for (int i = 0; i < 4; ++i)
        each.push_back({20 + 2 * i, 2, double(samples[i]), 20e-6 * (i + 1)});
    out.push_back({"laser samples", 104, {20, 2}, leu, true, each});
    out.push_back({"laser average", 105, {20, 2}, leu, true, {{34, -1, 2.5, 20e-6}}});
    out.push_back({"laser minimum", 106, {20, 2}, leu, true, {{22, 2, 1, 40e-6}}});
    out.push_back({"laser maximum", 107, {20, 2}, leu, true, {{26, 2, 5, 80e-6}}});
    out.push_back({"laser deviation", 108, {20, 2}, leu, true, {{34, -1, std::sqrt(11.0 / 4), 20e-6}}});
    out.push_back({"laser step 4 reads 2", 104, {20, 4}, leu, true,
                   {{20, 4, 3, 20e-6}, {24, 4, 1, 40e-6}, {28, 4, 0, 60e-6}}, true});
    Bytes shortLeu = zeroPacket(749, 27); // data length 21: no samples
    out.push_back({"laser none", 104, {20, 2}, shortLeu, true, {}});
    for (int t = 105; t <= 108; ++t)
        out.push_back({"laser none, statistic", t, {20, 2}, shortLeu, false, {}});
    return out;
}

} // namespace

TEST(TolvaDecoderMakerPlugin, MakesThirteenDecodersInTypeOrder)
{
    int found = 0;
    for (const QStaticPlugin& p : QPluginLoader::staticPlugins()) {
        if (p.metaData().value("className").toString() != "TolvaDecoderMaker")
            continue;
        ++found;
        EXPECT_EQ(p.metaData().value("MetaData").toObject().value("version").toString(), "1.0.56080f5");
        EXPECT_NE(qobject_cast<DecoderMakerInterface*>(p.instance()), nullptr);
    }
    EXPECT_EQ(found, 1);
    std::vector<GseLib::Decoder*> made = TolvaDecoderMaker().makeDecoders();
    ASSERT_EQ(made.size(), 13u);
    for (size_t i = 0; i < made.size(); ++i) {
        EXPECT_EQ(made[i]->type(), int(100 + i));
        EXPECT_TRUE(made[i]->name().isEmpty());
        delete made[i];
    }
}

TEST_F(TolvaDecoders, ItemsOfEachLayout)
{
    for (const Case& c : cases()) {
        const GseLib::DataItems before(1); // decoders append, never remove
        GseLib::DataItems items = before;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_EQ(decode(c.type, row(c.ids), c.packet, c.packet.size(), items), c.result) << c.name;
        ASSERT_EQ(items.size(), c.items.size() + 1) << c.name;
        const double t = GseLib::CcsdsPacket(c.packet.data(), int(c.packet.size()), 0, &resolver).unixTime();
        for (size_t i = 0; i < c.items.size(); ++i) {
            const GseLib::DataItem& got = items[i + 1];
            const Expected& e = c.items[i];
            EXPECT_EQ(got.offset, e.offset) << c.name << " item " << i;
            EXPECT_EQ(got.count, e.count) << c.name << " item " << i;
            ASSERT_EQ(got.value.index(), 0u) << c.name;
            EXPECT_DOUBLE_EQ(std::get<double>(got.value), e.value) << c.name << " item " << i;
            EXPECT_NEAR(got.unixTime - t, e.dt, 1e-6) << c.name << " item " << i;
            EXPECT_NEAR(got.relativeTime - t, std::isnan(e.relDt) ? e.dt : e.relDt, 1e-6) << c.name << " item " << i;
        }
        EXPECT_EQ(out.text().empty(), !c.reports) << c.name << out.text();
    }
}

TEST_F(TolvaDecoders, EveryTruncationStaysInsideThePacket)
{
    for (const Case& c : cases()) {
        for (size_t s = 0; s < c.packet.size(); ++s) {
            GseLib::DataItems items;
            TestSupport::StreamCapture out(std::cout);
            const bool result = decode(c.type, row(c.ids), c.packet, s, items);
            if (c.type >= 105 && c.type <= 108)
                continue; // one item for the whole packet
            // The record decoders fail below 16 bytes; the others always succeed.
            const bool record = c.type == 103 || (c.type >= 109 && c.type <= 111);
            EXPECT_EQ(result, !record || s >= 16) << c.name << " at " << s;
            for (const GseLib::DataItem& it : items)
                EXPECT_LE(size_t(it.offset) + size_t(fieldWidth(c.type, c.ids, {it.offset, it.count, 0})), s)
                    << c.name << " at " << s;
        }
    }
}

TEST_F(TolvaDecoders, LaserRunsLeavingThePacketAreReported)
{
    // Data length 28 gives 4 samples; from byte 30 of a 34-byte packet two fit.
    Bytes leu = zeroPacket(749, 34);
    put16(leu, 30, 6);
    put16(leu, 32, 8);
    const std::string line = "void decodeLaserEnergySamples(const GseLib::TmDatabaseRow &, const GseLib::TMPacket *, "
                             "GseLib::DataItems &, const GseLib::CurrentValueTable *) LEU:ENERGY 4242 Out of bounds: "
                             "off(34) + len(2) > dataLength(28)\n";
    const struct
    {
        int type;
        size_t items;
        int lines;
    } cases[] = {{104, 2, 1}, {105, 1, 1}, {106, 1, 1}, {108, 1, 2}};
    for (const auto& c : cases) {
        GseLib::DataItems items;
        TestSupport::StreamCapture out(std::cout);
        EXPECT_TRUE(decode(c.type, row({30, 2}), leu, leu.size(), items)) << c.type;
        EXPECT_EQ(items.size(), c.items) << c.type;
        std::string expected;
        for (int i = 0; i < c.lines; ++i)
            expected += line;
        EXPECT_EQ(out.text(), expected) << c.type;
        if (c.type == 108) {
            EXPECT_DOUBLE_EQ(std::get<double>(items[0].value), 1.0);
        }
    }
    // A first position near 2^64 is out of bounds at once, without an overflow.
    GseLib::DataItems items;
    TestSupport::StreamCapture out(std::cout);
    EXPECT_TRUE(decode(104, row({~0ull - 1, 4}), leu, leu.size(), items));
    EXPECT_TRUE(items.empty());
    EXPECT_NE(out.text().find("off(18446744073709551614) + len(4) > dataLength(28)"), std::string::npos);
}

TEST(LaserInterval, StepsTruncateToWholeMicroseconds)
{
    int32_t a = 0;
    std::vector<int32_t> offsets;
    for (int i = 0; i < 4; ++i)
        offsets.push_back(a = TolvaGse::nextSampleOffsetUs(a, 12.5));
    EXPECT_EQ(offsets, (std::vector<int32_t>{12, 24, 36, 48}));
    EXPECT_EQ(TolvaGse::nextSampleOffsetUs(0, 20.0), 20);
    EXPECT_EQ(TolvaGse::nextSampleOffsetUs(2147483600, 1e9), 2147483647); // saturates
    EXPECT_EQ(TolvaGse::nextSampleOffsetUs(5, std::nan("")), 0);
}
