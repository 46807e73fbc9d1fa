#pragma once
// One packet of the open archive as Python sees it: header fields, bytes,
// times and marker taken when it was made, its message text, the meta markers
// covering it and its decoded values in the three modes. TMFile::get_pkt makes
// them. What the packet stores (header, bytes, times, marker) keeps answering
// after a later start-up replaced its archive; what reads the hub or the
// meta-marker cache at call time (decoded values, the ground-created flag, the
// meta markers) refuses then: its time resolver went with the old cache, and
// the new archive's definitions and meta markers are not the packet's.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gselib/packets/tmpacket.h"
#include "python/korabridge.h"
#include "python/records.h"

namespace cvekutil {

class TMPacket
{
public:
    TMPacket(std::shared_ptr<GseLib::TMPacket> packet, const KorGse::MarkerCache* markerCache);

    std::vector<int> _raw_packet() const;
    int get_type() const;
    int full_type() const;
    int total_length() const;
    int length() const;
    unsigned int checksum() const;
    bool gse_created() const;
    int sequence() const;
    unsigned int sclk() const;
    int index() const;
    int marker_id() const;
    int tarq_marker_index() const;
    double unix_timestamp() const { return unixTimestamp; }
    double relative_timestamp() const { return relativeTimestamp; }
    std::string marker_text() const;
    std::vector<KorGse::MetaMarker> get_meta_markers() const;
    std::vector<TMDatapoint> all_raw_data(int hkid) { return all_data(hkid, 0); }
    std::vector<TMDatapoint> all_eng_data(int hkid) { return all_data(hkid, 1); }
    std::vector<TMDatapoint> all_sci_data(int hkid) { return all_data(hkid, 2); }
    std::vector<TMDatapoint> all_data(int hkid, int mode = 2);
    std::string raw_message() const;

    std::shared_ptr<GseLib::TMPacket> pkt;
    KorGse::MarkerData marker;
    bool hasMarker = false;
    double unixTimestamp = 0.0;
    double relativeTimestamp = 0.0;
    // The shared-cache generation the packet was read under.
    uint64_t generation = 0;

private:
    void requireOwnArchive() const;
};

} // namespace cvekutil
