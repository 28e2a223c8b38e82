"""Waveforms of independent sources, from the evaluated arguments of a source line
to a normalised :mod:`loxant.waveforms` object.

``args`` are in SI units (seconds, and amperes, volts or radians); the waveform
is built in the circuit's normalised units: times divided by ``time_scale``,
values by ``value_scale``.
"""

import math

from ..units import si_text
from ..waveforms import PWL, PWS, Constant, Custom, DampedSine, Exp, Noise, Pulse, Sine

__all__ = ["waveform"]


class Scales:
    """What a waveform needs besides its arguments: the normalising scales and the
    ``.tran`` defaults, in normalised time; ``seed`` for noise sources."""

    def __init__(self, tran, time_scale, value_scale, seed=None):
        self.time = time_scale
        self.value = value_scale
        self.tstep = tran.tstep / time_scale if tran else 0.0
        self.tstop = tran.tstop / time_scale if tran else 1.0 / time_scale
        self.seed = seed


def waveform(values, scales):
    """The normalised waveform of a source (``values``: ``wave``, ``args`` and,
    for ``cus``, ``points``)."""
    kind, args = values["wave"], values["args"]
    _check_in_si(kind, args)
    if kind in PEER_WAVEFORMS:
        return peer_waveform(kind, args, values, scales)
    t = [a / scales.time for a in args]
    v = [a / scales.value for a in args]
    if kind == "dc":
        return Constant(v[0])
    if kind == "pwl":
        points = list(zip(t[0::2], v[1::2]))
        if points[0][0] > 0 and points[0][1] != 0:
            points.insert(0, (points[0][0], 0.0))  # 0 before the first point
        return PWL(points)
    if kind == "pulse":
        t += [None] * (7 - len(t))
        return Pulse(
            v[0],
            v[1],
            delay=t[2] or 0.0,
            rise=scales.tstep if t[3] is None else t[3],
            fall=scales.tstep if t[4] is None else t[4],
            width=scales.tstop if t[5] is None else t[5],
            period=t[6] or None,  # a period of 0 means no repetition
        )
    if kind == "sin":
        return _sine(args, t, v, scales)
    t += [None] * (6 - len(t))
    delay_rise = t[2] or 0.0
    tau_rise = scales.tstep if t[3] is None else t[3]
    delay_fall = delay_rise + scales.tstep if t[4] is None else t[4]
    tau_fall = scales.tstep if t[5] is None else t[5]
    return Exp(v[0], v[1], delay_rise, tau_rise, delay_fall, tau_fall)


def _check_in_si(kind, args):
    """The checks whose messages quote times, made on the times as written (the
    waveforms would quote them normalised)."""
    if kind in ("pwl", "pws"):
        times = args[0::2]
        for before, after in zip(times, times[1:]):
            if after < before:
                raise ValueError(
                    f"{kind.upper()} times must not decrease ({si_text(after, 's')} "
                    f"follows {si_text(before, 's')})"
                )
    step = {"noise": 2, "cus": 0}.get(kind)
    if step is not None and len(args) > step and not args[step] > 0:
        what = "noise" if kind == "noise" else "cus"
        raise ValueError(f"{what}: the time step must be positive, got {si_text(args[step], 's')}")


def _sine(args, t, v, scales):
    """``sin(vo va [f [td [theta [phi [nc]]]]])``; phi in degrees, nc cycles (0:
    no end)."""
    freq = args[2] * scales.time if len(args) > 2 else 1.0 / scales.tstop
    delay = t[3] if len(args) > 3 else 0.0
    damping = args[4] * scales.time if len(args) > 4 else 0.0
    if len(args) > 5:
        return peer_waveform("sin", args, {"delay": delay, "damping": damping}, scales)
    if damping:
        return DampedSine(v[0], v[1], freq, delay=delay, damping=damping)
    return Sine(v[0], v[1], freq, delay=delay)


# -- the waveforms of the peer's dialect --------------------------------------------

PEER_WAVEFORMS = {"pws", "noise", "cus"}


def peer_waveform(kind, args, values, scales):
    """``pws(t0 v0 t1 v1 ...)``, ``noise(A td tstep)``, ``cus(file ts sf im [td
    per])`` and the full ``sin(vo va f td theta phi nc)``, normalised."""
    if kind == "pws":
        times = [t / scales.time for t in args[0::2]]
        return PWS(times, [v / scales.value for v in args[1::2]])
    if kind == "noise":
        amplitude, delay, tstep = args
        # A g / sqrt(2 tstep) every tstep: A is in the value's unit times sqrt(s)
        scaled = amplitude / scales.value / math.sqrt(scales.time)
        return Noise(scaled, delay / scales.time, tstep / scales.time, seed=scales.seed)
    if kind == "cus":
        return _custom(args, values["points"], scales)
    cycles = args[6] if len(args) > 6 else 0.0
    if cycles < 0:
        raise ValueError(f"sin: the number of cycles must not be negative, got {cycles:g}")
    # the dialect's sine is vo before td, whatever its phase
    return DampedSine(
        args[0] / scales.value,
        args[1] / scales.value,
        args[2] * scales.time if len(args) > 2 else 1.0 / scales.tstop,
        delay=values["delay"],
        damping=values["damping"],
        phase=math.radians(args[5]),
        cycles=cycles or None,
    )


#: cus() values after ts when left out: sf, im (linear), td, per
_CUSTOM_DEFAULTS = (1.0, 1.0, 0.0, 0.0)


def _custom(args, points, scales):
    """``cus(file ts [sf [im [td [per]]]])``: the file's amplitudes ``ts`` apart
    from ``td`` on, scaled by ``sf``, interpolated by ``im`` (0 none, 1 linear, 2
    cubic), repeated when ``per`` is 1; the values left out as in the peer's
    dialect (1, 1, 0, 0)."""
    ts = args[0]
    sf, im, delay, per = list(args[1:]) + list(_CUSTOM_DEFAULTS[len(args) - 1 :])
    periodic = per == 1
    if im not in (0, 1, 2):
        raise ValueError(f"cus: the interpolation must be 0, 1 or 2, got {im:g}")
    return Custom(
        points,
        ts / scales.time,
        sf / scales.value,
        int(im),
        delay=delay / scales.time,
        periodic=periodic,
    )
