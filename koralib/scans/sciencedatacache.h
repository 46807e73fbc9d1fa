#pragma once
// The first instrument's list of mass-spectrometer scans of the open archive.
// Reads the shared packet cache in archive order through its own cursor and
// assembles scans from science segments (type 26) and summed packets (27, 28),
// attaching scan statuses (25), SEB sequences (23) and the latest housekeeping
// and laser packets (14, 15, 16, 22). Each refresh continues where the last one
// stopped. The Python cache wrapper builds one; it also answers the GC/LDI
// queries and draws the per-scan traces.
#include "koralib/scans/koratypes.h"
#include "koralib/scans/scandata.h"
#include "koralib/scans/scanstatus.h"

#include <QFlags>
#include <QList>
#include <QPointF>
#include <QSharedPointer>
#include <memory>
#include <utility>

namespace GseLib {
class TelemetryFile;
class TMPacket;
} // namespace GseLib

namespace KorGse {

class MassCal;
class SebSequence;

class ScienceDataCache
{
public:
    // Takes ownership of the cursor.
    explicit ScienceDataCache(GseLib::TelemetryFile* file);
    ~ScienceDataCache();
    ScienceDataCache(const ScienceDataCache&) = delete;
    ScienceDataCache& operator=(const ScienceDataCache&) = delete;

    // Reads every packet the cursor yields. An exception from a packet leaves
    // the cache with that packet consumed; the next refresh goes on after it.
    void refresh();
    void reload();
    void clearCache();

    void setScanTypes(QFlags<KORA::ScanType> types) { scanTypes = types; }
    void setSummedScanTimestampMode(KORA::SummedScanTimestampMode mode) { summedScanTimestampMode = mode; }
    void setAverageSummedScans(bool average) { averageSummedScans = average; }

    int size() const { return int(scans.size()); }
    // Throws std::out_of_range outside 0 .. size() - 1.
    std::shared_ptr<ScanData> scan(int i) const;
    // Per stored scan: (its time when stored, the sum of its segments' totals).
    const QList<QPointF>& ticPoints() const { return ticPoints_; }
    const QList<double>& times() const { return scanTimes; }

    bool hasScansFromGcSource() const;
    bool hasScansFromLdiSource() const;
    std::pair<int, int> scanIndexRange(double t0, double t1) const;
    // The traces throw std::out_of_range for a negative start; a start at or
    // past size() gives an empty list.
    QList<QPointF> correctedTicTrace(int start, double a, double b, double c, double d) const;
    QList<QPointF> sicTrace(ScanData::SciRange range, const MassCal& cal, bool correct, int start, double a,
                            double b, double c, double d) const;
    QList<QPointF> maxIonCountTrace(int start) const;

    // The steps of refresh.
    void handleSebSequencePkt(const std::shared_ptr<GseLib::TMPacket>& p);
    void handleScanStatusPacket(const std::shared_ptr<GseLib::TMPacket>& p);
    void handleSciencePacket(const std::shared_ptr<GseLib::TMPacket>& p);
    void handleAggregatedPacket(const std::shared_ptr<GseLib::TMPacket>& p);
    bool endOfCurrentScan(int n) const;
    void addScanData(std::shared_ptr<ScanData> scan);

    // A summed packet takes at most 63 statuses and the stale test reads the
    // newest, so no more are kept (an archive without summed packets would
    // otherwise hold every status read).
    static constexpr int MAX_PENDING_STATUSES = 63;

private:
    std::shared_ptr<GseLib::TelemetryFile> file;
    QList<std::shared_ptr<ScanData>> scans;
    QList<double> scanTimes;
    QList<QPointF> ticPoints_;
    // Per stored scan its highest count: segments never change once stored, and
    // reading them per trace touches 60 cache lines a scan (bench_sciencedatacache).
    QList<double> maxCounts;
    QList<ScanStatus> pendingStatuses;
    QList<QSharedPointer<SebSequence>> pendingSebSequences;
    std::shared_ptr<ScanData> currentScan;
    int32_t latestSebHkIndex = -1;
    int32_t latestLaserPulsesIndex = -1;
    int32_t latestLaserStatusIndex = -1;
    int32_t latestGcHkIndex = -1;
    QFlags<KORA::ScanType> scanTypes = QFlags<KORA::ScanType>(KORA::Type26 | KORA::Type27 | KORA::Type28);
    bool averageSummedScans = false;
    KORA::SummedScanTimestampMode summedScanTimestampMode = KORA::PacketTime;
    // Per cache, so two caches (or a reload) split the same archive alike.
    int32_t nonScanPackets = 0;
};

} // namespace KorGse
