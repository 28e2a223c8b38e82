"""Physical units: circuits stated in amperes, ohms, henries, farads and seconds.

The driver works in normalised units fixed by a reference critical current
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

:class:`Units` converts single values and arrays both ways;
:class:`PhysicalCircuit` mirrors :class:`~loxant.circuit.Circuit` with
physical parameters and returns :class:`PhysicalResults`::

    pc = PhysicalCircuit(ic0="250uA", r0="2ohm")
    pc.junction("J1", "a", "0", ic="250uA", beta_c=1.0, c="0.35pF")
    pc.current_source("I1", "0", "a", "300uA")
    res = pc.simulate(t_stop="100ps", dt="0.05ps")
    res.time("ps"), res.voltage("J1", "mV")
"""

import functools
import math
import numbers
import re
from typing import NamedTuple

import numpy as np

from .circuit import Circuit
from .elements import Inductor, number
from .errors import CircuitError
from .waveforms import PWL, Rescaled

__all__ = [
    "PHI0",
    "PhysicalCircuit",
    "PhysicalResults",
    "Probe",
    "Units",
    "from_si",
    "parse_probe",
    "shunt_resistance",
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


_PROBE = re.compile(r"\s*([VPIvpi])\(\s*([^,()\s]+)\s*(?:,\s*([^,()\s]+)\s*)?\)\s*")
_PROBE_KINDS = {"V": ("voltage", "V"), "P": ("phase", "rad"), "I": ("current", "A")}


def parse_probe(text, nodes, elements):
    """The :class:`Probe` named by ``text`` in a circuit of these ``nodes`` and
    ``elements`` (names).  ``V(x)`` and ``P(x)`` are the voltage and phase of the
    element ``x`` if there is one, else of the node ``x``; ``I(x)`` is the current
    through element ``x``.  Raises ValueError for anything else."""
    match = _PROBE.fullmatch(text) if isinstance(text, str) else None
    if match is None:
        raise ValueError(f"cannot read probe {text!r}: expected V(x), P(x), I(x) or V(a,b)")
    letter, first, second = match.group(1).upper(), match.group(2), match.group(3)
    quantity, symbol = _PROBE_KINDS[letter]
    if second is None and first in elements:
        return Probe(f"{letter}({first})", quantity, first, (), symbol)
    if letter == "I":
        raise ValueError(f"probe {text!r}: no element named {first!r}")
    pair = []
    for name in (first, "0" if second is None else second):
        canonical = "0" if name == "0" or name.lower() == "gnd" else name
        if canonical != "0" and canonical not in nodes:
            raise ValueError(f"probe {text!r}: no node or element named {name!r}")
        pair.append(canonical)
    label = f"{letter}({first})" if second is None else f"{letter}({first},{second})"
    return Probe(label, quantity, None, tuple(pair), symbol)


class Units:
    """The normalised units set by a reference critical current ``ic0`` and a
    reference resistance ``r0``; converts values to and from them."""

    def __init__(self, ic0, r0):
        self.ic0 = to_si(ic0, "A")
        self.r0 = to_si(r0, "ohm")
        if self.ic0 <= 0 or self.r0 <= 0:
            raise ValueError(f"ic0 and r0 must be positive, got {self.ic0} A and {self.r0} ohm")
        phi = PHI0 / (2 * math.pi)
        #: size in SI units of one normalised unit, by unit symbol
        self.scale = {
            "A": self.ic0,
            "V": self.ic0 * self.r0,
            "s": phi / (self.ic0 * self.r0),
            "Hz": self.ic0 * self.r0 / phi,
            "H": phi / self.ic0,
            "F": phi / (self.ic0 * self.r0**2),
            "ohm": self.r0,
            "Wb": phi,
            "rad": 1.0,
        }
        self._known = {}

    def to_normalised(self, value, unit):
        """``value`` (a number in ``unit``, or a string with its own unit) in
        normalised units: ``to_normalised("3pH", "H") == to_normalised(3, "pH")``."""
        # A large circuit states the same few values many times.
        key = (type(value), value, unit) if isinstance(value, (str, int, float)) else None
        known = self._known.get(key) if key is not None else None
        if known is not None:
            return known
        result = to_si(value, unit) / self.scale[split_unit(unit)[1]]
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


#: a bare number of seconds for a time of more than this many time units of
#: the circuit is taken for a slip (100 meaning 100 ps, say) and refused
PLAUSIBLE_TIME_UNITS = 1e7


def _as_typed(value, symbol):
    """A value as the user wrote it: a string quoted, a number with its SI unit."""
    return repr(value) if isinstance(value, str) else f"{value!r} {symbol}"


def _quoting_input(method):
    """Errors of the normalised circuit quote the values as the user wrote them,
    not their normalised numbers."""

    @functools.wraps(method)
    def wrapper(self, *args, **kwargs):
        self._typed = {}
        try:
            return method(self, *args, **kwargs)
        except CircuitError as exc:
            message = str(exc)
            for normalised, text in self._typed.items():
                for shown in {str(normalised), f"{normalised:g}"}:
                    message = re.sub(rf"(?<![\w.+-]){re.escape(shown)}(?![\w.])", text, message)
            if message == str(exc):
                raise
            raise CircuitError(message) from None

    return wrapper


class PhysicalCircuit:
    """A :class:`~loxant.circuit.Circuit` whose parameters are physical values.

    Every adder takes the arguments of its namesake in ``Circuit``, with values
    as numbers in SI units or strings with units.  A source value is a constant,
    a list of ``(time, value)`` pairs (piecewise linear, e.g.
    ``[("0ps", 0), ("20ps", "175uA")]``), or a waveform or callable of the time
    in seconds returning SI values.  ``circuit`` is the normalised circuit.
    """

    def __init__(self, ic0, r0, title=""):
        self.units = Units(ic0, r0)
        self.circuit = Circuit(title)
        #: normalised value -> the value as written, for the error of one call
        self._typed = {}

    @property
    def temperature(self):
        """Temperature in kelvin of the thermal noise of every resistor and junction
        without a ``temp`` of its own (0: no noise)."""
        return self.circuit.temperature / self._per_kelvin()

    @temperature.setter
    def temperature(self, kelvin):
        self.circuit.temperature = self._temperature(kelvin, "temperature")

    @property
    def noise_bandwidth(self):
        """Noise bandwidth in hertz (0: fresh noise every time step)."""
        return self.circuit.noise_bandwidth * self.units.scale["Hz"]

    @noise_bandwidth.setter
    def noise_bandwidth(self, hertz):
        self.circuit.noise_bandwidth = self._value(hertz, "Hz", "noise bandwidth")

    def _per_kelvin(self):
        # kT over the reference Josephson energy Ic0 Phi0 / 2 pi
        return BOLTZMANN * 2 * math.pi / (PHI0 * self.units.ic0)

    def _temperature(self, kelvin, what):
        if kelvin is None:
            return None
        if isinstance(kelvin, bool) or not isinstance(kelvin, numbers.Real):
            raise CircuitError(f"{what} is a number in kelvin, got {kelvin!r}")
        if not (math.isfinite(kelvin) and kelvin >= 0):
            raise CircuitError(f"{what} must be finite and not negative, got {kelvin!r}")
        return float(kelvin) * self._per_kelvin()

    @property
    def nodes(self):
        return self.circuit.nodes

    def __getitem__(self, name):
        return self.circuit[name]

    def __repr__(self):
        return f"{self.units!r}\n{self.circuit!r}"

    def _value(self, value, unit, what):
        try:
            normalised = self.units.to_normalised(value, unit)
        except (TypeError, ValueError) as exc:
            raise CircuitError(f"{what}: {exc}") from None
        self._typed[normalised] = _as_typed(value, split_unit(unit)[1])
        return normalised

    def _waveform(self, value, unit, name):
        if isinstance(value, (str, numbers.Real)):
            return self._value(value, unit, f"value of {name}")
        if isinstance(value, (list, tuple)):
            points = []
            for point in value:
                try:
                    t, v = point
                except (TypeError, ValueError):
                    raise CircuitError(
                        f"{name}: PWL points are (time, value) pairs, got {point!r}"
                    ) from None
                t = self._value(t, "s", f"PWL time of {name}")
                points.append((t, self._value(v, unit, f"PWL value of {name}")))
            try:
                return PWL(points)
            except ValueError as exc:
                raise CircuitError(f"{name}: {exc}") from None
        try:
            return Rescaled(value, self.units.scale["s"], self.units.scale[unit])
        except TypeError as exc:
            raise CircuitError(f"value of {name}: {exc}") from None

    @_quoting_input
    def resistor(self, name, a, b, r, *, temp=None):
        """Resistor; ``temp`` in kelvin gives it thermal noise of its own temperature."""
        r = self._value(r, "ohm", f"resistance of {name}")
        temp = self._temperature(temp, f"temperature of {name}")
        return self.circuit.resistor(name, a, b, r, temp=temp)

    @_quoting_input
    def inductor(self, name, a, b, l, *, branch=False):
        l = self._value(l, "H", f"inductance of {name}")
        return self.circuit.inductor(name, a, b, l, branch=branch)

    @_quoting_input
    def capacitor(self, name, a, b, c):
        return self.circuit.capacitor(name, a, b, self._value(c, "F", f"capacitance of {name}"))

    @_quoting_input
    def mutual(self, name, first, second, *, m=None, k=None):
        """Mutual inductance ``m`` (in henries) or coupling factor ``k``."""
        if m is not None:
            typed = m
            m = self._value(m, "H", f"mutual inductance of {name}")
            self._check_coupling(name, (first, second), m, typed)
        return self.circuit.mutual(name, first, second, m=m, k=k)

    def _check_coupling(self, name, refs, m, typed):
        """|M| <= sqrt(L1 L2), said in henries."""
        inductors = [self.circuit[ref] for ref in refs if ref in self.circuit]
        if len(inductors) != 2 or not all(isinstance(e, Inductor) for e in inductors):
            return  # the circuit names what is missing
        limit = math.sqrt(inductors[0].l * inductors[1].l)
        if limit > 0 and abs(m) > limit:
            raise CircuitError(
                f"{name}: |M| = {_as_typed(typed, 'H')} exceeds sqrt(L1*L2) = "
                f"{limit * self.units.scale['H'] * 1e12:.4g} pH (|k| > 1)"
            )

    @_quoting_input
    def current_source(self, name, a, b, value):
        return self.circuit.current_source(name, a, b, self._waveform(value, "A", name))

    @_quoting_input
    def phase_source(self, name, a, b, value):
        """Phase source; its value is in radians."""
        return self.circuit.phase_source(name, a, b, self._waveform(value, "rad", name))

    @_quoting_input
    def voltage_source(self, name, a, b, value):
        return self.circuit.voltage_source(name, a, b, self._waveform(value, "V", name))

    @_quoting_input
    def junction(self, name, a, b, *, ic, r=None, c=None, beta_c=None, temp=None, **law):
        """Josephson junction of critical current ``ic``, given two of its shunt
        resistance ``r``, capacitance ``c`` and McCumber parameter ``beta_c``; ``temp``
        in kelvin as for :meth:`resistor`; ``phi`` (rad), ``cpr``, ``transparency``
        and ``thermal`` (dimensionless) as for :meth:`Circuit.junction`."""
        params = self._junction(name, ic, r, c, beta_c)
        temp = self._temperature(temp, f"temperature of {name}")
        return self.circuit.junction(name, a, b, temp=temp, **params, **law)

    @_quoting_input
    def junction_gap(
        self,
        name,
        a,
        b,
        *,
        ic,
        c,
        vg="2.8mV",
        delv="0.1mV",
        icfct=math.pi / 4,
        r0="30ohm",
        rn="5ohm",
        temp=None,
        **law,
    ):
        """Junction with a piecewise-linear quasiparticle branch (defaults: the
        dialect's gap voltage 2.8 mV, width 0.1 mV, icfct pi/4, R0 30 ohm, Rn 5 ohm);
        ``temp`` in kelvin as for :meth:`resistor`; the supercurrent ``law`` as for
        :meth:`junction`."""
        v = {
            "ic": self._value(ic, "A", f"critical current of {name}"),
            "c": self._value(c, "F", f"capacitance of {name}"),
            "vg": self._value(vg, "V", f"gap voltage of {name}"),
            "delv": self._value(delv, "V", f"gap width of {name}"),
            "r0": self._value(r0, "ohm", f"subgap resistance of {name}"),
            "rn": self._value(rn, "ohm", f"normal resistance of {name}"),
        }
        v["temp"] = self._temperature(temp, f"temperature of {name}")
        return self.circuit.junction_gap(name, a, b, icfct=icfct, **v, **law)

    @_quoting_input
    def junction_rsjn(self, name, a, b, *, ic, r=None, c=None, beta_c=None, v0, p=10, temp=None):
        """Junction whose shunt conducts above the knee voltage ``v0`` (in volts)."""
        v0 = self._value(v0, "V", f"knee voltage of {name}")
        params = self._junction(name, ic, r, c, beta_c)
        params["temp"] = self._temperature(temp, f"temperature of {name}")
        return self.circuit.junction_rsjn(name, a, b, v0=v0, p=p, **params)

    @_quoting_input
    def junction_rsjph(self, name, a, b, *, ic, r=None, c=None, beta_c=None, theta, temp=None):
        """Junction with the phase shift ``theta`` (radians)."""
        params = self._junction(name, ic, r, c, beta_c)
        params["temp"] = self._temperature(temp, f"temperature of {name}")
        theta = self._value(theta, "rad", f"phase shift of {name}")
        return self.circuit.junction_rsjph(name, a, b, theta=theta, **params)

    @_quoting_input
    def transmission_line(self, name, a, b, c, d, *, td, z0):
        """Lossless line of delay ``td`` (seconds) and impedance ``z0`` (ohms)."""
        td = self._value(td, "s", f"delay of {name}")
        z0 = self._value(z0, "ohm", f"impedance of {name}")
        return self.circuit.transmission_line(name, a, b, c, d, td=td, z0=z0)

    @_quoting_input
    def vcvs(self, name, a, b, c, d, *, gain):
        """Voltage-controlled voltage source of voltage gain ``gain``."""
        return self.circuit.vcvs(name, a, b, c, d, gain=gain)

    @_quoting_input
    def vccs(self, name, a, b, c, d, *, gm):
        """Voltage-controlled current source of transconductance ``gm`` in siemens."""
        gm = number(gm, f"transconductance of {name}") * self.units.scale["ohm"]
        return self.circuit.vccs(name, a, b, c, d, gm=gm)

    @_quoting_input
    def ccvs(self, name, a, b, control, *, r):
        """Current-controlled voltage source of transresistance ``r`` (ohms)."""
        r = self._value(r, "ohm", f"transresistance of {name}")
        return self.circuit.ccvs(name, a, b, control, r=r)

    @_quoting_input
    def cccs(self, name, a, b, control, *, gain):
        """Current-controlled current source of current gain ``gain``."""
        return self.circuit.cccs(name, a, b, control, gain=gain)

    def _junction(self, name, ic, r, c, beta_c):
        given = [k for k, v in (("r", r), ("c", c), ("beta_c", beta_c)) if v is not None]
        if len(given) != 2:
            raise CircuitError(f"{name}: give exactly two of r, c and beta_c, got {given}")
        ic = self._value(ic, "A", f"critical current of {name}")
        if r is not None:
            r = self._value(r, "ohm", f"resistance of {name}")
        if c is not None:
            c = self._value(c, "F", f"capacitance of {name}")
        if beta_c is not None:
            beta_c = number(beta_c, f"beta_c of {name}")
        # normalised: beta_c = ic r**2 c
        if beta_c is not None and (ic <= 0 or beta_c < 0):
            raise CircuitError(f"{name}: beta_c needs a positive ic and beta_c >= 0")
        if r is None:
            if c <= 0:
                raise CircuitError(f"{name}: beta_c needs a positive capacitance")
            r = math.sqrt(beta_c / (ic * c))
        elif c is None:
            c = beta_c / (ic * r * r)
        return {"ic": ic, "r": r, "c": c}

    @_quoting_input
    def simulate(self, t_stop, dt=None, **options):
        """Transient simulation (see :func:`loxant.transient.simulate`); the times
        ``t_stop``, ``dt``, ``dt_min``, ``dt_max``, ``record_from`` and ``initial_ramp`` are
        physical, the other options (``seed`` among them) as there.  Returns :class:`PhysicalResults`."""
        from .transient import simulate

        times = {"t_stop": t_stop, "dt": dt}
        timed = ("dt_min", "dt_max", "record_from", "initial_ramp")
        times.update({k: options.pop(k) for k in timed if k in options})
        for key, value in times.items():
            if value is None:
                continue
            times[key] = self._value(value, "s", key)
            self._check_plausible(key, value, times[key])
        results = simulate(self.circuit, times.pop("t_stop"), times.pop("dt"), **times, **options)
        return PhysicalResults(results, self.units)

    def _check_plausible(self, key, value, normalised):
        """A bare number is seconds; one far beyond the circuit's time scale is a
        slip, and running it would be meaningless or endless."""
        if isinstance(value, str) or abs(normalised) <= PLAUSIBLE_TIME_UNITS:
            return
        unit = self.units.scale["s"]
        raise CircuitError(
            f"{key} = {value!r} was read as {value:g} s, {normalised:.3g} time units of this "
            f"circuit ({unit * 1e12:.4g} ps each): write the unit, such as {key}='{value:g}ps', "
            "if you meant another"
        )


class PhysicalResults:
    """Results of a simulation in physical units; ``normalised`` holds the
    :class:`~loxant.results.Results` they come from.  Every accessor takes the
    unit to express its values in (any prefix of the right symbol)."""

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

    def time(self, unit="ps"):
        return self._in(self.normalised.time, unit, "s")

    def node_phase(self, name):
        """Phase of node ``name`` in radians."""
        return self.normalised.node_phase(name)

    def node_voltage(self, name, unit="mV"):
        return self._in(self.normalised.node_voltage(name), unit, "V")

    def current(self, name, unit="uA"):
        return self._in(self.normalised.current(name), unit, "A")

    def phase(self, name):
        """Phase of element ``name`` in radians."""
        return self.normalised.phase(name)

    def voltage(self, name, unit="mV"):
        return self._in(self.normalised.voltage(name), unit, "V")

    def turn_count(self, name):
        return self.normalised.turn_count(name)

    def average_voltage(self, name, t_from=None, t_to=None, unit="mV"):
        """Time-averaged voltage of element ``name`` between the physical times
        ``t_from`` and ``t_to`` (strings with units, or seconds)."""
        window = [None if t is None else self.units.to_normalised(t, "s") for t in (t_from, t_to)]
        return self._in(self.normalised.average_voltage(name, *window), unit, "V")

    def probe(self, text):
        """The :class:`Probe` named by ``text`` (see :func:`parse_probe`)."""
        return parse_probe(text, self.nodes, self.elements)

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
        """Phase and voltage of every node, current, phase and voltage of every element."""
        probes = [f"{k}({n})" for n in self.nodes for k in "PV"]
        probes += [f"{k}({e})" for e in self.elements for k in "IPV"]
        return probes

    def to_csv(self, path, probes=None, *, units_in_header=True):
        """Write a CSV file in SI units, one row per sample: ``time`` then one column per
        probe (``"P(B1)"``, ``"V(2)"``, ``"I(L1)"``, ``"V(1,2)"``...; default: every node
        and element series, see :meth:`default_probes`).  The header names each column
        with its unit, ``time [s],"P(B1) [rad]",...``, or without units
        (``units_in_header=False``: ``time,"P(B1)",...``, as other simulators write)."""
        probes = self.default_probes() if probes is None else list(probes)
        resolved = [p if isinstance(p, Probe) else self.probe(p) for p in probes]
        columns = [self.time("s")]
        header = ["time [s]" if units_in_header else "time"]
        for probe in resolved:
            unit, values = self.trace(probe)
            columns.append(values)
            label = f"{probe.label} [{unit}]" if units_in_header else probe.label
            header.append('"' + label.replace('"', '""') + '"')
        table = np.column_stack(columns) + 0.0  # no negative zeros in the file
        with open(path, "w", newline="") as stream:
            stream.write(",".join(header) + "\n")
            np.savetxt(stream, table, delimiter=",", fmt="%.17g")
