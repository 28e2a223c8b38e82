"""Results in physical units: a :class:`~loxant.simulation.results.Results`
read through the :class:`~loxant.units.Units` of its circuit."""

import warnings

import numpy as np

from ..output import write_csv, write_table
from ..units import QUANTITIES, split_unit
from .probes import Probe, parse_probe

__all__ = ["PhysicalResults"]


class PhysicalResults:
    """Results of a simulation in physical units; ``normalised`` holds the
    :class:`~loxant.simulation.results.Results` they come from.  Every accessor returns SI
    units (s, V, A, rad) unless given another unit to express its values in (any
    prefix of the right symbol, ``"ps"``, ``"mV"``, ``"uA"``).  Names are
    case-insensitive, ``B1.X1`` and ``B1|X1`` alike."""

    def __init__(self, results, units):
        self.normalised = results
        self.units = units
        self.stats = results.stats
        self.nodes = results.nodes
        self.elements = results.elements

    def __len__(self):
        return len(self.normalised)

    def __repr__(self):
        return f"<PhysicalResults of {self.normalised!r}, {self.units!r}>"

    def _in(self, values, unit, symbol):
        if split_unit(unit)[1] != symbol:
            raise ValueError(f"unit {unit!r} is not a {QUANTITIES[symbol]} unit ({symbol})")
        return self.units.from_normalised(values, unit)

    def time(self, unit="s"):
        return self._in(self.normalised.time, unit, "s")

    def node_phase(self, name):
        """Phase of node ``name`` in radians."""
        return self.normalised.node_phase(name)

    def node_voltage(self, name, unit="V"):
        return self._in(self.normalised.node_voltage(name), unit, "V")

    def current(self, name, unit="A"):
        return self._in(self.normalised.current(name), unit, "A")

    def phase(self, name):
        """Phase of element ``name`` in radians."""
        return self.normalised.phase(name)

    def voltage(self, name, unit="V"):
        return self._in(self.normalised.voltage(name), unit, "V")

    def turn_count(self, name):
        return self.normalised.turn_count(name)

    def average_voltage(self, name, t_from=None, t_to=None, unit="V"):
        """Time-averaged voltage of element ``name`` between the physical times
        ``t_from`` and ``t_to`` (strings with units, or seconds)."""
        window = [None if t is None else self.units.to_normalised(t, "s") for t in (t_from, t_to)]
        return self._in(self.normalised.average_voltage(name, *window), unit, "V")

    def probe(self, text):
        """The :class:`Probe` named by ``text`` (see :func:`parse_probe`)."""
        return parse_probe(self.normalised.spell_probe(text), self.nodes, self.elements)

    def trace(self, probe):
        """``(unit, values)`` of a probe (a :class:`Probe` or its text such as
        ``"P(B1)"``), values in SI units: rad, V or A."""
        if not isinstance(probe, Probe):
            probe = self.probe(probe)
        unit = probe.symbol
        if probe.element is not None:
            series = {"phase": self.phase, "voltage": self.voltage, "current": self.current}
            getter = series[probe.quantity]
            values = getter(probe.element) if unit == "rad" else getter(probe.element, unit)
        else:
            getter = self.node_phase if unit == "rad" else (lambda n: self.node_voltage(n, "V"))
            first, second = probe.nodes
            values = getter(first) - getter(second)
        return unit, values

    def default_probes(self):
        """Phase and voltage of every recorded node, current, phase and voltage of
        every recorded element."""
        return self.normalised.default_probes()

    def to_dataframe(self, probes=None):
        """A pandas DataFrame in SI units indexed by ``time [s]``, one column per probe
        named with its unit (``"P(B1) [rad]"``, ``"V(2) [V]"``, ``"I(L1) [A]"``...;
        default: every node and element series, see :meth:`default_probes`)."""
        import pandas as pd

        probes = self.default_probes() if probes is None else list(probes)
        columns = {}
        for probe in probes:
            probe = probe if isinstance(probe, Probe) else self.probe(probe)
            unit, values = self.trace(probe)
            columns[f"{probe.label} [{unit}]"] = values
        return pd.DataFrame(columns, index=pd.Index(self.time("s"), name="time [s]"))

    def to_csv(self, path, probes=None, *, units_in_header=False):
        """Write a CSV file in SI units, one row per sample, headed as the peer
        writes it: ``time,"P(B1)","V(2)","I(L1)","V(1,2)",...``, one column per
        probe (default: every node and element series, see :meth:`default_probes`).
        ``units_in_header=True`` (``time [s],"P(B1) [rad]",...``) is deprecated."""
        probes = self.default_probes() if probes is None else list(probes)
        resolved = [p if isinstance(p, Probe) else self.probe(p) for p in probes]
        traces = [(p.label, *self.trace(p)) for p in resolved]
        if not units_in_header:
            write_csv(path, self.time("s"), traces)
            return
        warnings.warn(
            'units_in_header=True is deprecated: the header is the peer\'s, time,"P(B1)",...',
            DeprecationWarning,
            stacklevel=2,
        )
        header = ["time [s]"] + [
            '"' + f"{label} [{unit}]".replace('"', '""') + '"' for label, unit, _ in traces
        ]
        table = np.column_stack([self.time("s")] + [v for _, _, v in traces]) + 0.0
        write_table(path, ",".join(header) + "\n", table)
