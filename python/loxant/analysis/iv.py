"""The current-voltage curve of one junction model.

:func:`iv_curve` drives a single junction of the model with a slow staircase of
bias currents, 0 -> +max -> -max -> 0, and reads at each level the time-averaged
voltage over whole Josephson periods: the mean of V over the window from the
first to the last 2 pi crossing of the phase, which is exactly 2 pi n / dt for
n whole periods (Phi0 / 2 pi times it in volts).  Because the bias changes in
small steps and the junction is never reset, both branches of a hysteretic
junction show: column ``direction`` says whether the current was rising ("up")
or falling ("down") at that level::

    from loxant.analysis import iv_curve
    table = iv_curve({"rtype": 1, "icrit": 100e-6, "rn": 16, "r0": 160, "cap": 0.07e-12},
                     "300uA")
    table[table.direction == "up"].plot(x="current", y="voltage")
"""

import math

import numpy as np

from .. import jjmodel
from ..circuit import Circuit
from ..errors import CircuitError
from ..simulation import options as run_options
from ..units import PHI0, to_si
from .display import iv_table

__all__ = ["iv_curve", "whole_period_mean"]

TWO_PI = 2 * math.pi
#: a sweep of more levels than this is almost certainly a slip of the caller
MAX_LEVELS = 20_000
#: bytes of one sample of the sweep's recording: the time and the phase
SAMPLE_BYTES = 16


def _as_model(model):
    if isinstance(model, jjmodel.ModelJJ):
        return model
    if isinstance(model, dict):
        try:
            return jjmodel.junction_model({str(k).upper(): v for k, v in model.items()})
        except (jjmodel.JunctionModelError, TypeError) as exc:
            raise CircuitError(f"junction model: {exc}") from None
    raise CircuitError(
        f"iv_curve takes a jjmodel.ModelJJ or a dict of .model parameters, got "
        f"{type(model).__name__}"
    )


def _levels(points):
    """Bias levels per unit of max: 0 -> 1 -> -1 -> 0 in steps of 1 / points."""
    rise = np.arange(0, points + 1) / points
    fall = 1 - np.arange(1, 2 * points + 1) / points
    back = -1 + np.arange(1, points + 1) / points
    levels = np.concatenate([rise, fall, back])
    direction = ["up"] * (points + 1) + ["down"] * (2 * points) + ["up"] * points
    return levels, direction


def whole_period_mean(t, phase):
    """Mean of d(phase)/dt over whole 2 pi periods: from the first to the last
    crossing of a multiple of 2 pi (interpolated); over the whole window when
    the phase turns less than twice."""
    start, end = phase[0], phase[-1]
    sign = 1.0 if end >= start else -1.0
    first = math.floor(sign * start / TWO_PI) + 1
    last = math.floor(sign * end / TWO_PI)
    if last - first < 1:
        return (end - start) / (t[-1] - t[0])
    turned = sign * phase
    times = []
    for level in (first * TWO_PI, last * TWO_PI):
        k = int(np.argmax(turned >= level))
        times.append(_crossing(t, turned, k, level))
    return sign * (last - first) * TWO_PI / (times[1] - times[0])


def _crossing(t, turned, k, level):
    """When ``turned`` reaches ``level`` between samples k - 1 and k: the root
    there of the cubic through the four samples around them (the samples may be
    a few steps apart), else of the line through the two."""
    h = t[k] - t[k - 1]
    fraction = (level - turned[k - 1]) / (turned[k] - turned[k - 1])
    if k < 2 or k + 1 >= len(t):
        return t[k - 1] + fraction * h
    around = slice(k - 2, k + 2)
    cubic = np.polyfit((t[around] - t[k - 1]) / h, turned[around] - level, 3)
    roots = [r.real for r in np.roots(cubic) if abs(r.imag) < 1e-9 and -1e-9 <= r.real <= 1 + 1e-9]
    if not roots:
        return t[k - 1] + fraction * h
    return t[k - 1] + h * min(roots, key=lambda r: abs(r - fraction))


def _time_scales(model, units):
    """(settling time, averaging window, step) in seconds for the model."""
    tau = units.scale["s"]
    slowest = max(model.rn, model.r0 if model.rtype == 1 else 0.0) * model.cap
    settle = max(50 * tau, 5 * slowest)
    return settle, max(100 * tau, 2 * settle), tau / 20


def iv_curve(model, max_current, *, points=50, settle=None, window=None, dt=None, progress=None):
    """The I-V curve of one junction of ``model`` (a :class:`~loxant.jjmodel.ModelJJ`,
    from :meth:`Netlist.junction_model <loxant.netlist.Netlist.junction_model>`,
    or a dict of ``.model`` parameters in SI units) swept to +-``max_current``
    (amperes, or a string such as ``"300uA"``) in ``points`` steps per quarter.

    At each level the bias is held for ``settle`` (seconds; default five times
    the slowest RC time, at least 50 time units) and then for ``window``, over
    which the voltage is averaged; ``dt`` is the time step (default 1/20 of the
    time unit Phi0 / (2 pi Ic Rn)).  Returns a pandas DataFrame with columns
    ``current`` (A), ``voltage`` (V) and ``direction`` ("up" or "down"), whose
    ``plot()`` draws the curve (a matplotlib Figure; ``plot(path)`` writes it)."""

    model = _as_model(model)
    top = to_si(max_current, "A")
    if not (math.isfinite(top) and top > 0):
        raise CircuitError(f"the largest current must be positive, got {max_current!r}")
    if isinstance(points, bool) or not isinstance(points, int) or not 1 <= points:
        raise CircuitError(f"points must be a positive whole number, got {points!r}")
    if 4 * points + 1 > MAX_LEVELS:
        raise CircuitError(f"points = {points} gives more than {MAX_LEVELS} bias levels")
    if model.icrit == 0:
        raise CircuitError("the junction model has no critical current (icrit = 0)")
    try:
        pc = Circuit("I-V curve", ic0=abs(model.icrit), r0=model.rn)
    except CircuitError as exc:
        raise CircuitError(f"the junction model's icrit and rn: {exc}") from None
    own_settle, own_window, own_dt = _time_scales(model, pc.units)
    settle = own_settle if settle is None else to_si(settle, "s")
    window = own_window if window is None else to_si(window, "s")
    dt = own_dt if dt is None else to_si(dt, "s")
    if not (settle >= 0 and window > 0 and dt > 0 and window >= 10 * dt):
        raise CircuitError("need settle >= 0, window > 0 and dt > 0 with window >= 10 dt")
    hold = settle + window
    levels, direction = _levels(points)
    if (hold * len(levels)) / dt > 1e9:
        raise CircuitError("the sweep would take more than 1e9 time steps")
    ramp = min(10 * dt, 0.1 * settle) if settle > 0 else dt
    bias = [(0.0, 0.0)]
    for k in range(1, len(levels)):
        bias += [(k * hold, levels[k - 1] * top), (k * hold + ramp, levels[k] * top)]
    getattr(pc, model.adder)("B1", "A", "0", **model.instance())
    pc.current_source("I1", "0", "A", bias)
    t_stop = hold * len(levels)
    res = pc.simulate(
        t_stop=t_stop,
        dt=dt,
        record=["phase(B1)"],
        record_every=_record_every(t_stop, dt),
        progress=progress,
    )
    t, phase = res.time("s"), res.phase("B1")
    starts = np.searchsorted(t, np.arange(len(levels)) * hold + settle, side="left")
    ends = np.searchsorted(t, np.arange(1, len(levels) + 1) * hold, side="right")
    volts = [
        whole_period_mean(t[start:end], phase[start:end]) * PHI0 / TWO_PI
        for start, end in zip(starts, ends)
    ]
    return iv_table({"current": levels * top, "voltage": volts, "direction": direction})


def _record_every(t_stop, dt):
    """Every how many steps the sweep keeps the phase: every step while that fits
    in the recording limit of a run, otherwise as few as fit, so that any number
    of levels is swept in bounded memory (the crossings of 2 pi that bound each
    average are interpolated between the samples kept)."""
    steps = math.ceil(t_stop / dt)
    room = run_options.MAX_RECORDING_BYTES // SAMPLE_BYTES - 2  # t = 0 and t_stop kept too
    return max(1, math.ceil(steps / room))
