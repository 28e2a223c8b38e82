"""loxant.simulate: one front door for every way of describing a circuit."""

import pytest

import loxant
from loxant import Circuit, CircuitError, Units, read_netlist

# 100 uA into 2 ohm in parallel with 1 pF: the node settles at I R = 200 uV
DECK = """* rc
I1 0 a pwl(0 0 1p 100u)
R1 a 0 2
C1 a 0 1p
.tran 0.05p 40p
.print v(a)
.end
"""


def _netlist(tmp_path):
    path = tmp_path / "rc.cir"
    path.write_text(DECK)
    return read_netlist(path)


def _physical(_tmp_path):
    pc = Circuit(ic0="100uA", r0="2ohm")
    pc.current_source("I1", "0", "a", [("0ps", 0), ("1ps", "100uA")])
    pc.resistor("R1", "a", "0", "2ohm")
    pc.capacitor("C1", "a", "0", "1pF")
    return pc


@pytest.mark.parametrize("build, args", [(_netlist, ()), (_physical, ("40ps", "0.05ps"))])
def test_the_front_door_runs_a_netlist_and_a_physical_circuit_alike(tmp_path, build, args):
    res = loxant.simulate(build(tmp_path), *args)
    assert res.time("s")[-1] == pytest.approx(40e-12)
    # RC = 2 ps: settled to the analytic I R after 20 time constants
    assert res.node_voltage("a", "V")[-1] == pytest.approx(200e-6, rel=1e-6)


def test_the_front_door_runs_a_normalised_circuit_and_refuses_what_it_cannot():
    c = Circuit(units="normalised")
    c.current_source("I1", "0", "a", 0.5)
    c.resistor("R1", "a", "0", 2.0)
    assert loxant.simulate(c, 1.0, 0.1).node_voltage("a")[-1] == pytest.approx(1.0)
    with pytest.raises(CircuitError, match="t_stop is needed"):
        loxant.simulate(c)
    with pytest.raises(TypeError, match="not Units"):
        loxant.simulate(Units(1e-4, 2.0), 1.0)
