"""loxant.optimize and loxant optimize: the optimum of a JTL's bias against a
dense scan, bounds never crossed, the time limit, and the netlist written."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import loxant
from loxant.analysis.design import Design
from loxant.analysis.events import switch_count
from loxant.analysis.netlist_edit import EditError, NetlistEdit
from loxant.analysis.optimize import _bounds, optimize, prepare
from loxant.analysis.runner import Run, evaluate

JTL = Path(__file__).parent / "data" / "optimize_jtl.cir"
WATCHED = ("B1|X1", "B1|X2", "B1|XDUT", "B1|X3", "B9")


def once_each(results):
    """Each junction of the JTL switches once, whenever: a criterion that does not
    move with the design, so that the working interval of the bias is fixed."""
    for name in WATCHED:
        if switch_count(results, name) != 1:
            return False, f"{name} switched {switch_count(results, name)} times"
    return True, ""


@pytest.fixture(scope="module")
def scanned_interval():
    """The passing interval of BIAS multipliers, by a dense scan (steps of 0.005)."""
    design = Design(str(JTL))
    multipliers = np.round(np.arange(0.30, 1.80, 0.005), 6)
    passed = [evaluate(design, Run(multipliers={"BIAS": m}), once_each).passed for m in multipliers]
    inside = [m for m, ok in zip(multipliers, passed) if ok]
    assert passed[list(multipliers).index(1.0)] and not passed[0] and not passed[-1]
    assert all(passed[list(multipliers).index(inside[0]) : list(multipliers).index(inside[-1])])
    return inside[0], inside[-1]


@pytest.mark.parametrize("bounds", [(0.5, 2.0), (0.5, 1.0), (1.0, 1.4)])
def test_the_bias_goes_to_the_middle_of_its_working_interval_within_the_bounds(
    scanned_interval, bounds
):
    # margins at x are 1 - a/x and b/x - 1: equal, and widest, at x = (a + b)/2
    a, b = scanned_interval
    best = min(max((a + b) / 2, bounds[0]), bounds[1])
    result = optimize(
        str(JTL),
        ["BIAS"],
        bounds=bounds,
        dut=None,
        global_bias=False,
        criterion=once_each,
        limits=(-90, 90),
        resolution=0.5,
        client=None,
        progress=False,
    )
    found = result.values["BIAS"]
    assert bounds[0] <= found <= bounds[1]
    assert found == pytest.approx(best, abs=0.02)
    expected = 100 * min(1 - a / best, b / best - 1)
    assert result.critical_after == pytest.approx(expected, abs=1.5)
    assert result.critical_after >= result.critical_before
    tried = result.runs["x BIAS"]
    assert tried.between(*bounds).all()
    # every judged run of the search sits at the trial design times 1 +- its level
    assert set(result.runs["purpose"]) >= {"margins before", "nominal", "level", "margins after"}


def test_max_time_stops_the_search_with_the_best_design_so_far():
    result = optimize(
        str(JTL),
        ["BIAS", "LQ"],
        dut=None,
        criterion=once_each,
        max_time=1e-3,
        client=None,
        progress=False,
    )
    assert result.stats["stopped"] == "max_time reached"
    assert set(result.runs["purpose"]) == {"margins before", "margins after"}
    assert result.values == {"BIAS": 1.0, "LQ": 1.0}
    assert result.critical_after == result.critical_before


CHANGES = {"BIAS": 1.1, "B1|XDUT": 0.9, "RB1|XDUT": 1.2, "L1|XDUT": 0.8, "IB1|XDUT": 1.05}


def _edit(names, dut="XDUT"):
    netlist = loxant.read_netlist(str(JTL))
    design, canonical = prepare(netlist, names, dut=dut)
    return design, NetlistEdit(netlist, design, canonical)


def test_the_written_netlist_simulates_as_the_scaled_design(tmp_path):
    design, edit = _edit(list(CHANGES))
    written = tmp_path / "out.cir"
    written.write_text(edit.text(CHANGES))
    scaled = design.simulate(design.build(CHANGES), record=["B9", "B1|XDUT"])
    again = Design(str(written))
    rerun = again.simulate(again.build(), record=["B9", "B1|XDUT"])
    for name in ("B9", "B1|XDUT"):
        np.testing.assert_allclose(rerun.phase(name), scaled.phase(name), rtol=1e-6, atol=1e-9)
    unscaled = design.simulate(design.build(), record=["B9"])
    assert not np.allclose(unscaled.phase("B9"), scaled.phase("B9"), rtol=1e-3)


def test_the_written_netlist_differs_only_in_the_changed_values():
    _, edit = _edit(list(CHANGES))
    original = JTL.read_text().splitlines()
    written = [
        line
        for line in edit.text(CHANGES).splitlines()
        if not line.startswith("* loxant optimize:")
    ]
    assert len(written) == len(original)
    changed = {k: (a, b) for k, (a, b) in enumerate(zip(original, written)) if a != b}
    heads = sorted(original[k].split()[0] for k in changed)
    assert heads == [".param", "B1", "IB1", "L1", "RB1"]
    for before, after in changed.values():
        words = [(x, y) for x, y in zip(before.split(), after.split()) if x != y]
        assert len(before.split()) == len(after.split()) and len(words) == 1
    assert changed[original.index("B1   in 0   jj0 area=1.0")][1] == "B1   in 0   jj0 area=0.9"
    notes = [line for line in edit.text(CHANGES).splitlines() if line.startswith("* loxant")]
    assert len(notes) == len(CHANGES)


@pytest.mark.parametrize(
    "names, message",
    [
        (["B1|X1"], "subcircuit STAGE has 3 instances"),
        (["B1|XDUT.ic"], "single attribute"),
        (["IIN"], "DC or piecewise-linear"),
    ],
)
def test_values_that_one_line_cannot_hold_are_refused_before_any_run(names, message):
    with pytest.raises(EditError, match=message):
        _edit(names, dut=None)


def test_the_command_writes_the_netlist_the_table_and_the_runs(tmp_path):
    out, table, runs = tmp_path / "out.cir", tmp_path / "t.csv", tmp_path / "r.csv"
    command = [sys.executable, "-m", "loxant", "optimize", str(JTL), "--params", "BIAS"]
    command += ["--whole", "--no-global-bias", "--bounds", "0.8:1.2", "--serial", "-q"]
    command += ["-o", str(out), "--table", str(table), "--runs", str(runs)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert "before: critical margin" in done.stdout and "after:  critical margin" in done.stdout
    assert "BIAS: 0.000175 ->" in done.stdout, done.stdout
    changed = [
        line
        for line in out.read_text().splitlines()
        if line not in JTL.read_text().splitlines() and not line.startswith("* loxant")
    ]
    assert len(changed) == 1 and changed[0].startswith(".param LQ=3p   BIAS=")
    assert table.read_text().startswith("parameter,nominal before,low % before")
    assert len(runs.read_text().splitlines()) > 10
    refused = subprocess.run(
        command[:-6] + ["--bounds", "1.2:2", "-o", str(out)], capture_output=True, text=True
    )
    assert refused.returncode == 2 and "0 < LO <= 1 <= HI" in refused.stderr


@pytest.mark.parametrize(
    "params, bounds, expected",
    [
        (["BIAS", "L*|XDUT"], [(0.9, 1.1), (0.5, 2)], {"BIAS": (0.9, 1.1), "L1|XDUT": (0.5, 2)}),
        (["BIAS", "L1.XDUT"], (0.8, 1.25), {"BIAS": (0.8, 1.25), "L1|XDUT": (0.8, 1.25)}),
        (["BIAS"], [(1.1, 2)], "need 0 < LO <= 1 <= HI"),
        (["BIAS", "LQ"], [(0.5, 2)] * 3, "one per params entry"),
    ],
)
def test_bounds_are_one_pair_for_all_or_one_per_entry(params, bounds, expected):
    design, names = prepare(str(JTL), params, dut="XDUT")
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            _bounds(design, names, bounds, params)
    else:
        assert _bounds(design, names, bounds, params) == expected


def test_the_margins_after_are_those_of_the_netlist_written(tmp_path):
    # the best design is margined as a CentredDesign; the same margins must come
    # from the written netlist read afresh, where no multiplier is left
    settings = dict(dut="XDUT", limits=(-90, 90), resolution=2.0, client=None, progress=False)
    params = ["BIAS", "L1.XDUT", "B1.XDUT"]
    result = optimize(str(JTL), params, bounds=(0.7, 1.4), max_runs=60, **settings)
    assert any(factor != 1.0 for factor in result.values.values())
    design, edit = _edit(params)
    written = tmp_path / "best.cir"
    written.write_text(edit.text(result.values))
    again = loxant.margins(
        str(written), list(result.after.table["parameter"]), global_bias=False, **settings
    )
    for side in ("low %", "high %"):
        np.testing.assert_allclose(again.table[side], result.after.table[side])
    assert again.critical_margin == result.critical_after


@pytest.mark.parametrize(
    "text, name, factor, expected",
    [
        ("I1 0 n 150u\n", "I1", 2.0, "I1 0 n 0.0003\n"),
        ("I1 0 n dc 150u\n", "I1", 0.5, "I1 0 n dc 7.5e-05\n"),
        ("I1 0 n pwl(0 0 5p 100u 9p 150u)\n", "I1", 2.0, "I1 0 n pwl(0 0 5p 0.0002 9p 0.0003)\n"),
        ("B1 n 0 jj0\n", "B1", 1.25, "B1 n 0 jj0 area=1.25\n"),
        ("B1 n 0 jj0 ic=200u\n", "B1", 0.5, "B1 n 0 jj0 ic=0.0001\n"),
        ("L1 n 0 {2*LQ}\n", "L1", 0.5, "L1 n 0 3e-12\n"),
        ("I1 0 n pwl(0 0 5p 100u)\n", "global bias", 1.5, "I1 0 n pwl(0 0 5p 0.00015)\n"),
    ],
)
def test_each_kind_of_value_is_written_in_place(tmp_path, text, name, factor, expected):
    head = ".model jj0 jj(rtype=0, icrit=250u, rn=2.74, cap=0.175p)\n.param LQ=3p\n"
    tail = "R1 n 0 5\nIIN 0 n pulse(0 300u 40p 2p 2p 3p 200p)\n.tran 0.025p 60p\n.end\n"
    path = tmp_path / "one.cir"
    path.write_text(head + text + tail)
    netlist = loxant.read_netlist(str(path))
    design, names = prepare(netlist, [name], dut=None)
    written = NetlistEdit(netlist, design, names).text({names[0]: factor})
    lines = [line + "\n" for line in written.splitlines() if not line.startswith("* loxant")]
    assert "".join(lines) == head + expected + tail
