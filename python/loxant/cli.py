"""The ``loxant`` command: run netlists from the shell.

    loxant run FILE.cir [FILE.cir ...] [-o OUT] [--plot OUT.png] [--adaptive [--dt-max T]]
               [--record OUTPUT ...] [--print-step T] [--max-steps N] [--record-all]
               [--events] [-q]

``-`` reads a netlist from standard input.  ``-o`` writes the requested
traces in SI units (s, V, A, rad): ``.csv`` comma-separated with the header
``time,"P(B1)","V(2)"``, ``.dat`` space-separated, any other name an ASCII SPICE
raw file.  With several netlists (or one), ``-o DIR/`` writes each one's traces
to ``DIR/<name>.csv`` (creating DIR; netlists of one name in different folders
as ``DIR/<folder>-<name>.csv``) and ``-o .EXT`` beside its netlist as
``<name>.EXT``.  Two outputs of one command never share a file: a clash (a
netlist given twice, a ``.file`` naming the ``-o`` file...) is refused before
any run, and every file is written whole or not at all.
Without ``-o`` a summary lists every junction's 2 pi switches.  While a run
goes a progress bar shows on standard error (when that is a terminal); a last
line there gives steps, Newton iterations and wall time.  Several netlists run
one after the other in one process; a failing one does not stop the others.

Exit status (the worst of the netlists): 0 on success, 1 when a simulation
fails or an output cannot be written, 2 for a netlist or usage error, 3 for an
internal error (a fault of loxant, please report it), 130 when interrupted.
"""

import argparse
import functools
import math
import os
import sys
import time
import warnings

from .errors import CircuitError, RunLimitError, SimulationError
from .netlist import Netlist, NetlistError
from .output import WriteError, write_atomically, write_traces
from .simulation import options as run_options
from .units import to_si
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
    run.add_argument(
        "--events",
        action="store_true",
        help="print every junction's switching times (a minus sign: a backward switch)",
    )
    run.add_argument(
        "--record",
        nargs="+",
        metavar="OUTPUT",
        help="outputs to record and write instead of the .print requests, e.g. 'P(B1)' 'V(2)'",
    )
    run.add_argument(
        "--print-step",
        metavar="TIME",
        help="keep a sample every TIME (such as 1ps) instead of every .tran print step",
    )
    run.add_argument(
        "--max-steps",
        type=_positive_int,
        metavar="N",
        help=f"most time steps a run may take (default {run_options.MAX_STEPS:.0e})",
    )
    run.add_argument(
        "--record-all",
        action="store_true",
        help="keep every recorded sample, beyond the recording limit of "
        f"{run_options.MAX_RECORDING_BYTES // 2**20} MiB",
    )
    run.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no statistics line"
    )
    run.set_defaults(func=run_command)
    if analyses:
        # the analyses load only when a command of theirs may run
        from .analysis.commands import add_subcommands

        add_subcommands(commands)
    return parser


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


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
    _check_named_once(args.netlists)
    outputs = _output_names(args.output, args.netlists)
    if args.plot and len(args.netlists) > 1:
        raise CommandError("--plot takes one netlist", EXIT_NETLIST)
    if args.plot:
        _check_plot_name(args.plot)
    claimed = _claim_outputs(args, outputs)
    _make_output_directory(args.output)
    status = EXIT_OK
    for name, output in zip(args.netlists, outputs):
        if len(args.netlists) > 1 and not args.quiet:
            print(f"== {name}", flush=True)
        status = max(status, _run_one(args, name, output, claimed))
    return status


def _same_file_key(path):
    """What two names of one file share: its real absolute path."""
    return os.path.normcase(os.path.realpath(os.fspath(path)))


def _check_named_once(netlists):
    """Refuses a netlist given twice: its outputs would overwrite each other."""
    seen = {}
    for name in netlists:
        if name == "-":
            continue
        key = _same_file_key(name)
        if key in seen:
            raise CommandError(
                f"{_clip(name)} is given twice (as {_clip(seen[key])!r} and {_clip(name)!r}): "
                "its outputs would overwrite each other",
                EXIT_NETLIST,
            )
        seen[key] = name


def _output_names(output, netlists):
    """The output file of each netlist (None: summarise).  Netlists of one name in
    different folders get their folder's name in front (``a-x.csv``, ``b-x.csv``)."""
    if output is None:
        return [None] * len(netlists)
    if output.endswith(("/", os.sep)) or os.path.isdir(output):
        stems = _distinct_stems(netlists)
        return [os.path.join(output, stem + ".csv") for stem in stems]
    if _is_extension(output):
        return [_beside(name, output) for name in netlists]
    if len(netlists) > 1:
        raise CommandError(
            "with several netlists, -o takes a directory (DIR/) or an extension (.csv)",
            EXIT_NETLIST,
        )
    return [output]


def _distinct_stems(netlists):
    plain = [_stem(name) for name in netlists]
    stems = list(plain)
    for k, name in enumerate(netlists):
        if plain.count(plain[k]) > 1 and name != "-":
            folder = os.path.basename(os.path.dirname(os.path.abspath(name)))
            stems[k] = f"{folder}-{_stem(name)}" if folder else _stem(name)
    return stems


def _claim_outputs(args, outputs):
    """The files the command will write, checked to be distinct before any run:
    {real path: what writes it}.  The netlists themselves count as taken."""
    claimed = {}
    for name in args.netlists:
        if name != "-":
            claimed[_same_file_key(name)] = f"the netlist {name}"
    wanted = [(output, f"the output of {name}") for name, output in zip(args.netlists, outputs)]
    if args.plot:
        wanted.append((args.plot, "--plot"))
    for path, what in wanted:
        if path is not None:
            _claim(claimed, path, what)
            if not (args.output or "").endswith(("/", os.sep)):
                _check_folder(path)
    return claimed


def _check_folder(path):
    """Refuses, before any run, an output whose folder does not exist."""
    folder = os.path.dirname(os.fspath(path))
    if folder and not os.path.isdir(folder):
        raise CommandError(
            f"cannot write {_clip(path)}: no folder {_clip(folder)} (-o DIR/ creates one)",
            EXIT_FAILED,
        )


def _claim(claimed, path, what):
    key = _same_file_key(path)
    if key in claimed:
        raise CommandError(
            f"{_clip(path)}: {what} and {claimed[key]} would write the same file; "
            "give them different names",
            EXIT_NETLIST,
        )
    claimed[key] = what


def _make_output_directory(output):
    """Creates the folder of ``-o DIR/`` (and its parents) when it is missing."""
    if output is None or not output.endswith(("/", os.sep)) or os.path.isdir(output):
        return
    try:
        os.makedirs(output, exist_ok=True)
    except OSError as exc:
        raise CommandError(
            f"cannot create the folder {_clip(output)}: {exc.strerror or _clip(exc)}", EXIT_FAILED
        ) from None


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


def _run_one(args, name, output, claimed=None):
    """Runs one netlist; returns its exit status, having reported any fault."""
    claimed = {} if claimed is None else claimed
    try:
        netlist = _read(name)
        _claim_netlist_files(netlist, claimed)
        if netlist.iv_requests:
            status = _iv_cards(netlist)
            if status != EXIT_OK or netlist.tran is None:
                return status
        if netlist.tran is None:
            raise NetlistError("the netlist has no .tran analysis", netlist.file)
        if args.record:
            _record_instead(netlist, args.record)
        probes = netlist.probes or _default_probes(netlist)
    except NetlistError as exc:
        print(exc, file=sys.stderr)  # file:line: message, and the line quoted
        return EXIT_NETLIST
    except CommandError as exc:
        _error(str(exc))
        return exc.status
    except (OSError, UnicodeError) as exc:
        _error(f"cannot read {_clip(name)}: {_clip(getattr(exc, 'strerror', None) or exc)}")
        return EXIT_NETLIST
    started = time.perf_counter()
    try:
        results = _simulate(args, netlist, output)
    except CommandError as exc:
        print(f"{netlist.file}: {exc}", file=sys.stderr)
        return exc.status
    except RunLimitError as exc:
        print(f"{netlist.file}: {_limit_message(exc)}", file=sys.stderr)
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
    except WriteError as exc:
        _error(str(exc))
        return EXIT_FAILED
    except ValueError as exc:  # --events over its limit
        _error(f"{netlist.file}: --events: {exc}")
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
            write_atomically(request.path, functools.partial(table.to_csv, index=False))
        except (CircuitError, ValueError) as exc:
            print(f"{netlist.file}: .iv {request.model}: {_clip(exc, 6 * QUOTE)}", file=sys.stderr)
            return EXIT_FAILED
        except OSError as exc:
            _error(str(WriteError(request.path, exc)))
            return EXIT_FAILED
        print(f"wrote the I-V curve of {request.model} ({len(table)} points) to {request.path}")
    return EXIT_OK


def _claim_netlist_files(netlist, claimed):
    """Claims the netlist's .file and .iv outputs: refuses, before its run, one
    that another output of the command would also write."""
    where = f"{netlist.file}: "
    wanted = [(path, f".file {path}") for path in netlist.files]
    wanted += [(request.path, f".iv {request.model}") for request in netlist.iv_requests]
    for path, what in wanted:
        try:
            _claim(claimed, path, what)
            _check_folder(path)
        except CommandError as exc:
            raise CommandError(where + str(exc), exc.status) from None


def _record_instead(netlist, outputs):
    """--record: these outputs instead of the .print requests (the .file ones kept)."""
    kept = [label for labels in netlist.files.values() for label in labels]
    wanted = [label for item in outputs for label in _split_outputs(item)]
    netlist.probes = list(dict.fromkeys(wanted + kept))
    try:
        netlist.resolved_probes()
    except (CircuitError, KeyError, ValueError) as exc:
        raise CommandError(f"--record: {_clip(exc, 3 * QUOTE)}", EXIT_NETLIST) from None


def _split_outputs(item):
    """'P(B1),V(2)' as ['P(B1)', 'V(2)'] (commas inside parentheses kept)."""
    parts, depth, current = [], 0, ""
    for char in item:
        depth += {"(": 1, ")": -1}.get(char, 0)
        if char == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += char
    parts.append(current)
    return [part.strip() for part in parts if part.strip()]


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
    options.update(_limit_options(args, netlist, record))
    if args.record_all:
        record = "all"
    elif not netlist.probes and not netlist.adaptive and "record_every" not in options:
        every = _summary_sampling(netlist, len(record))
        if every > netlist.tran.record_every:
            options["record_every"] = every
            if not args.quiet:
                _error(
                    f"{netlist.file}: {len(record)} quantities are recorded every "
                    f"{every}th step to stay within memory; .print requests give full detail"
                )
    enabled = not args.quiet and sys.stderr.isatty()
    try:
        with _Progress(netlist, enabled=enabled) as progress:
            return netlist.simulate(
                record=record,
                progress=progress.update,
                **options,
            )
    except CircuitError as exc:
        if _is_limit(exc):
            raise CommandError(_limit_message(exc), EXIT_FAILED) from None
        raise


def _limit_options(args, netlist, record):
    """The simulate options of --max-steps and --print-step; refuses, before the
    run, a run over the step limit or the recording limit with the command's own
    options to change."""
    options = {}
    tran = netlist.tran
    if args.max_steps is not None:
        options["max_steps"] = args.max_steps
    if args.print_step is not None:
        try:
            step = to_si(args.print_step, "s")
        except (CircuitError, ValueError) as exc:
            raise CommandError(
                f"--print-step {_clip(args.print_step)}: {exc}", EXIT_NETLIST
            ) from None
        if not (math.isfinite(step) and step > 0):
            raise CommandError(f"--print-step must be a positive time, got {args.print_step}", 2)
        if netlist.adaptive:
            options.update(record_every=1, print_step=f"{step!r} s")
        else:
            options["record_every"] = max(1, round(step / tran.tstep))
    if netlist.adaptive:
        return options  # its steps are not known before the run
    steps = tran.tstop / tran.tstep  # a float: infinite for a subnormal step
    most = options.get("max_steps", run_options.MAX_STEPS)
    if not math.ceil(min(steps, 2.0**63)) <= most:
        raise CommandError(
            f".tran {tran.tstep:g} {tran.tstop:g} takes {steps:.3g} steps, more than the "
            f"limit of {most:.3g}: check the .tran values (a unit typo?), or raise the limit "
            "with --max-steps N",
            EXIT_FAILED,
        )
    steps = math.ceil(steps)
    every = options.get("record_every", tran.record_every)
    quantities = len(record) if isinstance(record, list) else len(netlist.nodes())
    size = 8.0 * (quantities + 1) * (steps // every + 2)
    if netlist.probes and not args.record_all and size > run_options.MAX_RECORDING_BYTES:
        least = tran.tstep * math.ceil(size / (0.9 * run_options.MAX_RECORDING_BYTES)) * every
        raise CommandError(
            f"the recording of {quantities} quantities over {steps:.3g} steps would take "
            f"{size / 2**20:.4g} MiB, more than {run_options.MAX_RECORDING_BYTES / 2**20:.4g} MiB: keep "
            f"fewer samples with --print-step {least * 1e12:.3g}ps, record fewer outputs "
            "with --record 'P(B1)' ..., or keep everything anyway with --record-all",
            EXIT_FAILED,
        )
    return options


def _is_limit(exc):
    return isinstance(exc, RunLimitError) or "max_steps" in str(exc) or "MiB" in str(exc)


#: the Python options a limit message names, and the command's own
_OPTION_ADVICE = (
    "record fewer outputs with --record 'P(B1)' ..., keep fewer samples with "
    "--print-step TIME, raise the step limit with --max-steps N, or keep everything "
    "anyway with --record-all"
)


def _limit_message(exc):
    """A limit's message with the command's options as the advice: what was
    reached, then what to change on this command line."""
    text = " ".join(str(exc).split())
    for cut in ("; loosen", ": raise", "; choose probes", ": choose probes", ": raise print"):
        if cut in text:
            text = text[: text.index(cut)]
            break
    return f"{_clip(text, 4 * QUOTE)}; {_OPTION_ADVICE}"


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
        kind = _written(output, lambda: write_traces(output, time_axis, traces, netlist.title))
        if not args.quiet:
            print(f"wrote {len(traces)} traces, {len(time_axis)} samples ({kind}) to {output}")
    else:
        summarise(netlist, results)
    for path, labels in netlist.files.items():  # the .file requests, each to its file
        chosen = [(label, *results.trace(label)) for label in labels]
        write = functools.partial(write_traces, path, time_axis, chosen, netlist.title)
        kind = _written(path, write)
        if not args.quiet:
            print(f"wrote {len(chosen)} traces, {len(time_axis)} samples ({kind}) to {path}")
    if args.events:
        from .analysis.events import print_switching_times

        print_switching_times(results, netlist.junctions())
    if args.plot:
        _written(
            args.plot, lambda: plot(args.plot, time_axis, traces, netlist.title or netlist.file)
        )


def _written(path, write):
    """``write()``, an OSError reported as the WriteError of ``path``."""
    try:
        return write()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise WriteError(path, exc) from None


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
        self._bar = tqdm(
            total=100,
            file=sys.stderr,
            unit="%",
            bar_format="{l_bar}{bar}| {elapsed} elapsed, {remaining} left",
        )
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
