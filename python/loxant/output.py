"""Trace files as the simulators of the field write them, in SI units.

A trace is ``(label, unit, values)`` with ``label`` such as ``"P(B1)"``, unit
"rad", "V" or "A"; every writer takes the time axis in seconds and a list of
traces, in order:

* :func:`write_csv`: ``time,"P(B1)","V(2)"`` then one comma-separated row per sample;
* :func:`write_dat`: the same, space-separated, header ``time P(B1) V(2)``;
* :func:`write_raw`: an ASCII SPICE raw file (one plot, real values).

:func:`write_traces` picks the writer from the file name: ``.csv``, ``.dat``,
anything else raw.  Every file is written whole or not at all: into a temporary
file beside it, renamed over the name at the end (an existing file keeps its
content when the writing fails, or the process is killed).  A file replaced
keeps its permissions, a new one gets the umask's; a read-only file is refused,
not replaced.  A failure raises :class:`WriteError`, which
names the path and the reason.
"""

import datetime
import errno
import importlib
import os
import stat

import numpy as np

from .errors import UserError

__all__ = [
    "FORMATS",
    "OutputClaims",
    "WriteError",
    "format_of",
    "same_file_key",
    "write_atomically",
    "write_text",
    "write_csv",
    "write_dat",
    "write_raw",
    "write_table",
    "write_traces",
]


class WriteError(OSError):
    """A file could not be written: ``str()`` is "cannot write PATH: reason"."""

    def __init__(self, path, cause):
        reason = getattr(cause, "strerror", None) or str(cause) or type(cause).__name__
        super().__init__(getattr(cause, "errno", None), reason, os.fspath(path))
        self.path, self.reason = os.fspath(path), reason

    def __str__(self):
        return f"cannot write {self.path}: {self.reason}"


def write_atomically(path, write, newline=None, binary=False):
    """Call ``write(stream)`` on a temporary file beside ``path`` (text, or bytes
    with ``binary``), then put it in ``path``'s place; on any failure nothing is
    left behind and :class:`WriteError` says why."""
    path = os.fspath(path)
    mode = "wb" if binary else "w"
    newline = None if binary else newline
    if os.path.exists(path) and not os.path.isfile(path):
        return _write_in_place(path, write, newline, mode)  # a device or pipe: not replaced
    if os.path.islink(path):
        path = os.path.realpath(path)  # the link stays, its target is written
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise WriteError(path, OSError(2, f"no folder {folder}"))
    permissions = _permissions_of(path)
    handle, temporary = _temporary_beside(path, folder)
    try:
        with os.fdopen(handle, mode, newline=newline) as stream:
            write(stream)
        os.chmod(temporary, permissions)
        os.replace(temporary, path)
    except BaseException as exc:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(exc, OSError) and not isinstance(exc, WriteError):
            raise WriteError(path, exc) from None
        raise


def _temporary_beside(path, folder):
    """(descriptor, name) of a new file of the owner's alone in ``folder``.  Not
    tempfile.mkstemp, whose imports (shutil, random, the compressors) cost a
    tenth of a small run's start-up; this makes the same kind of file."""
    flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0)
    flags |= getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
    for _ in range(100):  # a name taken by another writer: draw again
        name = os.path.join(folder, f".{os.path.basename(path)}.{os.urandom(6).hex()}.part")
        try:
            return os.open(name, flags, 0o600), name
        except FileExistsError:
            continue
        except OSError as exc:
            raise WriteError(path, exc) from None
    raise WriteError(path, FileExistsError(errno.EEXIST, "no free temporary name"))


def _permissions_of(path):
    """The permissions the new ``path`` gets: those of the file it replaces, else
    the umask's default.  A file the user may not write (or made read-only, which
    the owner could override) is refused, as a shell's ``>`` would refuse it."""
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        return 0o666 & ~_UMASK
    except OSError as exc:
        raise WriteError(path, exc) from None
    if not (mode & 0o222 and os.access(path, os.W_OK)):
        raise WriteError(path, OSError(errno.EACCES, "Permission denied (the file is read-only)"))
    return mode


def same_file_key(path):
    """What two names of one file share: its real absolute path."""
    return os.path.normcase(os.path.realpath(os.fspath(path)))


class OutputClaims:
    """The files one command reads and writes, checked before anything runs: an
    output may not name an input (a netlist or one of its includes), nor a file
    another output of the command writes, nor a folder that does not exist."""

    def __init__(self):
        self._taken = {}  # real path -> what reads or writes it
        self._read = set()  # the real paths of the inputs

    def inputs(self, paths, what="the netlist"):
        """Marks files read: no output may replace them (one claimed already,
        such as the ``-o`` of a netlist that turns out to include it, is
        refused now)."""
        for path in paths:
            if not path or path == "-" or str(path).startswith("<"):
                continue
            key = same_file_key(path)
            if key in self._taken and key not in self._read:
                raise UserError(
                    f"{path}: {self._taken[key]} and {what} {path} would write the same "
                    "file; give them different names"
                )
            self._read.add(key)
            self._taken.setdefault(key, f"{what} {path}")

    def inputs_of(self, netlist):
        """Marks a netlist's file and the files it includes as read."""
        sources = getattr(netlist, "sources", None) or (getattr(netlist, "file", None),)
        self.inputs([sources[0]])
        self.inputs(sources[1:], "the included file")

    def output(self, path, what, hint="", check_folder=True):
        """Claims ``path`` for ``what`` (such as "-o"); UserError on a clash,
        WriteError when its folder is missing (``hint`` added to that message)."""
        if not path:
            return
        key = same_file_key(path)
        if key in self._taken:
            raise UserError(
                f"{path}: {what} and {self._taken[key]} would write the same file; "
                "give them different names"
            )
        self._taken[key] = what
        folder = os.path.dirname(os.fspath(path))
        if check_folder and folder and not os.path.isdir(folder):
            raise WriteError(path, OSError(2, f"no folder {folder}{hint}"))

    def outputs(self, named):
        """Claims every ``(path, what)`` pair; None paths are skipped."""
        for path, what in named:
            self.output(path, what)


def write_text(path, text):
    """Write ``text`` to ``path`` whole or not at all (:func:`write_atomically`)."""
    write_atomically(path, lambda stream: stream.write(text))


def _write_in_place(path, write, newline, mode):
    try:
        with open(path, mode, newline=newline) as stream:
            write(stream)
    except OSError as exc:
        raise WriteError(path, exc) from None


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


#: the permissions a new file gets (a temporary file is made private)
_UMASK = _umask()

#: variable type of each unit in a raw file
_RAW_TYPES = {"rad": "phase", "V": "voltage", "A": "current"}


#: rows formatted per call of the native formatter: bounds the text held at once
_BLOCK_ROWS = 1 << 14


def _formatter():
    """The module ``loxant.NativeEngine``, whose functions format the rows."""
    try:
        return importlib.import_module("loxant.NativeEngine")
    except ImportError as exc:
        raise ImportError(
            f"loxant.NativeEngine is not built or cannot be loaded ({exc}); "
            "build the native modules first"
        ) from exc


def _table(time, traces):
    """The columns side by side as float64, negative zeros made positive."""
    return np.column_stack([time] + [values for _, _, values in traces]).astype(float) + 0.0


def write_table(path, header, table, separator=","):
    """Write the text ``header`` (with its line end), then each row of the 2-D
    ``table``: every value as ``"%.17g" % value``, ``separator`` between them."""
    table = np.asarray(table, dtype=float)
    format_rows = _formatter().format_rows

    def write(stream):
        stream.write(header.encode())
        for start in range(0, len(table), _BLOCK_ROWS):
            stream.write(format_rows(table[start : start + _BLOCK_ROWS], separator))

    write_atomically(path, write, binary=True)


def write_csv(path, time, traces):
    header = ["time"] + ['"' + label.replace('"', '""') + '"' for label, _, _ in traces]
    write_table(path, ",".join(header) + "\n", _table(time, traces))


def write_dat(path, time, traces):
    header = ["time"] + [label for label, _, _ in traces]
    write_table(path, " ".join(header) + "\n", _table(time, traces), separator=" ")


def write_raw(path, time, traces, title=""):
    lines = [
        f"Title: {title or os.path.basename(os.fspath(path))}",
        f"Date: {datetime.datetime.now().strftime('%a %b %d %H:%M:%S %Y')}",
        "Plotname: Transient Analysis",
        "Flags: real",
        f"No. Variables: {len(traces) + 1}",
        f"No. Points: {len(time)}",
        "Variables:",
        "\t0\ttime\ttime",
    ]
    lines += [f"\t{k}\t{label}\t{_RAW_TYPES[unit]}" for k, (label, unit, _) in enumerate(traces, 1)]
    lines.append("Values:")
    table = _table(time, traces)
    format_raw_rows = _formatter().format_raw_rows

    def write(stream):
        stream.write(("\n".join(lines) + "\n").encode())
        for start in range(0, len(table), _BLOCK_ROWS):
            stream.write(format_raw_rows(table[start : start + _BLOCK_ROWS], start))

    write_atomically(path, write, binary=True)


FORMATS = {"csv": write_csv, "dat": write_dat, "raw": write_raw}


def format_of(path):
    """ "csv", "dat" or "raw" (every other name) for an output file name."""
    extension = os.path.splitext(os.fspath(path))[1].lower()
    return {".csv": "csv", ".dat": "dat"}.get(extension, "raw")


def write_traces(path, time, traces, title=""):
    """Write ``traces`` to ``path`` in the format its name asks for; returns the format."""
    kind = format_of(path)
    if kind == "raw":
        write_raw(path, time, traces, title)
    else:
        FORMATS[kind](path, time, traces)
    return kind
