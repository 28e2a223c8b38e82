"""Element declarations of a circuit.

Each class describes one kind of element as the user declared it (name,
terminals, parameter values) and knows how that kind maps onto its element
model of ``loxant.CircuitKernel``:

* ``model_name``: the model class;
* ``positions``: the matrix positions that the model's ``InitModel`` takes, in
  its argument order, each named by a pair of letters: ``i`` and ``j`` are the
  model's two terminals, ``q`` the element's own branch unknown and ``v`` the
  branch unknown of the second coupled inductor (mutual inductance only);
* ``parameters(t, sign)``: the list handed to the model's ``SetParameters``.

Sign convention seen by the user: every element reports its phase and voltage
as (first terminal - second terminal) and its current as the current that flows
through it from the first terminal to the second.  Where a model's own
orientation differs, ``orientation`` says how the driver connects the model and
how the reported values are turned round.

Units are normalised: phases in radians, currents in units of a reference
critical current, voltages as d(phase)/dt, time in units of Phi0 / (2 pi Ic R).
"""

import math
from typing import NamedTuple

from ..errors import CircuitError, QuotedError, SimulationError, quote_name
from ..waveforms import as_waveform

TWO_TERMINAL = ("ii", "ij", "ji", "jj")
#: finite floats lie strictly between -_INF and _INF (NaN compares false): the
#: constructors check plain floats so, and hand anything else to number()
_INF = math.inf
BRANCH = ("iq", "jq", "qi", "qj")


def number(value, what, *, positive=False, nonnegative=False):
    """``value`` as a finite float, checked for sign; ``what`` names it in errors."""
    if type(value) is float:  # the common case: no conversion to try
        result = value
    elif isinstance(value, bool):
        raise CircuitError(f"{what} must be a number, not bool")
    else:
        try:
            result = float(value)
        except (TypeError, ValueError):
            raise CircuitError(f"{what} must be a number, got {value!r}") from None
    if not math.isfinite(result):
        raise QuotedError(f"{quote_name(what)} must be finite, got {{q0}}", [(what, result, "")])
    if positive and result <= 0:
        raise QuotedError(f"{quote_name(what)} must be positive, got {{q0}}", [(what, result, "")])
    if nonnegative and result < 0:
        raise QuotedError(
            f"{quote_name(what)} must not be negative, got {{q0}}", [(what, result, "")]
        )
    return result


def check_kernel_finite(name, kernel):
    """CircuitError unless every number of a TJM kernel (A, B, P) is finite."""
    for label, terms in zip("ABP", kernel):
        for k, z in enumerate(terms):
            z = complex(z)
            if not (math.isfinite(z.real) and math.isfinite(z.imag)):
                raise CircuitError(f"kernel of {name}: {label}[{k}] = {z} is not finite")


class Orientation(NamedTuple):
    """How one element is connected to its model.

    ``i``, ``j``: unknown numbers of the model's terminals (0 = ground);
    ``phase_sign`` turns the model's phase and voltage into the user's,
    ``current_sign`` its current; ``value_sign`` multiplies the signed parameter
    (source value or phase shift) handed to the model.
    """

    i: int
    j: int
    phase_sign: int = 1
    current_sign: int = 1
    value_sign: int = 1


class Element:
    """An element between two nodes."""

    kind = "element"
    model_name = ""
    positions = TWO_TERMINAL
    is_source = False
    nonlinear = False
    #: the model carries a history from step to step, so its step terms must be
    #: rebuilt at every time step even when the step size stays the same
    steps_history = False
    #: the model's Values operation advances its own state (not only the
    #: reported values), so it must run after every accepted step
    values_keep_state = False
    #: temperature of the element's thermal noise; None: the circuit's
    temp = None

    def __init__(self, name, a, b):
        self.name = name
        self.nodes = (a, b)

    @property
    def has_branch(self):
        """True if the element adds a branch unknown of its own."""
        return False

    @property
    def noise_resistance(self):
        """Resistance whose thermal noise the element carries; None: no noise."""
        return None

    def orientation(self, ua, ub):
        """Connection of the model for terminal unknowns ``ua``, ``ub``."""
        return Orientation(ua, ub)

    def parameters(self, t, sign=1):
        """``SetParameters`` list at time ``t``."""
        raise NotImplementedError

    def prepare(self, model, sign=1):
        """Model-specific set-up between the constructor and ``InitModel``."""
        model.SetParameters(self.parameters(0.0, sign))

    def __repr__(self):
        args = ", ".join(f"{k}={v!r}" for k, v in self._describe().items())
        a, b = self.nodes
        return f"{type(self).__name__}({self.name!r}, {a!r}, {b!r}, {args})"

    def _describe(self):
        return {}


class Resistor(Element):
    """Linear resistor: I = V / r."""

    kind = "resistor"
    model_name = "ResistorModel"

    def __init__(self, name, a, b, r):
        super().__init__(name, a, b)
        plain = type(r) is float and 0.0 < r < _INF
        self.r = r if plain else number(r, f"resistance of {name}", positive=True)

    @property
    def noise_resistance(self):
        return self.r

    def parameters(self, t, sign=1):
        return [self.r]

    def _describe(self):
        return {"r": self.r}


class Inductor(Element):
    """Linear inductor: I = phase / l.

    With ``branch=True`` (or when coupled by a mutual inductance) the current
    is an unknown of its own and ``l`` may be 0 (a short).
    """

    kind = "inductor"

    def __init__(self, name, a, b, l, branch=False):
        super().__init__(name, a, b)
        self.branch = bool(branch)
        self.coupled = False
        # negative values stand in equivalent circuits (a mutual coupling's T model)
        plain = type(l) is float and -_INF < l < _INF
        self.l = l if plain else number(l, f"inductance of {name}")
        if self.l == 0 and not self.branch:
            raise CircuitError(f"inductance of {name} is 0: use branch=True for a zero inductor")

    @property
    def has_branch(self):
        return self.branch or self.coupled

    @property
    def model_name(self):
        return "InductorImpedanceModel" if self.has_branch else "InductorModel"

    @property
    def positions(self):
        return BRANCH + ("qq",) if self.has_branch else TWO_TERMINAL

    def parameters(self, t, sign=1):
        return [self.l]

    def _describe(self):
        return {"l": self.l, "branch": self.branch}


class Capacitor(Element):
    """Linear capacitor: I = c * dV/dt."""

    kind = "capacitor"
    model_name = "CapacitorModel"

    def __init__(self, name, a, b, c):
        super().__init__(name, a, b)
        plain = type(c) is float and 0.0 < c < _INF
        self.c = c if plain else number(c, f"capacitance of {name}", positive=True)

    def parameters(self, t, sign=1):
        return [self.c]

    def _describe(self):
        return {"c": self.c}


class MutualInductance(Element):
    """Coupling of two inductors: phase_1 = L1 I1 + M I2, phase_2 = M I1 + L2 I2.

    The currents are counted from each inductor's first terminal to its second.
    Give either ``m`` or the coupling factor ``k`` (M = k sqrt(L1 L2)).
    """

    kind = "mutual inductance"
    model_name = "MutualInductanceModel"
    positions = ("qq", "qv", "vq", "vv")

    def __init__(self, name, first, second, m=None, k=None):
        super().__init__(name, None, None)
        self.inductors = (first, second)
        if first is second:
            raise CircuitError(f"{name} couples {first.name} with itself")
        if (m is None) == (k is None):
            raise CircuitError(f"{name}: give exactly one of m and k")
        zero = [inductor.name for inductor in (first, second) if inductor.l == 0]
        if zero and m is not None and number(m, f"mutual inductance of {name}") != 0:
            raise CircuitError(
                f"{name}: {' and '.join(zero)} has zero inductance, so no mutual inductance "
                "can couple to it (M must be 0)"
            )
        if k is not None:
            self.k, self.m = number(k, f"coupling factor of {name}"), None
        else:
            self.k, self.m = None, number(m, f"mutual inductance of {name}")
        self.couple(keep="k" if k is not None else "m")
        first.coupled = second.coupled = True

    def limit(self):
        """sqrt(|L1 L2|), the largest |M| (an inductance may be negative)."""
        first, second = self.inductors
        return math.sqrt(abs(first.l * second.l))

    def couple(self, keep="k"):
        """M from the coupling factor (``keep="k"``), or the factor from M, for the
        inductances as they are now (after scaling one); refuses |k| > 1."""
        limit = self.limit()
        if keep == "k":
            self.m = self.k * limit
        else:
            self.k = self.m / limit if limit > 0 else 0.0
        if abs(self.m) > limit:
            raise CircuitError(
                f"{self.name}: |M| = {abs(self.m):g} exceeds sqrt(L1*L2) = {limit:g} (|k| > 1)"
            )

    def parameters(self, t, sign=1):
        return [self.m]

    def __repr__(self):
        first, second = self.inductors
        return f"MutualInductance({self.name!r}, {first.name!r}, {second.name!r}, m={self.m!r})"


class Source(Element):
    """Independent source whose value follows a waveform of time."""

    is_source = True

    def __init__(self, name, a, b, value):
        super().__init__(name, a, b)
        try:
            self.waveform = as_waveform(value)
        except (TypeError, ValueError) as exc:
            raise CircuitError(f"value of {name}: {exc}") from None

    def parameters(self, t, sign=1):
        return [sign * self.value_at(t, self.waveform)]

    def value_at(self, t, waveform):
        """``waveform(t)``; an exception from it becomes a :class:`SimulationError`
        that names this source."""
        try:
            return waveform(t)
        except Exception as exc:
            raise SimulationError(
                f"the waveform of {self.kind} {self.name} failed at t = {t:g}: "
                f"{type(exc).__name__}: {exc}",
                time=t,
            ) from exc

    def _describe(self):
        return {"value": self.waveform}


class CurrentSource(Source):
    """Drives its value as a current through itself from the first node to the second."""

    kind = "current source"
    model_name = "CurrentSourceModel"

    def orientation(self, ua, ub):
        # The model injects its value into its first terminal, or - with one
        # terminal grounded - into the live one.  So it is connected the other
        # way round, and its value turned round when the destination is ground.
        sign = 1 if ub != 0 else -1
        return Orientation(ub, ua, phase_sign=-1, current_sign=sign, value_sign=sign)


class PhaseSource(Source):
    """Holds phase(first) - phase(second) at its value; its current is a branch unknown."""

    kind = "phase source"
    model_name = "PhaseSourceModel"
    positions = BRANCH

    @property
    def has_branch(self):
        return True


class VoltageSource(Source):
    """Holds voltage(first) - voltage(second) at its value; its current is a branch unknown."""

    kind = "voltage source"
    model_name = "VoltageSourceModel"
    positions = BRANCH

    @property
    def has_branch(self):
        return True


class NoiseCurrent(Element):
    """Gaussian white noise current through itself from the first node to the
    second, of two-sided spectral density ``density`` (2 T / R for the thermal noise
    of a resistance R at the normalised temperature T): a fresh value of variance
    density / dt every step, or, with a ``bandwidth`` B > 0, one held for 1 / (2B)
    of variance 2 density B.  ``seed`` starts its own generator."""

    values_keep_state = True

    kind = "noise current"
    model_name = "NoiseCurrentSourceModel"

    def __init__(self, name, a, b, density, seed=0, bandwidth=0.0):
        super().__init__(name, a, b)
        self.density = number(density, f"noise density of {name}", nonnegative=True)
        self.seed = int(seed)
        self.bandwidth = number(bandwidth, f"noise bandwidth of {name}", nonnegative=True)

    def parameters(self, t, sign=1):
        return [self.density, float(self.seed), self.bandwidth]

    def _describe(self):
        return {"density": self.density, "bandwidth": self.bandwidth}
