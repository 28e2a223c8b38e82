"""Whole-process runs of library-sized and very large netlists, side by side with
JoSIM where its ``josim-cli`` is given (``--josim PATH`` or on the PATH):

- ``cell``: one clocked-cell testbench (see ``library_shapes.cell_testbench``),
  40 000 steps, CSV output: ``loxant run tb.cir -o tb.csv`` against
  ``josim-cli tb.cir -o tb.csv``;
- ``cells27``: 27 such testbenches in one ``loxant run`` process against 27
  JoSIM processes;
- ``library``: the testbenches ``*_testbench.cir`` of a cell library folder
  (``--library DIR``, one subfolder per cell), the same way;
- ``fanout``: the million-element fan-out netlist, loxant only (JoSIM takes
  minutes).

Runs alternate between the two programs after one warm-up of each; each run is
timed as a process of its own (CPU user + system, wall, peak resident memory of
the process), and the table gives medians and the median of the pairwise
ratios loxant / JoSIM.  For ``cell`` both programs' switch times (a printed
phase passing an odd multiple of pi) are printed, so that speed is seen not to
cost accuracy.

    python benchmarks/bench_library.py [--cases cell cells27 library fanout]
        [--runs N] [--josim PATH] [--library DIR]
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from library_shapes import cell_testbench, fanout

LOXANT = [sys.executable, "-m", "loxant", "run", "-q"]


def measure(commands):
    """Runs `commands` one after the other, each its own process; returns CPU
    seconds (user + system), wall seconds and the largest peak memory (MiB)."""
    cpu = peak = 0.0
    start = time.perf_counter()
    for command in commands:
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise RuntimeError(f"{' '.join(map(str, command))} exited with {process.returncode}")
        cpu += usage.ru_utime + usage.ru_stime
        peak = max(peak, usage.ru_maxrss / 1024)
    return cpu, time.perf_counter() - start, peak


def compare(name, ours, theirs, runs):
    """Alternating runs of the two command lists; prints one table row."""
    measure(ours)
    if theirs:
        measure(theirs)
    mine, peer = [], []
    for _ in range(runs):
        mine.append(measure(ours))
        if theirs:
            peer.append(measure(theirs))
    row = f"{name:<10}"
    for label, figures in (("loxant", mine), ("JoSIM", peer)):
        if figures:
            cpu, wall, memory = (statistics.median(f[k] for f in figures) for k in range(3))
            row += f" | {label} cpu {cpu:7.3f} s wall {wall:7.3f} s {memory:6.0f} MiB"
    if peer:
        cpu_ratio = statistics.median(a[0] / b[0] for a, b in zip(mine, peer))
        wall_ratio = statistics.median(a[1] / b[1] for a, b in zip(mine, peer))
        row += f" | ratio cpu {cpu_ratio:.2f} wall {wall_ratio:.2f}"
    print(row, flush=True)


def switch_times(path, delimiter=","):
    """Times (ps) at which each phase column of a trace file passes (2k+1)·pi."""
    with open(path) as stream:
        header = stream.readline().strip().split(delimiter)
    table = np.loadtxt(path, delimiter=delimiter, skiprows=1, ndmin=2)
    found = {}
    for k, label in enumerate(header[1:], 1):
        if not label.strip('"').upper().startswith("P("):
            continue
        turns = np.floor((table[:, k] + np.pi) / (2 * np.pi))
        steps = np.nonzero(np.diff(turns))[0]
        found[label.strip('"')] = [round(float(table[i + 1, 0]) * 1e12, 2) for i in steps]
    return found


def print_switch_times(folder, josim):
    tb = folder / "tb0.cir"
    subprocess.run([*LOXANT, tb, "-o", folder / "mine.csv"], check=True)
    ours = switch_times(folder / "mine.csv")
    theirs = {}
    if josim:
        subprocess.run([josim, tb, "-o", folder / "theirs.csv"], check=True, capture_output=True)
        theirs = {k.upper(): v for k, v in switch_times(folder / "theirs.csv").items()}
    for label, times in ours.items():
        print(f"  {label:<14} loxant {times}")
        other = theirs.get(label.upper())
        if other is not None:
            print(f"  {'':<14} JoSIM  {other}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", nargs="+", default=["cell", "cells27"])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--josim", default=shutil.which("josim-cli"))
    parser.add_argument("--library", type=pathlib.Path)
    args = parser.parse_args()
    josim = args.josim
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        benches = []
        for k in range(27):
            path = folder / f"tb{k}.cir"
            path.write_text(cell_testbench(k))
            benches.append(path)
        out = folder / "out"
        out.mkdir()

        def peer(paths):
            return [[josim, p, "-o", out / (p.stem + ".j.csv")] for p in paths] if josim else []

        print(f"median of {args.runs} runs; JoSIM: {josim or 'not given'}")
        if "cell" in args.cases:
            compare(
                "cell", [[*LOXANT, benches[0], "-o", out / "tb0.csv"]], peer(benches[:1]), args.runs
            )
            print_switch_times(folder, josim)
        if "cells27" in args.cases:
            compare("cells27", [[*LOXANT, *benches, "-o", f"{out}/"]], peer(benches), args.runs)
        if "library" in args.cases and args.library:
            found = sorted(args.library.glob("*/*_testbench.cir"))
            ours = [[*LOXANT, *found, "-o", f"{out}/"]]
            compare(f"library{len(found)}", ours, peer(found), args.runs)
        if "fanout" in args.cases:
            big = folder / "fanout.cir"
            big.write_text(fanout())
            compare(
                "fanout", [[*LOXANT, big, "-o", out / "fanout.csv"]], [], max(1, args.runs // 2)
            )


if __name__ == "__main__":
    main()
