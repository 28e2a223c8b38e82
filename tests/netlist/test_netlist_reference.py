"""The reference netlists in data/ (shared with another simulator) reproduce its
figures within the stated tolerances, at the stated time steps."""

import math
import os

import numpy as np
import pytest

from loxant import read_netlist

DATA = os.path.join(os.path.dirname(__file__), "data")
PHI0 = 2.067833831170082e-15


def run(name):
    net = read_netlist(os.path.join(DATA, name))
    return net, net.simulate()


def upward_crossings(t, y, level):
    """Times at which ``y`` crosses ``level`` going up, interpolated linearly."""
    k = np.nonzero((y[:-1] < level) & (y[1:] >= level))[0]
    return t[k] + (level - y[k]) / (y[k + 1] - y[k]) * (t[k + 1] - t[k])


def test_single_junction_under_dc_bias_has_the_stewart_mccumber_voltage():
    net, res = run("rcsj_dc_bias.cir")
    assert net.tran.tstep == pytest.approx(0.01e-12) and net.tran.record_every == 10
    t, phase = res.time("s"), dict((label, v) for label, _, v in net.traces(res))["P(B1)"]
    after = t > 200e-12
    t, phase = t[after], phase[after]
    first, last = math.ceil(phase[0] / (2 * math.pi)), math.floor(phase[-1] / (2 * math.pi))
    t_first = upward_crossings(t, phase, 2 * math.pi * first)[0]
    t_last = upward_crossings(t, phase, 2 * math.pi * last)[0]
    average = PHI0 * (last - first) / (t_last - t_first)
    analytic = 5.0 * math.sqrt(150e-6**2 - 100e-6**2)
    assert average == pytest.approx(analytic, rel=1e-4)


def test_hundred_stage_transmission_line_delays():
    net, res = run("jtl100.cir")
    assert net.probes == [f"P(B{k})" for k in range(1, 101)]
    t = res.time("ps")
    phases = [values for _, _, values in net.traces(res)]
    t_pi = np.array([upward_crossings(t, phase, math.pi)[0] for phase in phases])
    bulk = np.polyfit(np.arange(10, 91), t_pi[9:90], 1)[0]
    assert bulk == pytest.approx(1.62885, rel=5e-4)
    assert t_pi[0] == pytest.approx(54.1838, abs=0.05)
    assert t_pi[99] == pytest.approx(215.0798, abs=0.05)
    # every junction switches exactly once: one turn above rest, never past 3 pi
    for phase in phases:
        assert 2 * math.pi < phase[-1] - phase[0] < 3 * math.pi
        assert phase.max() < 3 * math.pi


DIRECT_UP = [159.469, 366.254, 573.036, 779.819, 986.604]
DIRECT_DOWN = [874.447, 667.665, 460.881, 254.097, 47.315, -159.469]
DIRECT_LAST_UP = -47.315


@pytest.mark.parametrize(
    ("name", "factor", "tolerance"),
    [("rfsquid_direct.cir", 1.0, 0.05), ("rfsquid_mutual.cir", 2.0, 0.1)],
)
def test_rf_squid_jumps_at_the_reference_drive_currents(name, factor, tolerance):
    net, res = run(name)
    traces = {label: values for label, _, values in net.traces(res)}
    t, phase, drive = res.time("s"), traces["P(B1)"], traces["I(I1)"] * 1e6
    jumps = []  # (time, drive in uA, direction)
    for n in range(-3, 8):
        level = (2 * n + 1) * math.pi
        jumps += [(tc, +1) for tc in upward_crossings(t, phase, level)]
        jumps += [(tc, -1) for tc in upward_crossings(t, -phase, -level)]
    jumps.sort()
    currents = [np.interp(tc, t, drive) for tc, _ in jumps]
    directions = [d for _, d in jumps]
    expected = [factor * i for i in DIRECT_UP + DIRECT_DOWN + [DIRECT_LAST_UP]]
    assert directions == [1] * 5 + [-1] * 6 + [1]
    np.testing.assert_allclose(currents, expected, atol=tolerance)
    # each jump changes the turn count by exactly one
    turns = res.turn_count("B1")
    assert set(np.diff(turns)) <= {-1, 0, 1}
    assert turns[-1] == turns[0]
