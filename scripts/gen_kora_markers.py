#!/usr/bin/python3
"""Writes first-instrument archives with markers and message lines, meta-marker
rule files, and what the marker cache and the meta-marker cache must find.

    gen_kora_markers.py OUT_DIR                 the test set
    gen_kora_markers.py OUT_DIR --bench N       the benchmark set

Files written to OUT_DIR (the test set):
  vek.INI, defs/...             as gen_kora.py, plus a MSG:TEXT row (type 8, text
                                to the first NUL) and marker packets up to 128 bytes
  2022-05-06-07.08.09_T0150/    archive M with tm.meta (tid 150): markers 100, 7,
                                0, ids out of time order (the clock set back),
                                a short marker packet, 62-byte and NUL-cut texts,
                                message packets of several lines, own-time lines and
                                "SEB Test = ..." announcements
  2022-05-06-07.08.09_00150/    the same packets without tm.meta (tid from the name)
  2022-05-06-07.08.09_Tabcd/    the same packets without tm.meta (tid 0)
  MetaMarkerRules/              rule files (a.json, B.json, c.json, d.json failing
                                validation, e.json, x.JSON, a hidden file, a folder)
  findings/                     one rule file per validator finding
  expected.json                 markers in reading order, meta markers in cache
                                order, the reset's standard-error lines, the
                                findings as (file, stream, exact lines)

Expected meta markers follow from how the archive was built: the script places
each event on purpose and writes down the interval it opens or closes.

The benchmark set (--bench N): bulk1/tm.tlm with N packets, of which 1/15
message packets and 1/150 marker packets, bulk2/ and bulk4/ holding it twice
and four times over, and 10 applicable rules in MetaMarkerRules/. Python 3 standard library only.
"""
import argparse
import bisect
import json
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_kora as K  # noqa: E402

FILE_PREFIX = "bool KorGse::isValidMetamarkerRuleFile(QFileInfo)"
COND_PREFIX = "bool KorGse::isValidTriggerCondition(QJsonValue)"
MAIN = "2022-05-06-07.08.09_T0150"
NO_META = "2022-05-06-07.08.09_00150"
NO_TID = "2022-05-06-07.08.09_Tabcd"


MARKER_MAX = 128  # data bytes of a marker packet here (gen_kora's types allow 64)


def packet_types():
    """gen_kora's packet types with the longer marker packets."""
    return [(9, "MARKER", "false", 0, MARKER_MAX) if t[0] == 9 else t for t in K.PACKET_TYPES]


def write_definitions(out):
    K.write_definitions(out)
    db = os.path.join(out, "defs", "KOR_TM_Database.txt")
    cells = dict.fromkeys(K.COLUMNS, "")
    cells.update({"SUB_SYSTEM": "MSG", "NAME": "TEXT", "DESCRIPTION": "message log", "DATA_ID": "900",
                  "PACKET_TYPE": "8", "DECODE_TYPE": "7", "DECODE_ID1": "0", "DECODE_ID2": "0",
                  "RAW_FMT": "%s", "ENG_FMT": "%s", "SCI_FMT": "%s", "ARRAY_LENGTH": "1"})
    with open(db, "a", newline="\n") as f:
        f.write("\t".join(cells[c] for c in K.COLUMNS) + "\n")
    types = os.path.join(out, "defs", "tm_packet_types.txt")
    with open(types) as f:
        lines = f.read().splitlines()
    lines = ["9,MARKER,false,0,%d" % MARKER_MAX if ln.startswith("9,") else ln for ln in lines]
    with open(types, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def marker_data(mid, text=b"", field0=0, field4=0):
    body = K.be32(field0) + K.be16(field4) + K.be32(mid) + text
    return body + bytes(max(0, 72 - len(body)))


class Builder:
    """One archive, with its marker records and event times."""

    def __init__(self, rng, fallback):
        self.arc = K.Archive(rng, fallback)
        self.arc.packet_types = packet_types()
        self.arc.tick0 = fallback - 1000.0
        self.markers = []  # (packet, record fields)

    def step(self, seconds):
        self.arc.ts += int(round(seconds * 10000))
        return self.arc.ts

    def marker(self, mid, text=b"", dt=1.0, raw=None, field0=0, field4=0):
        data = raw if raw is not None else marker_data(mid, text, field0, field4)
        p = self.arc.instrument(9, data, ts=self.step(dt))
        full = data + bytes(max(0, 72 - len(data)))  # bytes a short packet lacks read 0
        self.markers.append((p, {
            "field0": int.from_bytes(full[0:4], "big"), "field4": int.from_bytes(full[4:6], "big"),
            "markerId": int.from_bytes(full[6:10], "big"),
            "text": full[10:72].split(b"\0", 1)[0].decode("utf-8")}))
        return p

    def message(self, text, dt=1.0, nul=True):
        data = text.encode("latin-1") + (b"\0" if nul else b"")
        return self.arc.instrument(8, data, ts=self.step(dt))

    def filler(self, dt=0.5):
        return self.arc.instrument(22, bytes(16), ts=self.step(dt))

    def times(self):
        t0 = self.arc.packets[self.arc.t0_index]["unix"]
        return t0, {p["index"]: p["unix"] - t0 for p in self.arc.packets}


def build_main(rng):
    b = Builder(rng, K.folder_time(MAIN))
    arc = b.arc
    arc.time_packet(2)
    ev = {}
    # Each announcement is followed by a line of its own: the message log also
    # tries that line joined to the announcement, which must read the same.
    b.message("boot ok\nSEB Test = 1\nstarting\n")
    b.filler()
    ev["M1"] = b.marker(100, b"Start of run", dt=2.0)
    ev["M2a"] = b.marker(7, b"checkpoint", dt=1.0)  # 1 s after M1: before M1 + 2.5
    # An own-time line: its time is the packet's tick zero + the written seconds.
    ts = b.step(1.0)
    own = (ts // 10000) - 0.5
    arc.ts = ts - 10000
    ev["pumpOn"] = b.message("%.1f: Pump ON now\nsecond line\r\nthird\n" % own, dt=1.0)
    ev["pumpOnOwn"] = own
    ev["M2b"] = b.marker(7, b"checkpoint", dt=3.0)  # 4+ s after M1
    b.message("SEB Test = 0 = 1\n")  # three pieces: no change
    ev["M3"] = b.marker(100, b"Second run", dt=2.0)
    b.message("x\nSEB Test = 0\nidle\n")
    b.filler()
    ev["M4"] = b.marker(100, b"Third run", dt=2.0)
    ev["pumpOff"] = b.message("all\nPUMP OFF\n", dt=1.5)
    b.filler()
    # The clock set back: the markers that follow lie before all earlier ones.
    arc.tick0 -= 100.0
    arc.time_packet(2)
    ev["M0"] = b.marker(0, b"zero id")
    ev["short"] = b.marker(256, raw=K.be32(5) + K.be16(6) + bytes([0, 0, 1]))
    ev["M7late"] = b.marker(7, b"late checkpoint")
    ev["M9a"] = b.marker(9, b"X" * 62, field0=0xDEADBEEF, field4=0xBEEF)
    ev["M9b"] = b.marker(9, b"abc\0junk", dt=0.5)
    ev["same"] = b.marker(9, b"same time", dt=0.0)
    b.filler()
    b.message("tail line without NUL\n", nul=False)
    b.filler()
    return b, ev


def meta_markers(b, ev):
    """The meta markers of the rules in MetaMarkerRules, in cache order."""
    t0, rel = b.times()
    t = {k: rel[p["index"]] for k, p in ev.items() if isinstance(p, dict)}
    newest = rel[b.arc.packets[-1]["index"]]
    pump_tick0 = ev["pumpOn"]["tick0"]
    own = pump_tick0 + int(ev["pumpOnOwn"] * 10000) / 10000.0 - t0
    out = []

    def add(mid, text, start, end):
        out.append({"start": start, "end": end, "id": mid, "text": text})

    # a.json: 60001 opens on marker 100, closes on the next marker of any id.
    add(60001, "run", t["M1"], t["M2a"])
    add(60001, "run", t["M3"], t["M4"])  # M4 only closes; it opens nothing
    # B.json: 60001 again (skipped); 60002 from "pump on" (any case) to "pump off".
    add(60002, "pump", own, t["pumpOff"])
    # c.json: 60004 on marker 100 while the SEB test is on, 5 s long.
    add(60004, "seb run", t["M1"], t["M1"] + 5.0)
    add(60004, "seb run", t["M3"], t["M3"] + 5.0)
    # e.json: 60006 2.5 s after marker 100 until a marker 7 at or after that.
    add(60006, "offset run", t["M1"] + 2.5, t["M2b"])
    # Opened again by M3 (M4 comes while it is open); the late marker 7 lies
    # before its start, so it stays open with the provisional end.
    add(60006, "offset run", t["M3"] + 2.5, newest)
    # x.JSON: 60008 the 5 s before each marker 9.
    add(60008, "before nine", t["M9a"] - 5.0, t["M9a"])
    add(60008, "before nine", t["M9b"] - 5.0, t["M9b"])
    add(60008, "before nine", t["same"] - 5.0, t["same"])
    for i, m in enumerate(out):
        m["index"] = i
    return out


def cond_marker(mid, offset=0.0, **flags):
    c = {"type": "marker", "marker": mid, "offset_in_seconds": offset}
    c.update(flags)
    return c


def cond_message(regex, case_sensitive=False, offset=0.0):
    return {"type": "message", "regex": regex, "case_sensitive": case_sensitive, "offset_in_seconds": offset}


def rule(tids, mid, text, starts, ends):
    return {"tids": tids, "meta_marker_id": mid, "meta_marker_text": text, "start_conditions": starts,
            "end_conditions": ends}


def write_json(path, obj):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="\n") as f:
        json.dump(obj, f, indent=1)


def write_rules(out):
    d = os.path.join(out, "MetaMarkerRules")
    write_json(os.path.join(d, "a.json"), {"meta_markers": [
        rule("150", 60001, "run", [cond_marker(100)], [{"type": "next_marker"}]),
        rule("1-2-3", 60010, "never", [cond_marker(100)], [{"type": "next_marker"}]),
        rule("150-140", 60011, "never", [cond_marker(100)], [{"type": "next_marker"}]),
    ]})
    write_json(os.path.join(d, "B.json"), {"meta_markers": [
        rule("100-200", 60001, "dup", [cond_marker(7)], [{"type": "next_marker"}]),
        rule("100-200", 60002, "pump", [cond_message("pump on")], [cond_message("pump off")]),
        rule("1", 60003, "other test", [cond_marker(100)], [{"type": "next_marker"}]),
        rule("1", 60002, "other test, same id", [cond_marker(100)], [{"type": "next_marker"}]),
        rule("5, 7", 60012, "five and seven", [cond_marker(100)], [{"type": "next_marker"}]),
        rule("150", 60007, "case", [cond_message("pump on", True)], [{"type": "duration", "number_of_seconds": 1}]),
    ]})
    write_json(os.path.join(d, "c.json"), {"meta_markers": [
        rule("7, 150", 60004.75, "seb run", [cond_marker(100, seb_test_enabled=True)],
             [{"type": "next_marker"}, {"type": "duration", "number_of_seconds": 5}]),
    ]})
    write_json(os.path.join(d, "d.json"), {"meta_markers": [
        rule("150", 60020, "lost with its file", [cond_marker(100)], [{"type": "next_marker"}]),
        rule("150", 40000, "out of range", [cond_marker(100)], [{"type": "next_marker"}]),
    ]})
    write_json(os.path.join(d, "e.json"), {"meta_markers": [
        rule("150", 60006, "offset run", [cond_marker(100, 2.5)], [cond_marker(7)]),
        rule("150", 60004, "same whole id as 60004.75", [cond_marker(7)], [{"type": "next_marker"}]),
    ]})
    write_json(os.path.join(d, "x.JSON"), {"meta_markers": [
        rule(" 150 ", 60008, "before nine", [cond_marker(9)], [{"type": "duration", "number_of_seconds": -5}]),
    ]})
    write_json(os.path.join(d, ".hidden.json"), {"meta_markers": [
        rule("150", 60030, "hidden", [cond_marker(100)], [{"type": "next_marker"}])]})
    os.makedirs(os.path.join(d, "sub.json"), exist_ok=True)
    with open(os.path.join(d, "notes.txt"), "w") as f:
        f.write("not a rule file\n")
    return [
        "Skipping duplicate meta marker ID: 60001",
        FILE_PREFIX + " meta marker ID 40000 is not in the range [50000, 99999]",
        "d.json failed validation. Skipping it.",
        "Skipping duplicate meta marker ID: 60004",
    ]


def write_findings(out):
    """One rule file per finding; returns [(file, stderr lines, stdout lines)]."""
    d = os.path.join(os.path.abspath(out), "findings")
    os.makedirs(d, exist_ok=True)
    ok_rule = rule("1", 50000, "t", [cond_marker(1)], [{"type": "next_marker"}])
    table = []

    def case(name, content, err, outl=()):
        path = os.path.join(d, name)
        if content is not None:
            with open(path, "w", newline="\n") as f:
                f.write(content if isinstance(content, str) else json.dumps(content))
        table.append({"file": name, "stderr": list(err), "stdout": list(outl)})

    def with_rule(**changes):
        r = dict(ok_rule)
        for k, v in changes.items():
            if v is None:
                r.pop(k, None)
            else:
                r[k] = v
        return {"meta_markers": [r]}

    def fp(text):
        return FILE_PREFIX + text

    def cp(text):
        return COND_PREFIX + text

    case("missing.json", None, ["Could not open missing.json for reading."])
    os.makedirs(os.path.join(d, "folder.json"), exist_ok=True)
    case("folder.json", None, ["Could not open folder.json for reading."])
    case("syntax.json", "{\"meta_markers\": [\n  oops\n]\n",
         [fp(" Failed to parse " + os.path.join(d, "syntax.json") + " contents:"), "{\"meta_markers\": [",
          "  oops", "]", ""])
    case("empty.json", "", [fp(" Failed to parse " + os.path.join(d, "empty.json") + " contents:"), ""])
    case("nokey.json", {"markers": []}, [fp(" Json file nokey.json does not have meta_markers as its root key.")])
    case("rootarray.json", [1, 2], [fp(" Json file rootarray.json does not have meta_markers as its root key.")])
    case("object.json", {"meta_markers": {}}, [fp(" Json file object.json does not have meta_markers as an array.")])
    case("null.json", {"meta_markers": None}, [fp(" Json file null.json does not have meta_markers as an array.")])
    case("emptylist.json", {"meta_markers": []}, [])
    case("valid.json", {"meta_markers": [ok_rule, rule("1-2-3", 99999, "", [cond_message("(")], [])]}, [])
    case("element.json", {"meta_markers": [ok_rule, 5]},
         [fp(" Json file element.json does not have a JSON object for the element at index 1")])
    case("notids.json", with_rule(tids=None),
         [fp(" Json file notids.json does not have a string for the 'tids' element at index 0")])
    case("numtids.json", with_rule(tids=150),
         [fp(" Json file numtids.json does not have a string for the 'tids' element at index 0")])
    for i, bad in enumerate(["", "1,,2", "1,", "-5", "12a", "2147483648", "1 2"]):
        name = "tid%d.json" % i
        case(name, with_rule(tids=bad), [fp(" Json file " + name + " contains invalid TID specifier: " + bad)])
    case("tidsok.json", with_rule(tids=" 1, 5 - 9 ,2147483647,0-0"), [])
    case("noid.json", with_rule(meta_marker_id=None),
         [fp(" meta marker rule at index 0 contains invalid or missing meta_marker_id.")])
    case("strid.json", with_rule(meta_marker_id="50000"),
         [fp(" meta marker rule at index 0 contains invalid or missing meta_marker_id.")])
    for name, v, shown in [("low.json", 49999, "49999"), ("high.json", 100000, "100000"),
                           ("million.json", 1000000, "1e+06"), ("frac.json", 99999.5, "99999.5"),
                           ("round.json", 123456.7, "123457"), ("neg.json", -0.25, "-0.25")]:
        case(name, with_rule(meta_marker_id=v), [fp(" meta marker ID " + shown + " is not in the range [50000, 99999]")])
    case("edges.json", {"meta_markers": [dict(ok_rule, meta_marker_id=50000), dict(ok_rule, meta_marker_id=99999),
                                         dict(ok_rule, meta_marker_id=50000.5)]}, [])
    case("notext.json", with_rule(meta_marker_text=None),
         [fp(" meta marker rule at index 0 contains invalid or missing meta_marker_text. ")])
    case("nostarts.json", with_rule(start_conditions=None),
         [fp(" meta marker rule at index 0 does not have start_conditions as an array. ")])
    case("ends.json", with_rule(end_conditions={"type": "next_marker"}),
         [fp(" meta marker rule at index 0 does not have end_conditions as an array. ")])
    start_fault = [
        ("condobj.json", 5, [cp(" trigger condition is not a JSON object. ")], []),
        ("condtype.json", {"marker": 1}, [cp(" trigger condition contains invalid type. ")], []),
        ("condtypenum.json", {"type": 9}, [cp(" trigger condition contains invalid type. ")], []),
        ("capitals.json", {"type": "Marker", "marker": 1, "offset_in_seconds": 0},
         [cp(" unknown trigger type: Marker")], []),
        ("markerkey.json", {"type": "marker", "offset_in_seconds": 0}, [cp(" invalid 'MARKER' field ")], []),
        ("markerstr.json", {"type": "marker", "marker": "1", "offset_in_seconds": 0},
         [cp(" invalid 'MARKER' field ")], []),
        ("markeroffset.json", {"type": "marker", "marker": 1}, [cp(" invalid 'offset_in_seconds' field")], []),
        ("regex.json", {"type": "message", "case_sensitive": True, "offset_in_seconds": 0},
         [cp(" invalid 'regex' field ")], []),
        ("case.json", {"type": "message", "regex": "x", "offset_in_seconds": 0},
         [cp(" invalid 'case_sensitive' field ")], []),
        ("case01.json", {"type": "message", "regex": "x", "case_sensitive": 1, "offset_in_seconds": 0},
         [cp(" invalid 'case_sensitive' field ")], []),
        ("msgoffset.json", {"type": "message", "regex": "x", "case_sensitive": False},
         [cp(" invalid 'offset_in_seconds' field ")], []),
    ]
    for flag in ["seb_test_enabled", "high_voltage_test_enabled", "laser_ebt_test_enabled", "gc_ebt_test_enabled",
                 "heater_test_enabled"]:
        c = cond_marker(1, **{flag: 1})
        start_fault.append(("flag_" + flag + ".json", c, [], [cp(" invalid '" + flag + "' field")]))
    for name, c, err, outl in start_fault:
        case(name, with_rule(start_conditions=[cond_marker(1), c]),
             err + [fp(" meta marker rule at index 0 does not have valid start_condition at index 1")], outl)
    case("duration.json", with_rule(end_conditions=[{"type": "duration"}]),
         [cp(" invalid 'number_of_seconds' field "),
          fp(" meta marker rule at index 0 does not have valid end_condition at index 0")])
    case("durstart.json", with_rule(start_conditions=[{"type": "duration", "number_of_seconds": 3}]),
         [fp(" meta marker rule start_condition at index 0 contains invalid trigger type: duration")])
    case("nextstart.json", {"meta_markers": [ok_rule, dict(ok_rule, start_conditions=[{"type": "next_marker"}])]},
         [fp(" meta marker rule start_condition at index 1 contains invalid trigger type: next_marker")])
    # Well-formedness of every condition comes before their places.
    case("order.json", with_rule(start_conditions=[{"type": "duration", "number_of_seconds": 3}],
                                 end_conditions=[{"type": "bogus"}]),
         [cp(" unknown trigger type: bogus"),
          fp(" meta marker rule at index 0 does not have valid end_condition at index 0")])
    case("twofaults.json", {"meta_markers": [dict(ok_rule, tids="x"), dict(ok_rule, meta_marker_id=1)]},
         [fp(" Json file twofaults.json contains invalid TID specifier: x")])
    case("endflags.json", with_rule(end_conditions=[cond_marker(3, heater_test_enabled=False)]), [])
    case("unicode.json", with_rule(meta_marker_text="\u00e9t\u00e9", tids="\u0661"),
         [fp(" Json file unicode.json contains invalid TID specifier: \u0661")])
    return table


def build_bench(rng, n):
    """n packets: every 15th a message packet, every 150th a marker, the rest filler."""
    b = Builder(rng, K.folder_time(MAIN))
    arc = b.arc
    arc.bulk = True
    arc.time_packet(2)
    i = 1
    while i < n:
        if i % 150 == 0:
            b.marker(100 if (i // 150) % 2 else 7, b"bench", dt=0.01)
        elif i % 15 == 7:
            b.message("%d.5: line %d\nSEB Test = %d\nPump %s\n" % (arc.ts // 10000, i, (i // 15) % 2,
                                                                   "ON" if i % 45 == 7 else "OFF"), dt=0.01)
        else:
            b.filler(0.01)
        i += 1
    return b


def write_bench(out, n):
    """bulk1/, bulk2/, bulk4/: the archive once, twice and four times over."""
    rng = random.Random(7)
    write_definitions(out)
    b = build_bench(rng, n)
    meta = {"gse": {"version": 3, "mission": "kora", "tid": 150, "tid_dir": MAIN, "tmfile_name": "tm.tlm"}}
    for k in (1, 2, 4):
        d = os.path.join(out, "bulk%d" % k)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "tm.tlm"), "wb") as f:
            for _ in range(k):
                f.write(b.arc.bytes)
        write_json(os.path.join(d, "tm.meta"), meta)
    rules = []
    for r in range(10):
        if r % 3 == 0:
            rules.append(rule("150", 60000 + r, "bench", [cond_marker(100, seb_test_enabled=bool(r % 2))],
                              [{"type": "next_marker"}]))
        elif r % 3 == 1:
            rules.append(rule("100-200", 60000 + r, "bench", [cond_message("pump on")], [cond_message("pump off")]))
        else:
            rules.append(rule("150", 60000 + r, "bench", [cond_marker(7, 0.5)],
                              [{"type": "duration", "number_of_seconds": 2}]))
    write_json(os.path.join(out, "MetaMarkerRules", "bench.json"), {"meta_markers": rules})
    write_json(os.path.join(out, "expected.json"), {"packets": len(b.arc.packets), "markers": len(b.markers)})


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--bench", type=int, default=0)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    if args.bench:
        write_bench(args.out, args.bench)
        return
    rng = random.Random(31)
    write_definitions(args.out)
    b, ev = build_main(rng)
    t0, rel = b.times()
    for name, with_meta in ((MAIN, True), (NO_META, False), (NO_TID, False)):
        d = os.path.join(args.out, name)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "tm.tlm"), "wb") as f:
            f.write(b.arc.bytes)
        if with_meta:
            write_json(os.path.join(d, "tm.meta"), {"gse": {"version": 3, "mission": "kora", "tid": 150,
                                                            "tid_dir": name, "tmfile_name": "tm.tlm"}})
    markers = []
    for k, (p, rec) in enumerate(b.markers):
        markers.append(dict(rec, pktIndex=p["index"], markerIndex=k, rawTimestamp=p["ts"],
                            relativeTime=rel[p["index"]], unixTime=p["unix"]))
    # Time order by the cache's rule: append unless earlier than the last,
    # else before the first record not earlier.
    # Each list by its own last record (idMarkers only takes non-zero ids).
    def time_order(records):
        ordered = []
        for m in records:
            if not ordered or m["relativeTime"] >= ordered[-1]["relativeTime"]:
                ordered.append(m)
            else:
                keys = [o["relativeTime"] for o in ordered]
                ordered.insert(bisect.bisect_left(keys, m["relativeTime"]), m)
        return ordered

    ordered = time_order(markers)
    id_ordered = time_order([m for m in markers if m["markerId"] != 0])
    reset_lines = write_rules(args.out)
    expected = {
        "archives": {"main": MAIN, "noMeta": NO_META, "noTid": NO_TID},
        "testId": 150,
        "packets": [{"index": p["index"], "type": p["type"], "relativeTime": rel[p["index"]]}
                    for p in b.arc.packets],
        "markers": markers,
        "timeOrder": [m["markerIndex"] for m in ordered],
        "idTimeOrder": [m["markerIndex"] for m in id_ordered],
        "events": {k: p["index"] for k, p in ev.items() if isinstance(p, dict)},
        "metaMarkers": meta_markers(b, ev),
        "resetStderr": reset_lines,
        "findings": write_findings(args.out),
    }
    write_json(os.path.join(args.out, "expected.json"), expected)


if __name__ == "__main__":
    main()
