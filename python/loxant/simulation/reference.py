"""The reference engine (``engine="python"``): the time loop in Python around
the integrator of :mod:`loxant.simulation.integrator`.

A step whose Newton iteration fails is retried with half the step size, down
to ``dt_min``; the step size then grows back.  The adaptive loop keeps a
converged step when its local error passes and lands on the waveforms'
breakpoints, step for step as the native engine does.

The simulation state is shared with the kernels through module globals
(``loxant.lxglobals``, ``loxant.SimulationParameters``): set-up through it is
serialised by a lock.  This Python driver holds that lock for its whole run;
the native engine (:mod:`loxant.simulation.native`, the default) only for
set-up, so native runs in separate threads proceed in parallel.
"""

import math
import time as _time

import numpy as np

from .. import SimulationParameters as SP
from .. import lxglobals
from ..errors import RECORDING, STEPS, RunLimitError
from .assembly import STATE_LOCK, native_modules
from .integrator import StepFailure, Transient, raise_failure
from .native import PROGRESS_INTERVAL
from .results import Recorder

__all__ = ["execute", "prepare"]

#: step control: safety factor, largest growth and shrink of a step
_SAFETY, _GROWTH, _SHRINK = 0.9, 2.0, 0.2


def prepare():
    """Nothing to load beyond the kernels."""


def execute(system, plan, options, limits):
    """The reference run of ``system`` under ``options``: set-up and loop, all
    through the shared state, which it holds for the whole run."""
    kernel, sparse = native_modules()
    expected, max_rows = limits.expected, limits.max_rows
    with STATE_LOCK:
        recorder = Recorder(plan, capacity=min(expected, max_rows or expected))
        try:
            stats = _run(system, kernel, sparse, _BoundedRecorder(recorder, max_rows), options)
        except RunLimitError as exc:
            k = recorder.count
            exc.tables = tuple(table[:k] for table in recorder.tables)
            raise limits.error(exc, plan) from None
    k = recorder.count
    return limits.results(tuple(table[:k] for table in recorder.tables), plan, stats)


def _run(system, kernel, sparse, recorder, options):
    system.install(
        kernel,
        initial_ramp=options.initial_ramp,
        phase_hysteresis=options.phase_hysteresis,
        time_step=options.dt,
        seed=options.seed,
    )
    run = Transient(system, kernel, sparse.SparseDirect(), options)
    # The models report the state at rest before the static matrix is built:
    # building it (re)starts the history of models that keep one.
    kernel.UpdateValues()
    run.begin()
    taken, motion = _settle(run, options.settle_steps, options.grid, options.dt_min)
    if options.record_from <= 0:
        recorder.record(0.0)
    try:
        if options.adaptive:
            _AdaptiveLoop(run, recorder, options).run()
        else:
            _loop(run, recorder, options)
    except RunLimitError as exc:
        exc.stats = dict(run.stats)
        raise
    stats = dict(run.stats)
    if options.settle_steps:
        stats.update(settle_steps=taken, settle_motion=motion)
    return stats


def _settle(run, steps, h, dt_min):
    """The start-up period: ``steps`` steps of ``h`` from t = -steps h to 0, the
    sources at those times (a step that fails is taken in halves), the junctions'
    voltage history held at zero as the peer holds it (which damps them); the
    next step starts afresh (a first step of one level).  Returns the steps it
    took and the largest change of a node voltage another period would bring at
    the rate it ended on."""
    if not steps:
        return 0, 0.0
    h_prev = None
    SP.JunctionHistoryHeld = 1.0
    try:
        for k in range(steps, 0, -1):
            t, end, size = -k * h, -(k - 1) * h, h  # exactly as the peer counts its steps
            while end - t > 1e-9 * h:
                # a whole step is h itself: end - t differs from it in the last bits
                size = size if abs(end - t - size) <= 1e-9 * h else min(size, end - t)
                try:
                    run.step(t, size, h_prev)
                except StepFailure as failure:
                    run.stats["rejected"] += 1
                    if size / 2 < dt_min:
                        raise_failure(t, size, failure)
                    size /= 2
                    continue
                run.accept()
                t, h_prev = end if end - t - size <= 1e-9 * h else t + size, size
    finally:
        SP.JunctionHistoryHeld = 0.0
    taken, run.stats["steps"] = run.stats["steps"], 0  # the run's steps are counted apart
    rate = float(np.max(np.abs(lxglobals.NodeDVoltage), initial=0.0))
    return taken, rate * steps * h


def _loop(run, recorder, options):
    """The fixed-step run.  A step that fails is retried at half the size, and
    the size doubles back after four good steps; the smaller steps land on the
    grid of dt again, and only the grid's points are recorded, so retries move
    no sample."""
    t_stop, dt, dt_min = options.t_stop, options.dt, options.dt_min
    record_every, record_from, progress = (
        options.record_every,
        options.record_from,
        options.progress,
    )
    t, h, h_prev = 0.0, dt, None
    calm = 0
    grid_t, points, on_grid = 0.0, 0, True  # the last grid point reached, how many
    next_report = _time.perf_counter() + PROGRESS_INTERVAL
    while t_stop - t > 1e-9 * dt:
        if progress is not None and _time.perf_counter() >= next_report:
            progress(t)
            next_report = _time.perf_counter() + PROGRESS_INTERVAL
        step = min(h, t_stop - t)
        if t_stop - (t + step) < 1e-3 * step:
            step = t_stop - t  # no sliver of a step at the end
        regular = on_grid and h >= dt
        lands = regular
        if not regular and grid_t + dt - t < step * (1 + 1e-3):
            step, lands = grid_t + dt - t, True
        try:
            run.step(t, step, h_prev)
        except StepFailure as failure:
            run.stats["rejected"] += 1
            h = step / 2
            if h < dt_min:
                raise_failure(t, step, failure)
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
    """A :class:`~loxant.simulation.results.Recorder` that stops the run with
    :class:`~loxant.errors.RunLimitError` rather than grow past ``max_rows``."""

    def __init__(self, recorder, max_rows):
        self.recorder = recorder
        self.max_rows = math.inf if max_rows is None else max_rows

    def record(self, t):
        if self.recorder.count >= self.max_rows:
            raise RunLimitError(RECORDING, time=t, limit=RECORDING)
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

    def __init__(self, run, recorder, options):
        self.run_, self.recorder = run, recorder
        self.t_stop, self.dt, self.dt_min = options.t_stop, options.dt, options.dt_min
        self.record_every, self.record_from = options.record_every, options.record_from
        self.progress = options.progress
        self.rtol, self.atol = options.rtol, options.atol
        self.dt_max, self.breakpoints = options.dt_max, options.breakpoints
        self.max_steps = options.max_steps
        self.next_bp = 0
        noise_step = options.noise_step
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
        next_report = _time.perf_counter() + PROGRESS_INTERVAL
        while t_stop - t > 1e-9 * dt:
            if self.progress is not None and _time.perf_counter() >= next_report:
                self.progress(t)
                next_report = _time.perf_counter() + PROGRESS_INTERVAL
            if run.stats["steps"] + run.stats["rejected"] >= self.max_steps:
                raise RunLimitError(STEPS, time=t, limit=STEPS)
            step = min(h, t_stop - t)
            if t_stop - (t + step) < 1e-3 * step:
                step = t_stop - t
            step, corner = self._limit(t, step)
            failure, factor = None, 1.0
            try:
                run.step(t, step, h_prev)
            except StepFailure as exc:
                failure, factor = exc, 0.5
            judged, shift = True, None
            if failure is None and self.noise is not None:
                judged, shift = self.noise.judge()
            if failure is None and run.stats["steps"] >= 2 and judged:
                error = run.local_error(step, h_prev, h_prev2, self.rtol, self.atol, shift)
                factor = _step_factor(error)
                if error > 1.0:
                    run.reject()
                    failure = StepFailure("local error above tolerance")
            if failure is not None:
                run.stats["rejected"] += 1
                h = step * min(factor, 0.5)
                if h < self.dt_min:
                    raise_failure(t, step, failure)
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
