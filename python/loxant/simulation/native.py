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

import enum
import functools
import importlib
import time

import numpy as np

from .. import lxglobals
from ..errors import RECORDING, STEPS, RunLimitError, RunStopped, non_finite_reason
from ..gcpause import collector_paused
from ..kinds import waveform_kind
from ..waveforms import Constant, Rescaled
from .assembly import STATE_LOCK, native_modules
from .integrator import failure_error
from .probes import grow
from .results import PrintedRows
from .stop_rule import STOP_KINDS

__all__ = [
    "PROGRESS_INTERVAL",
    "Outcome",
    "engine_module",
    "engine_options",
    "execute",
    "make_engine",
    "prepare",
    "run",
    "setup",
    "waveform_description",
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
        printed = limits.print_step is not None
        if printed:
            tables = run_printed(engine, plan, limits)
        else:
            tables = run(engine, plan, limits.expected, limits.max_rows)
    except RunLimitError as exc:
        exc.stats = dict(engine.stats)
        raise limits.error(exc, plan) from None
    stats = dict(engine.stats, setup_seconds=setup_seconds)
    if not options.profile:
        del stats["kernel_seconds"], stats["solver_seconds"]
    return limits.results(tables, plan, stats, printed=printed)


def setup(system, kernel, plan, options):
    """Installs ``system`` and hands its models to a native engine run under
    ``options`` (a :class:`~loxant.simulation.options.RunOptions`)."""
    system.install(
        kernel,
        recorded=plan.recorded_elements(),
        initial_ramp=options.initial_ramp,
        phase_hysteresis=options.phase_hysteresis,
        time_step=options.dt,
        seed=options.seed,
    )
    kernel.UpdateValues()
    A0 = np.zeros(system.nnz)
    kernel.BuildStaticMatrix(A0)
    settings = engine_options(options, system)
    if options.stop_rule is not None and options.print_step is None:
        # judged on the samples recorded: not on a print grid made afterwards
        settings["stop_rule"] = options.stop_rule.engine_settings(plan)
    return make_engine(system, A0, plan, settings)


#: seconds between the engine's calls of ``progress`` (and checks for signals)
PROGRESS_INTERVAL = 0.1


def engine_options(options, system):
    """The engine's options (a dict, as ``NativeEngine.Engine`` reads them) of a
    run of ``system`` under ``options``: those :meth:`RunOptions.native
    <loxant.simulation.options.RunOptions.native>` generates, and what the
    system says of itself."""
    settings = options.native()
    settings.update(
        nonlinear=system.nonlinear,
        steps_history=system.steps_history,
        values_every_step=system.values_keep_state,
        progress_interval=PROGRESS_INTERVAL,
    )
    if options.settle_steps:
        settings.update(settle_step=options.grid)
    if options.method == "trapezoidal":
        settings.update(voltage_free=system.voltage_free_unknowns())
    if options.adaptive:
        settings.update(
            noise_models=[e.index for e in system.noise],
            # Converged only when the correction itself is within the
            # tolerance, as in the Python driver: the levels then agree
            # far below it, and so do the steps chosen from them.
            rate_test=False,
        )
    return settings


class Outcome(enum.IntEnum):
    """What ``Engine.run`` returns (the module's constants of the same names)."""

    FINISHED = 0
    TABLES_FULL = 1
    FAILED = 2
    STEP_LIMIT = 3
    RULE_FAILED = 5


def engine_module():
    """The module ``loxant.NativeEngine``."""
    try:
        return importlib.import_module("loxant.NativeEngine")
    except ImportError as exc:
        raise ImportError(
            f"loxant.NativeEngine is not built or cannot be loaded ({exc}); build the native "
            "modules first, or simulate with engine='python'"
        ) from exc


def waveform_description(waveform, source=None):
    """The engine's description of ``waveform``: its parameters for the kinds the
    engine evaluates itself, else a callable the loop calls (through ``source``,
    the declaration, so that a failure names it)."""
    kind = waveform_kind(waveform)
    if kind is not None:
        return (kind.native, *kind.items(waveform))
    if type(waveform) is Rescaled:
        return (
            "scaled",
            waveform_description(waveform.waveform, source),
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
        (e.index, float(e.orientation.value_sign), waveform_description(e.decl.waveform, e.decl))
        for e in system.sources
    ]
    return module.Engine(
        system.models,
        system.Ap,
        system.Ai,
        A0,
        arrays,
        sources,
        plan.channels,
        plan.turn_channels,
        options,
    )


def run(engine, plan, capacity, max_rows=None):
    """Runs ``engine`` to its end; returns (time, values, turns) cut to the rows
    recorded (views, not copies).  Raises the errors of the Python driver, and
    :class:`~loxant.errors.RunLimitError` (its ``tables`` the rows recorded) when
    the engine's step limit is reached or the tables would outgrow ``max_rows``."""
    tables = plan.allocate(min(capacity, max_rows) if max_rows else capacity)
    while True:
        outcome = Outcome(engine.run(*tables))
        if outcome == Outcome.FINISHED:
            break
        full = outcome == Outcome.TABLES_FULL
        if full and (max_rows is None or engine.recorded < max_rows):
            rows = 2 * len(tables[0]) if max_rows is None else min(2 * len(tables[0]), max_rows)
            tables = grow(tables, engine.recorded, rows)
            continue
        if outcome == Outcome.RULE_FAILED:
            raise _stopped(engine.stop_report)
        if outcome == Outcome.FAILED:
            raise _failure(engine.failure, plan.system.model_names())
        limit = RECORDING if full else STEPS
        error = RunLimitError(limit, time=engine.time, limit=limit)
        error.tables = tuple(table[: engine.recorded] for table in tables)
        raise error
    k = engine.recorded
    return tuple(table[:k] for table in tables)


#: bytes of accepted steps a run with a print step holds at a time
PRINTED_BLOCK_BYTES = 16 * 2**20


def run_printed(engine, plan, limits):
    """Runs ``engine`` to its end putting its rows on the print grid block by
    block (:class:`~loxant.simulation.results.PrintedRows`); returns the printed
    (time, values, turns).  The print grid's size was checked before the run."""
    printer = PrintedRows(limits.print_step)
    rows = max(PRINTED_BLOCK_BYTES // limits.per_sample, 8)
    tables = plan.allocate(min(limits.expected, rows))
    kept = PrintedRows.KEPT
    while True:
        outcome = Outcome(engine.run(*tables))
        full = outcome == Outcome.TABLES_FULL
        if full and len(tables[0]) < rows:  # the first block, grown to its size
            tables = grow(tables, engine.recorded, min(2 * len(tables[0]), rows))
            continue
        if full:  # a full block: printed, its last rows kept at its head
            printer.take(*tables)
            for table in tables:
                table[:kept] = table[-kept:]
            engine.recorded = kept
            continue
        block = tuple(table[: engine.recorded] for table in tables)
        if outcome == Outcome.FINISHED:
            return printer.finish(*block, limits.t_stop)
        if outcome == Outcome.FAILED:
            raise _failure(engine.failure, plan.system.model_names())
        error = RunLimitError(STEPS, time=engine.time, limit=STEPS)
        error.tables = printer.finish(*block, engine.time)
        error.printed = True
        raise error


def _stopped(report):
    kind, junction, index, t, value, phase = report
    found = dict(
        kind=STOP_KINDS[kind], junction=junction, index=index, time=t, value=value, phase=phase
    )
    return RunStopped(f"the stop rule ended the run: {found['kind']}", time=t, report=found)


def _failure(failure, element_names):
    t, step, reason, singular, iterations, non_finite = failure
    module = engine_module()
    if reason == module.REASON_NON_FINITE:
        reason = non_finite_reason([element_names[k] for k in non_finite])
    if reason == module.REASON_NO_CONVERGENCE:
        reason = f"no convergence in {iterations} Newton iterations"
    return failure_error(t, step, reason, singular)
