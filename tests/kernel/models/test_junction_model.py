"""JunctionModel: ground cases, orientation and parameters."""

import math

import numpy as np
import pytest

import loxant.CircuitKernel as ck
from harness import Harness
from loxant import SimulationParameters as SP


def placed(h, i, j, params=(2.0, 4.0, 0.5)):
    model = ck.JunctionModel(i, j, 0)
    model.SetParameters(params)
    model.InitModel(*h.positions((i, i), (i, j), (j, i), (j, j)))
    h.add(model)
    return model


def test_grounded_junction_stamps_only_its_live_diagonal():
    h = Harness(2)
    placed(h, 1, 0)
    SP.InterpCoeffDt, SP.InterpCoeffDDt = [10.0], [100.0]
    h.set_state(phases=[math.pi / 2, 0.0])
    a1, a2, _ = h.build()
    assert a1[0, 0] == 52.5 and np.count_nonzero(a1) == 1
    assert abs(a2[0, 0]) < 1e-15 and np.count_nonzero(a2[1:, :]) == 0


@pytest.mark.parametrize("phase, volt, dvolt", [(0.4, 0.3, -2.0), (-2.5, 1.5, 0.25)])
def test_orientation_changes_reported_signs_only(phase, volt, dvolt):
    results = {}
    for i, j in ((1, 0), (0, 1)):
        h = Harness(1)
        placed(h, i, j)
        h.set_state(phases=[phase], voltages=[volt], dvoltages=[dvolt])
        h.set_nodes(phases=[phase], voltages=[volt], dvoltages=[dvolt])
        a1, a2, b = h.build()
        results[i, j] = (a1, a2, b, h.values())
    forward, backward = results[1, 0], results[0, 1]
    for got, want in zip(forward[:3], backward[:3]):
        np.testing.assert_array_equal(got, want)
    expected = 2.0 * math.sin(phase) + volt / 4.0 + 0.5 * dvolt
    assert forward[2][0] == pytest.approx(-expected)
    assert forward[3][:3] == pytest.approx((expected, phase, volt))
    assert backward[3][:3] == pytest.approx((-expected, -phase, -volt))


def test_zero_node_values_report_zero_and_keep_the_count():
    h = Harness(2)
    placed(h, 1, 2)
    assert h.values() == (0.0, 0.0, 0.0, 0, 0, 0)


def test_parameters_store_in_order_until_one_fails():
    model = ck.JunctionModel(1, 0, 0)
    assert (model.critical_current, model.resistance, model.capacitance) == (0.0, 1.0, 1.0)
    with pytest.raises(TypeError):
        model.SetParameters((1.0, 2.0, None))
    assert (model.critical_current, model.resistance, model.capacitance) == (1.0, 2.0, 1.0)
    with pytest.raises(IndexError):
        model.SetParameters([5.0])
    assert model.critical_current == 5.0
    model.SetParameters(np.array([3.0, 4.0, 5.0]))
    assert (model.critical_current, model.resistance, model.capacitance) == (3.0, 4.0, 5.0)


def test_fresh_model_has_zero_positions_and_no_binding():
    model = ck.JunctionModel(2, 3, 1)
    assert (model.i, model.j, model.eindex) == (2, 3, 1)
    assert (model.ind_ii, model.ind_ij, model.ind_ji, model.ind_jj) == (0, 0, 0, 0)


def test_right_hand_side_is_the_same_with_or_without_the_matrix():
    """UpdateMatrix reuses the sine of the phase its matrix term saw; the result
    must equal what UpdateRHS computes afresh, for every phase."""
    rng = np.random.default_rng(7)
    h = Harness(1)
    placed(h, 1, 0)
    for phase in np.concatenate([rng.uniform(-50, 50, 200), [0.0, -0.0, 1e-300, 1e10]]):
        h.set_state(phases=[phase], voltages=[0.3])
        fresh = h.rhs()
        _, with_matrix = h.update()
        np.testing.assert_array_equal(with_matrix, fresh)
        _, again = h.update()  # same phase seen twice
        np.testing.assert_array_equal(again, fresh)
