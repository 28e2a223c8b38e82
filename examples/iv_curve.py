"""Time-averaged current-voltage curve of one biased junction, in normalised units.

For each bias current I (in units of Ic) the junction starts at rest, the bias
rises smoothly, and once it has settled the mean voltage is taken as 2 pi times
the number of phase slips over the time they took (V in units of Ic R).  For an
overdamped junction (beta_c = 0) the Stewart-McCumber model gives
V = sqrt(I**2 - 1) above Ic and 0 below; a capacitance (``--beta-c``) makes the
curve hysteretic, and this sweep from rest follows its upper branch.

    python examples/iv_curve.py [--beta-c 0] [--plot iv.png]
"""

import argparse
import math
import os
import sys

import numpy as np

from loxant import Circuit

CURRENTS = (0.5, 0.9, 0.98, 1.02, 1.05, 1.1, 1.2, 1.4, 1.7, 2.0, 2.5, 3.0)
SETTLE = 40.0  # time allowed for the bias ramp and the transient
DT = 0.02


def stewart_mccumber(current):
    return math.sqrt(current * current - 1.0) if current > 1.0 else 0.0


def mean_voltage(current, beta_c):
    """Mean voltage of the junction at bias ``current`` after it has settled."""
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=beta_c)
    c.current_source("I1", "0", "a", current)
    # long enough for about ten slips even just above Ic, where they are slow
    expected = max(stewart_mccumber(current), 0.2)
    t_stop = SETTLE + 10 * 2 * math.pi / expected
    res = c.simulate(t_stop=t_stop, dt=DT, initial_ramp=10.0, record_from=SETTLE)
    turns, phase, t = res.turn_count("J1"), res.phase("J1"), res.time
    slips = np.flatnonzero(np.diff(turns) > 0) + 1
    if len(slips) < 2:
        return (phase[-1] - phase[0]) / (t[-1] - t[0])
    # each slip time interpolated to the moment the phase passes the counter's level
    levels = (2 * turns[slips - 1] + 1) * math.pi
    p0, p1 = phase[slips - 1], phase[slips]
    times = t[slips - 1] + (levels - p0) / (p1 - p0) * DT
    return 2 * math.pi * (turns[slips[-1]] - turns[slips[0]]) / (times[-1] - times[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--beta-c", type=float, default=0.0, help="McCumber parameter (0)")
    parser.add_argument("--plot", metavar="PNG", help="also plot the curve to this file")
    args = parser.parse_args()

    print(f"junction with beta_c = {args.beta_c}; V in units of Ic R, I in units of Ic")
    print(f"{'I':>6}  {'V simulated':>11}  {'sqrt(I^2-1)':>11}  {'difference':>10}")
    rows = []
    for current in CURRENTS:
        v, sm = mean_voltage(current, args.beta_c), stewart_mccumber(current)
        rows.append((current, v, sm))
        print(f"{current:6.2f}  {v:11.5f}  {sm:11.5f}  {v - sm:10.1e}")
    if args.beta_c > 0:
        print("(the Stewart-McCumber formula holds for beta_c = 0 only)")
    if args.plot:
        plot(rows, args.beta_c, args.plot)
    return 0


def plot(rows, beta_c, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed (pip install 'loxant[plot]'): no plot")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 4.5), layout="constrained")
    i = np.linspace(0, max(r[0] for r in rows), 400)
    ax.plot([stewart_mccumber(x) for x in i], i, "-", label="sqrt(I\u00b2 - 1)")
    ax.plot([r[1] for r in rows], [r[0] for r in rows], "o", label="simulated")
    ax.set_xlabel("mean voltage V / (Ic R)")
    ax.set_ylabel("bias current I / Ic")
    ax.set_title(f"Junction I-V curve, \u03b2c = {beta_c}")
    ax.legend()
    ax.grid(alpha=0.3)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot: {os.path.abspath(path)}")


if __name__ == "__main__":
    sys.exit(main())
