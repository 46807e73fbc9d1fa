"""Start-up on archive paths that are no regular file: a FIFO, a link to a
device, a folder. Each ends the process at once with one line, after what
the script printed; none may block or read for ever (every run has a time
limit)."""
import os
import shutil

import pytest

import conftest

LIMIT = 30  # seconds; the refusal itself takes well under one


def archive_folder(tmp):
    """A copy of the first instrument's sample folder (so tm.meta is valid) without its archive."""
    folder = os.path.join(tmp, "sample")
    shutil.copytree(os.path.dirname(conftest.KORA), folder)
    os.remove(os.path.join(folder, "tm.tlm"))
    return folder


def make_fifo(path):
    os.mkfifo(path)


def link_to(target):
    def make(path):
        if not os.path.exists(target):
            pytest.skip(target + " is not available here")
        os.symlink(target, path)
    return make


def make_folder(path):
    os.mkdir(path)


def make_folder_link(path):
    os.mkdir(path + ".target")
    os.symlink(path + ".target", path)


KINDS = [
    ("fifo", make_fifo),
    ("dev_zero", link_to("/dev/zero")),
    ("dev_urandom", link_to("/dev/urandom")),
    ("dev_null", link_to("/dev/null")),
    ("folder", make_folder),
    ("folder_link", make_folder_link),
]


@pytest.mark.parametrize("kind, make", KINDS, ids=[k for k, _ in KINDS])
@pytest.mark.parametrize("relative", [False, True], ids=["absolute", "relative"])
def test_not_a_regular_file_exits(tmp_path, kind, make, relative):
    folder = archive_folder(os.path.realpath(str(tmp_path)))
    path = os.path.join(folder, "tm.tlm")
    make(path)
    given = os.path.join("sample", "tm.tlm") if relative else path
    code = ("import cvekutil, sys\nprint('before', flush=False)\nsys.stderr.write('err before\\n')\n"
            "cvekutil.initCVekUtil(%r)\nprint('after')\n" % given)
    r = conftest.run_python(code, cwd=os.path.dirname(folder), timeout=LIMIT)
    assert r.returncode == 1, r.stderr
    assert r.stdout == "before\n"
    # The path as passed, like the existence check's line.
    assert r.stderr == "err before\ntmfile is not a regular file: %s\n" % given


def test_open_tmfile_on_a_fifo_does_not_block(tmp_path):
    folder = archive_folder(os.path.realpath(str(tmp_path)))
    path = os.path.join(folder, "tm.tlm")
    os.mkfifo(path)
    r = conftest.run_python("import cvekutil\ncvekutil.open_tmfile(%r)\n" % path, timeout=LIMIT)
    assert r.returncode == 1
    assert r.stderr.splitlines() == ["tmfile is not a regular file: " + path]


def test_missing_file_keeps_its_own_line(tmp_path):
    # A dangling link does not exist: the existence check answers first.
    folder = archive_folder(os.path.realpath(str(tmp_path)))
    path = os.path.join(folder, "tm.tlm")
    os.symlink(os.path.join(folder, "gone.tlm"), path)
    r = conftest.run_python("import cvekutil\ncvekutil.initCVekUtil(%r)\n" % path, timeout=LIMIT)
    assert r.returncode == 1
    assert r.stderr.splitlines() == ["tmfile does not exist: " + path]


def test_link_to_an_archive_is_read(tmp_path):
    folder = archive_folder(os.path.realpath(str(tmp_path)))
    path = os.path.join(folder, "tm.tlm")
    os.symlink(conftest.KORA, path)
    r = conftest.run_python("import cvekutil\nprint(cvekutil.open_tmfile(%r).length())\n" % path, timeout=LIMIT)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) == len(conftest.EXPECTED["kora"]["packets"])


def test_later_start_up_on_a_fifo_exits(tmp_path):
    # Refused also after a first start-up succeeded, before anything is replaced.
    folder = archive_folder(os.path.realpath(str(tmp_path)))
    path = os.path.join(folder, "tm.tlm")
    os.mkfifo(path)
    code = ("import cvekutil\nf = cvekutil.open_tmfile(%r)\nprint(f.length(), flush=True)\n"
            "cvekutil.initCVekUtil(%r)\nprint('after')\n" % (conftest.KORA, path))
    r = conftest.run_python(code, timeout=LIMIT)
    assert r.returncode == 1
    assert r.stdout == "%d\n" % len(conftest.EXPECTED["kora"]["packets"])
    assert r.stderr.splitlines()[-1] == "tmfile is not a regular file: " + path
