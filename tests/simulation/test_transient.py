import csv

import numpy as np
import pytest

kernel = pytest.importorskip(
    "loxant.CircuitKernel", reason="the native module loxant.CircuitKernel is not built"
)
pytest.importorskip(
    "loxant.SparseDirect", reason="the native module loxant.SparseDirect is not built"
)

from loxant.circuit import Circuit
from loxant.errors import CircuitError, ConvergenceError, SingularMatrixError
from loxant.simulation import simulate
from loxant.waveforms import PWL


def _require(*names):
    missing = [name for name in names if not hasattr(kernel, name)]
    if missing:
        pytest.skip(f"this build of CircuitKernel lacks {', '.join(missing)}")


def _biased_junction(bias=1.5, c=0.5):
    circuit = Circuit(units="normalised")
    circuit.junction("J1", "a", "0", ic=1.0, r=1.0, c=c)
    circuit.current_source("I1", "0", "a", bias)
    return circuit


def test_every_node_balances_its_currents():
    """Currents reported in the user's orientation obey Kirchhoff's current law,
    whichever way round each element was declared."""
    _require(
        "ResistorModel",
        "InductorModel",
        "InductorImpedanceModel",
        "CapacitorModel",
        "JunctionRSJPHModel",
        "PhaseSourceModel",
        "VoltageSourceModel",
    )
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.3)
    c.junction("J2", "0", "b", ic=0.8, r=1.5, c=0.2)
    c.junction_rsjph("J3", "0", "c", ic=0.6, r=1.0, c=0.2, theta=1.0)
    c.inductor("L1", "a", "b", 2.0)
    c.inductor("L2", "c", "b", 1.0, branch=True)
    c.capacitor("C1", "a", "c", 0.5)
    c.resistor("R1", "d", "c", 2.0)
    c.current_source("I1", "0", "a", PWL([(0, 0), (5, 1.4)]))
    c.current_source("I2", "b", "0", -0.3)
    c.current_source("I3", "b", "c", 0.2)
    c.phase_source("P1", "e", "0", PWL([(0, 0), (10, 3.0)]))
    c.inductor("L3", "e", "d", 1.5)
    c.voltage_source("V1", "0", "f", 0.05)
    c.resistor("R2", "f", "a", 4.0)
    # The balance left is the Newton residual: the matrix (up to C / dt**2, 5e3
    # here) times the correction left, which the default tolerances (1e-9 rad, or
    # a tenth of the step's local error) let reach 1e-6; solved tighter.
    res = simulate(c, t_stop=20.0, dt=0.02, abstol=1e-12, reltol=1e-12)
    for node in c.nodes:
        balance = np.zeros(len(res))
        for element in c:
            first, second = element.nodes
            if first == node:
                balance += res.current(element.name)
            if second == node:
                balance -= res.current(element.name)
        np.testing.assert_allclose(balance[1:], 0.0, atol=1e-7, err_msg=f"node {node}")
    for element in c:
        first, second = element.nodes
        expected = res.node_phase(first) - res.node_phase(second)
        if element.name == "J3":
            expected = expected + 1.0  # the RSJPH junction reports its shifted phase
        np.testing.assert_allclose(res.phase(element.name), expected, atol=1e-9)
    np.testing.assert_allclose(res.phase("P1")[-1], 3.0, atol=1e-9)
    np.testing.assert_allclose(res.voltage("V1")[1:], 0.05, atol=1e-9)


def test_current_source_direction():
    """A source from ground into node a pushes the junction phase positive; the
    same source declared from a to ground pushes it negative."""
    up = simulate(_biased_junction(0.5), t_stop=60.0, dt=0.05)
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.5)
    c.current_source("I1", "a", "0", 0.5)
    down = simulate(c, t_stop=60.0, dt=0.05)
    assert up.phase("J1")[-1] == pytest.approx(np.arcsin(0.5), abs=1e-3)
    assert down.phase("J1")[-1] == pytest.approx(-np.arcsin(0.5), abs=1e-3)
    assert up.current("I1")[-1] == down.current("I1")[-1] == pytest.approx(0.5)
    assert up.phase("I1")[-1] == pytest.approx(-up.phase("J1")[-1])


def test_recording_options_and_csv(tmp_path):
    res = simulate(_biased_junction(), t_stop=10.0, dt=0.1, record_every=5, record_from=2.0)
    np.testing.assert_allclose(res.time, np.arange(2.0, 10.0 + 1e-9, 0.5), atol=1e-9)
    path = tmp_path / "out.csv"
    res.to_csv(path)
    with open(path) as stream:
        header = next(csv.reader(stream))
    table = np.loadtxt(path, delimiter=",", skiprows=1)
    assert header[:3] == ["time", "P(a)", "V(a)"]
    assert header[3:6] == ["I(J1)", "P(J1)", "V(J1)"]
    np.testing.assert_array_equal(table[:, 0], res.time)
    np.testing.assert_array_equal(table[:, header.index("P(J1)")], res.phase("J1"))
    full = simulate(_biased_junction(), t_stop=10.0, dt=0.1)
    assert full.time[0] == 0.0 and len(full) == 101
    np.testing.assert_allclose(full.phase("J1")[20::5], res.phase("J1"), atol=1e-12)


def test_turn_count_follows_the_phase():
    res = simulate(_biased_junction(2.0, c=0.1), t_stop=30.0, dt=0.02)
    phase, turns = res.phase("J1"), res.turn_count("J1")
    assert turns[-1] > 5
    np.testing.assert_array_equal(turns, np.round(phase / (2 * np.pi)).astype(int))


def test_initial_ramp_smooths_the_sources():
    res = simulate(_biased_junction(0.8), t_stop=20.0, dt=0.05, initial_ramp=10.0)
    current = res.current("I1")
    k = np.argmin(np.abs(res.time - 5.0))
    assert current[0] == 0.0
    assert current[k] == pytest.approx(0.4, rel=1e-6)
    assert np.all(current[res.time >= 10.0] == pytest.approx(0.8))


def test_failed_steps_are_retried_with_smaller_steps():
    reference = simulate(_biased_junction(1.2, c=0.05), t_stop=20.0, dt=0.005)
    res = simulate(_biased_junction(1.2, c=0.05), t_stop=20.0, dt=0.5, max_iterations=3)
    assert res.stats["rejected"] > 0
    assert res.time[-1] == pytest.approx(20.0)
    np.testing.assert_allclose(
        res.average_voltage("J1", 5.0, 20.0), reference.average_voltage("J1", 5.0, 20.0), rtol=0.05
    )


def test_convergence_failure_names_the_time():
    with pytest.raises(ConvergenceError, match="t = 0") as info:
        simulate(_biased_junction(), t_stop=1.0, dt=0.1, max_iterations=1, dt_min=0.1)
    assert info.value.time == 0.0


def test_singular_matrix_is_reported():
    _require("PhaseSourceModel")
    c = _biased_junction()
    c.phase_source("P1", "a", "0", 0.1)
    c.inductor("L0", "a", "0", 0.0, branch=True)  # a zero inductor shorts the source
    with pytest.raises(SingularMatrixError, match="t = 0"):
        simulate(c, t_stop=1.0, dt=0.1)


def test_missing_model_class_is_reported(monkeypatch):
    monkeypatch.delattr(kernel, "CapacitorModel", raising=False)
    c = _biased_junction()
    c.capacitor("C9", "a", "0", 1.0)
    with pytest.raises(NotImplementedError, match="CapacitorModel.*C9"):
        simulate(c, t_stop=1.0, dt=0.1)


def test_unknown_tjm_kernel_is_reported():
    _require("JunctionTJMModel")
    c = _biased_junction()
    c.junction_tjm("T1", "a", "0", model="no such kernel")
    with pytest.raises(CircuitError, match="no such kernel"):
        simulate(c, t_stop=1.0, dt=0.1)


def test_one_simulation_at_a_time():
    inner = _biased_junction()

    def nested(t):
        simulate(inner, t_stop=1.0, dt=0.1)
        return 1.0

    c = Circuit(units="normalised")
    c.resistor("R1", "a", "0", 1.0)
    c.current_source("I1", "0", "a", nested)
    with pytest.raises(RuntimeError, match="another simulation"):
        simulate(c, t_stop=1.0, dt=0.1)
    assert len(simulate(inner, t_stop=1.0, dt=0.1)) == 11
