"""Results of a transient simulation.

Values are recorded at accepted time steps (every ``record_every``-th one).
Node values: phase and voltage of every node other than ground.  Element
values, in the user's orientation (first node minus second node, current
from the first node to the second): current, phase, voltage and the signed
count of whole 2 pi turns of the phase (junctions, phase and voltage sources;
0 for the other elements).
"""

import csv

import numpy as np

from . import lxglobals
from .circuit import GROUND

__all__ = ["Recorder", "Results"]


class Results:
    """Time series of one simulation, looked up by node and element name."""

    def __init__(
        self,
        time,
        nodes,
        elements,
        node_phases,
        node_voltages,
        currents,
        phases,
        voltages,
        turns,
        stats=None,
    ):
        self.time = time
        #: names of the nodes (ground excluded) and of the elements, in column order
        self.nodes = list(nodes)
        self.elements = list(elements)
        self.node_phases = node_phases
        self.node_voltages = node_voltages
        self.currents = currents
        self.phases = phases
        self.voltages = voltages
        self.turns = turns
        #: counters of the run: accepted and rejected steps, Newton iterations...
        self.stats = dict(stats or {})
        self._node_col = {name: k for k, name in enumerate(self.nodes)}
        self._elem_col = {name: k for k, name in enumerate(self.elements)}

    def __len__(self):
        return len(self.time)

    def __repr__(self):
        span = f"t = {self.time[0]:g}..{self.time[-1]:g}" if len(self) else "empty"
        return (
            f"<Results: {len(self)} samples, {span}, {len(self.nodes)} nodes, "
            f"{len(self.elements)} elements>"
        )

    def _node(self, table, name):
        name = str(name)
        if name == GROUND or name.lower() == "gnd":
            return np.zeros_like(self.time)
        try:
            return table[:, self._node_col[name]]
        except KeyError:
            raise KeyError(f"no node named {name!r}") from None

    def _element(self, table, name):
        try:
            return table[:, self._elem_col[name]]
        except KeyError:
            raise KeyError(f"no element named {name!r}") from None

    def node_phase(self, name):
        """Phase of node ``name`` (0 for ground)."""
        return self._node(self.node_phases, name)

    def node_voltage(self, name):
        """Voltage (d phase / dt) of node ``name``."""
        return self._node(self.node_voltages, name)

    def current(self, name):
        """Current through element ``name`` from its first node to its second."""
        return self._element(self.currents, name)

    def phase(self, name):
        """Phase of element ``name``: first node minus second node."""
        return self._element(self.phases, name)

    def voltage(self, name):
        """Voltage of element ``name``: first node minus second node."""
        return self._element(self.voltages, name)

    def turn_count(self, name):
        """Signed number of whole 2 pi turns of the phase of element ``name``."""
        return self._element(self.turns, name)

    def average_voltage(self, name, t_from=None, t_to=None):
        """Time average of the voltage of element ``name`` between the samples
        nearest to ``t_from`` and ``t_to`` (default: the whole record), computed as
        the change of its phase divided by the time between the two samples."""
        phase = self.phase(name)
        for what, t in (("t_from", t_from), ("t_to", t_to)):
            if t is not None and not np.isfinite(t):
                raise ValueError(f"{what} must be a finite time, got {t!r}")
        k0 = 0 if t_from is None else int(np.argmin(np.abs(self.time - t_from)))
        k1 = len(self) - 1 if t_to is None else int(np.argmin(np.abs(self.time - t_to)))
        if k1 <= k0:
            raise ValueError("the averaging window holds fewer than two samples")
        return float((phase[k1] - phase[k0]) / (self.time[k1] - self.time[k0]))

    def to_csv(self, path):
        """Write every series to a CSV file, one row per sample.

        Columns: ``time``; ``phase(node)``, ``voltage(node)`` per node;
        ``current(elem)``, ``phase(elem)``, ``voltage(elem)``, ``turns(elem)`` per
        element.
        """
        header = ["time"]
        columns = [self.time[:, None]]
        for k, name in enumerate(self.nodes):
            header += [f"phase({name})", f"voltage({name})"]
            columns += [self.node_phases[:, k, None], self.node_voltages[:, k, None]]
        for k, name in enumerate(self.elements):
            header += [f"current({name})", f"phase({name})", f"voltage({name})", f"turns({name})"]
            columns += [
                self.currents[:, k, None],
                self.phases[:, k, None],
                self.voltages[:, k, None],
                self.turns[:, k, None].astype(float),
            ]
        table = np.hstack(columns) + 0.0  # no negative zeros in the file
        with open(path, "w", newline="") as stream:
            csv.writer(stream).writerow(header)
            np.savetxt(stream, table, delimiter=",", fmt="%.17g")


class Recorder:
    """Collects samples from ``lxglobals`` after each step of a simulation."""

    def __init__(self, system, capacity=64):
        self.system = system
        elements = system.elements
        self.phase_sign = np.array([e.orientation.phase_sign for e in elements], dtype=float)
        self.current_sign = np.array([e.orientation.current_sign for e in elements], dtype=float)
        self.count = 0
        n, m = system.n_nodes, len(elements)
        capacity = max(int(capacity), 2)
        self.time = np.empty(capacity)
        self.node_phases = np.empty((capacity, n))
        self.node_voltages = np.empty((capacity, n))
        self.currents = np.empty((capacity, m))
        self.phases = np.empty((capacity, m))
        self.voltages = np.empty((capacity, m))
        self.turns = np.empty((capacity, m), dtype=np.int32)

    def _grow(self):
        for name in (
            "time",
            "node_phases",
            "node_voltages",
            "currents",
            "phases",
            "voltages",
            "turns",
        ):
            old = getattr(self, name)
            new = np.empty((2 * len(old),) + old.shape[1:], dtype=old.dtype)
            new[: self.count] = old[: self.count]
            setattr(self, name, new)

    def record(self, t):
        """Store the present contents of the ``lxglobals`` result arrays at time ``t``."""
        if self.count == len(self.time):
            self._grow()
        k, n = self.count, self.system.n_nodes
        self.time[k] = t
        self.node_phases[k] = lxglobals.NodePhase[:n]
        self.node_voltages[k] = lxglobals.NodeVoltage[:n]
        np.multiply(lxglobals.ElementCurrent, self.current_sign, out=self.currents[k])
        np.multiply(lxglobals.ElementPhase, self.phase_sign, out=self.phases[k])
        np.multiply(lxglobals.ElementVoltage, self.phase_sign, out=self.voltages[k])
        self.turns[k] = lxglobals.ElementN
        self.count += 1

    def results(self, stats=None):
        k = self.count
        return Results(
            self.time[:k].copy(),
            self.system.node_names,
            [e.name for e in self.system.elements],
            self.node_phases[:k].copy(),
            self.node_voltages[:k].copy(),
            self.currents[:k].copy(),
            self.phases[:k].copy(),
            self.voltages[:k].copy(),
            self.turns[:k].copy(),
            stats,
        )
