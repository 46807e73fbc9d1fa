#!/usr/bin/python3
"""Prints the reference table of the rolling-history statistics test.

    gen_history_reference.py

2,000 (time, value) pairs from a 32-bit linear congruential generator (the
test makes the same doubles with the same integer steps) pass through a
window of at most 50 pairs whose times lie within 30 s of the newest pair's.
Every 20th step the window's statistics are computed twice, exactly with
fractions and with the statistics module (fmean, pvariance,
linear_regression), checked against each other and printed as C++ table
rows: step, count, minimum, maximum, mean, sum, M2 (sum of squared
deviations), slope of value against time (NaN below two distinct times).
"""
import statistics
from fractions import Fraction

PAIRS = 2000
MAX_COUNT = 50
MAX_SPAN = 30.0
EVERY = 20


def pairs():
    """The pairs: calm stretches of about 1 s steps and busy ones of about 0.1 s."""
    state = 12345
    t = 1000.0
    for k in range(PAIRS):
        state = (state * 1664525 + 1013904223) % 2**32
        r = state >> 8
        step = (r % 2000) / (1000.0 if (k // 200) % 2 == 0 else 10000.0)
        if k % 97 == 0:
            step = 0.0  # repeated times
        t = t + step
        noise = ((r >> 11) % 2001 - 1000) / 100.0
        if k % 31 == 0:
            noise = 0.0  # repeated values for ties of the extremes
        yield t, 0.5 * t + noise


def window_stats(window):
    xs = [Fraction(x) for x, _ in window]
    ys = [Fraction(y) for _, y in window]
    n = len(ys)
    mean_y = sum(ys) / n
    m2 = sum((y - mean_y) ** 2 for y in ys)
    mean_x = sum(xs) / n
    sxx = sum((x - mean_x) ** 2 for x in xs)
    sxy = sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys))
    slope = float(sxy / sxx) if sxx != 0 else float("nan")

    # The same numbers through the statistics module.
    floats_y = [y for _, y in window]
    assert abs(statistics.fmean(floats_y) - float(mean_y)) <= 1e-12 * max(1.0, abs(float(mean_y)))
    assert statistics.pvariance(ys) * n == m2
    if sxx != 0:
        lr = statistics.linear_regression([x for x, _ in window], floats_y)
        assert abs(lr.slope - slope) <= 1e-9 * max(1.0, abs(slope)), (lr.slope, slope)
    return n, float(min(ys)), float(max(ys)), float(mean_y), float(mean_y * n), float(m2), slope


def main():
    window = []
    print("// step, count, minimum, maximum, mean, sum, M2, rate")
    for k, (t, y) in enumerate(pairs(), start=1):
        window.append((t, y))
        while len(window) > MAX_COUNT:
            window.pop(0)
        while window and abs(t - window[0][0]) > MAX_SPAN:
            window.pop(0)
        if k % EVERY == 0:
            row = window_stats(window)
            rate = "NAN" if row[6] != row[6] else "%.17g" % row[6]
            print("{%d, %d, %.17g, %.17g, %.17g, %.17g, %.17g, %s}," % ((k,) + row[:6] + (rate,)))


if __name__ == "__main__":
    main()
