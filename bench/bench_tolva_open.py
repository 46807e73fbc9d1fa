#!/usr/bin/python3
"""A user's whole task on a second-instrument archive, in fresh processes.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_tolva_open.py
        [--packets N] [--runs R] [--pause S] [--tmp DIR] [--base PATH] [--no-strace]

Writes the second instrument's definitions (scripts/gen_tolva.py's) and an
archive of N (default 1,000,000) CRIT_HK packets of one fixed length that the
definitions accept, then R times (default 5), each in a fresh process a few
seconds after the last:
  - the user's script, as the README and examples/read_archive.py read an
    archive: import cvekutil, initCVekUtil, a TMFile, and for every packet
    get_pkt and all_data of one item, kept as (time, value) pairs; the
    process is timed whole from its start to its exit, and reports its steps;
  - the base cache's fresh parse of the same file (bench_archive_open parse
    ccsds FILE 1: no hooks, every header accepted).
Prints min and median of each figure, the ratio of initCVekUtil to the base
parse, and (unless --no-strace, or strace is missing) the lseek, read and
pread64 calls of a process that only starts the library, on this archive and
on one of 1,000 packets. The load average is printed with every run: the
machine may be shared.

With --damage P, instead: the same packets once intact and once with a
burst of 1 to 300 random bytes before P% of them; initCVekUtil on each, in
alternating fresh processes, and the packets the damaged one gives.
"""
import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import gen_tolva  # noqa: E402

APID = gen_tolva.EQ_APID             # CRIT_HK
SIZE = gen_tolva.APIDS[APID][1]      # bytes per packet
ITEM = gen_tolva.EQ_ROWS[0][1]       # bytes 12-13, raw, with an engineering equation
ITEM_MODE = 1

GOALS = """Goals (one core, file in the page cache, fresh processes, medians):
  initCVekUtil <= 1.3x the base cache's fresh parse of the same file
  lseek/read calls of the start-up independent of the packet count
  the whole task <= 2.5 s for 1,000,000 packets"""


def load():
    return "%.2f %.2f %.2f" % os.getloadavg()


# ---- the child: the user's script --------------------------------------------

def child(mode, path):
    """One fresh process: mode "user" runs the whole task, "init" only starts the library."""
    t0 = time.perf_counter()
    import cvekutil
    t1 = time.perf_counter()
    cvekutil.initCVekUtil(path)
    t2 = time.perf_counter()
    if mode == "init":
        print(json.dumps({"import_s": t1 - t0, "init_s": t2 - t1}))
        return
    tm = cvekutil.TMFile(path)
    t3 = time.perf_counter()
    pairs = []
    for i in range(tm.length()):
        p = tm.get_pkt(i)
        pairs += [(d.unix_timestamp, d.value) for d in p.all_data(ITEM, ITEM_MODE)]
    t4 = time.perf_counter()
    print(json.dumps({"import_s": t1 - t0, "init_s": t2 - t1, "tmfile_s": t3 - t2, "loop_s": t4 - t3,
                      "packets": tm.length(), "pairs": len(pairs)}))


# ---- the archive -------------------------------------------------------------

def write_archive(folder, count):
    """count CRIT_HK packets of SIZE bytes, ten to a second, the item's raw value counting up."""
    os.makedirs(folder, exist_ok=True)
    rest = bytes((7 * i) & 0xFF for i in range(SIZE - 12 - 2))
    head = struct.Struct(">HHHIBB")
    start = 400000000
    chunks = []
    for i in range(count):
        payload = struct.pack(">H", i & 0xFFFF) + rest  # the item's raw value in bytes 12-13
        chunks.append(head.pack(0x0800 | APID, 0xC000 | (i & 0x3FFF), SIZE - 7, start + i // 10,
                                (i % 10) * 25, 0) + payload)
    with open(os.path.join(folder, "tm.bin"), "wb") as f:
        f.write(b"".join(chunks))
    with open(os.path.join(folder, "tm.meta"), "w") as f:
        json.dump({"gse": {"version": 3, "mission": "tolva", "tid": 7}}, f)
    return os.path.join(folder, "tm.bin")


def damage_archive(clean, folder, percent):
    """The clean archive's packets, a burst of random bytes before percent% of them."""
    import random
    rng = random.Random(7)
    os.makedirs(folder, exist_ok=True)
    with open(clean, "rb") as f:
        data = f.read()
    chunks = []
    for at in range(0, len(data), SIZE):
        if rng.randrange(100) < percent:
            chunks.append(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 301))))
        chunks.append(data[at:at + SIZE])
    with open(os.path.join(folder, "tm.bin"), "wb") as f:
        f.write(b"".join(chunks))
    shutil.copy(os.path.join(os.path.dirname(clean), "tm.meta"), folder)
    return os.path.join(folder, "tm.bin")


def compare_damaged(args, folder, env, clean):
    damaged = damage_archive(clean, os.path.join(folder, "damaged"), args.damage)
    times = {"intact": [], "damaged": []}
    for i in range(args.runs):
        for label, p in (("intact", clean), ("damaged", damaged)):
            time.sleep(args.pause)
            u = run_json([sys.executable, os.path.abspath(__file__), "--child", "init", p], env)
            times[label].append(u["init_s"])
        print("  run %d: initCVekUtil intact %.3f s, damaged %.3f s  (load %s)"
              % (i + 1, times["intact"][-1], times["damaged"][-1], load()), flush=True)
    u = run_json([sys.executable, os.path.abspath(__file__), "--child", "user", damaged], env)
    print()
    print("%d packets of %d bytes, %d%% behind damage; min / median of %d fresh processes"
          % (args.packets, SIZE, args.damage, args.runs))
    for label in ("intact", "damaged"):
        print("  initCVekUtil, %-8s %7.3f / %7.3f s" % (label + ":", *pair(times[label])))
    print("  damaged / intact (medians): %.2f" % (
        statistics.median(times["damaged"]) / statistics.median(times["intact"])))
    print("  packets the damaged archive gives: %d of %d" % (u["packets"], args.packets))


def check_definitions_accept():
    """The packet-type table gen_tolva writes must take this length for the APID."""
    for line in gen_tolva.packet_type_lines():
        cells = [c.strip() for c in line.split(",")]
        if cells[0] == str(APID):
            lo, hi = int(cells[3]), int(cells[4])
            if lo >= 0 and not lo <= SIZE - 6 <= hi:
                raise SystemExit("the definitions reject packets of %d bytes for APID %d" % (SIZE, APID))
            return
    raise SystemExit("the definitions lack APID %d" % APID)


# ---- the parent --------------------------------------------------------------

def run_json(cmd, env):
    t = time.perf_counter()
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    whole = time.perf_counter() - t
    lines = [l for l in out.stdout.splitlines() if l.startswith("{")]
    if not lines:
        raise SystemExit("no figures from: %s\n%s" % (" ".join(cmd), out.stderr))
    figures = json.loads(lines[-1])
    figures["whole_s"] = whole
    figures["stderr"] = out.stderr
    return figures


def syscalls(env, path, folder):
    """lseek, read and pread64 calls of a process that only starts the library on path."""
    log = os.path.join(folder, "strace.txt")
    subprocess.run(["strace", "-f", "-c", "-e", "trace=lseek,read,pread64", "-o", log, sys.executable,
                    os.path.abspath(__file__), "--child", "init", path], check=True, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    counts = {"lseek": 0, "read": 0, "pread64": 0}
    with open(log) as f:
        for line in f:
            cells = line.split()
            if cells and cells[-1] in counts:
                counts[cells[-1]] = int(cells[3])
    return counts


def pair(values, best=min):
    return best(values), statistics.median(values)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--packets", type=int, default=1000000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--pause", type=float, default=2.0, help="seconds between processes")
    ap.add_argument("--tmp", default=os.environ.get("TMPDIR", "/tmp"))
    ap.add_argument("--base", default=os.path.join(ROOT, "build", "bench", "bench_archive_open"),
                    help="bench_archive_open, for the base cache's parse")
    ap.add_argument("--no-strace", action="store_true")
    ap.add_argument("--damage", type=int, default=0, help="compare with P%% of the packets behind damage")
    ap.add_argument("--child", nargs=2, metavar=("MODE", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(*args.child)
    if not os.access(args.base, os.X_OK):
        raise SystemExit("build bench_archive_open first (GSE_BUILD_BENCH=ON): " + args.base)
    check_definitions_accept()

    folder = tempfile.mkdtemp(prefix="bench_tolva_open.", dir=args.tmp)
    try:
        print("writing the definitions and %d packets to %s (load %s)" % (args.packets, folder, load()), flush=True)
        gen_tolva.generate(folder, 40, 13)
        path = write_archive(os.path.join(folder, "big"), args.packets)
        small = write_archive(os.path.join(folder, "small"), 1000)
        env = dict(os.environ, INIVEK=os.path.join(folder, "vekconfig.INI"), HOME=folder)
        if args.damage:
            return compare_damaged(args, folder, env, path)
        users, bases = [], []
        for i in range(args.runs):
            time.sleep(args.pause)
            before = load()
            b = run_json([args.base, "parse", "ccsds", path, "1"], env)
            time.sleep(args.pause)
            u = run_json([sys.executable, os.path.abspath(__file__), "--child", "user", path], env)
            if u["packets"] != args.packets or u["pairs"] != args.packets or b["packets"] != args.packets:
                raise SystemExit("packets read: %d, pairs %d, base %d of %d\n%s" % (
                    u["packets"], u["pairs"], b["packets"], args.packets, u["stderr"]))
            if u["stderr"].strip():
                raise SystemExit("the library wrote messages:\n" + u["stderr"][:2000])
            users.append(u)
            bases.append(b)
            print("  run %d: whole %.3f s (import %.3f, initCVekUtil %.3f, TMFile %.3f, loop %.3f); "
                  "base parse %.3f s  (load %s -> %s)"
                  % (i + 1, u["whole_s"], u["import_s"], u["init_s"], u["tmfile_s"], u["loop_s"], b["parse0_s"],
                     before, load()), flush=True)

        print()
        print("%d packets of %d bytes; each figure min / median of %d fresh processes (load at the end: %s)"
              % (args.packets, SIZE, args.runs, load()))
        rows = [("user's whole task (process start to exit)", [u["whole_s"] for u in users]),
                ("  import cvekutil", [u["import_s"] for u in users]),
                ("  initCVekUtil", [u["init_s"] for u in users]),
                ("  TMFile()", [u["tmfile_s"] for u in users]),
                ("  get_pkt + all_data loop", [u["loop_s"] for u in users]),
                ("base cache's fresh parse", [b["parse0_s"] for b in bases])]
        for label, values in rows:
            lo, med = pair(values)
            print("  %-44s %7.3f / %7.3f s" % (label, lo, med))
        ratios = [u["init_s"] / b["parse0_s"] for u, b in zip(users, bases)]
        lo, med = pair(ratios)
        print("  %-44s %7.2f / %7.2f   (median init / median base: %.2f)" % (
            "initCVekUtil / base parse, per run", lo, med,
            statistics.median([u["init_s"] for u in users]) / statistics.median([b["parse0_s"] for b in bases])))
        lo, med = pair([args.packets / u["init_s"] / 1e6 for u in users], best=max)
        print("  %-44s %7.2f / %7.2f M packets/s (best / median)" % ("initCVekUtil rate", lo, med))
        if not args.no_strace and shutil.which("strace"):
            for label, p in (("%d packets" % args.packets, path), ("1000 packets", small)):
                c = syscalls(env, p, folder)
                print("  start-up system calls, %-14s lseek %d, read %d, pread64 %d" % (
                    label + ":", c["lseek"], c["read"], c["pread64"]))
        print()
        print(GOALS)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
