"""What a simulation records: the probes named by ``simulate(..., record=...)``.

A probe is a node or element name, which keeps every series of it (a node's
phase and voltage; an element's current, phase, voltage and turn count), or a
quantity of one name, written as in the CSV header: ``"phase(J1)"``,
``"voltage(n3)"``, ``"current(L1)"``, ``"turns(J1)"``.  ``record=None`` keeps
everything; ``simulate`` refuses a recording over 256 MiB unless
``record="all"``.

A :class:`RecordPlan` lays the recorded series out as the columns of one float
table (grouped by quantity, each group in circuit order) and one table of
turn counts, which both engines fill row by row.

The traces of a finished run are named the other way round, one letter and
the names in brackets: ``V(n3)``, ``P(J1)``, ``I(L1)``, ``V(n1,n2)``;
:func:`parse_probe` reads them into a :class:`Probe` (one grammar for results,
netlist output requests and analyses).
"""

import re
from typing import NamedTuple

import numpy as np

from ..elements import Orientation
from ..errors import CircuitError
from ..nodes import GROUND

__all__ = [
    "FLOAT_QUANTITIES",
    "HOW_TO_RECORD",
    "Probe",
    "RecordPlan",
    "grow",
    "parse_probe",
    "split_probe",
]

#: quantities of the float table, in column order; the index is the engine's code
FLOAT_QUANTITIES = ("node_phase", "node_voltage", "current", "phase", "voltage")
_NODE_QUANTITIES = {"phase": "node_phase", "voltage": "node_voltage"}
_ELEMENT_QUANTITIES = {
    "current": "current",
    "phase": "phase",
    "voltage": "voltage",
    "turns": "turns",
}
_RECORD_PROBE = re.compile(r"^\s*(phase|voltage|current|turns)\s*\((.+)\)\s*$")

HOW_TO_RECORD = (
    "choose probes with record=[...]: names of nodes or elements, or one quantity as "
    "'phase(name)', 'voltage(name)', 'current(name)', 'turns(name)'"
)


class RecordPlan:
    """The series one simulation records, and their columns.

    ``columns[quantity]`` lists the recorded names of each quantity (the node
    quantities ``node_phase``, ``node_voltage``; the element quantities
    ``current``, ``phase``, ``voltage``, ``turns``) in circuit order.
    """

    def __init__(self, system, record=None):
        self.system = system
        self.node_names = system.node_names
        self.element_names = system.element_names()
        self._node_index = _NodeIndex(system.node_numbers)
        self._element_index = _Index(
            self.element_names, len(system.elements) if system.block_entries else None
        )
        wanted = self._select(record)
        self.columns = {}
        for q in (*FLOAT_QUANTITIES, "turns"):
            node = q.startswith("node")
            if wanted is None:
                self.columns[q] = list(self.node_names if node else self.element_names)
            else:
                where = self._node_index if node else self._element_index
                self.columns[q] = sorted(wanted[q], key=where.__getitem__)
        self._layout()

    # -- selection ---------------------------------------------------------

    def _select(self, record):
        if record is None or (isinstance(record, str) and record == "all"):
            return None  # everything
        if isinstance(record, (str, int)):
            record = [record]
        try:
            probes = list(record)
        except TypeError:
            raise CircuitError(
                f"record must be None, 'all' or a list of probes; {HOW_TO_RECORD}",
                option="record",
            ) from None
        wanted = {q: set() for q in (*_NODE_QUANTITIES.values(), *_ELEMENT_QUANTITIES.values())}
        for probe in probes:
            self._add(wanted, probe)
        return wanted

    def _add(self, wanted, probe):
        if isinstance(probe, bool) or not isinstance(probe, (str, int)):
            raise CircuitError(
                f"record: a probe is a string, got {probe!r}; {HOW_TO_RECORD}", option="record"
            )
        text = str(probe)
        match = _RECORD_PROBE.match(text)
        quantity, name = (match.group(1), match.group(2).strip()) if match else (None, text.strip())
        if name == GROUND or name.lower() == "gnd":
            raise CircuitError(
                f"record: {text!r} names ground, whose phase and voltage are 0", option="record"
            )
        if name not in self._node_index and name not in self._element_index:
            name = self._spelled(name)  # B1.XDUT, b1|xdut: as the results read them
        is_node = name in self._node_index
        is_element = name in self._element_index
        if not (is_node or is_element):
            raise CircuitError(f"record: no node or element named {name!r}", option="record")
        node_q = _NODE_QUANTITIES if quantity is None else _pick(_NODE_QUANTITIES, quantity)
        elem_q = _ELEMENT_QUANTITIES if quantity is None else _pick(_ELEMENT_QUANTITIES, quantity)
        if not ((is_node and node_q) or (is_element and elem_q)):
            raise CircuitError(f"record: {text!r}: a node has no {quantity}", option="record")
        for q in node_q.values() if is_node else ():
            wanted[q].add(name)
        for q in elem_q.values() if is_element else ():
            wanted[q].add(name)

    def _spelled(self, name):
        """The circuit's spelling of ``name`` written in another case or with
        ``.`` before instance names; ``name`` itself when none or several match."""
        if not hasattr(self, "_canonical"):
            self._canonical = {}
            for known in (*self.node_names, *self.element_names):
                key = known.replace(".", "|").upper()
                self._canonical[key] = known if key not in self._canonical else None
        return self._canonical.get(name.replace(".", "|").upper()) or name

    # -- layout ------------------------------------------------------------

    def _layout(self):
        node_index = self._node_index
        elements = _Elements(self.system, self._element_index)
        channels = []
        #: quantity -> first column of its group in the float table
        self.first_column = {}
        for code, quantity in enumerate(FLOAT_QUANTITIES):
            self.first_column[quantity] = len(channels)
            for name in self.columns[quantity]:
                if code <= 1:
                    channels.append((code, node_index[name], 1.0))
                else:
                    e = elements[name]
                    sign = (
                        e.orientation.current_sign
                        if quantity == "current"
                        else (e.orientation.phase_sign)
                    )
                    channels.append((code, e.index, float(sign)))
        #: (quantity code, index, sign) of every float column, as the engine takes them
        self.channels = channels
        #: element index of every turn column
        self.turn_channels = [elements[name].index for name in self.columns["turns"]]
        self.indices = np.array([c[1] for c in channels], dtype=np.intp)
        self.signs = np.array([c[2] for c in channels])
        self.turn_indices = np.array(self.turn_channels, dtype=np.intp)

    def recorded_elements(self):
        """Element index of every element some column reads."""
        return {c[1] for c in self.channels if c[0] > 1} | set(self.turn_channels)

    def bytes_per_sample(self):
        floats = sum(len(self.columns[q]) for q in FLOAT_QUANTITIES)
        return 8 * (1 + floats) + 4 * len(self.columns["turns"])

    def allocate(self, rows):
        """Empty (time, values, turns) tables of ``rows`` rows."""
        rows = max(int(rows), 2)
        return (
            np.empty(rows),
            np.empty((rows, len(self.channels))),
            np.empty((rows, len(self.turn_channels)), dtype=np.int32),
        )

    def views(self, values, turns):
        """quantity -> (matrix of its columns, names) over the given tables (views)."""
        out = {}
        for quantity in FLOAT_QUANTITIES:
            start = self.first_column[quantity]
            names = self.columns[quantity]
            out[quantity] = (values[:, start : start + len(names)], names)
        out["turns"] = (turns, self.columns["turns"])
        return out


class _Index:
    """Name -> position in ``names``: a dict of the first ``indexed`` (all by
    default), the rest found by a scan, for the few names asked for among the
    millions a circuit's blocks may hold."""

    def __init__(self, names, indexed=None):
        self.names = names
        head = names if indexed is None else names[:indexed]
        self._head = {name: k for k, name in enumerate(head)}
        self._found = {}

    def get(self, name, default=None):
        k = self._head.get(name)
        if k is None and len(self._head) < len(self.names) and isinstance(name, str):
            k = self._found.get(name)
            if k is None:
                try:
                    k = self.names.index(name, len(self._head))
                except ValueError:
                    return default
                self._found[name] = k
        return default if k is None else k

    def __contains__(self, name):
        return self.get(name) is not None

    def __getitem__(self, name):
        k = self.get(name)
        if k is None:
            raise KeyError(name)
        return k


class _NodeIndex(_Index):
    """Node name -> position, from the system's node numbers (ground 0)."""

    def __init__(self, numbers):
        self.numbers = numbers

    def get(self, name, default=None):
        number = self.numbers.get(name) if isinstance(name, str) else None
        return number - 1 if number else default


class _Elements:
    """Element name -> what a column needs of it (``index`` and ``orientation``):
    a block's element is its entry's index and the identity orientation."""

    def __init__(self, system, index):
        self.system, self.index = system, index

    def __getitem__(self, name):
        k = self.index[name]
        if k < len(self.system.elements):
            return self.system.elements[k]
        return _BlockElement(k)


class _BlockElement:
    __slots__ = ("index",)
    orientation = Orientation(0, 0)

    def __init__(self, index):
        self.index = index


def _pick(quantities, quantity):
    return {quantity: quantities[quantity]} if quantity in quantities else {}


def grow(tables, rows_used, rows=None):
    """Tables of ``rows`` rows (default: twice as long) holding the first
    ``rows_used`` rows of ``tables``."""
    rows = 2 * len(tables[0]) if rows is None else rows
    grown = []
    for table in tables:
        bigger = np.empty((rows,) + table.shape[1:], dtype=table.dtype)
        bigger[:rows_used] = table[:rows_used]
        grown.append(bigger)
    return tuple(grown)


# -- trace probes: V(x), P(x), I(x), V(a,b) ---------------------------------


class Probe(NamedTuple):
    """One trace of a simulation, as ``V(2)``, ``P(B1)``, ``I(L1)`` or ``V(1,2)`` name it.

    ``quantity`` is "phase", "voltage" or "current"; an element probe names its
    ``element``, a node probe its two ``nodes`` (the second "0" for ground);
    ``symbol`` is the SI unit of its values (rad, V, A).
    """

    label: str
    quantity: str
    element: object
    nodes: tuple
    symbol: str


_TRACE_PROBE = re.compile(r"\s*([VPIvpi])\(\s*([^,()\s]+)\s*(?:,\s*([^,()\s]+)\s*)?\)\s*")
_PROBE_KINDS = {"V": ("voltage", "V"), "P": ("phase", "rad"), "I": ("current", "A")}


def split_probe(text):
    """``(letter, first, second)`` of a trace probe such as ``V(a,b)`` (letter in
    upper case, ``second`` None for one name), or None if ``text`` is not one."""
    match = _TRACE_PROBE.fullmatch(text) if isinstance(text, str) else None
    if match is None:
        return None
    return match.group(1).upper(), match.group(2), match.group(3)


def parse_probe(text, nodes, elements):
    """The :class:`Probe` named by ``text`` in a circuit of these ``nodes`` and
    ``elements`` (names).  ``V(x)`` and ``P(x)`` are the voltage and phase of the
    element ``x`` if there is one, else of the node ``x``; ``I(x)`` is the current
    through element ``x``.  Raises ValueError for anything else."""
    split = split_probe(text)
    if split is None:
        raise ValueError(f"cannot read probe {text!r}: expected V(x), P(x), I(x) or V(a,b)")
    letter, first, second = split
    quantity, symbol = _PROBE_KINDS[letter]
    if second is None and first in elements:
        return Probe(f"{letter}({first})", quantity, first, (), symbol)
    if letter == "I":
        raise ValueError(f"probe {text!r}: no element named {first!r}")
    pair = []
    for name in (first, GROUND if second is None else second):
        canonical = GROUND if name == GROUND or name.lower() == "gnd" else name
        if canonical != GROUND and canonical not in nodes:
            raise ValueError(f"probe {text!r}: no node or element named {name!r}")
        pair.append(canonical)
    label = f"{letter}({first})" if second is None else f"{letter}({first},{second})"
    return Probe(label, quantity, None, tuple(pair), symbol)
