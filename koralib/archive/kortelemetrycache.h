#pragma once
// The packet cache of first-instrument archives: TOM packets timed by a
// KoraTimeResolver, headers whose full first byte and length do not fit the
// packet-type table rejected, and the process-wide ip_ kept up to date from
// SEB housekeeping (type 22) packets as they are read. The start-up installs
// it as the shared cache; the aggregated science decoder reads ip_.
#include "gselib/packets/telemetrycache.h"

namespace KorGse {

class KorTelemetryCache : public GseLib::TelemetryCache
{
    Q_OBJECT

public:
    // Seconds; item 86 of the latest type-22 packet / 1e7. One value for the
    // whole process, kept across caches (1e-5 until a packet sets it).
    static double ip_;

    KorTelemetryCache();
    ~KorTelemetryCache() override;

protected:
    void hookPacket(const GseLib::TMPacketPtr& packet) override;
    bool validHeader(const unsigned char* header) override;
};

} // namespace KorGse
