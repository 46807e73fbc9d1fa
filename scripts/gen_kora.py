#!/usr/bin/python3
"""Writes first-instrument definitions and archives, with what a reader must find.

    gen_kora.py OUT_DIR [--packets N] [--seed S]

Files written to OUT_DIR:
  vek.INI                       configuration (point INIVEK at it); group KORA
  defs/KOR_TM_Database.txt      text database; custom-decoder and generic offsets
                                count from the first data byte (the start-up adds 8)
  defs/tm_packet_types.txt      packet types: 10/45/46/74 ground-created, type 8 without limits
  defs/KOR_DAC_Conversions.txt  DAC table with comments and signed 12-bit rows
  2021-03-14-01.30.00_T101/tm.tlm (and tm.meta)  archive A: ground packets before the
                                first time packet, time packets of types 2 and 7, the three
                                reset signs, ending while a reset is pending
  2021-07-04-09.15.00_T102/tm.tlm (and tm.meta)  archive B: no time packet
  bulk/tm.tlm                   N packets of the same mix, only with --packets
  expected.json                 per archive: per packet its type and times, isSynced,
                                correctedCount, ip_; the records; the summed scans with
                                their layout, ion counts, TICs, corrected TICs, RF ends and
                                transform samples for the calibration it defines

Times follow from the generator's own tick zeros: the instrument's clock is
made here, so every packet's true time is known. Packets are placed by the
instrument's rules: before the first time packet on the folder's date-time
(America/New_York), after it on the tick zero of the latest time packet, 10 s
after the latest known time while a reset is unresolved, and ground packets
of types 10/74, 45 and 46 that came before synchronisation 1 s apart counting
back from the first such packet after it. The output depends only on N and the seed.
"""
import argparse
import calendar
import datetime
import itertools
import json
import math
import os
import random
import re
import struct
import zoneinfo

EPOCH = calendar.timegm((2000, 1, 1, 12, 0, 0))  # instrument epoch in Unix seconds
GSE_TYPES = {10, 45, 46, 74}
BOOT_RE = re.compile(".*KORA.*CDH.*Boot.*Loader.*", re.DOTALL)

COLUMNS = ["SUB_SYSTEM", "NAME", "DESCRIPTION", "DATA_ID", "PACKET_TYPE", "DECODE_TYPE", "DECODE_ID1",
           "DECODE_ID2", "DECODE_ID3", "DECODE_ID4", "RAW_FMT", "ENG_FMT", "ENG_EQ_TYPE", "ENG_K1", "ENG_K2",
           "SCI_UNITS", "SCI_FMT", "SCI_EQ_TYPE", "SCI_FROM_ENG", "SCI_K1", "SCI_K2", "SCI_K3", "SCI_K4",
           "SCI_K5", "SCI_K6", "SCI_K7", "SCI_K8", "ARRAY_LENGTH"]

# id: (name, packet type, data offset, bytes, array length, sci a0, sci a1, units)
ROWS = {
    550: ("TIME_SECS", 2, 4, 4, 1, 0, 1, "s"), 551: ("TIME_SUBSECS", 2, 8, 4, 1, 0, 1, ""),
    552: ("TIME_TICKS", 2, 12, 4, 1, 0, 1, ""),
    526: ("DHK_SECS", 7, 4, 4, 1, 0, 1, "s"), 527: ("DHK_SUBSECS", 7, 8, 4, 1, 0, 1, ""),  # an IEEE single
    528: ("DHK_TICKS", 7, 12, 4, 1, 0, 1, ""),
    86: ("SEB_IP", 22, 4, 4, 1, 0, 1, ""), 105: ("FIL_A_ON", 22, 8, 1, 1, 0, 1, ""),
    102: ("FIL_B_ON", 22, 9, 1, 1, 0, 1, ""), 17: ("EMON_A", 22, 10, 2, 2, 1.0, 0.5, "V"),
    18: ("EMON_B", 22, 14, 2, 1, 0.0, 2.0, "uA"),
    1087: ("PULSE_E", 15, 4, 2, 5, 0, 1, ""), 1089: ("PULSE_AVG", 15, 14, 2, 1, 0, 1, ""),
    1090: ("PULSE_1090", 15, 16, 2, 1, 0, 1, ""), 1091: ("PULSE_1091", 15, 18, 2, 1, 0, 1, ""),
    1092: ("PULSE_SD", 15, 20, 2, 1, 0, 1, ""),
    1093: ("LASER_STATUS", 16, 4, 2, 1, -1.0, 0.125, ""),
    351: ("RF_AMP", 26, 8, 2, 1, 0.5, 0.25, "V"), 352: ("RF_AMP_DAC", 26, 10, 2, 1, 0.0, 1.0, ""),
    353: ("AUX_AMP_DAC", 26, 12, 2, 1, -2.0, 0.5, ""),
}

PACKET_TYPES = [  # id, name, ground-created, min, max (data length)
    (2, "TIME", "false", 16, 16), (7, "DIGITAL_HK", "false", 16, 64), (8, "TEXT", "false", -1, -1),
    (9, "MARKER", "false", 0, 64), (10, "GSE_STATUS", "true", 0, 64), (14, "GC_HK", "false", 0, 64),
    (15, "LASER_PULSES", "false", 0, 64), (16, "LASER_STATUS", "false", 0, 64),
    (22, "SEB_HK", "false", 0, 64), (25, "SCAN_STATUS", "false", 0, 128),
    (26, "SCIENCE", "false", 0, 115), (27, "SUMMED_16", "false", 0, 8192), (28, "SUMMED_8", "false", 0, 8192),
    (45, "GSE_CMD", "t", 0, 64), (46, "GSE_ECHO", "true", 0, 64), (74, "GSE_LOG", "true", 0, 64),
]

DAC_ROWS = [  # id, number, name, bits, mask, signed, offset, scale
    (0, 0, "EM_A", 8, "0xFF", 0, 0.0, 1.0), (2, 2, "SRC_A_BIAS", 8, "0xFF", 0, 10.0, 2.0),
    (6, 6, "SRC_A_FOCUS_A", 8, "0xFF", 0, 0.0, 4.0), (8, 8, "LENS_1", 12, "0x0FFF", 1, 0.0, 8.0),
    (13, 13, "RF_AMP_DAC", 16, "0xFFFF", 0, 0.0, 1.0), (14, 14, "Unknown", 16, "0xFFFF", 0, 0.0, 0.0),
    (15, 15, "AUX_AMP_DAC", 12, "07777", 1, -16.0, 0.5),
]

# Mass calibration of the transform samples: RF DAC value to amu.
MASS_CAL = {"control_mode": 2, "phase_cycle": -1, "a0": 1.5, "a1": 0.0625}


def fletcher32(data):
    s1 = s2 = 0xFFFF
    n = len(data) // 2
    words = struct.unpack(">%dH" % n, bytes(data[:2 * n]))
    # Blocks of 360 words as the folding schedule has them; within a block a
    # word adds itself to s1 and each running s1 to s2, i.e. s2 gains
    # k * s1 plus the block's prefix sums.
    for b in range(0, n, 360):
        block = words[b:b + 360]
        s2 += len(block) * s1 + sum(itertools.accumulate(block))
        s1 += sum(block)
        s1 = (s1 >> 16) + (s1 & 0xFFFF)
        s2 = (s2 >> 16) + (s2 & 0xFFFF)
    if len(data) & 1:
        s1 += data[-1] << 8
        s2 += s1
    s1 = (s1 >> 16) + (s1 & 0xFFFF)
    s2 = (s2 >> 16) + (s2 & 0xFFFF)
    # One fold can leave 17 bits; the stored word keeps the low 32 bits.
    return ((s2 << 16) | s1) & 0xFFFFFFFF


def tom(first_byte, seq, data, ts):
    head = bytes([first_byte, seq & 0xFF]) + struct.pack(">HI", len(data), ts)
    body = head + bytes(data)
    return body + struct.pack(">I", fletcher32(body))


def be16(v):
    return struct.pack(">H", v & 0xFFFF)


def be32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def poly(row_id, raw):
    r = ROWS[row_id]
    return r[5] + r[6] * raw


class Archive:
    """Builds one archive and the times the reader must give its packets."""

    def __init__(self, rng, fallback):
        self.rng = rng
        self.fallback = fallback
        self.bytes = bytearray()
        self.packets = []  # dicts: index, type, ts, unix, tick0 (+ record fields)
        self.tick0 = None  # true tick zero of the instrument's counter (Unix s); None until set
        self.ts = 1000
        self.synced = False
        self.reset_pending = True
        self.largest = fallback
        self.t0_index = None
        self.corrected = 0
        self.pre_sync = {10: [], 45: [], 46: []}
        self.needs_back = {10: True, 45: True, 46: True}
        self.awaiting = []
        self.gse_awaiting = []
        self.last_type7_no_time = False
        self.last_seen = {}
        self.last_tick0 = None
        self.ip = None
        self.seq = 0
        # Only the bytes and times are wanted (the benchmark's archive): no
        # records or expected scans, and bins drawn in bulk.
        self.bulk = False

    def emit(self, ptype, data, ts=None, first_byte=None):
        if ts is None:
            self.ts += self.rng.randint(50, 5000)
            ts = self.ts
        self.bytes += tom(first_byte if first_byte is not None else ptype, self.seq, data, ts)
        self.seq += 1
        p = {"index": len(self.packets), "type": ptype, "ts": ts, "len": len(data)}
        self.packets.append(p)
        return p

    def put(self, p, tick0):
        p["tick0"] = tick0
        p["unix"] = tick0 + p["ts"] / 10000.0

    def record(self, p):
        self.largest = max(self.largest, p["unix"])

    # ---- packet kinds ----
    def time_fields(self, ts):
        """Seconds, sub-seconds and ticks the instrument reports for tick count ts."""
        t = self.tick0 + ts / 10000.0 - EPOCH
        secs = int(t)
        sub = int((t - secs) * 65536)
        return secs, sub, ts

    def time_packet(self, ptype):
        self.ts += self.rng.randint(50, 500)
        s, ss, t = self.time_fields(self.ts)
        sub = struct.pack(">f", float(ss)) if ptype == 7 else be32(ss)
        data = bytes(4) + be32(s) + sub + be32(t)
        p = self.emit(ptype, data, self.ts)
        tick0 = t / -10000.0 + (ss * 1.52587890625e-5 + s) + EPOCH
        self.on_time_packet(p, tick0)
        return p

    def on_time_packet(self, p, tick0):
        self.last_tick0 = tick0
        if self.t0_index is None:
            self.t0_index = p["index"]
        if p["type"] == 7:
            self.last_type7_no_time = False
        if not self.synced:
            self.synced = True
            self.put(p, tick0)
            self.largest = 0.0
            for q in self.packets:
                shift = tick0 - q["tick0"]
                q["tick0"] += shift
                q["unix"] += shift
                self.record(q)
            if len(self.packets) >= 2:
                t0 = self.packets[self.t0_index]
                for q in self.packets[:2]:
                    q["unix"], q["tick0"] = t0["unix"], t0["tick0"]
            self.reset_pending = False
            self.corrected += 1
        else:
            self.put(p, tick0)
            self.record(p)
            if self.reset_pending:
                for i in self.awaiting:
                    q = self.packets[i]
                    d = tick0 - q["tick0"]
                    q["tick0"] += d
                    q["unix"] += d
                    self.record(q)
                self.awaiting = []
                self.reset_pending = False
                self.corrected += 1
            if self.gse_awaiting:
                for i in self.gse_awaiting:
                    q = self.packets[i]
                    d = tick0 - q["tick0"]
                    q["tick0"] += d
                    q["unix"] += d
                    self.record(q)
                self.gse_awaiting = []
                self.corrected += 1
        self.last_seen[p["type"]] = p["ts"]

    def instrument(self, ptype, data, ts=None, reset=False):
        p = self.emit(ptype, data, ts)
        if self.t0_index is None:
            self.t0_index = p["index"]
        if ptype == 7:
            self.last_type7_no_time = True
        if not self.synced:
            self.put(p, self.fallback)
        else:
            backwards = self.last_seen.get(ptype, 0) > p["ts"]
            if (backwards or reset or ptype == 7) and not self.reset_pending:
                self.reset_pending = True
                self.last_seen = {}
            if self.reset_pending:
                self.put(p, self.largest + 10.0)
                self.awaiting.append(p["index"])
            else:
                self.put(p, self.last_tick0)
                self.record(p)
        self.last_seen[ptype] = p["ts"]
        return p

    def ground(self, ptype, data=bytes(8)):
        p = self.emit(ptype, data)
        if not self.synced:
            self.put(p, self.fallback)
            key = 10 if ptype in (10, 74) else ptype
            if key in self.pre_sync:
                self.pre_sync[key].append(p["index"])
        else:
            self.put(p, self.last_tick0)
            self.record(p)
            if (self.last_type7_no_time and self.t0_index is not None) or (self.reset_pending and ptype == 46):
                self.gse_awaiting.append(p["index"])
            if not self.reset_pending and ptype in self.needs_back and self.needs_back[ptype]:
                newest = p["unix"]
                for k, i in enumerate(reversed(self.pre_sync[ptype]), start=1):
                    q = self.packets[i]
                    d = q["unix"] - q["tick0"]
                    q["unix"] = newest - k * 1.0
                    q["tick0"] = q["unix"] - d
                self.needs_back[ptype] = False
                self.corrected += 1
        self.last_seen[ptype] = p["ts"]
        return p

    # ---- packets with records ----
    def science(self, start_bin, nbins, short=0):
        if self.bulk:
            rf, dac, aux = (self.rng.randrange(4001) for _ in range(3))
            data = bytes(4) + be16(nbins + 9) + be16(start_bin + 1) + be16(rf) + be16(dac) + be16(aux) \
                + self.rng.randbytes(1 + nbins)
            return self.instrument(26, data)
        rf, dac, aux = (self.rng.randint(0, 4000) for _ in range(3))
        counts = [self.rng.randint(0, 255) for _ in range(nbins)]
        data = bytes(4) + be16(nbins + 9) + be16(start_bin + 1) + be16(rf) + be16(dac) + be16(aux) \
            + bytes([self.rng.randint(0, 255)]) + bytes(counts)
        if short:
            data = data[:len(data) - short]
        p = self.instrument(26, data)
        n = (((data[4] << 8) | data[5]) - 9) & 0xFFFF
        n = 100 if n >= 100 else n
        got = [data[15 + i] if 15 + i < len(data) else 0 for i in range(n)]  # missing bins count 0
        p["record"] = {"startBin": start_bin & 0xFFFF, "numBins": n, "endBin": (start_bin + n) & 0xFFFF,
                       "rfAmp": poly(351, rf), "rfAmpDac": poly(352, dac), "auxAmpDac": poly(353, aux),
                       "totalCounts": float(sum(got)), "maxCount": float(max(got + [0]))}
        return p

    def seb_hk(self):
        ipraw = self.rng.randint(1, 3000000)
        fa, fb = self.rng.choice([0, 1]), self.rng.choice([0, 1])
        ea = [self.rng.randint(0, 60000) for _ in range(2)]
        eb = self.rng.randint(0, 60000)
        data = bytes(4) + be32(ipraw) + bytes([fa, fb]) + be16(ea[0]) + be16(ea[1]) + be16(eb)
        p = self.instrument(22, data)
        self.ip = ipraw / 1e7
        if self.bulk:
            return p
        p["record"] = {"ip": self.ip, "isFilAOn": fa > 0, "isFilBOn": fb > 0,
                       "emonA": [poly(17, v) for v in ea], "emonB": [poly(18, eb)], "emonAUnits": "V",
                       "emonBUnits": "uA"}
        return p

    def laser_pulses(self):
        vals = [self.rng.randint(0, 5000) for _ in range(9)]
        data = bytes(4) + b"".join(be16(v) for v in vals)
        p = self.instrument(15, data)
        p["record"] = {"pulseValues": [float(v) for v in vals[:5]], "pulseValuesSum": float(sum(vals[:5])),
                       "avgEnergy": float(vals[5]), "item1090Value": float(vals[6]),
                       "item1091Value": float(vals[7]), "sdEnergy": float(vals[8])}
        return p

    def laser_status(self):
        v = self.rng.randint(0, 5000)
        p = self.instrument(16, bytes(4) + be16(v))
        if self.bulk:
            return p
        p["record"] = {"statusValue": poly(1093, v)}
        return p

    def summed(self, ptype, version, n, segments, bins, short=0):
        """A summed scan packet; its expected scan goes into p['scan']."""
        if self.bulk:
            return self.instrument(ptype, self.summed_bulk(ptype, version, n, segments, bins))
        table = []
        starts = []
        for k in range(segments):
            start = 1 + 100 * k
            raw = [self.rng.randint(0, 4000) for _ in range(3)]
            table.append((start, raw))
            starts.append(start)
        tics = [self.rng.randint(0, 1 << 31) for _ in range(n)]
        mbcs = [self.rng.randint(0, 65535) for _ in range(n)]
        cfs = [struct.unpack(">f", struct.pack(">f", self.rng.uniform(0.5, 2.0)))[0] for _ in range(n)]
        v = version if ptype == 27 else 0
        data = bytearray(bytes([0, (version << 6) | n]) + be16(segments))
        for start, raw in table:
            data += be16(start) + b"".join(be16(x) for x in raw)
        if v == 1:
            for t in tics:
                data += be32(t)
        elif v in (2, 3):
            for t, m, c in zip(tics, mbcs, cfs):
                data += be32(t) + be16(m) + struct.pack(">f", c)
            if n % 2:
                data += bytes(2)
        width = 1 if ptype == 28 else 2
        counts = [self.rng.randint(0, 255 if width == 1 else 9000) for _ in range(bins)]
        for c in counts:
            data += bytes([c]) if width == 1 else be16(c)
        if short:
            data = data[:len(data) - short]
        p = self.instrument(ptype, bytes(data))
        p["scan"] = self.expected_scan(ptype, bytes(data), v, n, segments, tics, mbcs, cfs)
        return p

    def summed_bulk(self, ptype, version, n, segments, bins):
        """The bytes of a summed packet laid out as summed() does, with bins of 13 random bits."""
        rb = self.rng.randrange
        data = bytearray(bytes([0, (version << 6) | n]) + be16(segments))
        for k in range(segments):
            data += be16(1 + 100 * k) + be16(rb(4001)) + be16(rb(4001)) + be16(rb(4001))
        v = version if ptype == 27 else 0
        if v == 1:
            for _ in range(n):
                data += be32(rb(1 << 31))
        elif v in (2, 3):
            for _ in range(n):
                data += be32(rb(1 << 31)) + be16(rb(65536)) + struct.pack(">f", self.rng.uniform(0.5, 2.0))
            if n % 2:
                data += bytes(2)
        if ptype == 28:
            data += self.rng.randbytes(bins)
        else:
            counts = bytearray(self.rng.randbytes(2 * bins))
            counts[0::2] = bytes(b & 0x1F for b in counts[0::2])
            data += counts
        return bytes(data)

    def summed_raw(self, data):
        p = self.instrument(27, data)
        n = data[1] & 0x3F
        p["scan"] = self.expected_scan(27, data, data[1] >> 6, n, (data[2] << 8) | data[3], [0] * n, [0] * n,
                                       [0.0] * n)
        return p

    def expected_scan(self, ptype, data, v, n, segments, tics, mbcs, cfs):
        size = len(data)
        trailer = 4 * n if v == 1 else (10 * n + (2 if n % 2 else 0)) if v in (2, 3) else 0
        bin_start = 8 * segments + 4 + trailer
        r_bytes = size - bin_start
        width = 1 if ptype == 28 else 2
        present = min(segments, max(size - 4, 0) // 8)
        segs = []
        for k in range(present):
            e = 4 + 8 * k
            start = ((data[e] << 8) | data[e + 1]) - 1
            if r_bytes < 0:
                nb = 0
            else:
                r = (r_bytes & 0xFFFF) // width
                total = min(r, 100 * segments)
                nb = 100 if k < segments - 1 else (total % 100 or 100)
            pos = bin_start + k * 100 * width
            counts = []
            for j in range(nb):
                o = pos + j * width
                if o + width <= size:
                    c = data[o] if width == 1 else (data[o] << 8) | data[o + 1]
                else:
                    c = 0
                counts.append(float(c))
            raw = [(data[e + 2 + 2 * i] << 8) | data[e + 3 + 2 * i] for i in range(3)]
            segs.append({"startBin": start & 0xFFFF, "numBins": nb, "endBin": (start + nb) & 0xFFFF,
                         "rfAmp": poly(351, raw[0]), "rfAmpDac": poly(352, raw[1]),
                         "auxAmpDac": poly(353, raw[2]), "counts": counts})

        def whole(offset, length, i, stride):
            at = offset + i * stride
            return at + length <= size

        got_tics = [tics[i] for i in range(n) if v in (1, 2, 3) and whole(8 * segments + 4, 4, i, 4 if v == 1 else 10)]
        got_mbc = [mbcs[i] for i in range(n) if v in (2, 3) and whole(8 * segments + 8, 2, i, 10)]
        got_cf = [cfs[i] for i in range(n) if v in (2, 3) and whole(8 * segments + 10, 4, i, 10)]
        # Scan statuses handed to the scan: one more than it keeps.
        statuses = []
        for i in range(n + 1):
            statuses.append({"ionizationMs": self.rng.choice([0.5, 1.0, 2.0]),
                             "setDac2": self.rng.uniform(5, 50), "regDac6": self.rng.uniform(-80, -50),
                             "rfAmpMon": self.rng.uniform(100, 200), "setDac13": self.rng.uniform(1000, 3000),
                             "setDac15": self.rng.uniform(-10, 10), "binTimeUs": 250.0, "phaseCycle": 4,
                             "relativeTime": 10.0 * i})
        kept = statuses[len(statuses) - n:] if n else []
        total = sum(sum(s["counts"]) for s in segs)
        tic_list = got_tics if (ptype == 27 and got_tics) else \
            ([int(total)] if ptype != 27 or n == 1 else [])
        a, b, c, d = 100.0, 100.0, -68.0, -0.0992
        ctic = 0.0
        if kept:
            if v == 2:
                ctic = sum(f * t for f, t in zip(got_cf, tic_list)) if len(got_cf) == len(tic_list) else 0.0
            elif tic_list and len(tic_list) == len(kept):
                acc = 0.0
                for t, s in zip(tic_list, kept):
                    e = math.exp((s["regDac6"] - c) * d)
                    acc += t / (s["ionizationMs"] * s["setDac2"] * e)
                ctic = a * b * acc
        # RF ramp end and the mass transform at a few bins.
        last = kept[-1] if kept else None
        def ramp_end(key, status_key):
            if last:
                return last[status_key]
            if not segs:
                return 0.0
            if len(segs) == 1:
                return segs[0][key]
            lseg, pseg = segs[-1], segs[-2]
            slope = (lseg[key] - pseg[key]) / pseg["numBins"] if pseg["numBins"] else 0.0
            return lseg[key] + (lseg["numBins"] - 1) * slope

        rf_end = ramp_end("rfAmp", "rfAmpMon")
        dac_end = ramp_end("rfAmpDac", "setDac13")
        samples = []
        live = [s for s in segs if s["numBins"]]
        for s_i, s in enumerate(segs):
            if not s["numBins"]:
                continue
            nxt = segs[s_i + 1]["rfAmpDac"] if s_i + 1 < len(segs) else dac_end
            for frac in (0.0, 0.5):
                x = s["startBin"] + frac * s["numBins"]
                dac = s["rfAmpDac"] + (nxt - s["rfAmpDac"]) * frac
                samples.append([x, MASS_CAL["a0"] + MASS_CAL["a1"] * dac])
        return {"type": ptype, "version": v, "numScans": n, "segments": segs, "scanTics": got_tics,
                "mbcSics": got_mbc, "cFactors": got_cf, "statuses": statuses, "ticList": tic_list,
                "correctedTic": ctic, "rfAmpEnd": rf_end, "rfAmpDacEnd": dac_end,
                "massSamples": samples if live else []}


def text_packet(arc, text, reset_expected):
    data = text.encode("latin-1")
    p = arc.instrument(8, data, reset=reset_expected)
    visible = data.split(b"\0", 1)[0].decode("latin-1")
    assert bool(BOOT_RE.fullmatch(visible)) == reset_expected, text
    p["bootLoader"] = reset_expected
    return p


def archive_a(rng, fallback, extra):
    arc = Archive(rng, fallback)
    arc.tick0 = fallback - 86400.0 * 3 + 0.375  # the instrument's own clock
    for t in (10, 45, 46, 74):  # ground packets before the t0 packet and the first time packet
        arc.ground(t)
    arc.seb_hk()
    arc.science(0, 100)
    text_packet(arc, "KORA CDH Boot Loader (before sync)", True)
    arc.time_packet(2)
    arc.science(100, 100)
    arc.laser_pulses()
    arc.laser_status()
    arc.instrument(14, bytes(8))
    arc.ground(10)
    arc.ground(45)
    arc.ground(46)
    arc.summed(27, 0, 1, 2, 150)
    arc.summed(27, 1, 2, 3, 250)
    arc.summed(27, 2, 3, 3, 250)
    arc.summed(27, 3, 4, 2, 200)
    arc.summed(28, 0, 5, 2, 180)
    text_packet(arc, "just a message\nwith KORA and CDH but no boot", False)
    for _ in range(extra):
        rng.choice([lambda: arc.science(rng.randint(0, 900), rng.randint(1, 100)), arc.seb_hk,
                    arc.laser_pulses, arc.laser_status, lambda: arc.summed(27, 2, 2, 2, 200),
                    lambda: arc.ground(74)])()
    # Reset 1: the science counter runs backwards; then a type-7 time packet.
    arc.instrument(26, arc.science_bytes(0, 10), ts=5)
    arc.ts = 20
    arc.tick0 += 7200.0
    arc.seb_hk()
    arc.time_packet(7)
    # Reset 2: a boot-loader message, a ground echo during it, then a type-2 time packet.
    arc.tick0 += 3600.5
    arc.ts = 40
    text_packet(arc, "x\nKORA-CDH Boot\nLoader v2\0trailing", True)
    arc.ground(46)
    arc.laser_status()
    arc.time_packet(2)
    arc.science(200, 100)
    # Reset 3: a type-7 packet without time, ground packets after it; the archive ends pending.
    arc.instrument(7, bytes(16))
    arc.ground(45)
    arc.seb_hk()
    # Short packets with valid checksums, and a header whose top bit is set.
    arc.science(300, 100, short=40)
    arc.summed(27, 2, 3, 3, 250, short=700)
    arc.summed(27, 1, 3, 2, 150, short=180)
    arc.summed_raw(bytes([0, (1 << 6) | 3, 0xFF, 0xFF]) + bytes(range(30)))  # 65535 segments claimed
    arc.bytes += tom(0x80 | 26, 0, bytes(20), 99)  # rejected: type 154 is not listed
    arc.instrument(9, bytes(3))
    return arc


def science_bytes(self, start_bin, nbins):
    return bytes(4) + be16(nbins + 9) + be16(start_bin + 1) + bytes(7) + bytes(nbins)


Archive.science_bytes = science_bytes


def archive_b(rng, fallback):
    arc = Archive(rng, fallback)
    arc.tick0 = fallback
    arc.ground(10)
    arc.science(0, 50)
    arc.seb_hk()
    arc.ground(46)
    arc.laser_status()
    return arc


def folder_time(name):
    """The fallback t0 of a test folder: its date-time in America/New_York."""
    local = datetime.datetime.strptime(name[:19], "%Y-%m-%d-%H.%M.%S")
    return local.replace(tzinfo=zoneinfo.ZoneInfo("America/New_York")).timestamp()


def summary(arc):
    t0 = arc.packets[arc.t0_index]["unix"] if arc.t0_index is not None else arc.fallback
    out = []
    for p in arc.packets:
        q = {"index": p["index"], "type": p["type"], "unixTime": p["unix"], "relativeTime": p["unix"] - t0,
             "tick0": p["tick0"]}
        for k in ("record", "scan", "bootLoader"):
            if k in p:
                q[k] = p[k]
        out.append(q)
    return {"isSynced": arc.synced, "correctedCount": arc.corrected, "ip": arc.ip, "packets": out}


def write_archive(out, name, arc):
    d = os.path.join(out, name)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "tm.tlm"), "wb") as f:
        f.write(arc.bytes)
    meta = {"gse": {"version": 3, "mission": "kora", "tid": 1, "tid_dir": name, "tmfile_name": "tm.tlm"}}
    with open(os.path.join(d, "tm.meta"), "w") as f:
        json.dump(meta, f)


def write_definitions(out):
    defs = os.path.join(out, "defs")
    os.makedirs(defs, exist_ok=True)
    lines = ["\t".join(COLUMNS) + "\t$Revision: 77 $"]
    for rid, (name, ptype, off, n, arr, a0, a1, units) in sorted(ROWS.items()):
        cells = dict.fromkeys(COLUMNS, "")
        cells.update({"SUB_SYSTEM": "KOR", "NAME": name, "DESCRIPTION": name.lower(), "DATA_ID": str(rid),
                      "PACKET_TYPE": str(ptype), "DECODE_TYPE": "5" if rid == 527 else "3", "DECODE_ID1": str(off),
                      "DECODE_ID2": str(n), "DECODE_ID3": "0x%X" % ((1 << (8 * n)) - 1), "DECODE_ID4": "0",
                      "RAW_FMT": "%d", "ENG_FMT": "%g", "ENG_EQ_TYPE": "0", "ENG_K1": "0", "ENG_K2": "1",
                      "SCI_UNITS": units, "SCI_FMT": "%g", "SCI_EQ_TYPE": "1", "SCI_FROM_ENG": "N",
                      "SCI_K1": repr(float(a0)), "SCI_K2": repr(float(a1)), "ARRAY_LENGTH": str(arr)})
        for k in range(3, 9):
            cells["SCI_K%d" % k] = "0"
        lines.append("\t".join(cells[c] for c in COLUMNS))
    with open(os.path.join(defs, "KOR_TM_Database.txt"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(defs, "tm_packet_types.txt"), "w", newline="\n") as f:
        for t in PACKET_TYPES:
            f.write(",".join(str(x) for x in t) + "\n")
    with open(os.path.join(defs, "KOR_DAC_Conversions.txt"), "w", newline="\n") as f:
        f.write("# DAC conversions\n#id\tnum\tname\tbits\tmask\tsigned\toffset\tscale\n")
        for r in DAC_ROWS:
            f.write("\t".join(str(x) for x in r) + "\n")
    with open(os.path.join(out, "vek.INI"), "w", newline="\n") as f:
        f.write("[VEK]\ndefault_group=KORA\n[KORA]\n")
        for k in ("gse", "viewers_root", "data_root", "sequence_dir", "mcal_dir"):
            f.write("%s=%s\n" % (k, out))
        f.write("tm_definitions=%s\ntm_database=%s\ndac_file=%s\n" % (
            defs, os.path.join(defs, "KOR_TM_Database.txt"), os.path.join(defs, "KOR_DAC_Conversions.txt")))
    dac = []
    for r in DAC_ROWS:
        dac.append({"id": r[0], "name": r[2], "bits": r[3], "signed": bool(r[5]), "offset": r[6], "scale": r[7]})
    return dac


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--packets", type=int, default=0)
    ap.add_argument("--seed", type=int, default=14)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.out, exist_ok=True)
    dac = write_definitions(args.out)
    expected = {"epoch": EPOCH, "dac": dac, "massCal": MASS_CAL, "archives": {}}
    name_a = "2021-03-14-01.30.00_T101"  # the night New York's clocks went forward
    arc_a = archive_a(rng, folder_time(name_a), 8)
    write_archive(args.out, name_a, arc_a)
    expected["archives"]["A"] = dict(summary(arc_a), folder=name_a, fallback=folder_time(name_a))
    name_b = "2021-07-04-09.15.00_T102"  # summer time in New York
    arc_b = archive_b(rng, folder_time(name_b))
    write_archive(args.out, name_b, arc_b)
    expected["archives"]["B"] = dict(summary(arc_b), folder=name_b, fallback=folder_time(name_b))
    if args.packets:
        arc = Archive(rng, folder_time(name_a))
        arc.bulk = True
        arc.tick0 = arc.fallback
        arc.time_packet(2)
        kinds = [lambda: arc.science(rng.randint(0, 900), rng.randint(1, 100)), arc.seb_hk, arc.laser_status,
                 lambda: arc.instrument(7, bytes(16)), lambda: arc.ground(10), lambda: arc.time_packet(7),
                 lambda: arc.summed(27, 2, 3, 3, 250)]
        while len(arc.packets) < args.packets:
            rng.choice(kinds)()
        os.makedirs(os.path.join(args.out, "bulk"), exist_ok=True)
        with open(os.path.join(args.out, "bulk", "tm.tlm"), "wb") as f:
            f.write(arc.bytes)
        expected["bulkPackets"] = len(arc.packets)
    with open(os.path.join(args.out, "expected.json"), "w") as f:
        json.dump(expected, f, indent=1)


if __name__ == "__main__":
    main()
