"""Margins: how far each parameter can move before the circuit stops working.

For each parameter the lowest and the highest multiplier of its nominal value
that still pass the criterion are found by bisection, every other parameter
at nominal: first the end of the range is tried; if it fails, the interval
between the last passing and the first failing multiplier is halved until it
is no wider than the resolution, and the last passing multiplier is the bound.
Bisection assumes the passing multipliers form one interval around nominal.
The searches of all parameters and both directions run interleaved, so up to
twice as many runs as there are parameters go on at once.

The resolution is bounded below by what a simulation can tell apart
(:data:`FINEST_RESOLUTION`), and each bound by :data:`MAX_RUNS_PER_BOUND` runs:
a search that would take more is refused before anything runs.
"""

import math
import numbers

from .bisection import Bisection
from .common import make_design, nominal_criterion
from .design import GLOBAL_BIAS, is_pattern
from .display import finish, html_table, new_figure
from .reasons import failure_groups
from .runner import Run, Runner

__all__ = ["FINEST_RESOLUTION", "MAX_RUNS_PER_BOUND", "MarginResult", "margins"]

#: finest resolution in percent: multipliers near 1 closer than 1e-11 are beyond
#: what a double-precision simulation tells apart (its round-off is ~1e-16 per
#: operation, amplified by thousands of steps)
FINEST_RESOLUTION = 1e-9
#: most runs the bisection of one bound may take (the first trial at the range's
#: end included)
MAX_RUNS_PER_BOUND = 40
#: widest range searched, percent of nominal
WIDEST_RANGE = 1000.0
#: columns of :attr:`MarginResult.table`
TABLE_COLUMNS = ["parameter", "nominal", "low %", "high %", "low at limit", "high at limit"]


class _Search(Bisection):
    """Bisection for one bound of one parameter, its limit tried first;
    multipliers are 1 + percent/100."""

    def __init__(self, parameter, limit, resolution):
        super().__init__(1.0, None, resolution)
        self.parameter = parameter
        self.limit = limit
        self.waiting = False
        self.done = False

    def next(self):
        if self.done or self.waiting:
            return None
        self.waiting = True
        return self.limit if self.bad is None else self.middle()

    def record(self, multiplier, passed):
        self.waiting = False
        super().record(multiplier, passed)
        self.done = (passed and multiplier == self.limit) or self.narrow

    def remaining(self):
        """Runs still to come, the one in flight included."""
        if self.done:
            return 0
        return self.halvings(self.limit) + (1 if self.bad is None else 0)


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
    physical circuits and netlists; a pulse's amplitude), ``low %`` and ``high %``
    (the bounds as percent changes of nominal; the range end when it still passes,
    then ``low at limit`` / ``high at limit`` is True: the margin is at least that);
    ``critical_margin`` (percent) and ``critical_parameter``: the smallest of
    every parameter's ``min(-low %, high %)``; ``runs``: every run's parameter,
    side (``low``/``high``), multiplier, change in percent, outcome and failure
    reason and message; :meth:`reasons`: the failures grouped; ``nominal``: the
    outcome of the nominal run; ``stats``: the runner's counts, times and choice;
    ``notes``: {parameter: how it is varied} where that is not plain, such as a
    junction scaled through its area ``.param`` (what the netlist computes from
    that parameter, its shunt, follows).
    """

    def __init__(self, table, runs, nominal):
        self.table = table
        self.runs = runs
        self.nominal = nominal
        self.stats = {}
        self.dut = None
        self.notes = {}
        sizes = [min(-lo, hi) for lo, hi in zip(table["low %"], table["high %"])]
        best = min(range(len(sizes)), key=sizes.__getitem__) if sizes else None
        self.critical_margin = sizes[best] if sizes else math.nan
        self.critical_parameter = table["parameter"].iloc[best] if sizes else None
        #: whether the critical margin is the searched range's end: at least that
        self.critical_at_limit = bool(
            sizes
            and (
                (table["low at limit"].iloc[best] and -table["low %"].iloc[best] == sizes[best])
                or (table["high at limit"].iloc[best] and table["high %"].iloc[best] == sizes[best])
            )
        )

    def formatted(self):
        """The table as text: a bound at the searched range's end, which passed
        and so is no margin, reads "≥ 60 %" (or "≤ -60 %")."""
        text = self.shown().to_string(index=False)
        for name, note in self.notes.items():
            text += f"\n{name}: {note}"
        return text

    def shown(self):
        """The table as :meth:`formatted` shows it, a DataFrame."""
        shown = self.table[["parameter", "nominal"]].copy()
        for side, mark in (("low", "≤"), ("high", "≥")):
            shown[f"{side} %"] = [
                f"{mark} {value:g}" if edge else f"{value:g}"
                for value, edge in zip(self.table[f"{side} %"], self.table[f"{side} at limit"])
            ]
        return shown

    def critical_text(self):
        """ "critical margin: 22.5 % (BIAS)", or "≥ 60 %" when every bound is the range's end."""
        mark = "≥ " if self.critical_at_limit else ""
        return f"critical margin: {mark}{self.critical_margin:.1f} % ({self.critical_parameter})"

    def reasons(self):
        """The failed runs grouped by parameter, side, reason and kind of message,
        with their ``count`` and one ``example`` message (a DataFrame)."""
        return failure_groups(self.runs, by=["parameter", "side"])

    def __repr__(self):
        return (
            f"<MarginResult: {len(self.table)} parameters, critical margin "
            f"{self.critical_margin:.1f} % ({self.critical_parameter})>"
        )

    def plot(self, path=None, title="Margins"):
        """The margin chart (a horizontal bar per parameter from its low to its
        high bound, around nominal; the critical one highlighted, a bound at the
        searched range's end hatched), a matplotlib Figure; written as a PNG to
        ``path`` too when one is given."""
        table = self.table
        count = len(table)
        figure = new_figure(7, 1.2 + 0.32 * count)
        axes = figure.add_subplot()
        rows = list(range(count))[::-1]
        colours = [
            "tab:red" if name == self.critical_parameter else "tab:blue"
            for name in table["parameter"]
        ]
        axes.barh(rows, table["high %"], color=colours, height=0.6)
        axes.barh(rows, table["low %"], color=colours, height=0.6)
        for side in ("low", "high"):  # a bound at the range's end is no margin: hatched
            edge = table[f"{side} at limit"].to_numpy(dtype=bool)
            ends = table[f"{side} %"].to_numpy()[edge]
            edge_rows = [row for row, flag in zip(rows, edge) if flag]
            axes.barh(edge_rows, ends, height=0.6, fill=False, hatch="//", edgecolor="white")
        axes.axvline(0.0, color="black", lw=1)
        axes.set_yticks(rows, table["parameter"])
        axes.set_xlabel("change from nominal (%)")
        axes.grid(axis="x", alpha=0.3)
        axes.set_title(f"{title}: {self.critical_text().replace('critical margin: ', 'critical ')}")
        return finish(figure, path)

    def _repr_html_(self):
        return html_table(self.shown(), caption=self.critical_text())


def margins(
    netlist_or_circuit,
    params=None,
    *,
    t_stop=None,
    dt=None,
    criterion=None,
    junctions=None,
    window=None,
    watch=None,
    expected=None,
    threshold=None,
    limits=(-60.0, 60.0),
    resolution=1.0,
    global_bias=True,
    dut="auto",
    client="auto",
    progress=True,
    **options,
):
    """Margins of ``params`` (names as in :mod:`loxant.analysis.design`, or glob
    patterns over them such as ``"*|XDUT"``, ``"B*.XDUT"``, ``"IB*"``; default:
    every current source and every element value of the cell under test) and,
    with ``global_bias``, of its bias sources together; returns a
    :class:`MarginResult`.

    ``dut``: the cell under test, a subcircuit instance (``"XDUT"``); its
    elements and the bias sources feeding it are the default parameters and the
    global bias.  ``"auto"`` (the default) takes the one top-level instance named
    like ``XDUT`` when there is exactly one, else the whole circuit; None always
    the whole circuit.  ``result.dut`` says which was taken.

    ``netlist_or_circuit``: a Circuit (SI or normalised), a netlist or the path
    of a netlist file.  ``criterion``: a function of the results returning
    True/False or ``(passed, message)``; default: each watched junction switches
    as at nominal, each switch within ``window`` (default 10 ps, or 10 time units
    for a normalised circuit); watched are ``junctions``, or the junctions of the
    outputs ``watch`` (probes as ``P(B1.X1)``), or of the netlist's ``.print``
    requests, or all (see :mod:`loxant.analysis.criterion`).  ``limits``: the
    range searched, ``(low, high)`` in percent of nominal; ``resolution``: in
    percent.  ``t_stop``, ``dt`` and ``options`` are those of ``simulate`` (a
    netlist's ``.tran`` gives t_stop and dt); ``client``: see
    :mod:`loxant.analysis.runner`.
    """
    low, high = _limits(limits)
    step = _resolution(resolution, low, high)
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    _choose_dut(design, dut)
    names = _parameters(design, params, global_bias)
    searches = []
    for name in names:
        searches.append(_Search(name, 1 + low / 100, step))
        searches.append(_Search(name, 1 + high / 100, step))

    with Runner(client, progress=progress, description="margins") as runner:
        criterion, nominal = nominal_criterion(
            runner, design, criterion, junctions, window, watch, expected, threshold
        )
        plan = _BisectionPlan(searches)
        runner.run(plan, criterion=criterion, design=design)
    result = _result(design, names, searches, plan.log, nominal)
    result.stats = runner.stats
    result.dut = design.dut
    return result


def _limits(limits):
    """(low, high) percent from ``limits``, or a ValueError that says what is expected."""
    expected = (
        f"limits must be a pair (low, high) of percentages, such as (-60, 60), got {limits!r}"
    )
    if isinstance(limits, (str, bytes)) or not hasattr(limits, "__len__") or len(limits) != 2:
        raise ValueError(expected)
    bounds = []
    for value in limits:
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise ValueError(expected)
        bounds.append(float(value))
    low, high = bounds
    if not (-100 < low < 0 < high <= WIDEST_RANGE):
        raise ValueError(
            f"limits must satisfy -100 < low < 0 < high <= {WIDEST_RANGE:g} (percent), "
            f"got {limits!r}"
        )
    return low, high


def _resolution(resolution, low, high):
    """The resolution as a step of the multiplier, checked against the bounds."""
    if isinstance(resolution, bool) or not isinstance(resolution, numbers.Real):
        raise ValueError(f"resolution must be a percentage, got {resolution!r}")
    resolution = float(resolution)
    if not (math.isfinite(resolution) and 0 < resolution <= high - low):
        raise ValueError(f"resolution must be a positive percentage, got {resolution!r}")
    if resolution < FINEST_RESOLUTION:
        raise ValueError(
            f"resolution {resolution:g} % is finer than a simulation tells apart: "
            f"the finest is FINEST_RESOLUTION = {FINEST_RESOLUTION:g} %"
        )
    runs = 1 + math.ceil(math.log2(max(-low, high) / resolution))
    if runs > MAX_RUNS_PER_BOUND:
        raise ValueError(
            f"resolution {resolution:g} % over limits ({low:g}, {high:g}) % takes {runs} runs "
            f"per bound, over MAX_RUNS_PER_BOUND = {MAX_RUNS_PER_BOUND}: coarsen the "
            "resolution or narrow the limits"
        )
    return resolution / 100


def _parameters(design, params, global_bias):
    if params is None:
        names = design.default_parameters()
    elif isinstance(params, str):
        names = [params]
    else:
        names = list(params)
    names = _expanded(design, names)
    if global_bias and GLOBAL_BIAS not in names:
        try:
            names.append(design.resolve(GLOBAL_BIAS))
        except ValueError:
            pass  # no bias source: no global bias
    twice = {name for name in names if names.count(name) > 1}
    if twice:
        raise ValueError(f"parameter {sorted(twice)[0]!r} is named twice")
    if not names:
        raise ValueError("no parameter to vary")
    return names


def _expanded(design, names):
    """Canonical parameter names, glob patterns expanded in declaration order; a
    parameter that several patterns match is kept once, one named twice refused."""
    expanded, from_patterns = [], set()
    for name in names:
        if is_pattern(name):
            for match in design.expand(name):
                canonical = design.resolve(match)
                if canonical not in expanded:
                    expanded.append(canonical)
                    from_patterns.add(canonical)
            continue
        canonical = design.resolve(name)
        if canonical in from_patterns:
            continue
        expanded.append(canonical)
    return expanded


def _choose_dut(design, dut):
    """Set the cell under test of ``design``: ``dut`` an instance path, None for
    the whole circuit, "auto" for the one instance named like XDUT if any."""
    if isinstance(dut, str) and dut == "auto":
        dut = design.default_dut()
    design.set_dut(dut)


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
                "low at limit": down.good == down.limit,
                "high at limit": up.good == up.limit,
            }
        )
    table = pd.DataFrame(rows, columns=TABLE_COLUMNS)
    # the runs in a fixed order: by parameter, direction, then order of trial
    ordered = sorted(enumerate(log), key=lambda item: (item[1][0], item[0]))
    columns = ["parameter", "side", "multiplier", "change %", "passed", "reason", "message"]
    runs = pd.DataFrame(
        [
            {
                "parameter": searches[index].parameter,
                "side": "low" if index % 2 == 0 else "high",
                "multiplier": multiplier,
                "change %": _percent(multiplier),
                "passed": outcome.passed,
                "reason": outcome.reason,
                "message": outcome.message,
            }
            for _, (index, multiplier, outcome) in ordered
        ],
        columns=columns,
    )
    result = MarginResult(table, runs, nominal)
    for name in names:
        param = design.area_param(name)
        if param is not None:
            result.notes[name] = f"scaled through its area .param {param}; what uses it follows"
    return result


def _percent(multiplier):
    return round((multiplier - 1.0) * 100.0, 10)
