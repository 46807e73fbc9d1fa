#pragma once
// The built-in maker of the generic decoders (integers, IEEE-754 values, text,
// raw bytes, time fields and rolling-history statistics), a Qt static plugin
// registered first of the library's plugins. The hub's loadDecoderPlugins
// calls makeDecoders() and files each decoder under its decode type.
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

    // One new decoder per GenericDecoderMaker row of builtindecodetypes.h,
    // simple first and history sum of squares last (the order is fixed);
    // the caller owns them.
    std::vector<GseLib::Decoder*> makeDecoders() override;
};
