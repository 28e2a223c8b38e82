"""What the analysis subcommands share: reading the netlist argument, writing
tables, and the errors that a command reports as one line."""

import os
import sys

from ..errors import CircuitError
from ..netlist import read_netlist
from ..output import WriteError, write_atomically

__all__ = [
    "UserError",
    "check_outputs",
    "keep_partial",
    "read_netlist_argument",
    "run_command_body",
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
