"""Physical results written as CSV in SI units, with chosen columns."""

import csv

import numpy as np
import pytest

from loxant import Circuit
from loxant.simulation.probes import parse_probe


@pytest.fixture(scope="module")
def results():
    pc = Circuit(ic0="250uA", r0="3ohm")
    pc.junction("J1", "a", "0", ic="250uA", beta_c=1.0, c="0.15pF")
    pc.inductor("L1", "a", "b", "3pH")
    pc.junction("J2", "b", "0", ic="250uA", r="3ohm", c="0.15pF")
    pc.current_source("Ib", "0", "a", [("0ps", 0), ("20ps", "600uA")])
    return pc.simulate(t_stop="40ps", dt="0.02ps", record_every=5)


def read(path):
    with open(path, newline="") as stream:
        rows = list(csv.reader(stream))
    return rows[0], np.array(rows[1:], dtype=float)


def test_chosen_columns_with_the_peers_header(results, tmp_path):
    path = tmp_path / "chosen.csv"
    results.to_csv(path, probes=["P(J2)", "V(a)", "I(L1)", "V(a,b)", "P(b,0)", "i(Ib)"])
    with open(path) as stream:
        assert stream.readline() == 'time,"P(J2)","V(a)","I(L1)","V(a,b)","P(b,0)","I(Ib)"\n'
    with pytest.warns(DeprecationWarning, match="units_in_header"):
        results.to_csv(tmp_path / "old.csv", probes=["P(J2)", "V(a)"], units_in_header=True)
    with open(tmp_path / "old.csv") as stream:
        assert stream.readline() == 'time [s],"P(J2) [rad]","V(a) [V]"\n'
    _, table = read(path)
    np.testing.assert_allclose(table[:, 0], results.time("ps") * 1e-12, rtol=1e-15)
    expected = [
        results.phase("J2"),
        results.node_voltage("a", "mV") * 1e-3,
        results.current("L1", "uA") * 1e-6,
        (results.node_voltage("a", "mV") - results.node_voltage("b", "mV")) * 1e-3,
        results.node_phase("b"),
        results.current("Ib", "uA") * 1e-6,
    ]
    for column, values in zip(table[:, 1:].T, expected):
        np.testing.assert_allclose(column, values, rtol=1e-12, atol=1e-30)
    # physics: the bias ends at 600 uA through the source
    assert table[-1, 6] == pytest.approx(600e-6)


def test_every_series_by_default(results, tmp_path):
    path = tmp_path / "all.csv"
    results.to_csv(path)
    header, table = read(path)
    assert header[:5] == ["time", "P(a)", "V(a)", "P(b)", "V(b)"]
    assert header[5:8] == ["I(J1)", "P(J1)", "V(J1)"]
    assert len(header) == 1 + 2 * 2 + 3 * 4 and table.shape == (len(results), len(header))


@pytest.mark.parametrize(
    ("text", "quantity", "element", "nodes"),
    [
        ("V(J1)", "voltage", "J1", ()),
        ("p(J1)", "phase", "J1", ()),
        ("I(L1)", "current", "L1", ()),
        ("V(a)", "voltage", None, ("a", "0")),
        ("P( a , b )", "phase", None, ("a", "b")),
        ("V(gnd,a)", "voltage", None, ("0", "a")),
    ],
)
def test_probes(text, quantity, element, nodes):
    probe = parse_probe(text, ["a", "b"], ["J1", "L1"])
    assert (probe.quantity, probe.element, probe.nodes) == (quantity, element, nodes)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("X(a)", "cannot read probe"),
        ("V(a", "cannot read probe"),
        ("V(a,b,c)", "cannot read probe"),
        ("I(a)", "no element named 'a'"),
        ("V(c)", "no node or element named 'c'"),
        ("V(J1,a)", "no node or element named 'J1'"),
        (3, "cannot read probe"),
    ],
)
def test_bad_probes(results, tmp_path, text, message):
    with pytest.raises(ValueError, match=message):
        parse_probe(text, ["a", "b"], ["J1", "L1"])
    with pytest.raises(ValueError, match=message.split("'")[0]):
        results.to_csv(tmp_path / "x.csv", probes=[text])
