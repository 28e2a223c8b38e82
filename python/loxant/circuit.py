"""Circuit description: nodes and elements, declared one call at a time.

Example::

    c = Circuit()
    c.junction("J1", "n1", "0", ic=1.0, r=1.0, c=0.1)
    c.current_source("I1", "0", "n1", value=1.2)
    res = c.simulate(t_stop=200.0, dt=0.02)

Nodes are named by strings or integers (an integer n is the node "n"); "0", 0
and "gnd" (any case) are ground.  A node comes into being when an element first
names it.  Element names are unique within a circuit.  All values are in
normalised units (see :mod:`loxant.elements`); every element reports phase and
voltage as (first node - second node) and current as flowing through it from
its first node to its second.
"""

import math

from . import elements as el
from .errors import CircuitError
from .kinds import KINDS, make_adder
from .nodes import GROUND, node_name
from .simulation import simulate

__all__ = ["Circuit"]


class Circuit:
    """A circuit under construction; every adder returns the new element."""

    def __init__(self, title=""):
        self.title = title
        #: temperature of the thermal noise of every resistor and junction that has
        #: no ``temp`` of its own, normalised as kT / (Ic0 Phi0 / 2 pi); 0: none
        self.temperature = 0.0
        #: noise bandwidth (normalised frequency); 0: fresh noise every step
        self.noise_bandwidth = 0.0
        self._elements = {}
        self._nodes = {}

    # -- queries -----------------------------------------------------------

    @property
    def nodes(self):
        """Names of the nodes other than ground, in order of first use."""
        return list(self._nodes)

    @property
    def elements(self):
        """The elements, in order of declaration."""
        return list(self._elements.values())

    def __getitem__(self, name):
        try:
            return self._elements[name]
        except KeyError:
            raise KeyError(f"no element named {name!r}") from None

    def __contains__(self, name):
        return name in self._elements

    def __iter__(self):
        return iter(self._elements.values())

    def __len__(self):
        return len(self._elements)

    def __repr__(self):
        lines = [f"Circuit({self.title!r}): {len(self._nodes)} nodes, {len(self)} elements"]
        lines += [f"  {element!r}" for element in self]
        return "\n".join(lines)

    # -- element adders ----------------------------------------------------

    def resistor(self, name, a, b, r, *, temp=None):
        """Resistor of resistance ``r`` between ``a`` and ``b``; ``temp`` (normalised,
        see :attr:`temperature`) gives it thermal noise of its own temperature."""
        temp = self._temp(name, temp)
        return self._noisy(self._two_terminal(el.Resistor, name, a, b, r), temp)

    def inductor(self, name, a, b, l, *, branch=False):
        """Inductor of inductance ``l``; ``branch=True`` makes its current an unknown
        of its own (needed for ``l`` = 0; done anyway for coupled inductors)."""
        return self._two_terminal(el.Inductor, name, a, b, l, branch=branch)

    def mutual(self, name, first, second, *, m=None, k=None):
        """Mutual inductance between the inductors named ``first`` and ``second``
        (already declared): ``m``, or the coupling factor ``k`` with M = k sqrt(L1 L2).
        Positive M when both currents, counted from each inductor's first node to its
        second, add their fluxes."""
        self._check_name(name)
        inductors = []
        for ref in (first, second):
            element = self._elements.get(ref)
            if element is None:
                raise CircuitError(f"{name}: no inductor named {ref!r}")
            if not isinstance(element, el.Inductor):
                raise CircuitError(f"{name}: {ref!r} is a {element.kind}, not an inductor")
            inductors.append(element)
        return self._add(el.MutualInductance(name, *inductors, m=m, k=k))

    def junction(self, name, a, b, *, ic=1.0, r=1.0, c, temp=None, **law):
        """Josephson junction (RCSJ): I = Is(phase) + V / r + c dV/dt, Is = ic sin(phase)
        or, with ``phi``, ``cpr``, ``transparency``, ``thermal``, the law of
        :class:`~loxant.elements.Supercurrent` (``phi`` subtracted inside each
        harmonic of ``cpr``); ``temp`` as for :meth:`resistor` (the noise of r)."""
        temp = self._temp(name, temp)
        element = self._two_terminal(el.Junction, name, a, b, ic, r, c, **law)
        return self._noisy(element, temp)

    def junction_gap(
        self, name, a, b, *, ic=1.0, c, r0, rn, vg, delv, icfct=math.pi / 4, temp=None, **law
    ):
        """Junction with a piecewise-linear quasiparticle branch: V / ``r0`` below
        ``vg`` - ``delv``/2, a rise of |ic| / ``icfct`` across the window of width
        ``delv``, V / ``rn`` (through the origin) above it; I = Is(phase) + Iqp(V) +
        c dV/dt, Is as for :meth:`junction`.  Each step solves with the piece of the
        voltage accepted last; ``temp`` as for :meth:`resistor` (the noise of r0)."""
        temp = self._temp(name, temp)
        element = self._two_terminal(
            el.JunctionGap, name, a, b, ic, r0, rn, c, vg, delv, icfct, **law
        )
        return self._noisy(element, temp)

    def junction_rsjn(self, name, a, b, *, ic=1.0, r=1.0, c, v0=4.3, p=10, temp=None):
        """Junction whose shunt conducts only above the knee voltage ``v0``
        (even exponent ``p``): I = ic sin(phase) + G(V) V + c dV/dt,
        G = x / ((1 + x) r), x = (V / v0)**p; ``temp`` as for :meth:`resistor`."""
        temp = self._temp(name, temp)
        element = self._two_terminal(el.JunctionRSJN, name, a, b, ic, r, c, v0, p)
        return self._noisy(element, temp)

    def junction_rsjph(self, name, a, b, *, ic=1.0, r=1.0, c, theta, temp=None):
        """Junction with a shifted current-phase relation:
        I = ic sin(phase + theta) + V / r + c dV/dt (reports phase + theta); ``temp``
        as for :meth:`resistor`."""
        temp = self._temp(name, temp)
        element = self._two_terminal(el.JunctionRSJPH, name, a, b, ic, r, c, theta)
        return self._noisy(element, temp)

    def junction_tjm(
        self,
        name,
        a,
        b,
        *,
        model,
        amplitude=1.0,
        c=1.0,
        frequency_factor=2.6 / 0.63,
        resistance_factor=0.6,
        pair_factor=0.1,
        kernel=None,
    ):
        """Tunnel junction of the microscopic model with the response kernel named
        ``model`` in ``loxant.lxconfig.tjm_models``; ``kernel=(A, B, P)`` supplies
        (and registers under that name) a kernel of one's own."""
        return self._two_terminal(
            el.JunctionTJM,
            name,
            a,
            b,
            model,
            amplitude,
            c,
            frequency_factor,
            resistance_factor,
            pair_factor,
            kernel,
        )

    # -- simulation --------------------------------------------------------

    def simulate(self, t_stop, dt=None, **options):
        """Transient simulation of this circuit; see :func:`loxant.simulation.simulate`."""
        return simulate(self, t_stop, dt, **options)

    # -- internals ---------------------------------------------------------

    def _check_name(self, name):
        if not isinstance(name, str) or not name.strip():
            raise CircuitError(f"element names are non-empty strings, got {name!r}")
        if name in self._elements:
            raise CircuitError(f"duplicate element name {name!r}")

    def _two_terminal(self, cls, name, a, b, *args, **kwargs):
        self._check_name(name)
        nodes = self._nodes
        # a node already named in its canonical spelling (every key of _nodes is
        # one) needs no canonicalising
        na = a if type(a) is str and (a in nodes or a == GROUND) else node_name(a)
        nb = b if type(b) is str and (b in nodes or b == GROUND) else node_name(b)
        if na == nb == GROUND:
            raise CircuitError(
                f"{name} connects ground to ground ({a!r} and {b!r} both name ground)"
            )
        if na == nb:
            raise CircuitError(f"{name} connects node {na!r} to itself")
        element = cls(name, na, nb, *args, **kwargs)
        if na != GROUND:
            nodes.setdefault(na, None)
        if nb != GROUND:
            nodes.setdefault(nb, None)
        self._elements[name] = element
        return element

    def _declare(self, kind, name, nodes, control, params):
        """An element of ``kind`` (the generated adders come here)."""
        if control is not None:
            params = (self._control(name, control), *params)
        if kind.nodes == 2 and control is None:
            return self._two_terminal(kind.declaration, name, *nodes, *params)
        return self._multi_port(kind.declaration, name, nodes, kind.ports, *params)

    def _control(self, name, control):
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
        for node in names:
            if node != GROUND:
                self._nodes.setdefault(node, None)
        return self._add(element)

    @staticmethod
    def _temp(name, temp):
        if temp is None:
            return None
        return el.number(temp, f"temperature of {name}", nonnegative=True)

    @staticmethod
    def _noisy(element, temp):
        element.temp = temp
        return element

    def _add(self, element):
        self._elements[element.name] = element
        return element


# capacitor, the sources, the transmission line and the controlled sources
for _kind in KINDS:
    if _kind.generated:
        setattr(Circuit, _kind.adder, make_adder(_kind))
