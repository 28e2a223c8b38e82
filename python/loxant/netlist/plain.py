"""The plain elements of a large expansion, held as columns.

A netlist that expands to many elements is mostly resistors, inductors and
capacitors with one constant value each.  The expansion keeps those as columns
per kind (names, node numbers, SI values, and the record each came from, for
messages) instead of one :class:`~loxant.netlist.expand.Flat` each; the
circuit holds them as blocks.  Nodes are numbered here in order of first use
among the plain elements (ground 0).
"""

import array

import numpy as np

from ..kinds import BY_ADDER
from ..nodes import GROUND

__all__ = ["PLAIN_ADDERS", "Plain"]

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
