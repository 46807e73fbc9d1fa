// The damage test's archives, for its tests and for other programs that read
// them: 20,000 intact packets on a road the parse reads, with bursts of
// damage of one kind between them; the caches that read each road; and the
// reads a test compares (whole, grown, or followed while written in steps).
#pragma once

#include "tolvalib/tolvatelemetrycache.h"

#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/timeresolvers.h"
#include "support/tempdir.h"
#include "tests/gselib/packets/archivetestdata.h"
#include "tests/tolvalib/tolvapackets.h"
#include "tolvalib/tolvadatainterpretation.h"

#include <QRandomGenerator>
#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace DamageTest {

using namespace ArchiveTestData;

inline constexpr int INTACT = 20000;
inline constexpr int FILL = 740;
// APID: bytes of its packets; the type admits data lengths 7 to bytes - 5,
// the fill type any length (as the second instrument's generated definitions).
inline const std::map<int, int> TOLVA_SIZES = {
    {737, 52},  {738, 39},  {739, 68},  {740, 41},  {741, 60},  {742, 44},  {743, 90},  {744, 54},
    {745, 160}, {746, 337}, {747, 337}, {748, 233}, {749, 126}, {750, 233}, {751, 93},  {752, 22},
    {753, 170}, {754, 68},  {755, 78},  {756, 42},  {758, 214}, {759, 286}, {760, 100}, {761, 100},
    {762, 130}, {763, 100}, {764, 100}, {765, 70},  {766, 18}};
inline constexpr int PLAIN_APIDS[] = {0x100, 0x101, 0x102, 0x103}; // the plain road's, at any length
inline constexpr uint32_t SECONDS = 450000000; // packet times since 2010: a packet's id is its time less this

inline TolvaGse::TolvaDataInterpretationFactory factory;

inline void makeHub()
{
    GseLib::DataInterpretation::init(&factory, false, nullptr, {});
    for (const auto& [apid, size] : TOLVA_SIZES) {
        GseLib::TMPacketTypeInfo info;
        info.valid = true;
        info.type = apid;
        info.minLength = apid == FILL ? -1 : 7;
        info.maxLength = apid == FILL ? -1 : size - 5;
        GseLib::DataInterpretation::current()->packetTypes.insert(apid, info);
    }
}

// The plain road: CCSDS with an APID header test; the first instrument's: TOM
// types 1 to 5. A weak test takes any version-0 header with an APID.
class TestCache : public GseLib::TelemetryCache
{
public:
    TestCache(PacketFormat f, bool weak) : TelemetryCache(new GseLib::UnixTimeResolver), weak_(weak) { setPacketFormat(f); }

protected:
    bool validHeader(const unsigned char* h) override
    {
        const int apid = ((h[0] & 0x07) << 8) | h[1];
        if (packetFormat() == TOM)
            return h[0] >= 1 && h[0] <= 5;
        if (weak_)
            return h[0] <= 15 && apid != 0;
        return (h[0] & 0xE0) == 0 && std::count(std::begin(PLAIN_APIDS), std::end(PLAIN_APIDS), apid) > 0;
    }

private:
    bool weak_;
};

// The second instrument in frames: TolvaFramed without labels, FramedLabels with a label before every
// packet inside the frames, LabelledFrames with one before every frame.
enum Road { Plain, PlainLabels, Tolva, TolvaLabels, TolvaFramed, Tom, FramedLabels, LabelledFrames };
enum Kind { RandomBytes, FFRuns, ZeroRuns, CutPackets, Overlong, AnyLengthHeader, LabelClaim };
inline const char* const ROADS[] = {"Plain",       "PlainLabels", "Tolva",        "TolvaLabels",
                                    "TolvaFramed", "Tom",         "FramedLabels", "LabelledFrames"};
inline const char* const KINDS[] = {"RandomBytes", "FFRuns",          "ZeroRuns",  "CutPackets",
                                    "Overlong",    "AnyLengthHeader", "LabelClaim"};

inline bool framed(Road r) { return r == TolvaFramed || r == FramedLabels || r == LabelledFrames; }
inline bool tolva(Road r) { return r == Tolva || r == TolvaLabels || framed(r); }
inline bool labelled(Road r) { return r == PlainLabels || r == TolvaLabels; }

inline std::unique_ptr<GseLib::TelemetryCache> makeCache(Road road, bool weak = false)
{
    if (tolva(road) && !weak)
        return std::make_unique<TolvaGse::TolvaTelemetryCache>();
    return std::make_unique<TestCache>(road == Tom ? GseLib::TelemetryCache::TOM : GseLib::TelemetryCache::CCSDS, weak);
}

// Lines written to `log` from `from` on.
inline QStringList linesOf(FILE* log, long from)
{
    std::fflush(log);
    std::fseek(log, from, SEEK_SET);
    QStringList lines;
    for (char line[256]; std::fgets(line, sizeof line, log);)
        lines << QString::fromLatin1(line).trimmed();
    return lines;
}

// What a parse of `bytes`, a finished file (or one written just now), gives,
// grown `polls` times more: the packets, the lines it wrote and its damage
// records.
struct Read
{
    std::vector<GseLib::TMPacketPtr> packets;
    QStringList lines;
    std::vector<GseLib::DamagedStretch> damage;
};

inline Read read(GseLib::TelemetryCache& cache, const QByteArray& bytes, int polls = 0, bool finished = true)
{
    TestSupport::TempDir dir;
    FILE* log = std::tmpfile();
    cache.setMessageStream(log);
    const QString path = dir.write("tm.bin", bytes);
    if (finished)
        ageFile(path);
    cache.changeFile(path.toStdString(), true);
    for (int i = 0; i < polls; ++i)
        cache.grow();
    Read r{cache.allPackets(), linesOf(log, 0), cache.damage()};
    std::fclose(log);
    return r;
}

// The polls after the last write that bring a followed read to its end.
inline constexpr int SETTLING_POLLS = GseLib::TelemetryCache::PARTIAL_READ_LIMIT + 1;

// What a followed read holds once SETTLING_POLLS grows have followed the
// last write, and the lines of 30 grows more.
struct Followed
{
    std::vector<GseLib::TMPacketPtr> settled;
    QStringList later;
    int readAnew = 0; // lines that took the growing file for one started anew
    QStringList lines; // every line the read wrote, the later ones too
};

// A read of `bytes` written in steps that end at `ends`, with a grow after
// each, from an empty file on (or, `opened` on the first step's bytes, the
// open in place of its grow); then grown until SETTLING_POLLS grows have
// followed the last write, and 30 more.
inline Followed readGrowing(GseLib::TelemetryCache& cache, const QByteArray& bytes,
                            const std::vector<qsizetype>& ends, bool opened = false)
{
    TestSupport::TempDir dir;
    const qsizetype first = opened ? ends.front() : 0;
    const QString path = dir.write("tm.bin", bytes.left(first));
    FILE* out = std::fopen(path.toLocal8Bit().constData(), "ab");
    FILE* log = std::tmpfile();
    cache.setMessageStream(log);
    cache.changeFile(path.toStdString(), true);
    qsizetype at = first;
    for (const qsizetype end : ends) {
        if (end <= at)
            continue;
        std::fwrite(bytes.constData() + at, 1, size_t(end - at), out);
        std::fflush(out);
        at = end;
        cache.grow();
    }
    std::fclose(out);
    for (int i = 1; i < SETTLING_POLLS; ++i)
        cache.grow();
    Followed f{cache.allPackets(), {}, 0, {}};
    std::fflush(log);
    const long settled = std::ftell(log);
    for (int i = 0; i < 30; ++i)
        cache.grow();
    f.later = linesOf(log, settled);
    f.lines = linesOf(log, 0);
    for (const QString& line : f.lines)
        f.readAnew += line.contains("...reading it anew from the start");
    std::fclose(log);
    return f;
}

inline QByteArray bytesOf(const GseLib::TMPacketPtr& p)
{
    return QByteArray(reinterpret_cast<const char*>(p->bytes->data()), qsizetype(p->totalLength()));
}

struct Archive
{
    QByteArray bytes;
    std::vector<qsizetype> units; // where each packet, burst or frame ends: a writer's steps
    std::map<uint32_t, std::pair<QByteArray, uint32_t>> intact; // by id: bytes, ground seconds
};

class Builder
{
public:
    Builder(Road road, uint32_t seed) : road_(road), rng_(seed) {}

    QByteArray randomBytes(int n)
    {
        QByteArray b(n, '\0');
        for (char& c : b)
            c = char(rng_.bounded(256));
        return b;
    }

    QByteArray withTime(int apid, int size, uint32_t id)
    {
        QByteArray p = ccsdsPacket(apid, int(id & 0x3FFF), size, SECONDS + id, uint16_t(rng_.bounded(65536)));
        return p.replace(12, size - 12, randomBytes(size - 12));
    }

    int tolvaApid(bool fill)
    {
        int apid = FILL;
        while ((apid == FILL) != fill)
            apid = std::next(TOLVA_SIZES.begin(), rng_.bounded(int(TOLVA_SIZES.size())))->first;
        return apid;
    }

    // A packet of the road whose time (a TOM packet's timestamp) is `id`.
    QByteArray packet(uint32_t id)
    {
        if (road_ == Tom)
            return tomPacket(uint8_t(1 + rng_.bounded(5)), uint8_t(id), randomBytes(int(rng_.bounded(1, 300))), id);
        if (!tolva(road_))
            return withTime(PLAIN_APIDS[rng_.bounded(4)], int(rng_.bounded(12, 300)), id);
        const int apid = tolvaApid(rng_.bounded(int(TOLVA_SIZES.size())) == 0); // FILL as often as any other APID
        int size = TOLVA_SIZES.at(apid);
        if (apid == 765)
            size = 16 + 10 * int(rng_.bounded(1, 4)) + 8 * int(rng_.bounded(0, 4));
        else if (apid == 738 || apid == 742 || apid == FILL)
            size += int(rng_.bounded(2));
        return withTime(apid, size, id);
    }

    QByteArray damage(Kind kind, uint32_t id)
    {
        if (kind == RandomBytes)
            return randomBytes(int(rng_.bounded(1, 301)));
        if (kind == FFRuns || kind == ZeroRuns)
            return QByteArray(int(rng_.bounded(1, 101)), kind == FFRuns ? char(0xFF) : '\0');
        if (kind == LabelClaim) { // a label whose digits were hit: its claim lands far on, or past the end
            QByteArray l = label(rng_.bounded(2) ? "GANN" : "FANN", int(rng_.bounded(20)), id, 7);
            return l.replace(12, 8, rng_.bounded(2) ? "99999999" : "00500000");
        }
        if (kind == CutPackets) {
            const QByteArray p = packet(id);
            return p.left(int(rng_.bounded(6, int(p.size()))));
        }
        if (kind == Overlong) { // a header the test rejects, with all the bytes it claims
            if (road_ == Tom) {
                QByteArray p = packet(id);
                p[p.size() - 1] = char(p[p.size() - 1] ^ 0x5A); // its checksum broken
                return p;
            }
            if (!tolva(road_))
                return withTime(0x200, int(rng_.bounded(12, 300)), id);
            const int apid = tolvaApid(false);
            return withTime(apid, TOLVA_SIZES.at(apid) + 2 + int(rng_.bounded(300)), id); // data past its limit
        }
        // A short fill packet's header, its length hit.
        QByteArray p = road_ == Tom ? packet(id)
                                    : withTime(tolva(road_) ? FILL : PLAIN_APIDS[rng_.bounded(4)],
                                               tolva(road_) ? 41 : int(rng_.bounded(12, 100)), id);
        putBe16(p, road_ == Tom ? 2 : 4, rng_.bounded(100, 4001));
        return p;
    }

    // With `tail`, the first half of a burst of damage ends the archive; with
    // `damagedLast`, damage stands before each of the last that many packets
    // (a claim that runs past the end of the file covers them).
    Archive build(Kind kind, int percent, int intact = INTACT, bool tail = false, int damagedLast = 0)
    {
        Archive a;
        QByteArray body; // of the frame being filled: 1 to 4 units a frame
        uint32_t first = 0; // the id of its first intact packet
        auto flush = [&] {
            TolvaTest::Bytes f = {0xFE, 0xFA, 0x30, 0xC8, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
            f.insert(f.end(), body.begin(), body.end());
            qToBigEndian(uint16_t(body.size() + 4), f.data() + 6);
            TolvaTest::appendFrameChecksum(f);
            if (road_ == LabelledFrames) { // the frame's first packet gets its time
                a.bytes += label(rng_.bounded(2) ? "GANN" : "FANN", int(rng_.bounded(20)), 5000 + first, 7);
                const auto it = a.intact.find(first);
                if (it != a.intact.end())
                    it->second.second = 5000 + first;
            }
            a.bytes += QByteArray(reinterpret_cast<const char*>(f.data()), qsizetype(f.size()));
            a.units.push_back(a.bytes.size());
            body.clear();
            first = 0;
        };
        auto put = [&](const QByteArray& unit) {
            if (!framed(road_)) {
                a.bytes += unit;
                return a.units.push_back(a.bytes.size());
            }
            body += unit;
            if (rng_.bounded(3) == 0)
                flush();
        };
        for (uint32_t i = 0; i < uint32_t(intact); ++i) {
            if (int(rng_.bounded(100)) < percent || int(i) >= intact - damagedLast)
                put(damage(kind, 1000000 + i));
            const uint32_t id = 1000 + i;
            QByteArray p = packet(id);
            const uint32_t ground =
                road_ == FramedLabels || (labelled(road_) && rng_.bounded(3) == 0) ? 5000 + i : 0;
            if (body.isEmpty())
                first = id; // 0 when damage begins the frame: its label's time is lost
            const QByteArray l = ground ? label(rng_.bounded(2) ? "GANN" : "FANN", int(rng_.bounded(20)), ground, 7)
                                        : QByteArray();
            if (road_ != FramedLabels && ground)
                put(l);
            a.intact[id] = {p, ground};
            // Inside frames a label stands in the frame of its packet.
            put((road_ == FramedLabels ? l : QByteArray()) + (framed(road_) && p.size() % 2 ? p + '\0' : p));
        }
        if (tail) { // still being written: the last claim may run past the end
            const QByteArray d = damage(kind, 2000000);
            put(d.left(std::max<qsizetype>(8, d.size() / 2)));
        }
        if (!body.isEmpty())
            flush();
        return a;
    }

private:
    Road road_;
    QRandomGenerator rng_;
};

// Packets lost and invented: an intact packet counts as read when its bytes
// and its ground time are.
inline std::pair<int, int> lostAndInvented(Road road, const Archive& a)
{
    std::set<uint32_t> found;
    int invented = 0;
    const auto cache = makeCache(road); // the packets' bytes live in its arena
    for (const GseLib::TMPacketPtr& p : read(*cache, a.bytes).packets) {
        const QByteArray bytes = bytesOf(p);
        const uint32_t id = bytes.size() < 12 ? 0
                                              : qFromBigEndian<uint32_t>(bytes.constData() + (road == Tom ? 4 : 6)) -
                                                    (road == Tom ? 0 : SECONDS);
        const auto it = a.intact.find(id);
        const bool kept = it != a.intact.end() && !found.count(id) && bytes == it->second.first &&
                          p->groundSeconds == it->second.second;
        kept ? void(found.insert(id)) : void(++invented);
    }
    return {int(a.intact.size() - found.size()), invented};
}

// The ends of steps of `step` bytes through `size` bytes; with `seed`, of
// random sizes from 1 to `step` bytes.
inline std::vector<qsizetype> stepsOf(qsizetype size, qsizetype step, uint32_t seed = 0)
{
    QRandomGenerator rng(seed);
    std::vector<qsizetype> ends;
    for (qsizetype at = seed ? qsizetype(rng.bounded(1, int(step) + 1)) : step; at < size;
         at += seed ? qsizetype(rng.bounded(1, int(step) + 1)) : step)
        ends.push_back(at);
    ends.push_back(size);
    return ends;
}

} // namespace DamageTest
