#include "koralib/scans/scanstatus.h"

#include "conversion/saturatingcast.h"
#include "gselib/database/dactable.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/tmpacket.h"
#include "koralib/archive/dataarea.h"

namespace KorGse {

namespace {

// A raw value into an integer field: NaN gives 0, the value saturates into 64
// bits and is then narrowed modulo the field's width, so 4294967295 in a
// signed 32-bit field reads -1 as the instrument meant it.
template <typename Int>
Int rawTo(double v)
{
    if (v >= 0.0)
        return static_cast<Int>(nr::truncateSaturating<uint64_t>(v));
    return static_cast<Int>(nr::truncateSaturating<int64_t>(v));
}

// Data-field offsets of the two DAC blocks (readback, set).
constexpr int REG_BLOCK = 20;
constexpr int SET_BLOCK = 42;

// One block: ids 0-7 one byte each, 8-12 twelve bits in two bytes, 13 and 15
// big-endian 16-bit; id 14 is not in the packet. Bytes past the packet read 0.
void readDacBlock(const DataArea& d, int base, std::array<uint32_t, ScanStatus::DAC_COUNT>& raw)
{
    for (int id = 0; id < 8; ++id)
        raw[id] = d.u8(base + id);
    for (int id = 8; id <= 12; ++id) {
        const int at = base + 8 + 2 * (id - 8);
        raw[id] = (uint32_t(d.u8(at) & 0x0F) << 8) | d.u8(at + 1);
    }
    raw[13] = d.be16(base + 18);
    raw[15] = d.be16(base + 20);
}

} // namespace

ScanStatus::ScanStatus(const std::shared_ptr<GseLib::TMPacket>& packet)
{
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    if (!packet)
        return;
    const GseLib::TMPacket* p = packet.get();
    packetIndex = p->index;
    rawTimestamp = p->rawTimestamp();
    relativeTime = p->timeResolver ? p->relativeTime() : 0.0;

    // The ok flag is ignored: an item that does not decode reads 0.
    auto raw = [&](int id) { return hub->getValue(id, p, Gse::Raw, nullptr, true, nullptr); };
    auto sci = [&](int id) { return hub->getValue(id, p, Gse::Sci, nullptr, true, nullptr); };

    value200 = rawTo<uint64_t>(raw(200));
    value201 = rawTo<uint16_t>(raw(201));
    rfFreqHz = sci(356);
    rawRfAmpMon = rawTo<uint64_t>(raw(202));
    rfAmpMon = hub->convertValue(202, double(rawRfAmpMon), Gse::Sci, nullptr);
    counterSel = rawTo<uint8_t>(raw(203));
    binCountReg = rawTo<uint16_t>(raw(204));
    rfStepReg = sci(205);
    auxStepReg = sci(206);

    const DataArea d(p);
    readDacBlock(d, REG_BLOCK, regDacRaw);
    readDacBlock(d, SET_BLOCK, setDacRaw);
    // Each DAC row is looked up once and serves both blocks (the type-25 path
    // of bench_sciencedatacache holds this line).
    const GseLib::DacTable& table = *hub->dacTable;
    for (int id = 0; id < DAC_COUNT; ++id) {
        if (id == 14)
            continue;
        const GseLib::DacTableRow& row = table.row(id);
        regDacValue[id] = row.toValue(regDacRaw[id]);
        setDacValue[id] = row.toValue(setDacRaw[id]);
    }

    for (int i = 0; i < PAUSE_COUNT; ++i)
        pauseTimesMs[i] = sci(237 + i);
    binTimeReadback = sci(245);
    value246 = rawTo<uint8_t>(raw(246));
    value247 = rawTo<uint8_t>(raw(247));
    value248 = rawTo<uint8_t>(raw(248));
    value249 = sci(249);
    value250 = sci(250);
    phaseCycleRdbk = rawTo<uint16_t>(raw(251));
    twoOverPhaseCycle = phaseCycleRdbk ? 2.0 / phaseCycleRdbk : 0.0;
    binCountSet = rawTo<uint16_t>(raw(256));
    rfStepSet = sci(255);
    auxStepSet = sci(254);
    specialScanId = rawTo<int32_t>(raw(252));
    rawScanValue = rawTo<int32_t>(raw(253));
}

void ScanStatus::clear()
{
    const int32_t index = packetIndex;
    const uint64_t ts = rawTimestamp;
    const double rel = relativeTime;
    *this = ScanStatus();
    packetIndex = index;
    rawTimestamp = ts;
    relativeTime = rel;
    specialScanId = -1;
}

} // namespace KorGse
