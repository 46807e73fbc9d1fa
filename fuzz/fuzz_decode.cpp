// The decode road: arbitrary packet bytes under rows built from the input, for
// every generic decode type, with offsets near 2^32, ranks 0-255, extreme masks
// and shifts, mismatched shift lists and empty lists. Every item must lie inside
// the packet (whose vector is allocated to its exact size, so a read past it is
// caught by the sanitizer); a bad field may only decode nothing or throw
// std::out_of_range, which the decode road reports.
//
// Input: one byte giving the number of rows (1-4), then per row the bytes read
// by readRow(), then the history values, then the packet bytes. Input that runs
// out reads as zeros.
#include "fuzzquiet.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmclock.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/currentvaluetable.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/msglogcache.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolvers.h"
#include "plugins/genericdecoder/genericdecodermaker.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

constexpr int GENERIC_TYPES[] = {1, 2, 3, 4, 5, 6, 7, 61, 8, 28, 14, 9, 10, 21, 12, 51, 52, 53, 54, 55, 56};
constexpr std::uint32_t STATISTIC_ID = 77; // the tracked history's row
constexpr std::uint32_t VALUE_ID = 78;
constexpr int APID = 5;

class Reader
{
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t u32()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | u8();
        return v;
    }
    std::uint64_t u64() { return (std::uint64_t(u32()) << 32) | u32(); }
    const std::uint8_t* rest() const { return data_ + std::min(at_, size_); }
    std::size_t left() const { return at_ < size_ ? size_ - at_ : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Decode parameters where the edge cases live.
unsigned long long pickId(Reader& in)
{
    switch (in.u8() % 8) {
    case 0:
        return 0;
    case 1:
        return ~0ull;
    case 2:
        return 63;
    case 3:
        return 64;
    case 4:
        return in.u64();
    case 5:
        return in.u8();
    case 6:
        return (1ull << 32) | in.u8();
    default:
        return static_cast<unsigned long long>(-static_cast<long long>(in.u8()));
    }
}

std::uint32_t pickOffset(Reader& in)
{
    switch (in.u8() % 4) {
    case 0:
        return in.u8();
    case 1:
        return 0xFFFFFFFFu - in.u8();
    case 2:
        return in.u32();
    default:
        return 0x80000000u + in.u8();
    }
}

GseLib::TmDatabaseRow readRow(Reader& in, const std::shared_ptr<GseLib::TMClock>& clock)
{
    GseLib::TmDatabaseRow row;
    row.decodeType = std::uint32_t(GENERIC_TYPES[in.u8() % std::size(GENERIC_TYPES)]);
    row.packetType = APID;
    const std::uint8_t flags = in.u8();
    row.dataId = (flags & 1) ? 0xFFFFFFFFu : (flags & 2) ? VALUE_ID : STATISTIC_ID;

    const int offsets = in.u8() % 9;
    const std::uint32_t first = pickOffset(in);
    const std::uint32_t step = in.u8();
    for (int i = 0; i < offsets; ++i)
        row.offsets.push_back(first + std::uint32_t(i) * step); // may wrap past 2^32
    if (flags & 4) {
        for (int i = 0; i < offsets - (flags & 8 ? 1 : 0); ++i)
            row.timeOffsets.push_back(double(in.u8()) * 0.5);
    }

    const int ranks = in.u8() % 17;
    const int mode = in.u8() % 4;
    for (int k = 0; k < ranks; ++k) {
        std::uint32_t rank = 0;
        if (mode == 0)
            rank = std::uint32_t(ranks - k);
        else if (mode == 1)
            rank = std::uint32_t(k + 1);
        else
            rank = in.u8(); // 0-255
        row.byteOrder.push_back(rank);
        // Mode 3: a shift list that does not follow the ranks.
        row.shifts.push_back(mode == 3 ? std::uint32_t(in.u8()) : 8u * rank - 8u);
    }
    if ((flags & 16) && !row.shifts.empty())
        row.shifts.pop_back();
    row.decodeIds = {pickId(in), pickId(in), pickId(in), pickId(in)};
    row.bitCount = (flags & 32) ? in.u8() : std::uint32_t(std::popcount(row.decodeIds[2]));
    if (flags & 64)
        row.clock = clock;
    return row;
}

// A hub with the two rows the current value table needs and every generic decoder.
class FuzzHub : public GseLib::DataInterpretation
{
public:
    FuzzHub()
    {
        database = std::make_shared<GseLib::TelemetryDatabase>();
        for (std::uint32_t id : {STATISTIC_ID, VALUE_ID}) {
            GseLib::TmDatabaseRow row;
            row.dataId = id;
            row.packetType = APID;
            row.subSystem = "FZ";
            row.name = "R" + std::to_string(id);
            row.key = row.subSystem + ":" + row.name;
            database->addRow(row);
        }
        GenericDecoderMaker maker;
        for (GseLib::Decoder* d : maker.makeDecoders())
            addDecoder(d);
    }
};

[[noreturn]] void fail()
{
    std::abort();
}

class FuzzHubFactory : public GseLib::DataInterpretationFactory
{
public:
    std::unique_ptr<GseLib::DataInterpretation> make() override { return std::make_unique<FuzzHub>(); }
};

// The message log over three copies of the packet, its two message rows
// being the input's first and last rows: lines are split, joined across the
// copies and searched without a read outside the texts.
void refreshMessageLog(const std::vector<GseLib::TmDatabaseRow>& rows, const GseLib::ByteVectorPtr& bytes)
{
    static GseLib::TelemetryCache* cache = [] {
        static FuzzHubFactory factory;
        GseLib::DataInterpretation::init(&factory, false, nullptr, {});
        auto* c = new GseLib::TelemetryCache(new GseLib::UnixTimeResolver);
        GseLib::TelemetryFile::setSharedCache(c);
        return c;
    }();
    GseLib::TelemetryDatabase* db = GseLib::DataInterpretation::current()->db();
    const char* names[][2] = {{"MSG", "TEXT"}, {"MEB", "MESSAGE_LOG"}};
    for (int k = 0; k < 2; ++k) {
        GseLib::TmDatabaseRow row = k == 0 ? rows.front() : rows.back();
        row.dataId = 90u + std::uint32_t(k);
        row.subSystem = names[k][0];
        row.name = names[k][1];
        row.key = row.subSystem + ":" + row.name;
        row.packetType = std::uint32_t(GseLib::CcsdsPacket(bytes, 0, nullptr).type());
        db->addRow(row);
    }
    cache->clear();
    for (int i = 0; i < 3; ++i)
        cache->appendPacket(std::make_shared<GseLib::CcsdsPacket>(bytes, i, cache->timeResolver()));

    GseLib::MsgLogCache log; // takes the rows just filed
    log.refresh();
    for (const GseLib::MsgLogLine& line : log.lines())
        if (line.pktIndex > 2 || line.text.isEmpty())
            fail();
    static const QRegularExpression any(QStringLiteral("\\S"));
    bool found = false;
    log.search(0u, 2u, any, &found, true);
    log.search(1u, 1u, any, &found, false);
    log.search(0.0, any, &found);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static FuzzHub hub;
    static GseLib::UnixTimeResolver resolver;
    static const auto clock = [] {
        auto c = std::make_shared<GseLib::TMClock>();
        c->setEpoch(QStringLiteral("2000-01-01T00:00:00Z"));
        return c;
    }();

    Reader in(data, size);
    const int rowCount = 1 + in.u8() % 4;
    std::vector<GseLib::TmDatabaseRow> rows;
    for (int i = 0; i < rowCount; ++i)
        rows.push_back(readRow(in, clock));

    GseLib::CurrentValueTable cvt(hub);
    cvt.trackHistory(int(STATISTIC_ID), int(VALUE_ID), 1 + in.u8() % 8, double(in.u8()));
    for (int i = in.u8() % 6; i > 0; --i)
        cvt.history(int(STATISTIC_ID)).addValue(double(in.u8()), double(std::int8_t(in.u8())));

    // The packet type's time item: one of the rows' ids, or none (-1).
    const std::uint8_t timeItem = in.u8();
    GseLib::TMPacketTypeInfo info;
    info.valid = true;
    info.type = APID;
    info.timeDataId = (timeItem & 1) ? -1 : int(rows[timeItem % rows.size()].dataId);
    hub.packetTypes.insert(APID, info);

    // Exactly as many bytes as the packet holds: a read past them is a
    // heap overflow the sanitizer reports.
    auto bytes = std::make_shared<GseLib::ByteVector>(in.rest(), in.rest() + in.left());
    bytes->shrink_to_fit();
    const auto packet = std::make_shared<GseLib::CcsdsPacket>(bytes, 0, &resolver);
    const std::uint64_t length = bytes->size();

    for (const GseLib::TmDatabaseRow& row : rows) {
        const GseLib::Decoder* decoder = hub.decoderTable()[row.decodeType].get();
        for (const GseLib::CurrentValueTable* table : {static_cast<const GseLib::CurrentValueTable*>(nullptr),
                                                        static_cast<const GseLib::CurrentValueTable*>(&cvt)}) {
            GseLib::DataItems items(1);
            items[0].offset = -7;
            bool ok = false;
            try {
                ok = decoder->decode(row, packet.get(), items, table);
            } catch (const std::out_of_range&) {
                ok = items.size() > 1;
            }
            // Appended only, never cleared; every item inside the packet.
            if (items.empty() || items[0].offset != -7)
                fail();
            // Sample decoders answer for the whole list, which held an item.
            const bool samples = row.decodeType == 1 || (row.decodeType >= 3 && row.decodeType <= 6);
            if (ok != (samples || items.size() > 1))
                fail();
            for (std::size_t i = 1; i < items.size(); ++i) {
                const GseLib::DataItem& item = items[i];
                if (item.offset < 0 || item.count < 0
                    || std::uint64_t(item.offset) + std::uint64_t(item.count) > length)
                    fail();
            }
        }
    }

    // The same rows through the hub's decode road, which reports every bad
    // field by its result: nothing may escape it.
    for (GseLib::TmDatabaseRow row : rows) {
        row.packetType = std::uint32_t(packet->type());
        GseLib::DataItems items;
        (void)hub.decodePacket(row, packet.get(), items, true, nullptr);
        (void)hub.decodePacket(row, packet.get(), items, true, &cvt);
        for (const GseLib::DataItem& item : items)
            if (item.offset < 0 || std::uint64_t(item.offset) + std::uint64_t(std::max(item.count, 0)) > length)
                fail();
    }

    refreshMessageLog(rows, bytes);
    return 0;
}
