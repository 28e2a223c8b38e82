"""``PhysicalCircuit``, kept for one release: a :class:`~loxant.circuit.Circuit`
in SI units, ``Circuit(title, ic0=..., r0=...)``."""

import warnings

from .circuit import PLAUSIBLE_TIME_UNITS, Circuit

__all__ = ["PLAUSIBLE_TIME_UNITS", "PhysicalCircuit"]


class PhysicalCircuit(Circuit):
    """Deprecated: ``Circuit(title, units="SI", ic0=ic0, r0=r0)`` is the same circuit."""

    def __init__(self, ic0, r0, title=""):
        warnings.warn(
            "PhysicalCircuit is deprecated: Circuit(title, ic0=..., r0=...) states values in SI",
            DeprecationWarning,
            stacklevel=2,
        )
        super().__init__(title, units="SI", ic0=ic0, r0=r0)
