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

from .errors import CircuitError, SimulationError
from .waveforms import as_waveform

__all__ = [
    "CCCS",
    "CCVS",
    "Capacitor",
    "CurrentSource",
    "Element",
    "Inductor",
    "Junction",
    "JunctionGap",
    "JunctionRSJN",
    "JunctionRSJPH",
    "JunctionTJM",
    "MultiPort",
    "MutualInductance",
    "NoiseCurrent",
    "PhaseSource",
    "Resistor",
    "Supercurrent",
    "TransmissionLine",
    "VCCS",
    "VCVS",
    "VoltageSource",
]

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
        raise CircuitError(f"{what} must be finite, got {result}")
    if positive and result <= 0:
        raise CircuitError(f"{what} must be positive, got {result}")
    if nonnegative and result < 0:
        raise CircuitError(f"{what} must not be negative, got {result}")
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
        limit = math.sqrt(abs(first.l * second.l))  # an inductance may be negative
        if k is not None:
            self.k = number(k, f"coupling factor of {name}")
            self.m = self.k * limit
        else:
            self.m = number(m, f"mutual inductance of {name}")
            self.k = self.m / limit if limit > 0 else 0.0
        if abs(self.m) > limit:
            raise CircuitError(
                f"{name}: |M| = {abs(self.m):g} exceeds sqrt(L1*L2) = {limit:g} (|k| > 1)"
            )
        first.coupled = second.coupled = True

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


class MultiPort(Element):
    """An element with more than two nodes or a controlling branch.

    ``model_letters``: the model constructor's unknowns before ``eindex``;
    ``conducting``: pairs of letters joined by a path that enters the matrix
    (for the check that every node reaches ground).
    """

    model_letters = ("i", "j", "k", "l")
    conducting = ()

    def __init__(self, name, nodes):
        self.name = name
        self.nodes = tuple(nodes)

    def letters(self, number, branch):
        """Unknown number of every position letter, from the node numbering
        ``number`` and the branch unknowns ``branch`` (by element name)."""
        out = dict(zip("ijkl", (number[n] for n in self.nodes)))
        if self.has_branch:
            out["q"] = branch[self.name]
        return out

    def __repr__(self):
        args = ", ".join(f"{k}={v!r}" for k, v in self._describe().items())
        nodes = ", ".join(repr(n) for n in self.nodes)
        return f"{type(self).__name__}({self.name!r}, {nodes}, {args})"


class TransmissionLine(MultiPort):
    """Lossless transmission line of delay ``td`` and characteristic impedance
    ``z0`` from port (a, b) to port (c, d).  Its current is that of port 1, into
    ``a``; its phase and voltage those of port 1.  The history is kept on a grid
    of the simulation's time step, which must not exceed ``td``."""

    values_keep_state = True

    kind = "transmission line"
    model_name = "TransmissionLineModel"
    positions = TWO_TERMINAL + ("kk", "kl", "lk", "ll")
    conducting = (("i", "j"), ("k", "l"))

    def __init__(self, name, a, b, c, d, td, z0):
        super().__init__(name, (a, b, c, d))
        self.td = number(td, f"delay of {name}", positive=True)
        self.z0 = number(z0, f"impedance of {name}", positive=True)
        #: spacing of the model's history; the driver sets it to its time step
        self.history_step = self.td / 1024

    def use_time_step(self, dt):
        """Size the history for steps of at most ``dt``."""
        if dt > self.td * (1 + 1e-12):
            raise CircuitError(
                f"{self.name}: the time step {dt:g} exceeds the line's delay {self.td:g}; "
                "use a time step of at most the delay"
            )
        self.history_step = dt

    def parameters(self, t, sign=1):
        return [self.td, self.z0, self.history_step]

    def _describe(self):
        return {"td": self.td, "z0": self.z0}


def _controlling_branch(name, control):
    """Make sure the current of ``control`` is a branch unknown."""
    if isinstance(control, Inductor):
        control.coupled = True  # an inductor carries its current as an unknown when asked
    elif not control.has_branch:
        raise CircuitError(
            f"{name}: the current of {control.name!r} ({control.kind}) is not a branch "
            "unknown; name a voltage or phase source, an inductor or an E or H source"
        )


class VCVS(MultiPort):
    """Voltage-controlled voltage source (E): V(a) - V(b) = gain (V(c) - V(d)); its
    current, through it from a to b, is a branch unknown."""

    kind = "voltage-controlled voltage source"
    model_name = "VCVSModel"
    positions = BRANCH + ("qk", "ql")
    model_letters = ("i", "j", "k", "l", "q")
    conducting = (("i", "j"),)

    def __init__(self, name, a, b, c, d, gain):
        super().__init__(name, (a, b, c, d))
        self.gain = number(gain, f"gain of {name}")

    @property
    def has_branch(self):
        return True

    def parameters(self, t, sign=1):
        return [self.gain]

    def _describe(self):
        return {"gain": self.gain}


class VCCS(VCVS):
    """Voltage-controlled current source (G): a current gain (V(c) - V(d)) through it
    from a to b."""

    kind = "voltage-controlled current source"
    model_name = "VCCSModel"
    positions = ("ik", "il", "jk", "jl")
    model_letters = ("i", "j", "k", "l")
    conducting = ()

    @property
    def has_branch(self):
        return False


class CCVS(MultiPort):
    """Current-controlled voltage source (H): V(a) - V(b) = gain I(control), the
    current through the element ``control`` from its first node to its second."""

    kind = "current-controlled voltage source"
    model_name = "CCVSModel"
    positions = BRANCH + ("qc",)
    model_letters = ("i", "j", "q", "c")
    conducting = (("i", "j"),)

    def __init__(self, name, a, b, control, gain):
        super().__init__(name, (a, b))
        _controlling_branch(name, control)
        self.control = control
        self.gain = number(gain, f"gain of {name}")

    @property
    def has_branch(self):
        return True

    def letters(self, number, branch):
        out = super().letters(number, branch)
        out["c"] = branch[self.control.name]
        return out

    def parameters(self, t, sign=1):
        return [self.gain]

    def _describe(self):
        return {"control": self.control.name, "gain": self.gain}


class CCCS(CCVS):
    """Current-controlled current source (F): a current gain I(control) through it
    from a to b."""

    kind = "current-controlled current source"
    model_name = "CCCSModel"
    positions = ("ic", "jc")
    model_letters = ("i", "j", "c")
    conducting = ()

    @property
    def has_branch(self):
        return False
