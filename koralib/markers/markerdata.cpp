#include "koralib/markers/markerdata.h"

#include "gselib/packets/tmpacket.h"

#include <algorithm>
#include <cstring>

namespace KorGse {

MarkerData MarkerData::fromPacket(const std::shared_ptr<GseLib::TMPacket>& pkt, uint32_t markerIndex)
{
    MarkerData m;
    m.markerIndex = markerIndex;
    if (!pkt)
        return m;
    m.pktIndex = pkt->index;
    m.rawTimestamp = pkt->rawTimestamp();
    m.relativeTime = pkt->relativeTime();
    m.unixTime = pkt->unixTime();

    // The data bytes the packet really holds: a short marker packet (under 72
    // data bytes) keeps its record, its missing bytes read as 0.
    uint8_t d[72] = {};
    const size_t size = pkt->bytes ? pkt->bytes->size() : 0;
    const size_t offset = size_t(std::max(0, pkt->dataOffset()));
    if (offset < size) {
        const size_t avail = std::min<size_t>({size - offset, size_t(pkt->dataLength()), sizeof d});
        std::memcpy(d, pkt->bytes->data() + offset, avail);
    }
    m.field0 = (uint64_t(d[0]) << 24) | (uint64_t(d[1]) << 16) | (uint64_t(d[2]) << 8) | d[3];
    m.field4 = uint16_t((d[4] << 8) | d[5]);
    m.markerId = (uint32_t(d[6]) << 24) | (uint32_t(d[7]) << 16) | (uint32_t(d[8]) << 8) | d[9];
    std::memcpy(m.text, d + 10, 62);
    m.text[62] = '\0';
    return m;
}

QString MarkerData::textString() const
{
    return QString::fromUtf8(text, qsizetype(strnlen(text, sizeof text)));
}

bool compareMarkersByTimestamp(MarkerData a, MarkerData b)
{
    return a.relativeTime < b.relativeTime;
}

int64_t getTarqUmkid(int a, unsigned int b, int c)
{
    // Unsigned arithmetic wraps where signed would overflow; the result is
    // the two's-complement value of the exact sum modulo 2^64.
    const uint64_t sum = uint64_t(int64_t(a)) * 10000000000ULL + uint64_t(b) * 100000ULL + uint64_t(int64_t(c));
    return int64_t(sum);
}

} // namespace KorGse
