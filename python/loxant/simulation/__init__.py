"""Simulation of a described circuit: the front door :func:`simulate`, its
options (:class:`RunOptions`, checked once and handed to either engine), the
assembly of the system, what is recorded (probes), the results, and the two
engines (the native loop and the Python reference loop), chosen by name.

This layer reads only the declarations below it (elements, waveforms, nodes,
units); the circuit builders, the netlist reader and the analyses sit above
it and hand it what they describe.
"""

from .options import RunOptions
from .physical_results import PhysicalResults
from .probes import Probe, parse_probe
from .results import Results
from .run import simulate, startup_steps

__all__ = [
    "PhysicalResults",
    "Probe",
    "Results",
    "RunOptions",
    "parse_probe",
    "simulate",
    "startup_steps",
]
