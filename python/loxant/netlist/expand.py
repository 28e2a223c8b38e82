"""Third stage: records to the expanded circuit's elements, values evaluated.

Subcircuit instances are expanded (the element and internal node names get the
instance name appended: ``B1`` of ``X2`` placed in ``X1`` is ``B1|X2|X1``), every
value is evaluated in its instance's parameter scope, junctions find their
model by scope (see :mod:`.models`), and spreads are drawn when asked.  The size
of the expansion, and an estimate of its memory, are computed and bounded before
any of it is built.
"""

import functools
import math
import os

import numpy as np

from .. import expressions as ex
from ..kinds import BY_ADDER, BY_LETTER
from ..nodes import GROUND
from .errors import NetlistError, clip, warn
from .models import DEFAULT_MODEL, is_constant, junction_model
from .plain import PLAIN_ADDERS, BodyPlan, Plain
from .tokens import read_bytes

__all__ = ["BLOCK_MIN", "MAX_EXPANSION_BYTES", "MAX_NESTING", "Expander", "Flat"]

#: a netlist expanding to at least this many elements keeps its plain
#: resistors, inductors and capacitors as columns (see :mod:`.plain`); a smaller
#: one runs every element as its own model, as it always has
BLOCK_MIN = 10_000

#: most memory the expanded netlist may be estimated to take
MAX_EXPANSION_BYTES = 4 * 2**30
#: estimated bytes an element of the expanded netlist takes, from its reading
#: to its run (CPython 3.11, peak resident memory of fan-outs of 2**16 to 2**21
#: elements): reading and building the circuit take the first term, the run's
#: models, matrix and recording the second, as much again for a plain element.
#: By letter, the others BASE_BYTES; its name's characters come on top, and
#: NODE_BYTES for each node (a row of the matrix in the run)
ELEMENT_BYTES = {
    k: 1400 + 400 for k, kind in BY_LETTER.items() if kind.form in ("junction", "line")
}
BASE_BYTES = 700 + 630
NODE_BYTES = 300 + 670
#: the same in a netlist of BLOCK_MIN elements or more, whose plain elements
#: are held as columns, and its nodes then
PLAIN_BYTES = 300
PLAIN_NODE_BYTES = 650
_INF = float("inf")
#: deepest nesting of subcircuit instances
MAX_NESTING = 100
#: most values in a cus() file
MAX_CUSTOM_POINTS = 10_000_000
_SPREAD_LETTERS = frozenset(k for k, kind in BY_LETTER.items() if "SPREAD" in kind.options)
#: kinds whose line gives one value
_VALUE_LETTERS = frozenset(
    k for k, kind in BY_LETTER.items() if kind.form in ("value", "coupling", "controlled")
)
#: kinds controlled by the current of another element
_CONTROL_LETTERS = frozenset(k for k, kind in BY_LETTER.items() if kind.control)
#: kinds whose "nodes" name other elements (a coupling names its inductors)
_NAMES_ELEMENTS = frozenset(k for k, kind in BY_LETTER.items() if not kind.nodes)
_JUNCTION_LETTERS = frozenset(k for k, kind in BY_LETTER.items() if kind.form == "junction")
_LINE_LETTERS = frozenset(k for k, kind in BY_LETTER.items() if kind.form == "line")
#: the kind whose negative values run with a warning
_INDUCTOR = BY_ADDER["inductor"].letter
#: the kind of the zero-volt branch a four-node F or H takes its current through
_VOLTAGE_SOURCE = BY_ADDER["voltage_source"].letter


class Flat:
    """One element of the expanded circuit, values in SI units."""

    __slots__ = ("letter", "name", "nodes", "line", "values")

    def __init__(self, letter, name, nodes, line, values):
        self.letter, self.name, self.nodes, self.line, self.values = (
            letter,
            name,
            nodes,
            line,
            values,
        )


def _value(scope, element):
    """A one-value element's value in ``scope`` (raises ExpressionError)."""
    tree = element.value.tree
    return tree[1] if tree[0] == "num" else scope.evaluate(tree)


def _value_or_nan(scope, element):
    """A plain element's value, NaN where it cannot be evaluated: the instance's
    elements then go one by one, so that the first fault in netlist order is
    the one said."""
    try:
        return _value(scope, element)
    except ex.ExpressionError:
        return math.nan


def _where(exc, line, name):
    """A NetlistError of an ExpressionError met while evaluating ``name`` at ``line``."""
    if exc.where is not None:
        return exc.where.error(exc.message)
    return line.error(f"{clip(name)}: {exc.message}")


class Expander:
    """Expands the records of a parsed netlist into :class:`Flat` elements.

    ``params`` overrides ``.param`` values: a top-level name, or ``NAME@PATH``
    for the parameter NAME of the subcircuit instance PATH (``B0@XDUT``,
    ``B0@X2|X1``: innermost first); ``rng`` draws the random functions;
    ``spread_rng`` draws the spreads (nominal values without it); ``columns``
    False makes every element a Flat, however large the netlist.  With
    ``record``, :attr:`instance_values` gets every instance's parameter values
    and :attr:`area_params` the instance parameter a junction's area names.
    """

    def __init__(
        self,
        parsed,
        params=None,
        rng=None,
        spread_rng=None,
        base_dir=".",
        record=False,
        columns=True,
    ):
        self.parsed = parsed
        self.rng = rng
        self.spread_rng = spread_rng
        self.base_dir = base_dir
        self.warnings = parsed.warnings
        self.flat = []
        self.scope = ex.Scope(rng=rng)
        for name, value, line in parsed.top.params:
            self.scope.define(name, value.tree, line)
        params = dict(params or {})
        self._inner = _instance_overrides(params, parsed.file)
        self._override(params)
        self._record = record
        self.instance_values = {}  # "NAME@PATH" -> value, with record
        self.area_params = {}  # junction name -> "NAME@PATH", with record
        self._used = set()  # the instance paths whose overrides were applied
        self.spread = self._spreads()
        self.param_spread = self._param_spreads()
        self.drawn_params = {}  # "NAME" or "NAME@PATH" -> spread, with record
        self._draw_params(self.scope, "")
        self.global_values = resolve(self.scope)
        self._models = {}  # (id of the model, id of the scope or None) -> values
        self._lookups = {}  # (id of the subcircuit, model name) -> Model or None
        self._constant = {}  # id of a model -> whether it names no parameter
        self._instances = {}  # id of an X element -> (Subckt, its nodes)
        self._custom = {}  # path -> (values, line)
        #: the plain elements held as columns (None: every element is a Flat)
        self.plain = None
        self._columns = columns  # whether a large netlist may hold them so
        self._referenced = {}  # id of a body -> names its couplings and F, H name
        self._plans = {}  # id of a body -> its BodyPlan
        self._shared = {}  # (id of a model's values, area) -> (them, junction arguments)

    def _override(self, params):
        for name, value in params.items():
            if isinstance(name, str) and "@" in name:
                continue  # an instance's parameter: set where the instance is expanded
            if not isinstance(name, str) or name.upper() not in self.scope:
                raise NetlistError(f"no .param named {clip(name)!r} to override", self.parsed.file)
            try:
                self.scope.define(name, value=float(value))
            except (TypeError, ValueError):
                raise NetlistError(
                    f"override of {clip(name)} must be a number, got {clip(repr(value))}",
                    self.parsed.file,
                ) from None

    def _spreads(self):
        out = {}
        for kind, (value, line) in self.parsed.spread.items():
            out[kind] = _spread_value(self.scope, value, line, ".spread")
        return out

    def _param_spreads(self):
        """{NAME: spread} of ``.spread NAME=s``, each a .param of the top level
        or of a subcircuit."""
        known = set(self.scope.defined)
        for sub in self.parsed.subckts.values():
            known.update(n.upper() for n, _ in sub.defaults)
            known.update(n.upper() for n, _, _ in sub.body.params)
        out = {}
        for name, (value, line) in self.parsed.param_spread.items():
            if name not in known:
                kinds = ", ".join(k.lower() for k in sorted(_SPREAD_LETTERS))
                raise line.error(
                    f".spread: unknown kind {clip(name.lower())} (known: {kinds}, or a .param)"
                )
            out[name] = _spread_value(self.scope, value, line, f".spread of {clip(name)}")
        return out

    def _draw_params(self, scope, path):
        """Draw the spread .params defined at ``scope``'s own level (``path``: the
        instance, "" at top level): each times 1 + s*u, u uniform in [-1, 1]."""
        for name, spread in self.param_spread.items():
            if not spread or name not in scope:
                continue
            if self._record:
                self.drawn_params[f"{name}@{path}" if path else name] = spread
            if self.spread_rng is not None:
                try:
                    nominal = scope.value(name)
                except ex.ExpressionError as exc:
                    raise exc.where.error(exc.message) from None
                scope.define(name, value=nominal * (1.0 + spread * self.spread_rng.uniform(-1, 1)))

    def build(self):
        if count_elements(self.parsed, self._which_subckt) >= BLOCK_MIN and self._columns:
            self.plain = Plain()
        self._expand(self.parsed.top, self.scope, "", {}, (), None)
        unused = set(self._inner) - self._used
        if unused:
            raise NetlistError(
                f"no subcircuit instance {clip(min(unused))} to override a parameter of",
                self.parsed.file,
            )
        return self.flat

    # -- models --

    def model(self, element, owner, scope):
        """The junction model values of ``element``, written in subcircuit ``owner``
        (None at top level), evaluated in ``scope``."""
        key = (id(owner), element.model)
        if key not in self._lookups:
            self._lookups[key] = self._find_model(element, owner)
        model = self._lookups[key]
        if model is None:
            return DEFAULT_MODEL
        top_level = model.name in self.parsed.top.models and (
            self.parsed.top.models[model.name] is model
        )
        constant = self._constant.get(id(model))
        if constant is None:
            constant = self._constant[id(model)] = is_constant(model)
        scope_key = None if constant else (id(self.scope) if top_level else id(scope))
        values = self._models.get((id(model), scope_key))
        if values is None:
            values = junction_model(model, self.scope if top_level else scope, self.warnings)
            if constant or top_level:
                self._models[(id(model), scope_key)] = values
        return values

    def _find_model(self, element, owner):
        sub = owner
        while sub is not None:
            if element.model in sub.body.models:
                return sub.body.models[element.model]
            sub = sub.parent
        found = self.parsed.top.models.get(element.model)
        if found is None:
            line = element.line
            warn(
                f"{clip(element.name)}: no model {clip(element.model)}; "
                "the default junction model is used",
                line.file,
                line.number,
                self.warnings,
            )
        return found

    # -- expansion --

    def _expand(self, body, scope, suffix, ports, stack, owner):
        plain = self.plain
        if suffix and plain is not None:
            inside = {}  # an internal node's name, made once per instance

            def node(name):
                if name == GROUND or name == "GND":
                    return GROUND
                outer = ports.get(name)
                if outer is not None:
                    return outer
                full = inside.get(name)
                if full is None:
                    full = inside[name] = name + suffix
                return full

        elif suffix:

            def node(name):
                if name == GROUND or name == "GND":
                    return GROUND
                return ports.get(name, name + suffix)

        else:  # top level: names stay as written

            def node(name):
                return GROUND if name == "GND" else name

        append, values_of = self.flat.append, self._values
        plan = batched = None
        if plain is not None:
            plan = self._plan(body)
            evaluate = functools.partial(_value_or_nan, scope)
            in_order = plan.draws and self.rng is not None
            if not in_order and plain.add_instance(plan, node, suffix, evaluate):
                batched = plan.members
        for element in body.elements:
            letter = element.letter
            if letter == "X":
                self._instance(element, scope, suffix, node, stack)
                continue
            if plan is not None and id(element) in plan.members:
                if batched or self._add_plain(element, scope, suffix, node):
                    continue
            try:
                values = values_of(element, scope, owner)
            except ex.ExpressionError as exc:
                raise _where(exc, element.line, element.name) from None
            name = element.name + suffix
            nodes = element.nodes
            if letter in _NAMES_ELEMENTS:
                nodes = tuple([n + suffix for n in nodes])
            elif len(nodes) == 2:  # most elements: spelled out, for speed
                nodes = (node(nodes[0]), node(nodes[1]))
            else:
                nodes = tuple([node(n) for n in nodes])
            if letter in _CONTROL_LETTERS:
                if element.model is not None:
                    values["control"] = element.model + suffix
                else:
                    nodes = self._control_branch(element, name, nodes, values)
            if letter == _INDUCTOR and values["value"] < 0:
                self._negative_inductance(element, values["value"])
            if self._record and letter in _JUNCTION_LETTERS:
                self._note_area(element, name, scope, suffix)
            append(Flat(letter, name, nodes, element.line, values))

    def _plan(self, body):
        """The :class:`BodyPlan` of the body's elements that may be held as
        columns: plain kinds with no options, named by no coupling or
        current-controlled source, with no spread to draw."""
        plan = self._plans.get(id(body))
        if plan is None:
            referenced = self._names_referenced(body)
            members = [
                e
                for e in body.elements
                if e.letter in PLAIN_ADDERS
                and not e.options
                and e.name not in referenced
                and not (self.spread and e.letter in _SPREAD_LETTERS)
                and len({n if n != "GND" else GROUND for n in e.nodes}) == 2
            ]
            plan = self._plans[id(body)] = BodyPlan(members, (GROUND, "GND"))
        return plan

    def _add_plain(self, element, scope, suffix, node):
        """Put ``element`` into the columns; False for one that must stay a Flat
        (a short, a zero or negative inductance, a value or connection the
        circuit refuses, whose messages its own path gives)."""
        try:
            value = _value(scope, element)
        except ex.ExpressionError as exc:
            raise _where(exc, element.line, element.name) from None
        first, second = element.nodes
        a, b = node(first), node(second)
        if a == b or not 0.0 < value < _INF:
            return False
        self.plain.add(element.letter, element.name + suffix, a, b, value, element)
        return True

    def _names_referenced(self, body):
        """The element names of ``body`` its couplings and current-controlled
        sources name: those keep a declaration of their own."""
        found = self._referenced.get(id(body))
        if found is None:
            found = set()
            for element in body.elements:
                if element.letter in _NAMES_ELEMENTS:
                    found.update(element.nodes)
                elif element.letter in _CONTROL_LETTERS and element.model is not None:
                    found.add(element.model)
            self._referenced[id(body)] = found
        return found

    def _note_area(self, element, name, scope, suffix):
        """Record the instance parameter a junction's ``area=`` names alone."""
        options = element.options
        tree = options["AREA"].tree if "AREA" in options and "IC" not in options else None
        if tree is not None and tree[0] == "name" and tree[1] in scope:
            self.area_params[name] = f"{tree[1]}@{suffix[1:]}" if suffix else tree[1]

    def _negative_inductance(self, element, value):
        """Negative inductances (equivalent circuits, or a slip such as
        ``5.34-12``) run, as the peer runs them, with a warning per card."""
        line = element.line
        warn(
            f"{clip(element.name)}: negative inductance {value:.6g} H accepted",
            line.file,
            line.number,
            self.warnings,
        )

    def _control_branch(self, element, name, nodes, values):
        """The zero-volt branch from nc+ to nc- whose current a four-node F or H
        takes; its output nodes."""
        control = f"{name}_CONTROL"
        branch = {"wave": "dc", "args": [0.0]}
        self.flat.append(Flat(_VOLTAGE_SOURCE, control, nodes[2:], element.line, branch))
        values["control"] = control
        return nodes[:2]

    def _values(self, element, scope, owner):
        letter = element.letter
        if letter in _VALUE_LETTERS:
            tree = element.value.tree
            values = {"value": tree[1] if tree[0] == "num" else scope.evaluate(tree)}
            options = element.options
            if options:
                if "TEMP" in options:
                    values["temp"] = scope.evaluate(options["TEMP"].tree)
                self._spread(element, scope, values, "value")
            elif self.spread and letter in _SPREAD_LETTERS:
                self._spread(element, scope, values, "value")
            return values
        if letter in _JUNCTION_LETTERS:
            return self._junction(element, scope, owner)
        if letter in _LINE_LETTERS:
            return {k.lower(): scope.evaluate(v.tree) for k, v in element.options.items()}
        kind, waves = element.wave[0], element.wave[1]
        args = [v.tree[1] if v.tree[0] == "num" else scope.evaluate(v.tree) for v in waves]
        values = {"wave": kind, "args": args}
        if kind == "cus":
            values["points"] = self._custom_points(element)
        return values

    def _spread(self, element, scope, values, key):
        """Record the element's spread and, drawing, vary ``values[key]``."""
        given = element.options.get("SPREAD")
        if given is not None:
            spread = _spread_value(scope, given, element.line, f"{element.name}: spread")
        else:
            spread = self.spread.get(element.letter, self.spread.get(""))
        if not spread:
            return
        values["spread"] = spread
        if self.spread_rng is not None:
            values[key] *= 1.0 + spread * float(self.spread_rng.uniform(-1.0, 1.0))

    def _junction(self, element, scope, owner):
        model = self.model(element, owner, scope)
        ic = model.icrit
        options = element.options
        if "IC" in options:
            if ic == 0:
                raise element.line.error(f"{clip(element.name)}: ic= needs a model with icrit > 0")
            area = scope.evaluate(options["IC"].tree) / ic
        elif "AREA" in options:
            tree = options["AREA"].tree
            area = tree[1] if tree[0] == "num" else scope.evaluate(tree)
        else:
            area = 1.0
        if not area > 0:
            raise element.line.error(f"{clip(element.name)}: area must be positive, got {area:g}")
        drawn = {"area": area}
        self._spread(element, scope, drawn, "area")
        area = drawn["area"]
        values = {"ic": ic * area, "r": model.rn / area, "adder": model.adder}
        values["junction"] = self._instance_values(model, area)
        if "spread" in drawn:
            values["spread"] = drawn["spread"]
        if "TEMP" in options:
            values["temp"] = scope.evaluate(options["TEMP"].tree)
        return values

    def _instance_values(self, model, area):
        """The junction arguments of ``model`` at ``area``: one dict for the
        junctions that share both, which the circuit's builder copies."""
        key = (id(model), area)
        known = self._shared.get(key)
        if known is None or known[0] is not model:
            known = self._shared[key] = (model, model.instance(area))  # keeps model's id
        return known[1]

    def _custom_points(self, element):
        """The amplitudes of a ``cus()`` file, read once, relative to the file of
        the netlist line that names it."""
        name = element.wave[2]
        here = element.line.file
        base = os.path.dirname(os.path.abspath(here)) if os.path.isfile(here) else self.base_dir
        path = os.path.normpath(os.path.join(base, name))
        if path not in self._custom:
            data = read_bytes(path, including=element.line, verb="read")
            count = _word_count(data)  # before the words are split out, each an object
            if 0 < count <= MAX_CUSTOM_POINTS:
                text = data.decode("latin-1").replace(",", " ")
                try:
                    points = np.array(text.split(), dtype=float)
                except ValueError:
                    raise element.line.error(f"{clip(name)}: not a list of numbers") from None
            if not 0 < count <= MAX_CUSTOM_POINTS or not np.isfinite(points).all():
                raise element.line.error(
                    f"{clip(name)}: needs 1 to {MAX_CUSTOM_POINTS:,} finite values, has {count:,} "
                    "(the limit loxant.netlist.expand.MAX_CUSTOM_POINTS)"
                )
            self._custom[path] = points
        return self._custom[path]

    def _instance(self, element, scope, suffix, node, stack):
        sub, nodes = self._which_subckt(element)
        path = element.name + suffix
        inner = ex.Scope(parent=scope, rng=self.rng)
        try:
            for name, value in sub.defaults:
                inner.define(name, value.tree, sub.line)
            for name, value, line in sub.body.params:
                inner.define(name, value.tree, line)
            for name, value in element.options.items():
                if name not in inner:
                    raise element.line.error(
                        f"{clip(element.name)}: subcircuit {sub.name} has no parameter "
                        f"{clip(name.lower())}"
                    )
                inner.define(name, value=scope.evaluate(value.tree))
            self._set_inner(inner, path, sub, element)
            self._draw_params(inner, path)
        except ex.ExpressionError as exc:
            raise _where(exc, element.line, element.name) from None
        values = resolve(inner)
        if self._record:
            self.instance_values.update((f"{n}@{path}", v) for n, v in values.items())
        ports = {port: node(outer) for port, outer in zip(sub.ports, nodes) if port != GROUND}
        self._expand(sub.body, inner, f"|{element.name}{suffix}", ports, stack + (sub.name,), sub)

    def _set_inner(self, inner, path, sub, element):
        """Apply the overrides of instance ``path``'s parameters to its scope."""
        given = self._inner.get(path.upper())
        if not given:
            return
        self._used.add(path.upper())
        for name, value in given.items():
            if name not in inner:
                raise element.line.error(
                    f"{clip(element.name)}: subcircuit {sub.name} has no parameter "
                    f"{clip(name.lower())} to override"
                )
            inner.define(name, value=value)

    def _which_subckt(self, element):
        """The subcircuit of an instance and its nodes, for ``X1 sub n1 n2`` and
        ``X1 n1 n2 sub`` alike."""
        known = self._instances.get(id(element))
        if known is not None:
            return known
        words, subckts = element.nodes, self.parsed.subckts
        count = len(words) - 1
        first = subckts.get(words[0])
        last = subckts.get(words[-1]) if count else None
        if first is not None and (len(first.ports) == count or last is None):
            sub, nodes = first, words[1:]
        elif last is not None:
            sub, nodes = last, words[:-1]
        else:
            names = sorted({clip(words[0]), clip(words[-1])})
            raise element.line.error(
                f"{clip(element.name)}: unknown subcircuit {' or '.join(names)}"
            )
        if len(nodes) != len(sub.ports):
            raise element.line.error(
                f"{clip(element.name)}: subcircuit {sub.name} has {len(sub.ports)} node(s), "
                f"{len(nodes)} given"
            )
        self._instances[id(element)] = (sub, nodes)
        return sub, nodes


#: the bytes that part the values of a cus() file: latin-1 whitespace and commas
_GAPS = np.array(sorted(set(range(9, 14)) | set(range(28, 33)) | {44, 0x85, 0xA0}), np.uint8)


def _instance_overrides(params, file):
    """{instance path, upper case: {NAME: value}} of the ``NAME@PATH`` keys of
    ``params``."""
    out = {}
    for key, value in params.items():
        if not isinstance(key, str) or "@" not in key:
            continue
        name, _, path = key.partition("@")
        try:
            number = float(value)
        except (TypeError, ValueError):
            raise NetlistError(
                f"override of {clip(key)} must be a number, got {clip(repr(value))}", file
            ) from None
        out.setdefault(path.replace(".", "|").upper(), {})[name.upper()] = number
    return out


def _word_count(data):
    """The number of values in the bytes of a cus() file, counted in place."""
    gap = np.isin(np.frombuffer(data, np.uint8), _GAPS)
    if not gap.size:
        return 0
    return int(not gap[0]) + int(np.count_nonzero(gap[:-1] & ~gap[1:]))


def _spread_value(scope, value, line, what):
    try:
        spread = scope.evaluate(value.tree)
    except ex.ExpressionError as exc:
        raise line.error(f"{what}: {exc.message}") from None
    if not 0 <= spread < 1:
        raise line.error(f"{what} must be at least 0 and below 1, got {spread:g}")
    return spread


def resolve(scope):
    try:
        return scope.resolve_all()
    except ex.ExpressionError as exc:
        raise exc.where.error(exc.message) from None


def count_elements(parsed, which_subckt):
    """The number of elements the netlist expands to, refused when they are
    estimated to take more memory than :data:`MAX_EXPANSION_BYTES` (or nest
    deeper than :data:`MAX_NESTING`, or a subcircuit contains itself), before
    anything is expanded."""
    count, memory, over = expansion_size(parsed, which_subckt)
    if memory > MAX_EXPANSION_BYTES:
        element, sub = over
        where = f"instance {clip(element.name)} of {sub.name}" if sub else clip(element.name)
        raise element.line.error(
            f"the expanded netlist would take about {memory / 2**30:.3g} GiB of memory, more "
            f"than {MAX_EXPANSION_BYTES / 2**30:g} GiB (the limit "
            f"loxant.netlist.expand.MAX_EXPANSION_BYTES); it passes the limit at {where}"
        )
    return count


def expansion_size(parsed, which_subckt):
    """``(elements, estimated bytes, (element, subcircuit or None) at which the
    estimate passes MAX_EXPANSION_BYTES or None)`` of the expanded netlist,
    computed once per subcircuit: nothing is expanded.  Both estimates are
    made in one pass, with every element a Flat and with the plain ones held
    as columns; the size of the expansion says which applies."""
    sizes = {}  # subcircuit name -> (elements, estimated bytes, both ways) of one instance
    plain_bytes = dict(ELEMENT_BYTES, **dict.fromkeys(PLAIN_ADDERS, PLAIN_BYTES))

    def size(body, stack, ports):
        count, flat, held, nodes, over = 0, 0, 0, set(), [None, None]
        for element in body.elements:
            sub = None
            letter = element.letter
            if letter != "X":
                extra = 1 if letter in _CONTROL_LETTERS and element.model is None else 0
                count += 1 + extra
                flat += (1 + extra) * ELEMENT_BYTES.get(letter, BASE_BYTES) + len(element.name)
                held += (1 + extra) * plain_bytes.get(letter, BASE_BYTES) + len(element.name)
                if letter not in _NAMES_ELEMENTS:  # a coupling names inductors
                    nodes.update(element.nodes)
            else:
                sub, connected = which_subckt(element)
                nodes.update(connected)
                _check_nesting(element, sub, stack)
                if sub.name not in sizes:
                    sizes[sub.name] = size(sub.body, stack + (sub.name,), set(sub.ports))[:3]
                inner, inner_flat, inner_held = sizes[sub.name]
                count += inner
                # each name inside gets "|" and the instance's name appended
                flat += inner_flat + inner * (len(element.name) + 1)
                held += inner_held + inner * (len(element.name) + 1)
            for k, memory in enumerate((flat, held)):
                if over[k] is None and memory > MAX_EXPANSION_BYTES:
                    over[k] = (element, sub)
        nodes.difference_update(ports, (GROUND, "GND"))
        flat += NODE_BYTES * len(nodes)
        held += PLAIN_NODE_BYTES * len(nodes)
        last = (body.elements[-1] if body.elements else None, None)
        return count, flat, held, [o or last for o in over]

    try:
        count, flat, held, over = size(parsed.top, (), set())
    finally:
        size = None  # the closure refers to itself: let it go without the collector
    if count >= BLOCK_MIN:
        return count, held, over[1]
    return count, flat, over[0]


def _check_nesting(element, sub, stack):
    if sub.name in stack:
        raise element.line.error(
            f"{clip(element.name)}: subcircuit {sub.name} contains itself "
            f"({' -> '.join(stack + (sub.name,))})"
        )
    if len(stack) >= MAX_NESTING:
        raise element.line.error(
            f"{clip(element.name)}: subcircuits nested more than {MAX_NESTING} deep "
            "(the limit loxant.netlist.expand.MAX_NESTING)"
        )
