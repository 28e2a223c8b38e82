"""Values of a netlist: numbers with scale suffixes and parameter expressions.

A number may carry a scale suffix (``F P N U M K MEG X G T``, any case; ``M`` is
milli, ``MEG`` and ``X`` mega) followed by unit letters, which are ignored:
``3pH`` is 3e-12, ``2.74ohm`` is 2.74, ``5F`` is 5e-15.

An expression combines numbers, parameter names and the constants below with
``+ - * /``, ``^`` (or ``**``, right-associative), parentheses, unary minus and
the functions of :data:`FUNCTIONS`.  The random functions ``gauss(nominal,
rel_sigma[, n])``, ``agauss(nominal, abs_sigma[, n])``, ``unif(nominal, rel)`` and
``aunif(nominal, abs)`` give their nominal value unless a NumPy random Generator
is supplied, in which case every evaluation draws afresh (``n`` sigmas span the
given variation, as in ``agauss(1, 0.3, 3)``: sigma 0.1).

:func:`parse` turns a text into a tree once; :class:`Scope` holds parameter
definitions, resolves them in any order and reports cycles and undefined names.
Every problem is an :class:`ExpressionError`.
"""

import math
import re

__all__ = ["CONSTANTS", "FUNCTIONS", "ExpressionError", "Scope", "parse", "parse_number"]

SCALE = {
    "f": 1e-15,
    "p": 1e-12,
    "n": 1e-9,
    "u": 1e-6,
    "m": 1e-3,
    "k": 1e3,
    "x": 1e6,
    "g": 1e9,
    "t": 1e12,
}

CONSTANTS = {
    "PI": math.pi,
    "PHI_ZERO": 2.067833848e-15,
    "BOLTZMANN": 1.380649e-23,
    "EV": 1.602176634e-19,
    "HBAR": 1.054571817e-34,
    "C": 299792458.0,
    "MU0": 1.25663706212e-6,
    "EPS0": 8.8541878128e-12,
}


def _log(x):
    return math.log(x)


#: name -> (function, smallest and largest number of arguments)
FUNCTIONS = {
    "sqrt": (math.sqrt, 1, 1),
    "exp": (math.exp, 1, 1),
    "log": (_log, 1, 1),
    "ln": (_log, 1, 1),
    "log10": (math.log10, 1, 1),
    "sin": (math.sin, 1, 1),
    "cos": (math.cos, 1, 1),
    "tan": (math.tan, 1, 1),
    "asin": (math.asin, 1, 1),
    "acos": (math.acos, 1, 1),
    "atan": (math.atan, 1, 1),
    "atan2": (math.atan2, 2, 2),
    "sinh": (math.sinh, 1, 1),
    "cosh": (math.cosh, 1, 1),
    "tanh": (math.tanh, 1, 1),
    "abs": (abs, 1, 1),
    "floor": (math.floor, 1, 1),
    "ceil": (math.ceil, 1, 1),
    "int": (math.trunc, 1, 1),
    "pow": (math.pow, 2, 2),
    "min": (min, 1, 64),
    "max": (max, 1, 64),
}

#: random functions: name -> (smallest, largest number of arguments)
RANDOM = {"gauss": (2, 3), "agauss": (2, 3), "unif": (2, 2), "aunif": (2, 2)}

#: deepest nesting of an expression (a guard against runaway recursion)
MAX_DEPTH = 100


class ExpressionError(Exception):
    """A value or expression that cannot be read or evaluated.

    ``where`` is the location of the definition at fault, when known (set by
    :class:`Scope` for errors inside a parameter definition).
    """

    def __init__(self, message, where=None):
        super().__init__(message)
        self.message = message
        self.where = where

    def __str__(self):
        return self.message


#: longest piece of an expression quoted in a message
_QUOTE_LIMIT = 80


def _clip(text, limit=_QUOTE_LIMIT):
    """``text`` cut to ``limit`` characters, saying so when cut."""
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _quoted(text, limit=_QUOTE_LIMIT):
    """``repr`` of ``text``, cut to about ``limit`` characters."""
    return repr(_clip(text, limit))


_NUMBER = re.compile(r"(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_LETTERS = re.compile(r"[A-Za-z]*")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_OPERATORS = ("**", "+", "-", "*", "/", "^", "(", ")", ",")


def _scale(letters):
    """Factor of the scale suffix that starts ``letters`` (unit letters after it are
    ignored)."""
    lower = letters.lower()
    if lower.startswith("meg"):
        return 1e6
    return SCALE.get(lower[:1], 1.0)


def parse_number(text):
    """The value of a number with an optional sign, scale suffix and unit letters,
    e.g. ``"0.175pF"``; raises :class:`ExpressionError` for anything else."""
    body = text.strip()
    sign = 1.0
    if body[:1] in "+-" and body:
        sign = -1.0 if body[0] == "-" else 1.0
        body = body[1:]
    match = _NUMBER.match(body)
    if match is None or not _LETTERS.fullmatch(body, match.end()):
        raise ExpressionError(f"bad number {_quoted(text)}")
    value = sign * float(match.group()) * _scale(body[match.end() :])
    if not math.isfinite(value):
        raise ExpressionError(f"number {_quoted(text)} is out of range")
    return value


def _tokens(text):
    """(kind, text) tokens of an expression; kinds: num, name, op."""
    pos, out = 0, []
    while pos < len(text):
        ch = text[pos]
        if ch.isspace():
            pos += 1
            continue
        match = _NUMBER.match(text, pos)
        if match:
            letters = _LETTERS.match(text, match.end())
            value = float(match.group()) * _scale(letters.group())
            if not math.isfinite(value):
                raise ExpressionError(f"number {_quoted(match.group())} is out of range")
            out.append(("num", value))
            pos = letters.end()
            continue
        match = _NAME.match(text, pos)
        if match:
            out.append(("name", match.group()))
            pos = match.end()
            continue
        for op in _OPERATORS:
            if text.startswith(op, pos):
                out.append(("op", "^" if op == "**" else op))
                pos += len(op)
                break
        else:
            raise ExpressionError(f"unexpected character {ch!r} in {_quoted(text)}")
    return out


class _Parser:
    """Recursive descent over the tokens; builds tuples: ("num", v), ("name", n),
    ("neg", a), ("bin", "^", a, b), ("call", f, [args]) and, for runs of + - or * /,
    ("chain", first, [(op, operand), ...]), so long sums stay shallow."""

    def __init__(self, text):
        self.text = text
        self.tokens = _tokens(text)
        self.pos = 0
        self.depth = 0

    def peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else (None, None)

    def take(self, op=None):
        kind, value = self.peek()
        if kind is None and op is not None:
            raise ExpressionError(f"expected {op!r} at the end of {_quoted(self.text)}")
        if kind is None:
            raise ExpressionError(f"expression {_quoted(self.text)} ends too early")
        if op is not None and (kind != "op" or value != op):
            raise ExpressionError(f"expected {op!r} in {_quoted(self.text)}, found {value!r}")
        self.pos += 1
        return kind, value

    def parse(self):
        if not self.tokens:
            raise ExpressionError("empty expression")
        tree = self.sum()
        if self.pos != len(self.tokens):
            raise ExpressionError(
                f"unexpected {self.tokens[self.pos][1]!r} in {_quoted(self.text)}"
            )
        return tree

    def _nested(self, method):
        self.depth += 1
        if self.depth > MAX_DEPTH:
            raise ExpressionError(f"expression nested too deeply: {_quoted(self.text, 40)}")
        try:
            return method()
        finally:
            self.depth -= 1

    def _chain(self, operand, ops):
        first, rest = operand(), []
        while self.peek() in ops:
            rest.append((self.take()[1], operand()))
        return ("chain", first, rest) if rest else first

    def sum(self):
        return self._chain(self.product, (("op", "+"), ("op", "-")))

    def product(self):
        return self._chain(self.unary, (("op", "*"), ("op", "/")))

    def unary(self):
        if self.peek() in (("op", "-"), ("op", "+")):
            op = self.take()[1]
            operand = self._nested(self.unary)
            return ("neg", operand) if op == "-" else operand
        return self.power()

    def power(self):
        base = self.atom()
        if self.peek() == ("op", "^"):
            self.take()
            return ("bin", "^", base, self._nested(self.unary))
        return base

    def atom(self):
        kind, value = self.take()
        if kind == "num":
            return ("num", value)
        if kind == "name":
            if self.peek() == ("op", "("):
                self.take()
                args = []
                if self.peek() != ("op", ")"):
                    args.append(self._nested(self.sum))
                    while self.peek() == ("op", ","):
                        self.take()
                        args.append(self._nested(self.sum))
                self.take(")")
                return ("call", value.lower(), args)
            return ("name", value.upper())
        if value == "(":
            tree = self._nested(self.sum)
            self.take(")")
            return tree
        raise ExpressionError(f"unexpected {value!r} in {_quoted(self.text)}")


def parse(text):
    """The tree of the expression ``text``; raises :class:`ExpressionError`."""
    return _Parser(text).parse()


def names(tree):
    """The parameter names that ``tree`` refers to."""
    found, pending = set(), [tree]
    while pending:
        node = pending.pop()
        if node[0] == "name":
            found.add(node[1])
        elif node[0] == "neg":
            pending.append(node[1])
        elif node[0] == "bin":
            pending += node[2:]
        elif node[0] == "chain":
            pending += [node[1]] + [operand for _, operand in node[2]]
        elif node[0] == "call":
            pending += node[2]
    return found


def _binary(op, a, b):
    if op == "+":
        return a + b
    if op == "-":
        return a - b
    if op == "*":
        return a * b
    if op == "/":
        return a / b
    return math.pow(a, b)


def _random(name, args, rng):
    nominal, spread = args[0], args[1]
    sigmas = args[2] if len(args) > 2 else 1.0
    if sigmas <= 0:
        raise ExpressionError(f"{name}: the number of sigmas must be positive, got {sigmas:g}")
    if rng is None:
        return nominal
    if name in ("gauss", "agauss"):
        deviation = spread / sigmas * float(rng.standard_normal())
    else:
        deviation = spread * float(rng.uniform(-1.0, 1.0))
    return nominal * (1.0 + deviation) if name in ("gauss", "unif") else nominal + deviation


def evaluate(tree, lookup, rng=None):
    """The value of ``tree``; ``lookup(name)`` gives a parameter's value."""
    try:
        value = _evaluate(tree, lookup, rng)
    except (ArithmeticError, ValueError) as exc:
        raise ExpressionError(f"cannot evaluate: {exc}") from None
    except RecursionError:
        raise ExpressionError("expression nested too deeply") from None
    if not math.isfinite(value):
        raise ExpressionError(f"value is not finite ({value})")
    return value


def _evaluate(tree, lookup, rng):
    kind = tree[0]
    if kind == "num":
        return tree[1]
    if kind == "name":
        return lookup(tree[1])
    if kind == "neg":
        return -_evaluate(tree[1], lookup, rng)
    if kind == "chain":
        value = _evaluate(tree[1], lookup, rng)
        for op, operand in tree[2]:
            value = _binary(op, value, _evaluate(operand, lookup, rng))
        return float(value)
    if kind == "bin":
        left, right = _evaluate(tree[2], lookup, rng), _evaluate(tree[3], lookup, rng)
        return float(_binary(tree[1], left, right))
    name, args = tree[1], [_evaluate(a, lookup, rng) for a in tree[2]]
    if name in RANDOM:
        low, high = RANDOM[name]
        _check_count(name, args, low, high)
        return _random(name, args, rng)
    if name not in FUNCTIONS:
        raise ExpressionError(f"unknown function {_quoted(name)}")
    function, low, high = FUNCTIONS[name]
    _check_count(name, args, low, high)
    return float(function(*args))


def _check_count(name, args, low, high):
    if not low <= len(args) <= high:
        wanted = str(low) if low == high else f"{low} to {high}"
        raise ExpressionError(f"{name}() takes {wanted} argument(s), got {len(args)}")


class Scope:
    """Parameter definitions of one level (the netlist, or one subcircuit instance),
    looked up through ``parent`` when a name is not defined here; the outermost
    scope ends in :data:`CONSTANTS`.

    ``define`` records a definition (a tree, with a location for errors) or a
    fixed value; ``value`` evaluates it once, on first use, so definitions may
    refer to each other in any order.  Resolution walks the dependencies with an
    explicit stack, so a long chain of definitions costs time linear in its
    length and no recursion.  ``rng`` draws the random functions.
    """

    def __init__(self, parent=None, rng=None):
        self.parent = parent
        self.rng = rng
        self._definitions = {}
        self._values = {}

    def define(self, name, tree=None, where=None, value=None):
        name = name.upper()
        self._values.pop(name, None)
        if tree is None:
            self._values[name] = float(value)
        self._definitions[name] = (tree, where)

    def __contains__(self, name):
        return name.upper() in self._definitions

    @property
    def defined(self):
        """Names defined at this level, in order of definition."""
        return list(self._definitions)

    def value(self, name):
        name = name.upper()
        known = self._values.get(name)
        if known is not None:
            return known
        if name not in self._definitions:
            if self.parent is not None:
                return self.parent.value(name)
            if name in CONSTANTS:
                return CONSTANTS[name]
            raise ExpressionError(f"undefined name {_quoted(name)}")
        return self._resolve(name)

    def _pending(self, name):
        """The names defined at this level that the definition of ``name`` needs and
        that have no value yet (a definition naming itself means the enclosing
        scope's value)."""
        tree = self._definitions[name][0]
        return [
            n
            for n in names(tree)
            if n in self._definitions
            and n not in self._values
            and not (n == name and self.parent is not None)
        ]

    def _resolve(self, name):
        stack = [(name, iter(self._pending(name)))]
        busy = {name}
        while stack:
            current, needs = stack[-1]
            needed = next((n for n in needs if n not in self._values), None)
            if needed is not None:
                if needed in busy:
                    chain = [n for n, _ in stack]
                    cycle = chain[chain.index(needed) :] + [needed]
                    raise ExpressionError(
                        f"parameters depend on each other: {_clip(' -> '.join(cycle), 200)}",
                        self._definitions[needed][1],
                    )
                busy.add(needed)
                stack.append((needed, iter(self._pending(needed))))
                continue
            self._values[current] = self._evaluate_definition(current)
            busy.discard(current)
            stack.pop()
        return self._values[name]

    def _evaluate_definition(self, name):
        tree, where = self._definitions[name]
        try:
            return evaluate(tree, self._lookup_for(name), self.rng)
        except ExpressionError as exc:
            if exc.where is None:
                exc.where = where
                exc.message = f"parameter {name}: {exc.message}"
            raise

    def _lookup_for(self, defined):
        """Lookup for the definition of ``defined``: where it names itself (a
        subcircuit's ``lb=LB``) it means the value from the enclosing scope."""
        if self.parent is None:
            return self.value

        def lookup(name):
            return self.parent.value(name) if name == defined else self.value(name)

        return lookup

    def evaluate(self, tree):
        """``tree`` evaluated with this scope's names (drawing afresh from ``rng``)."""
        return evaluate(tree, self.value, self.rng)

    def resolve_all(self):
        """Evaluate every definition of this level, in order of definition."""
        return {name: self.value(name) for name in self._definitions}
