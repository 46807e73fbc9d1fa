#include "tolvalib/tolvadecoder/leuenergydecoders.h"

#include "conversion/saturatingcast.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/currentvaluetable.h"
#include "tolvalib/tolvadecoder/decoderfields.h"

#include <cmath>
#include <iostream>
#include <vector>

namespace {

using TolvaGse::CachedDataId;
using TolvaGse::FieldMask;
using TolvaGse::PacketBytes;

// Written before the out-of-bounds figures; log readers match this text.
const char* const ROUTINE_SIGNATURE =
    "void decodeLaserEnergySamples(const GseLib::TmDatabaseRow &, const GseLib::TMPacket *, GseLib::DataItems &, "
    "const GseLib::CurrentValueTable *)";

// Database keys are SUB_SYSTEM:NAME and this name has no colon, so with the
// usual databases it never resolves and the interval is the default.
const CachedDataId intervalId("LEU_STATUS.ENERGY_SAMPLE_INTERVAL_SETTING");
constexpr double DEFAULT_INTERVAL_US = 20.0;
constexpr unsigned SAMPLE_AREA_OFFSET = 20; // data bytes before the first sample

struct Sample
{
    double unixTime;
    double relativeTime;
    uint64_t offset;
    int32_t count;
    double value;
};

double sampleInterval(const GseLib::CurrentValueTable* values)
{
    int id = 0;
    if (!values || !intervalId.lookup(GseLib::DataInterpretation::current(), &id) || !values->hasValue(id))
        return DEFAULT_INTERVAL_US;
    bool ok = false;
    const double interval = values->value(id, Gse::Sci, &ok);
    return ok ? interval : DEFAULT_INTERVAL_US;
}

// Hands each sample of the run to `sink` in order; the statistics decoders
// use it without building a list.
template <typename Sink>
void forEachLaserSample(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                        const GseLib::CurrentValueTable* values, Sink&& sink)
{
    const unsigned int dl = packet->dataLength();
    const PacketBytes b(packet);
    const double interval = sampleInterval(values);
    if (dl < SAMPLE_AREA_OFFSET + 2)
        return;
    const unsigned int n = (dl - SAMPLE_AREA_OFFSET) / 2;
    const double t = packet->unixTime();
    const double r = packet->relativeTime();
    const FieldMask mask(row);
    uint64_t p = TolvaGse::decodeId(row, 0);
    const uint64_t w = TolvaGse::decodeId(row, 1);
    const int32_t count = TolvaGse::countOf(w);
    int32_t a = 0;
    for (unsigned int i = 0; i < n; ++i) {
        if (!b.fits(p, w)) {
            std::cout << ROUTINE_SIGNATURE << ' ' << row.key << ' ' << row.dataId << " Out of bounds: "
                      << "off(" << p << ") + len(" << w << ") > dataLength(" << dl << ")" << std::endl;
            return;
        }
        // Always two bytes: with a step of 1 (or 0) the second can lie past the end and reads as 0.
        const uint32_t raw = (b.byteOr0(p) << 8) | b.byteOr0(p + 1);
        a = TolvaGse::nextSampleOffsetUs(a, interval);
        const double seconds = a / 1000000.0;
        sink(Sample{t + seconds, r + seconds, p, count, mask.apply(raw, 2)});
        p += w;
    }
}

GseLib::DataItem itemOf(const Sample& s)
{
    GseLib::DataItem item;
    item.unixTime = s.unixTime;
    item.relativeTime = s.relativeTime;
    item.offset = static_cast<int32_t>(s.offset);
    item.count = s.count;
    item.value = s.value;
    return item;
}

// The statistics items stand for the whole packet: its length as the header gives it, no count.
int32_t wholePacketOffset(const GseLib::TMPacket* packet)
{
    return static_cast<int32_t>(packet->dataLength() + 6);
}

template <typename Better>
bool appendExtreme(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                   const GseLib::CurrentValueTable* values, Better better)
{
    bool any = false;
    Sample extreme{};
    forEachLaserSample(row, packet, values, [&](const Sample& s) {
        if (!any || better(s.value, extreme.value))
            extreme = s;
        any = true;
    });
    if (!any)
        return false;
    items.push_back(itemOf(extreme));
    return true;
}

} // namespace

void decodeLaserEnergySamples(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                              GseLib::DataItems& items, const GseLib::CurrentValueTable* values)
{
    forEachLaserSample(row, packet, values, [&](const Sample& s) { items.push_back(itemOf(s)); });
}

namespace TolvaGse {

int32_t nextSampleOffsetUs(int32_t a, double intervalUs)
{
    return nr::truncateSaturating<int32_t>(double(a) + intervalUs);
}

bool LeuEnergySampleValueDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                         GseLib::DataItems& items, const GseLib::CurrentValueTable* values) const
{
    decodeLaserEnergySamples(row, packet, items, values);
    return true;
}

bool LeuEnergySampleAvgDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                       GseLib::DataItems& items, const GseLib::CurrentValueTable* values) const
{
    size_t n = 0;
    double sum = 0.0;
    Sample first{};
    forEachLaserSample(row, packet, values, [&](const Sample& s) {
        if (n++ == 0)
            first = s;
        sum += s.value;
    });
    if (n == 0)
        return false;
    first.offset = uint32_t(wholePacketOffset(packet));
    first.count = -1;
    first.value = sum / double(n);
    items.push_back(itemOf(first));
    return true;
}

bool LeuEnergySampleMinDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                       GseLib::DataItems& items, const GseLib::CurrentValueTable* values) const
{
    return appendExtreme(row, packet, items, values, [](double v, double best) { return v < best; });
}

bool LeuEnergySampleMaxDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                       GseLib::DataItems& items, const GseLib::CurrentValueTable* values) const
{
    return appendExtreme(row, packet, items, values, [](double v, double best) { return v > best; });
}

bool LeuEnergySampleStdDevDecoder::decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                                          GseLib::DataItems& items, const GseLib::CurrentValueTable* values) const
{
    // Reused per thread: no allocation per packet once it has grown.
    thread_local std::vector<double> samples;
    samples.clear();
    forEachLaserSample(row, packet, values, [&](const Sample& s) { samples.push_back(s.value); });
    if (samples.empty())
        return false;

    GseLib::DataItems average;
    if (!LeuEnergySampleAvgDecoder().decode(row, packet, average, values) || average.empty())
        return false;
    const double mean = average.front().toDouble();
    double squares = 0.0;
    for (double v : samples)
        squares += (v - mean) * (v - mean);

    GseLib::DataItem& item = average.front();
    item.offset = wholePacketOffset(packet);
    item.count = -1;
    item.value = std::sqrt(squares / double(samples.size()));
    items.push_back(std::move(item));
    return true;
}

} // namespace TolvaGse
