"""Source waveforms: values of a source as a function of time.

A waveform is any object called with the time (a float, in normalised time
units) that returns the source value at that time.  The driver evaluates the
waveform of every source once per time step, at the end of the step.
Plain numbers and Python callables are accepted wherever a waveform is; use
:func:`as_waveform` to turn them into :class:`Waveform` objects.
"""

import math
import operator
from bisect import bisect_right

import numpy as np

__all__ = [
    "PWL",
    "PWS",
    "Constant",
    "Custom",
    "DampedSine",
    "Exp",
    "Function",
    "Noise",
    "Pulse",
    "Rescaled",
    "Sine",
    "Waveform",
    "as_waveform",
]

# Most corner times one waveform reports to the adaptive step (a long periodic
# pulse or a fine noise source would otherwise force millions of them).
MOST_BREAKPOINTS = 100_000
# Most samples of a custom waveform (8 bytes each, held twice: here and natively).
MOST_SAMPLES = 10_000_000


def _finite(value, what):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be a number, got {type(value).__name__}") from None
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, got {number}")
    return number


class Waveform:
    """Base class: ``waveform(t)`` returns the value at time ``t``."""

    def __call__(self, t):
        raise NotImplementedError

    def breakpoints(self, t_stop):
        """Times in (0, t_stop] where the waveform has a corner: an adaptive step
        lands on each of them.  None by default."""
        return []


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


_MASK64 = (1 << 64) - 1
_GOLDEN64 = 0x9E3779B97F4A7C15
_TWO_PI = 2.0 * math.pi
_LAST_INDEX = 2**53  # beyond it the step index no longer follows the time


def _grid_times(origin, step, t_stop, last, most):
    """The times ``origin + k*step`` in (0, t_stop] for k = 0 ... last, at most ``most``."""
    if not t_stop >= origin:
        return []
    # as floats first: with a tiny step these quotients overflow
    first = math.ceil(min(max(-origin / step, 0.0), _LAST_INDEX))
    end = min(last, math.floor(min((t_stop - origin) / step, _LAST_INDEX))) + 1
    times = (origin + k * step for k in range(first, min(end, first + most)))
    return [t for t in times if 0 < t <= t_stop]


def _step_index(x, t, origin, step):
    """``floor(x)`` for ``x = (t - origin) / step`` in [0, 2**53), corrected by one
    where rounding put it across a step edge: step k then starts exactly at its
    breakpoint ``origin + k*step``."""
    k = math.floor(x)
    if origin + k * step > t:
        k -= 1
    elif origin + (k + 1) * step <= t:
        k += 1
    return max(k, 0)


def _mix64(z):
    """SplitMix64's finaliser: a bijection of 64-bit integers that scatters bits."""
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
    return z ^ (z >> 31)


def _random_bits(key, counter):
    return _mix64(_mix64((key[0] + counter * _GOLDEN64) & _MASK64) ^ key[1])


def _gaussian(key, index):
    """The standard normal number ``index`` of the stream ``key`` (Box-Muller of
    two uniforms from a counter-based generator): any index is reached at once,
    with nothing stored, and the engine computes the same double."""
    u1 = ((_random_bits(key, 2 * index + 1) >> 12) + 0.5) * 2.0**-52  # in (0, 1)
    u2 = (_random_bits(key, 2 * index + 2) >> 11) * 2.0**-53  # in [0, 1)
    return math.sqrt(-2.0 * math.log(u1)) * math.cos(_TWO_PI * u2)


def _seed_key(seed):
    """Two 64-bit keys from ``seed`` (an integer >= 0, a sequence of them, or None
    for fresh entropy), and the entropy that reproduces them."""
    try:
        sequence = np.random.SeedSequence(seed)
    except (TypeError, ValueError) as exc:
        raise type(exc)(
            f"noise seed must be a non-negative integer or a sequence of them ({exc})"
        ) from None
    key = tuple(int(k) for k in sequence.generate_state(2, np.uint64))
    return key, sequence.entropy


class Noise(Waveform):
    """White noise held over steps: 0 before ``delay``, then from ``delay + k*step``
    on the value ``amplitude * g_k / sqrt(2 * step)`` with independent standard
    normal ``g_k``; ``step`` is the inverse of the noise bandwidth.

    The values depend only on ``seed`` (an integer >= 0 or a sequence of them;
    None draws one, kept in ``self.seed``): two sources with the same seed carry
    the same noise, so give each source its own (``seed=(run_seed, k)``).  Each
    value is computed from its step index, so nothing grows with the run.

    In other units of time and value the amplitude scales as
    ``value * sqrt(time)``; or wrap an SI noise in :class:`Rescaled`.
    """

    def __init__(self, amplitude, delay, step, *, seed=None):
        self.amplitude = _finite(amplitude, "noise amplitude")
        self.delay = _finite(delay, "noise delay")
        self.step = _finite(step, "noise time step")
        if self.step <= 0:
            raise ValueError(f"noise time step must be positive, got {self.step}")
        self.key, self.seed = _seed_key(seed)

    def __call__(self, t):
        if not t >= self.delay:  # before the delay, and NaN
            return 0.0
        x = (t - self.delay) / self.step
        k = _LAST_INDEX if x >= _LAST_INDEX else _step_index(x, t, self.delay, self.step)
        g = _gaussian(self.key, k)
        return self.amplitude * g / math.sqrt(2.0 * self.step)

    def breakpoints(self, t_stop, most=MOST_BREAKPOINTS):
        return _grid_times(self.delay, self.step, t_stop, _LAST_INDEX, most)

    def __repr__(self):
        return f"Noise({self.amplitude!r}, {self.delay!r}, {self.step!r}, seed={self.seed!r})"


_INTERPOLATIONS = (0, 1, 2)  # none, linear, cubic


class Custom(Waveform):
    """A waveform sampled every ``step``: the sample ``k`` (``samples[k] =
    amplitudes[k] * scale``) belongs to the time ``delay + k*step``.  0 before ``delay``; after
    the last sample its value holds, or with ``periodic`` the samples repeat
    (the first follows the last one step later).

    ``interpolation`` between samples: 0 holds each sample for a step, 1 is
    linear, 2 is the Catmull-Rom cubic (a cubic Hermite segment whose slope at
    each sample is the central difference of its neighbours, one-sided at the
    ends of a non-periodic waveform): it goes through every sample with a
    continuous slope and depends only on the four nearest samples.
    """

    def __init__(self, amplitudes, step, scale=1.0, interpolation=1, *, delay=0.0, periodic=False):
        self.samples = self._samples(amplitudes, scale)
        self.step = _finite(step, "custom waveform time step")
        if self.step <= 0:
            raise ValueError(f"custom waveform time step must be positive, got {self.step}")
        self.interpolation = self._interpolation(interpolation)
        self.delay = _finite(delay, "custom waveform delay")
        if not isinstance(periodic, (bool, np.bool_)) and periodic not in (0, 1):
            raise ValueError(f"custom waveform 'periodic' must be true or false, got {periodic!r}")
        self.periodic = bool(periodic)

    @staticmethod
    def _samples(amplitudes, scale):
        scale = _finite(scale, "custom waveform scale factor")
        try:
            values = np.array(amplitudes, dtype=np.float64, ndmin=1)
        except (TypeError, ValueError):
            raise TypeError("custom waveform amplitudes must be a sequence of numbers") from None
        if values.ndim != 1 or not 1 <= values.size <= MOST_SAMPLES:
            raise ValueError(
                f"custom waveform needs 1 to {MOST_SAMPLES} amplitudes in one row, "
                f"got shape {values.shape}"
            )
        if not np.all(np.isfinite(values)):
            raise ValueError(
                f"custom waveform amplitude {np.argmin(np.isfinite(values))} is not finite"
            )
        with np.errstate(over="ignore"):
            values *= scale
        if not np.all(np.isfinite(values)):
            raise ValueError("custom waveform amplitudes times the scale factor overflow")
        values.flags.writeable = False
        return values

    @staticmethod
    def _interpolation(mode):
        try:
            if isinstance(mode, bool):
                raise TypeError
            mode = operator.index(mode)
        except TypeError:
            raise TypeError(
                f"custom waveform interpolation must be 0, 1 or 2, got {mode!r}"
            ) from None
        if mode not in _INTERPOLATIONS:
            raise ValueError(f"custom waveform interpolation must be 0, 1 or 2, got {mode!r}")
        return mode

    def _slope(self, k):
        y, last = self.samples, len(self.samples) - 1
        if self.periodic:
            return (y[(k + 1) % (last + 1)] - y[k - 1]) * 0.5
        if k == 0:
            return y[1] - y[0]
        if k == last:
            return y[last] - y[last - 1]
        return (y[k + 1] - y[k - 1]) * 0.5

    def __call__(self, t):
        x = (t - self.delay) / self.step
        if not x >= 0:  # before the delay, and NaN
            return 0.0
        y, count = self.samples, len(self.samples)
        if count == 1 or (not self.periodic and x >= count - 1):
            return float(y[-1])
        if x == math.inf:
            return math.nan
        k = _step_index(x, t, self.delay, self.step) if x < _LAST_INDEX else math.floor(x)
        if not self.periodic and k >= count - 1:
            return float(y[-1])
        u = x - k  # in [0, 1] but for a rounding error at the edges
        k %= count
        return float(self._segment(k, (k + 1) % count, u))

    def _segment(self, k, k1, u):
        y0, y1 = self.samples[k], self.samples[k1]
        if self.interpolation == 0:
            return y0
        if self.interpolation == 1:
            return y0 + (y1 - y0) * u
        m0, m1 = self._slope(k), self._slope(k1)
        d = y1 - y0
        return y0 + u * (m0 + u * ((3.0 * d - 2.0 * m0 - m1) + u * (m0 + m1 - 2.0 * d)))

    def breakpoints(self, t_stop, most=MOST_BREAKPOINTS):
        """The delay, the sample times where the waveform has corners (none and
        linear), and the end of a non-periodic waveform."""
        last = _LAST_INDEX if self.periodic else len(self.samples) - 1
        if self.interpolation != 2:
            return _grid_times(self.delay, self.step, t_stop, last, most)
        ends = (self.delay, self.delay + last * self.step) if last < _LAST_INDEX else (self.delay,)
        return [t for t in ends if 0 < t <= t_stop]

    def __repr__(self):
        return (
            f"Custom({self.samples.tolist()!r}, {self.step!r}, 1.0, {self.interpolation!r}, "
            f"delay={self.delay!r}, periodic={self.periodic!r})"
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
