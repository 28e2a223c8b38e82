"""The native engine against the Python driver on a Josephson transmission line.

The line of the performance issue: N stages of a junction (Ic 250 uA, R 2.74 ohm,
C 0.175 pF to ground), a bias PWL(0 0, 20ps 175uA) into every node and 3 pH
between stages; one flux quantum enters through a 3 pH input inductor (a phase
source stepping by 2 pi); dt = 0.1 ps, 10 000 steps, three probes (the phases
of the first, middle and last junction).

For every N and engine: time per step, split into the kernels, the linear
algebra and the rest (measured in a second run with the engine's profile clocks
on, which add a little to each part);
Newton iterations, factorisations and refactorisations per step; set-up time;
the peak resident memory above the interpreter's own (with numpy and loxant
imported), and the part of it that the run adds to the described circuit; and, in the same run, the floor: one klu_refactor + klu_solve of the
same matrix.  Each size and engine runs in a fresh interpreter.  Also the delay
per stage of a 40-stage line from both engines, and the set-up of a
10 000-stage line.

    python benchmarks/bench_engine.py [--sizes 10 100 1000 10000] [--engines native python]
"""

import argparse
import json
import math
import resource
import subprocess
import sys
import time

import numpy as np
from native_run import native_engine

DT = "0.1ps"


def jtl(n):
    from loxant import Circuit

    pc = Circuit(f"JTL of {n} stages", ic0="250uA", r0="2.74ohm")
    pc.phase_source("P_in", "in", "0", [("0ps", 0), ("30ps", 0), ("35ps", 2 * math.pi)])
    pc.inductor("L_in", "in", "1", "3pH")
    bias = [("0ps", 0), ("20ps", "175uA")]
    for k in range(1, n + 1):
        pc.junction(f"J{k}", k, 0, ic="250uA", r="2.74ohm", c="0.175pF")
        pc.current_source(f"I{k}", 0, k, bias)
        if k < n:
            pc.inductor(f"L{k}", k, k + 1, "3pH")
    return pc


def probes(n):
    return [f"phase(J{k})" for k in sorted({1, max(1, n // 2), n})]


def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def run_native_with_floor(pc, t_stop, n):
    """One profiled native run through the package's own steps, then the floor
    measured on the engine's last matrix."""
    from loxant.simulation.assembly import System
    from loxant.simulation.probes import RecordPlan

    units = pc.units
    t_stop_n = units.to_normalised(t_stop, "s")
    dt = units.to_normalised(DT, "s")
    system = System(pc.circuit)
    steps = math.ceil(t_stop_n / dt)
    plan = RecordPlan(system, probes(n))
    engine = native_engine(system, plan, t_stop_n, dt, profile=True)
    from loxant.simulation import native

    started = time.perf_counter()
    native.run(engine, plan, steps + 2)
    stats = dict(engine.stats, loop_seconds=time.perf_counter() - started)
    repeats = max(20, int(2e6 / (n + 10)))
    floor = min(engine.linear_algebra_floor(repeats) for _ in range(3))
    return stats, floor


def one(n, engine, steps):
    """Measurements of one size and engine, in this (fresh) interpreter."""
    import loxant  # noqa: F401  (the interpreter's own memory includes the package)

    base = rss_mib()
    pc = jtl(n)
    described = rss_mib()
    t_stop = f"{steps * 0.1}ps"
    started = time.perf_counter()
    res = pc.simulate(t_stop, DT, record=probes(n), engine=engine)
    wall = time.perf_counter() - started
    stats = res.stats
    peak = rss_mib() - base
    setup = stats.get("setup_seconds", 0.0)
    row = {
        "n": n,
        "engine": engine,
        "steps": stats["steps"],
        "step_us": (wall - setup) / stats["steps"] * 1e6,
        "setup_ms": setup * 1e3,
        "iterations": stats["iterations"] / stats["steps"],
        "factorisations": stats["factorisations"] / stats["steps"],
        "refactorisations": stats["refactorisations"] / stats["steps"],
        "peak_mib": peak,
        "run_mib": rss_mib() - described,
    }
    if engine == "native":
        pstats, floor = run_native_with_floor(pc, t_stop, n)
        per_step = 1e6 / pstats["steps"]
        row["kernel_us"] = pstats["kernel_seconds"] * per_step
        row["solver_us"] = pstats["solver_seconds"] * per_step
        row["profiled_us"] = pstats["loop_seconds"] * per_step
        row["floor_us"] = floor * 1e6
    return row


def delay_per_stage(engine, n=40):
    """Delay per stage (ps) of the pulse between junctions n/4 and 3n/4: the times
    at which their phases pass pi, by linear interpolation."""
    pc = jtl(n)
    a, b = n // 4, 3 * n // 4
    res = pc.simulate("150ps", DT, record=[f"phase(J{a})", f"phase(J{b})"], engine=engine)
    t = res.time("ps")

    def crossing(phase):
        k = int(np.argmax(phase > math.pi))
        return t[k - 1] + (math.pi - phase[k - 1]) * (t[k] - t[k - 1]) / (phase[k] - phase[k - 1])

    return (crossing(res.phase(f"J{b}")) - crossing(res.phase(f"J{a}"))) / (b - a)


def setup_of_large_line(n=10_000):
    """Seconds to describe a line of n stages and to start its run (up to the
    first step), in physical units as above."""
    started = time.perf_counter()
    pc = jtl(n)
    described = time.perf_counter() - started
    res = pc.simulate("0.1ps", DT, record=probes(n))
    return described, res.stats["setup_seconds"]


def print_table(rows):
    print(
        "| N | engine | step (us) | kernels | linear algebra | rest | floor (us) | "
        "step / floor | Newton it/step | factor/step | refactor/step | set-up (ms) | "
        "peak memory (MiB) | of it the run (MiB) |"
    )
    print("|---:|---|" + "---:|" * 12)
    for r in rows:
        native = r["engine"] == "native"
        # the split is that of the profiled run, whose clocks cost a little
        split = (
            (r["kernel_us"], r["solver_us"], r["profiled_us"] - r["kernel_us"] - r["solver_us"])
            if native
            else None
        )
        cells = [f"{v:.2f}" for v in split] if split else ["", "", ""]
        floor = f"{r['floor_us']:.2f}" if native else ""
        ratio = f"{r['step_us'] / r['floor_us']:.2f}" if native else ""
        setup = f"{r['setup_ms']:.1f}" if native else ""
        print(
            f"| {r['n']} | {r['engine']} | {r['step_us']:.2f} | {' | '.join(cells)} | {floor} | "
            f"{ratio} | {r['iterations']:.2f} | {r['factorisations']:.3f} | "
            f"{r['refactorisations']:.2f} | {setup} | {r['peak_mib']:.1f} | {r['run_mib']:.1f} |"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10, 100, 1_000, 10_000])
    parser.add_argument("--engines", nargs="+", default=["native", "python"])
    parser.add_argument("--steps", type=int, default=10_000)
    parser.add_argument(
        "--python-steps",
        type=int,
        default=2_000,
        help="steps of the Python driver at N >= 1000 (it is slow)",
    )
    parser.add_argument("--one", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        n, engine, steps = args.one
        print(json.dumps(one(int(n), engine, int(steps))))
        return

    rows = []
    for engine in args.engines:
        for n in args.sizes:
            steps = args.steps if engine == "native" or n < 1000 else args.python_steps
            command = [sys.executable, __file__, "--one", str(n), engine, str(steps)]
            out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
            rows.append(json.loads(out.splitlines()[-1]))
            print(f"  N = {n} {engine}: {rows[-1]['step_us']:.1f} us per step", file=sys.stderr)
    print(
        "\nJTL, dt = 0.1 ps, three probes (Python driver at N >= 1000: "
        f"{args.python_steps} steps)\n"
    )
    print_table(rows)
    delays = {engine: delay_per_stage(engine) for engine in args.engines}
    print(
        "\ndelay per stage (ps), 40 stages: " + ", ".join(f"{e} {d:.6f}" for e, d in delays.items())
    )
    described, setup = setup_of_large_line()
    print(f"10 000 stages: description {described:.3f} s, set-up of the run {setup:.3f} s")


if __name__ == "__main__":
    main()
