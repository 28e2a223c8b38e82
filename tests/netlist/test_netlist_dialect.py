"""The dialect as library cells and their testbenches write it: scoped models, ground
ports, lossless lines, four-node controlled sources, .tran forms, spreads, output
files, one name for a device, and the warnings where a file runs but looks odd."""

import math
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

from loxant.netlist import Netlist, NetlistError, NetlistWarning, read_netlist


def netlist(text, **kwargs):
    return Netlist.from_string(textwrap.dedent(text), **kwargs)


def read_quietly(text, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", NetlistWarning)
        return netlist(text, **kwargs)


def element(net, name):
    return net.circuit().circuit[name]


# -- models belong to their subcircuit ---------------------------------------------

CELL = """\
.subckt {name} a q
.model jjmit jj(rtype=0, icrit={ic}, rn=16, cap=0.07p)
B1 a 0 jjmit
L1 a q 2p
.ends {name}
"""


def cells(*pairs):
    text = "* cells\n" + "".join(CELL.format(name=n, ic=ic) for n, ic in pairs)
    names = [n for n, _ in pairs]
    text += "I1 0 1 dc 100u\n"
    for k, name in enumerate(names, 1):
        text += f"X{k} {name} {k} {k + 1}\n"
    return text + f"R1 {len(names) + 1} 0 2\n.tran 0.1p 1p\n"


@pytest.mark.parametrize(
    ("pairs", "expected"),
    [
        ((("JTL", "0.1m"), ("SPLIT", "0.1m")), [100e-6, 100e-6]),
        ((("JTL", "0.1m"), ("DFF", "0.25m")), [100e-6, 250e-6]),
    ],
)
def test_each_cell_uses_its_own_model_of_a_shared_name(pairs, expected):
    net = netlist(cells(*pairs))
    pc = net.circuit()
    ics = [pc.circuit[f"B1|X{k}"].ic * pc.units.scale["A"] for k in (1, 2)]
    np.testing.assert_allclose(ics, expected, rtol=1e-12)


def test_model_lookup_goes_outward_then_top_then_default():
    net = read_quietly(
        """\
        * outer model used by a nested definition; top model; default
        .model jj1 jj(rtype=0, icrit=300u)
        .model jj2 jj(rtype=0, icrit=200u)
        .subckt outer a
        .model jj1 jj(rtype=0, icrit=150u)
        .subckt inner b
        B1 b 0 jj1
        B2 b 0 jj2
        B3 b 0 nowhere
        .ends inner
        X1 inner a
        .ends outer
        I1 0 1 dc 1u
        X1 outer 1
        R1 1 0 1
        .tran 1p 2p
        """
    )
    pc = net.circuit()
    ic = {n: pc.circuit[f"{n}|X1|X1"].ic * pc.units.scale["A"] for n in ("B1", "B2", "B3")}
    assert ic == pytest.approx({"B1": 150e-6, "B2": 200e-6, "B3": 1e-3})
    assert any("no model NOWHERE; the default junction model is used" in w for w in net.warnings)


def test_an_identical_repeat_is_accepted_and_a_different_one_names_both_lines():
    same = ".model jm jj(rtype=0, icrit=1m)\n"
    text = f"* t\n{same}{same}B1 1 0 jm\nR1 1 0 1\n"
    assert len(netlist(text).junctions()) == 1
    with pytest.raises(NetlistError) as info:
        netlist(f"* t\n{same}.model jm jj(rtype=0, icrit=2m)\nB1 1 0 jm\nR1 1 0 1\n")
    assert info.value.line == 3 and "first at <string>:2" in info.value.message


# -- ground among the ports --------------------------------------------------------


def test_ground_port_is_ground_whatever_the_instance_connects():
    net = read_quietly(
        """\
        * a cell whose first port is ground
        .subckt JTL 0 a q
        R1 a 0 2
        L1 a q 1p
        .ends
        I1 0 1 dc 1m
        X1 JTL 9 1 2
        R2 2 0 3
        .tran 1p 2p
        """
    )
    resistor = element(net, "R1|X1")
    assert tuple(resistor.nodes) == ("1", "0")
    assert "9" not in net.circuit().nodes


# -- lossless lines ----------------------------------------------------------------


@pytest.mark.parametrize(
    "card",
    [
        "T1 1 0 2 0 lossless z0=5 td=10p",
        "T1 1 0 2 0 td=10p z0=5",
        "T1 1 0 2 0 Z0=5 LOSSLESS TD=10p",
    ],
)
def test_lossless_line_in_any_keyword_order_delays_a_matched_pulse(card):
    net = netlist(
        f"""\
        * a matched line
        V1 in 0 pwl(0 0 5p 2m 10p 0)
        RS in 1 5
        {card}
        RL 2 0 5
        .tran 0.05p 40p
        .print v(1) v(2)
        """
    )
    results = net.simulate()
    t = results.time("s")
    near, far = (values for _, _, values in net.traces(results))
    # a matched line passes the wave at its input to its output td later
    expected = np.interp(t - 10e-12, t, near, left=0.0)
    np.testing.assert_allclose(far, expected, atol=2e-6)
    assert near.max() == pytest.approx(1e-3, rel=1e-3)


# -- controlled sources in the four-node form ----------------------------------------

FOUR_NODE = """\
* the control current runs through zero-volt branches from 1 to 2 and 2 to 0
I1 0 1 sin(0 2m 20g)
F1 0 7 1 2 3
R7 7 0 4
H1 8 0 2 0 50
R8 8 0 2
.tran 0.1p 100p
.print i(I1) v(7) v(8)
"""


def test_four_node_f_and_h_follow_the_current_through_their_control_branch():
    net = netlist(FOUR_NODE)
    results = net.simulate()
    t = results.time("s")
    drive = 2e-3 * np.sin(2 * np.pi * 20e9 * t)  # all of I1 runs through both branches
    traces = {label: values for label, _, values in net.traces(results)}
    np.testing.assert_allclose(traces["V(7)"], 3 * drive * 4, atol=1e-9)
    np.testing.assert_allclose(traces["V(8)"], 50 * drive, atol=1e-9)


def test_spice_and_four_node_forms_are_told_apart_by_their_count():
    spice = netlist("* t\nV1 1 0 1m\nR1 1 0 1\nF1 0 2 V1 2\nR2 2 0 1\n").circuit()
    four = netlist("* t\nI1 0 1 1m\nF1 0 2 1 0 {2*1}\nR2 2 0 1\n").circuit()
    assert spice.circuit["F1"].control.name == "V1"
    assert four.circuit["F1"].control.name == "F1_CONTROL"


# -- .tran ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("card", "tran"),
    [
        (".tran 1p 100p", (1e-12, 100e-12, 0.0, 1e-12, 0.0, True)),
        (".tran 1p 100p 10p 2p", (1e-12, 100e-12, 10e-12, 2e-12, 0.0, True)),
        (".tran 1p 100p 0 2p 5p DST", (1e-12, 100e-12, 0.0, 2e-12, 5e-12, False)),
        (".TRAN 1p 100p UIC", (1e-12, 100e-12, 0.0, 1e-12, 0.0, True)),
        (".tran 1p 100p 0 1p DST UIC", (1e-12, 100e-12, 0.0, 1e-12, 0.0, False)),
        (".tran 1p 100p 0 1p 1n", (1e-12, 100e-12, 0.0, 1e-12, 100e-12, True)),
        # as a course deck writes it (SasanRazm/JOINUS, Data/Examples/IV.js): the
        # print step below the time step, so the run steps at the print step
        (".tran 0.5ps 150PS 100PS 0.1PS", (0.1e-12, 150e-12, 100e-12, 0.1e-12, 0.0, True)),
    ],
)
def test_tran_forms(card, tran):
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        read = netlist(f"* t\nR1 1 0 1\nI1 0 1 1m\n{card}\n").tran
    assert tuple(read) == pytest.approx(tran)


def test_a_millisecond_rl_run_is_no_slip_of_the_unit():
    net = netlist("* RL\nV1 1 0 1\nR1 1 2 1\nL1 2 0 1m\n.TRAN 0.01M 10M\n.print i(L1)\n")
    results = net.simulate()
    t, current = results.time("s"), net.traces(results)[0][2]
    np.testing.assert_allclose(current, 1 - np.exp(-t / 1e-3), atol=2e-3)


# -- spreads ---------------------------------------------------------------------------

SPREAD = """\
* many resistors: their spreads by element, kind and globally
.spread 0.1 L=0.2
.option seed=7
I1 0 1 1m
R0 1 0 1 spread=0.05
L0 1 0 1p
C0 1 0 1p
{resistors}
.tran 1p 2p
"""


def spread_netlist(count=2000):
    resistors = "\n".join(f"R{k} 1 0 {k}" for k in range(1, count + 1))
    return netlist(SPREAD.format(resistors=resistors))


def resistances(pc):
    return {
        e.name: e.r * pc.units.scale["ohm"] for e in pc.circuit.elements if e.kind == "resistor"
    }


def test_spreads_by_element_then_kind_then_global():
    net = spread_netlist(3)
    assert net.spreads == {"R0": 0.05, "L0": 0.2, "C0": 0.1, "R1": 0.1, "R2": 0.1, "R3": 0.1}
    assert resistances(net.circuit()) == pytest.approx({"R0": 1, "R1": 1, "R2": 2, "R3": 3})


def test_spread_draws_are_uniform_and_reproducible_by_seed():
    net = spread_netlist()
    first = net._circuit(None, None, net.spread_generator())
    again = net._circuit(None, None, net.spread_generator())
    assert resistances(first) == resistances(again)
    other = net.circuit(rng=np.random.default_rng(8))
    assert resistances(other) != resistances(first)
    drawn = resistances(first)
    ratios = np.array([drawn[f"R{k}"] / k for k in range(1, 2001)]) - 1
    assert np.abs(ratios).max() <= 0.1 and np.abs(ratios).max() > 0.099
    # uniform on [-0.1, 0.1]: mean 0, variance 0.01/3 (2000 draws: 5 sigma bounds)
    assert abs(ratios.mean()) < 5 * 0.1 / math.sqrt(3 * 2000)
    assert ratios.var() == pytest.approx(0.01 / 3, rel=0.16)


def test_a_plain_run_draws_once_from_the_seed():
    text = "* t\n.spread 0.2\n.option seed=3\nI1 0 1 1m\nR1 1 0 5\n.tran 1p 5p\n.print v(1)\n"
    runs = [netlist(text).simulate() for _ in range(2)]
    values = [netlist(text).traces(r)[0][2][-1] for r in runs]
    assert values[0] == values[1] and values[0] != pytest.approx(5e-3, rel=1e-6)
    assert 4e-3 <= values[0] <= 6e-3


# -- output files and requests -----------------------------------------------------------

FILES = """\
* two output files
I1 0 1 pwl(0 0 10p 1m)
R1 1 2 2
R2 2 0 3
.tran 1p 20p
.print v(1)
.file {first}
.print v(2) i(R1)
.file {second}
.print devv R2
"""


def test_file_sends_the_requests_after_it_to_its_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    net = netlist(FILES.format(first="first.csv", second="second.dat"))
    assert net.files == {"first.csv": ["V(2)", "I(R1)"], "second.dat": ["V(R2)"]}
    results = net.simulate()
    assert net.write_files(results) == ["first.csv", "second.dat"]
    first = np.loadtxt("first.csv", delimiter=",", skiprows=1)
    second = np.loadtxt("second.dat", skiprows=1)
    t = results.time("s")
    current = np.interp(t, [0, 10e-12, 20e-12], [0, 1e-3, 1e-3])
    np.testing.assert_allclose(first[:, 1], 3 * current, atol=1e-12)
    np.testing.assert_allclose(first[:, 2], current, atol=1e-12)
    np.testing.assert_allclose(second[:, 1], 3 * current, atol=1e-12)
    assert open("first.csv").readline().strip() == 'time,"V(2)","I(R1)"'


def test_the_command_writes_the_files_and_its_own_output(tmp_path):
    (tmp_path / "net.cir").write_text(FILES.format(first="a.csv", second="b.raw"))
    command = [sys.executable, "-m", "loxant", "run", "net.cir", "-q", "-o", "all.csv"]
    subprocess.run(command, cwd=tmp_path, check=True, capture_output=True)
    assert (tmp_path / "a.csv").exists() and (tmp_path / "b.raw").exists()
    header = (tmp_path / "all.csv").read_text().splitlines()[0]
    assert header == 'time,"V(1)","V(2)","I(R1)","V(R2)"'


def test_one_name_for_a_device_in_any_spelling():
    net = read_quietly(
        """\
        * XDUT
        .param xb=1
        .model jm jj(rtype=0, icrit=100u)
        .subckt cell a
        B1 a 0 jm area=xb
        .ends
        I1 0 1 pwl(0 0 10p 100u)
        XDUT cell 1
        R1 1 0 {XB}
        .tran 1p 20p
        .print p(B1.XDUT) P(b1|xdut) @b1.xdut[p] phase B1.XDUT DEVP b1|XDut @R1[v] @r1[c]
        """
    )
    assert net.probes == ["P(B1|XDUT)", "V(R1)", "I(R1)"]
    assert net.name_of("b1.xdut") == "B1|XDUT" and net.name_of("b1|XDUT") == "B1|XDUT"
    assert element(net, "B1|XDUT").ic == pytest.approx(1.0)
    doubled = net.circuit(params={"xb": 2})
    assert doubled.circuit["B1|XDUT"].ic == pytest.approx(2.0)
    with pytest.raises(NetlistError, match="no device or node named 'B9'"):
        net.name_of("B9")


def test_control_blocks_hold_controls_without_dots():
    net = read_quietly(
        """\
        * control block
        I1 0 1 1m
        R1 1 0 2
        .control
        tran 1p 10p
        print v(1)
        run
        .endc
        """
    )
    assert net.tran.tstop == pytest.approx(10e-12) and net.probes == ["V(1)"]
    assert net.warnings == ["<string>:7: run in a .control block ignored"]


# -- warnings where the peer runs the file -----------------------------------------------


@pytest.mark.parametrize(
    ("extra", "warning"),
    [
        ("R9 1 5 3", "<string>:4: node 5 is connected only to R9"),
        (
            ".param BiasCoef=0.7'",
            '<string>:4: unmatched quote at the end of ".param BiasCoef=0.7\'" ignored',
        ),
        ("B1 1 0 nomodel", "<string>:4: B1: no model NOMODEL; the default junction model is used"),
    ],
)
def test_what_runs_but_looks_odd_is_a_warning_naming_it(extra, warning):
    text = f"* t\nI1 0 1 1m\nR1 1 0 2\n{extra}\n"
    with pytest.warns(NetlistWarning) as caught:
        net = Netlist.from_string(text)
    assert [str(w.message) for w in caught] == [warning] == net.warnings
    net.circuit()


def test_a_stray_quote_leaves_the_value_read():
    with pytest.warns(NetlistWarning):
        net = Netlist.from_string("* t\n.param BiasCoef=0.7'\nI1 0 1 1m\nR1 1 0 {BiasCoef}\n")
    assert net.params == {"BIASCOEF": 0.7}


# -- waveforms of the peer's dialect ------------------------------------------------------


def source_values(card, times, tstop="100p", files=None, tmp_path=None):
    text = f"* t\nR1 1 0 1\nI1 0 1 {card}\n.tran 0.5p {tstop}\n"
    net = netlist(text, base_dir=str(tmp_path) if tmp_path else None)
    pc = net.circuit()
    waveform = pc.circuit["I1"].waveform
    return np.array([waveform(x / pc.units.scale["s"]) for x in times]) * pc.units.scale["A"]


@pytest.mark.parametrize(
    ("card", "delay", "damping", "phase"),
    [
        ("sin(1u 2u 50g 0 0 90)", 0.0, 0.0, 90.0),
        ("sin(1u 2u 50g 10p 2e10 -30)", 10e-12, 2e10, -30.0),
    ],
)
def test_sine_with_a_phase_is_its_offset_before_the_delay(card, delay, damping, phase):
    t = np.linspace(0, 100e-12, 1001)
    ours = source_values(card, t)
    tau = t - delay
    wave = np.exp(-damping * tau) * np.sin(2 * np.pi * 50e9 * tau + np.radians(phase))
    np.testing.assert_allclose(ours, np.where(tau >= 0, 1e-6 + 2e-6 * wave, 1e-6), atol=1e-15)


def test_noise_sources_are_reproducible_by_seed_and_differ_from_each_other():
    text = "* t\n.option seed=4\nI1 0 1 noise(1n 0 1p)\nI2 0 1 noise(1n 0 1p)\nR1 1 0 1\n"
    mids = 1e-12 * (np.arange(50) + 0.5)

    def drawn(name):
        pc = netlist(text).circuit()
        wave = pc.circuit[name].waveform
        return np.array([wave(x / pc.units.scale["s"]) for x in mids])

    np.testing.assert_array_equal(drawn("I1"), drawn("I1"))
    assert not np.allclose(drawn("I1"), drawn("I2"))


def test_pws_is_a_half_cosine_between_its_points():
    t = np.linspace(0, 60e-12, 601)
    ours = source_values("pws(0 0 10p 1u 30p -1u)", t)
    u = np.clip(t / 10e-12, 0, 1)
    first = 1e-6 * (1 - np.cos(np.pi * u)) / 2
    w = np.clip((t - 10e-12) / 20e-12, 0, 1)
    second = 1e-6 - 2e-6 * (1 - np.cos(np.pi * w)) / 2
    np.testing.assert_allclose(ours, np.where(t < 10e-12, first, second), atol=1e-15)


def test_sine_with_cycles_stops_at_its_offset():
    t = np.linspace(0, 100e-12, 1001)
    ours = source_values("sin(1u 2u 50g 10p 0 0 2)", t)
    tau = t - 10e-12
    on = (tau >= 0) & (tau <= 2 / 50e9)
    np.testing.assert_allclose(
        ours, np.where(on, 1e-6 + 2e-6 * np.sin(2 * np.pi * 50e9 * tau), 1e-6), atol=1e-12
    )


def test_noise_is_held_over_its_step_with_the_dialects_amplitude():
    mids = 20e-12 + 1e-12 * (np.arange(4000) + 0.5)  # after the delay, mid-step
    ours = source_values("noise(1n 20p 1p)", np.concatenate([[10e-12], mids, mids + 0.3e-12]))
    assert ours[0] == 0
    np.testing.assert_array_equal(ours[1:4001], ours[4001:])
    # A g / sqrt(2 tstep): A in A sqrt(s); 4000 draws give the sigma within 10 %
    assert np.std(ours[1:4001]) == pytest.approx(1e-9 / math.sqrt(2e-12), rel=0.1)


def test_custom_waveform_reads_its_file_relative_to_the_netlist(tmp_path):
    (tmp_path / "wave.txt").write_text("0 1 3 2\n")
    t = np.linspace(0, 40e-12, 401)
    ours = source_values("cus(wave.txt 10p 1u 1 5p)", t, tmp_path=tmp_path)
    expected = np.interp(t, 5e-12 + 10e-12 * np.arange(4), 1e-6 * np.array([0, 1, 3, 2]))
    np.testing.assert_allclose(ours, expected, atol=1e-15)


def test_peer_waveform_cards_are_read_and_checked():
    for card, message in [
        ("pws(0 0 1p)", "pws takes pairs of time and value, got 3"),
        ("noise(1u 2p)", "noise takes 3 values, got 2"),
        ("cus()", "cus takes a file name first"),
        ("cus(f.txt)", "cus takes a file name and 1 to 5 values, got 0"),
        ("sin(0 1 2 3 4 5 6 7)", "sin takes 2 to 7 values, got 8"),
    ]:
        with pytest.raises(NetlistError, match=message):
            netlist(f"* t\nR1 1 0 1\nI1 0 1 {card}\n")


def test_read_netlist_reads_a_library_testbench(tmp_path):
    (tmp_path / "cells").mkdir()
    (tmp_path / "cells" / "jtl.cir").write_text(CELL.format(name="JTL", ic="0.1m"))
    (tmp_path / "cells" / "split.cir").write_text(CELL.format(name="SPLIT", ic="0.1m"))
    (tmp_path / "bench.cir").write_text(
        "* testbench\n.include cells/jtl.cir\n.include cells/split.cir\n"
        "I1 0 1 dc 100u\nX1 JTL 1 2\nX2 SPLIT 2 3\nR1 3 0 2\n.tran 0.1p 1p\n"
    )
    assert read_netlist(tmp_path / "bench.cir").junctions() == ["B1|X1", "B1|X2"]
