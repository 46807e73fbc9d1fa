"""Science data cache wrapper and Python-style scans on the first-instrument
sample, checked against what scripts/gen_samples.py wrote and modelled."""
import gc
import json
import math
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import conftest

import cvekutil
import _cvekutil

DAC_ROWS = {r[0]: r for r in conftest.gen_samples.SAMPLE_DAC_ROWS}
INT_MIN, INT_MAX = -2**31, 2**31 - 1

# m/z of bins 0, 1, 2, 3, 8, 50, 99, 149 from numpy.polyfit of the sample
# calibration's points (gen_samples.MCAL_POINTS), evaluated with numpy.polyval;
# run once by hand. Phase cycle 4 (order 2) and the default entry (order 1).
MZ_PROBES = (0, 1, 2, 3, 8, 50, 99, 149)
MZ_PC4 = (1.0385861561119316, 1.1388260309278373, 1.2392290132547885, 1.3397951030927855,
          1.8450721649484547, 6.250386597938142, 11.753568298969071, 17.772750920471292)
MZ_DEFAULT = (0.3333333333333408, 0.5333333333333408, 0.7333333333333407, 0.9333333333333408,
              1.9333333333333407, 10.333333333333341, 20.133333333333336, 30.133333333333336)


def dac(dac_id, count):
    """The DAC conversion written from the table's columns: two's complement by hand."""
    if dac_id not in DAC_ROWS:
        raise KeyError(dac_id)
    _, _, _, bits, mask, signed, offset, slope = DAC_ROWS[dac_id]
    if slope == 0:
        return 0.0
    if signed:
        count &= int(mask, 16)
        if count >= 1 << (bits - 1):
            count -= 1 << bits
    return (count - offset) / slope


@pytest.fixture(scope="module")
def scans(kora, expected):
    w = cvekutil.ScienceDataCacheWrapper()
    return w, [w.get_scan(i) for i in range(w.size())], expected["kora"]["scans"]


@pytest.fixture(scope="module")
def by_name(scans):
    _, got, want = scans
    return {e["name"]: (s, e) for s, e in zip(got, want)}


# ------------------------------------------------------------------ default scan
DEFAULTS = [
    ("unix_timestamp", 0.0), ("relative_timestamp", 0.0), ("marker_relative_timestamp", 0.0), ("marker_id", 0),
    ("tarq_marker_index", 0), ("marker_text", ""), ("counts", ()), ("culled_counts", ()), ("m_over_z_values", ()),
    ("total_ion_count", 0), ("total_ion_counts", (0,)), ("highest_count", 0), ("highest_count_bin_num", 0),
    ("lowest_count", 0), ("rf_status_entries", ()), ("num_scans", 1), ("src_pkt_type", 26),
    ("has_scan_status", False), ("num_scan_status_pkts", 0), ("has_seb_hk_pkt", False), ("seb_is_emon_a", ()),
    ("seb_is_emon_b", ()), ("_seb_is_fil_a_on", False), ("scan_mode_as_string", "Unknown"), ("laser_shots", 0),
    ("avg_laser_energy", 0.0), ("sd_laser_energy", 0.0), ("peak_counts_per_sec", 0.0), ("total_scan_time", 0.0),
    ("em_on_times_in_ms", (0.0, 0.0)), ("corrected_total_ion_count_factors", ()),
    ("seb_sequence_pkt_indexes", ()), ("science_data_pkt_version", 0),
] + [(m, 0.0) for m in ("_seb_bin_time_readback", "_seb_bin_time_readback_in_seconds", "_seb_scan_value",
                        "_seb_rf_freq_hz", "_seb_last_rf_amp_mon", "_seb_rf_amp_dac_set", "_seb_aux_amp_dac_set",
                        "_seb_rf_step_set", "_seb_rf_step_reg", "_seb_aux_step_set", "_seb_aux_step_reg",
                        "_seb_ionization_time_in_milliseconds", "_seb_scan_em1", "_seb_scan_em2",
                        "_seb_src_a_foc_a_dac_set", "_seb_src_b_foc_a_dac_set", "_seb_src_a_foc_a_dac_reg",
                        "_seb_src_b_foc_a_dac_reg", "charge_control_duration")] \
  + [(m, 0) for m in ("_seb_special_scan_id", "_seb_raw_scan_value", "_seb_counter_sel", "_seb_bin_count_set",
                      "_seb_bin_count_reg", "_seb_phase_cycle_rdbk", "_seb_scan_em1_raw", "_seb_scan_em2_raw")]


@pytest.mark.parametrize("method, want", DEFAULTS)
def test_default_scan(method, want):
    # No hub is needed: absent records never touch the DAC table.
    got = getattr(cvekutil.PythonStyleKoraScan(), method)()
    assert got == want and type(got) is type(want), method


def test_default_scan_takes_no_arguments():
    with pytest.raises(TypeError):
        cvekutil.PythonStyleKoraScan(1)


# ------------------------------------------------------------------ the sample's scans
def test_wrapper_basics(scans, kora):
    w, got, want = scans
    assert kora.get_mcal_filename() == conftest.gen_samples.MCAL_NAME
    assert w.size() == len(want) == 5
    assert w.has_gc_scans() is any(e["ionSource"] == 1 for e in want) is True
    assert w.has_ldi_scans() is any(e["ionSource"] == 2 for e in want) is True
    assert [s.src_pkt_type() for s in got] == [e["type"] for e in want]
    assert [s.num_scans() for s in got] == [e["numScans"] for e in want]


def test_per_scan_facts(scans, expected):
    packets = expected["kora"]["packets"]
    markers = expected["kora"]["markers"]
    for s, e in zip(scans[1], scans[2]):
        name = e["name"]
        first = packets[e["packets"][0]]
        assert s.unix_timestamp() == pytest.approx(first["unixTime"], abs=1e-4), name
        assert s.relative_timestamp() == pytest.approx(first["relativeTime"], abs=1e-4), name
        m = markers[e["marker"]]
        want_id = m["id"] - 2**32 if m["id"] >= 2**31 else m["id"]
        assert (s.marker_id(), s.tarq_marker_index(), s.marker_text()) == (want_id, m["order"] + 1, m["text"]), name
        assert s.marker_relative_timestamp() == pytest.approx(packets[m["index"]]["relativeTime"], abs=1e-4)
        assert s.has_scan_status() is bool(e["statuses"]) and s.num_scan_status_pkts() == len(e["statuses"]), name
        assert s.has_seb_hk_pkt() is (e["sebHk"] >= 0), name
        assert (s.gc_ion_source(), s.ldi_ion_source()) == (e["ionSource"] == 1, e["ionSource"] == 2), name
        assert s.determine_scan_mode() == e["mode"], name
        assert s.scan_mode_as_string() == ["Unknown", "EI", "Dark", "LDI"][e["mode"]], name
        assert s.is_dark_count_scan() is (e["mode"] == 2), name
        assert s.em_on_times_in_ms() == pytest.approx((e["emA"], e["emB"])), name
        assert s.seb_sequence_pkt_indexes() == tuple(e["sebSequencePackets"]), name
        assert len(s.m_over_z_values()) == e["bins"], name


def test_count_layouts(by_name):
    # Bins 3..7 and 40..43: zeros before the first bin and in the gap.
    s, e = by_name["gap"]
    assert s.counts() == (0, 0, 0, 5, 9, 9, 2, 7) + (0,) * 32 + (1, 9, 0, 3) == tuple(e["counts"])
    assert len(s.m_over_z_values()) == 9  # one per bin position, from 0
    for name in ("gap", "after_zero_id", "no_status", "raw_value"):
        s, e = by_name[name]
        points = [(seg["start"] + k, c) for seg in e["segments"] for k, c in enumerate(seg["counts"])]
        assert s.counts() == tuple(e["counts"]), name
        assert s.total_ion_count() == e["total"] == sum(c for _, c in points), name
        assert s.total_ion_counts() == (e["total"],), name
        assert s.highest_count() == e["peak"], name
        # Ties keep the earlier bin.
        assert s.highest_count_bin_num() == next(b for b, c in points if c == e["peak"]), name
        assert s.lowest_count() == min(c for _, c in points), name
        culled = s.culled_counts()
        assert len(culled) % 2 == 0 and all(dict(points)[b] == c for b, c in zip(culled[::2], culled[1::2])), name
        assert [(r.start_bin, r.rf_amp_v, r.rf_amp_dac_v, r.aux_amp_dac_v) for r in s.rf_status_entries()] == \
            [(g["start"], g["rfAmp"], g["rfAmpDac"], g["auxAmpDac"]) for g in e["segments"]], name
        assert s.corrected_total_ion_count_factors() == (), name
    assert by_name["gap"][0].highest_count_bin_num() == 4


def test_summed_scan_and_averaging(by_name, kora):
    s, e = by_name["summed"]
    counts = [c for seg in e["summed"]["segments"] for c in seg["counts"]]
    assert s.counts() == tuple(int(c) for c in counts)
    assert s.total_ion_counts() == tuple(e["summed"]["ticList"])
    assert s.num_scans() == 3 and s.src_pkt_type() == 27
    averaged = cvekutil.ScienceDataCacheWrapper(False, True).get_scan(4)
    # Sums of three acquisitions averaged: fractions truncate toward zero.
    assert averaged.counts() == tuple(int(c / 3) for c in counts)
    assert averaged.highest_count() == int(max(counts) / 3)
    assert any(c % 3 for c in counts)


def test_m_over_z_against_numpy(by_name):
    for name, table in (("gap", MZ_PC4), ("no_status", MZ_DEFAULT), ("summed", MZ_PC4)):
        mz = by_name[name][0].m_over_z_values()
        for k, want in zip(MZ_PROBES, table):
            if k < len(mz):
                assert mz[k] == pytest.approx(want, rel=1e-9), (name, k)


def test_by_mass_and_by_bin(by_name):
    s, e = by_name["summed"]
    mz = s.m_over_z_values()
    # Masses below bin 0's m/z map to bin 0: both ends there give 0.0.
    assert s.selected_ion_count_sum_by_mass(1.0, 1.0) == 0.0 == s.selected_ion_count_max_by_mass(1.0, 1.0)
    assert s.selected_ion_count_sum_by_bin(0, 0) == s.total_ion_count()
    for lo, hi in ((2.0, 5.0), (1.5, 12.0)):
        first = next(k for k, m in enumerate(mz) if m >= lo)
        last = next(k for k, m in enumerate(mz) if m >= hi)
        assert s.selected_ion_count_sum_by_mass(lo, hi) == s.selected_ion_count_sum_by_bin(first, last)
        assert s.selected_ion_count_max_by_mass(lo, hi) == s.selected_ion_count_max_by_bin(first, last)
    assert s.selected_ion_count_max_by_bin(0, 0) == s.highest_count()


@pytest.mark.parametrize("make", ["default", "real"])
def test_out_of_range_arguments_are_defined(by_name, make):
    s = cvekutil.PythonStyleKoraScan() if make == "default" else by_name["gap"][0]
    for a in (math.nan, math.inf, -math.inf, 1e300, -1e300, 0.0):
        for b in (math.nan, math.inf, -math.inf, 1e300, -1e300, 0.0):
            assert isinstance(s.selected_ion_count_sum_by_mass(a, b), float)
            assert isinstance(s.selected_ion_count_max_by_mass(a, b), float)
    for a in (INT_MIN, INT_MAX, 0, -1):
        for b in (INT_MIN, INT_MAX, 0, -1):
            assert isinstance(s.selected_ion_count_sum_by_bin(a, b), float)
            assert isinstance(s.selected_ion_count_max_by_bin(a, b), float)
    with pytest.raises(OverflowError):
        s.selected_ion_count_sum_by_bin(2**31, 0)


def test_no_status_scan(by_name):
    s, e = by_name["no_status"]
    assert not s.has_scan_status() and s.peak_counts_per_sec() == 0.0 and s.total_scan_time() == 0.0
    assert s._seb_bin_time_readback_in_seconds() == 0.0 and s._seb_scan_value() == 0.0
    assert s._seb_rf_amp_dac_set() == 0.0 and s._seb_phase_cycle_rdbk() == 0


def test_markers_and_skip_zero_id(scans, expected):
    markers = expected["kora"]["markers"]
    # The gap scan ends under the archive's third marker packet.
    assert scans[1][0].tarq_marker_index() == 3
    skipping = cvekutil.ScienceDataCacheWrapper(True)
    for k, e in enumerate(scans[2]):
        m = markers[e["markerSkipZero"]]
        assert skipping.get_scan(k).tarq_marker_index() == m["order"] + 1, e["name"]
    # After a marker of id 0: its own marker, or the latest earlier non-zero one.
    assert scans[1][1].marker_id() == 0 and skipping.get_scan(1).marker_text() == markers[2]["text"]


def test_meta_markers(scans, expected):
    marker = expected["kora"]["markers"][4]
    start = expected["kora"]["packets"][marker["index"]]["relativeTime"]
    for s, e in zip(scans[1], scans[2]):
        found = s.get_meta_markers()
        inside = start <= s.relative_timestamp() <= start + 2.0
        assert [m.msg for m in found] == (["scanning"] if inside else []), e["name"]
        assert inside is (e["name"] in ("no_status", "raw_value", "summed"))


# ------------------------------------------------------------------ readbacks
def test_status_readbacks(scans):
    for s, e in zip(scans[1], scans[2]):
        st = e["status"]
        if st is None:
            continue
        name = e["name"]
        assert s._seb_bin_time_readback() == st["binTimeReadback"], name
        assert s._seb_bin_time_readback_in_seconds() == st["binTimeReadback"] / 1e6, name
        assert (s._seb_special_scan_id(), s._seb_raw_scan_value()) == (st["specialScanId"], st["rawScanValue"])
        assert s._seb_rf_freq_hz() == pytest.approx(st["rfFreqHz"]) and \
            s._seb_last_rf_amp_mon() == pytest.approx(st["rfAmpMon"]), name
        assert (s._seb_counter_sel(), s._seb_bin_count_set(), s._seb_bin_count_reg(), s._seb_phase_cycle_rdbk()) \
            == (st["counterSel"], st["binCountSet"], st["binCountReg"], st["phaseCycleRdbk"]), name
        assert s._seb_ionization_time_in_milliseconds() == st["pauseTimesMs"][2], name
        assert s.charge_control_duration() == st["pauseTimesMs"][3], name
        for method, field, k in (("_seb_scan_em1", "setDacRaw", 0), ("_seb_scan_em2", "setDacRaw", 1),
                                 ("_seb_src_a_foc_a_dac_set", "setDacRaw", 6),
                                 ("_seb_src_b_foc_a_dac_set", "setDacRaw", 7),
                                 ("_seb_src_a_foc_a_dac_reg", "regDacRaw", 6),
                                 ("_seb_src_b_foc_a_dac_reg", "regDacRaw", 7),
                                 ("_seb_rf_amp_dac_set", "setDacRaw", 13), ("_seb_aux_amp_dac_set", "setDacRaw", 15)):
            assert getattr(s, method)() == pytest.approx(dac(k, st[field][k])), (name, method)
        assert (s._seb_scan_em1_raw(), s._seb_scan_em2_raw()) == tuple(st["setDacRaw"][:2]), name
        # Steps: times 1 / slope; slope 0 (AUX_AMP_DAC here) gives 0.0.
        assert s._seb_rf_step_set() == pytest.approx(st["rfStepSet"] / DAC_ROWS[13][7]), name
        assert s._seb_rf_step_reg() == pytest.approx(st["rfStepReg"] / DAC_ROWS[13][7]), name
        assert s._seb_aux_step_set() == 0.0 == s._seb_aux_step_reg() == s._seb_aux_amp_dac_set(), name
        assert s.total_scan_time() == pytest.approx(st["binTimeReadback"] * 1e-6 * e["bins"]), name
        if e["type"] == 26:
            assert s.peak_counts_per_sec() == pytest.approx(e["peak"] / (st["binTimeReadback"] / 1e6)), name


def test_corrected_totals_and_peak_rate(scans, by_name):
    # The corrected total of a plain scan, written from its formula with the
    # constants 100, 100, -68 and -0.0992: a * b * tic / (u * w * exp((f - c) * d)),
    # u the ionization time, w DAC 2's set value, f DAC 6's register value.
    checked = 0
    for s, e in zip(scans[1], scans[2]):
        st = e["status"]
        if e["type"] != 26 or st is None:
            continue
        scale = 100.0 * 100.0 / (st["pauseTimesMs"][2] * dac(2, st["setDacRaw"][2]) *
                                 math.exp((dac(6, st["regDacRaw"][6]) + 68.0) * -0.0992))
        assert s.corrected_total_ion_count() == pytest.approx(scale * e["total"], rel=1e-12), e["name"]
        assert s.corrected_total_ion_count_factor() == pytest.approx(scale, rel=1e-12), e["name"]
        checked += 1
    assert checked == 3
    assert by_name["no_status"][0].corrected_total_ion_count() == 0.0


def test_signed_dac_rows(by_name):
    # A signed 12-bit row of slope 2: 0x0FFF reads -0.5, 0x07FF 1023.5.
    assert by_name["gap"][0]._seb_rf_amp_dac_set() == -0.5
    assert by_name["after_zero_id"][0]._seb_rf_amp_dac_set() == 1023.5


def test_interpret_scan_value_roads(by_name):
    # Scan type 5 through item 202 (0.5 + 0.01 raw); DAC 9 (LENS_2, (c - 100) / 2);
    # 1234 neither: the raw value; scan type 6 keeps the raw value.
    assert by_name["gap"][0]._seb_scan_value() == pytest.approx(0.5 + 0.01 * 1000)
    assert by_name["after_zero_id"][0]._seb_scan_value() == dac(9, 300) == 100.0
    assert by_name["raw_value"][0]._seb_scan_value() == 77.0
    assert by_name["summed"][0]._seb_scan_value() == 41.0


def test_seb_housekeeping_and_laser(by_name, expected):
    s = by_name["gap"][0]
    # EMON_A 1.0 + 0.5 raw of raws 100 and 200, EMON_B 2.0 raw of 300.
    assert s.seb_is_emon_a() == (51.0, 101.0) and s.seb_is_emon_b() == (600.0,)
    assert s._seb_is_fil_a_on() is True and s._seb_is_fil_b_on() is False
    laser = expected["kora"]["laser"]
    assert (s.laser_shots(), s.avg_laser_energy(), s.sd_laser_energy()) == (laser["shots"], laser["avg"], laser["sd"])
    later = by_name["after_zero_id"][0]
    assert (later.laser_shots(), later.avg_laser_energy()) == (0, 0.0)
    assert by_name["no_status"][0]._seb_is_fil_a_on() is False


# ------------------------------------------------------------------ the wrapper
def test_scan_outlives_its_wrapper(kora):
    w = cvekutil.ScienceDataCacheWrapper()
    s = w.get_scan(0)
    counts, mz = s.counts(), s.m_over_z_values()
    assert w.get_scan(0) is not s and w.get_scan(0).counts() == counts
    del w
    gc.collect()
    assert s.counts() == counts and s.m_over_z_values() == mz


def test_wrapper_errors(kora):
    w = cvekutil.ScienceDataCacheWrapper()
    for bad in (-1, w.size(), INT_MAX):
        with pytest.raises(IndexError, match="^get_scan was passed an invalid scan index.$"):
            w.get_scan(bad)
    with pytest.raises(OverflowError, match="in method 'ScienceDataCacheWrapper_get_scan', argument 2 of type 'int'"):
        w.get_scan(2**31)
    overload = ("Wrong number or type of arguments for overloaded function 'new_ScienceDataCacheWrapper'.\n"
                "  Possible C/C++ prototypes are:\n"
                "    cvekutil::ScienceDataCacheWrapper::ScienceDataCacheWrapper(bool,bool)\n"
                "    cvekutil::ScienceDataCacheWrapper::ScienceDataCacheWrapper(bool)\n"
                "    cvekutil::ScienceDataCacheWrapper::ScienceDataCacheWrapper()\n")
    for args in ((1,), (True, 0), ("x",), (None,)):
        with pytest.raises(TypeError) as err:
            cvekutil.ScienceDataCacheWrapper(*args)
        assert str(err.value) == overload, args
    # Three arguments: the unpacking error, then the overloads, from the class and the flat function.
    for make in (cvekutil.ScienceDataCacheWrapper, _cvekutil.new_ScienceDataCacheWrapper):
        with pytest.raises(TypeError) as err:
            make(True, True, True)
        assert str(err.value) == ("new_ScienceDataCacheWrapper expected at most 2 arguments, got 3\n"
                                  "Additional information:\n" + overload)
    # Flags by position only.
    with pytest.raises(TypeError, match="keyword argument"):
        cvekutil.ScienceDataCacheWrapper(averageSummedScans=True)
    assert cvekutil.ScienceDataCacheWrapper(False, True).get_scan(4).counts()[0] < w.get_scan(4).counts()[0]
    assert cvekutil.ScienceDataCacheWrapper(True).size() == w.size()


def test_docstrings():
    assert _cvekutil.new_ScienceDataCacheWrapper.__doc__ == (
        "\nScienceDataCacheWrapper(bool skip_zero_id_markers=False, bool averageSummedScans=False)\n\n"
        "Parameters\n----------\nskip_zero_id_markers: bool\naverageSummedScans: bool\n\n")
    assert _cvekutil.ScienceDataCacheWrapper_get_scan.__doc__ == (
        "\nScienceDataCacheWrapper_get_scan(ScienceDataCacheWrapper self, int scanIndex) -> PythonStyleKoraScan\n\n"
        "Parameters\n----------\nscanIndex: int\n\nReturns the scan at the specified index.\n")
    assert _cvekutil.PythonStyleKoraScan_counts.__doc__ == (
        "\nPythonStyleKoraScan_counts(PythonStyleKoraScan self) -> ListOfIntegers\n"
        "Returns ion counts for each bin. The returned list will contain one \ncount for each bin in the scan.\n")
    assert _cvekutil.PythonStyleKoraScan_em_on_times_in_ms.__doc__ == (
        "\nPythonStyleKoraScan_em_on_times_in_ms(PythonStyleKoraScan self) -> ListOfFloats\n"
        "Returns a list containing two items:\n\n"
        "    [EM A on time in milliseconds, EM B on time in milliseconds].\n")
    assert _cvekutil.PythonStyleKoraScan_tarq_marker_index.__doc__ == (
        "\nPythonStyleKoraScan_tarq_marker_index(PythonStyleKoraScan self) -> int\n"
        "Returns the 0-based index of the marker packet that precedes this scan.\n")
    assert _cvekutil.PythonStyleKoraScan_selected_ion_count_sum_by_mass.__doc__ == (
        "\nPythonStyleKoraScan_selected_ion_count_sum_by_mass(PythonStyleKoraScan self, double min_mass, "
        "double max_mass) -> double\n\nParameters\n----------\nmin_mass: double\nmax_mass: double\n\n")
    assert _cvekutil.PythonStyleKoraScan_total_ion_count.__doc__ == \
        "PythonStyleKoraScan_total_ion_count(PythonStyleKoraScan self) -> int"
    assert _cvekutil.PythonStyleKoraScan_get_meta_markers.__doc__.split("\n")[1].endswith("-> ListOfMetaMarkers")
    assert _cvekutil.PythonStyleKoraScan_rf_status_entries.__doc__.endswith("-> ListOfRfStatusEntrys")
    assert _cvekutil.new_PythonStyleKoraScan.__doc__.strip() == "new_PythonStyleKoraScan() -> PythonStyleKoraScan"
    methods = [n for n in dir(cvekutil.PythonStyleKoraScan) if not n.startswith("__") and n not in ("this", "thisown")]
    assert len(methods) == 78


# ------------------------------------------------------------------ fresh interpreters
def test_before_start_up():
    r = conftest.run_python(textwrap.dedent("""
        import cvekutil
        for call in (cvekutil.ScienceDataCacheWrapper, cvekutil.PythonStyleKoraScan().get_meta_markers):
            try:
                call()
            except Exception as e:
                print(type(e).__name__ + ": " + str(e))
    """))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "RuntimeError: cvekutil is not initialized, did you call the ScienceDataCacheWrapper constructor manually "
        "instead of relying on the factory functions?",
        "RuntimeError: cvekutil is not initialized, no telemetry file is open."]


def test_reinitialisation_and_changed_tables(tmp_path):
    # A private copy of the samples: the DAC table and the scan types change on disk.
    root = tmp_path / "samples"
    shutil.copytree(conftest.SAMPLES, root)
    ini = root / "vekconfig.INI"
    ini.write_text(ini.read_text().replace(conftest.SAMPLES, str(root)))
    archive = str(root / conftest.EXPECTED["kora"]["path"])
    defs = root / "kora" / "defs"
    code = textwrap.dedent("""
        import json, os, sys, cvekutil
        archive, defs = sys.argv[1], sys.argv[2]
        def show(f):
            try:
                print(repr(f()))
            except Exception as e:
                print(type(e).__name__ + ": " + str(e))
        cvekutil.open_tmfile(archive)
        w = cvekutil.ScienceDataCacheWrapper()
        s = w.get_scan(0)
        counts = s.counts()
        show(s._seb_scan_value)
        types = json.load(open(os.path.join(defs, "scantypesinfo.json")))
        types[0]["defaulttosci"] = False
        json.dump(types, open(os.path.join(defs, "scantypesinfo.json"), "w"))
        show(s._seb_scan_value)
        dac = os.path.join(defs, "KOR_DAC_Conversions.txt")
        table = open(dac).read()
        open(dac, "w").writelines(l for l in table.splitlines(True) if not l.startswith(("6\t", "7\t")))
        cvekutil.open_tmfile(archive)
        # The old scan's readbacks would read the new hub's table: refused.
        show(s._seb_src_b_foc_a_dac_set)
        show(s._seb_scan_em1)
        show(lambda: w.get_scan(0))
        show(w.size)
        show(lambda: s.counts() == counts)
        # Statuses decode every DAC: a new wrapper needs the rows.
        show(cvekutil.ScienceDataCacheWrapper)
        open(dac, "w").write(table)
        cvekutil.open_tmfile(archive)
        s = cvekutil.ScienceDataCacheWrapper().get_scan(0)
        show(lambda: s.counts() == counts)
        show(s._seb_scan_em1)
        show(lambda: [m.msg for m in cvekutil.ScienceDataCacheWrapper().get_scan(2).get_meta_markers()])
        os.remove(os.path.join(defs, "scantypesinfo.json"))
        show(s._seb_scan_value)
        show(s._seb_scan_value)
    """)
    env = dict(os.environ, INIVEK=str(ini))
    r = subprocess.run([sys.executable, "-c", code, archive, str(defs)], env=env, capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    stale = "RuntimeError: PythonStyleKoraScan belongs to an archive that a later initCVekUtil replaced."
    assert lines[0] == repr(0.5 + 0.01 * 1000)
    assert lines[1] == "1000.0"  # the changed file is read again
    assert lines[2:4] == [stale, stale]
    assert lines[4] == "RuntimeError: ScienceDataCacheWrapper belongs to an archive that a later initCVekUtil replaced."
    assert lines[5:8] == ["5", "True", "IndexError: Unknown"]
    # The restored table is read again by the next start-up.
    em1 = dac(0, conftest.EXPECTED["kora"]["scans"][0]["status"]["setDacRaw"][0])
    assert lines[8:11] == ["True", repr(em1), "['scanning']"]
    # A missing scan-type file fails on every call (its message spans lines).
    half = (len(lines) - 11) // 2
    assert half >= 1 and lines[11].startswith("RuntimeError: ") and lines[11:11 + half] == lines[11 + half:]


def test_archive_without_scans(tmp_path):
    # The sample's packets before its first science packet, in a folder of their own.
    raw = open(conftest.KORA, "rb").read()
    first = next(i for i, p in enumerate(conftest.EXPECTED["kora"]["packets"]) if p["type"] in (26, 27, 28))
    pos = 0
    for _ in range(first):
        pos += ((raw[pos + 2] << 8) | raw[pos + 3]) + 12
    folder = tmp_path / conftest.EXPECTED["kora"]["folder"]
    folder.mkdir()
    (folder / "tm.tlm").write_bytes(raw[:pos])
    shutil.copy(os.path.join(os.path.dirname(conftest.KORA), "tm.meta"), folder / "tm.meta")
    r = conftest.run_python(textwrap.dedent("""
        import sys, cvekutil
        cvekutil.open_tmfile(sys.argv[1])
        w = cvekutil.ScienceDataCacheWrapper()
        print(w.size(), w.has_gc_scans(), w.has_ldi_scans())
        for i in (0, -1):
            try:
                w.get_scan(i)
            except IndexError as e:
                print(e)
    """).replace("sys.argv[1]", repr(str(folder / "tm.tlm"))))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["0 False False"] + ["get_scan was passed an invalid scan index."] * 2
