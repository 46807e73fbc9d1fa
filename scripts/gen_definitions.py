#!/usr/bin/python3
"""Writes a complete mission definitions folder, a configuration file that
points at it, packets over its packet types and the values they must decode to;
or, with --layout hub, the small folder of the hub's loading tests (see
generate_hub below).

    gen_definitions.py OUT_DIR [--seed S] [--filler N] [--plugin FILE]...
    gen_definitions.py OUT_DIR --layout hub

Files written below OUT_DIR:
  vekconfig.INI              group VEK (default_group GENERIC) and group GENERIC
                             whose gse, tm_definitions, tm_database, dac_file,
                             data_root and viewers_root point into OUT_DIR
  defs/tmdb.txt              text database: one or more rows per generic decode
                             type (integers, floats, text, bytes, the seven time
                             formats, history statistics), a row for the test
                             decoder plugin (type 204), N filler rows
  defs/Extra_Patch.TXT       text patch, found as "extra_patch" (any case, .txt added)
  defs/dict.json             JSON packet dictionary of two packets (JSON mode)
  defs/tm_packet_types.txt   packet types with all three forms of time item
  defs/clocks.txt            clocks SCLK and GPS
  defs/constants.json        three constants
  defs/dac_table.txt         DAC conversion table
  defs/versions/<date>/      dated databases (folder names yyyy-MM-dd); the
                             later one brings its own tm_packet_types.txt
  defs/plugins/macos/        decoder plugins: a placeholder, and every --plugin FILE
  gse/ data/ viewers/        the remaining folders that the group names
  expected.json              packets (hex) and what every row must decode to

Every expected value is computed here from the field layouts written above,
not by the library. The output depends only on the seed and N.
"""
import argparse
import json
import os
import random
import shutil
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_tmdb  # noqa: E402  (columns, table writer, filler rows)

GROUP = "GENERIC"
SCLK_EPOCH = 946684800  # 2000-01-01T00:00:00Z
GPS_EPOCH = 315964800  # 1980-01-06T00:00:00Z
PLUGIN_DECODE_TYPE = 204  # the test plugin's byte_sum
PLUGIN_DECODER_NAME = "byte_sum"
PACKETS_PER_TYPE = 3
PATCH_ID = 60
PATCH_COLUMNS = ["DATA_ID", "SUB_SYSTEM", "NAME", "DESCRIPTION", "PACKET_TYPE", "DECODE_TYPE", "DECODE_ID1",
                 "DECODE_ID2", "DECODE_ID3", "DECODE_ID4", "RAW_FMT", "ENG_FMT", "ENG_EQ_TYPE", "ENG_K1", "ENG_K2",
                 "SCI_UNITS", "SCI_FMT", "SCI_EQ_TYPE", "SCI_FROM_ENG"] + ["SCI_K%d" % i for i in range(1, 9)]
FILLER_FIRST_ID = 1000
FILLER_FIRST_TYPE = 100


# ---------------------------------------------------------------- rows

def row(data_id, sub, name, packet, decode_type, id1, id2, id3="0", id4="0", **extra):
    """A database line's cells with neutral defaults (identity conversions)."""
    cells = dict.fromkeys(gen_tmdb.COLUMNS, "")
    cells.update({
        "SUB_SYSTEM": sub, "NAME": name, "DESCRIPTION": "%s %s" % (sub.lower(), name.lower()),
        "DATA_ID": str(data_id), "PACKET_TYPE": str(packet), "PACKET_SUBTYPE": "0",
        "PACKET_NAME": "PKT_%d" % packet, "DECODE_TYPE": str(decode_type),
        "DECODE_ID1": str(id1), "DECODE_ID2": str(id2), "DECODE_ID3": str(id3), "DECODE_ID4": str(id4),
        "RAW_FMT": "%d", "ENG_FMT": "%.3f", "ENG_EQ_TYPE": "0", "ENG_K1": "0", "ENG_K2": "1",
        "SCI_UNITS": "V", "SCI_FMT": "%.3f", "SCI_EQ_TYPE": "0", "SCI_FROM_ENG": "N",
        "SCI_K1": "0", "SCI_K2": "1", "SCI_K3": "0", "SCI_K4": "0", "SCI_K5": "0", "SCI_K6": "0",
        "SCI_K7": "0", "SCI_K8": "0", "TARQ_MINE_TYPE": "all",
    })
    for k, v in extra.items():
        cells[k] = str(v)
    return cells


def poly(k, x):
    """Horner's rule from the highest non-zero coefficient (index 1 and up), as
    the polynomial transfer function evaluates."""
    order = 0
    for i in range(len(k) - 1, 0, -1):
        if k[i] != 0.0:
            order = i
            break
    y = k[order]
    for i in range(order - 1, -1, -1):
        y = y * x + k[i]
    return y


class Conversion:
    """ENG type 0/1 (K1 + K2 x) and SCI type 0/1 (K1..K8 polynomial)."""

    def __init__(self, eng=None, sci=None, sci_from_eng=False):
        self.eng = eng  # (K1, K2) or None for identity
        self.sci = sci  # eight coefficients or None for identity
        self.sci_from_eng = sci_from_eng

    def cells(self):
        c = {}
        if self.eng:
            c.update(ENG_EQ_TYPE="1", ENG_K1=repr(self.eng[0]), ENG_K2=repr(self.eng[1]))
        if self.sci:
            c["SCI_EQ_TYPE"] = "1"
            for i, k in enumerate(self.sci):
                c["SCI_K%d" % (i + 1)] = repr(k)
        c["SCI_FROM_ENG"] = "Y" if self.sci_from_eng else "N"
        return c

    def eng_value(self, raw):
        return poly(list(self.eng), raw) if self.eng else raw

    def sci_value(self, raw):
        x = self.eng_value(raw) if self.sci_from_eng else raw
        return poly(self.sci, x) if self.sci else x


IDENTITY = Conversion()


class Field:
    """One row of the generated database with how to fill and read it."""

    def __init__(self, cells, fill, conversion=IDENTITY):
        self.cells = cells
        self.fill = fill  # fill(rng, packet_bytes) -> list of (offset, count, value, time_offset)
        self.conversion = conversion

    @property
    def id(self):
        return int(self.cells["DATA_ID"])

    @property
    def key(self):
        return "%s:%s" % (self.cells["SUB_SYSTEM"], self.cells["NAME"])

    @property
    def packet(self):
        return int(self.cells["PACKET_TYPE"])


def put(buf, offset, data):
    buf[offset:offset + len(data)] = data


def number_text(v):
    """DataItem::toString of a value: six decimals for doubles, digits for integers."""
    return "%.6f" % v if isinstance(v, float) else str(v)


def leading_number(text):
    """The value of a text item: its leading decimal number, else 0."""
    best = 0.0
    s = text.lstrip(" \t\n\r\f\v")
    for end in range(len(s), 0, -1):
        try:
            best = float(s[:end])
            break
        except ValueError:
            continue
    return best


# Fill functions: each writes its field into the packet and returns the items
# the field must decode to: (offset, count, value, time offset).

def fill_be(offset, n, mask, shift, signed_bits=0, samples=1, step=None, periods=None):
    def f(rng, buf):
        items = []
        for k in range(samples):
            o = offset + k * (step or n)
            word = rng.getrandbits(8 * n)
            put(buf, o, word.to_bytes(n, "big"))
            v = ((word & (mask or (1 << 64) - 1)) >> shift)
            if signed_bits and v & (1 << (signed_bits - 1)):
                v -= 1 << signed_bits
            items.append((o, n, v, periods[k] if periods else 0.0))
        return items
    return f


def fill_offsets(offsets, n):
    def f(rng, buf):
        items = []
        for o, t in offsets:
            word = rng.getrandbits(8 * n)
            put(buf, o, word.to_bytes(n, "big"))
            items.append((o, n, word, t))
        return items
    return f


def fill_le(offset, n, mask, shift):
    def f(rng, buf):
        word = rng.getrandbits(8 * n)
        put(buf, offset, word.to_bytes(n, "little"))
        return [(offset, n, (word & mask) >> shift, 0.0)]
    return f


def fill_ranks(offset, ranks):
    """Unsigned over explicit byte ranks (1 = least significant)."""
    def f(rng, buf):
        value = 0
        for k, r in enumerate(ranks):
            b = rng.getrandbits(8)
            buf[offset + k] = b
            value |= b << (8 * (r - 1))
        return [(offset, len(ranks), value, 0.0)]
    return f


def fill_float(offset, fmt, choices):
    def f(rng, buf):
        v = rng.choice(choices)
        data = struct.pack(fmt, v)
        put(buf, offset, data)
        return [(offset, len(data), struct.unpack(fmt, data)[0], 0.0)]
    return f


def fill_text(offset, data, text, count):
    def f(rng, buf):
        put(buf, offset, data)
        return [(offset, count, text, 0.0)]
    return f


def fill_time(offset, layout, clock_epoch=None):
    """The seven fixed-width time formats; with a clock the value is Unix seconds."""
    def f(rng, buf):
        secs = rng.randint(100000, 700000000)
        if layout == "TIME40":
            data, value, frac, per = secs.to_bytes(4, "big"), float(secs), 0, 1
        elif layout == "RTIME40":
            data, value, frac, per = secs.to_bytes(4, "little"), float(secs), 0, 1
        elif layout == "TIME41":
            frac = rng.randint(0, 255)
            data, value, per = secs.to_bytes(4, "big") + bytes([frac]), secs + frac * 0.00390625, 256
        elif layout == "TIME42":
            frac = rng.randint(0, 65535)
            data, value, per = secs.to_bytes(4, "big") + frac.to_bytes(2, "big"), secs + frac / 65536.0, 65536
        elif layout == "TIME44":
            frac = rng.randint(0, 999999)
            data, value, per = secs.to_bytes(4, "big") + frac.to_bytes(4, "big"), secs + frac / 1e6, 1000000
        elif layout == "TIMENS":
            ns = secs * 1000000000 + rng.randint(0, 999999999)
            data, value = ns.to_bytes(8, "big"), ns / 1e9
            secs, frac, per = ns // 1000000000, ns % 1000000000, 1000000000
        elif layout == "TIME12":
            secs = rng.randint(0, 255)
            frac = rng.randint(0, 65535)
            data, value, per = bytes([secs]) + frac.to_bytes(2, "big"), secs + frac / 65536.0, 65536
        else:
            raise ValueError(layout)
        if clock_epoch is not None:
            value = float(secs + clock_epoch) + (frac / per if per > 1 else 0.0)
        put(buf, offset, data)
        return [(offset, len(data), value, 0.0)]
    return f


def fill_none(rng, buf):
    return []


def fill_plugin(offset, n):
    def f(rng, buf):
        data = bytes(rng.getrandbits(8) for _ in range(n))
        put(buf, offset, data)
        return [(offset, n, sum(data), 0.0)]
    return f


FLOATS = [1.5, -2.25, 0.1, 3.4028234663852886e38, -0.0, 1.1754943508222875e-38, 12345.678]
DOUBLES = [2.5, -1e300, 5e-324, 0.1, 1.0 / 3.0, -123456.789]

PACKET_LENGTHS = {10: 64, 11: 48, 12: 60, 13: 40, 14: 24}
PACKET_TYPE_LINES = [
    "# type, name, ground created, min length, max length[, time item]",
    "10, HK_GEN, false, 64, 64",
    "11, TEXT_GEN, false, 48, 48",
    "",
    "12, TIME_GEN, false, 56, 64, TIME:CLOCKED",
    "  13 , STATS_GEN , true , 16 , 256 , PKT13_TIME  ",
    "14, PLUGIN_GEN, false, -1, -1, 51",
    "0x10, HEX_TYPE, tx, 1, 2",
]
EXPECTED_TYPES = {
    10: ("HK_GEN", False, 64, 64, -1, ""),
    11: ("TEXT_GEN", False, 48, 48, -1, ""),
    12: ("TIME_GEN", False, 56, 64, 37, "CLOCKED"),
    13: ("STATS_GEN", True, 16, 256, 38, "PKT13_TIME"),
    14: ("PLUGIN_GEN", False, -1, -1, 51, "GPS_TIME"),
    16: ("HEX_TYPE", True, 1, 2, -1, ""),
}


def fields():
    u8 = Conversion(eng=(1.5, 0.25), sci=[0.5, 2.0, 0.01, 0, 0, 0, 0, 0], sci_from_eng=True)
    le32 = Conversion(eng=(-10.0, 0.001))
    twos = Conversion(eng=(0.0, 0.5), sci=[1.0, 0.5, 0.25, 0.125, 0, 0, 0, 0], sci_from_eng=True)
    raw_sci = Conversion(eng=(100.0, 2.0), sci=[-1.0, 0.5, 0, 0, 0, 0, 0, 0], sci_from_eng=False)
    out = [
        # Integers and floating point (packet type 10).
        Field(row(1, "GEN", "U8", 10, 1, 6, 1, "0xFF", **u8.cells()), fill_be(6, 1, 0xFF, 0), u8),
        Field(row(2, "GEN", "U16_BITS", 10, 1, 7, 2, "0x0FF0", 4), fill_be(7, 2, 0x0FF0, 4)),
        Field(row(3, "GEN", "LE32", 10, 2, 9, 4, "0xFFFFFFFF", **le32.cells()),
              fill_le(9, 4, 0xFFFFFFFF, 0), le32),
        Field(row(4, "GEN", "LE16_HIGH", 10, 2, 13, 2, "0xFF00", 8), fill_le(13, 2, 0xFF00, 8)),
        Field(row(5, "GEN", "UINT_LE24", 10, 3, 15, "1:2:3", "0", **raw_sci.cells()),
              fill_ranks(15, [1, 2, 3]), raw_sci),
        Field(row(6, "GEN", "TWOS12", 10, 4, 18, 2, "0x0FFF", **twos.cells()),
              fill_be(18, 2, 0x0FFF, 0, signed_bits=12), twos),
        Field(row(7, "GEN", "TWOS32", 10, 4, 20, 4, "0xFFFFFFFF"), fill_be(20, 4, 0xFFFFFFFF, 0, signed_bits=32)),
        Field(row(8, "GEN", "FLOAT", 10, 5, 24, 4), fill_float(24, ">f", FLOATS)),
        Field(row(9, "GEN", "FLOAT_LE", 10, 5, 28, "1:2:3:4"), fill_float(28, "<f", FLOATS)),
        Field(row(10, "GEN", "DOUBLE", 10, 6, 32, 8), fill_float(32, ">d", DOUBLES)),
        Field(row(11, "GEN", "ARRAY", 10, 1, 40, 2, "0xFFFF", ARRAY_LENGTH=3, SAMPLE_PERIOD=0.5),
              fill_be(40, 2, 0xFFFF, 0, samples=3, periods=[0.0, 0.5, 1.0])),
        Field(row(12, "GEN", "OFFSET_LIST", 10, 1, "46,0.0:50,0.25", 1, "0xFF"),
              fill_offsets([(46, 0.0), (50, 0.25)], 1)),
        # Text and bytes (packet type 11).
        Field(row(20, "TXT", "NAME", 11, 7, 6, "1:2:3:4:5:6:7:8"), fill_text(6, b"PRAXA\0zz", "PRAXA", 5)),
        Field(row(21, "TXT", "REVERSED", 11, 7, 14, 4), fill_text(14, b"4.21", "12.4", 4)),
        Field(row(22, "TXT", "TAIL", 11, 7, 18, -2), fill_text(18, b"42.5V\0", "42.5V", 5)),
        Field(row(23, "RAW", "BYTES", 11, 61, 30, 6), fill_text(30, b"7\0\x01\xfe\0B", "7\0\x01\xfe\0B", 6)),
        # Time formats (packet type 12); CLOCKED is the type's time item.
        Field(row(30, "TIME", "T40", 12, 8, 6, 4), fill_time(6, "TIME40")),
        Field(row(31, "TIME", "RT40", 12, 28, 10, 4), fill_time(10, "RTIME40")),
        Field(row(32, "TIME", "T41", 12, 14, 14, 5), fill_time(14, "TIME41")),
        Field(row(33, "TIME", "T42", 12, 9, 19, 6), fill_time(19, "TIME42")),
        Field(row(34, "TIME", "T44", 12, 10, 25, 8), fill_time(25, "TIME44")),
        Field(row(35, "TIME", "TNS", 12, 21, 33, 8), fill_time(33, "TIMENS")),
        Field(row(36, "TIME", "T12", 12, 12, 41, 3), fill_time(41, "TIME12")),
        Field(row(37, "TIME", "CLOCKED", 12, 9, 44, 6, CLOCK="SCLK"), fill_time(44, "TIME42", SCLK_EPOCH)),
        # Statistics over histories (packet type 13), timed by a row without SUB_SYSTEM.
        Field(row(38, "", "PKT13_TIME", 13, 10, 6, 8, CLOCK="SCLK"), fill_time(6, "TIME44", SCLK_EPOCH)),
    ]
    for k, t in enumerate(range(51, 57)):
        out.append(Field(row(40 + k, "STAT", "HIST_%d" % t, 13, t, 14, 2), fill_none))
    # The test decoder plugin (packet type 14), timed by a GPS row named by id.
    out.append(Field(row(50, "PLUG", "SUM4", 14, PLUGIN_DECODE_TYPE, 6, 4), fill_plugin(6, 4)))
    out.append(Field(row(51, "PLUG", "GPS_TIME", 14, 8, 10, 4, CLOCK="GPS"), fill_time(10, "TIME40", GPS_EPOCH)))
    return out


# ---------------------------------------------------------------- packets

def ccsds(apid, count, data_length, body):
    """A CCSDS packet: version 0, telemetry, no secondary header, unsegmented."""
    total = 6 + data_length
    buf = bytearray(total)
    buf[0] = (apid >> 8) & 0x07
    buf[1] = apid & 0xFF
    seq = (3 << 14) | (count & 0x3FFF)
    buf[2:4] = seq.to_bytes(2, "big")
    buf[4:6] = (data_length - 1).to_bytes(2, "big")
    for offset, data in body:
        buf[offset:offset + len(data)] = data
    return buf


def item_json(item):
    offset, count, value, t = item
    out = {"offset": offset, "count": count, "time_offset": t}
    if isinstance(value, str):
        out["text_hex"] = value.encode("latin-1").hex()
        out["raw"] = leading_number(value.split("\0")[0])
    else:
        out["text"] = number_text(value)
        out["raw"] = float(value)
    return out


def make_packets(rng, flds):
    packets, values, patch_values = [], [], []
    by_type = {}
    for f in flds:
        by_type.setdefault(f.packet, []).append(f)
    for ptype in sorted(by_type):
        for n in range(PACKETS_PER_TYPE):
            buf = ccsds(ptype, n, PACKET_LENGTHS[ptype] - 6, [])
            # Only packets that the packet types written here admit (lengths of whole packets).
            low, high = EXPECTED_TYPES[ptype][2:4]
            if not (low < 0 or low <= len(buf) <= high):
                raise AssertionError("type %d packet of %d bytes; its type allows %d to %d" % (ptype, len(buf), low, high))
            index = len(packets)
            for f in by_type[ptype]:
                items = f.fill(rng, buf)
                entry = {"packet": index, "id": f.id, "key": f.key, "ok": bool(items),
                         "items": [item_json(i) for i in items]}
                if items:
                    raw = entry["items"][0]["raw"]
                    entry["raw"] = raw
                    entry["eng"] = f.conversion.eng_value(raw)
                    entry["sci"] = f.conversion.sci_value(raw)
                    first = items[0][2]
                    entry["string_hex" if isinstance(first, str) else "string"] = (
                        first.encode("latin-1").hex() if isinstance(first, str) else number_text(first))
                    # A clocked row that is its packet type's time item
                    # times its sample itself (relative time 0).
                    entry["own_time"] = f.cells["CLOCK"] != "" and f.id == EXPECTED_TYPES[ptype][4]
                values.append(entry)
            if ptype == 10:
                patch_values.append({"packet": index, "raw": float(buf[6] >> 4)})
            packets.append({"type": ptype, "hex": bytes(buf).hex()})
    return packets, values, patch_values


# ---------------------------------------------------------------- other files

def write_json(path, obj):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        json.dump(obj, f, indent=1)
        f.write("\n")


def dictionary(rng):
    """Two JSON packets; offsets count from the packet's first byte, so a
    six-byte header field comes first."""
    packets = [
        {"packetName": "JHK", "packetId": 20, "apid": 20, "gse": False, "fields": [
            {"fieldName": "HDR", "type": "uint8_t", "arrayLength": 6, "description": "primary header"},
            {"fieldName": "VOLTS", "type": "uint16_t", "units": "V",
             "conversion": {"uncalToCalFunction": "polynomial", "uncalToCalArgs": [-3.5, 0.125]}},
            {"fieldName": "FLAGS", "type": "uint8_t", "bitFields": [["LO", "b3"], ["HI", "b5"]]},
            {"fieldName": "COUNT_LE", "type": "uint32_t", "byteOrder": "4321"},  # ranks 1:2:3:4
            {"fieldName": "TEMP", "type": "float"},
        ]},
        {"packetName": "JGSE", "packetId": 21, "apid": 21, "gse": True, "fields": [
            {"fieldName": "HDR", "type": "uint8_t", "arrayLength": 6},
            {"fieldName": "DELTA", "type": "int16_t"},
        ]},
    ]
    base20, base21 = 20 << 15, 21 << 15
    expected_rows = {"JHK:HDR": base20, "JHK:VOLTS": base20 | 1, "JHK:FLAGS": base20 | 2,
                     "JHK:LO": base20 | 3, "JHK:HI": base20 | 4, "JHK:COUNT_LE": base20 | 5,
                     "JHK:TEMP": base20 | 6, "JGSE:HDR": base21, "JGSE:DELTA": base21 | 1}
    pkts, values = [], []
    for n in range(2):
        volts = rng.randint(0, 65535)
        flags = rng.randint(0, 255)
        count = rng.getrandbits(32)
        temp = rng.choice(FLOATS[:3])
        body = [(6, volts.to_bytes(2, "big")), (8, bytes([flags])), (9, count.to_bytes(4, "little")),
                (13, struct.pack(">f", temp))]
        buf = ccsds(20, n, 17 - 6, body)
        index = n
        pkts.append({"type": 20, "hex": bytes(buf).hex()})
        for key, raw, sci in [("JHK:VOLTS", volts, poly([-3.5, 0.125, 0, 0, 0, 0, 0, 0], volts)),
                              ("JHK:LO", flags & 0x7, flags & 0x7), ("JHK:HI", flags >> 3, flags >> 3),
                              ("JHK:COUNT_LE", count, count),
                              ("JHK:TEMP", struct.unpack(">f", struct.pack(">f", temp))[0], None)]:
            values.append({"packet": index, "key": key, "id": expected_rows[key], "raw": float(raw),
                           "sci": float(sci if sci is not None else raw)})
    delta = -12345
    buf = ccsds(21, 0, 8 - 6, [(6, (delta & 0xFFFF).to_bytes(2, "big"))])
    pkts.append({"type": 21, "hex": bytes(buf).hex()})
    values.append({"packet": 2, "key": "JGSE:DELTA", "id": expected_rows["JGSE:DELTA"],
                   "raw": float(delta), "sci": float(delta)})
    types = {"20": ["JHK", False, -1, -1], "21": ["JGSE", True, -1, -1]}
    return {"Packets": packets}, {"rows": expected_rows, "packets": pkts, "values": values,
                                  "packet_types": types}


def dac_rows():
    """(id, number, name, bits, mask, signed, a, b) and counts with their values."""
    rows = [
        (0, 0, "DAC_FOCUS", 12, "0xFFF", 0, 0.0, 409.5),
        (1, 1, "DAC_BIAS", 12, "0xFFF", 1, 0.0, 20.0),
        (2, 2, "DAC_RF", 16, "0xFFFF", 0, 32768.0, 3276.8),
        (13, 3, "DAC_AMP", 8, "0377", 0, 10.0, 2.0),
    ]
    checks = []
    for r in rows:
        for count in (0, 100, 2047, 2048, 4095):
            c = count
            if r[5]:
                c &= int(r[4], 0)
                if c & (1 << (r[3] - 1)):
                    c -= 1 << r[3]
            checks.append({"id": r[0], "name": r[2], "count": count, "value": (c - r[6]) / r[7]})
    return rows, checks


def write_database(path, lines_cells, revision):
    gen_tmdb.write_table(path, gen_tmdb.COLUMNS, revision,
                         ["\t".join(c[col] for col in gen_tmdb.COLUMNS) for c in lines_cells])


def generate(out, seed, filler, plugins):
    rng = random.Random(seed)
    out = os.path.abspath(out)
    defs = os.path.join(out, "defs")
    for d in ("defs/plugins/macos", "defs/versions/2020-01-01", "defs/versions/2022-06-15",
              "gse", "data", "viewers"):
        os.makedirs(os.path.join(out, d), exist_ok=True)

    flds = fields()
    cells = [f.cells for f in flds]
    names = set()
    for k in range(filler):
        ptype = FILLER_FIRST_TYPE + k * 20 // max(filler, 1)
        c, _ = gen_tmdb.main_row(rng, FILLER_FIRST_ID + k, ptype, 16 + 4 * (k % 100), names)
        cells.append(c)
    write_database(os.path.join(defs, "tmdb.txt"), cells, "5100")

    # A text patch over a column subset: a new row, and a rename of row 2
    # (an empty SUB_SYSTEM cell keeps the row's own).
    patch = row(PATCH_ID, "PATCH", "ADDED", 10, 1, 6, 1, "0xF0", 4)
    rename = dict.fromkeys(PATCH_COLUMNS, "")
    rename.update(DATA_ID="2", NAME="U16_RENAMED")
    gen_tmdb.write_table(os.path.join(defs, "Extra_Patch.TXT"), PATCH_COLUMNS, "5101",
                         ["# adds one row and renames another",
                          "\t".join(patch[c] for c in PATCH_COLUMNS),
                          "\t".join(rename[c] for c in PATCH_COLUMNS)])

    with open(os.path.join(defs, "tm_packet_types.txt"), "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(PACKET_TYPE_LINES) + "\n")

    write_json(os.path.join(defs, "clocks.txt"), {"clocks": [
        {"name": "SCLK", "epoch": "2000-01-01T00:00:00", "leap_seconds_offset": 0,
         "sub_seconds_per_second": 0, "leap_seconds": []},
        {"name": "GPS", "epoch": "1980-01-06T00:00:00", "leap_seconds_offset": 0,
         "sub_seconds_per_second": 0, "leap_seconds": []},
    ]})
    constants = [{"name": "Gain", "type": "int", "value": "12"},
                 {"name": "Vref", "type": "double", "value": "2.5"},
                 {"name": "Model", "type": "string", "value": "FM"}]
    write_json(os.path.join(defs, "constants.json"), constants)

    rows, dac_checks = dac_rows()
    with open(os.path.join(defs, "dac_table.txt"), "w", encoding="utf-8", newline="\n") as f:
        f.write("# id\tnumber\tname\tbits\tmask\tsigned\ta\tb\n")
        for r in rows:
            f.write("\t".join(str(x) for x in r) + "\n")

    doc, json_expected = dictionary(rng)
    write_json(os.path.join(defs, "dict.json"), doc)

    # Dated databases: the same item with another engineering slope, and a
    # marker row per version; the later folder has its own packet types.
    versions = []
    for folder, slope, marker, types_line in [("2020-01-01", 0.5, 9001, None),
                                              ("2022-06-15", 0.75, 9002, "15, V2_ONLY, false, -1, -1")]:
        conv = Conversion(eng=(0.0, slope))
        version_rows = [row(1, "GEN", "U8", 10, 1, 6, 1, "0xFF", **conv.cells()),
                        row(marker, "VER", "V%d" % marker, 10, 1, 7, 1, "0xFF")]
        name = "tmdb_%s.txt" % folder.replace("-", "")
        write_database(os.path.join(defs, "versions", folder, name), version_rows, str(marker))
        if types_line:
            with open(os.path.join(defs, "versions", folder, "tm_packet_types.txt"), "w", encoding="utf-8") as f:
                f.write(PACKET_TYPE_LINES[1] + "\n" + types_line + "\n")
        versions.append({"folder": folder, "file": os.path.join(defs, "versions", folder, name),
                         "marker_id": marker, "marker_key": "VER:V%d" % marker, "eng_slope": slope,
                         "own_packet_types": bool(types_line)})
    queries = [("2021-01-01T00:00:00", "2020-01-01"),
               ("2022-06-15T00:00:01", "2022-06-15"), ("2030-01-01T00:00:00", "2022-06-15")]

    with open(os.path.join(defs, "plugins", "macos", "README.txt"), "w", encoding="utf-8") as f:
        f.write("Decoder-maker plugins of this mission are loaded from this folder.\n")
    copied = []
    for p in plugins:
        target = os.path.join(defs, "plugins", "macos", os.path.basename(p))
        shutil.copy(p, target)
        copied.append(target)

    ini = os.path.join(out, "vekconfig.INI")
    with open(ini, "w", encoding="utf-8", newline="\n") as f:
        f.write("[VEK]\ndefault_group=%s\n\n[%s]\n" % (GROUP, GROUP))
        for key, value in [("gse", "gse"), ("tm_definitions", "defs"), ("tm_database", "defs/tmdb.txt"),
                           ("dac_file", "defs/dac_table.txt"), ("data_root", "data"), ("viewers_root", "viewers")]:
            f.write("%s=%s\n" % (key, os.path.join(out, value)))

    packets, values, patch_values = make_packets(rng, flds)
    expected = {
        "group": GROUP,
        "ini": ini,
        "definitions": defs,
        "database": os.path.join(defs, "tmdb.txt"),
        "text_rows": len(cells),
        "revision": "5100",
        "patch": {"name": "extra_patch", "id": PATCH_ID, "key": "PATCH:ADDED", "renamed_id": 2,
                  "renamed_key": "GEN:U16_RENAMED", "revision": "5101", "values": patch_values},
        "packet_types": {str(t): list(v) for t, v in EXPECTED_TYPES.items()},
        "packets": packets,
        "values": values,
        "history_ids": [40 + k for k in range(6)],
        "decode_types": sorted({int(c["DECODE_TYPE"]) for c in cells}),
        "plugin": {"decode_type": PLUGIN_DECODE_TYPE, "name": PLUGIN_DECODER_NAME, "id": 50, "files": copied},
        "json": dict(json_expected, file="dict.json"),
        "dac": {"file": os.path.join(defs, "dac_table.txt"),
                "rows": [{"id": r[0], "name": r[2], "bits": r[3], "signed": bool(r[5]), "a": r[6], "b": r[7]}
                         for r in rows],
                "checks": dac_checks},
        "versions": {"folder": os.path.join(defs, "versions"), "filter": "tmdb*.txt", "date_format": "yyyy-MM-dd",
                     "databases": versions,
                     "queries": [{"time": t, "folder": v} for t, v in queries]},
        "constants": constants,
    }
    write_json(os.path.join(out, "expected.json"), expected)


# ---------------------------------------------------------------- hub layout

# Decode types 201 (big-endian 16 bits at each offset) and 202 (the row's
# EXTRA_1 text) and ENG equation type 900 (k1 + k2 * x) are those of the test
# decoder plugin (tests/gselib/interpretation/testplugin); decode type 77 has
# no decoder anywhere.
# (DATA_ID, SUB_SYSTEM, NAME, PACKET_TYPE, DECODE_TYPE, DECODE_ID1, DECODE_ID2, extra cells)
HUB_ROWS = [
    (1, "HK", "TEMP", 12, 201, "6", "2", {"ENG_EQ_TYPE": "900", "ENG_K1": "1", "ENG_K2": "2"}),
    (2, "HK", "VOLT", 12, 201, "8", "2", {}),
    (3, "HK", "LABEL", 12, 202, "4:6", "2", {"EXTRA_1": "  42.5 volts"}),
    (4, "HK", "ODD", 12, 77, "6", "2", {}),
    (5, "SYS", "TIME", 2, 201, "6", "2", {}),
]


def hub_row(data_id, sub, name, packet, decode_type, id1, id2, extra, description=""):
    """A row with the hub tests' neutral cells: no packet name, no mining
    type, all SCI coefficients 0."""
    cells = row(data_id, sub, name, packet, decode_type, id1, id2, "0xFFFF",
                DESCRIPTION=description or "%s %s" % (sub, name), PACKET_NAME="", ENG_FMT="%.2f",
                SCI_FMT="%.2f", SCI_K2="0", TARQ_MINE_TYPE="")
    cells.update(extra)
    return cells


def generate_hub(out):
    """The hub's loading tests' folder, written to OUT_DIR itself:
      tmdb.txt              main text database (every column), rows of APIDs 2 and 12
      PATCH_A.txt           text patch, found by the name "patch_a" ignoring case
      dict.json             JSON packet dictionary of packet 300
      tm_packet_types.txt   packet types 2 and 12
      dac.txt               a DAC table of two rows
      versions/2024-01-01/tmdb_v1.txt, versions/2024-06-01/tmdb_v2.txt
                            dated databases, told apart by their revision
      plugins/macos/        empty; tests copy decoder plugins into it
    """
    os.makedirs(os.path.join(out, "plugins", "macos"), exist_ok=True)
    write_database(os.path.join(out, "tmdb.txt"), [hub_row(*r) for r in HUB_ROWS], "100")
    write_database(os.path.join(out, "PATCH_A.txt"),
                   [hub_row(2, "HK", "VOLT", 12, 201, "8", "2", {}, "patched volt"),
                    hub_row(6, "HK", "NEW", 12, 201, "10", "2", {})], "101")
    with open(os.path.join(out, "dict.json"), "w", encoding="utf-8") as f:
        json.dump({"Packets": [{"packetName": "JPKT", "packetId": 300, "apid": 1300, "gse": False,
                                "fields": [{"fieldName": "A", "type": "uint16_t", "description": "a"},
                                           {"fieldName": "B", "type": "uint8_t", "description": "b"}]}]},
                  f, indent=1)
    with open(os.path.join(out, "tm_packet_types.txt"), "w", encoding="utf-8") as f:
        f.write("# id, name, ground-created, min length, max length, time item\n")
        f.write("2, TIME, false, 8, 64, SYS:TIME\n")
        f.write("12, HK, false, 8, 200\n")
    with open(os.path.join(out, "dac.txt"), "w", encoding="utf-8") as f:
        f.write("1\t0\tHTR_DAC\t12\t0xFFF\t0\t0.0\t1.0\n")
        f.write("2\t1\tLSR_DAC\t16\t0xFFFF\t1\t10.0\t2.0\n")
    for day, revision in (("2024-01-01", "201"), ("2024-06-01", "202")):
        folder = os.path.join(out, "versions", day)
        os.makedirs(folder, exist_ok=True)
        write_database(os.path.join(folder, "tmdb_v%s.txt" % revision[-1]),
                       [hub_row(7, "VER", "ITEM", 12, 201, "6", "2", {}, "version %s" % revision)], revision)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--filler", type=int, default=200, help="random rows from gen_tmdb.py")
    ap.add_argument("--plugin", action="append", default=[], help="plugin file copied into plugins/macos")
    ap.add_argument("--layout", choices=["mission", "hub"], default="mission",
                    help="hub: the hub loading tests' small folder (the other options are ignored)")
    args = ap.parse_args()
    if args.layout == "hub":
        generate_hub(args.out)
    else:
        generate(args.out, args.seed, args.filler, args.plugin)


if __name__ == "__main__":
    main()
