"""Transient simulation: the time loop around the native kernels.

Integration is variable-step BDF2 (the first step backward Euler) applied to
every unknown's phase and to its derivative::

    V_n  = a0 phi_n + a1 phi_{n-1} + a2 phi_{n-2}
    dV_n = a0 V_n   + a1 V_{n-1}   + a2 V_{n-2}

so that d(V_n)/d(phi_n) = a0 and d(dV_n)/d(phi_n) = a0**2.  Each step solves the
current balance with Newton's method: the kernels add the Jacobian into three
value arrays A0 (constant), A1 (depends on the step size), A2 (depends on the
phases) and the negative residual into B; the sparse solver turns B into the
correction in place.  The iteration has converged when every correction obeys
``|delta| <= abstol + reltol * |phi|``.  A step whose iteration fails is retried
with half the step size, down to ``dt_min``; the step size then grows back.

The simulation state is shared with the kernels through module globals
(``loxant.lxglobals``, ``loxant.SimulationParameters``): set-up through it is
serialised by a lock.  This Python driver (``engine="python"``) holds that lock
for its whole run; the native engine (``loxant.native``, the default) only for
set-up, so native runs in separate threads proceed in parallel.
"""

import copy
import math
import threading
import time as _time

import numpy as np

from . import SimulationParameters as SP
from . import lxglobals, native
from .assembly import System, native_modules
from .elements import number
from .errors import (
    CircuitError,
    ConvergenceError,
    RunLimitError,
    SingularMatrixError,
    non_finite_reason,
)
from .gcpause import collector_paused
from .probes import HOW_TO_RECORD, RecordPlan
from .results import Recorder, Results
from .waveforms import Constant

__all__ = ["Transient", "bdf_coefficients", "simulate", "smooth_factor"]

#: serialises every use of the shared lxglobals / SimulationParameters state
_state_lock = threading.Lock()
#: ``active`` is true while this thread is inside :func:`simulate`
_this_thread = threading.local()

#: most time steps a run may project (t_stop / dt)
MAX_STEPS = 10**9
#: largest recording, in bytes, a run may project
MAX_RECORDING_BYTES = 256 * 2**20


def bdf_coefficients(h, h_prev=None):
    """(a0, a1, a2) of the derivative estimate for step ``h`` after a step ``h_prev``.

    Without ``h_prev``: backward Euler.  Otherwise the variable-step BDF2
    formula, exact for polynomials of degree 2 on the nodes t_n, t_n - h,
    t_n - h - h_prev.
    """
    if h_prev is None:
        return 1.0 / h, -1.0 / h, 0.0
    w = h / h_prev
    return (1.0 + 2.0 * w) / (h * (1.0 + w)), -(1.0 + w) / h, w * w / (h * (1.0 + w))


def extrapolation_weights(h, h1, h2):
    """(l2, l3): the quadratic through the levels at t - h1 - h2 (weight l3),
    t - h1 (l2) and the last, t, (1 - l2 - l3) extrapolated to t + h."""
    l2 = -h * (h + h1 + h2) / (h1 * h2)
    l3 = h * (h + h1) / ((h1 + h2) * h2)
    return l2, l3


def smooth_factor(t, ramp):
    """Factor applied to every source at time ``t``: rises from 0 to 1 as a half
    cosine over ``ramp``; always 1 without a ramp."""
    if ramp <= 0 or t >= ramp:
        return 1.0
    return 0.5 * (1.0 - math.cos(math.pi * t / ramp))


class _StepFailure(Exception):
    def __init__(self, reason, singular=False):
        super().__init__(reason)
        self.singular = singular


class Transient:
    """The integrator of one installed :class:`~loxant.assembly.System`.

    Created by :func:`simulate`; exposed for tests and tools that drive steps
    themselves (``begin``, then ``step`` and ``accept`` per step).
    """

    def __init__(
        self,
        system,
        kernel,
        solver,
        *,
        abstol=1e-9,
        reltol=1e-9,
        max_iterations=20,
        initial_ramp=0.0,
    ):
        self.system = system
        self.kernel = kernel
        self.solver = solver
        self.abstol = abstol
        self.reltol = reltol
        self.max_iterations = max_iterations
        self.initial_ramp = initial_ramp
        nnz, n = system.nnz, system.size
        self.A0 = np.zeros(nnz)
        self.A1 = np.zeros(nnz)
        self.A2 = np.zeros(nnz)
        self.A01 = np.zeros(nnz)
        self.Ax = np.zeros(nnz)
        self.B = np.zeros(n)
        self._rhs_copy = np.zeros(n)
        self._work = np.zeros(n)
        #: the solver exposes KLU's status (0 = factored, 1 = singular)
        self._reports_status = hasattr(solver, "status")
        #: derivative of the last and the last-but-one accepted level
        self.v1 = SP.DXprev
        self.v2 = np.zeros(n)
        #: the level before the last two accepted (for the local error)
        self.x3 = np.zeros(n)
        self._built_a0 = None
        # Constant sources keep the value BuildStaticMatrix gave them.
        self._timed_sources = [
            e for e in system.sources if not isinstance(e.decl.waveform, Constant)
        ]
        self.stats = {
            "steps": 0,
            "rejected": 0,
            "iterations": 0,
            "matrix_builds": 0,
            "max_iterations": 0,
            "factorisations": 0,
            "refactorisations": 0,
        }

    def begin(self):
        """Build the static matrix and analyse the pattern; the state is all zero."""
        self.A0.fill(0.0)
        self.kernel.BuildStaticMatrix(self.A0)
        self.solver.analyze(self.system.size, self.system.Ap, self.system.Ai)

    def step(self, t, h, h_prev):
        """Advance from ``t`` (accepted) by ``h``; ``h_prev`` is the step that led to
        ``t`` (None for the first step).  On failure the accepted state is untouched
        and :class:`_StepFailure` is raised; on success call :meth:`accept`."""
        a0, a1, a2 = bdf_coefficients(h, h_prev)
        SP.InterpCoeffDt = [a0, a1, a2]
        SP.InterpCoeffDDt = [a0 * a0, a0 * a1, a0 * a2]
        SP.TimeSteps = [h, h if h_prev is None else h_prev]
        t_new = t + h
        lxglobals.CurrentTime = t_new
        SP.InitialSmoothFactor = smooth_factor(t_new, self.initial_ramp)
        for element in self._timed_sources:
            element.UpdateParameters()

        old = SP.Xind
        new = (old + 1) % 3
        x_prev, x_prev2, x = SP.X[old], SP.X[old - 1], SP.X[new]
        np.multiply(self.v1, h, out=x)
        x += x_prev  # predictor: phi_{n-1} + h V_{n-1}
        SP.Xind = new
        dx, ddx = SP.DX, SP.DDX
        # a1 = -(a0 + a2): written with differences, large phases do not cancel
        np.subtract(x, x_prev, out=dx)
        dx *= a0
        if a2:
            dx += a2 * (x_prev2 - x_prev)
        np.multiply(dx, a0, out=ddx)
        ddx += a1 * self.v1
        if a2:
            ddx += a2 * self.v2

        kernel, A2, B = self.kernel, self.A2, self.B
        nonlinear = self.system.nonlinear
        try:
            if self.system.steps_history or a0 != self._built_a0:
                self.A1.fill(0.0)
                A2.fill(0.0)
                B.fill(0.0)
                kernel.BuildMatrix(self.A1, A2, B)
                np.add(self.A0, self.A1, out=self.A01)
                self._built_a0 = a0
                self.stats["matrix_builds"] += 1
            elif nonlinear:
                A2.fill(0.0)
                B.fill(0.0)
                kernel.UpdateMatrix(A2, B)
            else:
                B.fill(0.0)
                kernel.UpdateRHS(B)

            for iteration in range(1, self.max_iterations + 1):  # noqa: B007
                if nonlinear:
                    np.add(self.A01, A2, out=self.Ax)
                    self._solve(self.Ax)
                else:
                    self._solve(self.A01)
                x += B
                # V and dV are linear in the present phase: d/dphi = a0 and a0**2
                np.multiply(B, a0, out=self._work)
                dx += self._work
                self._work *= a0
                ddx += self._work
                if not nonlinear or self._converged(x):
                    break
                A2.fill(0.0)
                B.fill(0.0)
                kernel.UpdateMatrix(A2, B)
            else:
                raise _StepFailure(f"no convergence in {self.max_iterations} Newton iterations")
        except _StepFailure:
            SP.Xind = old
            self._built_a0 = None
            raise
        self.stats["iterations"] += iteration
        self.stats["max_iterations"] = max(self.stats["max_iterations"], iteration)

    def _converged(self, x):
        """True if every correction in B obeys |delta| <= abstol + reltol |x| (B is
        overwritten)."""
        largest = np.abs(self.B, out=self.B).max()
        if largest <= self.abstol:
            return True
        np.abs(x, out=self._work)
        self._work *= self.reltol
        self._work += self.abstol
        return bool((self.B <= self._work).all())

    def accept(self):
        """Publish the converged step to the element models and shift the history."""
        x = SP.X[SP.Xind]
        self.x3[:] = SP.X[(SP.Xind + 1) % 3]  # x_{n-2} now, x_{n-3} of the next step
        lxglobals.NodePhase[:] = x
        lxglobals.NodeVoltage[:] = SP.DX
        lxglobals.NodeDVoltage[:] = SP.DDX
        self.kernel.UpdateValues()
        self.v2[:] = self.v1
        self.v1[:] = SP.DX
        self.stats["steps"] += 1

    def response(self, rhs):
        """The change of the converged level that a change ``rhs`` of the right-hand
        side causes, to first order: the Jacobian at the converged level (of the
        last iterate for models that keep a history: they would commit another
        state) solved against it; ``rhs`` is overwritten.  None if singular."""
        values = self.A01
        if self.system.nonlinear:
            if not self.system.steps_history:
                self.A2.fill(0.0)
                self.B.fill(0.0)
                self.kernel.UpdateMatrix(self.A2, self.B)
                np.add(self.A01, self.A2, out=self.Ax)
            values = self.Ax
        self.solver.solveSparseMatrix(values, rhs)
        self.stats["factorisations"] += 1
        if self._reports_status and self.solver.status != 0:
            return None
        return rhs

    def local_error(self, h, h1, h2, rtol, atol, shift=None):
        """Weighted largest local error of the step of size ``h`` just converged
        (at most 1 within tolerance); ``h1``, ``h2`` are the two steps before.

        With D3 the third derivative of the solution, the corrector x_c has the
        error D3 h (h + h1) / (6 a0) (the residual of the BDF2 derivative over its
        coefficient a0), the quadratic x_p through the last three levels
        -D3 h (h + h1) (h + h1 + h2) / 6; so the error is
        (x_c - x_p) / (1 + a0 (h + h1 + h2)), 2/11 of the difference at a
        constant step.  The Jacobian's share is neglected.  ``shift``, the part of
        the step's change that the noise drives (see :class:`_NoiseHold`), is
        left out.
        """
        a0 = bdf_coefficients(h, h1)[0]
        l2, l3 = extrapolation_weights(h, h1, h2)
        new = SP.Xind
        x, x1, x2 = SP.X[new], SP.X[(new + 2) % 3], SP.X[(new + 1) % 3]
        predicted = l2 * (x2 - x1) + l3 * (self.x3 - x1)
        if shift is not None:
            predicted = predicted + shift
        error = np.abs((x - x1) - predicted) / (1.0 + a0 * (h + h1 + h2))
        return float((error / (atol + rtol * np.abs(x))).max(initial=0.0))

    def reject(self):
        """Forget the step just converged (its local error was too large)."""
        SP.Xind = (SP.Xind + 2) % 3
        self._built_a0 = None

    def _solve(self, values):
        """Solve (values) delta = B in place; raise :class:`_StepFailure` if the
        matrix cannot be factored or the correction is not finite."""
        B, solver = self.B, self.solver
        self.stats["factorisations"] += 1
        if self._reports_status:
            solver.solveSparseMatrix(values, B)
            status = solver.status
            if status == 1:
                raise _StepFailure("singular matrix", singular=True)
            if status != 0:
                raise _StepFailure(f"sparse solver status {status}")
        else:
            self._rhs_copy[:] = B
            solver.solveSparseMatrix(values, B)
            # A solver that cannot factor the matrix leaves B as it was; a
            # right-hand side that solves to itself is told apart by its residual.
            if B.any() and np.array_equal(B, self._rhs_copy):
                residual = self.system.dense(values) @ B - self._rhs_copy
                if np.abs(residual).max() > 1e-8 * (1.0 + np.abs(self._rhs_copy).max()):
                    raise _StepFailure("singular matrix", singular=True)
        if not np.isfinite(B).all():
            raise _StepFailure(_nonfinite_reason(self.system, self.kernel, B))


def _nonfinite_reason(system, kernel, B):
    """Why a correction came out non-finite: the elements whose own current or
    matrix terms are not finite at the present iterate, found by assembling
    them one at a time (B is overwritten; the kernels' table is restored, and
    the step that failed is rebuilt when it is retried)."""
    culprits = []
    a1, a2 = np.zeros(system.nnz), np.zeros(system.nnz)
    try:
        for element in system.elements:
            lxglobals.ElementList = [element]
            lxglobals.TotalElements = 1
            kernel.InitElementModels()
            for array in (a1, a2, B):
                array.fill(0.0)
            kernel.BuildMatrix(a1, a2, B)
            if not all(np.isfinite(array).all() for array in (a1, a2, B)):
                culprits.append(element.name)
    finally:
        lxglobals.ElementList = list(system.elements)
        lxglobals.TotalElements = len(system.elements)
        kernel.InitElementModels()
    return non_finite_reason(culprits)


#: default local error tolerances of the adaptive step (phases in radians)
ADAPTIVE_RTOL = 1e-4
ADAPTIVE_ATOL = 1e-4
#: least number of steps per noise step of an adaptive run: the first step after
#: a change of the noise then has a history of one noise value to be judged by
NOISE_STEPS_PER_HOLD = 3
#: step control: safety factor, largest growth and shrink of a step
_SAFETY, _GROWTH, _SHRINK = 0.9, 2.0, 0.2


def simulate(
    circuit,
    t_stop,
    dt=None,
    *,
    rtol=None,
    atol=None,
    dt_max=None,
    record_every=1,
    record_from=0.0,
    initial_ramp=0.0,
    phase_hysteresis=0.0,
    abstol=1e-9,
    reltol=1e-9,
    newton_fraction=0.1,
    max_iterations=20,
    dt_min=None,
    record=None,
    engine="native",
    progress=None,
    profile=False,
    seed=None,
    print_step=None,
    max_steps=None,
):
    """Simulate ``circuit`` from t = 0 to ``t_stop`` with time step ``dt``.

    Every unknown starts at rest (phases, voltages and branch currents 0).

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
            ``|delta| <= abstol + reltol * |value|``.
        newton_fraction: the native engine at a fixed step also stops Newton once
            the correction left is below this fraction of the step's own local
            error; 0 solves to abstol and reltol alone, as the Python driver does.
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
            driver of this module).
        progress: called with the simulation time about ten times a second.
        profile: time the kernels and the linear algebra apart (native engine;
            ``kernel_seconds`` and ``solver_seconds`` in the stats).
        seed: integer seed of the thermal noise currents (same seed, same noise);
            None draws fresh entropy.  Checked with or without noise.
        max_steps: most steps a run may take (default ``MAX_STEPS``, 10**9): a
            fixed step that projects more is refused, an adaptive run stops there.

    Every option is checked before the run, with the same
    :class:`~loxant.errors.CircuitError` whatever the engine.  Returns a
    :class:`~loxant.results.Results`; its ``stats`` count steps, Newton
    iterations, factorisations and refactorisations.  Raises
    :class:`~loxant.errors.ConvergenceError` or
    :class:`~loxant.errors.SingularMatrixError` naming the time at which the
    simulation stopped, and :class:`~loxant.errors.RunLimitError` when an
    adaptive run reaches ``max_steps`` or a recording of ``MAX_RECORDING_BYTES``
    (its ``results`` what was recorded).  A simulation may not start another
    one in the same thread (for instance from a source's waveform).
    """
    t_stop = number(t_stop, "t_stop", positive=True)
    adaptive = _adaptive_settings(t_stop, dt, rtol, atol, dt_max)
    if adaptive is not None:
        dt = adaptive["dt"]
        default_min = adaptive["dt_max"] * 1e-9
    else:
        dt = number(dt, "dt", positive=True)
        default_min = dt / 1024
    if dt > t_stop:
        raise CircuitError(f"dt = {dt:g} exceeds t_stop = {t_stop:g}")
    dt_min = default_min if dt_min is None else number(dt_min, "dt_min", positive=True)
    if dt_min > dt:
        raise CircuitError(f"dt_min = {dt_min:g} exceeds dt = {dt:g}")
    record_every = _count(record_every, "record_every")
    record_from = number(record_from, "record_from")
    if record_from > t_stop:
        raise CircuitError(
            f"record_from = {record_from:g} is after t_stop = {t_stop:g}: nothing would be recorded"
        )
    if adaptive is None:
        _check_records_something(t_stop, dt, record_every, record_from)
    if print_step is not None:
        print_step = _print_step(print_step, adaptive, record_every, t_stop, record_from)
    initial_ramp = number(initial_ramp, "initial_ramp", nonnegative=True)
    phase_hysteresis = number(phase_hysteresis, "phase_hysteresis", nonnegative=True)
    abstol = number(abstol, "abstol", positive=True)
    reltol = number(reltol, "reltol", nonnegative=True)
    newton_fraction = number(newton_fraction, "newton_fraction", nonnegative=True)
    max_iterations = _count(max_iterations, "max_iterations")
    max_steps = MAX_STEPS if max_steps is None else _count(max_steps, "max_steps", limit=2**62)
    grid = dt if adaptive is None else adaptive["dt_max"]
    _check_step_count(t_stop, grid, max_steps, "dt" if adaptive is None else "dt_max")
    if engine not in ("native", "python"):
        raise CircuitError(f"engine must be 'native' or 'python', got {engine!r}")
    if progress is not None and not callable(progress):
        raise CircuitError(f"progress must be a callable of the time, got {progress!r}")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int) or seed < 0):
        raise CircuitError(f"seed must be None or an integer >= 0, got {seed!r}")

    kernel, sparse = native_modules()
    if engine == "native":
        native.engine_module()
    started = _time.perf_counter()
    with collector_paused():
        system = System(circuit)
    expected = math.ceil(t_stop / grid) // record_every + 2
    plan = RecordPlan(system, record)
    per_sample = plan.bytes_per_sample()
    keep_all = isinstance(record, str) and record == "all"
    max_rows = None if keep_all else max(MAX_RECORDING_BYTES // per_sample, 2)
    if not keep_all:
        _check_recording(per_sample, t_stop, grid, record_every, record_from)
    if print_step is not None:
        _check_print_grid(per_sample, t_stop, record_from, print_step)
    if adaptive is not None:
        adaptive["max_steps"] = max_steps
        adaptive["breakpoints"] = _breakpoints(system, t_stop)
        adaptive["noise_step"] = noise_step = _hold_noise(system, adaptive["dt_max"])
        if noise_step > 0:
            adaptive["dt_max"] = min(adaptive["dt_max"], noise_step / NOISE_STEPS_PER_HOLD)
            dt = adaptive["dt"] = min(adaptive["dt"], adaptive["dt_max"])
            dt_min = min(dt_min, dt)
    if getattr(_this_thread, "active", False):
        raise RuntimeError("another simulation is running in this thread")
    _this_thread.active = True
    settings = dict(
        initial_ramp=initial_ramp,
        phase_hysteresis=phase_hysteresis,
        abstol=abstol,
        reltol=reltol,
        max_iterations=max_iterations,
    )
    limits = _Limits(t_stop, per_sample, max_rows, max_steps, print_step)
    try:
        if engine == "python":
            with _state_lock:
                recorder = Recorder(plan, capacity=min(expected, max_rows or expected))
                try:
                    stats = _run_python(
                        system,
                        kernel,
                        sparse,
                        _BoundedRecorder(recorder, max_rows),
                        settings,
                        (t_stop, dt, dt_min, record_every, record_from, progress),
                        seed,
                        adaptive,
                    )
                except RunLimitError as exc:
                    k = recorder.count
                    exc.tables = tuple(table[:k] for table in recorder.tables)
                    raise limits.error(exc, plan) from None
            k = recorder.count
            tables = tuple(table[:k] for table in recorder.tables)
            results = _results(tables, plan, stats, print_step, t_stop)
        else:
            loop = dict(
                t_stop=t_stop,
                dt=dt,
                dt_min=dt_min,
                record_every=record_every,
                record_from=record_from,
                nonlinear=system.nonlinear,
                steps_history=system.steps_history,
                values_every_step=system.values_keep_state,
                newton_fraction=newton_fraction,
                profile=bool(profile),
                progress=progress,
                progress_interval=0.1,
            )
            if adaptive is not None:
                loop.update(
                    adaptive=True,
                    lte_rtol=adaptive["rtol"],
                    lte_atol=adaptive["atol"],
                    dt_max=adaptive["dt_max"],
                    breakpoints=adaptive["breakpoints"],
                    noise_step=adaptive["noise_step"],
                    max_steps=max_steps,
                    # Converged only when the correction itself is within the
                    # tolerance, as in the Python driver: the levels then agree
                    # far below it, and so do the steps chosen from them.
                    rate_test=False,
                )
            with _state_lock, collector_paused():
                run = _native_setup(system, kernel, plan, dict(settings, **loop), seed)
            setup = _time.perf_counter() - started
            try:
                tables = native.run(run, plan, expected, max_iterations, max_rows)
            except RunLimitError as exc:
                exc.stats = dict(run.stats)
                raise limits.error(exc, plan) from None
            stats = dict(run.stats, setup_seconds=setup)
            if not profile:
                del stats["kernel_seconds"], stats["solver_seconds"]
            results = _results(tables, plan, stats, print_step, t_stop)
        results.stats["wall_time"] = _time.perf_counter() - started
        return results
    finally:
        _this_thread.active = False


class _Limits:
    """The bounds of one run, and the error that reports reaching one."""

    def __init__(self, t_stop, per_sample, max_rows, max_steps, print_step):
        self.t_stop, self.per_sample = t_stop, per_sample
        self.max_rows, self.max_steps = max_rows, max_steps
        self.print_step = print_step

    def error(self, exc, plan):
        """The :class:`~loxant.errors.RunLimitError` of ``exc`` (from an engine, with
        its ``tables`` and ``stats``) with its message and the results so far."""
        t = exc.time
        where = f"the run stopped at t = {t:.6g} of t_stop = {self.t_stop:g}"
        if str(exc) == "steps":
            message = (
                f"{where}: it reached the limit of {self.max_steps:.3g} steps (max_steps); "
                "loosen rtol and atol, raise dt_min, or raise max_steps"
            )
        else:
            size = MAX_RECORDING_BYTES / 2**20
            projected = len(exc.tables[0]) * self.t_stop / t if t > 0 else math.inf
            message = (
                f"{where}: its recording reached the limit of {size:.4g} MiB "
                f"({self.max_rows} samples of {self.per_sample} bytes; the whole run "
                f"projects {projected:.3g} samples); {HOW_TO_RECORD}, raise record_every, "
                "start recording later with record_from, or pass record='all' to keep "
                "everything anyway"
            )
        tables = exc.tables
        if self.print_step is not None:
            tables = on_print_grid(*tables, self.print_step, t)
        results = Results.from_tables(*tables, plan, exc.stats)
        return RunLimitError(message + " (the error's results hold what was recorded)", t, results)


def _results(tables, plan, stats, print_step, t_stop):
    if print_step is not None:
        tables = on_print_grid(*tables, print_step, t_stop)
    return Results.from_tables(*tables, plan, stats)


def on_print_grid(time, values, turns, print_step, t_stop):
    """The recorded rows at the accepted times ``time`` resampled at the multiples
    of ``print_step`` (and ``t_stop``) they cover: quadratic interpolation
    through the step's end and the two accepted levels before it, the
    polynomial BDF2 integrates with; turn counts of the last level reached."""
    if len(time) < 3:
        return time, values, turns
    first = math.ceil(time[0] / print_step * (1 - 1e-12))
    grid = np.arange(first, math.floor(time[-1] / print_step * (1 + 1e-12)) + 1) * print_step
    if time[-1] >= t_stop * (1 - 1e-12) and (not len(grid) or grid[-1] < t_stop * (1 - 1e-12)):
        grid = np.append(grid, t_stop)
    if not len(grid):
        return time[:0], values[:0], turns[:0]
    grid = np.clip(grid, time[0], time[-1])
    k = np.clip(np.searchsorted(time, grid, side="left"), 2, len(time) - 1)
    t0, t1, t2 = time[k], time[k - 1], time[k - 2]
    w0 = (grid - t1) * (grid - t2) / ((t0 - t1) * (t0 - t2))
    w1 = (grid - t0) * (grid - t2) / ((t1 - t0) * (t1 - t2))
    w2 = (grid - t0) * (grid - t1) / ((t2 - t0) * (t2 - t1))
    printed = w0[:, None] * values[k] + w1[:, None] * values[k - 1] + w2[:, None] * values[k - 2]
    last = np.searchsorted(time, grid * (1 + 1e-12), side="right") - 1
    return grid, printed, np.ascontiguousarray(turns[last])


def _adaptive_settings(t_stop, dt, rtol, atol, dt_max):
    """The adaptive step's settings, or None for a fixed step (dt and no tolerance)."""
    if dt is not None and rtol is None and atol is None:
        if dt_max is not None:
            raise CircuitError("dt_max needs an adaptive step: pass rtol or atol, or leave dt out")
        return None
    rtol = ADAPTIVE_RTOL if rtol is None else number(rtol, "rtol", nonnegative=True)
    atol = ADAPTIVE_ATOL if atol is None else number(atol, "atol", positive=True)
    if dt is not None:
        dt = number(dt, "dt", positive=True)
    if dt_max is None:
        dt_max = dt if dt is not None else t_stop / 100
    dt_max = min(number(dt_max, "dt_max", positive=True), t_stop)
    first = dt_max / 100 if dt is None else min(dt, dt_max)
    return dict(rtol=rtol, atol=atol, dt_max=dt_max, dt=first)


def _hold_noise(system, dt_max):
    """The noise step of an adaptive run (0 without noise): the shortest hold of a
    noise current with a bandwidth, else ``dt_max``, the step the same run would
    take at a fixed step.  Every noise current of the run is held over it (its
    declaration replaced by a copy with that bandwidth)."""
    if not system.noise:
        return 0.0
    bandwidths = [e.decl.bandwidth for e in system.noise if e.decl.bandwidth > 0]
    noise_step = 0.5 / max(bandwidths) if bandwidths else dt_max
    for element in system.noise:
        element.decl = copy.copy(element.decl)
        element.decl.bandwidth = 0.5 / noise_step
    return noise_step


def _breakpoints(system, t_stop):
    """Sorted corner times of every timed source's waveform in (0, t_stop)."""
    times = set()
    for element in system.sources:
        corners = getattr(element.decl.waveform, "breakpoints", None)
        if corners is not None:
            times.update(corners(t_stop))
    return sorted(t for t in times if 0 < t < t_stop)


def _run_python(system, kernel, sparse, recorder, settings, loop, seed=None, adaptive=None):
    """The Python driver's run: set-up and loop, all through the shared state."""
    t_stop, dt, dt_min, record_every, record_from, progress = loop
    system.install(
        kernel,
        initial_ramp=settings["initial_ramp"],
        phase_hysteresis=settings["phase_hysteresis"],
        time_step=dt,
        seed=seed,
    )
    options = {k: v for k, v in settings.items() if k != "phase_hysteresis"}
    run = Transient(system, kernel, sparse.SparseDirect(), **options)
    # The models report the state at rest before the static matrix is built:
    # building it (re)starts the history of models that keep one.
    kernel.UpdateValues()
    if record_from <= 0:
        recorder.record(0.0)
    run.begin()
    try:
        if adaptive is None:
            _loop(run, recorder, t_stop, dt, dt_min, record_every, record_from, progress)
        else:
            _AdaptiveLoop(run, recorder, adaptive, loop).run()
    except RunLimitError as exc:
        exc.stats = dict(run.stats)
        raise
    return dict(run.stats)


def _native_setup(system, kernel, plan, options, seed=None):
    """Installs the system and hands its models to a native engine."""
    system.install(
        kernel,
        initial_ramp=options["initial_ramp"],
        phase_hysteresis=options["phase_hysteresis"],
        time_step=options["dt"],
        seed=seed,
    )
    kernel.UpdateValues()
    A0 = np.zeros(system.nnz)
    kernel.BuildStaticMatrix(A0)
    return native.make_engine(system, A0, plan, options)


def _check_step_count(t_stop, dt, max_steps=MAX_STEPS, name="dt"):
    """Refuses a run whose step count is out of reach, before anything is built."""
    steps = math.ceil(t_stop / dt)
    if steps > max_steps:
        raise CircuitError(
            f"t_stop = {t_stop:g} with {name} = {dt:g} projects {steps:.3g} time steps, more "
            f"than {max_steps:.3g} (max_steps): raise {name} or shorten t_stop"
        )


def _check_records_something(t_stop, dt, record_every, record_from):
    """Refuses a fixed-step run that would record no sample: every record_every-th
    point of the dt grid (t_stop the last) falls before record_from."""
    if record_from <= 0:
        return  # t = 0 is kept
    points = math.ceil(t_stop / dt * (1 - 1e-12))
    last = (points // record_every) * record_every
    if last == 0 or min(last * dt, t_stop) < record_from - 1e-9 * dt:
        raise CircuitError(
            f"nothing would be recorded: every {record_every}th step of {dt:g} from "
            f"record_from = {record_from:g} to t_stop = {t_stop:g} holds no sample; lower "
            "record_every or record_from"
        )


def _print_step(print_step, adaptive, record_every, t_stop, record_from):
    print_step = number(print_step, "print_step", positive=True)
    if adaptive is None or record_every != 1:
        raise CircuitError("print_step needs an adaptive step and record_every = 1")
    span = t_stop - max(record_from, 0.0)
    if print_step > span and record_from > 0:
        raise CircuitError(
            f"print_step = {print_step:g} exceeds the recorded span from record_from = "
            f"{record_from:g} to t_stop = {t_stop:g}: no sample would be printed"
        )
    return print_step


def _check_print_grid(per_sample, t_stop, record_from, print_step):
    """Refuses a print grid whose samples would exceed :data:`MAX_RECORDING_BYTES`."""
    samples = math.floor(max(t_stop - max(record_from, 0.0), 0.0) / print_step) + 2
    size = samples * per_sample
    if size > MAX_RECORDING_BYTES:
        span = max(t_stop - max(record_from, 0.0), 0.0)
        least = span / max(MAX_RECORDING_BYTES // per_sample - 2, 1)
        raise CircuitError(
            f"print_step = {print_step:g} would print {samples:.3g} samples of {per_sample} "
            f"bytes ({size / 2**20:.4g} MiB), more than {MAX_RECORDING_BYTES / 2**20:.4g} MiB: "
            f"raise print_step to at least {least:.3g} or record fewer quantities"
        )


def _check_recording(per_sample, t_stop, dt, record_every, record_from):
    """Refuses a recording of ``per_sample`` bytes a sample that would exceed
    :data:`MAX_RECORDING_BYTES`, before it is allocated, saying what to change."""
    recorded = math.ceil(max(t_stop - max(record_from, 0.0), 0.0) / dt)
    samples = recorded // record_every + 2
    size = samples * per_sample
    if size > MAX_RECORDING_BYTES:
        fits = max(MAX_RECORDING_BYTES // per_sample - 2, 1)
        raise CircuitError(
            f"the recording would take {size / 2**20:.4g} MiB ({samples:.3g} samples of "
            f"{per_sample} bytes), more than {MAX_RECORDING_BYTES / 2**20:.4g} MiB: {HOW_TO_RECORD}, "
            f"raise record_every to at least {math.ceil(recorded / fits)}, start recording "
            "later with record_from, or pass record='all' to keep everything anyway"
        )


def _count(value, what, limit=2**31 - 1):
    """A positive int of at most ``limit`` (the engines count in 32 bits)."""
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise CircuitError(f"{what} must be a positive integer, got {value!r:.80}")
    if value > limit:
        raise CircuitError(f"{what} must be at most {limit}, got {value:.3g}")
    return value


def _loop(run, recorder, t_stop, dt, dt_min, record_every, record_from, progress=None):
    """The fixed-step run.  A step that fails is retried at half the size, and
    the size doubles back after four good steps; the smaller steps land on the
    grid of dt again, and only the grid's points are recorded, so retries move
    no sample."""
    t, h, h_prev = 0.0, dt, None
    calm = 0
    grid_t, points, on_grid = 0.0, 0, True  # the last grid point reached, how many
    next_report = _time.perf_counter() + 0.1
    while t_stop - t > 1e-9 * dt:
        if progress is not None and _time.perf_counter() >= next_report:
            progress(t)
            next_report = _time.perf_counter() + 0.1
        step = min(h, t_stop - t)
        if t_stop - (t + step) < 1e-3 * step:
            step = t_stop - t  # no sliver of a step at the end
        regular = on_grid and h >= dt
        lands = regular
        if not regular and grid_t + dt - t < step * (1 + 1e-3):
            step, lands = grid_t + dt - t, True
        try:
            run.step(t, step, h_prev)
        except _StepFailure as failure:
            run.stats["rejected"] += 1
            h = step / 2
            if h < dt_min:
                _raise_failure(t, step, failure)
            calm = 0
            continue
        run.accept()
        to_end = step == t_stop - t
        t = t_stop if to_end else grid_t + dt if lands and not regular else t + step
        h_prev = step
        on_grid = lands or to_end
        if on_grid:
            grid_t, points = t, points + 1
            if points % record_every == 0 and t >= record_from - 1e-9 * dt:
                recorder.record(t)
        if h < dt:
            calm += 1
            if calm >= 4:
                h, calm = min(2 * h, dt), 0


class _BoundedRecorder:
    """A :class:`~loxant.results.Recorder` that stops the run with
    :class:`~loxant.errors.RunLimitError` rather than grow past ``max_rows``."""

    def __init__(self, recorder, max_rows):
        self.recorder = recorder
        self.max_rows = math.inf if max_rows is None else max_rows

    def record(self, t):
        if self.recorder.count >= self.max_rows:
            raise RunLimitError("recording", time=t)
        self.recorder.record(t)


def _step_factor(error):
    """Ratio of the next step to this one: the error falls with the cube of the step."""
    if not error > 0:
        return _GROWTH
    return min(max(_SAFETY * (1.0 / error) ** (1.0 / 3.0), _SHRINK), _GROWTH)


class _AdaptiveLoop:
    """The adaptive run of the Python driver, step for step the native engine's:
    a converged step is kept when its local error passes, the next size follows
    from the error, and steps land on the waveforms' breakpoints.  The first two
    steps have no history to judge them: they keep the first size, which is small."""

    def __init__(self, run, recorder, adaptive, loop):
        self.run_, self.recorder = run, recorder
        self.t_stop, self.dt, self.dt_min, self.record_every, self.record_from, self.progress = loop
        self.rtol, self.atol = adaptive["rtol"], adaptive["atol"]
        self.dt_max, self.breakpoints = adaptive["dt_max"], adaptive["breakpoints"]
        self.max_steps = adaptive["max_steps"]
        self.next_bp = 0
        noise_step = adaptive.get("noise_step", 0.0)
        self.noise = _NoiseHold(run, noise_step) if noise_step > 0 else None

    def _next_breakpoint(self, t):
        """The next waveform breakpoint or noise step boundary after ``t`` (None if none)."""
        bps = self.breakpoints
        while self.next_bp < len(bps) and bps[self.next_bp] <= t * (1 + 1e-12):
            self.next_bp += 1
        corner = bps[self.next_bp] if self.next_bp < len(bps) else None
        if self.noise is None:
            return corner
        boundary = self.noise.next_boundary(t)
        if boundary >= self.t_stop:
            return corner
        return boundary if corner is None else min(corner, boundary)

    def _limit(self, t, step):
        """The step shortened to end on the next breakpoint when it would pass it
        or stop just short of it; with the breakpoint, or None."""
        corner = self._next_breakpoint(t)
        if corner is None:
            return step, None
        left = corner - t
        return (left, corner) if left < step * (1 + 1e-3) else (step, None)

    def run(self):
        run, t_stop, dt = self.run_, self.t_stop, self.dt
        t, h, h_prev, h_prev2 = 0.0, dt, None, None
        accepted = 0
        next_report = _time.perf_counter() + 0.1
        while t_stop - t > 1e-9 * dt:
            if self.progress is not None and _time.perf_counter() >= next_report:
                self.progress(t)
                next_report = _time.perf_counter() + 0.1
            if run.stats["steps"] + run.stats["rejected"] >= self.max_steps:
                raise RunLimitError("steps", time=t)
            step = min(h, t_stop - t)
            if t_stop - (t + step) < 1e-3 * step:
                step = t_stop - t
            step, corner = self._limit(t, step)
            failure, factor = None, 1.0
            try:
                run.step(t, step, h_prev)
            except _StepFailure as exc:
                failure, factor = exc, 0.5
            judged, shift = True, None
            if failure is None and self.noise is not None:
                judged, shift = self.noise.judge()
            if failure is None and run.stats["steps"] >= 2 and judged:
                error = run.local_error(step, h_prev, h_prev2, self.rtol, self.atol, shift)
                factor = _step_factor(error)
                if error > 1.0:
                    run.reject()
                    failure = _StepFailure("local error above tolerance")
            if failure is not None:
                run.stats["rejected"] += 1
                h = step * min(factor, 0.5)
                if h < self.dt_min:
                    _raise_failure(t, step, failure)
                continue
            run.accept()
            if self.noise is not None:
                self.noise.accept()
            to_end = step == t_stop - t
            t = t_stop if to_end else corner if corner is not None else t + step
            h_prev2, h_prev = h_prev, step
            accepted += 1
            if accepted % self.record_every == 0 and t >= self.record_from - 1e-9 * dt:
                self.recorder.record(t)
            h = min(max(step * factor, h) if corner is not None else step * factor, self.dt_max)


class _NoiseHold:
    """The noise currents of an adaptive run.  Each is held over the noise step
    (the inverse of twice its bandwidth), whose boundaries the steps land on, so
    the noise is the same whatever steps the run takes, and a step is at most a
    third of it.  The error estimate leaves out what the noise drives (a
    piecewise-constant current is no error of the integration): the first step
    after a change, whose history saw one value, is judged without the change's
    response through the Jacobian at the converged level; the two after it,
    whose history straddles the change, keep their size; the rest are judged as
    without noise."""

    def __init__(self, run, noise_step):
        self.run_ = run
        self.step = noise_step
        self.index = 0  # boundaries passed: the next is at (index + 1) * step
        n = run.system.size
        self.sources = []
        for element in run.system.noise:
            decl, model = element.decl, element.model
            amplitude = math.sqrt(2.0 * decl.density * decl.bandwidth)
            self.sources.append((model, model.i, model.j, amplitude))
        #: the noise part of the right-hand side of the step being judged, then
        #: of the last three accepted levels
        self.present = np.zeros(n)
        self.history = [None, None, None]
        self._work = np.zeros(n)

    def next_boundary(self, t):
        while (self.index + 1) * self.step <= t * (1 + 1e-12):
            self.index += 1
        return (self.index + 1) * self.step

    def _stamp_present(self):
        out = self.present
        out.fill(0.0)
        for model, i, j, amplitude in self.sources:
            current = amplitude * model.normal
            if i:
                out[i - 1] -= current
            if j:
                out[j - 1] += current
        if self.history[0] is None:  # the state at rest: as if under the first value
            self.history = [out.copy(), out.copy(), out.copy()]

    def judge(self):
        """(judged, shift) of the step just converged: a step whose last three
        levels saw different noise has no smooth history to judge it by (it keeps
        its size); one that changes the noise after a steady history is judged
        without the change's response, its ``shift``."""
        self._stamp_present()
        last, before, third = self.history
        if not (np.array_equal(last, before) and np.array_equal(before, third)):
            return False, None
        if np.array_equal(self.present, last):
            return True, None
        shift = self.run_.response(np.subtract(self.present, last, out=self._work))
        return shift is not None, shift

    def accept(self):
        oldest = self.history[2]
        oldest[:] = self.present
        self.history = [oldest, self.history[0], self.history[1]]


def _raise_failure(t, step, failure):
    message = f"step from t = {t:.10g} failed at every step size down to {step:.3g}: {failure}"
    if failure.singular:
        raise SingularMatrixError(
            message + " (look for loops of phase sources, voltage sources and zero inductors)",
            time=t,
        ) from None
    raise ConvergenceError(message, time=t) from None
