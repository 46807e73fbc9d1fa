#include "koralib/archive/kortelemetrycache.h"

#include "gselib/interpretation/datainterpretation.h"
#include "koralib/archive/koratimeresolver.h"

namespace KorGse {

double KorTelemetryCache::ip_ = 1e-5;

KorTelemetryCache::KorTelemetryCache() : GseLib::TelemetryCache(new KoraTimeResolver)
{
    setPacketFormat(TOM);
}

KorTelemetryCache::~KorTelemetryCache() = default;

bool KorTelemetryCache::validHeader(const unsigned char* header)
{
    // The whole first byte: a top bit set is looked up as a type of 128 or more.
    const int type = header[0];
    const int length = (int(header[2]) << 8) | header[3];
    return GseLib::DataInterpretation::current()->packetTypes.isValidLength(type, length);
}

void KorTelemetryCache::hookPacket(const GseLib::TMPacketPtr& packet)
{
    if (!packet || packet->type() != 22)
        return;
    // The raw value of the first item, through the hub's reused list: no allocation per packet.
    bool ok = false;
    const double raw = GseLib::DataInterpretation::current()->getValue(86, packet.get(), Gse::Raw, &ok, true, nullptr);
    if (ok)
        ip_ = raw / 1e7;
}

} // namespace KorGse
