"""``loxant verify`` and ``--expected`` on the analyses, on a testbench of library
cells whose output junctions switch at about 46 and 86 ps (B1|X2|XDUT) and
47.5 and 87.5 ps (B2|XLOAD)."""

import pytest
from analysis_circuits import CELLS

from loxant.analysis import margins
from loxant.analysis.design import Design
from loxant.analysis.expected import ExpectedCriterion
from loxant.analysis.runner import Run, evaluate
from loxant.cli import main

#: the cells as they work: a switch of each output per input pulse
WORKING = "time B1|X2|XDUT B2.xload\n30e-12 0 0\n70e-12 1 1\n110e-12 2 2\n"


def _main(argv):
    return main(argv)


@pytest.fixture()
def files(tmp_path):
    netlist = tmp_path / "cells.cir"
    netlist.write_text(CELLS)

    def expected_file(text, name="cells.sp"):
        path = tmp_path / name
        path.write_text(text)
        return str(path)

    return str(netlist), expected_file


@pytest.mark.parametrize(
    "table, status, says",
    [
        (WORKING, 0, "pass: 2 junctions at 2 times follow"),
        # the load's second switch due at 70 ps already: it comes at 87.5 ps
        (WORKING.replace("70e-12 1 1", "70e-12 1 2"), 1, "fail: B2|XLOAD at 70 ps: 1.0"),
        # the first output switch not yet due at 50 ps: it came at 46 ps
        (WORKING.replace("70e-12", "50e-12 0 0\n70e-12"), 1, "fail: B1|X2|XDUT at 50 ps: 1.0"),
    ],
)
def test_verify_passes_or_names_the_first_violation(files, capsys, table, status, says):
    netlist, expected_file = files
    assert _main(["verify", netlist, "--expected", expected_file(table)]) == status
    out = capsys.readouterr().out
    assert out.startswith(says) and len(out.strip().splitlines()) == 1
    if status:
        assert "expected (phase " in out


@pytest.mark.parametrize(
    "argv, table, says",
    [
        (["verify", "{net}"], WORKING, "give the expected behaviour with --expected"),
        (
            ["verify", "{net}", "--expected", "{expected}"],
            "time B7\n0 0\n1e-11 1\n",
            "no junction named B7",
        ),
        (
            ["verify", "{net}", "--expected", "{expected}"],
            "time B1|X2|XDUT\n0 0\n",
            "line of counts",
        ),
        (
            ["verify", "{net}", "--expected", "nowhere.sp"],
            WORKING,
            "cannot read the file of expected switching",
        ),
        (["margins", "{net}", "--threshold", "0.2"], WORKING, "--threshold goes with --expected"),
        (
            ["margins", "{net}", "--expected", "{expected}", "--window", "5ps"],
            WORKING,
            "--window belongs",
        ),
        (["verify", "{net}", "--expected", "{expected}", "--threshold", "0"], WORKING, "positive"),
    ],
)
def test_a_wrong_file_is_one_line_and_status_2(files, capsys, argv, table, says):
    netlist, expected_file = files
    path = expected_file(table)
    argv = [a.format(net=netlist, expected=path) for a in argv]
    assert _main(argv + (["-q", "--serial"] if argv[0] == "margins" else [])) == 2
    err = capsys.readouterr().err
    assert says in err and len(err.strip().splitlines()) == 1


def test_margins_by_expected_switching_bound_where_it_stops_passing(files):
    netlist, expected_file = files
    path = expected_file(WORKING)
    result = margins(
        netlist,
        ["BIAS"],
        expected=path,
        threshold=0.2,
        global_bias=False,
        resolution=5,
        client=None,
        progress=False,
    )
    low, high = result.table.loc[0, ["low %", "high %"]]
    assert -60 < low < 0 < high
    # each bound passes a fresh full run judged by the expected switching; one step further fails
    design = Design(netlist)
    criterion = ExpectedCriterion.for_design(path, design, 0.2)
    for bound, further in ((low, low - 5), (high, high + 5)):
        judged = [
            evaluate(design, Run(multipliers={"BIAS": 1 + x / 100}), criterion.__call__).passed
            for x in (bound, further)
        ]
        assert judged == [True, False]
