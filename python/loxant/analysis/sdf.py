"""SDF (IEEE 1497) files of characterized cells, and a small reader.

One ``CELL`` per characterized cell (``INSTANCE *``: every instance of the
cell type), names as the netlist spells them, times in picoseconds.  Each
delay is an ``IOPATH`` under ``COND internal_state_N``, the state the cell is
in when the input pulse arrives, written ``(min:typ:max)`` over the biases
that passed at the first load (typ: at the bias nearest 1).  Each constraint
-- ``y`` must not follow ``x`` closer than ``v`` in state ``s`` -- is written
as the public RSFQ libraries write it, a hold check against either edge of
``x`` (an SFQ pulse is a single event, which a logic simulator sees as an
edge of either sign)::

    (HOLD y (COND internal_state_s (posedge x)) (v))
    (HOLD y (COND internal_state_s (negedge x)) (v))
"""

import math
import re

from ..output import write_text
from ..version import __version__

__all__ = ["AT_MOST", "read_sdf", "sdf_text", "written_checks", "write_sdf"]

#: how the note of a constraint that the bench's source limits starts
AT_MOST = "at most"

#: deepest nesting of parentheses the reader takes (an SDF file needs about 8)
MAX_DEPTH = 64


def _number(value):
    return f"{value:.3f}"


def _iopaths(result):
    lines = []
    first = result.delays[result.delays["load"] == result.loads[0]]
    for (state, source, sink), rows in first.groupby(["state", "from", "to"], sort=True):
        values = rows["delay_ps"].dropna()
        if values.empty:
            continue
        nominal = values.loc[(rows.loc[values.index, "bias"] - 1.0).abs().idxmin()]
        triple = ":".join(_number(v) for v in (values.min(), nominal, values.max()))
        lines += [
            f"        (COND {state}",
            f"          (IOPATH {result.name(source)} {result.name(sink)} ({triple}))",
            "        )",
        ]
    return lines


def written_checks(result, bounds=False):
    """The constraint rows a file writes as checks: those with a value, less the
    ones only the bench's source limits ("at most": the cell may take closer
    pulses than the bench can send) unless ``bounds``."""
    for row in result.constraints.itertuples(index=False):
        if math.isnan(row.value_ps):
            continue
        if not bounds and str(row.note).startswith(AT_MOST):
            continue
        yield row


def _checks(result, bounds=False):
    lines = []
    for row in written_checks(result, bounds):
        first, second = result.name(row.first), result.name(row.second)
        for edge in ("posedge", "negedge"):
            lines.append(
                f"      (HOLD {second} (COND {row.state} ({edge} {first})) "
                f"({_number(row.value_ps)}))"
            )
    return lines


def sdf_text(results, design="loxant", instances=None, bounds=False):
    """The SDF text of one :class:`~loxant.analysis.characterize.Characterization`
    or a list of them; ``instances``: cell name -> instance paths to write the
    cell for (default ``INSTANCE *``, every instance; some tools want paths);
    ``bounds``: write also the checks only the bench's source limits."""
    if not isinstance(results, (list, tuple)):
        results = [results]
    out = [
        "(DELAYFILE",
        '  (SDFVERSION "3.0")',
        f'  (DESIGN "{design}")',
        '  (VENDOR "loxant")',
        '  (PROGRAM "loxant characterize")',
        f'  (VERSION "{__version__}")',
        "  (DIVIDER /)",
        "  (TIMESCALE 1ps)",
    ]
    for result in results:
        cell = result.name(result.cell)
        paths, checks = _iopaths(result), _checks(result, bounds)
        for instance in (instances or {}).get(cell, ["*"]):
            out += ["  (CELL", f'    (CELLTYPE "{cell}")', f"    (INSTANCE {instance})"]
            if paths:
                out += ["    (DELAY", "      (ABSOLUTE", *paths, "      )", "    )"]
            if checks:
                out += ["    (TIMINGCHECK", *checks, "    )"]
            out.append("  )")
    out.append(")")
    return "\n".join(out) + "\n"


def write_sdf(results, path, design="loxant", instances=None, bounds=False):
    """Write :func:`sdf_text` to ``path`` (whole or not at all)."""
    write_text(path, sdf_text(results, design, instances, bounds))


# -- reading ---------------------------------------------------------------

_TOKEN = re.compile(r'\s*(?:(\()|(\))|"((?:[^"\\]|\\.)*)"|([^\s()"]+))')
_SCALE = {"s": 1e12, "ms": 1e9, "us": 1e6, "ns": 1e3, "ps": 1.0, "fs": 1e-3}


def _tree(text):
    """The nested lists of an s-expression text; strings stay str, atoms too."""
    stack, pos = [[]], 0
    text = re.sub(r"//[^\n]*|/\*.*?\*/", " ", text, flags=re.S)
    while pos < len(text):
        match = _TOKEN.match(text, pos)
        if match is None:
            if text[pos:].strip():
                raise ValueError(f"SDF: cannot read {text[pos : pos + 20]!r}")
            break
        pos = match.end()
        opening, closing, string, atom = match.groups()
        if opening:
            if len(stack) > MAX_DEPTH:
                raise ValueError(f"SDF: parentheses nested deeper than {MAX_DEPTH}")
            stack.append([])
        elif closing:
            if len(stack) < 2:
                raise ValueError("SDF: ) without (")
            done = stack.pop()
            stack[-1].append(done)
        elif string is not None:
            stack[-1].append(string)
        elif atom is not None:
            stack[-1].append(atom)
    if len(stack) != 1:
        raise ValueError("SDF: ( without )")
    return stack[0]


def _triple(group, scale):
    values = group[0].split(":") if group else []
    try:
        return tuple(float(v) * scale if v else math.nan for v in values)
    except ValueError:
        raise ValueError(f"SDF: not a number: {group[0]}") from None


def _flat(item):
    """An expression group as text: atoms joined by spaces, groups in parentheses."""
    if isinstance(item, list):
        return "(" + " ".join(_flat(w) for w in item) + ")"
    return str(item)


def _port_and_condition(item):
    """``port``, ``(posedge port)`` or ``(COND expr... port)`` -> (port without its
    edge, condition text or None)."""
    condition = None
    if isinstance(item, list) and item and str(item[0]).upper() == "COND":
        condition = " ".join(_flat(w) for w in item[1:-1])
        item = item[-1]
    if isinstance(item, list) and len(item) == 2 and str(item[0]).lower() in _EDGES:
        item = item[1]
    if isinstance(item, list):
        raise ValueError(f"SDF: expected a port, got {_flat(item)}")
    return item, condition


def _is_path(item):
    return bool(item) and str(item[0]).upper() in ("IOPATH", "PORT", "INTERCONNECT", "DEVICE")


_EDGES = ("posedge", "negedge", "01", "10", "0z", "z1", "1z", "z0")


def read_sdf(path_or_text):
    """Read an SDF file (a path, or text with a newline).  Returns a dict:
    ``timescale`` (picoseconds per unit) and ``cells``: cell type ->
    ``{"iopath": [(condition, from, to, (min, typ, max))],
    "checks": [(kind, condition, port, reference, value)]}``, times in ps, ports
    without their edges.  Raises ValueError for a text it cannot read."""
    text = path_or_text
    if "\n" not in path_or_text:
        with open(path_or_text, encoding="utf-8") as stream:
            text = stream.read()
    top = _tree(text)
    if len(top) != 1 or not isinstance(top[0], list) or not top[0]:
        raise ValueError("SDF: expected one (DELAYFILE ...)")
    if str(top[0][0]).upper() != "DELAYFILE":
        raise ValueError("SDF: expected one (DELAYFILE ...)")
    try:
        return _delayfile(top[0])
    except (IndexError, TypeError, AttributeError):
        raise ValueError("SDF: malformed file: a group lacks its fields") from None


def _delayfile(top):
    scale, cells = 1.0, {}
    for entry in top[1:]:
        key = str(entry[0]).upper()
        if key == "TIMESCALE":
            match = re.fullmatch(r"(\d+(?:\.\d*)?)\s*([a-z]+)", "".join(entry[1:]).lower())
            if match is None or match.group(2) not in _SCALE:
                raise ValueError(f"SDF: bad TIMESCALE {' '.join(entry[1:])}")
            scale = float(match.group(1)) * _SCALE[match.group(2)]
        elif key == "CELL":
            name, cell = _cell(entry, scale)
            cells[name] = cell
    return {"timescale": scale, "cells": cells}


def _cell(entry, scale):
    name, cell = None, {"iopath": [], "checks": []}
    for part in entry[1:]:
        key = str(part[0]).upper()
        if key == "CELLTYPE":
            name = part[1]
        elif key == "DELAY":
            for block in part[1:]:
                for group in block[1:]:
                    condition, paths = None, [group]
                    if str(group[0]).upper() == "COND":
                        # a condition, then one or more paths under it
                        paths = [w for w in group[1:] if isinstance(w, list) and _is_path(w)]
                        words = [w for w in group[1:] if not (isinstance(w, list) and _is_path(w))]
                        condition = " ".join(_flat(w) for w in words)
                    for path in paths:
                        if str(path[0]).upper() == "IOPATH":
                            cell["iopath"].append(
                                (condition, path[1], path[2], _triple(path[3], scale))
                            )
        elif key == "TIMINGCHECK":
            for check in part[1:]:
                kind = str(check[0]).upper()
                port, condition = _port_and_condition(check[1])
                reference = port
                if kind != "PERIOD":
                    reference, other = _port_and_condition(check[2])
                    condition = condition or other
                value = _triple(check[-1], scale)[0]
                cell["checks"].append((kind, condition, port, reference, value))
    return name, cell
