"""Ending a run once it has failed: :class:`StopRule`.

An analysis that judges many runs by the same criterion only needs a failed
run to be known as failed.  The native engine can judge the junction phases it
records, step by step, against what the criterion expects, and end the run at
the first failure that nothing later can undo; it then raises
:class:`~loxant.errors.RunStopped` (its ``report`` says what failed) instead of
returning results.  Two rules:

* ``StopRule.switches``: each watched junction switches (its phase passes an
  odd multiple of pi) as listed, in order, the same way, each within
  ``window`` of its time; a switch more, the wrong way, out of its window, or
  missing once its window has passed, stops the run;
* ``StopRule.counts``: at each time of a table, the phase of each junction,
  less its phase at the first time, is the listed count of 2 pi turns within
  ``threshold``.

Times are in the unit of ``time_scale`` times the run's own time unit (1: the
normalised unit; a physical circuit's seconds per unit: seconds).  The rule
reads the samples the run records, so with ``record_every`` above 1 it judges
what an analysis of the results would judge.  The Python reference engine
ignores the rule and runs to the end.
"""

import math
from dataclasses import dataclass

from ..errors import CircuitError

__all__ = ["STOP_KINDS", "StopRule"]

#: what a stopped run's report ``kind`` means, by the engine's code
STOP_KINDS = {
    1: "extra switch",
    2: "wrong direction",
    3: "early",
    4: "late",
    5: "missing",
    6: "count off",
}


@dataclass(frozen=True)
class StopRule:
    """A rule of the native engine (see the module); make one with
    :meth:`switches` or :meth:`counts`."""

    mode: str
    junctions: tuple
    times: tuple
    signs: tuple = ()
    relative: tuple = ()
    window: float = 0.0
    threshold: float = 0.0
    time_scale: float = 1.0

    @classmethod
    def switches(cls, junctions, switches, window, time_scale=1.0):
        """``switches``: per junction of ``junctions``, its ``(time, sign)``
        switches in order."""
        junctions = tuple(str(name) for name in junctions)
        if len(switches) != len(junctions):
            raise CircuitError("stop rule: one list of switches per junction")
        times = tuple(tuple(float(t) for t, _ in per) for per in switches)
        signs = tuple(tuple(1 if s > 0 else -1 for _, s in per) for per in switches)
        rule = cls("switches", junctions, times, signs, window=float(window))
        return rule._scaled(time_scale)

    @classmethod
    def counts(cls, junctions, times, relative, threshold, time_scale=1.0):
        """``relative[k][j]``: the turns of junction j at ``times[k + 1]`` since
        ``times[0]``."""
        junctions = tuple(str(name) for name in junctions)
        rows = tuple(tuple(float(v) for v in row) for row in relative)
        if len(rows) != len(times) - 1 or any(len(row) != len(junctions) for row in rows):
            raise CircuitError("stop rule: one count per junction at each time after the first")
        rule = cls(
            "counts",
            junctions,
            tuple(float(t) for t in times),
            relative=rows,
            threshold=float(threshold),
        )
        return rule._scaled(time_scale)

    def _scaled(self, time_scale):
        scale = float(time_scale)
        numbers = [scale, self.window, self.threshold]
        if not all(math.isfinite(x) for x in numbers) or scale <= 0:
            raise CircuitError("stop rule: time_scale, window and threshold must be finite")
        return StopRule(
            self.mode,
            self.junctions,
            self.times,
            self.signs,
            self.relative,
            self.window,
            self.threshold,
            scale,
        )

    def engine_settings(self, plan):
        """The rule as the native engine takes it, junctions by the element index
        and sign of their recorded phase in ``plan`` (a RecordPlan); None when the
        run does not record the phase of one of them (it then runs to the end)."""
        recorded = plan.columns["phase"]
        first = plan.first_column["phase"]
        watched = []
        for name in self.junctions:
            if name not in recorded:
                return None
            _, index, sign = plan.channels[first + recorded.index(name)]
            watched.append((int(index), float(sign)))
        settings = {"mode": self.mode, "watched": watched, "time_scale": self.time_scale}
        if self.mode == "switches":
            settings.update(
                times=[list(t) for t in self.times], signs=[list(s) for s in self.signs]
            )
            settings["window"] = self.window
        else:
            settings.update(times=list(self.times), threshold=self.threshold)
            settings["relative"] = [v for row in self.relative for v in row]
        return settings
