"""Time to characterize a clocked cell fully, serially in this process.

By default the DFF of ``tests/analysis/data/cells.cir`` (7 junctions, with the
bench's sources and loads about 20): its state machine learned by simulation,
the clock -> q delay over 3 loads x 3 biases, and the minimum separation of
every ordered pair of inputs in every state by bisection to 0.05 ps.  Any
other cell with ``--netlist``, e.g. a library's extracted DFF.  The target is
20 s; the figure depends on what else the machine runs.

    python benchmarks/bench_characterize.py [--repeat 3]
    python benchmarks/bench_characterize.py --netlist DFF.cir --cell THmitll_DFF \\
        --inputs a,clk --outputs q --clock clk
"""

import argparse
import pathlib
import statistics
import time

from loxant.analysis.characterize import characterize

CELLS = pathlib.Path(__file__).resolve().parent.parent / "tests" / "analysis" / "data" / "cells.cir"
TARGET_SECONDS = 20.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="characterizations timed (3)")
    parser.add_argument("--netlist", default=str(CELLS))
    parser.add_argument("--cell", default="dff")
    parser.add_argument("--inputs", default="d,clk")
    parser.add_argument("--outputs", default="q")
    parser.add_argument("--clock", default="clk")
    args = parser.parse_args()

    times, result = [], None
    for _ in range(args.repeat):
        start = time.perf_counter()
        result = characterize(
            args.netlist, args.cell, args.inputs, args.outputs, args.clock, progress=False
        )
        times.append(time.perf_counter() - start)
    best, median = min(times), statistics.median(times)
    print(
        f"{args.cell}: {len(result.states)} states, {result.runs} runs, best {best:.2f} s, "
        f"median {median:.2f} s ({result.runs / median:.0f} runs/s); target "
        f"{TARGET_SECONDS:.0f} s: {'met' if median <= TARGET_SECONDS else 'MISSED'}"
    )
    table = result.delays.pivot_table(
        index=["from", "to", "state", "load"], columns="bias", values="delay_ps"
    )
    print("delays (ps) by load and bias:")
    print(table.to_string(float_format=lambda v: f"{v:.3f}"))
    shown = result.constraints[["first", "second", "state", "value_ps", "note"]]
    print(shown.to_string(index=False, float_format=lambda v: f"{v:.3f}"))


if __name__ == "__main__":
    main()
