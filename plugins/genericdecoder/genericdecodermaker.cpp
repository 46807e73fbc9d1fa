#include "plugins/genericdecoder/genericdecodermaker.h"

#include "plugins/genericdecoder/historydecoders.h"
#include "plugins/genericdecoder/numericdecoders.h"
#include "plugins/genericdecoder/textdecoders.h"
#include "plugins/genericdecoder/timedecoders.h"

std::vector<GseLib::Decoder*> GenericDecoderMaker::makeDecoders()
{
    return {
        new SimpleDecoder,
        new SimpleDecoderLE,
        new UnsignedDecoder,
        new TwosCompDecoder,
        new FloatDecoder,
        new DoubleDecoder,
        new StringDecoder,
        new BytesDecoder,
        new Time40Decoder,
        new RTime40Decoder,
        new Time41Decoder,
        new Time42Decoder,
        new Time44Decoder,
        new TimeNsDecoder,
        new Time12Decoder,
        new HistoryMaxDecoder,
        new HistoryAvgDecoder,
        new HistoryMinDecoder,
        new HistoryRateDecoder,
        new HistorySumDecoder,
        new HistorySumOfSquaresDecoder,
    };
}
