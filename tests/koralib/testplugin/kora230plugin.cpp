// A dynamic decoder-maker plugin for the first-instrument hub tests: it makes
// one decoder of type 230, which a definitions folder's plugin replaces the
// built-in summed-packet total ion count decoder with.
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/decodermakerinterface.h"

#include <QObject>

namespace {

// One item holding 230.0, so a test can tell whose decoder ran.
class Plugin230Decoder : public GseLib::Decoder
{
public:
    int type() const override { return 230; }
    QString name() const override { return QStringLiteral("plugin 230"); }
    bool decode(const GseLib::TmDatabaseRow&, const GseLib::TMPacket*, GseLib::DataItems& items,
                const GseLib::CurrentValueTable*) const override
    {
        GseLib::DataItem item;
        item.value = 230.0;
        items.push_back(item);
        return true;
    }
};

} // namespace

class Kora230Plugin : public QObject, public DecoderMakerInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID DecoderMakerInterface_iid FILE "kora230plugin.json")
    Q_INTERFACES(DecoderMakerInterface)

public:
    std::vector<GseLib::Decoder*> makeDecoders() override { return {new Plugin230Decoder}; }
};

#include "kora230plugin.moc"
