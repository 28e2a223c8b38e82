import numpy as np
import pytest

from loxant.simulation.integrator import bdf_coefficients, smooth_factor


@pytest.mark.parametrize(("h_prev", "degree"), [(None, 1), (0.1, 2), (0.05, 2), (0.23, 2)])
def test_derivative_formula_is_exact_for_polynomials_of_its_order(h_prev, degree):
    h, t_new = 0.1, 3.0
    a0, a1, a2 = bdf_coefficients(h, h_prev)
    times = np.array([t_new, t_new - h, t_new - h - (h_prev or 0.0)])
    for power in range(degree + 1):
        estimate = a0 * times[0] ** power + a1 * times[1] ** power + a2 * times[2] ** power
        assert estimate == pytest.approx(power * t_new ** max(power - 1, 0), rel=1e-9, abs=1e-9)


def test_constant_step_gives_the_classic_formula():
    assert bdf_coefficients(0.5, 0.5) == pytest.approx((3.0, -4.0, 1.0))


@pytest.mark.parametrize(
    ("t", "ramp", "expected"),
    [(0.0, 10.0, 0.0), (5.0, 10.0, 0.5), (10.0, 10.0, 1.0), (50.0, 10.0, 1.0), (0.0, 0.0, 1.0)],
)
def test_smooth_factor(t, ramp, expected):
    assert smooth_factor(t, ramp) == pytest.approx(expected)
