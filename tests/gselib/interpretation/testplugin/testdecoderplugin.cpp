// The dynamic decoder-maker plugin of the hub's and the definitions' loading
// tests, which copy it into a definitions folder's plugin folder. It also
// makes transfer functions, so rows as well as decoders hold code of this
// file: a load that unloaded it before releasing them would crash on reload.
#include "gselib/database/tmdatabaserow.h"
#include "gselib/database/transferfuncfactory.h"
#include "gselib/interpretation/builtindecodetypes.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/decodermakerinterface.h"
#include "gselib/packets/tmpacket.h"
#include "tools/logger/log.h"

#include <QObject>

namespace {

using namespace GseLib;

// Every object of this plugin says when it goes, so a test can tell that it
// went before the plugin was unloaded (glibc may keep an unloaded object
// mapped, so a late release need not crash).
struct Released
{
    const char* what;
    ~Released() { LOG_DEBUG("testplugin", what << " released"); }
};

// Big-endian 16 bits at each of the row's offsets, stopping at the packet's end.
class Be16Decoder : public Decoder
{
    Released released{"plugin decoder"};

public:
    int type() const override { return TestPluginDecodeType::Be16Decoder; }
    QString name() const override { return QStringLiteral("plugin be16"); }
    bool decode(const TmDatabaseRow& row, const TMPacket* packet, DataItems& items,
                const CurrentValueTable*) const override
    {
        const size_t size = packet->bytes ? packet->bytes->size() : 0;
        for (uint32_t o : row.offsets) {
            if (size < 2 || o > size - 2)
                break;
            DataItem item;
            item.offset = int32_t(o);
            item.count = 2;
            item.value = (unsigned long long)((unsigned((*packet->bytes)[o]) << 8) | (*packet->bytes)[o + 1]);
            items.push_back(item);
        }
        return true;
    }
};

// The row's EXTRA_1 as one text item.
class ExtraTextDecoder : public Decoder
{
    Released released{"plugin decoder"};

public:
    int type() const override { return TestPluginDecodeType::ExtraTextDecoder; }
    QString name() const override { return QStringLiteral("plugin text"); }
    bool decode(const TmDatabaseRow& row, const TMPacket*, DataItems& items, const CurrentValueTable*) const override
    {
        DataItem item;
        item.value = row.extra;
        items.push_back(item);
        return true;
    }
};

// Stands in for an instrument decoder that a plugin overrides.
class PluginOverride : public Decoder
{
public:
    int type() const override { return TestPluginDecodeType::PluginOverride; }
    QString name() const override { return QStringLiteral("plugin override"); }
    bool decode(const TmDatabaseRow&, const TMPacket*, DataItems&, const CurrentValueTable*) const override
    {
        return false;
    }
};

// "byte_sum": one item, the sum of the field's bytes at the first offset, as
// many as the byte order lists; nothing when the field leaves the packet.
class ByteSumDecoder : public Decoder
{
public:
    int type() const override { return TestPluginDecodeType::ByteSumDecoder; }
    QString name() const override { return QStringLiteral("byte_sum"); }
    bool decode(const TmDatabaseRow& row, const TMPacket* packet, DataItems& items,
                const CurrentValueTable*) const override
    {
        if (row.offsets.empty())
            return false;
        const size_t offset = row.offsets.front();
        const size_t count = row.byteOrder.size();
        const size_t length = packet->bytes ? packet->bytes->size() : 0;
        if (count > length || offset > length - count)
            return false;
        unsigned long long sum = 0;
        for (size_t k = 0; k < count; ++k)
            sum += (*packet->bytes)[offset + k];
        DataItem item;
        item.unixTime = packet->unixTime();
        item.relativeTime = packet->relativeTime();
        item.offset = static_cast<int32_t>(offset);
        item.count = static_cast<int32_t>(count);
        item.value = sum;
        items.push_back(std::move(item));
        return true;
    }
};

// k1 + k2 * x.
class LineFunc : public TransferFunc
{
    Released released{"plugin function"};

public:
    LineFunc(double k1, double k2) : k1_(k1), k2_(k2) {}
    double apply(double x) const override { return k1_ + k2_ * x; }
    QString asString() const override { return QString::number(k1_) + "," + QString::number(k2_); }
    void change(const QString&) override {}
    QString equationAsString() const override { return QStringLiteral("k1+k2*x"); }
    QString description() const override { return QStringLiteral("plugin line"); }

private:
    double k1_;
    double k2_;
};

} // namespace

class TestDecoderPlugin : public QObject, public DecoderMakerInterface, public TransferFuncMakerInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID DecoderMakerInterface_iid FILE "testdecoderplugin.json")
    Q_INTERFACES(DecoderMakerInterface TransferFuncMakerInterface)

public:
    std::vector<Decoder*> makeDecoders() override
    {
        return {new Be16Decoder, new ExtraTextDecoder, new PluginOverride, new ByteSumDecoder};
    }
    std::unordered_set<int> ids() override { return {900}; }
    std::shared_ptr<TransferFunc> makeTransferFunc(int type, const std::vector<double>& k, const std::string&,
                                                   const std::string&) override
    {
        if (type != 900 || k.size() < 2)
            return nullptr;
        return std::make_shared<LineFunc>(k[0], k[1]);
    }
};

#include "testdecoderplugin.moc"
