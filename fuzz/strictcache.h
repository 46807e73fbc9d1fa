#pragma once
// The archive fuzz target's strict header test, shared with the read recorder
// (bench/read_record.cpp) so that both read the corpus under the same cache.
#include "gselib/packets/telemetrycache.h"

namespace FuzzSupport {

class StrictCache : public GseLib::TelemetryCache
{
public:
    using GseLib::TelemetryCache::TelemetryCache;

protected:
    bool validHeader(const unsigned char* h) override
    {
        // CCSDS telemetry version 0 with a non-zero APID; TOM types below 0x7F.
        return packetFormat() == CCSDS ? (h[0] <= 15 && (((h[0] & 7) << 8) | h[1]) != 0) : (h[0] & 0x7F) != 0x7F;
    }
};

} // namespace FuzzSupport
