"""The default correctness criterion: each watched junction switches as at nominal.

From the nominal simulation the expected behaviour of every watched junction
is its own sequence of switching events (every 2 pi turn, see
:mod:`loxant.analysis.events`).  A run passes when each watched junction
switches the same number of times, in the same directions and order, each
switch within ``window`` of its nominal time.  Order is judged per junction
only: two junctions of different cells whose switches trade places within the
window are still working, so the criterion judges what a circuit does, not the
exact interleaving of its events.

Which junctions are watched: those named, else the outputs of the design (the
junctions a netlist's ``.print`` requests name or touch), else all.
"""

import math

from ..kinds import kind_of
from ..simulation.stop_rule import StopRule
from ..units import to_si
from .events import events, is_physical, switch_count

__all__ = ["DEFAULT_WINDOW", "EventCriterion", "junction_names", "window_in"]

#: default timing window: 10 ps for physical circuits, 10 time units for normalised ones
DEFAULT_WINDOW = "10ps"
_DEFAULT_NORMALISED_WINDOW = 10.0


def junction_names(elements):
    """Names of the junctions among ``elements``."""
    return [e.name for e in elements if kind_of(e).junction]


def window_in(window, physical):
    """The timing window as a number in the results' time unit: seconds for
    physical results (``window`` a number of seconds or a string such as
    ``"5ps"``), the normalised unit otherwise."""
    if window is None:
        return to_si(DEFAULT_WINDOW, "s") if physical else _DEFAULT_NORMALISED_WINDOW
    if isinstance(window, str):
        if not physical:
            raise ValueError("a window with a unit needs a physical circuit")
        value = to_si(window, "s")
    else:
        value = float(window)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"the timing window must be positive, got {window!r}")
    return value


def _switches(count):
    return f"{count} switch{'' if count == 1 else 'es'}"


def _format_time(t, physical):
    return f"{t * 1e12:.3f} ps" if physical else f"{t:.6g}"


class EventCriterion:
    """Passes results in which every junction of ``names`` switches as in
    ``expected`` (the ``(time, junction, sign)`` events of the nominal run,
    :func:`loxant.analysis.events.events`), each switch within ``window``.

    ``physical`` only sets how times read in the messages (picoseconds)."""

    def __init__(self, expected, names, window, physical=False):
        self.names = list(names)
        self.window = float(window)
        self.physical = bool(physical)
        self.expected = [(float(t), str(n), int(s)) for t, n, s in expected]
        #: per junction, its nominal (time, sign) switches in order
        self.per_junction = {name: [] for name in self.names}
        for t, name, sign in self.expected:
            if name in self.per_junction:
                self.per_junction[name].append((t, sign))

    @classmethod
    def from_results(cls, results, names, window=None):
        """The criterion of a nominal run's ``results``."""
        physical = is_physical(results)
        return cls(events(results, names), names, window_in(window, physical), physical)

    def __call__(self, results):
        # counted first: a junction running away may turn billions of times, which
        # are not worth listing to say that they are too many
        for name in self.names:
            count, wanted = switch_count(results, name), len(self.per_junction[name])
            if count != wanted:
                return False, f"{name}: {_switches(count)} instead of {wanted}"
        found = {name: [] for name in self.names}
        for t, name, sign in events(results, self.names):
            found[name].append((t, sign))
        for name in self.names:
            verdict = self._judge(name, found[name], self.per_junction[name])
            if verdict:
                return False, verdict
        return True, ""

    def _judge(self, name, found, expected):
        """Why ``name``'s switches ``found`` differ from ``expected``, or ''.  A
        switch missing or extra is told by the counts: pairing the k-th switches
        then would blame the wrong one."""
        if len(found) != len(expected):
            return f"{name}: {_switches(len(found))} instead of {len(expected)}"
        for k, ((t, sign), (t0, sign0)) in enumerate(zip(found, expected), 1):
            if sign != sign0:
                turn = "forward" if sign0 > 0 else "backward"
                return f"{name}: switch {k} turns the wrong way (nominal {turn})"
            if abs(t - t0) > self.window:
                at, then = (_format_time(x, self.physical) for x in (t, t0))
                early = "late" if t > t0 else "early"
                return f"{name}: switch {k} {early}, at {at} instead of {then}"
        return ""

    def probes(self):
        """The elements whose series the criterion reads."""
        return list(self.names)

    def stop_rule(self, time_scale=1.0):
        """The engine's rule that ends a run at its first failure here; the
        results' time unit is ``time_scale`` times the run's own."""
        switches = [self.per_junction[name] for name in self.names]
        return StopRule.switches(self.names, switches, self.window, time_scale)

    def explain_stop(self, report):
        """The message of a run the rule stopped (its ``report``), in the words
        of a full run's verdict where the two meet."""
        name = self.names[report["junction"]]
        k, wanted = report["index"], len(self.per_junction[name])
        kind = report["kind"]
        if kind == "extra switch":
            return f"{name}: {_switches(k + 1)} or more instead of {wanted}"
        t0, sign0 = self.per_junction[name][k]
        nominal = _format_time(t0, self.physical)
        if kind == "wrong direction":
            turn = "forward" if sign0 > 0 else "backward"
            return f"{name}: switch {k + 1} turns the wrong way (nominal {turn})"
        if kind == "missing":
            at = _format_time(report["time"], self.physical)
            return f"{name}: switch {k + 1} late, none by {at} (nominal {nominal})"
        at = _format_time(report["value"], self.physical)
        return f"{name}: switch {k + 1} {kind}, at {at} instead of {nominal}"

    def __repr__(self):
        return f"<EventCriterion: {len(self.expected)} events of {len(self.names)} junctions>"
