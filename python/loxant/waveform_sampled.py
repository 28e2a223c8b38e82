"""Waveforms sampled on a time grid: thermal noise drawn per step, and a custom
table of amplitudes (``cus()``), with the grid arithmetic they share."""

import math
import operator

import numpy as np

from .waveform_base import MOST_BREAKPOINTS, MOST_SAMPLES, Waveform
from .waveform_base import finite as _finite

__all__ = ["Custom", "Noise"]


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
