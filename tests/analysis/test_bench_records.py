"""Benches joined from separately read records read as the same definitions
written in one file do: the reader on the joined text is the oracle."""

import numpy as np
import pytest

from loxant.analysis.bench_records import combined
from loxant.analysis.harness import parsed_records
from loxant.netlist import Netlist, NetlistError
from loxant.netlist.tokens import read_string

LIBRARY = """\
* a cell library: its own parameters, a model and two nested cells
.param lw=2p bias=175u
.model jjl jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)
.subckt stage a b
L1 a 1 {lw}
B1 1 0 jjl area=2.5
IB1 0 1 pwl(0 0 5p {bias})
L2 1 b {lw}
.ends stage
.subckt pair a q
X1 stage a m
X2 stage m q
.ends pair
"""

BENCH = """\
* the bench: a pulse in, the library's cells, a sink
.param tin=20p
I1 0 in pwl(0 0 {tin} 0 {tin+1p} 600u {tin+2p} 0)
XP pair in out
XS stage out end
R1 end 0 2
.tran 0.05p 60p
"""

#: a bench that reuses the library's names: (text, what the reader says)
CLASHES = [
    (".subckt stage a b\nR1 a b 1\n.ends stage\n", "duplicate subcircuit STAGE"),
    (".model jjl jj(rtype=0, icrit=0.2mA)\n", "model JJL defined twice differently"),
    (".param bias=100u\n", ".param BIAS defined twice"),
]


def _records(text, name, folder):
    return parsed_records(*read_string(text, name, str(folder)), name)


def _joined(library, bench, folder):
    parts = [_records(library, "lib.cir", folder), _records(bench, "bench.cir", folder)]
    merged = combined("bench.cir", parts, parts[1].top.elements, parts[1])
    return Netlist(merged, "", "bench.cir", str(folder))


def test_joined_records_simulate_as_the_joined_text(tmp_path):
    joined = _joined(LIBRARY, BENCH, tmp_path)
    oracle = Netlist.from_string(LIBRARY + BENCH, base_dir=str(tmp_path))
    assert joined.params == oracle.params
    assert joined.nodes() == oracle.nodes()
    assert joined.junctions() == oracle.junctions() and len(joined.junctions()) == 3
    ours, theirs = joined.simulate(), oracle.simulate()
    assert np.array_equal(ours.time(), theirs.time())
    for name in oracle.junctions():
        assert np.array_equal(ours.phase(name), theirs.phase(name))
    assert ours.turn_count("B1|XS")[-1] >= 1  # the pulse reached the last cell


@pytest.mark.parametrize("clash, message", CLASHES)
def test_a_name_defined_twice_is_the_readers_error_at_the_second_line(tmp_path, clash, message):
    bench = "* bench\n" + clash + BENCH.split("\n", 1)[1]
    with pytest.raises(NetlistError, match=message) as oracle:
        Netlist.from_string(LIBRARY + bench)
    with pytest.raises(NetlistError, match=message) as ours:
        _joined(LIBRARY, bench, tmp_path)
    assert (ours.value.file, ours.value.line) == ("bench.cir", 2)
    assert oracle.value.line == LIBRARY.count("\n") + 2
