"""Drawing the circuits of a Monte Carlo analysis.

Sample ``i`` draws from a generator seeded by ``(seed, i)`` alone, so a sample
is the same whoever runs it and in whatever order.  A netlist draws its own
random functions (``gauss(...)`` in its values, and the spreads it declares)
from the same generator through ``circuit(params, rng)``; the Gaussian spreads
given in Python are drawn after them (see :mod:`loxant.analysis.montecarlo`).
"""

import numpy as np

from ..kinds import KINDS as ELEMENT_KINDS
from ..kinds import kind_of
from .design import GLOBAL_MULTIPLIERS
from .scaling import _multiplier, _recouple, _scale, is_bias

__all__ = ["KINDS", "draw_sample", "sample_generator"]

#: the spread kinds, by key: the attribute each scales (None: the element's value)
KINDS = {k.spread[0]: k.spread[1] for k in ELEMENT_KINDS if k.spread}


def sample_generator(seed, index):
    """The random generator of sample ``index`` of an analysis seeded by ``seed``."""
    return np.random.Generator(np.random.PCG64(np.random.SeedSequence(seed, spawn_key=(index,))))


def _kind_of(element):
    spread = kind_of(element).spread
    if not spread or (spread[0] == "bias" and not is_bias(element)):
        return None  # a signal, not a bias
    return spread[0]


def _parameter(element, kind):
    attribute = KINDS[kind]
    return element.name if attribute is None else f"{element.name}.{attribute}"


def draw_sample(design, multipliers, values, seed, index, spreads):
    """``(circuit, drawn)``: sample ``index`` of ``design`` and the multipliers of
    the element values it drew (every element whose value differs from nominal)."""
    global_spread, local_spread = spreads
    rng = sample_generator(seed, index)
    multipliers, params_drawn = _drawn_params(design, multipliers, local_spread, seed, index)
    circuit = design.build(multipliers, values, rng=rng if design.is_netlist else None)
    normalised = design.normalised(circuit)
    scope = _spread_scope(design)
    shifts = {
        kind: 1 + global_spread[kind] * rng.standard_normal() for kind in sorted(global_spread)
    }
    factors = {}
    for element in normalised.elements:
        kind = _kind_of(element)
        if kind is None or (scope is not None and element.name not in scope):
            continue
        factor = shifts.get(kind, 1.0)
        sigma = local_spread.get(element.name, local_spread.get(kind))
        if sigma:
            factor *= 1 + sigma * rng.standard_normal()
        if factor != 1.0:
            factors[_parameter(element, kind)] = factor
    for name, factor in factors.items():
        _scale(normalised, name, _multiplier(name, factor))
    _recouple(normalised, factors)
    return circuit, {**params_drawn, **_drawn(design, normalised)}


def _drawn_params(design, multipliers, local_spread, seed, index):
    """The multipliers with the draws of the spreads on ``.param`` names and
    global multipliers, and those draws; from
    a generator of their own, so the other draws stay as without them."""
    names = sorted(
        n
        for n in local_spread
        if (n in design.param_names or n in GLOBAL_MULTIPLIERS) and local_spread[n]
    )
    if not names:
        return multipliers, {}
    rng = np.random.Generator(np.random.PCG64(np.random.SeedSequence(seed, spawn_key=(index, 1))))
    drawn = {name: 1 + local_spread[name] * rng.standard_normal() for name in names}
    combined = dict(multipliers or {})
    for name, factor in drawn.items():
        combined[name] = combined.get(name, 1.0) * _multiplier(name, factor)
    return combined, drawn


def _spread_scope(design):
    """The elements the kinds' spreads draw: None for all, else the cell under
    test's and the bias sources feeding it."""
    if design.dut is None:
        return None
    return frozenset(design.dut_elements()) | frozenset(design.bias_sources())


def _drawn(design, circuit):
    """Multiplier of every element value that differs from the nominal circuit."""
    nominal = design.normalised(design._nominal)
    drawn = {}
    for element in circuit.elements:
        if element.name not in nominal:
            continue
        kind = _kind_of(element)
        if kind is None:
            continue
        name = _parameter(element, kind)
        now, then = design.nominal_of(circuit, name), design.nominal_of(nominal, name)
        if then and now != then:
            drawn[name] = now / then
    return drawn
