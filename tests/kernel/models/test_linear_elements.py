"""Linear elements: ResistorModel, InductorModel, CapacitorModel and the branch
sources PhaseSourceModel, VoltageSourceModel.

The matrices are checked against the Jacobian obtained by differencing the
right-hand side, the right-hand sides and values against hand-derived numbers,
and two small circuits against their textbook solutions.
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
SOURCES = (ck.PhaseSourceModel, ck.VoltageSourceModel)
# class -> (the value array it stamps, 0 = A0 or 1 = A1; parameter attribute; its default)
KIND = {
    ck.ResistorModel: (1, "resistance", 1.0),
    ck.InductorModel: (0, "inv_inductance", 1.0),
    ck.CapacitorModel: (1, "capacitance", 1.0),
    ck.PhaseSourceModel: (0, "source_phase", 0.0),
    ck.VoltageSourceModel: (1, "source_voltage", 0.0),
}
POSITIONS = {
    False: ("ind_ii", "ind_ij", "ind_ji", "ind_jj"),
    True: ("ind_iq", "ind_jq", "ind_qi", "ind_qj"),
}


def bench(unknowns, coeff_dt=COEFF_DT, smooth=1.0):
    h = Harness(unknowns)
    SP.InterpCoeffDt, SP.InterpCoeffDDt = [coeff_dt], [COEFF_DDT]
    SP.InitialSmoothFactor = smooth
    return h


def make(cls, i, j, q=3, eindex=EINDEX):
    return cls(i, j, q, eindex) if cls in SOURCES else cls(i, j, eindex)


def place(h, cls, i, j, params=None, q=None, eindex=EINDEX):
    """Constructs, positions, binds and registers one model on the bench."""
    model = make(cls, i, j, q, eindex)
    pairs = [(i, q), (j, q), (q, i), (q, j)] if q else [(i, i), (i, j), (j, i), (j, j)]
    model.InitModel(*h.positions(*pairs))
    if params is not None:
        model.SetParameters(params)
    h.add(model, source=q is not None)
    return model


def vec(n, entries):
    """Per-unknown vector from {unknown: value}; ground (0) entries vanish."""
    v = np.zeros(n)
    for k, value in entries.items():
        if k:
            v[k - 1] += value
    return v


def matrices(h):
    a1, a2, _ = h.build()
    return h.static_matrix(), a1, a2


def rhs_jacobian(h, x, v, dv):
    """-dB/dx, the derivative estimates moving with x as the integration formula has them."""
    h.set_state(x, v, dv)
    b0 = h.rhs()
    columns = []
    for k in range(1, h.n + 1):
        e = vec(h.n, {k: 1.0})
        h.set_state(x + e, v + COEFF_DT * e, dv + COEFF_DDT * e)
        columns.append(b0 - h.rhs())
    return np.array(columns).T


@pytest.mark.parametrize("cls", KIND)
@pytest.mark.parametrize("i, j", [(2, 3), (3, 2), (0, 3), (2, 0)])
def test_matrix_is_jacobian_of_rhs_in_one_array(cls, i, j):
    h = bench(5)
    place(h, cls, i, j, [0.75], q=5 if cls in SOURCES else None)
    x, v, dv = np.random.default_rng(7).normal(size=(3, 5))
    expected = rhs_jacobian(h, x, v, dv)
    stamped = KIND[cls][0]
    for k, got in enumerate(matrices(h)):
        want = expected if k == stamped else np.zeros((5, 5))
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)


# Present iterate: phases, voltages and derivatives all differ, so each law
# shows which one it reads.
X, DX, DDX = [0.5, 1.5, -2.0], [3.0, -1.0, 2.0], [-4.0, 6.0, 10.0]


@pytest.mark.parametrize(
    "cls, i, j, param, expected",
    [
        (ck.ResistorModel, 0, 3, 4.0, [0, 0, -0.5]),  # -DX3 / R
        (ck.ResistorModel, 1, 2, 2.0, [-2.0, 2.0, 0]),  # (DX1 - DX2) / R
        (ck.InductorModel, 2, 0, 0.5, [0, -3.0, 0]),  # -X2 / L
        (ck.InductorModel, 1, 3, 2.0, [-1.25, 0, 1.25]),
        (ck.CapacitorModel, 2, 0, 0.25, [0, -1.5, 0]),  # -C DDX2
        (ck.CapacitorModel, 0, 1, 0.5, [2.0, 0, 0]),
    ],
)
def test_passive_rhs_is_minus_present_current(cls, i, j, param, expected):
    h = bench(3)
    place(h, cls, i, j, [param])
    h.set_state(X, DX, DDX)
    np.testing.assert_array_equal(h.rhs(), expected)
    np.testing.assert_array_equal(h.build()[2], expected)


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
def test_passive_values_read_the_node_arrays(cls, i, j, param, current, phase, voltage):
    h = bench(3)
    place(h, cls, i, j, [param])
    h.set_state(X, DX, DDX)
    h.set_nodes([0.25, -1.0, 2.0], [8.0, 1.0, -3.0], [5.0, 0.5, 7.0])
    assert h.values(EINDEX)[:3] == (current, phase, voltage)


@pytest.mark.parametrize("cls", KIND)
def test_defaults_are_read_only(cls):
    model = make(cls, 1, 0)
    _, attribute, default = KIND[cls]
    assert getattr(model, attribute) == default
    with pytest.raises(AttributeError):
        setattr(model, attribute, 2.0)


@pytest.mark.parametrize(
    "cls, g",
    [(ck.ResistorModel, COEFF_DT), (ck.InductorModel, 1.0), (ck.CapacitorModel, COEFF_DDT)],
)
def test_fresh_passive_stamps_the_bare_coefficient(cls, g):
    h = bench(1)
    place(h, cls, 1, 0)
    assert matrices(h)[KIND[cls][0]][0, 0] == g


@pytest.mark.parametrize("cls", KIND)
def test_set_parameters_uses_item_0_and_keeps_value_on_failure(cls):
    model = make(cls, 1, 0)
    attribute = KIND[cls][1]
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
    "item, outcome",
    [
        (2.0, 0.5),
        (-0.5, -2.0),
        (Fraction(1, 3), 3.0),
        (Henry(), 0.125),  # divided by its own rules
        (0.0, (ZeroDivisionError, "^float division by zero$")),
        (0, (ZeroDivisionError, "^float division by zero$")),
        (Decimal(2), (TypeError, "unsupported operand")),
    ],
)
def test_inductor_takes_python_reciprocal(item, outcome):
    model = ck.InductorModel(1, 0, 0)
    model.SetParameters([0.1])
    if isinstance(outcome, tuple):
        with pytest.raises(outcome[0], match=outcome[1]):
            model.SetParameters([item])
        assert model.inv_inductance == 10.0
    else:
        model.SetParameters([item])
        assert model.inv_inductance == outcome


def test_zero_resistance_and_capacitance_are_accepted():
    h = bench(2)
    place(h, ck.ResistorModel, 1, 0, [0.0], eindex=0)
    place(h, ck.CapacitorModel, 2, 0, [0.0], eindex=1)
    h.set_state([0, 0], [1.0, 0.0], [0.0, 3.0])
    h.set_nodes(voltages=[0.0, 1.0], dvoltages=[0.0, 3.0])
    a1 = h.build()[0]
    assert a1[0, 0] == math.inf and a1[1, 1] == 0.0
    assert list(h.rhs()) == [-math.inf, 0.0]
    ck.UpdateValues()
    assert math.isnan(lxglobals.ElementCurrent[0]) and lxglobals.ElementCurrent[1] == 0.0


@pytest.mark.parametrize(
    "cls, attribute, value, error",
    [
        (ck.CapacitorModel, "NodeDVoltage", np.zeros(3, dtype=np.float32), ValueError),
        (ck.CapacitorModel, "NodeDVoltage", [0.0] * 3, TypeError),
        (ck.PhaseSourceModel, "ElementN", np.zeros(4), ValueError),
        (ck.VoltageSourceModel, "ElementInc", np.zeros(4, dtype=np.int32), ValueError),
        (ck.ResistorModel, "NodeDVoltage", None, None),
        (ck.InductorModel, "ElementN", None, None),
        (ck.PhaseSourceModel, "NodeDVoltage", None, None),
    ],
)
def test_init_model_binds_only_its_own_arrays(cls, attribute, value, error):
    bench(3)
    setattr(lxglobals, attribute, value)
    model = make(cls, 1, 2, q=3, eindex=0)
    if error is None:
        model.InitModel(0, 1, 2, 3)
    else:
        with pytest.raises(error):
            model.InitModel(0, 1, 2, 3)
    assert getattr(model, POSITIONS[cls in SOURCES][3]) == 3  # stored either way


@pytest.mark.parametrize(
    "cls, i, j, slot, stamped",
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
def test_kernels_refuse_only_positions_that_are_stamped(cls, i, j, slot, stamped):
    h = bench(3)
    model = place(h, cls, i, j, [1.0], q=3 if cls in SOURCES else None)
    clean = sum(matrices(h))
    names = POSITIONS[cls in SOURCES]
    model.InitModel(**{name: h.nnz if name == slot else getattr(model, name) for name in names})
    if stamped:
        with pytest.raises(IndexError, match=f"stamps position {h.nnz} "):
            matrices(h)
    else:
        np.testing.assert_array_equal(sum(matrices(h)), clean)


@pytest.mark.parametrize(
    "i, j, q, smooth, state, expected",
    [
        # from 2 to ground: row 2 loses I_q, the branch row loses X2 - s
        (2, 0, 7, 1.0, {2: 0.25, 7: 3.0}, {2: -3.0, 7: 0.75}),
        (0, 2, 7, 1.0, {2: 0.25, 7: 3.0}, {2: 3.0, 7: 1.25}),
        (0, 2, 7, 0.5, {2: 0.25, 7: 3.0}, {2: 3.0, 7: 0.75}),
        # unsmoothed: the branch row pulls phi_i - phi_j to 0
        (1, 4, 9, 0.0, {1: 3.0, 4: 0.5, 9: 0.1}, {1: -0.1, 4: 0.1, 9: -2.5}),
    ],
)
def test_phase_source_rhs(i, j, q, smooth, state, expected):
    h = bench(9, smooth=smooth)
    place(h, ck.PhaseSourceModel, i, j, [1.0], q=q)
    x = vec(9, state)
    h.set_state(x, 100 * x, -100 * x)  # the voltages must not matter
    np.testing.assert_array_equal(h.rhs(), vec(9, expected))


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
    v = vec(9, voltages)
    h.set_state(vec(9, {9: 0.1, 1: 50.0, 4: 70.0}), v, -v)  # node phases must not matter
    np.testing.assert_array_equal(h.rhs(), vec(9, {i: -0.1, j: 0.1, 9: branch_row}))


@pytest.mark.parametrize("cls", SOURCES)
def test_source_values_report_branch_current_and_count_turns(cls):
    h = bench(3)
    place(h, cls, 1, 2, [0.0], q=3)
    SP.PHASE_HISTERESIS = 0.1
    turn = 2 * math.pi
    # phase across, branch current, then turns, inc, dec
    rows = [
        (turn + 0.5, -0.75, 1, 1, 0),
        (turn + 0.5, -0.75, 1, 0, 0),
        (-2 * turn, 2.0, -2, 0, 1),
        (-1.5 * turn, 2.0, -2, 0, 0),  # in the dead band: kept
    ]
    for phase, current, *turns in rows:
        h.set_nodes(phases=[phase + 1.0, 1.0, current], voltages=[3.0, 1.0, 9.0])
        got = h.values(EINDEX)
        assert got[:3] == (current, pytest.approx(phase, abs=1e-15), 2.0)
        assert list(got[3:]) == turns


def solve_from_rest(h):
    """One Newton step from rest, the derivatives following the phases as on a
    first step without history; the circuit is linear, so that converges."""
    h.set_state(np.zeros(h.n), np.zeros(h.n), np.zeros(h.n))
    x = np.linalg.solve(sum(matrices(h)), h.rhs())
    h.set_state(x, COEFF_DT * x, COEFF_DDT * x)
    np.testing.assert_allclose(h.rhs(), 0.0, atol=1e-12)
    return x


def test_phase_source_across_two_inductors_drives_loop_current():
    h = bench(3)
    place(h, ck.PhaseSourceModel, 1, 2, [1.5], q=3, eindex=0)
    place(h, ck.InductorModel, 1, 0, [1.0], eindex=1)
    place(h, ck.InductorModel, 2, 0, [2.0], eindex=2)
    x = solve_from_rest(h)
    # phi1 - phi2 = 1.5 splits as L1 : L2; loop current 1.5 / (L1 + L2), drawn into node 1
    np.testing.assert_allclose(x, [0.5, -1.0, -0.5])
    h.set_nodes(phases=x)
    ck.UpdateValues()
    np.testing.assert_allclose(lxglobals.ElementCurrent[:3], [-0.5, 0.5, -0.5])


@pytest.mark.parametrize("i, j, v1, branch_current", [(1, 0, 2.0, -0.5), (0, 1, -2.0, -0.5)])
def test_voltage_source_over_resistor_obeys_ohm(i, j, v1, branch_current):
    h = bench(2)
    place(h, ck.VoltageSourceModel, i, j, [2.0], q=2, eindex=0)
    place(h, ck.ResistorModel, 1, 0, [4.0], eindex=1)
    phi1, iq = solve_from_rest(h)
    assert COEFF_DT * phi1 == pytest.approx(v1)
    assert iq == pytest.approx(branch_current)  # supplies the v1 / R the resistor draws


@pytest.mark.parametrize("cls", SOURCES)
def test_source_arguments_by_keyword(cls):
    model = cls(i=1, j=2, q=5, eindex=3)
    assert (model.i, model.j, model.q, model.eindex) == (1, 2, 5, 3)
    bench(5)
    model.InitModel(ind_iq=4, ind_jq=9, ind_qi=20, ind_qj=21)
    assert (model.ind_iq, model.ind_jq, model.ind_qi, model.ind_qj) == (4, 9, 20, 21)


FIVE = "self.elem_currents,self.elem_phases,self.elem_voltages,self.node_phases,self.node_voltages"
WITH_N = "self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,self.node_phases,self.node_voltages"
WITH_DV = "self.elem_currents,self.elem_phases,self.elem_voltages,self.node_dvoltages,self.node_phases,self.node_voltages"


@pytest.mark.parametrize(
    "cls, fields",
    [
        (ck.ResistorModel, FIVE),
        (ck.InductorModel, FIVE),
        (ck.CapacitorModel, WITH_DV),
        (ck.PhaseSourceModel, WITH_N),
        (ck.VoltageSourceModel, WITH_N),
    ],
)
def test_pickling_is_refused(cls, fields):
    model = make(cls, 1, 0)
    message = f"{fields} cannot be converted to a Python object for pickling"
    attempts = (
        lambda: pickle.dumps(model),
        lambda: copy.copy(model),
        model.__reduce__,
        lambda: model.__setstate__(()),
    )
    for attempt in attempts:
        with pytest.raises(TypeError) as caught:
            attempt()
        assert str(caught.value) == message
