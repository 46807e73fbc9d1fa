"""Objects kept across a start-up on another archive: what they store keeps
answering, what they would read from the new archive's hub, definitions or
meta markers is refused, and a kept TMFile reads the markers of the archive it
now shows. Each sequence of archives runs in a fresh interpreter."""
import json
import os
import random
import shutil
import textwrap

import pytest

import conftest
import gen_kora
import gen_samples

SCAN_STALE = "RuntimeError: PythonStyleKoraScan belongs to an archive that a later initCVekUtil replaced."
PACKET_STALE = "RuntimeError: TMPacket belongs to an archive that a later initCVekUtil replaced."
WRAPPER_STALE = "RuntimeError: ScienceDataCacheWrapper belongs to an archive that a later initCVekUtil replaced."

# Every method of the scan, with its arguments, by what it reads when called:
# the stored scan (its counts, times, statuses and calibration) or the hub,
# its DAC table, the meta-marker cache or the configuration.
SCAN_STORED = [
    ("unix_timestamp", ()), ("relative_timestamp", ()), ("marker_relative_timestamp", ()), ("marker_id", ()),
    ("tarq_marker_index", ()), ("marker_text", ()), ("counts", ()), ("culled_counts", ()),
    ("m_over_z_values", ()), ("total_ion_count", ()), ("total_ion_counts", ()), ("corrected_total_ion_count", ()),
    ("corrected_total_ion_count_factor", ()), ("corrected_total_ion_count_factors", ()),
    ("science_data_pkt_version", ()), ("highest_count", ()), ("highest_count_bin_num", ()), ("lowest_count", ()),
    ("rf_status_entries", ()), ("rf_amp_start", ()), ("rf_amp_end", ()), ("rf_amp_dac_start", ()),
    ("rf_amp_dac_end", ()), ("aux_amp_dac_start", ()), ("aux_amp_dac_end", ()), ("total_scan_time", ()),
    ("peak_counts_per_sec", ()), ("src_pkt_type", ()), ("num_scans", ()), ("has_scan_status", ()),
    ("num_scan_status_pkts", ()), ("_seb_bin_time_readback", ()), ("_seb_bin_time_readback_in_seconds", ()),
    ("_seb_special_scan_id", ()), ("_seb_raw_scan_value", ()), ("_seb_rf_freq_hz", ()),
    ("_seb_last_rf_amp_mon", ()), ("_seb_counter_sel", ()), ("_seb_bin_count_set", ()),
    ("_seb_bin_count_reg", ()), ("_seb_phase_cycle_rdbk", ()), ("_seb_ionization_time_in_milliseconds", ()),
    ("_seb_scan_em1_raw", ()), ("_seb_scan_em2_raw", ()), ("has_seb_hk_pkt", ()), ("seb_is_emon_a", ()),
    ("seb_is_emon_b", ()), ("_seb_is_fil_a_on", ()), ("_seb_is_fil_b_on", ()), ("is_dark_count_scan", ()),
    ("determine_scan_mode", ()), ("scan_mode_as_string", ()), ("gc_ion_source", ()), ("ldi_ion_source", ()),
    ("selected_ion_count_sum_by_bin", (3, 8)), ("selected_ion_count_sum_by_mass", (1.0, 6.0)),
    ("selected_ion_count_max_by_bin", (0, 0)), ("selected_ion_count_max_by_mass", (1.0, 6.0)),
    ("seb_sequence_pkt_indexes", ()), ("charge_control_duration", ()), ("laser_shots", ()),
    ("avg_laser_energy", ()), ("sd_laser_energy", ()),
]
SCAN_REFUSED = [
    ("get_meta_markers", ()), ("_seb_scan_value", ()), ("_seb_rf_amp_dac_set", ()), ("_seb_aux_amp_dac_set", ()),
    ("_seb_rf_step_set", ()), ("_seb_rf_step_reg", ()), ("_seb_aux_step_set", ()), ("_seb_aux_step_reg", ()),
    ("_seb_scan_em1", ()), ("_seb_scan_em2", ()), ("_seb_src_a_foc_a_dac_set", ()),
    ("_seb_src_b_foc_a_dac_set", ()), ("_seb_src_a_foc_a_dac_reg", ()), ("_seb_src_b_foc_a_dac_reg", ()),
    ("em_on_times_in_ms", ()),
]
PACKET_STORED = [(m, ()) for m in (
    "index", "get_type", "full_type", "total_length", "length", "checksum", "sequence", "sclk", "unix_timestamp",
    "relative_timestamp", "marker_id", "tarq_marker_index", "marker_text", "raw_message", "_raw_packet")]
PACKET_REFUSED = [("all_data", (9001,)), ("all_data", (9001, 1)), ("all_raw_data", (9001,)),
                  ("all_eng_data", (9001,)), ("all_sci_data", (9001,)), ("gse_created", ()),
                  ("get_meta_markers", ())]
WRAPPER_STORED = [("size", ()), ("has_gc_scans", ()), ("has_ldi_scans", ())]

SCRIPT = textwrap.dedent("""
    import json, sys, cvekutil
    cfg = json.loads(sys.argv[1])

    def plain(v):
        if isinstance(v, tuple):
            return [plain(x) for x in v]
        if hasattr(v, "this"):
            return {k: plain(getattr(v, k)) for k in dir(v) if not k.startswith("_") and k not in ("this", "thisown")}
        return v

    def call(obj, calls):
        out = []
        for name, args in calls:
            try:
                out.append(repr(plain(getattr(obj, name)(*args))))
            except Exception as e:
                out.append(type(e).__name__ + ": " + str(e))
        return out

    def markers(f):
        return [[f.get_pkt(i).marker_id(), f.get_pkt(i).tarq_marker_index(), f.get_pkt(i).marker_text()]
                for i in range(f.length())]

    def own(f):
        return [f.filename(), f.absolute_directory(), f.directory_string(), f.tid(), f.model(), f.exists()]

    first = cfg["archives"][0]
    f = cvekutil.open_tmfile(first)
    p = f.get_pkt(cfg["packet"])
    empty = cvekutil.PythonStyleKoraScan()
    w = cvekutil.ScienceDataCacheWrapper() if cfg["scans"] else None
    scans = [w.get_scan(i) for i in range(w.size())] if w else []
    report = {"own": own(f), "markers": markers(f),
              "packet": call(p, cfg["packet_calls"]),
              "empty": call(empty, cfg["scan_calls"]),
              "wrapper": call(w, cfg["wrapper_calls"]) if w else [],
              "scans": [call(s, cfg["scan_calls"]) for s in scans]}
    print(json.dumps(report))
    for again in cfg["archives"][1:]:
        cvekutil.initCVekUtil(again)
        fresh = cvekutil.TMFile(again)
        report = {"own": own(f), "markers": markers(f), "fresh_markers": markers(fresh),
                  "length": [f.length(), fresh.length()],
                  "packet": call(p, cfg["packet_calls"]),
                  "empty": call(empty, cfg["scan_calls"]),
                  "wrapper": call(w, cfg["wrapper_calls"] + [("get_scan", (0,))]) if w else [],
                  "scans": [call(s, cfg["scan_calls"]) for s in scans]}
        print(json.dumps(report))
""")

# The second first-instrument archive: its own markers (no id of a meta-marker
# rule) and a group whose DAC table and scan types differ from the sample's.
OTHER_DIR = "2013-05-06-07.08.09-4242-other"
OTHER_MARKERS = [(21, b"second archive"), (0, b"other zero id"), (33, b"last of the other")]


def other_archive(root):
    arc = gen_kora.Archive(random.Random(7), gen_kora.folder_time(OTHER_DIR))
    arc.tick0 = arc.fallback
    arc.instrument(gen_samples.MSG_TYPE, b"Data directory: /data/tids/" + OTHER_DIR.encode() + b"\n\0")
    arc.time_packet(2)
    for k, (mid, text) in enumerate(OTHER_MARKERS):
        arc.instrument(gen_samples.HK_TYPE, gen_samples.hk_data(10 + k, "1"))
        arc.instrument(gen_samples.MARKER_TYPE, gen_samples.marker_data(mid, text))
        arc.instrument(gen_samples.HK_TYPE, gen_samples.hk_data(20 + k, "2"))
    folder = os.path.join(root, OTHER_DIR)
    os.makedirs(folder)
    with open(os.path.join(folder, "tm.tlm"), "wb") as f:
        f.write(arc.bytes)
    gen_samples.write_meta(folder, "kora", 4242, OTHER_DIR, model="EM")
    return os.path.join(folder, "tm.tlm")


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    """The three archives and a configuration naming all their groups."""
    root = str(tmp_path_factory.mktemp("reinit"))
    defs = os.path.join(root, "defs")
    shutil.copytree(os.path.join(conftest.SAMPLES, "kora", "defs"), defs)
    # Other DAC conversions: every offset moved, every slope doubled.
    dac = os.path.join(defs, "KOR_DAC_Conversions.txt")
    lines = []
    for line in open(dac).read().splitlines():
        cells = line.split("\t")
        if not line.startswith("#") and len(cells) == 8:
            cells[6] = repr(float(cells[6]) + 7.0)
            cells[7] = repr(float(cells[7]) * 2.0)
        lines.append("\t".join(cells))
    open(dac, "w").write("\n".join(lines) + "\n")
    types = json.load(open(os.path.join(defs, "scantypesinfo.json")))
    for t in types:
        t["defaulttosci"] = not t["defaulttosci"]
    json.dump(types, open(os.path.join(defs, "scantypesinfo.json"), "w"))
    ini = open(conftest.INI).read()
    keys = ini.split("[KORA_FM]\n")[1].split("[")[0]
    keys = keys.replace(os.path.join(conftest.SAMPLES, "kora", "defs"), defs)
    path = os.path.join(root, "vekconfig.INI")
    open(path, "w").write(ini + "[KORA_EM]\n" + keys)
    return {"ini": path, "kora": conftest.KORA, "tolva": conftest.TOLVA, "kora_em": other_archive(root)}


def run(archives, names):
    first = names[0]
    kora_items = conftest.EXPECTED["kora"]["items"]
    cfg = {"archives": [archives[n] for n in names],
           # A packet carrying a marker and, in the sample, decoded items.
           "packet": {"kora": kora_items[-1]["packet"], "tolva": 5, "kora_em": 6}[first],
           "scans": first == "kora",
           "packet_calls": PACKET_STORED + PACKET_REFUSED, "scan_calls": SCAN_STORED + SCAN_REFUSED,
           "wrapper_calls": WRAPPER_STORED}
    code = SCRIPT.replace("json.loads(sys.argv[1])", "json.loads(%r)" % json.dumps(cfg))
    r = conftest.run_python(code, env={"INIVEK": archives["ini"]})
    assert r.returncode == 0, r.stderr
    return [json.loads(line) for line in r.stdout.splitlines()]


def test_classification_covers_every_scan_method():
    import cvekutil
    methods = {n for n in dir(cvekutil.PythonStyleKoraScan) if not n.startswith("__") and n not in ("this", "thisown")}
    names = [n for n, _ in SCAN_STORED + SCAN_REFUSED]
    assert len(names) == len(set(names)) == len(methods) == 78
    assert set(names) == methods


def marker_texts(name):
    if name == "kora":
        return {m["text"] for m in conftest.EXPECTED["kora"]["markers"]}
    if name == "kora_em":
        return {t.decode() for _, t in OTHER_MARKERS}
    return set()


@pytest.mark.parametrize("names", [
    ("kora", "tolva", "kora"),      # other instrument, then back
    ("kora", "kora_em", "kora"),    # same instrument, other definitions and markers
    ("tolva", "kora", "tolva"),
    ("kora_em", "kora"),
], ids=lambda n: "-".join(n))
def test_objects_across_start_ups(archives, names):
    before, *afters = run(archives, names)
    n_stored = len(SCAN_STORED)
    # Everything answered on its own archive.
    for got in [before["packet"], before["wrapper"]] + before["scans"]:
        assert not [g for g in got if g.split(":")[0].endswith("Error")], got
    if names[0] == "kora":
        assert len(before["scans"]) == len(conftest.EXPECTED["kora"]["scans"])
    for step, after in enumerate(afters, 1):
        now = names[step]
        # The kept TMFile: its own path, folder, tm.meta, test id and model;
        # the new archive's packets, each with the new archive's marker.
        assert after["own"] == before["own"]
        assert after["length"][0] == after["length"][1]
        assert after["markers"] == after["fresh_markers"]
        texts = {m[2] for m in after["markers"] if m[1]}
        assert texts == marker_texts(now), step
        if now == names[0]:
            assert after["markers"] == before["markers"]
        # The packet: stored values unchanged, hub and meta-marker roads refused.
        assert after["packet"][:len(PACKET_STORED)] == before["packet"][:len(PACKET_STORED)]
        assert after["packet"][len(PACKET_STORED):] == [PACKET_STALE] * len(PACKET_REFUSED)
        # The wrapper keeps its counts and refuses scans.
        assert after["wrapper"][:len(WRAPPER_STORED)] == before["wrapper"]
        assert after["wrapper"][len(WRAPPER_STORED):] == ([WRAPPER_STALE] if before["wrapper"] else [])
        # Each scan: stored values unchanged, every call-time reading refused.
        for got, was in zip(after["scans"], before["scans"]):
            assert got[:n_stored] == was[:n_stored]
            assert got[n_stored:] == [SCAN_STALE] * len(SCAN_REFUSED)
        # An empty scan belongs to no archive: it answers as before (its
        # meta markers are those of the open archive at time 0).
        assert after["empty"][:n_stored] == before["empty"][:n_stored]
        assert after["empty"][n_stored + 1:] == before["empty"][n_stored + 1:]
        assert not after["empty"][n_stored].startswith("RuntimeError")
