"""The element kinds: each kind of element declared once.

An entry says everything the layers above need to know of a kind: the
netlist letter that writes it and the form of its line, its node count, its
parameters with their physical units, defaults and native names, which of its
node pairs conduct (for the connection checks), its declaration class (which
names its native model class), the name of its adder on
:class:`~loxant.circuit.Circuit` (in either unit system),
how margins and spreads scale it, what it stamps and what carries its noise.

Adding a linear element kind: its model file in ``kernel/models/``, its
declaration class, one entry here, and its tests (docs/development.md,
"Adding an element kind").  The circuit adders, the physical units, the netlist
letter, the connection checks, the netlist build, margins and yield follow
from the entry.
"""

import inspect
import math
from typing import NamedTuple

from . import elements as el
from . import waveforms as wf

__all__ = [
    "BY_ADDER",
    "BY_LETTER",
    "KINDS",
    "WAVEFORM_KINDS",
    "ElementKind",
    "Param",
    "WaveformKind",
    "kind_of",
    "make_adder",
    "waveform_kind",
]

#: a parameter without a default must be given
REQUIRED = object()


class Param(NamedTuple):
    """One parameter of an adder: its keyword, the SI unit a physical circuit
    takes it in (``"S"`` is siemens, the inverse of ohm; None: a plain number, or
    a waveform for a source's value), what it is (for messages), its default,
    and the key of its value among a netlist element's values (None: the
    netlist does not give it)."""

    name: str
    unit: str | None
    what: str
    default: object = REQUIRED
    netlist: str | None = "value"
    #: the name of the native model's parameter that holds it (None: none does,
    #: or it is a waveform)
    native: str | None = None
    #: the declaration's attribute that holds it (None: ``name``)
    attribute: str | None = None
    #: the default of a physical circuit, with its unit, where the normalised
    #: circuit has none
    si_default: object = REQUIRED

    @property
    def held_in(self):
        """The declaration's attribute that holds the value."""
        return self.attribute or self.name


class ElementKind(NamedTuple):
    """One element kind; see the module's description.

    ``letter``: the netlist letter ("" for a kind no netlist line writes);
    ``form``: how its netlist line reads (``value``: nodes and one value;
    ``coupling``; ``junction``: nodes, a model and options; ``line``: nodes and
    ``td=``/``z0=``; ``controlled``: nodes or a controlling source, and a gain;
    ``source``: nodes and a waveform); ``nodes``: node count (a current-controlled
    source also names its control); ``ports``: node pairs (indices) each of
    which must join two different nodes; ``conducting``: node pairs joined by a
    path that enters the matrix; ``options``: the ``name=value`` options of its
    netlist line; ``doc``: the adder's description (generated adders only);
    ``generated``: the adders are made from this entry."""

    letter: str
    form: str
    adder: str
    declaration: type
    nodes: int
    params: tuple
    ports: tuple = ((0, 1),)
    conducting: tuple = ((0, 1),)
    options: tuple = ()
    doc: str = ""
    generated: bool = False
    #: the kind holds the voltage (or phase) across it: a loop of such kinds is singular
    holds_voltage: bool = False
    #: the adder names a controlling element after the nodes (its current controls)
    control: bool = False
    #: native model classes, where the declaration picks one of several
    models: tuple = ()
    #: how a multiplier of the element scales it: (attribute, power) pairs, the
    #: attribute ``"waveform"`` for a source's value; () for a kind not scaled
    scaling: tuple = ()
    #: where its elements enter margins and yield: ``"default"`` (the default
    #: parameters and glob patterns), ``"pattern"`` (glob patterns), ``"named"``
    #: (only when named); "" for a kind not scaled
    margin: str = ""
    #: what its model stamps, for the assembly: ``"two_terminal"``, ``"ports"``
    #: (a multi-port on named letters), ``"coupling"`` (between two branch
    #: unknowns), ``"rhs"`` (the right-hand side only: a current)
    stamps: str = "two_terminal"
    #: the attribute whose resistance carries thermal noise (None: no noise)
    noise: str | None = None
    #: a Josephson junction: the default criterion watches its switching
    junction: bool = False
    #: the key of a yield analysis's spread that varies it, and the attribute
    #: the spread scales (None: the element as a multiplier scales it); ()
    #: for a kind no spread varies
    spread: tuple = ()

    @property
    def model_names(self):
        """The native model class(es) of the kind."""
        return self.models or (self.declaration.model_name,)

    @property
    def noun(self):
        return self.declaration.kind

    @property
    def main_attribute(self):
        """The attribute a nominal value of the element reads (None: not scaled)."""
        return self.scaling[0][0] if self.scaling else None

    def unit_of(self, attribute):
        """The unit symbol of ``attribute`` (None: a plain number or unknown)."""
        for param in self.params:
            if param.held_in == attribute:
                return param.unit
        return None


_FOUR = ((0, 1), (2, 3))
_WAVEFORM = (("waveform", 1),)
_IC = Param("ic", "A", "critical current", 1.0, native="critical_current")
_C = Param("c", "F", "capacitance", native="capacitance")
_JUNCTION_PARAMS = (_IC, Param("r", "ohm", "resistance", 1.0, native="resistance"), _C)
#: a junction scales as its area: critical current and capacitance with it,
#: resistance against it (so beta_c stays); its shunt carries the noise
_JUNCTION = {
    "scaling": (("ic", 1), ("c", 1), ("r", -1)),
    "margin": "default",
    "noise": "r",
    "junction": True,
    "spread": ("ic", "ic"),
}

KINDS = (
    ElementKind(
        "R",
        "value",
        "resistor",
        el.Resistor,
        2,
        (Param("r", "ohm", "resistance", native="resistance"),),
        options=("TEMP", "SPREAD"),
        scaling=(("r", 1),),
        margin="default",
        noise="r",
        spread=("r", None),
    ),
    ElementKind(
        "L",
        "value",
        "inductor",
        el.Inductor,
        2,
        (Param("l", "H", "inductance", native="inductance"),),
        options=("SPREAD",),
        models=("InductorModel", "InductorImpedanceModel"),
        scaling=(("l", 1),),
        margin="default",
        spread=("l", None),
    ),
    ElementKind(
        "C",
        "value",
        "capacitor",
        el.Capacitor,
        2,
        (Param("c", "F", "capacitance", native="capacitance"),),
        options=("SPREAD",),
        scaling=(("c", 1),),
        margin="default",
        spread=("c", None),
        doc="Capacitor of capacitance ``c``.",
        generated=True,
    ),
    ElementKind(
        "K",
        "coupling",
        "mutual",
        el.MutualInductance,
        0,
        (
            Param("m", "H", "mutual inductance", None, None, native="mutual_inductance"),
            Param("k", None, "coupling factor", None),
        ),
        ports=(),
        conducting=(),
        scaling=(("m", 1),),
        margin="named",
        stamps="coupling",
    ),
    ElementKind(
        "B",
        "junction",
        "junction",
        el.Junction,
        2,
        _JUNCTION_PARAMS,
        options=("AREA", "IC", "TEMP", "SPREAD"),
        **_JUNCTION,
    ),
    ElementKind(
        "",
        "junction",
        "junction_gap",
        el.JunctionGap,
        2,
        (
            _IC,
            Param(
                "r0",
                "ohm",
                "subgap resistance",
                native="resistance",
                attribute="r",
                si_default="30ohm",
            ),
            Param("rn", "ohm", "normal resistance", native="normal_resistance", si_default="5ohm"),
            _C,
            Param("vg", "V", "gap voltage", native="gap_voltage", si_default="2.8mV"),
            Param("delv", "V", "gap width", native="gap_width", si_default="0.1mV"),
            Param("icfct", None, "icfct", math.pi / 4, native="gap_factor"),
        ),
        **_JUNCTION,
    ),
    ElementKind(
        "",
        "junction",
        "junction_rsjn",
        el.JunctionRSJN,
        2,
        (
            *_JUNCTION_PARAMS,
            Param("v0", "V", "knee voltage", 4.3, native="knee_voltage"),
            Param("p", None, "knee exponent", 10, native="knee_exponent"),
        ),
        **_JUNCTION,
    ),
    ElementKind(
        "",
        "junction",
        "junction_rsjph",
        el.JunctionRSJPH,
        2,
        (*_JUNCTION_PARAMS, Param("theta", "rad", "phase shift", native="phase_shift")),
        **_JUNCTION,
    ),
    ElementKind(
        "",
        "",
        "junction_tjm",
        el.JunctionTJM,
        2,
        (
            Param("model", None, "kernel model name"),
            Param("amplitude", "A", "amplitude", 1.0, native="amplitude"),
            Param("c", "F", "capacitance", 1.0, native="capacitance"),
            Param(
                "frequency_factor", None, "frequency factor", 2.6 / 0.63, native="frequency_factor"
            ),
            Param("resistance_factor", None, "resistance factor", 0.6, native="resistance_factor"),
            Param("pair_factor", None, "pair factor", 0.1, native="pair_factor"),
            Param("kernel", None, "kernel (A, B, P)", None),
        ),
        scaling=(("amplitude", 1), ("c", 1)),
        margin="default",
        junction=True,
    ),
    ElementKind(
        "I",
        "source",
        "current_source",
        el.CurrentSource,
        2,
        (Param("value", "A", "value"),),
        conducting=(),
        scaling=_WAVEFORM,
        margin="default",
        stamps="rhs",
        spread=("bias", None),  # bias sources only: signals keep their values
        doc="Current source driving ``value`` through itself from ``a`` to ``b`` (into ``b``); ``value`` is a number, a waveform or a callable of time.",
        generated=True,
    ),
    ElementKind(
        "V",
        "source",
        "voltage_source",
        el.VoltageSource,
        2,
        (Param("value", "V", "value"),),
        holds_voltage=True,
        scaling=_WAVEFORM,
        margin="pattern",
        doc="Voltage source holding voltage(a) - voltage(b) at ``value``.",
        generated=True,
    ),
    ElementKind(
        "P",
        "source",
        "phase_source",
        el.PhaseSource,
        2,
        (Param("value", "rad", "value"),),
        holds_voltage=True,
        scaling=_WAVEFORM,
        margin="pattern",
        doc="Phase source holding phase(a) - phase(b) at ``value`` (radians).",
        generated=True,
    ),
    # the thermal noise the run adds beside a resistive element: no adder
    ElementKind("", "", "", el.NoiseCurrent, 2, (), conducting=(), stamps="rhs"),
    ElementKind(
        "T",
        "line",
        "transmission_line",
        el.TransmissionLine,
        4,
        (
            Param("td", "s", "delay", netlist="td", native="delay"),
            Param("z0", "ohm", "impedance", netlist="z0", native="impedance"),
        ),
        ports=_FOUR,
        stamps="ports",
        conducting=_FOUR,
        doc="Lossless transmission line of delay ``td`` and impedance ``z0`` from port "
        "(``a``, ``b``) to port (``c``, ``d``); reports port 1 (current into ``a``). "
        "The simulation's time step must not exceed ``td``.",
        generated=True,
    ),
    ElementKind(
        "E",
        "controlled",
        "vcvs",
        el.VCVS,
        4,
        (Param("gain", None, "gain", native="gain"),),
        ports=_FOUR,
        stamps="ports",
        conducting=((0, 1),),
        doc="Voltage-controlled voltage source: V(a) - V(b) = gain (V(c) - V(d)).",
        generated=True,
    ),
    ElementKind(
        "G",
        "controlled",
        "vccs",
        el.VCCS,
        4,
        (Param("gm", "S", "transconductance", native="gain", attribute="gain"),),
        ports=_FOUR,
        stamps="ports",
        conducting=(),
        doc="Voltage-controlled current source: gm (V(c) - V(d)) through it from a to b.",
        generated=True,
    ),
    ElementKind(
        "H",
        "controlled",
        "ccvs",
        el.CCVS,
        2,
        (Param("r", "ohm", "transresistance", native="gain", attribute="gain"),),
        control=True,
        stamps="ports",
        doc="Current-controlled voltage source: V(a) - V(b) = r I(control), the current "
        "of the element named ``control`` (already declared: a voltage or phase source, "
        "an inductor, or an E or H source).",
        generated=True,
    ),
    ElementKind(
        "F",
        "controlled",
        "cccs",
        el.CCCS,
        2,
        (Param("gain", None, "current gain", native="gain"),),
        conducting=(),
        control=True,
        stamps="ports",
        doc="Current-controlled current source: gain I(control) through it from a to b.",
        generated=True,
    ),
)

#: the kinds a netlist letter writes
BY_LETTER = {kind.letter: kind for kind in KINDS if kind.letter}
BY_ADDER = {kind.adder: kind for kind in KINDS if kind.adder}
_BY_CLASS = {kind.declaration: kind for kind in KINDS}


def kind_of(element):
    """The entry of a declared element."""
    return _BY_CLASS[type(element)]


_NODE_NAMES = "abcd"


def _signature(kind):
    """The adder's signature: name, nodes (and control) positional; the
    parameters positional too on a plain two-terminal kind, else keyword-only."""
    plain = inspect.Parameter.POSITIONAL_OR_KEYWORD
    names = ["self", "name", *_NODE_NAMES[: kind.nodes]] + (["control"] if kind.control else [])
    positional = kind.nodes == 2 and not kind.control
    style = plain if positional else inspect.Parameter.KEYWORD_ONLY
    params = [inspect.Parameter(n, plain) for n in names]
    for p in kind.params:
        default = inspect.Parameter.empty if p.default is REQUIRED else p.default
        params.append(inspect.Parameter(p.name, style, default=default))
    return inspect.Signature(params)


def make_adder(kind):
    """The adder method of ``kind``: it binds its arguments and hands them to the
    owner's ``_declare(kind, name, nodes, control, params)``."""
    signature = _signature(kind)
    # positional calls of a kind whose parameters may be positional need no binding
    plain = kind.nodes == 2 and not kind.control
    count = len(signature.parameters) - 1 if plain else -1
    nodes = kind.nodes
    first_param = 1 + nodes + (1 if kind.control else 0)

    def adder(self, *args, **kwargs):
        if kwargs or len(args) != count:  # all positional (the common call) binds as is
            bound = signature.bind(self, *args, **kwargs)
            bound.apply_defaults()
            args = tuple(bound.arguments.values())[1:]
        control = args[1 + nodes] if kind.control else None
        return self._declare(kind, args[0], args[1 : 1 + nodes], control, args[first_param:])

    adder.__name__ = adder.__qualname__ = kind.adder
    adder.__doc__ = kind.doc
    adder.__signature__ = signature
    return adder


# -- waveforms ---------------------------------------------------------------------


class WaveformKind(NamedTuple):
    """A waveform kind the native engine evaluates itself: ``native`` names it
    to the engine's decode, ``items`` gives its parameters in the decode's order,
    ``size`` the largest magnitude it reaches (None: not read off)."""

    native: str
    items: object
    size: object = None


def _sine_size(w):
    return abs(w.offset) + abs(w.amplitude)


#: the waveform kinds, by class (a wrapper, Rescaled, is not one: it holds one)
WAVEFORM_KINDS = {
    wf.Constant: WaveformKind("constant", lambda w: (w.value,), lambda w: abs(w.value)),
    wf.PWL: WaveformKind(
        "pwl", lambda w: (w.times, w.values), lambda w: max(abs(v) for v in w.values)
    ),
    wf.Pulse: WaveformKind(
        "pulse",
        lambda w: (w.low, w.high, w.delay, w.rise, w.fall, w.width, w.period),
        lambda w: max(abs(w.low), abs(w.high)),
    ),
    wf.PWS: WaveformKind("pws", lambda w: (w.times, w.values)),
    wf.Sine: WaveformKind(
        "sine",
        lambda w: (w.offset, w.amplitude, w.frequency, w.delay, w.phase, w.cycles),
        _sine_size,
    ),
    wf.DampedSine: WaveformKind(
        "damped_sine",
        lambda w: (w.offset, w.amplitude, w.frequency, w.delay, w.damping, w.phase, w.cycles),
        _sine_size,
    ),
    wf.Noise: WaveformKind("noise", lambda w: (w.amplitude, w.delay, w.step, *w.key)),
    wf.Custom: WaveformKind(
        "custom", lambda w: (w.samples, w.step, w.interpolation, w.delay, w.periodic)
    ),
    wf.Exp: WaveformKind(
        "exp",
        lambda w: (w.v1, w.v2, w.delay_rise, w.tau_rise, w.delay_fall, w.tau_fall),
        lambda w: max(abs(w.v1), abs(w.v2)),
    ),
}


def waveform_kind(waveform, exact=True):
    """The entry of ``waveform``'s class (with ``exact`` False, of the nearest
    class it derives from that has one); None if there is none."""
    if exact:
        return WAVEFORM_KINDS.get(type(waveform))
    for cls in type(waveform).__mro__:
        kind = WAVEFORM_KINDS.get(cls)
        if kind is not None:
            return kind
    return None
