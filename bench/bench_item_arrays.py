#!/usr/bin/python3
"""One item of every packet, per-packet road against the bulk road, in fresh processes.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_item_arrays.py
        [--sizes 250000,1000000,4000000] [--runs R] [--cpu N] [--pause S] [--tmp DIR]

Writes the second instrument's definitions (scripts/gen_tolva.py's) and, per
size, an archive of that many CRIT_HK packets (bench_tolva_open.py's
archive: 52 bytes each, the item at bytes 12-13 with an engineering
equation). Then R times (default 3) per size, each a fresh process pinned to
one core (taskset -c N, default 0), in turn:
  - start-up alone: import cvekutil, initCVekUtil, TMFile;
  - the per-packet road: start-up, then get_pkt(i).all_data(item, 1) of every
    packet kept as (time, value) pairs, as the README read it before;
  - the bulk road: start-up, import numpy, then tm.item_arrays(item, 1).
Each child reports its steps, its peak RSS (getrusage) and its RSS before and
after initCVekUtil (/proc/self/statm); the parent times the process whole.
First, per size, an untimed process of each road checks that both give
the same values, bit for bit.

Prints per size the medians and, across sizes, the cost per packet of the
loop, the item call and the whole job (linear: within 15%), and the
start-up's resident bytes per packet.
Goals: item call >= 10x faster than the per-packet loop; whole job (process
start to exit) >= 3x faster; peak RSS of the bulk job within 10% of start-up
alone; per-packet costs within 15% over the sizes.
"""
import argparse
import array
import hashlib
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_tolva_open as arc  # noqa: E402

ITEM, MODE = arc.ITEM, arc.ITEM_MODE


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def digest(values):
    return hashlib.blake2b(values).hexdigest()


def child(road, path):
    check = road.endswith("-check")
    road = road.replace("-check", "")
    t0 = time.perf_counter()
    import cvekutil
    t1 = time.perf_counter()
    before = rss_bytes()
    cvekutil.initCVekUtil(path)
    t2 = time.perf_counter()
    after = rss_bytes()
    tm = cvekutil.TMFile(path)
    t3 = time.perf_counter()
    out = {"import_s": t1 - t0, "init_s": t2 - t1, "tmfile_s": t3 - t2, "packets": tm.length(),
           "rss_before_init": before, "rss_after_init": after}
    if road == "loop":
        pairs = []
        for i in range(tm.length()):
            p = tm.get_pkt(i)
            pairs += [(d.unix_timestamp, d.value) for d in p.all_data(ITEM, MODE)]
        t4 = time.perf_counter()
        out.update(item_s=t4 - t3, samples=len(pairs))
        if check:
            out["digest"] = digest(array.array("d", [v for _, v in pairs]).tobytes())
    elif road == "bulk":
        import numpy
        t4 = time.perf_counter()
        got = tm.item_arrays(ITEM, MODE)
        t5 = time.perf_counter()
        out.update(numpy_s=t4 - t3, item_s=t5 - t4, samples=len(got.value), array_bytes=sum(a.nbytes for a in got))
        if check:
            out["digest"] = digest(got.value.tobytes())
    out["peak_rss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps(out))


def med(runs, key):
    return statistics.median(r[key] for r in runs)


def mib(n):
    return n / 1048576.0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="250000,1000000,4000000")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cpu", type=int, default=0)
    ap.add_argument("--pause", type=float, default=1.0, help="seconds between processes")
    ap.add_argument("--tmp", default=os.environ.get("TMPDIR", "/tmp"))
    ap.add_argument("--child", nargs=2, metavar=("ROAD", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(*args.child)
    arc.check_definitions_accept()
    pin = ["taskset", "-c", str(args.cpu)] if shutil.which("taskset") else []
    if not pin:
        print("taskset not found: processes are not pinned")
    sizes = [int(s) for s in args.sizes.split(",")]
    folder = tempfile.mkdtemp(prefix="bench_item_arrays.", dir=args.tmp)
    try:
        arc.gen_tolva.generate(folder, 40, 13)
        env = dict(os.environ, INIVEK=os.path.join(folder, "vekconfig.INI"), HOME=folder)
        table = {}
        for n in sizes:
            path = arc.write_archive(os.path.join(folder, "n%d" % n), n)
            runs = {"init": [], "loop": [], "bulk": []}
            # The roads' values, bit for bit, in processes of their own (not timed).
            checks = [arc.run_json([sys.executable, os.path.abspath(__file__), "--child", road + "-check", path], env)
                      for road in ("loop", "bulk")]
            if checks[0]["samples"] != checks[1]["samples"] or checks[0]["digest"] != checks[1]["digest"]:
                raise SystemExit("the roads differ: %d samples against %d, or their values" % (
                    checks[0]["samples"], checks[1]["samples"]))
            for k in range(args.runs):
                for road in ("init", "loop", "bulk"):
                    time.sleep(args.pause)
                    r = arc.run_json(pin + [sys.executable, os.path.abspath(__file__), "--child", road, path], env)
                    if r["packets"] != n:
                        raise SystemExit("%d packets read of %d\n%s" % (r["packets"], n, r["stderr"]))
                    runs[road].append(r)
                loop, bulk = runs["loop"][-1], runs["bulk"][-1]
                print("  %d packets, run %d: whole init %.3f / loop %.3f / bulk %.3f s; item call loop %.3f, "
                      "bulk %.4f s (load %s)" % (n, k + 1, runs["init"][-1]["whole_s"], loop["whole_s"],
                                                bulk["whole_s"], loop["item_s"], bulk["item_s"], arc.load()),
                      flush=True)
            table[n] = runs
        report(table, args.runs)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def report(table, runs):
    print()
    print("CRIT_HK packets of %d bytes, item %d in mode %d, one core; medians of %d fresh processes" % (
        arc.SIZE, ITEM, MODE, runs))
    for n, r in table.items():
        init, loop, bulk = r["init"], r["loop"], r["bulk"]
        print("%d packets" % n)
        print("  start-up alone: whole %.3f s (import %.3f, initCVekUtil %.3f, TMFile %.3f), peak RSS %.1f MiB"
              % (med(init, "whole_s"), med(init, "import_s"), med(init, "init_s"), med(init, "tmfile_s"),
                 mib(med(init, "peak_rss"))))
        print("  per-packet road: whole %.3f s, loop %.3f s, peak RSS %.1f MiB"
              % (med(loop, "whole_s"), med(loop, "item_s"), mib(med(loop, "peak_rss"))))
        print("  bulk road:       whole %.3f s, import numpy %.3f s, item_arrays %.4f s, peak RSS %.1f MiB "
              "(arrays %.1f MiB)" % (med(bulk, "whole_s"), med(bulk, "numpy_s"), med(bulk, "item_s"),
                                     mib(med(bulk, "peak_rss")), mib(med(bulk, "array_bytes"))))
        print("  item call: %.1fx faster; whole job %.2fx faster; bulk peak RSS / start-up alone %.3f"
              % (med(loop, "item_s") / med(bulk, "item_s"), med(loop, "whole_s") / med(bulk, "whole_s"),
                 med(bulk, "peak_rss") / med(init, "peak_rss")))
        print("  start-up resident bytes per packet: %.1f (RSS after initCVekUtil minus before)"
              % ((med(init, "rss_after_init") - med(init, "rss_before_init")) / n))
    if len(table) > 1:
        print("cost per packet over the sizes (ns), max/min - 1; then the least-squares line a + b n and the")
        print("largest distance of a median from it:")
        for label, road, key in (("per-packet loop", "loop", "item_s"), ("item_arrays", "bulk", "item_s"),
                                 ("start-up initCVekUtil", "init", "init_s"),
                                 ("whole per-packet job", "loop", "whole_s"), ("whole bulk job", "bulk", "whole_s")):
            sizes = list(table)
            times = [med(table[n][road], key) for n in sizes]
            per = [t / n * 1e9 for t, n in zip(times, sizes)]
            mn, mt = statistics.mean(sizes), statistics.mean(times)
            b = sum((n - mn) * (t - mt) for n, t in zip(sizes, times)) / sum((n - mn) ** 2 for n in sizes)
            a = mt - b * mn
            off = max(abs(t - (a + b * n)) / t for n, t in zip(sizes, times))
            print("  %-22s %s  %5.1f%%   a %.3f s, b %.1f ns, %.1f%%" % (
                label, " ".join("%7.1f" % p for p in per), (max(per) / min(per) - 1) * 100, a, b * 1e9, off * 100))


if __name__ == "__main__":
    sys.exit(main())
