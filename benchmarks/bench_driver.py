"""Cost of the Python transient driver (engine="python") on a Josephson transmission
line of N stages; bench_engine.py compares it with the native engine.

For every N: wall time per accepted step, Newton iterations per step, the split
of the step loop between the kernels, the sparse solver and the Python driver
(with the part of it that hands every source its value), the set-up time, and
memory: the working memory of a run that records one sample (peak of the
Python allocations under tracemalloc, NumPy arrays included), the growth of
the process's peak resident set over the timed runs, which record every step,
and the size of one recorded sample.

Each size runs in a fresh interpreter so that the resident-set figures are its
own.  The kernels and the solver are timed by wrapping the module attributes
through which the driver reaches them; the wrappers add about two clock reads
per call, charged to the kernels and the solver.

    python benchmarks/bench_driver.py [--sizes 10 100 1000 10000] [--repeat 3]
"""

import argparse
import json
import math
import resource
import subprocess
import sys
import time
import tracemalloc

import numpy as np

KERNEL_FUNCTIONS = ("BuildStaticMatrix", "BuildMatrix", "UpdateMatrix", "UpdateRHS", "UpdateValues")


def jtl(n):
    """N junctions (ic = r = 1, beta_c = 1) biased at 0.7 and coupled by inductors of
    2.3; a constant voltage behind an inductor feeds one flux quantum into the
    first stage every 10 time units, so pulses keep running down the line."""
    from loxant.circuit import Circuit

    c = Circuit(f"JTL of {n} stages", units="normalised")
    c.voltage_source("V_in", "in", "0", 2 * math.pi / 10)
    c.inductor("L_in", "in", "1", 2.3)
    for k in range(1, n + 1):
        c.junction(f"J{k}", k, 0, ic=1.0, r=1.0, c=1.0)
        c.current_source(f"I{k}", 0, k, 0.7)
        if k < n:
            c.inductor(f"L{k}", k, k + 1, 2.3)
    return c


class Clock:
    """Accumulated seconds and calls per label."""

    def __init__(self):
        self.seconds = {}
        self.calls = {}

    def wrap(self, label, func):
        seconds, calls, clock = self.seconds, self.calls, time.perf_counter
        seconds.setdefault(label, 0.0)
        calls.setdefault(label, 0)

        def timed(*args, **kwargs):
            start = clock()
            try:
                return func(*args, **kwargs)
            finally:
                seconds[label] += clock() - start
                calls[label] += 1

        return timed


def instrument(clock):
    """Time every kernel function, every solve and the set-up of the system
    (numbering, pattern, shared state, element models, symbolic analysis);
    returns a function that undoes the patches."""
    import loxant.CircuitKernel as ck
    import loxant.SparseDirect as sd
    from loxant.simulation import run as front_door

    system = front_door.System
    saved = [(ck, name, getattr(ck, name)) for name in KERNEL_FUNCTIONS]
    saved += [(sd, "SparseDirect", sd.SparseDirect), (front_door, "System", system)]
    saved += [(system, "install", system.install)]
    for name in KERNEL_FUNCTIONS:
        setattr(ck, name, clock.wrap("kernel", getattr(ck, name)))

    solve = clock.wrap("solver", sd.SparseDirect.solveSparseMatrix)
    analyze = clock.wrap("setup", sd.SparseDirect.analyze)

    class TimedSparseDirect(sd.SparseDirect):
        def solveSparseMatrix(self, values, rhs):
            return solve(self, values, rhs)

        def analyze(self, n, ap, ai):
            return analyze(self, n, ap, ai)

    # System() runs before the driver starts its clock (stats["wall_time"]), install
    # and analyze after it
    build = clock.wrap("system", system)
    install = clock.wrap("setup", system.install)
    sd.SparseDirect = TimedSparseDirect
    front_door.System = build
    system.install = lambda self, *args, **kwargs: install(self, *args, **kwargs)

    def undo():
        for owner, name, value in saved:
            setattr(owner, name, value)

    return undo


def run_one(n, steps, repeat):
    """Measurements of one size, as a dict."""
    from loxant.simulation import simulate

    dt = 0.05
    t_stop = steps * dt
    circuit = jtl(n)
    simulate(circuit, t_stop=10 * dt, dt=dt, engine="python")  # warm up imports and caches

    best = None
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    res = None
    for _ in range(repeat):
        res = None  # the results of a run are freed before the next one starts
        clock = Clock()
        undo = instrument(clock)
        try:
            res = simulate(circuit, t_stop=t_stop, dt=dt, initial_ramp=5.0, engine="python")
        finally:
            undo()
        stats = res.stats
        setup = clock.seconds["setup"]
        loop = stats["wall_time"] - setup
        row = {
            "n": n,
            "steps": stats["steps"],
            "rejected": stats["rejected"],
            "iterations": stats["iterations"] / stats["steps"],
            "step_us": loop / stats["steps"] * 1e6,
            "kernel_us": clock.seconds["kernel"] / stats["steps"] * 1e6,
            "solver_us": clock.seconds["solver"] / stats["steps"] * 1e6,
            "setup_ms": (setup + clock.seconds["system"]) * 1e3,
            "solves": clock.calls["solver"] / stats["steps"],
        }
        row["python_us"] = row["step_us"] - row["kernel_us"] - row["solver_us"]
        if best is None or row["step_us"] < best["step_us"]:
            best = row
    rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    best["rss_mb"] = (rss_after - rss_before) / 1024  # ru_maxrss is in KiB on Linux

    m, nodes = len(res.elements), len(res.nodes)
    best["sample_kb"] = ((2 * nodes + 3 * m) * 8 + 4 * m) / 1024

    # working memory: the same run recording only its first sample
    del res
    tracemalloc.start()
    simulate(circuit, t_stop=t_stop, dt=dt, initial_ramp=5.0, record_every=10**9, engine="python")
    best["traced_mb"] = tracemalloc.get_traced_memory()[1] / 2**20
    tracemalloc.stop()
    return best


def default_steps(n):
    """Enough steps for a stable figure, few enough for a quick run."""
    return int(min(4000, max(200, 2_000_000 // n)))


def print_table(rows):
    print(
        "| N | steps | Newton it/step | step (us) | kernels (us) | solver (us) | "
        "Python (us) | step / N (us) | set-up (ms) | "
        "working memory (MB) | RSS growth (MB) | kB per recorded sample |"
    )
    print("|" + "---:|" * 12)
    for r in rows:
        print(
            f"| {r['n']} | {r['steps']} | {r['iterations']:.2f} | {r['step_us']:.1f} | "
            f"{r['kernel_us']:.1f} | {r['solver_us']:.1f} | {r['python_us']:.1f} | "
            f"{r['step_us'] / r['n']:.3f} | {r['setup_ms']:.1f} | "
            f"{r['traced_mb']:.2f} | {r['rss_mb']:.1f} | {r['sample_kb']:.1f} |"
        )


def linear_fit(rows):
    """Step time as a + b N, fitted for the smallest relative error; returns
    (a, b, largest relative deviation of a measurement from the fit)."""
    n = np.array([r["n"] for r in rows], dtype=float)
    y = np.array([r["step_us"] for r in rows])
    b, a = np.polyfit(n, y, 1, w=1 / y)
    return a, b, float(np.abs((a + b * n) / y - 1).max())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10, 100, 1_000, 10_000])
    parser.add_argument("--steps", type=int, help="steps per run (default: by size)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per size, best kept")
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.one is not None:
        steps = args.steps or default_steps(args.one)
        print(json.dumps(run_one(args.one, steps, args.repeat)))
        return

    rows = []
    for n in args.sizes:
        command = [sys.executable, __file__, "--one", str(n), "--repeat", str(args.repeat)]
        if args.steps:
            command += ["--steps", str(args.steps)]
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        rows.append(json.loads(out.splitlines()[-1]))
        print(f"  N = {n}: {rows[-1]['step_us']:.1f} us per step", file=sys.stderr)
    print(f"\nTransient driver on a JTL, best of {args.repeat} runs per size\n")
    print_table(rows)
    if len(rows) >= 2:
        a, b, deviation = linear_fit(rows)
        print(
            f"\nstep time ~ {a:.1f} us + {b:.3f} us x N (linear in N: every size within "
            f"{100 * deviation:.0f}% of this line)"
        )


if __name__ == "__main__":
    main()
