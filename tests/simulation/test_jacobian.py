"""The assembled matrix A0 + A1 + A2 is the Jacobian of the current balance.

Builds small circuits, puts random phases and history into the shared state and
compares the matrix that the kernels stamp at the driver's positions with a
finite-difference Jacobian of the negative residual B that the kernels return.
A wrong position, a missing pattern entry or a wrong orientation shows up as a
mismatch.
"""

import numpy as np
import pytest

kernel = pytest.importorskip(
    "loxant.CircuitKernel", reason="the native module loxant.CircuitKernel is not built"
)

from loxant import SimulationParameters as SP
from loxant.circuit import Circuit
from loxant.simulation.assembly import System
from loxant.simulation.integrator import bdf_coefficients

ADD = {
    "resistor": lambda c, a, b: c.resistor("X", a, b, 0.7),
    "inductor": lambda c, a, b: c.inductor("X", a, b, 1.3),
    "branch inductor": lambda c, a, b: c.inductor("X", a, b, 1.3, branch=True),
    "capacitor": lambda c, a, b: c.capacitor("X", a, b, 0.4),
    "junction": lambda c, a, b: c.junction("X", a, b, ic=1.1, r=0.9, c=0.3),
    "rsjn": lambda c, a, b: c.junction_rsjn("X", a, b, ic=0.8, r=0.9, c=0.3, v0=1.0, p=4),
    "rsjph": lambda c, a, b: c.junction_rsjph("X", a, b, ic=1.1, r=0.9, c=0.3, theta=0.6),
    "phase source": lambda c, a, b: c.phase_source("X", a, b, 0.5),
    "voltage source": lambda c, a, b: c.voltage_source("X", a, b, 0.5),
    "current source": lambda c, a, b: c.current_source("X", a, b, 0.5),
}
TERMINALS = {"both live": ("a", "b"), "first grounded": ("0", "b"), "second grounded": ("a", "0")}


def _require(system):
    missing = {e.decl.model_name for e in system.elements} - set(dir(kernel))
    if missing:
        pytest.skip(f"this build of CircuitKernel lacks {', '.join(sorted(missing))}")


class Probe:
    """Drives the kernels at an arbitrary state of one step."""

    def __init__(self, circuit, seed=1, h=0.05, h_prev=0.04):
        self.system = system = System(circuit)
        _require(system)
        system.install(kernel)
        rng = np.random.default_rng(seed)
        n = system.size
        self.a = a0, a1, a2 = bdf_coefficients(h, h_prev)
        SP.InterpCoeffDt = [a0, a1, a2]
        SP.InterpCoeffDDt = [a0 * a0, a0 * a1, a0 * a2]
        SP.TimeSteps = [h, h_prev]
        SP.InitialSmoothFactor = 0.7
        SP.X = [rng.normal(size=n) for _ in range(3)]
        SP.Xind = 2
        SP.DXprev[:] = rng.normal(size=n)
        self.v2 = rng.normal(size=n)
        self.A0 = np.zeros(system.nnz)
        kernel.BuildStaticMatrix(self.A0)
        self.A1, self.A2, self.B = (np.zeros(system.nnz), np.zeros(system.nnz), np.zeros(n))
        self._derivatives()
        kernel.BuildMatrix(self.A1, self.A2, self.B)

    def _derivatives(self):
        a0, a1, a2 = self.a
        SP.DX[:] = a0 * SP.X[2] + a1 * SP.X[1] + a2 * SP.X[0]
        SP.DDX[:] = a0 * SP.DX + a1 * SP.DXprev + a2 * self.v2

    def rhs(self, phases):
        SP.X[2][:] = phases
        self._derivatives()
        self.A2.fill(0.0)
        self.B.fill(0.0)
        kernel.UpdateMatrix(self.A2, self.B)
        return self.B.copy()

    def jacobians(self, eps=1e-6):
        x = SP.X[2].copy()
        stamped = self.system.dense(self.A0 + self.A1 + self.A2)
        numeric = np.empty_like(stamped)
        for k in range(len(x)):
            step = np.zeros_like(x)
            step[k] = eps
            numeric[:, k] = -(self.rhs(x + step) - self.rhs(x - step)) / (2 * eps)
        self.rhs(x)
        return stamped, numeric


@pytest.mark.parametrize("where", TERMINALS, ids=list(TERMINALS))
@pytest.mark.parametrize("kind", ADD, ids=list(ADD))
def test_matrix_is_the_jacobian_of_the_residual(kind, where):
    c = Circuit(units="normalised")
    c.resistor("Ra", "a", "0", 2.0)
    c.resistor("Rb", "b", "0", 3.0)
    ADD[kind](c, *TERMINALS[where])
    stamped, numeric = Probe(c).jacobians()
    np.testing.assert_allclose(stamped, numeric, rtol=1e-6, atol=1e-6 * np.abs(stamped).max())


def test_coupled_inductors_and_a_mixed_circuit():
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.2)
    c.junction_rsjph("J2", "0", "b", ic=0.7, r=2.0, c=0.1, theta=2.0)
    c.inductor("L1", "a", "b", 2.0)
    c.inductor("L2", "b", "c", 1.5)
    c.inductor("L3", "c", "0", 0.5)
    c.mutual("K1", "L2", "L3", k=-0.6)
    c.capacitor("C1", "c", "a", 0.3)
    c.voltage_source("V1", "d", "a", 0.2)
    c.resistor("R1", "d", "0", 1.0)
    c.current_source("I1", "b", "d", 0.4)
    stamped, numeric = Probe(c, seed=7).jacobians()
    np.testing.assert_allclose(stamped, numeric, rtol=1e-6, atol=1e-6 * np.abs(stamped).max())


def test_hand_built_matrix_of_an_rlc_junction_cell():
    # J1 from a to ground, R1 a-b, C1 b-ground, L1 a-b: unknowns a = 1, b = 2
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=2.0, r=4.0, c=0.5)
    c.resistor("R1", "a", "b", 2.0)
    c.capacitor("C1", "b", "0", 3.0)
    c.inductor("L1", "a", "b", 0.25)
    probe = Probe(c)
    a0 = probe.a[0]
    phase_a = SP.X[2][0]
    g_r, g_l = a0 / 2.0, 1 / 0.25
    expected = np.array(
        [
            [a0 / 4.0 + 0.5 * a0**2 + 2.0 * np.cos(phase_a) + g_r + g_l, -g_r - g_l],
            [-g_r - g_l, g_r + g_l + 3.0 * a0**2],
        ]
    )
    stamped = probe.system.dense(probe.A0 + probe.A1 + probe.A2)
    np.testing.assert_allclose(stamped, expected, rtol=1e-12)
