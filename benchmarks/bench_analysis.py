"""Throughput of the analyses: margins, yield and sweeps, in one process and on Dask.

Cases (``--only`` picks some):

* ``jtl``: margins of a 10-stage JTL netlist over its three ``.param`` multipliers
  (IC, BIAS, LB) with default settings, as a designer calls it (wall time; the
  runner chooses where the runs go);
* ``cells``: a 20-junction cell testbench (a source cell, a 16-junction JTL as the
  device under test, a load cell; ``tests/analysis/data/cell_testbench.cir``):
  margins over every parameter and a 1 000-sample yield (5 % local spread of the
  critical currents), in one process and on a local cluster of 2 single-threaded
  workers started beforehand;
* ``long``: runs of 20 ms or more (the same testbench run four times as long),
  a 60-point bias sweep in one process and on the 2-worker cluster: throughput
  in runs/s and the cluster's speed-up;
* ``sweep``: the 200-run global bias sweep of a normalised 10-stage JTL;
* ``dfft``: ``--dut XDUT`` margins of the ColdFlux DFFT testbench (291 runs) in
  one process, failing runs stopped at their failure and, paired with it, run
  to their end as before; then with the automatic choice of where runs go.
  Wall and CPU seconds; the tables must be the same.

    python benchmarks/bench_analysis.py [--only jtl cells long sweep dfft] [--yield-runs 1000]

The machine is shared: read the figures as +-30 %.
"""

import argparse
import math
import os
import statistics
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
TESTBENCH = os.path.join(HERE, "..", "tests", "analysis", "data", "cell_testbench.cir")
T_STOP, DT = 60.0, 0.05


def jtl_netlist(stages=10):
    """The example JTL with ``stages`` stages, as netlist text."""
    lines = [
        f"* Josephson transmission line of {stages} stages",
        ".param IC=250u BIAS=0.7 LB=3p",
        ".model jj0 jj(rtype=0, icrit=IC, rn=2.74, cap=0.175p)",
        ".subckt stage in out",
        "B1 in 0 jj0 area=1",
        "IB 0 in pwl(0 0 20p {BIAS*IC})",
        "L1 in out LB",
        ".ends stage",
        "VIN IN 0 pwl(0 0 40p 0 42.5p {PHI_ZERO/2.5p} 45p 0)",
        "LIN IN 1 LB",
    ]
    lines += [f"X{k} stage {k} {k + 1}" for k in range(1, stages)]
    lines += [
        f"BEND {stages} 0 jj0",
        f"IBEND 0 {stages} pwl(0 0 20p {{BIAS*IC}})",
        ".tran 0.025p 150p 0 0.25p",
        f".print p(B1.X1) p(B1.X{stages - 1}) p(BEND)",
        ".end",
    ]
    return "\n".join(lines) + "\n"


def timed(function, *args, **kwargs):
    started = time.perf_counter()
    result = function(*args, **kwargs)
    return result, time.perf_counter() - started


def cpu_per_run(function, runs, *args, **kwargs):
    """Milliseconds of this process' CPU per run of an analysis run here: a
    figure that other jobs on the machine disturb less than wall time."""
    started = time.process_time()
    function(*args, **kwargs)
    return (time.process_time() - started) / runs * 1e3


def bench_jtl(repeats=3):
    import loxant
    from loxant.analysis import margins

    netlist = loxant.read_netlist(jtl_netlist(10))
    times = []
    for _ in range(repeats):
        result, seconds = timed(margins, netlist, ["IC", "BIAS", "LB"], progress=False)
        times.append(seconds)
    stats = result.stats
    print(
        f"jtl: margins of a 10-stage JTL over IC, BIAS, LB (default settings): "
        f"best {min(times):.2f} s, median {statistics.median(times):.2f} s, "
        f"{stats['runs']} runs; {stats.get('choice', 'local cluster (no choice)')}"
    )
    print(result.table.to_string(index=False))


def _cluster(workers):
    from distributed import Client, LocalCluster

    cluster = LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    )
    client = Client(cluster)
    client.run(lambda: __import__("loxant.analysis"))  # the workers import loxant once
    return cluster, client


def bench_cells(client, yield_runs):
    import loxant
    from loxant.analysis import margins, yield_analysis

    netlist = loxant.read_netlist(TESTBENCH)
    rows = []
    for where, target in (("one process", None), ("2 workers", client)):
        result, seconds = timed(margins, netlist, client=target, progress=False)
        rows.append(("margins", where, result.stats["runs"], seconds))
        print(
            f"cells: margins over {len(result.table)} parameters, {where}: "
            f"{result.stats['runs']} runs in {seconds:.2f} s "
            f"({result.stats['runs'] / seconds:.1f} runs/s), critical "
            f"{result.critical_margin:.1f} % ({result.critical_parameter})"
        )
    cpu = cpu_per_run(
        yield_analysis, 101, netlist, 100, local_spread={"ic": 0.05}, client=None, progress=False
    )
    print(f"cells: yield in one process, {cpu:.1f} ms of CPU per run")
    for where, target in (("one process", None), ("2 workers", client)):
        result, seconds = timed(
            yield_analysis,
            netlist,
            yield_runs,
            local_spread={"ic": 0.05},
            seed=1,
            client=target,
            progress=False,
        )
        rows.append(("yield", where, result.n, seconds))
        print(
            f"cells: yield of {result.n} samples, {where}: {seconds:.2f} s "
            f"({result.n / seconds:.1f} runs/s), yield {result.fraction:.3f}"
        )
    return rows


def bench_long(client, points=60):
    import loxant
    from loxant.analysis import GLOBAL_BIAS, SwitchCount, scale, sweep

    text = open(TESTBENCH).read().replace(".tran 0.025p 240p", ".tran 0.025p 800p")
    netlist = loxant.read_netlist(text)
    run_time = timed(netlist.simulate)[1]
    grid = {GLOBAL_BIAS: scale(np.linspace(0.8, 1.2, points))}
    measure = SwitchCount("B2|XLOAD")
    rates = {}
    for where, target in (("one process", None), ("2 workers", client)):
        table, seconds = timed(sweep, netlist, grid, measure=measure, client=target, progress=False)
        rates[where] = points / seconds
        print(
            f"long: {points} runs of {run_time * 1e3:.0f} ms, {where}: {seconds:.2f} s "
            f"({rates[where]:.1f} runs/s)"
        )
    print(f"long: cluster speed-up {rates['2 workers'] / rates['one process']:.2f}")


def jtl_circuit(stages):
    from loxant import PWL, Circuit

    c = Circuit(f"JTL of {stages} stages", units="normalised")
    c.phase_source("P", "in", "0", PWL([(0, 0), (5, 0), (8, 2 * math.pi)]))
    c.inductor("Lin", "in", 1, 2.0)
    for k in range(1, stages + 1):
        c.junction(f"J{k}", k, 0, ic=1.0, r=1.0, c=1.0)
        c.current_source(f"I{k}", 0, k, PWL([(0, 0), (3, 0.7)]))
        if k < stages:
            c.inductor(f"L{k}", k, k + 1, 2.0)
    return c


def bench_sweep(client, runs=200, stages=10):
    from loxant.analysis import GLOBAL_BIAS, Delay, scale, sweep

    circuit = jtl_circuit(stages)
    grid = {GLOBAL_BIAS: scale(np.linspace(0.5, 1.2, runs))}
    measure = Delay("J1", f"J{stages}")
    tables = []
    for where, target in (("one process", None), ("2 workers", client)):
        table, seconds = timed(
            sweep,
            circuit,
            grid,
            measure=measure,
            client=target,
            progress=False,
            t_stop=T_STOP,
            dt=DT,
        )
        tables.append(table)
        print(f"sweep: {runs} runs, {where}: {runs / seconds:.1f} runs/s ({seconds:.2f} s)")
    print(f"sweep: same table in one process and on the cluster: {tables[0].equals(tables[1])}")


DFFT = os.environ.get(
    "LOXANT_DFFT", "/work/peers/RSFQlib/RSFQlib/mitll_DFFT/THmitll_DFFT_v3p0_testbench.cir"
)


def _dfft_margins(stop_early, client=None):
    """The DFFT's --dut margins, failing runs stopped early or not: (result,
    wall seconds, CPU seconds of this process)."""
    from loxant.analysis import criterion, margins

    rule = criterion.EventCriterion.stop_rule
    if not stop_early:  # as before the stop rule: every run to its end
        criterion.EventCriterion.stop_rule = None
    try:
        cpu = time.process_time()
        result, seconds = timed(margins, DFFT, dut="XDUT", client=client, progress=False)
        return result, seconds, time.process_time() - cpu
    finally:
        criterion.EventCriterion.stop_rule = rule


def bench_dfft(repeats=1):
    if not os.path.exists(DFFT):
        print(f"dfft: no testbench at {DFFT} (set LOXANT_DFFT)")
        return
    rows, tables = [], {}
    for _ in range(repeats):
        for stop_early in (True, False):  # paired: the same load for both
            result, wall, cpu = _dfft_margins(stop_early)
            rows.append((stop_early, wall, cpu, result.stats["runs"]))
            tables[stop_early] = result.table
    for label, flag in (("failing runs stopped", True), ("every run to its end", False)):
        walls = [w for f, w, _, _ in rows if f is flag]
        cpus = [c for f, _, c, _ in rows if f is flag]
        runs = next(r for f, _, _, r in rows if f is flag)
        print(
            f"dfft: --dut margins, {label}: {runs} runs, wall best {min(walls):.1f} s, "
            f"CPU best {min(cpus):.1f} s (load {os.getloadavg()[0]:.1f})"
        )
    print(f"dfft: the same table both ways: {tables[True].equals(tables[False])}")
    result, wall, _ = _dfft_margins(True, client="auto")
    print(f"dfft: automatic choice: {wall:.1f} s; {result.stats['choice']}")
    print(result.critical_text())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--only",
        nargs="+",
        default=["jtl", "cells", "long", "sweep", "dfft"],
        choices=["jtl", "cells", "long", "sweep", "dfft"],
    )
    parser.add_argument("--yield-runs", type=int, default=1000)
    args = parser.parse_args()
    print(f"{os.cpu_count()} cores; the machine may be shared, figures +-30 %")
    if "jtl" in args.only:
        bench_jtl()
    if "dfft" in args.only:
        bench_dfft()
    rest = [case for case in args.only if case not in ("jtl", "dfft")]
    if not rest:
        return 0
    cluster, client = _cluster(2)
    try:
        if "cells" in rest:
            bench_cells(client, args.yield_runs)
        if "long" in rest:
            bench_long(client)
        if "sweep" in rest:
            bench_sweep(client)
    finally:
        client.close()
        cluster.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
