#include "plugins/genericdecoder/genericdecodermaker.h"

#include "plugins/genericdecoder/historydecoders.h"
#include "plugins/genericdecoder/numericdecoders.h"
#include "plugins/genericdecoder/textdecoders.h"
#include "plugins/genericdecoder/timedecoders.h"

#include <iterator>

namespace {

// The decoder of a decode type of ORDER.
GseLib::Decoder* make(int type)
{
#define GSE_MAKE(Class)                                                                                              \
    case GseLib::DecodeType::Class:                                                                                 \
        return new Class;
    switch (type) {
        GSE_MAKE(SimpleDecoder)
        GSE_MAKE(SimpleDecoderLE)
        GSE_MAKE(UnsignedDecoder)
        GSE_MAKE(TwosCompDecoder)
        GSE_MAKE(FloatDecoder)
        GSE_MAKE(DoubleDecoder)
        GSE_MAKE(StringDecoder)
        GSE_MAKE(BytesDecoder)
        GSE_MAKE(Time40Decoder)
        GSE_MAKE(RTime40Decoder)
        GSE_MAKE(Time41Decoder)
        GSE_MAKE(Time42Decoder)
        GSE_MAKE(Time44Decoder)
        GSE_MAKE(TimeNsDecoder)
        GSE_MAKE(Time12Decoder)
        GSE_MAKE(HistoryMaxDecoder)
        GSE_MAKE(HistoryAvgDecoder)
        GSE_MAKE(HistoryMinDecoder)
        GSE_MAKE(HistoryRateDecoder)
        GSE_MAKE(HistorySumDecoder)
        GSE_MAKE(HistorySumOfSquaresDecoder)
    }
#undef GSE_MAKE
    return nullptr;
}

// ORDER holds each of the maker's rows of the table once.
constexpr bool orderHoldsEachRowOnce()
{
    using GseLib::BuiltinDecodeType;
    for (const BuiltinDecodeType& row : GseLib::BUILTIN_DECODE_TYPES) {
        int times = 0;
        for (int type : GenericDecoderMaker::ORDER)
            times += type == row.type ? 1 : 0;
        if (times != (row.maker == GseLib::BuiltinDecoderMaker::GenericDecoderMaker ? 1 : 0))
            return false;
    }
    return std::size(GenericDecoderMaker::ORDER) ==
           GseLib::builtinDecoderCount(GseLib::BuiltinDecoderMaker::GenericDecoderMaker);
}
static_assert(orderHoldsEachRowOnce(), "each generic decoder once in the order");

} // namespace

std::vector<GseLib::Decoder*> GenericDecoderMaker::makeDecoders()
{
    std::vector<GseLib::Decoder*> made;
    made.reserve(std::size(ORDER));
    for (int type : ORDER)
        made.push_back(make(type));
    return made;
}
