"""Margins: how far each parameter can move before the circuit stops working.

For each parameter the lowest and the highest multiplier of its nominal value
that still pass the criterion are found by bisection, every other parameter
at nominal: first the end of the range is tried; if it fails, the interval
between the last passing and the first failing multiplier is halved until it
is no wider than the resolution, and the last passing multiplier is the bound.
Bisection assumes the passing multipliers form one interval around nominal.
The searches of all parameters and both directions run interleaved, so up to
twice as many runs as there are parameters go on at once.
"""

import math

from .common import make_design, nominal_criterion
from .design import GLOBAL_BIAS
from .runner import Run, Runner

__all__ = ["MarginResult", "margins"]


class _Search:
    """Bisection for one bound of one parameter; multipliers are 1 + percent/100."""

    def __init__(self, parameter, limit, resolution):
        self.parameter = parameter
        self.limit = limit
        self.resolution = resolution
        self.good = 1.0
        self.bad = None
        self.waiting = False
        self.done = False

    def next(self):
        if self.done or self.waiting:
            return None
        self.waiting = True
        if self.bad is None:
            return self.limit
        return 0.5 * (self.good + self.bad)

    def record(self, multiplier, passed):
        self.waiting = False
        if passed:
            self.good = multiplier
            self.done = multiplier == self.limit
        else:
            self.bad = multiplier
        if self.bad is not None and abs(self.bad - self.good) <= self.resolution * (1 + 1e-9):
            self.done = True

    def remaining(self):
        """Runs still to come, the one in flight included."""
        if self.done:
            return 0
        width = abs((self.limit if self.bad is None else self.bad) - self.good)
        steps = max(math.ceil(math.log2(width / self.resolution) - 1e-9), 0)
        return steps + (1 if self.bad is None else 0)


class _BisectionPlan:
    """All searches, handed out round robin so that parameters interleave."""

    def __init__(self, searches):
        self.searches = searches
        self.log = []  # (parameter, multiplier, outcome), in order of completion
        self._turn = 0

    def take(self, limit):
        batch = []
        count = len(self.searches)
        for step in range(count):
            if len(batch) >= limit:
                break
            index = (self._turn + step) % count
            multiplier = self.searches[index].next()
            if multiplier is not None:
                run = Run(multipliers={self.searches[index].parameter: multiplier})
                batch.append(((index, multiplier), run))
        self._turn = (self._turn + 1) % max(count, 1)
        return batch

    def record(self, key, outcome):
        index, multiplier = key
        search = self.searches[index]
        search.record(multiplier, outcome.passed)
        self.log.append((index, multiplier, outcome))

    def remaining(self):
        return sum(s.remaining() for s in self.searches)


class MarginResult:
    """Margins of every parameter.

    ``table``: one row per parameter with ``parameter``, ``nominal`` (SI for
    physical circuits and netlists), ``low %`` and ``high %`` (the bounds as
    percent changes of nominal; the range end when it still passes);
    ``critical_margin`` (percent) and ``critical_parameter``: the smallest of
    every parameter's ``min(-low %, high %)``; ``runs``: every run's parameter,
    multiplier, outcome and failure reason; ``nominal``: the outcome of the
    nominal run; ``stats``: the runner's counts and times.
    """

    def __init__(self, table, runs, nominal):
        self.table = table
        self.runs = runs
        self.nominal = nominal
        self.stats = {}
        sizes = [min(-lo, hi) for lo, hi in zip(table["low %"], table["high %"])]
        best = min(range(len(sizes)), key=sizes.__getitem__) if sizes else None
        self.critical_margin = sizes[best] if sizes else math.nan
        self.critical_parameter = table["parameter"].iloc[best] if sizes else None

    def __repr__(self):
        return (
            f"<MarginResult: {len(self.table)} parameters, critical margin "
            f"{self.critical_margin:.1f} % ({self.critical_parameter})>"
        )

    def plot(self, path, title="Margins"):
        """Write the margin chart (a horizontal bar per parameter from its low to
        its high bound, around nominal; the critical one highlighted) as a PNG."""
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure

        table = self.table
        count = len(table)
        figure = Figure(figsize=(7, 1.2 + 0.32 * count), layout="constrained")
        FigureCanvasAgg(figure)
        axes = figure.add_subplot()
        rows = list(range(count))[::-1]
        colours = [
            "tab:red" if name == self.critical_parameter else "tab:blue"
            for name in table["parameter"]
        ]
        axes.barh(rows, table["high %"], color=colours, height=0.6)
        axes.barh(rows, table["low %"], color=colours, height=0.6)
        axes.axvline(0.0, color="black", lw=1)
        axes.set_yticks(rows, table["parameter"])
        axes.set_xlabel("change from nominal (%)")
        axes.grid(axis="x", alpha=0.3)
        axes.set_title(
            f"{title}: critical {self.critical_margin:.1f} % ({self.critical_parameter})"
        )
        figure.savefig(path, dpi=110)
        return path


def margins(
    netlist_or_circuit,
    params=None,
    *,
    t_stop=None,
    dt=None,
    criterion=None,
    junctions=None,
    window=None,
    limits=(-60.0, 60.0),
    resolution=1.0,
    global_bias=True,
    client="local",
    progress=True,
    **options,
):
    """Margins of ``params`` (names as in :mod:`loxant.analysis.design`; default:
    every bias source and every element value) and, with ``global_bias``, of all
    current sources together; returns a :class:`MarginResult`.

    ``criterion``: a function of the results returning True/False or ``(passed,
    message)``; default: the nominal switching events of ``junctions`` (default
    every junction) within ``window`` (default 10 ps, or 10 time units for a
    normalised circuit; see :mod:`loxant.analysis.criterion`).  ``limits``: the
    range searched, in percent of nominal; ``resolution``: in percent.
    ``t_stop``, ``dt`` and ``options`` are those of ``simulate`` (a netlist's
    ``.tran`` gives t_stop and dt); ``client``: see :mod:`loxant.analysis.runner`.
    """
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    names = _parameters(design, params, global_bias)
    low, high = (float(x) for x in limits)
    if not (-100 < low < 0 < high) or not math.isfinite(high):
        raise ValueError(
            f"limits must be (low, high) percent with -100 < low < 0 < high, got {limits}"
        )
    if not (isinstance(resolution, (int, float)) and 0 < resolution <= high - low):
        raise ValueError(f"resolution must be a positive percentage, got {resolution!r}")
    step = resolution / 100
    searches = []
    for name in names:
        searches.append(_Search(name, 1 + low / 100, step))
        searches.append(_Search(name, 1 + high / 100, step))

    with Runner(client, progress=progress, description="margins") as runner:
        criterion, nominal = nominal_criterion(runner, design, criterion, junctions, window)
        plan = _BisectionPlan(searches)
        runner.run(plan, criterion=criterion, design=design)
    result = _result(design, names, searches, plan.log, nominal)
    result.stats = runner.stats
    return result


def _parameters(design, params, global_bias):
    if params is None:
        names = design.default_parameters()
    elif isinstance(params, str):
        names = [params]
    else:
        names = list(params)
    if global_bias and GLOBAL_BIAS not in names:
        try:
            design.check(GLOBAL_BIAS)
            names.append(GLOBAL_BIAS)
        except ValueError:
            pass  # no current source: no global bias
    if len(set(names)) != len(names):
        raise ValueError("a parameter is named twice")
    if not names:
        raise ValueError("no parameter to vary")
    for name in names:
        design.check(name)
    return names


def _result(design, names, searches, log, nominal):
    import pandas as pd

    rows = []
    for k, name in enumerate(names):
        down, up = searches[2 * k], searches[2 * k + 1]
        rows.append(
            {
                "parameter": name,
                "nominal": design.nominal(name),
                "low %": _percent(down.good),
                "high %": _percent(up.good),
            }
        )
    table = pd.DataFrame(rows, columns=["parameter", "nominal", "low %", "high %"])
    # the runs in a fixed order: by parameter, direction, then order of trial
    ordered = sorted(enumerate(log), key=lambda item: (item[1][0], item[0]))
    runs = pd.DataFrame(
        [
            {
                "parameter": searches[index].parameter,
                "multiplier": multiplier,
                "passed": outcome.passed,
                "reason": outcome.reason,
                "message": outcome.message,
            }
            for _, (index, multiplier, outcome) in ordered
        ],
        columns=["parameter", "multiplier", "passed", "reason", "message"],
    )
    return MarginResult(table, runs, nominal)


def _percent(multiplier):
    return round((multiplier - 1.0) * 100.0, 10)
