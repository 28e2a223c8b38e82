"""The lossless transmission line: delay, reflections, variable steps, and an
SFQ pulse carried between two Josephson transmission lines."""

import math

import numpy as np
import pytest

from loxant import PWL, Circuit
from loxant.errors import CircuitError

ck = pytest.importorskip("loxant.CircuitKernel")

TD, Z0 = 5.0, 2.0
PULSE = [(0, 0), (1, 0), (2, 1), (3, 1), (4, 0)]  # source volts against time


def source(t):
    return np.interp(t, [p[0] for p in PULSE], [p[1] for p in PULSE], left=0.0)


def line_circuit(load):
    """A pulse source behind Z0 drives the line; ``load`` ends it (None: open)."""
    c = Circuit("line", units="normalised")
    c.voltage_source("V1", "s", "0", PWL(PULSE))
    c.resistor("RS", "s", "a", Z0)
    c.transmission_line("T1", "a", "0", "b", "0", td=TD, z0=Z0)
    c.resistor("RL", "b", "0", 1e9 if load is None else load)
    return c


def run_with_steps(circuit, steps):
    """Drives the integrator by hand with the given step sizes; returns times
    and the node voltages of a and b after every accepted step."""
    from loxant.simulation.assembly import System, native_modules
    from loxant.simulation.integrator import Transient
    from loxant.simulation.options import RunOptions

    kernel, sparse = native_modules()
    system = System(circuit)
    system.install(kernel, time_step=max(steps))
    run = Transient(system, kernel, sparse.SparseDirect(), RunOptions.check(sum(steps), max(steps)))
    kernel.UpdateValues()
    run.begin()
    a, b = (system.node_names.index(n) for n in ("a", "b"))
    from loxant import lxglobals

    t, h_prev, out = 0.0, None, [(0.0, 0.0, 0.0)]
    for h in steps:
        run.step(t, h, h_prev)
        run.accept()
        t, h_prev = t + h, h
        out.append((t, lxglobals.NodeVoltage[a], lxglobals.NodeVoltage[b]))
    return np.array(out).T


def irregular_steps(dt, t_stop, seed=3):
    """Steps of dt, dt/2, dt/4 and dt/8 in random order, as halving leaves them."""
    rng = np.random.default_rng(seed)
    steps, t = [], 0.0
    while t < t_stop:
        h = dt / 2 ** rng.integers(0, 4)
        steps.append(h)
        t += h
    return steps


@pytest.mark.parametrize("variable", [False, True], ids=["fixed step", "variable steps"])
def test_matched_line_delays_the_pulse_by_td_without_reflection(variable):
    c = line_circuit(load=Z0)
    if variable:
        t, va, vb = run_with_steps(c, irregular_steps(0.02, 20.0))
    else:
        res = c.simulate(t_stop=20.0, dt=0.02)
        t, va, vb = res.time, res.node_voltage("a"), res.node_voltage("b")
    # Half the source voltage enters the line and comes out TD later, whole;
    # the history's grid of 0.02 rounds the pulse's corners by up to 0.02 / 8.
    np.testing.assert_allclose(va, source(t) / 2, atol=1e-3)
    np.testing.assert_allclose(vb, source(t - TD) / 2, atol=3e-3)


@pytest.mark.parametrize("load, reflection", [(None, 1.0), (1e-6, -1.0), (3 * Z0, 0.5)])
def test_mismatched_end_reflects_with_the_sign_and_delay_of_its_coefficient(load, reflection):
    """Reflection coefficient (R - Z0) / (R + Z0): +1 open, -1 shorted."""
    res = line_circuit(load).simulate(t_stop=20.0, dt=0.02)
    t = res.time
    incident = source(t - TD) / 2
    np.testing.assert_allclose(res.node_voltage("b"), (1 + reflection) * incident, atol=3e-3)
    back = source(t) / 2 + reflection * source(t - 2 * TD) / 2
    np.testing.assert_allclose(res.node_voltage("a"), back, atol=3e-3)
    # The current of the element is that of port 1, into its first node.
    np.testing.assert_allclose(res.current("T1"), (source(t) - back) / Z0, atol=3e-3)


def test_time_step_longer_than_the_delay_is_refused():
    c = line_circuit(load=Z0)
    with pytest.raises(CircuitError, match="exceeds the line's delay"):
        c.simulate(t_stop=20.0, dt=2 * TD)


def two_jtls(td, z0=0.5, stages=4):
    """JTL -> series Z0 -> line -> JTL, biased at 0.7 Ic, one quantum injected at t = 30."""
    c = Circuit("PTL link", units="normalised")
    c.phase_source("In", "in", "0", value=PWL([(0, 0), (30, 0), (32, 2 * math.pi)]))
    previous = "in"
    for side, out in (("J", "RS"), ("K", None)):
        for k in range(1, stages + 1):
            node = f"{side}n{k}"
            c.inductor(f"L{side}{k}", previous, node, l=0.5 if (side, k) == ("K", 1) else 2.0)
            c.junction(f"{side}{k}", node, "0", ic=1.0, r=1.0, c=1.0)
            c.current_source(f"B{side}{k}", "0", node, value=0.7)
            previous = node
        if out:
            c.resistor(out, previous, "p1", z0)
            c.transmission_line("T1", "p1", "0", "p2", "0", td=td, z0=z0)
            previous = "p2"
    c.inductor("LEnd", previous, "0", l=2.0)
    return c


def test_sfq_pulse_crosses_the_line_td_later_with_one_flux_quantum():
    td = 20.0
    res = two_jtls(td).simulate(t_stop=100.0, dt=0.05, initial_ramp=20.0)
    t = res.time
    for name in [f"J{k}" for k in range(1, 5)] + [f"K{k}" for k in range(1, 5)]:
        turns = res.turn_count(name)
        assert turns[-1] == 1 and set(np.diff(turns)) <= {0, 1}, name
    window = t > 30
    v1, v2 = res.node_voltage("p1")[window], res.node_voltage("p2")[window]
    tw = t[window]
    assert tw[np.argmax(v2)] - tw[np.argmax(v1)] == pytest.approx(td, rel=0.02)
    # The receiving junction passes one flux quantum, 2 pi in these units.
    flux = np.trapezoid(res.voltage("K1")[window], tw)
    assert flux == pytest.approx(2 * math.pi, rel=0.03)
