"""Expected switching as a table, in the file format of josim-tools.

A file of expected switching says how many times each junction has switched by
given times::

    time   B1|XIN  B1|XDUT  B2|XDUT
    10e-12   0       0        0
    35e-12  -1       0       -1
    55e-12  -2      -1       -1

The first line is ``time`` and the junction names (as the peer spells its
traces: ``B1|XDUT`` for B1 of instance XDUT, innermost instance first; any
case, ``.`` or ``|``).  The next line calibrates: its time and counts are the
reference the phases at later times are measured from, so the phase the bias
currents give at rest does not count.  Every further line is a time and the
counts each junction must have reached by then.  Blank lines are skipped;
times are plain numbers in seconds (``4.00E-011``), counts integers.

A run passes when at every time of the table, for every junction,

    | (phase(t) - phase(t_cal)) / 2 pi - (count(t) - count(t_cal)) | <= threshold

the phases linearly interpolated between the recorded samples around ``t``
(held at the ends): josim-tools' verdict.  The first line that fails names the
first junction in the header's order that is off.
"""

import math
import os
from dataclasses import dataclass

import numpy as np

from ..simulation.stop_rule import StopRule
from .events import is_physical

__all__ = [
    "DEFAULT_THRESHOLD",
    "ExpectedCriterion",
    "ExpectedSwitching",
    "ExpectedSwitchingError",
    "Violation",
    "read_expected",
]

#: largest distance from the expected count, in turns of 2 pi: josim-tools' default
DEFAULT_THRESHOLD = 0.05
TWO_PI = 2.0 * math.pi
#: most junctions and lines a file of expected switching may have (any larger is
#: not such a table)
MAX_COLUMNS = 10_000
MAX_LINES = 1_000_000


class ExpectedSwitchingError(ValueError):
    """A file of expected switching that cannot be read; the message names the
    file and line."""


@dataclass(frozen=True)
class ExpectedSwitching:
    """A file of expected switching, read: junction ``names`` as written, ``times`` (seconds, one
    per line, the calibration first) and ``counts`` (a list per line)."""

    names: tuple
    times: tuple
    counts: tuple
    source: str = "<expected>"

    @classmethod
    def parse(cls, text, source="<expected>"):
        """The table in ``text``; ExpectedSwitchingError naming ``source`` and the line."""
        rows = []
        for number, line in enumerate(text.splitlines(), 1):
            tokens = line.split()
            if tokens:
                rows.append((number, tokens))
            if len(rows) > MAX_LINES:
                raise ExpectedSwitchingError(f"{source}:{number}: more than {MAX_LINES} lines")
        if not rows:
            raise ExpectedSwitchingError(f"{source}: empty: expected a line 'time NAME ...'")
        number, header = rows[0]
        if header[0].lower() != "time":
            raise ExpectedSwitchingError(
                f"{source}:{number}: the first line must be 'time NAME ...'"
            )
        names = tuple(header[1:])
        if not names:
            raise ExpectedSwitchingError(f"{source}:{number}: no junction named after 'time'")
        if len(names) > MAX_COLUMNS:
            raise ExpectedSwitchingError(f"{source}:{number}: more than {MAX_COLUMNS} junctions")
        folded = [name.replace(".", "|").casefold() for name in names]
        twice = [name for name, key in zip(names, folded) if folded.count(key) > 1]
        if twice:
            raise ExpectedSwitchingError(f"{source}:{number}: junction {twice[0]} is named twice")
        if len(rows) < 3:
            raise ExpectedSwitchingError(
                f"{source}: needs a calibration line and at least one line of counts "
                "after the names"
            )
        times, counts = [], []
        for number, tokens in rows[1:]:
            time, row = _data_line(tokens, len(names), f"{source}:{number}")
            if times and not time > times[-1]:
                raise ExpectedSwitchingError(
                    f"{source}:{number}: time {tokens[0]} is not after the line before"
                )
            times.append(time)
            counts.append(row)
        return cls(names, tuple(times), tuple(counts), source)

    def relative_counts(self):
        """Counts after the calibration line less its counts (an array)."""
        table = np.asarray(self.counts, dtype=float)
        return table[1:] - table[0]


def _data_line(tokens, width, where):
    if len(tokens) != width + 1:
        raise ExpectedSwitchingError(
            f"{where}: {len(tokens)} fields, expected a time and {width} counts"
        )
    try:
        time = float(tokens[0])
    except ValueError:
        raise ExpectedSwitchingError(f"{where}: the time {tokens[0]!r} is not a number") from None
    if not math.isfinite(time):
        raise ExpectedSwitchingError(f"{where}: the time {tokens[0]!r} is not finite")
    try:
        row = tuple(int(token) for token in tokens[1:])
    except ValueError:
        bad = next(t for t in tokens[1:] if not _is_integer(t))
        raise ExpectedSwitchingError(f"{where}: the count {bad!r} is not an integer") from None
    return time, row


def _is_integer(token):
    try:
        int(token)
    except ValueError:
        return False
    return True


def read_expected(path):
    """The :class:`ExpectedSwitching` of the file at ``path``."""
    try:
        with open(path, encoding="utf-8") as stream:
            text = stream.read(64 * MAX_LINES)
    except (OSError, UnicodeDecodeError) as exc:
        raise ExpectedSwitchingError(
            f"cannot read the file of expected switching {os.fspath(path)}: {exc}"
        ) from None
    return ExpectedSwitching.parse(text, os.fspath(path))


@dataclass(frozen=True)
class Violation:
    """The first place a run leaves its expected switching: ``junction`` at ``time`` had
    ``count`` switches (measured, from its ``phase``) where ``expected`` were due."""

    junction: str
    time: float
    count: float
    expected: int
    phase: float
    physical: bool = True

    def __str__(self):
        at = f"{self.time * 1e12:.6g} ps" if self.physical else f"t = {self.time:.6g}"
        return (
            f"{self.junction} at {at}: {self.count:.3f} switches where {self.expected} are "
            f"expected (phase {self.phase:.4f} rad)"
        )


class ExpectedCriterion:
    """Passes the results that follow ``table`` (an :class:`ExpectedSwitching`)
    within ``threshold`` turns; ``names`` are the table's junctions as the circuit
    spells them, in the table's order.  Returns ``(passed, message)``."""

    def __init__(self, table, names, threshold=DEFAULT_THRESHOLD, physical=True):
        threshold = float(threshold)
        if not (math.isfinite(threshold) and threshold > 0):
            raise ValueError(f"the threshold must be a positive number of turns, got {threshold}")
        if len(names) != len(table.names):
            raise ValueError("one circuit name is needed per junction of the table")
        self.table = table
        self.names = list(names)
        self.threshold = threshold
        #: whether times are seconds (how a stopped run's message reads them)
        self.physical = bool(physical)

    @classmethod
    def for_design(cls, table, design, threshold=None):
        """The criterion of ``table`` (an ExpectedSwitching, or the path of its file) on ``design``:
        each junction named in it must be a junction of the circuit."""
        if not isinstance(table, ExpectedSwitching):
            table = read_expected(table)
        names = []
        for name in table.names:
            try:
                names.append(design.junction_name(name))
            except ValueError:
                raise ValueError(
                    f"{table.source}: no junction named {name} in the circuit"
                ) from None
        threshold = DEFAULT_THRESHOLD if threshold is None else threshold
        return cls(table, names, threshold, design.units is not None)

    def first_violation(self, results):
        """The first :class:`Violation` of the expected switching in ``results``, or None."""
        physical = is_physical(results)
        time = results.time("s") if physical else np.asarray(results.time, dtype=float)
        times = np.asarray(self.table.times, dtype=float)
        calibration = np.asarray(self.table.counts[0])
        expected = self.table.relative_counts()
        sampled = np.empty((len(self.names), len(times)))
        for column, name in enumerate(self.names):
            sampled[column] = np.interp(times, time, np.asarray(results.phase(name), dtype=float))
        turns = (sampled[:, 1:] - sampled[:, :1]) / TWO_PI
        off = np.abs(turns - expected.T) > self.threshold
        if not off.any():
            return None
        line = int(np.flatnonzero(off.any(axis=0))[0])
        column = int(np.flatnonzero(off[:, line])[0])
        return Violation(
            self.names[column],
            float(times[line + 1]),
            float(calibration[column] + turns[column, line]),
            int(self.table.counts[line + 1][column]),
            float(sampled[column, line + 1]),
            physical,
        )

    def __call__(self, results):
        violation = self.first_violation(results)
        return (True, "") if violation is None else (False, str(violation))

    def probes(self):
        """The junctions whose phases the criterion reads."""
        return list(self.names)

    def stop_rule(self, time_scale=1.0):
        """The engine's rule that ends a run at the first line it fails; the
        results' time unit is ``time_scale`` times the run's own."""
        relative = self.table.relative_counts().tolist()
        return StopRule.counts(self.names, self.table.times, relative, self.threshold, time_scale)

    def explain_stop(self, report):
        """The message of a run the rule stopped (its ``report``): its violation."""
        column, line = report["junction"], report["index"]
        count = self.table.counts[0][column] + report["value"]
        expected = self.table.counts[line][column]
        name = self.names[column]
        violation = Violation(name, report["time"], count, expected, report["phase"], self.physical)
        return str(violation)

    def __repr__(self):
        return (
            f"<ExpectedCriterion: {len(self.names)} junctions at {len(self.table.times) - 1} times, "
            f"threshold {self.threshold:g}>"
        )
