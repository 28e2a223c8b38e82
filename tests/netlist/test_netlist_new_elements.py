"""Transmission lines and controlled sources read from a netlist give the
circuits built with the Python API, inside subcircuits too."""

import textwrap

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
