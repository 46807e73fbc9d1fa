// The MAIF, RSIM bus and rover bus decoders (decode types 207-214, 227-229,
// 247-250): the MAIF record streams with their per-packet layout, the RSIM
// bus current with its one-second minimum, maximum and mean, the RSIM powers
// from two singles and the rover powers from two other data items.
#include "koralib/archive/koradatai.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/valuemode.h"
#include "gselib/packets/tmpacket.h"
#include "tools/util/bytes.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace KorGse {

namespace KorDataInterpretationImpl {

namespace {

// Packets shorter than this carry the old MAIF record layout whatever their
// FPGA says.
constexpr uint32_t MAIF_NEW_LAYOUT_MIN_LENGTH = 469;
// Samples 2 bytes each at 400 per second: one byte is 0.5 x 2.5 ms.
constexpr double MAIF_SECONDS_PER_BYTE_HALF = 0.5;
constexpr double MAIF_SAMPLE_PERIOD = 0.0025;
constexpr uint64_t MAIF_SAMPLE_BYTES = 458;
constexpr int MAIF_STREAM_SAMPLES = 100;
constexpr double MAIF_STREAM_STEP = 0.01;
constexpr int MAIF_MINUTE_SAMPLES = 6000;
constexpr int RSIM_SAMPLES = 1000;
constexpr double RSIM_STEP = 0.001;

struct MaifLayout
{
    unsigned header = 3; // h
    double start = -1.0; // s0
};

// The record layout of this packet. Row 831 names the FPGA word; a word that
// does not lie inside the data area is taken as the old layout (the exported
// getMaifFpgaVersion reads it unchecked).
MaifLayout maifLayout(const DecoderFrame& frame)
{
    MaifLayout layout;
    if (frame.dataLength() < MAIF_NEW_LAYOUT_MIN_LENGTH)
        return layout;
    const DbRow& fpga = GseLib::DataInterpretation::current()->db()->row(831u);
    if (fpga.decodeIds.size() < 4)
        return layout;
    const uint64_t offset = fpga.decodeIds[0];
    const uint32_t length = uint32_t(fpga.decodeIds[1]);
    if (!frame.data().holds(offset, length))
        return layout;
    const unsigned long word =
        frame.read(offset, length, fpga.decodeIds[2], int(uint32_t(fpga.decodeIds[3])));
    if ((word & 0xFC00) > 0x2B00) {
        layout.header = 5;
        // N >= 469, so the clock word at D[3..4] is inside the data.
        layout.start = -extractMaifTimestampSecs(frame.data().data());
    }
    return layout;
}

// DECODE_ID2 as stored: the bounds test sees all 64 bits, so a length of 2^32
// or more never fits even though the read uses the low 32 bits.
uint64_t storedLength(const DecoderFrame& frame)
{
    const auto& ids = frame.row().decodeIds;
    return ids.size() >= 4 ? uint64_t(ids[1]) : 0;
}

// Grow the caller's list geometrically even when it is grown call by call.
void reserveMore(GseLib::DataItems& items, size_t more)
{
    const size_t wanted = items.size() + more;
    if (wanted > items.capacity())
        items.reserve(std::max(wanted, 2 * items.capacity()));
}

// How many of `count` samples `stride` bytes apart from `offset` the data can hold at most.
size_t samplesAtMost(const DecoderFrame& frame, uint64_t offset, uint64_t stride, size_t count)
{
    if (offset > frame.dataLength())
        return 0;
    return size_t(std::min<uint64_t>(count, (frame.dataLength() - offset) / stride + 1));
}

// The MAIF pressure (current = false) and current streams: 100 samples at
// 100 per second, 8 bytes apart for the first fourteen steps, then 4; the
// current stream has one step of 6 after its sample 14.
bool decodeMaifStream(DecoderFrame& frame, bool current)
{
    const MaifLayout layout = maifLayout(frame);
    uint64_t o = frame.offset();
    const uint64_t l = storedLength(frame);
    double s = current ? layout.start
                       : layout.start + (double(o) - double(layout.header)) * MAIF_SECONDS_PER_BYTE_HALF *
                                            MAIF_SAMPLE_PERIOD;
    reserveMore(frame.items(), samplesAtMost(frame, o, 4, MAIF_STREAM_SAMPLES));
    for (int k = 0; k < MAIF_STREAM_SAMPLES; ++k) {
        if (!frame.fits(o, l))
            return true;
        frame.append(o, double(frame.readFieldLE(o)), s);
        s += MAIF_STREAM_STEP;
        if (k < 14)
            o += 8;
        else if (current && k == 14)
            o += 6;
        else
            o += 4;
    }
    return true;
}

// The RSIM bus current samples: 1000 big-endian fields 2 bytes apart.
template<typename Visit>
void walkRsimCurrent(const DecoderFrame& frame, Visit&& visit)
{
    uint64_t o = frame.offset();
    const uint64_t l = storedLength(frame);
    for (int k = 0; k < RSIM_SAMPLES; ++k, o += 2) {
        if (!frame.fits(o, l))
            return;
        visit(k, o, double(frame.readField(o)));
    }
}

// The minimum (smaller = true) or maximum sample; ties keep the earlier one.
// No sample read, no item.
bool decodeRsimExtreme(DecoderFrame& frame, bool smaller)
{
    int bestIndex = -1;
    uint64_t bestOffset = 0;
    double best = 0.0;
    walkRsimCurrent(frame, [&](int k, uint64_t o, double v) {
        if (bestIndex < 0 || (smaller ? v < best : v > best)) {
            bestIndex = k;
            bestOffset = o;
            best = v;
        }
    });
    if (bestIndex >= 0)
        frame.append(bestOffset, best, bestIndex / 1000.0 + (-1.0));
    return true;
}

// The RSIM bus power: the singles at DECODE_ID1 and `distance` bytes further on.
bool decodeRsimPower(DecoderFrame& frame, uint64_t distance)
{
    const uint64_t o = frame.offset();
    const uint64_t l = storedLength(frame);
    if (!frame.fits(o, l))
        return false;
    // o <= N here, so o + distance cannot wrap.
    if (!frame.fits(o + distance, l))
        return false;
    const float v = std::bit_cast<float>(uint32_t(frame.readField(o)));
    const float i = std::bit_cast<float>(uint32_t(frame.readField(o + distance)));
    frame.appendSummary(double(v) * double(i), -0.5);
    return true;
}

// The science value of the first item of row `id` decoded from `packet`;
// false when that row decodes nothing.
bool scienceValueOf(const GseLib::DataInterpretation* hub, uint32_t id, const GseLib::TMPacket* packet,
                    double& value)
{
    const DbRow& row = hub->db()->row(id);
    GseLib::DataItems list;
    if (!hub->decodePacket(row, packet, list, true, nullptr) || list.empty())
        return false;
    value = row.convertValue(list.front().toDouble(), Gse::Sci);
    return true;
}

} // namespace

bool MaifDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                         const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    const uint64_t o = frame.offset();
    if (!frame.fits(o, storedLength(frame)))
        return false;
    const MaifLayout layout = maifLayout(frame);
    double s = 0.0;
    if (o >= layout.header && o < layout.header + MAIF_SAMPLE_BYTES)
        s = layout.start + double(o - layout.header) * MAIF_SECONDS_PER_BYTE_HALF * MAIF_SAMPLE_PERIOD;
    frame.append(o, double(frame.readFieldLE(o)), s);
    return true;
}

bool MaifPressureDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                 const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    return decodeMaifStream(frame, false);
}

bool MaifCurrentDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    return decodeMaifStream(frame, true);
}

bool Maif1MinDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                             const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    uint64_t o = frame.offset();
    const uint64_t l = storedLength(frame);
    // The block's milliseconds sit before the samples that start at 6; a
    // field that does not fit reads as 0.
    unsigned ms = 0;
    if (o == 6) {
        const unsigned long field = frame.readField(4);
        ms = unsigned(((field & 0xFF) << 8) | ((field >> 8) & 0xFF));
    }
    double s = -(ms / 1000.0 + 60.0);
    reserveMore(frame.items(), samplesAtMost(frame, o, 2, MAIF_MINUTE_SAMPLES));
    for (int k = 0; k < MAIF_MINUTE_SAMPLES; ++k, o += 2) {
        if (!frame.fits(o, l))
            return true;
        frame.append(o, double(frame.readFieldLE(o)), s);
        s += MAIF_STREAM_STEP;
    }
    return true;
}

bool RsimBus1CurrentDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                    const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    reserveMore(frame.items(), samplesAtMost(frame, frame.offset(), 2, RSIM_SAMPLES));
    double s = -1.0;
    walkRsimCurrent(frame, [&](int, uint64_t o, double v) {
        frame.append(o, v, s);
        s += RSIM_STEP;
    });
    return true;
}

bool RsimBus1CurrentMinDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                       const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    return decodeRsimExtreme(frame, true);
}

bool RsimBus1CurrentMaxDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                       const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    return decodeRsimExtreme(frame, false);
}

bool RsimBus1CurrentAvgDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                       const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    double sum = 0.0;
    walkRsimCurrent(frame, [&](int, uint64_t, double v) { sum += v; });
    // Always the mean over a whole second, also when the packet ended early.
    frame.appendSummary(sum / 1000.0, -0.5);
    return true;
}

bool RsimBus1PowerDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                  const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    return decodeRsimPower(frame, 12);
}

bool RsimBus2PowerDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                  const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    return decodeRsimPower(frame, 8);
}

bool RsimBus3PowerDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                  const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    return decodeRsimPower(frame, 4);
}

bool RoverBus1PowerDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                   const GseLib::CurrentValueTable*) const
{
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    if (!hub || row.decodeIds.size() < 2)
        return false;
    double v = 0.0;
    double i = 0.0;
    if (!scienceValueOf(hub, uint32_t(row.decodeIds[0]), packet, v))
        return false;
    if (!scienceValueOf(hub, uint32_t(row.decodeIds[1]), packet, i))
        return false;
    DecoderFrame frame(row, packet, items, KORA_DECODE_SIGNATURE(RoverBus1PowerDecoder));
    frame.appendSummary(v * i);
    return true;
}

} // namespace KorDataInterpretationImpl

} // namespace KorGse
