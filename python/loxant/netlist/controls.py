"""Control lines of a netlist (``.model``, ``.subckt``, ``.tran``, ``.print`` and the
rest) to records; :class:`ControlLines` is the part of the parser that reads them."""

import re
from dataclasses import dataclass, field
from typing import NamedTuple, Optional

from .. import expressions as ex
from ..kinds import BY_LETTER
from .errors import clip, warn
from .models import check_parameter
from .tokens import Line, Token, keyword, lex
from .values import (
    Value,
    group_end,
    joined,
    options_of,
    parse_value,
    split_options,
    value_of,
    values_of,
    words_of,
)


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

    elements: list = field(default_factory=list)  # the element records, in order
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
#: settings of .option / .options that the reader honours
OPTIONS = {"SEED"}
#: .spread keywords: the kinds a spread may be given for
SPREAD_KINDS = tuple(k for k, kind in BY_LETTER.items() if "SPREAD" in kind.options)


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


class ControlLines:
    """Reading of control lines; the parser's state (``body``, ``stack``, ``tran``...)
    is the :class:`Parser`'s."""

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
            if tokens.pop().text.upper() == "DST":
                self.settle = False
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
        """``.spread [s] [L=s] [B=s] [C=s] [R=s] [PARAM=s]``: a name that is no
        kind is a ``.param``'s (checked when the netlist is expanded)."""
        self._top_only(line)
        tokens = line.tokens[1:]
        split = split_options(tokens)
        given, params = {}, 0
        positional = values_of(line, tokens[:split])
        if len(positional) > 1:
            raise line.error(".spread takes one global value, then kind=value")
        if positional:
            given[""] = positional[0]
        for key, value in options_of(line, tokens[split:], ".spread").items():
            if key not in SPREAD_KINDS:
                if key in self.param_spread:
                    raise line.error(f"spread of .param {clip(key)} given twice")
                self.param_spread[key] = (value_of(line, value), line)
                params += 1
                continue
            given[key] = value_of(line, value)
        if not given and not params:
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
        self.output_cards.append((tokens[-1].text, line))

    def _file(self, line):
        """``.file path``: the requests after it go to that file."""
        self._top_only(line)
        tokens = line.tokens[1:]
        if len(tokens) != 1 or tokens[0].kind not in ("word", "string"):
            raise line.error(".file takes one file name")
        self.output_path = tokens[0].text
        self.output_cards.append((self.output_path, line))

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
