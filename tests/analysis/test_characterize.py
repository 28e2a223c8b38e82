"""Cell timing characterization against plain runs of hand-built benches: the
learned state machines against ones written by hand, delays as measured
directly, every constraint's bracket against a scan judged by counting pulses,
a failing corner reported and left out, and the SDF and Liberty files read by
OpenSTA."""

import math
import re
import time
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import shutil
import subprocess

from loxant.analysis.characterize import characterize
from loxant.analysis.harness import DEFAULT_CELLS
from loxant.analysis.liberty import liberty_text
from loxant.analysis.sdf import read_sdf, sdf_text
from loxant.cli import main
from loxant.netlist import Netlist, read_netlist

CELLS = Path(__file__).parent / "data" / "cells.cir"


@pytest.fixture(scope="module")
def jtl():
    return characterize(CELLS, "jtl", "a", "q", progress=False)


@pytest.fixture(scope="module")
def dff():
    return characterize(CELLS, "dff", ["d"], ["q"], clock="clk", progress=False)


def pulse(times, amplitude="800u"):
    points = " ".join(f"{t}p 0 {t + 1}p {amplitude} {t + 2}p 0" for t in sorted(times))
    return f"pwl(0 0 {points})"


def plain_run(cell_ports, pulses, t_stop=150, load=1):
    """A bench written out by hand: the bench's own source, stage and sink cells
    around the cell of cells.cir (``load`` stages and sinks on q), and its results."""
    lines = [CELLS.read_text().replace(".end\n", ""), DEFAULT_CELLS]
    for port, times in pulses.items():
        lines += [f"I{port} 0 inj{port} {pulse(times)}", f"XS{port} LXH_SOURCE inj{port} {port}"]
    lines.append(cell_ports)
    for k in range(load):
        lines += [f"XL{k} LXH_STAGE q ld{k}", f"XK{k} LXH_SINK ld{k}"]
    lines += [f".tran 0.05p {t_stop}p", ".end"]
    return Netlist.from_string("\n".join(lines) + "\n").simulate()


def first_pi_crossing(results, node):
    """Where the node's phase first rises through pi, by linear interpolation."""
    time, phase = results.time("s"), results.node_phase(node)
    k = int(np.argmax(phase >= math.pi))
    return time[k - 1] + (math.pi - phase[k - 1]) / (phase[k] - phase[k - 1]) * (
        time[k] - time[k - 1]
    )


def test_jtl_delay_equals_the_delay_of_a_plain_run(jtl):
    results = plain_run("XJ jtl a q", {"a": [60]})
    direct = first_pi_crossing(results, "Q") - first_pi_crossing(results, "A")
    row = jtl.delays.query("load == 1 and bias == 1.0")
    assert row["delay_ps"].item() == pytest.approx(direct * 1e12, abs=1e-6)
    assert 1.0 < direct * 1e12 < 10.0  # two junctions of a JTL, a few ps


# state machines written by hand: (state, input) -> (outputs, next state)
HAND = {
    "jtl": {(0, "A"): ("Q", 0)},
    "dff": {
        (0, "D"): ("none", 1),
        (0, "CLK"): ("none", 0),
        (1, "D"): ("none", 1),
        (1, "CLK"): ("Q", 0),
    },
    "merger": {(0, "A"): ("Q", 0), (0, "B"): ("Q", 0)},
}


@pytest.mark.parametrize("name", sorted(HAND))
def test_learned_state_machine_equals_the_one_written_by_hand(name, request):
    result = request.getfixturevalue(name)
    learned = {
        (int(r.state.rsplit("_", 1)[1]), r.input): (r.outputs, int(r.next.rsplit("_", 1)[1]))
        for r in result.machine.itertuples()
    }
    assert learned == HAND[name]
    assert result.states[0] == "internal_state_0"


def turns(results, node):
    """Net 2 pi turns of a node's phase over the run."""
    phase = results.node_phase(node)
    return np.floor((phase + math.pi) / (2 * math.pi)) - np.floor(
        (phase[0] + math.pi) / (2 * math.pi)
    )


def hand_walk(name, ports):
    """Output count of each pulse of ``ports`` from rest, by the hand-written machine."""
    state, outs = 0, []
    for port in ports:
        out, state = HAND[name][(state, port)]
        outs.append(0 if out == "none" else len(out.split()))
    return outs


ACCESS = {"dff": {0: [], 1: ["D"]}, "merger": {0: []}, "jtl": {0: []}}
INSTANCE = {"dff": "XD dff d clk q", "merger": "XM merger a b q", "jtl": "XJ jtl a q"}


def scan_verdict(name, state, first, second, separation, check):
    """A plain run: the history of ``state`` 25 ps apart, ``first`` then ``second``
    ``separation`` ps later, then ``check``; passes when every input port turns
    once per pulse and q pulses as often as the hand-written machine says."""
    t, pulses = 30.0, []
    for port in ACCESS[name][state]:
        pulses.append((t, port))
        t += 25
    pulses += [(t, first), (t + separation, second)]
    t += 35
    for port in check:
        pulses.append((t, port))
        t += 25
    sources = {}
    for time_, port in pulses:
        sources.setdefault(port.lower(), []).append(time_)
    results = plain_run(INSTANCE[name], sources, t_stop=t + 20)
    for port, times in sources.items():
        if turns(results, port.upper())[-1] != len(times):
            return False
    wanted = sum(hand_walk(name, [p for _, p in pulses]))
    return turns(results, "Q")[-1] == wanted


@pytest.mark.parametrize("name", ["dff", "merger"])
def test_each_constraint_brackets_where_a_scan_first_fails(name, request):
    """Around each bracket a scan 0.1 ps apart sees the cell fail below it and
    follow its machine above it; values are given wherever the cell fails at
    some separation."""
    result = request.getfixturevalue(name)
    rows = result.constraints.dropna(subset=["value_ps"])
    assert len(rows) >= 2
    for row in rows.itertuples():
        state = int(row.state.rsplit("_", 1)[1])
        assert 0 < row.pass_ps - row.fail_ps <= 0.05 + 1e-9
        check = CHECKS[name][(state, row.first, row.second)]
        for offset in (-0.2, -0.1, 0.0):
            assert not scan_verdict(name, state, row.first, row.second, row.fail_ps + offset, check)
        for offset in (0.0, 0.1, 0.3):
            assert scan_verdict(name, state, row.first, row.second, row.pass_ps + offset, check)


# after the pair, pulses that show the state the cell is left in
CHECKS = {
    "dff": {(s, x, y): ["CLK"] for s in (0, 1) for x in ("D", "CLK") for y in ("D", "CLK")},
    "merger": {(0, x, y): [] for x in ("A", "B") for y in ("A", "B")},
}


@pytest.mark.parametrize(
    "name, arc", [("jtl", "A"), ("dff", "CLK"), ("merger", "A"), ("merger", "B")]
)
def test_delay_grows_with_load_and_falls_with_bias(name, arc, request):
    result = request.getfixturevalue(name)
    assert not result.failures  # every corner follows the cell's machine
    rows = result.delays.query("`from` == @arc")
    table = rows.pivot_table(index="load", columns="bias", values="delay_ps")
    assert list(table.index) == [1, 2, 3] and list(table.columns) == [0.9, 1.0, 1.1]
    assert (np.diff(table.to_numpy(), axis=0) > 0.05).all()  # more loads: slower
    assert (np.diff(table.to_numpy(), axis=1) < -0.05).all()  # more bias: faster


def test_bias_corners_scale_the_cell_and_leave_the_bench():
    """The cell's bias at 1.1 is the same run as the cell written with 1.1 times
    its bias sources, on a bench left at nominal."""
    options = {"loads": (1,), "constraints": False, "progress": False}
    scaled = characterize(CELLS, "jtl", "a", "q", biases=(1.1,), **options)
    text = CELLS.read_text().replace("pwl(0 0 10p 175u)", "pwl(0 0 10p 192.5u)", 2)
    by_hand = characterize(text, "jtl", "a", "q", biases=(1.0,), **options)
    assert scaled.delays["delay_ps"].item() == pytest.approx(
        by_hand.delays["delay_ps"].item(), abs=1e-9
    )
    everything = characterize(CELLS, "jtl", "a", "q", biases=(1.1,), scale_bench=True, **options)
    assert everything.delays["delay_ps"].item() != pytest.approx(scaled.delays["delay_ps"].item())


def test_a_failing_corner_is_reported_and_left_out(tmp_path):
    """At 5 % bias the JTL cannot pass a pulse: that corner is a failure with its
    reason, a CSV row, and no SDF value; the others are written."""
    table, sdf = tmp_path / "t.csv", tmp_path / "j.sdf"
    argv = ["characterize", str(CELLS), "--cell", "jtl", "--inputs", "a", "--outputs", "q"]
    argv += ["--loads", "1", "--biases", "0.05,1", "--no-constraints", "-q"]
    argv += ["-o", str(table), "--sdf", str(sdf)]
    assert main(argv) == 0
    written = pd.read_csv(table)
    failed = written.query("kind == 'failed corner'")
    assert list(failed["bias"]) == [0.05]
    assert re.search("instead of|not taken", failed["note"].item())
    assert list(written.query("kind == 'delay'")["bias"]) == [1.0]
    (path,) = read_sdf(str(sdf))["cells"]["jtl"]["iopath"]
    delay = written.query("kind == 'delay'")["value_ps"].item()
    assert path[3] == pytest.approx((delay, delay, delay), abs=1e-3)


def test_files_are_written_whole_or_not_at_all(tmp_path, jtl, monkeypatch):
    """A write that fails before its rename leaves the old file as it was and no
    temporary file behind."""
    from loxant import output

    target = tmp_path / "cell.sdf"
    target.write_text("old")

    def full_disk(source, destination):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(output.os, "replace", full_disk)
    with pytest.raises(OSError, match="No space left"):
        jtl.write_sdf(target)
    assert target.read_text() == "old"
    assert [p.name for p in tmp_path.iterdir()] == ["cell.sdf"]
    monkeypatch.undo()
    jtl.write_sdf(target)
    assert read_sdf(str(target))["cells"]["jtl"]["iopath"]


def test_sdf_round_trips(jtl, dff):
    read = read_sdf(sdf_text([jtl, dff]))
    assert read["timescale"] == 1.0 and set(read["cells"]) == {"jtl", "dff"}
    for result in (jtl, dff):
        cell = read["cells"][result.cell.lower()]
        first = result.delays.query("load == 1")
        expected = [
            (s, a.lower(), b.lower(), rows["delay_ps"])
            for (s, a, b), rows in first.groupby(["state", "from", "to"])
        ]
        assert len(cell["iopath"]) == len(expected)
        for (cond, a, b, triple), (state, a0, b0, values) in zip(cell["iopath"], expected):
            assert (cond, a, b) == (state, a0, b0)
            nominal = values[first.loc[values.index, "bias"] == 1.0].item()
            assert triple == pytest.approx((values.min(), nominal, values.max()), abs=1e-3)
    # a constraint only the bench's source limits ("at most") is no check of the cell
    # unless asked for
    for bounds in (False, True):
        read = read_sdf(sdf_text([dff], bounds=bounds))
        checks = {
            (cond, ref, port): value
            for kind, cond, port, ref, value in read["cells"]["dff"]["checks"]
        }
        written = dff.constraints.dropna(subset=["value_ps"])
        at_most = written["note"].str.startswith("at most")
        assert at_most.any()  # the dff's d after d is limited by the bench's source
        expected = {
            (row.state, row.first.lower(), row.second.lower()): row.value_ps
            for row in written[~at_most | bounds].itertuples()
        }
        assert checks == pytest.approx(expected, abs=1e-3)


def test_sdf_reader_takes_the_public_library_form():
    text = """(DELAYFILE (SDFVERSION "4.0") (DIVIDER .) (TIMESCALE 100fs)
    (CELL (CELLTYPE "m") (INSTANCE *)
      (DELAY (ABSOLUTE /* two paths under one condition */
        (COND internal_state_0 (IOPATH a q (90:90:90)) (IOPATH b q (91:91:91)))))
      (TIMINGCHECK (HOLD b (COND internal_state_0 (posedge a)) (23)))))
"""
    cell = read_sdf(text)["cells"]["m"]
    assert cell["iopath"] == [
        ("internal_state_0", "a", "q", pytest.approx((9.0, 9.0, 9.0))),
        ("internal_state_0", "b", "q", pytest.approx((9.1, 9.1, 9.1))),
    ]
    assert cell["checks"] == [("HOLD", "internal_state_0", "b", "a", pytest.approx(2.3))]


def test_sdf_reader_refuses_deep_nesting_with_its_error():
    with pytest.raises(ValueError, match="nested deeper"):
        read_sdf("(DELAYFILE " + "(" * 100_000 + ")" * 100_000 + ")\n")


STA = shutil.which("sta")
TOP = """module top (d, clk, b, q, y);
  input d, clk, b;
  output q, y;
  wire n1;
  dff u1 (.d(d), .clk(clk), .q(n1));
  merger u2 (.a(n1), .b(b), .q(y));
  jtl u3 (.a(n1), .q(q));
endmodule
"""


@pytest.mark.skipif(
    STA is None, reason="OpenSTA (Debian package opensta, 'make deps') is not installed"
)
def test_opensta_reads_liberty_and_sdf_without_a_warning(tmp_path, jtl, dff, merger):
    (tmp_path / "cells.lib").write_text(liberty_text([jtl, dff, merger]))
    instances = {"dff": ["u1"], "merger": ["u2"], "jtl": ["u3"]}
    (tmp_path / "top.sdf").write_text(sdf_text([jtl, dff, merger], instances=instances))
    (tmp_path / "top.v").write_text(TOP)
    script = """read_liberty cells.lib
read_verilog top.v
link_design top
read_sdf top.sdf
create_clock -name clk -period 100 [get_ports clk]
set_input_delay 0 -clock clk [get_ports {d b}]
set_output_delay 0 -clock clk [get_ports {q y}]
report_checks -path_delay max -format full
report_annotated_delay
report_annotated_check
exit
"""
    (tmp_path / "run.tcl").write_text(script)
    done = subprocess.run(
        [STA, "-no_init", "-exit", "run.tcl"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    output = done.stdout + done.stderr
    assert done.returncode == 0, output
    assert "Warning" not in output and "Error" not in output, output
    # every delay and check of the SDF annotated an arc of the Liberty cells
    arcs = sum(len(r.delays.query("load == 1 and bias == 1.0")) for r in (jtl, dff, merger))
    # a constraint only the bench's source limits is written as no check
    checks = sum(
        int(
            (
                r.constraints["value_ps"].notna() & ~r.constraints["note"].str.startswith("at most")
            ).sum()
        )
        for r in (jtl, dff, merger)
    )
    assert re.search(rf"cell arcs\s+{arcs}\s+{arcs}\s+0", output), output
    assert re.search(rf"cell hold arcs\s+{2 * checks}\s+{2 * checks}\s+0", output) or re.search(
        rf"cell hold arcs\s+{checks}\s+{checks}\s+0", output
    ), output
    # the longest path takes the DFF's clock-to-q delay from the SDF (its max)
    delay = dff.delays.query("load == 1")["delay_ps"].max()
    assert re.search(rf"{delay:.2f}\s+[0-9.]+ \^ u1/q \(dff\)", output), output


def test_liberty_names_units_function_and_ff(jtl, dff, merger):
    text = liberty_text([jtl, dff, merger])
    assert 'time_unit : "1ps"' in text and "capacitive_load_unit (1, ff)" in text
    assert "bias" not in text.split("lu_table_template")[1].split("}")[0]
    assert 'next_state : "(d)"' in text and 'clocked_on : "clk"' in text
    assert 'function : "a | b"' in text  # the merger
    assert 'function : "a"' in text  # the JTL
    assert "cell (dff)" in text


@pytest.mark.parametrize(
    "arguments, options, message",
    [
        (("nope", "a", "q"), {}, "no subcircuit named nope"),
        (("jtl", "a", "x"), {}, "JTL has no port X"),
        (("jtl", "a", "a"), {}, "both an input and an output"),
        (("jtl", "", "q"), {}, "name at least one input"),
        (("dff", "d", "q"), {}, "port CLK of DFF is neither an input nor an output"),
        (("dff", "d", "q", ""), {}, "clock: name one of the inputs"),
        (("jtl", "a", "q"), {"resolution": "1e-30ps"}, "resolution must be at least 0.001 ps"),
        (("jtl", "a", "q"), {"loads": (100000000,)}, "1 to 16 loads"),
        (("jtl", "a", "q"), {"loads": tuple(range(1, 18))}, "at most 16 loads"),
        (("jtl", "a", "q"), {"states": {"internal_state_5": "x"}}, None),
    ],
)
def test_bad_arguments_are_refused_before_any_run(arguments, options, message):
    if message is None:  # a state map naming a state the cell lacks: found after learning
        with pytest.raises(ValueError, match="no state 5"):
            characterize(
                CELLS,
                *arguments,
                constraints=False,
                loads=(1,),
                biases=(1.0,),
                progress=False,
                **options,
            )
        return
    started = time.perf_counter()
    with pytest.raises(ValueError, match=message):
        characterize(CELLS, *arguments, progress=False, **options)
    assert time.perf_counter() - started < 5  # refused, not worked on


def test_ptl_ports_are_recognised_from_the_netlist():
    from loxant.analysis.harness import cell_source

    text = """.subckt cellt a b q
T1 a 0 1 0 td=2p z0=5
L1 1 2 2p
L2 b 2 2p
RD 2 q 1.4
.ends cellt
"""
    source = cell_source(text, "cellt")
    assert source.ptl_inputs(["A", "B"]) == {"A"}
    assert source.ptl_outputs(["Q"]) == {"Q"}
    assert source.name("q") == "q" and source.name("CELLT") == "cellt"


def test_a_netlist_error_in_the_cell_points_at_its_line(tmp_path):
    from loxant.netlist import NetlistError

    broken = tmp_path / "broken.cir"
    text = CELLS.read_text().replace("L2 1 2 4p", "L2 1 2 {NOPE}")
    broken.write_text(text)
    line = text.splitlines().index("L2 1 2 {NOPE}") + 1
    with pytest.raises(NetlistError, match=rf"broken.cir:{line}:"):
        characterize(broken, "jtl", "a", "q", progress=False)


def test_a_whole_netlist_gives_its_cells_and_nothing_else(tmp_path):
    """Top-level elements, analyses, outputs, control blocks and what follows .end
    stay out of the bench: the delay is that of the library alone, whether the
    netlist comes as a path or read."""
    top = "XJ jtl in out\nRL out 0 2\n.tran 0.1p 100p\n.print p(B1.XJ)\n"
    source = "VIN in 0 pwl(0 0 40p 0 42.5p 827u 45p 0)\n" + CELLS.read_text() + top
    plain, controlled = tmp_path / "plain.cir", tmp_path / "controlled.cir"
    plain.write_text(source + ".end\n")
    controlled.write_text(source + ".control\nrun\n.endc\n.end\nthis line is no netlist\n")
    options = {"loads": (1,), "biases": (1.0,), "constraints": False, "progress": False}
    alone = characterize(CELLS, "jtl", "a", "q", **options)
    for given in (controlled, read_netlist(plain)):
        whole = characterize(given, "jtl", "a", "q", **options)
        assert whole.delays["delay_ps"].item() == alone.delays["delay_ps"].item()


@pytest.fixture(scope="module")
def merger():
    return characterize(CELLS, "merger", ["a", "b"], ["q"], progress=False)


def pi_crossing(results, node, turn):
    """Where the node's phase rises through (2 turn + 1) pi, interpolated."""
    time_, phase = results.time("s"), results.node_phase(node)
    level = (2 * turn + 1) * math.pi
    k = int(np.argmax(phase >= level))
    return time_[k - 1] + (level - phase[k - 1]) / (phase[k] - phase[k - 1]) * (
        time_[k] - time_[k - 1]
    )


@pytest.mark.parametrize("load", [1, 3])
def test_merger_delays_equal_those_of_a_plain_run(merger, load):
    """One pulse into one input, the other input's source idle: it reaches q
    alone, and the delay is that measured directly; a and b are alike."""
    nominal = merger.delays.query("load == @load and bias == 1.0").set_index("from")["delay_ps"]
    for port, idle in (("A", "B"), ("B", "A")):
        pulses = {port.lower(): [30], idle.lower(): [500]}  # the idle pulse after the end
        results = plain_run("XM merger a b q", pulses, t_stop=80, load=load)
        assert [turns(results, n)[-1] for n in (port, idle, "Q")] == [1, 0, 1]
        direct = pi_crossing(results, "Q", 0) - pi_crossing(results, port, 0)
        assert nominal[port] == pytest.approx(direct * 1e12, abs=1e-6)
        assert 2.0 < direct * 1e12 < 10.0  # three junctions switch in turn


def test_an_output_into_a_line_is_benched_with_a_line_and_a_receiver():
    """The series resistor on q makes it a line port: q drives a 5.3 ohm line
    into a receiver, and the delay is that of a plain run of that bench, dated
    at the line's far end less its 5 ps."""
    result = characterize(CELLS, "jtlt", "a", "q", loads=(1,), biases=(1.0,), progress=False)
    assert result.ptl == {"in": [], "out": ["Q"]} and not result.failures
    assert len(result.states) == 1
    lines = [CELLS.read_text(), DEFAULT_CELLS]
    lines += [f"IA 0 inja {pulse([30])}", "XSA LXH_SOURCE inja a", "XT jtlt a q"]
    lines += ["TL q 0 far 0 td=5p z0=5.3", "XR LXH_RECEIVER far", ".tran 0.05p 150p", ".end"]
    results = Netlist.from_string("\n".join(lines) + "\n").simulate()
    assert turns(results, "FAR")[-1] == 1
    direct = first_pi_crossing(results, "FAR") - 5e-12 - first_pi_crossing(results, "A")
    assert result.delays["delay_ps"].item() == pytest.approx(direct * 1e12, abs=1e-6)
