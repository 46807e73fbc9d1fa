#pragma once
// The decode types of the decoders this library provides itself, one row per
// decoder: the generic decoders, the second instrument's decoder plugin and
// the first instrument's own decoders; below them, the test plugin's. Every one of these decoders returns its
// constant below from type(), so a new decoder takes a number that is free
// here; the hub would otherwise replace one decoder by the other at load time
// ("Replaced decoder type"), the winner depending on plugin order. Rows stand
// in ascending type, which the compiler checks, so no number is used twice.
#include <cstddef>
#include <span>

namespace GseLib {

// Who makes the decoder of a row.
enum class BuiltinDecoderMaker
{
    GenericDecoderMaker,   // the generic decoders' static plugin
    TolvaDecoderMaker,     // the second instrument's static plugin
    KorDataInterpretation, // the first instrument's hub, as its custom decoders
};

// X(maker, class name, decode type); the class name is also the constant's.
#define GSE_BUILTIN_DECODE_TYPES(X)                                                                               \
    X(GenericDecoderMaker, SimpleDecoder, 1)                                                                      \
    X(GenericDecoderMaker, SimpleDecoderLE, 2)                                                                    \
    X(GenericDecoderMaker, UnsignedDecoder, 3)                                                                    \
    X(GenericDecoderMaker, TwosCompDecoder, 4)                                                                    \
    X(GenericDecoderMaker, FloatDecoder, 5)                                                                       \
    X(GenericDecoderMaker, DoubleDecoder, 6)                                                                      \
    X(GenericDecoderMaker, StringDecoder, 7)                                                                      \
    X(GenericDecoderMaker, Time40Decoder, 8)                                                                      \
    X(GenericDecoderMaker, Time42Decoder, 9)                                                                      \
    X(GenericDecoderMaker, Time44Decoder, 10)                                                                     \
    X(GenericDecoderMaker, Time12Decoder, 12)                                                                     \
    X(GenericDecoderMaker, Time41Decoder, 14)                                                                     \
    X(GenericDecoderMaker, TimeNsDecoder, 21)                                                                     \
    X(GenericDecoderMaker, RTime40Decoder, 28)                                                                    \
    X(GenericDecoderMaker, HistoryMaxDecoder, 51)                                                                 \
    X(GenericDecoderMaker, HistoryAvgDecoder, 52)                                                                 \
    X(GenericDecoderMaker, HistoryMinDecoder, 53)                                                                 \
    X(GenericDecoderMaker, HistoryRateDecoder, 54)                                                                \
    X(GenericDecoderMaker, HistorySumDecoder, 55)                                                                 \
    X(GenericDecoderMaker, HistorySumOfSquaresDecoder, 56)                                                        \
    X(GenericDecoderMaker, BytesDecoder, 61)                                                                      \
    X(TolvaDecoderMaker, CtlHkAdcValuesDecoder, 100)                                                              \
    X(TolvaDecoderMaker, CtlStatusGenRegValuesDecoder, 101)                                                       \
    X(TolvaDecoderMaker, CtlScienceBinCountsDecoder, 102)                                                         \
    X(TolvaDecoderMaker, CtlScienceSumRfTotalsDecoder, 103)                                                       \
    X(TolvaDecoderMaker, LeuEnergySampleValueDecoder, 104)                                                        \
    X(TolvaDecoderMaker, LeuEnergySampleAvgDecoder, 105)                                                          \
    X(TolvaDecoderMaker, LeuEnergySampleMinDecoder, 106)                                                          \
    X(TolvaDecoderMaker, LeuEnergySampleMaxDecoder, 107)                                                          \
    X(TolvaDecoderMaker, LeuEnergySampleStdDevDecoder, 108)                                                       \
    X(TolvaDecoderMaker, CtlScienceSumRfValuesDecoder, 109)                                                       \
    X(TolvaDecoderMaker, MmcPiraniValuesDecoder, 110)                                                             \
    X(TolvaDecoderMaker, MmcStripChartDecoder, 111)                                                               \
    X(TolvaDecoderMaker, MmcVRefCalibratedDecoder, 112)                                                           \
    X(KorDataInterpretation, AggregatedSciPacketDecoder, 203)                                                     \
    X(KorDataInterpretation, GcPacketDecoder, 204)                                                                \
    X(KorDataInterpretation, MaifDecoder, 207)                                                                    \
    X(KorDataInterpretation, MaifPressureDecoder, 208)                                                            \
    X(KorDataInterpretation, MaifCurrentDecoder, 209)                                                             \
    X(KorDataInterpretation, Maif1MinDecoder, 210)                                                                \
    X(KorDataInterpretation, RsimBus1CurrentDecoder, 211)                                                         \
    X(KorDataInterpretation, RsimBus1CurrentMinDecoder, 212)                                                      \
    X(KorDataInterpretation, RsimBus1CurrentMaxDecoder, 213)                                                      \
    X(KorDataInterpretation, RsimBus1CurrentAvgDecoder, 214)                                                      \
    X(KorDataInterpretation, LaserPulseTimeDecoder, 215)                                                          \
    X(KorDataInterpretation, LaserPulseRegsDecoder, 216)                                                          \
    X(KorDataInterpretation, LaserEnergyUvEtuDecoder, 217)                                                        \
    X(KorDataInterpretation, LaserEnergyUvEtuCalibratedDecoder, 218)                                              \
    X(KorDataInterpretation, LaserEnergyUvFlightDecoder, 219)                                                     \
    X(KorDataInterpretation, MicroPiraniPressureDecoder, 220)                                                     \
    X(KorDataInterpretation, MicroPiraniPressureAvgDecoder, 221)                                                  \
    X(KorDataInterpretation, MicroPiraniPressureHiDecoder, 222)                                                   \
    X(KorDataInterpretation, MicroPiraniPressureLoDecoder, 223)                                                   \
    X(KorDataInterpretation, SebAdcValueDecoder, 224)                                                             \
    X(KorDataInterpretation, MicroPiraniAlgorithmDecoder, 225)                                                    \
    X(KorDataInterpretation, SebRfFreqDecoder, 226)                                                               \
    X(KorDataInterpretation, RsimBus1PowerDecoder, 227)                                                           \
    X(KorDataInterpretation, RsimBus2PowerDecoder, 228)                                                           \
    X(KorDataInterpretation, RsimBus3PowerDecoder, 229)                                                           \
    X(KorDataInterpretation, SumPacketTotalIonCountDecoder, 230)                                                  \
    X(KorDataInterpretation, LaserEnergyUvEtuAvgDecoder, 231)                                                     \
    X(KorDataInterpretation, LaserEnergyUvEtuMinDecoder, 232)                                                     \
    X(KorDataInterpretation, LaserEnergyUvEtuMaxDecoder, 233)                                                     \
    X(KorDataInterpretation, LaserEnergyUvEtuStdDevDecoder, 234)                                                  \
    X(KorDataInterpretation, LaserHkDecoder, 235)                                                                 \
    X(KorDataInterpretation, SebFilamentResistance, 236)                                                          \
    X(KorDataInterpretation, LaserEnergyUvFlightAvgDecoder, 237)                                                  \
    X(KorDataInterpretation, LaserEnergyUvFlightMinDecoder, 238)                                                  \
    X(KorDataInterpretation, LaserEnergyUvFlightMaxDecoder, 239)                                                  \
    X(KorDataInterpretation, LaserEnergyUvFlightStdDevDecoder, 240)                                               \
    X(KorDataInterpretation, NormalizedRfPressure, 241)                                                           \
    X(KorDataInterpretation, LaserEnergyUvFlightSpareDecoder, 242)                                                \
    X(KorDataInterpretation, LaserEnergyUvFlightSpareAvgDecoder, 243)                                             \
    X(KorDataInterpretation, LaserEnergyUvFlightSpareMinDecoder, 244)                                             \
    X(KorDataInterpretation, LaserEnergyUvFlightSpareMaxDecoder, 245)                                             \
    X(KorDataInterpretation, LaserEnergyUvFlightSpareStdDevDecoder, 246)                                          \
    X(KorDataInterpretation, RoverBus1PowerDecoder, 247)                                                          \
    X(KorDataInterpretation, RoverBus2PowerDecoder, 248)                                                          \
    X(KorDataInterpretation, RoverBus3PowerDecoder, 249)                                                          \
    X(KorDataInterpretation, RoverBus4PowerDecoder, 250)

// The decode type of each built-in decoder class: DecodeType::SimpleDecoder is 1.
namespace DecodeType {
#define GSE_DECODE_TYPE_CONSTANT(maker, Class, number) inline constexpr int Class = number;
GSE_BUILTIN_DECODE_TYPES(GSE_DECODE_TYPE_CONSTANT)
#undef GSE_DECODE_TYPE_CONSTANT
} // namespace DecodeType

struct BuiltinDecodeType
{
    int type;
    BuiltinDecoderMaker maker;
    const char* className;
};

inline constexpr BuiltinDecodeType BUILTIN_DECODE_TYPES[] = {
#define GSE_DECODE_TYPE_ROW(maker, Class, number) {number, BuiltinDecoderMaker::maker, #Class},
    GSE_BUILTIN_DECODE_TYPES(GSE_DECODE_TYPE_ROW)
#undef GSE_DECODE_TYPE_ROW
};

// How many decoders a maker provides.
constexpr std::size_t builtinDecoderCount(BuiltinDecoderMaker maker)
{
    std::size_t n = 0;
    for (const BuiltinDecodeType& row : BUILTIN_DECODE_TYPES)
        n += row.maker == maker ? 1 : 0;
    return n;
}

// Ascending and positive: every type distinct, and each has a slot in the
// hub's table, which refuses negative types.
constexpr bool decodeTypesAscend(std::span<const BuiltinDecodeType> rows)
{
    int last = 0;
    for (const BuiltinDecodeType& row : rows) {
        if (row.type <= last)
            return false;
        last = row.type;
    }
    return true;
}

static_assert(decodeTypesAscend(BUILTIN_DECODE_TYPES), "built-in decode types must ascend: each number once");

// The decode types of the decoder plugin the tests build and load
// (tests/gselib/interpretation/testplugin), which returns these from type():
// not free either. 201 and 202 are its own; 203 and 204 are the first
// instrument's on purpose, so that a plugin decoder that replaces an
// instrument's has its test. X(class name, decode type).
#define GSE_TEST_PLUGIN_DECODE_TYPES(X)                                                                           \
    X(Be16Decoder, 201)                                                                                           \
    X(ExtraTextDecoder, 202)                                                                                      \
    X(PluginOverride, 203)                                                                                        \
    X(ByteSumDecoder, 204)

namespace TestPluginDecodeType {
#define GSE_DECODE_TYPE_CONSTANT(Class, number) inline constexpr int Class = number;
GSE_TEST_PLUGIN_DECODE_TYPES(GSE_DECODE_TYPE_CONSTANT)
#undef GSE_DECODE_TYPE_CONSTANT
} // namespace TestPluginDecodeType

// Who owns a decode type in the table above (none: the number is free there).
constexpr bool builtinDecodeTypeOf(int type, BuiltinDecoderMaker& maker)
{
    for (const BuiltinDecodeType& row : BUILTIN_DECODE_TYPES) {
        if (row.type == type) {
            maker = row.maker;
            return true;
        }
    }
    return false;
}

// The test plugin's own numbers are free in the table; the ones it replaces
// are the first instrument's.
constexpr bool testPluginTypesAsStated()
{
    BuiltinDecoderMaker maker{};
    return !builtinDecodeTypeOf(TestPluginDecodeType::Be16Decoder, maker) &&
           !builtinDecodeTypeOf(TestPluginDecodeType::ExtraTextDecoder, maker) &&
           builtinDecodeTypeOf(TestPluginDecodeType::PluginOverride, maker) &&
           maker == BuiltinDecoderMaker::KorDataInterpretation &&
           builtinDecodeTypeOf(TestPluginDecodeType::ByteSumDecoder, maker) &&
           maker == BuiltinDecoderMaker::KorDataInterpretation;
}
static_assert(testPluginTypesAsStated(), "the test plugin's own decode types must be free in the table");

} // namespace GseLib
