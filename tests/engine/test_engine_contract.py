"""Every engine of ENGINES keeps the rules loxant.simulation.engines states:
each rule once, run over every engine, against an analytic result where one
exists (the comparisons of one engine with the other are in
test_native_equivalence.py and test_adaptive.py)."""

import math
import re

import numpy as np
import pytest
from bounded import deadline

import loxant.simulation.options as run_options
from loxant import PWL, Circuit, ConvergenceError, Noise, RunLimitError
from loxant.simulation.engines import ENGINES

#: the counters every engine keeps
COMMON_STATS = {
    "steps",
    "rejected",
    "iterations",
    "max_iterations",
    "matrix_builds",
    "factorisations",
    "refactorisations",
}


@pytest.fixture(params=sorted(ENGINES))
def engine(request):
    return request.param


def rc(current=0.5, r=2.0, c=1.5):
    """A constant current into R || C: v(t) = I R (1 - exp(-t / RC)) from rest."""
    circuit = Circuit("RC", units="normalised")
    circuit.current_source("I1", "0", "a", current)
    circuit.resistor("R1", "a", "0", r)
    circuit.capacitor("C1", "a", "0", c)
    return circuit


def rc_voltage(t, current=0.5, r=2.0, c=1.5):
    return current * r * (1.0 - np.exp(-np.asarray(t) / (r * c)))


def overdriven_junction(bias=1.2):
    circuit = Circuit("overdriven junction", units="normalised")
    circuit.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.05)
    circuit.current_source("I1", "0", "a", bias)
    return circuit


def biased_junction(noise=False):
    """Biased above its critical current: it never stops switching."""
    circuit = Circuit("running junction", units="normalised")
    circuit.junction("J1", "a", "0", r=1.0, c=1.0)
    circuit.current_source("I1", "0", "a", PWL([(0, 0), (5, 1.5)]))
    circuit.temperature = 0.01 if noise else 0.0
    return circuit


def line(n=6, bias=0.8):
    """A phase step into a biased line of junctions: one pulse runs down it."""
    c = Circuit("line", units="normalised")
    c.phase_source("P", "in", "0", PWL([(0, 0), (10, 0), (12, 2 * np.pi)]))
    c.inductor("Lin", "in", "n1", 0.5)
    for k in range(1, n + 1):
        c.junction(f"J{k}", f"n{k}", "0", ic=1.0, r=1.0, c=1.0)
        c.current_source(f"I{k}", "0", f"n{k}", bias)
        if k < n:
            c.inductor(f"L{k}", f"n{k}", f"n{k + 1}", 0.5)
    return c


# (record_every, record_from, the times recorded) of a run of 9 in steps of 0.01
GRIDS = [
    (1, 0.0, np.arange(901) * 0.01),
    (3, 0.0, np.arange(301) * 0.03),
    (4, 2.0, np.arange(50, 226) * 0.04),
]


@pytest.mark.parametrize(("every", "start", "times"), GRIDS)
def test_a_fixed_step_run_starts_at_rest_and_records_its_grid(engine, every, start, times):
    res = rc().simulate(9.0, 0.01, record_every=every, record_from=start, engine=engine)
    np.testing.assert_allclose(res.time, times, rtol=0, atol=1e-12)
    # BDF2 at a step of RC / 300: within 1e-5 of the analytic charge
    np.testing.assert_allclose(res.node_voltage("a"), rc_voltage(res.time), rtol=0, atol=1e-5)
    if start == 0.0:
        assert res.node_voltage("a")[0] == res.current("C1")[0] == 0.0
    stats = res.stats
    assert COMMON_STATS <= set(stats)
    assert (stats["steps"], stats["rejected"]) == (900, 0)
    assert stats["steps"] <= stats["iterations"] <= stats["steps"] * stats["max_iterations"]
    assert "settle_steps" not in stats


def test_retried_steps_move_no_sample(engine):
    res = overdriven_junction().simulate(20.0, 0.5, max_iterations=3, engine=engine)
    assert res.stats["rejected"] > 0 and res.stats["max_iterations"] <= 3
    np.testing.assert_allclose(res.time, np.arange(41) * 0.5, rtol=0, atol=1e-12)


def test_probes_keep_only_what_was_asked_for(engine):
    full = line().simulate(60.0, 0.1, engine=engine)
    res = line().simulate(60.0, 0.1, engine=engine, record=["J2", "phase(n4)", "voltage(L1)"])
    assert res.recorded("phase") == ["J2"]
    assert res.recorded("node_phase") == ["n4"] and res.recorded("node_voltage") == []
    assert res.recorded("voltage") == ["L1", "J2"]
    for getter, name in [
        ("phase", "J2"),
        ("current", "J2"),
        ("turn_count", "J2"),
        ("node_phase", "n4"),
        ("voltage", "L1"),
    ]:
        np.testing.assert_array_equal(getattr(res, getter)(name), getattr(full, getter)(name))
    assert res.turn_count("J2")[-1] == 1  # the pulse went by
    # one table, so the series are columns of it and nothing was copied
    assert res.phase("J2").base is not None
    assert res.phase("J2").base is res.voltage("L1").base


def test_the_run_starts_where_the_start_up_period_leaves_it(engine):
    """150 steps of 0.01 before t = 0 charge the capacitor for 1.5 from rest."""
    res = rc().simulate(9.0, 0.01, settle_steps=150, engine=engine)
    assert res.time[0] == 0.0
    settled = rc_voltage(1.5)
    assert res.node_voltage("a")[0] == pytest.approx(settled, abs=1e-5)
    np.testing.assert_allclose(res.node_voltage("a"), rc_voltage(res.time + 1.5), atol=1e-5)
    stats = res.stats
    assert (stats["settle_steps"], stats["steps"]) == (150, 900)
    # another period at the rate it ended on: dv/dt = I / C exp(-1.5 / RC), times 1.5
    assert stats["settle_motion"] == pytest.approx(0.5 / 1.5 * math.exp(-0.5) * 1.5, rel=2e-2)


# (bias, max_iterations, the first time the step may fail); dt = dt_min = 0.5
FAILURES = [
    (1.2, 1, 0.0),
    (PWL([(0, 0), (4, 0), (5, 1.2)]), 2, 4.0),
]


@pytest.mark.parametrize(("bias", "iterations", "earliest"), FAILURES)
def test_a_step_that_fails_at_every_size_names_its_start(engine, bias, iterations, earliest):
    with pytest.raises(ConvergenceError) as info:
        overdriven_junction(bias).simulate(
            20.0, 0.5, dt_min=0.5, max_iterations=iterations, engine=engine
        )
    error = info.value
    assert earliest <= error.time < 20.0 and error.time / 0.5 == round(error.time / 0.5)
    assert (error.step, error.reason) == (0.5, f"no convergence in {iterations} Newton iterations")
    assert str(error) == (
        f"step from t = {error.time:.10g} failed at every step size down to 0.5: {error.reason}"
    )


def test_adaptive_steps_land_on_every_breakpoint(engine):
    corners = [7.3, 31.1, 64.9]
    c = Circuit("RC", units="normalised")
    c.current_source("I1", "0", "a", PWL([(0, 0)] + [(t, 0.1 * k) for k, t in enumerate(corners)]))
    c.resistor("R1", "a", "0", 1.0)
    c.capacitor("C1", "a", "0", 2.0)
    res = c.simulate(100.0, dt_max=10.0, engine=engine)
    for t in corners:
        assert np.min(np.abs(res.time - t)) < 1e-12


def test_adaptive_steps_land_on_every_noise_step(engine):
    noise = Noise(0.2, 0.5, 0.3, seed=4)
    c = rc()
    c.current_source("I2", "0", "a", noise)
    res = c.simulate(6.0, dt_max=1.0, engine=engine)
    edges = [0.5 + k * 0.3 for k in range(19)]
    assert set(edges) <= set(res.time)
    np.testing.assert_array_equal(res.current("I2")[1:-1], [noise(t) for t in res.time[1:-1]])
    # thermal noise of a bandwidth of 2 is held over 0.25: the steps land on its
    # multiples, a third of it each at most
    c = rc()
    c.temperature, c.noise_bandwidth = 0.01, 2.0
    res = c.simulate(6.0, rtol=1e-4, atol=1e-4, dt_max=1.0, seed=5, engine=engine)
    boundaries = np.arange(1, 24) * 0.25
    assert np.abs(res.time[:, None] - boundaries).min(axis=0).max() < 1e-9
    assert np.diff(res.time).max() <= 0.25 / 3 * (1 + 1e-9)


def test_an_adaptive_run_stops_at_its_step_limit_keeping_what_it_recorded(engine):
    with pytest.raises(RunLimitError) as info:
        biased_junction().simulate(
            1e6, rtol=0, atol=1e-4, max_steps=400, engine=engine, progress=deadline(30)
        )
    error = info.value
    assert error.limit == "steps" and error.reached.endswith("limit of 400 steps (max_steps)")
    assert str(error).startswith(error.reached + "; loosen")
    assert 0 < error.time < 1e6 and f"t = {error.time:.6g}" in str(error)
    partial = error.results
    assert 0 < len(partial) <= 400 and partial.time[-1] <= error.time
    assert partial.stats["steps"] + partial.stats["rejected"] == 400


@pytest.mark.parametrize("noise", [False, True])
def test_an_adaptive_run_stops_at_its_recording_limit(engine, noise, monkeypatch):
    """The runaway of simulate(1e9, rtol=0): the recording grows as the run goes
    and stops at the limit, not at the end of memory."""
    monkeypatch.setattr(run_options, "MAX_RECORDING_BYTES", 2**16)
    with pytest.raises(RunLimitError) as info:
        biased_junction(noise).simulate(1e9, rtol=0, engine=engine, seed=2, progress=deadline(60))
    error = info.value
    assert error.limit == "recording" and str(error).startswith(error.reached + "; choose")
    found = re.search(r"limit of 0.0625 MiB \((\d+) samples of (\d+) bytes", str(error))
    rows, per_sample = int(found[1]), int(found[2])
    assert rows == len(error.results) == 2**16 // per_sample
    assert error.results.time[-1] <= error.time < 1e9
    # keeping every 50th step, a run as long stays under the limit
    kept = biased_junction(noise).simulate(
        2 * error.time, rtol=0, engine=engine, seed=2, record_every=50, progress=deadline(60)
    )
    assert 1 < len(kept) < rows
