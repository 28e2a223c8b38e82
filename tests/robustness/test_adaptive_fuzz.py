"""Random noisy circuits and option sets through the adaptive step of both
engines: every run ends (at t_stop, or with an ordinary error naming its
cause) within a bounded time and a bounded number of steps, lands on every
noise step boundary, and both engines take the same steps."""

import math

import numpy as np
from bounded import deadline
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

from loxant import PWL, Circuit, CircuitError, SimulationError

FUZZ = settings(
    max_examples=30,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=list(HealthCheck),
    phases=[Phase.explicit, Phase.reuse, Phase.generate],  # a shrink reruns slow runs
)

positive = st.floats(0.2, 3.0)


@st.composite
def noisy_circuits(draw):
    """A chain of one to three stages, each a junction or an RC node beside a
    resistor to ground through a voltage source, a phase source or a resistor."""
    c = Circuit("fuzz", units="normalised")
    stages = draw(st.integers(1, 3))
    for k in range(stages):
        node = f"n{k}"
        if draw(st.booleans()):
            c.junction(f"J{k}", node, "0", r=draw(positive), c=draw(positive))
        else:
            c.resistor(f"RC{k}", node, "0", draw(positive))
            c.capacitor(f"C{k}", node, "0", draw(positive))
        ramp = draw(st.floats(0.5, 20.0))
        c.current_source(f"I{k}", "0", node, PWL([(0, 0), (ramp, draw(st.floats(0.0, 1.6)))]))
        c.resistor(f"R{k}", node, f"m{k}", draw(positive))
        path = draw(st.sampled_from(["voltage", "phase", "resistor"]))
        if path == "voltage":
            c.voltage_source(f"V{k}", f"m{k}", "0", 0.0)
        elif path == "phase":
            c.phase_source(f"P{k}", f"m{k}", "0", 0.0)
        else:
            c.resistor(f"RG{k}", f"m{k}", "0", draw(positive))
        if k:
            c.inductor(f"L{k}", f"n{k - 1}", node, draw(positive))
    c.temperature = draw(st.sampled_from([0.0, 1e-4, 0.003, 0.05]))
    c.noise_bandwidth = draw(st.sampled_from([0.0, 0.5, 5.0]))
    return c


options = st.fixed_dictionaries(
    {
        "rtol": st.sampled_from([0.0, 1e-5, 1e-4, 1e-2]),
        "atol": st.sampled_from([1e-6, 1e-4, 1e-2]),
        "dt_max": st.sampled_from([0.05, 0.5, 3.0]),
        "seed": st.integers(0, 2**32),
    }
)


@FUZZ
@given(circuit=noisy_circuits(), opts=options, t_stop=st.floats(5.0, 30.0))
def test_noisy_adaptive_runs_are_bounded_and_agree(circuit, opts, t_stop):
    runs = []
    for engine in ("native", "python"):
        try:
            runs.append(circuit.simulate(t_stop, engine=engine, progress=deadline(60), **opts))
        except (SimulationError, CircuitError) as exc:
            runs.append(type(exc))
    native, python = runs
    if isinstance(native, type) or isinstance(python, type):
        assert native == python  # the same failure in both
        return
    noisy = circuit.temperature > 0
    bandwidth = circuit.noise_bandwidth
    noise_step = (0.5 / bandwidth if bandwidth > 0 else opts["dt_max"]) if noisy else None
    # the step never collapses: at most a few times what the largest allowed
    # step needs (three steps per noise value), plus a start of small steps
    largest = min(opts["dt_max"], noise_step / 3) if noisy else opts["dt_max"]
    assert native.stats["steps"] <= 20 * math.ceil(t_stop / largest) + 400
    assert np.all(np.diff(native.time) > 0) and native.time[-1] == t_stop
    if noisy:
        boundaries = np.arange(1, math.floor(t_stop / noise_step)) * noise_step
        if len(boundaries):
            k = np.clip(np.searchsorted(native.time, boundaries), 1, len(native.time) - 1)
            nearest = np.minimum(
                np.abs(native.time[k] - boundaries), np.abs(native.time[k - 1] - boundaries)
            )
            assert nearest.max() < 1e-9 * t_stop
    # the same steps: the levels differ within the Newton tolerance (1e-9), the
    # error estimates by that against atol, and the steps chosen follow them
    if len(native) == len(python):
        agree = max(1e-6, 1e-2 * 1e-9 / opts["atol"])
        np.testing.assert_allclose(native.time, python.time, rtol=agree, atol=1e-9)
    else:
        assert abs(len(native) - len(python)) <= 0.02 * len(python)
