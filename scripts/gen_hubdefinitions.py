#!/usr/bin/python3
"""Writes a small telemetry definitions folder for the interpretation hub's loading
tests: rows served by the test decoder plugin (tests/gselib/interpretation/testplugin),
one decode type without any decoder, a patch found ignoring case, dated versions.

    gen_hubdefinitions.py OUT_DIR

Files written to OUT_DIR:
  tmdb.txt              main text database (every column), rows of APIDs 2 and 12
  PATCH_A.txt           text patch, found by the name "patch_a" ignoring case
  dict.json             JSON packet dictionary of packet 300
  tm_packet_types.txt   packet types 2 and 12
  dac.txt               a DAC table of two rows
  versions/2024-01-01/tmdb_v1.txt, versions/2024-06-01/tmdb_v2.txt
                        dated databases, told apart by their revision
  plugins/macos/        empty; tests copy decoder plugins into it

Decode types 201 (big-endian 16 bits at each offset) and 202 (the row's
EXTRA_1 text) and ENG equation type 900 (k1 + k2 * x) are those of the test
decoder plugin; decode type 77 has no decoder anywhere.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gen_tmdb import COLUMNS, write_table  # noqa: E402

# (SUB_SYSTEM, NAME, DATA_ID, PACKET_TYPE, DECODE_TYPE, DECODE_ID1, DECODE_ID2, extra cells)
ROWS = [
    ("HK", "TEMP", 1, 12, 201, "6", "2", {"ENG_EQ_TYPE": "900", "ENG_K1": "1", "ENG_K2": "2"}),
    ("HK", "VOLT", 2, 12, 201, "8", "2", {}),
    ("HK", "LABEL", 3, 12, 202, "4:6", "2", {"EXTRA_1": "  42.5 volts"}),
    ("HK", "ODD", 4, 12, 77, "6", "2", {}),
    ("SYS", "TIME", 5, 2, 201, "6", "2", {}),
]


def line(sub, name, data_id, ptype, dtype, id1, id2, extra, description=""):
    cells = dict.fromkeys(COLUMNS, "")
    cells.update({
        "SUB_SYSTEM": sub, "NAME": name, "DESCRIPTION": description or "%s %s" % (sub, name),
        "DATA_ID": str(data_id), "PACKET_TYPE": str(ptype), "PACKET_SUBTYPE": "0",
        "DECODE_TYPE": str(dtype), "DECODE_ID1": id1, "DECODE_ID2": id2, "DECODE_ID3": "0xFFFF",
        "DECODE_ID4": "0", "RAW_FMT": "%d", "ENG_FMT": "%.2f", "ENG_EQ_TYPE": "0", "ENG_K1": "0",
        "ENG_K2": "1", "SCI_UNITS": "V", "SCI_FMT": "%.2f", "SCI_EQ_TYPE": "0", "SCI_FROM_ENG": "N",
    })
    for i in range(1, 9):
        cells["SCI_K%d" % i] = "0"
    cells.update(extra)
    return "\t".join(cells[c] for c in COLUMNS)


def generate(out):
    os.makedirs(os.path.join(out, "plugins", "macos"), exist_ok=True)
    write_table(os.path.join(out, "tmdb.txt"), COLUMNS, "100", [line(*r) for r in ROWS])
    write_table(os.path.join(out, "PATCH_A.txt"), COLUMNS, "101",
                [line("HK", "VOLT", 2, 12, 201, "8", "2", {}, "patched volt"),
                 line("HK", "NEW", 6, 12, 201, "10", "2", {})])
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
        write_table(os.path.join(folder, "tmdb_v%s.txt" % revision[-1]), COLUMNS, revision,
                    [line("VER", "ITEM", 7, 12, 201, "6", "2", {}, "version %s" % revision)])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    generate(sys.argv[1])
