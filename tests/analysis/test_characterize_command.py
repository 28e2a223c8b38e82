"""The characterize subcommand: the files it writes and its exit statuses."""

from pathlib import Path

import pytest

pd = pytest.importorskip("pandas")

from loxant.analysis.sdf import read_sdf
from loxant.cli import main

CELLS = str(Path(__file__).parent / "data" / "cells.cir")


_main = main


def test_characterize_writes_the_table_sdf_and_liberty(tmp_path, capsys):
    table, sdf, lib = tmp_path / "t.csv", tmp_path / "c.sdf", tmp_path / "c.lib"
    argv = ["characterize", CELLS, "--cell", "dff", "--inputs", "d", "--outputs", "q"]
    argv += ["--clock", "clk", "--loads", "1,2", "--biases", "1", "-q", "--window", "3ps"]
    argv += ["-o", str(table), "--sdf", str(sdf), "--lib", str(lib)]
    assert _main(argv) == 0
    out = capsys.readouterr().out
    assert "cell dff: state machine" in out and "minimum separations (ps)" in out
    written = pd.read_csv(table)
    assert sorted(set(written["kind"])) == ["delay", "hold"]
    assert list(written.query("kind == 'delay'")["load"]) == [1, 2]
    (path,) = read_sdf(str(sdf))["cells"]["dff"]["iopath"]
    delay = written.query("kind == 'delay' and load == 1")["value_ps"].item()
    assert path[:3] == ("internal_state_1", "clk", "q")
    assert path[3][1] == pytest.approx(delay, abs=1e-3)
    assert "cell (dff)" in lib.read_text()


def test_one_liberty_file_per_bias_and_state_names_from_a_map(tmp_path, capsys):
    names = tmp_path / "names.json"
    names.write_text('{"internal_state_1": "held"}')
    lib, sdf = tmp_path / "c.lib", tmp_path / "c.sdf"
    argv = ["characterize", CELLS, "--cell", "dff", "--inputs", "d", "--outputs", "q"]
    argv += ["--clock", "clk", "--loads", "1", "--biases", "0.9,1", "-q", "--no-constraints"]
    argv += ["--states", str(names), "--lib", str(lib), "--sdf", str(sdf)]
    assert _main(argv) == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "c.lib",
        "c.sdf",
        "c_bias0.9.lib",
        "names.json",
    ]
    assert "nom_voltage : 0.9 ;" in (tmp_path / "c_bias0.9.lib").read_text()
    assert "nom_voltage : 1 ;" in lib.read_text()
    ((condition, *_),) = read_sdf(str(sdf))["cells"]["dff"]["iopath"]
    assert condition == "held"


@pytest.mark.parametrize(
    "extra, status, message",
    [
        (["--cell", "nope", "--inputs", "a", "--outputs", "q"], 2, "no subcircuit named nope"),
        (["--cell", "jtl", "--inputs", "a", "--outputs", "q", "--loads", "x"], 2, "--loads x"),
        (["--cell", "jtl", "--inputs", "a", "--outputs", "q", "--biases", "-1"], 2, "positive"),
        (
            ["--cell", "jtl", "--inputs", "a", "--outputs", "q", "--resolution", "1e-30ps"],
            2,
            "at least 0.001 ps",
        ),
        (
            ["--cell", "jtl", "--inputs", "a", "--outputs", "q", "--loads", "100000000"],
            2,
            "1 to 16 loads",
        ),
        (
            ["--cell", "dff", "--inputs", "d", "--outputs", "q", "--clock", ""],
            2,
            "clock: name one of the inputs",
        ),
        (
            ["--cell", "jtl", "--inputs", "a", "--outputs", "q", "--sdf", "x", "-o", "x"],
            2,
            "x: --sdf and -o would write the same file",
        ),
    ],
)
def test_characterize_reports_mistakes(extra, status, message, capsys):
    assert _main(["characterize", CELLS, "-q", *extra]) == status
    assert message in capsys.readouterr().err


def test_characterize_reports_an_unreadable_file(tmp_path, capsys):
    missing = str(tmp_path / "missing.cir")
    argv = ["characterize", missing, "--cell", "jtl", "--inputs", "a", "--outputs", "q"]
    assert _main(argv) == 2
    assert f"loxant characterize: cannot read {missing}: " in capsys.readouterr().err


# the bench's own JTL stage, as a user's cell: the same circuit as the default load
USER_CELLS = """\
.model ujj jj(rtype=0, icrit=250u, rn=2.74, cap=0.175p)
.subckt ustage a b
L1 a 1 6p
B1 1 0 ujj area=1
IB1 0 1 pwl(0 0 10p 175u)
L2 1 b 2p
.ends ustage
"""


def _jtl_delay(tmp_path, capsys, extra):
    table = tmp_path / f"t{len(list(tmp_path.iterdir()))}.csv"
    argv = ["characterize", CELLS, "--cell", "jtl", "--inputs", "a", "--outputs", "q", "-q"]
    argv += ["--loads", "1", "--biases", "1", "--no-constraints", "-o", str(table), *extra]
    status = _main(argv)
    err = capsys.readouterr().err
    if status:
        return status, err
    return status, pd.read_csv(table).query("kind == 'delay'")["value_ps"].item()


@pytest.mark.parametrize(
    "extra, tolerance",
    [
        (["--load", "ustage"], 0.01),  # the very circuit of the default bench
        (["--source", "ustage"], 0.3),  # a stage more before the input: same cell delay
        (["--source", "ustage", "--load", "ustage"], 0.3),
    ],
)
def test_user_source_and_load_cells_stand_in_the_bench(tmp_path, capsys, extra, tolerance):
    cells = tmp_path / "user.cir"
    cells.write_text(USER_CELLS)
    status, default = _jtl_delay(tmp_path, capsys, [])
    assert status == 0
    status, delay = _jtl_delay(tmp_path, capsys, [*extra, "--include", str(cells)])
    assert status == 0
    assert delay == pytest.approx(default, abs=tolerance)
    missing = [w if w != "ustage" else "nosuch" for w in extra]
    status, message = _jtl_delay(tmp_path, capsys, [*missing, "--include", str(cells)])
    assert status == 2 and "nosuch" in message.lower()


# the default bench at one load, written out as a user's testbench (JoSIM order of
# subcircuit calls), with a pulse of its own into the source
USER_BENCH = """\
.model ujj jj(rtype=0, icrit=250u, rn=2.74, cap=0.175p)
.subckt usource inj out
B1 inj 0 ujj area=1
IB1 0 inj pwl(0 0 10p 175u)
L1 inj 1 4p
B2 1 0 ujj area=1
IB2 0 1 pwl(0 0 10p 175u)
L2 1 out 2p
.ends usource
.subckt usink a
L1 a 1 2p
B1 1 0 ujj area=1
IB1 0 1 pwl(0 0 10p 175u)
.ends usink
{stage}
{pulse}
XSRC usource 1 2
{dut}
XLOAD ustage 3 4
XSINK usink 4
.tran 0.05p 100p
.print p(3)
.end
"""


PWL = "I_a 0 1 pwl(0 0 50p 0 51p 800u 52p 0)"


@pytest.mark.parametrize(
    "dut, pulse, message",
    [
        ("XDUT jtl 2 3", PWL, None),
        ("XDUT 2 3 jtl", PWL, None),  # the subcircuit named last
        ("XDUT jtl 2 3", "I_a 0 1 pulse(0 800u 50p 1p 1p 0 200p)", None),
        ("XDUT jtl 2 3\nXTWO jtl 2 3", PWL, "one instance of jtl, it holds 2"),
        ("XDUT jtl 5 3", PWL, "fed by one pulsed current source, found 0"),
        ("XDUT jtl 2 3", "I_a 0 1 pwl(0 0 10p 800u)", "fed by one pulsed current source"),
    ],
)
def test_a_users_bench_gives_the_delay_of_the_same_circuit_built_by_default(
    tmp_path, capsys, dut, pulse, message
):
    stage = USER_CELLS.split("\n", 1)[1]
    bench = tmp_path / "bench.cir"
    bench.write_text(USER_BENCH.format(stage=stage, dut=dut, pulse=pulse))
    status, default = _jtl_delay(tmp_path, capsys, [])
    status, found = _jtl_delay(tmp_path, capsys, ["--bench", str(bench)])
    if message is None:
        assert status == 0 and found == pytest.approx(default, abs=0.01)
    else:
        assert status == 2 and message in found
