"""What an analysis varies: a circuit or netlist, its parameters and how to run it.

A :class:`Design` wraps a :class:`~loxant.circuit.Circuit`, a
:class:`~loxant.circuit.Circuit` in SI, or a netlist (any object with
``circuit(params=None, rng=None)``, ``params`` and ``tran``, such as the one
``loxant.read_netlist`` returns) together with the simulation settings, and
builds fresh circuits with some parameters changed.  It is picklable, so it
travels to worker processes; a Python callable used as a waveform must then be
importable there (defined in a module, not in ``__main__`` or a notebook, unless
the workers can unpickle it by value).

Parameters are named by strings:

* an element name scales the element's value by a multiplier: a resistor's,
  inductor's or capacitor's value, a source's waveform, a mutual inductance's M;
  a junction is scaled as its area is: critical current and capacitance times the
  multiplier, resistances divided by it (so beta_c stays);
* ``"NAME.attr"`` scales one attribute of an element only, e.g. ``"J1.ic"``;
* ``GLOBAL_BIAS`` (``"global bias"``) scales every bias source together: a
  current source whose waveform settles to a constant (DC, or a piecewise-linear
  ramp to a constant).  Pulses, sines and piecewise-linear waveforms that go up
  and down are signals and keep their values;
* ``GLOBAL_INDUCTANCE`` (``"global inductance"``), ``GLOBAL_CRITICAL_CURRENT``
  (``"global critical current"``) and ``GLOBAL_RESISTANCE`` (``"global
  resistance"``) scale every inductor, every junction (as its area: through its
  area ``.param`` when it has one of its own, so the shunts follow) and every
  resistor together; with a cell under test, its own.  The corner names of
  josim-tools read as these: ``Ltotal``, ``Jtotal`` (or ``Btotal``), ``Rtotal``,
  and ``Itotal`` for the global bias;
* a netlist's ``.param`` name sets that parameter (its nominal times the multiplier);
  a parameter of one subcircuit instance is written ``NAME@PATH`` (``B0@XDUT``),
  or ``NAME`` alone when the cell under test defines it and nothing else has that
  name.  Everything the netlist computes from a ``.param`` follows it;
* a junction whose ``area=`` is a ``.param`` of its own instance that sets no
  other junction's area is scaled through that parameter, so what the cell
  computes from the area (its shunt resistor, the shunt's inductance) follows,
  as a change of the process would move them.

Names are case-insensitive, and a device in a subcircuit instance may be written
``B1.X1`` or ``B1|X1``; every analysis reports the circuit's own spelling.
Scaling an inductor keeps the coupling factor of its mutual inductances.
"""

import copy
import fnmatch
import os
import pickle

from ..kinds import kind_of
from ..netlist import read_netlist
from ..simulation.probes import split_probe
from ..simulation.results import canonical_name, lookup_name, name_index
from .scaling import (
    ATTRIBUTES,
    GLOBAL_BIAS,
    _a,
    _element,
    _multiplier,
    _recouple,
    _scale,
    _scales_waveform,
    _waveform_size,
    is_bias,
    split_attribute,
)

__all__ = [
    "GLOBAL_BIAS",
    "GLOBAL_CRITICAL_CURRENT",
    "GLOBAL_INDUCTANCE",
    "GLOBAL_MULTIPLIERS",
    "GLOBAL_RESISTANCE",
    "Design",
    "is_bias",
]

#: names of the parameters that scale every inductor, junction or resistor at once
GLOBAL_INDUCTANCE = "global inductance"
GLOBAL_CRITICAL_CURRENT = "global critical current"
GLOBAL_RESISTANCE = "global resistance"
#: {global multiplier: the spread key of the kind it scales}
GLOBAL_MULTIPLIERS = {GLOBAL_INDUCTANCE: "l", GLOBAL_CRITICAL_CURRENT: "ic", GLOBAL_RESISTANCE: "r"}
#: the unit of each global multiplier's total, by the spread key of its kind
_GLOBAL_UNITS = {"l": "H", "ic": "A", "r": "ohm"}
#: josim-tools' corner names, case-insensitive
_ALIASES = {
    "itotal": GLOBAL_BIAS,
    "ltotal": GLOBAL_INDUCTANCE,
    "jtotal": GLOBAL_CRITICAL_CURRENT,
    "btotal": GLOBAL_CRITICAL_CURRENT,
    "rtotal": GLOBAL_RESISTANCE,
}

#: where each margin scope lets an element in: the default parameters, glob patterns
_IN_DEFAULT = frozenset({"default"})
_IN_PATTERNS = frozenset({"default", "pattern"})


def _is_junction(element):
    return kind_of(element).junction


def _snapshot(circuit):
    """The pickled circuit, from which a copy is made several times faster than by
    deepcopy; None when it does not pickle (a lambda as a waveform)."""
    try:
        return pickle.dumps(circuit, pickle.HIGHEST_PROTOCOL)
    except Exception:  # anything unpicklable: copies are made by deepcopy
        return None


def _is_netlist(source):
    return callable(getattr(source, "circuit", None)) and hasattr(source, "params")


def _tran_settings(tran):
    """(t_stop, dt) from a netlist's analysis settings: an object or a mapping with
    ``tstop``/``t_stop`` and ``tstep``/``dt``."""
    if tran is None:
        return None, None

    def get(*names):
        for name in names:
            if isinstance(tran, dict) and name in tran:
                return tran[name]
            if hasattr(tran, name):
                return getattr(tran, name)
        return None

    return get("t_stop", "tstop", "stop"), get("dt", "tstep", "step")


class Design:
    """A circuit or netlist with the settings of its simulations.

    ``source`` is a Circuit (SI or normalised), a netlist or the path of a netlist
    file.  ``t_stop`` and ``dt`` default to a netlist's ``.tran``; ``options`` are
    further keyword arguments of ``simulate`` (times physical for physical circuits).
    """

    def __init__(self, source, *, t_stop=None, dt=None, options=None):
        if isinstance(source, Design):
            raise TypeError("already a Design")
        if isinstance(source, (str, os.PathLike)):
            source = read_netlist(source)
        self.source = source
        self.is_netlist = _is_netlist(source)
        if (
            not self.is_netlist
            and not hasattr(source, "elements")
            and not hasattr(source, "circuit")
        ):
            raise TypeError(
                "expected a Circuit (SI or normalised), a netlist or a netlist's path, "
                f"got {type(source).__name__}"
            )
        if self.is_netlist:
            tran_stop, tran_dt = _tran_settings(getattr(source, "tran", None))
            t_stop = tran_stop if t_stop is None else t_stop
            dt = tran_dt if dt is None else dt
        if t_stop is None or dt is None:
            raise ValueError("give t_stop and dt (a netlist's .tran supplies them)")
        self.t_stop, self.dt = t_stop, dt
        self.options = dict(options or {})
        settle = getattr(getattr(source, "tran", None), "settle", None)
        if self.is_netlist and settle is not None:
            # the netlist's start-up period (none with DST), as its own runs take it
            self.options.setdefault("settle", settle)
        self.param_names = dict(source.params) if self.is_netlist else {}
        self.param_names.update(getattr(source, "instance_params", {}) if self.is_netlist else {})
        self.area_params = _sole_areas(getattr(source, "area_params", {}) or {})
        self._snapshot = None if self.is_netlist else _snapshot(source)
        self._nominal = self.fresh()
        if self.is_netlist:  # runs that change no .param copy the nominal circuit
            self._snapshot = _snapshot(self._nominal)
        circuit = self.normalised(self._nominal)
        self._params = name_index(self.param_names)
        self._elements = name_index(e.name for e in circuit.elements)
        self._nodes = name_index(circuit.nodes)
        self.dut = None  # the whole circuit; see set_dut
        self._bias_scope = None

    # -- the circuits ------------------------------------------------------

    def fresh(self, param_values=None, rng=None):
        """A new circuit object (a Circuit) with ``.param`` values
        set (netlists) and random functions drawn from ``rng`` (netlists)."""
        if self.is_netlist and (param_values or rng is not None or self._snapshot is None):
            return self.source.circuit(params=param_values or None, rng=rng)
        if param_values:
            raise ValueError(f"no .param named {next(iter(param_values))!r} in a circuit")
        if self._snapshot is not None:
            return pickle.loads(self._snapshot)
        return copy.deepcopy(self.source)

    @staticmethod
    def normalised(circuit):
        """The normalised :class:`~loxant.circuit.Circuit` inside a circuit object."""
        return circuit.circuit if hasattr(circuit, "units") else circuit

    @property
    def units(self):
        return getattr(self._nominal, "units", None)

    @property
    def elements(self):
        """The elements of the nominal circuit."""
        return self.normalised(self._nominal).elements

    def simulate(self, circuit, record=None, stop_rule=None):
        """Run ``circuit``; ``record`` (probes) unless the options name their own;
        ``stop_rule`` ends a failing run early (see :mod:`loxant.simulation.stop_rule`)."""
        options = dict(self.options)
        if record is not None:
            options.setdefault("record", record)
        if stop_rule is not None:
            options.setdefault("stop_rule", stop_rule)
        return circuit.simulate(self.t_stop, self.dt, **options)

    # -- names -------------------------------------------------------------

    def element_name(self, name):
        """The circuit's spelling of element ``name`` (any case, ``.`` or ``|`` in
        subcircuit paths), or None."""
        circuit = self.normalised(self._nominal)
        if isinstance(name, str) and name in circuit:
            return name
        try:
            return lookup_name(self._elements, name)
        except KeyError as exc:
            raise ValueError(exc.args[0]) from None

    def node_name(self, name):
        """The circuit's spelling of node ``name``, "0" for ground, or None."""
        if str(name) in ("0", "gnd", "GND"):
            return "0"
        try:
            return lookup_name(self._nodes, name)
        except KeyError as exc:
            raise ValueError(exc.args[0]) from None

    def junction_name(self, name):
        """The circuit's spelling of junction ``name``; ValueError if there is none."""
        spelled = self.element_name(name)
        if spelled is None or not _is_junction(self.normalised(self._nominal)[spelled]):
            raise ValueError(f"no junction named {name!r}")
        return spelled

    # -- parameters --------------------------------------------------------

    def default_parameters(self):
        """Every current source, then every resistor, inductor, capacitor and
        junction, in declaration order (a netlist's ``.param`` names are not);
        with a cell under test (:attr:`dut`) its own elements and the bias sources
        feeding it only."""
        elements = self.elements
        if self.dut is not None:
            inside = set(self.dut_elements())
            feeding = set(self.bias_sources())
            elements = [e for e in elements if e.name in inside or e.name in feeding]
        chosen = [e for e in elements if kind_of(e).margin in _IN_DEFAULT]
        sources = [e.name for e in chosen if _scales_waveform(e)]
        return sources + [e.name for e in chosen if not _scales_waveform(e)]

    # -- the cell under test -----------------------------------------------

    def instances(self):
        """The top-level subcircuit instances, as the circuit spells them, in the
        order of their first element."""
        paths = (_instance_path(e.name) for e in self.elements)
        return list(dict.fromkeys(path[-1] for path in paths if path))

    def instance_name(self, name):
        """The circuit's spelling of the instance path ``name`` (``XDUT``,
        ``XD.XDUT`` or ``XD|XDUT``: innermost first); ValueError if no element
        lies in it."""
        if not isinstance(name, str) or not name.strip():
            raise ValueError(f"dut: an instance is named by a non-empty string, got {name!r}")
        wanted = canonical_name(name.strip()).split("|")
        for element in self.elements:
            path = _instance_path(element.name)
            if _lies_in(path, wanted):
                return "|".join(path[-len(wanted) :])
        known = ", ".join(self.instances()[:8]) or "none"
        raise ValueError(f"dut: no subcircuit instance named {name!r} (instances: {known})")

    def default_dut(self):
        """The one top-level instance named like ``XDUT`` (``XDUT``, ``XDUT1``...),
        or None when there is none or several."""
        found = [n for n in self.instances() if canonical_name(n).startswith("XDUT")]
        return found[0] if len(found) == 1 else None

    def dut_elements(self):
        """Names of the elements inside the cell under test, in declaration order."""
        if self.dut is None:
            return [e.name for e in self.elements]
        wanted = canonical_name(self.dut).split("|")
        return [e.name for e in self.elements if _lies_in(_instance_path(e.name), wanted)]

    def bias_sources(self):
        """Names of the bias sources the global bias scales: all of them, or with
        a cell under test those inside it and those at top level that feed one of
        its nodes (a bias inside another cell belongs to that cell)."""
        biases = [e for e in self.elements if is_bias(e)]
        if self.dut is None:
            return [e.name for e in biases]
        inside = set(self.dut_elements())
        nodes = {
            str(node) for e in self.elements if e.name in inside for node in getattr(e, "nodes", ())
        } - {"0"}
        return [
            e.name
            for e in biases
            if e.name in inside
            or (not _instance_path(e.name) and nodes & {str(n) for n in e.nodes})
        ]

    def set_dut(self, dut):
        """Make ``dut`` (an instance path, or None for the whole circuit) the cell
        under test: it scopes :meth:`default_parameters` and the global bias."""
        self.dut = None if dut is None else self.instance_name(dut)
        self._bias_scope = None if dut is None else frozenset(self.bias_sources())

    # -- glob patterns -----------------------------------------------------

    def expand(self, pattern):
        """The parameters a glob pattern (``*|XDUT``, ``B*.XDUT``, ``IB*``) names:
        the scalable elements and the ``.param`` names it matches, case-insensitive,
        ``.`` and ``|`` alike, in declaration order; ``*`` spans instance levels too
        (``B*.XDUT`` takes ``B1|X2|XDUT``).  ValueError when none does."""
        wanted = canonical_name(pattern.strip())
        names = [e.name for e in self.elements if kind_of(e).margin in _IN_PATTERNS]
        names += list(self.param_names)
        found = [n for n in names if fnmatch.fnmatchcase(canonical_name(n), wanted)]
        if not found:
            raise ValueError(f"no element or .param matches the pattern {pattern!r}")
        return found

    def resolve(self, name):
        """The canonical name of parameter ``name``: the global bias, a ``.param``
        name, an element or ``element.attribute`` as the circuit spells them.
        Raises ValueError unless ``name`` is a parameter of this design."""
        if not isinstance(name, str) or not name.strip():
            raise ValueError(f"parameters are named by non-empty strings, got {name!r}")
        name = name.strip()
        name = _ALIASES.get(name.casefold(), name)
        if name.casefold() in GLOBAL_MULTIPLIERS:
            name = name.casefold()
            if not self.globally_scaled(name):
                raise ValueError(f"the {name} has no element to scale")
            return name
        if name.casefold() == GLOBAL_BIAS:
            if not self.bias_sources():
                scope = "" if self.dut is None else f" feeding the cell under test {self.dut}"
                raise ValueError(
                    f"the global bias needs a bias source{scope} (a current source that "
                    "settles to a constant)"
                )
            return GLOBAL_BIAS
        try:
            param = lookup_name(self._params, name)
        except KeyError as exc:
            raise ValueError(exc.args[0]) from None
        if param is not None and "." not in name:
            return param
        element = self.element_name(name)
        if element is None:
            inner = self._instance_param(name)
            if inner is not None:
                return inner
        attribute = None
        if element is None:
            prefix, dot, attribute = name.rpartition(".")
            element = self.element_name(prefix) if dot else None
            if element is None:
                known = "element" + (" or .param" if self.is_netlist else "")
                raise ValueError(f"no {known} named {name!r}")
            attribute = attribute.lower()
        self._check_scalable(name, self.normalised(self._nominal)[element], attribute)
        return element if attribute is None else f"{element}.{attribute}"

    def _instance_param(self, name):
        """The ``NAME@PATH`` spelling of an instance's parameter written
        ``NAME@PATH``, ``NAME.PATH`` or, with a cell under test, ``NAME``; or None."""
        if "@" in name:
            candidates = [name]
        elif "." in name or "|" in name:
            head, _, path = canonical_name(name).partition("|")
            candidates = [f"{head}@{path}"]
        else:
            candidates = [] if self.dut is None else [f"{name}@{self.dut}"]
        for candidate in candidates:
            try:
                found = lookup_name(self._params, candidate)
            except KeyError as exc:
                raise ValueError(exc.args[0]) from None
            if found is not None:
                return found
        return None

    def globally_scaled(self, name):
        """The elements global multiplier ``name`` scales: every one of its kind,
        or with a cell under test, every one inside it."""
        key = GLOBAL_MULTIPLIERS[name]
        inside = None if self.dut is None else set(self.dut_elements())
        return [
            e.name
            for e in self.elements
            if (kind_of(e).spread or (None,))[0] == key and (inside is None or e.name in inside)
        ]

    def _spread_globals(self, multipliers):
        """``multipliers`` with each global multiplier replaced by its elements'."""
        out = {}
        for name, factor in multipliers.items():
            if name not in GLOBAL_MULTIPLIERS:
                out[name] = factor if name not in out else out[name] * _multiplier(name, factor)
                continue
            factor = _multiplier(name, factor)
            for element in self.globally_scaled(name):
                out[element] = out.get(element, 1.0) * factor
        return out

    def area_param(self, name):
        """The instance parameter through which junction ``name`` (canonical) is
        scaled, or None when it is scaled alone."""
        return self.area_params.get(name)

    def check(self, name):
        """Raise ValueError unless ``name`` is a parameter of this design."""
        self.resolve(name)

    def _check_scalable(self, name, element, attribute):
        if attribute is not None and attribute not in ATTRIBUTES:
            raise ValueError(f"{name}: cannot scale attribute {attribute!r}")
        if attribute is not None and not isinstance(getattr(element, attribute, None), float):
            raise ValueError(
                f"{name}: {_a(element.kind)} {element.name} has no value {attribute!r}"
            )
        if attribute is None and not self._scalable(element):
            raise ValueError(f"{name}: {_a(element.kind)} {element.name} has no value to scale")

    _split = staticmethod(split_attribute)

    @staticmethod
    def _scalable(element):
        return bool(kind_of(element).scaling)

    def nominal(self, name):
        """Nominal value of a parameter: SI for physical circuits (a source's
        largest value, a pulse's amplitude, the total of the bias sources for the
        global bias), normalised otherwise."""
        if name in self.param_names:
            return float(self.param_names[name])
        if name in GLOBAL_MULTIPLIERS:
            return float(sum(self.nominal(e) for e in self.globally_scaled(name)))
        value = self.nominal_of(self.normalised(self._nominal), name)
        units = self.units
        return value if units is None else value * units.scale[self._symbol(name)]

    def nominal_of(self, circuit, name):
        """The normalised value of element parameter ``name`` in ``circuit``."""
        if name == GLOBAL_BIAS:
            scope = self._bias_scope
            return float(
                sum(
                    _waveform_size(e.waveform)
                    for e in circuit.elements
                    if is_bias(e) and (scope is None or e.name in scope)
                )
            )
        element_name, attribute = self._split(name)
        element = _element(circuit, element_name)
        if attribute is None and _scales_waveform(element):
            return float(_waveform_size(element.waveform))
        return float(getattr(element, attribute or self._main_attribute(element)))

    def _symbol(self, name):
        """The unit of parameter ``name``; None for a ``.param`` (whatever its
        uses make of it)."""
        if name == GLOBAL_BIAS:
            return "A"
        if name in self.param_names:
            return None
        if name in GLOBAL_MULTIPLIERS:
            return _GLOBAL_UNITS[GLOBAL_MULTIPLIERS[name]]
        element_name, attribute = self._split(name)
        element = _element(self.normalised(self._nominal), element_name)
        kind = kind_of(element)
        if attribute is None and _scales_waveform(element):
            return kind.params[0].unit
        return kind.unit_of(attribute or self._main_attribute(element))

    @staticmethod
    def _main_attribute(element):
        attribute = kind_of(element).main_attribute
        if attribute is None:
            raise ValueError(f"{_a(element.kind)} {element.name} has no value to scale")
        return attribute

    # -- what the default criterion watches --------------------------------

    def watched_junctions(self, watch=None):
        """The junctions whose switching the default criterion watches: those the
        probes ``watch`` (``P(B1)``, ``V(n)``... as in ``.print``) name, or that
        touch the nodes they name; without ``watch`` those of a netlist's output
        requests; all junctions when neither names any."""
        circuit = self.normalised(self._nominal)
        junctions = [e for e in circuit.elements if _is_junction(e)]
        probes = list(watch) if watch is not None else list(getattr(self.source, "probes", []))
        chosen = []
        for text in probes:
            for name in self._probe_junctions(text, junctions, strict=watch is not None):
                if name not in chosen:
                    chosen.append(name)
        if watch is not None and not chosen:
            raise ValueError(f"the watched outputs {probes} touch no junction")
        return chosen or [e.name for e in junctions]

    def _probe_junctions(self, text, junctions, strict):
        split = split_probe(text)
        if split is None:
            if strict:
                raise ValueError(
                    f"cannot read output {text!r}: expected P(x), V(x), I(x) or V(a,b)"
                )
            return []
        names = [n for n in split[1:] if n is not None]
        element = self.element_name(names[0]) if len(names) == 1 else None
        if element is not None:
            is_junction = _is_junction(self.normalised(self._nominal)[element])
            return [element] if is_junction else []
        nodes = {self.node_name(n) for n in names}
        if None in nodes:
            if strict:
                raise ValueError(f"output {text!r}: no node or element named {names}")
            return []
        nodes.discard("0")
        return [e.name for e in junctions if nodes & set(map(str, e.nodes))]

    # -- building ----------------------------------------------------------

    def build(self, multipliers=None, values=None, rng=None):
        """A fresh circuit object with parameters scaled by ``multipliers``
        ({name: multiplier}) and ``.param`` names set to ``values`` ({name: value});
        names are canonical (see :meth:`resolve`)."""
        multipliers = self._spread_globals(dict(multipliers or {}))
        param_values = dict(values or {})
        for name in list(multipliers):
            param = self.area_params.get(name, name)
            if param in self.param_names:
                factor = param_values.get(param, self.param_names[param]) / self.param_names[param]
                param_values[param] = self.param_names[param] * factor * multipliers.pop(name)
        circuit_object = self.fresh(param_values, rng)
        circuit = self.normalised(circuit_object)
        for name, factor in multipliers.items():
            _scale(circuit, name, _multiplier(name, factor), self._bias_scope)
        _recouple(circuit, multipliers)
        return circuit_object


def _sole_areas(area_params):
    """{junction: its area parameter} for the parameters that set one junction's
    area only (a parameter shared by several junctions scales none of them)."""
    counts = {}
    for param in area_params.values():
        counts[param] = counts.get(param, 0) + 1
    return {j: p for j, p in area_params.items() if counts[p] == 1}


def _instance_path(name):
    """The instances an element lies in, innermost first (``B1|X4|XDUT`` ->
    ``["X4", "XDUT"]``); empty at top level."""
    return str(name).split("|")[1:]


def _lies_in(path, wanted):
    """Whether an element of instance path ``path`` lies in the instance whose
    canonical path is ``wanted`` (both innermost first)."""
    return len(path) >= len(wanted) and [canonical_name(p) for p in path[-len(wanted) :]] == wanted


def is_pattern(name):
    """Whether a parameter name is a glob pattern."""
    return isinstance(name, str) and any(c in name for c in "*?[")
