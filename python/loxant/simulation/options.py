"""The options of one run, checked once: :class:`RunOptions`.

:func:`~loxant.simulation.simulate` turns its keyword arguments into a
:class:`RunOptions` before anything is built; both engines (the native loop and
the Python reference loop) take that one object.  The checks that need the
described system (what it records, its noise and its breakpoints) are methods
of the same record, run once the system is built.
"""

import copy
import dataclasses
import math

from ..elements import number
from ..errors import CircuitError, QuotedError, RunLimitError
from .engines import ENGINES
from .probes import HOW_TO_RECORD
from .results import Results, on_print_grid

__all__ = [
    "ADAPTIVE_ATOL",
    "ADAPTIVE_RTOL",
    "MAX_RECORDING_BYTES",
    "MAX_STEPS",
    "NEWTON_ABSTOL",
    "NEWTON_FRACTION",
    "NEWTON_RELTOL",
    "NOISE_STEPS_PER_HOLD",
    "Limits",
    "RunOptions",
]

#: default Newton tolerances, |delta| <= abstol + reltol |phase|
NEWTON_ABSTOL = NEWTON_RELTOL = 1e-9
#: with those defaults, the native engine's fixed step also stops Newton at this
#: fraction of the step's own local error
NEWTON_FRACTION = 0.1
#: with those defaults, a fixed step also ends after its first solve when the
#: correction still to come, estimated, is within this fraction of its local error
SINGLE_SOLVE = 0.0
#: most time steps a run may project (t_stop / dt)
MAX_STEPS = 10**9
#: largest recording, in bytes, a run may project
MAX_RECORDING_BYTES = 256 * 2**20
#: default local error tolerances of the adaptive step (phases in radians)
ADAPTIVE_RTOL = 1e-4
ADAPTIVE_ATOL = 1e-4
#: least number of steps per noise step of an adaptive run: the first step after
#: a change of the noise then has a history of one noise value to be judged by
NOISE_STEPS_PER_HOLD = 3


@dataclasses.dataclass(frozen=True)
class RunOptions:
    """Every option of a run, checked (see :func:`~loxant.simulation.simulate`
    for their meaning).  ``dt`` is the fixed step, or the first step of an
    adaptive run (``adaptive``: rtol, atol and dt_max apply); ``breakpoints``
    and ``noise_step`` are the described system's, set by :meth:`for_system`."""

    t_stop: float
    dt: float
    dt_min: float
    adaptive: bool = False
    rtol: float = ADAPTIVE_RTOL
    atol: float = ADAPTIVE_ATOL
    dt_max: float = 0.0
    record_every: int = 1
    record_from: float = 0.0
    record: object = None
    print_step: float = None
    initial_ramp: float = 0.0
    phase_hysteresis: float = 0.0
    abstol: float = NEWTON_ABSTOL
    reltol: float = NEWTON_RELTOL
    newton_fraction: float = NEWTON_FRACTION
    single_solve: float = SINGLE_SOLVE
    max_iterations: int = 20
    max_steps: int = MAX_STEPS
    engine: str = "native"
    progress: object = None
    profile: bool = False
    seed: int = None
    breakpoints: tuple = ()
    noise_step: float = 0.0
    settle_steps: int = 0

    @classmethod
    def check(
        cls,
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
        abstol=None,
        reltol=None,
        newton_fraction=None,
        single_solve=None,
        max_iterations=20,
        dt_min=None,
        record=None,
        engine="native",
        progress=None,
        profile=False,
        seed=None,
        print_step=None,
        max_steps=None,
        settle_steps=0,
    ):
        """The options of ``simulate``, checked: a :class:`CircuitError` names the
        first that is wrong."""
        t_stop = number(t_stop, "t_stop", positive=True)
        adaptive = _adaptive_settings(t_stop, dt, rtol, atol, dt_max)
        if adaptive is not None:
            dt = adaptive["dt"]
            default_min = adaptive["dt_max"] * 1e-9
        else:
            dt = number(dt, "dt", positive=True)
            default_min = dt / 1024
        if dt > t_stop:
            raise QuotedError("dt = {q0} exceeds t_stop = {q1}", _times(dt=dt, t_stop=t_stop))
        dt_min = default_min if dt_min is None else number(dt_min, "dt_min", positive=True)
        if dt_min > dt:
            raise QuotedError("dt_min = {q0} exceeds dt = {q1}", _times(dt_min=dt_min, dt=dt))
        # the step count first: the checks below count the steps
        max_steps = MAX_STEPS if max_steps is None else _count(max_steps, "max_steps", limit=2**62)
        grid = dt if adaptive is None else adaptive["dt_max"]
        _check_step_count(t_stop, grid, max_steps, "dt" if adaptive is None else "dt_max")
        record_every = _count(record_every, "record_every")
        record_from = number(record_from, "record_from")
        if record_from > t_stop:
            raise QuotedError(
                "record_from = {q0} is after t_stop = {q1}: nothing would be recorded",
                _times(record_from=record_from, t_stop=t_stop),
            )
        if adaptive is None:
            _check_records_something(t_stop, dt, record_every, record_from)
        if print_step is not None:
            print_step = _print_step(print_step, adaptive, record_every, t_stop, record_from)
        initial_ramp = number(initial_ramp, "initial_ramp", nonnegative=True)
        phase_hysteresis = number(phase_hysteresis, "phase_hysteresis", nonnegative=True)
        abstol, reltol, newton_fraction = _newton_tolerances(abstol, reltol, newton_fraction)
        single_solve = _single_solve(single_solve, newton_fraction)
        max_iterations = _count(max_iterations, "max_iterations")
        settle_steps = 0 if not settle_steps else _count(settle_steps, "settle_steps", limit=10**6)
        if engine not in ENGINES:
            names = " or ".join(repr(name) for name in ENGINES)
            raise CircuitError(f"engine must be {names}, got {engine!r}")
        if progress is not None and not callable(progress):
            raise CircuitError(f"progress must be a callable of the time, got {progress!r}")
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int) or seed < 0):
            raise CircuitError(f"seed must be None or an integer >= 0, got {seed!r}")
        steps = {} if adaptive is None else dict(adaptive, adaptive=True)
        steps.update(t_stop=t_stop, dt=dt, dt_min=dt_min)
        return cls(
            **steps,
            record_every=record_every,
            record_from=record_from,
            record=record,
            print_step=print_step,
            initial_ramp=initial_ramp,
            phase_hysteresis=phase_hysteresis,
            abstol=abstol,
            reltol=reltol,
            newton_fraction=newton_fraction,
            single_solve=single_solve,
            max_iterations=max_iterations,
            max_steps=max_steps,
            engine=engine,
            progress=progress,
            profile=bool(profile),
            seed=seed,
            settle_steps=settle_steps,
        )

    @property
    def grid(self):
        """The step the run's size is projected with: dt, or an adaptive dt_max."""
        return self.dt_max if self.adaptive else self.dt

    def for_system(self, system):
        """These options with the breakpoints and noise step of ``system``: an
        adaptive run lands on its waveforms' corners and holds its noise over a
        noise step, at most a third of which a step may take."""
        if not self.adaptive:
            return self
        breakpoints = tuple(_breakpoints(system, self.t_stop))
        noise_step = _hold_noise(system, self.dt_max)
        if noise_step <= 0:
            return dataclasses.replace(self, breakpoints=breakpoints)
        dt_max = min(self.dt_max, noise_step / NOISE_STEPS_PER_HOLD)
        dt = min(self.dt, dt_max)
        return dataclasses.replace(
            self,
            breakpoints=breakpoints,
            noise_step=noise_step,
            dt_max=dt_max,
            dt=dt,
            dt_min=min(self.dt_min, dt),
        )

    def limits(self, per_sample, started):
        """The :class:`Limits` of a run that records ``per_sample`` bytes a sample,
        after refusing a recording that would exceed :data:`MAX_RECORDING_BYTES`."""
        keep_all = isinstance(self.record, str) and self.record == "all"
        max_rows = None if keep_all else max(MAX_RECORDING_BYTES // per_sample, 2)
        if not keep_all:
            _check_recording(
                per_sample, self.t_stop, self.grid, self.record_every, self.record_from
            )
        if self.print_step is not None:
            _check_print_grid(per_sample, self.t_stop, self.record_from, self.print_step)
        expected = math.ceil(self.t_stop / self.grid) // self.record_every + 2
        return Limits(self, per_sample, max_rows, expected, started)


class Limits:
    """The bounds of one run, and the error that reports reaching one."""

    def __init__(self, options, per_sample, max_rows, expected, started):
        self.t_stop, self.per_sample = options.t_stop, per_sample
        self.max_rows, self.max_steps = max_rows, options.max_steps
        self.print_step = options.print_step
        #: rows the run is expected to record (its first allocation)
        self.expected = expected
        #: ``time.perf_counter()`` when the run began
        self.started = started

    def results(self, tables, plan, stats):
        """The :class:`~loxant.simulation.results.Results` of a finished run."""
        if self.print_step is not None:
            tables = on_print_grid(*tables, self.print_step, self.t_stop)
        return Results.from_tables(*tables, plan, stats)

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


def _newton_tolerances(abstol, reltol, newton_fraction):
    """(abstol, reltol, newton_fraction) checked; the fraction loosens only the
    default tolerances (a tolerance given at its default value is a default)."""
    abstol = NEWTON_ABSTOL if abstol is None else number(abstol, "abstol", positive=True)
    reltol = NEWTON_RELTOL if reltol is None else number(reltol, "reltol", nonnegative=True)
    defaults = abstol == NEWTON_ABSTOL and reltol == NEWTON_RELTOL
    if newton_fraction is None:
        return abstol, reltol, NEWTON_FRACTION if defaults else 0.0
    newton_fraction = number(newton_fraction, "newton_fraction", nonnegative=True)
    if newton_fraction > 0 and not defaults:
        raise CircuitError(
            f"newton_fraction = {newton_fraction:g} would loosen abstol = {abstol:g}, "
            f"reltol = {reltol:g}: it applies to the default tolerances only "
            f"({NEWTON_ABSTOL:g}, {NEWTON_RELTOL:g}); leave it out or pass 0"
        )
    return abstol, reltol, newton_fraction


def _single_solve(single_solve, newton_fraction):
    """The single-solve fraction checked; like newton_fraction it loosens only
    the default tolerances, so it needs newton_fraction above 0."""
    if single_solve is None:
        return SINGLE_SOLVE if newton_fraction > 0 else 0.0
    single_solve = number(single_solve, "single_solve", nonnegative=True)
    if single_solve > 0 and newton_fraction == 0:
        raise CircuitError(
            f"single_solve = {single_solve:g} needs the default tolerances and "
            "newton_fraction above 0; leave it out or pass 0"
        )
    return single_solve


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


def _check_step_count(t_stop, dt, max_steps=MAX_STEPS, name="dt"):
    """Refuses a run whose step count is out of reach, before anything is built."""
    steps = t_stop / dt  # a float: it may be out of the range of integers
    if not steps <= max_steps:
        raise QuotedError(
            f"t_stop = {{q0}} with {name} = {{q1}} projects {steps:.3g} time steps, more "
            f"than {max_steps:.3g} (max_steps): raise {name} or shorten t_stop",
            [("t_stop", t_stop, "g"), (name, dt, "g")],
        )


def _check_records_something(t_stop, dt, record_every, record_from):
    """Refuses a fixed-step run that would record no sample: every record_every-th
    point of the dt grid (t_stop the last) falls before record_from."""
    if record_from <= 0:
        return  # t = 0 is kept
    points = math.ceil(t_stop / dt * (1 - 1e-12))
    last = (points // record_every) * record_every
    if last == 0 or min(last * dt, t_stop) < record_from - 1e-9 * dt:
        raise QuotedError(
            f"nothing would be recorded: every {record_every}th step of {{q0}} from "
            "record_from = {q1} to t_stop = {q2} holds no sample; lower "
            "record_every or record_from",
            _times(dt=dt, record_from=record_from, t_stop=t_stop),
        )


def _times(**times):
    """The quoted times of a :class:`QuotedError`, by option name."""
    return [(name, value, "g") for name, value in times.items()]


def _print_step(print_step, adaptive, record_every, t_stop, record_from):
    print_step = number(print_step, "print_step", positive=True)
    if adaptive is None or record_every != 1:
        raise CircuitError("print_step needs an adaptive step and record_every = 1")
    span = t_stop - max(record_from, 0.0)
    if print_step > span and record_from > 0:
        raise QuotedError(
            "print_step = {q0} exceeds the recorded span from record_from = {q1} to "
            "t_stop = {q2}: no sample would be printed",
            _times(print_step=print_step, record_from=record_from, t_stop=t_stop),
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
