#pragma once
// One mass-spectrometer scan of the first instrument: its segments (from
// type-26 science packets added one by one, or decoded whole from one summed
// type-27/28 packet), the scan statuses and paired housekeeping records the
// science data cache sets, and the queries the cache's traces and the Python
// layer read: ion counts, TICs, corrected TICs, RF ramp ends, point lists and
// the transforms between bins, RF values and mass, and the classification
// (ion source, scan mode, electron-multiplier on-times). Queries never throw.
#include "koralib/archive/korpacketrecords.h"
#include "koralib/scans/koratypes.h"
#include "koralib/scans/scanstatus.h"
#include "koralib/seb/sebsequence.h"

#include <QHash>
#include <QList>
#include <QPointF>
#include <QSharedPointer>
#include <cstdint>
#include <memory>
#include <vector>

class CompositeTransform;
class PiecewiseTransform;

namespace KorGse {

class MassCal;

class ScanData
{
public:
    enum ValueType : int { BIN = 0, RF_MON = 1, RF_DAC = 2, MASS = 3 };
    enum ScanMode : int { MODE_UNKNOWN = 0, MODE_EI = 1, MODE_DARK = 2, MODE_LDI = 3 };
    enum IonSource : int { SOURCE_NONE = 0, SOURCE_GC = 1, SOURCE_LDI = 2 };
    // An electron multiplier is on while its DAC value is below this.
    static constexpr double EM_ON_THRESHOLD = -1900.0;
    static constexpr double DARK_RF_DAC_LIMIT = 100.0;

    // A selection on one axis of a scan.
    struct SciRange
    {
        double lowerBound = 0.0;
        double upperBound = 0.0;
        ValueType valueType = BIN;
        bool boundsSet = false;
    };

    ScanData();
    // The whole scan of one summed packet (type 27, or 28 with one-byte bins),
    // keeping the newest of the pending statuses. Reads stay inside the packet:
    // missing bins count 0, a short table or trailer contributes what is wholly present.
    ScanData(std::shared_ptr<GseLib::TMPacket> packet, const QList<ScanStatus>& statuses, bool averageSummedScans,
             KORA::SummedScanTimestampMode mode);
    ScanData(const ScanData&) = default;
    ScanData(ScanData&&) noexcept = default;
    ScanData& operator=(const ScanData&) = default;
    ScanData& operator=(ScanData&&) noexcept = default;
    ~ScanData();

    // Appends one type-26 segment; false, with nothing changed, when it starts
    // below the last segment (the caller then starts a new scan).
    bool addSciDataPkt(const SciDataPacket& segment, int cacheIndex);

    // Trailer values of a summed packet, each only when wholly inside the data.
    void extractScanTics(const std::shared_ptr<GseLib::TMPacket>& packet, int offset, int count, int stride);
    void extractMbcSic(const std::shared_ptr<GseLib::TMPacket>& packet, int offset, int count);
    void extractCFactors(const std::shared_ptr<GseLib::TMPacket>& packet, int offset, int count);

    QList<int> packetIndexes() const { return packetIndexes_; }
    QList<int> scanStatusPacketIndexes() const;
    QList<int> sebSequencePacketIndexes() const;

    // Bins [from, to); (0, 0) is the whole scan, to = 0 runs to the end.
    void selectedIonCountSumAndMax(double& sum, double& max, int from, int to) const;
    double ionCount(int from, int to) const;
    double maxIonCount() const;
    QList<uint32_t> ticList() const;
    double correctedTotalIonCount(double a, double b, double c, double d) const;
    // The same with the sum of the segments' totals given: the science data
    // cache keeps it per stored scan (whose segments no longer change), so its
    // trace reads no segment (bench_sciencedatacache, correctedTicTrace).
    double correctedTotalIonCountOfTotal(double segmentTotal, double a, double b, double c, double d) const;
    double correctedTotalIonCountFactor(double a, double b, double c, double d) const;
    QList<uint32_t> cTicList() const;
    double totalScanTimeSecs() const;
    // Wraps past 65535, as the 16-bit totals that close scans do.
    uint16_t nBins() const;
    double countsPerSecond() const;
    double rfAmpStart() const;
    double rfAmpDACStart() const;
    double auxAmpDACStart() const;
    double rfAmpEnd() const;
    double rfAmpDACEnd() const;
    double auxAmpDACEnd() const;
    double relativeTimestamp() const;
    QList<QPointF> binVsCounts() const;
    QList<QPointF> binVsCorrectedCounts(double a, double b, double c, double d) const;
    QList<QPointF> culledBinVsCounts() const;

    // The chain turning a value of `from` into `to`; the mass stage is a copy
    // of the calibration entry of the last status's phase cycle.
    std::shared_ptr<CompositeTransform> getTransform(ValueType from, ValueType to, const MassCal& massCal) const;
    void buildBinTransform(const std::shared_ptr<CompositeTransform>& t, ValueType to, const MassCal& massCal,
                           int phaseCycle) const;
    void buildRFMonTransform(const std::shared_ptr<CompositeTransform>& t, ValueType to, const MassCal& massCal,
                             int phaseCycle) const;
    void buildRFDacTransform(const std::shared_ptr<CompositeTransform>& t, ValueType to, const MassCal& massCal,
                             int phaseCycle) const;
    void buildMassTransform(const std::shared_ptr<CompositeTransform>& t, ValueType to, const MassCal& massCal,
                            int phaseCycle) const;
    // Bin to RF monitor value (RF_MON) or to RF DAC value (any other type),
    // cached until the segment or status count changes.
    std::shared_ptr<PiecewiseTransform> createRfTransform(ValueType type) const;

    // 1 GC (GC housekeeping paired), else 2 LDI (laser pulses paired), else 0.
    int ionSource() const;
    int determineScanMode() const;
    bool isDarkCountScan() const;
    // On-times of EM_A and EM_B in milliseconds. Never throws: a command whose
    // interpreter, field or index is missing or bad does nothing.
    void calculateEmOnTimes(double& emA, double& emB) const;
    // The bin count of the last status, then each segment's start bin.
    void dump() const;

    std::vector<SciDataPacket> segments;
    bool averageSummedScans = false;
    KORA::SummedScanTimestampMode summedScanTimestampMode = KORA::PacketTime;
    uint8_t numScans = 1;
    QList<ScanStatus> scanStatuses;
    QList<uint32_t> scanTics;
    QList<double> cFactors;
    QList<uint16_t> mbcSics;
    SebHK sebHkPkt;
    LaserPulsesPacket laserPulsesPkt;
    LaserStatusPacket laserStatusPkt;
    GcHkPacket gcHkPkt;
    uint32_t srcPktType = 26;
    uint32_t scanTypeFlag = 1;
    uint32_t sciDataPktVersion = 0;
    QList<int> packetIndexes_;
    QList<QSharedPointer<SebSequence>> sebSequences;
    mutable QHash<int, std::shared_ptr<PiecewiseTransform>> rfTransformCache; // keyed by ValueType
    mutable int rfTransformCacheSegments = 0;
    mutable int rfTransformCacheStatuses = 0;

private:
    // numScans as a divisor: a packet claiming 0 acquisitions divides by 1.
    double scanDivisor() const { return numScans ? double(numScans) : 1.0; }
    double summedTotalCounts() const;
    double rampEnd(double SciDataPacket::*value, double statusValue) const;
    void appendMassStage(const std::shared_ptr<CompositeTransform>& t, const MassCal& massCal, int phaseCycle,
                         bool inverted) const;
    // From one RF scale (`from`, RF_MON or RF_DAC) to bins, the other RF scale or mass:
    // the two scales mirror each other.
    void buildRfScaleTransform(const std::shared_ptr<CompositeTransform>& t, ValueType from, ValueType to,
                               const MassCal& massCal, int phaseCycle) const;
};

} // namespace KorGse
