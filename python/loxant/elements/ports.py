"""Elements with more than two nodes or a controlling branch: the transmission
line and the controlled sources."""

from ..errors import CircuitError
from .base import BRANCH, TWO_TERMINAL, Element, Inductor, number


class MultiPort(Element):
    """An element with more than two nodes or a controlling branch.

    ``model_letters``: the model constructor's unknowns before ``eindex`` (which
    node pairs conduct is the kind's, in :mod:`loxant.kinds`).
    """

    model_letters = ("i", "j", "k", "l")

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

    @property
    def has_branch(self):
        return False
