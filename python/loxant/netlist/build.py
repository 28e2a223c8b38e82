"""Last stage: the expanded elements into an SI :class:`~loxant.circuit.Circuit`,
the one place where records become circuit elements.

Reference units: the circuit is normalised by the critical current and the
shunt resistance (rn, for either rtype) of its first junction (1 mA and 5 ohm
without junctions).
"""

import inspect

import numpy as np

from ..circuit import Circuit
from ..errors import CircuitError
from ..kinds import BY_LETTER, KINDS
from ..units import Units
from .errors import clip, clip_words
from .plain import PLAIN_ADDERS
from .sources import Scales, waveform

__all__ = ["build_circuit", "reference_units"]

#: the unit of each source kind's value
_SOURCE_UNITS = {
    letter: kind.params[0].unit for letter, kind in BY_LETTER.items() if kind.form == "source"
}


def reference_units(flat):
    for element in flat:
        if BY_LETTER[element.letter].form == "junction" and element.values["ic"] != 0:
            try:
                return Units(abs(element.values["ic"]), element.values["r"])
            except ValueError as exc:  # values no circuit can be normalised by
                raise element.line.error(
                    f"{clip(element.name)}, whose ic and r set the circuit's units: {exc}"
                ) from None
    return Units(1e-3, 5.0)


def build_circuit(units, title, flat, tran, seed=None, plain=None, singly=None):
    """A new SI Circuit of the expanded elements ``flat``, and of the columns
    ``plain`` (see :mod:`.plain`) as blocks.  Where a column holds a value its
    adder refuses, the circuit is built of ``singly()`` (the expansion with
    every element a Flat) instead, so that the first fault in netlist order is
    the one said."""
    pc = Circuit(title, units="SI", ic0=units.ic0, r0=units.r0)
    scale = pc.units.scale
    columns = None if plain is None else _normalised_columns(plain, scale)
    if plain is not None and columns is None:
        if singly is None:
            raise CircuitError("a plain element's value is out of range in the circuit's units")
        flat, plain = singly(), None
    adders = {letter: getattr(pc.circuit, BY_LETTER[letter].adder) for letter in _SOURCE_UNITS}
    scales = {k: Scales(tran, scale["s"], scale[unit]) for k, unit in _SOURCE_UNITS.items()}
    waves = {}  # sources of the same waveform share it (waveforms do not change)
    couplings, controlled, noise_sources = [], [], 0
    alike = {}  # (letter, id of its waveform or model values) -> (them, the first such)
    fast_add = _fast_adder(pc, scale, alike)
    for element in flat:
        letter = element.letter
        try:
            if letter in adders:
                values = element.values
                if values["wave"] == "noise":
                    noisy = Scales(tran, scale["s"], scale[_SOURCE_UNITS[letter]])
                    noisy.seed = _noise_seed(seed, noise_sources)
                    noise_sources += 1
                    wave = waveform(values, noisy)
                else:
                    key = (letter, values["wave"], tuple(values["args"]), id(values.get("points")))
                    wave = waves.get(key)
                    if wave is None:
                        wave = waves[key] = waveform(values, scales[letter])
                _add_source(pc.circuit, adders[letter], element, wave, alike)
            elif letter == "R" and element.values["value"] == 0:
                # a short that joins two nodes, as older decks write it: a
                # branch of no inductance holds them at one phase
                pc.circuit.inductor(element.name, *element.nodes, 0.0, branch=True)
            elif BY_LETTER[letter].form == "coupling":
                couplings.append(element)
            elif BY_LETTER[letter].control:
                controlled.append(element)
            elif letter not in _FAST or not _added(pc, element, fast_add):
                _add(pc, element)
        except (CircuitError, ValueError, TypeError) as exc:
            raise element.line.error(clip(clip_words(str(exc)), 400)) from None
    if plain is not None:
        _add_columns(pc, plain, columns)
    _fill_current_controlled(pc, controlled)
    for element in couplings:
        first, second = element.nodes
        try:
            pc.mutual(element.name, first, second, k=element.values["value"])
        except CircuitError as exc:
            raise element.line.error(clip(clip_words(str(exc)), 400)) from None
    return pc


def _normalised_columns(plain, scale):
    """(adder, column, normalised values) of each kind's column; None when a
    value is out of range once normalised, which its own adder would say."""
    out = []
    for letter, column in plain.columns.items():
        if len(column):
            normalised = column.arrays()[2] / scale[BY_LETTER[letter].params[0].unit]
            if not (np.isfinite(normalised) & (normalised != 0)).all():
                return None
            out.append((PLAIN_ADDERS[letter], column, normalised))
    return out


def _add_columns(pc, plain, columns):
    """Each kind's column as one block of the circuit, its nodes numbered after
    those of the other elements."""
    circuit = pc.circuit
    numbers = np.array([0, *circuit.number_nodes(plain.node_names())], np.int32)
    for adder, column, normalised in columns:
        a, b, _ = column.arrays()
        circuit.add_block(adder, column.names, numbers[a], numbers[b], normalised)


#: the kinds of the fast path: values and junctions
_FAST = {letter for letter, kind in BY_LETTER.items() if kind.form in ("value", "junction")}


def _added(pc, element, fast_add):
    """Whether the fast path added ``element``; where the circuit refuses it, the
    physical circuit's message (in physical units) is the one raised."""
    try:
        return fast_add(element)
    except (CircuitError, ValueError, TypeError):
        if element.name in pc.circuit:
            raise
        _add(pc, element)
        raise


def _noise_seed(seed, index):
    """A seed of its own for each noise source (None: unseeded)."""
    return None if seed is None else (seed, index)


def _add_source(circuit, adder, element, wave, alike):
    """A source of a waveform already declared is a copy of the first one."""
    key = (element.letter, id(wave))
    first = alike.get(key)
    if first is not None and len(element.nodes) == 2:
        circuit.copy_element(element.name, first[1], *element.nodes)
    elif first is None:
        alike[key] = (wave, adder(element.name, *element.nodes, wave))
    else:
        adder(element.name, *element.nodes, wave)


def _fast_adder(pc, scale, alike):
    """A function that adds an element with its values normalised here (a fast path
    for the common elements) and says False when it needs :func:`_add`; the scale
    factors and adders are looked up once per circuit.  A junction whose model
    values it has met (the same object: see the expansion) is a copy of the
    first junction of them, in ``alike``."""
    circuit = pc.circuit
    values_of = {  # letter -> (adder, scale of its value, whether it takes branch=)
        letter: (getattr(circuit, kind.adder), scale[kind.params[0].unit], _takes_branch(kind))
        for letter, kind in BY_LETTER.items()
        if kind.form == "value"
    }
    junction_scales = {
        kind.adder: {p.name: scale[p.unit] for p in kind.params if p.unit is not None}
        for kind in KINDS
        if kind.form == "junction"
    }

    def add(element):
        values, letter = element.values, element.letter
        if "temp" in values:
            return False
        a, b = element.nodes
        by_value = values_of.get(letter)
        if by_value is not None:
            adder, factor, branch = by_value
            value = values["value"]
            if branch:
                adder(element.name, a, b, value / factor, branch=value == 0)
            else:
                adder(element.name, a, b, value / factor)
            return True
        shared = values["junction"]
        first = alike.get(("B", id(shared)))
        if first is not None:
            circuit.copy_element(element.name, first[1], a, b)
            return True
        factors = junction_scales[values["adder"]]
        arguments = {
            key: value / factors[key] if key in factors else value
            for key, value in values["junction"].items()
        }
        junction = getattr(circuit, values["adder"])(element.name, a, b, **arguments)
        alike[("B", id(shared))] = (shared, junction)
        return True

    return add


def _takes_branch(kind):
    """Whether a value kind's adder takes ``branch=`` (an inductor of 0 needs one)."""
    return "branch" in inspect.signature(getattr(Circuit, kind.adder)).parameters


def _add(pc, element):
    """Add ``element`` through the physical circuit, whose messages quote the values
    in physical units."""
    name, values, kind = element.name, element.values, BY_LETTER[element.letter]
    a, b = element.nodes[:2]
    if kind.form == "junction":
        adder = getattr(pc, values["adder"])
        adder(name, a, b, temp=values.get("temp"), **values["junction"])
    elif kind.form == "value":
        extra = {"temp": values.get("temp")} if "TEMP" in kind.options else {}
        if _takes_branch(kind):
            extra["branch"] = values["value"] == 0
        getattr(pc, kind.adder)(name, a, b, values["value"], **extra)
    else:
        _add_kind(pc, kind, element)


def _add_kind(pc, kind, element, *control):
    """Add ``element`` by its kind's adder, its parameters read from its values."""
    params = {p.name: element.values[p.netlist] for p in kind.params}
    getattr(pc, kind.adder)(element.name, *element.nodes, *control, **params)


def _fill_current_controlled(pc, pending):
    """F and H sources, after the elements they name; one may name another (each
    waits for its control, so any order takes time linear in their number)."""
    waiting = {}  # control name -> the sources that wait for it
    ready = []
    for element in pending:
        control = element.values["control"]
        if control in pc.circuit:
            ready.append(element)
        else:
            waiting.setdefault(control, []).append(element)
    while ready:
        element = ready.pop()
        _add_controlled(pc, element)
        ready += waiting.pop(element.name, ())
    if waiting:
        order = {id(e): k for k, e in enumerate(pending)}
        first = min((e for group in waiting.values() for e in group), key=lambda e: order[id(e)])
        raise first.line.error(
            f"{clip(first.name)}: no element named {clip(first.values['control'])} "
            "to take the current of"
        )


def _add_controlled(pc, element):
    try:
        _add_kind(pc, BY_LETTER[element.letter], element, element.values["control"])
    except CircuitError as exc:
        raise element.line.error(clip(clip_words(str(exc)), 400)) from None
