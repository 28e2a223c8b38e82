"""Transmission lines and controlled sources read from a netlist give the
circuits built with the Python API, inside subcircuits too."""

import textwrap

import numpy as np
from test_netlist_reader import api_twin, assert_same_run

from loxant import Netlist

LINE = """\
* a line between two resistive ends, once inside a subcircuit
.subckt seg a b
T1 a 0 b 0 td=4p z0=5
.ends
V1 1 0 pwl(0 0 2p 1m 4p 0)
R1 1 2 5
X1 seg 2 3
R2 3 0 20
.tran 0.05p 30p
"""


def test_transmission_line_card_matches_the_api():
    net = Netlist.from_string(textwrap.dedent(LINE))
    pc = api_twin(net)
    pc.voltage_source("V1", "1", "0", [(0, 0), ("2ps", "1mV"), ("4ps", 0)])
    pc.resistor("R1", "1", "2", 5.0)
    pc.transmission_line("T1|X1", "2", "0", "3", "0", td="4ps", z0="5ohm")
    pc.resistor("R2", "3", "0", 20.0)
    ours = assert_same_run(net, pc)
    assert abs(ours.node_voltage("3")).max() > 0


CONTROLLED = """\
* every controlled source, F and H named before their controls and in a subcircuit
.subckt amp in out
E1 out 0 in 0 2
.ends
F1 0 5 VS 3
H1 6 0 VS 100
VS 1 0 sin(0 1m 20g)
R1 1 2 10
R2 2 0 10
X1 amp 2 3
R3 3 0 7
G1 0 4 3 0 0.01
R4 4 0 5
R5 5 0 2
R6 6 0 4
H2 7 0 E1|X1 50
R7 7 0 3
.tran 0.1p 60p
"""


def test_controlled_source_cards_match_the_api():
    net = Netlist.from_string(textwrap.dedent(CONTROLLED))
    pc = api_twin(net)
    pc.voltage_source("VS", "1", "0", lambda t: 1e-3 * np.sin(2 * np.pi * 20e9 * t))
    pc.resistor("R1", "1", "2", 10.0)
    pc.resistor("R2", "2", "0", 10.0)
    pc.vcvs("E1|X1", "3", "0", "2", "0", gain=2.0)
    pc.resistor("R3", "3", "0", 7.0)
    pc.vccs("G1", "0", "4", "3", "0", gm=0.01)
    pc.resistor("R4", "4", "0", 5.0)
    pc.resistor("R5", "5", "0", 2.0)
    pc.resistor("R6", "6", "0", 4.0)
    pc.cccs("F1", "0", "5", "VS", gain=3.0)
    pc.ccvs("H1", "6", "0", "VS", r=100.0)
    pc.ccvs("H2", "7", "0", "E1|X1", r=50.0)
    pc.resistor("R7", "7", "0", 3.0)
    net_res = net.simulate().normalised
    api_res = pc.simulate(t_stop=60e-12, dt=0.1e-12).normalised
    for node in ("3", "4", "5", "6", "7"):
        np.testing.assert_allclose(
            net_res.node_voltage(node), api_res.node_voltage(node), atol=1e-12
        )
    assert np.ptp(net_res.node_voltage("7")) > 0
