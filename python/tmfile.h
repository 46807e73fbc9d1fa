#pragma once
// The Python entry point to one archive: its name, folder, size, test id and
// model from its own path and tm.meta, and its packets, count and t0 from the
// process-wide shared packet cache (the archive of the latest initCVekUtil,
// whatever path this object was given). Markers are read once, when built,
// and again when a later start-up replaced the shared cache, so a packet never
// carries another archive's marker.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QString>

#include "gselib/packets/damagedstretch.h"
#include "gselib/interpretation/itemseries.h"
#include "gselib/packets/tmmeta.h"
#include "python/korabridge.h"
#include "python/tmpacket.h"

namespace GseLib {
class TelemetryFile;
}

namespace cvekutil {

// A data item asked for as numbers whose samples are text; Python's TypeError.
class NotNumericItem : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

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

    // The bulk road: every sample of data item `hkid` in the packets
    // [start, stop) of the archive, the bounds read as a Python slice reads
    // them, equal packet by packet to get_pkt(i).all_data(hkid, mode), with
    // each sample's packet index. No row of that id: empty. A text sample:
    // NotNumericItem. Refused, as a packet of it would be, once a later
    // start-up replaced the archive this object was made over.
    GseLib::ItemSeries item_arrays(int hkid, int mode, std::optional<long long> start,
                                   std::optional<long long> stop) const;

    QString filePath;
    GseLib::TmMeta tmMeta;
    // Rebuilt over the current shared cache when the generation moved on.
    mutable std::unique_ptr<KorGse::MarkerCache> markerCache;
    // The shared-cache generation the markers were read under.
    mutable uint64_t markerGeneration = 0;
    // The shared-cache generation this object was made under.
    uint64_t archiveGeneration = 0;

private:
    const KorGse::MarkerCache* currentMarkers() const;
};

} // namespace cvekutil
