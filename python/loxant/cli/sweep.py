"""The ``loxant sweep`` subcommand: measures over a grid of parameter values.

    loxant sweep FILE.cir NAME=v1,v2,... [NAME=lo:hi:n ...] [--measure M ...]
                 [-o table.csv] [--plot sweep.png]

Values are absolute, in SI units with the netlist's suffixes (``IB1.XDUT=200u,262u``),
or multipliers of the nominal written ``x0.8`` (``IB1.XDUT=x0.8,x1,x1.2``);
``lo:hi:n`` gives n values evenly spaced from lo to hi (``x0.8:x1.2:5``).  Every
combination of the values runs.  Measures: ``delay(A,B)`` (each switch of B from
the latest switch of A before it, the first such pair), ``voltage(A)`` (the
mean voltage over whole Josephson periods), ``switches(A)`` (the net number of
2 pi turns); default: the switches of each junction the netlist's ``.print``
requests watch.  A row whose measure cannot be taken fails, with the reason.
A measure may not be named like a parameter or like ``passed``, ``reason`` and
``message``.

The printed table and the CSV name each column as written on the command line,
followed by its unit in brackets when it has one (``IB1.XDUT [A]``,
``d [s]``, ``voltage(B9) [V]``; a ``.param`` and a count of switches have none),
the way ``Results.to_csv`` writes its header.  The plot labels its axes the same
way.

Exit status: 0 done (failed rows included: they are results), 1 the cluster
was lost, 2 a mistake in the arguments or the netlist.
"""

import re

from ..analysis.common import make_design
from ..analysis.display import full_text
from ..analysis.events import Delay, MeanVoltage, SwitchCount
from ..analysis.runner import ClusterLost
from ..analysis.sweep import MAX_POINTS, sweep
from ..errors import UserError
from .common import (
    add_expected_arguments,
    add_method_argument,
    add_netlist_argument,
    expected_options,
    keep_partial,
    method_options,
    read_input,
    write_outputs,
)
from .values import quantity

__all__ = ["add_sweep_subcommand", "parse_measure", "parse_values"]

_MEASURE = re.compile(r"\s*(?:([\w.]+)\s*=\s*)?(delay|voltage|switches)\(([^()]*)\)\s*", re.I)
_ARITY = {"delay": 2, "voltage": 1, "switches": 1}


def add_sweep_subcommand(subparsers):
    """Add ``sweep`` to the ``loxant`` subparsers."""
    command = subparsers.add_parser(
        "sweep",
        help="measures over a grid of parameter values",
        description="Run every combination of the values given and tabulate the measures. "
        "Values are absolute in SI units (200u, 3.1p), or multipliers of the nominal "
        "written x0.9; lo:hi:n gives n values from lo to hi.",
    )
    add_netlist_argument(command)
    command.add_argument(
        "values",
        nargs="+",
        metavar="NAME=VALUES",
        help="a parameter and its values: IB1.XDUT=200u,262u,320u, BIAS=x0.8:x1.2:5, "
        "'global bias'=x0.9,x1",
    )
    command.add_argument(
        "--measure",
        nargs="+",
        default=[],
        metavar="MEASURE",
        help="delay(A,B), voltage(A) or switches(A), optionally named: d=delay(B1.XDUT,B9.XDUT) "
        "(default: switches of each watched junction)",
    )
    command.add_argument("-o", "--output", metavar="TABLE.csv", help="write the table as CSV")
    command.add_argument(
        "--plot", metavar="SWEEP.png", help="plot each measure against the first parameter"
    )
    add_expected_arguments(command)
    add_method_argument(command)
    where = command.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDR", help="Dask scheduler address")
    where.add_argument("--serial", action="store_true", help="run in this process, no Dask")
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    command.set_defaults(func=_sweep_command)


def parse_values(item):
    """``NAME=v1,v2`` or ``NAME=lo:hi:n`` as ``(name, [values])``: numbers, or
    multiplier strings ``"x0.8"``; raises UserError saying what is expected."""
    name, equals, text = item.partition("=")
    if not equals or not name.strip() or not text.strip():
        raise UserError(f"{item!r}: expected NAME=VALUES, such as IB1.XDUT=200u,262u")
    name = name.strip()
    if ":" in text:
        return name, _range(name, text)
    return name, [_value(name, part) for part in text.split(",")]


def _value(name, text):
    text = text.strip()
    multiplier = text[:1] in ("x", "X", "×")
    number = quantity(text[1:] if multiplier else text, None, f"{name}=", positive=False)
    return f"x{number!r}" if multiplier else number


def _range(name, text):
    parts = text.split(":")
    if len(parts) != 3:
        raise UserError(f"{name}={text}: a range is lo:hi:n, such as x0.8:x1.2:5")
    lo, hi = (_value(name, part) for part in parts[:2])
    if isinstance(lo, str) != isinstance(hi, str):
        raise UserError(f"{name}={text}: both ends absolute, or both multipliers (x...)")
    try:
        count = int(parts[2])
    except ValueError:
        raise UserError(f"{name}={text}: the count n must be a whole number") from None
    if not 1 <= count <= MAX_POINTS:
        raise UserError(f"{name}={text}: the count must be 1 to {MAX_POINTS}")
    multiplier = isinstance(lo, str)
    a, b = (float(v[1:]) if multiplier else v for v in (lo, hi))
    values = [a + (b - a) * k / max(count - 1, 1) for k in range(count)]
    return [f"x{v!r}" for v in values] if multiplier else values


def parse_measure(text):
    """``delay(A,B)``, ``voltage(A)`` or ``switches(A)``, optionally ``name=...``,
    as ``(column, measure)``."""
    match = _MEASURE.fullmatch(text)
    if match is None:
        raise UserError(
            f"--measure {text!r}: expected delay(A,B), voltage(A) or switches(A), "
            "optionally named: d=delay(B1.XDUT,B9.XDUT)"
        )
    label, kind, inside = match.groups()
    kind = kind.lower()
    names = [n.strip() for n in inside.split(",")]
    if len(names) != _ARITY[kind] or not all(names):
        raise UserError(f"--measure {text!r}: {kind} takes {_ARITY[kind]} name(s)")
    made = {"delay": Delay, "voltage": MeanVoltage, "switches": SwitchCount}[kind](*names)
    return label or f"{kind}({','.join(names)})", made


def _sweep_command(args):
    grid = dict(parse_values(item) for item in args.values)
    if len(grid) != len(args.values):
        raise UserError("a parameter is given twice")
    points = 1
    for values in grid.values():
        points *= len(values)
    if points > MAX_POINTS:
        raise UserError(f"{points} runs asked for, more than {MAX_POINTS}: fewer values")
    netlist = read_input(args, ("-o", args.output), ("--plot", args.plot))
    design = make_design(netlist, None, None, method_options(args))
    measures = _measures(args.measure)
    if not measures:
        measures = {f"switches({n})": SwitchCount(n) for n in design.watched_junctions()}
    client = None if args.serial else (args.scheduler or "auto")
    judged = expected_options(args)
    try:
        table = sweep(
            design, grid, measure=measures, client=client, progress=not args.quiet, **judged
        )
    except ClusterLost as lost:
        raise keep_partial(lost, args.output, lambda partial: partial.with_units()) from None
    shown = table.with_units()  # units in the column names: "global bias [A]"
    write_outputs((args.output, shown), (args.plot, table.plot))
    print(full_text(shown))
    failed = int((~table["passed"]).sum())
    if failed:
        print(f"{failed} of {len(table)} rows failed; the reason and message columns say why")
    return 0


def _measures(items):
    """{column: measure} of the --measure arguments; a column named twice is refused."""
    measures = {}
    for text in (text for item in items for text in _split(item)):
        name, measure = parse_measure(text)
        if name.casefold() in {n.casefold() for n in measures}:
            raise UserError(f"--measure: {name!r} is named twice")
        measures[name] = measure
    return measures


def _split(item):
    """Measures given together, separated by spaces outside parentheses."""
    return [part for part in re.split(r"\s+(?![^()]*\))", item.strip()) if part]
