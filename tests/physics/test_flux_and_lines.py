"""Relaxation times, flux quantisation and a transmission line of junctions."""

import math

import numpy as np
import pytest

from loxant import PWL, Circuit

pytest.importorskip("loxant.CircuitKernel")


def crossing_time(t, y, level):
    """First time y rises through `level`, interpolated linearly."""
    k = int(np.argmax(y >= level))
    return t[k - 1] + (level - y[k - 1]) * (t[k] - t[k - 1]) / (y[k] - y[k - 1])


@pytest.mark.parametrize("kind", ["rc", "rl"])
def test_relaxation_time_constants(kind):
    c = Circuit(kind, units="normalised")
    c.current_source("I", "0", "n", value=2.0)
    c.resistor("R", "n", "0", r=0.5)
    if kind == "rc":
        c.capacitor("C", "n", "0", c=4.0)
        tau, probe = 0.5 * 4.0, ("voltage", "R", 1.0)
    else:
        c.inductor("L", "n", "0", l=3.0)
        tau, probe = 3.0 / 0.5, ("current", "L", 2.0)
    res = c.simulate(t_stop=3 * tau, dt=tau / 400)
    accessor, name, final = probe
    y = getattr(res, accessor)(name)
    assert crossing_time(res.time, y, final * (1 - math.exp(-1))) == pytest.approx(tau, rel=5e-3)
    assert y[-1] == pytest.approx(final * (1 - math.exp(-3)), rel=5e-3)


def test_phase_source_across_an_inductor_drives_phase_over_l_and_counts_turns():
    c = Circuit("phase source", units="normalised")
    c.phase_source("P", "n", "0", value=PWL([(0, 0), (10, 4.2 * math.pi)]))
    c.inductor("L", "n", "0", l=2.0)
    res = c.simulate(t_stop=12.0, dt=0.01)
    np.testing.assert_allclose(res.phase("P"), res.phase("L"), atol=1e-9)
    np.testing.assert_allclose(res.current("L"), res.phase("L") / 2.0, atol=1e-9)
    assert res.turn_count("P")[-1] == 2
    assert res.phase("P")[-1] == pytest.approx(4.2 * math.pi)


def test_rf_squid_admits_flux_one_quantum_at_a_time():
    """A junction closed by an inductor (beta_L = 3) under slowly ramped flux."""
    loop_l, flux_end = 3.0, 5 * 2 * math.pi
    c = Circuit("rf SQUID", units="normalised")
    c.junction("J", "n", "0", ic=1.0, r=1.0, c=0.5)
    c.inductor("L", "n", "m", l=loop_l)
    c.phase_source("Flux", "m", "0", value=PWL([(0, 0), (400, flux_end)]))
    res = c.simulate(t_stop=450.0, dt=0.05)
    turns = res.turn_count("J")
    steps = np.diff(turns)
    assert set(np.unique(steps)) <= {0, 1}  # one quantum at a time, never back
    phase = res.phase("J")[-1]
    assert phase + loop_l * math.sin(phase) == pytest.approx(flux_end, abs=1e-6)
    assert turns[-1] == round(phase / (2 * math.pi)) and turns[-1] >= 3
    # The switching thresholds repeat with the flux quantum.
    switching_flux = flux_end * res.time[np.flatnonzero(steps) + 1] / 400
    np.testing.assert_allclose(np.diff(switching_flux), 2 * math.pi, rtol=1e-2)


def jtl(stages, bias=0.7, inductance=2.0):
    c = Circuit("JTL", units="normalised")
    c.phase_source("In", "in", "0", value=PWL([(0, 0), (30, 0), (32, 2 * math.pi)]))
    previous = "in"
    for k in range(1, stages + 1):
        node = f"n{k}"
        c.inductor(f"L{k}", previous, node, l=inductance)
        c.junction(f"J{k}", node, "0", ic=1.0, r=1.0, c=1.0)
        c.current_source(f"B{k}", "0", node, value=bias)
        previous = node
    return c


def test_transmission_line_carries_one_flux_quantum_end_to_end():
    stages = 24
    res = jtl(stages).simulate(t_stop=30 + 12 * stages, dt=0.05, initial_ramp=20.0)
    t = res.time
    settled = int(np.searchsorted(t, 29.0))  # bias on, pulse not yet injected
    arrivals = []
    for k in range(1, stages + 1):
        turns = res.turn_count(f"J{k}")
        assert turns[settled] == 0 and turns[-1] == 1 and set(np.diff(turns)) <= {0, 1}
        phase = res.phase(f"J{k}")
        arrivals.append(crossing_time(t, phase, phase[settled] + math.pi))
        v = res.voltage(f"J{k}")[settled:]
        area = np.sum((v[1:] + v[:-1]) * np.diff(t[settled:])) / 2
        assert area == pytest.approx(2 * math.pi, rel=1e-2)
        assert phase[-1] - phase[settled] == pytest.approx(2 * math.pi, abs=1e-3)
    delays = np.diff(arrivals)[3:-3]
    assert np.all(delays > 0)
    assert np.ptp(delays) < 0.05 * np.mean(delays)
