"""Circuit description: nodes and elements, declared one call at a time.

Example::

    c = Circuit("biased junction")               # SI units
    c.junction("J1", "a", "0", ic="250uA", beta_c=1.0, c="0.35pF")
    c.current_source("I1", "0", "a", "300uA")
    res = c.simulate(t_stop="100ps", dt="0.05ps")
    res.time("ps"), res.voltage("J1", "mV")

A circuit states its values in SI units (``units="SI"``, the default): numbers
in amperes, ohms, henries, farads, seconds and kelvin, or strings with units
(see :mod:`loxant.units`).  The run works in the normalised units that the
reference critical current ``ic0`` and resistance ``r0`` set (1 mA and 5 ohm
unless given), and its results speak SI.  ``units="normalised"`` takes and
returns the normalised numbers themselves (see :mod:`loxant.elements`), for
physics work.

Nodes are named by strings or integers (an integer n is the node "n"); "0", 0
and "gnd" (any case) are ground.  A node comes into being when an element first
names it.  Element names are unique within a circuit.  Every element reports
phase and voltage as (first node - second node) and current as flowing through
it from its first node to its second.
"""

import functools
import math
import numbers
import warnings

from . import elements as el
from .elements.blocks import Block
from .errors import CircuitError, QuotedError, StartupWarning
from .kinds import BY_ADDER, KINDS, REQUIRED, make_adder
from .nodes import GROUND, node_name
from .simulation import simulate, startup_steps
from .units import BOLTZMANN, PHI0, Units, split_unit
from .waveforms import PWL, Rescaled

__all__ = ["PLAUSIBLE_TIME_UNITS", "UNIT_SYSTEMS", "Circuit"]

#: the spellings of ``Circuit(units=...)``
UNIT_SYSTEMS = ("SI", "normalised")
#: a bare number of seconds for a time of more than this many time units of
#: the circuit is taken for a slip (100 meaning 100 ps, say) and refused
PLAUSIBLE_TIME_UNITS = 1e7
#: the options of a run that are times, besides t_stop and dt
_TIMED = ("dt_min", "dt_max", "record_from", "initial_ramp", "print_step")
#: each adder's parameters by keyword, from the kind table
_PARAMS = {kind.adder: {p.name: p for p in kind.params} for kind in KINDS if kind.adder}


def _as_typed(value, symbol):
    """A value as the user wrote it: a string quoted, a number with its SI unit."""
    return repr(value) if isinstance(value, str) else f"{value!r} {symbol}"


def _quoting_input(method):
    """Errors quote the values as the user wrote them, not their normalised numbers."""

    @functools.wraps(method)
    def wrapper(self, *args, **kwargs):
        self._typed = {}
        try:
            return method(self, *args, **kwargs)
        except QuotedError as exc:
            if not any(name in self._typed for name, _, _ in exc.quoted):
                raise
            raise exc.quoting(self._typed) from None

    return wrapper


class _Noise:
    """The thermal noise settings, normalised, that both faces of a circuit share."""

    __slots__ = ("bandwidth", "temperature")

    def __init__(self):
        self.temperature = 0.0
        self.bandwidth = 0.0


class Circuit:
    """A circuit under construction; every adder returns the new element.

    ``units``: ``"SI"`` (values physical; ``ic0`` and ``r0`` set the units the
    run works in) or ``"normalised"``.  ``units`` is then the
    :class:`~loxant.units.Units` of the circuit, or None when normalised.
    """

    def __init__(self, title="", *, units="SI", ic0=None, r0=None):
        if units not in UNIT_SYSTEMS:
            raise CircuitError(f"units is 'SI' or 'normalised', got {units!r}")
        if units == "SI":
            self.units = Units("1mA" if ic0 is None else ic0, "5ohm" if r0 is None else r0)
        elif ic0 is not None or r0 is not None:
            raise CircuitError("ic0 and r0 set the units of an SI circuit, not a normalised one")
        else:
            self.units = None
        self.title = title
        self._elements = {}
        #: node name -> its number (1, 2, ... in order of first use)
        self._nodes = {}
        #: plain elements held as arrays (see :meth:`add_block`), unpacked into
        #: declarations when one of them is asked for as an object
        self._blocks = []
        self._noise = _Noise()
        #: the name of each value of one call ("resistance of R1", "dt") -> as written
        self._typed = {}

    # -- units -------------------------------------------------------------

    @property
    def system(self):
        """``"SI"`` or ``"normalised"``."""
        return "normalised" if self.units is None else "SI"

    @property
    def normalised(self):
        """This circuit (the same elements and nodes) in normalised units."""
        if self.units is None:
            return self
        face = Circuit.__new__(Circuit)
        face.__dict__.update(self.__dict__)
        face.units, face._typed = None, {}
        return face

    #: the normalised circuit, under the name the physical circuits gave it
    circuit = normalised

    @property
    def temperature(self):
        """Temperature of the thermal noise of every resistor and junction without a
        ``temp`` of its own (0: none): kelvin, or normalised as kT / (Ic0 Phi0 / 2 pi)."""
        if self.units is None:
            return self._noise.temperature
        return self._noise.temperature / self._per_kelvin()

    @temperature.setter
    def temperature(self, value):
        if self.units is not None:
            value = self._kelvin(value, "temperature")
        self._noise.temperature = value

    @property
    def noise_bandwidth(self):
        """Noise bandwidth, hertz or normalised (0: fresh noise every time step)."""
        if self.units is None:
            return self._noise.bandwidth
        return self._noise.bandwidth * self.units.scale["Hz"]

    @noise_bandwidth.setter
    def noise_bandwidth(self, value):
        if self.units is not None:
            value = self._value(value, "Hz", "noise bandwidth")
        self._noise.bandwidth = value

    # -- queries -----------------------------------------------------------

    @property
    def nodes(self):
        """Names of the nodes other than ground, in order of first use."""
        return list(self._nodes)

    @property
    def elements(self):
        """The elements (their values normalised), in order of declaration; the
        elements of blocks follow the others."""
        self.unpack()
        return list(self._elements.values())

    @property
    def blocks(self):
        """The :class:`~loxant.elements.blocks.Block` objects still held as arrays."""
        return list(self._blocks)

    @property
    def declarations(self):
        """The elements held one declaration each (all but those of blocks)."""
        return list(self._elements.values())

    def element_names(self):
        """Every element's name, in the order of :attr:`elements`, without
        unpacking the blocks."""
        names = list(self._elements)
        for block in self._blocks:
            names += block.names
        return names

    def __getitem__(self, name):
        element = self._elements.get(name)
        if element is None and self._block_holding(name) is not None:
            self.unpack()
            element = self._elements.get(name)
        if element is None:
            raise KeyError(f"no element named {name!r}")
        return element

    def __contains__(self, name):
        return name in self._elements or (
            bool(self._blocks) and self._block_holding(name) is not None
        )

    def __iter__(self):
        self.unpack()
        return iter(self._elements.values())

    def __len__(self):
        return len(self._elements) + sum(len(block) for block in self._blocks)

    def _block_holding(self, name):
        if not isinstance(name, str):
            return None
        return next((block for block in self._blocks if block.index(name) is not None), None)

    def copy_element(self, name, like, a, b):
        """A copy of the two-terminal element ``like`` (its kind and values, checked
        when it was declared) named ``name``, between ``a`` and ``b``: how a netlist
        adds thousands of junctions or sources of one model or waveform."""
        if len(like.nodes) != 2 or like is not self._elements.get(like.name):
            raise CircuitError(f"{name}: copies only a two-terminal element of this circuit")
        return self._two_terminal(_copied, name, a, b, like)

    # -- blocks ------------------------------------------------------------

    def add_block(self, adder, names, a, b, values):
        """Add ``len(names)`` elements of the kind of ``adder`` (``"resistor"``,
        ``"inductor"``, ``"capacitor"``) at once, held as arrays: ``a``, ``b``
        their node numbers (0 ground, k >= 1 the k-th of :attr:`nodes`; see
        :meth:`number_nodes`), ``values`` normalised.  Refuses the whole block
        when one element would be refused on its own, or a name is taken."""
        block = Block(adder, names, a, b, values)
        bad = block.first_refused(len(self._nodes))
        if bad is not None:
            self._refuse(block, bad)
        taken = set(self._elements)
        for other in self._blocks:
            taken.update(other.names)
        for name in block.names:
            if name in taken:
                raise CircuitError(f"duplicate element name {name!r}")
            taken.add(name)
        self._blocks.append(block)
        return block

    def node_numbers(self):
        """Node name -> its number (1 for the first of :attr:`nodes`), read in place."""
        return self._nodes

    def number_nodes(self, names):
        """The numbers of nodes ``names`` (canonical spellings, ground excluded),
        each added in order of first use where it is new."""
        nodes = self._nodes
        return [nodes.setdefault(name, len(nodes) + 1) for name in names]

    def _refuse(self, block, k):
        """Raise what declaring element ``k`` of ``block`` alone raises."""
        names, name = self.nodes, block.names[k]
        a, b = int(block.a[k]), int(block.b[k])
        if not (0 <= a <= len(names) and 0 <= b <= len(names)):
            raise CircuitError(f"{name}: node numbers {a} and {b}, of {len(names)} nodes")
        na = names[a - 1] if a else GROUND
        nb = names[b - 1] if b else GROUND
        self._check_ends(name, na, nb, na, nb)
        block.declaration(k, names)  # raises for its value
        raise CircuitError(f"{name}: refused")

    def unpack(self):
        """Every block's elements as single declarations, after the others."""
        if not self._blocks:
            return
        blocks = list(self._blocks)
        self._blocks.clear()  # in place: both faces of the circuit hold this list
        names = self.nodes
        for block in blocks:
            for k in range(len(block)):
                element = block.declaration(k, names)
                self._elements[element.name] = element

    def __repr__(self):
        lines = [f"Circuit({self.title!r}): {len(self._nodes)} nodes, {len(self)} elements"]
        lines += [f"  {element!r}" for element in self]
        text = "\n".join(lines)
        return text if self.units is None else f"{self.units!r}\n{text}"

    # -- element adders ----------------------------------------------------

    @_quoting_input
    def resistor(self, name, a, b, r, *, temp=None):
        """Resistor of resistance ``r`` between ``a`` and ``b``; ``temp`` (see
        :attr:`temperature`) gives it thermal noise of its own temperature."""
        (r,) = self._convert("resistor", name, r=r).values()
        temp = self._temp(name, temp)
        return self._noisy(self._two_terminal(el.Resistor, name, a, b, r), temp)

    @_quoting_input
    def inductor(self, name, a, b, l, *, branch=False):
        """Inductor of inductance ``l``; ``branch=True`` makes its current an unknown
        of its own (needed for ``l`` = 0; done anyway for coupled inductors)."""
        (l,) = self._convert("inductor", name, l=l).values()
        return self._two_terminal(el.Inductor, name, a, b, l, branch=branch)

    @_quoting_input
    def mutual(self, name, first, second, *, m=None, k=None):
        """Mutual inductance between the inductors named ``first`` and ``second``
        (already declared): ``m``, or the coupling factor ``k`` with M = k sqrt(L1 L2).
        Positive M when both currents, counted from each inductor's first node to its
        second, add their fluxes."""
        self._check_name(name)
        inductors = []
        if self._blocks and not {first, second} <= self._elements.keys():
            self.unpack()  # a coupled inductor has a branch of its own
        for ref in (first, second):
            element = self._elements.get(ref)
            if element is None:
                raise CircuitError(f"{name}: no inductor named {ref!r}")
            if not isinstance(element, el.Inductor):
                raise CircuitError(f"{name}: {ref!r} is a {element.kind}, not an inductor")
            inductors.append(element)
        if m is not None and self.units is not None:
            typed = m
            (m,) = self._convert("mutual", name, m=m).values()
            self._check_coupling(name, inductors, m, typed)
        return self._add(el.MutualInductance(name, *inductors, m=m, k=k))

    @_quoting_input
    def junction(self, name, a, b, *, ic=None, r=None, c=None, beta_c=None, temp=None, **law):
        """Josephson junction (RCSJ): I = Is(phase) + V / r + c dV/dt, Is = ic sin(phase)
        or, with ``phi`` (rad), ``cpr``, ``transparency``, ``thermal``, the law of
        :class:`~loxant.elements.Supercurrent` (``phi`` subtracted inside each
        harmonic of ``cpr``).  Give two of ``r``, ``c`` and the McCumber parameter
        ``beta_c`` (normalised: ``ic`` and ``r`` default to 1); ``temp`` as for
        :meth:`resistor` (the noise of r)."""
        return self._junction("junction", name, a, b, {"ic": ic, "r": r, "c": c}, beta_c, temp, law)

    @_quoting_input
    def junction_gap(
        self,
        name,
        a,
        b,
        *,
        ic=None,
        c=None,
        r0=None,
        rn=None,
        vg=None,
        delv=None,
        icfct=None,
        temp=None,
        **law,
    ):
        """Junction with a piecewise-linear quasiparticle branch: V / ``r0`` below
        ``vg`` - ``delv``/2, a rise of |ic| / ``icfct`` across the window of width
        ``delv``, V / ``rn`` (through the origin) above it; I = Is(phase) + Iqp(V) +
        c dV/dt, Is as for :meth:`junction`.  Each step solves with the piece of the
        voltage accepted last.  SI defaults: the dialect's gap voltage 2.8 mV, width
        0.1 mV, R0 30 ohm, Rn 5 ohm; icfct pi/4; ``temp`` as for :meth:`resistor`
        (the noise of r0)."""
        given = {"ic": ic, "r0": r0, "rn": rn, "c": c, "vg": vg, "delv": delv, "icfct": icfct}
        return self._junction("junction_gap", name, a, b, given, None, temp, law)

    @_quoting_input
    def junction_rsjn(
        self, name, a, b, *, ic=None, r=None, c=None, beta_c=None, v0=None, p=None, temp=None
    ):
        """Junction whose shunt conducts only above the knee voltage ``v0``
        (even exponent ``p``, 10 unless given): I = ic sin(phase) + G(V) V + c dV/dt,
        G = x / ((1 + x) r), x = (V / v0)**p; the rest as for :meth:`junction`."""
        given = {"ic": ic, "r": r, "c": c, "v0": v0, "p": p}
        return self._junction("junction_rsjn", name, a, b, given, beta_c, temp, {})

    @_quoting_input
    def junction_rsjph(self, name, a, b, *, ic=None, r=None, c=None, beta_c=None, theta, temp=None):
        """Junction with a shifted current-phase relation:
        I = ic sin(phase + theta) + V / r + c dV/dt (reports phase + theta, radians);
        the rest as for :meth:`junction`."""
        given = {"ic": ic, "r": r, "c": c, "theta": theta}
        return self._junction("junction_rsjph", name, a, b, given, beta_c, temp, {})

    @_quoting_input
    def junction_tjm(
        self,
        name,
        a,
        b,
        *,
        model,
        amplitude=None,
        c=None,
        frequency_factor=None,
        resistance_factor=None,
        pair_factor=None,
        kernel=None,
    ):
        """Tunnel junction of the microscopic model with the response kernel named
        ``model`` in ``loxant.lxconfig.tjm_models``; ``kernel=(A, B, P)`` supplies
        (and registers under that name) a kernel of one's own.  Normalised,
        ``amplitude`` and ``c`` default to 1."""
        arguments = locals()  # the table's parameters, in its order
        given = {key: arguments[key] for key in _PARAMS["junction_tjm"]}
        values = self._values(BY_ADDER["junction_tjm"], name, given)
        return self._two_terminal(el.JunctionTJM, name, a, b, *values.values())

    @_quoting_input
    def _declare(self, kind, name, nodes, control, params):
        """An element of ``kind``, its parameters in the circuit's units (the
        generated adders come here)."""
        if self.units is None:
            values = list(params)
        elif kind.form == "source":
            values = [self._waveform(params[0], kind.params[0].unit, name)]
        else:
            values = [self._param(p, value, name) for p, value in zip(kind.params, params)]
        if control is not None:
            values = [self._control(name, control), *values]
        if kind.nodes == 2 and control is None:
            return self._two_terminal(kind.declaration, name, *nodes, *values)
        return self._multi_port(kind.declaration, name, nodes, kind.ports, *values)

    # -- values --------------------------------------------------------------

    def _junction(self, adder, name, a, b, given, beta_c, temp, law):
        """A junction of the kind of ``adder``; ``given`` its table parameters by
        keyword (None: the default), ``beta_c`` may stand for r or c."""
        kind = BY_ADDER[adder]
        temp = self._temp(name, temp)
        missing = None
        if "r" in given:
            missing = self._shunt_missing(name, given, beta_c)
            if missing:
                given = {k: v for k, v in given.items() if k != missing}
        values = self._values(kind, name, given)
        if missing:
            values[missing] = self._from_beta_c(name, values, missing, beta_c)
        args = [values[p.name] for p in kind.params]
        element = self._two_terminal(kind.declaration, name, a, b, *args, **law)
        return self._noisy(element, temp)

    def _shunt_missing(self, name, given, beta_c):
        """Which of r and c ``beta_c`` gives (None: neither); two of r, c, beta_c
        are needed (a normalised r defaults to 1 without beta_c)."""
        defaulted = self.units is None and beta_c is None and given["r"] is None
        named = [k for k in ("r", "c") if given[k] is not None or (k == "r" and defaulted)]
        if beta_c is not None:
            named.append("beta_c")
        if len(named) != 2:
            raise CircuitError(f"{name}: give exactly two of r, c and beta_c, got {named}")
        if beta_c is None:
            return None
        return "c" if "r" in named else "r"

    def _from_beta_c(self, name, values, missing, beta_c):
        # normalised: beta_c = ic r**2 c
        beta_c = el.number(beta_c, f"beta_c of {name}")
        ic = el.number(values["ic"], f"critical current of {name}")
        if ic <= 0 or beta_c < 0:
            raise CircuitError(f"{name}: beta_c needs a positive ic and beta_c >= 0")
        if missing == "r":
            c = el.number(values["c"], f"capacitance of {name}")
            if c <= 0:
                raise CircuitError(f"{name}: beta_c needs a positive capacitance")
            return math.sqrt(beta_c / (ic * c))
        r = el.number(values["r"], f"resistance of {name}")
        return beta_c / (ic * r * r)

    def _values(self, kind, name, given):
        """``given`` ({keyword: value, None for the default}) of ``kind`` in the
        circuit's units, each by the unit of its parameter in the kind table."""
        params = _PARAMS[kind.adder]
        values, missing = {}, []
        for key, value in given.items():
            param = params[key]
            if value is None:
                value = param.default if self.units is None or not param.unit else param.si_default
                if value is REQUIRED:
                    missing.append(f"{key} ({param.what})")
                    continue
            values[key] = self._param(param, value, name)
        if missing:
            raise CircuitError(f"{name}: give {', '.join(missing)}")
        return values

    def _convert(self, adder, name, **values):
        """``values`` ({keyword: value}) of the adder ``adder`` normalised."""
        params = _PARAMS[adder]
        return {key: self._param(params[key], value, name) for key, value in values.items()}

    def _param(self, param, value, name):
        """One parameter's value normalised: every unit conversion of an adder is here."""
        if self.units is None or param.unit is None or value is None:
            return value  # a plain number: the element checks it
        if param.unit == "S":
            return el.number(value, f"{param.what} of {name}") * self.units.scale["ohm"]
        return self._value(value, param.unit, f"{param.what} of {name}")

    def _value(self, value, unit, what):
        try:
            normalised = self.units.to_normalised(value, unit)
        except (TypeError, ValueError) as exc:
            raise CircuitError(f"{what}: {exc}") from None
        self._typed[what] = _as_typed(value, split_unit(unit)[1])
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

    def _check_coupling(self, name, inductors, m, typed):
        """|M| <= sqrt(L1 L2), said in henries."""
        limit = math.sqrt(abs(inductors[0].l * inductors[1].l))  # one may be negative
        if limit > 0 and abs(m) > limit:
            raise CircuitError(
                f"{name}: |M| = {_as_typed(typed, 'H')} exceeds sqrt(L1*L2) = "
                f"{limit * self.units.scale['H'] * 1e12:.4g} pH (|k| > 1)"
            )

    def _per_kelvin(self):
        # kT over the reference Josephson energy Ic0 Phi0 / 2 pi
        return BOLTZMANN * 2 * math.pi / (PHI0 * self.units.ic0)

    def _kelvin(self, kelvin, what):
        if kelvin is None:
            return None
        if isinstance(kelvin, bool) or not isinstance(kelvin, numbers.Real):
            raise CircuitError(f"{what} is a number in kelvin, got {kelvin!r}")
        if not (math.isfinite(kelvin) and kelvin >= 0):
            raise CircuitError(f"{what} must be finite and not negative, got {kelvin!r}")
        return float(kelvin) * self._per_kelvin()

    def _temp(self, name, temp):
        if temp is None:
            return None
        if self.units is not None:
            return self._kelvin(temp, f"temperature of {name}")
        return el.number(temp, f"temperature of {name}", nonnegative=True)

    # -- simulation --------------------------------------------------------

    @_quoting_input
    def simulate(self, t_stop, dt=None, **options):
        """Transient simulation of this circuit (see :func:`loxant.simulation.simulate`
        for the options); returns :class:`~loxant.simulation.Results` in the
        circuit's units.  In SI the times ``t_stop``, ``dt``, ``dt_min``,
        ``dt_max``, ``record_from``, ``initial_ramp`` and ``print_step`` are
        physical, and ``settle=True`` runs the start-up period before t = 0: as
        many steps as :func:`~loxant.simulation.startup_steps` gives for the step
        in seconds (dt, or dt_max when adaptive), with a
        :class:`~loxant.errors.StartupWarning` when the circuit is still moving at
        its end."""
        if self.units is None:
            return simulate(self, t_stop, dt, **options)
        return self._simulate(t_stop, dt, options, exact=())

    @_quoting_input
    def simulate_seconds(self, t_stop, dt=None, **options):
        """:meth:`simulate` for times held as SI floats (a netlist's ``.tran``): a
        float time is seconds as it stands, never taken for a slip of the unit."""
        if self.units is None:
            raise CircuitError("simulate_seconds runs an SI circuit")
        return self._simulate(t_stop, dt, options, exact=(float,))

    def _simulate(self, t_stop, dt, options, exact):
        settle = options.pop("settle", False)
        times = {"t_stop": t_stop, "dt": dt}
        times.update({k: options.pop(k) for k in _TIMED if k in options})
        for key, value in times.items():
            if value is None:
                continue
            try:
                times[key] = self._value(value, "s", key)
                if type(value) not in exact:
                    self._check_plausible(key, value, times[key])
            except CircuitError as exc:
                exc.option = key
                raise
        adaptive = times["dt"] is None or {"rtol", "atol"} & set(options)
        step = times.get("dt_max") if adaptive and times.get("dt_max") else times["dt"]
        if settle and step is not None:
            options["settle_steps"] = startup_steps(step * self.units.scale["s"])
        t_stop, dt = times.pop("t_stop"), times.pop("dt")
        results = simulate(self.normalised, t_stop, dt, **times, **options)
        self._warn_if_moving(results.stats)
        return results.with_units(self.units)

    #: change of a node voltage over another start-up period, in the circuit's
    #: voltage unit, above which the circuit has not settled by its end
    STILL_MOVING = 1e-3

    def _warn_if_moving(self, stats):
        motion = stats.get("settle_motion", 0.0)
        if motion > self.STILL_MOVING:
            warnings.warn(
                StartupWarning(
                    f"the circuit is still moving at t = 0, after the start-up period of "
                    f"{stats['settle_steps']} steps: a node voltage changes by "
                    f"{motion * self.units.scale['V']:.3g} V over another such period"
                ),
                stacklevel=4,
            )

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

    # -- internals ---------------------------------------------------------

    def _check_name(self, name):
        if not isinstance(name, str) or not name.strip():
            raise CircuitError(f"element names are non-empty strings, got {name!r}")
        if name in self._elements or (self._blocks and self._block_holding(name) is not None):
            raise CircuitError(f"duplicate element name {name!r}")

    def _two_terminal(self, cls, name, a, b, *args, **kwargs):
        self._check_name(name)
        nodes = self._nodes
        # a node already named in its canonical spelling (every key of _nodes is
        # one) needs no canonicalising
        na = a if type(a) is str and (a in nodes or a == GROUND) else node_name(a)
        nb = b if type(b) is str and (b in nodes or b == GROUND) else node_name(b)
        self._check_ends(name, a, b, na, nb)
        element = cls(name, na, nb, *args, **kwargs)
        if na != GROUND:
            nodes.setdefault(na, len(nodes) + 1)
        if nb != GROUND:
            nodes.setdefault(nb, len(nodes) + 1)
        self._elements[name] = element
        return element

    @staticmethod
    def _check_ends(name, a, b, na, nb):
        if na == nb == GROUND:
            raise CircuitError(
                f"{name} connects ground to ground ({a!r} and {b!r} both name ground)"
            )
        if na == nb:
            raise CircuitError(f"{name} connects node {na!r} to itself")

    def _control(self, name, control):
        if control not in self._elements and self._block_holding(control) is not None:
            self.unpack()
        element = self._elements.get(control)
        if element is None:
            raise CircuitError(f"{name}: no element named {control!r} to take the current of")
        return element

    def _multi_port(self, cls, name, nodes, pairs, *args, **kwargs):
        """An element on ``nodes``; each of ``pairs`` (indices into ``nodes``) must
        join two different nodes."""
        self._check_name(name)
        names = tuple(node_name(n) for n in nodes)
        for x, y in pairs:
            if names[x] == names[y]:
                raise CircuitError(f"{name} connects node {names[x]!r} to itself")
        element = cls(name, *names, *args, **kwargs)
        nodes = self._nodes
        for node in names:
            if node != GROUND:
                nodes.setdefault(node, len(nodes) + 1)
        return self._add(element)

    @staticmethod
    def _noisy(element, temp):
        element.temp = temp
        return element

    def _add(self, element):
        self._elements[element.name] = element
        return element


def _copied(name, a, b, like):
    """A declaration as ``like`` under another name and nodes."""
    element = object.__new__(type(like))
    element.__dict__.update(like.__dict__)
    element.name, element.nodes = name, (a, b)
    return element


# capacitor, the sources, the transmission line and the controlled sources: in
# the units of their table entries
for _kind in KINDS:
    if _kind.generated:
        setattr(Circuit, _kind.adder, make_adder(_kind))
