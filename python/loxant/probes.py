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
"""

import re

import numpy as np

from .circuit import GROUND
from .errors import CircuitError

__all__ = ["FLOAT_QUANTITIES", "HOW_TO_RECORD", "RecordPlan", "grow"]

#: quantities of the float table, in column order; the index is the engine's code
FLOAT_QUANTITIES = ("node_phase", "node_voltage", "current", "phase", "voltage")
_NODE_QUANTITIES = {"phase": "node_phase", "voltage": "node_voltage"}
_ELEMENT_QUANTITIES = {
    "current": "current",
    "phase": "phase",
    "voltage": "voltage",
    "turns": "turns",
}
_PROBE = re.compile(r"^\s*(phase|voltage|current|turns)\s*\((.+)\)\s*$")

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
        self.node_names = list(system.node_names)
        self.element_names = [e.name for e in system.elements]
        self._node_index = {name: k for k, name in enumerate(self.node_names)}
        self._element_index = {name: k for k, name in enumerate(self.element_names)}
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
                f"record must be None, 'all' or a list of probes; {HOW_TO_RECORD}"
            ) from None
        wanted = {q: set() for q in (*_NODE_QUANTITIES.values(), *_ELEMENT_QUANTITIES.values())}
        for probe in probes:
            self._add(wanted, probe)
        return wanted

    def _add(self, wanted, probe):
        if isinstance(probe, bool) or not isinstance(probe, (str, int)):
            raise CircuitError(f"record: a probe is a string, got {probe!r}; {HOW_TO_RECORD}")
        text = str(probe)
        match = _PROBE.match(text)
        quantity, name = (match.group(1), match.group(2).strip()) if match else (None, text.strip())
        if name == GROUND or name.lower() == "gnd":
            raise CircuitError(f"record: {text!r} names ground, whose phase and voltage are 0")
        is_node = name in self._node_index
        is_element = name in self._element_index
        if not (is_node or is_element):
            raise CircuitError(f"record: no node or element named {name!r}")
        node_q = _NODE_QUANTITIES if quantity is None else _pick(_NODE_QUANTITIES, quantity)
        elem_q = _ELEMENT_QUANTITIES if quantity is None else _pick(_ELEMENT_QUANTITIES, quantity)
        if not ((is_node and node_q) or (is_element and elem_q)):
            raise CircuitError(f"record: {text!r}: a node has no {quantity}")
        for q in node_q.values() if is_node else ():
            wanted[q].add(name)
        for q in elem_q.values() if is_element else ():
            wanted[q].add(name)

    # -- layout ------------------------------------------------------------

    def _layout(self):
        node_index = self._node_index
        elements = self.system.elements
        elements = {name: elements[k] for name, k in self._element_index.items()}
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
