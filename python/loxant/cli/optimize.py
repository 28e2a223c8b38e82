"""The ``loxant optimize`` subcommand: values that widen the critical margin.

    loxant optimize FILE.cir --params NAME [NAME ...] [--bounds LO:HI [LO:HI ...]]
                    [--margins-of NAME ...] [--max-time SECONDS] [--seed N]
                    -o OUT.cir [--table TABLE.csv] [--runs RUNS.csv] [--plot PNG]

with the options of ``loxant margins`` (cell under test, criterion, range,
resolution, where the runs go).  Exit status: 0 done, 1 the nominal run
failed, 2 a mistake in the arguments or the netlist.
"""

import sys

from ..analysis.netlist_edit import EditError, NetlistEdit
from ..analysis.optimize import optimize, prepare
from ..errors import UserError
from ..output import write_atomically
from .analyses import _common, _netlist_arguments, margin_arguments
from .common import read_input, write_outputs

__all__ = ["add_optimize_subcommand", "parse_bounds"]


def add_optimize_subcommand(subparsers):
    """Add ``optimize`` to the ``loxant`` subparsers."""
    command = subparsers.add_parser(
        "optimize",
        help="choose values that widen the critical margin",
        description="Change the named parameters, within their bounds, to maximise the "
        "critical margin (the smallest low or high margin over every parameter judged), "
        "and write the netlist with the new values.",
    )
    _netlist_arguments(command)
    command.add_argument(
        "--params",
        nargs="+",
        required=True,
        metavar="NAME",
        help="parameters to change: element names, .param names or glob patterns, "
        "as for loxant margins",
    )
    command.add_argument(
        "--bounds",
        nargs="+",
        default=["0.5:2"],
        metavar="LO:HI",
        help="multipliers of each starting value: one pair for all, or one per --params "
        "entry (0.5:2)",
    )
    command.add_argument(
        "--margins-of",
        nargs="+",
        default=[],
        metavar="NAME",
        help="parameters whose margins count in the critical margin but are not changed",
    )
    margin_arguments(command)
    command.add_argument(
        "--max-time", type=float, metavar="SECONDS", help="stop then and write the best so far"
    )
    command.add_argument("--seed", type=int, default=0, help="seed of the random moves (0)")
    command.add_argument("-o", "--output", required=True, metavar="OUT.cir", help="netlist written")
    command.add_argument("--table", metavar="TABLE.csv", help="margins before and after, as CSV")
    command.add_argument("--runs", metavar="RUNS.csv", help="every simulation, one row each")
    command.add_argument("--plot", metavar="PNG", help="margin chart of the design written")
    command.set_defaults(func=_optimize)


def parse_bounds(items):
    """``LO:HI`` texts as (low, high) pairs; UserError saying what is expected."""
    pairs = []
    for item in items:
        low, colon, high = item.partition(":")
        try:
            pairs.append((float(low), float(high)))
        except ValueError:
            colon = ""
        if not colon:
            raise UserError(f"--bounds {item}: expected LO:HI multipliers, such as 0.5:2")
    return pairs


def _optimize(args):
    if args.netlist == "-":
        raise UserError("optimize writes the netlist's own lines: give a file, not '-'")
    outputs = [("-o", args.output), ("--table", args.table), ("--runs", args.runs)]
    netlist = read_input(args, *outputs, ("--plot", args.plot))
    options = _common(args)
    params = [p for item in args.params for p in item.split(",") if p]
    margins_of = [p for item in args.margins_of for p in item.split(",") if p]
    dut = None if args.whole else (args.dut or "auto")
    design, names = prepare(netlist, params, dut=dut)
    try:
        edit = NetlistEdit(netlist, design, names)
    except EditError as exc:
        raise UserError(str(exc)) from None
    result = optimize(
        design,
        params,
        bounds=parse_bounds(args.bounds),
        margins_of=margins_of,
        global_bias=not args.no_global_bias,
        dut=design.dut,
        limits=tuple(args.range),
        resolution=args.resolution,
        max_time=args.max_time,
        seed=args.seed,
        **options,
    )
    _write_netlist(args.output, edit.text(result.values))

    def plot(path):
        result.after.plot(path, title="Margins after optimisation")

    write_outputs((args.table, result.table), (args.runs, result.runs), (args.plot, plot))
    _report(result, args.output)
    return 0


def _write_netlist(path, text):
    write_atomically(
        path, lambda stream: stream.write(text.encode("utf-8", "surrogateescape")), binary=True
    )


def _report(result, output):
    print(f"before: {result.before.critical_text()}")
    print(f"after:  {result.after.critical_text()}")
    changes = result.changes
    if changes.empty:
        print("no value changed: the starting design was the best found")
    for row in changes.itertuples(index=False):
        print(f"  {row.parameter}: {row.start:.6g} -> {row.new:.6g} (x{row.multiplier:.4f})")
    stats = result.stats
    print(
        f"{stats['runs']} simulations in {stats['wall_time']:.1f} s "
        f"({stats['trials']} designs tried, {stats['moves']} moves; {stats['stopped']}); "
        f"written to {output}",
        file=sys.stderr,
    )
