"""The native engine on circuits shaped like the ones designers run.

Each circuit is written as netlist text and read by the package's reader:

- ``string``: two-junction JTL cells of gap junctions chained by the thousand
  behind a DC/SFQ-style input stage (about 14 000 elements, 8 000 steps);
- ``tree``: a binary tree of such cells (two per node) whose nodes are joined
  by lossless lines of 5 ohm and 3 ps (about 14 000 elements, 4 000 steps);
- ``rcsj``: the 10 000-stage RCSJ JTL written flat (10 000 steps);
- ``cell``: a small cell testbench (three cells, 4 000 steps).

By default only ``cell`` and ``string`` run.

A cell: two junctions of the model ``jjmit`` at area 2.16, each shunted by a
resistor in series with an inductor and tied to ground through a parasitic
inductor, each biased by a current source (a PWL ramp to a constant) through
an inductor, joined by series inductors.

For every circuit, in a fresh interpreter: the seconds of reading and of
simulating; per step the kernels, the linear algebra and the rest (from the
engine's profile clocks); Newton iterations, factorisations and solves per
step; the floors, one klu_refactor + klu_solve of the engine's last matrix and
one klu_solve with its factorisation; the peak resident memory; and the times
at which a few junctions switch (their phase passes pi), so that speed is not
bought with accuracy.

    python benchmarks/bench_real_circuits.py [--circuits cell string tree rcsj]
    python benchmarks/bench_real_circuits.py --write DIR   # the netlists only
    python benchmarks/bench_real_circuits.py --run FILE.cir  # read and simulate one
"""

import argparse
import json
import math
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

from native_run import native_engine

MODEL = ".model jjmit jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)"
AREA = 2.16
BIAS = "pwl(0 0 10p 0.16m)"


def cell(name, a, b):
    """Netlist lines of one two-junction JTL cell from node a to node b (b is the
    second junction's node)."""
    m = f"{name}_1"
    lines = [f"L{name}_1 {a} {m} 2p", f"L{name}_2 {m} {b} 4p"]
    for k, node in ((1, m), (2, b)):
        tag = f"{name}_{k}"
        lines += [
            f"B{tag} {node} g{tag} jjmit area={AREA}",
            f"LP{tag} g{tag} 0 0.1p",
            f"RS{tag} {node} s{tag} 3.4",
            f"LS{tag} s{tag} g{tag} 1p",
            f"IB{tag} 0 i{tag} {BIAS}",
            f"LB{tag} i{tag} {node} 0.5p",
        ]
    return lines


def dc_sfq(out):
    """A DC/SFQ-style input: a current that rises and falls twice through a
    storing inductor into two junctions, ending at node `out`."""
    return [
        "IIN 0 d0 pwl(0 0 20p 0 25p 0.4m 30p 0 70p 0 75p 0.4m 80p 0)",
        "LIN d0 d1 4p",
        f"BD1 d1 gd1 jjmit area={AREA}",
        "LPD1 gd1 0 0.1p",
        "RSD1 d1 sd1 3.4",
        "LSD1 sd1 gd1 1p",
        "LD d1 dm 2p",
        f"BD2 dm {out} jjmit area=1.5",
        f"IBD 0 id {BIAS}",
        f"LBD id {out} 0.5p",
    ]


def load(node):
    return [f"RLOAD {node} 0 4"]


def string_netlist(cells=1000, steps=8000, dt="0.025p"):
    lines = [f"* string of {cells} two-junction JTL cells behind a DC/SFQ input", MODEL]
    lines += dc_sfq("n0")
    for k in range(1, cells + 1):
        lines += cell(f"C{k}", f"n{k - 1}", f"n{k}")
    lines += load(f"n{cells}")
    lines.append(f".tran {dt} {_stop(steps, dt)}")
    return "\n".join(lines) + "\n", [f"BC{k}_2" for k in (1, 2, 4, 8, 16)]


def tree_netlist(depth=9, cells_per_node=2, steps=4000, dt="0.025p"):
    """Tree nodes 1 .. 2**depth - 1; node k's children 2k and 2k + 1, each fed
    through its own lossless line from k's last cell."""
    lines = [f"* binary tree of depth {depth}, {cells_per_node} cells a node, 5 ohm lines", MODEL]
    lines += dc_sfq("t1_0")
    nodes = 2**depth - 1
    for k in range(1, nodes + 1):
        for c in range(1, cells_per_node + 1):
            lines += cell(f"T{k}_{c}", f"t{k}_{c - 1}", f"t{k}_{c}")
        end = f"t{k}_{cells_per_node}"
        for child in (2 * k, 2 * k + 1):
            if child <= nodes:
                lines.append(f"T{child} {end} 0 t{child}_0 0 td=3p z0=5")
        if 2 * k > nodes:
            lines.append(f"RL{k} {end} 0 5")
    lines.append(f".tran {dt} {_stop(steps, dt)}")
    last = f"BT{2 ** (depth - 1)}_{cells_per_node}_2"
    return "\n".join(lines) + "\n", ["BT1_1_2", "BT2_1_2", "BT4_1_2", "BT8_1_2", last]


def rcsj_netlist(stages=10_000, steps=10_000, dt="0.1p"):
    lines = [
        f"* RCSJ JTL of {stages} stages, written flat",
        ".model jtlj jj(rtype=0, icrit=250u, rn=2.74, cap=0.175p)",
        "VIN IN 0 pwl(0 0 50p 0 52.5p 827.13u 55p 0)",
        "LIN IN 1 3p",
    ]
    for k in range(1, stages + 1):
        lines += [f"B{k} {k} 0 jtlj", f"IB{k} 0 {k} pwl(0 0 20p 175u)"]
        if k < stages:
            lines.append(f"L{k} {k} {k + 1} 3p")
    lines.append(f".tran {dt} {_stop(steps, dt)}")
    return "\n".join(lines) + "\n", [f"B{k}" for k in (1, 10, 50, 100, 200)]


def cell_netlist(steps=4000, dt="0.025p"):
    lines = ["* testbench of one JTL cell: input stage, the cell, a loading cell", MODEL]
    lines += dc_sfq("a")
    lines += cell("IN", "a", "b") + cell("DUT", "b", "c") + cell("OUT", "c", "d")
    lines += load("d")
    lines.append(f".tran {dt} {_stop(steps, dt)}")
    return "\n".join(lines) + "\n", ["BIN_2", "BDUT_1", "BDUT_2", "BOUT_2"]


def _stop(steps, dt):
    value = float(dt.rstrip("p"))
    return f"{steps * value:.6g}p"


CIRCUITS = {
    "string": string_netlist,
    "tree": tree_netlist,
    "rcsj": rcsj_netlist,
    "cell": cell_netlist,
}


def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def switch_times(t, phase, count=4):
    """Times (ps) at which the phase first passes pi, 3 pi, ... by linear interpolation."""
    times = []
    for k in range(count):
        level = (2 * k + 1) * math.pi
        above = [i for i in range(1, len(phase)) if phase[i] >= level > phase[i - 1]]
        if not above:
            break
        i = above[0]
        fraction = (level - phase[i - 1]) / (phase[i] - phase[i - 1])
        times.append(t[i - 1] + fraction * (t[i] - t[i - 1]))
    return [round(float(x) * 1e12, 4) for x in times]


def floor_of(netlist):
    """One refactor + solve of the engine's last matrix on this circuit: a short
    profiled run through the package's own steps, then the floor."""
    from loxant.simulation import native
    from loxant.simulation.assembly import System
    from loxant.simulation.probes import RecordPlan

    pc = netlist.circuit()
    units = pc.units
    dt = units.to_normalised(netlist.tran.tstep, "s")
    system = System(pc.circuit)
    steps = 200
    plan = RecordPlan(system, [])
    engine = native_engine(system, plan, steps * dt, dt, profile=False)
    native.run(engine, plan, steps + 2)
    repeats = max(20, int(2e5 / (system.size + 10)))
    both = min(engine.linear_algebra_floor(repeats) for _ in range(3))
    solve = getattr(engine, "solve_floor", None)  # not in builds before it
    return both, (min(solve(repeats) for _ in range(3)) if solve else float("nan"))


def run_one(path, probes):
    """Reads and simulates one netlist in this interpreter; a dict of figures."""
    started = time.perf_counter()
    import loxant

    imported = time.perf_counter()
    netlist = loxant.read_netlist(str(path))
    read = time.perf_counter()
    res = netlist.simulate(profile=True, record=[f"phase({p})" for p in probes])
    simulated = time.perf_counter()
    stats = res.stats
    steps = stats["steps"]
    t = res.time("s")
    row = {
        "import_s": imported - started,
        "read_s": read - imported,
        "simulate_s": simulated - read,
        "peak_mib": rss_mib(),
        "steps": steps,
        "step_us": (simulated - read - stats["setup_seconds"]) / steps * 1e6,
        "kernel_us": stats["kernel_seconds"] / steps * 1e6,
        "solver_us": stats["solver_seconds"] / steps * 1e6,
        "iterations": stats["iterations"] / steps,
        "factorisations": (stats["factorisations"] + stats["refactorisations"]) / steps,
        "solves": stats["solves"] / steps,
        "switch_ps": {p: switch_times(t, res.phase(p)) for p in probes},
    }
    both, solve = floor_of(netlist)
    row["floor_us"], row["solve_floor_us"] = both * 1e6, solve * 1e6
    return row


def print_table(rows):
    print(
        "| circuit | steps | read (s) | simulate (s) | step (us) | kernels | linear algebra | "
        "rest | refactor + solve (us) | solve (us) | step / solve | iterations | factorisations | "
        "solves | peak (MiB) |"
    )
    print("|---|" + "---:|" * 14)
    for name, r in rows:
        rest = r["step_us"] - r["kernel_us"] - r["solver_us"]
        print(
            f"| {name} | {r['steps']} | {r['read_s']:.2f} | {r['simulate_s']:.2f} | "
            f"{r['step_us']:.1f} | {r['kernel_us']:.1f} | {r['solver_us']:.1f} | {rest:.1f} | "
            f"{r['floor_us']:.1f} | {r['solve_floor_us']:.1f} | "
            f"{r['step_us'] / r['solve_floor_us']:.2f} | {r['iterations']:.2f} | "
            f"{r['factorisations']:.3f} | {r['solves']:.2f} | {r['peak_mib']:.0f} |"
        )
    print("\nswitch times (ps; phase passing pi, 3 pi, ...):")
    for name, r in rows:
        for probe, times in r["switch_ps"].items():
            print(f"  {name} {probe}: {times}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--circuits", nargs="+", default=["cell", "string"], choices=list(CIRCUITS))
    parser.add_argument("--write", metavar="DIR", help="write the netlists to DIR and stop")
    parser.add_argument("--run", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        print(json.dumps(run_one(args.run[0], args.run[1:])))
        return 0
    if args.write:
        out = pathlib.Path(args.write)
        out.mkdir(parents=True, exist_ok=True)
        for name in args.circuits:
            text, _ = CIRCUITS[name]()
            (out / f"{name}.cir").write_text(text)
        return 0
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.circuits:
            text, probes = CIRCUITS[name]()
            path = pathlib.Path(tmp) / f"{name}.cir"
            path.write_text(text)
            done = subprocess.run(
                [sys.executable, __file__, "--run", str(path), *probes],
                check=True,
                capture_output=True,
                text=True,
            )
            rows.append((name, json.loads(done.stdout.splitlines()[-1])))
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
