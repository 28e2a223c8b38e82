"""The junction model translation and the SetSupercurrent entry point take any
input: a model, a clear JunctionModelError, or a clear Python error; never a
crash nor a half-set law."""

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from loxant import jjmodel

ck = pytest.importorskip("loxant.CircuitKernel")

numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-3, 3),
    st.sampled_from([0.0, 1.0, 4.2, 9.1, 1e-300, 1e300]),
)
keys = st.sampled_from(sorted(set(jjmodel.DEFAULTS) | set(jjmodel.ALIASES) | {"BOGUS"}))
models = st.dictionaries(keys, st.one_of(numbers, st.lists(numbers, max_size=20)), max_size=8)
quick = settings(
    max_examples=400, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)


@quick
@given(models)
def test_any_parameters_give_a_model_or_a_clear_error(given_params):
    try:
        model = jjmodel.junction_model(given_params)
    except TypeError:  # a list for a number, or a number for cpr
        return
    except ValueError as exc:  # nothing else: no overflow, no division by zero
        assert type(exc) is jjmodel.JunctionModelError, repr(exc)
        return
    fields = [model.icrit, model.rn, model.cap, model.phi, model.thermal, *model.cpr]
    assert all(math.isfinite(x) for x in fields)
    assert model.rn > 0 and 0 <= model.transparency < 1


@quick
@given(st.lists(numbers, max_size=22))
def test_set_supercurrent_takes_anything(items):
    model = ck.JunctionGapModel(1, 0, 0)
    try:
        model.SetSupercurrent(items)
    except (ValueError, TypeError):
        assert model.harmonics == [1.0] and model.transparency == 0.0
        return
    assert 1 <= len(model.harmonics) <= 16
    assert 0 <= model.transparency < 1 and model.thermal_factor >= 0
