#pragma once
// The value record of one first-instrument marker packet (type 9): a numbered,
// labelled event on the time line. The marker cache keeps these records in
// time order, the meta-marker generators read marker packets through the same
// builder, and the Python classes attach a copy to packets and scans. The
// default record (all zero, empty text) stands for "no marker".
#include <QString>

#include <cstdint>
#include <memory>

namespace GseLib {
class TMPacket;
}

namespace KorGse {

struct MarkerData
{
    int32_t pktIndex = 0;
    // Reading order of marker packets in the archive (not the time order).
    uint32_t markerIndex = 0;
    uint64_t rawTimestamp = 0;
    double relativeTime = 0.0;
    double unixTime = 0.0;
    uint64_t field0 = 0;
    uint16_t field4 = 0;
    uint32_t markerId = 0;
    // Data bytes 10..71 and a terminating NUL; read as a C string.
    char text[63] = {};

    // The record of a marker packet. Data bytes the packet does not hold (a
    // packet shorter than 72 data bytes) read as 0; a null packet gives the
    // empty record with the given markerIndex.
    static MarkerData fromPacket(const std::shared_ptr<GseLib::TMPacket>& pkt, uint32_t markerIndex);

    // The text up to its first NUL, decoded from UTF-8.
    QString textString() const;
};

// Ordering predicate of markers: a's relative time is below b's.
bool compareMarkersByTimestamp(MarkerData a, MarkerData b);

// The science data platform's unique marker id, a * 10^10 + b * 10^5 + c, in
// signed 64-bit arithmetic that wraps rather than overflows.
int64_t getTarqUmkid(int a, unsigned int b, int c);

} // namespace KorGse
