"""The Python face of loxant.SparseDirect: module, arguments, messages,
malformed patterns, pickling and tracebacks."""

import array
import copy
import pickle
import subprocess
import sys
import traceback

import numpy as np
import pytest
import scipy.sparse.linalg as sla
from solver_matrices import circuit_matrix, csc_inputs

from loxant import SparseDirect as module
from loxant.SparseDirect import SparseDirect

A = circuit_matrix(6, 2, 0)
N, AP, AI, VALUES = csc_inputs(A)
B = np.linspace(-1.0, 1.0, N)
X = sla.spsolve(A, B)


@pytest.fixture
def solver():
    solver = SparseDirect()
    solver.analyze(N, AP, AI)
    return solver


def assert_still_solves(solver):
    x = B.copy()
    solver.solveSparseMatrix(VALUES, x)
    np.testing.assert_allclose(x, X, rtol=1e-12)


def test_module_contents():
    assert module.np is np and module.array is array
    assert SparseDirect.__module__ == "loxant.SparseDirect"
    assert SparseDirect.__qualname__ == "SparseDirect"
    assert sys.modules["loxant.SparseDirect"] is module


def test_new_solver_is_empty_and_ignores_arguments():
    solver = SparseDirect(1, 2, key="value")
    state = (solver.n, solver.nnz, solver.Ap, solver.Ai, solver.Ax, solver.status)
    assert state == (0, 0, None, None, None, 0)
    assert solver.singular is False


def test_analyze_by_keyword(solver):
    solver.analyze(Ai=AI, n=N, Ap=AP)
    assert (solver.n, solver.nnz) == (N, len(AI))
    assert solver.Ap is AP and solver.Ai is AI
    assert solver.Ax.typecode == "d" and len(solver.Ax) == len(AI)


@pytest.mark.parametrize("attribute", ["n", "nnz", "Ap", "Ai", "Ax", "status", "singular"])
def test_attributes_are_read_only(solver, attribute):
    with pytest.raises(AttributeError):
        setattr(solver, attribute, None)


F64_2D = np.zeros((N, N))
F32 = VALUES.astype(np.float32)
ARRAY_VALUES, ARRAY_RHS = array.array("d", VALUES), array.array("d", B)

BAD_CALLS = [
    # argument count and keywords
    ("analyze", (1, 2), {}, TypeError, "analyze() takes exactly 3 positional arguments (2 given)"),
    ("analyze", (1, AP, AI, 4), {}, TypeError, "analyze() takes exactly 3 positional arguments (4 given)"),
    ("analyze", (N,), {"Ap": AP}, TypeError, "analyze() takes exactly 3 positional arguments (2 given)"),
    ("solve", (), {}, TypeError, "solve() takes exactly 2 positional arguments (0 given)"),
    ("solveMatrix", (F64_2D,), {"B": B, "C": 1}, TypeError, "solveMatrix() got an unexpected keyword argument 'C'"),
    ("solveSparseMatrix", (VALUES, B), {"Ax": VALUES}, TypeError, "solveSparseMatrix() got multiple values for keyword argument 'Ax'"),
    # types
    ("analyze", ("3", AP, AI), {}, TypeError, "an integer is required"),
    ("analyze", (2**31, AP, AI), {}, OverflowError, "value too large to convert to int"),
    ("analyze", (N, list(AP), AI), {}, TypeError, "Argument 'Ap' has incorrect type (expected array.array, got list)"),
    ("analyze", (N, AP, np.array(AI)), {}, TypeError, "Argument 'Ai' has incorrect type (expected array.array, got numpy.ndarray)"),
    ("solve", (VALUES, ARRAY_RHS), {}, TypeError, "Argument 'Ax' has incorrect type (expected array.array, got numpy.ndarray)"),
    ("solveSparseMatrix", (ARRAY_VALUES, B), {}, TypeError, "Argument 'Ax' has incorrect type (expected numpy.ndarray, got array.array)"),
    ("solveSparseMatrix", (VALUES, None), {}, TypeError, "Argument 'B' has incorrect type (expected numpy.ndarray, got NoneType)"),
    ("solveMatrix", (None, B), {}, TypeError, "Argument 'Ax' has incorrect type (expected numpy.ndarray, got NoneType)"),
    # None where data is needed
    ("analyze", (N, None, AI), {}, TypeError, "Argument 'Ap' must be an array, not None"),
    ("analyze", (N, AP, None), {}, TypeError, "Argument 'Ai' must be an array, not None"),
    ("solve", (None, ARRAY_RHS), {}, TypeError, "Argument 'Ax' must be an array, not None"),
    ("solve", (ARRAY_VALUES, None), {}, TypeError, "Argument 'B' must be an array, not None"),
    # buffers
    ("analyze", (N, array.array("l", AP), AI), {}, ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("analyze", (N, AP, array.array("d", AI)), {}, ValueError, "Buffer dtype mismatch, expected 'int' but got 'double'"),
    ("solve", (array.array("f", VALUES), ARRAY_RHS), {}, ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("solveSparseMatrix", (F32, B), {}, ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("solveSparseMatrix", (F64_2D, B), {}, ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("solveMatrix", (VALUES, B), {}, ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ("solveSparseMatrix", (VALUES, np.repeat(B, 2)[::2]), {}, ValueError, "ndarray is not C contiguous"),
    ("solveMatrix", (np.asfortranarray(np.eye(N)), B), {}, ValueError, "ndarray is not C contiguous"),
    # lengths
    ("analyze", (-1, AP, AI), {}, ValueError, "n must be non-negative, got -1"),
    ("solve", (ARRAY_VALUES[:-1], ARRAY_RHS), {}, ValueError, f"Argument 'Ax' has {len(AI) - 1} items, expected at least {len(AI)}"),
    ("solveSparseMatrix", (VALUES, B[:-1]), {}, ValueError, f"Argument 'B' has {N - 1} items, expected at least {N}"),
    ("solveMatrix", (np.eye(N)[:, :-1].copy(), B), {}, ValueError, f"Argument 'Ax' has shape ({N}, {N - 1}), expected at least ({N}, {N})"),
    ("solveMatrix", (np.eye(N + 1)[:-2].copy(), B), {}, ValueError, f"Argument 'Ax' has shape ({N - 1}, {N + 1}), expected at least ({N}, {N})"),
]  # fmt: skip


@pytest.mark.parametrize("method, args, kwargs, error, message", BAD_CALLS)
def test_bad_calls_raise_and_leave_solver_usable(solver, method, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        getattr(solver, method)(*args, **kwargs)
    assert str(caught.value) == message
    last_entry = traceback.extract_tb(caught.tb)[-1]
    assert last_entry.name == f"loxant.SparseDirect.SparseDirect.{method}"
    assert (solver.n, solver.Ap, solver.Ai) == (N, AP, AI)
    assert_still_solves(solver)


def test_read_only_rhs_is_rejected(solver):
    x = B.copy()
    x.flags.writeable = False
    with pytest.raises(ValueError):
        solver.solveSparseMatrix(VALUES, x)
    assert_still_solves(solver)


MALFORMED = [
    (3, [0, 1, 2], [0, 1], "Argument 'Ap' has 3 items, expected at least 4"),
    (2, [1, 1, 2], [0, 1], "Ap[0] must be 0, got 1"),
    (3, [0, 2, 1, 3], [0, 1, 2], "Ap must be non-decreasing, but Ap[1] = 2 > Ap[2] = 1"),
    (2, [0, -1, 1], [0], "Ap must be non-decreasing, but Ap[0] = 0 > Ap[1] = -1"),
    (2, [0, 1, 3], [0, 1], "Argument 'Ai' has 2 items, expected at least 3"),
    (2, [0, 1, 2], [0, 2], "Ai[1] = 2 is out of range for n = 2"),
    (2, [0, 1, 2], [-1, 1], "Ai[0] = -1 is out of range for n = 2"),
]


@pytest.mark.parametrize("n, Ap, Ai, message", MALFORMED)
def test_malformed_pattern_keeps_earlier_analysis(solver, n, Ap, Ai, message):
    new_Ap, new_Ai = array.array("i", Ap), array.array("i", Ai)
    with pytest.raises(ValueError) as caught:
        solver.analyze(n, new_Ap, new_Ai)
    assert str(caught.value) == message
    assert (solver.n, solver.nnz, solver.Ap, solver.Ai) == (N, len(AI), AP, AI)
    new_Ap.append(0)  # not held by the failed analysis
    assert_still_solves(solver)


@pytest.mark.parametrize("refuse", [pickle.dumps, copy.copy, lambda s: s.__setstate__(())])
def test_pickling_is_refused(solver, refuse):
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        refuse(solver)


def test_failed_init_names_itself():
    # The package itself needs NumPy, so the module is loaded straight from its file.
    import loxant.SparseDirect as module

    script = (
        "import sys, importlib.util; sys.modules['numpy'] = None\n"
        f"found = importlib.util.spec_from_file_location('loxant.SparseDirect', {module.__file__!r})\n"
        "try:\n    importlib.util.module_from_spec(found)\n"
        "except ImportError as e:\n"
        "    import traceback\n"
        "    print([f.name for f in traceback.extract_tb(e.__traceback__)][-1])\n"
        "    print('loxant.SparseDirect' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["init", "loxant.SparseDirect", "False"]
