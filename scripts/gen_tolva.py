#!/usr/bin/python3
"""Writes second-instrument definitions and archives, with what they must decode to.

    gen_tolva.py OUT_DIR [--packets N] [--seed S]

Files written to OUT_DIR:
  defs/tmdb.txt             database: rows of decode types 100-112, rows of
                            equation types 100-107 (some with the two
                            engineering coefficients only), CTL.STATUS:
                            BIN_TIME_RDBK and MMC.HK:V_2P50_VREF
  defs/tm_packet_types.txt  APIDs 737-766 but 757, limits in data lengths,
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

N (default 40) is the number of packets of each archive; the output depends
only on N and the seed.
"""
import argparse
import calendar
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

# APID: (name, total bytes of the packets written here)
APIDS = {
    737: ("CRIT_HK", 52), 738: ("BOOT_HK", 39), 739: ("DIGITAL_HK", 68), 740: ("FILL", 41),
    741: ("MEMDUMP", 60), 742: ("MSG", 44), 743: ("MKR", 90), 744: ("VH_HK", 54),
    745: ("VH_STAT", 160), 746: ("PT_HK", 337), 747: ("PT_STAT", 337), 748: ("LEU_HKHS", 233),
    749: ("LEU_HK", 126), 750: ("LEU_HKINDX", 233), 751: ("LEU_STAT", 93), 752: ("LEU_MAX_HKHS", 22),
    753: ("MMC_HK", 170), 754: ("MMC_SC", 68), 755: ("MMC_PIRANI", 78), 756: ("MMC_HKHS", 42),
    758: ("CTL_HK", 214), 759: ("CTL_STAT", 286), 760: ("CTL_SEQ_DUMP", 100),
    761: ("CTL_DDS_DUMP", 100), 762: ("CTL_SCI", 130), 763: ("CTL_AUX_DUMP", 100),
    764: ("CTL_GENREG_DUMP", 100), 765: ("CTL_SUM_RF", 60), 766: ("CTL_SUM_BIN", 18),
}
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


def packet_type_lines():
    lines = ["# id, name, ground, min data length, max data length"]
    for apid, (name, size) in sorted(APIDS.items()):
        if apid == 740:
            lines.append("%d, %s, false, -1, -1" % (apid, name))
        else:
            lines.append("%d, %s, false, 7, %d" % (apid, name, size - 5))
    return lines


def archive_packets(rng, count, start):
    """`count` packets of chosen APIDs, times increasing from `start` seconds."""
    out = []
    t = start
    for i in range(count):
        apid = WEIGHTED[i % len(WEIGHTED)] if i < len(WEIGHTED) else rng.choice(WEIGHTED)
        size = APIDS[apid][1]
        if apid == 765:
            size = 16 + 10 * rng.randint(1, 3) + 8 * rng.randint(0, 3)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("--packets", type=int, default=40)
    parser.add_argument("--seed", type=int, default=13)
    args = parser.parse_args()
    generate(args.out, args.packets, args.seed)


if __name__ == "__main__":
    main()
