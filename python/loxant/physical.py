"""Circuits stated in physical units: :class:`PhysicalCircuit` mirrors
:class:`~loxant.circuit.Circuit` with values in amperes, ohms, henries, farads
and seconds (numbers in SI units or strings with units, see
:mod:`loxant.units`) and returns :class:`~loxant.simulation.PhysicalResults`::

    pc = PhysicalCircuit(ic0="250uA", r0="2ohm")
    pc.junction("J1", "a", "0", ic="250uA", beta_c=1.0, c="0.35pF")
    pc.current_source("I1", "0", "a", "300uA")
    res = pc.simulate(t_stop="100ps", dt="0.05ps")
    res.time("ps"), res.voltage("J1", "mV")
"""

import functools
import math
import numbers
import warnings

from .circuit import Circuit
from .elements import Inductor, number
from .errors import CircuitError, QuotedError, StartupWarning
from .kinds import KINDS, make_adder
from .simulation import PhysicalResults, simulate, startup_steps
from .units import BOLTZMANN, PHI0, Units, split_unit
from .waveforms import PWL, Rescaled

__all__ = ["PLAUSIBLE_TIME_UNITS", "PhysicalCircuit"]

#: each adder's parameters by keyword, from the kind table
_PARAMS = {kind.adder: {p.name: p for p in kind.params} for kind in KINDS if kind.adder}
_GAP = _PARAMS["junction_gap"]


#: a bare number of seconds for a time of more than this many time units of
#: the circuit is taken for a slip (100 meaning 100 ps, say) and refused
PLAUSIBLE_TIME_UNITS = 1e7
#: the options of a run that are times, besides t_stop and dt
_TIMED = ("dt_min", "dt_max", "record_from", "initial_ramp", "print_step")


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
        except QuotedError as exc:
            if not any(name in self._typed for name, _, _ in exc.quoted):
                raise
            raise exc.quoting(self._typed) from None

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
        #: the name of each value of one call ("resistance of R1", "dt") -> as written
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

    @_quoting_input
    def resistor(self, name, a, b, r, *, temp=None):
        """Resistor; ``temp`` in kelvin gives it thermal noise of its own temperature."""
        (r,) = self._convert("resistor", name, r=r).values()
        temp = self._temperature(temp, f"temperature of {name}")
        return self.circuit.resistor(name, a, b, r, temp=temp)

    @_quoting_input
    def inductor(self, name, a, b, l, *, branch=False):
        (l,) = self._convert("inductor", name, l=l).values()
        return self.circuit.inductor(name, a, b, l, branch=branch)

    @_quoting_input
    def mutual(self, name, first, second, *, m=None, k=None):
        """Mutual inductance ``m`` (in henries) or coupling factor ``k``."""
        if m is not None:
            typed = m
            (m,) = self._convert("mutual", name, m=m).values()
            self._check_coupling(name, (first, second), m, typed)
        return self.circuit.mutual(name, first, second, m=m, k=k)

    def _check_coupling(self, name, refs, m, typed):
        """|M| <= sqrt(L1 L2), said in henries."""
        inductors = [self.circuit[ref] for ref in refs if ref in self.circuit]
        if len(inductors) != 2 or not all(isinstance(e, Inductor) for e in inductors):
            return  # the circuit names what is missing
        limit = math.sqrt(abs(inductors[0].l * inductors[1].l))  # one may be negative
        if limit > 0 and abs(m) > limit:
            raise CircuitError(
                f"{name}: |M| = {_as_typed(typed, 'H')} exceeds sqrt(L1*L2) = "
                f"{limit * self.units.scale['H'] * 1e12:.4g} pH (|k| > 1)"
            )

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
        vg=_GAP["vg"].si_default,
        delv=_GAP["delv"].si_default,
        icfct=_GAP["icfct"].default,
        r0=_GAP["r0"].si_default,
        rn=_GAP["rn"].si_default,
        temp=None,
        **law,
    ):
        """Junction with a piecewise-linear quasiparticle branch (defaults: the
        dialect's gap voltage 2.8 mV, width 0.1 mV, icfct pi/4, R0 30 ohm, Rn 5 ohm);
        ``temp`` in kelvin as for :meth:`resistor`; the supercurrent ``law`` as for
        :meth:`junction`."""
        v = self._convert("junction_gap", name, ic=ic, c=c, vg=vg, delv=delv, r0=r0, rn=rn)
        v["temp"] = self._temperature(temp, f"temperature of {name}")
        return self.circuit.junction_gap(name, a, b, icfct=icfct, **v, **law)

    @_quoting_input
    def junction_rsjn(self, name, a, b, *, ic, r=None, c=None, beta_c=None, v0, p=10, temp=None):
        """Junction whose shunt conducts above the knee voltage ``v0`` (in volts)."""
        (v0,) = self._convert("junction_rsjn", name, v0=v0).values()
        params = self._junction(name, ic, r, c, beta_c)
        params["temp"] = self._temperature(temp, f"temperature of {name}")
        return self.circuit.junction_rsjn(name, a, b, v0=v0, p=p, **params)

    @_quoting_input
    def junction_rsjph(self, name, a, b, *, ic, r=None, c=None, beta_c=None, theta, temp=None):
        """Junction with the phase shift ``theta`` (radians)."""
        params = self._junction(name, ic, r, c, beta_c)
        params["temp"] = self._temperature(temp, f"temperature of {name}")
        (theta,) = self._convert("junction_rsjph", name, theta=theta).values()
        return self.circuit.junction_rsjph(name, a, b, theta=theta, **params)

    @_quoting_input
    def _declare(self, kind, name, nodes, control, params):
        """An element of ``kind``, its parameters turned from their units (the
        generated adders come here)."""
        if kind.form == "source":
            values = [self._waveform(params[0], kind.params[0].unit, name)]
        else:
            values = [self._param(p, value, name) for p, value in zip(kind.params, params)]
        return self.circuit._declare(kind, name, nodes, control, values)

    def _convert(self, adder, name, **values):
        """``values`` ({keyword: value}) of the adder ``adder`` normalised, each by
        the unit of its parameter in the kind table."""
        params = _PARAMS[adder]
        return {key: self._param(params[key], value, name) for key, value in values.items()}

    def _param(self, param, value, name):
        """One parameter's value normalised: every unit conversion of an adder is here."""
        if param.unit is None or value is None:
            return value  # a plain number: the circuit checks it
        if param.unit == "S":
            return number(value, f"{param.what} of {name}") * self.units.scale["ohm"]
        return self._value(value, param.unit, f"{param.what} of {name}")

    def _junction(self, name, ic, r, c, beta_c):
        given = [k for k, v in (("r", r), ("c", c), ("beta_c", beta_c)) if v is not None]
        if len(given) != 2:
            raise CircuitError(f"{name}: give exactly two of r, c and beta_c, got {given}")
        ic, r, c = self._convert("junction", name, ic=ic, r=r, c=c).values()
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
    def simulate(self, t_stop, dt=None, *, settle=False, **options):
        """Transient simulation (see :func:`loxant.simulation.simulate`); the times
        ``t_stop``, ``dt``, ``dt_min``, ``dt_max``, ``record_from``, ``initial_ramp`` and
        ``print_step`` are physical, the other options (``seed`` among them) as there.
        ``settle=True`` runs the start-up period before t = 0: as many steps as
        :func:`~loxant.simulation.startup_steps` gives for the step in seconds (dt,
        or dt_max when adaptive), with a :class:`~loxant.errors.StartupWarning`
        when the circuit is still moving at its end.
        Returns :class:`~loxant.simulation.PhysicalResults`."""
        return self._simulate(t_stop, dt, options, exact=(), settle=settle)

    @_quoting_input
    def simulate_seconds(self, t_stop, dt=None, *, settle=False, **options):
        """:meth:`simulate` for times held as SI floats (a netlist's ``.tran``): a
        float time is seconds as it stands, never taken for a slip of the unit."""
        return self._simulate(t_stop, dt, options, exact=(float,), settle=settle)

    def _simulate(self, t_stop, dt, options, exact, settle):
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
        results = simulate(self.circuit, times.pop("t_stop"), times.pop("dt"), **times, **options)
        self._warn_if_moving(results.stats)
        return PhysicalResults(results, self.units)

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
                stacklevel=3,
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


# capacitor, the sources, the transmission line and the controlled sources: in
# the units of their table entries
for _kind in KINDS:
    if _kind.generated:
        setattr(PhysicalCircuit, _kind.adder, make_adder(_kind))
