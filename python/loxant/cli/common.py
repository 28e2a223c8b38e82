"""What the analysis commands share: the netlist argument, the check of their
outputs against each other and against the files read, and the writing of
their files before anything is printed (a closed standard output loses none)."""

from ..analysis.command_input import read_netlist_argument, write_table
from ..analysis.expected import DEFAULT_THRESHOLD, ExpectedSwitchingError, read_expected
from ..errors import UserError
from ..output import OutputClaims, WriteError
from ..simulation import options as run_options
from .values import reader_options

__all__ = [
    "add_netlist_argument",
    "add_expected_arguments",
    "read_input",
    "expected_options",
    "write_outputs",
]


def add_netlist_argument(parser):
    """The FILE argument and the reader's options."""
    parser.add_argument("netlist", metavar="FILE.cir", help="netlist ('-': standard input)")
    parser.add_argument(
        "--allow-outside",
        action="store_true",
        help="let the netlist's output cards (.file, .iv) write outside its folder",
    )


def read_input(args, *outputs, more=None):
    """The netlist of ``args.netlist``, read; ``outputs`` are ``(option, path)``
    pairs (``more(netlist)`` gives those the netlist asks for), refused before
    any run when two name one file or one names the netlist or a file it
    includes (a missing folder too)."""
    reader = getattr(args, "reader", None)
    netlist = read_netlist_argument(args.netlist, reader, **reader_options(args))
    claims = OutputClaims()
    claims.inputs([args.netlist])
    claims.inputs_of(netlist)
    for option, path in list(outputs) + list(more(netlist) if more else []):
        claims.output(path, option)
    return netlist


def write_outputs(*outputs):
    """Writes each ``(path, what)``: a table (CSV), or a function of the path
    (a plot); a None path is skipped."""
    for path, what in outputs:
        if not path:
            continue
        if callable(what):
            try:
                what(path)
            except WriteError:
                raise
            except OSError as exc:
                raise WriteError(path, exc) from None
        else:
            write_table(path, what)


def keep_partial(lost, path, table):
    """``lost`` (a ClusterLost) once the table of the runs done is
    written to ``path`` (when given and any run was done), saying so;
    ``table(partial)`` makes the table of the partial result."""
    if not path or lost.partial is None or not lost.done:
        return lost
    write_table(path, table(lost.partial))
    kept = type(lost)(f"{lost}; the {lost.done} done are in {path}", lost.done, lost.total)
    kept.partial = lost.partial
    return kept


def add_method_argument(parser):
    """--method: the integration formula of every run of the command."""
    parser.add_argument(
        "--method",
        choices=run_options.METHODS,
        help="integration formula of every run's fixed step (default trapezoidal; bdf2 "
        "where a phase source is)",
    )


def method_options(args):
    """The runs' options of --method: none when it is not given."""
    return {} if args.method is None else {"method": args.method}


def add_expected_arguments(parser, group=None):
    """``--expected FILE`` (in ``group``, exclusive of the other criteria, when given)
    and ``--threshold T``, its tolerance."""
    (group or parser).add_argument(
        "--expected",
        metavar="FILE",
        help="judge each run by a file of expected switching, in josim-tools' format (a table of each junction's switch "
        "counts at given times) instead of the switching at nominal",
    )
    parser.add_argument(
        "--threshold",
        type=float,
        metavar="T",
        help="with --expected: largest distance of a junction's phase from its expected count, "
        f"in turns of 2 pi ({DEFAULT_THRESHOLD:g})",
    )


def expected_options(args):
    """The ``expected`` and ``threshold`` keywords of the analyses from ``--expected``
    and ``--threshold``; UserError for a threshold without a file or a bad file."""
    if args.expected is None:
        if args.threshold is not None:
            raise UserError("--threshold goes with --expected")
        return {}
    if getattr(args, "window", None) is not None:
        raise UserError("--window belongs to the switching at nominal, not to --expected")
    try:
        return {"expected": read_expected(args.expected), "threshold": args.threshold}
    except ExpectedSwitchingError as exc:
        raise UserError(str(exc)) from None
