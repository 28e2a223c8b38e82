"""What the analysis subcommands share: reading the netlist argument and the
error that a command reports as one line with exit status 2."""

import sys

from ..errors import CircuitError
from ..netlist import read_netlist

__all__ = ["UserError", "read_netlist_argument"]


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
