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

from .common import make_design, spec_criterion
from .runner import ListPlan, Run, Runner

__all__ = ["Measures", "Multiplier", "scale", "sweep"]


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
    names = list(canonical.values())
    points = [{canonical[k]: v for k, v in point.items()} for point in points]
    return names, points


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
    spec=None,
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
    NaN measures; a NaN measure fails its row); parameters are named as the
    circuit spells them.  Values are absolute, or multipliers with
    :func:`scale` (see the module).  ``criterion`` is
    optional here (default: every run that simulates passes); ``spec`` and
    ``threshold`` judge each run by a spec file instead (see
    :func:`loxant.analysis.margins.margins`).  With several
    parameters, ``table.set_index(params).to_xarray()`` gives an array
    per measure (needs xarray).  ``table.attrs["stats"]`` holds the runner's
    counts and times (see :attr:`loxant.analysis.runner.Runner.stats`)."""
    import pandas as pd

    if isinstance(measure, dict):
        measure = Measures(measure)
    if not callable(measure):
        raise TypeError("measure must be a callable of the results or a dict of them")
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    criterion = spec_criterion(design, criterion, spec, threshold)
    names, points = _points(design, grid, points)
    runs = [_run(design, p) for p in points]  # every value checked before any run
    points = [absolute for _, absolute in runs]
    plan = ListPlan([run for run, _ in runs])
    with Runner(client, progress=progress, description="sweep") as runner:
        runner.run(plan, criterion=criterion, design=design, measure=measure)
    measures = []
    for outcome in plan.outcomes:
        measures += [k for k in outcome.measures if k not in measures]
    rows = []
    for point, outcome in zip(points, plan.outcomes):
        row = dict(point)
        row.update({k: outcome.measures.get(k, math.nan) for k in measures})
        row.update(passed=outcome.passed, reason=outcome.reason, message=outcome.message)
        rows.append(row)
    table = pd.DataFrame(rows, columns=names + measures + ["passed", "reason", "message"])
    table.attrs["stats"] = runner.stats
    return table
