#include "tolvalib/tolvadecoder/ctlmmcdecoders.h"

#include "gselib/interpretation/currentvaluetable.h"

#include <cstring>

namespace TolvaGse {

namespace {

constexpr int ADC_ENTRIES = 32;
constexpr int REGISTER_ENTRIES = 32;
constexpr size_t MIN_PACKET = 16; // below this the record decoders report failure
constexpr double UNIX_SECONDS_AT_2010 = 1262304000.0;

} // namespace

const char* const MmcVRefCalibratedDecoder::VREF_MNEMONIC = "MMC.HK:V_2P50_VREF";

bool CtlHkAdcValuesDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                   GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    const PacketBytes b(packet);
    const uint64_t channel = decodeId(row, 0);
    const size_t table = size_t(packet->dataOffset()) + 7;
    double unixTime = 0.0;
    double relativeTime = 0.0;
    bool timed = false;
    for (int j = 0; j < ADC_ENTRIES; ++j) {
        const size_t at = table + 3 * size_t(j);
        if (!b.fits(at, 3))
            break; // a short packet ends the table
        if (b.u8(at) != channel)
            continue;
        if (!timed) {
            unixTime = packet->unixTime();
            relativeTime = packet->relativeTime();
            timed = true;
        }
        appendItem(items, unixTime, relativeTime, 14 + 3 * j, 2, double(b.u16(at + 1)));
    }
    return true;
}

bool CtlStatusGenRegValuesDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                          GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    const PacketBytes b(packet);
    const uint64_t wanted = decodeId(row, 0);
    const size_t table = size_t(packet->dataOffset()) + 15;
    double unixTime = 0.0;
    double relativeTime = 0.0;
    bool timed = false;
    for (int j = 0; j < REGISTER_ENTRIES; ++j) {
        const size_t at = table + 5 * size_t(j);
        if (!b.fits(at, 5))
            break;
        const uint32_t r = b.u8(at);
        bool match = false;
        if (r <= 0x9F)
            match = (r & 0x0F) == wanted;
        else if (r <= 0xA9)
            match = r == wanted;
        if (!match)
            continue;
        if (!timed) {
            unixTime = packet->unixTime();
            relativeTime = packet->relativeTime();
            timed = true;
        }
        appendItem(items, unixTime, relativeTime, 22 + 5 * j, 4, double(b.u32(at + 1)));
    }
    return true;
}

bool CtlScienceBinCountsDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                        GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    const PacketBytes b(packet);
    const uint64_t start = decodeId(row, 0);
    const uint64_t w = decodeId(row, 1);
    if ((w != 1 && w != 2) || !b.fits(start, 2))
        return true;
    const FieldMask mask(row);
    const double unixTime = packet->unixTime();
    const double relativeTime = packet->relativeTime();
    const int width = int(w);
    // Two bytes must remain even for 8-bit counts: the last byte is never a count.
    const size_t end = b.size - 2;
    items.reserve(items.size() + (end - size_t(start)) / size_t(width) + 1);
    for (size_t p = size_t(start); p <= end; p += size_t(width)) {
        const uint32_t raw = width == 1 ? b.u8(p) : b.u16(p);
        appendItem(items, unixTime, relativeTime, p, width, mask.apply(raw, width));
    }
    return true;
}

bool CtlScienceSumRfTotalsDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                          GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    const PacketBytes b(packet);
    if (b.size < MIN_PACKET)
        return false;
    const uint32_t n = b.u8(15);
    const uint64_t field = decodeId(row, 0);
    const uint64_t w = decodeId(row, 1);
    if (n == 0 || (w != 2 && w != 4) || field >= b.size)
        return true;
    const FieldMask mask(row);
    const int width = int(w);
    const double unixTime = packet->unixTime();
    const double relativeTime = packet->relativeTime();
    for (uint32_t k = 0; k < n; ++k) {
        const uint64_t p = 16 + 10 * uint64_t(k) + field;
        if (!b.fits(p, w))
            break; // the later records lie further out
        const uint32_t raw = width == 2 ? b.u16(size_t(p)) : b.u32(size_t(p));
        appendItem(items, unixTime, relativeTime, p, width, mask.apply(raw, width));
    }
    return true;
}

bool CtlScienceSumRfValuesDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                          GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    const PacketBytes b(packet);
    if (b.size < MIN_PACKET)
        return false;
    const uint64_t field = decodeId(row, 0);
    const uint64_t first = 16 + 10 * uint64_t(b.u8(15));
    if (field > b.size)
        return true;
    const FieldMask mask(row);
    const int32_t count = countOf(decodeId(row, 1));
    const double unixTime = packet->unixTime();
    const double relativeTime = packet->relativeTime();
    for (uint64_t p = first + field; b.fits(p, 2); p += 8)
        appendItem(items, unixTime, relativeTime, p, count, mask.apply(b.u16(size_t(p)), 2));
    return true;
}

bool MmcPiraniValuesDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                    GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    const PacketBytes b(packet);
    if (b.size < MIN_PACKET)
        return false;
    const uint64_t field = decodeId(row, 0);
    const uint64_t w = decodeId(row, 1);
    // Records begin at byte 28: a packet without room for one field has no
    // item, and only then is its base time (bytes 14 to 21) read.
    if (field > b.size || !b.fits(28 + field, 2) || (w != 2 && w != 4))
        return true;
    const FieldMask mask(row);
    const uint32_t seconds = b.u32(14) + uint32_t(UNIX_SECONDS_AT_2010);
    const uint32_t ticks = 40u * b.u32(18); // 40 ns each, modulo 2^32 as the instrument counts
    const double base = double(seconds) + double(ticks) / 1e9;
    const double relativeBase = packet->relativeTime();
    const int32_t wideCount = int32_t(row.byteOrder.size());
    for (uint64_t record = 28; b.fits(record + field, 2); record += 10) {
        const size_t p = size_t(record + field);
        const double d = b.u16(size_t(record)) / 10000.0;
        if (w == 2) {
            appendItem(items, base + d, relativeBase + d, p, 2, mask.apply(b.u16(p), 2));
        } else if (b.fits(p, 4)) {
            const uint32_t bits = b.u32(p) >> mask.shift;
            float f;
            std::memcpy(&f, &bits, sizeof f);
            appendItem(items, base + d, relativeBase + d, p, wideCount, double(f));
        }
    }
    return true;
}

bool MmcStripChartDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                  GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    const PacketBytes b(packet);
    if (b.size < MIN_PACKET)
        return false;
    const uint64_t channel = decodeId(row, 0);
    const int32_t count = countOf(decodeId(row, 1));
    const FieldMask mask(row);
    double unixTime = 0.0;
    double relativeTime = 0.0;
    bool timed = false;
    for (size_t c = 0; c < 4; ++c) {
        // The length test comes first: a channel byte past the end is not read.
        if (b.size < 22 + 2 * c || b.u8(16 + c) != channel)
            continue;
        if (!timed) {
            unixTime = packet->unixTime();
            relativeTime = packet->relativeTime();
            timed = true;
        }
        long k = long(b.size - 20) / 4;
        for (size_t p = 20 + 2 * c;; p += 8, --k) {
            const double before = double(k) / 1000.0;
            appendItem(items, unixTime - before, relativeTime - before, p, count, mask.apply(b.u16(p), 2));
            if (b.size < p + 10)
                break;
        }
    }
    return true;
}

bool MmcVRefCalibratedDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                      GseLib::DataItems& items, const GseLib::CurrentValueTable* values) const
{
    const PacketBytes b(packet);
    const uint64_t at = decodeId(row, 0);
    if (!b.fits(at, 2))
        return true;
    double value = FieldMask(row).apply(b.u16(size_t(at)), 2);
    int id = 0;
    if (values && vrefId_.lookup(dataInterp, &id)) {
        bool ok = false;
        const double reference = values->value(id, Gse::Raw, &ok);
        if (ok && reference != 0.0)
            value = value * 2.5 / reference;
    }
    appendItem(items, packet->unixTime(), packet->relativeTime(), at, 2, value);
    return true;
}

} // namespace TolvaGse
