"""What the commands of the analyses share: reading the netlist argument,
claiming and writing their output files.  A fault is raised, never printed:
the command line turns each into one line and an exit status in one place."""

import sys

from ..errors import CircuitError, UserError
from ..netlist import read_netlist
from ..output import OutputClaims, write_atomically

__all__ = [
    "UserError",
    "check_outputs",
    "read_netlist_argument",
    "run_command_body",
    "write_table",
]


def read_netlist_argument(name, reader=None, **options):
    """The netlist of the command's FILE argument (``-``: standard input);
    ``options`` are the reader's keywords the command line sets."""
    reader = read_netlist if reader is None else reader
    source = sys.stdin.read() if name == "-" else name
    try:
        return reader(source, **options)
    except OSError as exc:
        raise UserError(f"cannot read {name}: {exc.strerror or exc}") from None
    except CircuitError as exc:  # the reader's own error: its message says where
        raise UserError(str(exc)) from None


def run_command_body(name, body):
    """``body()``'s exit status (kept for commands written before faults went
    to the command line's one map: ``name`` is not used)."""
    return body()


def write_table(path, table):
    """Write ``table`` as CSV to ``path`` (nothing for None), whole or not at all."""
    if path:
        write_atomically(path, lambda stream: table.to_csv(stream, index=False))


def check_outputs(*paths, netlist=None):
    """Refuses, before any run, outputs whose folder is missing, that name one
    file twice, or that would replace the netlist or a file it includes."""
    claims = OutputClaims()
    if netlist is not None:
        claims.inputs_of(netlist)
    for path in paths:
        claims.output(path, "an output" if path else None)
    return claims
