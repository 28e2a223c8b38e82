"""A single current-biased Josephson junction (RCSJ model, Ic = R = 1) against
analytic results and an independent ODE integration."""

import numpy as np
import pytest

pytest.importorskip(
    "loxant.CircuitKernel", reason="the native module loxant.CircuitKernel is not built"
)
pytest.importorskip(
    "loxant.SparseDirect", reason="the native module loxant.SparseDirect is not built"
)
solve_ivp = pytest.importorskip("scipy.integrate").solve_ivp

from loxant.circuit import Circuit
from loxant.waveforms import PWL


def biased_junction(bias, c):
    circuit = Circuit(units="normalised")
    circuit.junction("J1", "a", "0", ic=1.0, r=1.0, c=c)
    circuit.current_source("I1", "0", "a", bias)
    return circuit


def mean_voltage(time, phase, t_from):
    """Average of d(phase)/dt over whole periods: 2 pi per crossing of a multiple
    of 2 pi, between the first and the last crossing after ``t_from``."""
    keep = time >= t_from
    time, phase = time[keep], phase[keep]
    level = np.floor(phase / (2 * np.pi))
    k = np.nonzero(np.diff(level))[0]
    if len(k) < 2:
        return (phase[-1] - phase[0]) / (time[-1] - time[0])
    target = 2 * np.pi * np.maximum(level[k], level[k + 1])
    crossing = time[k] + (target - phase[k]) * (time[k + 1] - time[k]) / (phase[k + 1] - phase[k])
    return (target[-1] - target[0]) / (crossing[-1] - crossing[0])


def rcsj_reference(bias, c, times):
    """C phi'' + phi' + sin(phi) = bias from rest, by SciPy."""

    def rhs(t, y):
        return [y[1], (bias - np.sin(y[0]) - y[1]) / c]

    solution = solve_ivp(
        rhs, (0.0, times[-1]), [0.0, 0.0], t_eval=times, method="DOP853", rtol=1e-12, atol=1e-12
    )
    return solution.y[0]


@pytest.mark.parametrize("bias", [1.1, 1.5, 2.0, 3.0])
def test_overdamped_junction_follows_stewart_mccumber(bias):
    res = biased_junction(bias, c=0.01).simulate(t_stop=150.0, dt=0.02)
    voltage = mean_voltage(res.time, res.phase("J1"), t_from=40.0)
    assert voltage == pytest.approx(np.sqrt(bias**2 - 1), rel=0.01)


@pytest.mark.parametrize("bias", [0.5, 0.95])
def test_junction_below_its_critical_current_has_no_voltage(bias):
    res = biased_junction(bias, c=0.01).simulate(t_stop=60.0, dt=0.02)
    late = res.time > 45.0
    assert np.abs(res.voltage("J1")[late]).max() < 1e-5
    assert res.phase("J1")[-1] == pytest.approx(np.arcsin(bias), abs=1e-6)
    assert res.current("J1")[-1] == pytest.approx(bias, abs=1e-9)


def test_underdamped_junction_is_hysteretic_and_retraps_near_the_predicted_current():
    beta_c = 100.0
    predicted = 4 / (np.pi * np.sqrt(beta_c))
    hold = 300.0
    levels = np.arange(0.1525, 0.1174, -0.0025)
    # up past Ic, back down through 0.5 slowly, then a staircase across retrapping
    points = [(0, 0), (200, 0.5), (260, 1.2), (300, 1.2), (500, 0.5), (700, levels[0])]
    t = 700.0
    for level in levels:
        points += [(t, level), (t + hold, level)]
        t += hold
    circuit = biased_junction(PWL(points), c=beta_c)
    res = circuit.simulate(t_stop=t, dt=0.2, record_every=5)

    def average(t0, t1):
        return res.average_voltage("J1", t0, t1)

    # at bias 0.5 on the way up the phase only follows arcsin(bias): no running state
    assert abs(average(150, 200)) < 0.01
    # at 0.5 on the way down it still runs (its voltage lags the bias by R C = 100)
    assert average(495, 505) > 0.3
    # running states near retrapping carry V ~ 0.08..0.16; a trapped phase rings about 0
    running = [
        average(700 + k * hold + hold - 100, 700 + (k + 1) * hold) > 0.05
        for k in range(len(levels))
    ]
    assert running[0] and not running[-1]
    first_trapped = running.index(False)
    assert all(running[:first_trapped]) and not any(running[first_trapped:])
    measured = 0.5 * (levels[first_trapped - 1] + levels[first_trapped])
    assert measured == pytest.approx(predicted, rel=0.03)


def test_trajectory_matches_an_independent_integration():
    bias, c = 1.3, 0.5
    res = biased_junction(bias, c).simulate(t_stop=30.0, dt=0.005, record_every=20)
    reference = rcsj_reference(bias, c, res.time)
    assert np.abs(res.phase("J1") - reference).max() < 2e-3


def test_error_falls_with_the_square_of_the_step():
    bias, c, t_stop = 0.8, 1.0, 10.0
    reference = rcsj_reference(bias, c, np.array([0.0, t_stop]))[-1]
    errors = []
    for dt in (0.04, 0.02):
        res = biased_junction(bias, c).simulate(t_stop=t_stop, dt=dt)
        errors.append(abs(res.phase("J1")[-1] - reference))
    assert 3.3 < errors[0] / errors[1] < 4.7
