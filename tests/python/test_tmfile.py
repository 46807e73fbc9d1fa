"""Telemetry file, packet and message-log classes on the first-instrument
sample, checked against what scripts/gen_samples.py wrote."""
import json
import os
import shutil
import struct
import textwrap

import pytest

import conftest

import cvekutil
import _cvekutil


def test_file_identity(kora, expected):
    e = expected["kora"]
    assert kora.filename() == conftest.KORA
    assert kora.absolute_directory() == os.path.dirname(os.path.realpath(conftest.KORA))
    assert kora.directory_string() == e["folder"]
    assert kora.tid() == e["tid"] and kora.model() == e["model"]
    assert kora.exists() and kora.file_size() == os.path.getsize(conftest.KORA)
    assert kora.length() == len(e["packets"])
    assert kora.is_time_synced() is e["isSynced"]


def test_packets_times_and_headers(kora, expected):
    packets = expected["kora"]["packets"]
    raw = open(conftest.KORA, "rb").read()
    pos = 0
    for i, want in enumerate(packets):
        p = kora.get_pkt(i)
        n = struct.unpack(">H", raw[pos + 2:pos + 4])[0] + 12
        assert p.index() == i and p.get_type() == want["type"], i
        assert p.unix_timestamp() == pytest.approx(want["unixTime"], abs=1e-4), i
        assert p.relative_timestamp() == pytest.approx(want["relativeTime"], abs=1e-4), i
        assert p._raw_packet() == tuple(raw[pos:pos + n]), i
        assert p.total_length() == n and p.length() == n - 12
        assert p.sequence() == raw[pos + 1]
        assert p.sclk() == struct.unpack(">I", raw[pos + 4:pos + 8])[0]
        assert p.checksum() == struct.unpack(">I", raw[pos + n - 4:pos + n])[0]
        assert p.gse_created() is False and p.full_type() == p.get_type()
        pos += n
    assert kora.t0_in_unix_time() == pytest.approx(packets[1]["unixTime"], abs=1e-4)


@pytest.mark.parametrize("index", [-1, "length", 2**31 - 1])
def test_get_pkt_bad_index(kora, index):
    if index == "length":
        index = kora.length()
    with pytest.raises(IndexError, match="^get_pkt was passed an invalid index.$"):
        kora.get_pkt(index)


def test_get_pkt_argument_texts(kora):
    with pytest.raises(OverflowError, match="in method 'TMFile_get_pkt', argument 2 of type 'int'"):
        kora.get_pkt(2**31)
    with pytest.raises(TypeError, match="in method 'TMFile_get_pkt', argument 2 of type 'int'"):
        kora.get_pkt("1")
    assert kora.get_pkt(True).index() == 1


def test_markers(kora, expected):
    markers = expected["kora"]["markers"]
    current = None
    for i in range(kora.length()):
        for m in markers:
            if m["index"] == i:
                current = m
        p = kora.get_pkt(i)
        if current is None:
            assert (p.marker_id(), p.tarq_marker_index(), p.marker_text()) == (0, 0, ""), i
        else:
            # Ids read back as signed 32-bit values; the marker of id 0 counts.
            want_id = struct.unpack(">i", struct.pack(">I", current["id"]))[0]
            assert (p.marker_id(), p.tarq_marker_index(), p.marker_text()) == \
                (want_id, current["order"] + 1, current["text"]), i


def test_values_in_three_modes(kora, expected):
    for item in expected["kora"]["items"]:
        p = kora.get_pkt(item["packet"])
        for hkid in ("9001", "9002"):
            got = [p.all_raw_data(int(hkid)), p.all_eng_data(int(hkid)), p.all_sci_data(int(hkid))]
            assert [len(g) for g in got] == [1, 1, 1]
            assert [g[0].value for g in got] == pytest.approx(item[hkid]), (item["packet"], hkid)
            assert got[0][0].relative_timestamp == pytest.approx(p.relative_timestamp())
            assert p.all_data(int(hkid))[0].value == got[2][0].value
            assert p.all_data(int(hkid), 2)[0].value == got[2][0].value
        # Another packet type's row, and an id no row has: empty.
        assert p.all_sci_data(9003) == () and p.all_sci_data(123456) == ()
    wave = [i for i, q in enumerate(expected["kora"]["packets"]) if q["type"] == 14][0]
    samples = kora.get_pkt(wave).all_sci_data(9003)
    assert [d.value for d in samples] == [1.0 + 2.0 * k for k in range(64)]


def test_all_data_overload_text(kora):
    p = kora.get_pkt(0)
    with pytest.raises(TypeError) as e:
        p.all_data(5, 2**40)
    assert str(e.value) == ("Wrong number or type of arguments for overloaded function 'TMPacket_all_data'.\n"
                            "  Possible C/C++ prototypes are:\n"
                            "    cvekutil::TMPacket::all_data(int,int)\n"
                            "    cvekutil::TMPacket::all_data(int)\n")


def test_raw_message(kora, expected):
    for index, text in expected["kora"]["messages"]:
        assert kora.get_pkt(index).raw_message() == text
    marker = expected["kora"]["markers"][0]["index"]
    assert kora.get_pkt(marker).raw_message() == ""


def test_message_log(kora, expected):
    log = cvekutil.PyMsgLogCache()
    texts = [t.rstrip("\n") for _, t in expected["kora"]["messages"]]
    # A line with its own time loses the prefix and is timed by it.
    texts[2] = "valve open"
    assert log.size() == len(texts)
    lines = [log.get(i) for i in range(log.size())]
    assert [line.msg() for line in lines] == texts
    t0 = kora.t0_in_unix_time()
    assert lines[2].relativeTime() == pytest.approx(4321.5 - (kora.t0_in_sclk() / 10000.0), abs=1e-3)
    assert lines[2].unixTime() - lines[2].relativeTime() == pytest.approx(t0, abs=1e-3)
    assert cvekutil.PyMsgLogCache().get(1).msg() == texts[1]
    with pytest.raises(IndexError):
        log.get(log.size())
    with pytest.raises(OverflowError, match="in method 'PyMsgLogCache_get', argument 2 of type 'unsigned int'"):
        log.get(-1)
    default = cvekutil.PyMsgLogLine()
    assert (default.unixTime(), default.relativeTime(), default.msg()) == (0.0, 0.0, "")
    assert cvekutil.PyMsgLogLine(None).msg() == ""


def test_tmfile_of_another_path(kora, expected, tmp_path):
    # No tm.meta beside it: model unknown, test id and folder from the folder
    # name, but packets and count of the initialised archive.
    folder = tmp_path / "2011-01-02-03.04.05-777-other"
    folder.mkdir()
    shutil.copy(conftest.KORA, folder / "x.tlm")
    other = cvekutil.TMFile(str(folder / "x.tlm"))
    assert other.model() == "unknown"
    # Packet 0 of the shared cache names the data directory.
    assert other.directory_string() == expected["kora"]["folder"]
    assert other.tid() == 12345
    assert other.length() == kora.length()
    with pytest.raises(RuntimeError, match="^TMFile was given a nonexistent file!$"):
        cvekutil.TMFile(str(folder / "missing.tlm"))


def test_packet_without_marker_cache(kora):
    p = kora.get_pkt(5)
    # A packet pointer can only come from another module; the constructor
    # refuses None with the null-reference text.
    with pytest.raises(ValueError, match="invalid null reference in method 'new_TMPacket', argument 1"):
        cvekutil.TMPacket(None, None)
    assert p.marker_id() != 0


def test_meta_markers(kora, expected):
    # The sample's first rule: "pumping" (50001) from marker 7 for one second.
    rule = conftest.gen_samples.META_RULES["meta_markers"][0]
    start = expected["kora"]["packets"][expected["kora"]["markers"][0]["index"]]["relativeTime"]
    (m,) = [x for x in kora.get_meta_markers() if x.metaMarkerId == rule["meta_marker_id"]]
    assert (m.metaMarkerId, m.index, m.msg) == (rule["meta_marker_id"], 0, rule["meta_marker_text"])
    assert m.startRelativeTimeInSecs == pytest.approx(start, abs=1e-4)
    assert m.endRelativeTimeInSecs == pytest.approx(start + rule["end_conditions"][0]["number_of_seconds"], abs=1e-4)
    for i in range(kora.length()):
        p = kora.get_pkt(i)
        inside = m.startRelativeTimeInSecs <= p.relative_timestamp() <= m.endRelativeTimeInSecs
        assert [x.msg for x in p.get_meta_markers() if x.msg == "pumping"] == (["pumping"] if inside else []), i


def test_short_and_bad_calls_raise_python_errors(kora):
    p = kora.get_pkt(2)
    for f, args in [(_cvekutil.TMPacket_raw_message, (None,)), (_cvekutil.TMPacket__raw_packet, ("x",)),
                    (_cvekutil.TMFile_length, (p,)), (_cvekutil.TMPacket_all_data, (kora, 1))]:
        with pytest.raises(TypeError):
            f(*args)


MCAL = json.dumps({"version": 2, "control_mode": 0, "entries": [
    {"phase_cycle": -1, "order": 1, "rms": 0, "constants": [0, 1, 0],
     "data_points": [{"control": 10, "amu": 1}, {"control": 20, "amu": 3}]}]})


# Files in the archive folder, the tm.meta's "default_mcal", files in the
# configured calibration folder, the name expected and the folder's files after.
@pytest.mark.parametrize("here, named, configured, want, after", [
    ({"a.mcal": MCAL, "b.mcal": MCAL, "c.mcal": MCAL}, "b.mcal", {}, "b.mcal", None),
    ({"a.mcal": MCAL, "c.mcal": MCAL}, "gone.mcal", {"z.mcal": MCAL}, "c.mcal", None),
    ({"a.mcal": MCAL, "c.mcal": "{ not json"}, "", {}, "", None),
    ({"a.mcal": MCAL, "b.mcal": "{ not json"}, "b.mcal", {}, "", None),
    ({"notes.txt": "x"}, "", {"y.mcal": MCAL, "z.mcal": MCAL}, "z.mcal", ["notes.txt", "tm.meta", "x.tlm", "z.mcal"]),
    ({}, "", {}, "", ["tm.meta", "x.tlm"]),
], ids=["named", "newest-in-folder", "newest-unreadable", "named-unreadable", "configured-copied", "none"])
def test_get_mcal_filename(kora, tmp_path, here, named, configured, want, after):
    folder = tmp_path / "2011-01-02-03.04.05-778-mcal"
    folder.mkdir()
    shutil.copy(conftest.KORA, folder / "x.tlm")
    meta = {"gse": {"version": 3, "mission": "kora", "model": "FM", "tid": 778, "tid_dir": folder.name,
                    "tmfile_name": "x.tlm", "default_mcal": named}}
    (folder / "tm.meta").write_text(json.dumps(meta))
    for name, text in here.items():
        (folder / name).write_text(text)
    # The configured folder of the started group (KORA_FM), emptied again after.
    mcal_root = os.path.join(conftest.SAMPLES, "kora", "mcal")
    assert os.listdir(mcal_root) == []
    try:
        for name, text in configured.items():
            with open(os.path.join(mcal_root, name), "w") as f:
                f.write(text)
        assert cvekutil.TMFile(str(folder / "x.tlm")).get_mcal_filename() == want
    finally:
        for name in configured:
            os.remove(os.path.join(mcal_root, name))
    if after is not None:
        assert sorted(os.listdir(folder)) == after
    if want:
        assert (folder / want).read_text() == (here.get(want) or configured[want])


def test_folder_of_a_file_that_is_gone(kora, tmp_path, monkeypatch):
    # Another archive's copy, a link to it, and a link whose target is gone.
    folder = tmp_path / "2011-01-02-03.04.05-779-gone"
    folder.mkdir()
    shutil.copy(conftest.KORA, folder / "x.tlm")
    links = tmp_path / "links"
    links.mkdir()
    os.symlink(folder / "x.tlm", links / "to-x.tlm")
    os.symlink(folder / "y.tlm", links / "to-y.tlm")
    shutil.copy(conftest.KORA, folder / "y.tlm")
    f, via, dangling = (cvekutil.TMFile(str(p)) for p in (folder / "x.tlm", links / "to-x.tlm", links / "to-y.tlm"))
    real = os.path.realpath(str(folder))
    # A link resolves to its target's folder.
    assert [t.absolute_directory() for t in (f, via, dangling)] == [real] * 3
    os.remove(folder / "x.tlm")
    os.remove(folder / "y.tlm")
    # The configured calibration folder holds a file that a search would copy.
    mcal_root = os.path.join(conftest.SAMPLES, "kora", "mcal")
    with open(os.path.join(mcal_root, "z.mcal"), "w") as out:
        out.write(MCAL)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    try:
        for t in (f, via, dangling):
            assert (t.exists(), t.file_size(), t.absolute_directory()) == (False, 0, "")
            # No folder, nothing searched or copied (not into the working folder).
            assert t.get_mcal_filename() == ""
    finally:
        os.remove(os.path.join(mcal_root, "z.mcal"))
    assert os.listdir(work) == [] and os.listdir(folder) == []


def test_objects_kept_across_a_file_started_anew(tmp_path):
    # The archive is truncated under the script and a recording that starts
    # two packets later is written in its place; the script opens it again
    # (the module reads no further by itself). The packet taken before keeps
    # its bytes and stored fields; the kept TMFile shows the new recording.
    folder = tmp_path / os.path.basename(os.path.dirname(conftest.KORA))
    shutil.copytree(os.path.dirname(conftest.KORA), folder)
    path = str(folder / os.path.basename(conftest.KORA))
    code = textwrap.dedent("""
        import json, struct, cvekutil
        path = %r
        f = cvekutil.open_tmfile(path)
        before = f.length()
        p = f.get_pkt(2)
        stored = [p.index(), p._raw_packet(), p.unix_timestamp(), p.marker_id()]
        data = open(path, "rb").read()
        at = 0
        for _ in range(2):
            at += struct.unpack(">H", data[at + 2:at + 4])[0] + 12
        with open(path, "r+b") as out:
            out.truncate(0)
            out.write(data[at:])
        cvekutil.initCVekUtil(path)
        try:
            p.all_data(9001)
            refused = ""
        except RuntimeError as e:
            refused = str(e)
        print(json.dumps({"lengths": [before, f.length()],
                          "stored": stored == [p.index(), p._raw_packet(), p.unix_timestamp(), p.marker_id()],
                          "first": [f.get_pkt(0).index(), f.get_pkt(0)._raw_packet() == stored[1]],
                          "refused": refused}))
    """) % path
    r = conftest.run_python(code)
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout.splitlines()[-1])
    assert got["lengths"][1] == got["lengths"][0] - 2
    assert got["stored"] is True
    assert got["first"] == [0, True]
    assert got["refused"] == "TMPacket belongs to an archive that a later initCVekUtil replaced."
