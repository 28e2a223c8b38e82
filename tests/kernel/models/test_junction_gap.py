"""JunctionGapModel against an independent piecewise-linear quasiparticle law.

The oracle below is written from the dialect's description of the law (edges at
vg -+ delv/2; V/r0 below; across the window a rise of |ic| / icfct continuing the
subgap line; V/rn through the origin above), not from the model's lines; the model's held piece is set the way a time loop sets
it, by UpdateValues at an accepted voltage.
"""

import math
import pickle

import numpy as np
import pytest

from harness import Harness
from loxant import CircuitKernel as ck
from loxant import SimulationParameters as SP

IC, R0, RN, C, VG, DELV, ICFCT = 1.3, 8.0, 1.5, 0.4, 3.0, 0.2, 0.7
PARAMS = [IC, R0, RN, C, VG, DELV, ICFCT]
V1, V2 = VG - DELV / 2, VG + DELV / 2


def oracle(v):
    """(current, slope) of the quasiparticle branch at v."""
    a = abs(v)
    rise = IC / ICFCT
    if a < V1:
        i, g = a / R0, 1 / R0
    elif a < V2:
        i, g = V1 / R0 + rise * (a - V1) / DELV, rise / DELV
    else:
        i, g = a / RN, 1 / RN
    return math.copysign(i, v), g


def install(i, j, coeff_dt=2.0, coeff_ddt=5.0):
    h = Harness(2)
    SP.InterpCoeffDt = [coeff_dt]
    SP.InterpCoeffDDt = [coeff_ddt]
    model = ck.JunctionGapModel(i, j, 0)
    model.SetParameters(PARAMS)
    model.InitModel(*h.positions((i, i), (i, j), (j, i), (j, j)))
    h.add(model)
    return h, model


def node_values(i, j, v, phase=0.0, dv=0.0):
    """Per-node arrays giving the junction (i -> j) voltage v, phase and dV."""
    arrays = [np.zeros(2) for _ in range(3)]
    for arr, value in zip(arrays, (phase, v, dv)):
        if i:
            arr[i - 1] = value
        else:
            arr[j - 1] = -value
    return arrays


def accept(h, i, j, v):
    """UpdateValues at junction voltage v: the model holds v's piece."""
    h.set_nodes(*node_values(i, j, v))
    return h.values()


@pytest.mark.parametrize("i, j", [(1, 2), (2, 0), (0, 2)])
@pytest.mark.parametrize(
    "v", [0.0, 0.5, -2.0, V1 - 1e-6, V1 + 0.05, -(V1 + 0.15), V2 + 1e-6, 4.5, -6.0]
)
def test_current_and_slope_follow_the_piece_of_the_accepted_voltage(i, j, v):
    h, model = install(i, j)
    accept(h, i, j, v)
    phase, dv = 0.7, -0.3
    h.set_state(*node_values(i, j, v, phase, dv))
    a1, a2, b = h.build()
    current, slope = oracle(v)
    expected = IC * math.sin(phase) + current + C * dv
    live = i or j
    sign = 1 if i else -1  # B of the live node: minus the current leaving it
    assert b[live - 1] == pytest.approx(-sign * expected, rel=1e-12, abs=1e-12)
    assert a2[live - 1, live - 1] == pytest.approx(IC * math.cos(phase) + 2.0 * slope, rel=1e-12)
    assert a1[live - 1, live - 1] == pytest.approx(C * 5.0)
    if i and j:
        assert a2[0, 1] == a2[1, 0] == -a2[0, 0]
    # Values reports the current of the held piece, signed by the terminal order
    h.set_nodes(*node_values(i, j, v, phase, dv))
    reported, shown_phase, voltage, *_ = h.values()
    assert reported == pytest.approx(expected, rel=1e-12, abs=1e-12)
    assert (shown_phase, voltage) == pytest.approx((phase, v))


@pytest.mark.parametrize("held, piece", [(0.0, 0), (V1 + 0.1, 1), (5.0, 2), (-5.0, -2)])
def test_the_piece_is_held_through_every_newton_iterate(held, piece):
    h, model = install(1, 0)
    accept(h, 1, 0, held)
    assert model.piece == piece
    current, slope = oracle(held)
    for trial in (0.1, V1 + 0.05, 7.0, -7.0):  # iterates anywhere: the held line
        h.set_state(*node_values(1, 0, trial))
        a2, b = h.update()
        assert -b[0] == pytest.approx(current + slope * (trial - held), abs=1e-12)
        assert a2[0, 0] == pytest.approx(IC + 2.0 * slope)
        assert model.piece == piece
    model.SetParameters(PARAMS)  # new parameters keep the piece
    assert model.piece == piece


def test_the_rise_joins_the_subgap_line_and_the_normal_line_passes_the_origin():
    h, model = install(1, 0)

    def current_at(v, held):
        accept(h, 1, 0, held)
        h.set_state(*node_values(1, 0, v))
        return -h.rhs()[0]

    for sign in (1, -1):
        below, above = (
            current_at(sign * V1, sign * (V1 - 1e-9)),
            current_at(sign * V1, sign * (V1 + 1e-9)),
        )
        assert below == pytest.approx(above, abs=1e-12)
        assert below == pytest.approx(sign * V1 / R0, abs=1e-12)
        top = current_at(sign * V2, sign * (V2 - 1e-9))
        assert top == pytest.approx(sign * (V1 / R0 + IC / ICFCT), abs=1e-12)
        # the normal line extended back to v = 0 carries no current
        assert current_at(0.0, sign * (V2 + 1e-9)) == pytest.approx(0.0, abs=1e-12)
        assert current_at(sign * V2, sign * (V2 + 1e-9)) == pytest.approx(sign * V2 / RN)


def test_parameters_attributes_and_pickling():
    model = ck.JunctionGapModel(1, 0, 0)
    assert model.piece == 0 and model.critical_current == 0.0
    model.SetParameters([1, 2, 3, 4, 5, 6, 7])
    got = [
        model.critical_current,
        model.resistance,
        model.normal_resistance,
        model.capacitance,
        model.gap_voltage,
        model.gap_width,
        model.gap_factor,
    ]
    assert got == [1, 2, 3, 4, 5, 6, 7]
    with pytest.raises(TypeError):
        model.SetParameters([1, 2, 3, None])
    assert model.capacitance == 4  # item 3 failed: its field kept its value
    with pytest.raises(IndexError):
        model.SetParameters([1.0])
    with pytest.raises(TypeError, match="node_dvoltages"):
        pickle.dumps(model)
