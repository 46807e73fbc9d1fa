// The science side of the first instrument's decoders: the 8-byte aggregated
// samples of a science packet (203), the twenty 60-byte records of a GC packet
// (204) and the total ion count of a summed science packet (230).
#include "koralib/archive/koradatai.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/scans/scandata.h"

#include "gselib/database/tmdatabaserow.h"
#include "gselib/packets/tmpacket.h"

#include <iostream>
#include <memory>

namespace KorGse {

namespace KorDataInterpretationImpl {

namespace {

// The overrun line where the numbers it reports are not the ones tested: the
// GC decoder reports the row's offset for any record, the aggregated decoder
// the 16-bit length it compares with.
void overrunLine(const char* signature, const DbRow& row, uint64_t off, uint64_t len, uint64_t dataLength)
{
    std::cout << signature << ' ' << row.key << ' ' << row.dataId << " Out of bounds: "
              << "off(" << off << ") + len(" << len << ") > dataLength(" << dataLength << ")" << std::endl;
}

// A 32-bit shift whose count may be anything: 32 or more places clear the value.
uint32_t shifted32(uint32_t v, int shift)
{
    if (shift >= 0)
        return shift >= 32 ? 0u : v >> shift;
    const int64_t magnitude = -int64_t(shift); // INT_MIN has no 32-bit magnitude
    return magnitude >= 32 ? 0u : v << magnitude;
}

} // namespace

bool AggregatedSciPacketDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                        const GseLib::CurrentValueTable*) const
{
    DecoderFrame frame(row, packet, items, SIGNATURE);
    const DataArea& d = frame.data();
    // A sits at D[2..3]; a packet too short to hold it has no samples.
    if (!d.holds(2, 2))
        return true;
    const int32_t a = d.be16(2);
    if (a == 0)
        return true;
    // The sample times count back from the packet's by the bytes that follow
    // the header and the samples (16-bit bins of type 27 halve them).
    const uint32_t dataLength = uint16_t(frame.dataLength());
    const int32_t unit = packet->type() == 27 ? 2 : 1;
    const int32_t q = (int32_t(dataLength) - 8 * a - 4) / unit;
    const double ip = KorTelemetryCache::ip_;
    double s = -ip * double(q);
    const double step = ip * 100.0;

    // The low 32 bits of the offset and length; the sums are taken in 64 bits.
    uint64_t o = uint32_t(frame.offset());
    const uint64_t l = frame.length();
    for (int32_t k = 0; k < a; ++k) {
        if (l > dataLength || o > dataLength - l) {
            // The frame's N and the 16-bit length agree for every TOM packet;
            // a longer data area is still only read up to the 16-bit length.
            if (frame.fits(o, l))
                overrunLine(SIGNATURE, row, o, l, dataLength);
            return true;
        }
        frame.append(o, double(frame.readField(o)), s);
        o += 8; // samples lie 8 bytes apart whatever their length
        s += step;
    }
    return true;
}

bool GcPacketDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                             const GseLib::CurrentValueTable*) const
{
    constexpr int RECORDS = 20;
    constexpr uint64_t RECORD_SIZE = 60;
    constexpr uint64_t RECORD_READ = 3; // channel byte and 16-bit value
    constexpr uint64_t CHANNEL_IN_ROW_OFFSET = 44;

    DecoderFrame frame(row, packet, items, SIGNATURE);
    const DataArea& d = frame.data();
    const uint64_t n = frame.dataLength();
    const uint64_t o = frame.offset();
    const uint8_t channel = uint8_t(row.decodeIds.size() > 1 ? row.decodeIds[1] : 0);
    const uint32_t mask = uint32_t(frame.mask());
    const int shift = frame.shift();
    // Row offset 44 reads the channel with its value: the identifier goes in bits 16..23.
    const uint32_t channelBits = o == CHANNEL_IN_ROW_OFFSET ? uint32_t(channel) << 16 : 0u;
    for (int i = 0; i < RECORDS; ++i) {
        const uint64_t end = RECORD_SIZE * uint64_t(i) + RECORD_READ;
        if (o > n || end > n - o) {
            // The line names the row's offset, not the record's.
            overrunLine(SIGNATURE, row, o, RECORD_READ, n);
            return true;
        }
        const uint64_t at = o + RECORD_SIZE * uint64_t(i);
        if (d.u8(at) != channel)
            continue;
        const uint32_t v = shifted32(uint32_t(d.be16(at + 1)) & mask, shift) & 0xFFFFu;
        // Twenty records a second, the first one second before the packet.
        const double s = double(i) * 0.05 + (-1.0);
        frame.append(at + 1, double(channelBits | v), s);
        items.back().count = 2;
    }
    return true;
}

bool SumPacketTotalIonCountDecoder::decode(const DbRow& row, const GseLib::TMPacket* packet,
                                           GseLib::DataItems& items, const GseLib::CurrentValueTable*) const
{
    // Throws std::bad_weak_ptr for a packet no shared pointer owns, before
    // anything is appended; the caller sees it.
    const auto owned = std::const_pointer_cast<GseLib::TMPacket>(packet->shared_from_this());
    const ScanData scan(owned, {}, false, KORA::PacketTime);
    const double total = scan.ionCount(0, 0);
    DecoderFrame frame(row, packet, items, SIGNATURE);
    frame.appendSummary(total);
    return true;
}

} // namespace KorDataInterpretationImpl

} // namespace KorGse
