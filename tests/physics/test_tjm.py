"""Tunnel junction of the microscopic model, simulated through the driver.

Oracles, derived from the kernel form of the model:

* At rest at phase phi every convolution is y_k = -f/p_k, so the current is
  amplitude * sin(phi) * sum Re(a_k/p_k) = amplitude * sin(phi): the critical
  current is the amplitude, and a bias I below it holds phi = arcsin(I / amplitude).
* Under a DC voltage V (phi = V t) the half-phase channels turn at V/2 and the
  poles are the kernel's P scaled by frequency_factor/2, so the response is that
  of the shipped frequency-domain formulas (data/tjm_kernels.json) at
  x = V / frequency_factor (x = 1 is the gap):

    j_p(x)  = sum_k 1/2 [A_k / (i x - P_k) + conj(A_k) / (i x - conj(P_k))]
    j_qp(x) = i x + sum_k 1/2 [B_k / (-i x - P_k) + conj(B_k) / (-i x - conj(P_k))]

  The current is then exactly I0 + Re(I1 e^(i phi)) with
    I0 = amplitude (pair_factor x + (1 - pair_factor) Im j_qp(x)) / resistance_factor,
    I1 = -i amplitude j_p(x) / j_p(0):
  the quasiparticle terms give the direct current with its step at the gap, the
  pair terms the Josephson oscillation whose amplitude peaks there.
"""

import math

import numpy as np
import pytest

from loxant import lxconfig
from loxant.circuit import Circuit

DEFAULTS = {
    "amplitude": 1.0,
    "c": 1.0,
    "frequency_factor": 2.6 / 0.63,
    "resistance_factor": 0.6,
    "pair_factor": 0.1,
}
# A second kernel with every parameter changed; ff = 6 also shortens its memory.
OTHER = {
    "amplitude": 2.0,
    "c": 0.5,
    "frequency_factor": 6.0,
    "resistance_factor": 1.0,
    "pair_factor": 0.3,
}


def response(model, x):
    a, b, p = (np.array(v, dtype=complex) for v in lxconfig.tjm_models[model])

    def j_p(x):
        return np.sum(0.5 * (a / (1j * x - p) + np.conj(a) / (1j * x - np.conj(p))))

    j_qp = 1j * x + np.sum(0.5 * (b / (-1j * x - p) + np.conj(b) / (-1j * x - np.conj(p))))
    return j_p(x) / j_p(0.0).real, j_qp.imag


def predicted(model, params, x):
    """(I0, I1) of the junction under V = x * frequency_factor."""
    pair, quasiparticle = response(model, x)
    pf, rf = params["pair_factor"], params["resistance_factor"]
    i0 = params["amplitude"] * (pf * x + (1 - pf) * quasiparticle) / rf
    return i0, -1j * params["amplitude"] * pair


_simulated = {}


def under_voltage(model, params, x, settle=150.0, window=100.0):
    """(I0, I1, largest deviation from I0 + Re(I1 e^(i phi))) of the simulated current under V = x * frequency_factor, once the
    start has been forgotten."""
    key = (model, tuple(sorted(params.items())), x)
    if key not in _simulated:
        voltage = x * params["frequency_factor"]
        period = 2 * math.pi / voltage
        t_stop = settle + round(window / period) * period
        circuit = Circuit(units="normalised")
        circuit.junction_tjm("J1", "a", 0, model=model, **params)
        circuit.voltage_source("V1", "a", 0, value=voltage)
        run = circuit.simulate(t_stop=t_stop, dt=period / 40, initial_ramp=30.0)
        keep = run.time >= settle - 1e-9
        current, phase = run.current("J1")[keep], run.phase("J1")[keep]
        # least squares fit of I0 + Re(I1 e^(i phi)), which the current should be exactly
        basis = np.column_stack([np.ones_like(phase), np.cos(phase), np.sin(phase)])
        (i0, re1, im1), *_ = np.linalg.lstsq(basis, current, rcond=None)
        rest = np.abs(current - basis @ (i0, re1, im1)).max()
        _simulated[key] = (i0, complex(re1, -im1), rest)
    return _simulated[key]


def biased(model, params, current, t_stop):
    circuit = Circuit(units="normalised")
    circuit.junction_tjm("J1", "a", 0, model=model, **params)
    circuit.current_source("I1", 0, "a", value=current)
    return circuit.simulate(t_stop=t_stop, dt=0.05, initial_ramp=100.0)


@pytest.mark.parametrize(
    "model, params, fraction",
    [("OSZ1987_T1", DEFAULTS, 0.5), ("OSZ1987_T1", DEFAULTS, 0.95), ("OSZ1987_T2", OTHER, 0.8)],
)
def test_bias_below_the_amplitude_holds_the_static_phase(model, params, fraction):
    run = biased(model, params, fraction * params["amplitude"], t_stop=300.0)
    assert run.phase("J1")[-1] == pytest.approx(math.asin(fraction), abs=1e-9)
    assert np.abs(run.voltage("J1")[-50:]).max() < 1e-8
    assert run.turn_count("J1")[-1] == 0


@pytest.mark.parametrize("fraction", [1.05, 1.2])
def test_bias_above_the_amplitude_runs_at_the_gap_voltage(fraction):
    run = biased("OSZ1987_T1", DEFAULTS, fraction, t_stop=300.0)
    gap = DEFAULTS["frequency_factor"]
    assert 0.95 * gap < run.average_voltage("J1", 200.0, 300.0) < 1.1 * gap
    assert run.turn_count("J1")[-1] > 50


@pytest.mark.parametrize(
    "model, params, x",
    [("OSZ1987_T1", DEFAULTS, x) for x in (0.25, 0.6, 0.87, 0.97, 1.04, 1.12, 1.5, 2.0)]
    + [("OSZ1987_T2", OTHER, x) for x in (0.5, 0.95, 1.1, 1.6)],
)
def test_current_under_dc_voltage_follows_the_frequency_domain_response(model, params, x):
    i0, i1, rest = under_voltage(model, params, x)
    want0, want1 = predicted(model, params, x)
    assert i0 == pytest.approx(want0, rel=1e-3)
    assert abs(i1 - want1) < 1e-3 * abs(want1)
    assert rest < 1e-3 * abs(want1)


def test_gap_shows_as_a_current_step_and_a_josephson_amplitude_peak():
    below = under_voltage("OSZ1987_T1", DEFAULTS, 0.97)
    above = under_voltage("OSZ1987_T1", DEFAULTS, 1.04)
    low = under_voltage("OSZ1987_T1", DEFAULTS, 0.25)
    assert above[0] > 3 * below[0]
    assert abs(below[1]) > 1.5 * abs(low[1])
