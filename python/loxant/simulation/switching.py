"""Where a phase passes an odd multiple of pi: the instants a junction switches.

Between two samples the phase is taken as straight, so that a crossing is
interpolated; a sample interval may hold several crossings, each one reported.
"""

import math

import numpy as np

__all__ = ["crossings", "first_crossing"]

TWO_PI = 2.0 * math.pi


#: most crossings :func:`crossings` lists in one call
MAX_CROSSINGS = 1_000_000


def crossings(time, phase, limit=None, name="the junction"):
    """(times, signs) of the passages of the phase through odd multiples of pi.
    More than ``limit`` passages (default :data:`MAX_CROSSINGS`) are refused
    (ValueError, naming ``name``) before any is listed."""
    # turn index: floor((phase + pi) / 2 pi) steps by one at every odd multiple of pi
    index = np.floor((phase + math.pi) / TWO_PI)
    step = np.diff(index)
    counts = np.abs(step).astype(np.int64)
    total = int(counts.sum())
    limit = MAX_CROSSINGS if limit is None else limit
    if total > limit:
        raise ValueError(
            f"{name} switches {total:,} times, more than the {limit:,} a measure "
            "lists: shorten the run or measure another junction"
        )
    # one event per level passed; a sample interval may hold several
    moving = counts[counts > 0]
    k = np.repeat(np.flatnonzero(counts), moving)
    signs = np.sign(step[k]).astype(int)
    nth = np.arange(total) - np.repeat(np.cumsum(moving) - moving, moving)
    levels = index[k] + signs * nth + (signs > 0)
    at = (2 * levels - 1) * math.pi
    p0, p1, t0, t1 = phase[k], phase[k + 1], time[k], time[k + 1]
    times = t0 + (at - p0) / (p1 - p0) * (t1 - t0)
    return times.astype(float), signs


def first_crossing(time, phase):
    """Time of the first crossing (either way), or None if there is none; only
    the sample interval that holds it is looked at closely."""
    time, phase = np.asarray(time, dtype=float), np.asarray(phase, dtype=float)
    moves = np.flatnonzero(np.diff(np.floor((phase + math.pi) / TWO_PI)))
    if not len(moves):
        return None
    k = moves[0]
    times, _ = crossings(time[k : k + 2], phase[k : k + 2], limit=math.inf)
    return float(times[0])
