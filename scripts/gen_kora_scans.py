#!/usr/bin/python3
"""Writes first-instrument definitions and archives for scan assembly, with the scans a reader must find.

    gen_kora_scans.py OUT_DIR [--bench] [--seed S]
    gen_kora_scans.py --fuzz-corpus fuzz/corpus/fuzz_kora_scans

Builds on gen_kora.py (packet framing, clock, definitions) and adds what scans need:
  defs/KOR_TM_Database.txt      gen_kora's rows plus the scan-status items 200-206, 237-256
                                and 356 (type 25) and the SEB-housekeeping rows 17, 18, 102, 105
  defs/tm_packet_types.txt      gen_kora's types plus 23 (SEB sequences) and a longer 25
  defs/KOR_DAC_Conversions.txt  DAC ids 0-13 and 15 (no 14), signed and unsigned rows, one with slope 0
  viewerConfigs/seb_cmds.json   the eight command ids with all five field types
  main/tm.tlm                   a mixed archive: type-26 scans with restarting start bins and
                                0x86 markers, statuses, summed 27/28 packets, type-23 sequences
                                split across packets with garbage between commands, types 14/15/16/22
  cut/tm.tlm                    500 packets of the same mix, for cutting at packet boundaries
  run_<name>/tm.tlm             the end-of-scan run rule around each threshold
  bench/tm.tlm                  with --bench: 300,000 packets, about 3,000 scans
  expected.json                 per archive: packet byte offsets; per scan its packet indexes,
                                source type, status packet indexes, paired packet indexes, bin
                                total, sequences; mode and EM on-times of every scan

The expected scans come from a model of the assembly rules written here from the packet
formats; the generator picks the packet times and contents, so every outcome is known.
"""
import argparse
import json
import os
import random
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_kora as gk  # noqa: E402
from gen_kora import be16, be32  # noqa: E402

# ---- definitions -------------------------------------------------------------------------
# Scan-status items: id: (name, data offset, bytes, sci a0, sci a1, units)
STATUS_ITEMS = {
    200: ("SS_200", 4, 4, 0, 1, ""), 201: ("SS_201", 8, 2, 0, 1, ""),
    202: ("RF_AMP_MON", 10, 2, 0.5, 0.01, "V"), 203: ("COUNTER_SEL", 12, 1, 0, 1, ""),
    204: ("BIN_COUNT_REG", 13, 2, 0, 1, ""), 205: ("RF_STEP_REG", 15, 2, 0, 0.5, ""),
    206: ("AUX_STEP_REG", 17, 2, 1.0, 0.25, ""),
    245: ("BIN_TIME_RDBK", 80, 2, 0, 0.5, "us"), 246: ("SS_246", 82, 1, 0, 1, ""),
    247: ("SS_247", 83, 1, 0, 1, ""), 248: ("SS_248", 84, 1, 0, 1, ""), 249: ("SS_249", 85, 2, 0, 2, ""),
    250: ("SS_250", 87, 2, -1, 1, ""), 251: ("PHASE_CYCLE", 89, 2, 0, 1, ""),
    252: ("SPECIAL_SCAN_ID", 91, 4, 0, 1, ""), 253: ("RAW_SCAN", 95, 4, 0, 1, ""),
    254: ("AUX_STEP_SET", 99, 2, 0, 0.125, ""), 255: ("RF_STEP_SET", 101, 2, 0, 0.5, ""),
    256: ("BIN_COUNT_SET", 103, 2, 0, 1, ""), 356: ("RF_FREQ", 105, 2, 1000.0, 10.0, "Hz"),
}
for k in range(8):  # pause times in ms: a half millisecond a count
    STATUS_ITEMS[237 + k] = ("PAUSE_%d" % k, 64 + 2 * k, 2, 0, 0.5, "ms")
STATUS_LEN = 107
REG_BLOCK, SET_BLOCK = 20, 42

# DAC ids 0-13 and 15: id, number, name, bits, mask, signed, offset, slope. EM_A/EM_B read
# (c - 490) * 4: count 15 is -1900 exactly, 14 is -1904 (on).
DAC_ROWS = [
    (0, 0, "EM_A", 8, "0xFF", 0, 490.0, 0.25), (1, 1, "EM_B", 8, "0xFF", 0, 490.0, 0.25),
    (2, 2, "SRC_A_BIAS", 8, "0xFF", 0, 10.0, 2.0), (3, 3, "DEAD", 8, "0xFF", 0, 5.0, 0.0),
    (4, 4, "GRID", 8, "0xFF", 1, 0.0, 1.0), (5, 5, "SRC_B_BIAS", 8, "0xFF", 0, -3.0, 0.5),
    (6, 6, "SRC_A_FOCUS_A", 8, "0xFF", 0, 0.0, 4.0), (7, 7, "SRC_B_FOCUS_A", 8, "0xFF", 0, 1.0, 4.0),
    (8, 8, "LENS_1", 12, "0x0FFF", 1, 0.0, 8.0), (9, 9, "LENS_2", 12, "0x0FFF", 0, 100.0, 2.0),
    (10, 10, "LENS_3", 12, "0x0FFF", 1, 10.0, -4.0), (11, 11, "DEFL_X", 12, "0x0FFF", 0, 0.0, 1.0),
    (12, 12, "DEFL_Y", 12, "0x0FFF", 1, 0.0, 1.0), (13, 13, "RF_AMP_DAC", 16, "0xFFFF", 0, 0.0, 10.0),
    (15, 15, "AUX_AMP_DAC", 12, "0x0FFF", 1, -16.0, 0.5),
]
DAC = {r[0]: r for r in DAC_ROWS}

SEB_CMDS = [
    {"id": "12", "name": "SET_BIN_TIME", "description": "bin time",
     "data": [{"type": 2, "field": "binTime", "description": "bin time", "offset": 6, "hkid": 245}]},
    {"id": "15", "name": "PAUSE_IMM", "description": "pause for a given time",
     "data": [{"type": 1, "field": "ms", "description": "pause", "offset": 6, "size": 2, "mask": "FFFF",
               "shift": 0}]},
    {"id": "17", "name": "SEND_SCAN_STATUS", "description": "send a scan status", "data": [{"type": 0}]},
    {"id": "1C", "name": "SET_DAC", "description": "DAC from a register",
     "data": [{"type": 3, "field": "dac", "description": "DAC id", "offset": 6, "size": 1, "mask": "FF",
               "shift": 0}]},
    {"id": "1D", "name": "SET_DAC_IMM", "description": "DAC to a value",
     "data": [{"type": 3, "field": "dac", "description": "DAC id", "offset": 6, "size": 1, "mask": "FF",
               "shift": 0},
              {"type": 4, "field": "value", "description": "counts", "offset": 7, "size": 2, "mask": "FFFF",
               "shift": 0}]},
    {"id": "20", "name": "RAMP", "description": "ramp", "data": []},
    {"id": "21", "name": "RAMP_IMM", "description": "ramp a number of bins",
     "data": [{"type": 1, "field": "bins", "description": "bins", "offset": 6, "size": 2, "mask": "FFFF",
               "shift": 0}]},
    {"id": "2E", "name": "PAUSE", "description": "pause from the pause table",
     "data": [{"type": 1, "field": "index", "description": "pause index", "offset": 6, "size": 1, "mask": "FF",
               "shift": 0}]},
]
SET_BIN_TIME, PAUSE_IMM, SEND_SCAN_STATUS, SET_DAC, SET_DAC_IMM, RAMP, RAMP_IMM, PAUSE = \
    18, 21, 23, 28, 29, 32, 33, 46
EM_ON = -1900.0


def dac_value(dac_id, count):
    r = DAC.get(dac_id)
    if r is None:
        return 0.0
    _, _, _, bits, mask, signed, offset, slope = r
    if slope == 0:
        return 0.0
    c = count
    if signed:
        c &= int(mask, 16)
        if (c >> (bits - 1)) & 1:
            c -= 1 << bits
    return (c - offset) / slope


def sci(item, raw):
    r = STATUS_ITEMS[item]
    return r[3] + r[4] * raw


def install_definitions():
    for item, (name, off, n, a0, a1, units) in STATUS_ITEMS.items():
        gk.ROWS[item] = (name, 25, off, n, 1, a0, a1, units)
    gk.PACKET_TYPES[:] = [t for t in gk.PACKET_TYPES if t[0] != 25] + [
        (23, "SEB_SEQUENCE", "false", 0, 1024), (25, "SCAN_STATUS", "false", 0, 128)]
    gk.DAC_ROWS[:] = DAC_ROWS


# ---- SEB commands ----------------------------------------------------------------------
def command(cmd_id, args=b""):
    """One command: sync code, id, L, then L + 2 bytes (args padded)."""
    body = bytes(args)
    length = max(len(body) - 2, 0)
    body = body + bytes(length + 2 - len(body))
    return bytes([0xFA, 0xF3, 0x20, cmd_id]) + be16(length) + body


def set_dac_imm(dac_id, count):
    return command(SET_DAC_IMM, bytes([dac_id]) + be16(count))


def pause_imm(ms):
    return command(PAUSE_IMM, be16(ms))


def pause(k):
    return command(PAUSE, bytes([k]))


def set_dac(dac_id):
    return command(SET_DAC, bytes([dac_id]))


def ramp():
    return command(RAMP)


def ramp_imm(bins):
    return command(RAMP_IMM, be16(bins))


def send_scan_status():
    return command(SEND_SCAN_STATUS)


def em_on_times(seqs, last, num_scans, bins):
    """EM_A and EM_B on-times (ms) of a scan: seqs is a list of command lists of (id, args)."""
    if not seqs:
        if last is None:
            return 0.0, 0.0
        t = last["binTime"] * 1e-6 * bins * 1000.0 + 10.0
        total = t * num_scans
        return (total if last["setDac"][0] < EM_ON else 0.0), (total if last["setDac"][1] < EM_ON else 0.0)
    ea = eb = 0.0
    a = b = pa = pb = 0.0
    for cmds in seqs:
        for cid, args in cmds:
            d = None
            if cid == SET_DAC_IMM and len(args) >= 3:
                name = DAC[args[0]][2] if args[0] in DAC else "Unknown"
                v = dac_value(args[0], (args[1] << 8) | args[2])
                if name == "EM_A":
                    a = v
                elif name == "EM_B":
                    b = v
            elif cid == SET_DAC and last is not None:
                k = args[0]
                name = DAC[k][2] if k in DAC else "Unknown"
                if name in ("EM_A", "EM_B") and k < 16:
                    if name == "EM_A":
                        a = last["regDac"][k]
                    else:
                        b = last["regDac"][k]
            elif cid == PAUSE and last is not None:
                if args[0] < 8:
                    d = last["pause"][args[0]]
            elif cid == RAMP and last is not None:
                d = last["binCountReg"] * last["binTime"] / 1000.0
            elif cid == PAUSE_IMM:
                d = float((args[0] << 8) | args[1])
            elif cid == RAMP_IMM and last is not None:
                d = ((args[0] << 8) | args[1]) * last["binTime"] / 1000.0
            if d is not None:
                if a < EM_ON:
                    ea += d
                if b < EM_ON:
                    eb += d
            if a < EM_ON and pa >= EM_ON:
                ea = 0.0
            if b < EM_ON and pb >= EM_ON:
                eb = 0.0
            pa, pb = a, b
    return ea * num_scans, eb * num_scans


# ---- the archive builder -----------------------------------------------------------------
class ScanArchive:
    """Emits packets through gen_kora's Archive and models what the science data cache keeps."""

    def __init__(self, rng, light=False):
        self.rng = rng
        self.arc = gk.Archive(rng, gk.folder_time("2021-03-14-01.30.00_T101"))
        self.arc.bulk = True  # bytes and times only; the records are not wanted here
        self.arc.tick0 = self.arc.fallback
        self.offsets = []  # byte offset of each packet
        self.light = light  # no per-packet model details kept (the benchmark's size)
        self.info = []      # per packet: what the model needs
        self.emit_time()

    def _track(self, p, info):
        self.info.append(info)
        return p

    def _mark(self):
        self.offsets.append(len(self.arc.bytes))

    def advance(self, lo=50, hi=400):
        self.arc.ts += self.rng.randint(lo, hi)
        return self.arc.ts

    def emit_time(self):
        self._mark()
        p = self.arc.time_packet(2)
        return self._track(p, {"type": 2, "ts": p["ts"]})

    def instrument(self, ptype, data, ts=None, **info):
        self._mark()
        if ts is None:
            ts = self.advance()
        else:
            self.arc.ts = ts
        p = self.arc.instrument(ptype, data, ts)
        info.update(type=ptype, ts=ts)
        return self._track(p, info)

    def other(self, ptype=9):
        return self.instrument(ptype, bytes(6))

    def science(self, start_bin, nbins, marker=0, ts=None):
        counts = bytes(self.rng.randrange(256) for _ in range(nbins)) if not self.light \
            else self.rng.randbytes(nbins)
        rf, dac, aux = (self.rng.randrange(4001) for _ in range(3))
        data = bytes([0, 0, 0, marker]) + be16(nbins + 9) + be16(start_bin + 1) + be16(rf) + be16(dac) \
            + be16(aux) + bytes([0]) + counts
        n = min(nbins, 100)
        return self.instrument(26, data, ts, start=start_bin & 0xFFFF, nbins=n, marker=marker,
                               total=0 if self.light else sum(counts[:n]),
                               peak=0 if self.light else max(list(counts[:n]) + [0]))

    def status(self, ts=None, set_dac=None, reg_dac=None, bin_time=500, bin_count=300, pauses=None,
               special=0xFFFFFFFF, phase=4, raw_scan=None):
        reg = list(reg_dac) if reg_dac else [self.rng.randrange(256) for _ in range(8)] + \
            [self.rng.randrange(4096) for _ in range(5)] + [self.rng.randrange(65536), 0,
                                                             self.rng.randrange(65536)]
        st = list(set_dac) if set_dac else [self.rng.randrange(256) for _ in range(8)] + \
            [self.rng.randrange(4096) for _ in range(5)] + [self.rng.randrange(65536), 0,
                                                             self.rng.randrange(65536)]
        pz = list(pauses) if pauses else [self.rng.randrange(1, 200) for _ in range(8)]
        data = bytearray(STATUS_LEN)

        def put(item, v):
            off, n = STATUS_ITEMS[item][1], STATUS_ITEMS[item][2]
            data[off:off + n] = (v & ((1 << (8 * n)) - 1)).to_bytes(n, "big")

        vals = {200: self.rng.randrange(1 << 32), 201: self.rng.randrange(65536), 202: self.rng.randrange(65536),
                203: self.rng.randrange(256), 204: bin_count, 205: self.rng.randrange(65536),
                206: self.rng.randrange(65536), 245: bin_time, 246: 1, 247: 2, 248: 3, 249: 7, 250: 9,
                251: phase, 252: special, 253: self.rng.randrange(1 << 31), 254: 8, 255: 6, 256: bin_count,
                356: 321}
        if raw_scan is not None:
            vals[253] = raw_scan
        for k in range(8):
            vals[237 + k] = pz[k]
        for item, v in vals.items():
            put(item, v)

        def block(base, raw):
            for i in range(8):
                data[base + i] = raw[i]
            for i in range(8, 13):
                # the high nibble carries noise the reader masks off
                data[base + 8 + 2 * (i - 8)] = (raw[i] >> 8) | 0xA0
                data[base + 9 + 2 * (i - 8)] = raw[i] & 0xFF
            data[base + 18:base + 20] = be16(raw[13])
            data[base + 20:base + 22] = be16(raw[15])

        block(REG_BLOCK, reg)
        block(SET_BLOCK, st)
        info = {}
        if not self.light:
            info = {"raw": vals, "regRaw": reg, "setRaw": st,
                    "regDac": [dac_value(i, reg[i]) if i != 14 else 0.0 for i in range(16)],
                    "setDac": [dac_value(i, st[i]) if i != 14 else 0.0 for i in range(16)],
                    "pause": [sci(237 + k, pz[k]) for k in range(8)], "binTime": sci(245, bin_time),
                    "binCountReg": bin_count}
        return self.instrument(25, bytes(data), ts, **info)

    def summed(self, ptype, n, segments, bins, ts=None):
        data = self.arc.summed_bulk(ptype, 0 if ptype == 28 else 1, n, segments, bins)
        return self.instrument(ptype, data, ts, n=n, nbins=bins & 0xFFFF)

    def sequence(self, cmds, garbage=b"", split=None, new=True, ts=None):
        """A sequence of commands [(id, args)], garbage between commands, split into packets
        at the stream offsets in `split`; returns the packets."""
        stream = b""
        for i, (cid, args) in enumerate(cmds):
            if i:
                stream += garbage
            stream += command(cid, args)
        if split == "random":
            split = [self.rng.randrange(1, len(stream))]
        cuts = [0] + list(split or []) + [len(stream)]
        out = []
        address = 0 if new else 0x10
        for k in range(len(cuts) - 1):
            part = stream[cuts[k]:cuts[k + 1]]
            addr = address if k == 0 else 0x100 + cuts[k]
            data = bytes([0xFA, 0xF3, 0x20, 0x40]) + be16(3 + len(part)) + addr.to_bytes(3, "big") + part
            out.append(self.instrument(23, data, ts if k == 0 else None, new=(addr == 0),
                                       cmds=cmds if k == 0 else None,
                                       sss=any(c[0] == SEND_SCAN_STATUS for c in cmds)))
        return out

    # ---- the model ----
    def model(self, limit=None):
        """The scans the cache stores from the first `limit` packets."""
        packets = self.info[:limit] if limit is not None else self.info
        rel0 = self.info[0]["ts"]
        scans, cur, non_scan = [], None, 0
        pending, seqs = [], []
        latest = {14: -1, 15: -1, 16: -1, 22: -1}

        def bins_of(s):
            return sum(s["seg_bins"]) & 0xFFFF if s else 0

        def new_scan():
            return {"packets": [], "type": 26, "statuses": [], "n": 1, "seg_bins": [], "first_ts": None,
                    "starts": [], "total": 0, "peak": 0}

        def store(s):
            s["sebHk"] = latest[22]
            s["laserPulses"] = latest[15]
            latest[15] = -1
            s["laserStatus"] = latest[16]
            s["time"] = (s["first_ts"] - rel0) * 1e-4 if s["first_ts"] is not None else 0.0
            g = latest[14]
            s["gcHk"] = g if g >= 0 and s["time"] - (packets[g]["ts"] - rel0) * 1e-4 < 2.0 else -1
            s["seqs"] = list(seqs)
            scans.append(s)

        for i, p in enumerate(packets):
            t = p["type"]
            if t in latest:
                latest[t] = i
            elif t == 23:
                if p["new"] and seqs and packets[seqs[-1]]["sss"]:
                    seqs = []
                if p["new"] or not seqs:
                    seqs.append(i)
            elif t == 25:
                non_scan = 0
                pending.append(i)
                pending = pending[-63:]
                if not scans:
                    continue
                last = scans[-1]
                if len(last["statuses"]) == last["n"]:
                    continue
                first = last["first_ts"] * 1e-4 if last["first_ts"] is not None else 0.0
                dt = first - p["ts"] * 1e-4
                if not dt <= 0:
                    continue
                if last["type"] != 27:
                    if dt >= -2.0:
                        last["statuses"].append(i)
                elif i - last["packets"][0] <= 14:
                    last["statuses"].append(i)
            elif t == 26:
                non_scan = 0
                if cur is None:
                    cur = new_scan()
                refused = bool(cur["starts"]) and p["start"] < cur["starts"][-1]
                if refused:
                    store(cur)
                    cur = new_scan()
                cur["packets"].append(i)
                cur["starts"].append(p["start"])
                cur["seg_bins"].append(p["nbins"])
                cur["total"] += p["total"]
                cur["peak"] = max(cur["peak"], p["peak"])
                if cur["first_ts"] is None:
                    cur["first_ts"] = p["ts"]
                if not refused and p["marker"] == 0x86:
                    store(cur)
                    cur = None
            elif t in (27, 28):
                non_scan = 0
                if pending and p["ts"] * 1e-4 - packets[pending[-1]]["ts"] * 1e-4 > 1.0:
                    pending = []
                s = new_scan()
                # the newest n of the pending statuses, all of them when fewer are pending
                s.update(type=t, n=p["n"], packets=[i], first_ts=p["ts"], seg_bins=[p["nbins"]],
                         statuses=pending[max(len(pending) - p["n"], 0):] if p["n"] else [])
                store(s)
                pending = []
            else:
                non_scan += 1
                b = bins_of(cur)
                if cur is None or not cur["seg_bins"]:
                    end = False
                elif not scans:
                    end = non_scan > 50 if b > 19900 else (non_scan >= 101 and b > 1900)
                else:
                    end = non_scan >= 21 and b == bins_of(scans[-1])
                if end:
                    store(cur)
                    cur = None
                    non_scan = 0
        return scans

    def expected(self, with_modes=True):
        scans = self.model()
        out = []
        for s in scans:
            e = {"packets": s["packets"], "type": s["type"], "statuses": s["statuses"], "numScans": s["n"],
                 "sebHk": s["sebHk"], "laserPulses": s["laserPulses"], "laserStatus": s["laserStatus"],
                 "gcHk": s["gcHk"], "bins": sum(s["seg_bins"]) & 0xFFFF, "sequences": s["seqs"],
                 "time": s["time"]}
            if with_modes and not self.light:
                e["total"] = s["total"]
                e["peak"] = s["peak"]
                last = self.info[s["statuses"][-1]] if s["statuses"] else None
                e["ionSource"] = 1 if s["gcHk"] >= 0 else 2 if s["laserPulses"] >= 0 else 0
                if s["sebHk"] < 0:
                    mode = 0
                elif self.info[s["sebHk"]]["filA"] or self.info[s["sebHk"]]["filB"]:
                    mode = 1
                elif s["type"] != 27:
                    mode = 3
                else:
                    end = last["setDac"][13] if last else None
                    mode = 2 if end is not None and end <= 100.0 else 3 if end is not None else None
                if mode is not None:
                    e["mode"] = mode
                seq_cmds = [self.info[q]["cmds"] for q in s["seqs"]]
                ea, eb = em_on_times(seq_cmds, last, s["n"], sum(s["seg_bins"]) & 0xFFFF)
                e["emA"], e["emB"] = ea, eb
            out.append(e)
        return out

    def seb_hk(self, fil_a, fil_b):
        data = bytes(4) + be32(1234) + bytes([fil_a, fil_b]) + be16(100) + be16(200) + be16(300)
        return self.instrument(22, data, filA=fil_a > 0, filB=fil_b > 0)

    def write(self, out, name):
        d = os.path.join(out, name)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "tm.tlm"), "wb") as f:
            f.write(self.arc.bytes)
        meta = {"gse": {"version": 3, "mission": "kora", "tid": 1, "tid_dir": name, "tmfile_name": "tm.tlm"}}
        with open(os.path.join(d, "tm.meta"), "w") as f:
            json.dump(meta, f)


# ---- archives ----------------------------------------------------------------------------
def typed_scan(a, starts, nbins=100, marker_last=True):
    for k, s in enumerate(starts):
        a.science(s, nbins, 0x86 if marker_last and k == len(starts) - 1 else 0)


def mixed(a, count, rng):
    """Random scans and housekeeping until `count` packets."""
    while len(a.info) < count:
        r = rng.random()
        if r < 0.06:
            a.seb_hk(rng.choice([0, 0, 1]), rng.choice([0, 0, 0, 1]))
        elif r < 0.09:
            a.instrument(15, bytes(22))
        elif r < 0.11:
            a.instrument(16, bytes(6))
        elif r < 0.14:
            a.instrument(14, bytes(8))
        elif r < 0.17:
            cmds = [(SET_DAC_IMM, bytes([rng.choice([0, 1, 2])]) + be16(rng.choice([10, 14, 15, 200]))),
                    (PAUSE_IMM, be16(rng.randrange(1, 50))), (PAUSE, bytes([rng.randrange(10)])),
                    (RAMP, b""), (SET_DAC, bytes([rng.choice([0, 1, 20])]))]
            if rng.random() < 0.3:
                cmds.append((SEND_SCAN_STATUS, b""))
            a.sequence(cmds, garbage=b"\x00\x11", split="random")
        elif r < 0.22:
            a.summed(rng.choice([27, 27, 28]), rng.randint(1, 4), 2, 150)
            for _ in range(rng.randint(0, 3)):
                a.status(set_dac=[rng.choice([14, 15, 200])] * 13 + [rng.choice([5, 10, 20]), 0, 7])
        elif r < 0.28:
            for _ in range(rng.randint(0, 25)):
                a.other(9)
        else:
            n = rng.randint(1, 6)
            start = rng.randint(0, 3) * 10
            typed_scan(a, [start + 100 * k for k in range(n)], rng.randint(20, 100), rng.random() < 0.6)
            for _ in range(rng.randint(0, 2)):
                a.status(set_dac=[rng.choice([14, 15, 200])] * 13 + [rng.randrange(65536), 0, 7])


def main_archive(rng):
    a = ScanArchive(rng)
    a.seb_hk(0, 0)
    # A sequence split inside a command with garbage between commands: EM_A on, 5 ms,
    # off, 7 ms, on again, 3 ms -> EM_A on for 3 ms a scan.
    a.sequence([(SET_DAC_IMM, bytes([0]) + be16(14)), (PAUSE_IMM, be16(5)), (SET_DAC_IMM, bytes([0]) + be16(200)),
                (PAUSE_IMM, be16(7)), (SET_DAC_IMM, bytes([0]) + be16(14)), (PAUSE_IMM, be16(3))],
               garbage=b"\x00\xfa\xf3\x00\x11", split=[5, 20, 31])
    typed_scan(a, [0, 100, 200])                      # closed by its marker
    a.status(set_dac=[14, 200] + [0] * 14)            # attaches to it
    a.instrument(15, bytes(22))                        # laser pulses: the next scan only
    typed_scan(a, [0, 100, 200], marker_last=False)   # closed by the restart below
    typed_scan(a, [0, 50, 50, 100])                   # equal start bins join
    a.instrument(14, bytes(8))                         # GC housekeeping, paired while under 2 s
    a.sequence([(SEND_SCAN_STATUS, b""), (PAUSE_IMM, be16(9))])
    a.seb_hk(0, 0)
    # A summed dark scan: the pending status is over 1 s old and dropped; the two after it
    # attach, a third finds the scan full.
    a.status(set_dac=[15, 15] + [0] * 11 + [5, 0, 0])
    a.summed(27, 2, 2, 150, ts=a.arc.ts + 12000)
    a.status(set_dac=[14, 14] + [0] * 11 + [8, 0, 0])
    a.status(set_dac=[14, 15] + [0] * 11 + [9, 0, 0])
    a.status(set_dac=[15, 15] + [0] * 11 + [20000, 0, 0])
    # A summed scan taking the newest two of three pending statuses.
    for k in range(3):
        a.status(set_dac=[14, 14] + [0] * 11 + [k, 0, 0])
    a.summed(27, 2, 2, 150)
    a.sequence([(SET_DAC_IMM, bytes([1]) + be16(10)), (PAUSE, bytes([2])), (RAMP, b""), (RAMP_IMM, be16(40)),
                (SET_DAC, bytes([0])), (PAUSE, bytes([9])), (SET_DAC, bytes([40]))], garbage=b"\x13")
    a.summed(27, 1, 2, 150)                            # no statuses pending: mode from its ramp
    a.seb_hk(1, 0)
    a.summed(28, 3, 2, 120)
    typed_scan(a, [10, 110])
    # A status 3 s after: never attached.
    ts = a.arc.ts
    a.status(ts=ts + 30000)
    mixed(a, 400, rng)
    return a


def run_archive(rng, first_bins, runs, second=None, tail=0):
    """Scans and runs of non-scan packets for the end-of-scan rule: `first_bins` bins in
    segments of 100 (the last short), then each run; `second` a scan before the runs."""
    a = ScanArchive(rng)
    if second is not None:
        typed_scan(a, [100 * k for k in range((second + 99) // 100)])
    left, start = first_bins, 0
    while left > 0:
        n = min(100, left)
        a.science(start, n)
        start += 100
        left -= n
    for r in runs:
        for _ in range(r):
            a.other()
        a.status()  # ends the run
    for _ in range(tail):
        a.other()
    return a


def status_window(rng):
    """Statuses 2.0 s and 2.001 s after a scan's first segment, and one before it."""
    a = ScanArchive(rng)
    out = []
    for after in (20000, 20010, -10):
        first = a.arc.ts + 1000
        a.science(0, 100, ts=first)
        a.science(100, 100, 0x86)
        a.status(ts=first + after if after > 0 else first + after)
        out.append(after)
    return a


def bench_archive(rng, packets=300000):
    a = ScanArchive(rng, light=True)
    a.seb_hk(0, 0)
    while len(a.info) < packets:
        # A scan of 60 segments, two statuses, housekeeping and other packets: 100 packets a scan.
        typed_scan(a, [100 * k for k in range(60)], 100, True)
        for _ in range(2):
            a.status()
        for k in range(18):
            a.seb_hk(0, 0)
            a.instrument(14, bytes(8))
        a.other(9)
        a.other(9)
    return a


def write_seb_cmds(out):
    d = os.path.join(out, "viewerConfigs")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seb_cmds.json"), "w") as f:
        json.dump(SEB_CMDS, f, indent=1)


def status_expected(info):
    raw = info["raw"]
    return {"value200": raw[200], "value201": raw[201], "rfFreqHz": sci(356, raw[356]),
            "rawRfAmpMon": raw[202], "rfAmpMon": sci(202, raw[202]), "counterSel": raw[203],
            "binCountReg": raw[204], "rfStepReg": sci(205, raw[205]), "auxStepReg": sci(206, raw[206]),
            "regDacRaw": [v if i != 14 else 0 for i, v in enumerate(info["regRaw"])],
            "setDacRaw": [v if i != 14 else 0 for i, v in enumerate(info["setRaw"])],
            "regDacValue": info["regDac"], "setDacValue": info["setDac"], "pauseTimesMs": info["pause"],
            "binTimeReadback": info["binTime"], "value246": raw[246], "value247": raw[247],
            "value248": raw[248], "value249": sci(249, raw[249]), "value250": sci(250, raw[250]),
            "phaseCycleRdbk": raw[251], "twoOverPhaseCycle": 2.0 / raw[251] if raw[251] else 0.0,
            "binCountSet": raw[256], "rfStepSet": sci(255, raw[255]), "auxStepSet": sci(254, raw[254]),
            # signed 32-bit: 0xFFFFFFFF reads -1
            "specialScanId": raw[252] - (1 << 32) if raw[252] >= 1 << 31 else raw[252],
            "rawScanValue": raw[253]}


def archive_entry(a, with_modes=True):
    e = {"folder": None, "packets": len(a.info), "offsets": a.offsets + [len(a.arc.bytes)],
         "scans": a.expected(with_modes)}
    if not a.light:
        e["statuses"] = {str(i): status_expected(p) for i, p in enumerate(a.info) if p["type"] == 25}
    return e


FUZZ_TYPES = [9, 14, 15, 16, 22, 23, 24, 25, 26, 27, 28, 26, 25, 23, 26, 27]


def fuzz_records(a, first=0, count=None):
    """The archive's packets as fuzz_kora_scans input: selector, 16-bit length, data."""
    out = bytearray()
    end = len(a.info) if count is None else min(len(a.info), first + count)
    for k in range(first, end):
        t = a.info[k]["type"]
        if t not in FUZZ_TYPES:
            continue
        off = a.offsets[k]
        n = (a.arc.bytes[off + 2] << 8) | a.arc.bytes[off + 3]
        step = 1 if t in (25, 27) else 0  # statuses and summed packets 0.15 s apart
        out += bytes([(step << 4) | FUZZ_TYPES.index(t)]) + be16(n) + a.arc.bytes[off + 8:off + 8 + n]
    return bytes(out)


def write_fuzz_corpus(folder, rng):
    os.makedirs(folder, exist_ok=True)
    files = {"main_head": fuzz_records(main_archive(rng), 0, 40),
             "phantom": fuzz_records(phantom_archive(rng)),
             "runs": fuzz_records(run_archive(rng, 300, [21], 300)),
             "short_packets": bytes([0x08, 0, 2, 0, 0, 0x07, 0, 0, 0x05, 0, 1, 0, 0x09, 0, 3, 0, 1, 0])}
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def phantom_archive(rng):
    """A stored scan whose 16-bit bin total is 0, then runs of 21: no empty scan is stored,
    and the laser pulses go to the next real scan."""
    ph = ScanArchive(rng)
    typed_scan(ph, [0, 5], nbins=0)
    for _ in range(45):
        ph.other()
    ph.instrument(15, bytes(22))
    for _ in range(22):
        ph.other()
    typed_scan(ph, [0, 100])
    return ph


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--fuzz-corpus", action="store_true", help="write fuzz_kora_scans inputs to OUT instead")
    ap.add_argument("--bench", action="store_true")
    ap.add_argument("--seed", type=int, default=26)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    if args.fuzz_corpus:
        write_fuzz_corpus(args.out, rng)
        return
    install_definitions()
    os.makedirs(args.out, exist_ok=True)
    dac = gk.write_definitions(args.out)
    write_seb_cmds(args.out)
    expected = {"dac": dac, "archives": {}}

    def add(name, a, with_modes=True):
        a.write(args.out, name)
        e = archive_entry(a, with_modes)
        e["folder"] = name
        expected["archives"][name] = e

    add("main", main_archive(rng))
    cut = ScanArchive(rng)
    cut.seb_hk(0, 0)
    mixed(cut, 500, rng)
    cut.info, cut.offsets = cut.info, cut.offsets
    add("cut", cut)
    # The run rule: before any stored scan, 1900/1901 bins with runs of 100/101, 19900/19901
    # bins with 50/51; after a stored scan of 300 bins, runs of 20/21.
    runs = {"run_1900_101": (1900, [101]), "run_1901_100": (1901, [100]), "run_1901_101": (1901, [101]),
            "run_19900_51": (19900, [51, 101]), "run_19901_50": (19901, [50]), "run_19901_51": (19901, [51]),
            "run_after_20": (300, [20], 300), "run_after_21": (300, [21], 300),
            "run_after_21_other": (200, [21], 300)}
    add("status_window", status_window(rng))
    # A run that the archive ends in: a second cache or a reload must not continue it.
    add("run_tail", run_archive(rng, 300, [], 300, tail=21))
    add("phantom", phantom_archive(rng))
    # 70 statuses 0.1 s apart, then a summed packet expecting 63: it takes the newest 63.
    # Then a summed packet expecting 3: a status 14 archive indexes after it attaches,
    # one 15 after does not.
    pend = ScanArchive(rng)
    for _ in range(70):
        pend.status(ts=pend.arc.ts + 1000)
    pend.summed(27, 63, 2, 150, ts=pend.arc.ts + 1000)
    pend.summed(27, 3, 2, 150, ts=pend.arc.ts + 100)
    for _ in range(13):
        pend.other()
    pend.status()
    pend.status()
    add("pending", pend)
    # GC housekeeping 1.999 s and 2.001 s before a scan's first segment, and one after it;
    # laser pulses before two scans go to the first only.
    gc = ScanArchive(rng)
    for before in (19990, 20010):
        g = gc.instrument(14, bytes(8))
        gc.science(0, 100, 0x86, ts=g["ts"] + before)
    gc.instrument(15, bytes(22))
    gc.science(0, 100, ts=gc.arc.ts + 100)
    gc.instrument(14, bytes(8))
    gc.science(100, 100, 0x86)
    gc.science(0, 100, 0x86)
    add("gc_window", gc)
    # A continuation sequence packet with no pending sequence starts one.
    c = ScanArchive(rng)
    c.sequence([(PAUSE_IMM, be16(4))], new=False)
    typed_scan(c, [0, 100])
    add("continuation", c)
    for name, spec in runs.items():
        add(name, run_archive(rng, spec[0], spec[1], spec[2] if len(spec) > 2 else None))
    # A segment starting below the open scan's last one and carrying 0x86: it starts a new
    # scan that stays open (the marker is not examined), closed by the next marker.
    mr = ScanArchive(rng)
    typed_scan(mr, [0, 100, 200], marker_last=False)
    mr.science(0, 100, 0x86)
    mr.science(100, 100, 0x86)
    add("marker_restart", mr)
    # Summed packets 0.9999 s and 1.0001 s after the last pending status: the first takes
    # it, the second finds it stale.
    st = ScanArchive(rng)
    for gap in (9999, 10001):
        s0 = st.status()
        st.summed(27, 1, 2, 150, ts=s0["ts"] + gap)
    add("stale_edge", st)
    # Type-26 packets while only summed packets are handled: read a cache up to the open
    # scan with every type, then the rest with types 27 and 28 only. The skipped packets
    # neither count in the run of 21 non-scan packets nor end it, so the open scan is
    # stored at the 21st other packet, after the laser pulses packet.
    sk = ScanArchive(rng)
    typed_scan(sk, [0, 100, 200])
    typed_scan(sk, [0, 100, 200], marker_last=False)
    open_scan = list(range(len(sk.info) - 3, len(sk.info)))
    cut_at = len(sk.info)
    for _ in range(10):
        sk.other()
    sk.science(300, 100)
    for _ in range(10):
        sk.other()
    sk.science(400, 100)
    sk.instrument(15, bytes(22))
    laser_index = len(sk.info) - 1
    sk.other()
    sk.status()
    add("skip26", sk)
    expected["archives"]["skip26"]["skipped26"] = {"cutBefore": cut_at, "openScan": open_scan,
                                                   "laserPulses": laser_index}
    if args.bench:
        b = bench_archive(rng)
        add("bench", b, with_modes=False)
        expected["archives"]["bench"]["offsets"] = []
    with open(os.path.join(args.out, "expected.json"), "w") as f:
        json.dump(expected, f, indent=1)


if __name__ == "__main__":
    main()
