#pragma once
// The second instrument's built-in decoder maker, a Qt static plugin: the
// hub's loadDecoderPlugins asks it for its decoders of decode types 100 to
// 112 (CTL, MMC and LEU packets; rows of builtindecodetypes.h) and files them
// by type.
#include "gselib/interpretation/decodermakerinterface.h"

#include <QObject>

class TolvaDecoderMaker : public QObject, public DecoderMakerInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID DecoderMakerInterface_iid FILE "tolvadecodermaker.json")
    Q_INTERFACES(DecoderMakerInterface)

public:
    TolvaDecoderMaker() = default;
    ~TolvaDecoderMaker() override = default;

    // New decoders in ascending decode type; the caller owns them.
    std::vector<GseLib::Decoder*> makeDecoders() override;
};
