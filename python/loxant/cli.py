"""The ``loxant`` command: run netlists from the shell.

    loxant run FILE.cir [FILE.cir ...] [-o OUT] [--plot OUT.png] [--adaptive [--dt-max T]] [-q]

``-`` reads a netlist from standard input.  ``-o`` writes the requested
traces in SI units (s, V, A, rad): ``.csv`` comma-separated with the header
``time,"P(B1)","V(2)"``, ``.dat`` space-separated, any other name an ASCII SPICE
raw file.  With several netlists (or one), ``-o DIR/`` writes each one's traces
to ``DIR/<name>.csv`` and ``-o .EXT`` beside its netlist as ``<name>.EXT``.
Without ``-o`` a summary lists every junction's 2 pi switches.  While a run
goes a progress bar shows on standard error (when that is a terminal); a last
line there gives steps, Newton iterations and wall time.  Several netlists run
one after the other in one process; a failing one does not stop the others.

Exit status (the worst of the netlists): 0 on success, 1 when a simulation
fails or an output cannot be written, 2 for a netlist or usage error, 3 for an
internal error (a fault of loxant, please report it), 130 when interrupted.
"""

import argparse
import math
import os
import sys
import time
import warnings

from .errors import CircuitError, RunLimitError, SimulationError
from .netlist import Netlist, NetlistError
from .output import write_traces
from .simulation import options as run_options
from .version import __version__

__all__ = ["main"]

EXIT_OK, EXIT_FAILED, EXIT_NETLIST, EXIT_INTERNAL, EXIT_INTERRUPTED = 0, 1, 2, 3, 130
#: longest piece of a message quoted back
QUOTE = 80


class CommandError(Exception):
    """A fault the command reports in one line and exits with ``status``."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def build_parser(analyses=True):
    parser = argparse.ArgumentParser(
        prog="loxant", description="Transient simulation of superconducting circuits."
    )
    parser.add_argument("--version", action="version", version=f"loxant {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    run = commands.add_parser(
        "run",
        help="simulate netlists",
        description="Run the .tran analysis of each netlist and write or summarise its outputs.",
    )
    run.add_argument(
        "netlists", nargs="+", metavar="FILE.cir", help="netlist files, - for standard input"
    )
    run.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write the requested traces: .csv, .dat, or a SPICE raw file for other names; "
        "DIR/ for DIR/<name>.csv per netlist, .EXT for <name>.EXT beside each netlist",
    )
    run.add_argument(
        "--adaptive",
        action="store_true",
        help="adaptive time step with error control, the .tran tstep as its largest step",
    )
    run.add_argument(
        "--dt-max",
        metavar="TIME",
        help="largest adaptive step, such as 5ps (implies --adaptive; default: the .tran tstep)",
    )
    run.add_argument("--plot", metavar="OUT.png", help="plot the requested traces to this image")
    run.add_argument("--events", action="store_true", help="print every junction's switching times")
    run.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no statistics line"
    )
    run.set_defaults(func=run_command)
    if analyses:
        # the analyses load only when a command of theirs may run
        from .analysis.commands import add_subcommands

        add_subcommands(commands)
    return parser


def main(argv=None):
    """The command; returns its exit status.  Nothing escapes as a traceback."""
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            return _main(argv)
    except KeyboardInterrupt:
        print("loxant: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:  # the reader of our output left (| head): nothing to say
        _silence_stdout()
        return EXIT_FAILED
    except CommandError as exc:
        _error(str(exc))
        return exc.status
    except MemoryError:
        _error("out of memory: record fewer quantities, shorten the run or raise the step")
        return EXIT_FAILED
    except Exception as exc:  # noqa: BLE001 - the last resort: a message, never a traceback
        _error(
            f"internal error: {type(exc).__name__}: {_clip(str(exc))} - please report this, "
            "with the netlist and the command line"
        )
        return EXIT_INTERNAL


def _main(argv):
    # The analyses (pandas, Dask) load only when their commands are asked for.
    wanted = next((a for a in argv if not a.startswith("-")), None)
    parser = build_parser(analyses=wanted != "run")
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_NETLIST
    return args.func(args)


def _silence_stdout():
    # the interpreter flushes stdout at exit; a closed pipe would fail again there
    try:
        target = sys.stdout.fileno()
    except (OSError, ValueError):  # not a file: nothing is flushed to a pipe
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, target)
    os.close(null)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    # a netlist's warnings already say file:line; Python's own format adds ours
    print(f"loxant: warning: {_clip(str(message), 6 * QUOTE)}", file=sys.stderr)


def _error(message):
    print(f"loxant: {message}", file=sys.stderr)


def _clip(text, most=QUOTE):
    """``text`` on one line and at most ``most`` characters."""
    text = " ".join(str(text).split())
    return text if len(text) <= most else text[: most - 3] + "..."


# ---- run ---------------------------------------------------------------------------


def run_command(args):
    if args.netlists.count("-") > 1:
        raise CommandError("standard input (-) can be read once", EXIT_NETLIST)
    outputs = _output_names(args.output, args.netlists)
    if args.plot and len(args.netlists) > 1:
        raise CommandError("--plot takes one netlist", EXIT_NETLIST)
    if args.plot:
        _check_plot_name(args.plot)
    status = EXIT_OK
    for name, output in zip(args.netlists, outputs):
        if len(args.netlists) > 1 and not args.quiet:
            print(f"== {name}", flush=True)
        status = max(status, _run_one(args, name, output))
    return status


def _output_names(output, netlists):
    """The output file of each netlist (None: summarise)."""
    if output is None:
        return [None] * len(netlists)
    if output.endswith(("/", os.sep)) or os.path.isdir(output):
        if not os.path.isdir(output):
            raise CommandError(f"no directory {_clip(output)!r} for the outputs", EXIT_FAILED)
        return [os.path.join(output, _stem(name) + ".csv") for name in netlists]
    if _is_extension(output):
        return [_beside(name, output) for name in netlists]
    if len(netlists) > 1:
        raise CommandError(
            "with several netlists, -o takes a directory (DIR/) or an extension (.csv)",
            EXIT_NETLIST,
        )
    return [output]


def _is_extension(output):
    """Whether ``-o`` names only an extension, such as ``.csv``."""
    rest = output[1:]
    return output.startswith(".") and rest.isalnum()


def _stem(name):
    return "stdin" if name == "-" else os.path.splitext(os.path.basename(name))[0]


def _beside(name, extension):
    if name == "-":
        return "stdin" + extension
    return os.path.splitext(name)[0] + extension


def _check_plot_name(path):
    """Refuses an image format matplotlib cannot write, before any run."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise CommandError(
            "--plot needs matplotlib (pip install 'loxant[plot]')", EXIT_FAILED
        ) from None
    formats = Figure().canvas.get_supported_filetypes()
    extension = os.path.splitext(path)[1].lstrip(".").lower()
    if extension not in formats:
        raise CommandError(
            f"--plot {_clip(path)!r}: no image format {extension or '(none)'!r}; "
            f"use one of {', '.join(sorted(formats))}",
            EXIT_NETLIST,
        )


def _run_one(args, name, output):
    """Runs one netlist; returns its exit status, having reported any fault."""
    try:
        netlist = _read(name)
        if netlist.iv_requests:
            status = _iv_cards(netlist)
            if status != EXIT_OK or netlist.tran is None:
                return status
        if netlist.tran is None:
            raise NetlistError("the netlist has no .tran analysis", netlist.file)
        probes = netlist.probes or _default_probes(netlist)
    except NetlistError as exc:
        print(exc, file=sys.stderr)  # file:line: message, and the line quoted
        return EXIT_NETLIST
    except (OSError, UnicodeError) as exc:
        _error(f"cannot read {_clip(name)}: {_clip(getattr(exc, 'strerror', None) or exc)}")
        return EXIT_NETLIST
    started = time.perf_counter()
    try:
        results = _simulate(args, netlist, output)
    except RunLimitError as exc:
        print(f"{netlist.file}: {_clip(exc, 6 * QUOTE)}", file=sys.stderr)
        return EXIT_FAILED
    except SimulationError as exc:
        print(f"{netlist.file}: simulation failed: {_clip(exc, 6 * QUOTE)}", file=sys.stderr)
        return EXIT_FAILED
    except (CircuitError, NetlistError) as exc:
        # a netlist error names its file and line already
        where = "" if isinstance(exc, NetlistError) and exc.file else f"{netlist.file}: "
        print(f"{where}{_clip(exc, 6 * QUOTE)}", file=sys.stderr)
        return EXIT_NETLIST
    wall = time.perf_counter() - started
    try:
        _report(args, netlist, results, probes, output)
    except BrokenPipeError:
        raise
    except OSError as exc:
        where = exc.filename or output or args.plot
        _error(f"cannot write {_clip(where)}: {exc.strerror or _clip(exc)}")
        return EXIT_FAILED
    if not args.quiet:
        stats = results.stats
        print(
            f"loxant: {stats['steps']} steps ({stats['rejected']} rejected), "
            f"{stats['iterations']} Newton iterations, {wall:.2f} s",
            file=sys.stderr,
        )
    return EXIT_OK


def _iv_cards(netlist):
    """Writes the I-V curve of each .iv card to its file."""
    from .analysis.iv import iv_curve

    for request in netlist.iv_requests:
        try:
            table = iv_curve(netlist.junction_model(request.model), request.max_current)
            table.to_csv(request.path, index=False)
        except (CircuitError, ValueError) as exc:
            print(f"{netlist.file}: .iv {request.model}: {_clip(exc, 6 * QUOTE)}", file=sys.stderr)
            return EXIT_FAILED
        except OSError as exc:
            _error(f"cannot write {_clip(request.path)}: {exc.strerror or _clip(exc)}")
            return EXIT_FAILED
        print(f"wrote the I-V curve of {request.model} ({len(table)} points) to {request.path}")
    return EXIT_OK


def _read(name):
    if name == "-":
        raw = getattr(sys.stdin, "buffer", None)  # absent when stdin was replaced by text
        if raw is None:
            return Netlist.from_string(sys.stdin.read(), name="<stdin>")
        return Netlist.from_stream(raw, name="<stdin>")
    return Netlist.from_file(name)


def _simulate(args, netlist, output):
    options = {}
    if args.dt_max is not None:
        options["dt_max"] = args.dt_max
    netlist.adaptive = netlist.adaptive or args.adaptive or args.dt_max is not None
    record = _recorded(args, netlist, output)
    if not netlist.probes and not netlist.adaptive:
        every = _summary_sampling(netlist, len(record))
        if every > netlist.tran.record_every:
            options["record_every"] = every
            if not args.quiet:
                _error(
                    f"{netlist.file}: {len(record)} quantities are recorded every "
                    f"{every}th step to stay within memory; .print requests give full detail"
                )
    enabled = not args.quiet and sys.stderr.isatty()
    with _Progress(netlist, enabled=enabled) as progress:
        return netlist.simulate(
            record=record,
            progress=progress.update,
            **options,
        )


def _recorded(args, netlist, output):
    """What the run must record: the requests, and every junction's phase and
    turns for the summary and --events.  Without requests, only what is shown:
    a large circuit's every quantity would not fit in memory."""
    summary = not output or args.events
    if netlist.probes:
        return netlist.record(junctions=summary)
    junctions = netlist.junctions()
    wanted = [f"phase({name})" for name in junctions]
    if summary:
        wanted += [f"turns({name})" for name in junctions]
    if output or args.plot:
        wanted += [f"voltage({node})" for node in netlist.nodes()]
    return wanted


def _summary_sampling(netlist, quantities):
    """Steps between recorded samples for what the command chose to record: the
    .tran print step, coarsened to a multiple of it where every step would not
    fit in the recording limit."""
    tran = netlist.tran
    samples = tran.tstop / tran.tstep / tran.record_every + 2
    factor = math.ceil(8.0 * quantities * samples / (0.9 * run_options.MAX_RECORDING_BYTES))
    return tran.record_every * max(1, factor)


def _report(args, netlist, results, probes, output):
    time_axis = results.time("s")
    shown = output or args.plot
    traces = [(label, *results.trace(label)) for label in probes] if shown else []
    if output:
        kind = write_traces(output, time_axis, traces, netlist.title)
        if not args.quiet:
            print(f"wrote {len(traces)} traces, {len(time_axis)} samples ({kind}) to {output}")
    else:
        summarise(netlist, results)
    netlist.write_files(results)  # the .file requests, each to its file
    if args.events:
        from .analysis.events import print_switching_times

        print_switching_times(results, netlist.junctions())
    if args.plot:
        plot(args.plot, time_axis, traces, netlist.title or netlist.file)


def _default_probes(netlist):
    """What to write when the netlist requests nothing: every junction phase and
    every node voltage."""
    nodes = netlist.nodes()
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
    crossing interpolated between the two samples around it (None if never, or
    nothing was recorded)."""
    if not len(turns):
        return None
    moved = (turns != turns[0]).nonzero()[0]
    if not len(moved):
        return None
    k = int(moved[0])
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
    if not junctions or not len(results):
        return
    t = results.time("ps")
    print(f"{'junction':>12}  {'switches':>8}  {'first (ps)':>10}", file=stream)
    for name in junctions:
        turns = results.turn_count(name)
        count = int(abs(turns[1:] - turns[:-1]).sum())
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
        if chosen and len(chosen) <= 10:
            ax.legend(loc="best", fontsize="small")
    axes[-1, 0].set_xlabel("time (ps)")
    fig.suptitle(title)
    fig.tight_layout()
    try:
        fig.savefig(path, dpi=110)
    finally:
        plt.close(fig)


if __name__ == "__main__":
    sys.exit(main())
