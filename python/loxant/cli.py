"""The ``loxant`` command: run a netlist from the shell.

    loxant run FILE.cir [-o OUT] [--plot OUT.png] [-q]

``-`` reads the netlist from standard input.  ``-o`` writes the requested
traces in SI units (s, V, A, rad): ``.csv`` comma-separated with the header
``time,"P(B1)","V(2)"``, ``.dat`` space-separated, any other name an ASCII SPICE
raw file.  Without ``-o`` a summary lists every junction's 2 pi switches.
While it runs a progress bar shows on standard error (when that is a
terminal); a last line there gives steps, Newton iterations and wall time.

Exit status: 0 on success, 2 for a netlist error (or a usage error), 1 when
the simulation fails.
"""

import argparse
import math
import sys
import time

import numpy as np

from . import __version__
from .analysis.commands import add_subcommands
from .errors import CircuitError, SimulationError
from .netlist import Netlist, NetlistError
from .output import write_traces

__all__ = ["main"]

EXIT_OK, EXIT_FAILED, EXIT_NETLIST = 0, 1, 2


def build_parser():
    parser = argparse.ArgumentParser(
        prog="loxant", description="Transient simulation of superconducting circuits."
    )
    parser.add_argument("--version", action="version", version=f"loxant {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    run = commands.add_parser(
        "run",
        help="simulate a netlist",
        description="Run the .tran analysis of a netlist and write or summarise its outputs.",
    )
    run.add_argument("netlist", metavar="FILE.cir", help="netlist file, - for standard input")
    run.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write the requested traces: .csv, .dat, or a SPICE raw file for other names",
    )
    run.add_argument(
        "--adaptive",
        action="store_true",
        help="adaptive time step with error control, the .tran tstep as its largest step",
    )
    run.add_argument("--plot", metavar="OUT.png", help="plot the requested traces to this image")
    run.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no statistics line"
    )
    run.set_defaults(func=run_command)
    add_subcommands(commands)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_NETLIST
    try:
        return args.func(args)
    except KeyboardInterrupt:
        print("loxant: interrupted", file=sys.stderr)
        return 130


def _read(name):
    if name == "-":
        return Netlist.from_string(sys.stdin.read(), name="<stdin>")
    return Netlist.from_file(name)


def run_command(args):
    try:
        netlist = _read(args.netlist)
        if netlist.tran is None:
            raise NetlistError("the netlist has no .tran analysis", netlist.file)
        probes = netlist.probes or _default_probes(netlist)
    except NetlistError as exc:
        print(exc, file=sys.stderr)
        return EXIT_NETLIST
    started = time.perf_counter()
    try:
        with _Progress(netlist, enabled=not args.quiet and sys.stderr.isatty()) as progress:
            netlist.adaptive = netlist.adaptive or args.adaptive
            results = netlist.simulate(
                record=netlist.record(junctions=not args.output), progress=progress.update
            )
    except SimulationError as exc:
        print(f"{netlist.file}: simulation failed: {exc}", file=sys.stderr)
        return EXIT_FAILED
    except CircuitError as exc:
        print(f"{netlist.file}: {exc}", file=sys.stderr)
        return EXIT_NETLIST
    wall = time.perf_counter() - started

    time_axis = results.time("s")
    traces = [(label, *results.trace(label)) for label in probes]
    try:
        if args.output:
            kind = write_traces(args.output, time_axis, traces, netlist.title)
            if not args.quiet:
                print(
                    f"wrote {len(traces)} traces, {len(time_axis)} samples ({kind}) to {args.output}"
                )
        else:
            summarise(netlist, results)
        netlist.write_files(results)  # the .file requests, each to its file
        if args.plot:
            plot(args.plot, time_axis, traces, netlist.title or netlist.file)
    except OSError as exc:
        print(f"loxant: cannot write {exc.filename}: {exc.strerror}", file=sys.stderr)
        return EXIT_FAILED
    except ImportError:
        print("loxant: --plot needs matplotlib (pip install 'loxant[plot]')", file=sys.stderr)
        return EXIT_FAILED
    if not args.quiet:
        stats = results.stats
        print(
            f"loxant: {stats['steps']} steps ({stats['rejected']} rejected), "
            f"{stats['iterations']} Newton iterations, {wall:.2f} s",
            file=sys.stderr,
        )
    return EXIT_OK


def _default_probes(netlist):
    """What to write when the netlist requests nothing: every junction phase and
    every node voltage."""
    nodes = netlist.circuit().nodes
    return [f"P({name})" for name in netlist.junctions()] + [f"V({node})" for node in nodes]


class _Progress:
    """A tqdm bar on standard error following the simulation time, which the
    engine reports about ten times a second through :meth:`update`."""

    def __init__(self, netlist, enabled):
        self.enabled = enabled
        self.time_scale = netlist.units.scale["s"] / netlist.tran.tstop
        self._bar = None

    def __enter__(self):
        if not self.enabled:
            return self
        try:
            from tqdm import tqdm
        except ImportError:
            return self
        self._bar = tqdm(total=100, file=sys.stderr, unit="%", bar_format="{l_bar}{bar}| {elapsed}")
        return self

    def update(self, t):
        """Called with the normalised simulation time."""
        if self._bar is not None:
            done = min(100.0, 100.0 * float(t) * self.time_scale)
            self._bar.update(max(0.0, done - self._bar.n))

    def __exit__(self, *exc):
        if self._bar is not None:
            if exc[0] is None:
                self._bar.update(100 - self._bar.n)
            self._bar.close()


def first_switch(t, phase, turns):
    """Time at which the turn count first leaves its starting value, the phase
    crossing interpolated between the two samples around it (None if never)."""
    moved = np.nonzero(turns != turns[0])[0]
    if not len(moved):
        return None
    k = int(moved[0])
    if k == 0:
        return float(t[0])
    up = turns[k] > turns[0]
    level = (2 * turns[0] + (1 if up else -1)) * math.pi
    p0, p1 = phase[k - 1], phase[k]
    if p1 == p0:
        return float(t[k])
    fraction = min(max((level - p0) / (p1 - p0), 0.0), 1.0)
    return float(t[k - 1] + fraction * (t[k] - t[k - 1]))


def summarise(netlist, results, stream=None):
    """Per junction: the number of 2 pi switches and the time of the first."""
    stream = sys.stdout if stream is None else stream
    junctions = netlist.junctions()
    title = netlist.title or netlist.file
    print(f"{title}: {len(junctions)} junction(s), {len(results)} samples", file=stream)
    if not junctions:
        return
    t = results.time("ps")
    print(f"{'junction':>12}  {'switches':>8}  {'first (ps)':>10}", file=stream)
    for name in junctions:
        turns = results.turn_count(name)
        count = int(np.abs(np.diff(turns)).sum())
        first = first_switch(t, results.phase(name), turns)
        when = "-" if first is None else f"{first:.3f}"
        print(f"{name:>12}  {count:8d}  {when:>10}", file=stream)


_DISPLAY = {"rad": ("phase (rad)", 1.0), "V": ("voltage (mV)", 1e3), "A": ("current (uA)", 1e6)}


def plot(path, time_axis, traces, title):
    """One panel per kind of quantity (phase, voltage, current), against time in ps."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = [unit for unit in _DISPLAY if any(u == unit for _, u, _ in traces)]
    fig, axes = plt.subplots(
        max(len(kinds), 1), 1, figsize=(9, 3 * max(len(kinds), 1)), sharex=True, squeeze=False
    )
    for ax, unit in zip(axes[:, 0], kinds):
        label, factor = _DISPLAY[unit]
        chosen = [(name, values) for name, u, values in traces if u == unit]
        for name, values in chosen:
            ax.plot(time_axis * 1e12, values * factor, lw=1, label=name)
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
        if len(chosen) <= 10:
            ax.legend(loc="best", fontsize="small")
    axes[-1, 0].set_xlabel("time (ps)")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    sys.exit(main())
