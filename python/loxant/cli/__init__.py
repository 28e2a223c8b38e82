"""The ``loxant`` command: run netlists and analyses from the shell.

    loxant run FILE.cir ...           simulate netlists (see :mod:`.run`)
    loxant margins | yield FILE.cir   margins and Monte Carlo yield (:mod:`.analyses`)
    loxant iv FILE.cir MODEL --max I  I-V curve of a junction model (:mod:`.iv`)
    loxant sweep FILE.cir NAME=VALUES measures over a grid of values (:mod:`.sweep`)
    loxant characterize FILE.cir ...  timing of a cell as SDF and Liberty (:mod:`.characterize`)

Each command is one module with an ``add_<name>_subcommand(subparsers)``
function, named in :data:`COMMANDS`; its ``func(args)`` returns the exit status
or raises, and :func:`main` turns every fault into one line and a status
through :func:`.status.failure`: 0 done, 1 a run or an output failed, 2 a
mistake in the command line or the netlist, 3 an internal error (a fault of
loxant, please report it), 130 interrupted.  Values with units (``--max 300u``,
``--window 5ps``) are read as the netlist reads them (:mod:`.values`).
"""

import argparse
import importlib
import sys
import warnings

from ..version import __version__
from .status import EXIT_FAILED, EXIT_USAGE, clip, failure, report, silence_stdout

__all__ = ["COMMANDS", "build_parser", "main"]

#: the commands, in the order of the help: (name, module under loxant.cli or a full
#: module name, its function that adds the command to the subparsers)
COMMANDS = (
    ("run", "run", "add_run_subcommand"),
    ("margins", "analyses", "add_margins_subcommand"),
    ("yield", "analyses", "add_yield_subcommand"),
    ("iv", "iv", "add_iv_subcommand"),
    ("sweep", "sweep", "add_sweep_subcommand"),
    ("characterize", "characterize", "add_characterize_subcommand"),
    ("optimize", "optimize", "add_optimize_subcommand"),
    ("verify", "verify", "add_verify_subcommand"),
)


def build_parser(only=None, reader=None):
    """The argument parser; ``only`` (a command name) loads that command's module
    alone, so that a plain run loads no analysis.  ``reader(path_or_text)``
    replaces the netlist reader of the analyses (tests)."""
    parser = argparse.ArgumentParser(
        prog="loxant", description="Transient simulation of superconducting circuits."
    )
    parser.add_argument("--version", action="version", version=f"loxant {__version__}")
    parser.set_defaults(reader=reader)
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    known = {name for name, _, _ in COMMANDS}
    for name, module, adder in COMMANDS:
        if only in known and name != only:
            continue
        path = module if module.startswith("loxant.") else f"{__name__}.{module}"
        getattr(importlib.import_module(path), adder)(subparsers)
    return parser


def main(argv=None, reader=None):
    """The command; returns its exit status.  Nothing escapes as a traceback."""
    argv = sys.argv[1:] if argv is None else list(argv)
    command = None
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            wanted = next((a for a in argv if not a.startswith("-")), None)
            parser = build_parser(only=wanted, reader=reader)
            args = parser.parse_args(argv)
            if args.command is None:
                parser.print_help(sys.stderr)
                return EXIT_USAGE
            command = None if args.command == "run" else args.command
            return args.func(args)
    except BrokenPipeError:  # the reader of our output left, the files are written
        silence_stdout()
        return EXIT_FAILED
    except BaseException as exc:  # noqa: BLE001 - the last resort: a line, never a traceback
        if isinstance(exc, SystemExit):  # argparse: --help, --version, a usage error
            raise
        status, message = failure(exc)
        report(message if command else message.removeprefix("error: "), command)
        return status


def _show_warning(message, category, filename, lineno, file=None, line=None):
    # a netlist's warnings already say file:line; Python's own format adds ours
    print(f"loxant: warning: {clip(str(message), 480)}", file=sys.stderr)
