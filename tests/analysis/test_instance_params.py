"""A subcircuit's own .param varied for one instance: what the cell computes from
it (the shunt written as B0Rs/B1, the shunt's inductance) follows, as if the
netlist had been written with the new value; a junction whose area is such a
.param is scaled through it; names that are not parameters are refused."""

import os

import numpy as np
import pytest

from loxant.analysis import Design, margins
from loxant.analysis.montecarlo import _spreads, yield_analysis
from loxant.analysis.netlist_edit import NetlistEdit
from loxant.analysis.sampling import draw_sample
from loxant.netlist import Netlist, NetlistError

#: a cell in the style of a cell library: shunts and their inductances computed
#: from the junction's area .param; two instances so one can be told apart
CELL = """* shunted stage
.model jjm jj(rtype=0, icrit=0.1mA, rn=16, cap=0.07pF)
.subckt stage in out
.param B0=1
.param B0Rs=6.86*B0
.param B1={b1}
.param RB1=B0Rs/B1
.param LRB1=(RB1/2)*1.13p+0.5p
B1 in 0 jjm area=B1
RB1 in n1 RB1
LRB1 n1 0 LRB1
L1 in out 2p
IB 0 in pwl(0 0 5p 150u)
.ends stage
X1 stage a b
XDUT stage b c
R1 c 0 2
.tran 0.25p 40p
"""

DFFT = "/work/peers/RSFQlib/RSFQlib/mitll_DFFT/THmitll_DFFT_v3p0_testbench.cir"


#: the values compared, with their units
_ATTRIBUTES = (("r", "ohm"), ("l", "H"), ("ic", "A"), ("c", "F"))


def _values(circuit_object):
    """{element: its values in SI} of a built circuit (each netlist has its own
    reference units)."""
    scale = circuit_object.units.scale
    return {
        e.name: tuple(float(getattr(e, a, 0.0)) * scale[u] for a, u in _ATTRIBUTES)
        for e in Design.normalised(circuit_object).elements
    }


def _netlist(b1=1.6, b0=1):
    return Netlist.from_string(CELL.format(b1=b1).replace(".param B0=1", f".param B0={b0}"))


@pytest.mark.parametrize(
    "name, multiplier, edited",
    [
        ("B0", 1.2, {"b0": 1.2}),  # the shunt's scale: every shunt and inductance moves
        ("B1", 0.8, {"b1": 1.6 * 0.8}),  # the area .param: junction, shunt, inductance
        ("B1|XDUT", 1.25, {"b1": 1.6 * 1.25}),  # the junction itself, through its area
        ("B1.XDUT", 1.25, {"b1": 1.6 * 1.25}),
        ("B0@xdut", 0.9, {"b0": 0.9}),
    ],
)
def test_instance_param_moves_its_dependents_as_an_edited_netlist(name, multiplier, edited):
    design = Design(_netlist())
    design.set_dut("XDUT")
    built = _values(design.build({design.resolve(name): multiplier}))
    nominal = _values(design.build())
    oracle = _values(_netlist(**edited).circuit())
    for element, values in built.items():
        expected = oracle[element] if element.endswith("|XDUT") else nominal[element]
        assert values == pytest.approx(expected, rel=1e-12), element
    # the dependents did move (not only the named value)
    assert built["LRB1|XDUT"] != nominal["LRB1|XDUT"]
    assert built["RB1|X1"] == nominal["RB1|X1"]


def test_instance_param_names_and_refusals():
    design = Design(_netlist())
    with pytest.raises(ValueError, match="no element or .param named 'B0'"):
        design.resolve("B0")  # without a cell under test B0 is nobody's
    assert design.resolve("B0.X1") == "B0@X1"
    design.set_dut("XDUT")
    assert design.resolve("b0") == "B0@XDUT"
    assert design.nominal("RB1@XDUT") == pytest.approx(6.86 / 1.6)
    assert design.area_param("B1|XDUT") == "B1@XDUT"
    netlist = _netlist()
    with pytest.raises(NetlistError, match="has no parameter nope"):
        netlist.circuit(params={"NOPE@XDUT": 1.0})
    with pytest.raises(NetlistError, match="no subcircuit instance XNONE"):
        netlist.circuit(params={"B0@XNONE": 1.0})


def test_shared_area_param_scales_the_junction_alone():
    text = CELL.format(b1=1.6).replace("L1 in out 2p", "B2 out 0 jjm area=B1\nL1 in out 2p")
    design = Design(Netlist.from_string(text))
    assert design.area_param("B1|XDUT") is None
    built = _values(design.build({"B1|XDUT": 1.25}))
    nominal = _values(design.build())
    assert built["RB1|XDUT"] == nominal["RB1|XDUT"]
    assert built["B2|XDUT"] == nominal["B2|XDUT"]
    assert built["B1|XDUT"][2] == pytest.approx(1.25 * nominal["B1|XDUT"][2])


@pytest.mark.skipif(not os.path.exists(DFFT), reason="the ColdFlux cell library is not here")
def test_library_cell_junction_margin_moves_its_shunt():
    with open(DFFT, encoding="latin-1") as f:
        text = f.read()
    design = Design(Netlist.from_string(text, base_dir=os.path.dirname(DFFT)))
    design.set_dut("XDUT")
    built = _values(design.build({design.resolve("B3.XDUT"): 1.1}))
    edited = text.replace(".param B3=1.36", f".param B3={1.36 * 1.1!r}", 1)
    oracle = _values(Netlist.from_string(edited, base_dir=os.path.dirname(DFFT)).circuit())
    for element in ("B3|XDUT", "RB3|XDUT", "LRB3|XDUT", "RB2|XDUT", "IB1|XSOURCEINA"):
        assert built[element] == pytest.approx(oracle[element], rel=1e-12)
    assert built["RB3|XDUT"] != _values(design.build())["RB3|XDUT"]
    result = margins(
        design, params=["B3.XDUT"], global_bias=False, resolution=5, client=None, progress=False
    )
    assert "B3@XDUT" in result.notes["B3|XDUT"]
    assert "B3|XDUT: scaled through its area .param B3@XDUT" in result.formatted()


def test_yield_spread_on_params_and_on_the_cell_under_test_only():
    design = Design(_netlist())
    design.set_dut("XDUT")
    spreads = _spreads({}, "global", design), _spreads({"B0": 0.1, "l": 0.05}, "local", design)
    assert set(spreads[1]) == {"B0@XDUT", "l"}
    nominal = _values(design.build())
    for index in range(3):
        circuit, drawn = draw_sample(design, {}, {}, 7, index, spreads)
        built = _values(circuit)
        oracle = _values(_netlist(b0=drawn["B0@XDUT"]).circuit())
        assert built["RB1|XDUT"] == pytest.approx(oracle["RB1|XDUT"], rel=1e-12)
        assert built["RB1|XDUT"] != nominal["RB1|XDUT"]
        assert built["L1|XDUT"] != nominal["L1|XDUT"]  # the inductance kind, inside
        for element in ("RB1|X1", "L1|X1", "LRB1|X1"):  # outside the cell: as nominal
            assert built[element] == nominal[element]
    with pytest.raises(ValueError, match="unknown kind 'NOPE'.*element or .param name"):
        _spreads({"NOPE": 0.1}, "local", design)


@pytest.mark.parametrize(
    "name, factor, edit",
    [
        # every inductor of the cell, written and computed ones alike
        (
            "Ltotal",
            1.3,
            lambda t, f: t.replace("*1.13p+0.5p", f"*1.13p*{f}+0.5p*{f}").replace(
                "L1 in out 2p", f"L1 in out {2 * f}p"
            ),
        ),
        # every junction through its area .param: its shunt and the shunt's inductance follow
        (
            "global critical current",
            0.8,
            lambda t, f: t.replace(".param B1=1.6", f".param B1={1.6 * f}"),
        ),
        ("Rtotal", 1.5, lambda t, f: t.replace("RB1 in n1 RB1", f"RB1 in n1 {{RB1*{f}}}")),
    ],
)
def test_global_multipliers_scale_the_cell_as_an_edited_netlist(name, factor, edit):
    design = Design(_netlist())
    design.set_dut("XDUT")
    built = _values(design.build({design.resolve(name): factor}))
    nominal = _values(design.build())
    text = CELL.format(b1=1.6)
    oracle = _values(Netlist.from_string(edit(text, factor)).circuit())
    for element, values in built.items():
        expected = oracle[element] if element.endswith("|XDUT") else nominal[element]
        assert values == pytest.approx(expected, rel=1e-12), element
    assert design.resolve("itotal") == "global bias"
    design.set_dut(None)  # the whole netlist: both stages and R1
    assert len(design.globally_scaled("global resistance")) == 3


def test_spread_card_on_a_param_draws_it_per_instance_and_its_dependents_follow():
    netlist = Netlist.from_string(CELL.format(b1=1.6).replace(".tran", ".spread B0=0.1\n.tran"))
    assert netlist.spreads == {"B0@X1": 0.1, "B0@XDUT": 0.1}
    nominal = _values(netlist.circuit())
    ratios = set()
    for seed in range(4):
        drawn = _values(netlist.circuit(rng=np.random.default_rng(seed)))
        for cell in ("X1", "XDUT"):
            rb1 = drawn[f"RB1|{cell}"][0]
            ratios.add(round(rb1 / nominal[f"RB1|{cell}"][0], 12))
            # the shunt's inductance is the cell's formula of the drawn shunt
            assert drawn[f"LRB1|{cell}"][1] == pytest.approx(rb1 / 2 * 1.13e-12 + 0.5e-12)
            assert drawn[f"B1|{cell}"] == nominal[f"B1|{cell}"]
    assert len(ratios) == 8 and all(0.9 <= r <= 1.1 for r in ratios)
    with pytest.raises(
        NetlistError, match=r"<string>:\d+: .spread: unknown kind nope .*or a .param"
    ):
        Netlist.from_string(CELL.format(b1=1.6).replace(".tran", ".spread NOPE=0.1\n.tran"))


@pytest.mark.parametrize(
    "names, changes, changed_lines",
    [
        (["B0"], {"B0@XDUT": 1.2}, [".param B0=1.2"]),
        (["B1.XDUT"], {"B1|XDUT": 1.25}, [".param B1=2"]),  # the area .param, not area=
        (
            ["Ltotal"],
            {"global inductance": 0.9},
            ["LRB1 n1 0 ", "L1 in out 1.8"],
        ),
    ],
)
def test_written_netlist_reads_back_as_the_scaled_design(tmp_path, names, changes, changed_lines):
    path = tmp_path / "one.cir"
    path.write_text(CELL.format(b1=1.6).replace("X1 stage a b\n", "R0 b 0 1\n"))
    netlist = Netlist.from_file(str(path))
    design = Design(netlist)
    design.set_dut("XDUT")
    canonical = [design.resolve(n) for n in names]
    assert canonical == list(changes)
    written = NetlistEdit(netlist, design, canonical).text(changes)
    new = [line for line in written.splitlines() if line not in path.read_text().splitlines()]
    new = [line for line in new if not line.startswith("* loxant")]
    assert len(new) == len(changed_lines)
    assert all(line.startswith(start) for line, start in zip(new, changed_lines))
    path.write_text(written)
    again = _values(Netlist.from_file(str(path)).circuit())
    built = _values(design.build(changes))
    for element, values in built.items():
        assert again[element] == pytest.approx(values, rel=1e-8), element


def test_yield_samples_table_names_param_and_global_draws(tmp_path):
    path = tmp_path / "one.cir"
    path.write_text(CELL.format(b1=1.6).replace("X1 stage a b\n", "R0 b 0 1\n"))
    result = yield_analysis(
        str(path),
        3,
        dut="XDUT",
        local_spread={"B0": 0.05, "Ltotal": 0.03},
        client=None,
        progress=False,
    )
    samples = result.samples
    assert {"B0@XDUT", "global inductance"} <= set(samples.columns)
    units = samples.attrs["units"]
    assert units["B0@XDUT"] is None and units["global inductance"] == "H"
    # every sample's global inductance is the cell's inductors' total times one draw
    total = Design(Netlist.from_file(str(path))).nominal("global inductance")
    factors = samples["global inductance"] / total
    assert factors.nunique() == 3 and ((factors - 1).abs() < 0.2).all()
