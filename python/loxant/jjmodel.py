"""The dialect's junction model: ``.model name jj(param=value, ...)`` in SI units,
turned into the keyword arguments of :meth:`PhysicalCircuit.junction_gap
<loxant.physical.PhysicalCircuit.junction_gap>` (``rtype=1``) or
:meth:`PhysicalCircuit.junction <loxant.physical.PhysicalCircuit.junction>`
(``rtype=0``)::

    model = junction_model({"RTYPE": 1, "ICRIT": 100e-6, "RN": 16, "CPR": [0.9, 0.1]})
    getattr(pc, model.adder)("B1", "a", "0", **model.instance(area=2.0))

Keys are the dialect's parameter names in upper case (aliases such as ``IC``
allowed); ``CPR`` is a list.  With ``T``, ``TC`` and ``D`` at their defaults
(4.2 K, 9.1 K, 0; written out or not) the supercurrent is
icrit sum_k a_k sin(k (phase - phi)).  With any of them away from its default it
follows Haberkorn's relation of a contact of transparency D at temperature T, with the gap
Delta(T) = 1.76 kB Tc sqrt(cos((pi/2)(T/Tc)^2)) (0 from Tc on) and the amplitude
pi Delta / (2 e Rn); Rn is ``RN`` when the model gives it, otherwise the
Ambegaokar-Baratoff resistance pi Delta / (2 e icrit) tanh(Delta / 2 kB T),
which keeps the low-transparency critical current at icrit.  That critical
current (of the model, before area) is ``model.icrit``.  ``model.notes`` are
warnings about parameters given that others override (icrit by rn in
Haberkorn's relation; the gap parameters by rtype 0).
"""

import math
from dataclasses import dataclass, field

from .elements import MAX_HARMONICS

__all__ = [
    "ALIASES",
    "DEFAULTS",
    "JunctionModelError",
    "ModelJJ",
    "gap_energy",
    "junction_model",
    "uses_haberkorn",
]

BOLTZMANN = 1.380649e-23  # J/K
ELECTRON_CHARGE = 1.602176634e-19  # C

#: the dialect's parameters and defaults (CPR is a list, default [1])
DEFAULTS = {
    "RTYPE": 1.0,
    "ICRIT": 1e-3,
    "RN": 5.0,
    "R0": 30.0,
    "CAP": 2.5e-12,
    "VG": 2.8e-3,
    "DELV": 0.1e-3,
    "ICFCT": math.pi / 4,
    "PHI": 0.0,
    "T": 4.2,
    "TC": 9.1,
    "D": 0.0,
    "CPR": (1.0,),
}
ALIASES = {"IC": "ICRIT", "C": "CAP", "VGAP": "VG", "ICFACT": "ICFCT"}
MAX_THERMAL = 1e6
#: parameters that switch the supercurrent to Haberkorn's relation (away from
#: their defaults)
TEMPERATURE_KEYS = ("T", "TC", "D")
#: parameters of the quasiparticle branch of rtype 1, which rtype 0 has not
GAP_KEYS = ("R0", "VG", "DELV", "ICFCT")


class JunctionModelError(ValueError):
    """A junction model whose parameters cannot describe a junction."""


def gap_energy(t, tc):
    """Delta(T) in joules: 1.76 kB Tc sqrt(cos((pi/2)(T/Tc)^2)), 0 from Tc on."""
    if t >= tc:
        return 0.0
    return 1.76 * BOLTZMANN * tc * math.sqrt(math.cos(0.5 * math.pi * (t / tc) ** 2))


@dataclass(frozen=True)
class ModelJJ:
    """A junction model per unit area: SI values and the supercurrent law."""

    rtype: int
    icrit: float
    rn: float
    r0: float
    cap: float
    vg: float
    delv: float
    icfct: float
    phi: float
    cpr: tuple
    transparency: float
    thermal: float
    #: warnings about parameters given that others override
    notes: tuple = field(default=(), compare=False)

    @property
    def adder(self):
        """The PhysicalCircuit method that adds a junction of this model."""
        return "junction_gap" if self.rtype == 1 else "junction"

    def instance(self, area=1.0):
        """Keyword arguments of :attr:`adder` for a junction of ``area``: Ic and C
        scale up, the resistances down."""
        law = {"phi": self.phi, "cpr": self.cpr}
        if self.transparency or self.thermal:
            law.update(transparency=self.transparency, thermal=self.thermal)
        shape = {"ic": self.icrit * area, "c": self.cap * area, **law}
        if self.rtype == 0:
            return {"r": self.rn / area, **shape}
        return {
            "rn": self.rn / area,
            "r0": self.r0 / area,
            "vg": self.vg,
            "delv": self.delv,
            "icfct": self.icfct,
            **shape,
        }


def _checked(values):
    for key, value in values.items():
        if not all(math.isfinite(x) for x in (value if key == "CPR" else (value,))):
            raise JunctionModelError(f"{key.lower()} must be finite")
    if values["RTYPE"] not in (0, 1):
        raise JunctionModelError(f"rtype must be 0 or 1, got {values['RTYPE']:g}")
    if not values["RN"] > 0 or not values["CAP"] >= 0:
        raise JunctionModelError("rn must be positive and cap not negative")
    if values["RTYPE"] == 1:
        if not (values["R0"] > 0 and values["VG"] > 0 and values["ICFCT"] > 0):
            raise JunctionModelError("r0, vg and icfct must be positive")
        if not 0 < values["DELV"] < 2 * values["VG"]:
            raise JunctionModelError("delv must be positive and below twice vg")
    cpr = values["CPR"]
    if not 1 <= len(cpr) <= MAX_HARMONICS:
        raise JunctionModelError(f"cpr takes 1 to {MAX_HARMONICS} harmonic amplitudes")


def _thermal_factor(delta, t):
    """Delta / (2 kB T), capped: tanh(b s) is 1 long before the cap, which only
    keeps b finite as t -> 0 (or t so small that 2 kB t is no number)."""
    return min(delta / (2 * BOLTZMANN) / t, MAX_THERMAL)


def _temperature(values, given):
    """(icrit, rn, thermal factor) of the Haberkorn supercurrent."""
    t, tc, d = values["T"], values["TC"], values["D"]
    if not (t > 0 and tc > 0):
        raise JunctionModelError("t and tc must be positive")
    if not 0 <= d < 1:
        raise JunctionModelError(f"d (transparency) must be in [0, 1), got {d:g}")
    delta = gap_energy(t, tc)
    thermal = _thermal_factor(delta, t)
    amplitude_rn = math.pi * delta / (2 * ELECTRON_CHARGE)  # pi Delta / 2e, volts
    if "RN" in given:
        return amplitude_rn * math.tanh(thermal) / values["RN"], values["RN"], thermal
    if delta == 0:
        raise JunctionModelError(
            "t >= tc leaves no gap: the Ambegaokar-Baratoff relation gives no rn (give rn)"
        )
    if values["ICRIT"] == 0:
        raise JunctionModelError("icrit = 0: the Ambegaokar-Baratoff relation gives no rn")
    rn = abs(amplitude_rn * math.tanh(thermal) / values["ICRIT"])
    if not 0 < rn < math.inf:
        raise JunctionModelError(
            f"icrit = {values['ICRIT']:g} A: the Ambegaokar-Baratoff relation gives no finite rn"
        )
    return values["ICRIT"], rn, thermal


def uses_haberkorn(values):
    """Whether the supercurrent follows Haberkorn's relation: when ``t``, ``tc``
    or ``d`` is away from its default (at the defaults the model is the plain
    one, written out or not)."""
    return any(values[key] != DEFAULTS[key] for key in TEMPERATURE_KEYS)


def _overridden(values, given, haberkorn, icrit):
    """Warnings, by name, for parameters given that others override."""
    notes = []
    if haberkorn and "RN" in given and "ICRIT" in given:
        notes.append(
            f"icrit ignored: with rn and t, tc or d the critical current is "
            f"pi Delta / (2e rn) tanh(Delta / 2 kB T) = {icrit:.4g} A (leave rn out to keep icrit)"
        )
    if values["RTYPE"] == 0:
        unused = [key.lower() for key in GAP_KEYS if key in given]
        if unused:
            notes.append(f"rtype=0 has no gap: {', '.join(unused)} ignored")
    return tuple(notes)


def junction_model(given):
    """The :class:`ModelJJ` of the parameters ``given`` (upper-case names or
    aliases, evaluated numbers, ``CPR`` a sequence); JunctionModelError names
    what is wrong."""
    values = dict(DEFAULTS)
    for key, value in given.items():
        key = ALIASES.get(key, key)
        if key not in DEFAULTS:
            raise JunctionModelError(f"unknown parameter {key.lower()}")
        values[key] = tuple(float(a) for a in value) if key == "CPR" else float(value)
    given = {ALIASES.get(key, key) for key in given}
    _checked(values)
    icrit, rn, thermal = values["ICRIT"], values["RN"], 0.0
    haberkorn = uses_haberkorn(values)
    if haberkorn:
        icrit, rn, thermal = _temperature(values, given)
    return ModelJJ(
        rtype=int(values["RTYPE"]),
        icrit=icrit,
        rn=rn,
        r0=values["R0"],
        cap=values["CAP"],
        vg=values["VG"],
        delv=values["DELV"],
        icfct=values["ICFCT"],
        phi=values["PHI"],
        cpr=values["CPR"],
        transparency=values["D"] if thermal > 0 else 0.0,
        thermal=thermal,
        notes=_overridden(values, given, haberkorn, icrit),
    )
