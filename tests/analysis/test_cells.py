"""Margins of a testbench as library cells come (a source cell, the device, a load
cell) against a dense scan judged here from the switching times alone; the
failure groups against the runs; one name for a device everywhere."""

import numpy as np
import pytest
from analysis_circuits import CELL_OUTPUTS, CELLS, Switches, same_switching

import loxant
from loxant.analysis import GLOBAL_BIAS, margins, scale, sweep, yield_analysis

RESOLUTION = 1.0  # percent
SCAN = np.round(np.arange(0.4, 1.6 + 1e-9, 0.01), 10)
WINDOW = 10e-12


@pytest.fixture(scope="module")
def netlist():
    return loxant.read_netlist(CELLS)


@pytest.fixture(scope="module")
def cell_margins(netlist):
    return margins(
        netlist,
        ["bias", "iin", GLOBAL_BIAS],
        resolution=RESOLUTION,
        limits=(-55, 55),
        dut=None,  # the global bias of the whole testbench, as BIAS scales it
        client=None,
        progress=False,
    )


def _passing_interval(passed, grid):
    centre = int(np.argmin(np.abs(grid - 1.0)))
    lo = hi = centre
    while lo > 0 and passed[lo - 1]:
        lo -= 1
    while hi < len(passed) - 1 and passed[hi + 1]:
        hi += 1
    return grid[lo], grid[hi]


def test_margins_equal_a_dense_scan_of_the_outputs_switching(netlist, cell_margins):
    measure = {name: Switches(name) for name in CELL_OUTPUTS}
    nominal = netlist.simulate(record=CELL_OUTPUTS)
    expected = {name: Switches(name)(nominal) for name in CELL_OUTPUTS}
    assert all(len(turns) == 2 for turns in expected.values())  # two pulses through
    for row in cell_margins.table.iloc[:2].itertuples(index=False):  # BIAS, IIN
        scan = sweep(
            netlist, {row.parameter: scale(SCAN)}, measure=measure, client=None, progress=False
        )
        passed = [
            all(same_switching(point[name], expected[name], WINDOW) for name in CELL_OUTPUTS)
            for _, point in scan.iterrows()
        ]
        low, high = _passing_interval(passed, SCAN)
        tolerance = RESOLUTION + 1.0 + 1e-6  # percent: resolution and scan step
        assert row._2 == pytest.approx((low - 1) * 100, abs=tolerance), row.parameter
        assert row._3 == pytest.approx((high - 1) * 100, abs=tolerance), row.parameter
        assert -55 < row._2 < 0 < row._3 < 55, row.parameter  # real bounds, inside the range


def test_the_global_bias_leaves_the_input_pulse_alone(netlist, cell_margins):
    table = cell_margins.table.set_index("parameter")
    # the pulse's nominal is its amplitude; the global bias the sum of the four biases
    assert table.loc["IIN", "nominal"] == pytest.approx(1.2 * 250e-6)
    assert table.loc[GLOBAL_BIAS, "nominal"] == pytest.approx(4 * 0.7 * 250e-6)
    # scaling every bias source is scaling BIAS (which sets only the biases)
    for side in ("low %", "high %"):
        assert table.loc[GLOBAL_BIAS, side] == pytest.approx(table.loc["BIAS", side], abs=1.0)


def test_failure_groups_add_up_to_the_failed_runs(cell_margins):
    runs, groups = cell_margins.runs, cell_margins.reasons()
    assert groups["count"].sum() == (~runs["passed"]).sum() > 0
    for (parameter, side), group in groups.groupby(["parameter", "side"]):
        mine = runs[(runs["parameter"] == parameter) & (runs["side"] == side)]
        assert group["count"].sum() == (~mine["passed"]).sum()
        assert set(group["example"]) <= set(mine["message"])
    # the criterion names an output junction in every failure
    assert all(any(name in m for name in CELL_OUTPUTS) for m in groups["example"])


def test_yield_reasons_add_up(netlist):
    result = yield_analysis(
        netlist, 30, global_spread={"bias": 0.3}, seed=2, client=None, progress=False
    )
    groups = result.reasons()
    assert groups["count"].sum() == result.n - result.passed > 0
    assert (groups["reason"] == "criterion").all()


@pytest.mark.parametrize(
    "spelled, canonical, nominal",
    [
        ("bias", "BIAS", 0.7),  # every value is absolute, in SI units
        ("B1.X2.XDUT", "B1|X2|XDUT", 250e-6),
        ("b1|x2.xdut", "B1|X2|XDUT", 250e-6),
        ("b1.x2.xdut.IC", "B1|X2|XDUT.ic", 250e-6),
        ("Global Bias", GLOBAL_BIAS, "x1"),
    ],
)
def test_one_name_for_a_device_everywhere(netlist, tmp_path, spelled, canonical, nominal):
    path = tmp_path / "cells.cir"
    path.write_text(CELLS)
    result = margins(
        str(path), [spelled], resolution=10, global_bias=False, client=None, progress=False
    )
    assert list(result.table["parameter"]) == [canonical]
    table = sweep(
        path, {spelled: [nominal]}, measure=Switches("b2.xload"), client=None, progress=False
    )
    # the sweep's column keeps the spelling given
    assert list(table.columns[:1]) == [spelled] and table["passed"].all()
    assert len(table["value"][0]) == 2
    results = netlist.simulate()
    np.testing.assert_array_equal(results.phase("b1.x2.xdut"), results.phase("B1|X2|XDUT"))
    np.testing.assert_array_equal(
        results.normalised.phase("B1.X2.XDUT"), results.normalised.phase("b1|x2|xdut")
    )


def test_junctions_given_by_either_spelling_watch_the_same(netlist):
    outcomes = [
        margins(
            netlist,
            ["BIAS"],
            junctions=[name],
            resolution=10,
            global_bias=False,
            client=None,
            progress=False,
        ).nominal.events
        for name in ("B2.XLOAD", "b2|xload")
    ]
    assert outcomes[0] == outcomes[1] and {n for _, n, _ in outcomes[0]} == {"B2|XLOAD"}
