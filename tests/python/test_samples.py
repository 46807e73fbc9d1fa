"""The demo's sample archives, written by scripts/gen_samples.py as a user
runs it, read back through the module: every packet the generator wrote is
read (count, types, times) without a single resynchronisation, and every
item decodes to what the generator computed from the formats."""
import json
import os
import subprocess
import sys

import pytest

import conftest

# Lines of the archive parse that mean bytes were skipped or not understood.
PARSE_MESSAGES = ("Skipped", "Invalid header", "Could not read", "Read partial", "Scanned")

DUMP = """
import json
import cvekutil
tm = cvekutil.open_tmfile({path!r})
out = {{"synced": tm.is_time_synced(), "packets": [], "values": {{}}}}
for i in range(tm.length()):
    p = tm.get_pkt(i)
    out["packets"].append([p.get_type(), p.unix_timestamp(), p.relative_timestamp()])
    for hkid in {ids!r}:
        modes = [[[d.unix_timestamp, d.relative_timestamp, d.value] for d in f(hkid)]
                 for f in (p.all_raw_data, p.all_eng_data, p.all_sci_data)]
        if any(modes):
            out["values"]["%d %d" % (i, hkid)] = modes
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("samples"))
    script = os.path.join(conftest.ROOT, "scripts", "gen_samples.py")
    r = subprocess.run([sys.executable, script, out], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    with open(os.path.join(out, "expected.json")) as f:
        return out, json.load(f)


def read(samples, name, ids):
    out, expected = samples
    path = os.path.join(out, expected[name]["path"])
    r = conftest.run_python(DUMP.format(path=path, ids=sorted(ids)),
                            env={"INIVEK": os.path.join(out, "vekconfig.INI")})
    assert r.returncode == 0, r.stderr
    skipped = [line for line in r.stderr.splitlines() if line.startswith(PARSE_MESSAGES)]
    assert skipped == [], "the parse skipped bytes of " + name
    return json.loads(r.stdout)


def test_first_instrument_sample(samples):
    expected = samples[1]["kora"]
    ids = {int(k) for item in expected["items"] for k in item if k != "packet"}
    got = read(samples, "kora", ids)

    assert len(got["packets"]) == len(expected["packets"])
    assert got["synced"] is expected["isSynced"]
    for i, (want, (ptype, unix, relative)) in enumerate(zip(expected["packets"], got["packets"])):
        assert ptype == want["type"], i
        assert unix == pytest.approx(want["unixTime"], abs=1e-4), i
        assert relative == pytest.approx(want["relativeTime"], abs=1e-4), i

    want_values = {"%d %s" % (item["packet"], k): v for item in expected["items"]
                   for k, v in item.items() if k != "packet"}
    assert set(got["values"]) == set(want_values)
    for key, modes in want_values.items():
        points = got["values"][key]
        packet = got["packets"][int(key.split()[0])]
        assert [len(m) for m in points] == [1, 1, 1], key
        assert [m[0][2] for m in points] == pytest.approx(modes), key
        for m in points:
            assert m[0][:2] == pytest.approx(packet[1:], abs=1e-6), key


def test_second_instrument_sample(samples):
    expected = samples[1]["tolva"]
    ids = {d["id"] for d in expected["decoded"]}
    got = read(samples, "tolva", ids)

    assert len(got["packets"]) == len(expected["packets"])
    for i, (want, (apid, unix, relative)) in enumerate(zip(expected["packets"], got["packets"])):
        assert apid == want["apid"], i
        assert unix == pytest.approx(want["unix"], abs=1e-6), i
        assert relative == pytest.approx(want["relative"], abs=1e-6), i

    # Every row of every packet of its APID; rows that find nothing give nothing.
    wanted = {}
    for d in expected["decoded"]:
        if d.get("items", True):
            wanted["%d %d" % (d["packet"], d["id"])] = d
    assert set(got["values"]) == set(wanted)
    for key, d in wanted.items():
        raw, eng, sci = got["values"][key]
        if "mode" in d:
            # An equation row: one raw value, converted in the row's mode.
            assert [p[2] for p in raw] == [d["raw"]], key
            converted = eng if d["mode"] == 1 else sci
            assert [p[2] for p in converted] == pytest.approx([d["value"]], rel=1e-9), key
            continue
        # A decoder row: its items in order, with their own times.
        assert len(raw) == len(d["items"]), key
        for k, (point, item) in enumerate(zip(raw, d["items"])):
            assert point[2] == pytest.approx(item["value"], rel=1e-9, abs=1e-9), (key, k)
            assert point[0] == pytest.approx(item["unix"], abs=1e-6), (key, k)
            assert point[1] == pytest.approx(item["relative"], abs=1e-6), (key, k)


def test_second_instrument_sample_packets_fit_their_types(samples):
    # The generator's own packet types admit every packet it wrote.
    out, expected = samples
    limits = {}
    with open(os.path.join(out, "tolva", "defs", "tm_packet_types.txt")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                cells = [c.strip() for c in line.split(",")]
                limits[int(cells[0])] = (int(cells[3]), int(cells[4]))
    for i, p in enumerate(expected["tolva"]["packets"]):
        low, high = limits[p["apid"]]
        assert low < 0 or low <= p["size"] - 6 <= high, (i, p["apid"], p["size"])
