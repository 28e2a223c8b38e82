"""``PhysicalResults``, kept for one release: SI :class:`~loxant.simulation.results.Results`."""

import warnings

from .results import Results

__all__ = ["PhysicalResults"]


class PhysicalResults(Results):
    """Deprecated: SI :class:`~loxant.simulation.results.Results` (``results.with_units(units)``)."""

    def __init__(self, results, units):
        warnings.warn(
            "PhysicalResults is deprecated: SI results are Results (results.with_units(units))",
            DeprecationWarning,
            stacklevel=2,
        )
        self.__dict__.update(results.with_units(units).__dict__)
