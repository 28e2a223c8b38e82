"""Results of a transient simulation.

Values are recorded at accepted time steps (every ``record_every``-th one).
Node values: phase and voltage of every node other than ground.  Element
values, in the user's orientation (first node minus second node, current
from the first node to the second): current, phase, voltage and the signed
count of whole 2 pi turns of the phase (junctions, phase and voltage sources;
0 for the other elements).  Only the series chosen with ``simulate(...,
record=...)`` are kept; asking for another one is a ``KeyError`` that says
how to record it.

Names are looked up as the netlist dialect writes them: case-insensitive, and
``B1.X1`` and ``B1|X1`` (a device inside a subcircuit instance) alike.

Results know their units.  Normalised results (``units`` None) return the
engine's numbers.  SI results (``units`` a :class:`~loxant.units.Units`) return
seconds, volts, amperes and radians, or any prefix of the right symbol given as
``unit`` (``"ps"``, ``"mV"``, ``"uA"``); their ``time`` is both the array of
seconds and a callable, ``time("ps")``, so that code written for either form
keeps working.  ``normalised`` is the same results in normalised units.
"""

import math
import warnings

import numpy as np

from .. import lxglobals
from ..nodes import GROUND
from ..output import write_csv, write_table
from ..units import QUANTITIES, split_unit
from .probes import FLOAT_QUANTITIES, grow, parse_probe, split_probe

__all__ = ["PrintedRows", "Recorder", "Results", "TimeAxis", "canonical_name"]

_AMBIGUOUS = object()


def canonical_name(name):
    """The form in which names compare: upper case, and both separators of a
    subcircuit path (``B1.X1``, ``B1|X1``) written ``|``."""
    return str(name).replace(".", "|").upper()


def name_index(names):
    """{canonical name: name} of ``names``; a canonical name that two of them
    share maps to a marker that :func:`lookup_name` refuses."""
    index = {}
    for name in names:
        key = canonical_name(name)
        if key == name:
            key = name  # a name already canonical keys itself: no second copy of it
        index[key] = name if key not in index else _AMBIGUOUS
    return index


def lookup_name(index, name):
    """The spelling in ``index`` (see :func:`name_index`) of ``name``, or None."""
    found = index.get(canonical_name(name))
    if found is _AMBIGUOUS:
        raise KeyError(f"{name!r} matches several names that differ only in case")
    return found


_DESCRIBE = {
    "node_phase": ("phase", "node"),
    "node_voltage": ("voltage", "node"),
    "current": ("current", "element"),
    "phase": ("phase", "element"),
    "voltage": ("voltage", "element"),
    "turns": ("turns", "element"),
}


class TimeAxis(np.ndarray):
    """The recorded times of SI results in seconds, callable for another unit:
    ``res.time[-1]`` and ``res.time("ps")`` both work."""

    def __array_finalize__(self, obj):
        # a slice or a computed array is a plain series of numbers: no unit call
        self._results = None

    def __call__(self, unit="s"):
        if self._results is None:
            raise TypeError("only results.time itself takes a unit")
        return self._results._in(self._results._time, unit, "s")


class Results:
    """Time series of one simulation, looked up by node and element name.

    Built from whole tables (one column per node or element, as the
    constructor takes them) or, with :meth:`from_tables`, from the tables of a
    :class:`~loxant.simulation.probes.RecordPlan`.
    """

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
        nodes, elements = list(nodes), list(elements)
        series = {
            "node_phase": (node_phases, nodes),
            "node_voltage": (node_voltages, nodes),
            "current": (currents, elements),
            "phase": (phases, elements),
            "voltage": (voltages, elements),
            "turns": (turns, elements),
        }
        self._setup(time, nodes, elements, series, stats)

    #: the units these results speak: None (normalised) or a Units (SI)
    units = None

    @classmethod
    def from_tables(cls, time, values, turns, plan, stats=None):
        """Results over the tables that ``plan`` laid out (the columns are views)."""
        self = cls.__new__(cls)
        self._setup(time, plan.node_names, plan.element_names, plan.views(values, turns), stats)
        return self

    def _setup(self, time, nodes, elements, series, stats):
        self._time = time
        #: names of every node (ground excluded) and element of the circuit
        #: (lists the caller hands over: a run's millions of names, not copied)
        self.nodes = nodes
        self.elements = elements
        self._name_sets = None  # of nodes and elements, made on the first lookup
        self._indexes = {}  # canonical spellings of a kind, built on its first miss
        #: quantity -> (table, name -> column) of the recorded series
        self._series = {
            q: (table, {name: k for k, name in enumerate(names)})
            for q, (table, names) in series.items()
        }
        #: counters of the run: accepted and rejected steps, Newton iterations,
        #: factorisations and refactorisations of the matrix...
        self.stats = dict(stats or {})

    # -- whole tables, one column per recorded name --------------------------

    @property
    def node_phases(self):
        return self._series["node_phase"][0]

    @property
    def node_voltages(self):
        return self._in(self._series["node_voltage"][0], None, "V")

    @property
    def currents(self):
        return self._in(self._series["current"][0], None, "A")

    @property
    def phases(self):
        return self._series["phase"][0]

    @property
    def voltages(self):
        return self._in(self._series["voltage"][0], None, "V")

    @property
    def turns(self):
        return self._series["turns"][0]

    def recorded(self, quantity):
        """Names whose ``quantity`` (``node_phase``, ``node_voltage``, ``current``,
        ``phase``, ``voltage``, ``turns``) was recorded, in circuit order."""
        return list(self._series[quantity][1])

    def __len__(self):
        return len(self._time)

    # -- units -------------------------------------------------------------

    @property
    def time(self):
        """The recorded times: normalised, or for SI results seconds that also
        take a unit, ``time("ps")``."""
        if self.units is None:
            return self._time
        axis = self._in(self._time, "s", "s").view(TimeAxis)
        axis._results = self
        return axis

    @property
    def system(self):
        """``"SI"`` or ``"normalised"``."""
        return "normalised" if self.units is None else "SI"

    def with_units(self, units):
        """These results (the same tables) read in ``units``: a
        :class:`~loxant.units.Units` for SI, None for normalised."""
        new = Results.__new__(Results)
        new.__dict__.update(self.__dict__)
        new.units = units
        return new

    @property
    def normalised(self):
        """These results in normalised units."""
        return self if self.units is None else self.with_units(None)

    def _in(self, values, unit, symbol):
        """Normalised ``values`` of a quantity of ``symbol`` in these results'
        units, or in ``unit`` (SI results only)."""
        if self.units is None:
            if unit is not None:
                raise ValueError(f"normalised results take no unit, got {unit!r}")
            return values
        unit = symbol if unit is None else unit
        if split_unit(unit)[1] != symbol:
            raise ValueError(f"unit {unit!r} is not a {QUANTITIES[symbol]} unit ({symbol})")
        return self.units.from_normalised(values, unit)

    def windowed(self, rows, weights):
        """These results at the recorded ``rows`` only, each value series first
        averaged over the centred window ``weights`` (odd length, summing to 1;
        beyond either end the end value repeats); turn counts are not averaged."""
        rows = np.asarray(rows, dtype=np.intp)
        half = len(weights) // 2
        last = len(self._time) - 1
        series = {}
        for quantity, (table, columns) in self._series.items():
            names = sorted(columns, key=columns.get)
            if quantity == "turns" or table is None or not len(table):
                series[quantity] = (table if table is None else table[rows], names)
                continue
            # output rows only: the window's taps, each a gather of those rows
            out = np.zeros((len(rows),) + table.shape[1:])
            for k, weight in enumerate(weights):
                out += weight * table[np.clip(rows + half - k, 0, last)]
            series[quantity] = (out, names)
        new = Results.__new__(Results)
        new._setup(self._time[rows], self.nodes, self.elements, series, self.stats)
        new.units = self.units
        return new

    def __repr__(self):
        time = self._in(self._time, None, "s")
        span = f"t = {time[0]:g}..{time[-1]:g}" if len(self) else "empty"
        text = (
            f"<Results: {len(self)} samples, {span}, {len(self.nodes)} nodes, "
            f"{len(self.elements)} elements>"
        )
        return text if self.units is None else f"<SI {text[1:-1]}, {self.units!r}>"

    def _known(self, kind):
        if self._name_sets is None:
            self._name_sets = {"node": set(self.nodes), "element": set(self.elements)}
        return self._name_sets["node" if kind == "node" else "element"]

    def resolve(self, name, kind="element"):
        """The circuit's spelling of node or element ``name`` (case-insensitive,
        ``.`` or ``|`` in subcircuit paths), or None when there is none."""
        known = self._known(kind)
        if isinstance(name, str) and name in known:
            return name
        index = self._indexes.get(kind)
        if index is None:
            index = self._indexes[kind] = name_index(
                self.nodes if kind == "node" else self.elements
            )
        return lookup_name(index, name)

    def _lookup(self, quantity, name):
        table, columns = self._series[quantity]
        try:
            return table[:, columns[name]]
        except (KeyError, TypeError):
            pass
        word, kind = _DESCRIBE[quantity]
        spelled = self.resolve(name, kind)
        if spelled is not None and spelled in columns:
            return table[:, columns[spelled]]
        known = self._known(kind)
        name = name if spelled is None else spelled
        if name not in known:
            raise KeyError(f"no {kind} named {name!r}") from None
        raise KeyError(
            f"the {word} of {kind} {name!r} was not recorded: record it with "
            f"simulate(..., record=[{name!r}]) or record=['{word}({name})'] "
            "(record=None keeps every series of a small run)"
        ) from None

    def _node(self, quantity, name):
        name = str(name)
        if name == GROUND or name.lower() == "gnd":
            return np.zeros_like(self._time)
        return self._lookup(quantity, name)

    def node_phase(self, name):
        """Phase of node ``name`` (0 for ground)."""
        return self._node("node_phase", name)

    def node_voltage(self, name, unit=None):
        """Voltage (d phase / dt) of node ``name``."""
        return self._in(self._node("node_voltage", name), unit, "V")

    def current(self, name, unit=None):
        """Current through element ``name`` from its first node to its second."""
        return self._in(self._lookup("current", name), unit, "A")

    def phase(self, name):
        """Phase of element ``name``: first node minus second node."""
        return self._lookup("phase", name)

    def voltage(self, name, unit=None):
        """Voltage of element ``name``: first node minus second node."""
        return self._in(self._lookup("voltage", name), unit, "V")

    def turn_count(self, name):
        """Signed number of whole 2 pi turns of the phase of element ``name``."""
        return self._lookup("turns", name)

    def average_voltage(self, name, t_from=None, t_to=None, unit=None):
        """Time average of the voltage of element ``name`` between the samples
        nearest to ``t_from`` and ``t_to`` (default: the whole record), computed as
        the change of its phase divided by the time between the two samples.
        The times of SI results are physical (strings with units, or seconds)."""
        if self.units is not None:
            window = [
                None if t is None else self.units.to_normalised(t, "s") for t in (t_from, t_to)
            ]
            return self._in(self.normalised.average_voltage(name, *window), unit, "V")
        if unit is not None:
            raise ValueError(f"normalised results take no unit, got {unit!r}")
        phase = self.phase(name)
        for what, t in (("t_from", t_from), ("t_to", t_to)):
            if t is not None and not np.isfinite(t):
                raise ValueError(f"{what} must be a finite time, got {t!r}")
        time = self._time
        k0 = 0 if t_from is None else int(np.argmin(np.abs(time - t_from)))
        k1 = len(self) - 1 if t_to is None else int(np.argmin(np.abs(time - t_to)))
        if k1 <= k0:
            raise ValueError("the averaging window holds fewer than two samples")
        return float((phase[k1] - phase[k0]) / (time[k1] - time[k0]))

    def spell_probe(self, text):
        """``text`` (``P(b1.x1)``, ``V(n1,n2)``...) with its names spelled as in the
        circuit, element names first; names that match nothing are left as given."""
        split = split_probe(text)
        if split is None:
            return text
        letter, names = split[0], [n for n in split[1:] if n is not None]
        spelled = []
        for name in names:
            element = self.resolve(name) if len(names) == 1 else None
            spelled.append(element or self.resolve(name, "node") or name)
        return f"{letter}({','.join(spelled)})"

    def probe(self, text):
        """The :class:`~loxant.simulation.probes.Probe` named by ``text``: ``P(J1)``, ``V(n)``,
        ``I(L1)`` or ``V(a,b)`` (see :func:`~loxant.simulation.probes.parse_probe`)."""
        return parse_probe(self.spell_probe(text), self.nodes, self.elements)

    def _resolved(self, probes):
        probes = self.default_probes() if probes is None else list(probes)
        return [p if hasattr(p, "quantity") else self.probe(p) for p in probes]

    def trace(self, probe):
        """Values of ``probe`` (a :class:`~loxant.simulation.probes.Probe` or its
        text): of normalised results the array, of SI results ``(unit symbol,
        values)`` in rad, V or A, the two forms their callers have always used."""
        probe = probe if hasattr(probe, "quantity") else self.probe(probe)
        values = self._values(probe)
        return values if self.units is None else (probe.symbol, values)

    def _values(self, probe):
        """Values of a :class:`~loxant.simulation.probes.Probe` in these results' units."""
        if probe.element is not None:
            values = self._lookup(probe.quantity, probe.element)
            return values if probe.symbol == "rad" else self._in(values, None, probe.symbol)
        node = self.node_phase if probe.quantity == "phase" else self.node_voltage
        first, second = probe.nodes
        return node(first) - node(second)

    def traces(self, probes=None):
        """``(label, unit symbol, values)`` of each of ``probes`` (default: every
        recorded node and element series, :meth:`default_probes`)."""
        return [(p.label, p.symbol, self._values(p)) for p in self._resolved(probes)]

    def labelled(self, texts):
        """``(text, unit symbol, values)`` of each probe text, as written."""
        return [(text, *trace[1:]) for text, trace in zip(texts, self.traces(texts))]

    def default_probes(self):
        """Phase and voltage of every recorded node, current, phase and voltage of
        every recorded element."""
        probes = []
        for names, quantities in (
            (self.nodes, {"P": "node_phase", "V": "node_voltage"}),
            (self.elements, {"I": "current", "P": "phase", "V": "voltage"}),
        ):
            for name in names:
                for letter, quantity in quantities.items():
                    if name in self._series[quantity][1]:
                        probes.append(f"{letter}({name})")
        return probes

    def to_dataframe(self, probes=None):
        """A pandas DataFrame, one column per probe (default: every recorded node
        and element series): normalised, indexed by ``time`` with columns
        ``"P(J1)"``, ``"V(2)"``...; SI, indexed by ``time [s]`` with columns named
        with their units, ``"P(B1) [rad]"``, ``"I(L1) [A]"``."""
        import pandas as pd

        traces = self.traces(probes)
        if self.units is None:
            columns = {label: values for label, _, values in traces}
            return pd.DataFrame(columns, index=pd.Index(self._time, name="time"))
        columns = {f"{label} [{unit}]": values for label, unit, values in traces}
        return pd.DataFrame(columns, index=pd.Index(self.time("s"), name="time [s]"))

    def to_csv(self, path, probes=None, *, units_in_header=False):
        """Write a CSV file in these results' units, one row per sample, headed as
        the peer writes it: ``time,"P(B1)","V(2)","I(L1)","V(1,2)",...``, one column
        per probe (default: every recorded node and element series,
        :meth:`default_probes`; turn counts stay in :meth:`turn_count`).
        ``units_in_header=True`` (``time [s],"P(B1) [rad]",...``) is deprecated."""
        traces = self.traces(probes)
        time = self._time if self.units is None else self.time("s")
        if not units_in_header:
            write_csv(path, time, traces)
            return
        warnings.warn(
            'units_in_header=True is deprecated: the header is the peer\'s, time,"P(B1)",...',
            DeprecationWarning,
            stacklevel=2,
        )
        header = ["time [s]"] + [
            '"' + f"{label} [{unit}]".replace('"', '""') + '"' for label, unit, _ in traces
        ]
        table = np.column_stack([time] + [v for _, _, v in traces]) + 0.0
        write_table(path, ",".join(header) + "\n", table)


class Recorder:
    """Collects the series of a :class:`~loxant.simulation.probes.RecordPlan` from
    ``lxglobals`` after each step of a simulation (the Python driver)."""

    def __init__(self, plan, capacity=64):
        self.plan = plan
        self.count = 0
        self.tables = plan.allocate(capacity)
        self._sources = []  # (lxglobals array name, column slice, indices, signs or None)
        for code, quantity in enumerate(FLOAT_QUANTITIES):
            start = plan.first_column[quantity]
            stop = start + len(plan.columns[quantity])
            if stop > start:
                name = (
                    "NodePhase",
                    "NodeVoltage",
                    "ElementCurrent",
                    "ElementPhase",
                    "ElementVoltage",
                )[code]
                signs = None if code <= 1 else plan.signs[start:stop]
                self._sources.append((name, slice(start, stop), plan.indices[start:stop], signs))

    def record(self, t):
        """Store the present contents of the ``lxglobals`` result arrays at time ``t``."""
        if self.count == len(self.tables[0]):
            self.tables = grow(self.tables, self.count)
        k = self.count
        time, values, turns = self.tables
        time[k] = t
        row = values[k]
        for name, columns, indices, signs in self._sources:
            taken = getattr(lxglobals, name)[indices]
            if signs is None:
                row[columns] = taken
            else:
                np.multiply(taken, signs, out=row[columns])
        turns[k] = lxglobals.ElementN[self.plan.turn_indices]
        self.count += 1

    def results(self, stats=None):
        k = self.count
        time, values, turns = self.tables
        return Results.from_tables(time[:k], values[:k], turns[:k], self.plan, stats)


def on_print_grid(time, values, turns, print_step, t_stop):
    """The recorded rows at the accepted times ``time`` resampled at the multiples
    of ``print_step`` (and ``t_stop``) they cover: quadratic interpolation
    through the step's end and the two accepted levels before it, the
    polynomial BDF2 integrates with; turn counts of the last level reached."""
    if len(time) < 3:
        return time, values, turns
    first = math.ceil(time[0] / print_step * (1 - 1e-12))
    grid = np.arange(first, math.floor(time[-1] / print_step * (1 + 1e-12)) + 1) * print_step
    if time[-1] >= t_stop * (1 - 1e-12) and (not len(grid) or grid[-1] < t_stop * (1 - 1e-12)):
        grid = np.append(grid, t_stop)
    if not len(grid):
        return time[:0], values[:0], turns[:0]
    grid = np.clip(grid, time[0], time[-1])
    k = np.clip(np.searchsorted(time, grid, side="left"), 2, len(time) - 1)
    t0, t1, t2 = time[k], time[k - 1], time[k - 2]
    w0 = (grid - t1) * (grid - t2) / ((t0 - t1) * (t0 - t2))
    w1 = (grid - t0) * (grid - t2) / ((t1 - t0) * (t1 - t2))
    w2 = (grid - t0) * (grid - t1) / ((t2 - t0) * (t2 - t1))
    printed = w0[:, None] * values[k] + w1[:, None] * values[k - 1] + w2[:, None] * values[k - 2]
    last = np.searchsorted(time, grid * (1 + 1e-12), side="right") - 1
    return grid, printed, np.ascontiguousarray(turns[last])


class PrintedRows:
    """An adaptive run's rows put on the print grid as they come (see
    :func:`on_print_grid`), so that only a block of accepted steps is held at a
    time: each block's grid points are printed, its last two rows kept for the
    points after it, which interpolate through them."""

    #: rows a block keeps for the next one
    KEPT = 2

    def __init__(self, print_step):
        self.print_step = print_step
        self.parts = []
        self.last = -math.inf  # the last time printed

    def take(self, time, values, turns):
        """Prints the grid points up to ``time[-1]``."""
        self._add(on_print_grid(time, values, turns, self.print_step, math.inf))

    def finish(self, time, values, turns, t_end):
        """The printed (time, values, turns), the last block's rows included."""
        if len(time) >= 3 or not self.parts:
            self._add(on_print_grid(time, values, turns, self.print_step, t_end))
        parts = self.parts or [(time[:0], values[:0], turns[:0])]
        return tuple(np.concatenate([part[k] for part in parts]) for k in range(3))

    def _add(self, printed):
        grid = printed[0]
        new = grid > self.last
        if new.any():
            self.parts.append(tuple(np.ascontiguousarray(table[new]) for table in printed))
            self.last = grid[new][-1]
