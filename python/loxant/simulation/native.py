"""The native engine: a whole transient run in ``loxant.NativeEngine``.

Set-up goes through the shared state of ``lxglobals`` and
``SimulationParameters`` as the Python driver's does (numbering, element
models, the static matrix), under the package's set-up lock; from then on the
run owns its models and arrays, and the time loop runs in C++ without the
interpreter lock unless a source's waveform is a Python callable.  Several
runs can so proceed in parallel threads.

The loop repeats the arithmetic of :class:`loxant.simulation.integrator.Transient` but
predicts each step from the last level's voltage and voltage derivative and
keeps KLU's factorisation from solve to solve (refactoring with the kept
pivots), so results agree with the Python driver to the Newton tolerance,
not bit for bit.
"""

import functools
import importlib
import time

import numpy as np

from .. import lxglobals
from ..errors import ConvergenceError, RunLimitError, SingularMatrixError, non_finite_reason
from ..gcpause import collector_paused
from ..kinds import waveform_kind
from ..waveforms import Constant, Rescaled
from .assembly import STATE_LOCK, native_modules
from .probes import grow

__all__ = [
    "engine_module",
    "engine_options",
    "execute",
    "make_engine",
    "prepare",
    "run",
    "setup",
    "waveform_spec",
]


def prepare():
    """Loads the engine before anything is built, so a missing build fails first."""
    engine_module()


def execute(system, plan, options, limits):
    """The native run of ``system`` under ``options``: set-up under the shared
    state's lock, then the loop in C++ on the engine's own state."""
    kernel, _ = native_modules()
    with STATE_LOCK, collector_paused():
        engine = setup(system, kernel, plan, options)
    setup_seconds = time.perf_counter() - limits.started
    try:
        tables = run(engine, plan, limits.expected, options.max_iterations, limits.max_rows)
    except RunLimitError as exc:
        exc.stats = dict(engine.stats)
        raise limits.error(exc, plan) from None
    stats = dict(engine.stats, setup_seconds=setup_seconds)
    if not options.profile:
        del stats["kernel_seconds"], stats["solver_seconds"]
    return limits.results(tables, plan, stats)


def setup(system, kernel, plan, options):
    """Installs ``system`` and hands its models to a native engine run under
    ``options`` (a :class:`~loxant.simulation.options.RunOptions`)."""
    system.install(
        kernel,
        initial_ramp=options.initial_ramp,
        phase_hysteresis=options.phase_hysteresis,
        time_step=options.dt,
        seed=options.seed,
    )
    kernel.UpdateValues()
    A0 = np.zeros(system.nnz)
    kernel.BuildStaticMatrix(A0)
    return make_engine(system, A0, plan, engine_options(options, system))


def engine_options(options, system):
    """The engine's options (a dict, as ``NativeEngine.Engine`` reads them) of a
    run of ``system`` under ``options``."""
    settings = dict(
        initial_ramp=options.initial_ramp,
        phase_hysteresis=options.phase_hysteresis,
        abstol=options.abstol,
        reltol=options.reltol,
        max_iterations=options.max_iterations,
        t_stop=options.t_stop,
        dt=options.dt,
        dt_min=options.dt_min,
        record_every=options.record_every,
        record_from=options.record_from,
        nonlinear=system.nonlinear,
        steps_history=system.steps_history,
        values_every_step=system.values_keep_state,
        newton_fraction=options.newton_fraction,
        single_solve_fraction=options.single_solve,
        profile=options.profile,
        progress=options.progress,
        progress_interval=0.1,
    )
    if options.settle_steps:
        settings.update(settle_steps=options.settle_steps, settle_step=options.grid)
    if options.adaptive:
        settings.update(
            adaptive=True,
            lte_rtol=options.rtol,
            lte_atol=options.atol,
            dt_max=options.dt_max,
            breakpoints=list(options.breakpoints),
            noise_step=options.noise_step,
            noise_models=[e.index for e in system.noise],
            max_steps=options.max_steps,
            # Converged only when the correction itself is within the
            # tolerance, as in the Python driver: the levels then agree
            # far below it, and so do the steps chosen from them.
            rate_test=False,
        )
    return settings


def engine_module():
    """The module ``loxant.NativeEngine``."""
    try:
        return importlib.import_module("loxant.NativeEngine")
    except ImportError as exc:
        raise ImportError(
            f"loxant.NativeEngine is not built or cannot be loaded ({exc}); build the native "
            "modules first, or simulate with engine='python'"
        ) from exc


def waveform_spec(waveform, source=None):
    """The engine's description of ``waveform``: its parameters for the kinds the
    engine evaluates itself, else a callable the loop calls (through ``source``,
    the declaration, so that a failure names it)."""
    kind = waveform_kind(waveform)
    if kind is not None:
        return (kind.native, *kind.items(waveform))
    if type(waveform) is Rescaled:
        return (
            "scaled",
            waveform_spec(waveform.waveform, source),
            waveform.time_scale,
            waveform.value_scale,
        )
    if isinstance(waveform, Constant):
        # The Python driver never re-evaluates a constant after t = 0 either.
        return ("constant", waveform.value)
    if source is None:
        return ("python", waveform)
    return ("python", functools.partial(source.value_at, waveform=waveform))


def make_engine(system, A0, plan, options):
    """The engine of an installed system whose static matrix is ``A0``."""
    module = engine_module()
    arrays = (
        lxglobals.NodePhase,
        lxglobals.NodeVoltage,
        lxglobals.NodeDVoltage,
        lxglobals.ElementPhase,
        lxglobals.ElementVoltage,
        lxglobals.ElementCurrent,
        lxglobals.ElementN,
    )
    sources = [
        (e.index, float(e.orientation.value_sign), waveform_spec(e.decl.waveform, e.decl))
        for e in system.sources
    ]
    return module.Engine(
        [e.model for e in system.elements],
        system.Ap,
        system.Ai,
        A0,
        arrays,
        sources,
        plan.channels,
        plan.turn_channels,
        options,
    )


def run(engine, plan, capacity, max_iterations, max_rows=None):
    """Runs ``engine`` to its end; returns (time, values, turns) cut to the rows
    recorded (views, not copies).  Raises the errors of the Python driver, and
    :class:`~loxant.errors.RunLimitError` (its ``tables`` the rows recorded) when
    the engine's step limit is reached or the tables would outgrow ``max_rows``."""
    tables = plan.allocate(min(capacity, max_rows) if max_rows else capacity)
    while True:
        code = engine.run(*tables)
        if code == 0:
            break
        if code == 1 and (max_rows is None or engine.recorded < max_rows):
            rows = 2 * len(tables[0]) if max_rows is None else min(2 * len(tables[0]), max_rows)
            tables = grow(tables, engine.recorded, rows)
            continue
        if code in (1, 3):
            error = RunLimitError("recording" if code == 1 else "steps", time=engine.time)
            error.tables = tuple(table[: engine.recorded] for table in tables)
            raise error
        raise _failure(engine.failure, max_iterations, plan.element_names)
    k = engine.recorded
    return tuple(table[:k] for table in tables)


def _failure(failure, max_iterations, element_names):
    t, step, reason, singular, _, non_finite = failure
    if reason == "non-finite correction":
        reason = non_finite_reason([element_names[k] for k in non_finite])
    if reason == "no convergence":
        reason = f"no convergence in {max_iterations} Newton iterations"
    message = f"step from t = {t:.10g} failed at every step size down to {step:.3g}: {reason}"
    if singular:
        return SingularMatrixError(
            message + " (look for loops of phase sources, voltage sources and zero inductors)",
            time=t,
        )
    return ConvergenceError(message, time=t)
