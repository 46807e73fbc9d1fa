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
"""
import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
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


if __name__ == "__main__":
    main()
