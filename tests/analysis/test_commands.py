"""The margins and yield subcommands, through the command with a reader that
returns the test netlist."""

import pandas as pd
import pytest
from analysis_circuits import BIAS, FakeNetlist

from loxant.cli import main

LEGEND = (
    "switching times (ps); sign = direction: t a forward switch (+2 pi), -t a backward one (-2 pi):"
)


def _read(source):
    if source == "broken.cir":
        raise ValueError("broken.cir:3: unknown element letter 'Q'")
    if source == "missing.cir":
        raise FileNotFoundError(2, "No such file or directory")
    return FakeNetlist()


def _main(argv):
    return main(argv, reader=_read)


def test_margins_command_writes_table_and_chart(tmp_path, capsys):
    table, chart, runs = tmp_path / "m.csv", tmp_path / "m.png", tmp_path / "runs.csv"
    argv = ["margins", "j.cir", "--params", "ib,j1", "--serial", "-q", "--resolution", "2"]
    assert _main(argv + ["-o", str(table), "--plot", str(chart), "--runs", str(runs)]) == 0
    out = capsys.readouterr().out
    assert "critical margin" in out
    written_runs = pd.read_csv(runs)
    failed = written_runs[~written_runs["passed"]]
    assert f"failed runs by reason ({len(failed)} in all), one example each:" in out
    # one line per group: its count and an example message of that parameter and side
    for (parameter, side), group in failed.groupby(["parameter", "side"], sort=False):
        assert f"  {parameter} {side}:\n    criterion x{len(group)}: J1: " in out
    written = pd.read_csv(table)
    assert list(written["parameter"]) == ["IB", "J1", "global bias"]
    assert written.set_index("parameter").loc["IB", "high %"] == pytest.approx(
        (1 / BIAS - 1) * 100, abs=2.1
    )
    assert chart.read_bytes()[:4] == b"\x89PNG"


def test_yield_command_prints_the_yield_and_writes_samples(tmp_path, capsys):
    samples = tmp_path / "y.csv"
    assert (
        _main(
            [
                "yield",
                "j.cir",
                "-n",
                "20",
                "--global",
                "ic=0.1",
                "--serial",
                "-q",
                "-o",
                str(tmp_path / "summary.csv"),
                "--runs",
                str(samples),
            ]
        )
        == 0
    )
    out = capsys.readouterr().out
    assert "of 20 samples pass (95% interval" in out
    summary = pd.read_csv(tmp_path / "summary.csv")
    assert list(summary.columns) == ["samples", "passed", "yield", "confidence", "low", "high"]
    written = pd.read_csv(samples)
    assert summary.loc[0, "passed"] == written["passed"].sum()
    assert list(written["sample"]) == list(range(20))
    assert f"yield {written['passed'].mean():.4f}" in out
    failed = int((~written["passed"]).sum())
    assert failed > 0 and f"failed runs by reason ({failed} in all)" in out
    # stopped at the first switch: none was due
    assert f"  criterion x{failed}: J1: 1 switch or more instead of 0" in out


def test_a_netlist_path_runs_with_its_outputs_watched(tmp_path, capsys):
    from analysis_circuits import CELLS

    path = tmp_path / "cells.cir"
    path.write_text(CELLS)
    argv = ["margins", str(path), "--params", "bias", "--no-global-bias", "-q", "--resolution", "5"]
    for extra, watched in [
        ([], "B1|X2|XDUT"),  # the .print requests
        (["--junctions", "b2.xload"], "B2|XLOAD"),
        (["--watch", "V(2)"], "B2|XLOAD"),
    ]:
        assert main(argv + extra) == 0
        captured = capsys.readouterr()
        assert "criterion x" in captured.out and f": {watched}: " in captured.out
        assert " in this process: " in captured.err  # the runner's choice


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["margins", "broken.cir", "--serial"], 2, "broken.cir:3: unknown element letter"),
        (["margins", "missing.cir", "--serial"], 2, "cannot read missing.cir"),
        (["margins", "j.cir", "--serial", "--params", "NOPE"], 2, "no element or .param named"),
        (["yield", "j.cir", "--serial", "--local", "ic"], 2, "expected KIND=SIGMA"),
        (["yield", "j.cir", "--serial", "--global", "zz=0.1"], 2, "unknown kind 'zz'"),
        (["margins", "j.cir", "--serial", "--window=-1"], 2, "must be positive"),
        (["margins", "j.cir", "--serial", "--window", "1ps"], 2, "needs a physical circuit"),
        (["margins", "j.cir", "--serial", "--resolution", "1e-14"], 2, "FINEST_RESOLUTION"),
        (["margins", "j.cir", "--serial", "--range", "5", "10"], 2, "-100 < low < 0 < high"),
        (["margins", "j.cir", "--serial", "--junctions", "J7"], 2, "no junction named 'J7'"),
    ],
)
def test_command_errors_are_one_line_and_status_2(argv, status, message, capsys):
    assert _main(argv + ["-q"]) == status
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert len(err.strip().splitlines()) == 1


def test_run_prints_every_junctions_switching_times_also_with_an_output(tmp_path, capsys):
    from analysis_circuits import CELLS

    import loxant
    from loxant.analysis import switching_times

    path = tmp_path / "cells.cir"
    path.write_text(CELLS)
    assert main(["run", str(path), "--events", "-q", "-o", str(tmp_path / "out.csv")]) == 0
    lines = capsys.readouterr().out.splitlines()
    start = lines.index(LEGEND)
    netlist = loxant.read_netlist(str(path))
    results = netlist.simulate()
    for line, name in zip(lines[start + 1 :], netlist.junctions(), strict=True):
        expected = " ".join(f"{t:.3f}" for t in switching_times(results, name) * 1e12)
        assert line.split()[0] == name and line.endswith(expected)
