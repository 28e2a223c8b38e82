"""Netlists shaped like the ones designers run, for the whole-process benchmarks
(not a benchmark):

- :func:`cell_testbench`: a library cell's testbench as cell libraries ship it:
  a clocked cell (a D flip-flop of gap junctions, each shunted by a resistor in
  series with its parasitic inductance, biased through inductors), driven by
  DC-to-SFQ source cells through lossless input lines, its output into a line
  and a sink cell; 40 000 steps of 25 fs, six ``.print`` requests;
- :func:`fanout`: a hierarchy of instances that expands to a million plain
  elements (resistors and inductors), 500 steps.
"""

MODEL = ".model jjx jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)"


def _junction(tag, a, b, area, ground_parasitic=True):
    """A junction from a to b with its shunt (R in series with L) and, where b is
    ground, the parasitic inductance to ground."""
    rs = 6.86 / area
    lines = []
    if ground_parasitic and b == "0":
        lines.append(f"LP{tag} g{tag} 0 0.45p")
        b = f"g{tag}"
    lines += [
        f"B{tag} {a} {b} jjx area={area}",
        f"RB{tag} {a} s{tag} {rs:.4g}",
        f"LRB{tag} s{tag} {b} {rs / 2 * 1.13:.4g}p",
    ]
    return lines


def _bias(tag, node, amps, lb="2p"):
    return [f"IB{tag} 0 b{tag} pwl(0 0 5p {amps})", f"LB{tag} b{tag} {node} {lb}"]


def _source_cell():
    """DC-to-SFQ shape: a current pulse at `a` turns into one flux quantum at `q`."""
    lines = [".subckt srcx a q", MODEL, "L1 a 1 1.3p", "L2 1 0 3.9p", "L3 1 2 0.6p"]
    lines += _junction("1", "2", "3", 2.25) + _bias("1", "3", "275u")
    lines += ["L4 3 5 1.1p"] + _junction("2", "5", "0", 2.25)
    lines += ["L5 5 7 4.6p"] + _junction("3", "7", "0", 2.5) + _bias("2", "9", "350u")
    lines += ["L6 7 9 2.1p", "L7 9 11 2.1p"] + _junction("4", "11", "0", 2.5)
    lines += ["L8 11 13 0.84p", "RD 13 q 1.36", ".ends srcx"]
    return lines


def _sink_cell():
    lines = [".subckt sinkx a", MODEL, "L1 a 1 2p"] + _junction("1", "1", "0", 1.6)
    lines += _bias("1", "1", "112u") + ["L2 1 4 8.2p"] + _junction("2", "4", "0", 0.81)
    lines += ["L3 4 6 1.4p"] + _bias("2", "6", "239u") + ["L4 6 8 2.25p"]
    lines += _junction("3", "8", "0", 2.5) + ["L5 8 10 0.75p", "RD 10 q 1.36", "RSINK q 0 2"]
    return lines + [".ends sinkx"]


def _dff_cell():
    """A D flip-flop: input stage, escape junction B3 into the storing loop
    (B4, L5), clock stage, clock escape B7 and output junction B8."""
    lines = [".subckt dffx a clk q", MODEL, "L1 a 1 1.4p", "L2 1 3 2.9p", "L3 3 5 3.7p"]
    lines += _junction("1", "1", "0", 1.6) + _bias("1", "3", "262u", "1.76p")
    lines += _junction("2", "5", "0", 2.0) + ["L4 5 7 4.7p"]
    lines += _junction("3", "7", "8", 1.79, ground_parasitic=False)
    lines += _junction("4", "8", "0", 2.5) + _bias("2", "8", "206u", "1.06p")
    lines += ["L5 8 11 9.5p", "L6 clk 12 1.4p"] + _junction("5", "12", "0", 1.6)
    lines += ["L7 12 14 2.2p"] + _bias("3", "14", "194u", "1.85p") + ["L8 14 16 5.6p"]
    lines += _junction("6", "16", "0", 2.0) + ["L9 16 18 5.3p"]
    lines += _junction("7", "18", "11", 1.79, ground_parasitic=False)
    lines += _junction("8", "11", "0", 2.5) + ["L10 11 20 4.6p"]
    lines += _junction("9", "20", "0", 2.5) + _bias("4", "20", "175u", "0.61p")
    lines += ["L11 20 23 0.73p", "RD 23 q 1.36", ".ends dffx"]
    return lines


def data_pulses(variant):
    """Input pulse times (ps) of testbench `variant`: each variant shifts them."""
    base = [150, 250, 280, 540, 600, 640, 780]
    return [t + 3 * (variant % 9) for t in base]


def cell_testbench(variant=0):
    """Netlist text of the clocked-cell testbench; variants differ in their data
    pulses (so 27 of them are 27 distinct runs)."""
    corners = " ".join(f"{t}p 0 {t + 3}p 600u {t + 6}p 0" for t in data_pulses(variant))
    lines = [f"* clocked cell testbench {variant}"]
    lines += _dff_cell() + _source_cell() + _sink_cell()
    lines += [
        ".subckt linein a q",
        "T1 a 0 q 0 z0=5.3 td=10p",
        ".ends linein",
        ".subckt lineout a q",
        "T1 a 0 q 0 z0=5.3 td=50p",
        ".ends lineout",
        f"I_a 0 1 pwl(0 0 {corners})",
        "XSRCA srcx 1 2",
        "XLINA linein 2 3",
        "I_clk 0 4 pulse(0 600u 20p 2p 2p 1p 100p)",
        "XSRCC srcx 4 5",
        "XLINC linein 5 6",
        "XDUT dffx 3 6 7",
        "XLINQ lineout 7 8",
        "XSINK sinkx 8",
        ".tran 0.025p 1000p 0",
        ".print i(L1.XDUT) p(B1.XDUT) i(L6.XDUT) p(B5.XDUT) p(B9.XDUT) p(B1.XSINK)",
        ".end",
    ]
    return "\n".join(lines) + "\n"


def fanout(levels=5, width=10):
    """Netlist text of a tree of instances, `width` per level over `levels`
    levels, whose leaves hold five resistor-inductor pairs: 10·width^levels
    plain elements (a million by default), 500 steps."""
    lines = ["* fan-out of plain elements", ".subckt f0 a"]
    for k in range(1, 6):
        lines += [f"R{k} a n{k} 10", f"L{k} n{k} 0 {k}p"]
    lines.append(".ends f0")
    for level in range(1, levels + 1):
        lines.append(f".subckt f{level} a")
        lines += [f"X{k} f{level - 1} a" for k in range(width)]
        lines.append(f".ends f{level}")
    lines += [
        "I1 0 top pulse(0 1m 5p 2p 2p 10p 50p)",
        "RTOP top 0 1",
        f"XROOT f{levels} top",
        ".tran 0.1p 50p",
        ".print v(top) i(RTOP)",
        ".end",
    ]
    return "\n".join(lines) + "\n"
