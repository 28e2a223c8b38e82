"""Where a phase passes an odd multiple of pi: the instants a junction switches.

Between two samples the phase is taken as straight, so that a crossing is
interpolated; a sample interval may hold several crossings, each one reported.
"""

import math

import numpy as np

__all__ = ["crossings", "first_crossing"]

TWO_PI = 2.0 * math.pi


def crossings(time, phase):
    """(times, signs) of the passages of the phase through odd multiples of pi."""
    # turn index: floor((phase + pi) / 2 pi) steps by one at every odd multiple of pi
    index = np.floor((phase + math.pi) / TWO_PI)
    steps = np.flatnonzero(np.diff(index))
    times, signs = [], []
    for k in steps:
        p0, p1, t0, t1 = phase[k], phase[k + 1], time[k], time[k + 1]
        first, last = index[k], index[k + 1]
        sign = 1 if last > first else -1
        # one event per level passed; a sample interval may hold several
        levels = np.arange(first, last, sign) + (1 if sign > 0 else 0)
        for level in levels:
            at = (2 * level - 1) * math.pi
            times.append(t0 + (at - p0) / (p1 - p0) * (t1 - t0))
            signs.append(sign)
    return np.array(times, dtype=float), np.array(signs, dtype=int)


def first_crossing(time, phase):
    """Time of the first crossing (either way), or None if there is none."""
    times, _ = crossings(np.asarray(time, dtype=float), np.asarray(phase, dtype=float))
    return float(times[0]) if len(times) else None
