import math

import pytest

from loxant.circuit import Circuit
from loxant.errors import CircuitError
from loxant.simulation import simulate


def test_nodes_are_created_on_first_use_and_ground_has_aliases():
    c = Circuit(units="normalised")
    c.resistor("R1", "a", 0, 1.0)
    c.resistor("R2", "GND", 7, 1.0)
    c.inductor("L1", 7, "a", 2.0)
    assert c.nodes == ["a", "7"]
    assert [e.nodes for e in c] == [("a", "0"), ("0", "7"), ("7", "a")]
    assert c["L1"].l == 2.0 and "R2" in c and len(c) == 3


def test_mutual_given_by_coupling_factor():
    c = Circuit(units="normalised")
    c.inductor("L1", "a", "0", 4.0)
    c.inductor("L2", "b", "0", 9.0)
    k = c.mutual("K1", "L1", "L2", k=0.5)
    assert k.m == pytest.approx(3.0)
    assert c["L1"].has_branch and c["L2"].has_branch


@pytest.mark.parametrize(
    ("build", "message"),
    [
        (lambda c: c.resistor("R1", "a", "b", 1.0), "duplicate"),
        (lambda c: c.resistor("", "a", "b", 1.0), "non-empty"),
        (lambda c: c.resistor("R2", "a", "a", 1.0), "to itself"),
        (lambda c: c.resistor("R2", "a", 0, 0.0), "positive"),
        (lambda c: c.resistor("R2", "a", 0, "1k"), "number"),
        (lambda c: c.capacitor("C1", "a", 0, math.nan), "finite"),
        (lambda c: c.inductor("L2", "a", 0, 0.0), "branch=True"),
        (lambda c: c.inductor("L2", "a", 0, math.inf), "finite"),
        (lambda c: c.junction("J1", "a", 0, ic=1, r=-1, c=1), "positive"),
        (lambda c: c.junction_rsjn("J1", "a", 0, c=1, p=3), "even"),
        (lambda c: c.current_source("I1", "a", 0, value="x"), "value of I1"),
        (lambda c: c.resistor("R2", 1.5, 0, 1.0), "strings or integers"),
        (lambda c: c.mutual("K1", "L1", "L9", k=0.1), "no inductor named 'L9'"),
        (lambda c: c.mutual("K1", "L1", "R1", k=0.1), "not an inductor"),
        (lambda c: c.mutual("K1", "L1", "L1", k=0.1), "itself"),
        (lambda c: c.mutual("K1", "L1", "L3", k=0.1, m=0.1), "exactly one"),
        (lambda c: c.mutual("K1", "L1", "L3", m=5.0), "exceeds"),
        (lambda c: c.junction_tjm("T1", "a", 0, model="x", kernel=([1], [1, 2], [1])), "length"),
        (lambda c: c.junction_tjm("T1", "a", 0, model="x", kernel=([1], [1], [0])), "zero pole"),
    ],
)
def test_invalid_declarations(build, message):
    c = Circuit(units="normalised")
    c.resistor("R1", "a", "b", 1.0)
    c.inductor("L1", "a", "0", 1.0)
    c.inductor("L3", "b", "0", 4.0)
    with pytest.raises(CircuitError, match=message):
        build(c)


def _biased_junction():
    c = Circuit(units="normalised")
    c.junction("J1", "a", 0, c=1.0)
    c.current_source("I1", 0, "a", 0.5)
    return c


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"t_stop": 10, "dt": 0}, "dt must be positive"),
        ({"t_stop": 10, "dt": -0.1}, "dt must be positive"),
        ({"t_stop": 0, "dt": 0.1}, "t_stop must be positive"),
        ({"t_stop": 1, "dt": 2}, "exceeds"),
        ({"t_stop": 1, "dt": 0.1, "record_every": 0}, "record_every"),
        ({"t_stop": 1, "dt": 0.1, "dt_min": 0.5}, "dt_min"),
        ({"t_stop": 1, "dt": 0.1, "max_iterations": 0}, "max_iterations"),
        ({"t_stop": 1, "dt": 0.1, "initial_ramp": -1}, "initial_ramp"),
    ],
)
def test_invalid_simulation_options(kwargs, message):
    with pytest.raises(CircuitError, match=message):
        simulate(_biased_junction(), **kwargs)
