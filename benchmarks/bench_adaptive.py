"""Adaptive against fixed time step.

Two measurements:

* ``delay``: at equal accuracy, the delay per stage of a Josephson
  transmission line within 0.05 % of its converged value.  Cases: the
  100-stage line of the reference netlists (290 ps), and a quiet one: a
  10-stage line that carries one pulse in 10 ns.  For each, the largest fixed
  step and the loosest tolerance that reach the accuracy, with steps and wall
  time.
* ``chain``: a chain of library-style JTL cells of gap junctions (two per
  cell, each shunted by a resistor in series with an inductor, parasitic
  inductors to ground, biased through inductors by a ramp to a constant) with
  a DC/SFQ converter at its input, whose one pulse runs down the whole chain.
  The fixed run at the library's step against the adaptive step as
  ``loxant run --adaptive`` takes it (the .tran step its largest) and with a
  largest step of a few ps (``--dt-max``): steps, wall time and the largest
  difference of the switch times (every tenth junction) from the fixed run.

    python benchmarks/bench_adaptive.py [delay|chain] [--cells N]
"""

import argparse
import math
import pathlib
import time

import numpy as np

from loxant import Circuit, read_netlist

NETLISTS = pathlib.Path(__file__).resolve().parents[1] / "tests" / "netlist" / "data"
ACCURACY = 5e-4
FIXED_STEPS = ["0.4ps", "0.2ps", "0.1ps", "0.05ps", "0.025ps", "0.0125ps"]
TOLERANCES = [1e-3, 3e-4, 1e-4, 3e-5, 1e-5, 3e-6]

# ---- the gap-junction chain ------------------------------------------------------

_CELL = """\
.subckt jtlcell in out
IB 0 bias pwl(0 0 50p 0.30m)
L1 in 1 2.0p
B1 1 g1 jjmit area=2.16
RS1 1 s1 3.2
LS1 s1 g1 1.0p
LG1 g1 0 0.05p
LB1 bias 2 1.0p
L2 1 2 2.0p
L3 2 3 2.0p
B2 3 g2 jjmit area=2.16
RS2 3 s2 3.2
LS2 s2 g2 1.0p
LG2 g2 0 0.05p
L4 3 out 2.0p
.ends jtlcell
"""

# A DC/SFQ converter: the input current steps into a storage inductor beside
# an escape junction (B1) in series with the output junction (B2), which
# switches once when the step rises; the pulse leaves through L4.
_DCSFQ = """\
.subckt dcsfq in out
IB 0 bias pwl(0 0 50p 0.15m)
LS in 0 8p
B1 in 2 jjmit area=2.5
RS1 in s1 4.3
LS1 s1 2 1.0p
B2 2 g2 jjmit area=2.16
RS2 2 s2 3.2
LS2 s2 g2 1.0p
LG2 g2 0 0.05p
LB bias 2 1.0p
L4 2 out 2p
.ends dcsfq
"""


def chain_netlist(cells=500, tstep="0.025p"):
    """The netlist text of ``cells`` JTL cells (2 junctions each) behind a DC/SFQ
    converter whose input steps up at 100 ps; long enough for the pulse to run
    down the chain (about 1.75 ps a junction)."""
    tstop = f"{150 + 3.6 * cells:g}p"
    lines = [
        f"* {cells} gap-junction JTL cells behind a DC/SFQ converter",
        ".model jjmit jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)",
        _CELL + _DCSFQ,
        "IIN 0 in pwl(0 0 100p 0 105p 0.4m)",
        "XIN dcsfq in c0",
    ]
    lines += [f"X{k + 1} jtlcell c{k} c{k + 1}" for k in range(cells)]
    lines.append(f"RLOAD c{cells} 0 3.2")
    lines.append(f".tran {tstep} {tstop}")
    return "\n".join(lines) + "\n"


def switch_crossings(results, junctions):
    """Times (ps) at which each junction's phase first crosses pi, interpolated."""
    t = results.time("ps")
    return np.array([crossing(t, results.phase(name)) for name in junctions])


def watched(netlist):
    """Every tenth junction and the last: their switch times are compared."""
    junctions = netlist.junctions()
    return junctions[::10] + ([junctions[-1]] if (len(junctions) - 1) % 10 else [])


def run_chain(netlist, **options):
    junctions = watched(netlist)
    record = [f"phase({j})" for j in junctions]
    start = time.perf_counter()
    res = netlist.simulate(record=record, **options)
    wall = time.perf_counter() - start
    return switch_crossings(res, junctions), res.stats, wall


#: (label, options) of the runs compared with the fixed step: the adaptive step
#: as `loxant run --adaptive` takes it (the .tran step its largest, as before
#: --dt-max existed), and with a largest step of a few ps
CHAIN_RUNS = [
    ("adaptive, dt_max = tstep", {}),
    ("adaptive, dt_max 2ps", {"dt_max": "2ps"}),
    ("adaptive, dt_max 5ps", {"dt_max": "5ps"}),
    ("adaptive, 2ps, tol 3e-5", {"dt_max": "2ps", "rtol": 3e-5, "atol": 3e-5}),
]


def chain(cells):
    netlist = read_netlist(chain_netlist(cells))
    print(
        f"chain of {cells} cells, {len(netlist.junctions())} junctions, t_stop = "
        f"{netlist.tran.tstop * 1e12:g} ps, tstep {netlist.tran.tstep * 1e12:g} ps"
    )
    fixed, stats, wall = run_chain(netlist)
    head = f"{'mode':<26} {'steps':>8} {'rejected':>8} {'wall (s)':>9}"
    print(f"{head} {'max |t - t_fixed| (ps)':>23} {'last junction (ps)':>19}")
    last = fixed[np.isfinite(fixed)][-1] if np.isfinite(fixed).any() else math.nan
    row = f"{'fixed':<26} {stats['steps']:>8} {stats['rejected']:>8} {wall:>9.2f}"
    print(f"{row} {'-':>23} {last:>19.3f}")
    netlist.adaptive = True
    for label, options in CHAIN_RUNS:
        times, stats, wall = run_chain(netlist, **options)
        both = np.isfinite(times) & np.isfinite(fixed)
        worst = np.abs(times - fixed)[both].max() if both.any() else math.nan
        row = f"{label:<26} {stats['steps']:>8} {stats['rejected']:>8} {wall:>9.2f}"
        print(f"{row} {worst:>23.4f} {times[both][-1] if both.any() else math.nan:>19.3f}")
    print(f"{np.isfinite(fixed).sum()} of {len(fixed)} watched junctions switched in the fixed run")


# ---- delay per stage at equal accuracy --------------------------------------------


def crossing(t, phase, level=math.pi):
    above = phase > level
    if not above.any():
        return math.nan
    k = int(np.argmax(above))
    if k == 0:
        return t[0]
    return t[k - 1] + (level - phase[k - 1]) * (t[k] - t[k - 1]) / (phase[k] - phase[k - 1])


def jtl100(**options):
    net = read_netlist(str(NETLISTS / "jtl100.cir"))
    probes = [f"phase(B{k})" for k in range(10, 91)]
    res = net.simulate(record=probes, record_every=1, **options)
    t = res.time("ps")
    t_pi = [crossing(t, res.phase(f"B{k}")) for k in range(10, 91)]
    return np.polyfit(np.arange(10, 91), t_pi, 1)[0], res.stats


def quiet_line(n=10):
    pc = Circuit(ic0="250uA", r0="2.74ohm")
    pc.phase_source("P_in", "in", "0", [("0ps", 0), ("30ps", 0), ("35ps", 2 * math.pi)])
    pc.inductor("L_in", "in", "1", "3pH")
    for k in range(1, n + 1):
        pc.junction(f"J{k}", k, 0, ic="250uA", r="2.74ohm", c="0.175pF")
        pc.current_source(f"I{k}", 0, k, [("0ps", 0), ("20ps", "175uA")])
        if k < n:
            pc.inductor(f"L{k}", k, k + 1, "3pH")
    return pc


def quiet(**options):
    res = quiet_line().simulate("10ns", record=["phase(J3)", "phase(J8)"], **options)
    t = res.time("ps")
    return (crossing(t, res.phase("J8")) - crossing(t, res.phase("J3"))) / 5, res.stats


def timed(run, **options):
    start = time.perf_counter()
    delay, stats = run(**options)
    return delay, stats, time.perf_counter() - start


def first_within(run, converged, choices, make_options):
    for choice in choices:
        delay, stats, wall = timed(run, **make_options(choice))
        if abs(delay / converged - 1) <= ACCURACY:
            return choice, delay, stats, wall
    return None


def delay():
    print(
        f"{'case':<8} {'mode':<22} {'steps':>8} {'rejected':>8} {'wall (s)':>9} {'delay (ps)':>11}"
    )
    cases = [
        ("jtl100", jtl100, 1.62855, "2ps"),
        ("quiet", quiet, None, "20ps"),
    ]
    for name, run, converged, dt_max in cases:
        if converged is None:
            converged = run(dt="0.01ps")[0]
        fixed = first_within(run, converged, FIXED_STEPS, lambda dt: {"dt": dt})
        adaptive = first_within(
            run,
            converged,
            TOLERANCES,
            lambda tol, m=dt_max: {"rtol": tol, "atol": tol, "dt_max": m},
        )
        for mode, found in (("fixed dt", fixed), ("adaptive tol", adaptive)):
            if found is None:
                print(f"{name:<8} {mode:<22} none of the choices reached {ACCURACY:.2%}")
                continue
            choice, delay_ps, stats, wall = found
            label = f"{mode} {choice}"
            print(
                f"{name:<8} {label:<22} {stats['steps']:>8} {stats.get('rejected', 0):>8} "
                f"{wall:>9.3f} {delay_ps:>11.5f}"
            )
        print(f"{name:<8} converged delay {converged:.5f} ps")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("case", nargs="?", choices=("delay", "chain", "all"), default="all")
    parser.add_argument("--cells", type=int, default=500, help="JTL cells of the chain")
    args = parser.parse_args()
    if args.case in ("delay", "all"):
        delay()
    if args.case in ("chain", "all"):
        chain(args.cells)


if __name__ == "__main__":
    main()
