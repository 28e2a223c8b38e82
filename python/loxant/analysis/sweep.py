"""Sweeps: a grid of parameter values (or given points) run in parallel.

Every value is absolute, in SI units for netlists and physical circuits (the
circuit's own units for a normalised one): an element's value (a junction's
critical current, a source's largest value, a pulse's amplitude), a ``.param``
value, the global bias's total current.  Multipliers of the nominal value are
written with :func:`scale` (``{"IB1.XDUT": scale([0.8, 1.0, 1.2])}``), or as
strings ``"x0.8"`` / ``"×0.8"`` (the command line's spelling).  The table
holds the absolute values either way.

The measure is any callable of the results returning a number or a dict of
numbers (for example :class:`~loxant.analysis.events.MeanVoltage`), or a dict
of such callables (``{"delay": Delay("J1", "J9"), "v": MeanVoltage("J9")}``, a
column each); it runs on the workers, so it must be picklable (a function of a
module, or an instance of such a class).  A measure that cannot be taken (NaN)
fails its row, with the reason.
"""

import itertools
import math
import numbers

from .common import expected_criterion, make_design
from .display import sweep_table
from .runner import ClusterLost, ListPlan, Outcome, Run, Runner

__all__ = ["MAX_POINTS", "Measures", "Multiplier", "scale", "sweep"]

#: most runs one sweep may ask for
MAX_POINTS = 100_000
#: the columns every sweep table ends with
OUTCOME_COLUMNS = ("passed", "reason", "message")


class Measures:
    """Several named measures as one: ``{name: value}`` of each callable, a
    measure that returns a dict giving ``name.key`` columns."""

    def __init__(self, measures):
        self.measures = dict(measures)
        if not self.measures:
            raise ValueError("measure: the dict of measures is empty")
        for name, measure in self.measures.items():
            if not isinstance(name, str) or not callable(measure):
                raise TypeError(
                    f"measure: a dict maps column names to callables of the results, "
                    f"got {name!r}: {type(measure).__name__}"
                )

    def __call__(self, results):
        values = {}
        for name, measure in self.measures.items():
            value = measure(results)
            if isinstance(value, dict):
                values.update({f"{name}.{key}": v for key, v in value.items()})
            else:
                values[name] = value
        return values

    def probes(self):
        """What the measures read; None (everything) if one does not say."""
        names = []
        for measure in self.measures.values():
            probes = getattr(measure, "probes", None)
            if probes is None:
                return None
            names += list(probes())
        return names

    def __repr__(self):
        return f"Measures({self.measures!r})"


class Multiplier(float):
    """A multiplier of a parameter's nominal value (see :func:`scale`)."""

    def __repr__(self):
        return f"x{float(self):g}"


def scale(multipliers):
    """Mark sweep values as multipliers of the nominal: ``scale([0.8, 1, 1.2])``
    (or ``scale(0.9)``)."""
    if isinstance(multipliers, numbers.Real) and not isinstance(multipliers, bool):
        return Multiplier(multipliers)
    return [Multiplier(_number(m, "scale")) for m in multipliers]


def _number(value, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: expected a number, got {value!r}")
    return float(value)


def _multiplier_of(design, name, value):
    """The multiplier that sets parameter ``name`` to ``value`` (absolute, a
    :class:`Multiplier`, or a string "x0.9" / "×0.9")."""
    if isinstance(value, str):
        text = value.strip()
        if text[:1] in ("x", "X", "×"):
            try:
                return Multiplier(float(text[1:]))
            except ValueError:
                pass
        raise ValueError(f"{name}={value!r}: expected a number, or a multiplier such as 'x0.9'")
    if isinstance(value, Multiplier):
        return value
    number = _number(value, name)
    nominal = design.nominal(name)
    if not (math.isfinite(number) and math.isfinite(nominal) and nominal != 0):
        raise ValueError(
            f"{name}={value!r}: cannot set an absolute value (nominal {nominal:g}); "
            "give multipliers with scale([...])"
        )
    ratio = number / nominal
    if not ratio > 0:
        raise ValueError(
            f"{name}={value!r}: scaling reaches positive multiples of the nominal {nominal:g} only"
        )
    return Multiplier(ratio)


def _points(design, grid, points):
    """``(spelled, canonical, points)``: the parameter names as the caller wrote
    them, as the circuit spells them, and the points keyed by the circuit's
    spelling."""
    if (grid is None) == (points is None):
        raise ValueError("give either a grid {param: values} or a list of points")
    if grid is not None:
        names = list(grid)
        axes = []
        for name in names:
            single = isinstance(grid[name], (numbers.Real, str))
            values = [grid[name]] if single else list(grid[name])
            if not values:
                raise ValueError(f"no values for {name!r}")
            axes.append(values)
        count = math.prod(len(values) for values in axes)
        if count > MAX_POINTS:
            raise ValueError(f"{count} runs asked for, more than {MAX_POINTS}: fewer values")
        points = [dict(zip(names, combo)) for combo in itertools.product(*axes)]
    else:
        points = [dict(p) for p in points]
        if not points:
            raise ValueError("no points to run")
        names = list(points[0])
        for point in points:
            if list(point) != names:
                raise ValueError(
                    f"every point names the same parameters {names}, got {list(point)}"
                )
    canonical = {name: design.resolve(name) for name in names}
    if len(set(canonical.values())) != len(canonical):
        raise ValueError(f"a parameter is named twice in {names}")
    points = [{canonical[k]: v for k, v in point.items()} for point in points]
    spelled = [name.strip() for name in names]
    return spelled, [canonical[name] for name in names], points


def _measure_columns(measure):
    """The columns a measure is known to fill before it runs: its names (a
    :class:`Measures`), else ``value``."""
    if isinstance(measure, Measures):
        return list(measure.measures)
    return ["value"]


def _check_columns(measure, spelled, canonical):
    """Refuses measure names that would share a column with a parameter or with
    ``passed``, ``reason`` and ``message`` (any case), before any run."""
    taken = {name.casefold(): name for name in [*canonical, *spelled]}
    taken.update({name: f"the {name!r} column" for name in OUTCOME_COLUMNS})
    for column in _measure_columns(measure):
        clash = taken.get(column.strip().casefold())
        if clash is not None:
            what = clash if clash.startswith("the ") else f"the parameter {clash!r}"
            raise ValueError(
                f"measure {column!r}: the name of {what}; give the measure another name"
            )


def _units(design, spelled, canonical, measure, measures):
    """{column: unit} for the parameters and measures whose unit is known."""
    units = {}
    if design.units is not None:  # SI values; a normalised circuit's are in its own units
        for name, key in zip(spelled, canonical):
            unit = _parameter_unit(design, key)
            if unit:
                units[name] = unit
        parts = measure.measures if isinstance(measure, Measures) else {"value": measure}
        for column in measures:
            unit = getattr(parts.get(column), "unit", None)
            if unit:
                units[column] = unit
    return units


def _parameter_unit(design, name):
    if name in design.param_names:
        return None  # a .param's unit is whatever its uses make of it
    try:
        return design._symbol(name)
    except (KeyError, AttributeError):
        return None


def _run(design, point):
    """The run of a point ({name: value}) and its absolute values."""
    multipliers = {k: _multiplier_of(design, k, v) for k, v in point.items()}
    absolute = {k: design.nominal(k) * m for k, m in multipliers.items()}
    return Run(multipliers=multipliers), absolute


def sweep(
    netlist_or_circuit,
    grid=None,
    *,
    points=None,
    measure,
    criterion=None,
    expected=None,
    threshold=None,
    t_stop=None,
    dt=None,
    client="auto",
    progress=True,
    **options,
):
    """Run every point of ``grid`` ({param: values}, all combinations) or of
    ``points`` (a list of {param: value}) and return a pandas DataFrame with a
    column per parameter (its absolute value), the measures (``value`` for a
    single number), and ``passed``, ``reason`` and ``message`` (a failed run has
    NaN measures; a NaN measure fails its row); parameters are named as given
    (``"J1_margin"`` stays ``"J1_margin"``).  A measure named like a parameter
    or an outcome column is refused before any run; a measure returning a dict
    whose key is such a name gets a ``" (measure)"`` column instead.
    ``table.attrs["units"]`` gives the unit of each column that has one (SI, for
    physical circuits and netlists), ``attrs["parameters"]`` and
    ``attrs["measures"]`` the columns of each kind; ``table.plot()`` draws each
    measure against the first parameter (a matplotlib Figure; ``plot(path)``
    writes it too).  Values are absolute, or multipliers with
    :func:`scale` (see the module).  ``criterion`` is
    optional here (default: every run that simulates passes); ``expected`` and
    ``threshold`` judge each run by a file of expected switching instead (see
    :func:`loxant.analysis.margins.margins`).  With several
    parameters, ``table.set_index(params).to_xarray()`` gives an array
    per measure (needs xarray).  ``table.attrs["stats"]`` holds the runner's
    counts and times (see :attr:`loxant.analysis.runner.Runner.stats`).  A
    cluster lost on the way raises :class:`~loxant.analysis.runner.ClusterLost`
    whose ``partial`` is the table of the rows done (the others with reason
    ``"cluster"``)."""
    if isinstance(measure, dict):
        measure = Measures(measure)
    if not callable(measure):
        raise TypeError("measure must be a callable of the results or a dict of them")
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    criterion = expected_criterion(design, criterion, expected, threshold)
    spelled, canonical, points = _points(design, grid, points)
    _check_columns(measure, spelled, canonical)
    runs = [_run(design, p) for p in points]  # every value checked before any run
    points = [list(absolute.values()) for _, absolute in runs]
    plan = ListPlan([run for run, _ in runs])
    columns = (spelled, canonical, points)
    try:
        with Runner(client, progress=progress, description="sweep") as runner:
            runner.run(plan, criterion=criterion, design=design, measure=measure)
    except ClusterLost as lost:  # the rows done are kept, the others say why they are not
        lost.partial = _table(design, measure, columns, _finished(plan.outcomes), runner)
        raise
    return _table(design, measure, columns, plan.outcomes, runner)


def _finished(outcomes):
    lost = Outcome(False, "cluster", "not run: the cluster was lost")
    return [lost if outcome is None else outcome for outcome in outcomes]


def _table(design, measure, columns, outcomes, runner):
    """The sweep's table of ``outcomes``, one per point."""
    spelled, canonical, points = columns
    found = []
    for outcome in outcomes:
        found += [k for k in outcome.measures if k not in found]
    taken = {name.casefold() for name in [*spelled, *OUTCOME_COLUMNS]}
    named = {k: f"{k} (measure)" if k.casefold() in taken else k for k in found}
    measures = list(named.values())
    rows = []
    for point, outcome in zip(points, outcomes):
        row = dict(zip(spelled, point))
        row.update({named[k]: outcome.measures.get(k, math.nan) for k in found})
        row.update(passed=outcome.passed, reason=outcome.reason, message=outcome.message)
        rows.append(row)
    table = sweep_table(rows, columns=spelled + measures + list(OUTCOME_COLUMNS))
    table.attrs.update(
        stats=runner.stats,
        parameters=spelled,
        measures=measures,
        units=_units(design, spelled, canonical, measure, measures),
    )
    return table
