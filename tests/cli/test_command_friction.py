"""The command line's outputs never overwrite each other, its limits name its own
options, and the messages a designer meets name the real path and reason."""

import importlib
import os

import numpy as np
import pytest

from loxant.cli import main

RUN = """\
* a junction biased above its critical current switches all the time
.model jm jj(rtype=0, icrit=0.1m, rn=5, cap=0.1p)
B1 1 0 jm
I1 0 1 pwl(0 0 10p 0.15m)
.tran {step} {stop}
.print p(B1)
"""


def _netlist(folder, name="x.cir", stop="50p", extra="", step="0.1p"):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "w") as stream:
        stream.write(RUN.format(stop=stop, step=step) + extra + ".end\n")
    return path


def _run(capsys, *argv):
    status = main(["run", *argv])
    captured = capsys.readouterr()
    assert "Traceback" not in captured.err
    return status, captured.out, captured.err


def test_netlists_of_one_name_write_their_own_files(tmp_path, capsys):
    a = _netlist(tmp_path / "a", stop="50p")
    b = _netlist(tmp_path / "b", stop="30p")
    out = tmp_path / "new" / "out"  # -o DIR/ creates the folder, parents included
    status, _, err = _run(capsys, a, b, "-q", "-o", f"{out}/")
    assert status == 0, err
    assert sorted(os.listdir(out)) == ["a-x.csv", "b-x.csv"]
    rows = [len(np.loadtxt(out / n, delimiter=",", skiprows=1)) for n in ("a-x.csv", "b-x.csv")]
    assert rows[0] > rows[1]  # each holds its own run


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["{a}", "{a}", "-o", "{tmp}/out/"], "is given twice"),
        (["{a}", "{tmp}/a/../a/x.cir", "-o", ".csv"], "is given twice"),
        (["{a}", "-o", "{a}"], "the output of {a} and the netlist {a} would write the same file"),
        (["{a}", "-o", "{tmp}/p.png", "--plot", "{tmp}/p.png"], "--plot and the output of"),
        (["{c}", "-o", "{tmp}/c/f.csv"], ".file {tmp}/c/f.csv and the output of {c} would write"),
        (["{a}", "-o", "{tmp}/no/x.csv"], "cannot write {tmp}/no/x.csv: no folder {tmp}/no"),
    ],
)
def test_an_output_clash_is_refused_before_any_run(tmp_path, capsys, arguments, message):
    a = _netlist(tmp_path / "a")
    c = _netlist(tmp_path / "c", extra=f".file {tmp_path}/c/f.csv\n.print p(B1)\n")
    (tmp_path / "c" / "f.csv").write_text("kept\n")
    names = {"a": a, "c": c, "tmp": str(tmp_path)}
    status, out, err = _run(capsys, *[arg.format(**names) for arg in arguments], "-q")
    assert status in (1, 2)
    assert message.format(**names) in err
    assert (tmp_path / "c" / "f.csv").read_text() == "kept\n"  # nothing overwritten
    assert not (tmp_path / "out").exists() and "wrote" not in out  # nothing ran


def test_a_full_device_and_a_missing_iv_folder_name_the_path_and_reason(tmp_path, capsys):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    a = _netlist(tmp_path / "a")
    status, _, err = _run(capsys, a, "-q", "-o", "/dev/full")
    assert status == 1 and "cannot write /dev/full: No space left on device" in err
    card = _netlist(
        tmp_path / "b", extra=f".model m jj(rtype=0)\n.iv m 1m {tmp_path}/b/no/iv.csv\n"
    )
    status, _, err = _run(capsys, card, "-q")
    missing = f"{tmp_path}/b/no"
    assert status == 1 and f"cannot write {missing}/iv.csv: no folder {missing}" in err
    assert "None" not in err


LINE = "T1 1 0 2 0 td=10p z0=5\nR2 2 0 5\n"


@pytest.mark.parametrize(
    "step, stop, extra, options, message",
    [
        (
            "0.1p",
            "1000n",
            "",
            ["--max-steps", "1000"],
            "takes 1e+07 steps, more than the limit of 1e+03",
        ),
        ("0.1p", "1000n", "", ["--max-steps", "1000"], "raise the limit with --max-steps N"),
        ("0.1p", "2000p", "", ["--max-steps", "1e3"], "expected a whole number"),
        # a subnormal step: the count is infinite, with or without a lossless line
        ("4.9e-324", "50p", "", [], "takes inf steps, more than the limit of 1e+09"),
        ("4.9e-324", "50p", LINE, [], "takes inf steps, more than the limit of 1e+09"),
    ],
)
def test_the_step_limit_names_the_command_options(
    tmp_path, capsys, step, stop, extra, options, message
):
    path = _netlist(tmp_path, stop=stop, step=step, extra=extra)
    with pytest.raises(SystemExit) if "whole" in message else _nothing():
        status, _, err = _run(capsys, path, "-q", *options)
        assert status == 1 and message in err and "max_steps" not in err
    if "whole" in message:
        assert message in capsys.readouterr().err


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_the_recording_limit_names_the_command_options(tmp_path, capsys, monkeypatch):
    from loxant.simulation import options

    monkeypatch.setattr(options, "MAX_RECORDING_BYTES", 2**12)
    path = _netlist(tmp_path, stop="100p")
    status, _, err = _run(capsys, path, "-q", "-o", str(tmp_path / "x.csv"))
    assert status == 1
    for option in ("--print-step", "--record 'P(B1)'", "--record-all"):
        assert option in err
    assert "record=[" not in err and "record_every" not in err
    # the options it names do what it says
    assert _run(capsys, path, "-q", "-o", str(tmp_path / "x.csv"), "--print-step", "5ps")[0] == 0
    rows = np.loadtxt(tmp_path / "x.csv", delimiter=",", skiprows=1)
    np.testing.assert_allclose(np.diff(rows[:, 0]), 5e-12, rtol=1e-9)
    assert _run(capsys, path, "-q", "-o", str(tmp_path / "y.csv"), "--record-all")[0] == 0
    assert len(np.loadtxt(tmp_path / "y.csv", delimiter=",", skiprows=1)) == 1001


def test_record_chooses_the_outputs(tmp_path, capsys):
    path = _netlist(tmp_path)
    out = tmp_path / "x.csv"
    assert _run(capsys, path, "-q", "-o", str(out), "--record", "V(1),I(I1)")[0] == 0
    assert out.read_text().splitlines()[0] == 'time,"V(1)","I(I1)"'
    status, _, err = _run(capsys, path, "-q", "--record", "V(nowhere)")
    assert status == 2 and err.startswith("loxant: --record: ")


def test_events_have_a_legend_and_a_bound(tmp_path, capsys, monkeypatch):
    events = importlib.import_module("loxant.analysis.events")  # not the function

    path = _netlist(tmp_path)
    status, out, _ = _run(capsys, path, "-q", "--events")
    assert status == 0
    assert "sign = direction: t a forward switch (+2 pi), -t a backward one (-2 pi)" in out
    monkeypatch.setattr(events, "MAX_LISTED_EVENTS", 3)
    status, out, err = _run(capsys, path, "-q", "--events")
    assert status == 1 and "switches to list, more than 3 (B1 alone switches" in err
    assert "switching times" not in out


def test_an_iv_card_into_a_missing_folder_names_it(tmp_path, capsys):
    path = tmp_path / "m.cir"
    path.write_text(f".model m jj(rtype=0, icrit=100u)\n.iv m 300u {tmp_path}/no/iv.csv\n.end\n")
    assert main(["iv", str(path)]) == 1
    err = capsys.readouterr().err
    assert f"loxant iv: cannot write {tmp_path}/no/iv.csv: no folder {tmp_path}/no" in err


@pytest.mark.parametrize("value", ["abc", "nan", "inf", "1e400"])
def test_iv_refuses_a_largest_current_it_cannot_read(tmp_path, capsys, value):
    path = tmp_path / "m.cir"
    path.write_text(".model m jj(rtype=0, icrit=100u)\nB1 1 0 m\nR1 1 0 1\n.end\n")
    assert main(["iv", str(path), "m", "--max", value]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"loxant iv: error: --max {value}: ") and "internal" not in err


def test_an_unreachable_scheduler_is_a_message(tmp_path, capsys, monkeypatch):
    import loxant.analysis.runner as runner

    def refuse(client, owned):
        raise OSError(f"Timed out trying to connect to {client} after 30 s")

    monkeypatch.setattr(runner, "_connect", refuse)
    path = _netlist(tmp_path)
    for command in (["margins"], ["yield", "-n", "3"]):
        assert main([*command, path, "-q", "--scheduler", "tcp://10.9.9.9:1"]) == 1
        err = capsys.readouterr().err
        assert "cannot reach the Dask scheduler tcp://10.9.9.9:1: Timed out" in err
        assert "internal" not in err


def test_sweep_command_tables_absolute_and_multiplier_values_alike(tmp_path, capsys):
    pytest.importorskip("pandas")
    import pandas as pd

    path = _netlist(tmp_path)
    tables = []
    for values in ("I1=0.12m,0.15m,0.18m", "I1=x0.8,x1,x1.2", "I1=x0.8:x1.2:3"):
        out = tmp_path / "t.csv"
        assert (
            main(
                [
                    "sweep",
                    path,
                    values,
                    "--measure",
                    "n=switches(B1)",
                    "-q",
                    "--serial",
                    "-o",
                    str(out),
                ]
            )
            == 0
        )
        tables.append(pd.read_csv(out))
    for table in tables[1:]:
        pd.testing.assert_frame_equal(table, tables[0], rtol=1e-12)
    assert list(tables[0].columns) == ["I1 [A]", "n", "passed", "reason", "message"]
    assert tables[0]["n"].is_monotonic_increasing and tables[0]["n"].iloc[0] > 0
    capsys.readouterr()
    for argv, status, message in [
        (["I1=0.1m", "--measure", "wobble(B1)"], 2, "error: --measure 'wobble(B1)': expected"),
        (["I1"], 2, "error: 'I1': expected NAME=VALUES"),
        (["I1=x1:0.2m:3"], 2, "error: I1=x1:0.2m:3: both ends absolute, or both multipliers"),
        (["I1=abc"], 2, "error: I1=abc: bad number"),
        # an output that cannot be written fails as in every command, before any run
        (["I1=0.1m", "-o", str(tmp_path / "no" / "t.csv")], 1, "cannot write "),
    ]:
        assert main(["sweep", path, *argv, "-q", "--serial"]) == status
        err = capsys.readouterr().err
        assert err.startswith("loxant sweep: " + message), err
