"""The base of every source waveform, and the bounds every one keeps."""

import math

__all__ = ["MOST_BREAKPOINTS", "MOST_SAMPLES", "Waveform", "finite"]

# Most corner times one waveform reports to the adaptive step (a long periodic
# pulse or a fine noise source would otherwise force millions of them).
MOST_BREAKPOINTS = 100_000
# Most samples of a custom waveform (8 bytes each, held twice: here and natively).
MOST_SAMPLES = 10_000_000


def finite(value, what):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be a number, got {type(value).__name__}") from None
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, got {number}")
    return number


class Waveform:
    """Base class: ``waveform(t)`` returns the value at time ``t``."""

    def __call__(self, t):
        raise NotImplementedError

    def breakpoints(self, t_stop):
        """Times in (0, t_stop] where the waveform has a corner: an adaptive step
        lands on each of them.  None by default."""
        return []
