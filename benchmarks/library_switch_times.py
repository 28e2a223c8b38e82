"""Switch times of the ColdFlux RSFQ library's testbenches, to show that an engine
change moves no library result.

For every ``mitll_*/*_testbench.cir`` under the library folder: each junction's
times of passing an odd multiple of pi (every junction of the expanded circuit),
and the Newton solves per step.  ``--save FILE`` writes them as JSON;
``--against FILE`` compares them with a file saved by another build (largest
difference per cell, in fs, and any junction whose number of switches changed);
``--josim PATH`` also runs the peer simulator on each testbench and compares
the phases its ``.print`` lines request.

    python benchmarks/library_switch_times.py LIBRARY --save before.json
    python benchmarks/library_switch_times.py LIBRARY --against before.json [--josim josim-cli]
"""

import argparse
import json
import math
import pathlib
import subprocess
import sys
import tempfile
import warnings

import numpy as np

from loxant import read_netlist


def crossings(t, phase):
    """Times at which ``phase`` passes an odd multiple of pi, interpolated."""
    level = np.floor((phase + math.pi) / (2 * math.pi))
    times = []
    for i in np.nonzero(np.diff(level))[0]:
        at = (2 * max(level[i], level[i + 1]) - 1) * math.pi
        times.append(t[i] + (at - phase[i]) / (phase[i + 1] - phase[i]) * (t[i + 1] - t[i]))
    return times


def run_cell(path):
    """(switch times per junction, solves per step, the .print traces by label)."""
    net = read_netlist(str(path))
    res = net.simulate(record="all")
    t = res.time("s")
    junctions = [name for name in res.elements if name.upper().startswith("B")]
    times = {name: crossings(t, res.phase(name)) for name in junctions}
    printed = {label.upper(): (t, values) for label, _, values in net.traces(res)}
    return times, res.stats["solves"] / res.stats["steps"], printed


def against_peer(josim, path, printed, tmp):
    """Largest |loxant - peer| switch time (s) over the printed phases, and the
    labels whose number of switches differs."""
    out = pathlib.Path(tmp) / "peer.csv"
    subprocess.run([josim, str(path), "-o", str(out)], capture_output=True, check=True)
    header = out.read_text().splitlines()[0].split(",")
    table = np.loadtxt(out, delimiter=",", skiprows=1)
    worst, differ = 0.0, []
    for column, label in enumerate(header):
        label = label.strip('"').upper()
        if not label.startswith("P(") or label not in printed:
            continue
        peer = crossings(table[:, 0], table[:, column])
        ours = crossings(*printed[label])
        if len(peer) != len(ours):
            differ.append(label)
        elif peer:
            worst = max(worst, float(np.abs(np.subtract(peer, ours)).max()))
    return worst, differ


def compare(saved, cell, times):
    """Largest switch time difference (s) against the saved run, and the
    junctions whose number of switches differs."""
    worst, differ = 0.0, []
    for name, ours in times.items():
        theirs = saved.get(cell, {}).get("times", {}).get(name, [])
        if len(theirs) != len(ours):
            differ.append(name)
        elif ours:
            worst = max(worst, float(np.abs(np.subtract(theirs, ours)).max()))
    return worst, differ


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("library", help="the folder holding the mitll_* cells")
    parser.add_argument("--save", help="write the switch times to this JSON file")
    parser.add_argument("--against", help="compare with switch times saved by another build")
    parser.add_argument("--josim", help="the peer's command-line program, to compare with")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    saved = json.loads(pathlib.Path(args.against).read_text()) if args.against else None
    found, total, worst = {}, 0, 0.0
    with tempfile.TemporaryDirectory() as tmp:
        for path in sorted(pathlib.Path(args.library).glob("mitll_*/*_testbench.cir")):
            cell = path.parent.name
            times, solves, printed = run_cell(path)
            found[cell] = {"times": times, "solves_per_step": solves}
            switches = sum(len(v) for v in times.values())
            total += switches
            line = f"{cell:24s} {switches:4d} switches, {solves:.3f} solves/step"
            if saved is not None:
                moved, differ = compare(saved, cell, times)
                worst = max(worst, moved)
                line += f", moved {moved * 1e15:.4f} fs" + (
                    f", counts differ: {differ}" if differ else ""
                )
            if args.josim:
                peer, differ = against_peer(args.josim, path, printed, tmp)
                line += f", peer {peer * 1e15:.3f} fs" + (
                    f", counts differ: {differ}" if differ else ""
                )
            print(line, flush=True)
    print(
        f"{len(found)} cells, {total} switches"
        + (f", largest move {worst * 1e15:.4f} fs" if saved else "")
    )
    if args.save:
        pathlib.Path(args.save).write_text(json.dumps(found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
