"""Analyses over many simulations: margins, yield and sweeps, in parallel on Dask.

* :func:`margins` - how far each parameter can move before the circuit fails;
* :func:`yield_analysis` - the fraction of circuits that work under spread;
* :func:`sweep` - measures over a grid of parameter values;
* :func:`optimize` - the values that widen the critical margin;
* :func:`verify` - one run judged by josim-tools' file of expected switching (:mod:`.expected`);
* :func:`iv_curve` - the I-V curve of a junction model, both branches;
* :func:`characterize` - a cell's state machine, delays and constraints, as SDF and Liberty;
* :mod:`loxant.analysis.events` - switching times, delays and mean voltages.

Each analysis takes a circuit, a physical circuit, a netlist or a netlist's
path, and ``client``: ``"auto"`` (the default) runs in this process unless a
local Dask cluster would finish sooner, None always in this process,
``"local"`` always on a local cluster with one worker process per core, and a
``distributed.Client`` or a scheduler address on that cluster.  Names are
case-insensitive, and ``B1.X1`` and ``B1|X1`` name the same device.
"""

from .characterize import Characterization, characterize
from .criterion import EventCriterion
from .design import (
    GLOBAL_BIAS,
    GLOBAL_CRITICAL_CURRENT,
    GLOBAL_INDUCTANCE,
    GLOBAL_RESISTANCE,
    Design,
)
from .events import (
    Delay,
    MeanVoltage,
    SwitchCount,
    delay,
    delays,
    events,
    mean_voltage,
    print_switching_times,
    switching_times,
)
from .expected import ExpectedCriterion, ExpectedSwitching, read_expected
from .iv import iv_curve
from .margins import MarginResult, margins
from .montecarlo import YieldResult, yield_analysis
from .optimize import OptimizeResult, optimize
from .runner import REASONS, Outcome
from .sweep import Measures, scale, sweep
from .verify_command import verify

__all__ = [
    "GLOBAL_BIAS",
    "GLOBAL_CRITICAL_CURRENT",
    "GLOBAL_INDUCTANCE",
    "GLOBAL_RESISTANCE",
    "REASONS",
    "Characterization",
    "Delay",
    "Design",
    "EventCriterion",
    "ExpectedCriterion",
    "ExpectedSwitching",
    "MarginResult",
    "MeanVoltage",
    "Measures",
    "OptimizeResult",
    "Outcome",
    "SwitchCount",
    "YieldResult",
    "characterize",
    "delay",
    "delays",
    "events",
    "iv_curve",
    "margins",
    "mean_voltage",
    "optimize",
    "print_switching_times",
    "read_expected",
    "scale",
    "sweep",
    "switching_times",
    "verify",
    "yield_analysis",
]
