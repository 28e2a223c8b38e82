"""Forms that older design flows write and the peer reads: each case quotes a line
as a public netlist writes it (short excerpts; JOINUS and the peer's examples are
MIT-licensed; "index id" names a public file found by content, its repository
unknown)."""

import math
import textwrap
import warnings
from fractions import Fraction

import numpy as np
import pytest

from loxant import expressions as ex
from loxant.netlist import Netlist, NetlistError, NetlistWarning
from loxant.netlist.reader import window_half_width

JOINUS = "SasanRazm/JOINUS"


def read(text):
    """The netlist of ``text`` and the texts of the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", NetlistWarning)
        net = Netlist.from_string(textwrap.dedent(text))
    return net, [str(w.message) for w in caught if issubclass(w.category, NetlistWarning)]


def with_line(card, extra=""):
    """A small circuit around ``card`` (nodes 1 and 2, devices R9, L9)."""
    return f"""\
        * around one card
        I1 0 1 pwl(0 0 10p 100u)
        R9 1 2 1
        L9 2 0 2p
        {card}
        {extra}
        .tran 0.1p 20p
        """


# -- flags and annotations after an element's value ------------------------------


@pytest.mark.parametrize(
    ("card", "name", "value", "ignored"),
    [
        # JOINUS, Data/Demos/ControlTFF.js
        ("LPIN               1         5   0.354pH fcheck", "LPIN", 0.354e-12, "fcheck"),
        # the peer's own example, test/ex_pi_DQFP_buffer_chan.cir (MIT), a Cadence export
        ("Rout              11         4   1.000pohm nfree", "ROUT", 1e-12, "nfree"),
        # JOINUS, Data/Demos/AndTest.js: the annotation is a comment
        ("RS1               23        24   1.73ohm *SHUNT=3.73", "RS1", 1.73, None),
        # JOINUS, Data/Demos/IV2.js
        ("RB01       1        3          4.85ohm    * Shunt=4.85ohm", "RB01", 4.85, None),
        ("RB01 1 2 2ohm shunt=3.7", "RB01", 2.0, "shunt="),
        ("C1 1 0 0.168pF fcheck", "C1", 0.168e-12, "fcheck"),
        ("K1 L9 L8 0.1 fcheck", "K1", 0.1, "fcheck"),
        ("K1 L9 L8 -0.137 note=x", "K1", -0.137, "note="),
    ],
)
def test_flags_and_annotations_after_a_value_are_read_past(card, name, value, ignored):
    nodes = [] if card[0] == "K" else card.split()[1:3]
    grounds = "\n".join(f"RG{n} {n} 0 1" for n in nodes if n not in ("0", "1", "2"))
    net, said = read(with_line(card, f"L8 1 0 2p\n{grounds}"))
    element = next(e for e in net._parsed.top.elements if e.name == name)
    assert ex.Scope().evaluate(element.value.tree) == pytest.approx(value)
    flagged = [w for w in said if "after the value ignored" in w]
    if ignored is None:
        assert not flagged
    else:
        assert len(flagged) == 1 and f"{name}: {ignored} after the value ignored" in flagged[0]


def test_one_warning_per_kind_and_file_not_per_line():
    cards = "\n".join(f"L{k} {k} {k + 1} 1pH fcheck" for k in range(1, 6))
    cards += "\nR1 6 0 1ohm nfree\nR2 1 0 1ohm shunt=3"
    net, said = read(f"* many\nI1 0 1 pwl(0 0 10p 100u)\n{cards}\n.tran 0.1p 10p\n")
    flagged = [w for w in said if "after the value ignored" in w]
    assert len(flagged) == 2, said
    assert any("inductors" in w for w in flagged) and any("resistors" in w for w in flagged)


@pytest.mark.parametrize(
    ("card", "message"),
    [
        ("R2 1 0 5 6", "R2: expected two nodes and one value, got 2"),  # a number is no flag
        ("B2 1 0 jm shunt=3", "B2: unknown junction parameter shunt"),  # only R, L, C, K
    ],
)
def test_what_is_not_a_flag_stays_an_error(card, message):
    text = f"* t\n.model jm jj(rtype=0)\nI1 0 1 1u\nR1 1 0 1\n{card}\n.tran 1p 2p\n"
    with pytest.raises(NetlistError, match=message):
        Netlist.from_string(text)


# -- inline comments ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("card", "probes"),
    [
        # JOINUS, Data/Demos/IV2.js
        (".PRINT DEVV R9 *Voltage", ["V(R9)"]),
        (".PRINT nodev 1 2  *Current", ["V(1,2)"]),
        (".print devi L9 # current", ["I(L9)"]),
    ],
)
def test_a_star_or_hash_after_whitespace_starts_a_comment(card, probes):
    net, _ = read(with_line(card))
    assert net.probes == probes


def test_file_and_param_lines_with_trailing_comments(tmp_path):
    # JOINUS, Data/si.js: ".FILE OUT.DAT  *** JoSIM will not see this command";
    # optimisers mark parameters ".param bias=0.5mV #!BIAS"
    text = with_line(".FILE OUT.DAT  *** a remark\n.print devv R9", ".param bias=0.5mV #!BIAS")
    net, _ = read(text)
    assert list(net.files) == ["OUT.DAT"]
    assert net.params["BIAS"] == pytest.approx(0.5e-3)


@pytest.mark.parametrize(
    ("card", "value"),
    [
        ("R3 1 0 {2 * 3}", 6.0),  # inside braces: multiplication
        ("R3 1 0 '2 * 3'", 6.0),  # inside quotes
        ("R3 1 0 2*3", 6.0),  # within a word
        (".param k = 2 * 3\nR3 1 0 k", 6.0),  # .param expressions may hold spaces
        ("R3 1 0 2 *3", 2.0),  # after whitespace, outside: a comment
    ],
)
def test_where_a_star_is_multiplication(card, value):
    net, _ = read(with_line(card))
    assert net.circuit(params=None)["R3"] is not None
    element = next(e for e in net._nominal.circuit.elements if e.name == "R3")
    assert element.r * net.units.scale["ohm"] == pytest.approx(value)


# -- output requests ------------------------------------------------------------------

SUBCKT = """\
.subckt jtl 1 2
B1 1 0 jm
B2 2 0 jm
L1 1 2 2p
.ends jtl
"""


def test_flat_hierarchical_names_in_print():
    # JOINUS, Data/Demos/AndTest.js: ".print devv XI6_B2"
    text = f"""\
        * flat names
        .model jm jj(rtype=0, icrit=100u)
        {textwrap.indent(SUBCKT, "        ").strip()}
        I1 0 1 pwl(0 0 10p 100u)
        XI6 jtl 1 2
        XI7 jtl 2 3
        R1 3 0 1
        .tran 0.1p 10p
        .print devv XI6_B2
        .print phase XI7_B1
        .print devv XI9_B1
        """
    net, said = read(text)
    assert net.probes == ["V(B2|XI6)", "P(B1|XI7)"]
    assert any("XI9_B1 names no device" in w and "skipped" in w for w in said)


def test_a_flat_name_of_several_devices_is_skipped():
    # B1 of X2 inside X1, and B1 of the instance X1_X2: both spelt X1_X2_B1
    text = """\
        * ambiguous
        .model jm jj(rtype=0, icrit=100u)
        .subckt inner a
        B1 a 0 jm
        .ends inner
        .subckt outer a
        X2 inner a
        .ends outer
        I1 0 1 pwl(0 0 10p 100u)
        X1 outer 1
        X1_X2 inner 1
        .tran 0.1p 10p
        .print phase X1_X2_B1
        .print phase B1|X2|X1
        """
    net, said = read(text)
    assert net.probes == ["P(B1|X2|X1)"]
    assert any("X1_X2_B1 names several devices (B1|X1_X2, B1|X2|X1)" in w for w in said)


@pytest.mark.parametrize(
    "card", [".print devv B9", ".print i(Q1)", ".print v(9)", ".print nodev 1 99"]
)
def test_a_request_naming_nothing_is_skipped_with_a_warning(card):
    net, said = read(with_line(card + "\n.print devi L9"))
    assert net.probes == ["I(L9)"]
    assert sum("output request skipped" in w for w in said) == 1


def test_at_names_are_nodes():
    # index id 45588217072: "XI1 ptl_2ohm @port 36" and ".PRINT NODEV @port 0"
    text = """\
        * @ nodes
        .subckt ptl_2ohm 2 3
        C1 2 0 0.168pF
        L1 2 3 0.744pH fcheck
        .ends
        I1 0 @port pwl(0 0 2p 100u)
        XI1 ptl_2ohm @port 36
        R1 36 0 1
        .tran 0.1p 30p
        .PRINT NODEV @port 0
        .print @R1[i]
        """
    net, _ = read(text)
    assert net.probes == ["V(@PORT)", "I(R1)"]
    results = net.simulate()
    # at rest, the line's inductor joins @port to R1: 100 uA through 1 ohm
    np.testing.assert_allclose(results.trace("V(@PORT)")[1][-1], 100e-6, rtol=1e-3)
    np.testing.assert_allclose(results.trace("I(R1)")[1][-1], 100e-6, rtol=1e-3)


# -- .tran and values ---------------------------------------------------------------


def test_print_step_below_time_step_runs_at_the_print_step():
    # JOINUS, Data/Examples/IV.js: ".tran 0.5ps 150PS 100PS 0.1PS"
    net, said = read(
        with_line(".print devi L9").replace(".tran 0.1p 20p", ".tran 0.5ps 20PS 10PS 0.1PS")
    )
    assert net.tran.tstep == pytest.approx(0.1e-12)
    assert any("runs at the print step" in w or "steps at the print step" in w for w in said)
    time = net.simulate().time("s")
    np.testing.assert_allclose(np.diff(time), 0.1e-12, rtol=1e-6)


SERIES_RL = """\
* series RL
V1 1 0 pwl(0 0 1p 1m)
R1 1 2 1
{inductors}
.tran 0.05p 10p
.print devi R1
"""


@pytest.mark.parametrize(
    ("card", "number"),
    [("L3 3 0 -1pH", -1e-12), ("L3 3 0 5.34-12", 5.34 - 12)],  # the slip: 5.34 minus 12
)
def test_negative_inductance_runs_with_a_warning(card, number):
    net, said = read(SERIES_RL.format(inductors=f"L2 2 3 2p\n{card}"))
    assert sum(f"L3: negative inductance {number:.6g} H accepted" in w for w in said) == 1
    if number == -1e-12:  # 2 pH and -1 pH in series: one of 1 pH
        single, _ = read(SERIES_RL.format(inductors="L2 2 0 1p"))
        got, want = (n.simulate().trace("I(R1)")[1] for n in (net, single))
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-15)
        assert want[-1] > 0.9e-3  # the current has risen through a 1 ps time constant


@pytest.mark.parametrize("cpr", ["{0.9, 0.1}", "{0.9 0.1}", "(0.9, 0.1)", "(0.9 0.1)"])
def test_cpr_in_braces_or_parentheses_with_commas_or_spaces(cpr):
    # the peer's syntax guide: "cpr={0.9, 0.1}"
    text = (
        f"* cpr\n.model jx jj(rtype=0, icrit=0.1m, cpr={cpr})\nB1 1 0 jx\nI1 0 1 1u\n.tran 1p 2p\n"
    )
    net, _ = read(text)
    law = net.circuit().circuit["B1"].law
    assert tuple(law.cpr) == pytest.approx((0.9, 0.1))


# -- junction models for .iv, wherever they are defined ----------------------------

MODELS = """\
* models of a cell library, as a file of models only
.model top jj(rtype=0, icrit=0.3m)
.subckt jtl a b ic=0.25m
.model jjmit jj(rtype=1, icrit=ic, rn=16)
.model shared jj(rtype=0, icrit=0.1m)
.model scaled jj(rtype=0, icrit=ic)
.ends jtl
.subckt dff a b
.model shared jj(rtype=0, icrit=0.1m)
.model other jj(rtype=0, icrit=0.2m)
.model alike jj(rtype=1, vg=2.8mV, icrit=0.1m)
.ends dff
.subckt split a b
.model other jj(rtype=0, icrit=0.4m)
.model alike jj(rtype=1, VG=2.8mv, icrit=100u)
.model scaled jj(rtype=0, icrit=0.25m)
.ends split
"""


@pytest.mark.parametrize(
    ("name", "icrit"),
    [
        ("top", 0.3e-3),
        ("jjmit", 0.25e-3),  # only jtl defines it; its parameter's default applies
        ("JTL.JJMIT", 0.25e-3),
        ("shared", 0.1e-3),  # two subcircuits, the same definition
        ("alike", 0.1e-3),  # written differently, the same values
        ("scaled", 0.25e-3),  # the same values once the parameter is evaluated
        ("dff.other", 0.2e-3),
        ("split.other", 0.4e-3),
        ("jtl.top", 0.3e-3),  # looked up outward from the subcircuit
    ],
)
def test_junction_model_found_at_top_or_in_a_subcircuit(name, icrit):
    net, _ = read(MODELS)
    assert net.junction_model(name).icrit == pytest.approx(icrit)


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("other", "defined differently in several subcircuits: name one as DFF.OTHER, SPLIT.OTHER"),
        ("nope", "no junction model named nope (known: TOP, DFF.ALIKE, DFF.OTHER, DFF.SHARED"),
    ],
)
def test_an_ambiguous_or_unknown_model_is_named_in_the_error(name, message):
    net, _ = read(MODELS)
    with pytest.raises(NetlistError, match=message.replace(".", r"\.").replace("(", r"\(")):
        net.junction_model(name)


def test_a_file_of_models_only_reads_but_does_not_simulate():
    net, _ = read(MODELS + ".tran 1p 10p\n")
    with pytest.raises(NetlistError, match="the netlist has no elements"):
        net.simulate()


# -- pwindow: a Hanning window before the print steps ---------------------------------

PWINDOW = """\
* an overdamped junction swept slowly: its voltage averaged over the window
.model jm jj(rtype=0, icrit=0.1mA, rn=5, cap=0.07p)
B1 1 0 jm
I1 0 1 pwl(0 0 100p 300u)
.tran 0.05p 100p {prstart} {rest}
.print devv B1
.print phase B1
"""


@pytest.mark.parametrize(
    ("prstart", "pwindow"), [("0", "5p"), ("20p", "4.9p"), ("0", "0.6p"), ("0", "1n")]
)
def test_pwindow_is_numpys_hanning_convolution_then_the_print_step(prstart, pwindow):
    every = 20  # print step 1 ps of 0.05 ps steps
    windowed, _ = read(PWINDOW.format(prstart=prstart, rest=f"1p {pwindow} DST"))
    full, _ = read(PWINDOW.format(prstart=0, rest="0.05p DST"))
    got, raw = windowed.simulate(), full.simulate()
    # taps of the peer's window, 1 - cos(2 pi (k + 1/2) / n), are numpy's Hanning
    # of 2 n + 1 points at its odd positions
    width = min(Fraction(pwindow.rstrip("pn")) * (1000 if "n" in pwindow else 1), 100)
    taps = 2 * math.floor(width / Fraction("0.05") / 2) + 1  # in exact arithmetic
    hanning = np.hanning(2 * taps + 1)[1::2]
    hanning /= hanning.sum()
    first = int(round(float(prstart.rstrip("p") or 0) / 0.05))
    rows = np.arange(first, len(raw.time("s")), every)
    np.testing.assert_allclose(got.time("s"), raw.time("s")[rows], rtol=1e-12)
    for label in ("V(B1)", "P(B1)"):
        padded = np.pad(raw.trace(label)[1], taps // 2, mode="edge")
        expected = np.convolve(padded, hanning, mode="valid")[rows]
        np.testing.assert_allclose(got.trace(label)[1], expected, rtol=1e-9, atol=1e-15)
    assert np.std(got.trace("V(B1)")[1]) < np.std(raw.trace("V(B1)")[1][rows])


STEPS = ["0.01", "0.02", "0.025", "0.05", "0.1", "0.2", "0.25", "0.5"]
WINDOWS = "0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1 1.2 1.5 2 2.5 3 4 4.9 5 6 7 10".split()


def test_the_window_half_width_is_exact_for_decimal_values():
    # floor(pwindow / 2 tstep) of the values as written, against exact fractions
    wrong = [
        (step, window)
        for step in STEPS
        for window in WINDOWS
        if window_half_width(float(window) * 1e-12, float(step) * 1e-12)
        != math.floor(Fraction(window) / Fraction(step) / 2)
    ]
    assert wrong == []
