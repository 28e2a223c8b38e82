"""Linear controlled sources E, G, F, H against their ideal transfer in small
resistive circuits driven by a sine, sample by sample."""

import math

import numpy as np
import pytest

from loxant import Circuit, Sine
from loxant.errors import CircuitError

pytest.importorskip("loxant.CircuitKernel")

DRIVE = Sine(0.3, 1.0, 0.05)  # offset, amplitude, frequency


def driven(kind):
    """A sine voltage source V1 on node "in" behind R0 = 1 into R1 = 2 (so the
    current of V1 is -V(in)/3 and V(x) = 2/3 V(in)); the source under test reads
    it.  Returns the circuit and the expected node voltage of "out"."""
    c = Circuit(kind, units="normalised")
    c.voltage_source("V1", "in", "0", DRIVE)
    c.resistor("R0", "in", "x", 1.0)
    c.resistor("R1", "x", "0", 2.0)
    vx = lambda t: 2.0 / 3.0 * DRIVE_AT(t)  # noqa: E731
    i_v1 = lambda t: -DRIVE_AT(t) / 3.0  # noqa: E731
    if kind == "E":  # gain 4 of V(x), into a 5 ohm load
        c.vcvs("E1", "out", "0", "x", "0", gain=4.0)
        c.resistor("RL", "out", "0", 5.0)
        return c, lambda t: 4.0 * vx(t)
    if kind == "E feedback":  # out = mu (V(x) - out / 2): a closed loop
        c.vcvs("E1", "out", "0", "x", "fb", gain=9.0)
        c.resistor("RA", "out", "fb", 1.0)
        c.resistor("RB", "fb", "0", 1.0)
        return c, lambda t: 9.0 * vx(t) / (1 + 9.0 / 2)
    if kind == "G":  # 0.5 S of V(x) from ground into out, loaded by 3 ohm
        c.vccs("G1", "0", "out", "x", "0", gm=0.5)
        c.resistor("RL", "out", "0", 3.0)
        return c, lambda t: 0.5 * vx(t) * 3.0
    if kind == "G as conductance":  # reads its own output: a conductance gm in parallel
        c.vccs("G1", "out", "0", "out", "0", gm=1.5)
        c.resistor("RA", "x", "out", 1.0)
        c.resistor("RL", "out", "0", 2.0)
        # out loads x: solve the divider with R0, R1, RA and RL || 1/gm = 0.5
        return c, None
    if kind == "F":  # 3 times the current of V1, from ground into out, 2 ohm load
        c.cccs("F1", "0", "out", "V1", gain=3.0)
        c.resistor("RL", "out", "0", 2.0)
        return c, lambda t: 3.0 * i_v1(t) * 2.0
    if kind == "H":  # 7 ohm times the current of V1, into a 1 ohm load
        c.ccvs("H1", "out", "0", "V1", r=7.0)
        c.resistor("RL", "out", "0", 1.0)
        return c, lambda t: 7.0 * i_v1(t)
    if kind == "H of an E":  # chained: H reads the branch current of an E
        c.vcvs("E1", "e", "0", "x", "0", gain=2.0)
        c.resistor("RE", "e", "0", 4.0)  # I(E1) = -2 V(x) / 4
        c.ccvs("H1", "out", "0", "E1", r=3.0)
        c.resistor("RL", "out", "0", 1.0)
        return c, lambda t: 3.0 * (-2.0 * vx(t) / 4.0)
    raise ValueError(kind)


def DRIVE_AT(t):
    return np.vectorize(DRIVE)(t)


@pytest.mark.parametrize(
    "kind", ["E", "E feedback", "G", "G as conductance", "F", "H", "H of an E"]
)
def test_transfer_matches_the_ideal_source(kind):
    c, expected = driven(kind)
    res = c.simulate(t_stop=40.0, dt=0.1)
    # The state at t = 0 is the rest state; the sine's offset applies from the first step.
    t, out = res.time[1:], res.node_voltage("out")[1:]
    if expected is None:
        # x sees R1 = 2 in parallel with RA + (RL || 1/gm) = 1.5: 6/7 ohm.
        r_x = 1.0 / (1 / 2.0 + 1 / 1.5)
        vx = DRIVE_AT(t) * r_x / (1.0 + r_x)
        expected = lambda s: vx * (0.5 / 1.5)  # noqa: E731
    np.testing.assert_allclose(out, expected(t), atol=1e-8)
    assert np.ptp(out) > 0.1


def test_current_of_an_inductor_can_control_a_source():
    """F reads the current of an inductor, which then becomes a branch unknown:
    after the L/R transient of 0.5 the inductor carries V/R."""
    c = Circuit("F of L", units="normalised")
    c.voltage_source("V1", "a", "0", 2.0)
    c.inductor("L1", "a", "b", 1.0)
    c.resistor("R1", "b", "0", 2.0)
    c.cccs("F1", "0", "out", "L1", gain=-1.5)
    c.resistor("RL", "out", "0", 1.0)
    res = c.simulate(t_stop=10.0, dt=0.01)
    i_l = 1.0 * (1 - np.exp(-res.time / 0.5))
    np.testing.assert_allclose(res.current("L1"), i_l, atol=2e-3)
    np.testing.assert_allclose(res.node_voltage("out"), -1.5 * res.current("L1"), atol=1e-9)
    assert res.current("F1")[-1] == pytest.approx(-1.5 * 1.0, rel=1e-6)


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda c: c.cccs("F1", "0", "n", "RX", gain=1.0), "no element named 'RX'"),
        (lambda c: c.ccvs("H1", "n", "0", "R1", r=1.0), "is not a branch unknown"),
        (lambda c: c.vcvs("E1", "n", "0", "n", "n", gain=1.0), "connects node 'n' to itself"),
        (lambda c: c.vccs("G1", "n", "0", "a", "0", gm=math.inf), "must be finite"),
    ],
)
def test_bad_controlled_sources_are_refused(build, message):
    c = Circuit(units="normalised")
    c.voltage_source("V1", "a", "0", 1.0)
    c.resistor("R1", "a", "0", 1.0)
    with pytest.raises(CircuitError, match=message):
        build(c)
