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

from .. import expressions as ex
from ..kinds import BY_LETTER
from .controls import Body, ControlLines, IVRequest, Model, OutputRequest, Subckt, Tran
from .errors import clip, warn
from .tokens import Line
from .values import (
    _TREES_LIMIT,
    Value,
    group_end,
    options_of,
    split_options,
    value_of,
    values_of,
    words_of,
)

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


#: waveform -> (fewest, most values); None: no limit
WAVEFORMS = {
    "pwl": (2, None),
    "pulse": (2, 7),
    "sin": (2, 7),
    "exp": (2, 6),
    "pws": (2, None),
    "noise": (3, 3),
    "cus": (1, 5),  # after the file name: ts [sf [im [td [per]]]]
}
ELEMENT_LETTERS = {*BY_LETTER, "X"}
#: element options by letter
ELEMENT_OPTIONS = {letter: kind.options for letter, kind in BY_LETTER.items() if kind.options}
_KIND_NAMES = {letter: kind.noun for letter, kind in BY_LETTER.items()}
#: kinds whose lines may end in flags (``fcheck``) or annotations (``shunt=3.7``)
#: that design flows write and simulation ignores
ANNOTATED = {
    k: kind.form if kind.form == "coupling" else kind.adder
    for k, kind in BY_LETTER.items()
    if kind.form in ("value", "coupling")
}
_FLAG = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*")


_new = tuple.__new__


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


class Parser(ControlLines):
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
        #: .spread NAME=s of a .param (top-level, or every instance defining it)
        self.param_spread = {}
        self.requests = []
        self.iv_requests = []  # IVRequest records of .iv cards
        self._request_keys = set()
        self.output_path = None  # of the last .file
        self.output_cards = []  # (path, Line) of each .file and .iv card
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
        if letter == "X":
            return self._instance(name, line, rest)
        return self._forms[BY_LETTER[letter].form](self, letter, name, line, rest)

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

    def _coupling(self, letter, name, line, rest):
        inductors = self._nodes(name, line, rest, 2, "inductor names and a coupling factor")
        split = split_options(rest)
        self._element_options(letter, name, line, rest[split:])
        values = self._value_and_flags(letter, name, line, rest[2:split])
        if len(values) != 1:
            raise line.error(f"{clip(name)}: expected two inductors and one coupling factor")
        return Element(letter, name, inductors, line, value=values[0])

    def _junction(self, letter, name, line, rest):
        split = split_options(rest)
        positional = words_of(line, rest[:split], name)
        if len(positional) not in (3, 4):
            raise line.error(
                f"{clip(name)}: expected two nodes, an optional third node and a model name, "
                f"got {len(positional)} name(s)"
            )
        options = self._element_options(letter, name, line, rest[split:])
        if "AREA" in options and "IC" in options:
            raise line.error(f"{clip(name)}: give area or ic, not both")
        return Element(
            letter, name, tuple(positional[:2]), line, model=positional[-1], options=options
        )

    def _line(self, letter, name, line, rest):
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
        return Element(letter, name, nodes, line, options=options)

    def _controlled(self, letter, name, line, rest):
        """``E/G name n+ n- nc+ nc- gain``; ``F/H name n+ n- nc+ nc- gain`` (the
        current through a zero-volt branch from nc+ to nc-) or ``F/H name n+ n-
        vname gain`` (the current of a named source)."""
        four_nodes = BY_LETTER[letter].nodes == 4 or _count_groups(rest) == 5
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
        if len(values) < low or (high is not None and len(values) > high):
            wanted = f"at least {low}" if high is None else f"{low} to {high}"
            wanted = str(low) if low == high else wanted
            wanted = f"a file name and {wanted}" if kind == "cus" else wanted
            raise line.error(f"{clip(name)}: {kind} takes {wanted} values, got {len(values)}")
        if kind in ("pwl", "pws") and len(values) % 2:
            raise line.error(
                f"{clip(name)}: {kind} takes pairs of time and value, got {len(values)} values"
            )
        return (kind, values, wave_file) if kind == "cus" else (kind, values)

    #: the reader of each form of element line (see loxant.kinds)
    _forms = {
        "value": _two_nodes_value,
        "coupling": _coupling,
        "junction": _junction,
        "line": _line,
        "controlled": _controlled,
        "source": _source,
    }
