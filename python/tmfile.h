#pragma once
// The Python entry point to one archive: its name, folder, size, test id and
// model from its own path and tm.meta, and its packets, count and t0 from the
// process-wide shared packet cache (the archive of the latest initCVekUtil,
// whatever path this object was given). Markers are read once, when built,
// and again when a later start-up replaced the shared cache, so a packet never
// carries another archive's marker.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QString>

#include "gselib/packets/damagedstretch.h"
#include "gselib/packets/tmmeta.h"
#include "python/korabridge.h"
#include "python/tmpacket.h"

namespace GseLib {
class TelemetryFile;
}

namespace cvekutil {

class TMFile
{
public:
    explicit TMFile(const std::string& filename);
    ~TMFile();
    TMFile(const TMFile&) = delete;
    TMFile& operator=(const TMFile&) = delete;

    std::string filename() const;
    std::string absolute_directory() const;
    std::string directory_string() const;
    std::string get_mcal_filename() const;
    long long file_size() const;
    int tid() const;
    int length() const;
    bool exists() const;
    std::string model() const;
    TMPacket get_pkt(int index) const;
    double t0_in_unix_time() const;
    int t0_in_sclk() const;
    std::vector<KorGse::MetaMarker> get_meta_markers() const;
    bool is_time_synced() const;
    // The shared cache's damaged stretches (see python/README.md).
    std::vector<GseLib::DamagedStretch> damage() const;

    QString filePath;
    GseLib::TmMeta tmMeta;
    // Rebuilt over the current shared cache when the generation moved on.
    mutable std::unique_ptr<KorGse::MarkerCache> markerCache;
    // The shared-cache generation the markers were read under.
    mutable uint64_t markerGeneration = 0;

private:
    const KorGse::MarkerCache* currentMarkers() const;
};

} // namespace cvekutil
