"""A large netlist keeps its plain resistors, inductors and capacitors as arrays
per kind, from the expansion to the engine's blocks.  Nothing a designer sees
may change: the same traces, names, probes, warnings and errors as when every
element is a declaration of its own (here the size above which blocks are
used is lowered, so that small decks take that path)."""

import os

import numpy as np
import pytest

from loxant import Circuit, read_netlist
from loxant.errors import CircuitError
from loxant.netlist import NetlistError, expand

DATA = os.path.join(os.path.dirname(__file__), "data")
EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
DECKS = [
    os.path.join(DATA, "jtl100.cir"),
    os.path.join(DATA, "rfsquid_direct.cir"),
    os.path.join(DATA, "rfsquid_mutual.cir"),  # its inductors are coupled: declarations
    os.path.join(EXAMPLES, "library", "lx_dff_testbench.cir"),
]


def read(text_or_path, blocks):
    """The netlist read with blocks for any size (True) or for none."""
    saved = expand.BLOCK_MIN
    expand.BLOCK_MIN = 1 if blocks else 10**12
    try:
        return read_netlist(text_or_path)
    finally:
        expand.BLOCK_MIN = saved


def traces(net, **options):
    res = net.simulate(**options)
    return res, {label: values for label, _, values in net.traces(res)}


def assert_same(got, want):
    """The same sums in another order: equal to rounding of the trace's scale
    (mostly to the bit)."""
    assert np.abs(got - want).max() <= 1e-11 * np.abs(want).max()


@pytest.mark.parametrize("deck", DECKS, ids=os.path.basename)
def test_reference_decks_give_the_same_traces_from_blocks(deck):
    singles, blocks = read(deck, False), read(deck, True)
    assert not singles._nominal.circuit.blocks
    res_a, want = traces(singles)
    res_b, got = traces(blocks)
    assert got.keys() == want.keys()
    for label in want:
        assert_same(got[label], want[label])
    for key in ("steps", "rejected", "iterations", "factorisations"):
        assert res_b.stats[key] == res_a.stats[key], key
    assert blocks.nodes() == singles.nodes() or set(blocks.nodes()) == set(singles.nodes())


FANOUT = """\
* a tree of instances over plain cells, a parameter and a junction among them
.param lscale=2
.model jm jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)
.subckt leaf a
R1 a n1 10
L1 n1 0 {lscale*1p}
C1 n1 n2 0.1p
R2 n2 0 5
.ends leaf
.subckt pair a
X1 leaf a
X2 leaf a
L9 a m 1p
B1 m 0 jm area=1.5
R9 m 0 4
.ends pair
.subckt top a
X1 pair a
X2 pair a
X3 pair a
.ends top
I1 0 in pwl(0 0 5p 250u 20p 250u 25p 500u)
RIN in 0 20
XROOT top in
.tran 0.05p 60p
.print v(in) i(R1|X2|X3|XROOT) v(n2|X1|X1|XROOT) p(B1|X2|XROOT)
.end
"""


def test_names_and_probes_resolve_after_the_arrays_are_built():
    singles, blocks = read(FANOUT, False), read(FANOUT, True)
    circuit = blocks._nominal.circuit
    assert {b.adder for b in circuit.blocks} == {"resistor", "inductor", "capacitor"}
    assert blocks.probes == singles.probes
    assert len(blocks.probes) == 4  # none skipped
    _, want = traces(singles)
    _, got = traces(blocks)
    for label in want:
        assert_same(got[label], want[label])
    assert max(np.ptp(v) for v in want.values()) > 0  # the traces move
    # spellings as analyses and older flows write them
    assert blocks.name_of("r1.x2.x3.xroot") == "R1|X2|X3|XROOT"
    assert blocks.name_of("N2|X1|X1|XROOT") == "N2|X1|X1|XROOT"
    # asking whether a name is there keeps the blocks; asking for the element unpacks
    assert "C1|X1|X2|XROOT" in circuit and "C1|X9" not in circuit
    assert circuit.blocks
    inductor = circuit["L1|X2|X1|XROOT"]
    reference = singles._nominal.circuit["L1|X2|X1|XROOT"]
    assert (inductor.nodes, inductor.l) == (reference.nodes, reference.l)
    assert not circuit.blocks
    assert sorted(e.name for e in circuit) == sorted(e.name for e in singles._nominal.circuit)
    # the Python engine runs the single declarations the blocks stand for
    _, python_singles = traces(read(FANOUT, False), engine="python", t_stop=20e-12)
    _, python_blocks = traces(read(FANOUT, True), engine="python", t_stop=20e-12)
    for label in python_singles:
        assert_same(python_blocks[label], python_singles[label])
    # a recorded series of an element held in a block, through the Python API
    res = read(FANOUT, True).circuit().simulate_seconds(60e-12, 0.05e-12, record=["R2|X1|X3|XROOT"])
    assert np.ptp(res.current("R2|X1|X3|XROOT")) > 0


DANGLING = """\
* a node held only by a current source inside an instance
.subckt cell a
R1 a b 2
L1 b 0 1p
I1 0 c 1u
C1 a 0 0.1p
.ends cell
X1 cell 1
X2 cell 1
R0 1 0 1
.tran 0.1p 1p
.end
"""


def test_connection_faults_are_named_alike_from_columns():
    open_end = DANGLING.replace("I1 0 c 1u", "R3 b c 1")
    warned = []
    for blocks in (False, True):
        with pytest.warns(UserWarning) as caught:
            read(open_end, blocks)
        warned.append(sorted(str(w.message) for w in caught))
    assert warned[0] == warned[1] and any("C|X1 is connected only to R3|X1" in w for w in warned[0])
    errors = []
    for blocks in (False, True):
        with pytest.raises(NetlistError) as caught:
            read(DANGLING, blocks)
        errors.append(str(caught.value))
    assert errors[0] == errors[1]
    assert "node C|X1 has no path to ground other than through current sources" in errors[0]


def test_a_block_is_refused_whole_with_the_single_element_message():
    c = Circuit("blocks", units="normalised")
    c.resistor("R0", "a", "0", 1.0)
    a, b = c.number_nodes(["a", "b"]), c.number_nodes(["b"])
    with pytest.raises(CircuitError, match="duplicate element name 'R0'"):
        c.add_block("resistor", ["R1", "R0"], [a[0], a[1]], [0, 0], [1.0, 2.0])
    with pytest.raises(CircuitError, match="R2 connects node 'b' to itself"):
        c.add_block("inductor", ["R1", "R2"], [1, 2], [0, b[0]], [1.0, 2.0])
    with pytest.raises(CircuitError, match="resistance of R2"):
        c.add_block("resistor", ["R1", "R2"], [1, 2], [0, 0], [1.0, 0.0])
    assert not c.blocks and len(c) == 1  # nothing half-added
    c.add_block("capacitor", ["C1", "C2"], [1, 2], [2, 0], [0.5, 0.25])
    assert len(c) == 3 and "C2" in c
    res = c.simulate(2.0, 0.01)  # a floating pair would be refused: this one is grounded
    assert res.stats["steps"] == 200
    with pytest.raises(CircuitError, match="duplicate element name 'C1'"):
        c.capacitor("C1", "a", "0", 1.0)


def test_junctions_and_sources_of_one_model_or_waveform_are_copies_of_their_own():
    circuit = read_netlist(os.path.join(DATA, "jtl100.cir"))._nominal.circuit
    first, other = circuit["B1"], circuit["B2"]
    assert type(first) is type(other) and vars(first).keys() == vars(other).keys()
    assert (first.ic, first.r, first.c) == (other.ic, other.r, other.c)
    assert other.nodes != first.nodes
    other.ic *= 2  # as the margin scaling changes one element
    assert first.ic * 2 == other.ic
    foreign = Circuit("other", units="normalised").resistor("R1", "a", "0", 1.0)
    with pytest.raises(CircuitError, match="copies only a two-terminal element of this circuit"):
        circuit.copy_element("R9", foreign, "a", "0")
    with pytest.raises(CircuitError, match="duplicate element name 'B1'"):
        circuit.copy_element("B1", other, "a", "0")


def test_drawn_values_are_drawn_in_netlist_order():
    text = FANOUT.replace("R2 n2 0 5", "R2 n2 0 {gauss(5, 0.1)}").replace(
        "C1 n1 n2 0.1p", "C1 n1 n2 {agauss(0.1p, 0.01p)}"
    )
    drawn = []
    for block_min in (10**12, 1):
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(expand, "BLOCK_MIN", block_min)
            circuit = read_netlist(text).circuit(rng=np.random.default_rng(7))
        assert bool(circuit.blocks) == (block_min == 1)
        drawn.append({e.name: repr(e) for e in circuit if not e.is_source})
    assert drawn[0] == drawn[1]
    values = [text for name, text in drawn[0].items() if name.startswith("R2|")]
    assert len(set(values)) == len(values) == 6  # each drawn for itself
