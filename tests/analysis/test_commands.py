"""The margins and yield subcommands, through a throwaway argparse parser and a
reader that returns the test netlist."""

import argparse

import pandas as pd
import pytest
from analysis_circuits import BIAS, FakeNetlist

from loxant.analysis.commands import add_subcommands


def _read(source):
    if source == "broken.cir":
        raise ValueError("broken.cir:3: unknown element letter 'Q'")
    if source == "missing.cir":
        raise FileNotFoundError(2, "No such file or directory")
    return FakeNetlist()


def _main(argv):
    parser = argparse.ArgumentParser(prog="loxant")
    add_subcommands(parser.add_subparsers(dest="command", required=True), reader=_read)
    args = parser.parse_args(argv)
    return args.func(args)


def test_margins_command_writes_table_and_chart(tmp_path, capsys):
    table, chart = tmp_path / "m.csv", tmp_path / "m.png"
    argv = ["margins", "j.cir", "--params", "IB,J1", "--serial", "-q", "--resolution", "2"]
    assert _main(argv + ["-o", str(table), "--plot", str(chart)]) == 0
    out = capsys.readouterr().out
    assert "critical margin" in out and "failed runs by reason: criterion" in out
    written = pd.read_csv(table)
    assert list(written["parameter"]) == ["IB", "J1", "global bias"]
    assert written.set_index("parameter").loc["IB", "high %"] == pytest.approx(
        (1 / BIAS - 1) * 100, abs=2.1
    )
    assert chart.read_bytes()[:4] == b"\x89PNG"


def test_yield_command_prints_the_yield_and_writes_samples(tmp_path, capsys):
    samples = tmp_path / "y.csv"
    assert (
        _main(["yield", "j.cir", "-n", "20", "--seed", "5", "--serial", "-q", "-o", str(samples)])
        == 0
    )
    out = capsys.readouterr().out
    assert "of 20 samples pass (95% interval" in out
    written = pd.read_csv(samples)
    assert list(written["sample"]) == list(range(20))
    assert f"yield {written['passed'].mean():.4f}" in out


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
    ],
)
def test_command_errors_are_one_line_and_status_2(argv, status, message, capsys):
    assert _main(argv + ["-q"]) == status
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert len(err.strip().splitlines()) == 1
