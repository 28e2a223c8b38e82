"""Steps that end after their first solve (``single_solve``) keep the second
order of either method on analytic cases, and take about one solve a step."""

import numpy as np
import pytest

pytest.importorskip(
    "loxant.NativeEngine", reason="the native module loxant.NativeEngine is not built"
)

from loxant import Circuit, CircuitError

STEPS = (0.2, 0.1, 0.05)
#: the steps each method is measured at: the trapezoidal rule's error is about
#: a quarter of BDF2's, and the Stewart-McCumber measure has a floor near 5e-5
METHOD_STEPS = {"bdf2": STEPS, "trapezoidal": (0.4, 0.2, 0.1)}


def lc_tank_beside_a_running_junction():
    """C phi'' + phi / L = I0, period 2 pi sqrt(L C) = 2 pi, in the same system
    as a junction biased to run (so every step iterates on a nonlinear element)."""
    c = Circuit(units="normalised")
    c.inductor("L1", "a", "0", 2.0)
    c.capacitor("C1", "a", "0", 0.5)
    c.current_source("I1", "0", "a", 0.3)
    c.junction("J1", "j", "0", ic=1.0, r=1.0, c=0.5)
    c.current_source("I2", "0", "j", 1.5)
    return c


def overdamped_junction():
    """Stewart-McCumber: mean voltage sqrt(I^2 - Ic^2) = sqrt(1.25) at Ic = R = 1."""
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.01)
    c.current_source("I1", "0", "a", 1.5)
    return c


def upward_crossings(time, values, level):
    s = values - level
    k = np.nonzero((s[:-1] < 0) & (s[1:] >= 0))[0]
    return time[k] - s[k] * (time[k + 1] - time[k]) / (s[k + 1] - s[k])


def lc_period_error(res):
    crossings = upward_crossings(res.time, res.node_phase("a"), 0.6)  # I0 L, the mean
    return abs((crossings[-1] - crossings[0]) / (len(crossings) - 1) - 2 * np.pi)


def stewart_mccumber_error(res):
    late = res.time >= 40.0
    crossings = upward_crossings(res.time[late], np.mod(res.phase("J1")[late], 2 * np.pi), np.pi)
    voltage = 2 * np.pi / np.mean(np.diff(crossings))
    return abs(voltage - np.sqrt(1.25))


CASES = {
    "LC period": (lc_tank_beside_a_running_junction, 80.0, lc_period_error),
    "Stewart-McCumber voltage": (overdamped_junction, 200.0, stewart_mccumber_error),
}


@pytest.mark.parametrize("method", list(METHOD_STEPS))
@pytest.mark.parametrize("single_solve", [0.0, 1.0], ids=["iterated", "single solve"])
@pytest.mark.parametrize("case", list(CASES))
def test_second_order_is_kept(case, single_solve, method):
    make, t_stop, error_of = CASES[case]
    errors, solves = [], []
    for dt in METHOD_STEPS[method]:
        res = make().simulate(
            t_stop=t_stop, dt=dt, single_solve=single_solve, method=method, profile=True
        )
        errors.append(error_of(res))
        solves.append(res.stats["solves"] / res.stats["steps"])
    orders = np.log2(np.array(errors[:-1]) / np.array(errors[1:]))
    assert np.all((orders > 1.7) & (orders < 2.3)), orders
    if single_solve:
        assert solves[-1] <= 1.05
    else:  # the junction's steps iterate to abstol
        assert solves[-1] > 1.5


@pytest.mark.parametrize(
    "options",
    [
        {"single_solve": -1.0},
        {"single_solve": 1.0, "abstol": 1e-12},
        {"single_solve": 1.0, "newton_fraction": 0.0},
    ],
)
def test_single_solve_is_refused_where_it_cannot_apply(options):
    with pytest.raises(CircuitError, match="single_solve"):
        overdamped_junction().simulate(t_stop=1.0, dt=0.1, **options)
