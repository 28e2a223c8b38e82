"""Run every netlist of a folder through the peer simulator and through loxant, and
tabulate whether each runs and how far their traces and switch times differ.

    python tools/compare_with_peer.py FOLDER [--peer josim-cli] [--csv table.csv]

Netlists are files ending .cir, .js, .jsm or .inp.  Each run happens in a fresh
temporary folder holding a copy of the netlist (and the folder's other files, for
includes), so ``.file`` outputs stay out of FOLDER.  A trace's difference is the
largest difference over the run relative to the trace's largest magnitude, the
loxant trace interpolated at the peer's times (also over the run's last nine
tenths, once start-up transients have passed); switch times are the crossings of
pi + 2 pi k by phase traces and the pulses (maxima above half the largest) of
voltage traces, paired in order when both runs have as many.  Run it with the loxant to
measure on the path (PYTHONPATH); ``--no-peer`` only reads and runs with loxant.
"""

import argparse
import csv
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
from scipy.signal import find_peaks

from loxant.netlist import Netlist

SUFFIXES = (".cir", ".js", ".jsm", ".inp")


def netlists(folder):
    return sorted(
        os.path.join(folder, name) for name in os.listdir(folder) if name.endswith(SUFFIXES)
    )


def staged(path):
    """A temporary copy of the netlist's folder; the copy of the netlist in it."""
    where = tempfile.mkdtemp(prefix="peer-compare-")
    for name in os.listdir(os.path.dirname(path) or "."):
        source = os.path.join(os.path.dirname(path), name)
        if os.path.isfile(source):
            shutil.copy(source, where)
    return where, os.path.join(where, os.path.basename(path))


def run_peer(peer, path, timeout):
    """(time, {column: values}) of the peer's run, or a reason it gave none."""
    out = os.path.join(os.path.dirname(path), "peer-output.csv")
    for name in os.listdir(os.path.dirname(path)):  # no output of an earlier run
        if name.lower().endswith((".csv", ".dat")):
            os.remove(os.path.join(os.path.dirname(path), name))
    try:
        done = subprocess.run(
            [peer, path, "-o", out, "-m"],
            cwd=os.path.dirname(path),
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return f"no result within {timeout} s"
    if not os.path.exists(out):
        lines = (done.stderr or done.stdout).strip().splitlines()
        return "refused: " + (lines[-1][:100] if lines else f"exit {done.returncode}")
    # the requests after a .file go to that file, the others to the -o file
    time, traces = None, {}
    for name in sorted(os.listdir(os.path.dirname(path))):
        if name.lower().endswith((".csv", ".dat")):
            table = read_table(os.path.join(os.path.dirname(path), name))
            if table is not None:
                time = table[0] if time is None or len(table[0]) > len(time) else time
                traces.update(table[1])
    return time, traces


def read_table(path):
    """(time, {column: values}) of a CSV or space-separated output file."""
    with open(path) as stream:
        lines = [line for line in stream.read().splitlines() if line.strip()]
    if len(lines) < 2:
        return None
    comma = "," in lines[0]
    split = (lambda line: next(csv.reader([line]))) if comma else str.split
    header = [name.strip('"').upper() for name in split(lines[0])]
    try:
        data = np.array([[float(x) for x in split(line)] for line in lines[1:]])
    except ValueError:
        return None
    return data[:, 0], {name: data[:, k] for k, name in enumerate(header) if k}


def flat(label):
    """``I(LQ|XI0)`` as older flows spell it, ``I(XI0_LQ)``."""
    kind, _, names = label.partition("(")
    parts = names.rstrip(")").split("|")
    return f"{kind}({'_'.join([*reversed(parts[1:]), parts[0]])})" if len(parts) > 1 else label


def run_loxant(path, also=()):
    """(time, {label: values}, warnings) of loxant's run, or a reason it gave none;
    ``also``: further labels of the peer's output (node phases it printed when no
    request of the file named a device it knows), taken when loxant has them."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            net = Netlist.from_file(path)
            labels = list(net.probes)
            known = set(net.nodes())
            for label in also:
                node = label[2:-1]
                if label.startswith("P(") and node in known and len(labels) < 40:
                    labels.append(label)
            record = net.record() or []
            record += [f"phase({label[2:-1]})" for label in labels[len(net.probes) :]]
            results = net.simulate(record=record or None)  # the requests, as the CLI keeps
        except Exception as exc:  # the table reports any refusal
            return f"refused: {str(exc).splitlines()[0][:100]}"
    traces = {label: results.trace(label)[1] for label in labels}
    return results.time("s"), traces, len(caught)


def switch_times(time, values, label):
    if label.startswith("P("):
        levels = np.floor((values - math.pi) / (2 * math.pi))
        return time[1:][np.diff(levels) != 0]
    if label.startswith("V("):
        peak = np.max(np.abs(values))
        if peak == 0:
            return time[:0]
        # the pulses: maxima above half the largest, standing out by a quarter of it
        found, _ = find_peaks(np.abs(values), height=peak / 2, prominence=peak / 4)
        return time[found]
    return time[:0]


def compare(peer, ours):
    """(traces compared, largest trace difference over the run and over its last
    nine tenths, largest switch-time difference or a note)."""
    peer_time, peer_traces = peer
    our_time, our_traces = ours[:2]
    pairs = []
    for label in our_traces:
        grounded = label.upper()[:-1] + ",0)"  # the peer writes V(1,0) for V(1)
        for spelling in (label.upper(), flat(label).upper(), grounded):
            if spelling in peer_traces:
                pairs.append((label, spelling))
                break
    worst, later, shift, notes = 0.0, 0.0, 0.0, []
    settled = peer_time >= 0.1 * peer_time[-1]
    for label, column in pairs:
        theirs = peer_traces[column]
        mine = np.interp(peer_time, our_time, our_traces[label])
        scale = np.max(np.abs(theirs)) or 1.0
        worst = max(worst, float(np.max(np.abs(mine - theirs)) / scale))
        later = max(later, float(np.max(np.abs(mine - theirs)[settled]) / scale))
        a = switch_times(peer_time, theirs, label)
        b = switch_times(our_time, our_traces[label], label)
        if len(a) == len(b):
            if len(a):
                shift = max(shift, float(np.max(np.abs(a - b))))
        else:
            notes.append(f"{label}: {len(b)} switches, peer {len(a)}")
    return len(pairs), worst, later, (notes[0] if notes else shift)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--peer", default="josim-cli", help="the peer's command")
    parser.add_argument("--no-peer", action="store_true", help="run loxant only")
    parser.add_argument("--timeout", type=float, default=600.0)
    parser.add_argument("--csv", help="also write the table to this CSV file")
    args = parser.parse_args(argv)
    rows = []
    for path in netlists(args.folder):
        where, copy = staged(path)
        try:
            peer = "not run" if args.no_peer else run_peer(args.peer, copy, args.timeout)
            started = time.perf_counter()
            ours = run_loxant(copy, () if isinstance(peer, str) else list(peer[1]))
            seconds = time.perf_counter() - started
        finally:
            shutil.rmtree(where, ignore_errors=True)
        row = {"file": os.path.basename(path), "peer": "runs", "loxant": "runs"}
        row["loxant_seconds"] = f"{seconds:.1f}"
        if isinstance(peer, str):
            row["peer"] = peer
        if isinstance(ours, str):
            row["loxant"] = ours
        else:
            row["warnings"] = ours[2]
        if not isinstance(peer, str) and not isinstance(ours, str):
            count, worst, later, shift = compare(peer, ours)
            row["traces"] = count
            row["max_trace_difference"] = f"{worst:.2%}"
            row["after_first_tenth"] = f"{later:.2%}"
            row["max_switch_difference"] = (
                f"{shift * 1e12:.3f} ps" if isinstance(shift, float) else shift
            )
        rows.append(row)
        print(" | ".join(f"{k}={v}" for k, v in row.items()), flush=True)
    if args.csv:
        keys = list(dict.fromkeys(k for row in rows for k in row))
        with open(args.csv, "w", newline="") as stream:
            writer = csv.DictWriter(stream, fieldnames=keys)
            writer.writeheader()
            writer.writerows(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
