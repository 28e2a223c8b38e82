"""SDF (IEEE 1497) files of characterized cells, and a small reader.

One ``CELL`` per characterized cell (``INSTANCE *``: every instance of the
cell type).  ``IOPATH`` delays are ``(min:typ:max)`` over the biases at the
first load, typ at nominal bias; a clocked cell's arcs carry ``COND`` with its
state, written as the data inputs that pulsed since the clock (``d``, or
``!d`` for none).  ``TIMINGCHECK`` holds ``SETUP`` and ``HOLD`` of each data
input against the clock per state, and for an asynchronous cell the minimum
separation of two inputs as ``SETUP first second``, one per order (``PERIOD``
for one input twice): SETUP is the check that ``first`` must come at least the
value before ``second``, which is what the separation is; SKEW bounds a
separation from above, and SETUPHOLD would hide the second order in a hold.
Names are written in lower case, times in picoseconds.
"""

import math
import re

from ..version import __version__

__all__ = ["read_sdf", "sdf_text", "write_sdf"]


def _name(port):
    return port.lower()


def state_condition(result, state):
    """The SDF/Liberty condition of a state label (``"-"``, ``"d"``, ``"a+b"``)."""
    held = set(state.split("+")) if state != "-" else set()
    data = [p for p in result.inputs if p != result.clock]
    return " && ".join(_name(p) if p in held else f"!{_name(p)}" for p in data)


def _number(value):
    return f"{value:.3f}"


def _iopaths(result):
    lines = []
    first = result.delays[result.delays["load"] == result.loads[0]]
    for (source, sink, state), rows in first.groupby(["from", "to", "state"], sort=True):
        values = rows["delay_ps"]
        nominal = rows.loc[(rows["bias"] - 1.0).abs().idxmin(), "delay_ps"]
        if values.isna().any() or math.isnan(nominal):
            raise ValueError(
                f"{result.cell}: {source} -> {sink} in state {state} failed at some bias; "
                "leave that bias out"
            )
        triple = ":".join(_number(v) for v in (values.min(), nominal, values.max()))
        path = f"(IOPATH {_name(source)} {_name(sink)} ({triple}))"
        if result.clock is not None:
            path = f"(COND {state_condition(result, state)} {path})"
        lines.append(f"        {path}")
    return lines


def _checks(result):
    lines = []
    for row in result.constraints.itertuples(index=False):
        if math.isnan(row.value_ps):
            continue
        value = _number(row.value_ps)
        port, reference = _name(row.port), _name(row.reference)
        if row.check == "separation" and port == reference:
            lines.append(f"      (PERIOD {port} ({value}))")
        elif row.check == "separation":
            lines.append(f"      (SETUP {reference} {port} ({value}))")
        else:
            condition = state_condition(result, row.state)
            kind = row.check.upper()
            lines.append(f"      ({kind} (COND {condition} {port}) {reference} ({value}))")
    return lines


def sdf_text(results, design="loxant"):
    """The SDF text of one :class:`~loxant.analysis.characterize.Characterization`
    or a list of them."""
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
        out += ["  (CELL", f'    (CELLTYPE "{_name(result.cell)}")', "    (INSTANCE *)"]
        paths = _iopaths(result)
        if paths:
            out += ["    (DELAY", "      (ABSOLUTE", *paths, "      )", "    )"]
        checks = _checks(result)
        if checks:
            out += ["    (TIMINGCHECK", *checks, "    )"]
        out.append("  )")
    out.append(")")
    return "\n".join(out) + "\n"


def write_sdf(results, path, design="loxant"):
    """Write :func:`sdf_text` to ``path``."""
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(sdf_text(results, design))


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
    return tuple(float(v) * scale if v else math.nan for v in values)


def _port_and_condition(item):
    """``port`` or ``(COND expr... port)`` -> (port, condition text or None)."""
    if isinstance(item, list) and item and item[0].upper() == "COND":
        return item[-1], " ".join(str(w) for w in item[1:-1])
    return item, None


def read_sdf(path_or_text):
    """Read an SDF file (a path, or text with a newline).  Returns a dict:
    ``timescale`` (picoseconds per unit) and ``cells``: cell type ->
    ``{"iopath": [(condition, from, to, (min, typ, max))],
    "checks": [(kind, condition, port, reference, value)]}``, times in ps."""
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
                for path in block[1:]:
                    condition = None
                    if str(path[0]).upper() == "COND":
                        condition = " ".join(str(w) for w in path[1:-1])
                        path = path[-1]
                    if str(path[0]).upper() == "IOPATH":
                        cell["iopath"].append(
                            (condition, path[1], path[2], _triple(path[3], scale))
                        )
        elif key == "TIMINGCHECK":
            for check in part[1:]:
                kind = str(check[0]).upper()
                port, condition = _port_and_condition(check[1])
                reference = check[2] if kind != "PERIOD" else port
                value = _triple(check[-1], scale)[0]
                cell["checks"].append((kind, condition, port, reference, value))
    return name, cell
