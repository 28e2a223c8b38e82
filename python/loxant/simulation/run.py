"""The front door of a simulation: :func:`simulate`."""

import math
import threading
import time

from ..gcpause import collector_paused
from .assembly import System, native_modules
from .engines import ENGINES
from .options import RunOptions
from .probes import RecordPlan

__all__ = ["MAX_STARTUP_STEPS", "simulate", "startup_steps"]

#: most steps of the start-up period
MAX_STARTUP_STEPS = 1000


def startup_steps(h):
    """Steps of the start-up period before t = 0 for a time step of ``h`` seconds:
    2 * 10**(2 (|log10 h| - 12) + 1), whole steps, at most 1000 (1000 at 0.025 ps,
    none from 10 ps up).  The peer's rule, so the same circuits land in the same
    state."""
    if not h > 0:
        return 0  # no step to count: the run's own check refuses it
    exponent = (abs(math.log10(h)) - 12) * 2 + 1
    if exponent > 300:  # a step so far from a picosecond: 10**exponent is no number
        return MAX_STARTUP_STEPS
    return min(int(2 * 10**exponent), MAX_STARTUP_STEPS)


#: ``active`` is true while this thread is inside :func:`simulate`
_this_thread = threading.local()


def simulate(circuit, t_stop, dt=None, **options):
    """Simulate ``circuit`` from t = 0 to ``t_stop`` with time step ``dt``.

    ``circuit`` is a described circuit: its ``elements`` (declarations of
    :mod:`loxant.elements`, in order), ``nodes``, ``temperature`` and
    ``noise_bandwidth``, as a :class:`~loxant.circuit.Circuit` holds them.
    Every unknown starts at rest (phases, voltages and branch currents 0), or,
    with ``settle_steps``, where a start-up period leaves it.

    Options:
        record_every: keep every k-th accepted step (the state at t = 0 is kept).
        record_from: keep only steps at or after this time.
        record: what to keep: a list of probes, each a node or element name (all
            its series) or one quantity of it as ``"phase(J1)"``, ``"voltage(n2)"``,
            ``"current(L1)"``, ``"turns(J1)"``; ``"all"`` for everything; None (the
            default) for everything while that stays under 256 MiB.
        initial_ramp: sources rise smoothly from 0 to their values over this time.
        phase_hysteresis: width in radians of the dead band of the turn counters.
        abstol, reltol: Newton converges when every correction obeys
            ``|delta| <= abstol + reltol * |value|`` (defaults ``NEWTON_ABSTOL``,
            ``NEWTON_RELTOL``).  Given other than the defaults they bound the
            error of every step in both engines (the native engine's iteration
            on a kept factorisation leaves at most a thousandth of them).
        newton_fraction: loosens the default tolerances only: the native engine
            at a fixed step also stops Newton once the error left is below this
            fraction of the step's own local error (default
            ``NEWTON_FRACTION`` with the default tolerances, else 0; a
            fraction above 0 with other tolerances is refused).  0 bounds the
            error by abstol and reltol alone, so that the engines agree.
        single_solve: with newton_fraction above 0, a fixed step of the native
            engine also ends after its first solve when the correction still to
            come, estimated from the residual, is at most this fraction of the
            step's own local error; the diagonal's share of that correction is
            then added.  Default ``TRAPEZOIDAL_SINGLE_SOLVE`` under the
            trapezoidal rule, else ``SINGLE_SOLVE``; 0 for none.
        method: the integration formula of a fixed step: ``"trapezoidal"``
            (native engine, fixed step, no phase source), whose error is about
            a third of BDF2's at the same step but which does not damp what it
            carries, or ``"bdf2"`` (as the adaptive step).  By default the
            trapezoidal rule where it applies, else BDF2; the start-up period
            before t = 0 always integrates with BDF2.
        max_iterations: Newton iterations per step before the step is retried
            with half the size.
        dt: the fixed time step; with rtol or atol, or without dt, the step is
            adaptive and dt is its first step (and, without dt_max, its largest).
        rtol, atol: local error tolerance of the adaptive step: each step's
            error estimate obeys ``|err| <= atol + rtol * |phase|`` on every phase
            (radians); defaults ``ADAPTIVE_RTOL``, ``ADAPTIVE_ATOL``.
        dt_max: largest adaptive step (default dt, else t_stop / 100).  The
            adaptive step lands on every corner of a PWL or pulse waveform;
            record_every then counts accepted steps, which are recorded as they are.
            Thermal noise is held over a noise step (1 / (2 noise_bandwidth), else
            dt_max), whose boundaries the steps land on, at most a third of it
            each; the error estimate leaves out the noise's response.
        print_step: with an adaptive step, the results hold the times k * print_step
            instead of the accepted steps, each value from the quadratic through
            the three accepted levels of the step that reaches it (the polynomial
            of the integration formula; turn counts from the last accepted level).
        dt_min: smallest step size tried before giving up (default ``dt / 1024``;
            adaptive: ``dt_max * 1e-9``).
        engine: ``"native"`` (the time loop in C++) or ``"python"`` (the reference
            loop of :mod:`loxant.simulation.reference`).
        progress: called with the simulation time about ten times a second.
        profile: time the kernels and the linear algebra apart (native engine;
            ``kernel_seconds`` and ``solver_seconds`` in the stats).
        seed: integer seed of the thermal noise currents (same seed, same noise);
            None draws fresh entropy.  Checked with or without noise.
        max_steps: most steps a run may take (default ``MAX_STEPS``, 10**9): a
            fixed step that projects more is refused, an adaptive run stops there.
        settle_steps: steps of the start-up period (of dt, or of dt_max when
            adaptive) taken from rest before t = 0, the sources evaluated at
            those negative times, the junctions' voltage history held at zero
            (as the peer holds it) and nothing recorded; the run then starts from
            the state reached (see :func:`startup_steps`).  The stats then hold
            ``settle_steps`` (its accepted steps, not counted in ``steps``) and
            ``settle_motion``, the largest change of a node voltage another
            period would bring at the rate it ended on.

    Every option is checked before the run (:class:`RunOptions`), with the same
    :class:`~loxant.errors.CircuitError` whatever the engine.  Returns a
    :class:`~loxant.simulation.results.Results`; its ``stats`` count steps, Newton
    iterations, factorisations and refactorisations.  Raises
    :class:`~loxant.errors.ConvergenceError` or
    :class:`~loxant.errors.SingularMatrixError` naming the time at which the
    simulation stopped, and :class:`~loxant.errors.RunLimitError` when an
    adaptive run reaches ``max_steps`` or a recording of ``MAX_RECORDING_BYTES``
    (its ``results`` what was recorded).  A simulation may not start another
    one in the same thread (for instance from a source's waveform).
    """
    if getattr(circuit, "units", None) is not None:
        # its temperature and times would be read as normalised numbers
        raise TypeError("an SI circuit runs through its simulate method or loxant.simulate")
    options = RunOptions.check(t_stop, dt, **options)
    engine = ENGINES[options.engine]
    native_modules()
    engine.prepare()
    started = time.perf_counter()
    with collector_paused():
        system = System(circuit, blocks=engine.takes_blocks)
    plan = RecordPlan(system, options.record)
    limits = options.limits(plan.bytes_per_sample(), started)
    options = options.for_system(system)
    if getattr(_this_thread, "active", False):
        raise RuntimeError("another simulation is running in this thread")
    _this_thread.active = True
    try:
        results = engine.execute(system, plan, options, limits)
        results.stats["wall_time"] = time.perf_counter() - started
        return results
    finally:
        _this_thread.active = False
