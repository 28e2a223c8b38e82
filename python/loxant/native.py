"""The native engine: a whole transient run in ``loxant.NativeEngine``.

Set-up goes through the shared state of ``lxglobals`` and
``SimulationParameters`` as the Python driver's does (numbering, element
models, the static matrix), under the package's set-up lock; from then on the
run owns its models and arrays, and the time loop runs in C++ without the
interpreter lock unless a source's waveform is a Python callable.  Several
runs can so proceed in parallel threads.

The loop repeats the arithmetic of :class:`loxant.transient.Transient` but
predicts each step from the last level's voltage and voltage derivative and
keeps KLU's factorisation from solve to solve (refactoring with the kept
pivots), so results agree with the Python driver to the Newton tolerance,
not bit for bit.
"""

import functools
import importlib

from . import lxglobals
from .errors import ConvergenceError, SingularMatrixError, non_finite_reason
from .probes import grow
from .waveforms import PWL, PWS, Constant, Custom, DampedSine, Exp, Noise, Pulse, Rescaled, Sine

__all__ = ["engine_module", "make_engine", "run", "waveform_spec"]


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
    kind = type(waveform)
    if kind is Constant:
        return ("constant", waveform.value)
    if kind is PWL:
        return ("pwl", waveform.times, waveform.values)
    if kind is Pulse:
        w = waveform
        return ("pulse", w.low, w.high, w.delay, w.rise, w.fall, w.width, w.period)
    if kind is PWS:
        return ("pws", waveform.times, waveform.values)
    if kind is Sine:
        w = waveform
        return ("sine", w.offset, w.amplitude, w.frequency, w.delay, w.phase, w.cycles)
    if kind is DampedSine:
        w = waveform
        params = (w.offset, w.amplitude, w.frequency, w.delay, w.damping, w.phase, w.cycles)
        return ("damped_sine", *params)
    if kind is Noise:
        w = waveform
        return ("noise", w.amplitude, w.delay, w.step, *w.key)
    if kind is Custom:
        w = waveform
        return ("custom", w.samples, w.step, w.interpolation, w.delay, w.periodic)
    if kind is Exp:
        w = waveform
        return ("exp", w.v1, w.v2, w.delay_rise, w.tau_rise, w.delay_fall, w.tau_fall)
    if kind is Rescaled:
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


def run(engine, plan, capacity, max_iterations):
    """Runs ``engine`` to its end; returns (time, values, turns) cut to the rows
    recorded (views, not copies).  Raises the errors of the Python driver."""
    tables = plan.allocate(capacity)
    while True:
        code = engine.run(*tables)
        if code == 0:
            break
        if code == 1:
            tables = grow(tables, engine.recorded)
            continue
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
