#include "tolvalib/tolvatelemetrycache.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/archivewindow.h"
#include "gselib/packets/ccsdspacket.h"
#include "tolvalib/tolvatimeresolver.h"

#include <cstring>

namespace TolvaGse {

namespace {

constexpr size_t SYNC_LOOKAHEAD = 8;

using GseLib::ArchiveBytes::be32;

// How many more bytes stand between the end of the 8 bytes looked at and the
// end of a frame header whose sync word they hold; -1 when there is none.
// Offset 1 is never a frame boundary and is not tested.
int frameHeaderRest(const unsigned char* b)
{
    for (int offset : {0, 2, 3}) {
        if (be32(b + offset) == TolvaTelemetryCache::ITF_SYNC)
            return offset + TolvaTelemetryCache::ITF_HEADER_SIZE - int(SYNC_LOOKAHEAD);
    }
    return -1;
}

// Whether the n bytes at b (fewer than 8) agree with the sync word at offset
// 0, 2 or 3 as far as they go.
bool syncMayStart(const unsigned char* b, size_t n)
{
    for (size_t offset : {0, 2, 3}) {
        bool agree = true;
        for (size_t i = offset; i < n && i < offset + 4; ++i)
            agree = agree && b[i] == uint8_t(TolvaTelemetryCache::ITF_SYNC >> (8 * (3 - (i - offset))));
        if (agree)
            return true;
    }
    return false;
}

} // namespace

const char* const TolvaTelemetryCache::BIN_TIME_MNEMONIC = "CTL.STATUS:BIN_TIME_RDBK";
double TolvaTelemetryCache::ip_ = 1e-05;

TolvaTelemetryCache::TolvaTelemetryCache()
    : TelemetryCache(new TolvaTimeResolver)
{
    setPacketFormat(CCSDS);
}

TolvaTelemetryCache::~TolvaTelemetryCache() = default;

void TolvaTelemetryCache::adjustStartPos(FILE*, long*)
{
}

void TolvaTelemetryCache::beforeParseCcsds(FILE* stream)
{
    unsigned char b[SYNC_LOOKAHEAD];
    const long start = std::ftell(stream);
    const size_t got = std::fread(b, 1, SYNC_LOOKAHEAD, stream);
    // Fewer than 8 bytes: left read, so that the header read after them fails.
    const size_t skip = got < SYNC_LOOKAHEAD ? got : skipBeforeCcsds(b, got);
    if (skip > got)
        (void)std::fread(b, 1, skip - got, stream);
    else if (skip < got)
        std::fseek(stream, start + long(skip), SEEK_SET);
}

size_t TolvaTelemetryCache::skipBeforeCcsds(const unsigned char* bytes, size_t available)
{
    // Fewer than 8 bytes (the end of the file): taken as read when they may
    // still begin a frame header, so that the header read after them fails
    // and the next grow starts before them again; nothing to step over when
    // they cannot, whatever follows them.
    if (available < SYNC_LOOKAHEAD)
        return syncMayStart(bytes, available) ? available : 0;
    const int rest = frameHeaderRest(bytes);
    return rest < 0 ? 0 : SYNC_LOOKAHEAD + size_t(rest);
}

size_t TolvaTelemetryCache::paddingAfterCcsds(size_t length) const
{
    return length % 2;
}

void TolvaTelemetryCache::readLimits()
{
    limitsParse_ = parseCount();
    limits_.assign(2048, Limits());
    const GseLib::PacketTypes& types = GseLib::DataInterpretation::current()->packetTypes;
    types.reportIfEmpty();
    for (auto it = types.cbegin(); it != types.cend(); ++it) {
        if (it.key() < 0 || it.key() >= 2048)
            continue;
        Limits& l = limits_[size_t(it.key())];
        l.known = true;
        l.anyLength = it->minLength < 0;
        l.min = it->minLength;
        l.max = it->maxLength;
    }
}

bool TolvaTelemetryCache::validHeader(const unsigned char* header)
{
    const int apid = GseLib::CcsdsPrimaryHeader::apidOf(header[0], header[1]);
    // Kept to 16 bits: a length field of 0xFFFF is a data length of 0 here.
    const int dataLength = ((header[4] << 8) + header[5] + 1) & 0xFFFF;
    if (!parsing())
        return GseLib::DataInterpretation::current()->packetTypes.isValidLength(apid, dataLength);
    const Limits& l = limitsOf(apid);
    return l.known && (l.anyLength || (dataLength >= l.min && dataLength <= l.max));
}

bool TolvaTelemetryCache::plausibleHeader(const unsigned char* header)
{
    const int apid = GseLib::CcsdsPrimaryHeader::apidOf(header[0], header[1]);
    if (!parsing())
        return GseLib::DataInterpretation::current()->packetTypes.contains(apid);
    return limitsOf(apid).known;
}

bool TolvaTelemetryCache::binTimeId(const GseLib::DataInterpretation* hub, unsigned int* id)
{
    const uint64_t generation = GseLib::DataInterpretation::generation();
    if (hub != idHub_ || generation != idGeneration_) {
        idHub_ = hub;
        idGeneration_ = generation;
        binTimeId_ = 0;
        binTimeFound_ = false;
        if (const GseLib::TelemetryDatabase* db = hub->db()) {
            const auto it = db->idsByKey().find(BIN_TIME_MNEMONIC);
            if (it != db->idsByKey().end()) {
                binTimeId_ = it->second;
                binTimeFound_ = true;
            }
        }
    }
    *id = binTimeId_;
    return binTimeFound_;
}

void TolvaTelemetryCache::hookPacket(const GseLib::TMPacketPtr& packet)
{
    if (packet->type() != CTL_STAT_APID)
        return;
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    unsigned int id = 0;
    if (!binTimeId(hub, &id))
        return; // as a name the database does not know: the value stays
    // The first item's raw value, applicability tested; nothing decoded keeps the value.
    bool ok = false;
    const double raw = hub->getValue(int(id), packet.get(), Gse::Raw, &ok, true, nullptr);
    if (ok)
        ip_ = raw / 10000000.0;
}

} // namespace TolvaGse
