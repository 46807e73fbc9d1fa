#!/usr/bin/python3
"""Writes the seed inputs of the logging-protocol fuzz target.

    gen_loggerprotocol_corpus.py [OUT_DIR]    (default fuzz/corpus/fuzz_loggerprotocol)

An input is one byte choosing the number of connections (1 + b % 3), one byte
seeding how the rest is cut into chunks, then the bytes the connections send.
A wire line is seven fields joined by "*=-!" (timestamp, component, file, line,
thread id, level name, text) and ended by a line feed; a command is a LOG_CMD
line whose text is its key and arguments joined by "-=-".
"""
import os
import sys

D = "*=-!"
TS = "2024-03-05T14:07:09.123+01:00"
LEVELS = ["TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"]


def line(text, level="INFO", ts=TS, component="test", file="src/a.cpp", lineno="12", tid="140245"):
    return D.join([ts, component, file, lineno, tid, level, text]).encode() + b"\n"


def cmd(*args):
    return line("-=-".join(args), "LOG_CMD", component="", file="", lineno="-1")


INIT = cmd("INIT_CLIENT", "myapp", "42")

SEEDS = {
    "levels": INIT + b"".join(line("at " + lv, lv) for lv in LEVELS),
    "init_client": INIT,
    "init_client_short": cmd("INIT_CLIENT") + cmd("INIT_CLIENT", "x") + cmd("INIT_CLIENT", "y", "no-number"),
    "change_main_file": INIT + cmd("CHANGE_MAIN_FILE", "main_file", "fixed.log") + line("after"),
    "change_main_file_refused": INIT
    + cmd("CHANGE_MAIN_FILE", "main_file", "../escape.log")
    + cmd("CHANGE_MAIN_FILE", "main_file", "/dev/null")
    + cmd("CHANGE_MAIN_FILE", "main_file", "no/such/x.log")
    + cmd("CHANGE_MAIN_FILE", "main_file", "")
    + cmd("CHANGE_MAIN_FILE"),
    "change_main_file_odd_paths": INIT
    + cmd("CHANGE_MAIN_FILE", "main_file", "..\0/escape.log")
    + cmd("CHANGE_MAIN_FILE", "main_file", "sub/../inside.log")
    + cmd("CHANGE_MAIN_FILE", "main_file", "./a/./b/../c.log")
    + cmd("CHANGE_MAIN_FILE", "main_file-=")
    + cmd("INIT_CLIENT", "half-="),
    "unknown_cmd": INIT + cmd("SOMETHING", "a", "b"),
    "short_lines": b"\n" + b"a\n" + b"ab\n" + b"abc\n" + INIT,
    "http_get": b"GET / HTTP/1.1\r\nHost: 127.0.0.1:4401\r\n\r\n",
    "http_post": b"POST /log HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello\n",
    "http_host": b"Host: 127.0.0.1\n" + INIT,
    "http_partial": b"PO",
    "partial_line": INIT + line("whole") + line("cut")[:20],
    "few_fields": b"a*=-!b*=-!c\n" + D.encode() * 3 + b"\n",
    "many_fields": INIT + line("text" + D + "more" + D + "and more"),
    "odd_numbers": INIT
    + line("big line", lineno="99999999999", tid="18446744073709551616")
    + line("negative", lineno="-2147483648", tid="-1")
    + line("bad level", level="info"),
    "bad_timestamps": INIT + line("no time", ts="") + line("odd", ts="2024-13-45T99:99:99.999+25:00"),
    "two_dates": INIT + line("day one") + line("day two", ts="2024-03-06T00:00:01.000+01:00"),
    "utf8_and_latin1": INIT + line("caf\u00e9 \u2603") + b"x" + D.encode() + b"\xff\xfe" + D.encode() * 5 + b"\xc3\n",
    "control_bytes": INIT + line("bell\x07 esc\x1b[31m cr\r nul\x00 end"),
    "crlf": INIT.replace(b"\n", b"\r\n") + line("crlf").replace(b"\n", b"\r\n"),
    "percent_args": INIT + line("%1 %2 %9 %%"),
    "dash_fields": INIT + line("a - b - c", component="x - y", file="- f -"),
    "long_line": INIT + line("L" * 5000),
    "long_partial": INIT + b"x" * 6000,
    "no_line_feed": line("never ended").rstrip(b"\n"),
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "fuzz", "corpus", "fuzz_loggerprotocol")
    os.makedirs(out, exist_ok=True)
    # Each stream once as one connection in chunks, and the lot as three
    # connections with other cuts.
    for i, (name, body) in enumerate(sorted(SEEDS.items())):
        with open(os.path.join(out, name), "wb") as f:
            f.write(bytes([0, i]) + body)
    mixed = b"".join(SEEDS[k] for k in ("levels", "change_main_file", "partial_line", "two_dates"))
    for conns, seed in ((1, 7), (2, 99), (3, 200)):
        with open(os.path.join(out, "mixed_%d_connections" % conns), "wb") as f:
            f.write(bytes([conns - 1, seed]) + mixed)


if __name__ == "__main__":
    main()
