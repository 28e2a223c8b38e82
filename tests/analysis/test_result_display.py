"""Results as a notebook shows them (a Figure from ``plot()``, a table from
``_repr_html_``, failure groups printed whole), and the names and units of the
sweep's and the yield's tables."""

import csv
import math
from pathlib import Path

import pytest
from analysis_circuits import JTL_RUN, JUNCTION_RUN, FakeNetlist, biased_junction, jtl

pd = pytest.importorskip("pandas")
Figure = pytest.importorskip("matplotlib.figure").Figure

from loxant import PhysicalCircuit  # noqa: E402
from loxant.analysis import (  # noqa: E402
    MeanVoltage,
    SwitchCount,
    characterize,
    iv_curve,
    margins,
    scale,
    sweep,
    yield_analysis,
)
from loxant.analysis.reasons import failure_groups  # noqa: E402
from loxant.cli import main  # noqa: E402

CELLS = Path(__file__).parent / "data" / "cells.cir"
QUIET = dict(client=None, progress=False)
PNG = b"\x89PNG\r\n\x1a\n"


def _results():
    """Each analysis's result, small."""
    yield "margins", margins(jtl(), params=["J2"], **QUIET, **JTL_RUN)
    yield "yield", yield_analysis(biased_junction(), 12, local_spread={"ic": 0.1}, **QUIET,
                                  **JUNCTION_RUN)  # fmt: skip
    yield "sweep", sweep(biased_junction(), {"I1": scale([0.8, 1.2, 1.4])},
                         measure={"v": MeanVoltage("J1")}, **QUIET, **JUNCTION_RUN)  # fmt: skip
    model = {"rtype": 1, "icrit": 100e-6, "rn": 16, "r0": 160, "cap": 0.07e-12}
    yield "iv", iv_curve(model, "300uA", points=4)
    yield "characterization", characterize(CELLS, "jtl", "a", "q", progress=False)


def test_every_result_plots_to_a_figure_and_shows_a_table(tmp_path):
    for name, result in _results():
        figure = result.plot()
        assert isinstance(figure, Figure), name
        lines = [line for axes in figure.axes for line in axes.get_lines()]
        bars = [patch for axes in figure.axes for patch in axes.patches]
        assert lines or bars, f"{name}: nothing drawn"
        path = tmp_path / f"{name}.png"
        assert isinstance(result.plot(path), Figure)
        assert path.read_bytes()[:8] == PNG, name
        html = result._repr_html_()
        assert "<table" in html and "</table>" in html, name


def test_pandas_plots_stay_on_the_tables():
    table = sweep(biased_junction(), {"I1": scale([0.8, 1.2])}, measure={"v": MeanVoltage("J1")},
                  **QUIET, **JUNCTION_RUN)  # fmt: skip
    axes = table.plot.scatter(x="I1", y="v")
    assert len(axes.collections[0].get_offsets()) == 2
    assert table.plot(x="I1", y="v").get_lines()  # pandas' own plot, given its options
    assert type(table[table["passed"]]) is pd.DataFrame  # slices are plain frames


def test_failure_groups_print_whole():
    message = "B1|X4|XD|XDUT: switch 1 late, " + "at 84.338 ps instead of 70.700 ps; " * 8
    runs = pd.DataFrame(
        {
            "parameter": [f"P{k}" for k in range(90)],
            "passed": False,
            "reason": "criterion",
            "message": [f"{message}{k}" for k in range(90)],
        }
    )
    text = str(failure_groups(runs, by=["parameter"]))
    assert text.count("\n") == 90  # a line per group and the header: no "..." row
    assert f"{message}89" in text  # nor a message cut short


def test_a_sweep_where_no_row_has_a_measure_still_plots(tmp_path, capsys):
    table = sweep(biased_junction(), {"I1": scale([0.8, 1.2])}, measure={"v": lambda r: math.nan},
                  **QUIET, **JUNCTION_RUN)  # fmt: skip
    texts = [t.get_text() for axes in table.plot().axes for t in axes.texts]
    assert texts == ["nothing to plot: no row has a measure"]
    # and the command writes that chart, not an internal error
    netlist = tmp_path / "rest.cir"
    netlist.write_text(
        ".model jj0 jj(rtype=1, icrit=100u, rn=4, r0=40, cap=0.05p)\n"
        "B1 a 0 jj0\nB2 b 0 jj0\nR1 a b 1\nI1 0 a pwl(0 0 10p 10u)\n.tran 0.1p 40p\n.end\n"
    )
    plot = tmp_path / "sweep.png"
    argv = ["sweep", str(netlist), "I1=x1,x2", "--measure", "delay(B1,B2)", "--serial", "-q"]
    assert main([*argv, "--plot", str(plot)]) == 0
    assert "Traceback" not in capsys.readouterr().err
    assert plot.read_bytes()[:8] == PNG


def test_sweep_tables_keep_the_users_names_and_carry_units(tmp_path, capsys):
    # the Python table: names as given, units in attrs (SI for a physical circuit)
    pc = PhysicalCircuit(ic0=100e-6, r0=10.0)
    pc.junction("J1", "a", "0", ic=100e-6, r=10.0, c="0.001pF")
    pc.current_source("I1", "0", "a", 200e-6)
    grid = {"i1": [150e-6, 200e-6], "j1.IC": [100e-6]}
    measure = {"v": MeanVoltage("J1"), "n": SwitchCount("J1")}
    table = sweep(pc, grid, measure=measure, t_stop="60ps", dt="0.01ps", **QUIET)
    assert list(table.columns) == ["i1", "j1.IC", "v", "n", "passed", "reason", "message"]
    assert table.attrs["units"] == {"i1": "A", "j1.IC": "A", "v": "V"}
    # Josephson and Ohm: R sqrt(I^2 - Ic^2) over whole periods
    assert table["v"][1] == pytest.approx(10.0 * math.sqrt(200e-6**2 - 100e-6**2), rel=0.02)
    # the command line: as spelled, the unit in brackets (a .param has none)
    netlist = tmp_path / "j.cir"
    netlist.write_text(
        ".param J1_margin=1\n.model jj0 jj(rtype=1, icrit=100u, rn=4, r0=40, cap=0.05p)\n"
        "B1 a 0 jj0 area=J1_margin\nI1 0 a pwl(0 0 10p 150u)\n.tran 0.1p 60p\n.end\n"
    )
    out = tmp_path / "t.csv"
    argv = ["sweep", str(netlist), "J1_margin=1,1.1", "i1=x1", "--measure", "d=delay(B1,B1)"]
    assert main([*argv, "voltage(B1)", "--serial", "-q", "-o", str(out)]) == 0
    header = next(csv.reader(out.open()))
    assert header == ["J1_margin", "i1 [A]", "d [s]", "voltage(B1) [V]", "passed", "reason",
                      "message"]  # fmt: skip
    assert "J1_margin  i1 [A]" in capsys.readouterr().out


def test_the_yield_tables_hold_the_values_drawn(tmp_path):
    netlist = tmp_path / "r.cir"
    netlist.write_text(
        ".model jj0 jj(rtype=1, icrit=100u, rn=4, r0=40, cap=0.05p)\n"
        "B1 a 0 jj0\nR1 a b 3\nL1 b 0 2p\nI1 0 a pwl(0 0 10p 50u)\n.tran 0.1p 40p\n.end\n"
    )
    runs = tmp_path / "runs.csv"
    argv = ["yield", str(netlist), "-n", "40", "--local", "r=0.1", "ic=0.1", "--serial", "-q"]
    assert main([*argv, "--runs", str(runs)]) == 0
    samples = pd.read_csv(runs)
    # values around their nominal (3 ohm, 100 uA), not multipliers around 1
    resistance, current = samples["R1 [ohm]"], samples["B1.ic [A]"]
    assert resistance.mean() == pytest.approx(3.0, rel=0.1) and resistance.std() > 0.1
    assert current.mean() == pytest.approx(100e-6, rel=0.1)
    assert "L1 [H]" not in samples  # not drawn
    # the Python result holds the same values under the bare names
    result = yield_analysis(FakeNetlist(), 5, local_spread={"ic": 0.1}, **QUIET)
    assert result.samples.attrs["nominal"] == {"J1.ic": 1.0}
    assert "units" not in result.samples.attrs  # a normalised circuit's own units
