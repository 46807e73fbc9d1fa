"""Start-up in fresh interpreters: refusals before it, the four exit lines
(after what the script printed), re-initialisation and the locale."""
import os
import shutil
import subprocess

import pytest

import conftest

PRELUDE = "import cvekutil, _cvekutil\n"


def run(code, **kw):
    return conftest.run_python(PRELUDE + code, **kw)


@pytest.mark.parametrize("call, text", [
    ("cvekutil.TMFile('x')", "RuntimeError: cvekutil is not initialized, did you call the TMFile constructor "
                             "manually instead of relying on the factory functions?"),
    ("cvekutil.PyMsgLogCache()", "RuntimeError: cvekutil is not initialized, did you call the PyMsgLogCache "
                                 "constructor manually instead of relying on the factory functions?"),
    ("cvekutil.TMFile.t0_in_unix_time(None)", "TypeError: in method 'TMFile_t0_in_unix_time', argument 1 of "
                                              "type 'cvekutil::TMFile const *'"),
])
def test_refusals_before_start_up(call, text):
    r = run("try:\n    %s\nexcept Exception as e:\n    print(type(e).__name__ + ': ' + str(e))\n" % call)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == text


def failing_archives(tmp):
    """Archives that fail each check, with the line each must print."""
    no_meta = os.path.join(tmp, "nometa")
    os.makedirs(no_meta)
    shutil.copy(conftest.KORA, os.path.join(no_meta, "tm.tlm"))
    bad_group = os.path.join(tmp, "badgroup")
    shutil.copytree(os.path.dirname(conftest.KORA), bad_group)
    with open(os.path.join(bad_group, "tm.meta"), "w") as f:
        f.write('{"gse": {"version": 3, "mission": "kora", "model": "NOPE", "tid": 1}}')
    other = os.path.join(tmp, "other")
    shutil.copytree(os.path.dirname(conftest.KORA), other)
    with open(os.path.join(other, "tm.meta"), "w") as f:
        f.write('{"gse": {"version": 3, "mission": "zork", "tid": 1}}')
    # A valid group for the unknown mission, so the mission test is reached.
    ini = open(conftest.INI).read()
    kora_keys = ini.split("[KORA_FM]\n")[1].split("[")[0]
    with open(os.path.join(tmp, "vekconfig.INI"), "w") as f:
        f.write(ini + "[ZORK]\n" + kora_keys)
    return [
        ("missing.tlm", "tmfile does not exist: missing.tlm"),
        ("", "tmfile does not exist: "),
        ("nometa/tm.tlm", "A valid tm.meta could not be found for " + os.path.join(no_meta, "tm.tlm")),
        ("badgroup/tm.tlm", "KORA_NOPE in .vekconfig.INI either does not exist or is invalid for "
         + os.path.join(bad_group, "tm.tlm")),
        ("other/tm.tlm", "Unsupported mission zork for " + os.path.join(other, "tm.tlm")),
    ]


def test_exit_lines_after_printed_output(tmp_path):
    tmp = os.path.realpath(str(tmp_path))
    for path, line in failing_archives(tmp):
        # Relative paths: the first line shows the path as passed, the others the absolute one.
        r = run("print('before', flush=False)\nimport sys\nsys.stderr.write('err before\\n')\n"
                "cvekutil.initCVekUtil(%r)\nprint('after')\n" % path, cwd=tmp,
                env={"INIVEK": os.path.join(tmp, "vekconfig.INI")})
        assert r.returncode == 1, (path, r.stderr)
        assert r.stdout == "before\n", path
        assert r.stderr.splitlines()[-1] == line, path
        assert r.stderr.startswith("err before\n"), path


def test_no_argument_exits():
    r = run("cvekutil.initCVekUtil()\n")
    assert r.returncode == 1 and r.stderr.splitlines()[-1] == "tmfile does not exist: "


def test_argument_types():
    r = run("for a in ((1,), ('a', 'b'), (None,), ('\\udcff',)):\n"
            "    try:\n        _cvekutil.initCVekUtil(*a)\n"
            "    except TypeError as e:\n        print(str(e).splitlines()[0])\n")
    assert r.stdout.count("\n") == 4
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    # None, and a str that cannot be UTF-8, match no prototype either.
    assert lines[0] == lines[2] == lines[3] == \
        "Wrong number or type of arguments for overloaded function 'initCVekUtil'."
    # A count error is pending first; the overload text follows it.
    assert lines[1] == "initCVekUtil expected at most 1 arguments, got 2"


REINIT = """
import os
k, t = {kora!r}, {tolva!r}
f1 = cvekutil.open_tmfile({first!r})
p = f1.get_pkt(1)
n1 = f1.length()
log = cvekutil.PyMsgLogCache()
line = log.get(0) if log.size() else cvekutil.PyMsgLogLine()
text = line.msg()
{second}
cvekutil.PyMsgLogCache()
# A line view keeps its own copy: the new start-up freed the cache's lines.
assert line.msg() == text, (line.msg(), text)
f2 = cvekutil.TMFile({again!r})
print(n1, f1.length(), f2.length())
print(p.index(), p.get_type(), round(p.relative_timestamp(), 4))
try:
    p.all_sci_data(9001)
except RuntimeError as e:
    print(e)
print(len(f2.get_pkt(2).all_raw_data(9001)))
# The second instrument's plugin decoders (ids 1001-1017), loaded for each new mission.
print(sum(len(f2.get_pkt(i).all_raw_data(h)) for i in range(f2.length()) for h in range(1001, 1018)))
"""


@pytest.mark.parametrize("first, again", [("kora", "tolva"), ("tolva", "kora"), ("kora", "kora")])
def test_re_initialisation(first, again):
    paths = {"kora": conftest.KORA, "tolva": conftest.TOLVA}
    e = conftest.EXPECTED
    code = REINIT.format(kora=conftest.KORA, tolva=conftest.TOLVA, first=paths[first], again=paths[again],
                         second="cvekutil.initCVekUtil(%r)" % paths[again])
    r = run(code)
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    # The old TMFile follows the new cache; the old packet keeps its header
    # and times but refuses to decode through the new hub.
    n1, n1_after, n2 = (int(x) for x in out[0].split())
    assert n1_after == n2
    assert (n1 if first == "kora" else n2) == len(e["kora"]["packets"])
    assert n1 != n2 or first == again
    want = e[first]["packets"][1]
    assert out[1].split()[:2] == ["1", str(want.get("type", want.get("apid")))]
    assert out[2] == "TMPacket belongs to an archive that a later initCVekUtil replaced."
    assert out[3] == ("1" if again == "kora" else "0")
    assert (int(out[4]) > 0) == (again == "tolva")


def test_failed_start_up_leaves_nothing_open(tmp_path):
    # A database without its header fails after the hub began to load.
    broken = os.path.join(str(tmp_path), "broken")
    shutil.copytree(conftest.SAMPLES, broken)
    ini = os.path.join(broken, "vekconfig.INI")
    text = open(ini).read().replace(conftest.SAMPLES, broken)
    open(ini, "w").write(text)
    db = os.path.join(broken, "kora", "defs", "KOR_TM_Database.txt")
    with open(db, "w") as f:
        f.write("NOT A HEADER\n")
    archive = conftest.KORA.replace(conftest.SAMPLES, broken)
    r = run("import os\nf = cvekutil.open_tmfile(%r)\nprint(f.length())\np = f.get_pkt(3)\n"
            "os.environ['INIVEK'] = %r\n"
            "try:\n    cvekutil.initCVekUtil(%r)\nexcept Exception as e:\n    print(type(e).__name__)\n"
            "for call in (lambda: f.length(), lambda: f.t0_in_sclk(), lambda: f.t0_in_unix_time(),\n"
            "             lambda: f.is_time_synced(), lambda: f.get_meta_markers(), lambda: p.get_meta_markers(),\n"
            "             lambda: cvekutil.TMFile(%r)):\n"
            "    try:\n        print(call())\n    except Exception as e:\n        print(e)\n"
            % (conftest.KORA, ini, archive, conftest.KORA))
    out = r.stdout.splitlines()
    assert r.returncode == 0, r.stderr
    assert out[1] == "RuntimeError"
    assert out[2:] == ["0"] + ["cvekutil is not initialized, no telemetry file is open."] * 5 + [
                       "cvekutil is not initialized, did you call the TMFile constructor manually "
                       "instead of relying on the factory functions?"]


def comma_locale(tmp):
    if not shutil.which("localedef"):
        return None
    path = os.path.join(tmp, "locales")
    os.makedirs(path, exist_ok=True)
    r = subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", os.path.join(path, "de_DE.UTF-8")],
                       capture_output=True)
    if not os.path.isdir(os.path.join(path, "de_DE.UTF-8")):
        return None
    return path


def test_locale_stays_and_values_use_points(tmp_path):
    path = comma_locale(str(tmp_path))
    if not path:
        pytest.skip("localedef cannot make a comma locale here")
    code = ("import locale\nlocale.setlocale(locale.LC_ALL, '')\nbefore = locale.setlocale(locale.LC_ALL)\n"
            "import cvekutil\nprint(before == locale.setlocale(locale.LC_ALL), locale.localeconv()['decimal_point'])\n"
            "f = cvekutil.open_tmfile(%r)\n"
            "print([d.value for d in f.get_pkt(2).all_raw_data(9002)])\n" % conftest.KORA)
    r = conftest.run_python(code, env={"LOCPATH": path, "LC_ALL": "de_DE.UTF-8", "LANG": "de_DE.UTF-8"})
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert out[0] == "True ,"
    assert out[1] == "[12.5]"


DIRECTORY_STRING = """
import os, random, shutil, sys
sys.path.insert(0, {scripts!r})
import gen_kora, gen_samples
folder = {folder!r}
other = os.path.join({tmp!r}, "2011-01-02-03.04.05-777-other")
os.makedirs(other)
for text in {texts!r}:
    arc = gen_kora.Archive(random.Random(1), gen_kora.folder_time(gen_samples.KORA_DIR))
    arc.tick0 = arc.fallback
    arc.instrument(gen_samples.MSG_TYPE, text.encode() + b"\\0")
    arc.time_packet(2)
    with open(os.path.join(folder, "tm.tlm"), "wb") as f:
        f.write(arc.bytes)
    shutil.copy(os.path.join(folder, "tm.tlm"), os.path.join(other, "x.tlm"))
    cvekutil.initCVekUtil(os.path.join(folder, "tm.tlm"))
    print(repr(cvekutil.TMFile(os.path.join(other, "x.tlm")).directory_string()))
# Packet 0 names no data directory now: the test id comes from the folder name.
for name in {tids!r}:
    d = os.path.join({tmp!r}, name)
    os.makedirs(d)
    shutil.copy(os.path.join(folder, "tm.tlm"), os.path.join(d, "x.tlm"))
    print(cvekutil.TMFile(os.path.join(d, "x.tlm")).tid())
"""


def test_directory_string_from_the_data_directory_line(tmp_path):
    # Packet 0's message names the data directory: the path starts after the
    # key and one blank (only a blank is skipped) and ends at the next line feed.
    cases = [("Logging to disk. Data directory: /data/tids/one\nmore", "one"),
             ("Data directory: /data/tids/two", "two"),
             ("Data directory:three\n", "three"),
             ("Data directory:/four/five\n", "five"),
             ("no such key\n", "2011-01-02-03.04.05-777-other")]
    # Folder names without tm.meta: the fifth dash-separated part, if an int.
    tids = [("2012-04-02-12.35.42-4242-name", 4242), ("2012-04-02-12.35.42-x1-name", 0),
            ("too-few-parts", 0), ("2012-04-02-12.35.42-99999999999-big", 0), ("a-b-c-d--e", 0)]
    tmp = os.path.realpath(str(tmp_path))
    copy = os.path.join(tmp, "samples")
    shutil.copytree(conftest.SAMPLES, copy)
    ini = os.path.join(copy, "vekconfig.INI")
    open(ini, "w").write(open(conftest.INI).read().replace(conftest.SAMPLES, copy))
    code = DIRECTORY_STRING.format(scripts=os.path.join(conftest.ROOT, "scripts"),
                                   folder=os.path.dirname(conftest.KORA.replace(conftest.SAMPLES, copy)),
                                   tmp=tmp, texts=[c[0] for c in cases], tids=[t[0] for t in tids])
    r = run(code, env={"INIVEK": ini})
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [repr(c[1]) for c in cases] + [str(t[1]) for t in tids]
