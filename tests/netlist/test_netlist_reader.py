"""Netlists give the circuits, analyses and traces of the same circuits built with
the Python API."""

import math
import textwrap

import numpy as np
import pytest

from loxant import Circuit, Netlist, NetlistError, read_netlist


def netlist(text, **kwargs):
    return Netlist.from_string(textwrap.dedent(text), **kwargs)


def api_twin(net):
    """An empty SI Circuit in the netlist's reference units."""
    return Circuit(ic0=net.units.ic0, r0=net.units.r0)


def assert_same_run(net, pc, **options):
    tran = net.tran
    ours = net.simulate(**options).normalised
    theirs = pc.simulate(
        t_stop=tran.tstop,
        dt=tran.tstep,
        record_every=tran.record_every,
        record_from=tran.prstart,
        settle=tran.settle,  # the netlist's start-up period, on the API
        **options,
    ).normalised
    assert ours.elements == theirs.elements and ours.nodes == theirs.nodes
    for table in ("node_phases", "currents", "phases", "voltages"):
        np.testing.assert_allclose(getattr(ours, table), getattr(theirs, table), atol=1e-9)
    assert np.array_equal(ours.turns, theirs.turns)
    return ours


def spice_pulse(v1, v2, td, tr, tf, pw, per=None):
    def value(t):
        tau = t - td
        if tau < 0:
            return v1
        if per:
            tau = math.fmod(tau, per)
        if tau < tr:
            return v1 + (v2 - v1) * tau / tr
        if tau <= tr + pw:
            return v2
        if tau < tr + pw + tf:
            return v2 + (v1 - v2) * (tau - tr - pw) / tf
        return v1

    return value


def spice_sin(vo, va, freq, td=0.0, theta=0.0):
    def value(t):
        if t <= td:
            return vo
        return vo + va * math.exp(-(t - td) * theta) * math.sin(2 * math.pi * freq * (t - td))

    return value


def spice_exp(v1, v2, td1, tau1, td2, tau2):
    def value(t):
        out = v1
        if t > td1:
            out += (v2 - v1) * (1 - math.exp(-(t - td1) / tau1))
        if t > td2:
            out += (v1 - v2) * (1 - math.exp(-(t - td2) / tau2))
        return out

    return value


EVERY_ELEMENT = """\
    Every element and waveform
    .model jm jj(rtype=0, icrit=100u, rn=5, cap=0.1p)
    .model jp JJ(RTYPE=0, IC=100uA, RN=5ohm, C=0.1pF, PHI=0.5)
    B1 1 0 jm area=1.5
    b2 2 gnd 9 jp ic=80u
    L1 1 2 4pH
    L2 2 5 6p
    L3 5 0 5p
    K1 L2 L3 0.3
    R1 2 4 2
    C1 4 0 0.2p
    I1 0 1 pwl(0 0 20p 150u)
    V1 6 0 sin(0 0.1m 20g 5p 1e10)
    R2 6 1 10
    P1 7 0 pulse(0 3.14159 30p 5p 5p 10p)
    L4 7 5 8p
    I2 0 2 exp(0 50u 10p 5p 40p 10p)
    I3 0 4 dc 10u
    I4 0 4 -5u
    .tran 0.05p 80p
    .end
    """


def test_every_element_and_waveform_matches_the_python_api():
    net = netlist(EVERY_ELEMENT)
    assert net.title == "Every element and waveform"
    pc = api_twin(net)
    pc.junction("B1", "1", "0", ic=150e-6, r=5 / 1.5, c=0.15e-12)
    pc.junction("B2", "2", "0", ic=80e-6, r=5 / 0.8, c=0.08e-12, phi=0.5)
    pc.inductor("L1", "1", "2", 4e-12)
    pc.inductor("L2", "2", "5", 6e-12)
    pc.inductor("L3", "5", "0", 5e-12)
    pc.resistor("R1", "2", "4", 2.0)
    pc.capacitor("C1", "4", "0", 0.2e-12)
    pc.current_source("I1", "0", "1", [(0, 0), (20e-12, 150e-6)])
    pc.voltage_source("V1", "6", "0", spice_sin(0, 0.1e-3, 20e9, 5e-12, 1e10))
    pc.resistor("R2", "6", "1", 10.0)
    pc.phase_source("P1", "7", "0", spice_pulse(0, 3.14159, 30e-12, 5e-12, 5e-12, 10e-12))
    pc.inductor("L4", "7", "5", 8e-12)
    pc.current_source("I2", "0", "2", spice_exp(0, 50e-6, 10e-12, 5e-12, 40e-12, 10e-12))
    pc.current_source("I3", "0", "4", "10uA")
    pc.current_source("I4", "0", "4", "-5uA")
    pc.mutual("K1", "L2", "L3", k=0.3)
    ours = assert_same_run(net, pc)
    assert ours.turn_count("P1").max() == 0 and np.ptp(ours.phase("B1")) > 1


@pytest.mark.parametrize(
    ("source", "formula"),
    [
        (
            "pwl(10p 2u 20p 4u 30p 1u)",
            lambda t: np.interp(t, [10e-12, 20e-12, 30e-12], [2e-6, 4e-6, 1e-6]) * (t >= 10e-12),
        ),
        ("pwl(0 1u 5p 3u)", lambda t: np.interp(t, [0, 5e-12], [1e-6, 3e-6])),
        (
            "pulse(1u 3u 10p 2p 4p 5p 30p)",
            np.vectorize(spice_pulse(1e-6, 3e-6, 10e-12, 2e-12, 4e-12, 5e-12, 30e-12)),
        ),
        (
            "pulse(0 2u 1p 1p 1p 3p 0)",
            np.vectorize(spice_pulse(0.0, 2e-6, 1e-12, 1e-12, 1e-12, 3e-12)),
        ),
        ("pulse(0 2u)", np.vectorize(spice_pulse(0.0, 2e-6, 0, 0.5e-12, 0.5e-12, 100e-12))),
        ("sin(1u 2u 50g)", np.vectorize(spice_sin(1e-6, 2e-6, 50e9))),
        ("sin(1u 2u 50g 10p)", np.vectorize(spice_sin(1e-6, 2e-6, 50e9, 10e-12))),
        ("sin(1u 2u 50g 10p 3e10)", np.vectorize(spice_sin(1e-6, 2e-6, 50e9, 10e-12, 3e10))),
        ("sin(0 1u)", np.vectorize(spice_sin(0.0, 1e-6, 1 / 100e-12))),
        (
            "exp(1u 3u 10p 5p 40p 8p)",
            np.vectorize(spice_exp(1e-6, 3e-6, 10e-12, 5e-12, 40e-12, 8e-12)),
        ),
        ("exp(1u 3u 10p)", np.vectorize(spice_exp(1e-6, 3e-6, 10e-12, 0.5e-12, 10.5e-12, 0.5e-12))),
        ("dc {2*1u}", lambda t: np.full_like(t, 2e-6)),
        ("pwl(0 0 {10*TR} {IB*(1+0.5)})", lambda t: np.interp(t, [0, 20e-12], [0, 3e-6])),
    ],
)
def test_waveforms_follow_their_definitions(source, formula):
    net = netlist(
        f"""\
        .param TR=2p IB=2u
        R1 1 0 1
        I1 0 1 {source}
        .tran 0.5p 100p
        """
    )
    pc = net.circuit()
    waveform = pc.circuit["I1"].waveform
    t = np.linspace(0, 100e-12, 2001)
    ours = np.array([waveform(x / pc.units.scale["s"]) for x in t]) * pc.units.scale["A"]
    np.testing.assert_allclose(ours, formula(t), rtol=1e-9, atol=1e-15)


PRINTS = """\
    * output requests of every form
    .model jm jj(rtype=0, icrit=100u, rn=5, cap=0.1p)
    .subckt cell a
    B1 a 0 jm
    L1 a 0 5p
    .ends
    B1 1 0 jm
    R1 1 2 3
    L1 2 0 2p
    I1 0 1 pwl(0 0 20p 200u)
    X1 cell 2
    .tran 0.1p 40p
    .print v(1) V(1,2) p(2) P(1 , 2) v(b1) p(B1) i(L1) v(0, 1)
    .save devv R1
    .plot DEVI r1
    .print phase B1
    .print nodev 2
    .print NODEV 1 2
    .print nodep 1 0
    .print nodep 0 2
    .print p(B1.X1) i(L1|X1)
    """


def test_every_output_request_form():
    net = netlist(PRINTS)
    assert net.probes == [
        "V(1)",
        "V(1,2)",
        "P(2)",
        "P(1,2)",
        "V(B1)",
        "P(B1)",
        "I(L1)",
        "V(0,1)",
        "V(R1)",
        "I(R1)",
        "V(2)",
        "P(1)",
        "P(0,2)",
        "P(B1|X1)",
        "I(L1|X1)",
    ]


def test_output_requests_give_the_traces_of_the_api_accessors():
    net = netlist(PRINTS)
    res = net.simulate()
    got = {label: values for label, _, values in net.traces(res)}
    units = {label: unit for label, unit, _ in net.traces(res)}
    v = lambda n: res.node_voltage(n, "V")  # noqa: E731
    expected = {
        "V(1)": v("1"),
        "V(1,2)": v("1") - v("2"),
        "P(2)": res.node_phase("2"),
        "P(1,2)": res.node_phase("1") - res.node_phase("2"),
        "V(B1)": res.voltage("B1", "V"),
        "P(B1)": res.phase("B1"),
        "I(L1)": res.current("L1", "A"),
        "V(0,1)": -v("1"),
        "V(R1)": res.voltage("R1", "V"),
        "I(R1)": res.current("R1", "A"),
        "V(2)": v("2"),
        "P(1)": res.node_phase("1"),
        "P(0,2)": -res.node_phase("2"),
        "P(B1|X1)": res.phase("B1|X1"),
        "I(L1|X1)": res.current("L1|X1", "A"),
    }
    assert set(got) == set(expected)
    for label, values in expected.items():
        np.testing.assert_array_equal(got[label], values)
    assert units["P(B1)"] == "rad" and units["V(1)"] == "V" and units["I(L1)"] == "A"
    # the current through the resistor is its voltage over 3 ohm
    np.testing.assert_allclose(got["I(R1)"], got["V(1,2)"] / 3, atol=1e-12)
    assert net.quantities()[:4] == [
        ("node_voltage", "1"),
        ("node_voltage", "2"),
        ("node_phase", "2"),
        ("node_phase", "1"),
    ]
    assert ("phase", "B1|X1") in net.quantities() and ("current", "L1|X1") in net.quantities()


NESTED = """\
    .model jm jj(rtype=0, icrit=100u, rn=5, cap=0.1p)
    .subckt cell a b ll=2p rr=4
    R1 a mid rr
    L1 mid b ll
    .ends cell
    .subckt pair in out lx=1p
    .param twice=2*lx
    X1 cell in m ll=twice
    Xb m out cell
    Cm m 0 0.1p
    .ends pair
    B1 1 0 jm
    I1 0 1 pwl(0 0 10p 120u)
    XP pair 1 2 lx=3p
    XQ 2 0 PAIR
    .tran 0.05p 30p
    """


def test_nested_subcircuits_with_overrides_match_the_flat_circuit():
    net = netlist(NESTED)
    pc = api_twin(net)
    pc.junction("B1", "1", "0", ic=100e-6, r=5.0, c=0.1e-12)
    pc.current_source("I1", "0", "1", [(0, 0), (10e-12, 120e-6)])
    for inst, a, b, lx in (("XP", "1", "2", 3e-12), ("XQ", "2", "0", 1e-12)):
        m = f"M|{inst}"
        pc.resistor(f"R1|X1|{inst}", a, f"MID|X1|{inst}", 4.0)
        pc.inductor(f"L1|X1|{inst}", f"MID|X1|{inst}", m, 2 * lx)
        pc.resistor(f"R1|XB|{inst}", m, f"MID|XB|{inst}", 4.0)
        pc.inductor(f"L1|XB|{inst}", f"MID|XB|{inst}", b, 2e-12)
        pc.capacitor(f"CM|{inst}", m, "0", 0.1e-12)
    assert [e.name for e in net.circuit().circuit] == [e.name for e in pc.circuit]
    assert_same_run(net, pc)


def test_deeply_nested_subcircuits_get_unique_names():
    depth = 6
    lines = [".subckt s0 a\nR1 a 0 1\nR2 a 0 2\n.ends"]
    lines += [f".subckt s{k} a\nX1 s{k - 1} a\nR1 a 0 {k}\n.ends" for k in range(1, depth)]
    lines += [f"X1 s{depth - 1} n\nXT n s{depth - 1}\n"]
    pc = netlist("\n".join(lines)).circuit()
    names = [e.name for e in pc.circuit]
    assert len(names) == len(set(names)) == 2 * (2 + depth - 1)
    assert "R2" + "|X1" * depth in names and "R2" + "|X1" * (depth - 1) + "|XT" in names
    assert pc["R1" + "|X1" * (depth - 1)].r * pc.units.scale["ohm"] == pytest.approx(1.0)


def test_parameters_in_any_order_braces_and_includes(tmp_path):
    lib = tmp_path / "lib"
    lib.mkdir()
    (lib / "models.inc").write_text(
        ".model jm jj(rtype=0, icrit=IC0, rn=RN0, cap=0.1p)\n.include cells.inc\n"
    )
    (lib / "cells.inc").write_text(
        ".subckt stage a ib=100u\nB1 a 0 jm\nIB 0 a pwl(0 0 5p {ib})\n.ends\n"
    )
    (tmp_path / "main.cir").write_text(
        textwrap.dedent(
            """\
            * parameters used before they are defined
            .param RN0 = RATIO * 2.5
            .param IC0={2*HALF} RATIO=2
            .param HALF=50u
            .include lib/models.inc
            X1 stage 1 ib={0.7*IC0}
            L1 1 2 {PHI_ZERO / (2*PI*IC0) * 1.5}
            X2 2 stage
            .tran 0.1p 20p
            """
        )
    )
    net = read_netlist(tmp_path / "main.cir")
    assert net.params == pytest.approx({"RN0": 5.0, "IC0": 100e-6, "RATIO": 2.0, "HALF": 50e-6})
    pc = net.circuit()
    scale = pc.units.scale
    assert pc["B1|X1"].ic * scale["A"] == pytest.approx(100e-6)
    assert pc["B1|X1"].r * scale["ohm"] == pytest.approx(5.0)
    assert pc["IB|X1"].waveform(1e9) * scale["A"] == pytest.approx(70e-6)
    assert pc["IB|X2"].waveform(1e9) * scale["A"] == pytest.approx(100e-6)
    assert pc["L1"].l * scale["H"] == pytest.approx(2.067833848e-15 / (2 * math.pi * 100e-6) * 1.5)


def test_lexical_rules_comments_continuations_case_and_title():
    net = netlist(
        """\
        R1 1 0 5
        # a comment
        r2 1
        * a comment between continued lines
        + GND
        +  2.5
        .TRAN 1P
        + 10p
        .Print I(r1)
        .end
        R3 this line comes after the end
        """
    )
    assert net.title == ""  # the first line is an element
    pc = net.circuit()
    assert [e.name for e in pc.circuit] == ["R1", "R2"]
    assert pc["R2"].nodes == ("1", "0")
    assert net.tran[:4] == (1e-12, 10e-12, 0.0, 1e-12)
    assert net.probes == ["I(R1)"]


@pytest.mark.parametrize(
    ("first", "title"),
    [
        ("Biased junction test", "Biased junction test"),
        ("Ladder of 4 stages", "Ladder of 4 stages"),
        ("Josephson transmission line", "Josephson transmission line"),
        ("R9 1 0 7", ""),
        (".param Q=1", ""),
    ],
)
def test_first_line_is_a_title_only_when_it_is_no_element(first, title):
    net = netlist(f"{first}\nR1 1 0 5\nR2 1 0 5\n")
    assert net.title == title
    assert ("R9" in net.circuit().circuit) == first.startswith("R9")


@pytest.mark.parametrize(
    ("model", "instance", "ic", "r", "c", "theta"),
    [
        ("rtype=0", "", 1e-3, 5.0, 2.5e-12, None),  # the dialect's defaults
        ("rtype=0 icrit=100u rn=4 cap=0.2p", "area=2", 200e-6, 2.0, 0.4e-12, None),
        ("rtype=0 icrit=100u rn=4 cap=0.2p", "ic=50u", 50e-6, 8.0, 0.1e-12, None),
        (
            "rtype=0, ic=100u, rn=4, c=0.2p, vg=2.5m, delv=0.2m, r0=20, icfct=0.7",
            "",
            100e-6,
            4.0,
            0.2e-12,
            None,
        ),
        ("rtype=0 icrit=100u rn=4 cap=0.2p phi=pi", "area=0.5", 50e-6, 8.0, 0.1e-12, math.pi),
        ("rtype=0 icrit=100u rn=4 cap=0.2p cpr=(0.5)", "", 100e-6, 4.0, 0.2e-12, None),
    ],
)
def test_junction_models_and_area_scaling(model, instance, ic, r, c, theta):
    net = netlist(f".model m jj({model})\nB1 1 0 m {instance}\nI1 0 1 10u\n")
    pc = net.circuit()
    junction, scale = pc["B1"], pc.units.scale
    assert junction.ic * scale["A"] == pytest.approx(ic)
    assert junction.r * scale["ohm"] == pytest.approx(r)
    assert junction.c * scale["F"] == pytest.approx(c)
    assert junction.law.phi == pytest.approx(theta or 0.0)
    assert junction.law.cpr == ((0.5,) if "cpr" in model else (1.0,))


def test_transient_print_start_and_step():
    net = netlist(
        """\
        .model m jj(rtype=0 icrit=100u rn=5 cap=0.1p)
        B1 1 0 m
        I1 0 1 150u
        .tran 0.01p 20p 5p 0.1p DST
        .print p(b1)
        """
    )
    assert net.tran.record_every == 10
    t = net.simulate().time("ps")
    assert t[0] == pytest.approx(5.0) and t[-1] == pytest.approx(20.0)
    np.testing.assert_allclose(np.diff(t), 0.1, rtol=1e-6)


def test_circuit_params_and_random_draws():
    net = netlist(
        """\
        .param LB=3p SPREAD=0.1
        .model m jj(rtype=0 icrit=100u rn=5 cap=0.1p)
        .subckt cell a
        B1 a 0 m area={gauss(1, SPREAD)}
        .ends
        X1 cell 1
        X2 cell 2
        L1 1 2 LB
        L2 2 0 {agauss(LB, 0.3p)}
        I1 0 1 10u
        .tran 0.1p 10p
        """
    )
    scale = net.units.scale

    def draw(pc):
        return [pc["B1|X1"].ic, pc["B1|X2"].ic, pc["L1"].l, pc["L2"].l]

    nominal = draw(net.circuit())
    assert net.params == pytest.approx({"LB": 3e-12, "SPREAD": 0.1})
    assert nominal[0] * scale["A"] == pytest.approx(100e-6)
    assert nominal[3] * scale["H"] == pytest.approx(3e-12)
    first = draw(net.circuit(rng=np.random.default_rng(42)))
    again = draw(net.circuit(rng=np.random.default_rng(42)))
    other = draw(net.circuit(rng=np.random.default_rng(43)))
    assert first == again != other
    assert first[0] != first[1]  # every instance draws its own
    assert first[2] == nominal[2]  # L1 has no random function
    assert draw(net.circuit(params={"lb": 5e-12}))[2] * scale["H"] == pytest.approx(5e-12)
    no_spread = draw(net.circuit(params={"SPREAD": 0}, rng=np.random.default_rng(1)))
    assert no_spread[:2] == nominal[:2]
    with pytest.raises(NetlistError, match="no .param named 'LX'"):
        net.circuit(params={"LX": 1})
    net.simulate(params={"LB": 4e-12}, rng=np.random.default_rng(5))


def test_an_adaptive_run_prints_on_the_tran_grid():
    # the RC discharge sampled every 1 ps whatever steps the controller takes
    net = Netlist.from_string(
        "C1 1 0 1p\nR1 1 0 10\nI1 0 1 pwl(0 0 1p 1m 2p 0)\n"
        ".tran 0.1p 50p 0 1p\n.option adaptive\n.print v(1)\n"
    )
    res = net.simulate()
    t = res.time("s")
    assert np.allclose(t, np.arange(len(t)) * 1e-12, atol=1e-18) and t[-1] == pytest.approx(50e-12)
    v = res.trace("V(1)")[1]
    later = t > 5e-12
    tau = 10 * 1e-12
    expected = v[later][0] * np.exp(-(t[later] - t[later][0]) / tau)
    assert np.allclose(v[later], expected, rtol=2e-3, atol=1e-9)
