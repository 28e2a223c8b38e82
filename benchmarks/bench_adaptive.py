"""Adaptive against fixed time step at equal accuracy: the delay per stage of a
Josephson transmission line within 0.05 % of its converged value.

Cases: the 100-stage line of the reference netlists (290 ps), and a quiet one:
a 10-stage line that carries one pulse in 10 ns.  For each, the largest fixed
step and the loosest tolerance that reach the accuracy, with steps and wall time.

    python benchmarks/bench_adaptive.py
"""

import math
import pathlib
import time

import numpy as np

from loxant import PhysicalCircuit, read_netlist

NETLISTS = pathlib.Path(__file__).resolve().parents[1] / "tests" / "netlist" / "data"
ACCURACY = 5e-4
FIXED_STEPS = ["0.4ps", "0.2ps", "0.1ps", "0.05ps", "0.025ps", "0.0125ps"]
TOLERANCES = [1e-3, 3e-4, 1e-4, 3e-5, 1e-5, 3e-6]


def crossing(t, phase, level=math.pi):
    k = int(np.argmax(phase > level))
    return t[k - 1] + (level - phase[k - 1]) * (t[k] - t[k - 1]) / (phase[k] - phase[k - 1])


def jtl100(**options):
    net = read_netlist(str(NETLISTS / "jtl100.cir"))
    probes = [f"phase(B{k})" for k in range(10, 91)]
    res = net.simulate(record=probes, record_every=1, **options)
    t = res.time("ps")
    t_pi = [crossing(t, res.phase(f"B{k}")) for k in range(10, 91)]
    return np.polyfit(np.arange(10, 91), t_pi, 1)[0], res.stats


def quiet_line(n=10):
    pc = PhysicalCircuit(ic0="250uA", r0="2.74ohm")
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


def main():
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
            choice, delay, stats, wall = found
            label = f"{mode} {choice}"
            print(
                f"{name:<8} {label:<22} {stats['steps']:>8} {stats.get('rejected', 0):>8} "
                f"{wall:>9.3f} {delay:>11.5f}"
            )
        print(f"{name:<8} converged delay {converged:.5f} ps")


if __name__ == "__main__":
    main()
