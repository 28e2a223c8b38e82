import math

import pytest

from loxant.waveforms import PWL, Constant, Function, Pulse, Sine, as_waveform


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
