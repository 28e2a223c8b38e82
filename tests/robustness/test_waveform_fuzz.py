"""Waveform constructors and the engine's waveform descriptions take anything
without crashing: a waveform or a TypeError / ValueError, and every waveform
built gives the same values in both engines."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from loxant.simulation.native import engine_module, waveform_description
from loxant.waveforms import MOST_BREAKPOINTS, PWS, Custom, DampedSine, Noise, Sine

FUZZ = settings(
    max_examples=150,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)

junk = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**70), 2**70),
    st.booleans(),
    st.none(),
    st.text(max_size=3),
    st.lists(st.floats(-10, 10), max_size=3),
)
small = st.one_of(st.floats(-1e3, 1e3), st.integers(-5, 5))


def mostly(valid):
    """Valid values about seven times in eight, junk otherwise."""
    return st.integers(0, 7).flatmap(lambda k: junk if k == 0 else valid)


arg = mostly(small)
positive = mostly(st.one_of(st.floats(1e-3, 10), st.floats(1e-320, 1e300)))
times = st.lists(small, min_size=1, max_size=6).map(sorted)
arrays = st.one_of(mostly(times), st.lists(arg, max_size=6), st.lists(st.lists(small)))
seeds = mostly(st.one_of(st.integers(0, 2**70), st.lists(st.integers(0, 2**65), max_size=3)))
sine_options = st.dictionaries(st.sampled_from(["delay", "phase", "cycles"]), arg)
damped_options = st.dictionaries(st.sampled_from(["delay", "damping", "phase", "cycles"]), arg)
custom_options = st.fixed_dictionaries(
    {}, optional={"delay": arg, "periodic": mostly(st.booleans())}
)


def calls(make, *args):
    """Draws arguments for ``make``; the test makes the call."""
    return st.tuples(st.just(make), *args)


CONSTRUCTORS = {
    "pws": st.one_of(
        calls(lambda t, v: PWS(t, v), times, arrays),
        calls(lambda t, v: PWS(t, v), arrays, arrays),
        calls(lambda t: PWS(t, [1.0] * len(t)), times),
    ),
    "sine": calls(lambda a, b, c, kw: Sine(a, b, c, **kw), arg, arg, arg, sine_options),
    "damped sine": calls(
        lambda a, b, c, kw: DampedSine(a, b, c, **kw), arg, arg, arg, damped_options
    ),
    "noise": calls(lambda a, b, c, s: Noise(a, b, c, seed=s), arg, arg, positive, seeds),
    "custom": calls(
        lambda a, b, c, d, kw: Custom(a, b, c, d, **kw),
        st.one_of(times, arrays),
        positive,
        arg,
        mostly(st.sampled_from([0, 1, 2])),
        custom_options,
    ),
}


def built(make):
    try:
        return make()
    except (TypeError, ValueError):
        return None


@pytest.mark.parametrize("kind", sorted(CONSTRUCTORS))
@FUZZ
@given(data=st.data())
def test_constructors_refuse_or_build_waveforms_both_engines_agree_on(kind, data):
    make, *args = data.draw(CONSTRUCTORS[kind])
    wave = built(lambda: make(*args))
    if wave is None:
        return
    times = np.array(data.draw(st.lists(st.floats(-1e3, 1e3), min_size=1, max_size=8)))
    native = np.empty_like(times)
    engine_module().waveform_values(waveform_description(wave), times, native)
    python = np.array([wave(float(t)) for t in times])
    np.testing.assert_array_equal(native, python)  # NaN where both give NaN
    t_stop = data.draw(st.floats(1e-300, 1e300))
    assert len(wave.breakpoints(t_stop)) <= MOST_BREAKPOINTS


numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**65), 2**65),
    st.just("x"),
    st.none(),
    st.booleans(),
)
descriptions = st.one_of(
    st.tuples(st.sampled_from(["pws", "noise", "custom", "sine", "damped_sine"])),
    st.tuples(st.just("pws"), st.lists(numbers, max_size=4), st.lists(numbers, max_size=4)),
    st.tuples(st.just("sine"), *[numbers] * 6),
    st.tuples(st.just("damped_sine"), *[numbers] * 7),
    st.tuples(st.just("noise"), *[numbers] * 5),
    st.tuples(
        st.just("custom"),
        st.one_of(st.lists(numbers, max_size=4), st.builds(np.array, st.lists(small, max_size=4))),
        *[numbers] * 4,
    ),
)


@FUZZ
@given(descriptions, st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=5))
def test_engine_refuses_bad_descriptions_of_the_new_kinds(desc, times):
    out = np.zeros(len(times))
    try:
        engine_module().waveform_values(desc, np.array(times, dtype=float), out)
    except (TypeError, ValueError, OverflowError):
        pass
