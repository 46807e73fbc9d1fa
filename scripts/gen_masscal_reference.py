#!/usr/bin/env python3
"""Reference numbers for the mass-calibration fit tests, made once with numpy.

Prints the C++ table kFitCases of tests/koralib/masscal/test_masscal.cpp: per point set
and order, numpy.polyfit's coefficients (a0, a1, a2), the figure
sqrt((T - S) / T) with S polyfit's residual and T the sum of squared deviations
of the masses, apply() at probe controls, and inverse() of probe masses (the
numpy.roots root nearest the linear estimate (y - a0) / a1).

Run by hand (/usr/bin/python3, Debian's numpy) and paste the output into kFitCases.
The tests never run numpy; they hold the printed numbers.
"""
import numpy as np

# RF DAC counts and RF monitor volts of the same lines (H, He, N, H2O, N2, Ar, CO2).
RF_DAC = [(410, 1.0078), (1630, 4.0026), (5730, 14.0031), (7370, 18.0106), (11480, 28.0061),
          (16400, 39.9624), (18030, 43.9898)]
RF_MON = [(0.1242, 1.0078), (0.4935, 4.0026), (1.7270, 14.0031), (2.2201, 18.0106), (3.4570, 28.0061),
          (4.9370, 39.9624), (5.4300, 43.9898), (7.1000, 58.0)]
# A quadratic whose x^2 term barely matters: the inverse must not cancel digits.
NEARLY_LINEAR = [(x, 1.0 + 0.0028 * x + 1e-9 * x * x + noise)
                 for x, noise in zip(range(1000, 16001, 3000), (0.0004, -0.0003, 0.0002, -0.0005, 0.0001, 0.0003))]

# (name, order, [(control, amu)...], probe controls, probe masses)
SETS = [
    ("bins_linear", 1,
     [(1200, 2.03), (3400, 12.11), (5210, 18.02), (7777, 28.05), (9900, 39.98), (12345, 44.01)],
     [0.0, 5000.0, 19999.0], [1.0, 28.0, 60.0]),
    ("bins_quadratic", 2,
     [(800, 1.008), (2500, 4.003), (6000, 14.003), (9100, 18.011), (12000, 28.006),
      (15500, 39.962), (18000, 43.990), (20000, 55.93)],
     [100.0, 10000.0, 20000.0], [2.0, 18.0, 44.0]),
    ("rf_dac_linear", 1, RF_DAC, [0.0, 8000.0, 16383.0], [12.0, 32.0, 44.0]),
    ("rf_dac_quadratic", 2, RF_DAC, [0.0, 8000.0, 16383.0], [12.0, 32.0, 44.0]),
    ("rf_mon_linear", 1, RF_MON[:6], [0.0, 2.5, 5.0], [2.0, 20.0, 40.0]),
    ("rf_mon_quadratic", 2, RF_MON, [0.0, 2.5, 7.0], [2.0, 20.0, 55.0]),
    ("nearly_linear_quadratic", 2, NEARLY_LINEAR, [0.0, 8000.0, 16000.0], [5.0, 25.0, 45.0]),
]


def invert(a0, a1, a2, y):
    if a2 == 0.0:
        return (y - a0) / a1
    roots = np.roots([a2, a1, a0 - y])
    roots = [r.real for r in roots if abs(r.imag) == 0.0]
    estimate = (y - a0) / a1
    return min(roots, key=lambda r: abs(r - estimate))


def main():
    print("// Made by scripts/gen_masscal_reference.py (numpy %s); do not edit by hand." % np.__version__)
    for name, order, pts, probes, masses in SETS:
        x = np.array([p[0] for p in pts], dtype=float)
        y = np.array([p[1] for p in pts], dtype=float)
        coef, residuals, _, _, _ = np.polyfit(x, y, order, full=True)
        c = list(reversed(coef)) + [0.0] * (3 - (order + 1))
        s = float(residuals[0])
        t = float(np.sum((y - y.mean()) ** 2))
        figure = np.sqrt((t - s) / t)
        a0, a1, a2 = c
        applied = [a0 + a1 * p + a2 * p * p for p in probes]
        inverted = [invert(a0, a1, a2, m) for m in masses]
        fmt = lambda v: "%.17g" % v
        print("    {\"%s\", %d," % (name, order))
        print("     {%s}," % ", ".join("{%s, %s}" % (fmt(px), fmt(py)) for px, py in zip(x, y)))
        print("     {%s}, %s," % (", ".join(fmt(v) for v in c), fmt(figure)))
        print("     {%s}, {%s}," % (", ".join(fmt(v) for v in probes), ", ".join(fmt(v) for v in applied)))
        print("     {%s}, {%s}}," % (", ".join(fmt(v) for v in masses), ", ".join(fmt(v) for v in inverted)))


if __name__ == "__main__":
    main()
