#pragma once
// The record of one scan-status packet (type 25) of the first instrument: SEB
// readbacks and set values for a scan. Scans keep copies of it (ScanData reads
// the ionization time, DAC values, RF end values, bin time and phase cycle);
// the science data cache fills it from packets.
#include <array>
#include <cstdint>

namespace KorGse {

struct ScanStatus
{
    static constexpr int DAC_COUNT = 16;
    static constexpr int PAUSE_COUNT = 8;

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
