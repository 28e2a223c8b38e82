"""Scaling the elements of a circuit in place: by a multiplier of an element's
value (as its kind's table entry says), of one attribute, or of every bias
source; waveforms scaled as waveforms the native engine evaluates itself."""

import math
import numbers

from .. import elements as el
from ..errors import CircuitError
from ..kinds import KINDS, kind_of, waveform_kind
from ..waveforms import PWL, Constant, Rescaled

#: the attributes a multiplier may scale alone (``"J1.ic"``), from every kind's scaling
ATTRIBUTES = frozenset(a for k in KINDS for a, _ in k.scaling if a != "waveform")
#: name of the parameter that scales every bias source at once
GLOBAL_BIAS = "global bias"


def split_attribute(name):
    """(element, attribute) of ``"J1.ic"``; (name, None) when ``name`` names no
    scalable attribute."""
    element_name, dot, attribute = name.rpartition(".")
    if dot and attribute in ATTRIBUTES:
        return element_name, attribute
    return name, None


def _scales_waveform(element):
    return kind_of(element).main_attribute == "waveform"


def _scaled_waveform(waveform, factor):
    """``factor`` times ``waveform``, as a waveform the native engine evaluates
    itself wherever it evaluates ``waveform``."""
    # Constant waveforms stay constant: the driver keeps their matrix values.
    if isinstance(waveform, Constant):
        return Constant(factor * waveform.value)
    if factor == 0:
        return Constant(0.0)
    if type(waveform) is Rescaled:
        return Rescaled(waveform.waveform, waveform.time_scale, waveform.value_scale / factor)
    return Rescaled(waveform, 1.0, 1.0 / factor)


def _waveform_size(waveform):
    """The largest magnitude a waveform reaches (a pulse's amplitude, a sine's
    offset plus amplitude), where it can be read off; else NaN."""
    if isinstance(waveform, Rescaled):
        return _waveform_size(waveform.waveform) / abs(waveform.value_scale)
    kind = waveform_kind(waveform, exact=False)
    if kind is None or kind.size is None:
        return math.nan
    return kind.size(waveform)


def _settles(waveform):
    """Whether ``waveform`` settles to a nonzero constant: a constant, or a
    piecewise-linear ramp (values that only rise or only fall) to its last value."""
    if isinstance(waveform, Rescaled):
        return _settles(waveform.waveform)
    if isinstance(waveform, Constant):
        return waveform.value != 0
    if isinstance(waveform, PWL):
        steps = [b - a for a, b in zip(waveform.values, waveform.values[1:])]
        rising, falling = all(d >= 0 for d in steps), all(d <= 0 for d in steps)
        return (rising or falling) and waveform.values[-1] != 0
    return False


def is_bias(element):
    """Whether ``element`` is a bias source: a current source whose waveform
    settles to a constant (the global bias scales these, not the signals)."""
    return isinstance(element, el.CurrentSource) and _settles(element.waveform)


def _a(noun):
    """``noun`` with its indefinite article."""
    return ("an " if noun[:1] in "aeiou" else "a ") + noun


def _multiplier(name, factor):
    if isinstance(factor, bool) or not isinstance(factor, numbers.Real):
        raise CircuitError(f"multiplier of {name} must be a number, got {factor!r}")
    if not (math.isfinite(factor) and factor > 0):
        raise CircuitError(f"multiplier of {name} must be positive and finite, got {factor!r}")
    return float(factor)


def _scale(circuit, name, factor, bias_scope=None):
    """Scale parameter ``name`` of ``circuit`` (a fresh copy) in place; the global
    bias scales the bias sources named in ``bias_scope`` (None: all)."""
    if name == GLOBAL_BIAS:
        for element in circuit.elements:
            if is_bias(element) and (bias_scope is None or element.name in bias_scope):
                element.waveform = _scaled_waveform(element.waveform, factor)
        return
    element_name, attribute = split_attribute(name)
    element = _element(circuit, element_name)
    if attribute is not None:
        setattr(element, attribute, getattr(element, attribute) * factor)
        return
    scaling = kind_of(element).scaling
    if not scaling:
        raise ValueError(f"{name}: {_a(element.kind)} {element.name} has no value to scale")
    for attr, power in scaling:
        if attr == "waveform":
            element.waveform = _scaled_waveform(element.waveform, factor)
        else:
            setattr(element, attr, getattr(element, attr) * factor**power)


def _element(circuit, name):
    """Element ``name`` of ``circuit``; ValueError naming it if there is none."""
    try:
        return circuit[name]
    except KeyError:
        raise ValueError(f"no element or .param named {name!r}") from None


def _recouple(circuit, multipliers):
    """Keep the coupling factor of mutual inductances whose inductors were scaled,
    and refuse a scaled mutual inductance that couples more than fully."""
    for element in circuit.elements:
        if not isinstance(element, el.MutualInductance):
            continue
        scaled_own = any(split_attribute(n)[0] == element.name for n in multipliers)
        element.couple(keep="m" if scaled_own else "k")
