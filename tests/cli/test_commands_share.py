"""What every command shares: values read as the netlist reads them, outputs
checked against the inputs and each other before any run, files written
whatever becomes of standard output, one exit status per kind of fault."""

import io
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas")

import loxant.cli.iv
from loxant.analysis.runner import Runner
from loxant.cli import main
from loxant.cli.values import quantity
from loxant.errors import UserError
from loxant.netlist import Netlist

CELLS = Path(__file__).parents[1] / "analysis" / "data" / "cells.cir"
LIBRARY = Path(__file__).parents[2] / "examples" / "library"

LIB = """\
* models and cells the bench includes
.model jm jj(rtype=0, icrit=0.1m, rn=5, cap=0.1p)
.subckt sink a
R1 a 0 2
.ends sink
"""
BENCH = """\
* a junction pulsed once, its output into a sink
.include lib.cir
B1 1 0 jm
IB1 0 1 pwl(0 0 5p 70u)
I1 0 1 pwl(0 0 20p 0 23p 200u 26p 0)
X1 sink 1
.tran 0.1p 60p
.print p(B1)
.end
"""


@pytest.fixture
def bench(tmp_path, monkeypatch):
    (tmp_path / "lib.cir").write_text(LIB)
    (tmp_path / "tb.cir").write_text(BENCH)
    shutil.copy(CELLS, tmp_path / "cells.cir")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize(
    "text, unit, value",
    [
        ("1M", "A", 1e-3),  # milli, as in a netlist
        ("1meg", "A", 1e6),
        ("1MEG", "A", 1e6),
        ("300u", "A", 300e-6),
        ("300uA", "A", 300e-6),
        ("5ps", "s", 5e-12),
        ("5 ps", "s", 5e-12),
        ("1.5e-3s", "s", 1.5e-3),
        ("2e1p", "s", 20e-12),
        ("10f", "s", 10e-15),
    ],
)
def test_values_are_read_as_a_netlist_reads_them(text, unit, value):
    assert quantity(text, unit, "--x") == pytest.approx(value, rel=1e-15)
    # and as the netlist reader reads the same text
    netlist_value = Netlist.from_string(
        f".param v={text.replace(' ', '')}\nR1 1 0 {{v}}\nR2 1 0 1\n.tran 1p 2p\n"
    ).params["V"]
    assert quantity(text, unit, "--x") == pytest.approx(netlist_value, rel=1e-15)


@pytest.mark.parametrize(
    "text, unit, message",
    [
        ("300uV", "A", "'V' is not A"),
        ("fast", "s", "bad number"),
        ("0", "s", "expected a positive time"),
        ("-5p", "s", "expected a positive time"),
    ],
)
def test_values_refused_say_what_is_expected(text, unit, message):
    with pytest.raises(UserError, match=message):
        quantity(text, unit, "--x")


def test_iv_max_follows_the_netlist_rule(bench, capsys):
    table = bench / "iv.csv"
    assert main(["iv", "tb.cir", "jm", "--max", "1M", "--points", "2", "-o", str(table)]) == 0
    assert pd.read_csv(table)["current"].abs().max() == pytest.approx(1e-3)


@pytest.fixture
def no_runs(monkeypatch):
    """Any simulation is a failure of the test: the refusals come first."""

    def refused(*args, **kwargs):
        raise AssertionError("a run started")

    monkeypatch.setattr(Runner, "run", refused)
    monkeypatch.setattr(Netlist, "simulate", refused)
    monkeypatch.setattr(loxant.cli.iv, "iv_curve", refused)


CHARACTERIZE = ["characterize", "cells.cir", "--cell", "jtl", "--inputs", "a", "--outputs", "q"]


@pytest.mark.parametrize(
    "argv, message",
    [
        (["run", "tb.cir", "-o", "lib.cir"], "the included file /"),
        (["sweep", "tb.cir", "I1=x1", "-q", "-o", "tb.cir"], "-o and the netlist tb.cir"),
        (["sweep", "tb.cir", "I1=x1", "-o", "./lib.cir"], "the included file /"),
        (["margins", "./tb.cir", "--runs", "tb.cir"], "--runs and the netlist"),
        (["yield", "tb.cir", "-o", "x.csv", "--runs", "./x.csv"], "--runs and -o"),
        (["iv", "tb.cir", "jm", "--max", "1m", "-o", "tb.cir"], "-o and the netlist"),
        (["iv", "tb.cir", "jm", "--max", "1m", "-o", "x.png", "--plot", "x.png"], "--plot and -o"),
        ([*CHARACTERIZE, "--sdf", "cells.cir"], "--sdf and the netlist cells.cir"),
        ([*CHARACTERIZE, "-o", "x.csv", "--sdf", "./x.csv"], "--sdf and -o"),
        ([*CHARACTERIZE, "--bench", "tb.cir", "--lib", "tb.cir"], "--lib and the input tb.cir"),
    ],
)
def test_every_command_refuses_an_output_naming_an_input_or_another_output(
    bench, no_runs, capsys, argv, message
):
    before = {p.name: p.read_bytes() for p in bench.iterdir()}
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert message in err and "would write the same file" in err
    assert len(err.strip().splitlines()) == 1
    assert {p.name: p.read_bytes() for p in bench.iterdir()} == before


class _Closed(io.StringIO):
    def write(self, text):
        raise BrokenPipeError(32, "Broken pipe")


@pytest.mark.parametrize(
    "argv, written",
    [
        (["run", "tb.cir", "-o", "t.csv"], ["t.csv"]),
        (["sweep", "tb.cir", "I1=x0.5,x1", "--serial", "-q", "-o", "t.csv"], ["t.csv"]),
        (
            ["yield", "tb.cir", "-n", "3", "--serial", "-q", "-o", "t.csv", "--runs", "r.csv"],
            ["t.csv", "r.csv"],
        ),
        (["iv", "tb.cir", "jm", "--max", "0.2m", "--points", "2", "-o", "t.csv"], ["t.csv"]),
    ],
)
def test_a_closed_standard_output_loses_no_file(bench, monkeypatch, argv, written):
    err = io.StringIO()
    monkeypatch.setattr(sys, "stdout", _Closed())
    monkeypatch.setattr(sys, "stderr", err)
    assert main(argv) == 1  # the output was cut short; the files are whole
    for name in written:
        assert len(pd.read_csv(bench / name)) > 0
    assert "Broken pipe" not in err.getvalue() and "internal" not in err.getvalue()


def test_a_fault_of_loxant_exits_3_not_as_a_user_mistake(bench, monkeypatch, capsys):
    def bug(*args, **kwargs):
        raise TypeError("unsupported operand type(s)")

    monkeypatch.setattr(loxant.cli.iv, "iv_curve", bug)
    assert main(["iv", "tb.cir", "jm", "--max", "1m"]) == 3
    err = capsys.readouterr().err
    assert err.startswith("loxant iv: internal error: TypeError: unsupported operand")


def test_a_quiet_run_with_a_plot_prints_nothing(bench, capsys):
    pytest.importorskip("matplotlib")
    assert main(["run", "tb.cir", "-q", "--plot", "p.png"]) == 0
    assert capsys.readouterr() == ("", "")
    assert (bench / "p.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("name", ['a"b', "two\nlines", "9lives", "", 7])
def test_state_names_are_identifiers_before_anything_is_written(bench, no_runs, capsys, name):
    (bench / "states.json").write_text(json.dumps({"internal_state_0": name}))
    argv = [*CHARACTERIZE, "--states", "states.json", "--sdf", "c.sdf", "--lib", "c.lib", "-q"]
    assert main(argv) == 2
    assert "a state name is letters, digits and _" in capsys.readouterr().err
    assert not (bench / "c.sdf").exists() and not (bench / "c.lib").exists()


def _delays(folder, bench, netlist):
    table = folder / "t.csv"
    argv = ["characterize", str(netlist), "--cell", "LX_DFF", "--inputs", "a,clk"]
    argv += ["--outputs", "q", "--clock", "clk", "--biases", "1", "--no-constraints", "-q"]
    assert main([*argv, "--bench", str(bench), "-o", str(table)]) == 0
    return pd.read_csv(table).query("kind == 'delay'")[["from", "to", "state", "value_ps"]]


def test_a_users_bench_is_read_as_the_netlist_reader_reads_it(tmp_path, capsys):
    """The project's own testbench (two includes), and the same bench written
    otherwise: UTF-16, an inline comment, its pulse through a .param, a line
    after .end, its includes beside it and away from the cell's netlist: the
    same delays."""
    plain = _delays(tmp_path, LIBRARY / "lx_dff_testbench.cir", LIBRARY / "lx_dff.cir")
    assert len(plain) == 1 and plain["value_ps"].item() > 0
    text = (LIBRARY / "lx_dff_testbench.cir").read_text()
    text = text.replace("I_clk 0 4 pulse(0 500u", ".param top=500u\nI_clk 0 4 pulse(0 {top}")
    text = text.replace("XSINK_Q SINK 8", "XSINK_Q SINK 8 * the sink")
    text += "this line after .end is not read\n"
    away, cell = tmp_path / "away", tmp_path / "cell"
    for folder in (away, cell):
        folder.mkdir()
    for name in ("lx_dff.cir", "lx_jtl.cir"):
        shutil.copy(LIBRARY / name, away / name)
    shutil.copy(LIBRARY / "lx_dff.cir", cell / "lx_dff.cir")
    (away / "bench.cir").write_bytes(text.encode("utf-16"))
    other = _delays(tmp_path, away / "bench.cir", cell / "lx_dff.cir")
    pd.testing.assert_frame_equal(other, plain)


def test_two_liberty_corners_read_together_by_opensta(tmp_path, capsys):
    sta = shutil.which("sta")
    if sta is None:
        pytest.skip("OpenSTA (sta) is not installed")
    lib = tmp_path / "jtl.lib"
    argv = [*CHARACTERIZE, "--biases", "0.9,1", "--loads", "1", "--no-constraints", "-q"]
    argv[1] = str(CELLS)
    assert main([*argv, "--lib", str(lib)]) == 0
    corners = sorted(tmp_path.glob("*.lib"))
    assert len(corners) == 2
    script = "".join(f"read_liberty {p}\n" for p in corners) + "exit\n"
    done = subprocess.run(
        [sta, "-no_init", "-no_splash", "-exit"],
        input=script,
        text=True,
        capture_output=True,
        timeout=60,
        cwd=tmp_path,
    )
    said = done.stdout + done.stderr
    assert "already exists" not in said and "Error" not in said, said
