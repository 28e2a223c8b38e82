"""The ``loxant iv`` subcommand: the I-V curve of a junction model of a netlist.

    loxant iv FILE.cir MODEL --max 300uA [-o iv.csv] [--plot iv.png] [--points N]
    loxant iv FILE.cir                    (every .iv card of the file)

The table (current in A, voltage in V, direction of the sweep) goes to ``-o``
as CSV, or to standard output; a ``.iv model max file`` card writes its own
file.  Exit status: 0 done, 1 the simulation failed, 2 a mistake in the
arguments or the netlist.
"""

import math
import sys

from ..errors import CircuitError, SimulationError
from ..output import WriteError, write_atomically
from ..units import to_si
from .command_input import UserError, read_netlist_argument
from .iv import iv_curve

__all__ = ["add_iv_subcommand"]


def add_iv_subcommand(subparsers, reader=None):
    """Add ``iv`` to the ``loxant`` subparsers; ``reader(path)`` reads a netlist
    (default ``loxant.read_netlist``)."""
    iv = subparsers.add_parser(
        "iv",
        help="I-V curve of a junction model",
        description="Sweep one junction of a model slowly up to +max, down to -max and "
        "back, and give the voltage averaged over whole Josephson periods at each current "
        "(both branches of a hysteretic junction).",
    )
    iv.add_argument("netlist", metavar="FILE.cir", help="netlist ('-': standard input)")
    iv.add_argument("model", nargs="?", help="model name (default: run the file's .iv cards)")
    iv.add_argument("--max", metavar="CURRENT", help="largest current, e.g. 300uA")
    iv.add_argument("--points", type=int, default=50, help="levels per quarter sweep (50)")
    iv.add_argument("-o", "--output", metavar="IV.csv", help="write the table as CSV")
    iv.add_argument("--plot", metavar="IV.png", help="plot the curve to this image")
    iv.set_defaults(func=lambda args: _iv(args, reader))


def _iv(args, reader):
    try:
        return _run(args, reader)
    except UserError as exc:
        print(f"loxant iv: error: {exc}", file=sys.stderr)
        return 2
    except SimulationError as exc:
        print(f"loxant iv: simulation failed: {exc}", file=sys.stderr)
        return 1
    except CircuitError as exc:
        print(f"loxant iv: error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        print(f"loxant iv: {WriteError(exc.filename or args.output or '?', exc)}", file=sys.stderr)
        return 1


def _run(args, reader):
    netlist = read_netlist_argument(args.netlist, reader)
    if args.model is None:
        if args.max is not None or args.output or args.plot:
            raise UserError("--max, -o and --plot need a MODEL")
        if not netlist.iv_requests:
            raise UserError(f"{args.netlist} has no .iv card; name a MODEL and --max")
        jobs = [(r.model, r.max_current, r.path, None) for r in netlist.iv_requests]
    else:
        if args.max is None:
            raise UserError("give the largest current with --max, e.g. --max 300uA")
        jobs = [(args.model, _largest_current(args.max), args.output, args.plot)]
    for model, top, output, plot in jobs:
        _one(netlist, model, top, output, plot, args)
    return 0


def _largest_current(text):
    """--max as a number of amperes, or the UserError that says what is wrong."""
    try:
        value = to_si(text, "A")
    except (ValueError, CircuitError) as exc:
        raise UserError(f"--max {text}: {exc}") from None
    if not math.isfinite(value):
        raise UserError(f"--max {text}: the largest current must be finite")
    return value


def _one(netlist, name, top, output, plot, args):
    table = iv_curve(netlist.junction_model(name), top, points=args.points)
    if output:
        write_atomically(output, lambda stream: table.to_csv(stream, index=False))
        print(f"wrote the I-V curve of {name.upper()} ({len(table)} points) to {output}")
    else:
        print(table.to_string(index=False))
    if plot:
        _plot(plot, table, name.upper())


def _plot(path, table, title):
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UserError("--plot needs matplotlib (pip install 'loxant[plot]')") from None
    table.plot(path, title=f"I-V curve of {title}")
