#include "plugins/genericdecoder/numericdecoders.h"

#include "gselib/database/tmdatabaserow.h"
#include "plugins/genericdecoder/decodersupport_p.h"
#include "tools/util/bytes.h"

#include <bit>
#include <cstdint>

using namespace GenericDecoding;

namespace {

enum class Kind { Unsigned, TwosComp, Float, Double };

// Ranks outside 1..maxRank, or a shift list that does not match them, would
// shift a byte out of the value (a shift by its width or more is undefined):
// such a row decodes nothing.
bool layoutFits(const GseLib::TmDatabaseRow& row, std::uint32_t maxRank)
{
    if (row.shifts.size() != row.byteOrder.size())
        return false;
    const std::uint32_t maxShift = 8u * (maxRank - 1u);
    for (std::size_t k = 0; k < row.byteOrder.size(); ++k) {
        const std::uint32_t rank = row.byteOrder[k];
        if (rank < 1 || rank > maxRank || row.shifts[k] > maxShift)
            return false;
    }
    return true;
}

// (value AND mask) >> shift; a shift of 64 or more leaves nothing.
std::uint64_t maskAndShift(std::uint64_t value, unsigned long long mask, unsigned long long shift)
{
    if (mask != 0)
        value &= mask;
    return shift < 64 ? value >> shift : 0;
}

// The sign bit is bit (bits - 1) of the masked, shifted value: it counts the
// mask's bits, not their position. 0 or 64 bits: nothing to extend.
std::int64_t signExtend(std::uint64_t value, std::uint32_t bits)
{
    if (bits > 0 && bits < 64 && ((value >> (bits - 1)) & 1u))
        value |= ~std::uint64_t(0) << bits;
    return static_cast<std::int64_t>(value);
}

// One item per sample that fits in the packet, in the order of the offsets;
// samples that do not fit are skipped. Hot path: one layout check and one
// take of the packet's times per call, nothing allocated but the items.
template <Kind kind>
bool decodeSamples(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items)
{
    if (!packet)
        return !items.empty();
    if (!layoutFits(row, kind == Kind::Float ? 4u : 8u))
        return !items.empty();
    const PacketView view = viewOf(*packet);
    const std::size_t n = row.shifts.size();
    const std::uint32_t* shifts = row.shifts.data();
    const unsigned long long mask = decodeId(row.decodeIds, 2);
    const unsigned long long shift = decodeId(row.decodeIds, 3);
    bool timed = false;
    PacketTimes times;
    for (std::size_t i = 0; i < row.offsets.size(); ++i) {
        const std::uint64_t o = row.offsets[i];
        if (!fits(o, n, view.length))
            continue;
        std::uint64_t raw = 0;
        for (std::size_t k = 0; k < n; ++k)
            raw |= std::uint64_t(view.data[o + k]) << shifts[k];
        if (!timed) {
            times = timesOf(*packet);
            timed = true;
        }
        const double t = timeOffset(row.timeOffsets, i);
        GseLib::DataItem& item = appendItem(items, times.unixTime + t, times.relativeTime + t, o, row.byteOrder.size());
        if constexpr (kind == Kind::Unsigned) {
            item.value = static_cast<unsigned long long>(maskAndShift(raw, mask, shift));
        } else if constexpr (kind == Kind::TwosComp) {
            const std::uint64_t v = maskAndShift(raw, mask, shift);
            item.value = static_cast<long long>(signExtend(v, row.bitCount));
        } else if constexpr (kind == Kind::Float) {
            item.value = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(raw)));
        } else {
            item.value = std::bit_cast<double>(raw);
        }
    }
    return !items.empty();
}

} // namespace

QString UnsignedDecoder::name() const
{
    return QStringLiteral("unsigned_int");
}

bool UnsignedDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                             GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    return decodeSamples<Kind::Unsigned>(row, packet, items);
}

QString SimpleDecoder::name() const
{
    return QStringLiteral("simple");
}

QString SimpleDecoderLE::name() const
{
    return QStringLiteral("simple_le");
}

bool SimpleDecoderLE::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                             GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    if (!packet)
        return false;
    const PacketView view = viewOf(*packet);
    const std::uint64_t o = decodeId(row.decodeIds, 0);
    const std::uint64_t n = decodeId(row.decodeIds, 1);
    // Checked in 64 bits before the narrowing to the reader's 32-bit arguments.
    if (!fits(o, n, view.length))
        return false;
    const auto shift = static_cast<long long>(decodeId(row.decodeIds, 3));
    std::uint64_t value = 0;
    if (n > 0 && shift > -64 && shift < 64)
        value = Bytes::decodeSimpleLE(view.data, static_cast<unsigned int>(o), static_cast<unsigned int>(n),
                                      decodeId(row.decodeIds, 2), static_cast<int>(shift));
    const PacketTimes times = timesOf(*packet);
    appendItem(items, times.unixTime, times.relativeTime, o, n).value = static_cast<unsigned long long>(value);
    return true;
}

QString TwosCompDecoder::name() const
{
    return QStringLiteral("twos_comp");
}

bool TwosCompDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                             GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    return decodeSamples<Kind::TwosComp>(row, packet, items);
}

QString FloatDecoder::name() const
{
    return QStringLiteral("ieee754_float");
}

bool FloatDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                          GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    return decodeSamples<Kind::Float>(row, packet, items);
}

QString DoubleDecoder::name() const
{
    return QStringLiteral("ieee754_double");
}

bool DoubleDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                           GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    return decodeSamples<Kind::Double>(row, packet, items);
}
