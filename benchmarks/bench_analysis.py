"""Throughput of the analyses: a bias sweep of a Josephson transmission line.

A 10-stage JTL (ic = r = c = 1, inductors of 2, a flux quantum pushed in at t = 5)
is run at 200 global bias multipliers from 0.5 to 1.2, measuring the delay from
the first junction to the last.  Reported: runs per second in this process, one
run after another (``client=None``), and on a local Dask cluster of single-threaded
worker processes (default: one per core), with the time to the first result both
on a cluster already running and from a cold start (cluster start included, as
``client="local"`` does).

    python benchmarks/bench_analysis.py [--runs 200] [--stages 10] [--workers N]
"""

import argparse
import math
import os
import time

import numpy as np

T_STOP, DT = 60.0, 0.05


def jtl(stages):
    from loxant import PWL, Circuit

    c = Circuit(f"JTL of {stages} stages")
    c.phase_source("P", "in", "0", PWL([(0, 0), (5, 0), (8, 2 * math.pi)]))
    c.inductor("Lin", "in", 1, 2.0)
    for k in range(1, stages + 1):
        c.junction(f"J{k}", k, 0, ic=1.0, r=1.0, c=1.0)
        c.current_source(f"I{k}", 0, k, PWL([(0, 0), (3, 0.7)]))
        if k < stages:
            c.inductor(f"L{k}", k, k + 1, 2.0)
    return c


def run_sweep(circuit, grid, measure, client):
    from loxant.analysis import sweep

    started = time.perf_counter()
    table = sweep(
        circuit, grid, measure=measure, client=client, progress=False, t_stop=T_STOP, dt=DT
    )
    return table, time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--stages", type=int, default=10)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    from loxant.analysis import GLOBAL_BIAS, Delay

    circuit = jtl(args.stages)
    grid = {GLOBAL_BIAS: np.linspace(0.5, 1.2, args.runs)}
    measure = Delay("J1", f"J{args.stages}")
    steps = circuit.simulate(T_STOP, DT).stats["steps"]
    print(
        f"{args.runs}-run global bias sweep of a {args.stages}-stage JTL, {steps} steps per run, "
        f"{args.workers} worker processes"
    )

    serial, serial_time = run_sweep(circuit, grid, measure, None)
    stats = serial.attrs["stats"]
    print(
        f"  one process, one run after another: {args.runs / serial_time:7.1f} runs/s "
        f"({serial_time:.2f} s; first result after {stats['first_result'] * 1e3:.0f} ms)"
    )

    started = time.perf_counter()
    cluster = LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
    )
    client = Client(cluster)
    client.run(lambda: __import__("loxant.analysis"))  # the workers import loxant once
    start_time = time.perf_counter() - started
    try:
        parallel, parallel_time = run_sweep(circuit, grid, measure, client)
        stats = parallel.attrs["stats"]
        print(
            f"  Dask, {args.workers} workers (cluster up): "
            f"{args.runs / parallel_time:7.1f} runs/s "
            f"({parallel_time:.2f} s; first result after {stats['first_result'] * 1e3:.0f} ms), "
            f"speed-up {serial_time / parallel_time:.2f}"
        )
        same = parallel.equals(serial)
        print(f"  same table as in one process: {same}")
    finally:
        client.close()
        cluster.close()

    cold, cold_time = run_sweep(circuit, grid, measure, "local")
    stats = cold.attrs["stats"]
    print(
        f"  Dask, cold start (client='local'):   {args.runs / cold_time:7.1f} runs/s "
        f"({cold_time:.2f} s; cluster start {stats['connect_time']:.2f} s, first result "
        f"after {stats['first_result']:.2f} s)"
    )
    print(f"  (a separate cluster took {start_time:.2f} s to start)")
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
