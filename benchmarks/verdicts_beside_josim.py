"""Verdicts of an expected-behaviour file, loxant beside JoSIM, on changed copies of two cells.

Each case is a netlist whose ``.param`` values are scaled in its text, simulated
by both tools: loxant judges its run by the expected behaviour (``loxant.analysis.verify``),
and JoSIM's output (``josim-cli FILE -o OUT.csv``) is judged by the same table
read by the same code.  The verdicts should agree everywhere except within a
hair of a threshold.

* ``dff``: josim-tools' DFF example (``dff_starting_values.cir`` with its
  ``dff_specification.sp``, threshold 0.2), each of its 13 multipliers and the
  four totals at 0.6 ... 1.4;
* ``dfft``: the ColdFlux DFFT testbench with expected behaviour written from loxant's
  nominal run (its ``.print`` junctions, counts every 50 ps), the cell's bias
  and area ``.param`` values at 0.6 ... 1.4.

    python benchmarks/verdicts_beside_josim.py [--only dff dfft] [--josim PATH]
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

JOSIM = "/work/peers/josim-cmake/build/josim-cli"
DFF_DIR = "/work/peers/josim-tools/examples/cadance_aao_dff_comparison"
DFFT = "/work/peers/RSFQlib/RSFQlib/mitll_DFFT/THmitll_DFFT_v3p0_testbench.cir"
FACTORS = (0.6, 0.8, 0.9, 1.1, 1.2, 1.4)


class CsvPhases:
    """JoSIM's CSV output as results the expected-behaviour criterion reads: ``time`` in
    seconds and ``phase(NAME)`` from the column ``P(NAME)``."""

    def __init__(self, path):
        with open(path) as stream:
            header = [h.strip('"') for h in stream.readline().strip().split(",")]
        table = np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)
        self.time = table[:, 0]
        self._columns = {name.upper(): table[:, k] for k, name in enumerate(header)}

    def phase(self, name):
        return self._columns[f"P({name.upper().replace('.', '|')})"]


def scaled(text, name, factor):
    """``text`` with the value of the first ``.param NAME=...`` (the cell under
    test comes first) multiplied by ``factor``."""
    pattern = re.compile(rf"^(\s*\.param\s+{re.escape(name)}\s*=\s*)(.+?)\s*$", re.I | re.M)
    changed, count = pattern.subn(lambda m: f"{m.group(1)}({m.group(2)})*{factor!r}", text, 1)
    if not count:
        raise ValueError(f"no .param {name}")
    return changed


def with_phase_prints(text, names):
    """``text`` printing the phases of ``names`` only (JoSIM's ``.print PHASE``)."""
    kept = [line for line in text.splitlines() if not re.match(r"\s*\.(print|end)\b", line, re.I)]
    kept += [f".print PHASE {name.replace('.', '|')}" for name in names] + [".end"]
    return "\n".join(kept) + "\n"


def josim_verdict(josim, text, expected, threshold, folder):
    from loxant.analysis.expected import ExpectedCriterion

    netlist = os.path.join(folder, "case.cir")
    output = os.path.join(folder, "case.csv")
    with open(netlist, "w") as stream:
        stream.write(with_phase_prints(text, expected.names))
    subprocess.run(
        [josim, netlist, "-o", output],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        check=True,
    )
    return ExpectedCriterion(expected, list(expected.names), threshold)(CsvPhases(output))


def loxant_verdict(text, expected, threshold):
    from loxant import read_netlist
    from loxant.analysis.verify_command import verify

    outcome = verify(read_netlist(text), expected, threshold)
    return outcome.passed, outcome.message


def compare(label, josim, text, cases, expected, threshold):
    agree = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, factor in cases:
            changed = text
            for part in name.split("+"):
                changed = scaled(changed, part, factor)
            ours, our_why = loxant_verdict(changed, expected, threshold)
            theirs, their_why = josim_verdict(josim, changed, expected, threshold, folder)
            agree += ours == theirs
            mark = "" if ours == theirs else "   <-- differ"
            print(f"{label} {name} x{factor}: loxant {_word(ours)}, JoSIM {_word(theirs)}{mark}")
            if ours != theirs:
                print(f"    loxant: {our_why}\n    JoSIM:  {their_why}")
    print(f"{label}: {agree} of {len(cases)} verdicts agree")
    return agree == len(cases)


def _word(passed):
    return "pass" if passed else "fail"


def dff(josim):
    from loxant.analysis.expected import read_expected

    with open(os.path.join(DFF_DIR, "dff_starting_values.cir")) as stream:
        text = stream.read()
    expected = read_expected(os.path.join(DFF_DIR, "dff_specification.sp"))
    names = ["Itotal", "Jtotal", "Ltotal", "Rtotal", "LD_margin", "LQ_margin", "LO_margin"]
    names += ["LREL_margin", "J1_margin", "J2_margin", "J3_margin", "J4_margin", "I1_margin"]
    cases = [("Itotal", 1.0)] + [(n, f) for n in names for f in FACTORS]
    return compare("dff", josim, text, cases, expected, 0.2)


def dfft_expected(text, step=50e-12):
    """The expected behaviour of the DFFT from loxant's nominal run: its ``.print`` junctions,
    counted every ``step`` after a calibration at 10 ps, no time within 3 ps of a
    switch."""
    from loxant import read_netlist
    from loxant.analysis import Design
    from loxant.analysis.events import events
    from loxant.analysis.expected import ExpectedSwitching

    design = Design(read_netlist(text))
    names = design.watched_junctions()
    found = events(design.simulate(design.build(), names), names)
    times = [10e-12]
    for t in np.arange(step, design.t_stop + step / 2, step):
        near = [e for e, _, _ in found if abs(e - t) < 3e-12]
        times.append(float(t) + (6e-12 if near else 0.0))
    times = [t for t in times if t < design.t_stop]
    rows = [f"time {' '.join(names)}"]
    for t in times:
        counts = [sum(s for e, n, s in found if n == name and e < t) for name in names]
        rows.append(f"{t:.6e} " + " ".join(str(c) for c in counts))
    return ExpectedSwitching.parse("\n".join(rows) + "\n", "dfft.sp")


def dfft(josim):
    with open(DFFT) as stream:
        text = stream.read()
    expected = dfft_expected(text)
    bias = "IB1+IB2+IB3+IB4"
    names = [bias, "IB1", "IB2", "IB3", "IB4", "B1", "B3", "B4", "B5", "B8", "B9"]
    cases = [(n, f) for n in names for f in FACTORS]
    return compare("dfft", josim, text, cases, expected, 0.2)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="+", choices=["dff", "dfft"], default=["dff", "dfft"])
    parser.add_argument("--josim", default=JOSIM)
    args = parser.parse_args(argv)
    ok = True
    for case in args.only:
        ok &= {"dff": dff, "dfft": dfft}[case](args.josim)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
