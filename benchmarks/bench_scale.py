"""Large netlists and the process floor, whole process, loxant beside the peer
(JoSIM), paired in one run: processor time, wall time and peak memory of each
finished process (from ``os.wait4``), medians over ``--repeat`` pairs taken in
turn (A B A B ...), and the ratio pair by pair.

- ``fanout``: a hierarchy expanding to a million resistors and inductors
  (``library_shapes.fanout``);
- ``flat100k``, ``hier100k``: 100 000 elements written flat and as 7 000
  instances of two cells (``bench_reader``);
- ``ex_ksa4bit``, ``ex_jtl_string``: the peer's own large examples;
- ``rcsj10000``: the RCSJ line of 10 000 stages (``bench_real_circuits``);
- ``ten``: a ten-element deck, beside ``python -c "import numpy"``: the floor.

    python benchmarks/bench_scale.py [--full | --cases NAME ...] [--repeat N]
        [--loxant CMD] [--peer CMD] [--write DIR]

By default the floor and ex_ksa4bit; ``--full`` every case.  The peer runs
where ``josim-cli`` is on the path, with ``-m``: without it, its progress
output (thrown away here) takes half its time on the large circuits.

``--loxant 'python NAME=VALUE ...'`` runs the netlists through
``run_netlist.py`` with those ``simulate`` options.
"""

import argparse
import os
import pathlib
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
PEER_TESTS = pathlib.Path("/work/peers/josim/test")

TEN = """\
* ten elements: a two-junction line, its input and its load
.model jj1 jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)
I1 0 1 pulse(0 600u 10p 2p 2p 3p)
L1 1 2 2p
B1 2 0 jj1 area=2.5
IB1 0 2 pwl(0 0 5p 175u)
L2 2 3 2p
B2 3 0 jj1 area=2.5
IB2 0 3 pwl(0 0 5p 175u)
R1 3 4 2
L3 4 0 2p
R2 1 0 100
.tran 0.025p 100p
.print p(B1) p(B2)
.end
"""


CASES = ("fanout", "flat100k", "hier100k", "ex_ksa4bit", "ex_jtl_string", "rcsj10000", "ten")
PEER_RUNS = ("ex_ksa4bit", "ex_jtl_string", "rcsj10000")


def netlists():
    """name -> netlist text (imports the package: called in a child process, so
    that this one stays small, its memory being counted in its children's peak)."""
    sys.path.insert(0, str(HERE))
    from bench_reader import flat_jtl, hierarchy  # sibling scripts, not a package
    from bench_real_circuits import rcsj_netlist
    from library_shapes import fanout

    rcsj, _ = rcsj_netlist()
    rcsj = rcsj.replace("\n.tran", "\n.print p(B1) p(B100) p(B10000)\n.tran")
    found = {
        "fanout": fanout(),
        "flat100k": flat_jtl(30_000),
        "hier100k": hierarchy(7_000),
        "rcsj10000": rcsj,
        "ten": TEN,
    }
    for name in ("ex_ksa4bit", "ex_jtl_string"):
        found[name] = (PEER_TESTS / f"{name}.cir").read_text()
    return found


def measured(args):
    """(processor seconds, wall seconds, peak MiB) of one whole process."""
    started = time.perf_counter()
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{shlex.join(args)} failed")
    return usage.ru_utime + usage.ru_stime, wall, usage.ru_maxrss / 1024


def loxant_args(command, path, out):
    if command[0] == "python":
        return [sys.executable, str(HERE / "run_netlist.py"), path, out, *command[1:]]
    return [*command, "run", "-q", path, "-o", out]


def paired(a, b, repeat, warm_up=True):
    """Medians of A's and B's figures and of the ratios A / B, pair by pair."""
    rows_a, rows_b = [], []
    for command in (a, b) if warm_up else ():  # a warm-up of each, not counted
        if command:
            measured(command)
    for _ in range(repeat):
        rows_a.append(measured(a))
        if b:
            rows_b.append(measured(b))
    median = lambda rows, k: statistics.median(r[k] for r in rows)  # noqa: E731
    result = {"a": [median(rows_a, k) for k in range(3)]}
    if b:
        result["b"] = [median(rows_b, k) for k in range(3)]
        result["ratio"] = statistics.median(x[0] / y[0] for x, y in zip(rows_a, rows_b))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", nargs="+", choices=CASES, default=["ten", "ex_ksa4bit"])
    parser.add_argument("--full", action="store_true", help="every case")
    parser.add_argument("--repeat", type=int, default=3, help="counted pairs (default 3)")
    parser.add_argument("--loxant", default="loxant", help="the loxant command")
    parser.add_argument(
        "--peer", default=shutil.which("josim-cli") or "", help="the peer's command"
    )
    parser.add_argument("--write", metavar="DIR", help="write the netlists to DIR and stop")
    args = parser.parse_args()
    if args.full:
        args.cases = list(CASES)
    if not PEER_TESTS.is_dir():
        args.cases = [name for name in args.cases if not name.startswith("ex_")]
    if args.write:
        pathlib.Path(args.write).mkdir(parents=True, exist_ok=True)
        found = netlists()
        for name in args.cases:
            (pathlib.Path(args.write) / f"{name}.cir").write_text(found[name])
        return 0
    loxant, peer = shlex.split(args.loxant), shlex.split(args.peer)
    print(
        "| case | loxant CPU (s) | wall (s) | peak (MiB) | other | CPU (s) | peak (MiB) | CPU ratio |"
    )
    print("|---|---:|---:|---:|---|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as where:
        subprocess.run(
            [sys.executable, __file__, "--write", where, "--cases", *args.cases], check=True
        )
        for name in args.cases:
            path = os.path.join(where, f"{name}.cir")
            a = loxant_args(loxant, path, os.path.join(where, f"{name}-lx.csv"))
            if name == "ten":
                other, b = "import numpy", [sys.executable, "-c", "import numpy"]
            elif name in PEER_RUNS and peer:
                out = os.path.join(where, f"{name}-peer.csv")
                other, b = "peer", [*peer, "-m", "-o", out, path]  # its options first
            else:
                other, b = "", None
            big = name == "fanout"  # a minute or more a run: once, no warm-up
            r = paired(a, b, 1 if big else args.repeat, warm_up=not big)
            cpu, wall, peak = r["a"]
            tail = " | | | |"
            if b:
                tail = f" {other} | {r['b'][0]:.3f} | {r['b'][2]:.0f} | {r['ratio']:.2f} |"
            print(f"| {name} | {cpu:.3f} | {wall:.2f} | {peak:.0f} |{tail}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
