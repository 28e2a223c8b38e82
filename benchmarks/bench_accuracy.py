"""The error of a run at the netlist's own time step against the converged
answer, the same circuit at a tenth of that step, for loxant and beside it the
peer (JoSIM), each against its own converged run.

The error is measured on switching: the times at which a phase (of a junction,
or of a node that carries pulses) passes pi, 3 pi, ..., found on a cubic
spline through the printed samples, then the largest and the median distance
of each switch from the same switch of the converged run.  A run with another
count of switches than its converged run is reported as such.

    python benchmarks/bench_accuracy.py [--loxant CMD] [--peer CMD] [--full | --only NAME ...]

The circuits: the peer's ex_ksa4bit and ex_jtl_string (its ``test`` folder),
the RCSJ line of 10 000 stages of ``bench_real_circuits.py`` and five cell
testbenches of the ColdFlux library; by default two of those, with
``--full`` all (the line's converged run takes minutes).  Each run is a whole process of the
command line (``loxant run -q FILE -o OUT.csv``), so the figures are what a
user gets.
"""

import argparse
import math
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from scipy.interpolate import CubicSpline
from scipy.optimize import brentq

HERE = pathlib.Path(__file__).resolve().parent
PEER_TESTS = pathlib.Path("/work/peers/josim/test")
LIBRARY = pathlib.Path("/work/peers/RSFQlib/RSFQlib")
LIBRARY_CELLS = ("DFF", "AND2", "NDRO", "XOR", "SPLIT")

# The phases each circuit prints: nodes along the path of the pulses.
KSA_NODES = ["1200", "2200", "2201", "2202", "2203", "3200", "3201", "3202", "3203"]
JTL_STRING_NODES = ["1", "2", "3"]


def circuits():
    """(name, netlist text, phase outputs) of every circuit measured whose
    files are on this machine."""
    sys.path.insert(0, str(HERE))
    from bench_real_circuits import rcsj_netlist  # a sibling script, not a package

    found = []
    for name, nodes in (("ex_ksa4bit", KSA_NODES), ("ex_jtl_string", JTL_STRING_NODES)):
        if (PEER_TESTS / f"{name}.cir").exists():
            found.append((name, (PEER_TESTS / f"{name}.cir").read_text(), nodes))
    text, _ = rcsj_netlist()
    found.append(("rcsj10000", text, ["B1", "B100", "B1000", "B5000", "B10000"]))
    for cell in LIBRARY_CELLS:
        path = next((LIBRARY / f"mitll_{cell}").glob("*_testbench.cir"), None)
        if path is not None:
            found.append((f"lib_{cell}", path.read_text(), None))
    return found


TRAN = re.compile(r"^\s*\.tran\s+(\S+)\s+(\S+)(.*)$", re.IGNORECASE | re.MULTILINE)
PRINT = re.compile(r"^\s*\.(print|plot|save)\b.*$", re.IGNORECASE | re.MULTILINE)
PHASE_PRINT = re.compile(r"\bp\(([^)\s]+)\)", re.IGNORECASE)
SI = {"f": 1e-15, "p": 1e-12, "n": 1e-9, "u": 1e-6}


def seconds(text):
    match = re.fullmatch(r"([0-9.eE+-]+)([a-zA-Z]*)", text)
    scale = SI.get(match.group(2)[:1].lower(), 1.0) if match.group(2) else 1.0
    return float(match.group(1)) * scale


def variant(text, phases, divide):
    """The netlist with its time step (and print step) divided by `divide`, its
    output requests replaced by the phases measured; (text, print step)."""
    match = TRAN.search(text)
    step, stop = seconds(match.group(1)), match.group(2)
    if phases is None:  # the testbench's own phase requests
        phases = [
            m.group(1) for line in PRINT.finditer(text) for m in PHASE_PRINT.finditer(line.group(0))
        ]
    body = PRINT.sub("", text)
    fine = step / divide
    tran = f".tran {fine:.6g} {stop} 0 {fine:.6g}"
    body = body[: match.start()] + tran + body[match.end() :]
    requests = "\n".join(f".print p({name})" for name in phases)
    body = re.sub(r"^\s*\.end\s*$", requests + "\n.end", body, flags=re.IGNORECASE | re.MULTILINE)
    if requests not in body:
        body += "\n" + requests + "\n.end\n"
    return body, fine


def read_csv(path, step):
    """The sample times (put back on the print grid) and {label: values}."""
    with open(path) as stream:
        header = [name.strip().strip('"').upper() for name in stream.readline().split(",")]
    data = np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)
    t = np.round(data[:, 0] / step) * step
    return t, {label: data[:, k] for k, label in enumerate(header) if k}


def switch_times(t, phase):
    """Times (s) at which the phase passes pi + 2 pi k, on a cubic spline."""
    t = t * 1e12  # in ps, where the root finder's absolute tolerance is fine
    levels = np.floor((phase - math.pi) / (2 * math.pi))
    where = np.nonzero(np.diff(levels))[0]
    if len(where) == 0:
        return np.array([])
    spline = CubicSpline(t, phase)
    times = []
    for i in where:
        level = math.pi + 2 * math.pi * max(levels[i], levels[i + 1])
        f = lambda x, lv=level: spline(x) - lv  # noqa: E731
        a, b = t[i], t[i + 1]
        times.append(brentq(f, a, b, xtol=1e-9) if f(a) * f(b) < 0 else 0.5 * (a + b))
    return np.array(times) * 1e-12


def run(command, text, step, where, tag):
    path = os.path.join(where, f"{tag}.cir")
    out = os.path.join(where, f"{tag}.csv")
    pathlib.Path(path).write_text(text)
    if command[0] == "python":
        args = [sys.executable, str(HERE / "run_netlist.py"), path, out, *command[1:]]
    elif "josim" in command[0]:
        args = command + [path, "-o", out]
    else:
        args = command + ["run", "-q", path, "-o", out]
    subprocess.run(
        args, cwd=where, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False
    )
    if not os.path.exists(out):
        return None
    return read_csv(out, step)


def error(coarse, fine):
    """(largest, median) distance in fs of each switch from the converged run's,
    or a note when the counts differ."""
    distances = []
    for label, values in coarse[1].items():
        if label not in fine[1]:
            return f"no {label} in the converged run"
        a = switch_times(coarse[0], values)
        b = switch_times(fine[0], fine[1][label])
        if len(a) != len(b):
            return f"{label}: {len(a)} switches, converged {len(b)}"
        distances.extend(np.abs(a - b))
    if not distances:
        return "no switch"
    d = np.array(distances) * 1e15
    return float(np.max(d)), float(np.median(d)), len(d)


def measure(label, command, text, phases, where):
    coarse_text, step = variant(text, phases, 1)
    fine_text, fine_step = variant(text, phases, 10)
    coarse = run(command, coarse_text, step, where, f"{label}-own")
    fine = run(command, fine_text, fine_step, where, f"{label}-tenth")
    if coarse is None or fine is None:
        return "no output"
    return error(coarse, fine)


def cell(value):
    if isinstance(value, str):
        return value
    largest, median, count = value
    return f"{largest:.2f} / {median:.2f} ({count})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--loxant",
        default="loxant",
        help="the loxant command, or 'python NAME=VALUE ...' for a run through the "
        "package with those simulate options (run_netlist.py)",
    )
    parser.add_argument(
        "--peer", default=shutil.which("josim-cli") or "", help="the peer's command"
    )
    parser.add_argument("--only", nargs="+", help="circuits to measure, by name")
    parser.add_argument("--full", action="store_true", help="every circuit")
    args = parser.parse_args()
    if not args.full and not args.only:
        args.only = ["lib_DFF", "lib_AND2"]
    print("| circuit | loxant: largest / median switch error (fs) (switches) | peer |")
    print("|---|---:|---:|")
    with tempfile.TemporaryDirectory() as where:
        for name, text, phases in circuits():
            if args.only and name not in args.only:
                continue
            ours = measure(f"{name}-lx", shlex.split(args.loxant), text, phases, where)
            theirs = (
                measure(f"{name}-peer", shlex.split(args.peer), text, phases, where)
                if args.peer
                else "not run"
            )
            print(f"| {name} | {cell(ours)} | {cell(theirs)} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
