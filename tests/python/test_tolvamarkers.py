"""Second-instrument marker snapshot (PyTolvaMarkerCache, PyTolvaMarker) on
gen_tolva.py's marker archive and on small archives made here. Times are
computed with datetime from the packet bytes; the closed and open lists come
from gen_tolva.py's model of the marker rules."""
import datetime
import json
import os
import struct

import pytest

import conftest
import gen_tolva

import cvekutil
import _cvekutil

UTC = datetime.timezone.utc
EPOCH_2010 = datetime.datetime(2010, 1, 1, tzinfo=UTC) - datetime.datetime(1970, 1, 1, tzinfo=UTC)
T = gen_tolva.MARKER_BASE + 100


def start_us(packet):
    """Unix microseconds of a packet: seconds since 2010 in bytes 6-9, 1/256 s in byte 10."""
    seconds, fraction = struct.unpack(">IB", packet[6:11])
    whole = EPOCH_2010 + datetime.timedelta(seconds=seconds)
    return whole // datetime.timedelta(microseconds=1) + fraction * 1000000 // 256


def packets_of(data):
    out, pos = [], 0
    while pos + 6 <= len(data):
        n = struct.unpack(">H", data[pos + 4:pos + 6])[0] + 7
        out.append(data[pos:pos + n])
        pos += n
    return out


def archive(name, data):
    """An archive folder under the test work area with a tm.meta of group TOLVA_FM."""
    folder = os.path.join(conftest.WORK, "tolva-markers", name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "tm.bin"), "wb") as f:
        f.write(data)
    conftest.gen_samples.write_meta(folder, "tolva", 7, name)
    return os.path.join(folder, "tm.bin")


def mk(seconds, fraction, mid, mtype, text=b""):
    return gen_tolva.marker_packet(seconds, fraction, mid, mtype, text)


# Equal start times everywhere: the closed ones in closing order (9 before 4),
# then the open ones by id (1 before 3), though 1's packet comes last.
TIES = [
    mk(T, 0, 9, 0, b"nine"),
    mk(T, 0, 3, 0, b"three \xff\xfe"),
    mk(T, 0, 4, 0, b"four"),
    mk(T + 1, 0, 0, 9),
    mk(T + 2, 0, 0, 4),
    mk(T, 0, 1, 0, b"one"),
]
TIES_ORDER = [(9, "nine", True), (4, "four", True), (1, "one", False),
              (3, b"three \xff\xfe".decode("utf-8", "surrogateescape"), False)]
NO_MARKERS = [gen_tolva.packet(737, T, 0, bytes(40)), gen_tolva.packet(749, T + 1, 0, bytes(30))]


@pytest.fixture(scope="module")
def generated():
    out = os.path.join(conftest.WORK, "gen_tolva_markers")
    gen_tolva.generate_markers(out)
    with open(os.path.join(out, "markers.json")) as f:
        model = json.load(f)["first"]
    with open(os.path.join(out, "markers", "tm.bin"), "rb") as f:
        data = f.read()
    return model, data


@pytest.fixture(scope="module")
def snapshot(generated):
    os.environ["INIVEK"] = conftest.INI
    cvekutil.initCVekUtil(archive("first", generated[1]))
    return cvekutil.PyTolvaMarkerCache()


def values(m):
    return (m.t_start_us(), m.t_end_us(), m.marker_id(), m.marker_type(), m.text(), m.is_complete())


def test_snapshot_matches_model_in_stable_start_order(snapshot, generated):
    model, _ = generated
    # Closed in closing order, then open: a stable sort by start keeps that order among equals.
    want = sorted(model["closed"] + model["open"], key=lambda m: m["start"])
    got = [values(snapshot.get(i)) for i in range(snapshot.size())]
    assert snapshot.size() == len(want) == 10
    for i, (g, w) in enumerate(zip(got, want)):
        text = bytes.fromhex(w["text"]).decode("utf-8", "surrogateescape")
        assert g == (w["start"], w["end"], w["id"], w["type"], text, w["complete"]), i
    starts = [g[0] for g in got]
    assert starts == sorted(starts)
    # "reuse two" (5) opened before 1 and 2 but closed after them: still first.
    ids = [g[2] for g in got]
    assert ids.index(5, 2) < ids.index(1) < ids.index(2)
    assert snapshot.get(snapshot.size() - 1).marker_id() == 9  # the latest start


def test_start_times_from_packet_bytes(snapshot, generated):
    # Every marker starts at the time of an opening packet of its id, read with datetime.
    opening = {}
    for p in packets_of(generated[1]):
        apid, = struct.unpack(">H", p[0:2])
        if apid & 0x7FF == gen_tolva.MARKER_APID and len(p) >= 20:
            mid, = struct.unpack(">I", p[12:16])
            if mid:
                opening.setdefault(mid, set()).add(start_us(p))
    for i in range(snapshot.size()):
        m = snapshot.get(i)
        assert m.t_start_us() in opening[m.marker_id()], i
        assert m.is_complete() == (m.t_end_us() != 0), i
        if m.is_complete():
            assert m.t_end_us() > m.t_start_us(), i


def test_open_marker_and_edge_values(snapshot):
    by_text = {snapshot.get(i).text(): snapshot.get(i) for i in range(snapshot.size())}
    left = by_text["left open"]
    assert (left.marker_id(), left.t_end_us(), left.is_complete()) == (42, 0, False)
    # Id and type of 2^31 and above are positive; the label ends at its NUL.
    big = by_text["big"]
    assert (big.marker_id(), big.marker_type()) == (0x80000003, 0x80000009) and big.is_complete()
    top = by_text["max"]
    assert (top.marker_id(), top.marker_type()) == (2**32 - 1, 2**32 - 2)
    assert "pct %1 %2 \u00e9" in by_text
    # A close at the opening time is refused: closed, but without an end.
    same = by_text["same time"]
    assert (same.marker_id(), same.t_end_us(), same.is_complete()) == (7, 0, False)


def test_get_errors_and_copies(snapshot):
    n = snapshot.size()
    with pytest.raises(IndexError):
        snapshot.get(n)
    with pytest.raises(IndexError):
        snapshot.get(2**64 - 1)
    text = "in method 'PyTolvaMarkerCache_get', argument 2 of type 'size_t'"
    for bad, error in ((-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.0, TypeError),
                       (None, TypeError)):
        with pytest.raises(error) as e:
            snapshot.get(bad)
        assert str(e.value) == text, bad
    assert values(snapshot.get(True)) == values(snapshot.get(1))
    a, b = snapshot.get(0), snapshot.get(0)
    assert a is not b and values(a) == values(b)
    with pytest.raises(TypeError, match=r"in method 'PyTolvaMarkerCache_size', argument 1 of type "
                                        r"'cvekutil::PyTolvaMarkerCache const \*'"):
        cvekutil.PyTolvaMarkerCache.size(cvekutil.PyTolvaMarker())


def test_default_record_and_constructor_overloads(snapshot):
    assert values(cvekutil.PyTolvaMarker()) == (0, 0, 0, 0, "", False)
    with pytest.raises(ValueError) as e:
        cvekutil.PyTolvaMarker(None)
    assert str(e.value) == ("invalid null reference in method 'new_PyTolvaMarker', argument 1 of type "
                            "'TolvaGse::Marker const &'")
    overload = ("Wrong number or type of arguments for overloaded function 'new_PyTolvaMarker'.\n"
                "  Possible C/C++ prototypes are:\n"
                "    cvekutil::PyTolvaMarker::PyTolvaMarker()\n"
                "    cvekutil::PyTolvaMarker::PyTolvaMarker(TolvaGse::Marker const &)\n")
    for args in ((1,), (snapshot.get(0),), ("x",)):
        with pytest.raises(TypeError) as e:
            cvekutil.PyTolvaMarker(*args)
        assert str(e.value) == overload, args
    with pytest.raises(TypeError) as e:
        cvekutil.PyTolvaMarker(None, None)
    assert str(e.value) == ("new_PyTolvaMarker expected at most 1 arguments, got 2\nAdditional information:\n"
                            + overload)
    with pytest.raises(TypeError):
        _cvekutil.new_PyTolvaMarkerCache(1)


def test_docstrings_only_on_destructors():
    for name in ("new_PyTolvaMarker", "PyTolvaMarker_t_start_us", "PyTolvaMarker_t_end_us",
                 "PyTolvaMarker_marker_id", "PyTolvaMarker_marker_type", "PyTolvaMarker_text",
                 "PyTolvaMarker_is_complete", "new_PyTolvaMarkerCache", "PyTolvaMarkerCache_size",
                 "PyTolvaMarkerCache_get"):
        assert getattr(_cvekutil, name).__doc__ is None, name
    assert cvekutil.PyTolvaMarker.text.__doc__ is None
    assert _cvekutil.delete_PyTolvaMarker.__doc__ == "delete_PyTolvaMarker(PyTolvaMarker self)"
    assert _cvekutil.delete_PyTolvaMarkerCache.__doc__ == "delete_PyTolvaMarkerCache(PyTolvaMarkerCache self)"


def test_refused_before_start_up():
    code = ("import cvekutil\ntry:\n    cvekutil.PyTolvaMarkerCache()\n"
            "except Exception as e:\n    print(type(e).__name__ + ': ' + str(e))\n"
            "print(cvekutil.PyTolvaMarker().text() == '')\n")
    r = conftest.run_python(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "RuntimeError: cvekutil is not initialized, did you call the PyTolvaMarkerCache constructor manually "
        "instead of relying on the factory functions?", "True"]


def test_snapshots_survive_a_second_start_up(generated):
    # Start-up state is process-wide: its own interpreter.
    first = archive("first", generated[1])
    ties = archive("ties", b"".join(TIES))
    empty = archive("empty", b"".join(NO_MARKERS))
    code = """
import json, cvekutil
def rows(c):
    return [[m.t_start_us(), m.t_end_us(), m.marker_id(), m.text(), m.is_complete()]
            for m in (c.get(i) for i in range(c.size()))]
cvekutil.initCVekUtil(%r)
a = cvekutil.PyTolvaMarkerCache()
before = rows(a)
cvekutil.initCVekUtil(%r)
b = cvekutil.PyTolvaMarkerCache()
cvekutil.initCVekUtil(%r)
c = cvekutil.PyTolvaMarkerCache()
print(json.dumps({"before": before, "after": rows(a), "ties": rows(b), "empty": c.size()}))
""" % (first, ties, empty)
    r = conftest.run_python(code)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)  # ASCII: lone surrogates travel as escapes
    assert out["before"] == out["after"] and len(out["before"]) == 10
    t = start_us(TIES[0])
    ends = {9: start_us(TIES[3]), 4: start_us(TIES[4]), 1: 0, 3: 0}
    assert out["ties"] == [[t, ends[mid], mid, text, done] for mid, text, done in TIES_ORDER]
    assert out["empty"] == 0
