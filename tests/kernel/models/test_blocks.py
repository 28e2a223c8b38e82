"""Blocks of linear elements (ResistorBlock, InductorBlock, CapacitorBlock)
against the single models they stand for: the same element laws, so the same
numbers to the last bit, and every malformed array refused where it is given."""

import pickle

import numpy as np
import pytest

import loxant.CircuitKernel as ck
from harness import Harness
from loxant import SimulationParameters as SP
from loxant import lxglobals

# single model class, block class, parameter as SetParameters takes it -> attribute
KINDS = [
    (ck.ResistorModel, ck.ResistorBlock, "resistance"),
    (ck.InductorModel, ck.InductorBlock, "inv_inductance"),
    (ck.CapacitorModel, ck.CapacitorBlock, "capacitance"),
]
UNKNOWNS, PER_KIND = 6, 9


def int32(values):
    return np.asarray(values, dtype=np.int32)


def random_elements(rng):
    """Per kind: terminals (ground included, never both ends) and parameters."""
    elements = []
    for k, kind in enumerate(KINDS):
        i = rng.integers(0, UNKNOWNS + 1, PER_KIND)
        j = (i + rng.integers(1, UNKNOWNS + 1, PER_KIND)) % (UNKNOWNS + 1)
        eindex = np.arange(PER_KIND) + k * PER_KIND
        elements.append((kind, i, j, eindex, rng.uniform(0.1, 3.0, PER_KIND)))
    return elements


def positions_of(h, i, j):
    return [h.pos(*pair) for a, b in zip(i, j) for pair in ((a, a), (a, b), (b, a), (b, b))]


def install(elements, blocks, rng_state):
    """The circuit as single models or as one block per kind (the same order),
    with a junction after them; returns every kernel's output."""
    h = Harness(UNKNOWNS, elements=len(KINDS) * PER_KIND + 1)
    SP.InterpCoeffDt, SP.InterpCoeffDDt = [3.0], [9.0]
    for (single, block, _), i, j, eindex, values in elements:
        if blocks:
            model = block(int32(i), int32(j), int32(eindex))
            model.InitModel(int32(positions_of(h, i, j)))
            model.SetParameters(values)
            h.add(model)
            continue
        for a, b, e, value in zip(i, j, eindex, values):
            model = single(int(a), int(b), int(e))
            model.InitModel(*positions_of(h, [a], [b]))
            model.SetParameters([float(value)])
            h.add(model)
    junction = ck.JunctionModel(1, 2, len(KINDS) * PER_KIND)
    junction.SetParameters([1.0, 2.0, 0.5])
    junction.InitModel(*h.positions((1, 1), (1, 2), (2, 1), (2, 2)))
    h.add(junction)
    rng = np.random.default_rng(rng_state)
    h.set_state(*(rng.normal(size=UNKNOWNS) for _ in range(4)))
    h.set_nodes(*(rng.normal(size=UNKNOWNS) for _ in range(3)))
    a0 = h.static_matrix()
    a1, a2, b = h.build()
    a2u, bu = h.update()
    rhs = h.rhs()
    ck.UpdateValues()
    arrays = [getattr(lxglobals, name).copy() for name in ("ElementCurrent", "ElementPhase")]
    return [a0, a1, a2, b, a2u, bu, rhs, lxglobals.ElementVoltage.copy(), *arrays]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_blocks_stamp_and_report_bit_for_bit_as_single_models(seed):
    elements = random_elements(np.random.default_rng(seed))
    singles = install(elements, blocks=False, rng_state=seed)
    blocks = install(elements, blocks=True, rng_state=seed)
    assert any(s.any() for s in singles)
    for single, block in zip(singles, blocks):
        assert single.tobytes() == block.tobytes()  # -0.0 and NaN included


def test_a_block_keeps_copies_of_what_it_was_given():
    h = Harness(3)
    i, j, e = int32([1, 2, 0]), int32([0, 3, 2]), int32([0, 1, 2])
    block = ck.InductorBlock(i, j, e)
    positions = int32(positions_of(h, i, j))
    block.InitModel(positions)
    block.SetParameters(np.array([2.0, 4.0, -0.5]))
    i[:], positions[:] = 7, -1  # the caller's arrays change afterwards
    assert len(block) == 3
    assert list(block.i) == [1, 2, 0] and list(block.eindex) == [0, 1, 2]
    assert list(block.positions) == positions_of(h, [1, 2, 0], [0, 3, 2])
    assert list(block.inv_inductance) == [0.5, 0.25, -2.0]


def fresh_block(h, cls=ck.ResistorBlock):
    block = cls(int32([1, 2]), int32([2, 0]), int32([0, 3]))
    block.InitModel(int32(positions_of(h, [1, 2], [2, 0])))
    return block


# (call on a block of terminals (1, 2), (2, 0) in a bench of 3 unknowns and 4
# elements, exception, message)
REFUSED = [
    (lambda b: type(b)(int32([1]), int32([0, 1]), int32([0])), ValueError, "one length"),
    (lambda b: type(b)(int32([1]), int32([-1]), int32([0])), ValueError, "unknown j -1"),
    (lambda b: type(b)(int32([1]), int32([0]), int32([-2])), ValueError, "eindex -2"),
    (lambda b: type(b)(np.array([1]), int32([0]), int32([0])), ValueError, "dtype mismatch"),
    (lambda b: type(b)(int32([[1]]), int32([0]), int32([0])), ValueError, "dimensions"),
    (lambda b: type(b)([1], int32([0]), int32([0])), TypeError, "i as an array of int32, not list"),
    (lambda b: b.SetParameters([1.0, 2.0]), TypeError, "values as an array of float64, not list"),
    (lambda b: b.__init__(int32([1]), int32([0]), int32([0])), RuntimeError, "once"),
    (lambda b: b.InitModel(int32([0] * 7)), ValueError, "needs 8 positions"),
    (lambda b: b.InitModel(int32([0, 1, 2, -3, 0, 0, 0, 0])), ValueError, "element 0 .*ind_jj -3"),
    (lambda b: b.InitModel(np.zeros(8)), ValueError, "dtype mismatch"),
    (lambda b: b.SetParameters(np.ones(3)), ValueError, "2 elements got 3"),
    (lambda b: b.SetParameters(np.ones(2, np.float32)), ValueError, "dtype mismatch"),
]


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_malformed_arrays_are_refused_leaving_the_block_as_it_was(call, error, message):
    h = Harness(3)
    block = fresh_block(h)
    before = [bytes(getattr(block, name)) for name in ("i", "j", "positions", "resistance")]
    with pytest.raises(error, match=message):
        call(block)
    after = [bytes(getattr(block, name)) for name in ("i", "j", "positions", "resistance")]
    assert after == before


def test_inductances_are_refused_whole_when_one_is_zero():
    block = fresh_block(Harness(3), ck.InductorBlock)
    block.SetParameters(np.array([2.0, 4.0]))
    with pytest.raises(ZeroDivisionError, match="element 1 has L = 0"):
        block.SetParameters(np.array([8.0, 0.0]))
    assert list(block.inv_inductance) == [0.5, 0.25]


@pytest.mark.parametrize(
    "terminals, eindex, message",
    [
        ([1, 4], [0, 1], "element 1 uses unknown 4 but lxglobals.NodePhase has only 3"),
        ([1, 2], [3, 4], "element 1 has eindex 4 but lxglobals.ElementPhase has only 4"),
    ],
)
def test_init_model_refuses_elements_beyond_the_shared_arrays(terminals, eindex, message):
    h = Harness(3)
    block = ck.CapacitorBlock(int32(terminals), int32([0, 0]), int32(eindex))
    with pytest.raises(IndexError, match=message):
        block.InitModel(int32([0] * 8))
    h.add(block)
    with pytest.raises(RuntimeError, match="CapacitorBlock at element 0 has no arrays bound"):
        ck.UpdateValues()


def test_kernels_refuse_a_block_stamping_beyond_the_value_arrays():
    h = Harness(3)
    block = fresh_block(h)
    block.InitModel(int32([0, 1, 3, 4, 4, 0, 0, 0]))  # the second element's ii stays 4
    h.add(block)
    a1, a2, b = np.zeros(4), np.zeros(9), np.zeros(3)
    with pytest.raises(IndexError, match="ResistorBlock at element 0 stamps position 4 .* 4 "):
        ck.BuildMatrix(a1, a2, b)
    assert not a1.any() and not b.any()


def test_blocks_refuse_pickling():
    with pytest.raises(TypeError, match="cannot be converted to a Python object for pickling"):
        pickle.dumps(fresh_block(Harness(3)))
