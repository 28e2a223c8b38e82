"""NoiseCurrentSourceModel driven the way a time loop drives it: RHSCurrent for
the step being solved, UpdateValues once per accepted step.  Statistics are
checked against the stated law with tolerances of several standard errors."""

import math

import numpy as np
import pytest

from harness import Harness
from loxant import CircuitKernel as ck
from loxant import SimulationParameters as SP


def install(params, i=1, j=0):
    h = Harness(1)
    model = ck.NoiseCurrentSourceModel(i, j, 0)
    model.SetParameters(params)
    model.InitModel(0, 0, 0, 0)
    h.add(model)
    return h, model


def currents(h, steps, dt):
    """Noise current of each accepted step, read from the right-hand side."""
    SP.TimeSteps = [dt]
    out = np.empty(steps)
    for k in range(steps):
        out[k] = -h.rhs()[0]
        reported = h.values()[0]
        assert reported == out[k]
    return out


@pytest.mark.parametrize("density, dt", [(0.1, 0.05), (2.0, 0.01)])
def test_fresh_white_value_of_variance_density_over_step_each_step(density, dt):
    h, _ = install([density, 11.0, 0.0])
    x = currents(h, 20000, dt)
    sigma = math.sqrt(density / dt)
    assert abs(x.mean()) < 4 * sigma / math.sqrt(x.size)
    assert x.var() / sigma**2 == pytest.approx(1.0, abs=4 * math.sqrt(2 / x.size))
    lag1 = np.corrcoef(x[:-1], x[1:])[0, 1]
    assert abs(lag1) < 4 / math.sqrt(x.size)
    kurtosis = np.mean((x - x.mean()) ** 4) / x.var() ** 2
    assert kurtosis == pytest.approx(3.0, abs=0.15)  # Gaussian


def test_bandwidth_holds_each_value_for_half_its_inverse():
    density, bandwidth, dt = 0.3, 1.0, 0.05  # held for 0.5 = 10 steps
    h, _ = install([density, 5.0, bandwidth])
    x = currents(h, 20000, dt)
    held = x.reshape(-1, 10)
    assert np.all(held == held[:, :1])
    assert held[:, 0].var() / (2 * density * bandwidth) == pytest.approx(1.0, abs=0.1)


def test_a_retried_step_keeps_its_value_at_the_new_size():
    h, _ = install([1.0, 3.0, 0.0])
    SP.TimeSteps = [0.04]
    first = -h.rhs()[0]
    SP.TimeSteps = [0.01]  # the step retried at a quarter of its size
    assert -h.rhs()[0] == pytest.approx(2 * first, rel=1e-12)


def test_seeded_streams_are_reproducible_and_distinct():
    runs = []
    for seed in (7.0, 7.0, 8.0):
        h, model = install([1.0, seed, 0.0])
        runs.append(currents(h, 50, 0.1))
    assert np.array_equal(runs[0], runs[1]) and not np.allclose(runs[0], runs[2])
    # the same seed again (as every parameter refresh hands it) does not restart it
    h, model = install([1.0, 7.0, 0.0])
    head = currents(h, 25, 0.1)
    model.SetParameters([1.0, 7.0, 0.0])
    tail = currents(h, 25, 0.1)
    assert np.array_equal(np.concatenate([head, tail]), runs[0])


@pytest.mark.parametrize(
    "params",
    [
        [-1.0, 1.0, 0.0],
        [math.inf, 1.0, 0.0],
        [1.0, -1.0, 0.0],
        [1.0, 0.5, 0.0],
        [1.0, 2.0**53, 0.0],
        [1.0, 1.0, -0.1],
        [1.0, 1.0, math.nan],
    ],
)
def test_set_parameters_refuses_what_has_no_noise_meaning(params):
    model = ck.NoiseCurrentSourceModel(1, 0, 0)
    with pytest.raises(ValueError):
        model.SetParameters(params)
