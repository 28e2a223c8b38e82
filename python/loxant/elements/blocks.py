"""Blocks: many linear elements of one kind held as arrays, not as one
declaration each.

A large netlist is mostly plain resistors, inductors and capacitors.  A
:class:`Block` keeps N of one kind as a list of names and three arrays (first
node, second node, normalised value), and the native engine runs them as one
model object of the kind's block class.  A block stands for exactly the
declarations :meth:`Block.declaration` makes of it: same names, nodes and
values.

Node numbers are the circuit's: 0 is ground, k >= 1 the k-th node in order of
first use.
"""

import numpy as np

from ..errors import CircuitError
from ..nodes import GROUND
from .base import Capacitor, Inductor, Resistor

__all__ = ["BLOCK_KINDS", "Block"]

#: adder -> (declaration class, native block class)
BLOCK_KINDS = {
    "resistor": (Resistor, "ResistorBlock"),
    "inductor": (Inductor, "InductorBlock"),
    "capacitor": (Capacitor, "CapacitorBlock"),
}


class Block:
    """``len(names)`` elements of the kind of ``adder``; ``a``, ``b`` their node
    numbers, ``values`` their normalised values (int32, int32, float64)."""

    __slots__ = ("adder", "names", "a", "b", "values")

    def __init__(self, adder, names, a, b, values):
        if adder not in BLOCK_KINDS:
            raise CircuitError(f"no block of {adder!r} elements (known: {', '.join(BLOCK_KINDS)})")
        self.adder = adder
        self.names = names
        self.a = np.ascontiguousarray(a, dtype=np.int32)
        self.b = np.ascontiguousarray(b, dtype=np.int32)
        self.values = np.ascontiguousarray(values, dtype=np.float64)
        if not len(names) == len(self.a) == len(self.b) == len(self.values):
            raise CircuitError("a block's names, nodes and values differ in length")

    def __len__(self):
        return len(self.names)

    @property
    def model_name(self):
        """The native block class."""
        return BLOCK_KINDS[self.adder][1]

    def first_refused(self, node_count):
        """Index of the first element whose nodes or value its single declaration
        would refuse (None: none): nodes 0..node_count, two different ones, and
        a finite value, positive but for an inductor's, which is not 0."""
        a, b, v = self.a, self.b, self.values
        bad = (a < 0) | (a > node_count) | (b < 0) | (b > node_count) | (a == b)
        bad |= ~np.isfinite(v)
        bad |= (v == 0) if self.adder == "inductor" else (v <= 0)
        found = np.flatnonzero(bad)
        return int(found[0]) if found.size else None

    def declaration(self, k, node_names):
        """Element ``k`` as its single declaration; ``node_names[n - 1]`` names node n."""
        cls = BLOCK_KINDS[self.adder][0]
        a, b = int(self.a[k]), int(self.b[k])
        na = node_names[a - 1] if a else GROUND
        nb = node_names[b - 1] if b else GROUND
        return cls(self.names[k], na, nb, float(self.values[k]))

    def index(self, name):
        """Position of the element ``name`` in the block, or None (a scan of the
        names: lookups of a block's elements are few, a probe or a message)."""
        try:
            return self.names.index(name)
        except ValueError:
            return None
