import importlib.util
import math

import numpy as np
import pytest

from loxant import Circuit
from loxant.errors import CircuitError
from loxant.units import Units, from_si, shunt_resistance, to_si
from loxant.waveforms import PWL, Pulse

native = pytest.mark.skipif(
    importlib.util.find_spec("loxant.CircuitKernel") is None
    or importlib.util.find_spec("loxant.SparseDirect") is None,
    reason="the native modules are not built",
)

PHI0 = 2.067833848e-15


@pytest.mark.parametrize(
    ("value", "unit", "si"),
    [
        ("250uA", "A", 250e-6),
        ("0.7mA", "A", 0.7e-3),
        ("-0.3 mA", "A", -0.3e-3),
        ("250u", "A", 250e-6),
        ("5\u00b5V", "V", 5e-6),
        ("5\u03bcV", "V", 5e-6),
        ("3pH", "H", 3e-12),
        ("1.2 ohm", "ohm", 1.2),
        ("2 Ohms", "ohm", 2.0),
        ("10 k\u03a9", "ohm", 1e4),
        ("0.35 pF", "F", 0.35e-12),
        ("2ps", "s", 2e-12),
        ("1e-12", "s", 1e-12),
        (".5ns", "s", 0.5e-9),
        ("1.5 GHz", "Hz", 1.5e9),
        (3, "pH", 3e-12),
        ("3", "pH", 3e-12),
        ("4 fF", "pF", 4e-15),
        (0.25, "A", 0.25),
    ],
)
def test_values_are_read_in_si_units(value, unit, si):
    assert to_si(value, unit) == pytest.approx(si, rel=1e-15)


@pytest.mark.parametrize(
    ("value", "unit", "message"),
    [
        ("250uV", "A", "is a voltage, expected a current"),
        ("3pF", "H", "is a capacitance, expected an inductance"),
        ("3ph", "H", "unknown unit 'ph'"),
        ("3 pX", "H", "unknown unit 'pX'"),
        ("1.2.3A", "A", "unknown unit '.3A'"),
        ("abc", "A", "cannot read 'abc' as a current"),
        ("", "s", "cannot read '' as a time"),
        ("nan", "A", "cannot read"),
        ("1e400 A", "A", "finite"),
        (math.inf, "A", "finite"),
        ("1 mA", "mX", "unknown unit 'mX'"),
        ("1", "m", "names no quantity"),
    ],
)
def test_bad_values_raise_a_clear_value_error(value, unit, message):
    with pytest.raises(ValueError, match=message):
        to_si(value, unit)


@pytest.mark.parametrize("value", [None, True, [1.0]])
def test_values_of_the_wrong_type_raise_type_error(value):
    with pytest.raises(TypeError, match="current"):
        to_si(value, "A")


def test_normalised_units_of_a_reference_junction():
    # Ic0 = 100 uA, R0 = 10 ohm: Ic0 R0 = 1 mV, Phi0 / 2 pi = 3.29106e-16 Wb
    units = Units(ic0="100uA", r0="10ohm")
    expected = {
        "ps": 0.329106,
        "mV": 1.0,
        "uA": 100.0,
        "pH": 3.29106,
        "fF": 32.9106,
        "ohm": 10.0,
        "GHz": 1e3 / 0.329106,
    }
    for unit, value in expected.items():
        assert units.from_normalised(1.0, unit) == pytest.approx(value, rel=2e-6), unit


@pytest.mark.parametrize("unit", ["ps", "mV", "uA", "pH", "pF", "kohm", "rad"])
def test_round_trip(unit):
    units = Units(ic0="250uA", r0="3ohm")
    values = np.array([-2.5, 0.0, 1e-3, 7.25, 1e4])
    normalised = np.array([units.to_normalised(v, unit) for v in values])
    np.testing.assert_allclose(units.from_normalised(normalised, unit), values, rtol=1e-14)
    np.testing.assert_allclose(from_si(np.array([to_si(v, unit) for v in values]), unit), values)
    assert units.to_normalised(f"7.25 {unit}", unit.lstrip("pmuk")) == pytest.approx(
        normalised[3], rel=1e-15
    )


def test_shunt_resistance_gives_the_asked_mccumber_parameter():
    r = shunt_resistance("250uA", "0.14pF", beta_c=1.0)
    assert 2 * math.pi * 250e-6 * r**2 * 0.14e-12 / PHI0 == pytest.approx(1.0, rel=1e-12)


@pytest.mark.parametrize(
    ("build", "message"),
    [
        (lambda p: p.inductor("L1", "a", "0", "3pF"), "inductance of L1: .* is a capacitance"),
        (lambda p: p.junction("J1", "a", "0", ic="1uA", c="1pF"), "exactly two"),
        (lambda p: p.junction("J1", "a", "0", ic="1uA", r=1, c=1e-12, beta_c=1), "exactly two"),
        (lambda p: p.current_source("I1", "0", "a", [("1ps",)]), "pairs"),
        (lambda p: p.current_source("I1", "0", "a", [("2ps", 0), ("1ps", 1)]), "decrease"),
        (lambda p: p.current_source("I1", "0", "a", "1mV"), "value of I1"),
    ],
)
def test_invalid_physical_declarations(build, message):
    with pytest.raises(CircuitError, match=message):
        build(Circuit(ic0="100uA", r0="10ohm"))


# The units of Ic0 = 100 uA and R0 = 10 ohm (checked above), to state a circuit twice
T0 = PHI0 / (2 * math.pi * 1e-3)
L0, C0 = 10 * T0, T0 / 10


@native
def test_physical_and_normalised_descriptions_agree():
    norm = Circuit(units="normalised")
    norm.current_source("Ib", "0", "a", PWL([(0, 0), (10, 1.4)]))
    norm.junction("J1", "a", "0", ic=0.8, r=1.25, c=0.5)
    norm.inductor("L1", "a", "b", 2.0)
    norm.junction("J2", "b", "0", ic=1.2, r=1.0, c=0.4)
    norm.capacitor("C1", "b", "c", 0.3)
    norm.resistor("R1", "c", "0", 2.0)
    norm.current_source("Ip", "0", "b", Pulse(0.0, 0.5, delay=20, rise=1, fall=1, width=3))
    norm.phase_source("P1", "d", "0", PWL([(0, 0), (31, 2 * math.pi)]))
    norm.inductor("L2", "d", "b", 4.0)
    expected = norm.simulate(t_stop=60.0, dt=0.02)

    phys = Circuit(ic0="100uA", r0="10ohm")
    phys.current_source("Ib", "0", "a", [(0, 0), (10 * T0, "140uA")])
    # normalised beta_c = ic r**2 c
    phys.junction("J1", "a", "0", ic="80uA", c=0.5 * C0, beta_c=0.8 * 1.25**2 * 0.5)
    phys.inductor("L1", "a", "b", 2 * L0)
    phys.junction("J2", "b", "0", ic="0.12 mA", r="10ohm", beta_c=1.2 * 0.4)
    phys.capacitor("C1", "b", "c", 0.3 * C0)
    phys.resistor("R1", "c", "0", "20 ohm")
    pulse = Pulse(0.0, 50e-6, delay=20 * T0, rise=T0, fall=T0, width=3 * T0)
    phys.current_source("Ip", "0", "b", pulse)
    phys.phase_source("P1", "d", "0", [("0ps", 0), (31 * T0, 2 * math.pi)])
    phys.inductor("L2", "d", "b", 4 * L0)
    got = phys.simulate(t_stop=60 * T0, dt=0.02 * T0)

    assert len(got) == len(expected)
    np.testing.assert_allclose(got.time("s"), expected.time * T0, rtol=1e-12)
    for name in ("J1", "J2", "L1", "C1", "R1", "Ip", "P1", "L2"):
        np.testing.assert_allclose(got.phase(name), expected.phase(name), rtol=0, atol=1e-9)
        np.testing.assert_allclose(got.voltage(name, "mV"), expected.voltage(name), atol=1e-9)
        np.testing.assert_allclose(got.current(name, "mA"), expected.current(name) / 10, atol=1e-9)
        np.testing.assert_array_equal(got.turn_count(name), expected.turn_count(name))
    assert got.turn_count("J2")[-1] != 0  # the phase source really drove a flux quantum in


@native
def test_lc_tank_period_in_picoseconds():
    phys = Circuit(ic0="100uA", r0="10ohm")
    phys.inductor("L1", "a", "0", "10pH")
    phys.capacitor("C1", "a", "0", "1pF")
    phys.current_source("I1", "0", "a", "50uA")
    res = phys.simulate(t_stop="100ps", dt="0.01ps")
    t, v = res.time("ps"), res.node_voltage("a", "uV")
    k = np.flatnonzero((v[:-1] < 0) & (v[1:] >= 0))  # upward zero crossings
    crossings = t[k] - v[k] * (t[k + 1] - t[k]) / (v[k + 1] - v[k])
    period = np.diff(crossings).mean()
    assert len(crossings) >= 4
    assert period == pytest.approx(2 * math.pi * math.sqrt(10e-12 * 1e-12) * 1e12, rel=5e-3)


@native
def test_overdamped_junction_obeys_ohm_and_josephson_in_physical_units():
    # V = R sqrt(I**2 - Ic**2), and the phase turns once per Phi0 / V
    phys = Circuit(ic0="250uA", r0="2ohm")
    phys.junction("J1", "a", "0", ic="100uA", r="10ohm", c=0)
    phys.current_source("I1", "0", "a", "200uA")
    res = phys.simulate(t_stop="60ps", dt="0.002ps", record_from="10ps")
    expected_mv = 100e-6 * 10 * math.sqrt(3) * 1e3
    assert res.average_voltage("J1", "20ps", "60ps", "mV") == pytest.approx(expected_mv, rel=5e-3)
    turns = res.turn_count("J1")
    slips = res.time("s")[np.flatnonzero(np.diff(turns))]
    assert np.diff(slips).mean() == pytest.approx(PHI0 / (expected_mv * 1e-3), rel=5e-3)
    with pytest.raises(ValueError, match="not a voltage unit"):
        res.voltage("J1", "uA")
