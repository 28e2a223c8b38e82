"""JunctionTJMModel: construction, kernel loading and its errors, stamps and orientation.

The recursion itself is checked against quadrature in test_tjm_kernel.py.
"""

import math
import traceback

import numpy as np
import pytest

import loxant.CircuitKernel as ck
from harness import Harness
from loxant import SimulationParameters as SP
from loxant import lxconfig

ONE_TERM = ([1.0], [1.0], [-1.0])
TWO_TERMS = ([1.0 + 0.5j, 0.3 - 0.2j], [-0.4 + 0.1j, 0.2 + 0.3j], [-0.7 + 1.1j, -0.3 - 0.4j])


@pytest.fixture(autouse=True)
def kernels(monkeypatch):
    """A private copy of the kernel table, with a few test kernels added."""
    table = dict(lxconfig.tjm_models, one=ONE_TERM, two=TWO_TERMS, empty=([], [], []))
    monkeypatch.setattr(lxconfig, "tjm_models", table)
    return table


def loaded(name="two", *, amplitude=1.5, capacitance=0.7, ff=2.0, rf=0.6, pf=0.1, i=1, j=0):
    model = ck.JunctionTJMModel(i, j, 0)
    model.InitTJMModel([name, amplitude, capacitance, ff, rf, pf])
    return model


def placed(h, model):
    i, j = model.i, model.j
    model.InitModel(*h.positions((i, i), (i, j), (j, i), (j, j)))
    h.add(model)
    return model


def kernel_state(model):
    return (model.n_terms, model.coef_a, model.coef_b, model.poles, model.conductance)


# ---- construction and parameters ------------------------------------------------------


def test_fresh_model_has_defaults_and_an_empty_kernel():
    model = ck.JunctionTJMModel(2, 3, 1)
    assert (model.i, model.j, model.eindex) == (2, 3, 1)
    assert model.n_terms == 6
    params = (model.amplitude, model.capacitance, model.frequency_factor)
    assert params == (1.0, 1.0, 2.6 / 0.63)
    assert (model.resistance_factor, model.pair_factor, model.conductance) == (0.6, 0.1, 0.0)
    assert model.coef_a == model.coef_b == model.poles == model.yc == [0j] * 6


def test_set_parameters_reads_items_1_and_2_only():
    model = loaded()
    before = kernel_state(model)
    model.SetParameters([object(), 2.0, 3.0, "ignored"])
    assert (model.amplitude, model.capacitance) == (2.0, 3.0)
    assert (model.frequency_factor, model.resistance_factor, model.pair_factor) == (2.0, 0.6, 0.1)
    assert kernel_state(model) == before
    with pytest.raises(IndexError):
        model.SetParameters([None, 4.0])
    assert (model.amplitude, model.capacitance) == (4.0, 3.0)


# ---- kernel loading -------------------------------------------------------------------


def test_one_term_kernel_is_scaled_and_normalised():
    model = loaded("one", ff=2.0, rf=0.5, pf=0.25)
    assert model.n_terms == 1
    assert model.poles == [-1 + 0j]
    assert model.coef_a == [-1 + 0j]  # A / -S with S = -Re(A/p) = 1
    assert model.coef_b == [complex(2.0 * (0.25 - 1) / (2 * 0.5), 0.0)]
    assert model.conductance == 1.0 / (0.5 * 2.0)


@pytest.mark.parametrize(
    "name", ["OSZ1987_T1", "OSZ1987_T2", "NbNb_4K2_008", "NbNb_4K2_001", "two"]
)
@pytest.mark.parametrize("ff, rf, pf", [(2.6 / 0.63, 0.6, 0.1), (3.0, 1.2, -0.5)])
def test_shipped_kernels_load_normalised(kernels, name, ff, rf, pf):
    a, b, p = (np.array(x, dtype=complex) for x in kernels[name])
    model = loaded(name, ff=ff, rf=rf, pf=pf)
    poles, coef_a = np.array(model.poles), np.array(model.coef_a)
    assert model.n_terms == len(a)
    np.testing.assert_allclose(poles, p * ff / 2, rtol=1e-15)
    assert np.sum((coef_a / poles).real) == pytest.approx(1.0, rel=1e-13)
    np.testing.assert_allclose(coef_a / a, np.full(len(a), coef_a[0] / a[0]), rtol=1e-13)
    np.testing.assert_allclose(model.coef_b, b * ff * (pf - 1) / (2 * rf), rtol=1e-15)


def test_pair_factor_one_leaves_no_quasiparticle_amplitudes():
    assert loaded("NbNb_4K2_001", pf=1.0).coef_b == [0j] * 10


def test_kernel_items_may_be_tuples_reals_arrays_and_longer_b_and_p():
    entry = iter([(1.0, 2.0), np.array([0.5, 0.25j, 9.0]), [-1.0, -2.0 + 1j, 7j]])
    lxconfig.tjm_models["mixed"] = entry
    model = loaded("mixed", ff=2.0)
    assert model.n_terms == 2
    assert model.poles == [-1 + 0j, -2 + 1j]
    assert model.coef_b == pytest.approx([0.5 * 2.0 * -0.9 / 1.2, 0.25j * 2.0 * -0.9 / 1.2])


def test_reloading_replaces_the_kernel_and_keeps_the_state():
    h = Harness(1)
    model = placed(h, loaded("two"))
    h.static_matrix()
    state = model.yc
    model.InitTJMModel(["one", 1.0, 1.0, 2.0, 0.6, 0.1])
    assert model.n_terms == 1 and model.yc == state[:1]


@pytest.mark.parametrize("name", ["nonexistent", "Ω-kernel"])
def test_unknown_name_raises_exception_with_bytes_after_storing_the_parameters(name):
    model = loaded()
    before = kernel_state(model)
    with pytest.raises(Exception) as caught:
        model.InitTJMModel([name, 3.0, 4.0, 5.0, 6.0, 7.0])
    assert type(caught.value) is Exception
    assert caught.value.args == (b"Unknown TJM model: " + name.encode("UTF-8"),)
    params = (model.amplitude, model.capacitance, model.frequency_factor)
    assert params + (model.resistance_factor, model.pair_factor) == (3.0, 4.0, 5.0, 6.0, 7.0)
    assert kernel_state(model) == before
    entry = traceback.extract_tb(caught.tb)[-1]
    assert entry.name == "loxant.CircuitKernel.JunctionTJMModel.InitTJMModel"


def test_unknown_name_without_encode_raises_attribute_error():
    with pytest.raises(AttributeError):
        loaded(42)


@pytest.mark.parametrize(
    "entry, error, message",
    [
        ((ONE_TERM[0], ONE_TERM[1]), ValueError, "need more than 2 values to unpack"),
        ([ONE_TERM[0]], ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        (ONE_TERM + ([1.0],), ValueError, r"too many values to unpack \(expected 3\)"),
        (lambda: iter(ONE_TERM[:2]), ValueError, "need more than 2 values to unpack"),
        (lambda: iter(ONE_TERM * 2), ValueError, r"too many values to unpack \(expected 3\)"),
        (17, TypeError, "not iterable"),
        (([1.0] * 21, [1.0] * 21, [-1.0] * 21), ValueError, "21 terms, at most 20"),
        (([1.0] * 3, [1.0] * 2, [-1.0] * 3), ValueError, "3 amplitudes A but only 2 B"),
        (([1.0] * 3, [1.0] * 3, [-1.0] * 2), ValueError, "and 2 poles P"),
        (([1.0, 1.0], [1.0, "x"], [-1.0, -1.0]), AttributeError, "real"),
        ((5, [1.0], [-1.0]), TypeError, "len"),
    ],
)
def test_malformed_kernel_is_rejected_leaving_the_kernel_unchanged(entry, error, message):
    lxconfig.tjm_models["bad"] = entry() if callable(entry) else entry
    model = loaded()
    before = kernel_state(model)
    with pytest.raises(error, match=message):
        model.InitTJMModel(["bad", 1.0, 1.0, 2.0, 0.6, 0.1])
    assert kernel_state(model) == before


def test_twenty_terms_fit():
    lxconfig.tjm_models["full"] = ([1.0] * 20, [0.5] * 20, [-1.0 - k * 1j for k in range(20)])
    model = loaded("full")
    assert model.n_terms == 20 and len(model.coef_b) == 20


# ---- stamps ---------------------------------------------------------------------------


@pytest.mark.parametrize("i, j", [(1, 2), (1, 0), (0, 2)])
def test_step_matrix_is_the_ohmic_and_capacitive_slope(i, j):
    h = Harness(2)
    placed(h, loaded(amplitude=1.5, capacitance=0.7, ff=2.0, rf=0.6, i=i, j=j))
    h.static_matrix()
    SP.InterpCoeffDt, SP.InterpCoeffDDt = [10.0], [100.0]
    a1, _, _ = h.build()
    g_n = 1.0 / 1.2
    g = (0.7 * g_n * 100.0 + 10.0) * g_n * 1.5
    live = [k for k in (i, j) if k]
    expected = np.zeros((2, 2))
    for r in live:
        for c in live:
            expected[r - 1, c - 1] = g if r == c else -g
    np.testing.assert_allclose(a1, expected, rtol=1e-15)


def test_at_zero_phase_the_pair_slope_uses_the_cosine_channel_only():
    h = Harness(1)
    model = placed(h, loaded("two", amplitude=1.5))
    h.static_matrix()
    h.set_state(phases=[0.0], previous=[0.0])
    _, a2, b = h.build()
    a = np.array(model.coef_a)
    g = np.sum(a * np.array(model.yc_trial)).real * 1.5
    assert a2[0, 0] == pytest.approx(-g, rel=1e-15)
    iq = np.sum(((a - np.array(model.coef_b)) * np.array(model.ys_trial)).real)
    assert b[0] == pytest.approx(1.5 * iq, abs=1e-15)  # B[0] -= (0 - Iq) * amplitude
    # At rest the slope is the critical current's: amplitude * cos(0).
    assert a2[0, 0] == pytest.approx(1.5, rel=1e-12)


def test_without_terms_the_current_is_ohmic_and_capacitive():
    h = Harness(1)
    model = placed(h, loaded("empty", amplitude=2.0, capacitance=0.5, ff=4.0, rf=0.5))
    assert model.n_terms == 0
    h.static_matrix()
    h.set_state(phases=[1.2], voltages=[0.8], dvoltages=[-0.6], previous=[1.0])
    h.set_nodes(phases=[1.2], voltages=[0.8], dvoltages=[-0.6])
    _, a2, b = h.build()
    expected = 2.0 * (0.5 * 0.8 + 0.25 * 0.5 * -0.6)
    assert not a2.any()
    assert b[0] == pytest.approx(-expected, rel=1e-15)
    assert h.values()[:3] == pytest.approx((expected, 1.2, 0.8), rel=1e-15)


def run_two_steps(i, j):
    """Two steps of a junction between node 1 and ground, oriented by (i, j)."""
    h = Harness(1)
    placed(h, loaded("OSZ1987_T2", ff=2.6 / 0.63, i=i, j=j))
    h.static_matrix()
    record = []
    for prev, phase, volt, dvolt in ((0.0, 0.3, 1.1, 0.4), (0.3, 0.9, 1.3, -0.2)):
        SP.DXprev[:] = [volt]
        h.set_state(phases=[phase], voltages=[volt], dvoltages=[dvolt], previous=[prev])
        a1, a2, b = h.build()
        a2u, bu = h.update()
        h.set_nodes(phases=[phase], voltages=[volt], dvoltages=[dvolt])
        record.append((a1, a2, b, a2u, bu, h.values()))
    return record


def test_orientation_changes_only_the_sign_of_the_reported_values():
    # The same node values: the junction's own phase, voltage and current change
    # sign, and so does the way its current enters B[0].
    forward = run_two_steps(1, 0)
    backward = run_two_steps(0, 1)
    for f, r in zip(forward, backward):
        for got, want in zip(f[:5], r[:5]):
            np.testing.assert_allclose(got, want, rtol=1e-14, atol=1e-15)
        current, phase, volt = f[5][:3]
        assert r[5][:3] == pytest.approx((-current, -phase, -volt), rel=1e-14)
        assert f[2][0] == pytest.approx(-current, rel=1e-14)  # B[0] -= I


def test_values_after_rhs_alone_uses_its_half_phase():
    h = Harness(1)
    model = placed(h, loaded("two"))
    h.static_matrix()
    h.set_state(phases=[0.4], previous=[0.0])
    h.build()
    h.set_state(phases=[1.0])
    h.rhs()
    assert (model.sin_half, model.cos_half) == (math.sin(0.5), math.cos(0.5))
    h.set_nodes(phases=[2.0])
    h.values()
    w, hist = np.array(model.w_new), np.array(model.yc_hist)
    np.testing.assert_allclose(model.yc, w * math.cos(0.5) + hist, rtol=1e-15)
