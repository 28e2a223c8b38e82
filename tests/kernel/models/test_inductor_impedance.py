"""InductorImpedanceModel: an inductor whose current is the branch unknown q.

Branch law L*I = phi_i - phi_j; the current leaves node i and enters node j.
"""

import pickle

import numpy as np
import pytest

from harness import Harness
from loxant import CircuitKernel as ck
from loxant import lxglobals

# Unknowns: nodes 1 and 2, branch 3; unknown 4 belongs to no element, so its
# diagonal collects anything written at the position of a grounded entry.
N = 4
Q = 3
SPARE = 4


def make(h, i, j, inductance=None, q=Q, eindex=0):
    model = ck.InductorImpedanceModel(i, j, q, eindex)
    if inductance is not None:
        model.SetParameters([inductance])

    def at(r, c):
        return h.pos(SPARE, SPARE) if r == 0 or c == 0 else h.pos(r, c)

    model.InitModel(at(i, q), at(j, q), at(q, i), at(q, j), at(q, q))
    h.add(model)
    return model


def expected_static(i, j, q, inductance):
    """A0 from the branch law: column q carries +I into row i and -I into row j,
    row q reads L*I - phi_i + phi_j."""
    a = np.zeros((N, N))
    for node, sign in ((i, 1.0), (j, -1.0)):
        if node:
            a[node - 1, q - 1] += sign
            a[q - 1, node - 1] -= sign
    a[q - 1, q - 1] += inductance
    return a


TERMINALS = [(1, 2), (0, 2), (1, 0), (0, 0)]


@pytest.mark.parametrize("i,j", TERMINALS)
@pytest.mark.parametrize("inductance", [2.0, 0.0])
def test_static_stamp(i, j, inductance):
    h = Harness(N)
    make(h, i, j, inductance)
    np.testing.assert_array_equal(h.static_matrix(), expected_static(i, j, Q, inductance))


@pytest.mark.parametrize(
    "i,j,expected",
    [
        # u_i = 1.0, u_j = 0.25, I = 0.5, L = 2.0
        (1, 2, [-0.5, 0.5, -0.25]),
        (0, 2, [0.0, 0.5, -(2.0 * 0.5 + 0.25)]),
        (1, 0, [-0.5, 0.0, -(2.0 * 0.5 - 1.0)]),
    ],
)
def test_rhs_numbers(i, j, expected):
    h = Harness(N)
    make(h, i, j, 2.0)
    h.set_state(phases=[1.0, 0.25, 0.5, 9.0])
    np.testing.assert_array_equal(h.rhs(), expected + [0.0])


@pytest.mark.parametrize("i,j", TERMINALS)
def test_rhs_is_minus_static_residual(i, j):
    """All terms are linear, so B(u) = -A0 u for any iterate u."""
    h = Harness(N)
    make(h, i, j, 0.7)
    u = np.array([0.3, -1.1, 0.45, 2.5])
    h.set_state(phases=u)
    a0 = h.static_matrix()
    a0[SPARE - 1, SPARE - 1] = 0.0
    np.testing.assert_allclose(h.rhs(), -a0 @ u, rtol=0, atol=1e-15)


@pytest.mark.parametrize(
    "i,j,phase,voltage",
    [(1, 2, 1.5 - 0.25, -2.0 - 0.5), (0, 2, -0.25, -0.5), (1, 0, 1.5, -2.0)],
)
def test_values_report_stored_branch_current(i, j, phase, voltage):
    h = Harness(N)
    make(h, i, j, 4.0)
    # The stored branch value has nothing to do with (phi_i - phi_j) / L = 0.3125.
    h.set_nodes(phases=[1.5, 0.25, -7.5, 0.0], voltages=[-2.0, 0.5, 3.0, 0.0])
    assert h.values()[:3] == (-7.5, phase, voltage)


def test_inductance_kept_as_given():
    h = Harness(N)
    model = make(h, 1, 2)
    assert model.inductance == 1.0
    model.SetParameters((0,))
    assert model.inductance == 0.0
    model.SetParameters(np.array([3.25]))
    assert model.inductance == 3.25


@pytest.mark.parametrize(
    "params,error", [([], IndexError), (["x"], TypeError), ([None], TypeError)]
)
def test_bad_parameters_leave_inductance(params, error):
    model = ck.InductorImpedanceModel(1, 2, 3, 0)
    model.SetParameters([2.5])
    with pytest.raises(error):
        model.SetParameters(params)
    assert model.inductance == 2.5


def test_setup_arguments():
    Harness(N)
    model = ck.InductorImpedanceModel(j=2, q=3, i=0, eindex=1)
    assert (model.i, model.j, model.q, model.eindex) == (0, 2, 3, 1)
    model.InitModel(ind_iq=4, ind_jq=5, ind_qi=6, ind_qj=7, ind_qq=8)
    assert (model.ind_iq, model.ind_jq, model.ind_qi, model.ind_qj, model.ind_qq) == (4, 5, 6, 7, 8)
    with pytest.raises(TypeError, match=r"exactly 5 positional arguments \(4 given\)"):
        model.InitModel(1, 2, 3, 4)


def test_branch_unknown_zero_is_refused():
    Harness(N)
    model = ck.InductorImpedanceModel(1, 2, 0, 0)
    with pytest.raises(IndexError, match="branch unknown 0"):
        model.InitModel(0, 0, 0, 0, 0)


def test_pickling_refused():
    with pytest.raises(
        TypeError,
        match="^self.elem_currents,self.elem_phases,self.elem_voltages,"
        "self.node_phases,self.node_voltages cannot be converted",
    ):
        pickle.dumps(ck.InductorImpedanceModel(1, 2, 3, 0))


def test_values_ignore_other_elements_slots():
    h = Harness(N, elements=3)
    make(h, 1, 2, eindex=1)
    lxglobals.ElementCurrent[:] = [5.0, 0.0, 6.0]
    h.set_nodes(phases=[0.0, 0.0, 1.25, 0.0])
    h.values()
    assert list(lxglobals.ElementCurrent) == [5.0, 1.25, 6.0]
