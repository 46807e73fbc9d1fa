#pragma once
// The second instrument's CCSDS packets: TolvaCcsdsPacket names the APIDs and
// times itself through a resolver of its own (shared with its copies), and
// TolvaTelemetryPacket is the packet with the 6-byte time header that ground
// tools build from scratch. The per-APID payload classes derive from it
// (tolvapacketfamily.h); ITF frames (tolvaitfpacket.h) carry TolvaCcsdsPacket values.
#include "gselib/packets/ccsdspacket.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

namespace TolvaGse {

class TolvaTimeResolver;

// The instrument's APIDs; 757 is unused (ApidRange below).
enum class Apid : uint16_t {
    CRIT_HK = 737,
    BOOT_HK = 738,
    DIGITAL_HK = 739,
    FILL = 740,
    MEMDUMP = 741,
    MSG = 742,
    MKR = 743,
    VH_HK = 744,
    VH_STAT = 745,
    PT_HK = 746,
    PT_STAT = 747,
    LEU_HKHS = 748,
    LEU_HK = 749,
    LEU_HKINDX = 750,
    LEU_STAT = 751,
    LEU_MAX_HKHS = 752,
    MMC_HK = 753,
    MMC_SC = 754,
    MMC_PIRANI = 755,
    MMC_HKHS = 756,
    CTL_HK = 758,
    CTL_STAT = 759,
    CTL_SEQ_DUMP = 760,
    CTL_DDS_DUMP = 761,
    CTL_SCI = 762,
    CTL_AUX_DUMP = 763,
    CTL_GENREG_DUMP = 764,
    CTL_SUM_RF = 765,
    CTL_SUM_BIN = 766,
};

// The range the APIDs above take, first to last, with the one unused APID in
// it. Tables and loops over the instrument's APIDs derive from it, so that a
// new APID is added here and in the enum only.
struct ApidRange
{
    static constexpr int FIRST = int(Apid::CRIT_HK);
    static constexpr int LAST = int(Apid::CTL_SUM_BIN);
    static constexpr int UNUSED = 757;
    // The APIDs in use: the range but UNUSED.
    static constexpr int IN_USE = LAST - FIRST;
    static constexpr bool contains(int apid) { return apid >= FIRST && apid <= LAST; }
    static constexpr bool inUse(int apid) { return contains(apid) && apid != UNUSED; }
};

class TolvaCcsdsPacket : public GseLib::CcsdsPacket
{
public:
    // A zeroed packet of `size` bytes (at least 7): APID 0, secondary-header
    // flag 1, unsegmented, length field size - 7.
    explicit TolvaCcsdsPacket(size_t size);
    // Shares the bytes as the whole packet.
    explicit TolvaCcsdsPacket(GseLib::ByteVectorPtr bytes);
    // Copies the bytes.
    explicit TolvaCcsdsPacket(const QByteArray& bytes);

    int dataOffset() const override { return 6; }
    int headerSize() const override { return 6; }

    // The APID's name; "UNKNOWN" for the unused APID and outside ApidRange.
    static QString packetName(unsigned short apid);
    // "\tCCSDS HDR: apid:0x 2f7 seq:.. len:.. sclk:..\n\tCCSDS RAW: <hex>\n"
    QString toString() const;

private:
    // Every packet times itself: it is never handed a t0, so its relative time
    // is its Unix time. Shared with copies, freed with the last of them.
    void makeResolver();
    std::shared_ptr<TolvaTimeResolver> resolver_;
};

class TolvaTelemetryPacket : public TolvaCcsdsPacket
{
public:
    // The sequence count of the next packet built from an APID (taken modulo
    // 2^14). It hides the inherited sequence(): read a packet's count through
    // header.sequenceCount() or a base reference.
    static uint32_t sequence;

    // A new packet of the APID with payloadSize zero payload bytes, the next
    // sequence count and the current time.
    TolvaTelemetryPacket(Apid apid, unsigned int payloadSize);
    TolvaTelemetryPacket(Apid apid, const QByteArray& payload);
    // A copy of a whole packet; nothing is checked.
    explicit TolvaTelemetryPacket(const QByteArray& bytes);

    int headerSize() const override { return 12; }
    // Length field = totalLength() - 7 (nothing for fewer than 7 bytes).
    void updateDataLength() override;

protected:
    // Fixed-offset fields: a byte the packet does not hold reads as 0 and is
    // not written.
    uint8_t u8(size_t at) const { return byteAt(at); }
    uint16_t u16(size_t at) const { return uint16_t(be16(at)); }
    uint32_t u32(size_t at) const { return be32(at); }
    void setU8(size_t at, uint8_t v) { setByte(at, v); }
    void setU16(size_t at, uint16_t v);
    void setU32(size_t at, uint32_t v);
    // One flag bit: set or clear `mask` in byte `at` (when the byte is there).
    bool flag(size_t at, uint8_t mask) const { return (byteAt(at) & mask) != 0; }
    void setFlag(size_t at, uint8_t mask, bool on);
    // Grows the byte vector (with zeros) to at least n bytes.
    void ensureSize(size_t n);
    // Bytes from `start` to the end of the data field (byte 5 + data length);
    // empty when the field ends first, std::out_of_range when it runs past the vector.
    QByteArray dataFrom(size_t start) const;
    // Writes at most `limit` bytes of `data` from `start`, growing the vector
    // to hold them, and sets the data length to end the field after them.
    void setDataFrom(size_t start, const QByteArray& data, int limit);
    // Resizes the byte vector only; the length field stays.
    void resizeBytes(size_t n);
};

} // namespace TolvaGse
