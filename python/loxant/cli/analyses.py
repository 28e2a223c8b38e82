"""``loxant margins`` and ``loxant yield``.

    loxant margins FILE.cir [--params NAME ...] [--scheduler ADDR] [-o table.csv]
                            [--plot margins.png] [--runs runs.csv]
    loxant yield FILE.cir -n 1000 [--local ic=0.05 ...] [--global ...] [-o samples.csv]

Both print the failures grouped by reason, one example each (per parameter and
side for margins), and ``--runs`` writes every run with its parameters, outcome
and reason.  Exit status: 0 done, 1 the nominal run failed, 2 a mistake in the
arguments or the netlist.
"""

import sys

from ..analysis.display import with_units
from ..analysis.margins import margins
from ..analysis.montecarlo import yield_analysis
from ..analysis.runner import ClusterLost
from ..errors import UserError
from .common import (
    add_expected_arguments,
    add_method_argument,
    add_netlist_argument,
    expected_options,
    keep_partial,
    method_options,
    read_input,
    write_outputs,
)
from .values import quantity, si_text

__all__ = ["add_margins_subcommand", "add_yield_subcommand", "print_reasons"]


def add_margins_subcommand(subparsers):
    margins = subparsers.add_parser(
        "margins",
        help="margin of every bias and element value",
        description="Lowest and highest multiplier of each parameter at which the circuit "
        "still behaves as at nominal: each watched junction switches as often, the same "
        "ways, each switch within the timing window of its nominal time.",
    )
    _netlist_arguments(margins)
    margins.add_argument(
        "--params",
        nargs="+",
        metavar="NAME",
        help="parameters: element names (J1, L3, IB1...), NAME.attr (J1.ic), .param names, "
        "or glob patterns over them ('*|XDUT', 'B*.XDUT', 'IB*'); default: every bias source "
        "and element value of the cell under test",
    )
    margin_arguments(margins)
    margins.add_argument("-o", "--output", metavar="TABLE.csv", help="write the table as CSV")
    margins.add_argument("--plot", metavar="MARGINS.png", help="write the margin chart")
    margins.add_argument(
        "--runs", metavar="RUNS.csv", help="write every run: parameter, multiplier, outcome, reason"
    )
    margins.set_defaults(func=_margins)


def add_yield_subcommand(subparsers):
    yields = subparsers.add_parser(
        "yield",
        help="Monte Carlo yield",
        description="Fraction of circuits drawn at random (the netlist's own distribution "
        "and the spreads given here) that behave as at nominal, with its confidence interval.",
    )
    _netlist_arguments(yields)
    yields.add_argument("-n", type=int, default=100, help="number of samples (100)")
    yields.add_argument("--seed", type=int, default=0, help="random seed (0)")
    for scope in ("global", "local"):
        yields.add_argument(
            f"--{scope}",
            nargs="+",
            default=[],
            metavar="KIND=SIGMA",
            help=f"{scope} relative spreads, kinds ic, l, r, c, bias"
            + (" or element and .param names" if scope == "local" else ""),
        )
    yields.add_argument(
        "--dut",
        metavar="INSTANCE",
        help="the cell under test, a subcircuit instance such as XDUT: the kinds' spreads draw "
        "only its elements and the bias sources feeding it, and its .param names may be "
        "given to --local (default: the whole netlist)",
    )
    yields.add_argument(
        "-o",
        "--output",
        metavar="YIELD.csv",
        help="write the result as CSV: samples, passed, yield, confidence and its interval",
    )
    yields.add_argument(
        "--runs",
        metavar="RUNS.csv",
        help="write every sample: outcome, reason and the values drawn (a column "
        "per element, its unit in brackets: 'R1 [ohm]')",
    )
    yields.set_defaults(func=_yield)


def margin_arguments(parser):
    """The options that say what a margin is: the cell under test, the global bias,
    the range and the resolution (``margins`` and ``optimize`` share them)."""
    dut = parser.add_mutually_exclusive_group()
    dut.add_argument(
        "--dut",
        metavar="INSTANCE",
        help="the cell under test, a subcircuit instance such as XDUT: its elements and the "
        "bias sources feeding it are the default parameters and the global bias (default: "
        "the one instance named like XDUT, if there is exactly one)",
    )
    dut.add_argument(
        "--whole",
        action="store_true",
        help="no cell under test: every element of the netlist is a default parameter",
    )
    parser.add_argument(
        "--no-global-bias", action="store_true", help="leave out the margin of all biases at once"
    )
    parser.add_argument(
        "--range",
        nargs=2,
        type=float,
        default=(-60.0, 60.0),
        metavar=("LOW", "HIGH"),
        help="range searched, percent of nominal (-60 60)",
    )
    parser.add_argument("--resolution", type=float, default=1.0, help="resolution in percent (1)")


def _netlist_arguments(parser):
    add_netlist_argument(parser)
    watched = parser.add_mutually_exclusive_group()
    watched.add_argument(
        "--junctions",
        nargs="+",
        metavar="NAME",
        help="junctions watched (B1.XDUT or B1|XDUT; default: those of the .print "
        "requests, else all)",
    )
    watched.add_argument(
        "--watch",
        nargs="+",
        metavar="OUTPUT",
        help="outputs watched instead of the .print requests, e.g. 'P(B1.XOUT)' 'V(q)': "
        "the junctions they name or touch",
    )
    add_expected_arguments(parser, watched)
    parser.add_argument("--window", help="timing window of each switch, e.g. 5ps (10ps)")
    add_method_argument(parser)
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--scheduler",
        metavar="ADDR",
        help="Dask scheduler address (default: this process, or a local cluster with one "
        "worker per core when the runs are long and many enough to pay for it)",
    )
    where.add_argument(
        "--cluster",
        action="store_true",
        help="always start a local Dask cluster",
    )
    where.add_argument("--serial", action="store_true", help="run in this process, no Dask")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def _common(args):
    client = "auto"
    if args.serial:
        client = None
    elif args.cluster:
        client = "local"
    elif args.scheduler:
        client = args.scheduler
    options = {"client": client, "progress": not args.quiet, **expected_options(args)}
    options.update(method_options(args))
    if args.junctions:
        options["junctions"] = [n for item in args.junctions for n in item.split(",") if n]
    if args.watch:
        options["watch"] = args.watch
    if args.window is not None:
        try:  # a bare number is in the circuit's own time unit
            options["window"] = float(args.window)
        except ValueError:
            options["window"] = si_text(quantity(args.window, "s", "--window"), "s")
    return options


def _spreads(items, scope):
    spread = {}
    for item in items:
        name, equals, sigma = item.partition("=")
        try:
            spread[name] = float(sigma)
        except ValueError:
            raise UserError(f"--{scope} {item}: expected KIND=SIGMA, e.g. ic=0.05") from None
        if not equals or not name:
            raise UserError(f"--{scope} {item}: expected KIND=SIGMA, e.g. ic=0.05")
    return spread


def _margins(args):
    netlist = read_input(args, ("-o", args.output), ("--runs", args.runs), ("--plot", args.plot))
    params = None
    if args.params:
        params = [p for item in args.params for p in item.split(",") if p]
    result = margins(
        netlist,
        params,
        limits=tuple(args.range),
        resolution=args.resolution,
        global_bias=not args.no_global_bias,
        dut=None if args.whole else (args.dut or "auto"),
        **_common(args),
    )
    write_outputs((args.output, result.table), (args.runs, result.runs), (args.plot, result.plot))
    print(_dut_line(result.dut, args.dut))
    print(result.formatted())
    print(result.critical_text())
    print_reasons(result.reasons(), ["parameter", "side"])
    _print_choice(result.stats)
    return 0


def _dut_line(dut, given):
    if dut is None:
        return "cell under test: the whole netlist"
    if given:
        return f"cell under test: {dut}"
    return f"cell under test: {dut} (the one instance named like XDUT; --dut or --whole to change)"


def _yield(args):
    netlist = read_input(args, ("-o", args.output), ("--runs", args.runs))
    try:
        result = yield_analysis(
            netlist,
            args.n,
            seed=args.seed,
            global_spread=_spreads(args.__dict__["global"], "global"),
            local_spread=_spreads(args.local, "local"),
            dut=args.dut,
            **_common(args),
        )
    except ClusterLost as lost:
        raise keep_partial(lost, args.runs, lambda partial: with_units(partial.samples)) from None
    # the values drawn, units in the header: "R1 [ohm]"
    write_outputs((args.output, _yield_summary(result)), (args.runs, with_units(result.samples)))
    lo, hi = result.interval
    print(
        f"yield {result.fraction:.4f}: {result.passed} of {result.n} samples pass "
        f"({result.confidence:.0%} interval {lo:.4f} .. {hi:.4f})"
    )
    print_reasons(result.reasons(), [])
    _print_choice(result.stats)
    return 0


def _yield_summary(result):
    return result.summary()


def print_reasons(groups, by, stream=None):
    """Print failure groups (see :func:`loxant.analysis.reasons.failure_groups`):
    a line per kind of failure with its count and one example message."""
    stream = sys.stdout if stream is None else stream
    if groups.empty:
        print("no run failed", file=stream)
        return
    print(
        f"failed runs by reason ({int(groups['count'].sum())} in all), one example each:",
        file=stream,
    )
    last = None
    for row in groups.itertuples(index=False):
        key = tuple(getattr(row, column) for column in by)
        if by and key != last:
            print("  " + " ".join(str(k) for k in key) + ":", file=stream)
            last = key
        indent = "    " if by else "  "
        example = f": {row.example}" if row.example else ""
        print(f"{indent}{row.reason} x{row.count}{example}", file=stream)


def _print_choice(stats):
    """One line: how many runs were done, in what time, where and why there."""
    if not stats.get("choice"):
        return
    where, _, why = stats["choice"].partition(": ")
    wall = stats.get("wall_time")
    took = f" in {wall:.1f} s" if wall is not None else ""
    place = {"serial": "in this process", "local cluster": "on a local cluster"}.get(
        where, f"on {where}"
    )
    print(f"{stats['runs']} runs{took} {place}: {why}", file=sys.stderr)
