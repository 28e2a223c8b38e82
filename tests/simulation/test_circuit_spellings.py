"""Any spelling of a node or value gives the element its canonical spelling gives,
whether or not the node exists already and whatever the number's type; bad
values are refused alike."""

import math

import numpy as np
import pytest

from loxant.circuit import Circuit
from loxant.elements import Supercurrent
from loxant.errors import CircuitError
from loxant.nodes import node_name


@pytest.mark.parametrize("spelling", ["a", " a ", "0", " 0", 0, "gnd", "GnD", 7, "7", " 7"])
def test_a_node_spelled_any_way_is_the_node_of_its_canonical_name(spelling):
    for existing in ([], ["a", "7"]):  # the node new, or named before
        c = Circuit(units="normalised")
        for k, node in enumerate(existing):
            c.resistor(f"R{k}", node, "z", 1.0)
        element = c.resistor("RX", spelling, "b", 1.0)
        assert element.nodes == (node_name(spelling), "b")
        used = [name for node in existing for name in (node, "z")] + [node_name(spelling), "b"]
        assert c.nodes == list(dict.fromkeys(n for n in used if n != "0"))


@pytest.mark.parametrize("value", [2.0, 2, np.float64(2.0), np.int32(2), "2"])
def test_values_of_every_number_type_are_the_same_floats(value):
    c = Circuit(units="normalised")
    elements = [
        c.resistor("R1", "a", 0, value),
        c.inductor("L1", "a", "b", value),
        c.capacitor("C1", "b", 0, value),
    ]
    j = c.junction("J1", "a", 0, ic=value, r=value, c=value)
    gap = c.junction_gap("J2", "b", 0, ic=value, c=value, r0=value, rn=value, vg=value, delv=value)
    got = [elements[0].r, elements[1].l, elements[2].c, j.ic, j.r, j.c, gap.rn, gap.vg, gap.delv]
    assert all(type(x) is float and x == 2.0 for x in got)


@pytest.mark.parametrize(
    ("add", "message", "default"),
    [  # default: what None gives the element, the parameter's default (None: refused)
        (lambda c, v: c.resistor("R1", "a", 0, v), "resistance", None),
        (lambda c, v: c.capacitor("C1", "a", 0, v), "capacitance", None),
        (lambda c, v: c.junction("J1", "a", 0, ic=1.0, r=v, c=1.0), "resistance", ("r", 1.0)),
        (
            lambda c, v: c.junction("J1", "a", 0, ic=v, r=1.0, c=1.0),
            "critical current",
            ("ic", 1.0),
        ),
        (
            lambda c, v: c.junction_gap("J2", "a", 0, c=1.0, r0=1.0, rn=1.0, vg=1.0, delv=v),
            "gap width",
            None,
        ),
    ],
)
@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, True, None])
def test_bad_values_are_refused_naming_the_quantity(add, message, default, bad):
    if bad is None and default is not None:  # None stands for the default
        attribute, value = default
        assert getattr(add(Circuit(units="normalised"), bad), attribute) == value
        return
    with pytest.raises(CircuitError, match=message):
        add(Circuit(units="normalised"), bad)


@pytest.mark.parametrize("value", [0.0, -0.0, -1.0])
def test_resistances_and_capacitances_must_be_positive(value):
    for add in (
        lambda c: c.resistor("R1", "a", 0, value),
        lambda c: c.capacitor("C", "a", 0, value),
    ):
        with pytest.raises(CircuitError, match="positive"):
            add(Circuit(units="normalised"))


@pytest.mark.parametrize(
    ("law", "plain"),
    [
        ({}, True),
        ({"phi": 0, "cpr": [1.0]}, True),
        ({"phi": 0.0, "cpr": (1.0,), "transparency": 0.0, "thermal": 0.0}, True),
        ({"phi": 0.5, "cpr": [1.0]}, False),
        ({"cpr": [1.0, 0.2]}, False),
        ({"cpr": [2.0]}, False),
    ],
)
def test_the_junction_law_is_the_plain_one_exactly_when_it_says_so(law, plain):
    element = Circuit(units="normalised").junction("J1", "a", 0, ic=1.0, r=1.0, c=1.0, **law)
    assert (element.law == Supercurrent()) == plain
    assert element.law == Supercurrent(**{k: tuple(v) if k == "cpr" else v for k, v in law.items()})


@pytest.mark.parametrize("law", [{"phi": True}, {"phi": math.nan}, {"cpr": [math.inf]}])
def test_a_bad_junction_law_is_refused(law):
    with pytest.raises(CircuitError, match="J1"):
        Circuit(units="normalised").junction("J1", "a", 0, ic=1.0, r=1.0, c=1.0, **law)
