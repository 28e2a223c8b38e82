"""Trace files as the simulators of the field write them, in SI units.

A trace is ``(label, unit, values)`` with ``label`` such as ``"P(B1)"``, unit
"rad", "V" or "A"; every writer takes the time axis in seconds and a list of
traces, in order:

* :func:`write_csv`: ``time,"P(B1)","V(2)"`` then one comma-separated row per sample;
* :func:`write_dat`: the same, space-separated, header ``time P(B1) V(2)``;
* :func:`write_raw`: an ASCII SPICE raw file (one plot, real values).

:func:`write_traces` picks the writer from the file name: ``.csv``, ``.dat``,
anything else raw.
"""

import datetime
import importlib
import os

import numpy as np

__all__ = [
    "FORMATS",
    "format_of",
    "write_csv",
    "write_dat",
    "write_raw",
    "write_table",
    "write_traces",
]

#: variable type of each unit in a raw file
_RAW_TYPES = {"rad": "phase", "V": "voltage", "A": "current"}


#: rows formatted per call of the native formatter: bounds the text held at once
_BLOCK_ROWS = 1 << 14


def _formatter():
    """The module ``loxant.NativeEngine``, whose functions format the rows."""
    try:
        return importlib.import_module("loxant.NativeEngine")
    except ImportError as exc:
        raise ImportError(
            f"loxant.NativeEngine is not built or cannot be loaded ({exc}); "
            "build the native modules first"
        ) from exc


def _table(time, traces):
    """The columns side by side as float64, negative zeros made positive."""
    return np.column_stack([time] + [values for _, _, values in traces]).astype(float) + 0.0


def write_table(path, header, table, separator=","):
    """Write the text ``header`` (with its line end), then each row of the 2-D
    ``table``: every value as ``"%.17g" % value``, ``separator`` between them."""
    table = np.asarray(table, dtype=float)
    format_rows = _formatter().format_rows
    with open(path, "wb") as stream:
        stream.write(header.encode())
        for start in range(0, len(table), _BLOCK_ROWS):
            stream.write(format_rows(table[start : start + _BLOCK_ROWS], separator))


def write_csv(path, time, traces):
    header = ["time"] + ['"' + label.replace('"', '""') + '"' for label, _, _ in traces]
    write_table(path, ",".join(header) + "\n", _table(time, traces))


def write_dat(path, time, traces):
    header = ["time"] + [label for label, _, _ in traces]
    write_table(path, " ".join(header) + "\n", _table(time, traces), separator=" ")


def write_raw(path, time, traces, title=""):
    lines = [
        f"Title: {title or os.path.basename(os.fspath(path))}",
        f"Date: {datetime.datetime.now().strftime('%a %b %d %H:%M:%S %Y')}",
        "Plotname: Transient Analysis",
        "Flags: real",
        f"No. Variables: {len(traces) + 1}",
        f"No. Points: {len(time)}",
        "Variables:",
        "\t0\ttime\ttime",
    ]
    lines += [f"\t{k}\t{label}\t{_RAW_TYPES[unit]}" for k, (label, unit, _) in enumerate(traces, 1)]
    lines.append("Values:")
    table = _table(time, traces)
    format_raw_rows = _formatter().format_raw_rows
    with open(path, "wb") as stream:
        stream.write(("\n".join(lines) + "\n").encode())
        for start in range(0, len(table), _BLOCK_ROWS):
            stream.write(format_raw_rows(table[start : start + _BLOCK_ROWS], start))


FORMATS = {"csv": write_csv, "dat": write_dat, "raw": write_raw}


def format_of(path):
    """ "csv", "dat" or "raw" (every other name) for an output file name."""
    extension = os.path.splitext(os.fspath(path))[1].lower()
    return {".csv": "csv", ".dat": "dat"}.get(extension, "raw")


def write_traces(path, time, traces, title=""):
    """Write ``traces`` to ``path`` in the format its name asks for; returns the format."""
    kind = format_of(path)
    if kind == "raw":
        write_raw(path, time, traces, title)
    else:
        FORMATS[kind](path, time, traces)
    return kind
