"""The response-kernel recursion of JunctionTJMModel against independent oracles.

Each kernel term k carries y_k(t) = integral_{-inf}^{t} e^(p_k (t - tau)) f(tau) dtau of
the channels f = cos(phi/2) and sin(phi/2); over a step, f is replaced by the
quadratic through its value and slope at the step start and its value at the
end.  The step weights are checked against mpmath, the committed states against
SciPy quadrature of those integrals.
"""

import cmath
import math

import mpmath
import numpy as np
import pytest
from scipy.integrate import quad

from harness import Harness
from loxant import CircuitKernel as ck
from loxant import SimulationParameters as SP
from loxant import lxconfig

MAX_TERMS = 20


@pytest.fixture(autouse=True)
def kernels(monkeypatch):
    """Kernels registered by a test vanish after it."""
    monkeypatch.setattr(lxconfig, "tjm_models", dict(lxconfig.tjm_models))
    return lxconfig.tjm_models


def junction(kernel, *, ff=2.0, amplitude=1.0, capacitance=1.0, rf=0.6, pf=0.1):
    """A TJM junction from node 1 to ground with the kernel named `kernel` or the
    kernel (A, B, P); with ff = 2 its poles are P."""
    if not isinstance(kernel, str):
        lxconfig.tjm_models["probe"] = kernel
        kernel = "probe"
    h = Harness(1)
    m = ck.JunctionTJMModel(1, 0, 0)
    m.InitTJMModel([kernel, amplitude, capacitance, ff, rf, pf])
    m.InitModel(0, 0, 0, 0)
    h.add(m)
    return h, m


# ---- step weights ---------------------------------------------------------------------


def exact_weights(z, h):
    """The weights for z and h, computed with 50 digits (call under workdps(50))."""
    z = mpmath.mpc(z)
    e, z3 = mpmath.exp(z), z**3
    return (
        h * ((z * z - 2) * e + 2 * z + 2) / z3,
        h * h * ((z - 2) * e + z + 2) / z3,
        h * (2 * e - 2 - 2 * z - z * z) / z3,
    )


def model_weights(zs, h):
    """(w_value, w_deriv, w_new) per z after one BuildMatrix with poles z / h."""
    weights = []
    for start in range(0, len(zs), MAX_TERMS):
        chunk = zs[start : start + MAX_TERMS]
        harness, m = junction(([1.0] * len(chunk), [0.0] * len(chunk), [z / h for z in chunk]))
        harness.static_matrix()
        SP.TimeSteps = [h]
        harness.build()
        weights += zip(m.w_value, m.w_deriv, m.w_new)
    return weights


# |z| from 1e-8 to 10, and both sides of every change of the series length and
# of the switch to the closed forms
MODULI = np.concatenate(
    [
        np.logspace(-8, 1, 46),
        [r * f for r in (1 / 64, 1 / 8, 1 / 2, 2) for f in (1 - 1e-9, 1 + 1e-9)],
    ]
)
ANGLES = [2 * math.pi * k / 32 for k in range(32)]


@pytest.mark.parametrize("angle", ANGLES)
@pytest.mark.parametrize("h", [2.0**-3, 16.0])
def test_step_weights_have_full_precision(angle, h):
    # h a power of two keeps z = p h exact, so the reference sees the model's z.
    zs = [complex(r * math.cos(angle), r * math.sin(angle)) for r in MODULI]
    worst = 0.0
    with mpmath.workdps(50):
        for z, got in zip(zs, model_weights(zs, h)):
            for w, ref in zip(got, exact_weights(z, h)):
                worst = max(worst, float(abs(mpmath.mpc(w) - ref) / abs(ref)))
    assert worst < 5e-15  # about 7e-16 with a correctly rounded exp, sin and cos


@pytest.mark.parametrize("pole, step", [(0j, 0.1), (-1 + 1j, 0.0), (0j, 0.0)])
def test_step_weights_are_nan_for_z_zero(pole, step):
    harness, m = junction(([1.0, 1.0], [0.0, 0.0], [pole, -1.0 + 0j]))
    harness.static_matrix()
    SP.TimeSteps = [step]
    harness.build()
    for w in (m.w_value[0], m.w_deriv[0], m.w_new[0]):
        assert math.isnan(w.real) and math.isnan(w.imag)
    assert all(cmath.isfinite(w) for w in (m.w_value[1], m.w_deriv[1], m.w_new[1])) == (step > 0)


# ---- complex division, seen through the start state yc = -1/p --------------------------

NAN = complex(math.nan, math.nan)


@pytest.mark.parametrize(
    "pole, expected",
    [
        (-2 + 0j, 0.5 + 0j),
        (0.5 - 4j, complex(-0.5, -4) / 16.25),
        (1e300 + 1e300j, complex(-5e-301, 5e-301)),  # |p|^2 overflows
        (1e-300 + 2e-300j, complex(-2e299, 4e299)),  # |p|^2 underflows
        (3e200 - 4e200j, complex(-3e-201, -4e-201) / 25),
        (0j, NAN),
        (complex(math.nan, 1.0), NAN),
        (complex(1.0, math.nan), NAN),
    ],
)
def test_start_state_divides_without_overflow_and_nan_for_zero_or_nan(pole, expected):
    harness, m = junction(([1.0], [0.0], [pole]))
    harness.static_matrix()
    if cmath.isnan(expected):
        assert math.isnan(m.yc[0].real) and math.isnan(m.yc[0].imag)
    else:
        assert m.yc[0] == pytest.approx(expected, rel=1e-15)
    assert m.ys == [0j]


# ---- the recursion against the convolution integrals ------------------------------------

TWO_TERMS = ([1.0 + 0.5j, 0.3 - 0.2j], [-0.4 + 0.1j, 0.2 + 0.3j], [-0.7 + 1.1j, -0.3 - 0.4j])


def integral(f, t0, t1):
    """integral_{t0}^{t1} f(t) dt of a complex f."""
    re = quad(lambda t: f(t).real, t0, t1, epsabs=1e-15)[0]
    im = quad(lambda t: f(t).imag, t0, t1, epsabs=1e-15)[0]
    return complex(re, im)


def convolution(p, pieces, t_end, before):
    """integral_{-inf}^{t_end} e^(p (t_end - tau)) f(tau) dtau, with f = `before`
    up to 0 and f on [t0, t1] given by pieces[n] = (t0, t1, f)."""
    total = cmath.exp(p * t_end) * (-before / p)
    for t0, t1, f in pieces:
        total += integral(lambda t, f=f: cmath.exp(p * (t_end - t)) * f(t), t0, t1)
    return total


def quadratic(t0, h, value, slope, end):
    """The quadratic through (t0, value) with `slope` there and through (t0 + h, end)."""
    curve = end - value - slope * h
    return lambda t: value + slope * (t - t0) + curve * ((t - t0) / h) ** 2


def drive(harness, steps, phases, slopes):
    """Steps the junction through phases[n] -> phases[n+1] over steps[n], with the
    phase slope at each step start slopes[n]; returns (B, current) of the last step."""
    for n, h in enumerate(steps):
        SP.TimeSteps = [h]
        harness.set_state(
            phases=[phases[n + 1]], voltages=[slopes[n]], dvoltages=[0.3], previous=[phases[n]]
        )
        SP.DXprev[:] = [slopes[n]]
        _, _, b = harness.build()
        harness.set_nodes(phases=[phases[n + 1]], voltages=[slopes[n]], dvoltages=[0.3])
        current = harness.values()[0]
    return b[0], current


def kernel_current(m, phase, yc, ys):
    a, b = np.array(m.coef_a), np.array(m.coef_b)
    gc = np.sum(((a + b) * np.array(yc)).real)
    gs = np.sum(((a - b) * np.array(ys)).real)
    return math.sin(phase / 2) * gc + math.cos(phase / 2) * gs


def check_against(m, phase, voltage, yc, ys, b, current, rel):
    scale = max(1.0, max(abs(y) for y in yc + ys))
    assert np.abs(np.array(m.yc) - yc).max() < rel * scale
    assert np.abs(np.array(m.ys) - ys).max() < rel * scale
    g = m.conductance
    expected = m.amplitude * (
        (g * m.capacitance * 0.3 + voltage) * g - kernel_current(m, phase, yc, ys)
    )
    assert current == pytest.approx(expected, rel=rel, abs=rel)
    assert b == pytest.approx(-expected, rel=rel, abs=rel)  # node 1 to ground


@pytest.mark.parametrize("kernel, ff", [(TWO_TERMS, 2.0), ("OSZ1987_T1", 2.6 / 0.63)])
def test_recursion_is_exact_for_piecewise_quadratic_channels(kernel, ff):
    rng = np.random.default_rng(7)
    steps = rng.uniform(0.05, 0.4, 9)
    phases = np.concatenate([[0.0], np.cumsum(rng.uniform(-0.8, 1.5, 9))])
    slopes = rng.uniform(-2.0, 3.0, 9)
    harness, m = junction(kernel, ff=ff, amplitude=1.7)
    harness.static_matrix()
    b, current = drive(harness, steps, phases, slopes)

    times = np.concatenate([[0.0], np.cumsum(steps)])
    cos_pieces, sin_pieces = [], []
    for n, h in enumerate(steps):
        half, end = phases[n] / 2, phases[n + 1] / 2
        u = slopes[n] / 2
        cos_pieces.append(
            (
                times[n],
                times[n + 1],
                quadratic(times[n], h, math.cos(half), -math.sin(half) * u, math.cos(end)),
            )
        )
        sin_pieces.append(
            (
                times[n],
                times[n + 1],
                quadratic(times[n], h, math.sin(half), math.cos(half) * u, math.sin(end)),
            )
        )
    yc = [convolution(p, cos_pieces, times[-1], 1.0) for p in m.poles]
    ys = [convolution(p, sin_pieces, times[-1], 0.0) for p in m.poles]
    check_against(m, phases[-1], slopes[-1], yc, ys, b, current, 1e-13)


@pytest.mark.parametrize("kernel, ff", [(TWO_TERMS, 2.0), ("OSZ1987_T1", 2.6 / 0.63)])
def test_recursion_converges_to_the_convolution_of_the_phase(kernel, ff):
    # The phase is linear within each step; its half-angle cosine and sine are
    # not quadratics, so the recursion is exact only to O(h^4) per step.
    rng = np.random.default_rng(11)
    count, h = 40, 0.01
    slopes = rng.uniform(-1.0, 1.5, count)
    phases = np.concatenate([[0.0], np.cumsum(slopes * h)])
    harness, m = junction(kernel, ff=ff, capacitance=0.4)
    harness.static_matrix()
    b, current = drive(harness, [h] * count, phases, slopes)

    def phase(t):
        n = min(int(t / h), count - 1)
        return phases[n] + slopes[n] * (t - n * h)

    pieces = [(n * h, (n + 1) * h) for n in range(count)]
    t_end = count * h
    cos_pieces = [(a, c, lambda t: math.cos(phase(t) / 2)) for a, c in pieces]
    sin_pieces = [(a, c, lambda t: math.sin(phase(t) / 2)) for a, c in pieces]
    yc = [convolution(p, cos_pieces, t_end, 1.0) for p in m.poles]
    ys = [convolution(p, sin_pieces, t_end, 0.0) for p in m.poles]
    check_against(m, phases[-1], slopes[-1], yc, ys, b, current, 1e-8)
