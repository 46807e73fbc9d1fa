#!/usr/bin/python3
"""Writes one sample archive per instrument for the Python module's demo and tests.

    gen_samples.py OUT [--bench N]

Files written to OUT:
  vekconfig.INI   one configuration for both (groups KORA_FM and TOLVA_FM);
                  point INIVEK at it
  kora/defs/...   first-instrument definitions (gen_kora's, plus the demo rows below)
  kora/viewerConfigs/seb_cmds.json   gen_kora_seb's SEB command table
  kora/MetaMarkerRules/demo.json     one meta-marker rule
  kora/2012-04-02-12.35.42-12345-demo/tm.tlm, tm.meta
                  packet 0 a message-log packet naming the data directory, a time
                  packet, message-log lines (one with its own time), markers (one
                  of id 0), housekeeping packets whose items differ in all three
                  value modes (one item a text)
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
import gen_kora_seb  # noqa: E402
import gen_tolva  # noqa: E402

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
    return arc, messages, markers, items


# One rule: "pumping" from marker 7 for one second. Its times come from the
# meta-marker generator; the tests read them back rather than restate them.
META_RULES = {"meta_markers": [
    {"tids": "0-99999", "meta_marker_id": 50001, "meta_marker_text": "pumping",
     "start_conditions": [{"type": "marker", "marker": 7, "offset_in_seconds": 0}],
     "end_conditions": [{"type": "duration", "number_of_seconds": 1.0}]},
]}


def write_meta(folder, mission, tid, name, model="FM"):
    meta = {"gse": {"version": 3, "mission": mission, "model": model, "tid": tid, "tid_dir": name,
                    "tmfile_name": "tm.tlm" if mission == "kora" else "tm.bin"}}
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
    gen_kora.write_definitions(kora)
    with open(os.path.join(kora, "defs", "KOR_TM_Database.txt"), "a", newline="\n") as f:
        f.write("\n".join(demo_lines()) + "\n")
    arc, messages, markers, items = kora_archive(rng)
    folder = os.path.join(kora, KORA_DIR)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "tm.tlm"), "wb") as f:
        f.write(arc.bytes)
    write_meta(folder, "kora", 12345, KORA_DIR)
    summary = gen_kora.summary(arc)
    # The SEB command table of gen_kora_seb.py, which every first-instrument
    # start-up loads from the gse folder.
    viewer = os.path.join(kora, "viewerConfigs")
    os.makedirs(viewer, exist_ok=True)
    with open(os.path.join(viewer, "seb_cmds.json"), "w") as f:
        json.dump(gen_kora_seb.COMMANDS, f, indent=1)
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
        f.write("\n".join(ini_section(os.path.join(kora, "vek.INI"), "KORA")) + "\n")
        # Keys the first instrument's group must also name (existing paths).
        for key, name in (("sequence_root", "sequences"), ("mcal_root", "mcal")):
            os.makedirs(os.path.join(kora, name), exist_ok=True)
            f.write("%s=%s\n" % (key, os.path.join(kora, name)))
        for key, name in (("seq_config", "seq.cfg"), ("heater_table", "heaters.txt"), ("sclk_table", "sclk.txt")):
            open(os.path.join(kora, "defs", name), "w").close()
            f.write("%s=%s\n" % (key, os.path.join(kora, "defs", name)))
        f.write("[TOLVA_FM]\n" + "\n".join(tolva_keys) + "\n")
    os.remove(os.path.join(kora, "vek.INI"))

    expected = {
        "kora": {"folder": KORA_DIR, "path": os.path.join("kora", KORA_DIR, "tm.tlm"), "tid": 12345,
                 "model": "FM", "dataDirectory": DATA_DIRECTORY, "packets": summary["packets"],
                 "isSynced": summary["isSynced"], "messages": messages, "markers": markers, "items": items},
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
