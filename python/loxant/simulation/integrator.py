"""The integrator of the reference engine: one step of variable-step BDF2 with
Newton's method on an installed system, through the native kernels.

Integration is variable-step BDF2 (the first step backward Euler) applied to
every unknown's phase and to its derivative::

    V_n  = a0 phi_n + a1 phi_{n-1} + a2 phi_{n-2}
    dV_n = a0 V_n   + a1 V_{n-1}   + a2 V_{n-2}

so that d(V_n)/d(phi_n) = a0 and d(dV_n)/d(phi_n) = a0**2.  Each step solves the
current balance with Newton's method: the kernels add the Jacobian into three
value arrays A0 (constant), A1 (depends on the step size), A2 (depends on the
phases) and the negative residual into B; the sparse solver turns B into the
correction in place.  The iteration has converged when every correction obeys
``|delta| <= abstol + reltol * |phi|``.
"""

import math

import numpy as np

from .. import SimulationParameters as SP
from .. import lxglobals
from ..errors import ConvergenceError, SingularMatrixError, non_finite_reason
from ..waveforms import Constant

__all__ = [
    "StepFailure",
    "Transient",
    "bdf_coefficients",
    "failure_error",
    "raise_failure",
    "smooth_factor",
]


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


class StepFailure(Exception):
    def __init__(self, reason, singular=False):
        super().__init__(reason)
        self.singular = singular


class Transient:
    """The integrator of one installed :class:`~loxant.simulation.assembly.System`.

    Created by :func:`simulate`; exposed for tests and tools that drive steps
    themselves (``begin``, then ``step`` and ``accept`` per step).
    """

    def __init__(self, system, kernel, solver, options):
        """``options``: the run's :class:`~loxant.simulation.options.RunOptions`
        (its Newton tolerances, iterations and initial ramp apply)."""
        self.system = system
        self.kernel = kernel
        self.solver = solver
        self.abstol = options.abstol
        self.reltol = options.reltol
        self.max_iterations = options.max_iterations
        self.initial_ramp = options.initial_ramp
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
        and :class:`StepFailure` is raised; on success call :meth:`accept`."""
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
                raise StepFailure(f"no convergence in {self.max_iterations} Newton iterations")
        except StepFailure:
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
        """Solve (values) delta = B in place; raise :class:`StepFailure` if the
        matrix cannot be factored or the correction is not finite."""
        B, solver = self.B, self.solver
        self.stats["factorisations"] += 1
        if self._reports_status:
            solver.solveSparseMatrix(values, B)
            status = solver.status
            if status == 1:
                raise StepFailure("singular matrix", singular=True)
            if status != 0:
                raise StepFailure(f"sparse solver status {status}")
        else:
            self._rhs_copy[:] = B
            solver.solveSparseMatrix(values, B)
            # A solver that cannot factor the matrix leaves B as it was; a
            # right-hand side that solves to itself is told apart by its residual.
            if B.any() and np.array_equal(B, self._rhs_copy):
                residual = self.system.dense(values) @ B - self._rhs_copy
                if np.abs(residual).max() > 1e-8 * (1.0 + np.abs(self._rhs_copy).max()):
                    raise StepFailure("singular matrix", singular=True)
        if not np.isfinite(B).all():
            raise StepFailure(_nonfinite_reason(self.system, self.kernel, B))


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


def raise_failure(t, step, failure):
    raise failure_error(t, step, str(failure), failure.singular) from None


def failure_error(t, step, reason, singular):
    """The error of a step from ``t`` that failed at every size down to ``step``."""
    message = f"step from t = {t:.10g} failed at every step size down to {step:.3g}: {reason}"
    if singular:
        return SingularMatrixError(
            message + " (look for loops of phase sources, voltage sources and zero inductors)",
            time=t,
            step=step,
            reason=reason,
        )
    return ConvergenceError(message, time=t, step=step, reason=reason)
