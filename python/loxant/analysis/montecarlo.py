"""Yield: the fraction of circuits that work under process spread (Monte Carlo).

Each sample is a circuit drawn at random, judged by the criterion of the
nominal run.  The randomness comes from a netlist's own distribution (its
random functions such as ``gauss(...)`` and its ``.spread`` declarations, which
``netlist.circuit(params, rng)`` draws from the sample's generator: the default
distribution of a netlist) and from Gaussian spreads given in Python, as
relative standard deviations:

* ``global_spread={"ic": 0.05, ...}``: one draw per sample and kind, shared by
  every element of that kind (a process shift);
* ``local_spread={"ic": 0.02, "J3": 0.04, "LD_margin": 0.2, ...}``: one draw
  per element (an element name overrides its kind), and one per ``.param`` named
  (top-level, or an instance's as in margins: ``B0@XDUT``, or ``B0`` with a cell
  under test), which everything the netlist computes from it follows.

With a cell under test (``dut="XDUT"``) the kinds' spreads draw only its
elements and the bias sources feeding it; a netlist's own distribution is drawn
everywhere.

Kinds: ``"ic"`` junction critical currents, ``"l"`` inductances, ``"r"``
resistances (resistors), ``"c"`` capacitances (capacitors), ``"bias"`` bias
sources (current sources that settle to a constant; signals are not drawn).  An element's value is multiplied by (1 + sigma_g g)(1 + sigma_l z)
with g, z standard normal.

Sample ``i`` draws from a generator seeded by ``(seed, i)`` alone, so a sample
is the same whoever runs it and in whatever order: the analysis is reproducible
whatever the number of workers.
"""

import math
import numbers
from statistics import NormalDist

from .common import make_design, nominal_criterion
from .design import GLOBAL_MULTIPLIERS
from .display import draw_yield, finish, html_table
from .reasons import failure_groups
from .runner import ClusterLost, Run, Runner
from .sampling import KINDS, draw_sample, sample_generator

__all__ = [
    "KINDS",
    "MAX_SAMPLES",
    "YieldResult",
    "draw_sample",
    "sample_generator",
    "wilson_interval",
    "yield_analysis",
]


#: most samples one analysis may ask for (each keeps its outcome and draws)
MAX_SAMPLES = 100_000


def wilson_interval(passed, n, confidence=0.95):
    """Wilson score interval of a binomial proportion ``passed / n``."""
    if n <= 0:
        return (math.nan, math.nan)
    z = NormalDist().inv_cdf(0.5 + confidence / 2)
    p = passed / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z / (1 + z * z / n) * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n))
    return (max(centre - half, 0.0), min(centre + half, 1.0))


class YieldResult:
    """``fraction`` of samples that passed, its ``interval`` at ``confidence``
    (Wilson), ``passed`` and ``n`` counts, and ``samples``: one row per sample with
    ``sample``, ``passed``, ``reason``, ``message`` and the values drawn, under
    the names of what was drawn (``R1``, ``J1.ic``: absolute values, SI for
    physical circuits and netlists; ``samples.attrs["units"]`` gives their units
    and ``attrs["nominal"]`` their nominal values); :meth:`reasons`: the failures
    grouped by reason and kind of message; :meth:`plot`: the pass rate against
    each value drawn."""

    def __init__(self, samples, confidence, nominal):
        self.samples = samples
        self.n = len(samples)
        self.passed = int(samples["passed"].sum()) if self.n else 0
        self.fraction = self.passed / self.n if self.n else math.nan
        self.confidence = confidence
        self.interval = wilson_interval(self.passed, self.n, confidence)
        self.nominal = nominal
        #: the runner's counts and times
        self.stats = {}

    def reasons(self):
        """The failed samples grouped by reason and kind of message, with their
        ``count`` and one ``example`` message (a DataFrame)."""
        return failure_groups(self.samples)

    def plot(self, path=None, title="Yield"):
        """The yield estimate and its interval as the samples come in: a
        matplotlib Figure, written to ``path`` too when one is given."""
        import numpy as np

        passed = np.cumsum(self.samples["passed"].to_numpy(dtype=bool)) if self.n else []
        counts = range(1, len(passed) + 1)
        bounds = np.array([wilson_interval(p, n, self.confidence) for p, n in zip(passed, counts)])
        running = np.asarray(passed, dtype=float) / np.arange(1, len(passed) + 1)
        heading = f"{title}: {self.passed} of {self.n} pass"
        return finish(draw_yield(running, bounds, self.confidence, heading), path)

    def _repr_html_(self):
        return html_table(self.summary(), caption=repr(self)[1:-1]) + html_table(
            self.reasons(), caption="failures by reason"
        )

    def summary(self):
        """One row: samples, passed, yield, confidence, and the interval's ends."""
        import pandas as pd

        lo, hi = self.interval
        row = {
            "samples": self.n,
            "passed": self.passed,
            "yield": self.fraction,
            "confidence": self.confidence,
            "low": lo,
            "high": hi,
        }
        return pd.DataFrame([row])

    def __repr__(self):
        lo, hi = self.interval
        return (
            f"<YieldResult: {self.passed} of {self.n} pass, yield {self.fraction:.3f} "
            f"({self.confidence:.0%} interval {lo:.3f}..{hi:.3f})>"
        )


def _spreads(spread, what, design):
    """{kind or element name as the circuit spells it: sigma}, checked."""
    checked = {}
    for key, sigma in dict(spread or {}).items():
        name = key.lower() if isinstance(key, str) and key.lower() in KINDS else None
        if name is None and what == "local":
            name = design.element_name(key) if isinstance(key, str) else None
            if name is None and isinstance(key, str):
                name = _param_name(design, key)
        if name is None:
            allowed = ", ".join(KINDS) + (
                " or an element or .param name" if what == "local" else ""
            )
            raise ValueError(f"{what} spread: unknown kind {key!r} (expected {allowed})")
        if isinstance(sigma, bool) or not isinstance(sigma, numbers.Real) or not sigma >= 0:
            raise ValueError(f"{what} spread of {key!r} must be a number >= 0, got {sigma!r}")
        if not math.isfinite(sigma):
            raise ValueError(f"{what} spread of {key!r} must be finite")
        checked[name] = float(sigma)
    return checked


def _param_name(design, key):
    """The design's spelling of ``.param`` ``key``, or None."""
    try:
        name = design.resolve(key)
    except ValueError:
        return None
    return name if name in design.param_names or name in GLOBAL_MULTIPLIERS else None


def yield_analysis(
    netlist_or_circuit,
    n=100,
    *,
    global_spread=None,
    local_spread=None,
    seed=0,
    confidence=0.95,
    t_stop=None,
    dt=None,
    criterion=None,
    junctions=None,
    window=None,
    watch=None,
    dut=None,
    expected=None,
    threshold=None,
    client="auto",
    progress=True,
    **options,
):
    """Monte Carlo yield over ``n`` samples; returns a :class:`YieldResult`.

    ``global_spread``, ``local_spread``: relative sigmas (see the module); a
    netlist's own distribution is drawn in every case.  ``seed``: an integer;
    the same seed gives the same samples and outcomes whatever the client.
    ``dut``: the cell under test, a subcircuit instance (None: the whole
    circuit); the kinds' spreads then draw its elements and the bias feeding it.
    ``netlist_or_circuit``, ``criterion``, ``junctions``, ``window``, ``watch``,
    ``expected``, ``threshold``,
    ``t_stop``, ``dt``, ``options`` and ``client`` are as for
    :func:`loxant.analysis.margins.margins`.  A cluster lost on the way raises
    :class:`~loxant.analysis.runner.ClusterLost` whose ``partial`` is the result
    over the samples done.
    """
    if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 1:
        raise ValueError(f"n must be a positive number of samples, got {n!r}")
    if n > MAX_SAMPLES:
        raise ValueError(f"{n} samples asked for, more than {MAX_SAMPLES}: fewer samples")
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer, got {seed!r}")
    if not 0 < confidence < 1:
        raise ValueError(f"confidence must lie between 0 and 1, got {confidence!r}")
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    design.set_dut(dut)
    spreads = (_spreads(global_spread, "global", design), _spreads(local_spread, "local", design))
    if not design.is_netlist and not any(spreads[0].values()) and not any(spreads[1].values()):
        raise ValueError("nothing varies: give global_spread or local_spread")
    plan = SamplePlan(int(n), int(seed), spreads)
    nominal = None
    try:
        with Runner(client, progress=progress, description="yield") as runner:
            criterion, nominal = nominal_criterion(
                runner, design, criterion, junctions, window, watch, expected, threshold
            )
            runner.run(plan, criterion=criterion, design=design)
    except ClusterLost as lost:  # the samples done are kept
        done = [(k, o) for k, o in enumerate(plan.outcomes) if o is not None]
        lost.partial = _result(done, design, confidence, nominal, runner)
        lost.done = len(done)  # samples; the nominal run is none
        raise
    return _result(enumerate(plan.outcomes), design, confidence, nominal, runner)


def _result(outcomes, design, confidence, nominal, runner):
    result = YieldResult(_table(outcomes, design), confidence, nominal)
    result.stats = runner.stats
    return result


class SamplePlan:
    """The runs of samples ``0 .. n-1``, made as the runner takes them."""

    def __init__(self, n, seed, spreads):
        self.n, self.seed, self.spreads = n, seed, spreads
        self.outcomes = [None] * n
        self._next = 0
        self._recorded = 0

    def take(self, limit):
        start, self._next = self._next, min(self._next + limit, self.n)
        return [(k, Run(sample=(self.seed, k, self.spreads))) for k in range(start, self._next)]

    def record(self, key, outcome):
        self._recorded += self.outcomes[key] is None
        self.outcomes[key] = outcome

    def remaining(self):
        return self.n - self._recorded


def _table(outcomes, design):
    """One row per ``(sample, outcome)``: the outcome and the values drawn."""
    import pandas as pd

    rows = []
    nominal = {}
    for index, outcome in outcomes:
        row = {
            "sample": index,
            "passed": outcome.passed,
            "reason": outcome.reason,
            "message": outcome.message,
        }
        for name, multiplier in outcome.drawn.items():
            if name not in nominal:
                nominal[name] = design.nominal(name)
            row[name] = nominal[name] * multiplier
        rows.append(row)
    table = pd.DataFrame(rows)
    table.attrs["nominal"] = nominal
    if design.units is not None:
        table.attrs["units"] = {name: design._symbol(name) for name in nominal}
    return table
