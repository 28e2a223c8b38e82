"""``loxant run``: simulate netlists.

    loxant run FILE.cir [FILE.cir ...] [-o OUT] [--plot OUT.png] [--adaptive [--dt-max T]]
               [--record OUTPUT ...] [--print-step T] [--max-steps N] [--record-all]
               [--events] [-q]

``-`` reads a netlist from standard input.  ``-o`` writes the requested
traces in SI units (s, V, A, rad): ``.csv`` comma-separated with the header
``time,"P(B1)","V(2)"``, ``.dat`` space-separated, any other name an ASCII SPICE
raw file.  With several netlists (or one), ``-o DIR/`` writes each one's traces
to ``DIR/<name>.csv`` (creating DIR; netlists of one name in different folders
as ``DIR/<folder>-<name>.csv``) and ``-o .EXT`` beside its netlist as
``<name>.EXT``.  Two outputs of one command never share a file, nor does an
output replace a netlist or a file it includes: a clash is refused before any
run, and every file is written whole or not at all.
Without ``-o`` a summary lists every junction's 2 pi switches (``-q`` leaves it
out when a file or a plot is written).  While a run goes a progress bar shows
on standard error (when that is a terminal); a last line there gives steps,
Newton iterations and wall time.  Several netlists run one after the other in
one process; a failing one does not stop the others, and the exit status is
the worst of them.
"""

import argparse
import functools
import math
import os
import sys
import time

from ..errors import AnalysisError, CircuitError, RunLimitError, UserError
from ..netlist import Netlist, NetlistError
from ..output import OutputClaims, WriteError, same_file_key, write_atomically, write_traces
from ..simulation import options as run_options
from .status import (
    EXIT_FAILED,
    EXIT_INTERNAL,
    EXIT_INTERRUPTED,
    EXIT_OK,
    QUOTE,
    clip,
    failure,
    silence_stdout,
)
from .summary import Progress, plot, summarise
from .values import quantity, reader_options, si_text

__all__ = ["add_run_subcommand", "run_command"]


def add_run_subcommand(subparsers):
    run = subparsers.add_parser(
        "run",
        usage="%(prog)s FILE.cir [FILE.cir ...] [-o OUT] [--plot OUT.png] [options]",
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
    run.add_argument(
        "--method",
        choices=run_options.METHODS,
        help="integration formula of the fixed step (default trapezoidal, which takes no "
        "phase source; bdf2 where one is, and for the adaptive step); bdf2 damps, with "
        "about three times the error at the same step",
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
        "--allow-outside",
        action="store_true",
        help="let the netlist's output cards (.file, .iv) write outside its folder",
    )
    run.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress bar and no statistics line; no summary when -o or --plot is given",
    )
    run.set_defaults(func=run_command)


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


# ---- run ---------------------------------------------------------------------------


def run_command(args):
    if args.netlists.count("-") > 1:
        raise UserError("standard input (-) can be read once")
    _check_named_once(args.netlists)
    outputs = _output_names(args.output, args.netlists)
    if args.plot and len(args.netlists) > 1:
        raise UserError("--plot takes one netlist")
    if args.plot:
        _check_plot_name(args.plot)
    claims = _claim_outputs(args, outputs)
    _make_output_directory(args.output)
    status = EXIT_OK
    for name, output in zip(args.netlists, outputs):
        try:
            if len(args.netlists) > 1 and not args.quiet:
                print(f"== {name}", flush=True)
        except BrokenPipeError:
            silence_stdout()
            status = EXIT_FAILED
        status = max(status, _run_one(args, name, output, claims))
    return status


def _check_named_once(netlists):
    """Refuses a netlist given twice: its outputs would overwrite each other."""
    seen = {}
    for name in netlists:
        if name == "-":
            continue
        key = same_file_key(name)
        if key in seen:
            raise UserError(
                f"{clip(name)} is given twice (as {clip(seen[key])!r} and {clip(name)!r}): "
                "its outputs would overwrite each other"
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
        raise UserError("with several netlists, -o takes a directory (DIR/) or an extension (.csv)")
    return [output]


def _distinct_stems(netlists):
    plain = [_stem(name) for name in netlists]
    stems = list(plain)
    for k, name in enumerate(netlists):
        if plain.count(plain[k]) > 1 and name != "-":
            folder = os.path.basename(os.path.dirname(os.path.abspath(name)))
            stems[k] = f"{folder}-{_stem(name)}" if folder else _stem(name)
    return stems


#: the hint of a refusal for a missing folder
_FOLDER_HINT = " (-o DIR/ creates one)"


def _claim_outputs(args, outputs):
    """The files the command will write, checked to be distinct before any run;
    the netlists themselves count as taken."""
    claims = OutputClaims()
    claims.inputs(args.netlists)
    wanted = [(output, f"the output of {name}") for name, output in zip(args.netlists, outputs)]
    if args.plot:
        wanted.append((args.plot, "--plot"))
    made = (args.output or "").endswith(("/", os.sep))  # the folder is made before the runs
    for path, what in wanted:
        claims.output(path, what, _FOLDER_HINT, check_folder=not made)
    return claims


def _make_output_directory(output):
    """Creates the folder of ``-o DIR/`` (and its parents) when it is missing."""
    if output is None or not output.endswith(("/", os.sep)) or os.path.isdir(output):
        return
    try:
        os.makedirs(output, exist_ok=True)
    except OSError as exc:
        raise WriteError(output, exc) from None


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
        raise UserError("--plot needs matplotlib (pip install 'loxant[plot]')") from None
    formats = Figure().canvas.get_supported_filetypes()
    extension = os.path.splitext(path)[1].lstrip(".").lower()
    if extension not in formats:
        raise UserError(
            f"--plot {clip(path)!r}: no image format {extension or '(none)'!r}; "
            f"use one of {', '.join(sorted(formats))}"
        )


def _run_one(args, name, output, claims):
    """Runs one netlist; returns its exit status, having reported any fault
    (the other netlists still run)."""
    stage = "reading"
    try:
        netlist = _prepared(args, name, claims)
        if netlist is None or netlist.tran is None:
            return EXIT_OK
        stage = "running"
        started = time.perf_counter()
        results = _simulate(args, netlist, output)
        wall = time.perf_counter() - started
        stage = "writing"
        _report(args, netlist, results, output)
    except BrokenPipeError:  # the reader of our output left: the next files are still written
        silence_stdout()
        return EXIT_FAILED
    except Exception as exc:  # noqa: BLE001 - sorted by the one map; a fault of ours goes on up
        status, message = failure(exc)
        if status in (EXIT_INTERNAL, EXIT_INTERRUPTED):
            raise
        print(_placed(exc, message, name, stage), file=sys.stderr)
        return status
    if not args.quiet:
        stats = results.stats
        print(
            f"loxant: {stats['steps']} steps ({stats['rejected']} rejected), "
            f"{stats['iterations']} Newton iterations, {wall:.2f} s",
            file=sys.stderr,
        )
    return EXIT_OK


def _prepared(args, name, claims):
    """The netlist read, its outputs claimed, its .iv cards done; None when
    there is no run to do (its .iv cards alone)."""
    netlist = _read(name, reader_options(args))
    _claim_netlist_files(netlist, claims)
    if netlist.iv_requests:
        _iv_cards(netlist)
        if netlist.tran is None:
            return None
    if netlist.tran is None:
        raise NetlistError("the netlist has no .tran analysis", netlist.file)
    if args.record:
        _record_instead(netlist, args.record)
    return netlist


def _placed(exc, message, name, stage):
    """The message of a netlist's fault, placed: a netlist error names its file
    and line itself; a run's fault is the netlist's; the rest is the command's."""
    if isinstance(exc, NetlistError) and exc.file:
        return str(exc) if stage == "reading" else clip(exc, 6 * QUOTE)
    if isinstance(exc, RunLimitError):
        return f"{name}: {_limit_message(exc)}"
    if isinstance(exc, (OSError, UnicodeError)) and not isinstance(exc, WriteError):
        return f"loxant: cannot read {clip(name)}: {clip(getattr(exc, 'strerror', None) or exc)}"
    if stage == "running":
        return f"{name}: {message.removeprefix('error: ')}"
    return f"loxant: {message.removeprefix('error: ')}"


def _iv_cards(netlist):
    """Writes the I-V curve of each .iv card to its file."""
    from ..analysis.iv import iv_curve

    written = []
    for request in netlist.iv_requests:
        try:
            table = iv_curve(netlist.junction_model(request.model), request.max_current)
        except (CircuitError, ValueError) as exc:
            message = f"{netlist.file}: .iv {request.model}: {clip(exc, 6 * QUOTE)}"
            raise AnalysisError(message) from None
        write_atomically(request.path, functools.partial(table.to_csv, index=False))
        written.append(
            f"wrote the I-V curve of {request.model} ({len(table)} points) to {request.path}"
        )
    for line in written:
        print(line)


def _claim_netlist_files(netlist, claims):
    """Claims the netlist's .file and .iv outputs, and its includes as inputs:
    refuses, before its run, an output that another output of the command
    would also write, or that would replace one of the files read."""
    claims.inputs(netlist.sources[1:], "the included file")
    wanted = [(path, f".file {path}") for path in netlist.files]
    wanted += [(request.path, f".iv {request.model}") for request in netlist.iv_requests]
    for path, what in wanted:
        try:
            claims.output(path, what)
        except UserError as exc:
            raise UserError(f"{netlist.file}: {exc}") from None


def _record_instead(netlist, outputs):
    """--record: these outputs instead of the .print requests (the .file ones kept)."""
    kept = [label for labels in netlist.files.values() for label in labels]
    wanted = [label for item in outputs for label in _split_outputs(item)]
    netlist.probes = list(dict.fromkeys(wanted + kept))
    try:
        netlist.resolved_probes()
    except (CircuitError, KeyError, ValueError) as exc:
        raise UserError(f"--record: {clip(exc, 3 * QUOTE)}") from None


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


def _read(name, options):
    if name == "-":
        raw = getattr(sys.stdin, "buffer", None)  # absent when stdin was replaced by text
        if raw is None:
            return Netlist.from_string(sys.stdin.read(), name="<stdin>", **options)
        return Netlist.from_stream(raw, name="<stdin>", **options)
    return Netlist.from_file(name, **options)


def _simulate(args, netlist, output):
    options = {}
    if args.dt_max is not None:
        options["dt_max"] = si_text(quantity(args.dt_max, "s", "--dt-max"), "s")
    netlist.adaptive = netlist.adaptive or args.adaptive or args.dt_max is not None
    if args.method is not None:
        options["method"] = args.method
    record = _recorded(args, netlist, output)
    options.update(_limit_options(args, netlist, record))
    if args.record_all:
        record = "all"
    elif not netlist.probes and not netlist.adaptive and "record_every" not in options:
        every = _summary_sampling(netlist, len(record))
        if every > netlist.tran.record_every:
            options["record_every"] = every
            if not args.quiet:
                print(
                    f"loxant: {netlist.file}: {len(record)} quantities are recorded every "
                    f"{every}th step to stay within memory; .print requests give full detail",
                    file=sys.stderr,
                )
    enabled = not args.quiet and sys.stderr.isatty()
    try:
        with Progress(netlist, enabled=enabled) as progress:
            return netlist.simulate(
                record=record,
                progress=progress.update,
                **options,
            )
    except CircuitError as exc:
        if _is_limit(exc):
            raise RunLimitError(str(exc), limit=exc.limit, reached=exc.reached) from None
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
        step = quantity(args.print_step, "s", "--print-step")
        if netlist.adaptive:
            options.update(record_every=1, print_step=si_text(step, "s"))
        else:
            options["record_every"] = max(1, round(step / tran.tstep))
    if netlist.adaptive:
        return options  # its steps are not known before the run
    steps = tran.tstop / tran.tstep  # a float: infinite for a subnormal step
    most = options.get("max_steps", run_options.MAX_STEPS)
    if not math.ceil(min(steps, 2.0**63)) <= most:
        raise AnalysisError(
            f".tran {tran.tstep:g} {tran.tstop:g} takes {steps:.3g} steps, more than the "
            f"limit of {most:.3g}: check the .tran values (a unit typo?), or raise the limit "
            "with --max-steps N"
        )
    steps = math.ceil(steps)
    every = options.get("record_every", tran.record_every)
    quantities = len(record) if isinstance(record, list) else len(netlist.nodes())
    size = 8.0 * (quantities + 1) * (steps // every + 2)
    if netlist.probes and not args.record_all and size > run_options.MAX_RECORDING_BYTES:
        least = tran.tstep * math.ceil(size / (0.9 * run_options.MAX_RECORDING_BYTES)) * every
        raise AnalysisError(
            f"the recording of {quantities} quantities over {steps:.3g} steps would take "
            f"{size / 2**20:.4g} MiB, more than {run_options.MAX_RECORDING_BYTES / 2**20:.4g} MiB: keep "
            f"fewer samples with --print-step {least * 1e12:.3g}ps, record fewer outputs "
            "with --record 'P(B1)' ..., or keep everything anyway with --record-all"
        )
    return options


def _is_limit(exc):
    return getattr(exc, "limit", None) is not None


#: the Python options a limit message names, and the command's own
_OPTION_ADVICE = (
    "record fewer outputs with --record 'P(B1)' ..., keep fewer samples with "
    "--print-step TIME, raise the step limit with --max-steps N, or keep everything "
    "anyway with --record-all"
)


def _limit_message(exc):
    """A limit's message with the command's options as the advice: what was
    reached, then what to change on this command line."""
    return f"{clip(exc.reached or exc, 4 * QUOTE)}; {_OPTION_ADVICE}"


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


def _report(args, netlist, results, output):
    """Writes the files, then prints: a closed standard output loses no file."""
    time_axis = results.time("s")
    shown = output or args.plot
    probes = netlist.probes or _default_probes(netlist)
    traces = results.labelled(probes) if shown else []
    if output:
        kind = _written(output, lambda: write_traces(output, time_axis, traces, netlist.title))
    files = []  # (path, traces, format) of the .file requests, each to its file
    for path, labels in netlist.files.items():
        chosen = results.labelled(labels)
        write = functools.partial(write_traces, path, time_axis, chosen, netlist.title)
        files.append((path, len(chosen), _written(path, write)))
    if args.plot:
        _written(
            args.plot, lambda: plot(args.plot, time_axis, traces, netlist.title or netlist.file)
        )
    if output and not args.quiet:
        print(f"wrote {len(traces)} traces, {len(time_axis)} samples ({kind}) to {output}")
    elif not output and not (args.quiet and args.plot):
        summarise(netlist, results)
    for path, count, kind in files if not args.quiet else ():
        print(f"wrote {count} traces, {len(time_axis)} samples ({kind}) to {path}")
    if args.events:
        from ..analysis.events import print_switching_times

        try:
            print_switching_times(results, netlist.junctions())
        except ValueError as exc:  # more switches than it lists
            raise AnalysisError(f"{netlist.file}: --events: {exc}") from None


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
