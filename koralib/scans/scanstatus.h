#pragma once
// The record of one scan-status packet (type 25) of the first instrument: SEB
// readbacks and set values for a scan, the two DAC blocks and the pause times
// that command sequences select. The science data cache builds one per type-25
// packet and attaches copies to scans; ScanData reads the ionization time, DAC
// values, RF end values, bin time and phase cycle; the Python scan shows it.
#include <array>
#include <cstdint>
#include <memory>

namespace GseLib {
class TMPacket;
}

namespace KorGse {

struct ScanStatus
{
    static constexpr int DAC_COUNT = 16;
    static constexpr int PAUSE_COUNT = 8;

    ScanStatus() = default;
    // Decodes the packet through the current interpretation hub. Items that do
    // not decode read 0; a DAC id without a row (and no row "Unknown") throws
    // std::out_of_range; no hub throws std::runtime_error.
    explicit ScanStatus(const std::shared_ptr<GseLib::TMPacket>& packet);

    // Every decoded field 0, specialScanId -1; the packet's index and times stay.
    void clear();

    int32_t packetIndex = 0;
    uint64_t rawTimestamp = 0;
    double relativeTime = 0.0;
    uint64_t value200 = 0;
    uint16_t value201 = 0;
    double rfFreqHz = 0.0;
    uint64_t rawRfAmpMon = 0;
    double rfAmpMon = 0.0; // last RF amplitude monitor reading: the scan's RF amplitude at its end
    uint8_t counterSel = 0;
    uint16_t binCountReg = 0;
    double rfStepReg = 0.0;
    double auxStepReg = 0.0;
    std::array<uint32_t, DAC_COUNT> regDacRaw{};
    std::array<double, DAC_COUNT> regDacValue{};
    std::array<uint32_t, DAC_COUNT> setDacRaw{};
    std::array<double, DAC_COUNT> setDacValue{};
    std::array<double, PAUSE_COUNT> pauseTimesMs{}; // index 2 is the ionization time
    double binTimeReadback = 0.0;                   // microseconds
    uint8_t value246 = 0;
    uint8_t value247 = 0;
    uint8_t value248 = 0;
    double value249 = 0.0;
    double value250 = 0.0;
    uint16_t phaseCycleRdbk = 0;
    double twoOverPhaseCycle = 0.0;
    uint16_t binCountSet = 0;
    double rfStepSet = 0.0;
    double auxStepSet = 0.0;
    int32_t specialScanId = 0;
    int32_t rawScanValue = 0;
};

} // namespace KorGse
