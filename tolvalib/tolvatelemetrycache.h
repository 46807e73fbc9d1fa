#pragma once
// The second instrument's packet cache: CCSDS packets, bare or inside ITF
// transfer frames whose 10-byte headers it steps over between packets. A
// header is accepted only when the hub's packet-type table allows its APID
// and data length, so the hub must exist before an archive is parsed. Keeps
// the newest bin-time read-back of the control-status packets in ip_. The
// module start-up installs one as the shared cache.
#include "gselib/packets/telemetrycache.h"
#include "tolvalib/tolvaccsdspacket.h"

#include <cstdint>
#include <vector>

namespace GseLib {
class DataInterpretation;
}

namespace TolvaGse {

class TolvaTelemetryCache : public GseLib::TelemetryCache
{
    Q_OBJECT

public:
    static constexpr uint32_t ITF_SYNC = 0xFEFA30C8;
    static constexpr int ITF_HEADER_SIZE = 10;
    static constexpr int CTL_STAT_APID = int(Apid::CTL_STAT);
    static const char* const BIN_TIME_MNEMONIC;

    // CTL.STATUS:BIN_TIME_RDBK of the newest control-status packet / 1e7.
    // Process-wide, never reset: a new cache starts from the last value.
    static double ip_;

    // Makes its own TolvaTimeResolver and parses CCSDS; opens no file.
    TolvaTelemetryCache();
    ~TolvaTelemetryCache() override;

protected:
    void hookPacket(const GseLib::TMPacketPtr& packet) override;
    // A parse from the start begins at byte 0.
    void adjustStartPos(FILE* stream, long* position) override;
    // Skips an ITF frame header that begins at the stream position or 2 or 3
    // bytes after it (after a frame's checksum, or a pad byte and checksum).
    // With fewer than 8 bytes left it reads them all, so that the header read
    // after it fails and a later grow starts there again.
    void beforeParseCcsds(FILE* stream) override;
    bool validHeader(const unsigned char* header) override;
    // The frame-header step on the parse's own bytes, which the parse uses:
    // no read and seek back per packet.
    size_t skipBeforeCcsds(const unsigned char* bytes, size_t available) override;
    // Inside a frame an odd-length packet is followed by a pad byte.
    size_t paddingAfterCcsds(size_t length) const override;
    // A header of a type the packet-type table knows, whatever its length.
    bool plausibleHeader(const unsigned char* header) override;

private:
    // Whether the database of `hub` has the bin-time item, and its data id in
    // `id`; looked up once per hub and load. Data id 0 is a row like any other.
    bool binTimeId(const GseLib::DataInterpretation* hub, unsigned int* id);

    // The packet-type table's limits by APID, read once per parse: the header
    // test runs on every packet.
    struct Limits
    {
        bool known = false;
        bool anyLength = false;
        int min = 0;
        int max = 0;
    };
    const Limits& limitsOf(int apid)
    {
        if (limitsParse_ != parseCount() || limits_.empty())
            readLimits();
        return limits_[size_t(apid)];
    }
    void readLimits();

    std::vector<Limits> limits_;
    uint64_t limitsParse_ = 0;
    const GseLib::DataInterpretation* idHub_ = nullptr;
    uint64_t idGeneration_ = 0;
    unsigned int binTimeId_ = 0;
    bool binTimeFound_ = false;
};

} // namespace TolvaGse
