#!/usr/bin/python3
"""Writes a telemetry database of realistic size, with patches, into a folder.

    gen_tmdb.py OUT_DIR [--rows N] [--seed S]

Files written to OUT_DIR:
  tmdb.txt        main database: every column, N rows over 60 packet types
  patch_1.txt     text patch: a column subset in another order, updates,
                  renames, removals (negative ids), new rows, comments
  patch_2.json    JSON packet dictionary of 20 packets
  clocks.txt      two clock definitions (JSON)
  constants.json  a few constants
  expected.json   what a loader must end with: row count, a sample of ids
                  with their keys, removed ids, renamed keys, revision

The output depends only on N and the seed.
"""
import argparse
import json
import os
import random

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

# The required columns plus the mining type, in a different order and case.
PATCH_COLUMNS = [
    "data_id", "Name", "SUB_SYSTEM", "DESCRIPTION", "PACKET_TYPE", "DECODE_TYPE", "DECODE_ID1",
    "DECODE_ID2", "DECODE_ID3", "DECODE_ID4", "RAW_FMT", "ENG_FMT", "ENG_EQ_TYPE", "ENG_K1",
    "ENG_K2", "SCI_UNITS", "SCI_FMT", "SCI_EQ_TYPE", "SCI_FROM_ENG", "SCI_K1", "SCI_K2", "SCI_K3",
    "SCI_K4", "SCI_K5", "SCI_K6", "SCI_K7", "SCI_K8", "TARQ_MINE_TYPE",
]

SUBSYSTEMS = ["PWR", "THERM", "SEB", "LASER", "GC", "MAIF", "CMD", "HTR", "PRESS", "RF"]
WORDS = ["TEMP", "VOLT", "CURR", "STAT", "CNT", "MODE", "FLAG", "PRES", "FREQ", "AMP", "ERR",
         "SEQ", "BIAS", "GAIN", "DAC", "ADC", "PWM", "RATE"]
UNITS = ["V", "mA", "degC", "Pa", "Hz", "counts", "W", "Ohm", "s", "%"]

PACKET_TYPES = 60
PACKET_BYTES = 1024
CLOCKS = ["SCLK", "GPS"]
REVISION_MAIN = "4711"
REVISION_PATCH = "4712"

# Generic transfer-function types that need no side files: identity,
# polynomial, ADC to volts, ADC to ohms, raw to double, natural log, two's complement.
ENG_TYPES = [0, 0, 1, 2, 3]
SCI_TYPES = [0, 1, 1, 1, 9, 10, 11]


def fmt_num(rng, lo, hi, digits=4):
    return repr(round(rng.uniform(lo, hi), digits))


def item_layout(rng, offset):
    """Decode type and the four decode cells of one data item."""
    kind = rng.random()
    if kind < 0.40:  # big-endian unsigned of 1, 2 or 4 bytes, maybe a bit field
        n = rng.choice([1, 2, 2, 4])
        mask = (1 << (8 * n)) - 1
        shift = 0
        if n == 1 and rng.random() < 0.3:
            bits = rng.randint(1, 4)
            shift = rng.randint(0, 8 - bits)
            mask = ((1 << bits) - 1) << shift
        return "1", str(offset), str(n), "0x%X" % mask, str(shift), n
    if kind < 0.55:  # little-endian
        n = rng.choice([2, 4])
        order = ":".join(str(i) for i in range(1, n + 1))
        return "3", str(offset), order, "0x%X" % ((1 << (8 * n)) - 1), "0", n
    if kind < 0.70:  # two's complement
        n = rng.choice([2, 4])
        return "4", str(offset), str(n), "0x%X" % ((1 << (8 * n)) - 1), "0", n
    if kind < 0.80:  # IEEE float, written as ranks or as a count
        return "5", str(offset), rng.choice(["4:3:2:1", "4"]), "0xFFFFFFFF", "0", 4
    if kind < 0.85:  # IEEE double
        return "6", str(offset), "8:7:6:5:4:3:2:1", "0xFFFFFFFFFFFFFFFF", "0", 8
    if kind < 0.93:  # an offset list
        offsets = [offset + 2 * i for i in range(rng.randint(2, 5))]
        if rng.random() < 0.5:
            cell = ":".join(str(o) for o in offsets)
        else:
            cell = ":".join("%d,%s" % (o, repr(0.25 * i)) for i, o in enumerate(offsets))
        return "1", cell, "2", "0xFFFF", "0", 2 * len(offsets)
    # a hexadecimal offset and a negative count (no byte ranks)
    return "1", "0x%X" % offset, "-2", "0xFFFF", "0", 2


def main_row(rng, data_id, packet, offset, names):
    sub = rng.choice(SUBSYSTEMS)
    while True:
        name = "%s_%s_%d" % (sub, rng.choice(WORDS), rng.randint(0, 99999))
        if (sub, name) not in names:
            names.add((sub, name))
            break
    decode_type, id1, id2, id3, id4, size = item_layout(rng, offset)
    eng = rng.choice(ENG_TYPES)
    sci = rng.choice(SCI_TYPES)
    cells = dict.fromkeys(COLUMNS, "")
    cells.update({
        "SUB_SYSTEM": sub,
        "NAME": name,
        "DESCRIPTION": "%s %s of packet %d" % (sub.lower(), name.split("_")[1].lower(), packet),
        "ADC_#": str(rng.randint(0, 63)) if rng.random() < 0.3 else "",
        "DATA_ID": ("0x%X" % data_id) if rng.random() < 0.05 else str(data_id),
        "PACKET_TYPE": str(packet),
        "PACKET_SUBTYPE": str(rng.randint(1, 3)) if rng.random() < 0.1 else "0",
        "PACKET_NAME": "PKT_%d" % packet,
        "DECODE_TYPE": decode_type,
        "DECODE_ID1": id1,
        "DECODE_ID2": id2,
        "DECODE_ID3": id3,
        "DECODE_ID4": id4,
        "RAW_FMT": "%%0%dX" % (2 * min(size, 8)),
        "ENG_FMT": rng.choice(["%.3f", "%1.0f", "%.2e"]),
        "ENG_EQ_TYPE": str(eng),
        "ENG_K1": fmt_num(rng, 1, 10) if eng in (2, 3) else ("0" if eng == 0 else fmt_num(rng, -1, 1)),
        "ENG_K2": fmt_num(rng, 1, 10000) if eng in (2, 3) else "1",
        "SCI_UNITS": rng.choice(UNITS),
        "SCI_FMT": rng.choice(["%.4f", "%.1f", "%1.0f"]),
        "SCI_EQ_TYPE": str(sci),
        "SCI_FROM_ENG": rng.choice(["Y", "N", "N", "1", "0"]),
        "MUX_CH": str(rng.randint(0, 15)),
        "EXTRA_1": "",
        "TARQ_MINE_RAW": rng.choice(["Y", "N", ""]),
        "TARQ_MINE_ENG": rng.choice(["Y", "N", ""]),
    })
    coeffs = [0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]
    if sci in (1, 9):
        coeffs = [round(rng.uniform(-5, 5), 6), round(rng.uniform(0.001, 3), 6)] + \
                 [round(rng.uniform(-1e-3, 1e-3), 9) if rng.random() < 0.3 else 0.0 for _ in range(6)]
    for i, k in enumerate(coeffs):
        cells["SCI_K%d" % (i + 1)] = repr(k)
    if rng.random() < 0.05:
        cells["CLOCK"] = rng.choice(CLOCKS)
    if rng.random() < 0.02:
        cells["APPLY_WHEN"] = "%d=0..1" % rng.randint(1, 1000)
    if rng.random() < 0.25:
        ltype = rng.choice([1, 5, 2, 6, 3, 7])
        lo = rng.randint(0, 100)
        cells["LIMIT_TYPE_1"] = str(ltype)
        cells["YELLOW_LIMIT_1"] = str(lo + 10)
        cells["RED_LIMIT_1"] = str(lo)
        cells["LIMIT_TYPE_2"] = str(ltype | 4)
        cells["YELLOW_LIMIT_2"] = str(lo + 80)
        cells["RED_LIMIT_2"] = str(lo + 90)
    if rng.random() < 0.05:
        cells["LIMITS"] = json.dumps({"low": rng.randint(0, 10), "high": rng.randint(50, 100)},
                                     separators=(",", ":"))
    if rng.random() < 0.03:
        cells["HISTORY"] = json.dumps({"length": rng.choice([100, 1000])}, separators=(",", ":"))
    r = rng.random()
    if r < 0.1:
        cells["DISCRETE_LABELS"] = "0=OFF;1=ON"
    elif r < 0.15:
        cells["DISCRETE_LABELS"] = "0..3=LOW;4..7=MID;8..15=HIGH"
    cells["TARQ_MINE_TYPE"] = rng.choice(["", "", "", "all", "bin", "delta", "blob", "0", "3"])
    if rng.random() < 0.02:
        cells["BUNDLE_ID"] = str(rng.randint(1, 50))
    if decode_type == "1" and id2.isdigit() and ":" not in id1 and rng.random() < 0.05:
        cells["ARRAY_LENGTH"] = str(rng.choice([4, 8, 16]))
        cells["SAMPLE_PERIOD"] = rng.choice(["0.1", "0.5", "1"])
    return cells, size


def write_table(path, columns, revision, lines):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        header = "\t".join(columns)
        if revision:
            header += "\t$Revision: %s $" % revision
        f.write(header + "\n")
        for line in lines:
            f.write(line + "\n")


def generate(out, rows, seed):
    rng = random.Random(seed)
    os.makedirs(out, exist_ok=True)
    names = set()
    main = {}  # id -> cells
    offsets = [16] * (PACKET_TYPES + 1)
    for data_id in range(1, rows + 1):
        packet = 1 + (data_id - 1) * PACKET_TYPES // rows
        cells, size = main_row(rng, data_id, packet, offsets[packet], names)
        offsets[packet] = (offsets[packet] + size) % PACKET_BYTES
        main[data_id] = cells
    write_table(os.path.join(out, "tmdb.txt"), COLUMNS, REVISION_MAIN,
                ["\t".join(c[col] for col in COLUMNS) for c in main.values()])

    # Text patch: updates and renames of existing ids, removals, new rows, comments.
    keys = {i: "%s:%s" % (c["SUB_SYSTEM"], c["NAME"]) for i, c in main.items()}
    lines = ["# patch produced by gen_tmdb.py", ""]
    ids = sorted(main)
    rng.shuffle(ids)
    n_update = rows // 20
    n_rename = rows // 200
    n_remove = rows // 100
    updated = ids[:n_update]
    renamed = ids[n_update:n_update + n_rename]
    removed = ids[n_update + n_rename:n_update + n_rename + n_remove]
    old_keys = {}
    for i in updated:
        row = dict.fromkeys(PATCH_COLUMNS, "")
        row["data_id"] = str(i)
        row["DESCRIPTION"] = "patched description %d" % i
        row["SCI_UNITS"] = "mV" if rng.random() < 0.5 else ""
        lines.append("\t".join(row[c] for c in PATCH_COLUMNS))
    for i in renamed:
        row = dict.fromkeys(PATCH_COLUMNS, "")
        row["data_id"] = str(i)
        row["Name"] = main[i]["NAME"] + "_V2"
        old_keys[keys[i]] = i
        keys[i] = "%s:%s" % (main[i]["SUB_SYSTEM"], row["Name"])
        lines.append("\t".join(row[c] for c in PATCH_COLUMNS))
        lines.append("#   renamed %d" % i)
    for i in removed:
        lines.append("\t".join("-%d" % i if c == "data_id" else "" for c in PATCH_COLUMNS))
        del keys[i]
    lines.append("\t".join("-%d" % (rows + 100000) if c == "data_id" else "" for c in PATCH_COLUMNS))
    new_ids = list(range(rows + 1, rows + 1 + rows // 50))
    for i in new_ids:
        packet = rng.randint(1, PACKET_TYPES)
        cells, size = main_row(rng, i, packet, offsets[packet], names)
        offsets[packet] = (offsets[packet] + size) % PACKET_BYTES
        cells["data_id"] = cells["DATA_ID"]
        cells["Name"] = cells["NAME"]
        lines.append("\t".join(cells[c] for c in PATCH_COLUMNS))
        keys[i] = "%s:%s" % (cells["SUB_SYSTEM"], cells["NAME"])
    write_table(os.path.join(out, "patch_1.txt"), PATCH_COLUMNS, REVISION_PATCH, lines)

    # JSON packet dictionary; packet ids from 100 keep its DATA_IDs (id << 15) clear of the text rows.
    types = ["uint8_t", "uint16_t", "int16_t", "uint32_t", "int32_t", "float", "double", "char"]
    packets = []
    json_keys = {}
    for p in range(20):
        pid = 100 + p
        pname = "JPKT%d" % pid
        fields = []
        counter = 0
        for f in range(25):
            field = {"fieldName": "F%d" % f, "type": rng.choice(types), "description": "field %d" % f}
            if rng.random() < 0.2:
                field["conversion"] = {"uncalToCalFunction": "polynomial",
                                       "uncalToCalArgs": [round(rng.uniform(-1, 1), 4), 2.5],
                                       "units": rng.choice(UNITS)}
            elif rng.random() < 0.1:
                field["conversion"] = {"uncalToCalFunction": "LUT",
                                       "uncalToCalArgs": [{"0": "OFF", "1": "ON", "0x2": "FAULT"}]}
            if rng.random() < 0.2:
                field["limits"] = [0, rng.randint(10, 1000)]
            if field["type"] == "uint8_t" and rng.random() < 0.3:
                field["bitFields"] = [["F%d_LO" % f, "b4"], ["F%d_HI" % f, "b4"]]
            if field["type"] in ("uint16_t", "int16_t") and rng.random() < 0.3:
                field["byteOrder"] = "21"
            if rng.random() < 0.05:
                field["arrayLength"] = 4
            fields.append(field)
            json_keys[(pid << 15) | counter] = "%s:%s" % (pname, field["fieldName"])
            counter += 1
            for b in field.get("bitFields", []):
                json_keys[(pid << 15) | counter] = "%s:%s" % (pname, b[0])
                counter += 1
        packets.append({"packetName": pname, "packetId": pid, "apid": 1000 + p % 5,
                        "gse": p % 7 == 0, "fields": fields})
    with open(os.path.join(out, "patch_2.json"), "w", encoding="utf-8") as f:
        json.dump({"Packets": packets}, f, indent=1)
    keys.update(json_keys)

    clocks = {"clocks": [
        {"name": "SCLK", "epoch": "2000-01-01T12:00:00", "leap_seconds_offset": 0,
         "sub_seconds_per_second": 65536,
         "leap_seconds": [{"datetime": "2005-12-31T23:59:60", "seconds": 1},
                          {"datetime": "2008-12-31T23:59:60", "seconds": 1}]},
        {"name": "GPS", "epoch": "1980-01-06T00:00:00", "leap_seconds_offset": 0,
         "sub_seconds_per_second": 0, "leap_seconds": []},
    ]}
    with open(os.path.join(out, "clocks.txt"), "w", encoding="utf-8") as f:
        json.dump(clocks, f, indent=1)
    with open(os.path.join(out, "constants.json"), "w", encoding="utf-8") as f:
        json.dump([{"name": "Gain", "type": "int", "value": "12"},
                   {"name": "Vref", "type": "double", "value": "2.5"},
                   {"name": "Model", "type": "string", "value": "FM"}], f, indent=1)

    sample = rng.sample(sorted(keys), min(200, len(keys)))
    expected = {
        "rows": len(keys),
        "text_rows": rows - len(removed) + len(new_ids),
        "json_rows": len(json_keys),
        "revision": REVISION_PATCH,
        "keys": {str(i): keys[i] for i in sample},
        "removed": removed[:50],
        "renamed_old_keys": {k: v for k, v in list(old_keys.items())[:50]},
        "updated": {str(i): "patched description %d" % i for i in updated[:50]},
        "apids": [1000, 1001, 1002, 1003, 1004],
    }
    with open(os.path.join(out, "expected.json"), "w", encoding="utf-8") as f:
        json.dump(expected, f, indent=1)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("--rows", type=int, default=50000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    generate(args.out, args.rows, args.seed)


if __name__ == "__main__":
    main()
