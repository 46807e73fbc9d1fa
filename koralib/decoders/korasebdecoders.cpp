// The first instrument's pressure and SEB decoders: the micro-Pirani gauge
// records (raw pressure, mean, highest, lowest), the gauge pressure computed
// from its sensor voltages, the SEB ADC channel records, the SEB RF frequency,
// and two decoders pairing the values of two other rows (filament resistance,
// RF pressure referred to 293 K). Called by the hub for rows of types 220-226,
// 236 and 241; all share the decoder frame of koradatai.
#include "koralib/archive/koradatai.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/tmpacket.h"

#include <cmath>
#include <cstring>

namespace KorGse {

namespace KorDataInterpretationImpl {

namespace {

// Micro-Pirani packets: n at D[0..1], then 12-byte records whose first two
// bytes are the time step since the previous record in 100 us units.
constexpr unsigned PIRANI_RECORD = 12;
constexpr unsigned PIRANI_FIRST_STEP = 4;
constexpr double PIRANI_STEP_SECONDS = 0.0001;

// The records a packet holds: n, limited to those whose step lies inside N.
// A packet too short for its count says nothing.
uint32_t piraniRecords(const DecoderFrame& frame)
{
    const uint32_t n = frame.dataLength();
    if (n < PIRANI_FIRST_STEP)
        return 0;
    const uint32_t count = frame.data().be16(0);
    const uint32_t room = (n - PIRANI_FIRST_STEP) / PIRANI_RECORD;
    return count < room ? count : room;
}

// DECODE_ID2 as the row stores it: the bounds test uses all of it, so a length
// of 2^32 or more never fits even though the read takes its low 32 bits.
uint64_t storedLength(const DecoderFrame& frame)
{
    const DbRow& row = frame.row();
    return row.decodeIds.size() >= 4 ? uint64_t(row.decodeIds[1]) : 0;
}

uint32_t piraniStep(const DecoderFrame& frame, uint32_t j)
{
    return frame.data().be16(PIRANI_FIRST_STEP + size_t(PIRANI_RECORD) * j);
}

float singleOf(unsigned long raw)
{
    const uint32_t bits = uint32_t(raw);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t bitsOf(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// Highest or lowest single of the records read; record 0 is the first
// candidate and only a strictly better single replaces it (a NaN never does).
template <typename Better>
bool decodePiraniExtreme(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                         const char* signature, Better better)
{
    DecoderFrame frame(row, packet, items, signature);
    const uint32_t m = piraniRecords(frame);
    const uint64_t l = storedLength(frame);
    uint64_t o = frame.offset();
    uint64_t stepSum = 0;
    bool have = false;
    float best = 0.0f;
    double bestValue = 0.0;
    double bestTime = 0.0;
    for (uint32_t j = 0; j < m; ++j, o += PIRANI_RECORD) {
        if (!frame.fits(o, l))
            break;
        stepSum += piraniStep(frame, j);
        const unsigned long raw = frame.readField(o);
        const float f = singleOf(raw);
        if (!have || better(f, best)) {
            have = true;
            best = f;
            bestValue = double(raw);
            bestTime = double(stepSum) * PIRANI_STEP_SECONDS;
        }
    }
    frame.appendSummary(bestValue, bestTime);
    return true;
}

// u(x) of the algorithm decoder: the field's low 16 bits with their bytes exchanged.
double exchangedWord(const DecoderFrame& frame, uint64_t offset)
{
    const unsigned long x = frame.readField(offset);
    return double(((x & 0xFFu) << 8) | ((x >> 8) & 0xFFu));
}

// Decodes row `id` of the current hub from `packet` into a list of science
// values with the times of their items. False when the row decodes nothing.
struct ScienceValue
{
    double unixTime;
    double relativeTime;
    double value;
};

bool scienceValues(uint32_t id, const GseLib::TMPacket* packet, std::vector<ScienceValue>& out)
{
    GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    const DbRow& row = hub->db()->row(id); // an absent row throws to the hub
    GseLib::DataItems list;
    if (!hub->decodePacket(row, packet, list, true, nullptr))
        return false;
    out.reserve(list.size());
    for (const GseLib::DataItem& item : list)
        out.push_back({item.unixTime, item.relativeTime, row.convertValue(item.toDouble(), Gse::Sci)});
    return true;
}

// Pairs the science values of the rows DECODE_ID1 (a) and DECODE_ID2 (b) by
// the lengths of their lists; `combine` gives false to skip a pair.
template <typename Combine>
bool decodePairs(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items, Combine combine)
{
    if (row.decodeIds.size() < 2)
        return false;
    std::vector<ScienceValue> a;
    std::vector<ScienceValue> b;
    if (!scienceValues(uint32_t(row.decodeIds[0]), packet, a))
        return false;
    if (!scienceValues(uint32_t(row.decodeIds[1]), packet, b))
        return false;
    const size_t before = items.size();
    const size_t pairs = a.size() >= b.size() ? a.size() : b.size();
    const bool timesOfA = a.size() >= b.size();
    for (size_t i = 0; i < pairs; ++i) {
        const ScienceValue& x = a.size() < b.size() ? a[0] : a[i];
        const ScienceValue& y = a.size() > b.size() ? b[0] : b[i];
        double value;
        if (!combine(x.value, y.value, value))
            continue;
        const ScienceValue& timed = timesOfA ? x : y;
        GseLib::DataItem item;
        item.unixTime = timed.unixTime;
        item.relativeTime = timed.relativeTime;
        item.offset = -1;
        item.count = -1;
        item.value = value;
        items.push_back(std::move(item));
    }
    // Success is this call's: items from earlier calls say nothing about it.
    return items.size() > before;
}

} // namespace

bool MicroPiraniPressureDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                        const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    const uint32_t m = piraniRecords(frame);
    const uint64_t l = storedLength(frame);
    uint64_t o = frame.offset();
    double t = 0.0;
    for (uint32_t j = 0; j < m; ++j, o += PIRANI_RECORD) {
        if (!frame.fits(o, l))
            return true;
        t += piraniStep(frame, j) * PIRANI_STEP_SECONDS;
        frame.append(o, double(frame.readField(o)), t);
    }
    return true;
}

bool MicroPiraniPressureAvgDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet,
                                           GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    const uint32_t m = piraniRecords(frame);
    const uint64_t l = storedLength(frame);
    uint64_t o = frame.offset();
    uint64_t stepSum = 0;
    float sum = 0.0f;
    for (uint32_t j = 0; j < m; ++j, o += PIRANI_RECORD) {
        if (!frame.fits(o, l))
            break;
        stepSum += piraniStep(frame, j);
        sum += singleOf(frame.readField(o));
    }
    // Divided by m even after an overrun, as the gauge's tools do; m = 0 gives a NaN.
    const float mean = sum / float(m);
    frame.appendSummary(double(bitsOf(mean)), double(stepSum) * PIRANI_STEP_SECONDS * 0.5);
    return true;
}

bool MicroPiraniPressureHiDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                          const GseLib::CurrentValueTable*) const
{
    return decodePiraniExtreme(row, packet, items, SIGNATURE, [](float f, float best) { return f > best; });
}

bool MicroPiraniPressureLoDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                          const GseLib::CurrentValueTable*) const
{
    return decodePiraniExtreme(row, packet, items, SIGNATURE, [](float f, float best) { return f < best; });
}

bool SebAdcValueDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                const GseLib::CurrentValueTable*) const
{
    constexpr unsigned CHANNELS = 31;
    constexpr unsigned FIRST = 6;
    constexpr unsigned PERIOD_BYTE = 200;
    DecoderFrame frame(row, packet, items, SIGNATURE);
    // The layout fixes every position; a packet too short for it decodes nothing.
    if (frame.dataLength() <= PERIOD_BYTE)
        return true;
    const DataArea& d = frame.data();
    const uint64_t id = frame.offset();
    const double period = d.u8(PERIOD_BYTE) / 1000.0;
    double s = -31.0 * period;
    for (unsigned k = 0; k < CHANNELS; ++k, s += period) {
        const unsigned at = FIRST + 3 * k;
        if (d.u8(at) != id)
            continue;
        frame.append(at + 1, double(d.be16(at + 1)), s);
        items.back().count = 2;
    }
    return true;
}

bool MicroPiraniAlgorithmDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                         const GseLib::CurrentValueTable*) const
{
    constexpr unsigned REFERENCE = 81;
    constexpr int MAX_SAMPLES = 100;
    constexpr int WIDE_STRIDES = 14;
    DecoderFrame frame(row, packet, items, SIGNATURE);
    const uint64_t l = storedLength(frame);
    const DataArea& d = frame.data();
    // Nothing to refer the sensors to: no pressure.
    if (!d.holds(REFERENCE, l))
        return true;
    const double vRef = exchangedWord(frame, REFERENCE) * 7.629e-05 / 8.071 + 0.95;
    const double rRef = (vRef / (2.7001 - vRef)) * 7500.0;
    const double tRef = (std::sqrt((1376.35 - rRef) * (-4.0) * 0.05841 + 14.2103365156) - 3.76966) / 0.11682;
    const double p4 = std::pow(tRef, 4.0);
    const double k = std::pow(tRef, -0.5) * 0.004616294391145;

    uint64_t o = frame.offset();
    if (!d.holds(o, l))
        return true;
    double t = 0.0;
    for (int i = 0; i < MAX_SAMPLES; ++i) {
        const double v = exchangedWord(frame, o) * 7.629e-05 / 8.041 + vRef;
        const double r = (v / (2.7001 - v)) * 7500.0;
        const double temp = (std::sqrt((1364.47 - r) * (-4.0) * 0.05785 + 20.4758965009) - 4.52503) / 0.1157;
        const double dT = temp - tRef;
        const double pel = v * v / r;
        const double value = ((pel - (dT * 7.46e-07 + (std::pow(temp, 4.0) - p4) * 4.52350332e-15)) / (k * dT)) * 1000.0;
        frame.appendSummary(value, t);
        t += 0.01;
        o += i < WIDE_STRIDES ? 8 : 4;
        if (!d.holds(o, l))
            break;
    }
    return true;
}

bool SebRfFreqDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                              const GseLib::CurrentValueTable*) const
{
    if (row.decodeIds.size() < 2)
        return true;
    const GseLib::TelemetryDatabase* db = GseLib::DataInterpretation::current()->db();
    const DbRow& rowA = db->row(unsigned(uint32_t(row.decodeIds[0])));
    const DbRow& rowB = db->row(unsigned(uint32_t(row.decodeIds[1])));
    const DecoderFrame a(rowA, packet, items, SIGNATURE);
    const DecoderFrame b(rowB, packet, items, SIGNATURE);
    // Fields outside this packet give no frequency rather than a made-up one.
    if (!a.data().holds(a.offset(), storedLength(a)) || !b.data().holds(b.offset(), storedLength(b)))
        return true;
    const unsigned long va = a.readField(a.offset());
    if (va == 0)
        return true;
    const unsigned long vb = b.readField(b.offset());
    DecoderFrame frame(row, packet, items, SIGNATURE);
    frame.appendSummary((double(vb) / double(va)) * 5000.0);
    return true;
}

bool SebFilamentResistance::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                   const GseLib::CurrentValueTable*) const
{
    return decodePairs(row, packet, items, [](double a, double b, double& out) {
        if (b == 0.0)
            return false;
        out = a / b;
        return true;
    });
}

bool NormalizedRfPressure::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                  const GseLib::CurrentValueTable*) const
{
    return decodePairs(row, packet, items, [](double a, double b, double& out) {
        out = a * (293.0 / (b + 273.15));
        return true;
    });
}

} // namespace KorDataInterpretationImpl

} // namespace KorGse
