#pragma once
// The first instrument's interpretation hub: the factory handed to
// DataInterpretation::init, the hub that files the instrument's decoders
// (decode types 203 to 250, rows of builtindecodetypes.h) at every decoder
// load and reads its DAC table file, and the decoder frame those decoders
// share: data area, bounds check with its overrun line on standard output,
// and item building. Offsets of these decoders count from the first data
// byte; items report them + 8.
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/datainterpretation.h"
#include "koralib/archive/dataarea.h"

#include <cstdint>

namespace GseLib {
class TmDatabaseRow;
class DacTable;
class CurrentValueTable;
class TMPacket;
} // namespace GseLib

namespace KorGse {

class KorDataInterpretationFactory : public GseLib::DataInterpretationFactory
{
public:
    ~KorDataInterpretationFactory() override;
    std::unique_ptr<GseLib::DataInterpretation> make() override;
};

class KorDataInterpretation : public GseLib::DataInterpretation
{
public:
    ~KorDataInterpretation() override;

    // The built-in decoders in their fixed order; decoder plugins loaded
    // afterwards replace a built-in decoder of the same type.
    void populateCustomDecoders() override;
    // The DAC table file: '#' lines are comments; a path that is not a
    // readable plain file leaves the table empty and its file name unset.
    void populateDacTable(GseLib::DacTable& table, const QString& path) override;
};

namespace KorDataInterpretationImpl {

using DbRow = GseLib::TmDatabaseRow;

// Items of a decoded field report their offset in the whole packet.
constexpr int ITEM_OFFSET_BIAS = 8;

// One decode call's view of the packet: the data area and N (dataLength(),
// capped at the bytes after dataOffset()), the row's field parameters, the
// bounds check and the items it appends.
class DecoderFrame
{
public:
    // `signature` names the reporting function in the overrun line.
    DecoderFrame(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items, const char* signature);

    const DataArea& data() const { return data_; }
    // The N the bounds check compares with.
    uint32_t dataLength() const { return uint32_t(data_.size()); }

    // The row's field: DECODE_ID1 (offset in the data area), DECODE_ID2 (low 32
    // bits: length), DECODE_ID3 (mask), DECODE_ID4 (low 32 bits, signed: shift).
    uint64_t offset() const { return offset_; }
    uint32_t length() const { return length_; }
    uint64_t mask() const { return mask_; }
    int shift() const { return shift_; }

    // True when `length` bytes at `offset` lie inside N (no overflow for any
    // pair); otherwise writes the overrun line to standard output, flushes it
    // and returns false. Inline: the sample walks call it per sample.
    bool fits(uint64_t offset, uint64_t length) const { return data_.holds(offset, length) || overrun(offset, length); }

    // The row's field at `offset`, big-endian or little-endian; 0 unless fits()
    // holds for it, so an unchecked read can never leave the packet.
    unsigned long readField(uint64_t offset) const { return read(offset, length_, mask_, shift_); }
    unsigned long readFieldLE(uint64_t offset) const
    {
        if (length_ == 0 || !data_.holds(offset, length_))
            return 0;
        unsigned long v = 0;
        for (unsigned i = length_; i > 0; --i)
            v = (v << 8) | data_.data()[offset + i - 1];
        return maskAndShift(v, mask_, shift_);
    }
    // A field the packet layout fixes; 0 when it is not wholly inside the data.
    // As Bytes::decodeSimple reads it (bytes beyond eight push the first out).
    unsigned long read(uint64_t offset, unsigned int length, unsigned long mask, int shift) const
    {
        if (length == 0 || !data_.holds(offset, length))
            return 0;
        unsigned long v = 0;
        for (unsigned i = 0; i < length; ++i)
            v = (v << 8) | data_.data()[offset + i];
        return maskAndShift(v, mask, shift);
    }
    // The field read's mask and shift: right by the count, left by its
    // magnitude when negative, counts taken modulo 64.
    static unsigned long maskAndShift(unsigned long v, unsigned long mask, int shift)
    {
        v &= mask;
        if (shift >= 0)
            return v >> (unsigned(shift) & 63u);
        return v << ((0u - unsigned(shift)) & 63u);
    }

    // One sample at data-area `offset`, timed by the packet plus `timeOffset`
    // seconds (the packet's times are taken once per frame). Inline and built
    // in place: the sample decoders call it per item (bench_kora holds the line).
    void append(uint64_t offset, double value, double timeOffset = 0.0)
    {
        if (!timesTaken_)
            takeTimes();
        GseLib::DataItem& item = items_.emplace_back();
        item.unixTime = unixTime_ + timeOffset;
        item.relativeTime = relativeTime_ + timeOffset;
        item.offset = itemOffset(offset);
        item.count = int32_t(length_);
        item.value = value;
    }
    // One sample timed by a clock count found in the packet.
    void appendAtTicks(uint64_t offset, double value, long long ticks);
    // A summary of several samples: offset and count -1.
    void appendSummary(double value, double timeOffset = 0.0);

    const DbRow& row() const { return row_; }
    const GseLib::TMPacket* packet() const { return packet_; }
    GseLib::DataItems& items() const { return items_; }

    // The item offset of data-area `offset`: its packet offset, held at INT32_MAX.
    static int32_t itemOffset(uint64_t offset)
    {
        return offset >= uint64_t(INT32_MAX) - ITEM_OFFSET_BIAS ? INT32_MAX : int32_t(offset + ITEM_OFFSET_BIAS);
    }

private:
    bool overrun(uint64_t offset, uint64_t length) const;
    void takeTimes();

    const DbRow& row_;
    const GseLib::TMPacket* packet_;
    GseLib::DataItems& items_;
    const char* signature_;
    DataArea data_;
    uint64_t offset_ = 0;
    uint32_t length_ = 0;
    uint64_t mask_ = 0;
    int shift_ = 0;
    bool timesTaken_ = false;
    double unixTime_ = 0.0;
    double relativeTime_ = 0.0;
};

// Seconds of a MAIF record's clock: the little-endian word at p[3..4] / 32000.
double extractMaifTimestampSecs(const unsigned char* p);
// Bits 8..15 of the field row 831 of the current hub describes in the record.
unsigned getMaifFpgaVersion(const unsigned char* p);

#define KORA_DECODE_SIGNATURE(Class)                                                                               \
    "virtual bool KorGse::KorDataInterpretationImpl::" #Class                                                      \
    "::decode(const KorGse::KorDataInterpretationImpl::DbRow &, const GseLib::TMPacket *, GseLib::DataItems &, " \
    "const GseLib::CurrentValueTable *) const"

// Each class takes its decode type from the library's table, under its own name.
#define KORA_DECODER(Class)                                                                                        \
    class Class : public GseLib::Decoder                                                                           \
    {                                                                                                              \
    public:                                                                                                        \
        static constexpr int TYPE = GseLib::DecodeType::Class;                                                     \
        static constexpr const char* SIGNATURE = KORA_DECODE_SIGNATURE(Class);                                     \
        int type() const override { return TYPE; }                                                                 \
        bool decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,                    \
                    const GseLib::CurrentValueTable* values) const override;                                       \
    };

// A decoder that reuses its base's decoding under another type.
#define KORA_DERIVED_DECODER(Class, Base)                                                                          \
    class Class : public Base                                                                                      \
    {                                                                                                              \
    public:                                                                                                        \
        static constexpr int TYPE = GseLib::DecodeType::Class;                                                     \
        int type() const override { return TYPE; }                                                                 \
    };

// Registration order; the order is the table's and stays fixed.
#define KORA_DECODER_LIST(D, DD)                                                                                   \
    D(AggregatedSciPacketDecoder)                                                                                  \
    D(GcPacketDecoder)                                                                                             \
    D(MaifDecoder)                                                                                                 \
    D(MaifPressureDecoder)                                                                                         \
    D(MaifCurrentDecoder)                                                                                          \
    D(Maif1MinDecoder)                                                                                             \
    D(RsimBus1CurrentDecoder)                                                                                      \
    D(RsimBus1CurrentMinDecoder)                                                                                   \
    D(RsimBus1CurrentMaxDecoder)                                                                                   \
    D(RsimBus1CurrentAvgDecoder)                                                                                   \
    D(LaserPulseTimeDecoder)                                                                                       \
    D(LaserPulseRegsDecoder)                                                                                       \
    D(LaserEnergyUvEtuDecoder)                                                                                     \
    D(LaserEnergyUvEtuCalibratedDecoder)                                                                           \
    D(LaserEnergyUvEtuAvgDecoder)                                                                                  \
    D(LaserEnergyUvEtuMinDecoder)                                                                                  \
    D(LaserEnergyUvEtuMaxDecoder)                                                                                  \
    D(LaserEnergyUvEtuStdDevDecoder)                                                                               \
    D(MicroPiraniPressureDecoder)                                                                                  \
    D(MicroPiraniPressureAvgDecoder)                                                                               \
    D(MicroPiraniPressureHiDecoder)                                                                                \
    D(MicroPiraniPressureLoDecoder)                                                                                \
    D(SebAdcValueDecoder)                                                                                          \
    D(MicroPiraniAlgorithmDecoder)                                                                                 \
    D(SebRfFreqDecoder)                                                                                            \
    D(RsimBus1PowerDecoder)                                                                                        \
    D(RsimBus2PowerDecoder)                                                                                        \
    D(RsimBus3PowerDecoder)                                                                                        \
    D(SumPacketTotalIonCountDecoder)                                                                               \
    D(LaserEnergyUvFlightDecoder)                                                                                  \
    D(LaserHkDecoder)                                                                                              \
    D(SebFilamentResistance)                                                                                       \
    D(LaserEnergyUvFlightAvgDecoder)                                                                               \
    D(LaserEnergyUvFlightMinDecoder)                                                                               \
    D(LaserEnergyUvFlightMaxDecoder)                                                                               \
    D(LaserEnergyUvFlightStdDevDecoder)                                                                            \
    D(NormalizedRfPressure)                                                                                        \
    D(LaserEnergyUvFlightSpareDecoder)                                                                             \
    D(LaserEnergyUvFlightSpareAvgDecoder)                                                                          \
    D(LaserEnergyUvFlightSpareMinDecoder)                                                                          \
    D(LaserEnergyUvFlightSpareMaxDecoder)                                                                          \
    D(LaserEnergyUvFlightSpareStdDevDecoder)                                                                       \
    D(RoverBus1PowerDecoder)                                                                                       \
    DD(RoverBus2PowerDecoder, RoverBus1PowerDecoder)                                                               \
    DD(RoverBus3PowerDecoder, RoverBus1PowerDecoder)                                                               \
    DD(RoverBus4PowerDecoder, RoverBus1PowerDecoder)

KORA_DECODER_LIST(KORA_DECODER, KORA_DERIVED_DECODER)

constexpr int DECODER_COUNT =
    int(GseLib::builtinDecoderCount(GseLib::BuiltinDecoderMaker::KorDataInterpretation));
#define KORA_COUNT_DECODER(...) +1
static_assert(0 KORA_DECODER_LIST(KORA_COUNT_DECODER, KORA_COUNT_DECODER) == DECODER_COUNT,
              "every first-instrument row of the decode-type table has its class in the list");
#undef KORA_COUNT_DECODER

} // namespace KorDataInterpretationImpl

} // namespace KorGse
