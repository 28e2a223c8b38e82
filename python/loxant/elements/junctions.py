"""Josephson junctions: the RCSJ junction and its variants, and the tunnel
junction of the microscopic model."""

import math
from typing import NamedTuple

from ..errors import CircuitError
from .base import _INF, Element, Orientation, check_kernel_finite, number

MAX_HARMONICS = 16
#: number types compared without conversion (bool is not one)
_PLAIN_NUMBERS = (float, int)


class Supercurrent(NamedTuple):
    """Supercurrent law of a junction: ic sum_k cpr[k-1] h(k (phase - phi)), with
    h(x) = sin x for ``transparency`` 0, else Haberkorn's relation of a contact of
    that transparency at ``thermal`` = Delta / (2 kB T), divided by its value
    tanh(thermal) at zero transparency (so ``ic`` stays the critical current of a
    contact of low transparency): h(x) = sin x tanh(thermal s) / (s tanh thermal),
    s = sqrt(1 - transparency sin^2(x/2))."""

    phi: float = 0.0
    cpr: tuple = (1.0,)
    transparency: float = 0.0
    thermal: float = 0.0

    @classmethod
    def checked(cls, name, phi=0.0, cpr=(1.0,), transparency=0.0, thermal=0.0):
        if (
            type(phi) in _PLAIN_NUMBERS
            and type(transparency) in _PLAIN_NUMBERS
            and type(thermal) in _PLAIN_NUMBERS
            and phi == transparency == thermal == 0
            and type(cpr) in (tuple, list)
            and len(cpr) == 1
            and type(cpr[0]) is float
            and cpr[0] == 1.0
        ):  # the plain law, which most junctions have: nothing to check
            return _PLAIN_LAW
        phi = number(phi, f"phase offset of {name}")
        if isinstance(cpr, (str, bytes)) or not hasattr(cpr, "__len__"):
            cpr = (cpr,)
        if not 1 <= len(cpr) <= MAX_HARMONICS:
            raise CircuitError(f"cpr of {name} takes 1 to {MAX_HARMONICS} harmonic amplitudes")
        cpr = tuple(number(a, f"cpr amplitude of {name}") for a in cpr)
        transparency = number(transparency, f"transparency of {name}", nonnegative=True)
        if transparency >= 1:
            raise CircuitError(f"transparency of {name} must be below 1, got {transparency}")
        thermal = number(thermal, f"thermal factor of {name}", nonnegative=True)
        if transparency > 0 and thermal == 0:
            raise CircuitError(f"a transparency of {name} needs a positive thermal factor")
        return cls(phi, cpr, transparency, thermal)

    def items(self, sign=1):
        """The SetSupercurrent list; ``sign`` -1 turns the offset round for a
        model that sees the junction from its second terminal."""
        return [sign * self.phi, self.transparency, self.thermal, *self.cpr]

    def describe(self):
        """The settings that differ from Ic sin(phase)."""
        return {k: v for k, v in self._asdict().items() if v != getattr(Supercurrent(), k)}


_PLAIN_LAW = Supercurrent()
_LAW_FIELDS = frozenset(Supercurrent._fields)


class Junction(Element):
    """Resistively and capacitively shunted Josephson junction:
    I = Is(phase) + V / r + c dV/dt, Is = ic sin(phase) or, with ``phi``, ``cpr``,
    ``transparency`` and ``thermal``, the law of :class:`Supercurrent`."""

    kind = "junction"
    model_name = "JunctionModel"
    nonlinear = True

    def __init__(self, name, a, b, ic, r, c, **law):
        super().__init__(name, a, b)
        if (
            type(ic) is type(r) is type(c) is float
            and -_INF < ic < _INF
            and 0.0 < r < _INF
            and 0.0 <= c < _INF
        ):
            self.ic, self.r, self.c = ic, r, c
        else:
            self.ic = number(ic, f"critical current of {name}")
            self.r = number(r, f"resistance of {name}", positive=True)
            self.c = number(c, f"capacitance of {name}", nonnegative=True)
        unknown = () if _LAW_FIELDS.issuperset(law) else set(law) - _LAW_FIELDS
        if unknown:
            raise CircuitError(
                f"{name}: unknown junction parameter(s) {', '.join(sorted(unknown))}"
            )
        self.law = Supercurrent.checked(name, **law)

    @property
    def noise_resistance(self):
        return self.r

    def orientation(self, ua, ub):
        # With its first terminal grounded the model evaluates the law from the
        # live node, which turns the phase offset round.
        return Orientation(ua, ub, value_sign=-1 if ua == 0 else 1)

    def parameters(self, t, sign=1):
        return [self.ic, self.r, self.c]

    def prepare(self, model, sign=1):
        super().prepare(model, sign)
        if self.law != Supercurrent():
            model.SetSupercurrent(self.law.items(sign))

    def _describe(self):
        return {"ic": self.ic, "r": self.r, "c": self.c, **self.law.describe()}


class JunctionRSJN(Junction):
    """Junction whose shunt conducts only above a knee voltage:
    I = ic sin(phase) + G(V) V + c dV/dt, G(V) = x / ((1 + x) r), x = (V / v0)**p.
    """

    kind = "RSJN junction"
    model_name = "JunctionRSJNModel"

    def __init__(self, name, a, b, ic, r, c, v0, p):
        super().__init__(name, a, b, ic, r, c)
        self.v0 = number(v0, f"knee voltage of {name}", positive=True)
        self.p = number(p, f"knee exponent of {name}", positive=True)
        # An odd or fractional exponent would make the shunt current of a
        # negative voltage wrong in sign (odd) or NaN (fractional).
        if self.p % 2 != 0:
            raise CircuitError(f"knee exponent of {name} must be an even integer, got {self.p}")
        # The shunt conductance takes (V / v0)**p: it must stay finite up to a
        # voltage of the order of ic r.
        try:
            finite = math.isfinite((1.0 / self.v0) ** self.p)
        except OverflowError:
            finite = False
        if not finite:
            raise CircuitError(
                f"knee voltage of {name} is too small for exponent {self.p:g}: "
                f"(V / v0)**p overflows already at V = 1 (v0 = {self.v0:g})"
            )

    def parameters(self, t, sign=1):
        return [self.ic, self.r, self.v0, self.p, self.c]

    def _describe(self):
        return {**super()._describe(), "v0": self.v0, "p": self.p}


class JunctionRSJPH(Junction):
    """Junction with a shifted current-phase relation:
    I = ic sin(phase + theta) + V / r + c dV/dt; it reports phase + theta."""

    kind = "RSJPH junction"
    model_name = "JunctionRSJPHModel"

    def __init__(self, name, a, b, ic, r, c, theta):
        super().__init__(name, a, b, ic, r, c)
        self.theta = number(theta, f"phase shift of {name}")

    def orientation(self, ua, ub):
        # With its first terminal grounded the model applies the shift to the
        # live node's phase, i.e. with the opposite sign.
        return Orientation(ua, ub, value_sign=-1 if ua == 0 else 1)

    def parameters(self, t, sign=1):
        return [self.ic, self.r, self.c, sign * self.theta]

    def _describe(self):
        return {**super()._describe(), "theta": self.theta}


class JunctionGap(Junction):
    """Junction with a piecewise-linear quasiparticle branch:
    I = Is(phase) + Iqp(V) + c dV/dt, Iqp odd in V; for |V| below
    vg - delv/2 it is V / r0, across the gap window of width delv it rises from
    there with the conductance |ic| / (icfct delv), from vg + delv/2 on it is
    V / rn (through the origin).  Each step uses the piece of the voltage
    accepted last (``r`` is r0); Is as for :class:`Junction`."""

    values_keep_state = True

    kind = "gap junction"
    model_name = "JunctionGapModel"

    def __init__(self, name, a, b, ic, r0, rn, c, vg, delv, icfct, **law):
        if type(r0) is not float or not 0.0 < r0 < _INF:  # named as its adder names it
            r0 = number(r0, f"subgap resistance of {name}", positive=True)
        super().__init__(name, a, b, ic, r0, c, **law)
        if (
            type(rn) is type(vg) is type(delv) is type(icfct) is float
            and 0.0 < rn < _INF
            and 0.0 < vg < _INF
            and 0.0 < delv < _INF
            and 0.0 < icfct < _INF
        ):
            self.rn, self.vg, self.delv, self.icfct = rn, vg, delv, icfct
        else:
            self.rn = number(rn, f"normal resistance of {name}", positive=True)
            self.vg = number(vg, f"gap voltage of {name}", positive=True)
            self.delv = number(delv, f"gap width of {name}", positive=True)
            self.icfct = number(icfct, f"icfct of {name}", positive=True)
        if self.delv >= 2 * self.vg:
            raise CircuitError(f"gap width of {name} must be below twice the gap voltage")

    @property
    def r0(self):
        return self.r

    def parameters(self, t, sign=1):
        return [self.ic, self.r, self.rn, self.c, self.vg, self.delv, self.icfct]

    def _describe(self):
        return {
            "ic": self.ic,
            "r0": self.r,
            "rn": self.rn,
            "c": self.c,
            "vg": self.vg,
            "delv": self.delv,
            "icfct": self.icfct,
            **self.law.describe(),
        }


class JunctionTJM(Element):
    """Tunnel junction of the microscopic model, with the response kernel
    ``model`` of ``loxant.lxconfig.tjm_models`` (or ``kernel`` = (A, B, P), which is
    registered there under ``model``)."""

    values_keep_state = True

    kind = "TJM junction"
    model_name = "JunctionTJMModel"
    nonlinear = True
    steps_history = True
    max_terms = 20

    def __init__(
        self,
        name,
        a,
        b,
        model,
        amplitude,
        c,
        frequency_factor,
        resistance_factor,
        pair_factor,
        kernel=None,
    ):
        super().__init__(name, a, b)
        if not isinstance(model, str) or not model:
            raise CircuitError(f"TJM model name of {name} must be a non-empty string")
        self.model = model
        self.amplitude = number(amplitude, f"amplitude of {name}")
        self.c = number(c, f"capacitance of {name}", nonnegative=True)
        self.frequency_factor = number(
            frequency_factor, f"frequency factor of {name}", positive=True
        )
        self.resistance_factor = number(
            resistance_factor, f"resistance factor of {name}", positive=True
        )
        self.pair_factor = number(pair_factor, f"pair factor of {name}")
        self.kernel = None if kernel is None else self._check_kernel(kernel)

    def _check_kernel(self, kernel):
        try:
            a, b, p = (tuple(complex(z) for z in seq) for seq in kernel)
        except (TypeError, ValueError):
            raise CircuitError(
                f"kernel of {self.name} must be three sequences (A, B, P) of complex numbers"
            ) from None
        if not len(a) == len(b) == len(p):
            raise CircuitError(f"kernel of {self.name}: A, B and P differ in length")
        if len(a) > self.max_terms:
            raise CircuitError(f"kernel of {self.name} has {len(a)} terms, at most 20 allowed")
        if any(z == 0 for z in p):
            raise CircuitError(f"kernel of {self.name} has a zero pole")
        check_kernel_finite(self.name, (a, b, p))
        return (a, b, p)

    def parameters(self, t, sign=1):
        return [
            self.model,
            self.amplitude,
            self.c,
            self.frequency_factor,
            self.resistance_factor,
            self.pair_factor,
        ]

    def prepare(self, model, sign=1):
        model.InitTJMModel(self.parameters(0.0, sign))

    def _describe(self):
        return {"model": self.model, "amplitude": self.amplitude, "c": self.c}
