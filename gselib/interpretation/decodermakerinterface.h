#pragma once
// The plugin interface of decoder makers. The hub's loadDecoderPlugins asks
// every loaded plugin object that casts to it for its decoders and files them
// by decode type; the generic decoders are one such plugin, built in.
#include <QtPlugin>

#include <vector>

namespace GseLib {
class Decoder;
}

class DecoderMakerInterface
{
public:
    virtual ~DecoderMakerInterface() = default;
    // New decoders; the caller takes ownership of each.
    virtual std::vector<GseLib::Decoder*> makeDecoders() = 0;
};

#define DecoderMakerInterface_iid "com.praxa.gselib.DecoderMakerInterface"
Q_DECLARE_INTERFACE(DecoderMakerInterface, DecoderMakerInterface_iid)
