"""The ``loxant margins`` and ``loxant yield`` subcommands.

``add_subcommands(subparsers)`` adds both to the subparsers of the ``loxant``
command (``argparse``); each sets ``func``, which takes the parsed arguments,
runs the analysis through the Python API and returns the exit status: 0 done,
1 the nominal run failed, 2 a mistake in the arguments or the netlist.

    loxant margins FILE.cir [--params NAME ...] [--scheduler ADDR] [-o table.csv]
                            [--plot margins.png]
    loxant yield FILE.cir -n 1000 [--local ic=0.05 ...] [--global ...] [-o samples.csv]
"""

import functools
import sys

from ..errors import CircuitError
from .characterize_command import add_characterize_subcommand
from .iv_command import add_iv_subcommand

__all__ = ["add_subcommands"]


def add_subcommands(subparsers, reader=None):
    """Add ``margins`` and ``yield`` (and ``iv``, :mod:`.iv_command`) to ``subparsers``;
    ``reader(path_or_text)`` reads a netlist (default ``loxant.read_netlist``)."""
    margins = subparsers.add_parser(
        "margins",
        help="margin of every bias and element value",
        description="Lowest and highest multiplier of each parameter at which the circuit "
        "still behaves as at nominal (same switching events within the timing window).",
    )
    _netlist_arguments(margins)
    margins.add_argument(
        "--params",
        nargs="+",
        metavar="NAME",
        help="parameters: element names (J1, L3, IB1...), NAME.attr (J1.ic) or .param names; "
        "default: every bias source and element value",
    )
    margins.add_argument(
        "--no-global-bias", action="store_true", help="leave out the margin of all biases at once"
    )
    margins.add_argument(
        "--range",
        nargs=2,
        type=float,
        default=(-60.0, 60.0),
        metavar=("LOW", "HIGH"),
        help="range searched, percent of nominal (-60 60)",
    )
    margins.add_argument("--resolution", type=float, default=1.0, help="resolution in percent (1)")
    margins.add_argument("-o", "--output", metavar="TABLE.csv", help="write the table as CSV")
    margins.add_argument("--plot", metavar="MARGINS.png", help="write the margin chart")
    margins.set_defaults(func=functools.partial(_margins, reader=reader))

    yields = subparsers.add_parser(
        "yield",
        help="Monte Carlo yield",
        description="Fraction of circuits drawn at random (the netlist's gauss() values and "
        "the spreads given here) that behave as at nominal, with its confidence interval.",
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
            + (" or element names" if scope == "local" else ""),
        )
    yields.add_argument("-o", "--output", metavar="SAMPLES.csv", help="write the samples as CSV")
    yields.set_defaults(func=functools.partial(_yield, reader=reader))
    add_iv_subcommand(subparsers, reader)
    add_characterize_subcommand(subparsers)


def _netlist_arguments(parser):
    parser.add_argument("netlist", metavar="FILE.cir", help="netlist ('-': standard input)")
    parser.add_argument(
        "--junctions", nargs="+", metavar="NAME", help="junctions watched (default: all)"
    )
    parser.add_argument("--window", help="timing window of the events, e.g. 5ps (10ps)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--scheduler",
        metavar="ADDR",
        help="Dask scheduler address (default: a local cluster, one worker per core)",
    )
    where.add_argument("--serial", action="store_true", help="run in this process, no Dask")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


class _UserError(Exception):
    pass


def _read(args, reader):
    if reader is None:
        from ..netlist import read_netlist as reader
    source = sys.stdin.read() if args.netlist == "-" else args.netlist
    try:
        return reader(source)
    except OSError as exc:
        raise _UserError(f"cannot read {args.netlist}: {exc.strerror or exc}") from None
    except CircuitError as exc:  # the reader's own error: its message says where
        raise _UserError(str(exc)) from None


def _common(args):
    client = None if args.serial else (args.scheduler or "local")
    options = {"client": client, "progress": not args.quiet, "junctions": args.junctions}
    if args.window is not None:
        try:  # a bare number is in the circuit's own time unit
            options["window"] = float(args.window)
        except ValueError:
            options["window"] = args.window
    return options


def _spreads(items, scope):
    spread = {}
    for item in items:
        name, equals, sigma = item.partition("=")
        try:
            spread[name] = float(sigma)
        except ValueError:
            raise _UserError(f"--{scope} {item}: expected KIND=SIGMA, e.g. ic=0.05") from None
        if not equals or not name:
            raise _UserError(f"--{scope} {item}: expected KIND=SIGMA, e.g. ic=0.05")
    return spread


def _run(name, body):
    try:
        return body()
    except _UserError as exc:
        print(f"loxant {name}: error: {exc}", file=sys.stderr)
        return 2
    except (ValueError, TypeError) as exc:
        print(f"loxant {name}: error: {exc}", file=sys.stderr)
        return 2
    except RuntimeError as exc:
        print(f"loxant {name}: {exc}", file=sys.stderr)
        return 1


def _margins(args, reader=None):
    def body():
        from .margins import margins

        netlist = _read(args, reader)
        params = None
        if args.params:
            params = [p for item in args.params for p in item.split(",") if p]
        result = margins(
            netlist,
            params,
            limits=tuple(args.range),
            resolution=args.resolution,
            global_bias=not args.no_global_bias,
            **_common(args),
        )
        print(result.table.to_string(index=False))
        print(f"critical margin: {result.critical_margin:.1f} % ({result.critical_parameter})")
        _report_failures(result.runs)
        if args.output:
            result.table.to_csv(args.output, index=False)
        if args.plot:
            result.plot(args.plot)
        return 0

    return _run("margins", body)


def _yield(args, reader=None):
    def body():
        from .montecarlo import yield_analysis

        netlist = _read(args, reader)
        result = yield_analysis(
            netlist,
            args.n,
            seed=args.seed,
            global_spread=_spreads(args.__dict__["global"], "global"),
            local_spread=_spreads(args.local, "local"),
            **_common(args),
        )
        lo, hi = result.interval
        print(
            f"yield {result.fraction:.4f}: {result.passed} of {result.n} samples pass "
            f"({result.confidence:.0%} interval {lo:.4f} .. {hi:.4f})"
        )
        _report_failures(result.samples)
        if args.output:
            result.samples.to_csv(args.output, index=False)
        return 0

    return _run("yield", body)


def _report_failures(table):
    reasons = table["reason"].dropna().value_counts()
    if len(reasons):
        counts = ", ".join(f"{reason} {count}" for reason, count in reasons.items())
        print(f"failed runs by reason: {counts}")
