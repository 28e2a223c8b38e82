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
(``loxant.lxglobals``, ``loxant.SimulationParameters``), so one simulation runs
at a time in a process; each new simulation resets that state.
"""

import math
import threading
import time as _time

import numpy as np

from . import SimulationParameters as SP
from . import lxglobals
from .assembly import System, native_modules
from .elements import number
from .errors import CircuitError, ConvergenceError, SingularMatrixError
from .results import Recorder
from .waveforms import Constant

__all__ = ["Transient", "bdf_coefficients", "simulate", "smooth_factor"]

_running = threading.Lock()


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
        lxglobals.NodePhase[:] = x
        lxglobals.NodeVoltage[:] = SP.DX
        lxglobals.NodeDVoltage[:] = SP.DDX
        self.kernel.UpdateValues()
        self.v2[:] = self.v1
        self.v1[:] = SP.DX
        self.stats["steps"] += 1

    def _solve(self, values):
        """Solve (values) delta = B in place; raise :class:`_StepFailure` if the
        matrix cannot be factored or the correction is not finite."""
        B, solver = self.B, self.solver
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
            raise _StepFailure("non-finite correction")


def simulate(
    circuit,
    t_stop,
    dt,
    *,
    record_every=1,
    record_from=0.0,
    initial_ramp=0.0,
    phase_hysteresis=0.0,
    abstol=1e-9,
    reltol=1e-9,
    max_iterations=20,
    dt_min=None,
    seed=None,
):
    """Simulate ``circuit`` from t = 0 to ``t_stop`` with time step ``dt``.

    Every unknown starts at rest (phases, voltages and branch currents 0).

    Options:
        record_every: keep every k-th accepted step (the state at t = 0 is kept).
        record_from: keep only steps at or after this time.
        initial_ramp: sources rise smoothly from 0 to their values over this time.
        phase_hysteresis: width in radians of the dead band of the turn counters.
        abstol, reltol: Newton converges when every correction obeys
            ``|delta| <= abstol + reltol * |value|``.
        max_iterations: Newton iterations per step before the step is retried
            with half the size.
        dt_min: smallest step size tried before giving up (default ``dt / 1024``).
        seed: integer seed of the thermal noise currents (same seed, same noise);
            None draws fresh entropy.

    Returns a :class:`~loxant.results.Results`.  Raises
    :class:`~loxant.errors.ConvergenceError` or
    :class:`~loxant.errors.SingularMatrixError` naming the time at which the
    simulation stopped.  One simulation runs at a time per process.
    """
    t_stop = number(t_stop, "t_stop", positive=True)
    dt = number(dt, "dt", positive=True)
    if dt > t_stop:
        raise CircuitError(f"dt = {dt} exceeds t_stop = {t_stop}")
    dt_min = dt / 1024 if dt_min is None else number(dt_min, "dt_min", positive=True)
    if dt_min > dt:
        raise CircuitError(f"dt_min = {dt_min} exceeds dt = {dt}")
    record_every = _count(record_every, "record_every")
    record_from = number(record_from, "record_from")
    initial_ramp = number(initial_ramp, "initial_ramp", nonnegative=True)
    phase_hysteresis = number(phase_hysteresis, "phase_hysteresis", nonnegative=True)
    abstol = number(abstol, "abstol", positive=True)
    reltol = number(reltol, "reltol", nonnegative=True)
    max_iterations = _count(max_iterations, "max_iterations")

    kernel, sparse = native_modules()
    system = System(circuit)
    if not _running.acquire(blocking=False):
        raise RuntimeError("another simulation is running in this process")
    try:
        started = _time.perf_counter()
        system.install(
            kernel, initial_ramp=initial_ramp, phase_hysteresis=phase_hysteresis, seed=seed
        )
        run = Transient(
            system,
            kernel,
            sparse.SparseDirect(),
            abstol=abstol,
            reltol=reltol,
            max_iterations=max_iterations,
            initial_ramp=initial_ramp,
        )
        # The models report the state at rest before the static matrix is built:
        # building it (re)starts the history of models that keep one.
        kernel.UpdateValues()
        expected = math.ceil(t_stop / dt) // record_every + 2
        recorder = Recorder(system, capacity=expected)
        if record_from <= 0:
            recorder.record(0.0)
        run.begin()
        _loop(run, recorder, t_stop, dt, dt_min, record_every, record_from)
        stats = dict(run.stats, wall_time=_time.perf_counter() - started)
        return recorder.results(stats)
    finally:
        _running.release()


def _count(value, what):
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise CircuitError(f"{what} must be a positive integer, got {value!r}")
    return value


def _loop(run, recorder, t_stop, dt, dt_min, record_every, record_from):
    t, h, h_prev = 0.0, dt, None
    calm = 0
    accepted = 0
    while t_stop - t > 1e-9 * dt:
        step = min(h, t_stop - t)
        if t_stop - (t + step) < 1e-3 * step:
            step = t_stop - t  # no sliver of a step at the end
        try:
            run.step(t, step, h_prev)
        except _StepFailure as failure:
            run.stats["rejected"] += 1
            h = step / 2
            if h < dt_min:
                message = (
                    f"step from t = {t:.10g} failed at every step size down to {step:.3g}: "
                    f"{failure}"
                )
                if failure.singular:
                    raise SingularMatrixError(
                        message + " (look for loops of phase sources, voltage sources and "
                        "zero inductors)",
                        time=t,
                    ) from None
                raise ConvergenceError(message, time=t) from None
            calm = 0
            continue
        run.accept()
        t = t_stop if step == t_stop - t else t + step
        h_prev = step
        accepted += 1
        if accepted % record_every == 0 and t >= record_from - 1e-9 * dt:
            recorder.record(t)
        if h < dt:
            calm += 1
            if calm >= 4:
                h, calm = min(2 * h, dt), 0
