"""Native waveforms give exactly the values of the Python objects."""

import math

import numpy as np
import pytest

from loxant import PWL, Circuit, Constant, Pulse, SimulationError, Sine
from loxant.simulation.native import engine_module, waveform_description
from loxant.waveforms import PWS, Custom, DampedSine, Exp, Function, Noise
from loxant.waveforms import Rescaled as _Rescaled

WAVEFORMS = {
    "constant": Constant(0.75),
    "pwl": PWL([(0, 0), (1.5, 2.0), (1.5, -1.0), (3.0, 0.25), (7.0, 0.25), (8.0, 1e-3)]),
    "pwl one point": PWL([(2.0, 3.5)]),
    "pulse": Pulse(-0.5, 1.5, delay=1.0, rise=0.3, fall=0.7, width=1.1),
    "pulse periodic": Pulse(0.0, 1.0, delay=0.25, rise=0.1, fall=0.2, width=0.4, period=1.3),
    "pulse sharp": Pulse(0.0, 2.0, delay=0.5, rise=0.0, fall=0.0, width=1.0, period=2.0),
    "pws": PWS([0, 1.5, 1.5, 3.0, 7.0, 8.0], [0, 2.0, -1.0, 0.25, 0.25, 1e-3]),
    "pws one point": PWS([2.0], [3.5]),
    "sine": Sine(0.1, 0.9, 0.37, delay=1.2, phase=0.4),
    "sine cycles": Sine(0.1, 0.9, 0.37, delay=1.2, phase=0.4, cycles=2.5),
    "damped sine": DampedSine(0.1, 0.9, 0.37, delay=1.2, damping=0.3),
    "damped sine phase cycles": DampedSine(
        0.1, 0.9, 0.37, delay=1.2, damping=0.3, phase=-2.0, cycles=3
    ),
    "noise": Noise(0.8, 1.3, 0.37, seed=11),
    "noise early": Noise(1.5, -0.45, 0.0173, seed=[7, 1]),
    "custom none": Custom([0.5, -1, 2, 0.25], 0.7, 1.5, 0, delay=2.0),
    "custom linear": Custom([0.5, -1, 2, 0.25], 0.7, 1.5, 1, delay=2.0),
    "custom cubic": Custom([0.5, -1, 2, 0.25, 3], 0.7, 1.5, 2, delay=2.0),
    "custom none periodic": Custom([0.5, -1, 2], 0.7, -0.5, 0, delay=2.0, periodic=True),
    "custom linear periodic": Custom([0.5, -1, 2], 0.7, 1.0, 1, delay=-0.3, periodic=True),
    "custom cubic periodic": Custom([0.5, -1, 2, 1], 0.37, 2.0, 2, delay=0.5, periodic=True),
    "custom one sample": Custom([1.25], 0.5, 2.0, 2, delay=1.0),
    "exp": Exp(-0.2, 1.3, 1.0, 0.7, 4.0, 1.5),
    "exp steps": Exp(0.0, 1.0, 1.0, 0.0, 4.0, 0.0),
    "rescaled pwl": _Rescaled(PWL([(0, 0), (2e-11, 1.75e-4)]), 4.8e-13, 2.5e-4),
    "rescaled sine": _Rescaled(Sine(0.0, 1e-4, 2e10), 4.8e-13, 2.5e-4),
    "rescaled noise": _Rescaled(Noise(3e-11, 2e-12, 1e-12, seed=5), 4.8e-13, 2.5e-4),
    "callable": Function(lambda t: math.exp(-t) * math.cos(3 * t)),
    "rescaled callable": _Rescaled(lambda t: 1e-4 * math.tanh(t * 1e11), 4.8e-13, 2.5e-4),
}


def times_around(edges, span=(-1.0, 12.0)):
    """A grid, every edge, and the doubles next to each edge on both sides."""
    times = list(np.linspace(*span, 1001))
    for t in edges:
        times += [t, np.nextafter(t, -np.inf), np.nextafter(t, np.inf), t + 1e-9, t - 1e-9]
    return np.array(sorted(times))


def edges_of(w):
    if isinstance(w, (PWL, PWS)):
        return w.times
    if isinstance(w, (Noise, Custom)):
        return [w.delay + k * w.step for k in range(-2, 40)]
    if isinstance(w, Pulse):
        p = w.period or 0.0
        start = [w.delay + k * p for k in range(4)]
        return [
            s + d for s in start for d in (0, w.rise, w.rise + w.width, w.rise + w.width + w.fall)
        ]
    if isinstance(w, (Sine, DampedSine)):
        return [t for t in (w.delay, w.delay + w.duration) if math.isfinite(t)]
    if isinstance(w, Exp):
        return [w.delay_rise, w.delay_fall]
    if isinstance(w, _Rescaled):
        return [t / w.time_scale for t in edges_of(w.waveform)]
    return []


@pytest.mark.parametrize("name", sorted(WAVEFORMS))
def test_native_values_equal_the_python_objects(name):
    w = WAVEFORMS[name]
    times = times_around(edges_of(w), span=(-1.0, 60.0) if "rescaled" in name else (-1.0, 12.0))
    native = np.full_like(times, np.nan)
    engine_module().waveform_values(waveform_description(w), times, native)
    python = np.array([w(t) for t in times])
    np.testing.assert_array_equal(native, python)
    assert len(set(python)) > 1 or name in ("constant", "pwl one point", "pws one point")


def test_only_unknown_waveforms_are_called_in_python():
    kinds = {name: waveform_description(w)[0] for name, w in WAVEFORMS.items()}
    assert kinds["callable"] == "python"
    assert kinds["rescaled callable"] == "scaled"
    assert waveform_description(WAVEFORMS["rescaled callable"])[1][0] == "python"

    class Shifted(PWL):
        def __call__(self, t):
            return super().__call__(t - 1.0)

    assert waveform_description(Shifted([(0, 0), (1, 1)]))[0] == "python"
    assert {kinds[n] for n in kinds if "callable" not in n} == {
        "constant",
        "pwl",
        "pws",
        "pulse",
        "sine",
        "damped_sine",
        "exp",
        "noise",
        "custom",
        "scaled",
    }


def test_sources_in_a_run_follow_their_waveforms_exactly():
    """The value every source gets in the loop is the Python object's at the
    step's end time (the last, shortened step aside)."""
    names = ["pwl", "pulse periodic", "sine", "callable", "pws", "noise", "custom cubic periodic"]
    c = Circuit(units="normalised")
    for k, name in enumerate(names):
        c.current_source(f"I{k}", "0", "a", WAVEFORMS[name])
    c.resistor("R1", "a", "0", 1.0)
    for engine in ("native", "python"):
        res = c.simulate(10.0, 0.05, engine=engine)
        for k, name in enumerate(names):
            expected = [WAVEFORMS[name](t) for t in res.time[1:-1]]
            np.testing.assert_array_equal(res.current(f"I{k}")[1:-1], expected, err_msg=name)


# Neighbouring sources that share one evaluation only when their waveforms are equal.
NEIGHBOURS = [
    [PWL([(0, 0), (2, 1)]), PWL([(0, 0), (2, 1)]), PWL([(0, 0), (2, 1.5)]), PWL([(0, 0), (3, 1)])],
    [Sine(0.1, 0.9, 0.37), Sine(0.1, 0.9, 0.37), Sine(0.1, 0.9, 0.38), Sine(0.1, 0.9, 0.38)],
    [
        Pulse(0, 1, delay=1, rise=1, fall=1, width=1, period=5),
        Pulse(0, 1, delay=1, rise=1, fall=1, width=1),
        Constant(1),
    ],
    [_Rescaled(Sine(0, 1, 2e10), 4.8e-13, 2.5e-4), _Rescaled(Sine(0, 1, 2e10), 4.8e-13, 2e-4)],
    [_Rescaled(PWL([(0, 0), (1, 1)]), 0.5, 1.0), _Rescaled(PWL([(0, 0), (1, 1)]), 0.25, 1.0)],
    [Noise(1, 0, 0.3, seed=1), Noise(1, 0, 0.3, seed=1), Noise(1, 0, 0.3, seed=2)],
    [Sine(0, 1, 0.4, cycles=1), Sine(0, 1, 0.4, cycles=1.5), DampedSine(0, 1, 0.4, phase=0.1)],
    [
        Custom([0, 1, 3], 0.5, 1.0, 1),
        Custom([0, 1, 3], 0.5, 1.0, 2),
        Custom([0, 1, 3], 0.5, 1.0, 0),
    ],
]


@pytest.mark.parametrize(
    "waveforms", NEIGHBOURS, ids=["pwl", "sine", "pulse", "scale", "time", "noise", "cycles", "cus"]
)
def test_neighbouring_sources_keep_their_own_waveforms(waveforms):
    c = Circuit(units="normalised")
    for k, w in enumerate(waveforms):
        c.current_source(f"I{k}", "0", "a", w)
    c.resistor("R1", "a", "0", 1.0)
    res = c.simulate(6.0, 0.05)
    for k, w in enumerate(waveforms):
        expected = [w(t) for t in res.time[1:-1]]
        np.testing.assert_array_equal(res.current(f"I{k}")[1:-1], expected, err_msg=f"I{k}")


def test_physical_sources_agree_between_engines():
    pc = Circuit(ic0="250uA", r0="2ohm")
    pc.junction("J1", "a", "0", ic="250uA", beta_c=1.0, c="0.35pF")
    pc.current_source("I1", "0", "a", [("0ps", 0), ("20ps", "300uA")])
    pc.current_source("I2", "0", "a", Sine(0.0, 5e-5, 2e10))
    a = pc.simulate("60ps", "0.05ps", engine="python")
    b = pc.simulate("60ps", "0.05ps")
    np.testing.assert_array_equal(a.current("I1"), b.current("I1"))
    np.testing.assert_array_equal(a.current("I2"), b.current("I2"))


def test_a_failing_callable_stops_the_run_with_its_error():
    def broken(t):
        if t > 1.0:
            raise ZeroDivisionError("waveform gave up")
        return 0.5

    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.5)
    c.current_source("I1", "0", "a", broken)
    with pytest.raises(
        SimulationError, match="current source I1 failed at t = 1.1.*gave up"
    ) as info:
        c.simulate(5.0, 0.1)
    assert isinstance(info.value.__cause__, ZeroDivisionError)
    assert len(c.simulate(0.5, 0.1)) == 6  # nothing is left half-done
