"""Cell timing characterization against plain runs of hand-built benches: the
JTL's delay as measured directly, the DFF's setup and hold brackets against a
scan judged by counting output pulses, the trends of delay with load and bias,
and the SDF and Liberty files read back."""

import math
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pandas")

from loxant.analysis.characterize import characterize
from loxant.analysis.harness import DEFAULT_CELLS
from loxant.analysis.liberty import liberty_text
from loxant.analysis.sdf import read_sdf, sdf_text
from loxant.netlist import Netlist, read_netlist

CELLS = Path(__file__).parent / "data" / "cells.cir"


@pytest.fixture(scope="module")
def jtl():
    return characterize(CELLS, "jtl", "a", "q", progress=False)


@pytest.fixture(scope="module")
def dff():
    return characterize(CELLS, "dff", ["d"], ["q"], clock="clk", progress=False)


def pulse(times, amplitude="400u"):
    points = " ".join(f"{t}p 0 {t + 2}p {amplitude} {t + 4}p 0" for t in times)
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


def test_dff_function_is_learnt_from_the_nominal_runs(dff):
    table = {(r.state, r.input): r.outputs for r in dff.function.itertuples()}
    assert table == {
        ("-", "CLK"): "none",
        ("-", "D"): "none",
        ("D", "CLK"): "Q",
        ("D", "D"): "none",
    }
    assert list(dff.delays[["from", "to", "state"]].drop_duplicates().itertuples(index=False)) == [
        ("CLK", "Q", "D")
    ]


# q pulses (before, after) the second clock, for each constraint when it holds
_PASSING = {
    ("setup", "-"): (1, 0),
    ("hold", "-"): (0, 1),
    ("setup", "D"): (1, 0),
    ("hold", "D"): (1, 1),
}


def turns(results, node):
    """Net 2 pi turns of a node's phase over the run."""
    phase = results.node_phase(node)
    return np.floor((phase + math.pi) / (2 * math.pi)) - np.floor(
        (phase[0] + math.pi) / (2 * math.pi)
    )


def scan_verdict(check, state, separation):
    """Run the DFF with the data ``separation`` ps before (setup) or after (hold)
    the clock at 60 ps, and say whether it passes: each input port takes the
    pulses sent to it, no more, and q pulses as the constraint wants."""
    clock, late = 60.0, 95.0
    data = [clock - separation if check == "setup" else clock + separation]
    if state == "D":
        data.insert(0, 30.0)
    results = plain_run("XD dff d clk q", {"d": data, "clk": [clock, late]}, t_stop=140)
    if (turns(results, "D")[-1], turns(results, "CLK")[-1]) != (len(data), 2):
        return False
    q = turns(results, "Q")
    before = q[results.time("ps") < late + 2].max()
    return (before, q[-1] - before) == _PASSING[(check, state)]


@pytest.mark.parametrize("check, state", sorted(_PASSING))
def test_dff_bisection_brackets_where_the_output_changes(dff, check, state):
    row = dff.constraints.query("check == @check and state == @state").iloc[0]
    fail, good = row["fail_ps"], row["pass_ps"]
    assert 0 < good - fail <= 0.05 + 1e-9
    # a scan 0.2 ps apart over 1 ps each side: the verdict changes inside the bracket
    grid = np.round(np.arange(-1.0, 1.01, 0.2), 6)
    for offset in grid:
        separation = (good if offset >= 0 else fail) + offset
        assert scan_verdict(check, state, separation) == (offset >= 0), separation


@pytest.mark.parametrize(
    "name, arc", [("jtl", "A"), ("dff", "CLK"), ("merger", "A"), ("merger", "B")]
)
def test_delay_grows_with_load_and_falls_with_bias(name, arc, request):
    result = request.getfixturevalue(name)
    assert not result.failures  # every corner behaves as the cell's function
    rows = result.delays.query("`from` == @arc")
    table = rows.pivot_table(index="load", columns="bias", values="delay_ps")
    assert list(table.index) == [1, 2, 3] and list(table.columns) == [0.9, 1.0, 1.1]
    assert (np.diff(table.to_numpy(), axis=0) > 0.05).all()  # more loads: slower
    assert (np.diff(table.to_numpy(), axis=1) < -0.05).all()  # more bias: faster


def test_sdf_round_trips(jtl, dff):
    read = read_sdf(sdf_text([jtl, dff]))
    assert read["timescale"] == 1.0 and set(read["cells"]) == {"jtl", "dff"}
    for result in (jtl, dff):
        cell = read["cells"][result.cell.lower()]
        first = result.delays.query("load == 1")
        expected = [
            (s, a.lower(), b.lower(), rows["delay_ps"])
            for (a, b, s), rows in first.groupby(["from", "to", "state"])
        ]
        assert len(cell["iopath"]) == len(expected)
        for (cond, a, b, triple), (state, a0, b0, values) in zip(cell["iopath"], expected):
            assert (a, b) == (a0, b0)
            assert cond == (None if result.clock is None else state.lower())
            nominal = values[first.loc[values.index, "bias"] == 1.0].item()
            assert triple == pytest.approx((values.min(), nominal, values.max()), abs=1e-3)
    checks = {
        (kind, cond, port): value for kind, cond, port, ref, value in read["cells"]["dff"]["checks"]
    }
    for row in dff.constraints.itertuples():
        cond = "!d" if row.state == "-" else "d"
        assert checks[(row.check.upper(), cond, "d")] == pytest.approx(row.value_ps, abs=1e-3)


def test_liberty_file_parses_back_with_its_tables(jtl, dff):
    liberty = pytest.importorskip("liberty.parser")
    library = liberty.parse_liberty(liberty_text([jtl, dff]))
    cells = {cell.args[0]: cell for cell in library.get_groups("cell")}
    assert set(cells) == {"jtl", "dff"}
    for result in (jtl, dff):
        pins = {pin.args[0]: pin for pin in cells[result.cell.lower()].get_groups("pin")}
        assert set(pins) == {p.lower() for p in result.inputs + result.outputs}
        (timing,) = pins["q"].get_groups("timing")
        table = result.delays.pivot_table(index="load", columns="bias", values="delay_ps")
        values = timing.get_group("cell_rise").get_array("values")
        np.testing.assert_allclose(values, table.to_numpy(), atol=1e-4)
    kinds = [t["timing_type"] for t in cells["dff"].get_groups("pin")[0].get_groups("timing")]
    assert sorted(kinds) == ["hold_rising", "hold_rising", "setup_rising", "setup_rising"]


def test_a_truth_table_is_checked_against_the_nominal_runs():
    right = {("", "clk"): "", ("d", "clk"): "q", ("", "d"): "", ("d", "d"): ""}
    result = characterize(
        CELLS,
        "dff",
        "d",
        "q",
        "clk",
        truth_table=right,
        loads=(1,),
        biases=(1.0,),
        constraints=False,
        progress=False,
    )
    assert result.delays["delay_ps"].notna().all()
    wrong = {**right, ("", "clk"): "q"}
    with pytest.raises(RuntimeError, match="in state - a pulse into CLK gave none"):
        characterize(
            CELLS,
            "dff",
            "d",
            "q",
            "clk",
            truth_table=wrong,
            loads=(1,),
            biases=(1.0,),
            constraints=False,
            progress=False,
        )


@pytest.mark.parametrize(
    "arguments, message",
    [
        (("nope", "a", "q"), "no subcircuit named nope"),
        (("jtl", "a", "x"), "JTL has no port X"),
        (("jtl", "a", "a"), "both an input and an output"),
        (("jtl", "", "q"), "name at least one input"),
        (("dff", "d", "q"), "port CLK of DFF is neither an input nor an output"),
        (("jtl", "a", "q", "a"), "needs a data input besides the clock"),
    ],
)
def test_bad_arguments_are_refused_before_any_run(arguments, message):
    with pytest.raises(ValueError, match=message):
        characterize(CELLS, *arguments, progress=False)


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


# -- an asynchronous cell: the merger --------------------------------------


@pytest.fixture(scope="module")
def merger():
    return characterize(CELLS, "merger", ["a", "b"], ["q"], progress=False)


def pi_crossing(results, node, turn):
    """Where the node's phase rises through (2 turn + 1) pi, interpolated."""
    time, phase = results.time("s"), results.node_phase(node)
    level = (2 * turn + 1) * math.pi
    k = int(np.argmax(phase >= level))
    return time[k - 1] + (level - phase[k - 1]) / (phase[k] - phase[k - 1]) * (
        time[k] - time[k - 1]
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


def merger_run(first, separation):
    """The merger with the other input pulsing ``separation`` ps after ``first``
    (at 40 ps, where the bench puts the first pulse of a separation search):
    the number of output pulses (None when an input port turned other than
    once) and the separation of the two port nodes' pi crossings in ps."""
    second = "b" if first == "a" else "a"
    results = plain_run("XM merger a b q", {first: [40.0], second: [40.0 + separation]}, 90)
    at_ports = pi_crossing(results, second.upper(), 0) - pi_crossing(results, first.upper(), 0)
    if (turns(results, "A")[-1], turns(results, "B")[-1]) != (1, 1):
        return None, at_ports * 1e12
    return int(turns(results, "Q")[-1]), at_ports * 1e12


@pytest.mark.parametrize("first", ["A", "B"])
def test_merger_separation_brackets_where_two_outputs_appear(merger, first):
    """Passing is two output pulses for two input pulses: a scan over the whole
    search window, denser around the bracket, sees one output below it and two
    above it; the value given is the ports' separation in the passing run."""
    row = merger.constraints.query("reference == @first").iloc[0]
    fail, good = row["fail_ps"], row["pass_ps"]
    assert row["check"] == "separation" and 0 < good - fail <= 0.05 + 1e-9
    near = [fail - 0.3, fail - 0.1, fail, good, good + 0.1, good + 0.3]
    for separation in sorted({*np.arange(0.0, 10.0, 0.25), *near}):
        outputs, at_ports = merger_run(first.lower(), separation)
        assert outputs == (2 if separation >= good else 1), separation
        if separation == good:
            assert row["value_ps"] == pytest.approx(at_ports, abs=1e-6)


def test_merger_sdf_gives_each_order_as_a_setup(merger):
    read = read_sdf(sdf_text(merger))["cells"]["merger"]
    paths = {(a, b): triple for _, a, b, triple in read["iopath"]}
    assert set(paths) == {("a", "q"), ("b", "q")}
    checks = {(kind, port, ref): value for kind, _, port, ref, value in read["checks"]}
    assert len(checks) == 2
    for row in merger.constraints.itertuples():
        first, second = row.reference.lower(), row.port.lower()
        assert checks[("SETUP", first, second)] == pytest.approx(row.value_ps, abs=1e-3)


def test_merger_liberty_gives_each_order_as_a_setup_of_the_first_input(merger):
    liberty = pytest.importorskip("liberty.parser")
    (cell,) = liberty.parse_liberty(liberty_text(merger)).get_groups("cell")
    pins = {pin.args[0]: pin for pin in cell.get_groups("pin")}
    for row in merger.constraints.itertuples():
        (timing,) = pins[row.reference.lower()].get_groups("timing")
        assert (timing["related_pin"], timing["timing_type"]) == (row.port.lower(), "setup_rising")
        value = timing.get_group("rise_constraint").get_array("values")
        assert value.item() == pytest.approx(row.value_ps, abs=1e-4)
    assert len(pins["q"].get_groups("timing")) == 2  # a -> q and b -> q
