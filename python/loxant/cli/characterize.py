"""The ``loxant characterize`` subcommand: timing of one cell of a netlist.

    loxant characterize FILE.cir --cell NAME --inputs a,b --outputs q [--clock clk]
                        [--sdf out.sdf] [--lib out.lib] [-o table.csv]

Prints the cell's state machine, its delays and constraints; writes them as
SDF, Liberty (one file per bias) and CSV (one long table, times in ps, with a
row for each corner left out).  A corner at which the cell misbehaves is
reported on stderr and left out.  Files are written whole or not at all.
Exit status: 0 done, 1 the nominal runs do not behave as a cell, 2 a mistake
in the arguments or the netlist.
"""

import json
import re
import sys

from ..analysis.characterize import characterize
from ..analysis.harness import Bench
from ..analysis.liberty import corner_path, write_liberty_corners
from ..errors import UserError
from ..netlist import NetlistError
from ..netlist.tokens import read_file
from ..output import OutputClaims, write_text
from .values import quantity, si_text

__all__ = ["add_characterize_subcommand"]


def add_characterize_subcommand(subparsers):
    """Add ``characterize`` to the ``loxant`` subparsers."""
    command = subparsers.add_parser(
        "characterize",
        help="delays, setup and hold of a cell, as SDF and Liberty",
        description="Build a bench around a subcircuit (SFQ sources into the inputs, loads "
        "on the outputs, lines at its PTL ports), learn its state machine from nominal "
        "runs, and measure its delays per state over load and bias, and the minimum "
        "separation of every pair of inputs per state by bisection.",
    )
    command.add_argument("netlist", metavar="FILE.cir", help="netlist ('-': standard input)")

    command.add_argument("--cell", required=True, help="subcircuit to characterize")
    command.add_argument("--inputs", required=True, help="input ports, e.g. a,b")
    command.add_argument("--outputs", required=True, help="output ports, e.g. q")
    command.add_argument("--clock", help="the clock port of a clocked cell (for Liberty)")
    command.add_argument("--loads", default="1,2,3", help="JTL loads on each output (1,2,3)")
    command.add_argument("--biases", default="0.9,1,1.1", help="bias multipliers (0.9,1,1.1)")
    command.add_argument("--window", default="10ps", help="constraint search window (10ps)")
    command.add_argument("--resolution", default="0.05ps", help="bisection resolution (0.05ps)")
    command.add_argument("--no-constraints", action="store_true", help="delays only")
    command.add_argument(
        "--states", metavar="MAP.json", help="state names: {internal_state_N: name}"
    )
    command.add_argument(
        "--ptl-in", metavar="PORTS", help="inputs fed through a line (default: found)"
    )
    command.add_argument(
        "--ptl-out", metavar="PORTS", help="outputs driving a line (default: found)"
    )
    command.add_argument("--source", metavar="CELL", help="a subcircuit 'a q' to drive each input")
    command.add_argument("--load", metavar="CELL", help="a subcircuit 'a q' as each load")
    command.add_argument("--include", metavar="FILE", help="a netlist defining --source/--load")
    command.add_argument(
        "--bench",
        metavar="FILE.cir",
        help="your own testbench around one instance of the cell: its sources and loads are "
        "used (its pulsed current sources send the pulses; loads are not varied)",
    )
    command.add_argument(
        "--scale-bench", action="store_true", help="bias corners scale the bench's biases too"
    )
    command.add_argument("--sdf", metavar="OUT.sdf", help="write the SDF file")
    command.add_argument(
        "--bounded-checks",
        action="store_true",
        help="write as checks also the constraints only the bench's source limits ('at most'; "
        "by default a comment in Liberty and left out of SDF)",
    )
    command.add_argument("--lib", metavar="OUT.lib", help="write the Liberty file")
    command.add_argument(
        "--library",
        metavar="NAME",
        help="the Liberty library's name (default: the cell's), distinct per file for OpenSTA",
    )
    command.add_argument("-o", "--output", metavar="TABLE.csv", help="write the table as CSV")
    command.add_argument(
        "--scheduler",
        metavar="ADDR",
        help="run on Dask: a scheduler address or 'local' (default: in this process)",
    )
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    command.set_defaults(func=_characterize)


def _numbers(text, convert, what):
    try:
        return tuple(convert(v) for v in text.split(",") if v.strip())
    except ValueError:
        raise UserError(f"--{what} {text}: expected numbers separated by commas") from None


#: a name SDF and Liberty take unquoted
_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def _states(path):
    if path is None:
        return None
    with open(path, encoding="utf-8") as stream:
        try:
            mapping = json.load(stream)
        except ValueError as exc:
            raise UserError(f"--states {path}: not JSON: {exc}") from None
    if not isinstance(mapping, dict):
        raise UserError(f"--states {path}: expected an object {{internal_state_N: name}}")
    for key, name in mapping.items():
        if not isinstance(name, str) or not _IDENTIFIER.fullmatch(name):
            raise UserError(
                f"--states {path}: the name of {key} is {json.dumps(name)}: a state name is "
                "letters, digits and _, not starting with a digit (it goes into SDF and Liberty)"
            )
    return mapping


def _claims(args):
    """Refuses, before any run, outputs that name one file, a missing folder, or
    one of the files read."""
    claims = OutputClaims()
    claims.inputs([args.netlist])
    claims.inputs([p for p in (args.bench, args.include, args.states) if p], "the input")
    for path in (args.netlist, args.bench, args.include):
        if path and path != "-":
            claims.inputs(_included(path), "the included file")
    claims.outputs([(args.output, "-o"), (args.sdf, "--sdf")])
    if args.lib:
        biases = _numbers(args.biases, float, "biases")
        nominal = min(biases, key=lambda b: abs(b - 1.0)) if biases else 1.0
        claims.outputs([(corner_path(args.lib, b, nominal), "--lib") for b in biases])


def _included(path):
    """The files a netlist includes (its lines as the reader reads them); none
    when it cannot be read: the characterization reports that itself."""
    try:
        lines, _ = read_file(path)
    except (NetlistError, OSError):
        return []
    return sorted({line.file for line in lines} - {path})


def _characterize(args):
    if args.library is not None and not _IDENTIFIER.fullmatch(args.library):
        raise UserError(f"--library {args.library!r}: a library name is letters, digits and _")
    _claims(args)
    states = _states(args.states)
    netlist = sys.stdin.read() if args.netlist == "-" else args.netlist
    bench = Bench(source_cell=args.source, load_cell=args.load, include=args.include)
    if args.bench:
        if args.source or args.load:
            raise UserError("--bench brings its own sources and loads: leave out --source/--load")
        bench = args.bench
    result = characterize(
        netlist,
        args.cell,
        args.inputs,
        args.outputs,
        args.clock,
        loads=_numbers(args.loads, int, "loads"),
        biases=_numbers(args.biases, float, "biases"),
        constraints=not args.no_constraints,
        window=si_text(quantity(args.window, "s", "--window"), "s"),
        resolution=si_text(quantity(args.resolution, "s", "--resolution"), "s"),
        bench=bench,
        states=states,
        ptl_in=args.ptl_in,
        ptl_out=args.ptl_out,
        scale_bench=args.scale_bench,
        client=args.scheduler,
        progress=not args.quiet,
    )
    if args.output:
        write_text(args.output, result.table().to_csv(index=False))
    if args.sdf:
        result.write_sdf(args.sdf, bounds=args.bounded_checks)
    if args.lib:
        write_liberty_corners(result, args.lib, library=args.library, bounds=args.bounded_checks)
    _print(result)
    for load, bias, reason in result.failures:
        print(
            f"loxant characterize: corner load {load}, bias {bias:g} left out: {reason}",
            file=sys.stderr,
        )
    return 0


def _print(result):
    print(f"cell {result.name(result.cell)}: state machine (state, input pulse -> outputs, next)")
    print(result.machine.to_string(index=False))
    if result.ptl["in"] or result.ptl["out"]:
        print(
            f"PTL ports: in {' '.join(result.ptl['in']) or '-'}, out {' '.join(result.ptl['out']) or '-'}"
        )
    if len(result.delays):
        table = result.delays.pivot_table(
            index=["from", "to", "state", "load"], columns="bias", values="delay_ps", dropna=False
        )
        print("\ndelays (ps) by bias")
        print(table.to_string(float_format=lambda v: f"{v:.3f}"))
    if len(result.constraints):
        print("\nminimum separations (ps): second no closer after first, in state")
        shown = result.constraints[["first", "second", "state", "value_ps", "note"]]
        print(shown.to_string(index=False, float_format=lambda v: f"{v:.3f}"))
    print(f"\n{result.runs} runs in {result.seconds:.2f} s")
