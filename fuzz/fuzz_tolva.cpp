// Second-instrument archives come from the link and from disk: any bytes must
// parse (bare or framed, with limit-less packet types) without a crash or a
// hang, and every stored packet must go through all thirteen decoders, with
// decode parameters taken from the input, without a read past the packet.
// The marker cache then reloads its intervals from the same packets, and the
// bytes read while written a few at a time end with the same packets.
#include "fuzzgrowing.h"
#include "fuzzquiet.h"
#include "gselib/database/tmdatabaserow.h"
#include "tolvalib/tolvaccsdspacket.h"
#include "tolvalib/tolvadatainterpretation.h"
#include "gselib/packets/telemetryfile.h"
#include "tolvalib/tolvadecoder/tolvadecodermaker.h"
#include "tolvalib/tolvamarkercache.h"
#include "tolvalib/tolvatelemetrycache.h"

#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Setup
{
    Setup()
    {
        GseLib::DataInterpretation::init(&factory, false, nullptr, {});
        GseLib::PacketTypes& types = GseLib::DataInterpretation::current()->packetTypes;
        for (int apid = TolvaGse::ApidRange::FIRST; apid <= TolvaGse::ApidRange::LAST; ++apid) {
            GseLib::TMPacketTypeInfo info;
            info.valid = true;
            info.type = apid;
            // Every third type without limits, the others within a frame's reach.
            info.minLength = apid % 3 == 0 ? -1 : 7;
            info.maxLength = apid % 3 == 0 ? -1 : 4090;
            types.insert(apid, info);
        }
        for (GseLib::Decoder* d : TolvaDecoderMaker().makeDecoders())
            decoders.emplace_back(d);
        path = dir.filePath(QStringLiteral("tm.bin")).toStdString();
    }

    TolvaGse::TolvaDataInterpretationFactory factory;
    std::vector<std::unique_ptr<GseLib::Decoder>> decoders;
    QTemporaryDir dir;
    std::string path;
};

uint64_t word(const uint8_t* data, size_t size, size_t at)
{
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i)
        v = (v << 8) | (at + i < size ? data[at + i] : 0);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static Setup setup;
    if (FILE* f = std::fopen(setup.path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    // Installed as the shared cache, so that the marker cache's cursor walks it.
    auto* shared = new TolvaGse::TolvaTelemetryCache;
    TolvaGse::TolvaTelemetryCache& cache = *shared;
    cache.setMessageStream(FuzzQuiet::nullFile());
    GseLib::TelemetryFile::setSharedCache(shared);
    cache.changeFile(setup.path, true);

    // The first 32 bytes as DECODE_ID1 to DECODE_ID4, the full 64-bit range.
    GseLib::TmDatabaseRow row;
    for (size_t i = 0; i < 4; ++i)
        row.decodeIds[i] = word(data, size, 8 * i);
    row.byteOrder.assign(size_t(row.decodeIds[1] % 9), 1);
    row.key = "FUZZ:ROW";

    GseLib::DataItems items;
    for (const GseLib::TMPacketPtr& p : cache.allPackets()) {
        for (const auto& d : setup.decoders) {
            items.clear();
            (void)d->decode(row, p.get(), items, nullptr);
            for (const GseLib::DataItem& it : items)
                (void)it.toDouble();
        }
        (void)p->relativeTime();
    }
    {
        TolvaGse::TolvaMarkerCache markers(std::make_shared<GseLib::TelemetryFile>());
        markers.reload();
        for (const TolvaGse::Marker& m : markers.markers())
            (void)m.toNiceString();
        (void)markers.openMarkers();
    }
    GseLib::TelemetryFile::setSharedCache(nullptr);

    TolvaGse::TolvaTelemetryCache growing;
    growing.setMessageStream(FuzzQuiet::nullFile());
    FuzzGrowing::check(growing, setup.path, data, size);
    return 0;
}
