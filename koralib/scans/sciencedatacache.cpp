#include "koralib/scans/sciencedatacache.h"

#include "conversion/compositetransform.h"
#include "conversion/saturatingcast.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/tmpacket.h"
#include "koralib/archive/dataarea.h"
#include "koralib/archive/korpacketrecords.h"
#include "koralib/masscal/masscal.h"
#include "koralib/seb/sebcmd.h"
#include "koralib/seb/sebsequence.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace KorGse {

namespace {

// Raw first-instrument timestamps count 100-microsecond ticks.
constexpr double TICK_SECONDS = 0.0001;
double ticksToSecs(double ticks)
{
    return ticks * TICK_SECONDS;
}

constexpr uint8_t END_OF_SCAN_MARKER = 0x86;
constexpr int END_MARKER_BYTE = 3;

// Run lengths and bin totals of the end-of-scan rule.
constexpr int RUN_TO_MATCH_LAST_SCAN = 21;
constexpr int RUN_FOR_LONG_FIRST_SCAN = 50;   // more than this
constexpr int RUN_FOR_MEDIUM_FIRST_SCAN = 101; // at least this
constexpr uint16_t LONG_FIRST_SCAN_BINS = 19900;
constexpr uint16_t MEDIUM_FIRST_SCAN_BINS = 1900;

constexpr double STATUS_WINDOW_SECS = 2.0;
constexpr int SUMMED_STATUS_INDEX_WINDOW = 14;
constexpr double STALE_STATUS_SECS = 1.0;
constexpr double GC_PAIRING_SECS = 2.0;

GseLib::TMPacketPtr archivePacket(int index)
{
    GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    return cache ? cache->get(unsigned(index)) : GseLib::TMPacketPtr();
}

double segmentTotal(const ScanData& scan)
{
    double total = 0.0;
    for (const SciDataPacket& s : scan.segments)
        total += s.totalCounts;
    return total;
}

double segmentMax(const ScanData& scan)
{
    double m = 0.0;
    for (const SciDataPacket& s : scan.segments)
        m = std::max(m, s.maxCount);
    return m;
}

// A trace from scan `start` on: (scan time, y(scan index)). `times` holds a
// time for every scan.
template <typename Y>
QList<QPointF> traceFrom(int start, const QList<double>& times, Y y)
{
    if (start < 0)
        throw std::out_of_range("trace start " + std::to_string(start) + " is negative");
    QList<QPointF> out;
    if (start >= times.size())
        return out;
    out.reserve(times.size() - start);
    for (qsizetype i = start; i < times.size(); ++i)
        out.append(QPointF(times[i], y(i)));
    return out;
}

} // namespace

ScienceDataCache::ScienceDataCache(GseLib::TelemetryFile* file)
    : file(file), currentScan(std::make_shared<ScanData>())
{
}

ScienceDataCache::~ScienceDataCache() = default;

void ScienceDataCache::refresh()
{
    if (!file)
        return;
    while (GseLib::TMPacketPtr p = file->getNext()) {
        switch (p->type()) {
        case 14:
            latestGcHkIndex = p->index;
            break;
        case 15:
            latestLaserPulsesIndex = p->index;
            break;
        case 16:
            latestLaserStatusIndex = p->index;
            break;
        case 22:
            latestSebHkIndex = p->index;
            break;
        case 23:
            handleSebSequencePkt(p);
            break;
        case 25:
            nonScanPackets = 0;
            handleScanStatusPacket(p);
            break;
        case 26:
            if (scanTypes.testFlag(KORA::Type26)) {
                nonScanPackets = 0;
                handleSciencePacket(p);
            }
            break;
        case 27:
        case 28:
            if (scanTypes.testFlag(p->type() == 27 ? KORA::Type27 : KORA::Type28)) {
                nonScanPackets = 0;
                handleAggregatedPacket(p);
            }
            break;
        default:
            ++nonScanPackets;
            if (endOfCurrentScan(nonScanPackets)) {
                addScanData(currentScan);
                currentScan = std::make_shared<ScanData>();
                nonScanPackets = 0;
            }
            break;
        }
    }
}

void ScienceDataCache::reload()
{
    clearCache();
    if (file)
        file->reset();
    latestSebHkIndex = -1;
    latestLaserPulsesIndex = -1;
    latestLaserStatusIndex = -1;
    latestGcHkIndex = -1;
    refresh();
}

void ScienceDataCache::clearCache()
{
    scans.clear();
    scanTimes.clear();
    ticPoints_.clear();
    maxCounts.clear();
    pendingStatuses.clear();
    pendingSebSequences.clear();
    currentScan = std::make_shared<ScanData>();
    nonScanPackets = 0;
}

std::shared_ptr<ScanData> ScienceDataCache::scan(int i) const
{
    if (i < 0 || i >= scans.size())
        throw std::out_of_range("scan index " + std::to_string(i) + " out of range (" + std::to_string(scans.size()) +
                                " scans)");
    return scans[i];
}

bool ScienceDataCache::endOfCurrentScan(int n) const
{
    // The run rule never stores a scan without segments: an empty current scan
    // after a stored one whose bin total is 0 would otherwise be stored on every
    // run of 21 packets, taking the laser pulses of the next real scan.
    if (currentScan->segments.empty())
        return false;
    const uint16_t bins = currentScan->nBins();
    if (scans.isEmpty()) {
        if (bins > LONG_FIRST_SCAN_BINS)
            return n > RUN_FOR_LONG_FIRST_SCAN;
        return n >= RUN_FOR_MEDIUM_FIRST_SCAN && bins > MEDIUM_FIRST_SCAN_BINS;
    }
    if (n < RUN_TO_MATCH_LAST_SCAN)
        return false;
    return bins == scans.last()->nBins();
}

void ScienceDataCache::handleSciencePacket(const std::shared_ptr<GseLib::TMPacket>& p)
{
    const SciDataPacket segment(p);
    // A packet too short for the marker byte carries no marker.
    const bool endMarker = DataArea(p.get()).u8(END_MARKER_BYTE) == END_OF_SCAN_MARKER;
    if (!currentScan->addSciDataPkt(segment, p->index)) {
        addScanData(currentScan);
        currentScan = std::make_shared<ScanData>();
        currentScan->addSciDataPkt(segment, p->index);
        return;
    }
    if (endMarker) {
        addScanData(currentScan);
        currentScan = std::make_shared<ScanData>();
    }
}

void ScienceDataCache::handleScanStatusPacket(const std::shared_ptr<GseLib::TMPacket>& p)
{
    pendingStatuses.append(ScanStatus(p));
    if (pendingStatuses.size() > MAX_PENDING_STATUSES)
        pendingStatuses.removeFirst();
    const ScanStatus& st = pendingStatuses.last();
    if (scans.isEmpty())
        return;
    ScanData& last = *scans.last();
    if (last.scanStatuses.size() == qsizetype(last.numScans))
        return;
    const double first = last.segments.empty() ? 0.0 : ticksToSecs(double(last.segments.front().rawTimestamp));
    const double dt = first - ticksToSecs(double(st.rawTimestamp));
    if (!(dt <= 0.0))
        return;
    if (last.srcPktType != 27) {
        if (dt >= -STATUS_WINDOW_SECS)
            last.scanStatuses.append(st);
        return;
    }
    const int32_t firstIndex = last.packetIndexes_.isEmpty() ? 0 : last.packetIndexes_.front();
    // Signed 32-bit difference, wrapping as the indexes do.
    const int32_t apart = int32_t(uint32_t(st.packetIndex) - uint32_t(firstIndex));
    if (apart <= SUMMED_STATUS_INDEX_WINDOW)
        last.scanStatuses.append(st);
}

void ScienceDataCache::handleAggregatedPacket(const std::shared_ptr<GseLib::TMPacket>& p)
{
    if (!pendingStatuses.isEmpty()
        && ticksToSecs(double(p->rawTimestamp())) - ticksToSecs(double(pendingStatuses.last().rawTimestamp))
               > STALE_STATUS_SECS)
        pendingStatuses.clear();
    addScanData(std::make_shared<ScanData>(p, pendingStatuses, averageSummedScans, summedScanTimestampMode));
    pendingStatuses.clear();
}

void ScienceDataCache::handleSebSequencePkt(const std::shared_ptr<GseLib::TMPacket>& p)
{
    const bool isNew = SebSequence::isNewSequence(p);
    if (isNew && !pendingSebSequences.isEmpty() && pendingSebSequences.last()->contains(SebCmd::SEND_SCAN_STATUS))
        pendingSebSequences.clear();
    if (isNew || pendingSebSequences.isEmpty())
        pendingSebSequences.append(QSharedPointer<SebSequence>::create(p));
    else
        pendingSebSequences.last()->addPartialSequence(p);
}

void ScienceDataCache::addScanData(std::shared_ptr<ScanData> scan)
{
    if (latestSebHkIndex >= 0)
        scan->sebHkPkt = SebHK(archivePacket(latestSebHkIndex));
    if (latestLaserPulsesIndex >= 0) {
        scan->laserPulsesPkt = LaserPulsesPacket(archivePacket(latestLaserPulsesIndex));
        latestLaserPulsesIndex = -1;
    }
    if (latestLaserStatusIndex >= 0)
        scan->laserStatusPkt = LaserStatusPacket(archivePacket(latestLaserStatusIndex));
    if (latestGcHkIndex >= 0) {
        const GseLib::TMPacketPtr g = archivePacket(latestGcHkIndex);
        const double gTime = g && g->timeResolver ? g->relativeTime() : 0.0;
        if (g && scan->relativeTimestamp() - gTime < GC_PAIRING_SECS)
            scan->gcHkPkt = GcHkPacket(g);
    }
    if (!pendingSebSequences.isEmpty())
        scan->sebSequences = pendingSebSequences;
    const double t = scan->relativeTimestamp();
    ticPoints_.append(QPointF(t, segmentTotal(*scan)));
    maxCounts.append(segmentMax(*scan));
    scanTimes.append(t);
    scans.append(std::move(scan));
}

bool ScienceDataCache::hasScansFromGcSource() const
{
    for (const auto& s : scans)
        if (s->ionSource() == 1)
            return true;
    return false;
}

bool ScienceDataCache::hasScansFromLdiSource() const
{
    for (const auto& s : scans)
        if (s->ionSource() == 2)
            return true;
    return false;
}

std::pair<int, int> ScienceDataCache::scanIndexRange(double t0, double t1) const
{
    const int n = int(scans.size());
    int first = 0;
    while (first < n && !(scans[first]->relativeTimestamp() >= t0))
        ++first;
    int second = first;
    while (second < n && !(scans[second]->relativeTimestamp() >= t1))
        ++second;
    return {first, second};
}

QList<QPointF> ScienceDataCache::correctedTicTrace(int start, double a, double b, double c, double d) const
{
    return traceFrom(start, scanTimes, [&](qsizetype i) {
        return scans[i]->correctedTotalIonCountOfTotal(ticPoints_[i].y(), a, b, c, d);
    });
}

QList<QPointF> ScienceDataCache::sicTrace(ScanData::SciRange range, const MassCal& cal, bool correct, int start,
                                          double a, double b, double c, double d) const
{
    return traceFrom(start, scanTimes, [&](qsizetype i) {
        const ScanData& s = *scans[i];
        int from = 0;
        int to = 0;
        if (range.boundsSet) {
            const auto t = s.getTransform(range.valueType, ScanData::BIN, cal);
            // NaN gives 0; bounds beyond int saturate.
            from = nr::truncateSaturating<int>(std::ceil(t->apply(range.lowerBound)));
            to = nr::truncateSaturating<int>(std::ceil(t->apply(range.upperBound)));
        }
        double sum = 0.0;
        double max = 0.0;
        s.selectedIonCountSumAndMax(sum, max, from, to);
        double y = sum;
        if (correct)
            y *= s.correctedTotalIonCountFactor(a, b, c, d);
        return y;
    });
}

QList<QPointF> ScienceDataCache::maxIonCountTrace(int start) const
{
    return traceFrom(start, scanTimes, [&](qsizetype i) { return maxCounts[i]; });
}

} // namespace KorGse
