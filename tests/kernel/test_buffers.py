"""Typed buffer views: dimensions, element types, contiguity, writability."""

import numpy as np
import pytest

import loxant.CircuitKernel as ck
from harness import Harness
from loxant import SimulationParameters as SP
from loxant import lxglobals


@pytest.mark.parametrize(
    "array, message",
    [
        (np.zeros((2, 2)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (np.zeros(()), "Buffer has wrong number of dimensions (expected 1, got 0)"),
        (np.zeros(4, np.float32), "Buffer dtype mismatch, expected 'FLOAT_t' but got 'float'"),
        (np.zeros(4, np.int64), "Buffer dtype mismatch, expected 'FLOAT_t' but got 'long'"),
        (
            np.zeros(4, np.complex128),
            "Buffer dtype mismatch, expected 'FLOAT_t' but got 'complex double'",
        ),
        (np.zeros(4, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
        (np.zeros(4, [("a", "f8")]), "Buffer dtype mismatch, expected 'FLOAT_t' but got a struct"),
    ],
)
def test_value_array_validation(array, message):
    with pytest.raises(ValueError) as info:
        ck.BuildStaticMatrix(array)
    assert str(info.value) == message


def test_read_only_value_array_is_refused():
    array = np.zeros(4)
    array.flags.writeable = False
    with pytest.raises(ValueError):
        ck.BuildStaticMatrix(array)


@pytest.mark.parametrize(
    "name, array, message",
    [
        ("NodePhase", np.zeros(8)[::2], "ndarray is not C contiguous"),
        ("NodePhase", [0.0] * 4, "Cannot convert list to numpy.ndarray"),
        ("NodePhase", None, "Cannot convert NoneType to numpy.ndarray"),
        (
            "ElementN",
            np.zeros(4, np.int64),
            "Buffer dtype mismatch, expected 'INT_t' but got 'long'",
        ),
        (
            "ElementInc",
            np.zeros(4, np.int8),
            "Buffer dtype mismatch, expected 'UINT8_t' but got 'signed char'",
        ),
        (
            "ElementDec",
            np.zeros((4, 1), np.uint8),
            "Buffer has wrong number of dimensions (expected 1, got 2)",
        ),
    ],
)
def test_init_model_binding_checks_keep_old_pointers(name, array, message):
    h = Harness(2)
    model = ck.JunctionModel(1, 0, 0)
    model.InitModel(0, 0, 0, 0)
    setattr(lxglobals, name, array)
    with pytest.raises((TypeError, ValueError)) as info:
        model.InitModel(1, 2, 3, 0)
    assert str(info.value) == message
    assert (model.ind_ii, model.ind_ij, model.ind_ji, model.ind_jj) == (1, 2, 3, 0)
    del h


def test_boolean_flags_are_accepted_as_bytes():
    Harness(2)
    lxglobals.ElementInc = np.zeros(4, bool)
    ck.JunctionModel(1, 0, 0).InitModel(0, 0, 0, 0)


@pytest.mark.parametrize(
    "attribute, value, error, message",
    [
        ("DX", None, TypeError, "Cannot convert NoneType to numpy.ndarray"),
        ("DDX", np.zeros(8)[::2], ValueError, "ndarray is not C contiguous"),
        (
            "DXprev",
            np.zeros((2, 2)),
            ValueError,
            "Buffer has wrong number of dimensions (expected 1, got 2)",
        ),
        ("InterpCoeffDt", [], IndexError, "list index out of range"),
        ("TimeSteps", (), IndexError, "tuple index out of range"),
        ("InitialSmoothFactor", "x", TypeError, "must be real number, not str"),
    ],
)
def test_bad_shared_state_raises_before_any_element_stamps(attribute, value, error, message):
    h = Harness(2)
    model = ck.JunctionModel(1, 2, 0)
    model.SetParameters([1.0, 1.0, 1.0])
    model.InitModel(*h.positions((1, 1), (1, 2), (2, 1), (2, 2)))
    h.add(model)
    h.set_state(phases=[1.0, 0.0])
    setattr(SP, attribute, value)
    a1, a2, b = np.zeros(4), np.zeros(4), np.zeros(2)
    with pytest.raises(error) as info:
        ck.BuildMatrix(a1, a2, b)
    assert str(info.value) == message
    assert not a1.any() and not a2.any() and not b.any()
