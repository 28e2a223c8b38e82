"""Argument matching, conversion and the traceback entry of a failing call."""

import numpy as np
import pytest

import loxant.CircuitKernel as ck

a = np.zeros(4)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: ck.BuildMatrix(a, a),
            "BuildMatrix() takes exactly 3 positional arguments (2 given)",
        ),
        (
            lambda: ck.BuildMatrix(a, a, a, a),
            "BuildMatrix() takes exactly 3 positional arguments (4 given)",
        ),
        (
            lambda: ck.UpdateMatrix(a, a, a),
            "UpdateMatrix() takes exactly 2 positional arguments (3 given)",
        ),
        (
            lambda: ck.UpdateMatrix(a, A2=a),
            "UpdateMatrix() got multiple values for keyword argument 'A2'",
        ),
        (
            lambda: ck.UpdateMatrix(a, a, C=a),
            "UpdateMatrix() got an unexpected keyword argument 'C'",
        ),
        (
            lambda: ck.UpdateMatrix(B=a),
            "UpdateMatrix() takes exactly 2 positional arguments (0 given)",
        ),
        (lambda: ck.ElementModel(1), "__init__() takes exactly 0 positional arguments (1 given)"),
        (lambda: ck.ElementModel(x=1), "__init__() got an unexpected keyword argument 'x'"),
        (
            lambda: ck.JunctionModel(1, 2),
            "__init__() takes exactly 3 positional arguments (2 given)",
        ),
        (
            lambda: ck.JunctionModel(1, eindex=0),
            "__init__() takes exactly 3 positional arguments (1 given)",
        ),
        (
            lambda: ck.JunctionModel(1, 2, 3, i=1),
            "__init__() got multiple values for keyword argument 'i'",
        ),
        (
            lambda: ck.JunctionModel(1, 2, 3).InitModel(1, 2, 3),
            "InitModel() takes exactly 4 positional arguments (3 given)",
        ),
        (
            lambda: ck.BuildStaticMatrix([0.0]),
            "Argument 'A0' has incorrect type (expected numpy.ndarray, got list)",
        ),
        (
            lambda: ck.BuildStaticMatrix(None),
            "Argument 'A0' has incorrect type (expected numpy.ndarray, got NoneType)",
        ),
        (lambda: ck.UpdateRHS(B=a), "UpdateRHS() got an unexpected keyword argument 'B'"),
        (
            lambda: ck.UpdateMatrix(a, (1.0,)),
            "Argument 'B' has incorrect type (expected numpy.ndarray, got tuple)",
        ),
        (lambda: ck.JunctionModel("1", 0, 0), "an integer is required"),
        (lambda: ck.JunctionModel(2**31, 0, 0), "value too large to convert to int"),
        (lambda: ck.JunctionModel(0, -(2**31) - 1, 0), "value too large to convert to int"),
    ],
)
def test_message_families(call, message):
    with pytest.raises((TypeError, OverflowError)) as info:
        call()
    assert str(info.value) == message


def test_integers_convert_through_int_and_floats_through_float():
    class Index:
        def __int__(self):
            return 2

    model = ck.JunctionModel(Index(), 1.9, eindex=np.int64(3))
    assert (model.i, model.j, model.eindex) == (2, 1, 3)
    model.SetParameters([np.float32(0.5), 2, True])
    assert (model.critical_current, model.resistance, model.capacitance) == (0.5, 2.0, 1.0)


def test_failed_constructor_stores_nothing():
    model = ck.JunctionModel(1, 2, 3)
    with pytest.raises(TypeError):
        model.__init__(4, 5, "x")
    assert (model.i, model.j, model.eindex) == (1, 2, 3)


@pytest.mark.parametrize(
    "call, qualname",
    [
        (
            lambda: ck.JunctionModel(1, 2, 3).SetParameters([1, None, 1]),
            "loxant.CircuitKernel.JunctionModel.SetParameters",
        ),
        (lambda: ck.JunctionModel(1), "loxant.CircuitKernel.JunctionModel.__init__"),
        (lambda: ck.BuildMatrix(a, a), "loxant.CircuitKernel.BuildMatrix"),
        (lambda: ck.UpdateRHS([]), "loxant.CircuitKernel.UpdateRHS"),
    ],
)
def test_failing_call_adds_one_traceback_entry_named_by_qualified_name(call, qualname):
    with pytest.raises(Exception) as info:
        call()
    tb = info.tb
    names = []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names.count(qualname) == 1
    assert names[-1] == qualname


def _one_and_no_argument_calls():
    """(callable, name, argument count, qualified name) of every function that
    takes one positional argument or none."""
    junction, tjm = ck.JunctionModel(1, 0, 0), ck.JunctionTJMModel(1, 0, 0)
    calls = [
        (ck.InitElementModels, "InitElementModels", 0, "loxant.CircuitKernel.InitElementModels"),
        (ck.UpdateValues, "UpdateValues", 0, "loxant.CircuitKernel.UpdateValues"),
        (ck.BuildStaticMatrix, "BuildStaticMatrix", 1, "loxant.CircuitKernel.BuildStaticMatrix"),
        (ck.UpdateRHS, "UpdateRHS", 1, "loxant.CircuitKernel.UpdateRHS"),
        (tjm.InitTJMModel, "InitTJMModel", 1, "loxant.CircuitKernel.JunctionTJMModel.InitTJMModel"),
        (
            junction.SetParameters,
            "SetParameters",
            1,
            "loxant.CircuitKernel.JunctionModel.SetParameters",
        ),
    ]
    for name in ("InductorModel", "ResistorModel", "CurrentSourceModel", "MutualInductanceModel"):
        model = getattr(ck, name)(1, 2, 0)
        calls.append(
            (model.SetParameters, "SetParameters", 1, f"loxant.CircuitKernel.{name}.SetParameters")
        )
    return calls


def _traceback_names(error):
    names, tb = [], error.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


@pytest.mark.parametrize("call, name, count, qualname", _one_and_no_argument_calls())
def test_one_and_no_argument_functions_use_the_message_families(call, name, count, qualname):
    plural = "" if count == 1 else "s"
    wrong = [(count + 1, {}), (count + 2, {})] + ([(0, {})] if count else [])
    cases = [
        (args, kwargs, f"{name}() takes exactly {count} positional argument{plural} ({args} given)")
        for args, kwargs in wrong
    ]
    cases += [
        (count, {"A0": a}, f"{name}() got an unexpected keyword argument 'A0'"),
        (0, {"params": a}, f"{name}() got an unexpected keyword argument 'params'"),
    ]
    for nargs, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            call(*[a] * nargs, **kwargs)
        assert str(info.value) == message
        assert _traceback_names(info.value).count(qualname) == 1
        assert _traceback_names(info.value)[-1] == qualname
