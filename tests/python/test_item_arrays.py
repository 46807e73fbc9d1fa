"""TMFile.item_arrays, the bulk road, against the per-packet road: on the demo
archives and the generators' archives (with their databases' every row, in
the three modes, intact and damaged) its arrays must hold, packet by packet,
exactly what get_pkt(i).all_data(hkid, mode) gives, times included and bit
for bit; then its packet ranges, unknown and text items, arguments, and its
refusal once a later start-up replaced the archive."""
import json
import os
import random
import shutil
import subprocess
import sys
import textwrap

import numpy
import pytest

import conftest
import cvekutil

sys.path.insert(0, os.path.join(conftest.ROOT, "scripts"))
import gen_kora  # noqa: E402
import gen_kora_scans  # noqa: E402
import gen_samples  # noqa: E402

# Decode types whose samples are text: the generic text and bytes decoders.
TEXT_DECODE_TYPES = {7, 61}

# Run in a fresh interpreter per configuration: every archive in turn, every
# row id in the three modes, both roads; prints one JSON report per archive.
COMPARE = textwrap.dedent("""
    import json, sys
    import numpy
    import cvekutil
    cfg = json.loads(sys.argv[1])

    def per_packet(tm, hkid, mode):
        times, rel, values, index = [], [], [], []
        for i in range(tm.length()):
            for d in tm.get_pkt(i).all_data(hkid, mode):
                times.append(d.unix_timestamp)
                rel.append(d.relative_timestamp)
                values.append(d.value)
                index.append(i)
        return times, rel, values, index

    def bits(values, dtype):
        return numpy.array(values, dtype=dtype).tobytes()

    for path in cfg["archives"]:
        cvekutil.initCVekUtil(path)
        tm = cvekutil.TMFile(path)
        report = {"path": path, "packets": tm.length(), "samples": 0, "items": 0, "mismatch": [],
                  "refused": {}, "text_with_samples": []}
        for hkid in cfg["ids"]:
            for mode in (0, 1, 2):
                want = per_packet(tm, hkid, mode)
                try:
                    got = tm.item_arrays(hkid, mode)
                except TypeError as e:
                    report["refused"][str(hkid)] = str(e)
                    if want[2]:
                        report["text_with_samples"].append(hkid)
                    break
                names = ("unix_timestamp", "relative_timestamp", "value", "packet_index")
                for name, w, g, dtype in zip(names, want, got, ("f8", "f8", "f8", "i8")):
                    assert g is getattr(got, name)
                    if g.dtype != numpy.dtype(dtype) or g.tobytes() != bits(w, dtype):
                        report["mismatch"].append([hkid, mode, name, len(w), len(g)])
                report["samples"] += len(want[2])
                report["items"] += bool(want[2])
        print(json.dumps(report))
""")


def table_rows(path):
    """(id, decode type) of every row of a tab-separated database."""
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        at_id, at_type = header.index("DATA_ID"), header.index("DECODE_TYPE")
        rows = []
        for line in f:
            cells = line.rstrip("\n").split("\t")
            if len(cells) > max(at_id, at_type) and cells[at_id].strip().isdigit():
                rows.append((int(cells[at_id]), int(cells[at_type])))
    return rows


def damaged_copy(archive, folder, seed):
    """The archive beside a copy of its tm.meta, with bursts of random bytes
    inserted, bytes overwritten and the last packet cut short."""
    rng = random.Random(seed)
    data = bytearray(open(archive, "rb").read())
    for _ in range(6):
        at = rng.randrange(len(data))
        data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
    for _ in range(6):
        data[rng.randrange(len(data))] = rng.randrange(256)
    del data[-7:]
    os.makedirs(folder)
    shutil.copy(os.path.join(os.path.dirname(archive), "tm.meta"), folder)
    path = os.path.join(folder, os.path.basename(archive))
    with open(path, "wb") as f:
        f.write(data)
    return path


def run(code, ini, *args):
    """code in a fresh interpreter with the configuration ini and argv args."""
    return subprocess.run([sys.executable, "-c", code, *args], env=dict(os.environ, INIVEK=ini),
                          capture_output=True, text=True, timeout=280, cwd=conftest.WORK)


def compare(ini, archives, rows):
    r = run(COMPARE, ini, json.dumps({"archives": archives, "ids": [row[0] for row in rows]}))
    assert r.returncode == 0, r.stderr[-3000:]
    reports = [json.loads(line) for line in r.stdout.splitlines() if line.startswith("{")]
    assert len(reports) == len(archives)
    return reports


def check(reports, rows):
    types = dict(rows)
    for rep in reports:
        where = rep["path"]
        assert rep["packets"] > 0, where
        assert rep["mismatch"] == [], where
        # The text items, and only they, are refused, by a text naming the item.
        for hkid, text in rep["refused"].items():
            assert types[int(hkid)] in TEXT_DECODE_TYPES, (where, hkid)
            assert text.startswith("data item %s (" % hkid), text
        assert all(types[h] in TEXT_DECODE_TYPES for h in rep["text_with_samples"])
    # Between them the archives gave something to compare for many items.
    assert sum(rep["samples"] for rep in reports) > 100
    return reports


def test_demo_archives_intact_and_damaged(tmp_path):
    kora_rows = table_rows(os.path.join(conftest.SAMPLES, "kora", "defs", "KOR_TM_Database.txt"))
    tolva_rows = table_rows(os.path.join(conftest.SAMPLES, "tolva", "defs", "tmdb.txt"))
    tmp = str(tmp_path)
    kora = [conftest.KORA] + [damaged_copy(conftest.KORA, os.path.join(tmp, "k%d" % s), s) for s in (1, 2)]
    tolva = [conftest.TOLVA] + [damaged_copy(conftest.TOLVA, os.path.join(tmp, "t%d" % s), s) for s in (1, 2)]
    reports = check(compare(conftest.INI, kora, kora_rows), kora_rows)
    # The demo's text item (9000, message-log packets) is refused.
    assert "9000" in reports[0]["refused"]
    assert reports[0]["items"] >= 10
    reports = check(compare(conftest.INI, tolva, tolva_rows), tolva_rows)
    assert reports[0]["items"] >= 10


def kora_configuration(out):
    """gen_kora's group with the keys and files a first-instrument start-up also needs."""
    ini = os.path.join(out, "vekconfig.INI")
    with open(ini, "w") as f:
        f.write("[VEK]\ndefault_group=KORA\n[KORA]\n" + "\n".join(gen_samples.kora_group(out)) + "\n")
    gen_kora_scans.write_seb_cmds(out)
    return ini


def test_generators_archives_every_decoder(tmp_path):
    out = str(tmp_path / "kora")
    r = subprocess.run([sys.executable, os.path.join(conftest.ROOT, "scripts", "gen_kora.py"), out, "--decoders"],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    expected = json.load(open(os.path.join(out, "expected.json")))
    # One archive of the packets laid out for every first-instrument decoder.
    name = "2021-03-14-01.30.00_T103"
    arc = gen_kora.Archive(random.Random(3), gen_kora.folder_time(name))
    arc.tick0 = arc.fallback
    arc.time_packet(2)
    for p in expected["decoders"]["packets"]:
        data = bytes.fromhex(p["hex"])
        # Those the packet types reject would be read as damage; a damaged copy follows.
        if gen_kora.type_accepts(gen_kora.PACKET_TYPES, p["type"], len(data)):
            arc.instrument(p["type"], data)
    gen_kora.write_archive(out, name, arc)
    archives = [os.path.join(out, d, "tm.tlm") for d in
                ("2021-03-14-01.30.00_T101", "2021-07-04-09.15.00_T102", name)]
    archives.append(damaged_copy(archives[2], os.path.join(out, "damaged"), 5))
    rows = table_rows(os.path.join(out, "defs", "KOR_TM_Database.txt"))
    assert len({t for _, t in rows if t >= 200}) >= 20
    reports = check(compare(kora_configuration(out), archives, rows), rows)
    assert reports[2]["items"] >= 40

    tolva = str(tmp_path / "tolva")
    r = subprocess.run([sys.executable, os.path.join(conftest.ROOT, "scripts", "gen_tolva.py"), tolva],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    archives = [os.path.join(tolva, d, "tm.bin") for d in ("bare", "label", "framed", "markers")]
    archives.append(damaged_copy(archives[0], os.path.join(tolva, "damaged"), 6))
    rows = table_rows(os.path.join(tolva, "defs", "tmdb.txt"))
    reports = check(compare(os.path.join(tolva, "vekconfig.INI"), archives, rows), rows)
    assert reports[0]["items"] >= 15


# ---- the contract's cases, on the demo's first-instrument archive -----------

WAVE_ID = 9003  # 64 samples in every packet of its type
HK_ID = 9001


def test_slices_read_as_python_slices(kora):
    n = kora.length()
    whole = kora.item_arrays(WAVE_ID, 1)
    assert len(whole.value) > 64
    bounds = [None, 0, 1, 5, n // 2, n - 1, n, n + 1, 10**6, -1, -2, -n, -n - 1, -10**6, 2**63, 2**70, -2**70,
              True, numpy.int64(3), numpy.uint8(4)]
    for start in bounds:
        for stop in bounds:
            taken = set(range(n)[slice(start, stop)])
            keep = numpy.array([i in taken for i in whole.packet_index], dtype=bool)
            got = kora.item_arrays(WAVE_ID, 1, start, stop)
            for g, w in zip(got, whole):
                assert g.tobytes() == w[keep].tobytes(), (start, stop)
    # Keywords, and the default mode (science).
    part = kora.item_arrays(hkid=WAVE_ID, start=-3)
    assert part.value.tobytes() == kora.item_arrays(WAVE_ID, 2, n - 3, None).value.tobytes()


def test_unknown_items_and_argument_errors(kora):
    for hkid in (123456, -1, 2**31 - 1):
        got = kora.item_arrays(hkid)
        assert [len(a) for a in got] == [0, 0, 0, 0]
        assert [a.dtype.str for a in got] == ["<f8", "<f8", "<f8", "<i8"]
    # A row of another packet type than any in the range: empty too.
    assert len(kora.item_arrays(WAVE_ID, 2, 0, 1).value) == 0
    with pytest.raises(TypeError, match=r"^data item 9000 \(MSG:TEXT\) gives text samples; item_arrays takes numeric items only$"):
        kora.item_arrays(9000)
    with pytest.raises(TypeError, match="in method 'TMFile_item_arrays', argument 2 of type 'int'"):
        kora.item_arrays("9001")
    with pytest.raises(OverflowError, match="in method 'TMFile_item_arrays', argument 3 of type 'int'"):
        kora.item_arrays(HK_ID, 2**31)
    for bad in (1.5, "1", [1]):
        with pytest.raises(TypeError, match="^slice indices must be integers or None or have an __index__ method$"):
            kora.item_arrays(HK_ID, 2, bad)
        with pytest.raises(TypeError, match="^slice indices must be integers or None"):
            kora.item_arrays(HK_ID, 2, None, bad)
    with pytest.raises(TypeError):
        kora.item_arrays(HK_ID, 2, None, None, None)


def test_arrays_own_their_memory(kora):
    got = kora.item_arrays(WAVE_ID, 0)
    times, relative, values, index = got
    assert type(got) is cvekutil.ItemArrays and values is got.value and index is got.packet_index
    # Handed over, not copied: numpy does not own the buffer, its base does.
    assert all(not a.flags.owndata and a.base is not None for a in got)
    copy = values.copy()
    del got
    # The arrays outlive the result and are the caller's to change.
    for _ in range(3):
        kora.item_arrays(WAVE_ID, 0)
    assert values.tobytes() == copy.tobytes() and values.flags.writeable
    values[0] = -1.0
    assert kora.item_arrays(WAVE_ID, 0).value[0] == copy[0]


LATER_START_UP = textwrap.dedent("""
    import sys, cvekutil
    path = sys.argv[1]
    print("numpy" in sys.modules)
    first = cvekutil.open_tmfile(path)
    print("numpy" in sys.modules)
    before = first.item_arrays(9001)
    packet = first.get_pkt(int(before.packet_index[0]))
    cvekutil.initCVekUtil(path)
    for call in (lambda: packet.all_data(9001), lambda: first.item_arrays(9001)):
        try:
            call()
            print("no error")
        except RuntimeError as e:
            print(e)
    again = cvekutil.TMFile(path).item_arrays(9001)
    print(again.value.tobytes() == before.value.tobytes() and len(before.value) > 0)
""")


def test_refused_after_a_later_start_up_and_numpy_imported_on_first_call():
    r = run(LATER_START_UP, conftest.INI, conftest.KORA)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "False", "False",
        "TMPacket belongs to an archive that a later initCVekUtil replaced.",
        "TMFile belongs to an archive that a later initCVekUtil replaced.",
        "True"]
