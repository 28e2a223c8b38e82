"""Optimisation: the values of some parameters that widen the critical margin.

The critical margin of a design is the smallest low or high margin over every
parameter judged (see :mod:`loxant.analysis.margins`).  Its search is a
pattern search in the sense of Hooke and Jeeves (1961), as surveyed by Kolda,
Lewis and Torczon, "Optimization by direct search" (SIAM Review 45, 2003),
with three changes for margins:

* a trial design is never margined in full.  It is asked one question: does
  every judged parameter still pass at the current critical margin plus the
  resolution?  The runs go in order of how likely they are to fail (the bound
  that failed last first, then the narrowest bounds of the last full margin
  table), and the first failure ends the question: most trials cost the nominal
  run and one or two more;
* the first moves are centring moves: each optimised parameter goes towards
  the middle of its own passing interval, which the margin bisections of the
  starting design found (the boundary points of the working region);
* after the coordinate moves, random directions are tried (the maximin of
  margins has kinks where no single parameter helps), and a move that succeeded
  is repeated (the pattern move) before the step halves.

Every point tried lies within the bounds; parameters are changed as
multipliers of their starting values, steps taken on a log scale.  With the
default criterion each design is judged against its own nominal run (as
``loxant margins`` judges the written netlist), and a design whose nominal run
switches differently from the start's (other counts or directions) is refused.
"""

import copy
import math
import numbers
import time

import numpy as np

from .common import make_design, nominal_criterion
from .design import GLOBAL_BIAS, Design
from .margins import _choose_dut, _expanded, _limits, _resolution, margins
from .runner import Outcome, Run, Runner

__all__ = ["OptimizeResult", "optimize"]

#: first step of the pattern search, on a log scale (about 15 %)
FIRST_STEP = 0.15
#: smallest step: the search ends when the step halves below it
SMALLEST_STEP = 0.01
#: searches again from the first step after one that ended higher than it began
RESTARTS = 2
#: fractions of the centring move tried, largest first
CENTRING = (1.0, 0.5, 0.25)


class CentredDesign(Design):
    """A design with some parameters at multipliers of their starting values:
    its nominal circuit is that point, and every run scales from there."""

    @classmethod
    def at(cls, design, centre):
        centred = copy.copy(design)
        centred.__class__ = cls
        centred.base = design if not isinstance(design, CentredDesign) else design.base
        centred.centre = dict(centre)
        base = centred.base
        params = {n: m for n, m in centre.items() if n in base.param_names}
        centred.param_centre = {n: base.param_names[n] * m for n, m in params.items()}
        centred.element_centre = {n: m for n, m in centre.items() if n not in params}
        centred.param_names = dict(base.param_names) | centred.param_centre
        centred._nominal = centred.build()
        return centred

    def build(self, multipliers=None, values=None, rng=None):
        merged = dict(self.element_centre)
        for name, factor in (multipliers or {}).items():
            merged[name] = merged.get(name, 1.0) * factor
        given = dict(self.param_centre)
        given.update(values or {})
        return Design.build(self, merged, given, rng)


class OptimizeResult:
    """What :func:`optimize` found.

    ``values``: {parameter: multiplier of its starting value} of the best design
    (every optimised parameter); ``before`` and ``after``: the
    :class:`~loxant.analysis.margins.MarginResult` of the starting and the best
    design; ``table``: both side by side; ``runs``: one row per simulation;
    ``changes``: the parameters whose value changed, with old and new values;
    ``stats``: runs, time, steps and why the search stopped.
    """

    def __init__(self, design, values, before, after, runs, stats):
        self.design = design
        self.values = values
        self.before = before
        self.after = after
        self.runs = runs
        self.stats = stats

    @property
    def critical_before(self):
        return self.before.critical_margin

    @property
    def critical_after(self):
        return self.after.critical_margin

    @property
    def table(self):
        import pandas as pd

        left = self.before.table[["parameter", "nominal", "low %", "high %"]]
        right = self.after.table[["parameter", "nominal", "low %", "high %"]]
        table = pd.merge(left, right, on="parameter", suffixes=(" before", " after"), sort=False)
        return table

    @property
    def changes(self):
        import pandas as pd

        rows = [
            {
                "parameter": name,
                "start": self.design.nominal(name),
                "new": self.design.nominal(name) * factor,
                "multiplier": factor,
            }
            for name, factor in self.values.items()
            if factor != 1.0
        ]
        return pd.DataFrame(rows, columns=["parameter", "start", "new", "multiplier"])

    def __repr__(self):
        return (
            f"<OptimizeResult: critical margin {self.critical_before:.1f} % -> "
            f"{self.critical_after:.1f} %, {self.stats.get('runs')} runs>"
        )


def optimize(
    netlist_or_circuit,
    params,
    *,
    bounds=(0.5, 2.0),
    margins_of=None,
    global_bias=True,
    dut="auto",
    criterion=None,
    junctions=None,
    window=None,
    watch=None,
    expected=None,
    threshold=None,
    limits=(-60.0, 60.0),
    resolution=1.0,
    max_time=None,
    max_runs=None,
    seed=0,
    client="auto",
    progress=True,
    t_stop=None,
    dt=None,
    **options,
):
    """Values of ``params`` (names or glob patterns as in :func:`margins`) that
    maximise the critical margin over ``params``, ``margins_of`` and, with
    ``global_bias``, the global bias; returns an :class:`OptimizeResult`.

    ``bounds``: ``(low, high)`` multipliers of every starting value, or one
    pair per entry of ``params``; no design outside them is tried.
    ``max_time`` (seconds) and ``max_runs`` stop the search with the best design
    so far.  ``seed`` seeds the random directions.  The other arguments mean
    what they mean for :func:`margins`.
    """
    started = time.perf_counter()
    low, high = _limits(limits)
    step = _resolution(resolution, low, high) * 100
    _check_budget(max_time, max_runs)
    design, names = prepare(netlist_or_circuit, params, dut=dut, t_stop=t_stop, dt=dt, **options)
    box = _bounds(design, names, bounds, params)
    judged = _judged(design, names, margins_of, global_bias)
    settings = dict(criterion=criterion, junctions=junctions, window=window, watch=watch)
    if expected is not None or threshold is not None:  # only where it is given
        settings.update(expected=expected, threshold=threshold)
    shared = dict(settings, limits=(low, high), resolution=resolution, dut=design.dut)
    before = margins(design, judged, global_bias=False, progress=progress, client=client, **shared)
    search = _Search(design, names, box, judged, before, settings, (low, high), step, seed)
    # the margins after take about as long as those before: time kept for them
    deadline = None if max_time is None else 2 * started + max_time - time.perf_counter()
    with Runner(client, progress=False, description="optimize") as runner:
        with _Progress(progress, started, max_time) as bar:
            search.run(runner, deadline, max_runs, bar)
    best = CentredDesign.at(design, search.best)
    after = margins(best, judged, global_bias=False, progress=progress, client=client, **shared)
    runs = search.log_table(before, after)
    stats = {
        "runs": len(runs),
        "wall_time": time.perf_counter() - started,
        "trials": search.trials,
        "moves": search.moves,
        "stopped": search.stopped,
    }
    return OptimizeResult(design, dict(search.best), before, after, runs, stats)


def prepare(netlist_or_circuit, params, *, dut="auto", t_stop=None, dt=None, **options):
    """The design of ``netlist_or_circuit`` with its cell under test chosen, and the
    canonical names of ``params`` (patterns expanded): what :func:`optimize`
    changes, known before any run."""
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    _choose_dut(design, dut)
    return design, _names(design, params, "params")


def _check_budget(max_time, max_runs):
    if max_time is not None and not (isinstance(max_time, (int, float)) and max_time > 0):
        raise ValueError(f"max_time must be a positive number of seconds, got {max_time!r}")
    if max_runs is not None and not (isinstance(max_runs, int) and max_runs > 0):
        raise ValueError(f"max_runs must be a positive whole number, got {max_runs!r}")


def _names(design, params, what):
    if params is None:
        return []
    names = _expanded(design, [params] if isinstance(params, str) else list(params))
    twice = {n for n in names if names.count(n) > 1}
    if twice:
        raise ValueError(f"{what}: parameter {sorted(twice)[0]!r} is named twice")
    return names


def _judged(design, names, margins_of, global_bias):
    if not names:
        raise ValueError("no parameter to optimise: name some with params")
    judged = list(names)
    for name in _names(design, margins_of, "margins_of"):
        if name not in judged:
            judged.append(name)
    if global_bias and GLOBAL_BIAS not in judged:
        try:
            judged.append(design.resolve(GLOBAL_BIAS))
        except ValueError:
            pass  # no bias source: no global bias
    return judged


def _bounds(design, names, bounds, params):
    """{name: (low, high)} multipliers, from one pair for all, or one pair per entry
    of ``params`` (a pattern's pair for every parameter it names)."""
    pairs = list(bounds) if bounds is not None else [(0.5, 2.0)]
    if len(pairs) == 2 and all(isinstance(v, numbers.Real) for v in pairs):
        pairs = [tuple(pairs)]
    given = [params] if isinstance(params, str) else list(params or [])
    if len(pairs) == 1:
        chosen = dict.fromkeys(names, pairs[0])
    elif len(pairs) == len(given):
        chosen = {}
        for entry, pair in zip(given, pairs):
            for name in _names(design, [entry], "params"):
                chosen.setdefault(name, pair)
    else:
        raise ValueError(
            f"bounds: give one LO:HI pair for all parameters or one per params entry "
            f"({len(given)}), got {len(pairs)}"
        )
    box = {}
    for name in names:
        try:
            lo, hi = (float(v) for v in chosen[name])
        except (TypeError, ValueError):
            raise ValueError(
                f"bounds of {name}: expected a pair (LO, HI), got {chosen[name]!r}"
            ) from None
        if not (0 < lo <= 1 <= hi and math.isfinite(hi)):
            raise ValueError(
                f"bounds of {name}: need 0 < LO <= 1 <= HI (multipliers of the starting "
                f"value), got {lo:g}:{hi:g}"
            )
        box[name] = (lo, hi)
    return box


class _LevelPlan:
    """Does every judged bound pass at ``level`` percent?  Runs in the order
    given; the first failure ends the plan."""

    def __init__(self, centre, order, level):
        self.centre = centre
        self.queue = list(order)
        self.level = level
        self.failed = None
        self.log = []

    def take(self, limit):
        batch = []
        while self.failed is None and self.queue and len(batch) < limit:
            name, side = self.queue.pop(0)
            factor = 1 + (self.level if side == "high" else -self.level) / 100
            multipliers = dict(self.centre)
            multipliers[name] = multipliers.get(name, 1.0) * factor
            batch.append(((name, side, factor), Run(multipliers=multipliers)))
        return batch

    def record(self, key, outcome):
        self.log.append((key, outcome))
        if not outcome.passed and self.failed is None:
            self.failed = key[:2]

    def remaining(self):
        return 0 if self.failed is not None else len(self.queue)


class _Search:
    """The pattern search (see the module): ``best`` the best design so far as
    multipliers, ``level`` the critical margin it is known to reach."""

    def __init__(self, design, names, box, judged, before, settings, limits, step, seed):
        self.design = design
        self.names = names
        self.box = box
        self.judged = judged
        self.settings = settings
        self.top = min(-limits[0], limits[1])
        self.step = step  # what a move must gain
        self.rng = np.random.default_rng(seed)
        self.best = {name: 1.0 for name in names}
        self.level = max(before.critical_margin, 0.0)
        self.order = _narrowest_first(before)
        self.centring = _centring(before, names)
        self.start_shape = (
            _shape(before.nominal.events)
            if settings.get("criterion") is None and settings.get("expected") is None
            else None
        )
        self.log = []  # (trial, design multipliers, purpose, key, outcome)
        self.trials = 0
        self.moves = 0
        self.stopped = "converged"
        self._deadline = None
        self._max_runs = None
        self._bar = None

    # -- the search ----------------------------------------------------------

    def run(self, runner, deadline, max_runs, bar=None):
        self.runner = runner
        self._deadline, self._max_runs = deadline, max_runs
        self._bar = bar
        try:
            self._raise(self.best)
            for fraction in CENTRING:
                if self._try(self._centred(fraction)):
                    break
            for _ in range(1 + RESTARTS):
                reached = self.level
                size = FIRST_STEP
                while size >= SMALLEST_STEP:
                    self._show(size)
                    if not self._sweep(size):
                        size /= 2
                if self.level <= reached:
                    break
        except _OutOfBudget as why:
            self.stopped = str(why)

    def _show(self, size):
        if self._bar is not None:
            done = math.log(FIRST_STEP / size) / math.log(2 * FIRST_STEP / SMALLEST_STEP)
            self._bar.show(self.level, self.runner.done, min(max(done, 0.0), 1.0))

    def _sweep(self, size):
        """One round of moves of length ``size``; whether one succeeded."""
        moved = False
        for name in self.names:
            for sign in (1, -1):
                previous = dict(self.best)
                if self._try(self._moved({name: sign * size})):
                    moved = True
                    self._pattern(previous)
                    break
        if moved:
            return True
        for _ in range(max(2, len(self.names))):
            direction = self.rng.standard_normal(len(self.names))
            direction *= size / np.linalg.norm(direction)
            previous = dict(self.best)
            if self._try(self._moved(dict(zip(self.names, direction)))):
                self._pattern(previous)
                return True
        return False

    def _pattern(self, previous):
        """Repeat the move from ``previous`` to the best while it succeeds."""
        while True:
            shift = {n: math.log(self.best[n] / previous[n]) for n in self.names}
            previous = dict(self.best)
            if not self._try(self._moved(shift)):
                return

    def _moved(self, shift):
        """The best design moved by ``shift`` (log multipliers), clipped to the bounds."""
        point = {}
        for name in self.names:
            lo, hi = self.box[name]
            point[name] = min(max(self.best[name] * math.exp(shift.get(name, 0.0)), lo), hi)
        return point

    def _centred(self, fraction):
        return self._moved({n: fraction * s for n, s in self.centring.items()})

    def _try(self, point):
        """Whether ``point`` beats the best design; if so it becomes the best and
        its level is raised as far as it goes."""
        if all(point[n] == self.best[n] for n in self.names) or self.level >= self.top:
            return False
        self.trials += 1
        level = min(self.level + self.step, self.top)
        if not self._passes(point, level):
            return False
        self.best, self.level = point, level
        self.moves += 1
        self._raise(point)
        return True

    def _raise(self, point):
        """Raise the level of the best design: steps of the resolution, doubling
        while they pass."""
        jump = self.step
        while self.level < self.top:
            level = min(self.level + jump, self.top)
            if self._passes(point, level):
                self.level = level
                jump *= 2
            elif jump > self.step:
                jump = self.step
            else:
                return

    def _passes(self, point, level):
        self._check_budget()
        if self._bar is not None:
            self._bar.show(self.level, self.runner.done)
        trial = self.trials
        centred = CentredDesign.at(self.design, point)
        settings = {k: v for k, v in self.settings.items() if k != "client"}
        try:
            criterion, nominal = nominal_criterion(self.runner, centred, **settings)
        except RuntimeError as exc:
            self.log.append((trial, point, "nominal", None, _failed(str(exc))))
            return False
        self.log.append((trial, point, "nominal", None, nominal))
        if self.start_shape is not None and _shape(nominal.events) != self.start_shape:
            return False
        plan = _LevelPlan(point, self.order, level)
        self.runner.run(plan, criterion=criterion, design=self.design)
        for key, outcome in plan.log:
            self.log.append((trial, point, "level", key, outcome))
        if plan.failed is not None:  # asked first next time
            self.order.remove(plan.failed)
            self.order.insert(0, plan.failed)
            return False
        return True

    def _check_budget(self):
        if self._deadline is not None and time.perf_counter() >= self._deadline:
            raise _OutOfBudget("max_time reached")
        if self._max_runs is not None and self.runner.done >= self._max_runs:
            raise _OutOfBudget("max_runs reached")

    # -- the runs table ------------------------------------------------------

    def log_table(self, before, after):
        import pandas as pd

        rows = []
        start = {name: 1.0 for name in self.names}
        for phase, result, point in (("before", before, start),):
            rows += _margin_rows(phase, result, point, self.names)
        for trial, point, purpose, key, outcome in self.log:
            name, side, factor = key if key is not None else (None, None, 1.0)
            rows.append(_row(purpose, trial, point, self.names, name, side, factor, outcome))
        rows += _margin_rows("after", after, self.best, self.names)
        return pd.DataFrame(rows)


class _OutOfBudget(Exception):
    pass


class _Progress:
    """A status line on standard error: the critical margin reached, the runs, and
    an estimate of the time left (from how far the step has shrunk, or from
    ``max_time``)."""

    def __init__(self, progress, started, max_time):
        self.enabled = progress
        self.started = started
        self.max_time = max_time
        self.done = 0.0
        self._bar = None

    def __enter__(self):
        if self.enabled:
            from tqdm import tqdm

            disable = None if self.enabled is True else False
            self._bar = tqdm(
                total=100,
                desc="optimize",
                disable=disable,
                leave=False,
                bar_format="{desc}: {percentage:3.0f}%|{bar}| {postfix}",
            )
        return self

    def show(self, level, runs, done=None):
        if self._bar is None:
            return
        self.done = self.done if done is None else done
        elapsed = time.perf_counter() - self.started
        fraction = self.done
        if self.max_time is not None:
            fraction = max(fraction, elapsed / self.max_time)
        left = elapsed * (1 - fraction) / fraction if fraction > 0 else math.nan
        if self.max_time is not None:
            left = min(left, max(self.max_time - elapsed, 0.0)) if left == left else None
        text = "?" if left is None or left != left else f"{left:.0f} s"
        self._bar.n = round(100 * min(fraction, 1.0))
        self._bar.set_postfix_str(f"critical {level:.1f} %, {runs} runs, about {text} left")

    def __exit__(self, *exc_info):
        if self._bar is not None:
            self._bar.close()


def _failed(message):
    return Outcome(False, "criterion", message)


def _shape(events):
    """Per junction, the directions of its switches in order."""
    shape = {}
    for _, name, sign in events or []:
        shape.setdefault(name, []).append(int(sign))
    return shape


def _narrowest_first(result):
    """The (parameter, side) bounds of a margin table, narrowest first."""
    bounds = []
    for row in result.table.itertuples(index=False):
        bounds.append((-row[2], row[0], "low"))
        bounds.append((row[3], row[0], "high"))
    return [(name, side) for _, name, side in sorted(bounds, key=lambda b: b[0])]


def _centring(result, names):
    """Per optimised parameter, the log shift to the geometric middle of its
    passing interval."""
    shift = {}
    table = result.table.set_index("parameter")
    for name in names:
        low, high = table.loc[name, "low %"], table.loc[name, "high %"]
        shift[name] = 0.5 * (math.log1p(low / 100) + math.log1p(high / 100))
    return shift


def _row(purpose, trial, point, names, name, side, factor, outcome):
    row = {"purpose": purpose, "trial": trial, "parameter": name, "side": side}
    row["multiplier"] = factor
    row.update({f"x {n}": point[n] for n in names})
    row.update(passed=outcome.passed, reason=outcome.reason, message=outcome.message)
    return row


def _margin_rows(phase, result, point, names):
    rows = []
    for run in result.runs.itertuples(index=False):
        outcome = _Plain(run.passed, run.reason, run.message)
        rows.append(
            _row(
                f"margins {phase}",
                None,
                point,
                names,
                run.parameter,
                run.side,
                run.multiplier,
                outcome,
            )
        )
    return rows


class _Plain:
    def __init__(self, passed, reason, message):
        self.passed, self.reason, self.message = passed, reason, message
