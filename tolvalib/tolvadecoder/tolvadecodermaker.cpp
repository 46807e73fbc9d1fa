#include "tolvalib/tolvadecoder/tolvadecodermaker.h"

#include "tolvalib/tolvadecoder/ctlmmcdecoders.h"
#include "tolvalib/tolvadecoder/leuenergydecoders.h"

std::vector<GseLib::Decoder*> TolvaDecoderMaker::makeDecoders()
{
    using namespace TolvaGse;
    return {new CtlHkAdcValuesDecoder,        new CtlStatusGenRegValuesDecoder, new CtlScienceBinCountsDecoder,
            new CtlScienceSumRfTotalsDecoder, new LeuEnergySampleValueDecoder,  new LeuEnergySampleAvgDecoder,
            new LeuEnergySampleMinDecoder,    new LeuEnergySampleMaxDecoder,    new LeuEnergySampleStdDevDecoder,
            new CtlScienceSumRfValuesDecoder, new MmcPiraniValuesDecoder,       new MmcStripChartDecoder,
            new MmcVRefCalibratedDecoder};
}
