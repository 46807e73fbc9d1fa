// Damaged archives on every road the parse reads: 20,000 intact packets with
// bursts of damage between them, of six kinds, at 2% and 10% of the gaps.
// Every intact packet must be read (with its label's ground time) and next to
// nothing invented: a burst costs the bytes it covers and no more.
#include "tolvalib/tolvatelemetrycache.h"

#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/timeresolvers.h"
#include "support/tempdir.h"
#include "tests/gselib/packets/archivetestdata.h"
#include "tolvalib/tolvadatainterpretation.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <set>

using namespace ArchiveTestData;

namespace {

constexpr int INTACT = 20000;
constexpr int FILL = 740;
// APID: total bytes of its packets; the type admits data lengths 7 to total - 5,
// the fill type any length (as the second instrument's generated definitions).
const std::map<int, int> TOLVA_SIZES = {
    {737, 52},  {738, 39},  {739, 68},  {740, 41},  {741, 60},  {742, 44},  {743, 90},  {744, 54},
    {745, 160}, {746, 337}, {747, 337}, {748, 233}, {749, 126}, {750, 233}, {751, 93},  {752, 22},
    {753, 170}, {754, 68},  {755, 78},  {756, 42},  {758, 214}, {759, 286}, {760, 100}, {761, 100},
    {762, 130}, {763, 100}, {764, 100}, {765, 70},  {766, 18}};
// The plain road's header test accepts these APIDs, at any length.
constexpr int PLAIN_APIDS[] = {0x100, 0x101, 0x102, 0x103};
constexpr int FOREIGN_APID = 0x200;
// Packet times count seconds since 2010, as recordings of these years do;
// a packet's id is its time less this.
constexpr uint32_t SECONDS = 450000000;

TolvaGse::TolvaDataInterpretationFactory factory;

void makeHub()
{
    GseLib::DataInterpretation::init(&factory, false, nullptr, {});
    GseLib::PacketTypes& types = GseLib::DataInterpretation::current()->packetTypes;
    for (const auto& [apid, size] : TOLVA_SIZES) {
        GseLib::TMPacketTypeInfo info;
        info.valid = true;
        info.type = apid;
        info.minLength = apid == FILL ? -1 : 7;
        info.maxLength = apid == FILL ? -1 : size - 5;
        types.insert(apid, info);
    }
}

class PlainCache : public GseLib::TelemetryCache
{
public:
    PlainCache() : TelemetryCache(new GseLib::UnixTimeResolver) { setPacketFormat(CCSDS); }

protected:
    bool validHeader(const unsigned char* h) override
    {
        const int apid = ((h[0] & 0x07) << 8) | h[1];
        return (h[0] & 0xE0) == 0 && std::find(std::begin(PLAIN_APIDS), std::end(PLAIN_APIDS), apid) !=
                                             std::end(PLAIN_APIDS);
    }
};

// The first instrument's road: TOM packets of known types, checksummed.
class TomCache : public GseLib::TelemetryCache
{
public:
    TomCache() : TelemetryCache(new GseLib::UnixTimeResolver) { setPacketFormat(TOM); }

protected:
    bool validHeader(const unsigned char* h) override { return h[0] >= 1 && h[0] <= 5; }
};

enum class Road { Plain, PlainLabelled, Tolva, TolvaLabelled, TolvaFramed, Tom };
enum class Kind { Random, Ones, Zeros, Cut, Overlong, AnyLength };

const char* name(Road r)
{
    static const char* const names[] = {"plain", "plain+labels", "tolva", "tolva+labels", "tolva framed", "TOM"};
    return names[int(r)];
}

const char* name(Kind k)
{
    static const char* const names[] = {"random bytes", "0xFF runs", "zero runs",
                                        "cut packets",  "overlong",  "any-length header"};
    return names[int(k)];
}

bool tolva(Road r)
{
    return r == Road::Tolva || r == Road::TolvaLabelled || r == Road::TolvaFramed;
}

bool labelled(Road r)
{
    return r == Road::PlainLabelled || r == Road::TolvaLabelled;
}

QByteArray randomBytes(QRandomGenerator& rng, int n)
{
    QByteArray b(n, '\0');
    for (char& c : b)
        c = char(rng.bounded(256));
    return b;
}

struct Archive
{
    QByteArray bytes;
    std::map<uint32_t, std::pair<QByteArray, uint32_t>> intact; // by time field: bytes, ground seconds
};

class Builder
{
public:
    Builder(Road road, uint32_t seed) : road_(road), rng_(seed) {}

    // A packet of the road whose time field is `id`, its whole length in bytes.
    QByteArray packet(uint32_t id)
    {
        if (road_ == Road::Tom) {
            const QByteArray data = randomBytes(rng_, int(rng_.bounded(1, 300)));
            return tomPacket(uint8_t(1 + rng_.bounded(5)), uint8_t(id), data, id);
        }
        int apid;
        int size;
        if (tolva(road_)) {
            auto it = TOLVA_SIZES.begin();
            std::advance(it, rng_.bounded(int(TOLVA_SIZES.size())));
            apid = it->first;
            size = it->second;
            if (apid == 765)
                size = 16 + 10 * int(rng_.bounded(1, 4)) + 8 * int(rng_.bounded(0, 4));
            else if (apid == 738 || apid == 742 || apid == FILL)
                size += int(rng_.bounded(2));
        } else {
            apid = PLAIN_APIDS[rng_.bounded(4)];
            size = int(rng_.bounded(12, 300));
        }
        return withTime(apid, size, id);
    }

    QByteArray withTime(int apid, int size, uint32_t id)
    {
        QByteArray p = ccsdsPacket(apid, int(id & 0x3FFF), size, SECONDS + id, uint16_t(rng_.bounded(65536)));
        p.replace(12, size - 12, randomBytes(rng_, size - 12));
        return p;
    }

    QByteArray damage(Kind kind, uint32_t id)
    {
        switch (kind) {
        case Kind::Random:
            return randomBytes(rng_, int(rng_.bounded(1, 301)));
        case Kind::Ones:
            return QByteArray(int(rng_.bounded(1, 101)), char(0xFF));
        case Kind::Zeros:
            return QByteArray(int(rng_.bounded(1, 101)), '\0');
        case Kind::Cut: {
            const QByteArray p = packet(id);
            return p.left(int(rng_.bounded(6, int(p.size()))));
        }
        case Kind::Overlong: {
            // A header the test rejects, with all the bytes its length claims.
            if (road_ == Road::Tom) {
                QByteArray p = packet(id);
                p[p.size() - 1] = char(p[p.size() - 1] ^ 0x5A); // its checksum broken
                return p;
            }
            if (!tolva(road_))
                return withTime(FOREIGN_APID, int(rng_.bounded(12, 300)), id);
            int apid = FILL;
            while (apid == FILL)
                apid = std::next(TOLVA_SIZES.begin(), rng_.bounded(int(TOLVA_SIZES.size())))->first;
            const int max = TOLVA_SIZES.at(apid) - 5;
            return withTime(apid, 6 + max + int(rng_.bounded(1, 301)), id);
        }
        case Kind::AnyLength: {
            // A fill packet's header: short, its length hit.
            QByteArray p = road_ == Road::Tom ? packet(id)
                                              : withTime(tolva(road_) ? FILL : PLAIN_APIDS[rng_.bounded(4)],
                                                         tolva(road_) ? 41 : int(rng_.bounded(12, 100)), id);
            putBe16(p, road_ == Road::Tom ? 2 : 4, rng_.bounded(100, 4001));
            return p;
        }
        }
        return {};
    }

    Archive build(Kind kind, int percent)
    {
        Archive a;
        QList<QByteArray> frame;
        int framed = 0;
        auto flush = [&] {
            if (frame.isEmpty())
                return;
            QByteArray f = QByteArray::fromHex("FEFA30C8040000000000");
            QByteArray body;
            for (const QByteArray& unit : frame)
                body += unit;
            putBe16(f, 6, uint32_t(body.size() + 4));
            f += body;
            uint8_t even = 0, odd = 0;
            for (qsizetype i = 4; i + 1 < f.size(); i += 2) {
                even ^= uint8_t(f[i]);
                odd ^= uint8_t(f[i + 1]);
            }
            f += char(even);
            f += char(odd);
            a.bytes += f;
            frame.clear();
        };
        auto put = [&](const QByteArray& unit) {
            if (road_ != Road::TolvaFramed) {
                a.bytes += unit;
                return;
            }
            frame += unit;
            if (++framed % int(1 + rng_.bounded(4)) == 0)
                flush();
        };
        for (uint32_t i = 0; i < uint32_t(INTACT); ++i) {
            if (int(rng_.bounded(100)) < percent)
                put(damage(kind, 1000000 + i));
            const uint32_t id = 1000 + i;
            QByteArray p = packet(id);
            uint32_t ground = 0;
            if (labelled(road_) && rng_.bounded(3) == 0) {
                ground = 5000 + i;
                put(label(rng_.bounded(2) ? "GANN" : "FANN", int(rng_.bounded(20)), ground, 7));
            }
            a.intact[id] = {p, ground};
            if (road_ == Road::TolvaFramed && p.size() % 2)
                p += '\0';
            put(p);
        }
        flush();
        return a;
    }

private:
    Road road_;
    QRandomGenerator rng_;
};

struct Outcome
{
    int lost = 0;
    int invented = 0;
};

std::unique_ptr<GseLib::TelemetryCache> makeCache(Road road)
{
    if (tolva(road))
        return std::make_unique<TolvaGse::TolvaTelemetryCache>();
    if (road == Road::Tom)
        return std::make_unique<TomCache>();
    return std::make_unique<PlainCache>();
}

Outcome parse(Road road, const Archive& a)
{
    TestSupport::TempDir dir;
    auto cache = makeCache(road);
    FILE* sink = std::tmpfile();
    cache->setMessageStream(sink);
    cache->changeFile(dir.write("tm.bin", a.bytes).toStdString(), true);
    std::fclose(sink);
    Outcome out;
    std::set<uint32_t> found;
    for (const GseLib::TMPacketPtr& p : cache->allPackets()) {
        const auto* b = p->bytes->data();
        const size_t at = road == Road::Tom ? 4 : 6;
        const uint32_t id = p->totalLength() >= at + 4
                                ? (uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3]) -
                                      (road == Road::Tom ? 0 : SECONDS)
                                : 0;
        const auto it = a.intact.find(id);
        const bool same = it != a.intact.end() && !found.count(id) &&
                          QByteArray(reinterpret_cast<const char*>(b), qsizetype(p->totalLength())) == it->second.first &&
                          p->groundSeconds == it->second.second;
        if (same)
            found.insert(id);
        else
            ++out.invented;
    }
    out.lost = int(a.intact.size() - found.size());

    return out;
}

using Case = std::tuple<Road, Kind>;

class DamagedArchives : public ::testing::TestWithParam<Case>
{
protected:
    static void SetUpTestSuite() { makeHub(); }
};

// Packets lost and invented at most in one archive: 0.1% of the intact
// packets, but for two cases the rule cannot tell. A run of one byte value
// hides no packet, yet now and then bytes of a payload before it pass for a
// run. A packet cut short at a frame's end whose claim ends in the frame's
// trailer is taken with the trailer's bytes.
struct Limits
{
    int lost;
    int invented;
};

Limits limits(Road road, Kind kind)
{
    constexpr int GOAL = INTACT / 1000;
    if (road == Road::Tom)
        return {0, 1};
    if (kind == Kind::Ones || kind == Kind::Zeros)
        return {5, 5};
    if (kind == Kind::Cut && road == Road::TolvaFramed)
        return {GOAL, 3 * GOAL};
    return {GOAL, GOAL};
}

TEST_P(DamagedArchives, KeepEveryIntactPacketAndInventNone)
{
    const auto [road, kind] = GetParam();
    const Limits limit = limits(road, kind);
    for (int percent : {2, 10}) {
        for (uint32_t seed : {1u, 2u}) {
            const Archive a = Builder(road, seed * 7919 + uint32_t(kind) * 31 + uint32_t(road)).build(kind, percent);
            const Outcome o = parse(road, a);
            std::cout << "damage: " << name(road) << ", " << name(kind) << ", " << percent << "%, seed " << seed
                      << ": lost " << o.lost << ", invented " << o.invented << "\n";
            EXPECT_LE(o.lost, limit.lost) << name(road) << ", " << name(kind) << " at " << percent << "%, seed " << seed;
            EXPECT_LE(o.invented, limit.invented)
                << name(road) << ", " << name(kind) << " at " << percent << "%, seed " << seed;
        }
    }
}

// An intact packet between two damaged regions is read, and each region
// reported when the packet after it is found; on every CCSDS road.
TEST(DamagedArchives, APacketBetweenTwoDamagedRegionsIsKept)
{
    makeHub();
    for (Road road : {Road::Plain, Road::PlainLabelled, Road::Tolva}) {
        Builder b(road, 3);
        QByteArray p = b.withTime(tolva(road) ? 737 : PLAIN_APIDS[0], 30, 1);
        QByteArray r = b.withTime(tolva(road) ? 742 : PLAIN_APIDS[1], 30, 2);
        QByteArray s = b.withTime(tolva(road) ? 744 : PLAIN_APIDS[2], 30, 3);
        if (labelled(road))
            r = label("GANN", 0, 77, 5) + r;
        const QByteArray bytes = p + QByteArray(50, char(0xFF)) + r + QByteArray(5, char(0xFF)) + s;
        TestSupport::TempDir dir;
        auto cache = makeCache(road);
        FILE* log = std::tmpfile();
        cache->setMessageStream(log);
        cache->changeFile(dir.write("tm.bin", bytes).toStdString(), true);
        std::rewind(log);
        char line[256];
        QStringList lines;
        while (std::fgets(line, sizeof line, log))
            lines << QString::fromLatin1(line).trimmed();
        std::fclose(log);
        ASSERT_EQ(cache->count(), 3u) << name(road);
        EXPECT_EQ(cache->get(1)->totalLength(), 30u) << name(road);
        EXPECT_EQ(cache->get(1)->groundSeconds, labelled(road) ? 77u : 0u) << name(road);
        const int rEnd = 80 + int(r.size());
        EXPECT_EQ(lines, QStringList({"Skipped 50 bytes [30 - 80]",
                                      QString("Skipped 5 bytes [%1 - %2]").arg(rEnd).arg(rEnd + 5)}))
            << name(road);
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, DamagedArchives,
                         ::testing::Combine(::testing::Values(Road::Plain, Road::PlainLabelled, Road::Tolva,
                                                              Road::TolvaLabelled, Road::TolvaFramed, Road::Tom),
                                            ::testing::Values(Kind::Random, Kind::Ones, Kind::Zeros, Kind::Cut,
                                                              Kind::Overlong, Kind::AnyLength)),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string s = std::string(name(std::get<0>(info.param))) + "_" +
                                             name(std::get<1>(info.param));
                             for (char& c : s)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return s;
                         });

} // namespace
