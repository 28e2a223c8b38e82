"""Characterize every cell of an RSFQ cell library with the defaults and compare
with the library's published SDF.

    python benchmarks/characterize_library.py LIBRARY [-o table.csv] [--cells DFF,JTL]

LIBRARY holds one folder per cell (``mitll_CELL/``) with the cell netlist
(``*_extracted.cir``, the layout-extracted cell that the published SDF
describes, else the schematic ``*_base.cir``; ``--schematic`` takes the
latter always), the behavioural Verilog ``*.v`` (its ``input``/``output``
declarations name the ports) and, for most cells, the published ``*.sdf``.
Prints one row per cell: states, delays ours/published, constraints
ours/published (matched by state, first and second input), wall time; and
writes them as CSV.
"""

import argparse
import glob
import math
import os
import re
import sys
import time

from loxant.analysis.characterize import characterize
from loxant.analysis.sdf import read_sdf


def _ports(verilog):
    text = open(verilog, encoding="utf-8", errors="replace").read()
    text = re.sub(r"//[^\n]*", "", text)
    found = {}
    for kind in ("input", "output"):
        names = []
        for match in re.finditer(rf"\b{kind}\b([^;]*);", text):
            names += [n.strip() for n in match.group(1).split(",") if n.strip()]
        found[kind] = names
    return found["input"], found["output"]


def _line_fed_inputs(folder, inputs):
    """Inputs the library's own testbench feeds through a transmission line (its
    ``LOADINCELL`` holds a ``T`` element): what ``--ptl-in`` says for them."""
    benches = glob.glob(os.path.join(folder, "*_testbench.cir"))
    if not benches:
        return None
    text = open(benches[0], encoding="utf-8", errors="replace").read()
    block = re.search(r"\.subckt\s+loadincell\b(.*?)\.ends", text, re.I | re.S)
    if block is None or not re.search(r"^\s*t\w*\s", block.group(1), re.I | re.M):
        return []
    return [p for p in inputs if re.search(rf"^\s*xloadin{p}\s", text, re.I | re.M)]


def _published(folder):
    paths = [p for p in glob.glob(os.path.join(folder, "*.sdf"))]
    if not paths:
        return None
    (cell,) = read_sdf(paths[0])["cells"].values()
    delays = {(cond, a.lower(), b.lower()): triple[1] for cond, a, b, triple in cell["iopath"]}
    checks = {
        (cond, ref.lower(), port.lower()): value
        for kind, cond, port, ref, value in cell["checks"]
        if kind == "HOLD"
    }
    return delays, checks


def _compare(ours, theirs):
    """Text 'ours/theirs' per key of either, and the worst difference where both."""
    parts, worst = [], 0.0
    for key in sorted(set(ours) | set(theirs)):
        a, b = ours.get(key, math.nan), theirs.get(key, math.nan)
        label = f"{key[0].replace('internal_state_', 's')}:{key[1]}>{key[2]}"
        parts.append(f"{label} {_ps(a)}/{_ps(b)}")
        if not (math.isnan(a) or math.isnan(b)):
            worst = max(worst, abs(a - b))
    return "; ".join(parts), worst


def _ps(value):
    return "-" if math.isnan(value) else f"{value:.2f}"


def characterize_cell(folder, schematic=False, own_bench=False):
    extracted = glob.glob(os.path.join(folder, "*_extracted.cir"))
    (netlist,) = (
        extracted if extracted and not schematic else glob.glob(os.path.join(folder, "*_base.cir"))
    )
    verilog = [p for p in glob.glob(os.path.join(folder, "*.v")) if "selfcontained" not in p]
    if not verilog:
        return {
            "cell": os.path.basename(folder),
            "error": "no behavioural Verilog naming the ports",
        }
    inputs, outputs = _ports(verilog[0])
    cell = re.search(r"^\.subckt\s+(\S+)", open(netlist).read(), re.M | re.I).group(1)
    ports = re.search(
        rf"^\.subckt\s+{re.escape(cell)}\s+([^\n]*)", open(netlist).read(), re.M | re.I
    )
    names = [p for p in ports.group(1).split() if "=" not in p]
    outputs = [p for p in outputs if p.lower() in {n.lower() for n in names}]
    # a port the Verilog leaves out (an unused clock) is driven as an input
    inputs = [n for n in names if n.lower() not in {o.lower() for o in outputs}]
    if not inputs:
        return {"cell": cell, "error": "no input port: nothing to characterize"}
    clock = "clk" if "clk" in inputs else None
    ptl_in = _line_fed_inputs(folder, inputs)
    began = time.perf_counter()
    bench = glob.glob(os.path.join(folder, "*_testbench.cir"))
    if own_bench and bench:
        result = characterize(netlist, cell, inputs, outputs, clock, bench=bench[0], progress=False)
    else:
        result = characterize(netlist, cell, inputs, outputs, clock, ptl_in=ptl_in, progress=False)
    seconds = time.perf_counter() - began
    nominal = result.delays.query("load == @result.loads[0] and bias == 1.0")
    delays = {(r.state, r["from"].lower(), r.to.lower()): r.delay_ps for _, r in nominal.iterrows()}
    checks = {
        (r.state, r.first.lower(), r.second.lower()): r.value_ps
        for r in result.constraints.itertuples()
        if not math.isnan(r.value_ps)
    }
    scheduled = {
        (r.state, r.first.lower(), r.second.lower()): r.pass_ps
        for r in result.constraints.itertuples()
        if not math.isnan(r.value_ps)
    }
    published = _published(folder) or ({}, {})
    delay_text, delay_worst = _compare(delays, published[0])
    check_text, check_worst = _compare(checks, published[1])
    scheduled_text, scheduled_worst = _compare(scheduled, published[1])
    failed = "; ".join(f"load {ld} bias {b:g}: {why}" for ld, b, why in result.failures)
    return {
        "cell": cell,
        "netlist": os.path.basename(netlist),
        "states": len(result.states),
        "delays": delay_text,
        "delay_worst_ps": delay_worst if published[0] else math.nan,
        "constraints": check_text,
        "constraint_worst_ps": check_worst if published[1] else math.nan,
        "scheduled": scheduled_text,
        "scheduled_worst_ps": scheduled_worst if published[1] else math.nan,
        "failed_corners": failed,
        "ptl_in": " ".join(result.ptl["in"]),
        "ptl_out": " ".join(result.ptl["out"]),
        "runs": result.runs,
        "seconds": seconds,
        "sdf": bool(published[0] or published[1]),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("library")
    parser.add_argument("-o", "--output", default="characterize_library.csv")
    parser.add_argument("--cells", help="folder name parts, e.g. DFF,JTL (default: all)")
    parser.add_argument("--schematic", action="store_true", help="the *_base.cir netlists")
    parser.add_argument(
        "--own-bench", action="store_true", help="the library's own *_testbench.cir as the bench"
    )
    args = parser.parse_args(argv)
    folders = sorted(glob.glob(os.path.join(args.library, "mitll_*")))
    if args.cells:
        wanted = {c.strip().upper() for c in args.cells.split(",")}
        folders = [f for f in folders if os.path.basename(f)[6:].upper() in wanted]
    rows = []
    for folder in folders:
        try:
            row = characterize_cell(folder, args.schematic, args.own_bench)
        except Exception as exc:  # a cell that fails is a row of the table, not the end
            row = {"cell": os.path.basename(folder), "error": f"{type(exc).__name__}: {exc}"}
        rows.append(row)
        print(row, flush=True)
    import pandas as pd

    pd.DataFrame(rows).to_csv(args.output, index=False)
    print(f"written {args.output}", file=sys.stderr)
    print(markdown(rows))


def markdown(rows):
    """The closing table: one line per cell."""
    out = [
        "| cell | states | delays ours/published (ps) | worst | constraints ours/published (ps) "
        "| worst | corners left out | s |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        if "error" in row and isinstance(row.get("error"), str):
            out.append(f"| {row['cell']} | | {row['error']} | | | | | |")
            continue
        failed = row["failed_corners"].count("load ") if row["failed_corners"] else 0
        out.append(
            f"| {row['cell'].replace('THmitll_', '')} | {row['states']} | {row['delays']} "
            f"| {_ps(row['delay_worst_ps'])} | {row['constraints']} "
            f"| {_ps(row['constraint_worst_ps'])} | {failed} | {row['seconds']:.1f} |"
        )
    return "\n".join(out)


if __name__ == "__main__":
    main()
