"""Source waveforms: values of a source as a function of time.

A waveform is any object called with the time (a float, in normalised time
units) that returns the source value at that time.  The driver evaluates the
waveform of every source once per time step, at the end of the step.
Plain numbers and Python callables are accepted wherever a waveform is; use
:func:`as_waveform` to turn them into :class:`Waveform` objects.
"""

import math
from bisect import bisect_right

from .waveform_base import MOST_BREAKPOINTS, MOST_SAMPLES, Waveform
from .waveform_base import finite as _finite
from .waveform_sampled import Custom, Noise

__all__ = [
    "PWL",
    "PWS",
    "Constant",
    "Custom",
    "DampedSine",
    "Exp",
    "Function",
    "MOST_BREAKPOINTS",
    "MOST_SAMPLES",
    "Noise",
    "Pulse",
    "Rescaled",
    "Sine",
    "Waveform",
    "as_waveform",
]


class Constant(Waveform):
    """The same value at every time."""

    def __init__(self, value):
        self.value = _finite(value, "constant value")

    def __call__(self, t):
        return self.value

    def __repr__(self):
        return f"Constant({self.value!r})"


def _checked_points(times, values, kind):
    """Finite times that do not decrease and as many finite values, as lists."""
    times = [_finite(t, f"{kind} time") for t in times]
    values = [_finite(v, f"{kind} value") for v in values]
    if not times or len(times) != len(values):
        raise ValueError(
            f"{kind} needs as many values as times, at least one "
            f"(got {len(times)} times and {len(values)} values)"
        )
    for t0, t1 in zip(times, times[1:]):
        if t1 < t0:
            raise ValueError(f"{kind} times must not decrease ({t1} follows {t0})")
    return times, values


class PWL(Waveform):
    """Piecewise linear waveform through ``(time, value)`` points.

    Times must not decrease; two points with the same time make a step.  Before
    the first point the waveform keeps the first value, after the last point the
    last value.
    """

    def __init__(self, points):
        pairs = []
        for point in points:
            try:
                t, v = point
            except (TypeError, ValueError):
                raise TypeError(f"PWL points must be (time, value) pairs, got {point!r}") from None
            pairs.append((t, v))
        self.times, self.values = _checked_points(
            [t for t, _ in pairs], [v for _, v in pairs], "PWL"
        )

    def __call__(self, t):
        times, values = self.times, self.values
        k = bisect_right(times, t)
        if k == 0:
            return values[0]
        if k == len(times):
            return values[-1]
        t0, t1 = times[k - 1], times[k]
        v0, v1 = values[k - 1], values[k]
        return v0 + (v1 - v0) * (t - t0) / (t1 - t0)

    def breakpoints(self, t_stop):
        return [t for t in self.times if 0 < t <= t_stop]

    def __repr__(self):
        return f"PWL({list(zip(self.times, self.values))!r})"


class PWS(Waveform):
    """Piecewise waveform through the points ``(times[i], values[i])`` whose
    segments are half-cosines, ``v0 + (v1 - v0) * (1 - cos(pi * u)) / 2`` with
    ``u = (t - t0) / (t1 - t0)``: smooth at every point, where the slope is 0.

    Times must not decrease (two equal times make a step, as in :class:`PWL`);
    the first value holds before the first point, the last after the last.
    """

    def __init__(self, times, values):
        self.times, self.values = _checked_points(times, values, "PWS")

    def __call__(self, t):
        times, values = self.times, self.values
        k = bisect_right(times, t)
        if k == 0:
            return values[0]
        if k == len(times):
            return values[-1]
        t0, t1 = times[k - 1], times[k]
        v0, v1 = values[k - 1], values[k]
        u = (t - t0) / (t1 - t0)
        return v0 + (v1 - v0) * (1.0 - math.cos(math.pi * u)) / 2.0

    def breakpoints(self, t_stop):
        return [t for t in self.times if 0 < t <= t_stop]

    def __repr__(self):
        return f"PWS({self.times!r}, {self.values!r})"


class Pulse(Waveform):
    """Trapezoidal pulse, optionally repeated.

    ``low`` until ``delay``, then a linear rise to ``high`` over ``rise``, ``high``
    for ``width``, a linear fall back to ``low`` over ``fall``.  With ``period``
    the pulse repeats every ``period`` after ``delay``.
    """

    def __init__(self, low, high, *, delay=0.0, rise=0.0, fall=0.0, width, period=None):
        self.low = _finite(low, "pulse low value")
        self.high = _finite(high, "pulse high value")
        self.delay = _finite(delay, "pulse delay")
        self.rise = _finite(rise, "pulse rise time")
        self.fall = _finite(fall, "pulse fall time")
        self.width = _finite(width, "pulse width")
        if min(self.rise, self.fall, self.width) < 0:
            raise ValueError("pulse rise, fall and width must not be negative")
        self.period = None
        if period is not None:
            self.period = _finite(period, "pulse period")
            if self.period < self.rise + self.width + self.fall or self.period <= 0:
                raise ValueError("pulse period must be positive and cover rise + width + fall")

    def __call__(self, t):
        tau = t - self.delay
        if tau < 0:
            return self.low
        if self.period is not None:
            tau = math.fmod(tau, self.period)
        if tau < self.rise:
            return self.low + (self.high - self.low) * tau / self.rise
        tau -= self.rise
        if tau <= self.width:
            return self.high
        tau -= self.width
        if tau < self.fall:
            return self.high + (self.low - self.high) * tau / self.fall
        return self.low

    def breakpoints(self, t_stop, most=MOST_BREAKPOINTS):
        edges = (0.0, self.rise, self.rise + self.width, self.rise + self.width + self.fall)
        times, start = [], self.delay
        while start <= t_stop and len(times) < most:
            times.extend(start + e for e in edges if 0 < start + e <= t_stop)
            if self.period is None:
                break
            start += self.period
        return times

    def __repr__(self):
        return (
            f"Pulse({self.low!r}, {self.high!r}, delay={self.delay!r}, rise={self.rise!r}, "
            f"fall={self.fall!r}, width={self.width!r}, period={self.period!r})"
        )


def _duration(cycles, frequency):
    """The time ``cycles`` periods take (inf without a limit)."""
    if cycles is None:
        return math.inf
    cycles = _finite(cycles, "sine number of cycles")
    if cycles < 0:
        raise ValueError(f"sine number of cycles must not be negative, got {cycles}")
    if cycles == 0:  # the dialect's 0: no limit
        return math.inf
    if frequency == 0:
        raise ValueError("a sine with a number of cycles needs a nonzero frequency")
    return cycles / abs(frequency)


def _sin(x):
    """math.sin, NaN (as in C) rather than an error for an overflowed argument."""
    return math.sin(x) if math.isfinite(x) else math.nan


def _exp(x):
    """math.exp, inf (as in C) rather than an error when it overflows."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def _sine_breakpoints(delay, duration, t_stop):
    return [t for t in (delay, delay + duration) if 0 < t <= t_stop]


class Sine(Waveform):
    """``offset + amplitude * sin(2*pi*frequency*(t - delay) + phase)`` from ``delay`` on,
    ``offset + amplitude * sin(phase)`` before.  The phase is in radians.  With
    ``cycles`` the sine stops after that many periods and returns to ``offset``."""

    def __init__(self, offset, amplitude, frequency, *, delay=0.0, phase=0.0, cycles=None):
        self.offset = _finite(offset, "sine offset")
        self.amplitude = _finite(amplitude, "sine amplitude")
        self.frequency = _finite(frequency, "sine frequency")
        self.delay = _finite(delay, "sine delay")
        self.phase = _finite(phase, "sine phase")
        self.duration = _duration(cycles, self.frequency)
        self.cycles = None if self.duration == math.inf else float(cycles)

    def __call__(self, t):
        tau = max(t - self.delay, 0.0)
        if tau >= self.duration:
            return self.offset
        return self.offset + self.amplitude * _sin(
            2.0 * math.pi * self.frequency * tau + self.phase
        )

    def breakpoints(self, t_stop):
        return _sine_breakpoints(self.delay, self.duration, t_stop)

    def __repr__(self):
        return (
            f"Sine({self.offset!r}, {self.amplitude!r}, {self.frequency!r}, "
            f"delay={self.delay!r}, phase={self.phase!r}, cycles={self.cycles!r})"
        )


class DampedSine(Waveform):
    """``offset`` until ``delay``, then
    ``offset + amplitude * exp(-damping * tau) * sin(2*pi*frequency*tau + phase)``,
    tau = t - delay; the phase is in radians.  With ``cycles`` the sine stops
    after that many periods and returns to ``offset``.  This is the dialect's
    ``sin(vo va f td theta phi nc)`` (with phi converted from degrees)."""

    def __init__(
        self, offset, amplitude, frequency, *, delay=0.0, damping=0.0, phase=0.0, cycles=None
    ):
        self.offset = _finite(offset, "sine offset")
        self.amplitude = _finite(amplitude, "sine amplitude")
        self.frequency = _finite(frequency, "sine frequency")
        self.delay = _finite(delay, "sine delay")
        self.damping = _finite(damping, "sine damping")
        self.phase = _finite(phase, "sine phase")
        self.duration = _duration(cycles, self.frequency)
        self.cycles = None if self.duration == math.inf else float(cycles)

    def __call__(self, t):
        tau = t - self.delay
        if tau < 0 or tau >= self.duration:
            return self.offset
        envelope = _exp(-self.damping * tau)
        return self.offset + self.amplitude * envelope * _sin(
            2.0 * math.pi * self.frequency * tau + self.phase
        )

    def breakpoints(self, t_stop):
        return _sine_breakpoints(self.delay, self.duration, t_stop)

    def __repr__(self):
        return (
            f"DampedSine({self.offset!r}, {self.amplitude!r}, {self.frequency!r}, "
            f"delay={self.delay!r}, damping={self.damping!r}, phase={self.phase!r}, "
            f"cycles={self.cycles!r})"
        )


class Exp(Waveform):
    """Exponential rise and fall: ``v1`` until ``delay_rise``, then approaching ``v2``
    with time constant ``tau_rise``; from ``delay_fall`` on, returning towards ``v1``
    with ``tau_fall``.  A time constant of 0 is an instant step."""

    def __init__(self, v1, v2, delay_rise, tau_rise, delay_fall, tau_fall):
        self.v1 = _finite(v1, "exp initial value")
        self.v2 = _finite(v2, "exp pulsed value")
        self.delay_rise = _finite(delay_rise, "exp rise delay")
        self.tau_rise = _finite(tau_rise, "exp rise time constant")
        self.delay_fall = _finite(delay_fall, "exp fall delay")
        self.tau_fall = _finite(tau_fall, "exp fall time constant")
        if self.tau_rise < 0 or self.tau_fall < 0:
            raise ValueError("exp time constants must not be negative")
        if self.delay_fall < self.delay_rise:
            raise ValueError("exp fall delay must not precede its rise delay")

    @staticmethod
    def _approach(tau, time_constant):
        if tau <= 0:
            return 0.0
        if time_constant == 0:
            return 1.0
        return -math.expm1(-tau / time_constant)

    def __call__(self, t):
        step = self.v2 - self.v1
        rise = self._approach(t - self.delay_rise, self.tau_rise)
        fall = self._approach(t - self.delay_fall, self.tau_fall)
        return self.v1 + step * rise - step * fall

    def __repr__(self):
        return (
            f"Exp({self.v1!r}, {self.v2!r}, {self.delay_rise!r}, {self.tau_rise!r}, "
            f"{self.delay_fall!r}, {self.tau_fall!r})"
        )


class Rescaled(Waveform):
    """``waveform(t * time_scale) / value_scale``: a waveform seen in other units of
    time and value (SI values in normalised units; a multiple of a waveform)."""

    def __init__(self, waveform, time_scale, value_scale):
        self.waveform = as_waveform(waveform)
        self.time_scale = time_scale
        self.value_scale = value_scale

    def __call__(self, t):
        return self.waveform(t * self.time_scale) / self.value_scale

    def breakpoints(self, t_stop):
        inner = self.waveform.breakpoints(t_stop * self.time_scale)
        return [t / self.time_scale for t in inner]

    def __repr__(self):
        return f"Rescaled({self.waveform!r}, {self.time_scale!r}, {self.value_scale!r})"


class Function(Waveform):
    """Wraps a Python callable of time; its results must be finite numbers."""

    def __init__(self, func):
        if not callable(func):
            raise TypeError(f"expected a callable of time, got {type(func).__name__}")
        self.func = func

    def __call__(self, t):
        value = self.func(t)
        try:
            number = float(value)
        except (TypeError, ValueError):
            raise TypeError(
                f"waveform {self.func!r} returned {type(value).__name__} at t={t}, not a number"
            ) from None
        if not math.isfinite(number):
            raise ValueError(f"waveform {self.func!r} returned {number} at t={t}")
        return number

    def __repr__(self):
        return f"Function({self.func!r})"


def as_waveform(value):
    """A :class:`Waveform` for ``value``: a waveform, a number or a callable of time."""
    if isinstance(value, Waveform):
        return value
    if isinstance(value, bool):
        raise TypeError("a source value must be a number, a waveform or a callable, not bool")
    if isinstance(value, (int, float)):
        return Constant(value)
    if callable(value):
        return Function(value)
    try:
        return Constant(float(value))
    except (TypeError, ValueError):
        raise TypeError(
            f"a source value must be a number, a waveform or a callable, got {type(value).__name__}"
        ) from None
