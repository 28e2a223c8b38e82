"""Random calls of every Python-callable entry point of both modules.

Every call must either succeed or raise an ordinary Python exception (never
crash, never SystemError), and a failed call must leave the object usable: each
test follows the random calls with valid ones whose results are checked.  The
examples are derandomized, so every run tries the same cases.
"""

import array
import decimal
import functools
import pickle

import numpy as np
import pytest
from circuit_bench import (
    CLASSES,
    ELEMENTS,
    HAS_TJM,
    NETLIST,
    NNZ,
    TJM_KERNEL,
    UNKNOWNS,
    Bench,
    Element,
    ModuleSnapshot,
    assert_same_round,
    attempt,
    shared_state,
)
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import loxant.CircuitKernel as ck
from loxant import SimulationParameters as SP
from loxant import lxconfig, lxglobals
from loxant.SparseDirect import SparseDirect


def fuzz_settings(examples):
    return settings(
        max_examples=examples,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


def each_example(test):
    """Runs every example with the modules as they were before it."""

    @functools.wraps(test)
    def run(*args, **kwargs):
        with ModuleSnapshot():
            test(*args, **kwargs)

    return run


# ---- values nobody should pass ------------------------------------------------------


class Weird:
    """Objects whose conversions and protocols fail or lie, each raising an
    exception the caller may see."""

    class RaisingInt:
        def __int__(self):
            raise RuntimeError("no int")

    class StrInt:
        def __int__(self):
            return "7"

    class IndexOnly:
        def __index__(self):
            return 2

    class RaisingFloat:
        def __float__(self):
            raise ZeroDivisionError("no float")

    class BadFloat:
        def __float__(self):
            return "1.0"

    class NegativeLength:
        def __len__(self):
            return -1

        def __getitem__(self, k):
            return 1.0

    class RaisingItems:
        def __getitem__(self, k):
            raise KeyError(k)

    class Endless:
        def __getitem__(self, k):
            return float(k)

    class RaisingTruth:
        def __bool__(self):
            raise ValueError("no truth")

        def __gt__(self, other):
            raise ValueError("no order")

    class RaisingEq:
        def __eq__(self, other):
            raise TypeError("no equality")

        __hash__ = object.__hash__


WEIRD = [
    Weird.RaisingInt(),
    Weird.StrInt(),
    Weird.IndexOnly(),
    Weird.RaisingFloat(),
    Weird.BadFloat(),
    Weird.NegativeLength(),
    Weird.RaisingItems(),
    Weird.Endless(),
    Weird.RaisingTruth(),
    Weird.RaisingEq(),
    np.int64(3),
    np.float64("nan"),
    decimal.Decimal("sNaN"),
    object(),
    ck.ElementModel,
    np,
]

HUGE = [2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63, -(2**63) - 1, 2**100, -1]

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-3, 60),
    st.sampled_from(HUGE),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=3),
    st.binary(max_size=3),
    st.sampled_from(WEIRD),
)

DTYPES = [np.float64, np.float32, np.int32, np.int64, np.uint8, np.bool_, np.complex128, ">f8", "O"]


@st.composite
def ndarrays(draw, float64=False):
    """Arrays of any length, dtype, number of dimensions, layout and
    writability; float64=True keeps them one-dimensional float64, only length,
    contents and layout vary."""
    if float64:
        dtype, shape = np.float64, (draw(st.integers(0, NNZ + 3)),)
    else:
        dtype = draw(st.sampled_from(DTYPES))
        shape = draw(
            st.one_of(
                st.just(()),
                st.tuples(st.integers(0, NNZ + 3)),
                st.tuples(st.integers(0, 3), st.integers(0, 9)),
            )
        )
    fill = draw(st.sampled_from([0.0, 1.0, np.nan, np.inf, -1e308]))
    arr = np.full(shape, fill if dtype in (np.float64, np.float32, np.complex128) else 0, dtype)
    layout = draw(st.sampled_from(["plain", "strided", "reversed", "read-only"]))
    if layout == "strided" and arr.ndim == 1:
        arr = np.repeat(arr, 2)[::2]
    elif layout == "reversed" and arr.ndim >= 1:
        arr = arr[::-1]
    elif layout == "read-only":
        arr.flags.writeable = False
    return arr


anything = st.one_of(
    scalars,
    ndarrays(),
    st.lists(scalars, max_size=6),
    st.tuples(scalars, scalars),
    st.builds(lambda a: array.array("d", [0.0] * a), st.integers(0, 4)),
)
ints = st.one_of(st.integers(-2, 10), st.sampled_from(HUGE), scalars)
# Unknown numbers, element indices and positions, crowded at ground and at the edges.
terminals = st.one_of(st.just(0), st.integers(-1, UNKNOWNS + 1))
eindexes = st.sampled_from([-1, 0, ELEMENTS - 1, ELEMENTS, 2**31 - 1])
positions = st.one_of(
    st.sampled_from([-1, 0, NNZ - 1, NNZ, NNZ + 1, 2**31 - 1]), st.integers(0, NNZ - 1)
)


@st.composite
def calls(draw, names):
    """Positional and keyword arguments for a function declaring `names`: some
    right, most wrong in count, name, repetition or value."""
    args = draw(st.lists(ints, max_size=len(names) + 2))
    keys = st.sampled_from(list(names) + ["bogus", "eindex", "A1"])
    kwargs = draw(st.dictionaries(keys, ints, max_size=2))
    return args, kwargs


def model_of(name):
    return getattr(ck, name)


# ---- models: constructor, pickling ------------------------------------------------------


@fuzz_settings(400)
@given(
    name=st.sampled_from(sorted(CLASSES) + ["ElementModel"]),
    call=calls(("i", "j", "q", "v", "eindex")),
)
@each_example
def test_constructors_accept_only_well_formed_terminals(name, call):
    """A constructor that fails stores nothing; the next valid one works."""
    arguments = CLASSES[name][0] if name != "ElementModel" else ()
    args, kwargs = call
    model = model_of(name)(*range(1, len(arguments) + 1))
    if attempt(model.__init__, *args, **kwargs) is not None:
        assert [getattr(model, a) for a in arguments] == list(range(1, len(arguments) + 1))
    attempt(model_of(name), *args, **kwargs)
    model.__init__(*range(2, len(arguments) + 2))
    assert [getattr(model, a) for a in arguments] == list(range(2, len(arguments) + 2))


@fuzz_settings(150)
@given(
    name=st.sampled_from(sorted(CLASSES) + ["ElementModel"]),
    state=anything,
    checksum=st.one_of(st.just(0xD41D8CD), ints),
    kind=st.one_of(st.sampled_from(sorted(CLASSES)), st.just(None)),
)
@each_example
def test_pickling_refuses_or_round_trips(name, state, checksum, kind):
    cls = model_of(name)
    model = cls.__new__(cls)
    assert (attempt(model.__reduce__) is None) == (name == "ElementModel")
    attempt(model.__setstate__, state)
    attempt(pickle.dumps, model)
    unpickle = ck._unpickle_ElementModel
    attempt(unpickle, model_of(kind) if kind else state, checksum, state)
    assert type(pickle.loads(pickle.dumps(ck.ElementModel()))) is ck.ElementModel


# ---- models: InitModel and SetParameters against a broken lxglobals ---------------------

ARRAYS = [
    "NodePhase",
    "NodeVoltage",
    "NodeDVoltage",
    "ElementPhase",
    "ElementVoltage",
    "ElementCurrent",
    "ElementN",
    "ElementInc",
    "ElementDec",
]
MISSING = object()


@st.composite
def broken_arrays(draw):
    """Replacements for some lxglobals arrays: deleted, shortened, emptied or junk."""
    state = shared_state()
    broken = {}
    for name in draw(st.lists(st.sampled_from(ARRAYS), max_size=3, unique=True)):
        good = state[lxglobals, name]
        broken[name] = draw(
            st.one_of(
                st.just(MISSING),
                st.builds(lambda k, g=good: g[:k].copy(), st.integers(0, len(good) - 1)),
                st.just(good[:0]),
                anything,
            )
        )
    return broken


@fuzz_settings(500)
@given(
    name=st.sampled_from(sorted(CLASSES)),
    numbers=st.lists(terminals, min_size=5, max_size=5),
    eindex=eindexes,
    broken=broken_arrays(),
    init=calls(("ind_ii", "ind_iq", "ind_qq", "ind_qv")),
    places=st.lists(positions, min_size=8, max_size=8),
    params=st.one_of(anything, st.lists(st.floats(), max_size=5)),
)
@each_example
def test_init_model_and_set_parameters_refuse_what_does_not_fit(
    name, numbers, eindex, broken, init, places, params
):
    """Random terminals, positions and parameters against an lxglobals with
    some arrays broken; then the bench's valid set-up must give the bench's
    numbers with this very model in it."""
    bench = Bench()
    want = bench.round()
    row = next(k for k, entry in enumerate(NETLIST) if entry[0] == name)
    model = bench.models[row]
    arguments, names, count = CLASSES[name]
    attempt(model.__init__, *numbers[: len(arguments) - 1], eindex)
    for attribute, value in broken.items():
        if value is MISSING:
            delattr(lxglobals, attribute)
        else:
            setattr(lxglobals, attribute, value)
    args, kwargs = init
    attempt(model.InitModel, *args, **kwargs)
    attempt(model.InitModel, *places[: len(names)])
    attempt(model.SetParameters, params)
    attempt(model.SetParameters, list(params)[:count] if isinstance(params, list) else params)
    attempt(ck.UpdateValues)
    attempt(ck.BuildStaticMatrix, np.zeros(NNZ))
    attempt(ck.BuildMatrix, np.zeros(NNZ), np.zeros(NNZ), np.zeros(UNKNOWNS))
    bench.install()
    assert_same_round(bench.round(), want)


# ---- blocks of linear elements ---------------------------------------------------------

BLOCKS = ["CapacitorBlock", "InductorBlock", "ResistorBlock"]


@st.composite
def block_arrays(draw, columns):
    """`columns` arrays of one length, mostly int32, with terminals and element
    indices crowded at the edges; now and then one longer, shorter or of
    another dtype."""
    rows = draw(st.lists(st.tuples(terminals, terminals, eindexes), max_size=4))
    arrays = [np.array([row[k] for row in rows], np.int64) for k in range(columns)]
    dtype = draw(st.sampled_from([np.int32, np.int32, np.int32, np.int64, np.float64]))
    arrays = [a.astype(dtype) if a.max(initial=0) < 2**31 else a for a in arrays]
    if draw(st.booleans()):
        k = draw(st.integers(0, columns - 1))
        arrays[k] = draw(st.sampled_from([arrays[k][:-1], np.append(arrays[k], 1).astype(dtype)]))
    return arrays


@fuzz_settings(400)
@given(
    name=st.sampled_from(BLOCKS),
    arrays=block_arrays(3),
    places=st.lists(positions, min_size=17, max_size=17),
    cut=st.sampled_from([0, 0, 1, -1]),
    params=st.one_of(anything, st.lists(st.floats(), max_size=5).map(np.array)),
    broken=broken_arrays(),
)
@each_example
def test_blocks_refuse_arrays_that_do_not_fit(name, arrays, places, cut, params, broken):
    """A block of random arrays among the bench's models, against an lxglobals
    with some arrays broken: every kernel either runs or refuses, and the bench
    set up again gives its own numbers."""
    bench = Bench()
    want = bench.round()
    cls = model_of(name)
    block = cls.__new__(cls)
    attempt(block.__init__, *arrays)
    for attribute, value in broken.items():
        if value is MISSING:
            delattr(lxglobals, attribute)
        else:
            setattr(lxglobals, attribute, value)
    attempt(block.InitModel, np.array(places[: max(0, 4 * len(block) + cut)], np.int32))
    attempt(block.SetParameters, params)
    lxglobals.ElementList = [*bench.elements, Element(block, np.ones(len(block)))]
    lxglobals.TotalElements = ELEMENTS + 1
    attempt(ck.InitElementModels)
    attempt(ck.UpdateValues)
    attempt(ck.BuildStaticMatrix, np.zeros(NNZ))
    attempt(ck.BuildMatrix, np.zeros(NNZ), np.zeros(NNZ), np.zeros(UNKNOWNS))
    attempt(ck.UpdateRHS, np.zeros(UNKNOWNS))
    bench.install()
    assert_same_round(bench.round(), want)


# ---- the kernel loading of JunctionTJMModel ---------------------------------------------

terms = st.lists(
    st.one_of(st.complex_numbers(allow_nan=True, allow_infinity=True), scalars), max_size=22
)
kernel_entries = st.one_of(
    st.tuples(terms, terms, terms),
    st.lists(terms, max_size=4),
    st.builds(lambda t: iter(t), st.lists(terms, max_size=4)),
    anything,
)


@pytest.mark.skipif(not HAS_TJM, reason="JunctionTJMModel.InitTJMModel is not there yet")
@fuzz_settings(300)
@given(
    table=st.one_of(
        st.dictionaries(st.sampled_from(["k", "", "é"]), kernel_entries, max_size=3), anything
    ),
    name=st.one_of(st.sampled_from(["k", "", "é", "missing", TJM_KERNEL or ""]), scalars),
    numbers=st.lists(st.one_of(st.floats(), scalars), max_size=6),
)
@each_example
def test_tjm_kernel_loading_refuses_bad_kernels(table, name, numbers):
    # `name in table` on an endless sequence never returns, in Python as here.
    assume(not isinstance(table, Weird.Endless))
    bench = Bench()
    want = bench.round()
    row = next(k for k, entry in enumerate(NETLIST) if entry[0] == "JunctionTJMModel")
    model = bench.models[row]
    lxconfig.tjm_models = table
    attempt(model.InitTJMModel, [name] + numbers, exact_exception=True)
    attempt(model.InitTJMModel, numbers, exact_exception=True)
    attempt(model.SetParameters, [name] + numbers)
    attempt(ck.BuildStaticMatrix, np.zeros(NNZ))
    attempt(ck.BuildMatrix, np.zeros(NNZ), np.zeros(NNZ), np.zeros(UNKNOWNS))
    assert model.n_terms <= 20
    bench.install()
    assert_same_round(bench.round(), want)


# ---- the six kernels against a broken shared state -----------------------------------


class Hostile:
    """A netlist element that does surprising things from UpdateParameters."""

    def __init__(self, model, action):
        self.model, self.action = model, action

    def UpdateParameters(self):
        if self.action == "raise":
            raise KeyError("no parameters")
        if self.action == "move":
            self.model.InitModel(*([NNZ + 5] * 8)[: len(CLASSES[type(self.model).__name__][1])])
        elif self.action == "regather":
            lxglobals.ElementList = lxglobals.ElementList[:2]
            ck.InitElementModels()
        elif self.action == "grow":
            lxglobals.TotalElements = ELEMENTS + 4
        elif self.action == "forget":
            del lxglobals.ElementList


@st.composite
def broken_state(draw, bench):
    """Changes to lxglobals, SimulationParameters, the module globals, the
    element list or the models, as (target, key, value) for apply()."""
    changes = []
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["lxglobals", "SP", "module", "model", "list", "count"]))
        if kind in ("lxglobals", "SP"):
            module = lxglobals if kind == "lxglobals" else SP
            names = sorted(n for m, n in shared_state() if m is module)
            if module is SP:
                names += ["INITIAL_RAMP"]
            attribute = draw(st.sampled_from(names))
            current = getattr(module, attribute, None)
            value = draw(
                st.one_of(
                    st.just(MISSING),
                    anything,
                    ndarrays(float64=True),
                    st.builds(lambda k, c=current: c[:k], st.integers(0, 3))
                    if isinstance(current, (list, np.ndarray))
                    else st.just(None),
                    st.lists(ndarrays(float64=True), max_size=3),
                )
            )
            changes.append((module, attribute, value))
        elif kind == "module":
            attribute = draw(st.sampled_from(["np", "SP", "lxglobals", "NTHREADS", "RHSHelper"]))
            changes.append((ck, attribute, draw(st.one_of(st.just(MISSING), anything))))
        elif kind == "count":
            attribute = draw(
                st.sampled_from(["TotalElements", "TotalSourceElements", "TotalNodes"])
            )
            value = draw(st.one_of(st.integers(-2, ELEMENTS + 3), st.sampled_from(HUGE[:3])))
            changes.append((lxglobals, attribute, value))
        elif kind == "list":
            model = bench.models[draw(st.integers(0, ELEMENTS - 1))]
            action = draw(st.sampled_from(["raise", "move", "regather", "grow", "forget"]))
            entry = draw(st.sampled_from([Hostile(model, action), object(), None]))
            changes.append(("list", draw(st.integers(0, ELEMENTS)), entry))
        else:
            row = draw(st.integers(0, ELEMENTS - 1))
            name = NETLIST[row][0]
            method = draw(st.sampled_from(["__init__", "InitModel", "SetParameters"]))
            if method == "SetParameters":
                args = ([draw(st.one_of(st.floats(), scalars)) for _ in range(CLASSES[name][2])],)
            elif method == "__init__":
                size = len(CLASSES[name][0]) - 1
                args = tuple(draw(terminals) for _ in range(size)) + (draw(eindexes),)
            else:
                args = tuple(draw(positions) for _ in CLASSES[name][1])
            changes.append(("model", row, (method, args)))
    return changes


def affordable(key, value):
    """InitElementModels allocates NTHREADS x TotalNodes doubles with NumPy: keep
    that within reach (a sanitizer aborts where a plain run would swap), or so
    far beyond it that the conversion or NumPy refuses outright."""
    if key in ("NTHREADS", "TotalNodes") and isinstance(value, int) and 2**20 < abs(value):
        return 2**62
    return value


def apply(bench, changes):
    for target, key, value in changes:
        value = affordable(key, value)
        if target == "list":
            elements = list(getattr(lxglobals, "ElementList", []))
            elements.insert(key, value)
            lxglobals.ElementList = elements
        elif target == "model":
            method, args = value
            attempt(getattr(bench.models[key], method), *args)
        elif value is MISSING:
            if hasattr(target, key):
                delattr(target, key)
        else:
            setattr(target, key, value)


KERNEL_ARGS = {
    "InitElementModels": (),
    "BuildStaticMatrix": ("A0",),
    "BuildMatrix": ("A1", "A2", "B"),
    "UpdateMatrix": ("A2", "B"),
    "UpdateRHS": ("B",),
    "UpdateValues": (),
}


@st.composite
def kernel_calls(draw):
    name = draw(st.sampled_from(sorted(KERNEL_ARGS)))
    names = KERNEL_ARGS[name]
    arrays = st.one_of(ndarrays(float64=True), ndarrays(), scalars)
    args = [draw(arrays) for _ in names]
    extra = draw(st.sampled_from(["none", "fewer", "more", "keywords"]))
    kwargs = {}
    if extra == "fewer" and args:
        args.pop()
    elif extra == "more":
        args.append(draw(arrays))
    elif extra == "keywords":
        keys = draw(st.lists(st.sampled_from(list(names) + ["C", "a1"]), max_size=3, unique=True))
        kwargs = {k: draw(arrays) for k in keys}
        args = args[: draw(st.integers(0, len(args)))]
    return name, args, kwargs


@fuzz_settings(600)
@given(data=st.data())
@each_example
def test_kernels_survive_a_broken_shared_state(data):
    """A few random changes, a few random kernel calls, then the valid set-up:
    the next round must give the bench's numbers exactly."""
    bench = Bench()
    want = bench.round()
    apply(bench, data.draw(broken_state(bench), label="changes"))
    for name, args, kwargs in data.draw(st.lists(kernel_calls(), min_size=1, max_size=3)):
        attempt(getattr(ck, name), *args, **kwargs)
    valid = data.draw(st.booleans(), label="valid arrays")
    if valid:
        for name in ("BuildStaticMatrix", "UpdateRHS"):
            attempt(getattr(ck, name), np.zeros(NNZ if name == "BuildStaticMatrix" else UNKNOWNS))
        attempt(ck.BuildMatrix, np.zeros(NNZ), np.zeros(NNZ), np.zeros(UNKNOWNS))
        attempt(ck.UpdateValues)
    bench.install()
    assert_same_round(bench.round(), want)


# ---- SparseDirect, driven as a state machine -----------------------------------------------


def csc(dense):
    """Ap, Ai, Ax of a dense matrix's nonzero pattern, as the solver takes them."""
    n = dense.shape[0]
    ap, ai, ax = [0], [], []
    for j in range(n):
        rows = np.flatnonzero(dense[:, j])
        ai += rows.tolist()
        ax += dense[rows, j].tolist()
        ap.append(len(ai))
    return array.array("i", ap), array.array("i", ai), np.array(ax)


def system(n, seed):
    rng = np.random.default_rng(seed)
    dense = np.where(rng.random((n, n)) < 0.4, rng.normal(size=(n, n)), 0.0)
    dense += np.diag(np.full(n, 4.0))
    return dense


SYSTEMS = [system(n, seed) for n, seed in ((1, 0), (3, 1), (6, 2), (9, 3))]


def int_arrays(n):
    """Pattern arrays: right-looking but unsorted, out of range, too short,
    duplicated, of the wrong type code, or not arrays at all."""
    small = st.integers(-2, n + 2)
    big = st.sampled_from(HUGE[:4])
    items = st.lists(st.one_of(small, big), max_size=n * 2 + 3)
    return st.one_of(
        st.builds(lambda v: array.array("i", v), st.lists(small, max_size=n * 2 + 3)),
        st.builds(lambda v: array.array("i", sorted(v)), st.lists(small, max_size=n + 2)),
        st.builds(lambda v: array.array("l", [int(x) for x in v]), items),
        st.builds(lambda v: array.array("I", [abs(x) % 2**32 for x in v]), items),
        st.builds(lambda v: array.array("d", v), st.lists(st.floats(), max_size=4)),
        anything,
    )


class SolverMachine(RuleBasedStateMachine):
    """One SparseDirect object through every order of calls.  `known` is the
    dense system whose pattern the object holds, or None when the object holds
    nothing or an unknown pattern."""

    @initialize()
    def start(self):
        self.solver = SparseDirect()
        self.known = None
        self.empty = True  # nothing analysed: solves must leave B alone

    def analyze_valid(self, dense):
        ap, ai, _ = csc(dense)
        self.solver.analyze(len(dense), ap, ai)
        self.known, self.empty = dense, False

    def solve_valid(self):
        """A valid solve of the held system, or of a fresh one if none is held."""
        if self.known is None:
            self.analyze_valid(SYSTEMS[2])
        dense = self.known
        _, _, ax = csc(dense)
        b = np.linspace(-1.0, 1.0, len(dense))
        x = b.copy()
        self.solver.solveSparseMatrix(ax, x)
        np.testing.assert_allclose(dense @ x, b, atol=1e-10)
        x = b.copy()
        self.solver.solveMatrix(np.ascontiguousarray(dense), x)
        np.testing.assert_allclose(dense @ x, b, atol=1e-10)

    def after(self, error):
        if error is not None:
            self.solve_valid()

    @rule(k=st.integers(0, len(SYSTEMS) - 1))
    def analyze(self, k):
        self.analyze_valid(SYSTEMS[k])

    @rule(data=st.data(), n=st.one_of(st.integers(-1, 10), st.sampled_from(HUGE), scalars))
    def analyze_junk(self, data, n):
        size = n if isinstance(n, int) and 0 <= n <= 10 else 4
        ap = data.draw(st.one_of(int_arrays(size), st.none()), label="Ap")
        ai = data.draw(st.one_of(int_arrays(size), st.none()), label="Ai")
        error = attempt(self.solver.analyze, n, ap, ai)
        if error is None:
            self.known, self.empty = None, False
        self.after(error)

    @rule(
        method=st.sampled_from(["solve", "solveSparseMatrix", "solveMatrix"]),
        ax=st.one_of(ndarrays(), ndarrays(float64=True), anything),
        b=st.one_of(ndarrays(), ndarrays(float64=True), anything),
        keywords=st.booleans(),
    )
    def solve_junk(self, method, ax, b, keywords):
        kept = b.copy() if isinstance(b, np.ndarray) and b.dtype != object else None
        call = getattr(self.solver, method)
        error = attempt(call, Ax=ax, B=b) if keywords else attempt(call, ax, b)
        if self.empty and kept is not None:
            np.testing.assert_array_equal(b, kept)
        self.after(error)

    @rule(scale=st.sampled_from([0.0, np.nan, np.inf, 1e-300, 1e300]))
    def solve_degenerate(self, scale):
        """Singular, NaN and extreme values in the held pattern: no crash, and a
        singular matrix leaves B as it was."""
        if self.known is None:
            return
        _, _, ax = csc(self.known)
        ax[: max(1, len(ax) // 2)] *= scale
        b = np.ones(len(self.known))
        self.solver.solveSparseMatrix(ax, b)
        if self.solver.singular:
            np.testing.assert_array_equal(b, 1.0)
        values = array.array("d", ax)
        self.solver.solve(values, array.array("d", [1.0] * len(self.known)))

    @rule()
    def release(self):
        self.solver.__del__()
        self.known, self.empty = None, True
        b = np.ones(3)
        self.solver.solveSparseMatrix(np.ones(100), b)
        np.testing.assert_array_equal(b, 1.0)

    @rule()
    def refuse_pickling(self):
        self.after(attempt(pickle.dumps, self.solver))
        self.after(attempt(self.solver.__setstate__, None))

    @invariant()
    def attributes_readable(self):
        s = self.solver
        assert s.n >= 0 and s.nnz >= 0 and isinstance(s.status, int)
        if s.Ax is not None:
            assert len(s.Ax) == s.nnz

    def teardown(self):
        self.solve_valid()


SolverMachine.TestCase.settings = settings(
    fuzz_settings(120), stateful_step_count=12, suppress_health_check=list(HealthCheck)
)
test_solver_survives_any_order_of_calls = SolverMachine.TestCase
