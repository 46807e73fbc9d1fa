"""The Python road reads an archive once, at start-up: a finished archive whose
last packet stands behind damage that claims past the end of the file gives
every packet."""
import conftest
import gen_tolva


def test_one_start_up_reads_the_packet_behind_a_claim_past_the_end(tmp_path):
    packets = [gen_tolva.packet(737, 1000 + i, 0, bytes(40)) for i in range(50)]
    fill = bytearray(gen_tolva.packet(740, 999, 0, bytes(29)))
    fill[4:6] = (2000 - 7).to_bytes(2, "big")  # a fill header whose length was hit: it claims 2,000 bytes
    folder = tmp_path / "opened"
    folder.mkdir()
    (folder / "tm.bin").write_bytes(b"".join(packets[:49]) + bytes(fill) + packets[49])
    conftest.gen_samples.write_meta(str(folder), "tolva", 7, "opened")
    code = "import cvekutil\nt = cvekutil.open_tmfile(%r)\nprint(t.length(), t.get_pkt(49).total_length())"
    r = conftest.run_python(code % str(folder / "tm.bin"))
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["50", "52"], r.stderr


def test_damage_is_given_as_records(tmp_path):
    # Damage between two packets and after the last: one tuple for each
    # stretch, the second said as the start-up decides the end of the file.
    packets = [gen_tolva.packet(737, 1000 + i, 0, bytes(40)) for i in range(3)]
    damage = b"\x5a" * 100
    folder = tmp_path / "damaged"
    folder.mkdir()
    data = packets[0] + damage + packets[1] + packets[2] + damage
    (folder / "tm.bin").write_bytes(data)
    conftest.gen_samples.write_meta(str(folder), "tolva", 7, "damaged")
    code = "import cvekutil\nt = cvekutil.open_tmfile(%r)\nprint(repr(t.damage()))"
    r = conftest.run_python(code % str(folder / "tm.bin"))
    assert r.returncode == 0, r.stderr
    first = len(packets[0])
    assert r.stdout.strip() == repr([(first, first + 100, "skipped", 1), (len(data) - 100, len(data), "skipped", 3)])
    assert r.stderr.splitlines() == ["Skipped 100 bytes [%d - %d]" % (first, first + 100),
                                     "Skipped 100 bytes [%d - %d]" % (len(data) - 100, len(data))]
