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

import importlib
import importlib.util

from .errors import (
    CircuitError,
    ConvergenceError,
    RunLimitError,
    SimulationError,
    SingularMatrixError,
)
from .version import __version__

#: the public names that need NumPy, by the module that defines them: loaded on
#: first use, so that a command loads only what it runs
_HOMES = {
    "Circuit": "circuit",
    "simulate": "frontdoor",
    "Netlist": "netlist",
    "NetlistError": "netlist",
    "read_netlist": "netlist",
    "PhysicalCircuit": "physical",
    "PhysicalResults": "simulation",
    "Results": "simulation",
    "Units": "units",
    **dict.fromkeys(
        ("PWL", "PWS", "Constant", "Custom", "DampedSine", "Exp", "Noise", "Pulse", "Sine"),
        "waveforms",
    ),
    **dict.fromkeys(
        ("characterize", "iv_curve", "margins", "optimize", "sweep", "yield_analysis"), "analysis"
    ),
}


def __getattr__(name):
    if name not in _HOMES:
        if importlib.util.find_spec(f"{__name__}.{name}") is None:
            raise AttributeError(f"module 'loxant' has no attribute {name!r}")
        return importlib.import_module(f"{__name__}.{name}")  # loxant.netlist and the like
    home = importlib.import_module(f"{__name__}.{_HOMES[name]}")
    value = getattr(home, name)
    if _HOMES[name] != "analysis":  # analyses stay behind the hook: many simulations
        globals()[name] = value  # a plain name from now on
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))


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
