"""What start-up says when an archive of one's own cannot be read: each fault of
the definitions gives a line naming what failed, before start-up's own line
and with its exit status; warnings reach the standard error stream, debug and
info lines do not. Also the path-like archive paths and the value modes."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import conftest

sys.path.insert(0, os.path.join(conftest.ROOT, "examples"))
import define_data  # noqa: E402

WARN = re.compile(r"^\[\d\d:\d\d:\d\d\.\d{3}\]\[(WARN|ERROR)\] (.*)$")
OPEN = "import cvekutil\nt = cvekutil.open_tmfile(%r)\nprint(t.length())\n"


def definitions(tmp):
    """The example's definitions and archive in tmp; returns the archive and the INI."""
    out = os.path.realpath(str(tmp))
    define_data.write_definitions(define_data.pathlib.Path(out))
    data, _ = define_data.archive(480000000)
    with open(os.path.join(out, "run", "tm.bin"), "wb") as f:
        f.write(data)
    return os.path.join(out, "run", "tm.bin"), os.path.join(out, "vekconfig.INI")


def start(archive, ini, code=OPEN):
    r = conftest.run_python(code % archive, env={"INIVEK": ini})
    return r, r.stderr.splitlines()


def logged(lines):
    """The level and text of each log line; other lines as they are."""
    out = []
    for line in lines:
        m = WARN.match(line)
        out.append((m.group(1), m.group(2)) if m else line)
    return out


def test_a_good_start_up_says_nothing_and_debug_and_info_stay_silent(tmp_path):
    archive, ini = definitions(tmp_path)
    # The database's revision keyword keeps its one warning away.
    db = os.path.join(os.path.dirname(ini), "defs", "tmdb.txt")
    text = open(db).read().split("\n", 1)
    open(db, "w").write(text[0] + "\t$Revision: 3 $\n" + text[1])
    r, lines = start(archive, ini)
    assert r.returncode == 0 and r.stdout.split() == ["9"]
    assert lines == []
    # Without the keyword the warning comes, in the console form of a message.
    open(db, "w").write(text[0] + "\n" + text[1])
    r, lines = start(archive, ini)
    assert logged(lines) == [("WARN", db + " database missing rev string")]


@pytest.mark.parametrize("fault", ["missing", "whole sizes", "tabs"])
def test_packet_types_that_load_nothing_or_fit_nothing_are_said(tmp_path, fault):
    archive, ini = definitions(tmp_path)
    types = os.path.join(os.path.dirname(ini), "defs", "tm_packet_types.txt")
    good = open(types).read().splitlines()[1:]
    if fault == "missing":
        os.remove(types)
        # The group's definitions folder is where the table is looked for next.
        want = [("ERROR", "Failed to open: " + types),
                ("WARN", "No packet type was loaded from " + types + ": every packet is refused")]
    elif fault == "whole sizes":
        open(types, "w").write("".join("%s, %s, false, %d, %d\n" % (a, n, int(lo) + 6, int(hi) + 6)
                                       for a, n, _, lo, hi in (line.split(", ") for line in good)))
        want = [("WARN", "No packet was read from %s (%d bytes): no header fits a type and length of the 3 "
                 "packet types of %s" % (archive, os.path.getsize(archive), types))]
    else:
        tabbed = [line.replace(", ", "\t") for line in good]
        open(types, "w").write("\n".join(tabbed) + "\n")
        want = [("WARN", "Bad packet type info: " + line) for line in tabbed] + [
            ("WARN", "No packet type was loaded from " + types + ": every packet is refused")]
    # Read as finished, the archive is one damaged stretch, said after the
    # definitions load and before what the module then says of the read.
    size = os.path.getsize(archive)
    skipped = "Skipped %d bytes [0 - %d]" % (size, size)
    want = [skipped] + want if fault == "whole sizes" else want + [skipped]
    r, lines = start(archive, ini)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["0"]
    assert [x for x in logged(lines) if "rev string" not in str(x)] == want


TOLVA_KEYS = ["gse", "tm_definitions", "tm_database", "viewers_root", "data_root", "dac_file", "mcal_root"]


def faults_of_the_group(ini):
    """Configuration files with one fault each, and the line that must name it."""
    text = open(ini).read()
    values = dict(line.split("=", 1) for line in text.splitlines() if "=" in line and "default" not in line)
    for key in TOLVA_KEYS:
        yield "no " + key, re.sub(r"(?m)^%s=.*\n" % key, "", text), None, "The key '%s' of the group " \
            "'TOLVA_FM' in %s is missing" % (key, ini)
    yield "empty tm_database", text.replace("tm_database=" + values["tm_database"], "tm_database="), None, \
        "The key 'tm_database' of the group 'TOLVA_FM' in %s is empty" % ini
    gone = values["viewers_root"] + "-gone"
    yield "no such folder", text.replace(values["viewers_root"], gone), None, \
        "The key 'viewers_root' of the group 'TOLVA_FM' in %s names a path that does not exist: %s" % (ini, gone)
    for key in ("dac_file", "tm_database"):
        yield "deleted " + key, text, values[key], \
            "The key '%s' of the group 'TOLVA_FM' in %s names a path that does not exist: %s" % (key, ini,
                                                                                                  values[key])


def test_each_fault_of_the_configuration_group_names_its_key_group_and_file(tmp_path):
    archive, ini = definitions(tmp_path / "defs")
    # INIVEK names a file of another name: the line names that file.
    other = str(tmp_path / "conf" / "my settings.ini")
    os.makedirs(os.path.dirname(other))
    shutil.move(ini, other)
    module_line = "TOLVA_FM in .vekconfig.INI either does not exist or is invalid for " + archive
    for name, text, delete, line in faults_of_the_group(other):
        saved = open(other).read()
        open(other, "w").write(text)
        if delete:
            shutil.move(delete, delete + ".away")
        try:
            r, lines = start(archive, other)
        finally:
            open(other, "w").write(saved)
            if delete:
                shutil.move(delete + ".away", delete)
        # The key's line alone, no word of a missing group, then the module's line.
        assert (r.returncode, lines) == (1, [line, module_line]), name
        assert r.stdout == "", name


MISSING_GROUP = ("The following group does not exist in the .vekconfig.INI file: '%s'. A valid group is "
                 "necessary for proper functioning of our software.")


@pytest.mark.parametrize("case", ["group renamed", "no such file", "a folder", "home folder's"])
def test_a_missing_group_names_the_file_read_before_its_two_lines(tmp_path, case):
    archive, ini = definitions(tmp_path)
    env = {"INIVEK": ini}
    if case == "group renamed":
        text = open(ini).read()
        open(ini, "w").write(text.replace("[TOLVA_FM]", "[TOLVA_EM]"))
        said = "named by INIVEK, has no group 'TOLVA_FM'; its groups: TOLVA_EM, VEK"
    elif case == "no such file":
        ini = env["INIVEK"] = ini + ".gone"
        said = "named by INIVEK, does not exist"
    elif case == "a folder":
        ini = env["INIVEK"] = os.path.dirname(ini)
        said = "named by INIVEK, is not a file"
    else:
        # INIVEK empty: the home folder's file is read, and holds no group at all.
        env = {"INIVEK": "", "HOME": str(tmp_path / "home")}
        os.makedirs(env["HOME"])
        ini = os.path.join(env["HOME"], ".vekconfig.INI")
        open(ini, "w").write("; nothing yet\n")
        said = "the home folder's as INIVEK is not set, has no group 'TOLVA_FM'; it has none"
    r = conftest.run_python(OPEN % archive, env=env)
    assert r.returncode == 1
    assert r.stderr.splitlines() == ["The configuration file %s, %s" % (ini, said), MISSING_GROUP % "TOLVA_FM",
                                     "TOLVA_FM in .vekconfig.INI either does not exist or is invalid for " + archive]


@pytest.mark.parametrize("content, said", [
    ('{"gse": {"mission": "tolva", "model": "FM"}}', 'has no "version" in "gse"'),
    ('{"gse": {"version": "3", "mission": "tolva"}}', ': "version" is not a whole number from 1: "3"'),
    ('{"gse": {"version": 0, "mission": "tolva"}}', ': "version" is not a whole number from 1: 0'),
    ('{"tolva": {"version": 3}}', 'has no object "gse"'),
    ('{"gse": {"version": 3, "mission": "tolva",', "is not JSON: unterminated object at byte 42"),
])
def test_tm_meta_says_which_field_is_missing_or_unreadable(tmp_path, content, said):
    archive, ini = definitions(tmp_path)
    meta = os.path.join(os.path.dirname(archive), "tm.meta")
    open(meta, "w").write(content)
    r, lines = start(archive, ini)
    assert r.returncode == 1
    assert logged(lines) == [("WARN", "tm.meta " + meta + (" " if said[0] != ":" else "") + said),
                             "A valid tm.meta could not be found for " + archive]


def test_an_unsupported_mission_names_the_missions_read(tmp_path):
    archive, ini = definitions(tmp_path)
    meta = os.path.join(os.path.dirname(archive), "tm.meta")
    open(meta, "w").write('{"gse": {"version": 3, "mission": "lumo", "model": "FM"}}')
    text = open(ini).read()
    open(ini, "w").write(text + text.split("[VEK]\ndefault_group=TOLVA_FM\n")[1].replace("TOLVA_FM", "LUMO_FM"))
    # Both streams into one pipe: what the script printed, still in Python's
    # buffer, comes before the start-up's lines.
    r = subprocess.run([sys.executable, "-c", "import cvekutil\nprint('mine')\ncvekutil.initCVekUtil(%r)\n" % archive],
                       env={k: v for k, v in dict(os.environ, INIVEK=ini).items() if k != "PYTHONUNBUFFERED"},
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, timeout=120)
    assert r.returncode == 1
    assert r.stdout.splitlines() == [
        "mine", "tm.meta %s names the mission 'lumo'; this build reads the missions tolva and kora" % meta,
        "Unsupported mission lumo for " + archive]
    # A mistyped mission names a group nobody wrote: the missions come before the group's lines.
    open(meta, "w").write('{"gse": {"version": 3, "mission": "tolav", "model": "FM"}}')
    r, lines = start(archive, ini)
    assert (r.returncode, lines) == (1, [
        "tm.meta %s names the mission 'tolav'; this build reads the missions tolva and kora" % meta,
        "The configuration file %s, named by INIVEK, has no group 'TOLAV_FM'; its groups: LUMO_FM, TOLVA_FM, VEK"
        % ini, MISSING_GROUP % "TOLAV_FM", "TOLAV_FM in .vekconfig.INI either does not exist or is invalid for "
        + archive])
    # A tm.meta that names no mission says so before the group is looked for.
    open(meta, "w").write('{"gse": {"version": 3, "model": "FM"}}')
    r, lines = start(archive, ini)
    assert r.returncode == 1
    assert logged(lines)[0] == ("WARN", 'tm.meta %s names no "mission" in "gse"' % meta)
    assert lines[1].startswith("The configuration file %s, named by INIVEK, has no group '_FM'" % ini)
    assert lines[-1] == "_FM in .vekconfig.INI either does not exist or is invalid for " + archive


def kora_without_seb_commands(tmp):
    """The first instrument's sample with a configuration whose gse folder has no SEB command table."""
    folder = os.path.join(str(tmp), "kora")
    shutil.copytree(os.path.dirname(conftest.KORA), folder)
    gse = os.path.join(str(tmp), "empty-gse")
    os.makedirs(gse)
    ini = os.path.join(str(tmp), "vekconfig.INI")
    open(ini, "w").write(re.sub(r"(?m)^gse=.*$", "gse=" + gse, open(conftest.INI).read()))
    return os.path.join(folder, "tm.tlm"), ini, os.path.join(gse, "viewerConfigs", "seb_cmds.json")


@pytest.mark.parametrize("fault", ["comment above the header", "column missing", "row it cannot take",
                                   "mining type it cannot read", "no SEB command table"])
def test_a_definition_that_raises_is_named_before_the_exception(tmp_path, fault):
    if fault == "no SEB command table":
        archive, ini, seb = kora_without_seb_commands(tmp_path)
        said = [("ERROR", "The SEB command table %s cannot be read: No such file or directory" % seb)]
        error = "RuntimeError: Error while parsing file:"
    else:
        archive, ini = definitions(tmp_path)
        db = os.path.join(os.path.dirname(ini), "defs", "tmdb.txt")
        header, rows = open(db).read().split("\n", 1)
        head = "The header of the database file %s, its first line, lacks a required column" % db
        if fault == "comment above the header":
            open(db, "w").write("# my items $Revision: 3 $\n" + header + "\n" + rows)
            said = [("ERROR", head + '; a line beginning with "#" is a comment only after the header')]
            error = "RuntimeError: Could not find required database field SUB_SYSTEM"
        elif fault == "column missing":
            open(db, "w").write(header.replace("\tSCI_K8", "") + "\t$Revision: 3 $\n" + rows)
            said = [("ERROR", head)]
            error = "RuntimeError: Could not find required database field SCI_K8"
        elif fault == "mining type it cannot read":
            rows = rows.split("\n")
            rows[1] += "\tmost"
            open(db, "w").write(header + "\tTARQ_MINE_TYPE\t$Revision: 3 $\n" + "\n".join(rows))
            said = [("ERROR", "Line 3 of the database file %s cannot be applied" % db)]
            error = "RuntimeError: Invalid TARQ_MINE_TYPE: most"
        else:
            # POWER:WATTS, on the header's sixth line after a comment, read as a double of 4 bytes.
            rows = rows.split("\n")
            rows[5] = rows[5].replace("\t102\t5\t12\t4\t", "\t102\t6\t12\t4\t")
            open(db, "w").write(header + "\t$Revision: 3 $\n# a comment\n" + "\n".join(rows))
            said = [("ERROR", "Line 8 of the database file %s cannot be applied" % db)]
            error = "RuntimeError: POWER:WATTS : byte order must be 8 bytes for double type"
    r, lines = start(archive, ini)
    assert r.returncode == 1 and r.stdout == ""
    # The named line, then Python's traceback ending in the exception's own text.
    tail = lines.index("Traceback (most recent call last):")
    assert [x for x in logged(lines[:tail]) if "MsgLogCache" not in str(x)] == said
    assert error in lines[tail:]


PATHS = """
import os, pathlib, cvekutil
class Place:
    def __init__(self, p): self.p = p
    def __fspath__(self): return self.p
a = {archive!r}
for arg in (pathlib.Path(a), Place(a), Place(os.fsencode(a)), pathlib.PurePosixPath(a)):
    t = cvekutil.open_tmfile(arg)
    print(type(arg).__name__, t.length(), t.filename() == a)
cvekutil.initCVekUtil(pathlib.Path(a))
for bad in (os.fsencode(a), 3, Place(3)):
    try:
        cvekutil.initCVekUtil(bad)
    except TypeError as e:
        print(type(bad).__name__, str(e).splitlines()[0])
"""


def test_path_like_objects_open_an_archive(tmp_path):
    archive, ini = definitions(tmp_path)
    r = conftest.run_python(PATHS.format(archive=archive), env={"INIVEK": ini})
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "PosixPath 9 True", "Place 9 True", "Place 9 True", "PurePosixPath 9 True",
        # A plain bytes object is no path-like object here, as before.
        "bytes Wrong number or type of arguments for overloaded function 'initCVekUtil'.",
        "int Wrong number or type of arguments for overloaded function 'initCVekUtil'.",
        "Place expected Place.__fspath__() to return str or bytes, not int"]
    # A missing path given as a Path ends start-up with its line, as a str does.
    r = conftest.run_python("import cvekutil, pathlib\ncvekutil.initCVekUtil(pathlib.Path('nowhere.bin'))\n",
                            env={"INIVEK": ini})
    assert (r.returncode, r.stderr.splitlines()) == (1, ["tmfile does not exist: nowhere.bin"])


MODES = """
import cvekutil
t = cvekutil.open_tmfile({archive!r})
print(cvekutil.RAW, cvekutil.ENG, cvekutil.SCI)
for i in range(t.length()):
    p = t.get_pkt(i)
    for hkid in range(1, 8):
        named = [[d.value for d in p.all_data(hkid, m)] for m in (cvekutil.RAW, cvekutil.ENG, cvekutil.SCI)]
        own = [[d.value for d in f(hkid)] for f in (p.all_raw_data, p.all_eng_data, p.all_sci_data)]
        assert named == own, (i, hkid, named, own)
        # Other modes: below raw is raw; above science is engineering only
        # for a row whose science comes from it.
        assert [d.value for d in p.all_data(hkid, -1)] == own[0]
        assert [d.value for d in p.all_data(hkid, 3)] == (own[1] if hkid in (1, 5) else own[0]), hkid
print("ok")
"""


def test_named_value_modes_agree_with_the_three_readers(tmp_path):
    archive, ini = definitions(tmp_path)
    r = conftest.run_python(MODES.format(archive=archive), env={"INIVEK": ini})
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["0", "1", "2", "ok"]


def last_packet_start(data, instrument):
    """Where the last packet of an undamaged archive starts, from the headers' lengths."""
    at = last = 0
    while at < len(data):
        last = at
        at += (int.from_bytes(data[at + 4:at + 6], "big") + 7 if instrument == "tolva"
               else int.from_bytes(data[at + 2:at + 4], "big") + 12)
    return last


@pytest.mark.parametrize("instrument", ["tolva", "kora"])
def test_a_read_once_ends_by_saying_what_it_left_unread(tmp_path, instrument):
    if instrument == "tolva":
        archive, ini = definitions(tmp_path)
    else:
        folder = os.path.join(str(tmp_path), "kora")
        shutil.copytree(os.path.dirname(conftest.KORA), folder)
        archive, ini = os.path.join(folder, "tm.tlm"), conftest.INI
    data = open(archive, "rb").read()
    last = last_packet_start(data, instrument)
    # Three bytes of garbage after the first packet, and the last packet cut short.
    cut = data[:-5]
    if instrument == "tolva":
        cut, last = cut[:16] + b"\xff" * 3 + cut[16:], last + 3
    open(archive, "wb").write(cut)
    r, lines = start(archive, ini)
    assert r.returncode == 0, r.stderr
    lines = [x for x in lines if "rev string" not in x and "MsgLogCache" not in x]
    if instrument == "tolva":
        assert not any("backing up" in x for x in lines), lines
        # The module reads its archive as finished: the cut last packet is
        # stepped over as a settled read steps over it, never waited for.
        assert lines[:2] == ["Skipped 3 bytes [16 - 19]",
                             "Could not read %d bytes from file...skipping ahead 1 byte" % (len(cut) + 5 - last - 6)]
    else:
        # The first instrument's TOM parse stops before a cut last packet:
        # the last line names the bytes left.
        assert lines[-2:] == ["Read partial packet...backing up to index %d" % last,
                              "The read of %s ended at byte %d: the last %d bytes hold no whole packet and were "
                              "left unread" % (archive, last, len(cut) - last)]
