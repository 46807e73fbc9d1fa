#pragma once
// The built-in maker of the generic decoders (integers, IEEE-754 values, text,
// raw bytes, time fields and rolling-history statistics), a Qt static plugin
// registered first of the library's plugins. The hub's loadDecoderPlugins
// calls makeDecoders() and files each decoder under its decode type.
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/decodermakerinterface.h"

#include <QObject>

class GenericDecoderMaker : public QObject, public DecoderMakerInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID DecoderMakerInterface_iid FILE "genericdecodermaker.json")
    Q_INTERFACES(DecoderMakerInterface)

public:
    GenericDecoderMaker() = default;
    ~GenericDecoderMaker() override = default;

    // The decode types of the decoders makeDecoders() returns, in the order
    // it returns them, which is fixed: the hub files them in it. One per
    // GenericDecoderMaker row of builtindecodetypes.h, where each number
    // stands beside its class.
    static constexpr int ORDER[] = {
        GseLib::DecodeType::SimpleDecoder,      GseLib::DecodeType::SimpleDecoderLE,
        GseLib::DecodeType::UnsignedDecoder,    GseLib::DecodeType::TwosCompDecoder,
        GseLib::DecodeType::FloatDecoder,       GseLib::DecodeType::DoubleDecoder,
        GseLib::DecodeType::StringDecoder,      GseLib::DecodeType::BytesDecoder,
        GseLib::DecodeType::Time40Decoder,      GseLib::DecodeType::RTime40Decoder,
        GseLib::DecodeType::Time41Decoder,      GseLib::DecodeType::Time42Decoder,
        GseLib::DecodeType::Time44Decoder,      GseLib::DecodeType::TimeNsDecoder,
        GseLib::DecodeType::Time12Decoder,      GseLib::DecodeType::HistoryMaxDecoder,
        GseLib::DecodeType::HistoryAvgDecoder,  GseLib::DecodeType::HistoryMinDecoder,
        GseLib::DecodeType::HistoryRateDecoder, GseLib::DecodeType::HistorySumDecoder,
        GseLib::DecodeType::HistorySumOfSquaresDecoder,
    };

    // One new decoder per type of ORDER, in its order; the caller owns them.
    std::vector<GseLib::Decoder*> makeDecoders() override;
};
