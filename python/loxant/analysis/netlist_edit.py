"""Writing a netlist with some values changed, every other line as it was.

A change is a multiplier of a parameter's value as the analyses name it: a
top-level ``.param`` (its definition becomes the new number), an element value
(a resistor's, inductor's or capacitor's value, a junction's ``area=`` or
``ic=``, a bias source's level: its DC value or every value of its
piecewise-linear ramp), the global bias (every bias source it scales), a global
multiplier (every element it scales) or a subcircuit's ``.param`` line
(``B0@XDUT``; a junction scaled through its area ``.param`` changes that line, so
the netlist computes its shunt again).  Each
changed line keeps its layout, the old text of the value replaced by the new
number, and gets a comment line above it saying what changed.

Only what one line of the file defines can be changed: an element of a
subcircuit that is instantiated more than once, a line continued with ``+`` or
a line of an included file is refused before anything is written, as is a
source whose waveform is not DC or piecewise-linear.
"""

import re

from .. import expressions as ex
from .design import GLOBAL_BIAS, GLOBAL_MULTIPLIERS

__all__ = ["EditError", "NetlistEdit"]

#: a value as written: braced, quoted, or a run of non-blank characters
_VALUE = r"(\{[^}]*\}|'[^']*'|[^\s=]+)"
#: significant digits of the numbers written
DIGITS = 9


class EditError(ValueError):
    """A change that cannot be written into the netlist's text."""


def _number(value):
    return format(value, f".{DIGITS}g")


class NetlistEdit:
    """The edits of ``changes`` ({parameter: multiplier}, canonical names of
    ``design``) to the text of ``netlist``, the file ``path``; checked when made,
    so that a change that cannot be written is refused before any run."""

    def __init__(self, netlist, design, names):
        self.netlist = netlist
        self.design = design
        self.path = netlist.file
        self._parsed = netlist._parsed
        self.names = list(names)
        self._targets = {name: self._target(name) for name in self.names}
        try:
            with open(self.path, encoding="utf-8", errors="surrogateescape") as stream:
                self.original = stream.read()
        except OSError as exc:
            raise EditError(f"cannot read {self.path}: {exc.strerror or exc}") from None
        self.text({name: 1.5 for name in self.names})  # refused now, not after the runs

    # -- where each change goes ------------------------------------------------

    def _target(self, name):
        if name == GLOBAL_BIAS:
            return [edit for source in self.design.bias_sources() for edit in self._target(source)]
        if name in GLOBAL_MULTIPLIERS:
            scaled = self.design.globally_scaled(name)
            return [edit for element in scaled for edit in self._target(element)]
        if self.design.area_param(name) is not None:
            return self._target(self.design.area_param(name))
        if "@" in name:
            return self._instance_param_target(name)
        if name in self.design.param_names:
            line = self._parsed.top.param_lines.get(name.upper())
            if line is None:
                raise EditError(f"{name}: no top-level .param line defines it")
            return [("param", name, line, None, None)]
        element, _, attribute = name.partition(".")
        if attribute:
            raise EditError(f"{name}: a single attribute of an element cannot be written")
        path = element.split("|")
        body, chain = self._parsed.top, []
        for instance in reversed(path[1:]):
            sub = self._subckt_of(body, instance, name)
            chain.append(sub)
            body = sub.body
        record = next((e for e in body.elements if e.name.upper() == path[0].upper()), None)
        if record is None:
            raise EditError(f"{name}: no element line found")
        self._check_line(name, record.line)
        if record.letter == "I" and (record.wave is None or record.wave[0] not in ("dc", "pwl")):
            raise EditError(f"{name}: only a DC or piecewise-linear source's level can be written")
        if record.letter not in "RLCBI":
            raise EditError(f"{name}: {record.letter} lines have no value written here")
        return [("element", name, record.line, record, tuple(chain))]

    def _instance_param_target(self, name):
        """The ``.param`` line of ``NAME@PATH`` in its (once instantiated) subcircuit."""
        bare, _, path = name.partition("@")
        body, chain = self._parsed.top, []
        for instance in reversed(path.split("|")):
            sub = self._subckt_of(body, instance, name)
            chain.append(sub)
            body = sub.body
        line = next((ln for key, _, ln in body.params if key.upper() == bare.upper()), None)
        if line is None:
            raise EditError(f"{name}: no .param line of subcircuit {chain[-1].name} defines it")
        self._check_line(name, line)
        return [("param", name, line, None, tuple(chain))]

    def _subckt_of(self, body, instance, name):
        record = next(
            (e for e in body.elements if e.letter == "X" and e.name.upper() == instance.upper()),
            None,
        )
        if record is None:
            raise EditError(f"{name}: no instance line {instance} found")
        sub = self._which(record)
        users = sum(
            1
            for scope_body in [self._parsed.top] + [s.body for s in self._parsed.subckts.values()]
            for e in scope_body.elements
            if e.letter == "X" and self._which(e) is sub
        )
        if users != 1:
            raise EditError(
                f"{name}: subcircuit {sub.name} has {users} instances; changing its line "
                "would change them all"
            )
        return sub

    def _which(self, record):
        words, subckts = record.nodes, self._parsed.subckts
        first, last = subckts.get(words[0]), subckts.get(words[-1])
        if first is not None and (len(first.ports) == len(words) - 1 or last is None):
            return first
        return last

    def _top_scope(self, values):
        """The top-level parameters, those of ``values`` set to their new value."""
        scope = ex.Scope()
        for key, value, where in self._parsed.top.params:
            if key in values:
                scope.define(key, value=values[key])
            else:
                scope.define(key, value.tree, where)
        return scope

    @staticmethod
    def _sub_scope(sub, parent):
        scope = ex.Scope(parent=parent)
        for key, value in sub.defaults:
            scope.define(key, value.tree, sub.line)
        for key, value, line in sub.body.params:
            scope.define(key, value.tree, line)
        return scope

    def _check_line(self, name, line):
        if line.breaks:
            raise EditError(f"{name}: its line {line.number} is continued with '+'")
        if line.file != self.path:
            raise EditError(f"{name}: its line is in the included file {line.file}")

    # -- writing ---------------------------------------------------------------

    def text(self, changes):
        """The file's text with ``changes`` applied."""
        original = self.original
        lines = original.splitlines(keepends=True)
        top = self._top_scope(
            {
                name: float(self.design.param_names[name]) * factor
                for name, factor in changes.items()
                if name in self.design.param_names
            }
        )
        edits = {}  # line index -> (new text, notes)
        totals = {}  # (kind, target, line number) -> [line, record, scope, factor]
        for name, factor in changes.items():
            if factor == 1.0:
                continue
            for kind, target, line, record, chain in self._targets[name]:
                entry = totals.setdefault((kind, target, line.number), [line, record, chain, 1.0])
                entry[3] *= factor
        for (kind, target, number), (_, record, chain, factor) in totals.items():
            index = number - 1
            scope = top
            for sub in chain or ():
                scope = self._sub_scope(sub, scope)
            current = edits.get(index, (lines[index], []))[0]
            if kind == "param":
                new, old, value = self._param_text(current, target, factor)
            else:
                new, old, value = self._element_text(current, record, scope, factor)
            note = f"* loxant optimize: {target} x{factor:.6g} ({old} -> {value})"
            edits[index] = (new, edits.get(index, (None, []))[1] + [note])
        out = []
        newline = "\r\n" if original.endswith("\r\n") else "\n"
        for index, text in enumerate(lines):
            if index in edits:
                new, notes = edits[index]
                out.extend(note + newline for note in notes)
                out.append(new)
            else:
                out.append(text)
        return "".join(out)

    def _param_text(self, text, name, factor):
        value = float(self.design.param_names[name]) * factor
        bare = name.partition("@")[0]
        pattern = re.compile(rf"(?i)(\b{re.escape(bare)}\s*=\s*){_VALUE}")
        match = pattern.search(text)
        if match is None:
            raise EditError(f"{name}: cannot find its definition on its line")
        new = text[: match.start(2)] + _number(value) + text[match.end(2) :]
        return new, match.group(2), _number(value)

    def _element_text(self, text, record, scope, factor):
        if record.letter == "B":
            return self._junction_text(text, record, scope, factor)
        if record.letter == "I":
            return self._source_text(text, record, scope, factor)
        value = scope.evaluate(record.value.tree) * factor
        match = re.match(rf"(\s*\S+\s+\S+\s+\S+\s+){_VALUE}", text)
        if match is None or _bare(match.group(2)) != _bare(record.value.text):
            raise EditError(f"{record.name}: cannot find its value on line {record.line.number}")
        return _replaced(text, match, 2, _number(value)), record.value.text, _number(value)

    def _junction_text(self, text, record, scope, factor):
        for key in ("AREA", "IC"):
            if key in record.options:
                value = scope.evaluate(record.options[key].tree) * factor
                match = re.search(rf"(?i)(\b{key}\s*=\s*){_VALUE}", text)
                if match is None:
                    break
                return _replaced(text, match, 2, _number(value)), match.group(2), _number(value)
        else:
            body = text.rstrip("\r\n")
            return body + f" area={_number(factor)}" + text[len(body) :], "area 1", _number(factor)
        raise EditError(f"{record.name}: cannot find its area on line {record.line.number}")

    def _source_text(self, text, record, scope, factor):
        kind, values = record.wave[0], record.wave[1]
        if kind == "dc":
            value = scope.evaluate(values[0].tree) * factor
            match = re.search(rf"{re.escape(values[0].text)}(?=\s*$)", text.rstrip("\r\n"))
            if match is None:
                raise EditError(f"{record.name}: cannot find its value")
            new = text[: match.start()] + _number(value) + text[match.end() :]
            return new, values[0].text, _number(value)
        match = re.search(r"(?i)\bpwl\s*\(", text)
        end = text.find(")", match.end()) if match else -1
        if end < 0:
            raise EditError(f"{record.name}: cannot find its pwl(...)")
        parts = []
        for k, value in enumerate(values):
            parts.append(value.text if k % 2 == 0 else _number(scope.evaluate(value.tree) * factor))
        old = text[match.start() : end + 1]
        new_wave = f"{text[match.start() : match.end()]}{' '.join(parts)})"
        return text[: match.start()] + new_wave + text[end + 1 :], old, new_wave


def _bare(text):
    """A value's text without braces, parentheses, quotes or blanks (the reader
    keeps a braced value as a parenthesised one)."""
    return re.sub(r"[{}()'\s]", "", text)


def _replaced(text, match, group, value):
    return text[: match.start(group)] + value + text[match.end(group) :]
