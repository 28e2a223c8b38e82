"""``loxant optimize`` on public cells, beside the figures of the tools it replaces.

- ``dff DIR``: josim-tools' DFF example (``examples/cadance_aao_dff_comparison``
  of qedalab/josim-tools): from ``dff_starting_values.cir``, the 9 parameters and
  bounds of its ``optimization.toml`` optimised, the 17 parameters its log
  analyses judged.  Optimised under the switching at nominal (the 10 junctions of
  its expected behaviour, 10 ps) and, when this loxant reads expected-behaviour files, under
  ``dff_specification.sp`` (threshold 0.2).  Each result, the start and
  josim-tools' own ``dff_josim_tools_optimized.cir`` are margined under both
  criteria.
- ``dfft TESTBENCH``: the ColdFlux DFFT testbench with ``--dut XDUT`` and its 24
  element values (B1-B9, IB1-IB4, L1-L11) within 0.5-2x.

With ``--josim PATH`` each written netlist is run by JoSIM: its printed phases
must switch as loxant's do (counts, and times within 1 ps), and for ``dfft``
every bound of the margin table is checked with JoSIM: just inside it passes,
two resolutions beyond it fails.  Every command is timed as its own process
(wall and CPU seconds); the machine's load is printed, since other work shares
its cores.

    python benchmarks/bench_optimize.py dff PATH/TO/cadance_aao_dff_comparison [--josim PATH]
    python benchmarks/bench_optimize.py dfft PATH/TO/THmitll_DFFT_v3p0_testbench.cir [--josim PATH]
"""

import argparse
import csv
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

LOXANT = [sys.executable, "-m", "loxant"]
NINE = "LD_margin LQ_margin LO_margin LREL_margin J1_margin J2_margin J3_margin J4_margin I1_margin"
NINE_BOUNDS = ["0.2:2"] * 4 + ["0.5:1.5"] * 5
JUDGED = "Itotal Jtotal Ltotal Rtotal RJ1_margin RJ2_margin RJ3_margin RJ4_margin"
EXPECTED_JUNCTIONS = (
    "B1|XINREL1 B1|XINREL2 B1|XIND1 B1|XIND2 B1|XO1 B1|XO2 B1|XDUT B2|XDUT B3|XDUT B4|XDUT"
)
DFFT_PARAMS = ["B?.XDUT", "IB?.XDUT", "L?.XDUT", "L1?.XDUT"]


def timed(command):
    """(wall s, stdout, stderr) of ``command`` as its own process."""
    start = time.perf_counter()
    process = subprocess.run(command, capture_output=True, text=True)
    out, err = process.stdout, process.stderr
    wall = time.perf_counter() - start
    if process.returncode != 0:
        raise SystemExit(f"failed ({process.returncode}): {' '.join(command)}\n{err}")
    return wall, out, err


def cpu_of_children():
    """CPU seconds of the finished child processes so far."""
    usage = os.times()
    return usage.children_user + usage.children_system


def critical(text):
    match = re.search(r"critical margin: (≥ )?([\d.]+) % \(([^)]*)\)", text)
    return f"{match.group(1) or ''}{match.group(2)} % ({match.group(3)})" if match else "?"


def reads_expected_behaviour():
    done = subprocess.run(LOXANT + ["margins", "--help"], capture_output=True, text=True)
    return "--expected" in done.stdout


# -- the DFF of josim-tools -----------------------------------------------------


def dff_criteria(folder):
    criteria = {"as at nominal": ["--junctions", *EXPECTED_JUNCTIONS.split()]}
    if reads_expected_behaviour():
        expected = os.path.join(folder, "dff_specification.sp")
        criteria["expected behaviour"] = ["--expected", expected, "--threshold", "0.2"]
    return criteria


def dff_margins(netlist, criterion):
    command = LOXANT + ["margins", netlist, "--params", *NINE.split(), *JUDGED.split()]
    command += ["--no-global-bias", "--range", "-90", "90", "--serial", "-q", *criterion]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode == 1:  # the nominal run fails this criterion
        return "fails at nominal"
    return critical(done.stdout)


def dff(folder, josim, work):
    start = os.path.join(folder, "dff_starting_values.cir")
    theirs = os.path.join(folder, "dff_josim_tools_optimized.cir")
    criteria = dff_criteria(folder)
    rows = [("start", start, None, None, None), ("josim-tools' result", theirs, None, None, None)]
    for name, criterion in criteria.items():
        out = os.path.join(work, f"dff_{name.replace(' ', '_')}.cir")
        runs = out + ".runs.csv"
        command = LOXANT + ["optimize", start, "--params", *NINE.split()]
        command += ["--bounds", *NINE_BOUNDS, "--margins-of", *JUDGED.split()]
        command += ["--no-global-bias", "--range", "-90", "90", "--serial", "-q"]
        command += [*criterion, "-o", out, "--runs", runs]
        cpu = cpu_of_children()
        wall, _, err = timed(command)
        cpu = cpu_of_children() - cpu
        count = sum(1 for _ in open(runs)) - 1
        rows.append((f"optimised under {name}", out, count, wall, cpu))
        print(err.strip().splitlines()[-1], file=sys.stderr)
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    header = ["design", *(f"critical, {c}" for c in criteria), "runs", "wall s", "CPU s"]
    print(" | ".join(header))
    for label, path, count, wall, cpu in rows:
        margins = [dff_margins(path, c) for c in criteria.values()]
        extra = ["", "", ""] if count is None else [str(count), f"{wall:.0f}", f"{cpu:.0f}"]
        print(" | ".join([label, *margins, *extra]))
        if josim and count is not None:
            print("  JoSIM:", compare_with_josim(josim, path, EXPECTED_JUNCTIONS.split(), work))


# -- the DFFT of the ColdFlux library ---------------------------------------------


def dfft(testbench, josim, work):
    out = os.path.join(work, "dfft_optimised.cir")
    runs, table = out + ".runs.csv", out + ".table.csv"
    command = LOXANT + ["optimize", testbench, "--dut", "XDUT", "--params", *DFFT_PARAMS]
    command += ["--bounds", "0.5:2", "--serial", "-q", "-o", out, "--runs", runs]
    command += ["--table", table]
    cpu = cpu_of_children()
    wall, stdout, err = timed(command)
    cpu = cpu_of_children() - cpu
    count = sum(1 for _ in open(runs)) - 1
    print(stdout)
    print(err.strip().splitlines()[-1])
    print(
        f"load average {os.getloadavg()[0]:.1f}; {count} runs, {wall:.0f} s wall, {cpu:.0f} s CPU"
    )
    if josim:
        import loxant

        watched = [canonical(p) for p in loxant.read_netlist(out).probes if p.startswith("P(")]
        print("JoSIM runs the result:", compare_with_josim(josim, out, watched, work))
        print("JoSIM at loxant's bounds:", josim_bounds(josim, out, table, watched, work))


def canonical(probe):
    return probe[2:-1].replace(".", "|")


# -- JoSIM side by side -----------------------------------------------------------


def josim_run(josim, netlist, work):
    path = os.path.join(work, "josim.csv")
    subprocess.run(
        [josim, netlist, "-o", path],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        check=True,
    )
    with open(path, newline="") as stream:
        rows = list(csv.reader(stream))
    columns = {name: k for k, name in enumerate(rows[0])}
    data = np.array(rows[1:], dtype=float)
    return data[:, 0], {name: data[:, k] for name, k in columns.items()}


def switches(time, phase):
    """(time, sign) of each 2 pi turn: the phase passing an odd multiple of pi."""
    turns = np.floor((phase + np.pi) / (2 * np.pi))
    found = []
    for k in np.nonzero(np.diff(turns))[0]:
        sign = int(np.sign(turns[k + 1] - turns[k]))
        level = (2 * max(turns[k], turns[k + 1]) - 1) * np.pi
        t = time[k] + (level - phase[k]) / (phase[k + 1] - phase[k]) * (time[k + 1] - time[k])
        found.append((float(t), sign))
    return found


def josim_switches(josim, netlist, names, work):
    time_axis, columns = josim_run(josim, netlist, work)
    return {n: switches(time_axis, columns[f"P({n})"]) for n in names if f"P({n})" in columns}


def loxant_switches(netlist, names):
    import loxant

    results = loxant.read_netlist(netlist).simulate()
    return {n: switches(results.time(), results.phase(n)) for n in names}


def compare_with_josim(josim, netlist, names, work):
    ours = loxant_switches(netlist, names)
    theirs = josim_switches(josim, netlist, list(ours), work)
    if not theirs:
        return "JoSIM printed none of the watched phases (add .print PHASE lines)"
    worst = 0.0
    for name, events in theirs.items():
        if [s for _, s in events] != [s for _, s in ours[name]]:
            return f"differ: {name} switches {len(events)} times in JoSIM, {len(ours[name])} here"
        worst = max([worst] + [abs(a - b) for (a, _), (b, _) in zip(events, ours[name])])
    return f"same switches in {len(theirs)} phases, times within {worst * 1e12:.4f} ps"


def josim_bounds(josim, netlist, table_path, names, work, resolution=1.0, window=10e-12):
    """Each bound of loxant's margin table of ``netlist``, run by JoSIM just inside
    (must pass) and two resolutions beyond (must fail) under the switching of
    JoSIM's own nominal run."""
    import loxant
    from loxant.analysis.netlist_edit import NetlistEdit
    from loxant.analysis.optimize import prepare

    table = list(csv.DictReader(open(table_path)))
    nominal = josim_switches(josim, netlist, names, work)
    source = loxant.read_netlist(netlist)
    agree, checked, notes = 0, 0, []
    for row in table:
        name = row["parameter"]
        design, canonical_names = prepare(source, [name], dut="XDUT")
        edit = NetlistEdit(source, design, canonical_names)
        for side, sign in (("low", -1), ("high", 1)):
            bound = float(row[f"{side} % after"])
            if abs(bound) >= 59.99:
                continue
            verdicts = []
            for beyond in (0.0, 2 * resolution):
                factor = 1 + (bound + sign * beyond) / 100
                path = os.path.join(work, "scaled.cir")
                with open(path, "w") as stream:
                    stream.write(edit.text({canonical_names[0]: factor}))
                verdicts.append(_same(josim_switches(josim, path, names, work), nominal, window))
            checked += 1
            if verdicts == [True, False]:
                agree += 1
            else:
                notes.append(f"{name} {side} {bound:g} %: JoSIM {verdicts}")
    return f"{agree} of {checked} bounds agree" + ("; " + "; ".join(notes) if notes else "")


def _same(found, nominal, window):
    for name, events in nominal.items():
        got = found.get(name, [])
        if [s for _, s in got] != [s for _, s in events]:
            return False
        if any(abs(a - b) > window for (a, _), (b, _) in zip(got, events)):
            return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("case", nargs="?", choices=["dff", "dfft"])
    parser.add_argument("path", nargs="?", help="the DFF example folder, or the DFFT testbench")
    parser.add_argument("--josim", help="josim-cli, to run the written netlists")
    args = parser.parse_args()
    if args.case is None or args.path is None:  # run_all.py: the public files are not here
        print("bench_optimize.py needs the public files: dff FOLDER or dfft TESTBENCH")
        return
    with tempfile.TemporaryDirectory() as work:
        if args.case == "dff":
            dff(args.path, args.josim, work)
        else:
            dfft(args.path, args.josim, work)


if __name__ == "__main__":
    main()
