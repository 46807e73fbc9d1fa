// The laser decoders: one item per pulse of a laser pulses packet (pulse time,
// register values, UV energy under the ETU, flight and flight spare
// calibrations), one-item summaries over a packet's calibrated energies, and
// the laser housekeeping field timed by item 1094.
#include "koralib/decoders/koralaserdecoders.h"

#include "conversion/saturatingcast.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/tmpacket.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace KorGse::KorDataInterpretationImpl {

namespace {

// Laser pulses packet layout: the pulse count at data bytes 0..1, then one
// 16-byte record per pulse from byte 4, its clock count in the first 4 bytes.
constexpr uint64_t PULSE_RECORDS = 4;
constexpr uint64_t PULSE_STRIDE = 16;
constexpr unsigned CLOCK_LENGTH = 4;
constexpr unsigned long CLOCK_MASK = 0xFFFFFFFFul;

// Data item whose value, in milliseconds, paces the housekeeping item's time.
constexpr int HK_PERIOD_ITEM = 1094;

constexpr const char* ETU_SIGNATURE =
    "void KorGse::KorDataInterpretationImpl::decodeLaserEnergyUvEtuCalibrated(const "
    "KorGse::KorDataInterpretationImpl::DbRow &, const GseLib::TMPacket *, GseLib::DataItems &, const "
    "GseLib::CurrentValueTable *)";
constexpr const char* FLIGHT_SIGNATURE =
    "void KorGse::KorDataInterpretationImpl::decodeLaserEnergyUvFlightCalibrated(const "
    "KorGse::KorDataInterpretationImpl::DbRow &, const GseLib::TMPacket *, GseLib::DataItems &, const "
    "GseLib::CurrentValueTable *)";
constexpr const char* FLIGHT_SPARE_SIGNATURE =
    "void KorGse::KorDataInterpretationImpl::decodeLaserEnergyUvFlightSpareCalibrated(const "
    "KorGse::KorDataInterpretationImpl::DbRow &, const GseLib::TMPacket *, GseLib::DataItems &, const "
    "GseLib::CurrentValueTable *)";

struct Selectors
{
    unsigned long low;
    unsigned long high;
};

// DECODE_ID2 as stored: the bounds check takes all 64 bits, so a length of
// 2^32 or more never fits, though a read uses its low 32 bits.
uint64_t storedLength(const DecoderFrame& f)
{
    return f.row().decodeIds.size() >= 4 ? f.row().decodeIds[1] : 0;
}


// The range bits of an energy word, from the field's bytes with the row's shift.
Selectors selectors(const DecoderFrame& f, unsigned long raw)
{
    return {(DecoderFrame::maskAndShift(raw, 0x3000, f.shift()) >> 12) & 0xFF, (DecoderFrame::maskAndShift(raw, 0xC000, f.shift()) >> 14) & 0xFF};
}

// Room for k more items; grows geometrically so a list that getData fills
// packet after packet is not copied on every call.
void reserveFor(GseLib::DataItems& items, size_t k)
{
    if (items.capacity() - items.size() >= k)
        return;
    items.reserve(std::max(items.size() + k, items.capacity() * 2));
}

double fieldValue(const DecoderFrame&, unsigned long, unsigned long field)
{
    return double(field);
}

double etuFit(const DecoderFrame& f, unsigned long raw, unsigned long field)
{
    const double x = double(field) / 1000.0;
    const Selectors s = selectors(f, raw);
    if (s.high == 1 && s.low == 0)
        return 80.71406 * x - 12.0076;
    if (s.high == 1 && s.low == 1)
        return 29.82948 * x - 2.65053;
    if (s.high == 0 && s.low == 1)
        return 19.81893 * x - 0.87182;
    return x;
}

double etuCalibrated(const DecoderFrame& f, unsigned long raw, unsigned long field)
{
    const Selectors s = selectors(f, raw);
    double k = 1.0;
    if (s.high == 1 && s.low == 0)
        k = 0.0836;
    else if (s.high == 1 && s.low == 1)
        k = 0.0323;
    else if (s.high == 0 && s.low == 1)
        k = 0.0215;
    return double(field) * k;
}

double flightCalibrated(const DecoderFrame& f, unsigned long raw, unsigned long field)
{
    const double F = double(field);
    const Selectors s = selectors(f, raw);
    if (s.high != 0)
        return F;
    switch (s.low) {
    case 0: return 0.05045 * F - 0.79244;
    case 1: return 0.01966 * F + 0.26179;
    case 3: return 0.00701 * F + 0.43667;
    default: return F;
    }
}

double flightSpareCalibrated(const DecoderFrame& f, unsigned long raw, unsigned long field)
{
    const double F = double(field);
    const Selectors s = selectors(f, raw);
    if (s.high != 0)
        return F;
    switch (s.low) {
    case 0: return 0.05619 * F - 0.08587;
    case 1: return 0.02205 * F + 0.462;
    case 3: return 0.008 * F + 0.45496;
    default: return F;
    }
}

using PulseValue = double (*)(const DecoderFrame&, unsigned long, unsigned long);

// One item per pulse: value(frame, raw word, F) gives its value, inline as a
// template argument. With `fieldIsClock` F itself is the pulse's clock
// count, else the record's own clock is read.
template <PulseValue value>
void walkPulses(DecoderFrame& f, bool fieldIsClock)
{
    const DataArea& d = f.data();
    if (d.size() < 2)
        return;
    const uint64_t n = d.be16(0);
    uint64_t o = f.offset();
    uint64_t c = PULSE_RECORDS;
    // The records that can fit bound the room taken, whatever the count says.
    const uint64_t fitting = o < d.size() ? (d.size() - o) / PULSE_STRIDE + 1 : 0;
    reserveFor(f.items(), size_t(std::min(n, fitting)));
    for (uint64_t i = 0; i < n; ++i, o += PULSE_STRIDE, c += PULSE_STRIDE) {
        if (!f.fits(o, storedLength(f)))
            return;
        // The word's bytes are assembled once; F and the selectors come from them.
        const unsigned long raw = f.read(o, f.length(), ~0ul, 0);
        const unsigned long field = DecoderFrame::maskAndShift(raw, f.mask(), f.shift());
        const double v = value(f, raw, field);
        unsigned long count = field;
        if (!fieldIsClock) {
            if (!f.fits(c, CLOCK_LENGTH))
                return;
            count = f.read(c, CLOCK_LENGTH, CLOCK_MASK, 0);
        }
        f.appendAtTicks(o, v, nr::truncateSaturating<long long>(double(count)));
    }
}

using Routine = void (*)(const DbRow&, const GseLib::TMPacket*, GseLib::DataItems&, const GseLib::CurrentValueTable*);

// The pulse energies of one packet under a calibration, on a list of their own.
GseLib::DataItems pulses(Routine routine, const DbRow& row, const GseLib::TMPacket* packet)
{
    GseLib::DataItems own;
    routine(row, packet, own, nullptr);
    return own;
}

GseLib::DataItem summaryOf(const GseLib::DataItem& first, double value)
{
    GseLib::DataItem item;
    item.unixTime = first.unixTime;
    item.relativeTime = first.relativeTime;
    item.offset = -1;
    item.count = -1;
    item.value = value;
    return item;
}

bool average(Routine routine, const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items)
{
    const GseLib::DataItems own = pulses(routine, row, packet);
    if (own.empty())
        return false;
    double sum = 0.0;
    for (const GseLib::DataItem& p : own)
        sum += p.toDouble();
    items.push_back(summaryOf(own.front(), sum / double(own.size())));
    return true;
}

// The chosen pulse item itself; a later pulse replaces it only when `better`
// holds strictly, so ties keep the earliest and a NaN never replaces.
template <class Better>
bool extreme(Routine routine, const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
             Better better)
{
    const GseLib::DataItems own = pulses(routine, row, packet);
    if (own.empty())
        return false;
    size_t chosen = 0;
    double best = own.front().toDouble();
    for (size_t i = 1; i < own.size(); ++i) {
        const double v = own[i].toDouble();
        if (better(v, best)) {
            best = v;
            chosen = i;
        }
    }
    GseLib::DataItem item = own[chosen];
    item.value = best;
    items.push_back(std::move(item));
    return true;
}

// Population standard deviation about the mean the calibration's average gives.
bool standardDeviation(Routine routine, const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items)
{
    const GseLib::DataItems own = pulses(routine, row, packet);
    // The mean is the average's, whose own walk of the pulses gives these same
    // items: the packet is decoded twice, so an overrun prints twice. A walk
    // that read every pulse printed nothing and would give nothing new, so the
    // second walk runs only when this one stopped short (bench_kora: the
    // deviation at half the cost of two walks).
    const DataArea data(packet);
    if (data.size() >= 2 && own.size() < data.be16(0)) {
        GseLib::DataItems again;
        routine(row, packet, again, nullptr);
    }
    if (own.empty())
        return false;
    double sum = 0.0;
    for (const GseLib::DataItem& p : own)
        sum += p.toDouble();
    const double m = sum / double(own.size());
    double squares = 0.0;
    for (const GseLib::DataItem& p : own) {
        const double d = p.toDouble() - m;
        squares += d * d;
    }
    items.push_back(summaryOf(own.front(), std::sqrt(squares / double(own.size()))));
    return true;
}

bool smaller(double a, double b)
{
    return a < b;
}

bool larger(double a, double b)
{
    return a > b;
}

} // namespace

void decodeLaserEnergyUvEtuCalibrated(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                      const GseLib::CurrentValueTable*)
{
    DecoderFrame f(row, packet, items, ETU_SIGNATURE);
    walkPulses<etuCalibrated>(f, false);
}

void decodeLaserEnergyUvFlightCalibrated(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                         const GseLib::CurrentValueTable*)
{
    DecoderFrame f(row, packet, items, FLIGHT_SIGNATURE);
    walkPulses<flightCalibrated>(f, false);
}

void decodeLaserEnergyUvFlightSpareCalibrated(const DbRow& row, const GseLib::TMPacket* packet,
                                              GseLib::DataItems& items, const GseLib::CurrentValueTable*)
{
    DecoderFrame f(row, packet, items, FLIGHT_SPARE_SIGNATURE);
    walkPulses<flightSpareCalibrated>(f, false);
}

bool LaserPulseTimeDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                   const GseLib::CurrentValueTable*) const
{
    DecoderFrame f(row, packet, items, SIGNATURE);
    walkPulses<fieldValue>(f, true);
    return true;
}

bool LaserPulseRegsDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                   const GseLib::CurrentValueTable*) const
{
    DecoderFrame f(row, packet, items, SIGNATURE);
    walkPulses<fieldValue>(f, false);
    return true;
}

bool LaserEnergyUvEtuDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                     const GseLib::CurrentValueTable*) const
{
    DecoderFrame f(row, packet, items, SIGNATURE);
    walkPulses<etuFit>(f, false);
    return true;
}

#define KORA_LASER_ENERGY(Class, routine)                                                                         \
    bool Class::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,                 \
                       const GseLib::CurrentValueTable* values) const                                             \
    {                                                                                                             \
        routine(row, packet, items, values);                                                                      \
        return true;                                                                                              \
    }

KORA_LASER_ENERGY(LaserEnergyUvEtuCalibratedDecoder, decodeLaserEnergyUvEtuCalibrated)
KORA_LASER_ENERGY(LaserEnergyUvFlightDecoder, decodeLaserEnergyUvFlightCalibrated)
KORA_LASER_ENERGY(LaserEnergyUvFlightSpareDecoder, decodeLaserEnergyUvFlightSpareCalibrated)
#undef KORA_LASER_ENERGY

#define KORA_LASER_SUMMARIES(Calibration, routine)                                                                \
    bool LaserEnergyUv##Calibration##AvgDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet,          \
                                                        GseLib::DataItems& items,                                 \
                                                        const GseLib::CurrentValueTable*) const                   \
    {                                                                                                             \
        return average(routine, row, packet, items);                                                              \
    }                                                                                                             \
    bool LaserEnergyUv##Calibration##MinDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet,          \
                                                        GseLib::DataItems& items,                                 \
                                                        const GseLib::CurrentValueTable*) const                   \
    {                                                                                                             \
        return extreme(routine, row, packet, items, smaller);                                                     \
    }                                                                                                             \
    bool LaserEnergyUv##Calibration##MaxDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet,          \
                                                        GseLib::DataItems& items,                                 \
                                                        const GseLib::CurrentValueTable*) const                   \
    {                                                                                                             \
        return extreme(routine, row, packet, items, larger);                                                      \
    }                                                                                                             \
    bool LaserEnergyUv##Calibration##StdDevDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet,       \
                                                           GseLib::DataItems& items,                              \
                                                           const GseLib::CurrentValueTable*) const                \
    {                                                                                                             \
        return standardDeviation(routine, row, packet, items);                                                    \
    }

KORA_LASER_SUMMARIES(Etu, decodeLaserEnergyUvEtuCalibrated)
KORA_LASER_SUMMARIES(Flight, decodeLaserEnergyUvFlightCalibrated)
KORA_LASER_SUMMARIES(FlightSpare, decodeLaserEnergyUvFlightSpareCalibrated)
#undef KORA_LASER_SUMMARIES

bool LaserHkDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                            const GseLib::CurrentValueTable*) const
{
    DecoderFrame f(row, packet, items, SIGNATURE);
    // No overrun line here: a field outside the data gives no item.
    if (!f.data().holds(f.offset(), storedLength(f)))
        return true;
    const double field = double(f.readField(f.offset()));
    bool ok = false;
    const double v = GseLib::DataInterpretation::current()->getValue(HK_PERIOD_ITEM, packet, Gse::Sci, &ok, true,
                                                                      nullptr);
    const double wholeSeconds = ok ? std::trunc(nr::truncateSaturating<int32_t>(v) / 1000.0) : 0.0;
    const double t = double(f.offset()) * 0.5 * wholeSeconds;
    f.append(f.offset(), field, t);
    return true;
}

} // namespace KorGse::KorDataInterpretationImpl
