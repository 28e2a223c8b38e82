"""Every problem in a netlist is a NetlistError saying file:line: message, then the
offending line."""

import re
import textwrap

import pytest

from loxant import Netlist, NetlistError, read_netlist
from loxant.errors import CircuitError

GOOD = """\
* title
.model jm jj(rtype=0, icrit=100u, rn=5, cap=0.1p)
B1 1 0 jm
L1 1 2 3p
I1 0 1 pwl(0 0 10p 100u)
R1 2 0 1
"""

# (netlist appended to GOOD, line of the error counted in the whole text, message)
CASES = [
    ("J1 1 0 5", 7, "unknown element letter 'J' of J1"),
    ("R2 1", 7, "R2: expected 2 nodes"),
    ("R2 1 0 3q(", 7, "bad value '3q('"),
    ("R2 1 0 1.2.3", 7, "bad value '1.2.3'"),
    ("R2 1 0 2x3", 7, "bad value '2x3'"),
    ("X1 nosub 1 2", 7, "X1: unknown subcircuit 2 or NOSUB"),
    ("R2 1 0 5 6", 7, "R2: expected two nodes and one value, got 2"),
    ("K1 L1 L2", 7, "K1: expected two inductors and one coupling factor"),
    ("I2 0 1 pwl(0 0 1p)", 7, "pwl takes pairs of time and value, got 3"),
    ("I2 0 1 pulse(0 1 2 3 4 5 6 7)", 7, "pulse takes 2 to 7 values, got 8"),
    ("I2 0 1 sin(0)", 7, "sin takes 2 to 7 values, got 1"),
    ("I2 0 1 noise(0 1)", 7, "noise takes 3 values, got 2"),
    ("I2 0 1 wobble(0 1)", 7, "unknown waveform 'wobble'"),
    ("I2 0 1 dc 1 2", 7, "dc takes one value"),
    ("I2 0 1", 7, "I2: missing value"),
    ("I2 0 1 pwl(0 0 2p 1u) 5", 7, "unexpected text after pwl(...)"),
    ("I2 0 1 pwl(0 0 2p 1u 1p 2u)", 7, "PWL times must not decrease"),
    ("R1 2 0 5", 7, "duplicate name R1 (first at <string>:6)"),
    ("V1 2 0 1m\nV2 0 2 2m", 8, "V2 closes a loop of voltage and phase sources: V1, V2"),
    (
        "P1 1 0 1\nV1 1 3 1\nR5 3 0 1\nP2 3 0 1",
        10,
        "P2 closes a loop of voltage and phase sources: V1, P1, P2",
    ),
    (
        "I2 3 4 1u\nI3 4 3 1u\nR3 3 4 1",
        7,
        "node 3 has no path to ground other than through current sources",
    ),
    ("R2 1 0 -1", 7, "resistance of R2 must be positive"),
    ("R2 1 1 3", 7, "R2 connects node '1' to itself"),
    ("K1 L1 R1 0.5", 7, "K1: 'R1' is a resistor, not an inductor"),
    ("L2 2 0 3p\nK1 L1 L2 1.5", 8, "|k| > 1"),
    ("B2 1 0 jm area=1 ic=1u", 7, "B2: give area or ic, not both"),
    ("B2 1 0 jm area=-1", 7, "B2: area must be positive"),
    ("B2 1 0 jm tmp=4", 7, "B2: unknown junction parameter tmp"),
    ("B2 1 0 jm 9 8", 7, "B2: expected two nodes, an optional third node and a model name, got 5"),
    ("T1 1 0 2 0 z0=50", 7, "T1: a transmission line needs td= and z0="),
    ("T1 1 0 2 0 td=1p z0=50 nl=1", 7, "T1: unknown transmission line parameter nl"),
    ("T1 1 0 2 td=1p", 7, "T1: expected 4 nodes"),
    ("T1 1 0 2 0 td=-1p z0=50", 7, "delay of T1 must be positive"),
    ("E1 1 0 2 1", 7, "E1: expected 4 names and one gain, got 0 values"),
    ("G1 1 0 2 0 1 2", 7, "G1: expected 4 names and one gain, got 2 values"),
    ("F1 1 0 VX 1", 7, "F1: no element named VX to take the current of"),
    ("H1 2 0 R1 1", 7, "the current of 'R1' (resistor) is not a branch unknown"),
    ("F1 1 0 H1 1\nH1 2 0 F1 1", 7, "F1: no element named H1 to take the current of"),
    (".temp 4.2 5", 7, ".temp takes one value"),
    (".neb 1 2", 7, ".neb takes one value"),
    (".temp -1", 7, ".temp must not be negative"),
    (".option seed=1.5", 7, "seed must be a whole number"),
    ("B9 1 0 jm tmp=3", 7, "B9: unknown junction parameter tmp"),
    (".spread 1.5", 7, ".spread must be at least 0 and below 1, got 1.5"),
    (".spread 0.1 Q=0.2", 7, ".spread: unknown kind q"),
    (".options abstol=1", 7, "unknown option abstol (known: seed)"),
    (".model j1 jj(rtype=0, d=1)\nB2 1 0 j1", 7, "model J1: d (transparency) must be in [0, 1)"),
    (".model j1 jj(rtype=0, t=9.5)\nB2 1 0 j1", 7, "t >= tc leaves no gap"),
    (".model j1 jj(rtype=0, t=0)\nB2 1 0 j1", 7, "t and tc must be positive"),
    (
        ".model j1 jj(rtype=0, cpr=(1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1))\nB2 1 0 j1",
        7,
        "cpr takes 1 to 16 harmonic amplitudes",
    ),
    (".model j1 jj(delv=6m)\nB2 1 0 j1", 7, "delv must be positive and below twice vg"),
    (".model j1 jj(rtype=2)\nB2 1 0 j1", 7, "rtype must be 0 or 1, got 2"),
    (".iv jm iv.csv", 7, ".iv takes a model name, the largest current and a file name"),
    (".iv jx 1m iv.csv", 7, ".iv: no junction model named JX (known: JM)"),
    (".iv jm -1m iv.csv", 7, ".iv: the largest current must be positive, got -0.001"),
    (".subckt s a\n.iv jm 1m iv.csv\n.ends", 8, ".iv inside .subckt S"),
    (".model j1 jj(rtype=0, icrt=1m)", 7, "unknown parameter icrt of model J1"),
    (".model j1 res(r=1)", 7, "model type 'res' is not supported (only jj)"),
    (
        ".model jm jj(rtype=0)",
        7,
        "model JM defined twice differently in one scope (first at <string>:2)",
    ),
    (".param A=B+1\n.param B=A*2\nR2 1 0 A", 7, "parameters depend on each other: A -> B -> A"),
    (".param A=1\n.param B=A+QQ", 8, "parameter B: undefined name 'QQ'"),
    (".param A=1 A=2", 7, ".param A defined twice"),
    (".param =3", 7, ".param takes name=expression"),
    (".param A=", 7, ".param A: missing expression"),
    ("R2 1 0 {NOPE}", 7, "R2: undefined name 'NOPE'"),
    ("R2 1 0 {1/0}", 7, "R2: cannot evaluate"),
    ("R2 1 0 {1", 7, "{ without its closing }"),
    ("R2 1 0 1}", 7, "} without an opening {"),
    (".include nowhere.inc", 7, "cannot include"),
    (".subckt s a\nR1 a 0 1", 7, ".subckt S has no .ends"),
    (".ends", 7, ".ends without .subckt"),
    (".subckt s a\nR1 a 0 1\n.ends t", 9, ".ends does not match .subckt S"),
    (".subckt s a\nR1 a 0 1\n.ends\n.subckt s b\n.ends", 10, "duplicate subcircuit S"),
    (".subckt s a\nX1 s a\nR1 a 0 1\n.ends\nX1 s 1", 8, "subcircuit S contains itself (S -> S)"),
    (".subckt s a b\nR1 a b 1\n.ends\nX1 s 1", 10, "X1: subcircuit S has 2 node(s), 1 given"),
    (
        ".subckt s a lx=1p\nL1 a 0 lx\n.ends\nX1 s 1 ly=2p",
        10,
        "X1: subcircuit S has no parameter ly",
    ),
    (".subckt s a\nR1 a 0 {nope}\n.ends\nX1 s 1", 8, "R1: undefined name 'NOPE'"),
    (".subckt s a a\n.ends", 7, "a node appears twice among its ports"),
    (".subckt s a\n.tran 1p 2p\n.ends", 8, ".tran inside .subckt S"),
    (".tran 1p", 7, ".tran takes tstep tstop"),
    (".tran 2p 1p", 7, ".tran needs 0 < tstep <= tstop"),
    (".tran 1p 10p 0 1.5p", 7, "prstep 1.5e-12 s is not a whole multiple of the time step"),
    (".tran 1p 10p 20p", 7, "0 <= prstart < tstop"),
    (".tran 1p 10p\n.tran 1p 20p", 8, "second .tran (the first at line 7)"),
    (".tran 1p {TSTOP}", 7, ".tran: undefined name 'TSTOP'"),
    (".print x(1)", 7, "cannot read output request 'x(1)'"),
    (".print v(1,2,3)", 7, "cannot read output request 'v(1,2,3)'"),
    (".print i(L1, R1)", 7, "cannot read output request"),
    (".print nodev 1 2 3", 7, "nodev takes one or two nodes"),
    (".print phase", 7, "phase takes one device"),
    (".print", 7, ".print requests nothing"),
    ("R2 1 0 2\n+ 3", 7, "R2: expected two nodes and one value"),
    ("(R2 1 0 2", 7, "a line starts with an element name or a control word"),
]


@pytest.mark.parametrize(("extra", "line", "message"), CASES)
def test_errors_name_file_line_and_text(extra, line, message):
    text = GOOD + extra + "\n"
    with pytest.raises(NetlistError) as info:
        Netlist.from_string(text)
    error = info.value
    assert isinstance(error, CircuitError)  # callers catching circuit errors see these too
    assert (error.file, error.line) == ("<string>", line), str(error)
    assert message in error.message
    head, _, quoted = str(error).partition("\n")
    assert head == f"<string>:{line}: {error.message}"
    offending = text.splitlines()[line - 1]
    assert offending.strip() in quoted or quoted.strip() in " ".join(text.splitlines()[line - 1 :])


def test_a_netlist_without_elements_is_an_error():
    with pytest.raises(NetlistError, match=r"^<string>:2: the netlist has no elements"):
        Netlist.from_string("* nothing\n.tran 1p 10p\n")


def test_continuation_without_a_line_before_it():
    with pytest.raises(NetlistError, match=r"^<string>:2: continuation line with no line before"):
        Netlist.from_string("* title\n+ 1 0 5\n")


def test_errors_in_included_files_name_that_file(tmp_path):
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "bad.inc").write_text("* models\n\nR2 1 0 {oops}\n")
    (tmp_path / "lib" / "loop.inc").write_text(".include loop.inc\n")
    main = tmp_path / "main.cir"
    main.write_text(GOOD + ".include lib/bad.inc\n")
    with pytest.raises(NetlistError) as info:
        read_netlist(main)
    assert str(info.value).startswith(f"{tmp_path / 'lib' / 'bad.inc'}:3: R2: undefined name")
    main.write_text(GOOD + ".include lib/loop.inc\n")
    with pytest.raises(NetlistError, match="loop.inc includes itself"):
        read_netlist(str(main))


@pytest.mark.parametrize(
    "source",
    [b"R1 1 0 5\n", 42, None, "no/such/file.cir", "/", "\xff\xfe"],
)
def test_what_is_not_a_netlist(source, tmp_path):
    with pytest.raises(NetlistError):
        read_netlist(source)
    binary = tmp_path / "binary.cir"
    binary.write_bytes(b"\xff\xfe\x00R1 1 0 5\n")
    with pytest.raises(NetlistError, match=re.escape(f"cannot read {binary}")):
        read_netlist(binary)


def test_overrides_must_be_numbers():
    net = Netlist.from_string(textwrap.dedent(".param RR=2\nR1 1 0 RR\nR2 1 0 RR\n"))
    with pytest.raises(NetlistError, match="override of RR must be a number"):
        net.circuit(params={"RR": "two"})
    with pytest.raises(NetlistError, match="resistance of R1 must be positive"):
        net.circuit(params={"RR": -1})
