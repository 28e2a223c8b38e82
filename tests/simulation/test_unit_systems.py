"""One Circuit in two unit systems: an SI circuit runs the very numbers of the
normalised circuit whose values are converted by hand, and its results speak SI."""

import math

import numpy as np
import pytest

import loxant
from loxant import Circuit, CircuitError, Units
from loxant.physical import PhysicalCircuit
from loxant.simulation import PhysicalResults
from loxant.simulation import simulate as simulate_described

IC0, R0 = 250e-6, 2.0
U = Units(IC0, R0)
S = U.scale  # SI size of one normalised unit


def _si_rf_squid(circuit):
    circuit.junction("J1", "a", "0", ic="250uA", beta_c=1.0, c="0.35pF", temp=4.2)
    circuit.inductor("L1", "a", "b", "6pH")
    circuit.resistor("R1", "b", "0", "1ohm")
    circuit.current_source("I1", "0", "a", [("0ps", 0), ("20ps", "300uA")])
    circuit.temperature = 1.5
    return circuit.simulate(t_stop="60ps", dt="0.05ps", seed=3)


def _normalised_rf_squid():
    """The same circuit, every value divided by its unit here."""
    c = Circuit(units="normalised")
    per_kelvin = 1.380649e-23 * 2 * math.pi / (2.067833848e-15 * IC0)
    cap = 0.35e-12 / S["F"]
    c.junction("J1", "a", "0", ic=1.0, r=math.sqrt(1.0 / cap), c=cap, temp=4.2 * per_kelvin)
    c.inductor("L1", "a", "b", 6e-12 / S["H"])
    c.resistor("R1", "b", "0", 1.0 / S["ohm"])
    c.current_source("I1", "0", "a", loxant.PWL([(0, 0), (20e-12 / S["s"], 300e-6 / IC0)]))
    c.temperature = 1.5 * per_kelvin
    return c.simulate(60e-12 / S["s"], 0.05e-12 / S["s"], seed=3)


@pytest.mark.parametrize(
    "build",
    [
        lambda: Circuit("rf", ic0="250uA", r0="2ohm"),
        lambda: Circuit("rf", units="SI", ic0=IC0, r0=R0),
    ],
)
def test_si_circuit_runs_the_hand_normalised_numbers(build):
    si, norm = _si_rf_squid(build()), _normalised_rf_squid()
    assert (si.system, norm.system) == ("SI", "normalised")
    np.testing.assert_allclose(si.normalised.phase("J1"), norm.phase("J1"), rtol=1e-12, atol=1e-12)
    cases = [  # (SI accessor, normalised series, SI size of its unit)
        (si.time("ps"), norm.time, S["s"] * 1e12),
        (si.time, norm.time, S["s"]),
        (si.voltage("J1", "mV"), norm.voltage("J1"), S["V"] * 1e3),
        (si.current("L1", "uA"), norm.current("L1"), IC0 * 1e6),
        (si.node_voltage("b"), norm.node_voltage("b"), S["V"]),
        (si.trace("V(a,b)")[1], norm.trace("V(a,b)"), S["V"]),
        (si.phase("J1"), norm.phase("J1"), 1.0),
    ]
    for got, expected, size in cases:
        np.testing.assert_allclose(got, expected * size, rtol=1e-9, atol=1e-9 * size)
    mean = si.average_voltage("J1", "30ps", "60ps", unit="uV")
    t = 1e-12 / S["s"]
    assert mean == pytest.approx(norm.average_voltage("J1", 30 * t, 60 * t) * S["V"] * 1e6)


def test_units_are_refused_where_they_mean_nothing():
    norm = Circuit(units="normalised")
    norm.resistor("R1", "a", "0", 1.0)
    norm.current_source("I1", "0", "a", 1.0)
    res = norm.simulate(1.0, 0.1)
    with pytest.raises(ValueError, match="normalised results take no unit"):
        res.voltage("R1", "mV")
    si = Circuit()
    si.resistor("R1", "a", "0", "1ohm")
    si.current_source("I1", "0", "a", "1uA")
    with pytest.raises(ValueError, match="not a current unit"):
        si.simulate("1ps", "0.1ps").current("R1", "mV")
    with pytest.raises(TypeError, match="SI circuit"):  # kelvin read as normalised otherwise
        simulate_described(si, 1.0, 0.1)
    with pytest.raises(CircuitError, match="units is 'SI' or 'normalised'"):
        Circuit(units="normalized")
    with pytest.raises(CircuitError, match="give exactly two of r, c and beta_c"):
        si.junction("J1", "a", "0", ic="100uA", r="2ohm", c="1pF", beta_c=1.0)
    with pytest.raises(CircuitError, match="J2: give ic"):
        si.junction("J2", "a", "0", r="2ohm", c="1pF")
    assert "J1" not in si and "J2" not in si  # nothing half-added


def test_deprecated_aliases_keep_their_callers_working():
    with pytest.warns(DeprecationWarning):
        pc = PhysicalCircuit("250uA", "2ohm", "old")
    assert isinstance(pc, Circuit) and pc.system == "SI" and pc.title == "old"
    pc.junction("J1", "a", "0", ic="250uA", r="2ohm", c="0.35pF")
    pc.current_source("I1", "0", "a", "300uA")
    res = loxant.simulate(pc, "20ps", "0.05ps")
    with pytest.warns(DeprecationWarning):
        old = PhysicalResults(res.normalised, pc.units)
    unit, values = old.trace("V(J1)")
    assert unit == "V" and np.array_equal(values, res.trace("V(J1)")[1])
    assert np.array_equal(old.time("ps"), res.time("ps"))
