// Every first-instrument decoder on the rows and packets scripts/gen_kora.py
// makes with --decoders: the rows come from the text database the hub loads
// (offsets moved by 8 as at start-up), the packets and what each row must give
// from expected.json, computed there from the packet layouts. Each row runs
// twice per packet: its decoder called directly (own result, appending to a
// list that already holds an item) and through the hub's decodePacket (result
// = items appended). Items, results and overrun lines must match exactly.
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/valuemode.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/koradatai.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/generateddefinitions.h"
#include "support/streamcapture.h"

#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>
#include <memory>
#include <set>

namespace {

// Packets sit at unix time 1e9 and relative time 0, so an item's relative time
// is its offset from the packet; a clock count c lies c / 10000 s after it.
constexpr double PACKET_UNIX_TIME = 1e9;

class CountTimes : public GseLib::TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return double(ticks) / 10000.0; }
    long long secondsToTicks(double s) const override { return (long long)(s * 10000.0); }
    double unixTime(const GseLib::TMPacket*) const override { return PACKET_UNIX_TIME; }
    double unixTime(const GseLib::TMPacket*, long long ticks) const override
    {
        return PACKET_UNIX_TIME + double(ticks) / 10000.0;
    }
    double relativeTime(const GseLib::TMPacket*) const override { return 0.0; }
    double relativeTime(const GseLib::TMPacket*, long long ticks) const override { return double(ticks) / 10000.0; }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const GseLib::TMPacketPtr&) override { return false; }
    GseLib::TMPacketPtr t0Packet() const override { return nullptr; }
};

const CountTimes countTimes;

// The generated set, made and loaded once for the suite.
struct Generated : KoraTest::GeneratedDefinitions
{
    Generated() : GeneratedDefinitions("gen_kora.py", {QStringLiteral("--decoders")})
    {
        installHub();
        expected = expected.value("decoders").toObject();
        KorGse::KorTelemetryCache::ip_ = expected.value("ip").toDouble();
        for (const QJsonValue& p : expected.value("packets").toArray()) {
            const QJsonObject o = p.toObject();
            const QByteArray data = QByteArray::fromHex(o.value("hex").toString().toLatin1());
            // Header only (type, length), no trailer: the bytes end where the data ends.
            std::vector<uint8_t> bytes = {uint8_t(o.value("type").toInt()), 0, uint8_t(data.size() >> 8),
                                          uint8_t(data.size()), 0, 0, 0, 0};
            bytes.insert(bytes.end(), data.begin(), data.end());
            packets.push_back(std::make_shared<GseLib::TomPacket>(bytes.data(), int(bytes.size()), 0, &countTimes));
            notes.push_back(o.value("note").toString().toStdString());
        }
    }

    std::vector<GseLib::TMPacketPtr> packets;
    std::vector<std::string> notes;
};

class KorDecodersGenerated : public KoraTest::SharedSuite<Generated>
{
protected:
    static GseLib::DataInterpretation* hub() { return GseLib::DataInterpretation::current(); }
};

// Values: numbers exactly or within 1e-12 relative (the standard deviations are
// computed another way there); "nan", "inf", "-inf"; "nanbits": the bit
// pattern of a single-precision NaN, as the Pirani mean reports one.
void expectValue(const QJsonValue& want, double got, const std::string& where)
{
    if (want.isString()) {
        const QString w = want.toString();
        if (w == "nan")
            EXPECT_TRUE(std::isnan(got)) << where << " value " << got;
        else if (w == "inf")
            EXPECT_EQ(got, INFINITY) << where;
        else if (w == "-inf")
            EXPECT_EQ(got, -INFINITY) << where;
        else {
            ASSERT_EQ(w, "nanbits") << where;
            ASSERT_TRUE(got >= 0 && got <= 4294967295.0 && got == std::floor(got)) << where << " value " << got;
            EXPECT_TRUE(std::isnan(std::bit_cast<float>(uint32_t(got)))) << where << " value " << got;
        }
        return;
    }
    const double w = want.toDouble();
    if (w == got)
        return;
    EXPECT_NEAR(got, w, 1e-12 * std::max(1.0, std::fabs(w))) << where;
}

void expectItems(const QJsonArray& want, const GseLib::DataItems& got, size_t from, const std::string& where)
{
    ASSERT_EQ(got.size() - from, size_t(want.size())) << where;
    for (qsizetype i = 0; i < want.size(); ++i) {
        const QJsonArray w = want[i].toArray();
        const GseLib::DataItem& g = got[from + size_t(i)];
        const std::string at = where + " item " + std::to_string(i);
        expectValue(w[0], g.toDouble(), at);
        // Times are sums the decoders form by addition: exact.
        EXPECT_EQ(g.relativeTime, w[1].toDouble()) << at;
        EXPECT_NEAR(g.unixTime, PACKET_UNIX_TIME + w[1].toDouble(), 1e-6) << at;
        EXPECT_EQ(g.offset, w[2].toInt()) << at;
        EXPECT_EQ(g.count, w[3].toInt()) << at;
    }
}

TEST_F(KorDecodersGenerated, RowsLoadAsGenerated)
{
    ASSERT_TRUE(defs->generated);
    std::set<unsigned> types;
    for (const QJsonValue& v : defs->expected.value("rows").toArray()) {
        const QJsonObject r = v.toObject();
        const GseLib::TmDatabaseRow& row = hub()->db()->row(unsigned(r.value("id").toInt()));
        EXPECT_EQ(row.decodeType, unsigned(r.value("type").toInt())) << row.key;
        EXPECT_EQ(row.packetType, unsigned(r.value("packetType").toInt())) << row.key;
        const QJsonArray ids = r.value("ids").toArray();
        ASSERT_EQ(row.decodeIds.size(), 4u);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(row.decodeIds[size_t(k)], ids[k].toString().toULongLong()) << row.key << " DECODE_ID" << k + 1;
        types.insert(row.decodeType);
    }
    // Every built-in decode type has rows.
    for (unsigned t = 203; t <= 250; ++t) {
        if (t != 205 && t != 206) {
            EXPECT_TRUE(types.count(t)) << t;
        }
    }
}

TEST_F(KorDecodersGenerated, EveryRowOnEveryPacketOfItsType)
{
    ASSERT_TRUE(defs->generated);
    const QJsonArray cases = defs->expected.value("cases").toArray();
    ASSERT_GT(cases.size(), 400);
    std::map<unsigned, size_t> itemsPerType;
    for (const QJsonValue& v : cases) {
        const QJsonObject c = v.toObject();
        const GseLib::TmDatabaseRow& row = hub()->db()->row(unsigned(c.value("row").toInt()));
        const size_t k = size_t(c.value("packet").toInt());
        ASSERT_LT(k, defs->packets.size());
        const GseLib::TMPacket* packet = defs->packets[k].get();
        const std::string where = row.key + " (type " + std::to_string(row.decodeType) + ") on packet " +
                                  std::to_string(k) + " [" + defs->notes[k] + "]";
        const std::string stdoutLines = c.value("stdout").toString().toStdString();
        const QJsonArray items = c.value("items").toArray();

        // Directly: the decoder's own result; an earlier item stays in place.
        {
            GseLib::DataItems list(1);
            list[0].value = -12345.0;
            bool result;
            std::string out;
            {
                TestSupport::StreamCapture capture(std::cout);
                result = hub()->decoderTable().at(row.decodeType)->decode(row, packet, list, nullptr);
                out = capture.text();
            }
            EXPECT_EQ(result, c.value("result").toBool()) << where;
            EXPECT_EQ(out, stdoutLines) << where;
            EXPECT_EQ(list[0].toDouble(), -12345.0) << where;
            expectItems(items, list, 1, where);
            itemsPerType[row.decodeType] += list.size() - 1;
        }
        // Through the hub: success is whether items were appended.
        {
            GseLib::DataItems list;
            bool result;
            std::string out;
            {
                TestSupport::StreamCapture capture(std::cout);
                result = hub()->decodePacket(row, packet, list, true, nullptr);
                out = capture.text();
            }
            EXPECT_EQ(result, c.value("hubResult").toBool()) << where << " through the hub";
            EXPECT_EQ(out, stdoutLines) << where << " through the hub";
            expectItems(items, list, 0, where + " through the hub");
        }
    }
    // Every decoder produced something somewhere.
    for (unsigned t = 203; t <= 250; ++t) {
        if (t != 205 && t != 206) {
            EXPECT_GT(itemsPerType[t], 0u) << t;
        }
    }
}

// Every row on every truncation of each packet of its type (long packets at a
// stride, and their last bytes one by one), in byte vectors that end where
// the data ends: under the sanitizers a read past the data fails here. Items
// never come from bytes that are not there.
TEST_F(KorDecodersGenerated, EveryTruncationOfTheGeneratedPackets)
{
    ASSERT_TRUE(defs->generated);
    const QJsonArray packets = defs->expected.value("packets").toArray();
    const QJsonArray rows = defs->expected.value("rows").toArray();
    size_t runs = 0;
    for (qsizetype k = 0; k < packets.size(); ++k) {
        const QJsonObject p = packets[k].toObject();
        const int type = p.value("type").toInt();
        const QByteArray data = QByteArray::fromHex(p.value("hex").toString().toLatin1());
        for (qsizetype n = 0; n <= data.size(); ++n) {
            if (data.size() > 600 && n % 97 != 0 && n < data.size() - 8)
                continue;
            std::vector<uint8_t> bytes = {uint8_t(type), 0, uint8_t(n >> 8), uint8_t(n), 0, 0, 0, 0};
            bytes.insert(bytes.end(), data.begin(), data.begin() + n);
            const auto packet = std::make_shared<GseLib::TomPacket>(bytes.data(), int(bytes.size()), 0, &countTimes);
            for (const QJsonValue& v : rows) {
                if (v.toObject().value("packetType").toInt() != type)
                    continue;
                const GseLib::TmDatabaseRow& row = hub()->db()->row(unsigned(v.toObject().value("id").toInt()));
                GseLib::DataItems list;
                TestSupport::StreamCapture capture(std::cout);
                const bool appended = hub()->decodePacket(row, packet.get(), list, true, nullptr);
                EXPECT_EQ(appended, !list.empty()) << row.key << " on " << n << " bytes of packet " << k;
                for (const GseLib::DataItem& item : list)
                    EXPECT_TRUE(item.offset == -1 || (item.offset >= 8 && item.offset < 8 + int(n)))
                        << row.key << " on " << n << " bytes of packet " << k << ": offset " << item.offset;
                ++runs;
            }
        }
    }
    EXPECT_GT(runs, 10000u);
}

// getData across an archive grows one list packet after packet: the sample
// decoders must grow it geometrically (a reserve of size() + k per call would
// reallocate, and copy the list, on every packet).
TEST_F(KorDecodersGenerated, ListsGrowGeometricallyAcrossPackets)
{
    ASSERT_TRUE(defs->generated);
    const struct
    {
        unsigned row;
        const char* packet;
    } cases[] = {
        {2100, "maif minute: ms 500"}, {2110, "rsim: 1000 samples"}, {2080, "maif: N = 500, FPGA 0x2C"},
        {2160, "laser: 16 pulses"},    {2030, "science: A = 3"},     {2200, "pirani: steps"},
        {2240, "seb: channel 12"},     {2040, "gc: channel 5"},
    };
    constexpr int PACKETS = 400;
    for (const auto& c : cases) {
        size_t k = 0;
        while (k < defs->notes.size() && defs->notes[k].rfind(c.packet, 0) != 0)
            ++k;
        ASSERT_LT(k, defs->notes.size()) << c.packet;
        GseLib::DataItems list;
        int reallocations = 0;
        for (int i = 0; i < PACKETS; ++i) {
            const size_t capacity = list.capacity();
            ASSERT_TRUE(hub()->getData(int(c.row), defs->packets[k].get(), list, Gse::Raw, true, nullptr)) << c.row;
            reallocations += list.capacity() != capacity;
        }
        // Doubling from one item to the final size takes about log2(size) steps.
        EXPECT_LE(reallocations, int(std::log2(double(list.size()))) + 2) << c.row << ": " << list.size() << " items";
    }
}

} // namespace
