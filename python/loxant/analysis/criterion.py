"""The default correctness criterion: the same switching events as the nominal run.

From the nominal simulation the expected behaviour is the sequence of
switching events (every 2 pi turn, see :mod:`loxant.analysis.events`) of the
junctions named, or of every junction.  A run passes when it has the same
events, of the same junctions and directions, in the same order, each within
``window`` of its nominal time, and no others.
"""

import math

from .. import elements as el
from .events import events, is_physical

__all__ = ["DEFAULT_WINDOW", "EventCriterion", "junction_names", "window_in"]

#: default timing window: 10 ps for physical circuits, 10 time units for normalised ones
DEFAULT_WINDOW = "10ps"
_DEFAULT_NORMALISED_WINDOW = 10.0


def junction_names(elements):
    """Names of the junctions among ``elements``."""
    return [e.name for e in elements if isinstance(e, (el.Junction, el.JunctionTJM))]


def window_in(window, physical):
    """The timing window as a number in the results' time unit: seconds for
    physical results (``window`` a number of seconds or a string such as
    ``"5ps"``), the normalised unit otherwise."""
    from ..units import to_si

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


class EventCriterion:
    """Passes results with the nominal switching events within ``window``.

    ``expected`` is the list of ``(time, junction, sign)`` of the nominal run
    (:func:`loxant.analysis.events.events`), ``names`` the junctions watched.
    """

    def __init__(self, expected, names, window):
        self.expected = [(float(t), str(n), int(s)) for t, n, s in expected]
        self.names = list(names)
        self.window = float(window)

    @classmethod
    def from_results(cls, results, names, window=None):
        """The criterion of a nominal run's ``results``."""
        return cls(events(results, names), names, window_in(window, is_physical(results)))

    def __call__(self, results):
        found = events(results, self.names)
        if len(found) != len(self.expected):
            return False, f"{len(found)} switching events instead of {len(self.expected)}"
        for k, ((t, name, sign), (t0, name0, sign0)) in enumerate(zip(found, self.expected)):
            if (name, sign) != (name0, sign0):
                turn = "turn" if sign0 > 0 else "backward turn"
                return False, f"event {k + 1}: {name} instead of the {turn} of {name0}"
            if abs(t - t0) > self.window:
                return False, f"event {k + 1} ({name}) at {t:.6g} instead of {t0:.6g}"
        return True, ""

    def probes(self):
        """The elements whose series the criterion reads."""
        return list(self.names)

    def __repr__(self):
        return f"<EventCriterion: {len(self.expected)} events of {len(self.names)} junctions>"
