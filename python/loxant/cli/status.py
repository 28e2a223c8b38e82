"""Exit statuses, and the one map from a fault to its status and its message line.

0 done; 1 a run or an analysis could not finish, or an output could not be
written; 2 a mistake in the command line or in a netlist; 3 a fault of loxant
itself (any exception the map does not name: a TypeError is a bug, not a
mistake of the user); 130 interrupted.
"""

import os
import sys

from ..errors import AnalysisError, CircuitError, RunLimitError, SimulationError, UserError
from ..expressions import ExpressionError
from ..netlist import NetlistError
from ..output import WriteError

__all__ = [
    "EXIT_FAILED",
    "EXIT_INTERNAL",
    "EXIT_INTERRUPTED",
    "EXIT_OK",
    "EXIT_USAGE",
    "UserError",
    "clip",
    "failure",
    "silence_stdout",
]

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERNAL, EXIT_INTERRUPTED = 0, 1, 2, 3, 130
#: longest piece of a message quoted back
QUOTE = 80

#: fault type -> (exit status, how its message starts); the first match wins
_STATUS = (
    (KeyboardInterrupt, EXIT_INTERRUPTED, "interrupted"),
    (MemoryError, EXIT_FAILED, "out of memory"),
    (RunLimitError, EXIT_FAILED, None),
    (SimulationError, EXIT_FAILED, "simulation failed"),
    (AnalysisError, EXIT_FAILED, None),
    (WriteError, EXIT_FAILED, None),
    (NetlistError, EXIT_USAGE, None),
    (UserError, EXIT_USAGE, "error"),
    (CircuitError, EXIT_USAGE, "error"),
    (ExpressionError, EXIT_USAGE, "error"),
    (UnicodeError, EXIT_USAGE, "cannot read"),
    (OSError, EXIT_USAGE, "cannot read"),
    # an analysis refuses a value it is given with ValueError (a window <= 0...)
    (ValueError, EXIT_USAGE, "error"),
)

_INTERNAL = (
    "internal error: {name}: {text} - please report this, with the netlist and the command line"
)
_MEMORY = "out of memory: record fewer quantities, shorten the run or raise the step"


def failure(exc):
    """``(exit status, message)`` of a fault; the message is one line."""
    for kind, status, lead in _STATUS:
        if isinstance(exc, kind) and not _is_bug(exc):
            return status, _message(exc, kind, lead)
    return EXIT_INTERNAL, _INTERNAL.format(name=type(exc).__name__, text=clip(exc))


def _is_bug(exc):
    # a RecursionError is a RuntimeError; an OSError from a bug has no file
    return isinstance(exc, RecursionError)


def _message(exc, kind, lead):
    if kind is KeyboardInterrupt:
        return lead
    if kind is MemoryError:
        return _MEMORY
    if kind is OSError or kind is UnicodeError:
        reason = getattr(exc, "strerror", None) or exc
        name = getattr(exc, "filename", None)
        return f"{lead} {name}: {clip(reason)}" if name else f"{lead}: {clip(reason)}"
    text = clip(exc, 6 * QUOTE)
    return f"{lead}: {text}" if lead else text


def clip(text, most=QUOTE):
    """``text`` on one line and at most ``most`` characters."""
    text = " ".join(str(text).split())
    return text if len(text) <= most else text[: most - 3] + "..."


def silence_stdout():
    """After a broken pipe (``| head -1``): whatever is still printed goes to the
    null device, so that the command goes on and writes its files; the
    interpreter's flush at exit would fail on the closed pipe too."""
    try:
        target = sys.stdout.fileno()
    except (OSError, ValueError, AttributeError):  # not a file (a test's stream)
        sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, target)
    os.close(null)


def report(message, command=None):
    """One line on standard error: ``loxant [COMMAND]: message``."""
    where = f"loxant {command}" if command else "loxant"
    print(f"{where}: {message}", file=sys.stderr)
