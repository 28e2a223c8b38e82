"""Numbering, sparsity pattern and matrix positions (no native modules needed)."""

import numpy as np
import pytest

from loxant.circuit import Circuit
from loxant.errors import CircuitError
from loxant.simulation.assembly import System


def _mixed():
    c = Circuit(units="normalised")
    c.junction("J1", "a", 0, c=1.0)
    c.resistor("R1", "a", "b", 2.0)
    c.phase_source("P1", "b", 0, 1.0)
    c.current_source("I1", 0, "a", 1.0)
    c.inductor("L1", "a", "b", 3.0, branch=True)
    return c


def test_pattern_and_positions_of_a_small_circuit():
    # unknowns: a = 1, b = 2, current of P1 = 3, current of L1 = 4; 0-based
    # columns hold rows {0, 1, 3}, {0, 1, 2, 3}, {1}, {0, 1, 3}
    system = System(_mixed())
    assert system.size == 4
    assert list(system.Ap) == [0, 3, 7, 8, 11]
    assert list(system.Ai) == [0, 1, 3, 0, 1, 2, 3, 1, 0, 1, 3]
    positions = {e.name: e.positions for e in system.elements}
    assert positions == {
        "J1": (0, 0, 0, 0),  # ii only: j is ground
        "R1": (0, 3, 1, 4),  # ii, ij, ji, jj
        "P1": (7, 0, 5, 0),  # iq, jq, qi, qj with j grounded
        "I1": (0, 0, 0, 0),  # a current source enters no matrix
        "L1": (8, 9, 2, 6, 10),  # iq, jq, qi, qj, qq
    }


@pytest.mark.parametrize("seed", range(5))
def test_random_circuits_give_valid_compressed_columns(seed):
    rng = np.random.default_rng(seed)
    c = Circuit(units="normalised")
    names = [f"n{k}" for k in range(6)]
    for k, name in enumerate(names):
        c.junction(f"J{k}", name, 0, c=1.0)
    held = set()  # nodes a voltage source holds: one each, to ground, closes no loop

    def voltage_source(n, a, b):
        if a in held or a == "0":
            return c.resistor(n, a, b, 1.0)
        held.add(a)
        return c.voltage_source(n, a, "0", 1.0)

    adders = [
        lambda n, a, b: c.resistor(n, a, b, 1.0),
        lambda n, a, b: c.inductor(n, a, b, 1.0, branch=bool(rng.integers(2))),
        lambda n, a, b: c.capacitor(n, a, b, 1.0),
        voltage_source,
        lambda n, a, b: c.junction_rsjph(n, a, b, c=1.0, theta=0.3),
    ]
    for k in range(12):
        a, b = rng.choice(names + ["0"], size=2, replace=False)
        adders[rng.integers(len(adders))](f"E{k}", a, b)
    system = System(c)
    ap, ai = np.array(system.Ap), np.array(system.Ai)
    assert ap[0] == 0 and ap[-1] == system.nnz == len(ai)
    for col in range(system.size):
        rows = ai[ap[col] : ap[col + 1]]
        assert len(rows) > 0 and np.all(np.diff(rows) > 0)
        assert rows.min() >= 0 and rows.max() < system.size
    # a symmetric stamp everywhere: the pattern is structurally symmetric
    dense = system.dense(np.ones(system.nnz))
    assert np.array_equal(dense != 0, dense.T != 0)


@pytest.mark.parametrize(
    "build",
    [
        lambda c: c.inductor("L1", "a", "b", 1.0),
        lambda c: (c.junction("J1", "a", 0, c=1), c.current_source("I1", "a", "b", 1)),
        lambda c: (
            c.inductor("L1", "a", 0, 1.0),
            c.inductor("L2", "b", "c", 1.0),
            c.mutual("K1", "L1", "L2", k=0.5),
        ),
    ],
    ids=["isolated inductor", "only a current source", "only magnetic coupling"],
)
def test_nodes_without_a_path_to_ground_are_reported(build):
    c = Circuit(units="normalised")
    build(c)
    with pytest.raises(CircuitError, match="no path to ground"):
        System(c)


def test_empty_circuit_is_rejected():
    with pytest.raises(CircuitError, match="no elements"):
        System(Circuit(units="normalised"))
