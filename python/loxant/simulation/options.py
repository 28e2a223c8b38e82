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

from ..elements import PhaseSource, number
from ..errors import RECORDING, STEPS, CircuitError, QuotedError, RunLimitError
from .engines import ENGINES
from .probes import HOW_TO_RECORD
from .results import Results, on_print_grid
from .stop_rule import StopRule

__all__ = [
    "ADAPTIVE_ATOL",
    "ADAPTIVE_RTOL",
    "MAX_RECORDING_BYTES",
    "MAX_STEPS",
    "METHODS",
    "NEWTON_ABSTOL",
    "NEWTON_FRACTION",
    "NEWTON_RELTOL",
    "NOISE_STEPS_PER_HOLD",
    "SINGLE_SOLVE",
    "TRAPEZOIDAL_SINGLE_SOLVE",
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
#: the same fraction for a trapezoidal step, which ends its single solve with the
#: diagonal's share of the next correction
TRAPEZOIDAL_SINGLE_SOLVE = 0.25
#: the integration formulas of a fixed step (the adaptive step takes BDF2)
METHODS = ("bdf2", "trapezoidal")
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


def _option(default=dataclasses.MISSING, *, check=None, native=None, when=None):
    """A field of :class:`RunOptions`: its ``default``; ``check(value, name)``,
    which returns a given value checked (None: checked with the others in
    :meth:`RunOptions.check`); ``native``, the name the native engine reads it
    by (None: not the engine's); ``when(options)``, true for the runs whose
    engine takes it (None: every run)."""
    metadata = {"check": check, "native": native, "when": when}
    return dataclasses.field(default=default, metadata=metadata)


def _adaptive_run(options):
    return options.adaptive


def _settled_run(options):
    return options.settle_steps > 0


def _real(value, name, **sign):
    """``number``, its error naming the option."""
    try:
        return number(value, name, **sign)
    except CircuitError as exc:
        exc.option = name
        raise


def _count(value, what, limit=2**31 - 1):
    """A positive int of at most ``limit`` (the engines count in 32 bits)."""
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise CircuitError(f"{what} must be a positive integer, got {value!r:.80}", option=what)
    if value > limit:
        raise CircuitError(f"{what} must be at most {limit}, got {value:.3g}", option=what)
    return value


def _nonnegative(value, name):
    return _real(value, name, nonnegative=True)


def _engine(value, name):
    if value not in ENGINES:
        names = " or ".join(repr(engine) for engine in ENGINES)
        raise CircuitError(f"{name} must be {names}, got {value!r}", option=name)
    return value


def _method(value, name):
    if value not in METHODS:
        names = " or ".join(repr(method) for method in METHODS)
        raise CircuitError(f"{name} must be {names}, got {value!r:.80}", option=name)
    return value


def _trapezoidal_run(options):
    return options.method == "trapezoidal"


def _progress(value, name):
    if value is not None and not callable(value):
        raise CircuitError(f"{name} must be a callable of the time, got {value!r}", option=name)
    return value


def _seed(value, name):
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 0):
        raise CircuitError(f"{name} must be None or an integer >= 0, got {value!r}", option=name)
    return value


def _stop_rule(value, name):
    if value is not None and not isinstance(value, StopRule):
        raise CircuitError(f"{name} must be a StopRule or None, got {value!r}", option=name)
    return value


def _settle_steps(value, name):
    return 0 if not value else _count(value, name, limit=10**6)


def _flag(value, name):
    return bool(value)


@dataclasses.dataclass(frozen=True)
class RunOptions:
    """Every option of a run, checked (see :func:`~loxant.simulation.simulate`
    for their meaning).  ``dt`` is the fixed step, or the first step of an
    adaptive run (``adaptive``: rtol, atol and dt_max apply); ``breakpoints``
    and ``noise_step`` are the described system's, set by :meth:`for_system`.

    Each field states its default, its check and the native engine's name for
    it (see :func:`_option`): the engine's options are generated from them
    (:meth:`native`)."""

    t_stop: float = _option(native="t_stop")
    dt: float = _option(native="dt")
    dt_min: float = _option(native="dt_min")
    adaptive: bool = _option(False, native="adaptive", when=_adaptive_run)
    rtol: float = _option(ADAPTIVE_RTOL, native="lte_rtol", when=_adaptive_run)
    atol: float = _option(ADAPTIVE_ATOL, native="lte_atol", when=_adaptive_run)
    dt_max: float = _option(0.0, native="dt_max", when=_adaptive_run)
    record_every: int = _option(1, check=_count, native="record_every")
    record_from: float = _option(0.0, check=_real, native="record_from")
    record: object = _option(None)
    print_step: float = _option(None)
    initial_ramp: float = _option(0.0, check=_nonnegative, native="initial_ramp")
    phase_hysteresis: float = _option(0.0, check=_nonnegative, native="phase_hysteresis")
    abstol: float = _option(NEWTON_ABSTOL, native="abstol")
    reltol: float = _option(NEWTON_RELTOL, native="reltol")
    newton_fraction: float = _option(NEWTON_FRACTION, native="newton_fraction")
    #: None until the method is chosen (for_system)
    single_solve: float = _option(None, native="single_solve_fraction")
    #: the engine reads its flag "trapezoidal" as true: the method's name is a true
    #: string; None until it is chosen for the system (for_system)
    method: str = _option(None, check=_method, native="trapezoidal", when=_trapezoidal_run)
    max_iterations: int = _option(20, check=_count, native="max_iterations")
    max_steps: int = _option(MAX_STEPS, native="max_steps", when=_adaptive_run)
    engine: str = _option("native", check=_engine)
    progress: object = _option(None, check=_progress, native="progress")
    profile: bool = _option(False, check=_flag, native="profile")
    seed: int = _option(None, check=_seed)
    breakpoints: tuple = _option((), native="breakpoints", when=_adaptive_run)
    noise_step: float = _option(0.0, native="noise_step", when=_adaptive_run)
    settle_steps: int = _option(0, check=_settle_steps, native="settle_steps", when=_settled_run)
    #: ends a failing run early (native engine; the engine's settings are made with the plan)
    stop_rule: object = _option(None, check=_stop_rule)

    @classmethod
    def check(cls, t_stop, dt=None, **given):
        """The options of ``simulate``, checked: a :class:`CircuitError` names the
        first that is wrong (its ``option``); an option not given takes its
        field's default."""
        unknown = sorted(set(given) - _GIVEN)
        if unknown:
            raise TypeError(f"simulate() got an unexpected keyword argument {unknown[0]!r}")
        steps = _steps(t_stop, dt, given)
        t_stop, dt, adaptive = steps["t_stop"], steps["dt"], steps.get("adaptive", False)
        values = {}
        for field in dataclasses.fields(cls):
            check = field.metadata["check"]
            if field.name in given and check is not None:
                values[field.name] = check(given[field.name], field.name)
        record_every = values.get("record_every", _DEFAULTS["record_every"])
        record_from = values.get("record_from", _DEFAULTS["record_from"])
        if record_from > t_stop:
            raise QuotedError(
                "record_from = {q0} is after t_stop = {q1}: nothing would be recorded",
                _times(record_from=record_from, t_stop=t_stop),
                option="record_from",
            )
        if not adaptive:
            _check_records_something(t_stop, dt, record_every, record_from)
        if given.get("print_step") is not None:
            values["print_step"] = _print_step(
                given["print_step"], adaptive, record_every, t_stop, record_from
            )
        values.update(
            zip(
                ("abstol", "reltol", "newton_fraction"),
                _newton_tolerances(
                    given.get("abstol"), given.get("reltol"), given.get("newton_fraction")
                ),
            )
        )
        values["single_solve"] = _single_solve(given.get("single_solve"), values["newton_fraction"])
        _check_method(values.get("method"), adaptive, given.get("engine", "native"))
        if "record" in given:
            values["record"] = given["record"]  # checked against the system
        return cls(**steps, **values)

    def native(self):
        """The native engine's options of this run, by the engine's names (the
        described system adds its own: see
        :func:`loxant.simulation.native.engine_options`)."""
        out = {}
        for field in dataclasses.fields(self):
            name, when = field.metadata["native"], field.metadata["when"]
            if name is not None and (when is None or when(self)):
                out[name] = getattr(self, field.name)
        return out

    @property
    def grid(self):
        """The step the run's size is projected with: dt, or an adaptive dt_max."""
        return self.dt_max if self.adaptive else self.dt

    def for_system(self, system):
        """These options with the breakpoints and noise step of ``system``: an
        adaptive run lands on its waveforms' corners and holds its noise over a
        noise step, at most a third of which a step may take.  A trapezoidal run
        of a system with a phase source is refused."""
        if self.method == "trapezoidal":
            _check_trapezoidal_sources(system)
        chosen = self._with_method(system)
        if not chosen.adaptive:
            return chosen
        return chosen._with_breakpoints(system)

    def _with_method(self, system):
        """The method where none was given: the trapezoidal rule where it applies
        (a fixed step of the native engine, no phase source), else BDF2; and the
        single-solve fraction of that method where none was given."""
        method = self.method
        if method is None:
            applies = not self.adaptive and self.engine == "native" and not _phase_sources(system)
            method = "trapezoidal" if applies else "bdf2"
        single_solve = self.single_solve
        if single_solve is None:
            single_solve = SINGLE_SOLVE
            if method == "trapezoidal" and self.newton_fraction > 0:
                single_solve = TRAPEZOIDAL_SINGLE_SOLVE
        return dataclasses.replace(self, method=method, single_solve=single_solve)

    def _with_breakpoints(self, system):
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
        # with a print step the native engine keeps only the print grid, put on
        # it as the run goes
        printed = self.print_step is not None and self.engine == "native"
        if not keep_all and not printed:
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

    def results(self, tables, plan, stats, printed=False):
        """The :class:`~loxant.simulation.results.Results` of a finished run
        (``printed``: its tables are on the print grid already)."""
        if self.print_step is not None and not printed:
            tables = on_print_grid(*tables, self.print_step, self.t_stop)
        return Results.from_tables(*tables, plan, stats)

    def error(self, exc, plan):
        """The :class:`~loxant.errors.RunLimitError` of ``exc`` (from an engine, with
        its ``tables`` and ``stats``) with its message and the results so far."""
        t = exc.time
        where = f"the run stopped at t = {t:.6g} of t_stop = {self.t_stop:g}"
        if exc.limit == STEPS:
            reached = f"{where}: it reached the limit of {self.max_steps:.3g} steps (max_steps)"
            advice = "loosen rtol and atol, raise dt_min, or raise max_steps"
        else:
            size = MAX_RECORDING_BYTES / 2**20
            projected = len(exc.tables[0]) * self.t_stop / t if t > 0 else math.inf
            reached = (
                f"{where}: its recording reached the limit of {size:.4g} MiB "
                f"({self.max_rows} samples of {self.per_sample} bytes; the whole run "
                f"projects {projected:.3g} samples)"
            )
            advice = (
                f"{HOW_TO_RECORD}, raise record_every, start recording later with "
                "record_from, or pass record='all' to keep everything anyway"
            )
        tables = exc.tables
        if self.print_step is not None and not getattr(exc, "printed", False):
            tables = on_print_grid(*tables, self.print_step, t)
        results = Results.from_tables(*tables, plan, exc.stats)
        message = f"{reached}; {advice} (the error's results hold what was recorded)"
        return RunLimitError(message, t, results, limit=exc.limit, reached=reached)


def _check_method(method, adaptive, engine):
    """The trapezoidal rule, asked for, is the native engine's, at a fixed step."""
    if method != "trapezoidal":
        return
    if adaptive:
        raise CircuitError(
            "method = 'trapezoidal' takes a fixed step: the adaptive step integrates with "
            "'bdf2'; leave out rtol, atol and dt_max, or the method",
            option="method",
        )
    if engine != "native":
        raise CircuitError(
            "method = 'trapezoidal' is the native engine's; the python engine integrates "
            "with 'bdf2'",
            option="method",
        )


def _check_trapezoidal_sources(system):
    """Refuses a phase source: the trapezoidal rule's voltage and its derivative
    at a node whose phase is imposed carry any error on undamped, so a
    capacitance there would see it grow."""
    for element in _phase_sources(system):
        raise CircuitError(
            f"method = 'trapezoidal' cannot integrate the phase source {element.decl.name}: "
            "the rule does not damp the voltage of a node whose phase is imposed; "
            "use method = 'bdf2'",
            option="method",
        )


def _phase_sources(system):
    return [element for element in system.sources if isinstance(element.decl, PhaseSource)]


def _single_solve(single_solve, newton_fraction):
    """The single-solve fraction checked; like newton_fraction it loosens only
    the default tolerances, so it needs newton_fraction above 0."""
    if single_solve is None:
        return None if newton_fraction > 0 else 0.0
    single_solve = _real(single_solve, "single_solve", nonnegative=True)
    if single_solve > 0 and newton_fraction == 0:
        raise CircuitError(
            f"single_solve = {single_solve:g} needs the default tolerances and "
            "newton_fraction above 0; leave it out or pass 0",
            option="single_solve",
        )
    return single_solve


def _newton_tolerances(abstol, reltol, newton_fraction):
    """(abstol, reltol, newton_fraction) checked; the fraction loosens only the
    default tolerances (a tolerance given at its default value is a default)."""
    abstol = NEWTON_ABSTOL if abstol is None else _real(abstol, "abstol", positive=True)
    reltol = NEWTON_RELTOL if reltol is None else _real(reltol, "reltol", nonnegative=True)
    defaults = abstol == NEWTON_ABSTOL and reltol == NEWTON_RELTOL
    if newton_fraction is None:
        return abstol, reltol, NEWTON_FRACTION if defaults else 0.0
    newton_fraction = _real(newton_fraction, "newton_fraction", nonnegative=True)
    if newton_fraction > 0 and not defaults:
        raise CircuitError(
            f"newton_fraction = {newton_fraction:g} would loosen abstol = {abstol:g}, "
            f"reltol = {reltol:g}: it applies to the default tolerances only "
            f"({NEWTON_ABSTOL:g}, {NEWTON_RELTOL:g}); leave it out or pass 0",
            option="newton_fraction",
        )
    return abstol, reltol, newton_fraction


_DEFAULTS = {field.name: field.default for field in dataclasses.fields(RunOptions)}
#: the options ``check`` takes by keyword (the rest are the system's)
_GIVEN = frozenset(
    {field.name for field in dataclasses.fields(RunOptions)}
    - {"t_stop", "dt", "adaptive", "breakpoints", "noise_step"}
)


def _steps(t_stop, dt, given):
    """The checked step settings: t_stop, dt, dt_min and max_steps, and for an
    adaptive step its tolerances and dt_max; the step count is checked first,
    since the other checks count steps."""
    t_stop = _real(t_stop, "t_stop", positive=True)
    adaptive = _adaptive_settings(
        t_stop, dt, given.get("rtol"), given.get("atol"), given.get("dt_max")
    )
    if adaptive is not None:
        dt = adaptive["dt"]
        default_min = adaptive["dt_max"] * 1e-9
    else:
        dt = _real(dt, "dt", positive=True)
        default_min = dt / 1024
    if dt > t_stop:
        raise QuotedError(
            "dt = {q0} exceeds t_stop = {q1}", _times(dt=dt, t_stop=t_stop), option="dt"
        )
    dt_min = given.get("dt_min")
    dt_min = default_min if dt_min is None else _real(dt_min, "dt_min", positive=True)
    if dt_min > dt:
        raise QuotedError(
            "dt_min = {q0} exceeds dt = {q1}", _times(dt_min=dt_min, dt=dt), option="dt_min"
        )
    max_steps = given.get("max_steps")
    max_steps = MAX_STEPS if max_steps is None else _count(max_steps, "max_steps", limit=2**62)
    grid = dt if adaptive is None else adaptive["dt_max"]
    _check_step_count(t_stop, grid, max_steps, "dt" if adaptive is None else "dt_max")
    steps = {} if adaptive is None else dict(adaptive, adaptive=True)
    steps.update(t_stop=t_stop, dt=dt, dt_min=dt_min, max_steps=max_steps)
    return steps


def _adaptive_settings(t_stop, dt, rtol, atol, dt_max):
    """The adaptive step's settings, or None for a fixed step (dt and no tolerance)."""
    if dt is not None and rtol is None and atol is None:
        if dt_max is not None:
            raise CircuitError(
                "dt_max needs an adaptive step: pass rtol or atol, or leave dt out", option="dt_max"
            )
        return None
    rtol = ADAPTIVE_RTOL if rtol is None else _real(rtol, "rtol", nonnegative=True)
    atol = ADAPTIVE_ATOL if atol is None else _real(atol, "atol", positive=True)
    if dt is not None:
        dt = _real(dt, "dt", positive=True)
    if dt_max is None:
        dt_max = dt if dt is not None else t_stop / 100
    dt_max = min(_real(dt_max, "dt_max", positive=True), t_stop)
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
        reached = (
            f"t_stop = {{q0}} with {name} = {{q1}} projects {steps:.3g} time steps, more "
            f"than {max_steps:.3g} (max_steps)"
        )
        raise QuotedError(
            f"{reached}: raise {name} or shorten t_stop",
            [("t_stop", t_stop, "g"), (name, dt, "g")],
            option="t_stop",
            limit=STEPS,
            reached=reached,
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
    print_step = _real(print_step, "print_step", positive=True)
    if not adaptive or record_every != 1:
        raise CircuitError(
            "print_step needs an adaptive step and record_every = 1", option="print_step"
        )
    span = t_stop - max(record_from, 0.0)
    if print_step > span and record_from > 0:
        raise QuotedError(
            "print_step = {q0} exceeds the recorded span from record_from = {q1} to "
            "t_stop = {q2}: no sample would be printed",
            _times(print_step=print_step, record_from=record_from, t_stop=t_stop),
            option="print_step",
        )
    return print_step


def _check_print_grid(per_sample, t_stop, record_from, print_step):
    """Refuses a print grid whose samples would exceed :data:`MAX_RECORDING_BYTES`."""
    samples = math.floor(max(t_stop - max(record_from, 0.0), 0.0) / print_step) + 2
    size = samples * per_sample
    if size > MAX_RECORDING_BYTES:
        span = max(t_stop - max(record_from, 0.0), 0.0)
        least = span / max(MAX_RECORDING_BYTES // per_sample - 2, 1)
        reached = (
            f"print_step = {print_step:g} would print {samples:.3g} samples of {per_sample} "
            f"bytes ({size / 2**20:.4g} MiB), more than {MAX_RECORDING_BYTES / 2**20:.4g} MiB"
        )
        raise CircuitError(
            f"{reached}: raise print_step to at least {least:.3g} or record fewer quantities",
            option="print_step",
            limit=RECORDING,
            reached=reached,
        )


def _check_recording(per_sample, t_stop, dt, record_every, record_from):
    """Refuses a recording of ``per_sample`` bytes a sample that would exceed
    :data:`MAX_RECORDING_BYTES`, before it is allocated, saying what to change."""
    recorded = math.ceil(max(t_stop - max(record_from, 0.0), 0.0) / dt)
    samples = recorded // record_every + 2
    size = samples * per_sample
    if size > MAX_RECORDING_BYTES:
        fits = max(MAX_RECORDING_BYTES // per_sample - 2, 1)
        reached = (
            f"the recording would take {size / 2**20:.4g} MiB ({samples:.3g} samples of "
            f"{per_sample} bytes), more than {MAX_RECORDING_BYTES / 2**20:.4g} MiB"
        )
        raise CircuitError(
            f"{reached}: {HOW_TO_RECORD}, raise record_every to at least "
            f"{math.ceil(recorded / fits)}, start recording later with record_from, or pass "
            "record='all' to keep everything anyway",
            limit=RECORDING,
            reached=reached,
        )
