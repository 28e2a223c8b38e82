"""One flux quantum running down a Josephson transmission line, stated in physical units.

A chain of junctions (250 uA, shunted to beta_c = 1) coupled by 3 pH inductors,
each biased at 0.7 Ic by a current that ramps on over the first 20 ps and then
holds.  At 40 ps a phase source steps by 2 pi behind a 3 pH inductor, which
pushes one flux quantum into the first stage; every junction in turn slips its
phase by 2 pi, with a voltage pulse of about 0.9 mV peak.

    python examples/demo.py [plot.png] [--stages 24]

Prints the arrival time of the pulse at every junction (the moment its turn
count goes up, when its phase passes pi), the delay per stage, the turn counts
and the peak voltages, and saves a plot of phases and voltages against time
(needs matplotlib, the ``plot`` extra).
"""

import argparse
import math
import os
import sys
import time

import numpy as np

from loxant import Circuit
from loxant.units import PHI0, shunt_resistance

IC = "250uA"
C_JUNCTION = "0.15pF"
BETA_C = 1.0
L_STAGE = "3pH"
BIAS = 0.7  # of Ic
T_STOP, DT = "120ps", "0.01ps"
END_STAGES = 3  # left out of the delay statistics at either end


def build(stages):
    """The transmission line; node k is the top of junction Jk."""
    r_shunt = shunt_resistance(IC, C_JUNCTION, BETA_C)
    pc = Circuit(f"JTL of {stages} stages", ic0=IC, r0=r_shunt)
    pc.phase_source("P_in", "in", "0", [("0ps", 0.0), ("40ps", 0.0), ("45ps", 2 * math.pi)])
    pc.inductor("L_in", "in", 1, L_STAGE)
    bias = [("0ps", "0uA"), ("20ps", f"{BIAS * 250}uA")]
    for k in range(1, stages + 1):
        pc.junction(f"J{k}", k, 0, ic=IC, c=C_JUNCTION, beta_c=BETA_C)
        pc.current_source(f"I{k}", 0, k, bias)
        if k < stages:
            pc.inductor(f"L{k}", k, k + 1, L_STAGE)
    return pc, r_shunt


def arrival_time(t, phase, turns):
    """Time at which the turn count first rises above its starting value, refined by
    interpolating the phase between the two samples around the step."""
    k = int(np.argmax(turns > turns[0]))
    if turns[k] == turns[0]:
        return math.nan
    level = (2 * turns[0] + 1) * math.pi  # the counter steps as the phase passes this
    p0, p1 = phase[k - 1], phase[k]
    return t[k - 1] + (level - p0) / (p1 - p0) * (t[k] - t[k - 1])


def summarise(res, stages):
    t = res.time("ps")
    names = [f"J{k}" for k in range(1, stages + 1)]
    arrivals = np.array([arrival_time(t, res.phase(n), res.turn_count(n)) for n in names])
    turns = np.array([res.turn_count(n)[-1] - res.turn_count(n)[0] for n in names])
    peaks = np.array([res.voltage(n, "mV").max() for n in names])

    print(f"\n{'junction':>8}  {'arrival (ps)':>12}  {'turns':>5}  {'peak V (mV)':>11}")
    for name, arrival, count, peak in zip(names, arrivals, turns, peaks):
        print(f"{name:>8}  {arrival:12.3f}  {count:5d}  {peak:11.3f}")

    inner = slice(END_STAGES, stages - END_STAGES)
    delays = np.diff(arrivals[inner])
    print(
        f"\ndelay per stage (J{END_STAGES + 1}..J{stages - END_STAGES}): "
        f"{delays.mean():.3f} ps +- {delays.std():.3f} ps "
        f"(min {delays.min():.3f}, max {delays.max():.3f})"
    )
    print(
        f"peak voltage: {peaks[inner].mean():.3f} mV away from the ends, "
        f"{peaks.max():.3f} mV at most (J{int(peaks.argmax()) + 1})"
    )
    # each pulse carries one flux quantum: the integral of V dt over it is Phi0
    areas = []
    for name, arrival in zip(names[inner], arrivals[inner]):
        w = (t > arrival - 10) & (t < arrival + 10)
        v = res.voltage(name, "mV")[w]
        areas.append(np.sum(0.5 * (v[1:] + v[:-1]) * np.diff(t[w])))
    print(
        f"pulse area (integral of V dt): {np.mean(areas):.4f} mV ps; Phi0 = {PHI0 * 1e15:.4f} mV ps"
    )
    print(f"turn counts: {' '.join(str(c) for c in turns)}")
    return arrivals, turns


def plot(res, stages, arrivals, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed (pip install 'loxant[plot]'): no plot")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = res.time("ps")
    colours = matplotlib.colormaps["viridis"]
    fig, (ax_phase, ax_volt, ax_delay) = plt.subplots(
        3, 1, figsize=(9, 10), gridspec_kw={"height_ratios": [3, 3, 2]}, layout="constrained"
    )
    for k in range(1, stages + 1):
        colour = colours((k - 1) / max(stages - 1, 1))
        ax_phase.plot(t, res.phase(f"J{k}"), color=colour, lw=1)
        ax_volt.plot(t, res.voltage(f"J{k}", "mV"), color=colour, lw=1)
    ax_phase.plot(t, res.phase("P_in"), "k--", lw=1, label="input phase source")
    ax_phase.set_ylabel("junction phase (rad)")
    ax_phase.set_yticks([0, math.pi, 2 * math.pi], ["0", "\u03c0", "2\u03c0"])
    ax_phase.legend(loc="upper left")
    ax_volt.set_ylabel("junction voltage (mV)")
    lo, hi = np.nanmin(arrivals), np.nanmax(arrivals)
    ax_volt.set_xlim(lo - 5, hi + 10)
    for ax in (ax_phase, ax_volt):
        ax.set_xlabel("time (ps)")
        ax.grid(alpha=0.3)
    bar = fig.colorbar(
        matplotlib.cm.ScalarMappable(matplotlib.colors.Normalize(1, stages), colours),
        ax=[ax_phase, ax_volt],
        label="stage",
    )
    bar.ax.invert_yaxis()

    index = np.arange(1, stages + 1)
    ax_delay.plot(index, arrivals, "o", ms=4)
    inner = slice(END_STAGES, stages - END_STAGES)
    slope, intercept = np.polyfit(index[inner], arrivals[inner], 1)
    ax_delay.plot(index, intercept + slope * index, "-", lw=1, label=f"{slope:.3f} ps per stage")
    ax_delay.set_xlabel("junction")
    ax_delay.set_ylabel("pulse arrival (ps)")
    ax_delay.legend(loc="upper left")
    ax_delay.grid(alpha=0.3)
    fig.suptitle(f"Flux quantum in a {stages}-stage Josephson transmission line")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot: {os.path.abspath(path)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plot", nargs="?", default="jtl.png", help="PNG to write (jtl.png)")
    parser.add_argument("--stages", type=int, default=24, help="number of junctions (24)")
    args = parser.parse_args()
    if args.stages < 2 * END_STAGES + 2:
        parser.error(f"--stages must be at least {2 * END_STAGES + 2}")

    pc, r_shunt = build(args.stages)
    print(
        f"Josephson transmission line: {args.stages} stages of {IC} junctions "
        f"(C = {C_JUNCTION}, R = {r_shunt:.3f} ohm, beta_c = {BETA_C}), {L_STAGE} between "
        f"stages, bias {BIAS} Ic"
    )
    print(f"normalised units: {pc.units}")
    started = time.perf_counter()
    res = pc.simulate(t_stop=T_STOP, dt=DT)
    stats = res.stats
    print(
        f"simulated {T_STOP} in {stats['steps']} steps of {DT} ({stats['iterations']} Newton "
        f"iterations, {stats['rejected']} rejected) in {time.perf_counter() - started:.2f} s"
    )
    arrivals, turns = summarise(res, args.stages)
    plot(res, args.stages, arrivals, args.plot)
    if not (turns == 1).all():
        print("FAILED: every junction should have turned exactly once")
        return 1
    print(f"all {args.stages} junctions turned exactly once")
    return 0


if __name__ == "__main__":
    sys.exit(main())
