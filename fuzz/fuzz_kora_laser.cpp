// Arbitrary bytes through the laser decoders: the first 29 bytes give the
// row (DECODE_ID1..DECODE_ID4 little-endian, 8 bytes each but the shift's 4,
// then the decoder), the rest is a packet whose bytes end where the input
// ends, whatever its length field says. Nothing may read past the packet,
// shift or convert undefined, or append more items than pulses.
#include "fuzzquiet.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/packetarena.h"
#include "gselib/packets/tompacket.h"
#include "koralib/archive/koradatai.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace KorGse::KorDataInterpretationImpl;

uint64_t le(const uint8_t* p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

const GseLib::Decoder& decoder(unsigned pick)
{
    // Laser housekeeping asks the hub for item 1094, which a bare hub lacks.
    static const LaserPulseTimeDecoder d215;
    static const LaserPulseRegsDecoder d216;
    static const LaserEnergyUvEtuDecoder d217;
    static const LaserEnergyUvEtuCalibratedDecoder d218;
    static const LaserEnergyUvFlightDecoder d219;
    static const LaserEnergyUvFlightSpareDecoder d242;
    static const LaserEnergyUvEtuAvgDecoder d231;
    static const LaserEnergyUvEtuMinDecoder d232;
    static const LaserEnergyUvFlightMaxDecoder d239;
    static const LaserEnergyUvFlightSpareStdDevDecoder d246;
    static const LaserHkDecoder d235;
    static const GseLib::Decoder* all[] = {&d215, &d216, &d217, &d218, &d219, &d242,
                                           &d231, &d232, &d239, &d246, &d235};
    return *all[pick % (sizeof all / sizeof all[0])];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    static const bool hub = [] {
        GseLib::DataInterpretation::init(nullptr, false, nullptr, {});
        return true;
    }();
    (void)hub;
    constexpr size_t PREFIX = 29;
    if (size < PREFIX)
        return 0;
    GseLib::TmDatabaseRow row;
    row.key = "LAS:FUZZ";
    row.dataId = 1;
    row.packetType = 15;
    row.decodeIds = {le(data, 8), le(data + 8, 8), le(data + 16, 8), le(data + 24, 4)};
    const unsigned pick = data[28];
    data += PREFIX;
    size -= PREFIX;
    // The packet needs its type and length bytes and one data byte.
    auto bytes = GseLib::makePacketBytes(size < 9 ? 9 : size);
    std::memcpy(bytes->data(), data, size);
    const GseLib::TomPacket packet(bytes, 0, nullptr);
    GseLib::DataItems items;
    decoder(pick).decode(row, &packet, items, nullptr);
    // At most one item per 16-byte record (or the count's 65535).
    if (items.size() > 65535 || items.size() > size / 16 + 2)
        std::abort();
    return 0;
}
