"""MutualInductanceModel, alone and coupling two InductorImpedanceModels.

Two inductors with currents I1, I2 and mutual inductance M obey
    phi1 = L1 I1 + M I2,  phi2 = M I1 + L2 I2.
"""

import pickle

import numpy as np
import pytest

from harness import Harness
from loxant import CircuitKernel as ck
from loxant import lxglobals


def make_mutual(h, q, v, m=None, eindex=0, diagonal=None):
    """`diagonal`: the (unused) positions given for qq and vv; (q, q), (v, v) if None."""
    model = ck.MutualInductanceModel(q, v, eindex)
    if m is not None:
        model.SetParameters([m])
    qq, vv = diagonal if diagonal is not None else (h.pos(q, q), h.pos(v, v))
    model.InitModel(qq, h.pos(q, v), h.pos(v, q), vv)
    h.add(model)
    return model


def preloaded_static(h, preload):
    """BuildStaticMatrix into an array that already holds `preload`."""
    a0 = np.array(preload, dtype=float).ravel()
    ck.BuildStaticMatrix(a0)
    return a0.reshape(h.n, h.n)


def test_stamps_of_the_worked_example():
    h = Harness(5)
    make_mutual(h, 3, 5, 0.5)
    h.set_state(phases=[9.0, 9.0, 2.0, 9.0, 4.0])
    np.testing.assert_array_equal(h.rhs(), [0.0, 0.0, -2.0, 0.0, -1.0])
    preload = np.arange(25.0).reshape(5, 5)
    expected = preload.copy()
    expected[2, 4] += 0.5
    expected[4, 2] += 0.5
    # (q, q) and (v, v) keep whatever they held.
    np.testing.assert_array_equal(preloaded_static(h, preload), expected)


def test_fresh_element_adds_zeros():
    h = Harness(3)
    model = make_mutual(h, 2, 3)
    assert model.mutual_inductance == 0.0
    h.set_state(phases=[1.0, 2.0, 3.0])
    assert not h.static_matrix().any()
    assert not h.rhs().any()


def test_values_write_zeros():
    h = Harness(3, elements=3)
    make_mutual(h, 2, 3, 0.5, eindex=1)
    for name in ("ElementCurrent", "ElementPhase", "ElementVoltage"):
        getattr(lxglobals, name)[:] = 7.0
    h.set_nodes(phases=[1.0, 2.0, 3.0], voltages=[4.0, 5.0, 6.0])
    assert h.values(1)[:3] == (0.0, 0.0, 0.0)
    assert lxglobals.ElementCurrent[0] == lxglobals.ElementCurrent[2] == 7.0


def test_coupling_a_branch_with_itself():
    h = Harness(2)
    make_mutual(h, 2, 2, 0.75)
    h.set_state(phases=[5.0, 2.0])
    np.testing.assert_array_equal(h.rhs(), [0.0, -2 * 0.75 * 2.0])
    np.testing.assert_array_equal(h.static_matrix(), [[0.0, 0.0], [0.0, 1.5]])


@pytest.mark.parametrize("q,v", [(0, 2), (2, 0)])
def test_ground_is_no_branch_unknown(q, v):
    Harness(2)
    model = ck.MutualInductanceModel(q, v, 0)
    with pytest.raises(IndexError, match="branch unknown 0"):
        model.InitModel(0, 0, 0, 0)


def test_unused_diagonal_positions_are_not_bounds_checked():
    """qq and vv are never written, so positions beyond the value array are harmless."""
    h = Harness(2)
    make_mutual(h, 1, 2, 0.5, diagonal=(10**6, 10**6))
    np.testing.assert_array_equal(h.static_matrix(), [[0.0, 0.5], [0.5, 0.0]])


@pytest.mark.parametrize("params,error", [([], IndexError), (["M"], TypeError)])
def test_bad_parameters_leave_value(params, error):
    model = ck.MutualInductanceModel(1, 2, 0)
    model.SetParameters([0.25])
    with pytest.raises(error):
        model.SetParameters(params)
    assert model.mutual_inductance == 0.25


def test_pickling_refused():
    with pytest.raises(
        TypeError,
        match="^self.elem_currents,self.elem_phases,self.elem_voltages,"
        "self.node_phases,self.node_voltages cannot be converted",
    ):
        pickle.dumps(ck.MutualInductanceModel(1, 2, 0))


# ---- two coupled inductors ------------------------------------------------------
#
# Unknowns: nodes 1, 2 (each inductor to ground), branch currents 3, 4.


def coupled_pair(h, l1, l2, m):
    for eindex, (node, q, inductance) in enumerate(((1, 3, l1), (2, 4, l2))):
        model = ck.InductorImpedanceModel(node, 0, q, eindex)
        model.SetParameters([inductance])
        model.InitModel(h.pos(node, q), 0, h.pos(q, node), 0, h.pos(q, q))
        h.add(model)
    make_mutual(h, 3, 4, m, eindex=2)


PAIRS = [
    # L1, L2, M, I1, I2: all dyadic, so every product and sum below is exact
    (2.0, 3.0, 1.0, 0.5, 0.25),
    (1.0, 4.0, -1.5, -0.75, 2.0),
    (0.5, 0.5, 0.0, 1.0, -1.0),
]


@pytest.mark.parametrize("l1,l2,m,i1,i2", PAIRS)
def test_branch_residual_vanishes_at_the_flux_solution(l1, l2, m, i1, i2):
    h = Harness(4)
    coupled_pair(h, l1, l2, m)
    phi = [l1 * i1 + m * i2, m * i1 + l2 * i2]
    h.set_state(phases=phi + [i1, i2])
    b = h.rhs()
    assert list(b[2:]) == [0.0, 0.0]
    # What is left in the node rows is the current each inductor draws.
    assert list(b[:2]) == [-i1, -i2]


@pytest.mark.parametrize("k", [0.0, 0.3, -0.6, 0.99, 0.999999])
def test_one_newton_step_reaches_the_currents(k):
    """With the node phases held, the branch rows alone are [L1 M; M L2] I = phi."""
    l1, l2 = 1.3, 0.45
    m = k * np.sqrt(l1 * l2)
    phi = np.array([0.8, -0.35])
    h = Harness(4)
    coupled_pair(h, l1, l2, m)
    h.set_state(phases=np.concatenate([phi, [0.0, 0.0]]))
    branch = slice(2, 4)
    step = np.linalg.solve(h.static_matrix()[branch, branch], h.rhs()[branch])
    expected = np.linalg.solve([[l1, m], [m, l2]], phi)
    np.testing.assert_allclose(step, expected, rtol=1e-9)
    h.set_state(phases=np.concatenate([phi, step]))
    np.testing.assert_allclose(h.rhs()[branch], 0.0, atol=1e-12 * np.abs(step).max())


@pytest.mark.parametrize("k", [0.0, 0.5, -0.9, 0.999])
def test_static_solve_with_driven_currents(k):
    """Current sources feed both nodes; one Newton step of the whole system from
    zero gives the branch currents equal to the sources and the flux linkages."""
    l1, l2 = 2.0, 0.8
    m = k * np.sqrt(l1 * l2)
    s = np.array([0.6, -0.25])
    h = Harness(4, elements=5)
    coupled_pair(h, l1, l2, m)
    for eindex, node in ((3, 1), (4, 2)):
        source = ck.CurrentSourceModel(0, node, eindex)
        source.InitModel(0, 0, 0, h.pos(node, node))
        h.add(source, params=[s[eindex - 3]], source=True)
    a0 = h.static_matrix()
    x = np.linalg.solve(a0, h.rhs())
    np.testing.assert_allclose(x[2:], s, rtol=1e-12)
    np.testing.assert_allclose(x[:2], [[l1, m], [m, l2]] @ s, rtol=1e-12)
    h.set_state(phases=x)
    np.testing.assert_allclose(h.rhs(), 0.0, atol=1e-14)
