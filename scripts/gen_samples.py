#!/usr/bin/python3
"""Writes one sample archive per instrument for the Python module's demo and tests.

    gen_samples.py OUT [--bench N]

Files written to OUT:
  vekconfig.INI   one configuration for both (groups KORA_FM and TOLVA_FM);
                  point INIVEK at it
  kora/defs/...   first-instrument definitions (gen_kora's, plus the demo rows below)
  kora/defs/scantypesinfo.json       two scan types (one converting through item 202)
  kora/viewerConfigs/seb_cmds.json   gen_kora_scans's SEB command table
  kora/MetaMarkerRules/demo.json     two meta-marker rules, each opened by a marker
  kora/2012-04-02-12.35.42-12345-demo/tm.tlm, tm.meta, demo.mcal
                  packet 0 a message-log packet naming the data directory, a time
                  packet, message-log lines (one with its own time), markers (one
                  of id 0), housekeeping packets whose items differ in all three
                  value modes (one item a text); then scans: SEB housekeeping,
                  laser pulses, an SEB sequence, type-26 scans (one with a gap
                  between segments, one without status), scan statuses, a summed
                  type-27 scan, markers of id 0 and others; tm.meta names the
                  calibration demo.mcal ("default_mcal")
  tolva/defs/...  second-instrument definitions (gen_tolva's: plugin conversions)
  tolva/2012-04-02-12.35.42-12346-demo/tm.bin, tm.meta
  expected.json   per archive its packets (type, Unix and relative time), markers,
                  message-log lines and the demo items' values in the three modes
  bench/tm.tlm    with --bench N: N housekeeping packets of the 1- and 64-sample
                  items and one 4 KiB packet per thousand, with its own tm.meta

The first-instrument archive uses gen_kora's packet builder, so every packet's
time is known here; the second instrument's is gen_tolva's "bare" archive.
"""
import argparse
import json
import os
import random
import shutil
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_kora  # noqa: E402
import gen_kora_scans  # noqa: E402
import gen_tolva  # noqa: E402
from gen_kora import be16  # noqa: E402

KORA_DIR = "2012-04-02-12.35.42-12345-demo"
TOLVA_DIR = "2012-04-02-12.35.42-12346-demo"
DATA_DIRECTORY = "/data/tids/" + KORA_DIR

HK_TYPE = 16      # the demo items ride in LASER_STATUS packets (at most 64 data bytes)
WAVE_TYPE = 14    # 64 one-byte samples fill a GC_HK packet
BIG_TYPE = 27     # summed scans may be large: 4 KiB packets for the byte-copy reference
MSG_TYPE = 8
MARKER_TYPE = 9

# id: name, packet type, data offset, bytes or ranks, array length, decode type,
#     engineering (K1, K2) or None, science K1..K8 or None, science from engineering
DEMO_ROWS = {
    9000: ("TEXT", MSG_TYPE, 0, None, 1, 7, None, None, False),
    9001: ("VOLTS", HK_TYPE, 8, 2, 1, 3, (1.5, 0.25), (0.5, 2.0, 0.01, 0, 0, 0, 0, 0), True),
    9002: ("LEVEL_TEXT", HK_TYPE, 10, "1:2:3:4:5", 1, 7, (1.0, 2.0), (-3.0, 0.5, 0, 0, 0, 0, 0, 0), False),
    9003: ("WAVE", WAVE_TYPE, 0, 1, 64, 3, (0.0, 2.0), (1.0, 1.0, 0, 0, 0, 0, 0, 0), True),
}
SUBSYSTEM = {9000: "MSG"}


def poly(k, x):
    return sum(c * x ** i for i, c in enumerate(k))


def modes(row_id, raw):
    """Raw, engineering and science value of a demo item, from the row's equations."""
    _, _, _, _, _, _, eng, sci, from_eng = DEMO_ROWS[row_id]
    e = eng[0] + eng[1] * raw if eng else raw
    s = poly(sci, e if from_eng else raw) if sci else raw
    return [float(raw), e, s]


def demo_lines():
    out = []
    for rid, (name, ptype, off, n, arr, dtype, eng, sci, from_eng) in sorted(DEMO_ROWS.items()):
        cells = dict.fromkeys(gen_kora.COLUMNS, "")
        cells.update({"SUB_SYSTEM": SUBSYSTEM.get(rid, "DEMO"), "NAME": name, "DESCRIPTION": name.lower(),
                      "DATA_ID": str(rid), "PACKET_TYPE": str(ptype), "DECODE_TYPE": str(dtype),
                      "DECODE_ID1": str(off), "DECODE_ID3": "0", "DECODE_ID4": "0", "RAW_FMT": "%d",
                      "ENG_FMT": "%g", "ENG_EQ_TYPE": "0", "ENG_K1": "0", "ENG_K2": "1", "SCI_UNITS": "V",
                      "SCI_FMT": "%g", "SCI_EQ_TYPE": "0", "SCI_FROM_ENG": "Y" if from_eng else "N",
                      "ARRAY_LENGTH": str(arr)})
        if dtype == 7:
            # Text: fixed byte ranks, or (no ranks) up to its NUL.
            cells["DECODE_ID2"] = n if n else "-1"
        else:
            cells["DECODE_ID2"] = str(n)
            cells["DECODE_ID3"] = "0x%X" % ((1 << (8 * n)) - 1)
        if eng:
            cells.update(ENG_EQ_TYPE="1", ENG_K1=repr(eng[0]), ENG_K2=repr(eng[1]))
        for k in range(8):
            cells["SCI_K%d" % (k + 1)] = repr(float(sci[k])) if sci else "0"
        if sci:
            cells["SCI_EQ_TYPE"] = "1"
        out.append("\t".join(cells[c] for c in gen_kora.COLUMNS))
    return out


def marker_data(marker_id, text):
    # Bytes 6..9 the id, from 10 the text; 64 data bytes, the type's limit.
    data = bytes(6) + struct.pack(">I", marker_id) + text
    return data + bytes(64 - len(data))


def hk_data(volts, text):
    return bytes(8) + struct.pack(">H", volts) + text.encode().ljust(5, b"\0") + bytes(1)


# The sample's DAC table: gen_kora_scans's, with RF_AMP_DAC a signed 12-bit row
# of slope 2 and AUX_AMP_DAC of slope 0 (readback facts the tests check).
SAMPLE_DAC_ROWS = [r for r in gen_kora_scans.DAC_ROWS if r[0] not in (13, 15)] + [
    (13, 13, "RF_AMP_DAC", 12, "0x0FFF", 1, 0.0, 2.0), (15, 15, "AUX_AMP_DAC", 16, "0xFFFF", 0, 3.0, 0.0)]

SCAN_TYPES = [
    {"name": "RF sweep", "key": 5, "hkid": 202, "rawlabel": "counts", "defaulttosci": True},
    {"name": "Plain", "key": 6, "hkid": 0, "rawlabel": " raw", "defaulttosci": False},
]
MCAL_NAME = "demo.mcal"
# Bin-controlled calibration: phase cycle 4 (the statuses' readback) of order 2,
# the default entry (scans without status) of order 1.
MCAL_POINTS = {4: (2, [(0, 1.0), (20, 3.1), (40, 5.3), (60, 7.2), (100, 11.9)]),
               -1: (1, [(0, 0.5), (50, 10.0), (100, 20.5)])}
LASER_PULSES = [10, 20, 30, 40, 50]
LASER_AVG, LASER_SD = 30, 14


def mcal_json():
    entries = [{"phase_cycle": pc, "order": order, "rms": 0.0, "constants": [0, 1, 0],
                "data_points": [{"control": c, "amu": a} for c, a in pts]}
               for pc, (order, pts) in sorted(MCAL_POINTS.items())]
    return {"version": 2, "control_mode": 0, "entries": entries}


def dense(segments):
    """Counts by bin number from 0: zeros before the first bin and in gaps."""
    out = []
    for start, counts in segments:
        out += [0] * max(0, start - len(out))
        out += counts
    return out


def scan_part(arc, rng, marker, markers):
    """Scans after the sample's first part, through gen_kora_scans's builder and model."""
    sa = gen_kora_scans.ScanArchive.__new__(gen_kora_scans.ScanArchive)
    sa.rng, sa.arc, sa.offsets, sa.light = rng, arc, [], False
    sa.info = [{"type": p["type"], "ts": p["ts"]} for p in arc.packets]
    extra = {}

    def mark(mid, text):
        marker(mid, text)
        sa.info.append({"type": 9, "ts": arc.packets[-1]["ts"]})

    def segment(start, counts, end=True):
        rf, dac, aux = 1000 + start, 2000 + start, 300 + start
        data = bytes([0, 0, 0, 0x86 if end else 0]) + be16(len(counts) + 9) + be16(start + 1) + be16(rf) \
            + be16(dac) + be16(aux) + bytes([0]) + bytes(counts)
        p = sa.instrument(26, data, start=start, nbins=len(counts), marker=0x86 if end else 0,
                          total=sum(counts), peak=max(counts))
        return {"start": start, "counts": counts, "rfAmp": 0.5 + 0.25 * rf, "rfAmpDac": float(dac),
                "auxAmpDac": -2.0 + 0.5 * aux, "index": p["index"]}

    def scan(name, segs, marker_order, skip_order):
        made = [segment(st, c, k == len(segs) - 1) for k, (st, c) in enumerate(segs)]
        extra[len(extra)] = {"name": name, "segments": made, "counts": dense(segs), "marker": marker_order,
                             "markerSkipZero": skip_order}

    sa.arc.ts += 30000  # 3 s on: the wave packet (GC housekeeping) pairs with no scan
    sa.seb_hk(1, 0)
    sa.instrument(15, bytes(4) + b"".join(be16(v) for v in LASER_PULSES) + be16(LASER_AVG) + bytes(4)
                  + be16(LASER_SD))
    seq = sa.sequence([(gen_kora_scans.SET_DAC_IMM, bytes([0]) + be16(14)), (gen_kora_scans.PAUSE_IMM, be16(5))],
                      split=[6])
    # A: a gap between its segments, ties for the highest count; its marker is
    # the archive's third marker packet.
    scan("gap", [(3, [5, 9, 9, 2, 7]), (40, [1, 9, 0, 3])], 2, 2)
    sa.status(set_dac=[14, 15, 0, 0, 0, 0, 20, 30] + [0] * 5 + [0x0FFF, 0, 1234], special=5, raw_scan=1000)
    mark(0, b"zero id before B")
    # B: follows a marker of id 0.
    scan("after_zero_id", [(0, [4, 4, 1]), (3, [6, 2])], 3, 2)
    sa.status(set_dac=[200, 14, 0, 0, 0, 0, 1, 2] + [0] * 5 + [0x07FF, 0, 7], special=9, raw_scan=300)
    mark(12, b"scan block")
    sa.seb_hk(0, 0)
    sa.instrument(14, bytes(8))
    # C: no status, GC paired, inside the "scanning" meta marker.
    scan("no_status", [(0, [rng.randrange(256) for _ in range(100)])], 4, 4)
    # D: a status whose special id is no scan type and no DAC.
    scan("raw_value", [(0, [1, 2, 3]), (3, [4, 5, 6])], 4, 4)
    sa.status(set_dac=[15, 15] + [0] * 11 + [20, 0, 0], special=1234, raw_scan=77, phase=9)
    # E: a summed dark scan of three acquisitions, two statuses pending.
    for k in range(2):
        sa.status(set_dac=[15, 15] + [0] * 11 + [20, 0, 0], special=6, raw_scan=40 + k)
    summed = arc.summed(27, 1, 3, 2, 150)
    sa.info.append({"type": 27, "ts": summed["ts"], "n": 3, "nbins": 150})
    extra[len(extra)] = {"name": "summed", "summed": summed["scan"], "marker": 4, "markerSkipZero": 4}
    scans = sa.expected()
    for k, e in enumerate(scans):
        e.update(extra[k])
        e["status"] = gen_kora_scans.status_expected(sa.info[e["statuses"][-1]]) if e["statuses"] else None
        e["sebSequencePackets"] = [p["index"] for p in seq] if e["sequences"] else []
    return scans


def kora_archive(rng):
    arc = gen_kora.Archive(rng, gen_kora.folder_time(KORA_DIR))
    arc.tick0 = arc.fallback
    messages, markers, items = [], [], []

    def message(text):
        p = arc.instrument(MSG_TYPE, text.encode() + b"\0")
        messages.append((p["index"], text))

    def marker(marker_id, text):
        # Texts are bytes; the expected text is as Python reads them (not UTF-8: surrogate escapes).
        p = arc.instrument(MARKER_TYPE, marker_data(marker_id, text))
        markers.append({"index": p["index"], "id": marker_id, "text": text.decode("utf-8", "surrogateescape"),
                        "order": len(markers)})

    def hk(volts, text):
        p = arc.instrument(HK_TYPE, hk_data(volts, text))
        number = float(text) if text[0] in "-0123456789" else 0.0
        number = number if abs(number) != float("inf") else 0.0
        items.append({"packet": p["index"], "9001": modes(9001, volts), "9002": modes(9002, number)})

    message("Logging to disk. Data directory: %s\n" % DATA_DIRECTORY)
    arc.time_packet(2)
    hk(100, "12.5")
    marker(7, b"pump down")
    message("starting the scan\n")
    hk(200, "3")
    marker(0, b"note without id")
    message("%d.5: valve open\n" % 4321)
    hk(65535, "-1.5")
    marker(0x80000001, b"high id \xb0C \xff")
    arc.instrument(WAVE_TYPE, bytes(range(64)))
    hk(7, "1e3")
    hk(8, "1e999")  # beyond a double: 0
    hk(9, "abc")  # no number: 0
    scans = scan_part(arc, rng, marker, markers)
    return arc, messages, markers, items, scans


# Two rules: "pumping" from marker 7 for one second, "scanning" from marker 12
# for two. Their times come from the meta-marker generator; the tests read them
# back rather than restate them.
META_RULES = {"meta_markers": [
    {"tids": "0-99999", "meta_marker_id": 50001, "meta_marker_text": "pumping",
     "start_conditions": [{"type": "marker", "marker": 7, "offset_in_seconds": 0}],
     "end_conditions": [{"type": "duration", "number_of_seconds": 1.0}]},
    {"tids": "0-99999", "meta_marker_id": 50002, "meta_marker_text": "scanning",
     "start_conditions": [{"type": "marker", "marker": 12, "offset_in_seconds": 0}],
     "end_conditions": [{"type": "duration", "number_of_seconds": 2.0}]},
]}


def write_meta(folder, mission, tid, name, model="FM", mcal=None):
    meta = {"gse": {"version": 3, "mission": mission, "model": model, "tid": tid, "tid_dir": name,
                    "tmfile_name": "tm.tlm" if mission == "kora" else "tm.bin"}}
    if mcal:
        meta["gse"]["default_mcal"] = mcal
    with open(os.path.join(folder, "tm.meta"), "w") as f:
        json.dump(meta, f, indent=1)


def ini_section(path, group):
    """The keys of a generated INI's group, as lines under another group name."""
    lines, inside = [], False
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                inside = line == "[%s]" % group
            elif inside and line:
                lines.append(line)
    return lines


def kora_group(kora):
    """The keys of a first-instrument group over gen_kora's definitions in the
    folder kora (from its vek.INI), with the others its start-up needs."""
    lines = ini_section(os.path.join(kora, "vek.INI"), "KORA")
    # Keys the first instrument's group must also name (existing paths).
    for key, name in (("sequence_root", "sequences"), ("mcal_root", "mcal")):
        os.makedirs(os.path.join(kora, name), exist_ok=True)
        lines.append("%s=%s" % (key, os.path.join(kora, name)))
    for key, name in (("seq_config", "seq.cfg"), ("heater_table", "heaters.txt"), ("sclk_table", "sclk.txt")):
        open(os.path.join(kora, "defs", name), "w").close()
        lines.append("%s=%s" % (key, os.path.join(kora, "defs", name)))
    return lines


def bench_archive(out, count, rng):
    folder = os.path.join(out, "bench")
    os.makedirs(folder, exist_ok=True)
    arc = gen_kora.Archive(rng, gen_kora.folder_time(KORA_DIR))
    arc.bulk = True
    arc.tick0 = arc.fallback
    arc.time_packet(2)
    wave = bytes(range(64))
    big = bytes(k & 0xFF for k in range(4096 - 12))
    rounds = 0
    while len(arc.packets) < count:
        arc.instrument(HK_TYPE, hk_data(rounds & 0xFFFF, "12.5"))
        arc.instrument(WAVE_TYPE, wave)
        rounds += 1
        if rounds % 500 == 0:
            arc.instrument(BIG_TYPE, big)
    with open(os.path.join(folder, "tm.tlm"), "wb") as f:
        f.write(arc.bytes)
    write_meta(folder, "kora", 1, KORA_DIR)


def generate(out, bench=0, seed=18):
    rng = random.Random(seed)
    out = os.path.abspath(out)
    os.makedirs(out, exist_ok=True)
    kora = os.path.join(out, "kora")
    # Scan-status rows and packet types of gen_kora_scans, the sample's DAC table;
    # its model converts DACs with the same table while the archive is made.
    gen_kora_scans.install_definitions()
    gen_kora.DAC_ROWS[:] = SAMPLE_DAC_ROWS
    saved_dac = dict(gen_kora_scans.DAC)
    gen_kora_scans.DAC.clear()
    gen_kora_scans.DAC.update({r[0]: r for r in SAMPLE_DAC_ROWS})
    try:
        gen_kora.write_definitions(kora)
        with open(os.path.join(kora, "defs", "KOR_TM_Database.txt"), "a", newline="\n") as f:
            f.write("\n".join(demo_lines()) + "\n")
        arc, messages, markers, items, scans = kora_archive(rng)
    finally:
        gen_kora_scans.DAC.clear()
        gen_kora_scans.DAC.update(saved_dac)
    with open(os.path.join(kora, "defs", "scantypesinfo.json"), "w") as f:
        json.dump(SCAN_TYPES, f, indent=1)
    folder = os.path.join(kora, KORA_DIR)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "tm.tlm"), "wb") as f:
        f.write(arc.bytes)
    with open(os.path.join(folder, MCAL_NAME), "w") as f:
        json.dump(mcal_json(), f, indent=1)
    write_meta(folder, "kora", 12345, KORA_DIR, mcal=MCAL_NAME)
    summary = gen_kora.summary(arc)
    # The SEB command table of gen_kora_scans.py, which every first-instrument
    # start-up loads from the gse folder.
    gen_kora_scans.write_seb_cmds(kora)
    rules = os.path.join(kora, "MetaMarkerRules")  # in the group's gse folder
    os.makedirs(rules, exist_ok=True)
    with open(os.path.join(rules, "demo.json"), "w") as f:
        json.dump(META_RULES, f, indent=1)

    tolva = os.path.join(out, "tolva")
    with tempfile.TemporaryDirectory() as tmp:
        gen_tolva.generate(tmp, 24, seed)
        shutil.copytree(os.path.join(tmp, "defs"), os.path.join(tolva, "defs"), dirs_exist_ok=True)
        tfolder = os.path.join(tolva, TOLVA_DIR)
        os.makedirs(tfolder, exist_ok=True)
        shutil.copy(os.path.join(tmp, "bare", "tm.bin"), os.path.join(tfolder, "tm.bin"))
        with open(os.path.join(tmp, "expected.json")) as f:
            tolva_expected = json.load(f)["archives"]["bare"]
        tolva_keys = [k.replace(tmp, tolva) for k in ini_section(os.path.join(tmp, "vekconfig.INI"), "TOLVA")]
    for d in ("gse", "viewers", "data", "mcal"):
        os.makedirs(os.path.join(tolva, d), exist_ok=True)
    write_meta(tfolder, "tolva", 12346, TOLVA_DIR)

    with open(os.path.join(out, "vekconfig.INI"), "w", newline="\n") as f:
        f.write("[VEK]\ndefault_group=KORA_FM\n[KORA_FM]\n")
        f.write("\n".join(kora_group(kora)) + "\n")
        f.write("[TOLVA_FM]\n" + "\n".join(tolva_keys) + "\n")
    os.remove(os.path.join(kora, "vek.INI"))

    expected = {
        "kora": {"folder": KORA_DIR, "path": os.path.join("kora", KORA_DIR, "tm.tlm"), "tid": 12345,
                 "model": "FM", "dataDirectory": DATA_DIRECTORY, "packets": summary["packets"],
                 "isSynced": summary["isSynced"], "messages": messages, "markers": markers, "items": items,
                 "scans": scans, "laser": {"shots": len(LASER_PULSES), "avg": LASER_AVG, "sd": LASER_SD}},
        "tolva": {"folder": TOLVA_DIR, "path": os.path.join("tolva", TOLVA_DIR, "tm.bin"), "tid": 12346,
                  "model": "FM", "packets": tolva_expected["packets"], "decoded": tolva_expected["decoded"]},
    }
    with open(os.path.join(out, "expected.json"), "w") as f:
        json.dump(expected, f, indent=1)
    if bench:
        bench_archive(out, bench, rng)
    return expected


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("--bench", type=int, default=0, help="also write a bulk archive of N packets")
    ap.add_argument("--seed", type=int, default=18)
    args = ap.parse_args()
    generate(args.out, args.bench, args.seed)


if __name__ == "__main__":
    main()
