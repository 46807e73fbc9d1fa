#!/usr/bin/python3
"""Writes the seed inputs of the saved current-value-table fuzz target.

    gen_cvtstate_corpus.py [OUT_DIR]    (default fuzz/corpus/fuzz_cvtstate)

A saved table is big-endian: 0xDEADBEEF, version, packet count, records
(APID int32, ground seconds int32, milliseconds int16, length int32, the
packet's bytes), history count, then per history its id and its saved form as
a byte array (uint32 length, bytes). A saved history is 0xDEADBEEF, version 1,
a 64-bit pair count and (time, value) doubles.
"""
import os
import struct
import sys

MARKER = 0xDEADBEEF


def history(pairs, count=None):
    out = struct.pack(">IiQ", MARKER, 1, len(pairs) if count is None else count)
    for t, v in pairs:
        out += struct.pack(">dd", t, v)
    return out


def record(apid, seconds, ms, packet):
    return struct.pack(">iihi", apid, seconds, ms, len(packet)) + packet


def ccsds(apid, seconds, payload):
    body = struct.pack(">I", seconds) + payload
    return struct.pack(">HHH", 0x0800 | apid, 0xC000, len(body) - 1) + body


def tom(ptype, seconds, subtype, payload):
    data = bytes([subtype]) + payload
    return struct.pack(">BBHI", ptype, 1, len(data), seconds) + data + b"\0\0\0\0"


def table(version, records, histories=None):
    out = struct.pack(">Ii", MARKER, version)
    if version >= 2:
        out += struct.pack(">i", len(records))
    out += b"".join(records)
    if version >= 2:
        out += struct.pack(">i", len(histories or []))
        for hid, saved in histories or []:
            out += struct.pack(">iI", hid, len(saved)) + saved
    return out


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(__file__), "..", "fuzz", "corpus", "fuzz_cvtstate")
    os.makedirs(out_dir, exist_ok=True)
    pairs = [(1700000000.0 + i, 20.0 + 0.5 * i) for i in range(6)]
    two = table(2, [record(100, 1700000000, 999, ccsds(100, 1700000001, b"\x01\x02\x03\x04")),
                    record(200, 1700000002, 0, ccsds(200, 1700000002, b"\xff"))],
                [(11, history(pairs)), (99, history(pairs[:2]))])
    seeds = {
        "empty_v2": table(2, []),
        "two_packets_histories_v2": two,
        "tom_v2": table(2, [record(5, 10, 250, tom(5, 1700000003, 3, b"\x10\x20"))],
                        [(51, history(pairs[:3]))]),
        "records_v1": table(1, [record(100, 1, 1, ccsds(100, 5, b"\x07" * 6)),
                                record(200, 2, 2, ccsds(200, 6, b""))]),
        "truncated_record": two[:40],
        "short_length": table(2, [struct.pack(">iihi", 100, 0, 0, 5) + b"\0" * 5]),
        "history_huge_count": history(pairs[:2], count=2**63 - 1),
        "history_equal_times": history([(5.0, 1.0), (5.0, 2.0), (5.0, -3.0)]),
    }
    for name, data in seeds.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
