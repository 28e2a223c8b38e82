"""Linear elements: ResistorModel, InductorModel, CapacitorModel (two terminals)
and PhaseSourceModel, VoltageSourceModel (two terminals and a branch current).

Stamps are checked against conductance and incidence matrices built here, and
against the Jacobian obtained by differencing the right-hand side; small
circuits are solved and compared with their textbook answers.
"""

import copy
import math
import pickle
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import loxant.CircuitKernel as ck
from harness import Harness
from loxant import SimulationParameters as SP
from loxant import lxglobals

EINDEX = 2
COEFF_DT, COEFF_DDT = 4.0, 16.0
PASSIVES = (ck.ResistorModel, ck.InductorModel, ck.CapacitorModel)
SOURCES = (ck.PhaseSourceModel, ck.VoltageSourceModel)


def bench(unknowns, coeff_dt=COEFF_DT, coeff_ddt=COEFF_DDT, smooth=1.0):
    h = Harness(unknowns)
    SP.InterpCoeffDt = [coeff_dt]
    SP.InterpCoeffDDt = [coeff_ddt]
    SP.InitialSmoothFactor = smooth
    return h


def place(h, cls, i, j, params=None, q=None, eindex=EINDEX):
    """Constructs, positions, binds and registers one model on the bench."""
    if q is None:
        model = cls(i, j, eindex)
        model.InitModel(*h.positions((i, i), (i, j), (j, i), (j, j)))
    else:
        model = cls(i, j, q, eindex)
        model.InitModel(*h.positions((i, q), (j, q), (q, i), (q, j)))
    if params is not None:
        model.SetParameters(params)
    h.add(model, source=q is not None)
    return model


def unit(n, k):
    """Unit vector of unknown k (1-based); zero for ground."""
    e = np.zeros(n)
    if k:
        e[k - 1] = 1.0
    return e


def matrices(h):
    """(A0, A1, A2) as dense matrices."""
    a1, a2, _ = h.build()
    return h.static_matrix(), a1, a2


def rhs_jacobian(h, x, v, dv):
    """-dB/dx about (x, v, dv), moving the derivative estimates with x as the
    integration formula does."""
    h.set_state(x, v, dv)
    b0 = h.rhs()
    jacobian = np.zeros((h.n, h.n))
    for k in range(1, h.n + 1):
        e = unit(h.n, k)
        h.set_state(x + e, v + COEFF_DT * e, dv + COEFF_DDT * e)
        jacobian[:, k - 1] = -(h.rhs() - b0)
    h.set_state(x, v, dv)
    return jacobian


# ---- passives ---------------------------------------------------------------

# class -> (stamped matrix, g for a parameter p)
PASSIVE_LAW = {
    ck.ResistorModel: (1, lambda p: COEFF_DT / p),
    ck.InductorModel: (0, lambda p: 1.0 / p),
    ck.CapacitorModel: (1, lambda p: p * COEFF_DDT),
}
TERMINALS = [(2, 3), (3, 2), (0, 3), (2, 0)]


@pytest.mark.parametrize("cls", PASSIVES)
@pytest.mark.parametrize("i, j", TERMINALS)
def test_passive_stamps_conductance_matrix(cls, i, j):
    h = bench(4)
    place(h, cls, i, j, [0.5])
    which, g = PASSIVE_LAW[cls]
    a = unit(4, i) - unit(4, j)
    expected = [np.zeros((4, 4))] * 3
    expected[which] = g(0.5) * np.outer(a, a)
    for got, want in zip(matrices(h), expected):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("cls", PASSIVES + SOURCES)
@pytest.mark.parametrize("i, j", TERMINALS)
def test_matrix_is_jacobian_of_rhs(cls, i, j):
    h = bench(5)
    q = 5 if cls in SOURCES else None
    place(h, cls, i, j, [0.75], q=q)
    rng = np.random.default_rng(7)
    x, v, dv = rng.normal(size=(3, 5))
    expected = rhs_jacobian(h, x, v, dv)
    np.testing.assert_allclose(sum(matrices(h)), expected, rtol=1e-12, atol=1e-12)


# The present iterate: phases X, voltages DX, derivatives DDX, all different,
# so each law shows which one it reads.
X, DX, DDX = [0.5, 1.5, -2.0], [3.0, -1.0, 2.0], [-4.0, 6.0, 10.0]


@pytest.mark.parametrize(
    "cls, i, j, param, expected",
    [
        (ck.ResistorModel, 0, 3, 4.0, [0, 0, -0.5]),  # -DX3 / R
        (ck.ResistorModel, 1, 2, 2.0, [-2.0, 2.0, 0]),  # (DX1 - DX2) / R
        (ck.InductorModel, 2, 0, 0.5, [0, -3.0, 0]),  # -X2 / L
        (ck.InductorModel, 1, 3, 2.0, [-1.25, 0, 1.25]),
        (ck.CapacitorModel, 2, 0, 0.25, [0, -1.5, 0]),  # -DDX2 C
        (ck.CapacitorModel, 0, 1, 0.5, [2.0, 0, 0]),
    ],
)
def test_passive_rhs_is_minus_present_current(cls, i, j, param, expected):
    h = bench(3)
    place(h, cls, i, j, [param])
    h.set_state(X, DX, DDX)
    np.testing.assert_array_equal(h.rhs(), expected)
    np.testing.assert_array_equal(h.build()[2], expected)


# Converged node arrays, again all different and unlike the iterate above.
NODE_PHASE, NODE_VOLTAGE, NODE_DVOLTAGE = [0.25, -1.0, 2.0], [8.0, 1.0, -3.0], [5.0, 0.5, 7.0]


@pytest.mark.parametrize(
    "cls, i, j, param, current, phase, voltage",
    [
        (ck.ResistorModel, 0, 3, 2.0, 1.5, -2.0, 3.0),  # -V3 / R
        (ck.ResistorModel, 1, 2, 4.0, 1.75, 1.25, 7.0),
        (ck.InductorModel, 3, 0, 0.5, 4.0, 2.0, -3.0),  # phi3 / L
        (ck.InductorModel, 0, 2, 2.0, 0.5, 1.0, -1.0),
        (ck.CapacitorModel, 2, 0, 4.0, 2.0, -1.0, 1.0),  # C dV2
        (ck.CapacitorModel, 1, 3, 0.5, -1.0, -1.75, 11.0),
    ],
)
def test_passive_values(cls, i, j, param, current, phase, voltage):
    h = bench(3)
    place(h, cls, i, j, [param])
    h.set_state(X, DX, DDX)
    h.set_nodes(NODE_PHASE, NODE_VOLTAGE, NODE_DVOLTAGE)
    assert h.values(EINDEX)[:3] == (current, phase, voltage)


@pytest.mark.parametrize(
    "cls, attribute, g",
    [
        (ck.ResistorModel, "resistance", COEFF_DT),
        (ck.InductorModel, "inv_inductance", 1.0),
        (ck.CapacitorModel, "capacitance", COEFF_DDT),
    ],
)
def test_fresh_passive_stamps_unit_parameter(cls, attribute, g):
    h = bench(1)
    model = place(h, cls, 1, 0)
    assert getattr(model, attribute) == 1.0
    assert sum(matrices(h))[0, 0] == g
    with pytest.raises(AttributeError):
        setattr(model, attribute, 2.0)


@pytest.mark.parametrize("cls", PASSIVES + SOURCES)
def test_set_parameters_keeps_value_on_failure(cls):
    model = cls(1, 0, 2, 0) if cls in SOURCES else cls(1, 0, 0)
    attribute = {
        ck.ResistorModel: "resistance",
        ck.InductorModel: "inv_inductance",
        ck.CapacitorModel: "capacitance",
        ck.PhaseSourceModel: "source_phase",
        ck.VoltageSourceModel: "source_voltage",
    }[cls]
    model.SetParameters((4, "ignored"))
    stored = getattr(model, attribute)
    assert stored == (0.25 if cls is ck.InductorModel else 4.0)
    for bad, error in (([], IndexError), ((), IndexError), (["x"], TypeError), (7, TypeError)):
        with pytest.raises(error):
            model.SetParameters(bad)
        assert getattr(model, attribute) == stored


class Henry:
    def __rtruediv__(self, other):
        return other / 8


@pytest.mark.parametrize(
    "item, inverse",
    [(2.0, 0.5), (4, 0.25), (Fraction(1, 3), 3.0), (Henry(), 0.125), (-0.5, -2.0)],
)
def test_inductor_takes_python_reciprocal(item, inverse):
    model = ck.InductorModel(1, 0, 0)
    model.SetParameters([item])
    assert model.inv_inductance == inverse


@pytest.mark.parametrize(
    "item, error, message",
    [
        (0.0, ZeroDivisionError, "^float division by zero$"),
        (0, ZeroDivisionError, "^float division by zero$"),
        (Decimal(2), TypeError, "unsupported operand"),
    ],
)
def test_inductor_rejects_what_python_cannot_divide(item, error, message):
    model = ck.InductorModel(1, 0, 0)
    model.SetParameters([0.5])
    with pytest.raises(error, match=message):
        model.SetParameters([item])
    assert model.inv_inductance == 2.0


def test_zero_resistance_and_capacitance_are_accepted():
    h = bench(2)
    place(h, ck.ResistorModel, 1, 0, [0.0], eindex=0)
    place(h, ck.CapacitorModel, 2, 0, [0.0], eindex=1)
    h.set_state([0, 0], [1.0, 0.0], [0.0, 3.0])
    h.set_nodes(voltages=[0.0, 1.0], dvoltages=[0.0, 3.0])
    a1 = h.build()[0]
    assert a1[0, 0] == math.inf and a1[1, 1] == 0.0
    b = h.rhs()
    assert b[0] == -math.inf and b[1] == 0.0
    ck.UpdateValues()
    assert math.isnan(lxglobals.ElementCurrent[0]) and lxglobals.ElementCurrent[1] == 0.0


def test_parameter_change_reaches_next_kernel_call():
    h = bench(1)
    model = place(h, ck.ResistorModel, 1, 0, eindex=0)
    h.set_state(voltages=[2.0])
    assert h.rhs()[0] == -2.0
    model.SetParameters([4.0])
    assert h.rhs()[0] == -0.5 and h.build()[0][0, 0] == COEFF_DT / 4.0


@pytest.mark.parametrize(
    "cls, broken, error",
    [
        (ck.CapacitorModel, ("NodeDVoltage", np.zeros(3, dtype=np.float32)), ValueError),
        (ck.CapacitorModel, ("NodeDVoltage", [0.0] * 3), TypeError),
        (ck.PhaseSourceModel, ("ElementN", np.zeros(4)), ValueError),
        (ck.VoltageSourceModel, ("ElementInc", np.zeros(4, dtype=np.int32)), ValueError),
        (ck.ResistorModel, ("NodeDVoltage", None), None),
        (ck.InductorModel, ("ElementN", None), None),
        (ck.PhaseSourceModel, ("NodeDVoltage", None), None),
    ],
)
def test_init_model_binds_only_its_own_arrays(cls, broken, error):
    bench(3)
    setattr(lxglobals, *broken)
    model = cls(1, 2, 3, 0) if cls in SOURCES else cls(1, 2, 0)
    if error is None:
        model.InitModel(0, 1, 2, 3)
    else:
        with pytest.raises(error):
            model.InitModel(0, 1, 2, 3)
    last = model.ind_qj if cls in SOURCES else model.ind_jj
    assert last == 3  # the positions are stored either way


@pytest.mark.parametrize(
    "cls, i, j, slot, used",
    [
        (ck.ResistorModel, 1, 2, "ind_jj", True),
        (ck.ResistorModel, 0, 2, "ind_ij", False),
        (ck.InductorModel, 2, 0, "ind_ii", True),
        (ck.InductorModel, 2, 0, "ind_jj", False),
        (ck.CapacitorModel, 0, 1, "ind_ji", False),
        (ck.PhaseSourceModel, 0, 2, "ind_qi", False),
        (ck.PhaseSourceModel, 0, 2, "ind_qj", True),
        (ck.VoltageSourceModel, 2, 0, "ind_jq", False),
        (ck.VoltageSourceModel, 2, 0, "ind_iq", True),
    ],
)
def test_kernels_refuse_only_positions_that_are_stamped(cls, i, j, slot, used):
    h = bench(3)
    model = place(h, cls, i, j, [1.0], q=3 if cls in SOURCES else None)
    clean = sum(matrices(h))
    names = ("ind_iq", "ind_jq", "ind_qi", "ind_qj") if cls in SOURCES else (
        "ind_ii", "ind_ij", "ind_ji", "ind_jj")
    model.InitModel(**{name: h.nnz if name == slot else getattr(model, name) for name in names})
    if used:
        with pytest.raises(IndexError, match=f"stamps position {h.nnz} "):
            matrices(h)
    else:
        np.testing.assert_array_equal(sum(matrices(h)), clean)


# ---- branch sources -----------------------------------------------------------


@pytest.mark.parametrize("cls, which", [(ck.PhaseSourceModel, 0), (ck.VoltageSourceModel, 1)])
@pytest.mark.parametrize("i, j", [(2, 0), (0, 2), (1, 3)])
def test_source_stamps_branch_incidence(cls, which, i, j):
    h = bench(4)
    place(h, cls, i, j, [1.0], q=4)
    a = unit(4, i) - unit(4, j)
    e_q = unit(4, 4)
    expected = [np.zeros((4, 4))] * 3
    expected[which] = np.outer(a, e_q) + np.outer(e_q, a)
    for got, want in zip(matrices(h), expected):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(
    "i, j, q, smooth, state, expected",
    [
        # source from 2 to ground: row 2 loses I_q, the branch row -(X2 - s)
        (2, 0, 7, 1.0, {2: 0.25, 7: 3.0}, {2: -3.0, 7: 0.75}),
        (0, 2, 7, 1.0, {2: 0.25, 7: 3.0}, {2: 3.0, 7: 1.25}),
        (0, 2, 7, 0.5, {2: 0.25, 7: 3.0}, {2: 3.0, 7: 0.75}),
        # no smoothing: the branch row pulls phi_i - phi_j to 0
        (1, 4, 9, 0.0, {1: 3.0, 4: 0.5, 9: 0.1}, {1: -0.1, 4: 0.1, 9: -2.5}),
    ],
)
def test_phase_source_rhs(i, j, q, smooth, state, expected):
    h = bench(9, smooth=smooth)
    place(h, ck.PhaseSourceModel, i, j, [1.0], q=q)
    x = sum(value * unit(9, k) for k, value in state.items())
    h.set_state(x, 100 * x, -100 * x)  # voltages must not matter
    np.testing.assert_allclose(h.rhs(), sum(v * unit(9, k) for k, v in expected.items()))


@pytest.mark.parametrize(
    "i, j, voltages, branch_row",
    [
        (1, 4, {1: 3.0, 4: 0.5}, -0.125),  # -(3 - 0.5 - 2) / 4
        (1, 4, {1: 2.5, 4: 0.5}, 0.0),  # already at the wanted voltage
        (1, 0, {1: 1.0}, 0.25),
        (0, 4, {4: 1.0}, 0.75),  # -(-1 - 2) / 4
    ],
)
def test_voltage_source_rhs(i, j, voltages, branch_row):
    h = bench(9, coeff_dt=4.0)
    place(h, ck.VoltageSourceModel, i, j, [2.0], q=9)
    v = sum(value * unit(9, k) for k, value in voltages.items())
    x = 0.1 * unit(9, 9) + 50 * unit(9, 1) + 70 * unit(9, 4)  # node phases must not matter
    h.set_state(x, v, -v)
    expected = 0.1 * (unit(9, j) - unit(9, i)) + branch_row * unit(9, 9)
    np.testing.assert_array_equal(h.rhs(), expected)


@pytest.mark.parametrize("cls", SOURCES)
def test_fresh_source_has_value_zero(cls):
    h = bench(3)
    model = place(h, cls, 1, 2, q=3)
    value = model.source_phase if cls is ck.PhaseSourceModel else model.source_voltage
    assert value == 0.0
    h.set_state([2.0, 0.5, 0.0], [2.0, 0.5, 0.0])
    scale = 1.0 if cls is ck.PhaseSourceModel else 1.0 / COEFF_DT
    assert h.rhs()[2] == -1.5 * scale


@pytest.mark.parametrize("cls", SOURCES)
def test_source_values_report_branch_current_and_count_turns(cls):
    h = bench(3)
    place(h, cls, 1, 2, [0.0], q=3)
    SP.PHASE_HISTERESIS = 0.1
    turn = 2 * math.pi
    rows = [
        # phase across, current, turns, inc, dec
        (turn + 0.5, -0.75, 1, 1, 0),
        (turn + 0.5, -0.75, 1, 0, 0),
        (-2 * turn, 2.0, -2, 0, 1),
        (-1.5 * turn, 2.0, -2, 0, 0),  # inside the dead band: kept
    ]
    for phase, current, *turns in rows:
        h.set_nodes(phases=[phase + 1.0, 1.0, current], voltages=[3.0, 1.0, 9.0])
        got = h.values(EINDEX)
        assert got[:3] == (current, pytest.approx(phase, abs=1e-15), 2.0)
        assert list(got[3:]) == turns


# ---- small circuits ---------------------------------------------------------


def solve_from_rest(h):
    """One Newton step from zero state, the derivatives following the phases as
    on a first step with no history; returns the solution."""
    h.set_state(np.zeros(h.n), np.zeros(h.n), np.zeros(h.n))
    a = sum(matrices(h))
    x = np.linalg.solve(a, h.rhs())
    h.set_state(x, COEFF_DT * x, COEFF_DDT * x)
    np.testing.assert_allclose(h.rhs(), 0.0, atol=1e-12)  # linear: converged
    return x


def test_phase_source_across_two_inductors_drives_loop_current():
    h = bench(3)
    place(h, ck.PhaseSourceModel, 1, 2, [1.5], q=3, eindex=0)
    place(h, ck.InductorModel, 1, 0, [1.0], eindex=1)
    place(h, ck.InductorModel, 2, 0, [2.0], eindex=2)
    phi1, phi2, iq = solve_from_rest(h)
    assert phi1 - phi2 == pytest.approx(1.5)
    assert phi1 == pytest.approx(0.5) and phi2 == pytest.approx(-1.0)
    assert iq == pytest.approx(-0.5)  # loop current s / (L1 + L2), drawn into node 1
    h.set_nodes(phases=[phi1, phi2, iq])
    ck.UpdateValues()
    np.testing.assert_allclose(lxglobals.ElementCurrent[:3], [-0.5, 0.5, -0.5])


@pytest.mark.parametrize("i, j, v1", [(1, 0, 2.0), (0, 1, -2.0)])
def test_voltage_source_over_resistor_obeys_ohm(i, j, v1):
    h = bench(2)
    place(h, ck.VoltageSourceModel, i, j, [2.0], q=2, eindex=0)
    place(h, ck.ResistorModel, 1, 0, [4.0], eindex=1)
    phi1, iq = solve_from_rest(h)
    assert COEFF_DT * phi1 == pytest.approx(v1)
    # the resistor draws v1 / R out of node 1; the source's branch supplies it
    assert iq == pytest.approx(-v1 / 4.0 if i else v1 / 4.0)


def test_current_source_charges_capacitor():
    h = bench(1)
    source = ck.CurrentSourceModel(1, 0, 0)
    source.SetParameters([3.0])
    source.InitModel(0, 0, 0, 0)
    h.add(source, source=True)
    place(h, ck.CapacitorModel, 1, 0, [1.5], eindex=1)
    (phi1,) = solve_from_rest(h)
    assert COEFF_DDT * phi1 * 1.5 == pytest.approx(3.0)  # C dV/dt = I


# ---- construction and pickling ------------------------------------------------


@pytest.mark.parametrize("cls", SOURCES)
def test_source_arguments_by_keyword(cls):
    model = cls(i=1, j=2, q=5, eindex=3)
    assert (model.i, model.j, model.q, model.eindex) == (1, 2, 5, 3)
    bench(5)
    model.InitModel(ind_iq=4, ind_jq=9, ind_qi=20, ind_qj=21)
    assert (model.ind_iq, model.ind_jq, model.ind_qi, model.ind_qj) == (4, 9, 20, 21)


FIVE = "self.elem_currents,self.elem_phases,self.elem_voltages,self.node_phases,self.node_voltages"


@pytest.mark.parametrize(
    "model, fields",
    [
        (ck.ResistorModel(1, 0, 0), FIVE),
        (ck.InductorModel(1, 0, 0), FIVE),
        (
            ck.CapacitorModel(1, 0, 0),
            "self.elem_currents,self.elem_phases,self.elem_voltages,self.node_dvoltages,"
            "self.node_phases,self.node_voltages",
        ),
        (
            ck.PhaseSourceModel(1, 0, 2, 0),
            "self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,"
            "self.node_phases,self.node_voltages",
        ),
        (
            ck.VoltageSourceModel(1, 0, 2, 0),
            "self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,"
            "self.node_phases,self.node_voltages",
        ),
    ],
)
def test_pickling_is_refused(model, fields):
    message = f"{fields} cannot be converted to a Python object for pickling"
    for attempt in (lambda: pickle.dumps(model), lambda: copy.copy(model), model.__reduce__):
        with pytest.raises(TypeError) as caught:
            attempt()
        assert str(caught.value) == message
    with pytest.raises(TypeError) as caught:
        model.__setstate__(())
    assert str(caught.value) == message
