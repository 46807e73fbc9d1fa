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
