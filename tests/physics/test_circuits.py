"""Small circuits with analytic steady states or trajectories."""

import numpy as np
import pytest

kernel = pytest.importorskip(
    "loxant.CircuitKernel", reason="the native module loxant.CircuitKernel is not built"
)
pytest.importorskip(
    "loxant.SparseDirect", reason="the native module loxant.SparseDirect is not built"
)
brentq = pytest.importorskip("scipy.optimize").brentq

from loxant.circuit import Circuit
from loxant.waveforms import PWL


def _require(*names):
    missing = [name for name in names if not hasattr(kernel, name)]
    if missing:
        pytest.skip(f"this build of CircuitKernel lacks {', '.join(missing)}")


@pytest.mark.parametrize("branch", [False, True], ids=["inductor", "branch inductor"])
def test_lc_tank_oscillates_at_its_resonance(branch):
    # C phi'' + phi / L = I0 from rest: phi = I0 L (1 - cos(t / sqrt(L C)))
    _require("CapacitorModel", "InductorModel", "InductorImpedanceModel")
    inductance, capacitance, bias = 2.0, 0.5, 0.3
    c = Circuit(units="normalised")
    c.inductor("L1", "a", "0", inductance, branch=branch)
    c.capacitor("C1", "a", "0", capacitance)
    c.current_source("I1", "0", "a", bias)
    res = c.simulate(t_stop=20.0, dt=0.005, record_every=4)
    omega = 1 / np.sqrt(inductance * capacitance)
    expected = bias * inductance * (1 - np.cos(omega * res.time))
    np.testing.assert_allclose(res.node_phase("a"), expected, atol=3e-4)
    np.testing.assert_allclose(res.current("L1"), res.node_phase("a") / inductance, atol=1e-9)


@pytest.mark.parametrize("k", [0.5, -0.5])
def test_coupled_inductors_with_a_closed_secondary(k):
    # primary: phase source across L1; secondary: L2 in a loop with L3.
    # phi = L1 I1 + M I2 and 0 = (L2 + L3) I2 + M I1
    _require("PhaseSourceModel", "InductorImpedanceModel", "MutualInductanceModel")
    l1, l2, l3, phase = 2.0, 1.0, 0.5, 1.2
    m = k * np.sqrt(l1 * l2)
    c = Circuit(units="normalised")
    c.phase_source("P1", "a", "0", PWL([(0, 0), (5, phase)]))
    c.inductor("L1", "a", "0", l1)
    c.inductor("L2", "b", "0", l2)
    c.inductor("L3", "b", "0", l3)
    c.mutual("K1", "L1", "L2", k=k)
    res = c.simulate(t_stop=6.0, dt=0.01)
    i1 = phase / (l1 - m * m / (l2 + l3))
    i2 = -m * i1 / (l2 + l3)
    assert res.current("L1")[-1] == pytest.approx(i1, rel=1e-9)
    assert res.current("L2")[-1] == pytest.approx(i2, rel=1e-9)
    assert res.current("L3")[-1] == pytest.approx(-i2, rel=1e-9)
    assert res.current("P1")[-1] == pytest.approx(-i1, rel=1e-9)


def test_voltage_source_drives_a_resistor_and_winds_its_phase():
    _require("VoltageSourceModel", "ResistorModel")
    c = Circuit(units="normalised")
    c.voltage_source("V1", "a", "0", 0.3)
    c.resistor("R1", "a", "0", 2.0)
    res = c.simulate(t_stop=100.0, dt=0.05)
    t = res.time[1:]
    np.testing.assert_allclose(res.current("R1")[1:], 0.15, rtol=1e-9)
    np.testing.assert_allclose(res.phase("V1")[1:], 0.3 * t, rtol=1e-9)
    np.testing.assert_array_equal(res.turn_count("V1")[1:], np.round(0.3 * t / (2 * np.pi)))


@pytest.mark.parametrize("bias", [0.1, 0.5, 3.0])
def test_rsjn_shunt_sets_the_voltage_of_a_junction_without_supercurrent(bias):
    # Ic = 0: the steady voltage solves G(V) V = bias with G = x / ((1 + x) R), x = (V/V0)^p
    _require("JunctionRSJNModel")
    c = Circuit(units="normalised")
    c.junction_rsjn("J1", "a", "0", ic=0.0, r=1.0, c=1.0, v0=1.0, p=10)
    c.current_source("I1", "0", "a", bias)
    res = c.simulate(t_stop=40.0, dt=0.01)

    def shunt(v):
        x = v**10
        return x * v / (1 + x) - bias

    assert res.voltage("J1")[-1] == pytest.approx(brentq(shunt, 1e-3, 10.0), rel=1e-6)


@pytest.mark.parametrize("bias", [0.0, 0.5])
@pytest.mark.parametrize("grounded_first", [False, True])
def test_shifted_junction_settles_where_its_supercurrent_carries_the_bias(bias, grounded_first):
    # I = sin(phase + theta) in the declared orientation, whichever node is ground
    _require("JunctionRSJPHModel")
    theta = 0.7
    c = Circuit(units="normalised")
    if grounded_first:
        c.junction_rsjph("J1", "0", "a", ic=1.0, r=1.0, c=0.5, theta=theta)
        through = -bias
    else:
        c.junction_rsjph("J1", "a", "0", ic=1.0, r=1.0, c=0.5, theta=theta)
        through = bias
    c.current_source("I1", "0", "a", bias)
    res = c.simulate(t_stop=60.0, dt=0.02)
    assert res.current("J1")[-1] == pytest.approx(through, abs=1e-7)
    assert res.phase("J1")[-1] == pytest.approx(np.arcsin(through), abs=1e-6)
    node = np.arcsin(through) - theta
    assert res.node_phase("a")[-1] == pytest.approx(-node if grounded_first else node, abs=1e-6)


TEST_KERNEL = (
    [1.0 + 0.5j, 0.2 + 0.1j],
    [-0.4 - 0.1j, 0.1 + 0.2j],
    [-1.0 + 0.5j, -0.5 + 1.0j],
)


@pytest.mark.parametrize("amplitude", [1.0, 2.0])
def test_tunnel_junction_carries_a_dc_supercurrent_of_its_amplitude(amplitude):
    # at rest the kernel's pair term reduces to amplitude * sin(phase)
    _require("JunctionTJMModel")
    c = Circuit(units="normalised")
    c.junction_tjm(
        "T1", "a", "0", model="two-term test kernel", amplitude=amplitude, c=1.0, kernel=TEST_KERNEL
    )
    c.current_source("I1", "0", "a", 0.5 * amplitude)
    res = c.simulate(t_stop=80.0, dt=0.02, initial_ramp=20.0)
    assert res.phase("T1")[-1] == pytest.approx(np.arcsin(0.5), abs=1e-4)
    assert res.current("T1")[-1] == pytest.approx(0.5 * amplitude, abs=1e-6)
    assert abs(res.voltage("T1")[-1]) < 1e-5
