"""The reader raises nothing but NetlistError, whatever the text: random token soup
and valid netlists with random edits."""

import re
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from loxant import Netlist, NetlistError
from loxant.netlist import NetlistWarning

VALID = """\
* fuzz seed
.param LB=3p IB={0.7*250u} W=gauss(1, 0.1)
.model jm jj(rtype=0, icrit=250u, rn=2.74, cap=0.175p)
.model jg jj(rtype=1, icrit=100u, rn=16, r0=160, cpr=(0.9, 0.1), phi=0.5, t=4.2, tc=9.1, d=0.3)
.iv jg 300u iv.csv
.subckt stage in out lb=LB
B1 in 0 jm area=W
IB 0 in pwl(0 0 20p IB)
L1 in out lb
.ends stage
VIN IN 0 pulse(0 827u 50p 2.5p 2.5p 0)
LIN IN 1 3p
X1 stage 1 2
X2 2 3 stage lb=2p
B2 3 0 jm ic=200u
L2 3 4 4p
L3 4 0 4p
K1 L2 L3 0.2
R1 4 5 1
C1 5 0 0.1p
P1 6 0 sin(0 1 10g)
L4 6 5 5p
I2 0 5 exp(0 10u 1p 2p 3p 4p)
B3 5 0 jg area=0.5
+
.subckt cell 0 a q
.model jm jj(rtype=1, icrit=100u)
B1 a 0 jm spread=0.05
T1 a 0 q 0 lossless z0=5 td=2p
R1 q 0 5
.ends
X3 cell 0 5 7
F1 0 8 7 0 2
H1 9 0 8 0 3
R8 8 0 1
R9 9 0 1
I3 0 8 pws(0 0 10p 1u)
I4 0 8 sin(0 1u 10g 0 0 45 3)
.spread 0.1 L=0.05 R=0.02
.tran 0.05p 100p 0 0.1p UIC
.print p(B1.X1) v(2) i(L2) v(1,2)
.print DEVV R1 PHASE B2 @B1|X3[p]
.print nodep 3 0
.control
print v(9)
.endc
.end
"""

WORDS = [
    "R1",
    "L1",
    "C1",
    "K1",
    "B1",
    "I1",
    "V1",
    "P1",
    "X1",
    "T1",
    "0",
    "1",
    "2",
    "gnd",
    "jm",
    "3p",
    "1e3",
    "-1",
    "{",
    "}",
    "(",
    ")",
    ",",
    "=",
    "'",
    '"',
    "+",
    "*",
    "#",
    ".model",
    "jj",
    ".subckt",
    ".ends",
    ".param",
    ".tran",
    ".print",
    ".end",
    ".include",
    "pwl",
    "pulse",
    "sin",
    "exp",
    "dc",
    "area=",
    "ic=",
    "rtype=0",
    ".iv",
    "cpr=(",
    "phi=pi",
    "d=",
    "t=",
    "tc=",
    "v(1)",
    "p(B1)",
    "i(X1)",
    "devv",
    "nodev",
    "gauss",
    "sqrt(",
    "^",
    "/",
    "1/0",
    "{1/0}",
    "1e999",
    "..",
    "|",
    ".",
    "\t",
    "\n",
    "\n+",
    "µ",
    "\x00",
    "pws",
    "noise",
    "cus",
    "lossless",
    "td=",
    "z0=",
    ".spread",
    "spread=",
    ".control",
    ".endc",
    "@B1[p]",
    "@x[",
    "phase",
    "UIC",
    "DST",
    "F1",
    "H1",
    "'",
    ".param A=1'",
]


def assert_reads_or_reports(text):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", NetlistWarning)
            net = Netlist.from_string(text)
    except NetlistError as exc:
        assert re.match(r"<string>(:\d+)?: ", str(exc)), str(exc)
        return
    net.circuit()  # what reads, builds again


quick = settings(
    max_examples=300, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)


@quick
@given(st.lists(st.sampled_from(WORDS), max_size=40).map(" ".join))
def test_token_soup(text):
    assert_reads_or_reports(text)


@quick
@given(st.text(max_size=200))
def test_random_text(text):
    assert_reads_or_reports(text)


edits = st.lists(
    st.tuples(
        st.sampled_from(["delete", "insert", "replace", "drop_line", "dup_line"]),
        st.integers(0, len(VALID)),
        st.sampled_from(WORDS + list("0123456789()={}*+-/ \n.,pPuU")),
    ),
    min_size=1,
    max_size=6,
)


@settings(
    max_examples=400, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(edits)
def test_mutated_netlists(changes):
    text = VALID
    for kind, pos, word in changes:
        pos = min(pos, len(text))
        if kind == "delete":
            text = text[:pos] + text[pos + len(word) :]
        elif kind == "insert":
            text = text[:pos] + word + text[pos:]
        elif kind == "replace":
            text = text[:pos] + word + text[pos + 1 :]
        else:
            lines = text.splitlines()
            k = pos % len(lines)
            lines[k : k + 1] = [] if kind == "drop_line" else [lines[k], lines[k]]
            text = "\n".join(lines)
    assert_reads_or_reports(text)


def test_the_seed_netlist_reads():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", NetlistWarning)
        net = Netlist.from_string(VALID)
    assert net.probes == [
        "P(B1|X1)",
        "V(2)",
        "I(L2)",
        "V(1,2)",
        "V(R1)",
        "P(B2)",
        "P(B1|X3)",
        "P(3)",
        "V(9)",
    ]


sizes = st.one_of(
    st.tuples(st.integers(1, 3), st.integers(0, 7)),  # at most a few thousand elements
    st.tuples(st.integers(4, 9), st.integers(12, 60)),  # far beyond the limit
)


@settings(max_examples=40, deadline=None, derandomize=True)
@given(sizes, st.integers(1, 300))
def test_expansions_and_parameter_chains_of_any_size(size, chain):
    fan, levels = size
    lines = [".param P0=1"] + [f".param P{k}=P{k - 1}*1.0001" for k in range(chain, 0, -1)]
    lines += [".subckt S0 a", f"R1 a 0 {{P{chain}}}", ".ends"]
    for k in range(1, levels + 1):
        lines += [f".subckt S{k} a"] + [f"X{j} S{k - 1} a" for j in range(fan)] + [".ends"]
    lines += [f"X1 S{levels} 1", "I1 0 1 1m"]
    text = "* sizes\n" + "\n".join(lines) + "\n"
    if fan**levels > 10_000_000:
        with pytest.raises(NetlistError, match="more than 4 GiB"):
            Netlist.from_string(text)
    else:
        assert len(Netlist.from_string(text).circuit().circuit) == fan**levels + 1
