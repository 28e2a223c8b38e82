import math

import numpy as np
import pytest
from scipy import interpolate, stats

from loxant.waveforms import (
    MOST_BREAKPOINTS,
    MOST_SAMPLES,
    PWL,
    PWS,
    Constant,
    Custom,
    DampedSine,
    Function,
    Noise,
    Pulse,
    Sine,
    as_waveform,
)


@pytest.mark.parametrize(
    ("t", "expected"),
    [
        (-1.0, 0.0),
        (0.0, 0.0),
        (5.0, 0.6),
        (10.0, 1.2),
        (12.0, 1.2),
        (16.0, 0.6),
        (20.0, 0.0),
        (99.0, 0.0),
    ],
)
def test_pwl_interpolates_and_holds_the_end_values(t, expected):
    wave = PWL([(0, 0), (10, 1.2), (12, 1.2), (20, 0)])
    assert wave(t) == pytest.approx(expected)


def test_pwl_step_takes_the_later_value_at_the_step_time():
    wave = PWL([(0, 0), (5, 0), (5, 1), (9, 1)])
    assert wave(4.999) == 0
    assert wave(5.0) == 1


@pytest.mark.parametrize(
    ("t", "expected"),
    [
        (0.0, -1.0),
        (1.0, -1.0),
        (1.5, 0.0),
        (2.0, 1.0),
        (4.0, 1.0),
        (4.5, 0.5),
        (5.0, 0.0),
        (6.0, -1.0),
        (11.5, 0.0),
        (13.0, 1.0),
    ],
)
def test_periodic_pulse(t, expected):
    wave = Pulse(-1, 1, delay=1, rise=1, fall=2, width=2, period=10)
    assert wave(t) == pytest.approx(expected)


def test_pulse_without_rise_is_a_step():
    wave = Pulse(0, 3, delay=2, width=1)
    assert (wave(1.999), wave(2.0), wave(3.0), wave(3.001)) == (0, 3, 3, 0)


def test_sine_starts_at_its_delay():
    wave = Sine(0.5, 2.0, 0.25, delay=1.0)
    assert wave(0.0) == 0.5
    assert wave(2.0) == pytest.approx(0.5 + 2.0 * math.sin(math.pi / 2))


@pytest.mark.parametrize(
    ("value", "kind", "at_3"),
    [
        (2, Constant, 2.0),
        (1.5, Constant, 1.5),
        (lambda t: t * t, Function, 9.0),
        (PWL([(0, 0), (6, 6)]), PWL, 3.0),
    ],
)
def test_as_waveform(value, kind, at_3):
    wave = as_waveform(value)
    assert isinstance(wave, kind)
    assert wave(3.0) == at_3


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda: PWL([]), ValueError),
        (lambda: PWL([(0, 0), (2, 1), (1, 2)]), ValueError),
        (lambda: PWL([(0, 0), (1,)]), TypeError),
        (lambda: PWL([(0, float("nan"))]), ValueError),
        (lambda: Pulse(0, 1, width=-1), ValueError),
        (lambda: Pulse(0, 1, rise=1, width=1, fall=1, period=2), ValueError),
        (lambda: as_waveform("1 mA"), TypeError),
        (lambda: as_waveform(True), TypeError),
        (lambda: Function(lambda t: None)(0.0), TypeError),
        (lambda: Function(lambda t: math.inf)(0.0), ValueError),
    ],
)
def test_bad_waveforms_are_rejected(make, error):
    with pytest.raises(error):
        make()


def grid_and_edges(edges, span):
    """Many times in ``span``, every edge, and the doubles either side of each."""
    times = list(np.linspace(*span, 2001))
    for t in edges:
        times += [t, np.nextafter(t, -np.inf), np.nextafter(t, np.inf)]
    return np.array(sorted(times))


PWS_POINTS = ([0.0, 1.0, 2.5, 2.5, 4.0], [0.5, 2.0, -1.0, 3.0, 1.0])


def pws_oracle(times, values, t):
    """Half-cosine segments written as v0 + (v1 - v0) sin^2(pi u / 2)."""
    out = np.empty_like(t)
    for k, x in enumerate(t):
        if x < times[0]:
            out[k] = values[0]
        elif x >= times[-1]:
            out[k] = values[-1]
        else:
            i = max(j for j in range(len(times)) if times[j] <= x)
            u = (x - times[i]) / (times[i + 1] - times[i])
            out[k] = values[i] + (values[i + 1] - values[i]) * np.sin(np.pi * u / 2) ** 2
    return out


def test_pws_follows_half_cosines_through_its_points():
    wave = PWS(*PWS_POINTS)
    t = grid_and_edges(PWS_POINTS[0], (-1.0, 5.0))
    np.testing.assert_allclose([wave(x) for x in t], pws_oracle(*PWS_POINTS, t), atol=1e-14)
    # flat at every point: the slope vanishes on both sides
    for x in (1.0, 4.0):
        assert abs(wave(x + 1e-6) - wave(x - 1e-6)) < 1e-10
    assert (wave(np.nextafter(2.5, 0)), wave(2.5)) == pytest.approx((-1.0, 3.0))


SINES = [
    (dict(delay=0.5, phase=0.7, cycles=2.5), 0.0),
    (dict(delay=0.5, phase=-1.2, cycles=1, damping=0.4), 0.4),
    (dict(delay=1.25, phase=math.pi / 2), 0.0),
]


@pytest.mark.parametrize(("kwargs", "theta"), SINES)
def test_damped_sine_with_phase_and_cycles_follows_the_dialect(kwargs, theta):
    """vo before td; vo + va e^(-theta tau) sin(2 pi f tau + phi) for tau >= 0 up
    to nc cycles; vo afterwards."""
    vo, va, f = 0.25, 1.5, 0.8
    wave = DampedSine(vo, va, f, **kwargs)
    td, nc = kwargs["delay"], kwargs.get("cycles")
    end = td + nc / f if nc else math.inf
    t = grid_and_edges([td, end] if nc else [td], (-1.0, 8.0))
    tau = t - td
    running = (tau >= 0) & (t < end)
    expected = np.where(
        running, vo + va * np.exp(-theta * tau) * np.sin(2 * np.pi * f * tau + kwargs["phase"]), vo
    )
    np.testing.assert_allclose([wave(x) for x in t], expected, atol=1e-13)
    assert wave.breakpoints(8.0) == [x for x in (td, end) if x <= 8.0]


def test_sine_with_cycles_keeps_its_value_before_the_delay():
    wave = Sine(0.5, 2.0, 0.25, delay=1.0, phase=0.3, cycles=1)
    assert wave(0.0) == pytest.approx(0.5 + 2.0 * math.sin(0.3))
    assert wave(np.nextafter(5.0, 0)) == pytest.approx(0.5 + 2.0 * math.sin(0.3))
    assert wave(5.0) == wave(7.0) == 0.5


NOISE_CASES = [(2.0, 0.5, 0.01, 3), (1e-3, 0.0, 0.25, [9, 9]), (0.3, -1.0, 1.0, 2**70)]


@pytest.mark.parametrize(("amplitude", "delay", "step", "seed"), NOISE_CASES)
def test_noise_is_white_gaussian_with_the_dialect_variance(amplitude, delay, step, seed):
    wave = Noise(amplitude, delay, step, seed=seed)
    count = 20_000
    starts = np.maximum(delay, 0.0) + step * np.arange(count)
    values = np.array([wave(t + 0.5 * step) for t in starts]) / (amplitude / math.sqrt(2 * step))
    # standard normal: mean within 5 standard errors, variance within 5 of its errors
    assert abs(values.mean()) < 5 / math.sqrt(count)
    assert abs(values.var() - 1) < 5 * math.sqrt(2 / count)
    assert abs(np.corrcoef(values[1:], values[:-1])[0, 1]) < 5 / math.sqrt(count)
    assert stats.kstest(values, "norm").pvalue > 1e-4


def test_noise_holds_each_value_over_its_step_and_is_zero_before_the_delay():
    wave = Noise(1.0, 0.3, 0.2, seed=1)
    assert wave(0.0) == wave(np.nextafter(0.3, 0)) == 0.0
    for k in range(200):
        start, end = 0.3 + k * 0.2, 0.3 + (k + 1) * 0.2  # the breakpoints
        inside = [start, *np.linspace(start, end, 9)[1:-1], np.nextafter(end, 0)]
        assert len({wave(t) for t in inside}) == 1
        assert wave(end) != wave(start)
    assert wave.breakpoints(1.0) == [0.3, 0.3 + 0.2, 0.3 + 2 * 0.2, 0.3 + 3 * 0.2]


def test_noise_is_reproduced_by_its_seed():
    times = np.linspace(0, 10, 101)
    a, b, c = (Noise(1.0, 0.0, 0.1, seed=s) for s in (42, 42, 43))
    assert [a(t) for t in times] == [b(t) for t in times]
    assert [a(t) for t in times] != [c(t) for t in times]
    fresh = Noise(1.0, 0.0, 0.1)
    again = Noise(1.0, 0.0, 0.1, seed=fresh.seed)
    assert [fresh(t) for t in times] == [again(t) for t in times]


def test_noise_breakpoints_stop_at_a_bound():
    assert len(Noise(1.0, 0.5e-9, 1e-9).breakpoints(1.0)) == MOST_BREAKPOINTS


CUS_SAMPLES = [0.5, -1.0, 2.0, 0.25, 3.0, 1.0]


def cus_oracle(samples, step, scale, mode, delay, periodic, t):
    """The custom waveform from NumPy and SciPy interpolants over the sample times
    (the samples laid out over enough periods when periodic)."""
    y = np.asarray(samples) * scale
    if periodic:
        repeats = int(np.max(t) / (step * len(y))) + 3
        y = np.tile(y, repeats)
        slopes = (np.roll(y, -1) - np.roll(y, 1)) / 2
    else:
        slopes = np.gradient(y)  # central differences, one-sided at both ends
    x = delay + step * np.arange(len(y))
    inside = np.clip(t, x[0], x[-1])
    if mode == 0:
        value = y[np.searchsorted(x, inside, side="right") - 1]
    elif mode == 1:
        value = np.interp(inside, x, y)
    else:
        value = interpolate.CubicHermiteSpline(x, y, slopes / step)(inside)
    return np.where(t < delay, 0.0, value)


@pytest.mark.parametrize("mode", [0, 1, 2])
@pytest.mark.parametrize("periodic", [False, True])
def test_custom_waveform_interpolates_like_numpy_and_scipy(mode, periodic):
    step, scale, delay = 0.3, -1.5, 0.7
    wave = Custom(CUS_SAMPLES, step, scale, mode, delay=delay, periodic=periodic)
    edges = [delay + k * step for k in range(20)]
    t = grid_and_edges(edges, (-0.5, 6.0))
    expected = cus_oracle(CUS_SAMPLES, step, scale, mode, delay, periodic, t)
    np.testing.assert_allclose([wave(x) for x in t], expected, atol=1e-12)


@pytest.mark.parametrize(
    ("mode", "periodic", "expected"),
    [
        (0, False, [0.5, 1.5, 2.5, 3.5]),  # every sample, the last one held
        (1, True, [0.5, 1.5, 2.5, 3.5, 4.5, 5.5]),  # every sample, repeated
        (2, False, [0.5, 3.5]),  # smooth between the start and the end
        (2, True, [0.5]),
    ],
)
def test_custom_breakpoints_are_its_corners(mode, periodic, expected):
    wave = Custom([1, 2, 0, 3], 1.0, 1.0, mode, delay=0.5, periodic=periodic)
    assert wave.breakpoints(6.0) == expected


def test_custom_cubic_is_smooth_through_its_samples():
    wave = Custom(CUS_SAMPLES, 1.0, 1.0, 2)
    for k, y in enumerate(CUS_SAMPLES):
        assert wave(float(k)) == y
    for k in range(1, len(CUS_SAMPLES) - 1):
        left = (wave(k) - wave(k - 1e-6)) / 1e-6
        right = (wave(k + 1e-6) - wave(k)) / 1e-6
        assert left == pytest.approx(right, abs=1e-4)


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda: PWS([0, 1], [0]), ValueError),
        (lambda: PWS([1, 0], [0, 1]), ValueError),
        (lambda: PWS([0, math.nan], [0, 1]), ValueError),
        (lambda: PWS([], []), ValueError),
        (lambda: Sine(0, 1, 1, cycles=-1), ValueError),
        (lambda: DampedSine(0, 1, 0, cycles=2), ValueError),
        (lambda: DampedSine(0, 1, 1, phase=math.inf), ValueError),
        (lambda: Noise(1, 0, 0), ValueError),
        (lambda: Noise(1, 0, -1e-12), ValueError),
        (lambda: Noise(math.nan, 0, 1), ValueError),
        (lambda: Noise(1, 0, 1, seed=-1), ValueError),
        (lambda: Noise(1, 0, 1, seed=1.5), TypeError),
        (lambda: Custom([], 1, 1, 1), ValueError),
        (lambda: Custom([[1, 2]], 1, 1, 1), ValueError),
        (lambda: Custom([1, math.inf], 1, 1, 1), ValueError),
        (lambda: Custom([1e300, 1], 1, 1e10, 1), ValueError),
        (lambda: Custom(["a"], 1, 1, 1), TypeError),
        (lambda: Custom([1, 2], 0, 1, 1), ValueError),
        (lambda: Custom([1, 2], 1, 1, 3), ValueError),
        (lambda: Custom([1, 2], 1, 1, 1.0), TypeError),
        (lambda: Custom([1, 2], 1, 1, True), TypeError),
        (lambda: Custom([1, 2], 1, 1, 1, periodic=2), ValueError),
        (lambda: Custom(np.zeros(MOST_SAMPLES + 1), 1, 1, 1), ValueError),
    ],
)
def test_bad_new_waveforms_are_rejected(make, error):
    with pytest.raises(error):
        make()
