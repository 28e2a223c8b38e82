"""Junctions with a knee in their shunt (RSJN) and with a shifted current-phase
relation (RSJPH) in small circuits, against independent ODE integrations and
steady states solved by SciPy."""

import numpy as np
import pytest

pytest.importorskip(
    "loxant.CircuitKernel", reason="the native module loxant.CircuitKernel is not built"
)
pytest.importorskip(
    "loxant.SparseDirect", reason="the native module loxant.SparseDirect is not built"
)
solve_ivp = pytest.importorskip("scipy.integrate").solve_ivp
brentq = pytest.importorskip("scipy.optimize").brentq

from loxant.circuit import Circuit
from loxant.waveforms import PWL

# Junction terminals and the current source that feeds the junction current
# from its first terminal to its second, for either terminal grounded.
ORIENTATIONS = {
    "node to ground": (("a", "0"), ("0", "a")),
    "ground to node": (("0", "a"), ("a", "0")),
}


def knee_current(v, r, v0, p):
    """Current of the nonlinear shunt: G(v) v with G = x / ((1 + x) r), x = (v / v0)^p."""
    x = (v / v0) ** p
    return x * v / ((1 + x) * r)


def junction_reference(times, bias, c, shunt, phase_shift=0.0):
    """Phase psi of c psi'' + shunt(psi') + sin(psi + shift) = bias from rest, by SciPy."""

    def rhs(t, y):
        return [y[1], (bias - np.sin(y[0] + phase_shift) - shunt(y[1])) / c]

    solution = solve_ivp(
        rhs, (0.0, times[-1]), [0.0, 0.0], t_eval=times, method="DOP853", rtol=1e-12, atol=1e-12
    )
    return solution.y[0]


@pytest.mark.parametrize("orientation", ORIENTATIONS.values(), ids=list(ORIENTATIONS))
def test_rsjn_trajectory_matches_an_independent_integration(orientation):
    junction_nodes, source_nodes = orientation
    bias, c, r, v0, p = 1.4, 0.8, 1.0, 1.2, 10
    circuit = Circuit(units="normalised")
    circuit.junction_rsjn("J1", *junction_nodes, ic=1.0, r=r, c=c, v0=v0, p=p)
    circuit.current_source("I1", *source_nodes, bias)
    res = circuit.simulate(t_stop=30.0, dt=0.005, record_every=20)
    reference = junction_reference(res.time, bias, c, lambda v: knee_current(v, r, v0, p))
    assert np.abs(res.phase("J1") - reference).max() < 2e-3


@pytest.mark.parametrize("orientation", ORIENTATIONS.values(), ids=list(ORIENTATIONS))
@pytest.mark.parametrize("theta", [0.7, -2.0])
def test_rsjph_trajectory_matches_an_independent_integration(orientation, theta):
    junction_nodes, source_nodes = orientation
    bias, c, r = 1.3, 0.5, 1.0
    circuit = Circuit(units="normalised")
    circuit.junction_rsjph("J1", *junction_nodes, ic=1.0, r=r, c=c, theta=theta)
    circuit.current_source("I1", *source_nodes, bias)
    res = circuit.simulate(t_stop=30.0, dt=0.005, record_every=20)
    reference = junction_reference(res.time, bias, c, lambda v: v / r, phase_shift=theta)
    # the junction reports its phase with the shift included
    assert np.abs(res.phase("J1") - (reference + theta)).max() < 2e-3


@pytest.mark.parametrize("bias_over_knee", [0.5, 1.0, 1.3])
def test_rsjn_without_supercurrent_settles_on_its_shunt_curve(bias_over_knee):
    # Ic = 0 leaves a nonlinear R-C branch: a DC bias I ends at the V with
    # G(V) V = I, which is V0 itself at I = V0 / 2R.
    r, v0, p = 2.0, 1.5, 10
    bias = bias_over_knee * v0 / (2 * r)
    circuit = Circuit(units="normalised")
    circuit.junction_rsjn("J1", "a", "0", ic=0.0, r=r, c=0.5, v0=v0, p=p)
    circuit.current_source("I1", "0", "a", bias)
    res = circuit.simulate(t_stop=40.0, dt=0.01, record_every=10)
    expected = brentq(lambda v: knee_current(v, r, v0, p) - bias, 0.0, 10 * v0)
    assert res.voltage("J1")[-1] == pytest.approx(expected, rel=1e-6)
    assert res.current("J1")[-1] == pytest.approx(bias, rel=1e-6)


def test_rsjn_running_state_sits_near_the_knee():
    # Above Ic the junction switches to a running state whose mean voltage is
    # fixed by the shunt, close to the knee, far below the ohmic I R.
    bias, r, c, v0, p = 1.5, 0.1, 5.0, 4.3, 10
    circuit = Circuit(units="normalised")
    circuit.junction_rsjn("J1", "a", "0", ic=1.0, r=r, c=c, v0=v0, p=p)
    circuit.current_source("I1", "0", "a", bias)
    res = circuit.simulate(t_stop=60.0, dt=0.01, record_every=5)
    on_shunt = brentq(lambda v: knee_current(v, r, v0, p) - bias, 0.0, 10 * v0)
    assert on_shunt < v0
    assert res.average_voltage("J1", 30.0, 60.0) == pytest.approx(on_shunt, rel=5e-3)


@pytest.mark.parametrize("kick", [0.3, -0.3])
def test_pi_junction_loop_holds_a_spontaneous_current(kick):
    # A pi junction closed by an inductor L > 1: phi = 0 is unstable and the
    # loop settles where phi = L sin(phi), carrying phi / L without any bias.
    inductance = 3.0
    circuit = Circuit(units="normalised")
    circuit.junction_rsjph("J1", "a", "0", ic=1.0, r=1.0, c=0.5, theta=np.pi)
    circuit.inductor("L1", "a", "0", inductance)
    circuit.current_source("I1", "0", "a", PWL([(0, 0), (1, kick), (2, 0)]))
    res = circuit.simulate(t_stop=60.0, dt=0.01, record_every=10)
    phi = np.sign(kick) * brentq(lambda x: x - inductance * np.sin(x), 1.0, np.pi)
    assert res.node_phase("a")[-1] == pytest.approx(phi, rel=1e-6)
    assert res.current("L1")[-1] == pytest.approx(phi / inductance, rel=1e-6)
    # the junction carries the loop current back: its shifted phase is phi + pi
    assert res.current("J1")[-1] == pytest.approx(-phi / inductance, rel=1e-6)
    assert res.phase("J1")[-1] == pytest.approx(phi + np.pi, rel=1e-6)
