#include "python/tmpacket.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/dataitem.h"
#include "gselib/packets/telemetryfile.h"
#include "python/startup.h"

namespace cvekutil {

namespace {
constexpr int MESSAGE_LOG_TYPE = 8;
}

TMPacket::TMPacket(std::shared_ptr<GseLib::TMPacket> packet, const KorGse::MarkerCache* markerCache)
    : pkt(std::move(packet)), generation(GseLib::TelemetryFile::sharedCacheGeneration())
{
    // Checked by the binding (a null shared pointer is refused there too).
    if (!pkt)
        throw std::runtime_error("TMPacket was given no packet.");
    if (markerCache && pkt->index >= 0)
        marker = markerCache->getMarker(unsigned(pkt->index), &hasMarker, false);
    if (pkt->timeResolver) {
        unixTimestamp = pkt->unixTime();
        relativeTimestamp = pkt->relativeTime();
    }
}

void TMPacket::requireOwnArchive() const
{
    if (generation != GseLib::TelemetryFile::sharedCacheGeneration())
        throw std::runtime_error("TMPacket belongs to an archive that a later initCVekUtil replaced.");
}

std::vector<int> TMPacket::_raw_packet() const
{
    std::vector<int> out;
    const uint32_t total = uint32_t(pkt->totalLength());
    out.reserve(total);
    if (!pkt->bytes && total > 0)
        throw std::out_of_range("vector::_M_range_check: __n (which is 0) >= this->size() (which is 0)");
    for (uint32_t i = 0; i < total; ++i)
        out.push_back(pkt->bytes->at(i));
    return out;
}

int TMPacket::get_type() const { return pkt->type(); }
int TMPacket::full_type() const { return pkt->fullType(); }
int TMPacket::total_length() const { return int(pkt->totalLength()); }
int TMPacket::length() const { return int(pkt->dataLength()); }
unsigned int TMPacket::checksum() const { return pkt->checksum(); }
bool TMPacket::gse_created() const
{
    // The flag comes from the current hub's packet-type table.
    requireOwnArchive();
    return pkt->isGseCreated();
}
int TMPacket::sequence() const { return pkt->sequence(); }
unsigned int TMPacket::sclk() const { return uint32_t(pkt->rawTimestamp()); }
int TMPacket::index() const { return pkt->index; }
int TMPacket::marker_id() const { return hasMarker ? int32_t(marker.markerId) : 0; }
int TMPacket::tarq_marker_index() const { return hasMarker ? int32_t(marker.markerIndex + 1) : 0; }

std::string TMPacket::marker_text() const
{
    if (!hasMarker)
        return {};
    return std::string(marker.text, strnlen(marker.text, sizeof marker.text));
}

std::vector<KorGse::MetaMarker> TMPacket::get_meta_markers() const
{
    if (!GseLib::TelemetryFile::sharedCache())
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    requireOwnArchive();
    const QList<KorGse::MetaMarker> found = refreshedMetaMarkers(true, relativeTimestamp);
    return std::vector<KorGse::MetaMarker>(found.begin(), found.end());
}

std::vector<TMDatapoint> TMPacket::all_data(int hkid, int mode)
{
    // The packet's time resolver belonged to the cache a later start-up deleted.
    requireOwnArchive();
    std::vector<TMDatapoint> out;
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    const GseLib::TmDatabaseRow* row = nullptr;
    try {
        row = &std::as_const(*hub->db()).row(unsigned(hkid));
    } catch (const std::out_of_range&) {
        return out;
    }
    // Reused between calls on the same thread: decoding allocates only the result.
    thread_local GseLib::DataItems items;
    items.clear();
    hub->decodePacket(*row, pkt.get(), items, true, nullptr);
    out.reserve(items.size());
    for (const GseLib::DataItem& item : items) {
        const double v = row->convertValue(item.toDouble(), Gse::ValueMode(mode));
        if (!std::isnan(v))
            out.emplace_back(item.unixTime, item.relativeTime, v);
    }
    return out;
}

std::string TMPacket::raw_message() const
{
    if (pkt->type() != MESSAGE_LOG_TYPE)
        return {};
    const uint8_t* data = pkt->data();
    const size_t stored = pkt->bytes ? pkt->bytes->size() : 0;
    const size_t offset = size_t(std::max(0, pkt->dataOffset()));
    if (!data || offset >= stored)
        return {};
    // Never past the stored bytes, whatever the header claims.
    const size_t n = std::min<size_t>(pkt->dataLength(), stored - offset);
    const char* text = reinterpret_cast<const char*>(data + offset);
    return std::string(text, strnlen(text, n));
}

} // namespace cvekutil
