"""Physical units and their normalised counterparts.

The engines work in normalised units fixed by a reference critical current
Ic0 and a reference resistance R0, with Phi0 / 2 pi = 1::

    current      Ic0                      voltage      Ic0 R0
    time         Phi0 / (2 pi Ic0 R0)     frequency    2 pi Ic0 R0 / Phi0
    inductance   Phi0 / (2 pi Ic0)        capacitance  Phi0 / (2 pi Ic0 R0**2)
    resistance   R0                       flux         Phi0 / (2 pi)  (phase in rad)

A value is a number or a string such as ``"250uA"``, ``"3pH"``, ``"1.2 ohm"``,
``"0.35 pF"`` or ``"2ps"``: a number, then a unit symbol with an optional SI
prefix (f p n u µ m k M G T; the prefix alone, ``"250u"``, is accepted too).
A plain number is taken in the unit asked for, so ``to_si(3, "pH")`` is 3 pH
and ``to_si(3e-12, "H")`` is the same.

:class:`Units` converts single values and arrays both ways; circuits stated in
physical units are an SI :class:`~loxant.circuit.Circuit`.
"""

import math
import numbers
import re

from .errors import CircuitError

__all__ = [
    "BOLTZMANN",
    "PHI0",
    "Units",
    "from_si",
    "shunt_resistance",
    "si_text",
    "split_unit",
    "to_si",
]

#: magnetic flux quantum h / 2e in webers
PHI0 = 2.067833848e-15
#: Boltzmann constant in J/K
BOLTZMANN = 1.380649e-23

PREFIXES = {
    "f": 1e-15,
    "p": 1e-12,
    "n": 1e-9,
    "u": 1e-6,
    "\u00b5": 1e-6,  # micro sign
    "\u03bc": 1e-6,  # Greek mu
    "m": 1e-3,
    "": 1.0,
    "k": 1e3,
    "M": 1e6,
    "G": 1e9,
    "T": 1e12,
}

#: unit symbol -> the quantity it measures
QUANTITIES = {
    "A": "current",
    "V": "voltage",
    "s": "time",
    "Hz": "frequency",
    "H": "inductance",
    "F": "capacitance",
    "ohm": "resistance",
    "Wb": "flux",
    "rad": "phase",
}

_SPELLINGS = {symbol: symbol for symbol in QUANTITIES}
_SPELLINGS.update({"ohms": "ohm", "Ohm": "ohm", "Ohms": "ohm", "\u03a9": "ohm", "\u2126": "ohm"})
_LONGEST_FIRST = sorted(_SPELLINGS, key=len, reverse=True)
_NUMBER_AND_UNIT = re.compile(r"([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)\s*(.*)")


#: units already read (a large circuit names the same few units many times)
_SPLIT = {}


def split_unit(unit):
    """``(factor, symbol)`` of a unit written with an optional prefix: ``"mV"`` gives
    ``(1e-3, "V")``; a bare prefix gives symbol None."""
    if not isinstance(unit, str):
        raise TypeError(f"a unit is a string such as 'pH', got {type(unit).__name__}")
    known = _SPLIT.get(unit)
    if known is not None:
        return known
    text = unit.strip()
    for spelling in _LONGEST_FIRST:
        if text.endswith(spelling) and text[: -len(spelling)] in PREFIXES:
            return _remember(unit, (PREFIXES[text[: -len(spelling)]], _SPELLINGS[spelling]))
    if text in PREFIXES:
        return _remember(unit, (PREFIXES[text], None))
    raise ValueError(
        f"unknown unit {unit!r}: expected one of {', '.join(QUANTITIES)} "
        "with an optional SI prefix (f p n u m k M G T)"
    )


def _remember(unit, split):
    if len(_SPLIT) < 1024:
        _SPLIT[unit] = split
    return split


def _with_article(quantity):
    return ("an " if quantity[0] in "aeiou" else "a ") + quantity


def to_si(value, unit):
    """``value`` in SI units of the quantity that ``unit`` measures.

    A number is taken in ``unit`` (which may carry a prefix: ``to_si(3, "pH")`` is
    3e-12); a string may carry its own unit, which must measure the same quantity.
    """
    factor, symbol = split_unit(unit)
    if symbol is None:
        raise ValueError(f"unit {unit!r} names no quantity")
    quantity = QUANTITIES[symbol]
    a_quantity = _with_article(quantity)
    if isinstance(value, str):
        match = _NUMBER_AND_UNIT.fullmatch(value.strip())
        if match is None:
            raise ValueError(
                f"cannot read {value!r} as {a_quantity}: expected a number and a unit, "
                f"such as '2.5 m{symbol}'"
            )
        number, written = float(match.group(1)), match.group(2)
        if written:
            try:
                factor, written_symbol = split_unit(written)
            except ValueError:
                raise ValueError(
                    f"cannot read {value!r} as {a_quantity}: unknown unit {written!r} "
                    f"(expected {symbol} with an optional SI prefix)"
                ) from None
            if written_symbol not in (None, symbol):
                raise ValueError(
                    f"{value!r} is {_with_article(QUANTITIES[written_symbol])}, expected {a_quantity} "
                    f"in {symbol}"
                )
        value = number
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(
            f"{a_quantity} is a number or a string such as '2.5 m{symbol}', "
            f"got {type(value).__name__}"
        )
    if not math.isfinite(value):
        raise ValueError(f"{a_quantity} must be finite, got {value!r}")
    return float(value) * factor


#: the prefixes a value is written with, largest first (one spelling each)
_WRITTEN_PREFIXES = sorted(
    ((p, f) for p, f in PREFIXES.items() if p not in ("\u00b5", "\u03bc")), key=lambda i: -i[1]
)


def si_text(value, symbol):
    """An SI value as a user writes it, with a prefix: ``si_text(2.01e-10, "s")``
    is ``"201 ps"``; zero, values beyond the prefixes and non-finite values in
    plain form (``"0 s"``, ``"1e-18 s"``)."""
    size = abs(value)
    if math.isfinite(value) and value:
        for prefix, factor in _WRITTEN_PREFIXES:
            if size >= factor * (1 - 5e-7):
                return f"{value / factor:.6g} {prefix}{symbol}"
    return f"{value:.6g} {symbol}"


def from_si(value, unit):
    """An SI value (number or array) expressed in ``unit``: ``from_si(2e-12, "ps")`` is 2."""
    factor, symbol = split_unit(unit)
    if symbol is None:
        raise ValueError(f"unit {unit!r} names no quantity")
    return value / factor


def shunt_resistance(ic, c, beta_c=1.0):
    """Resistance in ohms that gives a junction of critical current ``ic`` and
    capacitance ``c`` the McCumber parameter beta_c = 2 pi ic R**2 c / Phi0."""
    ic, c = to_si(ic, "A"), to_si(c, "F")
    if ic <= 0 or c <= 0 or beta_c <= 0:
        raise ValueError("ic, c and beta_c must be positive")
    return math.sqrt(beta_c * PHI0 / (2 * math.pi * ic * c))


#: every unit lies within 1/UNIT_RANGE and UNIT_RANGE of its SI unit: the
#: engines multiply and divide normalised values (a step squared, say), which
#: must stay far from the ends of the range of floating-point numbers
UNIT_RANGE = 1e100


def _scales(ic0, r0):
    """The size in SI units of each normalised unit of reference current ``ic0``
    and resistance ``r0``; CircuitError for units out of :data:`UNIT_RANGE`."""
    volt, phi = ic0 * r0, PHI0 / (2 * math.pi)
    scale = {"A": ic0, "V": volt, "ohm": r0, "Wb": phi, "rad": 1.0}
    if all(1 / UNIT_RANGE <= x <= UNIT_RANGE for x in (ic0, r0, volt)):
        scale.update(s=phi / volt, Hz=volt / phi, H=phi / ic0, F=phi / (volt * r0))
    if len(scale) < 9 or not all(1 / UNIT_RANGE <= x <= UNIT_RANGE for x in scale.values()):
        raise CircuitError(
            f"ic0 = {ic0:g} A and r0 = {r0:g} ohm give units out of range (the units of "
            f"time, voltage, inductance and capacitance must be within a factor "
            f"{UNIT_RANGE:g} of the SI ones)"
        )
    return scale


class Units:
    """The normalised units set by a reference critical current ``ic0`` and a
    reference resistance ``r0``; converts values to and from them."""

    def __init__(self, ic0, r0):
        self.ic0 = to_si(ic0, "A")
        self.r0 = to_si(r0, "ohm")
        if self.ic0 <= 0 or self.r0 <= 0:
            raise ValueError(f"ic0 and r0 must be positive, got {self.ic0} A and {self.r0} ohm")
        #: size in SI units of one normalised unit, by unit symbol
        self.scale = _scales(self.ic0, self.r0)
        self._known = {}

    def to_normalised(self, value, unit):
        """``value`` (a number in ``unit``, or a string with its own unit) in
        normalised units: ``to_normalised("3pH", "H") == to_normalised(3, "pH")``."""
        # A large circuit states the same few values many times.
        key = (type(value), value, unit) if isinstance(value, (str, int, float)) else None
        known = self._known.get(key) if key is not None else None
        if known is not None:
            return known
        symbol = split_unit(unit)[1]
        result = to_si(value, unit) / self.scale[symbol]
        if not math.isfinite(result):
            raise CircuitError(
                f"{value!r} {unit} is out of range in the circuit's units "
                f"(one unit is {self.scale[symbol]:g} {symbol})"
            )
        if key is not None and len(self._known) < 4096:
            self._known[key] = result
        return result

    def from_normalised(self, value, unit):
        """A normalised value (number or array) expressed in ``unit``, e.g. ``"mV"``."""
        factor, symbol = split_unit(unit)
        if symbol is None:
            raise ValueError(f"unit {unit!r} names no quantity")
        return value * (self.scale[symbol] / factor)

    def __repr__(self):
        return (
            f"Units(ic0={self.ic0 * 1e6:.4g} uA, r0={self.r0:.4g} ohm: "
            f"time {self.scale['s'] * 1e12:.4g} ps, voltage {self.scale['V'] * 1e3:.4g} mV, "
            f"inductance {self.scale['H'] * 1e12:.4g} pH, "
            f"capacitance {self.scale['F'] * 1e12:.4g} pF)"
        )
