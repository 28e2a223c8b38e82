"""loxant: transient simulation of superconducting circuits.

Describe a circuit with :class:`Circuit` (SI units by default; ``units="normalised"``
for phases in radians, currents in units of a reference critical current,
voltage = d phase / dt), or read a netlist with :func:`read_netlist`, and
run either with :func:`simulate`, the one front door; :func:`margins`,
:func:`yield_analysis`, :func:`sweep` and :func:`optimize` (in :mod:`loxant.analysis`)
run many simulations, in parallel on
Dask.  The numerical core lives in two extension modules,
``loxant.CircuitKernel`` (element models and assembly kernels) and
``loxant.SparseDirect`` (the KLU sparse solver); ``lxglobals``,
``SimulationParameters`` and ``lxconfig`` hold the state they share.
"""

from .circuit import Circuit
from .errors import (
    CircuitError,
    ConvergenceError,
    RunLimitError,
    SimulationError,
    SingularMatrixError,
)
from .frontdoor import simulate
from .netlist import Netlist, NetlistError, read_netlist
from .physical import PhysicalCircuit
from .simulation import PhysicalResults, Results
from .units import Units
from .version import __version__
from .waveforms import PWL, PWS, Constant, Custom, DampedSine, Exp, Noise, Pulse, Sine

#: analyses, imported on first use: a plain simulation does without loading them
_ANALYSES = ("characterize", "iv_curve", "margins", "optimize", "sweep", "yield_analysis")


def __getattr__(name):
    if name in _ANALYSES:
        from . import analysis

        return getattr(analysis, name)
    raise AttributeError(f"module 'loxant' has no attribute {name!r}")


__all__ = [
    "PWL",
    "PWS",
    "Circuit",
    "CircuitError",
    "Constant",
    "ConvergenceError",
    "Custom",
    "DampedSine",
    "Exp",
    "Netlist",
    "NetlistError",
    "Noise",
    "PhysicalCircuit",
    "PhysicalResults",
    "Pulse",
    "Results",
    "RunLimitError",
    "SimulationError",
    "Sine",
    "SingularMatrixError",
    "Units",
    "__version__",
    "characterize",
    "iv_curve",
    "margins",
    "optimize",
    "read_netlist",
    "simulate",
    "sweep",
    "yield_analysis",
]
