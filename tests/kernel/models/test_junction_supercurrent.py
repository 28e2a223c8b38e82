"""The supercurrent law of JunctionModel and JunctionGapModel set by SetSupercurrent:
harmonics, a phase offset and Haberkorn's relation of a contact of transparency D.

The oracle evaluates Haberkorn's formula as published (pi Delta / (2 e Rn) times
sin x / s tanh(Delta s / (2 kT)), s = sqrt(1 - D sin^2(x/2))), with the amplitude
pi Delta / (2 e Rn) = Ic / tanh(Delta / 2kT) of the Ambegaokar-Baratoff relation;
the slopes are checked against central differences of the oracle.
"""

import math

import numpy as np
import pytest

from harness import Harness
from loxant import CircuitKernel as ck
from loxant import SimulationParameters as SP

IC = 1.7
CLASSES = {
    "JunctionModel": [IC, 3.0, 0.2],
    "JunctionGapModel": [IC, 8.0, 1.5, 0.2, 3.0, 0.2, 0.7],
}

LAWS = [  # (phi0, D, b, harmonics)
    (0.0, 0.0, 0.0, [1.0]),
    (math.pi, 0.0, 0.0, [1.0]),
    (0.4, 0.0, 0.0, [0.9, 0.1]),
    (-1.1, 0.0, 0.0, [0.5, -0.3, 0.2, 0.05]),
    (0.0, 0.9, 1.85, [1.0]),
    (0.3, 0.5, 0.7, [0.8, 0.2]),
    (0.0, 0.99, 40.0, [1.0]),
]


def haberkorn(x, d, b):
    """Haberkorn's relation per unit Ic (its D -> 0 amplitude)."""
    if d == 0:
        return math.sin(x)
    s = math.sqrt(1 - d * math.sin(x / 2) ** 2)
    return math.sin(x) / s * math.tanh(b * s) / math.tanh(b)


def oracle(phase, law):
    phi0, d, b, harmonics = law
    return IC * sum(a * haberkorn(k * (phase - phi0), d, b) for k, a in enumerate(harmonics, 1))


def install(name, i, j, law):
    h = Harness(2)
    SP.InterpCoeffDt = [0.0]
    SP.InterpCoeffDDt = [0.0]
    model = getattr(ck, name)(i, j, 0)
    model.SetParameters(CLASSES[name])
    phi0, d, b, harmonics = law
    model.SetSupercurrent([phi0, d, b, *harmonics])
    model.InitModel(*h.positions((i, i), (i, j), (j, i), (j, j)))
    h.add(model)
    return h, model


def at_phase(h, node, phase):
    """B and A2 at the live node with the junction phase (node - ground) = phase."""
    phases = np.zeros(2)
    phases[node - 1] = phase
    h.set_state(phases, np.zeros(2), np.zeros(2))
    a2, b = h.update()
    return -b[node - 1], a2[node - 1, node - 1]


@pytest.mark.parametrize("name", sorted(CLASSES))
@pytest.mark.parametrize("law", LAWS)
def test_current_and_newton_slope_follow_the_law(name, law):
    h, model = install(name, 1, 0, law)
    for phase in np.linspace(-3.0, 3.0, 13):
        current, slope = at_phase(h, 1, phase)
        assert current == pytest.approx(oracle(phase, law), abs=1e-12)
        step = 1e-6
        numeric = (oracle(phase + step, law) - oracle(phase - step, law)) / (2 * step)
        assert slope == pytest.approx(numeric, rel=1e-6, abs=1e-8)
    assert model.harmonics == law[3]
    assert (model.phase_offset, model.transparency) == (law[0], law[1])


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_grounded_first_terminal_sees_the_law_from_its_live_node(name):
    # From ground to node 1 the law is evaluated at phi_1: the reader negates the
    # offset for such a junction, the model itself does not.
    law = (0.4, 0.5, 1.0, [0.9, 0.1])
    h, _ = install(name, 0, 1, law)
    phases = np.array([0.8, 0.0])
    h.set_state(phases, np.zeros(2), np.zeros(2))
    a2, b = h.update()
    assert -b[0] == pytest.approx(oracle(0.8, law), abs=1e-12)


@pytest.mark.parametrize("name", sorted(CLASSES))
@pytest.mark.parametrize(
    "items, error",
    [
        ([0.0, 0.0, 0.0], ValueError),  # no harmonic
        ([0.0, 0.0, 0.0] + [0.1] * 17, ValueError),  # too many
        ([0.0, 1.0, 1.0, 1.0], ValueError),  # D = 1
        ([0.0, -0.1, 1.0, 1.0], ValueError),
        ([0.0, 0.5, -1.0, 1.0], ValueError),
        ([math.nan, 0.0, 0.0, 1.0], ValueError),
        ([0.0, 0.0, 0.0, math.inf], ValueError),
        ([0.0, 0.0, 0.0, "a"], TypeError),
        (3.0, TypeError),
    ],
)
def test_bad_laws_are_refused_and_leave_the_law_unchanged(name, items, error):
    model = getattr(ck, name)(1, 0, 0)
    model.SetSupercurrent([0.2, 0.3, 1.0, 0.7, 0.3])
    with pytest.raises(error):
        model.SetSupercurrent(items)
    assert model.harmonics == [0.7, 0.3]
    assert (model.phase_offset, model.transparency, model.thermal_factor) == (0.2, 0.3, 1.0)


def test_a_new_law_is_not_masked_by_the_cached_supercurrent():
    h, model = install("JunctionModel", 1, 0, LAWS[0])
    at_phase(h, 1, 0.5)  # Admitance2 caches the value at 0.5
    model.SetSupercurrent([math.pi, 0.0, 0.0, 1.0])
    h.set_state(np.array([0.5, 0.0]), np.zeros(2), np.zeros(2))
    assert -h.rhs()[0] == pytest.approx(IC * math.sin(0.5 - math.pi), abs=1e-12)
