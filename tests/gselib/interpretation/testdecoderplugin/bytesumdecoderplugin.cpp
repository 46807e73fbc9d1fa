// A dynamic decoder-maker plugin for the definitions-load test: one decoder of
// decode type 201, "byte_sum", whose item is the sum of the field's bytes. The
// generated definitions name that type in one row; the test copies the built
// plugin into the definitions' plugins/macos folder.
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/decodermakerinterface.h"
#include "gselib/packets/tmpacket.h"

#include <QObject>

namespace {

class ByteSumDecoder : public GseLib::Decoder
{
public:
    int type() const override { return 201; }
    QString name() const override { return QStringLiteral("byte_sum"); }
    bool decode(const GseLib::TmDatabaseRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                const GseLib::CurrentValueTable*) const override
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
        GseLib::DataItem item;
        item.unixTime = packet->unixTime();
        item.relativeTime = packet->relativeTime();
        item.offset = static_cast<int32_t>(offset);
        item.count = static_cast<int32_t>(count);
        item.value = sum;
        items.push_back(std::move(item));
        return true;
    }
};

} // namespace

class ByteSumDecoderMaker : public QObject, public DecoderMakerInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID DecoderMakerInterface_iid FILE "bytesumdecoderplugin.json")
    Q_INTERFACES(DecoderMakerInterface)

public:
    std::vector<GseLib::Decoder*> makeDecoders() override { return {new ByteSumDecoder}; }
};

#include "bytesumdecoderplugin.moc"
