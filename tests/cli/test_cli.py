"""The loxant command: outputs read back, summary, exit statuses, no tracebacks."""

import csv
import io
import math
import os
import re
import subprocess
import sys

import numpy as np
import pytest

from loxant import Netlist, __version__
from loxant.cli import main
from loxant.simulation.switching import first_crossing

JTL = """\
* four-stage JTL
.model jm jj(rtype=0, icrit=250u, rn=2.74, cap=0.175p)
.subckt stage in out
B1 in 0 jm
IB 0 in pwl(0 0 10p 175u)
L1 in out 3p
.ends
VIN IN 0 pwl(0 0 20p 0 22.5p 827.13u 25p 0)
LIN IN 1 3p
X1 stage 1 2
X2 stage 2 3
X3 stage 3 4
BEND 4 0 jm
IBEND 0 4 pwl(0 0 10p 175u)
.tran 0.05p 60p 0 0.25p
.print p(B1.X1) V(2) i(LIN) p(BEND) v(1,2)
.end
"""


@pytest.fixture
def jtl(tmp_path):
    path = tmp_path / "jtl.cir"
    path.write_text(JTL)
    return path


@pytest.fixture(scope="module")
def expected():
    """Traces of the same netlist from the Python interface."""
    net = Netlist.from_string(JTL)
    res = net.simulate()
    return res.time("s"), {label: values for label, _, values in net.traces(res)}


def read_raw(path):
    """A minimal reader of ASCII SPICE raw files, written from the format."""
    with open(path) as stream:
        lines = stream.read().splitlines()
    header = {}
    k = 0
    while not lines[k].startswith("Variables:"):
        key, _, value = lines[k].partition(":")
        header[key] = value.strip()
        k += 1
    count, points = int(header["No. Variables"]), int(header["No. Points"])
    names = [lines[k + 1 + j].split("\t")[2] for j in range(count)]
    kinds = [lines[k + 1 + j].split("\t")[3] for j in range(count)]
    assert lines[k + 1 + count] == "Values:"
    numbers = " ".join(lines[k + 2 + count :]).split()
    table = np.array(numbers, dtype=float).reshape(points, count + 1)
    assert np.array_equal(table[:, 0], np.arange(points))
    return names, kinds, table[:, 1:]


@pytest.mark.parametrize("extension", ["csv", "dat", "raw", "txt"])
def test_outputs_read_back_in_si_units(jtl, tmp_path, extension, expected, capsys):
    out = tmp_path / f"out.{extension}"
    assert main(["run", str(jtl), "-o", str(out)]) == 0
    time, traces = expected
    labels = ["P(B1|X1)", "V(2)", "I(LIN)", "P(BEND)", "V(1,2)"]
    if extension == "csv":
        with open(out) as stream:
            assert stream.readline() == 'time,"P(B1|X1)","V(2)","I(LIN)","P(BEND)","V(1,2)"\n'
        rows = list(csv.reader(open(out)))
        assert rows[0] == ["time"] + labels
        table = np.array(rows[1:], dtype=float)
    elif extension == "dat":
        with open(out) as stream:
            assert stream.readline().split() == ["time"] + labels
        table = np.loadtxt(out, skiprows=1)
    else:
        names, kinds, table = read_raw(out)
        assert names == ["time"] + labels
        assert kinds == ["time", "phase", "voltage", "current", "phase", "voltage"]
    np.testing.assert_array_equal(table[:, 0], time)
    for k, label in enumerate(labels, 1):
        np.testing.assert_array_equal(table[:, k], traces[label])
    # SI units: a flux quantum's pulse peaks near 0.8 mV, the input pulse at 827 uA
    assert 0.5e-3 < table[:, 2].max() < 1.2e-3
    assert capsys.readouterr().out.startswith(f"wrote 5 traces, {len(time)} samples")


def test_summary_counts_switches_and_their_times(jtl, capsys, expected):
    assert main(["run", str(jtl)]) == 0
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert lines[0] == f"{jtl}: 4 junction(s), 241 samples"
    rows = {line.split()[0]: line.split()[1:] for line in lines[2:]}
    assert list(rows) == ["B1|X1", "B1|X2", "B1|X3", "BEND"]
    assert all(count == "1" for count, _ in rows.values())
    time, traces = expected
    phase = traces["P(B1|X1)"]
    k = np.argmax(phase > math.pi)
    crossing = time[k - 1] + (math.pi - phase[k - 1]) / (phase[k] - phase[k - 1]) * (
        time[k] - time[k - 1]
    )
    assert float(rows["B1|X1"][1]) == pytest.approx(crossing * 1e12, abs=1e-3)
    times = [float(first) for _, first in rows.values()]
    assert times == sorted(times)
    assert err.startswith("loxant: 1200 steps (0 rejected), ")
    assert "Newton iterations" in err and err.rstrip().endswith(" s")


def test_quiet_runs_print_no_statistics(jtl, tmp_path, capsys):
    assert main(["run", str(jtl), "-q", "-o", str(tmp_path / "x.csv")]) == 0
    assert capsys.readouterr() == ("", "")


def test_first_switch_of_a_phase_going_down():
    t = np.array([0.0, 1.0, 2.0, 3.0])
    phase = np.array([0.0, -2.0, -4.0, -6.0])
    # the phase is straight between samples: -pi is passed at 1 + (pi - 2) / 2
    assert first_crossing(t, phase) == pytest.approx(1.0 + (math.pi - 2.0) / 2.0)
    assert first_crossing(t, np.full(4, 3.0)) is None


def _stdin(text):
    return io.TextIOWrapper(io.BytesIO(text.encode()))


def test_standard_input_and_default_outputs(tmp_path, monkeypatch, capsys):
    text = JTL.replace(".print p(B1.X1) V(2) i(LIN) p(BEND) v(1,2)\n", "")
    monkeypatch.setattr(sys, "stdin", _stdin(text))
    out = tmp_path / "all.csv"
    assert main(["run", "-", "-o", str(out), "-q"]) == 0
    with open(out) as stream:
        header = next(csv.reader(stream))
    assert header == ["time", "P(B1|X1)", "P(B1|X2)", "P(B1|X3)", "P(BEND)", "V(IN)"] + [
        f"V({n})" for n in range(1, 5)
    ]


def test_plot_writes_an_image(jtl, tmp_path):
    pytest.importorskip("matplotlib")
    image = tmp_path / "plot.png"
    assert main(["run", str(jtl), "-q", "--plot", str(image)]) == 0
    assert image.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_progress_bar_on_a_terminal(jtl, monkeypatch):
    pytest.importorskip("tqdm")

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert main(["run", str(jtl), "-o", os.devnull]) == 0
    assert "100%" in terminal.getvalue()
    assert " elapsed, " in terminal.getvalue() and " left" in terminal.getvalue()  # time left
    assert "steps" in terminal.getvalue().splitlines()[-1]


@pytest.mark.parametrize(
    ("netlist", "status", "message"),
    [
        ("R1 1 0 5\nR2 1 0 q(\n", 2, "bad.cir:2: bad value 'q('"),
        ("R1 1 0 5\nR2 1 0 5\n", 2, "bad.cir: the netlist has no .tran analysis"),
        (
            "P1 1 0 pwl(0 0 5p 1)\nL1 1 0 0\n.tran 0.1p 10p\n",
            1,
            "simulation failed: step from t = -",  # in the start-up period
        ),
    ],
)
def test_exit_statuses(tmp_path, capsys, netlist, status, message):
    path = tmp_path / "bad.cir"
    path.write_text(netlist)
    assert main(["run", str(path)]) == status
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_unwritable_output_fails_cleanly(jtl, tmp_path, capsys):
    assert main(["run", str(jtl), "-q", "-o", str(tmp_path / "no" / "x.csv")]) == 1
    assert "cannot write" in capsys.readouterr().err


def test_usage_version_and_help(capsys):
    with pytest.raises(SystemExit) as info:
        main(["--version"])
    assert info.value.code == 0 and capsys.readouterr().out.strip() == f"loxant {__version__}"
    with pytest.raises(SystemExit) as info:
        main(["run", "--help"])
    assert info.value.code == 0 and "--plot" in capsys.readouterr().out
    with pytest.raises(SystemExit) as info:
        main(["run"])
    assert info.value.code == 2
    assert main([]) == 2


def test_the_command_as_a_process(jtl, tmp_path):
    """The installed entry point behaves the same: statuses, and a user's mistake
    prints one message, no traceback."""
    bad = tmp_path / "bad.cir"
    bad.write_text("R1 1 0 5\nJ1 1 0 5\n.tran 1p 2p\n")
    command = [sys.executable, "-m", "loxant", "run"]
    failed = subprocess.run(command + [str(bad)], capture_output=True, text=True)
    assert failed.returncode == 2
    assert failed.stderr == f"{bad}:2: unknown element letter 'J' of J1\n    J1 1 0 5\n"
    missing = subprocess.run(command + [str(tmp_path / "none.cir")], capture_output=True, text=True)
    assert missing.returncode == 2 and "Traceback" not in missing.stderr
    good = subprocess.run(command + [str(jtl), "-q"], capture_output=True, text=True)
    assert good.returncode == 0 and "B1|X1" in good.stdout and good.stderr == ""


def test_margins_subcommand_through_the_command(jtl, tmp_path, capsys):
    """The analyses' subcommands are reachable from the command and read the netlist
    themselves: a global-bias margin of the JTL, serially, written as CSV."""
    table = tmp_path / "margins.csv"
    status = main(["margins", str(jtl), "--serial", "--params", "IBEND", "-o", str(table)])
    assert status == 0
    rows = {row["parameter"]: row for row in csv.DictReader(table.open())}
    assert set(rows) == {"IBEND", "global bias"}
    for row in rows.values():
        assert float(row["low %"]) < 0 < float(row["high %"])
    assert main(["margins", str(tmp_path / "missing.cir"), "--serial"]) == 2
    assert "missing.cir" in capsys.readouterr().err


def test_recording_only_the_requests_gives_the_same_traces(expected):
    net = Netlist.from_string(JTL)
    res = net.simulate(record=net.record())
    for label, _, values in net.traces(res):
        np.testing.assert_array_equal(values, expected[1][label])
    with pytest.raises(KeyError, match="record"):
        res.phase("B1|X2")
    summary = net.simulate(record=net.record(junctions=True))
    assert summary.turn_count("B1|X2")[-1] == 1


def test_adaptive_flag_switches_at_the_fixed_step_times(jtl, capsys):
    summaries = []
    for flags in ([], ["--adaptive"]):
        assert main(["run", str(jtl), *flags]) == 0
        out, err = capsys.readouterr()
        rows = [line.split() for line in out.splitlines()[2:]]
        summaries.append(({r[0]: float(r[2]) for r in rows}, int(err.split()[1])))
    (fixed, fixed_steps), (adaptive, adaptive_steps) = summaries
    assert list(adaptive) == list(fixed)
    for name, t in fixed.items():
        assert adaptive[name] == pytest.approx(t, abs=0.05)  # ps
    assert adaptive_steps != fixed_steps  # a different step did run


# ---- every fault a one-line message -------------------------------------------------

RC = "* RC\nR1 1 0 1\nC1 1 0 1p\nI1 0 1 pwl(0 0 5p 1m)\n.tran 0.1p 50p\n.print v(1)\n"


def _raises(exc):
    def simulate(self, *args, **kwargs):
        raise exc

    return simulate


# (netlist text, extra arguments, a patch of Netlist.simulate, statuses, message)
COMMAND_FAULTS = [
    (RC.replace(".tran 0.1p 50p", ".tran 0.1p 50p 20p 100p"), [], None, {2}, "nothing would"),
    (RC, ["--plot", "p.xyz"], None, {2}, "no image format 'xyz'"),
    (RC, ["--dt-max", "fast"], None, {2}, "--dt-max fast: bad number"),
    (RC, [], _raises(MemoryError()), {1}, "out of memory"),
    (RC, [], _raises(ZeroDivisionError("x" * 500)), {3}, "internal error: ZeroDivisionError"),
    (RC, [], _raises(KeyboardInterrupt()), {130}, "interrupted"),
    ("R1 1 0 5\n.tran 0.1p 1p\n", ["-", "-o", "a.csv"], None, {2}, "several netlists"),
]


@pytest.mark.parametrize(("text", "extra", "patch", "statuses", "message"), COMMAND_FAULTS)
def test_every_fault_is_one_message(
    tmp_path, capsys, monkeypatch, text, extra, patch, statuses, message
):
    path = tmp_path / "bad.cir"
    path.write_text(text)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "stdin", _stdin(RC))
    if patch is not None:
        monkeypatch.setattr(Netlist, "simulate", patch)
    first = [extra.pop(0)] if extra[:1] == ["-"] else []
    assert main(["run", str(path), *first, "-q", *extra]) in statuses
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert len(err.strip().splitlines()) == 1 and len(err) < 700


def test_a_run_limit_is_a_message_naming_it(tmp_path, capsys, monkeypatch):
    import loxant.simulation.options

    monkeypatch.setattr(loxant.simulation.options, "MAX_RECORDING_BYTES", 2**15)
    path = tmp_path / "running.cir"
    path.write_text(
        "* a junction biased above its critical current switches all the time\n"
        ".model jm jj(rtype=0, icrit=0.1m, rn=5, cap=0.1p)\n"
        "B1 1 0 jm\nI1 0 1 pwl(0 0 10p 0.15m)\n.tran 0.1p 5000p\n.print p(B1)\n"
    )
    assert main(["run", str(path), "-q", "--dt-max", "5p", "-o", str(tmp_path / "x.csv")]) == 1
    err = capsys.readouterr().err
    assert "recording reached the limit of 0.03125 MiB" in err and "t = " in err
    # the advice is the command's own options, not the Python interface's
    assert "--print-step" in err and "--record-all" in err and "record=[" not in err


def test_first_switch_without_samples():
    empty = np.zeros(0)
    assert first_crossing(empty, empty) is None


# ---- several netlists in one process -------------------------------------------------


def test_several_netlists_each_write_their_own_output(tmp_path, capsys, expected):
    names = ["one.cir", "two.cir", "broken.cir", "three.cir"]
    for name in names:
        (tmp_path / name).write_text(JTL if name != "broken.cir" else "R1 1 0 5\nR2 1 0 q(\n")
    out = tmp_path / "out"
    out.mkdir()
    paths = [str(tmp_path / name) for name in names]
    # a broken netlist fails alone: the others run, the status is the worst
    assert main(["run", *paths, "-q", "-o", f"{out}/"]) == 2
    assert sorted(os.listdir(out)) == ["one.csv", "three.csv", "two.csv"]
    time_axis, traces = expected
    table = np.loadtxt(out / "three.csv", delimiter=",", skiprows=1)
    np.testing.assert_allclose(table[:, 0], time_axis, rtol=1e-12)
    np.testing.assert_allclose(table[:, 2], traces["V(2)"], rtol=1e-9, atol=1e-15)
    assert "broken.cir:2" in capsys.readouterr().err
    # beside each netlist, under its own name
    assert main(["run", paths[0], paths[1], "-q", "-o", ".dat"]) == 0
    assert (tmp_path / "one.dat").exists() and (tmp_path / "two.dat").exists()
    # summaries, one after the other, each under its name
    assert main(["run", paths[0], paths[3]]) == 0
    out_text = capsys.readouterr().out
    assert out_text.index(f"== {paths[0]}") < out_text.index(f"== {paths[3]}")
    assert out_text.count("BEND") == 2


def test_a_run_imports_only_what_it_uses(jtl, tmp_path):
    """Reading, simulating and writing a CSV loads neither the analyses, nor the
    Python reference loop, nor pandas, Dask or matplotlib."""
    code = (
        "import sys\n"
        "from loxant.cli import main\n"
        f"assert main(['run', {str(jtl)!r}, '-q', '-o', {str(tmp_path / 'x.csv')!r}]) == 0\n"
        "heavy = ('pandas', 'dask', 'distributed', 'matplotlib', 'scipy', 'loxant.analysis',\n"
        "         'loxant.simulation.reference')\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in heavy or m.startswith(heavy)))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


def test_netlist_warnings_are_one_line_each(tmp_path, capsys):
    # an open node is a warning naming it, given once and without Python's own format
    path = tmp_path / "open.cir"
    path.write_text("I1 0 1 dc 1m\nR1 1 0 5\nR2 1 2 5\n.tran 0.1p 1p\n")
    assert main(["run", str(path), "-q"]) == 0
    lines = [line for line in capsys.readouterr().err.splitlines() if "warning" in line]
    assert len(lines) == 1
    assert lines[0].startswith("loxant: warning: ") and "2" in lines[0] and "open.cir:3" in lines[0]


def test_a_netlist_without_requests_records_only_what_is_shown(tmp_path, capsys, monkeypatch):
    # the summary needs each junction's phase and turns, -o every junction phase
    # and node voltage; the run is told to record just that, never everything
    import loxant.netlist

    path = tmp_path / "plain.cir"
    path.write_text(JTL.replace(".print p(B1.X1) V(2) i(LIN) p(BEND) v(1,2)\n", ""))
    asked = []
    simulate = loxant.netlist.Netlist.simulate

    def spy(self, *args, **options):
        asked.append(options.get("record"))
        return simulate(self, *args, **options)

    monkeypatch.setattr(loxant.netlist.Netlist, "simulate", spy)
    assert main(["run", str(path), "-q"]) == 0
    assert asked[0] and {q.split("(")[0] for q in asked[0]} == {"phase", "turns"}
    assert main(["run", str(path), "-q", "-o", str(tmp_path / "all.csv")]) == 0
    assert {q.split("(")[0] for q in asked[1]} == {"phase", "voltage"}
    assert "junction(s)" in capsys.readouterr().out


def test_a_summary_too_large_for_memory_is_sampled_and_says_so(tmp_path, capsys, monkeypatch):
    import loxant.simulation.options

    path = tmp_path / "plain.cir"
    path.write_text(JTL.replace(".print p(B1.X1) V(2) i(LIN) p(BEND) v(1,2)\n", ""))
    assert main(["run", str(path)]) == 0
    full = capsys.readouterr()
    monkeypatch.setattr(loxant.simulation.options, "MAX_RECORDING_BYTES", 4_000)
    assert main(["run", str(path)]) == 0
    sampled = capsys.readouterr()
    assert "recorded every" in sampled.err and ".print" in sampled.err
    # the same switches counted, first times within the coarser sampling
    rows = [line.split() for line in full.out.splitlines()[2:]]
    coarse = [line.split() for line in sampled.out.splitlines()[2:]]
    assert [r[:2] for r in rows] == [r[:2] for r in coarse]
    samples = [int(re.search(r"(\d+) samples", out).group(1)) for out in (full.out, sampled.out)]
    assert samples[0] > 2 * samples[1]


def test_a_closed_pipe_ends_the_command_quietly(tmp_path, monkeypatch):
    class Closed(io.StringIO):
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

    path = tmp_path / "rc.cir"
    path.write_text(RC)
    err = io.StringIO()
    # both streams replaced here and restored by monkeypatch alone
    monkeypatch.setattr(sys, "stdout", Closed())
    monkeypatch.setattr(sys, "stderr", err)
    assert main(["run", str(path), "-q"]) == 1
    assert err.getvalue() == ""
