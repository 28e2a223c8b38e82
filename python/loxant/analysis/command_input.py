"""What the analysis subcommands share: reading the netlist argument, writing
tables, and the errors that a command reports as one line."""

import os
import sys

from ..errors import CircuitError
from ..netlist import read_netlist
from ..output import WriteError, write_atomically
from .expected import DEFAULT_THRESHOLD, SpecError, read_spec

__all__ = [
    "UserError",
    "add_spec_arguments",
    "check_outputs",
    "read_netlist_argument",
    "run_command_body",
    "spec_options",
    "write_table",
]


class UserError(Exception):
    """A mistake in the command line or its netlist, reported without a traceback."""


def read_netlist_argument(name, reader=None):
    """The netlist of the command's FILE argument (``-``: standard input)."""
    reader = read_netlist if reader is None else reader
    source = sys.stdin.read() if name == "-" else name
    try:
        return reader(source)
    except OSError as exc:
        raise UserError(f"cannot read {name}: {exc.strerror or exc}") from None
    except CircuitError as exc:  # the reader's own error: its message says where
        raise UserError(str(exc)) from None


def run_command_body(name, body):
    """``body()``'s exit status; a user's mistake is one line and exit status 2,
    a run that cannot go on (the nominal run failing, a cluster out of reach) 1."""
    try:
        return body()
    except UserError as exc:
        print(f"loxant {name}: error: {exc}", file=sys.stderr)
        return 2
    except (ValueError, TypeError) as exc:
        print(f"loxant {name}: error: {exc}", file=sys.stderr)
        return 2
    except RuntimeError as exc:
        print(f"loxant {name}: {exc}", file=sys.stderr)
        return 1


def write_table(path, table):
    """Write ``table`` as CSV to ``path`` (nothing for None), whole or not at all."""
    if path:
        try:
            write_atomically(path, lambda stream: table.to_csv(stream, index=False))
        except WriteError as exc:
            raise UserError(str(exc)) from None


def check_outputs(*paths):
    """Refuses, before any run, outputs whose folder is missing or that name one
    file twice."""
    seen = {}
    for path in paths:
        if not path:
            continue
        folder = os.path.dirname(os.fspath(path))
        if folder and not os.path.isdir(folder):
            raise UserError(f"cannot write {path}: no folder {folder}")
        key = os.path.realpath(path)
        if key in seen:
            raise UserError(f"{seen[key]} and {path} name the same file")
        seen[key] = path


def add_spec_arguments(parser, group=None):
    """``--spec SPEC`` (in ``group``, exclusive of the other criteria, when given)
    and ``--threshold T``, its tolerance."""
    (group or parser).add_argument(
        "--spec",
        metavar="SPEC",
        help="judge each run by a josim-tools spec file (a table of each junction's switch "
        "counts at given times) instead of the switching at nominal",
    )
    parser.add_argument(
        "--threshold",
        type=float,
        metavar="T",
        help="with --spec: largest distance of a junction's phase from its expected count, "
        f"in turns of 2 pi ({DEFAULT_THRESHOLD:g})",
    )


def spec_options(args):
    """The ``spec`` and ``threshold`` keywords of the analyses from ``--spec`` and
    ``--threshold``; UserError for a threshold without a spec or a bad file."""
    if args.spec is None:
        if args.threshold is not None:
            raise UserError("--threshold goes with --spec")
        return {}
    if getattr(args, "window", None) is not None:
        raise UserError("--window belongs to the switching at nominal, not to --spec")
    try:
        return {"spec": read_spec(args.spec), "threshold": args.threshold}
    except SpecError as exc:
        raise UserError(str(exc)) from None
