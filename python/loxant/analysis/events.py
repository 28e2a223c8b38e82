"""Switching events of junctions and the measures designers take from them.

A junction *switches* each time its phase turns by 2 pi.  The event is dated
where the phase passes an odd multiple of pi (the middle of the turn, where
the voltage pulse peaks), interpolated linearly between the two samples around
it; a turn backwards is an event of sign -1.  Every function here takes the
results of a simulation (:class:`~loxant.simulation.results.Results`), normalised
or SI; times are then in the normalised time unit or in seconds, voltages in the
normalised unit or in volts.

    switching_times(res, "J3")                # times of the 2 pi turns of J3
    delay(res, "J1", "J10")                   # J10's first turn from J1's latest before it
    mean_voltage(res, "J1", t_from=100.0)     # over whole Josephson periods

The classes at the end (:class:`SwitchCount`, :class:`Delay`,
:class:`MeanVoltage`) are the same measures as picklable callables of the
results, for sweeps that run them on other processes.
"""

import math

import numpy as np

from ..simulation.switching import crossings as _crossings
from ..simulation.switching import first_crossing
from ..units import PHI0

__all__ = [
    "Delay",
    "MeanVoltage",
    "SwitchCount",
    "delay",
    "delays",
    "events",
    "first_switch",
    "is_physical",
    "mean_voltage",
    "print_switching_times",
    "switch_count",
    "switching_times",
]

TWO_PI = 2.0 * math.pi


def is_physical(results):
    """True for results in physical units (times in seconds, voltages in volts)."""
    return getattr(results, "units", None) is not None


def _time_and_phase(results, name):
    if is_physical(results):
        return results.time("s"), np.asarray(results.phase(name), dtype=float)
    return np.asarray(results.time, dtype=float), np.asarray(results.phase(name), dtype=float)


def first_switch(results, name):
    """Time of the first switch of element ``name`` either way (see
    :func:`switching_times`), or None if it never switches."""
    return first_crossing(*_time_and_phase(results, name))


def switching_times(results, name, *, direction=None):
    """Times at which the phase of element ``name`` passes an odd multiple of pi,
    interpolated between samples, in order.  ``direction`` = +1 or -1 keeps only
    the forward or the backward turns (default: both)."""
    times, signs = _crossings(*_time_and_phase(results, name), name=name)
    if direction is None:
        return times
    if direction not in (1, -1):
        raise ValueError(f"direction must be +1, -1 or None, got {direction!r}")
    return times[signs == direction]


def events(results, names):
    """Every switching event of the elements ``names``, in order of time, as a list
    of ``(time, name, sign)``; simultaneous events keep the order of ``names``."""
    found = []
    for order, name in enumerate(names):
        times, signs = _crossings(*_time_and_phase(results, name), name=name)
        found += [(float(t), order, name, int(s)) for t, s in zip(times, signs)]
    found.sort(key=lambda event: (event[0], event[1]))
    return [(t, name, sign) for t, _, name, sign in found]


def delays(results, first, second):
    """Delays by causality: each forward turn of ``second`` paired with the latest
    forward turn of ``first`` before it, as ``(cause, effect)`` time pairs (an
    array of two columns); a turn of ``second`` with no turn of ``first`` before
    it has no cause and is left out.  So the clock-to-output delay of a flip-flop
    whose clock ticks before any data arrives is taken from the tick that read
    the data, not from the first tick."""
    a = switching_times(results, first, direction=1)
    b = switching_times(results, second, direction=1)
    before = np.searchsorted(a, b, side="left") - 1  # latest turn of a strictly before
    caused = before >= 0
    return np.column_stack([a[before[caused]], b[caused]]) if len(b) else np.empty((0, 2))


def delay(results, first, second, *, index=0):
    """Delay from ``first`` to the ``index``-th forward turn of ``second`` that
    has a forward turn of ``first`` before it, measured from the latest such
    turn (see :func:`delays`); NaN if there is no such pair."""
    pairs = delays(results, first, second)
    if not -len(pairs) <= index < len(pairs):
        return math.nan
    cause, effect = pairs[index]
    return float(effect - cause)


def _why_no_delay(results, first, second, index):
    """Why :func:`delay` is NaN, in words."""
    a = switching_times(results, first, direction=1)
    b = switching_times(results, second, direction=1)
    if not len(a):
        return f"{first} never switches"
    if not len(b):
        return f"{second} never switches"
    caused = int((b > a[0]).sum())
    return (
        f"{second} switches {caused} time(s) after a switch of {first}, "
        f"no switch number {index + 1 if index >= 0 else index}"
    )


def mean_voltage(results, name, t_from=None, t_to=None):
    """Mean voltage of element ``name`` between ``t_from`` and ``t_to`` (default:
    the whole record), taken over the whole Josephson periods inside the window:
    2 pi times the number of turns between the first and the last passage of the
    same direction, over the time between them, so a window that cuts a period
    does not bias it.  With fewer than two such passages (a junction at rest or
    barely turning) it is the change of phase over the window."""
    time, phase = _time_and_phase(results, name)
    lo = time[0] if t_from is None else t_from
    hi = time[-1] if t_to is None else t_to
    inside = np.flatnonzero((time >= lo) & (time <= hi))
    if len(inside) < 2:
        raise ValueError(f"the window {lo:g}..{hi:g} holds fewer than two samples")
    times, signs = _crossings(time, phase, name=name)
    keep = (times >= lo) & (times <= hi)
    times, signs = times[keep], signs[keep]
    value = None
    if len(times) >= 2:
        sign = 1 if signs.sum() >= 0 else -1
        same = times[signs == sign]
        net = int(signs[(times >= same[0]) & (times <= same[-1])].sum()) if len(same) else 0
        if len(same) >= 2 and same[-1] > same[0] and net:
            # each net turn after the first passage is one period
            value = TWO_PI * (net - sign) / (same[-1] - same[0])
    if value is None:
        k0, k1 = inside[0], inside[-1]
        value = (phase[k1] - phase[k0]) / (time[k1] - time[k0])
    if is_physical(results):
        return float(value * PHI0 / TWO_PI)  # d phase / dt in rad/s to volts
    return float(value)


#: most switching events :func:`print_switching_times` lists in all
MAX_LISTED_EVENTS = 1_000_000


def switch_count(results, name):
    """The number of switches (either way) of element ``name``, counted without
    listing them: memory in proportion to the samples, whatever the turns."""
    time, phase = _time_and_phase(results, name)
    if len(phase) < 2:
        return 0
    index = np.floor((phase + math.pi) / TWO_PI)
    return int(np.abs(np.diff(index)).sum())


def print_switching_times(results, names, stream=None, limit=None):
    """Print, per junction of ``names``, its number of switches and the time of
    each (picoseconds for physical results); a backward switch (a turn of -2 pi)
    is printed with a minus sign, as the legend says.  More than ``limit``
    (default :data:`MAX_LISTED_EVENTS`) switches in all are refused (ValueError)
    before any is listed."""
    import sys

    stream = sys.stdout if stream is None else stream
    limit = MAX_LISTED_EVENTS if limit is None else limit
    counts = {name: switch_count(results, name) for name in names}
    total = sum(counts.values())
    if total > limit:
        busiest = max(counts, key=counts.get)
        raise ValueError(
            f"{total:,} switches to list, more than {limit:,} ({busiest} alone "
            f"switches {counts[busiest]:,} times): shorten the run or list fewer junctions"
        )
    physical = is_physical(results)
    unit, scale = ("ps", 1e12) if physical else ("", 1.0)
    print(
        f"switching times{f' ({unit})' if unit else ''}; sign = direction: t a forward "
        "switch (+2 pi), -t a backward one (-2 pi):",
        file=stream,
    )
    width = max((len(name) for name in names), default=8)
    for name in names:
        times, signs = _crossings(*_time_and_phase(results, name), name=name)
        written = " ".join(
            f"{'-' if sign < 0 else ''}{t * scale:.3f}" for t, sign in zip(times, signs)
        )
        print(f"  {name:<{width}} {len(times):4d}  {written or '-'}", file=stream)


class SwitchCount:
    """Measure: the net number of 2 pi turns of element ``name``."""

    unit = None

    def __init__(self, name):
        self.name = name

    def __call__(self, results):
        # the net turns, from the first and last samples alone: no event is listed
        _, phase = _time_and_phase(results, self.name)
        if len(phase) < 2:
            return 0
        first, last = np.floor((phase[[0, -1]] + math.pi) / TWO_PI)
        return int(last - first)

    def probes(self):
        return [self.name]

    def __repr__(self):
        return f"SwitchCount({self.name!r})"


class Delay:
    """Measure: :func:`delay` from ``first`` to ``second``: the ``index``-th
    switch of ``second`` from the latest switch of ``first`` before it."""

    unit = "s"  # on physical results

    def __init__(self, first, second, index=0):
        if isinstance(index, bool) or not isinstance(index, int):
            raise TypeError(f"Delay: index must be an integer, got {index!r}")
        self.first, self.second, self.index = first, second, index

    def __call__(self, results):
        return delay(results, self.first, self.second, index=self.index)

    def explain_nan(self, results):
        """Why the delay could not be taken on ``results``."""
        return _why_no_delay(results, self.first, self.second, self.index)

    def probes(self):
        return [self.first, self.second]

    def __repr__(self):
        return f"Delay({self.first!r}, {self.second!r}, index={self.index})"


class MeanVoltage:
    """Measure: :func:`mean_voltage` of ``name`` over a window."""

    unit = "V"  # on physical results

    def __init__(self, name, t_from=None, t_to=None):
        self.name, self.t_from, self.t_to = name, t_from, t_to

    def __call__(self, results):
        return mean_voltage(results, self.name, self.t_from, self.t_to)

    def probes(self):
        return [self.name]

    def __repr__(self):
        return f"MeanVoltage({self.name!r}, t_from={self.t_from!r}, t_to={self.t_to!r})"
