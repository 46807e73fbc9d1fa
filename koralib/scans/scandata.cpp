#include "koralib/scans/scandata.h"

#include "conversion/compositetransform.h"
#include "conversion/saturatingcast.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/tmpacket.h"
#include "koralib/archive/dataarea.h"
#include "koralib/masscal/masscal.h"
#include "koralib/seb/sebcmd.h"
#include "tools/util/cull.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace KorGse {

namespace {

constexpr int BINS_PER_SEGMENT = SciDataPacket::MAX_BINS;
constexpr int SEGMENT_ENTRY_SIZE = 8;
constexpr int SUMMED_HEADER_SIZE = 4;

// The tics of ticList() without building a list, so the corrected TIC and
// its factor allocate nothing (bench_kora holds them under a microsecond).
struct Tics
{
    const uint32_t* data = nullptr;
    qsizetype size = 0;
    uint32_t single = 0;
    uint32_t operator[](qsizetype i) const { return data ? data[i] : single; }
};

} // namespace

ScanData::ScanData() = default;

ScanData::~ScanData() = default;

ScanData::ScanData(std::shared_ptr<GseLib::TMPacket> packet, const QList<ScanStatus>& statuses,
                   bool averageSummedScans, KORA::SummedScanTimestampMode mode)
    : averageSummedScans(averageSummedScans), summedScanTimestampMode(mode)
{
    if (!packet || !packet->bytes || packet->bytes->empty())
        return;
    const DataArea d(packet.get());
    numScans = d.u8(1) & 0x3F;
    scanStatuses = statuses;
    srcPktType = uint32_t(packet->type());
    packetIndexes_ = {packet->index};
    // Another type keeps the flag of a type-26 scan.
    if (srcPktType == 28) {
        scanTypeFlag = 4;
        sciDataPktVersion = 0;
    } else if (srcPktType == 27) {
        scanTypeFlag = 2;
        sciDataPktVersion = d.u8(1) >> 6;
    } else {
        sciDataPktVersion = 0;
    }
    while (scanStatuses.size() > numScans)
        scanStatuses.removeFirst();

    const int64_t size = int64_t(d.size());
    const int declaredSegments = d.be16(2);
    const int n = numScans;
    const int64_t table = int64_t(SEGMENT_ENTRY_SIZE) * declaredSegments + SUMMED_HEADER_SIZE;
    int64_t trailer = 0;
    if (sciDataPktVersion == 1) {
        extractScanTics(packet, int(table), n, 4);
        trailer = 4 * n;
    } else if (sciDataPktVersion == 2 || sciDataPktVersion == 3) {
        extractScanTics(packet, int(table), n, 10);
        extractMbcSic(packet, int(table) + 4, n);
        extractCFactors(packet, int(table) + 6, n);
        trailer = 10 * n + (n % 2 ? 2 : 0);
    }
    const int64_t binStart = table + trailer;
    const int64_t binBytes = size - binStart;
    const bool oneByteBins = srcPktType == 28;
    const int bytesPerBin = oneByteBins ? 1 : 2;
    // Only type 27 counts two bytes a bin; another type reads words but counts
    // bytes, its bins past the data reading 0.
    const bool halveBinBytes = srcPktType == 27;

    // Only segments whose table entry is wholly present; a short packet with a
    // huge segment count so yields a few segments, not millions.
    const int64_t entriesPresent = size >= SUMMED_HEADER_SIZE ? (size - SUMMED_HEADER_SIZE) / SEGMENT_ENTRY_SIZE : 0;
    const int segmentCount = int(std::min<int64_t>(declaredSegments, entriesPresent));

    // Bin counts: the last segment takes the remainder of the bin data. With
    // the table or trailer cut short there is no bin data and no bins.
    int lastBins = 0;
    int otherBins = 0;
    if (binBytes >= 0) {
        int r = uint16_t(binBytes);
        if (halveBinBytes)
            r /= 2;
        const int total = std::min(r, BINS_PER_SEGMENT * declaredSegments);
        lastBins = total % BINS_PER_SEGMENT;
        if (lastBins == 0)
            lastBins = BINS_PER_SEGMENT;
        otherBins = BINS_PER_SEGMENT;
    }

    const uint64_t rawTimestamp = packet->rawTimestamp();
    const double relativeTime = packet->timeResolver ? packet->relativeTime() : 0.0;
    const double unixTime = packet->timeResolver ? packet->unixTime() : 0.0;
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    const double divisor = scanDivisor();
    const uint8_t* bytes = d.data();

    segments.reserve(size_t(segmentCount));
    for (int k = 0; k < segmentCount; ++k) {
        SciDataPacket s;
        s.rawTimestamp = rawTimestamp;
        s.relativeTime = relativeTime;
        s.unixTime = unixTime;
        const size_t entry = size_t(SUMMED_HEADER_SIZE) + size_t(SEGMENT_ENTRY_SIZE) * size_t(k);
        s.startBin = uint16_t(d.be16(entry) - 1);
        s.numBins = uint16_t(k == declaredSegments - 1 ? lastBins : otherBins);
        s.endBin = uint16_t(s.startBin + s.numBins);
        s.rfAmpRaw = d.be16(entry + 2);
        s.rfAmp = hub->convertValue(351, s.rfAmpRaw, Gse::Sci, nullptr);
        s.rfAmpDacRaw = d.be16(entry + 4);
        s.rfAmpDac = hub->convertValue(352, s.rfAmpDacRaw, Gse::Sci, nullptr);
        s.auxAmpDacRaw = d.be16(entry + 6);
        s.auxAmpDac = hub->convertValue(353, s.auxAmpDacRaw, Gse::Sci, nullptr);

        // Bins past the data stay 0.
        const int64_t pos = binStart + int64_t(k) * BINS_PER_SEGMENT * bytesPerBin;
        const int64_t avail = pos < size ? (size - pos) / bytesPerBin : 0;
        const int inData = int(std::min<int64_t>(s.numBins, avail));
        double total = 0.0;
        double max = 0.0;
        if (inData <= 0) {
            // nothing of this segment's bin data is in the packet
        } else if (oneByteBins) {
            const uint8_t* p = bytes + pos;
            for (int j = 0; j < inData; ++j) {
                const double c = p[j];
                s.counts[size_t(j)] = c;
                total += c;
                if (c > max)
                    max = c;
            }
        } else {
            const uint8_t* p = bytes + pos;
            for (int j = 0; j < inData; ++j) {
                double c = double((unsigned(p[2 * j]) << 8) | p[2 * j + 1]);
                if (averageSummedScans)
                    c /= divisor;
                s.counts[size_t(j)] = c;
                total += c;
                if (c > max)
                    max = c;
            }
        }
        s.totalCounts = total;
        s.maxCount = max;
        segments.push_back(s);
    }
}

bool ScanData::addSciDataPkt(const SciDataPacket& segment, int cacheIndex)
{
    if (!segments.empty() && segment.startBin < segments.back().startBin)
        return false;
    srcPktType = 26;
    segments.push_back(segment);
    packetIndexes_.append(cacheIndex);
    return true;
}

void ScanData::extractScanTics(const std::shared_ptr<GseLib::TMPacket>& packet, int offset, int count, int stride)
{
    const DataArea d(packet.get());
    for (int i = 0; i < count; ++i) {
        const int64_t at = int64_t(offset) + int64_t(i) * stride;
        if (at < 0 || !d.holds(uint64_t(at), 4))
            break;
        scanTics.append(d.be32(size_t(at)));
    }
}

void ScanData::extractMbcSic(const std::shared_ptr<GseLib::TMPacket>& packet, int offset, int count)
{
    const DataArea d(packet.get());
    for (int i = 0; i < count; ++i) {
        const int64_t at = int64_t(offset) + int64_t(i) * 10;
        if (at < 0 || !d.holds(uint64_t(at), 2))
            break;
        mbcSics.append(d.be16(size_t(at)));
    }
}

void ScanData::extractCFactors(const std::shared_ptr<GseLib::TMPacket>& packet, int offset, int count)
{
    const DataArea d(packet.get());
    for (int i = 0; i < count; ++i) {
        const int64_t at = int64_t(offset) + int64_t(i) * 10;
        if (at < 0 || !d.holds(uint64_t(at), 4))
            break;
        const uint32_t word = d.be32(size_t(at));
        float f;
        std::memcpy(&f, &word, sizeof f);
        cFactors.append(double(f));
    }
}

QList<int> ScanData::scanStatusPacketIndexes() const
{
    QList<int> out;
    out.reserve(scanStatuses.size());
    for (const ScanStatus& s : scanStatuses)
        out.append(s.packetIndex);
    return out;
}

QList<int> ScanData::sebSequencePacketIndexes() const
{
    QList<int> out;
    for (const QSharedPointer<SebSequence>& s : sebSequences)
        if (s)
            out.append(s->pktIndexes);
    return out;
}

void ScanData::selectedIonCountSumAndMax(double& sum, double& max, int from, int to) const
{
    sum = 0.0;
    max = 0.0;
    if (from < 0)
        from = 0;
    if (to < 0 || segments.empty())
        return;
    if (from == 0 && to == 0) {
        for (const SciDataPacket& s : segments) {
            sum += s.totalCounts;
            if (s.maxCount > max)
                max = s.maxCount;
        }
        return;
    }
    if (to == 0)
        to = segments.back().endBin;
    for (const SciDataPacket& s : segments) {
        // In int: endBin may have wrapped below startBin.
        const int start = s.startBin;
        const int end = s.endBin;
        if (to <= start || from >= end)
            continue;
        if (from <= start && to >= end) {
            sum += s.totalCounts;
            if (s.maxCount > max)
                max = s.maxCount;
            continue;
        }
        const int lo = std::max(std::max(from, start) - start, 0);
        const int hi = std::min({std::min(to, end) - start, int(s.numBins), BINS_PER_SEGMENT});
        for (int j = lo; j < hi; ++j) {
            const double c = s.counts[size_t(j)];
            sum += c;
            if (c > max)
                max = c;
        }
    }
}

double ScanData::ionCount(int from, int to) const
{
    double sum = 0.0;
    double max = 0.0;
    selectedIonCountSumAndMax(sum, max, from, to);
    return sum;
}

double ScanData::maxIonCount() const
{
    double max = 0.0;
    for (const SciDataPacket& s : segments)
        if (s.maxCount > max)
            max = s.maxCount;
    return max;
}

double ScanData::summedTotalCounts() const
{
    double total = 0.0;
    for (const SciDataPacket& s : segments)
        total += s.totalCounts;
    return total;
}

namespace {

Tics ticsOf(const ScanData& scan, double summed)
{
    Tics t;
    if (scan.scanTypeFlag == 2) {
        if (!scan.scanTics.isEmpty()) {
            t.data = scan.scanTics.constData();
            t.size = scan.scanTics.size();
        } else if (scan.numScans == 1) {
            t.single = nr::truncateSaturating<uint32_t>(summed);
            t.size = 1;
        }
    } else {
        t.single = nr::truncateSaturating<uint32_t>(summed);
        t.size = 1;
    }
    return t;
}

} // namespace

QList<uint32_t> ScanData::ticList() const
{
    if (scanTypeFlag == 2 && !scanTics.isEmpty())
        return scanTics;
    const Tics t = ticsOf(*this, summedTotalCounts());
    QList<uint32_t> out;
    if (t.size)
        out.append(t.single);
    return out;
}

double ScanData::correctedTotalIonCount(double a, double b, double c, double d) const
{
    if (scanStatuses.isEmpty())
        return 0.0;
    return correctedTotalIonCountOfTotal(summedTotalCounts(), a, b, c, d);
}

double ScanData::correctedTotalIonCountOfTotal(double segmentTotal, double a, double b, double c, double d) const
{
    if (scanStatuses.isEmpty())
        return 0.0;
    const Tics tics = ticsOf(*this, segmentTotal);
    double result = 0.0;
    if (sciDataPktVersion == 2) {
        if (cFactors.size() != tics.size)
            return 0.0;
        for (qsizetype i = 0; i < tics.size; ++i)
            result += cFactors[i] * tics[i];
    } else {
        if (tics.size == 0 || tics.size != scanStatuses.size())
            return 0.0;
        double acc = 0.0;
        for (qsizetype i = 0; i < tics.size; ++i) {
            const ScanStatus& s = scanStatuses[i];
            const double u = s.pauseTimesMs[2];
            const double w = s.setDacValue[2];
            const double e = std::exp((s.regDacValue[6] - c) * d);
            if (w == 0.0 || u == 0.0 || e == 0.0)
                return 0.0;
            acc += tics[i] / (u * w * e);
        }
        result = a * b * acc;
    }
    if (averageSummedScans)
        result /= scanDivisor();
    return result;
}

double ScanData::correctedTotalIonCountFactor(double a, double b, double c, double d) const
{
    if (scanStatuses.isEmpty() || segments.empty())
        return 0.0;
    const double total = summedTotalCounts();
    const Tics tics = ticsOf(*this, total);
    if (tics.size == 0 || total == 0.0)
        return 0.0;
    double factor = 0.0;
    if (sciDataPktVersion == 2) {
        if (cFactors.size() != tics.size)
            return 0.0;
        for (qsizetype i = 0; i < tics.size; ++i)
            factor += tics[i] / total * cFactors[i];
    } else {
        if (scanStatuses.size() != numScans || tics.size != numScans)
            return 0.0;
        for (int i = 0; i < numScans; ++i) {
            const ScanStatus& s = scanStatuses[i];
            const double u = s.pauseTimesMs[2];
            const double w = s.setDacValue[2];
            const double e = std::exp((s.regDacValue[6] - c) * d);
            if (w == 0.0 || u == 0.0 || e == 0.0)
                return 0.0;
            factor += (a * b) / (u * w * e) * (tics[i] / total);
        }
    }
    if (averageSummedScans)
        factor /= scanDivisor();
    return factor;
}

QList<uint32_t> ScanData::cTicList() const
{
    const Tics tics = ticsOf(*this, summedTotalCounts());
    QList<uint32_t> out;
    if (tics.size == 0 || tics.size != cFactors.size())
        return out;
    out.reserve(tics.size);
    for (qsizetype i = 0; i < tics.size; ++i)
        out.append(nr::truncateSaturating<uint32_t>(tics[i] * cFactors[i]));
    return out;
}

double ScanData::totalScanTimeSecs() const
{
    if (scanStatuses.isEmpty())
        return 0.0;
    return scanStatuses.last().binTimeReadback * 1e-6 * nBins();
}

uint16_t ScanData::nBins() const
{
    uint16_t n = 0;
    for (const SciDataPacket& s : segments)
        n = uint16_t(n + s.numBins);
    return n;
}

double ScanData::countsPerSecond() const
{
    if (scanStatuses.isEmpty())
        return 0.0;
    const double t = totalScanTimeSecs();
    if (t == 0.0)
        return 0.0;
    if (averageSummedScans)
        return summedTotalCounts() / t;
    return summedTotalCounts() / scanDivisor() / t;
}

double ScanData::rfAmpStart() const
{
    return segments.empty() ? 0.0 : segments.front().rfAmp;
}

double ScanData::rfAmpDACStart() const
{
    return segments.empty() ? 0.0 : segments.front().rfAmpDac;
}

double ScanData::auxAmpDACStart() const
{
    return segments.empty() ? 0.0 : segments.front().auxAmpDac;
}

double ScanData::rampEnd(double SciDataPacket::*value, double statusValue) const
{
    if (!scanStatuses.isEmpty())
        return statusValue;
    if (segments.empty())
        return 0.0;
    if (segments.size() == 1)
        return segments.front().*value;
    const SciDataPacket& l = segments.back();
    const SciDataPacket& p = segments[segments.size() - 2];
    // A 0-bin segment before the last gives a flat end, not a division by 0.
    const double slope = p.numBins ? (l.*value - p.*value) / p.numBins : 0.0;
    return l.*value + (int(l.numBins) - 1) * slope;
}

double ScanData::rfAmpEnd() const
{
    return rampEnd(&SciDataPacket::rfAmp, scanStatuses.isEmpty() ? 0.0 : scanStatuses.last().rfAmpMon);
}

double ScanData::rfAmpDACEnd() const
{
    return rampEnd(&SciDataPacket::rfAmpDac, scanStatuses.isEmpty() ? 0.0 : scanStatuses.last().setDacValue[13]);
}

double ScanData::auxAmpDACEnd() const
{
    return rampEnd(&SciDataPacket::auxAmpDac, scanStatuses.isEmpty() ? 0.0 : scanStatuses.last().setDacValue[15]);
}

double ScanData::relativeTimestamp() const
{
    if (scanTypeFlag == 2 && summedScanTimestampMode != KORA::PacketTime && !scanStatuses.isEmpty()) {
        if (summedScanTimestampMode == KORA::MeanOfStatuses) {
            double sum = 0.0;
            for (const ScanStatus& s : scanStatuses)
                sum += s.relativeTime;
            return sum / double(scanStatuses.size());
        }
        if (scanStatuses.size() == 1)
            return scanStatuses.first().relativeTime;
        return (scanStatuses.first().relativeTime + scanStatuses.last().relativeTime) / 2.0;
    }
    return segments.empty() ? 0.0 : segments.front().relativeTime;
}

QList<QPointF> ScanData::binVsCounts() const
{
    qsizetype n = 0;
    for (const SciDataPacket& s : segments)
        n += std::min<int>(s.numBins, BINS_PER_SEGMENT);
    QList<QPointF> out;
    out.reserve(n);
    for (const SciDataPacket& s : segments) {
        const int bins = std::min<int>(s.numBins, BINS_PER_SEGMENT);
        for (int j = 0; j < bins; ++j)
            out.append(QPointF(s.startBin + j, s.counts[size_t(j)]));
    }
    return out;
}

QList<QPointF> ScanData::binVsCorrectedCounts(double a, double b, double c, double d) const
{
    const double f = correctedTotalIonCountFactor(a, b, c, d);
    QList<QPointF> out = binVsCounts();
    for (QPointF& p : out)
        p.setY(p.y() * f);
    return out;
}

QList<QPointF> ScanData::culledBinVsCounts() const
{
    const QList<QPointF> all = binVsCounts();
    std::vector<std::pair<double, double>> points;
    points.reserve(size_t(all.size()));
    for (const QPointF& p : all)
        points.emplace_back(p.x(), p.y());
    std::vector<std::pair<double, double>> culled;
    cull(points, culled, 500, 0.0, true);
    QList<QPointF> out;
    out.reserve(qsizetype(culled.size()));
    for (const auto& p : culled)
        out.append(QPointF(p.first, p.second));
    return out;
}

// ---- axis transforms ----

std::shared_ptr<CompositeTransform> ScanData::getTransform(ValueType from, ValueType to, const MassCal& massCal) const
{
    auto t = std::make_shared<CompositeTransform>();
    const int phaseCycle = scanStatuses.isEmpty() ? MassCal::DEFAULT_PHASE_CYCLE : scanStatuses.last().phaseCycleRdbk;
    switch (from) {
    case BIN:
        buildBinTransform(t, to, massCal, phaseCycle);
        break;
    case RF_MON:
        buildRFMonTransform(t, to, massCal, phaseCycle);
        break;
    case RF_DAC:
        buildRFDacTransform(t, to, massCal, phaseCycle);
        break;
    case MASS:
        buildMassTransform(t, to, massCal, phaseCycle);
        break;
    }
    return t;
}

void ScanData::appendMassStage(const std::shared_ptr<CompositeTransform>& t, const MassCal& massCal,
                               int phaseCycle, bool inverted) const
{
    // A copy, so a later reload of the calibration leaves this chain as it is.
    t->addTransform(std::make_shared<MassCalEntry>(massCal[phaseCycle]), inverted);
}

void ScanData::buildBinTransform(const std::shared_ptr<CompositeTransform>& t, ValueType to, const MassCal& massCal,
                                 int phaseCycle) const
{
    switch (to) {
    case RF_MON:
        t->addTransform(createRfTransform(RF_MON), false);
        break;
    case RF_DAC:
        t->addTransform(createRfTransform(RF_DAC), false);
        break;
    case MASS:
        if (massCal.controlMode() == MassCal::RF_MON)
            t->addTransform(createRfTransform(RF_MON), false);
        else if (massCal.controlMode() == MassCal::RF_DAC)
            t->addTransform(createRfTransform(RF_DAC), false);
        appendMassStage(t, massCal, phaseCycle, false);
        break;
    default:
        break;
    }
}

void ScanData::buildRFMonTransform(const std::shared_ptr<CompositeTransform>& t, ValueType to,
                                   const MassCal& massCal, int phaseCycle) const
{
    buildRfScaleTransform(t, RF_MON, to, massCal, phaseCycle);
}

void ScanData::buildRFDacTransform(const std::shared_ptr<CompositeTransform>& t, ValueType to,
                                   const MassCal& massCal, int phaseCycle) const
{
    buildRfScaleTransform(t, RF_DAC, to, massCal, phaseCycle);
}

void ScanData::buildRfScaleTransform(const std::shared_ptr<CompositeTransform>& t, ValueType from, ValueType to,
                                     const MassCal& massCal, int phaseCycle) const
{
    const ValueType other = from == RF_MON ? RF_DAC : RF_MON;
    const MassCal::ControlMode otherMode = other == RF_MON ? MassCal::RF_MON : MassCal::RF_DAC;
    if (to == BIN) {
        t->addTransform(createRfTransform(from), true);
    } else if (to == other) {
        t->addTransform(createRfTransform(from), true);
        t->addTransform(createRfTransform(other), false);
    } else if (to == MASS) {
        if (massCal.controlMode() == MassCal::BIN) {
            t->addTransform(createRfTransform(from), true);
        } else if (massCal.controlMode() == otherMode) {
            t->addTransform(createRfTransform(from), true);
            t->addTransform(createRfTransform(other), false);
        }
        appendMassStage(t, massCal, phaseCycle, false);
    }
}

void ScanData::buildMassTransform(const std::shared_ptr<CompositeTransform>& t, ValueType to,
                                  const MassCal& massCal, int phaseCycle) const
{
    if (to != BIN && to != RF_MON && to != RF_DAC)
        return;
    appendMassStage(t, massCal, phaseCycle, true);
    const MassCal::ControlMode cm = massCal.controlMode();
    switch (to) {
    case BIN:
        if (cm == MassCal::RF_MON)
            t->addTransform(createRfTransform(RF_MON), true);
        else if (cm == MassCal::RF_DAC)
            t->addTransform(createRfTransform(RF_DAC), true);
        break;
    case RF_MON:
        if (cm == MassCal::BIN) {
            t->addTransform(createRfTransform(RF_MON), false);
        } else if (cm == MassCal::RF_DAC) {
            t->addTransform(createRfTransform(RF_DAC), true);
            t->addTransform(createRfTransform(RF_MON), false);
        }
        break;
    case RF_DAC:
        if (cm == MassCal::BIN) {
            t->addTransform(createRfTransform(RF_DAC), false);
        } else if (cm == MassCal::RF_MON) {
            t->addTransform(createRfTransform(RF_MON), true);
            t->addTransform(createRfTransform(RF_DAC), false);
        }
        break;
    default:
        break;
    }
}

std::shared_ptr<PiecewiseTransform> ScanData::createRfTransform(ValueType type) const
{
    if (segments.empty())
        return std::make_shared<PiecewiseTransform>();
    const int segmentCount = int(segments.size());
    const int statusCount = int(scanStatuses.size());
    if (segmentCount != rfTransformCacheSegments || statusCount != rfTransformCacheStatuses) {
        // Both ramps are stale: new segments move every section, a late status
        // moves the ramp's end.
        rfTransformCache.clear();
        rfTransformCacheSegments = segmentCount;
        rfTransformCacheStatuses = statusCount;
    } else {
        const auto it = rfTransformCache.constFind(type);
        if (it != rfTransformCache.cend() && *it)
            return *it;
    }

    const bool mon = type == RF_MON;
    auto value = [mon](const SciDataPacket& s) { return mon ? s.rfAmp : s.rfAmpDac; };
    QList<PiecewiseSection> sections;
    sections.reserve(segmentCount);
    for (int i = 0; i < segmentCount; ++i) {
        const SciDataPacket& s = segments[size_t(i)];
        // A 0-bin segment has no width: its singular fit would leave the
        // identity in the middle of the ramp.
        if (s.startBin == s.endBin)
            continue;
        const bool last = i == segmentCount - 1;
        const double endValue = last ? (mon ? rfAmpEnd() : rfAmpDACEnd()) : value(segments[size_t(i) + 1]);
        PiecewiseSection section;
        section.start = s.startBin;
        section.end = s.endBin;
        section.endInverse = 0.0;
        section.fitOrder = 1;
        section.points = {QPointF(s.startBin, value(s)), QPointF(s.endBin, endValue)};
        sections.append(section);
    }
    auto ramp = std::make_shared<PiecewiseTransform>(sections);
    rfTransformCache.insert(type, ramp);
    return ramp;
}

} // namespace KorGse

namespace KorGse {

int ScanData::ionSource() const
{
    if (gcHkPkt.pktIndex >= 0)
        return SOURCE_GC;
    if (laserPulsesPkt.pktIndex >= 0)
        return SOURCE_LDI;
    return SOURCE_NONE;
}

int ScanData::determineScanMode() const
{
    if (sebHkPkt.pktIndex < 0)
        return MODE_UNKNOWN;
    if (sebHkPkt.isFilAOn || sebHkPkt.isFilBOn)
        return MODE_EI;
    if (srcPktType != 27)
        return MODE_LDI;
    // A NaN end value is no dark scan.
    return rfAmpDACEnd() <= DARK_RF_DAC_LIMIT ? MODE_DARK : MODE_LDI;
}

bool ScanData::isDarkCountScan() const
{
    return determineScanMode() == MODE_DARK;
}

namespace {

// A field value as an index into an array of n: truncated toward zero, NaN and
// values outside 0 .. n-1 give -1 (the command then does nothing).
int indexFrom(double v, int n)
{
    if (std::isnan(v))
        return -1;
    const int64_t k = nr::truncateSaturating<int64_t>(v);
    return k >= 0 && k < n ? int(k) : -1;
}

} // namespace

void ScanData::calculateEmOnTimes(double& emA, double& emB) const
{
    emA = 0.0;
    emB = 0.0;
    const double expected = double(numScans);
    if (sebSequences.isEmpty()) {
        if (scanStatuses.isEmpty())
            return;
        const ScanStatus& last = scanStatuses.last();
        const double t = last.binTimeReadback * 1e-6 * double(nBins()) * 1000.0 + 10.0;
        const double total = t * expected;
        if (last.setDacValue[0] < EM_ON_THRESHOLD)
            emA = total;
        if (last.setDacValue[1] < EM_ON_THRESHOLD)
            emB = total;
        return;
    }
    const ScanStatus* last = scanStatuses.isEmpty() ? nullptr : &scanStatuses.last();
    double a = 0.0;
    double b = 0.0;
    double pa = 0.0;
    double pb = 0.0;
    auto add = [&](double d) {
        if (a < EM_ON_THRESHOLD)
            emA += d;
        if (b < EM_ON_THRESHOLD)
            emB += d;
    };
    for (const QSharedPointer<SebSequence>& seq : sebSequences) {
        if (!seq)
            continue;
        for (const QSharedPointer<SebCmd>& cmd : seq->cmds) {
            if (!cmd)
                continue;
            // Commands come from archive bytes: a missing interpreter or
            // field, or a decode that throws, leaves this command without effect.
            try {
                switch (cmd->id) {
                case SebCmd::SET_DAC_IMM: {
                    const QString dac = cmd->fieldSciStr(0);
                    if (dac == QLatin1String("EM_A"))
                        a = cmd->fieldSci(1);
                    else if (dac == QLatin1String("EM_B"))
                        b = cmd->fieldSci(1);
                    break;
                }
                case SebCmd::SET_DAC: {
                    if (!last)
                        break;
                    const QString dac = cmd->fieldSciStr(0);
                    const bool isA = dac == QLatin1String("EM_A");
                    if (!isA && dac != QLatin1String("EM_B"))
                        break;
                    const int k = indexFrom(cmd->fieldSci(0), ScanStatus::DAC_COUNT);
                    if (k < 0)
                        break;
                    (isA ? a : b) = last->regDacValue[size_t(k)];
                    break;
                }
                case SebCmd::PAUSE: {
                    if (!last)
                        break;
                    const int k = indexFrom(cmd->fieldSci(0), ScanStatus::PAUSE_COUNT);
                    if (k >= 0)
                        add(last->pauseTimesMs[size_t(k)]);
                    break;
                }
                case SebCmd::RAMP:
                    if (last)
                        add(double(last->binCountReg) * last->binTimeReadback / 1000.0);
                    break;
                case SebCmd::PAUSE_IMM:
                    add(cmd->fieldSci(0));
                    break;
                case SebCmd::RAMP_IMM:
                    if (last)
                        add(cmd->fieldSci(0) * last->binTimeReadback / 1000.0);
                    break;
                default:
                    break;
                }
            } catch (...) {
            }
            // A switch-on restarts the count.
            if (a < EM_ON_THRESHOLD && pa >= EM_ON_THRESHOLD)
                emA = 0.0;
            if (b < EM_ON_THRESHOLD && pb >= EM_ON_THRESHOLD)
                emB = 0.0;
            pa = a;
            pb = b;
        }
    }
    emA *= expected;
    emB *= expected;
}

void ScanData::dump() const
{
    const unsigned n = scanStatuses.isEmpty() ? 0u : scanStatuses.last().binCountReg;
    if (segments.empty()) {
        std::printf("should have %u bins\n", n);
        return;
    }
    std::printf("%u", n);
    for (const SciDataPacket& s : segments)
        std::printf("\t%u", unsigned(s.startBin));
    std::printf("\n");
}

} // namespace KorGse
