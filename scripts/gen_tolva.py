#!/usr/bin/python3
"""Writes second-instrument definitions and archives, with what they must decode to.

    gen_tolva.py OUT_DIR [--packets N] [--seed S]

Files written to OUT_DIR:
  defs/tmdb.txt             database: rows of decode types 100-112, rows of
                            equation types 100-107 (some with the two
                            engineering coefficients only), CTL.STATUS:
                            BIN_TIME_RDBK and MMC.HK:V_2P50_VREF
  defs/tm_packet_types.txt  APIDs of APID_TABLE, limits in data lengths,
                            FILL (740) without limits
  defs/dac.txt              DAC table: comment, inner '#', blank and short
                            lines, an id-0 row
  vekconfig.INI             configuration group TOLVA pointing at defs/
  bare/tm.bin               bare CCSDS packets          (each archive folder
  label/tm.bin              the same, one with a label   holds a tm.meta of
  framed/tm.bin             ITF frames: odd packets with mission "tolva")
                            pads, an empty frame, a rejected header, a last
                            frame ending in a 16-byte CTL_SUM_RF
  expected.json             per archive its packets (offset, size, APID,
                            Unix and relative time), the frames' checksums,
                            and the decoded items of every decoder and
                            equation row, computed here from the formats
  markers/tm.bin            marker packets (open, close, reuse, close-all,
  markers/more.bin          an unmatched close, a close at the opening time,
                            ids and types of 2^31 and above, a NUL in a
                            label, equal start times, a short marker packet),
                            and packets that grow the archive afterwards
  markers.json              the intervals, signals and log lines the marker
                            cache must give for the two, with ISO times
  frames.json               ITF frames: odd packets and pads, a telecommand of
                            data length 1007, a telemetry packet of 4090,
                            offset 20, len 3, 4 and 4101, frames under 10
                            bytes, cut frames; each with its packets, warning,
                            rewritten bytes, checksum and description
  packets.json              the packet family: APIDs, names and default
                            sizes; byte images with the values of every
                            accessor; images after setters and appends;
                            the record lists of every prefix of an image

N (default 40) is the number of packets of each archive; the output depends
only on N and the seed.
"""
import argparse
import calendar
import datetime
import json
import math
import os
import random
import statistics
import struct

COLUMNS = [
    "SUB_SYSTEM", "NAME", "DESCRIPTION", "ADC_#", "DATA_ID", "PACKET_TYPE", "PACKET_SUBTYPE",
    "PACKET_NAME", "APPLY_WHEN", "DECODE_TYPE", "DECODE_ID1", "DECODE_ID2", "DECODE_ID3",
    "DECODE_ID4", "CLOCK", "RAW_FMT", "ENG_FMT", "ENG_EQ_TYPE", "ENG_K1", "ENG_K2", "SCI_UNITS",
    "SCI_FMT", "SCI_EQ_TYPE", "SCI_FROM_ENG", "SCI_K1", "SCI_K2", "SCI_K3", "SCI_K4", "SCI_K5",
    "SCI_K6", "SCI_K7", "SCI_K8", "MUX_CH", "LIMIT_TYPE_1", "YELLOW_LIMIT_1", "RED_LIMIT_1",
    "LIMIT_TYPE_2", "YELLOW_LIMIT_2", "RED_LIMIT_2", "LIMITS", "HISTORY", "EXTRA_1",
    "TARQ_MINE_TYPE", "TARQ_MINE_RAW", "TARQ_MINE_ENG", "DISCRETE_LABELS", "BUNDLE_ID",
    "ARRAY_LENGTH", "SAMPLE_PERIOD",
]

UNIX_2010 = calendar.timegm((2010, 1, 1, 0, 0, 0))  # 1262304000
ITF_SYNC = b"\xFE\xFA\x30\xC8"

# CTL_SUM_RF packets vary: a 16-byte head, 1 to RF_TOTALS totals of 10 bytes,
# then 0 to RF_VALUES values of 8 bytes. Its packet type admits the largest.
RF_TOTALS, RF_VALUES = 3, 3
# The instrument's APIDs, first to last; none is in use at UNUSED_APID. Each
# with its name, its packet class, the payload bytes of a packet the class
# builds, and the total bytes of the packets written here (the largest for
# CTL_SUM_RF). The tables below derive from this one; a test checks its range
# against the library's.
APID_TABLE = [
    (737, "CRIT_HK", "CriticalHKPacket", 40, 52),
    (738, "BOOT_HK", "BootHKPacket", 27, 39),
    (739, "DIGITAL_HK", "DigitalHKPacket", 56, 68),
    (740, "FILL", "FillPacket", 1036, 41),
    (741, "MEMDUMP", "MemoryDumpPacket", 1036, 60),
    (742, "MSG", "MessageLogPacket", 1036, 44),
    (743, "MKR", "MarkerPacket", 78, 90),
    (744, "VH_HK", "VhHkPacket", 42, 54),
    (745, "VH_STAT", "VhStatusPacket", 148, 160),
    (746, "PT_HK", "PtHkPacket", 325, 337),
    (747, "PT_STAT", "PtStatusPacket", 325, 337),
    (748, "LEU_HKHS", "LeuHkHsPacket", 221, 233),
    (749, "LEU_HK", "LeuHkPacket", 114, 126),
    (750, "LEU_HKINDX", "LeuHkIndxPacket", 221, 233),
    (751, "LEU_STAT", "LeuStatusPacket", 81, 93),
    (752, "LEU_MAX_HKHS", "LeuMaxHkHsPacket", 10, 22),
    (753, "MMC_HK", "MmcHKPacket", 158, 170),
    (754, "MMC_SC", "MmcStripChartPacket", 8200, 68),
    (755, "MMC_PIRANI", "MmcPiraniPacket", 814, 78),
    (756, "MMC_HKHS", "MmcPiraniHKPacket", 30, 42),
    (758, "CTL_HK", "CtlHkPacket", 202, 214),
    (759, "CTL_STAT", "CtlStatusPacket", 274, 286),
    (760, "CTL_SEQ_DUMP", "CtlSeqDumpPacket", 65523, 100),
    (761, "CTL_DDS_DUMP", "CtlDdsDumpPacket", 65523, 100),
    (762, "CTL_SCI", "CtlSciencePacket", 118, 130),
    (763, "CTL_AUX_DUMP", "CtlAuxDumpPacket", 65523, 100),
    (764, "CTL_GENREG_DUMP", "CtlGenRegDumpPacket", 65523, 100),
    (765, "CTL_SUM_RF", "CtlSumRfPacket", 4, 16 + 10 * RF_TOTALS + 8 * RF_VALUES),
    (766, "CTL_SUM_BIN", "CtlSumBinPacket", 6, 18),
]
UNUSED_APID = 757
FIRST_APID, LAST_APID = APID_TABLE[0][0], APID_TABLE[-1][0]
assert [row[0] for row in APID_TABLE] == [a for a in range(FIRST_APID, LAST_APID + 1) if a != UNUSED_APID]
# APID: (name, total bytes of the packets written here)
APIDS = {apid: (name, size) for apid, name, _, _, size in APID_TABLE}
# The packets that carry the rows below come most often.
WEIGHTED = [758, 759, 762, 765, 749, 753, 754, 755, 737, 737] + [a for a in APIDS if a not in (740, 757)]

BIN_TIME_OFFSET = 190  # CTL_STAT: u32
VREF_OFFSET = 24       # MMC_HK: u16
VCAL_OFFSET = 20       # MMC_HK: u16, calibrated by decode type 112

# (sub system, name, data id, APID, decode type, ids 1-4)
DECODER_ROWS = [
    ("CTL", "HK_ADC5", 1001, 758, 100, (5, 2, 0, 0)),
    ("CTL", "GENREG3", 1002, 759, 101, (3, 4, 0, 0)),
    ("CTL", "GENREG_A3", 1003, 759, 101, (0xA3, 4, 0, 0)),
    ("CTL", "BINS", 1004, 762, 102, (12, 2, 0, 0)),
    ("CTL", "BINS_HI", 1005, 762, 102, (13, 1, 0xF0, 4)),
    ("CTL_SUM", "RF_TOTAL", 1006, 765, 103, (0, 4, 0, 0)),
    ("CTL_SUM", "RF_TOTAL_MID", 1007, 765, 103, (4, 2, 0, 0)),
    ("LEU", "ENERGY", 1008, 749, 104, (26, 2, 0, 0)),
    ("LEU", "ENERGY_AVG", 1009, 749, 105, (26, 2, 0, 0)),
    ("LEU", "ENERGY_MIN", 1010, 749, 106, (26, 2, 0, 0)),
    ("LEU", "ENERGY_MAX", 1011, 749, 107, (26, 2, 0, 0)),
    ("LEU", "ENERGY_STD", 1012, 749, 108, (26, 2, 0, 0)),
    ("CTL_SUM", "RF_VALUE", 1013, 765, 109, (2, 2, 0, 0)),
    ("MMC", "PIRANI_P", 1014, 755, 110, (2, 4, 0, 0)),
    ("MMC", "PIRANI_T", 1015, 755, 110, (6, 2, 0x0FFF, 0)),
    ("MMC", "SC_CH3", 1016, 754, 111, (3, 2, 0, 0)),
    ("MMC", "V_CAL", 1017, 753, 112, (VCAL_OFFSET, 2, 0, 0)),
]

# (name, data id, eng type, eng K1-K2, sci type, sci K1-K8, mode, raw bytes, raw range)
EQ_ROWS = [
    ("ADC_OHMS", 2001, 100, (10000, 0), 0, None, 1, 2, (0, 65535)),
    ("THERM", 2002, 0, (0, 1), 101, (10, 65536, 1e-3, 2e-4, 1e-7), 2, 2, (1, 65535)),
    ("PRT", 2003, 102, (0.01, -5), 0, None, 1, 2, (0, 65535)),  # two coefficients: all it reads
    ("NO_TYPE_103", 2004, 103, (3, 4), 0, None, 1, 2, (0, 65535)),
    ("THERM10K", 2005, 0, (0, 1), 104, (0.8192, 0.0002, 0.001125308852122, 0.000234711863267,
                                         8.5663516e-08), 2, 2, (1024, 4095)),
    ("CTL_THERM", 2006, 0, (0, 1), 105, (18700, 4096, 0.0009354, 0.0002211, 1.275e-07), 2, 2,
     (1, 4095)),
    ("AMUX_THERM", 2007, 0, (0, 1), 106, (18700, 65536, 1e-3, 2e-4, 1e-7), 2, 2, (32769, 65535)),
    ("FIXED", 2008, 107, (1, 2), 0, None, 1, 4, (0, 0xFFFFFFFF)),  # short list, not read
]
EQ_APID = 737


def be(value, n):
    return value.to_bytes(n, "big")


def packet(apid, seconds, fraction, payload):
    total = 12 + len(payload)
    head = be(0x0800 | apid, 2) + be(0xC000, 2) + be(total - 7, 2) + be(seconds, 4) + bytes([fraction, 0])
    return head + payload


def frame_checksum(data):
    even = odd = 0
    for i in range((len(data) - 4) // 2):
        even ^= data[4 + 2 * i]
        odd ^= data[5 + 2 * i]
    return bytes([even, odd])


def frame(packets):
    length = 4 + sum(len(p) for p in packets)
    body = b"".join(p + (b"\x00" if len(p) % 2 else b"") for p in packets)
    data = ITF_SYNC + bytes([4, 0]) + be(length & 0xFFFF, 2) + b"\x00\x00" + body
    return data + frame_checksum(data)


def payload_for(apid, rng, size):
    """Payload bytes (from packet byte 12) of a packet of `size` bytes."""
    b = bytearray(rng.getrandbits(8) for _ in range(size - 12))

    def put(at, value, n):
        b[at - 12:at - 12 + n] = be(value, n)

    if apid == 758:  # 32 entries (channel 0-7, u16) from byte 13
        for j in range(32):
            put(13 + 3 * j, rng.randint(0, 7), 1)
    elif apid == 759:  # 32 entries (register, u32) from byte 21; bin time at 190
        for j in range(32):
            put(21 + 5 * j, rng.choice([0x03, 0x13, 0x93, 0xA3, 0xA0, 0xB3, 0x45, rng.randint(0, 255)]), 1)
        put(BIN_TIME_OFFSET, rng.choice([100000, 200000, 50000]), 4)
    elif apid == 765:  # n totals of 10 bytes, then 8-byte values
        n = rng.randint(1, (size - 16) // 10)
        put(15, n, 1)
    elif apid == 755:  # base time at 14 and 18; 10-byte records from 28 with a time offset
        put(14, rng.randint(0, 1 << 30), 4)
        put(18, rng.randint(0, (1 << 32) - 1), 4)
        for k in range((size - 28) // 10):
            put(28 + 10 * k, rng.randint(0, 9999), 2)
            put(30 + 10 * k, struct.unpack(">I", struct.pack(">f", rng.uniform(1e-4, 1e3)))[0], 4)
    elif apid == 754:  # channels in bytes 16-19: channel 3 twice
        for c, ch in enumerate([1, 3, 5, 3]):
            put(16 + c, ch, 1)
    elif apid == 737:  # equation raw values
        for k, row in enumerate(EQ_ROWS):
            lo, hi = row[8]
            put(12 + 4 * k, rng.randint(lo, hi), row[7])
    elif apid == 753:
        put(VREF_OFFSET, rng.randint(1, 65535), 2)
    return bytes(b)


def u(data, at, n):
    return int.from_bytes(data[at:at + n], "big")


def masked(raw, width, mask, shift):
    return float((raw & (mask if mask else (1 << 8 * width) - 1)) >> (shift % 32))


def item(pkt, offset, count, value, dt=0.0, unix=None):
    return {"offset": offset, "count": count, "value": value,
            "unix": (pkt["unix"] if unix is None else unix) + dt, "relative": pkt["relative"] + dt}


def decode(row, pkt):
    """The items of a decoder row in one packet, from the layouts."""
    _, _, _, _, dtype, (i1, i2, i3, i4) = row
    d = pkt["bytes"]
    s = len(d)
    out = []
    if dtype == 100:
        for j in range(32):
            if d[13 + 3 * j] == i1:
                out.append(item(pkt, 14 + 3 * j, 2, float(u(d, 14 + 3 * j, 2))))
    elif dtype == 101:
        for j in range(32):
            r = d[21 + 5 * j]
            if (r <= 0x9F and r & 0x0F == i1) or (0xA0 <= r <= 0xA9 and r == i1):
                out.append(item(pkt, 22 + 5 * j, 4, float(u(d, 22 + 5 * j, 4))))
    elif dtype == 102:
        p = i1
        while p + 2 <= s:
            out.append(item(pkt, p, i2, masked(u(d, p, i2), i2, i3, i4)))
            p += i2
    elif dtype == 103:
        for k in range(d[15]):
            p = 16 + 10 * k + i1
            if p + i2 <= s:
                out.append(item(pkt, p, i2, masked(u(d, p, i2), i2, i3, i4)))
    elif dtype == 109:
        p = 16 + 10 * d[15] + i1
        while p + 2 <= s:
            out.append(item(pkt, p, i2, masked(u(d, p, 2), 2, i3, i4)))
            p += 8
    elif dtype == 110:
        base = ((u(d, 14, 4) + UNIX_2010) % 2 ** 32) + ((40 * u(d, 18, 4)) % 2 ** 32) / 1e9
        b = 28
        while b + i1 + 2 <= s:
            p = b + i1
            dt = u(d, b, 2) / 10000.0
            if i2 == 2:
                out.append(item(pkt, p, 2, masked(u(d, p, 2), 2, i3, i4), dt, base))
            elif p + 4 <= s:
                out.append(item(pkt, p, i2, struct.unpack(">f", d[p:p + 4])[0], dt, base))
            b += 10
    elif dtype == 111:
        for c in range(4):
            if s >= 22 + 2 * c and d[16 + c] == i1:
                k = (s - 20) // 4
                p = 20 + 2 * c
                while True:
                    out.append(item(pkt, p, i2, masked(u(d, p, 2), 2, i3, i4), -k / 1000.0))
                    if s < p + 10:
                        break
                    p += 8
                    k -= 1
    elif dtype == 112:
        out.append(item(pkt, i1, 2, masked(u(d, i1, 2), 2, i3, i4)))
    elif 104 <= dtype <= 108:
        dl = s - 6
        samples = []
        for n in range(max(0, (dl - 20) // 2) if dl >= 22 else 0):
            p = i1 + n * i2
            a = 20 * (n + 1)  # microseconds: the interval is 20.0 with these keys
            samples.append(item(pkt, p, i2, masked(u(d, p, 2), 2, i3, i4), a / 1e6))
        if dtype == 104:
            out = samples
        elif samples:
            values = [x["value"] for x in samples]
            if dtype == 105:
                v = statistics.fmean(values)
            elif dtype == 106:
                v = min(values)
            elif dtype == 107:
                v = max(values)
            else:
                v = statistics.pstdev(values)
            pick = samples[values.index(v)] if dtype in (106, 107) else dict(samples[0])
            if dtype in (105, 108):
                pick = dict(pick, offset=dl + 6, count=-1, value=v)
            out = [pick]
    return out


def thermistor(r, k3, k4, k5):
    lr = math.log(r)
    return 1.0 / (k3 + k4 * lr + k5 * lr ** 3) - 273.15


def equation(row, raw):
    _, _, eng, ek, sci, sk, _, _, _ = row
    if eng == 100:
        return ek[0] * raw / (65536 - raw)
    if eng == 102:
        return ek[0] * raw - ek[1]
    if eng == 103:
        return float(raw)
    if eng == 107:
        i = raw - (1 << 32) if raw >= 1 << 31 else raw
        return float((i >> 16) + (i & 0xFFFF) / 65536)
    k = sk
    if sci == 101 or sci == 105:
        return thermistor(k[0] * raw / (k[1] - raw), k[2], k[3], k[4])
    if sci == 104:
        return thermistor(1 / (k[0] / raw - k[1]), k[2], k[3], k[4])
    if sci == 106:
        return thermistor(k[0] * (raw - 32768) / (k[1] - raw), k[2], k[3], k[4])
    raise ValueError(row)


def db_lines():
    lines = ["\t".join(COLUMNS)]

    def row(sub, name, data_id, apid, dtype, ids, eng=0, ek=(0, 1), sci=0, sk=None):
        cells = dict.fromkeys(COLUMNS, "")
        sk = list(sk or (0, 1)) + [0] * 8
        cells.update({"SUB_SYSTEM": sub, "NAME": name, "DESCRIPTION": name.lower(),
                      "DATA_ID": str(data_id), "PACKET_TYPE": str(apid), "PACKET_SUBTYPE": "0",
                      "PACKET_NAME": APIDS[apid][0], "DECODE_TYPE": str(dtype),
                      "DECODE_ID1": str(ids[0]), "DECODE_ID2": str(ids[1]), "DECODE_ID3": "0x%X" % ids[2],
                      "DECODE_ID4": str(ids[3]), "RAW_FMT": "%d", "ENG_FMT": "%.3f",
                      "ENG_EQ_TYPE": str(eng), "ENG_K1": repr(float(ek[0])), "ENG_K2": repr(float(ek[1])),
                      "SCI_UNITS": "u", "SCI_FMT": "%.3f", "SCI_EQ_TYPE": str(sci), "SCI_FROM_ENG": "N",
                      "MUX_CH": "0"})
        for i in range(8):
            cells["SCI_K%d" % (i + 1)] = repr(float(sk[i]))
        lines.append("\t".join(cells[c] for c in COLUMNS))

    for sub, name, data_id, apid, dtype, ids in DECODER_ROWS:
        row(sub, name, data_id, apid, dtype, ids)
    for k, (name, data_id, eng, ek, sci, sk, _, n, _) in enumerate(EQ_ROWS):
        row("EQ", name, data_id, EQ_APID, 1, (12 + 4 * k, n, 0, 0), eng, ek, sci, sk)
    row("CTL.STATUS", "BIN_TIME_RDBK", 3001, 759, 1, (BIN_TIME_OFFSET, 4, 0, 0))
    row("MMC.HK", "V_2P50_VREF", 3002, 753, 1, (VREF_OFFSET, 2, 0, 0))
    return lines


def packet_type_limits():
    """Data-length limits by APID as tm_packet_types.txt gives them; None: any length (FILL)."""
    return {apid: None if apid == 740 else (7, size - 5) for apid, (_, size) in APIDS.items()}


def packet_type_lines():
    lines = ["# id, name, ground, min data length, max data length"]
    limits = packet_type_limits()
    for apid, (name, _) in sorted(APIDS.items()):
        low, high = limits[apid] or (-1, -1)
        lines.append("%d, %s, false, %d, %d" % (apid, name, low, high))
    return lines


def check_accepted(packets, where):
    """Fails when a packet meant to be read is one that the packet types written here reject."""
    limits = packet_type_limits()
    for i, p in enumerate(packets):
        apid, length = u(p, 0, 2) & 0x7FF, u(p, 4, 2) + 1
        if apid not in limits:
            raise AssertionError("%s: packet %d has APID %d, which tm_packet_types.txt lacks" % (where, i, apid))
        if limits[apid] and not limits[apid][0] <= length <= limits[apid][1]:
            raise AssertionError("%s: packet %d (APID %d) has %d data bytes; its type allows %d to %d"
                                 % ((where, i, apid, length) + limits[apid]))


def archive_packets(rng, count, start):
    """`count` packets of chosen APIDs, times increasing from `start` seconds."""
    out = []
    t = start
    for i in range(count):
        apid = WEIGHTED[i % len(WEIGHTED)] if i < len(WEIGHTED) else rng.choice(WEIGHTED)
        size = APIDS[apid][1]
        if apid == 765:
            size = 16 + 10 * rng.randint(1, RF_TOTALS) + 8 * rng.randint(0, RF_VALUES)
        elif apid in (738, 742, 740):
            size += rng.choice([0, 1])  # odd and even lengths
        frac = rng.randint(0, 255)
        out.append(packet(apid, t, frac, payload_for(apid, rng, size)))
        t += rng.randint(0, 2)
    return out


def describe(packets, offsets):
    t0 = None
    out = []
    for p, off in zip(packets, offsets):
        unix = u(p, 6, 4) + UNIX_2010 + p[10] / 256.0
        t0 = unix if t0 is None else t0
        out.append({"offset": off, "size": len(p), "apid": u(p, 0, 2) & 0x7FF, "unix": unix,
                    "relative": unix - t0, "bytes": p})
    return out


def label(seconds, ms):
    """An archive label: magic, kind, 8-digit length n, then 20 + n bytes holding the ground time."""
    n = 8
    rest = bytearray(20 + n)
    rest[4:8] = be(seconds, 4)
    rest[8:10] = be(ms, 2)
    return b"C7333IA0GANN" + b"%08d" % n + bytes(rest)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def generate(out, count, seed):
    rng = random.Random(seed)
    defs = os.path.join(out, "defs")
    os.makedirs(defs, exist_ok=True)
    write(os.path.join(defs, "tmdb.txt"), ("\n".join(db_lines()) + "\n").encode())
    write(os.path.join(defs, "tm_packet_types.txt"), ("\n".join(packet_type_lines()) + "\n").encode())
    write(os.path.join(defs, "dac.txt"),
          b"# id\tnumber\tname\tbits\tmask\tsigned\ta\tb\n"
          b"0\t0\tHV_REF\t16\t0xFFFF\t0\t0\t1\n"
          b"\n"
          b"1\t1\tRF#AMP\t12\t4095\t1\t2048\t409.6\n"
          b"2\t2\tSHORT\n"
          b"3\t3\tFOCUS\t16\t65535\t0\t100\t3.5\n")
    for d in ("gse", "viewers", "data", "mcal"):
        os.makedirs(os.path.join(out, d), exist_ok=True)
    with open(os.path.join(out, "vekconfig.INI"), "w") as f:
        f.write("[TOLVA]\n")
        for key, value in (("gse", "gse"), ("tm_definitions", "defs"), ("tm_database", "defs/tmdb.txt"),
                           ("dac_file", "defs/dac.txt"), ("viewers_root", "viewers"),
                           ("data_root", "data"), ("mcal_root", "mcal")):
            f.write("%s=%s\n" % (key, os.path.join(os.path.abspath(out), value)))
    meta = json.dumps({"gse": {"version": 3, "mission": "tolva", "tid": 7}}, indent=1)

    expected = {"unix_2010": UNIX_2010, "archives": {}, "frames": []}
    start = rng.randint(400000000, 500000000)

    # Bare packets, and the same with a label before the fourth.
    bare = archive_packets(rng, count, start)
    offsets, pos = [], 0
    for p in bare:
        offsets.append(pos)
        pos += len(p)
    archives = {"bare": (b"".join(bare), describe(bare, offsets))}
    lab = label(1600000000, 250)
    offsets = [o + (len(lab) if i >= 3 else 0) for i, o in enumerate(offsets)]
    described = describe(bare, offsets)
    described[3]["ground"] = [1600000000, 250]
    archives["label"] = (b"".join(bare[:3]) + lab + b"".join(bare[3:]), described)

    # Frames of one to three packets; an empty frame, a rejected header, a
    # 16-byte CTL_SUM_RF ending the last frame.
    framed = archive_packets(rng, count, start + 1000)
    sum_rf = packet(765, start + 5000, 0, b"\x00\x00\x00\x00")
    data = bytearray()
    stored, offsets = [], []
    i = 0
    while i < len(framed):
        group = framed[i:i + rng.randint(1, 3)]
        i += len(group)
        if i >= len(framed):
            group = group + [sum_rf]
        f = frame(group)
        expected["frames"].append({"offset": len(data), "checksum": list(f[-2:])})
        pos = len(data) + 10
        for p in group:
            stored.append(p)
            offsets.append(pos)
            pos += len(p) + len(p) % 2
        data += f
        if len(expected["frames"]) == 2:
            empty = frame([])
            expected["frames"].append({"offset": len(data), "checksum": list(empty[-2:])})
            data += empty
        if len(expected["frames"]) == 4:
            # A header whose length exceeds its type's limit, filled with zeros
            # that hold no valid header: skipped byte by byte.
            bad = packet(739, 0, 0, bytes(200))
            f = frame([bad])
            expected["frames"].append({"offset": len(data), "checksum": list(f[-2:])})
            data += f
    archives["framed"] = (bytes(data), describe(stored, offsets))

    for name, (blob, packets) in archives.items():
        check_accepted([p["bytes"] for p in packets], name)
        write(os.path.join(out, name, "tm.bin"), blob)
        write(os.path.join(out, name, "tm.meta"), meta.encode())
        decoded = []
        for index, pkt in enumerate(packets):
            for row in DECODER_ROWS:
                if row[3] == pkt["apid"]:
                    items = decode(row, pkt)
                    decoded.append({"packet": index, "id": row[2], "items": items})
            if pkt["apid"] == EQ_APID:
                for k, row in enumerate(EQ_ROWS):
                    raw = u(pkt["bytes"], 12 + 4 * k, row[7])
                    decoded.append({"packet": index, "id": row[1], "mode": row[6], "raw": raw,
                                    "value": equation(row, raw)})
        ctl = [p for p in packets if p["apid"] == 759]
        expected["archives"][name] = {
            "path": os.path.join(name, "tm.bin"),
            "packets": [{k: v for k, v in p.items() if k != "bytes"} for p in packets],
            "decoded": decoded,
            "ip": u(ctl[-1]["bytes"], BIN_TIME_OFFSET, 4) / 10000000.0 if ctl else 1e-05,
        }
    with open(os.path.join(out, "expected.json"), "w") as f:
        json.dump(expected, f, indent=1)
    # The files below have their own random stream, so that the ones above
    # stay as they were.
    generate_markers(out)
    generate_frames(out, random.Random(seed + 1))
    generate_packet_family(out, random.Random(seed + 2))


# ---- Marker archive -------------------------------------------------------

MARKER_APID = 743
MARKER_BASE = 500000000  # seconds since 2010 of the marker archive's first packet


def marker_packet(seconds, fraction, mid, mtype, text=b""):
    return packet(MARKER_APID, seconds, fraction, be(mid, 4) + be(mtype, 4) + text)


def packet_unix(p):
    return float(u(p, 6, 4)) + UNIX_2010 + p[10] / 256.0


def iso_ms(us):
    """Qt's ISO 8601 text with milliseconds in UTC of a time in microseconds."""
    ms = int(us / 1000) if us >= 0 else -(-us // 1000)
    d = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(milliseconds=ms)
    return d.strftime("%Y-%m-%dT%H:%M:%S") + ".%03dZ" % (ms % 1000)


def marker_text(p):
    """Bytes from 20 to the first zero or the end of the data field."""
    end = min(6 + u(p, 4, 2) + 1, len(p))
    t = p[20:end]
    return t.split(b"\x00")[0]


def nice(m):
    dur = (m["end"] - m["start"]) if m["end"] else 0
    return "lbl=%s id=%d:%d start=%s end=%s dur=%ss" % (
        m["text"].decode("utf-8", "replace"), m["id"], m["type"], iso_ms(m["start"]), iso_ms(m["end"]),
        "%g" % (dur / 1000000.0))


def marker_json(m):
    return {"id": m["id"], "type": m["type"], "start": m["start"], "end": m["end"], "text": m["text"].hex(),
            "start_iso": iso_ms(m["start"]), "end_iso": iso_ms(m["end"]), "nice": nice(m),
            "complete": m["end"] != 0, "duration": (m["end"] - m["start"]) if m["end"] else 0}


class MarkerModel:
    """The marker cache's rules, written from the packet format."""

    def __init__(self):
        self.open = {}
        self.closed = []
        self.events = []
        self.log = []

    def close_one(self, mid, t):
        m = dict(self.open.pop(mid))
        e = int(t * 1000000.0)
        if m["start"] < e:
            m["end"] = e
        else:
            self.log.append(["WARN", "marker_close", "close time is earlier than start time t_start= %d t_end= %d"
                             % (m["start"], e)])
        self.closed.append(m)
        self.events.append(["closed", marker_json(m)])
        self.log.append(["DEBUG", "tolva_marker_cache", "Marker closed: " + nice(m)])

    def feed(self, index, p):
        if u(p, 0, 2) & 0x7FF != MARKER_APID:
            return
        if len(p) < 20:
            self.log.append(["WARN", "tolva_marker_cache",
                             "Skipping short marker packet: index %d, %d bytes" % (index, len(p))])
            return
        mid, mtype, t = u(p, 12, 4), u(p, 16, 4), packet_unix(p)
        if mid:
            if mid in self.open:
                self.log.append(["WARN", "tolva_marker_cache", "Existing marker found...closing"])
                self.close_one(mid, t)
            m = {"id": mid, "type": mtype, "start": int(t * 1000000.0), "end": 0, "text": marker_text(p)}
            self.open[mid] = m
            self.events.append(["opened", marker_json(m)])
            self.log.append(["DEBUG", "tolva_marker_cache", "Marker opened: " + nice(m)])
        elif mtype == 0:
            for k in sorted(self.open):
                self.close_one(k, t)
        elif mtype in self.open:
            self.close_one(mtype, t)
        else:
            self.log.append(["WARN", "tolva_marker_cache", "No match for marker close: id=%d type=%d txt=%s"
                             % (mid, mtype, marker_text(p).decode("utf-8", "replace"))])

    def state(self, labels):
        return {"closed": [marker_json(m) for m in self.closed],
                "open": [marker_json(self.open[k]) for k in sorted(self.open)],
                "events": self.events, "log": self.log,
                "matching": {lab: [i for i, m in enumerate(self.closed)
                                   if lab in m["text"].decode("utf-8", "replace")] for lab in labels}}


def generate_markers(out):
    s = MARKER_BASE
    big_id, big_type = 0x80000003, 0x80000009
    first = [
        packet(737, s, 0, bytes(40)),                        # not a marker
        marker_packet(s + 1, 0x40, 5, 7, b"alpha"),          # open 5
        marker_packet(s + 2, 0x40, 0, 5),                    # close 5 after 1 s
        marker_packet(s + 3, 0x00, 5, 7, b"reuse one"),      # open 5 again
        packet(749, s + 3, 0x10, bytes(30)),
        marker_packet(s + 4, 0x80, 5, 8, b"reuse two"),      # reuse: closes the first
        marker_packet(s + 5, 0x00, 1, 1, b"one"),            # equal start times
        marker_packet(s + 5, 0x00, 2, 2, b"two"),
        marker_packet(s + 6, 0x00, big_id, big_type, b"big\x00hidden"),
        marker_packet(s + 6, 0x01, 0xFFFFFFFF, 0xFFFFFFFE, b"max"),
        marker_packet(s + 6, 0x80, 0, big_id),               # close by a type of 2^31 and above
        marker_packet(s + 7, 0x00, 0, 0, b"all"),            # close-all: 1, 2, 5, 0xFFFFFFFF
        marker_packet(s + 8, 0x00, 0, 9, b"stray"),          # nothing open with id 9
        marker_packet(s + 9, 0x80, 7, 1, b"same time"),
        marker_packet(s + 9, 0x80, 0, 7),                    # close at the opening time: refused
        packet(MARKER_APID, s + 10, 0, b"\x00\x00\x00\x00"),  # 16 bytes: too short for id and type
        marker_packet(s + 11, 0x00, 42, 3, b"left open"),
        marker_packet(s + 12, 0x20, 9, 0, b"pct %1 %2 \xc3\xa9"),
    ]
    more = [
        marker_packet(s + 13, 0x00, 0, 42),
        packet(737, s + 13, 0, bytes(40)),
        marker_packet(s + 14, 0x00, 100, 1, b"later"),
    ]
    labels = ["alpha", "reuse", "one", "big", "hidden", "zzz", "e t", "ay"]
    model = MarkerModel()
    for i, p in enumerate(first):
        model.feed(i, p)
    expected = {"first": model.state(labels)}
    model.events, model.log = [], []
    for i, p in enumerate(more):
        model.feed(len(first) + i, p)
    expected["more"] = model.state(labels)
    check_accepted(first, "markers/tm.bin")
    check_accepted(more, "markers/more.bin")
    write(os.path.join(out, "markers", "tm.bin"), b"".join(first))
    write(os.path.join(out, "markers", "more.bin"), b"".join(more))
    write(os.path.join(out, "markers", "tm.meta"),
          json.dumps({"gse": {"version": 3, "mission": "tolva", "tid": 7}}, indent=1).encode())
    with open(os.path.join(out, "markers.json"), "w") as f:
        json.dump(expected, f, indent=1)


# ---- ITF frames ------------------------------------------------------------

def itf_frame(packets, length=None, offset=0, prefix=b"", pad=True, rounded=True, vc=4, seq=0):
    if length is None:
        length = 4 + len(prefix) + sum(len(p) + (len(p) % 2 if rounded else 0) for p in packets)
    body = prefix + b"".join(p + (b"\x00" if pad and len(p) % 2 else b"") for p in packets)
    data = ITF_SYNC + bytes([vc, seq]) + be(length & 0xFFFF, 2) + be(offset, 2) + body
    return data + frame_checksum(data)


def itf_parse(data):
    """Packets and warning of a frame, by the frame rules (pads stepped over)."""
    head = data[:10] + bytes(max(0, 10 - len(data)))
    length, offset = u(head, 6, 2), u(head, 8, 2)
    if length < 4 or length > 4100:
        return [], "Invalid ITF Message Length:  %d" % length
    area, pos, out = length - 4, offset, []
    while True:
        if pos + 6 >= area:
            return out, None
        if len(data) < pos + 16:
            return out, "Invalid CCSDS Data!"
        h = data[10 + pos:16 + pos]
        d = u(h, 4, 2) + 1
        limit = 1006 if h[0] & 0x10 else 4090
        if d > limit:
            return out, "Invalid CCSDS Data Length:  %d , expected max value is %d" % (d, limit)
        if len(data) < pos + 16 + d:
            return out, "Invalid CCSDS packet, dataLength = %d but only %d bytes are available" % (
                16 + pos + d, len(data))
        out.append(data[10 + pos:16 + pos + d])
        pos += 6 + d
        if (6 + d) % 2 and pos < area and (data[10 + pos] if 10 + pos < len(data) else 0) == 0:
            pos += 1


def itf_rewrite(data, packets):
    head = data[:10] + bytes(max(0, 10 - len(data)))
    body = head + b"".join(p + (b"\x00" if len(p) % 2 else b"") for p in packets)
    return body + frame_checksum(body)


def ccsds_text(p):
    return "\tCCSDS HDR: apid:0x%4x seq:%d len:%d sclk:%d\n\tCCSDS RAW: %s\n" % (
        u(p, 0, 2) & 0x7FF, u(p, 2, 2) & 0x3FFF, u(p, 4, 2) + 1, u(p, 6, 4), p.hex())


def itf_text(data, packets):
    head = data[:10] + bytes(max(0, 10 - len(data)))
    return ("\tITF HDR:  sync:0x%8x vc:0x%2x seq:%d len:%d offset:%d\n" % (
        u(head, 0, 4), head[4], head[5], u(head, 6, 2), u(head, 8, 2))
        + "\tITF RAW: %s\n" % data.hex() + "".join(ccsds_text(p) for p in packets))


def generate_frames(out, rng):
    def rnd(n):
        return bytes(rng.getrandbits(8) for _ in range(n))

    def pk(apid, total, telecommand=False):
        p = bytearray(packet(apid, rng.randint(0, 1 << 31), rng.randint(0, 255), rnd(total - 12)))
        p[2] = 0xC0 | rng.randint(0, 0x3F)
        p[3] = rng.randint(0, 255)
        if telecommand:
            p[0] |= 0x10
        return bytes(p)

    p13, p20, p21, p90 = pk(742, 13), pk(743, 20), pk(738, 21), pk(741, 90)
    tc = pk(740, 1013, telecommand=True)   # data length 1007
    tc_ok = pk(740, 1012, telecommand=True)  # data length 1006
    tm4090 = pk(754, 4096)
    valid = itf_frame([p13, p20])
    cases = [
        ("odd packets with pads", itf_frame([p13, p20, p21]), [p13, p20, p21]),
        ("len without pads", itf_frame([p13, p20, p21], rounded=False), None),
        ("no pad bytes", itf_frame([p13, p21, p20], pad=False, rounded=False), None),
        ("one 90-byte packet", itf_frame([p90]), [p90]),
        ("telecommand of 1007", itf_frame([p13, tc, p20]), None),
        ("telecommand of 1006", itf_frame([tc_ok]), [tc_ok]),
        ("telemetry of 4090", itf_frame([tm4090]), [tm4090]),
        ("offset 20", itf_frame([p21, p20], offset=20, prefix=bytes(range(0xA0, 0xB4))), None),
        ("len 3", itf_frame([p20], length=3), None),
        ("len 4", itf_frame([p20], length=4), None),
        ("len 4101", itf_frame([p20], length=4101), None),
        ("header cut", valid[:10 + 14 + 3], None),
        ("packet cut", valid[:10 + 14 + 12], None),
        ("empty", itf_frame([]), None),
    ]
    for k in (0, 1, 5, 9):
        cases.append(("%d bytes" % k, valid[:k], None))
    frames = []
    for name, data, built in cases:
        packets, warning = itf_parse(data)
        rewritten = itf_rewrite(data, packets)
        c = {"name": name, "bytes": data.hex(), "packets": [p.hex() for p in packets],
             "warning": warning, "rewritten": rewritten.hex(), "checksum": u(rewritten, len(rewritten) - 2, 2),
             "text": itf_text(data, packets)}
        if built is not None:
            c["built"] = [p.hex() for p in built]
            c["built_len"] = 4 + sum(len(p) + len(p) % 2 for p in built)
        frames.append(c)
    new = ITF_SYNC + b"\x04\x00\x00\x00\x00\x00"
    doc = {"frames": frames, "new_frame": (new + frame_checksum(new)).hex()}
    with open(os.path.join(out, "frames.json"), "w") as f:
        json.dump(doc, f, indent=1)


# ---- Packet family ---------------------------------------------------------

# (class, APID, payload bytes of a packet it builds)
FAMILY = [(cls, apid, payload) for apid, _, cls, payload, _ in APID_TABLE]


def get(img, at, n):
    """Big-endian field; bytes past the image read as 0."""
    return int.from_bytes(bytes(img[at + i] if at + i < len(img) else 0 for i in range(n)), "big")


def put(img, at, value, n):
    for i in range(n):
        if at + i < len(img):
            img[at + i] = (value >> 8 * (n - 1 - i)) & 0xFF


def flag_place(n, lo, groups, byte):
    """Byte and mask of item n in groups of eight from `lo`, or None."""
    if n < lo or n >= lo + 8 * groups:
        return None
    k = (n - lo) // 8
    return byte + k, 0x80 >> (lo + 8 * k + 7 - n)


# (class, accessor, kind, where): kind u16 = u16 at where(n); flag = groups (lo, groups, byte);
# byte = one byte at where(n), non-zero true; u32 = fixed u32.
NUMBERED = [
    ("VhHkPacket", "amuxValue", "u16", lambda n: 14 + 2 * n if n <= 7 else None),
    ("VhHkPacket", "isHeaterOn", "flag", (6, 4, 30)),
    ("VhHkPacket", "isFanOn", "flag", (1, 1, 34)),
    ("VhHkPacket", "isGcValveOpen", "flag", (1, 2, 35)),
    ("VhHkPacket", "isMindrumValveOpen", "flag", (1, 4, 37)),
    ("VhStatusPacket", "heaterLastCommandedValue", "u16", lambda n: 4 * n - 10 if 6 <= n <= 27 else None),
    ("VhStatusPacket", "heaterCurrentValue", "u16", lambda n: 4 * n - 8 if 6 <= n <= 27 else None),
    ("VhStatusPacket", "fanLastCommandedValue", "byte", lambda n: 117 + n if 1 <= n <= 4 else None),
    ("VhStatusPacket", "isGcValveOpen", "flag", (1, 2, 122)),
    ("VhStatusPacket", "isMindrumValveOpen", "flag", (1, 4, 124)),
]
FIXED = [("MemoryDumpPacket", "memoryAddress", 12, 4), ("MarkerPacket", "markerId", 12, 4),
         ("MarkerPacket", "markerType", 16, 4), ("VhStatusPacket", "psClockStatus", 128, 1)]


def numbered_get(kind, where, img, n):
    if kind == "flag":
        place = flag_place(n, *where)
        return int(place is not None and bool(get(img, place[0], 1) & place[1]))
    at = where(n)
    if at is None:
        return 0
    if kind == "u16":
        return get(img, at, 2)
    return int(get(img, at, 1) != 0)


def numbered_set(kind, where, img, n, value):
    if kind == "flag":
        place = flag_place(n, *where)
        if place is not None and place[0] < len(img):
            img[place[0]] = (img[place[0]] & ~place[1]) | (place[1] if value else 0)
        return
    at = where(n)
    if at is None:
        return
    if kind == "u16":
        put(img, at, value, 2)
    else:
        put(img, at, 1 if value else 0, 1)


def set_value(kind, n):
    """The value written to number n by the setter run (flags: on, then off for n % 3 == 0)."""
    return (n * 0x0101 + 0x1234) & 0xFFFF if kind == "u16" else n % 2 == 1


def image(rng, apid, total):
    return bytearray(packet(apid, rng.randint(0, 1 << 31), rng.randint(0, 255), bytes(
        rng.getrandbits(8) for _ in range(max(0, total - 12)))))[:total]


def var_get(img, start, marker):
    """Outcome of a variable-length getter on the image: bytes, or None for std::out_of_range."""
    end = 6 + get(img, 4, 2) + 1
    if marker:
        i = 20
        while i < end:
            if i >= len(img):
                return None
            if img[i] == 0:
                break
            i += 1
        return bytes(img[20:i]) if i > 20 else b""
    if end <= start:
        return b""
    if end > len(img):
        return None
    return bytes(img[start:end])


def var_set(img, start, data, limit):
    n = min(len(data), limit)
    out = bytearray(img) + bytes(max(0, start + n - len(img)))
    out[start:start + n] = data[:n]
    put(out, 4, start + n - 6 - 1, 2)
    return bytes(out)


def generate_packet_family(out, rng):
    doc = {"classes": [{"name": n, "apid": a, "payload": p} for n, a, p in FAMILY],
           "apid_range": {"first": FIRST_APID, "last": LAST_APID, "unused": UNUSED_APID},
           "names": {str(a): APIDS.get(a, ("UNKNOWN",))[0] for a in range(730, 770)}}
    doc["names"]["0"] = doc["names"]["65535"] = "UNKNOWN"

    # Numbered and fixed accessors on every prefix of one image per class.
    images = {"VhHkPacket": image(rng, 744, 54), "VhStatusPacket": image(rng, 745, 160),
              "MemoryDumpPacket": image(rng, 741, 24), "MarkerPacket": image(rng, 743, 26)}
    # A few known flags, so that set bits are not only random.
    images["VhHkPacket"][31] = 0x81
    images["VhStatusPacket"][123] = 0x01
    acc = []
    for cls, name, kind, where in NUMBERED:
        img = images[cls]
        values = []
        for length in range(len(img) + 1):
            pre = img[:length]
            vals = [numbered_get(kind, where, pre, n) for n in range(256)]
            values.append("".join(str(v) for v in vals) if kind != "u16" else
                          [[n, v] for n, v in enumerate(vals) if v])
        zero = bytearray(len(img))
        put(zero, 4, len(img) - 7, 2)
        after = bytearray(zero)
        for n in range(256):
            numbered_set(kind, where, after, n, True if kind == "flag" else set_value(kind, n))
        if kind == "flag":
            for n in range(0, 256, 3):
                numbered_set(kind, where, after, n, False)
        acc.append({"class": cls, "getter": name, "kind": kind, "image": img.hex(), "values": values,
                    "zero": zero.hex(), "after_set": after.hex()})
    for cls, name, at, n in FIXED:
        img = images[cls]
        values = [get(img[:length], at, n) for length in range(len(img) + 1)]
        if n == 1:
            values = [int(v != 0) for v in values]
        zero = bytearray(len(img))
        after = bytearray(zero)
        put(after, at, 0x89ABCDEF if n == 4 else 1, n)
        acc.append({"class": cls, "getter": name, "kind": "fixed", "image": img.hex(), "values": values,
                    "zero": zero.hex(), "after_set": after.hex()})
    doc["accessors"] = acc

    # Variable-length getters on every prefix of images with chosen data lengths,
    # and setters on a few prefixes.
    var = []
    for cls, start, limit, marker in [("FillPacket", 12, 1024, False), ("MemoryDumpPacket", 16, 1024, False),
                                      ("MessageLogPacket", 12, 1024, False), ("MarkerPacket", 20, 64, True)]:
        for total, dl in [(40, 34), (40, 20), (40, 50), (30, 8), (30, 24)]:
            img = image(rng, 740, total)
            put(img, 4, dl - 1, 2)
            if marker and dl == 34:
                img[27] = 0  # a zero ends the text before the field does
            outcomes = []
            for length in range(total + 1):
                r = var_get(img[:length], start, marker)
                outcomes.append(None if r is None else r.hex())
            sets = []
            for length in ((0, 3, 12, 17, total) if dl == 34 else ()):
                for data in (b"", bytes(range(1, 6)), bytes((i * 7 + 1) & 0xFF for i in range(1030))):
                    sets.append({"length": length, "data": data.hex(),
                                 "image": var_set(img[:length], start, data, limit).hex()})
            var.append({"class": cls, "image": img.hex(), "outcomes": outcomes, "sets": sets})
    doc["variable"] = var

    # Record lists of every prefix of an image, and recalculatePacketSize.
    rec = []
    rf = image(rng, 765, 16 + 30 + 16 + 5)
    rf[15] = 3
    rf_many = bytearray(rf)
    rf_many[15] = 200  # promises more totals than the bytes hold
    for cls, img in [("CtlSumRfPacket", rf), ("CtlSumRfPacket", rf_many), ("CtlSumBinPacket", image(rng, 766, 31)),
                     ("MmcPiraniPacket", image(rng, 755, 61)), ("MmcStripChartPacket", image(rng, 754, 47))]:
        prefixes = []
        for length in range(len(img) + 1):
            pre = bytes(img[:length])
            n = len(pre)
            if cls == "CtlSumRfPacket":
                count = pre[15] if n >= 16 else 0
                totals = [[get(pre, 16 + 10 * i, 4), get(pre, 20 + 10 * i, 2), get(pre, 22 + 10 * i, 4)]
                          for i in range(count) if 26 + 10 * i <= n]
                values, p = [], 16 + 10 * count
                while p + 8 <= n:
                    values.append([get(pre, p + 2 * j, 2) for j in range(4)])
                    p += 8
                records = [totals, values]
                size = 16 + 10 * get(pre, 15, 1) + 8 * len(values)
            elif cls == "CtlSumBinPacket":
                records = [[get(pre, p, 2) for p in range(18, n - 1, 2)]]
                size = 18 + 2 * len(records[0])
            elif cls == "MmcPiraniPacket":
                records = [[[get(pre, 28 + 8 * k, 2), get(pre, 30 + 8 * k, 2), get(pre, 32 + 8 * k, 4)]
                            for k in range(n) if 36 + 8 * k <= n]]
                size = None
            else:
                records = [[[get(pre, 14 + 8 * k + 2 * j, 2) for j in range(4)] for k in range(n) if 22 + 8 * k <= n]]
                size = None
            prefixes.append({"records": records, "size": size})
        rec.append({"class": cls, "image": img.hex(), "prefixes": prefixes})
    doc["records"] = rec

    # Appends on a default packet (its payload zero) and on one read from bytes.
    apps = []
    for cls, total, count in [("MmcPiraniPacket", 826, 100), ("MmcStripChartPacket", 8212, 1030)]:
        for start_len in (total, 44):
            img = bytearray(total) if start_len == total else image(rng, 755 if cls == "MmcPiraniPacket" else 754, 44)
            start = bytes(img)
            listed = (len([k for k in range(44) if 36 + 8 * k <= 44]) if cls == "MmcPiraniPacket" else
                      len([k for k in range(44) if 22 + 8 * k <= 44])) if start_len == 44 else 0
            samples = []
            for i in range(count):
                c = listed + i
                s = [(i * 3 + 1) & 0xFFFF, (i * 5 + 2) & 0xFFFF, (i * 0x01010101 + 7) & 0xFFFFFFFF] \
                    if cls == "MmcPiraniPacket" else [(i + 4 * j) & 0xFFFF for j in range(4)]
                samples.append(s)
                at = (28 if cls == "MmcPiraniPacket" else 14) + 8 * c
                if len(img) < at + 8:
                    img += bytes(at + 8 - len(img))
                if cls == "MmcPiraniPacket":
                    put(img, at, s[0], 2)
                    put(img, at + 2, s[1], 2)
                    put(img, at + 4, s[2], 4)
                    img[13] = (c + 1) & 0xFF
                    put(img, 4, 8 * (c + 1) + 22 - 1, 2)
                else:
                    for j in range(4):
                        put(img, at + 2 * j, s[j], 2)
                    put(img, 4, 8 * (c + 1) + 8 - 1, 2)
            apps.append({"class": cls, "from_bytes": start_len != total,
                         "start": start.hex(), "samples": samples,
                         "listed": listed, "result": bytes(img).hex()})
    doc["appends"] = apps
    with open(os.path.join(out, "packets.json"), "w") as f:
        json.dump(doc, f)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("--packets", type=int, default=40)
    parser.add_argument("--seed", type=int, default=13)
    args = parser.parse_args()
    generate(args.out, args.packets, args.seed)


if __name__ == "__main__":
    main()
