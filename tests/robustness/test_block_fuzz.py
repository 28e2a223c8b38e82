"""Random plain cells read with their elements as blocks and as single
declarations: the two must agree, fault for fault (the same message, once) and
trace for trace; and Circuit.add_block refuses whatever arrays it cannot hold
with a CircuitError, adding nothing."""

import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from loxant import Circuit, CircuitError, NetlistError, read_netlist
from loxant.errors import SimulationError
from loxant.netlist import expand

FUZZ = settings(
    max_examples=60, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)

value = st.sampled_from(
    ["0", "-1p", "1e-300", "1e308", "2", "0.5p", "3f", "{1/0}", "{2*k}", "1e400"]
)
node = st.sampled_from(["a", "b", "c", "0", "gnd", "p"])
card = st.tuples(st.sampled_from("RLC"), node, node, value)


def deck(cards, instances):
    lines = [".param k=1.5", ".subckt cell p"]
    lines += [f"{letter}{k} {a} {b} {v}" for k, (letter, a, b, v) in enumerate(cards)]
    lines += [".ends cell", "I1 0 top pwl(0 0 2p 100u)", "RTOP top 0 1"]
    lines += [f"X{k} cell top" for k in range(instances)]
    lines += [".tran 0.1p 5p", ".print v(top) i(RTOP)", ".end"]
    return "\n".join(lines) + "\n"


def outcome(text, blocks):
    saved = expand.BLOCK_MIN
    expand.BLOCK_MIN = 1 if blocks else 10**12
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                net = read_netlist(text)
                res = net.simulate()
            except (NetlistError, CircuitError, SimulationError) as exc:
                return type(exc).__name__, str(exc), None
        said = sorted(str(w.message) for w in caught)
        return "ran", said, {label: v for label, _, v in net.traces(res)}
    finally:
        expand.BLOCK_MIN = saved


@FUZZ
@given(st.lists(card, min_size=1, max_size=6), st.integers(1, 3))
def test_blocks_and_single_declarations_agree_on_any_plain_cell(cards, instances):
    text = deck(cards, instances)
    single, held = outcome(text, False), outcome(text, True)
    assert held[:2] == single[:2]
    if single[2] is not None:
        for label, want in single[2].items():
            scale = np.abs(want).max()
            assert np.abs(held[2][label] - want).max() <= 1e-9 * scale, label


arrays = st.lists(st.integers(-2, 6), min_size=0, max_size=5)
values = st.lists(st.sampled_from([1.0, 0.0, -1.0, np.nan, np.inf, 1e-300, 2.5]), max_size=5)


@FUZZ
@given(st.sampled_from(["resistor", "inductor", "capacitor", "junction"]), arrays, arrays, values)
def test_add_block_refuses_what_it_cannot_hold(adder, a, b, given_values):
    c = Circuit("fuzz", units="normalised")
    c.resistor("R0", "n1", "0", 1.0)
    c.number_nodes(["n2", "n3"])
    names = [f"X{k}" for k in range(len(a))]
    try:
        block = c.add_block(adder, names, a, b, given_values)
    except CircuitError:
        assert not c.blocks and len(c) == 1
        return
    assert c.blocks == [block] and len(c) == 1 + len(a)
    assert all(0 <= x <= 3 for x in [*a, *b]) and all(x != y for x, y in zip(a, b))
    assert np.isfinite(block.values).all()
    declared = c.elements  # each unpacks into the declaration it stands for
    assert [e.name for e in declared[1:]] == names


@pytest.mark.parametrize("instances", [1, 40])
def test_a_cell_of_one_short_keeps_it_a_single_element(instances):
    text = deck([("R", "p", "a", "0"), ("L", "a", "0", "1p")], instances)
    single, held = outcome(text, False), outcome(text, True)
    assert held[:2] == single[:2] and held[0] == "ran"
