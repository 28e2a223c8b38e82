"""The ``loxant iv`` subcommand: the I-V curve of a junction model of a netlist.

    loxant iv FILE.cir MODEL --max 300uA [-o iv.csv] [--plot iv.png] [--points N]
    loxant iv FILE.cir                    (every .iv card of the file)

The table (current in A, voltage in V, direction of the sweep) goes to ``-o``
as CSV, or to standard output; a ``.iv model max file`` card writes its own
file.  Exit status: 0 done, 1 the simulation failed, 2 a mistake in the
arguments or the netlist.
"""

from ..analysis.iv import iv_curve
from ..errors import UserError
from ..output import write_atomically
from .common import add_netlist_argument, read_input
from .values import quantity

__all__ = ["add_iv_subcommand"]


def add_iv_subcommand(subparsers):
    iv = subparsers.add_parser(
        "iv",
        help="I-V curve of a junction model",
        description="Sweep one junction of a model slowly up to +max, down to -max and "
        "back, and give the voltage averaged over whole Josephson periods at each current "
        "(both branches of a hysteretic junction).",
    )
    add_netlist_argument(iv)
    iv.add_argument("model", nargs="?", help="model name (default: run the file's .iv cards)")
    iv.add_argument(
        "--max", metavar="CURRENT", help="largest current, e.g. 300u or 300uA (1M is 1 mA)"
    )
    iv.add_argument("--points", type=int, default=50, help="levels per quarter sweep (50)")
    iv.add_argument("-o", "--output", metavar="IV.csv", help="write the table as CSV")
    iv.add_argument("--plot", metavar="IV.png", help="plot the curve to this image")
    iv.set_defaults(func=_iv)


def _iv(args):
    if args.model is None and (args.max is not None or args.output or args.plot):
        raise UserError("--max, -o and --plot need a MODEL")
    cards = _card_outputs if args.model is None else None
    netlist = read_input(args, ("-o", args.output), ("--plot", args.plot), more=cards)
    if args.model is None:
        if not netlist.iv_requests:
            raise UserError(f"{args.netlist} has no .iv card; name a MODEL and --max")
        jobs = [(r.model, r.max_current, r.path, None) for r in netlist.iv_requests]
    else:
        if args.max is None:
            raise UserError("give the largest current with --max, e.g. --max 300uA")
        top = quantity(args.max, "A", "--max", positive=False)
        jobs = [(args.model, top, args.output, args.plot)]
    shown = [_one(netlist, model, top, output, plot, args) for model, top, output, plot in jobs]
    for text in shown:  # once every file is written
        print(text)
    return 0


def _card_outputs(netlist):
    return [(f".iv {r.model}", r.path) for r in getattr(netlist, "iv_requests", ())]


def _one(netlist, name, top, output, plot, args):
    """Writes one curve's files; returns what to print of it."""
    table = iv_curve(netlist.junction_model(name), top, points=args.points)
    if output:
        write_atomically(output, lambda stream: table.to_csv(stream, index=False))
    if plot:
        _plot(plot, table, name.upper())
    if output:
        return f"wrote the I-V curve of {name.upper()} ({len(table)} points) to {output}"
    return table.to_string(index=False)


def _plot(path, table, title):
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UserError("--plot needs matplotlib (pip install 'loxant[plot]')") from None
    table.plot(path, title=f"I-V curve of {title}")
