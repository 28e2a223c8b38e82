"""Thermal noise against two independent oracles: the Ambegaokar-Halperin
thermally rounded I-V of an overdamped junction (by numerical quadrature of the
stationary Fokker-Planck solution) and the Nyquist density 4kTR of a resistor."""

import math

import numpy as np
import pytest
from scipy.integrate import simpson
from scipy.signal import welch

from loxant import Circuit
from loxant.netlist import Netlist
from loxant.simulation.assembly import System
from loxant.units import BOLTZMANN, PHI0

pytest.importorskip("loxant.CircuitKernel")

GAMMA = 0.05  # 2ekT / (hbar Ic): the normalised temperature of a junction with ic = 1


def ambegaokar_halperin(bias, gamma, n=1201):
    """Mean d(phase)/dt of d(phase)/dt = bias - sin(phase) + noise of two-sided
    density 2 gamma: drift of an overdamped particle in the tilted washboard,
    v = 2 pi (1 - exp(-2 pi bias / D)) / ((1/D) int int exp((U(x) - U(x - y) - bias y) / D)),
    U = -cos, D = gamma."""
    x = np.linspace(0.0, 2 * np.pi, n)
    X, Y = np.meshgrid(x, x, indexing="ij")
    integrand = np.exp((np.cos(X - Y) - np.cos(X) - bias * Y) / gamma)
    total = simpson(simpson(integrand, x=x, axis=1), x=x) / gamma
    return 2 * np.pi * (1 - math.exp(-2 * np.pi * bias / gamma)) / total


def test_reference_tends_to_the_noiseless_curve():
    assert ambegaokar_halperin(1.5, 0.01) == pytest.approx(math.sqrt(1.5**2 - 1), rel=1e-2)
    assert ambegaokar_halperin(0.5, 0.01) < 1e-6


@pytest.mark.parametrize("bias", [1.0, 1.1])
def test_overdamped_junction_near_ic_follows_ambegaokar_halperin(bias):
    # 16 independent junctions at once: 16 times the statistics for one run
    count, t_stop, settle = 16, 1000.0, 50.0
    c = Circuit("noisy junctions", units="normalised")
    c.temperature = GAMMA
    for k in range(count):
        c.junction(f"J{k}", f"n{k}", "0", ic=1.0, r=1.0, c=0.0)
        c.current_source(f"I{k}", "0", f"n{k}", value=bias)
    res = c.simulate(t_stop, 0.05, seed=1, record_every=10)
    start = int(np.searchsorted(res.time, settle))
    means = [
        (res.phase(f"J{k}")[-1] - res.phase(f"J{k}")[start]) / (t_stop - res.time[start])
        for k in range(count)
    ]
    expected = ambegaokar_halperin(bias, GAMMA)
    assert expected > 1.05 * math.sqrt(max(bias**2 - 1, 0))  # visibly rounded
    assert np.mean(means) == pytest.approx(expected, rel=0.05)


def nyquist_circuit(temperature=4.2):
    pc = Circuit(ic0="100uA", r0="2ohm")
    pc.temperature = temperature
    pc.resistor("R1", "a", "0", "2ohm")
    return pc


def test_resistor_voltage_noise_has_the_nyquist_density():
    res = nyquist_circuit().simulate("2000ps", "0.05ps", seed=3)
    t, v = res.time("s"), res.voltage("R1", "V")
    frequencies, density = welch(v, fs=1 / (t[1] - t[0]), nperseg=1024)
    nyquist = 4 * BOLTZMANN * 4.2 * 2.0  # one-sided, V^2/Hz
    assert density[1:-1].mean() == pytest.approx(nyquist, rel=0.03)
    assert res.normalised.elements[-1] == "R1.noise"


def test_noise_is_reproducible_by_seed_and_absent_without_temperature():
    runs = [nyquist_circuit().simulate("20ps", "0.05ps", seed=s) for s in (5, 5, 6)]
    v = [r.voltage("R1") for r in runs]
    assert np.array_equal(v[0], v[1]) and not np.allclose(v[0], v[2])
    quiet = nyquist_circuit(0.0).simulate("20ps", "0.05ps", seed=5)
    assert not np.any(quiet.voltage("R1")) and "R1.noise" not in quiet.elements


NETLIST = """* resistors at .temp, one at its own temperature
R1 a 0 2
R2 b 0 2 temp=16.8
I2 0 b 20u
I1 0 a 10u
.temp 4.2
{neb}
.option seed=9
.tran 0.05p 800p
.end
"""


@pytest.mark.parametrize("neb", ["", ".neb 1000G"])
def test_netlist_temperature_seed_and_bandwidth(neb):
    netlist = Netlist.from_string(NETLIST.format(neb=neb))
    assert (netlist.temperature, netlist.seed) == (4.2, 9)
    first, again = netlist.simulate(), netlist.simulate()
    assert np.array_equal(first.voltage("R1"), again.voltage("R1"))
    # Nyquist over the bandwidth: <V^2> = 4kTR B, B = .neb or half the sampling rate
    bandwidth = 1e12 if neb else 1 / (2 * 0.05e-12)
    for name, kelvin in (("R1", 4.2), ("R2", 16.8)):
        variance = np.var(first.voltage(name, "V"))
        assert variance == pytest.approx(4 * BOLTZMANN * kelvin * 2.0 * bandwidth, rel=0.12)


def test_bad_temperatures_and_seeds_are_refused_before_anything_changes():
    from loxant.errors import CircuitError

    c = Circuit(units="normalised")
    with pytest.raises(CircuitError, match="temperature of R1"):
        c.resistor("R1", "a", "0", 1.0, temp=-1.0)
    assert "R1" not in c and not c.nodes
    c.resistor("R1", "a", "0", 1.0, temp=0.1)
    with pytest.raises(CircuitError, match="seed"):
        c.simulate(1.0, 0.1, seed=-3)
    c.temperature = -0.5
    with pytest.raises(CircuitError, match="circuit temperature"):
        c.simulate(1.0, 0.1)


@pytest.mark.parametrize(
    "model, resistance", [("rtype=0", 5.0), ("rtype=1", 30.0), ("rtype=0, phi=0.3", 5.0)]
)
def test_junction_temp_gives_the_noise_of_its_resistive_branch(model, resistance):
    text = f"""* one junction at its own temperature
.model jm jj({model}, icrit=100u, rn=5, r0=30, cap=0.1p)
B1 a 0 jm temp=4.2
I1 0 a 50u
.tran 0.1p 1p
.end
"""
    netlist = Netlist.from_string(text)
    pc = netlist.circuit()
    noise = [e.decl for e in System(pc.circuit).elements if e.name == "B1.noise"]
    per_kelvin = BOLTZMANN * 2 * math.pi / (PHI0 * pc.units.ic0)
    expected = 2 * 4.2 * per_kelvin / (resistance / pc.units.r0)
    assert len(noise) == 1 and noise[0].density == pytest.approx(expected)
