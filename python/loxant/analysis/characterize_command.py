"""The ``loxant characterize`` subcommand: timing of one cell of a netlist.

    loxant characterize FILE.cir --cell NAME --inputs a,b --outputs q [--clock clk]
                        [--sdf out.sdf] [--lib out.lib] [-o table.csv]

Prints the cell's function, its delays and constraints; writes them as SDF,
Liberty and CSV (one long table, times in ps).  Exit status: 0 done, 1 the
nominal runs do not behave as a cell, 2 a mistake in the arguments or the
netlist.
"""

import sys

from ..errors import CircuitError
from .characterize import characterize

__all__ = ["add_characterize_subcommand"]


def add_characterize_subcommand(subparsers):
    """Add ``characterize`` to the ``loxant`` subparsers."""
    command = subparsers.add_parser(
        "characterize",
        help="delays, setup and hold of a cell, as SDF and Liberty",
        description="Build a bench around a subcircuit (SFQ sources into the inputs, JTL "
        "loads on the outputs), learn its function from nominal runs, and measure its "
        "delays per state over load and bias, and its setup and hold times by bisection.",
    )
    command.add_argument("netlist", metavar="FILE.cir", help="netlist ('-': standard input)")
    command.add_argument("--cell", required=True, help="subcircuit to characterize")
    command.add_argument("--inputs", required=True, help="input ports, e.g. a,b")
    command.add_argument("--outputs", required=True, help="output ports, e.g. q")
    command.add_argument("--clock", help="the clock port of a clocked cell")
    command.add_argument("--loads", default="1,2,3", help="JTL loads on each output (1,2,3)")
    command.add_argument("--biases", default="0.9,1,1.1", help="bias multipliers (0.9,1,1.1)")
    command.add_argument("--window", default="10ps", help="constraint search window (10ps)")
    command.add_argument("--resolution", default="0.05ps", help="bisection resolution (0.05ps)")
    command.add_argument("--no-constraints", action="store_true", help="delays only")
    command.add_argument("--sdf", metavar="OUT.sdf", help="write the SDF file")
    command.add_argument("--lib", metavar="OUT.lib", help="write the Liberty file")
    command.add_argument("-o", "--output", metavar="TABLE.csv", help="write the table as CSV")
    command.add_argument(
        "--scheduler",
        metavar="ADDR",
        help="run on Dask: a scheduler address or 'local' (default: in this process)",
    )
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    command.set_defaults(func=_characterize)


def _numbers(text, convert, what):
    try:
        return tuple(convert(v) for v in text.split(",") if v.strip())
    except ValueError:
        raise ValueError(f"--{what} {text}: expected numbers separated by commas") from None


def _characterize(args):
    try:
        return _run(args)
    except (ValueError, TypeError, CircuitError) as exc:
        print(f"loxant characterize: error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        name = exc.filename or args.netlist
        print(f"loxant characterize: cannot use {name}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    except RuntimeError as exc:
        print(f"loxant characterize: {exc}", file=sys.stderr)
        return 1


def _run(args):
    netlist = sys.stdin.read() if args.netlist == "-" else args.netlist
    result = characterize(
        netlist,
        args.cell,
        args.inputs,
        args.outputs,
        args.clock,
        loads=_numbers(args.loads, int, "loads"),
        biases=_numbers(args.biases, float, "biases"),
        constraints=not args.no_constraints,
        window=args.window,
        resolution=args.resolution,
        client=args.scheduler,
        progress=not args.quiet,
    )
    _print(result)
    if args.output:
        result.table().to_csv(args.output, index=False)
    if args.sdf:
        result.write_sdf(args.sdf)
    if args.lib:
        result.write_liberty(args.lib)
    return 0


def _print(result):
    print(f"cell {result.cell}: function (state, input pulse -> output pulses)")
    print(result.function.to_string(index=False))
    if len(result.delays):
        table = result.delays.pivot_table(
            index=["from", "to", "state", "load"], columns="bias", values="delay_ps", dropna=False
        )
        print("\ndelays (ps) by bias")
        print(table.to_string(float_format=lambda v: f"{v:.3f}"))
    if len(result.constraints):
        print("\nconstraints (ps)")
        shown = result.constraints[["check", "port", "reference", "state", "value_ps", "note"]]
        print(shown.to_string(index=False, float_format=lambda v: f"{v:.3f}"))
    for failure in result.failures:
        print(f"failed corner: {failure}")
    print(f"\n{result.runs} runs in {result.seconds:.2f} s")
