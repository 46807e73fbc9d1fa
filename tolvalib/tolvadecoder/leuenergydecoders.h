#pragma once
// Laser energy samples of the second instrument's LEU packets (decode types
// 104 to 108): every sample with its own time, or the run's average, minimum,
// maximum or population standard deviation. All read the run through
// decodeLaserEnergySamples; TolvaDecoderMaker makes the five decoders.
//
// A run that leaves the packet ends with one line on the standard output
// stream (not the logger): tools that read that stream rely on its text.
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/datainterpretation.h"

namespace GseLib {
class CurrentValueTable;
class TmDatabaseRow;
class TMPacket;
} // namespace GseLib

// Appends one item per sample: DECODE_ID1 is the first sample's position,
// DECODE_ID2 the step (and each item's count), DECODE_ID3/4 mask and shift.
// Samples lie one interval apart (LEU_STATUS.ENERGY_SAMPLE_INTERVAL_SETTING
// from the table, in microseconds; 20.0 when it cannot be had).
void decodeLaserEnergySamples(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet,
                              GseLib::DataItems& items, const GseLib::CurrentValueTable* values);

namespace TolvaGse {

// The interval step on its own: the sample offset after `a` microseconds,
// truncated toward zero to a whole number (saturating).
int32_t nextSampleOffsetUs(int32_t a, double intervalUs);

// 104: every sample; true whether or not any was found.
class LeuEnergySampleValueDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::LeuEnergySampleValueDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 105: the mean, at the first sample's time, offset dataLength() + 6, count -1.
class LeuEnergySampleAvgDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::LeuEnergySampleAvgDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 106: the earliest smallest sample.
class LeuEnergySampleMinDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::LeuEnergySampleMinDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 107: the earliest largest sample.
class LeuEnergySampleMaxDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::LeuEnergySampleMaxDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 108: the population standard deviation about the average decoder's mean
// (which decodes the packet a second time, out-of-bounds line included).
class LeuEnergySampleStdDevDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::LeuEnergySampleStdDevDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

} // namespace TolvaGse
