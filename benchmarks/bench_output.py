"""Writing trace files: a library testbench's output, 40 001 rows of time and six
traces, as CSV, DAT and raw, against NumPy's ``savetxt`` with the same format
(the writer used before). Target: the CSV in 20 ms or less.

    python benchmarks/bench_output.py [--rows N] [--columns N] [--repeats N]
"""

import argparse
import io
import pathlib
import tempfile
import time

import numpy as np

from loxant.output import write_csv, write_dat, write_raw


def traces(rows, columns):
    rng = np.random.default_rng(1)
    time_axis = np.arange(rows) * 2.5e-13
    phases = np.cumsum(rng.standard_normal((columns - 1, rows)) * 1e-2, axis=1)
    return time_axis, [(f"P(B{k})", "rad", p) for k, p in enumerate(phases)]


def best(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times), float(np.median(times))


def savetxt(time_axis, series):
    table = np.column_stack([time_axis] + [v for _, _, v in series]) + 0.0
    np.savetxt(io.StringIO(), table, delimiter=",", fmt="%.17g")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=40_001)
    parser.add_argument("--columns", type=int, default=7)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    time_axis, series = traces(args.rows, args.columns)
    with tempfile.TemporaryDirectory() as folder:
        out = pathlib.Path(folder)
        cases = [
            ("csv", lambda: write_csv(out / "t.csv", time_axis, series)),
            ("dat", lambda: write_dat(out / "t.dat", time_axis, series)),
            ("raw", lambda: write_raw(out / "t.raw", time_axis, series)),
            ("numpy savetxt (to memory)", lambda: savetxt(time_axis, series)),
        ]
        print(f"{args.rows} rows x {args.columns} columns, best / median of {args.repeats}")
        for name, function in cases:
            low, median = best(function, args.repeats)
            print(f"  {name:<26} {low * 1e3:8.1f} ms {median * 1e3:8.1f} ms")


if __name__ == "__main__":
    main()
