"""First stage: files to logical lines of tokens.

Files are read with a size bound (regular files only, refused before they are
opened otherwise), decoded (UTF-8, UTF-16
with its byte-order mark, latin-1 as a fallback that is reported), cut into
lines; comments and blank lines are dropped, ``+`` continuations joined,
``.include`` files read in place, ``.control`` ... ``.endc`` blocks turned into
ordinary control lines, and everything after a file's ``.end`` dropped.  Every
token keeps its file and line.
"""

import codecs
import os
import re
import stat
from typing import NamedTuple

from .errors import NetlistError, clip, warn

__all__ = [
    "MAX_INCLUDE_DEPTH",
    "MAX_INPUT_BYTES",
    "MAX_INPUT_LINES",
    "Line",
    "Token",
    "keyword",
    "read_file",
    "read_string",
]

#: deepest chain of .include files
MAX_INCLUDE_DEPTH = 20
#: most bytes of netlist text read, all included files together
MAX_INPUT_BYTES = 64 * 2**20
#: most lines read, all included files together: each line read takes some
#: kilobytes until the netlist is built, so this bounds the memory of a file of
#: millions of short lines (a million elements read)
MAX_INPUT_LINES = 2_000_000


class Token(NamedTuple):
    """One token: kind is "word", "expr" (in braces or single quotes), "string"
    (double quotes) or one of ``( ) , =``; ``spaced`` says whitespace precedes it.
    Tokens hold no position (equal tokens are shared between lines): their line
    knows where it is."""

    kind: str
    text: str
    spaced: bool


class Line(NamedTuple):
    """A logical line (continuations joined): where it starts, its text, its
    tokens; ``control`` marks a line of a ``.control`` block; ``breaks`` the
    ``(position in tokens, line number)`` of each continuation line."""

    file: str
    number: int
    text: str
    tokens: tuple
    control: bool = False
    breaks: tuple = ()

    def error(self, message, token=None):
        return NetlistError(message, self.file, self.number_of(token), self.text)

    def number_of(self, token):
        """The number of the physical line that holds ``token``."""
        if token is None or not self.breaks:
            return self.number
        position = next((k for k, t in enumerate(self.tokens) if t is token), 0)
        number = self.number
        for start, line_number in self.breaks:
            if position >= start:
                number = line_number
        return number


_LEXEME = re.compile(
    r"""(?P<space>\s+)
    |(?P<punct>[(),=])
    |\{(?P<brace>[^}]*)\}
    |'(?P<quote>[^']*)'
    |"(?P<string>[^"]*)"
    |(?P<open>[{'"])
    |(?P<close>\})
    |(?P<word>[^\s(),={}'"]+)""",
    re.VERBOSE,
)
_KIND = {"brace": "expr", "quote": "expr", "string": "string"}
_CLOSING = {"{": "}", "'": "'", '"': '"'}


_SPECIAL = re.compile(r"""[(),={}'"]""")
_new_token = tuple.__new__
#: tokens of line tails already scanned
_TAILS = {}
_TAILS_LIMIT = 100_000


def _scan(text):
    """The tokens of ``text``; ValueError with the message for an unbalanced
    brace or quote."""
    tokens, spaced = [], True
    for match in _LEXEME.finditer(text):
        group = match.lastgroup
        if group == "space":
            spaced = True
            continue
        if group == "word":
            tokens.append(Token("word", match.group(), spaced))
        elif group == "punct":
            tokens.append(Token(match.group(), match.group(), spaced))
        elif group in _KIND:
            tokens.append(Token(_KIND[group], match.group(group), spaced))
        elif group == "open":
            opener = match.group()
            raise ValueError(f"{opener} without its closing {_CLOSING[opener]}")
        else:
            raise ValueError("} without an opening {")
        spaced = False
    return tuple(tokens)


def lex(text, file, number):
    """Tokens of the physical line ``text`` (``file`` and ``number`` for messages)."""
    special = _SPECIAL.search(text)
    if special is None:  # most lines are names and numbers only
        return tuple([_new_token(Token, ("word", w, True)) for w in text.split()])
    # the plain words before the first special character, then the rest, whose
    # few forms (a waveform, area=..) repeat from line to line: read once, shared
    cut = max(text.rfind(" ", 0, special.start()), text.rfind("\t", 0, special.start())) + 1
    tail = text[cut:]
    shapes = _TAILS.get(tail)
    if shapes is None:
        try:
            shapes = _scan(tail)
        except ValueError as exc:
            raise NetlistError(str(exc), file, number, text) from None
        if len(_TAILS) < _TAILS_LIMIT:
            _TAILS[tail] = shapes
    if not cut:
        return shapes
    return tuple([_new_token(Token, ("word", w, True)) for w in text[:cut].split()]) + shapes


def keyword(line):
    """The lower-case first word of a line ("" when it starts otherwise)."""
    first = line.tokens[0] if line.tokens else None
    return first.text.lower() if first is not None and first.kind == "word" else ""


def _stray_quote(stripped, file, number, sink):
    """A ``.param`` line ending in one unmatched quote (a common typo, which other
    simulators read past) loses the quote, with a warning."""
    if stripped[-1] == "'" and stripped[:6].lower() == ".param" and stripped.count("'") % 2:
        warn(f"unmatched quote at the end of {clip(stripped)!r} ignored", file, number, sink)
        return stripped[:-1].rstrip()
    return stripped


_OPENERS = {"{": "}", "(": ")"}


def strip_comment(text):
    """``text`` without its inline comment: outside braces, quotes and
    parentheses, a ``*`` or ``#`` that starts a word (after whitespace) starts a
    comment, as in ``.PRINT DEVV R1 *Voltage`` or ``RS1 1 2 2ohm *SHUNT=3.73``.
    Inside braces, quotes or parentheses, and within a word (``2*r``), ``*`` is
    multiplication.  ``.param`` lines, whose expressions may hold spaces, are
    cut at ``#`` only."""
    marks = "#" if text[:6].lower() == ".param" else "*#"
    if not any(mark in text for mark in marks):
        return text
    closing, quote = [], None
    for pos, char in enumerate(text):
        if quote is not None:
            quote = None if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char in _OPENERS:
            closing.append(_OPENERS[char])
        elif closing and char == closing[-1]:
            closing.pop()
        elif char in marks and not closing and pos and text[pos - 1] in " \t":
            return text[:pos].rstrip()
    return text


def file_lines(text, file, sink=None):
    """Logical lines of one file: comments and blank lines dropped, continuations
    joined.  The first line comes back separately as a possible title."""
    lines, first = [], None
    # the continuations of the last line, joined once it is complete: joining
    # each as it comes would copy the line again for every one (quadratic)
    pending = []
    for number, raw in enumerate(text.splitlines(), 1):
        stripped = raw.strip()
        if not stripped or stripped[0] in "*#":
            continue
        stripped = strip_comment(stripped)
        if stripped[0] == "+":
            if not lines:
                raise NetlistError("continuation line with no line before it", file, number, raw)
            pending.append((number, stripped[1:], lex(stripped[1:], file, number)))
            continue
        if pending:
            lines[-1] = _joined(lines[-1], pending)
            pending = []
        if stripped[-1] == "'":
            stripped = _stray_quote(stripped, file, number, sink)
        line = _new_token(Line, (file, number, stripped, lex(stripped, file, number), False, ()))
        if number == 1:
            first = line
        lines.append(line)
    if pending:
        lines[-1] = _joined(lines[-1], pending)
    return lines, first


def _joined(line, continuations):
    """``line`` with its ``(number, text, tokens)`` continuations appended."""
    texts, tokens, breaks = [line.text], list(line.tokens), list(line.breaks)
    for number, text, more in continuations:
        texts.append(text.strip())
        breaks.append((len(tokens), number))
        tokens.extend(more)
    return line._replace(text=" ".join(texts), tokens=tuple(tokens), breaks=tuple(breaks))


# -- reading files ---------------------------------------------------------------


class _Budget:
    """Bytes of input still allowed, shared by a netlist and its included files."""

    def __init__(self, limit=MAX_INPUT_BYTES):
        self.left = limit
        self.lines_left = MAX_INPUT_LINES

    def take_lines(self, text, file, where=None):
        """Counts the lines of ``text`` before they are read."""
        self.lines_left -= text.count("\n") + 1
        if self.lines_left < 0:
            message = (
                f"the netlist input exceeds {MAX_INPUT_LINES:,} lines (the reader's limit "
                "loxant.netlist.tokens.MAX_INPUT_LINES)"
            )
            raise where.error(message) if where is not None else NetlistError(message, file, 1)

    def take(self, size, file, where=None):
        self.left -= size
        if self.left < 0:
            message = (
                f"the netlist input exceeds {MAX_INPUT_BYTES // 2**20} MiB "
                "(the reader's limit loxant.netlist.tokens.MAX_INPUT_BYTES)"
            )
            if where is not None:
                raise where.error(message)
            raise NetlistError(message, file, 1)


def _utf16(data):
    """Whether ``data``, which starts with a UTF-16 byte-order mark, holds UTF-16
    text: netlists are mostly ASCII, so every other byte is zero."""
    sample = data[2:402]
    zero_at = 1 if data[:2] == codecs.BOM_UTF16_LE else 0
    zeros = sample[zero_at::2].count(0)
    return len(sample) >= 2 and zeros * 2 >= len(sample) // 2


def decode(data, file, sink=None):
    """Text of the bytes of a netlist file: UTF-8 (with or without its mark),
    UTF-16 with its mark, otherwise latin-1 with a warning."""
    if data[:2] in (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE) and _utf16(data):
        try:
            text = data.decode("utf-16")
        except UnicodeDecodeError as exc:
            raise NetlistError(
                f"cannot read {file}: broken UTF-16 ({exc.reason})", file, 1
            ) from None
    else:
        data = data[3:] if data.startswith(codecs.BOM_UTF8) else data
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as exc:
            number = data.count(b"\n", 0, exc.start) + 1
            byte = data[exc.start]
            warn(f"not UTF-8 (byte 0x{byte:02x}); read as latin-1", file, number, sink)
            text = data.decode("latin-1")
    nul = text.find("\0")
    if nul >= 0:
        number = text.count("\n", 0, nul) + 1
        raise NetlistError(f"cannot read {file}: a NUL character, not a text file", file, number)
    return text


_KINDS = (
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
)


class _NotRegular(Exception):
    """A path that names something other than a regular file; the message says what."""


def _regular(mode):
    for test, kind in _KINDS:
        if test(mode):
            raise _NotRegular(f"not a regular file ({kind})")
    if not stat.S_ISREG(mode):
        raise _NotRegular("not a regular file")


def _read_regular(path, limit):
    """The bytes of the regular file ``path``, or None when it holds more than
    ``limit`` bytes (then nothing is read).  Anything else is refused before it
    is opened, and opened without blocking in case it was swapped meanwhile: a
    FIFO would wait for a writer forever, a device never end."""
    _regular(os.stat(path).st_mode)
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    with open(os.open(path, flags), "rb") as stream:
        status = os.fstat(stream.fileno())
        _regular(status.st_mode)
        if status.st_size > limit:
            return None
        data = stream.read(limit + 1)  # one more, to see a file that grew meanwhile
    return data if len(data) <= limit else None


def read_bytes(path, budget=None, including=None, verb="include"):
    """The bytes of the regular file ``path``, within the input budget;
    ``including`` is the line that names it (a file read for that line is
    refused as "cannot ``verb`` path: reason" there)."""
    budget = budget or _Budget()
    try:
        data = _read_regular(path, max(budget.left, 0))
    except (OSError, ValueError, _NotRegular) as exc:
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        if including is None:
            raise NetlistError(f"cannot read: {reason}", path) from None
        raise including.error(f"cannot {verb} {clip(path)}: {reason}") from None
    budget.take(budget.left + 1 if data is None else len(data), path, including)
    return data


# -- includes and control blocks -------------------------------------------------------


def _include(line, keyword_, base_dir, chain, sink, budget):
    if len(line.tokens) != 2 or line.tokens[1].kind not in ("word", "string"):
        raise line.error(f"{keyword_} takes one file name")
    name = line.tokens[1].text
    path = os.path.normpath(os.path.join(base_dir, name))
    if path in chain:
        raise line.error(f"{clip(name)} includes itself (through {' -> '.join(map(clip, chain))})")
    if len(chain) > MAX_INCLUDE_DEPTH:
        raise line.error(
            f"includes nested more than {MAX_INCLUDE_DEPTH} deep "
            "(the limit loxant.netlist.tokens.MAX_INCLUDE_DEPTH)"
        )
    text = decode(read_bytes(path, budget, line), path, sink)
    budget.take_lines(text, path, line)
    return _expand(text, path, os.path.dirname(path), chain + (path,), sink, budget)[0]


def _control_line(line):
    """A line of a ``.control`` block as the control line it stands for."""
    first = line.tokens[0]
    if first.kind != "word" or first.text.startswith("."):
        return line._replace(control=True)
    dotted = first._replace(text="." + first.text)
    return line._replace(text="." + line.text, tokens=(dotted,) + line.tokens[1:], control=True)


def _expand(text, file, base_dir, chain, sink, budget):
    """Logical lines of a file with its .include files read in place and everything
    after its .end dropped; also returns the file's first line."""
    lines, first = file_lines(text, file, sink)
    out, block = [], None
    for line in lines:
        first_text = line.tokens[0].text if line.tokens else ""
        if block is None and first_text[:1] != ".":
            out.append(line)  # an element: the common case
            continue
        word = keyword(line)
        if block is not None:
            if word in ("endc", ".endc"):
                block = None
            else:
                out.append(_control_line(line))
            continue
        if word == ".end":
            break
        if word == ".control":
            block = line
        elif word == ".endc":
            raise line.error(".endc without .control")
        elif word in (".include", ".inc", ".lib"):
            out += _include(line, word, base_dir, chain, sink, budget)
        else:
            out.append(line)
    if block is not None:
        raise block.error(".control without its .endc")
    return out, first


def read_file(path, sink=None):
    """``(lines, first line)`` of the netlist file ``path`` and its includes."""
    budget = _Budget()
    text = decode(read_bytes(path, budget), path, sink)
    budget.take_lines(text, path)
    base_dir = os.path.dirname(os.path.abspath(path))
    return _expand(text, path, base_dir, (os.path.abspath(path),), sink, budget)


def read_stream(stream, name, base_dir, sink=None):
    """``(lines, first line)`` of the netlist read from the binary ``stream`` (such
    as standard input), within the input budget."""
    budget = _Budget()
    data = stream.read(budget.left + 1)
    budget.take(len(data), name)
    text = decode(data, name, sink)
    budget.take_lines(text, name)
    return _expand(text, name, base_dir, (), sink, budget)


def read_string(text, name, base_dir, sink=None):
    """``(lines, first line)`` of the netlist ``text``, called ``name`` in messages,
    its includes looked up in ``base_dir``."""
    budget = _Budget()
    budget.take(len(text), name)
    budget.take_lines(text, name)
    return _expand(text, name, base_dir, (), sink, budget)
