#pragma once
// Value records the first instrument's scan code keeps from single packets:
// a science segment (type 26), SEB housekeeping (22), laser pulses (15),
// laser status (16) and GC housekeeping (14). Each is decoded once, through
// the current interpretation hub, when it is built; the science data cache
// builds them and scans (ScanData) store them. Undecodable values read 0.
#include "gselib/interpretation/datainterpretation.h"

#include <QList>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace GseLib {
class TMPacket;
}

namespace KorGse {

// One science segment of up to 100 bins.
struct SciDataPacket
{
    static constexpr int MAX_BINS = 100;

    SciDataPacket() = default;
    explicit SciDataPacket(std::shared_ptr<GseLib::TMPacket> packet);

    uint64_t rawTimestamp = 0;
    double relativeTime = 0.0;
    double unixTime = 0.0;
    uint16_t startBin = 0;
    uint16_t numBins = 0;
    uint16_t endBin = 0; // startBin + numBins in 16-bit arithmetic: may lie below startBin
    uint16_t rfAmpRaw = 0;
    double rfAmp = 0.0;
    uint16_t rfAmpDacRaw = 0;
    double rfAmpDac = 0.0;
    uint16_t auxAmpDacRaw = 0;
    double auxAmpDac = 0.0;
    uint8_t dataByte14 = 0;
    double totalCounts = 0.0;
    std::array<double, MAX_BINS> counts{};
    double maxCount = 0.0;
};

struct SebHK
{
    SebHK();
    explicit SebHK(std::shared_ptr<GseLib::TMPacket> packet);
    SebHK(const SebHK& other);
    SebHK(SebHK&& other) noexcept;
    SebHK& operator=(const SebHK& other);
    SebHK& operator=(SebHK&& other) noexcept;
    ~SebHK();

    int32_t pktIndex = -1;
    uint64_t rawTimestamp = 0;
    double relativeTime = 0.0;
    std::vector<GseLib::DataItem> emonAItems;
    std::vector<GseLib::DataItem> emonASciItems;
    std::string emonAUnits;
    std::vector<GseLib::DataItem> emonBItems;
    std::vector<GseLib::DataItem> emonBSciItems;
    std::string emonBUnits;
    bool isFilAOn = false;
    bool isFilBOn = false;
};

struct LaserPulsesPacket
{
    LaserPulsesPacket() = default;
    explicit LaserPulsesPacket(std::shared_ptr<GseLib::TMPacket> packet);

    int32_t pktIndex = -1;
    uint64_t rawTimestamp = 0;
    double relativeTime = 0.0;
    QList<double> pulseValues; // one per laser shot
    double pulseValuesSum = 0.0;
    double avgEnergy = 0.0;
    double item1090Value = 0.0;
    double item1091Value = 0.0;
    double sdEnergy = 0.0;
};

struct LaserStatusPacket
{
    LaserStatusPacket() = default;
    explicit LaserStatusPacket(std::shared_ptr<GseLib::TMPacket> packet);

    int32_t pktIndex = -1;
    uint64_t rawTimestamp = 0;
    double relativeTime = 0.0;
    double statusValue = 0.0;
};

struct GcHkPacket
{
    GcHkPacket() = default;
    explicit GcHkPacket(const std::shared_ptr<GseLib::TMPacket>& packet);

    int32_t pktIndex = -1;
};

// The first value of data item `id` of the packet as decoded (no transfer
// functions); 0.0 when nothing decodes.
double firstDecodedValue(int id, const GseLib::TMPacket* packet);

} // namespace KorGse
