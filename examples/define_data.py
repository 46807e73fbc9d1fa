#!/usr/bin/python3
"""Defines the data of a small second-instrument archive, writes the archive and
reads its values back through the Python module.

    define_data.py [OUT_DIR]

Without OUT_DIR the files go to a temporary folder that is removed at the end.
What it writes (docs/defining-data.md explains every field):

  OUT_DIR/vekconfig.INI             the configuration group TOLVA_FM
  OUT_DIR/defs/tmdb.txt             the telemetry database: seven data items
  OUT_DIR/defs/tm_packet_types.txt  three packet types
  OUT_DIR/defs/dac.txt              an empty DAC table (the group needs one)
  OUT_DIR/gse, viewers, data, mcal  folders the group must name
  OUT_DIR/run/tm.bin, tm.meta       the archive: 3 packets of each type

It prints each item's values in the three value modes and ends with status 1
when a value differs from the one computed here from the bytes written.
Run it with the module on the path:

    PYTHONPATH=build/python /usr/bin/python3 examples/define_data.py
"""
import os
import pathlib
import struct
import sys
import tempfile

SECONDS_2010 = 1262304000  # Unix time of 2010-01-01T00:00:00Z, the packets' epoch

# The database's columns: every column a header must have, in this order.
COLUMNS = ["SUB_SYSTEM", "NAME", "DESCRIPTION", "DATA_ID", "PACKET_TYPE", "DECODE_TYPE",
           "DECODE_ID1", "DECODE_ID2", "DECODE_ID3", "DECODE_ID4", "RAW_FMT", "ENG_FMT",
           "ENG_EQ_TYPE", "ENG_K1", "ENG_K2", "SCI_UNITS", "SCI_FMT", "SCI_EQ_TYPE", "SCI_FROM_ENG",
           "SCI_K1", "SCI_K2", "SCI_K3", "SCI_K4", "SCI_K5", "SCI_K6", "SCI_K7", "SCI_K8"]

# APID: name and the bytes of data after the 12-byte header. Packets of an
# even total length: the second instrument pads odd ones inside frames.
TYPES = {100: ("HK", 4), 101: ("STATUS", 6), 102: ("POWER", 6)}

# DATA_ID: name, APID, decode type, DECODE_ID1..4, engineering (type, K1, K2),
# science (type, K1, K2, from engineering). Offsets count from the packet's
# first byte, so the first data byte is 12.
ITEMS = {
    1: ("TEMP", 100, 1, (12, 2, 0, 0), (1, -50.0, 0.01), (1, 273.15, 1.0, True)),
    2: ("COUNTER", 100, 1, (14, 2, 0, 0), (0, 0.0, 1.0), (0, 0.0, 1.0, False)),
    3: ("MODE", 101, 1, (12, 1, 0xF0, 4), (0, 0.0, 1.0), (0, 0.0, 1.0, False)),
    4: ("HEATER_ON", 101, 1, (12, 1, 0x01, 0), (0, 0.0, 1.0), (0, 0.0, 1.0, False)),
    5: ("BUS_V", 101, 4, (14, 2, 0xFFFF, 0), (1, 0.0, 0.001), (1, 0.0, 1000.0, True)),
    6: ("WATTS", 102, 5, (12, 4, 0, 0), (0, 0.0, 1.0), (1, 0.0, 0.5, False)),
    7: ("OFFSET", 102, 4, (16, 2, 0x0FFF, 0), (1, 10.0, 2.0), (0, 0.0, 1.0, False)),
}


def packet_types_text():
    # type id, name, ground-created, minimum and maximum length; the lengths
    # are the CCSDS length field + 1: the bytes after the 6-byte primary header.
    lines = ["# apid, name, ground-created, min length, max length"]
    for apid, (name, data) in sorted(TYPES.items()):
        lines.append("%d, %s, false, %d, %d" % (apid, name, 6 + data, 6 + data))
    return "\n".join(lines) + "\n"


def database_text():
    lines = ["\t".join(COLUMNS)]
    for data_id, (name, apid, dtype, ids, eng, sci) in sorted(ITEMS.items()):
        cells = {"SUB_SYSTEM": TYPES[apid][0], "NAME": name, "DESCRIPTION": name.lower().replace("_", " "),
                 "DATA_ID": str(data_id), "PACKET_TYPE": str(apid), "DECODE_TYPE": str(dtype),
                 "DECODE_ID1": str(ids[0]), "DECODE_ID2": str(ids[1]), "DECODE_ID3": "0x%X" % ids[2],
                 "DECODE_ID4": str(ids[3]), "RAW_FMT": "%d", "ENG_FMT": "%.3f",
                 "ENG_EQ_TYPE": str(eng[0]), "ENG_K1": repr(eng[1]), "ENG_K2": repr(eng[2]),
                 "SCI_UNITS": "", "SCI_FMT": "%.3f", "SCI_EQ_TYPE": str(sci[0]),
                 "SCI_FROM_ENG": "Y" if sci[3] else "N", "SCI_K1": repr(sci[1]), "SCI_K2": repr(sci[2])}
        for k in range(3, 9):
            cells["SCI_K%d" % k] = "0"
        lines.append("\t".join(cells[c] for c in COLUMNS))
    return "\n".join(lines) + "\n"


def packet(apid, count, seconds, fraction, data):
    # Primary header: version 0, telemetry, secondary header present, the
    # APID; unsegmented, the sequence count; the length field (total - 7).
    # Secondary header: seconds since 2010 (32 bits), 1/256 s, a spare byte.
    total = 12 + len(data)
    return struct.pack(">HHHIBB", 0x0800 | apid, 0xC000 | count, total - 7, seconds, fraction, 0) + data


def archive(start):
    """The archive's bytes and, per packet, its APID, time and raw values by data id."""
    out, packets = b"", []
    for k in range(3):
        seconds, fraction = start + k, 64 * k
        hk = (2500 + 1000 * k, 7 + k)
        status = ((k + 1) << 4 | k % 2, -1500 + 1000 * k)
        watts, offset = 1.5 * (k + 1), [0x7FF, 0x800, 0x005][k]
        for apid, data, raw in (
                (100, struct.pack(">HH", *hk), {1: hk[0], 2: hk[1]}),
                (101, struct.pack(">BBhH", status[0], 0, status[1], 0),
                 {3: status[0] >> 4, 4: status[0] & 1, 5: status[1]}),
                (102, struct.pack(">fH", watts, offset), {6: watts, 7: offset - 0x1000 if offset & 0x800 else offset})):
            out += packet(apid, k, seconds, fraction, data)
            packets.append({"apid": apid, "unix": SECONDS_2010 + seconds + fraction / 256, "raw": raw})
    return out, packets


def modes(data_id, raw):
    """Raw, engineering and science value, from the row's equations (type 1: K1 + K2 x)."""
    eng_type, k1, k2 = ITEMS[data_id][4]
    sci_type, s1, s2, from_eng = ITEMS[data_id][5]
    eng = k1 + k2 * raw if eng_type == 1 else raw
    base = eng if from_eng else raw
    return [float(raw), eng, s1 + s2 * base if sci_type == 1 else base]


def write_definitions(out):
    for d in ("defs", "gse", "viewers", "data", "mcal", "run"):
        (out / d).mkdir(parents=True, exist_ok=True)
    (out / "defs" / "tmdb.txt").write_text(database_text())
    (out / "defs" / "tm_packet_types.txt").write_text(packet_types_text())
    (out / "defs" / "dac.txt").write_text("# id\tnumber\tname\tbits\tmask\tsigned\toffset\tslope\n")
    keys = [("gse", "gse"), ("tm_definitions", "defs"), ("tm_database", "defs/tmdb.txt"),
            ("dac_file", "defs/dac.txt"), ("viewers_root", "viewers"), ("data_root", "data"),
            ("mcal_root", "mcal")]
    (out / "vekconfig.INI").write_text("[VEK]\ndefault_group=TOLVA_FM\n[TOLVA_FM]\n"
                                       + "".join("%s=%s\n" % (k, out / v) for k, v in keys))
    # mission "tolva" and model "FM" name the group TOLVA_FM.
    (out / "run" / "tm.meta").write_text('{"gse": {"version": 3, "mission": "tolva", "model": "FM", '
                                         '"tid": 1, "tid_dir": "run", "tmfile_name": "tm.bin"}}\n')


def main(out):
    out = pathlib.Path(out).resolve()
    write_definitions(out)
    data, packets = archive(480000000)
    (out / "run" / "tm.bin").write_bytes(data)
    # The module reads the configuration file that INIVEK names, at start-up.
    os.environ["INIVEK"] = str(out / "vekconfig.INI")
    import cvekutil

    tm = cvekutil.open_tmfile(out / "run" / "tm.bin")
    wrong = 0
    print("packets:", tm.length())
    if tm.length() != len(packets):
        print("expected %d packets" % len(packets))
        return 1
    for i, want in enumerate(packets):
        pkt = tm.get_pkt(i)
        if pkt.get_type() != want["apid"] or abs(pkt.unix_timestamp() - want["unix"]) > 1e-6:
            print("packet %d: type %d at %.4f, expected %d at %.4f"
                  % (i, pkt.get_type(), pkt.unix_timestamp(), want["apid"], want["unix"]))
            wrong += 1
        for data_id, raw in sorted(want["raw"].items()):
            got = [pkt.all_data(data_id, mode)[0].value for mode in (cvekutil.RAW, cvekutil.ENG, cvekutil.SCI)]
            name = "%s:%s" % (TYPES[want["apid"]][0], ITEMS[data_id][0])
            expected = modes(data_id, raw)
            ok = all(abs(g - e) <= 1e-9 * max(1.0, abs(e)) for g, e in zip(got, expected))
            print("%d %-16s raw %-10g eng %-10g sci %-10g%s" % (i, name, *got, "" if ok else "  expected %s" % expected))
            wrong += not ok
    print("all values as written" if not wrong else "%d values differ" % wrong)
    return 1 if wrong else 0


if __name__ == "__main__":
    if len(sys.argv) > 1:
        sys.exit(main(sys.argv[1]))
    with tempfile.TemporaryDirectory(prefix="define-data-") as tmp:
        sys.exit(main(tmp))
