"""``loxant iv``: the .iv cards of a file, one model named on the command line,
the CSV and plot written, and the exit statuses of mistakes."""

import pandas as pd
import pytest

from loxant.cli import main

pytest.importorskip("loxant.CircuitKernel")

NETLIST = """\
* I-V of a gap junction
.param IMAX=250u
.model jj1 jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rN=16, icrit=0.1mA)
.model jr jj(rtype=0, icrit=0.1mA, rn=5, cap=0.0001p)
.iv jj1 IMAX {out}
"""


@pytest.fixture
def netlist(tmp_path):
    path = tmp_path / "iv.cir"
    path.write_text(NETLIST.format(out=tmp_path / "card.csv"))
    return path


def test_the_iv_cards_of_a_file_write_their_csv(netlist, tmp_path, capsys):
    assert main(["iv", str(netlist), "--points", "5"]) == 0
    table = pd.read_csv(tmp_path / "card.csv")
    assert list(table.columns) == ["current", "voltage", "direction"]
    assert table.current.max() == pytest.approx(250e-6)
    assert table.current.min() == pytest.approx(-250e-6)
    above = table[table.current == table.current.max()]
    assert above.voltage.iloc[0] == pytest.approx(250e-6 * 16, rel=0.005)  # I rn
    assert "card.csv" in capsys.readouterr().out


def test_a_named_model_writes_table_and_plot(netlist, tmp_path):
    out, png = tmp_path / "jr.csv", tmp_path / "jr.png"
    args = ["iv", str(netlist), "jr", "--max", "200uA", "--points", "4", "-o", str(out)]
    assert main([*args, "--plot", str(png)]) == 0
    table = pd.read_csv(out)
    assert len(table) == 17 and png.stat().st_size > 0
    top = table[table.current == table.current.max()].voltage.iloc[0]
    assert top == pytest.approx(5 * (200e-6**2 - 100e-6**2) ** 0.5, rel=0.005)


@pytest.mark.parametrize(
    "args, message",
    [
        (["nomodel", "--max", "1m"], "no junction model named nomodel"),
        (["jj1"], "give the largest current with --max"),
        (["jj1", "--max", "0"], "the largest current must be positive"),
        (["jj1", "--max", "1m", "--points", "0"], "points must be a positive whole number"),
        (["--max", "1m"], "--max, -o and --plot need a MODEL"),
    ],
)
def test_mistakes_exit_2_with_a_message(netlist, args, message, capsys):
    assert main(["iv", str(netlist), *args]) == 2
    assert message in capsys.readouterr().err


def test_a_file_without_iv_cards_needs_a_model(tmp_path, capsys):
    path = tmp_path / "none.cir"
    path.write_text(".model jj1 jj(rtype=0)\nB1 1 0 jj1\nI1 0 1 10u\n")
    assert main(["iv", str(path)]) == 2
    assert "has no .iv card" in capsys.readouterr().err


def test_run_writes_the_iv_cards_too(netlist, tmp_path, capsys):
    # a file of .iv cards and no .tran is a complete job for `loxant run`
    assert main(["run", str(netlist), "-q"]) == 0
    table = pd.read_csv(tmp_path / "card.csv")
    up = table[(table.direction == "up") & (table.current == table.current.max())]
    assert up.voltage.iloc[0] == pytest.approx(250e-6 * 16, rel=0.005)
    assert "card.csv" in capsys.readouterr().out


def test_a_model_inside_a_subcircuit_of_a_models_only_file(tmp_path, capsys):
    # a cell library's model file: the model sits in the cell's subcircuit
    path = tmp_path / "cell.cir"
    path.write_text(
        ".subckt cell a b\n.model jjmit jj(rtype=0, icrit=0.1mA, rn=5, cap=0.0001p)\n.ends\n"
    )
    out = tmp_path / "iv.csv"
    assert main(["iv", str(path), "jjmit", "--max", "200uA", "--points", "4", "-o", str(out)]) == 0
    top = pd.read_csv(out).voltage.max()
    assert top == pytest.approx(5 * (200e-6**2 - 100e-6**2) ** 0.5, rel=0.005)
