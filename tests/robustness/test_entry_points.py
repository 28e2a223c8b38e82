"""Every Python-callable entry point of both modules against each class of
fault found so far: argument counts and keywords, arrays reallocated in place
by Python code the entry point runs, arrays whose element type has no C name,
lookups of an instance __dict__ that fail, and solves with nothing to factor.

The reallocation cases use NumPy's resize(..., refcheck=False), which frees the
old data at once: a kernel that kept a view across the Python call would write
into freed memory (the sanitizer build reports it) and the results would be
lost from the array (the release build shows that)."""

import array

import numpy as np
import pytest
from circuit_bench import CLASSES, NNZ, UNKNOWNS, Bench, ModuleSnapshot

import loxant.CircuitKernel as ck
from loxant import SimulationParameters as SP
from loxant import lxglobals
from loxant.SparseDirect import SparseDirect

GROWN = 1 << 16  # large enough that the array moves to a new allocation


@pytest.fixture(autouse=True)
def untouched_modules():
    with ModuleSnapshot():
        yield


@pytest.fixture
def bench():
    return Bench()


def traceback_names(error):
    names, tb = [], error.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


# ---- argument counts and keywords ------------------------------------------------------


def entry_points():
    """(callable, name in messages, parameter names, qualified name); an empty
    name tuple of a one-argument function means positional only."""
    k = "loxant.CircuitKernel."
    points = [
        (ck.InitElementModels, "InitElementModels", (), k + "InitElementModels"),
        (ck.UpdateValues, "UpdateValues", (), k + "UpdateValues"),
        (ck.BuildStaticMatrix, "BuildStaticMatrix", None, k + "BuildStaticMatrix"),
        (ck.UpdateRHS, "UpdateRHS", None, k + "UpdateRHS"),
        (ck.BuildMatrix, "BuildMatrix", ("A1", "A2", "B"), k + "BuildMatrix"),
        (ck.UpdateMatrix, "UpdateMatrix", ("A2", "B"), k + "UpdateMatrix"),
        (
            ck._unpickle_ElementModel,
            "_unpickle_ElementModel",
            ("type", "checksum", "state"),
            k + "_unpickle_ElementModel",
        ),
        (ck.ElementModel, "__init__", (), k + "ElementModel.__init__"),
    ]
    for name, (terminals, positions, _) in CLASSES.items():
        cls = getattr(ck, name)
        model = cls.__new__(cls)
        points += [
            (cls, "__init__", terminals, f"{k}{name}.__init__"),
            (model.InitModel, "InitModel", positions, f"{k}{name}.InitModel"),
            (model.SetParameters, "SetParameters", None, f"{k}{name}.SetParameters"),
        ]
        if hasattr(model, "InitTJMModel"):
            points.append((model.InitTJMModel, "InitTJMModel", None, f"{k}{name}.InitTJMModel"))
    for name in ("CapacitorBlock", "InductorBlock", "ResistorBlock"):
        cls = getattr(ck, name)
        block = cls.__new__(cls)
        points += [
            (cls, "__init__", ("i", "j", "eindex"), f"{k}{name}.__init__"),
            (block.InitModel, "InitModel", None, f"{k}{name}.InitModel"),
            (block.SetParameters, "SetParameters", None, f"{k}{name}.SetParameters"),
        ]
    s = "loxant.SparseDirect.SparseDirect."
    solver = SparseDirect()
    points += [
        (solver.analyze, "analyze", ("n", "Ap", "Ai"), s + "analyze"),
        (solver.solve, "solve", ("Ax", "B"), s + "solve"),
        (solver.solveSparseMatrix, "solveSparseMatrix", ("Ax", "B"), s + "solveSparseMatrix"),
        (solver.solveMatrix, "solveMatrix", ("Ax", "B"), s + "solveMatrix"),
    ]
    return points


def wrong_calls(name, names):
    """(args, kwargs, message) that each entry point must refuse in the same words."""
    count = 1 if names is None else len(names)
    plural = "" if count == 1 else "s"
    takes = f"{name}() takes exactly {count} positional argument{plural}"
    calls = [((0,) * (count + 1), {}, f"{takes} ({count + 1} given)")]
    if count:
        calls.append(((0,) * (count - 1), {}, f"{takes} ({count - 1} given)"))
    calls.append(((0,) * count, {"zz": 0}, f"{name}() got an unexpected keyword argument 'zz'"))
    if names:
        calls.append(
            (
                (0,) * count,
                {names[0]: 0},
                f"{name}() got multiple values for keyword argument '{names[0]}'",
            )
        )
    elif names is None:  # positional only: its own name is no keyword either
        calls.append(((), {"A0": 0}, f"{name}() got an unexpected keyword argument 'A0'"))
    return calls


@pytest.mark.parametrize("call, name, names, qualname", entry_points(), ids=lambda v: str(v)[:40])
def test_every_entry_point_speaks_the_message_families(call, name, names, qualname):
    for args, kwargs, message in wrong_calls(name, names):
        with pytest.raises(TypeError) as info:
            call(*args, **kwargs)
        assert str(info.value) == message
        assert traceback_names(info.value)[-1] == qualname
        assert traceback_names(info.value).count(qualname) == 1


# ---- arrays reallocated by Python code an entry point runs ---------------------------------


class Hooked(list):
    """A list whose item access first runs `action`, once: the kernels read the
    SP coefficient lists through obj[k], so any Python code can run there."""

    def __init__(self, items, action):
        super().__init__(items)
        self.action = action

    def __getitem__(self, k):
        action, self.action = self.action, None
        if action is not None:
            action()
        return super().__getitem__(k)


KERNEL_CALLS = {
    "BuildStaticMatrix": ("A0",),
    "BuildMatrix": ("A1", "A2", "B"),
    "UpdateMatrix": ("A2", "B"),
    "UpdateRHS": ("B",),
}


def fresh_arguments():
    return {"A0": np.zeros(NNZ), "A1": np.zeros(NNZ), "A2": np.zeros(NNZ), "B": np.zeros(UNKNOWNS)}


def run_kernel(entry, arrays):
    getattr(ck, entry)(*(arrays[name] for name in KERNEL_CALLS[entry]))
    return {name: arrays[name].copy() for name in KERNEL_CALLS[entry]}


def reference(bench, entry):
    result = run_kernel(entry, fresh_arguments())
    bench.install()
    return result


HOOKS = {
    # where Python code runs inside the entry point, and how to plant it there
    "coefficient item": lambda bench, action: setattr(
        SP, "InterpCoeffDDt", Hooked(SP.InterpCoeffDDt, action)
    ),
    "element UpdateParameters": lambda bench, action: setattr(
        bench.elements[0], "UpdateParameters", lambda: action()
    ),
}


def hooks_of(entry):
    return ["coefficient item"] + (
        ["element UpdateParameters"] if entry == "BuildStaticMatrix" else []
    )


ARGUMENT_CASES = [
    (entry, name, hook)
    for entry, names in KERNEL_CALLS.items()
    for name in names
    for hook in hooks_of(entry)
]


@pytest.mark.parametrize("entry, name, hook", ARGUMENT_CASES)
def test_argument_grown_during_the_call_receives_every_stamp(bench, entry, name, hook):
    want = reference(bench, entry)
    arrays = fresh_arguments()
    HOOKS[hook](bench, lambda: arrays[name].resize(GROWN, refcheck=False))
    got = run_kernel(entry, arrays)
    for key, value in want.items():
        np.testing.assert_array_equal(got[key][: len(value)], value, err_msg=key)
    assert not got[name][len(want[name]) :].any()


@pytest.mark.parametrize("entry, name, hook", ARGUMENT_CASES)
def test_argument_shrunk_during_the_call_is_refused(bench, entry, name, hook):
    arrays = fresh_arguments()
    HOOKS[hook](bench, lambda: arrays[name].resize(1, refcheck=False))
    with pytest.raises(IndexError, match="stamps position|uses unknown"):
        run_kernel(entry, arrays)


STATE_VECTORS = {
    "BuildMatrix": ("X", "DX", "DDX", "DXprev"),
    "UpdateMatrix": ("X", "DX", "DDX", "DXprev"),
    "UpdateRHS": ("X", "DX", "DDX"),
}


def state_vector(name):
    return SP.X[SP.Xind] if name == "X" else getattr(SP, name)


@pytest.mark.parametrize(
    "entry, name", [(e, n) for e, names in STATE_VECTORS.items() for n in names]
)
@pytest.mark.parametrize("size", [GROWN, 1])
def test_state_vector_resized_during_the_call_is_read_where_it_now_is(bench, entry, name, size):
    want = reference(bench, entry)
    vector = state_vector(name)
    HOOKS["coefficient item"](bench, lambda: vector.resize(size, refcheck=False))
    if size < UNKNOWNS:
        with pytest.raises(IndexError, match="uses unknown"):
            run_kernel(entry, fresh_arguments())
        return
    got = run_kernel(entry, fresh_arguments())  # resize keeps the values
    for key, value in want.items():
        np.testing.assert_array_equal(got[key], value, err_msg=key)


BOUND = ["NodePhase", "NodeVoltage", "NodeDVoltage", "ElementCurrent", "ElementN", "ElementInc"]


@pytest.mark.parametrize("name", BOUND)
@pytest.mark.parametrize("size", [GROWN, 1])
@pytest.mark.parametrize("when", ["before the call", "during the call"])
def test_bound_array_reallocated_after_init_model_is_refused(bench, name, size, when):
    want = bench.round()
    bench.install()
    bound = getattr(lxglobals, name)

    def resize():
        bound.resize(size, refcheck=False)

    if when == "before the call":
        resize()
    else:
        SP.TimeSteps = Hooked(SP.TimeSteps, resize)
    with pytest.raises(IndexError, match="no longer fits the lxglobals arrays it bound"):
        ck.UpdateValues()
    bench.install()  # InitModel again: bound afresh, the round is whole again
    got = bench.round()
    for key in ("ElementPhase", "ElementVoltage", "ElementCurrent", "ElementN"):
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)


def test_array_reallocated_while_init_model_binds_is_noticed(bench):
    """InitModel reads the arrays one by one through lxglobals: an attribute
    lookup that reallocates one fetched before is caught at UpdateValues."""

    class Reallocating:
        def __getattr__(self, attribute):
            value = getattr(lxglobals, attribute)
            if attribute == "ElementCurrent":
                lxglobals.NodePhase.resize(GROWN, refcheck=False)
            return value

    def rebind(model):
        names = CLASSES[type(model).__name__][1]
        model.InitModel(*(getattr(model, n) for n in names))

    ck.lxglobals = Reallocating()
    rebind(bench.models[9])  # a JunctionModel
    ck.lxglobals = lxglobals
    for other in bench.models[:9] + bench.models[10:]:
        rebind(other)  # bound where the arrays are now
    with pytest.raises(IndexError, match="JunctionModel at element 9 no longer fits"):
        ck.UpdateValues()


# ---- element types with no C name ---------------------------------------------------------


ODD_DTYPES = [(np.bool_, "'bool'"), (np.float16, "'float16'")]


def array_entry_points(bench):
    """name -> call taking one odd array in the place of a float64 one."""
    a, b = np.zeros(NNZ), np.zeros(UNKNOWNS)
    model = bench.models[9]
    positions = (model.ind_ii, model.ind_ij, model.ind_ji, model.ind_jj)
    solver = SparseDirect()
    solver.analyze(1, array.array("i", [0, 1]), array.array("i", [0]))

    def bind(odd):
        lxglobals.ElementPhase = odd
        model.InitModel(*positions)

    def state(odd):
        SP.DX = odd
        ck.UpdateRHS(b)

    return {
        "BuildStaticMatrix": lambda odd: ck.BuildStaticMatrix(odd),
        "BuildMatrix": lambda odd: ck.BuildMatrix(a, odd, b),
        "UpdateMatrix": lambda odd: ck.UpdateMatrix(a, odd),
        "UpdateRHS": lambda odd: ck.UpdateRHS(odd),
        "UpdateRHS (SP.DX)": state,
        "InitModel": bind,
        "solveSparseMatrix": lambda odd: solver.solveSparseMatrix(odd, np.ones(1)),
    }


@pytest.mark.parametrize("dtype, shown", ODD_DTYPES)
def test_every_array_entry_point_names_the_dtype(bench, dtype, shown):
    for entry, call in array_entry_points(bench).items():
        with pytest.raises(ValueError) as info:
            call(np.zeros(64, dtype))
        message = str(info.value)
        assert message.startswith("Buffer dtype mismatch, expected '") and message.endswith(
            f"but got {shown}"
        ), entry


# ---- instance __dict__ lookups that fail --------------------------------------------------


class DictFails(ck.ElementModel):
    """A subclass whose __dict__ lookup raises `error`."""

    error = RuntimeError

    def __getattribute__(self, name):
        if name == "__dict__":
            raise type(self).error("no dict today")
        return super().__getattribute__(name)


PICKLING_CALLS = {
    "__reduce__": lambda obj: obj.__reduce__(),
    "__setstate__": lambda obj: obj.__setstate__(({"x": 1},)),
    "_unpickle_ElementModel": lambda obj: ck._unpickle_ElementModel(type(obj), 0xD41D8CD, ({},)),
}


@pytest.mark.parametrize("call", PICKLING_CALLS.values(), ids=PICKLING_CALLS)
@pytest.mark.parametrize("error", [RuntimeError, KeyError, MemoryError])
def test_failing_dict_lookup_propagates(monkeypatch, call, error):
    monkeypatch.setattr(DictFails, "error", error)
    with pytest.raises(error, match="no dict today"):
        call(DictFails())


@pytest.mark.parametrize("call", PICKLING_CALLS.values(), ids=PICKLING_CALLS)
def test_attribute_error_means_no_dict(monkeypatch, call):
    monkeypatch.setattr(DictFails, "error", AttributeError)
    call(DictFails())  # nothing to save or restore, and no error
    assert DictFails().__reduce__()[1] == (DictFails, 0xD41D8CD, ())


# ---- solves with nothing to factor ------------------------------------------------------


SOLVES = {
    "solve": lambda s: s.solve(array.array("d", [2.0]), array.array("d", [4.0])),
    "solveSparseMatrix": lambda s: s.solveSparseMatrix(np.array([2.0]), np.array([4.0])),
    "solveMatrix": lambda s: s.solveMatrix(np.array([[2.0]]), np.array([4.0])),
}


@pytest.mark.parametrize("solve", SOLVES.values(), ids=SOLVES)
def test_every_solve_says_when_it_factored_nothing(solve):
    solver = SparseDirect()
    solve(solver)
    assert (solver.status, solver.singular) == (SparseDirect.NOT_FACTORED, False)
    solver.analyze(1, array.array("i", [0, 1]), array.array("i", [0]))
    solve(solver)
    assert solver.status == 0
    with pytest.raises(ValueError, match="repeats a row"):
        solver.analyze(1, array.array("i", [0, 2]), array.array("i", [0, 0]))
    solve(solver)  # the earlier analysis still serves
    assert solver.status == 0
    solver.__del__()
    solve(solver)
    assert solver.status == SparseDirect.NOT_FACTORED
