"""The cell under test on a testbench of three cells, glob patterns over parameter
names, bounds at the searched range's end, sweeps in absolute and multiplier
form, a NaN measure failing its row, and delays by causality on a flip-flop whose
clock ticks before the data arrives."""

import math
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pandas")

from analysis_circuits import JUNCTION_RUN, FakeNetlist, biased_junction

from loxant.analysis import (
    GLOBAL_BIAS,
    Delay,
    Design,
    delay,
    margins,
    scale,
    sweep,
    switching_times,
)
from loxant.analysis.harness import DEFAULT_CELLS
from loxant.netlist import Netlist

#: a source cell, the device (one stage biased from the top level through IBD,
#: and a stage with its own bias), a load cell with its own bias
THREE_CELLS = """* three cells
.param IC=250u BIAS=0.7
.model jj0 jj(rtype=0, icrit=IC, rn=2.74, cap=0.175p)
.subckt stage in out
B1 in 0 jj0 area=1
IB 0 in pwl(0 0 20p {BIAS*IC})
L1 in out 3p
.ends stage
.subckt source in out
X1 stage in out
.ends source
.subckt dut in out
B1 in 0 jj0 area=1
L1 in a 3p
X2 stage a out
.ends dut
.subckt load in
B2 in 0 jj0
IB2 0 in pwl(0 0 20p {BIAS*IC})
.ends load
IIN 0 in pulse(0 {1.2*IC} 40p 2p 2p 3p 40p)
IBD 0 1 pwl(0 0 20p {BIAS*IC})
XSOURCE source in 1
XDUT dut 1 2
XLOAD load 2
.tran 0.025p 120p 0 0.25p
.print p(B1.X2.XDUT) p(B2.XLOAD)
.end
"""


@pytest.fixture(scope="module")
def bench():
    return Netlist.from_string(THREE_CELLS)


def test_the_cell_under_test_scopes_the_parameters_and_the_global_bias(bench):
    design = Design(bench)
    whole = design.default_parameters()
    assert design.default_dut() == "XDUT"
    design.set_dut("xdut")  # any case
    assert design.dut == "XDUT"
    # its own elements, and the top-level bias feeding its input node; not the
    # source's or the load's (the load's bias sits on the device's output node)
    assert design.default_parameters() == [
        "IBD",
        "IB|X2|XDUT",
        "B1|XDUT",
        "L1|XDUT",
        "B1|X2|XDUT",
        "L1|X2|XDUT",
    ]
    assert set(design.default_parameters()) < set(whole)
    assert design.bias_sources() == ["IBD", "IB|X2|XDUT"]
    assert design.nominal(GLOBAL_BIAS) == pytest.approx(2 * 0.7 * 250e-6)
    # the global bias scales those two only
    built = design.normalised(design.build({GLOBAL_BIAS: 1.5}))
    nominal = design.normalised(design.build())
    for name in ("IBD", "IB|X2|XDUT", "IB|X1|XSOURCE", "IB2|XLOAD"):
        ratio = design.nominal_of(built, name) / design.nominal_of(nominal, name)
        assert ratio == pytest.approx(1.5 if "XDUT" in name or name == "IBD" else 1.0)


def test_the_default_cell_under_test_and_its_errors(bench):
    result = margins(bench, ["B1.XDUT"], resolution=20, client=None, progress=False)
    assert result.dut == "XDUT"
    assert list(result.table["parameter"]) == ["B1|XDUT", GLOBAL_BIAS]
    assert result.table.set_index("parameter").loc[GLOBAL_BIAS, "nominal"] == pytest.approx(
        2 * 0.7 * 250e-6
    )
    text = THREE_CELLS.replace("XDUT dut 1 2", "XDUT1 dut 1 2\nXDUT2 dut 2 3")
    two = Netlist.from_string(text.replace("p(B1.X2.XDUT) ", ""))
    assert Design(two).default_dut() is None  # two of them: no default
    with pytest.raises(ValueError, match=r"no subcircuit instance named 'XCUT' \(instances: "):
        margins(bench, dut="XCUT", client=None, progress=False)


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("B*.XDUT", ["B1|XDUT", "B1|X2|XDUT"]),  # * spans instance levels
        ("B?|XDUT", ["B1|XDUT"]),
        ("ib*", ["IBD", "IB|X1|XSOURCE", "IB|X2|XDUT", "IB2|XLOAD"]),
        ("*|xload", ["IB2|XLOAD", "B2|XLOAD"]),
        ("BIA?", ["BIAS"]),  # a .param
    ],
)
def test_glob_patterns_name_parameters(bench, pattern, expected):
    assert sorted(Design(bench).expand(pattern)) == sorted(expected)


def test_glob_patterns_in_margins_keep_each_parameter_once(bench):
    result = margins(
        bench,
        ["B1.XDUT", "B*.XDUT", "b1|x?|xdut"],
        resolution=30,
        global_bias=False,
        client=None,
        progress=False,
    )
    assert list(result.table["parameter"]) == ["B1|XDUT", "B1|X2|XDUT"]
    with pytest.raises(ValueError, match="no element or .param matches the pattern 'Q\\*'"):
        margins(bench, ["Q*"], client=None, progress=False)


def test_a_bound_at_the_range_end_is_marked_and_not_a_margin():
    # a junction at rest under a bias below its critical current: lowering the
    # bias never fails, so the low bound is the range's end
    result = margins(
        FakeNetlist(), ["IB"], resolution=5, global_bias=False, client=None, progress=False
    )
    row = result.table.iloc[0]
    assert row["low %"] == -60 and row["low at limit"]
    assert row["high %"] < 60 and not row["high at limit"]
    text = result.formatted()
    assert "≤ -60" in text and "≥" not in text
    everything_passes = margins(
        FakeNetlist(), ["IC"], limits=(-5, 5), global_bias=False, client=None, progress=False
    )
    assert "≥ 5" in everything_passes.formatted() and "≤ -5" in everything_passes.formatted()
    assert everything_passes.critical_at_limit
    assert everything_passes.critical_text().startswith("critical margin: ≥ 5.0 %")


@pytest.mark.parametrize(
    "source, name",
    [(biased_junction, "I1"), (FakeNetlist, "IB")],  # an element and a .param
)
def test_sweeps_give_the_same_table_in_absolute_and_multiplier_form(source, name):
    run = JUNCTION_RUN if source is biased_junction else {}
    nominal = 0.9  # analysis_circuits.BIAS: both sources are biased at it
    multipliers = [0.8, 1.3, 1.6]
    tables = [
        sweep(
            source(), {name: values}, measure=Delay("J1", "J1"), client=None, progress=False, **run
        )
        for values in (
            scale(multipliers),
            [m * nominal for m in multipliers],
            [f"x{m}" for m in multipliers],
        )
    ]
    np.testing.assert_allclose(tables[0][name], [m * nominal for m in multipliers])
    for table in tables[1:]:
        np.testing.assert_allclose(table[name], tables[0][name], rtol=1e-12)
        np.testing.assert_allclose(table["value"], tables[0]["value"], rtol=1e-9, equal_nan=True)
        assert list(table["passed"]) == list(tables[0]["passed"])


def test_a_sweep_refuses_values_scaling_cannot_reach():
    with pytest.raises(ValueError, match="positive multiples of the nominal"):
        sweep(biased_junction(), {"I1": [-0.5]}, measure=len, client=None, **JUNCTION_RUN)
    with pytest.raises(ValueError, match="expected a number, or a multiplier"):
        sweep(biased_junction(), {"I1": ["x"]}, measure=len, client=None, **JUNCTION_RUN)


def test_a_nan_measure_fails_its_row_with_the_reason():
    # below its critical current the junction never switches: no delay to take
    table = sweep(
        biased_junction(),
        {"I1": scale([0.5, 1.5])},
        measure={"d": Delay("J1", "J1")},
        client=None,
        progress=False,
        **JUNCTION_RUN,
    )
    assert list(table["passed"]) == [False, True]
    assert table["reason"][0] == "measure"
    assert table["message"][0] == "cannot take d: J1 never switches"
    assert math.isnan(table["d"][0]) and table["d"][1] > 0


DFF_BENCH = """
{cells}
{bench}
ID 0 injd pwl(0 0 {data}p 0 {data2}p 400u {data4}p 0)
XSD LXH_SOURCE injd d
ICLK 0 injc pwl(0 0 {clocks})
XSC LXH_SOURCE injc clk
XD dff d clk q
XL LXH_STAGE q ld
XK LXH_SINK ld
.tran 0.05p 260p
.end
"""


def _pulses(times):
    return " ".join(f"{t}p 0 {t + 2}p 400u {t + 4}p 0" for t in times)


def test_a_delay_pairs_each_output_with_the_latest_clock_before_it():
    # clock ticks at 30, 100, 170 ps; the data arrives at 120 ps, so q answers the
    # tick at 170 ps only: clock to q is a few ps, not q's time after the first tick
    cells = (Path(__file__).parent / "data" / "cells.cir").read_text().replace(".end\n", "")
    text = DFF_BENCH.format(
        cells=cells,
        bench=DEFAULT_CELLS,
        data=120,
        data2=122,
        data4=124,
        clocks=_pulses([30, 100, 170]),
    )
    results = Netlist.from_string(text).simulate()
    clock = switching_times(results, "B5|XD", direction=1)
    q = switching_times(results, "B7|XD", direction=1)
    assert len(clock) == 3 and len(q) == 1 and q[0] > clock[2]
    expected = q[0] - clock[2]
    assert 1e-12 < expected < 20e-12
    assert delay(results, "B5.XD", "B7.XD") == pytest.approx(expected, rel=1e-12)
    assert Delay("B5|XD", "B7|XD")(results) == pytest.approx(expected, rel=1e-12)
    # the first pairing by position would give the time from the first tick
    assert q[0] - clock[0] > 100e-12
    assert math.isnan(delay(results, "B5.XD", "B7.XD", index=1))
