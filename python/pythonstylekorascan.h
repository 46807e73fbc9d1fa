#pragma once
// One first-instrument mass-spectrometer scan as a Python script sees it: a
// full copy of the scan, the marker in force when it ended, its times and a
// shared reference to the archive's mass calibration. ScienceDataCacheWrapper
// hands these out; every method is read-only and computes its result from the
// stored scan when called. A scan belongs to the archive it was read from: the
// methods that read the hub, its DAC table, the meta-marker cache or the
// configuration at call time refuse once a later start-up replaced that archive;
// what the scan stores keeps answering.
#include <QSharedPointer>
#include <cstdint>
#include <string>
#include <vector>

#include "koralib/markers/markerdata.h"
#include "koralib/markers/metamarker.h"
#include "koralib/scans/scandata.h"
#include "python/records.h"

namespace KorGse {
class MarkerCache;
class MassCal;
} // namespace KorGse

namespace cvekutil {

class PythonStyleKoraScan
{
public:
    // An empty scan: no segments, no marker, times 0.0, no calibration (the
    // axis methods then use an empty one).
    PythonStyleKoraScan();
    PythonStyleKoraScan(const KorGse::ScanData* scan, const KorGse::MarkerCache* markers,
                        QSharedPointer<KorGse::MassCal> massCal, bool skipZeroIdMarkers);

    double unix_timestamp() const { return unixTimestamp; }
    double relative_timestamp() const { return relativeTimestamp; }
    double marker_relative_timestamp() const;
    int marker_id() const;
    int tarq_marker_index() const;
    std::string marker_text() const;
    std::vector<KorGse::MetaMarker> get_meta_markers() const;
    std::vector<int> counts() const;
    std::vector<int> culled_counts() const;
    std::vector<double> m_over_z_values() const;
    int total_ion_count() const;
    std::vector<int> total_ion_counts() const;
    double corrected_total_ion_count() const;
    double corrected_total_ion_count_factor() const;
    std::vector<double> corrected_total_ion_count_factors() const;
    int science_data_pkt_version() const { return int(scan.sciDataPktVersion); }
    int highest_count() const;
    int highest_count_bin_num() const;
    int lowest_count() const;
    std::vector<RfStatusEntry> rf_status_entries() const;
    double rf_amp_start() const { return scan.rfAmpStart(); }
    double rf_amp_end() const { return scan.rfAmpEnd(); }
    double rf_amp_dac_start() const { return scan.rfAmpDACStart(); }
    double rf_amp_dac_end() const { return scan.rfAmpDACEnd(); }
    double aux_amp_dac_start() const { return scan.auxAmpDACStart(); }
    double aux_amp_dac_end() const { return scan.auxAmpDACEnd(); }
    double total_scan_time() const { return scan.totalScanTimeSecs(); }
    double peak_counts_per_sec() const;
    int src_pkt_type() const { return int(scan.srcPktType); }
    int num_scans() const { return scan.numScans; }
    bool has_scan_status() const { return !scan.scanStatuses.isEmpty(); }
    int num_scan_status_pkts() const { return int(scan.scanStatuses.size()); }

    // Housekeeping readbacks of the last scan status (0 without one).
    double _seb_bin_time_readback() const;
    double _seb_bin_time_readback_in_seconds() const;
    int _seb_special_scan_id() const;
    int _seb_raw_scan_value() const;
    double _seb_scan_value() const;
    double _seb_rf_freq_hz() const;
    double _seb_last_rf_amp_mon() const;
    double _seb_rf_amp_dac_set() const { return setDac(13); }
    double _seb_aux_amp_dac_set() const { return setDac(15); }
    int _seb_counter_sel() const;
    int _seb_bin_count_set() const;
    int _seb_bin_count_reg() const;
    int _seb_phase_cycle_rdbk() const;
    double _seb_rf_step_set() const;
    double _seb_rf_step_reg() const;
    double _seb_aux_step_set() const;
    double _seb_aux_step_reg() const;
    double _seb_ionization_time_in_milliseconds() const;
    double _seb_scan_em1() const { return setDac(0); }
    int _seb_scan_em1_raw() const;
    double _seb_scan_em2() const { return setDac(1); }
    int _seb_scan_em2_raw() const;
    double _seb_src_a_foc_a_dac_set() const { return setDac(6); }
    double _seb_src_b_foc_a_dac_set() const { return setDac(7); }
    double _seb_src_a_foc_a_dac_reg() const { return regDac(6); }
    double _seb_src_b_foc_a_dac_reg() const { return regDac(7); }
    bool has_seb_hk_pkt() const { return scan.sebHkPkt.pktIndex >= 0; }
    std::vector<double> seb_is_emon_a() const;
    std::vector<double> seb_is_emon_b() const;
    bool _seb_is_fil_a_on() const { return has_seb_hk_pkt() && scan.sebHkPkt.isFilAOn; }
    bool _seb_is_fil_b_on() const { return has_seb_hk_pkt() && scan.sebHkPkt.isFilBOn; }
    bool is_dark_count_scan() const { return scan.isDarkCountScan(); }
    int determine_scan_mode() const { return scan.determineScanMode(); }
    std::string scan_mode_as_string() const;
    bool gc_ion_source() const { return scan.ionSource() == KorGse::ScanData::SOURCE_GC; }
    bool ldi_ion_source() const { return scan.ionSource() == KorGse::ScanData::SOURCE_LDI; }
    double selected_ion_count_sum_by_bin(int min_bin, int max_bin) const { return scan.ionCount(min_bin, max_bin); }
    double selected_ion_count_sum_by_mass(double min_mass, double max_mass) const;
    double selected_ion_count_max_by_bin(int min_bin, int max_bin) const;
    double selected_ion_count_max_by_mass(double min_mass, double max_mass) const;
    std::vector<int> seb_sequence_pkt_indexes() const;
    std::vector<double> em_on_times_in_ms() const;
    double charge_control_duration() const;
    int laser_shots() const;
    double avg_laser_energy() const;
    double sd_laser_energy() const;

    KorGse::ScanData scan;
    double unixTimestamp = 0.0;
    double relativeTimestamp = 0.0;
    KorGse::MarkerData marker;
    bool markerFound = false;
    QSharedPointer<KorGse::MassCal> massCal;
    // The shared-cache generation the scan was read under; an empty scan
    // belongs to no archive and never refuses.
    bool bound = false;
    uint64_t generation = 0;

private:
    // Throws when a later start-up replaced the scan's archive.
    void requireOwnArchive() const;
    // The scan's calibration, or the one empty calibration of scans without.
    const KorGse::MassCal& calibration() const;
    const KorGse::ScanStatus* lastStatus() const;
    double setDac(int id) const;
    double regDac(int id) const;
    double step(double KorGse::ScanStatus::*field, int id) const;
    // The bins [first, last] of a mass range; false when both are bin 0.
    bool massRangeBins(double minMass, double maxMass, int& first, int& last) const;
};

} // namespace cvekutil
