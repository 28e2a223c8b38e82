"""Second stage: logical lines to plain records.

Elements, models, subcircuits, parameters, the analysis, spreads and output
requests, each with the line it came from.  Values are parsed into expression
trees here (the same text once: large netlists repeat a few values many times)
and evaluated later, per instance.
"""

import re
from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import NamedTuple, Optional

from .. import expressions as ex
from .errors import clip, warn
from .models import check_parameter
from .tokens import Line, Token, keyword, lex

__all__ = [
    "Body",
    "Element",
    "IVRequest",
    "Model",
    "OutputRequest",
    "Parser",
    "Subckt",
    "Tran",
    "Value",
]


class Value(NamedTuple):
    """An expression as written, and parsed."""

    text: str
    tree: tuple


#: the options of an element that has none (shared, and read-only)
NO_OPTIONS = MappingProxyType({})


@dataclass(slots=True)  # one per element line: slots keep a large netlist small
class Element:
    """An element line: ``letter`` is the kind (R L C K B I V P X T E F G H)."""

    letter: str
    name: str
    nodes: list
    line: Line
    value: Value | None = None
    #: a source's waveform: (kind, [Value, ...]), kind dc/pwl/pulse/sin/exp/pws/noise/cus;
    #: cus carries its file name as a third item
    wave: tuple | None = None
    #: junction model, subcircuit name(s), or the controlling source of F and H
    model: str | None = None
    #: name=value options (junction area/ic, spread, instance overrides), in order
    options: Mapping = field(default_factory=lambda: NO_OPTIONS)


@dataclass
class Model:
    name: str
    params: dict  # upper-case name -> Value (or a list of Values for cpr)
    line: Line

    def same_as(self, other):
        """Whether two definitions say the same (an identical repeat is harmless)."""

        def texts(model):
            return {
                k: [x.text for x in v] if isinstance(v, list) else v.text
                for k, v in model.params.items()
            }

        return texts(self) == texts(other)


@dataclass
class Body:
    """The elements, parameters and models of the netlist or of one subcircuit."""

    elements: list[Element] = field(default_factory=list)
    params: list = field(default_factory=list)  # (name, Value, Line)
    param_lines: dict = field(default_factory=dict)  # name -> Line
    names: dict = field(default_factory=dict)  # element name -> Line
    models: dict = field(default_factory=dict)  # model name -> Model


@dataclass
class Subckt:
    name: str
    ports: list
    defaults: list  # (name, Value)
    line: Line
    body: Body = field(default_factory=Body)
    #: the subcircuit this one is written in (None at top level): models are
    #: looked up outward through it
    parent: Optional["Subckt"] = None


class Tran(NamedTuple):
    """Transient analysis, in seconds: time step, stop time, start of output and
    the output interval (the time step when not given); ``pwindow`` the width of
    the Hanning window the output is smoothed with (0: none); ``settle`` whether
    the start-up period runs before t = 0 (False with ``DST``)."""

    tstep: float
    tstop: float
    prstart: float
    prstep: float
    pwindow: float = 0.0
    settle: bool = True

    @property
    def record_every(self):
        """Steps between two printed samples."""
        return max(1, round(self.prstep / self.tstep))


class OutputRequest(NamedTuple):
    """One requested trace: ``kind`` V, P or I; ``names`` one or two names as
    written; ``target`` "device", "node" or "either" (``V(x)`` of a device or a
    node); ``label`` the canonical probe (``P(B1|X1)``) once resolved; ``path``
    the ``.file`` it goes to (None: the command's output)."""

    kind: str
    names: tuple
    target: str
    line: Line
    token: Token
    label: str = ""
    path: str | None = None


class IVRequest(NamedTuple):
    """``.iv model max_current file``: the I-V curve of a junction model from
    -max_current to +max_current, written to ``path`` as CSV."""

    model: str
    max_current: object  # a Value until the Netlist evaluates it, then amperes
    path: str
    line: Line


#: waveform -> (fewest, most values); None: no limit
WAVEFORMS = {
    "pwl": (2, None),
    "pulse": (2, 7),
    "sin": (2, 7),
    "exp": (2, 6),
    "pws": (2, None),
    "noise": (3, 3),
    "cus": (3, 5),
}
LONG_REQUESTS = {
    "devv": ("V", "device"),
    "devi": ("I", "device"),
    "devp": ("P", "device"),
    "phase": ("P", "device"),
    "nodev": ("V", "node"),
    "nodep": ("P", "node"),
}
#: the quantity letter of ``@dev[x]``
AT_REQUESTS = {"p": "P", "v": "V", "i": "I", "c": "I"}
_AT = re.compile(r"@([^\[\]@]+)\[([A-Za-z])\]")
ELEMENT_LETTERS = set("RLCKBIVPXTEFGH")
#: settings of .option / .options that the reader honours
OPTIONS = {"SEED"}
#: element options by letter
ELEMENT_OPTIONS = {
    "R": ("TEMP", "SPREAD"),
    "L": ("SPREAD",),
    "C": ("SPREAD",),
    "B": ("AREA", "IC", "TEMP", "SPREAD"),
}
#: kinds whose lines may end in flags (``fcheck``) or annotations (``shunt=3.7``)
#: that design flows write and simulation ignores
ANNOTATED = {"R": "resistor", "L": "inductor", "C": "capacitor", "K": "coupling"}
_FLAG = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*")
#: .spread keywords: the kinds a spread may be given for
SPREAD_KINDS = ("L", "B", "C", "R")
_KIND_NAMES = {
    "R": "resistor",
    "L": "inductor",
    "C": "capacitor",
    "B": "junction",
    "T": "transmission line",
}


# -- values ----------------------------------------------------------------------------

#: expression trees, and values, of value texts already read
_TREES = {}
_VALUES = {}
_TREES_LIMIT = 100_000


def parse_value(text):
    """The tree of ``text`` (cached: large netlists repeat their values)."""
    tree = _TREES.get(text)
    if tree is None:
        tree = ex.parse(text)
        if len(_TREES) < _TREES_LIMIT:
            _TREES[text] = tree
    return tree


_new = tuple.__new__


def group_end(tokens, start):
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


def joined(tokens):
    parts = []
    for k, tok in enumerate(tokens):
        text = f"({tok.text})" if tok.kind == "expr" else tok.text
        parts.append((" " if k and tok.spaced else "") + text)
    return "".join(parts)


def value_of(line, tokens):
    """A :class:`Value` of the tokens of one value."""
    if len(tokens) == 1 and tokens[0].kind == "word":  # a number or a name, read before
        value = _VALUES.get(tokens[0].text)
        if value is not None:
            return value
    if not tokens:
        raise line.error("missing value")
    text = tokens[0].text if len(tokens) == 1 and tokens[0].kind == "word" else joined(tokens)
    if any(tok.kind == "string" for tok in tokens):
        raise line.error(f"a quoted string is not a value: {clip(text)}", tokens[0])
    value = _VALUES.get(text)
    if value is None:
        try:
            value = Value(text, parse_value(text))
        except ex.ExpressionError as exc:
            raise line.error(f"bad value {clip(text)!r}: {exc.message}", tokens[0]) from None
        if len(_VALUES) < _TREES_LIMIT:
            _VALUES[text] = value
    return value


def values_of(line, tokens):
    """Values of a list written with spaces or commas between its items."""
    out, pos = [], 0
    while pos < len(tokens):
        if tokens[pos].kind == ",":
            pos += 1
            continue
        end = group_end(tokens, pos)
        if end == pos:
            raise line.error(f"unexpected {clip(tokens[pos].text)!r}", tokens[pos])
        out.append(value_of(line, tokens[pos:end]))
        pos = end
    return out


def options_of(line, tokens, what):
    """``name=value`` pairs (an ordered dict of upper-case name -> tokens); anything
    else is an error."""
    out, pos = {}, 0
    while pos < len(tokens):
        tok = tokens[pos]
        if tok.kind == ",":
            pos += 1
            continue
        if tok.kind != "word" or pos + 2 > len(tokens) or tokens[pos + 1].kind != "=":
            raise line.error(f"expected name=value in {what}, found {clip(tok.text)!r}", tok)
        end = group_end(tokens, pos + 2)
        key = tok.text.upper()
        if key in out:
            raise line.error(f"{clip(tok.text)} given twice in {what}", tok)
        out[key] = tokens[pos + 2 : end]
        pos = end
    return out


def split_options(tokens):
    """Position of the first ``name=value`` pair (len(tokens) if none)."""
    for pos in range(len(tokens) - 1):
        if tokens[pos].kind == "word" and tokens[pos + 1].kind == "=":
            return pos
    return len(tokens)


def words_of(line, tokens, what):
    for tok in tokens:
        if tok.kind != "word":
            raise line.error(f"{clip(what)}: expected a name, found {clip(tok.text)!r}", tok)
    return [tok.text.upper() for tok in tokens]


def _unbracket(line, tokens):
    """The items of a list value such as ``(1, 0.1)`` or ``{0.9, 0.1}`` (braces, as
    the peer's guide writes it), separated by commas or spaces."""
    if tokens and tokens[0].kind == "(" and tokens[-1].kind == ")":
        return tokens[1:-1]
    if len(tokens) == 1 and tokens[0].kind == "expr":
        return lex(tokens[0].text, line.file, line.number)
    return tokens


def _is_long_request(tokens, pos):
    tok = tokens[pos]
    followed = pos + 1 < len(tokens) and tokens[pos + 1].kind == "("
    return tok.kind == "word" and tok.text.lower() in LONG_REQUESTS and not followed


def _is_plain_name(tokens, pos):
    """Whether the token at ``pos`` is a name of a long request (and not the start of
    another request)."""
    tok = tokens[pos]
    followed = pos + 1 < len(tokens) and tokens[pos + 1].kind == "("
    return (
        tok.kind == "word"
        and not followed
        and _AT.fullmatch(tok.text) is None
        and tok.text.lower() not in LONG_REQUESTS
    )


def _options_of_element(letter, name, line, tokens):
    """The element options in ``tokens`` and the names of those ignored: older
    design flows annotate passive elements (``shunt=3.7``), which is read past."""
    allowed = ELEMENT_OPTIONS.get(letter, ())
    options, ignored = {}, []
    for key, value in options_of(line, tokens, name).items():
        if key in allowed:
            options[key] = value_of(line, value)
        elif letter in ANNOTATED:
            ignored.append(key)
        else:
            noun = _KIND_NAMES.get(letter, "element")
            raise line.error(f"{clip(name)}: unknown {noun} parameter {clip(key.lower())}")
    return options, tuple(ignored)


def _is_flag(token):
    """Whether ``token`` is a bare word such as ``fcheck`` or ``nfree`` (a name,
    not a number)."""
    return token.kind == "word" and _FLAG.fullmatch(token.text) is not None


def _count_groups(tokens):
    """Number of values and names in ``tokens``."""
    pos, count = 0, 0
    while pos < len(tokens):
        if tokens[pos].kind == ",":
            pos += 1
            continue
        end = group_end(tokens, pos)
        if end == pos:
            break
        count, pos = count + 1, end
    return count


# -- the parser --------------------------------------------------------------------


class Parser:
    """Turns logical lines into records."""

    def __init__(self, file, warnings=None):
        self.file = file
        self.warnings = [] if warnings is None else warnings
        self.top = Body()
        self.subckts = {}
        self.tran = None
        self.tran_line = None
        self.settle = True  # no DST on .tran
        #: .option adaptive was given
        self.adaptive = False
        #: .temp, .neb and .option seed= as (Value, Line), or None
        self.noise = {"temp": None, "neb": None, "seed": None}
        #: .spread: kind ("" for the global one) -> (Value, Line)
        self.spread = {}
        self.requests = []
        self.iv_requests = []  # IVRequest records of .iv cards
        self._request_keys = set()
        self.output_path = None  # of the last .file
        self.stack = []  # open .subckt definitions
        self.last_line = None
        self._waves = {}  # waveform tokens -> (kind, values)
        self._options = {}  # element options tokens -> (options, names ignored)
        self._ignored_kinds = set()  # (letter, file) warned of ignored flags

    @property
    def body(self):
        return self.stack[-1].body if self.stack else self.top

    def feed(self, line):
        self.last_line = line
        first = line.tokens[0]
        if first.kind == "word" and first.text[:1] == ".":
            self._control(first.text.lower(), line)
            return
        element = self.element(line)
        # the records keep their line for messages, not its tokens
        element.line = line = _new(Line, (line[0], line[1], line[2], (), line[4], ()))
        body = self.stack[-1].body if self.stack else self.top
        names, name = body.names, element.name
        if name in names:
            first = names[name]
            raise line.error(f"duplicate name {clip(name)} (first at {first.file}:{first.number})")
        names[name] = line
        body.elements.append(element)

    def finish(self):
        if self.stack:
            sub = self.stack[-1]
            raise sub.line.error(f".subckt {sub.name} has no .ends")

    # -- elements --

    def element(self, line):
        tok = line.tokens[0]
        if tok.kind != "word":
            raise line.error(
                f"a line starts with an element name or a control word, not {clip(tok.text)!r}"
            )
        letter = tok.text[0].upper()
        name = tok.text.upper()
        if letter not in ELEMENT_LETTERS:
            raise line.error(f"unknown element letter {letter!r} of {clip(tok.text)}")
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

    @staticmethod
    def _nodes(name, line, rest, count, what):
        if len(rest) < count or any(tok.kind != "word" for tok in rest[:count]):
            raise line.error(f"{clip(name)}: expected {count} {what}")
        return tuple([tok.text.upper() for tok in rest[:count]])

    def _element_options(self, letter, name, line, tokens):
        """:func:`_options_of_element`, read once per text (and shared: records are
        not changed once read); ignored annotations are warned about."""
        if not tokens:
            return NO_OPTIONS
        key = (letter, *tokens)
        read = self._options.get(key)
        if read is None:
            read = _options_of_element(letter, name, line, tokens)
            if len(self._options) < _TREES_LIMIT:
                self._options[key] = read
        options, ignored = read
        if ignored:
            self._ignored(letter, name, line, f"{ignored[0].lower()}=")
        return options

    def _ignored(self, letter, name, line, what):
        """One warning per kind and file for the flags and annotations ignored."""
        key = (letter, line.file)
        if key in self._ignored_kinds:
            return
        self._ignored_kinds.add(key)
        warn(
            f"{clip(name)}: {clip(what)} after the value ignored "
            f"(and after the values of this file's other {ANNOTATED[letter]}s)",
            line.file,
            line.number,
            self.warnings,
        )

    def _value_and_flags(self, letter, name, line, tokens):
        """The one value in ``tokens``, then flags (``fcheck``, ``nfree``), which are
        ignored with a warning."""
        end = group_end(tokens, 0) if tokens else 0
        flags = tokens[end:]
        if end and flags and all(_is_flag(tok) for tok in flags):
            self._ignored(letter, name, line, flags[0].text)
            tokens = tokens[:end]
        return values_of(line, tokens)

    def _two_nodes_value(self, letter, name, line, rest):
        if len(rest) == 3 and rest[0].kind == rest[1].kind == rest[2].kind == "word":
            nodes = (rest[0].text.upper(), rest[1].text.upper())
            return Element(letter, name, nodes, line, value=value_of(line, rest[2:]))
        nodes = self._nodes(name, line, rest, 2, "nodes and a value")
        split = split_options(rest)
        options = self._element_options(letter, name, line, rest[split:])
        values = self._value_and_flags(letter, name, line, rest[2:split])
        if len(values) != 1:
            raise line.error(
                f"{clip(name)}: expected two nodes and one value, got {len(values)} value(s)"
            )
        return Element(letter, name, nodes, line, value=values[0], options=options)

    def _coupling(self, name, line, rest):
        inductors = self._nodes(name, line, rest, 2, "inductor names and a coupling factor")
        split = split_options(rest)
        self._element_options("K", name, line, rest[split:])
        values = self._value_and_flags("K", name, line, rest[2:split])
        if len(values) != 1:
            raise line.error(f"{clip(name)}: expected two inductors and one coupling factor")
        return Element("K", name, inductors, line, value=values[0])

    def _junction(self, name, line, rest):
        split = split_options(rest)
        positional = words_of(line, rest[:split], name)
        if len(positional) not in (3, 4):
            raise line.error(
                f"{clip(name)}: expected two nodes, an optional third node and a model name, "
                f"got {len(positional)} name(s)"
            )
        options = self._element_options("B", name, line, rest[split:])
        if "AREA" in options and "IC" in options:
            raise line.error(f"{clip(name)}: give area or ic, not both")
        return Element(
            "B", name, tuple(positional[:2]), line, model=positional[-1], options=options
        )

    def _line(self, name, line, rest):
        """``T name a b c d [LOSSLESS] td= z0=`` (the keywords in any order)."""
        rest = [
            tok
            for pos, tok in enumerate(rest)
            if not (pos >= 4 and tok.kind == "word" and tok.text.upper() == "LOSSLESS")
        ]
        split = split_options(rest)
        nodes = self._nodes(name, line, rest[:split], 4, "nodes, then td= and z0=")
        if split != 4:
            raise line.error(f"{clip(name)}: expected 4 nodes, then td= and z0=")
        options = {}
        for key, tokens in options_of(line, rest[4:], name).items():
            if key not in ("TD", "Z0"):
                raise line.error(
                    f"{clip(name)}: unknown transmission line parameter {clip(key.lower())}"
                )
            options[key] = value_of(line, tokens)
        if len(options) != 2:
            raise line.error(f"{clip(name)}: a transmission line needs td= and z0=")
        return Element("T", name, nodes, line, options=options)

    def _controlled(self, letter, name, line, rest):
        """``E/G name n+ n- nc+ nc- gain``; ``F/H name n+ n- nc+ nc- gain`` (the
        current through a zero-volt branch from nc+ to nc-) or ``F/H name n+ n-
        vname gain`` (the current of a named source)."""
        four_nodes = letter in "EG" or _count_groups(rest) == 5
        count = 4 if four_nodes else 3
        what = "nodes and a gain" if four_nodes else "nodes, a controlling element and a gain"
        names = self._nodes(name, line, rest, count, what)
        values = values_of(line, rest[count:])
        if len(values) != 1:
            raise line.error(
                f"{clip(name)}: expected {count} names and one gain, got {len(values)} values"
            )
        if four_nodes:
            return Element(letter, name, names, line, value=values[0])
        return Element(letter, name, names[:2], line, value=values[0], model=names[2])

    def _instance(self, name, line, rest):
        split = split_options(rest)
        positional = words_of(line, rest[:split], name)
        if not positional:
            raise line.error(f"{clip(name)}: expected a subcircuit name and its nodes")
        options = {k: value_of(line, t) for k, t in options_of(line, rest[split:], name).items()}
        return Element("X", name, positional, line, options=options)

    def _source(self, letter, name, line, rest):
        nodes = self._nodes(name, line, rest, 2, "nodes and a value")
        rest = rest[2:]
        if not rest:
            raise line.error(f"{clip(name)}: missing value")
        head = rest[0].text.lower() if rest[0].kind == "word" else ""
        if head == "dc":
            values = values_of(line, rest[1:])
            if len(values) != 1:
                raise line.error(f"{clip(name)}: dc takes one value")
            return Element(letter, name, nodes, line, wave=("dc", values))
        if len(rest) > 1 and rest[1].kind == "(" and rest[0].kind == "word":
            if head in WAVEFORMS:
                return Element(letter, name, nodes, line, wave=self._wave(name, line, rest))
            if head not in ex.FUNCTIONS and head not in ex.RANDOM:
                raise line.error(f"{clip(name)}: unknown waveform {clip(rest[0].text)!r}", rest[0])
        values = values_of(line, rest)
        if len(values) != 1:
            raise line.error(
                f"{clip(name)}: expected one value or a waveform, got {len(values)} values"
            )
        return Element(letter, name, nodes, line, wave=("dc", values))

    def _wave(self, name, line, rest):
        """:meth:`_waveform`, read once per text: a large netlist repeats a few."""
        key = tuple(rest)  # tokens compare by kind, text and spacing
        wave = self._waves.get(key)
        if wave is None:
            wave = self._waveform(name, line, rest)
            if len(self._waves) < _TREES_LIMIT:
                self._waves[key] = wave
        return wave

    def _waveform(self, name, line, rest):
        kind = rest[0].text.lower()
        end = group_end(rest, 1)
        if end != len(rest) or rest[end - 1].kind != ")":
            raise line.error(f"{clip(name)}: unexpected text after {kind}(...)")
        inner = rest[2 : end - 1]
        wave_file = None
        if kind == "cus":
            if not inner or inner[0].kind not in ("word", "string"):
                raise line.error(f"{clip(name)}: cus takes a file name first")
            wave_file, inner = inner[0].text, inner[1:]
        values = values_of(line, inner)
        low, high = WAVEFORMS[kind]
        if kind == "cus":
            low, high = low - 1, high - 1  # the file name counted apart
        if len(values) < low or (high is not None and len(values) > high):
            wanted = f"at least {low}" if high is None else f"{low} to {high}"
            wanted = str(low) if low == high else wanted
            raise line.error(f"{clip(name)}: {kind} takes {wanted} values, got {len(values)}")
        if kind in ("pwl", "pws") and len(values) % 2:
            raise line.error(
                f"{clip(name)}: {kind} takes pairs of time and value, got {len(values)} values"
            )
        return (kind, values, wave_file) if kind == "cus" else (kind, values)

    # -- control lines --

    def _control(self, word, line):
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
            ".spread": self._spread,
            ".file": self._file,
            ".iv": self._iv,
        }.get(word)
        if handler is None:
            if line.control:  # interactive commands of a .control block have no meaning here
                command = clip(line.tokens[0].text[1:])
                warn(
                    f"{command} in a .control block ignored", line.file, line.number, self.warnings
                )
                return
            raise line.error(f"unknown control line {clip(line.tokens[0].text)}")
        handler(line)

    def _model(self, line):
        tokens = line.tokens
        if len(tokens) < 3 or tokens[1].kind != "word" or tokens[2].kind != "word":
            raise line.error(".model takes a name, a type and parameters")
        name, kind = tokens[1].text.upper(), tokens[2].text.lower()
        if kind != "jj":
            raise line.error(
                f"model type {clip(tokens[2].text)!r} is not supported (only jj)", tokens[2]
            )
        rest = tokens[3:]
        if rest and rest[0].kind == "(":
            if group_end(rest, 0) != len(rest):
                raise line.error(f"unexpected text after .model {clip(tokens[1].text)} jj(...)")
            rest = rest[1:-1]
        params = {}
        for key, values in options_of(line, rest, f"model {name}").items():
            key = check_parameter(key, name, line)
            if key in params:
                raise line.error(f"model {clip(name)}: {key.lower()} given twice")
            if key == "CPR":
                params[key] = values_of(line, _unbracket(line, values))
            else:
                params[key] = value_of(line, values)
        model = Model(name, params, line)
        known = self.body.models.get(name)
        if known is not None and not known.same_as(model):
            raise line.error(
                f"model {clip(name)} defined twice differently in one scope "
                f"(first at {known.line.file}:{known.line.number})"
            )
        if known is None:
            self.body.models[name] = model

    def _subckt(self, line):
        tokens = line.tokens[1:]
        split = split_options(tokens)
        names = words_of(line, tokens[:split], ".subckt")
        if not names:
            raise line.error(".subckt takes a name and its nodes")
        name, ports = names[0], ["0" if p == "GND" else p for p in names[1:]]
        if len(set(ports)) != len(ports):
            raise line.error(f".subckt {clip(name)}: a node appears twice among its ports")
        defaults = [
            (k, value_of(line, v)) for k, v in options_of(line, tokens[split:], name).items()
        ]
        if name in self.subckts or any(s.name == name for s in self.stack):
            raise line.error(f"duplicate subcircuit {clip(name)}")
        parent = self.stack[-1] if self.stack else None
        self.stack.append(Subckt(name, ports, defaults, line, parent=parent))

    def _ends(self, line):
        if not self.stack:
            raise line.error(".ends without .subckt")
        sub = self.stack.pop()
        if len(line.tokens) > 2 or (
            len(line.tokens) == 2 and line.tokens[1].text.upper() != sub.name
        ):
            raise line.error(f".ends does not match .subckt {sub.name}")
        self.subckts[sub.name] = sub

    _PARAM_NAME = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*=(?!=)")

    def _param(self, line):
        parts = line.text.split(None, 1)
        text = parts[1] if len(parts) > 1 else ""
        text = text.replace("{", "(").replace("}", ")").replace("'", " ")
        matches = list(self._PARAM_NAME.finditer(text))
        if not matches or text[: matches[0].start()].strip():
            raise line.error(".param takes name=expression")
        body = self.body
        for k, match in enumerate(matches):
            end = matches[k + 1].start() if k + 1 < len(matches) else len(text)
            expression = text[match.end() : end].strip().rstrip(",").strip()
            name = match.group(1).upper()
            if not expression:
                raise line.error(f".param {clip(name)}: missing expression")
            if name in body.param_lines:
                first = body.param_lines[name]
                where = "" if first is line else f" (first at line {first.number})"
                raise line.error(f".param {clip(name)} defined twice{where}")
            try:
                tree = parse_value(expression)
            except ex.ExpressionError as exc:
                raise line.error(f".param {clip(name)}: {exc.message}") from None
            body.param_lines[name] = line
            body.params.append((name, Value(expression, tree), line))

    def _top_only(self, line):
        if self.stack:
            raise line.error(f"{clip(line.tokens[0].text)} inside .subckt {self.stack[-1].name}")

    def _tran(self, line):
        """``.tran tstep tstop [pstart [pstep [pwindow]]] [DST] [UIC]``."""
        self._top_only(line)
        if self.tran is not None:
            raise line.error(f"second .tran (the first at line {self.tran_line.number})")
        tokens = list(line.tokens[1:])
        # DST: no start-up period before t = 0; UIC: the initial state is always
        # the zero one
        self.settle = True
        while tokens and tokens[-1].kind == "word" and tokens[-1].text.upper() in ("DST", "UIC"):
            self.settle = self.settle and tokens.pop().text.upper() != "DST"
        values = values_of(line, tokens)
        if not 2 <= len(values) <= 5:
            raise line.error(".tran takes tstep tstop [pstart [pstep [pwindow]]]")
        self.tran, self.tran_line = values, line

    def _noise_setting(self, line):
        self._top_only(line)
        key = keyword(line)[1:]
        if self.noise[key] is not None:
            raise line.error(f"second .{key} (the first at line {self.noise[key][1].number})")
        values = values_of(line, line.tokens[1:])
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
        for key, tokens in options_of(line, words, line.tokens[0].text).items():
            if key not in OPTIONS:
                known = ", ".join(sorted(k.lower() for k in OPTIONS))
                raise line.error(f"unknown option {clip(key.lower())} (known: {known})")
            if self.noise["seed"] is not None:
                raise line.error("seed given twice")
            self.noise["seed"] = (value_of(line, tokens), line)

    def _spread(self, line):
        """``.spread [s] [L=s] [B=s] [C=s] [R=s]``."""
        self._top_only(line)
        tokens = line.tokens[1:]
        split = split_options(tokens)
        given = {}
        positional = values_of(line, tokens[:split])
        if len(positional) > 1:
            raise line.error(".spread takes one global value, then kind=value")
        if positional:
            given[""] = positional[0]
        for key, value in options_of(line, tokens[split:], ".spread").items():
            if key not in SPREAD_KINDS:
                raise line.error(f".spread: unknown kind {clip(key.lower())} (known: l, b, c, r)")
            given[key] = value_of(line, value)
        if not given:
            raise line.error(".spread takes a value")
        for kind, value in given.items():
            if kind in self.spread:
                what = "global spread" if not kind else f"spread of {kind}"
                raise line.error(f"{what} given twice")
            self.spread[kind] = (value, line)

    def _iv(self, line):
        self._top_only(line)
        tokens = line.tokens[1:]
        if len(tokens) < 3 or tokens[0].kind != "word" or tokens[-1].kind not in ("word", "string"):
            raise line.error(".iv takes a model name, the largest current and a file name")
        value = value_of(line, tokens[1:-1])
        self.iv_requests.append(IVRequest(tokens[0].text.upper(), value, tokens[-1].text, line))

    def _file(self, line):
        """``.file path``: the requests after it go to that file."""
        self._top_only(line)
        tokens = line.tokens[1:]
        if len(tokens) != 1 or tokens[0].kind not in ("word", "string"):
            raise line.error(".file takes one file name")
        self.output_path = tokens[0].text

    def _request(self, kind, names, target, line, token):
        key = (kind, names, target, self.output_path)
        if key in self._request_keys:
            return  # a repeated request gives the same trace
        self._request_keys.add(key)
        request = OutputRequest(kind, names, target, line, token, path=self.output_path)
        self.requests.append(request)

    def _print(self, line):
        self._top_only(line)
        tokens = line.tokens[1:]
        if not tokens:
            raise line.error(f"{clip(line.tokens[0].text)} requests nothing")
        pos = 0
        while pos < len(tokens):
            if _is_long_request(tokens, pos):
                pos = self._long_request(line, tokens, pos)
            else:
                pos = self._short_request(line, tokens, pos)

    def _long_request(self, line, tokens, pos):
        """``DEVV dev``, ``PHASE dev``, ``NODEV n [m]``... at ``pos``; the position
        after it."""
        head = tokens[pos]
        kind, target = LONG_REQUESTS[head.text.lower()]
        most = 2 if target == "node" else 1
        end = pos + 1
        while end < len(tokens) and _is_plain_name(tokens, end):
            end += 1
        what = "one or two nodes" if target == "node" else "one device"
        if not 1 <= end - pos - 1 <= most:
            raise line.error(f"{clip(head.text)} takes {what}", head)
        names = tuple(tok.text.upper() for tok in tokens[pos + 1 : end])
        self._request(kind, names, target, line, head)
        return end

    def _short_request(self, line, tokens, pos):
        """One ``V(x)``, ``P(x, y)``, ``I(x)`` or ``@x[p]`` request at ``pos``; the
        position after it."""
        tok = tokens[pos]
        match = _AT.fullmatch(tok.text) if tok.kind == "word" else None
        if match is not None:  # @dev[p]; a word such as @port is a node's name
            kind = AT_REQUESTS.get(match.group(2).lower())
            if kind is None:
                raise line.error(f"cannot read output request {clip(tok.text)!r}", tok)
            self._request(kind, (match.group(1).upper(),), "device", line, tok)
            return pos + 1
        end = group_end(tokens, pos)
        kind = tok.text.upper() if tok.kind == "word" else ""
        kind = "I" if kind == "C" else kind
        inner = tokens[pos + 2 : end - 1]
        written = clip(joined(tokens[pos:end]))
        if (
            kind not in ("V", "P", "I")
            or end - pos < 4
            or tokens[pos + 1].kind != "("
            or tokens[end - 1].kind != ")"
        ):
            raise line.error(f"cannot read output request {written!r}", tok)
        names = words_of(line, [t for t in inner if t.kind != ","], written)
        if not 1 <= len(names) <= 2 or (kind == "I" and len(names) != 1):
            raise line.error(f"cannot read output request {written!r}", tok)
        target = "node" if len(names) == 2 else ("device" if kind == "I" else "either")
        self._request(kind, tuple(names), target, line, tok)
        return end
