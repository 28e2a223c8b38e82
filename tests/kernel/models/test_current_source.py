"""CurrentSourceModel: right-hand side in every ground case, values, parameters."""

import numpy as np
import pytest

import loxant.CircuitKernel as ck
from harness import Harness
from loxant import SimulationParameters as SP


def placed(h, i, j, value):
    model = ck.CurrentSourceModel(i, j, 0)
    if value is not None:
        model.SetParameters([value])
    model.InitModel(-5, 99, 7, -1)  # positions are stored but never used
    h.add(model, source=True)
    return model


@pytest.mark.parametrize(
    "i, j, expected",
    [(0, 3, [0, 0, 1, 0, 0]), (3, 0, [0, 0, 1, 0, 0]), (3, 5, [0, 0, 1, 0, -1])],
)
def test_source_adds_its_scaled_value(i, j, expected):
    h = Harness(5)
    placed(h, i, j, 2.0)
    SP.InitialSmoothFactor = 0.5
    np.testing.assert_array_equal(h.rhs(), expected)
    a1, a2, b = h.build()
    assert not a1.any() and not a2.any() and not h.static_matrix().any()
    np.testing.assert_array_equal(b, expected)


def test_values_report_scaled_current_and_differences():
    h = Harness(2)
    model = placed(h, 1, 2, 3.0)
    h.set_nodes(phases=[0.5, 0.125], voltages=[2.0, -1.0])
    SP.InitialSmoothFactor = 0.0
    assert h.values()[:3] == (0.0, 0.375, 3.0)
    model.SetParameters((1.5, 99))
    SP.InitialSmoothFactor = 1.0
    assert h.values()[0] == 1.5


def test_parameters_and_defaults():
    h = Harness(1)
    model = placed(h, 1, 0, None)
    assert model.source_current == 0.0 and not h.rhs().any()
    model.SetParameters((2,))
    assert model.source_current == 2.0
    for bad, error in ((7, TypeError), ([], IndexError), (["x"], TypeError)):
        with pytest.raises(error):
            model.SetParameters(bad)
    assert model.source_current == 2.0
