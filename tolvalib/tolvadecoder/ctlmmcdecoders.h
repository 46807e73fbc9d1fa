#pragma once
// Decoders of the second instrument's CTL and MMC packets (decode types 100
// to 103 and 109 to 112): the ADC and register tables, the science bin
// counts, the summed-RF totals and values, the Pirani and strip-chart samples
// and readings calibrated against the 2.5 V reference. TolvaDecoderMaker
// makes them; the hub calls decode() after matching type and applicability.
//
// Positions count from the packet's first byte; a field that does not fit
// in the packet yields no item. Every item's value is a double.
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/datainterpretation.h"
#include "tolvalib/tolvadecoder/decoderfields.h"

namespace TolvaGse {

// 100, CTL_HK: 32 entries (channel, u16) from dataOffset() + 7; items for
// the entries of channel DECODE_ID1. Always true.
class CtlHkAdcValuesDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::CtlHkAdcValuesDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 101, CTL_STAT: 32 entries (register, u32) from dataOffset() + 15; registers
// up to 0x9F match by their low nibble, 0xA0 to 0xA9 whole. Always true.
class CtlStatusGenRegValuesDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::CtlStatusGenRegValuesDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 102: a run of 8- or 16-bit counts from DECODE_ID1 to the packet's end. Always true.
class CtlScienceBinCountsDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::CtlScienceBinCountsDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 103, CTL_SUM_RF: one field of each 10-byte total record. False below 16 bytes.
class CtlScienceSumRfTotalsDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::CtlScienceSumRfTotalsDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 109, CTL_SUM_RF: one 16-bit field of each 8-byte value record after the totals.
class CtlScienceSumRfValuesDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::CtlScienceSumRfValuesDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 110, MMC_PIRANI: one field of each 10-byte record, timed from the packet's
// own base time plus the record's offset.
class MmcPiraniValuesDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::MmcPiraniValuesDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 111, MMC_SC: the samples of the channels named DECODE_ID1, 1 ms apart.
class MmcStripChartDecoder : public GseLib::Decoder
{
public:
    int type() const override { return GseLib::DecodeType::MmcStripChartDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;
};

// 112: a 16-bit reading scaled by 2.5 V over the current raw value of
// MMC.HK:V_2P50_VREF; raw without a table or a usable reference. Always true.
class MmcVRefCalibratedDecoder : public GseLib::Decoder
{
public:
    static const char* const VREF_MNEMONIC;

    int type() const override { return GseLib::DecodeType::MmcVRefCalibratedDecoder; }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable* values) const override;

private:
    CachedDataId vrefId_{VREF_MNEMONIC};
};

} // namespace TolvaGse
