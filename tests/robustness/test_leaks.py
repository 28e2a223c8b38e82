"""Reference counts and memory of every entry point, on success and on failure.

Each scenario repeats one call many times after a warm-up and requires that
the reference counts of everything it passes in, the number of objects the
garbage collector tracks, the memory Python's allocator has handed out and
the process's resident memory all stay put.
"""

import array
import gc
import os
import pickle
import sys
import tracemalloc

import numpy as np
import pytest
from circuit_bench import (
    ELEMENTS,
    HAS_TJM,
    NNZ,
    TJM_KERNEL,
    UNKNOWNS,
    Bench,
    ModuleSnapshot,
    valid_positions,
)

import loxant.CircuitKernel as ck
from loxant import SimulationParameters as SP
from loxant import lxconfig, lxglobals
from loxant.SparseDirect import SparseDirect

REPEATS = 400
WARM_UP = 200


@pytest.fixture(autouse=True)
def traced():
    with ModuleSnapshot():
        tracemalloc.start()
        yield
        tracemalloc.stop()


def fails(error, call, *args, **kwargs):
    """Calls and requires `error`, so that the failure path is the one taken."""
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r} did not raise {error.__name__}")


# AddressSanitizer holds freed memory in quarantine, so resident memory grows
# under it whatever the code does; its own leak checker covers native memory.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle():
    """Drops what the interpreter keeps on the side: garbage, free lists and the
    attribute cache, which holds on to the last name string looked up in each
    of its slots (the kernels look names up with fresh strings)."""
    sys._clear_type_cache()
    gc.collect()


def assert_steady(action, watched=(), repeats=REPEATS, rss_bound=None, warm_up=WARM_UP):
    """Runs action after a warm-up: no reference, tracked object or Python
    memory block may accumulate, nor resident memory beyond rss_bound bytes.

    What is left after settle() does not depend on the number of calls, while a
    leak grows by at least one block per call: a leak shows as an allocation
    site that gained a block for every other call."""
    for _ in range(warm_up):
        action()
    settle()
    before = tracemalloc.take_snapshot()
    refs = [sys.getrefcount(obj) for obj in watched]
    objects = len(gc.get_objects())
    blocks = sys.getallocatedblocks()
    rss_bound = None if SANITIZED else rss_bound
    rss = resident_bytes() if rss_bound else 0
    for _ in range(repeats):
        action()
    settle()
    assert [sys.getrefcount(obj) for obj in watched] == refs
    assert len(gc.get_objects()) - objects <= 2
    assert sys.getallocatedblocks() - blocks < repeats // 4
    growing = [
        str(diff)
        for diff in tracemalloc.take_snapshot().compare_to(before, "lineno")
        if diff.count_diff >= repeats // 4
    ]
    assert not growing
    if rss_bound:
        assert resident_bytes() - rss < rss_bound


# ---- element models -----------------------------------------------------------------


def model_scenarios():
    """(name, make) where make(bench) returns (action, watched objects)."""

    def construct(bench):
        args = (1, 2, 3)
        return lambda: ck.ResistorModel(*args), (args, ck.ResistorModel)

    def construct_wrong(bench):
        big, text = 2**40, "one"

        def action():
            fails(OverflowError, ck.JunctionModel, 1, big, 0)
            fails(TypeError, ck.JunctionModel, text, 1, 0)
            fails(TypeError, ck.JunctionModel, 1, 2)
            fails(TypeError, ck.JunctionModel, 1, 2, eindex=0, bogus=1)

        return action, (big, text)

    def init_model(bench):
        model = bench.models[9]
        arrays = [getattr(lxglobals, n) for n in ("NodePhase", "ElementN", "ElementDec")]
        return lambda: model.InitModel(*valid_positions("JunctionModel", (1, 0))), arrays + [model]

    def init_model_wrong(bench):
        model = bench.models[9]
        good = [getattr(lxglobals, n) for n in ("NodePhase", "NodeVoltage", "ElementN")]
        wrong = np.zeros(ELEMENTS, np.int8)
        lxglobals.ElementDec = wrong  # the last array bound: every other one was taken

        def action():
            fails(ValueError, model.InitModel, 0, 0, 0, 0)
            fails(OverflowError, model.InitModel, 0, 2**33, 0, 0)
            fails(TypeError, model.InitModel, 0, 0, 0)

        return action, good + [wrong, model]

    def init_model_missing(bench):
        model = bench.models[4]
        good, good_voltage = lxglobals.NodePhase, lxglobals.NodeVoltage
        del lxglobals.ElementCurrent

        def action():
            lxglobals.NodeVoltage = good_voltage
            fails(AttributeError, model.InitModel, 0, 0, 0, 0)
            lxglobals.NodeVoltage = [0.0] * UNKNOWNS
            fails(TypeError, model.InitModel, 0, 0, 0, 0)
            lxglobals.NodeVoltage = np.zeros((UNKNOWNS, 1))
            fails(ValueError, model.InitModel, 0, 0, 0, 0)
            del ck.lxglobals
            fails(NameError, model.InitModel, 0, 0, 0, 0)
            ck.lxglobals = lxglobals

        return action, (good, good_voltage, model)

    def set_parameters(bench):
        model, params = bench.models[10], [1.0, 2.0, 3.0, 4.0, 5.0]

        def action():
            model.SetParameters(params)
            fails(IndexError, model.SetParameters, params[:2])
            fails(TypeError, model.SetParameters, [1.0, None])
            fails(ZeroDivisionError, bench.models[0].SetParameters, [0])

        return action, (model, params)

    def pickling(bench):
        model, plain = bench.models[5], ck.ElementModel()

        def action():
            fails(TypeError, pickle.dumps, model)
            fails(TypeError, model.__setstate__, ())
            pickle.loads(pickle.dumps(plain))
            fails(pickle.PickleError, ck._unpickle_ElementModel, ck.ElementModel, 1, ())
            fails(TypeError, plain.__setstate__, [])

        return action, (model, plain, ck.ElementModel)

    def tjm_kernels(bench):
        model = next(m for m in bench.models if type(m).__name__ == "JunctionTJMModel")
        good = [TJM_KERNEL, 1.0, 1.0, 2.0, 0.6, 0.1]
        lxconfig.tjm_models = dict(lxconfig.tjm_models, bad=([1.0] * 21, [1.0], [1.0]))

        def action():
            model.InitTJMModel(good)
            fails(Exception, model.InitTJMModel, ["missing"] + good[1:])
            fails(ValueError, model.InitTJMModel, ["bad"] + good[1:])
            fails(IndexError, model.InitTJMModel, good[:3])

        return action, (model, good, lxconfig.tjm_models)

    scenarios = [
        construct,
        construct_wrong,
        init_model,
        init_model_wrong,
        init_model_missing,
        set_parameters,
        pickling,
    ]
    return scenarios + ([tjm_kernels] if HAS_TJM else [])


@pytest.mark.parametrize("make", model_scenarios(), ids=lambda f: f.__name__)
def test_model_entry_points_leak_nothing(make):
    bench = Bench()
    action, watched = make(bench)
    assert_steady(action, watched)


# ---- the six kernels ----------------------------------------------------------------


def kernel_scenarios():
    def valid_round(bench):
        return bench.round, bench.models + [lxglobals.NodePhase, SP.DX] + SP.X

    def regather(bench):
        return ck.InitElementModels, bench.models + lxglobals.ElementList

    def wrong_arguments(bench):
        a, b = np.zeros(NNZ), np.zeros(UNKNOWNS)
        bad = [np.zeros((2, 2)), np.zeros(NNZ, np.float32), np.zeros(NNZ)[::-1].copy()[::2]]
        bad[2].flags.writeable = False

        def action():
            for wrong in bad:
                fails(ValueError, ck.BuildStaticMatrix, wrong)
                fails(ValueError, ck.BuildMatrix, a, wrong, b)
                fails(ValueError, ck.UpdateMatrix, a, B=wrong)
                fails(ValueError, ck.UpdateRHS, wrong)
            fails(TypeError, ck.BuildMatrix, a, a)
            fails(TypeError, ck.UpdateMatrix, a, b, C=b)
            fails(TypeError, ck.UpdateRHS, [0.0] * UNKNOWNS)
            fails(TypeError, ck.BuildStaticMatrix, None)

        return action, [a, b] + bad

    def out_of_range(bench):
        short_a, short_b = np.zeros(NNZ // 2), np.zeros(UNKNOWNS - 1)
        a, b = np.zeros(NNZ), np.zeros(UNKNOWNS)

        def action():
            fails(IndexError, ck.BuildStaticMatrix, short_a)
            fails(IndexError, ck.BuildMatrix, a, a, short_b)
            fails(IndexError, ck.UpdateRHS, short_b)

        return action, (short_a, short_b, a, b)

    def broken_state(bench):
        a, b = np.zeros(NNZ), np.zeros(UNKNOWNS)
        wrong = np.zeros(UNKNOWNS, np.int32)

        def action():
            SP.DX, good = wrong, SP.DX
            fails(ValueError, ck.BuildMatrix, a, a, b)
            SP.DX = good
            SP.Xind, xind = 7, SP.Xind
            fails(IndexError, ck.UpdateRHS, b)
            SP.Xind = xind
            lxglobals.TotalElements = ELEMENTS + 1
            fails(IndexError, ck.UpdateValues)
            lxglobals.TotalElements = ELEMENTS
            del ck.SP
            fails(NameError, ck.UpdateMatrix, a, b)
            ck.SP = SP
            SP.TimeSteps, steps = [], SP.TimeSteps
            fails(IndexError, ck.UpdateValues)
            SP.TimeSteps = steps

        return action, (a, b, wrong, SP.DX, SP.X[1], SP.X[0])

    def failing_gather(bench):
        elements = lxglobals.ElementList
        stranger = type("Stranger", (), {"model": 3.0})()

        def action():
            lxglobals.ElementList = elements[:-1] + [stranger]
            fails(TypeError, ck.InitElementModels)
            lxglobals.ElementList = elements[:2]
            fails(IndexError, ck.InitElementModels)
            lxglobals.ElementList = elements
            ck.InitElementModels()

        return action, bench.models + [stranger]

    def refused_model(bench):
        model = bench.models[4]
        a = np.zeros(NNZ)

        def action():
            model.__init__(1, 0, ELEMENTS + 3)
            fails(IndexError, ck.UpdateValues)
            model.__init__(1, 0, 4)
            model.InitModel(NNZ + 1, 0, 0, 0)
            fails(IndexError, ck.BuildMatrix, a, a, np.zeros(UNKNOWNS))
            model.InitModel(*valid_positions("ResistorModel", (1, 0)))

        return action, (model, a)

    return [
        valid_round,
        regather,
        wrong_arguments,
        out_of_range,
        broken_state,
        failing_gather,
        refused_model,
    ]


@pytest.mark.parametrize("make", kernel_scenarios(), ids=lambda f: f.__name__)
def test_kernels_leak_nothing(make):
    bench = Bench()
    action, watched = make(bench)
    assert_steady(action, watched)


def test_kernel_memory_stays_flat_over_many_rounds():
    """Native allocations (tables, messages) are not traced: watch the
    resident memory over a large netlist gathered and run many times."""
    bench = Bench()
    lxglobals.ElementList = bench.elements * 200
    lxglobals.TotalElements = len(lxglobals.ElementList)
    b = np.zeros(UNKNOWNS)

    def action():
        ck.InitElementModels()
        ck.UpdateRHS(b)
        fails(IndexError, ck.UpdateRHS, b[:-1])

    assert_steady(action, bench.models, repeats=200, rss_bound=2 << 20, warm_up=20)


# ---- SparseDirect ---------------------------------------------------------------------


def pattern(n):
    """A tridiagonal pattern of order n with a dominant diagonal."""
    ap, ai, ax = [0], [], []
    for j in range(n):
        for i in (j - 1, j, j + 1):
            if 0 <= i < n:
                ai.append(i)
                ax.append(4.0 if i == j else -1.0)
        ap.append(len(ai))
    return array.array("i", ap), array.array("i", ai), np.array(ax)


def solver_scenarios():
    ap, ai, ax = pattern(5)
    dense = np.diag(np.full(5, 4.0)) - np.eye(5, k=1) - np.eye(5, k=-1)

    def analyze_and_solve(solver):
        b = np.ones(5)

        def action():
            solver.analyze(5, ap, ai)
            solver.solveSparseMatrix(ax, b)
            solver.solve(array.array("d", ax), array.array("d", b))
            solver.solveMatrix(dense, b)

        return action, (ap, ai, ax, b, dense, solver)

    def analyze_wrong(solver):
        unsorted = array.array("i", [0, 3, 1, 2])
        outside = array.array("i", [0, 9, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0])
        longs = array.array("l", ap)
        duplicated = array.array("i", [0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 0, 0, 0])

        def action():
            fails(ValueError, solver.analyze, 5, unsorted, ai)
            fails(ValueError, solver.analyze, 5, ap, outside)
            fails(ValueError, solver.analyze, 5, longs, ai)
            fails(TypeError, solver.analyze, 5, ap, None)
            fails(OverflowError, solver.analyze, 2**31, ap, ai)
            fails(ValueError, solver.analyze, 5, ap, duplicated)

        return action, (unsorted, outside, longs, duplicated, ap, ai, solver)

    def solve_wrong(solver):
        solver.analyze(5, ap, ai)
        b = np.ones(5)
        wrong = [ax.astype(np.float32), ax[::-1][::2], ax.reshape(1, -1), ax[:3]]
        singular = np.zeros_like(ax)

        def action():
            for bad in wrong:
                fails((ValueError, BufferError), solver.solveSparseMatrix, bad, b)
                fails((ValueError, BufferError), solver.solveSparseMatrix, ax, bad)
            fails(ValueError, solver.solveMatrix, ax, b)
            fails(TypeError, solver.solve, ax, b)
            fails(TypeError, solver.solveSparseMatrix, None, b)
            solver.solveSparseMatrix(singular, b)
            assert solver.singular

        return action, wrong + [singular, b, solver]

    def released(solver):
        b = np.ones(5)

        def action():
            solver.analyze(5, ap, ai)
            solver.__del__()
            solver.solveSparseMatrix(ax, b)
            solver.__del__()
            fails(TypeError, pickle.dumps, solver)

        return action, (ap, ai, ax, b, solver)

    def construct_and_drop(solver):
        def action():
            other = SparseDirect(1, 2)
            other.analyze(5, ap, ai)

        return action, (ap, ai)

    return [analyze_and_solve, analyze_wrong, solve_wrong, released, construct_and_drop]


@pytest.mark.parametrize("make", solver_scenarios(), ids=lambda f: f.__name__)
def test_solver_leaks_nothing(make):
    action, watched = make(SparseDirect())
    assert_steady(action, watched)


def test_solver_native_memory_stays_flat():
    """KLU's analyses and factorizations live outside Python's allocator: many
    of them, on a system big enough that losing one per call would show."""
    ap, ai, ax = pattern(3000)
    b = np.ones(3000)
    duplicated = array.array("i", list(ai))
    duplicated[1] = duplicated[0]

    def action():
        solver = SparseDirect()
        solver.analyze(3000, ap, ai)
        solver.solveSparseMatrix(ax, b.copy())
        solver.solveSparseMatrix(np.zeros_like(ax), b.copy())
        with pytest.raises(ValueError):  # refused, the good analysis kept
            solver.analyze(3000, ap, duplicated)
        solver.solveSparseMatrix(ax, b.copy())

    assert_steady(action, (ap, ai, ax), repeats=150, rss_bound=4 << 20, warm_up=20)
