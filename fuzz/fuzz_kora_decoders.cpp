// Arbitrary bytes through all first-instrument decoders, by way of a hub
// that holds the instrument's decoders and rows made from the input. The
// first byte gives the number of rows (1-4); each row takes 30 bytes: its
// decoder (one byte, modulo DECODER_COUNT an index into the decoders in
// registration order), DECODE_ID1..DECODE_ID3 (8 bytes each, little-endian,
// any value up to 2^64 - 1) and DECODE_ID4 (4 bytes, a shift of either sign).
// Rows are filed as 831 (the MAIF FPGA word), 1094 (the laser housekeeping
// period) and 5002, 5003, and the rows that decode other rows name these ids
// (or, rarely, an absent one), so rows name themselves and each other. The
// rest is a stored packet whose bytes end where the input ends, whatever its
// length field says; every row decodes it through the hub and directly.
// Nothing may read past the packet, shift or convert undefined, recurse
// without bound or throw anything but an absent row's out_of_range.
#include "fuzzquiet.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/packetarena.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/koradatai.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

using namespace KorGse::KorDataInterpretationImpl;

// In registration order, so that a corpus file's first byte keeps naming the same decoder.
#define KORA_TYPE(Class) Class::TYPE,
#define KORA_DERIVED_TYPE(Class, Base) Class::TYPE,
constexpr int TYPES[DECODER_COUNT] = {KORA_DECODER_LIST(KORA_TYPE, KORA_DERIVED_TYPE)};
#undef KORA_DERIVED_TYPE
#undef KORA_TYPE
constexpr unsigned IDS[4] = {831, 1094, 5002, 5003};
constexpr size_t ROW_BYTES = 30;

uint64_t le(const uint8_t* p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

bool namesRows(int type)
{
    return type == 226 || type == 236 || type == 241 || (type >= 247 && type <= 250);
}

// A reference: one of the rows of this input, or now and then an absent id.
uint64_t reference(uint64_t v)
{
    return (v & 0xF0) == 0xF0 ? v : IDS[v & 3];
}

// Packets at fixed times; a clock count is taken as seconds.
class FixedTimes : public GseLib::TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return double(ticks); }
    long long secondsToTicks(double) const override { return 0; }
    double unixTime(const GseLib::TMPacket*) const override { return 1e9; }
    double unixTime(const GseLib::TMPacket*, long long ticks) const override { return 1e9 + double(ticks); }
    double relativeTime(const GseLib::TMPacket*) const override { return 0.0; }
    double relativeTime(const GseLib::TMPacket*, long long ticks) const override { return double(ticks); }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const GseLib::TMPacketPtr&) override { return false; }
    GseLib::TMPacketPtr t0Packet() const override { return nullptr; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static KorGse::KorDataInterpretationFactory factory;
    static const FixedTimes times;
    static GseLib::DataInterpretation* hub = [] {
        GseLib::DataInterpretation::init(&factory, false, nullptr, {});
        GseLib::DataInterpretation::current()->populateDecoders();
        return GseLib::DataInterpretation::current();
    }();
    if (size < 1)
        return 0;
    const size_t rowCount = 1 + data[0] % 4;
    if (size < 1 + rowCount * ROW_BYTES)
        return 0;
    const uint8_t* p = data + 1;
    const size_t packetSize = size - 1 - rowCount * ROW_BYTES;
    const uint8_t* packetData = data + 1 + rowCount * ROW_BYTES;
    const uint32_t packetType = packetSize ? packetData[0] : 0;

    GseLib::TelemetryDatabase* db = hub->db();
    db->clear();
    std::vector<GseLib::TmDatabaseRow> rows(rowCount);
    for (size_t r = 0; r < rowCount; ++r, p += ROW_BYTES) {
        GseLib::TmDatabaseRow& row = rows[r];
        row.dataId = IDS[r];
        row.key = "FUZ:ROW" + std::to_string(r);
        row.packetType = packetType;
        row.decodeType = uint32_t(TYPES[p[0] % DECODER_COUNT]);
        row.decodeIds = {le(p + 1, 8), le(p + 9, 8), le(p + 17, 8), le(p + 25, 4)};
        if (namesRows(int(row.decodeType))) {
            row.decodeIds[0] = reference(row.decodeIds[0]);
            row.decodeIds[1] = reference(row.decodeIds[1]);
        }
        db->addRow(row);
    }

    // Owned by a shared pointer: the summed total needs one.
    auto bytes = GseLib::makePacketBytes(packetSize < 9 ? 9 : packetSize);
    std::memcpy(bytes->data(), packetData, packetSize);
    const auto packet = std::make_shared<GseLib::TomPacket>(bytes, 0, &times);

    for (const GseLib::TmDatabaseRow& row : rows) {
        GseLib::DataItems items;
        const bool appended = hub->decodePacket(row, packet.get(), items, true, nullptr);
        // At most 6000 samples of a minute block, or pairs of one per 8 bytes.
        if (appended != !items.empty() || items.size() > 6000 + packetSize)
            std::abort();
        try {
            GseLib::DataItems direct(1);
            hub->decoderTable().at(row.decodeType)->decode(row, packet.get(), direct, nullptr);
            if (direct.size() > 6001 + packetSize)
                std::abort();
        } catch (const std::out_of_range&) {
            // An absent row named by a decoder: the hub catches this one.
        }
    }
    return 0;
}
