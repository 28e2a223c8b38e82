"""Results as designers use them: SI units from every accessor of SI results,
DataFrames of chosen probes, names in any spelling, switching times printed,
and sweeps of several measures at once."""

import io
import math

import numpy as np
import pytest
from analysis_circuits import CELLS, JUNCTION_RUN, biased_junction

import loxant
from loxant import Circuit
from loxant.analysis import (
    Delay,
    SwitchCount,
    print_switching_times,
    scale,
    sweep,
    switching_times,
)

IC, R, BIAS = 100e-6, 10.0, 200e-6

LEGEND = (
    "switching times (ps); sign = direction: t a forward switch (+2 pi), -t a backward one (-2 pi):"
)


@pytest.fixture(scope="module")
def running():
    """An overdamped junction biased at twice its critical current."""
    pc = Circuit(ic0=IC, r0=R)
    pc.junction("J1", "a", "0", ic=IC, r=R, c="0.001pF")
    pc.current_source("I1", "0", "a", BIAS)
    return pc, pc.simulate(t_stop="60ps", dt="0.002ps")


def test_every_physical_accessor_returns_si_units(running):
    pc, res = running
    scale = pc.units.scale
    base = res.normalised
    pairs = [
        (res.time(), base.time * scale["s"]),
        (res.voltage("J1"), base.voltage("J1") * scale["V"]),
        (res.node_voltage("a"), base.node_voltage("a") * scale["V"]),
        (res.current("I1"), base.current("I1") * scale["A"]),
        (res.phase("J1"), base.phase("J1")),
    ]
    for got, expected in pairs:
        np.testing.assert_allclose(got, expected, rtol=1e-12)
    # Josephson and Ohm: the mean voltage over whole periods is R sqrt(I^2 - Ic^2), in volts
    expected = R * math.sqrt(BIAS**2 - IC**2)
    assert res.average_voltage("J1", "20ps", "60ps") == pytest.approx(expected, rel=5e-3)
    assert res.average_voltage("J1", "20ps", "60ps", "uV") == pytest.approx(
        expected * 1e6, rel=5e-3
    )


def test_dataframes_of_chosen_probes(running):
    _, res = running
    frame = res.to_dataframe(["p(j1)", "V(a)", "I(i1)", "V(a,0)"])
    assert frame.index.name == "time [s]"
    assert list(frame.columns) == ["P(J1) [rad]", "V(a) [V]", "I(I1) [A]", "V(a,0) [V]"]
    np.testing.assert_array_equal(frame.index, res.time("s"))
    np.testing.assert_array_equal(frame["V(a) [V]"], res.node_voltage("a"))
    np.testing.assert_array_equal(frame["V(a,0) [V]"], res.node_voltage("a"))
    np.testing.assert_array_equal(frame["I(I1) [A]"], res.current("I1"))
    normalised = res.normalised.to_dataframe(["P(J1)", "v(A)"])
    assert list(normalised.columns) == ["P(J1)", "V(a)"] and normalised.index.name == "time"
    np.testing.assert_array_equal(normalised["P(J1)"], res.phase("J1"))
    everything = res.to_dataframe()
    assert "P(J1) [rad]" in everything.columns and "V(a) [V]" in everything.columns
    with pytest.raises(ValueError, match="no node or element named 'b'"):
        res.to_dataframe(["V(b)"])


def test_switching_times_are_printed_for_every_junction():
    netlist = loxant.read_netlist(CELLS)
    res = netlist.simulate()
    stream = io.StringIO()
    print_switching_times(res, netlist.junctions(), stream)
    lines = stream.getvalue().splitlines()
    assert lines[0] == LEGEND and len(lines) == 1 + len(netlist.junctions())
    for line, name in zip(lines[1:], netlist.junctions()):
        fields = line.split()
        times = switching_times(res, name) * 1e12
        assert fields[0] == name and int(fields[1]) == len(times) == 2
        np.testing.assert_allclose([float(f) for f in fields[2:]], times, atol=1e-3)


def test_a_sweep_takes_a_dict_of_measures():
    measures = {"turns": SwitchCount("j1"), "both": lambda res: {"a": 1.0, "b": 2.0}}
    table = sweep(
        biased_junction(),
        {"I1": scale([0.5, 1.5])},
        measure=measures,
        client=None,
        progress=False,
        **JUNCTION_RUN,
    )
    assert list(table.columns) == ["I1", "turns", "both.a", "both.b", "passed", "reason", "message"]
    assert table["turns"][0] == 0 and table["turns"][1] > 5
    assert (table["both.b"] == 2.0).all()
    with pytest.raises(TypeError, match="column names to callables"):
        sweep(biased_junction(), {"I1": [1.0]}, measure={"x": 3}, client=None, **JUNCTION_RUN)
    # a measure that says what it reads records only that
    delay = sweep(
        biased_junction(),
        {"I1": [1.5]},
        measure={"d": Delay("J1", "J1")},
        client=None,
        progress=False,
        **JUNCTION_RUN,
    )
    # a switch of J1 is caused by the one before it: the first Josephson period
    res = biased_junction(bias=1.5).simulate(**JUNCTION_RUN)
    assert delay["d"][0] == pytest.approx(np.diff(switching_times(res, "J1"))[0], rel=1e-12)


def test_a_netlist_run_takes_t_stop_and_devices_in_either_spelling():
    net = loxant.Netlist.from_string(CELLS)
    short = net.simulate(t_stop="30ps", record=["B1.X2.XDUT", "phase(b2.xload)"])
    assert short.time("ps")[-1] == pytest.approx(30.0)
    whole = net.simulate()
    k = len(short.time("s"))
    np.testing.assert_allclose(
        short.phase("B1|X2|XDUT"), whole.phase("B1|X2|XDUT")[:k], rtol=1e-12, atol=1e-14
    )
    # an option's own mistake names the option, not the .tran line
    with pytest.raises(loxant.CircuitError, match="^record: no node or element named 'B9'"):
        net.simulate(record=["B9"])
