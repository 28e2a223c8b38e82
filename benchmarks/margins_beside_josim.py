"""A global multiplier's margins checked with the peer simulator at their edges.

loxant finds the margins of the global inductance (or resistance) of a cell under
test; then, at the last passing and the first failing multiplier of each side,
every inductor (resistor) of the cell's subcircuit is scaled by hand in a copy of
the netlist and JoSIM runs it.  JoSIM's run is judged on its own: each printed
junction phase must switch as often, the same ways, each switch within the
window of JoSIM's nominal run.

    python benchmarks/margins_beside_josim.py TESTBENCH.cir --josim josim-cli \\
        [--dut XDUT] [--param "global inductance"] [--window 10e-12]
"""

import argparse
import subprocess
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

import loxant

#: the element letter each global multiplier scales by hand
LETTERS = {"global inductance": "L", "global resistance": "R"}


def scaled_netlist(text, subckt, letter, factor, values):
    """``text`` with every ``letter`` element of ``subckt`` scaled by ``factor``;
    a value written as a .param name takes its value from ``values``."""
    out, inside = [], False
    for line in text.splitlines():
        words = line.split()
        head = words[0].upper() if words else ""
        if head == ".SUBCKT":
            inside = words[1].upper() == subckt.upper()
        elif head == ".ENDS":
            inside = False
        elif inside and head[:1] == letter and len(words) >= 4:
            try:
                value = float(words[3])
            except ValueError:
                value = values[words[3].upper()]
            words[3] = repr(value * factor)
            line = " ".join(words)
        out.append(line)
    return "\n".join(out) + "\n"


def switches(phase, time):
    """(time, direction) of every 2π switch of a phase trace."""
    turns = np.floor((phase + np.pi) / (2 * np.pi))
    steps = np.nonzero(np.diff(turns))[0]
    return [(time[i + 1], int(np.sign(turns[i + 1] - turns[i]))) for i in steps]


def josim_switches(josim, text, folder, tag):
    path = Path(folder) / f"{tag}.cir"
    path.write_text(text)
    out = path.with_suffix(".csv")
    subprocess.run(
        [josim, str(path), "-o", str(out)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        check=True,
    )
    table = pd.read_csv(out)
    time = table.iloc[:, 0].to_numpy()
    return {c: switches(table[c].to_numpy(), time) for c in table if c.upper().startswith("P(")}


def verdict(got, nominal, window):
    for column, expected in nominal.items():
        seen = got[column]
        if len(seen) != len(expected):
            return f"fail: {column} {len(seen)} switches instead of {len(expected)}"
        for (t, way), (t0, way0) in zip(seen, expected):
            if way != way0 or abs(t - t0) > window:
                return f"fail: {column} switch at {t * 1e12:.1f} ps instead of {t0 * 1e12:.1f} ps"
    return "pass"


def edges(runs):
    """{side: (last passing multiplier, first failing one beyond it)}."""
    out = {}
    for side, rows in runs.groupby("side"):
        passed, failed = rows[rows.passed], rows[~rows.passed]
        sign = 1 if side == "high" else -1
        good = max(passed.multiplier, key=lambda m: sign * m)
        beyond = [m for m in failed.multiplier if sign * m > sign * good]
        out[side] = (good, min(beyond, key=lambda m: sign * m) if beyond else None)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("testbench")
    parser.add_argument("--josim", required=True, help="the peer's command-line program")
    parser.add_argument("--dut", default="XDUT")
    parser.add_argument("--param", default="global inductance", choices=sorted(LETTERS))
    parser.add_argument("--window", type=float, default=10e-12)
    args = parser.parse_args()
    netlist = loxant.read_netlist(args.testbench)
    result = loxant.margins(
        netlist, [args.param], dut=args.dut, global_bias=False, client=None, progress=False
    )
    print(result.formatted())
    text = Path(args.testbench).read_text(encoding="latin-1")
    instance = next(line.split() for line in text.splitlines() if line.split()[:1] == [args.dut])
    subckt = next(w for w in instance[1:] if f".subckt {w.lower()}" in text.lower())
    values = {
        name.partition("@")[0]: value
        for name, value in netlist.instance_params.items()
        if name.partition("@")[2].upper() == args.dut.upper()
    }
    letter = LETTERS[args.param]
    with tempfile.TemporaryDirectory() as folder:
        nominal = josim_switches(args.josim, text, folder, "nominal")
        for side, pair in edges(result.runs).items():
            for factor, loxant_says in zip(pair, ("pass", "fail")):
                if factor is None:
                    continue
                edited = scaled_netlist(text, subckt, letter, factor, values)
                got = josim_switches(args.josim, edited, folder, f"{side}{factor}")
                print(
                    f"{args.param} x{factor:.6g} ({side}): loxant {loxant_says}, "
                    f"JoSIM {verdict(got, nominal, args.window)}"
                )


if __name__ == "__main__":
    main()
