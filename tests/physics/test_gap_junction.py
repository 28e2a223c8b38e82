"""The junction with a gap in circuits: its I-V curve from a slow current sweep,
a JTL of such junctions read from a netlist, and the reader's mapping of rtype=1."""

import math

import numpy as np
import pytest

from loxant import PWL, Circuit
from loxant.netlist import Netlist

pytest.importorskip("loxant.CircuitKernel")

# normalised: subgap 8, normal 2, gap at 3 of width 0.2, rise ic / icfct
R0, RN, VG, DELV, ICFCT = 8.0, 2.0, 3.0, 0.2, math.pi / 4
V1, V2 = VG - DELV / 2, VG + DELV / 2
I1 = V1 / R0
I2 = I1 + 1.0 / ICFCT  # top of the rise, at V2


def sweep(levels, plateau=200.0, ramp=10.0):
    """Mean junction voltage over the last 40 % of each bias plateau."""
    points = [(0.0, 0.0)]
    for k, level in enumerate(levels):
        points += [(k * plateau + ramp, level), ((k + 1) * plateau, level)]
    c = Circuit("gap junction sweep", units="normalised")
    c.junction_gap("J1", "a", "0", ic=1.0, c=4.0, r0=R0, rn=RN, vg=VG, delv=DELV)
    c.current_source("I1", "0", "a", value=PWL(points))
    res = c.simulate(t_stop=len(levels) * plateau, dt=0.1)
    t, v = res.time, res.voltage("J1")
    means = []
    for k in range(len(levels)):
        window = (t > (k + 0.6) * plateau) & (t <= (k + 1) * plateau)
        means.append(v[window].mean())
    return means


def test_slow_sweep_jumps_to_the_gap_runs_at_i_rn_above_it_and_on_i_r0_below():
    up = [0.5, 0.9, 1.2, 2.0, 2.5, 3.0]
    down = [2.5, 2.0, 1.2, 0.3, 0.2, 0.02]
    means = sweep(up + down)
    v_up, v_down = means[:6], means[6:]
    # zero-voltage state below ic, then the jump onto the gap rise at ic
    assert abs(v_up[0]) < 0.01 and abs(v_up[1]) < 0.01
    rise = V1 + (1.2 - I1) * DELV * ICFCT
    assert v_up[2] == pytest.approx(rise, abs=0.01) and V1 < v_up[2] < V2
    # above the gap: the normal branch through the origin, V = I rn
    for i, got in zip(up[3:] + down[:2], v_up[3:] + v_down[:2]):
        assert got == pytest.approx(i * RN, rel=0.005)
    # down again: the rise, then below the gap the subgap branch V = I r0
    assert v_down[2] == pytest.approx(rise, abs=0.01)
    for i, got in zip(down[3:5], v_down[3:5]):
        assert got == pytest.approx(i * R0, rel=0.01)
    assert abs(v_down[5]) < 0.05  # retrapped


def jtl_netlist(stages, area=""):
    lines = [
        "* JTL of gap junctions",
        ".model jg jj(icrit=250u, cap=0.5p, r0=30, rn=5)",
        "R0 in 0 100",
        "I0 0 in pulse(0 600u 20p 2p 2p 3p)",
    ]
    previous = "in"
    for k in range(1, stages + 1):
        node = f"n{k}"
        lines += [f"L{k} {previous} {node} 2p", f"B{k} {node} 0 jg {area}"]
        lines += [f"RS{k} {node} 0 2", f"IB{k} 0 {node} 175u"]
        previous = node
    lines += [f"RL {previous} 0 2", ".tran 0.02p 120p", ".end"]
    return "\n".join(lines) + "\n"


def test_jtl_of_gap_junctions_passes_one_flux_quantum_stage_by_stage():
    stages = 8
    netlist = Netlist.from_string(jtl_netlist(stages))
    res = netlist.simulate()
    t = res.time("ps")
    arrivals = []
    for k in range(1, stages + 1):
        turns = res.turn_count(f"B{k}")
        assert turns[0] == 0 and turns[-1] == 1 and set(np.diff(turns)) <= {0, 1}
        phase = res.phase(f"B{k}")
        arrivals.append(t[np.argmax(phase > phase[100] + math.pi)])
    delays = np.diff(arrivals)
    assert np.all(delays > 0.5) and np.ptp(delays[2:-1]) < 0.2 * np.mean(delays[2:-1])


@pytest.mark.parametrize("option, area", [("", 1.0), ("area=2", 2.0), ("ic=125u", 0.5)])
def test_reader_maps_rtype_1_to_the_gap_junction_with_area_scaling(option, area):
    netlist = Netlist.from_string(jtl_netlist(1, option))
    units = netlist.units
    b1 = netlist.circuit().circuit["B1"]
    assert b1.kind == "gap junction"
    assert b1.ic * units.ic0 == pytest.approx(250e-6 * area)
    assert b1.r0 * units.r0 == pytest.approx(30 / area)
    assert b1.rn * units.r0 == pytest.approx(5 / area)
    assert b1.c * units.scale["F"] == pytest.approx(0.5e-12 * area)
    assert b1.vg * units.scale["V"] == pytest.approx(2.8e-3)
    assert b1.delv * units.scale["V"] == pytest.approx(0.1e-3)
    assert b1.icfct == pytest.approx(math.pi / 4)
