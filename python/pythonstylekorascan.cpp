#include "python/pythonstylekorascan.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "conversion/compositetransform.h"
#include "conversion/saturatingcast.h"
#include "gselib/database/dactable.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetryfile.h"
#include "koralib/markers/markercache.h"
#include "koralib/masscal/masscal.h"
#include "python/interpretscanvalue.h"
#include "python/korabridge.h"
#include "python/startup.h"

namespace cvekutil {

namespace {

int toInt(double v)
{
    return nr::truncateSaturating<int>(v);
}

const GseLib::DacTable& currentDacTable()
{
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    if (!hub || !hub->dacTable)
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    return *hub->dacTable;
}

std::vector<double> sampleValues(const KorGse::SebHK& hk, const std::vector<GseLib::DataItem>& items)
{
    std::vector<double> out;
    if (hk.pktIndex < 0)
        return out;
    out.reserve(items.size());
    for (const GseLib::DataItem& item : items)
        out.push_back(item.toDouble());
    return out;
}

} // namespace

PythonStyleKoraScan::PythonStyleKoraScan() = default;

PythonStyleKoraScan::PythonStyleKoraScan(const KorGse::ScanData* source, const KorGse::MarkerCache* markers,
                                         QSharedPointer<KorGse::MassCal> cal, bool skipZeroIdMarkers)
    : scan(*source), massCal(std::move(cal)), bound(true),
      generation(GseLib::TelemetryFile::sharedCacheGeneration())
{
    if (!scan.segments.empty())
        unixTimestamp = scan.segments.front().unixTime;
    relativeTimestamp = scan.relativeTimestamp();
    // The marker in force when the scan's last packet arrived; a scan without
    // packets has none.
    if (markers && !scan.packetIndexes_.isEmpty() && scan.packetIndexes_.last() >= 0)
        marker = markers->getMarker(unsigned(scan.packetIndexes_.last()), &markerFound, skipZeroIdMarkers);
    if (!markerFound)
        marker = KorGse::MarkerData();
}

void PythonStyleKoraScan::requireOwnArchive() const
{
    if (bound && generation != GseLib::TelemetryFile::sharedCacheGeneration())
        throw std::runtime_error("PythonStyleKoraScan belongs to an archive that a later initCVekUtil replaced.");
}

const KorGse::MassCal& PythonStyleKoraScan::calibration() const
{
    if (massCal)
        return *massCal;
    // What an archive without a calibration file gets: no entries.
    static const KorGse::MassCal empty;
    return empty;
}

const KorGse::ScanStatus* PythonStyleKoraScan::lastStatus() const
{
    return scan.scanStatuses.isEmpty() ? nullptr : &scan.scanStatuses.last();
}

double PythonStyleKoraScan::marker_relative_timestamp() const { return markerFound ? marker.relativeTime : 0.0; }
int PythonStyleKoraScan::marker_id() const { return markerFound ? int32_t(marker.markerId) : 0; }
int PythonStyleKoraScan::tarq_marker_index() const { return markerFound ? int32_t(marker.markerIndex + 1) : 0; }

std::string PythonStyleKoraScan::marker_text() const
{
    if (!markerFound)
        return {};
    return std::string(marker.text, strnlen(marker.text, sizeof marker.text));
}

std::vector<KorGse::MetaMarker> PythonStyleKoraScan::get_meta_markers() const
{
    if (!GseLib::TelemetryFile::sharedCache())
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    requireOwnArchive();
    const QList<KorGse::MetaMarker> found = refreshedMetaMarkers(true, relativeTimestamp);
    return std::vector<KorGse::MetaMarker>(found.begin(), found.end());
}

std::vector<int> PythonStyleKoraScan::counts() const
{
    const QList<QPointF> points = scan.binVsCounts();
    std::vector<int> out;
    out.reserve(size_t(points.size()));
    double expected = 0.0;
    for (const QPointF& p : points) {
        // Zeros for the bins before the first and between segments; a point
        // at or below the expected bin is appended as it comes.
        for (double b = expected; b < p.x(); b += 1.0)
            out.push_back(0);
        out.push_back(toInt(p.y()));
        expected = double(toInt(p.x()) + int64_t(1));
    }
    return out;
}

std::vector<int> PythonStyleKoraScan::culled_counts() const
{
    const QList<QPointF> points = scan.culledBinVsCounts();
    std::vector<int> out;
    out.reserve(size_t(points.size()) * 2);
    for (const QPointF& p : points) {
        out.push_back(toInt(p.x()));
        out.push_back(toInt(p.y()));
    }
    return out;
}

std::vector<double> PythonStyleKoraScan::m_over_z_values() const
{
    const int n = scan.nBins();
    std::vector<double> out;
    if (n == 0)
        return out;
    // One transform per call (bench_python.py holds the line).
    const std::shared_ptr<CompositeTransform> t =
        scan.getTransform(KorGse::ScanData::BIN, KorGse::ScanData::MASS, calibration());
    out.reserve(size_t(n));
    for (int i = 0; i < n; ++i)
        out.push_back(t->apply(double(i)));
    return out;
}

int PythonStyleKoraScan::total_ion_count() const { return toInt(scan.ionCount(0, 0)); }

std::vector<int> PythonStyleKoraScan::total_ion_counts() const
{
    const QList<uint32_t> tics = scan.ticList();
    std::vector<int> out;
    out.reserve(size_t(tics.size()));
    for (uint32_t t : tics)
        out.push_back(int32_t(t));
    return out;
}

double PythonStyleKoraScan::corrected_total_ion_count() const
{
    return scan.correctedTotalIonCount(100.0, 100.0, -68.0, -0.0992);
}

double PythonStyleKoraScan::corrected_total_ion_count_factor() const
{
    return scan.correctedTotalIonCountFactor(100.0, 100.0, -68.0, -0.0992);
}

std::vector<double> PythonStyleKoraScan::corrected_total_ion_count_factors() const
{
    return std::vector<double>(scan.cFactors.begin(), scan.cFactors.end());
}

int PythonStyleKoraScan::highest_count() const { return toInt(scan.maxIonCount()); }

int PythonStyleKoraScan::highest_count_bin_num() const
{
    const QList<QPointF> points = scan.binVsCounts();
    if (points.isEmpty())
        return 0;
    int bin = toInt(points.front().x());
    int best = toInt(points.front().y());
    for (const QPointF& p : points) {
        // Against the truncated best: ties keep the earlier bin.
        if (p.y() > best) {
            bin = toInt(p.x());
            best = toInt(p.y());
        }
    }
    return bin;
}

int PythonStyleKoraScan::lowest_count() const
{
    const QList<QPointF> points = scan.binVsCounts();
    if (points.isEmpty())
        return 0;
    int lowest = toInt(points.front().y());
    for (const QPointF& p : points)
        if (p.y() < lowest)
            lowest = toInt(p.y());
    return lowest;
}

std::vector<RfStatusEntry> PythonStyleKoraScan::rf_status_entries() const
{
    std::vector<RfStatusEntry> out;
    out.reserve(scan.segments.size());
    for (const KorGse::SciDataPacket& s : scan.segments) {
        RfStatusEntry e;
        e.start_bin = s.startBin;
        e.rf_amp_v = s.rfAmp;
        e.rf_amp_dac_v = s.rfAmpDac;
        e.aux_amp_dac_v = s.auxAmpDac;
        out.push_back(e);
    }
    return out;
}

double PythonStyleKoraScan::peak_counts_per_sec() const
{
    const double binTime = _seb_bin_time_readback_in_seconds();
    if (binTime == 0.0)
        return 0.0;
    return toInt(scan.maxIonCount()) / binTime;
}

double PythonStyleKoraScan::_seb_bin_time_readback() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->binTimeReadback : 0.0;
}

double PythonStyleKoraScan::_seb_bin_time_readback_in_seconds() const { return _seb_bin_time_readback() / 1e6; }

int PythonStyleKoraScan::_seb_special_scan_id() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->specialScanId : 0;
}

int PythonStyleKoraScan::_seb_raw_scan_value() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->rawScanValue : 0;
}

double PythonStyleKoraScan::_seb_scan_value() const
{
    // The scan types come from the configuration, the DAC rows from the hub.
    requireOwnArchive();
    const KorGse::ScanStatus* s = lastStatus();
    return s ? interpretScanValue(s->specialScanId, s->rawScanValue) : 0.0;
}

double PythonStyleKoraScan::_seb_rf_freq_hz() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->rfFreqHz : 0.0;
}

double PythonStyleKoraScan::_seb_last_rf_amp_mon() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->rfAmpMon : 0.0;
}

int PythonStyleKoraScan::_seb_counter_sel() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->counterSel : 0;
}

int PythonStyleKoraScan::_seb_bin_count_set() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->binCountSet : 0;
}

int PythonStyleKoraScan::_seb_bin_count_reg() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->binCountReg : 0;
}

int PythonStyleKoraScan::_seb_phase_cycle_rdbk() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->phaseCycleRdbk : 0;
}

double PythonStyleKoraScan::setDac(int id) const
{
    requireOwnArchive();
    const KorGse::ScanStatus* s = lastStatus();
    return s ? currentDacTable().row(id).toValue(s->setDacRaw[size_t(id)]) : 0.0;
}

double PythonStyleKoraScan::regDac(int id) const
{
    requireOwnArchive();
    const KorGse::ScanStatus* s = lastStatus();
    return s ? currentDacTable().row(id).toValue(s->regDacRaw[size_t(id)]) : 0.0;
}

double PythonStyleKoraScan::step(double KorGse::ScanStatus::*field, int id) const
{
    requireOwnArchive();
    const KorGse::ScanStatus* s = lastStatus();
    if (!s)
        return 0.0;
    // Steps are differences of counts: the slope alone, no offset or sign.
    const double slope = currentDacTable().row(id).b;
    return slope == 0.0 ? 0.0 : s->*field * (1.0 / slope);
}

double PythonStyleKoraScan::_seb_rf_step_set() const { return step(&KorGse::ScanStatus::rfStepSet, 13); }
double PythonStyleKoraScan::_seb_rf_step_reg() const { return step(&KorGse::ScanStatus::rfStepReg, 13); }
double PythonStyleKoraScan::_seb_aux_step_set() const { return step(&KorGse::ScanStatus::auxStepSet, 15); }
double PythonStyleKoraScan::_seb_aux_step_reg() const { return step(&KorGse::ScanStatus::auxStepReg, 15); }

double PythonStyleKoraScan::_seb_ionization_time_in_milliseconds() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->pauseTimesMs[2] : 0.0;
}

int PythonStyleKoraScan::_seb_scan_em1_raw() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? int32_t(s->setDacRaw[0]) : 0;
}

int PythonStyleKoraScan::_seb_scan_em2_raw() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? int32_t(s->setDacRaw[1]) : 0;
}

std::vector<double> PythonStyleKoraScan::seb_is_emon_a() const
{
    return sampleValues(scan.sebHkPkt, scan.sebHkPkt.emonASciItems);
}

std::vector<double> PythonStyleKoraScan::seb_is_emon_b() const
{
    return sampleValues(scan.sebHkPkt, scan.sebHkPkt.emonBSciItems);
}

std::string PythonStyleKoraScan::scan_mode_as_string() const
{
    switch (scan.determineScanMode()) {
    case KorGse::ScanData::MODE_EI:
        return "EI";
    case KorGse::ScanData::MODE_DARK:
        return "Dark";
    case KorGse::ScanData::MODE_LDI:
        return "LDI";
    default:
        return "Unknown";
    }
}

bool PythonStyleKoraScan::massRangeBins(double minMass, double maxMass, int& first, int& last) const
{
    const std::shared_ptr<CompositeTransform> t =
        scan.getTransform(KorGse::ScanData::MASS, KorGse::ScanData::BIN, calibration());
    // Any caller's mass: NaN, infinities and huge values give defined bins.
    first = toInt(std::ceil(t->apply(minMass)));
    last = toInt(std::ceil(t->apply(maxMass)));
    return !(first == 0 && last == 0);
}

double PythonStyleKoraScan::selected_ion_count_sum_by_mass(double min_mass, double max_mass) const
{
    int first = 0, last = 0;
    if (!massRangeBins(min_mass, max_mass, first, last))
        return 0.0;
    return scan.ionCount(first, last);
}

double PythonStyleKoraScan::selected_ion_count_max_by_bin(int min_bin, int max_bin) const
{
    double sum = 0.0, max = 0.0;
    scan.selectedIonCountSumAndMax(sum, max, min_bin, max_bin);
    return max;
}

double PythonStyleKoraScan::selected_ion_count_max_by_mass(double min_mass, double max_mass) const
{
    int first = 0, last = 0;
    if (!massRangeBins(min_mass, max_mass, first, last))
        return 0.0;
    double sum = 0.0, max = 0.0;
    scan.selectedIonCountSumAndMax(sum, max, first, last);
    return max;
}

std::vector<int> PythonStyleKoraScan::seb_sequence_pkt_indexes() const
{
    std::vector<int> out;
    for (const QSharedPointer<KorGse::SebSequence>& s : scan.sebSequences)
        if (s)
            out.insert(out.end(), s->pktIndexes.begin(), s->pktIndexes.end());
    return out;
}

std::vector<double> PythonStyleKoraScan::em_on_times_in_ms() const
{
    // The SEB commands' fields decode through the hub's rows and DAC table.
    requireOwnArchive();
    double a = 0.0, b = 0.0;
    scan.calculateEmOnTimes(a, b);
    return {a, b};
}

double PythonStyleKoraScan::charge_control_duration() const
{
    const KorGse::ScanStatus* s = lastStatus();
    return s ? s->pauseTimesMs[3] : 0.0;
}

int PythonStyleKoraScan::laser_shots() const
{
    const KorGse::LaserPulsesPacket& l = scan.laserPulsesPkt;
    return l.pktIndex < 0 ? 0 : int32_t(uint32_t(l.pulseValues.size()));
}

double PythonStyleKoraScan::avg_laser_energy() const
{
    return scan.laserPulsesPkt.pktIndex < 0 ? 0.0 : scan.laserPulsesPkt.avgEnergy;
}

double PythonStyleKoraScan::sd_laser_energy() const
{
    return scan.laserPulsesPkt.pktIndex < 0 ? 0.0 : scan.laserPulsesPkt.sdEnergy;
}

} // namespace cvekutil
