"""Pickling: plain ElementModel round-trips, concrete models refuse."""

import copy
import pickle

import pytest

import loxant.CircuitKernel as ck


class Annotated(ck.ElementModel):
    pass


def test_plain_element_model_round_trips():
    model = ck.ElementModel()
    function, args = model.__reduce__()
    assert args == (ck.ElementModel, 0xD41D8CD, ())
    assert type(pickle.loads(pickle.dumps(model))) is ck.ElementModel


def test_subclass_state_travels_through_setstate():
    model = Annotated()
    model.label = "J7"
    function, args, state = model.__reduce__()
    assert args == (Annotated, 0xD41D8CD, None) and state == ({"label": "J7"},)
    restored = pickle.loads(pickle.dumps(model))
    assert type(restored) is Annotated and restored.label == "J7"


def test_unpickling_checks_the_checksum_and_state_type():
    function = ck._unpickle_ElementModel
    with pytest.raises(
        pickle.PickleError, match=r"^Incompatible checksums \(12 vs 0xd41d8cd = \(\)\)$"
    ):
        function(ck.ElementModel, 12, ())
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        function(Annotated, 0xD41D8CD, [{}])
    with pytest.raises(TypeError):
        function(int, 0xD41D8CD, ())
    assert type(function(Annotated, 0xD41D8CD, None)) is Annotated


def test_setstate_accepts_tuple_or_none_only():
    model = Annotated()
    model.__setstate__(({"x": 1},))
    model.__setstate__(None)
    assert model.x == 1
    with pytest.raises(TypeError, match="^Expected tuple, got int$"):
        model.__setstate__(5)


JUNCTION_FIELDS = (
    "self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,"
    "self.node_dvoltages,self.node_phases,self.node_voltages"
)
TWO_TERMINAL_FIELDS = (
    "self.elem_currents,self.elem_phases,self.elem_voltages,self.node_phases,self.node_voltages"
)


@pytest.mark.parametrize(
    "model, fields",
    [
        (ck.JunctionModel(1, 0, 0), JUNCTION_FIELDS),
        (ck.CurrentSourceModel(1, 0, 0), TWO_TERMINAL_FIELDS),
    ],
)
def test_concrete_models_refuse_pickling(model, fields):
    message = f"^{fields} cannot be converted to a Python object for pickling$"
    for attempt in (lambda: pickle.dumps(model), lambda: copy.copy(model), model.__reduce__):
        with pytest.raises(TypeError, match=message):
            attempt()
    with pytest.raises(TypeError, match=message):
        model.__setstate__(())
