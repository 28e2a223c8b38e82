"""``PhysicalResults``, kept for one release: SI :class:`~loxant.simulation.results.Results`."""

import warnings

from .probes import Probe
from .results import Results

__all__ = ["PhysicalResults"]


class PhysicalResults(Results):
    """Deprecated: SI :class:`~loxant.simulation.results.Results` (``results.with_units(units)``).
    Only :meth:`trace` differs: it returns ``(unit, values)`` as it used to."""

    def __init__(self, results, units):
        warnings.warn(
            "PhysicalResults is deprecated: SI results are Results (results.with_units(units))",
            DeprecationWarning,
            stacklevel=2,
        )
        self.__dict__.update(results.with_units(units).__dict__)

    def trace(self, probe):
        """``(unit, values)`` of a probe in SI units (rad, V or A)."""
        probe = probe if isinstance(probe, Probe) else self.probe(probe)
        return probe.symbol, Results.trace(self, probe)
