"""The Python road reads an archive once, at start-up. A finished archive (last
written an hour ago) is decided to its end: the last packet behind damage that
claims past the end of the file, and every packet behind a first header that
claims past it. The module never grows its archive, so one written just now
is read as finished too, not waited for."""
import os
import time

import conftest
import gen_tolva

OPEN = "import cvekutil\nt = cvekutil.open_tmfile(%r)\nprint(t.length(), t.get_pkt(t.length() - 1).total_length())"


def archive(tmp_path, name, data, finished):
    folder = tmp_path / name
    folder.mkdir()
    path = folder / "tm.bin"
    path.write_bytes(data)
    conftest.gen_samples.write_meta(str(folder), "tolva", 7, name)
    if finished:
        hour_ago = time.time() - 3600
        os.utime(path, (hour_ago, hour_ago))
    return str(path)


def claiming(total):
    header = bytearray(gen_tolva.packet(740, 999, 0, bytes(29)))
    header[4:6] = (total - 7).to_bytes(2, "big")  # a fill header whose length was hit
    return bytes(header)


def test_one_start_up_reads_the_packet_behind_a_claim_past_the_end(tmp_path):
    packets = [gen_tolva.packet(737, 1000 + i, 0, bytes(40)) for i in range(50)]
    data = b"".join(packets[:49]) + claiming(2000) + packets[49]
    r = conftest.run_python(OPEN % archive(tmp_path, "finished", data, True))
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["50", "52"], r.stderr
    r = conftest.run_python(OPEN % archive(tmp_path, "written", data, False))
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["50", "52"], r.stderr


def test_a_small_archive_whose_first_header_claims_past_the_end_opens_whole(tmp_path):
    packets = [gen_tolva.packet(737, 1000 + i, 0, bytes(40)) for i in range(300)]
    data = claiming(65000) + b"".join(packets)
    r = conftest.run_python(OPEN % archive(tmp_path, "small", data, True))
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["300", "52"], r.stderr


def test_damage_is_given_as_records(tmp_path):
    # Damage between the first two packets, a fill header whose length was
    # hit before the last, and damage after it: a tuple for each damage line,
    # in its order, the last as the start-up decides the end of the file.
    packets = [gen_tolva.packet(737, 1000 + i, 0, bytes(40)) for i in range(3)]
    fill = claiming(2000)
    data = packets[0] + b"\x5a" * 100 + packets[1] + fill + packets[2] + b"\x5a" * 100
    code = "import cvekutil\nt = cvekutil.open_tmfile(%r)\nprint(repr(t.damage()))"
    r = conftest.run_python(code % archive(tmp_path, "damaged", data, True))
    assert r.returncode == 0, r.stderr
    first = len(packets[0])
    second = first + 100 + len(packets[1])
    end = len(data)
    # The fill's claim runs past the end: stepped over, then its bytes.
    expected = [(first, first + 100, "skipped", 1), (second, second + 2000, "claim_past_end", 2),
                (second, second + len(fill), "skipped", 2), (end - 100, end, "skipped", 3)]
    assert r.stdout.strip() == repr(expected)
    said = [line for line in r.stderr.splitlines() if not line.startswith("[")]  # not the log's
    assert said == ["Skipped 100 bytes [%d - %d]" % (first, first + 100),
                    "Could not read 1994 bytes from file...skipping ahead 1 byte",
                    "Skipped %d bytes [%d - %d]" % (len(fill), second, second + len(fill)),
                    "Skipped 100 bytes [%d - %d]" % (end - 100, end)]
