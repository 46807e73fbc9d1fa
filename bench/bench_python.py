#!/usr/bin/python3
"""Speed of the Python module's hot calls (run by hand, after a build).

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [--packets N]

Generates a first-instrument archive of N packets (default 100,000: one item
of 1 sample and one of 64 samples, in alternate packets, plus 4 KiB packets)
with scripts/gen_samples.py, starts the module on it and times, per core:
get_pkt, all_sci_data of the 1-sample and the 64-sample item (calls/s and
datapoints/s, from the call to the finished tuple), and as references
_raw_packet() of 4 KiB packets and TMDatapoint(1.0, 2.0, 3.0).
Goals: >= 3 M datapoints/s at 64 samples, >= 1 M calls/s at one sample,
>= 1 M get_pkt/s.

Scans (--scans N, default 3,000): an archive of N scans of 10 segments x 100
bins with two statuses each (gen_kora_scans.py's builder); times the
ScienceDataCacheWrapper construction (packets/s), get_scan (scans/s), counts()
and m_over_z_values() (values/s) and _seb_scan_value() (calls/s).
Goals: >= 100,000 get_scan/s, >= 20 M counts values/s, >= 10 M m/z values/s,
>= 200,000 _seb_scan_value/s.
"""
import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import gen_kora_scans  # noqa: E402
import gen_samples  # noqa: E402


def rate(label, count, seconds, unit="calls"):
    print("%-34s %12.0f %s/s  (%d in %.3f s)" % (label, count / seconds, unit, count, seconds))


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        n = fn()
        times.append(time.perf_counter() - t)
    return n, min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--packets", type=int, default=100000)
    ap.add_argument("--scans", type=int, default=3000)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        os.environ["HOME"] = tmp
        gen_samples.generate(tmp, bench=args.packets)
        os.environ["INIVEK"] = os.path.join(tmp, "vekconfig.INI")
        import cvekutil
        tm = cvekutil.open_tmfile(os.path.join(tmp, "bench", "tm.tlm"))
        n = tm.length()
        get_pkt = tm.get_pkt
        count, secs = best(lambda: sum(1 for i in range(n) if get_pkt(i)))
        rate("get_pkt", count, secs)
        packets = [get_pkt(i) for i in range(n)]
        one = [p for p in packets if p.get_type() == gen_samples.HK_TYPE]
        wave = [p for p in packets if p.get_type() == gen_samples.WAVE_TYPE]
        big = [p for p in packets if p.get_type() == gen_samples.BIG_TYPE]

        def calls(group, hkid):
            def run():
                total = 0
                for p in group:
                    total += len(p.all_sci_data(hkid))
                return total
            return run

        total, secs = best(calls(one, 9001))
        rate("all_sci_data, 1 sample", len(one), secs)
        rate("all_sci_data, 1 sample", total, secs, "datapoints")
        total, secs = best(calls(wave, 9003))
        rate("all_sci_data, 64 samples", len(wave), secs)
        rate("all_sci_data, 64 samples", total, secs, "datapoints")
        count, secs = best(lambda: sum(len(p._raw_packet()) for p in big))
        rate("_raw_packet, 4 KiB", len(big), secs)
        rate("_raw_packet, 4 KiB", count, secs, "bytes")
        make = cvekutil.TMDatapoint
        count, secs = best(lambda: sum(1 for _ in range(200000) if make(1.0, 2.0, 3.0)))
        rate("TMDatapoint(1.0, 2.0, 3.0)", count, secs)
        scans(cvekutil, tmp, args.scans)


def scan_archive(out, count):
    """count scans of 10 segments x 100 bins, two statuses and two other packets each."""
    import random
    a = gen_kora_scans.ScanArchive(random.Random(7), light=True)
    a.seb_hk(0, 0)
    for _ in range(count):
        gen_kora_scans.typed_scan(a, [100 * k for k in range(10)], 100, True)
        a.status()
        a.status()
        a.other(9)
        a.other(9)
    a.write(out, "scanbench")
    gen_samples.write_meta(os.path.join(out, "scanbench"), "kora", 1, "scanbench")  # the samples' group
    return os.path.join(out, "scanbench", "tm.tlm")


def scans(cvekutil, tmp, count):
    path = scan_archive(tmp, count)
    tm = cvekutil.open_tmfile(path)
    t = time.perf_counter()
    w = cvekutil.ScienceDataCacheWrapper()
    secs = time.perf_counter() - t
    rate("ScienceDataCacheWrapper()", tm.length(), secs, "packets")
    n = w.size()
    print("%d scans" % n)
    get_scan = w.get_scan
    got, secs = best(lambda: sum(1 for i in range(n) if get_scan(i)))
    rate("get_scan", got, secs)
    taken = [get_scan(i) for i in range(n)]
    total, secs = best(lambda: sum(len(s.counts()) for s in taken))
    rate("counts()", total, secs, "values")
    total, secs = best(lambda: sum(len(s.m_over_z_values()) for s in taken))
    rate("m_over_z_values()", total, secs, "values")
    got, secs = best(lambda: sum(1 for s in taken for _ in range(20) if s._seb_scan_value() is not None))
    rate("_seb_scan_value()", got, secs)


if __name__ == "__main__":
    main()
