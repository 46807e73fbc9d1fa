#include "tolvalib/tolvadecoder/decoderfields.h"

#include "gselib/database/telemetrydatabase.h"

namespace TolvaGse {

bool CachedDataId::lookup(const GseLib::DataInterpretation* hub, int* id) const
{
    if (!hub)
        return false;
    const uint64_t generation = GseLib::DataInterpretation::generation();
    if (hub != hub_ || generation != generation_) {
        hub_ = hub;
        generation_ = generation;
        found_ = false;
        id_ = 0;
        if (const GseLib::TelemetryDatabase* db = hub->db()) {
            const auto it = db->idsByKey().find(key_);
            found_ = it != db->idsByKey().end();
            id_ = found_ ? int(it->second) : 0;
        }
    }
    *id = id_;
    return found_;
}

} // namespace TolvaGse
