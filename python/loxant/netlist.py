"""Netlists in the SPICE dialect of superconducting-electronics simulators.

:func:`read_netlist` (or :meth:`Netlist.from_string`) reads a netlist and
returns a :class:`Netlist`: its circuit in physical units, the transient
analysis and the output requests::

    netlist = read_netlist("jtl.cir")
    results = netlist.simulate()                 # PhysicalResults
    for label, unit, values in netlist.traces(results): ...
    pc = netlist.circuit(params={"LB": 2e-12}, rng=np.random.default_rng(1))

Reading goes in three stages: the lexer turns the text into logical lines of
tokens, each token knowing its file and line (comments and blank lines
dropped, ``+`` continuations joined, ``.include`` files read in place); the
parser turns lines into plain records (elements, models, subcircuits,
parameters, analysis, output requests); the builder expands subcircuits,
evaluates every value and adds the elements to a
:class:`~loxant.units.PhysicalCircuit`.  Every problem is a
:class:`NetlistError` reported as ``file:line: message`` followed by the text
of the offending line.

Names are case-insensitive and kept in upper case.  Inside a subcircuit
instance every element and internal node name gets the instance name
appended: ``B1`` of ``X2`` placed in ``X1`` is ``B1|X2|X1``.

Reference units: the circuit is normalised by the critical current and the
shunt resistance (rn, for either rtype) of its first junction (1 mA and 5 ohm
without junctions).  A junction model of ``rtype=1``, the dialect's default, is a
junction with a piecewise-linear quasiparticle branch (r0, rn, vg, delv, icfct;
area divides r0 and rn); ``rtype=0`` a linear shunt rn.
"""

import math
import os
import re
from dataclasses import dataclass, field
from typing import List, NamedTuple, Optional

from . import expressions as ex
from . import jjmodel
from .circuit import GROUND
from .errors import CircuitError
from .units import PhysicalCircuit, Units, parse_probe
from .waveforms import PWL, Constant, DampedSine, Exp, Pulse, Sine

__all__ = [
    "IVRequest",
    "Netlist",
    "NetlistError",
    "OutputRequest",
    "Tran",
    "read_netlist",
    "record_quantities",
]


class NetlistError(CircuitError):
    """A problem in a netlist: ``file``, ``line`` and the offending ``text``."""

    def __init__(self, message, file=None, line=None, text=None):
        self.message, self.file, self.line, self.text = message, file, line, text
        where = f"{file}:{line}: " if line is not None else (f"{file}: " if file else "")
        quoted = f"\n    {text}" if text else ""
        super().__init__(f"{where}{message}{quoted}")


# -- lexer -----------------------------------------------------------------


class Token(NamedTuple):
    """One token: kind is "word", "expr" (in braces or single quotes), "string"
    (double quotes) or one of ``( ) , =``; ``spaced`` says whitespace precedes it."""

    kind: str
    text: str
    file: str
    line: int
    spaced: bool


class Line(NamedTuple):
    """A logical line (continuations joined): where it starts, its text, its tokens."""

    file: str
    number: int
    text: str
    tokens: tuple

    def error(self, message, token=None):
        number = self.number if token is None else token.line
        return NetlistError(message, self.file, number, self.text)


_PUNCTUATION = "(),="
_WORD_END = set(_PUNCTUATION + "{}'\"") | set(" \t\r\n\f\v")
_CLOSING = {"{": "}", "'": "'", '"': '"'}
#: deepest chain of .include files
MAX_INCLUDE_DEPTH = 20


def _lex(text, file, number):
    """Tokens of the physical line ``text``."""
    tokens, pos, spaced = [], 0, True
    while pos < len(text):
        ch = text[pos]
        if ch.isspace():
            spaced, pos = True, pos + 1
            continue
        if ch in _PUNCTUATION:
            tokens.append(Token(ch, ch, file, number, spaced))
            pos += 1
        elif ch in _CLOSING:
            end = text.find(_CLOSING[ch], pos + 1)
            if end < 0:
                raise NetlistError(f"{ch} without its closing {_CLOSING[ch]}", file, number, text)
            kind = "string" if ch == '"' else "expr"
            tokens.append(Token(kind, text[pos + 1 : end], file, number, spaced))
            pos = end + 1
        elif ch == "}":
            raise NetlistError("} without an opening {", file, number, text)
        else:
            end = pos
            while end < len(text) and text[end] not in _WORD_END:
                end += 1
            tokens.append(Token("word", text[pos:end], file, number, spaced))
            pos = end
        spaced = False
    return tuple(tokens)


def _file_lines(text, file):
    """Logical lines of one file: comments and blank lines dropped, continuations
    joined.  The first line comes back separately as a possible title."""
    lines, first = [], None
    for number, raw in enumerate(text.splitlines(), 1):
        stripped = raw.strip()
        if not stripped or stripped[0] in "*#":
            continue
        if stripped[0] == "+":
            if not lines:
                raise NetlistError("continuation line with no line before it", file, number, raw)
            prev = lines[-1]
            more = _lex(stripped[1:], file, number)
            joined = f"{prev.text} {stripped[1:].strip()}"
            lines[-1] = Line(prev.file, prev.number, joined, prev.tokens + more)
            continue
        line = Line(file, number, stripped, _lex(stripped, file, number))
        if number == 1:
            first = line
        lines.append(line)
    return lines, first


def _read_file(path, including=None):
    try:
        with open(path, encoding="utf-8") as stream:
            return stream.read()
    except (OSError, UnicodeDecodeError, ValueError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        if including is None:
            raise NetlistError(f"cannot read {path}: {reason}") from None
        raise including.error(f"cannot include {path}: {reason}") from None


def _keyword(line):
    first = line.tokens[0] if line.tokens else None
    return first.text.lower() if first is not None and first.kind == "word" else ""


def _expand_includes(text, file, base_dir, chain=()):
    """Logical lines of a file with its .include files read in place and everything
    after its .end dropped; also returns the file's first line."""
    lines, first = _file_lines(text, file)
    out = []
    for line in lines:
        keyword = _keyword(line)
        if keyword == ".end":
            break
        if keyword in (".include", ".inc", ".lib"):
            if len(line.tokens) != 2 or line.tokens[1].kind not in ("word", "string"):
                raise line.error(f"{keyword} takes one file name")
            name = line.tokens[1].text
            path = os.path.normpath(os.path.join(base_dir, name))
            if path in chain or len(chain) >= MAX_INCLUDE_DEPTH:
                raise line.error(f"{name} includes itself (through {' -> '.join(chain)})")
            included = _read_file(path, line)
            out += _expand_includes(included, path, os.path.dirname(path), chain + (path,))[0]
            continue
        out.append(line)
    return out, first


# -- records -----------------------------------------------------------------


class Value(NamedTuple):
    """An expression as written, parsed, with the token it starts at."""

    text: str
    tree: tuple
    token: Token


@dataclass
class Element:
    """An element line: ``letter`` is the kind (R L C K B I V P X)."""

    letter: str
    name: str
    nodes: list
    line: Line
    value: Optional[Value] = None
    #: a source's waveform: (kind, [Value, ...]), kind dc/pwl/pulse/sin/exp
    wave: Optional[tuple] = None
    #: junction model or subcircuit name(s)
    model: Optional[str] = None
    #: name=value options (junction area/ic, instance overrides), in order
    options: dict = field(default_factory=dict)


@dataclass
class Model:
    name: str
    params: dict  # upper-case name -> Value
    line: Line


@dataclass
class Body:
    """The elements and parameters of the netlist or of one subcircuit."""

    elements: List[Element] = field(default_factory=list)
    params: list = field(default_factory=list)  # (name, Value, Line)
    names: dict = field(default_factory=dict)  # element name -> Line


@dataclass
class Subckt:
    name: str
    ports: list
    defaults: list  # (name, Value)
    line: Line
    body: Body = field(default_factory=Body)


class Tran(NamedTuple):
    """Transient analysis, in seconds: time step, stop time, start of output and
    the output interval (the time step when not given)."""

    tstep: float
    tstop: float
    prstart: float
    prstep: float

    @property
    def record_every(self):
        """Steps between two printed samples."""
        return max(1, round(self.prstep / self.tstep))


class OutputRequest(NamedTuple):
    """One requested trace: ``kind`` V, P or I; ``names`` one or two names as
    written; ``target`` "device", "node" or "either" (``V(x)`` of a device or a
    node); ``label`` the canonical probe (``P(B1|X1)``) once resolved."""

    kind: str
    names: tuple
    target: str
    line: Line
    token: Token
    label: str = ""


WAVEFORMS = {"pwl": (2, None), "pulse": (2, 7), "sin": (2, 5), "exp": (2, 6)}
LONG_REQUESTS = {
    "devv": ("V", "device"),
    "devi": ("I", "device"),
    "devp": ("P", "device"),
    "phase": ("P", "device"),
    "nodev": ("V", "node"),
    "nodep": ("P", "node"),
}
ELEMENT_LETTERS = set("RLCKBIVPXTEFGH")
NOT_YET_CONTROLS = {".spread"}
#: settings of .option / .options that the reader honours
OPTIONS = {"SEED"}


# -- parser -------------------------------------------------------------------


def _group_end(tokens, start):
    """End of the value starting at ``start``: tokens joined without whitespace,
    parentheses balanced (whitespace inside parentheses allowed)."""
    depth, pos = 0, start
    while pos < len(tokens):
        tok = tokens[pos]
        if pos > start and depth == 0 and (tok.spaced or tok.kind in ",="):
            break
        if depth == 0 and tok.kind in ",=":
            break
        if tok.kind == "(":
            depth += 1
        elif tok.kind == ")":
            if depth == 0:
                break
            depth -= 1
        pos += 1
    return pos


def _joined(tokens):
    parts = []
    for k, tok in enumerate(tokens):
        text = f"({tok.text})" if tok.kind == "expr" else tok.text
        parts.append((" " if k and tok.spaced else "") + text)
    return "".join(parts)


def _value(line, tokens):
    """A :class:`Value` of the tokens of one value."""
    if not tokens:
        raise line.error("missing value")
    text = _joined(tokens)
    if any(tok.kind == "string" for tok in tokens):
        raise line.error(f"a quoted string is not a value: {text}", tokens[0])
    try:
        tree = ex.parse(text)
    except ex.ExpressionError as exc:
        raise line.error(f"bad value {text!r}: {exc.message}", tokens[0]) from None
    return Value(text, tree, tokens[0])


def _values(line, tokens):
    """Values of a list written with spaces or commas between its items."""
    out, pos = [], 0
    while pos < len(tokens):
        if tokens[pos].kind == ",":
            pos += 1
            continue
        end = _group_end(tokens, pos)
        if end == pos:
            raise line.error(f"unexpected {tokens[pos].text!r}", tokens[pos])
        out.append(_value(line, tokens[pos:end]))
        pos = end
    return out


def _options(line, tokens, what):
    """``name=value`` pairs (an ordered dict of upper-case name -> Value); anything
    else is an error."""
    out, pos = {}, 0
    while pos < len(tokens):
        tok = tokens[pos]
        if tok.kind == ",":
            pos += 1
            continue
        if tok.kind != "word" or pos + 2 > len(tokens) or tokens[pos + 1].kind != "=":
            raise line.error(f"expected name=value in {what}, found {tok.text!r}", tok)
        end = _group_end(tokens, pos + 2)
        key = tok.text.upper()
        if key in out:
            raise line.error(f"{tok.text} given twice in {what}", tok)
        out[key] = tokens[pos + 2 : end]
        pos = end
    return out


def _split_options(tokens):
    """Position of the first ``name=value`` pair (len(tokens) if none)."""
    for pos in range(len(tokens) - 1):
        if tokens[pos].kind == "word" and tokens[pos + 1].kind == "=":
            return pos
    return len(tokens)


def _words(line, tokens, what):
    for tok in tokens:
        if tok.kind != "word":
            raise line.error(f"{what}: expected a name, found {tok.text!r}", tok)
    return [tok.text.upper() for tok in tokens]


def _name_token(line):
    tok = line.tokens[0]
    if tok.kind != "word":
        raise line.error(f"a line starts with an element name or a control word, not {tok.text!r}")
    return tok


class _Parser:
    """Turns logical lines into records."""

    def __init__(self):
        self.top = Body()
        self.subckts = {}
        self.models = {}
        self.tran = None
        self.tran_line = None
        #: .option adaptive was given
        self.adaptive = False
        #: .temp, .neb and .option seed= as (Value, Line), or None
        self.noise = {"temp": None, "neb": None, "seed": None}
        self.requests = []
        self.iv_requests = []  # IVRequest records of .iv cards
        self.stack = []  # open .subckt definitions

    @property
    def body(self):
        return self.stack[-1].body if self.stack else self.top

    def feed(self, line):
        keyword = _keyword(line)
        if keyword.startswith("."):
            self._control(keyword, line)
        else:
            element = self.element(line)
            names = self.body.names
            if element.name in names:
                first = names[element.name]
                raise line.error(
                    f"duplicate name {element.name} (first at {first.file}:{first.number})"
                )
            names[element.name] = line
            self.body.elements.append(element)

    def finish(self):
        if self.stack:
            sub = self.stack[-1]
            raise sub.line.error(f".subckt {sub.name} has no .ends")

    # -- elements --

    def element(self, line):
        tok = _name_token(line)
        letter = tok.text[0].upper()
        name = tok.text.upper()
        if letter not in ELEMENT_LETTERS:
            raise line.error(f"unknown element letter {letter!r} of {tok.text}")
        rest = line.tokens[1:]
        if letter in "RLC":
            return self._two_nodes_value(letter, name, line, rest)
        if letter == "K":
            return self._coupling(name, line, rest)
        if letter == "B":
            return self._junction(name, line, rest)
        if letter == "X":
            return self._instance(name, line, rest)
        if letter == "T":
            return self._line(name, line, rest)
        if letter in "EFGH":
            return self._controlled(letter, name, line, rest)
        return self._source(letter, name, line, rest)

    def _nodes(self, name, line, rest, count, what):
        if len(rest) < count or any(tok.kind != "word" for tok in rest[:count]):
            raise line.error(f"{name}: expected {count} {what}")
        return [tok.text.upper() for tok in rest[:count]]

    def _two_nodes_value(self, letter, name, line, rest):
        nodes = self._nodes(name, line, rest, 2, "nodes and a value")
        split = _split_options(rest) if letter == "R" else len(rest)
        options = {}
        for key, tokens in _options(line, rest[split:], name).items():
            if key != "TEMP":
                raise line.error(f"{name}: unknown resistor parameter {key.lower()}")
            options[key] = _value(line, tokens)
        rest = rest[:split]
        values = _values(line, rest[2:])
        if len(values) != 1:
            raise line.error(
                f"{name}: expected two nodes and one value, got {len(values)} value(s)"
            )
        return Element(letter, name, nodes, line, value=values[0], options=options)

    def _coupling(self, name, line, rest):
        inductors = self._nodes(name, line, rest, 2, "inductor names and a coupling factor")
        values = _values(line, rest[2:])
        if len(values) != 1:
            raise line.error(f"{name}: expected two inductors and one coupling factor")
        return Element("K", name, inductors, line, value=values[0])

    def _junction(self, name, line, rest):
        split = _split_options(rest)
        positional = _words(line, rest[:split], name)
        if len(positional) not in (3, 4):
            raise line.error(
                f"{name}: expected two nodes, an optional third node and a model name, "
                f"got {len(positional)} name(s)"
            )
        options = {}
        for key, tokens in _options(line, rest[split:], name).items():
            if key not in ("AREA", "IC", "TEMP"):
                raise line.error(f"{name}: unknown junction parameter {key.lower()}")
            options[key] = _value(line, tokens)
        if "AREA" in options and "IC" in options:
            raise line.error(f"{name}: give area or ic, not both")
        return Element("B", name, positional[:2], line, model=positional[-1], options=options)

    def _line(self, name, line, rest):
        split = _split_options(rest)
        nodes = self._nodes(name, line, rest[:split], 4, "nodes, then td= and z0=")
        if split != 4:
            raise line.error(f"{name}: expected 4 nodes, then td= and z0=")
        options = {}
        for key, tokens in _options(line, rest[4:], name).items():
            if key not in ("TD", "Z0"):
                raise line.error(f"{name}: unknown transmission line parameter {key.lower()}")
            options[key] = _value(line, tokens)
        if len(options) != 2:
            raise line.error(f"{name}: a transmission line needs td= and z0=")
        return Element("T", name, nodes, line, options=options)

    def _controlled(self, letter, name, line, rest):
        """``E/G name n+ n- nc+ nc- gain`` and ``F/H name n+ n- vname gain``."""
        by_voltage = letter in "EG"
        count = 4 if by_voltage else 3
        what = "nodes and a gain" if by_voltage else "nodes, a controlling element and a gain"
        words = self._nodes(name, line, rest, count, what)
        values = _values(line, rest[count:])
        if len(values) != 1:
            raise line.error(
                f"{name}: expected {count} names and one gain, got {len(values)} values"
            )
        if by_voltage:
            return Element(letter, name, words, line, value=values[0])
        return Element(letter, name, words[:2], line, value=values[0], model=words[2])

    def _instance(self, name, line, rest):
        split = _split_options(rest)
        positional = _words(line, rest[:split], name)
        if not positional:
            raise line.error(f"{name}: expected a subcircuit name and its nodes")
        options = {k: _value(line, t) for k, t in _options(line, rest[split:], name).items()}
        return Element("X", name, positional, line, options=options)

    def _source(self, letter, name, line, rest):
        nodes = self._nodes(name, line, rest, 2, "nodes and a value")
        rest = rest[2:]
        if not rest:
            raise line.error(f"{name}: missing value")
        head = rest[0].text.lower() if rest[0].kind == "word" else ""
        if head == "dc":
            values = _values(line, rest[1:])
            if len(values) != 1:
                raise line.error(f"{name}: dc takes one value")
            return Element(letter, name, nodes, line, wave=("dc", values))
        if len(rest) > 1 and rest[1].kind == "(" and rest[0].kind == "word":
            if head in WAVEFORMS:
                return Element(letter, name, nodes, line, wave=self._waveform(name, line, rest))
            if head not in ex.FUNCTIONS and head not in ex.RANDOM:
                raise line.error(f"{name}: unknown waveform {rest[0].text!r}", rest[0])
        values = _values(line, rest)
        if len(values) != 1:
            raise line.error(f"{name}: expected one value or a waveform, got {len(values)} values")
        return Element(letter, name, nodes, line, wave=("dc", values))

    def _waveform(self, name, line, rest):
        kind = rest[0].text.lower()
        end = _group_end(rest, 1)
        if end != len(rest) or rest[end - 1].kind != ")":
            raise line.error(f"{name}: unexpected text after {kind}(...)")
        values = _values(line, rest[2 : end - 1])
        low, high = WAVEFORMS[kind]
        if len(values) < low or (high is not None and len(values) > high):
            wanted = f"{low} to {high}" if high else f"at least {low}"
            raise line.error(f"{name}: {kind} takes {wanted} values, got {len(values)}")
        if kind == "pwl" and len(values) % 2:
            raise line.error(f"{name}: pwl takes pairs of time and value, got {len(values)} values")
        return (kind, values)

    # -- control lines --

    def _control(self, keyword, line):
        if keyword in NOT_YET_CONTROLS:
            raise line.error(f"{keyword} is not supported yet")
        handler = {
            ".model": self._model,
            ".subckt": self._subckt,
            ".ends": self._ends,
            ".param": self._param,
            ".params": self._param,
            ".tran": self._tran,
            ".print": self._print,
            ".temp": self._noise_setting,
            ".neb": self._noise_setting,
            ".option": self._option,
            ".options": self._option,
            ".save": self._print,
            ".plot": self._print,
            ".iv": self._iv,
        }.get(keyword)
        if handler is None:
            raise line.error(f"unknown control line {line.tokens[0].text}")
        handler(line)

    def _model(self, line):
        tokens = line.tokens
        if len(tokens) < 3 or tokens[1].kind != "word" or tokens[2].kind != "word":
            raise line.error(".model takes a name, a type and parameters")
        name, kind = tokens[1].text.upper(), tokens[2].text.lower()
        if kind != "jj":
            raise line.error(f"model type {tokens[2].text!r} is not supported (only jj)", tokens[2])
        rest = tokens[3:]
        if rest and rest[0].kind == "(":
            if _group_end(rest, 0) != len(rest):
                raise line.error(f"unexpected text after .model {tokens[1].text} jj(...)")
            rest = rest[1:-1]
        params = {}
        for key, values in _options(line, rest, f"model {name}").items():
            key = _MODEL_ALIASES.get(key, key)
            if key not in _MODEL_DEFAULTS and key not in _MODEL_NOT_YET:
                known = ", ".join(sorted(k.lower() for k in _MODEL_DEFAULTS))
                raise line.error(
                    f"unknown parameter {key.lower()} of model {name} (known: {known})"
                )
            if key in params:
                raise line.error(f"model {name}: {key.lower()} given twice")
            if key == "CPR":
                params[key] = [v for v in _values(line, _unbracket(values))]
            else:
                params[key] = _value(line, values)
        if name in self.models:
            raise line.error(f"duplicate model {name}")
        self.models[name] = Model(name, params, line)

    def _subckt(self, line):
        tokens = line.tokens[1:]
        split = _split_options(tokens)
        names = _words(line, tokens[:split], ".subckt")
        if not names:
            raise line.error(".subckt takes a name and its nodes")
        name, ports = names[0], names[1:]
        if len(set(ports)) != len(ports):
            raise line.error(f".subckt {name}: a node appears twice among its ports")
        if any(port in (GROUND, "GND") for port in ports):
            raise line.error(f".subckt {name}: ground cannot be a port")
        defaults = [(k, _value(line, v)) for k, v in _options(line, tokens[split:], name).items()]
        if name in self.subckts or any(s.name == name for s in self.stack):
            raise line.error(f"duplicate subcircuit {name}")
        self.stack.append(Subckt(name, ports, defaults, line))

    def _ends(self, line):
        if not self.stack:
            raise line.error(".ends without .subckt")
        sub = self.stack.pop()
        if len(line.tokens) > 2 or (
            len(line.tokens) == 2 and line.tokens[1].text.upper() != sub.name
        ):
            raise line.error(f".ends does not match .subckt {sub.name}")
        self.subckts[sub.name] = sub

    def _param(self, line):
        text = line.text.split(None, 1)[1] if len(line.text.split(None, 1)) > 1 else ""
        text = text.replace("{", "(").replace("}", ")").replace("'", " ")
        matches = list(re.finditer(r"([A-Za-z_][A-Za-z0-9_]*)\s*=(?!=)", text))
        if not matches or text[: matches[0].start()].strip():
            raise line.error(".param takes name=expression")
        known = {name for name, _, _ in self.body.params}
        for k, match in enumerate(matches):
            end = matches[k + 1].start() if k + 1 < len(matches) else len(text)
            expression = text[match.end() : end].strip().rstrip(",").strip()
            name = match.group(1).upper()
            if not expression:
                raise line.error(f".param {name}: missing expression")
            if name in known:
                raise line.error(f".param {name} defined twice")
            try:
                tree = ex.parse(expression)
            except ex.ExpressionError as exc:
                raise line.error(f".param {name}: {exc.message}") from None
            known.add(name)
            self.body.params.append((name, Value(expression, tree, line.tokens[0]), line))

    def _top_only(self, line):
        if self.stack:
            raise line.error(f"{line.tokens[0].text} inside .subckt {self.stack[-1].name}")

    def _tran(self, line):
        self._top_only(line)
        if self.tran is not None:
            raise line.error(f"second .tran (the first at line {self.tran_line.number})")
        tokens = list(line.tokens[1:])
        if tokens and tokens[-1].kind == "word" and tokens[-1].text.upper() == "DST":
            tokens.pop()  # no start-up time: sources act from t = 0, as always here
        values = _values(line, tokens)
        if not 2 <= len(values) <= 4:
            raise line.error(".tran takes tstep tstop [prstart [prstep]]")
        self.tran, self.tran_line = values, line

    def _noise_setting(self, line):
        self._top_only(line)
        key = _keyword(line)[1:]
        if self.noise[key] is not None:
            raise line.error(f"second .{key} (the first at line {self.noise[key][1].number})")
        values = _values(line, line.tokens[1:])
        if len(values) != 1:
            raise line.error(f".{key} takes one value")
        self.noise[key] = (values[0], line)

    def _option(self, line):
        self._top_only(line)
        words = line.tokens[1:]
        # the one bare word: an adaptive step, .tran's tstep its largest
        for pos, tok in enumerate(words):
            followed = pos + 1 < len(words) and words[pos + 1].kind == "="
            if tok.kind == "word" and tok.text.upper() == "ADAPTIVE" and not followed:
                self.adaptive = True
                words = words[:pos] + words[pos + 1 :]
                break
        for key, tokens in _options(line, words, line.tokens[0].text).items():
            if key not in OPTIONS:
                known = ", ".join(sorted(k.lower() for k in OPTIONS))
                raise line.error(f"unknown option {key.lower()} (known: {known})")
            if self.noise["seed"] is not None:
                raise line.error("seed given twice")
            self.noise["seed"] = (_value(line, tokens), line)

    def _iv(self, line):
        self._top_only(line)
        self.iv_requests.append(_iv_card(line))

    def _print(self, line):
        self._top_only(line)
        tokens = line.tokens[1:]
        if not tokens:
            raise line.error(f"{line.tokens[0].text} requests nothing")
        head = tokens[0].text.lower() if tokens[0].kind == "word" else ""
        if head in LONG_REQUESTS and not (len(tokens) > 1 and tokens[1].kind == "("):
            kind, target = LONG_REQUESTS[head]
            names = _words(line, tokens[1:], tokens[0].text)
            wanted = (1, 2) if target == "node" else (1,)
            if len(names) not in wanted:
                what = "one or two nodes" if target == "node" else "one device"
                raise line.error(f"{tokens[0].text} takes {what}")
            self.requests.append(OutputRequest(kind, tuple(names), target, line, tokens[0]))
            return
        pos = 0
        while pos < len(tokens):
            tok = tokens[pos]
            end = _group_end(tokens, pos)
            kind = tok.text.upper() if tok.kind == "word" else ""
            inner = tokens[pos + 2 : end - 1]
            if (
                kind not in ("V", "P", "I")
                or end - pos < 4
                or tokens[pos + 1].kind != "("
                or tokens[end - 1].kind != ")"
            ):
                raise line.error(f"cannot read output request {_joined(tokens[pos:end])!r}", tok)
            names = _words(line, [t for t in inner if t.kind != ","], _joined(tokens[pos:end]))
            if not 1 <= len(names) <= 2 or (kind == "I" and len(names) != 1):
                raise line.error(f"cannot read output request {_joined(tokens[pos:end])!r}", tok)
            target = "node" if len(names) == 2 else ("device" if kind == "I" else "either")
            self.requests.append(OutputRequest(kind, tuple(names), target, line, tok))
            pos = end


class IVRequest(NamedTuple):
    """``.iv model max_current file``: the I-V curve of a junction model from
    -max_current to +max_current, written to ``path`` as CSV."""

    model: str
    max_current: object  # a Value until the Netlist evaluates it, then amperes
    path: str
    line: Line


def _iv_card(line):
    tokens = line.tokens[1:]
    if len(tokens) < 3 or tokens[0].kind != "word" or tokens[-1].kind not in ("word", "string"):
        raise line.error(".iv takes a model name, the largest current and a file name")
    return IVRequest(tokens[0].text.upper(), _value(line, tokens[1:-1]), tokens[-1].text, line)


def _unbracket(tokens):
    """The items of a list value such as ``(1, 0.1)``."""
    if tokens and tokens[0].kind == "(" and tokens[-1].kind == ")":
        return tokens[1:-1]
    return tokens


# -- junction models -------------------------------------------------------------

_MODEL_DEFAULTS = jjmodel.DEFAULTS
_MODEL_ALIASES = jjmodel.ALIASES
#: parameters of the dialect that cannot be honoured yet
_MODEL_NOT_YET = {}


def _junction_model(model, scope):
    """The :class:`~loxant.jjmodel.ModelJJ` of ``model`` (per unit area); raises
    ExpressionError or NetlistError."""
    given = {}
    for key, value in model.params.items():
        if key == "CPR":
            given[key] = [scope.evaluate(item.tree) for item in value]
        else:
            given[key] = scope.evaluate(value.tree)
    try:
        return jjmodel.junction_model(given)
    except jjmodel.JunctionModelError as exc:
        raise model.line.error(f"model {model.name}: {exc}") from None


# -- builder -------------------------------------------------------------------------


@dataclass
class _Flat:
    """One element of the expanded circuit, values in SI units."""

    letter: str
    name: str
    nodes: tuple
    line: Line
    values: dict


class _Builder:
    """Expands subcircuits, evaluates values, checks connectivity and fills a
    PhysicalCircuit."""

    def __init__(self, parsed, params, rng):
        self.parsed = parsed
        self.rng = rng
        self.flat = []
        self.scope = ex.Scope(rng=rng)
        for name, value, line in parsed.top.params:
            self.scope.define(name, value.tree, line)
        for name, value in (params or {}).items():
            if not isinstance(name, str) or name.upper() not in self.scope:
                raise NetlistError(f"no .param named {name!r} to override", parsed.file)
            try:
                self.scope.define(name, value=float(value))
            except (TypeError, ValueError):
                raise NetlistError(
                    f"override of {name} must be a number, got {value!r}", parsed.file
                ) from None
        self.global_values = _resolve(self.scope)
        self.models = {}

    def build(self):
        self._expand(self.parsed.top, self.scope, "", {}, ())
        return self.flat

    def model(self, name, element):
        if name not in self.parsed.models:
            raise element.line.error(f"{element.name}: unknown model {name}")
        if name not in self.models:
            model = self.parsed.models[name]
            try:
                self.models[name] = _junction_model(model, self.scope)
            except ex.ExpressionError as exc:
                raise model.line.error(f"model {name}: {exc.message}") from None
        return self.models[name]

    def _expand(self, body, scope, suffix, ports, stack):
        def node(name):
            if name in (GROUND, "GND"):
                return GROUND
            return ports.get(name, name + suffix)

        for element in body.elements:
            name = element.name + suffix
            try:
                if element.letter == "X":
                    self._instance(element, scope, suffix, node, stack)
                    continue
                values = self._values(element, scope)
            except ex.ExpressionError as exc:
                if exc.where is not None:
                    raise exc.where.error(exc.message) from None
                raise element.line.error(f"{element.name}: {exc.message}") from None
            if element.letter == "K":
                nodes = tuple(n + suffix for n in element.nodes)
            else:
                nodes = tuple(node(n) for n in element.nodes)
            if element.letter in "FH":
                values["control"] = element.model + suffix
            self.flat.append(_Flat(element.letter, name, nodes, element.line, values))

    def _values(self, element, scope):
        letter = element.letter
        if letter in "RLCKEFGH":
            values = {"value": scope.evaluate(element.value.tree)}
            if "TEMP" in element.options:
                values["temp"] = scope.evaluate(element.options["TEMP"].tree)
            return values
        if letter == "B":
            model = self.model(element.model, element)
            ic = model.icrit
            if "IC" in element.options:
                if ic == 0:
                    raise element.line.error(f"{element.name}: ic= needs a model with icrit > 0")
                area = scope.evaluate(element.options["IC"].tree) / ic
            elif "AREA" in element.options:
                area = scope.evaluate(element.options["AREA"].tree)
            else:
                area = 1.0
            if not area > 0:
                raise element.line.error(f"{element.name}: area must be positive, got {area:g}")
            values = {"ic": ic * area, "r": model.rn / area, "adder": model.adder}
            values["junction"] = model.instance(area)
            if "TEMP" in element.options:
                values["temp"] = scope.evaluate(element.options["TEMP"].tree)
            return values
        if letter == "T":
            return {k.lower(): scope.evaluate(v.tree) for k, v in element.options.items()}
        kind, values = element.wave
        return {"wave": kind, "args": [scope.evaluate(v.tree) for v in values]}

    def _instance(self, element, scope, suffix, node, stack):
        sub, nodes = self._which_subckt(element)
        if sub.name in stack:
            raise element.line.error(
                f"{element.name}: subcircuit {sub.name} contains itself "
                f"({' -> '.join(stack + (sub.name,))})"
            )
        inner = ex.Scope(parent=scope, rng=self.rng)
        for name, value in sub.defaults:
            inner.define(name, value.tree, sub.line)
        for name, value, line in sub.body.params:
            inner.define(name, value.tree, line)
        for name, value in element.options.items():
            if name not in inner:
                raise element.line.error(
                    f"{element.name}: subcircuit {sub.name} has no parameter {name.lower()}"
                )
            inner.define(name, value=scope.evaluate(value.tree))
        _resolve(inner)
        ports = {port: node(outer) for port, outer in zip(sub.ports, nodes)}
        self._expand(sub.body, inner, f"|{element.name}{suffix}", ports, stack + (sub.name,))

    def _which_subckt(self, element):
        """The subcircuit of an instance and its nodes, for ``X1 sub n1 n2`` and
        ``X1 n1 n2 sub`` alike."""
        words, subckts = element.nodes, self.parsed.subckts
        count = len(words) - 1
        first = subckts.get(words[0])
        last = subckts.get(words[-1]) if count else None
        if first is not None and (len(first.ports) == count or last is None):
            sub, nodes = first, words[1:]
        elif last is not None:
            sub, nodes = last, words[:-1]
        else:
            names = {words[0], words[-1]}
            raise element.line.error(
                f"{element.name}: unknown subcircuit {' or '.join(sorted(names))}"
            )
        if len(nodes) != len(sub.ports):
            raise element.line.error(
                f"{element.name}: subcircuit {sub.name} has {len(sub.ports)} node(s), "
                f"{len(nodes)} given"
            )
        return sub, nodes


def _resolve(scope):
    try:
        return scope.resolve_all()
    except ex.ExpressionError as exc:
        raise exc.where.error(exc.message) from None


def _check_connections(flat):
    """Nodes touched by one element, loops of voltage and phase sources, and nodes
    without a path to ground."""
    touches = {}
    for element in flat:
        if element.letter != "K":
            for node in element.nodes:
                if node != GROUND:
                    touches.setdefault(node, []).append(element)
    for node, elements in touches.items():
        if len(elements) == 1:
            element = elements[0]
            raise element.line.error(
                f"node {node} is connected only to {element.name} (a node needs two connections)"
            )

    sources = {}  # node -> [(other node, source name)]
    group = {}

    def root(node):
        while group.get(node, node) != node:
            node = group[node]
        return node

    for element in flat:
        if element.letter not in "VP":
            continue
        a, b = element.nodes
        if root(a) == root(b):
            loop = _path(sources, a, b) + [element.name]
            raise element.line.error(
                f"{element.name} closes a loop of voltage and phase sources: {', '.join(loop)}"
            )
        group[root(a)] = root(b)
        sources.setdefault(a, []).append((b, element.name))
        sources.setdefault(b, []).append((a, element.name))

    group = {}
    for element in flat:
        for x, y in _CONDUCTING.get(element.letter, ((0, 1),)):
            group[root(element.nodes[x])] = root(element.nodes[y])
    for node, elements in touches.items():
        if root(node) != root(GROUND):
            raise elements[0].line.error(
                f"node {node} has no path to ground other than through current sources"
            )


#: node pairs (by position) that an element joins by a path entering the matrix
_CONDUCTING = {"I": (), "K": (), "T": ((0, 1), (2, 3)), "F": (), "G": ()}


def _path(edges, start, goal):
    """Names of the sources on a path from ``start`` to ``goal``."""
    previous, pending = {start: None}, [start]
    while pending:
        node = pending.pop(0)
        for other, name in edges.get(node, ()):
            if other not in previous:
                previous[other] = (node, name)
                pending.append(other)
    names, node = [], goal
    while previous.get(node) is not None:
        node, name = previous[node]
        names.append(name)
    return names[::-1]


def _reference_units(flat):
    for element in flat:
        if element.letter == "B" and element.values["ic"] != 0:
            return Units(abs(element.values["ic"]), element.values["r"])
    return Units(1e-3, 5.0)


def _waveform(values, tran, time_scale, value_scale):
    """The normalised waveform of a source."""
    kind, args = values["wave"], values["args"]
    t = [a / time_scale for a in args]
    v = [a / value_scale for a in args]
    tstep = tran.tstep / time_scale if tran else 0.0
    tstop = tran.tstop / time_scale if tran else 1.0 / time_scale
    if kind == "dc":
        return Constant(v[0])
    if kind == "pwl":
        points = list(zip(t[0::2], v[1::2]))
        if points[0][0] > 0 and points[0][1] != 0:
            points.insert(0, (points[0][0], 0.0))  # 0 before the first point
        return PWL(points)
    if kind == "pulse":
        t += [None] * (7 - len(t))
        return Pulse(
            v[0],
            v[1],
            delay=t[2] or 0.0,
            rise=tstep if t[3] is None else t[3],
            fall=tstep if t[4] is None else t[4],
            width=tstop if t[5] is None else t[5],
            period=t[6] or None,  # a period of 0 means no repetition
        )
    if kind == "sin":
        freq = args[2] * time_scale if len(args) > 2 else 1.0 / tstop
        delay = t[3] if len(args) > 3 else 0.0
        damping = args[4] * time_scale if len(args) > 4 else 0.0
        if damping:
            return DampedSine(v[0], v[1], freq, delay=delay, damping=damping)
        return Sine(v[0], v[1], freq, delay=delay)
    t += [None] * (6 - len(t))
    delay_rise = t[2] or 0.0
    tau_rise = tstep if t[3] is None else t[3]
    delay_fall = delay_rise + tstep if t[4] is None else t[4]
    tau_fall = tstep if t[5] is None else t[5]
    return Exp(v[0], v[1], delay_rise, tau_rise, delay_fall, tau_fall)


_SOURCE_UNITS = {"I": "A", "V": "V", "P": "rad"}


def _fill(pc, flat, tran):
    """Add the expanded elements to ``pc``: the one place where records become
    circuit elements."""
    scale = pc.units.scale
    couplings, controlled = [], []
    for element in flat:
        name, values = element.name, element.values
        a, b = element.nodes[:2]
        try:
            if element.letter == "R":
                pc.resistor(name, a, b, values["value"], temp=values.get("temp"))
            elif element.letter == "L":
                pc.inductor(name, a, b, values["value"], branch=values["value"] == 0)
            elif element.letter == "C":
                pc.capacitor(name, a, b, values["value"])
            elif element.letter == "K":
                couplings.append(element)
            elif element.letter == "T":
                pc.transmission_line(name, *element.nodes, td=values["td"], z0=values["z0"])
            elif element.letter == "E":
                pc.vcvs(name, *element.nodes, gain=values["value"])
            elif element.letter == "G":
                pc.vccs(name, *element.nodes, gm=values["value"])
            elif element.letter in "FH":
                controlled.append(element)
            elif element.letter == "B":
                adder = getattr(pc, values["adder"])
                adder(name, a, b, temp=values.get("temp"), **values["junction"])
            else:
                unit = _SOURCE_UNITS[element.letter]
                wave = _waveform(values, tran, scale["s"], scale[unit])
                adder = {
                    "I": pc.circuit.current_source,
                    "V": pc.circuit.voltage_source,
                    "P": pc.circuit.phase_source,
                }[element.letter]
                adder(name, a, b, wave)
        except (CircuitError, ValueError, TypeError) as exc:
            raise element.line.error(str(exc)) from None
    _fill_current_controlled(pc, controlled)
    for element in couplings:
        first, second = element.nodes
        try:
            pc.mutual(element.name, first, second, k=element.values["value"])
        except CircuitError as exc:
            raise element.line.error(str(exc)) from None
    return pc


def _fill_current_controlled(pc, pending):
    """F and H sources, after the elements they name; one may name another."""
    while pending:
        ready = [e for e in pending if e.values["control"] in pc.circuit]
        if not ready:
            element = pending[0]
            control = element.values["control"]
            raise element.line.error(
                f"{element.name}: no element named {control} to take the current of"
            )
        for element in ready:
            a, b = element.nodes
            try:
                if element.letter == "F":
                    pc.cccs(
                        element.name, a, b, element.values["control"], gain=element.values["value"]
                    )
                else:
                    pc.ccvs(
                        element.name, a, b, element.values["control"], r=element.values["value"]
                    )
            except CircuitError as exc:
                raise element.line.error(str(exc)) from None
        pending = [e for e in pending if all(e is not r for r in ready)]


# -- the netlist ---------------------------------------------------------------------


def record_quantities(probes):
    """The quantities a simulation must record to give ``probes`` (resolved
    :class:`~loxant.units.Probe` objects): ``(quantity, name)`` pairs, quantity one
    of ``node_phase``, ``node_voltage``, ``phase``, ``voltage``, ``current``, in
    order of first need, without repeats."""
    out = []
    for probe in probes:
        if probe.element is not None:
            wanted = [(probe.quantity, probe.element)]
        else:
            wanted = [(f"node_{probe.quantity}", n) for n in probe.nodes if n != GROUND]
        out += [q for q in wanted if q not in out]
    return out


class Netlist:
    """A netlist as read: records, analysis and output requests.

    Attributes: ``title``; ``file`` (the name in messages); ``tran`` (a
    :class:`Tran` in seconds, or None); ``requests`` (the
    :class:`OutputRequest` records, resolved); ``probes`` (their labels, such as
    ``"P(B1)"``, in request order); ``params`` (the top-level ``.param`` names
    and nominal values); ``units`` (the reference units of every circuit built);
    ``temperature`` (``.temp``, kelvin, 0 without), ``noise_bandwidth`` (``.neb``, Hz,
    0 without) and ``seed`` (``.option seed=``, None without).
    """

    def __init__(self, parsed, title, file):
        self._parsed = parsed
        self.title = title
        self.file = file
        parsed.file = file
        self.tran = self._tran()
        #: ``.option adaptive``: the step is adaptive, .tran's tstep its largest
        self.adaptive = self._parsed.adaptive
        self.temperature, self.noise_bandwidth, self.seed = self._noise()
        nominal = _Builder(parsed, None, None)
        self.params = dict(nominal.global_values)
        flat = nominal.build()
        if not flat and not parsed.iv_requests:
            raise NetlistError("the netlist has no elements", file)
        _check_connections(flat)
        self.units = _reference_units(flat)
        self._nominal = self._with_noise(
            _fill(PhysicalCircuit(self.units.ic0, self.units.r0, title), flat, self.tran)
        )
        self.requests = [self._resolve(request) for request in parsed.requests]
        self.probes = [request.label for request in self.requests]
        #: the .iv cards, IVRequest records with max_current in amperes
        self.iv_requests = [self._iv_request(request) for request in parsed.iv_requests]

    def junction_model(self, name):
        """The :class:`~loxant.jjmodel.ModelJJ` of the ``.model`` named ``name``,
        evaluated with the top-level ``.param`` values."""
        model = self._parsed.models.get(str(name).upper())
        if model is None:
            known = ", ".join(sorted(self._parsed.models)) or "none"
            raise NetlistError(f"no junction model named {name} (known: {known})", self.file)
        try:
            return _junction_model(model, _Builder(self._parsed, None, None).scope)
        except ex.ExpressionError as exc:
            raise model.line.error(f"model {model.name}: {exc.message}") from None

    def _iv_request(self, request):
        if request.model not in self._parsed.models:
            raise request.line.error(f".iv: unknown model {request.model}")
        try:
            top = _Builder(self._parsed, None, None).scope.evaluate(request.max_current.tree)
        except ex.ExpressionError as exc:
            raise request.line.error(f".iv: {exc.message}") from None
        if not top > 0:
            raise request.line.error(f".iv: the largest current must be positive, got {top:g}")
        self.junction_model(request.model)  # a bad model is reported now
        return request._replace(max_current=top)

    @classmethod
    def from_string(cls, text, name="<string>", base_dir=None):
        """Read a netlist from ``text``; ``name`` stands for the file in messages,
        ``.include`` files are looked up relative to ``base_dir`` (default: the
        current directory)."""
        if not isinstance(text, str):
            raise NetlistError(f"a netlist is text, got {type(text).__name__}", name)
        base_dir = os.getcwd() if base_dir is None else base_dir
        return cls._read(text, name, base_dir)

    @classmethod
    def from_file(cls, path):
        """Read the netlist file ``path``."""
        path = os.fspath(path)
        return cls._read(_read_file(path), path, os.path.dirname(os.path.abspath(path)))

    @classmethod
    def _read(cls, text, file, base_dir):
        try:
            lines, first = _expand_includes(text, file, base_dir)
            parser = _Parser()
            title = ""
            for line in lines:
                is_first = first is not None and (line.file, line.number) == (file, 1)
                if is_first and _keyword(line)[:1] != ".":
                    try:
                        record = parser.element(line)
                    except NetlistError:
                        title = line.text
                        continue
                    if not _plausible(record, lines):
                        title = line.text
                        continue
                parser.feed(line)
            parser.finish()
            return cls(parser, title, file)
        except RecursionError:
            raise NetlistError("the netlist nests too deeply", file) from None

    # -- analysis and outputs --

    def _tran(self):
        values, line = self._parsed.tran, self._parsed.tran_line
        if values is None:
            return None
        scope = ex.Scope()
        for name, value, where in self._parsed.top.params:
            scope.define(name, value.tree, where)
        try:
            numbers = [scope.evaluate(v.tree) for v in values]
        except ex.ExpressionError as exc:
            raise (exc.where or line).error(f".tran: {exc.message}") from None
        tstep, tstop = numbers[0], numbers[1]
        prstart = numbers[2] if len(numbers) > 2 else 0.0
        prstep = numbers[3] if len(numbers) > 3 else tstep
        if not 0 < tstep <= tstop:
            raise line.error(".tran needs 0 < tstep <= tstop")
        if not 0 <= prstart < tstop or prstep <= 0:
            raise line.error(".tran needs 0 <= prstart < tstop and prstep > 0")
        ratio = prstep / tstep
        if ratio < 1 - 1e-9 or abs(ratio - round(ratio)) > 1e-6 * ratio:
            raise line.error(
                f".tran: prstep {prstep:g} s is not a whole multiple of the time step {tstep:g} s"
            )
        return Tran(tstep, tstop, prstart, prstep)

    def _noise(self):
        """(.temp in kelvin, .neb in hertz, .option seed) with 0, 0, None when absent."""
        scope = ex.Scope()
        for name, value, where in self._parsed.top.params:
            scope.define(name, value.tree, where)
        out = []
        for key, default in (("temp", 0.0), ("neb", 0.0), ("seed", None)):
            given = self._parsed.noise[key]
            if given is None:
                out.append(default)
                continue
            value, line = given
            try:
                number = scope.evaluate(value.tree)
            except ex.ExpressionError as exc:
                raise (exc.where or line).error(f"{key}: {exc.message}") from None
            if key == "seed":
                if not (number >= 0 and number == int(number)):
                    raise line.error(f"seed must be a whole number >= 0, got {number:g}")
                number = int(number)
            elif not (math.isfinite(number) and number >= 0):
                raise line.error(f".{key} must not be negative, got {number:g}")
            out.append(number)
        return tuple(out)

    def _resolve(self, request):
        circuit = self._nominal.circuit
        elements, nodes = set(e.name for e in circuit.elements), set(circuit.nodes)

        def known(name, pool):
            for candidate in (name, name.replace(".", "|")):
                if candidate in pool or (pool is nodes and candidate in (GROUND, "GND")):
                    return "0" if candidate == "GND" else candidate
            return None

        names = request.names
        if request.target in ("device", "either") and known(names[0], elements):
            label = f"{request.kind}({known(names[0], elements)})"
        elif request.target == "device":
            raise request.line.error(f"no device named {names[0]}", request.token)
        else:
            resolved = [known(n, nodes) for n in names]
            for name, found in zip(names, resolved):
                if found is None:
                    raise request.line.error(f"no node or device named {name}", request.token)
            if len(resolved) == 2 and resolved[1] == GROUND:
                resolved.pop()
            label = f"{request.kind}({','.join(resolved)})"
        return request._replace(label=label)

    def resolved_probes(self):
        """The :class:`~loxant.units.Probe` of every request."""
        circuit = self._nominal.circuit
        element_names = [e.name for e in circuit.elements]
        return [parse_probe(label, circuit.nodes, element_names) for label in self.probes]

    def quantities(self):
        """What a simulation must record for the output requests (see
        :func:`record_quantities`)."""
        return record_quantities(self.resolved_probes())

    def record(self, junctions=False):
        """The ``record=`` probes of :func:`~loxant.transient.simulate` that give
        the output requests (and, with ``junctions``, every junction's phase and
        turn count); None, recording everything, when nothing is requested."""
        if not self.probes:
            return None
        names = {"node_phase": "phase", "node_voltage": "voltage"}
        wanted = [f"{names.get(q, q)}({name})" for q, name in self.quantities()]
        for name in self.junctions() if junctions else ():
            wanted += [f"phase({name})", f"turns({name})"]
        return wanted

    def junctions(self):
        """Names of the junctions, in netlist order."""
        return [e.name for e in self._nominal.circuit.elements if e.kind.endswith("junction")]

    # -- circuits and runs --

    def circuit(self, params=None, rng=None):
        """A fresh :class:`~loxant.units.PhysicalCircuit` of the netlist.

        ``params`` overrides top-level ``.param`` values (name -> number); ``rng``
        (a NumPy Generator) draws the random functions ``gauss``, ``agauss``...,
        which give their nominal value without it.  The reference units are those
        of the nominal circuit, so every draw is normalised alike.
        """
        if params is None and rng is None:
            flat = _Builder(self._parsed, None, None).build()
        else:
            flat = _Builder(self._parsed, params, rng).build()
            _check_connections(flat)
        pc = PhysicalCircuit(self.units.ic0, self.units.r0, self.title)
        return self._with_noise(_fill(pc, flat, self.tran))

    def _with_noise(self, pc):
        pc.temperature = self.temperature
        pc.noise_bandwidth = self.noise_bandwidth
        return pc

    def simulate(self, params=None, rng=None, **options):
        """Run the ``.tran`` analysis of a fresh circuit (see :meth:`circuit`);
        ``options`` go to :meth:`~loxant.units.PhysicalCircuit.simulate`.
        Returns :class:`~loxant.units.PhysicalResults`."""
        if self.tran is None:
            raise NetlistError("the netlist has no .tran analysis", self.file)
        pc = self.circuit(params, rng)
        tran = self.tran
        options.setdefault("record_every", tran.record_every)
        options.setdefault("record_from", tran.prstart)
        options.setdefault("seed", self.seed)
        if self.adaptive and "dt" not in options:
            options.setdefault("dt_max", tran.tstep)
            return pc.simulate(t_stop=tran.tstop, **options)
        dt = options.pop("dt", tran.tstep)
        return pc.simulate(t_stop=tran.tstop, dt=dt, **options)

    def traces(self, results):
        """``(label, unit, values)`` of every output request, values in SI units
        (unit "rad", "V" or "A")."""
        return [(label, *results.trace(label)) for label in self.probes]

    def __repr__(self):
        return (
            f"<Netlist {self.file}: {self.title!r}, {len(self._nominal.circuit)} elements, "
            f"{len(self.probes)} output requests>"
        )


def _plausible(record, lines):
    """Whether a first line that reads as an element is one (and not a title):
    the model or subcircuit it names exists and its values use only defined names."""
    texts = " ".join(line.text.upper() for line in lines)
    if record.letter == "B":
        return re.search(r"\.MODEL\s+" + re.escape(record.model) + r"\b", texts) is not None
    if record.letter == "X":
        return any(
            re.search(r"\.SUBCKT\s+" + re.escape(word) + r"\b", texts)
            for word in (record.nodes[0], record.nodes[-1])
        )
    trees = [record.value.tree] if record.value else [v.tree for v in record.wave[1]]
    used = set().union(*(ex.names(tree) for tree in trees))
    return all(n in ex.CONSTANTS or re.search(r"\b" + re.escape(n) + r"\s*=", texts) for n in used)


def read_netlist(path_or_text):
    """Read a netlist from a file (a path, or a string without a newline) or from
    text (a string with a newline).  Returns a :class:`Netlist`; raises
    :class:`NetlistError` for every problem."""
    if isinstance(path_or_text, str) and "\n" in path_or_text:
        return Netlist.from_string(path_or_text)
    if isinstance(path_or_text, (str, os.PathLike)):
        return Netlist.from_file(path_or_text)
    raise NetlistError(f"expected a path or netlist text, got {type(path_or_text).__name__}")
