"""JunctionRSJNModel and JunctionRSJPHModel against independently derived values.

Every operation is read through the kernels on a small dense layout.  Where the
law is simple (branch currents at the knee, the shifted sine) the expected
numbers are written out; the RSJN phase derivative is checked against a finite
difference of the current that the same model stamps into the right-hand side.
"""

import math
import pickle

import numpy as np
import pytest

from harness import Harness
from loxant import CircuitKernel as ck
from loxant import SimulationParameters as SP

# (i, j) of a junction on two nodes: both live, node to ground, ground to node.
TERMINALS = [(1, 2), (2, 0), (0, 2)]

JUNCTION_PICKLE_MESSAGE = (
    "self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,"
    "self.node_dvoltages,self.node_phases,self.node_voltages "
    "cannot be converted to a Python object for pickling"
)


def install(cls, i, j, params, unknowns=2, coeff_dt=1.0, coeff_ddt=1.0):
    """A fresh harness with one model of `cls` from i to j; returns (harness, model)."""
    h = Harness(unknowns)
    SP.InterpCoeffDt = [coeff_dt]
    SP.InterpCoeffDDt = [coeff_ddt]
    model = cls(i, j, 0)
    model.SetParameters(params)
    model.InitModel(*h.positions((i, i), (i, j), (j, i), (j, j)))
    h.add(model)
    return h, model


def outputs(h, phases, voltages, dvoltages):
    """Everything the model produces for one state, iterate and node arrays alike."""
    h.set_state(phases, voltages, dvoltages)
    h.set_nodes(phases, voltages, dvoltages)
    a1, a2, b = h.build()
    a2_update, b_update = h.update()
    return {
        "a1": a1,
        "a2": a2,
        "b": b,
        "a2_update": a2_update,
        "b_update": b_update,
        "b_rhs": h.rhs(),
        "values": np.array(h.values()),
    }


def assert_same_outputs(got, expected):
    for key in expected:
        np.testing.assert_allclose(got[key], expected[key], rtol=1e-14, atol=1e-14, err_msg=key)


def random_state(rng, n=2):
    return rng.uniform(-4, 4, n), rng.uniform(-2, 2, n), rng.uniform(-2, 2, n)


# ---- RSJPH -------------------------------------------------------------------


@pytest.mark.parametrize("i, j", TERMINALS)
@pytest.mark.parametrize("seed", range(4))
def test_rsjph_without_shift_is_junction(i, j, seed):
    rng = np.random.default_rng(seed)
    ic, r, c = rng.uniform(0.5, 2.0, 3)
    coeffs = {"coeff_dt": rng.uniform(1, 20), "coeff_ddt": rng.uniform(1, 400)}
    state = random_state(rng)
    h, _ = install(ck.JunctionModel, i, j, [ic, r, c], **coeffs)
    expected = outputs(h, *state)
    h, _ = install(ck.JunctionRSJPHModel, i, j, [ic, r, c, 0.0], **coeffs)
    assert_same_outputs(outputs(h, *state), expected)


@pytest.mark.parametrize("i, j", TERMINALS)
@pytest.mark.parametrize("theta", [0.5, -1.2, math.pi])
def test_rsjph_is_junction_with_live_phase_advanced(i, j, theta):
    # Seen from its live terminal the shift is a phase added to that node.
    rng = np.random.default_rng(7)
    ic, r, c = 1.3, 0.7, 0.4
    phases, voltages, dvoltages = random_state(rng)
    live = i if i != 0 else j
    shifted = phases.copy()
    shifted[live - 1] += theta
    h, _ = install(ck.JunctionModel, i, j, [ic, r, c], coeff_dt=5.0, coeff_ddt=30.0)
    expected = outputs(h, shifted, voltages, dvoltages)
    h, _ = install(ck.JunctionRSJPHModel, i, j, [ic, r, c, theta], coeff_dt=5.0, coeff_ddt=30.0)
    got = outputs(h, phases, voltages, dvoltages)
    assert_same_outputs(got, expected)


@pytest.mark.parametrize(
    "i, j, phase, theta, current, reported",
    [
        (1, 0, 0.3, 0.5, math.sin(0.8), 0.8),
        (0, 1, 0.3, 0.5, -math.sin(0.8), -0.8),
        (1, 0, 0.0, math.pi, 0.0, math.pi),
        (0, 1, 0.0, math.pi, 0.0, -math.pi),
    ],
)
def test_rsjph_reports_shifted_phase(i, j, phase, theta, current, reported):
    h, _ = install(ck.JunctionRSJPHModel, i, j, [1.0, 1.0, 1.0, theta], unknowns=1)
    h.set_nodes([phase], [0.0], [0.0])
    got_current, got_phase, voltage = h.values()[:3]
    assert got_current == pytest.approx(current, abs=1e-15)
    assert got_phase == pytest.approx(reported, abs=1e-15)
    assert voltage == 0.0


@pytest.mark.parametrize("i, j, turns, inc, dec", [(1, 0, 1, 1, 0), (0, 1, -1, 0, 1)])
def test_rsjph_counts_turns_of_shifted_phase(i, j, turns, inc, dec):
    # 2.9 alone stays below pi; shifted by 0.5 it is past the half turn.
    h, _ = install(ck.JunctionRSJPHModel, i, j, [1.0, 1.0, 1.0, 0.5], unknowns=1)
    h.set_nodes([2.9], [0.0], [0.0])
    assert h.values()[3:] == (turns, inc, dec)


# ---- RSJN branch current -------------------------------------------------------


def rsjn_params(ic=0.0, r=1.0, v0=4.3, p=10.0, c=0.0):
    return [ic, r, v0, p, c]


# Voltage across the junction and its branch current for defaults V0 = 4.3, p = 10.
KNEE_POINTS = [
    (4.3, 1.0, 4.3 / 2),
    (4.3, 2.0, 4.3 / 4),
    (0.0, 1.0, 0.0),
    (43.0, 1.0, 43.0 * 1e10 / (1e10 + 1)),
    (-4.3, 1.0, -4.3 / 2),
]


def two_nodes_across(i, j, across, common=1.5):
    """Node values on two nodes whose difference from terminal i to j is `across`."""
    values = np.zeros(2)
    if i == 0:
        values[j - 1] = -across
    elif j == 0:
        values[i - 1] = across
    else:
        values[j - 1] = common
        values[i - 1] = common + across
    return values


@pytest.mark.parametrize("i, j", TERMINALS)
@pytest.mark.parametrize("v, r, branch", KNEE_POINTS)
def test_rsjn_branch_current_at_knee_points(i, j, v, r, branch):
    h, _ = install(ck.JunctionRSJNModel, i, j, rsjn_params(r=r))
    h.set_nodes(np.zeros(2), two_nodes_across(i, j, v), np.zeros(2))
    current, _, voltage = h.values()[:3]
    assert voltage == pytest.approx(v, rel=1e-15)
    assert current == pytest.approx(branch, rel=1e-14)


@pytest.mark.parametrize("i, j", [(1, 0), (0, 1)])
def test_rsjn_grounded_i_uses_live_node_voltage(i, j):
    # A fractional exponent is undefined for a negative ratio: a junction from
    # ground must still see the live node's own (positive) voltage.
    ic, r, v0, p, c = 0.8, 2.0, 1.5, 2.5, 0.3
    phase, v, dv = 0.4, 2.0, 0.7
    x = (v / v0) ** p
    law = ic * math.sin(phase) + x * v / ((x + 1) * r) + c * dv
    h, _ = install(ck.JunctionRSJNModel, i, j, [ic, r, v0, p, c], unknowns=1)
    h.set_state([phase], [v], [dv])
    h.set_nodes([phase], [v], [dv])
    assert h.rhs()[0] == pytest.approx(-law, rel=1e-14)
    sign = 1 if i == 1 else -1
    assert h.values()[:3] == pytest.approx((sign * law, sign * phase, sign * v), rel=1e-14)


# ---- RSJN matrix terms --------------------------------------------------------


@pytest.mark.parametrize(
    "cls, params, a1",
    [
        (ck.JunctionModel, [2.0, 4.0, 0.5], 10 / 4 + 0.5 * 100),
        (ck.JunctionRSJPHModel, [2.0, 4.0, 0.5, 0.3], 10 / 4 + 0.5 * 100),
        (ck.JunctionRSJNModel, [2.0, 4.0, 4.3, 10.0, 0.5], 0.5 * 100),
    ],
)
def test_step_admitance(cls, params, a1):
    # RSJN's resistive branch is nonlinear, so only the capacitance stays in A1.
    h, _ = install(cls, 1, 0, params, unknowns=1, coeff_dt=10.0, coeff_ddt=100.0)
    assert h.build()[0][0, 0] == pytest.approx(a1, rel=1e-15)


@pytest.mark.parametrize(
    "v, r, p, a2",
    [(0.0, 1.0, 10.0, 0.0), (4.3, 1.0, 10.0, 7.0 * 12 / 4), (4.3, 2.0, 6.0, 7.0 * 8 / 8)],
)
def test_rsjn_phase_slope_at_knee(v, r, p, a2):
    h, _ = install(ck.JunctionRSJNModel, 1, 0, rsjn_params(r=r, p=p), unknowns=1, coeff_dt=7.0)
    h.set_state([0.0], [v], [0.0])
    assert h.update()[0][0, 0] == pytest.approx(a2, rel=1e-14, abs=1e-300)


def jacobian_by_difference(h, phases, voltages, dvoltages, coeff_dt, coeff_ddt, step=1e-6):
    """d(-B)/d(phase_k) with voltage and its derivative following the phase as
    the integration coefficients say; column k per unknown k."""
    n = len(phases)
    jac = np.zeros((n, n))
    for k in range(n):
        e = np.zeros(n)
        e[k] = step
        h.set_state(phases + e, voltages + coeff_dt * e, dvoltages + coeff_ddt * e)
        up = h.rhs()
        h.set_state(phases - e, voltages - coeff_dt * e, dvoltages - coeff_ddt * e)
        down = h.rhs()
        jac[:, k] = -(up - down) / (2 * step)
    return jac


@pytest.mark.parametrize("i, j", TERMINALS)
@pytest.mark.parametrize(
    "p, v",
    [(10.0, 0.9), (10.0, 1.0), (10.0, 1.3), (10.0, -1.1), (4.0, 2.5), (2.5, 0.8), (2.5, 1.7)],
)
def test_rsjn_matrix_is_derivative_of_current(i, j, p, v):
    coeff_dt, coeff_ddt = 3.0, 20.0
    params = [1.4, 0.6, 1.0, p, 0.25]
    h, _ = install(ck.JunctionRSJNModel, i, j, params, coeff_dt=coeff_dt, coeff_ddt=coeff_ddt)
    phases, dvoltages = np.array([0.7, -0.5]), np.array([0.3, -0.2])
    # v is the live terminal's voltage over the other, as the law sees it.
    voltages = two_nodes_across(i, j, v if i != 0 else -v, common=0.4)
    h.set_state(phases, voltages, dvoltages)
    a1, a2, _ = h.build()
    expected = jacobian_by_difference(h, phases, voltages, dvoltages, coeff_dt, coeff_ddt)
    np.testing.assert_allclose(a1 + a2, expected, rtol=1e-7, atol=1e-7)


# ---- orientation --------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, params",
    [
        (ck.JunctionRSJNModel, [0.9, 1.5, 1.2, 10.0, 0.4]),
        (ck.JunctionRSJNModel, [0.9, 1.5, 1.2, 2.5, 0.4]),
        (ck.JunctionRSJPHModel, [0.9, 1.5, 0.4, 0.8]),
    ],
)
def test_grounded_terminal_order(cls, params):
    k = 2
    state = (np.array([0.1, 1.1]), np.array([0.5, 1.6]), np.array([-0.3, 0.7]))
    h, _ = install(cls, k, 0, params, coeff_dt=4.0, coeff_ddt=9.0)
    forward = outputs(h, *state)
    h, _ = install(cls, 0, k, params, coeff_dt=4.0, coeff_ddt=9.0)
    backward = outputs(h, *state)
    for key in ("a1", "a2", "b", "a2_update", "b_update", "b_rhs"):
        np.testing.assert_array_equal(backward[key], forward[key], err_msg=key)
    assert forward["a2"][k - 1, k - 1] != 0.0
    # current, phase, voltage change sign; the turn count of a phase below pi is 0
    np.testing.assert_array_equal(backward["values"][:3], -forward["values"][:3])


# ---- Python-facing -----------------------------------------------------------


RSJN_FIELDS = ("critical_current", "resistance", "knee_voltage", "knee_exponent", "capacitance")
RSJPH_FIELDS = ("critical_current", "resistance", "capacitance", "phase_shift")

# class, fields in SetParameters order, their values after construction
FIELD_TABLE = [
    (ck.JunctionRSJNModel, RSJN_FIELDS, (0.0, 1.0, 4.3, 10.0, 1.0)),
    (ck.JunctionRSJPHModel, RSJPH_FIELDS, (0.0, 1.0, 1.0, 0.0)),
]


@pytest.mark.parametrize("cls, fields, defaults", FIELD_TABLE)
def test_defaults_parameter_order_and_read_only(cls, fields, defaults):
    model = cls(0, 3, 1)
    assert (model.i, model.j, model.eindex) == (0, 3, 1)
    assert tuple(getattr(model, name) for name in fields) == defaults
    params = [1, 2, 3, 4, 5][: len(fields) - 1] + [0.25]
    model.SetParameters(params)
    assert tuple(getattr(model, name) for name in fields) == tuple(params)
    for name in fields:
        with pytest.raises(AttributeError):
            setattr(model, name, 2.0)


@pytest.mark.parametrize("params", [(1.0, 2.0, None), [1.0, 2.0]])
def test_rsjn_failed_item_keeps_later_fields(params):
    model = ck.JunctionRSJNModel(1, 0, 0)
    error = TypeError if len(params) == 3 else IndexError
    with pytest.raises(error):
        model.SetParameters(params)
    assert (model.critical_current, model.resistance) == (1.0, 2.0)
    assert (model.knee_voltage, model.knee_exponent, model.capacitance) == (4.3, 10.0, 1.0)


@pytest.mark.parametrize("cls", [ck.JunctionRSJNModel, ck.JunctionRSJPHModel])
@pytest.mark.parametrize("attempt", [pickle.dumps, lambda m: m.__setstate__(())])
def test_pickling_refused(cls, attempt):
    with pytest.raises(TypeError) as info:
        attempt(cls(1, 0, 0))
    assert str(info.value) == JUNCTION_PICKLE_MESSAGE
