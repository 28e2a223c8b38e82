"""The plain elements of a large expansion, held as columns.

A netlist that expands to many elements is mostly resistors, inductors and
capacitors with one constant value each.  The expansion keeps those as columns
per kind (names, node numbers, SI values, and the record each came from, for
messages) instead of one :class:`~loxant.netlist.expand.Flat` each; the
circuit holds them as blocks.  Nodes are numbered here in order of first use
among the plain elements (ground 0).
"""

import array
import operator

import numpy as np

from ..expressions import RANDOM
from ..kinds import BY_ADDER
from ..nodes import GROUND

__all__ = ["PLAIN_ADDERS", "BodyPlan", "Plain"]

#: letter -> adder of the kinds held as columns
PLAIN_ADDERS = {BY_ADDER[a].letter: a for a in ("resistor", "inductor", "capacitor")}


class Column:
    """The elements of one kind."""

    __slots__ = ("names", "a", "b", "values", "records")

    def __init__(self):
        self.names = []
        self.a = array.array("i")
        self.b = array.array("i")
        self.values = array.array("d")
        self.records = []  # the netlist record of each, shared by a body's instances

    def __len__(self):
        return len(self.names)

    def arrays(self):
        """(a, b, values) as NumPy arrays over the columns' memory."""
        return (
            np.frombuffer(self.a, np.int32),
            np.frombuffer(self.b, np.int32),
            np.frombuffer(self.values, np.float64),
        )


_INF = float("inf")


class _Group:
    """The plain elements of one kind in a body."""

    __slots__ = ("letter", "bases", "pick_a", "pick_b", "records", "values")

    def __init__(self, letter, records, index):
        self.letter = letter
        self.records = tuple(records)
        self.bases = [r.name for r in records]
        self.pick_a = _picker([index[r.nodes[0]] for r in records])
        self.pick_b = _picker([index[r.nodes[1]] for r in records])
        trees = [r.value.tree for r in records]
        constant = all(t[0] == "num" and 0.0 < t[1] < _INF for t in trees)
        #: the values when every one is a positive finite number (None: evaluated)
        self.values = array.array("d", [t[1] for t in trees]) if constant else None


def _picker(positions):
    """A function of a list giving its items at ``positions``, as a tuple."""
    if len(positions) == 1:
        (k,) = positions
        return lambda items: (items[k],)
    return operator.itemgetter(*positions)


class BodyPlan:
    """The plain elements of one subcircuit body, laid out once for all its
    instances: their nodes by local number (0 ground), by kind."""

    def __init__(self, records, grounds):
        #: the body's node names they touch, in order of first use (local 1, 2, ...)
        self.nodes = []
        index = dict.fromkeys(grounds, 0)
        for record in records:
            for name in record.nodes:
                if name not in index:
                    self.nodes.append(name)
                    index[name] = len(self.nodes)
        self.groups = []
        for letter in PLAIN_ADDERS:
            mine = [r for r in records if r.letter == letter]
            if mine:
                self.groups.append(_Group(letter, mine, index))
        self.members = frozenset(id(r) for r in records)
        #: whether a value calls a random function: drawn, the values must come
        #: one by one in netlist order, for the same draws
        self.draws = any(_draws(r.value.tree) for r in records)


def _draws(tree):
    """Whether an expression tree calls one of the random functions."""
    if isinstance(tree, list):
        return any(_draws(node) for node in tree)
    if not isinstance(tree, tuple) or not tree:
        return False
    if tree[0] == "call" and tree[1] in RANDOM:
        return True
    return any(_draws(node) for node in tree[1:] if isinstance(node, (tuple, list)))


class Plain:
    """Columns by letter, and the node numbers they use."""

    def __init__(self):
        self.columns = {letter: Column() for letter in PLAIN_ADDERS}
        #: node name -> number (1, 2, ...), ground excluded
        self.numbers = {}

    def add(self, letter, name, a, b, value, record):
        numbers = self.numbers
        column = self.columns[letter]
        column.names.append(name)
        column.a.append(0 if a == GROUND else numbers.setdefault(a, len(numbers) + 1))
        column.b.append(0 if b == GROUND else numbers.setdefault(b, len(numbers) + 1))
        column.values.append(value)
        column.records.append(record)

    def __len__(self):
        return sum(len(c) for c in self.columns.values())

    def add_instance(self, plan, node, suffix, evaluate):
        """Add the plain elements of one instance of ``plan``'s body, its nodes
        named by ``node`` and its element names given ``suffix``; False, adding
        nothing, when one would be refused on its own (two ends on one node, a
        value not positive and finite): those then go one by one."""
        numbers = self.numbers
        local = [0]
        for name in plan.nodes:
            full = node(name)
            local.append(0 if full == GROUND else numbers.setdefault(full, len(numbers) + 1))
        # two ends can meet only where two of the body's nodes became one
        merged = len(set(local)) < len(local)
        laid = []
        for group in plan.groups:
            a, b = group.pick_a(local), group.pick_b(local)
            if merged and any(x == y for x, y in zip(a, b)):
                return False
            values = group.values
            if values is None:
                values = array.array("d", [evaluate(r) for r in group.records])
                if not all(0.0 < v < _INF for v in values):
                    return False
            laid.append((group, a, b, values))
        for group, a, b, values in laid:
            column = self.columns[group.letter]
            column.names += [base + suffix for base in group.bases]
            column.a.extend(a)
            column.b.extend(b)
            column.values.extend(values)
            column.records += group.records
        return True

    def node_names(self):
        """Names of the numbered nodes, node k at k - 1."""
        return list(self.numbers)

    def elements(self):
        """(name, letter, (node a, node b), record) of every element, for the checks
        that name a fault (slow: only when one was found)."""
        names = self.node_names()
        spelled = lambda k: GROUND if k == 0 else names[k - 1]  # noqa: E731
        for letter, column in self.columns.items():
            for k, name in enumerate(column.names):
                ends = (spelled(column.a[k]), spelled(column.b[k]))
                yield name, letter, ends, column.records[k]
