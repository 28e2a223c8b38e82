"""Sweeps: a grid of parameter values (or given points) run in parallel.

Element parameters and the global bias are given as multipliers of their
nominal values, a netlist's ``.param`` names as values.  The measure is any
callable of the results returning a number or a dict of numbers (for example
:class:`~loxant.analysis.events.MeanVoltage`), or a dict of such callables
(``{"delay": Delay("J1", "J9"), "v": MeanVoltage("J9")}``, a column each); it
runs on the workers, so it must be picklable (a function of a module, or an
instance of such a class).
"""

import itertools
import math

from .common import make_design
from .runner import ListPlan, Run, Runner

__all__ = ["Measures", "sweep"]


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


def _points(design, grid, points):
    if (grid is None) == (points is None):
        raise ValueError("give either a grid {param: values} or a list of points")
    if grid is not None:
        names = list(grid)
        axes = []
        for name in names:
            values = list(grid[name]) if not isinstance(grid[name], (int, float)) else [grid[name]]
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
    values = {k: v for k, v in point.items() if k in design.param_names}
    multipliers = {k: v for k, v in point.items() if k not in design.param_names}
    return Run(multipliers=multipliers, values=values)


def sweep(
    netlist_or_circuit,
    grid=None,
    *,
    points=None,
    measure,
    criterion=None,
    t_stop=None,
    dt=None,
    client="auto",
    progress=True,
    **options,
):
    """Run every point of ``grid`` ({param: values}, all combinations) or of
    ``points`` (a list of {param: value}) and return a pandas DataFrame with a
    column per parameter, the measures (``value`` for a single number), and
    ``passed`` and ``reason`` (a failed run has NaN measures); parameters are
    named as the circuit spells them.  ``criterion`` is
    optional here (default: every run that simulates passes).  With several
    parameters, ``table.set_index(params).to_xarray()`` gives an array
    per measure (needs xarray).  ``table.attrs["stats"]`` holds the runner's
    counts and times (see :attr:`loxant.analysis.runner.Runner.stats`)."""
    import pandas as pd

    if isinstance(measure, dict):
        measure = Measures(measure)
    if not callable(measure):
        raise TypeError("measure must be a callable of the results or a dict of them")
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    names, points = _points(design, grid, points)
    plan = ListPlan([_run(design, p) for p in points])
    with Runner(client, progress=progress, description="sweep") as runner:
        runner.run(plan, criterion=criterion, design=design, measure=measure)
    measures = []
    for outcome in plan.outcomes:
        measures += [k for k in outcome.measures if k not in measures]
    rows = []
    for point, outcome in zip(points, plan.outcomes):
        row = dict(point)
        row.update({k: outcome.measures.get(k, math.nan) for k in measures})
        row.update(passed=outcome.passed, reason=outcome.reason)
        rows.append(row)
    table = pd.DataFrame(rows, columns=names + measures + ["passed", "reason"])
    table.attrs["stats"] = runner.stats
    return table
