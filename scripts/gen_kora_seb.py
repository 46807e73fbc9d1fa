#!/usr/bin/python3
"""Writes the first instrument's SEB command table, sequences and what a reader must find.

    gen_kora_seb.py OUT_DIR [--seed S]
    gen_kora_seb.py --fuzz-corpus FUZZ_DIR   (writes the two SEB fuzz corpora)

On top of the definitions of gen_kora.py (vek.INI with gse = OUT_DIR, the text
database, the packet types), OUT_DIR receives:
  viewerConfigs/seb_cmds.json   the eight SEB command ids with fields of all five
                                decoder types, and elements that are not objects
  defs/KOR_DAC_Conversions.txt  replaced: a DAC table with signed and unsigned rows,
                                a zero divisor and a mask narrower than the row
  defs/KOR_TM_Database.txt      extended by the rows 900 and 901 that SEB fields borrow
  sequences/*.seq               sequence files: a good one (garbage between commands,
                                a cut-off command at the end), one of invalid format,
                                one too short
  seb_expected.json             by construction: per command of a field table its bytes
                                and each field's five values (or that it throws); the
                                type-23 packets (hex) with their sequences' commands and
                                pending bytes; the files' commands

Everything here follows from the formats: a command is FA F3 20, its id, a
16-bit length L and L + 2 more bytes; a type-23 packet is an 8-byte TOM header,
a SEB header (sync, id, N), a 24-bit memory address and N - 3 stream bytes.
"""
import argparse
import json
import os
import random
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_kora  # noqa: E402  (helpers: tom, write_definitions, COLUMNS)

SYNC = b"\xFA\xF3\x20"

# id, number, name, bits, mask, signed, offset a, divisor b: value = (counts - a) / b
DAC_ROWS = [
    (0, 0, "EM_A", 12, "0x0FFF", 0, 0.0, -1.0),
    (1, 1, "EM_B", 12, "0x0FFF", 0, 0.0, -1.0),
    (2, 2, "LENS_1", 12, "0x0FFF", 1, 0.0, 1.0),
    (3, 3, "FOCUS", 8, "0xFF", 0, 10.0, 2.0),
    (4, 4, "ZERO_DIV", 16, "0xFFFF", 0, 5.0, 0.0),
    (5, 5, "NARROW", 16, "0x00FF", 0, 0.0, 1.0),
    (6, 6, "GRID", 16, "0xFFFF", 1, -20.0, 4.0),
]

# HK rows the SEB fields borrow: id, name, bytes (DECODE_ID2), DECODE_ID3 (mask),
# DECODE_ID4 (shift, as unsigned 32 bits), sci a0, sci a1, units, and the
# engineering line e0 + e1 x that the science line follows when SCI_FROM_ENG
# is set (None: SCI_FROM_ENG N, engineering identity)
HK_ROWS = [
    (900, "SEB_FIELD_A", 3, 0x0FFFF0, 4, -5.0, 0.25, "mA", None),
    (901, "SEB_FIELD_B", 1, 0, 0xFFFFFFFC, 0.0, 1.0, "V", None),
    (902, "SEB_FIELD_C", 2, 0, 0, 1.5, 1.0, "V", (1.0, 2.0)),
]


def f_simple(name, off, size, mask, shift, typ=1):
    return {"type": typ, "field": name, "description": name.lower() + " field", "offset": off, "size": size,
            "mask": mask, "shift": shift}


def f_hk(name, off, hkid):
    return {"type": 2, "field": name, "description": name.lower() + " field", "offset": off, "hkid": hkid}


COMMANDS = [
    {"id": "12", "name": "SET_BIN_TIME", "description": "Set the bin time",
     "data": [f_simple("BIN_TIME", 6, 4, "FFFFFFFF", 0)]},
    {"id": "15", "name": "PAUSE_IMM", "description": "Pause now",
     "data": [f_simple("MS", 6, 2, "FFFF", 0)]},
    {"id": "17", "name": "SEND_SCAN_STATUS", "description": "Send a scan status", "data": []},
    {"id": "1c", "name": "SET_DAC", "description": "Set a DAC from a register",
     "data": [f_simple("DAC", 6, 1, "FF", 0, 3), f_simple("VALUE", 7, 2, "FFFF", 0, 4)]},
    {"id": "1D", "name": "SET_DAC_IMM", "description": "Set a DAC now",
     "data": [f_simple("DAC", 6, 1, "FF", 0, 3), f_simple("VALUE", 7, 2, "FFFF", 0, 4)]},
    {"id": "20", "name": "RAMP", "description": "Ramp",
     "data": [f_simple("START", 6, 2, "FFFF", 0), f_simple("STOP", 8, 2, "0FFF", 0), {"type": 0},
              f_simple("HIGH", 10, 1, "F0", 4), f_simple("LOW", 10, 1, "0F", -4)]},
    {"id": "21", "name": "RAMP_IMM", "description": "Ramp now",
     "data": [f_simple("BINS", 6, 2, "FFFF", 0), f_hk("HK_A", 8, 900), f_hk("HK_B", 11, 901)]},
    {"id": "2E", "name": "PAUSE", "description": "Pause from a register",
     "data": [f_simple("INDEX", 6, 1, "07", 0), f_simple("WIDE", 7, 5, "FFFFFFFF", 0),
              f_simple("MISSING", 20, 2, "FFFF", 0)]},
    # An entry replaced by a later one of the same id.
    {"id": "7f", "name": "OLD_NAME", "description": "replaced", "data": []},
    {"id": "7F", "name": "NOOP", "description": "Does nothing %1", "data": [{"type": 0}]},
    # A field whose row takes its science value from the engineering value.
    {"id": "7E", "name": "HK_ENG", "description": "Science from engineering", "data": [f_hk("HK_C", 6, 902)]},
]


def cmd(cid, payload):
    """One command: FA F3 20, id, L = len(payload) - 2, payload (L + 2 bytes)."""
    assert len(payload) >= 2
    return SYNC + bytes([cid]) + struct.pack(">H", len(payload) - 2) + bytes(payload)


def dac_row(dac_id):
    for r in DAC_ROWS:
        if r[0] == dac_id:
            return r
    return None


def dac_value(dac_id, raw):
    """The science value of a DAC value field, or None when the id has no row."""
    r = dac_row(dac_id)
    if r is None:
        return None
    _, _, _, bits, mask, signed, a, b = r
    counts = raw & int(mask, 16)
    if b == 0:
        return 0.0
    if signed and (counts >> (bits - 1)) & 1:
        counts -= 1 << bits
    return (counts - a) / b


def gfmt(v):
    return "%g" % v


def accumulate(data, off, size, mask, shift):
    v = 0
    for k in range(max(size, 0)):
        v = ((v << 8) | data[off + k]) & 0xFFFFFFFF  # IndexError: past the command
    v &= mask
    if shift >= 0:
        v >>= shift % 32
    else:
        v = (v << ((-shift) % 32)) & 0xFFFFFFFF
    return v


def to_bytes(v, size):
    return bytes(((v >> ((8 * k) % 32)) & 0xFF) for k in reversed(range(max(size, 0))))


def field_values(interp, i, data):
    """Five values of field i over the command bytes. "throws": every read
    throws std::out_of_range (the field leaves the command); "sciThrows": only
    the science value and text throw (no DAC row for the id)."""
    f = interp["data"][i]
    t = f["type"]
    if t in (1, 3, 4):
        size, mask, shift = f["size"], int(f["mask"], 16), f["shift"]
    elif t == 2:
        row = next(r for r in HK_ROWS if r[0] == f["hkid"])
        size, mask = row[2], row[3] or 0xFFFFFFFF
        shift = row[4] - (1 << 32) if row[4] >= 1 << 31 else row[4]
    else:
        return {"empty": True}
    try:
        v = accumulate(data, f["offset"], size, mask, shift)
    except IndexError:
        return {"throws": True, "size": size}
    raw = to_bytes(v, size)
    out = {"uint": v, "hex": " ".join("%02X" % b for b in raw), "dec": str(v), "sci": float(v), "sciStr": "N/A",
           "size": size}
    if t == 2:
        eng = v if row[8] is None else row[8][0] + row[8][1] * v
        out["sci"] = row[5] + row[6] * eng
        out["sciStr"] = gfmt(out["sci"]) + row[7]
    elif t == 3:
        r = dac_row(v if v < 1 << 31 else v - (1 << 32))
        out["sciStr"] = r[2] if r else "Unknown"
    elif t == 4:
        dac_id = accumulate(data, 6, 1, 0xFF, 0)  # where SET_DAC_IMM keeps it
        sci = dac_value(dac_id, v)
        if sci is None:
            del out["sci"], out["sciStr"]
            out["sciThrows"] = True
        else:
            out["sci"] = sci
            out["sciStr"] = gfmt(sci) + "V"
    return out


def field_cases():
    """Commands over which every field of their interpreter is decoded."""
    by_id = {int(c["id"], 16): c for c in COMMANDS}
    cases = [
        cmd(0x12, [0x00, 0x01, 0x86, 0xA0]),               # 100000
        cmd(0x15, [0x01, 0xF4, 0, 0]),                     # 500 ms
        cmd(0x17, [0, 0]),
        cmd(0x1C, [0, 0x07, 0xD0, 0]),                     # EM_A 2000 -> -2000 V
        cmd(0x1D, [1, 0x0F, 0xFF, 0]),                     # EM_B 4095 masked
        cmd(0x1D, [2, 0x0F, 0xFF, 0]),                     # signed 12-bit -1
        cmd(0x1D, [2, 0x08, 0x00, 0]),                     # signed 12-bit -2048
        cmd(0x1D, [3, 0x12, 0x34, 0]),                     # row mask 0xFF: 0x34
        cmd(0x1D, [4, 0x00, 0x10, 0]),                     # divisor 0
        cmd(0x1D, [5, 0xAB, 0xCD, 0]),                     # row mask 0x00FF
        cmd(0x1D, [6, 0xFF, 0x9C, 0]),                     # signed 16-bit -100
        cmd(0x1D, [42, 0x00, 0x01, 0]),                    # no DAC 42: name Unknown, value throws
        cmd(0x20, [0x01, 0x00, 0xF2, 0x34, 0x5A, 0x00]),   # mask 0FFF, shifts 4 and -4
        cmd(0x21, [0x00, 0x64, 0x12, 0x34, 0x56, 0x9C, 0, 0]),
        cmd(0x2E, [0x0B, 0x11, 0x22, 0x33, 0x44, 0x55]),   # index masked 07; size 5
        cmd(0x7F, [0, 0]),
        cmd(0x7E, [0x00, 0x05]),                           # eng 1 + 2 * 5 = 11, sci 1.5 + 11 = 12.5 V
    ]
    out = []
    for c in cases:
        interp = by_id[c[3]]
        out.append({"id": c[3], "bytes": c.hex(), "name": interp["name"],
                    "fields": [field_values(interp, i, c) for i in range(len(interp["data"]))]})
    return out


def garbage(rng, n):
    # No 0xFA: garbage never holds a sync code, so what resynchronises is known.
    return bytes(rng.choice([b for b in range(256) if b != 0xFA]) for _ in range(n))


def random_command(rng):
    cid = rng.choice([0x12, 0x15, 0x17, 0x1C, 0x1D, 0x20, 0x21, 0x2E, 0x7F, 0x55])
    n = rng.choice([2, 2, 4, 6, 9, 40, 300])
    return cmd(cid, bytes(rng.randrange(256) for _ in range(n)))


def seb_packet(index, stream, addr, n=None):
    """A type-23 TOM packet carrying stream bytes at memory address addr; N = 3 + len(stream)."""
    n = 3 + len(stream) if n is None else n
    data = SYNC + bytes([0x30]) + struct.pack(">H", n) + struct.pack(">I", addr)[1:] + stream
    return gen_kora.tom(23, index, data, 1000 * (index + 1))


def sequences(rng):
    """Streams of commands with garbage, cut into packets at random places."""
    packets, seqs = [], []

    def add_sequence(stream, cmds, pending, cuts, last_n=None):
        idx = []
        pos = 0
        bounds = [0] + sorted(cuts) + [len(stream)]
        for k in range(len(bounds) - 1):
            part = stream[bounds[k]:bounds[k + 1]]
            n = last_n if (last_n is not None and k == len(bounds) - 2) else None
            pkt = seb_packet(len(packets), part, pos, n)
            pos += len(part)
            idx.append(len(packets))
            packets.append(pkt)
        seqs.append({"packets": idx, "commands": [c.hex() for c in cmds], "pending": pending.hex()})
        return idx

    # A: commands with garbage between them, cut at random places; ends cleanly.
    cmds = [random_command(rng) for _ in range(12)]
    stream = b""
    for c in cmds:
        stream += garbage(rng, rng.choice([0, 0, 1, 3, 5, 6, 11])) + c
    cuts = rng.sample(range(1, len(stream)), 9)
    add_sequence(stream, cmds, b"", cuts)

    # B: ends with a cut-off command (its first 10 of 14 bytes) after garbage of 3 bytes.
    cmds = [random_command(rng) for _ in range(4)]
    tail = cmd(0x1D, [1, 2, 3, 4, 5, 6])[:10]
    stream = b"".join(garbage(rng, 2) + c for c in cmds) + garbage(rng, 3) + tail
    add_sequence(stream, cmds, tail, rng.sample(range(1, len(stream)), 3))

    # C: N = 3 (memory address only): no command.
    add_sequence(b"", [], b"", [])

    # D: one command, then an N that points past the packet: the stream ends
    # at the packet's end, so the 4 checksum bytes are kept as pending.
    c = cmd(0x17, [0, 0])
    idx = add_sequence(c, [c], b"", [], last_n=3 + len(c) + 500)
    seqs[-1]["pending"] = packets[idx[-1]][-4:].hex()

    # E: trailing garbage of 5 bytes (pending), then a continuation that
    # completes nothing but resynchronises on its command.
    c1, c2 = random_command(rng), random_command(rng)
    g = garbage(rng, 5)
    add_sequence(c1 + g + c2, [c1, c2], b"", [len(c1) + len(g)])
    return packets, seqs


def write_files(out, rng):
    seq = os.path.join(out, "sequences")
    os.makedirs(seq, exist_ok=True)
    files = {}
    cmds = [random_command(rng) for _ in range(6)]
    tail = cmd(0x20, [1, 2, 3, 4, 5, 6])[:9]
    stream = cmds[0] + b"".join(garbage(rng, 4) + c for c in cmds[1:]) + tail
    files["good.seq"] = {"bytes": b"\x01\x02" + stream, "valid": True, "failure": 0,
                         "commands": [c.hex() for c in cmds], "pending": tail.hex()}
    files["badformat.seq"] = {"bytes": b"\x00\x00\xFA\xF3\x21" + cmds[0], "valid": False, "failure": 2,
                              "commands": [], "pending": ""}
    files["short.seq"] = {"bytes": b"\x00\x00\xFA\xF3", "valid": False, "failure": 2, "commands": [],
                          "pending": ""}
    files["empty_after_sync.seq"] = {"bytes": b"\x00\x00\xFA\xF3\x20", "valid": True, "failure": 0,
                                     "commands": [], "pending": "faf320"}
    for name, f in files.items():
        with open(os.path.join(seq, name), "wb") as fh:
            fh.write(f.pop("bytes"))
    return files


def extend_definitions(out):
    defs = os.path.join(out, "defs")
    with open(os.path.join(defs, "KOR_DAC_Conversions.txt"), "w", newline="\n") as f:
        f.write("# DAC conversions of the SEB tests\n#id\tnum\tname\tbits\tmask\tsigned\toffset\tscale\n")
        for r in DAC_ROWS:
            f.write("\t".join(str(x) for x in r) + "\n")
    lines = []
    for rid, name, nbytes, mask, shift, a0, a1, units, eng in HK_ROWS:
        cells = dict.fromkeys(gen_kora.COLUMNS, "")
        cells.update({"SUB_SYSTEM": "SEB", "NAME": name, "DESCRIPTION": name.lower(), "DATA_ID": str(rid),
                      "PACKET_TYPE": "23", "DECODE_TYPE": "3", "DECODE_ID1": "0", "DECODE_ID2": str(nbytes),
                      "DECODE_ID3": "0x%X" % mask, "DECODE_ID4": "0x%X" % shift, "RAW_FMT": "%d", "ENG_FMT": "%g",
                      "ENG_EQ_TYPE": "0" if eng is None else "1",
                      "ENG_K1": "0" if eng is None else repr(eng[0]), "ENG_K2": "1" if eng is None else repr(eng[1]),
                      "SCI_UNITS": units, "SCI_FMT": "%g",
                      "SCI_EQ_TYPE": "1", "SCI_FROM_ENG": "N" if eng is None else "Y", "SCI_K1": repr(a0), "SCI_K2": repr(a1),
                      "ARRAY_LENGTH": "1"})
        for k in range(3, 9):
            cells["SCI_K%d" % k] = "0"
        lines.append("\t".join(cells[c] for c in gen_kora.COLUMNS))
    with open(os.path.join(defs, "KOR_TM_Database.txt"), "a", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def fuzz_corpus(fuzz):
    """Small inputs for fuzz/fuzz_seb_cmds.cpp and fuzz/fuzz_seb_sequence.cpp (formats there)."""
    rng = random.Random(5)
    cmds_dir = os.path.join(fuzz, "corpus", "fuzz_seb_cmds")
    seq_dir = os.path.join(fuzz, "corpus", "fuzz_seb_sequence")
    os.makedirs(cmds_dir, exist_ok=True)
    os.makedirs(seq_dir, exist_ok=True)

    def cmds_input(table, hk, command):
        j = table if isinstance(table, bytes) else json.dumps(table, separators=(",", ":")).encode()
        return struct.pack(">H", len(j)) + j + hk + command

    hk = bytes([3]) + struct.pack("<Q", 0x0FFFF0) + struct.pack("<I", 4)
    hk_left = bytes([1]) + struct.pack("<Q", 0) + struct.pack("<I", 0xFFFFFFFC)
    odd = [{"id": "1D", "name": "SET_DAC_IMM", "description": "", "data": [
        {"type": 3, "field": "DAC", "description": "", "offset": 6, "size": 1, "mask": "FF", "shift": 0},
        {"type": 4, "field": "V", "description": "", "offset": 7, "size": 1e300, "mask": "FFFF", "shift": 1e300},
        {"type": 1, "field": "F", "description": "", "offset": -1, "size": -7, "mask": "0", "shift": -2147483648},
        {"type": 2, "field": "H", "description": "", "offset": 4294967295, "hkid": -1}]}]
    files = {
        "table_dac": cmds_input(COMMANDS, hk, cmd(0x1D, [2, 0x0F, 0xFF, 0])),
        "table_ramp_imm": cmds_input(COMMANDS, hk_left, cmd(0x21, [0, 0x64, 0x12, 0x34, 0x56, 0x9C, 0, 0])),
        "table_pause_short": cmds_input(COMMANDS, hk, cmd(0x2E, [1, 2])[:9]),
        "odd_numbers": cmds_input(odd, hk, cmd(0x1D, [4, 0xFF, 0xFF, 0])),
        "bad_entry": cmds_input([{"id": "1G", "name": "x", "description": "", "data": []}], hk, b""),
        "not_json": cmds_input(b"{[", hk, b"\xfa"),
    }
    for name, data in files.items():
        with open(os.path.join(cmds_dir, name), "wb") as f:
            f.write(data)

    def framed(packets):
        out = b""
        for p in packets:
            out += bytes([len(p)]) if len(p) < 255 else b"\xff" + struct.pack(">H", len(p))
            out += p
        return out

    packets, seqs = sequences(rng)
    stream = b"".join(cmd(0x17, [0, 0]) + garbage(rng, 3) for _ in range(4))
    big = cmd(0x12, bytes(rng.randrange(256) for _ in range(600)))
    files = {
        "file_good": b"\x00\x01" + stream + cmd(0x20, [1, 2, 3, 4])[:7],
        "file_bad": b"\x00\x01\xfa\xf3\x21" + stream,
        "packets_a": framed([packets[i] for i in seqs[0]["packets"]]),
        "packets_b_to_e": framed(packets[seqs[1]["packets"][0]:]),
        "packets_big": framed([seb_packet(0, big[:300], 0), seb_packet(1, big[300:], 300, 0xFFFF)]),
        "packets_short": framed([seb_packet(0, b"", 0)[:k] for k in (0, 5, 13, 16, 17)]),
    }
    for name, data in files.items():
        with open(os.path.join(seq_dir, name), "wb") as f:
            f.write(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out", nargs="?")
    ap.add_argument("--seed", type=int, default=23)
    ap.add_argument("--fuzz-corpus", metavar="FUZZ_DIR")
    args = ap.parse_args()
    if args.fuzz_corpus:
        fuzz_corpus(args.fuzz_corpus)
        return
    if not args.out:
        ap.error("OUT_DIR is required")
    rng = random.Random(args.seed)
    os.makedirs(args.out, exist_ok=True)
    gen_kora.write_definitions(args.out)
    extend_definitions(args.out)
    vc = os.path.join(args.out, "viewerConfigs")
    os.makedirs(vc, exist_ok=True)
    with open(os.path.join(vc, "seb_cmds.json"), "w") as f:
        json.dump([1, "not a command"] + COMMANDS + [None], f, indent=1)
    packets, seqs = sequences(rng)
    expected = {
        "commands": {str(int(c["id"], 16)): c["name"] for c in COMMANDS},
        "fieldCases": field_cases(),
        "packets": [p.hex() for p in packets],
        "sequences": seqs,
        "files": write_files(args.out, rng),
    }
    with open(os.path.join(args.out, "seb_expected.json"), "w") as f:
        json.dump(expected, f, indent=1)


if __name__ == "__main__":
    main()
