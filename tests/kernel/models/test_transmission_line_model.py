"""TransmissionLineModel on its own: parameters, history size, and the port
equations after the history has been fed by hand."""

import math

import numpy as np
import pytest

ck = pytest.importorskip("loxant.CircuitKernel")
from harness import Element, Harness  # noqa: E402
from loxant import SimulationParameters as SP  # noqa: E402
from loxant import lxglobals  # noqa: E402


@pytest.mark.parametrize(
    "params",
    [
        [0.0, 1.0, 0.1],
        [1.0, -2.0, 0.1],
        [1.0, 1.0, 0.0],
        [math.inf, 1.0, 0.1],
        [1.0, math.nan, 0.1],
        [1.0, 1.0],
    ],
)
def test_bad_parameters_are_refused_and_change_nothing(params):
    model = ck.TransmissionLineModel(1, 0, 2, 0, 0)
    model.SetParameters([2.0, 3.0, 0.5])
    with pytest.raises((ValueError, IndexError)):
        model.SetParameters(params)
    assert (model.delay, model.impedance, model.history_step) == (2.0, 3.0, 0.5)


@pytest.mark.parametrize(
    "delay, step, grid, samples",
    [
        (10.0, 0.1, 0.1, 103),
        (3.0, 0.025, 0.025, 123),
        (0.05, 0.1, 0.1, 4),
        (1e4, 0.1, 1e4 / 8189, 8192),
    ],
)
def test_history_grid_is_the_step_until_the_capacity_is_reached(delay, step, grid, samples):
    """The grid is the step while one delay takes at most 8 189 samples; the
    history keeps one delay of samples and three more, so a short line holds
    little memory."""
    model = ck.TransmissionLineModel(1, 0, 2, 0, 0)
    model.SetParameters([delay, 1.0, step])
    assert model.grid == pytest.approx(grid)
    assert model.history_capacity == samples


def test_a_line_never_initialised_keeps_no_history_and_is_freed():
    """An object made without __init__ holds no history to free or read."""
    model = ck.TransmissionLineModel.__new__(ck.TransmissionLineModel)
    assert model.history_capacity == 0
    del model


def test_ports_see_the_wave_sent_one_delay_earlier():
    """Port 1 held at V = 1, port 2 open-circuit terminated by nothing: after
    accepted steps of 0.1 the RHS of port 2 carries w1(t - TD) / Z0 = 2 V1 / Z0."""
    h = Harness(2, elements=1)
    model = ck.TransmissionLineModel(1, 0, 2, 0, 0)
    model.SetParameters([0.5, 2.0, 0.1])
    model.InitModel(
        *[h.pos(r, c) for r, c in [(1, 1), (1, 0), (0, 1), (0, 0), (2, 2), (2, 0), (0, 2), (0, 0)]]
    )
    lxglobals.ElementList = [Element(model)]
    lxglobals.SourceElementList = []
    lxglobals.TotalElements, lxglobals.TotalSourceElements = 1, 0
    ck.InitElementModels()
    ck.BuildStaticMatrix(np.zeros(h.nnz))
    SP.TimeSteps = [0.1]
    lxglobals.NodeVoltage[:] = [1.0, 0.0]
    for _ in range(3):  # t = 0.1 .. 0.3: nothing has arrived at t = 0.4 yet
        ck.UpdateValues()
        b = np.zeros(2)
        SP.DX = np.zeros(2)
        ck.UpdateRHS(b)
        assert b[1] == 0.0
    for _ in range(3):  # from t = 0.6 on port 2 sees w1 = 2 V1 from t >= 0.1
        ck.UpdateValues()
    b = np.zeros(2)
    ck.UpdateRHS(b)
    assert b[1] == pytest.approx(-(0.0 - 2.0) / 2.0)
    assert lxglobals.ElementCurrent[0] == pytest.approx(1.0 / 2.0)


@pytest.mark.parametrize("step", [0.1, -1.0, math.nan, math.inf, 1e300])
def test_any_step_or_new_grid_after_a_history_keeps_the_state_finite(step):
    """Steps the driver never takes, and a grid made far finer after a history
    was kept, leave the model computing finite currents."""
    h = Harness(2, elements=1)
    model = ck.TransmissionLineModel(1, 0, 2, 0, 0)
    model.SetParameters([0.5, 2.0, 0.1])
    model.InitModel(*[h.pos(r, c) for r, c in [(1, 1), (1, 0), (0, 1), (0, 0)] * 2])
    lxglobals.ElementList = [Element(model)]
    lxglobals.SourceElementList = []
    lxglobals.TotalElements, lxglobals.TotalSourceElements = 1, 0
    ck.InitElementModels()
    ck.BuildStaticMatrix(np.zeros(h.nnz))
    lxglobals.NodeVoltage[:] = [1.0, -1.0]
    SP.TimeSteps = [0.1]
    for _ in range(20):
        ck.UpdateValues()
    SP.TimeSteps = [step]
    ck.UpdateValues()
    model.SetParameters([1e-300, 2.0, 1e-300])
    for _ in range(3):
        ck.UpdateValues()
        b = np.zeros(2)
        ck.UpdateRHS(b)
        assert np.isfinite(b).all() and np.isfinite(lxglobals.ElementCurrent).all()
