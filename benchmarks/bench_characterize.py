"""Time to characterize a clocked D flip-flop, serially in this process.

The DFF of ``tests/analysis/data/cells.cir`` (7 junctions, with the bench's
sources and loads about 15 to 20): its function from the nominal runs, the
clock -> q delay (it pulses only with a data pulse stored) over 3 loads x 3
biases, and setup and hold of
the data in both states by bisection to 0.05 ps.  The target is 10 s; the
figure depends on what else the machine runs.

    python benchmarks/bench_characterize.py [--repeat 3] [--cell dff]
"""

import argparse
import pathlib
import statistics
import time

CELLS = pathlib.Path(__file__).resolve().parent.parent / "tests" / "analysis" / "data" / "cells.cir"
TARGET_SECONDS = 10.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="characterizations timed (3)")
    args = parser.parse_args()

    from loxant.analysis.characterize import characterize

    times, result = [], None
    for _ in range(args.repeat):
        start = time.perf_counter()
        result = characterize(CELLS, "dff", "d", "q", clock="clk", progress=False)
        times.append(time.perf_counter() - start)
    best, median = min(times), statistics.median(times)
    print(
        f"DFF: {result.runs} runs, best {best:.2f} s, median {median:.2f} s "
        f"({result.runs / median:.0f} runs/s); target {TARGET_SECONDS:.0f} s: "
        f"{'met' if median <= TARGET_SECONDS else 'MISSED'}"
    )
    table = result.delays.pivot_table(index="load", columns="bias", values="delay_ps")
    print("clk -> q delay (ps), state d, by load and bias:")
    print(table.to_string(float_format=lambda v: f"{v:.3f}"))
    print(result.constraints[["check", "state", "value_ps"]].to_string(index=False))


if __name__ == "__main__":
    main()
